// .dmg (UDIF) writer for tests, fixtures and benchmarks: turns the bytes of
// a raw disc into a read-only .dmg of zlib, bzip2, ADC, raw or mixed runs.
//
// Written independently of the reader in volume/ (its own byte order,
// tables and encoders), and checked once against readers from elsewhere
// (tests/volume/ImageFileTests.cpp), so that the two halves cannot share a
// misreading of the format.
//
// The disc is cut into chunks of chunkSectors 512-byte sectors; a chunk of
// zeros becomes a zero-fill run (type 0, or in mixed images every other one
// an unused run, type 2); a chunk that does not shrink is stored raw. The
// block tables split the disc into tableCount equal parts, each with its
// own data offset when tableDataOffsets is set; dataForkOffset puts padding
// before the data fork. Mixed images cycle zlib, bzip2, ADC and raw over the
// chunks and carry "+beg"/"+end" comment runs. All checksums are written:
// the data fork's CRC-32, each table's and the master checksum.
//
// A damage, when asked for, makes a well-formed image wrong in one place,
// so tests can check that each is refused with its own sentence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class DMGMethod { kZlib, kBzip2, kADC, kRaw, kMixed };

enum class DMGDamage {
    kNone,
    kLZFSERun,        // the first compressed run claims LZFSE
    kLZMARun,         // ... LZMA
    kUnknownRun,      // ... an unknown type
    kEncrypted,       // an encrypted wrapper's signature at the start
    kSegmented,       // segment count 2
    kNoPlist,         // property list length 0 (an old image)
    kBinaryPlist,     // the property list starts "bplist00"
    kRunCountWrap,    // a run count of 0x06666667 (40 x it wraps to 24)
    kTableGap,        // the second table starts one sector late
    kShortTables,     // the trailer's sector count is one more than the tables
    kRunOutsideFork,  // the first compressed run points past the data fork
    kBadStream,       // one byte of the first compressed run's stream flipped
    kBadStreamLast,   // ... of the last compressed run's stream
    kShortRun,        // the first compressed run claims one sector more
    kBadVersion,      // trailer version 5
    kTableChecksum,   // the first table's CRC-32 is wrong (only verify sees it)
};

struct DMGOptions {
    DMGMethod method = DMGMethod::kZlib;
    uint32_t chunkSectors = 2048;
    uint32_t tableCount = 1;
    uint64_t dataForkOffset = 0;
    bool tableDataOffsets = false;
    DMGDamage damage = DMGDamage::kNone;
};

// The .dmg of disc (its size is rounded up to whole 512-byte sectors with
// zeros). Returns false with *error set when a compressor fails.
bool DMGWrite(const std::vector<uint8_t>& disc, const DMGOptions& options,
              std::vector<uint8_t>* image, std::string* error);

// ADC encoding of bytes (literals, short and long copies), for the writer
// and for tests of the decoder.
std::vector<uint8_t> DMGEncodeADC(const uint8_t* bytes, size_t length);

// Names for the command line: "zlib", "bzip2", "adc", "raw", "mixed"; and the
// damages by the names of their enumerators without "k" in lower case with
// dashes ("lzfse-run", "run-count-wrap", ...). False for an unknown name.
bool DMGMethodFromName(const std::string& name, DMGMethod* method);
bool DMGDamageFromName(const std::string& name, DMGDamage* damage);
