#include "hostserver.h"
#include "tileserver.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {
// An MBTiles file as packaging tools write it; tiles as {z, x, TMS row, data}.
bool writePack(const QString &file, const QString &format, bool indexed,
               const QList<std::tuple<int, int, int, QByteArray>> &tiles) {
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", file);
        db.setDatabaseName(file);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &sql :
             {QString("CREATE TABLE metadata (name TEXT, value TEXT)"),
              "INSERT INTO metadata VALUES ('format', '" + format +
                  "'), ('minzoom', '0'), ('maxzoom', '3'), ('bounds', '-10,-5,10,5'), "
                  "('attribution', '© Test')",
              QString("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row "
                      "INTEGER, tile_data BLOB)"),
              QString(indexed ? "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, "
                                "tile_column, tile_row)"
                              : "SELECT 1")})
            ok = ok && q.exec(sql);
        q.prepare("INSERT INTO tiles VALUES (?, ?, ?, ?)");
        for (const auto &[z, x, row, data] : tiles) {
            for (const QVariant &value : {QVariant(z), QVariant(x), QVariant(row), QVariant(data)})
                q.addBindValue(value);
            ok = ok && q.exec();
        }
    }
    QSqlDatabase::removeDatabase(file);
    return ok;
}
} // namespace

class tst_TileServer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    HostServer server;
    TileServer tiles;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir.isValid());
        const QByteArray png = "\x89PNG\r\n\x1a\n";
        QVERIFY(writePack(dir.filePath("area.mbtiles"), "png", true,
                          {{1, 0, 0, png + "south-west"}, {1, 1, 1, png + "north-east"}}));
        QVERIFY(writePack(dir.filePath("photo.mbtiles"), "jpg", true,
                          {{0, 0, 0, "\xff\xd8\xff jpeg"}}));
        QVERIFY(writePack(dir.filePath("slow.mbtiles"), "png", false, {}));
        QCOMPARE(tiles.addPack(dir.filePath("area.mbtiles")), QString());
        QCOMPARE(tiles.addPack(dir.filePath("photo.mbtiles")), QString());
        // Refused at start: unindexed (each tile a scan), a folder, twice the same name.
        QVERIFY(tiles.addPack(dir.filePath("slow.mbtiles")).contains("index"));
        QVERIFY(!tiles.addPack(dir.path()).isEmpty());
        QVERIFY(tiles.addPack(dir.filePath("area.mbtiles")).contains("already"));
        server.setTileServer(&tiles);
        QVERIFY(server.listen(0));
    }

    void requests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("expected");
        const auto get = [](const QByteArray &target) {
            return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        };
        QTest::newRow("listing") << get("/tiles") << 200
                                 << QByteArray(R"({"attribution":"© Test","bounds":[-10,-5,10,5],)"
                                               R"("format":"png","maxzoom":3,"minzoom":0,)"
                                               R"("name":"area"})");
        QTest::newRow("XYZ row 1 of zoom 1 is TMS row 0")
            << get("/tiles/area/1/0/1") << 200 << QByteArray("Content-Type: image/png");
        QTest::newRow("and the flip the other way")
            << get("/tiles/area/1/1/0") << 200 << QByteArray("north-east");
        QTest::newRow("a missing tile") << get("/tiles/area/1/0/0") << 404 << QByteArray();
        QTest::newRow("JPEG") << get("/tiles/photo/0/0/0") << 200 << QByteArray("image/jpeg");
        QTest::newRow("HEAD") << QByteArray("HEAD /tiles/photo/0/0/0 HTTP/1.1\r\n\r\n") << 200
                              << QByteArray();
        QTest::newRow("POST") << QByteArray("POST /tiles HTTP/1.1\r\n\r\n") << 405 << QByteArray();
        for (const char *path :
             {"/tiles/nope/0/0/0", "/tiles/area.mbtiles/1/0/1", "/tiles/../index.html",
              "/tiles/%2e%2e/area/1/0/1", "/tiles/online/0/0/0", "/tiles/keep", "/tiles//1/0/1",
              "/tiles/slow/0/0/0"})
            QTest::newRow(path) << get(path) << 404 << QByteArray();
        for (const char *path :
             {"/tiles/area/1/2/0", "/tiles/area/1/0/2", "/tiles/area/31/0/0", "/tiles/area/1/-1/0",
              "/tiles/area/1/+0/1", "/tiles/area/1/00/1", "/tiles/area/1/0x0/1",
              "/tiles/area/99999999999999999999/0/0", "/tiles/area/1/0/1.png", "/tiles/area/1/0",
              "/tiles/area/1/0/1/", "/tiles/area/../area/1/0/1", "/tiles/area/1/%200/1",
              "/tiles/area/1/0/1%00"})
            QTest::newRow(path) << get(path) << 400 << QByteArray();
    }

    void requests() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, expected);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        socket.write(request);
        QVERIFY(QTest::qWaitFor([&]() { return socket.state() == QTcpSocket::UnconnectedState; }));
        const QByteArray response = socket.readAll();
        QVERIFY2(response.startsWith("HTTP/1.1 " + QByteArray::number(status)),
                 response.left(200).constData());
        QVERIFY2(response.contains(expected), response.constData());
    }
};

#include "orutestmain.h"
ORU_TEST_MAIN(tst_TileServer)
#include "tst_tileserver.moc"
