#ifndef NAVIGATIONCONTROLLER_H
#define NAVIGATIONCONTROLLER_H

#include <QObject>
#include <QPointer>

class QWebSocket;
class SimulatedAircraft;

// One connection to a simulated device's controller: passes each request to
// the aircraft, sends back its reply, and forwards the aircraft's events.
// While the aircraft is silenced, requests go unanswered and events unsent.
class NavigationController : public QObject {
    Q_OBJECT
public:
    // Room for the largest zone list an aircraft keeps.
    static constexpr qint64 MaxMessageSize = 4 * 1024 * 1024;
    // A peer that lets this much pile up unread is not reading; it is dropped.
    static constexpr qint64 MaxPendingOutput = 8 * 1024 * 1024;

    NavigationController(QWebSocket *socket, SimulatedAircraft *aircraft,
                         QObject *parent = nullptr);
    ~NavigationController() override;

    void close();

Q_SIGNALS:
    void closed();

private:
    void onTextMessage(const QString &message);
    void onEvent(const QJsonObject &event);
    void sendText(const QByteArray &message);

    QWebSocket *m_socket;
    QPointer<SimulatedAircraft> m_aircraft;
};

#endif // NAVIGATIONCONTROLLER_H
