#ifndef SCRIPTEDCONTROLLER_H
#define SCRIPTEDCONTROLLER_H

#include "jsonclient.h"

#include <QHash>
#include <QPointer>

#include <functional>

// The navigation controller of one device, as a test scripts it: it records
// every request in order and answers only where a rule says so.
class ScriptedController : public QObject {
    Q_OBJECT
public:
    // Returns the reply's members (without "SEQ"), or nothing to stay silent.
    using Rule = std::function<std::optional<QJsonObject>(const QJsonObject &request)>;

    explicit ScriptedController(const QString &hash, QObject *parent = nullptr);

    void attach(QWebSocket *socket);
    bool isConnected() const {
        return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    }
    QString hash() const { return m_hash; }

    // Replaces an earlier rule for cmd.
    void on(const QString &cmd, Rule rule) { m_rules[cmd] = std::move(rule); }
    void answer(const QString &cmd, const QJsonObject &reply) {
        on(cmd, [reply](const QJsonObject &) { return std::optional<QJsonObject>(reply); });
    }
    // Identity and heartbeat answers of a healthy aircraft.
    void answerIdentity(const QString &serial, int flightType);
    void clearRules() { m_rules.clear(); }

    void reply(const QJsonObject &request, QJsonObject reply) {
        reply.insert("SEQ", request.value("SEQ"));
        send(reply);
    }
    void sendEvent(const QString &event, const QJsonValue &value) {
        send({{"EVENT", event}, {"VALUE", value}});
    }

    QList<QJsonObject> requests; // every request received, in order
    int attachments = 0;         // channels the plug-in opened to this controller
    QList<QJsonObject> requestsNamed(const QString &cmd) const {
        return withMember(requests, "CMD", cmd);
    }
    // Waits until a request named cmd beyond the first `after` arrives.
    std::optional<QJsonObject> waitForRequest(const QString &cmd, int after = 0,
                                              int timeoutMs = 5000) {
        return waitForNth(requests, "CMD", cmd, after, timeoutMs);
    }

private:
    void send(const QJsonObject &message);
    void onText(const QString &text);

    QString m_hash;
    QPointer<QWebSocket> m_socket;
    QHash<QString, Rule> m_rules;
};

#endif // SCRIPTEDCONTROLLER_H
