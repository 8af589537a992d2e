#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "oru-fuzz";
        static char *argv[] = {name, nullptr};
        // Lives to the end of the process, as libFuzzer never returns to main.
        new QCoreApplication(argc, argv);
        // Removed at exit, with whatever the inputs saved.
        static QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        // Log lines cost more than the code under test and say nothing here.
        QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        SingletonEx<OruGroundStationService>::createInstance();
        FuzzSupport::settle();
    }
    fuzzOne(QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size)));
    return 0;
}

namespace FuzzSupport {

void settle() {
    // A completion may start another background task; a few rounds end it.
    for (int round = 0; round < 4; ++round) {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

QString waylineFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Oru/Groundstation/Waylines");
}

void clearWaylines() {
    QDir folder(waylineFolder());
    for (const QString &file : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        folder.remove(file);
}

QStringList lines(const QByteArray &input) {
    return QString::fromUtf8(input).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void writeFile(const QString &path, const QByteArray &input) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(input) != input.size())
        abort();
}

} // namespace FuzzSupport
