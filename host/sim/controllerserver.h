#ifndef CONTROLLERSERVER_H
#define CONTROLLERSERVER_H

#include "simdevice.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMultiHash>
#include <QObject>

class NavigationController;
class QTimer;
class QWebSocketServer;
class SimulatedAircraft;

// Serves "/controller/navigation/<hash>" for the simulated devices and flies
// them at 50 Hz. Lives on the simulation thread; everything it owns does too.
class ControllerServer : public QObject {
    Q_OBJECT
public:
    static constexpr int TickMs = 20;

    explicit ControllerServer(double speed, QObject *parent = nullptr);
    ~ControllerServer() override;

    static QString pathPrefix();
    // Handed to HostServer as the route's server; upgrades reach it here.
    QWebSocketServer *webSocketServer() const { return m_server; }

    void attach(const SimDevice &device);
    bool detach(const QString &hash);
    bool setSilent(const QString &hash, bool silent);
    // Closes every channel of the device; returns how many there were.
    int dropChannels(const QString &hash);
    int deviceCount() const { return m_aircraft.size(); }

private:
    void onNewConnection();
    void onTick();
    void closeChannels(const QString &hash);

    double m_speed;
    QWebSocketServer *m_server;
    QTimer *m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    QHash<QString, SimulatedAircraft *> m_aircraft;
    QMultiHash<QString, NavigationController *> m_channels;
};

#endif // CONTROLLERSERVER_H
