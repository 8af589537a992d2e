#include "orutolmagent.h"

#include <orugroundstationservice.h>
#include <waylinecodec.h>

// Each transfer is a chain: the next request goes out from the continuation
// of the previous one, so a chain never has more than one request pending.

namespace {

constexpr unsigned char GoStopStart = 0;
constexpr unsigned char GoStopCancel = 1;
// The controller's code for "no mission to cancel", which lets fly-to-point
// go on.
constexpr int NothingToCancel = 236;

bool isSuccess(const QJsonObject &reply) {
    return reply.value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

void answer(const ReplyCallback &reply, const QJsonObject &object) {
    if (reply)
        reply(object);
}

QJsonObject flyToPointWaypoint(int index, double latitude, double longitude, double height) {
    return {{QStringLiteral("INDEX"), index},        {QStringLiteral("LATI"), latitude},
            {QStringLiteral("LONTI"), longitude},    {QStringLiteral("ALTI"), height},
            {QStringLiteral("DAMPING_DIS"), 1},      {QStringLiteral("TGT_YAW"), 0},
            {QStringLiteral("TGT_GIMBAL_PITCH"), 0}, {QStringLiteral("TURN_MODE"), 0},
            {QStringLiteral("HAS_ACTION"), 0},       {QStringLiteral("ACTION_TIME_LIMIT"), 50}};
}

} // namespace

void OruTolmAgent::broadcastProgress(double percent) {
    service->broadcastJson({{QStringLiteral("EVENT"), QStringLiteral("WP_UPLOAD_PROGRESS")},
                            {QStringLiteral("VALUE"), percent}});
}

void OruTolmAgent::UploadWayLineMission(const QJsonObject &wayline, ReplyCallback reply) {
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("UploadWayLineMission")},
                        {QStringLiteral("VALUE"), wayline}};
    auto record = std::make_shared<tagWAYLINE_MISSION>();
    WaylineCodec::readMission(wayline, *record);
    sendRequest(request, [this, record, reply](const QJsonObject &header) {
        if (!isSuccess(header)) {
            answer(reply, header);
            return;
        }
        const int count = record->length;
        broadcastProgress(100.0 / (count + 1));
        sendUploadWayPoint(count, record, reply);
    });
}

void OruTolmAgent::sendUploadWayPoint(int remaining, std::shared_ptr<tagWAYLINE_MISSION> record,
                                      const ReplyCallback &reply) {
    const int count = record->length;
    const int position = count - remaining;
    // A declared length beyond the list ends the chain without an answer.
    if (position >= record->waypoints.size())
        return;
    const tagWAYLINE_WAYPOINT &waypoint = record->waypoints.at(position);
    QJsonObject point = WaylineCodec::writeWaypoint(waypoint);
    if (waypoint.hasAction) {
        QJsonObject action = point.value(QStringLiteral("ACTION")).toObject();
        action.insert(QStringLiteral("COMMAND_LIST"),
                      WaylineCodec::writeControllerCommands(waypoint));
        point.insert(QStringLiteral("ACTION"), action);
    }
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("UploadWayPoint")},
                        {QStringLiteral("VALUE"), point}};
    sendRequest(request, [this, remaining, record = std::move(record), reply,
                          count](const QJsonObject &answered) {
        if (!isSuccess(answered)) {
            answer(reply, answered);
            return;
        }
        broadcastProgress(100.0 * (count + 2 - remaining) / (count + 1));
        if (remaining > 1)
            sendUploadWayPoint(remaining - 1, record, reply);
        else
            answer(reply, answered);
    });
}

void OruTolmAgent::DownloadWayLineMission(ReplyCallback reply) {
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("DownloadWayLineMission")}};
    sendRequest(request, [this, reply](const QJsonObject &header) {
        if (!isSuccess(header)) {
            answer(reply, header);
            return;
        }
        auto record = std::make_shared<tagWAYLINE_MISSION>();
        WaylineCodec::readHeader(header.value(QStringLiteral("VALUE")).toObject(), *record);
        sendDownloadWayPoint(record->length, record, reply);
    });
}

void OruTolmAgent::sendDownloadWayPoint(int remaining, std::shared_ptr<tagWAYLINE_MISSION> record,
                                        const ReplyCallback &reply) {
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("DownloadWayPoint")},
                        {QStringLiteral("VALUE"),
                         QJsonObject{{QStringLiteral("INDEX"), record->length - remaining}}}};
    sendRequest(request,
                [this, remaining, record = std::move(record), reply](const QJsonObject &answered) {
                    if (!isSuccess(answered)) {
                        answer(reply, answered);
                        return;
                    }
                    const QJsonObject point = answered.value(QStringLiteral("VALUE")).toObject();
                    tagWAYLINE_WAYPOINT waypoint = WaylineCodec::readWaypoint(point);
                    if (waypoint.hasAction) {
                        const QJsonObject action = point.value(QStringLiteral("ACTION")).toObject();
                        WaylineCodec::readControllerCommands(
                            action.value(QStringLiteral("COMMAND_LIST")).toObject(), waypoint);
                    }
                    record->waypoints.append(waypoint);
                    if (remaining > 1) {
                        sendDownloadWayPoint(remaining - 1, record, reply);
                        return;
                    }
                    mission = *record;
                    QJsonObject json;
                    WaylineCodec::writeMission(mission, json);
                    answer(reply, {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")},
                                   {QStringLiteral("VALUE"), json}});
                });
}

// Fly-to-point: cancel whatever runs, upload a two-waypoint mission from the
// last reported position to the target, then start it.
void OruTolmAgent::ClickGo(const QJsonObject &request, ReplyCallback reply) {
    const QJsonObject value = request.value(QStringLiteral("VALUE")).toObject();
    const double targetLatitude = WaylineCodec::real(value.value(QStringLiteral("LATI")));
    const double targetLongitude = WaylineCodec::real(value.value(QStringLiteral("LONTI")));
    const double speed = WaylineCodec::real(value.value(QStringLiteral("SPEED")));
    const double targetHeight = WaylineCodec::real(value.value(QStringLiteral("HEIGHT")));

    StartOrCancel(GoStopCancel, [this, reply, targetLatitude, targetLongitude, speed,
                                 targetHeight](const QJsonObject &cancelled) {
        const bool nothingToCancel =
            cancelled.value(QStringLiteral("ERROR_CODE")).toInt() == NothingToCancel;
        if (!isSuccess(cancelled) && !nothingToCancel) {
            answer(reply, cancelled);
            return;
        }
        const QJsonObject mission{
            {QStringLiteral("LENGTH"), 2},
            {QStringLiteral("VEL_CMD_RANGE"), 15},
            {QStringLiteral("IDLE_VEL"), speed},
            {QStringLiteral("ACTION_ON_FINISH"), 0},
            {QStringLiteral("MISSION_EXEC_NUM"), 0},
            {QStringLiteral("YAW_MODE"), 0},
            {QStringLiteral("TRACE_MODE"), 0},
            {QStringLiteral("ACTION_ON_RC_LOST"), 0},
            {QStringLiteral("GIMBAL_PITCH_MODE"), 0},
            {QStringLiteral("GOTO_FIRST"), 0},
            {QStringLiteral("WAY_POINTS"),
             QJsonArray{flyToPointWaypoint(0, latitude, longitude, targetHeight),
                        flyToPointWaypoint(1, targetLatitude, targetLongitude, targetHeight)}},
        };
        UploadWayLineMission(mission, [this, reply](const QJsonObject &uploaded) {
            if (isSuccess(uploaded))
                StartOrCancel(GoStopStart, reply);
            else
                answer(reply, uploaded);
        });
    });
}
