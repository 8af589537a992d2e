#include "fuzzsupport.h"

#include <waylinemission.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

// Whatever sits in a wayline file, loaded as the web client's "GetWayLine"
// would and then read as the mission it claims to be. Every load answers
// exactly once.

void fuzzOne(const QByteArray &input) {
    OruGroundStationService &service = FuzzSupport::service();
    FuzzSupport::writeFile(QDir(FuzzSupport::waylineFolder()).filePath("fuzzed"), input);
    QList<QJsonObject> replies;
    service.LoadWayLine("fuzzed", [&replies](const QJsonObject &reply) { replies.append(reply); });
    // The store has threads of its own, which settle() does not wait for.
    const QDeadlineTimer deadline(10000);
    while (replies.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    FuzzSupport::settle();
    if (replies.size() != 1)
        abort();
    tagWAYLINE_MISSION mission;
    service.MissionToStruct(replies.first().value("VALUE").toObject(), mission);
}
