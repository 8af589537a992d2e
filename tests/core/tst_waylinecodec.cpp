#include <waylinecodec.h>
#include <waylinemission.h>

#include <QJsonDocument>
#include <QTest>

#include <functional>

using Field = std::function<double(const tagWAYLINE_MISSION &)>;
Q_DECLARE_METATYPE(Field)

namespace {

QJsonObject json(const QString &text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

template<typename T> Field of(T tagWAYLINE_WAYPOINT::*member) {
    return [member](const tagWAYLINE_MISSION &m) { return double(m.waypoints.value(0).*member); };
}

template<typename T> Field of(T tagWAYLINE_MISSION::*member) {
    return [member](const tagWAYLINE_MISSION &m) { return double(m.*member); };
}

void row(const char *name, const QString &mission, const Field &field, double expected) {
    QTest::newRow(name) << json(mission) << field << expected;
}

void point(const char *name, const QString &members, const Field &field, double expected) {
    row(name, QStringLiteral(R"({"WAY_POINTS": [{%1}]})").arg(members), field, expected);
}

} // namespace

class tst_WaylineCodec : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reading_data();
    void reading();
    void controllerCommandList_data();
    void controllerCommandList();
};

void tst_WaylineCodec::reading_data() {
    QTest::addColumn<QJsonObject>("mission");
    QTest::addColumn<Field>("field");
    QTest::addColumn<double>("expected");

    const Field speed = of(&tagWAYLINE_WAYPOINT::speed);
    const Field yaw = of(&tagWAYLINE_WAYPOINT::targetYaw);
    const Field pitch = of(&tagWAYLINE_WAYPOINT::targetGimbalPitch);
    const Field index = of(&tagWAYLINE_WAYPOINT::index);
    const Field actions = of(&tagWAYLINE_WAYPOINT::actionNumRpt);
    const Field code = [](const auto &m) { return m.waypoints.value(0).commandList[0]; };
    const Field parameter = [](const auto &m) { return m.waypoints.value(0).commandParameter[0]; };
    const Field length = of(&tagWAYLINE_MISSION::length);
    const Field points = [](const auto &m) { return m.waypoints.size(); };

    point("speed 3.5 is kept in hundredths", R"("HAS_SPEED": 1, "SPEED": 3.5)", speed, 350);
    point("speed 0.004 rounds down", R"("HAS_SPEED": 1, "SPEED": 0.004)", speed, 0);
    point("speed 0.005 rounds up", R"("HAS_SPEED": 1, "SPEED": 0.005)", speed, 1);
    point("speed -1 wraps to 65437", R"("HAS_SPEED": 1, "SPEED": -1.0)", speed, 65437);
    point("has-speed 256 cuts to 0, no speed", R"("HAS_SPEED": 256, "SPEED": 3.5)", speed, 0);
    point("yaw -12.9 truncates to -12", R"("TGT_YAW": -12.9)", yaw, -12);
    point("yaw 32768 wraps to -32768", R"("TGT_YAW": 32768)", yaw, -32768);
    point("fractional pitch reads 0", R"("TGT_GIMBAL_PITCH": -30.5)", pitch, 0);
    point("whole pitch -30 is kept", R"("TGT_GIMBAL_PITCH": -30)", pitch, -30);
    point("index 300 keeps its low byte", R"("INDEX": 300)", index, 44);
    point("index beyond 32 bits keeps its low byte", R"("INDEX": 9007199254740994)", index, 2);
    point("fractional index reads 0", R"("INDEX": 1.5)", index, 0);
    point("altitude is a float", R"("ALTI": 0.1)", of(&tagWAYLINE_WAYPOINT::altitude),
          double(0.1f));
    point("count 17 and repeat 16 keep their low nibbles",
          R"("HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 17, "ACTION_RPT": 16})", actions, 1);
    point("repeat 3 lands in the high nibble",
          R"("HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 3})", actions, 0x32);
    point("no action without has-action", R"("HAS_ACTION": 0, "ACTION": {"ACTION_NUM": 3})",
          actions, 0);

    const QString list = QStringLiteral(R"("HAS_ACTION": 1, "ACTION": {"COMMAND_LIST": [%1]})");
    point("a decimal string parameter", list.arg(R"({"PARAM_VALUE": "-90"})"), parameter, -90);
    point("parameter as a number reads 0", list.arg(R"({"PARAM_VALUE": 30})"), parameter, 0);
    point("unparsable parameter reads 0", list.arg(R"({"PARAM_VALUE": "3x"})"), parameter, 0);
    point("parameter 70000 wraps", list.arg(R"({"PARAM_VALUE": "70000"})"), parameter, 4464);
    point("a name gives a code", list.arg(R"({"ACTION_TYPE": "WP_ACTION_GIMBAL_PITCH"})"), code, 5);
    // Taken whatever the action count says, up to the table's size.
    const QString shot = QStringLiteral(R"({"ACTION_TYPE": "WP_ACTION_SIMPLE_SHOT"},)");
    point(
        "of 18 commands the first 16 are taken", list.arg(shot.repeated(17) + "{}"),
        [](const auto &m) { return m.waypoints.value(0).commandList[15]; }, 1);

    row("length is not checked", R"({"LENGTH": 5, "WAY_POINTS": [{}, {}]})", length, 5);
    row("a waypoint that is not an object still counts", R"({"WAY_POINTS": [3]})", points, 1);
    row("a list that is not an array gives no waypoints", R"({"WAY_POINTS": {}})", points, 0);
    row("home latitude keeps double precision", R"({"HP_LATI": 0.1})",
        of(&tagWAYLINE_MISSION::hpLatitude), 0.1);
    row("a boolean code reads 0", R"({"ACTION_ON_RC_LOST": true})",
        of(&tagWAYLINE_MISSION::actionOnRCLost), 0);
}

void tst_WaylineCodec::reading() {
    QFETCH(QJsonObject, mission);
    QFETCH(Field, field);
    QFETCH(double, expected);
    tagWAYLINE_MISSION record;
    WaylineCodec::readMission(mission, record);
    QCOMPARE(field(record), expected);
}

void tst_WaylineCodec::controllerCommandList_data() {
    QTest::addColumn<QJsonObject>("commands");
    QTest::addColumn<QString>("table"); // code:parameter, up to the last one in use

    QTest::newRow("a stay cuts toward zero") << json(R"({"WP_ACTION_STAY": -1999})") << "0:-1";
    QTest::newRow("names in order, each with its code, the stay in seconds")
        << json(R"({"WP_ACTION_CRAFT_YAW": 1,
        "WP_ACTION_GIMBAL_PITCH": 2, "WP_ACTION_SIMPLE_SHOT": 3, "WP_ACTION_STAY": 4000,
        "WP_ACTION_VIDEO_START": 5, "WP_ACTION_VIDEO_STOP": 6})")
        << "4:1 5:2 1:3 0:4 2:5 3:6";
    QTest::newRow("an unknown or lower-case name is a stay")
        << json(R"({"JUMP": 2500, "wp_action_video_stop": 7000})") << "0:2 0:7";
    QTest::newRow("the parameter is cut before the division")
        << json(R"({"WP_ACTION_STAY": 70000})") << "0:4";
}

void tst_WaylineCodec::controllerCommandList() {
    QFETCH(QJsonObject, commands);
    QFETCH(QString, table);
    tagWAYLINE_WAYPOINT w;
    WaylineCodec::readControllerCommands(commands, w);
    QString read;
    for (int i = 0; i < 16; ++i)
        read += QStringLiteral(" %1:%2").arg(w.commandList[i]).arg(w.commandParameter[i]);
    while (read.endsWith(QLatin1String(" 0:0")))
        read.chop(4);
    QCOMPARE(read.trimmed(), table);
}

#include <orutestmain.h>
ORU_TEST_MAIN(tst_WaylineCodec)
#include "tst_waylinecodec.moc"
