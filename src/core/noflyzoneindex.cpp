#include "noflyzoneindex.h"

#include "geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A tenth of a degree: the latitude band spans about eleven strips.
constexpr double StripWidth = M_PI / 1800.0;
// The strips reach a little past the poles; a query whose band leaves them
// is answered by the band scan.
constexpr double Edge = 1.8;
const size_t StripCount = size_t(std::ceil(2 * Edge / StripWidth));
constexpr double Band = M_PI / 360.0;
// Bounds are widened by far more than any rounding in the exact test, so
// the index never drops a zone that the test would keep.
constexpr double Slack = 1e-6;
// Up to here a longitude reduced to [-pi, pi] differs from the exact test's
// own difference of longitudes by far less than Slack; 2 * M_PI is not 2 pi,
// and the error grows with every turn.
constexpr double LongitudeLimit = 1000.0;

// The least and greatest cosine over [south, north], inside (-pi, pi).
std::pair<double, double> cosineRange(double south, double north) {
    const double a = std::cos(south), b = std::cos(north);
    return {std::min(a, b), south <= 0 && north >= 0 ? 1.0 : std::max(a, b)};
}

} // namespace

void NoFlyZoneIndex::clear() {
    usable = false;
    entries.clear();
    entries.shrink_to_fit();
    stripStart.clear();
    stripStart.shrink_to_fit();
    unreduced.clear();
    unreduced.shrink_to_fit();
}

void NoFlyZoneIndex::build(const std::vector<NoFlyZone> &zones) {
    clear();
    if (zones.size() >= std::numeric_limits<uint32_t>::max())
        return;

    // Zones lie in latitude order, so strips fill one after the other.
    // Zones outside the strips never lie in a band the index answers for,
    // and a centre that is not a finite number is never within reach.
    stripStart.assign(StripCount + 1, 0);
    entries.reserve(zones.size());
    size_t strip = 0;
    for (size_t position = 0; position < zones.size(); ++position) {
        const NoFlyZone &zone = zones[position];
        if (!(zone.latitude >= -Edge && zone.latitude < Edge) || !std::isfinite(zone.longitude))
            continue;
        if (std::abs(zone.longitude) > LongitudeLimit) {
            unreduced.push_back({0.0, zone.latitude, zone.longitude, uint32_t(position)});
            continue;
        }
        const size_t at = std::min(size_t((zone.latitude + Edge) / StripWidth), StripCount - 1);
        for (; strip < at; ++strip)
            stripStart[strip + 1] = uint32_t(entries.size());
        entries.push_back({Geometry::reducedLongitude(zone.longitude), zone.latitude,
                           zone.longitude, uint32_t(position)});
    }
    for (; strip < StripCount; ++strip)
        stripStart[strip + 1] = uint32_t(entries.size());
    for (strip = 0; strip < StripCount; ++strip)
        std::sort(
            entries.begin() + stripStart[strip], entries.begin() + stripStart[strip + 1],
            [](const Entry &left, const Entry &right) { return left.reduced < right.reduced; });
    entries.shrink_to_fit();
    usable = true;
}

bool NoFlyZoneIndex::covers(double latitude, double longitude, double maxDistance) const {
    return usable && std::abs(latitude) <= Edge - Band - Slack &&
           std::abs(longitude) <= LongitudeLimit && maxDistance > 0 &&
           maxDistance < Geometry::ZoneEarthRadius;
}

void NoFlyZoneIndex::nearby(double latitude, double longitude, double maxDistance, size_t first,
                            size_t last, std::vector<uint32_t> &positions) const {
    // Within reach means a haversine term a = h + w * s below this, where
    // h = sin^2(dlat / 2), w = cos(lat) * cos(zone lat), s = sin^2(dlng / 2).
    // Where w cannot be zero or negative, the latitude gap bounds h for each
    // strip and the least w over the strip then bounds s. Elsewhere (at and
    // past the poles) neither bounds a, and the whole strip is a candidate.
    const double reach =
        Geometry::squaredHalfSine(maxDistance / Geometry::ZoneEarthRadius) * (1 + Slack) + 1e-15;
    const double cosLatitude = std::cos(latitude);
    const Query query{latitude, longitude, cosLatitude, maxDistance, first, last};
    const double band = Band + Slack;
    const double centre = Geometry::reducedLongitude(longitude);

    const auto stripOf = [](double value) {
        return size_t(std::clamp((value + Edge) / StripWidth, 0.0, double(StripCount - 1)));
    };
    for (size_t strip = stripOf(latitude - band); strip <= stripOf(latitude + band); ++strip) {
        const double south = -Edge + double(strip) * StripWidth - Slack;
        const double north = south + StripWidth + 2 * Slack;
        const auto [least, most] = cosineRange(south, north);
        const double weight = cosLatitude >= 0 ? cosLatitude * least : cosLatitude * most;
        // A negative w lowers a below h, so then even h does not bound.
        if (weight <= 1e-6) {
            collect(strip, -4.0, 4.0, query, positions);
            continue;
        }
        const double gap = std::max({0.0, south - latitude, latitude - north});
        const double left = reach - Geometry::squaredHalfSine(gap);
        if (left < 0)
            continue;
        const double ratio = left / weight * (1 + Slack);
        const double halfWidth = ratio < 1.0 ? 2 * std::asin(std::sqrt(ratio)) + Slack : 4.0;
        if (halfWidth >= M_PI) {
            collect(strip, -4.0, 4.0, query, positions);
            continue;
        }
        const double from = centre - halfWidth;
        const double to = centre + halfWidth;
        collect(strip, from, to, query, positions);
        if (from < -M_PI)
            collect(strip, from + 2 * M_PI, 4.0, query, positions);
        if (to > M_PI)
            collect(strip, -4.0, to - 2 * M_PI, query, positions);
    }
    for (const Entry &entry : unreduced)
        keep(entry, query, positions);
}

void NoFlyZoneIndex::collect(size_t strip, double from, double to, const Query &query,
                             std::vector<uint32_t> &positions) const {
    const auto begin = entries.begin() + stripStart[strip];
    const auto end = entries.begin() + stripStart[strip + 1];
    auto entry = std::lower_bound(begin, end, from,
                                  [](const Entry &e, double value) { return e.reduced < value; });
    for (; entry != end && entry->reduced <= to; ++entry)
        keep(*entry, query, positions);
}

// The band scan's own test on the same numbers, so both keep the same zones.
// NaN compares false, so a distance that is not a number is left out.
void NoFlyZoneIndex::keep(const Entry &entry, const Query &query,
                          std::vector<uint32_t> &positions) {
    if (entry.position >= query.first && entry.position < query.last &&
        query.maxDistance > Geometry::zoneDistance(entry.latitude, entry.longitude, query.latitude,
                                                   query.longitude, query.cosLatitude))
        positions.push_back(entry.position);
}
