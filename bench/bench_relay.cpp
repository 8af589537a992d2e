// The baseline of the command round trip: the same two WebSocket hops as
// web client -> host -> controller, with nothing in between but forwarding.
// The relay serves clients on the main thread and opens one upstream channel
// per client to an echo controller on a thread of its own, as the host does
// with the plug-in and the simulated controllers.
//
// Prints "PORT <n>" once both servers listen, then serves until killed.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cstdio>

namespace {

// Answers every text message with the same text.
void serveEcho(QWebSocketServer *server) {
    QObject::connect(server, &QWebSocketServer::newConnection, server, [server]() {
        while (QWebSocket *socket = server->nextPendingConnection()) {
            socket->setParent(server);
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [socket](const QString &text) { socket->sendTextMessage(text); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

// Forwards each client's messages to its own upstream channel and back.
void serveRelay(QWebSocketServer *server, const QUrl &upstreamUrl) {
    QObject::connect(server, &QWebSocketServer::newConnection, server, [server, upstreamUrl]() {
        while (QWebSocket *client = server->nextPendingConnection()) {
            client->setParent(server);
            auto *upstream = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, client);
            // Messages that arrive before the upstream channel is open wait here.
            auto *waiting = new QStringList;
            QObject::connect(client, &QObject::destroyed, [waiting]() { delete waiting; });
            QObject::connect(upstream, &QWebSocket::connected, upstream, [upstream, waiting]() {
                // As the plug-in's controller channel does.
                if (auto *tcp = upstream->findChild<QTcpSocket *>())
                    tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                for (const QString &text : *waiting)
                    upstream->sendTextMessage(text);
                waiting->clear();
            });
            QObject::connect(client, &QWebSocket::textMessageReceived, upstream,
                             [upstream, waiting](const QString &text) {
                                 if (upstream->state() == QAbstractSocket::ConnectedState)
                                     upstream->sendTextMessage(text);
                                 else
                                     waiting->append(text);
                             });
            QObject::connect(upstream, &QWebSocket::textMessageReceived, client,
                             [client](const QString &text) { client->sendTextMessage(text); });
            QObject::connect(client, &QWebSocket::disconnected, client, &QObject::deleteLater);
            upstream->open(upstreamUrl);
        }
    });
}

} // namespace

int main(int argc, char *argv[]) {
    // The event dispatcher oru-host runs on, so only the service logic differs.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Bare WebSocket relay and echo controller."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Relay port (0: any free one)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    parser.addOption(portOption);
    parser.process(app);

    QThread echoThread;
    echoThread.setObjectName(QStringLiteral("echo"));
    auto *echo = new QWebSocketServer(QStringLiteral("echo"), QWebSocketServer::NonSecureMode);
    if (!echo->listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_relay: echo server: %s\n", qPrintable(echo->errorString()));
        return 1;
    }
    serveEcho(echo);
    echo->moveToThread(&echoThread);
    echoThread.start();

    QWebSocketServer relay(QStringLiteral("relay"), QWebSocketServer::NonSecureMode);
    if (!relay.listen(QHostAddress::LocalHost, quint16(parser.value(portOption).toUInt()))) {
        std::fprintf(stderr, "bench_relay: relay: %s\n", qPrintable(relay.errorString()));
        return 1;
    }
    serveRelay(&relay, QUrl(QStringLiteral("ws://127.0.0.1:%1/echo").arg(echo->serverPort())));
    std::printf("PORT %d\n", relay.serverPort());
    std::fflush(stdout);

    const int status = app.exec();
    QMetaObject::invokeMethod(
        echo, [echo]() { delete echo; }, Qt::BlockingQueuedConnection);
    echoThread.quit();
    echoThread.wait();
    return status;
}
