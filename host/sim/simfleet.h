#ifndef SIMFLEET_H
#define SIMFLEET_H

#include "simdevice.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <functional>

class QTimer;
class SimulatedAircraft;

// The simulated devices of one simulator: gives each its identity and place,
// flies them all at 50 Hz, and carries out the admin commands that attach,
// detach, silence and drop them. It serves no channel; whoever owns it does,
// on a thread of the host or in a process of its own.
class SimFleet : public QObject {
    Q_OBJECT
public:
    static constexpr int TickMs = 20;
    // A bound, so a runaway admin client cannot exhaust the simulator; large
    // enough for fleet-scale measurements.
    static constexpr int MaxDevices = 4096;
    // Degrees; the aircraft stand around this point, clear of the default
    // no-fly zones so that missions flown near home are allowed.
    static constexpr double DefaultHomeLatitude = 47.2;
    static constexpr double DefaultHomeLongitude = 8.9;
    static constexpr double MinSpeed = 1.0;
    static constexpr double MaxSpeed = 100.0;

    using ChannelCloser = std::function<int(const QString &hash)>;

    explicit SimFleet(double speed, QObject *parent = nullptr);
    ~SimFleet() override;

    static const QStringList &supportedDeviceTypes();

    // The reply to one admin command {"CMD", "VALUE"}: "AttachDevice"
    // {"DEVICE_TYPE"} answers the device's description, "DetachDevice" and
    // "SilenceController" {"FILE", "SILENT"} nothing, "DropController" the
    // number of channels it closed.
    QJsonObject execute(const QJsonObject &command);

    SimulatedAircraft *aircraft(const QString &hash) const { return m_aircraft.value(hash); }
    int deviceCount() const { return m_aircraft.size(); }
    // Closes every channel of a device and says how many there were; set by
    // whoever serves the channels.
    void setChannelCloser(ChannelCloser closer) { m_closeChannels = std::move(closer); }

Q_SIGNALS:
    void attached(SimulatedAircraft *aircraft);

private:
    QJsonObject attach(const QString &deviceType);
    QJsonObject detach(const QString &hash);
    SimDevice makeDevice(const QString &deviceType);
    void onTick();

    double m_speed;
    QTimer *m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    QHash<QString, SimulatedAircraft *> m_aircraft;
    QSet<QString> m_usedSerials;
    int m_placed = 0;
    ChannelCloser m_closeChannels;
};

#endif // SIMFLEET_H
