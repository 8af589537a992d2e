#include "epolleventdispatcher.h"
#include "generalchannel.h"
#include "hostlog.h"
#include "hostserver.h"
#include "simfleet.h"
#include "simulationhub.h"
#include "tileserver.h"
#include "viewfactory.h"

#include <messagebudget.h>
#include <orugroundstationservice.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUrl>

#include <climits>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onUnixSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const auto written = ::write(signalPipe[0], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so the service is destroyed cleanly
// and every announced aircraft is reported lost to the web clients.
void quitOnSignals(QCoreApplication &app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier]() {
        notifier->setEnabled(false);
        char byte;
        [[maybe_unused]] const auto got = ::read(signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onUnixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// An installed host takes its files from the prefix it was installed into,
// never from the tree it was built in.
QString defaultDir(const QString &installed, const QString &inSources) {
    const QString local = QCoreApplication::applicationDirPath() +
                          QStringLiteral("/" ORU_DATA_FROM_HOST "/") + installed;
    return QDir(local).exists() ? local : QStringLiteral(ORU_SOURCE_DIR "/") + inSources;
}

// Descriptors the host keeps beyond its clients' own: the plug-in's end of
// every aircraft channel, threads, files, the listener.
int descriptorMargin(int limit) {
    return 64 + limit / 8;
}

// Clients are what fills the table; the hard limit is there to be used.
int raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return int(qMin<rlim_t>(limit.rlim_cur, INT_MAX));
}

// Starts every thread of the global pool now and keeps it: a thread takes
// descriptors of its own to start, and with the table full Qt aborts instead.
void startPoolThreads() {
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->setExpiryTimeout(-1);
    const int count = pool->maxThreadCount();
    // Each task holds its thread until all have started, so none shares one.
    // Not waitForDone(): it would end the very threads started here.
    auto started = std::make_shared<QSemaphore>();
    auto go = std::make_shared<QSemaphore>();
    for (int i = 0; i < count; ++i) {
        pool->start([started, go]() {
            started->release();
            go->acquire();
        });
    }
    started->acquire(count);
    go->release(count);
}

// Each source keeps its own cache file: tiles of one server must never be
// served as another's.
QString tileCacheFile(const QString &urlTemplate) {
    const QByteArray hash =
        QCryptographicHash::hash(urlTemplate.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
           QStringLiteral("/tiles-") + QString::fromLatin1(hash) + QStringLiteral(".mbtiles");
}

// Public servers ask to be named under their maps.
QString defaultAttribution(const QString &urlTemplate) {
    const QString host = QUrl(urlTemplate).host();
    if (host == QLatin1String("openstreetmap.org") ||
        host.endsWith(QLatin1String(".openstreetmap.org")))
        return QStringLiteral("\u00a9 OpenStreetMap contributors");
    return QStringLiteral("Tiles \u00a9 ") + host;
}

// The simulator beside this program asks for count devices once it has attached.
void startSimulator(QProcess &simulator, int port, int count, const QString &speed) {
    simulator.setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(&simulator, &QProcess::errorOccurred,
                     [&simulator](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart)
                             qCWarning(lcHost).noquote()
                                 << "cannot start the simulator:" << simulator.errorString();
                     });
    QObject::connect(&simulator, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [](int code, QProcess::ExitStatus status) {
                         qCWarning(lcHost).noquote() << "the simulator process ended"
                                                     << (status == QProcess::CrashExit
                                                             ? QStringLiteral("by a signal")
                                                             : QStringLiteral("with %1").arg(code));
                     });
    simulator.start(QCoreApplication::applicationDirPath() + QStringLiteral("/oru-sim"),
                    {QStringLiteral("--host"), QStringLiteral("ws://127.0.0.1:%1").arg(port),
                     QStringLiteral("--count"), QString::number(count),
                     QStringLiteral("--sim-speed"), speed});
}

bool parseBounded(const QString &text, int low, int high, int &out) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return false;
    out = value;
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    // Qt's own event dispatcher: GLib's looks through every socket whenever one
    // starts or stops writing, which a fleet of thousands of channels cannot afford.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    EpollEventDispatcher::installFromArguments(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oru-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORU_VERSION));
    qSetMessagePattern(QStringLiteral(
        "%{time process} %{category} %{if-category}%{function}:%{line} %{endif}%{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Ground-station host: serves the web client and loads the service."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption webRoot(QStringLiteral("web-root"),
                                     QStringLiteral("Folder of the web client's files."),
                                     QStringLiteral("dir"));
    parser.addOption(webRoot);
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Attach <count> simulated aircraft at start (0 to %1) and serve the /host "
                       "admin path.")
            .arg(SimFleet::MaxDevices),
        QStringLiteral("count"));
    parser.addOption(simulate);
    const QCommandLineOption simSpeed(
        QStringLiteral("sim-speed"),
        QStringLiteral(
            "Fly the simulated aircraft <factor> times faster than real time (%1 to %2).")
            .arg(SimFleet::MinSpeed)
            .arg(SimFleet::MaxSpeed),
        QStringLiteral("factor"), QStringLiteral("1"));
    parser.addOption(simSpeed);
    const QCommandLineOption simProcess(
        QStringLiteral("sim-process"),
        QStringLiteral("With --simulate: fly the simulated aircraft in an oru-sim process of "
                       "their own, attached over \"/sim\", instead of on a thread of the host."));
    parser.addOption(simProcess);
    const QCommandLineOption simListen(
        QStringLiteral("sim-listen"),
        QStringLiteral("Serve \"/sim\" and \"/host\" for an oru-sim started apart "
                       "(oru-sim --host ws://127.0.0.1:<port> --count <count>)."));
    parser.addOption(simListen);
    const QCommandLineOption eventLoop(
        QStringLiteral("event-loop"),
        QStringLiteral("Event loop of the host's threads: epoll, or qt for Qt's own (also %1).")
            .arg(QLatin1String(EpollEventDispatcher::ChoiceVariable)),
        QStringLiteral("epoll|qt"), QStringLiteral("epoll"));
    parser.addOption(eventLoop);
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Serve on 127.0.0.1:<port> (1 to 65535)."),
        QStringLiteral("port"), QString::number(HostServer::DefaultPort));
    parser.addOption(portOption);
    const int descriptors = raiseDescriptorLimit();
    const int defaultClients = qMax(1, descriptors - descriptorMargin(descriptors));
    const QCommandLineOption maxClients(
        QStringLiteral("max-clients"),
        QStringLiteral("Serve at most <count> connections at once (1 to %1, the descriptor "
                       "limit); beyond it a client gets 503. Every connection to the port "
                       "counts: page loads, web clients, and the plug-in's own general and "
                       "aircraft channels.")
            .arg(descriptors),
        QStringLiteral("count"), QString::number(defaultClients));
    parser.addOption(maxClients);
    const QCommandLineOption messageBudget(
        QStringLiteral("message-budget-mib"),
        QStringLiteral("Let incoming WebSocket messages that are not yet whole hold at most <mib> "
                       "MiB, all clients together (1 to 65536); the client whose message would "
                       "pass it is closed with code 1009."),
        QStringLiteral("mib"), QString::number(MessageBudget::DefaultLimit >> 20));
    parser.addOption(messageBudget);
    const QCommandLineOption tiles(
        QStringLiteral("tiles"),
        QStringLiteral("Serve the raster MBTiles file <file> as a map layer named after its base "
                       "name; repeat for more. The first is the page's default layer."),
        QStringLiteral("file"));
    parser.addOption(tiles);
    const QCommandLineOption tileUrl(
        QStringLiteral("tile-url"),
        QStringLiteral("Serve the online tiles of <template> (an http or https URL with {z}, {x} "
                       "and {y}) as the layer \"online\", each fetched once into a cache."),
        QStringLiteral("template"));
    parser.addOption(tileUrl);
    const QCommandLineOption tileAttribution(
        QStringLiteral("tile-attribution"),
        QStringLiteral("Show <text> under the online tiles (default: the source's own credit)."),
        QStringLiteral("text"));
    parser.addOption(tileAttribution);
    const QCommandLineOption tileCache(
        QStringLiteral("tile-cache-mib"),
        QStringLiteral("Keep at most <mib> MiB of online tiles in the cache (1 to 65536); beyond "
                       "it the tiles fetched longest ago go."),
        QStringLiteral("mib"), QStringLiteral("512"));
    parser.addOption(tileCache);
    parser.process(app);
    if (!QStringList{QStringLiteral("epoll"), QStringLiteral("qt")}.contains(
            parser.value(eventLoop))) {
        qCritical("oru-host: --event-loop takes epoll or qt, not \"%s\"",
                  qPrintable(parser.value(eventLoop)));
        return 2;
    }

    int port = HostServer::DefaultPort;
    if (!parseBounded(parser.value(portOption), 1, 65535, port)) {
        qCritical("oru-host: --port takes a port of 1 to 65535, not \"%s\"",
                  qPrintable(parser.value(portOption)));
        return 2;
    }
    int clientCap = defaultClients;
    if (!parseBounded(parser.value(maxClients), 1, descriptors, clientCap)) {
        qCritical("oru-host: --max-clients takes a count of 1 to %d, not \"%s\"", descriptors,
                  qPrintable(parser.value(maxClients)));
        return 2;
    }

    int simulated = 0;
    if (parser.isSet(simulate)) {
        bool ok = false;
        simulated = parser.value(simulate).toInt(&ok);
        if (!ok || simulated < 0 || simulated > SimFleet::MaxDevices) {
            qCritical("oru-host: --simulate takes a count of 0 to %d, not \"%s\"",
                      SimFleet::MaxDevices, qPrintable(parser.value(simulate)));
            return 2;
        }
    }
    bool speedOk = false;
    const double speed = parser.value(simSpeed).toDouble(&speedOk);
    if (!speedOk || speed < SimFleet::MinSpeed || speed > SimFleet::MaxSpeed) {
        qCritical("oru-host: --sim-speed takes a factor of %g to %g, not \"%s\"",
                  SimFleet::MinSpeed, SimFleet::MaxSpeed, qPrintable(parser.value(simSpeed)));
        return 2;
    }
    if (parser.isSet(simSpeed) && !parser.isSet(simulate)) {
        qCritical("oru-host: --sim-speed needs --simulate");
        return 2;
    }
    if (parser.isSet(simProcess) && !parser.isSet(simulate)) {
        qCritical("oru-host: --sim-process needs --simulate");
        return 2;
    }
    if (parser.isSet(simListen) && parser.isSet(simulate)) {
        qCritical("oru-host: --sim-listen takes its aircraft from oru-sim, not --simulate");
        return 2;
    }
    const bool ownProcess = parser.isSet(simProcess) || parser.isSet(simListen);

    int budgetMib = 0;
    if (!parseBounded(parser.value(messageBudget), 1, 65536, budgetMib)) {
        qCritical("oru-host: --message-budget-mib takes 1 to 65536, not \"%s\"",
                  qPrintable(parser.value(messageBudget)));
        return 2;
    }
    MessageBudget::setLimit(qint64(budgetMib) << 20);

    int cacheMib = 0;
    if (!parseBounded(parser.value(tileCache), 1, 65536, cacheMib)) {
        qCritical("oru-host: --tile-cache-mib takes 1 to 65536, not \"%s\"",
                  qPrintable(parser.value(tileCache)));
        return 2;
    }
    if ((parser.isSet(tileAttribution) || parser.isSet(tileCache)) && !parser.isSet(tileUrl)) {
        qCritical("oru-host: --tile-attribution and --tile-cache-mib need --tile-url");
        return 2;
    }

    // The plug-in dials the host's channels on the port it finds here.
    qputenv("ORU_HOST_PORT", QByteArray::number(port));
    startPoolThreads();

    int status = 0;
    {
        HostServer server;
        server.setMaxClients(clientCap);
        server.setWebRoot(parser.isSet(webRoot)
                              ? parser.value(webRoot)
                              : defaultDir(QStringLiteral("web"), QStringLiteral("web")));
        server.setVendorRoot(
            defaultDir(QStringLiteral("web/vendor"), QStringLiteral("node_modules")),
            {QStringLiteral("leaflet"), QStringLiteral("mqtt"), QStringLiteral("topojson-client"),
             QStringLiteral("world-atlas")});
        // A pack that cannot be served is left out and said so; the host and
        // the other layers go on.
        TileServer tileServer;
        for (const QString &file : parser.values(tiles)) {
            const QString error = tileServer.addPack(file);
            if (error.isEmpty())
                qCInfo(lcHost).noquote() << "serving map tiles of" << file;
            else
                qCWarning(lcHost).noquote() << "map pack" << file << "not served:" << error;
        }
        if (parser.isSet(tileUrl)) {
            const QString url = parser.value(tileUrl);
            const QString error =
                tileServer.setOnline(url,
                                     parser.isSet(tileAttribution) ? parser.value(tileAttribution)
                                                                   : defaultAttribution(url),
                                     tileCacheFile(url), qint64(cacheMib) << 20);
            if (!error.isEmpty()) {
                qCritical("oru-host: --tile-url takes a tile URL template: %s", qPrintable(error));
                return 2;
            }
            server.addRoute(QStringLiteral("/tiles/keep"), tileServer.keepServer());
        }
        server.setTileServer(&tileServer);
        GeneralChannel general(&server);
        ViewFactory views(&server);
        std::unique_ptr<SimulationHub> simulation;
        if (parser.isSet(simulate) || parser.isSet(simListen))
            simulation = std::make_unique<SimulationHub>(
                &server, &general,
                ownProcess ? SimulationHub::Where::Process : SimulationHub::Where::Thread, speed);
        if (!server.listen(quint16(port))) {
            qCritical("oru-host: cannot listen on 127.0.0.1:%d: %s", port,
                      qPrintable(server.errorString()));
            return 1;
        }

        SingletonEx<OruGroundStationService>::createInstance();
        quitOnSignals(app);
        // Killed with the host at the latest; its devices go when its link does.
        QProcess simulator;
        if (parser.isSet(simProcess)) {
            startSimulator(simulator, port, simulated, parser.value(simSpeed));
        } else {
            for (int i = 0; i < simulated; ++i)
                simulation->attachDevice(QString(), ReplyCallback());
        }
        qInfo("oru-host: listening on http://127.0.0.1:%d/", port);
        qCInfo(lcHost) << "at most" << clientCap << "clients at once, of" << descriptors
                       << "descriptors";

        status = app.exec();
        simulator.disconnect(); // its end is no news now
        delete OruGroundStationService::instancePtr();
    }
    // A closed connection hands its socket to deleteLater(); with the event
    // loop gone those deletions run here, or they would be lost at exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
