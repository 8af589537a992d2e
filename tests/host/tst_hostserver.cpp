#include "hostserver.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

class tst_HostServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void files_data();
    void files();
    void upgrades_data();
    void upgrades();
    void oversizedHeadIsRefused();

private:
    QByteArray exchange(const QByteArray &request);

    QTemporaryDir dir;
    HostServer server;
    QWebSocketServer route{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    QList<QWebSocket *> accepted;
};

void tst_HostServer::initTestCase() {
    QVERIFY(dir.isValid());
    QDir root(dir.path());
    QVERIFY(root.mkpath("web/js") && root.mkpath("modules/leaflet/dist") &&
            root.mkpath("modules/secret"));
    const auto write = [&](const QString &path, const QByteArray &content) {
        QFile file(root.filePath(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    };
    write("web/index.html", "<html>ground station</html>");
    write("web/js/app.js", "export const x = 1;");
    write("modules/leaflet/dist/leaflet.js", "leaflet");
    write("modules/secret/key.txt", "secret");
    write("outside.txt", "outside");
    QVERIFY(QFile::link(root.filePath("outside.txt"), root.filePath("web/link.txt")));

    server.setWebRoot(root.filePath("web"));
    server.setVendorRoot(root.filePath("modules"), {"leaflet"});
    server.addRoute("/groundstation", &route);
    server.addRoute("/controller/navigation/", &route, true);
    connect(&route, &QWebSocketServer::newConnection, this, [this]() {
        while (QWebSocket *socket = route.nextPendingConnection())
            accepted.append(socket);
    });
    QVERIFY(server.listen());
}

QByteArray tst_HostServer::exchange(const QByteArray &request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, HostServer::DefaultPort);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    QByteArray response;
    // The server closes after every plain HTTP response.
    (void)QTest::qWaitFor(
        [&]() {
            response += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return response + socket.readAll();
}

void tst_HostServer::files_data() {
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("root serves index.html")
        << QByteArray("/") << 200 << QByteArray("ground station");
    QTest::newRow("module script") << QByteArray("/js/app.js") << 200 << QByteArray("export");
    QTest::newRow("allowed vendor package")
        << QByteArray("/vendor/leaflet/dist/leaflet.js") << 200 << QByteArray("leaflet");
    QTest::newRow("other node module")
        << QByteArray("/vendor/secret/key.txt") << 404 << QByteArray();
    QTest::newRow("dot-dot") << QByteArray("/../outside.txt") << 404 << QByteArray();
    QTest::newRow("encoded dot-dot") << QByteArray("/%2e%2e/outside.txt") << 404 << QByteArray();
    QTest::newRow("vendor dot-dot")
        << QByteArray("/vendor/leaflet/../secret/key.txt") << 404 << QByteArray();
    QTest::newRow("link out of the root") << QByteArray("/link.txt") << 404 << QByteArray();
    QTest::newRow("missing file") << QByteArray("/nothing.html") << 404 << QByteArray();
}

void tst_HostServer::files() {
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    const QByteArray response = exchange("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY2(response.startsWith("HTTP/1.1 " + QByteArray::number(status)), response.constData());
    QVERIFY(response.contains(body));
    if (target.endsWith(".js"))
        QVERIFY(response.contains("Content-Type: text/javascript"));
    QVERIFY(!response.contains("outside") && !response.contains("secret\r\n"));
}

void tst_HostServer::upgrades_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("no Origin") << "/groundstation"
                               << "" << true;
    QTest::newRow("own page") << "/groundstation"
                              << "http://127.0.0.1:19870" << true;
    QTest::newRow("own page by name") << "/groundstation"
                                      << "http://localhost:19870" << true;
    QTest::newRow("foreign page") << "/groundstation"
                                  << "http://evil.example" << false;
    QTest::newRow("own host, other port") << "/groundstation"
                                          << "http://127.0.0.1:8080" << false;
    QTest::newRow("prefix route") << "/controller/navigation/abc"
                                  << "" << true;
    QTest::newRow("prefix alone") << "/controller/navigation/"
                                  << "" << false;
    QTest::newRow("unknown path") << "/admin"
                                  << "" << false;
}

void tst_HostServer::upgrades() {
    QFETCH(QString, path);
    QFETCH(QString, origin);
    QFETCH(bool, accepted);

    qDeleteAll(this->accepted);
    this->accepted.clear();
    QWebSocket client(origin);
    client.open(QUrl("ws://127.0.0.1:19870" + path));
    QTRY_VERIFY(client.state() == QAbstractSocket::ConnectedState ||
                client.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(client.state() == QAbstractSocket::ConnectedState, accepted);
    QCOMPARE(this->accepted.size(), accepted ? 1 : 0);
    if (accepted)
        QCOMPARE(this->accepted.first()->requestUrl().path(), path);
}

void tst_HostServer::oversizedHeadIsRefused() {
    const QByteArray response =
        exchange("GET / HTTP/1.1\r\nX-Pad: " + QByteArray(20000, 'a') + "\r\n\r\n");
    QVERIFY2(response.startsWith("HTTP/1.1 431"), response.left(40).constData());
    // The server keeps serving.
    QVERIFY(exchange("GET / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200"));
}

QTEST_GUILESS_MAIN(tst_HostServer)
#include "tst_hostserver.moc"
