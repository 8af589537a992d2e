#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

constexpr double Pi = 3.141592653589793;

double radians(double degrees) {
    return degrees * Pi / 180;
}

} // namespace

// The service's no-fly zone command, answered from the default database
// installed beside the executables.
class tst_GetNoFlyZone : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void answersFromTheDefaultDatabase();
    void repliesBeforeAnyAircraftIsTold();

private:
    OruGroundStationService &service() { return OruGroundStationService::instance(); }
    ScriptedController *attach(const QString &hash, const QString &serial);

    QTemporaryDir home;
    FakeHost host;
    JsonClient web;
    JsonClient push;
};

void tst_GetNoFlyZone::initTestCase() {
    QVERIFY(
        QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/Data/limit.txt")));
    QVERIFY(home.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(host.startService(home.path()));
    QVERIFY(web.open(QStringLiteral("/groundstation")));
    QVERIFY(push.open(QStringLiteral("/groundstation/push")));
}

ScriptedController *tst_GetNoFlyZone::attach(const QString &hash, const QString &serial) {
    ScriptedController *controller = host.controller(hash);
    controller->answerIdentity(serial, 1);
    const int before = push.events(QStringLiteral("CONNECT")).size();
    host.announceArrival(QStringLiteral("Tolm_2014_RX"), hash);
    if (!push.waitForEvent(QStringLiteral("CONNECT"), before, 10000))
        return nullptr;
    return controller;
}

void tst_GetNoFlyZone::answersFromTheDefaultDatabase() {
    // The load runs in the background; once it is in, a query far from the
    // last one sees the zones.
    const double latitude = radians(51.4706), longitude = radians(-0.461941); // Heathrow
    auto query = [this](double lati, double lonti) {
        const auto reply =
            web.call(QStringLiteral("GetNoflyZone"),
                     {{QStringLiteral("LATI"), lati}, {QStringLiteral("LONTI"), lonti}});
        return reply ? reply->value(QStringLiteral("VALUE")).toArray() : QJsonArray();
    };
    QJsonArray zones;
    QVERIFY(QTest::qWaitFor(
        [&]() {
            query(0.0, 0.0);
            zones = query(latitude, longitude);
            return !zones.isEmpty();
        },
        20000));

    QStringList names;
    double previous = -Pi;
    for (const QJsonValue &entry : qAsConst(zones)) {
        const QJsonObject zone = entry.toObject();
        names.append(zone.value(QStringLiteral("NAME")).toString());
        const double lati = zone.value(QStringLiteral("LATI")).toDouble();
        QVERIFY2(lati >= previous, "zones come in ascending latitude");
        previous = lati;
        // Radians, and close: 50 km is under half a degree of latitude.
        QVERIFY(std::abs(lati - latitude) < radians(0.5));
    }
    QVERIFY2(names.contains(QStringLiteral("London Heathrow Airport")),
             qPrintable(names.join(',')));
    QVERIFY2(names.contains(QStringLiteral("London City Airport")), qPrintable(names.join(',')));
    QVERIFY(names.size() >= 3);
    for (const QJsonValue &entry : qAsConst(zones)) {
        const QJsonObject zone = entry.toObject();
        if (zone.value(QStringLiteral("NAME")).toString() ==
            QLatin1String("London Heathrow Airport")) {
            QCOMPARE(zone.value(QStringLiteral("LATI")).toDouble(), latitude);
            QCOMPARE(zone.value(QStringLiteral("LONTI")).toDouble(), longitude);
            QCOMPARE(zone.value(QStringLiteral("RADIUS")).toInt(), 8000);
        }
    }
}

void tst_GetNoFlyZone::repliesBeforeAnyAircraftIsTold() {
    ScriptedController *first = attach(QStringLiteral("zone-b"), QStringLiteral("SN-1"));
    ScriptedController *second = attach(QStringLiteral("zone-a"), QStringLiteral("SN-2"));
    QVERIFY(first && second);
    host.announceArrival(QStringLiteral("ct510v3"), QStringLiteral("zone-anonymous"));
    ScriptedController *anonymous = host.controller(QStringLiteral("zone-anonymous"));
    QVERIFY(anonymous->waitForRequest(QStringLiteral("GetSN")));

    auto told = [&]() {
        return first->requestsNamed(QStringLiteral("SetNoFlyZone")).size() +
               second->requestsNamed(QStringLiteral("SetNoFlyZone")).size();
    };
    QJsonObject reply;
    int replies = 0;
    bool toldBeforeReply = false;
    service().GetNoFlyZone(radians(51.4706), radians(-0.461941), [&](const QJsonObject &object) {
        reply = object;
        ++replies;
        // Had an aircraft been told first, its request would arrive while
        // the event loop turns here.
        toldBeforeReply = QTest::qWaitFor([&]() { return told() > 0; }, 1000);
    });
    QCOMPARE(replies, 1);
    QVERIFY(!toldBeforeReply);
    QCOMPARE(reply.value(QStringLiteral("ERROR")).toString(), QStringLiteral("SUCCESS"));
    QVERIFY(!reply.value(QStringLiteral("VALUE")).toArray().isEmpty());

    const auto toFirst = first->waitForRequest(QStringLiteral("SetNoFlyZone"));
    const auto toSecond = second->waitForRequest(QStringLiteral("SetNoFlyZone"));
    QVERIFY(toFirst && toSecond);
    QCOMPARE(toFirst->value(QStringLiteral("VALUE")), reply.value(QStringLiteral("VALUE")));
    QCOMPARE(toSecond->value(QStringLiteral("VALUE")), reply.value(QStringLiteral("VALUE")));
    QCOMPARE(anonymous->requestsNamed(QStringLiteral("SetNoFlyZone")).size(), 0);
}

QTEST_MAIN(tst_GetNoFlyZone)
#include "tst_getnoflyzone.moc"
