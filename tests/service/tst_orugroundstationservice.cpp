#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

class tst_OruGroundStationService : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;

    // Announces a device whose controller identifies it, and waits for CONNECT.
    ScriptedController *attach(const QString &hash, const QString &serial, int type = 1,
                               const QString &deviceType = "Hx7_DEC") {
        ScriptedController *controller = host.controller(hash);
        controller->answerIdentity(serial, type);
        const int before = push.events("CONNECT").size();
        host.announceArrival(deviceType, hash);
        return push.waitForEvent("CONNECT", before) ? controller : nullptr;
    }

    // The identified aircraft of the command tests, attached after the tests that list aircraft.
    ScriptedController *device() {
        ScriptedController *device = host.controller("view-device");
        return device->isConnected() ? device : attach("view-device", "SN-VIEW", 2, "Tolm_2014_RX");
    }

    void detach(const QString &hash) {
        host.announceRemoval(hash);
        QTRY_VERIFY(!host.controller(hash)->isConnected());
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home.isValid() && host.startService(home.path()));
        QVERIFY(web.open("/groundstation") && push.open("/groundstation/push"));
    }

    void sequenceStringsAreBlankPaddedAndDistinct() {
        // Two halves of four, each a hexadecimal number padded with blanks on the left.
        static const QRegularExpression form(
            "^( {3}[0-9a-f]| {2}[0-9a-f]{2}| [0-9a-f]{3}|[0-9a-f]{4}){2}$");
        QSet<QString> seen;
        bool sawBlank = false;
        for (int i = 0; i < 2000; ++i) {
            const QString seq = OruGroundStationService::instance().GenerateSEQ();
            QVERIFY2(form.match(seq).hasMatch(), qPrintable(seq));
            sawBlank = sawBlank || seq.contains(' ');
            seen.insert(seq);
        }
        QVERIFY(sawBlank); // one draw in eight is below 0x1000
        // Replies find their requests by SEQ; a repeat among 2000 is already rare.
        QVERIFY2(seen.size() >= 1990, qPrintable(QString::number(seen.size())));
    }

    void unsupportedTypesGetNoAgent_data() {
        QTest::addColumn<QString>("deviceType");
        QTest::newRow("lower-case spelling") << "tolm_2014_rx";
        QTest::newRow("unknown type") << "Phantom";
        QTest::newRow("empty type") << "";
    }

    void unsupportedTypesGetNoAgent() {
        QFETCH(QString, deviceType);
        const QString hash = "unsupported-" + QString::number(qHash(deviceType));
        host.announceArrival(deviceType, hash);
        // A supported device announced behind it shows the first was handled.
        QVERIFY(attach("marker-" + hash, "SN-marker-" + hash));
        QCOMPARE(host.controller(hash)->attachments, 0);
        detach("marker-" + hash);
    }

    void arrivalAfterRemovalCreatesANewAgent() {
        ScriptedController *controller = attach("again", "SN-again");
        QVERIFY(controller);
        const int disconnects = push.events("DISCONNECT").size();
        detach("again");
        QVERIFY(push.waitForEvent("DISCONNECT", disconnects));
        QVERIFY(attach("again", "SN-again"));
        QCOMPARE(controller->attachments, 2);
        detach("again");
    }

    void unidentifiedDevicesAreNotListed() {
        host.announceArrival("kw330v3", "silent");
        QVERIFY(host.controller("silent")->waitForRequest("GetSN"));
        const auto reply = web.call("GetAircraftList");
        QVERIFY(reply);
        QCOMPARE(*reply, (QJsonObject{{"CMD", "GetAircraftList"},
                                      {"SEQ", reply->value("SEQ")},
                                      {"ERROR", "SUCCESS"},
                                      {"VALUE", QJsonArray()}}));
        detach("silent");
    }

    void aircraftAreFoundBySerialNeverByHash() {
        ScriptedController *controller = attach("hash-b", "SN-B", 7, "Tolm_2014_RX");
        QVERIFY(controller);
        QVERIFY(attach("hash-a", "SN-A", 3, "ct510v3"));
        QCOMPARE(
            web.call("GetAircraftList")->value("VALUE").toArray(),
            (QJsonArray{QJsonObject{{"AIRCRAFT", "SN-A"}, {"FLIGHT_TYPE", 3}, {"RC", "hash-a"}},
                        QJsonObject{{"AIRCRAFT", "SN-B"}, {"FLIGHT_TYPE", 7}, {"RC", "hash-b"}}}));

        controller->answer("GetFlyLimit", {{"ERROR", "SUCCESS"}, {"VALUE", 120}});
        QCOMPARE(web.call("GetFlyLimit", {{"AIRCRAFT", "SN-B"}})->value("VALUE").toInt(), 120);
        const auto byHash =
            web.call("GetFlyLimit", {{"AIRCRAFT", "hash-b"}}).value_or(QJsonObject());
        QCOMPARE(byHash.value("ERROR").toString(), "FAILURE");
        QCOMPARE(byHash.value("ERROR_MESSAGE").toString(), "Can't find aircraft hash-b");

        // A serial number told by two devices belongs to the first in hash order.
        ScriptedController *twin = attach("hash-0", "SN-B");
        QVERIFY(twin);
        twin->answer("GetFlyLimit", {{"ERROR", "SUCCESS"}});
        QVERIFY(web.call("GetFlyLimit", {{"AIRCRAFT", "SN-B"}}));
        QCOMPARE(twin->requestsNamed("GetFlyLimit").size(), 1);
        QCOMPARE(controller->requestsNamed("GetFlyLimit").size(), 1);
        for (const char *hash : {"hash-0", "hash-a", "hash-b"})
            detach(hash);
    }

    void emptyIdentifierMatchesOnlyUnidentified() {
        QVERIFY(attach("known", "SN-known"));
        const auto noMatch = web.call("GetFlyLimit", {{"AIRCRAFT", ""}}).value_or(QJsonObject());
        QCOMPARE(noMatch.value("ERROR_MESSAGE").toString(), "Can't find aircraft ");

        // A request without VALUE reads as the empty identifier too, and then
        // reaches the one device whose serial number is still unknown.
        host.announceArrival("ct510v3", "anonymous");
        QVERIFY(host.controller("anonymous")->waitForRequest("GetSN"));
        web.send("GetFlyLimit");
        QVERIFY(host.controller("anonymous")->waitForRequest("GetFlyLimit"));
        detach("anonymous");
        detach("known");
    }

    // The store's replies; names and files themselves are tested in tests/core.
    void waylineReplies() {
        OruGroundStationService &service = OruGroundStationService::instance();
        const auto reply = [](const std::function<void(ReplyCallback)> &operation) {
            auto replies = std::make_shared<QList<QJsonObject>>();
            operation([replies](const QJsonObject &r) { replies->append(r); });
            // Even refusals answer later, from the event loop.
            const bool early = !replies->isEmpty();
            (void)QTest::qWaitFor([&]() { return !replies->isEmpty(); }, 5000);
            return early || replies->size() != 1 ? QJsonObject{{"TEST", "not one later reply"}}
                                                 : replies->first();
        };
        const auto save = [&](const QString &name, const QJsonObject &wayline) {
            return reply([&](ReplyCallback w) { service.SaveWayLine(name, wayline, w); });
        };
        const auto load = [&](const QString &name) {
            return reply([&](ReplyCallback w) { service.LoadWayLine(name, w); });
        };
        const QJsonObject invalid = json(R"({"ERROR": "FAILURE",
                                             "ERROR_MESSAGE": "invalid wayline name."})");
        QCOMPARE(save("../x", {}), invalid);
        QCOMPARE(load("../x"), invalid);
        QCOMPARE(load("none"),
                 json(R"({"ERROR": "FAILURE", "ERROR_MESSAGE": "file not exists."})"));
        QCOMPARE(save("route", {{"LENGTH", 2}}), json(R"({"ERROR": "SUCCESS"})"));
        QCOMPARE(load("route"), json(R"({"VALUE": {"LENGTH": 2}})"));
        QJsonObject listed;
        service.WayLineList([&listed](const QJsonObject &r) { listed = r; });
        QCOMPARE(listed, json(R"({"VALUE": ["route"]})"));
        QFile file(home.path() + "/Documents/Oru/Groundstation/Waylines/route");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[]") == 2);
        file.close();
        QCOMPARE(load("route"), json(R"({"ERROR": "FAILURE", "ERROR_MESSAGE": "no error occurred",
                                         "VALUE": {}})"));
    }

    void everyPushClientGetsEachBroadcastOnceInOrder() {
        auto &service = OruGroundStationService::instance();
        JsonClient second;
        const QJsonObject ready{{"EVENT", "READY"}};
        QVERIFY(second.open("/groundstation/push") && QTest::qWaitFor([&]() {
                    service.broadcastJson(ready);
                    return second.received.contains(ready);
                }));
        QList<QJsonObject> sent;
        for (const QJsonValue &value : {QJsonValue(1), QJsonValue("two"), QJsonValue(3.5)})
            sent << QJsonObject{{"EVENT", "ORDER"}, {"VALUE", value}};
        for (const QJsonObject &event : sent)
            service.broadcastJson(event);
        QTRY_COMPARE(second.events("ORDER"), sent);
        QTRY_COMPARE(push.events("ORDER"), sent);
    }

    void valuesReachTheController_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QJsonObject>("value");
        QTest::addColumn<QJsonValue>("controllerValue");

        const auto flag = [](const char *key, const QJsonValue &v) {
            return QJsonObject{{"AIRCRAFT", "SN-VIEW"}, {key, v}};
        };
        const auto only = [](const char *key, int v) { return QJsonValue(QJsonObject{{key, v}}); };
        const QJsonObject home{{"LATI", 0.8}, {"LONTI", 0.1}};
        QTest::newRow("GO_STOP 257 keeps its low byte")
            << "StartOrCancelWayLineMission" << flag("GO_STOP", 257) << only("GO_STOP", 1);
        QTest::newRow("PAUSE as a string gives 0")
            << "PauseOrContinueWayLineMission" << flag("PAUSE", "1") << only("PAUSE", 0);
        QTest::newRow("navigation mode passes unchecked")
            << "SetNavigationMode" << flag("NAVIGATION_MODE", 100000)
            << only("NAVIGATION_MODE", 100000);
        QTest::newRow("TAKE_OFF is 1")
            << "DoFunction" << flag("FUNCTION", "TAKE_OFF") << QJsonValue(1);
        QTest::newRow("LAND is 2") << "DoFunction" << flag("FUNCTION", "LAND") << QJsonValue(2);
        QTest::newRow("take_off in lower case is 6")
            << "DoFunction" << flag("FUNCTION", "take_off") << QJsonValue(6);
        QTest::newRow("home point object passes whole")
            << "SetHomePoint" << flag("HOME_POINT", home) << QJsonValue(home);
        QTest::newRow("fly limit has no value")
            << "GetFlyLimit" << QJsonObject{{"AIRCRAFT", "SN-VIEW"}}
            << QJsonValue(QJsonValue::Undefined);
    }

    void valuesReachTheController() {
        QFETCH(QString, command);
        QFETCH(QJsonObject, value);
        QFETCH(QJsonValue, controllerValue);

        ScriptedController *controller = device();
        QVERIFY(controller);
        const int before = controller->requestsNamed(command).size();
        const QString seq = web.send(command, value);
        const auto sent = controller->waitForRequest(command, before);
        QVERIFY(sent);
        QCOMPARE(sent->value("VALUE"), controllerValue);

        // The controller's reply comes back with the client's CMD and SEQ.
        controller->reply(*sent, {{"ERROR", "SUCCESS"}, {"VALUE", 5}});
        QCOMPARE(web.waitForSeq(seq).value_or(QJsonObject()),
                 (QJsonObject{{"CMD", command}, {"SEQ", seq}, {"ERROR", "SUCCESS"}, {"VALUE", 5}}));
        // Broadcasts, sent before this reply, go to push clients only.
        QVERIFY(web.events("CONNECT").isEmpty());
    }

    void wholeRequestIsForwarded_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("StartSimulation") << "StartSimulation";
        QTest::newRow("StopSimulation") << "StopSimulation";
    }

    void wholeRequestIsForwarded() {
        QFETCH(QString, command);
        const QJsonObject value{{"AIRCRAFT", "SN-VIEW"}, {"LATI", 0.5}, {"LONTI", 0.2}};
        ScriptedController *controller = device();
        QVERIFY(controller);
        const int before = controller->requestsNamed(command).size();
        const QJsonObject request{
            {"CMD", command}, {"SEQ", "web-seq"}, {"VALUE", value}, {"EXTRA", true}};
        web.sendRaw(QJsonDocument(request).toJson());
        const auto sent = controller->waitForRequest(command, before);
        QVERIFY(sent);
        QCOMPARE(sent->value("VALUE").toObject(), value);
        QCOMPARE(sent->value("EXTRA"), QJsonValue(true));
        QVERIFY(sent->value("SEQ").toString() != "web-seq");
        controller->reply(*sent, {{"ERROR", "SUCCESS"}});
        QVERIFY(web.waitForSeq("web-seq"));
    }

    void unknownCommands_data() {
        QTest::addColumn<bool>("onPush");
        QTest::addColumn<QString>("command");
        QTest::newRow("a push client has no commands") << true << "GetAircraftList";
        QTest::newRow("names match exactly") << false << "SaveWayLine";
        QTest::newRow("agent-only commands are not offered") << false << "GetMissionLimits";
    }

    void unknownCommands() {
        QFETCH(bool, onPush);
        QFETCH(QString, command);
        const auto reply = (onPush ? push : web).call(command, {{"AIRCRAFT", "SN-VIEW"}});
        QVERIFY(reply);
        QCOMPARE(reply->value("ERROR_MESSAGE").toString(), "unknown command: " + command);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_OruGroundStationService)
#include "tst_orugroundstationservice.moc"
