#ifndef ORUGROUNDSTATIONVIEW_H
#define ORUGROUNDSTATIONVIEW_H

#include <oruexport.h>

#include <websockethandler.h>

#include <atomic>
#include <memory>

// Command endpoint of one web client: maps each command name to one service
// operation. It never replies itself; the service or an agent calls the writer.
class ORU_EXPORT OruGroundStationView : public WebSocketHandler {
    Q_OBJECT
public:
    OruGroundStationView(QWebSocket *socket, QObject *parent);
    ~OruGroundStationView() override;

    void onJsonAck(QString seq, QJsonObject &reply);

private:
    void GetAircraftList(const QJsonObject &request);
    void SetNavigationMode(const QJsonObject &request);
    void DoStartOrCancelWayLineMission(const QJsonObject &request);
    void DoPauseOrContinuWayLineMission(const QJsonObject &request);
    void DoDownloadWayLineMission(const QJsonObject &request);
    void DoUploadWayLineMission(const QJsonObject &request);
    void ClickGo(const QJsonObject &request);
    void WayLineList(const QJsonObject &request);
    void GetWayLine(const QJsonObject &request);
    void SaveWayLine(const QJsonObject &request);
    void GetNoFlyZone(const QJsonObject &request);
    void DoFunction(const QJsonObject &request);
    void StartSimulation(const QJsonObject &request);
    void StopSimulation(const QJsonObject &request);
    void GetFlyLimit(const QJsonObject &request);
    void SetHomePoint(const QJsonObject &request);
    void GetNoFlyZoneState(const QJsonObject &request);

    // Set when the client goes, so the store drops the loads it left queued.
    std::shared_ptr<std::atomic_bool> m_gone;
};

#endif // ORUGROUNDSTATIONVIEW_H
