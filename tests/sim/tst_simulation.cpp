#include "hostprocess.h"
#include "jsonclient.h"
#include "simulatedaircraft.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>

namespace {

const double HomeLatitude = qDegreesToRadians(47.3977);
const double HomeLongitude = qDegreesToRadians(8.5456);
const SimDevice Device{"0123", "Tolm_2014_RX", "SIM123456", 1, HomeLatitude, HomeLongitude};

// The position so many metres north and east of home.
QJsonObject at(double north, double east) {
    return {{"LATI", HomeLatitude + north / FlightModel::EarthRadius},
            {"LONTI", HomeLongitude + east / (FlightModel::EarthRadius * std::cos(HomeLatitude))}};
}

QJsonObject header(int length = 3, int finish = 0) {
    return with(json(R"({"VEL_CMD_RANGE": 15, "IDLE_VEL": 10, "MISSION_EXEC_NUM": 1, "YAW_MODE": 0,
                         "TRACE_MODE": 0, "ACTION_ON_RC_LOST": 1, "GIMBAL_PITCH_MODE": 0,
                         "HP_LATI": 0.8272, "HP_LONTI": 0.1491, "HP_ALTI": 0, "GOTO_FIRST": 0})"),
                {{"LENGTH", length}, {"ACTION_ON_FINISH", finish}});
}

QJsonObject waypoint(int index, double north, double east = 0, double altitude = 30) {
    return with(json(R"({"DAMPING_DIS": 2, "TGT_YAW": 0, "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0,
                         "HAS_SPEED": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 0})"),
                with(at(north, east), {{"INDEX", index}, {"ALTI", altitude}}));
}

QJsonObject failure(int code, const QString &message) {
    return {{"ERROR", "FAILURE"}, {"ERROR_CODE", code}, {"ERROR_MESSAGE", message}};
}

QJsonObject request(const QString &command, const QJsonValue &value = QJsonValue::Undefined) {
    return {{"CMD", command}, {"SEQ", "s1"}, {"VALUE", value}}; // an undefined VALUE is left out
}

const QJsonObject Start = request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 0}});

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

using Match = std::function<bool(const QJsonObject &)>;

Match has(const QString &key, const QJsonValue &value) {
    return [key, value](const QJsonObject &object) { return object.value(key) == value; };
}

} // namespace

class TestSimulation : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One simulated controller alone, request by request, its clock moved by hand.
    void replies_data() {
        QTest::addColumn<QJsonArray>("before"); // each must succeed
        QTest::addColumn<QJsonObject>("sent");
        QTest::addColumn<QJsonObject>("expected"); // the keys of the reply that matter

        const QJsonArray headerOnly{request("UploadWayLineMission", header())};
        const QJsonArray mission = upload(header(2), {waypoint(0, 0), waypoint(1, 300)});
        const QJsonArray zoneOnLeg =
            mission + request("SetNoFlyZone",
                              QJsonArray{with(json(R"({"RADIUS": 20, "NAME": ""})"), at(150, 0))});

        QTest::newRow("fly limits are answered in metres")
            << QJsonArray() << request("GetFlyLimit")
            << json(R"({"ERROR": "SUCCESS", "VALUE": {"MAX_HEIGHT": 500, "MAX_DISTANCE": 5000}})");
        QTest::newRow("an unknown command fails")
            << QJsonArray() << request("Fly") << failure(201, "unknown command Fly");
        QTest::newRow("navigation mode 3 fails")
            << QJsonArray() << request("SetNavigationMode", QJsonObject{{"NAVIGATION_MODE", 3}})
            << failure(203, "unsupported navigation mode 3");
        QTest::newRow("cancelling with no mission running fails")
            << mission << request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 1}})
            << failure(236, "no mission is running");
        QTest::newRow("starting a mission whose waypoints never came fails")
            << headerOnly << Start << failure(212, "no mission uploaded");
        QTest::newRow("a waypoint in degrees is refused")
            << headerOnly << request("UploadWayPoint", with(waypoint(0, 0), {{"LATI", 47.3977}}))
            << failure(211, "waypoint 0: LATI 47.3977 is not a latitude in radians");
        // The stay comes back in milliseconds, which must fit 16 bits.
        QTest::newRow("a stay longer than 32 s is refused")
            << headerOnly
            << request("UploadWayPoint",
                       with(waypoint(0, 0), json(R"({"HAS_ACTION": 1, "ACTION": {"ACTION_NUM": 1,
                            "ACTION_RPT": 1, "COMMAND_LIST": [{"ACTION_TYPE": "WP_ACTION_STAY",
                            "PARAM_VALUE": 40}]}})")))
            << failure(211, "waypoint 0: stay of 40 s is outside 0 to 32 s");
        QTest::newRow("a mission with a leg through a no-fly zone is not started")
            << zoneOnLeg << Start
            << failure(213, "the leg from waypoint 0 to 1 crosses an unnamed no-fly zone");
    }

    void replies() {
        QFETCH(QJsonArray, before);
        QFETCH(QJsonObject, sent);
        QFETCH(QJsonObject, expected);

        SimulatedAircraft aircraft(Device);
        QVERIFY(!answer(aircraft, before).contains("FAILURE"));
        const QJsonObject reply = aircraft.handle(sent);
        QCOMPARE(reply.value("SEQ").toString(), QStringLiteral("s1"));
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QCOMPARE(reply.value(it.key()), it.value());
    }

    void downloadGivesBackTheLastCompleteUpload() {
        SimulatedAircraft aircraft(Device);
        QJsonObject action = json(R"({"ACTION_NUM": 2, "ACTION_RPT": 2, "COMMAND_LIST": [
            {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": 5},
            {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": 90}]})");
        const QJsonObject acting = with(waypoint(2, 200), {{"HAS_ACTION", 1}, {"ACTION", action}});
        // A refused waypoint loses nothing already sent and can be sent again.
        QCOMPARE(answer(aircraft, upload(header(), {waypoint(0, 0), waypoint(1, 100),
                                                    waypoint(2, 200, 0, 900), acting})),
                 (QStringList{"SUCCESS", "SUCCESS", "SUCCESS", "FAILURE", "SUCCESS"}));
        answer(aircraft, upload(header(2), {waypoint(0, 50)})); // left unfinished

        QCOMPARE(aircraft.handle(request("DownloadWayLineMission"))["VALUE"].toObject(), header());
        // Named parameters; the stay in milliseconds.
        action["COMMAND_LIST"] = QJsonObject{{"WP_ACTION_STAY", 5000}, {"WP_ACTION_CRAFT_YAW", 90}};
        QCOMPARE(aircraft.handle(request("DownloadWayPoint", QJsonObject{{"INDEX", 2}}))["VALUE"]
                     .toObject(),
                 with(acting, {{"ACTION", action}}));
    }

    void missionEnds_data() {
        QTest::addColumn<int>("finish");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<double>("endNorth");
        QTest::addColumn<double>("endHeight");

        QTest::newRow("finish action 0 hovers at the last waypoint")
            << 0 << QStringList{"TAKING_OFF", "MISSION", "HOVERING"} << 250.0 << 30.0;
        QTest::newRow("finish action 1 flies home and lands")
            << 1 << QStringList{"TAKING_OFF", "MISSION", "GOING_HOME", "LANDING", "ON_GROUND"}
            << 0.0 << 0.0;
        QTest::newRow("finish action 2 lands at the last waypoint")
            << 2 << QStringList{"TAKING_OFF", "MISSION", "LANDING", "ON_GROUND"} << 250.0 << 0.0;
        QTest::newRow("finish action 3 flies back to the first waypoint and hovers")
            << 3 << QStringList{"TAKING_OFF", "MISSION", "HOVERING"} << 50.0 << 30.0;
    }

    void missionEnds() {
        QFETCH(int, finish);
        QFETCH(QStringList, statuses);
        QFETCH(double, endNorth);
        QFETCH(double, endHeight);

        // Slow enough for every phase to outlast a report, whatever the report phase.
        SimulatedAircraft aircraft(Device, 5.0);
        QHash<QString, QJsonArray> events; // the VALUEs of each event, in order
        QJsonObject last;                  // the latest flight state
        QStringList seen;                  // its status each time it changed
        connect(&aircraft, &SimulatedAircraft::eventReady, this, [&](const QJsonObject &event) {
            events[event.value("EVENT").toString()].append(event.value("VALUE"));
            if (event.value("EVENT") != "FLIGHT_STATE")
                return;
            last = event.value("VALUE").toObject();
            if (seen.isEmpty() || seen.last() != last.value("FLIGHT_STATUS").toString())
                seen.append(last.value("FLIGHT_STATUS").toString());
        });
        QJsonArray requests =
            upload(header(3, finish), {waypoint(0, 50), waypoint(1, 150), waypoint(2, 250)});
        requests.append(Start);
        QVERIFY(!answer(aircraft, requests).contains("FAILURE"));
        // Ten simulated minutes at most, until the final status is reported at rest.
        for (int tick = 0; tick < 6000 && !(seen == statuses && last.value("SPEED") == 0); ++tick)
            aircraft.advance(0.02);
        QCOMPARE(seen, statuses);
        QVERIFY(qAbs(last.value("LATI").toDouble() - at(endNorth, 0)["LATI"].toDouble()) < 1e-9);
        QCOMPARE(last.value("HEIGHT").toDouble(), endHeight);
        QCOMPARE(last.value("WAYPOINT_INDEX"), QJsonValue(-1));
        for (const char *key : {"LONTI", "VX", "VY", "VZ", "YAW", "HOME_LATI", "HOME_LONTI"})
            QVERIFY2(last.value(key).isDouble(), key);
        QCOMPARE(events.value("WAYPOINT_REACHED"),
                 QJsonDocument::fromJson(R"([{"INDEX": 0}, {"INDEX": 1}, {"INDEX": 2}])").array());
        QCOMPARE(events.value("MISSION_FINISHED"),
                 (QJsonArray{QJsonObject{{"ACTION_ON_FINISH", finish}}}));
    }

    void stoppedSimulationReportsNothing() {
        SimulatedAircraft aircraft(Device);
        QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
        QVERIFY(!answer(aircraft, {request("DoFunction", 1), request("StopSimulation")})
                     .contains("FAILURE"));
        aircraft.advance(2.0);
        QCOMPARE(events.count(), 0);
        QCOMPARE(aircraft.model().height(), 0.0);
    }

    // The host with two simulated aircraft, flown through "/groundstation" and
    // "/groundstation/push"; each function goes on from where the last left them.
    void initTestCase() {
        QVERIFY2(m_host.launch({"--simulate", "2", "--sim-speed", "20"}), m_host.output().data());
        QVERIFY(m_host.connectClient(m_push, "/groundstation/push"));
        QVERIFY(m_host.connectClient(m_commands, "/groundstation"));
        // Each aircraft is announced once its agent has learned who it is.
        QTRY_COMPARE_WITH_TIMEOUT(m_push.events("CONNECT").size(), 2, 15000);
        const auto list = m_commands.call("GetAircraftList");
        const QJsonArray aircraft = list.value_or(QJsonObject()).value("VALUE").toArray();
        QCOMPARE(aircraft.size(), 2);
        m_first = aircraft[0]["AIRCRAFT"].toString();
        m_second = aircraft[1]["AIRCRAFT"].toString();
        QVERIFY(!m_first.isEmpty() && !m_second.isEmpty() && m_first != m_second);
    }

    void controllerChannelsRefuseStrangersAndSurviveNonsense() {
        JsonClient stranger, channel;
        QSignalSpy closed(&stranger.socket, &QWebSocket::disconnected);
        stranger.socket.open(QUrl("ws://127.0.0.1:19870/controller/navigation/nothere"));
        QVERIFY(closed.wait(5000));
        QCOMPARE(stranger.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);

        const auto devices = m_host.admin("ListDevices").value_or(QJsonObject());
        const QString file = devices.value("VALUE")[0]["FILE"].toString();
        QVERIFY(m_host.connectClient(channel, "/controller/navigation/" + file));
        channel.sendRaw("not json");
        // Answered in order, so the refusal has come once the next reply has.
        QVERIFY(isSuccess(channel.call("GetSN")));
        QVERIFY(std::any_of(channel.received.begin(), channel.received.end(), [](const auto &m) {
            return m.value("ERROR_MESSAGE").toString().startsWith("invalid request");
        }));
    }

    void placedAircraftTakeOffAndReport() {
        for (const QString &aircraft : {m_first, m_second}) {
            const QJsonObject place = at(0, aircraft == m_first ? 0 : 60);
            QVERIFY(command("StartSimulation", place, aircraft));
            const QJsonObject placed = next("FLIGHT_STATE", aircraft, has("LONTI", place["LONTI"]));
            QCOMPARE(placed.value("LATI"), place["LATI"]);
            QCOMPARE(placed.value("HOME_LONTI"), place["LONTI"]);
            QCOMPARE(placed.value("FLIGHT_STATUS"), QJsonValue("ON_GROUND"));
            QVERIFY(command("DoFunction", {{"FUNCTION", "TAKE_OFF"}}, aircraft));
            const auto hovering = next("FLIGHT_STATE", aircraft, has("FLIGHT_STATUS", "HOVERING"));
            QCOMPARE(hovering.value("HEIGHT"), QJsonValue(10));
            const QJsonObject battery = next("BATTERY_STATE", aircraft);
            QVERIFY(battery.value("PERCENT").toDouble() > 0 && battery.value("VOLTAGE").isDouble());
        }
    }

    void flyToPointPausesContinuesAndLands() {
        const QJsonObject point = at(-300, 100);
        QVERIFY(command("ClickGo", with(point, {{"SPEED", 8}, {"HEIGHT", 40}}), m_first));
        const Match cruising = [](const QJsonObject &s) { return s["SPEED"].toDouble() > 5; };
        QVERIFY(!next("FLIGHT_STATE", m_first, cruising).isEmpty());
        QVERIFY(command("PauseOrContinueWayLineMission", {{"PAUSE", 1}}, m_first));
        const QJsonObject paused = next("FLIGHT_STATE", m_first, [](const QJsonObject &state) {
            return state.value("FLIGHT_STATUS") == "MISSION_PAUSED" && state.value("SPEED") == 0;
        });
        // Stopped well short of the point, which lies to the south.
        QVERIFY(paused.value("LATI").toDouble() > at(-290, 0)["LATI"].toDouble());

        QVERIFY(command("PauseOrContinueWayLineMission", {{"PAUSE", 0}}, m_first));
        QVERIFY(!next("MISSION_FINISHED", m_first).isEmpty());
        const QJsonObject arrived = next("FLIGHT_STATE", m_first, has("FLIGHT_STATUS", "HOVERING"));
        QCOMPARE(arrived.value("LATI").toDouble(), point["LATI"].toDouble());
        QCOMPARE(arrived.value("LONTI").toDouble(), point["LONTI"].toDouble());
        QCOMPARE(arrived.value("HEIGHT"), QJsonValue(40));

        QVERIFY(command("DoFunction", {{"FUNCTION", "LAND"}}, m_first));
        QVERIFY(!next("FLIGHT_STATE", m_first, has("FLIGHT_STATUS", "LANDING")).isEmpty());
        QCOMPARE(next("FLIGHT_STATE", m_first, has("FLIGHT_STATUS", "ON_GROUND")).value("HEIGHT"),
                 QJsonValue(0));
    }

    // The fleet in an oru-sim process of its own, on one link: its aircraft
    // serve as the thread's do, and its death removes them, not the host.
    void simulatorProcessAttachesAndLeaves() {
        const QString port = QString::number(freePort());
        HostProcess host;
        QVERIFY2(host.launch({"--simulate", "1", "--sim-process", "--port", port}),
                 host.output().data());
        JsonClient push, commands, general;
        QVERIFY(host.connectClient(push, "/groundstation/push"));
        QVERIFY(host.connectClient(commands, "/groundstation"));
        QVERIFY(host.connectClient(general, "/general"));
        const auto connected = push.waitForEvent("CONNECT", 0, 15000);
        QVERIFY(connected);
        const auto limit = commands.call("GetFlyLimit", {{"AIRCRAFT", aircraftOf(*connected)}});
        QCOMPARE(limit.value_or(QJsonObject()).value("VALUE")["MAX_HEIGHT"], QJsonValue(500));
        const auto arrived = general.waitForEvent("device_arrival");
        QVERIFY(arrived);

        QFile children(QString("/proc/%1/task/%1/children").arg(host.processId()));
        QVERIFY(children.open(QIODevice::ReadOnly));
        const pid_t simulator = pid_t(children.readAll().trimmed().toLongLong());
        QVERIFY(simulator > 0);
        QCOMPARE(::kill(simulator, SIGKILL), 0);
        const auto removed = general.waitForEvent("device_removed", 0, 15000);
        QVERIFY(removed);
        QCOMPARE(removed->value("FILE"), arrived->value("FILE"));
        QVERIFY(push.waitForEvent("DISCONNECT", 0, 15000));
        const auto devices = host.admin("ListDevices");
        QVERIFY(isSuccess(devices));
        QCOMPARE(devices->value("VALUE").toArray().size(), 0);
        QVERIFY(host.stop());
    }

private:
    // Push events from before the command do not count.
    bool command(const QString &name, QJsonObject value, const QString &aircraft) {
        m_from = m_push.received.size();
        value.insert("AIRCRAFT", aircraft);
        const auto reply = m_commands.call(name, value, 10000);
        if (!isSuccess(reply))
            qWarning() << name << "answered" << reply.value_or(QJsonObject());
        return isSuccess(reply);
    }

    // The VALUE of the first push event of aircraft from m_from on that
    // matches, then m_from moves past it; empty if none came.
    QJsonObject next(const QString &event, const QString &aircraft, const Match &match = {}) {
        QJsonObject found;
        const auto scan = [&]() {
            for (; found.isEmpty() && m_from < m_push.received.size(); ++m_from) {
                const QJsonObject &message = m_push.received.at(m_from);
                const QJsonObject value = message.value("VALUE").toObject();
                if (message.value("EVENT") == event && value.value("AIRCRAFT") == aircraft &&
                    (!match || match(value)))
                    found = value;
            }
            return !found.isEmpty();
        };
        return QTest::qWaitFor(scan, 30000) ? found : QJsonObject();
    }

    HostProcess m_host;
    JsonClient m_commands, m_push;
    QString m_first, m_second; // serial numbers
    int m_from = 0;
};

#include <orutestmain.h>
ORU_TEST_MAIN(TestSimulation)

#include "tst_simulation.moc"
