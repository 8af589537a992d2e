#include <orugroundstationpushview.h>
#include <orugroundstationservice.h>

#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A push client that completes the upgrade and never reads a byte: broadcasts must not pile
// up for it without limit; once more than the handler's bound waits unsent, it is dropped.
class TestStalledReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pushClientThatStopsReadingIsDropped() {
        QTemporaryDir home;
        qputenv("HOME", home.path().toUtf8());
        SingletonEx<OruGroundStationService>::createInstance();
        QWebSocketServer server("test", QWebSocketServer::NonSecureMode);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));

        // A blocking socket the event loop never touches, with a small receive window.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{AF_INET, htons(server.serverPort()), {htonl(INADDR_LOOPBACK)}, {}};
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const QByteArray head =
            "GET /push HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        QCOMPARE(::write(fd, head.constData(), size_t(head.size())), ssize_t(head.size()));
        QTRY_VERIFY(server.hasPendingConnections());
        QWebSocket *socket = server.nextPendingConnection();
        QPointer<OruGroundStationPushView> view(new OruGroundStationPushView(socket, nullptr));
        connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);

        constexpr int MessageSize = 1024 * 1024;
        const QJsonObject event{{"EVENT", "FLIGHT_STATE"}, {"VALUE", QString(MessageSize, 'p')}};
        const auto up = [&] { return view && socket->state() == QAbstractSocket::ConnectedState; };
        int sent = 0;
        qint64 mostUnsent = 0;
        for (; up() && sent < 200; ++sent) {
            OruGroundStationService::instance().broadcastJson(event);
            // Whatever the kernel takes leaves the buffer now.
            QCoreApplication::processEvents();
            if (up())
                mostUnsent = qMax(mostUnsent, socket->bytesToWrite());
        }
        ::close(fd);
        QVERIFY2(sent < 200, "a client that reads nothing was never dropped");
        // The bound holds to within one message; the kernel's buffers take a little more.
        const qint64 bound = WebSocketHandler::MaxPendingOutput;
        QVERIFY2(mostUnsent <= bound + MessageSize + 1024, qPrintable(QString::number(mostUnsent)));
        QVERIFY2(sent <= bound / MessageSize + 16, qPrintable(QString::number(sent)));
        QTRY_VERIFY(!view);
        delete OruGroundStationService::instancePtr();
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(TestStalledReader)
#include "tst_stalledreader.moc"
