#include "fakehost.h"

#include <orugeneralviewlistener.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class tst_OruGeneralViewListener : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void firstAttemptComesAfterOneSecond();
    void messages_data();
    void messages();
    void reconnectsWhileDown();

private:
    FakeHost host;
    std::unique_ptr<OruGeneralViewListener> listener;
};

void tst_OruGeneralViewListener::initTestCase() {
    QVERIFY(host.listen());
    listener = std::make_unique<OruGeneralViewListener>(nullptr);
}

void tst_OruGeneralViewListener::cleanupTestCase() {
    listener.reset();
}

void tst_OruGeneralViewListener::firstAttemptComesAfterOneSecond() {
    QSignalSpy connected(&host, &FakeHost::generalClientConnected);
    QElapsedTimer clock;
    clock.start();
    listener->start();
    QVERIFY(connected.wait(5000));
    QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
}

void tst_OruGeneralViewListener::messages_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("arrival"); // type, hash; empty: no arrival
    QTest::addColumn<QStringList>("removal"); // hash; empty: no removal
    QTest::addColumn<int>("logins");

    QTest::newRow("arrival gives type then hash")
        << R"({"EVENT":"device_arrival","DEVICE_TYPE":"ct510v3","FILE":"h1"})"
        << QStringList{"ct510v3", "h1"} << QStringList{} << 0;
    QTest::newRow("arrival without FILE gives an empty hash")
        << R"({"EVENT":"device_arrival","DEVICE_TYPE":"ct510v3"})" << QStringList{"ct510v3", ""}
        << QStringList{} << 0;
    QTest::newRow("type inside VALUE is not seen")
        << R"({"EVENT":"device_arrival","VALUE":{"DEVICE_TYPE":"ct510v3"},"FILE":"h2"})"
        << QStringList{"", "h2"} << QStringList{} << 0;
    QTest::newRow("removal gives the hash")
        << R"({"EVENT":"device_removed","FILE":"h1"})" << QStringList{} << QStringList{"h1"} << 0;
    QTest::newRow("login") << R"({"EVENT":"login_success"})" << QStringList{} << QStringList{} << 1;
    QTest::newRow("numeric EVENT matches nothing")
        << R"({"EVENT":1,"DEVICE_TYPE":"ct510v3","FILE":"h3"})" << QStringList{} << QStringList{}
        << 0;
    QTest::newRow("unknown event")
        << R"({"EVENT":"device_arrived","FILE":"h4"})" << QStringList{} << QStringList{} << 0;
    QTest::newRow("not an object")
        << R"(["device_arrival"])" << QStringList{} << QStringList{} << 0;
    QTest::newRow("not JSON") << "device_arrival" << QStringList{} << QStringList{} << 0;
}

void tst_OruGeneralViewListener::messages() {
    QFETCH(QString, message);
    QFETCH(QStringList, arrival);
    QFETCH(QStringList, removal);
    QFETCH(int, logins);

    listener->start();
    QTRY_VERIFY_WITH_TIMEOUT(host.generalClientCount() > 0, 5000);
    QSignalSpy arrivals(listener.get(), &OruGeneralViewListener::deviceArrival);
    QSignalSpy removals(listener.get(), &OruGeneralViewListener::deviceRemoved);
    QSignalSpy loginSpy(listener.get(), &OruGeneralViewListener::login_success);

    host.sendGeneral(message);
    // A removal sent behind the message marks when it has been handled.
    host.sendGeneral(R"({"EVENT":"device_removed","FILE":"marker"})");
    QTRY_VERIFY(!removals.isEmpty() && removals.last().at(0).toString() == "marker");
    removals.removeLast();

    QCOMPARE(arrivals.size(), arrival.isEmpty() ? 0 : 1);
    if (!arrival.isEmpty()) {
        QCOMPARE(arrivals.first().at(0).toString(), arrival.at(0));
        QCOMPARE(arrivals.first().at(1).toString(), arrival.at(1));
    }
    QCOMPARE(removals.size(), removal.isEmpty() ? 0 : 1);
    if (!removal.isEmpty())
        QCOMPARE(removals.first().at(0).toString(), removal.at(0));
    QCOMPARE(loginSpy.size(), logins);
}

void tst_OruGeneralViewListener::reconnectsWhileDown() {
    QTRY_VERIFY_WITH_TIMEOUT(host.generalClientCount() > 0, 5000);
    // The channel drops and the next attempts are turned away: the listener
    // keeps trying, once a second, until one is let through.
    const int before = host.generalConnections;
    host.refuseGeneral = true;
    host.dropGeneralClients();
    QTRY_VERIFY_WITH_TIMEOUT(host.generalConnections >= before + 2, 6000);
    host.refuseGeneral = false;
    QTRY_COMPARE_WITH_TIMEOUT(host.generalClientCount(), 1, 5000);
}

QTEST_GUILESS_MAIN(tst_OruGeneralViewListener)
#include "tst_orugeneralviewlistener.moc"
