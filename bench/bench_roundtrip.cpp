// Web-client side of the command benchmarks: "GetFlyLimit" round trips, one
// at a time or from several clients at once, and 50-waypoint mission uploads
// beside 51 single round trips. Prints one JSON object on its last line.

#include "benchsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double EarthRadius = 6378137.0;

double percentile(std::vector<qint64> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    return double(values[index]);
}

// One client issuing requests back to back, each sent when the previous
// reply arrives; the request text carries "@SEQ@" where its SEQ goes.
class Caller {
public:
    Caller(QWebSocket *socket, QString request, QString seqPrefix, bool needSuccess)
        : m_socket(socket)
        , m_request(std::move(request))
        , m_prefix(std::move(seqPrefix))
        , m_needSuccess(needSuccess) {
        QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                         [this](const QString &text) { onMessage(text); });
        m_clock.start();
    }
    ~Caller() { m_socket->disconnect(); }

    // Starts `count` calls; finished() runs after the last reply.
    void start(int count, std::function<void()> finished) {
        m_left = count;
        m_finished = std::move(finished);
        sendNext();
    }
    bool busy() const { return m_left > 0; }

    std::vector<qint64> latenciesNs;
    int failures = 0;

private:
    void sendNext() {
        const QString seq = m_prefix + QString::number(++m_sent);
        m_expect = QStringLiteral("\"SEQ\":\"") + seq + QLatin1Char('"');
        QString text = m_request;
        text.replace(QLatin1String("@SEQ@"), seq);
        m_sentAt = m_clock.nsecsElapsed();
        m_socket->sendTextMessage(text);
    }

    void onMessage(const QString &text) {
        if (m_left <= 0 || !text.contains(m_expect))
            return;
        latenciesNs.push_back(m_clock.nsecsElapsed() - m_sentAt);
        if (m_needSuccess && !text.contains(QLatin1String("\"ERROR\":\"SUCCESS\""))) {
            if (++failures == 1)
                std::fprintf(stderr, "bench_roundtrip: failed: %s\n", qPrintable(text.left(300)));
        }
        if (--m_left > 0)
            sendNext();
        else if (m_finished)
            m_finished();
    }

    QWebSocket *m_socket;
    QString m_request;
    QString m_prefix;
    QString m_expect;
    bool m_needSuccess;
    QElapsedTimer m_clock;
    qint64 m_sentAt = 0;
    int m_sent = 0;
    int m_left = 0;
    std::function<void()> m_finished;
};

QString compact(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString flyLimitRequest(const QString &aircraft) {
    return compact(
        {{QStringLiteral("CMD"), QStringLiteral("GetFlyLimit")},
         {QStringLiteral("SEQ"), QStringLiteral("@SEQ@")},
         {QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("AIRCRAFT"), aircraft}}}});
}

// The first aircraft the host lists, once one is identified.
QString firstAircraft(const QString &baseUrl) {
    auto socket = openSocket(baseUrl);
    QString aircraft;
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        const QJsonArray list = QJsonDocument::fromJson(text.toUtf8())
                                    .object()
                                    .value(QStringLiteral("VALUE"))
                                    .toArray();
        if (!list.isEmpty())
            aircraft = list.first().toObject().value(QStringLiteral("AIRCRAFT")).toString();
    });
    QElapsedTimer clock;
    clock.start();
    while (aircraft.isEmpty() && clock.elapsed() < 30000) {
        socket->sendTextMessage(QStringLiteral("{\"CMD\":\"GetAircraftList\",\"SEQ\":\"list\"}"));
        waitFor([&]() { return !aircraft.isEmpty(); }, 200);
    }
    if (aircraft.isEmpty())
        fail(QStringLiteral("no aircraft identified within 30 s"));
    return aircraft;
}

// Where the aircraft's home is, from one of its "FLIGHT_STATE" events.
std::pair<double, double> homeOf(QWebSocket *push, const QString &aircraft) {
    double latitude = 0, longitude = 0;
    bool found = false;
    const auto connection =
        QObject::connect(push, &QWebSocket::textMessageReceived, [&](const QString &text) {
            const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
            const QJsonObject value = event.value(QStringLiteral("VALUE")).toObject();
            if (event.value(QStringLiteral("EVENT")).toString() == QLatin1String("FLIGHT_STATE") &&
                value.value(QStringLiteral("AIRCRAFT")).toString() == aircraft) {
                latitude = value.value(QStringLiteral("HOME_LATI")).toDouble();
                longitude = value.value(QStringLiteral("HOME_LONTI")).toDouble();
                found = true;
            }
        });
    if (!waitFor([&]() { return found; }, 10000))
        fail(QStringLiteral("no FLIGHT_STATE from ") + aircraft);
    QObject::disconnect(connection);
    return {latitude, longitude};
}

// A survey-sized mission: waypoints on a circle of 300 m around home, each
// with a stay, a photo and a gimbal pitch.
QJsonObject missionAround(double latitude, double longitude, int count) {
    QJsonArray points;
    for (int i = 0; i < count; ++i) {
        const double angle = 2 * Pi * i / count;
        const QJsonArray commands{
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_STAY"}, {"PARAM_VALUE", "2"}},
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_SIMPLE_SHOT"}, {"PARAM_VALUE", "0"}},
            QJsonObject{{"ACTION_TYPE", "WP_ACTION_GIMBAL_PITCH"}, {"PARAM_VALUE", "-45"}}};
        points.append(QJsonObject{
            {"INDEX", i},
            {"LATI", latitude + 300 * std::cos(angle) / EarthRadius},
            {"LONTI", longitude + 300 * std::sin(angle) / (EarthRadius * std::cos(latitude))},
            {"ALTI", 60.0},
            {"DAMPING_DIS", 2.0},
            {"TGT_YAW", 90},
            {"TGT_GIMBAL_PITCH", -30},
            {"TURN_MODE", 0},
            {"HAS_SPEED", 1},
            {"SPEED", 8.5},
            {"HAS_ACTION", 1},
            {"ACTION_TIME_LIMIT", 100},
            {"ACTION",
             QJsonObject{{"ACTION_NUM", 3}, {"ACTION_RPT", 1}, {"COMMAND_LIST", commands}}}});
    }
    return QJsonObject{{"LENGTH", count},       {"VEL_CMD_RANGE", 15},    {"IDLE_VEL", 8},
                       {"ACTION_ON_FINISH", 1}, {"MISSION_EXEC_NUM", 1},  {"YAW_MODE", 0},
                       {"TRACE_MODE", 0},       {"ACTION_ON_RC_LOST", 1}, {"GIMBAL_PITCH_MODE", 1},
                       {"HP_LATI", latitude},   {"HP_LONTI", longitude},  {"HP_ALTI", 0.0},
                       {"GOTO_FIRST", 1},       {"WAY_POINTS", points}};
}

void runCalls(Caller &caller, int count) {
    bool done = false;
    caller.start(count, [&]() { done = true; });
    if (!waitFor([&]() { return done; }, 600000))
        fail(QStringLiteral("no reply within the time limit"));
}

void print(const QJsonObject &figures) {
    std::printf("%s\n", QJsonDocument(figures).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QJsonObject latencyFigures(const Caller &caller, int count, double seconds) {
    return {{"p50_us", percentile(caller.latenciesNs, 0.50) / 1e3},
            {"p99_us", percentile(caller.latenciesNs, 0.99) / 1e3},
            {"per_s", count / seconds},
            {"failures", caller.failures}};
}

// With a baseline, blocks of calls alternate between the two paths, so both
// see the same share of whatever else the machine is doing.
void single(const QString &url, const QString &baselineUrl, const QString &aircraft, int count,
            bool needSuccess) {
    constexpr int Blocks = 20;
    auto socket = openSocket(url);
    Caller caller(socket.get(), flyLimitRequest(aircraft), QStringLiteral("s"), needSuccess);
    std::unique_ptr<QWebSocket> baselineSocket;
    std::unique_ptr<Caller> baseline;
    if (!baselineUrl.isEmpty()) {
        baselineSocket = openSocket(baselineUrl);
        baseline = std::make_unique<Caller>(baselineSocket.get(), flyLimitRequest(aircraft),
                                            QStringLiteral("b"), false);
        runCalls(*baseline, std::min(500, count));
        baseline->latenciesNs.clear();
    }
    runCalls(caller, std::min(500, count));
    caller.latenciesNs.clear();
    const int block = std::max(1, count / Blocks);
    qint64 callerNs = 0, baselineNs = 0;
    QElapsedTimer wall;
    for (int done = 0; done < count; done += block) {
        wall.start();
        runCalls(caller, block);
        callerNs += wall.nsecsElapsed();
        if (baseline) {
            wall.start();
            runCalls(*baseline, block);
            baselineNs += wall.nsecsElapsed();
        }
    }
    const int made = int(caller.latenciesNs.size());
    QJsonObject figures = latencyFigures(caller, made, callerNs / 1e9);
    figures.insert("count", made);
    if (baseline) {
        const QJsonObject other = latencyFigures(*baseline, made, baselineNs / 1e9);
        for (auto it = other.begin(); it != other.end(); ++it)
            if (it.key() != QLatin1String("failures"))
                figures.insert(QStringLiteral("baseline_") + it.key(), it.value());
    }
    print(figures);
}

void concurrent(const QString &url, const QString &aircraft, int clients, int count,
                bool needSuccess) {
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<std::unique_ptr<Caller>> callers;
    for (int i = 0; i < clients; ++i) {
        sockets.push_back(openSocket(url));
        callers.push_back(std::make_unique<Caller>(sockets.back().get(), flyLimitRequest(aircraft),
                                                   QStringLiteral("c%1-").arg(i), needSuccess));
    }
    const int each = count / clients;
    QElapsedTimer wall;
    wall.start();
    for (auto &caller : callers)
        caller->start(each, nullptr);
    const bool done = waitFor(
        [&]() {
            return std::none_of(callers.begin(), callers.end(),
                                [](const auto &caller) { return caller->busy(); });
        },
        600000);
    if (!done)
        fail(QStringLiteral("no reply within the time limit"));
    const double seconds = wall.nsecsElapsed() / 1e9;
    int failures = 0;
    std::vector<qint64> all;
    for (const auto &caller : callers) {
        failures += caller->failures;
        all.insert(all.end(), caller->latenciesNs.begin(), caller->latenciesNs.end());
    }
    print({{"clients", clients},
           {"per_s", each * clients / seconds},
           {"p50_us", percentile(all, 0.50) / 1e3},
           {"p99_us", percentile(all, 0.99) / 1e3},
           {"failures", failures}});
}

void upload(const QString &url, const QString &aircraft, int repeats, int waypoints) {
    auto push = openSocket(url + QStringLiteral("/push"));
    const auto [latitude, longitude] = homeOf(push.get(), aircraft);
    QJsonObject request{
        {"CMD", "UploadWayLineMission"},
        {"SEQ", "@SEQ@"},
        {"VALUE", QJsonObject{{"AIRCRAFT", aircraft},
                              {"WAYLINE", missionAround(latitude, longitude, waypoints)}}}};
    auto socket = openSocket(url);
    Caller uploader(socket.get(), compact(request), QStringLiteral("u"), true);
    Caller single(socket.get(), flyLimitRequest(aircraft), QStringLiteral("r"), true);
    // Warm-up of both paths.
    runCalls(single, 50);
    runCalls(uploader, 1);
    std::vector<qint64> uploads, singles;
    QElapsedTimer clock;
    for (int i = 0; i < repeats; ++i) {
        clock.start();
        runCalls(single, waypoints + 1);
        singles.push_back(clock.nsecsElapsed());
        clock.start();
        runCalls(uploader, 1);
        uploads.push_back(clock.nsecsElapsed());
    }
    const double uploadMs = percentile(uploads, 0.5) / 1e6;
    const double singlesMs = percentile(singles, 0.5) / 1e6;
    print({{"upload_ms", uploadMs},
           {"singles_ms", singlesMs},
           {"ratio", uploadMs / singlesMs},
           {"failures", uploader.failures + single.failures}});
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Command round trips through the host."));
    parser.addHelpOption();
    const QCommandLineOption urlOption(QStringLiteral("url"), QStringLiteral("Command path."),
                                       QStringLiteral("url"),
                                       QStringLiteral("ws://127.0.0.1:19870/groundstation"));
    const QCommandLineOption modeOption(QStringLiteral("mode"),
                                        QStringLiteral("single, concurrent or upload."),
                                        QStringLiteral("mode"), QStringLiteral("single"));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Round trips (uploads in upload mode)."),
                                         QStringLiteral("n"), QStringLiteral("20000"));
    const QCommandLineOption clientsOption(QStringLiteral("clients"),
                                           QStringLiteral("Clients in concurrent mode."),
                                           QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption aircraftOption(
        QStringLiteral("aircraft"),
        QStringLiteral("Serial number to address; without it, the first one listed. Replies "
                       "then need not succeed (a bare relay echoes)."),
        QStringLiteral("serial"));
    const QCommandLineOption baselineOption(
        QStringLiteral("baseline-url"),
        QStringLiteral("In single mode, a bare relay to alternate with (replies echo)."),
        QStringLiteral("url"));
    parser.addOptions(
        {urlOption, modeOption, countOption, clientsOption, aircraftOption, baselineOption});
    parser.process(app);

    const QString url = parser.value(urlOption);
    const QString mode = parser.value(modeOption);
    const int count = parser.value(countOption).toInt();
    const bool relay = parser.isSet(aircraftOption);
    const QString aircraft = relay ? parser.value(aircraftOption) : firstAircraft(url);
    if (count <= 0)
        fail(QStringLiteral("--count must be positive"));
    if (mode == QLatin1String("single"))
        single(url, parser.value(baselineOption), aircraft, count, !relay);
    else if (mode == QLatin1String("concurrent"))
        concurrent(url, aircraft, std::max(1, parser.value(clientsOption).toInt()), count, !relay);
    else if (mode == QLatin1String("upload"))
        upload(url, aircraft, count, 50);
    else
        fail(QStringLiteral("unknown mode ") + mode);
    return 0;
}
