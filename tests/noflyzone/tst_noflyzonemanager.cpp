#include <noflyzonemanager.h>

#include <QCoreApplication>
#include <QJsonObject>
#include <QTest>
#include <QThreadPool>

// The manager around the core's query: its load, its log and its JSON.
namespace {

int loads = 0;        // loads that reached a manager
QStringList queryLog; // what queries logged
QtMessageHandler previousHandler = nullptr;

void record(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    loads += QLatin1String(context.category) == QLatin1String("oru.NOFLYZONE");
    if (QLatin1String(context.category) == QLatin1String("oru.NoflyZone"))
        queryLog << QString::fromLatin1(context.function) + ' ' + text;
    previousHandler(type, context, text);
}

struct ZoneManager : NoFlyZoneManager {
    ZoneManager()
        : NoFlyZoneManager(nullptr) {}
    // After its own load of the default file has landed, so that cannot replace them.
    bool install(std::vector<NoFlyZone> zones) {
        const bool loaded = QTest::qWaitFor([this]() { return loads > loadsBefore; }, 20000);
        setZones(std::move(zones));
        return loaded;
    }
    const int loadsBefore = loads;
};

NoFlyZone zone(const QString &name, double latitude, double longitude, uint32_t radius) {
    return {0, 0, latitude, longitude, radius, 0, 0, 0, 0, 0, 0, name, 0, QString()};
}

} // namespace

class tst_NoFlyZoneManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { previousHandler = qInstallMessageHandler(record); }

    void managerGoneBeforeTheLoadEnds() {
        const int before = loads;
        delete new ZoneManager();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(loads, before);
    }

    void answerAndLog() {
        ZoneManager manager;
        QVERIFY(manager.install({zone("a", -0.001, 1.0, 300), zone("b", 0.0, 1.001, 4294967291u),
                                 zone("far", 0.008, 1.0, 2)}));
        const auto entry = [](const char *name, double lat, double lng, qint64 radius) {
            return QJsonObject{{"LATI", lat}, {"LONTI", lng}, {"RADIUS", radius}, {"NAME", name}};
        };
        const QJsonArray expected{entry("a", -0.001, 1.0, 300),
                                  entry("b", 0.0, 1.001, 4294967291LL)};
        queryLog.clear();
        QCOMPARE(manager.GetNearbyNoflyZone(0.0, 1.0), expected);
        // A reused result logs its size only.
        QCOMPARE(manager.GetNearbyNoflyZone(0.001, 1.0), expected);
        const QString function = "NoFlyZoneManager::GetNearbyNoflyZone ";
        QCOMPARE(queryLog, QStringList({function + "items in large nearby_zones: 3",
                                        function + "items in nearby_zones: 2",
                                        function + "items in nearby_zones: 2"}));
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_NoFlyZoneManager)
#include "tst_noflyzonemanager.moc"
