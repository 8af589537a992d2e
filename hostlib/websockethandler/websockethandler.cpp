#include "websockethandler.h"

#include "messagebudget.h"

#include <QJsonDocument>
#include <QWebSocket>

#include <memory>

namespace {

QJsonObject markReply(QJsonObject reply, const QJsonObject &request) {
    // A reply relayed from a controller carries the controller's own "SEQ";
    // the client must only ever see its own.
    reply.remove(QStringLiteral("SEQ"));
    const auto cmd = request.constFind(QStringLiteral("CMD"));
    if (cmd != request.constEnd())
        reply.insert(QStringLiteral("CMD"), cmd.value());
    const auto seq = request.constFind(QStringLiteral("SEQ"));
    if (seq != request.constEnd())
        reply.insert(QStringLiteral("SEQ"), seq.value());
    return reply;
}

} // namespace

WebSocketHandler::WebSocketHandler(QWebSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket) {
    if (!socket)
        return;
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(MaxIncomingMessageSize);
    socket->setMaxAllowedIncomingFrameSize(MaxIncomingMessageSize);
    connect(socket, &QWebSocket::textMessageReceived, this, &WebSocketHandler::OnTextMessage);
    connect(socket, &QWebSocket::binaryMessageReceived, this, &WebSocketHandler::OnBlobMessage);
    // A text message is held as UTF-16 until its last frame: two bytes a character.
    connect(socket, &QWebSocket::textFrameReceived, this,
            [this](const QString &frame, bool last) { onFrame(2 * qint64(frame.size()), last); });
    connect(socket, &QWebSocket::binaryFrameReceived, this,
            [this](const QByteArray &frame, bool last) { onFrame(frame.size(), last); });
    OnConnect();
}

WebSocketHandler::~WebSocketHandler() {
    MessageBudget::charge(m_charged, 0, QString());
}

void WebSocketHandler::onFrame(qint64 bytes, bool last) {
    m_partial = last ? 0 : m_partial + bytes;
    if (!m_socket || MessageBudget::charge(m_charged, m_partial, m_socket->requestUrl().path()))
        return;
    m_partial = 0;
    m_socket->close(QWebSocketProtocol::CloseCodeTooMuchData, MessageBudget::CloseReason);
}

ReplyCallback WebSocketHandler::GetSafeWriter(const QJsonObject &request) {
    QPointer<WebSocketHandler> self(this);
    auto sent = std::make_shared<bool>(false);
    QJsonObject marks;
    for (const auto *key : {"CMD", "SEQ"}) {
        const auto it = request.constFind(QLatin1String(key));
        if (it != request.constEnd())
            marks.insert(it.key(), it.value());
    }
    return [self, sent, marks](const QJsonObject &reply) {
        if (*sent)
            return;
        *sent = true;
        if (self)
            self->WriteWebJSON(markReply(reply, marks));
    };
}

void WebSocketHandler::WriteWebJSON(const QJsonObject &obj) {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    WriteWebText(QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact)));
}

void WebSocketHandler::WriteWebText(const QString &text) {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_socket->bytesToWrite() > MaxPendingOutput) {
        m_socket->abort();
        return;
    }
    m_socket->sendTextMessage(text);
}

void WebSocketHandler::SetWebCmdHandler(const QString &name, ReplyCallback handler) {
    m_handlers[name] = std::move(handler);
}

void WebSocketHandler::OnTextMessage(const QString &message) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        writeFailure({}, QStringLiteral("invalid request: ") + error.errorString());
        return;
    }
    if (!doc.isObject()) {
        writeFailure({}, QStringLiteral("invalid request: not a JSON object"));
        return;
    }
    const QJsonObject request = doc.object();
    const QString name = request.value(QStringLiteral("CMD")).toString();
    const auto handler = m_handlers.constFind(name);
    if (handler == m_handlers.constEnd() || !*handler) {
        writeFailure(request, QStringLiteral("unknown command: ") + name);
        return;
    }
    // A copy: a handler may register or replace handlers while it runs.
    const ReplyCallback call = *handler;
    call(request);
}

void WebSocketHandler::OnBlobMessage(const QByteArray &data) {
    Q_UNUSED(data)
    writeFailure({}, QStringLiteral("invalid request: binary messages are not supported"));
}

void WebSocketHandler::OnConnect() {}

void WebSocketHandler::writeFailure(const QJsonObject &request, const QString &message) {
    GetSafeWriter(request)({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                            {QStringLiteral("ERROR_MESSAGE"), message}});
}
