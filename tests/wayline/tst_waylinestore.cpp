#include "fakehost.h"
#include "jsonclient.h"

#include <orugroundstationservice.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace {

// What a store operation did with its writer.
struct Outcome {
    std::optional<QJsonObject> reply;
    int calls = 0;
    bool calledBeforeReturn = false;
};

QJsonObject mission(int waypoints, double altitude) {
    QJsonArray points;
    for (int i = 0; i < waypoints; ++i) {
        points.append(QJsonObject{{QStringLiteral("INDEX"), i},
                                  {QStringLiteral("LATI"), 0.39 + i * 1e-5},
                                  {QStringLiteral("LONTI"), 2.03 - i * 1e-5},
                                  {QStringLiteral("ALTI"), altitude}});
    }
    return {{QStringLiteral("LENGTH"), waypoints}, {QStringLiteral("WAY_POINTS"), points}};
}

QJsonObject failure(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

const QJsonObject Saved{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};

// Every file and folder below root, for proving that nothing was written.
QStringList treeOf(const QString &root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(it.next());
    entries.sort();
    return entries;
}

} // namespace

class tst_WaylineStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void saveListLoadRoundTrip_data();
    void saveListLoadRoundTrip();
    void saveReplacesTheWholeFile();
    void loadFailures_data();
    void loadFailures();
    void listIsCaseBlindAndShowsOnlyVisibleFiles();
    void listOfMissingFolderIsEmpty();
    void hostileNamesAreRefused_data();
    void hostileNamesAreRefused();
    void linksAreNotFollowed();
    void saveThatCannotWriteFails();
    void racingSavesLeaveOneWholeFile();
    void throughTheHost();

private:
    OruGroundStationService &service() { return OruGroundStationService::instance(); }
    std::shared_ptr<Outcome> save(const QString &name, const QJsonObject &wayline);
    std::shared_ptr<Outcome> load(const QString &name);
    std::shared_ptr<Outcome> list();
    static bool settled(const std::shared_ptr<Outcome> &outcome);
    void writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir home;
    QString folder;
};

void tst_WaylineStore::initTestCase() {
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    folder = home.path() + QStringLiteral("/Documents/Oru/Groundstation/Waylines");
    QVERIFY(!QDir(home.path() + QStringLiteral("/Documents")).exists());
    SingletonEx<OruGroundStationService>::createInstance();
    // Every level up from the documents folder, which did not exist before.
    QVERIFY(QDir(folder).exists());
}

void tst_WaylineStore::init() {
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(folder));
}

std::shared_ptr<Outcome> tst_WaylineStore::save(const QString &name, const QJsonObject &wayline) {
    auto outcome = std::make_shared<Outcome>();
    auto returned = std::make_shared<bool>(false);
    service().SaveWayLine(name, wayline, [outcome, returned](const QJsonObject &reply) {
        outcome->reply = reply;
        outcome->calledBeforeReturn = outcome->calledBeforeReturn || !*returned;
        ++outcome->calls;
    });
    *returned = true;
    return outcome;
}

std::shared_ptr<Outcome> tst_WaylineStore::load(const QString &name) {
    auto outcome = std::make_shared<Outcome>();
    auto returned = std::make_shared<bool>(false);
    service().LoadWayLine(name, [outcome, returned](const QJsonObject &reply) {
        outcome->reply = reply;
        outcome->calledBeforeReturn = outcome->calledBeforeReturn || !*returned;
        ++outcome->calls;
    });
    *returned = true;
    return outcome;
}

std::shared_ptr<Outcome> tst_WaylineStore::list() {
    auto outcome = std::make_shared<Outcome>();
    auto returned = std::make_shared<bool>(false);
    service().WayLineList([outcome, returned](const QJsonObject &reply) {
        outcome->reply = reply;
        outcome->calledBeforeReturn = outcome->calledBeforeReturn || !*returned;
        ++outcome->calls;
    });
    *returned = true;
    return outcome;
}

// Waits for the background reply and checks it came once, after the return.
bool tst_WaylineStore::settled(const std::shared_ptr<Outcome> &outcome) {
    return QTest::qWaitFor([&]() { return outcome->calls > 0; }, 10000) && outcome->calls == 1 &&
           !outcome->calledBeforeReturn;
}

void tst_WaylineStore::writeFile(const QString &name, const QByteArray &content) {
    QFile file(folder + QLatin1Char('/') + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void tst_WaylineStore::saveListLoadRoundTrip_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QJsonObject>("wayline");

    QTest::newRow("a plain name and a mission") << QStringLiteral("survey") << mission(3, 50.0);
    QTest::newRow("an empty object") << QStringLiteral("empty") << QJsonObject();
    QTest::newRow("blanks, dots and non-ASCII letters")
        << QStringLiteral("Feld Nord. Überflug 2") << QJsonObject{{QStringLiteral("K"), true}};
    QTest::newRow("a name of exactly 255 bytes")
        << QString(127, QChar(0xe9)) + QLatin1Char('x') << mission(1, 10.0);
}

void tst_WaylineStore::saveListLoadRoundTrip() {
    QFETCH(QString, name);
    QFETCH(QJsonObject, wayline);

    const auto saved = save(name, wayline);
    QVERIFY(settled(saved));
    QCOMPARE(*saved->reply, Saved);

    const auto listed = list();
    QCOMPARE(listed->calls, 1);
    QVERIFY(listed->calledBeforeReturn);
    QCOMPARE(*listed->reply, (QJsonObject{{QStringLiteral("VALUE"), QJsonArray{name}}}));

    const auto loaded = load(name);
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, (QJsonObject{{QStringLiteral("VALUE"), wayline}}));

    QFile file(folder + QLatin1Char('/') + name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
}

void tst_WaylineStore::saveReplacesTheWholeFile() {
    QVERIFY(settled(save(QStringLiteral("route"), mission(200, 80.0))));
    const QJsonObject shorter = mission(1, 20.0);
    QVERIFY(settled(save(QStringLiteral("route"), shorter)));

    const auto loaded = load(QStringLiteral("route"));
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, (QJsonObject{{QStringLiteral("VALUE"), shorter}}));
    QCOMPARE(QFileInfo(folder + QStringLiteral("/route")).size(),
             qint64(QJsonDocument(shorter).toJson(QJsonDocument::Indented).size()));
}

void tst_WaylineStore::loadFailures_data() {
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<QJsonObject>("expected");

    QJsonParseError noError;
    noError.error = QJsonParseError::NoError;
    QJsonParseError broken;
    QJsonDocument::fromJson("{\"LENGTH\": ", &broken);
    QVERIFY(broken.error != QJsonParseError::NoError);

    QJsonObject missing = failure(QStringLiteral("file not exists."));
    QTest::newRow("a missing file is reported without a value") << QByteArray() << missing;

    QJsonObject array = failure(noError.errorString());
    array.insert(QStringLiteral("VALUE"), QJsonObject());
    QTest::newRow("an array gets the parser's no-error text and an empty value")
        << QByteArray("[1, 2]") << array;

    QJsonObject brokenReply = failure(broken.errorString());
    brokenReply.insert(QStringLiteral("VALUE"), QJsonObject());
    QTest::newRow("broken text gets the parser's error text and an empty value")
        << QByteArray("{\"LENGTH\": ") << brokenReply;

    QTest::newRow("bytes after a zero byte are ignored")
        << QByteArray("{\"LENGTH\": 2}\0trailing junk", 27)
        << QJsonObject{{QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("LENGTH"), 2}}}};
}

void tst_WaylineStore::loadFailures() {
    QFETCH(QByteArray, content);
    QFETCH(QJsonObject, expected);

    if (!content.isNull())
        writeFile(QStringLiteral("stored"), content);
    const auto loaded = load(QStringLiteral("stored"));
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, expected);
}

void tst_WaylineStore::listIsCaseBlindAndShowsOnlyVisibleFiles() {
    for (const char *name : {"c", "B", "a", ".hidden"})
        writeFile(QString::fromLatin1(name), "{}");
    QVERIFY(QDir(folder).mkdir(QStringLiteral("sub")));
    QVERIFY(QFile::link(folder + QStringLiteral("/a"), folder + QStringLiteral("/link")));

    const auto listed = list();
    QCOMPARE(listed->calls, 1);
    QVERIFY(listed->calledBeforeReturn);
    QCOMPARE(
        *listed->reply,
        (QJsonObject{{QStringLiteral("VALUE"),
                      QJsonArray{QStringLiteral("a"), QStringLiteral("B"), QStringLiteral("c")}}}));
}

void tst_WaylineStore::listOfMissingFolderIsEmpty() {
    QVERIFY(QDir(folder).removeRecursively());
    const auto listed = list();
    QCOMPARE(*listed->reply, (QJsonObject{{QStringLiteral("VALUE"), QJsonArray()}}));
}

void tst_WaylineStore::hostileNamesAreRefused_data() {
    QTest::addColumn<QString>("name");

    QTest::newRow("a parent reference with a file") << QStringLiteral("../x");
    QTest::newRow("a path into a sub-folder") << QStringLiteral("a/b");
    QTest::newRow("the parent folder") << QStringLiteral("..");
    QTest::newRow("the folder itself") << QStringLiteral(".");
    QTest::newRow("an empty name") << QString();
    QTest::newRow("a hidden name") << QStringLiteral(".hidden");
    QTest::newRow("a zero character") << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    QTest::newRow("a backslash") << QStringLiteral("..\\x");
    QTest::newRow("a line break") << QStringLiteral("a\nb");
    QTest::newRow("a delete character") << QStringLiteral("a") + QChar(0x7f);
    QTest::newRow("an absolute path") << QStringLiteral("/tmp/x");
    QTest::newRow("256 bytes") << QString(128, QChar(0xe9));
}

void tst_WaylineStore::hostileNamesAreRefused() {
    QFETCH(QString, name);
    const QJsonObject refused = failure(QStringLiteral("invalid wayline name."));

    // A file where "../x" would lead must not be read either.
    const QString outside = folder + QStringLiteral("/../x");
    {
        QFile file(outside);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"SECRET\": 1}");
    }
    const QStringList before = treeOf(home.path());

    const auto saved = save(name, mission(1, 10.0));
    QVERIFY(settled(saved));
    QCOMPARE(*saved->reply, refused);
    const auto loaded = load(name);
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, refused);

    QCOMPARE(treeOf(home.path()), before);
    QFile file(outside);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("{\"SECRET\": 1}"));
    QVERIFY(file.remove());
}

void tst_WaylineStore::linksAreNotFollowed() {
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"KEEP\": 1}");
    }
    QVERIFY(QFile::link(target, folder + QStringLiteral("/link")));

    const auto saved = save(QStringLiteral("link"), mission(1, 10.0));
    QVERIFY(settled(saved));
    QCOMPARE(*saved->reply, failure(QStringLiteral("file save error.")));
    const auto loaded = load(QStringLiteral("link"));
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, failure(QStringLiteral("file not exists.")));

    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("{\"KEEP\": 1}"));
}

void tst_WaylineStore::saveThatCannotWriteFails() {
    // A folder in the way of the file, then no wayline folder at all.
    QVERIFY(QDir(folder).mkdir(QStringLiteral("taken")));
    const auto blocked = save(QStringLiteral("taken"), mission(1, 10.0));
    QVERIFY(settled(blocked));
    QCOMPARE(*blocked->reply, failure(QStringLiteral("file save error.")));
    QVERIFY(QFileInfo(folder + QStringLiteral("/taken")).isDir());

    QVERIFY(QDir(folder).removeRecursively());
    const auto saved = save(QStringLiteral("lost"), mission(1, 10.0));
    QVERIFY(settled(saved));
    QCOMPARE(*saved->reply, failure(QStringLiteral("file save error.")));
    const auto loaded = load(QStringLiteral("lost"));
    QVERIFY(settled(loaded));
    QCOMPARE(*loaded->reply, failure(QStringLiteral("file not exists.")));
}

void tst_WaylineStore::racingSavesLeaveOneWholeFile() {
    const QJsonObject first = mission(3000, 30.0);
    const QJsonObject second = mission(2000, 60.0);
    for (int round = 0; round < 10; ++round) {
        const auto a = save(QStringLiteral("contested"), first);
        const auto b = save(QStringLiteral("contested"), second);
        QVERIFY(settled(a));
        QVERIFY(settled(b));
        QCOMPARE(*a->reply, Saved);
        QCOMPARE(*b->reply, Saved);

        const auto loaded = load(QStringLiteral("contested"));
        QVERIFY(settled(loaded));
        const QJsonObject value = loaded->reply->value(QStringLiteral("VALUE")).toObject();
        QVERIFY2(value == first || value == second,
                 qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(loaded->reply->size(), 1);
        // No temporary file is left behind, hidden or not.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("contested")});
    }
}

void tst_WaylineStore::throughTheHost() {
    FakeHost host;
    QVERIFY(host.listen());
    JsonClient web;
    QVERIFY(web.open(QStringLiteral("/groundstation")));

    const QJsonObject wayline = mission(2, 40.0);
    const auto saved = web.call(QStringLiteral("SaveWayline"),
                                {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("web")},
                                 {QStringLiteral("WAYLINE"), wayline}});
    QVERIFY(saved);
    QCOMPARE(saved->value(QStringLiteral("ERROR")).toString(), QStringLiteral("SUCCESS"));
    QCOMPARE(saved->value(QStringLiteral("CMD")).toString(), QStringLiteral("SaveWayline"));

    const auto listed = web.call(QStringLiteral("WayLineList"));
    QVERIFY(listed);
    QCOMPARE(listed->value(QStringLiteral("VALUE")).toArray(), QJsonArray{QStringLiteral("web")});
    QVERIFY(!listed->contains(QStringLiteral("ERROR")));

    const auto loaded = web.call(QStringLiteral("GetWayLine"),
                                 {{QStringLiteral("WAYLINE"), QStringLiteral("web")}});
    QVERIFY(loaded);
    QCOMPARE(loaded->value(QStringLiteral("VALUE")).toObject(), wayline);

    const auto refused = web.call(QStringLiteral("GetWayLine"),
                                  {{QStringLiteral("WAYLINE"), QStringLiteral("../../x")}});
    QVERIFY(refused);
    QCOMPARE(refused->value(QStringLiteral("ERROR_MESSAGE")).toString(),
             QStringLiteral("invalid wayline name."));
}

QTEST_MAIN(tst_WaylineStore)
#include "tst_waylinestore.moc"
