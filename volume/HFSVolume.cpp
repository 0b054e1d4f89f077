// HFS+ mount, fork list, B-tree open, node reads, search and key order.
//
// Mounting reads the volume header (inside an HFS wrapper if there is one),
// opens the extents and catalog B-trees from the header's fork data and reads
// the volume name from the root's thread. B-tree nodes are checked as they are
// read: descriptor, record count and record offsets must lie inside the node,
// and node numbers inside the B-tree file; every key is checked before it is
// compared. The index descent is bounded by the tree depth, backward walks by
// the node count, so a damaged tree ends with kHFSBadTree.
//
// Not here: writing of any kind, the journal, the allocation, attributes and
// startup files, resource forks. Device sectors go through ReadRuns
// (HFSCatalog.cpp), which owns the sector cache.
#include "HFSVolume.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BlockDevice.h"
#include "HFSCatalog.h"
#include "HFSNames.h"
#include "HFSVolumeInternal.h"
#include "QxLMemory.h"
#include "VolumePartition.h"

namespace {

// Node descriptor fields.
constexpr uint32_t kNodeDescriptorSize = 14;
constexpr int8_t kLeafNode = -1;
constexpr int8_t kIndexNode = 0;
constexpr int8_t kHeaderNode = 1;
constexpr int8_t kMapNode = 2;

constexpr uint32_t kHeaderRecordSize = 106;
constexpr uint32_t kMinNodeSize = 512;
constexpr uint32_t kMaxNodeSize = 32768;
// Larger allocation blocks exist in theory; a block this reader has to buffer
// whole must stay reasonable.
constexpr uint32_t kMaxBlockSize = 1u << 20;

const char* gDamageFile = nullptr;
int gDamageLine = 0;

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Record count of a node as ReadNode leaves it: big-endian in node 0, host
// order in every other node.
uint16_t NodeRecordCount(const uint8_t* node, uint32_t nodeNumber) {
    if (nodeNumber == 0) return hfs::Get16(node + 10);
    uint16_t count;
    memcpy(&count, node + 10, sizeof count);
    return count;
}

uint16_t RecordOffset(const uint8_t* node, uint32_t nodeSize, uint32_t index) {
    return hfs::Get16(node + nodeSize - 2 * (index + 1));
}

// One record of a checked node: its key (on-disc form) and its data.
struct Record {
    const uint8_t* key;
    const uint8_t* data;
    uint32_t dataLength;
};

// Locates record `index` of a node that ReadNode has checked, and checks its
// key against the tree. Index past the end: kHFSNotFound.
QxStatus GetRecord(const BTreeControl* btree, const uint8_t* node, uint32_t nodeNumber,
                   uint32_t index, Record* record) {
    uint32_t count = NodeRecordCount(node, nodeNumber);
    if (index >= count) return kHFSNotFound;
    uint32_t start = RecordOffset(node, btree->nodeSize, index);
    uint32_t end = RecordOffset(node, btree->nodeSize, index + 1);
    const uint8_t* key = node + start;
    size_t room = end - start;
    if (!BTreeKeyIsValid(btree, key, room)) return HFS_BAD_NODE();
    uint32_t keyLength = hfs::Get16(key);
    uint32_t dataStart = 2 + keyLength + (keyLength & 1);
    if (dataStart > room) return HFS_BAD_NODE();
    record->key = key;
    record->data = key + dataStart;
    record->dataLength = static_cast<uint32_t>(room - dataStart);
    return kStatusOK;
}

bool IsExtentTree(const BTreeControl* btree) { return btree->compare == CompareExtentKeys; }

// Copies a catalog key's name into host-order units; the key is valid.
uint32_t KeyName(const uint8_t* key, uint16_t* units) {
    uint32_t length = hfs::Get16(key + 6);
    if (length > kHFSMaxNameUnits) length = kHFSMaxNameUnits;
    for (uint32_t i = 0; i < length; i++) units[i] = hfs::Get16(key + 8 + 2 * i);
    return length;
}

HFSFork* NewFork(HFSVolume* volume, uint32_t cnid, uint32_t parentID) {
    auto* fork = static_cast<HFSFork*>(QxLAllocZeroed(sizeof(HFSFork)));
    if (fork == nullptr) return nullptr;
    fork->tag = kHFSForkTag;
    fork->volume = volume;
    fork->cnid = cnid;
    fork->parentID = parentID;
    return fork;
}

// Reads node 0 of a B-tree fork and fills its control. The header's first
// sector is enough for the header record, so it is read before the node size
// is known.
QxStatus OpenBTree(HFSFork* fork, BTreeKeyCompare compare, bool isCatalog) {
    HFSVolume* volume = fork->volume;
    auto* btree = static_cast<BTreeControl*>(QxLAllocZeroed(sizeof(BTreeControl)));
    if (btree == nullptr) return kHFSNoMemory;
    fork->btree = btree;
    btree->compare = compare;

    // The first sector lies inside the fork's first allocation block even
    // when the tree's few small nodes end before it does.
    uint32_t headerBytes = volume->sectorSize;
    if (fork->logicalSize < kMinNodeSize) return HFS_BAD_NODE();
    auto* header = static_cast<uint8_t*>(QxLAlloc(headerBytes));
    if (header == nullptr) return kHFSNoMemory;
    QxStatus status = hfs::ReadRuns(fork, 0, headerBytes, header, true);
    if (status == kHFSNotFound) status = HFS_BAD_NODE();
    if (status != kStatusOK) {
        QxLFree(header);
        return status;
    }
    int8_t kind = static_cast<int8_t>(header[8]);
    uint32_t treeDepth = hfs::Get16(header + 14);
    uint32_t rootNode = hfs::Get32(header + 16);
    uint32_t nodeSize = hfs::Get16(header + 32);
    uint8_t compareType = header[51];
    QxLFree(header);

    if (kind != kHeaderNode) return HFS_BAD_NODE();
    if (!IsPowerOfTwo(nodeSize) || nodeSize < kMinNodeSize || nodeSize > kMaxNodeSize) {
        return HFS_BAD_NODE();
    }
    uint64_t nodeCount = fork->logicalSize / nodeSize;
    if (nodeCount > UINT32_MAX) nodeCount = UINT32_MAX;
    if (rootNode >= nodeCount) return HFS_BAD_NODE();
    if (rootNode != 0 && treeDepth == 0) return HFS_BAD_NODE();

    btree->nodeSize = static_cast<uint16_t>(nodeSize);
    btree->nodeCount = static_cast<uint32_t>(nodeCount);
    btree->treeDepth = static_cast<uint16_t>(treeDepth);
    btree->rootNode = rootNode;
    btree->keyCompareType = compareType;
    if (isCatalog && compareType == kHFSBinaryCompare) btree->compare = CompareCatalogKeysBinary;

    // The whole header node must be sound too, its first record being the
    // header record just read.
    uint8_t* node = nullptr;
    status = ReadNode(fork, 0, &node);
    if (status != kStatusOK) return status;
    if (hfs::Get16(node + 10) == 0 || RecordOffset(node, nodeSize, 0) != kNodeDescriptorSize ||
        RecordOffset(node, nodeSize, 1) < kNodeDescriptorSize + kHeaderRecordSize) {
        status = HFS_BAD_NODE();
    }
    QxLFree(node);
    return status;
}

// Reads the volume header, following an HFS wrapper to its embedded volume.
QxStatus ReadVolumeHeader(HFSVolume* volume) {
    VolumePartition* partition = volume->partition;
    uint8_t* header = volume->header;
    QxStatus status = ReadPartitionHeader(partition, 1024, header);
    if (status != kStatusOK) return status;
    if (header[0] == 'B' && header[1] == 'D') {
        if (header[124] != 'H' || header[125] != '+') return kHFSNotHFSPlus;
        uint32_t wrapperBlockSize = hfs::Get32(header + 20);
        if (wrapperBlockSize == 0 || wrapperBlockSize % 512 != 0) {
            return HFS_DAMAGED(kHFSNotHFSPlus);
        }
        uint64_t offset = hfs::Get16(header + 28) +
                          static_cast<uint64_t>(wrapperBlockSize / 512) * hfs::Get16(header + 126);
        if (offset > UINT32_MAX - 2) return HFS_DAMAGED(kHFSNotHFSPlus);
        volume->embeddedOffset = static_cast<uint32_t>(offset);
        // Sectors of the embedded volume are read as whole device sectors.
        if (offset * 512 % volume->sectorSize != 0) return kStatusUnsupported;
        status = ReadPartitionHeader(partition, (offset + 2) * 512, header);
        if (status != kStatusOK) return status;
    }
    bool plus = header[0] == 'H' && header[1] == '+';
    bool extended = header[0] == 'H' && header[1] == 'X';
    if (!plus && !extended) return kHFSNotHFSPlus;
    return kStatusOK;
}

// Checks the geometry the reader depends on: node, block and sector sizes
// that are multiples of one another, and a volume that starts on a device
// sector (the wrapper's offset is in 512-byte units).
QxStatus CheckGeometry(HFSVolume* volume) {
    uint32_t sectorSize = volume->sectorSize;
    if (!IsPowerOfTwo(sectorSize) || sectorSize < 512 || sectorSize > kMaxBlockSize) {
        return kStatusUnsupported;
    }
    uint32_t blockSize = hfs::Get32(volume->header + 40);
    if (!IsPowerOfTwo(blockSize) || blockSize < 512) return HFS_DAMAGED(kHFSNotHFSPlus);
    if (blockSize > kMaxBlockSize || blockSize % sectorSize != 0) return kStatusUnsupported;
    volume->blockSize = blockSize;
    volume->totalBlocks = hfs::Get32(volume->header + 44);
    if (volume->totalBlocks == 0) return HFS_DAMAGED(kHFSNotHFSPlus);

    uint64_t embeddedBytes = static_cast<uint64_t>(volume->embeddedOffset) * 512;
    if (embeddedBytes % sectorSize != 0) return kStatusUnsupported;
    volume->embeddedSector = embeddedBytes / sectorSize;
    if (volume->partition->startOffset % sectorSize != 0) return kStatusUnsupported;
    return kStatusOK;
}

QxStatus MountForks(HFSVolume* volume) {
    HFSFork* extents = NewFork(volume, kHFSExtentsFileID, kHFSRootParentID);
    if (extents == nullptr) return kHFSNoMemory;
    hfs::ForkFromData(extents, volume->header + 192);
    hfs::LinkFork(volume, extents);
    QxStatus status = OpenBTree(extents, CompareExtentKeys, false);
    if (status != kStatusOK) return status;

    HFSFork* catalog = NewFork(volume, kHFSCatalogFileID, kHFSRootParentID);
    if (catalog == nullptr) return kHFSNoMemory;
    hfs::ForkFromData(catalog, volume->header + 272);
    hfs::LinkFork(volume, catalog);
    status = OpenBTree(catalog, CompareCatalogKeys, true);
    if (status != kStatusOK) return status;

    uint32_t nameLength = kHFSMaxNameUnits;
    uint32_t parentID = 0;
    status = ReadThread(volume, kHFSRootFolderID, &nameLength, volume->volumeName, &parentID);
    if (status != kStatusOK) return status;
    volume->volumeNameLength = nameLength;

    HFSFork* root = NewFork(volume, kHFSRootFolderID, kHFSRootParentID);
    if (root == nullptr) return kStatusNoResources;
    root->isFolder = true;
    hfs::LinkFork(volume, root);
    return kStatusOK;
}

}  // namespace

namespace hfs {

QxStatus ReportDamage(QxStatus status, const char* file, int line) {
    gDamageFile = file;
    gDamageLine = line;
#ifndef NDEBUG
    if (getenv("TAMSOR_HFS_TRACE") != nullptr) {
        fprintf(stderr, "HFS+ damage detected at %s:%d (status 0x%08X)\n", file, line,
                static_cast<unsigned>(status));
    }
#endif
    return status;
}

void ForkFromData(HFSFork* fork, const uint8_t* data) {
    fork->logicalSize = Get64(data);
    fork->clumpSize = Get32(data + 8);
    fork->totalBlocks = Get32(data + 12);
    for (int i = 0; i < 8; i++) {
        fork->extents[i].startBlock = Get32(data + 16 + 8 * i);
        fork->extents[i].blockCount = Get32(data + 20 + 8 * i);
    }
}

void LinkFork(HFSVolume* volume, HFSFork* fork) {
    fork->volume = volume;
    HFSFork* first = volume->forks;
    if (first == nullptr) {
        fork->next = fork;
        fork->previous = fork;
        volume->forks = fork;
        return;
    }
    HFSFork* last = first->previous;
    last->next = fork;
    fork->previous = last;
    fork->next = first;
    first->previous = fork;
}

void UnlinkFork(HFSFork* fork) {
    HFSVolume* volume = fork->volume;
    if (fork->next == nullptr) return;  // never linked
    if (fork->next == fork) {
        if (volume->forks == fork) volume->forks = nullptr;
    } else {
        fork->previous->next = fork->next;
        fork->next->previous = fork->previous;
        if (volume->forks == fork) volume->forks = fork->next;
    }
    fork->next = nullptr;
    fork->previous = nullptr;
}

}  // namespace hfs

const char* HFSLastDamageSite(int* line) {
    if (line != nullptr) *line = gDamageLine;
    return gDamageFile;
}

QxStatus MountVolume(VolumePartition* partition, HFSVolume** volumeOut) {
    if (partition == nullptr || partition->device == nullptr || volumeOut == nullptr) {
        return kStatusBadParameter;
    }
    auto* volume = static_cast<HFSVolume*>(QxLAllocZeroed(sizeof(HFSVolume)));
    if (volume == nullptr) return kHFSNoMemory;
    volume->tag = kHFSVolumeTag;
    volume->partition = partition;
    volume->sectorSize = partition->device->sectorSize;
    volume->blockSize = volume->sectorSize;

    QxStatus status = ReadVolumeHeader(volume);
    if (status == kStatusOK) status = CheckGeometry(volume);
    if (status == kStatusOK) status = MountForks(volume);
    if (status != kStatusOK) {
        UnmountVolume(volume);
        return status;
    }
    *volumeOut = volume;
    return kStatusOK;
}

void UnmountVolume(HFSVolume* volume) {
    if (volume == nullptr) return;
    while (volume->forks != nullptr) {
        HFSFork* fork = volume->forks;
        hfs::UnlinkFork(fork);
        QxLFree(fork->btree);
        QxLFree(fork);
    }
    hfs::FreeSectorCache(volume);
    QxLFree(volume);
}

HFSFork* FindFork(HFSVolume* volume, uint32_t cnid) {
    if (volume == nullptr || volume->forks == nullptr) return nullptr;
    HFSFork* fork = volume->forks;
    do {
        if (fork->cnid == cnid) return fork;
        fork = fork->next;
    } while (fork != volume->forks);
    return nullptr;
}

namespace {

// The node's bytes: whole sectors straight into the node, or, for a node
// smaller than a sector (512-byte nodes on a 2048-byte-sector disc), the
// one sector that holds it. Both sizes are powers of two, so such a node
// never straddles two sectors.
QxStatus ReadNodeBytes(HFSFork* fork, uint64_t offset, uint32_t nodeSize, uint8_t* node) {
    uint32_t sectorSize = fork->volume->sectorSize;
    if (nodeSize % sectorSize == 0) return hfs::ReadRuns(fork, offset, nodeSize, node, true);
    auto* sector = static_cast<uint8_t*>(QxLAlloc(sectorSize));
    if (sector == nullptr) return kHFSNoMemory;
    uint64_t skew = offset % sectorSize;
    QxStatus status = hfs::ReadRuns(fork, offset - skew, sectorSize, sector, true);
    if (status == kStatusOK) memcpy(node, sector + skew, nodeSize);
    QxLFree(sector);
    return status;
}

}  // namespace

QxStatus ReadNode(HFSFork* fork, uint32_t nodeNumber, uint8_t** buffer) {
    if (fork == nullptr || fork->btree == nullptr || buffer == nullptr) return kStatusBadParameter;
    const BTreeControl* btree = fork->btree;
    uint32_t nodeSize = btree->nodeSize;
    if (nodeNumber >= btree->nodeCount) return HFS_BAD_NODE();

    uint8_t* node = *buffer;
    bool allocated = false;
    if (node == nullptr) {
        node = static_cast<uint8_t*>(QxLAlloc(nodeSize));
        if (node == nullptr) return kHFSNoMemory;
        allocated = true;
    }
    QxStatus status =
        ReadNodeBytes(fork, static_cast<uint64_t>(nodeNumber) * nodeSize, nodeSize, node);
    // The B-tree file's extents do not cover the node: the tree is damaged.
    if (status == kHFSNotFound) status = HFS_BAD_NODE();

    if (status == kStatusOK) {
        int8_t kind = static_cast<int8_t>(node[8]);
        uint32_t count = hfs::Get16(node + 10);
        if (kind < kLeafNode || kind > kMapNode) {
            status = HFS_BAD_NODE();
        } else if (kNodeDescriptorSize + 2 * (count + 1) > nodeSize) {
            status = HFS_BAD_NODE();
        } else {
            // Offsets rise strictly from the descriptor to the free space,
            // which ends where the offset table begins.
            uint32_t previous = RecordOffset(node, nodeSize, 0);
            if (previous < kNodeDescriptorSize) status = HFS_BAD_NODE();
            for (uint32_t i = 1; status == kStatusOK && i <= count; i++) {
                uint32_t offset = RecordOffset(node, nodeSize, i);
                if (offset <= previous) status = HFS_BAD_NODE();
                previous = offset;
            }
            if (status == kStatusOK && previous > nodeSize - 2 * (count + 1)) {
                status = HFS_BAD_NODE();
            }
        }
        if (status == kStatusOK && nodeNumber != 0) {
            uint16_t hostCount = static_cast<uint16_t>(count);
            memcpy(node + 10, &hostCount, sizeof hostCount);
        }
    }
    if (status != kStatusOK) {
        if (allocated) QxLFree(node);
        return status;
    }
    *buffer = node;
    return kStatusOK;
}

bool BTreeKeyIsValid(const BTreeControl* btree, const uint8_t* key, size_t room) {
    if (btree == nullptr || key == nullptr || room < 2) return false;
    uint32_t keyLength = hfs::Get16(key);
    if (keyLength + 2u > room) return false;
    if (IsExtentTree(btree)) return keyLength >= 10;
    if (keyLength < 6) return false;
    uint32_t nameLength = hfs::Get16(key + 6);
    return nameLength <= kHFSMaxNameUnits && 6 + 2 * nameLength <= keyLength;
}

QxStatus BTreeSearch(HFSFork* fork, const uint8_t* key, uint32_t maxDataLength, void* data,
                     BTreePosition* position, uint32_t* dataLength) {
    if (fork == nullptr || fork->btree == nullptr || key == nullptr ||
        (data == nullptr && maxDataLength > 0)) {
        return kStatusBadParameter;
    }
    const BTreeControl* btree = fork->btree;
    if (btree->rootNode == 0) return HFS_BAD_NODE();

    uint8_t* node = static_cast<uint8_t*>(QxLAlloc(btree->nodeSize));
    if (node == nullptr) return kHFSNoMemory;

    uint32_t nodeNumber = btree->rootNode;
    uint32_t height = btree->treeDepth;
    uint32_t visited = 0;
    QxStatus status = kStatusOK;
    for (;;) {
        // Heights fall by one per level, so the descent cannot loop.
        if (height == 0 || ++visited > btree->nodeCount) {
            status = HFS_BAD_NODE();
            break;
        }
        status = ReadNode(fork, nodeNumber, &node);
        if (status != kStatusOK) break;
        bool leaf = height == 1;
        if (node[9] != height || static_cast<int8_t>(node[8]) != (leaf ? kLeafNode : kIndexNode)) {
            status = HFS_BAD_NODE();
            break;
        }
        int32_t count = NodeRecordCount(node, nodeNumber);
        int32_t low = 0;
        int32_t high = count - 1;
        bool found = false;
        Record record{};
        while (low <= high) {
            int32_t middle = (low + high) / 2;
            status = GetRecord(btree, node, nodeNumber, static_cast<uint32_t>(middle), &record);
            if (status != kStatusOK) break;
            int order = btree->compare(key, record.key);
            if (order < 0) {
                high = middle - 1;
            } else if (order > 0) {
                low = middle + 1;
            } else {
                found = true;
                low = middle;
                break;
            }
        }
        if (status != kStatusOK) break;
        uint32_t index = static_cast<uint32_t>(low);
        if (leaf) {
            if (position != nullptr) *position = BTreePosition{nodeNumber, index};
            if (!found) {
                status = kHFSNotFound;
                break;
            }
            uint32_t copy = record.dataLength < maxDataLength ? record.dataLength : maxDataLength;
            if (maxDataLength > 0) {
                memcpy(data, record.data, copy);
                memset(static_cast<uint8_t*>(data) + copy, 0, maxDataLength - copy);
            }
            if (dataLength != nullptr) *dataLength = record.dataLength;
            break;
        }
        // Index node: follow the last key at or below the search key.
        if (!found && index > 0) index--;
        status = GetRecord(btree, node, nodeNumber, index, &record);
        if (status == kHFSNotFound) status = HFS_BAD_NODE();  // empty index node
        if (status != kStatusOK) break;
        if (record.dataLength < 4) {
            status = HFS_BAD_NODE();
            break;
        }
        uint32_t child = hfs::Get32(record.data);
        if (child == 0 || child >= btree->nodeCount) {
            status = HFS_BAD_NODE();
            break;
        }
        nodeNumber = child;
        height--;
    }
    QxLFree(node);
    return status;
}

QxStatus BTreePrevious(HFSFork* fork, BTreePosition* position, uint8_t* key, uint8_t* data) {
    if (fork == nullptr || fork->btree == nullptr || position == nullptr || key == nullptr ||
        data == nullptr) {
        return kStatusBadParameter;
    }
    const BTreeControl* btree = fork->btree;
    uint8_t* node = static_cast<uint8_t*>(QxLAlloc(btree->nodeSize));
    if (node == nullptr) return kHFSNoMemory;

    uint32_t nodeNumber = position->node;
    QxStatus status = ReadNode(fork, nodeNumber, &node);
    if (status == kStatusOK && static_cast<int8_t>(node[8]) != kLeafNode) status = HFS_BAD_NODE();
    uint32_t index = position->index;
    if (status == kStatusOK && index > NodeRecordCount(node, nodeNumber)) {
        status = kHFSNotFound;
    }
    if (status == kStatusOK && index == 0) {
        // Walk back to the nearest leaf with records. Each step must be the
        // true predecessor (its forward link names the node we came from),
        // which rules out cycles; the step count is bounded all the same.
        uint32_t steps = 0;
        for (;;) {
            uint32_t previous = hfs::Get32(node + 4);
            if (previous == 0) {
                status = kHFSNotFound;
                break;
            }
            if (previous >= btree->nodeCount || ++steps > btree->nodeCount) {
                status = HFS_BAD_NODE();
                break;
            }
            status = ReadNode(fork, previous, &node);
            if (status != kStatusOK) break;
            if (static_cast<int8_t>(node[8]) != kLeafNode || hfs::Get32(node) != nodeNumber) {
                status = HFS_BAD_NODE();
                break;
            }
            nodeNumber = previous;
            index = NodeRecordCount(node, nodeNumber);
            if (index > 0) break;
        }
    }
    if (status == kStatusOK) {
        index--;
        Record record{};
        status = GetRecord(btree, node, nodeNumber, index, &record);
        if (status == kStatusOK) {
            uint32_t keyBytes = hfs::Get16(record.key) + 2u;
            if (keyBytes > kBTreeMaxKeyBytes) {
                status = HFS_BAD_NODE();
            } else {
                memcpy(key, record.key, keyBytes);
                uint32_t copy = record.dataLength < kBTreePreviousDataBytes
                                    ? record.dataLength
                                    : kBTreePreviousDataBytes;
                memcpy(data, record.data, copy);
                memset(data + copy, 0, kBTreePreviousDataBytes - copy);
                *position = BTreePosition{nodeNumber, index};
            }
        }
    }
    QxLFree(node);
    return status;
}

namespace {

// Catalog keys: parent first; an empty name (a thread key) sorts by length;
// otherwise the names in the volume's order.
int CompareCatalogKeysWith(const uint8_t* key1, const uint8_t* key2,
                           int (*compareNames)(const uint16_t*, size_t, const uint16_t*, size_t)) {
    uint32_t parent1 = hfs::Get32(key1 + 2);
    uint32_t parent2 = hfs::Get32(key2 + 2);
    if (parent1 != parent2) return parent1 < parent2 ? -1 : 1;
    uint16_t name1[kHFSMaxNameUnits];
    uint16_t name2[kHFSMaxNameUnits];
    uint32_t length1 = KeyName(key1, name1);
    uint32_t length2 = KeyName(key2, name2);
    if (length1 == 0 || length2 == 0) {
        return static_cast<int>(length1) - static_cast<int>(length2);
    }
    return compareNames(name1, length1, name2, length2);
}

}  // namespace

int CompareCatalogKeys(const uint8_t* key1, const uint8_t* key2) {
    return CompareCatalogKeysWith(key1, key2, HfsNameCompare);
}

int CompareCatalogKeysBinary(const uint8_t* key1, const uint8_t* key2) {
    return CompareCatalogKeysWith(key1, key2, HfsNameCompareBinary);
}

int CompareExtentKeys(const uint8_t* key1, const uint8_t* key2) {
    uint32_t file1 = hfs::Get32(key1 + 4);
    uint32_t file2 = hfs::Get32(key2 + 4);
    if (file1 != file2) return file1 < file2 ? -1 : 1;
    if (key1[2] != key2[2]) return key1[2] < key2[2] ? -1 : 1;
    uint32_t start1 = hfs::Get32(key1 + 8);
    uint32_t start2 = hfs::Get32(key2 + 8);
    if (start1 != start2) return start1 < start2 ? -1 : 1;
    return 0;
}

void MakeCatalogKey(uint32_t parentID, const uint16_t* name, uint32_t nameLength, uint8_t* key) {
    if (nameLength > kHFSMaxNameUnits) nameLength = kHFSMaxNameUnits;
    hfs::Put16(key, 516);
    hfs::Put32(key + 2, parentID);
    hfs::Put16(key + 6, static_cast<uint16_t>(nameLength));
    for (uint32_t i = 0; i < nameLength; i++) hfs::Put16(key + 8 + 2 * i, name[i]);
}

void MakeExtentKey(uint32_t fileID, uint32_t startBlock, uint8_t* key) {
    hfs::Put16(key, 10);
    key[2] = 0;  // data fork
    key[3] = 0;
    hfs::Put32(key + 4, fileID);
    hfs::Put32(key + 8, startBlock);
}
