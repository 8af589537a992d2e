#ifndef BRIDGE_H
#define BRIDGE_H

#include "mqttclient.h"
#include "stationlink.h"

#include <QByteArray>
#include <QObject>

// Joins one station to the broker: its status, fleet and push events go out
// under oru/NAME/, and requests on oru/NAME/request come back as replies on
// each request's Response Topic.
class Bridge : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QString station;
        QUrl host;
        bool allowCommands = false;
    };

    // The broker's requests are refused above this size, as the station would.
    static constexpr int MaxRequestBytes = 16 * 1024 * 1024;

    Bridge(const Settings &settings, MqttClient::Settings broker, QObject *parent = nullptr);

    bool start(QString *error);

    // Empty when name may be a station's topic level, else why not.
    static QString checkStationName(const QString &name);
    static QString statusTopic(const QString &station);
    static QByteArray statusPayload(bool online);

private:
    void onBrokerConnected();
    void onStationUp();
    void onStationDown();
    void onEvent(const QJsonObject &event, const QByteArray &text);
    void onRequest(const MqttClient::Message &message);
    void refreshFleet();
    void publishStatus();
    void publishFleet();
    QString topic(const QString &suffix) const;

    Settings m_settings;
    MqttClient m_mqtt;
    StationLink m_station;
    QByteArray m_fleet;
    bool m_fleetRequested = false;
    bool m_fleetStale = false;
};

#endif // BRIDGE_H
