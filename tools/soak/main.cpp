// `make soak`: many simulated aircraft and busy web clients on the host. Prints resident
// memory and replies against requests as it goes; fails on a lost reply or growing memory.

#include "benchsupport.h"
#include "hostprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 LostAfterMs = 30000; // a later reply counts as lost

struct Client {
    std::unique_ptr<QWebSocket> socket;
    QHash<QString, qint64> waiting; // SEQ -> when sent, ms into the run
};

// A missing wayline or no mission to cancel is an answer all the same.
QJsonObject randomRequest(const QStringList &serials) {
    auto *random = QRandomGenerator::global();
    const QString &aircraft = serials.at(random->bounded(serials.size()));
    const QString wayline = QStringLiteral("soak%1").arg(random->bounded(20));
    const QList<QPair<QString, QJsonObject>> commands{
        {"GetAircraftList", {}},
        {"GetFlyLimit", {{"AIRCRAFT", aircraft}}},
        {"SetNavigationMode", {{"AIRCRAFT", aircraft}, {"NAVIGATION_MODE", 0}}},
        {"GetNoflyZone", {{"LATI", 0.8272}, {"LONTI", 0.1491}}},
        {"WayLineList", {}},
        {"SaveWayline", {{"WAYLINE_NAME", wayline}, {"WAYLINE", smallMission()}}},
        {"GetWayLine", {{"WAYLINE", wayline}}},
        {"DownloadWayLineMission", {{"AIRCRAFT", aircraft}}},
        {"UploadWayLineMission", {{"AIRCRAFT", aircraft}, {"WAYLINE", smallMission()}}},
        {"StartOrCancelWayLineMission", {{"AIRCRAFT", aircraft}, {"GO_STOP", 1}}}};
    const auto &command = commands.at(random->bounded(commands.size()));
    return {{"CMD", command.first}, {"VALUE", command.second}};
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"host", "The oru-host binary.", "path", ORU_HOST_BINARY},
                       {"minutes", "How long.", "n", "10"},
                       {"aircraft", "Simulated aircraft.", "n", "100"},
                       {"clients", "Web clients.", "n", "10"}});
    parser.process(app);
    const int minutes = qMax(1, parser.value("minutes").toInt());
    const int fleet = qBound(1, parser.value("aircraft").toInt(), 128);
    // Sized once, so the clients never move under the handlers that hold them.
    std::vector<Client> clients(qBound(1, parser.value("clients").toInt(), 100));

    auto host = std::make_unique<HostProcess>();
    const auto stopAndFail = [&host](const QString &why) {
        const QByteArray output = host->output().right(4000);
        host.reset(); // fail() exits at once; the host and its home go first
        fail(why + '\n' + output);
    };
    if (!host->launch({"--simulate", "0"}, parser.value("host")))
        stopAndFail("the host did not start");
    qint64 requests = 0, replies = 0, failures = 0, lost = 0, pushes = 0;
    QStringList serials;
    auto push = openSocket("ws://127.0.0.1:19870/groundstation/push");
    QObject::connect(push.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
        ++pushes;
        if (serials.size() < fleet && text.contains("\"EVENT\":\"CONNECT\""))
            serials.append(aircraftOf(QJsonDocument::fromJson(text.toUtf8()).object()));
    });
    for (int i = 0; i < fleet; ++i)
        if (!isSuccess(host->admin("AttachDevice")))
            stopAndFail(QString("attaching aircraft %1 failed").arg(i));
    if (!waitFor([&]() { return serials.size() >= fleet; }, 120000))
        stopAndFail(QString("only %1 of %2 aircraft connected").arg(serials.size()).arg(fleet));

    QElapsedTimer clock;
    bool stopping = false;
    const auto sendNext = [&](Client &client) {
        QJsonObject request = randomRequest(serials);
        request.insert("SEQ", QString("s%1").arg(++requests));
        client.waiting.insert(request.value("SEQ").toString(), clock.elapsed());
        client.socket->sendTextMessage(QJsonDocument(request).toJson(QJsonDocument::Compact));
    };
    clock.start();
    for (Client &client : clients) {
        client.socket = openSocket("ws://127.0.0.1:19870/groundstation");
        QObject::connect(client.socket.get(), &QWebSocket::textMessageReceived,
                         [&](const QString &text) {
                             const auto reply = QJsonDocument::fromJson(text.toUtf8()).object();
                             if (!client.waiting.remove(reply.value("SEQ").toString()))
                                 return;
                             ++replies;
                             failures += reply.value("ERROR") != "SUCCESS";
                             if (!stopping)
                                 sendNext(client);
                         });
        sendNext(client);
    }

    QVector<qint64> resident; // KiB, one sample per report
    const auto report = [&]() {
        const qint64 now = clock.elapsed();
        qint64 overdue = 0;
        for (const Client &client : clients)
            overdue += std::count_if(client.waiting.begin(), client.waiting.end(),
                                     [&](qint64 sent) { return now - sent > LostAfterMs; });
        resident.append(host->residentKiB());
        std::printf("%8lld %12lld %10lld %10lld %9lld %6lld %10lld\n", now / 1000, resident.last(),
                    requests, replies, failures, qMax(lost, overdue), pushes);
        std::fflush(stdout);
    };
    std::printf("soak: %d aircraft, %zu clients, %d minutes\n%8s %12s %10s %10s %9s %6s %10s\n",
                fleet, clients.size(), minutes, "seconds", "resident_KiB", "requests", "replies",
                "failures", "lost", "pushes");
    report();
    const auto died = [&]() { return host->state() != QProcess::Running; };
    for (qint64 at = 10000; at <= qint64(minutes) * 60000 && !died(); at += 10000) {
        waitFor([&]() { return died() || clock.elapsed() >= at; }, 11000);
        report();
    }

    // Let the last requests come home before counting; no new ones go out.
    stopping = true;
    waitFor([&]() { return replies == requests; }, LostAfterMs);
    lost = requests - replies; // a reply counts only once, against a request still waiting
    report();
    if (died())
        stopAndFail("the host died");

    // Flat: the last quarter's peak within 10 % (and 16 MiB of slack) of the
    // peak after warm-up, the first quarter.
    const int quarter = std::max(1, int(resident.size() / 4));
    const qint64 early = *std::max_element(resident.begin(), resident.begin() + quarter);
    const qint64 late = *std::max_element(resident.end() - quarter, resident.end());
    const bool flat = late <= early + early / 10 + 16 * 1024;
    std::printf("soak: %lld lost, resident %lld KiB early, %lld KiB late: %s\n", lost, early, late,
                flat ? "flat" : "GROWING");
    return lost == 0 && flat ? 0 : 1;
}
