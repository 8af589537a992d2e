#include "fakehost.h"

#include <orugroundstationservice.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

// The query answers first, then tells every identified aircraft and no other device.
class tst_GetNoFlyZone : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    FakeHost host;

private Q_SLOTS:
    void answersThenTellsIdentifiedAircraft() {
        QVERIFY(home.isValid() && host.startService(home.path()));
        OruGroundStationService &service = OruGroundStationService::instance();
        const QList<ScriptedController *> aircraft{host.controller("b"), host.controller("a")};
        ScriptedController *anonymous = host.controller("anonymous");
        for (ScriptedController *device : aircraft)
            device->answerIdentity("SN-" + device->hash(), 1);
        for (ScriptedController *device : aircraft + QList<ScriptedController *>{anonymous})
            host.announceArrival("Tolm_2014_RX", device->hash());
        QVERIFY(anonymous->waitForRequest("GetSN"));
        QJsonObject list;
        QTRY_VERIFY((service.GetAircraftList([&list](const QJsonObject &reply) { list = reply; }),
                     list["VALUE"].toArray().size() == 2));

        const auto told = [&aircraft]() {
            return !aircraft[0]->requestsNamed("SetNoFlyZone").isEmpty() ||
                   !aircraft[1]->requestsNamed("SetNoFlyZone").isEmpty();
        };
        bool toldFirst = true;
        QJsonObject answer;
        // Heathrow: the answer depends on whether the default zone file has loaded yet.
        service.GetNoFlyZone(0.8983, -0.0081, [&](const QJsonObject &reply) {
            answer = reply;
            // An aircraft told first would see its request arrive while this waits.
            toldFirst = QTest::qWaitFor(told, 500);
        });
        QCOMPARE(answer.value("ERROR"), QJsonValue("SUCCESS"));
        QVERIFY(!toldFirst);
        for (ScriptedController *device : aircraft) {
            const auto sent = device->waitForRequest("SetNoFlyZone");
            QCOMPARE(sent.value_or(QJsonObject{}).value("VALUE"), answer.value("VALUE"));
        }
        // Anything the anonymous device's agent sends next follows what it sent before.
        QVERIFY(anonymous->waitForRequest("GetVersion",
                                          anonymous->requestsNamed("GetVersion").size() + 1));
        QCOMPARE(anonymous->requestsNamed("SetNoFlyZone").size(), 0);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_GetNoFlyZone)
#include "tst_getnoflyzone.moc"
