#ifndef NOFLYZONEFILE_H
#define NOFLYZONEFILE_H

#include "noflyzone.h"
#include "oruexport.h"

#include <QString>

#include <vector>

// Reads the zone file: the usable zones of "release_limits", sorted by
// ascending latitude. A missing or broken file gives none. Both readers apply
// the same reading rules and give the same zones; safe on any thread.
class ORU_EXPORT NoFlyZoneFile {
public:
    // Streams the file through simdjson one zone at a time, so memory stays
    // close to the zones themselves; whatever simdjson refuses is judged by
    // Qt's parser, whose verdict on the whole document decides.
    static std::vector<NoFlyZone> read(const QString &path);

    // Parses the whole document with Qt's JSON parser.
    static std::vector<NoFlyZone> readWithQt(const QString &path);
};

#endif // NOFLYZONEFILE_H
