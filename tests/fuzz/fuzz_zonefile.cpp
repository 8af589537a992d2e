#include "fuzzsupport.h"

#include <geometry.h>
#include <nearbyzones.h>
#include <noflyzonefile.h>
#include <qtzonereader.h>

#include <QTemporaryDir>

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>

// The zone file readers on whatever the file holds: the streaming reader must
// keep exactly the zones Qt's parser keeps, in the same order. Then the
// nearby query runs on them, around the first zone, at the origin and poles.

namespace {

// Both readers turn the same decimal text into radians the same way, to
// the bit, even when it is not a number.
uint64_t bits(double value) {
    uint64_t out = 0;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

auto fields(const NoFlyZone &z) {
    return std::make_tuple(z.areaId, z.type, bits(z.latitude), bits(z.longitude), z.radius,
                           z.warning, z.level, z.disable, z.updatedAt, z.beginAt, z.endAt, z.name,
                           z.country, z.city);
}

// Qt 5.15 sorts an object's members with an unstable sort before it drops
// repeated keys, so in an object of more than 16 members which repeat wins is
// left to chance. Our reader takes the last, as Qt does for smaller objects;
// Qt's answer can only be an oracle where it is defined.
bool qtAnswerDefined(simdjson::dom::element element) {
    if (simdjson::dom::array array; element.get(array) == simdjson::SUCCESS) {
        for (const simdjson::dom::element item : array)
            if (!qtAnswerDefined(item))
                return false;
    } else if (simdjson::dom::object object; element.get(object) == simdjson::SUCCESS) {
        std::set<std::string_view> keys;
        size_t members = 0;
        for (const simdjson::dom::key_value_pair field : object) {
            keys.insert(field.key);
            ++members;
            if (!qtAnswerDefined(field.value))
                return false;
        }
        return members <= 16 || keys.size() == members;
    }
    return true;
}

bool qtAnswerDefined(const QByteArray &input) {
    static simdjson::dom::parser parser(1 << 26);
    simdjson::dom::element root;
    // What simdjson cannot read has no repeated key it could see.
    return parser.parse(input.constData(), size_t(input.size())).get(root) != simdjson::SUCCESS ||
           qtAnswerDefined(root);
}

// The plain formula over the latitude band, which the index must match.
std::vector<uint32_t> bandScan(const std::vector<NoFlyZone> &zones, double lat, double lng) {
    std::vector<uint32_t> kept;
    for (uint32_t i = 0; i < zones.size(); ++i) {
        const NoFlyZone &z = zones[i];
        if (z.latitude >= lat - M_PI / 360 && z.latitude <= lat + M_PI / 360 &&
            50000.0 > Geometry::zoneDistance(z.latitude, z.longitude, lat, lng, std::cos(lat)))
            kept.push_back(i);
    }
    return kept;
}

} // namespace

void fuzzOne(const QByteArray &input) {
    static QTemporaryDir folder;
    static NearbyZones nearby;
    const QString path = folder.filePath(QStringLiteral("limit.txt"));
    FuzzSupport::writeFile(path, input);
    std::vector<NoFlyZone> zones = NoFlyZoneFile::read(path).value();
    const std::vector<NoFlyZone> byQt = readZonesWithQt(path);
    if (qtAnswerDefined(input) &&
        !std::equal(zones.begin(), zones.end(), byQt.begin(), byQt.end(),
                    [](const auto &a, const auto &b) { return fields(a) == fields(b); })) {
        std::fprintf(stderr, "readers differ: %zu zones, %zu by Qt\n", zones.size(), byQt.size());
        abort();
    }
    // The query's band search relies on this order, not-a-number last.
    const auto south = [](const auto &a, const auto &b) {
        return a.latitude < b.latitude || (!std::isnan(a.latitude) && std::isnan(b.latitude));
    };
    if (!std::is_sorted(zones.begin(), zones.end(), south))
        abort();
    const NoFlyZone first = zones.empty() ? NoFlyZone() : zones.front();
    const NoFlyZone last = zones.empty() ? NoFlyZone() : zones.back();
    nearby.setZones(std::move(zones));
    for (const auto &[lat, lng] :
         {std::pair(first.latitude, first.longitude), std::pair(last.latitude, last.longitude),
          std::pair(0.0, 0.0), std::pair(M_PI_2, M_PI), std::pair(-1.6, -M_PI)}) {
        // Far away first, so the query is never answered from the kept result.
        nearby.query(lat + 1.0, lng);
        nearby.query(lat, lng);
        if (nearby.result() != bandScan(nearby.zones(), lat, lng))
            abort();
    }
}
