#ifndef SIMULATIONHUB_H
#define SIMULATIONHUB_H

#include <websockethandler.h>

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QThread>

class ControllerServer;
class GeneralChannel;
class HostServer;
class QWebSocketServer;
class SimLinkServer;

// The host's simulated devices: attaches and detaches them, announces them on
// the general channel, and serves the "/host" admin path. The aircraft fly
// either on a thread of the host's own or in an oru-sim process attached
// over "/sim"; either way, away from the plug-in's event loop.
class SimulationHub : public QObject {
    Q_OBJECT
public:
    enum class Where { Thread, Process };

    SimulationHub(HostServer *server, GeneralChannel *general, Where where, double speed = 1.0,
                  QObject *parent = nullptr);
    ~SimulationHub() override;

    // Each answers through reply once the work is done; reply may be empty.
    // An empty type takes the supported types in turn.
    void attachDevice(const QString &deviceType, const ReplyCallback &reply);
    void detachDevice(const QString &hash, const ReplyCallback &reply);
    void silenceController(const QString &hash, bool silent, const ReplyCallback &reply);
    void dropController(const QString &hash, const ReplyCallback &reply);
    // Closes every client of the general channel; they are expected back.
    void dropGeneralChannel(const ReplyCallback &reply);
    void listDevices(const ReplyCallback &reply) const;

private:
    void onAdminConnection();
    void onLinkUp(int count);
    void onLinkDown();
    // Has the simulator carry out an admin command; its reply comes back here.
    void onSimulator(const QJsonObject &command, const ReplyCallback &reply);

    GeneralChannel *m_general;
    QThread m_thread;
    ControllerServer *m_controllers = nullptr;
    SimLinkServer *m_link = nullptr;
    QWebSocketServer *m_admin;
    QMap<QString, QJsonObject> m_devices; // by FILE, as "ListDevices" shows them
    int m_attaching = 0;
};

#endif // SIMULATIONHUB_H
