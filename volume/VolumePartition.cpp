// The partition map scan and the partition records; see VolumePartition.h.
//
// On-disc layout (big-endian):
//
//   Driver descriptor, block 0 (one device sector):
//     offset  width  field
//     0       2      "ER"
//     2       2      map block size in bytes (at least 92)
//
//   Map entry, one per map block, blocks 1 to N, each mapBlockSize bytes at
//   byte offset block x mapBlockSize:
//     offset  width  field
//     0       2      "PM"
//     4       4      N, entries in the map (read from block 1 only)
//     8       4      first block of the partition, in map blocks
//     12      4      length in map blocks (0: empty entry, skipped)
//     16      32     partition name (not used)
//     48      32     partition type, NUL-padded ("Verin_HFS")
//
// The entry count comes from the disc, so the scan never goes beyond the
// last map block that lies wholly on the disc: a hostile N cannot make it
// read for ever.
#include "VolumePartition.h"

#include <cstdint>
#include <cstring>

#include "BlockDevice.h"
#include "HFSVolume.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLScan.h"

namespace {

inline constexpr uint32_t kMinimumMapBlockSize = 92;
inline constexpr size_t kTypeOffset = 48;
inline constexpr size_t kTypeWidth = 32;
// Compared with its NUL, so "Verin_HFSx" is another type.
inline constexpr char kHFSPartitionType[] = "Verin_HFS";

uint16_t Big16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

uint32_t Big32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

bool IsMapEntry(const uint8_t* entry) { return entry[0] == 'P' && entry[1] == 'M'; }

bool IsHFSType(const uint8_t* entry) {
    return strncmp(reinterpret_cast<const char*>(entry + kTypeOffset), kHFSPartitionType,
                   kTypeWidth) == 0;
}

// Reads map block `block` (mapBlockSize bytes) into entry.
QxStatus ReadMapBlock(BlockDevice* device, uint32_t mapBlockSize, uint64_t block,
                      uint8_t* entry) {
    return ReadBytes(device, mapBlockSize, static_cast<int64_t>(block * mapBlockSize), entry);
}

QxStatus ScanEntries(BlockDevice* device, uint32_t mapBlockSize, uint8_t* entry) {
    QxStatus status = ReadMapBlock(device, mapBlockSize, 1, entry);
    if (status != kStatusOK) return status;
    if (!IsMapEntry(entry)) return kStatusBadSignature;
    uint32_t entryCount = Big32(entry + 4);

    // Blocks 2..N; only those wholly on the disc can be read at all.
    uint64_t blocksOnDisc = device->diskSize / mapBlockSize;
    uint64_t lastBlock = entryCount;
    if (blocksOnDisc == 0) return kStatusOutOfRange;
    if (lastBlock > blocksOnDisc - 1) lastBlock = blocksOnDisc - 1;
    for (uint64_t block = 2; block <= lastBlock; ++block) {
        status = ReadMapBlock(device, mapBlockSize, block, entry);
        if (status != kStatusOK) return status;
        if (!IsMapEntry(entry)) return kStatusBadSignature;
        uint32_t firstBlock = Big32(entry + 8);
        uint32_t blockCount = Big32(entry + 12);
        if (blockCount == 0 || !IsHFSType(entry)) continue;

        char name[kPartitionNameCapacity];
        QxLFormatToBuffer(name, sizeof(name), "%u", static_cast<unsigned>(block));
        uint64_t startOffset = static_cast<uint64_t>(firstBlock) * mapBlockSize;
        status = AttachPartition(device, name, startOffset);
        if (status != kStatusOK) return status;
    }
    // An entry count past the end of the disc is a damaged map; what was
    // found stays attached.
    return lastBlock < entryCount ? kStatusOutOfRange : kStatusOK;
}

}  // namespace

QxStatus ScanPartitionMap(BlockDevice* device) {
    if (device == nullptr) return kStatusBadParameter;
    if (device->sectorSize <= 3) return kStatusBadSize;
    QxStatus status = ReadSectors(device, 0, 1, device->sectorBuffer);
    if (status != kStatusOK) return status;
    if (device->sectorBuffer[0] != 'E' || device->sectorBuffer[1] != 'R') {
        return kStatusBadSignature;
    }
    uint32_t mapBlockSize = Big16(device->sectorBuffer + 2);
    if (mapBlockSize < kMinimumMapBlockSize) return kStatusBadSize;

    auto* entry = static_cast<uint8_t*>(QxLAlloc(mapBlockSize));
    if (entry == nullptr) return kStatusNoMemory;
    status = ScanEntries(device, mapBlockSize, entry);
    QxLFree(entry);
    return status;
}

QxStatus AttachPartition(BlockDevice* device, const char* name, uint64_t startOffset,
                         VolumePartition** partition) {
    if (device == nullptr || name == nullptr) return kStatusBadParameter;
    auto* attached = static_cast<VolumePartition*>(QxLAllocZeroed(sizeof(VolumePartition)));
    if (attached == nullptr) return kStatusNoMemory;
    QxLCopyBounded(attached->name, name, sizeof(attached->name));
    attached->kind = kPartitionKindHFSPlus;
    attached->startOffset = startOffset;
    attached->startSector = startOffset / device->sectorSize;
    attached->device = device;

    QxStatus status = MountVolume(attached, &attached->volume);
    if (status != kStatusOK) {
        QxLFree(attached);
        return status;
    }
    VolumePartition** tail = &device->partitions;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = attached;
    if (partition != nullptr) *partition = attached;
    return kStatusOK;
}

void ReleasePartition(VolumePartition* partition) {
    if (partition == nullptr) return;
    UnmountVolume(partition->volume);
    QxLFree(partition);
}

QxStatus ReadPartitionHeader(VolumePartition* partition, uint64_t offset, void* buffer) {
    if (partition == nullptr || partition->device == nullptr) return kStatusBadParameter;
    uint64_t byteOffset = partition->startOffset + offset;
    // Offsets from a damaged disc may wrap or leave the signed range.
    if (byteOffset < offset || byteOffset > static_cast<uint64_t>(INT64_MAX)) {
        return kStatusOutOfRange;
    }
    return ReadBytes(partition->device, kPartitionHeaderSize,
                     static_cast<int64_t>(byteOffset), buffer);
}
