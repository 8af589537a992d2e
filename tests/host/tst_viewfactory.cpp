#include "hostserver.h"
#include "jsonclient.h"
#include "viewfactory.h"

#include <orugroundstationservice.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The host's ground station routes: a command view per client on
// "/groundstation", a push view per client on "/groundstation/push".
class tst_ViewFactory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyBroadcastReachesEveryPushClientInOrder();
    void commandClientsGetReplies();
    void aPushClientThatLeavesTakesNothingWithIt();

private:
    QList<int> received(const JsonClient &client) const;

    QTemporaryDir home;
    HostServer server;
    std::unique_ptr<ViewFactory> factory;
    int sent = 0;
};

void tst_ViewFactory::initTestCase() {
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    SingletonEx<OruGroundStationService>::createInstance();
    factory = std::make_unique<ViewFactory>(&server);
    QVERIFY(server.listen());
}

QList<int> tst_ViewFactory::received(const JsonClient &client) const {
    QList<int> values;
    for (const QJsonObject &event : client.events("NUMBER"))
        values << event.value("VALUE").toInt();
    return values;
}

void tst_ViewFactory::everyBroadcastReachesEveryPushClientInOrder() {
    JsonClient first;
    JsonClient second;
    JsonClient commands;
    QVERIFY(first.open("/groundstation/push"));
    QVERIFY(second.open("/groundstation/push"));
    QVERIFY(commands.open("/groundstation"));

    QList<int> expected;
    for (int i = 0; i < 20; ++i) {
        expected << ++sent;
        OruGroundStationService::instance().broadcastJson(
            {{"EVENT", "NUMBER"}, {"VALUE", expected.last()}});
    }
    QTRY_COMPARE(received(first), expected);
    QTRY_COMPARE(received(second), expected);
    // A reply on the command connection is the barrier: no broadcast went there.
    QVERIFY(commands.call("GetAircraftList"));
    QVERIFY(commands.events("NUMBER").isEmpty());
}

void tst_ViewFactory::commandClientsGetReplies() {
    JsonClient commands;
    QVERIFY(commands.open("/groundstation"));
    const auto reply = commands.call("GetAircraftList");
    QVERIFY(reply);
    QCOMPARE(reply->value("ERROR"), QJsonValue("SUCCESS"));
    QCOMPARE(reply->value("VALUE"), QJsonValue(QJsonArray{}));
}

void tst_ViewFactory::aPushClientThatLeavesTakesNothingWithIt() {
    JsonClient staying;
    QVERIFY(staying.open("/groundstation/push"));
    {
        JsonClient leaving;
        QVERIFY(leaving.open("/groundstation/push"));
        leaving.close();
        QTRY_VERIFY(!leaving.isConnected());
    }
    const int value = ++sent;
    OruGroundStationService::instance().broadcastJson({{"EVENT", "NUMBER"}, {"VALUE", value}});
    QTRY_COMPARE(received(staying), QList<int>{value});
}

QTEST_GUILESS_MAIN(tst_ViewFactory)
#include "tst_viewfactory.moc"
