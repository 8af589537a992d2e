#include "fuzzsupport.h"

#include <waylinemission.h>

#include <QDir>

// Whatever sits in a wayline file, loaded as the web client's "GetWayLine"
// would and then read as the mission it claims to be. Every load answers
// exactly once.

void fuzzOne(const QByteArray &input) {
    OruGroundStationService &service = FuzzSupport::service();
    FuzzSupport::writeFile(QDir(FuzzSupport::waylineFolder()).filePath("fuzzed"), input);
    QList<QJsonObject> replies;
    service.LoadWayLine("fuzzed", [&replies](const QJsonObject &reply) { replies.append(reply); });
    FuzzSupport::settle();
    if (replies.size() != 1)
        abort();
    tagWAYLINE_MISSION mission;
    service.MissionToStruct(replies.first().value("VALUE").toObject(), mission);
}
