#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <deque>
#include <thread>

struct mosquitto;

// An MQTT 5 client on libmosquitto. The library's network loop runs on a
// thread of its own, since its connect and reconnect block; every callback is
// handed to this object's thread as a queued call, so users of the class see
// one thread and take no lock.
class MqttClient : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QString host;
        quint16 port = 1883;
        QString clientId;
        QString username;
        QString password;
        bool tls = false;
        QString caFile; // empty: the system's certificate folder
        QString willTopic;
        QByteArray willPayload;
        // Non-zero keeps the session (and its subscriptions) on the broker
        // for that many seconds after a disconnect.
        quint32 sessionExpiry = 0;
    };
    struct Message {
        QString topic;
        QByteArray payload;
        int qos = 0;
        bool retain = false;
        QString responseTopic;
        QByteArray correlationData;
    };

    // QoS 1 messages held while the broker is away, and handed to the library
    // but not yet acknowledged; beyond these the oldest held message is dropped.
    static constexpr int MaxHeld = 10000;
    static constexpr qint64 MaxHeldBytes = 64 * 1024 * 1024;
    static constexpr int MaxUnacknowledged = 1000;
    // Received messages waiting for this object's thread; more are dropped,
    // since the library acknowledges them before anyone has read them.
    static constexpr int MaxQueuedReceived = 1024;

    explicit MqttClient(Settings settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // False with a message when the settings cannot be used (a bad CA file).
    bool start(QString *error);
    bool isConnected() const { return m_connected; }
    int heldCount() const { return int(m_held.size()); }

    // Retained messages are the caller's current state, so they are not held
    // while disconnected: the caller publishes them again on connected().
    void publish(const QString &topic, const QByteArray &payload, int qos, bool retain,
                 const QByteArray &correlationData = QByteArray(),
                 const QString &responseTopic = QString());
    void subscribe(const QString &topic, int qos);

signals:
    void connected();
    void disconnected();
    void messageReceived(const MqttClient::Message &message);

private:
    struct Outgoing {
        QString topic;
        QByteArray payload;
        QByteArray correlationData;
        QString responseTopic;
    };

    void run();
    void onConnected(int reasonCode);
    void onDisconnected(int reasonCode);
    void onAcknowledged(int mid);
    bool send(const Outgoing &message, int qos, bool retain);
    void hold(Outgoing message);
    void releaseHeld();

    void setCallbacks();

    Settings m_settings;
    mosquitto *m_mosq = nullptr;
    std::thread m_loop;
    std::atomic_bool m_stopping{false};
    std::atomic_int m_queuedReceived{0};
    std::atomic_bool m_accepted{false};
    bool m_connected = false;
    std::deque<Outgoing> m_held;
    qint64 m_heldBytes = 0;
    qint64 m_dropped = 0;
    QSet<int> m_unacknowledged;
};

Q_DECLARE_METATYPE(MqttClient::Message)

#endif // MQTTCLIENT_H
