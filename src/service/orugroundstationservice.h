#ifndef ORUGROUNDSTATIONSERVICE_H
#define ORUGROUNDSTATIONSERVICE_H

#include "oruexport.h"
#include "orutypes.h"
#include "singletonex.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

struct tagWAYLINE_MISSION;
class NoFlyZoneManager;
class OruDeviceAgent;
class OruGeneralViewListener;
class WorkerPool;
class PushRelay;

class ORU_EXPORT OruGroundStationService : public QObject,
                                           public SingletonEx<OruGroundStationService> {
    Q_OBJECT
public:
    explicit OruGroundStationService(QObject *parent = nullptr);
    ~OruGroundStationService() override;

    // Device discovery
    void DeviceArrival(const QString &deviceType, const QString &hashString);
    void DeviceRemoved(const QString &hashString);

    const QString GenerateSEQ();
    void broadcastJson(const QJsonObject &obj);
    // Where the push views sign up for the broadcasts, beside the signal.
    PushRelay &pushRelay() { return *pushViews; }

    void GetAircraftList(ReplyCallback writer);

    // Aircraft commands: each resolves the aircraft by serial number and hands
    // the work to its agent, which answers through writer.
    void UploadWayLineMission(const QString &aircraft, const QJsonObject &wayline,
                              ReplyCallback writer);
    void DownloadWayLineMission(const QString &aircraft, ReplyCallback writer);
    void SetNavigationMode(const QString &aircraft, emNAVIGATION_MODE mode, ReplyCallback writer);
    void StartOrCancel(const QString &aircraft, unsigned char goStop, ReplyCallback writer);
    void PauseOrContinue(const QString &aircraft, unsigned char pause, ReplyCallback writer);
    void SetHomePoint(const QString &aircraft, const QJsonObject &homePoint, ReplyCallback writer);
    void DoFunction(const QString &aircraft, const QString &function, ReplyCallback writer);
    void StartSimulation(const QString &aircraft, const QJsonObject &request, ReplyCallback writer);
    void StopSimulation(const QString &aircraft, const QJsonObject &request, ReplyCallback writer);
    void ClickGo(const QString &aircraft, const QJsonObject &request, ReplyCallback writer);
    void GetFlyLimit(const QString &aircraft, ReplyCallback writer);

    // No-fly zones within 50 km of a point (radians); also sent to every
    // identified aircraft.
    void GetNoFlyZone(double lati, double lonti, ReplyCallback writer);
    // Whether the zone file is still loading, loaded (with how many zones)
    // or failed (and why), so an empty answer above can be told apart.
    void GetNoFlyZoneState(const ReplyCallback &writer);

    // Wayline store
    void SaveWayLine(const QString &name, const QJsonObject &wayline, ReplyCallback writer);
    void LoadWayLine(const QString &name, ReplyCallback writer);
    void WayLineList(ReplyCallback writer);
    // The same, dropped while still queued once cancelled is set. Saves are
    // never dropped: what a client sent before it left is kept.
    void LoadWayLine(const QString &name, ReplyCallback writer, CancelFlag cancelled);

    // Mission codec
    void MissionToStruct(const QJsonObject &json, tagWAYLINE_MISSION &mission);
    void MissionToJson(const tagWAYLINE_MISSION &mission, QJsonObject &json);
    unsigned char CommandListStringToUint8(const QString &name);
    QString Uint8ToCmdListString(unsigned char code);

Q_SIGNALS:
    void broadcast(const QJsonObject &obj);

protected:
    std::shared_ptr<OruDeviceAgent> makeAgent(const QString &deviceType);
    std::shared_ptr<OruDeviceAgent> getAgent(const QString &aircraft, ReplyCallback writer);
    void initFolder();

private:
    std::shared_ptr<NoFlyZoneManager> noFlyZoneManager;
    std::map<QString, std::shared_ptr<OruDeviceAgent>> agents;
    std::shared_ptr<OruGeneralViewListener> listener;
    // The wayline store's own threads, started with the service.
    std::unique_ptr<WorkerPool> m_storePool;
    std::unique_ptr<PushRelay> pushViews;
};

// One instance, defined in the plug-in, for the host and the plug-in alike.
extern template class SingletonEx<OruGroundStationService>;

#endif // ORUGROUNDSTATIONSERVICE_H
