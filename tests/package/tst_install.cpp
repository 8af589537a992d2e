#include "brokerprocess.h"
#include "hostprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTest>

namespace {

QByteArray httpGet(quint16 port, const QByteArray &path) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray response;
    const bool closed = QTest::qWaitFor(
        [&]() {
            response += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    return closed ? response + socket.readAll() : QByteArray();
}

// Marks an installed file, so that the same file served from the source tree
// would show.
bool mark(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::Append) && file.write("\n/* installed */\n") > 0;
}

} // namespace

// The installed host, started outside both trees, takes its page, vendored
// packages, plug-in and zone file from the prefix.
class tst_Install : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void installedHostRunsFromItsPrefix() {
        QTemporaryDir prefix, elsewhere;
        QVERIFY(prefix.isValid() && elsewhere.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::ForwardedChannels);
        install.start(QStringLiteral("cmake"),
                      {"--install", ORU_BUILD_DIR, "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(120000) && install.exitCode() == 0);
        const QString web = prefix.filePath("share/oru/web/");
        QVERIFY(mark(web + "index.html"));
        QVERIFY(mark(web + "vendor/leaflet/dist/leaflet-src.esm.js"));
        const QString hostDir = prefix.filePath(ORU_INSTALL_HOSTDIR);
        QCOMPARE(QFileInfo(hostDir + "/Data/limit.txt").canonicalFilePath(),
                 QFileInfo(prefix.filePath("share/oru/limit.txt")).canonicalFilePath());

        HostProcess host;
        host.setWorkingDirectory(elsewhere.path());
        const quint16 port = freePort();
        QVERIFY2(host.launch({"--simulate", "2", "--port", QString::number(port)},
                             prefix.filePath("bin/oru-host")),
                 host.output().constData());
        const QByteArray page = httpGet(port, "/");
        QVERIFY(page.endsWith("/* installed */\n"));
        // The page's About box shows the version named here.
        QVERIFY(page.contains("\r\nServer: oru-host/" ORU_VERSION "\r\n"));
        QVERIFY(
            httpGet(port, "/vendor/leaflet/dist/leaflet-src.esm.js").endsWith("/* installed */\n"));
        QFile maps(QStringLiteral("/proc/%1/maps").arg(host.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY(maps.readAll().contains(
            QFile::encodeName(prefix.filePath(ORU_INSTALL_LIBDIR "/liborugroundstation.so"))));

        JsonClient commands;
        QVERIFY(host.connectClient(commands, "/groundstation"));
        const auto aircraftCount = [&commands]() {
            const auto reply = commands.call("GetAircraftList");
            return reply ? reply->value("VALUE").toArray().size() : -1;
        };
        QTRY_COMPARE_WITH_TIMEOUT(aircraftCount(), 2, 20000);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_Install)
#include "tst_install.moc"
