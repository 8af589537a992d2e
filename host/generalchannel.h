#ifndef GENERALCHANNEL_H
#define GENERALCHANNEL_H

#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

class HostServer;
class QWebSocket;
class QWebSocketServer;

// The host's "/general" channel: tells every client which devices are
// attached when it connects, and every arrival and removal as it happens.
class GeneralChannel : public QObject {
    Q_OBJECT
public:
    explicit GeneralChannel(HostServer *server, QObject *parent = nullptr);
    ~GeneralChannel() override;

    void announceArrival(const QString &deviceType, const QString &hash);
    void announceRemoval(const QString &hash);

    // Closes every client's connection; they are expected to come back.
    void dropClients();
    int clientCount() const { return m_clients.size(); }

private:
    struct Device {
        QString type;
        QString hash;
    };

    void onNewConnection();
    void send(QWebSocket *client, const QByteArray &message);
    static QByteArray arrivalMessage(const Device &device);

    QWebSocketServer *m_server;
    QList<QWebSocket *> m_clients;
    QVector<Device> m_devices;
};

#endif // GENERALCHANNEL_H
