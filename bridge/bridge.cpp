#include "bridge.h"

#include "bridgelog.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray compact(const QJsonDocument &document) {
    return document.toJson(QJsonDocument::Compact);
}

MqttClient::Settings withWill(MqttClient::Settings broker, const QString &station) {
    if (broker.clientId.isEmpty())
        broker.clientId = QStringLiteral("oru-bridge-") + station;
    broker.willTopic = Bridge::statusTopic(station);
    broker.willPayload = Bridge::statusPayload(false);
    return broker;
}

} // namespace

Bridge::Bridge(const Settings &settings, MqttClient::Settings broker, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_mqtt(withWill(std::move(broker), settings.station))
    , m_station(settings.host) {
    connect(&m_mqtt, &MqttClient::connected, this, &Bridge::onBrokerConnected);
    connect(&m_mqtt, &MqttClient::messageReceived, this, &Bridge::onRequest);
    connect(&m_station, &StationLink::up, this, &Bridge::onStationUp);
    connect(&m_station, &StationLink::down, this, &Bridge::onStationDown);
    connect(&m_station, &StationLink::eventReceived, this, &Bridge::onEvent);
}

bool Bridge::start(QString *error) {
    if (!m_mqtt.start(error))
        return false;
    m_station.start();
    return true;
}

QString Bridge::checkStationName(const QString &name) {
    if (name.isEmpty())
        return QStringLiteral("is empty");
    for (const QChar c : {QChar('/'), QChar('+'), QChar('#'), QChar(0)})
        if (name.contains(c))
            return QStringLiteral("contains '%1', which MQTT topic levels cannot hold")
                .arg(c.isNull() ? QStringLiteral("\\0") : QString(c));
    return QString();
}

QString Bridge::statusTopic(const QString &station) {
    return QStringLiteral("oru/%1/status").arg(station);
}

QByteArray Bridge::statusPayload(bool online) {
    return online ? QByteArrayLiteral(R"({"STATE":"online"})")
                  : QByteArrayLiteral(R"({"STATE":"offline"})");
}

QString Bridge::topic(const QString &suffix) const {
    return QStringLiteral("oru/%1/%2").arg(m_settings.station, suffix);
}

void Bridge::onBrokerConnected() {
    // A fresh session each time: the subscription and the retained state go
    // out again, since the broker may have restarted without them.
    m_mqtt.subscribe(topic(QStringLiteral("request")), 1);
    publishStatus();
    if (!m_fleet.isEmpty())
        publishFleet();
}

void Bridge::onStationUp() {
    publishStatus();
    refreshFleet();
}

void Bridge::onStationDown() {
    publishStatus();
}

void Bridge::publishStatus() {
    m_mqtt.publish(statusTopic(m_settings.station), statusPayload(m_station.isUp()), 1, true);
}

void Bridge::publishFleet() {
    m_mqtt.publish(topic(QStringLiteral("fleet")), m_fleet, 1, true);
}

void Bridge::refreshFleet() {
    // One list request at a time; arrivals meanwhile ask for one more after it.
    if (m_fleetRequested) {
        m_fleetStale = true;
        return;
    }
    m_fleetRequested = true;
    m_fleetStale = false;
    const QJsonObject request{{"CMD", "GetAircraftList"}, {"SEQ", "fleet"}};
    m_station.send(request, [this](const QJsonObject &reply) {
        m_fleetRequested = false;
        if (reply.value("ERROR").toString() == QLatin1String("SUCCESS")) {
            m_fleet = compact(QJsonDocument(reply.value("VALUE").toArray()));
            publishFleet();
        } else {
            qCWarning(lcBridge) << "no aircraft list:" << reply.value("ERROR_MESSAGE").toString();
        }
        if (m_fleetStale && m_station.isUp())
            refreshFleet();
    });
}

void Bridge::onEvent(const QJsonObject &event, const QByteArray &text) {
    const QString name = event.value("EVENT").toString();
    const QString aircraft = event.value("VALUE").toObject().value("AIRCRAFT").toString();
    if (!checkStationName(name).isEmpty() ||
        (!aircraft.isEmpty() && !checkStationName(aircraft).isEmpty())) {
        qCWarning(lcBridge) << "event not fit for a topic, dropped:" << name << aircraft;
        return;
    }
    if (aircraft.isEmpty()) {
        m_mqtt.publish(topic(QStringLiteral("event/") + name), text, 1, false);
    } else {
        // Telemetry is replaced ten times a second; losing one costs nothing.
        const bool telemetry =
            name == QLatin1String("FLIGHT_STATE") || name == QLatin1String("BATTERY_STATE");
        m_mqtt.publish(topic(QStringLiteral("aircraft/%1/%2").arg(aircraft, name)), text,
                       telemetry ? 0 : 1, false);
    }
    if (name == QLatin1String("CONNECT") || name == QLatin1String("DISCONNECT"))
        refreshFleet();
}

void Bridge::onRequest(const MqttClient::Message &message) {
    if (message.topic != topic(QStringLiteral("request")))
        return;
    // Keeps the addressing only: up to 256 of these wait, and payloads are large.
    const auto reply = [this, responseTopic = message.responseTopic,
                        correlation = message.correlationData](const QJsonObject &answer) {
        if (!responseTopic.isEmpty())
            m_mqtt.publish(responseTopic, compact(QJsonDocument(answer)), 1, false, correlation);
    };
    if (message.responseTopic.isEmpty())
        qCWarning(lcBridge) << "request without a Response Topic; its reply goes nowhere";
    if (message.payload.size() > MaxRequestBytes)
        return reply(failureReply({}, {}, QStringLiteral("the request is larger than 16 MiB")));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message.payload, &error);
    if (!document.isObject())
        return reply(failureReply({}, {},
                                  QStringLiteral("the request is not a JSON object: %1")
                                      .arg(error.error == QJsonParseError::NoError
                                               ? QStringLiteral("not an object")
                                               : error.errorString())));
    const QJsonObject request = document.object();
    if (!m_settings.allowCommands)
        return reply(failureReply(request.value("CMD"), request.value("SEQ"),
                                  QStringLiteral("commands are disabled on this bridge")));
    m_station.send(request, reply);
}
