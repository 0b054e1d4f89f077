// What the disc image service asks of the system beyond reading a drive:
// the eject steps, the sources of the computer's display name, and the
// local address facing a peer.
//
// Reading drives and files (open, geometry, extended access, plain and
// pass-through reads) is QxPlatformDevice.h's; the disc image reader uses
// those calls through its own table (diskimage/DiscImageReaderInternal.h).
//
// Eject steps on the two systems:
//
//   step            Windows                         Linux
//   open            CreateFileA, read/write         open(2) read-only, no delay
//   lock            FSCTL_LOCK_VOLUME               EBUSY when a file system of
//                                                   the drive is mounted
//   dismount        FSCTL_DISMOUNT_VOLUME           nothing
//   allow removal   IOCTL_STORAGE_MEDIA_REMOVAL 0   CDROM_LOCKDOOR 0
//   eject           IOCTL_STORAGE_EJECT_MEDIA       CDROMEJECT
//
// Error rule: GetLastError() or errno (socket calls: the socket error), or
// kStatusUnknown when that is 0.
#pragma once

#include <cstddef>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct sockaddr;
struct sockaddr_storage;

// ---- Eject ----------------------------------------------------------------

// Opens a drive by its device path for the eject steps below; close it with
// QxPlatformDeviceClose.
QxStatus QxPlatformDiscOpenForEject(const char* path, QxDeviceHandle* handle);
QxStatus QxPlatformDiscLockVolume(QxDeviceHandle handle);
QxStatus QxPlatformDiscDismountVolume(QxDeviceHandle handle);
QxStatus QxPlatformDiscAllowRemoval(QxDeviceHandle handle);
QxStatus QxPlatformDiscEjectMedia(QxDeviceHandle handle);

// ---- Display name sources -------------------------------------------------
// Each writes UTF-8 text, NUL-terminated, into text (size bytes, at least 1);
// a source that has nothing or fails leaves text empty, and so does one
// whose text does not fit (it is never cut).

// Windows: the LAN server comment ("srvcomment"); Linux: PRETTY_HOSTNAME of
// /etc/machine-info.
void QxPlatformHostComment(char* text, size_t size);
// Windows: the DNS host name of this computer; Linux: nothing.
void QxPlatformHostDnsName(char* text, size_t size);
// gethostname.
void QxPlatformHostName(char* text, size_t size);

// The PRETTY_HOSTNAME value of machine-info text (KEY=VALUE lines in shell
// quoting, "#" and ";" start comments) into name. True when the key was
// there. Windows has no such file: always false there.
bool QxPlatformParsePrettyHostName(const char* text, size_t length, char* name, size_t size);

// ---- Addresses ------------------------------------------------------------

// The local address of a UDP socket of the peer's family connected to
// peerAddress (peerLength bytes); the socket is closed in every case.
QxStatus QxPlatformLocalAddressFor(const struct sockaddr* peerAddress, int peerLength,
                                   struct sockaddr_storage* localAddress);
