// Sockets as the shared code sees them on every system: one handle type,
// start-up, non-blocking mode, close, and the error rule.
//
// Error rule: a failed call reports the system's error number (Windows
// Sockets' WSAGetLastError, errno elsewhere), or kStatusUnknown when that
// is 0. The would-block condition has one value on every system, the
// Windows Sockets number 10035, so that server code tests a single value;
// on POSIX systems EAGAIN, EWOULDBLOCK and EINPROGRESS (a connect still
// under way, which Windows Sockets also reports as would-block) map to it.
//
// Not here: the socket calls themselves (socket, bind, recv, send...),
// which keep their usual names on both systems.
#pragma once

#include <cstdint>

#include "QxLStatus.h"

#if defined(_WIN32)
// SOCKET without pulling windows.h into every file.
using QxSocketHandle = uintptr_t;
inline constexpr QxSocketHandle kQxInvalidSocket = ~static_cast<uintptr_t>(0);
#else
using QxSocketHandle = int;
inline constexpr QxSocketHandle kQxInvalidSocket = -1;
#endif

// WSAEWOULDBLOCK.
inline constexpr QxStatus kQxErrorWouldBlock = 10035;

// Starts the socket layer once per process: Windows Sockets version 2.2;
// on POSIX systems SIGPIPE is ignored so that a send to a closed peer fails
// with EPIPE instead of ending the program. Returns 0 or the system error.
QxStatus QxPlatformSocketStartup();
// Undoes one start-up (WSACleanup); nothing on POSIX systems.
void QxPlatformSocketCleanup();

// Sets non-blocking mode (FIONBIO = 1). 0 or the error by the rule above.
QxStatus QxPlatformSocketSetNonBlocking(QxSocketHandle handle);

// Closes a handle. On POSIX systems this also drops any notification
// registration with the run-loop backend first, as closesocket cancels a
// WSAAsyncSelect on Windows. 0 or the error by the rule above.
QxStatus QxPlatformSocketClose(QxSocketHandle handle);

// The error of the socket call that just failed, by the rule above.
// Call it on the line right after the failing call.
QxStatus QxPlatformSocketLastError();

// The error of the system call (not socket call) that just failed:
// GetLastError or errno, kStatusUnknown when 0. No would-block mapping.
QxStatus QxPlatformLastError();
