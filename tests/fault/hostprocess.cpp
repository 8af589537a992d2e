#include "hostprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

bool hasEffectiveCapability(int capability) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> capability) & 1;
    }
    return false;
}

} // namespace

HostProcess::HostProcess(QObject *parent)
    : QProcess(parent) {
    setProcessChannelMode(QProcess::MergedChannels);
    connect(this, &QProcess::readyRead, this, [this]() {
        m_output += readAll();
        // Enough to explain a failure, not a soak's worth.
        if (m_output.size() > 4 * 1024 * 1024)
            m_output = m_output.right(1024 * 1024);
    });
}

HostProcess::~HostProcess() {
    stop();
}

bool HostProcess::launch(const QStringList &arguments, const QString &program) {
    if (!m_home.isValid())
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_home.path());
    // Under AddressSanitizer freed memory is held back for a while; keep that
    // small so resident memory shows what the host really keeps.
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), asan + (asan.isEmpty() ? "" : ":") +
                                                           QStringLiteral("quarantine_size_mb=16"));
    // Big buffers go back to the system when freed, so resident memory
    // falls again after a burst instead of staying at its peak.
    environment.insert(QStringLiteral("MALLOC_MMAP_THRESHOLD_"), QStringLiteral("131072"));
    setProcessEnvironment(environment);
    start(program.isEmpty() ? QStringLiteral(ORU_HOST_BINARY) : program, arguments);
    if (!waitForStarted(10000))
        return false;
    return connectClient(m_admin, QStringLiteral("/host"));
}

void HostProcess::stop() {
    m_admin.close();
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(20000))
        kill();
    waitForFinished(5000);
}

bool HostProcess::connectClient(JsonClient &client, const QString &path, int timeoutMs) {
    const QUrl url(QStringLiteral("ws://127.0.0.1:19870") + path);
    return QTest::qWaitFor(
        [&]() {
            if (state() == QProcess::NotRunning)
                return false;
            if (client.socket.state() == QAbstractSocket::UnconnectedState)
                client.socket.open(url);
            return client.isConnected();
        },
        timeoutMs);
}

std::optional<QJsonObject> HostProcess::admin(const QString &cmd, const QJsonObject &value) {
    return m_admin.call(cmd, value, 10000);
}

QJsonObject HostProcess::attachAndWait(JsonClient &push) {
    const auto reply = admin(QStringLiteral("AttachDevice"));
    if (!reply || reply->value(QStringLiteral("ERROR")).toString() != QLatin1String("SUCCESS"))
        return {};
    const QJsonObject device = reply->value(QStringLiteral("VALUE")).toObject();
    const QString serial = device.value(QStringLiteral("SN")).toString();
    const bool connected = QTest::qWaitFor(
        [&]() {
            for (const QJsonObject &event : push.events(QStringLiteral("CONNECT"))) {
                if (event.value(QStringLiteral("VALUE"))
                        .toObject()
                        .value(QStringLiteral("AIRCRAFT"))
                        .toString() == serial)
                    return true;
            }
            return false;
        },
        15000);
    return connected ? device : QJsonObject();
}

QString HostProcess::waylineFolder() const {
    return m_home.path() + QStringLiteral("/Documents/Oru/Groundstation/Waylines");
}

qint64 HostProcess::residentKiB() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

bool HostProcess::canHonourPermissions() {
    return geteuid() != 0 || hasEffectiveCapability(CAP_SETPCAP);
}

void HostProcess::setupChildProcess() {
    // In the child, before exec: only async-signal-safe calls.
    if (geteuid() == 0) {
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    }
}

QString describeReply(const std::optional<QJsonObject> &reply) {
    if (!reply)
        return QStringLiteral("no reply");
    return QString::fromUtf8(QJsonDocument(*reply).toJson(QJsonDocument::Compact));
}
