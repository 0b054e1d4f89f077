// The run loop, its sources and timers, and the hidden window's procedure.
//
// The run loop keeps two singly linked lists, timers and sources, threaded
// through the member objects; each member holds one reference taken when it
// was added. The platform backend owns the system side: a system timer per
// timer (keyed by the timer object's address) and the socket selections.
//
// Timer modes. A system timer is periodic with the period it was started
// with. A timer is first started with its one-shot delay; on that first
// firing its system timer is killed, and after the callback a timer with a
// positive interval gets a new system timer with the interval, from then on
// left running (periodic mode). The mode is a flag of its own: a one-shot
// timer whose fire date happens to equal its interval (both 0, say) must
// still fire only once.
//
// Not here: sockets (QxSocket.cpp) and any message loop; the thread's owner
// pumps (platform/QxPlatformRunLoop.h).
#include <cstring>

#include "QxRunLoopInternal.h"
#include "QxWorkPool.h"

QxRunLoopGlobals gQxRunLoop = {};

namespace {

struct RunLoopPayload {
    uint8_t stopFlag;  // never set in this program
    QxRunLoopTimerRef timers;
    QxRunLoopSourceRef sources;
};

struct SourcePayload {
    QxRunLoopSourceRef next;
    QxRunLoopRef runLoop;  // null while in none
    QxRunLoopSourceContext context;
};

struct TimerPayload {
    QxRunLoopTimerRef next;
    QxRunLoopRef runLoop;     // null while in none
    uintptr_t systemTimerID;  // 0 while no system timer runs
    double fireDate;          // set to the interval once periodic
    double interval;          // <= 0: fires once
    QxRunLoopTimerCallback callback;
    void* info;
    bool periodic;
};

constexpr double kMinimumDelayMilliseconds = 10.0;
constexpr double kMaximumDelayMilliseconds = 2147483647.0;

RunLoopPayload* RunLoopOf(QxRunLoopRef object) {
    return static_cast<RunLoopPayload*>(QxLObjectPayload(object));
}
SourcePayload* SourceOf(QxRunLoopSourceRef object) {
    return static_cast<SourcePayload*>(QxLObjectPayload(object));
}
TimerPayload* TimerOf(QxRunLoopTimerRef object) {
    return static_cast<TimerPayload*>(QxLObjectPayload(object));
}

bool IsOfType(QxLObjectRef object, uint32_t typeID) {
    return typeID != 0 && QxLObjectIsType(object, typeID);
}

// Seconds to a system timer delay: 10 to 2147483647 ms (NaN gives 10).
uint32_t DelayMilliseconds(double seconds) {
    double milliseconds = seconds * 1000.0;
    if (!(milliseconds >= kMinimumDelayMilliseconds)) return 10;
    if (milliseconds > kMaximumDelayMilliseconds) return 0x7FFFFFFF;
    return static_cast<uint32_t>(milliseconds);
}

bool UnlinkSource(RunLoopPayload* runLoop, QxRunLoopSourceRef source) {
    for (QxRunLoopSourceRef* link = &runLoop->sources; *link != nullptr;
         link = &SourceOf(*link)->next) {
        if (*link == source) {
            *link = SourceOf(source)->next;
            SourceOf(source)->next = nullptr;
            return true;
        }
    }
    return false;
}

bool UnlinkTimer(RunLoopPayload* runLoop, QxRunLoopTimerRef timer) {
    for (QxRunLoopTimerRef* link = &runLoop->timers; *link != nullptr;
         link = &TimerOf(*link)->next) {
        if (*link == timer) {
            *link = TimerOf(timer)->next;
            TimerOf(timer)->next = nullptr;
            return true;
        }
    }
    return false;
}

QxRunLoopTimerRef FindTimer(QxRunLoopRef runLoop, uintptr_t id) {
    for (QxRunLoopTimerRef timer = RunLoopOf(runLoop)->timers; timer != nullptr;
         timer = TimerOf(timer)->next) {
        if (reinterpret_cast<uintptr_t>(timer) == id) return timer;
    }
    return nullptr;
}

void InvalidateTimer(QxRunLoopTimerRef timer) {
    QxRunLoopLock();
    TimerPayload* payload = TimerOf(timer);
    bool found = payload->runLoop != nullptr && UnlinkTimer(RunLoopOf(payload->runLoop), timer);
    if (found) {
        payload->runLoop = nullptr;
        if (payload->systemTimerID != 0) {
            if (gQxRunLoop.window != nullptr) {
                QxPlatformTimerKill(gQxRunLoop.window, payload->systemTimerID);
            }
            payload->systemTimerID = 0;
        }
    }
    QxRunLoopUnlock();
    if (found) QxLObjectRelease(timer);
}

// The timer message: see the top of the file for the modes.
void FireTimer(uintptr_t id) {
    QxRunLoopRef mainLoop = gQxRunLoop.mainRunLoop;
    if (mainLoop == nullptr) return;
    QxRunLoopTimerRef timer = FindTimer(mainLoop, id);
    if (timer == nullptr) return;
    TimerPayload* payload = TimerOf(timer);
    // A message that outlived its system timer: the timer has fired already.
    if (payload->systemTimerID == 0) return;
    if (!payload->periodic) {
        QxPlatformTimerKill(gQxRunLoop.window, payload->systemTimerID);
        payload->systemTimerID = 0;
    }
    payload->callback(timer, payload->info);

    // The callback may have invalidated the timer or shut the loop down.
    mainLoop = gQxRunLoop.mainRunLoop;
    if (mainLoop == nullptr || gQxRunLoop.window == nullptr) return;
    timer = FindTimer(mainLoop, id);
    if (timer == nullptr) return;
    payload = TimerOf(timer);
    if (payload->systemTimerID != 0 || !(payload->interval > 0)) return;
    if (QxPlatformTimerStart(gQxRunLoop.window, id, DelayMilliseconds(payload->interval)) ==
        kStatusOK) {
        payload->systemTimerID = id;
        payload->fireDate = payload->interval;
        payload->periodic = true;
    }
}

// The hidden window's procedure; the backend handles other messages itself.
void WindowProcedure(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == kQxPlatformTimerMessage) {
        FireTimer(wParam);
    } else if (message == kQxPlatformSocketMessage) {
        QxSocketDispatch(static_cast<QxSocketHandle>(wParam),
                         static_cast<uint32_t>(lParam) & 0xFFFF);
    }
}

// Timers first, then sources; each invalidation unlinks the head, and a head
// that does not go away (a broken list) ends the loop rather than spinning.
void FinalizeRunLoop(QxLObjectRef object) {
    RunLoopPayload* payload = RunLoopOf(object);
    while (payload->timers != nullptr) {
        QxRunLoopTimerRef head = payload->timers;
        InvalidateTimer(head);
        if (payload->timers == head) break;
    }
    while (payload->sources != nullptr) {
        QxRunLoopSourceRef head = payload->sources;
        QxRunLoopSourceInvalidateObject(head);
        if (payload->sources == head) break;
    }
}

void FinalizeSource(QxLObjectRef object) { QxRunLoopSourceInvalidateObject(object); }

void FinalizeTimer(QxLObjectRef object) { InvalidateTimer(object); }

uint32_t RegisterType(const char* name, QxLFinalizeFunction finalize) {
    QxLClassRecord record{};
    record.name = name;
    record.finalize = finalize;
    return QxLRegisterType(&record);
}

// Undoes a partial initialisation. Registered types cannot be taken back;
// their ids are forgotten.
void TearDown() {
    if (gQxRunLoop.window != nullptr) QxPlatformWindowDestroy(gQxRunLoop.window);
    if (gQxRunLoop.lock != nullptr) QxPlatformLockDelete(gQxRunLoop.lock);
    gQxRunLoop.window = nullptr;
    gQxRunLoop.lock = nullptr;
    gQxRunLoop.runLoopType = 0;
    gQxRunLoop.sourceType = 0;
    gQxRunLoop.timerType = 0;
}

}  // namespace

void QxRunLoopLock() {
    if (gQxRunLoop.lock != nullptr) QxPlatformLockEnter(gQxRunLoop.lock);
}

void QxRunLoopUnlock() {
    if (gQxRunLoop.lock != nullptr) QxPlatformLockLeave(gQxRunLoop.lock);
}

// ---- Run loop -----------------------------------------------------------------

QxStatus QxRunLoopInitialize() {
    if (gQxRunLoop.lock != nullptr) return kStatusAlreadyInitialized;
    QxStatus status = QxPlatformLockCreate(&gQxRunLoop.lock);
    if (status != kStatusOK) {
        gQxRunLoop.lock = nullptr;
        return status;
    }
    status = QxPlatformWindowCreate("QxLiteRunLoop", WindowProcedure, &gQxRunLoop.window);
    if (status != kStatusOK) {
        gQxRunLoop.window = nullptr;
        TearDown();
        return status;
    }
    gQxRunLoop.runLoopType = RegisterType("QxRunLoop", FinalizeRunLoop);
    gQxRunLoop.sourceType = RegisterType("QxRunLoopSource", FinalizeSource);
    gQxRunLoop.timerType = RegisterType("QxRunLoopTimer", FinalizeTimer);
    if (gQxRunLoop.runLoopType == 0 || gQxRunLoop.sourceType == 0 || gQxRunLoop.timerType == 0) {
        TearDown();
        return kStatusUnknown;
    }
    void* mainLoop = QxLObjectAllocate(sizeof(RunLoopPayload), gQxRunLoop.runLoopType);
    if (mainLoop == nullptr) {
        TearDown();
        return kStatusNoMemory;
    }
    std::memset(RunLoopOf(mainLoop), 0, sizeof(RunLoopPayload));
    gQxRunLoop.mainRunLoop = mainLoop;
    return kStatusOK;
}

QxStatus QxRunLoopEnsureInitialized() {
    if (gQxRunLoop.mainRunLoop != nullptr) return kStatusOK;
    return QxRunLoopInitialize();
}

void QxRunLoopShutdown() {
    // Work handed to the pool is finished (or cancelled) while the loop and
    // its wake-up socket still exist.
    QxWorkPoolShutdown();
    QxRunLoopRef mainLoop = gQxRunLoop.mainRunLoop;
    gQxRunLoop.mainRunLoop = nullptr;
    QxLObjectRelease(mainLoop);
    QxLDictionaryRef socketTable = gQxRunLoop.socketTable;
    gQxRunLoop.socketTable = nullptr;
    QxLObjectRelease(socketTable);
    // A failure to destroy the window is ignored.
    if (gQxRunLoop.window != nullptr) QxPlatformWindowDestroy(gQxRunLoop.window);
    gQxRunLoop.window = nullptr;
    if (gQxRunLoop.lock != nullptr) QxPlatformLockDelete(gQxRunLoop.lock);
    gQxRunLoop.lock = nullptr;
}

QxRunLoopRef QxRunLoopGetMain() { return gQxRunLoop.mainRunLoop; }

double QxRunLoopNow() { return QxPlatformClockNow(); }

// ---- Sources --------------------------------------------------------------------

QxRunLoopSourceRef QxRunLoopSourceCreate(const QxRunLoopSourceContext* context) {
    if (QxRunLoopEnsureInitialized() != kStatusOK) return nullptr;
    void* source = QxLObjectAllocate(sizeof(SourcePayload), gQxRunLoop.sourceType);
    if (source == nullptr) return nullptr;
    SourcePayload* payload = SourceOf(source);
    *payload = SourcePayload{};
    if (context != nullptr) payload->context = *context;
    return source;
}

void QxRunLoopAddSource(QxRunLoopRef runLoop, QxRunLoopSourceRef source) {
    if (!IsOfType(runLoop, gQxRunLoop.runLoopType) || !IsOfType(source, gQxRunLoop.sourceType)) {
        return;
    }
    QxRunLoopLock();
    SourcePayload* payload = SourceOf(source);
    if (payload->runLoop == nullptr) {
        QxLObjectRetain(source);
        payload->runLoop = runLoop;
        payload->next = RunLoopOf(runLoop)->sources;
        RunLoopOf(runLoop)->sources = source;
        if (payload->context.schedule != nullptr) {
            payload->context.schedule(payload->context.info, runLoop, kQxRunLoopCommonMode);
        }
    }
    QxRunLoopUnlock();
}

void QxRunLoopSourceInvalidateObject(QxRunLoopSourceRef source) {
    QxRunLoopLock();
    SourcePayload* payload = SourceOf(source);
    QxRunLoopRef runLoop = payload->runLoop;
    bool found = runLoop != nullptr && UnlinkSource(RunLoopOf(runLoop), source);
    if (found) {
        payload->runLoop = nullptr;
        if (payload->context.cancel != nullptr) {
            payload->context.cancel(payload->context.info, runLoop, kQxRunLoopCommonMode);
        }
    }
    QxRunLoopUnlock();
    if (found) QxLObjectRelease(source);
}

void QxRunLoopSourceInvalidate(QxRunLoopSourceRef source) {
    if (IsOfType(source, gQxRunLoop.sourceType)) QxRunLoopSourceInvalidateObject(source);
}

// ---- Timers ---------------------------------------------------------------------

QxRunLoopTimerRef QxRunLoopTimerCreate(double fireDate, double interval,
                                       const QxRunLoopTimerContext* context,
                                       QxRunLoopTimerCallback callback) {
    if (callback == nullptr) return nullptr;
    if (QxRunLoopEnsureInitialized() != kStatusOK) return nullptr;
    void* timer = QxLObjectAllocate(sizeof(TimerPayload), gQxRunLoop.timerType);
    if (timer == nullptr) return nullptr;
    TimerPayload* payload = TimerOf(timer);
    *payload = TimerPayload{};
    payload->fireDate = fireDate;
    payload->interval = interval;
    payload->callback = callback;
    payload->info = context != nullptr ? context->info : nullptr;
    return timer;
}

void QxRunLoopAddTimer(QxRunLoopRef runLoop, QxRunLoopTimerRef timer) {
    if (!IsOfType(runLoop, gQxRunLoop.runLoopType) || !IsOfType(timer, gQxRunLoop.timerType)) {
        return;
    }
    QxRunLoopLock();
    TimerPayload* payload = TimerOf(timer);
    if (gQxRunLoop.window != nullptr && payload->runLoop == nullptr) {
        uint32_t delay = DelayMilliseconds(payload->fireDate - QxRunLoopNow());
        uintptr_t id = reinterpret_cast<uintptr_t>(timer);
        if (QxPlatformTimerStart(gQxRunLoop.window, id, delay) == kStatusOK) {
            payload->systemTimerID = id;
            payload->periodic = false;
            QxLObjectRetain(timer);
            payload->runLoop = runLoop;
            payload->next = RunLoopOf(runLoop)->timers;
            RunLoopOf(runLoop)->timers = timer;
        }
    }
    QxRunLoopUnlock();
}

void QxRunLoopTimerInvalidate(QxRunLoopTimerRef timer) {
    if (IsOfType(timer, gQxRunLoop.timerType)) InvalidateTimer(timer);
}
