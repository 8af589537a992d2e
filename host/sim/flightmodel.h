#ifndef FLIGHTMODEL_H
#define FLIGHTMODEL_H

#include <vector>

// The physics and autopilot of one simulated multirotor, without any event
// loop: commands change its state and step() advances it by simulated time.
// Positions are radians, heights metres above home, speeds metres per second.
class FlightModel {
public:
    enum class Status { OnGround, TakingOff, Hovering, Mission, MissionPaused, GoingHome, Landing };

    enum FinishAction {
        FinishHover = 0,
        FinishGoHome = 1,
        FinishLand = 2,
        FinishBackToFirst = 3,
        FinishRepeat = 4
    };

    enum ActionType {
        ActionStay = 0,
        ActionSimpleShot = 1,
        ActionVideoStart = 2,
        ActionVideoStop = 3,
        ActionCraftYaw = 4,
        ActionGimbalPitch = 5
    };

    struct Action {
        int type = ActionStay;
        // Seconds for a stay, degrees for a yaw or a gimbal pitch.
        double parameter = 0.0;
    };

    struct Waypoint {
        int index = 0;
        double latitude = 0.0;
        double longitude = 0.0;
        double altitude = 0.0;
        double damping = 0.0;
        double speed = 0.0; // 0: the mission's idle speed
        int repeat = 1;
        double actionTimeLimit = 0.0; // seconds, 0: none
        std::vector<Action> actions;
    };

    struct Mission {
        double idleSpeed = 5.0;
        int finishAction = FinishHover;
        std::vector<Waypoint> waypoints;
    };

    struct Event {
        enum Kind { WaypointReached, MissionFinished };
        Kind kind;
        int value; // the waypoint's index, or the finish action
    };

    static constexpr double StepSeconds = 0.02;
    static constexpr double MaxSpeed = 20.0;
    static constexpr double MaxAcceleration = 4.0;
    static constexpr double MaxClimbRate = 5.0;
    static constexpr double MaxDescentRate = 3.0;
    static constexpr double LandingRate = 1.5;
    static constexpr double MaxVerticalAcceleration = 3.0;
    static constexpr double MaxYawRate = 90.0; // degrees per second
    static constexpr double TakeOffHeight = 10.0;
    static constexpr double ReturnHeight = 20.0;
    static constexpr double ReturnSpeed = 10.0;
    static constexpr double MaxHeight = 500.0;
    static constexpr double MaxDistance = 5000.0;
    static constexpr double FlightTimeSeconds = 28.0 * 60.0;
    // Below these charges the aircraft goes home, then lands where it is.
    static constexpr double ReturnCharge = 0.10;
    static constexpr double LandCharge = 0.03;
    // The WGS 84 equatorial radius, as a real aircraft's navigation reports
    // positions in; the plug-in's zone distances keep the radius their zone
    // database was built with.
    static constexpr double EarthRadius = 6378137.0;

    FlightModel(double latitude, double longitude);

    // On the ground at the given point, home there, fully charged, no mission.
    void place(double latitude, double longitude);
    void setHome(double latitude, double longitude);

    void takeOff();
    void land();
    // Takes off first when on the ground. The mission must have a waypoint.
    void startMission(const Mission &mission);
    void cancelMission();
    void pauseMission();
    void continueMission();

    void step(double seconds);
    std::vector<Event> takeEvents();

    Status status() const { return m_status; }
    bool isAirborne() const { return m_status != Status::OnGround; }
    bool missionRunning() const { return m_hasMission; }
    bool missionPaused() const { return m_status == Status::MissionPaused; }
    // The waypoint being flown to or worked at, -1 when none.
    int waypointIndex() const;

    double latitude() const { return m_latitude; }
    double longitude() const { return m_longitude; }
    double height() const { return m_height; }
    double homeLatitude() const { return m_homeLatitude; }
    double homeLongitude() const { return m_homeLongitude; }
    double velocityNorth() const { return m_velocityNorth; }
    double velocityEast() const { return m_velocityEast; }
    double velocityUp() const { return m_velocityUp; }
    double horizontalSpeed() const;
    double yaw() const { return m_yaw; }
    double charge() const { return m_charge; }
    double remainingFlightSeconds() const { return m_charge * FlightTimeSeconds; }

    static const char *statusName(Status status);
    // Ground distance in metres; flat-earth, good for the few kilometres we fly.
    static double distance(double latitude1, double longitude1, double latitude2,
                           double longitude2);

private:
    enum class Phase { Approach, Actions, BackToFirst };

    struct Guidance {
        double north = 0.0; // desired velocity
        double east = 0.0;
        double up = 0.0;
        bool faceTravel = false;
    };

    Guidance brake() const;
    // Desired velocity towards a point; stop: arrive at rest rather than pass.
    Guidance towards(double latitude, double longitude, double height, double speed) const;
    void guideMission(Guidance &guidance, double seconds);
    void runActions(const Waypoint &waypoint, double seconds);
    void arriveAt(int position);
    void finishMission();
    void goHome();
    void endMission();
    bool snapTo(double latitude, double longitude, double height);
    bool snapHeight(double height);
    void checkBattery();
    void integrate(const Guidance &guidance, double seconds);
    bool isStopPoint(int position) const;

    Status m_status = Status::OnGround;
    double m_latitude;
    double m_longitude;
    double m_height = 0.0;
    double m_homeLatitude;
    double m_homeLongitude;
    double m_velocityNorth = 0.0;
    double m_velocityEast = 0.0;
    double m_velocityUp = 0.0;
    double m_yaw = 0.0;
    double m_yawTarget = 0.0;
    double m_charge = 1.0;
    double m_returnHeight = ReturnHeight;

    bool m_hasMission = false;
    Mission m_mission;
    Phase m_phase = Phase::Approach;
    int m_target = 0;
    int m_actionIndex = 0;
    int m_actionRound = 0;
    double m_actionElapsed = 0.0;
    double m_atWaypointElapsed = 0.0;

    std::vector<Event> m_events;
};

#endif // FLIGHTMODEL_H
