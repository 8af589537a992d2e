#include "navigationcontroller.h"

#include "simlog.h"
#include "simulatedaircraft.h"

#include <QJsonDocument>
#include <QWebSocket>

NavigationController::NavigationController(QWebSocket *socket, SimulatedAircraft *aircraft,
                                           QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_aircraft(aircraft) {
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(MaxMessageSize);
    socket->setMaxAllowedIncomingFrameSize(MaxMessageSize);
    connect(socket, &QWebSocket::textMessageReceived, this, &NavigationController::onTextMessage);
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this]() {
        send({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
              {QStringLiteral("ERROR_CODE"), SimulatedAircraft::InvalidValue},
              {QStringLiteral("ERROR_MESSAGE"),
               QStringLiteral("binary messages are not supported")}});
    });
    connect(socket, &QWebSocket::disconnected, this, &NavigationController::closed);
    connect(aircraft, &SimulatedAircraft::eventReady, this, &NavigationController::onEvent);
}

NavigationController::~NavigationController() = default;

void NavigationController::close() {
    m_socket->close(QWebSocketProtocol::CloseCodeGoingAway);
}

void NavigationController::onTextMessage(const QString &message) {
    if (!m_aircraft || m_aircraft->isSilent())
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (!document.isObject()) {
        const QString why = error.error != QJsonParseError::NoError
                                ? error.errorString()
                                : QStringLiteral("not a JSON object");
        send({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
              {QStringLiteral("ERROR_CODE"), SimulatedAircraft::InvalidValue},
              {QStringLiteral("ERROR_MESSAGE"), QStringLiteral("invalid request: ") + why}});
        return;
    }
    send(m_aircraft->handle(document.object()));
}

void NavigationController::onEvent(const QJsonObject &event) {
    if (m_aircraft && !m_aircraft->isSilent())
        send(event);
}

void NavigationController::send(const QJsonObject &message) {
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->bytesToWrite() > MaxPendingOutput) {
        qCWarning(lcSim) << "dropping a controller client that does not read";
        m_socket->abort();
        return;
    }
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}
