#include "orugroundstationservice.h"

// Placeholder until the wayline store lands.
void OruGroundStationService::initFolder() {}
void OruGroundStationService::SaveWayLine(const QString &, const QJsonObject &, ReplyCallback) {}
void OruGroundStationService::LoadWayLine(const QString &, ReplyCallback) {}
void OruGroundStationService::WayLineList(ReplyCallback) {}
