#include "hostserver.h"
#include "jsonclient.h"
#include "viewfactory.h"

#include <orugroundstationservice.h>

#include <QTemporaryDir>
#include <QTest>

// The host's ground station routes: a command view per client on
// "/groundstation", a push view per client on "/groundstation/push".
class tst_ViewFactory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyBroadcastReachesEveryPushClientInOrder() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        SingletonEx<OruGroundStationService>::createInstance();
        HostServer server;
        ViewFactory factory(&server);
        QVERIFY(server.listen());

        JsonClient first, second, commands;
        QVERIFY(first.open("/groundstation/push") && second.open("/groundstation/push"));
        QVERIFY(commands.open("/groundstation"));

        QList<QJsonObject> expected;
        for (int i = 1; i <= 20; ++i) {
            expected << QJsonObject{{"EVENT", "NUMBER"}, {"VALUE", i}};
            OruGroundStationService::instance().broadcastJson(expected.last());
        }
        QTRY_COMPARE(first.events("NUMBER"), expected);
        QTRY_COMPARE(second.events("NUMBER"), expected);
        // The reply on the command connection is the barrier: no broadcast went there.
        QVERIFY(commands.call("GetAircraftList"));
        QVERIFY(commands.events("NUMBER").isEmpty());
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_ViewFactory)
#include "tst_viewfactory.moc"
