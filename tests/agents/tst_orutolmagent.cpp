#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>
#include <orutolmagent.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// The aircraft agent against a scripted controller, watched from a web client
// on "/groundstation" and a push client on "/groundstation/push".
class tst_OruTolmAgent : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void firstTicksAskForIdentityInOrder();
    void identityCompletesOnce_data();
    void identityCompletesOnce();
    void flightTypeReply_data();
    void flightTypeReply();
    void lossIsAnnouncedAtTheTenthSilentTick();
    void removalAnnouncesOnlyAnAnnouncedAircraft_data();
    void removalAnnouncesOnlyAnAnnouncedAircraft();
    void missionLimitsAreAnsweredAtOnce();
    void uploadSendsOneWaypointAtATime();
    void uploadEnds_data();
    void uploadEnds();
    void download_data();
    void download();
    void flyToPoint_data();
    void flyToPoint();
    void silentControllerKeepsFewRequestsWaiting();
    void wholeLifeOfAnAircraft();

private:
    QString newHash() { return QStringLiteral("tolm-%1").arg(++hashCounter); }
    ScriptedController *attach(const QString &hash);
    void remove(const QString &hash);
    // The agent has handled everything that reached it before: its answer to
    // a web command comes back behind it on every channel.
    bool roundTrip(const QString &serial = QStringLiteral("SN-FLEET"));
    // Every broadcast made before this relayed event has reached the push client.
    bool pushSync(ScriptedController *controller);
    QList<QJsonObject> pushed(const QString &event, const QString &key,
                              const QJsonValue &value) const;
    QJsonObject listed(const QString &hash);
    QVector<double> progressSince(int from) const;
    QStringList commandsSince(ScriptedController *controller, int from) const;

    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;
    ScriptedController *fleet = nullptr; // one aircraft that stays for the whole run
    QStringList attached;
    int hashCounter = 0;
    int syncMarks = 0;
};

namespace {

const QString FleetSerial = QStringLiteral("SN-FLEET");
const QJsonObject Ok{{"ERROR", "SUCCESS"}};

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value) {
    object.insert(key, value);
    return object;
}

QJsonObject withoutSeq(QJsonObject object) {
    object.remove("SEQ");
    return object;
}

// One waypoint with a speed, one with two of its three commands counted, one
// with an action but no commands.
QJsonObject threeWaypointMission() {
    return json(R"({"LENGTH": 3, "VEL_CMD_RANGE": 15, "IDLE_VEL": 5, "ACTION_ON_FINISH": 1,
        "MISSION_EXEC_NUM": 1, "YAW_MODE": 0, "TRACE_MODE": 0, "ACTION_ON_RC_LOST": 1,
        "GIMBAL_PITCH_MODE": 0, "HP_LATI": 0.698, "HP_LONTI": 2.007, "HP_ALTI": 10, "GOTO_FIRST": 0,
        "WAY_POINTS": [
          {"INDEX": 0, "LATI": 0.6981, "LONTI": 2.0071, "ALTI": 30.5, "DAMPING_DIS": 0.5,
           "TGT_YAW": 12, "TGT_GIMBAL_PITCH": -30, "TURN_MODE": 1, "HAS_SPEED": 1, "SPEED": 3.5,
           "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 100},
          {"INDEX": 1, "LATI": 0.6982, "LONTI": 2.0072, "ALTI": 40, "DAMPING_DIS": 1,
           "TGT_YAW": -45, "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_SPEED": 0,
           "HAS_ACTION": 1, "ACTION_TIME_LIMIT": 600,
           "ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 1, "COMMAND_LIST": [
             {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": "5"},
             {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": "-90"},
             {"ACTION_TYPE": "WP_ACTION_SIMPLE_SHOT", "PARAM_VALUE": "0"}]}},
          {"INDEX": 2, "LATI": 0.6983, "LONTI": 2.0073, "ALTI": 50, "DAMPING_DIS": 0,
           "TGT_YAW": 0, "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_SPEED": 0,
           "HAS_ACTION": 1, "ACTION_TIME_LIMIT": 0,
           "ACTION": {"ACTION_NUM": 0, "ACTION_RPT": 0, "COMMAND_LIST": []}}]})");
}

// The waypoints of threeWaypointMission as the controller is sent them.
QJsonArray threeWaypointsAsSent() {
    const QJsonArray points = threeWaypointMission().value("WAY_POINTS").toArray();
    const QJsonObject action = json(R"({"ACTION_NUM": 2, "ACTION_RPT": 1, "COMMAND_LIST": [
        {"ACTION_TYPE": "WP_ACTION_STAY", "PARAM_VALUE": 5},
        {"ACTION_TYPE": "WP_ACTION_CRAFT_YAW", "PARAM_VALUE": -90}]})");
    return {points.at(0), with(points.at(1).toObject(), "ACTION", action), points.at(2)};
}

QJsonObject positionReply(int position, bool success = true) {
    QJsonObject reply{{"ERROR", success ? "SUCCESS" : "FAILURE"},
                      {"VALUE", QJsonObject{{"POSITION", position}}}};
    if (!success)
        reply.insert("ERROR_CODE", 9);
    return reply;
}

} // namespace

void tst_OruTolmAgent::initTestCase() {
    QVERIFY(home.isValid());
    QVERIFY(host.startService(home.path()));
    QVERIFY(web.open("/groundstation"));
    QVERIFY(push.open("/groundstation/push"));
    fleet = host.controller("fleet");
    fleet->answerIdentity(FleetSerial, 1);
    QVERIFY(attach("fleet"));
    QTRY_COMPARE(pushed("CONNECT", "RC", "fleet").size(), 1);
    attached.clear(); // the fleet stays
}

void tst_OruTolmAgent::cleanup() {
    // Rules may hold references into the test that just ended.
    for (const QString &hash : qAsConst(attached))
        host.controller(hash)->clearRules();
    for (const QString &hash : qAsConst(attached))
        remove(hash);
    attached.clear();
    fleet->clearRules();
    fleet->answerIdentity(FleetSerial, 1);
    fleet->answer("GetFlyLimit", Ok);
}

ScriptedController *tst_OruTolmAgent::attach(const QString &hash) {
    ScriptedController *controller = host.controller(hash);
    controller->answer("GetFlyLimit", Ok);
    attached << hash;
    host.announceArrival("Tolm_2014_RX", hash);
    return QTest::qWaitFor([controller]() { return controller->isConnected(); }, 5000) ? controller
                                                                                       : nullptr;
}

void tst_OruTolmAgent::remove(const QString &hash) {
    host.announceRemoval(hash);
    QTRY_VERIFY(!host.controller(hash)->isConnected());
}

bool tst_OruTolmAgent::roundTrip(const QString &serial) {
    const auto reply = web.call("GetFlyLimit", {{"AIRCRAFT", serial}});
    return reply && reply->value("ERROR") == "SUCCESS";
}

bool tst_OruTolmAgent::pushSync(ScriptedController *controller) {
    const int mark = ++syncMarks;
    controller->sendEvent("SYNC", QJsonObject{{"MARK", mark}});
    return QTest::qWaitFor([&]() { return !pushed("SYNC", "MARK", mark).isEmpty(); }, 5000);
}

QList<QJsonObject> tst_OruTolmAgent::pushed(const QString &event, const QString &key,
                                            const QJsonValue &value) const {
    QList<QJsonObject> matching;
    for (const QJsonObject &message : push.events(event)) {
        if (message.value("VALUE")[key] == value)
            matching << message;
    }
    return matching;
}

QJsonObject tst_OruTolmAgent::listed(const QString &hash) {
    const auto list = web.call("GetAircraftList");
    for (const QJsonValue &aircraft : list.value_or(QJsonObject{}).value("VALUE").toArray()) {
        if (aircraft["RC"] == hash)
            return aircraft.toObject();
    }
    return {};
}

QVector<double> tst_OruTolmAgent::progressSince(int from) const {
    QVector<double> values;
    for (const QJsonObject &event : push.events("WP_UPLOAD_PROGRESS").mid(from))
        values << event.value("VALUE").toDouble();
    return values;
}

// Without the heartbeat and the test's own round trips.
QStringList tst_OruTolmAgent::commandsSince(ScriptedController *controller, int from) const {
    static const QStringList background{"GetVersion", "SetBatteryPush", "GetFlightType", "GetSN",
                                        "GetFlyLimit"};
    QStringList names;
    for (const QJsonObject &request : controller->requests.mid(from)) {
        if (!background.contains(request.value("CMD").toString()))
            names << request.value("CMD").toString();
    }
    return names;
}

void tst_OruTolmAgent::firstTicksAskForIdentityInOrder() {
    ScriptedController *controller = attach(newHash());
    QVERIFY(controller);
    QTRY_VERIFY(controller->requests.size() >= 8);
    QStringList seen;
    for (const QJsonObject &request : controller->requests.mid(0, 8))
        seen << request.value("CMD").toString();
    const QStringList tick{"GetVersion", "SetBatteryPush", "GetFlightType", "GetSN"};
    QCOMPARE(seen, tick + tick);
    QCOMPARE(withoutSeq(controller->requests.at(1)),
             json(R"({"CMD": "SetBatteryPush", "VALUE": {"FREQ": 1, "TIMEOUT": 10}})"));
}

void tst_OruTolmAgent::identityCompletesOnce_data() {
    QTest::addColumn<bool>("serialFirst");
    QTest::addColumn<QStringList>("relayed");
    QTest::newRow("serial number answered first") << true << QStringList{"between", "after"};
    QTest::newRow("flight type answered first") << false << QStringList{"after"};
}

void tst_OruTolmAgent::identityCompletesOnce() {
    QFETCH(bool, serialFirst);
    QFETCH(QStringList, relayed);
    const QString hash = newHash();
    const QString serial = "SN-" + hash;
    ScriptedController *controller = host.controller(hash);
    controller->answer("GetVersion", Ok);
    QVERIFY(attach(hash));
    const auto sn = controller->waitForRequest("GetSN");
    const auto type = controller->waitForRequest("GetFlightType");
    QVERIFY(sn && type);

    const QJsonObject serialReply = with(Ok, "VALUE", serial);
    const QJsonObject typeReply = with(Ok, "VALUE", 7);
    controller->sendEvent("STEP", QJsonObject{{"AT", "before"}});
    controller->reply(serialFirst ? *sn : *type, serialFirst ? serialReply : typeReply);
    controller->sendEvent("STEP", QJsonObject{{"AT", "between"}});
    controller->reply(serialFirst ? *type : *sn, serialFirst ? typeReply : serialReply);
    // The controller's own AIRCRAFT gives way to the serial number.
    controller->sendEvent("STEP", QJsonObject{{"AT", "after"}, {"AIRCRAFT", "other"}});
    QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 1);
    QCOMPARE(pushed("CONNECT", "RC", hash).first().value("VALUE").toObject(),
             (QJsonObject{{"AIRCRAFT", serial}, {"FLIGHT_TYPE", 7}, {"RC", hash}}));

    // Later ticks may have asked again; their answers announce nothing more.
    for (const QJsonObject &request : controller->requests)
        controller->reply(request, request["CMD"] == "GetSN" ? serialReply : typeReply);
    QVERIFY(pushSync(controller));
    QCOMPARE(pushed("CONNECT", "RC", hash).size(), 1);
    QStringList steps;
    for (const QJsonObject &event : push.events("STEP")) {
        if (event.value("VALUE")["AIRCRAFT"] == serial)
            steps << event.value("VALUE")["AT"].toString();
    }
    QCOMPARE(steps, relayed);
}

void tst_OruTolmAgent::flightTypeReply_data() {
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<int>("expected"); // 255: still unknown

    QTest::newRow("3 is a flight type") << with(Ok, "VALUE", 3) << 3;
    QTest::newRow("255 stays unknown") << with(Ok, "VALUE", 255) << 255;
    QTest::newRow("511 keeps its low byte, unknown") << with(Ok, "VALUE", 511) << 255;
    QTest::newRow("256 keeps its low byte, 0") << with(Ok, "VALUE", 256) << 0;
    QTest::newRow("a missing value gives 0") << Ok << 0;
    QTest::newRow("a failing reply changes nothing")
        << json(R"({"ERROR": "FAILURE", "VALUE": 3})") << 255;
}

void tst_OruTolmAgent::flightTypeReply() {
    QFETCH(QJsonObject, reply);
    QFETCH(int, expected);
    const QString hash = newHash();
    ScriptedController *controller = host.controller(hash);
    controller->answerIdentity("SN-" + hash, 0);
    controller->answer("GetFlightType", reply);
    QVERIFY(attach(hash));

    if (expected != 255) {
        QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 1);
        QCOMPARE(pushed("CONNECT", "RC", hash).first().value("VALUE")["FLIGHT_TYPE"],
                 QJsonValue(expected));
        return;
    }
    QVERIFY(controller->waitForRequest("GetFlightType") && controller->waitForRequest("GetSN"));
    QVERIFY(pushSync(controller));
    QVERIFY(pushed("CONNECT", "RC", hash).isEmpty());
    QCOMPARE(listed(hash).value("FLIGHT_TYPE"), QJsonValue(255));
    // Still unknown, so a later tick asks again.
    QVERIFY(controller->waitForRequest("GetFlightType",
                                       controller->requestsNamed("GetFlightType").size()));
}

void tst_OruTolmAgent::lossIsAnnouncedAtTheTenthSilentTick() {
    const QString hash = newHash();
    const QString serial = "SN-" + hash;
    ScriptedController *controller = host.controller(hash);
    bool alive = true;
    int goodVersions = 0;
    const auto whileAlive = [&](const QJsonObject &reply) {
        return [&alive, reply](const QJsonObject &) {
            return alive ? std::optional<QJsonObject>(reply) : std::nullopt;
        };
    };
    controller->on("GetVersion", [&](const QJsonObject &) -> std::optional<QJsonObject> {
        if (!alive)
            return std::nullopt;
        ++goodVersions;
        return Ok;
    });
    controller->on("GetSN", whileAlive(with(Ok, "VALUE", serial)));
    controller->on("GetFlightType", whileAlive(with(Ok, "VALUE", 3)));
    QVERIFY(attach(hash));
    QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 1);
    QVERIFY(controller->waitForRequest("GetVersion", goodVersions + 1));

    alive = false;
    const int lastGood = goodVersions - 1;
    const int lastGoodAt =
        controller->requests.indexOf(controller->requestsNamed("GetVersion").at(lastGood));
    QTRY_COMPARE_WITH_TIMEOUT(pushed("DISCONNECT", "RC", hash).size(), 1, 15000);
    QCOMPARE(pushed("DISCONNECT", "RC", hash).first().value("VALUE").toObject(),
             (QJsonObject{{"AIRCRAFT", serial}, {"RC", hash}}));
    QVERIFY(listed(hash).isEmpty());

    // Ten ticks after the last good reply the loss is announced; the next
    // tick asks for the identity again.
    QVERIFY(controller->waitForRequest("GetSN", controller->requestsNamed("GetSN").size()));
    int versionsBefore = 0;
    for (int i = 0; i < controller->requests.size(); ++i) {
        const QJsonValue name = controller->requests.at(i).value("CMD");
        if (name == "GetSN" && i > lastGoodAt)
            break;
        versionsBefore += name == "GetVersion";
    }
    QCOMPARE(versionsBefore, lastGood + 1 + 11);

    alive = true;
    QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 2);
    remove(hash);
    QVERIFY(pushSync(fleet));
    QCOMPARE(pushed("DISCONNECT", "RC", hash).size(), 2);
}

void tst_OruTolmAgent::removalAnnouncesOnlyAnAnnouncedAircraft_data() {
    QTest::addColumn<bool>("announced");
    QTest::newRow("an announced aircraft is reported lost") << true;
    QTest::newRow("a device never identified goes quietly") << false;
}

void tst_OruTolmAgent::removalAnnouncesOnlyAnAnnouncedAircraft() {
    QFETCH(bool, announced);
    const QString hash = newHash();
    ScriptedController *controller = host.controller(hash);
    if (announced)
        controller->answerIdentity("SN-" + hash, 1);
    QVERIFY(attach(hash));
    QVERIFY(controller->waitForRequest("GetVersion"));
    if (announced)
        QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 1);

    remove(hash);
    QVERIFY(pushSync(fleet));
    const auto lost = pushed("DISCONNECT", "RC", hash);
    QCOMPARE(lost.size(), announced ? 1 : 0);
    if (announced)
        QCOMPARE(lost.first().value("VALUE").toObject(),
                 (QJsonObject{{"AIRCRAFT", "SN-" + hash}, {"RC", hash}}));
}

void tst_OruTolmAgent::missionLimitsAreAnsweredAtOnce() {
    OruTolmAgent agent(OruGroundStationService::instancePtr());
    QJsonObject limits;
    agent.GetMissionLimits([&limits](const QJsonObject &reply) { limits = reply; });
    QCOMPARE(limits, json(R"({"MAX_POINTS": 50, "MAX_FLIGHT_TIME": 28, "MAX_SPEED": 20})"));
}

void tst_OruTolmAgent::uploadSendsOneWaypointAtATime() {
    const QJsonObject mission = threeWaypointMission();
    const QJsonArray expected = threeWaypointsAsSent();
    const int headers = fleet->requestsNamed("UploadWayLineMission").size();
    const int points = fleet->requestsNamed("UploadWayPoint").size();
    const int progress = push.events("WP_UPLOAD_PROGRESS").size();

    const QString seq =
        web.send("UploadWayLineMission", {{"AIRCRAFT", FleetSerial}, {"WAYLINE", mission}});
    const auto header = fleet->waitForRequest("UploadWayLineMission", headers);
    QVERIFY(header);
    QCOMPARE(header->value("VALUE").toObject(), mission);
    QVERIFY(roundTrip());
    QCOMPARE(fleet->requestsNamed("UploadWayPoint").size(), points);
    fleet->reply(*header, Ok);

    for (int position = 0; position < 3; ++position) {
        const auto point = fleet->waitForRequest("UploadWayPoint", points + position);
        QVERIFY(point);
        QCOMPARE(point->value("VALUE").toObject(), expected.at(position).toObject());
        QVERIFY(roundTrip());
        QCOMPARE(fleet->requestsNamed("UploadWayPoint").size(), points + position + 1);
        fleet->reply(*point, positionReply(position));
    }
    const auto answered = web.waitForSeq(seq);
    QVERIFY(answered);
    QCOMPARE(withoutSeq(*answered), with(positionReply(2), "CMD", "UploadWayLineMission"));
    QVERIFY(pushSync(fleet));
    QCOMPARE(progressSince(progress), (QVector<double>{25, 50, 75, 100}));
}

void tst_OruTolmAgent::uploadEnds_data() {
    QTest::addColumn<QJsonObject>("mission");
    QTest::addColumn<int>("failAt");
    QTest::addColumn<int>("sentPoints");
    QTest::addColumn<QVector<double>>("progress");
    QTest::addColumn<QJsonObject>("reply"); // empty: the client gets none

    const QJsonObject three = threeWaypointMission();
    const QJsonObject lengthZero =
        with(with(three, "LENGTH", 0), "WAY_POINTS", QJsonArray{threeWaypointsAsSent().at(0)});
    QTest::newRow("a failure at the second waypoint ends with that failure")
        << three << 1 << 2 << QVector<double>{25, 50} << positionReply(1, false);
    QTest::newRow("length 0 still sends the first waypoint")
        << lengthZero << -1 << 1 << QVector<double>{100, 200} << positionReply(0);
    QTest::newRow("a length beyond the list ends without a reply")
        << with(lengthZero, "LENGTH", 3) << -1 << 1 << QVector<double>{25, 50} << QJsonObject{};
}

void tst_OruTolmAgent::uploadEnds() {
    QFETCH(QJsonObject, mission);
    QFETCH(int, failAt);
    QFETCH(int, sentPoints);
    QFETCH(QVector<double>, progress);
    QFETCH(QJsonObject, reply);

    const int points = fleet->requestsNamed("UploadWayPoint").size();
    const int progressFrom = push.events("WP_UPLOAD_PROGRESS").size();
    fleet->answer("UploadWayLineMission", Ok);
    fleet->on("UploadWayPoint", [&](const QJsonObject &) {
        const int position = fleet->requestsNamed("UploadWayPoint").size() - points - 1;
        return std::optional<QJsonObject>(positionReply(position, position != failAt));
    });

    const QString seq =
        web.send("UploadWayLineMission", {{"AIRCRAFT", FleetSerial}, {"WAYLINE", mission}});
    if (reply.isEmpty())
        QTRY_COMPARE(progressSince(progressFrom).size(), progress.size());
    else
        QVERIFY(web.waitForSeq(seq));
    QVERIFY(roundTrip());
    QVERIFY(pushSync(fleet));
    QCOMPARE(progressSince(progressFrom), progress);
    QCOMPARE(fleet->requestsNamed("UploadWayPoint").size(), points + sentPoints);
    const auto answer =
        std::find_if(web.received.cbegin(), web.received.cend(),
                     [&](const QJsonObject &message) { return message["SEQ"] == seq; });
    QCOMPARE(answer == web.received.cend() ? QJsonObject{} : withoutSeq(*answer),
             reply.isEmpty() ? reply : with(reply, "CMD", "UploadWayLineMission"));
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

    const QJsonObject header = with(json(R"({"VEL_CMD_RANGE": 15, "IDLE_VEL": 4.5,
        "ACTION_ON_FINISH": 1, "MISSION_EXEC_NUM": 2, "YAW_MODE": 1, "TRACE_MODE": 0,
        "ACTION_ON_RC_LOST": 1, "GIMBAL_PITCH_MODE": 1, "HP_LATI": 0.698, "HP_LONTI": 2.007,
        "HP_ALTI": 10.5, "GOTO_FIRST": 1})"),
                                    "LENGTH", length);
    // As the controller has it: commands by name, the stay in milliseconds.
    const QJsonObject point = json(R"({"INDEX": 10, "LATI": 0.7, "LONTI": 2.0, "ALTI": 20.5,
        "DAMPING_DIS": 0.5, "TGT_YAW": 45.7, "TGT_GIMBAL_PITCH": -30, "TURN_MODE": 1,
        "HAS_SPEED": 1, "SPEED": 2.5, "HAS_ACTION": 1, "ACTION_TIME_LIMIT": 300,
        "ACTION": {"ACTION_NUM": 2, "ACTION_RPT": 1,
                   "COMMAND_LIST": {"WP_ACTION_STAY": 5000, "WP_ACTION_CRAFT_YAW": 90}}})");
    const QJsonObject failure{{"ERROR", "FAILURE"}, {"ERROR_CODE", 4}};
    fleet->answer("DownloadWayLineMission", failAt == -2 ? failure : with(Ok, "VALUE", header));
    fleet->on("DownloadWayPoint", [&](const QJsonObject &request) {
        const int index = request.value("VALUE")["INDEX"].toInt();
        return std::optional<QJsonObject>(
            index == failAt ? failure : with(Ok, "VALUE", with(point, "INDEX", 10 + index)));
    });
    const int from = fleet->requests.size();

    const auto answered = web.call("DownloadWayLineMission", {{"AIRCRAFT", FleetSerial}});
    QVERIFY(answered);
    QList<int> indices;
    for (const QJsonObject &request : fleet->requestsNamed("DownloadWayPoint"))
        indices << request.value("VALUE")["INDEX"].toInt();
    QStringList expected{"DownloadWayLineMission"};
    for (int i = 0; i < asked.size(); ++i)
        expected << "DownloadWayPoint";
    QCOMPARE(commandsSince(fleet, from), expected);
    QCOMPARE(indices.mid(indices.size() - asked.size()), asked);
    QVERIFY(!fleet->requestsNamed("DownloadWayLineMission").last().contains("VALUE"));

    if (failAt != -1) {
        QCOMPARE(withoutSeq(*answered), with(failure, "CMD", "DownloadWayLineMission"));
        return;
    }
    QJsonArray points;
    for (int index : asked) {
        points << with(with(with(point, "INDEX", 10 + index), "TGT_YAW", 45), "ACTION",
                       QJsonObject{{"ACTION_NUM", 2}, {"ACTION_RPT", 1}});
    }
    QCOMPARE(answered->value("ERROR"), QJsonValue("SUCCESS"));
    QCOMPARE(answered->value("VALUE").toObject(), with(header, "WAY_POINTS", points));
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
    fleet->on("StartOrCancelWayLineMission", [&](const QJsonObject &request) {
        const bool cancel = request.value("VALUE")["GO_STOP"] == 1;
        return std::optional<QJsonObject>(cancel ? cancelReply : started);
    });
    fleet->answer("UploadWayLineMission", Ok);
    fleet->answer("UploadWayPoint", Ok);
    const int states = push.events("FLIGHT_STATE").size();
    fleet->sendEvent("FLIGHT_STATE", QJsonObject{{"LATI", 0.5}, {"LONTI", 1.5}, {"HEIGHT", 20}});
    QVERIFY(push.waitForEvent("FLIGHT_STATE", states));
    const int from = fleet->requests.size();
    const int progress = push.events("WP_UPLOAD_PROGRESS").size();

    const auto answered = web.call(
        "ClickGo",
        json(R"({"AIRCRAFT": "SN-FLEET", "LATI": 0.6, "LONTI": 1.6, "SPEED": 7.5, "HEIGHT": 40})"));
    QVERIFY(answered);
    QVERIFY(roundTrip());
    QCOMPARE(withoutSeq(*answered), with(proceeds ? started : cancelReply, "CMD", "ClickGo"));
    if (!proceeds) {
        QCOMPARE(commandsSince(fleet, from), QStringList{"StartOrCancelWayLineMission"});
        return;
    }
    QCOMPARE(commandsSince(fleet, from),
             (QStringList{"StartOrCancelWayLineMission", "UploadWayLineMission", "UploadWayPoint",
                          "UploadWayPoint", "StartOrCancelWayLineMission"}));
    const auto goStops = fleet->requestsNamed("StartOrCancelWayLineMission");
    QCOMPARE(goStops.at(goStops.size() - 2).value("VALUE"), QJsonValue(json(R"({"GO_STOP": 1})")));
    QCOMPARE(goStops.last().value("VALUE"), QJsonValue(json(R"({"GO_STOP": 0})")));
    QCOMPARE(fleet->requestsNamed("UploadWayLineMission").last().value("VALUE").toObject(),
             json(R"({"LENGTH": 2, "VEL_CMD_RANGE": 15, "IDLE_VEL": 7.5, "ACTION_ON_FINISH": 0,
        "MISSION_EXEC_NUM": 0, "YAW_MODE": 0, "TRACE_MODE": 0, "ACTION_ON_RC_LOST": 0,
        "GIMBAL_PITCH_MODE": 0, "GOTO_FIRST": 0, "WAY_POINTS": [
          {"INDEX": 0, "LATI": 0.5, "LONTI": 1.5, "ALTI": 40, "DAMPING_DIS": 1, "TGT_YAW": 0,
           "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 50},
          {"INDEX": 1, "LATI": 0.6, "LONTI": 1.6, "ALTI": 40, "DAMPING_DIS": 1, "TGT_YAW": 0,
           "TGT_GIMBAL_PITCH": 0, "TURN_MODE": 0, "HAS_ACTION": 0, "ACTION_TIME_LIMIT": 50}]})"));
    QVERIFY(pushSync(fleet));
    QCOMPARE(progressSince(progress), (QVector<double>{100.0 / 3, 200.0 / 3, 100}));
}

void tst_OruTolmAgent::silentControllerKeepsFewRequestsWaiting() {
    // The identity goes unasked-for 14 ticks, then every answer arrives,
    // newest first: the values that stick are those of the oldest requests
    // the agent still waited for.
    const int asked = 14;
    const int mostWaiting = 10; // the ticks it takes to count an aircraft lost
    const QString hash = newHash();
    ScriptedController *controller = host.controller(hash);
    controller->answer("GetVersion", Ok);
    QVERIFY(attach(hash));
    QVERIFY(controller->waitForRequest("GetSN", asked - 1, 20000));

    const auto types = controller->requestsNamed("GetFlightType");
    const auto serials = controller->requestsNamed("GetSN");
    for (int i = types.size() - 1; i >= 0; --i)
        controller->reply(types.at(i), with(Ok, "VALUE", i + 1));
    for (int i = serials.size() - 1; i >= 0; --i)
        controller->reply(serials.at(i), with(Ok, "VALUE", QString::number(i)));
    QTRY_COMPARE(pushed("CONNECT", "RC", hash).size(), 1);
    QVERIFY(pushSync(controller));

    const QJsonObject entry = listed(hash);
    for (const int oldest :
         {entry.value("AIRCRAFT").toString().toInt(), entry.value("FLIGHT_TYPE").toInt() - 1}) {
        // The first requests were given up, yet more than the last still counted.
        QVERIFY2(oldest >= asked - mostWaiting, qPrintable(QString::number(oldest)));
        QVERIFY2(oldest < asked - 1, qPrintable(QString::number(oldest)));
    }
}

void tst_OruTolmAgent::wholeLifeOfAnAircraft() {
    // A controller that keeps what is uploaded and gives it back on download.
    const QString hash = newHash();
    const QString serial = "SN-" + hash;
    ScriptedController *controller = host.controller(hash);
    controller->answerIdentity(serial, 2);
    for (const char *name :
         {"SetNavigationMode", "StartOrCancelWayLineMission", "PauseOrContinueWayLineMission",
          "SetHomePoint", "DoFunction", "StartSimulation", "StopSimulation"}) {
        controller->on(name, [](const QJsonObject &request) {
            return std::optional<QJsonObject>(with(Ok, "VALUE", request.value("CMD")));
        });
    }
    QJsonObject storedHeader;
    QJsonArray storedPoints;
    controller->on("UploadWayLineMission", [&](const QJsonObject &request) {
        storedHeader = request.value("VALUE").toObject();
        storedHeader.remove("WAY_POINTS");
        storedPoints = {};
        return std::optional<QJsonObject>(Ok);
    });
    controller->on("UploadWayPoint", [&](const QJsonObject &request) {
        QJsonObject point = request.value("VALUE").toObject();
        if (point.contains("ACTION")) {
            QJsonObject action = point.value("ACTION").toObject();
            QJsonObject commands;
            for (const QJsonValue &command : action.value("COMMAND_LIST").toArray()) {
                const QString type = command["ACTION_TYPE"].toString();
                const int parameter = command["PARAM_VALUE"].toInt();
                commands.insert(type, type == "WP_ACTION_STAY" ? parameter * 1000 : parameter);
            }
            point.insert("ACTION", with(action, "COMMAND_LIST", commands));
        }
        storedPoints << point;
        return std::optional<QJsonObject>(Ok);
    });
    controller->on("DownloadWayLineMission", [&](const QJsonObject &) {
        return std::optional<QJsonObject>(with(Ok, "VALUE", storedHeader));
    });
    controller->on("DownloadWayPoint", [&](const QJsonObject &request) {
        const int index = request.value("VALUE")["INDEX"].toInt();
        return std::optional<QJsonObject>(with(Ok, "VALUE", storedPoints.at(index)));
    });

    QVERIFY(attach(hash));
    QTRY_COMPARE(pushed("CONNECT", "AIRCRAFT", serial).size(), 1);
    const QJsonObject identity{{"AIRCRAFT", serial}, {"FLIGHT_TYPE", 2}, {"RC", hash}};
    QCOMPARE(pushed("CONNECT", "AIRCRAFT", serial).first().value("VALUE").toObject(), identity);
    QCOMPARE(listed(hash), identity);

    controller->sendEvent("FLIGHT_STATE", QJsonObject{{"LATI", 0.69}, {"LONTI", 2.0}});
    QTRY_COMPARE(pushed("FLIGHT_STATE", "AIRCRAFT", serial).size(), 1);

    const std::pair<const char *, QJsonObject> commands[] = {
        {"SetNavigationMode", {{"NAVIGATION_MODE", 1}}},
        {"DoFunction", {{"FUNCTION", "TAKE_OFF"}}},
        {"StartOrCancelWayLineMission", {{"GO_STOP", 1}}},
        {"PauseOrContinueWayLineMission", {{"PAUSE", 0}}},
        {"SetHomePoint", {{"HOME_POINT", QJsonObject{{"LATI", 0.69}}}}},
        {"StartSimulation", {{"LATI", 0.69}, {"LONTI", 2.0}}},
        {"StopSimulation", {}},
    };
    for (const auto &command : commands) {
        const auto reply = web.call(command.first, with(command.second, "AIRCRAFT", serial));
        QVERIFY2(reply, command.first);
        QCOMPARE(reply->value("VALUE"), QJsonValue(command.first));
    }

    const int progress = push.events("WP_UPLOAD_PROGRESS").size();
    const QJsonObject mission = threeWaypointMission();
    const auto uploaded =
        web.call("UploadWayLineMission", {{"AIRCRAFT", serial}, {"WAYLINE", mission}});
    QVERIFY(uploaded && uploaded->value("ERROR") == "SUCCESS");
    QTRY_COMPARE(progressSince(progress), (QVector<double>{25, 50, 75, 100}));

    // Command lists stay with the aircraft; everything else comes back as sent.
    QJsonArray points;
    for (const QJsonValue &point : mission.value("WAY_POINTS").toArray()) {
        QJsonObject object = point.toObject();
        QJsonObject action = object.value("ACTION").toObject();
        action.remove("COMMAND_LIST");
        if (object.contains("ACTION"))
            object.insert("ACTION", action);
        points << object;
    }
    const auto downloaded = web.call("DownloadWayLineMission", {{"AIRCRAFT", serial}});
    QVERIFY(downloaded && downloaded->value("ERROR") == "SUCCESS");
    QCOMPARE(downloaded->value("VALUE").toObject(), with(mission, "WAY_POINTS", points));

    const auto flown = web.call("ClickGo", {{"AIRCRAFT", serial}, {"LATI", 0.7}, {"LONTI", 2.01}});
    QVERIFY(flown);
    QCOMPARE(flown->value("VALUE"), QJsonValue("StartOrCancelWayLineMission"));
    QCOMPARE(storedPoints.at(0)["LATI"], QJsonValue(0.69));

    remove(hash);
    QTRY_COMPARE(pushed("DISCONNECT", "AIRCRAFT", serial).size(), 1);
}

QTEST_GUILESS_MAIN(tst_OruTolmAgent)
#include "tst_orutolmagent.moc"
