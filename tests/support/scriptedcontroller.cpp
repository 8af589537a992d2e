#include "scriptedcontroller.h"

#include <QJsonDocument>
#include <QTest>

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
    connect(socket, &QWebSocket::disconnected, this, &ScriptedController::disconnected);
    Q_EMIT connected();
}

bool ScriptedController::isConnected() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void ScriptedController::on(const QString &cmd, Rule rule) {
    m_rules.insert(cmd, std::move(rule));
}

void ScriptedController::answer(const QString &cmd, const QJsonObject &reply) {
    on(cmd, [reply](const QJsonObject &) { return std::optional<QJsonObject>(reply); });
}

void ScriptedController::answerIdentity(const QString &serial, int flightType) {
    const QJsonObject ok{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    answer(QStringLiteral("GetVersion"), ok);
    answer(QStringLiteral("SetBatteryPush"), ok);
    QJsonObject sn = ok;
    sn.insert(QStringLiteral("VALUE"), serial);
    answer(QStringLiteral("GetSN"), sn);
    QJsonObject type = ok;
    type.insert(QStringLiteral("VALUE"), flightType);
    answer(QStringLiteral("GetFlightType"), type);
}

void ScriptedController::reply(const QJsonObject &request, QJsonObject reply) {
    reply.insert(QStringLiteral("SEQ"), request.value(QStringLiteral("SEQ")));
    sendRaw(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
}

void ScriptedController::sendEvent(const QString &event, const QJsonValue &value) {
    const QJsonObject message{{QStringLiteral("EVENT"), event}, {QStringLiteral("VALUE"), value}};
    sendRaw(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void ScriptedController::sendRaw(const QString &text) {
    if (m_socket)
        m_socket->sendTextMessage(text);
}

void ScriptedController::close() {
    if (m_socket)
        m_socket->close();
}

QList<QJsonObject> ScriptedController::requestsNamed(const QString &cmd) const {
    QList<QJsonObject> named;
    for (const QJsonObject &request : requests) {
        if (request.value(QStringLiteral("CMD")).toString() == cmd)
            named.append(request);
    }
    return named;
}

std::optional<QJsonObject> ScriptedController::waitForRequest(const QString &cmd, int after,
                                                              int timeoutMs) {
    (void)QTest::qWaitFor([&]() { return requestsNamed(cmd).size() > after; }, timeoutMs);
    const auto named = requestsNamed(cmd);
    if (named.size() > after)
        return named.at(after);
    return std::nullopt;
}

void ScriptedController::onText(const QString &text) {
    const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
    requests.append(request);
    Q_EMIT requestReceived(request);
    const auto rule = m_rules.constFind(request.value(QStringLiteral("CMD")).toString());
    if (rule == m_rules.constEnd())
        return;
    if (const auto answer = (*rule)(request))
        reply(request, *answer);
}
