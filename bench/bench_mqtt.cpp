// The subscriber of the MQTT fleet benchmark: one client of the broker that
// takes every station's FLIGHT_STATE, waits until each of --aircraft aircraft
// has reported (at most --warmup s), then for --seconds times each message
// from its STAMP (the simulator's steady clock) to its receipt here.
//
// Prints "MEASURE_START" and "MEASURE_END" around the window, then one JSON line.

#include "benchsupport.h"
#include "mqttclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

qint64 steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double percentileMs(std::vector<qint64> &values, double fraction) {
    if (values.empty())
        return -1;
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return double(values[index]) / 1e3;
}

// The number after "STAMP": (which Qt may write with an exponent), without
// parsing the whole message.
qint64 readStamp(const QByteArray &payload) {
    const int at = payload.indexOf("\"STAMP\":");
    int end = at + 8;
    while (at >= 0 && end < payload.size() && std::strchr("0123456789.eE+-", payload.at(end)))
        ++end;
    return at < 0 ? -1 : qint64(payload.mid(at + 8, end - at - 8).toDouble());
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bench_mqtt"));
    QCommandLineParser parser;
    const QCommandLineOption port("port", "Broker port on 127.0.0.1.", "port");
    const QCommandLineOption aircraftOption("aircraft", "Aircraft of all stations.", "n");
    const QCommandLineOption warmup("warmup", "Seconds to wait for every aircraft.", "s", "120");
    const QCommandLineOption secondsOption("seconds", "Measuring window.", "s", "10");
    parser.addOptions({port, aircraftOption, warmup, secondsOption});
    parser.process(app);
    const int aircraft = parser.value(aircraftOption).toInt();

    MqttClient::Settings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = parser.value(port).toUShort();
    MqttClient client(settings);
    QSet<QString> reported;
    bool measuring = false;
    std::vector<qint64> latencies;
    QObject::connect(&client, &MqttClient::connected, &client, [&client]() {
        client.subscribe(QStringLiteral("oru/+/aircraft/+/FLIGHT_STATE"), 0);
    });
    QObject::connect(&client, &MqttClient::messageReceived, &client,
                     [&](const MqttClient::Message &message) {
                         if (!measuring) {
                             reported.insert(message.topic);
                             return;
                         }
                         const qint64 stamp = readStamp(message.payload);
                         if (stamp > 0)
                             latencies.push_back(steadyMicros() - stamp);
                     });
    QString error;
    if (!client.start(&error))
        fail(error);
    QElapsedTimer startUp;
    startUp.start();
    waitFor([&]() { return reported.size() >= aircraft; },
            parser.value(warmup).toLongLong() * 1000);
    std::fprintf(stderr, "bench_mqtt: %d of %d aircraft reported after %.1f s\n",
                 int(reported.size()), aircraft, startUp.elapsed() / 1e3);

    std::printf("MEASURE_START\n");
    std::fflush(stdout);
    measuring = true;
    QElapsedTimer window;
    window.start();
    runFor(parser.value(secondsOption).toLongLong() * 1000);
    measuring = false;
    const double seconds = window.nsecsElapsed() / 1e9;
    std::printf("MEASURE_END\n");
    std::fflush(stdout);

    const double received = double(latencies.size());
    const QJsonObject figures{{"aircraft", aircraft},
                              {"reported", int(reported.size())},
                              {"seconds", seconds},
                              {"received", received},
                              // 10 Hz per aircraft.
                              {"delivered_share", received / (aircraft * 10.0 * seconds)},
                              {"relay_p50_ms", percentileMs(latencies, 0.50)},
                              {"relay_p99_ms", percentileMs(latencies, 0.99)}};
    std::printf("%s\n", QJsonDocument(figures).toJson(QJsonDocument::Compact).constData());
    return 0;
}
