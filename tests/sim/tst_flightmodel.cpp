#include "flightmodel.h"

#include <QtTest>

#include <cmath>
#include <functional>

namespace {

constexpr double Pi = 3.14159265358979323846;
const double HomeLatitude = 47.3977 * Pi / 180.0;
const double HomeLongitude = 8.5456 * Pi / 180.0;

// A point so many metres north and east of home.
FlightModel::Waypoint waypointAt(int index, double north, double east, double altitude) {
    FlightModel::Waypoint waypoint;
    waypoint.index = index;
    waypoint.latitude = HomeLatitude + north / FlightModel::EarthRadius;
    waypoint.longitude = HomeLongitude + east / (FlightModel::EarthRadius * std::cos(HomeLatitude));
    waypoint.altitude = altitude;
    waypoint.damping = 1.0;
    return waypoint;
}

FlightModel::Mission missionOf(std::vector<FlightModel::Waypoint> waypoints, double idle = 8.0,
                               int finish = FlightModel::FinishHover) {
    FlightModel::Mission mission;
    mission.idleSpeed = idle;
    mission.finishAction = finish;
    mission.waypoints = std::move(waypoints);
    return mission;
}

// Steps the model and keeps what a test wants to know about the run.
struct Flight {
    FlightModel model{HomeLatitude, HomeLongitude};
    std::vector<FlightModel::Event> events;
    double seconds = 0.0;
    double maxSpeed = 0.0;
    double maxAcceleration = 0.0;
    double maxClimb = 0.0;
    double maxDescent = 0.0;
    double maxYawRate = 0.0;

    // Steps until done() holds; false if it did not within the limit.
    bool runUntil(const std::function<bool()> &done, double limitSeconds = 600.0) {
        const double dt = FlightModel::StepSeconds;
        for (double left = limitSeconds; left > 0; left -= dt) {
            if (done())
                return true;
            const double north = model.velocityNorth();
            const double east = model.velocityEast();
            const double yaw = model.yaw();
            model.step(dt);
            seconds += dt;
            for (const auto &event : model.takeEvents())
                events.push_back(event);
            maxSpeed = std::max(maxSpeed, model.horizontalSpeed());
            maxAcceleration = std::max(
                maxAcceleration,
                std::hypot(model.velocityNorth() - north, model.velocityEast() - east) / dt);
            maxClimb = std::max(maxClimb, model.velocityUp());
            maxDescent = std::max(maxDescent, -model.velocityUp());
            maxYawRate =
                std::max(maxYawRate, std::abs(std::remainder(model.yaw() - yaw, 360.0)) / dt);
        }
        return done();
    }

    void run(double forSeconds) {
        const double until = seconds + forSeconds;
        runUntil([&]() { return seconds >= until; }, forSeconds + 1.0);
    }

    bool runUntilStatus(FlightModel::Status status, double limitSeconds = 600.0) {
        return runUntil([&]() { return model.status() == status; }, limitSeconds);
    }

    bool hover() {
        model.takeOff();
        return runUntilStatus(FlightModel::Status::Hovering, 60.0);
    }

    int count(FlightModel::Event::Kind kind, int value) const {
        return int(std::count_if(events.begin(), events.end(), [&](const auto &event) {
            return event.kind == kind && event.value == value;
        }));
    }

    double distanceTo(const FlightModel::Waypoint &waypoint) const {
        return FlightModel::distance(model.latitude(), model.longitude(), waypoint.latitude,
                                     waypoint.longitude);
    }
};

} // namespace

Q_DECLARE_METATYPE(FlightModel::Status)

class TestFlightModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void takeOffClimbsToTakeOffHeightAndHovers();
    void landingEndsOnTheGroundWhereItStarted();
    void missionReachesItsLastWaypointExactly();
    void waypointSpeedOverridesIdleSpeed();
    void dampingDistanceLetsTheAircraftPassThrough();
    void pauseHoldsPositionAndContinueFinishes();
    void cancelHoversWhereTheAircraftStops();
    void finishActions_data();
    void finishActions();
    void waypointActions_data();
    void waypointActions();
    void batteryDrainsOverTheFlightTimeThenSendsTheAircraftHome();
};

void TestFlightModel::takeOffClimbsToTakeOffHeightAndHovers() {
    Flight flight;
    QVERIFY(flight.hover());
    QCOMPARE(flight.model.height(), FlightModel::TakeOffHeight);
    QCOMPARE(flight.model.latitude(), HomeLatitude);
    QCOMPARE(flight.model.longitude(), HomeLongitude);
    QVERIFY(flight.maxClimb <= FlightModel::MaxClimbRate + 1e-9);
    QVERIFY(flight.maxClimb > 0.5 * FlightModel::MaxClimbRate);
}

void TestFlightModel::landingEndsOnTheGroundWhereItStarted() {
    Flight flight;
    QVERIFY(flight.hover());
    flight.model.land();
    QCOMPARE(flight.model.status(), FlightModel::Status::Landing);
    QVERIFY(flight.runUntilStatus(FlightModel::Status::OnGround, 60.0));
    QCOMPARE(flight.model.height(), 0.0);
    QCOMPARE(flight.model.velocityUp(), 0.0);
    QCOMPARE(flight.model.latitude(), HomeLatitude);
    QVERIFY(flight.maxDescent <= FlightModel::LandingRate + 1e-9);
}

void TestFlightModel::missionReachesItsLastWaypointExactly() {
    Flight flight;
    QVERIFY(flight.hover());
    const auto first = waypointAt(0, 100, 0, 30);
    const auto last = waypointAt(1, 100, 150, 20);
    flight.model.startMission(missionOf({first, last}));
    QCOMPARE(flight.model.status(), FlightModel::Status::Mission);
    QCOMPARE(flight.model.waypointIndex(), 0);
    QVERIFY(
        flight.runUntil([&]() { return flight.count(FlightModel::Event::MissionFinished, 0); }));

    QCOMPARE(flight.model.latitude(), last.latitude);
    QCOMPARE(flight.model.longitude(), last.longitude);
    QCOMPARE(flight.model.height(), last.altitude);
    QCOMPARE(flight.model.status(), FlightModel::Status::Hovering);
    QCOMPARE(flight.model.waypointIndex(), -1);
    QCOMPARE(flight.events.size(), std::size_t(3));
    QCOMPARE(flight.events[0].kind, FlightModel::Event::WaypointReached);
    QCOMPARE(flight.events[0].value, 0);
    QCOMPARE(flight.events[1].value, 1);
    QVERIFY(flight.maxSpeed <= 8.0 + 1e-9);
    QVERIFY(flight.maxSpeed > 7.9);
    QVERIFY(flight.maxAcceleration <= FlightModel::MaxAcceleration + 1e-6);
    // Flying east at the end, the nose points east.
    QVERIFY(std::abs(flight.model.yaw() - 90.0) < 1.0);
}

void TestFlightModel::waypointSpeedOverridesIdleSpeed() {
    Flight flight;
    QVERIFY(flight.hover());
    auto slow = waypointAt(1, 0, 200, 10);
    slow.speed = 3.0;
    flight.model.startMission(missionOf({waypointAt(0, 0, 0, 10), slow}, 12.0));
    QVERIFY(
        flight.runUntil([&]() { return flight.count(FlightModel::Event::MissionFinished, 0); }));
    QVERIFY(flight.maxSpeed <= 3.0 + 1e-9);
    QVERIFY(flight.maxSpeed > 2.9);
}

void TestFlightModel::dampingDistanceLetsTheAircraftPassThrough() {
    Flight flight;
    QVERIFY(flight.hover());
    auto middle = waypointAt(1, 0, 150, 10);
    middle.damping = 10.0;
    flight.model.startMission(
        missionOf({waypointAt(0, 0, 0, 10), middle, waypointAt(2, 150, 150, 10)}, 10.0));
    QVERIFY(
        flight.runUntil([&]() { return flight.count(FlightModel::Event::WaypointReached, 1); }));
    QVERIFY(flight.distanceTo(middle) <= 10.0);
    QVERIFY(flight.distanceTo(middle) > 5.0);
    QVERIFY2(flight.model.horizontalSpeed() > 5.0, "the aircraft stopped at a pass-through point");
    QCOMPARE(flight.model.waypointIndex(), 2);
}

void TestFlightModel::pauseHoldsPositionAndContinueFinishes() {
    Flight flight;
    QVERIFY(flight.hover());
    const auto last = waypointAt(1, 400, 0, 10);
    flight.model.startMission(missionOf({waypointAt(0, 0, 0, 10), last}));
    QVERIFY(flight.runUntil([&]() { return flight.model.horizontalSpeed() > 7.9; }));

    flight.model.pauseMission();
    QCOMPARE(flight.model.status(), FlightModel::Status::MissionPaused);
    QVERIFY(flight.runUntil([&]() { return flight.model.horizontalSpeed() == 0.0; }, 10.0));
    const double latitude = flight.model.latitude();
    const double longitude = flight.model.longitude();
    flight.run(30.0);
    QCOMPARE(flight.model.latitude(), latitude);
    QCOMPARE(flight.model.longitude(), longitude);
    QVERIFY(flight.model.missionRunning());
    QCOMPARE(flight.model.waypointIndex(), 1);

    flight.model.continueMission();
    QCOMPARE(flight.model.status(), FlightModel::Status::Mission);
    QVERIFY(
        flight.runUntil([&]() { return flight.count(FlightModel::Event::MissionFinished, 0); }));
    QCOMPARE(flight.model.latitude(), last.latitude);
}

void TestFlightModel::cancelHoversWhereTheAircraftStops() {
    Flight flight;
    QVERIFY(flight.hover());
    const auto last = waypointAt(1, 400, 0, 10);
    flight.model.startMission(missionOf({waypointAt(0, 0, 0, 10), last}));
    QVERIFY(flight.runUntil([&]() { return flight.model.horizontalSpeed() > 7.9; }));

    flight.model.cancelMission();
    QCOMPARE(flight.model.status(), FlightModel::Status::Hovering);
    QVERIFY(!flight.model.missionRunning());
    QCOMPARE(flight.model.waypointIndex(), -1);
    QVERIFY(flight.runUntil([&]() { return flight.model.horizontalSpeed() == 0.0; }, 10.0));
    const double latitude = flight.model.latitude();
    flight.run(30.0);
    QCOMPARE(flight.model.latitude(), latitude);
    QVERIFY(flight.distanceTo(last) > 100.0);
    QCOMPARE(flight.count(FlightModel::Event::MissionFinished, 0), 0);
}

void TestFlightModel::finishActions_data() {
    QTest::addColumn<int>("finish");
    QTest::addColumn<FlightModel::Status>("status");
    QTest::addColumn<int>("endAt"); // -1 home, else the waypoint's position in the list

    QTest::newRow("0 hovers at the last waypoint") << 0 << FlightModel::Status::Hovering << 2;
    QTest::newRow("1 returns home and lands") << 1 << FlightModel::Status::OnGround << -1;
    QTest::newRow("2 lands at the last waypoint") << 2 << FlightModel::Status::OnGround << 2;
    QTest::newRow("3 flies back to the first waypoint and hovers")
        << 3 << FlightModel::Status::Hovering << 0;
}

void TestFlightModel::finishActions() {
    QFETCH(int, finish);
    QFETCH(FlightModel::Status, status);
    QFETCH(int, endAt);

    Flight flight;
    QVERIFY(flight.hover());
    const std::vector<FlightModel::Waypoint> points{
        waypointAt(0, 60, 0, 15), waypointAt(1, 60, 60, 15), waypointAt(2, 0, 60, 15)};
    flight.model.startMission(missionOf(points, 10.0, finish));
    QVERIFY(flight.runUntil(
        [&]() { return flight.count(FlightModel::Event::MissionFinished, finish); }));
    QVERIFY(flight.runUntil([&]() {
        return flight.model.status() == status && flight.model.horizontalSpeed() == 0.0;
    }));

    const double latitude = endAt < 0 ? HomeLatitude : points[std::size_t(endAt)].latitude;
    const double longitude = endAt < 0 ? HomeLongitude : points[std::size_t(endAt)].longitude;
    QVERIFY(FlightModel::distance(flight.model.latitude(), flight.model.longitude(), latitude,
                                  longitude) < 0.01);
    QVERIFY(!flight.model.missionRunning());
    if (status == FlightModel::Status::OnGround)
        QCOMPARE(flight.model.height(), 0.0);
    QCOMPARE(flight.count(FlightModel::Event::MissionFinished, finish), 1);
}

void TestFlightModel::waypointActions_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("parameter");
    QTest::addColumn<double>("timeLimit");
    QTest::addColumn<double>("minSeconds"); // at the waypoint
    QTest::addColumn<double>("maxSeconds");

    QTest::newRow("a stay of 5 s waits 5 s")
        << int(FlightModel::ActionStay) << 5.0 << 0.0 << 5.0 << 5.1;
    QTest::newRow("a time limit of 2 s cuts a stay of 5 s")
        << int(FlightModel::ActionStay) << 5.0 << 2.0 << 2.0 << 2.1;
    QTest::newRow("a yaw to -90 degrees turns half round in 2 s")
        << int(FlightModel::ActionCraftYaw) << -90.0 << 0.0 << 1.9 << 2.2;
    QTest::newRow("a shot takes no time")
        << int(FlightModel::ActionSimpleShot) << 0.0 << 0.0 << 0.0 << 0.03;
}

void TestFlightModel::waypointActions() {
    QFETCH(int, type);
    QFETCH(double, parameter);
    QFETCH(double, timeLimit);
    QFETCH(double, minSeconds);
    QFETCH(double, maxSeconds);

    Flight flight;
    QVERIFY(flight.hover());
    // The aircraft arrives flying east.
    auto stop = waypointAt(0, 0, 100, 10);
    stop.actions.push_back({type, parameter});
    stop.actionTimeLimit = timeLimit;
    flight.model.startMission(missionOf({stop, waypointAt(1, 100, 100, 10)}));
    QVERIFY(
        flight.runUntil([&]() { return flight.count(FlightModel::Event::WaypointReached, 0); }));
    const double arrived = flight.seconds;
    QVERIFY(flight.runUntil([&]() { return flight.model.waypointIndex() == 1; }, 60.0));
    // The actions start within the step that arrives.
    const double stayed = flight.seconds - arrived + FlightModel::StepSeconds;
    QVERIFY2(stayed >= minSeconds - 1e-6 && stayed <= maxSeconds,
             qPrintable(QString::number(stayed)));
    QVERIFY(flight.maxYawRate <= FlightModel::MaxYawRate + 1e-6);
    // Leaving, the aircraft has just begun to turn north.
    if (type == FlightModel::ActionCraftYaw)
        QVERIFY(std::abs(flight.model.yaw() - parameter) <=
                FlightModel::MaxYawRate * FlightModel::StepSeconds + 0.5);
}

void TestFlightModel::batteryDrainsOverTheFlightTimeThenSendsTheAircraftHome() {
    Flight flight;
    flight.run(60.0);
    QCOMPARE(flight.model.charge(), 1.0);

    QVERIFY(flight.hover());
    flight.model.startMission(missionOf({waypointAt(0, 200, 0, 30), waypointAt(1, 200, 200, 30)},
                                        5.0, FlightModel::FinishRepeat));
    const double started = flight.seconds;
    QVERIFY(flight.runUntil([&]() { return flight.model.charge() <= 0.5; }, 2000.0));
    QVERIFY(std::abs(flight.seconds - started - FlightModel::FlightTimeSeconds / 2) < 30.0);
    QVERIFY(flight.count(FlightModel::Event::MissionFinished, FlightModel::FinishRepeat) > 5);

    QVERIFY(flight.runUntilStatus(FlightModel::Status::GoingHome, 2000.0));
    QVERIFY(flight.model.charge() <= FlightModel::ReturnCharge);
    QVERIFY(!flight.model.missionRunning());
    QVERIFY(flight.runUntilStatus(FlightModel::Status::OnGround, 600.0));
    QVERIFY(FlightModel::distance(flight.model.latitude(), flight.model.longitude(), HomeLatitude,
                                  HomeLongitude) < 0.01);
    QVERIFY(flight.model.charge() > 0.0);
}

QTEST_APPLESS_MAIN(TestFlightModel)

#include "tst_flightmodel.moc"
