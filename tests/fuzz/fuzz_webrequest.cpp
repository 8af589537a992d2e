#include "fuzzsupport.h"

#include <orugroundstationview.h>

#include <QJsonDocument>

// Web requests, one per line, through the host's handler and the command
// view, to the service and an identified aircraft whose controller answers
// every request with success, so upload and download chains run to the end.

namespace {

const QString Aircraft = QStringLiteral("FUZZSN");

// Answers whatever the agent asked, round after round, until nothing waits.
void answerAll(OruTolmAgent &agent, QJsonObject reply) {
    for (int round = 0; round < 600 && !AgentPeek::pending(agent).empty(); ++round) {
        for (const QString &seq : AgentPeek::awaited(agent)) {
            reply.insert("SEQ", seq);
            agent.onTextMessage(QJsonDocument(reply).toJson(QJsonDocument::Compact));
        }
    }
    AgentPeek::pending(agent).clear();
}

// Reach the protected members the harness needs without widening them.
struct ServicePeek : OruGroundStationService {
    static OruTolmAgent *identifiedAgent() {
        FuzzSupport::service().DeviceArrival("Tolm_2014_RX", "fuzzdevice");
        auto *tolm = dynamic_cast<OruTolmAgent *>(
            (FuzzSupport::service().*&ServicePeek::getAgent)(QString(), ReplyCallback()).get());
        AgentPeek::heartbeat(*tolm);
        answerAll(*tolm, {{"ERROR", "SUCCESS"}, {"VALUE", Aircraft}});
        if (tolm->SerialNumber() != Aircraft)
            abort();
        return tolm;
    }
};
struct ViewPeek : OruGroundStationView {
    static void feed(OruGroundStationView &view, const QByteArray &input) {
        for (const QString &request : FuzzSupport::lines(input))
            (view.*&ViewPeek::OnTextMessage)(request);
        if (input.startsWith('\0'))
            (view.*&ViewPeek::OnBlobMessage)(input);
    }
};

} // namespace

void fuzzOne(const QByteArray &input) {
    static OruTolmAgent *const agent = ServicePeek::identifiedAgent();
    OruGroundStationView view(nullptr, nullptr);
    ViewPeek::feed(view, input);
    answerAll(*agent, {{"ERROR", "SUCCESS"}});
    FuzzSupport::settle();
    FuzzSupport::clearWaylines();
    // A request may have renamed the aircraft; every input starts alike.
    if (agent->SerialNumber() != Aircraft)
        abort();
}
