#include "orugroundstationservice.h"

#include <replies.h>
#include <waylinefiles.h>
#include <workerpool.h>

#include <debugger.h>

#include <QJsonArray>

// The wayline store of the web commands; names and files are WaylineFiles'.
// The folder is looked up per operation, as the documents location may move.

namespace {

// Every outcome, a refusal included, answers from the event loop after the
// operation returned.
void replyInBackground(WorkerPool &pool, std::function<QJsonObject()> work, ReplyCallback writer,
                       CancelFlag cancelled) {
    pool.run(
        [work = std::move(work), writer = std::move(writer)]() -> std::function<void()> {
            const QJsonObject reply = work();
            return [writer, reply]() {
                if (writer)
                    writer(reply);
            };
        },
        std::move(cancelled));
}

QJsonObject invalidName() {
    return failureReply(QStringLiteral("invalid wayline name."));
}

QJsonObject saveReply(const QString &name, const QJsonObject &wayline) {
    const QString stored = WaylineFiles::storedName(name);
    if (stored.isEmpty())
        return invalidName();
    const Result<void> saved = WaylineFiles(WaylineFiles::defaultFolder()).save(stored, wayline);
    if (!saved)
        return failureReply(saved.errorMessage());
    return {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
}

// A file that is not a readable wayline still answers with an empty "VALUE".
QJsonObject loadReply(const QString &name) {
    const QString stored = WaylineFiles::storedName(name);
    if (stored.isEmpty())
        return invalidName();
    const WaylineFiles files(WaylineFiles::defaultFolder());
    if (!files.exists(stored))
        return failureReply(QStringLiteral("file not exists."));
    const Result<QJsonObject> loaded = files.read(stored);
    QJsonObject reply = loaded ? QJsonObject() : failureReply(loaded.errorMessage());
    reply.insert(QStringLiteral("VALUE"), loaded.value());
    return reply;
}

} // namespace

void OruGroundStationService::initFolder() {
    WaylineFiles(WaylineFiles::defaultFolder()).makeFolder();
}

void OruGroundStationService::SaveWayLine(const QString &name, const QJsonObject &wayline,
                                          ReplyCallback writer) {
    replyInBackground(
        *m_storePool, [name, wayline]() { return saveReply(name, wayline); }, std::move(writer),
        CancelFlag());
}

void OruGroundStationService::LoadWayLine(const QString &name, ReplyCallback writer) {
    LoadWayLine(name, std::move(writer), CancelFlag());
}

void OruGroundStationService::LoadWayLine(const QString &name, ReplyCallback writer,
                                          CancelFlag cancelled) {
    replyInBackground(
        *m_storePool, [name]() { return loadReply(name); }, std::move(writer),
        std::move(cancelled));
}

// At once, as the protocol promises; bounded by the entries the store
// examines, so a crowded folder cannot stall the event loop for long.
void OruGroundStationService::WayLineList(ReplyCallback writer) {
    bool complete = true;
    const QStringList names = WaylineFiles(WaylineFiles::defaultFolder()).list(&complete);
    if (!complete) {
        ORU_LOG_WARNING("OruGroundStationService")
            << QStringLiteral("wayline folder holds more than %1 entries; listed %2 of them.")
                   .arg(WaylineFiles::MaxListed)
                   .arg(names.size());
    }
    if (writer)
        writer({{QStringLiteral("VALUE"), QJsonArray::fromStringList(names)}});
}
