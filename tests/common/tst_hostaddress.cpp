#include <hostaddress.h>

#include <QTest>

class tst_HostAddress : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void port_data() {
        QTest::addColumn<QByteArray>("setting"); // null: unset
        QTest::addColumn<QString>("url");
        const QString fallback = "ws://127.0.0.1:19870/general";
        QTest::newRow("unset gives 19870") << QByteArray() << fallback;
        QTest::newRow("the highest port is taken")
            << QByteArray("65535") << "ws://127.0.0.1:65535/general";
        QTest::newRow("0 gives 19870") << QByteArray("0") << fallback;
        QTest::newRow("past 65535 gives 19870") << QByteArray("65536") << fallback;
        QTest::newRow("text gives 19870") << QByteArray("http") << fallback;
    }

    void port() {
        QFETCH(QByteArray, setting);
        QFETCH(QString, url);
        if (setting.isNull())
            qunsetenv("ORU_HOST_PORT");
        else
            qputenv("ORU_HOST_PORT", setting);
        QCOMPARE(HostAddress::url("/general").toString(), url);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_HostAddress)
#include "tst_hostaddress.moc"
