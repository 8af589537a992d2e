#include "hostprocess.h"

#include <QtTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

// A local process floods the real host with idle WebSocket clients under the usual desktop
// descriptor limit: the host must refuse the surplus with 503, stay idle while refusing, and
// keep serving the clients it already has.

namespace {
constexpr int DescriptorLimit = 1024;
constexpr int Flood = 1100;

// User and system time of a process, in clock ticks.
qint64 cpuTicks(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    // The fields after the command name, which may hold spaces itself; utime is the 14th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

// A client frame with the zero mask, so the payload goes as it is.
QByteArray frame(int opcode, bool fin, qint64 announced, const QByteArray &payload) {
    QByteArray out(1, char((fin ? 0x80 : 0) | opcode));
    out += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
        out += char((announced >> shift) & 0xff);
    return out + QByteArray(4, '\0') + payload;
}

// A close frame with code 1009 and the budget's reason.
const QByteArray TooMuchData("\x88\x22\x03\xf1incoming message budget exceeded");

bool settled(const std::vector<std::unique_ptr<QWebSocket>> &sockets) {
    return std::none_of(sockets.begin(), sockets.end(), [](const auto &socket) {
        return socket->state() == QAbstractSocket::ConnectingState ||
               socket->state() == QAbstractSocket::HostLookupState;
    });
}
} // namespace

class TestClientLimits : public QObject {
    Q_OBJECT

    // Opens count clients in batches small enough for the listen backlog.
    static void flood(std::vector<std::unique_ptr<QWebSocket>> &sockets, int count) {
        while (int(sockets.size()) < count) {
            const size_t batchEnd = qMin<size_t>(sockets.size() + 50, size_t(count));
            while (sockets.size() < batchEnd) {
                sockets.push_back(std::make_unique<QWebSocket>());
                sockets.back()->open(QUrl("ws://127.0.0.1:19870/groundstation"));
            }
            QVERIFY(QTest::qWaitFor([&]() { return settled(sockets); }, 60000));
        }
    }

    static QByteArray upgradeHead() {
        return "GET /groundstation HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n";
    }

    // Upgrade requests from several raw clients at once, and the status lines they get.
    static QList<QByteArray> refusals(int count) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        QList<QByteArray> answers;
        for (int i = 0; i < count; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, 19870);
            sockets.back()->write(upgradeHead());
        }
        for (const auto &socket : sockets) {
            (void)QTest::qWaitFor([&]() { return socket->canReadLine(); }, 15000);
            answers.append(socket->readLine().trimmed());
        }
        return answers;
    }

private Q_SLOTS:
    void initTestCase() {
        // The flood needs more descriptors than the host it attacks.
        rlimit own{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &own), 0);
        own.rlim_cur = own.rlim_max;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &own), 0);
        if (own.rlim_cur < rlim_t(2 * Flood + 256))
            QSKIP("the test itself needs more descriptors than the hard limit allows");
    }

    void floodOfIdleClients_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("tableFills");
        QTest::newRow("the default cap leaves room for files") << QStringList() << false;
        QTest::newRow("a cap at the limit fills the descriptor table")
            << QStringList{"--max-clients", QString::number(DescriptorLimit)} << true;
    }

    void floodOfIdleClients() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, tableFills);
        HostProcess host;
        host.setDescriptorLimit(DescriptorLimit);
        QVERIFY2(host.launch(QStringList{"--simulate", "0"} + arguments), host.output());
        const auto report = qScopeGuard([&]() {
            if (QTest::currentTestFailed())
                qInfo().noquote() << "host output:\n" << host.output().right(3000);
        });
        JsonClient early;
        QVERIFY(host.connectClient(early, "/groundstation"));
        const auto save = [&](const QString &name) {
            return early.send("SaveWayline", {{"WAYLINE_NAME", name}, {"WAYLINE", smallMission()}});
        };

        std::vector<std::unique_ptr<QWebSocket>> sockets;
        flood(sockets, Flood);
        const auto open = std::count_if(sockets.begin(), sockets.end(), [](const auto &socket) {
            return socket->state() == QAbstractSocket::ConnectedState;
        });
        QVERIFY2(open > DescriptorLimit / 2 && open < Flood, qPrintable(QString::number(open)));

        // Refusing must not cost a core: a generous bound, far below a busy loop.
        QElapsedTimer wall;
        wall.start();
        const qint64 before = cpuTicks(host.processId());
        const QList<QByteArray> answers = refusals(8);
        QVERIFY(QTest::qWaitFor([&]() { return wall.elapsed() >= 1000; }, 5000));
        const double busy = double(cpuTicks(host.processId()) - before) / sysconf(_SC_CLK_TCK) /
                            (wall.elapsed() / 1000.0);
        qInfo("host CPU while refusing: %.0f%% of a core", busy * 100);
        QVERIFY2(busy < 0.5, qPrintable(QString::number(busy)));
        for (const QByteArray &answer : answers)
            QCOMPARE(answer, QByteArray("HTTP/1.1 503 Service Unavailable"));

        // Two saves at once need both pool threads, which a full table could not start.
        const QStringList during{save("during 1"), save("during 2")};
        for (const QString &seq : during) {
            const auto reply = early.waitForSeq(seq, 15000);
            QVERIFY2(reply, "the host must answer with its descriptor table full");
            if (!tableFills)
                QVERIFY(isSuccess(reply));
        }
        QCOMPARE(host.state(), QProcess::Running);

        // Once the flood has gone, everything works again, new clients included.
        sockets.clear();
        JsonClient late;
        QVERIFY(host.connectClient(late, "/groundstation", 30000));
        QVERIFY(isSuccess(early.waitForSeq(save("after"), 15000)));
        const auto loaded = late.call("GetWayLine", {{"WAYLINE", "after"}}, 15000);
        QVERIFY(loaded);
        QCOMPARE(loaded->value("VALUE").toObject(), smallMission());
        QVERIFY2(host.stop(), host.output().right(2000).constData());
    }

    // Clients that each hold 6 MiB of a message they never finish, against a budget that
    // fits two of them: the third is closed with 1009, the first two are not, and the host
    // serves on.
    void unfinishedMessagesShareOneBudget_data() {
        QTest::addColumn<bool>("fragmented");
        QTest::addColumn<QString>("budgetMib");
        // Whole frames of an unfinished text message are held as UTF-16, twice their size.
        QTest::newRow("one frame, not yet whole") << false << "16";
        QTest::newRow("whole frames of a message not yet ended") << true << "32";
    }

    void unfinishedMessagesShareOneBudget() {
        QFETCH(bool, fragmented);
        QFETCH(QString, budgetMib);
        HostProcess host;
        QVERIFY2(host.launch({"--simulate", "0", "--message-budget-mib", budgetMib}),
                 host.output().constData());
        JsonClient idle;
        QVERIFY(host.connectClient(idle, "/groundstation"));
        const qint64 residentBefore = host.residentKiB();

        constexpr int Piece = 512 * 1024;
        std::vector<std::unique_ptr<QTcpSocket>> holders;
        QByteArray received[3];
        for (int i = 0; i < 3; ++i) {
            holders.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket &socket = *holders.back();
            connect(&socket, &QTcpSocket::readyRead, this,
                    [&socket, &got = received[i]]() { got += socket.readAll(); });
            socket.connectToHost(QHostAddress::LocalHost, 19870);
            socket.write(upgradeHead());
            QVERIFY(QTest::qWaitFor([&]() { return received[i].contains("\r\n\r\n"); }, 5000));
            QVERIFY(received[i].startsWith("HTTP/1.1 101"));
            for (int piece = 0; piece < 12; ++piece) {
                const QByteArray payload(Piece, 'a');
                if (fragmented)
                    socket.write(frame(piece == 0 ? 1 : 0, false, Piece, payload));
                else
                    socket.write(piece == 0 ? frame(1, true, 16 * Piece, payload) : payload);
            }
            (void)QTest::qWaitFor([&]() { return socket.bytesToWrite() == 0; }, 10000);
        }
        QVERIFY2(QTest::qWaitFor([&]() { return received[2].contains(TooMuchData); }, 10000),
                 received[2].toHex().right(64).constData());
        qInfo("host resident memory: %lld MiB more with two messages held",
              (host.residentKiB() - residentBefore) / 1024);
        QVERIFY(!received[0].contains(TooMuchData));
        QVERIFY(!received[1].contains(TooMuchData));
        QVERIFY(idle.call("GetAircraftList", {}, 10000));
        QVERIFY2(host.stop(), host.output().right(2000).constData());
    }
};

QTEST_GUILESS_MAIN(TestClientLimits)
#include "tst_clientlimits.moc"
