#include "hostserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {
QByteArray get(const QByteArray &target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

QByteArray upgrade(const QByteArray &origin, const QByteArray &path = "/groundstation") {
    return "GET " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1:19870\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
           (origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n") + "\r\n";
}

// The server closes after every plain HTTP response; an accepted upgrade stays open.
QByteArray exchange(const QByteArray &request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, HostServer::DefaultPort);
    socket.write(request);
    QByteArray response;
    const auto answered = [&]() {
        response += socket.readAll();
        return response.startsWith("HTTP/1.1 101") ||
               socket.state() == QTcpSocket::UnconnectedState;
    };
    (void)QTest::qWaitFor(answered, 5000);
    return response + socket.readAll();
}
} // namespace

class tst_HostServer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    HostServer server;
    QWebSocketServer route{"test", QWebSocketServer::NonSecureMode};

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QDir root(dir.path());
        const QList<QPair<QString, QByteArray>> files{
            {"web/index.html", "<html>ground station</html>"},
            {"modules/leaflet/dist/leaflet.js", "leaflet"},
            {"modules/secret/key.txt", "secret"},
            {"outside.txt", "outside"}};
        for (const auto &[path, content] : files) {
            QFile file(root.filePath(path));
            QVERIFY(root.mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
                    file.write(content) == content.size());
        }
        QVERIFY(QFile::link(root.filePath("outside.txt"), root.filePath("web/link.txt")));

        server.setWebRoot(root.filePath("web"));
        server.setVendorRoot(root.filePath("modules"), {"leaflet"});
        server.addRoute("/groundstation", &route);
        server.addRoute("/controller/navigation/", &route, true);
        QVERIFY(server.listen());
    }

    // Bound to 127.0.0.1 alone: not even the rest of the loopback network reaches it.
    void otherAddressesAreRefused() {
        QTcpSocket other;
        other.connectToHost(QHostAddress("127.0.0.2"), HostServer::DefaultPort);
        QVERIFY(!other.waitForConnected(5000));
        QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
    }

    void requests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");

        const auto row = [](const char *name, const QByteArray &request, int status,
                            const QByteArray &body = {}) {
            QTest::newRow(name) << request << status << body;
        };
        row("root serves index.html", get("/"), 200, "ground station");
        row("an allowed vendor package, as a module script", get("/vendor/leaflet/dist/leaflet.js"),
            200, "Content-Type: text/javascript");
        row("another node module", get("/vendor/secret/key.txt"), 404);
        row("dot-dot", get("/../outside.txt"), 404);
        row("encoded dot-dot", get("/%2e%2e/outside.txt"), 404);
        row("a link out of the root", get("/link.txt"), 404);
        row("a huge head", "GET / HTTP/1.1\r\nX-Pad: " + QByteArray(20000, 'a') + "\r\n\r\n", 431);
        row("a raw NUL cuts no path short", QByteArray("GET /index.html\0.js HTTP/1.1\r\n\r\n", 32),
            400);
        row("an encoded NUL cuts no path short", get("/index.html%00.js"), 400);
        row("upgrade, no Origin", upgrade({}), 101);
        row("upgrade, own page", upgrade("http://127.0.0.1:19870"), 101);
        row("upgrade, own page by name", upgrade("http://localhost:19870"), 101);
        row("upgrade, foreign page", upgrade("http://evil.example"), 403);
        row("upgrade, own page and a foreign one",
            upgrade("http://127.0.0.1:19870\r\nOrigin: http://evil.example"), 403);
        row("upgrade, a foreign page and own one",
            upgrade("http://evil.example\r\nOrigin: http://127.0.0.1:19870"), 403);
        row("upgrade, own host, other port", upgrade("http://127.0.0.1:8080"), 403);
        row("upgrade, prefix route", upgrade({}, "/controller/navigation/a"), 101);
        row("upgrade, unknown path", upgrade({}, "/admin"), 404);
    }

    void requests() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const QByteArray response = exchange(request);
        QVERIFY2(response.startsWith("HTTP/1.1 " + QByteArray::number(status)),
                 response.left(200).constData());
        QVERIFY(response.contains(body));
        // An accepted upgrade reaches the server routed for its own path.
        if (status == 101)
            QTRY_VERIFY(route.hasPendingConnections());
        const std::unique_ptr<QWebSocket> socket(route.nextPendingConnection());
        QCOMPARE(bool(socket), status == 101);
        if (socket)
            QCOMPARE(socket->requestUrl().path().toUtf8(), request.split(' ').at(1));
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_HostServer)
#include "tst_hostserver.moc"
