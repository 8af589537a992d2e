#include "brokerprocess.h"

#include <QFile>
#include <QTcpSocket>
#include <QTest>

BrokerProcess::BrokerProcess(QObject *parent)
    : ChildProcess(parent) {
    setProcessChannelMode(QProcess::ForwardedErrorChannel);
    setStandardOutputFile(QProcess::nullDevice());
}

bool BrokerProcess::launch() {
    if (m_port == 0)
        m_port = freePort();
    QFile config(m_dir.filePath("mosquitto.conf"));
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly))
        return false;
    // "user root" keeps a broker started by root from switching to a user
    // that cannot write the temporary folder.
    config.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nuser root\n"
                                "persistence true\npersistence_location %2/\nlog_type error\n")
                     .arg(QString::number(m_port), m_dir.path())
                     .toUtf8());
    config.close();
    start(QStringLiteral("/usr/sbin/mosquitto"), {"-c", config.fileName()});
    const auto listening = [this]() {
        QTcpSocket probe;
        probe.connectToHost("127.0.0.1", m_port);
        return state() == QProcess::Running && probe.waitForConnected(200);
    };
    return waitForStarted(10000) && QTest::qWaitFor(listening, 10000);
}

bool BrokerProcess::stop() {
    return state() == QProcess::NotRunning || terminateWithin(10000);
}
