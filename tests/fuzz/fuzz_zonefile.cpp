#include "fuzzsupport.h"

#include <nearbyzones.h>
#include <noflyzonefile.h>
#include <qtzonereader.h>

#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

// The zone file readers on whatever the file holds: the streaming reader must
// keep exactly the zones Qt's parser keeps, in the same order. Then the
// nearby query runs on them, around the first zone, at the origin and poles.

namespace {

// Both readers turn the same decimal text into radians the same way.
auto fields(const NoFlyZone &z) {
    return std::tie(z.areaId, z.type, z.latitude, z.longitude, z.radius, z.warning, z.level,
                    z.disable, z.updatedAt, z.beginAt, z.endAt, z.name, z.country, z.city);
}

} // namespace

void fuzzOne(const QByteArray &input) {
    static QTemporaryDir folder;
    static NearbyZones nearby;
    const QString path = folder.filePath(QStringLiteral("limit.txt"));
    FuzzSupport::writeFile(path, input);
    std::vector<NoFlyZone> zones = NoFlyZoneFile::read(path).value();
    const std::vector<NoFlyZone> byQt = readZonesWithQt(path);
    if (!std::equal(zones.begin(), zones.end(), byQt.begin(), byQt.end(),
                    [](const auto &a, const auto &b) { return fields(a) == fields(b); })) {
        std::fprintf(stderr, "readers differ: %zu zones, %zu by Qt\n", zones.size(), byQt.size());
        abort();
    }
    // The query's band search relies on this order.
    const auto south = [](const auto &a, const auto &b) { return a.latitude < b.latitude; };
    if (!std::is_sorted(zones.begin(), zones.end(), south))
        abort();
    const NoFlyZone first = zones.empty() ? NoFlyZone() : zones.front();
    nearby.setZones(std::move(zones));
    for (const double at : {first.latitude, 0.0, M_PI_2, -M_PI_2}) {
        nearby.query(at, first.longitude);
        if (nearby.result().size() > byQt.size())
            abort();
    }
}
