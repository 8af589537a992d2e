#include "bridge.h"
#include "bridgelog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onUnixSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[0], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so the bridge says goodbye to the
// broker and the status turns offline at once.
void quitOnSignals(QCoreApplication &app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier]() {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onUnixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int fail(const QString &message) {
    std::fprintf(stderr, "oru-bridge: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("oru-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    qSetMessagePattern(QStringLiteral("%{time process} %{category} %{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Joins one ground station to an MQTT 5 broker under oru/<station>/."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("The station's name, one topic level."),
                                     QStringLiteral("name"));
    const QCommandLineOption host(QStringLiteral("host"),
                                  QStringLiteral("The station's WebSocket address."),
                                  QStringLiteral("url"), QStringLiteral("ws://127.0.0.1:19870"));
    const QCommandLineOption broker(QStringLiteral("broker"),
                                    QStringLiteral("The broker: mqtt://host:port or mqtts://..."),
                                    QStringLiteral("url"), QStringLiteral("mqtt://127.0.0.1:1883"));
    const QCommandLineOption username(QStringLiteral("username"),
                                      QStringLiteral("User name at the broker."),
                                      QStringLiteral("name"));
    const QCommandLineOption passwordFile(
        QStringLiteral("password-file"),
        QStringLiteral("File whose first line is the broker password."), QStringLiteral("file"));
    const QCommandLineOption tlsCa(
        QStringLiteral("tls-ca"),
        QStringLiteral("CA certificate for an mqtts:// broker (default: the system's)."),
        QStringLiteral("file"));
    const QCommandLineOption allowCommands(
        QStringLiteral("allow-commands"),
        QStringLiteral("Forward requests from the broker to the station (off by default)."));
    parser.addOptions({station, host, broker, username, passwordFile, tlsCa, allowCommands});
    parser.process(app);

    Bridge::Settings settings;
    settings.station = parser.value(station);
    if (const QString why = Bridge::checkStationName(settings.station); !why.isEmpty())
        return fail(QStringLiteral("--station: the name %1").arg(why));
    settings.host = QUrl(parser.value(host));
    if (!settings.host.isValid() || settings.host.host().isEmpty() ||
        (settings.host.scheme() != "ws" && settings.host.scheme() != "wss"))
        return fail(
            QStringLiteral("--host: expected ws://HOST:PORT, got %1").arg(parser.value(host)));
    settings.allowCommands = parser.isSet(allowCommands);

    const QUrl brokerUrl(parser.value(broker));
    MqttClient::Settings mqtt;
    mqtt.tls = brokerUrl.scheme() == "mqtts";
    if (!brokerUrl.isValid() || brokerUrl.host().isEmpty() ||
        (brokerUrl.scheme() != "mqtt" && !mqtt.tls))
        return fail(QStringLiteral("--broker: expected mqtt://HOST:PORT or mqtts://HOST:PORT, "
                                   "got %1")
                        .arg(parser.value(broker)));
    mqtt.host = brokerUrl.host();
    mqtt.port = quint16(brokerUrl.port(mqtt.tls ? 8883 : 1883));
    if (parser.isSet(tlsCa) && !mqtt.tls)
        return fail(QStringLiteral("--tls-ca needs an mqtts:// broker"));
    mqtt.caFile = parser.value(tlsCa);
    if (!mqtt.caFile.isEmpty() && !QFile(mqtt.caFile).open(QIODevice::ReadOnly))
        return fail(QStringLiteral("--tls-ca: cannot read %1").arg(mqtt.caFile));
    mqtt.username = parser.value(username);
    if (parser.isSet(passwordFile)) {
        if (mqtt.username.isEmpty())
            return fail(QStringLiteral("--password-file needs --username"));
        QFile file(parser.value(passwordFile));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("--password-file: %1").arg(file.errorString()));
        mqtt.password = QString::fromUtf8(file.readLine(4096)).remove('\n').remove('\r');
    }

    Bridge bridge(settings, mqtt);
    QString error;
    if (!bridge.start(&error))
        return fail(QStringLiteral("cannot start: %1").arg(error));
    quitOnSignals(app);
    qCInfo(lcBridge) << "bridging station" << settings.station << "at" << settings.host.toString()
                     << "to" << brokerUrl.toString()
                     << (settings.allowCommands ? "with commands" : "without commands");
    return app.exec();
}
