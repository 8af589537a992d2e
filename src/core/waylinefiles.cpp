#include "waylinefiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Different names rarely share a stripe.
std::mutex &saveLock(const QString &name) {
    static std::array<std::mutex, 64> locks;
    return locks[qHash(name) % locks.size()];
}

QString tooDeep() {
    return QStringLiteral("wayline nested deeper than %1 levels.").arg(WaylineFiles::MaxDepth);
}

QString tooLarge() {
    return QStringLiteral("wayline larger than %1 MiB.").arg(WaylineFiles::MaxFileSize >> 20);
}

QString notRegular() {
    return QStringLiteral("wayline is not a regular file.");
}

// Characters that render as nothing, reorder the text around them or
// break the line make two different names look alike.
bool isInvisible(uint code) {
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// The bytes indentation adds to the compact text of value, which sits at
// nesting level `level` (the document's object is level 1); false once the
// nesting passes MaxDepth. The walk ends there, so it never recurses deeper.
bool addIndentation(const QJsonValue &value, int level, qint64 &extra) {
    if (!value.isObject() && !value.isArray())
        return true;
    if (level > WaylineFiles::MaxDepth)
        return false;
    const qint64 indent = 4 * (level - 1);
    // "{\n" opens, the closing bracket gets its own indented line.
    extra += 1 + indent;
    const auto element = [&](const QJsonValue &child) {
        // Its own indented line, ended by a newline.
        extra += indent + 4 + 1;
        return addIndentation(child, level + 1, extra);
    };
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::all_of(array.begin(), array.end(), element);
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        extra += 1; // ": " after the key
        if (!element(it.value()))
            return false;
    }
    return true;
}

int depthOf(const QJsonValue &value) {
    int deepest = 0;
    if (value.isArray()) {
        for (const QJsonValue child : value.toArray())
            deepest = std::max(deepest, depthOf(child));
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            deepest = std::max(deepest, depthOf(it.value()));
    } else {
        return 0;
    }
    return deepest + 1;
}

// The indented text of wayline, or the limit it breaks. Its size is known
// from the compact text before the indented one is built.
Result<QByteArray> indentedText(const QJsonObject &wayline) {
    qint64 extra = 1; // the newline after the closing brace
    if (!addIndentation(wayline, 1, extra))
        return Result<QByteArray>::failure(tooDeep());
    const QJsonDocument document(wayline);
    if (document.toJson(QJsonDocument::Compact).size() + extra > WaylineFiles::MaxFileSize)
        return Result<QByteArray>::failure(tooLarge());
    QByteArray text = document.toJson(QJsonDocument::Indented);
    if (text.size() > WaylineFiles::MaxFileSize)
        return Result<QByteArray>::failure(tooLarge());
    return Result<QByteArray>::success(text);
}

// Whether path names something other than a regular file; a link counts,
// as writing through it would land wherever it points.
bool isOtherThanRegular(const QString &path) {
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode);
}

// At most MaxFileSize + 1 bytes of a regular file. Opened without following
// a link and without waiting for a writer, so a FIFO cannot block the
// reader; the kind is checked again on what was opened, as the name may
// have changed hands meanwhile.
Result<QByteArray> readBounded(const QString &path) {
    // Opening a device can have effects of its own: look before opening.
    if (isOtherThanRegular(path))
        return Result<QByteArray>::failure(notRegular());
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Unreadable content reads as no content, which the parser refuses.
        return errno == ELOOP || errno == ENXIO ? Result<QByteArray>::failure(notRegular())
                                                : Result<QByteArray>::success(QByteArray());
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Result<QByteArray>::success(QByteArray());
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return Result<QByteArray>::failure(notRegular());
    if (status.st_size > WaylineFiles::MaxFileSize)
        return Result<QByteArray>::failure(tooLarge());
    // One byte more than the size told shows a file that grew meanwhile.
    const QByteArray bytes = file.read(status.st_size + 1);
    if (bytes.size() > WaylineFiles::MaxFileSize)
        return Result<QByteArray>::failure(tooLarge());
    return Result<QByteArray>::success(bytes);
}

bool isRegularEntry(int folder, const dirent *entry) {
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_REG;
    struct stat status;
    return ::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(status.st_mode);
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

QString WaylineFiles::storedName(const QString &name) {
    for (int i = 0; i < name.size(); ++i) {
        const QChar ch = name.at(i);
        uint code = ch.unicode();
        if (ch.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            code = QChar::surrogateToUcs4(ch, name.at(++i));
        else if (ch.isSurrogate())
            return QString(); // UTF-8 has no form for it: two would share one file
        if (code == '/' || code == '\\' || isInvisible(code))
            return QString();
    }
    QString stored = name.normalized(QString::NormalizationForm_C);
    if (stored.isEmpty() || stored.startsWith(QLatin1Char('.')) || stored.toUtf8().size() > 255)
        return QString();
    return stored;
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
    struct stat status;
    return !m_folder.isEmpty() && ::lstat(QFile::encodeName(path(name)).constData(), &status) == 0;
}

Result<void> WaylineFiles::save(const QString &name, const QJsonObject &wayline) const {
    // Refused before anything touches the disk.
    const Result<QByteArray> text = indentedText(wayline);
    if (!text)
        return Result<void>::failure(text.errorMessage());
    if (m_folder.isEmpty())
        return Result<void>::failure(QStringLiteral("file save error."));

    const QString file = path(name);
    std::lock_guard<std::mutex> guard(saveLock(name));
    // Someone may have removed the folder since the service started.
    makeFolder();
    if (isOtherThanRegular(file))
        return Result<void>::failure(notRegular());
    // The old content stays whole until the new one is complete.
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly)) {
        if (out.write(text.value()) == text.value().size() && out.commit())
            return Result<void>::success();
        out.cancelWriting();
    }
    return Result<void>::failure(QStringLiteral("file save error."));
}

Result<QJsonObject> WaylineFiles::read(const QString &name) const {
    const Result<QByteArray> bytes = readBounded(path(name));
    if (!bytes)
        return Result<QJsonObject>::failure(bytes.errorMessage());
    const int end = bytes.value().indexOf('\0');
    const QString text =
        QString::fromUtf8(bytes.value().constData(), end < 0 ? bytes.value().size() : end);

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Result<QJsonObject>::failure(error.errorString());
    // Files written before the limit, or by other means, are held to it too.
    if (depthOf(document.object()) > MaxDepth)
        return Result<QJsonObject>::failure(tooDeep());
    return Result<QJsonObject>::success(document.object());
}

QStringList WaylineFiles::list(bool *complete) const {
    if (complete)
        *complete = true;
    DIR *folder = m_folder.isEmpty() ? nullptr : ::opendir(QFile::encodeName(m_folder).constData());
    if (!folder)
        return {};
    // Entries the list leaves out count too, so no folder makes it slow.
    QStringList names;
    int examined = 0;
    while (const dirent *entry = ::readdir(folder)) {
        if (qstrcmp(entry->d_name, ".") == 0 || qstrcmp(entry->d_name, "..") == 0)
            continue;
        if (++examined > MaxListed) {
            if (complete)
                *complete = false;
            break;
        }
        // Only names a load can reach: a name stored in another form is not.
        const QString name = QFile::decodeName(entry->d_name);
        if (isRegularEntry(::dirfd(folder), entry) && storedName(name) == name)
            names.append(name);
    }
    ::closedir(folder);

    // Case-folded once per name, not once per comparison; names that differ
    // only in case keep one order.
    std::vector<std::pair<QString, QString>> keyed;
    keyed.reserve(names.size());
    for (const QString &name : qAsConst(names))
        keyed.emplace_back(name.toCaseFolded(), name);
    std::sort(keyed.begin(), keyed.end());
    names.clear();
    for (const auto &entry : keyed)
        names.append(entry.second);
    return names;
}
