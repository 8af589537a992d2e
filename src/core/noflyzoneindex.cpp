#include "noflyzoneindex.h"

#include "geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A tenth of a degree: the latitude band spans about eleven strips.
constexpr double StripWidth = M_PI / 1800.0;
// The strips reach a little past the poles, so any band around a query
// within QueryLimit lies inside them.
constexpr double SouthEdge = -1.8;
constexpr double QueryLimit = 1.6;
const size_t StripCount = size_t(std::ceil(-2 * SouthEdge / StripWidth));
// Bounds are widened by far more than any rounding in the exact test, so
// the index never drops a zone that the test would keep.
constexpr double Slack = 1e-6;

} // namespace

void NoFlyZoneIndex::clear() {
    usable = false;
    entries.clear();
    entries.shrink_to_fit();
    stripStart.clear();
    stripStart.shrink_to_fit();
}

void NoFlyZoneIndex::build(const std::vector<NoFlyZone> &zones) {
    clear();
    if (zones.size() >= std::numeric_limits<uint32_t>::max())
        return;
    for (const NoFlyZone &zone : zones) {
        if (!std::isfinite(zone.latitude) || !std::isfinite(zone.longitude))
            return;
    }

    // Zones lie in latitude order, so each strip is one run of positions.
    stripStart.assign(StripCount + 1, 0);
    entries.reserve(zones.size());
    size_t position = 0;
    for (size_t strip = 0; strip < StripCount; ++strip) {
        const double top = SouthEdge + double(strip + 1) * StripWidth;
        while (position < zones.size() && zones[position].latitude < SouthEdge)
            ++position;
        stripStart[strip] = uint32_t(entries.size());
        const size_t runStart = entries.size();
        for (; position < zones.size() && zones[position].latitude < top; ++position)
            entries.push_back(
                {Geometry::reducedLongitude(zones[position].longitude), uint32_t(position)});
        std::sort(
            entries.begin() + std::ptrdiff_t(runStart), entries.end(),
            [](const Entry &left, const Entry &right) { return left.longitude < right.longitude; });
    }
    stripStart[StripCount] = uint32_t(entries.size());
    usable = true;
}

bool NoFlyZoneIndex::covers(double latitude, double longitude, double maxDistance) const {
    return usable && std::isfinite(latitude) && std::isfinite(longitude) &&
           std::abs(latitude) <= QueryLimit && maxDistance > 0 && std::isfinite(maxDistance);
}

void NoFlyZoneIndex::candidates(double latitude, double longitude, double maxDistance, size_t first,
                                size_t last, std::vector<uint32_t> &positions) const {
    // Within reach means a haversine term below this; the latitude part of
    // the term alone bounds each strip, what is left bounds the longitude.
    const double reach =
        Geometry::squaredHalfSine(maxDistance / Geometry::ZoneEarthRadius) * (1 + Slack) + 1e-15;
    const double cosLatitude = std::cos(latitude);
    const double band = M_PI / 360.0 + Slack;
    const double centre = Geometry::reducedLongitude(longitude);

    const auto stripOf = [](double value) {
        return size_t(std::clamp((value - SouthEdge) / StripWidth, 0.0, double(StripCount - 1)));
    };
    for (size_t strip = stripOf(latitude - band); strip <= stripOf(latitude + band); ++strip) {
        const double south = SouthEdge + double(strip) * StripWidth;
        const double north = south + StripWidth;
        const double gap = std::max({0.0, south - latitude, latitude - north}) - Slack;
        const double left = reach - Geometry::squaredHalfSine(std::max(gap, 0.0));
        if (left < 0)
            continue;
        const double cosStrip = std::min(std::cos(south), std::cos(north));
        const double weight = cosLatitude * cosStrip;
        const double ratio = weight > 1e-6 ? left / weight * (1 + Slack) : 2.0;
        if (ratio >= 1.0) {
            collect(strip, -4.0, 4.0, first, last, positions);
            continue;
        }
        const double halfWidth = 2 * std::asin(std::sqrt(ratio)) + Slack;
        if (halfWidth >= M_PI) {
            collect(strip, -4.0, 4.0, first, last, positions);
            continue;
        }
        const double from = centre - halfWidth;
        const double to = centre + halfWidth;
        collect(strip, from, to, first, last, positions);
        if (from < -M_PI)
            collect(strip, from + 2 * M_PI, 4.0, first, last, positions);
        if (to > M_PI)
            collect(strip, -4.0, to - 2 * M_PI, first, last, positions);
    }
}

void NoFlyZoneIndex::collect(size_t strip, double from, double to, size_t first, size_t last,
                             std::vector<uint32_t> &positions) const {
    const auto begin = entries.begin() + stripStart[strip];
    const auto end = entries.begin() + stripStart[strip + 1];
    auto entry = std::lower_bound(begin, end, from,
                                  [](const Entry &e, double value) { return e.longitude < value; });
    for (; entry != end && entry->longitude <= to; ++entry) {
        if (entry->position >= first && entry->position < last)
            positions.push_back(entry->position);
    }
}
