#include <orugroundstationpushview.h>
#include <orugroundstationservice.h>

#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A push client that completes the upgrade and then never reads a byte.
// Broadcasts must not pile up for it without limit: once more than the
// handler's bound waits unsent, the host drops it.
class TestStalledReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pushClientThatStopsReadingIsDropped();

private:
    QTemporaryDir m_home;
};

void TestStalledReader::pushClientThatStopsReadingIsDropped() {
    qputenv("HOME", m_home.path().toUtf8());
    SingletonEx<OruGroundStationService>::createInstance();
    QWebSocketServer server("test", QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));

    // A blocking socket the event loop never touches, with a small receive window.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const QByteArray head = "GET /push HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n";
    QCOMPARE(::write(fd, head.constData(), size_t(head.size())), ssize_t(head.size()));
    QVERIFY(QTest::qWaitFor([&]() { return server.hasPendingConnections(); }, 5000));
    QWebSocket *socket = server.nextPendingConnection();
    QPointer<OruGroundStationPushView> view(new OruGroundStationPushView(socket, nullptr));
    connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);

    constexpr int MessageSize = 1024 * 1024;
    const QJsonObject event{{"EVENT", "FLIGHT_STATE"}, {"VALUE", QString(MessageSize, 'p')}};
    int sent = 0;
    qint64 mostUnsent = 0;
    while (view && socket->state() == QAbstractSocket::ConnectedState && sent < 200) {
        OruGroundStationService::instance().broadcastJson(event);
        ++sent;
        // Whatever the kernel takes leaves the buffer now.
        QCoreApplication::processEvents();
        if (view && socket->state() == QAbstractSocket::ConnectedState)
            mostUnsent = qMax(mostUnsent, socket->bytesToWrite());
    }
    ::close(fd);
    QVERIFY2(sent < 200, "a client that reads nothing was never dropped");
    // The bound holds to within one message; the kernel's buffers take a little more.
    QVERIFY2(mostUnsent <= WebSocketHandler::MaxPendingOutput + MessageSize + 1024,
             qPrintable(QString::number(mostUnsent)));
    QVERIFY2(qint64(sent) * MessageSize <= WebSocketHandler::MaxPendingOutput + 16 * MessageSize,
             qPrintable(QString::number(sent)));
    QTRY_VERIFY(!view);
    delete OruGroundStationService::instancePtr();
}

QTEST_GUILESS_MAIN(TestStalledReader)
#include "tst_stalledreader.moc"
