#ifndef HOSTPROCESS_H
#define HOSTPROCESS_H

#include "jsonclient.h"

#include <QProcess>
#include <QTemporaryDir>

#include <optional>

// The real host program with simulated aircraft, as fault and load tests
// need it: its own HOME, its output kept for failure reports, the admin path
// at hand, and its resident memory readable.
class HostProcess : public QProcess {
    Q_OBJECT
public:
    explicit HostProcess(QObject *parent = nullptr);
    ~HostProcess() override;

    // program defaults to the oru-host of this build. Waits until the host
    // answers on /groundstation and /host.
    bool launch(const QStringList &arguments, const QString &program = QString());
    void stop();

    // Opens path, retrying while the host is still starting.
    bool connectClient(JsonClient &client, const QString &path, int timeoutMs = 15000);
    // An admin command on "/host"; the reply, if any came.
    std::optional<QJsonObject> admin(const QString &cmd, const QJsonObject &value = {});
    // Attaches a simulated device and waits for its "CONNECT" on push;
    // gives its {"FILE", "SN", ...} or an empty object.
    QJsonObject attachAndWait(JsonClient &push);

    QString home() const { return m_home.path(); }
    QString waylineFolder() const;
    qint64 residentKiB() const;
    QByteArray output() const { return m_output; }

    // A process run as root ignores file permissions; the host drops the
    // capabilities that allow it, so a read-only folder is read-only to it.
    static bool canHonourPermissions();

protected:
    void setupChildProcess() override;

private:
    QTemporaryDir m_home;
    QByteArray m_output;
    JsonClient m_admin;
};

QString describeReply(const std::optional<QJsonObject> &reply);

#endif // HOSTPROCESS_H
