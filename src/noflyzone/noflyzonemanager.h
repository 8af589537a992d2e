#ifndef NOFLYZONEMANAGER_H
#define NOFLYZONEMANAGER_H

#include "noflyzone.h"
#include "oruexport.h"

#include <QJsonArray>
#include <QObject>

#include <vector>

class ORU_EXPORT NoFlyZoneManager : public QObject
{
    Q_OBJECT
public:
    explicit NoFlyZoneManager(QObject *parent);
    ~NoFlyZoneManager() override;

    QJsonArray GetNearbyNoflyZone(double latitude, double longitude);

protected:
    void initNoflyZone();

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
};

#endif // NOFLYZONEMANAGER_H
