#include "simulatedaircraft.h"

#include <QHash>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtMath>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>

namespace {

const char *const Version = "oru-sim 1.0";
// Past this much wall-clock time in one call, the simulation falls behind
// rather than stalling its thread to catch up.
constexpr double MaxCatchUpSeconds = 0.5;

const char *const ActionNames[] = {"WP_ACTION_STAY",        "WP_ACTION_SIMPLE_SHOT",
                                   "WP_ACTION_VIDEO_START", "WP_ACTION_VIDEO_STOP",
                                   "WP_ACTION_CRAFT_YAW",   "WP_ACTION_GIMBAL_PITCH"};

QJsonObject success(const QJsonValue &value = QJsonValue(QJsonValue::Undefined)) {
    QJsonObject reply{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    if (!value.isUndefined())
        reply.insert(QStringLiteral("VALUE"), value);
    return reply;
}

QJsonObject failure(int code, const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_CODE"), code},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

bool readNumber(const QJsonValue &value, double &out) {
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return false;
    out = value.toDouble();
    return true;
}

bool readWhole(const QJsonValue &value, qint64 &out) {
    double number = 0;
    if (!readNumber(value, number) || std::trunc(number) != number || std::abs(number) > 1e15)
        return false;
    out = qint64(number);
    return true;
}

// Fields passed through as whole numbers: anything else reads as 0, and
// fractions are cut toward zero, within the range of an int.
int wholeOf(const QJsonValue &value) {
    double number = 0;
    if (!readNumber(value, number))
        return 0;
    return int(std::clamp(std::trunc(number), double(std::numeric_limits<int>::min()),
                          double(std::numeric_limits<int>::max())));
}

QString text(double number) {
    return QString::number(number, 'g', 10);
}

QString missing(const QString &key, const QString &kind) {
    return key + QStringLiteral(" missing or not ") + kind;
}

// Both coordinates present, numbers and within their ranges, in radians.
QString readPosition(const QJsonObject &object, double &latitude, double &longitude,
                     double maxLatitude = M_PI_2) {
    if (!readNumber(object.value(QStringLiteral("LATI")), latitude))
        return missing(QStringLiteral("LATI"), QStringLiteral("a number"));
    if (!readNumber(object.value(QStringLiteral("LONTI")), longitude))
        return missing(QStringLiteral("LONTI"), QStringLiteral("a number"));
    if (std::abs(latitude) > M_PI_2)
        return QStringLiteral("LATI %1 is not a latitude in radians").arg(text(latitude));
    if (std::abs(latitude) > maxLatitude)
        return QStringLiteral("LATI %1 lies beyond %2 degrees of latitude, too close to a pole")
            .arg(text(latitude))
            .arg(text(std::round(qRadiansToDegrees(maxLatitude))));
    if (std::abs(longitude) > M_PI)
        return QStringLiteral("LONTI %1 is not a longitude in radians").arg(text(longitude));
    return {};
}

int actionCode(const QString &name) {
    for (int code = 0; code < int(std::size(ActionNames)); ++code) {
        if (name == QLatin1String(ActionNames[code]))
            return code;
    }
    return -1;
}

// One entry of a waypoint's COMMAND_LIST: a known action with its parameter in range.
QString readAction(const QJsonObject &entry, const QString &name, qint64 &parameter) {
    const int code = actionCode(name);
    if (code < 0)
        return QStringLiteral("unknown ACTION_TYPE \"%1\"").arg(name);
    if (!readWhole(entry.value(QStringLiteral("PARAM_VALUE")), parameter))
        return QStringLiteral("%1: PARAM_VALUE missing or not a whole number").arg(name);
    if (code == FlightModel::ActionStay &&
        (parameter < 0 || parameter > SimulatedAircraft::MaxStaySeconds))
        return QStringLiteral("stay of %1 s is outside 0 to %2 s")
            .arg(parameter)
            .arg(SimulatedAircraft::MaxStaySeconds);
    if (code == FlightModel::ActionCraftYaw && (parameter < -180 || parameter > 180))
        return QStringLiteral("yaw of %1 degrees is outside -180 to 180").arg(parameter);
    if (code == FlightModel::ActionGimbalPitch && (parameter < -90 || parameter > 30))
        return QStringLiteral("gimbal pitch of %1 degrees is outside -90 to 30").arg(parameter);
    return {};
}

// Distance in metres from a zone's centre to the segment between two points,
// in a flat frame around the centre.
double distanceToSegment(double zoneLatitude, double zoneLongitude, double latitude1,
                         double longitude1, double latitude2, double longitude2) {
    const double scale = FlightModel::EarthRadius * std::cos(zoneLatitude);
    const double ax = (longitude1 - zoneLongitude) * scale;
    const double ay = (latitude1 - zoneLatitude) * FlightModel::EarthRadius;
    const double bx = (longitude2 - zoneLongitude) * scale;
    const double by = (latitude2 - zoneLatitude) * FlightModel::EarthRadius;
    const double dx = bx - ax;
    const double dy = by - ay;
    const double length2 = dx * dx + dy * dy;
    const double t = length2 > 0 ? std::clamp(-(ax * dx + ay * dy) / length2, 0.0, 1.0) : 0.0;
    return std::hypot(ax + t * dx, ay + t * dy);
}

double round1(double value) {
    return std::round(value * 10.0) / 10.0;
}

} // namespace

SimulatedAircraft::SimulatedAircraft(const SimDevice &device, double speed, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_speed(speed)
    , m_model(device.latitude, device.longitude) {
    // Independent aircraft report out of step; a fleet attached at once would
    // otherwise send every FLIGHT_STATE in the same tick.
    m_nextFlightState = QRandomGenerator::global()->bounded(FlightStateInterval);
}

SimulatedAircraft::~SimulatedAircraft() = default;

const QHash<QString, SimulatedAircraft::Handler> &SimulatedAircraft::handlers() {
    static const QHash<QString, Handler> table{
        {QStringLiteral("GetVersion"), &SimulatedAircraft::getVersion},
        {QStringLiteral("GetSN"), &SimulatedAircraft::getSerialNumber},
        {QStringLiteral("GetFlightType"), &SimulatedAircraft::getFlightType},
        {QStringLiteral("GetParameters"), &SimulatedAircraft::getParameters},
        {QStringLiteral("GetFlyLimit"), &SimulatedAircraft::getFlyLimit},
        {QStringLiteral("SetBatteryPush"), &SimulatedAircraft::setBatteryPush},
        {QStringLiteral("DoFunction"), &SimulatedAircraft::doFunction},
        {QStringLiteral("SetNavigationMode"), &SimulatedAircraft::setNavigationMode},
        {QStringLiteral("SetHomePoint"), &SimulatedAircraft::setHomePoint},
        {QStringLiteral("SetNoFlyZone"), &SimulatedAircraft::setNoFlyZone},
        {QStringLiteral("UploadWayLineMission"), &SimulatedAircraft::uploadWayLineMission},
        {QStringLiteral("UploadWayPoint"), &SimulatedAircraft::uploadWayPoint},
        {QStringLiteral("DownloadWayLineMission"), &SimulatedAircraft::downloadWayLineMission},
        {QStringLiteral("DownloadWayPoint"), &SimulatedAircraft::downloadWayPoint},
        {QStringLiteral("StartOrCancelWayLineMission"),
         &SimulatedAircraft::startOrCancelWayLineMission},
        {QStringLiteral("PauseOrContinueWayLineMission"),
         &SimulatedAircraft::pauseOrContinueWayLineMission},
        {QStringLiteral("StartSimulation"), &SimulatedAircraft::startSimulation},
        {QStringLiteral("StopSimulation"), &SimulatedAircraft::stopSimulation},
    };
    return table;
}

QJsonObject SimulatedAircraft::handle(const QJsonObject &request) {
    const QJsonValue command = request.value(QStringLiteral("CMD"));
    QJsonObject reply;
    if (!command.isString()) {
        reply = failure(UnknownCommand, missing(QStringLiteral("CMD"), QStringLiteral("a string")));
    } else {
        const Handler handler = handlers().value(command.toString());
        reply = handler ? (this->*handler)(request.value(QStringLiteral("VALUE")))
                        : failure(UnknownCommand,
                                  QStringLiteral("unknown command ") + command.toString());
        reply.insert(QStringLiteral("CMD"), command);
    }
    const auto seq = request.constFind(QStringLiteral("SEQ"));
    if (seq != request.constEnd())
        reply.insert(QStringLiteral("SEQ"), seq.value());
    return reply;
}

QByteArray SimulatedAircraft::handleText(const QByteArray &request) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request, &error);
    QJsonObject reply;
    if (document.isObject()) {
        reply = handle(document.object());
    } else {
        const QString why = error.error != QJsonParseError::NoError
                                ? error.errorString()
                                : QStringLiteral("not a JSON object");
        reply = failure(InvalidValue, QStringLiteral("invalid request: ") + why);
    }
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

QByteArray SimulatedAircraft::binaryRefusal() {
    return QJsonDocument(failure(InvalidValue, QStringLiteral("binary messages are not supported")))
        .toJson(QJsonDocument::Compact);
}

bool SimulatedAircraft::due(double &next, double interval) const {
    // A little slack: the clock is a sum of tick lengths.
    if (m_clock + 1e-9 < next)
        return false;
    next += interval;
    if (next <= m_clock)
        next = m_clock + interval;
    return true;
}

void SimulatedAircraft::advance(double seconds) {
    m_clock += seconds;
    if (m_running) {
        m_backlog = std::min(m_backlog + seconds * m_speed, MaxCatchUpSeconds * m_speed);
        while (m_backlog >= FlightModel::StepSeconds) {
            m_model.step(FlightModel::StepSeconds);
            m_backlog -= FlightModel::StepSeconds;
        }
        for (const FlightModel::Event &event : m_model.takeEvents()) {
            if (event.kind == FlightModel::Event::WaypointReached)
                emitEvent(QStringLiteral("WAYPOINT_REACHED"),
                          {{QStringLiteral("INDEX"), event.value}});
            else
                emitEvent(QStringLiteral("MISSION_FINISHED"),
                          {{QStringLiteral("ACTION_ON_FINISH"), event.value}});
        }
        if (due(m_nextFlightState, FlightStateInterval))
            emitEvent(QStringLiteral("FLIGHT_STATE"), flightState());
    }
    if (m_clock <= m_batteryUntil && due(m_nextBattery, m_batteryInterval))
        emitEvent(QStringLiteral("BATTERY_STATE"), batteryState());
}

void SimulatedAircraft::emitEvent(const QString &name, const QJsonObject &value) {
    Q_EMIT eventReady({{QStringLiteral("EVENT"), name}, {QStringLiteral("VALUE"), value}});
}

QJsonObject SimulatedAircraft::flightState() const {
    return {
        {QStringLiteral("LATI"), m_model.latitude()},
        {QStringLiteral("LONTI"), m_model.longitude()},
        {QStringLiteral("HEIGHT"), m_model.height()},
        {QStringLiteral("VX"), m_model.velocityNorth()},
        {QStringLiteral("VY"), m_model.velocityEast()},
        {QStringLiteral("VZ"), m_model.velocityUp()},
        {QStringLiteral("SPEED"), m_model.horizontalSpeed()},
        {QStringLiteral("YAW"), m_model.yaw()},
        {QStringLiteral("FLIGHT_STATUS"), QLatin1String(FlightModel::statusName(m_model.status()))},
        {QStringLiteral("WAYPOINT_INDEX"), m_model.waypointIndex()},
        {QStringLiteral("HOME_LATI"), m_model.homeLatitude()},
        {QStringLiteral("HOME_LONTI"), m_model.homeLongitude()},
        // Send time on the steady clock, so a reader on this machine can time the relay.
        {QStringLiteral("STAMP"), double(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count())},
    };
}

QJsonObject SimulatedAircraft::batteryState() const {
    // A four-cell pack: 16.8 V full, 14.0 V empty.
    const double charge = m_model.charge();
    return {
        {QStringLiteral("PERCENT"), round1(charge * 100.0)},
        {QStringLiteral("VOLTAGE"), std::round((14.0 + 2.8 * charge) * 100.0) / 100.0},
        {QStringLiteral("REMAINING_TIME"), std::round(m_model.remainingFlightSeconds())},
    };
}

QJsonObject SimulatedAircraft::getVersion(const QJsonValue &) {
    return success(QLatin1String(Version));
}

QJsonObject SimulatedAircraft::getSerialNumber(const QJsonValue &) {
    return success(m_device.serialNumber);
}

QJsonObject SimulatedAircraft::getFlightType(const QJsonValue &) {
    return success(m_device.flightType);
}

QJsonObject SimulatedAircraft::getParameters(const QJsonValue &) {
    return success(QJsonObject{
        {QStringLiteral("VERSION"), QLatin1String(Version)},
        {QStringLiteral("DEVICE_TYPE"), m_device.deviceType},
        {QStringLiteral("NAVIGATION_MODE"), m_navigationMode},
        {QStringLiteral("MAX_SPEED"), FlightModel::MaxSpeed},
        {QStringLiteral("MAX_ACCELERATION"), FlightModel::MaxAcceleration},
        {QStringLiteral("MAX_CLIMB_RATE"), FlightModel::MaxClimbRate},
        {QStringLiteral("MAX_DESCENT_RATE"), FlightModel::MaxDescentRate},
        {QStringLiteral("LANDING_RATE"), FlightModel::LandingRate},
        {QStringLiteral("MAX_YAW_RATE"), FlightModel::MaxYawRate},
        {QStringLiteral("TAKEOFF_HEIGHT"), FlightModel::TakeOffHeight},
        {QStringLiteral("RETURN_HEIGHT"), FlightModel::ReturnHeight},
        {QStringLiteral("FLIGHT_TIME"), FlightModel::FlightTimeSeconds},
        {QStringLiteral("MAX_WAYPOINTS"), MaxWaypoints},
        {QStringLiteral("SIM_SPEED"), m_speed},
    });
}

QJsonObject SimulatedAircraft::getFlyLimit(const QJsonValue &) {
    return success(QJsonObject{{QStringLiteral("MAX_HEIGHT"), FlightModel::MaxHeight},
                               {QStringLiteral("MAX_DISTANCE"), FlightModel::MaxDistance}});
}

QJsonObject SimulatedAircraft::setBatteryPush(const QJsonValue &value) {
    const QJsonObject object = value.toObject();
    double rate = 0;
    double timeout = 0;
    if (!readNumber(object.value(QStringLiteral("FREQ")), rate))
        return failure(InvalidValue, missing(QStringLiteral("FREQ"), QStringLiteral("a number")));
    if (!readNumber(object.value(QStringLiteral("TIMEOUT")), timeout))
        return failure(InvalidValue,
                       missing(QStringLiteral("TIMEOUT"), QStringLiteral("a number")));
    if (rate <= 0 || rate > MaxBatteryPushRate)
        return failure(InvalidValue, QStringLiteral("FREQ %1 Hz is outside 0 to %2 Hz")
                                         .arg(text(rate))
                                         .arg(text(MaxBatteryPushRate)));
    if (timeout <= 0 || timeout > MaxBatteryPushTimeout)
        return failure(InvalidValue, QStringLiteral("TIMEOUT %1 s is outside 0 to %2 s")
                                         .arg(text(timeout))
                                         .arg(text(MaxBatteryPushTimeout)));
    // Renewing a running push keeps its rhythm; the requests come faster
    // than the pushes they ask for.
    if (m_clock > m_batteryUntil)
        m_nextBattery = m_clock;
    else
        m_nextBattery = std::min(m_nextBattery, m_clock + 1.0 / rate);
    m_batteryInterval = 1.0 / rate;
    m_batteryUntil = m_clock + timeout;
    return success();
}

QJsonObject SimulatedAircraft::doFunction(const QJsonValue &value) {
    qint64 code = 0;
    if (!readWhole(value, code))
        return failure(InvalidValue,
                       QStringLiteral("VALUE must be a function code: 1 take off, 2 land"));
    if (code != 1 && code != 2)
        return failure(Unsupported, QStringLiteral("unsupported function code %1").arg(code));
    if (!m_running)
        return failure(WrongState,
                       QStringLiteral("simulation is stopped; StartSimulation resumes it"));
    if (code == 1) {
        if (m_model.isAirborne())
            return failure(WrongState, QStringLiteral("aircraft is already airborne"));
        if (m_model.charge() < MinTakeOffCharge)
            return failure(WrongState, QStringLiteral("battery at %1 %, too low to take off")
                                           .arg(text(round1(m_model.charge() * 100))));
        m_model.takeOff();
    } else {
        if (!m_model.isAirborne())
            return failure(WrongState, QStringLiteral("aircraft is on the ground"));
        m_model.land();
    }
    return success();
}

QJsonObject SimulatedAircraft::setNavigationMode(const QJsonValue &value) {
    qint64 mode = 0;
    if (!readWhole(value.toObject().value(QStringLiteral("NAVIGATION_MODE")), mode))
        return failure(InvalidValue, missing(QStringLiteral("NAVIGATION_MODE"),
                                             QStringLiteral("a whole number")));
    if (mode < 0 || mode > 2)
        return failure(Unsupported, QStringLiteral("unsupported navigation mode %1").arg(mode));
    m_navigationMode = int(mode);
    return success();
}

QJsonObject SimulatedAircraft::setHomePoint(const QJsonValue &value) {
    double latitude = 0;
    double longitude = 0;
    const QString error = readPosition(value.toObject(), latitude, longitude);
    if (!error.isEmpty())
        return failure(InvalidValue, error);
    const double distance =
        FlightModel::distance(m_model.latitude(), m_model.longitude(), latitude, longitude);
    if (distance > FlightModel::MaxDistance)
        return failure(InvalidValue,
                       QStringLiteral("home point is %1 m from the aircraft, beyond the %2 m limit")
                           .arg(text(std::round(distance)))
                           .arg(text(FlightModel::MaxDistance)));
    m_model.setHome(latitude, longitude);
    return success();
}

QJsonObject SimulatedAircraft::setNoFlyZone(const QJsonValue &value) {
    if (!value.isArray())
        return failure(InvalidValue, QStringLiteral("VALUE must be an array of zones"));
    const QJsonArray array = value.toArray();
    if (array.size() > MaxZones)
        return failure(
            InvalidValue,
            QStringLiteral("%1 zones are more than the %2 kept").arg(array.size()).arg(MaxZones));
    QVector<Zone> zones;
    zones.reserve(array.size());
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject object = array.at(i).toObject();
        Zone zone;
        QString error = readPosition(object, zone.latitude, zone.longitude);
        if (error.isEmpty() &&
            (!readNumber(object.value(QStringLiteral("RADIUS")), zone.radius) || zone.radius <= 0))
            error = QStringLiteral("RADIUS missing or not a positive number");
        if (!error.isEmpty())
            return failure(InvalidValue, QStringLiteral("zone %1: %2").arg(i).arg(error));
        zone.name = object.value(QStringLiteral("NAME")).toString();
        zones.append(zone);
    }
    m_zones = zones;
    return success();
}

QJsonObject SimulatedAircraft::uploadWayLineMission(const QJsonValue &value) {
    if (!value.isObject())
        return failure(InvalidValue, QStringLiteral("VALUE must be the mission object"));
    const QJsonObject mission = value.toObject();
    qint64 length = 0;
    double range = 0;
    double idle = 0;
    qint64 finish = 0;
    if (!readWhole(mission.value(QStringLiteral("LENGTH")), length))
        return failure(MissionRefused,
                       missing(QStringLiteral("LENGTH"), QStringLiteral("a whole number")));
    if (length < MinWaypoints || length > MaxWaypoints)
        return failure(MissionRefused, QStringLiteral("LENGTH %1 is outside %2 to %3 waypoints")
                                           .arg(length)
                                           .arg(MinWaypoints)
                                           .arg(MaxWaypoints));
    if (!readNumber(mission.value(QStringLiteral("VEL_CMD_RANGE")), range))
        return failure(MissionRefused,
                       missing(QStringLiteral("VEL_CMD_RANGE"), QStringLiteral("a number")));
    if (range <= 0 || range > FlightModel::MaxSpeed)
        return failure(MissionRefused, QStringLiteral("VEL_CMD_RANGE %1 m/s is outside 0 to %2 m/s")
                                           .arg(text(range))
                                           .arg(text(FlightModel::MaxSpeed)));
    if (!readNumber(mission.value(QStringLiteral("IDLE_VEL")), idle))
        return failure(MissionRefused,
                       missing(QStringLiteral("IDLE_VEL"), QStringLiteral("a number")));
    if (idle <= 0 || idle > range)
        return failure(MissionRefused,
                       QStringLiteral("IDLE_VEL %1 m/s is outside 0 to %2 m/s (VEL_CMD_RANGE)")
                           .arg(text(idle))
                           .arg(text(range)));
    if (mission.contains(QStringLiteral("ACTION_ON_FINISH")) &&
        (!readWhole(mission.value(QStringLiteral("ACTION_ON_FINISH")), finish) || finish < 0 ||
         finish > FlightModel::FinishRepeat))
        return failure(
            MissionRefused,
            QStringLiteral("ACTION_ON_FINISH %1 is not one of 0 to 4")
                .arg(mission.value(QStringLiteral("ACTION_ON_FINISH")).toVariant().toString()));

    StoredMission upload;
    upload.length = int(length);
    upload.speedRange = range;
    upload.flight.idleSpeed = idle;
    upload.flight.finishAction = int(finish);
    upload.header = {{QStringLiteral("LENGTH"), upload.length},
                     {QStringLiteral("VEL_CMD_RANGE"), range},
                     {QStringLiteral("IDLE_VEL"), idle},
                     {QStringLiteral("ACTION_ON_FINISH"), int(finish)}};
    for (const char *key : {"MISSION_EXEC_NUM", "YAW_MODE", "TRACE_MODE", "ACTION_ON_RC_LOST",
                            "GIMBAL_PITCH_MODE", "GOTO_FIRST"})
        upload.header.insert(QLatin1String(key), wholeOf(mission.value(QLatin1String(key))));
    for (const char *key : {"HP_LATI", "HP_LONTI", "HP_ALTI"})
        upload.header.insert(QLatin1String(key), mission.value(QLatin1String(key)).toDouble());
    m_upload = upload;
    return success();
}

QJsonObject SimulatedAircraft::uploadWayPoint(const QJsonValue &value) {
    if (!m_upload)
        return failure(
            WaypointRefused,
            QStringLiteral("no mission header uploaded; send UploadWayLineMission first"));
    if (!value.isObject())
        return failure(InvalidValue, QStringLiteral("VALUE must be a waypoint object"));
    const QJsonObject object = value.toObject();
    const int expected = m_upload->waypoints.size();

    qint64 index = 0;
    if (!readWhole(object.value(QStringLiteral("INDEX")), index))
        return failure(WaypointRefused, QStringLiteral("waypoint %1: %2")
                                            .arg(expected)
                                            .arg(missing(QStringLiteral("INDEX"),
                                                         QStringLiteral("a whole number"))));
    if (index != expected)
        return failure(WaypointRefused, QStringLiteral("waypoint INDEX %1 is out of order; "
                                                       "expected %2")
                                            .arg(index)
                                            .arg(expected));
    FlightModel::Waypoint waypoint;
    waypoint.index = int(index);
    QJsonObject stored;
    QString error = readWaypointPlace(object, waypoint, stored);
    if (error.isEmpty())
        error = readWaypointSpeed(object, waypoint, stored);
    if (error.isEmpty())
        error = readWaypointActions(object, waypoint, stored);
    if (!error.isEmpty())
        return failure(WaypointRefused, QStringLiteral("waypoint %1: %2").arg(expected).arg(error));

    m_upload->waypoints.append(stored);
    m_upload->flight.waypoints.push_back(waypoint);
    if (m_upload->waypoints.size() == m_upload->length) {
        m_mission = std::move(m_upload);
        m_upload.reset();
    }
    return success();
}

// Position, height and damping: where the aircraft may go, as far as home allows.
QString SimulatedAircraft::readWaypointPlace(const QJsonObject &object,
                                             FlightModel::Waypoint &waypoint,
                                             QJsonObject &stored) const {
    QString error = readPosition(object, waypoint.latitude, waypoint.longitude);
    if (!error.isEmpty())
        return error;
    if (!readNumber(object.value(QStringLiteral("ALTI")), waypoint.altitude))
        return missing(QStringLiteral("ALTI"), QStringLiteral("a number"));
    if (waypoint.altitude < MinWaypointAltitude || waypoint.altitude > FlightModel::MaxHeight)
        return QStringLiteral("ALTI %1 m is outside %2 to %3 m")
            .arg(text(waypoint.altitude))
            .arg(text(MinWaypointAltitude))
            .arg(text(FlightModel::MaxHeight));
    const double fromHome = FlightModel::distance(m_model.homeLatitude(), m_model.homeLongitude(),
                                                  waypoint.latitude, waypoint.longitude);
    if (fromHome > FlightModel::MaxDistance)
        return QStringLiteral("%1 m from home, beyond the %2 m limit")
            .arg(text(std::round(fromHome)))
            .arg(text(FlightModel::MaxDistance));
    const QJsonValue damping = object.value(QStringLiteral("DAMPING_DIS"));
    if (!damping.isUndefined() && !readNumber(damping, waypoint.damping))
        return QStringLiteral("DAMPING_DIS is not a number");
    if (waypoint.damping < 0 || waypoint.damping > MaxDampingDistance)
        return QStringLiteral("DAMPING_DIS %1 m is outside 0 to %2 m")
            .arg(text(waypoint.damping))
            .arg(text(MaxDampingDistance));

    stored = {
        {QStringLiteral("INDEX"), waypoint.index},
        {QStringLiteral("LATI"), waypoint.latitude},
        {QStringLiteral("LONTI"), waypoint.longitude},
        {QStringLiteral("ALTI"), waypoint.altitude},
        {QStringLiteral("DAMPING_DIS"), waypoint.damping},
        {QStringLiteral("TGT_YAW"), wholeOf(object.value(QStringLiteral("TGT_YAW")))},
        {QStringLiteral("TGT_GIMBAL_PITCH"),
         wholeOf(object.value(QStringLiteral("TGT_GIMBAL_PITCH")))},
        {QStringLiteral("TURN_MODE"), wholeOf(object.value(QStringLiteral("TURN_MODE")))},
    };
    return {};
}

QString SimulatedAircraft::readWaypointSpeed(const QJsonObject &object,
                                             FlightModel::Waypoint &waypoint,
                                             QJsonObject &stored) const {
    const int hasSpeed = wholeOf(object.value(QStringLiteral("HAS_SPEED")));
    stored.insert(QStringLiteral("HAS_SPEED"), hasSpeed);
    if (hasSpeed == 0)
        return {};
    if (!readNumber(object.value(QStringLiteral("SPEED")), waypoint.speed))
        return missing(QStringLiteral("SPEED"), QStringLiteral("a number"));
    if (waypoint.speed <= 0 || waypoint.speed > m_upload->speedRange)
        return QStringLiteral("SPEED %1 m/s is outside 0 to %2 m/s (VEL_CMD_RANGE)")
            .arg(text(waypoint.speed))
            .arg(text(m_upload->speedRange));
    stored.insert(QStringLiteral("SPEED"), waypoint.speed);
    return {};
}

QString SimulatedAircraft::readWaypointActions(const QJsonObject &object,
                                               FlightModel::Waypoint &waypoint,
                                               QJsonObject &stored) {
    qint64 timeLimit = 0;
    const QJsonValue limit = object.value(QStringLiteral("ACTION_TIME_LIMIT"));
    if (!limit.isUndefined() &&
        (!readWhole(limit, timeLimit) || timeLimit < 0 || timeLimit > 65535))
        return QStringLiteral("ACTION_TIME_LIMIT is not a whole number of 0 to 65535 s");
    const int hasAction = wholeOf(object.value(QStringLiteral("HAS_ACTION")));
    stored.insert(QStringLiteral("HAS_ACTION"), hasAction);
    stored.insert(QStringLiteral("ACTION_TIME_LIMIT"), int(timeLimit));
    if (hasAction == 0)
        return {};
    waypoint.actionTimeLimit = double(timeLimit);
    const QJsonObject action = object.value(QStringLiteral("ACTION")).toObject();
    qint64 count = 0;
    qint64 repeat = 0;
    if (!readWhole(action.value(QStringLiteral("ACTION_NUM")), count) || count < 0 ||
        count > MaxActions)
        return QStringLiteral("ACTION_NUM is not a whole number of 0 to %1").arg(MaxActions);
    const QJsonValue repeatValue = action.value(QStringLiteral("ACTION_RPT"));
    if (!repeatValue.isUndefined() &&
        (!readWhole(repeatValue, repeat) || repeat < 0 || repeat > MaxActions))
        return QStringLiteral("ACTION_RPT is not a whole number of 0 to %1").arg(MaxActions);
    const QJsonArray list = action.value(QStringLiteral("COMMAND_LIST")).toArray();
    if (list.size() != count)
        return QStringLiteral("ACTION_NUM %1 but COMMAND_LIST holds %2 actions")
            .arg(count)
            .arg(list.size());
    waypoint.repeat = int(std::max<qint64>(1, repeat));
    QJsonObject commands;
    for (const QJsonValue &item : list) {
        const QJsonObject entry = item.toObject();
        const QString name = entry.value(QStringLiteral("ACTION_TYPE")).toString();
        qint64 parameter = 0;
        QString error = readAction(entry, name, parameter);
        if (!error.isEmpty())
            return error;
        const int code = actionCode(name);
        waypoint.actions.push_back({code, double(parameter)});
        // The list goes back as an object: a repeated name keeps its first value.
        if (!commands.contains(name))
            commands.insert(name,
                            int(code == FlightModel::ActionStay ? parameter * 1000 : parameter));
    }
    stored.insert(QStringLiteral("ACTION"),
                  QJsonObject{{QStringLiteral("ACTION_NUM"), int(count)},
                              {QStringLiteral("ACTION_RPT"), int(repeat)},
                              {QStringLiteral("COMMAND_LIST"), commands}});
    return {};
}

QJsonObject SimulatedAircraft::downloadWayLineMission(const QJsonValue &) {
    if (!m_mission)
        return failure(NoMission, QStringLiteral("no mission uploaded"));
    return success(m_mission->header);
}

QJsonObject SimulatedAircraft::downloadWayPoint(const QJsonValue &value) {
    qint64 index = 0;
    if (!readWhole(value.toObject().value(QStringLiteral("INDEX")), index))
        return failure(InvalidValue,
                       missing(QStringLiteral("INDEX"), QStringLiteral("a whole number")));
    if (!m_mission)
        return failure(NoMission, QStringLiteral("no mission uploaded"));
    if (index < 0 || index >= m_mission->waypoints.size())
        return failure(InvalidValue, QStringLiteral("no waypoint %1; the mission has %2")
                                         .arg(index)
                                         .arg(m_mission->waypoints.size()));
    return success(m_mission->waypoints.at(int(index)));
}

QString SimulatedAircraft::noFlyZoneConflict(const StoredMission &mission) const {
    const auto &points = mission.flight.waypoints;
    const int finish = mission.flight.finishAction;
    const bool closed =
        finish == FlightModel::FinishBackToFirst || finish == FlightModel::FinishRepeat;
    for (const Zone &zone : m_zones) {
        const QString name = zone.name.isEmpty()
                                 ? QStringLiteral("an unnamed no-fly zone")
                                 : QStringLiteral("no-fly zone \"%1\"").arg(zone.name);
        for (const auto &point : points) {
            if (FlightModel::distance(zone.latitude, zone.longitude, point.latitude,
                                      point.longitude) < zone.radius)
                return QStringLiteral("waypoint %1 lies in %2").arg(point.index).arg(name);
        }
        const std::size_t legs = closed ? points.size() : points.size() - 1;
        for (std::size_t i = 0; i < legs; ++i) {
            const auto &from = points[i];
            const auto &to = points[(i + 1) % points.size()];
            if (distanceToSegment(zone.latitude, zone.longitude, from.latitude, from.longitude,
                                  to.latitude, to.longitude) < zone.radius)
                return QStringLiteral("the leg from waypoint %1 to %2 crosses %3")
                    .arg(from.index)
                    .arg(to.index)
                    .arg(name);
        }
    }
    return {};
}

QJsonObject SimulatedAircraft::startOrCancelWayLineMission(const QJsonValue &value) {
    qint64 goStop = 0;
    if (!readWhole(value.toObject().value(QStringLiteral("GO_STOP")), goStop))
        return failure(InvalidValue,
                       missing(QStringLiteral("GO_STOP"), QStringLiteral("a whole number")));
    if (goStop == 1) {
        if (!m_model.missionRunning())
            return failure(NoMissionRunning, QStringLiteral("no mission is running"));
        m_model.cancelMission();
        return success();
    }
    if (goStop != 0)
        return failure(Unsupported,
                       QStringLiteral("unsupported GO_STOP %1; 0 starts, 1 cancels").arg(goStop));
    if (!m_running)
        return failure(WrongState,
                       QStringLiteral("simulation is stopped; StartSimulation resumes it"));
    if (!m_mission)
        return failure(NoMission, QStringLiteral("no mission uploaded"));
    const QString conflict = noFlyZoneConflict(*m_mission);
    if (!conflict.isEmpty())
        return failure(InNoFlyZone, conflict);
    if (!m_model.isAirborne() && m_model.charge() < MinTakeOffCharge)
        return failure(WrongState, QStringLiteral("battery at %1 %, too low to take off")
                                       .arg(text(round1(m_model.charge() * 100))));
    m_model.startMission(m_mission->flight);
    return success();
}

QJsonObject SimulatedAircraft::pauseOrContinueWayLineMission(const QJsonValue &value) {
    qint64 pause = 0;
    if (!readWhole(value.toObject().value(QStringLiteral("PAUSE")), pause))
        return failure(InvalidValue,
                       missing(QStringLiteral("PAUSE"), QStringLiteral("a whole number")));
    if (pause != 0 && pause != 1)
        return failure(Unsupported,
                       QStringLiteral("unsupported PAUSE %1; 1 pauses, 0 continues").arg(pause));
    if (!m_model.missionRunning())
        return failure(NoMissionRunning, QStringLiteral("no mission is running"));
    if (pause == 1)
        m_model.pauseMission();
    else
        m_model.continueMission();
    return success();
}

QJsonObject SimulatedAircraft::startSimulation(const QJsonValue &value) {
    const QJsonObject object = value.toObject();
    const bool hasLatitude = object.contains(QStringLiteral("LATI"));
    if (hasLatitude != object.contains(QStringLiteral("LONTI")))
        return failure(InvalidValue,
                       QStringLiteral("StartSimulation takes both LATI and LONTI, or neither"));
    if (hasLatitude) {
        double latitude = 0;
        double longitude = 0;
        const QString error = readPosition(object, latitude, longitude, MaxPlacementLatitude);
        if (!error.isEmpty())
            return failure(InvalidValue, error);
        m_model.place(latitude, longitude);
        m_backlog = 0.0;
    }
    m_running = true;
    return success();
}

QJsonObject SimulatedAircraft::stopSimulation(const QJsonValue &) {
    m_running = false;
    return success();
}
