#include "orutolmagent.h"

// Placeholder until the aircraft agent lands.
OruTolmAgent::OruTolmAgent(OruGroundStationService *service)
    : OruDeviceAgent(service)
{
    setObjectName(QStringLiteral("OruTolmAgent"));
}
OruTolmAgent::~OruTolmAgent() = default;
const QString &OruTolmAgent::SerialNumber() { return serialNumber; }
const unsigned char &OruTolmAgent::FlightType() { return flightType; }
void OruTolmAgent::GetParameters(ReplyCallback) {}
void OruTolmAgent::GetMissionLimits(ReplyCallback) {}
void OruTolmAgent::UploadWayLineMission(const QJsonObject &, ReplyCallback) {}
void OruTolmAgent::DownloadWayLineMission(ReplyCallback) {}
void OruTolmAgent::SetNavigationMode(emNAVIGATION_MODE, ReplyCallback) {}
void OruTolmAgent::StartOrCancel(unsigned char, ReplyCallback) {}
void OruTolmAgent::PauseOrContinue(unsigned char, ReplyCallback) {}
void OruTolmAgent::SetHomePoint(const QJsonObject &, ReplyCallback) {}
void OruTolmAgent::onEvent(const QJsonObject &) {}
void OruTolmAgent::DoFunction(const QString &, ReplyCallback) {}
void OruTolmAgent::SetNoFlyZone(const QJsonArray &, ReplyCallback) {}
void OruTolmAgent::StartSimulation(const QJsonObject &, ReplyCallback) {}
void OruTolmAgent::StopSimulation(const QJsonObject &, ReplyCallback) {}
void OruTolmAgent::ClickGo(const QJsonObject &, ReplyCallback) {}
void OruTolmAgent::GetFlyLimit(ReplyCallback) {}
void OruTolmAgent::onHeartbeat() {}
void OruTolmAgent::sendGetVersion() {}
void OruTolmAgent::sendSetBatteryPush() {}
void OruTolmAgent::sendGetFlightType() {}
void OruTolmAgent::sendGetSN() {}
void OruTolmAgent::broadcastConnect() {}
void OruTolmAgent::sendUploadWayPoint(int, std::shared_ptr<tagWAYLINE_MISSION>,
                                      const ReplyCallback &)
{
}
void OruTolmAgent::sendDownloadWayPoint(int, std::shared_ptr<tagWAYLINE_MISSION>,
                                        const ReplyCallback &)
{
}
