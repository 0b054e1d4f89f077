// Operating-system services that the shared code needs, one function each.
// platform/posix/ and platform/win32/ implement the same set.
#pragma once

#include <cstddef>
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

// Lowers the calling thread's scheduling priority a step below the
// process's others: for threads doing background work (decoding) that must
// not delay the run loop's answers when the cores are all busy. Linux: nice
// 10 for this thread alone; Windows: THREAD_PRIORITY_BELOW_NORMAL. Best
// effort: nothing is reported.
void QxPlatformThreadYieldToOthers();

// The alignment and granule of QxPlatformMemoryMapAligned: the size of a
// large page on x86-64.
inline constexpr size_t kQxPlatformLargeGranule = size_t{2} << 20;

// bytes (a multiple of kQxPlatformLargeGranule) of zero-filled memory that
// starts on a kQxPlatformLargeGranule boundary, given out by the system
// rather than the heap, so that it can be backed by large pages (Linux:
// transparent huge pages asked for with madvise): filling it then costs one
// page fault per 2 MiB instead of one per 4 KiB. nullptr when there is none.
void* QxPlatformMemoryMapAligned(size_t bytes);
// Returns memory of QxPlatformMemoryMapAligned (the same bytes) to the system.
void QxPlatformMemoryUnmap(void* base, size_t bytes);
