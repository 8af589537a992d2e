#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>
#include <runinbackground.h>

#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_OruGroundStationService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void createInstanceKeepsOneInstance();
    void sequenceStrings();
    void unsupportedTypesGetNoAgent_data();
    void unsupportedTypesGetNoAgent();
    void duplicateArrivalKeepsTheAgent();
    void arrivalAfterRemovalCreatesANewAgent();
    void emptyListBeforeIdentification();
    void aircraftAreFoundBySerialNeverByHash();
    void emptyIdentifierMatchesOnlyUnidentified();
    void sameSerialResolvesToFirstHash();
    void removedDeviceNeverAnswers();
    void backgroundCompletionRunsAfterReturn();

private:
    ScriptedController *attach(const QString &hash, const QString &serial, int type = 1,
                               const QString &deviceType = QStringLiteral("Hx7_DEC"));
    void detach(const QString &hash);
    OruGroundStationService &service() { return OruGroundStationService::instance(); }

    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;
};

void tst_OruGroundStationService::initTestCase() {
    QVERIFY(home.isValid());
    QVERIFY(host.startService(home.path()));
    QVERIFY(web.open("/groundstation"));
    QVERIFY(push.open("/groundstation/push"));
}

// Announces a device whose controller identifies it, and waits for CONNECT.
ScriptedController *tst_OruGroundStationService::attach(const QString &hash, const QString &serial,
                                                        int type, const QString &deviceType) {
    ScriptedController *controller = host.controller(hash);
    controller->answerIdentity(serial, type);
    const int before = push.events("CONNECT").size();
    host.announceArrival(deviceType, hash);
    if (!push.waitForEvent("CONNECT", before, 5000))
        return nullptr;
    return controller;
}

void tst_OruGroundStationService::detach(const QString &hash) {
    host.announceRemoval(hash);
    QTRY_VERIFY(!host.controller(hash)->isConnected());
}

void tst_OruGroundStationService::createInstanceKeepsOneInstance() {
    OruGroundStationService *first = OruGroundStationService::instancePtr();
    SingletonEx<OruGroundStationService>::createInstance();
    QCOMPARE(OruGroundStationService::instancePtr(), first);
    QCOMPARE(&OruGroundStationService::instance(), first);
}

void tst_OruGroundStationService::sequenceStrings() {
    static const QRegularExpression form(QStringLiteral("^[ 0-9a-f]{4}[ 0-9a-f]{4}$"));
    bool sawBlank = false;
    for (int i = 0; i < 2000; ++i) {
        const QString seq = service().GenerateSEQ();
        QCOMPARE(seq.size(), 8);
        QVERIFY2(form.match(seq).hasMatch(), qPrintable(seq));
        // Blanks pad each half on the left only.
        QVERIFY(!seq.left(4).trimmed().contains(' '));
        sawBlank = sawBlank || seq.contains(' ');
    }
    QVERIFY(sawBlank); // one draw in eight is below 0x1000
}

void tst_OruGroundStationService::unsupportedTypesGetNoAgent_data() {
    QTest::addColumn<QString>("deviceType");
    QTest::newRow("lower-case spelling") << "tolm_2014_rx";
    QTest::newRow("unknown type") << "Phantom";
    QTest::newRow("empty type") << "";
}

void tst_OruGroundStationService::unsupportedTypesGetNoAgent() {
    QFETCH(QString, deviceType);
    const QString hash = QStringLiteral("unsupported-") + QString::number(qHash(deviceType));
    host.announceArrival(deviceType, hash);
    // A supported device announced behind it shows the first was handled.
    QVERIFY(attach("marker-" + hash, "SN-marker-" + hash));
    QCOMPARE(host.controller(hash)->attachments, 0);
    detach("marker-" + hash);
}

void tst_OruGroundStationService::duplicateArrivalKeepsTheAgent() {
    ScriptedController *controller = attach("dup", "SN-dup");
    QVERIFY(controller);
    host.announceArrival("ct510v3", "dup");
    QVERIFY(attach("dup-marker", "SN-dup-marker"));
    QCOMPARE(controller->attachments, 1);
    QVERIFY(controller->isConnected());
    detach("dup");
    detach("dup-marker");
}

void tst_OruGroundStationService::arrivalAfterRemovalCreatesANewAgent() {
    ScriptedController *controller = attach("again", "SN-again");
    QVERIFY(controller);
    const int disconnects = push.events("DISCONNECT").size();
    detach("again");
    QVERIFY(push.waitForEvent("DISCONNECT", disconnects));
    QVERIFY(attach("again", "SN-again"));
    QCOMPARE(controller->attachments, 2);
    detach("again");
}

void tst_OruGroundStationService::emptyListBeforeIdentification() {
    const auto reply = web.call("GetAircraftList");
    QVERIFY(reply);
    QCOMPARE(*reply, (QJsonObject{{"CMD", "GetAircraftList"},
                                  {"SEQ", reply->value("SEQ")},
                                  {"ERROR", "SUCCESS"},
                                  {"VALUE", QJsonArray()}}));

    // A device that never tells its serial number stays off the list.
    host.announceArrival("kw330v3", "silent");
    QVERIFY(host.controller("silent")->waitForRequest("GetSN"));
    QCOMPARE(web.call("GetAircraftList")->value("VALUE").toArray().size(), 0);
    detach("silent");
}

void tst_OruGroundStationService::aircraftAreFoundBySerialNeverByHash() {
    ScriptedController *controller = attach("hash-b", "SN-B", 7, "Tolm_2014_RX");
    QVERIFY(controller);
    QVERIFY(attach("hash-a", "SN-A", 3, "ct510v3"));

    const QJsonArray list = web.call("GetAircraftList")->value("VALUE").toArray();
    QCOMPARE(list,
             (QJsonArray{QJsonObject{{"AIRCRAFT", "SN-A"}, {"FLIGHT_TYPE", 3}, {"RC", "hash-a"}},
                         QJsonObject{{"AIRCRAFT", "SN-B"}, {"FLIGHT_TYPE", 7}, {"RC", "hash-b"}}}));

    controller->answer("GetFlyLimit",
                       {{"ERROR", "SUCCESS"}, {"VALUE", QJsonObject{{"MAX_HEIGHT", 120}}}});
    const auto found = web.call("GetFlyLimit", {{"AIRCRAFT", "SN-B"}});
    QVERIFY(found);
    QCOMPARE(found->value("VALUE").toObject().value("MAX_HEIGHT").toInt(), 120);

    const int requests = controller->requestsNamed("GetFlyLimit").size();
    const auto byHash = web.call("GetFlyLimit", {{"AIRCRAFT", "hash-b"}});
    QVERIFY(byHash);
    QCOMPARE(byHash->value("ERROR").toString(), QStringLiteral("FAILURE"));
    QCOMPARE(byHash->value("ERROR_MESSAGE").toString(),
             QStringLiteral("Can't find aircraft hash-b"));
    QCOMPARE(controller->requestsNamed("GetFlyLimit").size(), requests);

    detach("hash-a");
    detach("hash-b");
}

void tst_OruGroundStationService::emptyIdentifierMatchesOnlyUnidentified() {
    QVERIFY(attach("known", "SN-known"));
    const auto noMatch = web.call("GetFlyLimit", {{"AIRCRAFT", ""}});
    QVERIFY(noMatch);
    QCOMPARE(noMatch->value("ERROR_MESSAGE").toString(), QStringLiteral("Can't find aircraft "));

    // A request without VALUE reads as the empty identifier too, and then
    // reaches the one device whose serial number is still unknown.
    ScriptedController *anonymous = host.controller("anonymous");
    host.announceArrival("ct510v3", "anonymous");
    QVERIFY(anonymous->waitForRequest("GetSN"));
    web.send("GetFlyLimit");
    QVERIFY(anonymous->waitForRequest("GetFlyLimit"));
    detach("anonymous");
    detach("known");
}

void tst_OruGroundStationService::sameSerialResolvesToFirstHash() {
    ScriptedController *second = attach("twin-2", "SN-twin");
    ScriptedController *first = attach("twin-1", "SN-twin");
    QVERIFY(first && second);
    first->answer("GetFlyLimit", {{"ERROR", "SUCCESS"}});
    QVERIFY(web.call("GetFlyLimit", {{"AIRCRAFT", "SN-twin"}}));
    QCOMPARE(first->requestsNamed("GetFlyLimit").size(), 1);
    QCOMPARE(second->requestsNamed("GetFlyLimit").size(), 0);
    detach("twin-1");
    detach("twin-2");
}

void tst_OruGroundStationService::removedDeviceNeverAnswers() {
    ScriptedController *controller = attach("doomed", "SN-doomed");
    QVERIFY(controller);
    const QString seq = web.send("GetFlyLimit", {{"AIRCRAFT", "SN-doomed"}});
    const auto request = controller->waitForRequest("GetFlyLimit");
    QVERIFY(request);
    detach("doomed");
    // Answering now reaches no agent; a later command shows nothing came.
    controller->reply(*request, {{"ERROR", "SUCCESS"}});
    QVERIFY(web.call("GetAircraftList"));
    QVERIFY(!web.waitForSeq(seq, 0));
}

void tst_OruGroundStationService::backgroundCompletionRunsAfterReturn() {
    bool returned = false;
    bool completedAfterReturn = false;
    bool completed = false;
    runInBackground([&]() {
        return std::function<void()>([&]() {
            completedAfterReturn = returned;
            completed = true;
        });
    });
    returned = true;
    QTRY_VERIFY(completed);
    QVERIFY(completedAfterReturn);
}

QTEST_GUILESS_MAIN(tst_OruGroundStationService)
#include "tst_orugroundstationservice.moc"
