// Lays out one HFS+ volume: catalog and extents overflow records, block
// allocation, the volume headers and (optionally) the HFS wrapper around it.
//
// Block order inside the volume:
//
//   boot blocks + volume header (bytes 0..1535)
//   allocation file (one bit per block, most significant bit first)
//   extents overflow B-tree, catalog B-tree (contiguous)
//   file data, in CNID order; a fragmented file's pieces are separated by
//   one free block each
//   spare free blocks
//   the block(s) holding the alternate volume header (volume end - 1024)
//   and the last 512 reserved bytes
//
// Volume header (512 bytes at 1024, copy at volume end - 1024):
//   0 sig "H+"/"HX"  2 version 4/5  4 attributes  8 lastMountedVersion
//   12 journalInfoBlock  16 createDate  20 modifyDate  24 backupDate
//   28 checkedDate  32 fileCount  36 folderCount  40 blockSize  44 totalBlocks
//   48 freeBlocks  52 nextAllocation  56 rsrcClumpSize  60 dataClumpSize
//   64 nextCatalogID  68 writeCount  72 encodingsBitmap (u64)  80 display info (32 bytes)
//   112 allocation file fork  192 extents file fork  272 catalog file fork
//   352 attributes file fork  432 startup file fork
//
// Catalog records (keys: keyLength u16, parentID u32, name length u16,
// name units; records sorted by parentID, then name in the volume's order):
//   folder (88 bytes): type 1, valence at 4, folderID at 8
//   file (248 bytes): type 2, flags 0x0002, fileID 8, BSD info 32 (mode 42,
//     special 44), type 48, creator 52, display flags 56, data fork 88,
//     resource fork 168
//   thread (10 + 2n): type 3 (folder) or 4 (file), parentID 4, name 8
//   keyed (CNID, empty name)
//
// Extents overflow records: key (keyLength 10, forkType 0, pad, fileID,
// startBlock in file blocks), data 8 x (startBlock, blockCount).
//
// HFS wrapper: the partition starts with an HFS volume ("BD") whose bad
// block file claims the embedded volume. Master directory block (512 bytes
// at 1024, copy at partition end - 1024):
//   0 "BD"  2 drCrDate  6 drLsMod  10 drAtrb  12 drNmFls  14 drVBMSt
//   16 drAllocPtr  18 drNmAlBlks  20 drAlBlkSiz  24 drClpSiz  28 drAlBlSt
//   30 drNxtCNID  34 drFreeBks  36 drVN (Str27)  64 drVolBkUp  68 drVSeqNum
//   70 drWrCnt  74 drXTClpSiz  78 drCTClpSiz  82 drNmRtDirs  84 drFilCnt
//   88 drDirCnt  92 drFndrInfo  124 drEmbedSigWord "H+"
//   126 drEmbedExtent (start u16, count u16)  130 drXTFlSize  134 drXTExtRec
//   146 drCTFlSize  150 drCTExtRec
// Wrapper allocation blocks: 0 extents B-tree, 1 catalog B-tree (root folder
// and its thread), then the embedded volume, aligned to 4096 bytes.
#include <algorithm>
#include <cstring>
#include <string>

#include "HFSImageWriterInternal.h"
#include "HFSNames.h"

namespace hfsimage {
namespace {

constexpr uint16_t kSignaturePlus = 0x482B;   // "H+"
constexpr uint16_t kSignatureX = 0x4858;      // "HX"
constexpr uint16_t kSignatureHFS = 0x4244;    // "BD"
constexpr uint32_t kVolumeUnmounted = 0x0100;
constexpr uint32_t kSparedBlocks = 0x0200;    // wrapper: the bad block file is in use
constexpr uint32_t kLastMountedBy = FourCC("TMSR");

constexpr uint8_t kCaseFoldingCompare = 0xCF;
constexpr uint8_t kBinaryCompare = 0xBC;
constexpr uint32_t kBigKeys = 0x2;
constexpr uint32_t kVariableIndexKeys = 0x4;

constexpr uint16_t kFolderRecord = 1;
constexpr uint16_t kFileRecord = 2;
constexpr uint16_t kFolderThread = 3;
constexpr uint16_t kFileThread = 4;
constexpr uint16_t kThreadExists = 0x0002;
constexpr uint16_t kFolderMode = 0040755;
constexpr uint16_t kFileMode = 0100644;
constexpr uint16_t kInvisible = 0x4000;
constexpr uint32_t kLinkType = FourCC("hlnk");
constexpr uint32_t kLinkCreator = FourCC("hfs+");

constexpr uint32_t kRootParentID = 1;
constexpr uint32_t kBadBlocksFileID = 5;
constexpr uint32_t kFolderRecordSize = 88;
constexpr uint32_t kFileRecordSize = 248;
constexpr uint32_t kExtentsPerRecord = 8;

struct Extent {
    uint32_t start = 0;
    uint32_t count = 0;
};

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

bool Fail(Failure* failure, QxStatus status, std::string text) {
    failure->status = status;
    failure->text = std::move(text);
    return false;
}

std::vector<uint8_t> CatalogKey(uint32_t parent, const std::vector<uint16_t>& name) {
    std::vector<uint8_t> key(8 + 2 * name.size());
    Put16(&key[0], static_cast<uint32_t>(6 + 2 * name.size()));
    Put32(&key[2], parent);
    Put16(&key[6], static_cast<uint32_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) Put16(&key[8 + 2 * i], name[i]);
    return key;
}

std::vector<uint8_t> ThreadData(uint16_t type, uint32_t parent, const std::vector<uint16_t>& name) {
    std::vector<uint8_t> data(10 + 2 * name.size());
    Put16(&data[0], type);
    Put32(&data[4], parent);
    Put16(&data[8], static_cast<uint32_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) Put16(&data[10 + 2 * i], name[i]);
    return data;
}

void PutDates(uint8_t* record, uint32_t date) {
    for (int i = 0; i < 4; ++i) Put32(record + 12 + 4 * i, date);  // create .. access
}

void PutFork(uint8_t* fork, uint64_t logicalSize, uint32_t clumpSize,
             const std::vector<Extent>& extents) {
    uint32_t blocks = 0;
    for (const Extent& extent : extents) blocks += extent.count;
    Put64(fork, logicalSize);
    Put32(fork + 8, clumpSize);
    Put32(fork + 12, blocks);
    for (size_t i = 0; i < extents.size() && i < kExtentsPerRecord; ++i) {
        Put32(fork + 16 + 8 * i, extents[i].start);
        Put32(fork + 20 + 8 * i, extents[i].count);
    }
}

// Everything the records of one volume are made of.
struct VolumeModel {
    const HFSImageVolume* volume = nullptr;
    const HFSImageVolume::Impl* impl = nullptr;
    std::vector<uint16_t> rootName;
    std::vector<std::vector<Extent>> extents;  // per item, files only
    uint32_t fileCount = 0;
    uint32_t folderCount = 0;
};

std::vector<uint8_t> FolderData(uint32_t cnid, uint32_t valence, uint32_t date, bool invisible) {
    std::vector<uint8_t> data(kFolderRecordSize, 0);
    Put16(&data[0], kFolderRecord);
    Put32(&data[4], valence);
    Put32(&data[8], cnid);
    PutDates(data.data(), date);
    Put16(&data[42], kFolderMode);
    if (invisible) Put16(&data[56], kInvisible);
    return data;
}

std::vector<uint8_t> FileData(const VolumeModel& model, const Item& item, uint32_t date,
                              uint32_t blockSize) {
    std::vector<uint8_t> data(kFileRecordSize, 0);
    Put16(&data[0], kFileRecord);
    Put16(&data[2], kThreadExists);
    Put32(&data[8], item.cnid);
    PutDates(data.data(), date);
    Put16(&data[42], kFileMode);
    if (item.kind == ItemKind::kLink) {
        // The link's creation date equals the private folder's (all dates
        // on these volumes are the same); readers check that.
        Put32(&data[44], item.inode);
        Put32(&data[48], kLinkType);
        Put32(&data[52], kLinkCreator);
        return data;
    }
    if (item.linkCount != 0) Put32(&data[44], item.linkCount);
    const std::vector<Extent>& extents =
        model.extents[item.cnid - kHFSImageFirstItemID];
    PutFork(&data[88], item.size, blockSize, extents);
    return data;
}

// Catalog records in key order, or a failure for names equal in that order.
bool CatalogRecords(const VolumeModel& model, std::vector<Record>* records, Failure* failure) {
    const HFSImageVolume& volume = *model.volume;
    const std::vector<Item>& items = model.impl->items;
    std::vector<uint32_t> valence(items.size() + kHFSImageFirstItemID, 0);
    for (const Item& item : items) valence[item.parent]++;

    records->clear();
    records->push_back({CatalogKey(kRootParentID, model.rootName),
                        FolderData(kHFSImageRootID, valence[kHFSImageRootID], volume.date, false)});
    records->push_back({CatalogKey(kHFSImageRootID, {}),
                        ThreadData(kFolderThread, kRootParentID, model.rootName)});
    for (const Item& item : items) {
        bool folder = item.kind == ItemKind::kFolder;
        std::vector<uint8_t> data =
            folder ? FolderData(item.cnid, valence[item.cnid], volume.date,
                                item.cnid == model.impl->privateFolder)
                   : FileData(model, item, volume.date, volume.blockSize);
        records->push_back({CatalogKey(item.parent, item.name), std::move(data)});
        records->push_back({CatalogKey(item.cnid, {}),
                            ThreadData(folder ? kFolderThread : kFileThread, item.parent,
                                       item.name)});
    }

    // Sort by parent, then name; keys are compared in their decoded form.
    struct Decoded {
        uint32_t parent;
        std::vector<uint16_t> name;
        size_t index;
    };
    std::vector<Decoded> order;
    order.reserve(records->size());
    for (size_t i = 0; i < records->size(); ++i) {
        const std::vector<uint8_t>& key = (*records)[i].key;
        Decoded d{Get32(&key[2]), {}, i};
        uint32_t length = Get16(&key[6]);
        for (uint32_t u = 0; u < length; ++u) d.name.push_back(static_cast<uint16_t>(Get16(&key[8 + 2 * u])));
        order.push_back(std::move(d));
    }
    HFSImageKind kind = volume.kind;
    auto less = [kind](const Decoded& a, const Decoded& b) {
        if (a.parent != b.parent) return a.parent < b.parent;
        return CompareNames(kind, a.name, b.name) < 0;
    };
    std::stable_sort(order.begin(), order.end(), less);
    for (size_t i = 1; i < order.size(); ++i) {
        if (!less(order[i - 1], order[i])) {
            char text[256 * 3 + 1];
            size_t length = 0;
            HfsNameToUtf8(order[i].name.data(), order[i].name.size(), text, sizeof text, &length);
            return Fail(failure, kStatusBadName,
                        "two items in folder " + std::to_string(order[i].parent) +
                            " are both named \"" + std::string(text, length) +
                            "\" in this volume's name order");
        }
    }
    std::vector<Record> sorted;
    sorted.reserve(records->size());
    for (const Decoded& d : order) sorted.push_back(std::move((*records)[d.index]));
    *records = std::move(sorted);
    return true;
}

// Extents overflow records: a file's extents past the eighth, eight a record.
std::vector<Record> ExtentRecords(const VolumeModel& model) {
    std::vector<Record> records;
    for (const Item& item : model.impl->items) {
        if (item.kind != ItemKind::kFile) continue;
        const std::vector<Extent>& extents = model.extents[item.cnid - kHFSImageFirstItemID];
        uint32_t fileBlock = 0;
        for (size_t i = 0; i < extents.size(); ++i) {
            if (i >= kExtentsPerRecord && i % kExtentsPerRecord == 0) {
                Record record;
                record.key.assign(12, 0);
                Put16(&record.key[0], 10);
                record.key[2] = 0;  // data fork
                Put32(&record.key[4], item.cnid);
                Put32(&record.key[8], fileBlock);
                record.data.assign(8 * kExtentsPerRecord, 0);
                for (size_t j = i; j < extents.size() && j < i + kExtentsPerRecord; ++j) {
                    Put32(&record.data[8 * (j - i)], extents[j].start);
                    Put32(&record.data[8 * (j - i) + 4], extents[j].count);
                }
                records.push_back(std::move(record));
            }
            fileBlock += extents[i].count;
        }
    }
    return records;  // already in (fileID, forkType, startBlock) order
}

BTreeParams CatalogParams(const HFSImageVolume& volume) {
    BTreeParams params;
    params.nodeSize = volume.catalogNodeSize;
    params.maxRecordsPerNode = volume.maxRecordsPerNode;
    params.maxKeyLength = 516;
    params.keyCompareType =
        volume.kind == HFSImageKind::kCaseSensitive ? kBinaryCompare : kCaseFoldingCompare;
    params.attributes = kBigKeys | kVariableIndexKeys;
    params.variableIndexKeys = true;
    return params;
}

BTreeParams ExtentsParams(const HFSImageVolume& volume) {
    BTreeParams params;
    params.nodeSize = volume.extentsNodeSize;
    params.maxRecordsPerNode = volume.maxRecordsPerNode;
    params.maxKeyLength = 10;
    params.attributes = kBigKeys;
    return params;
}

bool CheckSettings(const HFSImageVolume& volume, Failure* failure) {
    if (!PowerOfTwo(volume.blockSize) || volume.blockSize < 512 || volume.blockSize > 65536) {
        return Fail(failure, kStatusBadParameter,
                    "block size must be a power of two from 512 to 65536");
    }
    if (!PowerOfTwo(volume.catalogNodeSize) || volume.catalogNodeSize < 4096 ||
        volume.catalogNodeSize > 32768) {
        return Fail(failure, kStatusBadParameter,
                    "catalog node size must be a power of two from 4096 to 32768");
    }
    if (!PowerOfTwo(volume.extentsNodeSize) || volume.extentsNodeSize < 512 ||
        volume.extentsNodeSize > 32768) {
        return Fail(failure, kStatusBadParameter,
                    "extents node size must be a power of two from 512 to 32768");
    }
    if (volume.hfsWrapper && volume.kind != HFSImageKind::kPlus) {
        return Fail(failure, kStatusBadParameter, "an HFS wrapper can only hold an \"H+\" volume");
    }
    return true;
}

// Splits each file's blocks into its pieces, starting at firstBlock.
// Returns the block after the last piece, or fails for a file with fewer
// blocks than pieces.
bool AllocateFiles(VolumeModel* model, uint32_t firstBlock, uint64_t* endBlock,
                   Failure* failure) {
    const uint32_t blockSize = model->volume->blockSize;
    uint64_t cursor = firstBlock;
    model->extents.assign(model->impl->items.size(), {});
    for (const Item& item : model->impl->items) {
        if (item.kind != ItemKind::kFile) continue;
        uint64_t blocks = (item.size + blockSize - 1) / blockSize;
        if (blocks == 0) continue;
        uint64_t pieces = item.extentCount;
        if (pieces > blocks) {
            return Fail(failure, kStatusBadParameter,
                        "file " + item.utf8Name + " has " + std::to_string(blocks) +
                            " blocks, too few for " + std::to_string(pieces) + " extents");
        }
        std::vector<Extent>& extents = model->extents[item.cnid - kHFSImageFirstItemID];
        for (uint64_t piece = 0; piece < pieces; ++piece) {
            uint64_t count = blocks / pieces + (piece < blocks % pieces ? 1 : 0);
            if (cursor + count > 0xFFFFFFF0u) {
                return Fail(failure, kStatusBadParameter, "the volume needs too many blocks");
            }
            extents.push_back({static_cast<uint32_t>(cursor), static_cast<uint32_t>(count)});
            cursor += count + (piece + 1 < pieces ? 1 : 0);  // a free block between pieces
        }
    }
    *endBlock = cursor;
    return true;
}

void MarkUsed(std::vector<uint8_t>* bitmap, uint64_t first, uint64_t count) {
    for (uint64_t block = first; block < first + count; ++block) {
        (*bitmap)[block / 8] |= static_cast<uint8_t>(0x80u >> (block % 8));
    }
}

// ---- The HFS wrapper ----

// The wrapper's name in its 8-bit encoding: ASCII kept, anything else "_".
std::string WrapperName(const std::string& utf8) {
    std::string name;
    for (size_t i = 0; i < utf8.size() && name.size() < 27; ++i) {
        uint8_t c = static_cast<uint8_t>(utf8[i]);
        if (c >= 0x80) {
            while (i + 1 < utf8.size() && (static_cast<uint8_t>(utf8[i + 1]) & 0xC0) == 0x80) ++i;
            c = '_';
        } else if (c < 0x20 || c == ':') {
            c = '_';
        }
        name.push_back(static_cast<char>(c));
    }
    if (name.empty()) name = "Untitled";
    return name;
}

// Classic HFS catalog key: keyLength u8, reserved u8, parentID u32, Str31
// name; padded to an even size.
std::vector<uint8_t> ClassicCatalogKey(uint32_t parent, const std::string& name) {
    std::vector<uint8_t> key(1 + 6 + name.size());
    key[0] = static_cast<uint8_t>(6 + name.size());
    Put32(&key[2], parent);
    key[6] = static_cast<uint8_t>(name.size());
    std::memcpy(&key[7], name.data(), name.size());
    if (key.size() % 2 != 0) key.push_back(0);
    return key;
}

struct WrapperPlan {
    uint32_t blockSize = 0;        // W, wrapper allocation block
    uint32_t firstSector = 0;      // drAlBlSt, 512-byte sectors
    uint32_t bitmapSectors = 0;
    uint32_t blocks = 0;           // drNmAlBlks
    uint32_t embedStart = 2;
    uint32_t embedCount = 0;
    uint64_t partitionSize = 0;
    uint64_t EmbeddedOffset() const {
        return uint64_t{firstSector} * 512 + uint64_t{embedStart} * blockSize;
    }
};

// Chooses the wrapper's geometry for an embedded volume of volumeBlocks
// blocks (volumeBlocks must be a multiple of the wrapper block / block size).
bool PlanWrapper(uint32_t wrapperBlock, uint64_t volumeBytes, uint32_t alignment,
                 WrapperPlan* wrapper) {
    uint64_t embedCount = volumeBytes / wrapperBlock;
    uint64_t blocks = wrapper->embedStart + embedCount;
    if (blocks > 0xFFFF) return false;
    wrapper->blockSize = wrapperBlock;
    wrapper->embedCount = static_cast<uint32_t>(embedCount);
    wrapper->blocks = static_cast<uint32_t>(blocks);
    wrapper->bitmapSectors = static_cast<uint32_t>((blocks + 4095) / 4096);
    // Allocation blocks start 4096-aligned, after the bitmap at sector 3.
    wrapper->firstSector = static_cast<uint32_t>(RoundUp(3 + wrapper->bitmapSectors, 8));
    uint64_t end = uint64_t{wrapper->firstSector} * 512 + blocks * wrapperBlock;
    wrapper->partitionSize = RoundUp(end + 1024, alignment);
    return true;
}

void AddWrapper(const HFSImageVolume& volume, const WrapperPlan& wrapper,
                uint64_t partitionOffset, Plan* plan) {
    const uint32_t w = wrapper.blockSize;
    const uint32_t date = volume.date;
    const std::string name = WrapperName(volume.name);

    std::vector<uint8_t> mdb(512, 0);
    uint8_t* m = mdb.data();
    Put16(m + 0, kSignatureHFS);
    Put32(m + 2, date);
    Put32(m + 6, date);
    Put16(m + 10, kVolumeUnmounted | kSparedBlocks);
    Put16(m + 14, 3);  // bitmap right after the MDB
    Put16(m + 16, wrapper.embedStart + wrapper.embedCount);
    Put16(m + 18, wrapper.blocks);
    Put32(m + 20, w);
    Put32(m + 24, w);
    Put16(m + 28, wrapper.firstSector);
    Put32(m + 30, 16);
    Put16(m + 34, wrapper.blocks - wrapper.embedStart - wrapper.embedCount);
    m[36] = static_cast<uint8_t>(name.size());
    std::memcpy(m + 37, name.data(), name.size());
    Put32(m + 70, 1);
    Put32(m + 74, w);
    Put32(m + 78, w);
    Put16(m + 124, kSignaturePlus);
    Put16(m + 126, wrapper.embedStart);
    Put16(m + 128, wrapper.embedCount);
    Put32(m + 130, w);   // extents B-tree: block 0
    Put16(m + 134, 0);
    Put16(m + 136, 1);
    Put32(m + 146, w);   // catalog B-tree: block 1
    Put16(m + 150, 1);
    Put16(m + 152, 1);
    plan->AddBytes(partitionOffset + 1024, mdb);
    plan->AddBytes(partitionOffset + wrapper.partitionSize - 1024, mdb);

    std::vector<uint8_t> bitmap(uint64_t{wrapper.bitmapSectors} * 512, 0);
    MarkUsed(&bitmap, 0, wrapper.embedStart + wrapper.embedCount);
    plan->AddBytes(partitionOffset + 3 * 512, std::move(bitmap));

    // Extents B-tree: the bad block file (CNID 5) owns the embedded volume.
    BTreeParams params;
    params.nodeSize = 512;
    params.classicHFS = true;
    params.maxKeyLength = 7;
    Record bad;
    bad.key.assign(8, 0);
    bad.key[0] = 7;
    Put32(&bad.key[2], kBadBlocksFileID);
    bad.data.assign(12, 0);
    Put16(&bad.data[0], wrapper.embedStart);
    Put16(&bad.data[2], wrapper.embedCount);
    BTreeImage tree;
    Failure ignored;
    BuildBTree({bad}, params, w / 512, w, &tree, &ignored);
    uint64_t blocksStart = partitionOffset + uint64_t{wrapper.firstSector} * 512;
    plan->AddBytes(blocksStart, std::move(tree.bytes));

    // Catalog B-tree: the root folder (empty) and its thread.
    params.maxKeyLength = 37;
    Record root;
    root.key = ClassicCatalogKey(kRootParentID, name);
    root.data.assign(70, 0);
    root.data[0] = 1;  // folder
    Put32(&root.data[6], kHFSImageRootID);
    Put32(&root.data[10], date);
    Put32(&root.data[14], date);
    Record thread;
    thread.key = ClassicCatalogKey(kHFSImageRootID, "");
    thread.data.assign(46, 0);
    thread.data[0] = 3;  // folder thread
    Put32(&thread.data[10], kRootParentID);
    thread.data[14] = static_cast<uint8_t>(name.size());
    std::memcpy(&thread.data[15], name.data(), name.size());
    BuildBTree({root, thread}, params, w / 512, w, &tree, &ignored);
    plan->AddBytes(blocksStart + w, std::move(tree.bytes));
}

// Finds every item's record and thread in the catalog's leaves.
std::vector<HFSImageRecordPlace> RecordPlaces(const BTreeImage& tree, uint32_t nodeSize,
                                              uint64_t catalogOffset) {
    std::vector<HFSImageRecordPlace> places;
    auto place = [&places](uint32_t cnid) -> HFSImageRecordPlace& {
        auto it = std::lower_bound(places.begin(), places.end(), cnid,
                                   [](const HFSImageRecordPlace& p, uint32_t id) { return p.cnid < id; });
        if (it == places.end() || it->cnid != cnid) {
            HFSImageRecordPlace fresh;
            fresh.cnid = cnid;
            it = places.insert(it, fresh);
        }
        return *it;
    };
    for (uint32_t node = tree.firstLeaf; node != 0;) {
        const uint8_t* n = &tree.bytes[static_cast<size_t>(node) * nodeSize];
        uint32_t count = Get16(n + 10);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t offset = Get16(n + nodeSize - 2 * (i + 1));
            const uint8_t* key = n + offset;
            const uint8_t* data = key + 2 + Get16(key);
            uint64_t at = catalogOffset + uint64_t{node} * nodeSize + offset;
            uint32_t type = Get16(data);
            if (type == kFolderRecord || type == kFileRecord) {
                place(Get32(data + 8)).recordOffset = at;
            } else {
                place(Get32(key + 2)).threadOffset = at;
            }
        }
        node = Get32(n);  // forward link
    }
    return places;
}

}  // namespace

int CompareNames(HFSImageKind kind, const std::vector<uint16_t>& a,
                 const std::vector<uint16_t>& b) {
    int result = kind == HFSImageKind::kCaseSensitive
                     ? HfsNameCompareBinary(a.data(), a.size(), b.data(), b.size())
                     : HfsNameCompare(a.data(), a.size(), b.data(), b.size());
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

bool PlanVolume(const HFSImageVolume& volume, uint32_t alignment, uint64_t partitionOffset,
                Plan* plan, VolumeResult* result, Failure* failure) {
    if (!CheckSettings(volume, failure)) return false;
    VolumeModel model;
    model.volume = &volume;
    model.impl = &volume.impl();
    model.rootName = NameUnits(volume.name);
    if (model.rootName.empty()) {
        return Fail(failure, kStatusBadName, "the volume name \"" + volume.name +
                                                 "\" is empty, too long or not valid UTF-8");
    }
    for (const Item& item : model.impl->items) {
        if (item.kind == ItemKind::kFolder) {
            model.folderCount++;
        } else {
            model.fileCount++;
        }
    }
    const uint32_t blockSize = volume.blockSize;

    // Sizes first: records have fixed sizes whatever their extents, so the
    // trees can be counted with the files not yet placed.
    uint64_t dataBlocks = 0;  // a trial allocation from block 0 counts them
    if (!AllocateFiles(&model, 0, &dataBlocks, failure)) return false;
    std::vector<Record> catalogRecords;
    if (!CatalogRecords(model, &catalogRecords, failure)) return false;
    uint32_t catalogNodes = 0, extentsNodes = 0;
    if (!CountBTreeNodes(catalogRecords, CatalogParams(volume), &catalogNodes, failure) ||
        !CountBTreeNodes(ExtentRecords(model), ExtentsParams(volume), &extentsNodes, failure)) {
        return false;
    }
    const uint64_t extentsBlocks =
        RoundUp(uint64_t{extentsNodes} * volume.extentsNodeSize, blockSize) / blockSize;
    const uint64_t catalogBlocks =
        RoundUp(uint64_t{catalogNodes} * volume.catalogNodeSize, blockSize) / blockSize;
    const uint64_t headBlocks = RoundUp(1536, blockSize) / blockSize;
    const uint64_t tailBlocks = RoundUp(1024, blockSize) / blockSize;

    // The volume's size must be a multiple of the partition alignment, and
    // inside a wrapper of the wrapper's block size, which grows until the
    // wrapper's 16-bit block count suffices.
    uint64_t unit = std::max<uint64_t>(alignment, blockSize);
    uint32_t wrapperBlock = std::max<uint32_t>(blockSize, 4096);
    WrapperPlan wrapper;
    uint64_t totalBlocks = 0, bitmapBlocks = 1;
    for (;;) {
        if (volume.hfsWrapper) unit = std::max<uint64_t>(unit, wrapperBlock);
        for (;;) {
            uint64_t needed = headBlocks + bitmapBlocks + extentsBlocks + catalogBlocks +
                              dataBlocks + volume.spareBlocks + tailBlocks;
            totalBlocks = RoundUp(needed * blockSize, unit) / blockSize;
            uint64_t bits = uint64_t{blockSize} * 8;
            uint64_t bitmapNeeded = (totalBlocks + bits - 1) / bits;
            if (bitmapNeeded <= bitmapBlocks) break;
            bitmapBlocks = bitmapNeeded;
        }
        if (totalBlocks > 0xFFFFFFF0u) {
            return Fail(failure, kStatusBadParameter, "the volume needs too many blocks");
        }
        if (!volume.hfsWrapper ||
            PlanWrapper(wrapperBlock, totalBlocks * blockSize, alignment, &wrapper)) {
            break;
        }
        if (wrapperBlock >= (1u << 30)) {
            return Fail(failure, kStatusBadParameter, "the volume is too large for a wrapper");
        }
        wrapperBlock *= 2;
    }

    // Placement.
    const uint64_t allocationStart = headBlocks;
    const uint64_t extentsStart = allocationStart + bitmapBlocks;
    const uint64_t catalogStart = extentsStart + extentsBlocks;
    const uint64_t dataStart = catalogStart + catalogBlocks;
    uint64_t dataEnd = 0;
    if (!AllocateFiles(&model, static_cast<uint32_t>(dataStart), &dataEnd, failure)) return false;
    std::vector<Record> extentRecords = ExtentRecords(model);
    if (!CatalogRecords(model, &catalogRecords, failure)) return false;

    const uint64_t volumeOffset =
        partitionOffset + (volume.hfsWrapper ? wrapper.EmbeddedOffset() : 0);
    const uint64_t volumeBytes = totalBlocks * blockSize;

    // Allocation bitmap.
    std::vector<uint8_t> bitmap(bitmapBlocks * blockSize, 0);
    MarkUsed(&bitmap, 0, dataStart);
    uint64_t usedBlocks = dataStart;
    for (const std::vector<Extent>& extents : model.extents) {
        for (const Extent& extent : extents) {
            MarkUsed(&bitmap, extent.start, extent.count);
            usedBlocks += extent.count;
        }
    }
    MarkUsed(&bitmap, totalBlocks - tailBlocks, tailBlocks);
    usedBlocks += tailBlocks;

    // B-trees.
    BTreeImage extentsTree, catalogTree;
    const uint32_t extentsTotal =
        static_cast<uint32_t>(extentsBlocks * blockSize / volume.extentsNodeSize);
    const uint32_t catalogTotal =
        static_cast<uint32_t>(catalogBlocks * blockSize / volume.catalogNodeSize);
    if (!BuildBTree(extentRecords, ExtentsParams(volume), extentsTotal,
                    static_cast<uint32_t>(extentsBlocks * blockSize), &extentsTree, failure) ||
        !BuildBTree(catalogRecords, CatalogParams(volume), catalogTotal,
                    static_cast<uint32_t>(catalogBlocks * blockSize), &catalogTree, failure)) {
        return false;
    }

    // Volume header.
    const uint32_t nextID =
        kHFSImageFirstItemID + static_cast<uint32_t>(model.impl->items.size());
    std::vector<uint8_t> header(512, 0);
    uint8_t* h = header.data();
    bool caseSensitive = volume.kind == HFSImageKind::kCaseSensitive;
    Put16(h + 0, caseSensitive ? kSignatureX : kSignaturePlus);
    Put16(h + 2, caseSensitive ? 5 : 4);
    Put32(h + 4, kVolumeUnmounted);
    Put32(h + 8, kLastMountedBy);
    for (int i = 0; i < 4; ++i) Put32(h + 16 + 4 * i, volume.date);
    Put32(h + 24, 0);  // never backed up
    Put32(h + 32, model.fileCount);
    Put32(h + 36, model.folderCount);
    Put32(h + 40, blockSize);
    Put32(h + 44, static_cast<uint32_t>(totalBlocks));
    Put32(h + 48, static_cast<uint32_t>(totalBlocks - usedBlocks));
    Put32(h + 52, static_cast<uint32_t>(std::min(dataEnd, totalBlocks - tailBlocks)));
    Put32(h + 56, 65536);
    Put32(h + 60, 65536);
    Put32(h + 64, nextID);
    Put32(h + 68, 1);
    Put64(h + 72, 1);  // text encodings used: only encoding 0 (Roman)
    PutFork(h + 112, bitmap.size(), static_cast<uint32_t>(bitmap.size()),
            {{static_cast<uint32_t>(allocationStart), static_cast<uint32_t>(bitmapBlocks)}});
    PutFork(h + 192, extentsTree.bytes.size(), static_cast<uint32_t>(extentsTree.bytes.size()),
            {{static_cast<uint32_t>(extentsStart), static_cast<uint32_t>(extentsBlocks)}});
    PutFork(h + 272, catalogTree.bytes.size(), static_cast<uint32_t>(catalogTree.bytes.size()),
            {{static_cast<uint32_t>(catalogStart), static_cast<uint32_t>(catalogBlocks)}});

    HFSImageVolumeLayout& layout = result->layout;
    layout.records = RecordPlaces(catalogTree, volume.catalogNodeSize,
                                  volumeOffset + catalogStart * blockSize);

    // Chunks.
    plan->AddBytes(volumeOffset + 1024, header);
    plan->AddBytes(volumeOffset + volumeBytes - 1024, header);
    plan->AddBytes(volumeOffset + allocationStart * blockSize, std::move(bitmap));
    plan->AddBytes(volumeOffset + extentsStart * blockSize, std::move(extentsTree.bytes));
    plan->AddBytes(volumeOffset + catalogStart * blockSize, std::move(catalogTree.bytes));
    for (const Item& item : model.impl->items) {
        if (item.kind != ItemKind::kFile) continue;
        uint64_t fileOffset = 0;
        for (const Extent& extent : model.extents[item.cnid - kHFSImageFirstItemID]) {
            Chunk chunk;
            chunk.offset = volumeOffset + uint64_t{extent.start} * blockSize;
            chunk.length = std::min<uint64_t>(uint64_t{extent.count} * blockSize,
                                              item.size - fileOffset);
            chunk.source = item.source;
            chunk.sourceOffset = fileOffset;
            chunk.patternID = item.cnid;
            chunk.hostPath = &item.hostPath;
            if (item.source == DataSource::kBytes) {
                chunk.bytes = reinterpret_cast<const uint8_t*>(item.bytes.data()) + fileOffset;
            }
            plan->Add(chunk);
            fileOffset += chunk.length;
        }
    }
    if (volume.hfsWrapper) AddWrapper(volume, wrapper, partitionOffset, plan);

    result->size = volume.hfsWrapper ? wrapper.partitionSize : volumeBytes;
    layout.partitionOffset = partitionOffset;
    layout.partitionSize = result->size;
    layout.volumeOffset = volumeOffset;
    layout.volumeSize = volumeBytes;
    layout.blockSize = blockSize;
    layout.totalBlocks = static_cast<uint32_t>(totalBlocks);
    layout.freeBlocks = static_cast<uint32_t>(totalBlocks - usedBlocks);
    layout.catalogOffset = volumeOffset + catalogStart * blockSize;
    layout.catalogNodeSize = volume.catalogNodeSize;
    layout.catalogNodes = catalogTotal;
    layout.catalogDepth = catalogTree.depth;
    layout.catalogRoot = catalogTree.root;
    layout.extentsOffset = volumeOffset + extentsStart * blockSize;
    layout.extentsNodeSize = volume.extentsNodeSize;
    layout.extentsNodes = extentsTotal;
    layout.extentsDepth = extentsTree.depth;
    layout.nextCatalogID = nextID;
    layout.fileCount = model.fileCount;
    layout.folderCount = model.folderCount;
    layout.privateFolderID = model.impl->privateFolder;
    return true;
}

}  // namespace hfsimage
