// Run buffers in large-page slabs (ImageRunMemory.h).
#include "ImageRunMemory.h"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <vector>

#include "QxLMemory.h"
#include "QxPlatform.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSlabs = false;
#else
constexpr bool kSlabs = true;
#endif

constexpr uint64_t kSmallestSlot = 64u << 10;
constexpr uint64_t kSlabBytes = kQxPlatformLargeGranule;
constexpr int kClasses = 6;  // 64 KiB, 128 KiB, ... 2 MiB

struct Slab {
    uint32_t used = 0;  // slots handed out
};

struct SlotClass {
    std::vector<uint8_t*> free;
    size_t slots = 0;  // of all its slabs: free never needs more room
};

struct RunMemory {
    SlotClass classes[kClasses];
    std::unordered_map<uintptr_t, Slab> slabs;  // by base address
};

RunMemory& Memory() {
    static RunMemory memory;
    return memory;
}

// The class of a slab-sized length, or -1.
int ClassOf(uint64_t length) {
    if (!kSlabs) return -1;
    for (int k = 0; k < kClasses; ++k) {
        if (length == kSmallestSlot << k) return k;
    }
    return -1;
}

uintptr_t SlabOf(const uint8_t* slot) {
    return reinterpret_cast<uintptr_t>(slot) & ~(uintptr_t{kSlabBytes} - 1);
}

uint8_t* NewSlab(int k) {
    RunMemory& memory = Memory();
    uint64_t slotBytes = kSmallestSlot << k;
    auto* base = static_cast<uint8_t*>(QxPlatformMemoryMapAligned(kSlabBytes));
    if (base == nullptr) return nullptr;
    SlotClass& slotClass = memory.classes[k];
    try {
        slotClass.free.reserve(slotClass.slots + kSlabBytes / slotBytes);
        memory.slabs[reinterpret_cast<uintptr_t>(base)].used = 1;
        for (uint64_t at = kSlabBytes; (at -= slotBytes) > 0;) {
            slotClass.free.push_back(base + at);
        }
    } catch (const std::bad_alloc&) {
        memory.slabs.erase(reinterpret_cast<uintptr_t>(base));
        QxPlatformMemoryUnmap(base, kSlabBytes);
        return nullptr;
    }
    slotClass.slots += kSlabBytes / slotBytes;
    return base;
}

}  // namespace

uint8_t* ImageRunMemoryTake(uint64_t length) {
    int k = ClassOf(length);
    if (k < 0) return static_cast<uint8_t*>(QxLAlloc(length > 0 ? length : 1));
    RunMemory& memory = Memory();
    std::vector<uint8_t*>& free = memory.classes[k].free;
    if (free.empty()) return NewSlab(k);
    uint8_t* slot = free.back();
    free.pop_back();
    ++memory.slabs[SlabOf(slot)].used;
    return slot;
}

void ImageRunMemoryGive(uint8_t* bytes, uint64_t length) {
    if (bytes == nullptr) return;
    int k = ClassOf(length);
    if (k < 0) {
        QxLFree(bytes);
        return;
    }
    RunMemory& memory = Memory();
    std::vector<uint8_t*>& free = memory.classes[k].free;
    uintptr_t base = SlabOf(bytes);
    auto slab = memory.slabs.find(base);
    free.push_back(bytes);  // room was reserved with the slab
    if (--slab->second.used > 0) return;
    uint64_t slotsPerSlab = kSlabBytes / (kSmallestSlot << k);
    if (free.size() <= slotsPerSlab) return;  // the one spare slab of its size
    free.erase(std::remove_if(free.begin(), free.end(),
                              [base](const uint8_t* slot) { return SlabOf(slot) == base; }),
               free.end());
    memory.slabs.erase(slab);
    memory.classes[k].slots -= slotsPerSlab;
    QxPlatformMemoryUnmap(reinterpret_cast<void*>(base), kSlabBytes);
}
