#ifndef SIMLINKSERVER_H
#define SIMLINKSERVER_H

#include <QHash>
#include <QJsonObject>
#include <QObject>

#include <functional>

class QWebSocket;
class QWebSocketServer;
class SimLinkFrame;

// The host's end of the link to an oru-sim process, as a radio link to real
// aircraft would be: one WebSocket on "/sim" carries every device's controller
// channels. Serves "/controller/navigation/<hash>" by handing each channel's
// messages over the link and back verbatim, and passes admin commands on.
// One simulator at a time; lives on a thread of its own.
class SimLinkServer : public QObject {
    Q_OBJECT
public:
    // Room for the largest controller message and its header.
    static constexpr qint64 MaxMessageSize = 4 * 1024 * 1024 + 64;
    // A link whose simulator lets this much pile up unread is dropped.
    static constexpr qint64 MaxLinkBacklog = 64 * 1024 * 1024;
    // A controller client that lets this much pile up unread is dropped.
    static constexpr qint64 MaxChannelBacklog = 8 * 1024 * 1024;
    static constexpr int MaxPendingRequests = 8192;

    using Done = std::function<void(const QJsonObject &reply)>;

    explicit SimLinkServer(QObject *parent = nullptr);
    ~SimLinkServer() override;

    static QString path();
    // Handed to HostServer as the routes' servers; upgrades reach them here.
    QWebSocketServer *linkServer() const { return m_linkServer; }
    QWebSocketServer *controllerServer() const { return m_controllerServer; }

    // Passes an admin command to the simulator; done gets its reply, or a
    // failure when none is attached or it goes away before answering.
    void request(const QJsonObject &command, const Done &done);

Q_SIGNALS:
    // A simulator has attached and asks for count devices.
    void linkUp(int count);
    // The simulator has gone; its channels are closed.
    void linkDown();

private:
    void onLinkConnection();
    void onLinkMessage(const QByteArray &message);
    void onLinkGone();
    void onControllerConnection();
    void forwardToChannel(const SimLinkFrame &frame);
    void closeChannel(const SimLinkFrame &frame);
    void answer(const SimLinkFrame &frame);
    void send(const QByteArray &frame);
    void dropLink(const QString &why);

    QWebSocketServer *m_linkServer;
    QWebSocketServer *m_controllerServer;
    QWebSocket *m_link = nullptr;
    bool m_greeted = false;
    QHash<quint32, QWebSocket *> m_channels;
    quint32 m_nextChannel = 0;
    QHash<quint32, Done> m_pending;
    quint32 m_nextRequest = 0;
};

#endif // SIMLINKSERVER_H
