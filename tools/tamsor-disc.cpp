// tamsor-disc: looks inside a disc or a disc image the way Tamsor reads it.
//
//   tamsor-disc info IMAGE                     partition map, volumes, and
//                                              whether each volume can boot
//                                              over the network
//   tamsor-disc ls   IMAGE[#PARTITION] [PATH]  one entry per line, folders "/"
//   tamsor-disc cat  IMAGE[#PARTITION] PATH    file contents to standard output
//   tamsor-disc verify IMAGE                   a .dmg's checksums: the data
//                                              fork's CRC-32, each block
//                                              table's and the master one
//
// IMAGE is an image file (raw, or a .dmg read as the disc it stands for),
// which is bound in place of \\.\CdRom0 for the run,
// or a drive: \\.\CdRom0 on Windows, /dev/sr0 on Linux. PARTITION is a map
// entry number as the volume path layer names it ("2", "3"...); without it
// the first HFS+ partition is used. PATH is relative to the volume root,
// may start with "/", and is looked up as the reader looks names up (so
// precomposed input finds decomposed names, and case follows the volume).
//
// Errors name their status and make the exit code 1; bad usage gives 2.
// Not here: writing, listing the private folder's hidden contents, other
// partition schemes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "BootSource.h"
#include "DeviceBinding.h"
#include "HFSCatalog.h"
#include "HFSNames.h"
#include "HFSVolume.h"
#include "ImageFile.h"
#include "QxLMemory.h"
#include "QxLStatus.h"
#include "QxPlatformDevice.h"
#include "VolumePartition.h"
#include "VolumePath.h"

// Internals sit in a named namespace so that tests can compile this file
// into their own program (with TAMSOR_DISC_NO_MAIN) and call Run.
namespace tamsordisc {

const char kImageDevice[] = "\\\\.\\CdRom0";
// cat's piece, for what the system does not move itself (a file, a
// terminal): into a file on ext4, pieces of 1 MiB went out as fast as dd's
// and pieces of 256 KiB took 2 % longer.
const size_t kCatChunk = 1024u << 10;
constexpr size_t kPageSize = 4096;

struct PageAlignedDelete {
    void operator()(uint8_t* bytes) const { operator delete[](bytes, std::align_val_t{kPageSize}); }
};

struct Output {
    FILE* out;
    FILE* err;
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string StatusText(QxStatus status) {
    switch (status) {
        case kHFSNotHFSPlus: return "kHFSNotHFSPlus (0x80000003)";
        case kHFSNoMemory: return "kHFSNoMemory (0x80000009)";
        case kHFSBadTree: return "kHFSBadTree (0x8000000A)";
        case kHFSNotFound: return "kHFSNotFound (0x8000000E)";
        default: break;
    }
    const char* name = QxLStatusName(status);
    if (name != nullptr) return std::string(name) + " (" + std::to_string(status) + ")";
    if (status > 0) return "system error " + std::to_string(status);
    return "status " + std::to_string(status);
}

int Fail(const Output& io, const std::string& what, QxStatus status) {
    std::fprintf(io.err, "tamsor-disc: %s: %s\n", what.c_str(), StatusText(status).c_str());
    return 1;
}

int Usage(const Output& io) {
    std::fprintf(io.err,
                 "usage: tamsor-disc info IMAGE\n"
                 "       tamsor-disc ls IMAGE[#PARTITION] [PATH]\n"
                 "       tamsor-disc cat IMAGE[#PARTITION] PATH\n"
                 "       tamsor-disc verify IMAGE\n");
    return 2;
}

// ---- Naming the device ----------------------------------------------------

struct Target {
    std::string devicePath;  // what the volume layer opens
    std::string partition;   // empty: the first HFS+ partition
    std::string image;       // the image file bound to devicePath, if any
};

bool IsDevicePath(const std::string& text) { return text.rfind("\\\\.\\", 0) == 0; }

// Splits IMAGE[#PARTITION]. A "#" belongs to the image name when the whole
// text names something that exists.
void ParseTarget(const std::string& argument, Target* target) {
    std::string image = argument;
    bool isFolder = false;
    size_t hash = argument.rfind('#');
    if (hash != std::string::npos && !QxPlatformPathStatus(argument.c_str(), &isFolder)) {
        image = argument.substr(0, hash);
        target->partition = argument.substr(hash + 1);
    }
    char devicePath[kDevicePathCapacity];
    if (IsDevicePath(image)) {
        target->devicePath = image;
    } else if (QxPlatformDevicePathOf(image.c_str(), devicePath, sizeof devicePath)) {
        target->devicePath = devicePath;
    } else {
        target->devicePath = kImageDevice;
        target->image = image;
    }
}

// Opens an image file, or says why it cannot be read.
int OpenImage(const Output& io, const std::string& path, ImageFile** image) {
    char problem[kImageProblemCapacity];
    QxStatus status = ImageFileOpen(path.c_str(), image, problem, sizeof problem);
    if (status == kStatusOK) return 0;
    if (problem[0] == '\0') return Fail(io, "cannot open " + path, status);
    std::fprintf(io.err, "tamsor-disc: %s: %s (%s)\n", path.c_str(), problem,
                 StatusText(status).c_str());
    return 1;
}

void PrintLine(void* context, const char* line) {
    std::fprintf(static_cast<FILE*>(context), "%s\n", line);
}

// Binds the image (if any) and opens the device, holding one reference for
// the whole run so that volume paths share it.
int OpenTarget(const Output& io, const Target& target, BlockDevice** device) {
    std::string what = target.devicePath;
    if (!target.image.empty()) {
        what = target.image;
        // Opened first for its reason when it cannot be read; the device
        // below shares it.
        ImageFile* image = nullptr;
        if (int failed = OpenImage(io, target.image, &image)) return failed;
        QxStatus status = DeviceBindImage(target.devicePath.c_str(), target.image.c_str(), 0);
        if (status == kStatusOK) status = OpenDevice(target.devicePath.c_str(), -1, device);
        ImageFileRelease(image);
        if (status != kStatusOK) return Fail(io, "cannot open " + what, status);
        return 0;
    }
    QxStatus status = OpenDevice(target.devicePath.c_str(), -1, device);
    if (status != kStatusOK) return Fail(io, "cannot open " + what, status);
    return 0;
}

// The volume path of the target's partition, plus an inner path.
int VolumePathOf(const Output& io, const Target& target, BlockDevice* device,
                 const std::string& inner, std::string* path) {
    std::string partition = target.partition;
    if (partition.empty()) {
        if (device->partitions == nullptr) {
            std::fprintf(io.err, "tamsor-disc: %s: no HFS+ partition on the disc\n",
                         target.image.empty() ? target.devicePath.c_str()
                                              : target.image.c_str());
            return 1;
        }
        partition = device->partitions->name;
    }
    size_t start = inner.find_first_not_of('/');
    *path = "pfs:" + target.devicePath + "#" + partition + "/" +
            (start == std::string::npos ? std::string() : inner.substr(start));
    return 0;
}

// ---- info -------------------------------------------------------------------

std::string FieldText(const uint8_t* bytes, size_t width) {
    std::string text;
    for (size_t i = 0; i < width && bytes[i] != 0; ++i) {
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '?';
    }
    return text;
}

// Prints every map entry (the device itself keeps only the HFS+ ones).
void PrintMap(const Output& io, BlockDevice* device) {
    std::vector<uint8_t> sector(device->sectorSize);
    if (ReadSectors(device, 0, 1, sector.data()) != kStatusOK || sector.size() < 4 ||
        sector[0] != 'E' || sector[1] != 'R') {
        std::fprintf(io.out, "Partition map: none (no driver descriptor)\n");
        return;
    }
    uint32_t blockSize = Get16(&sector[2]);
    if (blockSize < 92) {
        std::fprintf(io.out, "Partition map: unusable (block size %u)\n", blockSize);
        return;
    }
    std::vector<uint8_t> entry(blockSize);
    uint64_t blocksOnDisc = device->diskSize / blockSize;
    uint32_t count = 0;
    std::fprintf(io.out, "Partition map: %u-byte blocks\n", blockSize);
    std::fprintf(io.out, "  %-5s  %-10s  %-10s  %-24s  %s\n", "entry", "start", "length",
                 "type", "name");
    for (uint64_t block = 1; block < blocksOnDisc && (block == 1 || block <= count); ++block) {
        QxStatus status = ReadBytes(device, blockSize,
                                    static_cast<int64_t>(block * blockSize), entry.data());
        if (status != kStatusOK || entry[0] != 'P' || entry[1] != 'M') {
            std::fprintf(io.out, "  %-5llu  (no entry: %s)\n",
                         static_cast<unsigned long long>(block),
                         status != kStatusOK ? StatusText(status).c_str() : "no \"PM\"");
            return;
        }
        if (block == 1) count = Get32(&entry[4]);
        std::fprintf(io.out, "  %-5llu  %-10u  %-10u  %-24s  %s\n",
                     static_cast<unsigned long long>(block), Get32(&entry[8]),
                     Get32(&entry[12]), FieldText(&entry[48], 32).c_str(),
                     FieldText(&entry[16], 32).c_str());
    }
}

int Info(const Output& io, const Target& target) {
    BlockDevice* device = nullptr;
    if (int failed = OpenTarget(io, target, &device)) return failed;
    std::fprintf(io.out, "Device: %s", device->path);
    if (!target.image.empty()) std::fprintf(io.out, " (image %s)", target.image.c_str());
    std::fprintf(io.out, "\nSector size: %u bytes\nDisc size: %llu bytes\n", device->sectorSize,
                 static_cast<unsigned long long>(device->diskSize));
    if (device->image != nullptr) {
        std::fprintf(io.out, "Image: ");
        ImageFileDescribe(device->image, PrintLine, io.out);
    }
    PrintMap(io, device);

    std::fprintf(io.out, "Volumes:\n");
    int failed = 0;
    if (device->partitions == nullptr) std::fprintf(io.out, "  none\n");
    for (VolumePartition* partition = device->partitions; partition != nullptr;
         partition = partition->next) {
        char name[kVolumeNameCapacity];
        QxStatus status = VolumeNameOfPartition(partition, name, sizeof name);
        if (status != kStatusOK) {
            failed = Fail(io, std::string("volume name of partition ") + partition->name, status);
            continue;
        }
        HFSVolume* volume = partition->volume;
        std::fprintf(io.out, "  %s  \"%s\"  %.2s%s  %u-byte blocks  offset %llu  pfs:%s#%s\n",
                     partition->name, name, reinterpret_cast<const char*>(volume->header),
                     volume->embeddedOffset != 0 ? " in an HFS wrapper" : "",
                     volume->blockSize, static_cast<unsigned long long>(partition->startOffset),
                     device->path, partition->name);
        // What the boot services would make of it: the strict install
        // check (the System/Installation folder too) and the diagnostics
        // booter.
        std::string path = std::string("pfs:") + device->path + "#" + partition->name;
        std::fprintf(io.out, "     install disc: %s  diagnostics: %s\n",
                     IsInstallDisc(path.c_str(), true) ? "yes" : "no",
                     HasDiagnostics(path.c_str()) ? "yes" : "no");
    }
    ReleaseDevice(device);
    return failed;
}

// ---- ls -----------------------------------------------------------------------

// The UTF-8 form of a name in on-disc (big-endian) units.
std::string NameText(const uint8_t* units, uint32_t count) {
    uint16_t host[kHFSMaxNameUnits];
    for (uint32_t i = 0; i < count; ++i) host[i] = Get16(units + 2 * i);
    char text[kVolumeNameCapacity];
    if (HfsNameToUtf8(host, count, text, sizeof text, nullptr) != kStatusOK) return "?";
    return text;
}

// Record i of a node: its start and end (the next record's start).
void RecordBounds(const uint8_t* node, uint32_t nodeSize, uint32_t index, uint32_t* start,
                  uint32_t* end) {
    *start = Get16(node + nodeSize - 2 * (index + 1));
    *end = Get16(node + nodeSize - 2 * (index + 2));
}

// Lists the children of folderID in catalog order: they follow the folder's
// thread record (key: folderID, empty name) along the leaf chain.
QxStatus ListFolder(const Output& io, HFSVolume* volume, uint32_t folderID) {
    HFSFork* catalog = FindFork(volume, kHFSCatalogFileID);
    if (catalog == nullptr || catalog->btree == nullptr) return kHFSBadTree;
    const BTreeControl* btree = catalog->btree;
    uint8_t key[kBTreeMaxKeyBytes];
    MakeCatalogKey(folderID, nullptr, 0, key);
    uint8_t data[16];
    BTreePosition position{};
    QxStatus status = BTreeSearch(catalog, key, sizeof data, data, &position);
    if (status == kStatusOK) {
        ++position.index;
    } else if (status != kHFSNotFound) {
        return status;
    }

    uint8_t* node = nullptr;
    uint32_t nodeSize = btree->nodeSize;
    bool done = false;
    // Each leaf at most once: a damaged chain may loop.
    for (uint32_t visited = 0; !done; ++visited) {
        if (visited > btree->nodeCount) {
            status = kHFSBadTree;
            break;
        }
        status = ReadNode(catalog, position.node, &node);
        if (status != kStatusOK) break;
        if (static_cast<int8_t>(node[8]) != -1) {
            status = kHFSBadTree;
            break;
        }
        uint16_t count;
        memcpy(&count, node + 10, sizeof count);  // host order after ReadNode
        for (uint32_t i = position.index; i < count && !done; ++i) {
            uint32_t start, end;
            RecordBounds(node, nodeSize, i, &start, &end);
            const uint8_t* record = node + start;
            if (!BTreeKeyIsValid(btree, record, end - start)) {
                status = kHFSBadTree;
                break;
            }
            if (Get32(record + 2) != folderID) {
                done = true;  // past the folder's children
                break;
            }
            uint32_t keyLength = Get16(record);
            uint32_t dataStart = 2 + keyLength + (keyLength & 1);
            if (dataStart + 2 > end - start) {
                status = kHFSBadTree;
                break;
            }
            uint16_t type = Get16(record + dataStart);
            if (type != kHFSFolderRecord && type != kHFSFileRecord) continue;
            std::string name = NameText(record + 8, Get16(record + 6));
            std::fprintf(io.out, "%s%s\n", name.c_str(), type == kHFSFolderRecord ? "/" : "");
        }
        if (status != kStatusOK) break;
        position.node = Get32(node);  // forward link
        position.index = 0;
        if (position.node == 0) done = true;
    }
    QxLFree(node);
    return status;
}

int List(const Output& io, const Target& target, const std::string& inner) {
    BlockDevice* device = nullptr;
    if (int failed = OpenTarget(io, target, &device)) return failed;
    std::string path;
    int failed = VolumePathOf(io, target, device, inner, &path);
    VolumePartition* partition = nullptr;
    const char* rest = nullptr;
    if (failed == 0) {
        QxStatus status = ResolveVolumePath(path.c_str(), &partition, &rest);
        if (status != kStatusOK) failed = Fail(io, path, status);
    }
    if (failed == 0) {
        HFSVolume* volume = partition->volume;
        uint32_t folderID = kHFSRootFolderID;
        QxStatus status = kStatusOK;
        if (*rest != '\0') {
            // Decomposition may turn one 2-byte character into 3 units.
            std::vector<uint16_t> units(4 * strlen(rest) + 4);
            size_t bytes = 0;
            status = Utf8ToHfsName(kHfsNameDecompose, rest, strlen(rest), units.data(),
                                   units.size() * 2, &bytes);
            uint32_t parent;
            uint8_t record[kHFSRecordBufferSize];
            if (status == kStatusOK) {
                status = ResolvePath(volume, kHFSRootFolderID, units.data(),
                                     static_cast<uint32_t>(bytes / 2), &parent, record);
            }
            if (status == kStatusOK && Get16(record) == kHFSFolderRecord) {
                folderID = Get32(record + 8);
            } else if (status == kStatusOK) {
                // A file lists as itself.
                const char* slash = strrchr(rest, '/');
                std::string name = slash == nullptr ? rest : slash + 1;
                std::fprintf(io.out, "%s\n", name.c_str());
                folderID = 0;
            }
        }
        if (status == kStatusOK && folderID != 0) status = ListFolder(io, volume, folderID);
        if (status != kStatusOK) failed = Fail(io, path, status);
        ReleaseVolumeRef(partition);
    }
    ReleaseDevice(device);
    return failed;
}

// ---- cat ------------------------------------------------------------------------

// Has the system send the file's bytes to out, run by run, for as long as
// they lie as they are in a host file and the system can write to out that
// way; returns how many went out.
uint64_t SendRuns(VolumeFile* file, uint64_t size, FILE* out) {
    uint64_t offset = 0;
    while (offset < size) {
        QxDeviceHandle host = kQxInvalidDeviceHandle;
        uint64_t hostOffset = 0;
        uint64_t run = 0;
        if (VolumeFileSpan(file, offset, size - offset, &host, &hostOffset, &run) != kStatusOK) {
            break;
        }
        uint64_t sent = 0;
        QxStatus status = QxPlatformFileSendToStream(host, hostOffset, run, out, &sent);
        offset += sent;
        if (status != kStatusOK) break;
    }
    return offset;
}

int Cat(const Output& io, const Target& target, const std::string& inner) {
    BlockDevice* device = nullptr;
    if (int failed = OpenTarget(io, target, &device)) return failed;
    std::string path;
    int failed = VolumePathOf(io, target, device, inner, &path);
    VolumeFile* file = nullptr;
    if (failed == 0) {
        QxStatus status = VolumeOpen(path.c_str(), &file);
        if (status != kStatusOK) failed = Fail(io, path, status);
    }
    if (failed == 0) {
        // Nothing is written yet: each piece then goes out in one write of
        // its own, not copied through the stream's buffer and cut in two.
        std::setvbuf(io.out, nullptr, _IONBF, 0);
        uint64_t size = 0;
        QxStatus status = VolumeFileSize(file, &size);
        // Runs that lie as they are in the image file the system moves
        // itself; the rest, and every byte after a refusal or a failure,
        // goes through the buffer, which then reports what went wrong.
        uint64_t offset = 0;
        if (status == kStatusOK) offset = SendRuns(file, size, io.out);
        // Not cleared first: every byte written out was read into it. On a
        // page boundary, where the system copies into it fastest.
        std::unique_ptr<uint8_t[], PageAlignedDelete> buffer(
            new (std::align_val_t{kPageSize}) uint8_t[kCatChunk]);
        while (status == kStatusOK && offset < size) {
            uint32_t piece = static_cast<uint32_t>(size - offset < kCatChunk ? size - offset
                                                                             : kCatChunk);
            status = VolumeRead(file, offset, piece, buffer.get());
            if (status == kStatusOK && std::fwrite(buffer.get(), 1, piece, io.out) != piece) {
                std::fprintf(io.err, "tamsor-disc: cannot write the output\n");
                failed = 1;
                break;
            }
            offset += piece;
        }
        if (status != kStatusOK) failed = Fail(io, path, status);
        if (failed == 0 && std::fflush(io.out) != 0) {
            std::fprintf(io.err, "tamsor-disc: cannot write the output\n");
            failed = 1;
        }
        VolumeClose(file);
    }
    ReleaseDevice(device);
    return failed;
}

// ---- verify -----------------------------------------------------------------

int Verify(const Output& io, const Target& target) {
    if (target.image.empty()) {
        std::fprintf(io.err, "tamsor-disc: %s: a drive has no checksums to verify\n",
                     target.devicePath.c_str());
        return 1;
    }
    ImageFile* image = nullptr;
    if (int failed = OpenImage(io, target.image, &image)) return failed;
    std::fprintf(io.out, "Image: %s\n", target.image.c_str());
    ImageFileDescribe(image, PrintLine, io.out);
    QxStatus status = ImageFileVerify(image, PrintLine, io.out);
    ImageFileRelease(image);
    if (status == kStatusOK || status == kStatusUnsupported) {
        std::fprintf(io.out, "%s\n", status == kStatusOK ? "All checksums match."
                                                          : "Nothing to verify.");
        return 0;
    }
    if (status == kStatusMalformed) {
        std::fprintf(io.err, "tamsor-disc: %s: the image is damaged\n", target.image.c_str());
        return 1;
    }
    return Fail(io, "cannot verify " + target.image, status);
}

// The whole command; leaves nothing open or bound behind.
int Run(int argc, char** argv, FILE* out, FILE* err) {
    Output io{out, err};
    if (argc < 3) return Usage(io);
    std::string command = argv[1];
    Target target;
    ParseTarget(argv[2], &target);
    int result;
    if (command == "info" && argc == 3) {
        result = Info(io, target);
    } else if (command == "ls" && (argc == 3 || argc == 4)) {
        result = List(io, target, argc == 4 ? argv[3] : "");
    } else if (command == "cat" && argc == 4) {
        result = Cat(io, target, argv[3]);
    } else if (command == "verify" && argc == 3) {
        result = Verify(io, target);
    } else {
        return Usage(io);
    }
    if (!target.image.empty()) DeviceUnbind(target.devicePath.c_str());
    return result;
}

}  // namespace tamsordisc

#ifndef TAMSOR_DISC_NO_MAIN
int main(int argc, char** argv) {
    QxPlatformSetBinaryStream(stdout);
    return tamsordisc::Run(argc, argv, stdout, stderr);
}
#endif
