// Heap allocation for the foundation and everything above it.
//
// Every block comes from the C library's malloc, so text handed out to
// callers may be freed with the ordinary free(). The one addition is a fault
// injector for tests: it makes the Nth allocation from now fail, so that every
// allocation failure path can be walked in turn.
#pragma once

#include <cstddef>
#include <cstdint>

void* QxLAlloc(size_t size);
void* QxLAllocZeroed(size_t size);
void* QxLRealloc(void* block, size_t size);
void QxLFree(void* block);

// Test hook: the allocation `countdown` calls from now fails (1 = the next
// one); 0 or a negative value turns injection off. Returns nothing; see
// QxLAllocationFailureTriggered() to learn whether it fired.
void QxLFailAllocationAfter(int64_t countdown);
bool QxLAllocationFailureTriggered();
