#include "fakehost.h"

#include <orugroundstationpushview.h>
#include <orugroundstationservice.h>
#include <orugroundstationview.h>

#include <QTest>

#include <algorithm>
#include <iterator>

FakeHost::FakeHost(QObject *parent)
    : QObject(parent)
    , m_server(QStringLiteral("fake-host"), QWebSocketServer::NonSecureMode) {
    connect(&m_server, &QWebSocketServer::newConnection, this, &FakeHost::onNewConnection);
}

FakeHost::~FakeHost() {
    m_server.close();
    for (QWebSocket *client : generalClients())
        client->abort();
}

bool FakeHost::startService(const QString &home) {
    // Must precede the service: it creates the wayline folder at once.
    qputenv("HOME", home.toUtf8());
    if (!listen())
        return false;
    SingletonEx<OruGroundStationService>::createInstance();
    return QTest::qWaitFor([this]() { return generalClientCount() > 0; }, 5000);
}

ScriptedController *FakeHost::controller(const QString &hash) {
    auto *&controller = m_controllers[hash];
    if (!controller)
        controller = new ScriptedController(hash, this);
    return controller;
}

void FakeHost::sendGeneral(const QString &text) {
    for (QWebSocket *client : generalClients())
        client->sendTextMessage(text);
}

void FakeHost::dropGeneralClients() {
    for (QWebSocket *client : generalClients())
        client->close();
}

QList<QWebSocket *> FakeHost::generalClients() const {
    QList<QWebSocket *> connected;
    std::copy_if(m_general.begin(), m_general.end(), std::back_inserter(connected),
                 [](QWebSocket *client) {
                     return client && client->state() == QAbstractSocket::ConnectedState;
                 });
    return connected;
}

void FakeHost::onNewConnection() {
    while (QWebSocket *socket = m_server.nextPendingConnection()) {
        const QString path = socket->requestUrl().path();
        QObject *view = nullptr;
        generalConnections += path == QLatin1String("/general");
        if (path == QLatin1String("/general") && !refuseGeneral) {
            socket->setParent(this);
            m_general.append(socket);
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            Q_EMIT generalClientConnected();
        } else if (path.startsWith(QLatin1String("/controller/navigation/"))) {
            controller(path.section('/', 3))->attach(socket);
        } else if (path == QLatin1String("/groundstation")) {
            view = new OruGroundStationView(socket, this);
        } else if (path == QLatin1String("/groundstation/push")) {
            view = new OruGroundStationPushView(socket, this);
        } else {
            socket->close();
            socket->deleteLater();
        }
        if (view)
            connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
    }
}
