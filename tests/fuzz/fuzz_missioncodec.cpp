#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <waylinemission.h>

#include <QJsonDocument>

#include <cstdio>

// A mission in its web form read into the record and written back must be a
// fixed point: reading what was written gives the same record and text.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzSupport::init();
    OruGroundStationService &service = FuzzSupport::service();
    const QJsonObject input =
        QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size)))
            .object();
    tagWAYLINE_MISSION first;
    service.MissionToStruct(input, first);
    QJsonObject written;
    service.MissionToJson(first, written);

    tagWAYLINE_MISSION second;
    service.MissionToStruct(written, second);
    QJsonObject rewritten;
    service.MissionToJson(second, rewritten);

    // Compared as text: NaN never equals itself, and JSON text holds none.
    const QByteArray once = QJsonDocument(written).toJson(QJsonDocument::Compact);
    const QByteArray twice = QJsonDocument(rewritten).toJson(QJsonDocument::Compact);
    if (once != twice || first.waypoints.size() != second.waypoints.size()) {
        std::fprintf(stderr, "not a fixed point:\n%s\n%s\n", once.constData(), twice.constData());
        abort();
    }
    return 0;
}
