#include "runinbackground.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent>

void runInBackground(std::function<std::function<void()>()> task) {
    runInBackground(QThreadPool::globalInstance(), std::move(task));
}

void runInBackground(QThreadPool *pool, std::function<std::function<void()>()> task) {
    using Completion = std::function<void()>;
    auto *watcher = new QFutureWatcher<Completion>();
    QObject::connect(
        watcher, &QFutureWatcher<Completion>::finished, watcher,
        [watcher]() {
            const Completion completion = watcher->result();
            if (completion)
                completion();
            // Deleting the sender inside its own signal would pull the object
            // from under the emitting code; let the event loop do it.
            watcher->deleteLater();
        },
        Qt::DirectConnection);
    watcher->setFuture(QtConcurrent::run(pool, std::move(task)));
}
