#include "hostprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <algorithm>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>

HostProcess::HostProcess(QObject *parent)
    : ChildProcess(parent) {
    setProcessChannelMode(QProcess::MergedChannels);
    connect(this, &QProcess::readyRead, this, [this]() {
        m_output += readAll();
        // Enough to explain a failure, not a soak's worth.
        if (m_output.size() > 4 * 1024 * 1024)
            m_output = m_output.right(1024 * 1024);
    });
}

bool HostProcess::launch(const QStringList &arguments, const QString &program) {
    // A small sanitizer quarantine and big buffers given back to the system
    // when freed, so resident memory shows what the host really keeps.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS",
                       environment.value("ASAN_OPTIONS") + ":quarantine_size_mb=16");
    environment.insert("MALLOC_MMAP_THRESHOLD_", "131072");
    environment.insert("HOME", m_home.path());
    setProcessEnvironment(environment);
    const int port = arguments.indexOf("--port");
    m_port = port >= 0 ? arguments.value(port + 1).toUShort() : 19870;
    start(program.isEmpty() ? QStringLiteral(ORU_HOST_BINARY) : program, arguments);
    return m_home.isValid() && waitForStarted(10000) && connectClient(m_admin, "/host");
}

bool HostProcess::stop() {
    m_admin.socket.close();
    return terminateWithin(20000) && exitCode() == 0;
}

bool HostProcess::connectClient(JsonClient &client, const QString &path, int timeoutMs) {
    return QTest::qWaitFor(
        [&]() {
            if (state() == QProcess::NotRunning)
                return false;
            if (client.socket.state() == QAbstractSocket::UnconnectedState)
                client.socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_port) + path));
            return client.isConnected();
        },
        timeoutMs);
}

QJsonObject HostProcess::attachAndWait(JsonClient &push) {
    const auto reply = admin("AttachDevice");
    const QJsonObject device = reply.value_or(QJsonObject()).value("VALUE").toObject();
    const auto connected = [&]() {
        const auto events = push.events("CONNECT");
        return std::any_of(events.begin(), events.end(), [&](const QJsonObject &event) {
            return aircraftOf(event) == device.value("SN").toString();
        });
    };
    return isSuccess(reply) && QTest::qWaitFor(connected, 15000) ? device : QJsonObject();
}

qint64 HostProcess::residentKiB() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(processId()));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("VmRSS:");
    return at < 0 ? -1 : text.mid(at + 6, 20).trimmed().split(' ').first().toLongLong();
}

void HostProcess::setupChildProcess() {
    // Async-signal-safe calls only. Root must not bypass file permissions.
    ChildProcess::setupChildProcess();
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
        prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    if (m_descriptorLimit > 0) {
        const rlimit limit{rlim_t(m_descriptorLimit), rlim_t(m_descriptorLimit)};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool isSuccess(const std::optional<QJsonObject> &reply) {
    return reply && reply->value("ERROR").toString() == "SUCCESS";
}

QString aircraftOf(const QJsonObject &event) {
    return event.value("VALUE").toObject().value("AIRCRAFT").toString();
}

QJsonObject smallMission() {
    return QJsonDocument::fromJson(R"({"LENGTH": 2, "IDLE_VEL": 5, "HP_LATI": 0.8272,
        "HP_LONTI": 0.1491, "WAY_POINTS": [
        {"INDEX": 0, "LATI": 0.8272, "LONTI": 0.1491, "ALTI": 30, "HAS_ACTION": 0},
        {"INDEX": 1, "LATI": 0.82721, "LONTI": 0.1491, "ALTI": 30, "HAS_ACTION": 0}]})")
        .object();
}
