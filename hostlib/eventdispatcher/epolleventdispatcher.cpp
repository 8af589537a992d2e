#include "epolleventdispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// Qt's count of events posted to the calling thread and not yet sent;
// exported by QtCore for event dispatchers outside it.
Q_CORE_EXPORT uint qGlobalPostedEventsCount();

namespace {

// Enough for a busy fleet in one wake-up; more ready sockets stay ready
// (level-triggered) and come in the next one.
constexpr int MaxEventsPerWait = 512;

constexpr qint64 NsPerMs = 1000000;

qint64 monotonicNs() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A coarse timer may fire up to 5 % of its interval early or late; within
// that slack it lands on the roundest millisecond at hand, so timers of a
// process (and of the machine) wake together instead of one by one.
qint64 alignCoarse(qint64 deadline, int interval) {
    const qint64 ms = deadline / NsPerMs;
    const qint64 slack = std::max(1, interval / 20);
    static const int roundSteps[] = {1000, 500, 250, 200, 100, 50, 25};
    static const int shortSteps[] = {4};
    static const int shorterSteps[] = {2};
    const int *steps = roundSteps;
    int count = 7;
    if (interval < 100 && interval % 25 != 0) {
        steps = interval < 40 ? shorterSteps : shortSteps;
        count = 1;
    }
    for (int i = 0; i < count; ++i) {
        const qint64 down = ms - ms % steps[i];
        const qint64 up = down + steps[i];
        if (ms - down <= slack)
            return down * NsPerMs;
        if (up - ms <= slack)
            return up * NsPerMs;
    }
    return deadline;
}

int notifierSlot(QSocketNotifier::Type type) {
    switch (type) {
    case QSocketNotifier::Read:
        return 0;
    case QSocketNotifier::Write:
        return 1;
    case QSocketNotifier::Exception:
        break;
    }
    return 2;
}

const char *typeName(QSocketNotifier::Type type) {
    static const char *names[] = {"Read", "Write", "Exception"};
    return names[notifierSlot(type)];
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_events(new epoll_event[MaxEventsPerWait]) {
    if (m_epoll < 0 || m_wakeFd < 0)
        qFatal("EpollEventDispatcher: cannot create epoll or eventfd: %s", std::strerror(errno));
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = m_wakeFd;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &wake) != 0)
        qFatal("EpollEventDispatcher: cannot watch the eventfd: %s", std::strerror(errno));
}

EpollEventDispatcher::~EpollEventDispatcher() {
    qDeleteAll(m_timers);
    ::close(m_wakeFd);
    ::close(m_epoll);
}

bool EpollEventDispatcher::isChosen() {
    return qgetenv(ChoiceVariable) != "qt";
}

void EpollEventDispatcher::installFromArguments(int argc, char **argv) {
    static const char option[] = "--event-loop";
    const size_t length = sizeof(option) - 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], option, length) != 0)
            continue;
        if (argv[i][length] == '=')
            qputenv(ChoiceVariable, argv[i] + length + 1);
        else if (argv[i][length] == '\0' && i + 1 < argc)
            qputenv(ChoiceVariable, argv[i + 1]);
    }
    installIfChosen();
}

void EpollEventDispatcher::installIfChosen() {
    if (isChosen())
        QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
}

void EpollEventDispatcher::installInThread(QThread *thread) {
    if (isChosen())
        thread->setEventDispatcher(new EpollEventDispatcher);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m_interrupted.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool timers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool notifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    // A post from anywhere raises the wake-up, so a pending one means there
    // is work already and the wait below returns at once.
    const bool wait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load();
    if (wait && !m_wakeUpPending.load())
        emit aboutToBlock();
    if (m_interrupted.load())
        return false;

    int timeout = wait ? (timers ? timeoutMs() : -1) : 0;
    if (notifiers && !m_unpolled.isEmpty())
        timeout = 0;

    int handled = 0;
    if (notifiers) {
        Notifiers writable;
        checkWritable(writable);
        // A writer found writable is work at hand: look, but do not block.
        if (!writable.isEmpty())
            timeout = 0;
        int ready = ::epoll_wait(m_epoll, m_events.get(), MaxEventsPerWait, timeout);
        if (ready < 0 && errno != EINTR)
            qWarning("EpollEventDispatcher: epoll_wait: %s", std::strerror(errno));
        const int first = m_pending.size();
        handled += listReady(std::max(ready, 0));
        // After the readers, as when epoll reports a socket readable and writable.
        for (QSocketNotifier *writer : qAsConst(writable))
            m_pending.append(writer);
        handled += activatePending(first);
    } else {
        // Sockets must not wake us now; only a wake-up or a timer may.
        pollfd wake = {m_wakeFd, POLLIN, 0};
        if (::poll(&wake, 1, timeout) > 0 && (wake.revents & POLLIN)) {
            drainWakeUps();
            ++handled;
        }
    }
    if (timers)
        handled += activateTimers();
    return handled > 0;
}

bool EpollEventDispatcher::hasPendingEvents() {
    return qGlobalPostedEventsCount() > 0;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier) {
    const int fd = int(notifier->socket());
    Watch &watch = m_watches[fd];
    const int index = notifierSlot(notifier->type());
    QSocketNotifier *&slot = watch.notifiers[index];
    if (slot && slot != notifier)
        qWarning("EpollEventDispatcher: multiple socket notifiers for socket %d and type %s", fd,
                 typeName(notifier->type()));
    slot = notifier;
    // A writer waits for the next pass's poll() unless epoll watches for it already.
    if (index == 1 && !(watch.events & EPOLLOUT)) {
        if (!watch.checkWrite) {
            watch.checkWrite = true;
            m_writeChecks.append(fd);
        }
        return;
    }
    updateWatch(fd, watch);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier) {
    const int fd = int(notifier->socket());
    std::replace(m_pending.begin(), m_pending.end(), notifier,
                 static_cast<QSocketNotifier *>(nullptr));
    auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    const int index = notifierSlot(notifier->type());
    QSocketNotifier *&slot = it->notifiers[index];
    if (slot != notifier)
        return;
    slot = nullptr;
    // A writer that never reached epoll leaves it as it is; the next
    // poll() drops it from the list.
    if (index == 1 && it->checkWrite && (it->notifiers[0] || it->notifiers[2]))
        return;
    updateWatch(fd, *it);
}

void EpollEventDispatcher::updateWatch(int fd, Watch &watch) {
    uint32_t events = 0;
    if (watch.notifiers[0])
        events |= EPOLLIN;
    if (watch.notifiers[1] && !watch.checkWrite)
        events |= EPOLLOUT;
    if (watch.notifiers[2])
        events |= EPOLLPRI;

    if (events == 0) {
        // A socket closed before its notifier went is gone from epoll already.
        if (watch.events != 0)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        watch.events = 0;
        // Only a writer waiting for its poll() is left: nothing for epoll.
        if (watch.notifiers[1])
            return;
        m_unpolled.remove(fd);
        if (watch.checkWrite)
            m_writeChecks.removeOne(fd);
        m_watches.remove(fd);
        return;
    }
    if (m_unpolled.contains(fd))
        return;

    epoll_event change = {};
    change.events = events;
    change.data.fd = fd;
    int op = watch.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int result = ::epoll_ctl(m_epoll, op, fd, &change);
    // The number may have been closed and reused without the notifier knowing.
    if (result != 0 && (errno == EEXIST || errno == ENOENT)) {
        op = errno == EEXIST ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
        result = ::epoll_ctl(m_epoll, op, fd, &change);
    }
    if (result == 0) {
        watch.events = events;
    } else if (errno == EPERM) {
        // A regular file: epoll refuses it, poll() would call it always ready.
        m_unpolled.insert(fd);
    } else {
        qWarning("EpollEventDispatcher: cannot watch socket %d: %s", fd, std::strerror(errno));
    }
}

void EpollEventDispatcher::checkWritable(Notifiers &writable) {
    QVarLengthArray<pollfd, 64> polls;
    int kept = 0;
    for (int i = 0; i < m_writeChecks.size(); ++i) {
        const int fd = m_writeChecks.at(i);
        const auto it = m_watches.find(fd);
        if (it == m_watches.end())
            continue;
        if (!it->notifiers[1]) {
            // Disabled since it was listed.
            it->checkWrite = false;
            continue;
        }
        m_writeChecks[kept++] = fd;
        polls.append({fd, POLLOUT, 0});
    }
    m_writeChecks.resize(kept);
    if (polls.isEmpty())
        return;

    const int result = ::poll(polls.data(), nfds_t(polls.size()), 0);
    kept = 0;
    for (const pollfd &entry : polls) {
        Watch &watch = m_watches[entry.fd];
        if (result > 0 && (entry.revents & (POLLOUT | POLLERR | POLLHUP))) {
            // Asked again next pass while still enabled, as level-triggered.
            writable.append(watch.notifiers[1]);
            m_writeChecks[kept++] = entry.fd;
        } else {
            // Full, so epoll tells when it drains; or no socket at all, which
            // epoll_ctl() reports as it would have on registering.
            watch.checkWrite = false;
            updateWatch(entry.fd, watch);
        }
    }
    m_writeChecks.resize(kept);
}

int EpollEventDispatcher::listReady(int ready) {
    // Every ready notifier is listed before any is activated: a handler may
    // run a nested loop that reuses the event buffer, and one that deletes a
    // notifier takes it off the list. A writer listed for poll() comes from
    // there alone.
    int handled = 0;
    const auto add = [this](const Watch &watch, bool read, bool write, bool exception) {
        if (read && watch.notifiers[0])
            m_pending.append(watch.notifiers[0]);
        if (write && watch.notifiers[1] && !watch.checkWrite)
            m_pending.append(watch.notifiers[1]);
        if (exception && watch.notifiers[2])
            m_pending.append(watch.notifiers[2]);
    };
    for (int i = 0; i < ready; ++i) {
        const epoll_event &event = m_events[i];
        if (event.data.fd == m_wakeFd) {
            drainWakeUps();
            ++handled;
            continue;
        }
        const auto it = m_watches.constFind(event.data.fd);
        if (it == m_watches.constEnd())
            continue;
        // Hang-ups and errors wake readers and writers alike, as poll() does.
        const bool failed = event.events & (EPOLLHUP | EPOLLERR);
        add(*it, failed || (event.events & EPOLLIN), failed || (event.events & EPOLLOUT),
            event.events & EPOLLPRI);
    }
    for (int fd : qAsConst(m_unpolled))
        add(m_watches.value(fd), true, true, false);
    return handled;
}

int EpollEventDispatcher::activatePending(int first) {
    int handled = 0;
    const int last = m_pending.size();
    for (int i = first; i < last; ++i) {
        QSocketNotifier *notifier = m_pending.at(i);
        if (!notifier)
            continue;
        m_pending[i] = nullptr;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++handled;
    }
    m_pending.resize(first);
    return handled;
}

void EpollEventDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType,
                                         QObject *object) {
    // Qt's own adjustments: short coarse timers gain nothing from slack, long
    // ones need no more than whole seconds.
    if (timerType == Qt::CoarseTimer) {
        if (interval >= 20000)
            timerType = Qt::VeryCoarseTimer;
        else if (interval <= 20)
            timerType = Qt::PreciseTimer;
    }
    if (timerType == Qt::VeryCoarseTimer)
        interval = (interval + 500) / 1000 * 1000;

    auto *timer = new Timer;
    timer->id = timerId;
    timer->interval = interval;
    timer->type = timerType;
    timer->object = object;
    timer->serial = ++m_nextSerial;
    const qint64 now = monotonicNs();
    timer->deadline = now;
    m_timers.insert(timerId, timer);
    m_timersByObject.insert(object, timer);
    schedule(timer, now);
}

void EpollEventDispatcher::schedule(Timer *timer, qint64 now) {
    if (timer->queued)
        m_queue.erase(timer->place);
    const qint64 interval = qint64(timer->interval) * NsPerMs;
    // From the last deadline, so a periodic timer keeps its rhythm; from now
    // when it fell a whole interval behind, so it does not fire in bursts.
    qint64 deadline = timer->deadline + interval;
    if (deadline < now)
        deadline = now + interval;
    switch (timer->type) {
    case Qt::PreciseTimer:
        break;
    case Qt::CoarseTimer:
        deadline = alignCoarse(deadline, timer->interval);
        break;
    case Qt::VeryCoarseTimer:
        // On the whole second at or before, as Qt's own dispatcher does.
        if (timer->interval > 0)
            deadline = deadline / (1000 * NsPerMs) * (1000 * NsPerMs);
        break;
    }
    timer->deadline = deadline;
    timer->place = m_queue.emplace(deadline, timer);
    timer->queued = true;
}

void EpollEventDispatcher::removeTimer(Timer *timer) {
    m_queue.erase(timer->place);
    m_timers.remove(timer->id);
    delete timer;
}

bool EpollEventDispatcher::unregisterTimer(int timerId) {
    Timer *timer = m_timers.value(timerId);
    if (!timer)
        return false;
    m_timersByObject.remove(timer->object, timer);
    removeTimer(timer);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object) {
    const QList<Timer *> timers = m_timersByObject.values(object);
    if (timers.isEmpty())
        return false;
    m_timersByObject.remove(object);
    for (Timer *timer : timers)
        removeTimer(timer);
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollEventDispatcher::registeredTimers(QObject *object) const {
    QList<TimerInfo> list;
    for (auto it = m_timersByObject.constFind(object);
         it != m_timersByObject.constEnd() && it.key() == object; ++it)
        list.append(TimerInfo((*it)->id, (*it)->interval, (*it)->type));
    return list;
}

int EpollEventDispatcher::remainingTime(int timerId) {
    const Timer *timer = m_timers.value(timerId);
    if (!timer)
        return -1;
    const qint64 left = timer->deadline - monotonicNs();
    return left <= 0 ? 0 : int((left + NsPerMs / 2) / NsPerMs);
}

int EpollEventDispatcher::timeoutMs() const {
    if (m_queue.empty())
        return -1;
    const qint64 left = m_queue.begin()->first - monotonicNs();
    if (left <= 0)
        return 0;
    // Rounded up: waking a little early would only spin until the deadline.
    return int(std::min<qint64>((left + NsPerMs - 1) / NsPerMs, INT_MAX));
}

int EpollEventDispatcher::activateTimers() {
    if (m_queue.empty() || m_queue.begin()->first > monotonicNs())
        return 0;
    // Only timers due as the pass begins, each once: a timer of interval 0
    // re-arms for now and would otherwise fire for ever inside one pass.
    const qint64 now = monotonicNs();
    QVarLengthArray<std::pair<int, quint64>, 64> due;
    for (auto it = m_queue.begin(); it != m_queue.end() && it->first <= now; ++it)
        due.append({it->second->id, it->second->serial});

    int handled = 0;
    for (const auto &[id, serial] : due) {
        Timer *timer = m_timers.value(id);
        // Gone, or the id reused by a new timer, during this pass.
        if (!timer || timer->serial != serial)
            continue;
        schedule(timer, now);
        if (timer->interval > 0)
            ++handled;
        // A handler that runs a nested loop does not see its own timer again.
        if (timer->active)
            continue;
        timer->active = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer->object, &event);
        timer = m_timers.value(id);
        if (timer && timer->serial == serial)
            timer->active = false;
    }
    return handled;
}

void EpollEventDispatcher::wakeUp() {
    // One write per wake-up, however many threads post meanwhile.
    int idle = 0;
    if (m_wakeUpPending.compare_exchange_strong(idle, 1))
        ::eventfd_write(m_wakeFd, 1);
}

void EpollEventDispatcher::drainWakeUps() {
    eventfd_t count;
    ::eventfd_read(m_wakeFd, &count);
    m_wakeUpPending.store(0);
}

void EpollEventDispatcher::interrupt() {
    m_interrupted.store(true);
    wakeUp();
}

void EpollEventDispatcher::flush() {}
