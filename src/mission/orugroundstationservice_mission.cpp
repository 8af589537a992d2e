#include "orugroundstationservice.h"
#include "waylinemission.h"

// Placeholder until the mission codec lands.
void OruGroundStationService::MissionToStruct(const QJsonObject &, tagWAYLINE_MISSION &) {}
void OruGroundStationService::MissionToJson(const tagWAYLINE_MISSION &, QJsonObject &) {}
unsigned char OruGroundStationService::CommandListStringToUint8(const QString &) { return 0; }
QString OruGroundStationService::Uint8ToCmdListString(unsigned char) { return {}; }
