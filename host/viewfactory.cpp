#include "viewfactory.h"

#include "hostserver.h"

#include <orugroundstationpushview.h>
#include <orugroundstationview.h>

#include <QWebSocket>
#include <QWebSocketServer>

ViewFactory::ViewFactory(HostServer *server, QObject *parent)
    : QObject(parent)
    , m_commands(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this))
    , m_pushes(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    connect(m_commands, &QWebSocketServer::newConnection, this, &ViewFactory::onCommandConnection);
    connect(m_pushes, &QWebSocketServer::newConnection, this, &ViewFactory::onPushConnection);
    server->addRoute(QStringLiteral("/groundstation"), m_commands);
    server->addRoute(QStringLiteral("/groundstation/push"), m_pushes);
}

ViewFactory::~ViewFactory() {
    // A graceful close needs the event loop, which is gone by now; an abort
    // releases each connection's socket at once instead of leaking it.
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
}

void ViewFactory::onCommandConnection() {
    while (QWebSocket *socket = m_commands->nextPendingConnection()) {
        auto *view = new OruGroundStationView(socket, this);
        connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
    }
}

void ViewFactory::onPushConnection() {
    while (QWebSocket *socket = m_pushes->nextPendingConnection()) {
        auto *view = new OruGroundStationPushView(socket, this);
        connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
    }
}
