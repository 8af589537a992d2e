#include <noflyzonefile.h>
#include <qtzonereader.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtMath>

#include <atomic>
#include <thread>
#include <utility>

namespace {

// name@degrees, then every field with the centre exact, to compare the readers whole.
QString fields(const NoFlyZone &z) {
    QStringList all{z.name + '@' + QString::number(z.latitude * 180 / M_PI), z.city};
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

bool write(const QString &path, const QByteArray &content) {
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
}

} // namespace

// The streaming reader against the whole-document oracle.
class tst_NoFlyZoneFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        row("zones are sorted by latitude, nan last; a numeric or unparsable lat reads as 0",
            file(R"({"name": "north", "radius": 100, "lat": "40.5"},
                    {"name": "south", "radius": 100, "lat": "-33.9"},
                    {"name": "pole", "radius": 100, "lat": "180"},
                    {"name": "num", "radius": 100, "lat": 22.5}, {"name": "x", "radius": 100,
                     "lat": "12abc"}, {"name": "nan", "radius": 100, "lat": "nan"},
                    {"name": "huge", "radius": 100, "lat": "1e308"},
                    {"name": "down", "radius": 100, "lat": "-inf"})"),
            {"down@-inf", "south@-33.9", "num@0", "x@0", "north@40.5", "pole@180", "huge@inf",
             "nan@nan"});
        row("every field is read and cut to its width",
            file(R"({"area_id": 4294967297, "type": 257, "lat": "0", "lng": "180", "radius": -5,
                "warning": 511, "level": 300, "disable": 256, "updated_at": -1, "begin_at": 2147483648,
                "end_at": -7, "name": "A", "country": 70000, "city": "T", "extra": true})"),
            {"A@0|T|0|3.1415926535897931|1|1|4294967291|255|44|0|4294967295|-2147483648|-7|4464"});
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
        const QString path = folder.filePath(QStringLiteral("limit.txt"));
        QVERIFY(write(path, content));
        QStringList kept, byQt;
        const auto read = NoFlyZoneFile::read(path);
        // A broken document fails whole.
        QVERIFY(count == 0 || read.ok());
        for (const NoFlyZone &z : read.value())
            kept << fields(z);
        for (const NoFlyZone &z : readZonesWithQt(path))
            byQt << fields(z);
        QCOMPARE(kept.size(), count);
        QCOMPARE(kept, byQt);
        for (int i = 0; i < zones.size(); ++i)
            QCOMPARE(zones[i].contains('|') ? kept[i] : kept[i].section('|', 0, 0), zones[i]);
    }

    void failures_data() {
        QTest::addColumn<QByteArray>("content"); // null: no file at all
        QTest::addColumn<QString>("reason");

        const QByteArray badByte = file("{\"name\": \"a\xff\", \"radius\": 100}");
        QTest::newRow("a bad byte names the parser's message and where it is")
            << badByte << "invalid UTF8 string at byte " + QString::number(badByte.indexOf('\xff'));
        QTest::newRow("one value over 4 MiB is refused, not held")
            << "{\"x\": \"" + QByteArray(5 << 20, 'a') + "\"}"
            << "a value over 4 MiB at byte 6";
        QTest::newRow("no file at all") << QByteArray() << "no zone file at";
    }

    // Whatever keeps the zones from loading is said, never an empty list alone. A FIFO
    // is refused in tests/fault, where the host must also still end on SIGTERM.
    void failures() {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);

        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("limit.txt"));
        if (!content.isNull())
            QVERIFY(write(path, content));
        const auto read = NoFlyZoneFile::read(path);
        QVERIFY(!read.ok() && read.value().empty());
        QVERIFY2(read.errorMessage().contains(reason), qPrintable(read.errorMessage()));
    }

    // An editor saving over the file while it loads: each load gives all the
    // zones or fails, as the bytes it read say, and never crashes.
    void fileCutAndRewrittenWhileItLoads() {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("limit.txt"));
        const QByteArray whole = largeFile();
        QVERIFY(write(path, whole));
        std::atomic<bool> loading{true};
        std::thread editor([&]() {
            QFile file(path);
            for (int i = 0; loading && (file.isOpen() || file.open(QIODevice::ReadWrite)); ++i) {
                file.resize(whole.size() * (1 + 4 * (i % 3)) / 10);
                file.seek(0);
                file.write(whole);
                file.flush();
            }
        });
        QStringList outcomes;
        for (int load = 0; load < 40; ++load) {
            const auto read = NoFlyZoneFile::read(path);
            if (read.ok() ? read.value().size() != 10000
                          : !read.errorMessage().contains(
                                QRegularExpression(" at byte | changed while it was read$")))
                outcomes << QString::number(read.value().size()) + ' ' + read.errorMessage();
        }
        loading = false;
        editor.join();
        QCOMPARE(outcomes.join(QLatin1Char('\n')), QString());
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_NoFlyZoneFile)
#include "tst_noflyzonefile.moc"
