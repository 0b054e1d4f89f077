// Operating-system services that the shared code needs, one function each.
// platform/posix/ and platform/win32/ implement the same set.
#pragma once

#include <cstdint>
#include <ctime>

// Breaks a time (seconds since 1970) into local calendar fields.
bool QxPlatformLocalTime(int64_t seconds, struct tm* fields);

// The address family number of IPv6 socket addresses on this system.
int QxPlatformInet6Family();

// Resets the system's idle-sleep timer once, so that it does not fall asleep
// while a client depends on this computer (Windows: SetThreadExecutionState
// with ES_SYSTEM_REQUIRED). Linux has no such one-shot call; desktop
// sessions take a sleep inhibitor instead, so this does nothing there.
void QxPlatformPowerKeepAwake();
