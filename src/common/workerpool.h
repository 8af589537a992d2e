#ifndef WORKERPOOL_H
#define WORKERPOOL_H

#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

// A thread pool of its own whose threads all start with it and never
// expire: no later task needs a new thread, nor the descriptors a thread
// takes, so work still runs when the process is out of descriptors.
// Tasks start in the order they were queued.
class WorkerPool {
public:
    using Task = std::function<std::function<void()>()>;
    // Set once nobody waits for the outcome any more.
    using CancelFlag = std::shared_ptr<const std::atomic_bool>;

    explicit WorkerPool(int threads);
    // Queued tasks are dropped; running ones are waited for.
    ~WorkerPool();

    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // As runInBackground, on this pool. A task whose flag is set by the time
    // it comes up is dropped, its completion with it; an empty flag is
    // never set.
    void run(Task task, CancelFlag cancelled);

private:
    QThreadPool m_pool;
    std::shared_ptr<std::atomic_bool> m_closing;
};

#endif // WORKERPOOL_H
