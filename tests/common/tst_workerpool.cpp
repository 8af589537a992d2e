#include <workerpool.h>

#include <QDir>
#include <QSemaphore>
#include <QTest>

class tst_WorkerPool : public QObject {
    Q_OBJECT

    static int threadsOfThisProcess() {
        return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    }

private Q_SLOTS:
    // No task may need a new thread, nor the descriptors one takes; queued
    // work of a client that has gone never runs.
    void threadsStartWithThePoolAndGoneWorkIsDropped() {
        const int before = threadsOfThisProcess();
        WorkerPool pool(2);
        QCOMPARE(threadsOfThisProcess(), before + 2);
        QSemaphore running, gate;
        const WorkerPool::Task block = [&]() {
            running.release();
            gate.acquire();
            return std::function<void()>();
        };
        pool.run(block, {});
        pool.run(block, {});
        QVERIFY(running.tryAcquire(2, 10000));

        const auto gone = std::make_shared<std::atomic_bool>(false);
        std::atomic_int goneRan{0};
        bool goneCompleted = false, stayingCompleted = false;
        for (int i = 0; i < 5; ++i)
            pool.run(
                [&]() -> std::function<void()> {
                    ++goneRan;
                    return [&]() { goneCompleted = true; };
                },
                gone);
        pool.run([&]() { return [&]() { stayingCompleted = true; }; }, {});
        gone->store(true);
        gate.release(2);
        // Tasks start in queue order: the staying client's comes last.
        QTRY_VERIFY(stayingCompleted);
        QCOMPARE(goneRan.load(), 0);
        QVERIFY(!goneCompleted);
    }
};

QTEST_GUILESS_MAIN(tst_WorkerPool)
#include "tst_workerpool.moc"
