#include <websockethandler.h>

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

// A handler that keeps each request's writer, so tests decide when to answer.
class RecordingHandler : public WebSocketHandler {
public:
    RecordingHandler(QWebSocket *socket, QObject *parent)
        : WebSocketHandler(socket, parent) {
        SetWebCmdHandler(QStringLiteral("Hold"), [this](const QJsonObject &request) {
            writers.append(GetSafeWriter(request));
        });
    }
    QList<ReplyCallback> writers;
};

class tst_WebSocketHandler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void writerEchoesCommandAndSequence_data();
    void writerEchoesCommandAndSequence();
    void writerSendsOnce();
    void writerAfterClientGoneIsHarmless();
    void badInputGetsFailureAndConnectionSurvives_data();
    void badInputGetsFailureAndConnectionSurvives();
    void binaryFrameGetsFailure();
    void oversizedMessageIsRefused();

private:
    QJsonObject nextMessage();

    std::unique_ptr<QWebSocketServer> server;
    std::unique_ptr<QWebSocket> client;
    RecordingHandler *handler = nullptr;
    QList<QJsonObject> received;
};

void tst_WebSocketHandler::init() {
    server =
        std::make_unique<QWebSocketServer>(QStringLiteral("test"), QWebSocketServer::NonSecureMode);
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    connect(server.get(), &QWebSocketServer::newConnection, this, [this]() {
        handler = new RecordingHandler(server->nextPendingConnection(), server.get());
    });
    client = std::make_unique<QWebSocket>();
    received.clear();
    connect(client.get(), &QWebSocket::textMessageReceived, this, [this](const QString &text) {
        received.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
    client->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server->serverPort())));
    QTRY_VERIFY(handler && client->state() == QAbstractSocket::ConnectedState);
}

void tst_WebSocketHandler::cleanup() {
    client.reset();
    server.reset();
    handler = nullptr;
}

QJsonObject tst_WebSocketHandler::nextMessage() {
    if (!QTest::qWaitFor([this]() { return !received.isEmpty(); }, 5000))
        return {};
    return received.takeFirst();
}

void tst_WebSocketHandler::writerEchoesCommandAndSequence_data() {
    QTest::addColumn<QString>("request");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QJsonObject>("expected");

    const QJsonObject ok{{"ERROR", "SUCCESS"}};
    QTest::newRow("client SEQ is copied")
        << R"({"CMD":"Hold","SEQ":"q1"})" << ok
        << QJsonObject{{"CMD", "Hold"}, {"SEQ", "q1"}, {"ERROR", "SUCCESS"}};
    QTest::newRow("controller SEQ is replaced by the client's")
        << R"({"CMD":"Hold","SEQ":"q2"})" << QJsonObject{{"ERROR", "SUCCESS"}, {"SEQ", "abcd1234"}}
        << QJsonObject{{"CMD", "Hold"}, {"SEQ", "q2"}, {"ERROR", "SUCCESS"}};
    QTest::newRow("controller SEQ never reaches a client without one")
        << R"({"CMD":"Hold"})" << QJsonObject{{"ERROR", "SUCCESS"}, {"SEQ", "abcd1234"}}
        << QJsonObject{{"CMD", "Hold"}, {"ERROR", "SUCCESS"}};
}

void tst_WebSocketHandler::writerEchoesCommandAndSequence() {
    QFETCH(QString, request);
    QFETCH(QJsonObject, reply);
    QFETCH(QJsonObject, expected);

    client->sendTextMessage(request);
    QTRY_COMPARE(handler->writers.size(), 1);
    handler->writers.first()(reply);
    QCOMPARE(nextMessage(), expected);
}

void tst_WebSocketHandler::writerSendsOnce() {
    client->sendTextMessage(R"({"CMD":"Hold","SEQ":"a"})");
    QTRY_COMPARE(handler->writers.size(), 1);
    const ReplyCallback writer = handler->writers.first();
    const ReplyCallback copy = writer;
    writer({{"VALUE", 1}});
    copy({{"VALUE", 2}});
    writer({{"VALUE", 3}});
    QCOMPARE(nextMessage().value("VALUE").toInt(), 1);
    // A second reply would arrive before this one.
    client->sendTextMessage(R"({"CMD":"Nope","SEQ":"b"})");
    QCOMPARE(nextMessage().value("SEQ").toString(), QStringLiteral("b"));
}

void tst_WebSocketHandler::writerAfterClientGoneIsHarmless() {
    client->sendTextMessage(R"({"CMD":"Hold","SEQ":"a"})");
    QTRY_COMPARE(handler->writers.size(), 1);
    const ReplyCallback writer = handler->writers.first();
    delete handler;
    handler = nullptr;
    writer({{"ERROR", "SUCCESS"}}); // must neither crash nor send
    QVERIFY(received.isEmpty());
}

void tst_WebSocketHandler::badInputGetsFailureAndConnectionSurvives_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("messageStart");
    QTest::addColumn<QJsonValue>("cmd");

    QTest::newRow("text that is not JSON")
        << "{nope"
        << "invalid request: " << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("a JSON array") << "[1,2]"
                                  << "invalid request: " << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("an empty message") << ""
                                      << "invalid request: " << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("no command") << R"({"SEQ":"x"})"
                                << "unknown command: " << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("unregistered command") << R"({"CMD":"Launch","SEQ":"x"})"
                                          << "unknown command: Launch" << QJsonValue("Launch");
    QTest::newRow("command of the wrong type") << R"({"CMD":42,"SEQ":"x"})"
                                               << "unknown command: " << QJsonValue(42);
    QTest::newRow("names match exactly") << R"({"CMD":"hold","SEQ":"x"})"
                                         << "unknown command: hold" << QJsonValue("hold");
}

void tst_WebSocketHandler::badInputGetsFailureAndConnectionSurvives() {
    QFETCH(QString, text);
    QFETCH(QString, messageStart);
    QFETCH(QJsonValue, cmd);

    client->sendTextMessage(text);
    const QJsonObject reply = nextMessage();
    QCOMPARE(reply.value("ERROR").toString(), QStringLiteral("FAILURE"));
    QVERIFY2(reply.value("ERROR_MESSAGE").toString().startsWith(messageStart),
             qPrintable(reply.value("ERROR_MESSAGE").toString()));
    QCOMPARE(reply.value("CMD"), cmd);

    client->sendTextMessage(R"({"CMD":"Hold","SEQ":"after"})");
    QTRY_COMPARE(handler->writers.size(), 1);
}

void tst_WebSocketHandler::binaryFrameGetsFailure() {
    client->sendBinaryMessage(QByteArray("\x00\x01", 2));
    const QJsonObject reply = nextMessage();
    QCOMPARE(reply.value("ERROR").toString(), QStringLiteral("FAILURE"));
    QVERIFY(reply.value("ERROR_MESSAGE").toString().startsWith("invalid request: "));
}

void tst_WebSocketHandler::oversizedMessageIsRefused() {
    QSignalSpy closed(client.get(), &QWebSocket::disconnected);
    const QString huge = QStringLiteral("{\"CMD\":\"Hold\",\"PAD\":\"%1\"}")
                             .arg(QString(int(WebSocketHandler::MaxIncomingMessageSize), 'x'));
    client->sendTextMessage(huge);
    QVERIFY(closed.wait(10000));
    QCOMPARE(client->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY(handler == nullptr || handler->writers.isEmpty());
}

QTEST_GUILESS_MAIN(tst_WebSocketHandler)
#include "tst_websockethandler.moc"
