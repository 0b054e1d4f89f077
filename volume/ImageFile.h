// Image files: the bytes of a disc kept in a host file, whatever form the
// file keeps them in. Everything that reads an image (the block devices of
// the volume layer, the disc image reader of the HTTP service) reads it
// through this one interface and never learns which form it has.
//
// Forms, told apart by content and never by the file's name:
//   raw   the file is the disc, byte for byte (.iso, .cdr, .img, .toast, a
//         read/write .dmg without trailer); reads are plain file reads.
//   UDIF  a .dmg with its 512-byte "koly" trailer: zero-fill, raw, zlib,
//         bzip2 and ADC runs described by block tables in an XML property
//         list. The whole table is read, checked and sorted at open (see
//         ImageUDIF.cpp); reads then find runs by binary search and decode
//         compressed runs whole into a cache shared by every user of the
//         image.
// LZFSE and LZMA images, encrypted, segmented and sparse images, and images
// without an XML property list are recognised and refused at open with a
// status and a sentence that names the kind.
//
// Open .dmg images are shared: opening one that is open already (same path,
// size and trailer) hands out the same image with one more reference, so all
// users share one decode cache. The last .dmg whose last user went stays
// known, its file closed but its tables and cache kept, until another .dmg
// goes the same way: a reader that comes back (a client's next connection)
// finds its runs decoded. Raw images are opened afresh each time, as plain
// files always were.
//
// A .dmg's runs are decoded off the run loop: a reader that must not wait
// asks for a byte range to be made ready (ImageFilePrepare) and is called
// back on the run loop once every run it covers is decoded; its ordinary
// read in the callback then copies from the cache. The decodes run in the
// process's work pool (QxWorkPool.h), one per run however many readers
// want it. A reader that reads in order has its next runs decoded before it
// asks. The cache keeps runs that readers wait for, then runs at or just
// ahead of readers active in the last seconds, then the most recently used,
// within a bound that a setting changes; runs being decoded count against
// the bound, and only a few are decoded at a time however many readers
// wait, so memory stays within it.
// Not here: writing, image bindings (DeviceBinding.h). Run-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct ImageFile;

// Longest text an open failure is explained with, NUL included.
inline constexpr size_t kImageProblemCapacity = 256;

// Most bytes of decoded runs all images together keep unless set otherwise
// (a lab of 128 readers, each with its current and next 1 MiB run, fits).
// A run larger than the bound is still decoded (runs are at most 64 MiB)
// and kept alone; runs that readers wait for are kept even above it. Runs
// lent to readers (ImageFileHold) count, and take at most half of it.
// Each open image's share follows its active readers; an image put away
// gives up its runs first.
inline constexpr uint64_t kImageCacheBytes = 256u << 20;

// The bound for all images together from now on; 0 restores
// kImageCacheBytes.
void ImageFileSetCacheLimit(uint64_t bytes);
uint64_t ImageFileCacheLimit();

struct ImageWait;
// Called on the run loop when a prepared range is ready: status 0, or the
// failure of one of its runs (a read then reports it), or kStatusCanceled
// when the work pool shut down.
using ImageReadyCallback = void (*)(void* context, QxStatus status);

// Makes [offset, offset + count) of the disc readable without decoding.
// 0: it is now (a raw image always is), and a read of it made before
// returning to the run loop copies from the cache. kQxErrorWouldBlock:
// runs are being decoded; *wait is set and callback(context, status) comes
// once on the run loop, with the range readable during the callback; the
// wait is freed after the callback or by ImageFileCancelWait, whichever
// comes first. kStatusOutOfRange past the disc's end. Notes the reader's
// position for read-ahead.
QxStatus ImageFilePrepare(ImageFile* image, uint64_t offset, uint64_t count,
                          ImageReadyCallback callback, void* context, ImageWait** wait);

// Drops a wait whose callback has not come (a reader that goes away). A
// wait not (or no longer) pending is ignored.
void ImageFileCancelWait(ImageFile* image, ImageWait* wait);
// Opens the image at path (NUL-terminated), or takes one more reference on
// the same .dmg when it is open already. When problem is not null and the open fails,
// it receives a sentence saying why (for a person; the status is for
// programs). Statuses: the system's error of the open or size query;
// kStatusUnsupported for a kind Tamsor cannot read (the sentence names it);
// kStatusMalformed for a damaged .dmg; kStatusNoMemory.
QxStatus ImageFileOpen(const char* path, ImageFile** image, char* problem, size_t problemSize);

// Opens the file at path as a raw image whatever its content: a .dmg's
// bytes as they are in the file. Statuses as ImageFileOpen's for a raw image.
QxStatus ImageFileOpenAsIs(const char* path, ImageFile** image);

// Opens the image at path as ImageFileOpen (or, asIs, ImageFileOpenAsIs)
// does, bound to the file identity describes (copied): the file opened
// must be that file, unchanged, and every later read of it is checked to
// still find it so, after the bytes are read and before they are handed
// out. A read that no longer does fails with kStatusNotAvailable and hands
// out nothing (a .dmg's runs decoded before stay good: they are the file's
// as it was); so does an open that finds another file or the file
// rewritten, with a sentence saying so. Such an image has no raw handle
// (ImageFileRawHandle), since the system's sending would skip the check.
// kStatusBadParameter for a null identity; otherwise as ImageFileOpen.
QxStatus ImageFileOpenIdentified(const char* path, const QxFileIdentity* identity, bool asIs,
                                 ImageFile** image, char* problem, size_t problemSize);

// For a file that opened as a raw disc but holds no volume: whether it is
// rather a .dmg cut short (a download or copy that stopped), because its
// last bytes hold pieces of a .dmg's trailer or property list, or its name
// ends in ".dmg". When it is, problem receives the sentence that says so.
bool ImageFileCutShort(const char* path, char* problem, size_t problemSize);

// Drops one reference; the last one closes the file, once the decodes
// still running for it are back (a .dmg's tables and cache stay until
// another .dmg is put away after it), and ends any hold left.
void ImageFileRelease(ImageFile* image);

// Size in bytes of the disc the image stands for (for a .dmg the decoded
// size, not the file's).
uint64_t ImageFileSize(const ImageFile* image);

// True for a .dmg (any form whose bytes are not the file's bytes).
bool ImageFileIsCompressed(const ImageFile* image);

struct ImageHold;
// Lends the decoded bytes [offset, offset + count) of a .dmg where they lie
// within one run that is decoded now: *bytes points at them in the cache,
// and the run stays there until ImageFileReleaseHold, so a reader sends
// them without a copy. kStatusNotFound otherwise (a raw image, a range over
// several runs or in a run not decoded, or lent runs taking half the bound
// already: read it).
QxStatus ImageFileHold(ImageFile* image, uint64_t offset, uint64_t count, const uint8_t** bytes,
                       ImageHold** hold);

// Ends a hold of ImageFileHold; null is ignored. Every hold ends before its
// reader's last reference to the image goes.
void ImageFileReleaseHold(ImageFile* image, ImageHold* hold);

// Reads up to count bytes of the disc at offset into buffer; *bytesRead is
// what arrived, less than count only at the end of a raw file. A .dmg read
// is all or nothing: kStatusMalformed when a run does not decode to exactly
// its size, the system's error when its bytes cannot be read; kStatusOutOfRange
// when offset + count passes the end of a .dmg's disc.
QxStatus ImageFileRead(ImageFile* image, uint64_t offset, uint32_t count, void* buffer,
                       uint32_t* bytesRead);

// The open file whose bytes are the disc's, for callers that have the system
// send file bytes itself; kQxInvalidDeviceHandle for a .dmg and for an image
// opened with an identity. Borrowed.
QxDeviceHandle ImageFileRawHandle(const ImageFile* image);

// Checks a .dmg's checksums: the CRC-32 of the data fork, each block table's
// CRC-32 of its decoded bytes, and the master checksum. Each finding goes to
// note as one line of text. kStatusOK when every checksum present matches,
// kStatusMalformed on a mismatch or a run that does not decode,
// kStatusUnsupported for a raw image (nothing to check), or a read error.
QxStatus ImageFileVerify(ImageFile* image, void (*note)(void* context, const char* line),
                         void* context);

// Describes the image in a few lines (form, disc size, tables and runs by
// kind) through note; a raw image gets one line.
void ImageFileDescribe(const ImageFile* image, void (*note)(void* context, const char* line),
                       void* context);

// Bytes held by the decode cache of the image now (tests and benchmarks).
uint64_t ImageFileCacheBytes(const ImageFile* image);

// Runs decoded (cache misses) since the image was opened (tests and
// benchmarks).
uint64_t ImageFileDecodedRuns(const ImageFile* image);
