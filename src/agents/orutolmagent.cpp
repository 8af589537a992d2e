#include "orutolmagent.h"

#include <orugroundstationservice.h>
#include <waylinecodec.h>

#include <debugger.h>

namespace {

constexpr int HeartbeatIntervalMs = 500;
constexpr int HeartbeatTicksToLoss = 10;
constexpr unsigned char UnknownFlightType = 255;
// Ten minutes of ticks per kind: a controller that answers late, even far
// beyond the loss window, still gets its aircraft identified and kept, while
// a silent one holds a bounded number of requests.
constexpr std::size_t MaxOutstandingHeartbeats = 10 * 60 * 1000 / HeartbeatIntervalMs;

bool isSuccess(const QJsonObject &reply) {
    return reply.value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

// Marks a pending entry as a heartbeat's, so only those are ever given up;
// a web command's request stays pending even if its SEQ collides with one.
// Answered, it frees its place among its kind's tracked SEQs: no tick has to
// look up every tracked SEQ to learn which are still waiting.
template<typename Kind> struct HeartbeatReply {
    Kind *kind;
    quint64 index;
    ReplyCallback handler;
    void operator()(const QJsonObject &reply) const {
        if (index >= kind->first && index - kind->first < kind->seqs.size())
            kind->seqs[index - kind->first] = QString();
        handler(reply);
    }
};

} // namespace

OruTolmAgent::OruTolmAgent(OruGroundStationService *service)
    : OruDeviceAgent(service) {
    setObjectName(QStringLiteral("OruTolmAgent"));
    timer.setInterval(HeartbeatIntervalMs);
    connect(&timer, &QTimer::timeout, this, &OruTolmAgent::onHeartbeat);
    ORU_LOG_INFO("OruTolmAgent") << "agent created.";
}

OruTolmAgent::~OruTolmAgent() {
    if (connectAnnounced)
        service->broadcastJson(disconnectEvent());
    ORU_LOG_INFO("OruTolmAgent") << "agent deleted.";
}

const QString &OruTolmAgent::SerialNumber() {
    return serialNumber;
}

const unsigned char &OruTolmAgent::FlightType() {
    return flightType;
}

void OruTolmAgent::onHeartbeat() {
    sendGetVersion();
    sendSetBatteryPush();
    if (flightType == UnknownFlightType)
        sendGetFlightType();
    if (serialNumber.isEmpty())
        sendGetSN();

    // Only the tick that reaches zero announces the loss; below zero the
    // aircraft stays lost until a good "GetVersion" re-arms the countdown.
    --heartbeatCountdown;
    if (heartbeatCountdown == 0 && connectAnnounced) {
        connectAnnounced = false;
        const QJsonObject event = disconnectEvent();
        serialNumber.clear();
        flightType = UnknownFlightType;
        service->broadcastJson(event);
    }
}

void OruTolmAgent::sendHeartbeatRequest(HeartbeatRequests &kind, QJsonObject request,
                                        ReplyCallback handler) {
    using Reply = HeartbeatReply<HeartbeatRequests>;
    const auto popFront = [&kind]() {
        kind.seqs.pop_front();
        ++kind.first;
    };
    while (!kind.seqs.empty() && kind.seqs.front().isNull())
        popFront();
    if (kind.seqs.size() >= MaxOutstandingHeartbeats) {
        // Only this very request: its SEQ may since have been reused.
        const auto it = pendingReplies.find(kind.seqs.front());
        const auto *oldest = it != pendingReplies.end() ? it->second.target<Reply>() : nullptr;
        if (oldest && oldest->kind == &kind && oldest->index == kind.first)
            pendingReplies.erase(it);
        popFront();
    }
    const quint64 index = kind.first + kind.seqs.size();
    sendRequest(request, Reply{&kind, index, std::move(handler)});
    kind.seqs.push_back(request.value(QStringLiteral("SEQ")).toString());
}

void OruTolmAgent::sendGetVersion() {
    sendHeartbeatRequest(versionRequests, {{QStringLiteral("CMD"), QStringLiteral("GetVersion")}},
                         [this](const QJsonObject &reply) {
                             if (isSuccess(reply))
                                 heartbeatCountdown = HeartbeatTicksToLoss;
                         });
}

void OruTolmAgent::sendSetBatteryPush() {
    sendHeartbeatRequest(batteryRequests,
                         {{QStringLiteral("CMD"), QStringLiteral("SetBatteryPush")},
                          {QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("FREQ"), 1},
                                                                {QStringLiteral("TIMEOUT"), 10}}}},
                         [](const QJsonObject &) {});
}

void OruTolmAgent::sendGetFlightType() {
    sendHeartbeatRequest(
        flightTypeRequests, {{QStringLiteral("CMD"), QStringLiteral("GetFlightType")}},
        [this](const QJsonObject &reply) {
            if (!isSuccess(reply))
                return;
            flightType = static_cast<unsigned char>(
                WaylineCodec::wholeBits(reply.value(QStringLiteral("VALUE"))) & 0xff);
            ORU_LOG_INFO("OruTolmAgent", "onReply") << "flight type:" << int(flightType);
            broadcastConnect();
        });
}

void OruTolmAgent::sendGetSN() {
    sendHeartbeatRequest(serialRequests, {{QStringLiteral("CMD"), QStringLiteral("GetSN")}},
                         [this](const QJsonObject &reply) {
                             if (reply.contains(QStringLiteral("VALUE"))) {
                                 serialNumber = reply.value(QStringLiteral("VALUE")).toString();
                                 ORU_LOG_INFO("OruTolmAgent", "onReply")
                                     << "flight SN:" << serialNumber;
                             }
                             broadcastConnect();
                         });
}

void OruTolmAgent::broadcastConnect() {
    if (connectAnnounced || serialNumber.isEmpty() || flightType == UnknownFlightType)
        return;
    connectAnnounced = true;
    service->broadcastJson(
        {{QStringLiteral("EVENT"), QStringLiteral("CONNECT")},
         {QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("AIRCRAFT"), serialNumber},
                                               {QStringLiteral("FLIGHT_TYPE"), int(flightType)},
                                               {QStringLiteral("RC"), deviceHash}}}});
}

QJsonObject OruTolmAgent::disconnectEvent() const {
    return {{QStringLiteral("EVENT"), QStringLiteral("DISCONNECT")},
            {QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("AIRCRAFT"), serialNumber},
                                                  {QStringLiteral("RC"), deviceHash}}}};
}

void OruTolmAgent::onEvent(const QJsonObject &message) {
    // Without a serial number nobody could tell which aircraft spoke.
    if (serialNumber.isEmpty())
        return;
    const QJsonValue name = message.value(QStringLiteral("EVENT"));
    const QJsonObject reported = message.value(QStringLiteral("VALUE")).toObject();
    QJsonObject value = reported;
    value.insert(QStringLiteral("AIRCRAFT"), serialNumber);
    service->broadcastJson({{QStringLiteral("EVENT"), name}, {QStringLiteral("VALUE"), value}});

    if (name.toString() == QLatin1String("FLIGHT_STATE")) {
        latitude = WaylineCodec::real(reported.value(QStringLiteral("LATI")));
        longitude = WaylineCodec::real(reported.value(QStringLiteral("LONTI")));
        height = WaylineCodec::real(reported.value(QStringLiteral("HEIGHT")));
    }
}
