#include "hostprocess.h"

#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

// The real host under a flood of bad requests and connection churn: it keeps
// answering and its resident memory stays bounded. Oversized messages are
// tst_websockethandler's: the web clients' paths all go through that handler.

class TestLoadChurn : public QObject {
    Q_OBJECT

    // A round trip, after which everything sent before has been handled.
    bool hostAnswers() {
        return (m_probe.isConnected() || m_host.connectClient(m_probe, "/groundstation")) &&
               isSuccess(m_probe.call("GetAircraftList", {}, 20000));
    }

    HostProcess m_host;
    JsonClient m_probe;
    QString m_aircraft;
    qint64 m_baselineKiB = 0;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_host.launch({"--simulate", "0"}), m_host.output().constData());
        JsonClient push;
        QVERIFY(m_host.connectClient(push, "/groundstation/push"));
        m_aircraft = m_host.attachAndWait(push).value("SN").toString();
        QVERIFY(!m_aircraft.isEmpty() && hostAnswers());
        m_baselineKiB = m_host.residentKiB();
        QVERIFY(m_baselineKiB > 0);
    }

    void cleanupTestCase() { QVERIFY(m_host.stop()); }

    void cleanup() {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "host output:\n" << m_host.output().right(4000);
        QVERIFY2(m_host.state() == QProcess::Running, "the host must survive every load");
        QVERIFY(hostAnswers());
        // The host may keep allocator slack after a burst, not the burst. AddressSanitizer's
        // allocator keeps freed memory its own way, so only plain builds are judged.
#ifndef __SANITIZE_ADDRESS__
        const qint64 grown = m_host.residentKiB() - m_baselineKiB;
        QVERIFY2(grown < 256 * 1024, qPrintable(QString("grew by %1 KiB").arg(grown)));
#endif
    }

    void everyMalformedRequestIsAnswered(); // defined below: moc misreads raw strings in a class

    void connectionChurnLeavesNothingBehind() {
        // Bare TCP connections dropped at once, heads left unfinished, and
        // WebSocket clients of both paths dropped without a close handshake.
        std::vector<std::unique_ptr<QTcpSocket>> halfHeads;
        for (int i = 0; i < 200; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, 19870);
            QVERIFY(socket->waitForConnected(5000));
            if (i % 3 == 0) {
                socket->write("GET /groundstation HTTP/1.1\r\nUpgrade: websocket\r\n");
                halfHeads.push_back(std::move(socket)); // the others abort as they go
            }
        }
        for (int i = 0; i < 100; ++i) {
            JsonClient client;
            QVERIFY(m_host.connectClient(client, i % 2 ? "/groundstation/push" : "/groundstation"));
            if (i % 4 == 0)
                client.send("GetAircraftList");
            client.socket.abort();
        }
        QVERIFY(hostAnswers());
        // Unfinished heads are dropped by the host, not kept forever.
        const auto gone = [](auto &s) { return s->state() == QTcpSocket::UnconnectedState; };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(halfHeads.begin(), halfHeads.end(), gone), 30000);
    }
};

void TestLoadChurn::everyMalformedRequestIsAnswered() {
    const QStringList texts = QString(R"(not json
[1,2,3]
{}
{"CMD":12,"SEQ":[1]}
{"CMD":"NoSuchCommand","SEQ":"x"}
{"CMD":"GetWayLine","VALUE":{"WAYLINE":"../../../etc/passwd"}}
{"CMD":"GetWayLine","VALUE":{"WAYLINE":7}}
{"CMD":"SaveWayline","VALUE":{"WAYLINE_NAME":"/tmp/x","WAYLINE":1}}
{"CMD":"SaveWayline","VALUE":[]}
{"CMD":"UploadWayLineMission","VALUE":{"AIRCRAFT":5,"WAYLINE":"x"}}
{"CMD":"GetNoflyZone","VALUE":{"LATI":"north","LONTI":null}}
{"CMD":"GetNoflyZone","VALUE":{"LATI":1e308,"LONTI":-1e308}}
{"CMD":"ClickGo","VALUE":{"AIRCRAFT":{"a":1},"LATI":[]}}
{"CMD":"SetNavigationMode","VALUE":{"AIRCRAFT":"%1","NAVIGATION_MODE":"x"}}
{"CMD":"SetNavigationMode","VALUE":{"AIRCRAFT":"%1","NAVIGATION_MODE":99}}
{"CMD":"GetFlyLimit","VALUE":{"AIRCRAFT":"%1","EXTRA":[1,2]}}
{"CMD":"StartOrCancelWayLineMission","VALUE":{"AIRCRAFT":"%1","GO_STOP":257}}
{"CMD":"PauseOrContinueWayLineMission","VALUE":{"AIRCRAFT":"%1","PAUSE":"x"}}
{"CMD":"DoFunction","VALUE":{"AIRCRAFT":"%1","FUNCTION":["LAND"]}}
{"CMD":"WayLineList","VALUE":7})")
                                  .arg(m_aircraft)
                                  .split('\n');
    JsonClient client;
    QVERIFY(m_host.connectClient(client, "/groundstation"));
    int sent = 0;
    // Repeated, with replies drained now and then as a real client would.
    for (int round = 0; round < 100; ++round) {
        for (const QString &text : texts)
            client.sendRaw(text);
        client.socket.sendBinaryMessage(QByteArray("\x00\x01binary", 8));
        sent += texts.size() + 1;
        if (round % 20 == 19)
            QVERIFY(QTest::qWaitFor([&]() { return client.received.size() >= sent; }, 60000));
    }
    QVERIFY(isSuccess(client.call("GetAircraftList", {}, 20000)));
    QCOMPARE(client.received.size(), sent + 1);
    // Every reply says how it went; only the wayline list is a bare "VALUE".
    for (const QJsonObject &reply : qAsConst(client.received))
        QVERIFY2(reply.value("ERROR") == "SUCCESS" || reply.value("CMD") == "WayLineList" ||
                     !reply.value("ERROR_MESSAGE").toString().isEmpty(),
                 QJsonDocument(reply).toJson().constData());
    QVERIFY(QDir(m_host.waylineFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

#include <orutestmain.h>
ORU_TEST_MAIN(TestLoadChurn)
#include "tst_loadchurn.moc"
