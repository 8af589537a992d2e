#include <epolleventdispatcher.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <atomic>
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

// Behaviour the host relies on from any event dispatcher; runs under ours and,
// as a second ctest entry, under Qt's, which must agree.
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
        const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(&log);
        QCOMPARE(timers.size(), intervals.size());
        for (const auto &timer : timers) {
            const int interval = idsByInterval.key(timer.timerId);
            const int left = QAbstractEventDispatcher::instance()->remainingTime(timer.timerId);
            QVERIFY2(left >= 0 && left <= 2 * interval + 1, qPrintable(QString::number(left)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(log.fired.size(), intervals.size(), 5000);
        QCOMPARE(log.fired, idsByInterval.values());
    }

    // A timer of interval 0 runs on every pass, but must not starve the others.
    void zeroTimerLeavesRoomForOthers() {
        TimerLog log;
        const int zero = log.startTimer(0);
        bool later = false;
        QTimer::singleShot(20, [&later]() { later = true; });
        QTRY_VERIFY(later);
        QVERIFY(log.fired.count(zero) > 1);
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
        QVERIFY(QAbstractEventDispatcher::instance()->registeredTimers(&log).isEmpty());
    }

    // A handler that waits in a nested loop sees other timers, not its own again.
    void nestedLoopDoesNotReenterItsTimer() {
        TimerLog log;
        int depth = 0;
        int deepest = 0;
        bool nestedTimerFired = false;
        const int repeating = log.startTimer(1, Qt::PreciseTimer);
        log.onTimer = [&](int) {
            deepest = std::max(deepest, ++depth);
            if (!nestedTimerFired) {
                QEventLoop nested;
                QTimer::singleShot(30, &nested, [&]() {
                    nestedTimerFired = true;
                    nested.quit();
                });
                nested.exec();
            }
            --depth;
        };
        QTRY_VERIFY(nestedTimerFired && log.fired.size() > 1);
        log.killTimer(repeating);
        QCOMPARE(deepest, 1);
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

    void interruptEndsAWaitFromAnotherThread() {
        QCoreApplication::processEvents(); // an earlier wake-up would end the wait at once
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        std::atomic<bool> blocking{false};
        std::atomic<bool> returned{false};
        const auto connection = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                        [&blocking]() { blocking = true; });
        bool safetyFired = false;
        QTimer safety;
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, [&safetyFired]() { safetyFired = true; });
        safety.start(10000);
        std::thread interrupter([&]() {
            while (!blocking && !returned)
                std::this_thread::yield();
            dispatcher->interrupt();
        });
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        returned = true;
        interrupter.join();
        QVERIFY(blocking);
        disconnect(connection);
        QVERIFY(!safetyFired);
    }

    void socketNotifiers_data() {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("unread data keeps the reader firing") << "level-triggered";
        QTest::newRow("a disabled reader stays quiet until enabled") << "disable";
        QTest::newRow("a writer fires on a writable socket") << "write";
        QTest::newRow("sockets are left alone while excluded") << "exclude";
        QTest::newRow("a hang-up wakes the reader") << "hang-up";
    }
    void socketNotifiers() {
        QFETCH(QString, scenario);
        SocketPair pair;
        const auto type = scenario == "write" ? QSocketNotifier::Write : QSocketNotifier::Read;
        QSocketNotifier notifier(pair.fd[0], type);
        int activations = 0;
        connect(&notifier, &QSocketNotifier::activated, [&activations]() { ++activations; });
        if (scenario == "exclude" &&
            !qobject_cast<EpollEventDispatcher *>(QAbstractEventDispatcher::instance()))
            QSKIP("Qt's own dispatcher activates notifiers despite the flag");
        if (scenario == "disable" || scenario == "exclude") {
            notifier.setEnabled(scenario != "disable");
            pair.send();
            for (int i = 0; i < 3; ++i)
                QCoreApplication::processEvents(QEventLoop::ExcludeSocketNotifiers);
            QCOMPARE(activations, 0);
            notifier.setEnabled(true);
        } else if (scenario == "hang-up") {
            ::shutdown(pair.fd[1], SHUT_RDWR);
        } else if (scenario != "write") {
            pair.send();
        }
        QTRY_VERIFY(activations >= 2);
    }

    // Both ready in one pass; the first handler deletes the second notifier.
    void notifierDeletedDuringActivationIsNotCalled() {
        SocketPair pair;
        pair.send();
        QSocketNotifier reader(pair.fd[0], QSocketNotifier::Read);
        auto *writer = new QSocketNotifier(pair.fd[0], QSocketNotifier::Write);
        int calls = 0;
        connect(&reader, &QSocketNotifier::activated, [&]() {
            ++calls;
            delete writer;
            writer = nullptr;
            reader.setEnabled(false);
        });
        connect(writer, &QSocketNotifier::activated, [&calls]() { ++calls; });
        QTRY_COMPARE(calls, 1);
        QCoreApplication::processEvents();
        QCOMPARE(calls, 1);
        delete writer;
    }

    // The cost must not grow with idle sockets; here only that one ready
    // socket among thousands is still found.
    void oneReadySocketAmongThousands() {
        std::vector<std::unique_ptr<SocketPair>> pairs;
        std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
        int ready = -1;
        for (int i = 0; i < 5000; ++i) {
            pairs.push_back(std::make_unique<SocketPair>());
            if (pairs.back()->fd[1] < 0)
                QSKIP("not enough file descriptors for 5,000 socket pairs");
            notifiers.push_back(
                std::make_unique<QSocketNotifier>(pairs.back()->fd[0], QSocketNotifier::Read));
            connect(notifiers.back().get(), &QSocketNotifier::activated,
                    [&ready, i]() { ready = i; });
        }
        pairs[4321]->send();
        QTRY_COMPARE(ready, 4321);
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_EpollEventDispatcher)
#include "tst_epolleventdispatcher.moc"
