#ifndef SCRIPTEDCONTROLLER_H
#define SCRIPTEDCONTROLLER_H

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QWebSocket>

#include <functional>
#include <optional>

// The navigation controller of one device, as a test scripts it: it records
// every request in order and answers only where a rule says so.
class ScriptedController : public QObject {
    Q_OBJECT
public:
    // Returns the reply's members (without "SEQ"), or nothing to stay silent.
    using Rule = std::function<std::optional<QJsonObject>(const QJsonObject &request)>;

    explicit ScriptedController(const QString &hash, QObject *parent = nullptr);

    void attach(QWebSocket *socket);
    bool isConnected() const;
    QString hash() const { return m_hash; }

    // Answer every request named cmd through rule; replaces an earlier rule.
    void on(const QString &cmd, Rule rule);
    // Answer cmd with fixed members.
    void answer(const QString &cmd, const QJsonObject &reply);
    // Identity and heartbeat answers of a healthy aircraft.
    void answerIdentity(const QString &serial, int flightType);
    void clearRules() { m_rules.clear(); }

    void reply(const QJsonObject &request, QJsonObject reply);
    void sendEvent(const QString &event, const QJsonValue &value);
    void sendRaw(const QString &text);
    void close();

    QList<QJsonObject> requests; // every request received, in order
    int attachments = 0;         // channels the plug-in opened to this controller
    QList<QJsonObject> requestsNamed(const QString &cmd) const;
    // Waits until a request named cmd beyond the first `after` arrives.
    std::optional<QJsonObject> waitForRequest(const QString &cmd, int after = 0,
                                              int timeoutMs = 5000);

Q_SIGNALS:
    void requestReceived(const QJsonObject &request);
    void connected();
    void disconnected();

private:
    void onText(const QString &text);

    QString m_hash;
    QPointer<QWebSocket> m_socket;
    QHash<QString, Rule> m_rules;
};

#endif // SCRIPTEDCONTROLLER_H
