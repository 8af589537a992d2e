#ifndef HOSTPROCESS_H
#define HOSTPROCESS_H

#include "childprocess.h"
#include "jsonclient.h"

#include <QTemporaryDir>

// The real host program with simulated aircraft: its own HOME, its output kept
// for failure reports, the admin path at hand and its resident memory readable.
class HostProcess : public ChildProcess {
    Q_OBJECT
public:
    explicit HostProcess(QObject *parent = nullptr);
    ~HostProcess() override { stop(); }

    // program defaults to the oru-host of this build; waits until "/host" answers
    // on the port that arguments name with --port, 19870 without.
    bool launch(const QStringList &arguments, const QString &program = QString());
    // The child's soft and hard descriptor limit; 0 keeps the test's own.
    void setDescriptorLimit(int limit) { m_descriptorLimit = limit; }
    // True if the host exited cleanly, which also means the sanitizers found nothing.
    bool stop();

    // Opens path, retrying while the host is still starting.
    bool connectClient(JsonClient &client, const QString &path, int timeoutMs = 15000);
    std::optional<QJsonObject> admin(const QString &cmd, const QJsonObject &value = {}) {
        return m_admin.call(cmd, value, 10000);
    }
    // Attaches a simulated device, waits for its "CONNECT" on push, gives {"FILE", "SN", ...}.
    QJsonObject attachAndWait(JsonClient &push);

    QString waylineFolder() const {
        return m_home.path() + "/Documents/Oru/Groundstation/Waylines";
    }
    qint64 residentKiB() const;
    quint16 port() const { return m_port; }
    QByteArray output() const { return m_output; }

protected:
    void setupChildProcess() override;

private:
    QTemporaryDir m_home;
    QByteArray m_output;
    JsonClient m_admin;
    quint16 m_port = 19870;
    int m_descriptorLimit = 0;
};

bool isSuccess(const std::optional<QJsonObject> &reply);
QString aircraftOf(const QJsonObject &event);
// A mission near the simulated aircraft's home.
QJsonObject smallMission();

#endif // HOSTPROCESS_H
