#include "orugroundstationservice.h"

#include <noflyzonemanager.h>
#include <orudeviceagent.h>
#include <orugeneralviewlistener.h>
#include <orutolmagent.h>
#include <pushrelay.h>
#include <replies.h>
#include <workerpool.h>

#include <QDateTime>

#include <random>

template class SingletonEx<OruGroundStationService>;

namespace {

// Drawn from the event loop thread only, so it needs no lock.
std::minstd_rand &seqGenerator() {
    static std::minstd_rand generator;
    return generator;
}

} // namespace

OruGroundStationService::OruGroundStationService(QObject *parent)
    : QObject(parent)
    , noFlyZoneManager(std::make_shared<NoFlyZoneManager>(nullptr))
    , listener(std::make_shared<OruGeneralViewListener>(this))
    , m_storePool(std::make_unique<WorkerPool>(2))
    , pushViews(std::make_unique<PushRelay>()) {
    connect(listener.get(), &OruGeneralViewListener::deviceArrival, this,
            &OruGroundStationService::DeviceArrival);
    connect(listener.get(), &OruGeneralViewListener::deviceRemoved, this,
            &OruGroundStationService::DeviceRemoved);
    listener->start();
    seqGenerator().seed(
        static_cast<std::minstd_rand::result_type>(QDateTime::currentSecsSinceEpoch()));
    initFolder();
}

OruGroundStationService::~OruGroundStationService() {
    // The listener goes first so no arrival lands while the agents die; each
    // announced agent still broadcasts its loss through this living object.
    listener.reset();
    agents.clear();
    noFlyZoneManager.reset();
}

std::shared_ptr<OruDeviceAgent> OruGroundStationService::makeAgent(const QString &deviceType) {
    static const QStringList supported = {
        QStringLiteral("Tolm_2014_RX"),
        QStringLiteral("Hx7_DEC"),
        QStringLiteral("ct510v3"),
        QStringLiteral("kw330v3"),
    };
    if (!supported.contains(deviceType, Qt::CaseSensitive))
        return {};
    return std::make_shared<OruTolmAgent>(this);
}

void OruGroundStationService::DeviceArrival(const QString &deviceType, const QString &hashString) {
    if (agents.count(hashString))
        return;
    auto agent = makeAgent(deviceType);
    if (!agent)
        return;
    agent->openChannel(hashString);
    agents.emplace(hashString, std::move(agent));
}

void OruGroundStationService::DeviceRemoved(const QString &hashString) {
    // Moved out before it dies: the dying agent broadcasts, and whatever runs
    // then must see a registry without it.
    const auto it = agents.find(hashString);
    if (it == agents.end())
        return;
    auto agent = std::move(it->second);
    agents.erase(it);
}

std::shared_ptr<OruDeviceAgent> OruGroundStationService::getAgent(const QString &aircraft,
                                                                  ReplyCallback writer) {
    for (const auto &entry : agents) {
        if (entry.second->SerialNumber() == aircraft)
            return entry.second;
    }
    if (writer)
        writer(failureReply(QStringLiteral("Can't find aircraft ") + aircraft));
    return {};
}

const QString OruGroundStationService::GenerateSEQ() {
    std::uniform_int_distribution<int> draw(0, 32767);
    const int first = draw(seqGenerator());
    const int second = draw(seqGenerator());
    return QStringLiteral("%1%2")
        .arg(first, 4, 16, QLatin1Char(' '))
        .arg(second, 4, 16, QLatin1Char(' '));
}

void OruGroundStationService::broadcastJson(const QJsonObject &obj) {
    Q_EMIT broadcast(obj);
    pushViews->send(obj);
}

void OruGroundStationService::GetAircraftList(ReplyCallback writer) {
    QJsonArray list;
    for (const auto &entry : agents) {
        const QString &serial = entry.second->SerialNumber();
        if (serial.isEmpty())
            continue;
        list.append(QJsonObject{{QStringLiteral("AIRCRAFT"), serial},
                                {QStringLiteral("FLIGHT_TYPE"), int(entry.second->FlightType())},
                                {QStringLiteral("RC"), entry.first}});
    }
    if (writer)
        writer({{QStringLiteral("VALUE"), list},
                {QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}});
}

void OruGroundStationService::UploadWayLineMission(const QString &aircraft,
                                                   const QJsonObject &wayline,
                                                   ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->UploadWayLineMission(wayline, std::move(writer));
}

void OruGroundStationService::DownloadWayLineMission(const QString &aircraft,
                                                     ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->DownloadWayLineMission(std::move(writer));
}

void OruGroundStationService::SetNavigationMode(const QString &aircraft, emNAVIGATION_MODE mode,
                                                ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->SetNavigationMode(mode, std::move(writer));
}

void OruGroundStationService::StartOrCancel(const QString &aircraft, unsigned char goStop,
                                            ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->StartOrCancel(goStop, std::move(writer));
}

void OruGroundStationService::PauseOrContinue(const QString &aircraft, unsigned char pause,
                                              ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->PauseOrContinue(pause, std::move(writer));
}

void OruGroundStationService::SetHomePoint(const QString &aircraft, const QJsonObject &homePoint,
                                           ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->SetHomePoint(homePoint, std::move(writer));
}

void OruGroundStationService::DoFunction(const QString &aircraft, const QString &function,
                                         ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->DoFunction(function, std::move(writer));
}

void OruGroundStationService::StartSimulation(const QString &aircraft, const QJsonObject &request,
                                              ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->StartSimulation(request, std::move(writer));
}

void OruGroundStationService::StopSimulation(const QString &aircraft, const QJsonObject &request,
                                             ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->StopSimulation(request, std::move(writer));
}

void OruGroundStationService::ClickGo(const QString &aircraft, const QJsonObject &request,
                                      ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->ClickGo(request, std::move(writer));
}

void OruGroundStationService::GetFlyLimit(const QString &aircraft, ReplyCallback writer) {
    if (const auto agent = getAgent(aircraft, writer))
        agent->GetFlyLimit(std::move(writer));
}
