#include "generalchannel.h"
#include "hostserver.h"
#include "jsonclient.h"
#include "simulationhub.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

QJsonObject valueOf(const std::optional<QJsonObject> &reply) {
    return reply ? reply->value(QStringLiteral("VALUE")).toObject() : QJsonObject();
}

QString errorOf(const std::optional<QJsonObject> &reply) {
    return reply ? reply->value(QStringLiteral("ERROR")).toString() : QStringLiteral("no reply");
}

} // namespace

class TestSimulationHub : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void attachAnnouncesTheDeviceOnTheGeneralChannel();
    void controllerAnswersRequestsAndReportsItsFlight();
    void channelForAnUnknownDeviceIsClosed();
    void silencedControllerAnswersNothingUntilUnsilenced();
    void droppedChannelLeavesTheDeviceAttached();
    void detachAnnouncesTheRemovalAndClosesTheChannel();
    void refusals_data();
    void refusals();
    void attachesAtMostTheDeviceLimit();

private:
    // Attaches a device through /host and returns its description.
    QJsonObject attach(const QJsonObject &value = {});
    std::unique_ptr<JsonClient> channelTo(const QString &hash);

    std::unique_ptr<HostServer> m_server;
    std::unique_ptr<GeneralChannel> m_general;
    std::unique_ptr<SimulationHub> m_hub;
    std::unique_ptr<JsonClient> m_admin;
};

void TestSimulationHub::init() {
    m_server = std::make_unique<HostServer>();
    m_general = std::make_unique<GeneralChannel>(m_server.get());
    m_hub = std::make_unique<SimulationHub>(m_server.get(), m_general.get(), 20.0);
    QVERIFY(m_server->listen());
    m_admin = std::make_unique<JsonClient>();
    QVERIFY(m_admin->open(QStringLiteral("/host")));
}

void TestSimulationHub::cleanup() {
    m_admin.reset();
    m_hub.reset();
    m_general.reset();
    m_server.reset();
}

QJsonObject TestSimulationHub::attach(const QJsonObject &value) {
    const auto reply = m_admin->call(QStringLiteral("AttachDevice"), value);
    return errorOf(reply) == QLatin1String("SUCCESS") ? valueOf(reply) : QJsonObject();
}

std::unique_ptr<JsonClient> TestSimulationHub::channelTo(const QString &hash) {
    auto client = std::make_unique<JsonClient>();
    if (!client->open(QStringLiteral("/controller/navigation/") + hash))
        return nullptr;
    return client;
}

void TestSimulationHub::attachAnnouncesTheDeviceOnTheGeneralChannel() {
    JsonClient general;
    QVERIFY(general.open(QStringLiteral("/general")));
    const QJsonObject device = attach({{QStringLiteral("DEVICE_TYPE"), QStringLiteral("Hx7_DEC")}});
    const QString hash = device.value(QStringLiteral("FILE")).toString();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(hash).hasMatch());
    QVERIFY(!device.value(QStringLiteral("SN")).toString().isEmpty());
    QCOMPARE(device.value(QStringLiteral("FLIGHT_TYPE")), QJsonValue(2));

    const auto arrival = general.waitForEvent(QStringLiteral("device_arrival"));
    QVERIFY(arrival);
    QCOMPARE(arrival->value(QStringLiteral("DEVICE_TYPE")).toString(), QStringLiteral("Hx7_DEC"));
    QCOMPARE(arrival->value(QStringLiteral("FILE")).toString(), hash);

    // Without a type, devices take the supported types in turn, each with its own serial.
    const QJsonObject second = attach();
    QVERIFY(SimulationHub::supportedDeviceTypes().contains(
        second.value(QStringLiteral("DEVICE_TYPE")).toString()));
    QVERIFY(second.value(QStringLiteral("SN")) != device.value(QStringLiteral("SN")));

    JsonClient late;
    QVERIFY(late.open(QStringLiteral("/general")));
    QVERIFY(late.waitForEvent(QStringLiteral("device_arrival"), 1));
    QCOMPARE(late.events(QStringLiteral("device_arrival")).size(), 2);
}

void TestSimulationHub::controllerAnswersRequestsAndReportsItsFlight() {
    const QJsonObject device = attach();
    auto channel = channelTo(device.value(QStringLiteral("FILE")).toString());
    QVERIFY(channel);
    const auto serial = channel->call(QStringLiteral("GetSN"));
    QCOMPARE(errorOf(serial), QStringLiteral("SUCCESS"));
    QCOMPARE(serial->value(QStringLiteral("VALUE")), device.value(QStringLiteral("SN")));

    const auto state = channel->waitForEvent(QStringLiteral("FLIGHT_STATE"));
    QVERIFY(state);
    const QJsonObject value = state->value(QStringLiteral("VALUE")).toObject();
    QCOMPARE(value.value(QStringLiteral("FLIGHT_STATUS")).toString(), QStringLiteral("ON_GROUND"));
    // Aircraft stand on the ground around the default home, tens of metres out.
    const double north = (value.value(QStringLiteral("LATI")).toDouble() -
                          qDegreesToRadians(SimulationHub::DefaultHomeLatitude)) *
                         6378137.0;
    QVERIFY(std::abs(north) < 100.0);

    // Text that is no request is answered, and the channel stays usable.
    channel->sendRaw(QStringLiteral("not json"));
    QVERIFY(QTest::qWaitFor(
        [&]() {
            return std::any_of(channel->received.begin(), channel->received.end(),
                               [](const QJsonObject &m) {
                                   return m.value(QStringLiteral("ERROR_MESSAGE"))
                                       .toString()
                                       .startsWith(QLatin1String("invalid request"));
                               });
        },
        5000));
    QCOMPARE(errorOf(channel->call(QStringLiteral("GetVersion"))), QStringLiteral("SUCCESS"));
}

void TestSimulationHub::channelForAnUnknownDeviceIsClosed() {
    JsonClient channel;
    QSignalSpy closed(&channel.socket, &QWebSocket::disconnected);
    channel.socket.open(QUrl(QStringLiteral("ws://127.0.0.1:19870/controller/navigation/nothere")));
    QVERIFY(closed.wait(5000));
    QCOMPARE(channel.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
}

void TestSimulationHub::silencedControllerAnswersNothingUntilUnsilenced() {
    const QString hash = attach().value(QStringLiteral("FILE")).toString();
    auto channel = channelTo(hash);
    QVERIFY(channel);
    QCOMPARE(
        errorOf(m_admin->call(QStringLiteral("SilenceController"),
                              {{QStringLiteral("FILE"), hash}, {QStringLiteral("SILENT"), true}})),
        QStringLiteral("SUCCESS"));
    const QString unanswered = channel->send(QStringLiteral("GetVersion"));
    const auto listed = m_admin->call(QStringLiteral("ListDevices"));
    QCOMPARE(listed->value(QStringLiteral("VALUE"))
                 .toArray()
                 .first()
                 .toObject()
                 .value(QStringLiteral("SILENT")),
             QJsonValue(true));

    QCOMPARE(
        errorOf(m_admin->call(QStringLiteral("SilenceController"),
                              {{QStringLiteral("FILE"), hash}, {QStringLiteral("SILENT"), false}})),
        QStringLiteral("SUCCESS"));
    // Requests are answered in order: once the later one is, the earlier never will be.
    QCOMPARE(errorOf(channel->call(QStringLiteral("GetVersion"))), QStringLiteral("SUCCESS"));
    QVERIFY(!channel->waitForSeq(unanswered, 0));
    const int states = channel->events(QStringLiteral("FLIGHT_STATE")).size();
    QVERIFY(channel->waitForEvent(QStringLiteral("FLIGHT_STATE"), states));
}

void TestSimulationHub::droppedChannelLeavesTheDeviceAttached() {
    const QString hash = attach().value(QStringLiteral("FILE")).toString();
    auto channel = channelTo(hash);
    QVERIFY(channel);
    QSignalSpy closed(&channel->socket, &QWebSocket::disconnected);
    const auto dropped =
        m_admin->call(QStringLiteral("DropController"), {{QStringLiteral("FILE"), hash}});
    QCOMPARE(errorOf(dropped), QStringLiteral("SUCCESS"));
    QCOMPARE(valueOf(dropped).value(QStringLiteral("CLOSED")), QJsonValue(1));
    QVERIFY(closed.count() || closed.wait(5000));

    auto again = channelTo(hash);
    QVERIFY(again);
    QCOMPARE(errorOf(again->call(QStringLiteral("GetSN"))), QStringLiteral("SUCCESS"));
}

void TestSimulationHub::detachAnnouncesTheRemovalAndClosesTheChannel() {
    JsonClient general;
    QVERIFY(general.open(QStringLiteral("/general")));
    const QString hash = attach().value(QStringLiteral("FILE")).toString();
    auto channel = channelTo(hash);
    QVERIFY(channel);
    QSignalSpy closed(&channel->socket, &QWebSocket::disconnected);

    QCOMPARE(
        errorOf(m_admin->call(QStringLiteral("DetachDevice"), {{QStringLiteral("FILE"), hash}})),
        QStringLiteral("SUCCESS"));
    const auto removal = general.waitForEvent(QStringLiteral("device_removed"));
    QVERIFY(removal);
    QCOMPARE(removal->value(QStringLiteral("FILE")).toString(), hash);
    QVERIFY(closed.count() || closed.wait(5000));
    QCOMPARE(m_hub->deviceCount(), 0);
    QVERIFY(m_admin->call(QStringLiteral("ListDevices"))
                ->value(QStringLiteral("VALUE"))
                .toArray()
                .isEmpty());
}

void TestSimulationHub::refusals_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QJsonObject>("value");
    QTest::addColumn<QString>("message");

    QTest::newRow("detaching a device that is not attached")
        << "DetachDevice" << QJsonObject{{QStringLiteral("FILE"), QStringLiteral("nope")}}
        << "no device nope";
    QTest::newRow("dropping without a FILE")
        << "DropController" << QJsonObject() << "FILE missing or not a non-empty string";
    QTest::newRow("silencing without saying how")
        << "SilenceController"
        << QJsonObject{{QStringLiteral("FILE"), QStringLiteral("nope")},
                       {QStringLiteral("SILENT"), QStringLiteral("yes")}}
        << "SILENT missing or not true or false";
    QTest::newRow("silencing a device that is not attached")
        << "SilenceController"
        << QJsonObject{{QStringLiteral("FILE"), QStringLiteral("nope")},
                       {QStringLiteral("SILENT"), true}}
        << "no device nope";
    QTest::newRow("a device type that is not text")
        << "AttachDevice" << QJsonObject{{QStringLiteral("DEVICE_TYPE"), 5}}
        << "DEVICE_TYPE must be a non-empty string of at most 64 characters";
    QTest::newRow("an unknown admin command")
        << "Explode" << QJsonObject() << "unknown command: Explode";
}

void TestSimulationHub::refusals() {
    QFETCH(QString, command);
    QFETCH(QJsonObject, value);
    QFETCH(QString, message);

    const auto reply = m_admin->call(command, value);
    QCOMPARE(errorOf(reply), QStringLiteral("FAILURE"));
    QCOMPARE(reply->value(QStringLiteral("ERROR_MESSAGE")).toString(), message);
    QCOMPARE(reply->value(QStringLiteral("CMD")).toString(), command);
    // The connection stays usable.
    QCOMPARE(errorOf(m_admin->call(QStringLiteral("ListDevices"))), QStringLiteral("SUCCESS"));
}

void TestSimulationHub::attachesAtMostTheDeviceLimit() {
    m_hub->setMaxDevices(m_hub->deviceCount() + 12);
    const int limit = m_hub->maxDevices();
    QStringList seqs;
    for (int i = m_hub->deviceCount(); i < limit; ++i)
        seqs.append(m_admin->send(QStringLiteral("AttachDevice")));
    const auto refused = m_admin->call(QStringLiteral("AttachDevice"));
    QCOMPARE(errorOf(refused), QStringLiteral("FAILURE"));
    QCOMPARE(refused->value(QStringLiteral("ERROR_MESSAGE")).toString(),
             QStringLiteral("at most %1 devices can be attached").arg(limit));
    for (const QString &seq : qAsConst(seqs))
        QCOMPARE(errorOf(m_admin->waitForSeq(seq)), QStringLiteral("SUCCESS"));
    QCOMPARE(m_hub->deviceCount(), limit);
}

QTEST_GUILESS_MAIN(TestSimulationHub)

#include "tst_simulationhub.moc"
