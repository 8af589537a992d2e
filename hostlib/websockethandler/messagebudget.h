#ifndef MESSAGEBUDGET_H
#define MESSAGEBUDGET_H

#include <QString>
#include <QtGlobal>

// One budget, for the whole process, of memory that incoming WebSocket
// messages hold before they are whole: a frame waiting in its socket's
// buffer, and the frames of a message that has more to come. Each holder
// charges what it holds now; a charge that would pass the limit is refused,
// and the holder's connection is to be closed (1009). Any thread.
class MessageBudget {
public:
    static constexpr qint64 DefaultLimit = 256 * 1024 * 1024;
    // Sent with close code 1009.
    static const QString CloseReason;

    static void setLimit(qint64 bytes);
    static qint64 limit();
    static qint64 held();

    // Moves charged to now. Returns false, leaves charged at 0 and logs a
    // warning naming who if now does not fit.
    static bool charge(qint64 &charged, qint64 now, const QString &who);
};

#endif // MESSAGEBUDGET_H
