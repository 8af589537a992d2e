#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>
#include <runinbackground.h>

#include <QFile>
#include <QJsonArray>
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

    void backgroundCompletionRunsAfterReturn() {
        bool returned = false, completedAfterReturn = false, completed = false;
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
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_OruGroundStationService)
#include "tst_orugroundstationservice.moc"
