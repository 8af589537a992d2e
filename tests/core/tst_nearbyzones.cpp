#include <geometry.h>
#include <nearbyzones.h>

#include <QTest>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

// With only the fields a query reads.
NoFlyZone zone(const QString &name, double latitude, double longitude, uint32_t radius = 1000) {
    return {0, 0, latitude, longitude, radius, 0, 0, 0, 0, 0, 0, name, 0, QString()};
}

QString namesOf(const std::vector<NoFlyZone> &zones) {
    QStringList names;
    for (const NoFlyZone &zone : zones)
        names << zone.name;
    return names.join(',');
}

QString namesOf(NearbyZones &zones, double latitude, double longitude) {
    zones.query(latitude, longitude);
    return namesOf(zones.result());
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

    void searchMatchesTheBandScan_data() {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("spread"); // radians around the centre

        QTest::newRow("a dense city") << 0.83 << 0.15 << 0.01;
        QTest::newRow("sparse country") << -0.4 << 2.0 << 0.05;
        QTest::newRow("across the antimeridian") << 0.2 << M_PI << 0.02;
        QTest::newRow("longitudes given beyond a full turn") << 0.2 << 3 * M_PI << 0.02;
        QTest::newRow("near the pole") << 1.56 << 0.0 << 0.02;
        QTest::newRow("past the pole, where no index reaches") << 1.65 << 0.0 << 0.1;
    }

    // The index must keep exactly what a scan of the latitude band keeps, and report its size.
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
        NearbyZones manager;
        manager.setZones(zones);

        int found = 0;
        for (int i = 0; i < 60; ++i) {
            const double lat = latitude + offset(random), lng = longitude + offset(random);
            QStringList expected;
            int band = 0;
            for (const NoFlyZone &z : zones) {
                if (z.latitude < lat - M_PI / 360 || z.latitude > lat + M_PI / 360)
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
            QCOMPARE(search.bandSize, size_t(band));
            QCOMPARE(namesOf(manager.result()), expected.join(','));
            found += expected.size();
        }
        // The points must have found something, or the comparison proves little.
        QVERIFY(found > 60);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_NearbyZones)
#include "tst_nearbyzones.moc"
