#ifndef EPOLLEVENTDISPATCHER_H
#define EPOLLEVENTDISPATCHER_H

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QSet>
#include <QVarLengthArray>
#include <QVector>

#include <atomic>
#include <map>
#include <memory>

class QSocketNotifier;
class QThread;

// An event dispatcher on Linux epoll. Qt's own hands every socket to poll()
// on each wake-up, so its cost per event grows with the number of sockets;
// here a socket costs only when it is ready. Timers, posted events and
// socket notifiers behave as with Qt's dispatcher: level-triggered notifiers,
// precise, coarse and very coarse timers, wake-ups from any thread.
//
// Qt's sockets enable their write notifier whenever data is queued and
// disable it once flushed, around every message. A socket is almost always
// writable, so an enabled write notifier is first asked about with one
// poll() per pass, shared by every such socket, and goes into epoll only
// when that finds the socket full: no epoll_ctl() for the usual message.
class EpollEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    // Names the event loop to use: "epoll" (ours, the default) or "qt".
    static constexpr const char *ChoiceVariable = "ORU_EVENT_LOOP";

    explicit EpollEventDispatcher(QObject *parent = nullptr);
    ~EpollEventDispatcher() override;

    // Whether ORU_EVENT_LOOP asks for ours; anything but "qt" does.
    static bool isChosen();
    // Takes "--event-loop <qt|epoll>" from the arguments into ORU_EVENT_LOOP,
    // so threads started later choose alike, then installs ours for the
    // application when chosen. Call before QCoreApplication is constructed.
    static void installFromArguments(int argc, char **argv);
    // Installs ours for the application when chosen; call before
    // QCoreApplication is constructed.
    static void installIfChosen();
    // Installs ours for a thread that has not started yet, when chosen.
    static void installInThread(QThread *thread);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType,
                       QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override;

private:
    struct Timer {
        int id = 0;
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        qint64 deadline = 0; // CLOCK_MONOTONIC, nanoseconds
        quint64 serial = 0;  // tells a reused id from the timer that had it
        bool active = false; // its handler is running
        bool queued = false;
        std::multimap<qint64, Timer *>::iterator place;
    };
    struct Watch {
        QSocketNotifier *notifiers[3] = {nullptr, nullptr, nullptr}; // read, write, exception
        quint32 events = 0;                                          // as registered in epoll
        bool checkWrite = false; // listed in m_writeChecks, its writer not in epoll
    };

    void schedule(Timer *timer, qint64 now);
    void removeTimer(Timer *timer);
    int activateTimers();
    int timeoutMs() const;
    void updateWatch(int fd, Watch &watch);
    using Notifiers = QVarLengthArray<QSocketNotifier *, 64>;
    void checkWritable(Notifiers &writable);
    int listReady(int ready);
    int activatePending(int first);
    void drainWakeUps();

    int m_epoll = -1;
    int m_wakeFd = -1;
    std::atomic<int> m_wakeUpPending{0};
    std::atomic<bool> m_interrupted{false};

    QHash<int, Timer *> m_timers;
    QMultiHash<QObject *, Timer *> m_timersByObject;
    std::multimap<qint64, Timer *> m_queue;
    quint64 m_nextSerial = 0;

    QHash<int, Watch> m_watches;
    QSet<int> m_unpolled;       // regular files: epoll refuses them, poll() calls them ready
    QVector<int> m_writeChecks; // sockets whose enabled writer waits for the next poll()
    QVector<QSocketNotifier *> m_pending;
    std::unique_ptr<struct epoll_event[]> m_events;
};

#endif // EPOLLEVENTDISPATCHER_H
