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

void QxPlatformThreadYieldToOthers() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

void* QxPlatformMemoryMapAligned(size_t bytes) {
    // VirtualAlloc aligns to 64 KiB only: find a free stretch with room for
    // the boundary, let it go, and take the aligned part of it (another
    // thread may take it first; then try again).
    for (int attempt = 0; attempt < 8; ++attempt) {
        void* probe =
            VirtualAlloc(nullptr, bytes + kQxPlatformLargeGranule, MEM_RESERVE, PAGE_NOACCESS);
        if (probe == nullptr) return nullptr;
        uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + kQxPlatformLargeGranule - 1) &
                            ~(kQxPlatformLargeGranule - 1);
        VirtualFree(probe, 0, MEM_RELEASE);
        void* memory = VirtualAlloc(reinterpret_cast<void*>(aligned), bytes,
                                    MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (memory != nullptr) return memory;
    }
    return nullptr;
}

void QxPlatformMemoryUnmap(void* base, size_t /*bytes*/) {
    if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}
