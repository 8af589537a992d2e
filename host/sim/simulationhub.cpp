#include "simulationhub.h"

#include "adminview.h"
#include "controllerserver.h"
#include "epolleventdispatcher.h"
#include "generalchannel.h"
#include "hostserver.h"
#include "simfleet.h"
#include "simlinkserver.h"
#include "simlog.h"
#include "simreply.h"

#include <QJsonArray>
#include <QWebSocket>
#include <QWebSocketServer>

using SimReply::failure;
using SimReply::succeeded;
using SimReply::success;

namespace {

void answer(const ReplyCallback &reply, const QJsonObject &object) {
    if (reply)
        reply(object);
}

QJsonObject command(const char *name, const QJsonObject &value = QJsonObject()) {
    return {{QStringLiteral("CMD"), QLatin1String(name)}, {QStringLiteral("VALUE"), value}};
}

} // namespace

SimulationHub::SimulationHub(HostServer *server, GeneralChannel *general, Where where, double speed,
                             QObject *parent)
    : QObject(parent)
    , m_general(general)
    , m_admin(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    QObject *worker = nullptr;
    if (where == Where::Thread) {
        m_controllers = new ControllerServer(speed);
        server->addRoute(ControllerServer::pathPrefix(), m_controllers->webSocketServer(), true);
        m_thread.setObjectName(QStringLiteral("oru-sim"));
        worker = m_controllers;
    } else {
        m_link = new SimLinkServer();
        server->addRoute(ControllerServer::pathPrefix(), m_link->controllerServer(), true);
        server->addRoute(SimLinkServer::path(), m_link->linkServer());
        connect(m_link, &SimLinkServer::linkUp, this, &SimulationHub::onLinkUp);
        connect(m_link, &SimLinkServer::linkDown, this, &SimulationHub::onLinkDown);
        // The link's forwarding is the host's own cost; it gets a thread apart
        // from the plug-in's, as the controllers had.
        m_thread.setObjectName(QStringLiteral("oru-simlink"));
        worker = m_link;
    }
    worker->moveToThread(&m_thread);
    EpollEventDispatcher::installInThread(&m_thread); // unless ORU_EVENT_LOOP=qt
    m_thread.start();
    server->addRoute(QStringLiteral("/host"), m_admin);
    connect(m_admin, &QWebSocketServer::newConnection, this, &SimulationHub::onAdminConnection);
}

SimulationHub::~SimulationHub() {
    // A graceful close needs the event loop, which is gone by now; an abort
    // releases each admin connection's socket at once instead of leaking it.
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
    QObject *worker = m_controllers ? static_cast<QObject *>(m_controllers) : m_link;
    if (m_link)
        m_link->disconnect(this);
    QMetaObject::invokeMethod(
        worker, [worker]() { delete worker; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void SimulationHub::onSimulator(const QJsonObject &command, const ReplyCallback &reply) {
    // The hub outlives every command: its destructor waits for the thread.
    const auto back = [this, reply](const QJsonObject &result) {
        QMetaObject::invokeMethod(
            this, [reply, result]() { answer(reply, result); }, Qt::QueuedConnection);
    };
    if (ControllerServer *controllers = m_controllers) {
        QMetaObject::invokeMethod(
            controllers,
            [controllers, command, back]() { back(controllers->fleet()->execute(command)); },
            Qt::QueuedConnection);
    } else {
        SimLinkServer *link = m_link;
        QMetaObject::invokeMethod(
            link, [link, command, back]() { link->request(command, back); }, Qt::QueuedConnection);
    }
}

void SimulationHub::attachDevice(const QString &deviceType, const ReplyCallback &reply) {
    if (m_devices.size() + m_attaching >= SimFleet::MaxDevices) {
        answer(reply,
               failure(
                   QStringLiteral("at most %1 devices can be attached").arg(SimFleet::MaxDevices)));
        return;
    }
    ++m_attaching;
    QJsonObject value;
    if (!deviceType.isEmpty())
        value.insert(QStringLiteral("DEVICE_TYPE"), deviceType);
    // Announced only once its controller serves, so the plug-in's first
    // connection finds it.
    onSimulator(command("AttachDevice", value), [this, reply](const QJsonObject &result) {
        --m_attaching;
        const QJsonObject device = result.value(QStringLiteral("VALUE")).toObject();
        const QString hash = device.value(QStringLiteral("FILE")).toString();
        if (succeeded(result) && !hash.isEmpty()) {
            m_devices.insert(hash, device);
            const QString type = device.value(QStringLiteral("DEVICE_TYPE")).toString();
            m_general->announceArrival(type, hash);
            qCInfo(lcSim).noquote()
                << "attached" << type << device.value(QStringLiteral("SN")).toString() << "as"
                << hash;
        }
        answer(reply, result);
    });
}

void SimulationHub::detachDevice(const QString &hash, const ReplyCallback &reply) {
    if (!m_devices.remove(hash)) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    m_general->announceRemoval(hash);
    qCInfo(lcSim).noquote() << "detached" << hash;
    onSimulator(command("DetachDevice", {{QStringLiteral("FILE"), hash}}), reply);
}

void SimulationHub::silenceController(const QString &hash, bool silent,
                                      const ReplyCallback &reply) {
    const auto device = m_devices.find(hash);
    if (device == m_devices.end()) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    device->insert(QStringLiteral("SILENT"), silent);
    qCInfo(lcSim).noquote() << (silent ? "silenced" : "unsilenced") << hash;
    onSimulator(command("SilenceController",
                        {{QStringLiteral("FILE"), hash}, {QStringLiteral("SILENT"), silent}}),
                reply);
}

void SimulationHub::dropController(const QString &hash, const ReplyCallback &reply) {
    if (!m_devices.contains(hash)) {
        answer(reply, failure(QStringLiteral("no device ") + hash));
        return;
    }
    qCInfo(lcSim).noquote() << "dropping the controller channels of" << hash;
    onSimulator(command("DropController", {{QStringLiteral("FILE"), hash}}), reply);
}

void SimulationHub::dropGeneralChannel(const ReplyCallback &reply) {
    const int clients = m_general->clientCount();
    qCInfo(lcSim).noquote() << "dropping the" << clients << "clients of the general channel";
    m_general->dropClients();
    answer(reply, success(QJsonObject{{QStringLiteral("CLOSED"), clients}}));
}

void SimulationHub::listDevices(const ReplyCallback &reply) const {
    QJsonArray list;
    for (const QJsonObject &device : m_devices)
        list.append(device);
    answer(reply, success(list));
}

void SimulationHub::onLinkUp(int count) {
    for (int i = 0; i < count; ++i)
        attachDevice(QString(), ReplyCallback());
}

void SimulationHub::onLinkDown() {
    // The simulator's devices went with it, as aircraft out of radio range do.
    const auto hashes = m_devices.keys();
    m_devices.clear();
    for (const QString &hash : hashes)
        m_general->announceRemoval(hash);
}

void SimulationHub::onAdminConnection() {
    while (QWebSocket *socket = m_admin->nextPendingConnection()) {
        auto *view = new AdminView(socket, this, this);
        connect(socket, &QWebSocket::disconnected, view, &QObject::deleteLater);
    }
}
