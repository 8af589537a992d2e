#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>
#include <QTcpServer>

#include <csignal>
#include <sys/prctl.h>

// A program a test starts: it dies with the test, and a stop that is not
// heeded within the grace time ends in a kill.
class ChildProcess : public QProcess {
public:
    using QProcess::QProcess;

    // True if the program ended by itself once asked.
    bool terminateWithin(int graceMs) {
        terminate();
        if (!waitForFinished(graceMs)) {
            kill();
            waitForFinished(5000);
        }
        return exitStatus() == QProcess::NormalExit;
    }

protected:
    // Async-signal-safe calls only.
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

// A loopback port nobody listens on at the moment of asking, for a child to serve on.
inline quint16 freePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

#endif // CHILDPROCESS_H
