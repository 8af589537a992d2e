#include "generalchannel.h"

#include "hostserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>
#include <QWebSocketServer>

GeneralChannel::GeneralChannel(HostServer *server, QObject *parent)
    : QObject(parent)
    , m_server(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    connect(m_server, &QWebSocketServer::newConnection, this, &GeneralChannel::onNewConnection);
    server->addRoute(QStringLiteral("/general"), m_server);
}

GeneralChannel::~GeneralChannel() {
    // A graceful close needs the event loop, which is gone by now; an abort
    // releases each connection's socket at once instead of leaking it.
    const auto clients = m_clients;
    for (QWebSocket *client : clients) {
        client->disconnect(this);
        client->abort();
    }
}

QByteArray GeneralChannel::arrivalMessage(const Device &device) {
    return QJsonDocument(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("device_arrival")},
                                     {QStringLiteral("DEVICE_TYPE"), device.type},
                                     {QStringLiteral("FILE"), device.hash}})
        .toJson(QJsonDocument::Compact);
}

void GeneralChannel::announceArrival(const QString &deviceType, const QString &hash) {
    const Device device{deviceType, hash};
    m_devices.append(device);
    const QByteArray message = arrivalMessage(device);
    for (QWebSocket *client : qAsConst(m_clients))
        send(client, message);
}

void GeneralChannel::announceRemoval(const QString &hash) {
    for (int i = m_devices.size() - 1; i >= 0; --i) {
        if (m_devices.at(i).hash == hash)
            m_devices.removeAt(i);
    }
    const QByteArray message =
        QJsonDocument(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("device_removed")},
                                  {QStringLiteral("FILE"), hash}})
            .toJson(QJsonDocument::Compact);
    for (QWebSocket *client : qAsConst(m_clients))
        send(client, message);
}

void GeneralChannel::dropClients() {
    const auto clients = m_clients;
    for (QWebSocket *client : clients)
        client->close(QWebSocketProtocol::CloseCodeGoingAway);
}

void GeneralChannel::onNewConnection() {
    while (QWebSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        client->setMaxAllowedIncomingMessageSize(64 * 1024);
        m_clients.append(client);
        connect(client, &QWebSocket::disconnected, this, [this, client]() {
            m_clients.removeAll(client);
            client->deleteLater();
        });
        for (const Device &device : qAsConst(m_devices))
            send(client, arrivalMessage(device));
    }
}

void GeneralChannel::send(QWebSocket *client, const QByteArray &message) {
    client->sendTextMessage(QString::fromUtf8(message));
}
