// Image bindings: an image file standing in for a device path.
//
// A binding maps a device path (such as \\.\CdRom0, compared without regard
// to case) to a host image file and a sector size. OpenDevice on a bound
// path opens the image instead of a drive: the disc size is the file size,
// and there is no SCSI pass-through. Tests, tools and a headless server use
// this to work from images on every system; enumeration lists bound drives
// like real ones.
//
// A binding is looked up when a device is opened; devices already open keep
// what they opened. One process-wide table, run-loop thread only.
#pragma once

#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

// Sector size of a binding made with sectorSize 0.
inline constexpr uint32_t kDefaultImageSectorSize = 2048;

// Binds devicePath to imageFilePath (both copied), replacing any binding
// of the same path. sectorSize 0 means 2048. kStatusBadName for a device
// path of 261 bytes or more or an empty one, kStatusBadParameter for an
// empty image path or a sector size above 1 MiB, kStatusNoMemory.
QxStatus DeviceBindImage(const char* devicePath, const char* imageFilePath,
                         uint32_t sectorSize);

// Binds devicePath to a file that is served as it is: its bytes are the
// disc's, whatever form they have (a compressed .dmg is not decoded, a
// sparse image is not refused), with 512-byte sectors. Statuses as
// DeviceBindImage.
QxStatus DeviceBindFile(const char* devicePath, const char* filePath);
// Whether devicePath is bound by DeviceBindFile.
bool DeviceBindingIsAsIs(const char* devicePath);

// Binds devicePath, as DeviceBindImage with sectorSize 0, to a file held
// open (QxPlatformFileHold): imageFilePath opens it again, and identity (copied) is
// what it was when held. Whoever opens the device through this binding
// opens the image with the identity (ImageFileOpenIdentified), so the open
// is refused when the path leads to another file or to the file rewritten,
// and so is every later read that no longer finds the file so. Statuses as
// DeviceBindImage; kStatusBadParameter for a null identity.
QxStatus DeviceBindHeldImage(const char* devicePath, const char* imageFilePath,
                             const QxFileIdentity* identity);
// The identity a binding of devicePath holds its file to (borrowed; valid
// until the binding goes), or null when it holds none or there is none.
const QxFileIdentity* DeviceBindingIdentity(const char* devicePath);

// Removes the binding of devicePath; kStatusNotFound when there is none.
QxStatus DeviceUnbind(const char* devicePath);

// Removes every binding.
void DeviceUnbindAll();

// The binding of the first length bytes of devicePath (-1: NUL-terminated).
// On a match sets *imageFilePath (borrowed; valid until the binding goes)
// and *sectorSize, and returns true.
bool DeviceFindBinding(const char* devicePath, int32_t length, const char** imageFilePath,
                       uint32_t* sectorSize);
