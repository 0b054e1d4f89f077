// POSIX implementation of the small system services of QxPlatform.h.
#include <sys/resource.h>
#include <sys/socket.h>

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
