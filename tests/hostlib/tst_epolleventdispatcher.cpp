#include <epolleventdispatcher.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Records the timer events it receives, in order.
class TimerLog : public QObject {
public:
    QList<int> fired;
    std::function<void(int)> onTimer;

protected:
    void timerEvent(QTimerEvent *event) override {
        fired.append(event->timerId());
        if (onTimer)
            onTimer(event->timerId());
    }
};

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd); }
    ~SocketPair() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void send() const { QCOMPARE(::write(fd[1], "x", 1), 1); }
};

} // namespace

// What the host relies on from an event dispatcher. Runs under ours and, as a
// second ctest entry, under Qt's, which must agree. A cross-thread interrupt
// is left to the suite: every thread's quit() needs one.
class tst_EpollEventDispatcher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void timersFireInOrderOfDeadline_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QList<int>>("intervals");
        QTest::newRow("precise timers keep their order")
            << int(Qt::PreciseTimer) << QList<int>{40, 0, 20, 10, 30};
        QTest::newRow("coarse timers stay within their slack")
            << int(Qt::CoarseTimer) << QList<int>{300, 100, 200, 30};
        QTest::newRow("very coarse timers keep whole seconds")
            << int(Qt::VeryCoarseTimer) << QList<int>{2000, 1000};
    }
    void timersFireInOrderOfDeadline() {
        QFETCH(int, type);
        QFETCH(QList<int>, intervals);
        TimerLog log;
        QMap<int, int> idsByInterval;
        for (int interval : intervals)
            idsByInterval.insert(interval, log.startTimer(interval, Qt::TimerType(type)));
        log.onTimer = [&log](int id) { log.killTimer(id); };
        const int last = idsByInterval.last();
        QCOMPARE(QAbstractEventDispatcher::instance()->registeredTimers(&log).size(),
                 intervals.size());
        QVERIFY(QAbstractEventDispatcher::instance()->remainingTime(last) > 0);
        QTRY_COMPARE_WITH_TIMEOUT(log.fired.size(), intervals.size(), 5000);
        QCOMPARE(log.fired, idsByInterval.values());
    }

    void timerKilledByAnEarlierHandlerInTheSamePassStaysQuiet() {
        TimerLog log;
        const int first = log.startTimer(0);
        const int second = log.startTimer(0);
        log.onTimer = [&](int id) {
            log.killTimer(id);
            if (id == first)
                log.killTimer(second);
        };
        QTRY_VERIFY(!log.fired.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(log.fired, QList<int>{first});
    }

    // A handler that waits in a nested loop sees other timers, not its own again.
    void nestedLoopDoesNotReenterItsTimer() {
        TimerLog log;
        int firedWhenNestedEnded = -1;
        const int repeating = log.startTimer(1, Qt::PreciseTimer);
        log.onTimer = [&](int) {
            if (firedWhenNestedEnded >= 0)
                return;
            QEventLoop nested;
            QTimer::singleShot(30, &nested, &QEventLoop::quit);
            nested.exec();
            firedWhenNestedEnded = log.fired.size();
        };
        QTRY_VERIFY(log.fired.size() > 1);
        log.killTimer(repeating);
        QCOMPARE(firedWhenNestedEnded, 1);
    }

    void postedEventsFromAnotherThreadWakeTheLoop() {
        QEventLoop loop;
        QList<int> order;
        QTimer::singleShot(5000, &loop, [&loop]() { loop.exit(1); });
        std::thread poster([&]() {
            for (int i = 0; i < 3; ++i)
                QMetaObject::invokeMethod(&loop, [&order, i]() { order.append(i); });
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        QCOMPARE(loop.exec(), 0);
        poster.join();
        QCOMPARE(order, (QList<int>{0, 1, 2}));
    }

    void socketNotifiers_data() {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("unread data keeps the reader firing") << "level-triggered";
        QTest::newRow("a disabled reader stays quiet until enabled") << "disable";
        QTest::newRow("a writer fires on a writable socket") << "write";
        QTest::newRow("sockets are left alone while excluded") << "exclude";
        QTest::newRow("a hang-up wakes the reader") << "hang-up";
        QTest::newRow("a writer deleted by the reader in the same pass stays quiet") << "delete";
        QTest::newRow("one ready socket among 5,000 idle ones is found") << "crowd";
    }
    void socketNotifiers() {
        QFETCH(QString, scenario);
        if (scenario == "exclude" &&
            !qobject_cast<EpollEventDispatcher *>(QAbstractEventDispatcher::instance()))
            QSKIP("Qt's own dispatcher activates notifiers despite the flag");
        std::vector<std::unique_ptr<SocketPair>> idle(scenario == "crowd" ? 5000 : 0);
        std::vector<std::unique_ptr<QSocketNotifier>> idleNotifiers;
        for (auto &pair : idle) {
            pair = std::make_unique<SocketPair>();
            QVERIFY2(pair->fd[1] >= 0, "not enough file descriptors");
            idleNotifiers.push_back(
                std::make_unique<QSocketNotifier>(pair->fd[0], QSocketNotifier::Read));
        }
        SocketPair pair;
        const auto type = scenario == "write" ? QSocketNotifier::Write : QSocketNotifier::Read;
        QSocketNotifier notifier(pair.fd[0], type);
        int activations = 0;
        connect(&notifier, &QSocketNotifier::activated, [&activations]() { ++activations; });
        std::unique_ptr<QSocketNotifier> writer;
        bool writerFired = false;
        if (scenario == "delete") {
            writer = std::make_unique<QSocketNotifier>(pair.fd[0], QSocketNotifier::Write);
            connect(writer.get(), &QSocketNotifier::activated, [&]() { writerFired = true; });
            connect(&notifier, &QSocketNotifier::activated, [&writer]() { writer.reset(); });
        }
        if (scenario == "disable" || scenario == "exclude") {
            notifier.setEnabled(scenario != "disable");
            pair.send();
            for (int i = 0; i < 3; ++i)
                QCoreApplication::processEvents(scenario == "exclude"
                                                    ? QEventLoop::ExcludeSocketNotifiers
                                                    : QEventLoop::AllEvents);
            QCOMPARE(activations, 0);
            notifier.setEnabled(true);
        } else if (scenario == "hang-up") {
            ::shutdown(pair.fd[1], SHUT_RDWR);
        } else if (scenario != "write") {
            pair.send();
        }
        QTRY_VERIFY(activations >= 2);
        QVERIFY(!writerFired);
    }

    // A writer beside a reader, from a full socket, then switched on, off and on before a pass.
    void writerSwitchedWithinAPassFiresOnceThenSleeps() {
        SocketPair pair;
        char buffer[4096] = {};
        while (::write(pair.fd[0], buffer, sizeof buffer) > 0) {
        }
        QSocketNotifier reader(pair.fd[0], QSocketNotifier::Read);
        QSocketNotifier writer(pair.fd[0], QSocketNotifier::Write);
        QSignalSpy written(&writer, &QSocketNotifier::activated);
        connect(&writer, &QSocketNotifier::activated, &writer, [&]() { writer.setEnabled(false); });
        QCoreApplication::processEvents();
        while (::read(pair.fd[1], buffer, sizeof buffer) > 0) {
        }
        QTRY_COMPARE(written.count(), 1);
        for (bool enable : {true, false, true})
            writer.setEnabled(enable);
        QSignalSpy wakes(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake);
        QEventLoop quiet;
        QTimer::singleShot(100, &quiet, &QEventLoop::quit);
        quiet.exec();
        QCOMPARE(written.count(), 2);
        QVERIFY2(wakes.count() < 20, "the loop spins"); // a quiet one wakes for the timer alone
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_EpollEventDispatcher)
#include "tst_epolleventdispatcher.moc"
