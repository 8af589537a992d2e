#include <websockethandler.h>

#include <QJsonDocument>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

// A handler that keeps each request's writer, so tests decide when to answer.
class RecordingHandler : public WebSocketHandler {
public:
    RecordingHandler(QWebSocket *socket, QObject *parent)
        : WebSocketHandler(socket, parent) {
        SetWebCmdHandler("Hold",
                         [this](const QJsonObject &r) { writers.append(GetSafeWriter(r)); });
    }
    QList<ReplyCallback> writers;
};

class tst_WebSocketHandler : public QObject {
    Q_OBJECT

    std::unique_ptr<QWebSocketServer> server;
    std::unique_ptr<QWebSocket> client;
    RecordingHandler *handler = nullptr;
    QList<QJsonObject> received;

    QJsonObject nextMessage() {
        if (!QTest::qWaitFor([this]() { return !received.isEmpty(); }, 5000))
            return {};
        return received.takeFirst();
    }

private Q_SLOTS:
    void init() {
        client.reset(); // the server owns the last test's handler
        handler = nullptr;
        server = std::make_unique<QWebSocketServer>("test", QWebSocketServer::NonSecureMode);
        QVERIFY(server->listen(QHostAddress::LocalHost, 0));
        connect(server.get(), &QWebSocketServer::newConnection, this, [this]() {
            handler = new RecordingHandler(server->nextPendingConnection(), server.get());
        });
        client = std::make_unique<QWebSocket>();
        received.clear();
        connect(client.get(), &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            received.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        client->open(QUrl(QString("ws://127.0.0.1:%1/").arg(server->serverPort())));
        QTRY_VERIFY(handler && client->state() == QAbstractSocket::ConnectedState);
    }

    void writerEchoesCommandAndSequenceOnce() {
        client->sendTextMessage(R"({"CMD":"Hold","SEQ":"q"})");
        client->sendTextMessage(R"({"CMD":"Hold"})");
        client->sendTextMessage(R"({"CMD":"Hold","SEQ":"late"})");
        QTRY_COMPARE(handler->writers.size(), 3);
        const QList<ReplyCallback> writers = handler->writers;
        // A reply relayed from a controller carries the controller's own SEQ.
        const QJsonObject relayed{{"ERROR", "SUCCESS"}, {"SEQ", "abcd1234"}};
        const ReplyCallback copy = writers.at(0);
        writers.at(0)(relayed);
        copy({{"VALUE", 2}});
        writers.at(0)({{"VALUE", 3}});
        writers.at(1)(relayed);
        QCOMPARE(nextMessage(), (QJsonObject{{"CMD", "Hold"}, {"SEQ", "q"}, {"ERROR", "SUCCESS"}}));
        QCOMPARE(nextMessage(), (QJsonObject{{"CMD", "Hold"}, {"ERROR", "SUCCESS"}}));

        delete handler;
        handler = nullptr;
        writers.at(2)(relayed); // must neither crash nor send
        QVERIFY(received.isEmpty());
    }

    void badInputGetsFailureAndConnectionSurvives_data() {
        QTest::addColumn<QByteArray>("text"); // empty: a binary frame
        QTest::addColumn<QString>("messageStart");
        QTest::addColumn<QJsonValue>("cmd");

        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("text that is not JSON")
            << QByteArray("{nope") << "invalid request: " << none;
        QTest::newRow("a JSON array") << QByteArray("[1,2]") << "invalid request: " << none;
        QTest::newRow("a binary frame") << QByteArray() << "invalid request: " << none;
        QTest::newRow("no command") << QByteArray(R"({"SEQ":"x"})") << "unknown command: " << none;
        QTest::newRow("unregistered command") << QByteArray(R"({"CMD":"Launch","SEQ":"x"})")
                                              << "unknown command: Launch" << QJsonValue("Launch");
        QTest::newRow("command of the wrong type")
            << QByteArray(R"({"CMD":42,"SEQ":"x"})") << "unknown command: " << QJsonValue(42);
    }

    void badInputGetsFailureAndConnectionSurvives() {
        QFETCH(QByteArray, text);
        QFETCH(QString, messageStart);
        QFETCH(QJsonValue, cmd);
        if (text.isEmpty())
            client->sendBinaryMessage(QByteArray("\x00\x01", 2));
        else
            client->sendTextMessage(QString::fromUtf8(text));
        const QJsonObject reply = nextMessage();
        QCOMPARE(reply.value("ERROR").toString(), "FAILURE");
        QVERIFY2(reply.value("ERROR_MESSAGE").toString().startsWith(messageStart),
                 qPrintable(reply.value("ERROR_MESSAGE").toString()));
        QCOMPARE(reply.value("CMD"), cmd);

        client->sendTextMessage(R"({"CMD":"Hold","SEQ":"after"})");
        QTRY_COMPARE(handler->writers.size(), 1);
    }

    // Just over 16 MiB: the socket refuses it before anything parses it.
    void oversizedMessageIsRefused() {
        client->sendTextMessage("{\"CMD\":\"Hold\",\"PAD\":\"" + QString(16 * 1024 * 1024, 'x') +
                                "\"}");
        QTRY_VERIFY_WITH_TIMEOUT(client->state() == QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(client->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
        QVERIFY(handler == nullptr || handler->writers.isEmpty());
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_WebSocketHandler)
#include "tst_websockethandler.moc"
