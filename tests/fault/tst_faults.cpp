#include "hostprocess.h"

#include <QtTest>

#include <sys/stat.h>

// Faults staged through the real host's admin path, and zone files the plug-in must survive.
// Each function attaches its own devices; the zone files come last, as each restarts the host.

namespace {
// Zones spread over the globe, the first at 47.4, 8.5 where the test looks.
QByteArray zoneFileOf(int count) {
    QString text = R"({"release_limits":[{"lat":"47.4","lng":"8.5","radius":500,"name":"z"})";
    for (qint64 i = 1; i < count; ++i)
        text += QString::asprintf(R"(,{"lat":"%g","lng":"%g","radius":%lld,"name":"zone %lld"})",
                                  -80 + (i * 7919 % 16000) / 100.0,
                                  -179 + (i * 104729 % 35800) / 100.0, 500 + i % 5000, i);
    return (text + "]}").toUtf8();
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    // The host reads Data/limit.txt beside itself, so it runs from a copy.
    bool launch() {
        m_push.received.clear();
        return m_host.launch({"--simulate", "0", "--sim-speed", "10"},
                             m_hostCopy.filePath("oru-host")) &&
               m_host.connectClient(m_push, "/groundstation/push") &&
               m_host.connectClient(m_commands, "/groundstation");
    }
    // A simulated device attached: its file and serial, both empty if it never connected.
    std::pair<QString, QString> attach() {
        const QJsonObject device = m_host.attachAndWait(m_push);
        return {device.value("FILE").toString(), device.value("SN").toString()};
    }
    // An admin command on one device; only SilenceController reads SILENT.
    bool onDevice(const QString &cmd, const QString &file, bool silent = true) {
        return isSuccess(m_host.admin(cmd, {{"FILE", file}, {"SILENT", silent}}));
    }
    // How many channels a drop closed; -1 if it failed.
    int drop(const QString &cmd, const QJsonObject &value = {}) {
        const auto reply = m_host.admin(cmd, value);
        return isSuccess(reply) ? reply->value("VALUE").toObject().value("CLOSED").toInt() : -1;
    }
    int eventsFor(const QString &event, const QString &serial) const {
        const auto events = m_push.events(event);
        return int(std::count_if(events.begin(), events.end(),
                                 [&](const QJsonObject &e) { return aircraftOf(e) == serial; }));
    }
    bool waitForEvent(const QString &event, const QString &serial, int count, int timeoutMs) {
        return QTest::qWaitFor([&]() { return eventsFor(event, serial) >= count; }, timeoutMs);
    }
    bool listed(const QString &serial) {
        const auto reply = m_commands.call("GetAircraftList", {}, 10000);
        const QJsonArray all = reply.value_or(QJsonObject()).value("VALUE").toArray();
        return std::any_of(all.begin(), all.end(), [&](auto a) { return a["AIRCRAFT"] == serial; });
    }

    QTemporaryDir m_hostCopy;
    HostProcess m_host;
    JsonClient m_commands;
    JsonClient m_push;

private Q_SLOTS:
    void initTestCase() {
        const QFileInfo host(ORU_HOST_BINARY);
        for (const QString &file : host.dir().entryList({"*.so*", host.fileName()}, QDir::Files))
            QVERIFY(QFile::copy(host.dir().filePath(file), m_hostCopy.filePath(file)));
        QVERIFY(QDir(m_hostCopy.path()).mkpath("Data"));
        QVERIFY2(launch(), m_host.output().constData());
    }

    void cleanup() {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "host output:\n" << m_host.output().right(4000);
        QVERIFY2(m_host.state() == QProcess::Running, "the host must outlive every fault");
    }

    void cleanupTestCase() { QVERIFY(m_host.stop()); }

    void pendingCommandsGoWithTheirDevice_data() {
        QTest::addColumn<bool>("dropFirst");
        QTest::newRow("removed while its channel is up") << false;
        QTest::newRow("its channel dropped first, so the agent idles until removal") << true;
    }

    void pendingCommandsGoWithTheirDevice() {
        QFETCH(bool, dropFirst);
        const auto [file, serial] = attach();
        QVERIFY(!serial.isEmpty());
        // Silenced first, so every command is certainly still waiting when the device goes.
        QVERIFY(onDevice("SilenceController", file));
        const QJsonObject aircraft{{"AIRCRAFT", serial}};
        QStringList pending{m_commands.send("UploadWayLineMission",
                                            {{"AIRCRAFT", serial}, {"WAYLINE", smallMission()}})};
        for (int i = 0; i < 20; ++i)
            pending << m_commands.send("GetFlyLimit", aircraft)
                    << m_commands.send("DownloadWayLineMission", aircraft);
        // The host has read them all once it answers a later request.
        QVERIFY(listed(serial));
        if (dropFirst) {
            QCOMPARE(drop("DropController", {{"FILE", file}}), 1);
            // Still listed past the time a heartbeat loss takes.
            QVERIFY(!waitForEvent("DISCONNECT", serial, 1, 6000));
            QVERIFY(listed(serial));
        }
        QVERIFY(onDevice("DetachDevice", file));
        QVERIFY(waitForEvent("DISCONNECT", serial, 1, 10000));

        // The serial number is now unknown, not half alive, and nothing pending was answered.
        const auto after = m_commands.call("GetFlyLimit", aircraft).value_or(QJsonObject());
        QCOMPARE(after.value("ERROR_MESSAGE").toString(), "Can't find aircraft " + serial);
        for (const QString &seq : qAsConst(pending))
            QVERIFY2(!m_commands.waitForSeq(seq, 0), qPrintable(seq));
    }

    void generalChannelComesBackAndDevicesAreAnnouncedAgain() {
        const QString before = attach().second;
        QVERIFY(!before.isEmpty());
        QCOMPARE(drop("DropGeneralChannel"), 1);

        // Attached while the listener is away, a device still arrives; the known one is left alone.
        const QString during = attach().second;
        QVERIFY2(!during.isEmpty(), "the listener did not come back");
        QCOMPARE(drop("DropGeneralChannel"), 1); // one listener came back, not two
        QCOMPARE(eventsFor("DISCONNECT", before), 0);
        QCOMPARE(eventsFor("CONNECT", before), 1);
        QVERIFY(listed(before) && listed(during));
        QVERIFY(isSuccess(m_commands.call("GetFlyLimit", {{"AIRCRAFT", before}}, 10000)));
    }

    void silentControllerIsLostAndFoundWhenItAnswers() {
        const auto [file, serial] = attach();
        QVERIFY(!serial.isEmpty());
        QElapsedTimer silence;
        silence.start();
        QVERIFY(onDevice("SilenceController", file));
        QVERIFY(waitForEvent("DISCONNECT", serial, 1, 20000));
        // Ten missed heartbeats of half a second; a timer never fires early.
        QVERIFY2(silence.elapsed() >= 4000, qPrintable(QString::number(silence.elapsed())));
        QVERIFY(!listed(serial));

        QVERIFY(onDevice("SilenceController", file, false));
        QVERIFY(waitForEvent("CONNECT", serial, 2, 20000));
        QVERIFY(listed(serial));
        QCOMPARE(eventsFor("DISCONNECT", serial), 1);
    }

    void readOnlyWaylineFolderKeepsThePreviousFile() {
        const auto save = [this](const QJsonObject &wayline) {
            return m_commands.call("SaveWayline", {{"WAYLINE_NAME", "kept"}, {"WAYLINE", wayline}});
        };
        QJsonObject changed = smallMission();
        changed.insert("IDLE_VEL", 9);
        QVERIFY(isSuccess(save(smallMission())));

        QFile folder(m_host.waylineFolder());
        const QFile::Permissions writable = folder.permissions();
        QVERIFY(folder.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        const auto refused = save(changed);
        const auto loaded = m_commands.call("GetWayLine", {{"WAYLINE", "kept"}});
        QVERIFY(folder.setPermissions(writable));
        QVERIFY(refused && loaded);
        if (isSuccess(refused) && loaded->value("VALUE").toObject() == changed)
            QSKIP("root kept the right to bypass file permissions");
        QCOMPARE(refused->value("ERROR").toString(), "FAILURE");
        QCOMPARE(refused->value("ERROR_MESSAGE").toString(), "file save error.");
        QCOMPARE(loaded->value("VALUE").toObject(), smallMission());
        // No temporary file was left behind either.
        QCOMPARE(QDir(m_host.waylineFolder()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"kept"});
    }

    void zoneFile_data() {
        QTest::addColumn<QByteArray>("content"); // null: a FIFO instead of a file
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a huge file loads while the host answers")
            << zoneFileOf(200000) << 200000 << QString();
        QTest::newRow("a FIFO is refused at once and SIGTERM still ends the host")
            << QByteArray() << 0 << "is not a regular file";
    }

    void zoneFile() {
        QFETCH(QByteArray, content);
        QFETCH(int, count);
        QFETCH(QString, reason);
        // Each host before this one must have ended on SIGTERM, whatever its zone file was.
        QVERIFY(m_host.stop());
        QFile file(m_hostCopy.filePath("Data/limit.txt"));
        file.remove();
        QVERIFY(content.isNull() ? ::mkfifo(QFile::encodeName(file.fileName()), 0600) == 0
                                 : file.open(QIODevice::WriteOnly) && file.write(content) > 0);
        file.close();
        QVERIFY2(launch(), m_host.output().constData());

        QJsonObject state;
        const auto loaded = [&]() {
            const auto reply = m_commands.call("GetNoflyZoneState", {}, 10000);
            state = reply.value_or(QJsonObject()).value("VALUE").toObject();
            return state.contains("STATE") && state.value("STATE") != "loading";
        };
        QVERIFY(QTest::qWaitFor(loaded, 90000));
        QCOMPARE(state.value("STATE").toString(), count ? "loaded" : "failed");
        QCOMPARE(state.value("COUNT").toInt(), count);
        const QString why = state.value("REASON").toString();
        QVERIFY2(why.endsWith(reason), qPrintable(why));
        // The host's log says so too, a failure as a warning.
        const QByteArray logged = count ? QByteArray::number(count) + " no fly zones loaded."
                                        : "failed to load: " + why.toUtf8();
        QVERIFY(QTest::qWaitFor([&]() { return m_host.output().contains(logged); }, 10000));
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
