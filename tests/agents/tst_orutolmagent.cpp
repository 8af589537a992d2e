#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>
#include <orutolmagent.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QJsonObject Ok{{"ERROR", "SUCCESS"}};

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value) {
    object.insert(key, value);
    return object;
}

// The aircraft agent with its heartbeat ticked by the test, so every count of
// ticks is exact.
class TickedAgent : public OruTolmAgent {
public:
    TickedAgent()
        : OruTolmAgent(OruGroundStationService::instancePtr()) {
        timer.setInterval(3600 * 1000);
    }
    bool ready() const { return timer.isActive(); }
    using OruTolmAgent::onHeartbeat;
    using OruTolmAgent::pendingReplies;
};

// One waypoint with a speed, one with two of its three commands counted, one
// with an action but no commands.
QJsonObject threeWaypointMission() {
    return json(R"({"LENGTH": 3, "VEL_CMD_RANGE": 15, "IDLE_VEL": 5, "ACTION_ON_FINISH": 1,
        "MISSION_EXEC_NUM": 1, "YAW_MODE": 0, "TRACE_MODE": 0, "ACTION_ON_RC_LOST": 1,
        "GIMBAL_PITCH_MODE": 0, "HP_LATI": 0.698, "HP_LONTI": 2.007, "HP_ALTI": 10, "GOTO_FIRST": 0,
        "WAY_POINTS": [{"INDEX": 0, "LATI": 0.6981, "LONTI": 2.0071, "ALTI": 30.5,
          "DAMPING_DIS": 0.5, "TGT_YAW": 12, "TGT_GIMBAL_PITCH": -30, "TURN_MODE": 1,
          "HAS_SPEED": 1, "SPEED": 3.5, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 100},
         {"INDEX": 1, "LATI": 0.6982, "LONTI": 2.0072, "ALTI": 40, "DAMPING_DIS": 1, "TGT_YAW": -45,
          "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_SPEED": 0, "HAS_ACTION": 1,
          "ACTION_TIME_LIMIT": 600, "ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 1, "COMMAND_LIST": [
            {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": "5"},
            {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": "-90"},
            {"ACTION_TYPE": "WP_ACTION_SIMPLE_SHOT", "PARAM_VALUE": "0"}]}},
         {"INDEX": 2, "LATI": 0.6983, "LONTI": 2.0073, "ALTI": 50, "DAMPING_DIS": 0, "TGT_YAW": 0,
          "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_SPEED": 0, "HAS_ACTION": 1,
          "ACTION_TIME_LIMIT": 0, "ACTION": {"ACTION_NUM": 0, "ACTION_RPT": 0, "COMMAND_LIST": []}}]})");
}

QJsonObject waypoint(int index) {
    return threeWaypointMission().value("WAY_POINTS")[index].toObject();
}

// The waypoints of threeWaypointMission as the controller is sent them.
QJsonObject waypointAsSent(int index) {
    return index != 1 ? waypoint(index) : with(waypoint(1), "ACTION", json(R"({"ACTION_NUM": 2,
        "ACTION_RPT": 1, "COMMAND_LIST": [{"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": 5},
        {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": -90}]})"));
}

QJsonObject positionReply(int position, bool success) {
    const QJsonObject reply = with(Ok, "VALUE", QJsonObject{{"POSITION", position}});
    return success ? reply : with(with(reply, "ERROR", "FAILURE"), "ERROR_CODE", 9);
}

// Keeps the final answer, without the controller's SEQ.
ReplyCallback into(QJsonObject &answer) {
    return [&answer](QJsonObject reply) {
        reply.remove("SEQ");
        answer = reply;
    };
}

} // namespace

// A fresh agent per case on a scripted controller of its own, with a push
// client watching what it broadcasts.
class tst_OruTolmAgent : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase() { agent.reset(); }
    void identity_data();
    void identity();
    void silentControllerIsLostAndKeepsFewRequestsWaiting();
    void upload_data();
    void upload();
    void download_data();
    void download();
    void flyToPoint_data();
    void flyToPoint();

private:
    bool pushSync(); // the push client has all broadcast so far
    bool settled();  // the agent has handled all its controller sent; pushSync()
    QJsonArray pushed(const QString &event) const; // VALUEs pushed in this case
    QJsonArray sentSince(int from) const;          // without the SEQs

    QTemporaryDir home;
    FakeHost host;
    JsonClient push;
    int pushedBefore = 0;
    ScriptedController *controller = nullptr;
    std::unique_ptr<TickedAgent> agent;
    int cases = 0;
    int syncMarks = 0;
};

void tst_OruTolmAgent::initTestCase() {
    QVERIFY(home.isValid());
    QVERIFY(host.startService(home.path()));
    QVERIFY(push.open("/groundstation/push"));
}

void tst_OruTolmAgent::init() {
    agent.reset(); // the last case's agent, and what it broadcasts as it goes
    QVERIFY(pushSync());
    pushedBefore = push.received.size();
    controller = host.controller(QStringLiteral("tolm-%1").arg(++cases));
    controller->answer("GetFlyLimit", Ok);
    agent = std::make_unique<TickedAgent>();
    agent->openChannel(controller->hash());
    // A request sent before the agent's own side is open would be lost.
    QTRY_VERIFY(agent->ready());
}

bool tst_OruTolmAgent::settled() {
    const auto answered = std::make_shared<bool>(false);
    agent->GetFlyLimit([answered](const QJsonObject &) { *answered = true; });
    return QTest::qWaitFor([answered]() { return *answered; }, 5000) && pushSync();
}

bool tst_OruTolmAgent::pushSync() {
    OruGroundStationService::instance().broadcastJson({{"EVENT", "SYNC"}, {"VALUE", ++syncMarks}});
    return QTest::qWaitFor([this]() { return push.events("SYNC").size() == syncMarks; }, 5000);
}

QJsonArray tst_OruTolmAgent::pushed(const QString &event) const {
    QJsonArray values;
    for (const QJsonObject &message : push.received.mid(pushedBefore)) {
        if (message.value("EVENT") == event)
            values << message.value("VALUE");
    }
    return values;
}

QJsonArray tst_OruTolmAgent::sentSince(int from) const {
    QJsonArray sent;
    for (QJsonObject request : controller->requests.mid(from)) {
        request.remove("SEQ");
        sent << request;
    }
    return sent;
}

void tst_OruTolmAgent::identity_data() {
    QTest::addColumn<bool>("serialFirst");
    QTest::addColumn<QJsonObject>("typeReply");
    QTest::addColumn<int>("flightType"); // 255: still unknown, so never announced

    QTest::newRow("serial number, then flight type") << true << with(Ok, "VALUE", 7) << 7;
    QTest::newRow("flight type, then serial number") << false << with(Ok, "VALUE", 7) << 7;
    QTest::newRow("a reply that also names an EVENT is still a reply")
        << true << json(R"({"ERROR": "SUCCESS", "VALUE": 7, "EVENT": "FLIGHT_STATE"})") << 7;
    QTest::newRow("flight type 256 keeps its low byte, 0") << true << with(Ok, "VALUE", 256) << 0;
    QTest::newRow("a flight type without a value is 0") << true << Ok << 0;
    QTest::newRow("flight type 511 keeps its low byte, unknown")
        << true << with(Ok, "VALUE", 511) << 255;
    QTest::newRow("a failing flight type reply changes nothing")
        << true << json(R"({"ERROR": "FAILURE", "VALUE": 3})") << 255;
}

void tst_OruTolmAgent::identity() {
    QFETCH(bool, serialFirst);
    QFETCH(QJsonObject, typeReply);
    QFETCH(int, flightType);

    const QString hash = controller->hash();
    const QString serial = "SN-" + hash;
    agent->onHeartbeat();
    QVERIFY(settled());
    QCOMPARE(sentSince(0), QJsonDocument::fromJson(R"([{"CMD": "GetVersion"},
        {"CMD": "SetBatteryPush", "VALUE": {"FREQ": 1, "TIMEOUT": 10}}, {"CMD": "GetFlightType"},
        {"CMD": "GetSN"}, {"CMD": "GetFlyLimit"}])")
                               .array());

    const QJsonObject serialReply = with(Ok, "VALUE", serial);
    const QJsonObject type = controller->requests.at(2);
    const QJsonObject sn = controller->requests.at(3);
    controller->sendEvent("STEP", QJsonObject{{"AT", "before"}});
    controller->reply(serialFirst ? sn : type, serialFirst ? serialReply : typeReply);
    controller->sendEvent("STEP", QJsonObject{{"AT", "between"}});
    controller->reply(serialFirst ? type : sn, serialFirst ? typeReply : serialReply);
    // The controller's own AIRCRAFT gives way to the serial number.
    controller->sendEvent("STEP", QJsonObject{{"AT", "after"}, {"AIRCRAFT", "other"}});
    // A later tick asks only for what is still unknown.
    QVERIFY(settled());
    agent->onHeartbeat();
    QVERIFY(settled());
    QCOMPARE(controller->requestsNamed("GetFlightType").size(), flightType == 255 ? 2 : 1);
    QCOMPARE(controller->requestsNamed("GetSN").size(), 1);

    const QJsonObject connect{{"AIRCRAFT", serial}, {"FLIGHT_TYPE", flightType}, {"RC", hash}};
    QCOMPARE(pushed("CONNECT"), flightType == 255 ? QJsonArray{} : QJsonArray{connect});
    const QJsonObject between{{"AT", "between"}, {"AIRCRAFT", serial}};
    const QJsonObject after{{"AT", "after"}, {"AIRCRAFT", serial}};
    QCOMPARE(pushed("STEP"), (serialFirst ? QJsonArray{between, after} : QJsonArray{after}));

    // Only an announced aircraft is reported lost when it goes.
    agent.reset();
    QVERIFY(pushSync());
    const QJsonObject lost{{"AIRCRAFT", serial}, {"RC", hash}};
    QCOMPARE(pushed("DISCONNECT"), flightType == 255 ? QJsonArray{} : QJsonArray{lost});
}

void tst_OruTolmAgent::silentControllerIsLostAndKeepsFewRequestsWaiting() {
    controller->answerIdentity("SN-silent", 1);
    agent->onHeartbeat();
    QVERIFY(settled());
    controller->clearRules();
    controller->answer("GetFlyLimit", Ok);
    const auto ticks = [this](int count) {
        for (int i = 0; i < count; ++i)
            agent->onHeartbeat();
        return settled();
    };
    QVERIFY(ticks(9));
    QCOMPARE(agent->SerialNumber(), QStringLiteral("SN-silent"));
    QVERIFY(ticks(1));
    QVERIFY(agent->SerialNumber().isEmpty());
    QCOMPARE(pushed("DISCONNECT").size(), 1);

    // Each of the four kinds of heartbeat request keeps at most ten waiting.
    QVERIFY(ticks(12));
    QCOMPARE(agent->pendingReplies.size(), size_t(4 * 10));
    // Late answers, newest first: the oldest request still waited for sticks.
    const auto serials = controller->requestsNamed("GetSN");
    for (int i = serials.size() - 1; i >= 0; --i)
        controller->reply(serials.at(i), with(Ok, "VALUE", QString::number(i)));
    QVERIFY(settled());
    QCOMPARE(agent->SerialNumber(), QString::number(serials.size() - 10));
}

void tst_OruTolmAgent::upload_data() {
    QTest::addColumn<QJsonObject>("mission");
    QTest::addColumn<int>("failAt");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QJsonArray>("progress");
    QTest::addColumn<bool>("answered");

    const QJsonObject three = threeWaypointMission();
    const QJsonObject lengthZero =
        with(with(three, "LENGTH", 0), "WAY_POINTS", QJsonArray{waypoint(0)});
    QTest::newRow("three waypoints, the last answer ends it")
        << three << -1 << 3 << QJsonArray{25, 50, 75, 100} << true;
    QTest::newRow("a failure at the second waypoint ends with that failure")
        << three << 1 << 2 << QJsonArray{25, 50} << true;
    QTest::newRow("length 0 still sends the first waypoint")
        << lengthZero << -1 << 1 << QJsonArray{100, 200} << true;
    QTest::newRow("a length beyond the list ends without an answer")
        << with(lengthZero, "LENGTH", 3) << -1 << 1 << QJsonArray{25, 50} << false;
}

void tst_OruTolmAgent::upload() {
    QFETCH(QJsonObject, mission);
    QFETCH(int, failAt);
    QFETCH(int, sent);
    QFETCH(QJsonArray, progress);
    QFETCH(bool, answered);

    QJsonObject answer;
    agent->UploadWayLineMission(mission, into(answer));
    const auto header = controller->waitForRequest("UploadWayLineMission");
    QVERIFY(header);
    QCOMPARE(header->value("VALUE").toObject(), mission);
    // A repeated answer must not start a second chain.
    controller->reply(*header, Ok);
    controller->reply(*header, Ok);
    for (int position = 0; position < sent; ++position) {
        const auto point = controller->waitForRequest("UploadWayPoint", position);
        QVERIFY(point);
        QCOMPARE(point->value("VALUE").toObject(), waypointAsSent(position));
        // The next waypoint waits for this one's answer.
        QVERIFY(settled());
        QCOMPARE(controller->requestsNamed("UploadWayPoint").size(), position + 1);
        controller->reply(*point, positionReply(position, position != failAt));
    }
    QVERIFY(settled());
    QCOMPARE(controller->requestsNamed("UploadWayPoint").size(), sent);
    QCOMPARE(pushed("WP_UPLOAD_PROGRESS"), progress);
    QCOMPARE(answer, answered ? positionReply(sent - 1, sent - 1 != failAt) : QJsonObject{});
}

void tst_OruTolmAgent::download_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("failAt"); // -2: the header fails
    QTest::addColumn<QList<int>>("asked");

    QTest::newRow("two waypoints are asked for in order") << 2 << -1 << QList<int>{0, 1};
    QTest::newRow("length 0 still asks for one waypoint") << 0 << -1 << QList<int>{0};
    QTest::newRow("a failing waypoint ends with that failure") << 3 << 1 << QList<int>{0, 1};
    QTest::newRow("a failing header ends at once") << 2 << -2 << QList<int>{};
}

void tst_OruTolmAgent::download() {
    QFETCH(int, length);
    QFETCH(int, failAt);
    QFETCH(QList<int>, asked);

    QJsonObject header = with(threeWaypointMission(), "LENGTH", length);
    header.remove("WAY_POINTS");
    const QJsonObject point = waypoint(1);
    const QJsonObject failure{{"ERROR", "FAILURE"}, {"ERROR_CODE", 4}};
    controller->answer("DownloadWayLineMission",
                       failAt == -2 ? failure : with(Ok, "VALUE", header));
    controller->on("DownloadWayPoint", [&](const QJsonObject &request) {
        const int index = request.value("VALUE")["INDEX"].toInt();
        return std::optional<QJsonObject>(
            index == failAt ? failure : with(Ok, "VALUE", with(point, "INDEX", 10 + index)));
    });

    QJsonObject answer;
    agent->DownloadWayLineMission(into(answer));
    QTRY_VERIFY(!answer.isEmpty());
    QJsonArray requests{json(R"({"CMD": "DownloadWayLineMission"})")};
    QJsonArray points; // the command lists stay with the aircraft
    for (int index : asked) {
        requests << QJsonObject{{"CMD", "DownloadWayPoint"},
                                {"VALUE", QJsonObject{{"INDEX", index}}}};
        points << with(with(point, "INDEX", 10 + index), "ACTION",
                       QJsonObject{{"ACTION_NUM", 2}, {"ACTION_RPT", 1}});
    }
    QCOMPARE(sentSince(0), requests);
    QCOMPARE(answer,
             failAt != -1 ? failure : with(Ok, "VALUE", with(header, "WAY_POINTS", points)));
}

void tst_OruTolmAgent::flyToPoint_data() {
    QTest::addColumn<QJsonObject>("cancelReply");
    QTest::addColumn<bool>("proceeds");

    QTest::newRow("a cancelled mission makes way") << Ok << true;
    QTest::newRow("code 236 counts as nothing to cancel")
        << json(R"({"ERROR": "FAILURE", "ERROR_CODE": 236})") << true;
    QTest::newRow("code 235 ends the chain")
        << json(R"({"ERROR": "FAILURE", "ERROR_CODE": 235})") << false;
}

void tst_OruTolmAgent::flyToPoint() {
    QFETCH(QJsonObject, cancelReply);
    QFETCH(bool, proceeds);

    const QJsonObject started = with(Ok, "VALUE", "started");
    controller->on("StartOrCancelWayLineMission", [&](const QJsonObject &request) {
        const bool cancel = request.value("VALUE")["GO_STOP"] == 1;
        return std::optional<QJsonObject>(cancel ? cancelReply : started);
    });
    controller->answer("UploadWayLineMission", Ok);
    controller->answer("UploadWayPoint", Ok);
    // The flight starts where the identified aircraft last said it was.
    controller->answerIdentity("SN-go", 1);
    agent->onHeartbeat();
    QVERIFY(settled());
    controller->sendEvent("FLIGHT_STATE",
                          QJsonObject{{"LATI", 0.5}, {"LONTI", 1.5}, {"HEIGHT", 20}});
    QVERIFY(settled());
    const int from = controller->requests.size();

    QJsonObject answer;
    agent->ClickGo(json(R"({"VALUE": {"LATI": 0.6, "LONTI": 1.6, "SPEED": 7.5, "HEIGHT": 40}})"),
                   into(answer));
    QTRY_VERIFY(!answer.isEmpty());
    QVERIFY(pushSync());
    QCOMPARE(answer, proceeds ? started : cancelReply);
    const QJsonObject mission = json(R"({"LENGTH": 2, "VEL_CMD_RANGE": 15, "IDLE_VEL": 7.5,
        "ACTION_ON_FINISH": 0, "MISSION_EXEC_NUM": 0, "YAW_MODE": 0, "TRACE_MODE": 0,
        "ACTION_ON_RC_LOST": 0, "GIMBAL_PITCH_MODE": 0, "GOTO_FIRST": 0, "WAY_POINTS": [
          {"INDEX": 0, "LATI": 0.5, "LONTI": 1.5, "ALTI": 40, "DAMPING_DIS": 1, "TGT_YAW": 0,
           "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 50},
          {"INDEX": 1, "LATI": 0.6, "LONTI": 1.6, "ALTI": 40, "DAMPING_DIS": 1, "TGT_YAW": 0,
           "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 50}]})");
    QJsonArray expected{json(R"({"CMD": "StartOrCancelWayLineMission", "VALUE": {"GO_STOP": 1}})"),
                        QJsonObject{{"CMD", "UploadWayLineMission"}, {"VALUE", mission}}};
    for (const QJsonValue &point : mission.value("WAY_POINTS").toArray())
        expected << QJsonObject{{"CMD", "UploadWayPoint"},
                                {"VALUE", with(point.toObject(), "HAS_SPEED", 0)}};
    expected << json(R"({"CMD": "StartOrCancelWayLineMission", "VALUE": {"GO_STOP": 0}})");
    QCOMPARE(sentSince(from), proceeds ? expected : QJsonArray{expected.first()});
    const QJsonArray progress{100.0 / 3, 200.0 / 3, 100};
    QCOMPARE(pushed("WP_UPLOAD_PROGRESS"), proceeds ? progress : QJsonArray{});
}

QTEST_GUILESS_MAIN(tst_OruTolmAgent)
#include "tst_orutolmagent.moc"
