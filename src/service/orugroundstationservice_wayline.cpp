#include "orugroundstationservice.h"

#include <replies.h>
#include <runinbackground.h>
#include <waylinefiles.h>

#include <QJsonArray>

// The wayline store of the web commands; names and files are WaylineFiles'.
// The folder is looked up per operation, as the documents location may move.

namespace {

// Every outcome, a refusal included, answers from the event loop after the
// operation returned.
void replyInBackground(std::function<QJsonObject()> work, ReplyCallback writer) {
    runInBackground([work, writer]() -> std::function<void()> {
        const QJsonObject reply = work();
        return [writer, reply]() {
            if (writer)
                writer(reply);
        };
    });
}

QJsonObject saveReply(const QString &name, const QJsonObject &wayline) {
    if (!WaylineFiles::isValidName(name))
        return failureReply(QStringLiteral("invalid wayline name."));
    const Result<void> saved = WaylineFiles(WaylineFiles::defaultFolder()).save(name, wayline);
    if (!saved)
        return failureReply(saved.errorMessage());
    return {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
}

// A file that is not JSON still answers with an empty "VALUE".
QJsonObject loadReply(const QString &name) {
    if (!WaylineFiles::isValidName(name))
        return failureReply(QStringLiteral("invalid wayline name."));
    const WaylineFiles files(WaylineFiles::defaultFolder());
    if (!files.exists(name))
        return failureReply(QStringLiteral("file not exists."));
    const Result<QJsonObject> loaded = files.read(name);
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
    replyInBackground([name, wayline]() { return saveReply(name, wayline); }, std::move(writer));
}

void OruGroundStationService::LoadWayLine(const QString &name, ReplyCallback writer) {
    replyInBackground([name]() { return loadReply(name); }, std::move(writer));
}

void OruGroundStationService::WayLineList(ReplyCallback writer) {
    const QStringList names = WaylineFiles(WaylineFiles::defaultFolder()).list();
    if (writer)
        writer({{QStringLiteral("VALUE"), QJsonArray::fromStringList(names)}});
}
