#include "fakehost.h"

#include <orudeviceagent.h>
#include <orugroundstationservice.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

// The smallest concrete agent: records events and exposes the request path.
class TestAgent : public OruDeviceAgent {
public:
    explicit TestAgent(OruGroundStationService *service)
        : OruDeviceAgent(service) {
        timer.setInterval(60000); // the base leaves the interval to its subclass
    }
    using OruDeviceAgent::sendRequest;

    bool timerActive() const { return timer.isActive(); }

    const QString &SerialNumber() override { return serial; }
    const unsigned char &FlightType() override { return type; }
    void GetParameters(ReplyCallback) override {}
    void GetMissionLimits(ReplyCallback) override {}
    void UploadWayLineMission(const QJsonObject &, ReplyCallback) override {}
    void DownloadWayLineMission(ReplyCallback) override {}
    void SetNavigationMode(emNAVIGATION_MODE, ReplyCallback) override {}
    void StartOrCancel(unsigned char, ReplyCallback) override {}
    void PauseOrContinue(unsigned char, ReplyCallback) override {}
    void SetHomePoint(const QJsonObject &, ReplyCallback) override {}
    void onEvent(const QJsonObject &message) override { events.append(message); }
    void DoFunction(const QString &, ReplyCallback) override {}
    void SetNoFlyZone(const QJsonArray &, ReplyCallback) override {}
    void StartSimulation(const QJsonObject &, ReplyCallback) override {}
    void StopSimulation(const QJsonObject &, ReplyCallback) override {}
    void ClickGo(const QJsonObject &, ReplyCallback) override {}
    void GetFlyLimit(ReplyCallback) override {}

    QList<QJsonObject> events;
    QString serial;
    unsigned char type = 255;
};

class tst_OruDeviceAgent : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void requestIsStampedWithFreshSeq();
    void replyDispatch_data();
    void replyDispatch();
    void callbackMayFileNextRequest();
    void destructionCallsNoCallback();
    void timerFollowsTheChannel();

private:
    QTemporaryDir home;
    FakeHost host;
    std::unique_ptr<TestAgent> agent;
    ScriptedController *controller = nullptr;
    int hashCounter = 0;
};

void tst_OruDeviceAgent::initTestCase() {
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    QVERIFY(host.listen());
    SingletonEx<OruGroundStationService>::createInstance();
}

void tst_OruDeviceAgent::init() {
    const QString hash = QStringLiteral("agent%1").arg(++hashCounter);
    controller = host.controller(hash);
    agent = std::make_unique<TestAgent>(OruGroundStationService::instancePtr());
    agent->openChannel(hash);
    // The agent's own side must be open too, or its first request is dropped.
    QTRY_VERIFY(controller->isConnected() && agent->timerActive());
}

void tst_OruDeviceAgent::cleanup() {
    agent.reset();
}

void tst_OruDeviceAgent::requestIsStampedWithFreshSeq() {
    QJsonObject request{{"CMD", "GetFlyLimit"}, {"SEQ", "client's"}};
    agent->sendRequest(request, {});
    const QString seq = request.value("SEQ").toString();
    QCOMPARE(seq.size(), 8);
    QVERIFY(seq != QStringLiteral("client's"));
    const auto sent = controller->waitForRequest("GetFlyLimit");
    QVERIFY(sent);
    QCOMPARE(sent->value("SEQ").toString(), seq);
}

void tst_OruDeviceAgent::replyDispatch_data() {
    QTest::addColumn<QStringList>("messages"); // %1 stands for the request's SEQ
    QTest::addColumn<int>("callbacks");
    QTest::addColumn<int>("events");

    QTest::newRow("one reply calls back once")
        << QStringList{R"({"SEQ":"%1","ERROR":"SUCCESS"})"} << 1 << 0;
    QTest::newRow("a second reply with the same SEQ is ignored")
        << QStringList{R"({"SEQ":"%1","ERROR":"SUCCESS"})", R"({"SEQ":"%1","ERROR":"SUCCESS"})"}
        << 1 << 0;
    QTest::newRow("SEQ with EVENT is a reply, not an event")
        << QStringList{R"({"SEQ":"%1","EVENT":"FLIGHT_STATE"})"} << 1 << 0;
    QTest::newRow("an unknown SEQ is ignored")
        << QStringList{R"({"SEQ":"zzzzzzzz","ERROR":"SUCCESS"})"} << 0 << 0;
    QTest::newRow("an event without SEQ goes to onEvent")
        << QStringList{R"({"EVENT":"FLIGHT_STATE","VALUE":{}})"} << 0 << 1;
    QTest::newRow("a JSON array is dropped") << QStringList{R"([{"SEQ":"%1"}])"} << 0 << 0;
    QTest::newRow("text that is not JSON is dropped") << QStringList{"{\"SEQ\":"} << 0 << 0;
    QTest::newRow("neither SEQ nor EVENT is dropped")
        << QStringList{R"({"ERROR":"SUCCESS"})"} << 0 << 0;
}

void tst_OruDeviceAgent::replyDispatch() {
    QFETCH(QStringList, messages);
    QFETCH(int, callbacks);
    QFETCH(int, events);

    int called = 0;
    QJsonObject request{{"CMD", "GetFlyLimit"}};
    agent->sendRequest(request, [&called](const QJsonObject &) { ++called; });
    QVERIFY(controller->waitForRequest("GetFlyLimit"));
    for (const QString &message : messages)
        controller->sendRaw(message.arg(request.value("SEQ").toString()));

    // A marker reply behind the messages tells when all of them were handled.
    bool marker = false;
    QJsonObject probe{{"CMD", "Probe"}};
    agent->sendRequest(probe, [&marker](const QJsonObject &) { marker = true; });
    QVERIFY(controller->waitForRequest("Probe"));
    controller->reply(probe, {{"ERROR", "SUCCESS"}});
    QTRY_VERIFY(marker);

    QCOMPARE(called, callbacks);
    QCOMPARE(agent->events.size(), events);
}

void tst_OruDeviceAgent::callbackMayFileNextRequest() {
    QStringList order;
    QJsonObject first{{"CMD", "First"}};
    agent->sendRequest(first, [&](const QJsonObject &) {
        order << "first";
        QJsonObject second{{"CMD", "Second"}};
        agent->sendRequest(second, [&](const QJsonObject &) { order << "second"; });
    });
    const auto sentFirst = controller->waitForRequest("First");
    QVERIFY(sentFirst);
    controller->reply(*sentFirst, {{"ERROR", "SUCCESS"}});
    const auto sentSecond = controller->waitForRequest("Second");
    QVERIFY(sentSecond);
    controller->reply(*sentSecond, {{"ERROR", "SUCCESS"}});
    QTRY_COMPARE(order, (QStringList{"first", "second"}));
}

void tst_OruDeviceAgent::destructionCallsNoCallback() {
    bool called = false;
    QJsonObject request{{"CMD", "GetFlyLimit"}};
    agent->sendRequest(request, [&called](const QJsonObject &) { called = true; });
    QVERIFY(controller->waitForRequest("GetFlyLimit"));
    agent.reset();
    QTRY_VERIFY(!controller->isConnected());
    QVERIFY(!called);
}

void tst_OruDeviceAgent::timerFollowsTheChannel() {
    QVERIFY(agent->timerActive());
    controller->close();
    QTRY_VERIFY(!agent->timerActive());
}

QTEST_GUILESS_MAIN(tst_OruDeviceAgent)
#include "tst_orudeviceagent.moc"
