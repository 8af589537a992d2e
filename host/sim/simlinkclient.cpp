#include "simlinkclient.h"

#include "simfleet.h"
#include "simlinkframe.h"
#include "simlog.h"
#include "simulatedaircraft.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray compact(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

SimLinkClient::SimLinkClient(const QUrl &host, int count, double speed, QObject *parent)
    : QObject(parent)
    , m_url(host)
    , m_count(count)
    , m_fleet(new SimFleet(speed, this))
    , m_link(QString(), QWebSocketProtocol::VersionLatest)
    , m_retry(new QTimer(this)) {
    m_url.setPath(QStringLiteral("/sim"));
    m_link.setMaxAllowedIncomingMessageSize(4 * 1024 * 1024 + SimLinkFrame::HeaderSize);
    m_fleet->setChannelCloser([this](const QString &hash) { return closeChannels(hash); });
    m_retry->setSingleShot(true);
    m_retry->setInterval(ConnectIntervalMs);
    connect(m_retry, &QTimer::timeout, this, &SimLinkClient::start);
    connect(m_fleet, &SimFleet::attached, this, &SimLinkClient::onAttached);
    connect(&m_link, &QWebSocket::connected, this, &SimLinkClient::onConnected);
    connect(&m_link, &QWebSocket::disconnected, this, &SimLinkClient::onDisconnected);
    connect(&m_link, &QWebSocket::binaryMessageReceived, this, &SimLinkClient::onMessage);
    connect(&m_link, &QWebSocket::textMessageReceived, this, []() {
        qCWarning(lcSim) << "a text message on the host link, where only binary frames belong: "
                            "dropped";
    });
}

SimLinkClient::~SimLinkClient() {
    m_link.disconnect(this);
    m_fleet->setChannelCloser({});
}

void SimLinkClient::start() {
    ++m_attempts;
    m_link.open(m_url);
}

void SimLinkClient::onConnected() {
    m_wasConnected = true;
    if (auto *tcp = m_link.findChild<QTcpSocket *>())
        tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    qCInfo(lcSim).noquote() << "attached to" << m_url.toString() << "asking for" << m_count
                            << "devices";
    send(SimLinkFrame::encode(SimLinkFrame::Hello, 0, QByteArray::number(m_count)));
}

void SimLinkClient::onDisconnected() {
    if (m_wasConnected) {
        qCInfo(lcSim) << "the host closed the link";
        Q_EMIT finished(0);
    } else if (m_attempts < ConnectAttempts) {
        m_retry->start();
    } else {
        qCWarning(lcSim).noquote()
            << "cannot attach to" << m_url.toString() << ":" << m_link.errorString();
        Q_EMIT finished(1);
    }
}

void SimLinkClient::onMessage(const QByteArray &message) {
    SimLinkFrame frame;
    QString why;
    if (!frame.decode(message, why)) {
        qCWarning(lcSim).noquote() << "a malformed frame on the host link:" << why << "- dropped";
        return;
    }
    const quint32 id = frame.number();
    switch (frame.kind()) {
    case SimLinkFrame::Open:
        openChannel(id, QString::fromUtf8(frame.payloadBytes()));
        return;
    case SimLinkFrame::Data:
    case SimLinkFrame::Binary: {
        SimulatedAircraft *aircraft = m_fleet->aircraft(m_channelDevice.value(id));
        if (aircraft && !aircraft->isSilent())
            answerChannel(id, frame.kind() == SimLinkFrame::Data
                                  ? aircraft->handleText(frame.payloadBytes())
                                  : SimulatedAircraft::binaryRefusal());
        return;
    }
    case SimLinkFrame::Close:
        forgetChannel(id);
        return;
    case SimLinkFrame::Request:
        answerRequest(frame);
        return;
    default:
        qCWarning(lcSim) << "an unexpected frame of kind" << char(frame.kind())
                         << "on the host link: dropped";
    }
}

void SimLinkClient::openChannel(quint32 id, const QString &hash) {
    if (!m_fleet->aircraft(hash) || m_channelDevice.contains(id)) {
        qCInfo(lcSim) << "refusing a controller channel for unknown device" << hash;
        send(SimLinkFrame::encode(SimLinkFrame::Close, id, "1008 no such device"));
        return;
    }
    m_channelDevice.insert(id, hash);
    m_deviceChannels.insert(hash, id);
}

void SimLinkClient::answerChannel(quint32 id, const QByteArray &reply) {
    send(SimLinkFrame::encode(SimLinkFrame::Data, id, reply));
}

void SimLinkClient::answerRequest(const SimLinkFrame &frame) {
    const QJsonDocument command = QJsonDocument::fromJson(frame.payloadBytes());
    QJsonObject reply;
    if (command.isObject()) {
        reply = m_fleet->execute(command.object());
    } else {
        qCWarning(lcSim) << "request" << frame.number() << "is no JSON object";
        reply = {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                 {QStringLiteral("ERROR_MESSAGE"), QStringLiteral("not a JSON object")}};
    }
    send(SimLinkFrame::encode(SimLinkFrame::Answer, frame.number(), compact(reply)));
}

void SimLinkClient::forgetChannel(quint32 id) {
    const QString hash = m_channelDevice.take(id);
    m_deviceChannels.remove(hash, id);
}

int SimLinkClient::closeChannels(const QString &hash) {
    const auto ids = m_deviceChannels.values(hash);
    m_deviceChannels.remove(hash);
    for (const quint32 id : ids) {
        m_channelDevice.remove(id);
        send(SimLinkFrame::encode(SimLinkFrame::Close, id, "1001"));
    }
    return ids.size();
}

void SimLinkClient::onAttached(SimulatedAircraft *aircraft) {
    const QString hash = aircraft->device().hash;
    connect(aircraft, &SimulatedAircraft::eventReady, this,
            [this, aircraft, hash](const QJsonObject &event) {
                if (aircraft->isSilent() || !m_deviceChannels.contains(hash) || !roomForEvents())
                    return;
                // Serialised once for all of the device's channels.
                const QByteArray text = compact(event);
                for (auto it = m_deviceChannels.constFind(hash);
                     it != m_deviceChannels.cend() && it.key() == hash; ++it)
                    answerChannel(it.value(), text);
            });
}

bool SimLinkClient::roomForEvents() {
    if (m_link.bytesToWrite() > MaxEventBacklog) {
        if (m_droppedEvents++ == 0)
            qCWarning(lcSim) << "the host falls behind: events are dropped until it catches up";
        return false;
    }
    if (m_droppedEvents > 0) {
        qCWarning(lcSim) << "the host caught up;" << m_droppedEvents << "events were dropped";
        m_droppedEvents = 0;
    }
    return true;
}

void SimLinkClient::send(const QByteArray &frame) {
    if (m_link.state() != QAbstractSocket::ConnectedState)
        return;
    if (m_link.bytesToWrite() > MaxLinkBacklog) {
        qCWarning(lcSim) << "dropping the host link: more than" << MaxLinkBacklog
                         << "bytes wait unsent";
        m_link.abort();
        return;
    }
    m_link.sendBinaryMessage(frame);
}
