#include "fuzzsupport.h"

#include <orugroundstationservice.h>
#include <orugroundstationview.h>

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

class FuzzView : public OruGroundStationView {
public:
    FuzzView()
        : OruGroundStationView(nullptr, nullptr) {}
    using OruGroundStationView::OnBlobMessage;
    using OruGroundStationView::OnTextMessage;
};

// Answers whatever the agent asked, round after round, until nothing waits.
void answerAll(OruTolmAgent &agent, const QJsonObject &reply) {
    for (int round = 0; round < 600 && !AgentPeek::pending(agent).empty(); ++round) {
        for (const QString &seq : AgentPeek::awaited(agent)) {
            QJsonObject message = reply;
            message.insert(QStringLiteral("SEQ"), seq);
            agent.onTextMessage(
                QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
        }
    }
    AgentPeek::pending(agent).clear();
}

OruTolmAgent *identifiedAgent() {
    static OruTolmAgent *agent = []() {
        OruGroundStationService &service = FuzzSupport::service();
        service.DeviceArrival(QStringLiteral("Tolm_2014_RX"), QStringLiteral("fuzzdevice"));
        auto found = (service.*ServicePeek::getAgentMember())(QString(), ReplyCallback());
        auto *tolm = dynamic_cast<OruTolmAgent *>(found.get());
        AgentPeek::heartbeat(*tolm);
        answerAll(*tolm, {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")},
                          {QStringLiteral("VALUE"), Aircraft}});
        if (tolm->SerialNumber() != Aircraft)
            abort();
        return tolm;
    }();
    return agent;
}

} // namespace

void fuzzOne(const QByteArray &input) {
    OruTolmAgent *agent = identifiedAgent();
    FuzzView view;
    for (const QString &request : FuzzSupport::lines(input))
        view.OnTextMessage(request);
    if (input.startsWith('\0'))
        view.OnBlobMessage(input);
    answerAll(*agent, {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}});
    FuzzSupport::settle();
    FuzzSupport::clearWaylines();
    // A request may have renamed the aircraft; every input starts alike.
    if (agent->SerialNumber() != Aircraft)
        abort();
}
