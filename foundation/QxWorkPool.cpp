// The work pool (QxWorkPool.h): a queue of pieces under one mutex, worker
// threads that take them in order, and a list of pieces to deliver that the
// run loop empties when the wake-up socket turns readable.
//
// A piece's state moves Queued -> Running -> Finished, or Queued ->
// Finished when it is cancelled, only forward; Finished pieces wait in the
// finished list with the status their done() gets, and only the loop takes
// them out (WakeCallback, or shutdown on the loop's thread), so a batch the
// loop has taken is its own: nothing a done() calls can reach into it. The
// wake-up socket gets one datagram per batch: a sender sends only when none
// is outstanding, and the loop drains the socket before it takes the list,
// so a piece finished after the drain sends again.
#include "QxWorkPool.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QxPlatform.h"
#include "QxPlatformDevice.h"
#include "QxPlatformNet.h"
#include "QxRunLoop.h"

enum class QxWorkState { Queued, Running, Finished };

struct QxWork {
    QxWork* next;
    bool urgent;           // hurried: taken before every piece not hurried
    QxWorkRun run;
    QxWorkDone done;
    void* context;
    QxWorkState state;
    QxStatus status;       // for done(), once Finished
};

namespace {

struct WorkList {
    QxWork* head = nullptr;
    QxWork* tail = nullptr;

    void Push(QxWork* work) {
        work->next = nullptr;
        if (tail != nullptr) tail->next = work;
        else head = work;
        tail = work;
    }
    QxWork* Pop() {
        QxWork* work = head;
        if (work == nullptr) return nullptr;
        head = work->next;
        if (head == nullptr) tail = nullptr;
        work->next = nullptr;
        return work;
    }
    bool Remove(QxWork* work) {
        QxWork* previous = nullptr;
        for (QxWork* at = head; at != nullptr; previous = at, at = at->next) {
            if (at != work) continue;
            if (previous != nullptr) previous->next = at->next;
            else head = at->next;
            if (tail == at) tail = previous;
            at->next = nullptr;
            return true;
        }
        return false;
    }
};

struct Pool {
    std::mutex lock;
    std::condition_variable workAvailable;
    std::condition_variable workFinished;
    WorkList urgent;       // hurried, in the order they were hurried
    WorkList queued;
    WorkList finished;     // to deliver, in the order they finished
    uint32_t running = 0;
    bool stopping = false;
    bool wakePending = false;
    std::vector<std::thread> threads;
    QxSocketHandle wake = kQxInvalidSocket;
    QxSocketRef wakeObject = nullptr;
};

Pool* gPool = nullptr;
bool gShutDown = false;

// The test gate (QxWorkPoolHoldWhile).
std::mutex gGateLock;
std::string gGatePath;
uint32_t gGateHeld = 0;

// Holds a piece just taken while the gate's file exists.
void HoldAtGate(Pool* pool) {
    std::string path;
    {
        std::lock_guard<std::mutex> held(gGateLock);
        path = gGatePath;
    }
    if (path.empty()) return;
    bool counted = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> held(pool->lock);
            if (pool->stopping) break;
        }
        bool folder = false;
        if (!QxPlatformPathStatus(path.c_str(), &folder)) break;
        if (!counted) {
            counted = true;
            std::lock_guard<std::mutex> held(gGateLock);
            char count[16];
            int length = snprintf(count, sizeof count, "%u\n", ++gGateHeld);
            QxPlatformFileReplace((path + ".held").c_str(), count, static_cast<size_t>(length));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (counted) {
        std::lock_guard<std::mutex> held(gGateLock);
        --gGateHeld;
    }
}

void Deliver(QxWork* work) {
    QxWorkDone done = work->done;
    void* context = work->context;
    QxStatus status = work->status;
    delete work;
    done(context, status);
}

// Under the lock: work goes to the finished list, and the loop is woken
// unless a wake-up is outstanding.
void Finish(Pool* pool, QxWork* work, QxStatus status) {
    work->state = QxWorkState::Finished;
    work->status = status;
    pool->finished.Push(work);
    if (!pool->wakePending) {
        pool->wakePending = true;
        char byte = 1;
        size_t sent = 0;
        QxPlatformNetSend(pool->wake, &byte, 1, &sent);
    }
}

void Worker(Pool* pool) {
    // Decoding may take every core; the run loop's answers (BSDP, TFTP,
    // accepting connections) must still come first.
    QxPlatformThreadYieldToOthers();
    std::unique_lock<std::mutex> held(pool->lock);
    for (;;) {
        pool->workAvailable.wait(
            held, [pool] { return pool->stopping || pool->urgent.head || pool->queued.head; });
        QxWork* work = pool->urgent.Pop();
        if (work == nullptr) work = pool->queued.Pop();
        if (work == nullptr) return;  // stopping, nothing left
        work->state = QxWorkState::Running;
        ++pool->running;
        held.unlock();
        HoldAtGate(pool);
        work->run(work->context);
        held.lock();
        --pool->running;
        Finish(pool, work, kStatusOK);
        pool->workFinished.notify_all();
    }
}

void WakeCallback(QxSocketRef, uint32_t, const void*, const void*, void*) {
    Pool* pool = gPool;
    if (pool == nullptr) return;
    char bytes[64];
    size_t received = 0;
    while (QxPlatformNetReceive(pool->wake, bytes, sizeof bytes, false, &received) == kStatusOK &&
           received > 0) {
    }
    WorkList batch;
    {
        std::lock_guard<std::mutex> held(pool->lock);
        batch = pool->finished;
        pool->finished = WorkList();
        pool->wakePending = false;
    }
    // The batch is this function's alone: a done() that cancels or finishes
    // anything else of the pool cannot take a piece out of it.
    while (QxWork* work = batch.Pop()) Deliver(work);
}

QxStatus StartPool() {
    if (const char* gate = getenv("TAMSOR_HOLD_WORK_WHILE")) {
        std::lock_guard<std::mutex> held(gGateLock);
        if (gGatePath.empty()) gGatePath = gate;
    }
    QxStatus status = QxRunLoopEnsureInitialized();
    if (status != kStatusOK) return status;
    auto* pool = new (std::nothrow) Pool;
    if (pool == nullptr) return kStatusNoMemory;
    status = QxPlatformNetWakeSocket(&pool->wake);
    if (status != kStatusOK) {
        delete pool;
        return status;
    }
    QxSocketContext context{0, nullptr, nullptr, nullptr, nullptr};
    pool->wakeObject = QxSocketCreate(pool->wake, kQxSocketReadCallback, WakeCallback, &context);
    QxRunLoopSourceRef source =
        pool->wakeObject != nullptr ? QxSocketCreateRunLoopSource(pool->wakeObject) : nullptr;
    if (source == nullptr) {
        if (pool->wakeObject != nullptr) QxLObjectRelease(pool->wakeObject);  // closes it
        else QxPlatformSocketClose(pool->wake);
        delete pool;
        return kStatusNoMemory;
    }
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    uint32_t count = QxWorkPoolThreadCount();
    for (uint32_t i = 0; i < count; ++i) pool->threads.emplace_back(Worker, pool);
    gPool = pool;
    return kStatusOK;
}

}  // namespace

QxStatus QxWorkPoolStart() {
    if (gShutDown) return kStatusCanceled;
    return gPool != nullptr ? kStatusOK : StartPool();
}

uint32_t QxWorkPoolThreadCount() {
    // Asked once: the system call behind it is not free, and callers ask often.
    static const uint32_t count = [] {
        unsigned cores = std::thread::hardware_concurrency();
        return cores > 2 ? cores : 2u;
    }();
    return count;
}

QxStatus QxWorkSubmit(QxWorkRun run, QxWorkDone done, void* context, QxWork** work) {
    if (run == nullptr || done == nullptr) return kStatusBadParameter;
    if (gShutDown) return kStatusCanceled;
    if (gPool == nullptr) {
        QxStatus status = StartPool();
        if (status != kStatusOK) return status;
    }
    auto* piece =
        new (std::nothrow) QxWork{nullptr, false, run, done, context, QxWorkState::Queued, kStatusOK};
    if (piece == nullptr) return kStatusNoMemory;
    {
        std::lock_guard<std::mutex> held(gPool->lock);
        gPool->queued.Push(piece);
    }
    gPool->workAvailable.notify_one();
    if (work != nullptr) *work = piece;
    return kStatusOK;
}

void QxWorkHurry(QxWork* work) {
    Pool* pool = gPool;
    if (work == nullptr || pool == nullptr) return;
    std::lock_guard<std::mutex> held(pool->lock);
    // Behind pieces hurried earlier: each waits as long as it must, and a
    // steady stream of newer waiters cannot keep pushing an older one back.
    if (work->state == QxWorkState::Queued && !work->urgent && pool->queued.Remove(work)) {
        work->urgent = true;
        pool->urgent.Push(work);
    }
}

bool QxWorkCancel(QxWork* work) {
    Pool* pool = gPool;
    if (work == nullptr || pool == nullptr) return false;
    std::lock_guard<std::mutex> held(pool->lock);
    if (work->state != QxWorkState::Queued ||
        !(work->urgent ? pool->urgent : pool->queued).Remove(work)) {
        return false;
    }
    Finish(pool, work, kStatusCanceled);
    pool->workFinished.notify_all();
    return true;
}

void QxWorkPoolWaitIdle() {
    Pool* pool = gPool;
    if (pool == nullptr) return;
    std::unique_lock<std::mutex> held(pool->lock);
    pool->workFinished.wait(held, [pool] {
        return pool->running == 0 && pool->urgent.head == nullptr && pool->queued.head == nullptr;
    });
}

void QxWorkPoolHoldWhile(const char* path) {
    std::lock_guard<std::mutex> held(gGateLock);
    gGatePath = path != nullptr ? path : "";
}

uint32_t QxWorkPoolHeldCount() {
    std::lock_guard<std::mutex> held(gGateLock);
    return gGateHeld;
}

void QxWorkPoolShutdown() {
    Pool* pool = gPool;
    if (pool == nullptr) return;
    gShutDown = true;
    {
        std::lock_guard<std::mutex> held(pool->lock);
        pool->stopping = true;
        // Hurried pieces first, as they would have run.
        while (QxWork* work = pool->urgent.Pop()) Finish(pool, work, kStatusCanceled);
        while (QxWork* work = pool->queued.Pop()) Finish(pool, work, kStatusCanceled);
    }
    pool->workAvailable.notify_all();
    for (std::thread& thread : pool->threads) thread.join();
    // From here on only this thread touches the pool. Each piece is taken
    // off the list before its done() runs, and a done() can neither add to
    // the list (submissions are refused) nor take from it.
    while (QxWork* work = pool->finished.Pop()) Deliver(work);
    gPool = nullptr;
    QxSocketInvalidate(pool->wakeObject);
    QxLObjectRelease(pool->wakeObject);
    delete pool;
    gShutDown = false;
}
