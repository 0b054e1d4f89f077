// HFS+ catalog lookup and file reads on a volume mounted by HFSVolume.h.
//
// Resolves slash-separated paths in the catalog (".", "..", runs of "/",
// hard links through the private folder), answers whether a path exists as a
// file or folder, rebuilds full paths from thread records, opens data forks and
// reads them by mapping offsets through the fork's extents and the extents
// overflow file. Resource forks, attributes and symbolic links are not
// interpreted (a link opens as the small file it is).
//
// Catalog leaf record data (big-endian), first u16 is the record type:
//
//   1 folder: flags u16 (2), valence u32 (4), folderID u32 (8)
//   2 file:   fileID u32 (8), special u32 (44, indirect node number of a hard
//             link), file type (48), creator (52), data fork data (88..167)
//   3/4 thread: reserved u16 (2), parentID u32 (4), name length u16 (8),
//             name units (10..)
//
// Names in and out are UTF-16 units in host order unless UTF-8 is said.
#pragma once

#include <cstdint>

#include "HFSVolume.h"
#include "ImageFile.h"

inline constexpr uint16_t kHFSFolderRecord = 1;
inline constexpr uint16_t kHFSFileRecord = 2;
inline constexpr uint16_t kHFSFolderThreadRecord = 3;
inline constexpr uint16_t kHFSFileThreadRecord = 4;

// Catalog record buffers hold this many bytes.
inline constexpr uint32_t kHFSRecordBufferSize = 520;
// FullPath's output buffer: 260 bytes of text plus the NUL.
inline constexpr uint32_t kHFSFullPathBufferSize = 261;

// Looks up (parentID, name) in the catalog and copies the record's data into
// `record` (kHFSRecordBufferSize bytes, zero-filled past the record). The name
// is cut to 255 units. kHFSNotFound when absent; kHFSBadTree when
// the record is too short for its type.
QxStatus LookupName(HFSVolume* volume, uint32_t parentID, const uint16_t* name,
                    uint32_t nameLength, uint8_t* record);

// Reads the thread record of `cnid`: copies min(*maxUnits, name length) units
// into `name` (which holds *maxUnits + 1 units), terminates them, sets
// *maxUnits to the count copied and *parentID to the thread's parent.
QxStatus ReadThread(HFSVolume* volume, uint32_t cnid, uint32_t* maxUnits, uint16_t* name,
                    uint32_t* parentID);

// Resolves `path` (length units) from folder `startFolder`: components
// split at runs of "/", each cut to 255 units; "." and ".." go through the
// folder's thread; a hard link is replaced by its indirect node file and
// ends the walk. Leading slashes are skipped. Reports the folder in which the
// last component was found and that component's catalog record
// (kHFSRecordBufferSize bytes). A path without components, a file in the
// middle of a path, ".." above the root, or a missing component give
// kHFSNotFound.
QxStatus ResolvePath(HFSVolume* volume, uint32_t startFolder, const uint16_t* path,
                     uint32_t length, uint32_t* parentFolder, uint8_t* record);

// True when the UTF-8 path (relative to the root) names a folder (wantFolder)
// or a file (!wantFolder). The empty path (or one of slashes only) names
// the root folder. Any failure is false.
bool ItemExistsAs(HFSVolume* volume, const char* utf8Path, bool wantFolder);

// Writes the canonical path of the item (components joined by "/", no leading
// slash; "" for the empty path) into `output`, which holds
// kHFSFullPathBufferSize bytes. kStatusBadSize when it would exceed 260 bytes.
QxStatus FullPath(HFSVolume* volume, const char* utf8Path, char* output);

// Opens the data fork of the file at the UTF-8 path and links it into the
// volume's fork list; the empty path (or slashes only) gives a new root
// folder pseudo-fork.
// kStatusUnexpectedType for a folder, kStatusNoResources for memory.
QxStatus OpenFork(HFSVolume* volume, const char* utf8Path, HFSFork** fork);

// Unlinks the fork from its volume and frees it (with its B-tree control).
// Null is ignored.
void CloseFork(HFSFork* fork);

// Reads exactly `count` bytes at `offset` of the fork into `buffer`.
// Reading past the end reads what there is and fails with kStatusUnderrun;
// extents that do not cover the fork give kHFSNotFound, damaged ones
// kHFSBadTree; device errors are passed through.
QxStatus ReadFork(HFSFork* fork, uint64_t offset, uint32_t count, void* buffer);

// Where the fork's bytes [offset, offset + count) begin on its device, as a
// byte offset, and how many of them (*run, at least 1) follow one another
// there: up to the end of their extent, of count, or of the fork. Statuses
// as ReadFork's; kStatusUnderrun at or past the end of the fork.
QxStatus MapForkBytes(HFSFork* fork, uint64_t offset, uint64_t count, uint64_t* deviceByte,
                      uint64_t* run);

// Asks image (the fork's device's, ImageFile.h) to make the disc bytes under
// [offset, offset + count) of the fork ready, one extent at a time: 0 when
// they are (or when the extents cannot be mapped: ReadFork then says why),
// kQxErrorWouldBlock with *wait set as ImageFilePrepare does for the first
// extent that is not. Asking again after the callback goes on from there.
QxStatus PrepareFork(HFSFork* fork, uint64_t offset, uint32_t count, ImageFile* image,
                     ImageReadyCallback callback, void* context, ImageWait** wait);
