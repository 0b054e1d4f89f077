// Shared between HFSVolume.cpp and HFSCatalog.cpp: big-endian field access,
// the damage report, the fork list and the run reader.
#pragma once

#include <cstdint>

#include "HFSVolume.h"

namespace hfs {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint64_t Get64(const uint8_t* p) {
    return (static_cast<uint64_t>(Get32(p)) << 32) | Get32(p + 4);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
    Put16(p, static_cast<uint16_t>(v >> 16));
    Put16(p + 2, static_cast<uint16_t>(v));
}

// Every place that finds the disc damaged returns through this, so a debug
// build can name the detecting line (set TAMSOR_HFS_TRACE to print it).
QxStatus ReportDamage(QxStatus status, const char* file, int line);

// Fills a fork's size and first eight extents from 80 bytes of fork data.
void ForkFromData(HFSFork* fork, const uint8_t* forkData);
// Appends to / removes from the volume's circular fork list.
void LinkFork(HFSVolume* volume, HFSFork* fork);
void UnlinkFork(HFSFork* fork);

// Reads count bytes at offset of the fork, mapping through its extents.
// offset and count must be whole device sectors. With useCache, sectors go
// through the volume's sector cache.
QxStatus ReadRuns(HFSFork* fork, uint64_t offset, uint64_t count, uint8_t* buffer,
                  bool useCache);

// Frees the sector cache (UnmountVolume).
void FreeSectorCache(HFSVolume* volume);

}  // namespace hfs

#define HFS_DAMAGED(status) ::hfs::ReportDamage((status), __FILE__, __LINE__)
#define HFS_BAD_NODE() HFS_DAMAGED(kHFSBadTree)

// Test hook: the file and line of the last damage report (null before any).
const char* HFSLastDamageSite(int* line);
