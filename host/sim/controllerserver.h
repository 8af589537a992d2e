#ifndef CONTROLLERSERVER_H
#define CONTROLLERSERVER_H

#include <QMultiHash>
#include <QObject>

class NavigationController;
class QWebSocketServer;
class SimFleet;

// Serves "/controller/navigation/<hash>" for a fleet flown on the host's own
// simulation thread. Lives on that thread; everything it owns does too.
class ControllerServer : public QObject {
    Q_OBJECT
public:
    explicit ControllerServer(double speed, QObject *parent = nullptr);
    ~ControllerServer() override;

    static QString pathPrefix();
    // Handed to HostServer as the route's server; upgrades reach it here.
    QWebSocketServer *webSocketServer() const { return m_server; }
    SimFleet *fleet() const { return m_fleet; }

private:
    void onNewConnection();
    int closeChannels(const QString &hash);

    SimFleet *m_fleet;
    QWebSocketServer *m_server;
    QMultiHash<QString, NavigationController *> m_channels;
};

#endif // CONTROLLERSERVER_H
