// HFS+ disc image writer: builds partitioned disc images holding HFS+
// volumes, for tests, demos and fixtures.
//
// A disc image is laid out in 2048-byte device sectors: block 0 holds the
// driver descriptor "ER", blocks 1..N (in map blocks of 512 or 2048 bytes)
// the partition map entries "PM" (the map's own entry first), followed by
// the partitions. A partition may hold an HFS+ volume ("H+", version 4), a
// case-sensitive one ("HX", version 5, binary name order, compare type
// 0xBC), or an "H+" volume inside an HFS wrapper ("BD").
//
// Volumes hold nested folders, files with given, generated or host-file
// contents, hard links (indirect node files in the private folder), files
// deliberately split over many extents (the ones past the eighth go to the
// extents overflow file), and catalogs deep enough to need index nodes.
// Names arrive as UTF-8 and are stored decomposed, in the catalog order of
// the volume's kind.
//
// What it does not do: journals, resource forks, extended attributes,
// symbolic links, folder hard links; it writes whole new images only (no
// editing of an existing one).
//
//   HFSImageSpec disc;
//   HFSImageVolume& volume = disc.AddVolume("Install Disc");
//   uint32_t system = volume.AddFolder(kHFSImageRootID, "System");
//   uint32_t kernel = volume.AddPatternFile(system, "mach_kernel", 300000);
//   volume.Fragment(kernel, 12);
//   volume.AddHardLink(kHFSImageRootID, "kernel link", kernel);
//   QxStatus status = WriteDiscImage(disc, "/tmp/disc.img", nullptr, nullptr);
//
// Generated ("pattern") contents describe themselves: every 16 bytes read
// "IIIIII:OOOOOOOO\n", the file's CNID (6 decimal digits, modulo 10^6) and
// the offset of those 16 bytes (8 hexadecimal digits, modulo 2^32), so a
// wrong read names where its bytes came from. HFSImagePatternBytes gives the
// expected bytes of any range.
//
// The item builders return 0 / false on bad input or when memory runs out,
// and the writers return a status; only HFSImageSpec's two appenders can
// throw std::bad_alloc, as any std container does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QxLStatus.h"

// CNID of every volume's root folder: the parent for top-level items.
inline constexpr uint32_t kHFSImageRootID = 2;
// The first CNID handed to items that the caller adds.
inline constexpr uint32_t kHFSImageFirstItemID = 16;

enum class HFSImageKind : uint8_t {
    kPlus,           // "H+" version 4; case-insensitive name order
    kCaseSensitive,  // "HX" version 5; binary name order, keyCompareType 0xBC
};

// One HFS+ volume and its contents. Items get their CNIDs as they are added,
// counting up from kHFSImageFirstItemID; the returned CNID is what later
// calls name them by (and what sleuthkit reports as the inode number).
class HFSImageVolume {
public:
    explicit HFSImageVolume(std::string name = "Untitled");
    ~HFSImageVolume();
    HFSImageVolume(const HFSImageVolume&) = delete;
    HFSImageVolume& operator=(const HFSImageVolume&) = delete;

    // ---- Settings, checked by WriteDiscImage (kStatusBadParameter) ----
    std::string name;                     // volume (root folder) name, UTF-8
    HFSImageKind kind = HFSImageKind::kPlus;
    bool hfsWrapper = false;              // embed in an HFS wrapper ("H+" only)
    uint32_t blockSize = 4096;            // power of two, 512..65536
    uint32_t catalogNodeSize = 4096;      // power of two, 4096..32768
    uint32_t extentsNodeSize = 4096;      // power of two, 512..32768
    // At most this many records in a B-tree node, catalog or extents, leaf or
    // index (0: as many as fit; else at least 2). Small values give deep
    // trees with few items: with 4, about 20 items make a catalog of depth 3.
    uint32_t maxRecordsPerNode = 0;
    // Allocation blocks left free at the end of the volume, beyond what the
    // contents need.
    uint32_t spareBlocks = 16;
    // Every date on the volume (seconds since 1904-01-01 00:00 GMT), so that
    // images are reproducible byte for byte. Default: 2008-01-01 00:00 GMT.
    uint32_t date = 3281990400u;

    // ---- Items ----
    // Each returns the new item's CNID, or 0 when parent is not a folder of
    // this volume, the name is empty, longer than 255 UTF-16 units once
    // decomposed, holds "/" or invalid UTF-8, or memory ran out. Names equal
    // under the volume's order are refused by WriteDiscImage (kStatusBadName).
    uint32_t AddFolder(uint32_t parent, std::string_view utf8Name);
    uint32_t AddFile(uint32_t parent, std::string_view utf8Name, std::string_view contents);
    uint32_t AddPatternFile(uint32_t parent, std::string_view utf8Name, uint64_t size);
    // Contents are read from hostPath (UTF-8) when the image is written;
    // size is the number of bytes taken from the start of that file.
    uint32_t AddHostFile(uint32_t parent, std::string_view utf8Name, std::string_view hostPath,
                         uint64_t size);
    // The same, with the name given as UTF-16 units stored exactly as they
    // are (no decomposition; "/" and U+0000 allowed), for tests of unusual
    // names. 1 to 255 units.
    uint32_t AddFolderUnits(uint32_t parent, std::u16string_view units);
    uint32_t AddFileUnits(uint32_t parent, std::u16string_view units, std::string_view contents);

    // Adds a hard link named utf8Name in parent to the file fileID (a file
    // added with AddFile*, not a link). The first link turns that file into
    // an indirect node file "iNode<fileID>" in the private folder (four
    // U+0000 + "HFS+ Private Data", made in the root on demand), keeping its
    // CNID; its old place and every link become link records (type hlnk,
    // creator hfs+, special = fileID) with CNIDs of their own. Returns the
    // new link's CNID, or 0.
    uint32_t AddHardLink(uint32_t parent, std::string_view utf8Name, uint32_t fileID);

    // Splits the data of file fileID over extentCount extents (separated by
    // free blocks). More than 8 puts the rest in extents overflow records.
    // False when fileID is not a file of this volume, or extentCount is 0 or
    // larger than the file's allocation blocks.
    bool Fragment(uint32_t fileID, uint32_t extentCount);

    // CNID of the item at a slash-separated UTF-8 path from the root (""
    // is the root), with names compared exactly as they were added; 0 when
    // there is none. Links are not followed.
    uint32_t Find(std::string_view utf8Path) const;

    // Creates the folders of utf8Path that do not exist yet and returns the
    // CNID of the last one (kHFSImageRootID for ""), or 0.
    uint32_t MakeFolders(std::string_view utf8Path);

    struct Impl;
    Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// One partition map entry after the map's own entry.
struct HFSImagePartition {
    std::string name;   // pmPartName, at most 31 bytes
    std::string type;   // pmParType, at most 31 bytes ("Verin_HFS" for volumes)
    // Length in map blocks of an entry without a volume (0: an empty entry,
    // which readers skip). Ignored for volumes, which take their own size.
    uint32_t blocks = 0;
    // First block in map blocks; 0 places the partition after the previous
    // one. Lets tests make entries that overlap or point past the disc.
    uint32_t startBlock = 0;
    std::shared_ptr<HFSImageVolume> volume;  // null: the partition is zeros
};

// The whole disc.
struct HFSImageSpec {
    uint32_t mapBlockSize = 512;        // 512, 1024 or 2048
    uint32_t sectorSize = 2048;         // partitions are aligned to this
    uint32_t mapReservedBlocks = 63;    // length of the map's own entry
    std::vector<HFSImagePartition> partitions;  // in map order, from block 2

    // Appends a "Verin_HFS" entry holding a new volume and returns the volume
    // (valid as long as this disc description or a copy of its entry lives).
    // The entry is named after the volume (cut to 31 bytes).
    HFSImageVolume& AddVolume(std::string volumeName);
    // Appends an entry of another type (a driver partition, "Verin_Free").
    void AddEntry(std::string entryName, std::string entryType, uint32_t blocks);
};

// Where things landed, for tests that corrupt images on purpose. Offsets are
// in bytes from the start of the image.

// The catalog leaf records of one item (the root folder included): the
// first byte of the key of its folder or file record, and of its thread.
struct HFSImageRecordPlace {
    uint32_t cnid = 0;
    uint64_t recordOffset = 0;
    uint64_t threadOffset = 0;
};

struct HFSImageVolumeLayout {
    uint32_t mapEntry = 0;          // map block of the entry (partition name)
    uint64_t partitionOffset = 0;   // start of the partition
    uint64_t partitionSize = 0;
    uint64_t volumeOffset = 0;      // start of the HFS+ volume (after a wrapper)
    uint64_t volumeSize = 0;
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    uint32_t freeBlocks = 0;
    uint64_t catalogOffset = 0;     // node n is at catalogOffset + n * nodeSize
    uint32_t catalogNodeSize = 0;
    uint32_t catalogNodes = 0;      // total nodes of the catalog file
    uint32_t catalogDepth = 0;
    uint32_t catalogRoot = 0;
    uint64_t extentsOffset = 0;
    uint32_t extentsNodeSize = 0;
    uint32_t extentsNodes = 0;
    uint32_t extentsDepth = 0;
    uint32_t nextCatalogID = 0;
    uint32_t fileCount = 0;
    uint32_t folderCount = 0;
    uint32_t privateFolderID = 0;   // 0 without hard links
    std::vector<HFSImageRecordPlace> records;  // by CNID
};
struct HFSImageLayout {
    uint64_t imageSize = 0;
    std::vector<HFSImageVolumeLayout> volumes;  // in map order
};

// Writes the disc image to path (replacing the file). On success fills
// *layout when given. Statuses: kStatusBadParameter (settings out of range,
// a record too large for its node), kStatusBadName (two names equal under
// the volume's order, an entry name or type over 31 bytes),
// kStatusNoMemory, kStatusReadFailed (a host file shorter than its size),
// a system error number (errno) when the file cannot be written. When
// errorText is given it receives a one-line explanation of a failure.
QxStatus WriteDiscImage(const HFSImageSpec& imageSpec, const std::string& path,
                        HFSImageLayout* layout, std::string* errorText);

// The same into memory (*image is replaced), for images that tests then
// corrupt.
QxStatus BuildDiscImage(const HFSImageSpec& imageSpec, std::vector<uint8_t>* image,
                        HFSImageLayout* layout, std::string* errorText);

// The generated contents of file fileID: count bytes from offset.
void HFSImagePatternBytes(uint32_t fileID, uint64_t offset, uint8_t* buffer, size_t count);
