#include "noflyzonemanager.h"

#include <debugger.h>
#include <noflyzonefile.h>
#include <runinbackground.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QPointer>

#include <memory>

namespace {

// A zone's object takes some 450 bytes, so this bounds them to about 15 MB.
constexpr int CachedZones = 1 << 15;

QJsonObject toJson(const NoFlyZone &zone) {
    return {{QStringLiteral("LATI"), zone.latitude},
            {QStringLiteral("LONTI"), zone.longitude},
            {QStringLiteral("RADIUS"), static_cast<qint64>(zone.radius)},
            {QStringLiteral("NAME"), zone.name}};
}

} // namespace

NoFlyZoneManager::NoFlyZoneManager(QObject *parent)
    : QObject(parent) {
    initNoflyZone();
}

NoFlyZoneManager::~NoFlyZoneManager() = default;

void NoFlyZoneManager::initNoflyZone() {
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/Data/") +
                         QStringLiteral("limit.txt");
    const QPointer<NoFlyZoneManager> self(this);
    runInBackground([path, self]() -> std::function<void()> {
        // std::function wants a copyable closure; the list itself is never copied.
        auto loaded = std::make_shared<Result<std::vector<NoFlyZone>>>(NoFlyZoneFile::read(path));
        return [self, loaded]() {
            // The service may have gone while the file was read.
            if (!self)
                return;
            self->loadState = loaded->ok() ? Loaded : Failed;
            self->loadFailure = loaded->errorMessage();
            if (!*loaded)
                ORU_LOG_WARNING("NOFLYZONE", "onLoaded")
                    << QStringLiteral("failed to load: ") + self->loadFailure;
            self->setZones(std::move(*loaded).value());
            ORU_LOG_INFO("NOFLYZONE", "onLoaded")
                << static_cast<unsigned long long>(self->zoneCount()) << " no fly zones loaded.";
        };
    });
}

void NoFlyZoneManager::setZones(std::vector<NoFlyZone> loaded) {
    nearby_zones.setZones(std::move(loaded));
    zoneObjects.clear();
    lastReply = QJsonArray();
}

QJsonArray NoFlyZoneManager::GetNearbyNoflyZone(double latitude, double longitude) {
    const NearbyZones::Search search = nearby_zones.query(latitude, longitude);
    if (search.searched)
        ORU_LOG_INFO("NoflyZone") << "items in large nearby_zones: "
                                  << static_cast<long long>(search.bandSize);
    ORU_LOG_INFO("NoflyZone") << "items in nearby_zones: "
                              << static_cast<unsigned long long>(nearby_zones.result().size());

    if (search.searched || lastReply.size() != int(nearby_zones.result().size())) {
        lastReply = QJsonArray();
        for (const uint32_t position : nearby_zones.result())
            lastReply.append(zoneJson(position));
    }
    return lastReply;
}

QJsonValue NoFlyZoneManager::zoneJson(uint32_t position) {
    const auto known = zoneObjects.constFind(position);
    if (known != zoneObjects.constEnd())
        return *known;
    if (zoneObjects.size() >= CachedZones)
        zoneObjects.clear();
    QJsonValue value(toJson(nearby_zones.zones()[position]));
    zoneObjects.insert(position, value);
    return value;
}
