// Boot sources: install-disc detection, the boot image entries and the boot
// file map; see BootSource.h.
//
// Both lists are plain singly linked lists, newest at the head. Map entries
// keep heap copies of their texts; the image entries are fixed-size records.
// Preparing a disc holds one reference on its device for the duration, so
// the checks and path look-ups in between share one open device.
//
// Not here: anything about the network; which entry a client sees is the
// BSDP responder's business, which file it reads the TFTP server's.
#include "BootSource.h"

#include <cstring>
#include <string>

#include "DiscShare.h"
#include "NetBootFolder.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLScan.h"
#include "VolumePath.h"

namespace {

// 260 characters of a volume path or target; the NUL makes 261.
constexpr size_t kMaxPathCharacters = kBootTextCapacity - 1;
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr size_t kDevicePrefixLength = sizeof(kDevicePrefix) - 1;
constexpr uint16_t kBootFileNumber = 1;

constexpr char kInstallationFolder[] = "System/Installation";
constexpr char kBooterFile[] = "usr/standalone/i386/boot.efi";
constexpr char kKernelFile[] = "mach_kernel";
constexpr char kExtensionsFile[] = "System/Library/Extensions.mkext";
constexpr char kSystemVersionFile[] = "System/Library/CoreServices/SystemVersion.plist";
constexpr char kDiagnosticsFolder[] = "/System/Library/CoreServices/.diagnostics";

// The files both checks require, in the order they are tried.
constexpr const char* kRequiredFiles[] = {kBooterFile, kKernelFile, kExtensionsFile,
                                          kSystemVersionFile};

BootImageEntry* gImageEntries = nullptr;
BootFileMapEntry* gFileMap = nullptr;

char* CopyText(const char* text) {
    size_t length = strlen(text);
    auto* copy = static_cast<char*>(QxLAlloc(length + 1));
    if (copy != nullptr) memcpy(copy, text, length + 1);
    return copy;
}

void FreeMapEntry(BootFileMapEntry* entry) {
    QxLFree(entry->target);
    QxLFree(entry->name);
    QxLFree(entry->prefix);
    QxLFree(entry);
}

// Pushes an entry with copies of the texts (null stays null).
QxStatus AddMapEntry(const char* target, const char* name, const char* prefix, bool isFolder,
                     uint16_t number, bool prefixRequired = false) {
    auto* entry = static_cast<BootFileMapEntry*>(QxLAllocZeroed(sizeof(BootFileMapEntry)));
    if (entry == nullptr) return kStatusNoMemory;
    entry->isFolder = isFolder;
    entry->prefixRequired = prefixRequired;
    entry->number = number;
    entry->target = CopyText(target);
    if (name != nullptr) entry->name = CopyText(name);
    if (prefix != nullptr) entry->prefix = CopyText(prefix);
    if (entry->target == nullptr || (name != nullptr && entry->name == nullptr) ||
        (prefix != nullptr && entry->prefix == nullptr)) {
        FreeMapEntry(entry);
        return kStatusNoMemory;
    }
    entry->next = gFileMap;
    gFileMap = entry;
    return kStatusOK;
}

// "%s/%s" of the volume path and a file on it: 1 to 260 characters.
QxStatus JoinTarget(const char* volumePath, const char* file, char* target) {
    int length = QxLFormatToBuffer(target, kBootTextCapacity, "%s/%s", volumePath, file);
    if (length < 1 || static_cast<size_t>(length) > kMaxPathCharacters) return kStatusBadSize;
    return kStatusOK;
}

// An exact entry: the TFTP name "<number>/<leaf>" for a file of the volume.
QxStatus AddExactEntry(const char* volumePath, const char* leafFormat, const char* file,
                       uint16_t number) {
    char name[kBootTextCapacity];
    QxLFormatToBuffer(name, sizeof(name), leafFormat, static_cast<int>(number));
    char target[kBootTextCapacity];
    QxStatus status = JoinTarget(volumePath, file, target);
    if (status != kStatusOK) return status;
    return AddMapEntry(target, name, nullptr, false, number);
}

// The diagnostics folder entry: the folder's canonical path and a "/", so
// that a prefix test on a canonical path tells whether it is inside. One of
// several images has its folder under "<number>/" only.
QxStatus AddDiagnosticsFolderEntry(const char* volumePath, uint16_t number, bool numbered) {
    char folder[kBootTextCapacity];
    int length = QxLFormatToBuffer(folder, sizeof(folder), "%s%s", volumePath,
                                   kDiagnosticsFolder);
    if (length < 1 || static_cast<size_t>(length) > kMaxPathCharacters) return kStatusBadSize;
    char canonical[kVolumePathCapacity];
    QxStatus status = FullPathOf(folder, canonical);
    if (status != kStatusOK) return status;
    char target[kBootTextCapacity];
    length = QxLFormatToBuffer(target, sizeof(target), "%s/", canonical);
    if (length < 1 || static_cast<size_t>(length) > kMaxPathCharacters) return kStatusBadSize;
    if (!numbered) return AddMapEntry(target, nullptr, kDiagnosticsFolder, true, number);
    char prefix[8];
    QxLFormatToBuffer(prefix, sizeof prefix, "%d", static_cast<int>(number));
    return AddMapEntry(target, nullptr, prefix, true, number, true);
}

// Fills the entry's texts and the map (steps 2 to 6 of the preparation).
QxStatus FillEntry(BootImageEntry* entry, VolumePartition* partition, const char* volumePath,
                   bool diagnostics, uint16_t number, bool numbered) {
    if (QxLCopyBounded(entry->volumePath, volumePath, sizeof(entry->volumePath)) >=
        sizeof(entry->volumePath)) {
        return kStatusBadPath;
    }
    QxStatus status =
        VolumeNameOfPartition(partition, entry->volumeName, sizeof(entry->volumeName));
    if (status != kStatusOK) return status;

    const char* device = nullptr;
    int32_t deviceLength = 0;
    status = SplitVolumePath(volumePath, &device, &deviceLength, nullptr, nullptr, nullptr);
    if (status != kStatusOK) return status;
    if (device != nullptr && deviceLength >= static_cast<int32_t>(kDevicePrefixLength) &&
        memcmp(device, kDevicePrefix, kDevicePrefixLength) == 0) {
        device += kDevicePrefixLength;
        deviceLength -= static_cast<int32_t>(kDevicePrefixLength);
    }
    if (device == nullptr || deviceLength <= 0) return kStatusBadParameter;
    if (static_cast<size_t>(deviceLength) >= sizeof(entry->imageName)) return kStatusBadSize;
    memcpy(entry->imageName, device, static_cast<size_t>(deviceLength));
    entry->imageName[deviceLength] = '\0';

    entry->priority = kBootImagePriority;
    entry->imageID = diagnostics ? kBootImageIDDiagnostics : kBootImageIDInstall;
    entry->bootNumber = number;

    if (diagnostics) {
        if (!HasDiagnostics(volumePath)) return kStatusBadParameter;
        QxLFormatToBuffer(entry->bootFileName, sizeof(entry->bootFileName), "%d/booter",
                          static_cast<int>(number));
        status = AddExactEntry(volumePath, "%d/booter", kBootDiagnosticsFile, number);
        if (status == kStatusOK) status = AddDiagnosticsFolderEntry(volumePath, number, numbered);
        return status;
    }
    // Not an install disc: still published and advertised, with nothing to
    // load over TFTP.
    if (!IsInstallDisc(volumePath, false)) return kStatusOK;
    QxLFormatToBuffer(entry->bootFileName, sizeof(entry->bootFileName), "%d/booter",
                      static_cast<int>(number));
    status = AddExactEntry(volumePath, "%d/booter", kBooterFile, number);
    if (status == kStatusOK) {
        status = AddExactEntry(volumePath, "%d/mach.orvane", kKernelFile, number);
    }
    if (status == kStatusOK) {
        status = AddExactEntry(volumePath, "%d/mach.orvane.mkext", kExtensionsFile, number);
    }
    return status;
}

// Opens the file and takes its size; nothing stays open on failure.
QxStatus OpenWithSize(const char* path, VolumeFile** file, uint64_t* size) {
    VolumeFile* opened = nullptr;
    QxStatus status = VolumeOpen(path, &opened);
    if (status != kStatusOK) return status;
    uint64_t bytes = 0;
    status = VolumeFileSize(opened, &bytes);
    if (status != kStatusOK) {
        VolumeClose(opened);
        return status;
    }
    *file = opened;
    *size = bytes;
    return kStatusOK;
}

// The canonical path that a folder entry gives for name, if it stays inside
// the entry's folder.
bool PathInFolder(const BootFileMapEntry* entry, const char* name, char* canonical) {
    const char* rest = name;
    if (entry->prefix != nullptr) {
        size_t prefixLength = strlen(entry->prefix);
        bool hasPrefix = strncmp(rest, entry->prefix, prefixLength) == 0;
        if (entry->prefixRequired && (!hasPrefix || rest[prefixLength] != '/')) return false;
        if (hasPrefix) rest += prefixLength;
    }
    if (*rest == '/') ++rest;
    char joined[kBootTextCapacity];
    int length = QxLFormatToBuffer(joined, sizeof(joined), "%s%s", entry->target, rest);
    if (length < 0 || static_cast<size_t>(length) > kMaxPathCharacters) return false;
    if (FullPathOf(joined, canonical) != kStatusOK) return false;
    // ".." resolved by the canonical form must not lead out of the folder.
    return strncmp(canonical, entry->target, strlen(entry->target)) == 0;
}

}  // namespace

bool IsInstallDisc(const char* volumePath, bool strict) {
    if (volumePath == nullptr) return false;
    if (strict && !PathExistsAs(volumePath, kInstallationFolder, true)) return false;
    for (const char* file : kRequiredFiles) {
        if (!PathExistsAs(volumePath, file, false)) return false;
    }
    return true;
}

bool HasDiagnostics(const char* volumePath) {
    return volumePath != nullptr && PathExistsAs(volumePath, kBootDiagnosticsFile, false);
}

QxStatus PrepareBootSource(const char* volumePath, bool diagnostics) {
    return PrepareNumberedBootSource(volumePath, diagnostics, kBootFileNumber, 0, nullptr);
}

// imageID 0: the single disc's fixed ID.
QxStatus PrepareNumberedBootSource(const char* volumePath, bool diagnostics, uint16_t bootNumber,
                                   uint32_t imageID, BootImageEntry** prepared) {
    if (volumePath == nullptr || bootNumber == 0) return kStatusBadParameter;
    for (const BootImageEntry* other = gImageEntries; imageID != 0 && other != nullptr;
         other = other->next) {
        if (other->imageID == imageID) return kStatusBadParameter;
    }
    VolumePartition* partition = nullptr;
    QxStatus status = ResolveVolumePath(volumePath, &partition, nullptr);
    if (status != kStatusOK) return status;

    auto* entry = static_cast<BootImageEntry*>(QxLAllocZeroed(sizeof(BootImageEntry)));
    status = entry != nullptr
                 ? FillEntry(entry, partition, volumePath, diagnostics, bootNumber, imageID != 0)
                 : kStatusNoMemory;
    if (status == kStatusOK) status = DiscShareAddImage(entry->volumeName, entry->imageName);
    if (status == kStatusOK) {
        if (imageID != 0) entry->imageID = imageID;
        entry->next = gImageEntries;
        gImageEntries = entry;
        if (prepared != nullptr) *prepared = entry;
    } else {
        QxLFree(entry);
    }
    ReleaseVolumeRef(partition);
    return status;
}

QxStatus AddFolderBootImage(const NetBootFolderImage* folder, const char* imageName,
                            const char* urlPath, BootImageEntry** added) {
    if (folder == nullptr || imageName == nullptr) return kStatusBadParameter;
    for (const BootImageEntry* other = gImageEntries; other != nullptr; other = other->next) {
        if (other->imageID == folder->ID()) return kStatusBadParameter;
    }
    auto* entry = static_cast<BootImageEntry*>(QxLAllocZeroed(sizeof(BootImageEntry)));
    if (entry == nullptr) return kStatusNoMemory;
    if (QxLCopyBounded(entry->imageName, imageName, sizeof entry->imageName) >=
        sizeof entry->imageName) {
        QxLFree(entry);
        return kStatusBadSize;
    }
    // A list entry's name is at most 255 bytes.
    size_t length = folder->name.size();
    if (length > 255) {
        length = 255;
        while (length > 0 && (static_cast<uint8_t>(folder->name[length]) & 0xC0) == 0x80) --length;
    }
    memcpy(entry->displayName, folder->name.data(), length);
    memcpy(entry->volumeName, folder->name.data(), length);
    entry->imageID = folder->ID();
    entry->priority = kBootImagePriority;
    entry->isDefault = folder->isDefault;
    entry->folder = folder;
    QxStatus status =
        urlPath != nullptr ? DiscShareAddFile(entry->displayName, entry->imageName, urlPath)
                           : kStatusOK;
    if (status != kStatusOK) {
        QxLFree(entry);
        return status;
    }
    entry->next = gImageEntries;
    gImageEntries = entry;
    if (added != nullptr) *added = entry;
    return kStatusOK;
}

QxStatus RemoveBootImageEntry(uint32_t imageID) {
    BootImageEntry** link = &gImageEntries;
    while (*link != nullptr && (*link)->imageID != imageID) link = &(*link)->next;
    BootImageEntry* entry = *link;
    if (entry == nullptr) return kStatusNotFound;
    *link = entry->next;
    BootFileMapEntry** mapLink = &gFileMap;
    while (BootFileMapEntry* mapEntry = *mapLink) {
        if (mapEntry->number == entry->bootNumber) {
            *mapLink = mapEntry->next;
            FreeMapEntry(mapEntry);
        } else {
            mapLink = &mapEntry->next;
        }
    }
    DiscShareRemoveImage(entry->imageName);
    QxLFree(entry);
    return kStatusOK;
}

void EmptyBootFileMap() {
    while (BootFileMapEntry* entry = gFileMap) {
        gFileMap = entry->next;
        FreeMapEntry(entry);
    }
}

void FreeBootImageEntries() {
    while (BootImageEntry* entry = gImageEntries) {
        gImageEntries = entry->next;
        QxLFree(entry);
    }
}

QxStatus OpenBootFile(const char* name, VolumeFile** file, uint64_t* size) {
    if (name == nullptr || file == nullptr || size == nullptr) return kStatusBadParameter;
    for (const BootFileMapEntry* entry = gFileMap; entry != nullptr; entry = entry->next) {
        if (entry->isFolder || entry->name == nullptr || strcmp(entry->name, name) != 0) continue;
        if (entry->target == nullptr) break;  // a name without a file: try the folders
        return OpenWithSize(entry->target, file, size);
    }
    for (const BootFileMapEntry* entry = gFileMap; entry != nullptr; entry = entry->next) {
        if (!entry->isFolder || entry->target == nullptr) continue;
        char canonical[kVolumePathCapacity];
        if (!PathInFolder(entry, name, canonical)) continue;
        return OpenWithSize(canonical, file, size);
    }
    for (const BootImageEntry* entry = gImageEntries; entry != nullptr; entry = entry->next) {
        std::string path;
        if (entry->folder == nullptr ||
            NetBootFolderResolveFile(*entry->folder, name, &path) != kStatusOK) {
            continue;
        }
        return OpenWithSize(path.c_str(), file, size);
    }
    return kStatusNotFound;
}

const BootImageEntry* NewestBootImageEntry() { return gImageEntries; }

const BootFileMapEntry* FirstBootFileMapEntry() { return gFileMap; }
