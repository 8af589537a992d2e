#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

// What the web client sends, as seen on the controller channel.
class tst_OruGroundStationView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void valuesReachTheController_data();
    void valuesReachTheController();
    void wholeRequestIsForwarded_data();
    void wholeRequestIsForwarded();
    void namesMatchExactly_data();
    void namesMatchExactly();
    void pushClientCommandsFindNoHandler();

private:
    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;
    ScriptedController *controller = nullptr;
};

void tst_OruGroundStationView::initTestCase() {
    QVERIFY(home.isValid());
    QVERIFY(host.startService(home.path()));
    QVERIFY(web.open("/groundstation"));
    QVERIFY(push.open("/groundstation/push"));
    controller = host.controller("view-device");
    controller->answerIdentity("SN-VIEW", 2);
    host.announceArrival("Tolm_2014_RX", "view-device");
    QVERIFY(push.waitForEvent("CONNECT", 0, 5000));
}

void tst_OruGroundStationView::cleanupTestCase() {
    host.announceRemoval("view-device");
    QTRY_VERIFY(!controller->isConnected());
}

void tst_OruGroundStationView::valuesReachTheController_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QJsonObject>("value");
    QTest::addColumn<QString>("controllerCommand");
    QTest::addColumn<QJsonValue>("controllerValue");

    const auto flag = [](const char *key, const QJsonValue &v) {
        return QJsonObject{{"AIRCRAFT", "SN-VIEW"}, {key, v}};
    };
    QTest::newRow("GO_STOP 1 passes 1")
        << "StartOrCancelWayLineMission" << flag("GO_STOP", 1) << "StartOrCancelWayLineMission"
        << QJsonValue(QJsonObject{{"GO_STOP", 1}});
    QTest::newRow("GO_STOP 257 keeps its low byte")
        << "StartOrCancelWayLineMission" << flag("GO_STOP", 257) << "StartOrCancelWayLineMission"
        << QJsonValue(QJsonObject{{"GO_STOP", 1}});
    QTest::newRow("GO_STOP -1 gives 255")
        << "StartOrCancelWayLineMission" << flag("GO_STOP", -1) << "StartOrCancelWayLineMission"
        << QJsonValue(QJsonObject{{"GO_STOP", 255}});
    QTest::newRow("PAUSE as a string gives 0")
        << "PauseOrContinueWayLineMission" << flag("PAUSE", "1") << "PauseOrContinueWayLineMission"
        << QJsonValue(QJsonObject{{"PAUSE", 0}});
    QTest::newRow("PAUSE fractional gives 0")
        << "PauseOrContinueWayLineMission" << flag("PAUSE", 1.5) << "PauseOrContinueWayLineMission"
        << QJsonValue(QJsonObject{{"PAUSE", 0}});
    QTest::newRow("navigation mode passes unchecked")
        << "SetNavigationMode" << flag("NAVIGATION_MODE", 100000) << "SetNavigationMode"
        << QJsonValue(QJsonObject{{"NAVIGATION_MODE", 100000}});
    QTest::newRow("negative navigation mode")
        << "SetNavigationMode" << flag("NAVIGATION_MODE", -3) << "SetNavigationMode"
        << QJsonValue(QJsonObject{{"NAVIGATION_MODE", -3}});
    QTest::newRow("TAKE_OFF is 1")
        << "DoFunction" << flag("FUNCTION", "TAKE_OFF") << "DoFunction" << QJsonValue(1);
    QTest::newRow("LAND is 2") << "DoFunction" << flag("FUNCTION", "LAND") << "DoFunction"
                               << QJsonValue(2);
    QTest::newRow("take_off in lower case is 6")
        << "DoFunction" << flag("FUNCTION", "take_off") << "DoFunction" << QJsonValue(6);
    const QJsonObject home{{"LATI", 0.8}, {"LONTI", 0.1}};
    QTest::newRow("home point object passes whole")
        << "SetHomePoint" << flag("HOME_POINT", home) << "SetHomePoint" << QJsonValue(home);
    QTest::newRow("fly limit has no value") << "GetFlyLimit" << QJsonObject{{"AIRCRAFT", "SN-VIEW"}}
                                            << "GetFlyLimit" << QJsonValue(QJsonValue::Undefined);
}

void tst_OruGroundStationView::valuesReachTheController() {
    QFETCH(QString, command);
    QFETCH(QJsonObject, value);
    QFETCH(QString, controllerCommand);
    QFETCH(QJsonValue, controllerValue);

    const int before = controller->requestsNamed(controllerCommand).size();
    const QString seq = web.send(command, value);
    const auto sent = controller->waitForRequest(controllerCommand, before);
    QVERIFY(sent);
    QCOMPARE(sent->value("VALUE"), controllerValue);

    // The controller's reply comes back with the client's CMD and SEQ.
    controller->reply(*sent, {{"ERROR", "SUCCESS"}, {"VALUE", 5}});
    const auto reply = web.waitForSeq(seq);
    QVERIFY(reply);
    QCOMPARE(*reply,
             (QJsonObject{{"CMD", command}, {"SEQ", seq}, {"ERROR", "SUCCESS"}, {"VALUE", 5}}));
}

void tst_OruGroundStationView::wholeRequestIsForwarded_data() {
    QTest::addColumn<QString>("command");
    QTest::newRow("StartSimulation") << "StartSimulation";
    QTest::newRow("StopSimulation") << "StopSimulation";
}

void tst_OruGroundStationView::wholeRequestIsForwarded() {
    QFETCH(QString, command);
    const QJsonObject value{{"AIRCRAFT", "SN-VIEW"}, {"LATI", 0.5}, {"LONTI", 0.2}};
    const int before = controller->requestsNamed(command).size();
    web.sendRaw(QString::fromUtf8(
        QJsonDocument(
            QJsonObject{{"CMD", command}, {"SEQ", "web-seq"}, {"VALUE", value}, {"EXTRA", true}})
            .toJson()));
    const auto sent = controller->waitForRequest(command, before);
    QVERIFY(sent);
    QCOMPARE(sent->value("VALUE").toObject(), value);
    QCOMPARE(sent->value("EXTRA"), QJsonValue(true));
    QVERIFY(sent->value("SEQ").toString() != QStringLiteral("web-seq"));
    QCOMPARE(sent->value("SEQ").toString().size(), 8);
    controller->reply(*sent, {{"ERROR", "SUCCESS"}});
    QVERIFY(web.waitForSeq("web-seq"));
}

void tst_OruGroundStationView::namesMatchExactly_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("known");
    QTest::newRow("SaveWayline is a command") << "SaveWayline" << true;
    QTest::newRow("SaveWayLine is not") << "SaveWayLine" << false;
    QTest::newRow("GetNoflyZone is a command") << "GetNoflyZone" << true;
    QTest::newRow("GetNoFlyZone is not") << "GetNoFlyZone" << false;
    QTest::newRow("SetHomePoint is a command") << "SetHomePoint" << true;
    QTest::newRow("GetMissionLimits is not") << "GetMissionLimits" << false;
}

void tst_OruGroundStationView::namesMatchExactly() {
    QFETCH(QString, command);
    QFETCH(bool, known);
    const auto reply = web.call(command, {{"AIRCRAFT", "nobody"}, {"WAYLINE_NAME", "x"}});
    QVERIFY(reply);
    const QString message = reply->value("ERROR_MESSAGE").toString();
    QCOMPARE(message.startsWith("unknown command: "), !known);
}

void tst_OruGroundStationView::pushClientCommandsFindNoHandler() {
    const auto reply = push.call("GetAircraftList");
    QVERIFY(reply);
    QCOMPARE(reply->value("ERROR_MESSAGE").toString(),
             QStringLiteral("unknown command: GetAircraftList"));
}

QTEST_GUILESS_MAIN(tst_OruGroundStationView)
#include "tst_orugroundstationview.moc"
