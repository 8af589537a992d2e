#include "fuzzsupport.h"

#include <waylinemission.h>

#include <QJsonDocument>

#include <cstdio>

// A mission in its web form read into the record and written back must be a
// fixed point: reading what was written gives the same record and text.

void fuzzOne(const QByteArray &input) {
    OruGroundStationService &service = FuzzSupport::service();
    tagWAYLINE_MISSION first;
    service.MissionToStruct(QJsonDocument::fromJson(input).object(), first);
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
}
