#include "hostprocess.h"
#include "jsonclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

// The real host under a flood of bad requests, huge messages and connection
// churn: it keeps answering and its resident memory stays bounded.

namespace {

// Under AddressSanitizer the host's allocator keeps freed memory in ways that
// say nothing about the host, so resident memory is judged in plain builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool JudgeMemory = false;
#else
constexpr bool JudgeMemory = true;
#endif

// What the host may keep after a burst: allocator slack (the sanitizers'
// allocator keeps more of it), not the burst.
constexpr qint64 MaxGrowthKiB = 256 * 1024;

bool isSuccess(const std::optional<QJsonObject> &reply) {
    return reply && reply->value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

} // namespace

class TestLoadChurn : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void everyMalformedRequestIsAnswered();
    void hugeMessagesAreRefused_data();
    void hugeMessagesAreRefused();
    void connectionChurnLeavesNothingBehind();
    void clientThatStopsReadingIsDropped();

private:
    bool hostAnswers();
    void verifyResidentNear(qint64 baselineKiB);
    qint64 settledResidentKiB();

    HostProcess m_host;
    JsonClient m_probe;
    QString m_aircraft;
    qint64 m_baselineKiB = 0;
};

void TestLoadChurn::initTestCase() {
    QVERIFY2(m_host.launch({QStringLiteral("--simulate"), QStringLiteral("0")}),
             m_host.output().constData());
    JsonClient push;
    QVERIFY(m_host.connectClient(push, QStringLiteral("/groundstation/push")));
    const QJsonObject device = m_host.attachAndWait(push);
    QVERIFY(!device.isEmpty());
    m_aircraft = device.value(QStringLiteral("SN")).toString();
    push.close();
    QVERIFY(m_host.connectClient(m_probe, QStringLiteral("/groundstation")));
    m_baselineKiB = settledResidentKiB();
    QVERIFY(m_baselineKiB > 0);
}

void TestLoadChurn::cleanup() {
    if (QTest::currentTestFailed())
        qInfo().noquote() << "host output:\n"
                          << QString::fromLocal8Bit(m_host.output().right(4000));
    QVERIFY2(m_host.state() == QProcess::Running, "the host must survive every load");
    QVERIFY(hostAnswers());
}

void TestLoadChurn::verifyResidentNear(qint64 baselineKiB) {
    if (!JudgeMemory)
        return;
    const qint64 resident = settledResidentKiB();
    QVERIFY2(resident - baselineKiB < MaxGrowthKiB,
             qPrintable(QStringLiteral("resident memory grew from %1 KiB to %2 KiB")
                            .arg(baselineKiB)
                            .arg(resident)));
}

void TestLoadChurn::cleanupTestCase() {
    m_probe.close();
    m_host.stop();
    QCOMPARE(m_host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_host.exitCode(), 0);
}

bool TestLoadChurn::hostAnswers() {
    if (!m_probe.isConnected() && !m_host.connectClient(m_probe, QStringLiteral("/groundstation")))
        return false;
    return isSuccess(m_probe.call(QStringLiteral("GetAircraftList"), {}, 20000));
}

qint64 TestLoadChurn::settledResidentKiB() {
    // After a round trip everything sent before it has been handled.
    hostAnswers();
    return m_host.residentKiB();
}

void TestLoadChurn::everyMalformedRequestIsAnswered() {
    const QString aircraft = m_aircraft;
    const QStringList texts = {
        QStringLiteral("not json"),
        QStringLiteral("[1,2,3]"),
        QStringLiteral("\"just a string\""),
        QStringLiteral("{\"CMD\":"),
        QStringLiteral("{}"),
        QStringLiteral("{\"CMD\":12,\"SEQ\":[1]}"),
        QStringLiteral("{\"CMD\":\"NoSuchCommand\",\"SEQ\":\"x\"}"),
        QStringLiteral("{\"CMD\":\"GetWayLine\",\"VALUE\":{\"WAYLINE\":\"../../../etc/passwd\"}}"),
        QStringLiteral("{\"CMD\":\"GetWayLine\",\"VALUE\":{\"WAYLINE\":7}}"),
        QStringLiteral(
            "{\"CMD\":\"SaveWayline\",\"VALUE\":{\"WAYLINE_NAME\":\"/tmp/x\",\"WAYLINE\":1}}"),
        QStringLiteral("{\"CMD\":\"SaveWayline\",\"VALUE\":[]}"),
        QStringLiteral(
            "{\"CMD\":\"UploadWayLineMission\",\"VALUE\":{\"AIRCRAFT\":5,\"WAYLINE\":\"x\"}}"),
        QStringLiteral("{\"CMD\":\"GetNoflyZone\",\"VALUE\":{\"LATI\":\"north\",\"LONTI\":null}}"),
        QStringLiteral("{\"CMD\":\"GetNoflyZone\",\"VALUE\":{\"LATI\":1e308,\"LONTI\":-1e308}}"),
        QStringLiteral("{\"CMD\":\"ClickGo\",\"VALUE\":{\"AIRCRAFT\":{\"a\":1},\"LATI\":[]}}"),
        QStringLiteral("{\"CMD\":\"SetNavigationMode\",\"VALUE\":{\"AIRCRAFT\":\"%1\",\"NAVIGATION_"
                       "MODE\":\"x\"}}")
            .arg(aircraft),
        QStringLiteral("{\"CMD\":\"SetNavigationMode\",\"VALUE\":{\"AIRCRAFT\":\"%1\",\"NAVIGATION_"
                       "MODE\":99}}")
            .arg(aircraft),
        QStringLiteral("{\"CMD\":\"GetFlyLimit\",\"VALUE\":{\"AIRCRAFT\":\"%1\",\"EXTRA\":[1,2]}}")
            .arg(aircraft),
        QStringLiteral("{\"CMD\":\"StartOrCancelWayLineMission\",\"VALUE\":{\"AIRCRAFT\":\"%1\","
                       "\"GO_STOP\":257}}")
            .arg(aircraft),
        QStringLiteral("{\"CMD\":\"PauseOrContinueWayLineMission\",\"VALUE\":{\"AIRCRAFT\":\"%1\","
                       "\"PAUSE\":\"x\"}}")
            .arg(aircraft),
        QStringLiteral(
            "{\"CMD\":\"DoFunction\",\"VALUE\":{\"AIRCRAFT\":\"%1\",\"FUNCTION\":[\"LAND\"]}}")
            .arg(aircraft),
        QStringLiteral("{\"CMD\":\"WayLineList\",\"VALUE\":7}"),
    };
    JsonClient client;
    QVERIFY(m_host.connectClient(client, QStringLiteral("/groundstation")));
    constexpr int Rounds = 200;
    int sent = 0;
    for (int round = 0; round < Rounds; ++round) {
        for (const QString &text : texts) {
            client.sendRaw(text);
            ++sent;
        }
        client.socket.sendBinaryMessage(QByteArray("\x00\x01binary", 8));
        ++sent;
        // Let replies drain now and then, as a real client would.
        if (round % 20 == 19)
            QVERIFY(QTest::qWaitFor([&]() { return client.received.size() >= sent; }, 60000));
    }
    QVERIFY2(QTest::qWaitFor([&]() { return client.received.size() >= sent; }, 60000),
             qPrintable(QStringLiteral("%1 of %2 answered").arg(client.received.size()).arg(sent)));
    QVERIFY(isSuccess(client.call(QStringLiteral("GetAircraftList"), {}, 20000)));
    QCOMPARE(client.received.size(), sent + 1);
    // Every reply says how it went; only the wayline list is a bare "VALUE".
    for (const QJsonObject &reply : qAsConst(client.received)) {
        QVERIFY2(reply.contains(QStringLiteral("ERROR")) ||
                     reply.value(QStringLiteral("CMD")).toString() == QLatin1String("WayLineList"),
                 QJsonDocument(reply).toJson().constData());
    }
    QVERIFY(QDir(m_host.waylineFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestLoadChurn::hugeMessagesAreRefused_data() {
    QTest::addColumn<qint64>("frameSize");
    QTest::newRow("one frame of 64 MiB") << qint64(64) * 1024 * 1024;
    QTest::newRow("64 MiB in frames of 1 MiB") << qint64(1024) * 1024;
    verifyResidentNear(m_baselineKiB);
}

void TestLoadChurn::hugeMessagesAreRefused() {
    QFETCH(qint64, frameSize);
    JsonClient client;
    client.socket.setOutgoingFrameSize(quint64(frameSize));
    QVERIFY(m_host.connectClient(client, QStringLiteral("/groundstation")));
    const QString huge = QStringLiteral("{\"CMD\":\"GetAircraftList\",\"SEQ\":\"huge\",\"X\":\"") +
                         QString(64 * 1024 * 1024, QLatin1Char('x')) + QStringLiteral("\"}");
    client.sendRaw(huge);
    QVERIFY(QTest::qWaitFor([&]() { return !client.isConnected(); }, 60000));
    // Whether the close frame (1009) or the reset arrives first is up to the
    // kernel; either way the message was never taken as a request.
    QVERIFY(!client.waitForSeq(QStringLiteral("huge"), 0));
    verifyResidentNear(m_baselineKiB);
}

void TestLoadChurn::connectionChurnLeavesNothingBehind() {
    // Bare TCP connections dropped at once, heads left unfinished, and
    // WebSocket clients of both paths dropped without a close handshake.
    std::vector<std::unique_ptr<QTcpSocket>> halfHeads;
    for (int i = 0; i < 300; ++i) {
        QTcpSocket bare;
        bare.connectToHost(QHostAddress::LocalHost, 19870);
        QVERIFY(bare.waitForConnected(5000));
        if (i % 3 == 0) {
            auto partial = std::make_unique<QTcpSocket>();
            partial->connectToHost(QHostAddress::LocalHost, 19870);
            QVERIFY(partial->waitForConnected(5000));
            partial->write("GET /groundstation HTTP/1.1\r\nUpgrade: websocket\r\n");
            halfHeads.push_back(std::move(partial));
        }
        bare.abort();
    }
    for (int i = 0; i < 200; ++i) {
        JsonClient client;
        QVERIFY(m_host.connectClient(client, i % 2 ? QStringLiteral("/groundstation/push")
                                                   : QStringLiteral("/groundstation")));
        if (i % 4 == 0)
            client.send(QStringLiteral("GetAircraftList"));
        client.socket.abort();
    }
    QVERIFY(hostAnswers());
    // Unfinished heads are dropped by the host, not kept forever.
    QVERIFY(QTest::qWaitFor(
        [&]() {
            for (const auto &socket : halfHeads) {
                if (socket->state() != QAbstractSocket::UnconnectedState)
                    return false;
            }
            return true;
        },
        30000));
    verifyResidentNear(m_baselineKiB);
}

void TestLoadChurn::clientThatStopsReadingIsDropped() {
    // A wayline just under the message limit, asked for over and over by a
    // client that never reads: the host must give up on it, not buffer it.
    QJsonArray points;
    const QString filler(1000, QLatin1Char('w'));
    for (int i = 0; i < 12 * 1024; ++i)
        points.append(QJsonObject{{QStringLiteral("INDEX"), i}, {QStringLiteral("NOTE"), filler}});
    JsonClient writer;
    QVERIFY(m_host.connectClient(writer, QStringLiteral("/groundstation")));
    const auto saved = writer.call(
        QStringLiteral("SaveWayline"),
        {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("big")},
         {QStringLiteral("WAYLINE"), QJsonObject{{QStringLiteral("WAY_POINTS"), points}}}},
        60000);
    QVERIFY2(isSuccess(saved), qPrintable(describeReply(saved)));
    writer.close();

    // Two rounds: what the first leaves behind is allocator slack, and the
    // second must not add to it.
    qint64 afterFirst = 0;
    for (int round = 0; round < 2; ++round) {
        QTcpSocket stalled;
        stalled.setReadBufferSize(4096); // Qt then stops reading from the kernel
        stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stalled.connectToHost(QHostAddress::LocalHost, 19870);
        QVERIFY(stalled.waitForConnected(5000));
        stalled.write(
            "GET /groundstation HTTP/1.1\r\nHost: 127.0.0.1:19870\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n");
        const QByteArray request = "{\"CMD\":\"GetWayLine\",\"VALUE\":{\"WAYLINE\":\"big\"}}";
        QByteArray frame;
        frame += char(0x81);
        frame += char(0x80 | request.size());
        frame += QByteArray(4, '\0'); // a zero mask leaves the payload as it is
        frame += request;
        // Each reply is about 12 MiB; once 64 MiB wait unsent the host must end
        // the connection. Requests go out faster than replies, so how many were
        // sent says nothing; that the client is dropped at all is what counts.
        constexpr int Requests = 16;
        for (int i = 0; i < Requests; ++i)
            stalled.write(frame);
        const bool dropped = QTest::qWaitFor(
            [&]() {
                // A socket that no longer reads notices the reset only on writing.
                if (stalled.state() == QAbstractSocket::ConnectedState &&
                    stalled.bytesToWrite() == 0)
                    stalled.write(QByteArray("\x89\x80\0\0\0\0", 6)); // an empty ping
                return stalled.state() != QAbstractSocket::ConnectedState;
            },
            180000);
        QVERIFY2(dropped, "a client that reads nothing was never dropped");
        // A reader's load queues behind the stalled client's: its whole
        // wayline back means they have all been done.
        JsonClient reader;
        QVERIFY(m_host.connectClient(reader, QStringLiteral("/groundstation")));
        const auto loaded =
            reader.call(QStringLiteral("GetWayLine"),
                        {{QStringLiteral("WAYLINE"), QStringLiteral("big")}}, 180000);
        QVERIFY(loaded);
        QCOMPARE(loaded->value(QStringLiteral("VALUE"))
                     .toObject()
                     .value(QStringLiteral("WAY_POINTS"))
                     .toArray()
                     .size(),
                 points.size());
        reader.close();
        if (round == 0)
            afterFirst = settledResidentKiB();
    }
    const qint64 afterSecond = settledResidentKiB();
    QVERIFY2(!JudgeMemory || afterSecond - afterFirst < 64 * 1024,
             qPrintable(QStringLiteral("%1 KiB after one stalled client, %2 KiB after two")
                            .arg(afterFirst)
                            .arg(afterSecond)));
}

QTEST_GUILESS_MAIN(TestLoadChurn)
#include "tst_loadchurn.moc"
