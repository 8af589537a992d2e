#include "flightmodel.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

namespace {

// Arrivals end in an exponential approach, so they neither overshoot nor
// creep: the last metre takes about two seconds.
constexpr double HorizontalGain = 1.5;
constexpr double VerticalGain = 2.0;
// Braking uses a little less than the full acceleration, so that the tracked
// velocity can always follow the braking curve.
constexpr double BrakingShare = 0.8;
constexpr double ArriveDistance = 0.05;
constexpr double ArriveSpeed = 0.25;
constexpr double MinDamping = 0.5;
constexpr double PassHeightTolerance = 1.0;
constexpr double FaceTravelSpeed = 0.5;
constexpr double YawTolerance = 0.5;

double wrapDegrees(double degrees) {
    double wrapped = std::remainder(degrees, 360.0);
    if (wrapped <= -180.0)
        wrapped += 360.0;
    return wrapped;
}

// Speed at which a distance can still be covered and stopped at the end.
double approachSpeed(double distance, double acceleration, double gain) {
    return std::min(std::sqrt(2.0 * BrakingShare * acceleration * distance), gain * distance);
}

double verticalRateTowards(double from, double to) {
    const double dz = to - from;
    const double limit = dz > 0 ? FlightModel::MaxClimbRate : FlightModel::MaxDescentRate;
    const double rate = std::min(
        limit, approachSpeed(std::abs(dz), FlightModel::MaxVerticalAcceleration, VerticalGain));
    return dz > 0 ? rate : -rate;
}

} // namespace

FlightModel::FlightModel(double latitude, double longitude)
    : m_latitude(latitude)
    , m_longitude(longitude)
    , m_homeLatitude(latitude)
    , m_homeLongitude(longitude) {}

void FlightModel::place(double latitude, double longitude) {
    *this = FlightModel(latitude, longitude);
}

void FlightModel::setHome(double latitude, double longitude) {
    m_homeLatitude = latitude;
    m_homeLongitude = longitude;
}

void FlightModel::takeOff() {
    if (m_status == Status::OnGround)
        m_status = Status::TakingOff;
}

void FlightModel::land() {
    if (!isAirborne())
        return;
    endMission();
    m_status = Status::Landing;
}

void FlightModel::startMission(const Mission &mission) {
    if (mission.waypoints.empty())
        return;
    m_mission = mission;
    m_hasMission = true;
    m_phase = Phase::Approach;
    m_target = 0;
    m_status = (m_status == Status::OnGround || m_status == Status::TakingOff) ? Status::TakingOff
                                                                               : Status::Mission;
}

void FlightModel::cancelMission() {
    if (!m_hasMission)
        return;
    endMission();
    if (m_status != Status::TakingOff)
        m_status = Status::Hovering;
}

void FlightModel::pauseMission() {
    if (m_hasMission && (m_status == Status::Mission || m_status == Status::TakingOff))
        m_status = Status::MissionPaused;
}

void FlightModel::continueMission() {
    if (m_status == Status::MissionPaused)
        m_status = Status::Mission;
}

int FlightModel::waypointIndex() const {
    return m_hasMission ? m_mission.waypoints[m_target].index : -1;
}

double FlightModel::horizontalSpeed() const {
    return std::hypot(m_velocityNorth, m_velocityEast);
}

std::vector<FlightModel::Event> FlightModel::takeEvents() {
    std::vector<Event> events;
    events.swap(m_events);
    return events;
}

const char *FlightModel::statusName(Status status) {
    switch (status) {
    case Status::OnGround:
        return "ON_GROUND";
    case Status::TakingOff:
        return "TAKING_OFF";
    case Status::Hovering:
        return "HOVERING";
    case Status::Mission:
        return "MISSION";
    case Status::MissionPaused:
        return "MISSION_PAUSED";
    case Status::GoingHome:
        return "GOING_HOME";
    case Status::Landing:
        return "LANDING";
    }
    return "ON_GROUND";
}

double FlightModel::distance(double latitude1, double longitude1, double latitude2,
                             double longitude2) {
    const double north = (latitude2 - latitude1) * EarthRadius;
    const double east =
        (longitude2 - longitude1) * EarthRadius * std::cos((latitude1 + latitude2) / 2.0);
    return std::hypot(north, east);
}

void FlightModel::step(double seconds) {
    if (m_status == Status::OnGround) {
        m_velocityNorth = m_velocityEast = m_velocityUp = 0.0;
        return;
    }
    m_charge = std::max(0.0, m_charge - seconds / FlightTimeSeconds);
    checkBattery();

    Guidance guidance;
    switch (m_status) {
    case Status::OnGround:
        break;
    case Status::TakingOff:
        if (horizontalSpeed() < ArriveSpeed && snapHeight(TakeOffHeight)) {
            m_status = m_hasMission ? Status::Mission : Status::Hovering;
            break;
        }
        guidance = brake();
        guidance.up = verticalRateTowards(m_height, TakeOffHeight);
        break;
    case Status::Hovering:
    case Status::MissionPaused:
        guidance = brake();
        break;
    case Status::Mission:
        guideMission(guidance, seconds);
        break;
    case Status::GoingHome:
        if (snapTo(m_homeLatitude, m_homeLongitude, m_returnHeight)) {
            m_status = Status::Landing;
            break;
        }
        guidance = towards(m_homeLatitude, m_homeLongitude, m_returnHeight, ReturnSpeed);
        break;
    case Status::Landing:
        guidance = brake();
        guidance.up = -LandingRate;
        break;
    }
    integrate(guidance, seconds);

    if (m_height <= 0.0) {
        m_height = 0.0;
        m_velocityUp = std::max(0.0, m_velocityUp);
        if (m_status == Status::Landing) {
            m_velocityNorth = m_velocityEast = m_velocityUp = 0.0;
            m_status = Status::OnGround;
        }
    }
}

FlightModel::Guidance FlightModel::brake() const {
    Guidance guidance;
    guidance.north = guidance.east = guidance.up = 0.0;
    return guidance;
}

FlightModel::Guidance FlightModel::towards(double latitude, double longitude, double height,
                                           double speed) const {
    Guidance guidance;
    const double north = (latitude - m_latitude) * EarthRadius;
    const double east = (longitude - m_longitude) * EarthRadius * std::cos(m_latitude);
    const double distance = std::hypot(north, east);
    if (distance > 1e-9) {
        const double v = std::min(std::min(speed, MaxSpeed),
                                  approachSpeed(distance, MaxAcceleration, HorizontalGain));
        guidance.north = v * north / distance;
        guidance.east = v * east / distance;
    }
    guidance.up = verticalRateTowards(m_height, std::min(height, MaxHeight));
    guidance.faceTravel = true;
    return guidance;
}

bool FlightModel::isStopPoint(int position) const {
    return position + 1 == int(m_mission.waypoints.size()) ||
           !m_mission.waypoints[position].actions.empty();
}

void FlightModel::guideMission(Guidance &guidance, double seconds) {
    // Waypoints that are passed through may lie within each other's damping
    // circles; each pass hands over to the next, at most once per waypoint.
    for (std::size_t passes = 0; passes <= m_mission.waypoints.size() && m_hasMission; ++passes) {
        const Waypoint &waypoint = m_mission.waypoints[m_target];
        if (m_phase == Phase::Actions) {
            runActions(waypoint, seconds);
            if (m_phase == Phase::Actions || !m_hasMission) {
                guidance = brake();
                return;
            }
            continue;
        }
        if (m_phase == Phase::BackToFirst) {
            if (snapTo(waypoint.latitude, waypoint.longitude, waypoint.altitude)) {
                endMission();
                m_status = Status::Hovering;
                guidance = brake();
                return;
            }
            guidance = towards(waypoint.latitude, waypoint.longitude, waypoint.altitude,
                               m_mission.idleSpeed);
            return;
        }
        const bool arrived =
            isStopPoint(m_target)
                ? snapTo(waypoint.latitude, waypoint.longitude, waypoint.altitude)
                : distance(m_latitude, m_longitude, waypoint.latitude, waypoint.longitude) <=
                          std::max(waypoint.damping, MinDamping) &&
                      std::abs(waypoint.altitude - m_height) <= PassHeightTolerance;
        if (!arrived) {
            const double speed = waypoint.speed > 0.0 ? waypoint.speed : m_mission.idleSpeed;
            guidance = towards(waypoint.latitude, waypoint.longitude, waypoint.altitude, speed);
            return;
        }
        arriveAt(m_target);
        if (m_status != Status::Mission) {
            guidance = brake();
            return;
        }
    }
    guidance = brake();
}

void FlightModel::arriveAt(int position) {
    const Waypoint &waypoint = m_mission.waypoints[position];
    m_events.push_back({Event::WaypointReached, waypoint.index});
    if (!waypoint.actions.empty()) {
        m_phase = Phase::Actions;
        m_actionIndex = 0;
        m_actionRound = 0;
        m_actionElapsed = 0.0;
        m_atWaypointElapsed = 0.0;
        return;
    }
    if (position + 1 < int(m_mission.waypoints.size())) {
        m_target = position + 1;
        m_phase = Phase::Approach;
        return;
    }
    finishMission();
}

void FlightModel::runActions(const Waypoint &waypoint, double seconds) {
    m_atWaypointElapsed += seconds;
    const bool timedOut =
        waypoint.actionTimeLimit > 0.0 && m_atWaypointElapsed >= waypoint.actionTimeLimit;
    const int rounds = std::max(1, waypoint.repeat);
    double budget = seconds;
    while (!timedOut && m_actionRound < rounds) {
        const Action &action = waypoint.actions[m_actionIndex];
        if (action.type == ActionStay) {
            const double left = action.parameter - m_actionElapsed;
            if (budget < left) {
                m_actionElapsed += budget;
                return;
            }
            budget -= std::max(left, 0.0);
        } else if (action.type == ActionCraftYaw) {
            m_yawTarget = wrapDegrees(action.parameter);
            if (std::abs(wrapDegrees(m_yaw - m_yawTarget)) > YawTolerance)
                return;
        }
        // Shots, video and gimbal commands take no time in the simulation.
        m_actionElapsed = 0.0;
        if (++m_actionIndex >= int(waypoint.actions.size())) {
            m_actionIndex = 0;
            ++m_actionRound;
        }
    }
    m_phase = Phase::Approach;
    if (m_target + 1 < int(m_mission.waypoints.size()))
        ++m_target;
    else
        finishMission();
}

void FlightModel::finishMission() {
    m_events.push_back({Event::MissionFinished, m_mission.finishAction});
    switch (m_mission.finishAction) {
    case FinishGoHome:
        endMission();
        goHome();
        break;
    case FinishLand:
        endMission();
        m_status = Status::Landing;
        break;
    case FinishBackToFirst:
        m_target = 0;
        m_phase = Phase::BackToFirst;
        break;
    case FinishRepeat:
        m_target = 0;
        m_phase = Phase::Approach;
        break;
    default:
        endMission();
        m_status = Status::Hovering;
        break;
    }
}

void FlightModel::goHome() {
    m_returnHeight = std::min(std::max(m_height, ReturnHeight), MaxHeight);
    m_status = Status::GoingHome;
}

void FlightModel::endMission() {
    m_hasMission = false;
    m_mission = Mission();
    m_phase = Phase::Approach;
    m_target = 0;
}

bool FlightModel::snapHeight(double height) {
    if (std::abs(height - m_height) >= ArriveDistance || std::abs(m_velocityUp) >= ArriveSpeed)
        return false;
    m_height = height;
    m_velocityUp = 0.0;
    return true;
}

bool FlightModel::snapTo(double latitude, double longitude, double height) {
    if (distance(m_latitude, m_longitude, latitude, longitude) >= ArriveDistance ||
        horizontalSpeed() >= ArriveSpeed || !snapHeight(height))
        return false;
    m_latitude = latitude;
    m_longitude = longitude;
    m_velocityNorth = m_velocityEast = 0.0;
    return true;
}

void FlightModel::checkBattery() {
    if (m_charge <= LandCharge) {
        if (m_status != Status::Landing) {
            endMission();
            m_status = Status::Landing;
        }
        return;
    }
    if (m_charge <= ReturnCharge &&
        (m_status == Status::TakingOff || m_status == Status::Hovering ||
         m_status == Status::Mission || m_status == Status::MissionPaused)) {
        endMission();
        goHome();
    }
}

void FlightModel::integrate(const Guidance &guidance, double seconds) {
    if (guidance.faceTravel && std::hypot(guidance.north, guidance.east) > FaceTravelSpeed)
        m_yawTarget = std::atan2(guidance.east, guidance.north) * 180.0 / M_PI;

    double dNorth = guidance.north - m_velocityNorth;
    double dEast = guidance.east - m_velocityEast;
    const double change = std::hypot(dNorth, dEast);
    const double maxChange = MaxAcceleration * seconds;
    if (change > maxChange) {
        dNorth *= maxChange / change;
        dEast *= maxChange / change;
    }
    m_velocityNorth += dNorth;
    m_velocityEast += dEast;
    const double maxUpChange = MaxVerticalAcceleration * seconds;
    m_velocityUp += std::clamp(guidance.up - m_velocityUp, -maxUpChange, maxUpChange);

    m_latitude += m_velocityNorth * seconds / EarthRadius;
    m_longitude += m_velocityEast * seconds / (EarthRadius * std::cos(m_latitude));
    m_height += m_velocityUp * seconds;

    const double turn = wrapDegrees(m_yawTarget - m_yaw);
    const double maxTurn = MaxYawRate * seconds;
    m_yaw = wrapDegrees(m_yaw + std::clamp(turn, -maxTurn, maxTurn));
}
