#include "orugroundstationview.h"

#include <orugroundstationservice.h>

#include <debugger.h>

namespace {

QJsonObject valueOf(const QJsonObject &request) {
    return request.value(QStringLiteral("VALUE")).toObject();
}

QString aircraftOf(const QJsonObject &value) {
    return value.value(QStringLiteral("AIRCRAFT")).toString();
}

// Only the low byte of a flag survives: 257 gives 1, -1 gives 255.
unsigned char flagOf(const QJsonObject &value, const QString &key) {
    return static_cast<unsigned char>(value.value(key).toInt());
}

OruGroundStationService &service() {
    return OruGroundStationService::instance();
}

} // namespace

OruGroundStationView::OruGroundStationView(QWebSocket *socket, QObject *parent)
    : WebSocketHandler(socket, parent)
    , m_gone(std::make_shared<std::atomic_bool>(false)) {
    setObjectName(tr("GroundstationView"));
    ORU_LOG_INFO("GroundstationView") << "GroundstationView created.";

    using Handler = void (OruGroundStationView::*)(const QJsonObject &);
    const std::pair<const char *, Handler> commands[] = {
        {"GetAircraftList", &OruGroundStationView::GetAircraftList},
        {"SetNavigationMode", &OruGroundStationView::SetNavigationMode},
        {"StartOrCancelWayLineMission", &OruGroundStationView::DoStartOrCancelWayLineMission},
        {"PauseOrContinueWayLineMission", &OruGroundStationView::DoPauseOrContinuWayLineMission},
        {"DownloadWayLineMission", &OruGroundStationView::DoDownloadWayLineMission},
        {"UploadWayLineMission", &OruGroundStationView::DoUploadWayLineMission},
        {"ClickGo", &OruGroundStationView::ClickGo},
        {"WayLineList", &OruGroundStationView::WayLineList},
        {"GetWayLine", &OruGroundStationView::GetWayLine},
        {"SaveWayline", &OruGroundStationView::SaveWayLine},
        {"GetNoflyZone", &OruGroundStationView::GetNoFlyZone},
        {"DoFunction", &OruGroundStationView::DoFunction},
        {"StartSimulation", &OruGroundStationView::StartSimulation},
        {"StopSimulation", &OruGroundStationView::StopSimulation},
        {"GetFlyLimit", &OruGroundStationView::GetFlyLimit},
        // Not in the original table, but the service offers it and users
        // expect to move the home point from the ground station.
        {"SetHomePoint", &OruGroundStationView::SetHomePoint},
        // Also beyond the table: without it an empty zone answer cannot be
        // told from a zone file that failed to load.
        {"GetNoflyZoneState", &OruGroundStationView::GetNoFlyZoneState},
    };
    for (const auto &command : commands) {
        const Handler handler = command.second;
        SetWebCmdHandler(
            QString::fromLatin1(command.first),
            [this, handler](const QJsonObject &request) { (this->*handler)(request); });
    }
}

OruGroundStationView::~OruGroundStationView() {
    m_gone->store(true);
}

void OruGroundStationView::onJsonAck(QString seq, QJsonObject &reply) {
    reply.insert(QStringLiteral("SEQ"), seq);
    WriteWebJSON(reply);
}

void OruGroundStationView::GetAircraftList(const QJsonObject &request) {
    service().GetAircraftList(GetSafeWriter(request));
}

void OruGroundStationView::SetNavigationMode(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    const auto mode =
        static_cast<emNAVIGATION_MODE>(value.value(QStringLiteral("NAVIGATION_MODE")).toInt());
    service().SetNavigationMode(aircraftOf(value), mode, GetSafeWriter(request));
}

void OruGroundStationView::DoStartOrCancelWayLineMission(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().StartOrCancel(aircraftOf(value), flagOf(value, QStringLiteral("GO_STOP")),
                            GetSafeWriter(request));
}

void OruGroundStationView::DoPauseOrContinuWayLineMission(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().PauseOrContinue(aircraftOf(value), flagOf(value, QStringLiteral("PAUSE")),
                              GetSafeWriter(request));
}

void OruGroundStationView::DoDownloadWayLineMission(const QJsonObject &request) {
    service().DownloadWayLineMission(aircraftOf(valueOf(request)), GetSafeWriter(request));
}

void OruGroundStationView::DoUploadWayLineMission(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().UploadWayLineMission(aircraftOf(value),
                                   value.value(QStringLiteral("WAYLINE")).toObject(),
                                   GetSafeWriter(request));
}

void OruGroundStationView::ClickGo(const QJsonObject &request) {
    service().ClickGo(aircraftOf(valueOf(request)), request, GetSafeWriter(request));
}

void OruGroundStationView::WayLineList(const QJsonObject &request) {
    service().WayLineList(GetSafeWriter(request));
}

void OruGroundStationView::GetWayLine(const QJsonObject &request) {
    service().LoadWayLine(valueOf(request).value(QStringLiteral("WAYLINE")).toString(),
                          GetSafeWriter(request), m_gone);
}

void OruGroundStationView::SaveWayLine(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().SaveWayLine(value.value(QStringLiteral("WAYLINE_NAME")).toString(),
                          value.value(QStringLiteral("WAYLINE")).toObject(),
                          GetSafeWriter(request));
}

void OruGroundStationView::GetNoFlyZone(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().GetNoFlyZone(value.value(QStringLiteral("LATI")).toDouble(),
                           value.value(QStringLiteral("LONTI")).toDouble(), GetSafeWriter(request));
}

void OruGroundStationView::DoFunction(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().DoFunction(aircraftOf(value), value.value(QStringLiteral("FUNCTION")).toString(),
                         GetSafeWriter(request));
}

void OruGroundStationView::StartSimulation(const QJsonObject &request) {
    service().StartSimulation(aircraftOf(valueOf(request)), request, GetSafeWriter(request));
}

void OruGroundStationView::StopSimulation(const QJsonObject &request) {
    service().StopSimulation(aircraftOf(valueOf(request)), request, GetSafeWriter(request));
}

void OruGroundStationView::GetFlyLimit(const QJsonObject &request) {
    service().GetFlyLimit(aircraftOf(valueOf(request)), GetSafeWriter(request));
}

void OruGroundStationView::SetHomePoint(const QJsonObject &request) {
    const QJsonObject value = valueOf(request);
    service().SetHomePoint(aircraftOf(value), value.value(QStringLiteral("HOME_POINT")).toObject(),
                           GetSafeWriter(request));
}

void OruGroundStationView::GetNoFlyZoneState(const QJsonObject &request) {
    service().GetNoFlyZoneState(GetSafeWriter(request));
}
