#ifndef NOFLYZONEFILE_H
#define NOFLYZONEFILE_H

#include "noflyzone.h"
#include "result.h"

#include <QJsonObject>
#include <QString>

#include <vector>

// Reads the zone file: the usable zones of "release_limits", sorted by
// ascending latitude, not-a-number last. A missing or broken file fails, with no zones; safe on
// any thread.
class NoFlyZoneFile {
public:
    // Streams the file through simdjson one zone at a time, so memory stays
    // close to the zones themselves; whatever simdjson refuses is judged by
    // Qt's parser, whose verdict on the whole document decides.
    static Result<std::vector<NoFlyZone>> read(const QString &path);

    // One entry of "release_limits" by the file's reading rules; true if
    // it is a usable zone.
    static bool readZone(const QJsonObject &entry, NoFlyZone &zone);

    // Ascending latitude; a latitude that is not a number sorts last.
    static void sortByLatitude(std::vector<NoFlyZone> &zones);
};

#endif // NOFLYZONEFILE_H
