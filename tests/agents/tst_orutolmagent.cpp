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

QJsonObject withoutSeq(QJsonObject message) {
    message.remove("SEQ");
    return message;
}

QJsonObject request(const char *cmd, const QJsonValue &value = QJsonValue::Undefined) {
    return {{"CMD", cmd}, {"VALUE", value}};
}

// Its heartbeat ticked by the test, so every count of ticks is exact.
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
    return index != 1 ? waypoint(index) : with(waypoint(1), {{"ACTION", json(R"({"ACTION_NUM": 2,
        "ACTION_RPT": 1, "COMMAND_LIST": [{"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": 5},
        {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": -90}]})")}});
}

QJsonObject positionReply(int position, bool success) {
    const QJsonObject reply = with(Ok, {{"VALUE", QJsonObject{{"POSITION", position}}}});
    return success ? reply : with(reply, {{"ERROR", "FAILURE"}, {"ERROR_CODE", 9}});
}

} // namespace

// A fresh agent per case on a controller of its own; a push client watches.
class tst_OruTolmAgent : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    FakeHost host;
    JsonClient push;
    ScriptedController *controller = nullptr;
    std::unique_ptr<TickedAgent> agent;
    int cases = 0, syncMarks = 0;
    QJsonObject answer; // the last command's, without the controller's SEQ
    const ReplyCallback intoAnswer = [this](const QJsonObject &reply) {
        answer = withoutSeq(reply);
    };
    // The push client has all broadcast so far.
    bool pushSync() {
        const QJsonObject mark{{"EVENT", "SYNC"}, {"VALUE", ++syncMarks}};
        OruGroundStationService::instance().broadcastJson(mark);
        return QTest::qWaitFor([&]() { return push.received.contains(mark); }, 5000);
    }
    // The agent has handled all its controller sent, and pushSync().
    bool settled() {
        const auto answered = std::make_shared<bool>(false);
        agent->GetFlyLimit([answered](const QJsonObject &) { *answered = true; });
        return QTest::qWaitFor([answered]() { return *answered; }, 5000) && pushSync();
    }
    QJsonArray pushed(const QString &event) const {
        QJsonArray values;
        for (const QJsonObject &message : push.events(event))
            values << message.value("VALUE");
        return values;
    }
    QJsonArray sent() const {
        QJsonArray sent;
        for (const QJsonObject &request : controller->requests)
            sent << withoutSeq(request);
        return sent;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home.isValid() && host.startService(home.path()));
        QVERIFY(push.open("/groundstation/push"));
    }
    void init() {
        agent.reset(); // the last case's agent, and what it broadcasts as it goes
        QVERIFY(pushSync());
        push.received.clear();
        answer = {};
        controller = host.controller(QStringLiteral("tolm-%1").arg(++cases));
        controller->answer("GetFlyLimit", Ok);
        agent = std::make_unique<TickedAgent>();
        agent->openChannel(controller->hash());
        // A request sent before the agent's own side is open would be lost.
        QTRY_VERIFY(agent->ready());
    }
    void cleanupTestCase() { agent.reset(); }

    void identity_data() {
        QTest::addColumn<QJsonObject>("typeReply");
        QTest::addColumn<int>("flightType"); // 255: still unknown, so never announced

        const auto type = [](int value) { return with(Ok, {{"VALUE", value}}); };
        // The other order is the one every identity in the service's tests takes.
        QTest::newRow("serial number, then flight type") << type(7) << 7;
        QTest::newRow("a reply that also names an EVENT is still a reply")
            << with(type(7), {{"EVENT", "FLIGHT_STATE"}}) << 7;
        QTest::newRow("flight type 256 keeps its low byte, 0") << type(256) << 0;
        QTest::newRow("a flight type without a value is 0") << Ok << 0;
        QTest::newRow("flight type 511 keeps its low byte, unknown") << type(511) << 255;
        QTest::newRow("a failing flight type reply changes nothing")
            << json(R"({"ERROR": "FAILURE", "VALUE": 3})") << 255;
    }
    void identity() {
        QFETCH(QJsonObject, typeReply);
        QFETCH(int, flightType);

        const QString hash = controller->hash(), serial = "SN-" + hash;
        agent->onHeartbeat();
        QVERIFY(settled());
        QCOMPARE(sent(),
                 (QJsonArray{request("GetVersion"),
                             request("SetBatteryPush", QJsonObject{{"FREQ", 1}, {"TIMEOUT", 10}}),
                             request("GetFlightType"), request("GetSN"), request("GetFlyLimit")}));

        controller->sendEvent("STEP", QJsonObject{{"AT", "before"}});
        controller->reply(controller->requests.at(3), with(Ok, {{"VALUE", serial}}));
        controller->sendEvent("STEP", QJsonObject{{"AT", "between"}});
        controller->reply(controller->requests.at(2), typeReply);
        // The controller's own AIRCRAFT gives way to the serial number.
        controller->sendEvent("STEP", QJsonObject{{"AT", "after"}, {"AIRCRAFT", "other"}});
        // A later tick asks only for what is still unknown.
        QVERIFY(settled());
        agent->onHeartbeat();
        QVERIFY(settled());
        QCOMPARE(controller->requestsNamed("GetFlightType").size(), flightType == 255 ? 2 : 1);
        QCOMPARE(controller->requestsNamed("GetSN").size(), 1);

        const QJsonObject lost{{"AIRCRAFT", serial}, {"RC", hash}};
        const QJsonArray connect{with(lost, {{"FLIGHT_TYPE", flightType}})};
        QCOMPARE(pushed("CONNECT"), flightType == 255 ? QJsonArray{} : connect);
        const QJsonObject after{{"AT", "after"}, {"AIRCRAFT", serial}};
        QCOMPARE(pushed("STEP"), (QJsonArray{with(after, {{"AT", "between"}}), after}));

        // Only an announced aircraft is reported lost when it goes.
        agent.reset();
        QVERIFY(pushSync());
        QCOMPARE(pushed("DISCONNECT"), flightType == 255 ? QJsonArray{} : QJsonArray{lost});
    }

    void silentControllerIsLostAndKeepsFewRequestsWaiting() {
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

        // Each of the four kinds of heartbeat request keeps ten minutes of ticks waiting.
        QVERIFY(ticks(1200));
        QCOMPARE(agent->pendingReplies.size(), size_t(4 * 1200));
        // Late answers, newest first: the oldest request still waited for sticks.
        const auto serials = controller->requestsNamed("GetSN");
        for (int i = serials.size() - 1; i >= 0; --i)
            controller->reply(serials.at(i), with(Ok, {{"VALUE", QString::number(i)}}));
        QVERIFY(settled());
        QCOMPARE(agent->SerialNumber(), QString::number(serials.size() - 1200));
    }

    void controllerSixSecondsLateKeepsItsAircraftUntilItFallsSilent() {
        const auto answer = [](const QJsonObject &request) {
            const QString cmd = request.value("CMD").toString();
            return cmd == "GetSN"           ? with(Ok, {{"VALUE", "SN-late"}})
                   : cmd == "GetFlightType" ? with(Ok, {{"VALUE", 1}})
                                            : Ok;
        };
        QList<QList<QJsonObject>> sentAt; // per tick
        for (int tick = 0; tick < 51; ++tick) {
            const int before = controller->requests.size();
            agent->onHeartbeat();
            QVERIFY(settled());
            sentAt << controller->requests.mid(before);
            // Twelve ticks (six seconds) late, then silent: lost ten ticks after the last reply.
            if (tick >= 12 && tick < 40) {
                for (const QJsonObject &request : sentAt.at(tick - 12))
                    controller->reply(request, answer(request));
            }
            QCOMPARE(pushed("DISCONNECT").size(), tick < 50 ? 0 : 1);
        }
        QCOMPARE(pushed("CONNECT").size(), 1);
    }

    void upload_data() {
        QTest::addColumn<QJsonObject>("mission");
        QTest::addColumn<int>("failAt");
        QTest::addColumn<int>("sent");
        QTest::addColumn<QJsonArray>("progress");
        QTest::addColumn<bool>("answered");

        const QJsonObject three = threeWaypointMission();
        const QJsonObject lengthZero =
            with(three, {{"LENGTH", 0}, {"WAY_POINTS", QJsonArray{waypoint(0)}}});
        QTest::newRow("three waypoints, the last answer ends it")
            << three << -1 << 3 << QJsonArray{25, 50, 75, 100} << true;
        QTest::newRow("a failure at the second waypoint ends with that failure")
            << three << 1 << 2 << QJsonArray{25, 50} << true;
        QTest::newRow("length 0 still sends the first waypoint")
            << lengthZero << -1 << 1 << QJsonArray{100, 200} << true;
        QTest::newRow("a length beyond the list ends without an answer")
            << with(lengthZero, {{"LENGTH", 3}}) << -1 << 1 << QJsonArray{25, 50} << false;
    }
    void upload() {
        QFETCH(QJsonObject, mission);
        QFETCH(int, failAt);
        QFETCH(int, sent);
        QFETCH(QJsonArray, progress);
        QFETCH(bool, answered);

        agent->UploadWayLineMission(mission, intoAnswer);
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
            controller->reply(*point, positionReply(position, position != failAt));
        }
        // Nothing more goes out, so the waypoints were not sent ahead of their answers.
        QVERIFY(settled());
        QCOMPARE(controller->requestsNamed("UploadWayPoint").size(), sent);
        QCOMPARE(pushed("WP_UPLOAD_PROGRESS"), progress);
        QCOMPARE(answer, answered ? positionReply(sent - 1, sent - 1 != failAt) : QJsonObject{});
    }

    void download_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("failAt"); // -2: the header fails
        QTest::addColumn<QList<int>>("asked");

        QTest::newRow("two waypoints are asked for in order") << 2 << -1 << QList<int>{0, 1};
        QTest::newRow("length 0 still asks for one waypoint") << 0 << -1 << QList<int>{0};
        QTest::newRow("a failing waypoint ends with that failure") << 3 << 1 << QList<int>{0, 1};
        QTest::newRow("a failing header ends at once") << 2 << -2 << QList<int>{};
    }
    void download() {
        QFETCH(int, length);
        QFETCH(int, failAt);
        QFETCH(QList<int>, asked);

        QJsonObject header = with(threeWaypointMission(), {{"LENGTH", length}});
        header.remove("WAY_POINTS");
        const QJsonObject point = waypoint(1);
        const QJsonObject failure{{"ERROR", "FAILURE"}, {"ERROR_CODE", 4}};
        controller->answer("DownloadWayLineMission",
                           failAt == -2 ? failure : with(Ok, {{"VALUE", header}}));
        controller->on("DownloadWayPoint", [&](const QJsonObject &request) {
            const int index = request.value("VALUE")["INDEX"].toInt();
            return std::optional<QJsonObject>(
                index == failAt ? failure
                                : with(Ok, {{"VALUE", with(point, {{"INDEX", 10 + index}})}}));
        });

        agent->DownloadWayLineMission(intoAnswer);
        QTRY_VERIFY(!answer.isEmpty());
        QJsonArray requests{request("DownloadWayLineMission")};
        QJsonArray points; // the command lists stay with the aircraft
        for (int index : asked) {
            requests << request("DownloadWayPoint", QJsonObject{{"INDEX", index}});
            points << with(point, {{"INDEX", 10 + index},
                                   {"ACTION", QJsonObject{{"ACTION_NUM", 2}, {"ACTION_RPT", 1}}}});
        }
        QCOMPARE(sent(), requests);
        QCOMPARE(answer, failAt != -1
                             ? failure
                             : with(Ok, {{"VALUE", with(header, {{"WAY_POINTS", points}})}}));
    }

    void flyToPoint_data() {
        QTest::addColumn<QJsonObject>("cancelReply");
        QTest::addColumn<bool>("proceeds");

        QTest::newRow("a cancelled mission makes way") << Ok << true;
        QTest::newRow("code 235 ends the chain")
            << json(R"({"ERROR": "FAILURE", "ERROR_CODE": 235})") << false;
    }
    void flyToPoint() {
        QFETCH(QJsonObject, cancelReply);
        QFETCH(bool, proceeds);

        const QJsonObject started = with(Ok, {{"VALUE", "started"}});
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
        controller->requests.clear();

        agent->ClickGo(
            json(R"({"VALUE": {"LATI": 0.6, "LONTI": 1.6, "SPEED": 7.5, "HEIGHT": 40}})"),
            intoAnswer);
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
        QJsonArray expected{request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 1}}),
                            request("UploadWayLineMission", mission)};
        for (const auto &point : mission.value("WAY_POINTS").toArray())
            expected << request("UploadWayPoint", with(point.toObject(), {{"HAS_SPEED", 0}}));
        expected << request("StartOrCancelWayLineMission", QJsonObject{{"GO_STOP", 0}});
        QCOMPARE(sent(), proceeds ? expected : QJsonArray{expected.first()});
        const QJsonArray progress{100.0 / 3, 200.0 / 3, 100};
        QCOMPARE(pushed("WP_UPLOAD_PROGRESS"), proceeds ? progress : QJsonArray{});
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_OruTolmAgent)
#include "tst_orutolmagent.moc"
