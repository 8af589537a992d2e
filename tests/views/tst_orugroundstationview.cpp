#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

// What the web client sends, as seen on the controller channel.
class tst_OruGroundStationView : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;
    ScriptedController *controller = nullptr;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home.isValid() && host.startService(home.path()));
        QVERIFY(web.open("/groundstation") && push.open("/groundstation/push"));
        controller = host.controller("view-device");
        controller->answerIdentity("SN-VIEW", 2);
        host.announceArrival("Tolm_2014_RX", "view-device");
        QVERIFY(push.waitForEvent("CONNECT"));
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

        const int before = controller->requestsNamed(command).size();
        const QString seq = web.send(command, value);
        const auto sent = controller->waitForRequest(command, before);
        QVERIFY(sent);
        QCOMPARE(sent->value("VALUE"), controllerValue);

        // The controller's reply comes back with the client's CMD and SEQ.
        controller->reply(*sent, {{"ERROR", "SUCCESS"}, {"VALUE", 5}});
        QCOMPARE(web.waitForSeq(seq).value_or(QJsonObject()),
                 (QJsonObject{{"CMD", command}, {"SEQ", seq}, {"ERROR", "SUCCESS"}, {"VALUE", 5}}));
    }

    void wholeRequestIsForwarded_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("StartSimulation") << "StartSimulation";
        QTest::newRow("StopSimulation") << "StopSimulation";
    }

    void wholeRequestIsForwarded() {
        QFETCH(QString, command);
        const QJsonObject value{{"AIRCRAFT", "SN-VIEW"}, {"LATI", 0.5}, {"LONTI", 0.2}};
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
ORU_TEST_MAIN(tst_OruGroundStationView)
#include "tst_orugroundstationview.moc"
