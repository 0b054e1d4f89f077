// The disc image reader's record and the table of system calls under it.
//
// The reader's logic (end probe, chunking, the switch to pass-through) calls
// the system only through DiscImageOperations, so tests can put a fake drive
// underneath: reads that fail or come up short, pass-through requests that
// are counted and sized.
#pragma once

#include <cstdint>

#include "QxLStatus.h"
#include "DiscImageReader.h"
#include "ImageFile.h"
#include "QxPlatformDevice.h"

struct DiscImageOperations {
    // A drive by its device path; an image file (raw or .dmg, through the
    // image layer, ImageFile.h) by its host path.
    QxStatus (*openDevice)(const char* path, QxDeviceHandle* handle);
    QxStatus (*openImage)(const char* path, ImageFile** image);
    QxStatus (*geometry)(QxDeviceHandle handle, uint32_t* sectorSize, uint64_t* diskSize);
    void (*allowExtendedIO)(QxDeviceHandle handle);
    // Plain read at an absolute offset; *bytesRead below count is a short read.
    QxStatus (*readAt)(QxDeviceHandle handle, uint64_t offset, uint32_t count, void* buffer,
                       uint32_t* bytesRead);
    // The same for an image: bytes of the disc it stands for.
    QxStatus (*readImage)(ImageFile* image, uint64_t offset, uint32_t count, void* buffer,
                          uint32_t* bytesRead);
    // One SCSI READ(10) of count sectors (at most 32 here).
    QxStatus (*passThroughRead)(QxDeviceHandle handle, uint32_t firstSector, uint32_t count,
                                uint32_t sectorSize, void* buffer);
    void (*close)(QxDeviceHandle handle);
    void (*closeImage)(ImageFile* image);
};

// Most sectors per pass-through request.
inline constexpr uint32_t kDiscPassThroughPiece = 32;
// Most one-sector reads of the end probe.
inline constexpr int kDiscEndProbeAttempts = 99;

struct DiscImageReader {
    QxDeviceHandle handle;
    uint32_t sectorSize;
    int64_t size;        // usable size of the medium
    int64_t position;    // next byte of the range
    int64_t end;         // end of the range, exclusive
    uint8_t* buffer;     // kDiscImageChunkSize bytes
    uint8_t* bounce;     // one sector, for partial sectors of ReadAt
    bool passThrough;    // set for good once pass-through read what plain could not
    bool image;          // an image file: no alignment needs, no pass-through
    ImageFile* imageFile;  // that image, shared with its other users
    DiscImageReadyHook readyHook;  // set: chunks of a .dmg never decode on the loop
    void* readyContext;
    ImageWait* wait;     // the image's wait for the next chunk, while pending
    bool readInPlace;    // the wait failed: the next chunk is read here, to report why
    ImageHold* hold;     // the decoded run the last chunk was lent from
    const DiscImageOperations* operations;  // the table in force at open
};

// The table used by readers opened from now on; null restores the system's.
// Returns the table that was in force. Tests only.
const DiscImageOperations* DiscImageReaderSetOperations(const DiscImageOperations* operations);

// The system's table (QxPlatformDevice.h), for tests that wrap it.
const DiscImageOperations* DiscImageReaderSystemOperations();
