#include "hostprocess.h"
#include "jsonclient.h"
#include "simulatedaircraft.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

namespace {

const double HomeLatitude = qDegreesToRadians(47.3977);
const double HomeLongitude = qDegreesToRadians(8.5456);

double latitudeAt(double north) {
    return HomeLatitude + north / FlightModel::EarthRadius;
}

double longitudeAt(double east) {
    return HomeLongitude + east / (FlightModel::EarthRadius * std::cos(HomeLatitude));
}

SimDevice device() {
    return {"0123", "Tolm_2014_RX", "SIM123456", 1, HomeLatitude, HomeLongitude};
}

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}

QJsonObject with(QJsonObject object, const QJsonObject &more) {
    for (auto it = more.begin(); it != more.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

QJsonObject header(int length = 3, int finish = 0) {
    return with(json(R"({"VEL_CMD_RANGE": 15, "IDLE_VEL": 10, "MISSION_EXEC_NUM": 1, "YAW_MODE": 0,
                         "TRACE_MODE": 0, "ACTION_ON_RC_LOST": 1, "GIMBAL_PITCH_MODE": 0,
                         "HP_ALTI": 0, "GOTO_FIRST": 0})"),
                {{"LENGTH", length},
                 {"ACTION_ON_FINISH", finish},
                 {"HP_LATI", HomeLatitude},
                 {"HP_LONTI", HomeLongitude}});
}

// A waypoint so many metres north and east of home.
QJsonObject waypoint(int index, double north, double east = 0, double altitude = 30) {
    return with(json(R"({"DAMPING_DIS": 2, "TGT_YAW": 0, "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0,
                         "HAS_SPEED": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 0})"),
                {{"INDEX", index},
                 {"LATI", latitudeAt(north)},
                 {"LONTI", longitudeAt(east)},
                 {"ALTI", altitude}});
}

QJsonObject request(const QString &command, const QJsonValue &value = QJsonValue::Undefined) {
    return {{"CMD", command}, {"SEQ", "s1"}, {"VALUE", value}}; // an undefined VALUE is left out
}

QJsonArray upload(const QJsonObject &header, const QJsonArray &points) {
    QJsonArray requests{request("UploadWayLineMission", header)};
    for (const QJsonValue &point : points)
        requests.append(request("UploadWayPoint", point));
    return requests;
}

// The "ERROR" of each reply, in order.
QStringList answer(SimulatedAircraft &aircraft, const QJsonArray &requests) {
    QStringList errors;
    for (const QJsonValue &one : requests)
        errors.append(aircraft.handle(one.toObject()).value("ERROR").toString());
    return errors;
}

QList<QJsonObject> eventsNamed(const QSignalSpy &spy, const QString &name) {
    QList<QJsonObject> events;
    for (const QList<QVariant> &arguments : spy) {
        const QJsonObject event = arguments.at(0).toJsonObject();
        if (event.value("EVENT").toString() == name)
            events.append(event.value("VALUE").toObject());
    }
    return events;
}

QString errorOf(const std::optional<QJsonObject> &reply) {
    if (!reply)
        return "no reply";
    const QString message = reply->value("ERROR_MESSAGE").toString();
    return (reply->value("ERROR").toString() + ' ' + message).trimmed();
}

using Match = std::function<bool(const QJsonObject &)>;

Match statusIs(const QString &status) {
    return [status](const QJsonObject &state) {
        return state.value("FLIGHT_STATUS").toString() == status;
    };
}

} // namespace

class TestSimulation : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    // One simulated controller alone, request by request, its clock moved by hand.
    void replies_data();
    void replies();
    void downloadGivesBackTheLastCompleteUpload();
    void missionEnds_data();
    void missionEnds();
    void stoppedSimulationReportsNothing();

    // The host with two simulated aircraft, flown through "/groundstation" and
    // "/groundstation/push"; each function goes on from where the last left them.
    void bothAircraftAreListed();
    void placedAircraftTakeOffAndReport();
    void uploadReportsProgressAndDownloadGivesTheMissionBack();
    void missionFliesToItsLastWaypoint();
    void flyToPointPausesAndContinues();
    void aircraftLands();

private:
    bool command(const QString &name, QJsonObject value, const QString &aircraft);
    // The VALUE of the first push event of aircraft at or after position
    // `from` that matches; from moves past it.
    std::optional<QJsonObject> next(const QString &event, const QString &aircraft, int &from,
                                    const Match &match = {});

    HostProcess m_host;
    JsonClient m_commands;
    JsonClient m_push;
    QString m_first; // serial numbers
    QString m_second;
};

void TestSimulation::initTestCase() {
    QVERIFY2(m_host.launch({"--simulate", "2", "--sim-speed", "20"}), m_host.output().constData());
    QVERIFY(m_host.connectClient(m_push, "/groundstation/push"));
    QVERIFY(m_host.connectClient(m_commands, "/groundstation"));
}

bool TestSimulation::command(const QString &name, QJsonObject value, const QString &aircraft) {
    value.insert("AIRCRAFT", aircraft);
    const QString error = errorOf(m_commands.call(name, value, 10000));
    if (error != "SUCCESS")
        qWarning().noquote() << name << "answered" << error;
    return error == "SUCCESS";
}

std::optional<QJsonObject> TestSimulation::next(const QString &event, const QString &aircraft,
                                                int &from, const Match &match) {
    std::optional<QJsonObject> found;
    (void)QTest::qWaitFor(
        [&]() {
            for (; !found && from < m_push.received.size(); ++from) {
                const QJsonObject &message = m_push.received.at(from);
                const QJsonObject value = message.value("VALUE").toObject();
                if (message.value("EVENT").toString() == event &&
                    value.value("AIRCRAFT").toString() == aircraft && (!match || match(value)))
                    found = value;
            }
            return found.has_value();
        },
        30000);
    return found;
}

void TestSimulation::replies_data() {
    QTest::addColumn<QJsonArray>("before"); // each must succeed
    QTest::addColumn<QJsonObject>("sent");
    QTest::addColumn<QJsonObject>("expected"); // the keys of the reply that matter

    const QJsonArray none;
    const QJsonArray headerOnly{request("UploadWayLineMission", header())};
    const QJsonArray mission = upload(header(2), {waypoint(0, 0), waypoint(1, 300)});
    const auto fails = [](int code, const QString &message) {
        return QJsonObject{{"ERROR", "FAILURE"}, {"ERROR_CODE", code}, {"ERROR_MESSAGE", message}};
    };
    const QJsonObject start = request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 0}});
    QJsonArray zoneOnLeg = mission;
    zoneOnLeg.append(request(
        "SetNoFlyZone", QJsonArray{with(json(R"({"RADIUS": 20, "NAME": ""})"),
                                        {{"LATI", latitudeAt(150)}, {"LONTI", HomeLongitude}})}));

    QTest::newRow("the serial number is answered")
        << none << request("GetSN") << QJsonObject{{"ERROR", "SUCCESS"}, {"VALUE", "SIM123456"}};
    QTest::newRow("fly limits are answered in metres")
        << none << request("GetFlyLimit")
        << json(R"({"ERROR": "SUCCESS", "VALUE": {"MAX_HEIGHT": 500, "MAX_DISTANCE": 5000}})");
    QTest::newRow("an unknown command fails")
        << none << request("Fly") << fails(201, "unknown command Fly");
    QTest::newRow("navigation mode 3 fails")
        << none << request("SetNavigationMode", QJsonObject{{"NAVIGATION_MODE", 3}})
        << fails(203, "unsupported navigation mode 3");
    QTest::newRow("cancelling with no mission running fails")
        << mission << request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 1}})
        << fails(236, "no mission is running");
    QTest::newRow("starting a mission whose waypoints never came fails")
        << headerOnly << start << fails(212, "no mission uploaded");
    QTest::newRow("a waypoint in degrees is refused")
        << headerOnly << request("UploadWayPoint", with(waypoint(0, 0), {{"LATI", 47.3977}}))
        << fails(211, "waypoint 0: LATI 47.3977 is not a latitude in radians");
    // The stay comes back in milliseconds, which must fit 16 bits.
    QTest::newRow("a stay longer than 32 s is refused")
        << headerOnly
        << request("UploadWayPoint",
                   with(waypoint(0, 0), json(R"({"HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 1,
                        "ACTION_RPT": 1, "COMMAND_LIST": [{"ACTION_TYPE": "WP_ACTION_STAY",
                        "PARAM_VALUE": 40}]}})")))
        << fails(211, "waypoint 0: stay of 40 s is outside 0 to 32 s");
    QTest::newRow("a mission with a leg through a no-fly zone is not started")
        << zoneOnLeg << start
        << fails(213, "the leg from waypoint 0 to 1 crosses an unnamed no-fly zone");
}

void TestSimulation::replies() {
    QFETCH(QJsonArray, before);
    QFETCH(QJsonObject, sent);
    QFETCH(QJsonObject, expected);

    SimulatedAircraft aircraft(device());
    QVERIFY(!answer(aircraft, before).contains("FAILURE"));
    const QJsonObject reply = aircraft.handle(sent);
    QCOMPARE(reply.value("SEQ").toString(), QStringLiteral("s1"));
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(reply.value(it.key()), it.value());
}

void TestSimulation::downloadGivesBackTheLastCompleteUpload() {
    SimulatedAircraft aircraft(device());
    const QJsonObject fast = with(waypoint(1, 100), {{"HAS_SPEED", 1}, {"SPEED", 12.5}});
    const QJsonObject acting = with(waypoint(2, 200), json(R"({"HAS_ACTION": 1, "ACTION": {
        "ACTION_NUM": 2, "ACTION_RPT": 2, "COMMAND_LIST": [
            {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": 5},
            {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": 90}]}})"));
    // A refused waypoint loses nothing already sent and can be sent again.
    QCOMPARE(answer(aircraft,
                    upload(header(), {waypoint(0, 0), fast, waypoint(2, 200, 0, 900), acting})),
             (QStringList{"SUCCESS", "SUCCESS", "SUCCESS", "FAILURE", "SUCCESS"}));
    answer(aircraft, upload(header(2), {waypoint(0, 50)})); // left unfinished

    const auto download = [&](const QString &command, const QJsonValue &value) {
        return aircraft.handle(request(command, value)).value("VALUE").toObject();
    };
    QCOMPARE(download("DownloadWayLineMission", QJsonValue::Undefined), header());
    QCOMPARE(download("DownloadWayPoint", QJsonObject{{"INDEX", 1}}), fast);
    // Named parameters; the stay in milliseconds.
    QCOMPARE(download("DownloadWayPoint", QJsonObject{{"INDEX", 2}}),
             with(acting, json(R"({"ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 2, "COMMAND_LIST":
                                  {"WP_ACTION_STAY": 5000, "WP_ACTION_CRAFT_YAW": 90}}})")));
}

void TestSimulation::missionEnds_data() {
    QTest::addColumn<int>("finish");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<double>("endNorth");
    QTest::addColumn<double>("endHeight");

    QTest::newRow("finish action 0 hovers at the last waypoint")
        << 0 << QStringList{"TAKING_OFF", "MISSION", "HOVERING"} << 250.0 << 30.0;
    QTest::newRow("finish action 1 flies home and lands")
        << 1 << QStringList{"TAKING_OFF", "MISSION", "GOING_HOME", "LANDING", "ON_GROUND"} << 0.0
        << 0.0;
    QTest::newRow("finish action 2 lands at the last waypoint")
        << 2 << QStringList{"TAKING_OFF", "MISSION", "LANDING", "ON_GROUND"} << 250.0 << 0.0;
    QTest::newRow("finish action 3 flies back to the first waypoint and hovers")
        << 3 << QStringList{"TAKING_OFF", "MISSION", "HOVERING"} << 50.0 << 30.0;
}

void TestSimulation::missionEnds() {
    QFETCH(int, finish);
    QFETCH(QStringList, statuses);
    QFETCH(double, endNorth);
    QFETCH(double, endHeight);

    // Slow enough that every phase outlasts a report interval, whatever the
    // aircraft's random reporting phase.
    SimulatedAircraft aircraft(device(), 5.0);
    QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
    QJsonArray requests =
        upload(header(3, finish), {waypoint(0, 50), waypoint(1, 150), waypoint(2, 250)});
    requests.append(request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 0}}));
    QVERIFY(!answer(aircraft, requests).contains("FAILURE"));
    QStringList seen;
    QJsonObject last;
    // Ten simulated minutes at most, until the final status is reported at rest.
    for (int tick = 0; tick < 6000 && !(seen == statuses && last.value("SPEED") == 0); ++tick) {
        aircraft.advance(0.02);
        const auto states = eventsNamed(events, "FLIGHT_STATE");
        last = states.isEmpty() ? QJsonObject() : states.last();
        const QString status = last.value("FLIGHT_STATUS").toString();
        if (!status.isEmpty() && (seen.isEmpty() || seen.last() != status))
            seen.append(status);
    }
    QCOMPARE(seen, statuses);
    QVERIFY(std::abs(last.value("LATI").toDouble() - latitudeAt(endNorth)) < 1e-9); // 6 mm
    QCOMPARE(last.value("HEIGHT").toDouble(), endHeight);
    QCOMPARE(last.value("WAYPOINT_INDEX"), QJsonValue(-1));
    for (const char *key : {"LONTI", "VX", "VY", "VZ", "YAW", "HOME_LATI", "HOME_LONTI"})
        QVERIFY2(last.value(key).isDouble(), key);
    QList<int> reached;
    for (const QJsonObject &value : eventsNamed(events, "WAYPOINT_REACHED"))
        reached.append(value.value("INDEX").toInt());
    QCOMPARE(reached, (QList<int>{0, 1, 2}));
    QCOMPARE(eventsNamed(events, "MISSION_FINISHED"),
             (QList<QJsonObject>{QJsonObject{{"ACTION_ON_FINISH", finish}}}));
}

void TestSimulation::stoppedSimulationReportsNothing() {
    SimulatedAircraft aircraft(device());
    QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
    QVERIFY(!answer(aircraft, {request("DoFunction", 1), request("StopSimulation")})
                 .contains("FAILURE"));
    for (int tick = 0; tick < 100; ++tick)
        aircraft.advance(0.02);
    QCOMPARE(events.count(), 0);
    QCOMPARE(aircraft.model().height(), 0.0);
}

void TestSimulation::bothAircraftAreListed() {
    // Each aircraft is announced once its agent has learned who it is.
    QTRY_COMPARE_WITH_TIMEOUT(m_push.events("CONNECT").size(), 2, 15000);
    const auto list = m_commands.call("GetAircraftList");
    QCOMPARE(errorOf(list), QStringLiteral("SUCCESS"));
    const QJsonArray aircraft = list->value("VALUE").toArray();
    QCOMPARE(aircraft.size(), 2);
    m_first = aircraft.at(0).toObject().value("AIRCRAFT").toString();
    m_second = aircraft.at(1).toObject().value("AIRCRAFT").toString();
    QVERIFY(!m_first.isEmpty() && !m_second.isEmpty() && m_first != m_second);
}

void TestSimulation::placedAircraftTakeOffAndReport() {
    for (const QString &aircraft : {m_first, m_second}) {
        int from = m_push.received.size();
        const double longitude = longitudeAt(aircraft == m_first ? 0.0 : 60.0);
        QVERIFY(
            command("StartSimulation", {{"LATI", HomeLatitude}, {"LONTI", longitude}}, aircraft));
        const auto placed = next("FLIGHT_STATE", aircraft, from, [&](const QJsonObject &state) {
            return state.value("LONTI").toDouble() == longitude;
        });
        QVERIFY(placed);
        QCOMPARE(placed->value("LATI").toDouble(), HomeLatitude);
        QCOMPARE(placed->value("HOME_LONTI").toDouble(), longitude);
        QCOMPARE(placed->value("FLIGHT_STATUS").toString(), QStringLiteral("ON_GROUND"));
        QVERIFY(command("DoFunction", {{"FUNCTION", "TAKE_OFF"}}, aircraft));
        const auto hovering = next("FLIGHT_STATE", aircraft, from, statusIs("HOVERING"));
        QVERIFY(hovering);
        QCOMPARE(hovering->value("HEIGHT").toDouble(), 10.0);
        QVERIFY(next("BATTERY_STATE", aircraft, from, [](const QJsonObject &battery) {
            return battery.value("PERCENT").toDouble() > 0 && battery.value("VOLTAGE").isDouble();
        }));
    }
}

void TestSimulation::uploadReportsProgressAndDownloadGivesTheMissionBack() {
    const auto mission = [](bool downloaded) {
        QJsonObject action = json(R"({"ACTION_NUM": 1, "ACTION_RPT": 1, "COMMAND_LIST":
                                      [{"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": "2"}]})");
        if (downloaded) // the web form of a downloaded mission has no COMMAND_LIST
            action.remove("COMMAND_LIST");
        return with(
            header(),
            {{"WAY_POINTS",
              QJsonArray{waypoint(0, 100),
                         with(waypoint(1, 100, 100), {{"HAS_SPEED", 1}, {"SPEED", 12.5}}),
                         with(waypoint(2, 0, 100, 25), {{"HAS_ACTION", 1}, {"ACTION", action}})}}});
    };
    QVERIFY(command("UploadWayLineMission", {{"WAYLINE", mission(false)}}, m_first));
    // Pushes and replies travel on different connections: either may come first.
    const auto progress = [&]() {
        QList<double> values;
        for (const QJsonObject &message : m_push.events("WP_UPLOAD_PROGRESS"))
            values.append(message.value("VALUE").toDouble());
        return values;
    };
    QTRY_COMPARE_WITH_TIMEOUT(progress(), (QList<double>{25, 50, 75, 100}), 5000);

    const auto download = m_commands.call("DownloadWayLineMission", {{"AIRCRAFT", m_first}});
    QCOMPARE(errorOf(download), QStringLiteral("SUCCESS"));
    QCOMPARE(download->value("VALUE").toObject(), mission(true));
}

void TestSimulation::missionFliesToItsLastWaypoint() {
    int from = m_push.received.size();
    QVERIFY(command("StartOrCancelWayLineMission", {{"GO_STOP", 0}}, m_first));
    for (int index = 0; index < 3; ++index) {
        QVERIFY2(next("WAYPOINT_REACHED", m_first, from,
                      [&](const QJsonObject &value) { return value.value("INDEX") == index; }),
                 qPrintable(QStringLiteral("waypoint %1 not reached").arg(index)));
    }
    const auto finished = next("MISSION_FINISHED", m_first, from);
    QVERIFY(finished);
    QCOMPARE(finished->value("ACTION_ON_FINISH"), QJsonValue(0));
    // Reports from before the finish may still arrive after it.
    const auto hovering = next("FLIGHT_STATE", m_first, from, statusIs("HOVERING"));
    QVERIFY(hovering);
    QCOMPARE(hovering->value("LATI").toDouble(), latitudeAt(0));
    QCOMPARE(hovering->value("LONTI").toDouble(), longitudeAt(100));
    QCOMPARE(hovering->value("HEIGHT").toDouble(), 25.0);
}

void TestSimulation::flyToPointPausesAndContinues() {
    const double latitude = latitudeAt(-300);
    const double longitude = longitudeAt(100);
    int from = m_push.received.size();
    QVERIFY(command("ClickGo",
                    {{"LATI", latitude}, {"LONTI", longitude}, {"SPEED", 8}, {"HEIGHT", 40}},
                    m_first));
    QVERIFY(next("FLIGHT_STATE", m_first, from, [](const QJsonObject &state) {
        return state.value("WAYPOINT_INDEX") == 1 && state.value("SPEED").toDouble() > 5.0;
    }));

    QVERIFY(command("PauseOrContinueWayLineMission", {{"PAUSE", 1}}, m_first));
    from = m_push.received.size();
    const auto stopped = next("FLIGHT_STATE", m_first, from, [](const QJsonObject &state) {
        return statusIs("MISSION_PAUSED")(state) && state.value("SPEED") == 0;
    });
    QVERIFY(stopped);
    QVERIFY(std::abs(stopped->value("LATI").toDouble() - latitude) * FlightModel::EarthRadius >
            10.0);

    from = m_push.received.size();
    QVERIFY(command("PauseOrContinueWayLineMission", {{"PAUSE", 0}}, m_first));
    QVERIFY(next("MISSION_FINISHED", m_first, from));
    const auto arrived = next("FLIGHT_STATE", m_first, from, statusIs("HOVERING"));
    QVERIFY(arrived);
    QCOMPARE(arrived->value("LATI").toDouble(), latitude);
    QCOMPARE(arrived->value("LONTI").toDouble(), longitude);
    QCOMPARE(arrived->value("HEIGHT").toDouble(), 40.0);
}

void TestSimulation::aircraftLands() {
    int from = m_push.received.size();
    QVERIFY(command("DoFunction", {{"FUNCTION", "LAND"}}, m_first));
    QVERIFY(next("FLIGHT_STATE", m_first, from, statusIs("LANDING")));
    const auto landed = next("FLIGHT_STATE", m_first, from, statusIs("ON_GROUND"));
    QVERIFY(landed);
    QCOMPARE(landed->value("HEIGHT").toDouble(), 0.0);
}

QTEST_GUILESS_MAIN(TestSimulation)

#include "tst_simulation.moc"
