#ifndef INCOMINGMETER_H
#define INCOMINGMETER_H

#include <QObject>

class QTcpSocket;

// Charges what waits unread in a client's socket, a frame not yet whole,
// against the process's incoming message budget, and closes the connection
// with 1009 when it does not fit. A child of the socket, on its thread.
class IncomingMeter : public QObject {
    Q_OBJECT
public:
    explicit IncomingMeter(QTcpSocket *socket);
    ~IncomingMeter() override;

private:
    void measure();

    QTcpSocket *m_socket;
    qint64 m_charged = 0;
};

#endif // INCOMINGMETER_H
