#include "simfleet.h"

#include "flightmodel.h"
#include "simlog.h"
#include "simreply.h"
#include "simulatedaircraft.h"

#include <QRandomGenerator>
#include <QTimer>
#include <QtMath>

#include <cmath>

using SimReply::failure;
using SimReply::success;

namespace {

// Sunflower placement: neighbours stand about 30 m apart however many there are.
constexpr double PlacementSpacing = 18.0;
constexpr double GoldenAngle = 2.399963229728653;

} // namespace

SimFleet::SimFleet(double speed, QObject *parent)
    : QObject(parent)
    , m_speed(qBound(MinSpeed, speed, MaxSpeed))
    , m_timer(new QTimer(this)) {
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(TickMs);
    connect(m_timer, &QTimer::timeout, this, &SimFleet::onTick);
}

SimFleet::~SimFleet() = default;

const QStringList &SimFleet::supportedDeviceTypes() {
    static const QStringList types{QStringLiteral("Tolm_2014_RX"), QStringLiteral("Hx7_DEC"),
                                   QStringLiteral("ct510v3"), QStringLiteral("kw330v3")};
    return types;
}

QJsonObject SimFleet::execute(const QJsonObject &command) {
    const QString name = command.value(QStringLiteral("CMD")).toString();
    const QJsonObject value = command.value(QStringLiteral("VALUE")).toObject();
    if (name == QLatin1String("AttachDevice"))
        return attach(value.value(QStringLiteral("DEVICE_TYPE")).toString());
    const QString hash = value.value(QStringLiteral("FILE")).toString();
    SimulatedAircraft *one = aircraft(hash);
    if (name == QLatin1String("DetachDevice"))
        return detach(hash);
    if (!one &&
        (name == QLatin1String("SilenceController") || name == QLatin1String("DropController")))
        return failure(QStringLiteral("no device ") + hash);
    if (name == QLatin1String("SilenceController")) {
        one->setSilent(value.value(QStringLiteral("SILENT")).toBool());
        return success();
    }
    if (name == QLatin1String("DropController")) {
        const int closed = m_closeChannels ? m_closeChannels(hash) : 0;
        return success(QJsonObject{{QStringLiteral("CLOSED"), closed}});
    }
    return failure(QStringLiteral("unknown command ") + name);
}

QJsonObject SimFleet::attach(const QString &deviceType) {
    if (m_aircraft.size() >= MaxDevices)
        return failure(QStringLiteral("at most %1 devices can be attached").arg(MaxDevices));
    const SimDevice device = makeDevice(deviceType);
    auto *aircraft = new SimulatedAircraft(device, m_speed, this);
    m_aircraft.insert(device.hash, aircraft);
    // The clock starts with the first aircraft, on this object's thread.
    if (!m_timer->isActive()) {
        m_clock.start();
        m_lastTickNs = 0;
        m_timer->start();
    }
    Q_EMIT attached(aircraft);
    return success(QJsonObject{{QStringLiteral("FILE"), device.hash},
                               {QStringLiteral("DEVICE_TYPE"), device.deviceType},
                               {QStringLiteral("SN"), device.serialNumber},
                               {QStringLiteral("FLIGHT_TYPE"), device.flightType},
                               {QStringLiteral("SILENT"), false}});
}

QJsonObject SimFleet::detach(const QString &hash) {
    SimulatedAircraft *aircraft = m_aircraft.take(hash);
    if (!aircraft)
        return failure(QStringLiteral("no device ") + hash);
    if (m_closeChannels)
        m_closeChannels(hash);
    delete aircraft;
    return success();
}

SimDevice SimFleet::makeDevice(const QString &deviceType) {
    const QStringList &types = supportedDeviceTypes();
    auto *random = QRandomGenerator::global();
    SimDevice device;
    device.deviceType = deviceType.isEmpty() ? types.at(m_placed % types.size()) : deviceType;
    device.flightType = int(types.indexOf(device.deviceType)) + 1;
    do {
        device.hash.clear();
        for (int i = 0; i < 4; ++i)
            device.hash += QStringLiteral("%1").arg(random->generate(), 8, 16, QLatin1Char('0'));
    } while (m_aircraft.contains(device.hash));
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

void SimFleet::onTick() {
    // Real elapsed time, so a late tick flies as far as a punctual one.
    const qint64 now = m_clock.nsecsElapsed();
    const double seconds = (now - m_lastTickNs) / 1e9;
    m_lastTickNs = now;
    const auto aircraft = m_aircraft;
    for (SimulatedAircraft *one : aircraft)
        one->advance(seconds);
}
