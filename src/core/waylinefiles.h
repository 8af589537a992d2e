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
    // An empty folder stands for a platform without a documents folder:
    // nothing then exists and every save fails.
    explicit WaylineFiles(const QString &folder);

    // documents + Oru/Groundstation/Waylines; empty without a documents folder.
    static QString defaultFolder();
    // A bare file name inside the folder: nothing that could climb out of
    // it, hide from the list or trip the file system.
    static bool isValidName(const QString &name);

    const QString &folder() const { return m_folder; }
    QString path(const QString &name) const;
    void makeFolder() const;

    // Whether name is a listed wayline; links are not.
    bool exists(const QString &name) const;
    // Replaces the file whole, never through a link.
    Result<void> save(const QString &name, const QJsonObject &wayline) const;
    // The file's text up to its first NUL byte, read as one JSON object;
    // the failure message is the parser's.
    Result<QJsonObject> read(const QString &name) const;
    // The names of the regular files, sorted without regard to case.
    QStringList list() const;

private:
    QString m_folder;
};

#endif // WAYLINEFILES_H
