// POSIX implementation of the small system services of QxPlatform.h.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "QxPlatform.h"

bool QxPlatformLocalTime(int64_t seconds, struct tm* fields) {
    time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, fields) != nullptr;
}

int QxPlatformInet6Family() { return AF_INET6; }

void QxPlatformPowerKeepAwake() {}

QxStatus QxPlatformRaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errno != 0 ? errno : kStatusUnknown;
    if (limit.rlim_cur == limit.rlim_max) return kStatusOK;
    rlim_t wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return kStatusOK;
    int error = errno;
    // An unlimited hard limit is refused above the kernel's ceiling; a
    // generous finite one is what is wanted anyway.
    if (wanted == RLIM_INFINITY) {
        limit.rlim_cur = 65536;
        if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return kStatusOK;
        error = errno;
    }
    return error != 0 ? error : kStatusUnknown;
}

uint32_t QxPlatformDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return limit.rlim_cur > UINT32_MAX ? 0 : static_cast<uint32_t>(limit.rlim_cur);
}

void QxPlatformThreadYieldToOthers() {
    // Linux keeps a nice value per thread: PRIO_PROCESS with a thread id sets
    // this thread's alone.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
}

void* QxPlatformMemoryMapAligned(size_t bytes) {
    // Map a granule more than asked and trim both ends to the boundary.
    size_t span = bytes + kQxPlatformLargeGranule;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + kQxPlatformLargeGranule - 1) & ~(kQxPlatformLargeGranule - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    uintptr_t end = start + span;
    if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    // Advice only: without huge pages the memory is still good.
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void QxPlatformMemoryUnmap(void* base, size_t bytes) {
    if (base != nullptr) munmap(base, bytes);
}
