#include "brokerprocess.h"
#include "hostprocess.h"
#include "mqttclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTest>

namespace {

// Each station on a free port of its own, so the test needs no port lock.
QStringList hostArguments(quint16 port = freePort()) {
    return {"--simulate", "2", "--port", QString::number(port)};
}

class BridgeProcess : public ChildProcess {
public:
    ~BridgeProcess() override { terminateWithin(10000); }
    bool launch(const QString &station, quint16 port, const QString &broker, bool commands) {
        setProcessChannelMode(QProcess::ForwardedChannels);
        QStringList arguments{"--station", station,  "--broker",
                              broker,      "--host", QStringLiteral("ws://127.0.0.1:%1").arg(port)};
        if (commands)
            arguments << "--allow-commands";
        start(QStringLiteral(ORU_BRIDGE_BINARY), arguments);
        return waitForStarted(10000);
    }
};

MqttClient::Settings brokerAt(quint16 port, quint32 sessionExpiry) {
    MqttClient::Settings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = sessionExpiry ? "probe" : "";
    settings.sessionExpiry = sessionExpiry;
    return settings;
}

// A client of the broker that keeps all it receives. The retained status of
// the last topic tells that every subscription before it is in place.
class Subscriber : public QObject {
public:
    Subscriber(quint16 port, const QStringList &topics, quint32 sessionExpiry = 0)
        : client(brokerAt(port, sessionExpiry)) {
        connect(&client, &MqttClient::connected, this, [this, topics]() {
            for (const QString &topic : topics)
                client.subscribe(topic, 1);
        });
        connect(&client, &MqttClient::messageReceived, this,
                [this](const MqttClient::Message &message) { received[message.topic] << message; });
        QString error;
        client.start(&error);
    }
    QJsonDocument last(const QString &topic) const {
        const auto messages = received.value(topic);
        return QJsonDocument::fromJson(messages.value(messages.size() - 1).payload);
    }
    QString status(const QString &station) const {
        return last("oru/" + station + "/status")["STATE"].toString();
    }

    MqttClient client;
    QHash<QString, QList<MqttClient::Message>> received;
};

QStringList serials(const QJsonArray &aircraft, const QString &key) {
    QStringList found;
    for (const QJsonValue &entry : aircraft)
        found << entry.toObject().value(key).toString();
    found.sort();
    return found;
}

} // namespace

class TestBridge : public QObject {
    Q_OBJECT

    BrokerProcess m_broker;
    HostProcess m_station;
    BridgeProcess m_open;
    BridgeProcess m_closed;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_broker.launch());
        QVERIFY(m_station.launch(hostArguments()));
        QVERIFY(m_open.launch("alpha", m_station.port(), m_broker.url(), true));
        QVERIFY(m_closed.launch("alpha-ro", m_station.port(), m_broker.url(), false));
    }

    void refusesStationNamesThatAreNoTopicLevel_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("an empty name") << "";
        QTest::newRow("a name with a slash would add a level") << "north/1";
        QTest::newRow("a name with a plus is a wildcard") << "north+";
        QTest::newRow("a name with a hash is a wildcard") << "#";
    }

    void refusesStationNamesThatAreNoTopicLevel() {
        QFETCH(QString, name);
        QProcess bridge;
        bridge.start(QStringLiteral(ORU_BRIDGE_BINARY),
                     {"--station", name, "--broker", m_broker.url()});
        QVERIFY(bridge.waitForFinished(10000));
        QVERIFY(bridge.exitCode() != 0);
        QVERIFY(bridge.readAllStandardError().contains("--station: the name"));
    }

    void eachStationsAircraftLandUnderItsName() {
        HostProcess beta;
        BridgeProcess betaBridge;
        QVERIFY(beta.launch(hostArguments()));
        QVERIFY(betaBridge.launch("beta", beta.port(), m_broker.url(), false));
        const QList<QPair<QString, HostProcess *>> stations{{"alpha", &m_station}, {"beta", &beta}};
        m_station.admin("AttachDevice"); // the fleet follows a CONNECT
        Subscriber subscriber(m_broker.port(), {"oru/#"});
        for (const auto &station : stations) {
            const QString prefix = "oru/" + station.first + "/";
            const QStringList expected =
                serials(station.second->admin("ListDevices")->value("VALUE").toArray(), "SN");
            QTRY_COMPARE_WITH_TIMEOUT(
                serials(subscriber.last(prefix + "fleet").array(), "AIRCRAFT"), expected, 20000);
            // A late subscriber sees the fleet as retained, whatever it raced with.
            Subscriber late(m_broker.port(), {prefix + "fleet"});
            QTRY_VERIFY_WITH_TIMEOUT(late.received.contains(prefix + "fleet"), 10000);
            const MqttClient::Message fleet = late.received.value(prefix + "fleet").first();
            QVERIFY(fleet.retain && fleet.qos == 1);
            for (const QString &serial : expected) {
                const QString telemetry = prefix + "aircraft/" + serial + "/FLIGHT_STATE";
                QTRY_VERIFY_WITH_TIMEOUT(subscriber.received.contains(telemetry), 10000);
                QCOMPARE(subscriber.received.value(telemetry).first().qos, 0);
                QCOMPARE(subscriber.last(telemetry)["VALUE"]["AIRCRAFT"].toString(), serial);
            }
        }
    }

    void requestsComeBackOnTheirResponseTopic_data() {
        QTest::addColumn<QString>("station");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("failure"); // empty for a success
        const QByteArray list = R"({"CMD": "GetAircraftList", "SEQ": "q1"})";
        QTest::newRow("a command through an open bridge gets the station's reply")
            << "alpha" << list << "";
        QTest::newRow("a bridge without --allow-commands refuses")
            << "alpha-ro" << list << "commands are disabled on this bridge";
        QTest::newRow("a payload that is no JSON gets a failure")
            << "alpha" << QByteArray("GetAircraftList") << "not a JSON object";
        QTest::newRow("a command the station never answers fails after 30 s")
            << "alpha"
            << QByteArray(R"({"CMD": "GetFlyLimit", "SEQ": "q1", "VALUE": {"AIRCRAFT": "SILENT"}})")
            << "did not answer within 30 s";
    }

    void requestsComeBackOnTheirResponseTopic() {
        QFETCH(QString, station);
        QFETCH(QByteArray, request);
        QFETCH(QString, failure);
        Subscriber operator_(m_broker.port(), {"reply/#", "oru/" + station + "/status"});
        QTRY_COMPARE_WITH_TIMEOUT(operator_.status(station), QString("online"), 20000);
        const QJsonObject silenced = m_station.admin("ListDevices")->value("VALUE")[0].toObject();
        const bool silent = request.contains("SILENT");
        if (silent) {
            QVERIFY(isSuccess(
                m_station.admin("SilenceController", with(silenced, {{"SILENT", true}}))));
            request.replace("SILENT", silenced.value("SN").toString().toUtf8());
        }
        const auto speakAgain = qScopeGuard([&]() {
            if (silent)
                m_station.admin("SilenceController", with(silenced, {{"SILENT", false}}));
        });
        const QByteArray correlation = QTest::currentDataTag();
        operator_.client.publish("oru/" + station + "/request", request, 1, false, correlation,
                                 "reply/op");
        QTRY_COMPARE_WITH_TIMEOUT(operator_.received.value("reply/op").size(), 1, 60000);
        QCOMPARE(operator_.received.value("reply/op").first().correlationData, correlation);
        const QJsonObject reply = operator_.last("reply/op").object();
        QCOMPARE(reply["ERROR"].toString(), QString(failure.isEmpty() ? "SUCCESS" : "FAILURE"));
        QVERIFY2(reply["ERROR_MESSAGE"].toString().contains(failure), qPrintable(failure));
        if (request.startsWith('{'))
            QCOMPARE(reply["SEQ"].toString(), QString("q1"));
    }

    void lastWillTellsOfAKilledBridge() {
        BridgeProcess doomed;
        QVERIFY(doomed.launch("doomed", m_station.port(), m_broker.url(), false));
        Subscriber subscriber(m_broker.port(), {"oru/doomed/status"});
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("doomed"), QString("online"), 20000);
        doomed.kill();
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("doomed"), QString("offline"), 20000);
        Subscriber latecomer(m_broker.port(), {"oru/doomed/status"});
        QTRY_COMPARE_WITH_TIMEOUT(latecomer.status("doomed"), QString("offline"), 20000);
        QVERIFY(latecomer.received.value("oru/doomed/status").first().retain);
    }

    void brokerRestartLosesNoQos1Event() {
        // A session that outlives the restart, so events reach it whichever of
        // bridge and subscriber is back first.
        Subscriber subscriber(m_broker.port(), {"oru/alpha/aircraft/+/CONNECT", "oru/alpha/status"},
                              600);
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("alpha"), QString("online"), 20000);
        JsonClient push;
        QVERIFY(m_station.connectClient(push, "/groundstation/push"));
        QStringList attached;
        const auto attach = [&](int count) {
            for (int i = 0; i < count; ++i)
                attached << m_station.attachAndWait(push).value("SN").toString();
            return !attached.contains(QString());
        };
        QVERIFY(attach(2));
        QVERIFY(m_broker.stop());
        QVERIFY(attach(3));
        QVERIFY(m_broker.launch());
        QVERIFY(attach(2));
        attached.sort();
        const auto delivered = [&]() {
            QStringList serials;
            for (const QString &serial : attached)
                if (!subscriber.received.value("oru/alpha/aircraft/" + serial + "/CONNECT")
                         .isEmpty())
                    serials << serial;
            return serials;
        };
        QTRY_COMPARE_WITH_TIMEOUT(delivered(), attached, 40000);
    }

    void statusFollowsTheStation() {
        Subscriber subscriber(m_broker.port(), {"oru/alpha/status"});
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("alpha"), QString("online"), 20000);
        const quint16 port = m_station.port();
        QVERIFY(m_station.stop());
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("alpha"), QString("offline"), 20000);
        // Back where the bridge keeps looking for it.
        QVERIFY(m_station.launch(hostArguments(port)));
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.status("alpha"), QString("online"), 20000);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(TestBridge)
#include "tst_bridge.moc"
