#include "fuzzsupport.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

// Without libFuzzer, a fuzz target runs as a plain test: every file of the
// folders (or the files) given, seeds and inputs that once crashed alike.
int main(int argc, char *argv[]) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        QStringList files{QString::fromLocal8Bit(argv[i])};
        if (QFileInfo(files.first()).isDir()) {
            for (QDirIterator it(files.takeFirst(), QDir::Files, QDirIterator::Subdirectories);
                 it.hasNext();)
                files.append(it.next());
            files.sort();
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
            ++inputs;
        }
    }
    std::printf("%d inputs replayed without a fault\n", inputs);
    return inputs > 0 ? 0 : 1;
}
