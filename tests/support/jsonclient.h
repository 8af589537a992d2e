#ifndef JSONCLIENT_H
#define JSONCLIENT_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QWebSocket>

#include <optional>

// A web client of the host as tests need it: sends commands, collects every
// message that comes back, and waits for the reply to a given "SEQ".
class JsonClient : public QObject {
    Q_OBJECT
public:
    explicit JsonClient(QObject *parent = nullptr);

    bool open(const QString &path, int timeoutMs = 5000);
    void close();
    bool isConnected() const;

    // Sends {"CMD", "SEQ", "VALUE"} and returns the SEQ used.
    QString send(const QString &cmd, const QJsonObject &value = {});
    void sendRaw(const QString &text);
    // Sends and waits for the reply carrying the same SEQ.
    std::optional<QJsonObject> call(const QString &cmd, const QJsonObject &value = {},
                                    int timeoutMs = 5000);
    std::optional<QJsonObject> waitForSeq(const QString &seq, int timeoutMs = 5000);
    // Waits for a message whose "EVENT" equals event, beyond the first `after`.
    std::optional<QJsonObject> waitForEvent(const QString &event, int after = 0,
                                            int timeoutMs = 5000);
    QList<QJsonObject> events(const QString &event) const;

    QList<QJsonObject> received;
    QWebSocket socket;

private:
    int m_nextSeq = 0;
};

#endif // JSONCLIENT_H
