#include "simulatedaircraft.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

namespace {

constexpr double Pi = 3.14159265358979323846;
const double HomeLatitude = 47.3977 * Pi / 180.0;
const double HomeLongitude = 8.5456 * Pi / 180.0;

SimDevice device() {
    SimDevice device;
    device.hash = QStringLiteral("0123456789abcdef");
    device.deviceType = QStringLiteral("Tolm_2014_RX");
    device.serialNumber = QStringLiteral("SIM123456");
    device.flightType = 1;
    device.latitude = HomeLatitude;
    device.longitude = HomeLongitude;
    return device;
}

double northOf(double metres) {
    return HomeLatitude + metres / FlightModel::EarthRadius;
}

QJsonObject request(const QString &command, const QJsonValue &value = QJsonValue::Undefined) {
    QJsonObject object{{QStringLiteral("CMD"), command},
                       {QStringLiteral("SEQ"), QStringLiteral("s1")}};
    if (!value.isUndefined())
        object.insert(QStringLiteral("VALUE"), value);
    return object;
}

QJsonObject header(int length = 3, double range = 15, double idle = 10, int finish = 0) {
    return {{QStringLiteral("LENGTH"), length},
            {QStringLiteral("VEL_CMD_RANGE"), range},
            {QStringLiteral("IDLE_VEL"), idle},
            {QStringLiteral("ACTION_ON_FINISH"), finish},
            {QStringLiteral("MISSION_EXEC_NUM"), 1},
            {QStringLiteral("YAW_MODE"), 0},
            {QStringLiteral("TRACE_MODE"), 0},
            {QStringLiteral("ACTION_ON_RC_LOST"), 1},
            {QStringLiteral("GIMBAL_PITCH_MODE"), 0},
            {QStringLiteral("HP_LATI"), HomeLatitude},
            {QStringLiteral("HP_LONTI"), HomeLongitude},
            {QStringLiteral("HP_ALTI"), 0.0},
            {QStringLiteral("GOTO_FIRST"), 0}};
}

// A waypoint so many metres north of home.
QJsonObject waypoint(int index, double north, double altitude = 30) {
    return {{QStringLiteral("INDEX"), index},         {QStringLiteral("LATI"), northOf(north)},
            {QStringLiteral("LONTI"), HomeLongitude}, {QStringLiteral("ALTI"), altitude},
            {QStringLiteral("DAMPING_DIS"), 2},       {QStringLiteral("TGT_YAW"), 0},
            {QStringLiteral("TGT_GIMBAL_PITCH"), 0},  {QStringLiteral("TURN_MODE"), 0},
            {QStringLiteral("HAS_SPEED"), 0},         {QStringLiteral("HAS_ACTION"), 0},
            {QStringLiteral("ACTION_TIME_LIMIT"), 0}};
}

QJsonObject withActions(QJsonObject point, const QJsonArray &commands, int repeat = 1) {
    point.insert(QStringLiteral("HAS_ACTION"), 1);
    point.insert(QStringLiteral("ACTION"),
                 QJsonObject{{QStringLiteral("ACTION_NUM"), commands.size()},
                             {QStringLiteral("ACTION_RPT"), repeat},
                             {QStringLiteral("COMMAND_LIST"), commands}});
    return point;
}

QJsonObject command(const QString &type, int parameter) {
    return {{QStringLiteral("ACTION_TYPE"), type}, {QStringLiteral("PARAM_VALUE"), parameter}};
}

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value) {
    object.insert(key, value);
    return object;
}

QJsonObject zone(double north, double radius, const QString &name) {
    return {{QStringLiteral("LATI"), northOf(north)},
            {QStringLiteral("LONTI"), HomeLongitude},
            {QStringLiteral("RADIUS"), radius},
            {QStringLiteral("NAME"), name}};
}

QString errorOf(const QJsonObject &reply) {
    return reply.value(QStringLiteral("ERROR")).toString();
}

QList<QJsonObject> eventsNamed(const QSignalSpy &spy, const QString &name) {
    QList<QJsonObject> events;
    for (const QList<QVariant> &arguments : spy) {
        const QJsonObject event = arguments.at(0).toJsonObject();
        if (event.value(QStringLiteral("EVENT")).toString() == name)
            events.append(event.value(QStringLiteral("VALUE")).toObject());
    }
    return events;
}

} // namespace

class TestSimulatedAircraft : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersItsIdentityAndEchoesTheSequence();
    void refusals_data();
    void refusals();
    void refusedWaypointLosesNothing();
    void downloadReturnsTheLastCompleteUpload();
    void flightEventsFollowTheMission();
    void batteryPushRunsAtItsRateUntilItsTimeout();
    void stopSimulationFreezesAndStartSimulationPlaces();

private:
    void upload(SimulatedAircraft &aircraft, const QJsonObject &mission, const QJsonArray &points);
};

void TestSimulatedAircraft::upload(SimulatedAircraft &aircraft, const QJsonObject &mission,
                                   const QJsonArray &points) {
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("UploadWayLineMission"), mission))),
             QStringLiteral("SUCCESS"));
    for (const QJsonValue &point : points) {
        const QJsonObject reply = aircraft.handle(request(QStringLiteral("UploadWayPoint"), point));
        QVERIFY2(errorOf(reply) == QLatin1String("SUCCESS"),
                 qPrintable(reply.value(QStringLiteral("ERROR_MESSAGE")).toString()));
    }
}

void TestSimulatedAircraft::answersItsIdentityAndEchoesTheSequence() {
    SimulatedAircraft aircraft(device());
    QJsonObject sn = request(QStringLiteral("GetSN"));
    sn.insert(QStringLiteral("SEQ"), 42);
    const QJsonObject reply = aircraft.handle(sn);
    QCOMPARE(reply.value(QStringLiteral("SEQ")), QJsonValue(42));
    QCOMPARE(errorOf(reply), QStringLiteral("SUCCESS"));
    QCOMPARE(reply.value(QStringLiteral("VALUE")).toString(), QStringLiteral("SIM123456"));
    QCOMPARE(
        aircraft.handle(request(QStringLiteral("GetFlightType"))).value(QStringLiteral("VALUE")),
        QJsonValue(1));
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("GetVersion")))),
             QStringLiteral("SUCCESS"));
    const QJsonObject limits = aircraft.handle(request(QStringLiteral("GetFlyLimit")))
                                   .value(QStringLiteral("VALUE"))
                                   .toObject();
    QCOMPARE(limits.value(QStringLiteral("MAX_HEIGHT")).toDouble(), FlightModel::MaxHeight);
    QCOMPARE(limits.value(QStringLiteral("MAX_DISTANCE")).toDouble(), FlightModel::MaxDistance);
}

void TestSimulatedAircraft::refusals_data() {
    QTest::addColumn<QJsonArray>("before"); // requests answered first, each must succeed
    QTest::addColumn<QJsonObject>("refused");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    const QJsonArray none;
    const QJsonArray uploadHeader{request(QStringLiteral("UploadWayLineMission"), header())};
    const QJsonArray twoPointMission{request(QStringLiteral("UploadWayLineMission"), header(2)),
                                     request(QStringLiteral("UploadWayPoint"), waypoint(0, 0)),
                                     request(QStringLiteral("UploadWayPoint"), waypoint(1, 300))};
    auto stay = [](int seconds) {
        return withActions(waypoint(0, 0), {command(QStringLiteral("WP_ACTION_STAY"), seconds)});
    };

    QTest::newRow("an unknown command")
        << none << request(QStringLiteral("Fly")) << 201 << "unknown command Fly";
    QTest::newRow("function code 6")
        << none << request(QStringLiteral("DoFunction"), 6) << 203 << "unsupported function code 6";
    QTest::newRow("a function given as text")
        << none << request(QStringLiteral("DoFunction"), QStringLiteral("TAKE_OFF")) << 202
        << "VALUE must be a function code: 1 take off, 2 land";
    QTest::newRow("landing on the ground")
        << none << request(QStringLiteral("DoFunction"), 2) << 220 << "aircraft is on the ground";
    QTest::newRow("taking off twice")
        << QJsonArray{request(QStringLiteral("DoFunction"), 1)}
        << request(QStringLiteral("DoFunction"), 1) << 220 << "aircraft is already airborne";
    QTest::newRow("taking off while the simulation is stopped")
        << QJsonArray{request(QStringLiteral("StopSimulation"))}
        << request(QStringLiteral("DoFunction"), 1) << 220
        << "simulation is stopped; StartSimulation resumes it";
    QTest::newRow("navigation mode 3")
        << none
        << request(QStringLiteral("SetNavigationMode"),
                   QJsonObject{{QStringLiteral("NAVIGATION_MODE"), 3}})
        << 203 << "unsupported navigation mode 3";
    QTest::newRow("cancel with no mission running")
        << twoPointMission
        << request(QStringLiteral("StartOrCancelWayLineMission"),
                   QJsonObject{{QStringLiteral("GO_STOP"), 1}})
        << 236 << "no mission is running";
    QTest::newRow("pause with no mission running")
        << none
        << request(QStringLiteral("PauseOrContinueWayLineMission"),
                   QJsonObject{{QStringLiteral("PAUSE"), 1}})
        << 236 << "no mission is running";
    QTest::newRow("GO_STOP 2") << none
                               << request(QStringLiteral("StartOrCancelWayLineMission"),
                                          QJsonObject{{QStringLiteral("GO_STOP"), 2}})
                               << 203 << "unsupported GO_STOP 2; 0 starts, 1 cancels";
    QTest::newRow("start with no mission uploaded")
        << uploadHeader
        << request(QStringLiteral("StartOrCancelWayLineMission"),
                   QJsonObject{{QStringLiteral("GO_STOP"), 0}})
        << 212 << "no mission uploaded";
    QTest::newRow("download with no mission uploaded")
        << none << request(QStringLiteral("DownloadWayLineMission")) << 212
        << "no mission uploaded";
    QTest::newRow("download of a waypoint beyond the mission")
        << twoPointMission
        << request(QStringLiteral("DownloadWayPoint"), QJsonObject{{QStringLiteral("INDEX"), 2}})
        << 202 << "no waypoint 2; the mission has 2";

    QTest::newRow("a mission of one waypoint")
        << none << request(QStringLiteral("UploadWayLineMission"), header(1)) << 210
        << "LENGTH 1 is outside 2 to 50 waypoints";
    QTest::newRow("a mission of 51 waypoints")
        << none << request(QStringLiteral("UploadWayLineMission"), header(51)) << 210
        << "LENGTH 51 is outside 2 to 50 waypoints";
    QTest::newRow("a speed range above 20 m/s")
        << none << request(QStringLiteral("UploadWayLineMission"), header(3, 25)) << 210
        << "VEL_CMD_RANGE 25 m/s is outside 0 to 20 m/s";
    QTest::newRow("an idle speed above the range")
        << none << request(QStringLiteral("UploadWayLineMission"), header(3, 15, 16)) << 210
        << "IDLE_VEL 16 m/s is outside 0 to 15 m/s (VEL_CMD_RANGE)";
    QTest::newRow("an idle speed of zero")
        << none << request(QStringLiteral("UploadWayLineMission"), header(3, 15, 0)) << 210
        << "IDLE_VEL 0 m/s is outside 0 to 15 m/s (VEL_CMD_RANGE)";
    QTest::newRow("finish action 5")
        << none << request(QStringLiteral("UploadWayLineMission"), header(3, 15, 10, 5)) << 210
        << "ACTION_ON_FINISH 5 is not one of 0 to 4";

    QTest::newRow("a waypoint without a header")
        << none << request(QStringLiteral("UploadWayPoint"), waypoint(0, 0)) << 211
        << "no mission header uploaded; send UploadWayLineMission first";
    QTest::newRow("a waypoint out of order")
        << uploadHeader << request(QStringLiteral("UploadWayPoint"), waypoint(1, 0)) << 211
        << "waypoint INDEX 1 is out of order; expected 0";
    QTest::newRow("a waypoint above the height limit")
        << uploadHeader << request(QStringLiteral("UploadWayPoint"), waypoint(0, 0, 600)) << 211
        << "waypoint 0: ALTI 600 m is outside 2 to 500 m";
    QTest::newRow("a waypoint on the ground")
        << uploadHeader << request(QStringLiteral("UploadWayPoint"), waypoint(0, 0, 0)) << 211
        << "waypoint 0: ALTI 0 m is outside 2 to 500 m";
    QTest::newRow("a waypoint beyond the distance limit")
        << uploadHeader << request(QStringLiteral("UploadWayPoint"), waypoint(0, 6000)) << 211
        << "waypoint 0: 6000 m from home, beyond the 5000 m limit";
    QTest::newRow("a waypoint in degrees")
        << uploadHeader
        << request(QStringLiteral("UploadWayPoint"),
                   with(waypoint(0, 0), QStringLiteral("LATI"), 47.3977))
        << 211 << "waypoint 0: LATI 47.3977 is not a latitude in radians";
    QTest::newRow("a waypoint faster than the speed range")
        << uploadHeader
        << request(QStringLiteral("UploadWayPoint"),
                   with(with(waypoint(0, 0), QStringLiteral("HAS_SPEED"), 1),
                        QStringLiteral("SPEED"), 16))
        << 211 << "waypoint 0: SPEED 16 m/s is outside 0 to 15 m/s (VEL_CMD_RANGE)";
    QTest::newRow("a stay longer than 32 s")
        << uploadHeader << request(QStringLiteral("UploadWayPoint"), stay(40)) << 211
        << "waypoint 0: stay of 40 s is outside 0 to 32 s";
    QTest::newRow("an unknown action")
        << uploadHeader
        << request(QStringLiteral("UploadWayPoint"),
                   withActions(waypoint(0, 0), {command(QStringLiteral("WP_ACTION_DANCE"), 1)}))
        << 211 << "waypoint 0: unknown ACTION_TYPE \"WP_ACTION_DANCE\"";
    QTest::newRow("an action count that does not match the list")
        << uploadHeader
        << request(QStringLiteral("UploadWayPoint"),
                   with(withActions(waypoint(0, 0), {}), QStringLiteral("ACTION"),
                        QJsonObject{{QStringLiteral("ACTION_NUM"), 2},
                                    {QStringLiteral("COMMAND_LIST"), QJsonArray()}}))
        << 211 << "waypoint 0: ACTION_NUM 2 but COMMAND_LIST holds 0 actions";

    const QJsonObject start = request(QStringLiteral("StartOrCancelWayLineMission"),
                                      QJsonObject{{QStringLiteral("GO_STOP"), 0}});
    QJsonArray zoneOnWaypoint = twoPointMission;
    zoneOnWaypoint.append(request(QStringLiteral("SetNoFlyZone"),
                                  QJsonArray{zone(290, 50, QStringLiteral("Field"))}));
    QTest::newRow("a mission with a waypoint in a no-fly zone")
        << zoneOnWaypoint << start << 213 << "waypoint 1 lies in no-fly zone \"Field\"";
    QJsonArray zoneOnLeg = twoPointMission;
    zoneOnLeg.append(request(QStringLiteral("SetNoFlyZone"), QJsonArray{zone(150, 20, QString())}));
    QTest::newRow("a mission with a leg through a no-fly zone")
        << zoneOnLeg << start << 213
        << "the leg from waypoint 0 to 1 crosses an unnamed no-fly zone";

    QTest::newRow("a zone list that is not an array")
        << none << request(QStringLiteral("SetNoFlyZone"), QJsonObject()) << 202
        << "VALUE must be an array of zones";
    QTest::newRow("a zone without a radius")
        << none
        << request(QStringLiteral("SetNoFlyZone"),
                   QJsonArray{zone(0, 10, QStringLiteral("A")),
                              with(zone(0, 0, QStringLiteral("B")), QStringLiteral("RADIUS"),
                                   QJsonValue())})
        << 202 << "zone 1: RADIUS missing or not a positive number";
    QTest::newRow("placing with a latitude alone")
        << none
        << request(QStringLiteral("StartSimulation"), QJsonObject{{QStringLiteral("LATI"), 0.8}})
        << 202 << "StartSimulation takes both LATI and LONTI, or neither";
    QTest::newRow("placing beyond 85 degrees of latitude")
        << none
        << request(QStringLiteral("StartSimulation"),
                   QJsonObject{{QStringLiteral("LATI"), 1.5}, {QStringLiteral("LONTI"), 0}})
        << 202 << "LATI 1.5 lies beyond 85 degrees of latitude, too close to a pole";
    QTest::newRow("a home point out of reach")
        << none
        << request(QStringLiteral("SetHomePoint"),
                   QJsonObject{{QStringLiteral("LATI"), northOf(8000)},
                               {QStringLiteral("LONTI"), HomeLongitude}})
        << 202 << "home point is 8000 m from the aircraft, beyond the 5000 m limit";
    QTest::newRow("a battery push faster than 10 Hz")
        << none
        << request(QStringLiteral("SetBatteryPush"),
                   QJsonObject{{QStringLiteral("FREQ"), 50}, {QStringLiteral("TIMEOUT"), 10}})
        << 202 << "FREQ 50 Hz is outside 0 to 10 Hz";
}

void TestSimulatedAircraft::refusals() {
    QFETCH(QJsonArray, before);
    QFETCH(QJsonObject, refused);
    QFETCH(int, code);
    QFETCH(QString, message);

    SimulatedAircraft aircraft(device());
    for (const QJsonValue &earlier : before) {
        const QJsonObject reply = aircraft.handle(earlier.toObject());
        QVERIFY2(errorOf(reply) == QLatin1String("SUCCESS"),
                 qPrintable(reply.value(QStringLiteral("ERROR_MESSAGE")).toString()));
    }
    const QJsonObject reply = aircraft.handle(refused);
    QCOMPARE(errorOf(reply), QStringLiteral("FAILURE"));
    QCOMPARE(reply.value(QStringLiteral("ERROR_CODE")), QJsonValue(code));
    QCOMPARE(reply.value(QStringLiteral("ERROR_MESSAGE")).toString(), message);
    QCOMPARE(reply.value(QStringLiteral("SEQ")).toString(), QStringLiteral("s1"));
}

void TestSimulatedAircraft::refusedWaypointLosesNothing() {
    SimulatedAircraft aircraft(device());
    upload(aircraft, header(2), {waypoint(0, 0)});
    QCOMPARE(
        errorOf(aircraft.handle(request(QStringLiteral("UploadWayPoint"), waypoint(1, 0, 900)))),
        QStringLiteral("FAILURE"));
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("UploadWayPoint"), waypoint(1, 100)))),
             QStringLiteral("SUCCESS"));
    const QJsonObject last = aircraft.handle(
        request(QStringLiteral("DownloadWayPoint"), QJsonObject{{QStringLiteral("INDEX"), 1}}));
    QCOMPARE(
        last.value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("LATI")).toDouble(),
        northOf(100));
}

void TestSimulatedAircraft::downloadReturnsTheLastCompleteUpload() {
    SimulatedAircraft aircraft(device());
    QJsonObject fast =
        with(with(waypoint(1, 100), QStringLiteral("HAS_SPEED"), 1), QStringLiteral("SPEED"), 12.5);
    const QJsonObject acting = withActions(waypoint(2, 200),
                                           {command(QStringLiteral("WP_ACTION_STAY"), 5),
                                            command(QStringLiteral("WP_ACTION_CRAFT_YAW"), 90)},
                                           2);
    upload(aircraft, header(3), {waypoint(0, 0), fast, acting});
    // A second upload left unfinished does not replace the first.
    upload(aircraft, header(2), {waypoint(0, 50)});

    const QJsonObject head = aircraft.handle(request(QStringLiteral("DownloadWayLineMission")));
    QCOMPARE(errorOf(head), QStringLiteral("SUCCESS"));
    QCOMPARE(head.value(QStringLiteral("VALUE")).toObject(), header(3));

    QJsonObject expectedFast = fast;
    QCOMPARE(aircraft
                 .handle(request(QStringLiteral("DownloadWayPoint"),
                                 QJsonObject{{QStringLiteral("INDEX"), 1}}))
                 .value(QStringLiteral("VALUE"))
                 .toObject(),
             expectedFast);
    const QJsonObject third = aircraft
                                  .handle(request(QStringLiteral("DownloadWayPoint"),
                                                  QJsonObject{{QStringLiteral("INDEX"), 2}}))
                                  .value(QStringLiteral("VALUE"))
                                  .toObject();
    const QJsonObject action = third.value(QStringLiteral("ACTION")).toObject();
    QCOMPARE(action.value(QStringLiteral("ACTION_NUM")), QJsonValue(2));
    QCOMPARE(action.value(QStringLiteral("ACTION_RPT")), QJsonValue(2));
    // Named parameters; the stay in milliseconds.
    QCOMPARE(action.value(QStringLiteral("COMMAND_LIST")).toObject(),
             (QJsonObject{{QStringLiteral("WP_ACTION_STAY"), 5000},
                          {QStringLiteral("WP_ACTION_CRAFT_YAW"), 90}}));
    QCOMPARE(third.value(QStringLiteral("LATI")).toDouble(), northOf(200));
}

void TestSimulatedAircraft::flightEventsFollowTheMission() {
    // Slow enough that every phase lasts longer than one report interval,
    // whatever the aircraft's random reporting phase.
    SimulatedAircraft aircraft(device(), 5.0);
    QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
    upload(aircraft, header(3, 15, 10, 2), {waypoint(0, 0), waypoint(1, 100), waypoint(2, 200)});
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("StartOrCancelWayLineMission"),
                                             QJsonObject{{QStringLiteral("GO_STOP"), 0}}))),
             QStringLiteral("SUCCESS"));
    auto landed = [&]() {
        return !eventsNamed(events, QStringLiteral("MISSION_FINISHED")).isEmpty() &&
               !aircraft.model().isAirborne();
    };
    // Ten simulated minutes at most, in ticks of 20 ms.
    for (int tick = 0; tick < 6000 && !landed(); ++tick)
        aircraft.advance(0.02);
    QVERIFY(landed());
    const auto lastStatus = [&]() {
        const auto states = eventsNamed(events, QStringLiteral("FLIGHT_STATE"));
        return states.isEmpty() ? QString()
                                : states.last().value(QStringLiteral("FLIGHT_STATUS")).toString();
    };
    for (int tick = 0; tick < 50 && lastStatus() != QLatin1String("ON_GROUND"); ++tick)
        aircraft.advance(0.02);

    QList<int> reached;
    for (const QJsonObject &value : eventsNamed(events, QStringLiteral("WAYPOINT_REACHED")))
        reached.append(value.value(QStringLiteral("INDEX")).toInt());
    QCOMPARE(reached, (QList<int>{0, 1, 2}));
    const auto finished = eventsNamed(events, QStringLiteral("MISSION_FINISHED"));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().value(QStringLiteral("ACTION_ON_FINISH")), QJsonValue(2));
    QCOMPARE(aircraft.model().status(), FlightModel::Status::OnGround);

    const auto states = eventsNamed(events, QStringLiteral("FLIGHT_STATE"));
    QVERIFY(!states.isEmpty());
    QStringList statuses;
    for (const QJsonObject &state : states) {
        const QString status = state.value(QStringLiteral("FLIGHT_STATUS")).toString();
        if (statuses.isEmpty() || statuses.last() != status)
            statuses.append(status);
    }
    QCOMPARE(statuses, (QStringList{QStringLiteral("TAKING_OFF"), QStringLiteral("MISSION"),
                                    QStringLiteral("LANDING"), QStringLiteral("ON_GROUND")}));
    const QJsonObject last = states.last();
    QCOMPARE(last.value(QStringLiteral("LATI")).toDouble(), northOf(200));
    QCOMPARE(last.value(QStringLiteral("HEIGHT")).toDouble(), 0.0);
    QCOMPARE(last.value(QStringLiteral("WAYPOINT_INDEX")), QJsonValue(-1));
    QCOMPARE(last.value(QStringLiteral("HOME_LATI")).toDouble(), HomeLatitude);
    for (const char *key : {"LONTI", "VX", "VY", "VZ", "SPEED", "YAW", "HOME_LONTI"})
        QVERIFY2(last.value(QLatin1String(key)).isDouble(), key);
}

void TestSimulatedAircraft::batteryPushRunsAtItsRateUntilItsTimeout() {
    SimulatedAircraft aircraft(device());
    QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
    const QJsonObject push =
        request(QStringLiteral("SetBatteryPush"),
                QJsonObject{{QStringLiteral("FREQ"), 1}, {QStringLiteral("TIMEOUT"), 3}});
    // Renewed every half second for four seconds, as the plug-in does: the
    // pushes keep their one-second rhythm, and stop three seconds later.
    for (int tick = 0; tick < 500; ++tick) {
        if (tick % 25 == 0 && tick < 200)
            QCOMPARE(errorOf(aircraft.handle(push)), QStringLiteral("SUCCESS"));
        aircraft.advance(0.02);
    }
    const auto battery = eventsNamed(events, QStringLiteral("BATTERY_STATE"));
    // At 0, 1, ... 6 s: the last renewal, at 3.5 s, holds them until 6.5 s.
    QCOMPARE(battery.size(), 7);
    QCOMPARE(battery.first().value(QStringLiteral("PERCENT")).toDouble(), 100.0);
    QCOMPARE(battery.first().value(QStringLiteral("VOLTAGE")).toDouble(), 16.8);
    QCOMPARE(battery.first().value(QStringLiteral("REMAINING_TIME")).toDouble(),
             FlightModel::FlightTimeSeconds);
}

void TestSimulatedAircraft::stopSimulationFreezesAndStartSimulationPlaces() {
    SimulatedAircraft aircraft(device(), 10.0);
    QSignalSpy events(&aircraft, &SimulatedAircraft::eventReady);
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("DoFunction"), 1))),
             QStringLiteral("SUCCESS"));
    aircraft.advance(0.1);
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("StopSimulation")))),
             QStringLiteral("SUCCESS"));
    const double height = aircraft.model().height();
    events.clear();
    for (int tick = 0; tick < 100; ++tick)
        aircraft.advance(0.02);
    QCOMPARE(events.count(), 0);
    QCOMPARE(aircraft.model().height(), height);

    const QJsonObject there{{QStringLiteral("AIRCRAFT"), QStringLiteral("SIM123456")},
                            {QStringLiteral("LATI"), 0.6},
                            {QStringLiteral("LONTI"), -1.2}};
    QCOMPARE(errorOf(aircraft.handle(request(QStringLiteral("StartSimulation"), there))),
             QStringLiteral("SUCCESS"));
    aircraft.advance(0.1);
    const auto states = eventsNamed(events, QStringLiteral("FLIGHT_STATE"));
    QCOMPARE(states.size(), 1);
    QCOMPARE(states.first().value(QStringLiteral("LATI")).toDouble(), 0.6);
    QCOMPARE(states.first().value(QStringLiteral("HOME_LONTI")).toDouble(), -1.2);
    QCOMPARE(states.first().value(QStringLiteral("FLIGHT_STATUS")).toString(),
             QStringLiteral("ON_GROUND"));
}

QTEST_GUILESS_MAIN(TestSimulatedAircraft)

#include "tst_simulatedaircraft.moc"
