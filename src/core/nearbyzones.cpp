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
std::pair<NearbyZones::Iterator, NearbyZones::Iterator> NearbyZones::band(double latitude) const {
    const auto begin =
        std::lower_bound(all.cbegin(), all.cend(), latitude - LatitudeBand,
                         [](const NoFlyZone &zone, double value) { return zone.latitude < value; });
    // A latitude that is not a number has no band at all.
    if (std::isnan(latitude))
        return {begin, begin};
    const auto end =
        std::upper_bound(begin, all.cend(), latitude + LatitudeBand,
                         [](double value, const NoFlyZone &zone) { return value < zone.latitude; });
    return {begin, end};
}

// The index names a few candidates out of the band; the same test then
// keeps them, back in the band's order.
void NearbyZones::keepFromIndex(double latitude, double longitude, Iterator begin, Iterator end) {
    const double cosLatitude = std::cos(latitude);
    candidates.clear();
    index.candidates(latitude, longitude, maxDistance, size_t(begin - all.cbegin()),
                     size_t(end - all.cbegin()), candidates);
    std::sort(candidates.begin(), candidates.end());
    for (const uint32_t position : candidates) {
        if (withinReach(all[position], latitude, longitude, cosLatitude))
            nearby.push_back(all[position]);
    }
}

void NearbyZones::keepFromBand(double latitude, double longitude, Iterator begin, Iterator end) {
    const double cosLatitude = std::cos(latitude);
    for (auto zone = begin; zone != end; ++zone) {
        if (withinReach(*zone, latitude, longitude, cosLatitude))
            nearby.push_back(*zone);
    }
}

// One test for every path, so the index and the band scan keep exactly the
// same zones. NaN compares false, so a distance that is not a number is left out.
bool NearbyZones::withinReach(const NoFlyZone &zone, double latitude, double longitude,
                              double cosLatitude) const {
    return maxDistance >
           Geometry::zoneDistance(zone.latitude, zone.longitude, latitude, longitude, cosLatitude);
}
