#ifndef JSONCLIENT_H
#define JSONCLIENT_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QWebSocket>

#include <optional>

// The messages whose member key is the string value, and a wait for the one
// beyond the first `after` of them; messages may grow while it waits.
QList<QJsonObject> withMember(const QList<QJsonObject> &messages, const QString &key,
                              const QString &value);
std::optional<QJsonObject> waitForNth(const QList<QJsonObject> &messages, const QString &key,
                                      const QString &value, int after, int timeoutMs);
QString compactText(const QJsonObject &message);
// The object a JSON text holds (empty when it holds none), and object with
// the members of changes put in.
QJsonObject json(const char *text);
QJsonObject with(QJsonObject object, const QJsonObject &changes);

// A web client of the host as tests need it: sends commands, collects every
// message that comes back, and waits for the reply to a given "SEQ".
class JsonClient : public QObject {
    Q_OBJECT
public:
    explicit JsonClient(QObject *parent = nullptr);

    bool open(const QString &path, int timeoutMs = 5000);
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

    // Sends {"CMD", "SEQ", "VALUE"} and returns the SEQ used.
    QString send(const QString &cmd, const QJsonObject &value = {});
    void sendRaw(const QString &text) { socket.sendTextMessage(text); }
    std::optional<QJsonObject> call(const QString &cmd, const QJsonObject &value = {},
                                    int timeoutMs = 5000) {
        return waitForSeq(send(cmd, value), timeoutMs);
    }
    std::optional<QJsonObject> waitForSeq(const QString &seq, int timeoutMs = 5000) {
        return waitForNth(received, "SEQ", seq, 0, timeoutMs);
    }
    std::optional<QJsonObject> waitForEvent(const QString &event, int after = 0,
                                            int timeoutMs = 5000) {
        return waitForNth(received, "EVENT", event, after, timeoutMs);
    }
    QList<QJsonObject> events(const QString &event) const {
        return withMember(received, "EVENT", event);
    }

    QList<QJsonObject> received;
    QWebSocket socket;

private:
    int m_nextSeq = 0;
};

#endif // JSONCLIENT_H
