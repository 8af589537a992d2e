#ifndef ADMINVIEW_H
#define ADMINVIEW_H

#include <websockethandler.h>

class SimulationHub;

// One client of the "/host" admin path: attaches, detaches, silences and
// drops simulated devices, so that tests and demos can stage loss and removal.
class AdminView : public WebSocketHandler {
    Q_OBJECT
public:
    static constexpr int MaxDeviceTypeLength = 64;

    AdminView(QWebSocket *socket, SimulationHub *hub, QObject *parent = nullptr);
    ~AdminView() override;

private:
    void attachDevice(const QJsonObject &request);
    void detachDevice(const QJsonObject &request);
    void silenceController(const QJsonObject &request);
    void dropController(const QJsonObject &request);
    void dropGeneralChannel(const QJsonObject &request);
    void listDevices(const QJsonObject &request);
    // The request's "FILE", or empty after answering the request's failure.
    QString fileOf(const QJsonObject &request);
    void fail(const QJsonObject &request, const QString &message);

    SimulationHub *m_hub;
};

#endif // ADMINVIEW_H
