#include "controllerserver.h"

#include "navigationcontroller.h"
#include "simfleet.h"
#include "simlog.h"
#include "simulatedaircraft.h"

#include <QWebSocket>
#include <QWebSocketServer>

ControllerServer::ControllerServer(double speed, QObject *parent)
    : QObject(parent)
    , m_fleet(new SimFleet(speed, this))
    , m_server(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    m_fleet->setChannelCloser([this](const QString &hash) { return closeChannels(hash); });
    connect(m_server, &QWebSocketServer::newConnection, this, &ControllerServer::onNewConnection);
}

ControllerServer::~ControllerServer() {
    // Without an event loop to finish a graceful close, only an abort lets
    // each channel's socket go.
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
    const auto hashes = m_channels.uniqueKeys();
    for (const QString &hash : hashes)
        closeChannels(hash);
    m_fleet->setChannelCloser({});
}

QString ControllerServer::pathPrefix() {
    return QStringLiteral("/controller/navigation/");
}

int ControllerServer::closeChannels(const QString &hash) {
    const auto channels = m_channels.values(hash);
    m_channels.remove(hash);
    for (NavigationController *channel : channels) {
        channel->disconnect(this);
        channel->close();
        channel->deleteLater();
    }
    return channels.size();
}

void ControllerServer::onNewConnection() {
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        const QString hash = socket->requestUrl().path().mid(pathPrefix().size());
        SimulatedAircraft *aircraft = m_fleet->aircraft(hash);
        if (!aircraft) {
            qCInfo(lcSim) << "refusing a controller channel for unknown device" << hash;
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("no such device"));
            socket->deleteLater();
            continue;
        }
        auto *channel = new NavigationController(socket, aircraft, this);
        m_channels.insert(hash, channel);
        connect(channel, &NavigationController::closed, this, [this, hash, channel]() {
            m_channels.remove(hash, channel);
            channel->deleteLater();
        });
    }
}
