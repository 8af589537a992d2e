#ifndef FAKEHOST_H
#define FAKEHOST_H

#include "scriptedcontroller.h"

#include <QMap>
#include <QWebSocketServer>

// Stands in for the host on 127.0.0.1:19870: "/general", scripted controllers
// on "/controller/navigation/<hash>", and the plug-in's views.
class FakeHost : public QObject {
    Q_OBJECT
public:
    explicit FakeHost(QObject *parent = nullptr);
    ~FakeHost() override;

    bool listen() {
        return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, 19870);
    }
    // Also waits until the new service's listener has joined "/general".
    bool startService(const QString &home);
    // Created on first use, attached when the plug-in opens its channel.
    ScriptedController *controller(const QString &hash);

    void announceArrival(const QString &deviceType, const QString &hash) {
        sendGeneral(compactText(
            {{"EVENT", "device_arrival"}, {"DEVICE_TYPE", deviceType}, {"FILE", hash}}));
    }
    void announceRemoval(const QString &hash) {
        sendGeneral(compactText({{"EVENT", "device_removed"}, {"FILE", hash}}));
    }
    void sendGeneral(const QString &text);
    void dropGeneralClients();

    int generalClientCount() const { return generalClients().size(); }
    int generalConnections = 0; // every general-channel connection accepted so far
    bool refuseGeneral = false; // close general-channel clients as soon as they connect

Q_SIGNALS:
    void generalClientConnected();

private:
    QList<QWebSocket *> generalClients() const;
    void onNewConnection();

    QWebSocketServer m_server;
    QList<QPointer<QWebSocket>> m_general;
    QMap<QString, ScriptedController *> m_controllers;
};

#endif // FAKEHOST_H
