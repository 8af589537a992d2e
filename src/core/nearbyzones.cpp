#include "nearbyzones.h"

#include "geometry.h"

#include <algorithm>
#include <cmath>

namespace {

// Each coordinate may drift this far before the kept result is recomputed.
constexpr double ReuseBox = 0.005;
// Half a degree of latitude is about 55.7 km, so the band holds every zone
// within maxDistance; it only spares distance computations.
constexpr double LatitudeBand = M_PI / 360.0;

} // namespace

void NearbyZones::setZones(std::vector<NoFlyZone> loaded) {
    // The kept result names positions in the old list. The list arrives
    // once, while that result is still empty, and then the remembered point
    // stays; a list that replaces zones found before forgets it.
    if (!nearby.empty()) {
        nearby.clear();
        lastQuery = LastQuery();
    }
    all = std::move(loaded);
    index.build(all);
}

NearbyZones::Search NearbyZones::query(double latitude, double longitude) {
    // The reference point stays put while reused, so the box does not drift
    // along with a slowly moving aircraft.
    if (reuses(latitude, longitude))
        return {};
    lastQuery = LastQuery{latitude, longitude, true};
    if (all.empty())
        return {};
    nearby.clear();
    const auto [begin, end] = band(latitude);
    // With a coordinate that is not finite every distance is not a number,
    // so nothing is within reach.
    if (!std::isfinite(latitude) || !std::isfinite(longitude))
        return {true, size_t(std::distance(begin, end))};
    if (index.covers(latitude, longitude, maxDistance))
        keepFromIndex(latitude, longitude, begin, end);
    else
        keepFromBand(latitude, longitude, begin, end);
    return {true, size_t(std::distance(begin, end))};
}

bool NearbyZones::reuses(double latitude, double longitude) const {
    return lastQuery.valid && std::abs(lastQuery.latitude - latitude) <= ReuseBox &&
           std::abs(lastQuery.longitude - longitude) <= ReuseBox;
}

// Zones lie in ascending latitude, so the band is one run of positions.
// Zones whose latitude is not a number lie last and fail both tests, as
// does every zone when the query's latitude is not a number.
std::pair<NearbyZones::Iterator, NearbyZones::Iterator> NearbyZones::band(double latitude) const {
    const double south = latitude - LatitudeBand, north = latitude + LatitudeBand;
    const auto begin = std::partition_point(
        all.cbegin(), all.cend(), [south](const NoFlyZone &zone) { return zone.latitude < south; });
    const auto end = std::partition_point(
        begin, all.cend(), [north](const NoFlyZone &zone) { return zone.latitude <= north; });
    return {begin, end};
}

// The index keeps the zones of the band by the same test, in no order;
// sorting their positions puts them back in the band's order.
void NearbyZones::keepFromIndex(double latitude, double longitude, Iterator begin, Iterator end) {
    index.nearby(latitude, longitude, maxDistance, size_t(begin - all.cbegin()),
                 size_t(end - all.cbegin()), nearby);
    std::sort(nearby.begin(), nearby.end());
}

void NearbyZones::keepFromBand(double latitude, double longitude, Iterator begin, Iterator end) {
    const double cosLatitude = std::cos(latitude);
    for (auto zone = begin; zone != end; ++zone) {
        if (withinReach(*zone, latitude, longitude, cosLatitude))
            nearby.push_back(uint32_t(zone - all.cbegin()));
    }
}

// The index tests its own copy of each centre with the same function, so
// both paths keep exactly the same zones. NaN compares false, so a distance
// that is not a number is left out.
bool NearbyZones::withinReach(const NoFlyZone &zone, double latitude, double longitude,
                              double cosLatitude) const {
    return maxDistance >
           Geometry::zoneDistance(zone.latitude, zone.longitude, latitude, longitude, cosLatitude);
}
