#include "scriptedcontroller.h"

#include <QJsonDocument>

ScriptedController::ScriptedController(const QString &hash, QObject *parent)
    : QObject(parent)
    , m_hash(hash) {}

void ScriptedController::attach(QWebSocket *socket) {
    if (m_socket)
        m_socket->deleteLater();
    m_socket = socket;
    ++attachments;
    socket->setParent(this);
    connect(socket, &QWebSocket::textMessageReceived, this, &ScriptedController::onText);
}

void ScriptedController::answerIdentity(const QString &serial, int flightType) {
    answer("GetVersion", {{"ERROR", "SUCCESS"}});
    answer("SetBatteryPush", {{"ERROR", "SUCCESS"}});
    answer("GetSN", {{"ERROR", "SUCCESS"}, {"VALUE", serial}});
    answer("GetFlightType", {{"ERROR", "SUCCESS"}, {"VALUE", flightType}});
}

void ScriptedController::send(const QJsonObject &message) {
    if (m_socket)
        m_socket->sendTextMessage(compactText(message));
}

void ScriptedController::onText(const QString &text) {
    const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
    requests.append(request);
    const Rule rule = m_rules.value(request.value("CMD").toString());
    if (const auto answer = rule ? rule(request) : std::nullopt)
        reply(request, *answer);
}
