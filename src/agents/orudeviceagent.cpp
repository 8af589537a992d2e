#include "orudeviceagent.h"

#include <orugroundstationservice.h>

#include <debugger.h>
#include <hostaddress.h>

#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrl>

OruDeviceAgent::OruDeviceAgent(OruGroundStationService *service)
    : QObject(nullptr)
    , service(service)
    , socket(QString(), QWebSocketProtocol::Version13) {
    connect(&socket, &QWebSocket::connected, this, &OruDeviceAgent::onWebSocketConnected);
    connect(&socket, &QWebSocket::disconnected, this, &OruDeviceAgent::onWebSocketDisconnected);
    connect(&socket, &QWebSocket::textMessageReceived, this, &OruDeviceAgent::onTextMessage);
    ORU_LOG_INFO("OruDeviceAgent") << "agent created.";
}

OruDeviceAgent::~OruDeviceAgent() {
    // The socket's signals must not reach a half-destroyed agent while it closes.
    socket.disconnect(this);
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    pendingReplies.clear();
}

void OruDeviceAgent::openChannel(const QString &hash) {
    deviceHash = hash;
    socket.open(HostAddress::url(QStringLiteral("/controller/navigation/") + hash));
}

void OruDeviceAgent::sendRequest(QJsonObject &request, ReplyCallback callback) {
    const QString seq = service->GenerateSEQ();
    request.insert(QStringLiteral("SEQ"), seq);
    pendingReplies[seq] = std::move(callback);
    socket.sendTextMessage(
        QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Indented)));
}

void OruDeviceAgent::onWebSocketConnected() {
    ORU_LOG_INFO("OruDeviceAgent") << "WebSocket connected";
    // Requests go out at once: with Nagle's algorithm a large one (a mission
    // header) waited for the controller's delayed ACK, some 40 ms.
    if (auto *tcp = socket.findChild<QTcpSocket *>())
        tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    timer.start();
}

void OruDeviceAgent::onWebSocketDisconnected() {
    ORU_LOG_INFO("OruDeviceAgent") << "WebSocket disconnected";
    timer.stop();
}

void OruDeviceAgent::onTextMessage(const QString &message) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        ORU_LOG_WARNING("OruDeviceAgent") << error.errorString();
        return;
    }
    const QJsonObject obj = doc.object();
    if (obj.contains(QStringLiteral("SEQ"))) {
        const QString seq = obj.value(QStringLiteral("SEQ")).toString();
        const auto it = pendingReplies.find(seq);
        if (it == pendingReplies.end())
            return;
        // Taken out before it runs: the callback may file a new request whose
        // SEQ happens to collide with this one, and that entry must survive.
        const ReplyCallback callback = std::move(it->second);
        pendingReplies.erase(it);
        if (callback)
            callback(obj);
        return;
    }
    if (obj.contains(QStringLiteral("EVENT"))) {
        onEvent(obj);
        return;
    }
    ORU_LOG_WARNING("OruDeviceAgent") << "invalid json format! NO NO SEQ";
}
