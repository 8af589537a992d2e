#include "orugroundstationservice.h"

#include <waylinecodec.h>
#include <waylinemission.h>

// The service offers the codec of the core library under the names the
// host's interface fixes.

void OruGroundStationService::MissionToStruct(const QJsonObject &json,
                                              tagWAYLINE_MISSION &mission) {
    WaylineCodec::readMission(json, mission);
}

void OruGroundStationService::MissionToJson(const tagWAYLINE_MISSION &mission, QJsonObject &json) {
    WaylineCodec::writeMission(mission, json);
}

unsigned char OruGroundStationService::CommandListStringToUint8(const QString &name) {
    return WaylineCodec::actionCode(name);
}

QString OruGroundStationService::Uint8ToCmdListString(unsigned char code) {
    return WaylineCodec::actionName(code);
}
