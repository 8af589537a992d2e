#ifndef NOFLYZONEMANAGER_H
#define NOFLYZONEMANAGER_H

#include "noflyzone.h"
#include "noflyzoneindex.h"
#include "oruexport.h"

#include <QJsonArray>
#include <QObject>
#include <QString>

#include <vector>

// The no-fly zones of the zone file beside the host, loaded once in the
// background, and the query for those near a point.
class ORU_EXPORT NoFlyZoneManager : public QObject {
    Q_OBJECT
public:
    explicit NoFlyZoneManager(QObject *parent);
    ~NoFlyZoneManager() override;

    QJsonArray GetNearbyNoflyZone(double latitude, double longitude);

protected:
    void initNoflyZone();

    // Reads the usable zones of the file at path, sorted by ascending
    // latitude; a missing or broken file gives none. Safe on any thread.
    static std::vector<NoFlyZone> loadZones(const QString &path);
    // Installs a complete, sorted list; queries see it whole or not at all.
    void setZones(std::vector<NoFlyZone> loaded);

private:
    struct LastQuery {
        double latitude = 0.0;
        double longitude = 0.0;
        bool valid = false;
    };

    LastQuery lastQuery;
    double maxDistance;
    std::vector<NoFlyZone> zones;
    std::vector<NoFlyZone> nearby_zones;
    NoFlyZoneIndex zoneIndex;
    std::vector<uint32_t> candidates;
};

#endif // NOFLYZONEMANAGER_H
