#include "mqttclient.h"

#include "bridgelog.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <cstdlib>

namespace {

constexpr int KeepAliveSeconds = 30;
constexpr int MaxBackoffSeconds = 8;
// The broker drops larger messages for us instead of sending them: a request
// of the station's 16 MiB limit, with room for its topic and properties.
constexpr uint32_t MaxPacketBytes = 16 * 1024 * 1024 + 64 * 1024;

QString reason(int code) {
    return QString::fromUtf8(mosquitto_reason_string(code));
}

QString error(int code) {
    return QString::fromUtf8(mosquitto_strerror(code));
}

} // namespace

MqttClient::MqttClient(Settings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings)) {
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised)
    qRegisterMetaType<MqttClient::Message>();
    const QByteArray id = m_settings.clientId.toUtf8();
    m_mosq =
        mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_settings.sessionExpiry == 0, this);
    if (!m_mosq)
        return;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_threaded_set(m_mosq, true);
    setCallbacks();
}

MqttClient::~MqttClient() {
    if (!m_mosq)
        return;
    m_stopping = true;
    if (m_loop.joinable())
        m_loop.join();
    // With the loop gone this thread may write: a parting DISCONNECT that
    // asks the broker to publish the Last Will, so a clean stop reads the
    // same as a crash to subscribers of the status.
    if (m_connected) {
        mosquitto_disconnect_v5(m_mosq, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
        mosquitto_loop_write(m_mosq, 1);
    }
    mosquitto_destroy(m_mosq);
}

void MqttClient::setCallbacks() {
    // The callbacks run on the loop thread; everything they carry is copied
    // before the queued call, since the library frees it on return.
    mosquitto_connect_v5_callback_set(
        m_mosq, [](mosquitto *, void *self, int rc, int, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            if (rc == 0)
                client->m_accepted = true;
            QMetaObject::invokeMethod(
                client, [client, rc]() { client->onConnected(rc); }, Qt::QueuedConnection);
        });
    mosquitto_disconnect_v5_callback_set(
        m_mosq, [](mosquitto *, void *self, int rc, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            QMetaObject::invokeMethod(
                client, [client, rc]() { client->onDisconnected(rc); }, Qt::QueuedConnection);
        });
    mosquitto_publish_v5_callback_set(
        m_mosq, [](mosquitto *, void *self, int mid, int rc, const mosquitto_property *) {
            auto *client = static_cast<MqttClient *>(self);
            if (rc >= 0x80)
                qCWarning(lcBridge) << "broker refused a message:" << reason(rc);
            QMetaObject::invokeMethod(
                client, [client, mid]() { client->onAcknowledged(mid); }, Qt::QueuedConnection);
        });
    mosquitto_message_v5_callback_set(m_mosq, [](mosquitto *, void *self,
                                                 const mosquitto_message *in,
                                                 const mosquitto_property *properties) {
        auto *client = static_cast<MqttClient *>(self);
        if (client->m_queuedReceived.fetch_add(1) >= MaxQueuedReceived) {
            client->m_queuedReceived.fetch_sub(1);
            static std::atomic_int64_t dropped{0};
            if (dropped++ % 1000 == 0)
                qCWarning(lcBridge) << "receiving faster than handling: dropped" << dropped
                                    << "messages so far, the last on" << in->topic;
            return;
        }
        Message message;
        message.topic = QString::fromUtf8(in->topic);
        message.payload = QByteArray(static_cast<const char *>(in->payload), in->payloadlen);
        message.qos = in->qos;
        message.retain = in->retain;
        char *responseTopic = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic,
                                           false)) {
            message.responseTopic = QString::fromUtf8(responseTopic);
            std::free(responseTopic);
        }
        void *correlation = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                           &length, false)) {
            message.correlationData = QByteArray(static_cast<const char *>(correlation), length);
            std::free(correlation);
        }
        QMetaObject::invokeMethod(
            client,
            [client, message]() {
                client->m_queuedReceived.fetch_sub(1);
                emit client->messageReceived(message);
            },
            Qt::QueuedConnection);
    });
}

bool MqttClient::start(QString *error) {
    if (!m_mosq) {
        *error = QStringLiteral("cannot create an MQTT client");
        return false;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (!m_settings.username.isEmpty())
        rc = mosquitto_username_pw_set(m_mosq, m_settings.username.toUtf8().constData(),
                                       m_settings.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !m_settings.willTopic.isEmpty())
        rc = mosquitto_will_set_v5(m_mosq, m_settings.willTopic.toUtf8().constData(),
                                   int(m_settings.willPayload.size()),
                                   m_settings.willPayload.constData(), 1, true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && m_settings.tls) {
        const QByteArray caFile = m_settings.caFile.toLocal8Bit();
        rc = mosquitto_tls_set(m_mosq, caFile.isEmpty() ? nullptr : caFile.constData(),
                               caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                               nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = ::error(rc);
        return false;
    }
    m_loop = std::thread([this]() { run(); });
    return true;
}

void MqttClient::run() {
    const QByteArray host = m_settings.host.toUtf8();
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, MaxPacketBytes);
    if (m_settings.sessionExpiry > 0)
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     m_settings.sessionExpiry);
    int rc = mosquitto_connect_bind_v5(m_mosq, host.constData(), m_settings.port, KeepAliveSeconds,
                                       nullptr, properties);
    mosquitto_property_free_all(&properties);
    int backoff = 1;
    while (!m_stopping) {
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(m_mosq, 200, 1);
            continue;
        }
        // A broker that took us in starts the pauses over; one that refuses
        // (a wrong password) is asked ever more rarely.
        if (m_accepted.exchange(false))
            backoff = 1;
        qCInfo(lcBridge) << "broker" << m_settings.host << m_settings.port << ":" << error(rc)
                         << "- retrying in" << backoff << "s";
        // In short steps, so a stop does not wait for the whole pause.
        for (int step = 0; step < backoff * 10 && !m_stopping; ++step)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        backoff = std::min(backoff * 2, MaxBackoffSeconds);
        if (!m_stopping)
            rc = mosquitto_reconnect(m_mosq);
    }
}

void MqttClient::onConnected(int reasonCode) {
    if (reasonCode != 0) {
        qCWarning(lcBridge) << "broker refused the connection:" << reason(reasonCode);
        return;
    }
    qCInfo(lcBridge) << "connected to broker" << m_settings.host << m_settings.port;
    m_connected = true;
    // Messages the library had in flight are its own to resend.
    m_unacknowledged.clear();
    releaseHeld();
    emit connected();
}

void MqttClient::onDisconnected(int reasonCode) {
    if (!m_connected)
        return;
    qCWarning(lcBridge) << "lost the broker:" << error(reasonCode);
    m_connected = false;
    emit disconnected();
}

void MqttClient::onAcknowledged(int mid) {
    if (m_unacknowledged.remove(mid))
        releaseHeld();
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain,
                         const QByteArray &correlationData, const QString &responseTopic) {
    Outgoing message{topic, payload, correlationData, responseTopic};
    if (qos == 0 || retain) {
        if (m_connected)
            send(message, qos, retain);
        return;
    }
    hold(std::move(message));
    releaseHeld();
}

void MqttClient::subscribe(const QString &topic, int qos) {
    const int rc =
        mosquitto_subscribe_v5(m_mosq, nullptr, topic.toUtf8().constData(), qos, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        qCWarning(lcBridge) << "cannot subscribe to" << topic << ":" << error(rc);
}

bool MqttClient::send(const Outgoing &message, int qos, bool retain) {
    mosquitto_property *properties = nullptr;
    if (!message.correlationData.isEmpty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      message.correlationData.constData(),
                                      uint16_t(message.correlationData.size()));
    if (!message.responseTopic.isEmpty())
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC,
                                      message.responseTopic.toUtf8().constData());
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_mosq, &mid, message.topic.toUtf8().constData(),
                                        int(message.payload.size()), message.payload.constData(),
                                        qos, retain, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_NO_CONN)
        return false;
    if (rc != MOSQ_ERR_SUCCESS)
        qCWarning(lcBridge) << "cannot publish to" << message.topic << ":" << error(rc);
    else if (qos > 0)
        m_unacknowledged.insert(mid);
    return true;
}

void MqttClient::hold(Outgoing message) {
    m_heldBytes += message.payload.size();
    m_held.push_back(std::move(message));
    while (int(m_held.size()) > MaxHeld || m_heldBytes > MaxHeldBytes) {
        m_heldBytes -= m_held.front().payload.size();
        m_held.pop_front();
        if (m_dropped++ % 1000 == 0)
            qCWarning(lcBridge) << "broker away too long: dropped" << m_dropped
                                << "held QoS 1 messages so far";
    }
}

void MqttClient::releaseHeld() {
    while (m_connected && !m_held.empty() && m_unacknowledged.size() < MaxUnacknowledged) {
        const Outgoing &next = m_held.front();
        if (!send(next, 1, false))
            return;
        m_heldBytes -= next.payload.size();
        m_held.pop_front();
    }
}
