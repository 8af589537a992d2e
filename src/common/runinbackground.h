#ifndef RUNINBACKGROUND_H
#define RUNINBACKGROUND_H

#include <functional>

class QThreadPool;

// Runs task on Qt's global thread pool and then the completion it returns on
// the calling thread, through that thread's event loop. The task must capture
// by value and touch no shared state; the completion is where results land.
void runInBackground(std::function<std::function<void()>()> task);
// The same on pool; an empty completion is skipped.
void runInBackground(QThreadPool *pool, std::function<std::function<void()>()> task);

#endif // RUNINBACKGROUND_H
