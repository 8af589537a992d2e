#include "soakrun.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int ReportIntervalMs = 10000;
// A reply later than this is counted as lost.
constexpr qint64 LostAfterMs = 30000;

QJsonObject mission(int points) {
    QJsonArray list;
    for (int i = 0; i < points; ++i) {
        list.append(QJsonObject{{QStringLiteral("INDEX"), i},
                                {QStringLiteral("LATI"), 0.8272 + i * 1e-5},
                                {QStringLiteral("LONTI"), 0.1491},
                                {QStringLiteral("ALTI"), 30},
                                {QStringLiteral("HAS_ACTION"), 0}});
    }
    return {{QStringLiteral("LENGTH"), points},
            {QStringLiteral("IDLE_VEL"), 5},
            {QStringLiteral("HP_LATI"), 0.8272},
            {QStringLiteral("HP_LONTI"), 0.1491},
            {QStringLiteral("WAY_POINTS"), list}};
}

} // namespace

SoakRun::SoakRun(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options) {
    m_reportTimer.setInterval(ReportIntervalMs);
    connect(&m_reportTimer, &QTimer::timeout, this, &SoakRun::report);
    connect(&m_push, &QWebSocket::textMessageReceived, this, [this]() { ++m_pushes; });
}

SoakRun::~SoakRun() = default;

bool SoakRun::attachAircraft() {
    QStringList connected;
    auto onConnect =
        connect(&m_push, &QWebSocket::textMessageReceived, this, [&connected](const QString &text) {
            const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
            if (event.value(QStringLiteral("EVENT")).toString() == QLatin1String("CONNECT"))
                connected.append(event.value(QStringLiteral("VALUE"))
                                     .toObject()
                                     .value(QStringLiteral("AIRCRAFT"))
                                     .toString());
        });
    for (int i = 0; i < m_options.aircraft; ++i) {
        const auto reply = m_host.admin(QStringLiteral("AttachDevice"));
        if (!reply ||
            reply->value(QStringLiteral("ERROR")).toString() != QLatin1String("SUCCESS")) {
            std::fprintf(stderr, "soak: attaching aircraft %d failed: %s\n", i,
                         qPrintable(describeReply(reply)));
            return false;
        }
    }
    const bool all =
        QTest::qWaitFor([&]() { return connected.size() >= m_options.aircraft; }, 120000);
    disconnect(onConnect);
    m_serials = connected;
    if (!all)
        std::fprintf(stderr, "soak: only %d of %d aircraft connected\n", int(connected.size()),
                     m_options.aircraft);
    return all;
}

int SoakRun::run() {
    const QStringList arguments{QStringLiteral("--simulate"), QStringLiteral("0"),
                                QStringLiteral("--sim-speed"), QString::number(m_options.simSpeed)};
    if (!m_host.launch(arguments, m_options.host)) {
        std::fprintf(stderr, "soak: the host did not start:\n%s\n", m_host.output().constData());
        return 1;
    }
    m_push.open(QUrl(QStringLiteral("ws://127.0.0.1:19870/groundstation/push")));
    if (!QTest::qWaitFor([this]() { return m_push.state() == QAbstractSocket::ConnectedState; },
                         10000) ||
        !attachAircraft())
        return 1;

    for (int i = 0; i < m_options.clients; ++i) {
        auto client = std::make_unique<Client>();
        Client *raw = client.get();
        connect(&raw->socket, &QWebSocket::textMessageReceived, this,
                [this, raw](const QString &text) { onReply(*raw, text); });
        connect(&raw->socket, &QWebSocket::connected, this, [this, raw]() { sendNext(*raw); });
        raw->socket.open(QUrl(QStringLiteral("ws://127.0.0.1:19870/groundstation")));
        m_clients.push_back(std::move(client));
    }
    std::printf("soak: %d aircraft, %d clients, %d minutes\n", int(m_serials.size()),
                m_options.clients, m_options.minutes);
    std::printf("%8s %12s %10s %10s %9s %6s %10s\n", "seconds", "resident_KiB", "requests",
                "replies", "failures", "lost", "pushes");
    m_clock.start();
    report();
    m_reportTimer.start();
    const qint64 end = qint64(m_options.minutes) * 60000;
    (void)QTest::qWaitFor(
        [&]() { return m_clock.elapsed() >= end || m_host.state() != QProcess::Running; },
        int(end + 1000));

    // Let the last requests come home before counting; no new ones go out.
    m_stopping = true;
    (void)QTest::qWaitFor(
        [this]() {
            return std::all_of(m_clients.begin(), m_clients.end(),
                               [](const auto &c) { return c->waiting.isEmpty(); });
        },
        int(LostAfterMs));
    for (auto &client : m_clients)
        m_lost += client->waiting.size();
    report();

    const bool alive = m_host.state() == QProcess::Running;
    // Flat: the last quarter's peak within 10 % (and 16 MiB of slack) of
    // the peak after warm-up (the first quarter).
    const int quarter = std::max(1, int(m_resident.size() / 4));
    const qint64 early = *std::max_element(m_resident.begin(), m_resident.begin() + quarter);
    const qint64 late = *std::max_element(m_resident.end() - quarter, m_resident.end());
    const bool flat = late <= early + early / 10 + 16 * 1024;
    std::printf("soak: %lld requests, %lld replies, %lld lost; resident %lld KiB early, %lld KiB "
                "late: %s\n",
                m_requests, m_replies, m_lost, early, late, flat ? "flat" : "GROWING");
    for (auto &client : m_clients)
        client->socket.close();
    m_push.close();
    m_host.stop();
    if (!alive) {
        std::fprintf(stderr, "soak: the host died:\n%s\n", m_host.output().right(4000).constData());
        return 1;
    }
    return (m_lost == 0 && m_replies == m_requests && flat) ? 0 : 1;
}

QJsonObject SoakRun::randomCommand(QString &cmd) {
    auto *random = QRandomGenerator::global();
    const QString aircraft = m_serials.at(random->bounded(m_serials.size()));
    const QJsonObject target{{QStringLiteral("AIRCRAFT"), aircraft}};
    switch (random->bounded(10)) {
    case 0:
        cmd = QStringLiteral("GetAircraftList");
        return {};
    case 1:
        cmd = QStringLiteral("GetFlyLimit");
        return target;
    case 2:
        cmd = QStringLiteral("SetNavigationMode");
        return {{QStringLiteral("AIRCRAFT"), aircraft}, {QStringLiteral("NAVIGATION_MODE"), 0}};
    case 3:
        cmd = QStringLiteral("GetNoflyZone");
        return {{QStringLiteral("LATI"), 0.8272}, {QStringLiteral("LONTI"), 0.1491}};
    case 4:
        cmd = QStringLiteral("WayLineList");
        return {};
    case 5:
        cmd = QStringLiteral("SaveWayline");
        return {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("soak%1").arg(random->bounded(20))},
                {QStringLiteral("WAYLINE"), mission(5)}};
    case 6:
        cmd = QStringLiteral("GetWayLine");
        return {{QStringLiteral("WAYLINE"), QStringLiteral("soak%1").arg(random->bounded(20))}};
    case 7:
        cmd = QStringLiteral("DownloadWayLineMission");
        return target;
    case 8:
        cmd = QStringLiteral("UploadWayLineMission");
        return {{QStringLiteral("AIRCRAFT"), aircraft}, {QStringLiteral("WAYLINE"), mission(8)}};
    default:
        cmd = QStringLiteral("StartOrCancelWayLineMission");
        return {{QStringLiteral("AIRCRAFT"), aircraft}, {QStringLiteral("GO_STOP"), 1}};
    }
}

void SoakRun::sendNext(Client &client) {
    QString cmd;
    const QJsonObject value = randomCommand(cmd);
    const QString seq = QStringLiteral("s%1").arg(++client.next);
    QJsonObject request{{QStringLiteral("CMD"), cmd}, {QStringLiteral("SEQ"), seq}};
    if (!value.isEmpty())
        request.insert(QStringLiteral("VALUE"), value);
    client.waiting.insert(seq, m_clock.elapsed());
    ++m_requests;
    client.socket.sendTextMessage(
        QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
}

void SoakRun::onReply(Client &client, const QString &text) {
    const QJsonObject reply = QJsonDocument::fromJson(text.toUtf8()).object();
    if (!client.waiting.remove(reply.value(QStringLiteral("SEQ")).toString()))
        return;
    ++m_replies;
    // A missing wayline or no mission to cancel is an answer all the same.
    if (reply.value(QStringLiteral("ERROR")).toString() != QLatin1String("SUCCESS"))
        ++m_failures;
    if (!m_stopping)
        sendNext(client);
}

void SoakRun::report() {
    const qint64 now = m_clock.elapsed();
    qint64 overdue = 0;
    for (auto &client : m_clients) {
        for (auto it = client->waiting.begin(); it != client->waiting.end(); ++it)
            overdue += now - it.value() > LostAfterMs;
    }
    const qint64 resident = m_host.residentKiB();
    m_resident.append(resident);
    std::printf("%8lld %12lld %10lld %10lld %9lld %6lld %10lld\n", now / 1000, resident, m_requests,
                m_replies, m_failures, m_lost + overdue, m_pushes);
    std::fflush(stdout);
}
