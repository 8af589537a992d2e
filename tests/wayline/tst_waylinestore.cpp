#include <orugroundstationservice.h>

#include <QDirIterator>
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
        points.append(QJsonObject{{"INDEX", i}, {"ALTI", 30.5}});
    return {{"LENGTH", waypoints}, {"WAY_POINTS", points}};
}

QJsonObject failure(const QString &message) {
    return {{"ERROR", "FAILURE"}, {"ERROR_MESSAGE", message}};
}

const QJsonObject Saved{{"ERROR", "SUCCESS"}};

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

bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class tst_WaylineStore : public QObject {
    Q_OBJECT

    static OruGroundStationService &store() { return OruGroundStationService::instance(); }
    static Replies call(const std::function<void(ReplyCallback)> &operation) {
        const Replies replies = std::make_shared<QList<QJsonObject>>();
        operation([replies](const QJsonObject &reply) { replies->append(reply); });
        return replies;
    }
    // The one reply of an operation, or a marker that fails every comparison.
    static QJsonObject replyOf(const Replies &r) {
        if (!QTest::qWaitFor([&]() { return !r->isEmpty(); }, 10000) || r->size() != 1)
            return {{"TEST", "not exactly one reply"}};
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
    static QJsonObject value(const QJsonValue &value) { return {{"VALUE", value}}; }
    QString path(const QString &name) const { return folder + '/' + name; }

    QTemporaryDir home;
    QString folder;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toUtf8());
        QStandardPaths::setTestModeEnabled(true);
        folder = home.path() + "/Documents/Oru/Groundstation/Waylines";
        SingletonEx<OruGroundStationService>::createInstance();
        // Every level up from a documents folder that did not exist before.
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
        QCOMPARE(saved(name, wayline), Saved);
        QCOMPARE(listed(), value(QJsonArray{name}));
        QCOMPARE(loaded(name), value(wayline));
        QCOMPARE(contentOf(path(name)), QJsonDocument(wayline).toJson(QJsonDocument::Indented));
    }

    void loadOfStoredText() {
        QCOMPARE(loaded("stored"), failure("file not exists."));
        // Only the text before a zero byte counts.
        QVERIFY(writeFile(path("stored"), QByteArray("{\"LENGTH\": 2}\0trailing junk", 27)));
        QCOMPARE(loaded("stored"), value(QJsonObject{{"LENGTH", 2}}));
        // Valid JSON that is no object fails, with the parser's no-error text.
        QVERIFY(writeFile(path("stored"), "[1, 2]"));
        QJsonObject notObject = failure("no error occurred");
        notObject.insert("VALUE", QJsonObject());
        QCOMPARE(loaded("stored"), notObject);
    }

    void listIsCaseBlindAndShowsOnlyVisibleFiles() {
        for (const char *name : {"c", "B", "a", ".hidden"})
            QVERIFY(writeFile(path(name), "{}"));
        QVERIFY(QDir(folder).mkdir("sub"));
        QVERIFY(QFile::link(path("a"), path("link")));
        QCOMPARE(listed(), value(QJsonArray{"a", "B", "c"}));
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
        const QStringList before = treeOf(home.path());
        QCOMPARE(saved(name, mission(1)), failure("invalid wayline name."));
        QCOMPARE(loaded(name), failure("invalid wayline name."));
        QCOMPARE(treeOf(home.path()), before);
    }

    void linksAreNeitherWrittenNorRead() {
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("target");
        QVERIFY(writeFile(target, "{\"KEEP\": 1}"));
        QVERIFY(QFile::link(target, path("link")));
        QCOMPARE(saved("link", mission(1)), failure("file save error."));
        QCOMPARE(loaded("link"), failure("file not exists."));
        QCOMPARE(contentOf(target), QByteArray("{\"KEEP\": 1}"));
    }

    // A refused save that keeps the old file is staged in tests/fault (read-only folder).
    void savesAreWhole() {
        const QJsonObject longer = mission(3000);
        const QJsonObject shorter = mission(2000);
        QCOMPARE(saved("route", longer), Saved);
        QCOMPARE(saved("route", shorter), Saved);
        QCOMPARE(loaded("route"), value(shorter));
        // Saves of one name at once: one of them whole, never a mix, and no temporary file left.
        for (int round = 0; round < 10; ++round) {
            const Replies first = save("route", longer);
            const Replies second = save("route", shorter);
            QCOMPARE(replyOf(first), Saved);
            QCOMPARE(replyOf(second), Saved);
            const QJsonObject now = loaded("route");
            QVERIFY2(now == value(longer) || now == value(shorter),
                     qPrintable(QString::number(round)));
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList{"route"});
        }
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_WaylineStore)
#include "tst_waylinestore.moc"
