#ifndef SIMLINKCLIENT_H
#define SIMLINKCLIENT_H

#include <QHash>
#include <QMultiHash>
#include <QObject>
#include <QUrl>
#include <QWebSocket>

class QTimer;
class SimFleet;
class SimLinkFrame;
class SimulatedAircraft;

// oru-sim's end of the link to the host: flies a fleet and serves its
// controller channels, which the host carries over this one WebSocket. Asks
// the host for count devices once the link is up; finishes when it goes.
class SimLinkClient : public QObject {
    Q_OBJECT
public:
    // A host that lets this much pile up unread is not reading; the link is dropped.
    static constexpr qint64 MaxLinkBacklog = 64 * 1024 * 1024;
    // Past this much unsent, events are dropped and only replies go out, as a
    // radio link drops telemetry: a host that falls behind keeps its aircraft.
    static constexpr qint64 MaxEventBacklog = 4 * 1024 * 1024;
    // How long the host may take to start listening.
    static constexpr int ConnectAttempts = 40;
    static constexpr int ConnectIntervalMs = 500;

    SimLinkClient(const QUrl &host, int count, double speed, QObject *parent = nullptr);
    ~SimLinkClient() override;

    void start();

Q_SIGNALS:
    // The link is gone, or never came up (status 1).
    void finished(int status);

private:
    void onConnected();
    void onDisconnected();
    void onMessage(const QByteArray &message);
    void onAttached(SimulatedAircraft *aircraft);
    void openChannel(quint32 id, const QString &hash);
    void answerChannel(quint32 id, const QByteArray &reply);
    void answerRequest(const SimLinkFrame &frame);
    void forgetChannel(quint32 id);
    int closeChannels(const QString &hash);
    void send(const QByteArray &frame);
    // False while the host falls behind, when events are dropped.
    bool roomForEvents();

    QUrl m_url;
    int m_count;
    SimFleet *m_fleet;
    QWebSocket m_link;
    QTimer *m_retry;
    int m_attempts = 0;
    bool m_wasConnected = false;
    qint64 m_droppedEvents = 0;
    QHash<quint32, QString> m_channelDevice;
    QMultiHash<QString, quint32> m_deviceChannels;
};

#endif // SIMLINKCLIENT_H
