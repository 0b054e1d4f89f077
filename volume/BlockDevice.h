// Raw block devices: an optical drive (or an image file bound in its place,
// see DeviceBinding.h) opened by its device path, read by whole sectors or
// by any byte range.
//
// Open devices are shared: every open device sits in one process-wide list
// (newest first) and carries a reference count; the volume path layer finds
// devices there by name and takes extra references. Opening a device scans
// its partition map, so an open device always lists its HFS+ partitions.
//
// Reads first go the plain way (one positioned read, asked twice when it
// fails or comes back short: the first read after a disc change fails
// once). Then the same read goes through SCSI pass-through in pieces of 32
// sectors; when that succeeds the device uses pass-through for good. A
// read neither way can make (an unreadable sector; kStatusBusy from a drive
// that is becoming ready) fails and leaves the device as it was, and its
// first sector is kept in failedSector. Bound images (raw or .dmg, read
// through the image layer, ImageFile.h) have no pass-through: a failed
// plain read on one reports kStatusUnsupported.
// A read that would reach past the size the drive reported is refused with
// kStatusOutOfRange before anything is sent, so a damaged partition map
// cannot push a device into pass-through mode.
//
// Not here: caching (done per volume above), writing, locking. All calls
// come from the run-loop thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct ImageFile;
struct VolumePartition;

// Longest device path: 260 characters plus the NUL.
inline constexpr size_t kDevicePathCapacity = 261;
// Sectors per SCSI pass-through request.
inline constexpr uint32_t kPassThroughChunkSectors = 32;

struct BlockDevice {
    BlockDevice* next;            // open-device list, newest first
    int32_t refCount;             // 1 after open
    char path[kDevicePathCapacity];  // as passed to OpenDevice
    QxDeviceHandle handle;        // kQxInvalidDeviceHandle when not open
    uint32_t sectorSize;          // bytes per sector, from the geometry
    uint8_t* sectorBuffer;        // sectorSize bytes: partial sectors, map scan
    bool passThroughMode;         // false -> true once, never back
    VolumePartition* partitions;  // HFS+ partitions in map order, owned
    uint64_t diskSize;            // bytes, from the geometry (or image size)
    bool isImage;                 // an image file bound to the path
    uint64_t failedSector;        // first sector of the piece that failed in the
                                  // last ReadSectors, or kNoFailedSector
    ImageFile* image;             // that image (ImageFile.h), shared
};

inline constexpr uint64_t kNoFailedSector = UINT64_MAX;

// Opens path (length bytes of it, or -1 for the whole NUL-terminated text)
// as a new device with one reference, scans its partition map (a failed
// scan still opens) and pushes it on the open-device list. Never looks for
// an already open device. kStatusBadName for a path of 261 bytes or more,
// kStatusBadSize for a geometry with no sector or a disc smaller than one,
// kStatusNoMemory, or the system's error from the open or the geometry.
// kStatusBusy when the drive is becoming ready (or has just reported a new
// disc) while its map is read: nothing is opened, ask again later.
QxStatus OpenDevice(const char* path, int32_t length, BlockDevice** device);

// Drops one reference; the last one unlinks the device, releases its
// partitions (and their volumes), closes the handle and frees it.
void ReleaseDevice(BlockDevice* device);

// Reads count whole sectors from firstSector into buffer. kStatusBadSize
// when count x sectorSize exceeds 32 bits; kStatusOutOfRange for sectors
// past the end of the disc, or in pass-through mode for a first sector of
// 0xFFFFFFFF or more or a count of 0xFFFF or more; the drive's refusal as
// QxPlatformDevicePassThroughRead reports it (kStatusBusy: not ready yet).
// On a failure the buffer holds nothing worth reading.
QxStatus ReadSectors(BlockDevice* device, uint64_t firstSector, uint64_t count, void* buffer);

// Reads byteCount bytes at byteOffset. Only a partial head and tail go
// through the device's one-sector buffer; whole sectors are read in place
// with one ReadSectors call. kStatusBadParameter for a negative offset. On
// an error the bytes already copied stay in buffer.
QxStatus ReadBytes(BlockDevice* device, uint32_t byteCount, int64_t byteOffset, void* buffer);

// Where `count` disc bytes from byte `offset` on lie, as they are, in a host
// file: its handle (borrowed, valid while the device is open) and the byte
// offset there. For callers that have the system move the bytes itself
// (tamsor-disc cat). kStatusUnsupported for a drive, a .dmg, an image opened
// with an identity (ImageFileRawHandle has none), and while reads do not go
// the platform's plain way (pass-through, a test's BlockDeviceSetIO);
// kStatusOutOfRange for bytes past the end of the disc.
QxStatus DeviceHostSpan(BlockDevice* device, uint64_t offset, uint64_t count,
                        QxDeviceHandle* host, uint64_t* hostOffset);

// Head of the open-device list (newest first), or null. Not retained.
BlockDevice* OpenDeviceList();

// ---- Test hook ------------------------------------------------------------
// The two ways a device is read. Tests install their own table to make
// plain reads fail or come back short, or to watch pass-through requests.
struct BlockDeviceIO {
    // Up to byteCount bytes at byteOffset; *bytesRead = what arrived.
    QxStatus (*plainRead)(BlockDevice* device, uint64_t byteOffset, uint32_t byteCount,
                          void* buffer, uint32_t* bytesRead);
    // One READ(10) request of sectorCount (<= 32) sectors.
    QxStatus (*passThroughRead)(BlockDevice* device, uint32_t firstSector,
                                uint32_t sectorCount, void* buffer);
};

// The table that goes to the system (or to the bound image file).
const BlockDeviceIO* BlockDeviceDefaultIO();
// Installs io for every device (null: the default) and returns the one it
// replaces.
const BlockDeviceIO* BlockDeviceSetIO(const BlockDeviceIO* io);
