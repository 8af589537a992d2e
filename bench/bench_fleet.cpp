// Push-client side of the fleet benchmark: waits until the host lists the
// whole fleet, lets it settle, then for a fixed time measures the relay
// latency of "FLIGHT_STATE" (the controller's "STAMP" against this process's
// steady clock), the events delivered, and every "DISCONNECT". Nothing is
// silenced during the run, so each "DISCONNECT" is a false loss.
//
// Prints "MEASURE_START" and "MEASURE_END" as the window opens and closes (the
// driver samples the host's CPU time there), then one JSON object.

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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

qint64 steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// -1 ms when nothing arrived: the host fell so far behind that no event got through.
double percentile(std::vector<qint64> &values, double fraction) {
    if (values.empty())
        return -1e3;
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return double(values[index]);
}

// The number after `"STAMP":`, read without parsing the whole message: the
// reader must stay cheap beside the host it measures on the same cores.
bool readStamp(const QString &text, double &stamp) {
    static const QLatin1String key("\"STAMP\":");
    const int at = text.indexOf(key);
    if (at < 0)
        return false;
    QByteArray digits;
    for (int i = at + key.size(); i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!(c.isDigit() || c == QLatin1Char('.') || c == QLatin1Char('e') ||
              c == QLatin1Char('E') || c == QLatin1Char('+') || c == QLatin1Char('-')))
            break;
        digits.append(char(c.unicode()));
    }
    bool ok = false;
    stamp = digits.toDouble(&ok);
    return ok;
}

struct Tally {
    bool measuring = false;
    qint64 events = 0;
    qint64 flightStates = 0;
    int disconnects = 0;
    std::vector<qint64> latenciesUs;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fleet relay latency through the host."));
    parser.addHelpOption();
    const QCommandLineOption urlOption(
        QStringLiteral("url"), QStringLiteral("Command path; push clients use <url>/push."),
        QStringLiteral("url"), QStringLiteral("ws://127.0.0.1:19870/groundstation"));
    const QCommandLineOption aircraftOption(
        QStringLiteral("aircraft"), QStringLiteral("Fleet size to wait for."), QStringLiteral("n"));
    const QCommandLineOption clientsOption(QStringLiteral("clients"),
                                           QStringLiteral("Push clients."), QStringLiteral("n"),
                                           QStringLiteral("2"));
    const QCommandLineOption warmupOption(QStringLiteral("warmup"),
                                          QStringLiteral("Seconds before measuring."),
                                          QStringLiteral("s"), QStringLiteral("3"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Seconds measured."), QStringLiteral("s"),
                                           QStringLiteral("10"));
    const QCommandLineOption readyOption(QStringLiteral("ready-timeout"),
                                         QStringLiteral("Seconds to wait for the whole fleet."),
                                         QStringLiteral("s"), QStringLiteral("120"));
    parser.addOptions(
        {urlOption, aircraftOption, clientsOption, warmupOption, secondsOption, readyOption});
    parser.process(app);
    const QString url = parser.value(urlOption);
    const int fleet = parser.value(aircraftOption).toInt();
    if (fleet <= 0)
        fail(QStringLiteral("--aircraft must be positive"));

    // Push clients first, so no "DISCONNECT" of the start-up goes unseen.
    Tally tally;
    int dropped = 0;
    std::vector<std::unique_ptr<QWebSocket>> pushes;
    for (int i = 0; i < std::max(1, parser.value(clientsOption).toInt()); ++i) {
        pushes.push_back(openSocket(url + QStringLiteral("/push")));
        // The host closes a push client whose unread output grows too large.
        QObject::connect(pushes.back().get(), &QWebSocket::disconnected, [&dropped]() {
            ++dropped;
            std::fprintf(stderr, "bench_fleet: the host closed a push client\n");
        });
        QObject::connect(pushes.back().get(), &QWebSocket::textMessageReceived,
                         [&tally](const QString &text) {
                             if (text.contains(QLatin1String("\"EVENT\":\"DISCONNECT\""))) {
                                 ++tally.disconnects;
                                 std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(text));
                             }
                             if (!tally.measuring)
                                 return;
                             ++tally.events;
                             double stamp = 0;
                             if (readStamp(text, stamp)) {
                                 ++tally.flightStates;
                                 tally.latenciesUs.push_back(steadyMicros() - qint64(stamp));
                             }
                         });
    }

    auto command = openSocket(url);
    int listed = 0;
    QObject::connect(command.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        listed = QJsonDocument::fromJson(text.toUtf8())
                     .object()
                     .value(QStringLiteral("VALUE"))
                     .toArray()
                     .size();
    });
    QElapsedTimer startUp;
    startUp.start();
    const qint64 readyMs = parser.value(readyOption).toLongLong() * 1000;
    while (listed < fleet && startUp.elapsed() < readyMs) {
        command->sendTextMessage(QStringLiteral("{\"CMD\":\"GetAircraftList\",\"SEQ\":\"list\"}"));
        const int before = listed;
        waitFor([&]() { return listed != before; }, 500);
        runFor(200);
    }
    const double readySeconds = startUp.elapsed() / 1e3;
    std::fprintf(stderr, "bench_fleet: %d of %d aircraft listed after %.1f s\n", listed, fleet,
                 readySeconds);

    runFor(parser.value(warmupOption).toLongLong() * 1000);
    const int disconnectsBefore = tally.disconnects;
    std::printf("MEASURE_START\n");
    std::fflush(stdout);
    tally.measuring = true;
    QElapsedTimer window;
    window.start();
    runFor(parser.value(secondsOption).toLongLong() * 1000);
    tally.measuring = false;
    const double seconds = window.nsecsElapsed() / 1e9;
    std::printf("MEASURE_END\n");
    std::fflush(stdout);

    const double clients = double(pushes.size());
    const QJsonObject figures{
        {"aircraft", fleet},
        {"listed", listed},
        {"ready_s", readySeconds},
        {"seconds", seconds},
        {"events_per_s", tally.events / seconds},
        {"flight_states_per_s", tally.flightStates / seconds},
        // 10 Hz per aircraft to every push client.
        {"flight_states_expected_per_s", fleet * 10.0 * clients},
        {"relay_p50_ms", percentile(tally.latenciesUs, 0.50) / 1e3},
        {"relay_p99_ms", percentile(tally.latenciesUs, 0.99) / 1e3},
        {"relay_max_ms",
         tally.latenciesUs.empty()
             ? -1.0
             : double(*std::max_element(tally.latenciesUs.begin(), tally.latenciesUs.end())) / 1e3},
        {"false_disconnects", tally.disconnects},
        {"false_disconnects_in_window", tally.disconnects - disconnectsBefore},
        {"push_clients_closed", dropped}};
    std::printf("%s\n", QJsonDocument(figures).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    for (auto &push : pushes)
        push->disconnect();
    return 0;
}
