#include <geometry.h>
#include <nearbyzones.h>
#include <noflyzonefile.h>

#include <QTest>

#include <cmath>
#include <random>

namespace {

// With only the fields a query reads.
NoFlyZone zone(const QString &name, double latitude, double longitude, uint32_t radius = 1000) {
    return {0, 0, latitude, longitude, radius, 0, 0, 0, 0, 0, 0, name, 0, QString()};
}

QString namesOf(const NearbyZones &zones) {
    QStringList names;
    for (const uint32_t position : zones.result())
        names << zones.zones()[position].name;
    return names.join(',');
}

QString namesOf(NearbyZones &zones, double latitude, double longitude) {
    zones.query(latitude, longitude);
    return namesOf(zones);
}

} // namespace

class tst_NearbyZones : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void query() {
        // Seen from p0 only "south" is within 50 km, from p1 and p2 only "north";
        // p1 lies 0.004 from p0 in both coordinates, p2 0.008.
        const double lat0 = 0.5, lng0 = 0.1;
        // Around (0, 1) the limit is probed a decimetre either side: no pair of
        // doubles lies exactly 50000.0 m apart by this formula and radius.
        const double in = 49999.9 / Geometry::ZoneEarthRadius,
                     out = -50000.1 / Geometry::ZoneEarthRadius;
        NearbyZones manager;
        // Asked before the zones are in, the empty answer still sets the point.
        QCOMPARE(namesOf(manager, lat0 + 0.008, lng0 + 0.008), QString());
        manager.setZones({zone("out", out, 1.0), zone("a", -0.001, 1.0, 300),
                          zone("b", 0.0, 1.001, 4294967291u), zone("c", 0.002, 0.999, 2),
                          zone("in", in, 1.0), zone("south", lat0 - 0.0035, lng0),
                          zone("north", lat0 + 0.008, lng0 + 0.008)});
        QStringList seen;
        for (const double step : {0.004, 0.0, 0.004, 0.008, 0.004})
            seen << namesOf(manager, lat0 + step, lng0 + step);
        QCOMPARE(seen, (QStringList{"", "south", "south", "north", "north"}));
        QCOMPARE(namesOf(manager, 0.0, 1.0), "a,b,c,in");
    }

    void matchesThePlainFormula_data() {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("spread"); // radians around the centre
        QTest::addColumn<double>("wild");   // the share of coordinates that are not finite

        QTest::newRow("a dense city") << 0.83 << 0.15 << 0.01 << 0.0;
        QTest::newRow("across the antimeridian") << 0.2 << M_PI << 0.02 << 0.0;
        QTest::newRow("longitudes beyond a full turn") << 0.2 << 3 * M_PI << 0.02 << 0.0;
        QTest::newRow("longitudes too large to reduce") << -0.3 << 1000.0 << 0.02 << 0.0;
        QTest::newRow("at the north pole") << M_PI_2 << 0.0 << 0.01 << 0.0;
        QTest::newRow("past the north pole") << 1.5747059 << 1.9683362 << 0.02 << 0.0;
        QTest::newRow("past the south pole") << -1.6 << -3.0 << 0.03 << 0.0;
        QTest::newRow("where the strips end") << 1.79 << 0.0 << 0.03 << 0.0;
        QTest::newRow("far beyond any latitude") << 40.0 << 0.0 << 0.02 << 0.0;
        QTest::newRow("coordinates that are not finite") << 0.5 << 0.5 << 0.02 << 0.1;
    }

    // Whatever the index does, the reply must be exactly what the distance
    // test over the latitude band keeps, in list order, with the band's size.
    void matchesThePlainFormula() {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, spread);
        QFETCH(double, wild);

        std::mt19937_64 random(1);
        std::normal_distribution<double> offset(0.0, spread);
        std::uniform_real_distribution<double> roll(0.0, 1.0);
        const double odd[] = {NAN, INFINITY, -INFINITY};
        const auto coordinate = [&](double centre) {
            return roll(random) < wild ? odd[random() % 3] : centre + offset(random);
        };
        // The pair reported 15 km apart yet not found, and zones sharing a latitude.
        std::vector<NoFlyZone> zones{zone("reported", 1.5665637, -0.5924697),
                                     zone("twin a", latitude, longitude + 0.001),
                                     zone("twin b", latitude, longitude - 0.001)};
        for (int i = 0; i < 2000; ++i)
            zones.push_back(zone(QString::number(i), coordinate(latitude), coordinate(longitude)));
        NoFlyZoneFile::sortByLatitude(zones);
        NearbyZones manager;
        manager.setZones(zones);

        int found = 0;
        for (int i = 0; i < 300; ++i) {
            const double lat = i ? coordinate(latitude) : latitude;
            const double lng = i ? coordinate(longitude) : longitude;
            QStringList expected;
            size_t band = 0;
            for (const NoFlyZone &z : zones) {
                if (!(z.latitude >= lat - M_PI / 360 && z.latitude <= lat + M_PI / 360))
                    continue;
                ++band;
                const double halfLat = std::sin((z.latitude - lat) / 2);
                const double halfLng = std::sin((z.longitude - lng) / 2);
                const double a =
                    halfLat * halfLat + std::cos(z.latitude) * std::cos(lat) * halfLng * halfLng;
                if (50000.0 >
                    2 * std::atan2(std::sqrt(a), std::sqrt(1 - a)) * Geometry::ZoneEarthRadius)
                    expected << z.name;
            }
            // A far query first, so the kept result is never reused.
            manager.query(lat + 1.0, lng);
            const NearbyZones::Search search = manager.query(lat, lng);
            QVERIFY(search.searched);
            QCOMPARE(search.bandSize, band);
            QCOMPARE(namesOf(manager), expected.join(','));
            found += expected.size();
        }
        // The points must have found something, or the comparison proves little.
        QVERIFY(found > 300);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_NearbyZones)
#include "tst_nearbyzones.moc"
