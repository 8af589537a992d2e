#include "hostprocess.h"
#include "jsonclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QtTest>

// Faults staged through the host's admin path while the plug-in runs in the
// real host: channels that drop, devices that vanish, controllers that fall
// silent and a wayline folder that cannot be written. Each function attaches
// devices of its own, so the order of the functions does not matter.

namespace {

QJsonObject smallMission() {
    QJsonArray points;
    for (int i = 0; i < 2; ++i) {
        points.append(QJsonObject{{QStringLiteral("INDEX"), i},
                                  {QStringLiteral("LATI"), 0.8272 + i * 1e-5},
                                  {QStringLiteral("LONTI"), 0.1491},
                                  {QStringLiteral("ALTI"), 30},
                                  {QStringLiteral("HAS_ACTION"), 0}});
    }
    return {{QStringLiteral("LENGTH"), 2},
            {QStringLiteral("IDLE_VEL"), 5},
            {QStringLiteral("HP_LATI"), 0.8272},
            {QStringLiteral("HP_LONTI"), 0.1491},
            {QStringLiteral("WAY_POINTS"), points}};
}

bool isSuccess(const std::optional<QJsonObject> &reply) {
    return reply && reply->value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

QString aircraftOf(const QJsonObject &event) {
    return event.value(QStringLiteral("VALUE"))
        .toObject()
        .value(QStringLiteral("AIRCRAFT"))
        .toString();
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void controllerDropDuringUploadLeavesAnIdleAgent();
    void removedDeviceTakesItsPendingCommandsAlong();
    void generalChannelComesBackAndDevicesAreAnnouncedAgain();
    void silentControllerIsLostAndFoundWhenItAnswers();
    void readOnlyWaylineFolderKeepsThePreviousFile();

private:
    int eventsFor(const QString &event, const QString &serial) const;
    bool waitForEvent(const QString &event, const QString &serial, int count, int timeoutMs);
    bool hostAnswers();
    QStringList listedAircraft();

    HostProcess m_host;
    JsonClient m_commands;
    JsonClient m_push;
};

void TestFaults::initTestCase() {
    QVERIFY2(m_host.launch({QStringLiteral("--simulate"), QStringLiteral("0"),
                            QStringLiteral("--sim-speed"), QStringLiteral("10")}),
             m_host.output().constData());
    QVERIFY(m_host.connectClient(m_push, QStringLiteral("/groundstation/push")));
    QVERIFY(m_host.connectClient(m_commands, QStringLiteral("/groundstation")));
}

void TestFaults::cleanup() {
    if (QTest::currentTestFailed())
        qInfo().noquote() << "host output:\n"
                          << QString::fromLocal8Bit(m_host.output().right(4000));
    QVERIFY2(m_host.state() == QProcess::Running, "the host must outlive every fault");
}

void TestFaults::cleanupTestCase() {
    m_commands.close();
    m_push.close();
    m_host.stop();
    // A clean exit also means the sanitizers found nothing at shutdown.
    QCOMPARE(m_host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_host.exitCode(), 0);
}

int TestFaults::eventsFor(const QString &event, const QString &serial) const {
    int count = 0;
    for (const QJsonObject &message : m_push.events(event))
        count += aircraftOf(message) == serial;
    return count;
}

bool TestFaults::waitForEvent(const QString &event, const QString &serial, int count,
                              int timeoutMs) {
    return QTest::qWaitFor([&]() { return eventsFor(event, serial) >= count; }, timeoutMs);
}

bool TestFaults::hostAnswers() {
    return isSuccess(m_commands.call(QStringLiteral("GetAircraftList"), {}, 10000));
}

QStringList TestFaults::listedAircraft() {
    QStringList serials;
    const auto reply = m_commands.call(QStringLiteral("GetAircraftList"), {}, 10000);
    if (reply) {
        for (const QJsonValue &entry : reply->value(QStringLiteral("VALUE")).toArray())
            serials.append(entry.toObject().value(QStringLiteral("AIRCRAFT")).toString());
    }
    return serials;
}

void TestFaults::controllerDropDuringUploadLeavesAnIdleAgent() {
    const QJsonObject device = m_host.attachAndWait(m_push);
    QVERIFY(!device.isEmpty());
    const QString file = device.value(QStringLiteral("FILE")).toString();
    const QString serial = device.value(QStringLiteral("SN")).toString();

    // Silenced first, so the upload is certainly still waiting when the
    // channel goes.
    QVERIFY(isSuccess(
        m_host.admin(QStringLiteral("SilenceController"),
                     {{QStringLiteral("FILE"), file}, {QStringLiteral("SILENT"), true}})));
    const QString upload = m_commands.send(
        QStringLiteral("UploadWayLineMission"),
        {{QStringLiteral("AIRCRAFT"), serial}, {QStringLiteral("WAYLINE"), smallMission()}});
    const auto dropped =
        m_host.admin(QStringLiteral("DropController"), {{QStringLiteral("FILE"), file}});
    QVERIFY2(isSuccess(dropped), qPrintable(describeReply(dropped)));
    QCOMPARE(
        dropped->value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("CLOSED")).toInt(),
        1);

    // With its channel gone the agent neither polls nor announces a loss:
    // it idles, still listed, for longer than a heartbeat loss would take.
    QTest::qWait(6000);
    QVERIFY(hostAnswers());
    QVERIFY(listedAircraft().contains(serial));
    QCOMPARE(eventsFor(QStringLiteral("DISCONNECT"), serial), 0);
    QVERIFY(!m_commands.waitForSeq(upload, 0));

    // Removal ends it: one loss, and the upload never answered.
    QVERIFY(
        isSuccess(m_host.admin(QStringLiteral("DetachDevice"), {{QStringLiteral("FILE"), file}})));
    QVERIFY(waitForEvent(QStringLiteral("DISCONNECT"), serial, 1, 10000));
    QVERIFY(!listedAircraft().contains(serial));
    QVERIFY(!m_commands.waitForSeq(upload, 0));
}

void TestFaults::removedDeviceTakesItsPendingCommandsAlong() {
    const QJsonObject device = m_host.attachAndWait(m_push);
    QVERIFY(!device.isEmpty());
    const QString file = device.value(QStringLiteral("FILE")).toString();
    const QString serial = device.value(QStringLiteral("SN")).toString();
    QVERIFY(isSuccess(
        m_host.admin(QStringLiteral("SilenceController"),
                     {{QStringLiteral("FILE"), file}, {QStringLiteral("SILENT"), true}})));

    const QJsonObject aircraft{{QStringLiteral("AIRCRAFT"), serial}};
    QStringList pending;
    for (int i = 0; i < 20; ++i) {
        pending << m_commands.send(QStringLiteral("GetFlyLimit"), aircraft)
                << m_commands.send(QStringLiteral("DownloadWayLineMission"), aircraft);
    }
    pending << m_commands.send(
        QStringLiteral("UploadWayLineMission"),
        {{QStringLiteral("AIRCRAFT"), serial}, {QStringLiteral("WAYLINE"), smallMission()}});
    // The host has read them all once it answers a later request.
    QVERIFY(hostAnswers());
    QVERIFY(
        isSuccess(m_host.admin(QStringLiteral("DetachDevice"), {{QStringLiteral("FILE"), file}})));
    QVERIFY(waitForEvent(QStringLiteral("DISCONNECT"), serial, 1, 10000));
    QVERIFY(hostAnswers());
    for (const QString &seq : qAsConst(pending))
        QVERIFY2(!m_commands.waitForSeq(seq, 0), qPrintable(seq));
    // The same serial number is now unknown, not half alive.
    const auto after = m_commands.call(QStringLiteral("GetFlyLimit"), aircraft);
    QVERIFY(after);
    QCOMPARE(after->value(QStringLiteral("ERROR_MESSAGE")).toString(),
             QStringLiteral("Can't find aircraft ") + serial);
}

void TestFaults::generalChannelComesBackAndDevicesAreAnnouncedAgain() {
    const QJsonObject before = m_host.attachAndWait(m_push);
    QVERIFY(!before.isEmpty());
    const QString serialBefore = before.value(QStringLiteral("SN")).toString();

    const auto dropped = m_host.admin(QStringLiteral("DropGeneralChannel"));
    QVERIFY2(isSuccess(dropped), qPrintable(describeReply(dropped)));
    QCOMPARE(
        dropped->value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("CLOSED")).toInt(),
        1);

    // A device attached while the plug-in is away reaches it on its return,
    // with the devices it already knew announced again and left alone.
    const QJsonObject during = m_host.attachAndWait(m_push);
    QVERIFY2(!during.isEmpty(), "the listener did not come back");
    QVERIFY(QTest::qWaitFor(
        [&]() {
            const auto again = m_host.admin(QStringLiteral("DropGeneralChannel"));
            return isSuccess(again) && again->value(QStringLiteral("VALUE"))
                                               .toObject()
                                               .value(QStringLiteral("CLOSED"))
                                               .toInt() == 1;
        },
        10000));
    QCOMPARE(eventsFor(QStringLiteral("DISCONNECT"), serialBefore), 0);
    QCOMPARE(eventsFor(QStringLiteral("CONNECT"), serialBefore), 1);
    const QStringList listed = listedAircraft();
    QVERIFY(listed.contains(serialBefore));
    QVERIFY(listed.contains(during.value(QStringLiteral("SN")).toString()));
    QVERIFY(isSuccess(m_commands.call(QStringLiteral("GetFlyLimit"),
                                      {{QStringLiteral("AIRCRAFT"), serialBefore}}, 10000)));
}

void TestFaults::silentControllerIsLostAndFoundWhenItAnswers() {
    const QJsonObject device = m_host.attachAndWait(m_push);
    QVERIFY(!device.isEmpty());
    const QString file = device.value(QStringLiteral("FILE")).toString();
    const QString serial = device.value(QStringLiteral("SN")).toString();

    QElapsedTimer silence;
    QVERIFY(isSuccess(
        m_host.admin(QStringLiteral("SilenceController"),
                     {{QStringLiteral("FILE"), file}, {QStringLiteral("SILENT"), true}})));
    silence.start();
    QVERIFY(waitForEvent(QStringLiteral("DISCONNECT"), serial, 1, 20000));
    // Ten missed heartbeats of half a second; a timer never fires early.
    QVERIFY2(silence.elapsed() >= 4000, qPrintable(QString::number(silence.elapsed())));
    QVERIFY(!listedAircraft().contains(serial));

    // Heartbeats go on unanswered; the host stays responsive meanwhile.
    QTest::qWait(3000);
    QVERIFY(hostAnswers());

    QVERIFY(isSuccess(
        m_host.admin(QStringLiteral("SilenceController"),
                     {{QStringLiteral("FILE"), file}, {QStringLiteral("SILENT"), false}})));
    QVERIFY(waitForEvent(QStringLiteral("CONNECT"), serial, 2, 20000));
    QVERIFY(listedAircraft().contains(serial));
    QCOMPARE(eventsFor(QStringLiteral("DISCONNECT"), serial), 1);
    QVERIFY(
        isSuccess(m_host.admin(QStringLiteral("DetachDevice"), {{QStringLiteral("FILE"), file}})));
}

void TestFaults::readOnlyWaylineFolderKeepsThePreviousFile() {
    if (!HostProcess::canHonourPermissions())
        QSKIP("running as root without the right to drop capabilities");
    const QJsonObject first = smallMission();
    const auto saved = m_commands.call(QStringLiteral("SaveWayline"),
                                       {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("kept")},
                                        {QStringLiteral("WAYLINE"), first}});
    QVERIFY2(isSuccess(saved), qPrintable(describeReply(saved)));

    QFile folder(m_host.waylineFolder());
    const QFile::Permissions writable = folder.permissions();
    QVERIFY(folder.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    QJsonObject second = first;
    second.insert(QStringLiteral("IDLE_VEL"), 9);
    const auto refused = m_commands.call(QStringLiteral("SaveWayline"),
                                         {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("kept")},
                                          {QStringLiteral("WAYLINE"), second}});
    const auto refusedNew = m_commands.call(
        QStringLiteral("SaveWayline"), {{QStringLiteral("WAYLINE_NAME"), QStringLiteral("new")},
                                        {QStringLiteral("WAYLINE"), second}});
    const auto loaded = m_commands.call(QStringLiteral("GetWayLine"),
                                        {{QStringLiteral("WAYLINE"), QStringLiteral("kept")}});
    const auto listed = m_commands.call(QStringLiteral("WayLineList"));
    QVERIFY(folder.setPermissions(writable));

    QVERIFY(refused && refusedNew && loaded && listed);
    QCOMPARE(refused->value(QStringLiteral("ERROR")).toString(), QStringLiteral("FAILURE"));
    QCOMPARE(refused->value(QStringLiteral("ERROR_MESSAGE")).toString(),
             QStringLiteral("file save error."));
    QCOMPARE(refusedNew->value(QStringLiteral("ERROR_MESSAGE")).toString(),
             QStringLiteral("file save error."));
    QCOMPARE(loaded->value(QStringLiteral("VALUE")).toObject(), first);
    QCOMPARE(listed->value(QStringLiteral("VALUE")).toArray(), QJsonArray{QStringLiteral("kept")});
    // No temporary file was left behind either.
    QCOMPARE(QDir(m_host.waylineFolder()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("kept")});
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
