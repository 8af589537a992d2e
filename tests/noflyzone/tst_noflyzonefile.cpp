#include <noflyzonefile.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool sameZone(const NoFlyZone &a, const NoFlyZone &b) {
    return a.areaId == b.areaId && a.type == b.type && a.latitude == b.latitude &&
           a.longitude == b.longitude && a.radius == b.radius && a.warning == b.warning &&
           a.level == b.level && a.disable == b.disable && a.updatedAt == b.updatedAt &&
           a.beginAt == b.beginAt && a.endAt == b.endAt && a.name == b.name &&
           a.country == b.country && a.city == b.city;
}

QByteArray zoneLine(int i, const QByteArray &name = QByteArray()) {
    return "{\"area_id\":" + QByteArray::number(i) + ",\"name\":\"" +
           (name.isNull() ? "Zone " + QByteArray::number(i) : name) +
           "\",\"city\":\"Town\",\"country\":7,\"lat\":\"" +
           QByteArray::number(-60.0 + (i * 37 % 12000) / 100.0, 'f', 6) + "\",\"lng\":\"" +
           QByteArray::number(-170.0 + (i * 53 % 34000) / 100.0, 'f', 6) +
           "\",\"radius\":500,\"level\":1,\"type\":1,\"warning\":1,\"disable\":0,"
           "\"begin_at\":0,\"end_at\":0,\"updated_at\":1}";
}

// Enough zones that the streaming reader parses them in batches; middle
// replaces the zone in the middle of the list.
QByteArray largeFile(const QByteArray &middle = QByteArray()) {
    QByteArray content = "{\"release_limits\": [\n";
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        content += i == count / 2 && !middle.isNull() ? middle : zoneLine(i);
        content += i + 1 < count ? ",\n" : "\n";
    }
    return content + "]}";
}

QByteArray file(const QByteArray &zones) {
    return "{\"release_limits\": [" + zones + "]}";
}

} // namespace

class tst_NoFlyZoneFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bothReadersGiveTheSameZones_data();
    void bothReadersGiveTheSameZones();

private:
    QTemporaryDir folder;
};

void tst_NoFlyZoneFile::bothReadersGiveTheSameZones_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count"); // -1: not checked, only compared

    const QByteArray zone = R"({"name": "z", "radius": 100, "lat": "10", "lng": "20"})";
    QTest::newRow("an ordinary zone") << file(zone) << 1;
    QTest::newRow("a repeated member counts with its last value")
        << file(R"({"name": "a", "radius": 0, "radius": 100, "lat": "1", "lat": "2"})") << 1;
    QTest::newRow("a repeated release_limits counts with its last value")
        << QByteArray(R"({"release_limits": [)" + zone + R"(], "release_limits": 5})") << 0;
    QTest::newRow("an escaped key still names release_limits")
        << QByteArray(R"({"release\u005flimits": [)" + zone + "]}") << 1;
    QTest::newRow("a byte order mark is skipped") << "\xEF\xBB\xBF" + file(zone) << 1;
    QTest::newRow("numbers that only Qt reads, such as .5 and 1., are read")
        << file(R"({"name": "lenient", "radius": 100, "level": .5, "type": 1.})") << 1;
    QTest::newRow("a raw tab and a lone surrogate in strings are read")
        << file("{\"name\": \"tab\there\", \"city\": \"\\ud800\", \"radius\": 100}") << 1;
    QTest::newRow("an underflowing number breaks the document")
        << file(R"({"name": "tiny", "radius": 100, "extra": 1e-400})") << 0;
    QTest::newRow("a zero and a tiny number are read")
        << file(R"({"name": "zero", "radius": 100, "level": 0.0, "extra": 5e-324})") << 1;
    QTest::newRow("integers beyond 64 bits and past 2^53 are read as Qt reads them")
        << file(R"({"name": "big", "radius": 100, "area_id": 9007199254740993,
                    "level": 18446744073709551616, "updated_at": 123456789012345678901234567890})")
        << 1;
    QTest::newRow("coordinates in other spellings")
        << file(R"({"name": "a", "radius": 100, "lat": " 12.5 ", "lng": "1e1"},
                   {"name": "b", "radius": 100, "lat": "-0", "lng": "+7"},
                   {"name": "c", "radius": 100, "lat": "\u0031\u0032", "lng": "0x10"},
                   {"name": "d", "radius": 100, "lat": "12.345678901234567890123", "lng": "-.5"})")
        << 4;
    QTest::newRow("deep nesting past Qt's limit breaks the document")
        << file("{\"name\": \"deep\", \"radius\": 100, \"x\": " + QByteArray(1100, '[') +
                QByteArray(1100, ']') + "}")
        << 0;
    QTest::newRow("nesting within Qt's limit is read")
        << file("{\"name\": \"deep\", \"radius\": 100, \"x\": " + QByteArray(600, '[') +
                QByteArray(600, ']') + "}")
        << 1;
    QTest::newRow("garbage after the document breaks it") << file(zone) + " x" << 0;
    QTest::newRow("a trailing comma breaks the document") << file(zone + ",") << 0;
    QTest::newRow("invalid UTF-8 breaks the document")
        << file("{\"name\": \"\xff\", \"radius\": 100}") << 0;
    QTest::newRow("an empty file gives no zones") << QByteArray("") << 0;
    QTest::newRow("other members before and after are ignored")
        << QByteArray(R"({"version": {"a": [1, 2]}, "release_limits": [)" + zone +
                      R"(], "tail": "x"})")
        << 1;
    QTest::newRow("a large file") << largeFile() << 20000;
    QTest::newRow("a zone only Qt reads in the middle of a large file")
        << largeFile("{\"name\": \"tab\there\", \"radius\": 100}") << 20000;
    QTest::newRow("an underflowing number in the middle of a large file breaks it")
        << largeFile(R"({"name": "tiny", "radius": 100, "x": 1e-400})") << 0;
    QTest::newRow("a name that looks like the end of a zone in a large file")
        << largeFile(zoneLine(10000, "a }, { b },{\\\" c")) << 20000;
    QTest::newRow("a broken zone in the middle of a large file breaks it")
        << largeFile(R"({"name": "broken", "radius": 100,})") << 0;
}

void tst_NoFlyZoneFile::bothReadersGiveTheSameZones() {
    QFETCH(QByteArray, content);
    QFETCH(int, count);

    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("limit.txt"));
    {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(content), qint64(content.size()));
    }
    const std::vector<NoFlyZone> streamed = NoFlyZoneFile::read(path);
    const std::vector<NoFlyZone> parsed = NoFlyZoneFile::readWithQt(path);
    QCOMPARE(streamed.size(), parsed.size());
    for (size_t i = 0; i < parsed.size(); ++i)
        QVERIFY2(sameZone(streamed[i], parsed[i]), qPrintable(parsed[i].name));
    QCOMPARE(int(streamed.size()), count);
}

QTEST_GUILESS_MAIN(tst_NoFlyZoneFile)
#include "tst_noflyzonefile.moc"
