#ifndef ORUTOLMAGENT_H
#define ORUTOLMAGENT_H

#include "orudeviceagent.h"
#include <waylinemission.h>

#include <deque>
#include <memory>

// The aircraft agent: learns which aircraft sits behind the device, watches
// that its controller keeps answering, relays its events and carries the web
// client's commands to it.
class OruTolmAgent : public OruDeviceAgent {
    Q_OBJECT
public:
    explicit OruTolmAgent(OruGroundStationService *service);
    ~OruTolmAgent() override;

    const QString &SerialNumber() override;
    const unsigned char &FlightType() override;
    void GetParameters(ReplyCallback reply) override;
    void GetMissionLimits(ReplyCallback reply) override;
    void UploadWayLineMission(const QJsonObject &wayline, ReplyCallback reply) override;
    void DownloadWayLineMission(ReplyCallback reply) override;
    void SetNavigationMode(emNAVIGATION_MODE mode, ReplyCallback reply) override;
    void StartOrCancel(unsigned char goStop, ReplyCallback reply) override;
    void PauseOrContinue(unsigned char pause, ReplyCallback reply) override;
    void SetHomePoint(const QJsonObject &homePoint, ReplyCallback reply) override;
    void onEvent(const QJsonObject &message) override;
    void DoFunction(const QString &function, ReplyCallback reply) override;
    void SetNoFlyZone(const QJsonArray &zones, ReplyCallback reply) override;
    void StartSimulation(const QJsonObject &request, ReplyCallback reply) override;
    void StopSimulation(const QJsonObject &request, ReplyCallback reply) override;
    void ClickGo(const QJsonObject &request, ReplyCallback reply) override;
    void GetFlyLimit(ReplyCallback reply) override;

protected Q_SLOTS:
    void onHeartbeat();

private:
    void sendGetVersion();
    void sendSetBatteryPush();
    void sendGetFlightType();
    void sendGetSN();
    void broadcastConnect();
    QJsonObject disconnectEvent() const;
    void broadcastProgress(double percent);
    // The SEQs of one kind of heartbeat request, oldest first; an answered one
    // is left null until it reaches the front.
    struct HeartbeatRequests {
        std::deque<QString> seqs;
        quint64 first = 0; // how many have left the front
    };
    // Sends a heartbeat request, first giving up the oldest one of its kind
    // if that many are still tracked, so a silent controller cannot grow
    // pendingReplies without end.
    void sendHeartbeatRequest(HeartbeatRequests &kind, QJsonObject request, ReplyCallback handler);
    void sendUploadWayPoint(int remaining, std::shared_ptr<tagWAYLINE_MISSION> record,
                            const ReplyCallback &reply);
    void sendDownloadWayPoint(int remaining, std::shared_ptr<tagWAYLINE_MISSION> record,
                              const ReplyCallback &reply);

    bool connectAnnounced = false;
    int heartbeatCountdown = 10;
    QString serialNumber;
    unsigned char flightType = 255;
    tagWAYLINE_MISSION mission;
    // Unknown until the first position report; fly-to-point starts from here.
    double latitude = 0.0;
    double longitude = 0.0;
    double height = 0.0;
    HeartbeatRequests versionRequests;
    HeartbeatRequests batteryRequests;
    HeartbeatRequests flightTypeRequests;
    HeartbeatRequests serialRequests;
};

#endif // ORUTOLMAGENT_H
