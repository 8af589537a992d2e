#ifndef ORUDEVICEAGENT_H
#define ORUDEVICEAGENT_H

#include <orutypes.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWebSocket>

#include <map>

class OruGroundStationService;

// One attached device: owns its controller channel and matches every reply
// to the request that carries the same "SEQ". Events go to onEvent().
class OruDeviceAgent : public QObject {
    Q_OBJECT
public:
    explicit OruDeviceAgent(OruGroundStationService *service);
    ~OruDeviceAgent() override;

    void openChannel(const QString &hash);

    virtual const QString &SerialNumber() = 0;
    virtual const unsigned char &FlightType() = 0;
    virtual void GetParameters(ReplyCallback reply) = 0;
    virtual void GetMissionLimits(ReplyCallback reply) = 0;
    virtual void UploadWayLineMission(const QJsonObject &wayline, ReplyCallback reply) = 0;
    virtual void DownloadWayLineMission(ReplyCallback reply) = 0;
    virtual void SetNavigationMode(emNAVIGATION_MODE mode, ReplyCallback reply) = 0;
    virtual void StartOrCancel(unsigned char goStop, ReplyCallback reply) = 0;
    virtual void PauseOrContinue(unsigned char pause, ReplyCallback reply) = 0;
    virtual void SetHomePoint(const QJsonObject &homePoint, ReplyCallback reply) = 0;
    virtual void onEvent(const QJsonObject &message) = 0;
    virtual void DoFunction(const QString &function, ReplyCallback reply) = 0;
    virtual void SetNoFlyZone(const QJsonArray &zones, ReplyCallback reply) = 0;
    virtual void StartSimulation(const QJsonObject &request, ReplyCallback reply) = 0;
    virtual void StopSimulation(const QJsonObject &request, ReplyCallback reply) = 0;
    virtual void ClickGo(const QJsonObject &request, ReplyCallback reply) = 0;
    virtual void GetFlyLimit(ReplyCallback reply) = 0;

public Q_SLOTS:
    void onWebSocketConnected();
    void onWebSocketDisconnected();
    void onTextMessage(const QString &message);

protected:
    void sendRequest(QJsonObject &request, ReplyCallback callback);

    QTimer timer;
    QString deviceHash;
    OruGroundStationService *service;
    QWebSocket socket;
    std::map<QString, ReplyCallback> pendingReplies;
};

#endif // ORUDEVICEAGENT_H
