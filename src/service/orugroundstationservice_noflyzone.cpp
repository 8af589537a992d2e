#include "orugroundstationservice.h"

#include <noflyzonemanager.h>
#include <orudeviceagent.h>

#include <vector>

void OruGroundStationService::GetNoFlyZone(double lati, double lonti, ReplyCallback writer) {
    const QJsonArray zones = noFlyZoneManager->GetNearbyNoflyZone(lati, lonti);
    if (writer)
        writer({{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")},
                {QStringLiteral("VALUE"), zones}});

    // Taken before the first call: whatever an agent does may change the
    // registry, and the agents told must be those that were there.
    std::vector<std::shared_ptr<OruDeviceAgent>> identified;
    for (const auto &entry : agents) {
        if (!entry.second->SerialNumber().isEmpty())
            identified.push_back(entry.second);
    }
    for (const auto &agent : identified)
        agent->SetNoFlyZone(zones, ReplyCallback());
}

void OruGroundStationService::GetNoFlyZoneState(const ReplyCallback &writer) {
    static const char *const names[] = {"loading", "loaded", "failed"};
    const QJsonObject state{
        {QStringLiteral("STATE"), QLatin1String(names[noFlyZoneManager->state()])},
        {QStringLiteral("COUNT"), static_cast<qint64>(noFlyZoneManager->zoneCount())},
        {QStringLiteral("REASON"), noFlyZoneManager->failureReason()}};
    if (writer)
        writer({{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")},
                {QStringLiteral("VALUE"), state}});
}
