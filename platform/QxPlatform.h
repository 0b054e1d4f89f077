// Operating-system services that the shared code needs, one function each.
// platform/posix/ and platform/win32/ implement the same set.
#pragma once

#include <cstdint>
#include <ctime>

#include "QxLStatus.h"

// Breaks a time (seconds since 1970) into local calendar fields.
bool QxPlatformLocalTime(int64_t seconds, struct tm* fields);

// The address family number of IPv6 socket addresses on this system.
int QxPlatformInet6Family();

// Resets the system's idle-sleep timer once, so that it does not fall asleep
// while a client depends on this computer (Windows: SetThreadExecutionState
// with ES_SYSTEM_REQUIRED). Linux has no such one-shot call; desktop
// sessions take a sleep inhibitor instead, so this does nothing there.
void QxPlatformPowerKeepAwake();

// Raises the process's soft limit on open descriptors to its hard limit, so
// that a crowd of clients cannot run the services out of sockets at the
// usual 1,024. For programs to call once at start-up; the library never
// calls it. Windows has no such limit: 0 there. Otherwise 0 or the error.
QxStatus QxPlatformRaiseDescriptorLimit();

// The process's soft limit on open descriptors (sockets and files), or 0
// when there is none worth counting (Windows; RLIM_INFINITY). Read each
// time, so a limit lowered or raised later is seen.
uint32_t QxPlatformDescriptorLimit();
