// The run loop: the one event loop of the program, with its sources,
// timers and socket objects.
//
// There is exactly one run loop, the main run loop, on the thread that
// initialises it. It has no message pump of its own: the platform backend
// (platform/QxPlatformRunLoop.h) delivers system timer and socket messages
// while the thread's owner pumps, and the run loop turns them into the timer
// and socket callbacks below, one at a time.
//
// The four object types ("QxRunLoop", "QxRunLoopSource", "QxRunLoopTimer",
// "QxSocket") are reference counted like every object (QxLObject.h).
// Creation gives the caller one reference; adding to the run loop takes
// one more, invalidation drops it; releasing the last reference
// invalidates first.
//
// Status rules: a failed system call reports its error number, or
// kStatusUnknown (-6700) when that is 0.
#pragma once

#include <cstdint>

#include "QxLObject.h"
#include "QxPlatformSocket.h"

using QxRunLoopRef = QxLObjectRef;
using QxRunLoopSourceRef = QxLObjectRef;
using QxRunLoopTimerRef = QxLObjectRef;
using QxSocketRef = QxLObjectRef;

// The mode passed to schedule and cancel callbacks.
QXL_DEFINE_CONSTANT_STRING(kQxRunLoopCommonMode, "common");

// ---- Run loop -----------------------------------------------------------------

// Creates the lock, the hidden window, the three run-loop types and the
// main run loop. Once at start-up, after QxPlatformSocketStartup.
// kStatusAlreadyInitialized (-6719) when it already ran (the running loop
// is left as it is); the system error for a failed system call;
// kStatusUnknown for a failed type registration; kStatusNoMemory. A failure
// tears down whatever was built.
QxStatus QxRunLoopInitialize();
// 0 if the main run loop exists, else QxRunLoopInitialize().
QxStatus QxRunLoopEnsureInitialized();
// At exit: releases the main run loop (invalidating its timers, then its
// sources) and the socket table, destroys the window and deletes the lock.
// Does nothing when the run loop was never initialised.
void QxRunLoopShutdown();
// The main run loop, not retained; null before initialisation.
QxRunLoopRef QxRunLoopGetMain();
// Seconds on the run-loop clock (arbitrary origin). Fire dates and the
// servers' time-outs use it.
double QxRunLoopNow();

// ---- Sources --------------------------------------------------------------------

using QxRunLoopSourceCallback = void (*)(void* info, QxRunLoopRef runLoop, QxLStringRef mode);

struct QxRunLoopSourceContext {
    void* info;
    QxRunLoopSourceCallback schedule;  // on QxRunLoopAddSource, under the lock
    QxRunLoopSourceCallback cancel;    // on invalidation, under the lock
};

// A new source holding a copy of the context (null context: all empty).
// Null when initialisation fails or memory is short.
QxRunLoopSourceRef QxRunLoopSourceCreate(const QxRunLoopSourceContext* context);
// Retains the source and calls its schedule callback, only if the run loop
// is non-null and the source is in no run loop yet.
void QxRunLoopAddSource(QxRunLoopRef runLoop, QxRunLoopSourceRef source);
// Takes the source out of its run loop: calls its cancel callback and
// releases the run loop's reference. A source in no run loop is left alone.
void QxRunLoopSourceInvalidate(QxRunLoopSourceRef source);

// ---- Timers ---------------------------------------------------------------------

using QxRunLoopTimerCallback = void (*)(QxRunLoopTimerRef timer, void* info);

// Only info is used; the other slots are there for the callers' layout.
struct QxRunLoopTimerContext {
    int32_t version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    QxLStringRef (*copyDescription)(const void* info);
};

// A timer that fires first at fireDate (absolute, on the QxRunLoopNow clock,
// at least 10 ms after it is added) and then every `interval` seconds; an
// interval of 0 or less fires once and leaves the timer inert in its run loop
// until it is invalidated. Null when the callback is null, initialisation
// fails or memory is short.
QxRunLoopTimerRef QxRunLoopTimerCreate(double fireDate, double interval,
                                       const QxRunLoopTimerContext* context,
                                       QxRunLoopTimerCallback callback);
// Starts the timer's system timer and retains it, only if the run loop
// exists, is non-null and the timer is in no run loop. If the system timer
// cannot be started the timer is not added (and never fires).
void QxRunLoopAddTimer(QxRunLoopRef runLoop, QxRunLoopTimerRef timer);
// Kills the system timer and releases the run loop's reference. A timer in
// no run loop is left alone.
void QxRunLoopTimerInvalidate(QxRunLoopTimerRef timer);

// ---- Sockets --------------------------------------------------------------------

// Callback types (bits).
inline constexpr uint32_t kQxSocketReadCallback = 1;   // readable, accept, connected, closed
inline constexpr uint32_t kQxSocketWriteCallback = 8;  // writable
// Option bits; every socket has 0x83. Keep-read and keep-write leave the
// type enabled after its event; close-on-invalidate closes the handle.
inline constexpr uint32_t kQxSocketKeepReadCallback = 0x01;
inline constexpr uint32_t kQxSocketOptionReserved = 0x02;  // no effect
inline constexpr uint32_t kQxSocketKeepWriteCallback = 0x08;
inline constexpr uint32_t kQxSocketCloseOnInvalidate = 0x80;
inline constexpr uint32_t kQxSocketDefaultOptions = 0x83;

// Called as (socket, the occurred types, null, null, info).
using QxSocketCallback = void (*)(QxSocketRef socket, uint32_t types, const void* address,
                                  const void* data, void* info);

// Only version and info are used.
struct QxSocketContext {
    int32_t version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    QxLStringRef (*copyDescription)(const void* info);
};

// Wraps an existing handle, which the object then owns (option 0x80 closes
// it on invalidation). Enabled callback types as given; options 0x83. Sets up
// the run loop and the socket table if needed. Null on failure.
QxSocketRef QxSocketCreate(QxSocketHandle handle, uint32_t callbackTypes,
                           QxSocketCallback callback, const QxSocketContext* context);
// The socket's run-loop source, created on the first call; the socket keeps
// one reference and the caller receives one. Adding it to the run loop
// schedules the socket; invalidating it cancels the notifications. Null on
// allocation failure.
QxRunLoopSourceRef QxSocketCreateRunLoopSource(QxSocketRef socket);
// Add or remove callback types and re-register with the system. Write
// callbacks are one-shot: each enabling gives at most one.
void QxSocketEnableCallbacks(QxSocketRef socket, uint32_t types);
void QxSocketDisableCallbacks(QxSocketRef socket, uint32_t types);
// Stops notifications, closes the handle and invalidates the socket's source.
void QxSocketInvalidate(QxSocketRef socket);
