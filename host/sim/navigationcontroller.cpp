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
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this]() { sendText(SimulatedAircraft::binaryRefusal()); });
    connect(socket, &QWebSocket::disconnected, this, &NavigationController::closed);
    connect(aircraft, &SimulatedAircraft::eventReady, this, &NavigationController::onEvent);
}

NavigationController::~NavigationController() = default;

void NavigationController::close() {
    m_socket->close(QWebSocketProtocol::CloseCodeGoingAway);
}

void NavigationController::onTextMessage(const QString &message) {
    if (m_aircraft && !m_aircraft->isSilent())
        sendText(m_aircraft->handleText(message.toUtf8()));
}

void NavigationController::onEvent(const QJsonObject &event) {
    if (m_aircraft && !m_aircraft->isSilent())
        sendText(QJsonDocument(event).toJson(QJsonDocument::Compact));
}

void NavigationController::sendText(const QByteArray &message) {
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->bytesToWrite() > MaxPendingOutput) {
        qCWarning(lcSim) << "dropping a controller client that does not read";
        m_socket->abort();
        return;
    }
    m_socket->sendTextMessage(QString::fromUtf8(message));
}
