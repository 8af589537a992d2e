#ifndef FAKEHOST_H
#define FAKEHOST_H

#include "scriptedcontroller.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QWebSocketServer>

// Stands in for the host on 127.0.0.1:19870: serves "/general", scripted
// navigation controllers on "/controller/navigation/<hash>", and the
// plug-in's command and push views on "/groundstation" and
// "/groundstation/push".
class FakeHost : public QObject {
    Q_OBJECT
public:
    explicit FakeHost(QObject *parent = nullptr);
    ~FakeHost() override;

    bool listen();
    void stop();

    // Listens, creates the service with its documents folder under home, and
    // waits until the service's listener has joined the general channel.
    bool startService(const QString &home);

    // The controller for hash, created on first use; it is attached when the
    // plug-in opens the channel.
    ScriptedController *controller(const QString &hash);

    void announceArrival(const QString &deviceType, const QString &hash);
    void announceRemoval(const QString &hash);
    void sendGeneral(const QString &text);
    void dropGeneralClients();

    int generalClientCount() const;
    int generalConnections = 0; // every general-channel connection accepted so far
    bool refuseGeneral = false; // close general-channel clients as soon as they connect

Q_SIGNALS:
    void generalClientConnected();

private:
    void onNewConnection();

    QWebSocketServer m_server;
    QList<QPointer<QWebSocket>> m_general;
    QMap<QString, ScriptedController *> m_controllers;
};

#endif // FAKEHOST_H
