#ifndef WEBSOCKETHANDLER_H
#define WEBSOCKETHANDLER_H

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <functional>

#include <QWebSocket>

// A callable that takes one reply object. Reply writers and every continuation
// filed for a controller reply have this type; an empty one means "no reply".
using ReplyCallback = std::function<void(const QJsonObject &)>;

// Base of every endpoint bound to one web client connection. A request is a
// JSON object whose "CMD" names the command and may carry a "SEQ" of the
// client's; handlers registered under the name receive the whole request.
class WebSocketHandler : public QObject {
    Q_OBJECT
public:
    // Incoming messages above this size are refused by the socket.
    static constexpr quint64 MaxIncomingMessageSize = 16 * 1024 * 1024;
    // A client whose unsent replies and pushes exceed this is not reading;
    // it is dropped rather than buffered without end.
    static constexpr qint64 MaxPendingOutput = 64 * 1024 * 1024;

    WebSocketHandler(QWebSocket *socket, QObject *parent);
    ~WebSocketHandler() override;

    // Returns a writer bound to request: it copies the request's "CMD" and
    // "SEQ" into the reply and sends it, once. Calling it after the client
    // has gone does nothing.
    ReplyCallback GetSafeWriter(const QJsonObject &request);

    void WriteWebJSON(const QJsonObject &obj);
    // Sends text already serialised: a message for many clients is
    // serialised once and shared by all of them.
    void WriteWebText(const QString &text);

    QWebSocket *socket() const { return m_socket; }

protected:
    void SetWebCmdHandler(const QString &name, ReplyCallback handler);

    virtual void OnTextMessage(const QString &message);
    virtual void OnBlobMessage(const QByteArray &data);
    virtual void OnConnect();

private:
    void writeFailure(const QJsonObject &request, const QString &message);
    void onFrame(qint64 bytes, bool last);

    QPointer<QWebSocket> m_socket;
    // What the frames of the unfinished message hold, and what is charged for it.
    qint64 m_partial = 0;
    qint64 m_charged = 0;
    QHash<QString, ReplyCallback> m_handlers;
};

#endif // WEBSOCKETHANDLER_H
