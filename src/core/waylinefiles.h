#ifndef WAYLINEFILES_H
#define WAYLINEFILES_H

#include "result.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The one place for wayline names and wayline file I/O: one JSON file per
// wayline, named after it, in one folder. Every function is safe on any
// thread; saves of one name run one at a time.
class WaylineFiles {
public:
    // The most a save writes and a load reads. Indentation grows with
    // nesting, so a small request could otherwise write a huge file.
    static constexpr qint64 MaxFileSize = 16 * 1024 * 1024;
    static constexpr int MaxDepth = 64;
    // The list examines at most this many folder entries.
    static constexpr int MaxListed = 10000;

    // An empty folder stands for a platform without a documents folder:
    // nothing then exists and every save fails.
    explicit WaylineFiles(const QString &folder);

    // documents + Oru/Groundstation/Waylines; empty without a documents folder.
    static QString defaultFolder();
    // The file name a wayline name is stored under (its NFC form, so
    // look-alike spellings share one file), or an empty string for a name
    // that could climb out of the folder, hide from the list, trip the file
    // system or look like another name.
    static QString storedName(const QString &name);

    const QString &folder() const { return m_folder; }
    QString path(const QString &name) const;
    void makeFolder() const;

    // Whether the folder has an entry of this name, of any kind.
    bool exists(const QString &name) const;
    // Replaces the file whole, never through a link nor over anything but a
    // regular file; re-creates the folder when it has gone.
    Result<void> save(const QString &name, const QJsonObject &wayline) const;
    // The file's text up to its first NUL byte, read as one JSON object;
    // the failure message is the parser's or names the limit it broke.
    Result<QJsonObject> read(const QString &name) const;
    // The stored names of the regular files, sorted without regard to case.
    // complete is false when the folder held more entries than examined.
    QStringList list(bool *complete = nullptr) const;

private:
    QString m_folder;
};

#endif // WAYLINEFILES_H
