#ifndef WAYLINECODEC_H
#define WAYLINECODEC_H

#include "waylinemission.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The reading and writing rules shared by the web form of a mission and the
// controller's per-waypoint messages. Reading is lenient: a missing or
// mistyped member reads as zero, and a whole number keeps only the bits of
// the field it lands in.
class WaylineCodec {
public:
    // The low 16 bits of a whole JSON number; anything else gives 0.
    static quint16 wholeBits(const QJsonValue &value);
    // Any JSON number; anything else gives 0.0.
    static double real(const QJsonValue &value);
    // A real yaw truncated toward zero, then cut to 16 bits.
    static qint16 targetYaw(const QJsonValue &value);
    // Hundredths of a real speed, rounded half up, then cut to 16 bits.
    static quint16 speedHundredths(const QJsonValue &value);
    // A decimal integer held in a JSON string, cut to 16 bits; 0 otherwise.
    static qint16 decimalParameter(const QJsonValue &value);

    static unsigned char actionCode(const QString &name);
    static QString actionName(unsigned char code);

    // The web form of a whole mission: header, then "WAY_POINTS" with each
    // waypoint's "ACTION"."COMMAND_LIST" read when it has an action.
    static void readMission(const QJsonObject &json, tagWAYLINE_MISSION &mission);
    static void writeMission(const tagWAYLINE_MISSION &mission, QJsonObject &json);

    // The 13 header keys, from the top level of json.
    static void readHeader(const QJsonObject &json, tagWAYLINE_MISSION &mission);
    // Every member of a waypoint but its command list, whose form differs
    // between the web client and the controller.
    static tagWAYLINE_WAYPOINT readWaypoint(const QJsonObject &json);
    // Web form: an array of {"ACTION_TYPE": name, "PARAM_VALUE": "decimal"}.
    static void readWebCommands(const QJsonArray &commands, tagWAYLINE_WAYPOINT &waypoint);
    // Controller form: an object of name -> parameter, taken in name order;
    // the controller gives the stay in milliseconds, the record in seconds.
    static void readControllerCommands(const QJsonObject &commands, tagWAYLINE_WAYPOINT &waypoint);

    static void writeHeader(const tagWAYLINE_MISSION &mission, QJsonObject &json);
    // Every member of a waypoint but its command list.
    static QJsonObject writeWaypoint(const tagWAYLINE_WAYPOINT &waypoint);
    // Controller form: the first action-count commands, parameters as integers.
    static QJsonArray writeControllerCommands(const tagWAYLINE_WAYPOINT &waypoint);
};

#endif // WAYLINECODEC_H
