// No-fly zone figures: generated zone files clustered like real airspace,
// the time and peak memory of a load, and the nearby query against a
// brute-force scan of every zone, which must name the same zones in the same
// order.
//
//   bench_nofly generate <anchors.txt> <count> <out>   write a zone file
//   bench_nofly load <file> [qt]                       load once, print figures
//   bench_nofly query <file> <points> <checked>        time queries, print figures
//   bench_nofly same <file>                            both readers give identical zones

#include <nearbyzones.h>
#include <noflyzonefile.h>
#include <noflyzonemanager.h>
#include <qtzonereader.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <random>
#include <vector>

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double EarthRadius = 6378135.0;
constexpr double MaxDistance = 50000.0;

class Manager : public NoFlyZoneManager {
public:
    Manager()
        : NoFlyZoneManager(nullptr) {}
    using NoFlyZoneManager::setZones;
};

// A figure of /proc/self/status in MiB: VmHWM is the peak, VmRSS the present.
double statusMib(const QByteArray &key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

double peakMib() {
    return statusMib("VmHWM:");
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size())));
    return values[index];
}

// The manager of the process, with its own background load finished and
// the zones of file installed instead.
std::unique_ptr<Manager> managerWith(std::vector<NoFlyZone> zones) {
    auto manager = std::make_unique<Manager>();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    manager->setZones(std::move(zones));
    return manager;
}

int generate(const QString &anchorsPath, long count, const QString &outPath) {
    // Airports stand for land: cities cluster densely around some of them,
    // the rest of the zones scatter thinly around all of them.
    const std::vector<NoFlyZone> anchors = NoFlyZoneFile::read(anchorsPath).value();
    if (anchors.empty()) {
        std::fprintf(stderr, "no anchors in %s\n", qPrintable(anchorsPath));
        return 1;
    }
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<size_t> anyAnchor(0, anchors.size() - 1);
    std::vector<size_t> cities(std::min<size_t>(400, anchors.size()));
    for (size_t &city : cities)
        city = anyAnchor(random);
    std::uniform_int_distribution<size_t> anyCity(0, cities.size() - 1);
    std::normal_distribution<double> cityKm(0.0, 12.0);
    std::uniform_real_distribution<double> countryDegrees(-1.5, 1.5);
    std::uniform_int_distribution<int> radii(0, 7);
    static const int Radius[] = {100, 200, 500, 1000, 2000, 3000, 5000, 8000};
    std::uniform_int_distribution<int> percent(0, 999);

    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(outPath));
        return 1;
    }
    out.write("{\"release_limits\": [\n");
    QByteArray line;
    for (long i = 0; i < count; ++i) {
        double lat, lng;
        const bool inCity = i % 5 < 2;
        const NoFlyZone &anchor = anchors[inCity ? cities[anyCity(random)] : anyAnchor(random)];
        const double anchorLat = anchor.latitude * 180 / Pi;
        const double anchorLng = anchor.longitude * 180 / Pi;
        if (inCity) {
            lat = anchorLat + cityKm(random) / 111.0;
            lng = anchorLng + cityKm(random) / (111.0 * std::max(0.2, std::cos(anchor.latitude)));
        } else {
            lat = anchorLat + countryDegrees(random);
            lng = anchorLng + countryDegrees(random);
        }
        lat = std::clamp(lat, -89.9, 89.9);
        const int roll = percent(random);
        const int radius = roll < 5 ? roll % 2 : Radius[radii(random)];
        const int disable = roll >= 5 && roll < 15 ? 1 : 0;
        line = "{\"area_id\":" + QByteArray::number(qlonglong(i + 100000)) + ",\"name\":\"Zone " +
               QByteArray::number(qlonglong(i)) + " near " +
               anchor.name.toUtf8().replace('"', ' ').replace('\\', ' ') + "\",\"city\":\"" +
               anchor.city.toUtf8().replace('"', ' ').replace('\\', ' ') +
               "\",\"country\":" + QByteArray::number(anchor.country) + ",\"lat\":\"" +
               QByteArray::number(lat, 'f', 6) + "\",\"lng\":\"" + QByteArray::number(lng, 'f', 6) +
               "\",\"radius\":" + QByteArray::number(radius) +
               ",\"level\":" + QByteArray::number(radius >= 5000 ? 2 : 1) +
               ",\"type\":1,\"warning\":1,\"disable\":" + QByteArray::number(disable) +
               ",\"begin_at\":0,\"end_at\":0,\"updated_at\":1700000000}";
        line += i + 1 < count ? ",\n" : "\n";
        out.write(line);
    }
    out.write("]}\n");
    return out.flush() ? 0 : 1;
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int load(const QString &path, bool withQt) {
    const double before = peakMib();
    const double startRss = statusMib("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuSeconds();
    std::vector<NoFlyZone> zones =
        withQt ? readZonesWithQt(path) : NoFlyZoneFile::read(path).value();
    const double readSeconds = double(timer.nsecsElapsed()) / 1e9;
    const double readCpu = cpuSeconds() - cpuStart;
    const size_t count = zones.size();
    // The index is built as the zones are installed; that belongs to the load.
    auto manager = managerWith({});
    timer.restart();
    const double cpuMiddle = cpuSeconds();
    manager->setZones(std::move(zones));
    const double indexSeconds = double(timer.nsecsElapsed()) / 1e9;
    // CPU time of the process, the reader's converter thread included: what
    // the load costs without the other processes that share the machine.
    const double cpu = cpuSeconds() - cpuStart - (cpuMiddle - cpuStart - readCpu);
    const double peak = peakMib();
    // What the zones hold once the load's buffers are gone: resident memory
    // with the freed heap handed back, over what the process held before.
    malloc_trim(0);
    const double steady = statusMib("VmRSS:");
    std::printf("{\"zones\": %zu, \"read_s\": %.4f, \"index_s\": %.4f, \"load_s\": %.4f, "
                "\"load_cpu_s\": %.4f, \"peak_mib\": %.1f, \"start_mib\": %.1f, "
                "\"steady_mib\": %.1f, \"steady_bytes_per_zone\": %.1f}\n",
                count, readSeconds, indexSeconds, readSeconds + indexSeconds, cpu, peak, before,
                steady, count ? (steady - startRss) * 1048576.0 / double(count) : 0.0);
    return 0;
}

double distanceTo(const NoFlyZone &zone, double latitude, double longitude, double cosLatitude) {
    const double halfLatitude = std::sin((zone.latitude - latitude) / 2);
    const double halfLongitude = std::sin((zone.longitude - longitude) / 2);
    const double a = halfLatitude * halfLatitude +
                     std::cos(zone.latitude) * cosLatitude * halfLongitude * halfLongitude;
    return 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * EarthRadius;
}

QJsonArray resultOf(const std::vector<const NoFlyZone *> &found) {
    QJsonArray result;
    for (const NoFlyZone *zone : found) {
        result.append(QJsonObject{{QStringLiteral("LATI"), zone->latitude},
                                  {QStringLiteral("LONTI"), zone->longitude},
                                  {QStringLiteral("RADIUS"), static_cast<qint64>(zone->radius)},
                                  {QStringLiteral("NAME"), zone->name}});
    }
    return result;
}

// Every zone, in list order, by the same distance test and without the band.
QJsonArray bruteForce(const std::vector<NoFlyZone> &zones, double latitude, double longitude) {
    std::vector<const NoFlyZone *> found;
    const double cosLatitude = std::cos(latitude);
    for (const NoFlyZone &zone : zones) {
        if (MaxDistance > distanceTo(zone, latitude, longitude, cosLatitude))
            found.push_back(&zone);
    }
    return resultOf(found);
}

// The query as it was before the index: every zone of the latitude band.
QJsonArray bandScan(const std::vector<NoFlyZone> &zones, double latitude, double longitude) {
    std::vector<const NoFlyZone *> found;
    const auto begin =
        std::lower_bound(zones.begin(), zones.end(), latitude - Pi / 360,
                         [](const NoFlyZone &zone, double value) { return zone.latitude < value; });
    const double cosLatitude = std::cos(latitude);
    for (auto zone = begin; zone != zones.end() && zone->latitude <= latitude + Pi / 360; ++zone) {
        if (MaxDistance > distanceTo(*zone, latitude, longitude, cosLatitude))
            found.push_back(&*zone);
    }
    return resultOf(found);
}

struct Timings {
    std::vector<double> fast, fastChecked, brute, band;
    size_t found = 0;
    int mismatches = 0;
};

// Times the query at each point, then checks the first checkedCount against
// the brute-force scan and the band scan.
Timings timeQueries(Manager &manager, const std::vector<NoFlyZone> &zones,
                    const std::vector<std::pair<double, double>> &points, int checkedCount) {
    Timings t;
    std::vector<QJsonArray> answers;
    QElapsedTimer timer;
    for (const auto &[lat, lng] : points) {
        timer.start();
        QJsonArray answer = manager.GetNearbyNoflyZone(lat, lng);
        t.fast.push_back(double(timer.nsecsElapsed()) / 1000.0);
        t.found += size_t(answer.size());
        if (int(answers.size()) < checkedCount)
            answers.push_back(std::move(answer));
    }
    for (size_t i = 0; i < answers.size(); ++i) {
        const auto &[lat, lng] = points[i];
        t.fastChecked.push_back(t.fast[i]);
        timer.start();
        const QJsonArray expected = bruteForce(zones, lat, lng);
        t.brute.push_back(double(timer.nsecsElapsed()) / 1000.0);
        timer.start();
        const QJsonArray banded = bandScan(zones, lat, lng);
        t.band.push_back(double(timer.nsecsElapsed()) / 1000.0);
        if (expected != answers[i] || banded != expected)
            ++t.mismatches;
    }
    return t;
}

// Adds points, each outside the reuse box of the one before, so every query recomputes.
template<class Draw>
void addPoints(std::vector<std::pair<double, double>> &points, size_t count, Draw draw) {
    count += points.size();
    while (points.size() < count) {
        const auto [lat, lng] = draw();
        if (!points.empty() && std::abs(points.back().first - lat) <= 0.005 &&
            std::abs(points.back().second - lng) <= 0.005)
            continue;
        points.emplace_back(lat, lng);
    }
}

int query(const QString &path, int pointCount, int checkedCount, const QString &anchorsPath) {
    std::vector<NoFlyZone> zones = NoFlyZoneFile::read(path).value();
    const std::vector<NoFlyZone> anchors = NoFlyZoneFile::read(anchorsPath).value();
    if (zones.empty() || anchors.empty())
        return 1;
    std::vector<NoFlyZone> copy = zones;
    auto manager = managerWith(std::move(zones));

    // Points over land, near the anchors.
    std::mt19937_64 random(7);
    std::uniform_int_distribution<size_t> anyAnchor(0, anchors.size() - 1);
    std::uniform_real_distribution<double> offset(-1.0 * Pi / 180, 1.0 * Pi / 180);
    std::vector<std::pair<double, double>> points;
    addPoints(points, size_t(pointCount), [&]() {
        const NoFlyZone &anchor = anchors[anyAnchor(random)];
        return std::pair(std::clamp(anchor.latitude + offset(random), -1.5, 1.5),
                         anchor.longitude + offset(random));
    });
    // Where the index works hardest, in turn: within two degrees of a pole,
    // where longitude bounds little, and on the antimeridian, where the
    // longitude range wraps, given in either sign.
    std::vector<std::pair<double, double>> edges;
    std::uniform_real_distribution<double> polar(Pi / 2 - 2 * Pi / 180, Pi / 2);
    std::uniform_real_distribution<double> anyLatitude(-1.4, 1.4);
    std::uniform_real_distribution<double> anyLongitude(-Pi, Pi);
    std::uniform_int_distribution<int> side(0, 1);
    bool toPole = false;
    addPoints(edges, size_t(pointCount / 2), [&]() {
        const double sign = side(random) ? 1.0 : -1.0;
        toPole = !toPole;
        if (toPole)
            return std::pair(sign * polar(random), anyLongitude(random));
        return std::pair(anyLatitude(random), sign * (Pi - std::abs(offset(random)) / 4));
    });

    // Aircraft crossing land: each step just leaves the reuse box, so
    // consecutive queries share most of their zones, as a flight's do.
    std::vector<std::pair<double, double>> tracks;
    std::uniform_real_distribution<double> heading(0.0, 2 * Pi);
    while (tracks.size() < size_t(pointCount)) {
        const NoFlyZone &anchor = anchors[anyAnchor(random)];
        const double direction = heading(random);
        for (int step = 0; step < 50; ++step)
            tracks.emplace_back(
                std::clamp(anchor.latitude + 0.0075 * step * std::sin(direction), -1.5, 1.5),
                anchor.longitude + 0.0075 * step * std::cos(direction));
    }

    const Timings land = timeQueries(*manager, copy, points, checkedCount);
    const Timings track = timeQueries(*manager, copy, tracks, 0);
    const Timings edge = timeQueries(*manager, copy, edges, checkedCount / 2);
    // The search alone, without the reply's JSON, at the same points.
    const size_t zoneCount = copy.size();
    NearbyZones search;
    search.setZones(std::move(copy));
    std::vector<double> searchTimes;
    QElapsedTimer timer;
    for (const auto &[lat, lng] : points) {
        timer.start();
        search.query(lat, lng);
        searchTimes.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::printf(
        "{\"zones\": %zu, \"points\": %d, \"checked\": %d, \"mean_found\": %.1f, "
        "\"query_p50_us\": %.2f, \"query_p99_us\": %.2f, \"checked_p50_us\": %.2f, "
        "\"brute_p50_us\": %.1f, \"band_p50_us\": %.1f, \"speedup\": %.1f, "
        "\"edge_points\": %zu, \"edge_mean_found\": %.1f, \"edge_p50_us\": %.2f, "
        "\"edge_p99_us\": %.2f, \"edge_band_p50_us\": %.1f, \"search_p50_us\": %.2f, "
        "\"search_p99_us\": %.2f, \"track_p50_us\": %.2f, \"track_p99_us\": %.2f, "
        "\"track_mean_found\": %.1f, \"mismatches\": %d}\n",
        zoneCount, pointCount, checkedCount, double(land.found) / pointCount,
        percentile(land.fast, 0.5), percentile(land.fast, 0.99), percentile(land.fastChecked, 0.5),
        percentile(land.brute, 0.5), percentile(land.band, 0.5),
        percentile(land.brute, 0.5) / percentile(land.fastChecked, 0.5), edges.size(),
        double(edge.found) / double(edges.size()), percentile(edge.fast, 0.5),
        percentile(edge.fast, 0.99), percentile(edge.band, 0.5), percentile(searchTimes, 0.5),
        percentile(searchTimes, 0.99), percentile(track.fast, 0.5), percentile(track.fast, 0.99),
        double(track.found) / double(tracks.size()), land.mismatches + edge.mismatches);
    return land.mismatches + edge.mismatches == 0 ? 0 : 2;
}

// Equal, or both not a number.
bool sameAngle(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool sameZone(const NoFlyZone &a, const NoFlyZone &b) {
    return a.areaId == b.areaId && a.type == b.type && sameAngle(a.latitude, b.latitude) &&
           sameAngle(a.longitude, b.longitude) && a.radius == b.radius && a.warning == b.warning &&
           a.level == b.level && a.disable == b.disable && a.updatedAt == b.updatedAt &&
           a.beginAt == b.beginAt && a.endAt == b.endAt && a.name == b.name &&
           a.country == b.country && a.city == b.city;
}

int same(const QString &path) {
    const std::vector<NoFlyZone> streamed = NoFlyZoneFile::read(path).value();
    const std::vector<NoFlyZone> parsed = readZonesWithQt(path);
    const bool identical = streamed.size() == parsed.size() &&
                           std::equal(streamed.begin(), streamed.end(), parsed.begin(), sameZone);
    std::printf("{\"zones\": %zu, \"identical\": %d}\n", streamed.size(), identical ? 1 : 0);
    return identical ? 0 : 2;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // The query's log lines would time the terminal, not the query.
    QLoggingCategory::setFilterRules(QStringLiteral("oru.*=false"));
    const QStringList args = app.arguments();
    const QString command = args.value(1);
    if (command == QLatin1String("generate") && args.size() == 5)
        return generate(args[2], args[3].toLong(), args[4]);
    if (command == QLatin1String("load") && args.size() >= 3)
        return load(args[2], args.value(3) == QLatin1String("qt"));
    if (command == QLatin1String("query") && args.size() == 6)
        return query(args[2], args[3].toInt(), args[4].toInt(), args[5]);
    if (command == QLatin1String("same") && args.size() == 3)
        return same(args[2]);
    std::fprintf(stderr, "usage: bench_nofly generate|load|query|same ...\n");
    return 1;
}
