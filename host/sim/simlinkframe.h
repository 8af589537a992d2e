#ifndef SIMLINKFRAME_H
#define SIMLINKFRAME_H

#include <QByteArray>
#include <QString>

// One message of the link between the host and oru-sim, sent as a binary
// WebSocket message: a kind, a number (a controller channel, or an admin
// request) and what it carries. The header has a fixed size, so the host
// hands a controller's text on without parsing it.
//
//   Hello   sim to host: the number of devices to attach, in decimal
//   Open    host to sim: a controller channel for the device hash carried
//   Data    both ways: one text message of that channel, verbatim
//   Binary  host to sim: the channel's client sent a binary message
//   Close   both ways: the channel has gone; from the sim, with a close code
//   Request host to sim: an admin command {"CMD", "VALUE"}
//   Answer  sim to host: the reply to the request of that number
class SimLinkFrame {
public:
    enum Kind : char {
        Hello = 'H',
        Open = 'O',
        Data = 'D',
        Binary = 'B',
        Close = 'C',
        Request = 'R',
        Answer = 'A',
    };
    static constexpr int HeaderSize = 5;

    static QByteArray encode(Kind kind, quint32 number, const QByteArray &payload = QByteArray());

    // Reads message's header; the payload stays in message, which must outlive
    // this frame. False, with why, for a message too short or of no known kind.
    bool decode(const QByteArray &message, QString &why);

    Kind kind() const { return m_kind; }
    quint32 number() const { return m_number; }
    const char *payload() const { return m_payload; }
    int payloadSize() const { return m_payloadSize; }
    QByteArray payloadBytes() const { return QByteArray(m_payload, m_payloadSize); }

private:
    Kind m_kind = Hello;
    quint32 m_number = 0;
    const char *m_payload = nullptr;
    int m_payloadSize = 0;
};

#endif // SIMLINKFRAME_H
