#include "noflyzonemanager.h"

#include "orugroundstationservice.h"

// Placeholder until the zone database lands.
NoFlyZoneManager::NoFlyZoneManager(QObject *parent)
    : QObject(parent)
    , maxDistance(50000.0)
{
}
NoFlyZoneManager::~NoFlyZoneManager() = default;
void NoFlyZoneManager::initNoflyZone() {}
QJsonArray NoFlyZoneManager::GetNearbyNoflyZone(double, double) { return {}; }
void OruGroundStationService::GetNoFlyZone(double, double, ReplyCallback) {}
