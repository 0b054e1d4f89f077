// The backend of the run loop: what the system gives it on each platform.
//
// The run loop (foundation/QxRunLoop.cpp) is written against a "hidden
// window": a per-thread receiver of two kinds of message, which the backend
// hands to a window procedure that the run loop supplies at creation.
//
//   message                   wParam                lParam
//   kQxPlatformTimerMessage   the timer id          0
//   kQxPlatformSocketMessage  the socket handle     low 16 bits: one event
//                                                   (kQxSocketEvent...),
//                                                   high 16 bits: error
//
// On Windows this is a real hidden window with SetTimer, KillTimer and
// WSAAsyncSelect, driven by whatever message loop the thread runs. On Linux
// a small layer over epoll and one timerfd plays the window's part, and the
// thread's owner drives it with the QxRunLoopPump... calls below.
//
// Semantics both backends keep (the Windows ones):
// - A system timer is periodic: it fires every `milliseconds` until killed
//   (10 to 2147483647 ms; values outside are clamped). Starting an id that
//   is running replaces it. A timer message reaches the procedure at most
//   once per expiry; missed expiries collapse into one.
// - Selecting socket events replaces the previous selection; an empty set
//   stops notifications. Each message carries one event. A message queued
//   under an older selection may still arrive (as on Windows), but the
//   Linux layer drops events no longer selected and anything queued for a
//   handle that was deselected or closed meanwhile.
// - Everything happens on the thread that created the window, one message
//   at a time; the procedure may start and kill timers, select events and
//   even run a nested pump.
#pragma once

#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformSocket.h"

// WM_TIMER and WM_USER + 0x100.
inline constexpr uint32_t kQxPlatformTimerMessage = 0x0113;
inline constexpr uint32_t kQxPlatformSocketMessage = 0x0500;

// Network events, with the values of Windows Sockets' FD_ bits.
inline constexpr uint32_t kQxSocketEventRead = 0x01;
inline constexpr uint32_t kQxSocketEventWrite = 0x02;
inline constexpr uint32_t kQxSocketEventOutOfBand = 0x04;
inline constexpr uint32_t kQxSocketEventAccept = 0x08;
inline constexpr uint32_t kQxSocketEventConnect = 0x10;
inline constexpr uint32_t kQxSocketEventClose = 0x20;

inline constexpr uint32_t kQxPlatformTimerMinimum = 10;
inline constexpr uint32_t kQxPlatformTimerMaximum = 0x7FFFFFFF;

using QxPlatformWindowProcedure = void (*)(uint32_t message, uintptr_t wParam,
                                           intptr_t lParam);

// ---- The hidden window ------------------------------------------------------

struct QxPlatformWindow;

// Creates the hidden window; `name` is both its class name and its title on
// Windows. The procedure receives the two messages above; everything else
// goes to the system's default handling. One window at a time on Linux
// (a second gives kStatusAlreadyInitialized). Returns 0 or the system error.
QxStatus QxPlatformWindowCreate(const char* name, QxPlatformWindowProcedure procedure,
                                QxPlatformWindow** window);
// Destroys the window with its timers and socket selections (and on
// Windows unregisters its class, so that a later create succeeds).
QxStatus QxPlatformWindowDestroy(QxPlatformWindow* window);

// SetTimer / KillTimer. Killing an id that is not running gives
// kStatusNotFound.
QxStatus QxPlatformTimerStart(QxPlatformWindow* window, uintptr_t id, uint32_t milliseconds);
QxStatus QxPlatformTimerKill(QxPlatformWindow* window, uintptr_t id);

// WSAAsyncSelect with kQxPlatformSocketMessage: asks for the kQxSocketEvent
// bits in `events` (0 stops). Returns 0 or the socket error.
QxStatus QxPlatformSocketSelect(QxPlatformWindow* window, QxSocketHandle handle,
                                uint32_t events);

// ---- Lock and clock ---------------------------------------------------------

// A recursive lock (a critical section): the owner may enter it again.
struct QxPlatformLock;
QxStatus QxPlatformLockCreate(QxPlatformLock** lock);
void QxPlatformLockDelete(QxPlatformLock* lock);
void QxPlatformLockEnter(QxPlatformLock* lock);
void QxPlatformLockLeave(QxPlatformLock* lock);

// Seconds on a monotonic clock with an arbitrary origin: the performance
// counter (falling back to the millisecond tick count) on Windows,
// CLOCK_MONOTONIC on Linux.
double QxPlatformClockNow();

// ---- Message pump -----------------------------------------------------------
// What the thread's owner calls to have the window's messages delivered.
// A GUI toolkit on Linux watches QxRunLoopPumpFileDescriptor() for input
// and calls QxRunLoopPumpDispatchReady() when it is readable; console
// programs and tests call QxRunLoopPumpRunUntil(). On Windows the ordinary
// GetMessage loop of the thread does the same work; these calls exist there
// too so that tests are shared.

// Linux: a descriptor that becomes readable when a timer or a socket needs
// attention (-1 while no window exists). Windows: -1.
int QxRunLoopPumpFileDescriptor();

// Delivers every message that is ready now, without waiting.
// kStatusNotInitialized without a window, else 0 or the system error.
QxStatus QxRunLoopPumpDispatchReady();

// Delivers messages one at a time, sleeping while none is due, until
// *stopFlag is true (checked before each message; returns 0) or the clock
// passes `deadline` (seconds on QxPlatformClockNow's clock; <= 0 for none;
// returns kStatusTimeout). On Windows a WM_QUIT is posted again and gives
// kStatusCanceled. kStatusNotInitialized without a window.
QxStatus QxRunLoopPumpRunUntil(const volatile bool* stopFlag, double deadline);

// How many times the pump has gone to sleep and woken up (tests use it to
// show that an idle loop does not poll).
uint64_t QxRunLoopPumpWakeCount();
