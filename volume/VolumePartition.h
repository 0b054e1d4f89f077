// The block-structured partition map of a disc and the HFS+ partitions
// found in it.
//
// Only maps with the driver descriptor "ER" in block 0 and "PM" entries in
// blocks 1 to N are read; a disc without one simply has no partitions.
// Every entry of type "Verin_HFS" with a non-zero length becomes a
// VolumePartition named after its map block number ("2", "3", ...) and its
// HFS+ volume is mounted at once.
//
// Not here: other partition schemes, bare volumes at sector 0, partition
// types other than HFS+.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"

struct BlockDevice;
struct HFSVolume;

// Longest partition name: 260 characters plus the NUL.
inline constexpr size_t kPartitionNameCapacity = 261;
// The only kind of partition there is.
inline constexpr int32_t kPartitionKindHFSPlus = 1;
// Bytes of a volume header read by ReadPartitionHeader.
inline constexpr uint32_t kPartitionHeaderSize = 512;

struct VolumePartition {
    VolumePartition* next;              // same device, map order
    char name[kPartitionNameCapacity];  // map block number, "%u"
    int32_t kind;                       // kPartitionKindHFSPlus
    uint64_t startOffset;               // bytes from the start of the disc
    uint64_t startSector;               // startOffset / device sectorSize
    BlockDevice* device;                // owner, not a counted reference
    HFSVolume* volume;                  // owned, mounted on attach
};

// Reads the map and attaches every HFS+ partition, in map order. Called by
// OpenDevice, which ignores the result. Partitions attached before a failure
// stay. kStatusBadSize (sector size of 3 or less, map block size below 92),
// kStatusBadSignature (no "ER" or a block without "PM"), kStatusNoMemory,
// a read error, or the status of a failed attach (which ends the scan).
QxStatus ScanPartitionMap(BlockDevice* device);

// Creates a partition (name copied, cut to 260 bytes), mounts its volume
// (MountVolume) and appends it to the device's list. A failed mount frees
// it and returns the mount's status. *partition (may be null) receives the
// new record.
QxStatus AttachPartition(BlockDevice* device, const char* name, uint64_t startOffset,
                         VolumePartition** partition = nullptr);

// Unmounts the volume and frees the record. Does not unlink it from the
// device's list (the device does that when it lets go of all of them).
void ReleasePartition(VolumePartition* partition);

// Reads exactly 512 bytes at partition byte offset into buffer.
QxStatus ReadPartitionHeader(VolumePartition* partition, uint64_t offset, void* buffer);
