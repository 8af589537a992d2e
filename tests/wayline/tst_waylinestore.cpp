#include <orugroundstationservice.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Replies = std::shared_ptr<QList<QJsonObject>>;

QJsonObject mission(int waypoints) {
    QJsonArray points;
    for (int i = 0; i < waypoints; ++i)
        points.append(QJsonObject{{QStringLiteral("INDEX"), i}, {QStringLiteral("ALTI"), 30.5}});
    return {{QStringLiteral("LENGTH"), waypoints}, {QStringLiteral("WAY_POINTS"), points}};
}

QJsonObject failure(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

const QJsonObject Saved{{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};

QStringList treeOf(const QString &root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(it.next());
    entries.sort();
    return entries;
}

QByteArray contentOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

} // namespace

class tst_WaylineStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void roundTrip_data();
    void roundTrip();
    void loadOfStoredText();
    void listIsCaseBlindAndShowsOnlyVisibleFiles();
    void hostileNamesAreRefused_data();
    void hostileNamesAreRefused();
    void linksAreNeitherWrittenNorRead();
    void savesAreWhole();

private:
    static OruGroundStationService &store() { return OruGroundStationService::instance(); }
    static Replies call(const std::function<void(ReplyCallback)> &operation) {
        const Replies replies = std::make_shared<QList<QJsonObject>>();
        operation([replies](const QJsonObject &reply) { replies->append(reply); });
        return replies;
    }
    // The one reply of an operation, or a marker that fails every comparison.
    static QJsonObject replyOf(const Replies &r) {
        if (!QTest::qWaitFor([&]() { return !r->isEmpty(); }, 10000) || r->size() != 1)
            return {{QStringLiteral("TEST"), QStringLiteral("not exactly one reply")}};
        return r->first();
    }
    static Replies save(const QString &name, const QJsonObject &wayline) {
        return call([&](ReplyCallback writer) { store().SaveWayLine(name, wayline, writer); });
    }
    static QJsonObject saved(const QString &name, const QJsonObject &w) {
        return replyOf(save(name, w));
    }
    static QJsonObject loaded(const QString &name) {
        return replyOf(call([&](ReplyCallback writer) { store().LoadWayLine(name, writer); }));
    }
    static QJsonObject listed() {
        return replyOf(call([](ReplyCallback writer) { store().WayLineList(writer); }));
    }
    static QJsonObject value(const QJsonValue &value) { return {{QStringLiteral("VALUE"), value}}; }
    QString path(const QString &name) const { return folder + QLatin1Char('/') + name; }

    QTemporaryDir home;
    QString folder;
};

void tst_WaylineStore::initTestCase() {
    QVERIFY(home.isValid());
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
    folder = home.path() + QStringLiteral("/Documents/Oru/Groundstation/Waylines");
    SingletonEx<OruGroundStationService>::createInstance();
    // Every level up from a documents folder that did not exist before.
    QVERIFY(QDir(folder).exists());
}

void tst_WaylineStore::init() {
    QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
}

void tst_WaylineStore::roundTrip_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QJsonObject>("wayline");
    QTest::newRow("a plain name and a mission") << QStringLiteral("survey") << mission(3);
    QTest::newRow("blanks, dots and non-ASCII letters")
        << QStringLiteral("Feld Nord. Überflug 2") << QJsonObject{{QStringLiteral("K"), true}};
    QTest::newRow("a name of exactly 255 bytes")
        << QString(127, QChar(0xe9)) + QLatin1Char('x') << mission(1);
}

void tst_WaylineStore::roundTrip() {
    QFETCH(QString, name);
    QFETCH(QJsonObject, wayline);
    QCOMPARE(saved(name, wayline), Saved);
    QCOMPARE(listed(), value(QJsonArray{name}));
    QCOMPARE(loaded(name), value(wayline));
    QCOMPARE(contentOf(path(name)), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
}

void tst_WaylineStore::loadOfStoredText() {
    QCOMPARE(loaded(QStringLiteral("stored")), failure(QStringLiteral("file not exists.")));

    // Only the text before a zero byte counts.
    writeFile(path(QStringLiteral("stored")), QByteArray("{\"LENGTH\": 2}\0trailing junk", 27));
    QCOMPARE(loaded(QStringLiteral("stored")), value(QJsonObject{{QStringLiteral("LENGTH"), 2}}));

    // Valid JSON that is no object fails, with the parser's no-error text.
    writeFile(path(QStringLiteral("stored")), "[1, 2]");
    QJsonObject notObject = failure(QStringLiteral("no error occurred"));
    notObject.insert(QStringLiteral("VALUE"), QJsonObject());
    QCOMPARE(loaded(QStringLiteral("stored")), notObject);
}

void tst_WaylineStore::listIsCaseBlindAndShowsOnlyVisibleFiles() {
    for (const char *name : {"c", "B", "a", ".hidden"})
        writeFile(path(QString::fromLatin1(name)), "{}");
    QVERIFY(QDir(folder).mkdir(QStringLiteral("sub")));
    QVERIFY(QFile::link(path(QStringLiteral("a")), path(QStringLiteral("link"))));
    QCOMPARE(listed(),
             value(QJsonArray{QStringLiteral("a"), QStringLiteral("B"), QStringLiteral("c")}));
}

void tst_WaylineStore::hostileNamesAreRefused_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("a parent reference") << QStringLiteral("../x");
    QTest::newRow("the parent folder") << QStringLiteral("..");
    QTest::newRow("an empty name") << QString();
    QTest::newRow("a hidden name") << QStringLiteral(".hidden");
    QTest::newRow("a zero character") << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    QTest::newRow("a backslash") << QStringLiteral("..\\x");
    QTest::newRow("a delete character") << QStringLiteral("a") + QChar(0x7f);
    QTest::newRow("an absolute path") << QStringLiteral("/tmp/x");
    QTest::newRow("256 bytes") << QString(128, QChar(0xe9));
}

void tst_WaylineStore::hostileNamesAreRefused() {
    QFETCH(QString, name);
    const QStringList before = treeOf(home.path());
    const QJsonObject refused = failure(QStringLiteral("invalid wayline name."));
    QCOMPARE(saved(name, mission(1)), refused);
    QCOMPARE(loaded(name), refused);
    QCOMPARE(treeOf(home.path()), before);
}

void tst_WaylineStore::linksAreNeitherWrittenNorRead() {
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    writeFile(target, "{\"KEEP\": 1}");
    QVERIFY(QFile::link(target, path(QStringLiteral("link"))));
    QCOMPARE(saved(QStringLiteral("link"), mission(1)),
             failure(QStringLiteral("file save error.")));
    QCOMPARE(loaded(QStringLiteral("link")), failure(QStringLiteral("file not exists.")));
    QCOMPARE(contentOf(target), QByteArray("{\"KEEP\": 1}"));
}

// A refused save that keeps the old file is staged in tests/fault (read-only folder).
void tst_WaylineStore::savesAreWhole() {
    const QString name = QStringLiteral("route");
    const QJsonObject longer = mission(3000);
    const QJsonObject shorter = mission(2000);
    QCOMPARE(saved(name, longer), Saved);
    QCOMPARE(saved(name, shorter), Saved);
    QCOMPARE(loaded(name), value(shorter));

    // Saves of one name at once: one of them whole, never a mix, and no
    // temporary file left behind.
    for (int round = 0; round < 10; ++round) {
        const Replies first = save(name, longer);
        const Replies second = save(name, shorter);
        QCOMPARE(replyOf(first), Saved);
        QCOMPARE(replyOf(second), Saved);
        const QJsonObject now = loaded(name);
        QVERIFY2(now == value(longer) || now == value(shorter),
                 qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{name});
    }
}

QTEST_MAIN(tst_WaylineStore)
#include "tst_waylinestore.moc"
