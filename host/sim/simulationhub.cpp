#include "simulationhub.h"

#include "adminview.h"
#include "controllerserver.h"
#include "epolleventdispatcher.h"
#include "flightmodel.h"
#include "generalchannel.h"
#include "hostserver.h"
#include "simlog.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtMath>

#include <cmath>

namespace {

// Sunflower placement: neighbours stand about 30 m apart however many there are.
constexpr double PlacementSpacing = 18.0;
constexpr double GoldenAngle = 2.399963229728653;

QJsonObject success(const QJsonValue &value = QJsonValue(QJsonValue::Undefined)) {
    QJsonObject reply{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    if (!value.isUndefined())
        reply.insert(QStringLiteral("VALUE"), value);
    return reply;
}

QJsonObject failure(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

void answer(const ReplyCallback &reply, const QJsonObject &object) {
    if (reply)
        reply(object);
}

} // namespace

SimulationHub::SimulationHub(HostServer *server, GeneralChannel *general, double speed,
                             QObject *parent)
    : QObject(parent)
    , m_general(general)
    , m_controllers(new ControllerServer(qBound(MinSpeed, speed, MaxSpeed)))
    , m_admin(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    m_thread.setObjectName(QStringLiteral("oru-sim"));
    m_controllers->moveToThread(&m_thread);
    EpollEventDispatcher::installInThread(&m_thread); // unless ORU_EVENT_LOOP=qt
    m_thread.start();
    server->addRoute(ControllerServer::pathPrefix(), m_controllers->webSocketServer(), true);
    server->addRoute(QStringLiteral("/host"), m_admin);
    connect(m_admin, &QWebSocketServer::newConnection, this, &SimulationHub::onAdminConnection);
}

SimulationHub::~SimulationHub() {
    // A graceful close needs the event loop, which is gone by now; an abort
    // releases each admin connection's socket at once instead of leaking it.
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
    ControllerServer *controllers = m_controllers;
    QMetaObject::invokeMethod(
        controllers, [controllers]() { delete controllers; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

const QStringList &SimulationHub::supportedDeviceTypes() {
    static const QStringList types{QStringLiteral("Tolm_2014_RX"), QStringLiteral("Hx7_DEC"),
                                   QStringLiteral("ct510v3"), QStringLiteral("kw330v3")};
    return types;
}

void SimulationHub::onSimulationThread(const std::function<QJsonObject()> &job,
                                       const ReplyCallback &reply) {
    // The hub outlives every job: its destructor waits for the thread.
    QMetaObject::invokeMethod(
        m_controllers,
        [this, job, reply]() {
            const QJsonObject result = job();
            QMetaObject::invokeMethod(
                this, [reply, result]() { answer(reply, result); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

SimDevice SimulationHub::makeDevice(const QString &deviceType) {
    const QStringList &types = supportedDeviceTypes();
    auto *random = QRandomGenerator::global();
    SimDevice device;
    device.deviceType = deviceType.isEmpty() ? types.at(m_placed % types.size()) : deviceType;
    device.flightType = int(types.indexOf(device.deviceType)) + 1;
    do {
        device.hash.clear();
        for (int i = 0; i < 4; ++i)
            device.hash += QStringLiteral("%1").arg(random->generate(), 8, 16, QLatin1Char('0'));
    } while (m_devices.contains(device.hash));
    do {
        device.serialNumber = QStringLiteral("SIM%1").arg(random->bounded(100000, 1000000));
    } while (m_usedSerials.contains(device.serialNumber));
    m_usedSerials.insert(device.serialNumber);

    const double radius = PlacementSpacing * std::sqrt(m_placed + 0.5);
    const double angle = m_placed * GoldenAngle;
    const double homeLatitude = qDegreesToRadians(DefaultHomeLatitude);
    device.latitude = homeLatitude + radius * std::cos(angle) / FlightModel::EarthRadius;
    device.longitude =
        qDegreesToRadians(DefaultHomeLongitude) +
        radius * std::sin(angle) / (FlightModel::EarthRadius * std::cos(homeLatitude));
    ++m_placed;
    return device;
}

QJsonObject SimulationHub::describe(const Device &device) {
    return {{QStringLiteral("FILE"), device.identity.hash},
            {QStringLiteral("DEVICE_TYPE"), device.identity.deviceType},
            {QStringLiteral("SN"), device.identity.serialNumber},
            {QStringLiteral("FLIGHT_TYPE"), device.identity.flightType},
            {QStringLiteral("SILENT"), device.silent}};
}

void SimulationHub::attachDevice(const QString &deviceType, const ReplyCallback &reply) {
    if (m_devices.size() + m_attaching >= m_maxDevices) {
        answer(reply,
               failure(QStringLiteral("at most %1 devices can be attached").arg(m_maxDevices)));
        return;
    }
    const SimDevice device = makeDevice(deviceType);
    ++m_attaching;
    ControllerServer *controllers = m_controllers;
    // Announced only once its controller serves, so the plug-in's first
    // connection finds it.
    onSimulationThread(
        [controllers, device]() {
            controllers->attach(device);
            return QJsonObject();
        },
        [this, device, reply](const QJsonObject &) {
            --m_attaching;
            const Device attached{device, false};
            m_devices.insert(device.hash, attached);
            m_general->announceArrival(device.deviceType, device.hash);
            qCInfo(lcSim).noquote()
                << "attached" << device.deviceType << device.serialNumber << "as" << device.hash;
            answer(reply, success(describe(attached)));
        });
}

void SimulationHub::detachDevice(const QString &hash, const ReplyCallback &reply) {
    if (!m_devices.remove(hash)) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    m_general->announceRemoval(hash);
    qCInfo(lcSim).noquote() << "detached" << hash;
    ControllerServer *controllers = m_controllers;
    onSimulationThread(
        [controllers, hash]() {
            controllers->detach(hash);
            return success();
        },
        reply);
}

void SimulationHub::silenceController(const QString &hash, bool silent,
                                      const ReplyCallback &reply) {
    const auto device = m_devices.find(hash);
    if (device == m_devices.end()) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    device->silent = silent;
    qCInfo(lcSim).noquote() << (silent ? "silenced" : "unsilenced") << hash;
    ControllerServer *controllers = m_controllers;
    onSimulationThread(
        [controllers, hash, silent]() {
            controllers->setSilent(hash, silent);
            return success();
        },
        reply);
}

void SimulationHub::dropController(const QString &hash, const ReplyCallback &reply) {
    if (!m_devices.contains(hash)) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    qCInfo(lcSim).noquote() << "dropping the controller channels of" << hash;
    ControllerServer *controllers = m_controllers;
    onSimulationThread(
        [controllers, hash]() {
            return success(
                QJsonObject{{QStringLiteral("CLOSED"), controllers->dropChannels(hash)}});
        },
        reply);
}

void SimulationHub::dropGeneralChannel(const ReplyCallback &reply) {
    const int clients = m_general->clientCount();
    qCInfo(lcSim).noquote() << "dropping the" << clients << "clients of the general channel";
    m_general->dropClients();
    answer(reply, success(QJsonObject{{QStringLiteral("CLOSED"), clients}}));
}

void SimulationHub::listDevices(const ReplyCallback &reply) const {
    QJsonArray list;
    for (const Device &device : m_devices)
        list.append(describe(device));
    answer(reply, success(list));
}

void SimulationHub::onAdminConnection() {
    while (QWebSocket *socket = m_admin->nextPendingConnection()) {
        auto *view = new AdminView(socket, this, this);
        connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
    }
}
