// The .dmg (UDIF) parts of the image layer, shared by ImageFile.cpp, the
// parser (ImageUDIF.cpp), the run decoders (ImageDecode.cpp), the test
// writer and the fuzzing target.
//
// A parsed image is a run table: every run that produces sectors, from all
// block tables, sorted by disc sector and checked to tile the disc exactly
// once. Comment and terminator entries, and runs of no sectors, are checked
// and dropped. The block tables are kept in property-list order for the
// checksums.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"

inline constexpr uint32_t kUDIFSectorSize = 512;
inline constexpr size_t kUDIFTrailerSize = 512;
inline constexpr size_t kUDIFTableHeaderSize = 0xCC;
inline constexpr size_t kUDIFRunEntrySize = 40;
// Limits no real image reaches; they bound what a damaged one can make us
// allocate.
inline constexpr uint64_t kUDIFMostPlistBytes = 16u << 20;
inline constexpr uint64_t kUDIFMostTableBytes = 16u << 20;
inline constexpr uint32_t kUDIFMostTables = 65536;
inline constexpr uint64_t kUDIFMostCompressedSectors = 131072;  // 64 MiB decoded
inline constexpr uint64_t kUDIFMostStoredBytes = 64u << 20;
inline constexpr uint64_t kUDIFSectorLimit = uint64_t{1} << 54;

// Run types (the 4-byte code of a run entry).
inline constexpr uint32_t kUDIFRunZero = 0x00000000;
inline constexpr uint32_t kUDIFRunRaw = 0x00000001;
inline constexpr uint32_t kUDIFRunIgnore = 0x00000002;
inline constexpr uint32_t kUDIFRunADC = 0x80000004;
inline constexpr uint32_t kUDIFRunZlib = 0x80000005;
inline constexpr uint32_t kUDIFRunBzip2 = 0x80000006;
inline constexpr uint32_t kUDIFRunLZFSE = 0x80000007;
inline constexpr uint32_t kUDIFRunLZMA = 0x80000008;
inline constexpr uint32_t kUDIFRunComment = 0x7FFFFFFE;
inline constexpr uint32_t kUDIFRunTerminator = 0xFFFFFFFF;

inline constexpr uint32_t kUDIFChecksumCRC32 = 2;

// The trailer's fields that a reader uses (offsets in ImageUDIF.cpp).
struct UDIFTrailer {
    uint64_t dataForkOffset;
    uint64_t dataForkLength;
    uint64_t plistOffset;
    uint64_t plistLength;
    uint64_t sectorCount;
    uint32_t dataChecksumType;
    uint32_t dataChecksumBits;
    uint32_t dataChecksum;  // first 4 bytes, big-endian
    uint32_t masterChecksumType;
    uint32_t masterChecksumBits;
    uint32_t masterChecksum;
};

// One run that produces sectors, in disc order.
struct UDIFRun {
    uint64_t firstSector;   // absolute
    uint64_t sectorCount;   // > 0
    uint64_t fileOffset;    // of the stored bytes (all three offsets added)
    uint64_t storedLength;  // 0 for zero-fill and ignore
    uint32_t type;          // zero, raw, ignore, ADC, zlib, bzip2
    uint32_t table;         // index into UDIFImage::tables
};

// One block table, in property-list order.
struct UDIFTable {
    uint64_t firstSector;
    uint64_t sectorCount;
    uint32_t checksumType;
    uint32_t checksumBits;
    uint32_t checksum;    // first 4 bytes of the value, big-endian
    uint32_t firstRun;    // its runs are runs[firstRun, firstRun + runCount)
    uint32_t runCount;
    char name[80];        // the "Name" text, cut to fit
};

struct UDIFImage {
    UDIFTrailer trailer;
    UDIFRun* runs;       // sorted, tiling [0, trailer.sectorCount)
    uint32_t runCount;
    UDIFTable* tables;
    uint32_t tableCount;
};

// Checks the last 512 bytes of a file of fileSize bytes, and its first
// bytes (head, headLength of them, for the encrypted and sparse
// signatures). kStatusOK with *trailer filled in; kStatusNotFound when the
// file has no trailer (a raw image); kStatusUnsupported or kStatusMalformed
// with the reason in problem.
QxStatus UDIFReadTrailer(const uint8_t* tail, const uint8_t* head, size_t headLength,
                         uint64_t fileSize, UDIFTrailer* trailer, char* problem,
                         size_t problemSize);

// Parses the property list (plistLength bytes) and its block tables into
// image->runs and image->tables, checking every value against the trailer
// (already in image->trailer). On failure nothing stays allocated.
QxStatus UDIFParseTables(const uint8_t* plist, size_t plistLength, UDIFImage* image,
                         char* problem, size_t problemSize);

// Frees the tables and runs of a parsed image (the record itself is the
// caller's).
void UDIFImageFreeTables(UDIFImage* image);

// Decodes one stored run of a compressed type into exactly outLength bytes.
// kStatusMalformed when the stream is damaged, yields more or fewer bytes,
// or leaves stored bytes unused; kStatusUnsupported for another type.
QxStatus UDIFDecodeRun(uint32_t type, const uint8_t* in, size_t inLength, uint8_t* out,
                       size_t outLength);

// CRC-32 (the zlib polynomial) of length bytes, continuing from crc (0 to
// start).
uint32_t UDIFCRC32(uint32_t crc, const uint8_t* bytes, size_t length);

// Writes a sentence into problem (when there is room for one).
void UDIFSay(char* problem, size_t problemSize, const char* format, ...);
