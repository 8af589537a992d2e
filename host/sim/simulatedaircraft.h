#ifndef SIMULATEDAIRCRAFT_H
#define SIMULATEDAIRCRAFT_H

#include "flightmodel.h"
#include "simdevice.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

#include <optional>

// The navigation controller of one simulated device: answers controller
// requests, keeps the uploaded mission and the no-fly zones, flies the
// aircraft and reports what it does as events. Knows nothing of sockets.
class SimulatedAircraft : public QObject {
    Q_OBJECT
public:
    enum ErrorCode {
        UnknownCommand = 201,
        InvalidValue = 202,
        Unsupported = 203,
        MissionRefused = 210,
        WaypointRefused = 211,
        NoMission = 212,
        InNoFlyZone = 213,
        WrongState = 220,
        NoMissionRunning = 236,
    };

    static constexpr int MinWaypoints = 2;
    static constexpr int MaxWaypoints = 50;
    static constexpr double MinWaypointAltitude = 2.0;
    static constexpr double MaxDampingDistance = 100.0;
    // The stay comes back in milliseconds, which must fit 16 signed bits.
    static constexpr int MaxStaySeconds = 32;
    static constexpr int MaxActions = 15;
    static constexpr int MaxZones = 10000;
    static constexpr double MaxBatteryPushRate = 10.0;
    static constexpr double MaxBatteryPushTimeout = 3600.0;
    static constexpr double MinTakeOffCharge = 0.15;
    // Placing an aircraft this close to a pole would break the flat-earth model.
    static constexpr double MaxPlacementLatitude = 85.0 * 3.14159265358979323846 / 180.0;
    static constexpr double FlightStateInterval = 0.1;

    explicit SimulatedAircraft(const SimDevice &device, double speed = 1.0,
                               QObject *parent = nullptr);
    ~SimulatedAircraft() override;

    const SimDevice &device() const { return m_device; }
    const FlightModel &model() const { return m_model; }
    bool isRunning() const { return m_running; }
    int navigationMode() const { return m_navigationMode; }

    // The reply to one controller request, carrying its "SEQ".
    QJsonObject handle(const QJsonObject &request);
    // The same for a request as it came over a channel, reply as it goes back:
    // text that is no JSON object gets a failure without "SEQ".
    QByteArray handleText(const QByteArray &request);
    // What a channel answers a binary message.
    static QByteArray binaryRefusal();
    // Lets wall-clock time pass: flies speed times as long and sends the
    // events that fall due.
    void advance(double seconds);

    bool isSilent() const { return m_silent; }
    void setSilent(bool silent) { m_silent = silent; }

Q_SIGNALS:
    void eventReady(const QJsonObject &event);

private:
    struct Zone {
        double latitude;
        double longitude;
        double radius;
        QString name;
    };

    struct StoredMission {
        QJsonObject header;
        int length = 0;
        double speedRange = 0.0;
        FlightModel::Mission flight;
        QVector<QJsonObject> waypoints; // as DownloadWayPoint returns them
    };

    using Handler = QJsonObject (SimulatedAircraft::*)(const QJsonValue &value);
    static const QHash<QString, Handler> &handlers();

    QJsonObject getVersion(const QJsonValue &value);
    QJsonObject getSerialNumber(const QJsonValue &value);
    QJsonObject getFlightType(const QJsonValue &value);
    QJsonObject getParameters(const QJsonValue &value);
    QJsonObject getFlyLimit(const QJsonValue &value);
    QJsonObject setBatteryPush(const QJsonValue &value);
    QJsonObject doFunction(const QJsonValue &value);
    QJsonObject setNavigationMode(const QJsonValue &value);
    QJsonObject setHomePoint(const QJsonValue &value);
    QJsonObject setNoFlyZone(const QJsonValue &value);
    QJsonObject uploadWayLineMission(const QJsonValue &value);
    QJsonObject uploadWayPoint(const QJsonValue &value);
    QJsonObject downloadWayLineMission(const QJsonValue &value);
    QJsonObject downloadWayPoint(const QJsonValue &value);
    QJsonObject startOrCancelWayLineMission(const QJsonValue &value);
    QJsonObject pauseOrContinueWayLineMission(const QJsonValue &value);
    QJsonObject startSimulation(const QJsonValue &value);
    QJsonObject stopSimulation(const QJsonValue &value);

    // Empty when the mission stays clear of every zone, else the reason.
    QString noFlyZoneConflict(const StoredMission &mission) const;
    // Each reads one part of an uploaded waypoint into the flight plan and the
    // stored copy; a non-empty text is why the waypoint is refused.
    QString readWaypointPlace(const QJsonObject &object, FlightModel::Waypoint &waypoint,
                              QJsonObject &stored) const;
    QString readWaypointSpeed(const QJsonObject &object, FlightModel::Waypoint &waypoint,
                              QJsonObject &stored) const;
    static QString readWaypointActions(const QJsonObject &object, FlightModel::Waypoint &waypoint,
                                       QJsonObject &stored);
    QJsonObject flightState() const;
    QJsonObject batteryState() const;
    void emitEvent(const QString &name, const QJsonObject &value);
    bool due(double &next, double interval) const;

    SimDevice m_device;
    double m_speed;
    FlightModel m_model;
    bool m_running = true;
    bool m_silent = false;
    int m_navigationMode = 0;
    QVector<Zone> m_zones;
    std::optional<StoredMission> m_upload;  // being uploaded
    std::optional<StoredMission> m_mission; // the last complete upload

    double m_clock = 0.0;   // wall-clock seconds seen by advance()
    double m_backlog = 0.0; // simulated seconds not yet stepped
    double m_nextFlightState = 0.0;
    double m_batteryInterval = 1.0;
    double m_batteryUntil = -1.0;
    double m_nextBattery = 0.0;
};

#endif // SIMULATEDAIRCRAFT_H
