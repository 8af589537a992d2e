#include <noflyzonefile.h>
#include <noflyzonemanager.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

namespace {

constexpr double Pi = 3.141592653589793, EarthRadius = 6378135.0;

int loads = 0;        // loads that reached a manager
QStringList queryLog; // what queries logged
QtMessageHandler previousHandler = nullptr;

void record(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    loads += QLatin1String(context.category) == QLatin1String("oru.NOFLYZONE");
    if (QLatin1String(context.category) == QLatin1String("oru.NoflyZone"))
        queryLog << text;
    previousHandler(type, context, text);
}

struct ZoneManager : NoFlyZoneManager {
    ZoneManager()
        : NoFlyZoneManager(nullptr) {}
    // After its own load of the default file has landed, so that cannot replace them.
    bool install(std::vector<NoFlyZone> zones) {
        const bool loaded = QTest::qWaitFor([this]() { return loads > loadsBefore; }, 20000);
        setZones(std::move(zones));
        return loaded;
    }
    const int loadsBefore = loads;
};

// With only the fields a query reads.
NoFlyZone zone(const QString &name, double latitude, double longitude, uint32_t radius = 1000) {
    return {0, 0, latitude, longitude, radius, 0, 0, 0, 0, 0, 0, name, 0, QString()};
}

QStringList namesOf(const QJsonArray &result) {
    QStringList names;
    for (const QJsonValue &entry : result)
        names << entry["NAME"].toString();
    return names;
}

// name@degrees, then every field with the centre exact, to compare the readers whole.
QString fields(const NoFlyZone &z) {
    QStringList all{z.name + '@' + QString::number(z.latitude * 180 / Pi), z.city};
    for (const double n :
         {z.latitude, z.longitude, double(z.areaId), double(z.type), double(z.radius),
          double(z.warning), double(z.level), double(z.disable), double(z.updatedAt),
          double(z.beginAt), double(z.endAt), double(z.country)})
        all << QString::number(n, 'g', 17);
    return all.join('|');
}

// Read in batches by the streaming reader; special starts a little before the
// first batch may end, where the reader looks for a place to cut.
QByteArray largeFile(QByteArray special = QByteArray()) {
    QByteArray content = "{\"release_limits\": [";
    for (int i = 0; i < 10000; ++i) {
        if (!special.isNull() && content.size() > (1 << 20) - 300)
            content += std::exchange(special, QByteArray()) + ",\n";
        content += R"({"area_id": )" + QByteArray::number(i) + R"(, "name": "Zone", "lat": ")" +
                   QByteArray::number(i % 170 - 85) + R"(", "lng": "7.5", "radius": 500, "level": 1,
            "type": 1, "warning": 1, "updated_at": 1, "city": ")" +
                   QByteArray(120, 'x') + "\"},\n";
    }
    return content.chopped(2) + "]}";
}

QByteArray file(const QByteArray &zones) {
    return "{\"release_limits\": [" + zones + "]}";
}

} // namespace

// The zone file's two readers, and the query over the zones they keep.
class tst_NoFlyZoneManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { previousHandler = qInstallMessageHandler(record); }

    void readers_data() {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("zones"); // the first ones, or all

        const auto row = [](const char *name, const QByteArray &content, const QStringList &zones) {
            QTest::newRow(name) << content << zones.size() << zones;
        };
        const QByteArray zone = R"({"name": "z", "radius": 100, "lat": "10", "lng": "20"})";
        row("radius 0, 1, 2.5 and \"100\" leave a zone out, 2 and -5 keep it",
            file(R"({"name": "r0", "radius": 0}, {"name": "r1", "radius": 1},
                    {"name": "half", "radius": 2.5}, {"name": "text", "radius": "100"},
                    {"name": "r2", "radius": 2}, {"name": "neg", "radius": -5, "lat": "1"})"),
            {"r2@0", "neg@1"});
        row("disable 1 leaves a zone out, 2 does not, 257 is cut to 1",
            file(R"({"name": "off", "radius": 100, "disable": 1}, {"name": "two", "radius": 100,
                    "disable": 2}, {"name": "cut", "radius": 100, "disable": 257})"),
            {"two@0"});
        row("zones are sorted by latitude; a numeric, unparsable or non-finite lat reads as 0",
            file(R"({"name": "north", "radius": 100, "lat": "40.5"},
                    {"name": "south", "radius": 100, "lat": "-33.9"},
                    {"name": "pole", "radius": 100, "lat": "180"},
                    {"name": "num", "radius": 100, "lat": 22.5}, {"name": "x", "radius": 100,
                     "lat": "12abc"}, {"name": "nan", "radius": 100, "lat": "nan"},
                    {"name": "huge", "radius": 100, "lat": "1e308"})"),
            {"south@-33.9", "num@0", "x@0", "nan@0", "huge@0", "north@40.5", "pole@180"});
        row("every field is read and cut to its width",
            file(R"({"area_id": 4294967297, "type": 257, "lat": "0", "lng": "180", "radius": -5,
                "warning": 511, "level": 300, "disable": 256, "updated_at": -1, "begin_at": 2147483648,
                "end_at": -7, "name": "A", "country": 70000, "city": "T", "extra": true})"),
            {"A@0|T|0|3.1415926535897931|1|1|4294967291|255|44|0|4294967295|-2147483648|-7|4464"});
        row("no file gives no zones", QByteArray(), {});
        row("an array document gives no zones", R"([{"name": "a", "radius": 100}])", {});
        row("a repeated member counts with its last value",
            file(R"({"name": "a", "radius": 0, "radius": 100, "lat": "1", "lat": "2"})"), {"a@2"});
        row("a repeated release_limits counts with its last value",
            R"({"release_limits": [)" + zone + R"(], "release_limits": 5})", {});
        row("a byte order mark is skipped", "\xEF\xBB\xBF" + file(zone), {"z@10"});
        row("a raw tab and a lone surrogate in strings are read",
            file("{\"name\": \"tab\there\", \"city\": \"\\ud800\", \"radius\": 100}"),
            {"tab\there@0"});
        row("an underflowing number breaks the document",
            file(R"({"name": "tiny", "radius": 100, "extra": 1e-400})"), {});
        row("integers beyond 64 bits and past 2^53 are read as Qt reads them",
            file(R"({"name": "big", "radius": 100, "area_id": 9007199254740993,
                     "level": 18446744073709551616, "updated_at": 123456789012345678901234567890})"),
            {"big@0"});
        row("coordinates in other spellings",
            file(R"({"name": "a", "radius": 100, "lat": " 12.5 ", "lng": "1e1"},
                    {"name": "b", "radius": 100, "lat": "-0", "lng": "+7"},
                    {"name": "c", "radius": 100, "lat": "\u0031\u0032", "lng": "0x10"},
                    {"name": "d", "radius": 100, "lat": "12.345678901234567890123", "lng": "-.5"})"),
            {"b@0", "c@12", "d@12.3457", "a@12.5"});
        row("deep nesting past Qt's limit breaks the document",
            file("{\"name\": \"deep\", \"radius\": 100, \"x\": " + QByteArray(1100, '[') +
                 QByteArray(1100, ']') + "}"),
            {});
        row("garbage after the document breaks it", file(zone) + " x", {});
        row("a trailing comma breaks the document", file(zone + ","), {});
        row("invalid UTF-8 breaks the document", file("{\"name\": \"\xff\", \"radius\": 100}"), {});
        row("other members around an escaped release_limits are ignored",
            R"({"version": {"a": [1]}, "release\u005flimits": [)" + zone + R"(], "tail": "x"})",
            {"z@10"});
        row("elements that are not objects are skipped", file(R"(7, "zone", [1], )" + zone),
            {"z@10"});
        QTest::newRow("a large file") << largeFile() << 10000 << QStringList{};
        QTest::newRow("a zone only Qt reads in a batch")
            << largeFile("{\"name\": \"tab\there\", \"radius\": 100}") << 10001 << QStringList{};
        QTest::newRow("an underflowing number in a batch breaks the file")
            << largeFile(R"({"name": "tiny", "radius": 100, "x": 1e-400})") << 0 << QStringList{};
        QTest::newRow("a name that looks like the end of a zone where a batch may end")
            << largeFile("{\"radius\": 9, \"name\": \"" +
                         QByteArray(R"(a }, { b },{\" c )").repeated(40) + "\"}")
            << 10001 << QStringList{};
    }

    // Both readers must agree on every field, and keep the zones expected.
    void readers() {
        QFETCH(QByteArray, content);
        QFETCH(int, count);
        QFETCH(QStringList, zones);

        QTemporaryDir folder;
        QFile out(folder.filePath(QStringLiteral("limit.txt")));
        QVERIFY(content.isNull() || (out.open(QIODevice::WriteOnly) && out.write(content) >= 0));
        out.close();
        QStringList kept, byQt;
        for (const NoFlyZone &z : NoFlyZoneFile::read(out.fileName()))
            kept << fields(z);
        for (const NoFlyZone &z : NoFlyZoneFile::readWithQt(out.fileName()))
            byQt << fields(z);
        QCOMPARE(kept.size(), count);
        QCOMPARE(kept, byQt);
        for (int i = 0; i < zones.size(); ++i)
            QCOMPARE(zones[i].contains('|') ? kept[i] : kept[i].section('|', 0, 0), zones[i]);
    }

    void managerGoneBeforeTheLoadEnds() {
        const int before = loads;
        delete new ZoneManager();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(loads, before);
    }

    void query() {
        // Seen from p0 only "south" is within 50 km, from p1 and p2 only "north";
        // p1 lies 0.004 from p0 in both coordinates, p2 0.008.
        const double lat0 = 0.5, lng0 = 0.1;
        // Around (0, 1) the limit is probed a decimetre either side: no pair of
        // doubles lies exactly 50000.0 m apart by this formula and radius.
        const double in = 49999.9 / EarthRadius, out = -50000.1 / EarthRadius;
        ZoneManager manager;
        // Asked before the zones are in, the empty answer still sets the point.
        QCOMPARE(manager.GetNearbyNoflyZone(lat0 + 0.008, lng0 + 0.008), QJsonArray{});
        QVERIFY(manager.install({zone("out", out, 1.0), zone("a", -0.001, 1.0, 300),
                                 zone("b", 0.0, 1.001, 4294967291u), zone("c", 0.002, 0.999, 2),
                                 zone("in", in, 1.0), zone("south", lat0 - 0.0035, lng0),
                                 zone("north", lat0 + 0.008, lng0 + 0.008)}));
        QStringList seen;
        for (const double step : {0.004, 0.0, 0.004, 0.008, 0.004})
            seen << namesOf(manager.GetNearbyNoflyZone(lat0 + step, lng0 + step)).join(',');
        QCOMPARE(seen, (QStringList{"", "south", "south", "north", "north"}));
        const auto entry = [](const char *name, double lat, double lng, qint64 radius) {
            return QJsonObject{{"LATI", lat}, {"LONTI", lng}, {"RADIUS", radius}, {"NAME", name}};
        };
        QCOMPARE(manager.GetNearbyNoflyZone(0.0, 1.0),
                 (QJsonArray{entry("a", -0.001, 1.0, 300), entry("b", 0.0, 1.001, 4294967291LL),
                             entry("c", 0.002, 0.999, 2), entry("in", in, 1.0, 1000)}));
    }

    void searchMatchesTheBandScan_data() {
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

    // The index must keep exactly what a scan of the latitude band keeps, and log its size.
    void searchMatchesTheBandScan() {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, spread);

        std::mt19937_64 random(1);
        std::normal_distribution<double> offset(0.0, spread);
        // Zones sharing a latitude keep their order from the sort.
        std::vector<NoFlyZone> zones{zone("twin a", latitude, longitude + 0.001),
                                     zone("twin b", latitude, longitude - 0.001)};
        for (int i = 0; i < 2000; ++i)
            zones.push_back(zone(QString::number(i), latitude + offset(random),
                                 longitude + offset(random), uint32_t(i + 2)));
        std::stable_sort(zones.begin(), zones.end(), [](const NoFlyZone &a, const NoFlyZone &b) {
            return a.latitude < b.latitude;
        });
        ZoneManager manager;
        QVERIFY(manager.install(zones));

        int found = 0;
        for (int i = 0; i < 60; ++i) {
            const double lat = latitude + offset(random), lng = longitude + offset(random);
            QStringList expected;
            int band = 0;
            for (const NoFlyZone &z : zones) {
                if (z.latitude < lat - Pi / 360 || z.latitude > lat + Pi / 360)
                    continue;
                ++band;
                const double halfLat = std::sin((z.latitude - lat) / 2);
                const double halfLng = std::sin((z.longitude - lng) / 2);
                const double a =
                    halfLat * halfLat + std::cos(z.latitude) * std::cos(lat) * halfLng * halfLng;
                if (50000.0 > 2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * EarthRadius)
                    expected << z.name;
            }
            // A far query first, so the kept result is never reused.
            manager.GetNearbyNoflyZone(lat + 1.0, lng);
            queryLog.clear();
            QCOMPARE(namesOf(manager.GetNearbyNoflyZone(lat, lng)), expected);
            QCOMPARE(queryLog.value(0),
                     QStringLiteral("items in large nearby_zones: %1").arg(band));
            found += expected.size();
        }
        // The points must have found something, or the comparison proves little.
        QVERIFY(found > 60);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_NoFlyZoneManager)
#include "tst_noflyzonemanager.moc"
