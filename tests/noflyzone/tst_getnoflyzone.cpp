#include "fakehost.h"

#include <orugroundstationservice.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

// The service's no-fly zone query answers first, then tells every aircraft
// that has told its serial number, and no other device.
class tst_GetNoFlyZone : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersThenTellsIdentifiedAircraft();

private:
    QTemporaryDir home;
    FakeHost host;
};

void tst_GetNoFlyZone::answersThenTellsIdentifiedAircraft() {
    QVERIFY(home.isValid());
    QVERIFY(host.startService(home.path()));
    OruGroundStationService &service = OruGroundStationService::instance();
    const QList<ScriptedController *> aircraft{host.controller("zone-b"),
                                               host.controller("zone-a")};
    ScriptedController *anonymous = host.controller("zone-anonymous");
    for (ScriptedController *device : aircraft + QList<ScriptedController *>{anonymous}) {
        if (device != anonymous)
            device->answerIdentity("SN-" + device->hash(), 1);
        host.announceArrival("Tolm_2014_RX", device->hash());
    }
    QVERIFY(anonymous->waitForRequest("GetSN"));
    QJsonObject list;
    QTRY_VERIFY((service.GetAircraftList([&list](const QJsonObject &reply) { list = reply; }),
                 list["VALUE"].toArray().size() == 2));

    const auto told = [&aircraft]() {
        return aircraft.at(0)->requestsNamed("SetNoFlyZone").size() +
               aircraft.at(1)->requestsNamed("SetNoFlyZone").size();
    };
    bool toldFirst = true;
    QJsonObject answer;
    // Heathrow: what it answers depends on whether the zone file beside the
    // executables has loaded yet, but the aircraft are told the same.
    service.GetNoFlyZone(0.8983, -0.0081, [&](const QJsonObject &reply) {
        answer = reply;
        // Had an aircraft been told first, its request would arrive while
        // the event loop turns here.
        toldFirst = QTest::qWaitFor([&told]() { return told() > 0; }, 500);
    });
    QCOMPARE(answer.value("ERROR"), QJsonValue("SUCCESS"));
    QVERIFY(!toldFirst);
    for (ScriptedController *device : aircraft) {
        const auto sent = device->waitForRequest("SetNoFlyZone");
        QCOMPARE(sent.value_or(QJsonObject{}).value("VALUE"), answer.value("VALUE"));
    }
    // Anything the anonymous device's agent sends next follows what it sent before.
    QVERIFY(
        anonymous->waitForRequest("GetVersion", anonymous->requestsNamed("GetVersion").size() + 1));
    QCOMPARE(anonymous->requestsNamed("SetNoFlyZone").size(), 0);
}

QTEST_GUILESS_MAIN(tst_GetNoFlyZone)
#include "tst_getnoflyzone.moc"
