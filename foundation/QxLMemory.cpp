// malloc-backed allocation with a countdown fault injector for tests.
// The injector is a plain global: the program allocates on one thread.
#include "QxLMemory.h"

#include <cstdlib>

namespace {

int64_t gFailCountdown = 0;
bool gFailureTriggered = false;

// True when this allocation is the one the injector must fail.
bool ShouldFail() {
    if (gFailCountdown <= 0) return false;
    if (--gFailCountdown == 0) {
        gFailureTriggered = true;
        return true;
    }
    return false;
}

}  // namespace

void* QxLAlloc(size_t size) {
    if (ShouldFail()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* QxLAllocZeroed(size_t size) {
    if (ShouldFail()) return nullptr;
    return std::calloc(1, size == 0 ? 1 : size);
}

void* QxLRealloc(void* block, size_t size) {
    if (ShouldFail()) return nullptr;
    return std::realloc(block, size == 0 ? 1 : size);
}

void QxLFree(void* block) { std::free(block); }

void QxLFailAllocationAfter(int64_t countdown) {
    gFailCountdown = countdown > 0 ? countdown : 0;
    gFailureTriggered = false;
}

bool QxLAllocationFailureTriggered() { return gFailureTriggered; }
