#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <orutolmagent.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <memory>

// A fresh aircraft agent per input, fed line by line. A line "!X args" makes
// the agent act as a web command or its heartbeat would; any other line is a
// controller message, in which "$0" to "$9" stand for the SEQs the agent is
// waiting on (in its own order), so replies can find their requests.

namespace {

struct AgentPeek : OruTolmAgent {
    static auto pending() { return &AgentPeek::pendingReplies; }
    static auto heartbeat() { return &AgentPeek::onHeartbeat; }
};

QJsonObject objectOf(const QString &text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

void act(OruTolmAgent &agent, QChar what, const QString &args) {
    const ReplyCallback reply = [](const QJsonObject &) {};
    switch (what.unicode()) {
    case 'H':
        (agent.*AgentPeek::heartbeat())();
        break;
    case 'U':
        agent.UploadWayLineMission(objectOf(args), reply);
        break;
    case 'D':
        agent.DownloadWayLineMission(reply);
        break;
    case 'C':
        agent.ClickGo(objectOf(args), reply);
        break;
    case 'S':
        agent.StartSimulation(objectOf(args), reply);
        break;
    case 'T':
        agent.StopSimulation(objectOf(args), reply);
        break;
    case 'F':
        agent.DoFunction(args, reply);
        break;
    case 'N':
        agent.SetNavigationMode(static_cast<emNAVIGATION_MODE>(args.toInt()), reply);
        break;
    case 'G':
        agent.StartOrCancel(static_cast<unsigned char>(args.toInt()), reply);
        break;
    case 'P':
        agent.PauseOrContinue(static_cast<unsigned char>(args.toInt()), reply);
        break;
    case 'L':
        agent.GetFlyLimit(reply);
        break;
    case 'O':
        agent.SetHomePoint(objectOf(args), reply);
        break;
    case 'Z':
        agent.SetNoFlyZone(QJsonDocument::fromJson(args.toUtf8()).array(), reply);
        break;
    case 'R':
        agent.GetParameters(reply);
        break;
    case 'M':
        agent.GetMissionLimits(reply);
        break;
    default:
        break;
    }
}

QString withSeqs(QString message, const OruTolmAgent &agent) {
    const auto &pending = agent.*AgentPeek::pending();
    if (pending.empty() || !message.contains(QLatin1Char('$')))
        return message;
    QStringList seqs;
    for (const auto &entry : pending)
        seqs.append(entry.first);
    for (int digit = 0; digit < 10; ++digit)
        message.replace(QStringLiteral("$%1").arg(digit), seqs.at(digit % seqs.size()));
    return message;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzSupport::init();
    auto agent = std::make_unique<OruTolmAgent>(&FuzzSupport::service());
    const QStringList lines = FuzzSupport::lines(data, size);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('!')) && line.size() > 1)
            act(*agent, line.at(1), line.mid(3));
        else
            agent->onTextMessage(withSeqs(line, *agent));
        // A silent controller must not make the agent remember without end.
        if ((agent.get()->*AgentPeek::pending()).size() > 100000)
            abort();
    }
    agent.reset();
    FuzzSupport::settle();
    return 0;
}
