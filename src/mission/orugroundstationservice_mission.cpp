#include "orugroundstationservice.h"
#include "waylinecodec.h"
#include "waylinemission.h"

void OruGroundStationService::MissionToStruct(const QJsonObject &json,
                                              tagWAYLINE_MISSION &mission) {
    WaylineCodec::readHeader(json, mission);
    const QJsonArray points = json.value(QStringLiteral("WAY_POINTS")).toArray();
    for (const QJsonValue &point : points) {
        const QJsonObject object = point.toObject();
        tagWAYLINE_WAYPOINT waypoint = WaylineCodec::readWaypoint(object);
        // How many commands are taken does not depend on the action count.
        if (waypoint.hasAction) {
            const QJsonObject action = object.value(QStringLiteral("ACTION")).toObject();
            WaylineCodec::readWebCommands(action.value(QStringLiteral("COMMAND_LIST")).toArray(),
                                          waypoint);
        }
        mission.waypoints.append(waypoint);
    }
}

void OruGroundStationService::MissionToJson(const tagWAYLINE_MISSION &mission, QJsonObject &json) {
    WaylineCodec::writeHeader(mission, json);
    QJsonArray points;
    for (const tagWAYLINE_WAYPOINT &waypoint : mission.waypoints)
        points.append(WaylineCodec::writeWaypoint(waypoint));
    json.insert(QStringLiteral("WAY_POINTS"), points);
}

unsigned char OruGroundStationService::CommandListStringToUint8(const QString &name) {
    return WaylineCodec::actionCode(name);
}

QString OruGroundStationService::Uint8ToCmdListString(unsigned char code) {
    return WaylineCodec::actionName(code);
}
