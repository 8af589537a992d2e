#include "hostprocess.h"

#include <QtTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

// Hostile local clients against the real host's limits: a flood of idle connections under the
// usual desktop descriptor limit, and unfinished messages that together would exhaust memory.

namespace {
using Clients = std::vector<std::unique_ptr<QTcpSocket>>;

// User and system time of a process, in clock ticks; utime is the 14th field, after a
// command name that may hold spaces.
qint64 cpuTicks(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

// Opens count raw upgrade requests, in batches the listen backlog takes, and waits until each
// has its status line; returns how many were switched to WebSocket.
int openClients(Clients &clients, int count) {
    for (int opened = 0; opened < count;) {
        for (const int end = qMin(opened + 50, count); opened < end; ++opened) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, 19870);
            clients.back()->write(
                "GET /groundstation HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                "Sec-WebSocket-Version: 13\r\n\r\n");
        }
        const auto answered = [&]() {
            return std::all_of(clients.begin(), clients.end(), [](auto &c) {
                return c->peek(1024).contains("\r\n\r\n") ||
                       c->state() == QTcpSocket::UnconnectedState;
            });
        };
        if (!QTest::qWaitFor(answered, 60000))
            return -1;
    }
    return int(std::count_if(clients.begin(), clients.end(),
                             [](auto &c) { return c->peek(12) == "HTTP/1.1 101"; }));
}

// A client frame with the zero mask, so the payload goes as it is.
QByteArray frame(int opcode, bool fin, qint64 announced) {
    QByteArray out(1, char((fin ? 0x80 : 0) | opcode));
    out += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
        out += char((announced >> shift) & 0xff);
    return out + QByteArray(4, '\0');
}

// A close frame with code 1009 and the budget's reason.
const QByteArray TooMuchData("\x88\x22\x03\xf1incoming message budget exceeded");
} // namespace

class TestClientLimits : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // The flood needs more descriptors than the host it attacks.
        rlimit own{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &own), 0);
        own.rlim_cur = own.rlim_max;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &own), 0);
        if (own.rlim_cur < 3000)
            QSKIP("the test needs more descriptors than the hard limit allows");
    }

    void floodOfIdleClients_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("tableFills");
        QTest::newRow("the default cap leaves room for files") << QStringList() << false;
        QTest::newRow("a cap at the limit fills the descriptor table")
            << QStringList{"--max-clients", "1024"} << true;
    }

    void floodOfIdleClients() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, tableFills);
#ifdef __SANITIZE_ADDRESS__
        // Open question: with every descriptor taken, the sanitized host sends
        // no reply to the saves below; the plain build answers them.
        if (tableFills)
            QSKIP("the sanitized host does not answer with a full descriptor table");
#endif
        HostProcess host;
        host.setDescriptorLimit(1024);
        QVERIFY2(host.launch(QStringList{"--simulate", "0"} + arguments), host.output());
        JsonClient early;
        QVERIFY(host.connectClient(early, "/groundstation"));
        const auto save = [&](const QString &name) {
            return early.send("SaveWayline", {{"WAYLINE_NAME", name}, {"WAYLINE", smallMission()}});
        };

        Clients flood;
        const int served = openClients(flood, 1100);
        QVERIFY2(served > 512 && served < 1100, qPrintable(QString::number(served)));

        // Refusing must not cost a core: a generous bound, far below a busy loop.
        Clients surplus;
        QElapsedTimer wall;
        wall.start();
        const qint64 before = cpuTicks(host.processId());
        QCOMPARE(openClients(surplus, 8), 0);
        QVERIFY(QTest::qWaitFor([&]() { return wall.elapsed() >= 1000; }, 5000));
        const double busy = double(cpuTicks(host.processId()) - before) / sysconf(_SC_CLK_TCK) /
                            (wall.elapsed() / 1000.0);
        qInfo("host CPU while refusing: %.0f%% of a core", busy * 100);
        QVERIFY2(busy < 0.5, qPrintable(QString::number(busy)));
        for (auto &client : surplus)
            QCOMPARE(client->readLine().trimmed(), "HTTP/1.1 503 Service Unavailable");

        // Two saves at once need both pool threads, which a full table could not start.
        for (const QString &seq : {save("during 1"), save("during 2")}) {
            const auto reply = early.waitForSeq(seq, 15000);
            QVERIFY2(reply, host.output().right(2000).constData());
            QVERIFY(tableFills || isSuccess(reply));
        }

        // Once the flood has gone, everything works again, new clients included.
        flood.clear();
        JsonClient late;
        QVERIFY(host.connectClient(late, "/groundstation", 30000));
        QVERIFY(isSuccess(early.waitForSeq(save("after"), 15000)));
        const auto loaded = late.call("GetWayLine", {{"WAYLINE", "after"}}, 15000);
        QCOMPARE(loaded.value_or(QJsonObject()).value("VALUE").toObject(), smallMission());
        QVERIFY2(host.stop(), host.output().right(2000).constData());
    }

    // Three clients each hold 6 MiB of a message they never finish, against a budget that fits
    // two: the third is closed with 1009, the first two are not, and the host serves on.
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
        QVERIFY(host.launch({"--simulate", "0", "--message-budget-mib", budgetMib}));
        JsonClient idle;
        QVERIFY(host.connectClient(idle, "/groundstation"));
        const qint64 residentBefore = host.residentKiB();

        Clients holders;
        QCOMPARE(openClients(holders, 3), 3);
        // Gathered as it comes: a closed socket drops what it had buffered.
        QByteArray received[3];
        constexpr int Piece = 512 * 1024;
        for (int i = 0; i < 3; ++i) {
            QTcpSocket *holder = holders[i].get();
            holder->readAll();
            connect(holder, &QTcpSocket::readyRead, this,
                    [holder, &got = received[i]]() { got += holder->readAll(); });
            for (int piece = 0; piece < 12; ++piece) {
                if (fragmented)
                    holder->write(frame(piece == 0 ? 1 : 0, false, Piece));
                else if (piece == 0)
                    holder->write(frame(1, true, 16 * Piece));
                holder->write(QByteArray(Piece, 'a'));
            }
            QVERIFY(QTest::qWaitFor([&]() { return holder->bytesToWrite() == 0; }, 10000));
        }
        QVERIFY(QTest::qWaitFor([&]() { return received[2].contains(TooMuchData); }, 10000));
        qInfo("host resident memory: %lld MiB more with two messages held",
              (host.residentKiB() - residentBefore) / 1024);
        QVERIFY(!received[0].contains(TooMuchData) && !received[1].contains(TooMuchData));
        QVERIFY(idle.call("GetAircraftList", {}, 10000));
        QVERIFY2(host.stop(), host.output().right(2000).constData());
    }
};

QTEST_GUILESS_MAIN(TestClientLimits)
#include "tst_clientlimits.moc"
