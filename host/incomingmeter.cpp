#include "incomingmeter.h"

#include <messagebudget.h>

#include <QMetaObject>
#include <QTcpSocket>

IncomingMeter::IncomingMeter(QTcpSocket *socket)
    : QObject(socket)
    , m_socket(socket) {
    // The WebSocket takes its whole frames in a queued call after readyRead,
    // posted after this one's; measuring one more turn later sees what is left.
    connect(
        socket, &QTcpSocket::readyRead, this,
        [this]() {
            QMetaObject::invokeMethod(this, &IncomingMeter::measure, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

IncomingMeter::~IncomingMeter() {
    MessageBudget::charge(m_charged, 0, QString());
}

void IncomingMeter::measure() {
    if (m_socket->state() != QAbstractSocket::ConnectedState ||
        MessageBudget::charge(m_charged, m_socket->bytesAvailable(),
                              QStringLiteral("client port %1").arg(m_socket->peerPort())))
        return;
    // The WebSocket above cannot be reached from here; its socket can. A
    // close frame with 1009 between two of its frames, then the connection ends.
    const QByteArray reason = MessageBudget::CloseReason.toUtf8();
    m_socket->write(QByteArray("\x88") + char(2 + reason.size()) + "\x03\xf1" + reason);
    m_socket->disconnectFromHost();
}
