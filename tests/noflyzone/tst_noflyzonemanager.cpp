#include <noflyzonemanager.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double EarthRadius = 6378135.0;

struct LogLine {
    QString category;
    QString text;
};

QList<LogLine> logLines;
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    const QString category = QString::fromLatin1(context.category);
    if (category.startsWith(QLatin1String("oru.")))
        logLines.append({category, text});
    previousHandler(type, context, text);
}

QStringList linesOf(const QString &category) {
    QStringList lines;
    for (const LogLine &line : qAsConst(logLines)) {
        if (line.category == category)
            lines.append(line.text);
    }
    return lines;
}

// Gives the tests the loader and the hand-over that the background load uses.
class ZoneManager : public NoFlyZoneManager {
public:
    ZoneManager()
        : NoFlyZoneManager(nullptr) {}
    using NoFlyZoneManager::loadZones;
    using NoFlyZoneManager::setZones;
};

NoFlyZone zone(const QString &name, double latitude, double longitude, uint32_t radius = 1000) {
    NoFlyZone zone;
    zone.name = name;
    zone.latitude = latitude;
    zone.longitude = longitude;
    zone.radius = radius;
    return zone;
}

QStringList namesOf(const QJsonArray &result) {
    QStringList names;
    for (const QJsonValue &entry : result)
        names.append(entry.toObject().value(QStringLiteral("NAME")).toString());
    return names;
}

QStringList namesOf(const std::vector<NoFlyZone> &zones) {
    QStringList names;
    for (const NoFlyZone &zone : zones)
        names.append(zone.name);
    return names;
}

} // namespace

class tst_NoFlyZoneManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void loadingRules_data();
    void loadingRules();
    void everyFieldIsReadAndCut();
    void logLineCountsTheLoadedZones();
    void managerGoneBeforeTheLoadEnds();
    void reuseBoxKeepsTheComputedPoint();
    void distanceLimitIsStrict_data();
    void distanceLimitIsStrict();
    void latitudeBandLimitsTheCandidates_data();
    void latitudeBandLimitsTheCandidates();
    void resultListsZonesInAscendingLatitude();
    void queryWhileLoadingKeepsItsPoint();
    void searchMatchesTheBandScan_data();
    void searchMatchesTheBandScan();

private:
    std::unique_ptr<ZoneManager> loadedManager(std::vector<NoFlyZone> zones);
    std::vector<NoFlyZone> loadText(const QByteArray &content);

    QTemporaryDir folder;
};

void tst_NoFlyZoneManager::initTestCase() {
    QVERIFY(folder.isValid());
    previousHandler = qInstallMessageHandler(recordMessage);
}

void tst_NoFlyZoneManager::init() {
    logLines.clear();
}

// A manager whose own load has finished, holding zones (sorted) instead.
std::unique_ptr<ZoneManager> tst_NoFlyZoneManager::loadedManager(std::vector<NoFlyZone> zones) {
    auto manager = std::make_unique<ZoneManager>();
    const int before = linesOf(QStringLiteral("oru.NOFLYZONE")).size();
    if (!QTest::qWaitFor([&]() { return linesOf(QStringLiteral("oru.NOFLYZONE")).size() > before; },
                         20000))
        return nullptr;
    manager->setZones(std::move(zones));
    logLines.clear();
    return manager;
}

std::vector<NoFlyZone> tst_NoFlyZoneManager::loadText(const QByteArray &content) {
    const QString path = folder.filePath(QStringLiteral("limit.txt"));
    QFile::remove(path);
    if (!content.isNull()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
    }
    return ZoneManager::loadZones(path);
}

void tst_NoFlyZoneManager::loadingRules_data() {
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<double>>("latitudes");

    auto file = [](const QByteArray &zones) {
        return QByteArray("{\"release_limits\": [") + zones + "]}";
    };

    QTest::newRow("radius 0 and 1 are skipped, 2 is kept")
        << file(R"({"name": "r0", "radius": 0, "lat": "1"},
                   {"name": "r1", "radius": 1, "lat": "2"},
                   {"name": "r2", "radius": 2, "lat": "3"})")
        << QStringList{"r2"} << QList<double>{3 * Pi / 180};
    QTest::newRow("a negative radius wraps to a large one and is kept")
        << file(R"({"name": "neg", "radius": -5})") << QStringList{"neg"} << QList<double>{0.0};
    QTest::newRow("a fractional radius reads as 0")
        << file(R"({"name": "half", "radius": 2.5})") << QStringList{} << QList<double>{};
    QTest::newRow("a radius given as text reads as 0")
        << file(R"({"name": "text", "radius": "100"})") << QStringList{} << QList<double>{};
    QTest::newRow("disable 1 leaves a zone out")
        << file(R"({"name": "off", "radius": 100, "disable": 1},
                   {"name": "on", "radius": 100, "disable": 0})")
        << QStringList{"on"} << QList<double>{0.0};
    QTest::newRow("disable 257 is cut to 1")
        << file(R"({"name": "off", "radius": 100, "disable": 257})") << QStringList{}
        << QList<double>{};
    QTest::newRow("disable 2 is not disabled")
        << file(R"({"name": "two", "radius": 100, "disable": 2})") << QStringList{"two"}
        << QList<double>{0.0};
    QTest::newRow("a numeric lat reads as latitude 0")
        << file(R"({"name": "num", "radius": 100, "lat": 22.5})") << QStringList{"num"}
        << QList<double>{0.0};
    QTest::newRow("lat 180 is pi") << file(R"({"name": "pi", "radius": 100, "lat": "180"})")
                                   << QStringList{"pi"} << QList<double>{Pi};
    QTest::newRow("unparsable or non-finite lat reads as 0")
        << file(R"({"name": "x", "radius": 100, "lat": "12abc"},
                   {"name": "nan", "radius": 100, "lat": "nan"},
                   {"name": "huge", "radius": 100, "lat": "1e308"})")
        << QStringList{"x", "nan", "huge"} << QList<double>{0.0, 0.0, 0.0};
    QTest::newRow("zones are sorted by ascending latitude")
        << file(R"({"name": "north", "radius": 100, "lat": "40.5"},
                   {"name": "south", "radius": 100, "lat": "-33.9"},
                   {"name": "equator", "radius": 100, "lat": "0"})")
        << QStringList{"south", "equator", "north"}
        << QList<double>{-33.9 * Pi / 180, 0.0, 40.5 * Pi / 180};
    QTest::newRow("elements that are not objects are skipped")
        << file(R"(7, "zone", [1], {"name": "ok", "radius": 100})") << QStringList{"ok"}
        << QList<double>{0.0};
    QTest::newRow("begin and end dates do not filter")
        << file(R"({"name": "past", "radius": 100, "begin_at": 1, "end_at": 2},
                   {"name": "future", "radius": 100, "lat": "1", "begin_at": 2000000000})")
        << QStringList{"past", "future"} << QList<double>{0.0, Pi / 180};
    QTest::newRow("no file gives no zones") << QByteArray() << QStringList{} << QList<double>{};
    QTest::newRow("an array document gives no zones")
        << QByteArray(R"([{"name": "a", "radius": 100}])") << QStringList{} << QList<double>{};
    QTest::newRow("broken JSON gives no zones")
        << QByteArray(R"({"release_limits": [{"name": "a", "radius": 100})") << QStringList{}
        << QList<double>{};
    QTest::newRow("release_limits that is not an array gives no zones")
        << QByteArray(R"({"release_limits": {"name": "a", "radius": 100}})") << QStringList{}
        << QList<double>{};
}

void tst_NoFlyZoneManager::loadingRules() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, names);
    QFETCH(QList<double>, latitudes);

    const std::vector<NoFlyZone> zones = loadText(content);
    QCOMPARE(namesOf(zones), names);
    for (size_t i = 0; i < zones.size(); ++i)
        QCOMPARE(zones[i].latitude, latitudes.at(int(i)));
}

void tst_NoFlyZoneManager::everyFieldIsReadAndCut() {
    const std::vector<NoFlyZone> zones = loadText(R"({"release_limits": [{
        "area_id": 4294967297, "type": 257, "lat": "-45", "lng": "90", "radius": -5,
        "warning": 511, "level": 300, "disable": 256, "updated_at": -1,
        "begin_at": 2147483648, "end_at": -7, "name": "Zone A", "country": 70000,
        "city": "Town", "extra": true}], "other": 1})");
    QCOMPARE(zones.size(), size_t(1));
    const NoFlyZone &z = zones.front();
    QCOMPARE(z.areaId, 1);
    QCOMPARE(z.type, uint8_t(1));
    QCOMPARE(z.latitude, -45 * Pi / 180);
    QCOMPARE(z.longitude, Pi / 2);
    QCOMPARE(z.radius, 4294967291u);
    QCOMPARE(z.warning, uint8_t(255));
    QCOMPARE(z.level, uint8_t(44));
    QCOMPARE(z.disable, uint8_t(0));
    QCOMPARE(z.updatedAt, 4294967295u);
    QCOMPARE(z.beginAt, int32_t(-2147483647 - 1));
    QCOMPARE(z.endAt, -7);
    QCOMPARE(z.name, QStringLiteral("Zone A"));
    QCOMPARE(z.country, int16_t(4464));
    QCOMPARE(z.city, QStringLiteral("Town"));
}

void tst_NoFlyZoneManager::logLineCountsTheLoadedZones() {
    // The manager reads the database beside the executable; the count it logs
    // must be what that file holds.
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/Data/limit.txt");
    const size_t expected = ZoneManager::loadZones(path).size();

    ZoneManager manager;
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(QStringLiteral("oru.NOFLYZONE")).size(), 1, 20000);
    QCOMPARE(linesOf(QStringLiteral("oru.NOFLYZONE")).constFirst(),
             QString::number(expected) + QStringLiteral(" no fly zones loaded."));
}

void tst_NoFlyZoneManager::managerGoneBeforeTheLoadEnds() {
    delete new ZoneManager();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(linesOf(QStringLiteral("oru.NOFLYZONE")).isEmpty());
}

void tst_NoFlyZoneManager::reuseBoxKeepsTheComputedPoint() {
    // Seen from p0 only "south" is within 50 km, from p1 only "north";
    // p1 lies 0.004 from p0 in both coordinates, p2 0.008.
    const double lat0 = 0.5, lng0 = 0.1;
    auto manager = loadedManager({zone(QStringLiteral("south"), lat0 - 0.0035, lng0),
                                  zone(QStringLiteral("north"), lat0 + 0.008, lng0 + 0.008)});
    QVERIFY(manager);

    QCOMPARE(namesOf(manager->GetNearbyNoflyZone(lat0, lng0)), QStringList{"south"});
    logLines.clear();

    QCOMPARE(namesOf(manager->GetNearbyNoflyZone(lat0 + 0.004, lng0 + 0.004)),
             QStringList{"south"});
    QCOMPARE(linesOf(QStringLiteral("oru.NoflyZone")),
             QStringList{QStringLiteral("items in nearby_zones: 1")});

    QCOMPARE(namesOf(manager->GetNearbyNoflyZone(lat0 + 0.008, lng0 + 0.008)),
             QStringList{"north"});
    // p1 is within the box around the new reference p2, so it reuses p2's result.
    QCOMPARE(namesOf(manager->GetNearbyNoflyZone(lat0 + 0.004, lng0 + 0.004)),
             QStringList{"north"});
}

void tst_NoFlyZoneManager::distanceLimitIsStrict_data() {
    QTest::addColumn<double>("metres");
    QTest::addColumn<bool>("kept");

    // No pair of doubles lies exactly 50000.0 m apart by this formula and
    // radius, so the limit is probed a decimetre either side; a radius of
    // 6378137 would already push the inner zone 15 m out.
    QTest::newRow("49999.9 m is in") << 49999.9 << true;
    QTest::newRow("50000.1 m is out") << 50000.1 << false;
}

void tst_NoFlyZoneManager::distanceLimitIsStrict() {
    QFETCH(double, metres);
    QFETCH(bool, kept);

    auto manager = loadedManager({zone(QStringLiteral("edge"), metres / EarthRadius, 0.4)});
    QVERIFY(manager);
    QCOMPARE(manager->GetNearbyNoflyZone(0.0, 0.4).size(), kept ? 1 : 0);
}

void tst_NoFlyZoneManager::latitudeBandLimitsTheCandidates_data() {
    QTest::addColumn<double>("northDegrees");
    QTest::addColumn<double>("eastDegrees");
    QTest::addColumn<QString>("bandLine");
    QTest::addColumn<int>("found");

    QTest::newRow("0.6 degrees north is never examined")
        << 0.6 << 0.0 << QStringLiteral("items in large nearby_zones: 0") << 0;
    QTest::newRow("0.6 degrees east on the equator is examined and rejected")
        << 0.0 << 0.6 << QStringLiteral("items in large nearby_zones: 1") << 0;
    QTest::newRow("0.4 degrees north is examined and found")
        << 0.4 << 0.0 << QStringLiteral("items in large nearby_zones: 1") << 1;
}

void tst_NoFlyZoneManager::latitudeBandLimitsTheCandidates() {
    QFETCH(double, northDegrees);
    QFETCH(double, eastDegrees);
    QFETCH(QString, bandLine);
    QFETCH(int, found);

    auto manager = loadedManager(
        {zone(QStringLiteral("z"), northDegrees * Pi / 180, 0.3 + eastDegrees * Pi / 180)});
    QVERIFY(manager);
    QCOMPARE(manager->GetNearbyNoflyZone(0.0, 0.3).size(), found);
    QCOMPARE(linesOf(QStringLiteral("oru.NoflyZone")),
             (QStringList{bandLine, QStringLiteral("items in nearby_zones: %1").arg(found)}));
}

void tst_NoFlyZoneManager::resultListsZonesInAscendingLatitude() {
    auto manager = loadedManager(
        {zone(QStringLiteral("far south"), -0.01, 1.0), zone(QStringLiteral("a"), -0.001, 1.0, 300),
         zone(QStringLiteral("b"), 0.0, 1.001, 4294967291u),
         zone(QStringLiteral("c"), 0.002, 0.999, 2), zone(QStringLiteral("far north"), 0.01, 1.0)});
    QVERIFY(manager);
    const QJsonArray result = manager->GetNearbyNoflyZone(0.0, 1.0);
    const QJsonArray expected{
        QJsonObject{{"LATI", -0.001}, {"LONTI", 1.0}, {"RADIUS", 300}, {"NAME", "a"}},
        QJsonObject{{"LATI", 0.0}, {"LONTI", 1.001}, {"RADIUS", 4294967291LL}, {"NAME", "b"}},
        QJsonObject{{"LATI", 0.002}, {"LONTI", 0.999}, {"RADIUS", 2}, {"NAME", "c"}},
    };
    QCOMPARE(result, expected);
}

void tst_NoFlyZoneManager::queryWhileLoadingKeepsItsPoint() {
    const double lat0 = -0.3, lng0 = 2.1;
    ZoneManager manager;
    // The load's completion has not run: the event loop has not turned yet.
    QCOMPARE(manager.GetNearbyNoflyZone(lat0, lng0), QJsonArray());
    QTRY_COMPARE_WITH_TIMEOUT(linesOf(QStringLiteral("oru.NOFLYZONE")).size(), 1, 20000);
    // The zones arrive as the load hands them over.
    manager.setZones({zone(QStringLiteral("here"), lat0, lng0)});

    QCOMPARE(manager.GetNearbyNoflyZone(lat0 + 0.004, lng0 - 0.004), QJsonArray());
    QCOMPARE(manager.GetNearbyNoflyZone(lat0 + 0.5, lng0), QJsonArray());
    QCOMPARE(namesOf(manager.GetNearbyNoflyZone(lat0, lng0)), QStringList{"here"});
}

void tst_NoFlyZoneManager::searchMatchesTheBandScan_data() {
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("spread"); // radians around the centre

    QTest::newRow("a dense city") << 0.83 << 0.15 << 0.01;
    QTest::newRow("sparse country") << -0.4 << 2.0 << 0.05;
    QTest::newRow("across the antimeridian") << 0.2 << Pi << 0.02;
    QTest::newRow("longitudes given beyond a full turn") << 0.2 << 3 * Pi << 0.02;
    QTest::newRow("near the pole") << 1.56 << 0.0 << 0.02;
    QTest::newRow("past the pole, where no index reaches") << 1.65 << 0.0 << 0.1;
}

// The finer search must keep exactly the zones that the plain test over the
// whole latitude band keeps, in the same order, and log the same band size.
void tst_NoFlyZoneManager::searchMatchesTheBandScan() {
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, spread);

    std::mt19937_64 random(1);
    std::normal_distribution<double> offset(0.0, spread);
    std::vector<NoFlyZone> zones;
    for (int i = 0; i < 2000; ++i)
        zones.push_back(zone(QString::number(i), latitude + offset(random),
                             longitude + offset(random), uint32_t(i + 2)));
    // Zones sharing a latitude keep their order from the sort.
    zones.push_back(zone(QStringLiteral("twin a"), latitude, longitude + 0.001));
    zones.push_back(zone(QStringLiteral("twin b"), latitude, longitude - 0.001));
    std::sort(zones.begin(), zones.end(),
              [](const NoFlyZone &a, const NoFlyZone &b) { return a.latitude < b.latitude; });
    const std::vector<NoFlyZone> all = zones;
    auto manager = loadedManager(std::move(zones));
    QVERIFY(manager);

    const int queries = 60;
    int found = 0;
    for (int i = 0; i < queries; ++i) {
        const double lat = latitude + offset(random);
        const double lng = longitude + offset(random);
        QStringList expected;
        int band = 0;
        for (const NoFlyZone &z : all) {
            if (z.latitude < lat - Pi / 360 || z.latitude > lat + Pi / 360)
                continue;
            ++band;
            const double halfLatitude = std::sin((z.latitude - lat) / 2);
            const double halfLongitude = std::sin((z.longitude - lng) / 2);
            const double a = halfLatitude * halfLatitude +
                             std::cos(z.latitude) * std::cos(lat) * halfLongitude * halfLongitude;
            if (50000.0 > 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * EarthRadius)
                expected.append(z.name);
        }
        // A far query first, so the reuse box never answers.
        manager->GetNearbyNoflyZone(lat + 1.0, lng);
        logLines.clear();
        QCOMPARE(namesOf(manager->GetNearbyNoflyZone(lat, lng)), expected);
        QCOMPARE(linesOf(QStringLiteral("oru.NoflyZone")).value(0),
                 QStringLiteral("items in large nearby_zones: %1").arg(band));
        found += expected.size();
    }
    // The points must have found something, or the comparison proves little.
    QVERIFY(found > queries);
}

QTEST_MAIN(tst_NoFlyZoneManager)
#include "tst_noflyzonemanager.moc"
