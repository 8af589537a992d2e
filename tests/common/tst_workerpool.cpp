#include <workerpool.h>

#include <QDir>
#include <QSemaphore>
#include <QTest>

namespace {

int threadsOfThisProcess() {
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

// A task that reports its run and hands back a completion that reports too.
WorkerPool::Task counted(std::atomic_int &ran, int &completed) {
    return [&ran, &completed]() -> std::function<void()> {
        ++ran;
        return [&completed]() { ++completed; };
    };
}

// Until gate opens; true once both threads are taken.
bool occupyBothThreads(WorkerPool &pool, QSemaphore &gate) {
    auto running = std::make_shared<QSemaphore>();
    const WorkerPool::Task wait = [running, &gate]() {
        running->release();
        gate.acquire();
        return std::function<void()>();
    };
    pool.run(wait, {});
    pool.run(wait, {});
    return running->tryAcquire(2, 10000);
}

} // namespace

class tst_WorkerPool : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Work must go on when the process has no descriptor left for a thread.
    void everyThreadStartsWithThePool() {
        const int before = threadsOfThisProcess();
        WorkerPool pool(2);
        QCOMPARE(threadsOfThisProcess(), before + 2);

        QSemaphore gate;
        QVERIFY(occupyBothThreads(pool, gate));
        QCOMPARE(threadsOfThisProcess(), before + 2);
        gate.release(2);
    }

    void queuedWorkOfAGoneClientNeverRuns() {
        WorkerPool pool(2);
        QSemaphore gate;
        QVERIFY(occupyBothThreads(pool, gate));

        const auto gone = std::make_shared<std::atomic_bool>(false);
        const auto staying = std::make_shared<std::atomic_bool>(false);
        std::atomic_int goneRan{0}, stayingRan{0};
        int goneCompleted = 0, stayingCompleted = 0;
        for (int i = 0; i < 5; ++i)
            pool.run(counted(goneRan, goneCompleted), gone);
        pool.run(counted(stayingRan, stayingCompleted), staying);
        gone->store(true);
        gate.release(2);

        // Tasks start in queue order, so the staying client's comes last.
        QTRY_COMPARE(stayingCompleted, 1);
        QCOMPARE(stayingRan.load(), 1);
        QCOMPARE(goneRan.load(), 0);
        QCOMPARE(goneCompleted, 0);
    }
};

QTEST_GUILESS_MAIN(tst_WorkerPool)
#include "tst_workerpool.moc"
