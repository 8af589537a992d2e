#ifndef STATIONLINK_H
#define STATIONLINK_H

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <chrono>
#include <functional>

// The bridge as a native web client of one station: commands on
// /groundstation, events from /groundstation/push. The link is up while both
// channels are open; it reopens them with backoff whenever either closes.
class StationLink : public QObject {
    Q_OBJECT
public:
    using ReplyHandler = std::function<void(const QJsonObject &reply)>;

    static constexpr int MaxPending = 256;
    static constexpr std::chrono::seconds ReplyTimeout{30};
    static constexpr qint64 MaxMessageBytes = 16 * 1024 * 1024;

    explicit StationLink(const QUrl &station, QObject *parent = nullptr);
    ~StationLink() override;

    void start();
    bool isUp() const { return m_up; }

    // The handler runs exactly once: with the station's reply (its "SEQ" the
    // request's own), or with a failure reply when the link is down or goes
    // down, too many requests wait, or the station does not answer in time.
    void send(const QJsonObject &request, const ReplyHandler &handler);

signals:
    void up();
    void down();
    // One push event, with the text exactly as the station sent it.
    void eventReceived(const QJsonObject &event, const QByteArray &text);

private:
    struct Pending {
        QJsonValue seq;
        QJsonValue cmd;
        ReplyHandler handler;
        std::chrono::steady_clock::time_point deadline;
    };

    void open();
    void onChannelConnected();
    void onChannelClosed();
    void onReply(const QString &text);
    void onPush(const QString &text);
    void expire();
    void failAll(const QString &message);

    QUrl m_station;
    QWebSocket m_commands;
    QWebSocket m_push;
    QTimer m_reopen;
    QTimer m_expiry;
    int m_backoffMs;
    bool m_up = false;
    quint64 m_nextId = 0;
    // Keyed by a growing id, so the first entry is always the oldest.
    QMap<quint64, Pending> m_pending;
};

// A reply in the station's form that tells of a failure.
QJsonObject failureReply(const QJsonValue &cmd, const QJsonValue &seq, const QString &message);

#endif // STATIONLINK_H
