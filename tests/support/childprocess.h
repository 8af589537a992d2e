#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

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

#endif // CHILDPROCESS_H
