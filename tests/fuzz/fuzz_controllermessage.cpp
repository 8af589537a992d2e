#include "fuzzsupport.h"

#include <orugroundstationservice.h>

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>
#include <memory>

// A fresh aircraft agent per input, fed line by line. A line "!X args" makes
// the agent act as a web command or its heartbeat would; any other line is a
// controller message, in which "$0" to "$9" stand for the SEQs the agent is
// waiting on (in its own order), so replies can find their requests.

namespace {

QJsonObject objectOf(const QString &text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

const ReplyCallback ignore = [](const QJsonObject &) {};

const QHash<char, std::function<void(OruTolmAgent &, const QString &)>> actions{
    {'H', [](auto &a, auto &) { AgentPeek::heartbeat(a); }},
    {'U', [](auto &a, auto &s) { a.UploadWayLineMission(objectOf(s), ignore); }},
    {'D', [](auto &a, auto &) { a.DownloadWayLineMission(ignore); }},
    {'C', [](auto &a, auto &s) { a.ClickGo(objectOf(s), ignore); }},
    {'S', [](auto &a, auto &s) { a.StartSimulation(objectOf(s), ignore); }},
    {'T', [](auto &a, auto &s) { a.StopSimulation(objectOf(s), ignore); }},
    {'F', [](auto &a, auto &s) { a.DoFunction(s, ignore); }},
    {'N', [](auto &a, auto &s) { a.SetNavigationMode(emNAVIGATION_MODE(s.toInt()), ignore); }},
    {'G', [](auto &a, auto &s) { a.StartOrCancel(uchar(s.toInt()), ignore); }},
    {'P', [](auto &a, auto &s) { a.PauseOrContinue(uchar(s.toInt()), ignore); }},
    {'L', [](auto &a, auto &) { a.GetFlyLimit(ignore); }},
    {'O', [](auto &a, auto &s) { a.SetHomePoint(objectOf(s), ignore); }},
    {'Z',
     [](auto &a, auto &s) { a.SetNoFlyZone(QJsonDocument::fromJson(s.toUtf8()).array(), ignore); }},
    {'R', [](auto &a, auto &) { a.GetParameters(ignore); }},
    {'M', [](auto &a, auto &) { a.GetMissionLimits(ignore); }},
};

QString withSeqs(QString message, OruTolmAgent &agent) {
    if (!message.contains(QLatin1Char('$')))
        return message;
    const QStringList seqs = AgentPeek::awaited(agent);
    for (int digit = 0; digit < 10 && !seqs.isEmpty(); ++digit)
        message.replace(QStringLiteral("$%1").arg(digit), seqs.at(digit % seqs.size()));
    return message;
}

} // namespace

void fuzzOne(const QByteArray &input) {
    auto agent = std::make_unique<OruTolmAgent>(&FuzzSupport::service());
    for (const QString &line : FuzzSupport::lines(input)) {
        if (!line.startsWith(QLatin1Char('!')) || line.size() < 2)
            agent->onTextMessage(withSeqs(line, *agent));
        else if (const auto action = actions.value(line.at(1).toLatin1()))
            action(*agent, line.mid(3));
        // A silent controller must not make the agent remember without end.
        if (AgentPeek::pending(*agent).size() > 100000)
            abort();
    }
    agent.reset();
    FuzzSupport::settle();
}
