#ifndef NOFLYZONEMANAGER_H
#define NOFLYZONEMANAGER_H

#include <nearbyzones.h>
#include <noflyzone.h>

#include <QJsonArray>
#include <QObject>
#include <QString>

#include <vector>

// The no-fly zones of the zone file beside the host, loaded once in the
// background, and the query for those near a point.
class NoFlyZoneManager : public QObject {
    Q_OBJECT
public:
    explicit NoFlyZoneManager(QObject *parent);
    ~NoFlyZoneManager() override;

    QJsonArray GetNearbyNoflyZone(double latitude, double longitude);

protected:
    void initNoflyZone();
    // Installs a complete, sorted list; queries see it whole or not at all.
    void setZones(std::vector<NoFlyZone> loaded);

private:
    NearbyZones nearby_zones;
};

#endif // NOFLYZONEMANAGER_H
