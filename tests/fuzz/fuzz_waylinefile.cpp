#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <waylinemission.h>

#include <QDir>

// Whatever sits in a wayline file, loaded as the web client's "GetWayLine"
// would and then read as the mission it claims to be. Every load answers
// exactly once.

void fuzzOne(const QByteArray &input) {
    OruGroundStationService &service = FuzzSupport::service();
    const QString name = QStringLiteral("fuzzed");
    FuzzSupport::writeFile(QDir(FuzzSupport::waylineFolder()).filePath(name), input);
    int answers = 0;
    QJsonObject reply;
    service.LoadWayLine(name, [&answers, &reply](const QJsonObject &loaded) {
        ++answers;
        reply = loaded;
    });
    FuzzSupport::settle();
    if (answers != 1)
        abort();
    tagWAYLINE_MISSION mission;
    service.MissionToStruct(reply.value(QStringLiteral("VALUE")).toObject(), mission);
}
