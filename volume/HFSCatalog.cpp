// HFS+ catalog lookup, path resolution, fork reads and the sector cache.
//
// Paths arrive as UTF-8 and are converted to decomposed UTF-16 (HFSNames.h)
// before they meet the catalog. File offsets map through the fork's first
// eight extents and then through extent records of the extents overflow file.
// B-tree nodes and the partial blocks at either end of a file read go through
// a 256 KiB least-recently-used cache of volume sectors; whole blocks of file
// data go straight from the device into the caller's buffer so that a large
// boot file does not evict the catalog.
//
// Extents are checked against the volume's size, runs of zero length end a
// read with kHFSNotFound, and walks over threads and hard links are
// bounded, so damage ends in a status instead of a loop.
//
// Not here: resource forks, extended attributes, symbolic links (opened as the
// small files they are), recomposition of names handed out.
#include "HFSCatalog.h"

#include <cstring>

#include "BlockDevice.h"
#include "HFSNames.h"
#include "HFSVolumeInternal.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxPlatformSocket.h"
#include "VolumePartition.h"

namespace {

// Units a converted UTF-8 path may take.
constexpr uint32_t kPathUnits = 521;
constexpr uint32_t kHardLinkType = 0x686C6E6Bu;     // "hlnk"
constexpr uint32_t kHardLinkCreator = 0x6866732Bu;  // "hfs+"
constexpr uint32_t kFullPathLimit = kHFSFullPathBufferSize - 1;

// Bytes of a record that must be present for the fields this reader uses.
constexpr uint32_t kFolderRecordMinimum = 12;
constexpr uint32_t kFileRecordMinimum = 168;
constexpr uint32_t kThreadRecordMinimum = 10;

// ---- Sector cache -----------------------------------------------------------

bool EnsureCache(HFSVolume* volume) {
    HFSSectorCache* cache = &volume->cache;
    if (cache->entries != nullptr) return true;
    uint32_t count = kHFSSectorCacheBytes / volume->sectorSize;
    if (count == 0) count = 1;
    auto* entries =
        static_cast<HFSSectorCacheEntry*>(QxLAllocZeroed(sizeof(HFSSectorCacheEntry) * count));
    auto* data = static_cast<uint8_t*>(QxLAlloc(static_cast<size_t>(count) * volume->sectorSize));
    if (entries == nullptr || data == nullptr) {
        // Tried again on the next cached read.
        QxLFree(entries);
        QxLFree(data);
        return false;
    }
    cache->entries = entries;
    cache->data = data;
    cache->entryCount = count;
    cache->useCounter = 0;
    return true;
}

// Next stamp. Stamps only grow; when the counter would wrap to 0 (the mark of
// an empty entry) the cache starts over empty.
uint32_t NextStamp(HFSSectorCache* cache) {
    if (cache->useCounter == UINT32_MAX) {
        for (uint32_t i = 0; i < cache->entryCount; i++) cache->entries[i].stamp = 0;
        cache->useCounter = 0;
    }
    return ++cache->useCounter;
}

int32_t CacheFind(const HFSSectorCache* cache, uint64_t sector) {
    for (uint32_t i = 0; i < cache->entryCount; i++) {
        if (cache->entries[i].stamp != 0 && cache->entries[i].sector == sector) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

void CacheStore(HFSVolume* volume, uint64_t sector, const uint8_t* bytes) {
    HFSSectorCache* cache = &volume->cache;
    // A sector already held (read again as part of a longer run) is refreshed
    // in place rather than stored twice.
    int32_t slot = CacheFind(cache, sector);
    if (slot < 0) {
        uint32_t oldest = 0;
        for (uint32_t i = 0; i < cache->entryCount; i++) {
            if (cache->entries[i].stamp == 0) {
                oldest = i;
                break;
            }
            if (cache->entries[i].stamp < cache->entries[oldest].stamp) oldest = i;
        }
        slot = static_cast<int32_t>(oldest);
    }
    HFSSectorCacheEntry* entry = &cache->entries[slot];
    entry->sector = sector;
    entry->stamp = NextStamp(cache);
    memcpy(cache->data + static_cast<size_t>(slot) * volume->sectorSize, bytes,
           volume->sectorSize);
}

// ---- Extent mapping -------------------------------------------------------

struct ExtentHit {
    uint64_t startBlock;  // volume allocation block
    uint64_t blockCount;
    uint64_t endBlock;  // file block just past the extent
};

// Walks eight extents whose first one begins at file block `base`. Stops at
// the first empty extent. Extents outside the volume are damage.
QxStatus WalkExtents(const HFSVolume* volume, const HFSExtent* extents, uint64_t base,
                     uint64_t fileBlock, ExtentHit* hit, bool* allUsed) {
    uint64_t end = base;
    *allUsed = false;
    for (int i = 0; i < 8; i++) {
        uint64_t count = extents[i].blockCount;
        if (count == 0) return kHFSNotFound;
        uint64_t start = extents[i].startBlock;
        if (start + count > volume->totalBlocks) return HFS_BAD_NODE();
        end += count;
        if (fileBlock < end && fileBlock >= end - count) {
            *hit = ExtentHit{start, count, end};
            return kStatusOK;
        }
    }
    *allUsed = true;
    return kHFSNotFound;
}

// Finds the extent holding file block `fileBlock`, in the fork's own extents
// or in the extents overflow file.
QxStatus FindExtent(HFSFork* fork, uint64_t fileBlock, ExtentHit* hit) {
    HFSVolume* volume = fork->volume;
    bool allUsed = false;
    QxStatus status = WalkExtents(volume, fork->extents, 0, fileBlock, hit, &allUsed);
    if (status != kHFSNotFound || !allUsed) return status;
    // The extents file keeps no overflow records for itself; looking there
    // would recurse into this very fork.
    if (fork->cnid == kHFSExtentsFileID) return kHFSNotFound;
    if (fileBlock > UINT32_MAX) return kHFSNotFound;
    HFSFork* overflow = FindFork(volume, kHFSExtentsFileID);
    if (overflow == nullptr || overflow->btree == nullptr) return kHFSNotFound;

    uint8_t key[kBTreeMaxKeyBytes];
    uint8_t data[kBTreePreviousDataBytes];
    MakeExtentKey(fork->cnid, static_cast<uint32_t>(fileBlock), key);
    BTreePosition position{};
    status = BTreeSearch(overflow, key, sizeof data, data, &position);
    if (status == kHFSNotFound) {
        status = BTreePrevious(overflow, &position, key, data);
        if (status != kStatusOK) return status;
        if (key[2] != 0 || hfs::Get32(key + 4) != fork->cnid) return kHFSNotFound;
    }
    if (status != kStatusOK) return status;

    HFSExtent extents[8];
    for (int i = 0; i < 8; i++) {
        extents[i].startBlock = hfs::Get32(data + 8 * i);
        extents[i].blockCount = hfs::Get32(data + 4 + 8 * i);
    }
    return WalkExtents(volume, extents, hfs::Get32(key + 8), fileBlock, hit, &allUsed);
}

// Maps `offset` of the fork to a volume-relative sector and the number of
// bytes (at most `wanted`) that follow it contiguously.
QxStatus MapOffset(HFSFork* fork, uint64_t offset, uint64_t wanted, uint64_t* sector,
                   uint64_t* runLength) {
    HFSVolume* volume = fork->volume;
    uint64_t blockSize = volume->blockSize;
    ExtentHit hit{};
    QxStatus status = FindExtent(fork, offset / blockSize, &hit);
    if (status != kStatusOK) return status;
    uint64_t extentEndByte = hit.endBlock * blockSize;
    uint64_t allocatedEnd = static_cast<uint64_t>(fork->totalBlocks) * blockSize;
    if (extentEndByte > allocatedEnd) extentEndByte = allocatedEnd;
    uint64_t extentStartByte = (hit.endBlock - hit.blockCount) * blockSize;
    // Extents that cover less than the fork claims: stop instead of looping on
    // an empty run.
    if (offset >= extentEndByte) return kHFSNotFound;
    *sector = hit.startBlock * (blockSize / volume->sectorSize) +
              (offset - extentStartByte) / volume->sectorSize;
    uint64_t available = extentEndByte - offset;
    *runLength = wanted < available ? wanted : available;
    return kStatusOK;
}

// ---- Catalog --------------------------------------------------------------

// Checks that a catalog record holds the fields of its type.
QxStatus CheckRecord(const uint8_t* record, uint32_t length) {
    if (length < 2) return HFS_BAD_NODE();
    switch (hfs::Get16(record)) {
        case kHFSFolderRecord:
            return length < kFolderRecordMinimum ? HFS_BAD_NODE() : kStatusOK;
        case kHFSFileRecord:
            return length < kFileRecordMinimum ? HFS_BAD_NODE() : kStatusOK;
        default:
            return kStatusOK;
    }
}

bool IsComponent(const uint16_t* units, uint32_t length, const char* text) {
    uint32_t i = 0;
    for (; text[i] != 0; i++) {
        if (i >= length || units[i] != static_cast<uint8_t>(text[i])) return false;
    }
    return i == length;
}

// Looks up `folderID` itself through its thread: (parent, name) of the thread.
QxStatus LookupSelf(HFSVolume* volume, uint32_t folderID, uint8_t* record) {
    uint16_t name[kHFSMaxNameUnits + 1];
    uint32_t length = kHFSMaxNameUnits;
    uint32_t parent = 0;
    QxStatus status = ReadThread(volume, folderID, &length, name, &parent);
    if (status != kStatusOK) return status;
    return LookupName(volume, parent, name, length, record);
}

QxStatus Resolve(HFSVolume* volume, uint32_t startFolder, const uint16_t* path, uint32_t length,
                 bool followLinks, uint32_t* parentFolder, uint8_t* recordOut) {
    uint8_t record[kHFSRecordBufferSize];
    uint32_t current = startFolder;
    uint32_t position = 0;
    // Paths are relative; a leading "/" would otherwise look up an empty name
    // and come back with a thread record.
    while (position < length && path[position] == '/') position++;
    if (position >= length) return kHFSNotFound;

    QxStatus status = kStatusOK;
    while (position < length) {
        uint32_t start = position;
        while (position < length && path[position] != '/') position++;
        uint32_t componentLength = position - start;
        if (componentLength > kHFSMaxNameUnits) componentLength = kHFSMaxNameUnits;
        while (position < length && path[position] == '/') position++;
        const uint16_t* component = path + start;

        if (IsComponent(component, componentLength, ".")) {
            status = LookupSelf(volume, current, record);
        } else if (IsComponent(component, componentLength, "..")) {
            if (current == kHFSRootParentID) return kHFSNotFound;
            uint16_t name[kHFSMaxNameUnits + 1];
            uint32_t nameLength = kHFSMaxNameUnits;
            uint32_t parent = 0;
            status = ReadThread(volume, current, &nameLength, name, &parent);
            if (status != kStatusOK) return status;
            current = parent;
            status = LookupSelf(volume, current, record);
        } else {
            status = LookupName(volume, current, component, componentLength, record);
        }
        if (status != kStatusOK) return status;

        uint16_t type = hfs::Get16(record);
        if (followLinks && type == kHFSFileRecord && hfs::Get32(record + 48) == kHardLinkType &&
            hfs::Get32(record + 52) == kHardLinkCreator) {
            // The link's file lives in the private folder as iNode<n>; the
            // rest of the path, if any, is not looked at.
            static const char kPrivateFolder[] = "HFS+ Private Data";
            uint16_t target[64];
            uint32_t targetLength = 0;
            for (int i = 0; i < 4; i++) target[targetLength++] = 0;
            for (const char* p = kPrivateFolder; *p != 0; p++) target[targetLength++] = *p;
            target[targetLength++] = '/';
            char inode[24];
            QxLFormatToBuffer(inode, sizeof inode, "iNode%u", hfs::Get32(record + 44));
            for (const char* p = inode; *p != 0; p++) target[targetLength++] = *p;
            uint32_t ignored = 0;
            // A link to a link is not followed again: no chains, no cycles.
            status = Resolve(volume, kHFSRootFolderID, target, targetLength, false, &ignored,
                             record);
            if (status != kStatusOK) return status;
            break;
        }
        if (position >= length) break;
        if (type != kHFSFolderRecord) return kHFSNotFound;
        current = hfs::Get32(record + 8);
    }
    *parentFolder = current;
    memcpy(recordOut, record, kHFSRecordBufferSize);
    return kStatusOK;
}

// Converts a UTF-8 path for the catalog, dropping leading slashes.
QxStatus ConvertPath(const char* utf8Path, uint16_t* units, uint32_t* length) {
    size_t bytes = 0;
    QxStatus status = Utf8ToHfsName(kHfsNameDecompose, utf8Path, strlen(utf8Path), units,
                                    kPathUnits * sizeof(uint16_t), &bytes);
    if (status != kStatusOK) return status;
    uint32_t count = static_cast<uint32_t>(bytes / sizeof(uint16_t));
    uint32_t skip = 0;
    while (skip < count && units[skip] == '/') skip++;
    memmove(units, units + skip, (count - skip) * sizeof(uint16_t));
    *length = count - skip;
    return kStatusOK;
}

HFSFork* NewFileFork(HFSVolume* volume, uint32_t cnid, uint32_t parentID) {
    auto* fork = static_cast<HFSFork*>(QxLAllocZeroed(sizeof(HFSFork)));
    if (fork == nullptr) return nullptr;
    fork->tag = kHFSForkTag;
    fork->volume = volume;
    fork->cnid = cnid;
    fork->parentID = parentID;
    return fork;
}

}  // namespace

namespace hfs {

QxStatus ReadRuns(HFSFork* fork, uint64_t offset, uint64_t count, uint8_t* buffer,
                  bool useCache) {
    HFSVolume* volume = fork->volume;
    VolumePartition* partition = volume->partition;
    uint32_t sectorSize = volume->sectorSize;
    if (offset % sectorSize != 0 || count % sectorSize != 0) return kStatusBadParameter;
    uint64_t base = partition->startSector + volume->embeddedSector;
    bool cached = useCache && EnsureCache(volume);
    HFSSectorCache* cache = &volume->cache;

    while (count > 0) {
        uint64_t sector = 0;
        uint64_t run = 0;
        QxStatus status = MapOffset(fork, offset, count, &sector, &run);
        if (status != kStatusOK) return status;
        uint8_t* out = buffer;
        uint64_t left = run;
        if (cached) {
            int32_t slot;
            while (left > 0 && (slot = CacheFind(cache, sector)) >= 0) {
                cache->entries[slot].stamp = NextStamp(cache);
                cache->hits++;
                memcpy(out, cache->data + static_cast<size_t>(slot) * sectorSize, sectorSize);
                out += sectorSize;
                left -= sectorSize;
                sector++;
            }
        }
        if (left > 0) {
            uint64_t sectors = left / sectorSize;
            status = ReadSectors(partition->device, base + sector, sectors, out);
            cache->deviceReads++;
            if (status != kStatusOK) return status;
            if (cached) {
                for (uint64_t i = 0; i < sectors; i++) {
                    CacheStore(volume, sector + i, out + i * sectorSize);
                }
            }
        }
        offset += run;
        buffer += run;
        count -= run;
    }
    return kStatusOK;
}

void FreeSectorCache(HFSVolume* volume) {
    QxLFree(volume->cache.entries);
    QxLFree(volume->cache.data);
    volume->cache.entries = nullptr;
    volume->cache.data = nullptr;
    volume->cache.entryCount = 0;
}

}  // namespace hfs

QxStatus LookupName(HFSVolume* volume, uint32_t parentID, const uint16_t* name,
                    uint32_t nameLength, uint8_t* record) {
    if (volume == nullptr || record == nullptr || (name == nullptr && nameLength > 0)) {
        return kStatusBadParameter;
    }
    HFSFork* catalog = FindFork(volume, kHFSCatalogFileID);
    if (catalog == nullptr || catalog->btree == nullptr) return kHFSNotFound;
    uint8_t key[kBTreeMaxKeyBytes];
    MakeCatalogKey(parentID, name, nameLength, key);
    uint32_t length = 0;
    BTreePosition position{};
    QxStatus status =
        BTreeSearch(catalog, key, kHFSRecordBufferSize, record, &position, &length);
    if (status != kStatusOK) return status;
    return CheckRecord(record, length);
}

QxStatus ReadThread(HFSVolume* volume, uint32_t cnid, uint32_t* maxUnits, uint16_t* name,
                    uint32_t* parentID) {
    if (volume == nullptr || maxUnits == nullptr || name == nullptr || parentID == nullptr) {
        return kStatusBadParameter;
    }
    HFSFork* catalog = FindFork(volume, kHFSCatalogFileID);
    if (catalog == nullptr || catalog->btree == nullptr) return kHFSNotFound;
    uint8_t key[kBTreeMaxKeyBytes];
    MakeCatalogKey(cnid, nullptr, 0, key);
    uint8_t record[kHFSRecordBufferSize];
    uint32_t length = 0;
    BTreePosition position{};
    QxStatus status =
        BTreeSearch(catalog, key, sizeof record, record, &position, &length);
    if (status != kStatusOK) return status;
    if (length < kThreadRecordMinimum) return HFS_BAD_NODE();
    uint32_t nameLength = hfs::Get16(record + 8);
    if (nameLength > kHFSMaxNameUnits || kThreadRecordMinimum + 2 * nameLength > length) {
        return HFS_BAD_NODE();
    }
    uint32_t copy = nameLength < *maxUnits ? nameLength : *maxUnits;
    for (uint32_t i = 0; i < copy; i++) name[i] = hfs::Get16(record + 10 + 2 * i);
    name[copy] = 0;
    *maxUnits = copy;
    *parentID = hfs::Get32(record + 4);
    return kStatusOK;
}

QxStatus ResolvePath(HFSVolume* volume, uint32_t startFolder, const uint16_t* path,
                     uint32_t length, uint32_t* parentFolder, uint8_t* record) {
    if (volume == nullptr || parentFolder == nullptr || record == nullptr ||
        (path == nullptr && length > 0)) {
        return kStatusBadParameter;
    }
    return Resolve(volume, startFolder, path, length, true, parentFolder, record);
}

bool ItemExistsAs(HFSVolume* volume, const char* utf8Path, bool wantFolder) {
    if (volume == nullptr || utf8Path == nullptr) return false;
    uint16_t units[kPathUnits];
    uint32_t length = 0;
    if (ConvertPath(utf8Path, units, &length) != kStatusOK) return false;
    if (length == 0) return wantFolder;
    uint8_t record[kHFSRecordBufferSize];
    uint32_t parent = 0;
    if (ResolvePath(volume, kHFSRootFolderID, units, length, &parent, record) != kStatusOK) {
        return false;
    }
    uint16_t type = hfs::Get16(record);
    return wantFolder ? type == kHFSFolderRecord : type == kHFSFileRecord;
}

QxStatus FullPath(HFSVolume* volume, const char* utf8Path, char* output) {
    if (volume == nullptr || utf8Path == nullptr || output == nullptr) return kStatusBadParameter;
    uint16_t units[kPathUnits];
    uint32_t length = 0;
    QxStatus status = ConvertPath(utf8Path, units, &length);
    if (status != kStatusOK) return status;
    if (length == 0) {
        output[0] = 0;
        return kStatusOK;
    }
    uint8_t record[kHFSRecordBufferSize];
    uint32_t parent = 0;
    status = ResolvePath(volume, kHFSRootFolderID, units, length, &parent, record);
    if (status != kStatusOK) return status;

    // Built from the end backwards: text occupies path[start..limit).
    char path[kHFSFullPathBufferSize];
    uint32_t start = kFullPathLimit;
    path[kFullPathLimit] = 0;
    uint32_t id = hfs::Get32(record + 8);
    uint32_t steps = 0;
    while (id != kHFSRootFolderID) {
        // Every step but the first adds at least the "/", so a longer walk
        // has looped through damaged threads.
        if (++steps > kFullPathLimit + 1) return HFS_BAD_NODE();
        uint16_t name[kHFSMaxNameUnits + 1];
        uint32_t nameLength = kHFSMaxNameUnits;
        uint32_t parentID = 0;
        status = ReadThread(volume, id, &nameLength, name, &parentID);
        if (status != kStatusOK) return status;
        if (parentID == id) return HFS_BAD_NODE();
        char text[kHFSMaxNameUnits * 3 + 1];
        size_t textLength = 0;
        status = HfsNameToUtf8(name, nameLength, text, sizeof text, &textLength);
        if (status != kStatusOK) return status;
        size_t needed = textLength + (start == kFullPathLimit ? 0 : 1);
        if (needed > start) return kStatusBadSize;
        if (start != kFullPathLimit) path[--start] = '/';
        start -= static_cast<uint32_t>(textLength);
        memcpy(path + start, text, textLength);
        id = parentID;
    }
    memcpy(output, path + start, kFullPathLimit - start + 1);
    return kStatusOK;
}

QxStatus OpenFork(HFSVolume* volume, const char* utf8Path, HFSFork** forkOut) {
    if (volume == nullptr || utf8Path == nullptr || forkOut == nullptr) return kStatusBadParameter;
    uint16_t units[kPathUnits];
    uint32_t length = 0;
    QxStatus status = ConvertPath(utf8Path, units, &length);
    if (status != kStatusOK) return status;
    if (length == 0) {
        HFSFork* root = NewFileFork(volume, kHFSRootFolderID, kHFSRootParentID);
        if (root == nullptr) return kStatusNoResources;
        root->isFolder = true;
        hfs::LinkFork(volume, root);
        *forkOut = root;
        return kStatusOK;
    }
    uint8_t record[kHFSRecordBufferSize];
    uint32_t parent = 0;
    status = ResolvePath(volume, kHFSRootFolderID, units, length, &parent, record);
    if (status != kStatusOK) return status;
    if (hfs::Get16(record) != kHFSFileRecord) return kStatusUnexpectedType;
    HFSFork* fork = NewFileFork(volume, hfs::Get32(record + 8), parent);
    if (fork == nullptr) return kStatusNoResources;
    hfs::ForkFromData(fork, record + 88);
    hfs::LinkFork(volume, fork);
    *forkOut = fork;
    return kStatusOK;
}

void CloseFork(HFSFork* fork) {
    if (fork == nullptr) return;
    hfs::UnlinkFork(fork);
    QxLFree(fork->btree);
    QxLFree(fork);
}

QxStatus ReadFork(HFSFork* fork, uint64_t offset, uint32_t count, void* buffer) {
    if (fork == nullptr || (buffer == nullptr && count > 0)) return kStatusBadParameter;
    HFSVolume* volume = fork->volume;
    uint32_t blockSize = volume->blockSize;
    uint64_t available = offset < fork->logicalSize ? fork->logicalSize - offset : 0;
    uint64_t wanted = count < available ? count : available;
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    uint8_t* block = nullptr;
    QxStatus status = kStatusOK;

    uint32_t skew = static_cast<uint32_t>(offset % blockSize);
    if (wanted > 0 && skew != 0) {
        block = static_cast<uint8_t*>(QxLAlloc(blockSize));
        if (block == nullptr) return kHFSNoMemory;
        status = hfs::ReadRuns(fork, offset - skew, blockSize, block, true);
        if (status == kStatusOK) {
            uint64_t piece = blockSize - skew < wanted ? blockSize - skew : wanted;
            memcpy(out, block + skew, piece);
            done = piece;
        }
    }
    uint64_t whole = (wanted - done) / blockSize * blockSize;
    if (status == kStatusOK && whole > 0) {
        status = hfs::ReadRuns(fork, offset + done, whole, out + done, false);
        if (status == kStatusOK) done += whole;
    }
    if (status == kStatusOK && done < wanted) {
        if (block == nullptr) block = static_cast<uint8_t*>(QxLAlloc(blockSize));
        if (block == nullptr) return kHFSNoMemory;
        status = hfs::ReadRuns(fork, offset + done, blockSize, block, true);
        if (status == kStatusOK) {
            memcpy(out + done, block, wanted - done);
            done = wanted;
        }
    }
    QxLFree(block);
    if (status != kStatusOK) return status;
    return done == count ? kStatusOK : kStatusUnderrun;
}

QxStatus MapForkBytes(HFSFork* fork, uint64_t offset, uint64_t count, uint64_t* deviceByte,
                      uint64_t* run) {
    if (fork == nullptr || deviceByte == nullptr || run == nullptr) return kStatusBadParameter;
    if (count == 0 || offset >= fork->logicalSize) return kStatusUnderrun;
    uint64_t left = fork->logicalSize - offset;
    if (count > left) count = left;
    HFSVolume* volume = fork->volume;
    uint64_t sectorSize = volume->sectorSize;
    // Mapped from the sector the offset falls in.
    uint64_t skew = offset % sectorSize;
    uint64_t sector = 0;
    uint64_t mapped = 0;
    QxStatus status = MapOffset(fork, offset - skew, count + skew, &sector, &mapped);
    if (status != kStatusOK) return status;
    if (mapped <= skew) return kHFSNotFound;
    uint64_t base = volume->partition->startSector + volume->embeddedSector;
    *deviceByte = (base + sector) * sectorSize + skew;
    *run = mapped - skew;
    return kStatusOK;
}

QxStatus PrepareFork(HFSFork* fork, uint64_t offset, uint32_t count, ImageFile* image,
                     ImageReadyCallback callback, void* context, ImageWait** wait) {
    *wait = nullptr;
    if (fork == nullptr || image == nullptr) return kStatusOK;
    HFSVolume* volume = fork->volume;
    uint64_t sectorSize = volume->sectorSize;
    uint64_t base = volume->partition->startSector + volume->embeddedSector;
    uint64_t end = offset + count < fork->logicalSize ? offset + count : fork->logicalSize;
    uint64_t at = offset - offset % sectorSize;
    while (at < end) {
        uint64_t sector = 0;
        uint64_t run = 0;
        if (MapOffset(fork, at, end - at, &sector, &run) != kStatusOK) return kStatusOK;
        uint64_t bytes = (run + sectorSize - 1) / sectorSize * sectorSize;
        QxStatus status = ImageFilePrepare(image, (base + sector) * sectorSize, bytes, callback,
                                           context, wait);
        if (status == kQxErrorWouldBlock) return status;
        if (status != kStatusOK) return kStatusOK;
        at += run;
    }
    return kStatusOK;
}
