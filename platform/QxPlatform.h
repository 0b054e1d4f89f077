// Operating-system services that the shared code needs, one function each.
// platform/posix/ and platform/win32/ implement the same set.
#pragma once

#include <cstdint>
#include <ctime>

// Breaks a time (seconds since 1970) into local calendar fields.
bool QxPlatformLocalTime(int64_t seconds, struct tm* fields);

// The address family number of IPv6 socket addresses on this system.
int QxPlatformInet6Family();
