#include "fakehost.h"

#include <orugroundstationpushview.h>
#include <orugroundstationservice.h>
#include <orugroundstationview.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebSocket>

namespace {
const QString ControllerPrefix = QStringLiteral("/controller/navigation/");
}

FakeHost::FakeHost(QObject *parent)
    : QObject(parent)
    , m_server(QStringLiteral("fake-host"), QWebSocketServer::NonSecureMode) {
    connect(&m_server, &QWebSocketServer::newConnection, this, &FakeHost::onNewConnection);
}

FakeHost::~FakeHost() {
    stop();
}

bool FakeHost::listen() {
    return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, 19870);
}

bool FakeHost::startService(const QString &home) {
    // Must precede the service: it creates the wayline folder at once.
    qputenv("HOME", home.toUtf8());
    if (!listen())
        return false;
    SingletonEx<OruGroundStationService>::createInstance();
    return QTest::qWaitFor([this]() { return generalClientCount() > 0; }, 5000);
}

void FakeHost::stop() {
    m_server.close();
    for (const auto &client : qAsConst(m_general)) {
        if (client)
            client->abort();
    }
    m_general.clear();
}

ScriptedController *FakeHost::controller(const QString &hash) {
    auto *&controller = m_controllers[hash];
    if (!controller)
        controller = new ScriptedController(hash, this);
    return controller;
}

void FakeHost::announceArrival(const QString &deviceType, const QString &hash) {
    sendGeneral(QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("device_arrival")},
                                  {QStringLiteral("DEVICE_TYPE"), deviceType},
                                  {QStringLiteral("FILE"), hash}})
            .toJson(QJsonDocument::Compact)));
}

void FakeHost::announceRemoval(const QString &hash) {
    sendGeneral(QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("device_removed")},
                                  {QStringLiteral("FILE"), hash}})
            .toJson(QJsonDocument::Compact)));
}

void FakeHost::sendGeneral(const QString &text) {
    for (const auto &client : qAsConst(m_general)) {
        if (client)
            client->sendTextMessage(text);
    }
}

void FakeHost::dropGeneralClients() {
    for (const auto &client : qAsConst(m_general)) {
        if (client)
            client->close();
    }
}

int FakeHost::generalClientCount() const {
    int count = 0;
    for (const auto &client : m_general)
        count += client && client->state() == QAbstractSocket::ConnectedState;
    return count;
}

void FakeHost::onNewConnection() {
    while (QWebSocket *socket = m_server.nextPendingConnection()) {
        const QString path = socket->requestUrl().path();
        if (path == QLatin1String("/general") && refuseGeneral) {
            ++generalConnections;
            socket->close();
            socket->deleteLater();
        } else if (path == QLatin1String("/general")) {
            socket->setParent(this);
            m_general.append(socket);
            ++generalConnections;
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            Q_EMIT generalClientConnected();
        } else if (path.startsWith(ControllerPrefix)) {
            controller(path.mid(ControllerPrefix.size()))->attach(socket);
        } else if (path == QLatin1String("/groundstation")) {
            auto *view = new OruGroundStationView(socket, this);
            connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
        } else if (path == QLatin1String("/groundstation/push")) {
            auto *view = new OruGroundStationPushView(socket, this);
            connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
        } else {
            socket->close();
            socket->deleteLater();
        }
    }
}
