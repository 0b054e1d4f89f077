// Volume paths and the file operations over host and volume files; see
// VolumePath.h.
//
// A resolved partition is reached through its device, which the open-device
// list shares between everyone who names it; the reference a caller holds is
// a reference on the device, dropped through the partition's back pointer.
#include "VolumePath.h"

#include <cstring>

#include "BlockDevice.h"
#include "HFSCatalog.h"
#include "HFSNames.h"
#include "HFSVolume.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLScan.h"
#include "VolumePartition.h"

namespace {

inline constexpr char kVolumePrefix[] = "pfs:";
inline constexpr size_t kVolumePrefixLength = sizeof(kVolumePrefix) - 1;
// Drives that enumeration looks at: \\.\CdRom0 and \\.\CdRom1.
inline constexpr int32_t kEnumeratedDrives = 2;

bool IsVolumePath(const char* path) {
    return strncmp(path, kVolumePrefix, kVolumePrefixLength) == 0;
}

VolumePartition* FindPartition(BlockDevice* device, const char* name, int32_t length) {
    for (VolumePartition* partition = device->partitions; partition != nullptr;
         partition = partition->next) {
        if (QxLCompareCountedNoCase(partition->name, name, length) == 0) return partition;
    }
    return nullptr;
}

// The partition's mounted HFS+ volume, or the reason there is none.
QxStatus MountedVolume(VolumePartition* partition, HFSVolume** volume) {
    if (partition->kind != kPartitionKindHFSPlus) return kStatusUnsupported;
    if (partition->volume == nullptr) return kStatusNotAvailable;
    *volume = partition->volume;
    return kStatusOK;
}

}  // namespace

QxStatus SplitVolumePath(const char* path, const char** device, int32_t* deviceLength,
                         const char** partition, int32_t* partitionLength,
                         const char** rest) {
    if (path == nullptr) return kStatusBadParameter;
    const char* deviceText = nullptr;
    const char* partitionText = nullptr;
    size_t deviceSize = 0;
    size_t partitionSize = 0;
    const char* restText = path;
    if (IsVolumePath(path)) {
        deviceText = path + kVolumePrefixLength;
        deviceSize = strcspn(deviceText, "#/");
        if (deviceSize == 0 || deviceText[deviceSize] == '\0') return kStatusBadPath;
        partitionText = deviceText + deviceSize + 1;
        partitionSize = strcspn(partitionText, "/");
        restText = partitionText + partitionSize;
        if (*restText == '/') ++restText;
        // Lengths travel as int32 counted text; longer paths are not paths.
        if (deviceSize > INT32_MAX || partitionSize > INT32_MAX) return kStatusBadPath;
    }
    if (device != nullptr) *device = deviceText;
    if (deviceLength != nullptr) *deviceLength = static_cast<int32_t>(deviceSize);
    if (partition != nullptr) *partition = partitionText;
    if (partitionLength != nullptr) *partitionLength = static_cast<int32_t>(partitionSize);
    if (rest != nullptr) *rest = restText;
    return kStatusOK;
}

QxStatus ResolveVolumePath(const char* path, VolumePartition** partition, const char** rest) {
    if (path == nullptr || partition == nullptr) return kStatusBadParameter;
    if (!IsVolumePath(path)) return kStatusUnexpectedType;
    const char* deviceText = nullptr;
    const char* partitionText = nullptr;
    const char* restText = nullptr;
    int32_t deviceLength = 0;
    int32_t partitionLength = 0;
    QxStatus status = SplitVolumePath(path, &deviceText, &deviceLength, &partitionText,
                                      &partitionLength, &restText);
    if (status != kStatusOK) return status;

    for (BlockDevice* device = OpenDeviceList(); device != nullptr; device = device->next) {
        if (QxLCompareCountedNoCase(device->path, deviceText, deviceLength) != 0) continue;
        VolumePartition* found = FindPartition(device, partitionText, partitionLength);
        if (found == nullptr) continue;
        if (found->volume == nullptr) return kStatusNotAvailable;
        ++device->refCount;
        *partition = found;
        if (rest != nullptr) *rest = restText;
        return kStatusOK;
    }

    BlockDevice* device = nullptr;
    status = OpenDevice(deviceText, deviceLength, &device);
    if (status != kStatusOK) return status;
    VolumePartition* found = FindPartition(device, partitionText, partitionLength);
    if (found == nullptr) {
        ReleaseDevice(device);
        return kStatusNotFound;
    }
    // The open's reference is the caller's.
    *partition = found;
    if (rest != nullptr) *rest = restText;
    return kStatusOK;
}

void ReleaseVolumeRef(VolumePartition* partition) {
    if (partition != nullptr) ReleaseDevice(partition->device);
}

QxStatus NextVolume(VolumeIterator* iterator, VolumeListing* listing) {
    if (iterator == nullptr || listing == nullptr) return kStatusBadParameter;
    while (iterator->partition == nullptr) {
        if (iterator->device != nullptr) {
            ReleaseDevice(iterator->device);
            iterator->device = nullptr;
        }
        if (iterator->nextDevice >= kEnumeratedDrives) return kStatusNotFound;
        char devicePath[kDevicePathCapacity];
        if (iterator->onlyDevice != nullptr) {
            QxLCopyBounded(devicePath, iterator->onlyDevice, sizeof(devicePath));
            iterator->nextDevice = kEnumeratedDrives;
        } else {
            QxLFormatToBuffer(devicePath, sizeof(devicePath), "\\\\.\\CdRom%d",
                              static_cast<int>(iterator->nextDevice));
            ++iterator->nextDevice;
        }
        BlockDevice* device = nullptr;
        QxStatus opened = OpenDevice(devicePath, -1, &device);
        if (opened == kStatusOK) {
            iterator->device = device;
            iterator->partition = device->partitions;
        } else if (opened == kStatusBusy) {
            iterator->settling = true;
        }
    }

    VolumePartition* partition = iterator->partition;
    // Move on first, so that a volume whose name cannot be read is reported
    // once and a caller going on past the error is not stuck on it.
    iterator->partition = partition->next;
    QxStatus status = VolumeNameOfPartition(partition, listing->name, sizeof(listing->name));
    if (status != kStatusOK) return status;
    int length = QxLFormatToBuffer(listing->path, sizeof(listing->path), "pfs:%s#%s",
                                   partition->device->path, partition->name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(listing->path)) {
        return kStatusBadSize;
    }
    return kStatusOK;
}

void VolumeIteratorFinish(VolumeIterator* iterator) {
    if (iterator == nullptr) return;
    if (iterator->device != nullptr) ReleaseDevice(iterator->device);
    iterator->device = nullptr;
    iterator->partition = nullptr;
}

QxStatus VolumeNameOfPartition(VolumePartition* partition, char* buffer, size_t size) {
    if (partition == nullptr || buffer == nullptr) return kStatusBadParameter;
    HFSVolume* volume = nullptr;
    QxStatus status = MountedVolume(partition, &volume);
    if (status != kStatusOK) return status;
    return HfsNameToUtf8(volume->volumeName, volume->volumeNameLength, buffer, size, nullptr);
}

QxStatus VolumeNameOfPath(const char* path, char* name) {
    if (name == nullptr) return kStatusBadParameter;
    VolumePartition* partition = nullptr;
    QxStatus status = ResolveVolumePath(path, &partition, nullptr);
    if (status != kStatusOK) return status;
    status = VolumeNameOfPartition(partition, name, kVolumePathCapacity);
    ReleaseVolumeRef(partition);
    return status;
}

QxStatus FullPathOf(const char* path, char* fullPath) {
    if (path == nullptr || fullPath == nullptr) return kStatusBadParameter;
    if (!IsVolumePath(path)) return QxPlatformFullPath(path, fullPath, kVolumePathCapacity);

    VolumePartition* partition = nullptr;
    const char* rest = nullptr;
    QxStatus status = ResolveVolumePath(path, &partition, &rest);
    if (status != kStatusOK) return status;
    HFSVolume* volume = nullptr;
    char canonical[kHFSFullPathBufferSize];
    status = MountedVolume(partition, &volume);
    if (status == kStatusOK) status = FullPath(volume, rest, canonical);
    ReleaseVolumeRef(partition);
    if (status != kStatusOK) return status;

    // The input up to its rest ("pfs:<device>#<partition>/"), then the
    // canonical path.
    char joined[kVolumePathCapacity];
    int length = QxLFormatToBuffer(joined, sizeof(joined), "%.*s%s",
                                   static_cast<int>(rest - path), path, canonical);
    if (length < 1 || static_cast<size_t>(length) >= sizeof(joined)) return kStatusBadSize;
    memcpy(fullPath, joined, static_cast<size_t>(length) + 1);
    return kStatusOK;
}

bool PathExistsAs(const char* base, const char* relative, bool wantFolder) {
    if (base == nullptr || relative == nullptr) return false;
    size_t baseLength = strlen(base);
    if (baseLength > 0 && base[baseLength - 1] == '/') --baseLength;
    if (baseLength > kVolumePathCapacity) return false;
    char joined[kVolumePathCapacity];
    int length = QxLFormatToBuffer(joined, sizeof(joined), "%.*s/%s",
                                   static_cast<int>(baseLength), base, relative);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(joined)) return false;

    if (!IsVolumePath(joined)) {
        bool isFolder = false;
        if (!QxPlatformPathStatus(joined, &isFolder)) return false;
        return isFolder == wantFolder;
    }
    VolumePartition* partition = nullptr;
    const char* rest = nullptr;
    if (ResolveVolumePath(joined, &partition, &rest) != kStatusOK) return false;
    bool exists = false;
    HFSVolume* volume = nullptr;
    if (MountedVolume(partition, &volume) == kStatusOK) {
        exists = ItemExistsAs(volume, rest, wantFolder);
    }
    ReleaseVolumeRef(partition);
    return exists;
}

QxStatus VolumeOpen(const char* path, VolumeFile** file) {
    if (path == nullptr || file == nullptr) return kStatusBadParameter;
    auto* opened = static_cast<VolumeFile*>(QxLAllocZeroed(sizeof(VolumeFile)));
    if (opened == nullptr) return kStatusNoMemory;
    opened->hostFile = kQxInvalidDeviceHandle;

    QxStatus status;
    if (!IsVolumePath(path)) {
        status = QxPlatformFileOpen(path, &opened->hostFile);
    } else {
        const char* rest = nullptr;
        status = ResolveVolumePath(path, &opened->partition, &rest);
        HFSVolume* volume = nullptr;
        if (status == kStatusOK) status = MountedVolume(opened->partition, &volume);
        if (status == kStatusOK) status = OpenFork(volume, rest, &opened->fork);
    }
    if (status != kStatusOK) {
        VolumeClose(opened);
        return status;
    }
    *file = opened;
    return kStatusOK;
}

QxStatus VolumeFileSize(VolumeFile* file, uint64_t* size) {
    if (file == nullptr || size == nullptr) return kStatusBadParameter;
    if (file->fork != nullptr) {
        *size = file->fork->logicalSize;
        return kStatusOK;
    }
    return QxPlatformFileSize(file->hostFile, size);
}

QxStatus VolumeRead(VolumeFile* file, uint64_t offset, uint32_t count, void* buffer) {
    if (file == nullptr || (buffer == nullptr && count > 0)) return kStatusBadParameter;
    if (file->fork != nullptr) return ReadFork(file->fork, offset, count, buffer);
    uint32_t bytesRead = 0;
    QxStatus status = QxPlatformDeviceReadAt(file->hostFile, offset, count, buffer, &bytesRead);
    if (status != kStatusOK) return status;
    return bytesRead == count ? kStatusOK : kStatusReadFailed;
}

QxStatus VolumeFileSpan(VolumeFile* file, uint64_t offset, uint64_t count, QxDeviceHandle* host,
                        uint64_t* hostOffset, uint64_t* length) {
    if (file == nullptr || host == nullptr || hostOffset == nullptr || length == nullptr ||
        count == 0) {
        return kStatusBadParameter;
    }
    if (file->fork == nullptr) {
        *host = file->hostFile;
        *hostOffset = offset;
        *length = count;
        return kStatusOK;
    }
    uint64_t deviceByte = 0;
    uint64_t run = 0;
    QxStatus status = MapForkBytes(file->fork, offset, count, &deviceByte, &run);
    if (status != kStatusOK) return status;
    status = DeviceHostSpan(file->partition->device, deviceByte, run, host, hostOffset);
    if (status != kStatusOK) return status;
    *length = run;
    return kStatusOK;
}

namespace {

ImageFile* FileImage(const VolumeFile* file) {
    if (file == nullptr || file->fork == nullptr || file->partition == nullptr) return nullptr;
    const BlockDevice* device = file->partition->device;
    return device != nullptr ? device->image : nullptr;
}

}  // namespace

QxStatus VolumePrepare(VolumeFile* file, uint64_t offset, uint32_t count,
                       ImageReadyCallback callback, void* context, ImageWait** wait) {
    if (wait == nullptr) return kStatusBadParameter;
    *wait = nullptr;
    ImageFile* image = FileImage(file);
    if (image == nullptr || !ImageFileIsCompressed(image)) return kStatusOK;
    return PrepareFork(file->fork, offset, count, image, callback, context, wait);
}

void VolumeCancelPrepare(VolumeFile* file, ImageWait* wait) {
    ImageFileCancelWait(FileImage(file), wait);
}

bool VolumeFailedPosition(const VolumeFile* file, char* text, size_t size) {
    if (file == nullptr || file->partition == nullptr || text == nullptr || size == 0) {
        return false;
    }
    const BlockDevice* device = file->partition->device;
    if (device == nullptr || device->failedSector == kNoFailedSector) return false;
    int length = QxLFormatToBuffer(text, size, "%s sector %llu", device->path,
                                   static_cast<unsigned long long>(device->failedSector));
    return length > 0 && static_cast<size_t>(length) < size;
}

void VolumeClose(VolumeFile* file) {
    if (file == nullptr) return;
    CloseFork(file->fork);
    QxPlatformDeviceClose(file->hostFile);
    ReleaseVolumeRef(file->partition);
    QxLFree(file);
}
