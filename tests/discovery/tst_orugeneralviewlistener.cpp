#include "fakehost.h"

#include <orugeneralviewlistener.h>

#include <QTest>

class tst_OruGeneralViewListener : public QObject {
    Q_OBJECT

    FakeHost host;
    std::unique_ptr<OruGeneralViewListener> listener;
    QStringList heard; // the listener's signals, in order

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(host.listen());
        listener = std::make_unique<OruGeneralViewListener>(nullptr);
        connect(listener.get(), &OruGeneralViewListener::deviceArrival, this,
                [this](const QString &type, const QString &hash) {
                    heard << QStringLiteral("arrival %1,%2").arg(type, hash);
                });
        connect(listener.get(), &OruGeneralViewListener::deviceRemoved, this,
                [this](const QString &hash) { heard << "removal " + hash; });
        connect(listener.get(), &OruGeneralViewListener::login_success, this,
                [this]() { heard << "login"; });
        listener->start();
    }

    void messages_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("arrival gives type then hash")
            << R"({"EVENT":"device_arrival","DEVICE_TYPE":"ct510v3","FILE":"h1"})"
            << QStringList{"arrival ct510v3,h1"};
        QTest::newRow("arrival without FILE gives an empty hash")
            << R"({"EVENT":"device_arrival","DEVICE_TYPE":"ct510v3"})"
            << QStringList{"arrival ct510v3,"};
        QTest::newRow("type inside VALUE is not seen")
            << R"({"EVENT":"device_arrival","VALUE":{"DEVICE_TYPE":"ct510v3"},"FILE":"h2"})"
            << QStringList{"arrival ,h2"};
        QTest::newRow("removal gives the hash")
            << R"({"EVENT":"device_removed","FILE":"h1"})" << QStringList{"removal h1"};
        QTest::newRow("login") << R"({"EVENT":"login_success"})" << QStringList{"login"};
        QTest::newRow("a numeric EVENT matches nothing")
            << R"({"EVENT":1,"FILE":"h3"})" << QStringList();
        QTest::newRow("an unknown event")
            << R"({"EVENT":"device_arrived","FILE":"h4"})" << QStringList();
        QTest::newRow("not an object") << R"(["device_arrival"])" << QStringList();
        QTest::newRow("not JSON") << "device_arrival" << QStringList();
    }

    void messages() {
        QFETCH(QString, message);
        QFETCH(QStringList, expected);
        QTRY_VERIFY(host.generalClientCount() > 0);
        heard.clear();
        host.sendGeneral(message);
        // A removal sent behind the message marks when it has been handled.
        host.sendGeneral(R"({"EVENT":"device_removed","FILE":"marker"})");
        QTRY_VERIFY(heard.contains("removal marker"));
        QCOMPARE(heard, expected << "removal marker");
    }

    void reconnectsWhileDown() {
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
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_OruGeneralViewListener)
#include "tst_orugeneralviewlistener.moc"
