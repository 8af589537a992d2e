#include "qtzonereader.h"

#include <noflyzonefile.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

std::vector<NoFlyZone> readZonesWithQt(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    std::vector<NoFlyZone> zones;
    for (const QJsonValue element : document.object().value("release_limits").toArray()) {
        NoFlyZone zone;
        if (NoFlyZoneFile::readZone(element.toObject(), zone))
            zones.push_back(std::move(zone));
    }
    NoFlyZoneFile::sortByLatitude(zones);
    return zones;
}
