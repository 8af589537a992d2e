#ifndef SIMULATIONHUB_H
#define SIMULATIONHUB_H

#include "simdevice.h"

#include <websockethandler.h>

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <functional>

class ControllerServer;
class GeneralChannel;
class HostServer;
class QWebSocketServer;

// The host's simulated devices: attaches and detaches them, announces them on
// the general channel, and serves the "/host" admin path. Their controllers
// run on a thread of their own, away from the plug-in's event loop.
class SimulationHub : public QObject {
    Q_OBJECT
public:
    // A bound, so a runaway admin client cannot exhaust the host; large
    // enough for fleet-scale measurements.
    static constexpr int MaxDevices = 4096;
    // Degrees; the aircraft stand around this point, clear of the default
    // no-fly zones so that missions flown near home are allowed.
    static constexpr double DefaultHomeLatitude = 47.2;
    static constexpr double DefaultHomeLongitude = 8.9;
    static constexpr double MinSpeed = 1.0;
    static constexpr double MaxSpeed = 100.0;

    SimulationHub(HostServer *server, GeneralChannel *general, double speed = 1.0,
                  QObject *parent = nullptr);
    ~SimulationHub() override;

    static const QStringList &supportedDeviceTypes();

    // Each answers through reply once the work is done; reply may be empty.
    // An empty type takes the supported types in turn.
    void attachDevice(const QString &deviceType, const ReplyCallback &reply);
    void detachDevice(const QString &hash, const ReplyCallback &reply);
    void silenceController(const QString &hash, bool silent, const ReplyCallback &reply);
    void dropController(const QString &hash, const ReplyCallback &reply);
    // Closes every client of the general channel; they are expected back.
    void dropGeneralChannel(const ReplyCallback &reply);
    void listDevices(const ReplyCallback &reply) const;

    int deviceCount() const { return m_devices.size(); }
    int maxDevices() const { return m_maxDevices; }
    void setMaxDevices(int count) { m_maxDevices = qBound(0, count, MaxDevices); }

private:
    struct Device {
        SimDevice identity;
        bool silent = false;
    };

    void onAdminConnection();
    SimDevice makeDevice(const QString &deviceType);
    // Runs job on the simulation thread and hands its result to reply here.
    void onSimulationThread(const std::function<QJsonObject()> &job, const ReplyCallback &reply);
    static QJsonObject describe(const Device &device);

    GeneralChannel *m_general;
    QThread m_thread;
    ControllerServer *m_controllers;
    QWebSocketServer *m_admin;
    QMap<QString, Device> m_devices;
    QSet<QString> m_usedSerials;
    int m_attaching = 0;
    int m_placed = 0;
    int m_maxDevices = MaxDevices;
};

#endif // SIMULATIONHUB_H
