#include "waylinefiles.h"

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

// Different names rarely share a stripe.
std::mutex &saveLock(const QString &name) {
    static std::array<std::mutex, 64> locks;
    return locks[qHash(name) % locks.size()];
}

} // namespace

WaylineFiles::WaylineFiles(const QString &folder)
    : m_folder(folder) {}

QString WaylineFiles::defaultFolder() {
    // Without a documents folder the chain must not start at the root of
    // the file system.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return QString();
    const QChar separator = QDir::separator();
    return documents + separator + QStringLiteral("Oru") + separator +
           QStringLiteral("Groundstation") + separator + QStringLiteral("Waylines");
}

bool WaylineFiles::isValidName(const QString &name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.toUtf8().size() > 255)
        return false;
    for (const QChar ch : name) {
        if (ch == QLatin1Char('/') || ch == QLatin1Char('\\') || ch.unicode() < 0x20 ||
            ch.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QString WaylineFiles::path(const QString &name) const {
    return m_folder.isEmpty() ? QString() : m_folder + QDir::separator() + name;
}

void WaylineFiles::makeFolder() const {
    // A fresh account may lack even the documents folder.
    if (!m_folder.isEmpty())
        QDir().mkpath(m_folder);
}

bool WaylineFiles::exists(const QString &name) const {
    const QString file = path(name);
    return !QFileInfo(file).isSymLink() && QFile::exists(file);
}

Result<void> WaylineFiles::save(const QString &name, const QJsonObject &wayline) const {
    const QString file = path(name);
    std::lock_guard<std::mutex> guard(saveLock(name));
    // The file would follow a link to wherever it points.
    if (!QFileInfo(file).isSymLink()) {
        // The old content stays whole until the new one is complete.
        QSaveFile out(file);
        if (out.open(QIODevice::WriteOnly)) {
            const QByteArray text = QJsonDocument(wayline).toJson(QJsonDocument::Indented);
            if (out.write(text) == text.size() && out.commit())
                return Result<void>::success();
            out.cancelWriting();
        }
    }
    return Result<void>::failure(QStringLiteral("file save error."));
}

Result<QJsonObject> WaylineFiles::read(const QString &name) const {
    QFile file(path(name));
    (void)file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    file.close();
    const int end = bytes.indexOf('\0');
    const QString text = QString::fromUtf8(bytes.constData(), end < 0 ? bytes.size() : end);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Result<QJsonObject>::failure(error.errorString());
    return Result<QJsonObject>::success(document.object());
}

QStringList WaylineFiles::list() const {
    if (m_folder.isEmpty())
        return {};
    return QDir(m_folder).entryList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                    QDir::Name | QDir::IgnoreCase);
}
