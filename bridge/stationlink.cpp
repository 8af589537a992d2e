#include "stationlink.h"

#include "bridgelog.h"

#include <QJsonDocument>

namespace {

constexpr int FirstBackoffMs = 500;
constexpr int MaxBackoffMs = 8000;

QUrl withPath(QUrl url, const QString &path) {
    url.setPath(path);
    return url;
}

} // namespace

QJsonObject failureReply(const QJsonValue &cmd, const QJsonValue &seq, const QString &message) {
    QJsonObject reply{{"ERROR", "FAILURE"}, {"ERROR_MESSAGE", message}};
    // Null stands for "none known", so a caller may pass {}.
    if (!cmd.isUndefined() && !cmd.isNull())
        reply.insert("CMD", cmd);
    if (!seq.isUndefined() && !seq.isNull())
        reply.insert("SEQ", seq);
    return reply;
}

StationLink::StationLink(const QUrl &station, QObject *parent)
    : QObject(parent)
    , m_station(station)
    , m_backoffMs(FirstBackoffMs) {
    for (QWebSocket *channel : {&m_commands, &m_push}) {
        channel->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
        connect(channel, &QWebSocket::connected, this, &StationLink::onChannelConnected);
        connect(channel, &QWebSocket::disconnected, this, &StationLink::onChannelClosed);
    }
    connect(&m_commands, &QWebSocket::textMessageReceived, this, &StationLink::onReply);
    connect(&m_push, &QWebSocket::textMessageReceived, this, &StationLink::onPush);
    m_reopen.setSingleShot(true);
    connect(&m_reopen, &QTimer::timeout, this, &StationLink::open);
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &StationLink::expire);
}

StationLink::~StationLink() {
    // Whoever waits on a reply is going away with this link.
    m_pending.clear();
    for (QWebSocket *channel : {&m_commands, &m_push}) {
        disconnect(channel, nullptr, this, nullptr);
        if (channel->state() == QAbstractSocket::ConnectedState)
            channel->close(QWebSocketProtocol::CloseCodeNormal);
        else
            channel->abort();
    }
}

void StationLink::start() {
    open();
}

void StationLink::open() {
    m_commands.abort();
    m_push.abort();
    m_commands.open(withPath(m_station, QStringLiteral("/groundstation")));
    m_push.open(withPath(m_station, QStringLiteral("/groundstation/push")));
}

void StationLink::onChannelConnected() {
    if (m_up || m_commands.state() != QAbstractSocket::ConnectedState ||
        m_push.state() != QAbstractSocket::ConnectedState)
        return;
    qCInfo(lcBridge) << "station" << m_station.toString() << "is up";
    m_up = true;
    m_backoffMs = FirstBackoffMs;
    emit up();
}

void StationLink::onChannelClosed() {
    if (m_reopen.isActive())
        return;
    m_reopen.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, MaxBackoffMs);
    // One channel alone is of no use: close the other as well.
    m_commands.abort();
    m_push.abort();
    if (!m_up)
        return;
    qCWarning(lcBridge) << "lost the station" << m_station.toString();
    m_up = false;
    failAll(QStringLiteral("the bridge lost its station before the reply"));
    emit down();
}

void StationLink::send(const QJsonObject &request, const ReplyHandler &handler) {
    const QJsonValue cmd = request.value("CMD");
    const QJsonValue seq = request.value("SEQ");
    if (!m_up)
        return handler(failureReply(cmd, seq, QStringLiteral("the station is not connected")));
    if (m_pending.size() >= MaxPending)
        return handler(failureReply(
            cmd, seq, QStringLiteral("too many requests are waiting for the station")));
    const quint64 id = ++m_nextId;
    m_pending.insert(id, {seq, cmd, handler, std::chrono::steady_clock::now() + ReplyTimeout});
    QJsonObject forwarded = request;
    forwarded.insert("SEQ", QStringLiteral("b%1").arg(id));
    m_commands.sendTextMessage(
        QString::fromUtf8(QJsonDocument(forwarded).toJson(QJsonDocument::Compact)));
    if (!m_expiry.isActive())
        m_expiry.start(ReplyTimeout);
}

void StationLink::onReply(const QString &text) {
    QJsonObject reply = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString seq = reply.value("SEQ").toString();
    bool numeric = false;
    const quint64 id = seq.mid(1).toULongLong(&numeric);
    const auto it = seq.startsWith('b') && numeric ? m_pending.find(id) : m_pending.end();
    if (it == m_pending.end()) {
        qCDebug(lcBridge) << "reply without a waiting request:" << text.left(200);
        return;
    }
    const Pending pending = it.value();
    m_pending.erase(it);
    if (pending.seq.isUndefined())
        reply.remove("SEQ");
    else
        reply.insert("SEQ", pending.seq);
    pending.handler(reply);
}

void StationLink::onPush(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    const QJsonObject event = QJsonDocument::fromJson(bytes).object();
    if (event.value("EVENT").isString())
        emit eventReceived(event, bytes);
}

void StationLink::expire() {
    const auto now = std::chrono::steady_clock::now();
    while (!m_pending.isEmpty() && m_pending.first().deadline <= now) {
        const Pending pending = m_pending.take(m_pending.firstKey());
        qCWarning(lcBridge) << "no reply from the station to" << pending.cmd.toString();
        pending.handler(failureReply(pending.cmd, pending.seq,
                                     QStringLiteral("the station did not answer within 30 s")));
    }
    if (!m_pending.isEmpty())
        m_expiry.start(std::chrono::duration_cast<std::chrono::milliseconds>(
            m_pending.first().deadline - now));
}

void StationLink::failAll(const QString &message) {
    // Handlers may send again; they find an empty map.
    const QMap<quint64, Pending> pending = std::exchange(m_pending, {});
    for (const Pending &request : pending)
        request.handler(failureReply(request.cmd, request.seq, message));
}
