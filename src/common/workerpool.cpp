#include "workerpool.h"

#include "runinbackground.h"

#include <QSemaphore>

WorkerPool::WorkerPool(int threads)
    : m_closing(std::make_shared<std::atomic_bool>(false)) {
    m_pool.setMaxThreadCount(threads);
    m_pool.setExpiryTimeout(-1);
    // Each starter keeps its thread busy until all have begun, so the pool
    // must make one thread per starter instead of reusing an idle one.
    const auto begun = std::make_shared<QSemaphore>();
    const auto go = std::make_shared<QSemaphore>();
    for (int i = 0; i < threads; ++i) {
        m_pool.start([begun, go]() {
            begun->release();
            go->acquire();
        });
    }
    begun->acquire(threads);
    go->release(threads);
}

WorkerPool::~WorkerPool() {
    // Queued tasks still finish, at once, so every completion watcher is
    // told and freed; the pool's own destructor then waits.
    m_closing->store(true);
}

void WorkerPool::run(Task task, CancelFlag cancelled) {
    runInBackground(&m_pool,
                    [task = std::move(task), cancelled = std::move(cancelled),
                     closing = m_closing]() -> std::function<void()> {
                        if (closing->load() || (cancelled && cancelled->load()))
                            return {};
                        return task();
                    });
}
