#include "noflyzonemanager.h"

#include "noflyzonefile.h"
#include "runinbackground.h"

#include <debugger.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr double Pi = 3.141592653589793;
// Each coordinate may drift this far before the kept result is recomputed.
constexpr double ReuseBox = 0.005;
// Half a degree of latitude is about 55.7 km, so the band holds every zone
// within maxDistance; it only spares distance computations.
constexpr double LatitudeBand = Pi / 360.0;
constexpr double EarthRadius = 6378135.0;

// The haversine distance in metres; one function for every path, so the
// index and the band scan keep exactly the same zones.
double distanceTo(const NoFlyZone &zone, double latitude, double longitude, double cosLatitude) {
    const double halfLatitude = std::sin((zone.latitude - latitude) / 2);
    const double halfLongitude = std::sin((zone.longitude - longitude) / 2);
    const double a = halfLatitude * halfLatitude +
                     std::cos(zone.latitude) * cosLatitude * halfLongitude * halfLongitude;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * EarthRadius;
}

} // namespace

NoFlyZoneManager::NoFlyZoneManager(QObject *parent)
    : QObject(parent)
    , maxDistance(50000.0) {
    initNoflyZone();
}

NoFlyZoneManager::~NoFlyZoneManager() = default;

void NoFlyZoneManager::initNoflyZone() {
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/Data/") +
                         QStringLiteral("limit.txt");
    const QPointer<NoFlyZoneManager> self(this);
    runInBackground([path, self]() -> std::function<void()> {
        // std::function wants a copyable closure; the list itself is never copied.
        auto loaded = std::make_shared<std::vector<NoFlyZone>>(loadZones(path));
        return [self, loaded]() {
            // The service may have gone while the file was read.
            if (!self)
                return;
            self->setZones(std::move(*loaded));
            Debugger(SECTION("NOFLYZONE"), "NoFlyZoneManager::initNoflyZone::onLoaded", __LINE__)
                    .Dump()
                << static_cast<unsigned long long>(self->zones.size()) << " no fly zones loaded.";
        };
    });
}

std::vector<NoFlyZone> NoFlyZoneManager::loadZones(const QString &path) {
    return NoFlyZoneFile::read(path);
}

void NoFlyZoneManager::setZones(std::vector<NoFlyZone> loaded) {
    zones = std::move(loaded);
    zoneIndex.build(zones);
}

QJsonArray NoFlyZoneManager::GetNearbyNoflyZone(double latitude, double longitude) {
    const bool reuse = lastQuery.valid && std::abs(lastQuery.latitude - latitude) <= ReuseBox &&
                       std::abs(lastQuery.longitude - longitude) <= ReuseBox;
    // The reference point stays put while reused, so the box does not drift
    // along with a slowly moving aircraft.
    if (!reuse) {
        lastQuery = LastQuery{latitude, longitude, true};
        if (!zones.empty()) {
            nearby_zones.clear();
            // Zones lie in ascending latitude, so the band is one run of positions.
            const auto byLatitude = [](const NoFlyZone &zone, double value) {
                return zone.latitude < value;
            };
            const auto begin =
                std::lower_bound(zones.cbegin(), zones.cend(), latitude - LatitudeBand, byLatitude);
            // A latitude that is not a number has no band at all.
            const auto end = std::isnan(latitude)
                                 ? begin
                                 : std::upper_bound(begin, zones.cend(), latitude + LatitudeBand,
                                                    [](double value, const NoFlyZone &zone) {
                                                        return value < zone.latitude;
                                                    });
            Debugger(SECTION("NoflyZone"), "NoFlyZoneManager::GetNearbyNoflyZone", __LINE__).Dump()
                << "items in large nearby_zones: "
                << static_cast<long long>(std::distance(begin, end));

            const double cosLatitude = std::cos(latitude);
            if (zoneIndex.covers(latitude, longitude, maxDistance)) {
                // The index names a few candidates out of the band; the same
                // test then keeps them, back in the band's order.
                candidates.clear();
                zoneIndex.candidates(latitude, longitude, maxDistance,
                                     size_t(begin - zones.cbegin()), size_t(end - zones.cbegin()),
                                     candidates);
                std::sort(candidates.begin(), candidates.end());
                for (const uint32_t position : candidates) {
                    const NoFlyZone &zone = zones[position];
                    if (maxDistance > distanceTo(zone, latitude, longitude, cosLatitude))
                        nearby_zones.push_back(zone);
                }
            } else {
                for (auto zone = begin; zone != end; ++zone) {
                    // NaN compares false, so a distance that is not a number is left out.
                    if (maxDistance > distanceTo(*zone, latitude, longitude, cosLatitude))
                        nearby_zones.push_back(*zone);
                }
            }
        }
    }
    Debugger(SECTION("NoflyZone"), "NoFlyZoneManager::GetNearbyNoflyZone", __LINE__).Dump()
        << "items in nearby_zones: " << static_cast<unsigned long long>(nearby_zones.size());

    QJsonArray result;
    for (const NoFlyZone &zone : nearby_zones) {
        result.append(QJsonObject{{QStringLiteral("LATI"), zone.latitude},
                                  {QStringLiteral("LONTI"), zone.longitude},
                                  {QStringLiteral("RADIUS"), static_cast<qint64>(zone.radius)},
                                  {QStringLiteral("NAME"), zone.name}});
    }
    return result;
}
