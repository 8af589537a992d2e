#include "hostprocess.h"
#include "jsonclient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

// The host with a zone file that is huge, cut short or not JSON at all: it
// starts, keeps answering while the file loads, and a broken file just
// gives no zones. Each row runs a copy of the host beside its own Data/.

namespace {

constexpr double Pi = 3.141592653589793;

QByteArray zoneEntry(int id, double latitude, double longitude) {
    return QStringLiteral("{\"area_id\":%1,\"type\":1,\"lat\":\"%2\",\"lng\":\"%3\",\"radius\":%4,"
                          "\"warning\":0,\"level\":2,\"disable\":0,\"updated_at\":1500000000,"
                          "\"begin_at\":0,\"end_at\":0,\"name\":\"zone %1\",\"country\":756,"
                          "\"city\":\"somewhere\"}")
        .arg(id)
        .arg(latitude, 0, 'f', 6)
        .arg(longitude, 0, 'f', 6)
        .arg(500 + id % 5000)
        .toUtf8();
}

// Zones spread over the globe, plus one at 47.4, 8.5 that queries can find.
QByteArray zoneFileOf(int count) {
    QByteArray text = "{\"release_limits\":[" + zoneEntry(0, 47.4, 8.5);
    for (int i = 1; i < count; ++i) {
        text += ',';
        text += zoneEntry(i, -80.0 + (qint64(i) * 7919 % 16000) / 100.0,
                          -179.0 + (qint64(i) * 104729 % 35800) / 100.0);
    }
    return text + "]}";
}

} // namespace

class TestHostileZoneFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void zoneFile_data();
    void zoneFile();

private:
    QTemporaryDir m_hostCopy;
};

void TestHostileZoneFile::initTestCase() {
    QVERIFY(m_hostCopy.isValid());
    // The host reads its zone file beside itself, so it runs from a copy.
    const QFileInfo host(QStringLiteral(ORU_HOST_BINARY));
    const QDir bin = host.dir();
    QStringList files = bin.entryList({QStringLiteral("*.so*")}, QDir::Files);
    files << host.fileName();
    for (const QString &file : qAsConst(files))
        QVERIFY(QFile::copy(bin.filePath(file), m_hostCopy.filePath(file)));
    QVERIFY(QDir(m_hostCopy.path()).mkpath(QStringLiteral("Data")));
}

void TestHostileZoneFile::zoneFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("findsZone");

    QByteArray garbage(4 * 1024 * 1024, '\0');
    auto *random = QRandomGenerator::global();
    for (char &byte : garbage)
        byte = char(random->bounded(256));
    const QByteArray whole = zoneFileOf(1000);

    QTest::newRow("a huge file loads while the host keeps answering") << zoneFileOf(200000) << true;
    QTest::newRow("a file cut short gives no zones") << whole.left(whole.size() / 2) << false;
    QTest::newRow("random bytes give no zones") << garbage << false;
    QTest::newRow("nesting far too deep gives no zones")
        << QByteArray(200000, '[') + QByteArray(200000, ']') << false;
    QTest::newRow("entries of the wrong type are skipped")
        << QByteArray("{\"release_limits\":[1,\"x\",null,[],{\"radius\":\"big\"},"
                      "{\"lat\":{},\"lng\":[],\"radius\":1e300}]}")
        << false;
}

void TestHostileZoneFile::zoneFile() {
    QFETCH(QByteArray, content);
    QFETCH(bool, findsZone);
    {
        QFile file(m_hostCopy.filePath(QStringLiteral("Data/limit.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), qint64(content.size()));
    }
    HostProcess host;
    QVERIFY2(host.launch({QStringLiteral("--simulate"), QStringLiteral("0")},
                         m_hostCopy.filePath(QStringLiteral("oru-host"))),
             host.output().constData());
    JsonClient commands;
    QVERIFY(host.connectClient(commands, QStringLiteral("/groundstation")));
    const auto list = commands.call(QStringLiteral("GetAircraftList"), {}, 10000);
    QVERIFY2(list && list->value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS"),
             qPrintable(describeReply(list)));

    // The query keeps its result near the last point asked, so each round
    // asks somewhere else first.
    const QJsonObject zurich{{QStringLiteral("LATI"), 47.4 * Pi / 180},
                             {QStringLiteral("LONTI"), 8.5 * Pi / 180}};
    const QJsonObject elsewhere{{QStringLiteral("LATI"), 0.0}, {QStringLiteral("LONTI"), 0.0}};
    int found = -1;
    const bool answered = QTest::qWaitFor(
        [&]() {
            const auto away = commands.call(QStringLiteral("GetNoflyZone"), elsewhere, 10000);
            const auto near = commands.call(QStringLiteral("GetNoflyZone"), zurich, 10000);
            if (!away || !near)
                return false;
            found = near->value(QStringLiteral("VALUE")).toArray().size();
            return !findsZone || found > 0;
        },
        findsZone ? 90000 : 1);
    QVERIFY2(answered, qPrintable(QString::fromLocal8Bit(host.output().right(2000))));
    if (!findsZone)
        QCOMPARE(found, 0);
    QVERIFY(commands.call(QStringLiteral("GetAircraftList")));
    commands.close();
    host.stop();
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestHostileZoneFile)
#include "tst_hostilezonefile.moc"
