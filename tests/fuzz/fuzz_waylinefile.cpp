#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <waylinemission.h>

#include <QDir>
#include <QFile>

// Whatever sits in a wayline file, loaded as the web client's "GetWayLine"
// would and then read as the mission it claims to be. Every load answers
// exactly once.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzSupport::init();
    OruGroundStationService &service = FuzzSupport::service();
    const QString name = QStringLiteral("fuzzed");
    {
        QFile file(QDir(FuzzSupport::waylineFolder()).filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
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
    return 0;
}
