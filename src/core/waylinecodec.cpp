#include "waylinecodec.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

const char *const ActionNames[] = {
    "WP_ACTION_STAY",       "WP_ACTION_SIMPLE_SHOT", "WP_ACTION_VIDEO_START",
    "WP_ACTION_VIDEO_STOP", "WP_ACTION_CRAFT_YAW",   "WP_ACTION_GIMBAL_PITCH",
};
constexpr int ActionCount = int(sizeof(ActionNames) / sizeof(ActionNames[0]));
constexpr int CommandSlots = 16;

// Whole numbers of any size wrap like an integer cast; fmod is exact, so
// values beyond 64 bits still keep their true low bits.
quint16 low16(double whole) {
    if (!std::isfinite(whole))
        return 0;
    double rest = std::fmod(whole, 65536.0);
    if (rest < 0)
        rest += 65536.0;
    return static_cast<quint16>(rest);
}

quint8 low8(const QJsonValue &value) {
    return static_cast<quint8>(WaylineCodec::wholeBits(value) & 0xff);
}

float single(const QJsonValue &value) {
    return static_cast<float>(WaylineCodec::real(value));
}

QJsonValue key(const QJsonObject &json, const char *name) {
    return json.value(QLatin1String(name));
}

} // namespace

quint16 WaylineCodec::wholeBits(const QJsonValue &value) {
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number)
        return 0;
    return low16(number);
}

double WaylineCodec::real(const QJsonValue &value) {
    return value.isDouble() ? value.toDouble() : 0.0;
}

qint16 WaylineCodec::targetYaw(const QJsonValue &value) {
    return static_cast<qint16>(low16(std::trunc(real(value))));
}

quint16 WaylineCodec::speedHundredths(const QJsonValue &value) {
    return low16(std::trunc(real(value) * 100 + 0.5));
}

qint16 WaylineCodec::decimalParameter(const QJsonValue &value) {
    if (!value.isString())
        return 0;
    const QString text = value.toString().trimmed();
    int at = 0;
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative || text.startsWith(QLatin1Char('+')))
        at = 1;
    if (at >= text.size())
        return 0;
    // Accumulated modulo 2^16 so that any length of digits keeps its low bits.
    quint16 bits = 0;
    for (; at < text.size(); ++at) {
        const QChar digit = text.at(at);
        if (digit < QLatin1Char('0') || digit > QLatin1Char('9'))
            return 0;
        bits = static_cast<quint16>(bits * 10u + quint16(digit.unicode() - '0'));
    }
    if (negative)
        bits = static_cast<quint16>(0u - bits);
    return static_cast<qint16>(bits);
}

unsigned char WaylineCodec::actionCode(const QString &name) {
    for (int code = 0; code < ActionCount; ++code) {
        if (name == QLatin1String(ActionNames[code]))
            return static_cast<unsigned char>(code);
    }
    return 0;
}

QString WaylineCodec::actionName(unsigned char code) {
    if (code >= ActionCount)
        return QString();
    return QString::fromLatin1(ActionNames[code]);
}

void WaylineCodec::readHeader(const QJsonObject &json, tagWAYLINE_MISSION &mission) {
    mission.length = low8(key(json, "LENGTH"));
    mission.velocityRange = single(key(json, "VEL_CMD_RANGE"));
    mission.idleVelocity = single(key(json, "IDLE_VEL"));
    mission.actionOnFinish = low8(key(json, "ACTION_ON_FINISH"));
    mission.missionExecTimes = low8(key(json, "MISSION_EXEC_NUM"));
    mission.yawMode = low8(key(json, "YAW_MODE"));
    mission.traceMode = low8(key(json, "TRACE_MODE"));
    mission.actionOnRCLost = low8(key(json, "ACTION_ON_RC_LOST"));
    mission.gimbalPitchMode = low8(key(json, "GIMBAL_PITCH_MODE"));
    mission.hpLatitude = real(key(json, "HP_LATI"));
    mission.hpLongitude = real(key(json, "HP_LONTI"));
    mission.hpAltitude = single(key(json, "HP_ALTI"));
    mission.gotoFirst = low8(key(json, "GOTO_FIRST"));
}

tagWAYLINE_WAYPOINT WaylineCodec::readWaypoint(const QJsonObject &json) {
    tagWAYLINE_WAYPOINT waypoint;
    waypoint.index = low8(key(json, "INDEX"));
    waypoint.latitude = real(key(json, "LATI"));
    waypoint.longitude = real(key(json, "LONTI"));
    waypoint.altitude = single(key(json, "ALTI"));
    waypoint.dampingDistance = single(key(json, "DAMPING_DIS"));
    waypoint.targetYaw = targetYaw(key(json, "TGT_YAW"));
    waypoint.targetGimbalPitch = static_cast<qint16>(wholeBits(key(json, "TGT_GIMBAL_PITCH")));
    waypoint.turnMode = low8(key(json, "TURN_MODE"));
    waypoint.hasSpeed = low8(key(json, "HAS_SPEED"));
    if (waypoint.hasSpeed)
        waypoint.speed = speedHundredths(key(json, "SPEED"));
    waypoint.hasAction = low8(key(json, "HAS_ACTION"));
    waypoint.actionTimeLimit = wholeBits(key(json, "ACTION_TIME_LIMIT"));
    if (waypoint.hasAction) {
        const QJsonObject action = key(json, "ACTION").toObject();
        const quint8 count = low8(key(action, "ACTION_NUM")) & 0x0f;
        const quint8 repeat = low8(key(action, "ACTION_RPT")) & 0x0f;
        waypoint.actionNumRpt = static_cast<quint8>(count | (repeat << 4));
    }
    return waypoint;
}

void WaylineCodec::readWebCommands(const QJsonArray &commands, tagWAYLINE_WAYPOINT &waypoint) {
    // The table has 16 slots; further entries have nowhere to go.
    const int taken = std::min(int(commands.size()), CommandSlots);
    for (int i = 0; i < taken; ++i) {
        const QJsonObject command = commands.at(i).toObject();
        waypoint.commandList[i] = actionCode(key(command, "ACTION_TYPE").toString());
        waypoint.commandParameter[i] = decimalParameter(key(command, "PARAM_VALUE"));
    }
}

void WaylineCodec::readControllerCommands(const QJsonObject &commands,
                                          tagWAYLINE_WAYPOINT &waypoint) {
    QStringList names = commands.keys();
    std::sort(names.begin(), names.end());
    const int taken = std::min(int(names.size()), CommandSlots);
    for (int i = 0; i < taken; ++i) {
        const unsigned char code = actionCode(names.at(i));
        qint16 parameter = static_cast<qint16>(wholeBits(commands.value(names.at(i))));
        if (code == WP_ACTION_STAY)
            parameter = static_cast<qint16>(parameter / 1000);
        waypoint.commandList[i] = code;
        waypoint.commandParameter[i] = parameter;
    }
}

void WaylineCodec::writeHeader(const tagWAYLINE_MISSION &mission, QJsonObject &json) {
    json.insert(QStringLiteral("LENGTH"), int(mission.length));
    json.insert(QStringLiteral("VEL_CMD_RANGE"), double(mission.velocityRange));
    json.insert(QStringLiteral("IDLE_VEL"), double(mission.idleVelocity));
    json.insert(QStringLiteral("ACTION_ON_FINISH"), int(mission.actionOnFinish));
    json.insert(QStringLiteral("MISSION_EXEC_NUM"), int(mission.missionExecTimes));
    json.insert(QStringLiteral("YAW_MODE"), int(mission.yawMode));
    json.insert(QStringLiteral("TRACE_MODE"), int(mission.traceMode));
    json.insert(QStringLiteral("ACTION_ON_RC_LOST"), int(mission.actionOnRCLost));
    json.insert(QStringLiteral("GIMBAL_PITCH_MODE"), int(mission.gimbalPitchMode));
    json.insert(QStringLiteral("HP_LATI"), mission.hpLatitude);
    json.insert(QStringLiteral("HP_LONTI"), mission.hpLongitude);
    json.insert(QStringLiteral("HP_ALTI"), double(mission.hpAltitude));
    json.insert(QStringLiteral("GOTO_FIRST"), int(mission.gotoFirst));
}

QJsonObject WaylineCodec::writeWaypoint(const tagWAYLINE_WAYPOINT &waypoint) {
    QJsonObject json{
        {QStringLiteral("INDEX"), int(waypoint.index)},
        {QStringLiteral("LATI"), waypoint.latitude},
        {QStringLiteral("LONTI"), waypoint.longitude},
        {QStringLiteral("ALTI"), double(waypoint.altitude)},
        {QStringLiteral("DAMPING_DIS"), double(waypoint.dampingDistance)},
        {QStringLiteral("TGT_YAW"), int(waypoint.targetYaw)},
        {QStringLiteral("TGT_GIMBAL_PITCH"), int(waypoint.targetGimbalPitch)},
        {QStringLiteral("TURN_MODE"), int(waypoint.turnMode)},
        {QStringLiteral("HAS_SPEED"), int(waypoint.hasSpeed)},
        {QStringLiteral("HAS_ACTION"), int(waypoint.hasAction)},
        {QStringLiteral("ACTION_TIME_LIMIT"), int(waypoint.actionTimeLimit)},
    };
    if (waypoint.hasSpeed)
        json.insert(QStringLiteral("SPEED"), waypoint.speed * 0.01);
    if (waypoint.hasAction)
        json.insert(QStringLiteral("ACTION"),
                    QJsonObject{{QStringLiteral("ACTION_NUM"), int(waypoint.actionCount())},
                                {QStringLiteral("ACTION_RPT"), int(waypoint.actionRepeat())}});
    return json;
}

QJsonArray WaylineCodec::writeControllerCommands(const tagWAYLINE_WAYPOINT &waypoint) {
    QJsonArray commands;
    for (int i = 0; i < waypoint.actionCount(); ++i) {
        commands.append(
            QJsonObject{{QStringLiteral("ACTION_TYPE"), actionName(waypoint.commandList[i])},
                        {QStringLiteral("PARAM_VALUE"), int(waypoint.commandParameter[i])}});
    }
    return commands;
}

void WaylineCodec::readMission(const QJsonObject &json, tagWAYLINE_MISSION &mission) {
    readHeader(json, mission);
    const QJsonArray points = json.value(QStringLiteral("WAY_POINTS")).toArray();
    for (const QJsonValue &point : points) {
        const QJsonObject object = point.toObject();
        tagWAYLINE_WAYPOINT waypoint = readWaypoint(object);
        // How many commands are taken does not depend on the action count.
        if (waypoint.hasAction) {
            const QJsonObject action = object.value(QStringLiteral("ACTION")).toObject();
            readWebCommands(action.value(QStringLiteral("COMMAND_LIST")).toArray(), waypoint);
        }
        mission.waypoints.append(waypoint);
    }
}

void WaylineCodec::writeMission(const tagWAYLINE_MISSION &mission, QJsonObject &json) {
    writeHeader(mission, json);
    QJsonArray points;
    for (const tagWAYLINE_WAYPOINT &waypoint : mission.waypoints)
        points.append(writeWaypoint(waypoint));
    json.insert(QStringLiteral("WAY_POINTS"), points);
}
