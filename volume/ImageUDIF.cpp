// The .dmg (UDIF) trailer, property list and block tables, read once at
// open into a checked, sorted run table (ImageFileInternal.h).
//
// Trailer ("koly", the last 512 bytes of the file; big-endian):
//   0x000  4  "koly"              0x0D8  8  property list offset
//   0x004  4  version, 4          0x0E0  8  property list length
//   0x008  4  header size, 512    0x160  4  master checksum type
//   0x018  8  data fork offset    0x164  4  master checksum bits
//   0x020  8  data fork length    0x168 128 master checksum value
//   0x028  8  resource fork off.  0x1EC  8  disc size in 512-byte sectors
//   0x030  8  resource fork len.
//   0x038  4  segment number      0x03C  4  segment count
//   0x050  4  data checksum type  0x054  4  data checksum bits
//   0x058 128 data checksum value
//
// Block table ("mish"; base64 in the property list under resource-fork ->
// blkx -> Data), 0xCC bytes of header then 40-byte runs:
//   0x00  4  "mish"      0x18  8  data offset (added to every run's)
//   0x04  4  version, 1  0x40  4  checksum type   0x44  4  checksum bits
//   0x08  8  first sector           0x48 128 checksum value
//   0x10  8  sector count           0xC8  4  run count
// Run: type 4, comment 4, first sector 8 (relative), sector count 8,
// data offset 8, data length 8.
//
// A run's stored bytes are at data fork offset + table data offset + run
// data offset and must lie inside the data fork. Every sum is checked for
// overflow. Names and IDs of tables are for display only: the partition
// map reader finds the volumes in the decoded disc.
#include <cstdlib>
#include <cstring>

#include "ImageFileInternal.h"
#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLPropertyList.h"
#include "QxLString.h"

namespace {

uint32_t Get32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint64_t Get64(const uint8_t* bytes) {
    return static_cast<uint64_t>(Get32(bytes)) << 32 | Get32(bytes + 4);
}

// [offset, offset + length) inside [0, limit) without overflow.
bool RangeInside(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

// A checksum record is usable as CRC-32 or absent; anything above 1024
// bits cannot fit its 128 bytes.
bool ChecksumRecordSane(uint32_t bits) { return bits <= 1024; }

// The refusal sentence for a run type Tamsor cannot read.
const char* MethodName(uint32_t type) {
    switch (type) {
    case kUDIFRunLZFSE:
        return "LZFSE";
    case kUDIFRunLZMA:
        return "LZMA";
    default:
        return nullptr;
    }
}

bool KnownType(uint32_t type) {
    switch (type) {
    case kUDIFRunZero:
    case kUDIFRunRaw:
    case kUDIFRunIgnore:
    case kUDIFRunADC:
    case kUDIFRunZlib:
    case kUDIFRunBzip2:
    case kUDIFRunComment:
    case kUDIFRunTerminator:
        return true;
    default:
        return false;
    }
}

struct ParsedTable {
    UDIFTable table;
    UDIFRun* runs;  // in table order, absolute sectors
    uint32_t runCount;
};

// One base64-decoded "mish" table into parsed (runs allocated). index is
// the table's position in the property list, for messages.
QxStatus ParseTable(const uint8_t* bytes, size_t length, uint32_t index,
                    const UDIFTrailer& trailer, ParsedTable* parsed, char* problem,
                    size_t problemSize) {
    if (length < kUDIFTableHeaderSize || memcmp(bytes, "mish", 4) != 0 || Get32(bytes + 4) != 1) {
        UDIFSay(problem, problemSize, "block table %u is not a block table", index);
        return kStatusMalformed;
    }
    uint64_t runCount = Get32(bytes + 0xC8);
    if (runCount > (length - kUDIFTableHeaderSize) / kUDIFRunEntrySize ||
        kUDIFTableHeaderSize + runCount * kUDIFRunEntrySize != length) {
        UDIFSay(problem, problemSize, "block table %u has a run count that does not match its length",
                index);
        return kStatusMalformed;
    }
    UDIFTable& table = parsed->table;
    table.firstSector = Get64(bytes + 0x08);
    table.sectorCount = Get64(bytes + 0x10);
    uint64_t dataOffset = Get64(bytes + 0x18);
    table.checksumType = Get32(bytes + 0x40);
    table.checksumBits = Get32(bytes + 0x44);
    table.checksum = Get32(bytes + 0x48);
    if (table.firstSector >= kUDIFSectorLimit || table.sectorCount >= kUDIFSectorLimit ||
        !ChecksumRecordSane(table.checksumBits) ||
        dataOffset > UINT64_MAX - trailer.dataForkOffset) {
        UDIFSay(problem, problemSize, "block table %u has impossible values", index);
        return kStatusMalformed;
    }
    uint64_t base = trailer.dataForkOffset + dataOffset;
    uint64_t forkEnd = trailer.dataForkOffset + trailer.dataForkLength;

    parsed->runs = static_cast<UDIFRun*>(QxLAllocZeroed(sizeof(UDIFRun) * (runCount + 1)));
    if (parsed->runs == nullptr) return kStatusNoMemory;
    uint64_t next = 0;  // relative sector the next run must start at
    bool terminated = false;
    for (uint64_t i = 0; i < runCount; ++i) {
        const uint8_t* entry = bytes + kUDIFTableHeaderSize + i * kUDIFRunEntrySize;
        uint32_t type = Get32(entry);
        uint64_t first = Get64(entry + 0x08);
        uint64_t count = Get64(entry + 0x10);
        uint64_t offset = Get64(entry + 0x18);
        uint64_t stored = Get64(entry + 0x20);
        if (terminated) {
            UDIFSay(problem, problemSize, "block table %u has runs after its terminator", index);
            return kStatusMalformed;
        }
        if (const char* method = MethodName(type)) {
            UDIFSay(problem, problemSize,
                    "this image is compressed with %s, which Tamsor cannot read; convert it "
                    "to a read-only zlib image or a raw .cdr",
                    method);
            return kStatusUnsupported;
        }
        if (!KnownType(type)) {
            UDIFSay(problem, problemSize,
                    "block table %u has a run of unknown kind 0x%08X, which Tamsor cannot read",
                    index, type);
            return kStatusUnsupported;
        }
        if (first >= kUDIFSectorLimit || count >= kUDIFSectorLimit) {
            UDIFSay(problem, problemSize, "block table %u has a run of impossible size", index);
            return kStatusMalformed;
        }
        if (type == kUDIFRunTerminator) {
            if (first != next || first != table.sectorCount) {
                UDIFSay(problem, problemSize,
                        "block table %u ends at sector %llu, not at its size of %llu sectors",
                        index, static_cast<unsigned long long>(first),
                        static_cast<unsigned long long>(table.sectorCount));
                return kStatusMalformed;
            }
            terminated = true;
            continue;
        }
        if (type == kUDIFRunComment) {
            if (count != 0) {
                UDIFSay(problem, problemSize, "block table %u has a comment with sectors", index);
                return kStatusMalformed;
            }
            continue;
        }
        if (count == 0) continue;
        if (first != next) {
            UDIFSay(problem, problemSize,
                    "block table %u has a gap or an overlap at sector %llu of the table", index,
                    static_cast<unsigned long long>(next));
            return kStatusMalformed;
        }
        UDIFRun& run = parsed->runs[parsed->runCount];
        run.firstSector = table.firstSector + first;
        run.sectorCount = count;
        run.type = type;
        run.table = index;
        // Zero and ignore runs never read their stored bytes, whatever the
        // length field says.
        if (type != kUDIFRunZero && type != kUDIFRunIgnore) {
            bool sizeOK = type == kUDIFRunRaw
                              ? stored == count * kUDIFSectorSize
                              : count <= kUDIFMostCompressedSectors &&
                                    stored <= kUDIFMostStoredBytes;
            if (!sizeOK) {
                UDIFSay(problem, problemSize,
                        "block table %u has a run whose stored size does not fit its %llu sectors",
                        index, static_cast<unsigned long long>(count));
                return kStatusMalformed;
            }
            if (offset > UINT64_MAX - base || base + offset < trailer.dataForkOffset ||
                !RangeInside(base + offset, stored, forkEnd)) {
                UDIFSay(problem, problemSize,
                        "block table %u has a run stored outside the image's data", index);
                return kStatusMalformed;
            }
            run.fileOffset = base + offset;
            run.storedLength = stored;
        }
        ++parsed->runCount;
        next = first + count;
        if (next > table.sectorCount) {
            UDIFSay(problem, problemSize, "block table %u has runs past its end", index);
            return kStatusMalformed;
        }
    }
    if (!terminated) {
        UDIFSay(problem, problemSize, "block table %u has no terminator", index);
        return kStatusMalformed;
    }
    return kStatusOK;
}

// The text of a string value, or null.
QxLObjectRef Lookup(QxLObjectRef dictionary, const char* key, uint32_t type) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return nullptr;
    QxLStringRef name = QxLStringCreateWithText(key);
    if (name == nullptr) return nullptr;
    QxLObjectRef value = QxLDictionaryGet(dictionary, name);
    QxLObjectRelease(name);
    return QxLObjectIsType(value, type) ? value : nullptr;
}

void FreeParsed(ParsedTable* parsed, uint32_t count) {
    if (parsed == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) QxLFree(parsed[i].runs);
    QxLFree(parsed);
}

int CompareByFirstSector(const void* a, const void* b) {
    const auto* left = *static_cast<const ParsedTable* const*>(a);
    const auto* right = *static_cast<const ParsedTable* const*>(b);
    if (left->table.firstSector != right->table.firstSector) {
        return left->table.firstSector < right->table.firstSector ? -1 : 1;
    }
    if (left->table.sectorCount != right->table.sectorCount) {
        return left->table.sectorCount < right->table.sectorCount ? -1 : 1;
    }
    return 0;
}

// Joins the parsed tables into image (tables in list order, runs in disc
// order), checking that they tile the disc.
QxStatus JoinTables(ParsedTable* parsed, uint32_t count, UDIFImage* image, char* problem,
                    size_t problemSize) {
    auto** order = static_cast<ParsedTable**>(QxLAlloc(sizeof(ParsedTable*) * count));
    if (order == nullptr) return kStatusNoMemory;
    uint64_t runTotal = 0;
    for (uint32_t i = 0; i < count; ++i) {
        order[i] = &parsed[i];
        runTotal += parsed[i].runCount;
    }
    qsort(order, count, sizeof(ParsedTable*), CompareByFirstSector);
    uint64_t next = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const UDIFTable& table = order[i]->table;
        if (table.firstSector != next) {
            UDIFSay(problem, problemSize,
                    "the block tables leave a gap or overlap at disc sector %llu",
                    static_cast<unsigned long long>(next));
            QxLFree(order);
            return kStatusMalformed;
        }
        next = table.firstSector + table.sectorCount;
    }
    if (next != image->trailer.sectorCount) {
        UDIFSay(problem, problemSize,
                "the block tables cover %llu sectors but the disc has %llu",
                static_cast<unsigned long long>(next),
                static_cast<unsigned long long>(image->trailer.sectorCount));
        QxLFree(order);
        return kStatusMalformed;
    }
    image->runs = static_cast<UDIFRun*>(QxLAlloc(sizeof(UDIFRun) * (runTotal + 1)));
    image->tables = static_cast<UDIFTable*>(QxLAlloc(sizeof(UDIFTable) * count));
    if (image->runs == nullptr || image->tables == nullptr) {
        QxLFree(order);
        return kStatusNoMemory;
    }
    uint32_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ParsedTable* table = order[i];
        auto listIndex = static_cast<uint32_t>(table - parsed);
        table->table.firstRun = at;
        table->table.runCount = table->runCount;
        memcpy(image->runs + at, table->runs, sizeof(UDIFRun) * table->runCount);
        at += table->runCount;
        image->tables[listIndex] = table->table;
    }
    image->runCount = at;
    image->tableCount = count;
    QxLFree(order);
    return kStatusOK;
}

}  // namespace

QxStatus UDIFReadTrailer(const uint8_t* tail, const uint8_t* head, size_t headLength,
                         uint64_t fileSize, UDIFTrailer* trailer, char* problem,
                         size_t problemSize) {
    if ((headLength >= 8 && memcmp(head, "encrcdsa", 8) == 0) ||
        (fileSize >= 8 && tail != nullptr && memcmp(tail + kUDIFTrailerSize - 8, "cdsaencr", 8) == 0)) {
        UDIFSay(problem, problemSize,
                "this image is encrypted, which Tamsor cannot read; convert it to a read-only "
                "zlib image or a raw .cdr without a password");
        return kStatusUnsupported;
    }
    if (headLength >= 4 && memcmp(head, "sprs", 4) == 0) {
        UDIFSay(problem, problemSize,
                "this is a sparse image, which Tamsor cannot read; convert it to a read-only "
                "zlib image or a raw .cdr");
        return kStatusUnsupported;
    }
    if (tail == nullptr || fileSize < kUDIFTrailerSize || memcmp(tail, "koly", 4) != 0) {
        return kStatusNotFound;
    }
    if (Get32(tail + 0x004) != 4 || Get32(tail + 0x008) != kUDIFTrailerSize) {
        UDIFSay(problem, problemSize, "the image's trailer has an unknown version or size");
        return kStatusMalformed;
    }
    uint32_t segmentNumber = Get32(tail + 0x038);
    uint32_t segmentCount = Get32(tail + 0x03C);
    if (segmentCount > 1) {
        UDIFSay(problem, problemSize,
                "this image is split into %u segments, which Tamsor cannot read; convert it "
                "to a single read-only zlib image or a raw .cdr",
                segmentCount);
        return kStatusUnsupported;
    }
    if (segmentNumber > 1) {
        UDIFSay(problem, problemSize, "the image's trailer names segment %u of one", segmentNumber);
        return kStatusMalformed;
    }
    UDIFTrailer read = {};
    read.dataForkOffset = Get64(tail + 0x018);
    read.dataForkLength = Get64(tail + 0x020);
    uint64_t resourceOffset = Get64(tail + 0x028);
    uint64_t resourceLength = Get64(tail + 0x030);
    read.dataChecksumType = Get32(tail + 0x050);
    read.dataChecksumBits = Get32(tail + 0x054);
    read.dataChecksum = Get32(tail + 0x058);
    read.plistOffset = Get64(tail + 0x0D8);
    read.plistLength = Get64(tail + 0x0E0);
    read.masterChecksumType = Get32(tail + 0x160);
    read.masterChecksumBits = Get32(tail + 0x164);
    read.masterChecksum = Get32(tail + 0x168);
    read.sectorCount = Get64(tail + 0x1EC);

    uint64_t trailerOffset = fileSize - kUDIFTrailerSize;
    if (!RangeInside(read.dataForkOffset, read.dataForkLength, trailerOffset) ||
        !RangeInside(resourceOffset, resourceLength, trailerOffset) ||
        !RangeInside(read.plistOffset, read.plistLength, trailerOffset)) {
        UDIFSay(problem, problemSize, "the image's trailer points past the end of the file");
        return kStatusMalformed;
    }
    if (read.plistLength == 0) {
        UDIFSay(problem, problemSize,
                "this is an old image without an XML property list, which Tamsor cannot read; "
                "convert it to a read-only zlib image or a raw .cdr");
        return kStatusUnsupported;
    }
    if (read.plistLength > kUDIFMostPlistBytes) {
        UDIFSay(problem, problemSize, "the image's property list is implausibly long");
        return kStatusMalformed;
    }
    if (read.sectorCount >= kUDIFSectorLimit || !ChecksumRecordSane(read.dataChecksumBits) ||
        !ChecksumRecordSane(read.masterChecksumBits)) {
        UDIFSay(problem, problemSize, "the image's trailer has impossible values");
        return kStatusMalformed;
    }
    *trailer = read;
    return kStatusOK;
}

QxStatus UDIFParseTables(const uint8_t* plist, size_t plistLength, UDIFImage* image,
                         char* problem, size_t problemSize) {
    image->runs = nullptr;
    image->tables = nullptr;
    image->runCount = 0;
    image->tableCount = 0;
    if (plistLength > kUDIFMostPlistBytes) return kStatusMalformed;
    if (plistLength >= 8 && memcmp(plist, "bplist00", 8) == 0) {
        UDIFSay(problem, problemSize, "the image's property list is binary, not XML: damaged");
        return kStatusMalformed;
    }
    QxLObjectRef root = nullptr;
    if (QxLPropertyListRead(plist, static_cast<int32_t>(plistLength), &root) != kStatusOK) {
        UDIFSay(problem, problemSize, "the image's property list cannot be read");
        return kStatusMalformed;
    }
    QxLObjectRef blocks =
        Lookup(Lookup(root, "resource-fork", kQxLTypeDictionary), "blkx", kQxLTypeArray);
    int32_t count = blocks != nullptr ? QxLArrayGetCount(blocks) : 0;
    if (count <= 0 || static_cast<uint32_t>(count) > kUDIFMostTables) {
        UDIFSay(problem, problemSize, "the image's property list lists no usable block tables");
        QxLObjectRelease(root);
        return kStatusMalformed;
    }

    auto* parsed = static_cast<ParsedTable*>(QxLAllocZeroed(sizeof(ParsedTable) * count));
    QxStatus status = parsed != nullptr ? kStatusOK : kStatusNoMemory;
    uint32_t done = 0;
    for (; status == kStatusOK && done < static_cast<uint32_t>(count); ++done) {
        QxLObjectRef entry = QxLArrayGetValueAt(blocks, static_cast<int32_t>(done));
        QxLObjectRef data = Lookup(entry, "Data", kQxLTypeData);
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        if (data == nullptr || QxLDataGetBytes(data, &bytes, &length) != kStatusOK ||
            length > kUDIFMostTableBytes) {
            UDIFSay(problem, problemSize, "block table %u has no usable data", done);
            status = kStatusMalformed;
            break;
        }
        status = ParseTable(bytes, length, done, image->trailer, &parsed[done], problem,
                            problemSize);
        const char* text = nullptr;
        uint32_t textLength = 0;
        if (QxLStringGetText(Lookup(entry, "Name", kQxLTypeString), &text, &textLength) ==
            kStatusOK) {
            char* name = parsed[done].table.name;
            size_t keep = textLength < sizeof parsed[done].table.name - 1
                              ? textLength
                              : sizeof parsed[done].table.name - 1;
            memcpy(name, text, keep);
            name[keep] = '\0';
        }
    }
    QxLObjectRelease(root);
    if (status == kStatusOK) {
        status = JoinTables(parsed, static_cast<uint32_t>(count), image, problem, problemSize);
    }
    FreeParsed(parsed, static_cast<uint32_t>(count));
    if (status != kStatusOK) UDIFImageFreeTables(image);
    return status;
}

void UDIFImageFreeTables(UDIFImage* image) {
    QxLFree(image->runs);
    QxLFree(image->tables);
    image->runs = nullptr;
    image->tables = nullptr;
    image->runCount = 0;
    image->tableCount = 0;
}
