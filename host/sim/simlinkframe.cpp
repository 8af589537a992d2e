#include "simlinkframe.h"

#include <QtEndian>

QByteArray SimLinkFrame::encode(Kind kind, quint32 number, const QByteArray &payload) {
    QByteArray message(HeaderSize + payload.size(), Qt::Uninitialized);
    message[0] = kind;
    qToBigEndian(number, message.data() + 1);
    memcpy(message.data() + HeaderSize, payload.constData(), size_t(payload.size()));
    return message;
}

bool SimLinkFrame::decode(const QByteArray &message, QString &why) {
    if (message.size() < HeaderSize) {
        why = QStringLiteral("%1 bytes, shorter than a header").arg(message.size());
        return false;
    }
    switch (message.at(0)) {
    case Hello:
    case Open:
    case Data:
    case Binary:
    case Close:
    case Request:
    case Answer:
        break;
    default:
        why =
            QStringLiteral("unknown kind 0x%1").arg(uchar(message.at(0)), 2, 16, QLatin1Char('0'));
        return false;
    }
    m_kind = Kind(message.at(0));
    m_number = qFromBigEndian<quint32>(message.constData() + 1);
    m_payload = message.constData() + HeaderSize;
    m_payloadSize = message.size() - HeaderSize;
    return true;
}
