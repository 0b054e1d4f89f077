// POSIX implementation of the small system services of QxPlatform.h.
#include <sys/socket.h>

#include "QxPlatform.h"

bool QxPlatformLocalTime(int64_t seconds, struct tm* fields) {
    time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, fields) != nullptr;
}

int QxPlatformInet6Family() { return AF_INET6; }

void QxPlatformPowerKeepAwake() {}
