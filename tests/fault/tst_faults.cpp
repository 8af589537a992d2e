#include "hostprocess.h"

#include <QtTest>

// Faults staged through the host's admin path while the plug-in runs in the
// real host, and zone files it must survive. Each function attaches devices of
// its own; the zone files come last, as each restarts the host.

namespace {

// Zones spread over the globe, the first at 47.4, 8.5 where the test looks.
QByteArray zoneFileOf(int count) {
    QByteArray text = R"({"release_limits":[{"lat":"47.4","lng":"8.5","radius":500,"name":"z"})";
    for (qint64 i = 1; i < count; ++i) {
        text += QStringLiteral(R"(,{"lat":"%1","lng":"%2","radius":%3,"name":"zone %4"})")
                    .arg(-80 + (i * 7919 % 16000) / 100.0)
                    .arg(-179 + (i * 104729 % 35800) / 100.0)
                    .arg(500 + i % 5000)
                    .arg(i)
                    .toUtf8();
    }
    return text + "]}";
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase() { QVERIFY(m_host.stop()); }

    void controllerDropDuringUploadLeavesAnIdleAgent();
    void removedDeviceTakesItsPendingCommandsAlong();
    void generalChannelComesBackAndDevicesAreAnnouncedAgain();
    void silentControllerIsLostAndFoundWhenItAnswers();
    void readOnlyWaylineFolderKeepsThePreviousFile();
    void zoneFile_data();
    void zoneFile();

private:
    // The host reads Data/limit.txt beside itself, so it runs from a copy.
    bool launch() {
        m_push.received.clear();
        return m_host.launch({"--simulate", "0", "--sim-speed", "10"},
                             m_hostCopy.filePath("oru-host")) &&
               m_host.connectClient(m_push, "/groundstation/push") &&
               m_host.connectClient(m_commands, "/groundstation");
    }
    // Attaches a simulated device; false if it never connected.
    bool attach(QString &file, QString &serial) {
        const QJsonObject device = m_host.attachAndWait(m_push);
        file = device.value("FILE").toString();
        serial = device.value("SN").toString();
        return !device.isEmpty();
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
    QStringList listedAircraft() {
        QStringList serials;
        const auto reply = m_commands.call("GetAircraftList", {}, 10000);
        for (const QJsonValue &entry : reply.value_or(QJsonObject()).value("VALUE").toArray())
            serials.append(entry.toObject().value("AIRCRAFT").toString());
        return serials;
    }

    QTemporaryDir m_hostCopy;
    HostProcess m_host;
    JsonClient m_commands;
    JsonClient m_push;
};

void TestFaults::initTestCase() {
    const QFileInfo host(ORU_HOST_BINARY);
    for (const QString &file : host.dir().entryList({"*.so*", host.fileName()}, QDir::Files))
        QVERIFY(QFile::copy(host.dir().filePath(file), m_hostCopy.filePath(file)));
    QVERIFY(QDir(m_hostCopy.path()).mkpath("Data"));
    QVERIFY2(launch(), m_host.output().constData());
}

void TestFaults::cleanup() {
    if (QTest::currentTestFailed())
        qInfo().noquote() << "host output:\n" << m_host.output().right(4000);
    QVERIFY2(m_host.state() == QProcess::Running, "the host must outlive every fault");
}

void TestFaults::controllerDropDuringUploadLeavesAnIdleAgent() {
    QString file, serial;
    QVERIFY(attach(file, serial));
    // Silenced first, so the upload is certainly still waiting when the channel goes.
    QVERIFY(onDevice("SilenceController", file));
    const QString upload = m_commands.send("UploadWayLineMission",
                                           {{"AIRCRAFT", serial}, {"WAYLINE", smallMission()}});
    QCOMPARE(drop("DropController", {{"FILE", file}}), 1);

    // With its channel gone the agent neither polls nor announces a loss: it
    // idles, still listed, for longer than a heartbeat loss would take.
    QVERIFY(!waitForEvent("DISCONNECT", serial, 1, 6000));
    QVERIFY(listedAircraft().contains(serial));

    // Removal ends it: one loss, and the upload never answered.
    QVERIFY(onDevice("DetachDevice", file));
    QVERIFY(waitForEvent("DISCONNECT", serial, 1, 10000));
    QVERIFY(!m_commands.waitForSeq(upload, 0));
}

void TestFaults::removedDeviceTakesItsPendingCommandsAlong() {
    QString file, serial;
    QVERIFY(attach(file, serial));
    QVERIFY(onDevice("SilenceController", file));
    const QJsonObject aircraft{{"AIRCRAFT", serial}};
    QStringList pending{m_commands.send("UploadWayLineMission",
                                        {{"AIRCRAFT", serial}, {"WAYLINE", smallMission()}})};
    for (int i = 0; i < 20; ++i) {
        pending << m_commands.send("GetFlyLimit", aircraft)
                << m_commands.send("DownloadWayLineMission", aircraft);
    }
    // The host has read them all once it answers a later request.
    QVERIFY(listedAircraft().contains(serial));
    QVERIFY(onDevice("DetachDevice", file));
    QVERIFY(waitForEvent("DISCONNECT", serial, 1, 10000));

    // The serial number is now unknown, not half alive, and nothing pending was answered.
    const auto after = m_commands.call("GetFlyLimit", aircraft);
    QVERIFY(after);
    QCOMPARE(after->value("ERROR_MESSAGE").toString(), "Can't find aircraft " + serial);
    for (const QString &seq : qAsConst(pending))
        QVERIFY2(!m_commands.waitForSeq(seq, 0), qPrintable(seq));
}

void TestFaults::generalChannelComesBackAndDevicesAreAnnouncedAgain() {
    QString file, before, during;
    QVERIFY(attach(file, before));
    QCOMPARE(drop("DropGeneralChannel"), 1);

    // A device attached while the plug-in is away reaches it on its return;
    // the one it knew is announced again and left alone.
    QVERIFY2(attach(file, during), "the listener did not come back");
    QCOMPARE(drop("DropGeneralChannel"), 1); // one listener came back, not two
    QCOMPARE(eventsFor("DISCONNECT", before), 0);
    QCOMPARE(eventsFor("CONNECT", before), 1);
    const QStringList listed = listedAircraft();
    QVERIFY(listed.contains(before) && listed.contains(during));
    QVERIFY(isSuccess(m_commands.call("GetFlyLimit", {{"AIRCRAFT", before}}, 10000)));
}

void TestFaults::silentControllerIsLostAndFoundWhenItAnswers() {
    QString file, serial;
    QVERIFY(attach(file, serial));
    QElapsedTimer silence;
    silence.start();
    QVERIFY(onDevice("SilenceController", file));
    QVERIFY(waitForEvent("DISCONNECT", serial, 1, 20000));
    // Ten missed heartbeats of half a second; a timer never fires early.
    QVERIFY2(silence.elapsed() >= 4000, qPrintable(QString::number(silence.elapsed())));
    QVERIFY(!listedAircraft().contains(serial));

    QVERIFY(onDevice("SilenceController", file, false));
    QVERIFY(waitForEvent("CONNECT", serial, 2, 20000));
    QVERIFY(listedAircraft().contains(serial));
    QCOMPARE(eventsFor("DISCONNECT", serial), 1);
}

void TestFaults::readOnlyWaylineFolderKeepsThePreviousFile() {
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

void TestFaults::zoneFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("findsZone");
    QByteArray garbage(4 * 1024 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(garbage.data()),
                                          garbage.size() / 4);

    QTest::newRow("a huge file loads while the host keeps answering") << zoneFileOf(200000) << true;
    QTest::newRow("a file cut short gives no zones") << zoneFileOf(1000).chopped(20000) << false;
    QTest::newRow("random bytes give no zones") << garbage << false;
}

void TestFaults::zoneFile() {
    QFETCH(QByteArray, content);
    QFETCH(bool, findsZone);
    QVERIFY(m_host.stop());
    QFile file(m_hostCopy.filePath("Data/limit.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    QVERIFY2(launch(), m_host.output().constData());

    // Asked elsewhere first: the query keeps its result near the last point asked.
    const QJsonObject zurich{{"LATI", qDegreesToRadians(47.4)}, {"LONTI", qDegreesToRadians(8.5)}};
    int found = -1;
    const bool answered = QTest::qWaitFor(
        [&]() {
            const auto away =
                m_commands.call("GetNoflyZone", {{"LATI", 0.0}, {"LONTI", 0.0}}, 10000);
            const auto near = m_commands.call("GetNoflyZone", zurich, 10000);
            found = isSuccess(away) && isSuccess(near) ? near->value("VALUE").toArray().size() : -1;
            return found > 0 || (found == 0 && !findsZone);
        },
        findsZone ? 90000 : 1);
    QVERIFY2(answered, qPrintable(QString::number(found)));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
