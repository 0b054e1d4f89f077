// Raw disc image reader: any byte range of an optical drive's medium, in
// sector-aligned chunks of at most 128 KiB.
//
// A reader opens a drive by its device path (\\.\CdRom0; on Linux the
// platform layer maps it to /dev/sr0), learns the sector size and the usable
// size of the medium (the reported size, shortened to the last sector that
// can really be read when that lies within 99 sectors of the reported end),
// and serves ranges from one 128 KiB buffer. Reads go through the system's
// ordinary file reads until one fails; from then on that reader uses SCSI
// READ(10) pass-through for good.
//
// A device path bound to an image file (volume/DeviceBinding.h) reads the
// image instead, raw or .dmg (volume/ImageFile.h): the size is the disc's
// size, the sector size the binding's, and there is no pass-through (a read
// that would need it fails). A binding to a held file's identity is kept:
// the open fails with kStatusNotAvailable when the file is another or
// rewritten, and so does a chunk read after it changed.
//
// Not here: the block devices of the volume layer (volume/BlockDevice.h);
// the two never share handles. Run-loop thread only.
#pragma once

#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct DiscImageReader;

// Size of the chunk buffer: the most one chunk can hold.
inline constexpr uint32_t kDiscImageChunkSize = 0x20000;

// Opens devicePath and sets the range [*start, *end) on it as
// DiscImageReaderSetRange does, handing back the resolved range and the
// image size. Statuses: kStatusNoMemory; kStatusAlreadyInitialized; the
// system error of the open or of the geometry query; kStatusBadSize for a
// sector size of 0 or above kDiscImageChunkSize, or a medium smaller than
// one sector; the statuses of DiscImageReaderSetRange. On any failure
// nothing is left open and *reader is untouched.
QxStatus DiscImageReaderOpen(const char* devicePath, int64_t* start, int64_t* end,
                             int64_t* size, DiscImageReader** reader);

// Sets the range to deliver next. start and end are signed, end exclusive,
// end -1 meaning "to the end" (as HTTPParseRange gives them):
//   - a negative start is a suffix: end must be -1 (else kStatusOutOfRange);
//     start becomes size + start (still negative when the suffix is longer
//     than the medium: the caller must reject that) and end becomes size;
//   - otherwise an end that is negative or beyond the size becomes the size;
//   - a start not below the end is kStatusOutOfRange.
// Writes the resolved *start, *end and the image *size on success.
// kStatusBadParameter for a null reader.
QxStatus DiscImageReaderSetRange(DiscImageReader* reader, int64_t* start, int64_t* end,
                                 int64_t* size);

// The next piece of the range: *pointer points into the reader's buffer, or
// into a .dmg's decode cache (ImageFileHold), and must only be read (valid
// until the next call on this reader or its close); *length is at
// most kDiscImageChunkSize. The first piece may begin inside a sector, the
// later ones begin on sector boundaries. When the range is used up:
// *pointer null, *length 0, status 0. A read failure returns its status
// (the position does not move); kStatusOutOfRange for a range whose start is
// negative; kStatusBadParameter for a null reader.
QxStatus DiscImageReaderNextChunk(DiscImageReader* reader, uint8_t** pointer,
                                  uint32_t* length);

// Most bytes one span of DiscImageReaderNextSpan covers.
inline constexpr uint64_t kDiscImageSpanSize = 0x100000;

// The next piece of the range as a span of the open image file, nothing
// read: *file is the reader's handle (valid until its close), *offset the
// position, *length at most kDiscImageSpanSize; the position moves past it.
// For a caller that has the system send file bytes itself. Only raw image
// files qualify: kStatusUnsupported for a drive (whose reads may need
// pass-through), a .dmg (whose bytes are decoded) or a file bound to its
// identity (DeviceBindHeldImage: each read is checked, which the system's
// sending would skip), and the position stays. When the range is used up:
// *length 0, status 0. kStatusOutOfRange for a negative start;
// kStatusBadParameter for a null argument.
QxStatus DiscImageReaderNextSpan(DiscImageReader* reader, QxDeviceHandle* file,
                                 uint64_t* offset, uint64_t* length);

// Called on the run loop when the chunk a reader would not wait for is
// ready (status 0) or cannot be made (its failure; a read then reports it).
using DiscImageReadyHook = void (*)(void* context, QxStatus status);

// Makes the reader's chunks of a .dmg wait instead of decoding on the run
// loop: DiscImageReaderNextChunk then returns kQxErrorWouldBlock (position
// unchanged) while the chunk's runs are being decoded, and hook(context,
// status) follows once, after which the same call delivers the chunk. A
// null hook goes back to decoding in place. No effect on drives and raw
// images, which never wait this way.
void DiscImageReaderSetReadyHook(DiscImageReader* reader, DiscImageReadyHook hook,
                                 void* context);

// Reads length bytes of the medium at offset straight into the caller's
// buffer, without touching the range or the chunk buffer. The sector-aligned
// middle goes directly into buffer with one read; only a partial head or
// tail sector passes through a one-sector bounce buffer kept by the reader.
// A request reaching past the image end is cut at the end (*bytesRead tells
// how much arrived). kStatusOutOfRange for a negative offset or one at or
// beyond the end; kStatusBadParameter for a null reader or buffer; read
// failures as in DiscImageReaderNextChunk.
QxStatus DiscImageReaderReadAt(DiscImageReader* reader, int64_t offset, void* buffer,
                               uint32_t length, uint32_t* bytesRead);

// Sector size and usable size of the open medium (0 for a null reader).
uint32_t DiscImageReaderSectorSize(const DiscImageReader* reader);
int64_t DiscImageReaderSize(const DiscImageReader* reader);

// Whether the reader has switched to SCSI pass-through for good.
bool DiscImageReaderUsesPassThrough(const DiscImageReader* reader);

// Closes the device and frees the reader and its buffers. Null is ignored.
void DiscImageReaderClose(DiscImageReader* reader);
