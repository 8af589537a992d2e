#include <waylinefiles.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

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
        QCOMPARE(WaylineFiles::defaultFolder(), folder);
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
        QVERIFY(WaylineFiles::isValidName(name));
        QVERIFY(!files.exists(name));
        QVERIFY(files.save(name, wayline));
        QVERIFY(files.exists(name));
        QCOMPARE(files.list(), QStringList{name});
        QCOMPARE(files.read(name).value(), wayline);
        QCOMPARE(contentOf(path(name)), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
    }

    void readOfStoredText() {
        // Only the text before a zero byte counts.
        QVERIFY(writeFile(path("stored"), QByteArray("{\"LENGTH\": 2}\0trailing junk", 27)));
        QCOMPARE(outcome(files.read("stored")), "ok {\"LENGTH\":2}");
        // Valid JSON that is no object fails, with the parser's no-error text.
        QVERIFY(writeFile(path("stored"), "[1, 2]"));
        QCOMPARE(outcome(files.read("stored")), "failed no error occurred");
    }

    void listIsCaseBlindAndShowsOnlyVisibleFiles() {
        for (const char *name : {"c", "B", "a", ".hidden"})
            QVERIFY(writeFile(path(name), "{}"));
        QVERIFY(QDir(folder).mkdir("sub"));
        QVERIFY(QFile::link(path("a"), path("link")));
        QCOMPARE(files.list(), QStringList({"a", "B", "c"}));
        // Without a folder, nothing is listed and no path leads anywhere.
        QCOMPARE(WaylineFiles(QString()).list(), QStringList());
        QCOMPARE(WaylineFiles(QString()).path("x"), QString());
    }

    void hostileNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("a parent reference") << "../x";
        QTest::newRow("the parent folder") << "..";
        QTest::newRow("an empty name") << QString();
        QTest::newRow("a hidden name") << ".hidden";
        QTest::newRow("a zero character") << QString("a") + QChar(0) + "b";
        QTest::newRow("a backslash") << "..\\x";
        QTest::newRow("a delete character") << QString("a") + QChar(0x7f);
        QTest::newRow("an absolute path") << "/tmp/x";
        QTest::newRow("256 bytes") << QString(128, QChar(0xe9));
    }

    void hostileNamesAreRefused() {
        QFETCH(QString, name);
        QVERIFY(!WaylineFiles::isValidName(name));
    }

    void linksAreNeitherWrittenNorRead() {
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("target");
        QVERIFY(writeFile(target, "{\"KEEP\": 1}"));
        QVERIFY(QFile::link(target, path("link")));
        QCOMPARE(files.save("link", mission(1)).errorMessage(), "file save error.");
        QVERIFY(!files.exists("link"));
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
