#include "generalchannel.h"
#include "hostserver.h"
#include "simulationhub.h"
#include "viewfactory.h"

#include <orugroundstationservice.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
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

QString defaultDir(const QString &besideHost, const QString &inSources) {
    const QString local = QCoreApplication::applicationDirPath() + QLatin1Char('/') + besideHost;
    return QDir(local).exists() ? local : QStringLiteral(ORU_SOURCE_DIR "/") + inSources;
}

} // namespace

int main(int argc, char *argv[]) {
    // Qt's own event dispatcher: GLib's looks through every socket whenever one
    // starts or stops writing, which a fleet of thousands of channels cannot afford.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oru-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
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
            .arg(SimulationHub::MaxDevices),
        QStringLiteral("count"));
    parser.addOption(simulate);
    const QCommandLineOption simSpeed(
        QStringLiteral("sim-speed"),
        QStringLiteral(
            "Fly the simulated aircraft <factor> times faster than real time (%1 to %2).")
            .arg(SimulationHub::MinSpeed)
            .arg(SimulationHub::MaxSpeed),
        QStringLiteral("factor"), QStringLiteral("1"));
    parser.addOption(simSpeed);
    parser.process(app);

    int simulated = 0;
    if (parser.isSet(simulate)) {
        bool ok = false;
        simulated = parser.value(simulate).toInt(&ok);
        if (!ok || simulated < 0 || simulated > SimulationHub::MaxDevices) {
            qCritical("oru-host: --simulate takes a count of 0 to %d, not \"%s\"",
                      SimulationHub::MaxDevices, qPrintable(parser.value(simulate)));
            return 2;
        }
    }
    bool speedOk = false;
    const double speed = parser.value(simSpeed).toDouble(&speedOk);
    if (!speedOk || speed < SimulationHub::MinSpeed || speed > SimulationHub::MaxSpeed) {
        qCritical("oru-host: --sim-speed takes a factor of %g to %g, not \"%s\"",
                  SimulationHub::MinSpeed, SimulationHub::MaxSpeed,
                  qPrintable(parser.value(simSpeed)));
        return 2;
    }
    if (parser.isSet(simSpeed) && !parser.isSet(simulate)) {
        qCritical("oru-host: --sim-speed needs --simulate");
        return 2;
    }

    int status = 0;
    {
        HostServer server;
        server.setWebRoot(parser.isSet(webRoot)
                              ? parser.value(webRoot)
                              : defaultDir(QStringLiteral("web"), QStringLiteral("web")));
        server.setVendorRoot(
            defaultDir(QStringLiteral("node_modules"), QStringLiteral("node_modules")),
            {QStringLiteral("leaflet"), QStringLiteral("mqtt"), QStringLiteral("topojson-client"),
             QStringLiteral("world-atlas")});
        GeneralChannel general(&server);
        ViewFactory views(&server);
        std::unique_ptr<SimulationHub> simulation;
        if (parser.isSet(simulate))
            simulation = std::make_unique<SimulationHub>(&server, &general, speed);
        if (!server.listen()) {
            qCritical("oru-host: cannot listen on 127.0.0.1:%d: %s", HostServer::DefaultPort,
                      qPrintable(server.errorString()));
            return 1;
        }

        SingletonEx<OruGroundStationService>::createInstance();
        quitOnSignals(app);
        for (int i = 0; i < simulated; ++i)
            simulation->attachDevice(QString(), ReplyCallback());
        qInfo("oru-host: listening on http://127.0.0.1:%d/", HostServer::DefaultPort);

        status = app.exec();
        delete OruGroundStationService::instancePtr();
    }
    // A closed connection hands its socket to deleteLater(); with the event
    // loop gone those deletions run here, or they would be lost at exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
