// Read-only HFS+ volume mount and B-tree access.
//
// Mounts the HFS+ file system in a partition ("H+", "HX", or an "H+" volume
// embedded in an HFS wrapper "BD"), opens the extents overflow and catalog
// B-trees, reads the volume name, and searches B-trees for the catalog code in
// HFSCatalog.h. Nothing is ever written: no journal replay, and the allocation,
// attributes and startup files are never opened. Every count, offset and node
// number taken from the disc is checked before use; damage is reported as
// kHFSBadTree (B-trees) or kHFSNotHFSPlus (volume header).
//
// On-disc structures (big-endian):
//
//   Volume header, 512 bytes at byte 1024 of the volume:
//     0  2   signature "H+" or "HX"
//     40 4   blockSize (bytes per allocation block)
//     44 4   totalBlocks (allocation blocks in the volume)
//     192 80 fork data of the extents overflow file
//     272 80 fork data of the catalog file
//
//   HFS wrapper (master directory block), 512 bytes at byte 1024:
//     0  2   signature "BD"
//     20 4   allocation block size of the wrapper
//     28 2   first allocation block, in 512-byte sectors
//     124 2  embedded signature, must be "H+"
//     126 2  first allocation block of the embedded volume
//
//   Fork data, 80 bytes: logicalSize u64 (0), clumpSize u32 (8),
//   totalBlocks u32 (12), 8 x (startBlock u32, blockCount u32) (16..79).
//
//   B-tree node (nodeSize bytes): forward link u32 (0), backward link u32 (4),
//   kind s8 (8: -1 leaf, 0 index, 1 header, 2 map), height u8 (9),
//   numRecords u16 (10), reserved u16 (12). Record i starts at the u16 stored
//   at nodeSize - 2 (i + 1); the one after the last record marks its end.
//   A record is keyLength u16, the key, a pad byte when keyLength is odd, then
//   data (a u32 child node number in index nodes).
//
//   Header record (node 0, from byte 14): treeDepth u16 (14), rootNode u32
//   (16), nodeSize u16 (32), keyCompareType u8 (51; 0xBC = binary names).
#pragma once

#include <cstddef>
#include <cstdint>

#include "HFSStatus.h"
#include "QxLStatus.h"

struct VolumePartition;
struct HFSVolume;
struct HFSFork;

// Four-character tags of the two structures.
inline constexpr uint32_t kHFSVolumeTag = 0x48465356u;  // "HFSV"
inline constexpr uint32_t kHFSForkTag = 0x48465346u;    // "HFSF"

// Catalog node IDs with fixed meaning.
inline constexpr uint32_t kHFSRootParentID = 1;
inline constexpr uint32_t kHFSRootFolderID = 2;
inline constexpr uint32_t kHFSExtentsFileID = 3;
inline constexpr uint32_t kHFSCatalogFileID = 4;

inline constexpr uint8_t kHFSBinaryCompare = 0xBC;
inline constexpr uint32_t kHFSMaxNameUnits = 255;
// Room for any key this reader handles: a catalog key with a 255-unit name
// (keyLength 516) plus its length field.
inline constexpr uint32_t kBTreeMaxKeyBytes = 520;
// BTreePrevious copies at most this much record data (one extent record).
inline constexpr uint32_t kBTreePreviousDataBytes = 64;

// Compares two keys in their on-disc form (big-endian, keyLength first).
// Returns negative, zero or positive. The second key must have been checked
// with BTreeKeyIsValid; the first is a key the caller built.
using BTreeKeyCompare = int (*)(const uint8_t* key1, const uint8_t* key2);

struct BTreeControl {
    uint8_t keyCompareType;
    BTreeKeyCompare compare;
    uint16_t nodeSize;
    uint16_t treeDepth;
    uint32_t rootNode;
    uint32_t nodeCount;  // nodes the fork holds (logicalSize / nodeSize)
};

struct HFSExtent {
    uint32_t startBlock;
    uint32_t blockCount;
};

struct HFSFork {
    HFSFork* next;  // circular list of the volume's forks
    HFSFork* previous;
    uint32_t tag;
    HFSVolume* volume;
    uint32_t cnid;
    uint32_t parentID;
    BTreeControl* btree;  // extents and catalog forks only; owned
    uint64_t logicalSize;
    uint32_t clumpSize;
    uint32_t totalBlocks;
    HFSExtent extents[8];
    bool isFolder;
};

struct HFSSectorCacheEntry {
    uint32_t stamp;  // 0 = empty
    uint64_t sector;
};

// Least-recently-used cache of volume sectors for B-tree nodes and partial
// file blocks. Created on the first cached read; absent (entries null) until
// then or while its allocation fails.
struct HFSSectorCache {
    uint32_t entryCount;
    HFSSectorCacheEntry* entries;
    uint8_t* data;  // entryCount x sectorSize bytes
    uint32_t useCounter;
    // Statistics for tests and tuning.
    uint64_t hits;
    uint64_t deviceReads;  // ReadSectors calls made for this volume
};

inline constexpr uint32_t kHFSSectorCacheBytes = 262144;

struct HFSVolume {
    uint32_t tag;
    VolumePartition* partition;  // not owned
    uint32_t sectorSize;
    uint32_t blockSize;
    uint32_t embeddedOffset;  // 512-byte units; 0 without a wrapper
    uint64_t embeddedSector;  // the same offset in device sectors
    uint32_t totalBlocks;     // allocation blocks in the volume
    uint16_t volumeName[kHFSMaxNameUnits + 1];  // host order, terminated
    uint32_t volumeNameLength;                  // units
    uint8_t header[512];
    HFSFork* forks;  // first fork of the circular list; owned
    HFSSectorCache cache;
};

// A place in a B-tree leaf: node number and record index.
struct BTreePosition {
    uint32_t node;
    uint32_t index;
};

// Mounts the HFS+ volume of `partition` and gives it to the caller through
// `volume` (only on success). Statuses: kHFSNotHFSPlus for a missing
// or unusable volume header, kStatusUnsupported for geometry this reader does
// not handle (block size not a multiple of the device sector size, a wrapper
// not aligned to device sectors), kHFSBadTree / kHFSNoMemory from
// the B-trees, kStatusNoResources / kHFSNoMemory for memory, and device
// read errors.
QxStatus MountVolume(VolumePartition* partition, HFSVolume** volume);

// Releases every fork (open files included), the cache and the volume.
// Null is ignored.
void UnmountVolume(HFSVolume* volume);

// The first fork of the volume with that catalog node ID, or null.
HFSFork* FindFork(HFSVolume* volume, uint32_t cnid);

// Reads node `nodeNumber` of a B-tree fork through the volume's sector cache
// and checks its descriptor and record offsets. When *buffer is null a buffer
// of nodeSize bytes is allocated and handed out (free it with QxLFree);
// otherwise *buffer must hold nodeSize bytes. For every node other than 0,
// numRecords (offset 10) is left in host order in the buffer.
// Statuses: kHFSBadTree (node beyond the file, damaged descriptor or
// offsets), kHFSNoMemory, device read errors.
QxStatus ReadNode(HFSFork* fork, uint32_t nodeNumber, uint8_t** buffer);

// Exact-match search. On a match copies min(maxDataLength, record data
// length) bytes into `data`, zero-fills the rest of maxDataLength, reports the
// data length through `dataLength` (may be null) and the leaf position.
// A missing key fails with kHFSNotFound and still reports the insertion
// position. Damage gives kHFSBadTree.
QxStatus BTreeSearch(HFSFork* fork, const uint8_t* key, uint32_t maxDataLength, void* data,
                     BTreePosition* position, uint32_t* dataLength = nullptr);

// Moves `position` to the record just before it (same leaf, or the last
// record of the leaf named by the backward link) and copies that record's
// whole key (into kBTreeMaxKeyBytes bytes) and at most
// kBTreePreviousDataBytes bytes of its data (zero-filled). kHFSNotFound
// when there is no previous record.
QxStatus BTreePrevious(HFSFork* fork, BTreePosition* position, uint8_t* key, uint8_t* data);

// True when the key at `key`, with `room` bytes available, is well formed for
// the tree: it fits in room, and catalog keys hold their whole name of at
// most 255 units; extent keys are at least 10 bytes.
bool BTreeKeyIsValid(const BTreeControl* btree, const uint8_t* key, size_t room);

// Key comparisons (keys in on-disc form, see BTreeKeyCompare).
int CompareCatalogKeys(const uint8_t* key1, const uint8_t* key2);        // case-insensitive
int CompareCatalogKeysBinary(const uint8_t* key1, const uint8_t* key2);  // 0xBC
int CompareExtentKeys(const uint8_t* key1, const uint8_t* key2);

// Builds a catalog search key (keyLength 516) for (parentID, name), cutting
// the name to 255 units. `key` must hold kBTreeMaxKeyBytes bytes.
void MakeCatalogKey(uint32_t parentID, const uint16_t* name, uint32_t nameLength, uint8_t* key);
// Builds an extent search key for the data fork of `fileID` at `startBlock`.
// `key` must hold 12 bytes.
void MakeExtentKey(uint32_t fileID, uint32_t startBlock, uint8_t* key);
