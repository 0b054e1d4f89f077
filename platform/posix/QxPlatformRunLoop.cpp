// Linux backend of the run loop: epoll and one timerfd stand in for the
// hidden window, its system timers and WSAAsyncSelect.
//
// Timers. A sorted array of (due, period, id), earliest first; the program
// runs a handful of timers, so insertion by memmove is cheaper than a heap.
// One timerfd in the epoll set is armed (absolute CLOCK_MONOTONIC) for the
// earliest due time, so the epoll descriptor alone tells an embedding main
// loop that work is due. Timers are periodic like SetTimer's: when one is
// delivered its next due time is set first (missed periods collapse into
// one message), then the window procedure runs and may kill or replace it.
//
// Sockets. A table indexed by descriptor holds each selection: the event
// mask, a generation number that changes with every new selection, and
// the epoll interest derived from it. epoll is level-triggered; one wait
// collects up to 64 descriptors, and their events are queued as messages,
// one event per message, and delivered one at a time. At delivery the
// message is checked against the current selection: a descriptor that was
// deselected or closed meanwhile (generation differs) or an event no longer
// selected is dropped, as WSAAsyncSelect would no longer post it.
//
// Edge or level, event by event (Windows behaviour and how it is kept):
//   read, accept, close  Windows posts FD_READ again after each recv while
//                        data remains. Here read interest is level-triggered:
//                        a read message repeats, after the callback returned,
//                        while data (or end of stream) is unread. A callback
//                        that leaves data unread with read still selected
//                        is called again at once; deselect read instead.
//   write                Windows posts FD_WRITE once on selection of a
//                        writable socket and once more after a would-block.
//                        Here every selection that includes write arms one
//                        write message; delivering it disarms EPOLLOUT until
//                        the next selection, so a writable socket does not
//                        wake the thread again. Callers that hit would-block
//                        select write again, which re-arms it.
//   connect              A stream socket selected for connect while still
//                        unconnected or connecting is watched for writable
//                        or error, which becomes one connect message. It
//                        must be connected before the thread pumps again:
//                        Linux reports an unconnected stream socket as hung
//                        up, which would otherwise spin.
//   hang-up, error       epoll reports them even when not asked for; a
//                        descriptor with nothing selected that could take
//                        them is taken out of the epoll set.
//
// Not here: threads. Everything runs on the thread that pumps; the global
// window is not locked.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "QxPlatformRunLoop.h"
#include "QxPlatformRunLoopInternal.h"

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kNanosPerMillisecond = 1000000;
constexpr int64_t kNotArmed = -1;
constexpr int kCollectBatch = 64;
// Each collected descriptor yields at most three messages (connect,
// read-or-close, write), and collection only happens with an empty queue.
constexpr uint32_t kQueueCapacity = 3 * kCollectBatch;

constexpr uint32_t kAllEvents = kQxSocketEventRead | kQxSocketEventWrite |
                                kQxSocketEventOutOfBand | kQxSocketEventAccept |
                                kQxSocketEventConnect | kQxSocketEventClose;
constexpr uint32_t kInputEvents = kQxSocketEventRead | kQxSocketEventAccept | kQxSocketEventClose;

struct TimerEntry {
    int64_t due;     // absolute, CLOCK_MONOTONIC nanoseconds
    int64_t period;  // nanoseconds
    uintptr_t id;
};

struct SocketEntry {
    uint32_t generation;  // of the current selection
    uint32_t mask;        // kQxSocketEvent bits selected
    uint32_t interest;    // epoll events registered; 0 = not in the epoll set
    bool selected;
    bool writeArmed;      // one write message still to come
    bool connectWatch;    // waiting for a connect to finish
};

struct Notification {
    int fd;
    uint32_t generation;
    uint32_t event;
};

uint64_t gWakeCount = 0;

int64_t MonotonicNanos() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

QxStatus ErrnoStatus() {
    int code = errno;
    return code != 0 ? code : kStatusUnknown;
}

}  // namespace

struct QxPlatformWindow {
    QxPlatformWindowProcedure procedure;
    int epollFD;
    int timerFD;
    int64_t armedDue;  // what the timerfd is set for, or kNotArmed

    TimerEntry* timers;  // sorted by due, then by insertion
    uint32_t timerCount;
    uint32_t timerCapacity;

    SocketEntry* sockets;  // indexed by descriptor
    uint32_t socketCapacity;
    uint32_t nextGeneration;

    Notification queue[kQueueCapacity];  // ring
    uint32_t queueHead;
    uint32_t queueCount;
};

struct QxPlatformLock {
    pthread_mutex_t mutex;
};

namespace {

QxPlatformWindow* gWindow = nullptr;

// ---- Timers -----------------------------------------------------------------

int32_t FindTimer(const QxPlatformWindow* w, uintptr_t id) {
    for (uint32_t i = 0; i < w->timerCount; ++i) {
        if (w->timers[i].id == id) return static_cast<int32_t>(i);
    }
    return -1;
}

void RemoveTimerAt(QxPlatformWindow* w, uint32_t index) {
    std::memmove(&w->timers[index], &w->timers[index + 1],
                 (w->timerCount - index - 1) * sizeof(TimerEntry));
    --w->timerCount;
}

// Inserts after every entry due at the same time, so equal timers keep the
// order in which they were set.
bool InsertTimer(QxPlatformWindow* w, const TimerEntry& entry) {
    if (w->timerCount == w->timerCapacity) {
        uint32_t capacity = w->timerCapacity ? w->timerCapacity * 2 : 16;
        void* grown = std::realloc(w->timers, capacity * sizeof(TimerEntry));
        if (grown == nullptr) return false;
        w->timers = static_cast<TimerEntry*>(grown);
        w->timerCapacity = capacity;
    }
    uint32_t low = 0;
    uint32_t high = w->timerCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (w->timers[middle].due <= entry.due) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    std::memmove(&w->timers[low + 1], &w->timers[low], (w->timerCount - low) * sizeof(TimerEntry));
    w->timers[low] = entry;
    ++w->timerCount;
    return true;
}

// Points the timerfd at the earliest due time, or disarms it.
QxStatus SyncTimerFD(QxPlatformWindow* w) {
    int64_t target = w->timerCount > 0 ? w->timers[0].due : kNotArmed;
    if (target == w->armedDue) return kStatusOK;
    itimerspec timerValue{};
    if (target != kNotArmed) {
        timerValue.it_value.tv_sec = static_cast<time_t>(target / kNanosPerSecond);
        timerValue.it_value.tv_nsec = static_cast<long>(target % kNanosPerSecond);
        // All zero would disarm the timer instead.
        if (timerValue.it_value.tv_sec == 0 && timerValue.it_value.tv_nsec == 0) timerValue.it_value.tv_nsec = 1;
    }
    if (timerfd_settime(w->timerFD, TFD_TIMER_ABSTIME, &timerValue, nullptr) == -1) return ErrnoStatus();
    w->armedDue = target;
    return kStatusOK;
}

// Delivers the earliest timer if it is due at `now`. Its next due time is
// set before the procedure runs, and lies after `now`, so a loop over this
// with a fixed `now` delivers each timer at most once.
bool FireOneDueTimer(QxPlatformWindow* w, int64_t now) {
    if (w->timerCount == 0 || w->timers[0].due > now) return false;
    TimerEntry entry = w->timers[0];
    RemoveTimerAt(w, 0);
    entry.due += entry.period;
    if (entry.due <= now) entry.due = now + entry.period;
    InsertTimer(w, entry);  // the slot just freed makes room
    w->procedure(kQxPlatformTimerMessage, entry.id, 0);
    return true;
}

// ---- Sockets ----------------------------------------------------------------

SocketEntry* LookupSocket(QxPlatformWindow* w, int fd) {
    if (fd < 0 || static_cast<uint32_t>(fd) >= w->socketCapacity) return nullptr;
    SocketEntry* entry = &w->sockets[fd];
    return entry->selected ? entry : nullptr;
}

bool GrowSocketTable(QxPlatformWindow* w, int fd) {
    uint32_t needed = static_cast<uint32_t>(fd) + 1;
    if (needed <= w->socketCapacity) return true;
    uint32_t capacity = w->socketCapacity ? w->socketCapacity : 64;
    while (capacity < needed) capacity *= 2;
    void* grown = std::realloc(w->sockets, capacity * sizeof(SocketEntry));
    if (grown == nullptr) return false;
    w->sockets = static_cast<SocketEntry*>(grown);
    std::memset(&w->sockets[w->socketCapacity], 0,
                (capacity - w->socketCapacity) * sizeof(SocketEntry));
    w->socketCapacity = capacity;
    return true;
}

// A TCP socket that is connecting, or not yet connected (and so may be
// about to connect). Not a listening, connected or datagram socket.
bool IsUnconnectedStream(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    return info.tcpi_state == TCP_SYN_SENT || info.tcpi_state == TCP_CLOSE;
}

// Brings the epoll registration in line with the selection.
QxStatus UpdateInterest(QxPlatformWindow* w, int fd, SocketEntry* entry) {
    uint32_t want = 0;
    if (entry->mask & kInputEvents) want |= EPOLLIN | EPOLLRDHUP;
    if (entry->writeArmed || entry->connectWatch) want |= EPOLLOUT;
    if (want == entry->interest) return kStatusOK;
    epoll_event event{};
    event.data.fd = fd;
    if (want == 0) {
        // Also stops the hang-up and error reports epoll sends unasked.
        epoll_ctl(w->epollFD, EPOLL_CTL_DEL, fd, &event);
        entry->interest = 0;
        return kStatusOK;
    }
    event.events = want;
    int operation = entry->interest != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int result = epoll_ctl(w->epollFD, operation, fd, &event);
    if (result == -1 && operation == EPOLL_CTL_MOD && errno == ENOENT) {
        result = epoll_ctl(w->epollFD, EPOLL_CTL_ADD, fd, &event);
    } else if (result == -1 && operation == EPOLL_CTL_ADD && errno == EEXIST) {
        result = epoll_ctl(w->epollFD, EPOLL_CTL_MOD, fd, &event);
    }
    if (result == -1) {
        QxStatus status = QxPlatformSocketLastError();
        epoll_ctl(w->epollFD, EPOLL_CTL_DEL, fd, &event);
        entry->interest = 0;
        return status;
    }
    entry->interest = want;
    return kStatusOK;
}

void ForgetSocket(QxPlatformWindow* w, int fd) {
    SocketEntry* entry = LookupSocket(w, fd);
    if (entry == nullptr) return;
    if (entry->interest != 0) {
        epoll_event event{};
        epoll_ctl(w->epollFD, EPOLL_CTL_DEL, fd, &event);
    }
    *entry = SocketEntry{};
}

void Enqueue(QxPlatformWindow* w, int fd, const SocketEntry* entry, uint32_t event) {
    if (w->queueCount == kQueueCapacity) return;  // cannot happen, see kQueueCapacity
    w->queue[(w->queueHead + w->queueCount) % kQueueCapacity] =
        Notification{fd, entry->generation, event};
    ++w->queueCount;
}

// Turns one epoll report into messages, one event each.
void Translate(QxPlatformWindow* w, const epoll_event& report) {
    int fd = report.data.fd;
    if (fd == w->timerFD) {
        uint64_t expirations;
        ssize_t ignored = read(fd, &expirations, sizeof expirations);
        (void)ignored;
        w->armedDue = kNotArmed;
        return;
    }
    SocketEntry* entry = LookupSocket(w, fd);
    if (entry == nullptr) return;
    uint32_t events = report.events;
    if (entry->connectWatch) {
        if ((events & EPOLLERR) || ((events & EPOLLOUT) && !(events & EPOLLHUP))) {
            entry->connectWatch = false;
            if (entry->mask & kQxSocketEventConnect) Enqueue(w, fd, entry, kQxSocketEventConnect);
            if (events & EPOLLERR) {
                // A failed connect is one message, as on Windows; the error
                // stays for the next call on the socket to report.
                UpdateInterest(w, fd, entry);
                return;
            }
        } else if (events & EPOLLIN) {
            entry->connectWatch = false;  // a listener after all
        } else {
            return;  // never connected: nothing has happened yet
        }
    }
    const uint32_t hangUp = EPOLLRDHUP | EPOLLHUP | EPOLLERR;
    uint32_t mask = entry->mask;
    if (events & EPOLLIN) {
        if (mask & kQxSocketEventRead) {
            Enqueue(w, fd, entry, kQxSocketEventRead);
        } else if (mask & kQxSocketEventAccept) {
            Enqueue(w, fd, entry, kQxSocketEventAccept);
        } else if ((mask & kQxSocketEventClose) && (events & hangUp)) {
            Enqueue(w, fd, entry, kQxSocketEventClose);
        }
    } else if (events & hangUp) {
        if (mask & kQxSocketEventClose) {
            Enqueue(w, fd, entry, kQxSocketEventClose);
        } else if (mask & kQxSocketEventRead) {
            Enqueue(w, fd, entry, kQxSocketEventRead);
        }
    }
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && entry->writeArmed) {
        entry->writeArmed = false;
        Enqueue(w, fd, entry, kQxSocketEventWrite);
    }
    UpdateInterest(w, fd, entry);
}

// One epoll wait; only called with an empty queue.
QxStatus Collect(QxPlatformWindow* w, int timeoutMilliseconds) {
    if (w->queueCount != 0) return kStatusOK;
    epoll_event reports[kCollectBatch];
    int count = epoll_wait(w->epollFD, reports, kCollectBatch, timeoutMilliseconds);
    if (count == -1) return errno == EINTR ? kStatusOK : ErrnoStatus();
    for (int i = 0; i < count; ++i) Translate(w, reports[i]);
    return kStatusOK;
}

// Delivers the next queued message, unless its selection went away.
// Returns false when the queue is empty.
bool DeliverOne(QxPlatformWindow* w) {
    if (w->queueCount == 0) return false;
    Notification message = w->queue[w->queueHead];
    w->queueHead = (w->queueHead + 1) % kQueueCapacity;
    --w->queueCount;
    SocketEntry* entry = LookupSocket(w, message.fd);
    if (entry == nullptr || entry->generation != message.generation) return true;
    if ((entry->mask & message.event) == 0) return true;
    w->procedure(kQxPlatformSocketMessage, static_cast<uintptr_t>(message.fd),
                 static_cast<intptr_t>(message.event));
    return true;
}

int64_t SecondsToNanos(double seconds) {
    double nanos = seconds * static_cast<double>(kNanosPerSecond);
    if (nanos >= 9.2e18) return INT64_MAX;
    return static_cast<int64_t>(nanos);
}

}  // namespace

// ---- Window -------------------------------------------------------------------

QxStatus QxPlatformWindowCreate(const char* name, QxPlatformWindowProcedure procedure,
                                QxPlatformWindow** window) {
    if (name == nullptr || procedure == nullptr || window == nullptr) return kStatusBadParameter;
    if (gWindow != nullptr) return kStatusAlreadyInitialized;
    auto* w = static_cast<QxPlatformWindow*>(std::calloc(1, sizeof(QxPlatformWindow)));
    if (w == nullptr) return kStatusNoMemory;
    w->procedure = procedure;
    w->armedDue = kNotArmed;
    w->timerFD = -1;
    w->epollFD = epoll_create1(EPOLL_CLOEXEC);
    QxStatus status = kStatusOK;
    if (w->epollFD == -1) {
        status = ErrnoStatus();
    } else {
        w->timerFD = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (w->timerFD == -1) status = ErrnoStatus();
    }
    if (status == kStatusOK) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = w->timerFD;
        if (epoll_ctl(w->epollFD, EPOLL_CTL_ADD, w->timerFD, &event) == -1) status = ErrnoStatus();
    }
    if (status != kStatusOK) {
        if (w->timerFD != -1) close(w->timerFD);
        if (w->epollFD != -1) close(w->epollFD);
        std::free(w);
        return status;
    }
    gWindow = w;
    *window = w;
    return kStatusOK;
}

QxStatus QxPlatformWindowDestroy(QxPlatformWindow* window) {
    if (window == nullptr) return kStatusBadParameter;
    if (gWindow == window) gWindow = nullptr;
    close(window->timerFD);
    close(window->epollFD);
    std::free(window->timers);
    std::free(window->sockets);
    std::free(window);
    return kStatusOK;
}

QxStatus QxPlatformTimerStart(QxPlatformWindow* window, uintptr_t id, uint32_t milliseconds) {
    if (window == nullptr) return kStatusBadParameter;
    if (milliseconds < kQxPlatformTimerMinimum) milliseconds = kQxPlatformTimerMinimum;
    if (milliseconds > kQxPlatformTimerMaximum) milliseconds = kQxPlatformTimerMaximum;
    int32_t index = FindTimer(window, id);
    if (index >= 0) RemoveTimerAt(window, static_cast<uint32_t>(index));
    int64_t period = static_cast<int64_t>(milliseconds) * kNanosPerMillisecond;
    if (!InsertTimer(window, TimerEntry{MonotonicNanos() + period, period, id})) {
        return kStatusNoMemory;
    }
    return kStatusOK;
}

QxStatus QxPlatformTimerKill(QxPlatformWindow* window, uintptr_t id) {
    if (window == nullptr) return kStatusBadParameter;
    int32_t index = FindTimer(window, id);
    if (index < 0) return kStatusNotFound;
    RemoveTimerAt(window, static_cast<uint32_t>(index));
    return kStatusOK;
}

QxStatus QxPlatformSocketSelect(QxPlatformWindow* window, QxSocketHandle handle, uint32_t events) {
    if (window == nullptr) return kStatusBadParameter;
    if (handle < 0) return EBADF;
    events &= kAllEvents;
    if (events == 0) {
        ForgetSocket(window, handle);
        return kStatusOK;
    }
    if (!GrowSocketTable(window, handle)) return kStatusNoMemory;
    SocketEntry* entry = &window->sockets[handle];
    bool fresh = !entry->selected;
    if (fresh) {
        *entry = SocketEntry{};
        entry->selected = true;
        entry->generation = ++window->nextGeneration;
        entry->connectWatch = (events & kQxSocketEventConnect) && IsUnconnectedStream(handle);
    }
    entry->mask = events;
    entry->writeArmed = (events & kQxSocketEventWrite) != 0;
    QxStatus status = UpdateInterest(window, handle, entry);
    if (status != kStatusOK && fresh) *entry = SocketEntry{};
    return status;
}

void QxPlatformRunLoopForgetSocket(int fd) {
    if (gWindow != nullptr) ForgetSocket(gWindow, fd);
}

// ---- Lock and clock -----------------------------------------------------------

QxStatus QxPlatformLockCreate(QxPlatformLock** lock) {
    if (lock == nullptr) return kStatusBadParameter;
    auto* created = static_cast<QxPlatformLock*>(std::malloc(sizeof(QxPlatformLock)));
    if (created == nullptr) return kStatusNoMemory;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int result = pthread_mutex_init(&created->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (result != 0) {
        std::free(created);
        return result;
    }
    *lock = created;
    return kStatusOK;
}

void QxPlatformLockDelete(QxPlatformLock* lock) {
    if (lock == nullptr) return;
    pthread_mutex_destroy(&lock->mutex);
    std::free(lock);
}

void QxPlatformLockEnter(QxPlatformLock* lock) { pthread_mutex_lock(&lock->mutex); }

void QxPlatformLockLeave(QxPlatformLock* lock) { pthread_mutex_unlock(&lock->mutex); }

double QxPlatformClockNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// ---- Message pump ---------------------------------------------------------------

int QxRunLoopPumpFileDescriptor() { return gWindow != nullptr ? gWindow->epollFD : -1; }

QxStatus QxRunLoopPumpDispatchReady() {
    if (gWindow == nullptr) return kStatusNotInitialized;
    // A callback may destroy the window, so it is looked up afresh each time.
    while (gWindow != nullptr && DeliverOne(gWindow)) {
    }
    if (gWindow == nullptr) return kStatusOK;
    QxStatus status = Collect(gWindow, 0);
    while (gWindow != nullptr && DeliverOne(gWindow)) {
    }
    int64_t now = MonotonicNanos();
    while (gWindow != nullptr && FireOneDueTimer(gWindow, now)) {
    }
    if (gWindow != nullptr && status == kStatusOK) status = SyncTimerFD(gWindow);
    return status;
}

QxStatus QxRunLoopPumpRunUntil(const volatile bool* stopFlag, double deadline) {
    const int64_t deadlineNanos = deadline > 0 ? SecondsToNanos(deadline) : -1;
    for (;;) {
        if (stopFlag != nullptr && *stopFlag) return kStatusOK;
        QxPlatformWindow* w = gWindow;
        if (w == nullptr) return kStatusNotInitialized;
        if (DeliverOne(w)) continue;
        int64_t now = MonotonicNanos();
        if (FireOneDueTimer(w, now)) continue;
        if (deadlineNanos >= 0 && now >= deadlineNanos) return kStatusTimeout;
        QxStatus status = SyncTimerFD(w);
        if (status != kStatusOK) return status;
        int timeout = -1;
        if (deadlineNanos >= 0) {
            int64_t left = (deadlineNanos - now + kNanosPerMillisecond - 1) / kNanosPerMillisecond;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        status = Collect(w, timeout);
        ++gWakeCount;
        if (status != kStatusOK) return status;
    }
}

uint64_t QxRunLoopPumpWakeCount() { return gWakeCount; }
