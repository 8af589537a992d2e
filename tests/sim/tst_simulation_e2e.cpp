#include "jsonclient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <functional>

// The host process with two simulated aircraft, driven as a ground-station
// user would: through /groundstation, /groundstation/push and /host. The
// functions run in order, each going on from where the last one left the
// aircraft.
namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double EarthRadius = 6378137.0;
const double BaseLatitude = 47.3977 * Pi / 180.0;
const double BaseLongitude = 8.5456 * Pi / 180.0;
// Simulated flight runs this many times faster than real time.
const char *const SimSpeed = "20";
constexpr int FlightTimeoutMs = 30000;

double latitudeAt(double north) {
    return BaseLatitude + north / EarthRadius;
}

double longitudeAt(double east) {
    return BaseLongitude + east / (EarthRadius * std::cos(BaseLatitude));
}

QJsonObject waypoint(int index, double north, double east, double altitude) {
    return {{QStringLiteral("INDEX"), index},
            {QStringLiteral("LATI"), latitudeAt(north)},
            {QStringLiteral("LONTI"), longitudeAt(east)},
            {QStringLiteral("ALTI"), altitude},
            {QStringLiteral("DAMPING_DIS"), 2},
            {QStringLiteral("TGT_YAW"), 0},
            {QStringLiteral("TGT_GIMBAL_PITCH"), 0},
            {QStringLiteral("TURN_MODE"), 0},
            {QStringLiteral("HAS_SPEED"), 0},
            {QStringLiteral("HAS_ACTION"), 0},
            {QStringLiteral("ACTION_TIME_LIMIT"), 0}};
}

QJsonObject threePointMission() {
    QJsonObject fast = waypoint(1, 100, 100, 30);
    fast.insert(QStringLiteral("HAS_SPEED"), 1);
    fast.insert(QStringLiteral("SPEED"), 12.5);
    QJsonObject staying = waypoint(2, 0, 100, 25);
    staying.insert(QStringLiteral("HAS_ACTION"), 1);
    staying.insert(
        QStringLiteral("ACTION"),
        QJsonObject{{QStringLiteral("ACTION_NUM"), 1},
                    {QStringLiteral("ACTION_RPT"), 1},
                    {QStringLiteral("COMMAND_LIST"),
                     QJsonArray{QJsonObject{
                         {QStringLiteral("ACTION_TYPE"), QStringLiteral("WP_ACTION_STAY")},
                         {QStringLiteral("PARAM_VALUE"), QStringLiteral("2")}}}}});
    return {{QStringLiteral("LENGTH"), 3},
            {QStringLiteral("VEL_CMD_RANGE"), 15},
            {QStringLiteral("IDLE_VEL"), 10},
            {QStringLiteral("ACTION_ON_FINISH"), 0},
            {QStringLiteral("MISSION_EXEC_NUM"), 1},
            {QStringLiteral("YAW_MODE"), 0},
            {QStringLiteral("TRACE_MODE"), 0},
            {QStringLiteral("ACTION_ON_RC_LOST"), 1},
            {QStringLiteral("GIMBAL_PITCH_MODE"), 0},
            {QStringLiteral("HP_LATI"), BaseLatitude},
            {QStringLiteral("HP_LONTI"), BaseLongitude},
            {QStringLiteral("HP_ALTI"), 0},
            {QStringLiteral("GOTO_FIRST"), 0},
            {QStringLiteral("WAY_POINTS"), QJsonArray{waypoint(0, 100, 0, 30), fast, staying}}};
}

QString errorOf(const std::optional<QJsonObject> &reply) {
    if (!reply)
        return QStringLiteral("no reply");
    const QString error = reply->value(QStringLiteral("ERROR")).toString();
    const QString message = reply->value(QStringLiteral("ERROR_MESSAGE")).toString();
    return message.isEmpty() ? error : error + QStringLiteral(": ") + message;
}

} // namespace

class TestSimulationEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void bothAircraftAreListed();
    void placedAircraftTakeOff();
    void uploadReportsProgressAndDownloadsTheSameMission();
    void missionFliesToItsLastWaypoint();
    void flyToPointPausesAndContinues();
    void aircraftLands();
    void detachedDeviceIsDisconnected();
    void silencedControllerIsLostAndFoundAgain();

private:
    std::optional<QJsonObject> command(const QString &name, QJsonObject value,
                                       const QString &aircraft = QString());
    // The VALUE of the first push event named event for aircraft, from
    // position `from` of what the push client received, that matches; its
    // position goes to at.
    std::optional<QJsonObject> waitForPush(const QString &event, const QString &aircraft,
                                           const std::function<bool(const QJsonObject &)> &match,
                                           int from, int timeoutMs = FlightTimeoutMs,
                                           int *at = nullptr);
    std::optional<QJsonObject> waitForStatus(const QString &aircraft, const QString &status,
                                             int from);
    int mark() const { return m_push.received.size(); }
    bool connectWithRetry(JsonClient &client, const QString &path);

    QTemporaryDir m_home;
    QProcess m_host;
    QByteArray m_hostOutput;
    JsonClient m_commands;
    JsonClient m_push;
    JsonClient m_admin;
    QString m_first; // serial numbers
    QString m_second;
    QString m_secondHash;
};

bool TestSimulationEndToEnd::connectWithRetry(JsonClient &client, const QString &path) {
    const QUrl url(QStringLiteral("ws://127.0.0.1:19870") + path);
    return QTest::qWaitFor(
        [&]() {
            if (client.socket.state() == QAbstractSocket::UnconnectedState)
                client.socket.open(url);
            return client.isConnected();
        },
        15000);
}

void TestSimulationEndToEnd::initTestCase() {
    QVERIFY(m_home.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The plug-in keeps its waylines under the documents folder.
    environment.insert(QStringLiteral("HOME"), m_home.path());
    m_host.setProcessEnvironment(environment);
    m_host.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_host, &QProcess::readyRead, this, [this]() { m_hostOutput += m_host.readAll(); });
    m_host.start(QStringLiteral(ORU_HOST_BINARY),
                 {QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--sim-speed"),
                  QLatin1String(SimSpeed)});
    QVERIFY2(m_host.waitForStarted(10000), qPrintable(m_host.errorString()));
    QVERIFY(connectWithRetry(m_push, QStringLiteral("/groundstation/push")));
    QVERIFY(connectWithRetry(m_commands, QStringLiteral("/groundstation")));
    QVERIFY(connectWithRetry(m_admin, QStringLiteral("/host")));
}

void TestSimulationEndToEnd::cleanup() {
    if (QTest::currentTestFailed())
        qInfo().noquote() << "host output so far:\n"
                          << QString::fromLocal8Bit(m_hostOutput.right(4000));
}

void TestSimulationEndToEnd::cleanupTestCase() {
    m_commands.close();
    m_push.close();
    m_admin.close();
    if (m_host.state() != QProcess::NotRunning) {
        m_host.terminate();
        if (!m_host.waitForFinished(10000))
            m_host.kill();
        m_host.waitForFinished(5000);
    }
}

std::optional<QJsonObject> TestSimulationEndToEnd::command(const QString &name, QJsonObject value,
                                                           const QString &aircraft) {
    if (!aircraft.isEmpty())
        value.insert(QStringLiteral("AIRCRAFT"), aircraft);
    return m_commands.call(name, value, 10000);
}

std::optional<QJsonObject>
TestSimulationEndToEnd::waitForPush(const QString &event, const QString &aircraft,
                                    const std::function<bool(const QJsonObject &)> &match, int from,
                                    int timeoutMs, int *at) {
    std::optional<QJsonObject> found;
    int next = from;
    (void)QTest::qWaitFor(
        [&]() {
            for (; next < m_push.received.size(); ++next) {
                const QJsonObject &message = m_push.received.at(next);
                const QJsonObject value = message.value(QStringLiteral("VALUE")).toObject();
                if (message.value(QStringLiteral("EVENT")).toString() == event &&
                    value.value(QStringLiteral("AIRCRAFT")).toString() == aircraft &&
                    match(value)) {
                    found = value;
                    if (at)
                        *at = next;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<QJsonObject> TestSimulationEndToEnd::waitForStatus(const QString &aircraft,
                                                                 const QString &status, int from) {
    return waitForPush(
        QStringLiteral("FLIGHT_STATE"), aircraft,
        [&](const QJsonObject &state) {
            return state.value(QStringLiteral("FLIGHT_STATUS")).toString() == status;
        },
        from);
}

void TestSimulationEndToEnd::bothAircraftAreListed() {
    // Each aircraft is announced once its agent has learned who it is.
    QVERIFY2(QTest::qWaitFor([&]() { return m_push.events(QStringLiteral("CONNECT")).size() >= 2; },
                             15000),
             "the push client did not see two CONNECT events");
    const auto list = command(QStringLiteral("GetAircraftList"), {});
    QCOMPARE(errorOf(list), QStringLiteral("SUCCESS"));
    const QJsonArray aircraft = list->value(QStringLiteral("VALUE")).toArray();
    QCOMPARE(aircraft.size(), 2);
    m_first = aircraft.at(0).toObject().value(QStringLiteral("AIRCRAFT")).toString();
    m_second = aircraft.at(1).toObject().value(QStringLiteral("AIRCRAFT")).toString();
    m_secondHash = aircraft.at(1).toObject().value(QStringLiteral("RC")).toString();
    QVERIFY(!m_first.isEmpty());
    QVERIFY(!m_second.isEmpty());
    QVERIFY(m_first != m_second);
    QVERIFY(!m_secondHash.isEmpty());
}

void TestSimulationEndToEnd::placedAircraftTakeOff() {
    QVERIFY(!m_second.isEmpty());
    const QList<std::pair<QString, double>> places{{m_first, 0.0}, {m_second, 60.0}};
    const int start = mark();
    for (const auto &place : places) {
        const int from = mark();
        const double longitude = longitudeAt(place.second);
        QCOMPARE(errorOf(command(
                     QStringLiteral("StartSimulation"),
                     {{QStringLiteral("LATI"), BaseLatitude}, {QStringLiteral("LONTI"), longitude}},
                     place.first)),
                 QStringLiteral("SUCCESS"));
        const auto placed = waitForPush(
            QStringLiteral("FLIGHT_STATE"), place.first,
            [&](const QJsonObject &state) {
                return state.value(QStringLiteral("LONTI")).toDouble() == longitude;
            },
            from);
        QVERIFY(placed);
        QCOMPARE(placed->value(QStringLiteral("LATI")).toDouble(), BaseLatitude);
        QCOMPARE(placed->value(QStringLiteral("HOME_LONTI")).toDouble(), longitude);
        QCOMPARE(placed->value(QStringLiteral("FLIGHT_STATUS")).toString(),
                 QStringLiteral("ON_GROUND"));

        QCOMPARE(errorOf(command(QStringLiteral("DoFunction"),
                                 {{QStringLiteral("FUNCTION"), QStringLiteral("TAKE_OFF")}},
                                 place.first)),
                 QStringLiteral("SUCCESS"));
    }
    for (const auto &place : places) {
        const auto hovering = waitForStatus(place.first, QStringLiteral("HOVERING"), start);
        QVERIFY(hovering);
        QCOMPARE(hovering->value(QStringLiteral("HEIGHT")).toDouble(), 10.0);
    }
}

void TestSimulationEndToEnd::uploadReportsProgressAndDownloadsTheSameMission() {
    QVERIFY(!m_first.isEmpty());
    const int from = mark();
    const QJsonObject mission = threePointMission();
    QCOMPARE(errorOf(command(QStringLiteral("UploadWayLineMission"),
                             {{QStringLiteral("WAYLINE"), mission}}, m_first)),
             QStringLiteral("SUCCESS"));
    // Pushes and replies travel on different connections: either may come first.
    QList<double> progress;
    (void)QTest::qWaitFor(
        [&]() {
            progress.clear();
            for (int i = from; i < m_push.received.size(); ++i) {
                const QJsonObject &message = m_push.received.at(i);
                if (message.value(QStringLiteral("EVENT")).toString() ==
                    QLatin1String("WP_UPLOAD_PROGRESS"))
                    progress.append(message.value(QStringLiteral("VALUE")).toDouble());
            }
            return progress.size() >= 4;
        },
        5000);
    QCOMPARE(progress, (QList<double>{25, 50, 75, 100}));

    const auto download = command(QStringLiteral("DownloadWayLineMission"), {}, m_first);
    QCOMPARE(errorOf(download), QStringLiteral("SUCCESS"));
    const QJsonObject downloaded = download->value(QStringLiteral("VALUE")).toObject();
    for (const char *key : {"LENGTH", "VEL_CMD_RANGE", "IDLE_VEL", "ACTION_ON_FINISH",
                            "MISSION_EXEC_NUM", "ACTION_ON_RC_LOST", "HP_LATI", "HP_LONTI"})
        QCOMPARE(downloaded.value(QLatin1String(key)), mission.value(QLatin1String(key)));
    const QJsonArray sent = mission.value(QStringLiteral("WAY_POINTS")).toArray();
    const QJsonArray received = downloaded.value(QStringLiteral("WAY_POINTS")).toArray();
    QCOMPARE(received.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i) {
        const QJsonObject one = sent.at(i).toObject();
        const QJsonObject other = received.at(i).toObject();
        for (const char *key :
             {"INDEX", "LATI", "LONTI", "ALTI", "DAMPING_DIS", "HAS_SPEED", "HAS_ACTION"})
            QCOMPARE(other.value(QLatin1String(key)), one.value(QLatin1String(key)));
        if (one.contains(QStringLiteral("SPEED")))
            QCOMPARE(other.value(QStringLiteral("SPEED")).toDouble(),
                     one.value(QStringLiteral("SPEED")).toDouble());
    }
    QCOMPARE(received.at(2)
                 .toObject()
                 .value(QStringLiteral("ACTION"))
                 .toObject()
                 .value(QStringLiteral("ACTION_NUM")),
             QJsonValue(1));
}

void TestSimulationEndToEnd::missionFliesToItsLastWaypoint() {
    QVERIFY(!m_first.isEmpty());
    const int from = mark();
    QCOMPARE(errorOf(command(QStringLiteral("StartOrCancelWayLineMission"),
                             {{QStringLiteral("GO_STOP"), 0}}, m_first)),
             QStringLiteral("SUCCESS"));
    for (int index = 0; index < 3; ++index) {
        QVERIFY2(waitForPush(
                     QStringLiteral("WAYPOINT_REACHED"), m_first,
                     [&](const QJsonObject &value) {
                         return value.value(QStringLiteral("INDEX")).toInt() == index;
                     },
                     from),
                 qPrintable(QStringLiteral("waypoint %1 not reached").arg(index)));
    }
    int finishedAt = 0;
    const auto finished = waitForPush(
        QStringLiteral("MISSION_FINISHED"), m_first, [](const QJsonObject &) { return true; }, from,
        FlightTimeoutMs, &finishedAt);
    QVERIFY(finished);
    QCOMPARE(finished->value(QStringLiteral("ACTION_ON_FINISH")), QJsonValue(0));

    // Reports from before the start may still arrive after it.
    const auto hovering = waitForStatus(m_first, QStringLiteral("HOVERING"), finishedAt);
    QVERIFY(hovering);
    const QJsonObject last =
        threePointMission().value(QStringLiteral("WAY_POINTS")).toArray().at(2).toObject();
    QCOMPARE(hovering->value(QStringLiteral("LATI")).toDouble(),
             last.value(QStringLiteral("LATI")).toDouble());
    QCOMPARE(hovering->value(QStringLiteral("LONTI")).toDouble(),
             last.value(QStringLiteral("LONTI")).toDouble());
    QCOMPARE(hovering->value(QStringLiteral("HEIGHT")).toDouble(), 25.0);
}

void TestSimulationEndToEnd::flyToPointPausesAndContinues() {
    QVERIFY(!m_first.isEmpty());
    const double latitude = latitudeAt(-300);
    const double longitude = longitudeAt(100);
    int from = mark();
    QCOMPARE(errorOf(command(QStringLiteral("ClickGo"),
                             {{QStringLiteral("LATI"), latitude},
                              {QStringLiteral("LONTI"), longitude},
                              {QStringLiteral("SPEED"), 8},
                              {QStringLiteral("HEIGHT"), 40}},
                             m_first)),
             QStringLiteral("SUCCESS"));
    const auto cruising = waitForPush(
        QStringLiteral("FLIGHT_STATE"), m_first,
        [](const QJsonObject &state) {
            return state.value(QStringLiteral("WAYPOINT_INDEX")).toInt() == 1 &&
                   state.value(QStringLiteral("SPEED")).toDouble() > 5.0;
        },
        from);
    QVERIFY(cruising);

    QCOMPARE(errorOf(command(QStringLiteral("PauseOrContinueWayLineMission"),
                             {{QStringLiteral("PAUSE"), 1}}, m_first)),
             QStringLiteral("SUCCESS"));
    from = mark();
    const auto stopped = waitForPush(
        QStringLiteral("FLIGHT_STATE"), m_first,
        [](const QJsonObject &state) {
            return state.value(QStringLiteral("FLIGHT_STATUS")).toString() ==
                       QLatin1String("MISSION_PAUSED") &&
                   state.value(QStringLiteral("SPEED")).toDouble() == 0.0;
        },
        from);
    QVERIFY(stopped);
    // The aircraft holds where it stopped, report after report.
    from = mark();
    for (int report = 0; report < 5; ++report) {
        const auto held = waitForPush(
            QStringLiteral("FLIGHT_STATE"), m_first, [](const QJsonObject &) { return true; },
            from);
        QVERIFY(held);
        QCOMPARE(held->value(QStringLiteral("LATI")).toDouble(),
                 stopped->value(QStringLiteral("LATI")).toDouble());
        QCOMPARE(held->value(QStringLiteral("FLIGHT_STATUS")).toString(),
                 QStringLiteral("MISSION_PAUSED"));
        from = mark();
    }
    QVERIFY(std::abs(stopped->value(QStringLiteral("LATI")).toDouble() - latitude) * EarthRadius >
            10.0);

    from = mark();
    QCOMPARE(errorOf(command(QStringLiteral("PauseOrContinueWayLineMission"),
                             {{QStringLiteral("PAUSE"), 0}}, m_first)),
             QStringLiteral("SUCCESS"));
    int finishedAt = 0;
    QVERIFY(waitForPush(
        QStringLiteral("MISSION_FINISHED"), m_first, [](const QJsonObject &) { return true; }, from,
        FlightTimeoutMs, &finishedAt));
    const auto arrived = waitForStatus(m_first, QStringLiteral("HOVERING"), finishedAt);
    QVERIFY(arrived);
    QCOMPARE(arrived->value(QStringLiteral("LATI")).toDouble(), latitude);
    QCOMPARE(arrived->value(QStringLiteral("LONTI")).toDouble(), longitude);
    QCOMPARE(arrived->value(QStringLiteral("HEIGHT")).toDouble(), 40.0);
}

void TestSimulationEndToEnd::aircraftLands() {
    QVERIFY(!m_first.isEmpty());
    const int from = mark();
    QCOMPARE(errorOf(command(QStringLiteral("DoFunction"),
                             {{QStringLiteral("FUNCTION"), QStringLiteral("LAND")}}, m_first)),
             QStringLiteral("SUCCESS"));
    QVERIFY(waitForStatus(m_first, QStringLiteral("LANDING"), from));
    const auto landed = waitForStatus(m_first, QStringLiteral("ON_GROUND"), from);
    QVERIFY(landed);
    QCOMPARE(landed->value(QStringLiteral("HEIGHT")).toDouble(), 0.0);
}

void TestSimulationEndToEnd::detachedDeviceIsDisconnected() {
    QVERIFY(!m_secondHash.isEmpty());
    const int from = mark();
    QCOMPARE(errorOf(m_admin.call(QStringLiteral("DetachDevice"),
                                  {{QStringLiteral("FILE"), m_secondHash}})),
             QStringLiteral("SUCCESS"));
    const auto lost = waitForPush(
        QStringLiteral("DISCONNECT"), m_second, [](const QJsonObject &) { return true; }, from,
        10000);
    QVERIFY(lost);
    QCOMPARE(lost->value(QStringLiteral("RC")).toString(), m_secondHash);
    const auto list = command(QStringLiteral("GetAircraftList"), {});
    QCOMPARE(list->value(QStringLiteral("VALUE")).toArray().size(), 1);
}

void TestSimulationEndToEnd::silencedControllerIsLostAndFoundAgain() {
    QVERIFY(!m_first.isEmpty());
    const auto list = command(QStringLiteral("GetAircraftList"), {});
    const QString hash = list->value(QStringLiteral("VALUE"))
                             .toArray()
                             .at(0)
                             .toObject()
                             .value(QStringLiteral("RC"))
                             .toString();
    int from = mark();
    QElapsedTimer silent;
    silent.start();
    QCOMPARE(
        errorOf(m_admin.call(QStringLiteral("SilenceController"),
                             {{QStringLiteral("FILE"), hash}, {QStringLiteral("SILENT"), true}})),
        QStringLiteral("SUCCESS"));
    QVERIFY(waitForPush(
        QStringLiteral("DISCONNECT"), m_first, [](const QJsonObject &) { return true; }, from,
        15000));
    // Lost by its unanswered heartbeat, which takes ten ticks of half a second.
    QVERIFY(silent.elapsed() >= 3500);

    from = mark();
    QCOMPARE(
        errorOf(m_admin.call(QStringLiteral("SilenceController"),
                             {{QStringLiteral("FILE"), hash}, {QStringLiteral("SILENT"), false}})),
        QStringLiteral("SUCCESS"));
    const auto found = waitForPush(
        QStringLiteral("CONNECT"), m_first, [](const QJsonObject &) { return true; }, from, 15000);
    QVERIFY(found);
    QCOMPARE(found->value(QStringLiteral("RC")).toString(), hash);
}

QTEST_GUILESS_MAIN(TestSimulationEndToEnd)

#include "tst_simulation_e2e.moc"
