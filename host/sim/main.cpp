#include "epolleventdispatcher.h"
#include "simfleet.h"
#include "simlinkclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

int main(int argc, char *argv[]) {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    EpollEventDispatcher::installFromArguments(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oru-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORU_VERSION));
    qSetMessagePattern(QStringLiteral("%{time process} oru-sim %{category} %{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated aircraft, attached to an oru-host over one link."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption host(QStringLiteral("host"),
                                  QStringLiteral("The host to attach to (its \"/sim\" path)."),
                                  QStringLiteral("url"), QStringLiteral("ws://127.0.0.1:19870"));
    const QCommandLineOption count(
        QStringLiteral("count"),
        QStringLiteral("Ask the host to attach <count> devices (0 to %1).")
            .arg(SimFleet::MaxDevices),
        QStringLiteral("count"), QStringLiteral("0"));
    const QCommandLineOption speed(
        QStringLiteral("sim-speed"),
        QStringLiteral("Fly <factor> times faster than real time (%1 to %2).")
            .arg(SimFleet::MinSpeed)
            .arg(SimFleet::MaxSpeed),
        QStringLiteral("factor"), QStringLiteral("1"));
    const QCommandLineOption eventLoop(QStringLiteral("event-loop"),
                                       QStringLiteral("Event loop: epoll, or qt for Qt's own."),
                                       QStringLiteral("epoll|qt"), QStringLiteral("epoll"));
    parser.addOptions({host, count, speed, eventLoop});
    parser.process(app);

    const QUrl url(parser.value(host));
    if (!url.isValid() || url.scheme() != QLatin1String("ws") || url.host().isEmpty()) {
        qCritical("oru-sim: --host takes a ws://HOST:PORT URL, not \"%s\"",
                  qPrintable(parser.value(host)));
        return 2;
    }
    bool ok = false;
    const int devices = parser.value(count).toInt(&ok);
    if (!ok || devices < 0 || devices > SimFleet::MaxDevices) {
        qCritical("oru-sim: --count takes 0 to %d, not \"%s\"", SimFleet::MaxDevices,
                  qPrintable(parser.value(count)));
        return 2;
    }
    const double factor = parser.value(speed).toDouble(&ok);
    if (!ok || factor < SimFleet::MinSpeed || factor > SimFleet::MaxSpeed) {
        qCritical("oru-sim: --sim-speed takes %g to %g, not \"%s\"", SimFleet::MinSpeed,
                  SimFleet::MaxSpeed, qPrintable(parser.value(speed)));
        return 2;
    }

    SimLinkClient link(url, devices, factor);
    QObject::connect(&link, &SimLinkClient::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    link.start();
    return app.exec();
}
