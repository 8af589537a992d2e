#include "controllerserver.h"

#include "navigationcontroller.h"
#include "simlog.h"
#include "simulatedaircraft.h"

#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

ControllerServer::ControllerServer(double speed, QObject *parent)
    : QObject(parent)
    , m_speed(speed)
    , m_server(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this))
    , m_timer(new QTimer(this)) {
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(TickMs);
    connect(m_timer, &QTimer::timeout, this, &ControllerServer::onTick);
    connect(m_server, &QWebSocketServer::newConnection, this, &ControllerServer::onNewConnection);
}

ControllerServer::~ControllerServer() {
    // Without an event loop to finish a graceful close, only an abort lets
    // each channel's socket go.
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
    const auto hashes = m_aircraft.keys();
    for (const QString &hash : hashes)
        closeChannels(hash);
}

QString ControllerServer::pathPrefix() {
    return QStringLiteral("/controller/navigation/");
}

void ControllerServer::attach(const SimDevice &device) {
    if (m_aircraft.contains(device.hash))
        return;
    m_aircraft.insert(device.hash, new SimulatedAircraft(device, m_speed, this));
    // The timer starts on this object's thread, with the first aircraft.
    if (!m_timer->isActive()) {
        m_clock.start();
        m_lastTickNs = 0;
        m_timer->start();
    }
}

bool ControllerServer::detach(const QString &hash) {
    SimulatedAircraft *aircraft = m_aircraft.take(hash);
    if (!aircraft)
        return false;
    closeChannels(hash);
    delete aircraft;
    return true;
}

bool ControllerServer::setSilent(const QString &hash, bool silent) {
    SimulatedAircraft *aircraft = m_aircraft.value(hash);
    if (!aircraft)
        return false;
    aircraft->setSilent(silent);
    return true;
}

int ControllerServer::dropChannels(const QString &hash) {
    const int count = m_channels.count(hash);
    closeChannels(hash);
    return count;
}

void ControllerServer::closeChannels(const QString &hash) {
    const auto channels = m_channels.values(hash);
    m_channels.remove(hash);
    for (NavigationController *channel : channels) {
        channel->disconnect(this);
        channel->close();
        channel->deleteLater();
    }
}

void ControllerServer::onNewConnection() {
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        const QString hash = socket->requestUrl().path().mid(pathPrefix().size());
        SimulatedAircraft *aircraft = m_aircraft.value(hash);
        if (!aircraft) {
            qCInfo(lcSim) << "refusing a controller channel for unknown device" << hash;
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          QStringLiteral("no such device"));
            socket->deleteLater();
            continue;
        }
        auto *channel = new NavigationController(socket, aircraft, this);
        m_channels.insert(hash, channel);
        connect(channel, &NavigationController::closed, this, [this, hash, channel]() {
            m_channels.remove(hash, channel);
            channel->deleteLater();
        });
    }
}

void ControllerServer::onTick() {
    // Real elapsed time, so a late tick flies as far as a punctual one.
    const qint64 now = m_clock.nsecsElapsed();
    const double seconds = (now - m_lastTickNs) / 1e9;
    m_lastTickNs = now;
    const auto aircraft = m_aircraft;
    for (SimulatedAircraft *one : aircraft)
        one->advance(seconds);
}
