// Opening, sharing and reading block devices; see BlockDevice.h.
//
// The read logic (byte ranges split into head, body and tail; the switch to
// pass-through; 32-sector pieces) lives here, above the platform calls, so
// that it runs and is tested against image files on every system.
//
// READ(10) pass-through request, as the platform layer sends it:
//
//   CDB byte  value
//   0         0x28 (READ(10))
//   2..5      first sector of the piece, big-endian
//   7..8      sectors in the piece (at most 32), big-endian
//   others    0
#include "BlockDevice.h"

#include <cstring>

#include "DeviceBinding.h"
#include "ImageFile.h"
#include "QxLMemory.h"
#include "QxPlatformDevice.h"
#include "VolumePartition.h"

namespace {

BlockDevice* gOpenDevices = nullptr;

QxStatus PlatformPlainRead(BlockDevice* device, uint64_t byteOffset, uint32_t byteCount,
                           void* buffer, uint32_t* bytesRead) {
    if (device->image != nullptr) {
        return ImageFileRead(device->image, byteOffset, byteCount, buffer, bytesRead);
    }
    return QxPlatformDeviceReadAt(device->handle, byteOffset, byteCount, buffer, bytesRead);
}

QxStatus PlatformPassThroughRead(BlockDevice* device, uint32_t firstSector,
                                 uint32_t sectorCount, void* buffer) {
    // An image file has no SCSI target behind it.
    if (device->isImage) return kStatusUnsupported;
    return QxPlatformDevicePassThroughRead(device->handle, firstSector, sectorCount,
                                           device->sectorSize, buffer);
}

const BlockDeviceIO kPlatformIO = {PlatformPlainRead, PlatformPassThroughRead};
const BlockDeviceIO* gIO = &kPlatformIO;

// Frees a device that is not (or no longer) in the open-device list.
void DestroyDevice(BlockDevice* device) {
    VolumePartition* partition = device->partitions;
    device->partitions = nullptr;
    while (partition != nullptr) {
        VolumePartition* next = partition->next;
        ReleasePartition(partition);
        partition = next;
    }
    QxPlatformDeviceClose(device->handle);
    ImageFileRelease(device->image);
    QxLFree(device->sectorBuffer);
    QxLFree(device);
}

// Opens the image bound to the path, or the drive itself, and fills in
// handle, sectorSize and diskSize.
QxStatus OpenMedium(BlockDevice* device) {
    const char* imagePath = nullptr;
    uint32_t imageSectorSize = 0;
    if (DeviceFindBinding(device->path, -1, &imagePath, &imageSectorSize)) {
        // A held file is opened only as the file it was held as.
        const QxFileIdentity* identity = DeviceBindingIdentity(device->path);
        QxStatus status =
            identity != nullptr
                ? ImageFileOpenIdentified(imagePath, identity, false, &device->image, nullptr, 0)
                : ImageFileOpen(imagePath, &device->image, nullptr, 0);
        if (status != kStatusOK) return status;
        device->isImage = true;
        device->sectorSize = imageSectorSize;
        device->diskSize = ImageFileSize(device->image);
        return kStatusOK;
    }
    QxStatus status = QxPlatformDeviceOpen(device->path, &device->handle);
    if (status != kStatusOK) return status;
    status = QxPlatformDeviceGeometry(device->handle, &device->sectorSize, &device->diskSize);
    if (status != kStatusOK) return status;
    QxPlatformDeviceAllowExtendedIO(device->handle);
    return kStatusOK;
}

QxStatus PassThroughRead(BlockDevice* device, uint64_t firstSector, uint64_t count,
                         uint8_t* buffer) {
    if (firstSector >= 0xFFFFFFFFu || count >= 0xFFFFu) return kStatusOutOfRange;
    while (count > 0) {
        uint32_t piece = count < kPassThroughChunkSectors ? static_cast<uint32_t>(count)
                                                          : kPassThroughChunkSectors;
        QxStatus status =
            gIO->passThroughRead(device, static_cast<uint32_t>(firstSector), piece, buffer);
        if (status != kStatusOK) {
            device->failedSector = firstSector;
            return status;
        }
        firstSector += piece;
        count -= piece;
        buffer += static_cast<size_t>(piece) * device->sectorSize;
    }
    return kStatusOK;
}

}  // namespace

QxStatus OpenDevice(const char* path, int32_t length, BlockDevice** device) {
    if (path == nullptr || device == nullptr) return kStatusBadParameter;
    size_t pathLength = length < 0 ? strlen(path) : static_cast<size_t>(length);
    if (pathLength >= kDevicePathCapacity) return kStatusBadName;

    auto* opened = static_cast<BlockDevice*>(QxLAllocZeroed(sizeof(BlockDevice)));
    if (opened == nullptr) return kStatusNoMemory;
    opened->handle = kQxInvalidDeviceHandle;
    opened->refCount = 1;
    opened->failedSector = kNoFailedSector;
    memcpy(opened->path, path, pathLength);
    opened->path[pathLength] = '\0';

    QxStatus status = OpenMedium(opened);
    if (status == kStatusOK &&
        (opened->sectorSize == 0 || opened->diskSize < opened->sectorSize)) {
        status = kStatusBadSize;
    }
    if (status == kStatusOK) {
        opened->sectorBuffer = static_cast<uint8_t*>(QxLAlloc(opened->sectorSize));
        if (opened->sectorBuffer == nullptr) status = kStatusNoMemory;
    }
    if (status != kStatusOK) {
        DestroyDevice(opened);
        return status;
    }

    // A disc without a readable map still opens, with what was found; a
    // drive still spinning up does not, so that it is listed once ready.
    status = ScanPartitionMap(opened);
    if (status == kStatusBusy) {
        DestroyDevice(opened);
        return status;
    }

    opened->next = gOpenDevices;
    gOpenDevices = opened;
    *device = opened;
    return kStatusOK;
}

void ReleaseDevice(BlockDevice* device) {
    if (device == nullptr || --device->refCount > 0) return;
    for (BlockDevice** link = &gOpenDevices; *link != nullptr; link = &(*link)->next) {
        if (*link == device) {
            *link = device->next;
            break;
        }
    }
    DestroyDevice(device);
}

QxStatus ReadSectors(BlockDevice* device, uint64_t firstSector, uint64_t count, void* buffer) {
    device->failedSector = kNoFailedSector;
    if (count == 0) return kStatusOK;
    uint64_t sectorSize = device->sectorSize;
    if (count > 0xFFFFFFFFu / sectorSize) return kStatusBadSize;
    // Past the end of the disc: refused here, so that a damaged map or
    // extent cannot flip the device into pass-through mode for good.
    uint64_t sectorsOnDisc = device->diskSize / sectorSize;
    if (firstSector >= sectorsOnDisc || count > sectorsOnDisc - firstSector) {
        return kStatusOutOfRange;
    }

    uint32_t byteCount = static_cast<uint32_t>(count * sectorSize);
    if (device->passThroughMode) {
        return PassThroughRead(device, firstSector, count, static_cast<uint8_t*>(buffer));
    }
    // The first read after a disc change fails once while the drive reports
    // the change, so a failed plain read is asked once more before
    // pass-through is tried.
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t bytesRead = 0;
        QxStatus status =
            gIO->plainRead(device, firstSector * sectorSize, byteCount, buffer, &bytesRead);
        if (status == kStatusOK && bytesRead == byteCount) return kStatusOK;
    }
    // Only a drive whose pass-through reads what plain reads could not is
    // switched for good; an unreadable sector or a drive that is not ready
    // yet (kStatusBusy) leaves the device reading the plain way.
    QxStatus status = PassThroughRead(device, firstSector, count, static_cast<uint8_t*>(buffer));
    if (status == kStatusOK) device->passThroughMode = true;
    return status;
}

QxStatus ReadBytes(BlockDevice* device, uint32_t byteCount, int64_t byteOffset, void* buffer) {
    if (byteOffset < 0) return kStatusBadParameter;
    if (byteCount == 0) return kStatusOK;
    uint32_t sectorSize = device->sectorSize;
    uint64_t sector = static_cast<uint64_t>(byteOffset) / sectorSize;
    uint32_t skew = static_cast<uint32_t>(static_cast<uint64_t>(byteOffset) % sectorSize);
    auto* out = static_cast<uint8_t*>(buffer);

    if (skew != 0) {
        QxStatus status = ReadSectors(device, sector, 1, device->sectorBuffer);
        if (status != kStatusOK) return status;
        uint32_t piece = sectorSize - skew < byteCount ? sectorSize - skew : byteCount;
        memcpy(out, device->sectorBuffer + skew, piece);
        out += piece;
        byteCount -= piece;
        ++sector;
    }
    uint32_t wholeSectors = byteCount / sectorSize;
    if (wholeSectors > 0) {
        QxStatus status = ReadSectors(device, sector, wholeSectors, out);
        if (status != kStatusOK) return status;
        size_t bytes = static_cast<size_t>(wholeSectors) * sectorSize;
        out += bytes;
        byteCount -= static_cast<uint32_t>(bytes);
        sector += wholeSectors;
    }
    if (byteCount > 0) {
        QxStatus status = ReadSectors(device, sector, 1, device->sectorBuffer);
        if (status != kStatusOK) return status;
        memcpy(out, device->sectorBuffer, byteCount);
    }
    return kStatusOK;
}

QxStatus DeviceHostSpan(BlockDevice* device, uint64_t offset, uint64_t count,
                        QxDeviceHandle* host, uint64_t* hostOffset) {
    if (device == nullptr || host == nullptr || hostOffset == nullptr) {
        return kStatusBadParameter;
    }
    if (offset > device->diskSize || count > device->diskSize - offset) return kStatusOutOfRange;
    QxDeviceHandle raw = device->image != nullptr ? ImageFileRawHandle(device->image)
                                                  : kQxInvalidDeviceHandle;
    if (raw == kQxInvalidDeviceHandle || device->passThroughMode || gIO != &kPlatformIO) {
        return kStatusUnsupported;
    }
    *host = raw;
    *hostOffset = offset;  // a raw image's byte n is the disc's byte n
    return kStatusOK;
}

BlockDevice* OpenDeviceList() { return gOpenDevices; }

const BlockDeviceIO* BlockDeviceDefaultIO() { return &kPlatformIO; }

const BlockDeviceIO* BlockDeviceSetIO(const BlockDeviceIO* io) {
    const BlockDeviceIO* previous = gIO;
    gIO = io != nullptr ? io : &kPlatformIO;
    return previous;
}
