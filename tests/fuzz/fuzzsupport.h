#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <orugroundstationservice.h>
#include <orutolmagent.h>

#include <QStringList>

#include <cstdint>
#include <map>

// What every fuzz target shares: one application with its event loop, a
// HOME of its own so nothing lands in the user's documents, silent logs, and
// the service singleton, created once per process.
namespace FuzzSupport {

inline OruGroundStationService &service() {
    return OruGroundStationService::instance();
}
// Runs background tasks to their end and delivers everything they posted.
void settle();
QString waylineFolder();
// Empties the wayline folder, so saved inputs do not pile up on disk.
void clearWaylines();
// The input split into non-empty lines: many targets feed a sequence.
QStringList lines(const QByteArray &input);
void writeFile(const QString &path, const QByteArray &input);

} // namespace FuzzSupport

// Drives an aircraft agent by hand: its heartbeat and the replies it awaits.
struct AgentPeek : OruTolmAgent {
    static void heartbeat(OruTolmAgent &agent) { (agent.*&AgentPeek::onHeartbeat)(); }
    static std::map<QString, ReplyCallback> &pending(OruTolmAgent &agent) {
        return agent.*&AgentPeek::pendingReplies;
    }
    // The SEQs of the requests still waiting, in the agent's own order.
    static QStringList awaited(OruTolmAgent &agent) {
        QStringList seqs;
        for (const auto &entry : pending(agent))
            seqs.append(entry.first);
        return seqs;
    }
};

// Each target's body, run for one input once the application is up.
void fuzzOne(const QByteArray &input);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif // FUZZSUPPORT_H
