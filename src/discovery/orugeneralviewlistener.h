#ifndef ORUGENERALVIEWLISTENER_H
#define ORUGENERALVIEWLISTENER_H

#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

// Client of the host's general channel: turns its device events into signals
// and keeps the channel up, retrying every second while it is down.
class OruGeneralViewListener : public QObject {
    Q_OBJECT
public:
    explicit OruGeneralViewListener(QObject *parent);
    ~OruGeneralViewListener() override;

    void start();

Q_SIGNALS:
    void deviceArrival(const QString &device_type, const QString &hashString);
    void deviceRemoved(const QString &hashString);
    void login_success();

private Q_SLOTS:
    void onTimeout();
    void onWebSocketConnected();
    void onWebSocketDisconnected();
    void onTextMessage(const QString &message);
    void processDeviceRemoved(const QJsonObject &object);
    void processDeviceArrival(const QJsonObject &object);

private:
    QWebSocket socket;
    QUrl url;
    QTimer timer;
};

#endif // ORUGENERALVIEWLISTENER_H
