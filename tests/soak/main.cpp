// `make soak`: the host with many simulated aircraft and web clients that keep
// issuing commands. Prints resident memory and replies against requests as it
// goes; fails on a lost reply or resident memory that keeps growing.

#include "benchsupport.h"
#include "hostprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

namespace {

// A reply later than this is counted as lost.
constexpr qint64 LostAfterMs = 30000;

struct Client {
    std::unique_ptr<QWebSocket> socket;
    QHash<QString, qint64> waiting; // SEQ -> when sent, ms into the run
    int next = 0;
};

struct Tally {
    qint64 requests = 0, replies = 0, failures = 0, lost = 0, pushes = 0;
};

// A missing wayline or no mission to cancel is an answer all the same.
QJsonObject randomRequest(const QStringList &serials) {
    auto *random = QRandomGenerator::global();
    const QString aircraft = serials.at(random->bounded(serials.size()));
    const QString wayline = QStringLiteral("soak%1").arg(random->bounded(20));
    const std::pair<const char *, QJsonObject> commands[] = {
        {"GetAircraftList", {}},
        {"GetFlyLimit", {{"AIRCRAFT", aircraft}}},
        {"SetNavigationMode", {{"AIRCRAFT", aircraft}, {"NAVIGATION_MODE", 0}}},
        {"GetNoflyZone", {{"LATI", 0.8272}, {"LONTI", 0.1491}}},
        {"WayLineList", {}},
        {"SaveWayline", {{"WAYLINE_NAME", wayline}, {"WAYLINE", smallMission()}}},
        {"GetWayLine", {{"WAYLINE", wayline}}},
        {"DownloadWayLineMission", {{"AIRCRAFT", aircraft}}},
        {"UploadWayLineMission", {{"AIRCRAFT", aircraft}, {"WAYLINE", smallMission()}}},
        {"StartOrCancelWayLineMission", {{"AIRCRAFT", aircraft}, {"GO_STOP", 1}}},
    };
    const auto &command = commands[random->bounded(int(std::size(commands)))];
    QJsonObject request{{"CMD", command.first}};
    if (!command.second.isEmpty())
        request.insert("VALUE", command.second);
    return request;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Runs the host with many simulated aircraft and busy web clients for a long time.");
    parser.addHelpOption();
    const QCommandLineOption hostOption("host", "The oru-host binary.", "path", ORU_HOST_BINARY);
    const QCommandLineOption minutesOption("minutes", "How long.", "n", "10");
    const QCommandLineOption aircraftOption("aircraft", "Simulated aircraft.", "n", "100");
    const QCommandLineOption clientsOption("clients", "Web clients.", "n", "10");
    parser.addOptions({hostOption, minutesOption, aircraftOption, clientsOption});
    parser.process(app);
    const int minutes = qMax(1, parser.value(minutesOption).toInt());
    const int fleet = qBound(1, parser.value(aircraftOption).toInt(), 128);
    const int clientCount = qBound(1, parser.value(clientsOption).toInt(), 100);

    auto host = std::make_unique<HostProcess>();
    // fail() exits at once; the host and its home go first.
    const auto stopAndFail = [&host](const QString &why) {
        const QByteArray output = host->output().right(4000);
        host.reset();
        fail(why + '\n' + output);
    };
    if (!host->launch({"--simulate", "0"}, parser.value(hostOption)))
        stopAndFail("the host did not start");
    Tally tally;
    QStringList serials;
    auto push = openSocket("ws://127.0.0.1:19870/groundstation/push");
    QObject::connect(push.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        ++tally.pushes;
        if (serials.size() < fleet && text.contains("\"EVENT\":\"CONNECT\""))
            serials.append(aircraftOf(QJsonDocument::fromJson(text.toUtf8()).object()));
    });
    for (int i = 0; i < fleet; ++i) {
        if (!isSuccess(host->admin("AttachDevice")))
            stopAndFail(QString("attaching aircraft %1 failed").arg(i));
    }
    if (!waitFor([&]() { return serials.size() >= fleet; }, 120000))
        stopAndFail(QString("only %1 of %2 aircraft connected").arg(serials.size()).arg(fleet));

    QElapsedTimer clock;
    bool stopping = false;
    std::vector<std::unique_ptr<Client>> clients;
    const auto sendNext = [&](Client &client) {
        QJsonObject request = randomRequest(serials);
        const QString seq = QString("s%1").arg(++client.next);
        request.insert("SEQ", seq);
        client.waiting.insert(seq, clock.elapsed());
        ++tally.requests;
        client.socket->sendTextMessage(QJsonDocument(request).toJson(QJsonDocument::Compact));
    };
    clock.start();
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(std::make_unique<Client>());
        Client *client = clients.back().get();
        client->socket = openSocket("ws://127.0.0.1:19870/groundstation");
        QObject::connect(client->socket.get(), &QWebSocket::textMessageReceived,
                         [&, client](const QString &text) {
                             const QJsonObject reply =
                                 QJsonDocument::fromJson(text.toUtf8()).object();
                             if (!client->waiting.remove(reply.value("SEQ").toString()))
                                 return;
                             ++tally.replies;
                             tally.failures += reply.value("ERROR") != "SUCCESS";
                             if (!stopping)
                                 sendNext(*client);
                         });
        sendNext(*client);
    }

    QVector<qint64> resident; // KiB, one sample per report
    const auto report = [&]() {
        const qint64 now = clock.elapsed();
        qint64 overdue = 0;
        for (const auto &client : clients) {
            for (const qint64 sent : qAsConst(client->waiting))
                overdue += now - sent > LostAfterMs;
        }
        resident.append(host->residentKiB());
        std::printf("%8lld %12lld %10lld %10lld %9lld %6lld %10lld\n", now / 1000, resident.last(),
                    tally.requests, tally.replies, tally.failures, tally.lost + overdue,
                    tally.pushes);
        std::fflush(stdout);
    };
    std::printf("soak: %d aircraft, %d clients, %d minutes\n", fleet, clientCount, minutes);
    std::printf("%8s %12s %10s %10s %9s %6s %10s\n", "seconds", "resident_KiB", "requests",
                "replies", "failures", "lost", "pushes");
    report();
    QTimer reportTimer;
    QObject::connect(&reportTimer, &QTimer::timeout, report);
    reportTimer.start(10000);
    waitFor([&]() { return host->state() != QProcess::Running; }, qint64(minutes) * 60000);

    // Let the last requests come home before counting; no new ones go out.
    stopping = true;
    waitFor(
        [&]() {
            return std::all_of(clients.begin(), clients.end(),
                               [](const auto &client) { return client->waiting.isEmpty(); });
        },
        LostAfterMs);
    for (const auto &client : clients)
        tally.lost += client->waiting.size();
    report();
    if (host->state() != QProcess::Running)
        stopAndFail("the host died");

    // Flat: the last quarter's peak within 10 % (and 16 MiB of slack) of the
    // peak after warm-up, the first quarter.
    const int quarter = std::max(1, int(resident.size() / 4));
    const qint64 early = *std::max_element(resident.begin(), resident.begin() + quarter);
    const qint64 late = *std::max_element(resident.end() - quarter, resident.end());
    const bool flat = late <= early + early / 10 + 16 * 1024;
    std::printf("soak: %lld requests, %lld replies, %lld lost; resident %lld KiB early, %lld KiB "
                "late: %s\n",
                tally.requests, tally.replies, tally.lost, early, late, flat ? "flat" : "GROWING");
    for (const auto &client : clients)
        client->socket->close();
    push->close();
    host.reset();
    return tally.lost == 0 && tally.replies == tally.requests && flat ? 0 : 1;
}
