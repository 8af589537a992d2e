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

ViewFactory::~ViewFactory() = default;

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
