#include "fuzzsupport.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

// Without libFuzzer, a fuzz target runs as a plain test: every file of the
// folders (or the files) given, seeds and inputs that once crashed alike.
int main(int argc, char *argv[]) {
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString given = QString::fromLocal8Bit(argv[i]);
        QStringList found;
        for (QDirIterator it(given, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            found.append(it.next());
        found.sort();
        files += QFileInfo(given).isDir() ? found : QStringList{given};
    }
    for (const QString &path : qAsConst(files)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                               static_cast<size_t>(bytes.size()));
    }
    std::printf("%d inputs replayed without a fault\n", int(files.size()));
    return files.isEmpty() ? 1 : 0;
}
