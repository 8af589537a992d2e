#include <orugroundstationservice.h>
#include <waylinecodec.h>
#include <waylinemission.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

// The mission's JSON forms against its record: every reading rule is a row.
class tst_WaylineCodec : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void reading_data();
    void reading();
    void atMostSixteenCommands();
    void writing();
    void roundTripKeepsAllButCommands();
    void actionTable();
    void controllerCommandList_data();
    void controllerCommandList();

private:
    OruGroundStationService &service() { return OruGroundStationService::instance(); }
    QTemporaryDir home;
};

using Field = std::function<double(const tagWAYLINE_MISSION &)>;
Q_DECLARE_METATYPE(Field)

namespace {

QJsonObject json(const QString &text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// A mission whose only waypoint holds the given members.
QJsonObject waypoint(const QString &members) {
    return json(QStringLiteral(R"({"WAY_POINTS": [{%1}]})").arg(members));
}

Field first(std::function<double(const tagWAYLINE_WAYPOINT &)> field) {
    return [field](const tagWAYLINE_MISSION &mission) { return field(mission.waypoints.value(0)); };
}

} // namespace

void tst_WaylineCodec::initTestCase() {
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    SingletonEx<OruGroundStationService>::createInstance();
}

void tst_WaylineCodec::reading_data() {
    QTest::addColumn<QJsonObject>("mission");
    QTest::addColumn<Field>("field");
    QTest::addColumn<double>("expected");

    const Field speed = first([](const auto &w) { return w.speed; });
    const Field yaw = first([](const auto &w) { return w.targetYaw; });
    const Field pitch = first([](const auto &w) { return w.targetGimbalPitch; });
    const Field index = first([](const auto &w) { return w.index; });
    const Field count = first([](const auto &w) { return w.actionCount(); });
    const Field repeat = first([](const auto &w) { return w.actionRepeat(); });
    const Field altitude = first([](const auto &w) { return w.altitude; });
    const Field code = first([](const auto &w) { return w.commandList[0]; });
    const Field parameter = first([](const auto &w) { return w.commandParameter[0]; });
    const Field length = [](const auto &m) { return m.length; };
    const Field points = [](const auto &m) { return m.waypoints.size(); };
    const Field range = [](const auto &m) { return m.velocityRange; };
    const Field homeLatitude = [](const auto &m) { return m.hpLatitude; };
    const Field onRcLost = [](const auto &m) { return m.actionOnRCLost; };
    const auto command = [](const QString &type, const QString &value) {
        return waypoint(QStringLiteral(R"("HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 1,
            "COMMAND_LIST": [{"ACTION_TYPE": "%1", "PARAM_VALUE": %2}]})")
                            .arg(type, value));
    };

    QTest::newRow("speed 3.5 is kept in hundredths")
        << waypoint(R"("HAS_SPEED": 1, "SPEED": 3.5)") << speed << 350.0;
    QTest::newRow("speed 0.004 rounds down")
        << waypoint(R"("HAS_SPEED": 1, "SPEED": 0.004)") << speed << 0.0;
    QTest::newRow("speed 0.005 rounds up")
        << waypoint(R"("HAS_SPEED": 1, "SPEED": 0.005)") << speed << 1.0;
    QTest::newRow("speed 655.36 wraps to 0")
        << waypoint(R"("HAS_SPEED": 1, "SPEED": 655.36)") << speed << 0.0;
    QTest::newRow("speed -1 wraps to 65437")
        << waypoint(R"("HAS_SPEED": 1, "SPEED": -1.0)") << speed << 65437.0;
    QTest::newRow("has-speed without a speed stores 0")
        << waypoint(R"("HAS_SPEED": 1)") << speed << 0.0;
    QTest::newRow("speed without has-speed is ignored")
        << waypoint(R"("HAS_SPEED": 0, "SPEED": 3.5)") << speed << 0.0;
    QTest::newRow("has-speed 256 keeps 0 and ignores the speed")
        << waypoint(R"("HAS_SPEED": 256, "SPEED": 3.5)") << speed << 0.0;

    QTest::newRow("yaw 12.9 truncates to 12") << waypoint(R"("TGT_YAW": 12.9)") << yaw << 12.0;
    QTest::newRow("yaw -12.9 truncates to -12") << waypoint(R"("TGT_YAW": -12.9)") << yaw << -12.0;
    QTest::newRow("yaw 32768 wraps to -32768")
        << waypoint(R"("TGT_YAW": 32768)") << yaw << -32768.0;
    QTest::newRow("fractional pitch reads 0")
        << waypoint(R"("TGT_GIMBAL_PITCH": -30.5)") << pitch << 0.0;
    QTest::newRow("whole pitch -30 is kept")
        << waypoint(R"("TGT_GIMBAL_PITCH": -30)") << pitch << -30.0;

    QTest::newRow("index 300 keeps its low byte") << waypoint(R"("INDEX": 300)") << index << 44.0;
    QTest::newRow("index -1 keeps its low byte") << waypoint(R"("INDEX": -1)") << index << 255.0;
    QTest::newRow("index beyond 32 bits keeps its low byte")
        << waypoint(R"("INDEX": 9007199254740994)") << index << 2.0;
    QTest::newRow("fractional index reads 0") << waypoint(R"("INDEX": 1.5)") << index << 0.0;
    QTest::newRow("index as a string reads 0") << waypoint(R"("INDEX": "3")") << index << 0.0;
    QTest::newRow("altitude is single precision")
        << waypoint(R"("ALTI": 0.1)") << altitude << double(0.1f);
    QTest::newRow("a waypoint that is not an object still counts")
        << json(R"({"WAY_POINTS": [3]})") << points << 1.0;

    QTest::newRow("action count 17 keeps 1")
        << waypoint(R"("HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 17})") << count << 1.0;
    QTest::newRow("repeat 16 keeps 0")
        << waypoint(R"("HAS_ACTION": 1, "ACTION": {"ACTION_RPT": 16})") << repeat << 0.0;
    QTest::newRow("repeat 3 lands in the high nibble")
        << waypoint(R"("HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 3})") << repeat
        << 3.0;
    QTest::newRow("action without has-action is ignored")
        << waypoint(R"("HAS_ACTION": 0, "ACTION": {"ACTION_NUM": 3})") << count << 0.0;

    QTest::newRow("parameter as a decimal string")
        << command("WP_ACTION_CRAFT_YAW", R"("-90")") << parameter << -90.0;
    QTest::newRow("parameter as a number reads 0")
        << command("WP_ACTION_CRAFT_YAW", "30") << parameter << 0.0;
    QTest::newRow("empty parameter string reads 0")
        << command("WP_ACTION_CRAFT_YAW", R"("")") << parameter << 0.0;
    QTest::newRow("unparsable parameter string reads 0")
        << command("WP_ACTION_CRAFT_YAW", R"("3x")") << parameter << 0.0;
    QTest::newRow("parameter 70000 keeps its low 16 bits")
        << command("WP_ACTION_CRAFT_YAW", R"("70000")") << parameter << 4464.0;
    QTest::newRow("gimbal pitch action is 5")
        << command("WP_ACTION_GIMBAL_PITCH", R"("0")") << code << 5.0;
    QTest::newRow("lower-case name gives 0")
        << command("wp_action_simple_shot", R"("0")") << code << 0.0;
    QTest::newRow("unknown name gives 0") << command("WP_ACTION_JUMP", R"("0")") << code << 0.0;

    QTest::newRow("length 300 keeps its low byte") << json(R"({"LENGTH": 300})") << length << 44.0;
    QTest::newRow("length is not checked against the list")
        << json(R"({"LENGTH": 5, "WAY_POINTS": [{}, {}]})") << length << 5.0;
    QTest::newRow("a list that is not an array gives no waypoints")
        << json(R"({"WAY_POINTS": {}})") << points << 0.0;
    QTest::newRow("velocity range is single precision")
        << json(R"({"VEL_CMD_RANGE": 0.1})") << range << double(0.1f);
    QTest::newRow("home latitude keeps double precision")
        << json(R"({"HP_LATI": 0.1})") << homeLatitude << 0.1;
    QTest::newRow("a boolean code reads 0")
        << json(R"({"ACTION_ON_RC_LOST": true})") << onRcLost << 0.0;
}

void tst_WaylineCodec::reading() {
    QFETCH(QJsonObject, mission);
    QFETCH(Field, field);
    QFETCH(double, expected);
    tagWAYLINE_MISSION record;
    service().MissionToStruct(mission, record);
    QCOMPARE(field(record), expected);
}

void tst_WaylineCodec::atMostSixteenCommands() {
    QJsonArray commands;
    for (int i = 0; i < 18; ++i)
        commands.append(QJsonObject{{"ACTION_TYPE", "WP_ACTION_VIDEO_START"},
                                    {"PARAM_VALUE", QString::number(i)}});
    tagWAYLINE_MISSION record;
    service().MissionToStruct(
        {{"WAY_POINTS",
          QJsonArray{QJsonObject{{"HAS_ACTION", 1},
                                 {"ACTION", QJsonObject{{"COMMAND_LIST", commands}}}}}}},
        record);
    // Taken whatever the action count says, up to the table's size.
    QCOMPARE(int(record.waypoints.at(0).commandList[15]), 2);
    QCOMPARE(int(record.waypoints.at(0).commandParameter[15]), 15);
}

void tst_WaylineCodec::writing() {
    tagWAYLINE_MISSION mission;
    mission.length = 5;
    mission.velocityRange = 0.1f;
    tagWAYLINE_WAYPOINT plain;
    plain.targetYaw = -12;
    tagWAYLINE_WAYPOINT busy;
    busy.hasSpeed = 2;
    busy.speed = 350;
    busy.hasAction = 1;
    busy.actionNumRpt = 0x32;
    busy.commandList[0] = WP_ACTION_CRAFT_YAW;
    mission.waypoints = {plain, busy, plain};

    QJsonObject written{{"KEPT", true}, {"LENGTH", "overwritten"}};
    service().MissionToJson(mission, written);
    QCOMPARE(written.value("KEPT"), QJsonValue(true));
    QCOMPARE(written.value("LENGTH"), QJsonValue(5));
    QCOMPARE(written.value("VEL_CMD_RANGE").toDouble(), 0.10000000149011612);
    const QJsonArray points = written.value("WAY_POINTS").toArray();
    QCOMPARE(points.size(), 3);
    QCOMPARE(points.at(0).toObject(), json(R"({"INDEX": 0, "LATI": 0, "LONTI": 0, "ALTI": 0,
        "DAMPING_DIS": 0, "TGT_YAW": -12, "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_SPEED": 0,
        "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 0})"));
    QCOMPARE(points.at(1)["SPEED"].toDouble(), 3.5);
    QCOMPARE(points.at(1)["ACTION"].toObject(), json(R"({"ACTION_NUM": 2, "ACTION_RPT": 3})"));
}

void tst_WaylineCodec::roundTripKeepsAllButCommands() {
    const QString mission = QStringLiteral(R"({"LENGTH": 1, "VEL_CMD_RANGE": 15, "IDLE_VEL": 5.5,
        "ACTION_ON_FINISH": 1, "MISSION_EXEC_NUM": 2, "YAW_MODE": 3, "TRACE_MODE": 1,
        "ACTION_ON_RC_LOST": 2, "GIMBAL_PITCH_MODE": 1, "HP_LATI": 0.698, "HP_LONTI": 2.001,
        "HP_ALTI": 30.25, "GOTO_FIRST": 1, "WAY_POINTS": [
          {"INDEX": 7, "LATI": 0.6981, "LONTI": 2.0, "ALTI": 12.5, "DAMPING_DIS": 0.25,
           "TGT_YAW": -90, "TGT_GIMBAL_PITCH": -45, "TURN_MODE": 1, "HAS_SPEED": 1, "SPEED": 3.5,
           "HAS_ACTION": 1, "ACTION_TIME_LIMIT": 600,
           "ACTION": {"ACTION_NUM": 1, "ACTION_RPT": 2%1}}]})");
    const QString commands = R"(, "COMMAND_LIST": [
        {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": "5"}])";
    tagWAYLINE_MISSION record;
    service().MissionToStruct(json(mission.arg(commands)), record);
    QJsonObject written;
    service().MissionToJson(record, written);
    QCOMPARE(written, json(mission.arg(QString())));

    tagWAYLINE_MISSION again;
    service().MissionToStruct(written, again);
    QCOMPARE(int(again.waypoints.at(0).commandParameter[0]), 0);
}

void tst_WaylineCodec::actionTable() {
    const QStringList names{"WP_ACTION_STAY",        "WP_ACTION_SIMPLE_SHOT",
                            "WP_ACTION_VIDEO_START", "WP_ACTION_VIDEO_STOP",
                            "WP_ACTION_CRAFT_YAW",   "WP_ACTION_GIMBAL_PITCH"};
    for (int code = 0; code < names.size(); ++code) {
        QCOMPARE(int(service().CommandListStringToUint8(names.at(code))), code);
        QCOMPARE(service().Uint8ToCmdListString(static_cast<unsigned char>(code)), names.at(code));
    }
    QCOMPARE(service().Uint8ToCmdListString(6), QString());
    QCOMPARE(int(service().CommandListStringToUint8(QString())), 0);
}

void tst_WaylineCodec::controllerCommandList_data() {
    QTest::addColumn<QJsonObject>("commands");
    QTest::addColumn<QVector<int>>("codes");
    QTest::addColumn<QVector<int>>("parameters");

    QTest::newRow("names in order, the stay in seconds")
        << json(R"({"WP_ACTION_STAY": 5000, "WP_ACTION_CRAFT_YAW": 90})") << QVector<int>{4, 0}
        << QVector<int>{90, 5};
    QTest::newRow("the stay truncates toward zero")
        << json(R"({"WP_ACTION_STAY": -1999})") << QVector<int>{0} << QVector<int>{-1};
    QTest::newRow("an unknown name is a stay")
        << json(R"({"JUMP": 2500, "WP_ACTION_VIDEO_STOP": 7})") << QVector<int>{0, 3}
        << QVector<int>{2, 7};
    QTest::newRow("the parameter is cut before the division")
        << json(R"({"WP_ACTION_STAY": 70000})") << QVector<int>{0} << QVector<int>{4};
}

void tst_WaylineCodec::controllerCommandList() {
    QFETCH(QJsonObject, commands);
    QFETCH(QVector<int>, codes);
    QFETCH(QVector<int>, parameters);
    tagWAYLINE_WAYPOINT waypoint;
    WaylineCodec::readControllerCommands(commands, waypoint);
    for (int i = 0; i < 16; ++i) {
        QCOMPARE(int(waypoint.commandList[i]), codes.value(i));
        QCOMPARE(int(waypoint.commandParameter[i]), parameters.value(i));
    }
}

QTEST_GUILESS_MAIN(tst_WaylineCodec)
#include "tst_waylinecodec.moc"
