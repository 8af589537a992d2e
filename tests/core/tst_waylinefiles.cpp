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

QByteArray nestedText(int levels) {
    return QByteArray("{\"N\":").repeated(levels - 1) + "{}" + QByteArray("}").repeated(levels - 1);
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
        QCOMPARE(WaylineFiles::storedName(name), name);
        QVERIFY(!files.exists(name));
        QVERIFY(files.save(name, wayline));
        QVERIFY(files.exists(name));
        QCOMPARE(files.list(), QStringList{name});
        QCOMPARE(files.read(name).value(), wayline);
        QCOMPARE(contentOf(path(name)), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
    }

    void readOfStoredText_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("only the text before a zero byte counts")
            << QByteArray("{\"LENGTH\": 2}\0trailing junk", 27) << "ok {\"LENGTH\":2}";
        QTest::newRow("valid JSON that is no object fails with the no-error text")
            << QByteArray("[1, 2]") << "failed no error occurred";
        QTest::newRow("a file of 16 MiB and one byte is refused unparsed")
            << "{\"K\": \"" + QByteArray(int(WaylineFiles::MaxFileSize) - 7, 'x') + "\"}"
            << "failed wayline larger than 16 MiB.";
        QTest::newRow("a file nested 65 levels is refused")
            << nestedText(65) << "failed wayline nested deeper than 64 levels.";
        QTest::newRow("a file nested 100000 levels is refused by the parser")
            << nestedText(100000) << "failed too deeply nested document";
    }

    void readOfStoredText() {
        QFETCH(QByteArray, content);
        QFETCH(QString, outcome);
        QVERIFY(writeFile(path("stored"), content));
        QCOMPARE(::outcome(files.read("stored")), outcome);
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
        for (int i = 0; i < WaylineFiles::MaxListed; ++i)
            QVERIFY(writeFile(path(QString::number(i)), {}));
        bool complete = false;
        QCOMPARE(files.list(&complete).size(), WaylineFiles::MaxListed);
        QVERIFY(complete);
        QVERIFY(writeFile(path("one more"), {}));
        QCOMPARE(files.list(&complete).size(), WaylineFiles::MaxListed);
        QVERIFY(!complete);
    }

    void storedNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored");
        QTest::newRow("a decomposed e acute is stored composed") << "cafe\u0301"
                                                                 << "caf\u00e9";
        QTest::newRow("the angstrom sign is stored as A ring") << "\u212b"
                                                               << "\u00c5";
        QTest::newRow("a parent reference is refused") << "../x"
                                                       << "";
        QTest::newRow("the parent folder is refused") << ".."
                                                      << "";
        QTest::newRow("an empty name is refused") << ""
                                                  << "";
        QTest::newRow("a hidden name is refused") << ".hidden"
                                                  << "";
        QTest::newRow("a zero character is refused") << QString("a") + QChar(0) + "b"
                                                     << "";
        QTest::newRow("a backslash is refused") << "..\\x"
                                                << "";
        QTest::newRow("a delete character is refused") << "a\u007f"
                                                       << "";
        QTest::newRow("an absolute path is refused") << "/tmp/x"
                                                     << "";
        QTest::newRow("256 bytes are refused") << QString(128, QChar(0xe9)) << "";
        QTest::newRow("a zero-width space is refused") << "a\u200bb"
                                                       << "";
        QTest::newRow("a zero-width joiner is refused") << "a\u200db"
                                                        << "";
        QTest::newRow("a right-to-left mark is refused") << "a\u200fb"
                                                         << "";
        QTest::newRow("a right-to-left override is refused") << "a\u202egpj"
                                                             << "";
        QTest::newRow("a first-strong isolate is refused") << "a\u2068b"
                                                           << "";
        QTest::newRow("a byte order mark is refused") << "a\ufeffb"
                                                      << "";
        QTest::newRow("a soft hyphen is refused") << "a\u00adb"
                                                  << "";
        QTest::newRow("a tag character is refused") << "a\U000e0041"
                                                    << "";
        QTest::newRow("a line separator is refused") << "a\u2028b"
                                                     << "";
        QTest::newRow("a lone high surrogate is refused") << "a" + QString(QChar(0xd800)) << "";
        QTest::newRow("a lone low surrogate is refused") << "a" + QString(QChar(0xdc00)) << "";
        QTest::newRow("a surrogate pair is kept") << "\U0001f681"
                                                  << "\U0001f681";
    }

    void storedNames() {
        QFETCH(QString, name);
        QFETCH(QString, stored);
        QCOMPARE(WaylineFiles::storedName(name), stored);
    }

    void saveLimits_data() {
        QTest::addColumn<QJsonObject>("wayline");
        QTest::addColumn<QString>("error");
        // {"K": "..."} indented adds 16 bytes to the string.
        const auto sized = [](qint64 size) {
            return QJsonObject{{"K", QString(int(size - 16), 'x')}};
        };
        QTest::newRow("64 levels save") << nested(64, 1) << "";
        QTest::newRow("65 levels are refused")
            << nested(65, 1) << "wayline nested deeper than 64 levels.";
        QTest::newRow("exactly 16 MiB saves") << sized(WaylineFiles::MaxFileSize) << "";
        QTest::newRow("16 MiB and one byte are refused")
            << sized(WaylineFiles::MaxFileSize + 1) << "wayline larger than 16 MiB.";
        QTest::newRow("a small request that indentation blows past 16 MiB is refused")
            << nested(60, 80000) << "wayline larger than 16 MiB.";
    }

    void saveLimits() {
        QFETCH(QJsonObject, wayline);
        QFETCH(QString, error);
        QCOMPARE(files.save("limited", wayline).errorMessage(), error);
        if (error.isEmpty())
            QCOMPARE(QFileInfo(path("limited")).size(),
                     QJsonDocument(wayline).toJson(QJsonDocument::Indented).size());
        else
            QVERIFY(QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // Never listed, read, written or replaced; a FIFO would block a reader.
    void nonRegularEntriesAreLeftAlone_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a link to a file elsewhere") << "link";
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("a folder") << "folder";
    }

    void nonRegularEntriesAreLeftAlone() {
        QFETCH(QString, kind);
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("target");
        QVERIFY(writeFile(target, "{\"KEEP\": 1}"));
        const QString entry = path("entry");
        if (kind == "link")
            QVERIFY(QFile::link(target, entry));
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0600), 0);
        else
            QVERIFY(QDir(folder).mkdir("entry"));
        const QString refusal = "wayline is not a regular file.";
        QCOMPARE(files.list(), QStringList());
        QVERIFY(files.exists("entry"));
        QCOMPARE(outcome(files.read("entry")), "failed " + refusal);
        QCOMPARE(files.save("entry", mission(1)).errorMessage(), refusal);
        QVERIFY(!QFileInfo(entry).isFile() || QFileInfo(entry).isSymLink());
        QCOMPARE(contentOf(target), QByteArray("{\"KEEP\": 1}"));
    }

    void removedFolderIsRecreatedBySave() {
        QVERIFY(QDir(home.path() + "/Documents").removeRecursively());
        QVERIFY(files.save("again", mission(1)));
        QCOMPARE(files.list(), QStringList{"again"});
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

QTEST_GUILESS_MAIN(tst_WaylineFiles)
#include "tst_waylinefiles.moc"
