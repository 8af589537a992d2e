#include "areakeeper.h"
#include "onlinetilesource.h"
#include "tilecache.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QByteArray Png = "\x89PNG\r\n\x1a\n";

// A tile server on a free port that counts requests and, while holding,
// keeps them unanswered to show how many the source has open at once.
class TileOrigin : public QObject {
public:
    QTcpServer server;
    QList<QTcpSocket *> held;
    int requests = 0;
    int mostHeld = 0;
    bool hold = false;

    TileOrigin() {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *s = server.nextPendingConnection())
                connect(s, &QTcpSocket::readyRead, this, [this, s]() { onRequest(s); });
        });
    }
    QString url() const {
        return QString("http://127.0.0.1:%1/{z}/{x}/{y}").arg(server.serverPort());
    }
    void onRequest(QTcpSocket *s) {
        if (!s->peek(8192).contains("\r\n\r\n"))
            return;
        ++requests;
        s->setProperty("path", s->readAll().split(' ').value(1));
        held.append(s);
        mostHeld = qMax(mostHeld, int(held.size()));
        if (!hold)
            release();
    }
    void release() {
        for (QTcpSocket *s : std::exchange(held, {})) {
            const QByteArray body = Png + s->property("path").toByteArray();
            s->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n"
                     "Content-Length: " +
                     QByteArray::number(body.size()) + "\r\n\r\n" + body);
            s->disconnectFromHost();
        }
    }
};
} // namespace

class tst_OnlineTileSource : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QMap<QString, int> answers; // "z/x/y status" -> how many times
    QByteArray lastTile;

    void fetchArea(OnlineTileSource &source, int z) {
        for (int x = 0; x < 2; ++x) {
            for (int y = 0; y < 2; ++y) {
                source.fetch(z, x, y, this, [this, z, x, y](int status, const QByteArray &data) {
                    answers[QString("%1/%2/%3 %4").arg(z).arg(x).arg(y).arg(status)] += 1;
                    lastTile = data;
                });
            }
        }
    }

private Q_SLOTS:
    void secondViewAndOutage() {
        TileOrigin origin;
        TileCache cache(64 << 20);
        QCOMPARE(cache.open(dir.filePath("cache/online.mbtiles"), origin.url()), QString());
        {
            OnlineTileSource source(origin.url(), &cache);
            origin.hold = true;
            fetchArea(source, 2);
            source.fetch(2, 0, 0, this, [this](int, const QByteArray &) { ++answers["again"]; });
            for (int round = 0; round < 2; ++round) {
                QTRY_COMPARE(origin.held.size(), 2);
                origin.release();
            }
            QTRY_COMPARE(answers.size(), 5);
            QCOMPARE(origin.mostHeld, OnlineTileSource::Concurrency);
            QCOMPARE(origin.requests, 4);
            QCOMPARE(lastTile, Png + "/2/1/1");

            // The same view again: the cache answers, the server sees nothing.
            answers.clear();
            fetchArea(source, 2);
            QCOMPARE(answers.value("2/1/1 200"), 1);
            QCOMPARE(origin.requests, 4);

            // Keeping that quarter of the world at zooms 1 and 2 fetches only zoom 1.
            origin.hold = false;
            AreaKeeper keeper(&source, {1, -179, 84, -1, 1, 2});
            QSignalSpy finished(&keeper, &AreaKeeper::finished);
            keeper.start();
            QTRY_COMPARE(finished.size(), 1);
            QCOMPARE(finished.first().first().toString(), QString("done"));
            QCOMPARE(origin.requests, 5);
        }
        // The server gone, a restarted host still has what was seen.
        origin.server.close();
        OnlineTileSource source(origin.url(), &cache);
        answers.clear();
        fetchArea(source, 2);
        QCOMPARE(answers.value("2/0/1 200"), 1);
        QCOMPARE(lastTile, Png + "/2/1/1");
        source.fetch(3, 0, 0, this, [this](int status, const QByteArray &) {
            ++answers[QString::number(status)];
        });
        QTRY_COMPARE(answers.value("502"), 1);
        QVERIFY(!source.reachable());
    }

    void keepLimits_data() {
        QTest::addColumn<double>("north");
        QTest::addColumn<double>("east");
        QTest::addColumn<int>("minZoom");
        QTest::addColumn<int>("maxZoom");
        QTest::addColumn<qint64>("count"); // -1: refused
        QTest::newRow("a field") << 47.01 << 8.01 << 12 << 16 << qint64(16);
        QTest::newRow("above the policy's zoom") << 47.01 << 8.01 << 17 << 17 << qint64(-1);
        QTest::newRow("too many tiles") << 47.5 << 9.0 << 16 << 16 << qint64(-1);
        QTest::newRow("zooms reversed") << 47.01 << 8.01 << 14 << 12 << qint64(-1);
        QTest::newRow("not a box") << 47.01 << 7.0 << 12 << 12 << qint64(-1);
    }

    void keepLimits() {
        QFETCH(double, north);
        QFETCH(double, east);
        QFETCH(int, minZoom);
        QFETCH(int, maxZoom);
        QFETCH(qint64, count);
        qint64 counted = -1;
        const QString error =
            AreaKeeper::check({47.0, 8.0, north, east, minZoom, maxZoom}, counted);
        QCOMPARE(error.isEmpty() ? counted : -1, count);
    }

    // Over the cap, the tiles stored first go first.
    void cacheCap() {
        TileCache cache(1000);
        QCOMPARE(cache.open(dir.filePath("small.mbtiles"), "test"), QString());
        for (int x = 0; x < 5; ++x) {
            cache.store(3, x, 0, Png + QByteArray(300, 'a' + x));
            QVERIFY(cache.bytes() <= 1000);
        }
        QVERIFY(cache.tile(3, 0, 0).isEmpty());
        QVERIFY(cache.tile(3, 4, 0).endsWith("eee"));
    }
};

#include "orutestmain.h"
ORU_TEST_MAIN(tst_OnlineTileSource)
#include "tst_onlinetilesource.moc"
