#include <waylinefiles.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <sys/stat.h>

namespace {

QJsonObject mission(int waypoints) {
    QJsonArray points;
    for (int i = 0; i < waypoints; ++i)
        points.append(QJsonObject{{"INDEX", i}, {"ALTI", 30.5}});
    return {{"LENGTH", waypoints}, {"WAY_POINTS", points}};
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The outcome as one comparable text: "ok <value>" or "failed <message>".
QString outcome(const Result<QJsonObject> &result) {
    return result ? "ok " + QJsonDocument(result.value()).toJson(QJsonDocument::Compact)
                  : "failed " + result.errorMessage();
}

// levels of objects, the innermost holding width numbers.
QJsonObject nested(int levels, int width) {
    QJsonArray numbers;
    for (int i = 0; i < width; ++i)
        numbers.append(i);
    QJsonObject inner{{"N", numbers}};
    for (int level = 2; level < levels; ++level)
        inner = QJsonObject{{"N", inner}};
    return inner;
}

} // namespace

class tst_WaylineFiles : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    QString folder;
    WaylineFiles files{QString()};

    QString path(const QString &name) const { return folder + '/' + name; }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        folder = home.path() + "/Documents/Oru/Groundstation/Waylines";
        files = WaylineFiles(folder);
        // Every level up from a documents folder that did not exist before.
        files.makeFolder();
        QVERIFY(QDir(folder).exists());
    }

    void init() { QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder)); }

    void roundTrip_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("wayline");
        QTest::newRow("a plain name and a mission") << "survey" << mission(3);
        QTest::newRow("blanks, dots and non-ASCII letters")
            << "Feld Nord. Überflug 2" << QJsonObject{{"K", true}};
        QTest::newRow("a name of exactly 255 bytes")
            << QString(127, QChar(0xe9)) + 'x' << mission(1);
    }

    void roundTrip() {
        QFETCH(QString, name);
        QFETCH(QJsonObject, wayline);
        QCOMPARE(WaylineFiles::storedName(name), name);
        // A save re-creates a folder removed meanwhile.
        QVERIFY(QDir(home.path() + "/Documents").removeRecursively());
        QVERIFY(!files.exists(name));
        QVERIFY(files.save(name, wayline));
        QVERIFY(files.exists(name));
        QCOMPARE(files.list(), QStringList{name});
        QCOMPARE(files.read(name).value(), wayline);
        QCOMPARE(contentOf(path(name)), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
    }

    // Valid JSON that is no object is the service test's.
    void readOfStoredText() {
        // Only the text before a zero byte counts.
        QVERIFY(writeFile(path("stored"), QByteArray("{\"LENGTH\": 2}\0trailing junk", 27)));
        QCOMPARE(outcome(files.read("stored")), "ok {\"LENGTH\":2}");
    }

    void listIsCaseBlindAndShowsOnlyLoadableFiles() {
        // The decomposed spelling is not the stored form, so no load reaches it.
        for (const QString &name : QStringList{"c", "B", "a", ".hidden", "e\u0301"})
            QVERIFY(writeFile(path(name), "{}"));
        QVERIFY(QDir(folder).mkdir("sub"));
        QCOMPARE(files.list(), QStringList({"a", "B", "c"}));
        // Without a folder, nothing is listed and no path leads anywhere.
        QCOMPARE(WaylineFiles(QString()).list(), QStringList());
        QCOMPARE(WaylineFiles(QString()).path("x"), QString());
    }

    void listIsBounded() {
        for (int i = 0; i <= WaylineFiles::MaxListed; ++i)
            QVERIFY(writeFile(path(QString::number(i)), {}));
        bool complete = true;
        QCOMPARE(files.list(&complete).size(), WaylineFiles::MaxListed);
        QVERIFY(!complete);
    }

    void storedNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored");
        QTest::newRow("a decomposed e acute is stored composed")
            << "cafe\u0301" << QString("caf\u00e9");
        QTest::newRow("a parent reference is refused") << "../x" << QString();
        QTest::newRow("a zero character is refused") << QString("a") + QChar(0) + "b" << QString();
        QTest::newRow("a backslash is refused") << "..\\x" << QString();
        QTest::newRow("256 bytes are refused") << QString(128, QChar(0xe9)) << QString();
        QTest::newRow("a zero-width space is refused") << "a\u200bb" << QString();
        QTest::newRow("a right-to-left override is refused") << "a\u202egpj" << QString();
        QTest::newRow("a lone high surrogate is refused")
            << "a" + QString(QChar(0xd800)) << QString();
        QTest::newRow("a surrogate pair is kept") << "\U0001f681" << QString("\U0001f681");
    }

    void storedNames() {
        QFETCH(QString, name);
        QFETCH(QString, stored);
        QCOMPARE(WaylineFiles::storedName(name), stored);
    }

    void limits_data() {
        QTest::addColumn<QJsonObject>("wayline");
        QTest::addColumn<QString>("error");
        QTest::newRow("64 levels save") << nested(64, 1) << "";
        QTest::newRow("65 levels are refused")
            << nested(65, 1) << "wayline nested deeper than 64 levels.";
        QTest::newRow("a small request that indentation blows past 16 MiB is refused")
            << nested(60, 80000) << "wayline larger than 16 MiB.";
    }

    void limits() {
        QFETCH(QJsonObject, wayline);
        QFETCH(QString, error);
        QCOMPARE(files.save("limited", wayline).errorMessage(), error);
        QCOMPARE(files.exists("limited"), error.isEmpty());
        // Files written before the limit, or by other means, meet it on load.
        QVERIFY(writeFile(path("limited"), QJsonDocument(wayline).toJson()));
        QCOMPARE(files.read("limited").errorMessage(), error);
    }

    // Never listed, read, written or replaced; a FIFO would block a reader.
    void nonRegularEntriesAreLeftAlone_data() {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("a link to a file elsewhere") << false;
        QTest::newRow("a FIFO") << true;
    }

    void nonRegularEntriesAreLeftAlone() {
        QFETCH(bool, fifo);
        const QString target = home.filePath("target");
        QVERIFY(writeFile(target, "{\"KEEP\": 1}"));
        QVERIFY(fifo ? ::mkfifo(QFile::encodeName(path("entry")).constData(), 0600) == 0
                     : QFile::link(target, path("entry")));
        const QString refusal = "wayline is not a regular file.";
        QCOMPARE(files.list(), QStringList());
        QCOMPARE(outcome(files.read("entry")), "failed " + refusal);
        QCOMPARE(files.save("entry", mission(1)).errorMessage(), refusal);
        QCOMPARE(QFileInfo(path("entry")).isSymLink(), !fifo);
        QCOMPARE(contentOf(target), QByteArray("{\"KEEP\": 1}"));
    }

    // Saves of one name at once: one of them whole, never a mix, and no
    // temporary file left. A refused save that keeps the old file is staged
    // in tests/fault (read-only folder).
    void savesAreWhole() {
        const QJsonObject longer = mission(3000);
        const QJsonObject shorter = mission(2000);
        for (int round = 0; round < 10; ++round) {
            bool saved[2] = {};
            std::thread first([&]() { saved[0] = bool(files.save("route", longer)); });
            std::thread second([&]() { saved[1] = bool(files.save("route", shorter)); });
            first.join();
            second.join();
            QVERIFY(saved[0] && saved[1]);
            const QJsonObject now = files.read("route").value();
            QVERIFY2(now == longer || now == shorter, qPrintable(QString::number(round)));
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList{"route"});
        }
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_WaylineFiles)
#include "tst_waylinefiles.moc"
