#include "fuzzsupport.h"

#include <noflyzonefile.h>
#include <noflyzonemanager.h>

#include <QTemporaryDir>

#include <cstdio>

// The zone file readers on whatever the file holds: the streaming reader must
// keep exactly the zones Qt's parser keeps, in the same order. Then the
// nearby query runs on them, around the first zone, at the origin and poles.

namespace {

constexpr double Pi = 3.141592653589793;

struct ManagerPeek : NoFlyZoneManager {
    static auto setZonesMember() { return &ManagerPeek::setZones; }
};

bool same(const NoFlyZone &a, const NoFlyZone &b) {
    // Both readers turn the same decimal text into radians the same way.
    return a.areaId == b.areaId && a.type == b.type && a.latitude == b.latitude &&
           a.longitude == b.longitude && a.radius == b.radius && a.warning == b.warning &&
           a.level == b.level && a.disable == b.disable && a.updatedAt == b.updatedAt &&
           a.beginAt == b.beginAt && a.endAt == b.endAt && a.name == b.name &&
           a.country == b.country && a.city == b.city;
}

} // namespace

void fuzzOne(const QByteArray &input) {
    static QTemporaryDir folder;
    static NoFlyZoneManager manager(nullptr);
    const QString path = folder.filePath(QStringLiteral("limit.txt"));
    FuzzSupport::writeFile(path, input);
    std::vector<NoFlyZone> zones = NoFlyZoneFile::read(path);
    const std::vector<NoFlyZone> byQt = NoFlyZoneFile::readWithQt(path);
    if (zones.size() != byQt.size()) {
        std::fprintf(stderr, "streaming reader kept %zu zones, Qt's %zu\n", zones.size(),
                     byQt.size());
        abort();
    }
    for (std::size_t i = 0; i < zones.size(); ++i) {
        if (!same(zones[i], byQt[i])) {
            std::fprintf(stderr, "zone %zu differs between the readers\n", i);
            abort();
        }
        // The query's band search relies on this order.
        if (i > 0 && zones[i - 1].latitude > zones[i].latitude)
            abort();
    }
    const double latitude = zones.empty() ? 0.0 : zones.front().latitude;
    const double longitude = zones.empty() ? 0.0 : zones.front().longitude;
    (manager.*ManagerPeek::setZonesMember())(std::move(zones));
    for (const double at : {latitude, 0.0, Pi / 2, -Pi / 2}) {
        const QJsonArray nearby = manager.GetNearbyNoflyZone(at, longitude);
        if (nearby.size() > int(byQt.size()))
            abort();
    }
}
