#include "jsonclient.h"

#include <QJsonDocument>
#include <QTest>

#include <algorithm>
#include <iterator>

JsonClient::JsonClient(QObject *parent)
    : QObject(parent) {
    connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
        received.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
}

bool JsonClient::open(const QString &path, int timeoutMs) {
    socket.open(QUrl("ws://127.0.0.1:19870" + path));
    return QTest::qWaitFor([this]() { return isConnected(); }, timeoutMs);
}

QString JsonClient::send(const QString &cmd, const QJsonObject &value) {
    QString seq = QStringLiteral("t%1").arg(++m_nextSeq);
    QJsonObject request{{"CMD", cmd}, {"SEQ", seq}};
    if (!value.isEmpty())
        request.insert("VALUE", value);
    sendRaw(compactText(request));
    return seq;
}

QList<QJsonObject> withMember(const QList<QJsonObject> &messages, const QString &key,
                              const QString &value) {
    QList<QJsonObject> matching;
    std::copy_if(
        messages.begin(), messages.end(), std::back_inserter(matching),
        [&](const QJsonObject &message) { return message.value(key).toString() == value; });
    return matching;
}

std::optional<QJsonObject> waitForNth(const QList<QJsonObject> &messages, const QString &key,
                                      const QString &value, int after, int timeoutMs) {
    if (!QTest::qWaitFor([&]() { return withMember(messages, key, value).size() > after; },
                         timeoutMs))
        return std::nullopt;
    return withMember(messages, key, value).at(after);
}

QString compactText(const QJsonObject &message) {
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}

QJsonObject with(QJsonObject object, const QJsonObject &changes) {
    for (auto it = changes.begin(); it != changes.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}
