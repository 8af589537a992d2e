#include "simlinkserver.h"

#include "controllerserver.h"
#include "simlinkframe.h"
#include "simlog.h"
#include "simreply.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

using SimReply::failure;

namespace {

// A close code the simulator may ask for; anything else closes as going away.
QWebSocketProtocol::CloseCode closeCodeOf(const QByteArray &text) {
    bool ok = false;
    const int code = text.toInt(&ok);
    return ok && code >= 1000 && code <= 4999 ? QWebSocketProtocol::CloseCode(code)
                                              : QWebSocketProtocol::CloseCodeGoingAway;
}

} // namespace

SimLinkServer::SimLinkServer(QObject *parent)
    : QObject(parent)
    , m_linkServer(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this))
    , m_controllerServer(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    connect(m_linkServer, &QWebSocketServer::newConnection, this, &SimLinkServer::onLinkConnection);
    connect(m_controllerServer, &QWebSocketServer::newConnection, this,
            &SimLinkServer::onControllerConnection);
}

SimLinkServer::~SimLinkServer() {
    // Nobody waits for answers any more, and without an event loop only an
    // abort lets each socket go.
    m_pending.clear();
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
}

QString SimLinkServer::path() {
    return QStringLiteral("/sim");
}

void SimLinkServer::request(const QJsonObject &command, const Done &done) {
    if (!m_link || !m_greeted) {
        done(failure(QStringLiteral("no simulator attached")));
        return;
    }
    if (m_pending.size() >= MaxPendingRequests) {
        done(failure(
            QStringLiteral("%1 requests wait for the simulator already").arg(MaxPendingRequests)));
        return;
    }
    do {
        ++m_nextRequest;
    } while (m_pending.contains(m_nextRequest));
    m_pending.insert(m_nextRequest, done);
    send(SimLinkFrame::encode(SimLinkFrame::Request, m_nextRequest,
                              QJsonDocument(command).toJson(QJsonDocument::Compact)));
}

void SimLinkServer::onLinkConnection() {
    while (QWebSocket *socket = m_linkServer->nextPendingConnection()) {
        if (m_link) {
            qCWarning(lcSim) << "refusing a second simulator link";
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("a simulator is attached already"));
            socket->deleteLater();
            continue;
        }
        m_link = socket;
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(MaxMessageSize);
        socket->setMaxAllowedIncomingFrameSize(MaxMessageSize);
        // Replies go out at once, not after the simulator's delayed ACK.
        if (auto *tcp = socket->findChild<QTcpSocket *>())
            tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &SimLinkServer::onLinkMessage);
        connect(socket, &QWebSocket::textMessageReceived, this, []() {
            qCWarning(lcSim) << "a text message on the simulator link, where only binary frames "
                                "belong: dropped";
        });
        connect(socket, &QWebSocket::disconnected, this, &SimLinkServer::onLinkGone);
        qCInfo(lcSim) << "a simulator has attached";
    }
}

void SimLinkServer::onLinkMessage(const QByteArray &message) {
    SimLinkFrame frame;
    QString why;
    if (!frame.decode(message, why)) {
        qCWarning(lcSim).noquote()
            << "a malformed frame on the simulator link:" << why << "- dropped";
        return;
    }
    switch (frame.kind()) {
    case SimLinkFrame::Data:
        forwardToChannel(frame);
        return;
    case SimLinkFrame::Close:
        closeChannel(frame);
        return;
    case SimLinkFrame::Answer:
        answer(frame);
        return;
    case SimLinkFrame::Hello:
        if (!m_greeted) {
            m_greeted = true;
            Q_EMIT linkUp(qMax(0, frame.payloadBytes().toInt()));
            return;
        }
        break;
    default:
        break;
    }
    qCWarning(lcSim) << "an unexpected frame of kind" << char(frame.kind())
                     << "on the simulator link: dropped";
}

void SimLinkServer::forwardToChannel(const SimLinkFrame &frame) {
    QWebSocket *channel = m_channels.value(frame.number());
    if (!channel)
        return; // closed while the message was under way
    if (channel->bytesToWrite() > MaxChannelBacklog) {
        qCWarning(lcSim) << "dropping a controller client that does not read";
        m_channels.remove(frame.number());
        send(SimLinkFrame::encode(SimLinkFrame::Close, frame.number()));
        channel->abort();
        return;
    }
    channel->sendTextMessage(QString::fromUtf8(frame.payload(), frame.payloadSize()));
}

void SimLinkServer::closeChannel(const SimLinkFrame &frame) {
    QWebSocket *channel = m_channels.take(frame.number());
    if (!channel)
        return;
    const QByteArray text = frame.payloadBytes();
    const int space = text.indexOf(' ');
    channel->close(closeCodeOf(text.left(space)),
                   space < 0 ? QString() : QString::fromUtf8(text.mid(space + 1)));
}

void SimLinkServer::answer(const SimLinkFrame &frame) {
    const Done done = m_pending.take(frame.number());
    if (!done) {
        qCWarning(lcSim) << "the simulator answered request" << frame.number()
                         << "that nobody asked: dropped";
        return;
    }
    const QJsonDocument reply = QJsonDocument::fromJson(frame.payloadBytes());
    if (!reply.isObject()) {
        qCWarning(lcSim) << "the simulator answered request" << frame.number()
                         << "with no JSON object";
        done(failure(QStringLiteral("the simulator answered no JSON object")));
        return;
    }
    done(reply.object());
}

void SimLinkServer::send(const QByteArray &frame) {
    if (!m_link)
        return;
    // A simulator that stops reading must not hold the host's memory.
    if (m_link->bytesToWrite() > MaxLinkBacklog) {
        dropLink(QStringLiteral("more than %1 bytes wait unsent").arg(MaxLinkBacklog));
        return;
    }
    m_link->sendBinaryMessage(frame);
}

void SimLinkServer::dropLink(const QString &why) {
    qCWarning(lcSim).noquote() << "dropping the simulator link:" << why;
    QWebSocket *link = m_link;
    link->abort();
    if (m_link == link) // abort() told nobody
        onLinkGone();
}

void SimLinkServer::onLinkGone() {
    QWebSocket *link = m_link;
    if (!link)
        return;
    m_link = nullptr;
    m_greeted = false;
    link->disconnect(this);
    link->deleteLater();
    qCWarning(lcSim) << "the simulator link is gone; its devices are removed";
    const auto channels = m_channels;
    m_channels.clear();
    for (QWebSocket *channel : channels)
        channel->close(QWebSocketProtocol::CloseCodeGoingAway);
    const auto pending = m_pending;
    m_pending.clear();
    for (const Done &done : pending)
        done(failure(QStringLiteral("the simulator went away")));
    Q_EMIT linkDown();
}

void SimLinkServer::onControllerConnection() {
    while (QWebSocket *socket = m_controllerServer->nextPendingConnection()) {
        socket->setParent(this);
        if (!m_link) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("no simulator attached"));
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        socket->setMaxAllowedIncomingMessageSize(MaxMessageSize);
        socket->setMaxAllowedIncomingFrameSize(MaxMessageSize);
        do {
            ++m_nextChannel;
        } while (m_channels.contains(m_nextChannel));
        const quint32 id = m_nextChannel;
        m_channels.insert(id, socket);
        connect(socket, &QWebSocket::textMessageReceived, this, [this, id](const QString &text) {
            send(SimLinkFrame::encode(SimLinkFrame::Data, id, text.toUtf8()));
        });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, id]() { send(SimLinkFrame::encode(SimLinkFrame::Binary, id)); });
        connect(socket, &QWebSocket::disconnected, this, [this, id, socket]() {
            if (m_channels.value(id) == socket) {
                m_channels.remove(id);
                send(SimLinkFrame::encode(SimLinkFrame::Close, id));
            }
            socket->deleteLater();
        });
        const QString hash = socket->requestUrl().path().mid(ControllerServer::pathPrefix().size());
        send(SimLinkFrame::encode(SimLinkFrame::Open, id, hash.toUtf8()));
    }
}
