#include "orugeneralviewlistener.h"

#include <debugger.h>
#include <hostaddress.h>

#include <QJsonDocument>

OruGeneralViewListener::OruGeneralViewListener(QObject *parent)
    : QObject(parent)
    , socket(QString(), QWebSocketProtocol::Version13)
    , url(HostAddress::url(QStringLiteral("/general"))) {
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &OruGeneralViewListener::onTimeout);
    connect(&socket, &QWebSocket::connected, this, &OruGeneralViewListener::onWebSocketConnected);
    connect(&socket, &QWebSocket::disconnected, this,
            &OruGeneralViewListener::onWebSocketDisconnected);
    connect(&socket, &QWebSocket::textMessageReceived, this,
            &OruGeneralViewListener::onTextMessage);
}

OruGeneralViewListener::~OruGeneralViewListener() {
    timer.stop();
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    // Closing may deliver disconnected(), which restarts the timer.
    timer.stop();
    socket.disconnect(this);
}

void OruGeneralViewListener::start() {
    timer.start();
}

void OruGeneralViewListener::onTimeout() {
    if (!socket.isValid())
        socket.open(url);
}

void OruGeneralViewListener::onWebSocketConnected() {
    ORU_LOG_INFO("OruGeneralViewListener") << "WebSocket connected";
    timer.stop();
}

void OruGeneralViewListener::onWebSocketDisconnected() {
    ORU_LOG_INFO("OruGeneralViewListener") << "WebSocket disconnected";
    timer.start();
}

void OruGeneralViewListener::onTextMessage(const QString &message) {
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject object = doc.object();
    if (!object.contains(QStringLiteral("EVENT")))
        return;
    const QString event = object.value(QStringLiteral("EVENT")).toString();
    if (event == QLatin1String("device_arrival"))
        processDeviceArrival(object);
    else if (event == QLatin1String("device_removed"))
        processDeviceRemoved(object);
    else if (event == QLatin1String("login_success"))
        Q_EMIT login_success();
}

void OruGeneralViewListener::processDeviceRemoved(const QJsonObject &object) {
    Q_EMIT deviceRemoved(object.value(QStringLiteral("FILE")).toString());
}

void OruGeneralViewListener::processDeviceArrival(const QJsonObject &object) {
    Q_EMIT deviceArrival(object.value(QStringLiteral("DEVICE_TYPE")).toString(),
                         object.value(QStringLiteral("FILE")).toString());
}
