#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <orugroundstationview.h>
#include <orutolmagent.h>

#include <QJsonDocument>

// Web requests, one per line, through the host's handler and the command
// view, to the service and an identified aircraft whose controller answers
// every request with success, so upload and download chains run to the end.

namespace {

const QString Aircraft = QStringLiteral("FUZZSN");

// Reaches the protected members the harness needs without widening them.
struct ServicePeek : OruGroundStationService {
    static auto getAgentMember() { return &ServicePeek::getAgent; }
};
struct AgentPeek : OruTolmAgent {
    static auto pending() { return &AgentPeek::pendingReplies; }
    static auto heartbeat() { return &AgentPeek::onHeartbeat; }
};

class FuzzView : public OruGroundStationView {
public:
    FuzzView()
        : OruGroundStationView(nullptr, nullptr) {}
    using OruGroundStationView::OnBlobMessage;
    using OruGroundStationView::OnTextMessage;
};

// Answers whatever the agent asked, round after round, until nothing waits.
void answerAll(OruTolmAgent &agent, const QJsonObject &reply) {
    auto &pending = agent.*AgentPeek::pending();
    for (int round = 0; round < 600 && !pending.empty(); ++round) {
        QStringList seqs;
        for (const auto &entry : pending)
            seqs.append(entry.first);
        for (const QString &seq : qAsConst(seqs)) {
            QJsonObject message = reply;
            message.insert(QStringLiteral("SEQ"), seq);
            agent.onTextMessage(
                QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        }
    }
    pending.clear();
}

OruTolmAgent *identifiedAgent() {
    static OruTolmAgent *agent = []() {
        OruGroundStationService &service = FuzzSupport::service();
        service.DeviceArrival(QStringLiteral("Tolm_2014_RX"), QStringLiteral("fuzzdevice"));
        auto found = (service.*ServicePeek::getAgentMember())(QString(), ReplyCallback());
        auto *tolm = dynamic_cast<OruTolmAgent *>(found.get());
        (tolm->*AgentPeek::heartbeat())();
        answerAll(*tolm, {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")},
                          {QStringLiteral("VALUE"), Aircraft}});
        if (tolm->SerialNumber() != Aircraft)
            abort();
        return tolm;
    }();
    return agent;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzSupport::init();
    OruTolmAgent *agent = identifiedAgent();
    FuzzView view;
    const QStringList requests = FuzzSupport::lines(data, size);
    for (const QString &request : requests)
        view.OnTextMessage(request);
    if (size > 0 && data[0] == 0)
        view.OnBlobMessage(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    answerAll(*agent, {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}});
    FuzzSupport::settle();
    FuzzSupport::clearWaylines();
    // A request may have renamed the aircraft; every input starts alike.
    if (agent->SerialNumber() != Aircraft)
        abort();
    return 0;
}
