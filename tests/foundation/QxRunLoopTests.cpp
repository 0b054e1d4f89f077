// The run loop's life cycle, timers, sources and pump, on the real backend
// of the platform (epoll and timerfd on Linux, the hidden window under
// wine). Times are asserted only with wide bounds; counts and orders exactly.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "QxLMemory.h"
#include "QxRunLoopTestSupport.h"
#include "QxWorkPool.h"

using testsupport::RunFor;
using testsupport::RunLoopTest;

namespace {

// What a timer callback saw.
struct TimerLog {
    int fired = 0;
    std::vector<double> times;
    int stopAfter = 0;  // sets stop on this firing
    bool stop = false;
    bool invalidateSelf = false;
    QxRunLoopTimerRef other = nullptr;  // invalidated on firing
    int tag = 0;
    std::vector<int>* order = nullptr;  // shared between timers
};

void LogTimer(QxRunLoopTimerRef timer, void* info) {
    auto* log = static_cast<TimerLog*>(info);
    ++log->fired;
    log->times.push_back(QxRunLoopNow());
    if (log->order != nullptr) log->order->push_back(log->tag);
    if (log->invalidateSelf) QxRunLoopTimerInvalidate(timer);
    if (log->other != nullptr) QxRunLoopTimerInvalidate(log->other);
    if (log->fired == log->stopAfter) log->stop = true;
}

QxRunLoopTimerRef AddTimer(double fireDate, double interval, TimerLog* log) {
    QxRunLoopTimerContext context{0, log, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(fireDate, interval, &context, LogTimer);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    return timer;
}

struct SourceLog {
    int scheduled = 0;
    int canceled = 0;
    void* info = nullptr;
    QxRunLoopRef runLoop = nullptr;
    QxLStringRef mode = nullptr;
};

void LogSchedule(void* info, QxRunLoopRef runLoop, QxLStringRef mode) {
    auto* log = static_cast<SourceLog*>(info);
    ++log->scheduled;
    log->info = info;
    log->runLoop = runLoop;
    log->mode = mode;
}

void LogCancel(void* info, QxRunLoopRef runLoop, QxLStringRef mode) {
    auto* log = static_cast<SourceLog*>(info);
    ++log->canceled;
    log->runLoop = runLoop;
    log->mode = mode;
}

void CountFire(QxRunLoopTimerRef, void* info) { ++*static_cast<int*>(info); }

}  // namespace

// ---- Life cycle -------------------------------------------------------------

using RunLoopCore = RunLoopTest;

TEST_F(RunLoopCore, InitialisingTwiceFailsAndLeavesTheLoopRunning) {
    QxRunLoopRef mainLoop = QxRunLoopGetMain();
    ASSERT_NE(mainLoop, nullptr);
    EXPECT_EQ(QxRunLoopInitialize(), -6719);
    EXPECT_EQ(QxRunLoopEnsureInitialized(), kStatusOK);
    EXPECT_EQ(QxRunLoopGetMain(), mainLoop);

    TimerLog log;
    log.stopAfter = 1;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow() + 0.02, 0, &log);
    EXPECT_TRUE(RunFor(5, &log.stop));
    EXPECT_EQ(log.fired, 1);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopCore, ShutdownTwiceIsHarmlessAndTheLoopStartsAgain) {
    QxRunLoopShutdown();
    QxRunLoopShutdown();
    EXPECT_EQ(QxRunLoopGetMain(), nullptr);
    EXPECT_EQ(QxRunLoopPumpRunUntil(nullptr, QxRunLoopNow() + 0.01), kStatusNotInitialized);
    // Creating an object brings the loop up again.
    int fired = 0;
    QxRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow(), 0, &context, CountFire);
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(QxRunLoopGetMain(), nullptr);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    RunFor(0.3);
    EXPECT_EQ(fired, 1);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopCore, FailedInitialisationTearsDownWhatItBuilt) {
    QxRunLoopShutdown();
    // Fail each allocation of the initialisation in turn until it succeeds.
    QxStatus status = kStatusNoMemory;
    int attempt = 1;
    for (; attempt < 50; ++attempt) {
        QxLFailAllocationAfter(attempt);
        status = QxRunLoopInitialize();
        bool injected = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!injected) break;
        EXPECT_TRUE(status == kStatusNoMemory || status == kStatusUnknown) << status;
        EXPECT_EQ(QxRunLoopGetMain(), nullptr);
    }
    EXPECT_GT(attempt, 1);
    ASSERT_EQ(status, kStatusOK);
    TimerLog log;
    log.stopAfter = 1;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow(), 0, &log);
    EXPECT_TRUE(RunFor(5, &log.stop));
    QxLObjectRelease(timer);
}

TEST_F(RunLoopCore, ShutdownInvalidatesEverythingAndObjectsOutliveIt) {
    TimerLog oneShot;
    TimerLog periodic;
    QxRunLoopTimerRef first = AddTimer(QxRunLoopNow() + 60, 0, &oneShot);
    QxRunLoopTimerRef second = AddTimer(QxRunLoopNow() + 0.01, 0.01, &periodic);
    SourceLog sourceLog;
    QxRunLoopSourceContext sourceContext{&sourceLog, LogSchedule, LogCancel};
    QxRunLoopSourceRef source = QxRunLoopSourceCreate(&sourceContext);
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    // A dropped reference: the run loop's is then the last one.
    QxRunLoopTimerRef orphan = AddTimer(QxRunLoopNow() + 60, 0, &oneShot);
    QxLObjectRelease(orphan);
    RunFor(0.1);
    EXPECT_GE(periodic.fired, 1);

    QxRunLoopShutdown();
    EXPECT_EQ(sourceLog.canceled, 1);
    EXPECT_EQ(QxLObjectRetainCount(first), 1);
    EXPECT_EQ(QxLObjectRetainCount(second), 1);
    EXPECT_EQ(QxLObjectRetainCount(source), 1);
    // Invalidating after shutdown finds nothing to do.
    QxRunLoopTimerInvalidate(first);
    QxRunLoopSourceInvalidate(source);
    EXPECT_EQ(sourceLog.canceled, 1);
    QxLObjectRelease(first);
    QxLObjectRelease(second);
    QxLObjectRelease(source);
    EXPECT_EQ(oneShot.fired, 0);  // LeakSanitizer checks the rest at exit
}

// ---- Timers ------------------------------------------------------------------

using RunLoopTimer = RunLoopTest;

TEST_F(RunLoopTimer, PastFireDateFiresOnceAfterTheMinimumDelay) {
    TimerLog log;
    log.stopAfter = 1;
    double start = QxRunLoopNow();
    QxRunLoopTimerRef timer = AddTimer(start - 100, 0, &log);
    ASSERT_TRUE(RunFor(5, &log.stop));
    // 10 ms, less a little for a clock coarser than ours.
    EXPECT_GE(log.times[0] - start, 0.008);
    RunFor(0.1);
    EXPECT_EQ(log.fired, 1);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopTimer, OneShotFiresOnceAndStaysInertUntilInvalidated) {
    TimerLog log;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow() + 0.02, 0, &log);
    // Fire date equal to the interval must not make it periodic either.
    TimerLog zeroLog;
    QxRunLoopTimerRef zero = AddTimer(0.0, 0.0, &zeroLog);
    RunFor(0.3);
    EXPECT_EQ(log.fired, 1);
    EXPECT_EQ(zeroLog.fired, 1);
    EXPECT_EQ(QxLObjectRetainCount(timer), 2);  // still in the run loop
    QxRunLoopTimerInvalidate(timer);
    QxRunLoopTimerInvalidate(zero);
    EXPECT_EQ(QxLObjectRetainCount(timer), 1);
    EXPECT_EQ(QxLObjectRetainCount(zero), 1);
    QxLObjectRelease(timer);
    QxLObjectRelease(zero);
}

TEST_F(RunLoopTimer, CallbackInvalidatingItsOwnTimerIsNotRearmed) {
    TimerLog log;
    log.invalidateSelf = true;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow() + 0.01, 0.01, &log);
    RunFor(0.3);
    EXPECT_EQ(log.fired, 1);
    EXPECT_EQ(QxLObjectRetainCount(timer), 1);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopTimer, PeriodicTimerKeepsItsPeriod) {
    TimerLog log;
    log.stopAfter = 6;
    double start = QxRunLoopNow();
    QxRunLoopTimerRef timer = AddTimer(start + 0.05, 0.05, &log);
    ASSERT_TRUE(RunFor(10, &log.stop));
    ASSERT_EQ(log.fired, 6);
    EXPECT_GE(log.times[0] - start, 0.04);
    // Five periods of 50 ms; a coarse system timer may round each one.
    EXPECT_GE(log.times[5] - log.times[0], 0.2);
    for (int i = 1; i < 6; ++i) EXPECT_GT(log.times[i], log.times[i - 1]);
    QxRunLoopTimerInvalidate(timer);
    EXPECT_EQ(QxLObjectRetainCount(timer), 1);
    RunFor(0.12);
    EXPECT_EQ(log.fired, 6);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopTimer, TimersFarApartFireInDateOrder) {
    std::vector<int> order;
    TimerLog logs[3];
    double start = QxRunLoopNow();
    double delays[3] = {0.25, 0.03, 0.14};
    QxRunLoopTimerRef timers[3];
    for (int i = 0; i < 3; ++i) {
        logs[i].tag = i;
        logs[i].order = &order;
        timers[i] = AddTimer(start + delays[i], 0, &logs[i]);
    }
    logs[0].stopAfter = 1;
    ASSERT_TRUE(RunFor(10, &logs[0].stop));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
    for (QxRunLoopTimerRef timer : timers) QxLObjectRelease(timer);
}

TEST_F(RunLoopTimer, TimerInvalidatedByAnotherCallbackDoesNotFire) {
    // Both are due together; whichever fires first cancels the other.
    TimerLog a;
    TimerLog b;
    double due = QxRunLoopNow() + 0.03;
    QxRunLoopTimerRef timerA = AddTimer(due, 0, &a);
    QxRunLoopTimerRef timerB = AddTimer(due, 0, &b);
    a.other = timerB;
    b.other = timerA;
    RunFor(0.3);
    EXPECT_EQ(a.fired + b.fired, 1);
    QxLObjectRelease(timerA);
    QxLObjectRelease(timerB);
}

TEST_F(RunLoopTimer, AddingTwiceAndInvalidatingTwiceChangeNothing) {
    int fired = 0;
    QxRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow() + 0.02, 0, &context, CountFire);
    QxRunLoopTimerInvalidate(timer);  // in no run loop yet
    EXPECT_EQ(QxLObjectRetainCount(timer), 1);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    QxRunLoopAddTimer(nullptr, timer);
    EXPECT_EQ(QxLObjectRetainCount(timer), 2);
    RunFor(0.2);
    EXPECT_EQ(fired, 1);
    QxRunLoopTimerInvalidate(timer);
    QxRunLoopTimerInvalidate(timer);
    EXPECT_EQ(QxLObjectRetainCount(timer), 1);
    QxLObjectRelease(timer);

    EXPECT_EQ(QxRunLoopTimerCreate(0, 0, &context, nullptr), nullptr);
}

namespace {

struct ChainLog {
    TimerLog second;
    QxRunLoopTimerRef added = nullptr;
};

void AddSecondTimer(QxRunLoopTimerRef, void* info) {
    auto* chain = static_cast<ChainLog*>(info);
    chain->added = AddTimer(QxRunLoopNow() + 0.02, 0, &chain->second);
}

}  // namespace

TEST_F(RunLoopTimer, TimerAddedFromACallbackFires) {
    ChainLog chain;
    chain.second.stopAfter = 1;
    QxRunLoopTimerContext context{0, &chain, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef first =
        QxRunLoopTimerCreate(QxRunLoopNow() + 0.01, 0, &context, AddSecondTimer);
    QxRunLoopAddTimer(QxRunLoopGetMain(), first);
    EXPECT_TRUE(RunFor(5, &chain.second.stop));
    EXPECT_EQ(chain.second.fired, 1);
    QxLObjectRelease(first);
    QxLObjectRelease(chain.added);
}

// ---- Sources -----------------------------------------------------------------

using RunLoopSource = RunLoopTest;

TEST_F(RunLoopSource, ScheduleAndCancelOncePerMembership) {
    SourceLog log;
    QxRunLoopSourceContext context{&log, LogSchedule, LogCancel};
    QxRunLoopSourceRef source = QxRunLoopSourceCreate(&context);
    ASSERT_NE(source, nullptr);
    QxRunLoopSourceInvalidate(source);  // in none: nothing
    EXPECT_EQ(log.canceled, 0);
    QxRunLoopAddSource(nullptr, source);
    EXPECT_EQ(log.scheduled, 0);

    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    EXPECT_EQ(log.scheduled, 1);
    EXPECT_EQ(log.info, &log);
    EXPECT_EQ(log.runLoop, QxRunLoopGetMain());
    ASSERT_EQ(log.mode, kQxRunLoopCommonMode);
    EXPECT_STREQ(kQxRunLoopCommonModeStorage.text, "common");
    EXPECT_EQ(QxLObjectRetainCount(source), 2);

    QxRunLoopSourceInvalidate(source);
    QxRunLoopSourceInvalidate(source);
    EXPECT_EQ(log.canceled, 1);
    EXPECT_EQ(log.runLoop, QxRunLoopGetMain());
    EXPECT_EQ(QxLObjectRetainCount(source), 1);

    // A source can join again after leaving.
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    EXPECT_EQ(log.scheduled, 2);
    QxLObjectRelease(source);  // the run loop's reference keeps it
    QxRunLoopShutdown();
    EXPECT_EQ(log.canceled, 2);
}

// ---- Pump ----------------------------------------------------------------------

using RunLoopPump = RunLoopTest;

TEST_F(RunLoopPump, IdleLoopSleepsUntilTheTimerIsDue) {
    TimerLog log;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow() + 0.3, 0, &log);
    uint64_t before = QxRunLoopPumpWakeCount();
    EXPECT_EQ(QxRunLoopPumpRunUntil(nullptr, QxRunLoopNow() + 0.6), kStatusTimeout);
    EXPECT_EQ(log.fired, 1);
    // One wake for the timer, one for the deadline, a spare for the system.
    EXPECT_LE(QxRunLoopPumpWakeCount() - before, 4u);
    QxLObjectRelease(timer);
}

TEST_F(RunLoopPump, StopFlagIsSeenBeforeTheNextMessage) {
    TimerLog log;
    log.stopAfter = 1;
    // Both due at once; the stop after the first leaves the second waiting.
    double due = QxRunLoopNow() + 0.02;
    QxRunLoopTimerRef first = AddTimer(due, 0, &log);
    QxRunLoopTimerRef second = AddTimer(due, 0, &log);
    EXPECT_EQ(QxRunLoopPumpRunUntil(&log.stop, QxRunLoopNow() + 5), kStatusOK);
    EXPECT_EQ(log.fired, 1);
    RunFor(0.1);
    EXPECT_EQ(log.fired, 2);
    QxLObjectRelease(first);
    QxLObjectRelease(second);
}

namespace {

// A callback that runs a loop of its own until another timer fires, as a
// modal dialog does.
struct NestedLog {
    TimerLog inner;
    bool innerStoppedNested = false;
};

void RunNestedLoop(QxRunLoopTimerRef, void* info) {
    auto* nested = static_cast<NestedLog*>(info);
    QxRunLoopTimerRef inner = AddTimer(QxRunLoopNow() + 0.03, 0, &nested->inner);
    nested->innerStoppedNested = RunFor(5, &nested->inner.stop);
    QxLObjectRelease(inner);
}

}  // namespace

TEST_F(RunLoopPump, CallbackMayRunANestedLoop) {
    NestedLog nested;
    nested.inner.stopAfter = 1;
    int outerAfter = 0;
    QxRunLoopTimerContext context{0, &nested, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef outer =
        QxRunLoopTimerCreate(QxRunLoopNow() + 0.01, 0, &context, RunNestedLoop);
    QxRunLoopAddTimer(QxRunLoopGetMain(), outer);
    QxRunLoopTimerContext laterContext{0, &outerAfter, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef later =
        QxRunLoopTimerCreate(QxRunLoopNow() + 0.2, 0, &laterContext, CountFire);
    QxRunLoopAddTimer(QxRunLoopGetMain(), later);
    RunFor(0.5);
    EXPECT_TRUE(nested.innerStoppedNested);
    EXPECT_EQ(nested.inner.fired, 1);
    EXPECT_EQ(outerAfter, 1);
    QxLObjectRelease(outer);
    QxLObjectRelease(later);
}

TEST_F(RunLoopPump, EmbeddingLoopWatchesOneDescriptor) {
    int fd = QxRunLoopPumpFileDescriptor();
    if (fd < 0) GTEST_SKIP() << "the system's message loop does this here";
    TimerLog log;
    QxRunLoopTimerRef timer = AddTimer(QxRunLoopNow() + 0.05, 0, &log);
    EXPECT_EQ(QxRunLoopPumpDispatchReady(), kStatusOK);
    EXPECT_FALSE(testsupport::WaitReadable(fd, 0));
    ASSERT_TRUE(testsupport::WaitReadable(fd, 5000));
    EXPECT_EQ(QxRunLoopPumpDispatchReady(), kStatusOK);
    EXPECT_EQ(log.fired, 1);
    // Nothing is due any more, so the descriptor goes quiet.
    EXPECT_FALSE(testsupport::WaitReadable(fd, 50));
    QxLObjectRelease(timer);
}

// ---- Work pool --------------------------------------------------------------

namespace {

// Pool threads held until released, and the order the other pieces ran in.
struct PoolGate {
    std::mutex lock;
    std::condition_variable changed;
    int threads = 0, held = 0, released = 0, delivered = 0;
    std::vector<int> order;
    bool stop = false;
};
struct PoolPiece {
    PoolGate* gate;
    int tag;  // 0: holds a thread
};

void RunPiece(void* context) {
    auto* piece = static_cast<PoolPiece*>(context);
    PoolGate* gate = piece->gate;
    std::unique_lock<std::mutex> held(gate->lock);
    if (piece->tag == 0) {
        int ticket = gate->held++;
        gate->changed.notify_all();
        gate->changed.wait(held, [&] { return gate->released > ticket; });
        return;
    }
    gate->order.push_back(piece->tag);
    if (gate->order.size() == 4) gate->released = gate->threads;
    gate->changed.notify_all();
}

void DeliverPiece(void* context, QxStatus) {
    PoolGate* gate = static_cast<PoolPiece*>(context)->gate;
    if (++gate->delivered == gate->threads + 4) gate->stop = true;
}

}  // namespace

TEST_F(RunLoopCore, HurriedWorkRunsFirstInTheOrderItWasHurried) {
    PoolGate gate;
    gate.threads = static_cast<int>(QxWorkPoolThreadCount());
    std::vector<PoolPiece> pieces(gate.threads + 4, PoolPiece{&gate, 0});
    for (int i = 0; i < gate.threads; ++i) {
        ASSERT_EQ(QxWorkSubmit(RunPiece, DeliverPiece, &pieces[i], nullptr), kStatusOK);
    }
    std::unique_lock<std::mutex> held(gate.lock);
    gate.changed.wait(held, [&] { return gate.held == gate.threads; });
    // Every thread busy: 1..4 queue in order, then 3 and 2 are hurried and
    // one thread goes on alone, so the order taken is the order run.
    QxWork* work[5] = {};
    for (int tag = 1; tag <= 4; ++tag) {
        pieces[gate.threads + tag - 1].tag = tag;
        ASSERT_EQ(QxWorkSubmit(RunPiece, DeliverPiece, &pieces[gate.threads + tag - 1], &work[tag]),
                  kStatusOK);
    }
    QxWorkHurry(work[3]);
    QxWorkHurry(work[2]);
    gate.released = 1;
    gate.changed.notify_all();
    held.unlock();
    EXPECT_TRUE(RunFor(30, &gate.stop));
    EXPECT_EQ(gate.order, (std::vector<int>{3, 2, 1, 4}));
}
