#include "jsonclient.h"

#include <QJsonDocument>
#include <QTest>
#include <QUrl>

JsonClient::JsonClient(QObject *parent)
    : QObject(parent) {
    connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
        received.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
}

bool JsonClient::open(const QString &path, int timeoutMs) {
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:19870") + path));
    return QTest::qWaitFor([this]() { return isConnected(); }, timeoutMs);
}

void JsonClient::close() {
    socket.close();
}

bool JsonClient::isConnected() const {
    return socket.state() == QAbstractSocket::ConnectedState;
}

QString JsonClient::send(const QString &cmd, const QJsonObject &value) {
    const QString seq = QStringLiteral("t%1").arg(++m_nextSeq);
    QJsonObject request{{QStringLiteral("CMD"), cmd}, {QStringLiteral("SEQ"), seq}};
    if (!value.isEmpty())
        request.insert(QStringLiteral("VALUE"), value);
    sendRaw(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
    return seq;
}

void JsonClient::sendRaw(const QString &text) {
    socket.sendTextMessage(text);
}

std::optional<QJsonObject> JsonClient::call(const QString &cmd, const QJsonObject &value,
                                            int timeoutMs) {
    return waitForSeq(send(cmd, value), timeoutMs);
}

std::optional<QJsonObject> JsonClient::waitForSeq(const QString &seq, int timeoutMs) {
    std::optional<QJsonObject> found;
    (void)QTest::qWaitFor(
        [&]() {
            for (const QJsonObject &message : qAsConst(received)) {
                if (message.value(QStringLiteral("SEQ")).toString() == seq) {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

QList<QJsonObject> JsonClient::events(const QString &event) const {
    QList<QJsonObject> matching;
    for (const QJsonObject &message : received) {
        if (message.value(QStringLiteral("EVENT")).toString() == event)
            matching.append(message);
    }
    return matching;
}

std::optional<QJsonObject> JsonClient::waitForEvent(const QString &event, int after,
                                                    int timeoutMs) {
    (void)QTest::qWaitFor([&]() { return events(event).size() > after; }, timeoutMs);
    const auto matching = events(event);
    if (matching.size() > after)
        return matching.at(after);
    return std::nullopt;
}
