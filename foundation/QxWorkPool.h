// The work pool: one small set of threads for the whole process that does
// bounded pieces of work the run loop must not wait for (decoding a run of a
// compressed image), and hands each finished piece back to the run loop.
//
// A piece is two functions and a context: run() on a pool thread, then
// done() on the run-loop thread, exactly once, after one wake-up of the loop
// (a loopback socket it watches). The pool never looks inside the context;
// the submitter owns it and frees it in done(). Only the pool's hand-over
// queue takes a lock: nothing the run loop's callbacks touch is shared.
//
// Every piece is delivered by the loop and by nothing else, whatever its
// submitter does meanwhile: a cancel takes back only a piece that has not
// started (its done() then comes from the loop with kStatusCanceled), and a
// piece that has run is always delivered with status 0, even when its
// submitter has given up on it. A done() may therefore cancel other pieces,
// or free whatever its own context owns, without ever reaching a piece the
// loop is about to deliver: the loop alone frees the pool's records.
//
// Threads: one per core, at least two, started on the first submission, each
// a step below the process's other threads in priority, so that the run
// loop answers first when the cores are all busy decoding.
// Shutdown (QxWorkPoolShutdown, also the first step of QxRunLoopShutdown)
// cancels what has not started, waits for what runs, then calls every
// outstanding done() and frees the threads, in that order; the pool starts
// again at the next submission.
// Not here: what the work is, priorities, work that blocks for long.
#pragma once

#include <cstdint>

#include "QxLStatus.h"

struct QxWork;

// On a pool thread; must not touch run-loop objects.
using QxWorkRun = void (*)(void* context);
// On the run-loop thread: status 0 after run() ran, kStatusCanceled when it
// never will (cancelled or shut down).
using QxWorkDone = void (*)(void* context, QxStatus status);

// Queues a piece. *work (when work is not null) identifies it until done()
// has been called. kStatusCanceled after shutdown began; kStatusNoMemory, or
// the system error when the threads or the wake-up socket cannot be made:
// the caller then does the work itself.
QxStatus QxWorkSubmit(QxWorkRun run, QxWorkDone done, void* context, QxWork** work);

// Starts the threads and the wake-up now rather than on the first
// submission (from a calm moment, not from inside a burst of work). 0 when
// running; the errors of QxWorkSubmit.
QxStatus QxWorkPoolStart();

// Moves a piece that has not started ahead of every piece not hurried,
// behind those hurried before it (someone waits for it now). Anything else
// is left alone.
void QxWorkHurry(QxWork* work);

// Takes back a piece that has not started: it never runs, and its done()
// comes from the run loop with kStatusCanceled, never from inside this
// call. True when it was taken back; false when it has started or finished
// (its done() comes with status 0) or is on its way back already.
bool QxWorkCancel(QxWork* work);

// Waits, on any thread but a pool thread, until no piece is queued or
// running; finished pieces still wait for the run loop to deliver them.
// For tests and tools that need the pool quiet at a known moment.
void QxWorkPoolWaitIdle();

// For tests: while a file exists at path, a pool thread that takes a piece
// holds it (started, so not cancellable) before running it, and lets go
// when the file goes or the pool shuts down; null or "" ends it. Each time
// one more piece is held, path + ".held" is written with how many are. The
// environment variable TAMSOR_HOLD_WORK_WHILE, read when the pool starts,
// sets it for a process that is tested from outside.
void QxWorkPoolHoldWhile(const char* path);
// Pieces held so far at the test gate and still there.
uint32_t QxWorkPoolHeldCount();

// Stops the pool as described above. Does nothing when it never started.
void QxWorkPoolShutdown();

// How many threads the pool runs (or will run once started).
uint32_t QxWorkPoolThreadCount();
