// Windows implementation of the small system services of QxPlatform.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "QxPlatform.h"

bool QxPlatformLocalTime(int64_t seconds, struct tm* fields) {
    __time64_t t = static_cast<__time64_t>(seconds);
    return _localtime64_s(fields, &t) == 0;
}

int QxPlatformInet6Family() { return AF_INET6; }

void QxPlatformPowerKeepAwake() { SetThreadExecutionState(ES_SYSTEM_REQUIRED); }

// Sockets are kernel handles without a per-process count limit.
QxStatus QxPlatformRaiseDescriptorLimit() { return kStatusOK; }

uint32_t QxPlatformDescriptorLimit() { return 0; }
