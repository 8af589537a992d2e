#include "orugroundstationservice.h"

#include "runinbackground.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <array>
#include <mutex>

namespace {

// Empty when the platform names no documents folder: the chain must not
// then start at the root of the file system.
QString waylineFolder() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return QString();
    const QChar separator = QDir::separator();
    return documents + separator + QStringLiteral("Oru") + separator +
           QStringLiteral("Groundstation") + separator + QStringLiteral("Waylines");
}

QString waylinePath(const QString &name) {
    const QString folder = waylineFolder();
    return folder.isEmpty() ? QString() : folder + QDir::separator() + name;
}

// A name is a bare file name inside the wayline folder: nothing that could
// climb out of it, hide from the list or trip the file system.
bool isValidName(const QString &name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.toUtf8().size() > 255)
        return false;
    for (const QChar ch : name) {
        if (ch == QLatin1Char('/') || ch == QLatin1Char('\\') || ch.unicode() < 0x20 ||
            ch.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QJsonObject failure(const QString &message) {
    return {{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
            {QStringLiteral("ERROR_MESSAGE"), message}};
}

// Saves of one name run one at a time; different names rarely share a stripe.
std::mutex &saveLock(const QString &name) {
    static std::array<std::mutex, 64> locks;
    return locks[qHash(name) % locks.size()];
}

// Even a refusal answers from the event loop, after the operation returned,
// like every other outcome of save and load.
void replyLater(ReplyCallback writer, const QJsonObject &reply) {
    runInBackground([writer, reply]() -> std::function<void()> {
        return [writer, reply]() {
            if (writer)
                writer(reply);
        };
    });
}

} // namespace

void OruGroundStationService::initFolder() {
    // A fresh account may lack even the documents folder.
    const QString folder = waylineFolder();
    if (!folder.isEmpty())
        QDir().mkpath(folder);
}

void OruGroundStationService::SaveWayLine(const QString &name, const QJsonObject &wayline,
                                          ReplyCallback writer) {
    if (!isValidName(name)) {
        replyLater(std::move(writer), failure(QStringLiteral("invalid wayline name.")));
        return;
    }
    runInBackground([name, wayline, writer]() -> std::function<void()> {
        const QString path = waylinePath(name);
        QJsonObject reply = failure(QStringLiteral("file save error."));
        {
            std::lock_guard<std::mutex> guard(saveLock(name));
            // The file would follow a link to wherever it points.
            if (!QFileInfo(path).isSymLink()) {
                // The old content stays whole until the new one is complete.
                QSaveFile file(path);
                if (file.open(QIODevice::WriteOnly)) {
                    const QByteArray text = QJsonDocument(wayline).toJson(QJsonDocument::Indented);
                    if (file.write(text) == text.size() && file.commit())
                        reply = {{QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
                    else
                        file.cancelWriting();
                }
            }
        }
        return [writer, reply]() {
            if (writer)
                writer(reply);
        };
    });
}

void OruGroundStationService::LoadWayLine(const QString &name, ReplyCallback writer) {
    if (!isValidName(name)) {
        replyLater(std::move(writer), failure(QStringLiteral("invalid wayline name.")));
        return;
    }
    runInBackground([name, writer]() -> std::function<void()> {
        const QString path = waylinePath(name);
        QJsonObject reply;
        // Links are not listed, so they are not waylines either.
        if (QFileInfo(path).isSymLink() || !QFile::exists(path)) {
            reply = failure(QStringLiteral("file not exists."));
        } else {
            QFile file(path);
            (void)file.open(QIODevice::ReadOnly);
            const QByteArray bytes = file.readAll();
            file.close();
            const int end = bytes.indexOf('\0');
            const QString text = QString::fromUtf8(bytes.constData(), end < 0 ? bytes.size() : end);

            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
            if (error.error != QJsonParseError::NoError || !document.isObject())
                reply = failure(error.errorString());
            reply.insert(QStringLiteral("VALUE"), document.object());
        }
        return [writer, reply]() {
            if (writer)
                writer(reply);
        };
    });
}

void OruGroundStationService::WayLineList(ReplyCallback writer) {
    const QString folder = waylineFolder();
    QStringList names;
    if (!folder.isEmpty()) {
        names = QDir(folder).entryList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                       QDir::Name | QDir::IgnoreCase);
    }
    if (writer)
        writer({{QStringLiteral("VALUE"), QJsonArray::fromStringList(names)}});
}
