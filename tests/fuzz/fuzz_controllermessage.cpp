#include "fuzzsupport.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>
#include <memory>

// A fresh aircraft agent per input, fed line by line: "!X args" makes it act as web command X
// (or its heartbeat) would; any other line is a controller message, in which "$0" to "$9" stand
// for the SEQs the agent awaits (in its own order), so replies can find their requests.

namespace {

const auto json = [](const QString &text) { return QJsonDocument::fromJson(text.toUtf8()); };

const ReplyCallback ignore = [](const QJsonObject &) {};

const QHash<char, std::function<void(OruTolmAgent &, const QString &)>> actions{
    {'H', [](auto &a, auto &) { AgentPeek::heartbeat(a); }},
    {'U', [](auto &a, auto &s) { a.UploadWayLineMission(json(s).object(), ignore); }},
    {'D', [](auto &a, auto &) { a.DownloadWayLineMission(ignore); }},
    {'C', [](auto &a, auto &s) { a.ClickGo(json(s).object(), ignore); }},
    {'S', [](auto &a, auto &s) { a.StartSimulation(json(s).object(), ignore); }},
    {'T', [](auto &a, auto &s) { a.StopSimulation(json(s).object(), ignore); }},
    {'F', [](auto &a, auto &s) { a.DoFunction(s, ignore); }},
    {'N', [](auto &a, auto &s) { a.SetNavigationMode(emNAVIGATION_MODE(s.toInt()), ignore); }},
    {'G', [](auto &a, auto &s) { a.StartOrCancel(uchar(s.toInt()), ignore); }},
    {'P', [](auto &a, auto &s) { a.PauseOrContinue(uchar(s.toInt()), ignore); }},
    {'L', [](auto &a, auto &) { a.GetFlyLimit(ignore); }},
    {'O', [](auto &a, auto &s) { a.SetHomePoint(json(s).object(), ignore); }},
    {'Z', [](auto &a, auto &s) { a.SetNoFlyZone(json(s).array(), ignore); }},
    {'R', [](auto &a, auto &) { a.GetParameters(ignore); }},
    {'M', [](auto &a, auto &) { a.GetMissionLimits(ignore); }},
};

QString withSeqs(QString message, OruTolmAgent &agent) {
    const QStringList seqs = message.contains('$') ? AgentPeek::awaited(agent) : QStringList();
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
