// Volume paths: one kind of path for files on the host and files on the
// HFS+ volumes of optical discs, and one set of file operations for both.
//
//   pfs:<device>#<partition>[/<rest>]      pfs:\\.\CdRom0#2/mach_kernel
//   pfs:<device>/<partition>[/<rest>]      the same file
//   anything else                          a host path
//
// The device runs from after "pfs:" (compared exactly, so "PFS:" is a host
// path) to the first "#" or "/"; the partition runs to the next "/" or the
// end; rest is UTF-8 inside the volume. Device and partition names compare
// without regard to case.
//
// Resolving a volume path holds one reference on its device; devices stay
// in the open-device list while anyone holds one, so every path on a drive
// shares one open device. Enumeration covers the drives \\.\CdRom0 and
// \\.\CdRom1 (or images bound to those paths).
//
// Not here: writing, directory listings, host paths in any text encoding
// other than the system's narrow one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageFile.h"
#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct BlockDevice;
struct VolumePartition;
struct HFSFork;

// Buffer sizes of the results below.
inline constexpr size_t kVolumePathCapacity = 261;   // 260 characters + NUL
inline constexpr size_t kVolumeNameCapacity = 781;   // 255 units as UTF-8 + NUL

// An open file: exactly one of fork and hostFile is in use.
struct VolumeFile {
    VolumePartition* partition;  // volume file: holds one device reference
    HFSFork* fork;               // volume file: its open data fork
    QxDeviceHandle hostFile;     // host file, kQxInvalidDeviceHandle otherwise
};

// Walks the HFS+ volumes of \\.\CdRom0 and \\.\CdRom1. Start zeroed.
struct VolumeIterator {
    int32_t nextDevice;          // 0 or 1; 2 when both were tried
    BlockDevice* device;         // current device (one reference) or null
    VolumePartition* partition;  // next partition to list on it, or null
    bool settling;               // a drive was becoming ready: list again soon
    const char* onlyDevice;      // set: list this device alone (borrowed),
                                 // a bound image of any name included
};

struct VolumeListing {
    char name[kVolumeNameCapacity];  // volume name, UTF-8
    char path[kVolumePathCapacity];  // "pfs:<device>#<partition>"
};

// Splits a path into its parts as (pointer, length) pairs into path. A host
// path gives device and partition null with length 0 and rest = path.
// kStatusBadPath for an empty device or one followed by neither "#" nor
// "/". Any out-pointer may be null.
QxStatus SplitVolumePath(const char* path, const char** device, int32_t* deviceLength,
                         const char** partition, int32_t* partitionLength,
                         const char** rest);

// Finds the partition of a volume path and takes one reference on its
// device: from the open-device list when there, else by opening the device
// (whose open reference becomes the caller's). *rest points into path.
// kStatusUnexpectedType for a host path, kStatusBadPath,
// kStatusNotAvailable for an open partition with no mounted volume,
// kStatusNotFound for no such partition, or the open's status.
QxStatus ResolveVolumePath(const char* path, VolumePartition** partition, const char** rest);

// Drops the device reference taken by ResolveVolumePath.
void ReleaseVolumeRef(VolumePartition* partition);

// The next volume of the drives; kStatusNotFound at the end. A drive that
// does not open, or has no partitions, is passed over.
QxStatus NextVolume(VolumeIterator* iterator, VolumeListing* listing);
// Releases the iterator's current device (when stopping early or at the end).
void VolumeIteratorFinish(VolumeIterator* iterator);

// The partition's volume name as UTF-8 into buffer (size bytes).
// kStatusUnsupported for a partition that is not HFS+, kStatusNotAvailable
// when it has no volume.
QxStatus VolumeNameOfPartition(VolumePartition* partition, char* buffer, size_t size);

// The volume name of a volume path, into a buffer of kVolumePathCapacity.
QxStatus VolumeNameOfPath(const char* path, char* name);

// The canonical full path (kVolumePathCapacity bytes): a host path made
// absolute; a volume path with its rest replaced by the item's path from
// the root ("pfs:\\.\CdRom0#2/System/../mach_kernel" gives
// "pfs:\\.\CdRom0#2/mach_kernel"). kStatusBadSize when it does not fit.
QxStatus FullPathOf(const char* path, char* fullPath);

// Whether base joined with relative ("%.*s/%s", one trailing "/" of base
// dropped) exists as a folder (wantFolder) or as a file. Any failure is false.
bool PathExistsAs(const char* base, const char* relative, bool wantFolder);

// Opens a host file or a file on a volume for reading. On failure nothing
// stays taken. Host files: the system's error (kStatusUnknown when none).
QxStatus VolumeOpen(const char* path, VolumeFile** file);

// Size of the file in bytes.
QxStatus VolumeFileSize(VolumeFile* file, uint64_t* size);

// Reads exactly count bytes at offset. Host files: kStatusReadFailed when
// fewer arrive; volume files: ReadFork's statuses (kStatusUnderrun).
QxStatus VolumeRead(VolumeFile* file, uint64_t offset, uint32_t count, void* buffer);

// Where the file's bytes [offset, offset + count) begin, as they are, in a
// host file: its handle (borrowed, valid until VolumeClose), the byte offset
// there, and how many of them (*length, at least 1, at most count) follow one
// another there. For callers that have the system move the bytes itself. A
// host file is its own span. kStatusUnsupported where the bytes are not a
// host file's as they are (DeviceHostSpan); kStatusUnderrun at or past the
// end of a volume file; otherwise MapForkBytes' statuses.
QxStatus VolumeFileSpan(VolumeFile* file, uint64_t offset, uint64_t count, QxDeviceHandle* host,
                        uint64_t* hostOffset, uint64_t* length);

// Makes the next VolumeRead of [offset, offset + count) of a volume file on
// a .dmg copy decoded bytes instead of decoding on the run loop: 0 when it
// will (always for host files, drives and raw images), kQxErrorWouldBlock
// with *wait set while runs are decoded; callback(context, status) then
// comes once on the run loop (ImageFile.h), and asking again goes on.
QxStatus VolumePrepare(VolumeFile* file, uint64_t offset, uint32_t count,
                       ImageReadyCallback callback, void* context, ImageWait** wait);

// Drops a wait of VolumePrepare whose callback has not come.
void VolumeCancelPrepare(VolumeFile* file, ImageWait* wait);

// Where on the disc the last failed VolumeRead of a volume file stopped, as
// "<device> sector <n>" (for example \\.\CdRom0 sector 4660), into text
// (size bytes). False, with text untouched, for host files and for
// failures that did not come from reading the device.
bool VolumeFailedPosition(const VolumeFile* file, char* text, size_t size);

// Closes the fork or host file, drops the device reference, frees the record.
void VolumeClose(VolumeFile* file);
