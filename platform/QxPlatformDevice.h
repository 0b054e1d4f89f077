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
// Succeeds only when the drive answered GOOD, the transport reported no
// error and every byte asked for arrived; otherwise the buffer holds
// nothing worth reading and the status says why (see
// QxPlatformPassThroughDecode), with one line on the error stream naming
// the sectors, the SCSI status and the sense key, ASC and ASCQ.
// kStatusBusy means "not yet": the drive is becoming ready or has just
// reported a changed medium, and the same read may well work later.
QxStatus QxPlatformDevicePassThroughRead(QxDeviceHandle handle, uint32_t firstSector,
                                         uint32_t sectorCount, uint32_t sectorSize,
                                         void* buffer);

// What one pass-through request came back with, in one shape for both
// systems (Linux: sg_io_hdr; Windows: SCSI_PASS_THROUGH_DIRECT).
struct QxPassThroughAnswer {
    QxStatus callStatus;    // the request itself: 0, or the system's error
    uint8_t scsiStatus;     // 0x00 GOOD, 0x02 CHECK CONDITION, 0x08 BUSY, ...
    uint16_t hostStatus;    // transport error (Linux host_status); 0 = none
    uint16_t driverStatus;  // Linux driver_status (0x08 only flags sense data)
    uint32_t bytesMoved;    // data bytes that arrived (asked minus residual)
    uint8_t senseLength;    // valid bytes of sense
    uint8_t sense[32];      // fixed (0x70/0x71) or descriptor (0x72/0x73) format
};

// Judges an answer to a read of bytesAsked bytes. Pure: no system call.
//
//   answer                                              status
//   the request failed                                  callStatus as it is
//   GOOD (or RECOVERED ERROR sense), no transport
//     error, every byte moved                           kStatusOK
//   NOT READY, ASC 0x04 (becoming ready, in progress)   kStatusBusy
//   UNIT ATTENTION (medium changed, reset)              kStatusBusy
//   SCSI status BUSY or TASK SET FULL                   kStatusBusy
//   NOT READY, any other ASC (no medium: 0x3A)          kStatusNotAvailable
//   any other CHECK CONDITION or status, transport or
//     driver error (medium error, illegal request ...)  kStatusReadFailed
//   all fine but fewer bytes than asked                 kStatusUnderrun
//
// On a failure writes a description into text (size bytes, NUL-terminated,
// cut to fit), such as "CHECK CONDITION, sense key 0x3 (medium error),
// ASC 0x11, ASCQ 0x00"; on success text is left empty. text may be null.
QxStatus QxPlatformPassThroughDecode(const QxPassThroughAnswer* answer, uint32_t bytesAsked,
                                     char* text, size_t size);

// Tests only: when set, pass-through reads ask this double instead of the
// system; it fills buffer and the answer as a drive and driver would, and
// the answer is then judged and logged as the system's would be. Null
// restores the system call. Returns the double that was in force.
using QxPassThroughDouble = void (*)(uint32_t firstSector, uint32_t sectorCount,
                                     uint32_t sectorSize, void* buffer,
                                     QxPassThroughAnswer* answer);
QxPassThroughDouble QxPlatformDeviceSetPassThroughDouble(QxPassThroughDouble passThrough);

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

// Reads up to count bytes of an open file at offset, as QxPlatformDeviceReadAt,
// but safe from any thread at once with other reads of the same handle
// through this call (the image layer reads a .dmg's stored runs in its
// decoding threads): Linux pread; Windows ReadFile at an offset given with
// the call, never a seek followed by a read.
QxStatus QxPlatformFileReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                              void* buffer, uint32_t* bytesRead);

// Writes count bytes of an open file, from offset on, to the stream `out`
// (at its position, which moves on) with the system moving them itself
// (Linux sendfile: into a pipe the pages are handed over, into /dev/null
// they are not read at all). *sent is how many went out, also on a failure.
// kStatusUnsupported, with nothing sent, where that is not the faster way
// or the system cannot do it for this stream (a regular file, a terminal;
// Windows always): the caller then reads and writes. The stream must hold
// no buffered bytes (unbuffered, or flushed). A failure after the first
// byte is the system's error, whichever side it came from.
QxStatus QxPlatformFileSendToStream(QxDeviceHandle file, uint64_t offset, uint64_t count,
                                    FILE* out, uint64_t* sent);

// Reading and closing a file: QxPlatformDeviceReadAt (or
// QxPlatformFileReadAt), QxPlatformDeviceClose.

// Makes path hold exactly length bytes of data, atomically: written to
// path + ".new", flushed to the disc, then renamed over path, so a reader
// (or a crash) finds the old content or the new, never a part. The
// system's error of any step; the ".new" file is removed after a failure.
QxStatus QxPlatformFileReplace(const char* path, const void* data, size_t length);

// Opens the file at path to read and keeps it open as *holder (close it
// with QxPlatformDeviceClose), so that the bytes it names stay that file's
// even when another file is renamed over path or path is removed. In
// reopenPath (size bytes) comes a path that opens exactly the held file
// again for as long as the holder is open: on Linux its /proc/self/fd
// entry; on Windows path itself (the file stays replaceable, and a name
// renamed over then opens the new file: an opener that must not take it
// checks the file's identity, QxPlatformFileCheckIdentity). The system's
// error; kStatusBadSize when reopenPath is too small. Nothing is held
// after a failure.
QxStatus QxPlatformFileHold(const char* path, QxDeviceHandle* holder, char* reopenPath,
                            size_t size);

// What makes a file the file it was: which file of which volume, and its
// size and last write. A file rewritten in place (truncated and written
// again, as a copy over it does) keeps its volume and file numbers but not
// its size and time; a file renamed over a name has other numbers. Its
// status time is left out on purpose: renaming or removing a name changes
// it, and a reader of a file that is renamed away or removed keeps reading
// the bytes it opened. So a rewrite that puts back the old size and the
// old time of last write exactly is not told apart.
struct QxFileIdentity {
    uint64_t volume;   // Linux st_dev; Windows the volume's serial number
    uint64_t file;     // Linux st_ino; Windows the file index
    uint64_t size;     // bytes
    int64_t modified;  // the last write, in the system's own unit and epoch
};

// The identity of an open file, or of the file at path (followed through
// links). The system's error.
QxStatus QxPlatformFileIdentity(QxDeviceHandle handle, QxFileIdentity* identity);
QxStatus QxPlatformPathIdentity(const char* path, QxFileIdentity* identity);

// Whether two identities are one file with the same size and time.
bool QxPlatformSameFile(const QxFileIdentity* one, const QxFileIdentity* other);

// Whether the open file is still the file identity describes: kStatusOK;
// kStatusNotAvailable when it is another file, or the same rewritten
// (other size or time); the system's error when it cannot be asked. On
// Linux a read of the file followed by this check with kStatusOK read bytes
// of the file as it was: a write or a truncation changes the time or size
// before any byte of it lands. Windows sets the time as it writes, and a
// copy over a file may keep its size, so there the check is as good as
// the system's bookkeeping of the time.
QxStatus QxPlatformFileCheckIdentity(QxDeviceHandle handle, const QxFileIdentity* identity);

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
