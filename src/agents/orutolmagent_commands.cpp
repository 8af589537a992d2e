#include "orutolmagent.h"

namespace {

QJsonObject command(const char *name) {
    return {{QStringLiteral("CMD"), QString::fromLatin1(name)}};
}

QJsonObject command(const char *name, const QJsonValue &value) {
    return {{QStringLiteral("CMD"), QString::fromLatin1(name)}, {QStringLiteral("VALUE"), value}};
}

int functionCode(const QString &function) {
    if (function == QLatin1String("TAKE_OFF"))
        return 1;
    if (function == QLatin1String("LAND"))
        return 2;
    return 6;
}

} // namespace

void OruTolmAgent::GetParameters(ReplyCallback reply) {
    QJsonObject request = command("GetParameters");
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::GetMissionLimits(ReplyCallback reply) {
    // Fixed by the airframe; the controller is not asked.
    if (reply)
        reply({{QStringLiteral("MAX_POINTS"), 50},
               {QStringLiteral("MAX_FLIGHT_TIME"), 28},
               {QStringLiteral("MAX_SPEED"), 20}});
}

void OruTolmAgent::SetNavigationMode(emNAVIGATION_MODE mode, ReplyCallback reply) {
    QJsonObject request =
        command("SetNavigationMode", QJsonObject{{QStringLiteral("NAVIGATION_MODE"), int(mode)}});
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::StartOrCancel(unsigned char goStop, ReplyCallback reply) {
    QJsonObject request = command("StartOrCancelWayLineMission",
                                  QJsonObject{{QStringLiteral("GO_STOP"), int(goStop)}});
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::PauseOrContinue(unsigned char pause, ReplyCallback reply) {
    QJsonObject request = command("PauseOrContinueWayLineMission",
                                  QJsonObject{{QStringLiteral("PAUSE"), int(pause)}});
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::SetHomePoint(const QJsonObject &homePoint, ReplyCallback reply) {
    QJsonObject request = command("SetHomePoint", homePoint);
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::DoFunction(const QString &function, ReplyCallback reply) {
    QJsonObject request = command("DoFunction", functionCode(function));
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::SetNoFlyZone(const QJsonArray &zones, ReplyCallback reply) {
    QJsonObject request = command("SetNoFlyZone", zones);
    sendRequest(request, std::move(reply));
}

void OruTolmAgent::StartSimulation(const QJsonObject &request, ReplyCallback reply) {
    // The controller takes the web request whole; only the SEQ becomes ours.
    QJsonObject forwarded = request;
    sendRequest(forwarded, std::move(reply));
}

void OruTolmAgent::StopSimulation(const QJsonObject &request, ReplyCallback reply) {
    QJsonObject forwarded = request;
    sendRequest(forwarded, std::move(reply));
}

void OruTolmAgent::GetFlyLimit(ReplyCallback reply) {
    QJsonObject request = command("GetFlyLimit");
    sendRequest(request, std::move(reply));
}
