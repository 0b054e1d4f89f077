// Shared internals of the image writer: the item list behind
// HFSImageVolume, the plan of an image (what goes where), the B-tree packer
// and the volume layout step.
//
// An image is planned before anything is written: every piece is a chunk
// (offset, length, source) where the source is bytes held by the plan, bytes
// held by the image description, generated pattern bytes or a range of a
// host file. The output step sorts the chunks and streams them with zeros in
// between, so large files are never held in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HFSImageWriter.h"

namespace hfsimage {

// ---- Big-endian stores ----
inline void Put8(uint8_t* p, uint32_t v) { p[0] = static_cast<uint8_t>(v); }
inline void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v >> 16);
    Put16(p + 2, v);
}
inline void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v >> 32));
    Put32(p + 4, static_cast<uint32_t>(v));
}
inline uint32_t Get16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t Get32(const uint8_t* p) { return (Get16(p) << 16) | Get16(p + 2); }

inline constexpr uint32_t FourCC(const char (&s)[5]) {
    return (uint32_t{static_cast<uint8_t>(s[0])} << 24) |
           (uint32_t{static_cast<uint8_t>(s[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[2])} << 8) | uint32_t{static_cast<uint8_t>(s[3])};
}

// ---- Items of a volume ----
enum class ItemKind : uint8_t { kFolder, kFile, kLink };
enum class DataSource : uint8_t { kBytes, kPattern, kHost };

struct Item {
    uint32_t cnid = 0;
    uint32_t parent = 0;
    ItemKind kind = ItemKind::kFolder;
    std::vector<uint16_t> name;  // as stored: decomposed UTF-16 units
    std::string utf8Name;  // as given, for Find
    // Files: where the data comes from.
    DataSource source = DataSource::kBytes;
    std::string bytes;
    std::string hostPath;
    uint64_t size = 0;
    uint32_t extentCount = 1;  // pieces the data is split into
    // Hard links: link records name their indirect node file; that file
    // counts its links.
    uint32_t inode = 0;        // links: CNID of the indirect node file
    uint32_t linkCount = 0;    // indirect node files: number of links
};

}  // namespace hfsimage

struct HFSImageVolume::Impl {
    std::vector<hfsimage::Item> items;  // items[i].cnid == kHFSImageFirstItemID + i
    uint32_t privateFolder = 0;         // CNID, 0 until the first hard link

    hfsimage::Item* Get(uint32_t cnid);
    const hfsimage::Item* Get(uint32_t cnid) const;
};

namespace hfsimage {

// ---- The plan of an image ----
struct Chunk {
    uint64_t offset = 0;  // in the image
    uint64_t length = 0;
    DataSource source = DataSource::kBytes;
    const uint8_t* bytes = nullptr;  // kBytes
    uint32_t patternID = 0;          // kPattern: file CNID
    const std::string* hostPath = nullptr;  // kHost
    uint64_t sourceOffset = 0;       // kPattern / kHost: offset in the file
};

struct Plan {
    std::vector<Chunk> chunks;
    // Blocks of metadata made while planning; chunks point into them.
    std::vector<std::unique_ptr<std::vector<uint8_t>>> blobs;
    uint64_t size = 0;

    // Keeps bytes and adds a chunk for them at offset. Returns the kept copy.
    std::vector<uint8_t>& AddBytes(uint64_t offset, std::vector<uint8_t> bytes);
    void Add(const Chunk& chunk) { chunks.push_back(chunk); }
};

// Failure of a planning step: a status and a line for errorText.
struct Failure {
    QxStatus status = kStatusOK;
    std::string text;
};

// ---- B-trees ----
// One record: key bytes (including the key length field and any pad byte)
// followed by data bytes. Records reach the packer in key order.
struct Record {
    std::vector<uint8_t> key;
    std::vector<uint8_t> data;
};

struct BTreeParams {
    uint32_t nodeSize = 4096;
    uint32_t maxRecordsPerNode = 0;  // 0: as many as fit
    uint16_t maxKeyLength = 0;
    uint8_t keyCompareType = 0;
    uint32_t attributes = 0;         // header attributes (big keys, variable index keys)
    bool variableIndexKeys = false;  // index keys as long as the leaf keys (else padded)
    bool classicHFS = false;         // 1-byte key lengths; single-leaf trees only
};

struct BTreeImage {
    std::vector<uint8_t> bytes;  // totalNodes * nodeSize
    uint32_t usedNodes = 0;      // header included
    uint32_t totalNodes = 0;
    uint32_t depth = 0;
    uint32_t root = 0;
    uint32_t firstLeaf = 0;
    uint32_t lastLeaf = 0;
};

// Number of nodes (header included) the records need. False (with *failure)
// when a record does not fit in a node.
bool CountBTreeNodes(const std::vector<Record>& records, const BTreeParams& params,
                     uint32_t* nodes, Failure* failure);

// Packs the records into totalNodes nodes (at least CountBTreeNodes) with the
// header node; clumpSize goes in the header record.
bool BuildBTree(const std::vector<Record>& records, const BTreeParams& params,
                uint32_t totalNodes, uint32_t clumpSize, BTreeImage* tree, Failure* failure);

// ---- Volumes ----
// Result of planning one volume at a partition offset.
struct VolumeResult {
    uint64_t size = 0;  // bytes of the partition
    HFSImageVolumeLayout layout;
};

// Plans one volume as the partition at partitionOffset: adds its chunks to
// *plan and reports its size (a multiple of alignment) and layout. False
// with *failure for bad settings, clashing names or a file that cannot be
// split as asked.
bool PlanVolume(const HFSImageVolume& volume, uint32_t alignment, uint64_t partitionOffset,
                Plan* plan, VolumeResult* result, Failure* failure);

// Name order of a volume kind: -1, 0 or 1.
int CompareNames(HFSImageKind kind, const std::vector<uint16_t>& a,
                 const std::vector<uint16_t>& b);

// UTF-8 name to stored units: decomposed, 1 to 255 units, no "/" or NUL;
// empty when the name is not usable.
std::vector<uint16_t> NameUnits(std::string_view utf8);

}  // namespace hfsimage
