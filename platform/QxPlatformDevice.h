// Raw optical drives and plain host files, read-only, as the volume layer
// sees them on every system.
//
// Devices are named the Windows way on every system (\\.\CdRom0,
// \\.\CdRom1, ...). On Windows the name goes to CreateFileA as it is; on
// Linux \\.\CdRom<n> (any case) maps to /dev/sr<n> and any other name is
// opened as given. A drive is opened for reading only on Linux (a disc is
// read-only and the block layer refuses writers on a CD); Windows asks for
// read and write access because its pass-through request needs it.
//
// Pass-through reads send one SCSI READ(10) command and move at most a
// caller-chosen number of sectors; splitting a larger read into pieces is
// the caller's business (volume/BlockDevice.cpp).
//
// Error rule: a failed call reports GetLastError() or errno, or
// kStatusUnknown when that is 0.
//
// Not here: the partition map, the open-device list, image bindings, and
// any caching; those live in volume/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "QxLStatus.h"

// A HANDLE on Windows (INVALID_HANDLE_VALUE is -1), a descriptor elsewhere.
using QxDeviceHandle = intptr_t;
inline constexpr QxDeviceHandle kQxInvalidDeviceHandle = -1;

// ---- Drives ---------------------------------------------------------------

// When hostPath is this system's own name for an optical drive (/dev/sr<n>
// on Linux), writes the drive's device path (\\.\CdRom<n>) into devicePath
// and returns true. Windows has no second name: always false there.
bool QxPlatformDevicePathOf(const char* hostPath, char* devicePath, size_t size);

// Opens a drive by its device path (NUL-terminated).
QxStatus QxPlatformDeviceOpen(const char* path, QxDeviceHandle* handle);

// The drive's bytes per sector and total size in bytes (Windows: the
// 40-byte DISK_GEOMETRY_EX; Linux: BLKSSZGET and BLKGETSIZE64). Both are
// reported as the system gives them; judging them is the caller's job.
QxStatus QxPlatformDeviceGeometry(QxDeviceHandle handle, uint32_t* sectorSize,
                                  uint64_t* diskSize);

// Asks the system to let reads go past what it believes is the end of the
// volume (FSCTL_ALLOW_EXTENDED_DASD_IO). Nothing on Linux; the result is
// of no interest to anyone.
void QxPlatformDeviceAllowExtendedIO(QxDeviceHandle handle);

// One READ(10) through SCSI pass-through: sectorCount sectors of
// sectorSize bytes from firstSector into buffer. sectorCount is at most
// 0xFFFF and sectorCount x sectorSize fits in 32 bits (the caller checks).
// The SCSI status and sense data are not examined: only a failure of the
// request itself is reported.
QxStatus QxPlatformDevicePassThroughRead(QxDeviceHandle handle, uint32_t firstSector,
                                         uint32_t sectorCount, uint32_t sectorSize,
                                         void* buffer);

// ---- Drives and files alike -----------------------------------------------

// Reads up to count bytes at the absolute byte offset (64-bit) without
// moving any shared position that callers rely on. *bytesRead is the number
// that arrived; fewer than count means the end of the data was reached.
QxStatus QxPlatformDeviceReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                                void* buffer, uint32_t* bytesRead);

// Closes a drive or file handle; an invalid handle is ignored.
void QxPlatformDeviceClose(QxDeviceHandle handle);

// ---- Host files -----------------------------------------------------------

// Opens an existing host file for binary reading. A folder is refused
// (EISDIR on Linux; Windows refuses it by itself).
QxStatus QxPlatformFileOpen(const char* path, QxDeviceHandle* handle);

// The size in bytes of an open file (64-bit).
QxStatus QxPlatformFileSize(QxDeviceHandle handle, uint64_t* size);

// Reading and closing a file: QxPlatformDeviceReadAt, QxPlatformDeviceClose.

// Whether a host path names something, and if so whether it is a folder
// (the run-time library's 64-bit status query). False when it does not
// exist or cannot be queried.
bool QxPlatformPathStatus(const char* path, bool* isFolder);

// The absolute, lexically normalised form of a host path ("." and ".."
// folded, no file-system lookups), as GetFullPathNameA makes it. Fails with
// kStatusBadSize when it does not fit in size bytes with its NUL.
QxStatus QxPlatformFullPath(const char* path, char* buffer, size_t size);

// Makes a standard stream carry bytes unchanged (no newline translation on
// Windows); nothing elsewhere. For tools that write file contents out.
void QxPlatformSetBinaryStream(FILE* stream);
