#include "soakrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the host with many simulated aircraft and busy web clients for a long time."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("The oru-host binary."),
                                  QStringLiteral("path"), QStringLiteral(ORU_HOST_BINARY));
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("How long."),
                                     QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption aircraft(QStringLiteral("aircraft"),
                                      QStringLiteral("Simulated aircraft."), QStringLiteral("n"),
                                      QStringLiteral("100"));
    const QCommandLineOption clients(QStringLiteral("clients"), QStringLiteral("Web clients."),
                                     QStringLiteral("n"), QStringLiteral("10"));
    parser.addOptions({host, minutes, aircraft, clients});
    parser.process(app);

    SoakRun::Options options;
    options.host = parser.value(host);
    options.minutes = qMax(1, parser.value(minutes).toInt());
    options.aircraft = qBound(1, parser.value(aircraft).toInt(), 128);
    options.clients = qBound(1, parser.value(clients).toInt(), 100);
    SoakRun run(options);
    return run.run();
}
