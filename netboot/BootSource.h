// Boot sources: what the network boot services offer for the disc the user
// chose.
//
// An install disc is recognised by a few files on its HFS+ volume (paths
// from the volume root):
//
//   path                                                 kind    checked by
//   System/Installation                                  folder  strict only
//   usr/standalone/i386/boot.efi                         file    strict, loose
//   mach_kernel                                          file    strict, loose
//   System/Library/Extensions.mkext                      file    strict, loose
//   System/Library/CoreServices/SystemVersion.plist      file    strict, loose
//   System/Library/CoreServices/.diagnostics/diags.efi   file    diagnostics
//
// Preparing a disc makes one boot image entry (what the BSDP responder
// advertises), fills the boot file map (which TFTP names give which files)
// and publishes the disc on the disc image HTTP service. Both lists are
// process-wide and newest first, so a disc prepared later wins for the
// same names. Boot file map:
//
//   kind    selects by                          serves
//   exact   name equal (case-sensitive)         target, a volume file path
//   folder  any name, prefix and one "/" cut    target folder + rest, only if
//                                               the canonical path stays in it
//
//   installation   1/booter            -> <volume>/usr/standalone/i386/boot.efi
//                  1/mach.orvane       -> <volume>/mach_kernel
//                  1/mach.orvane.mkext -> <volume>/System/Library/Extensions.mkext
//   diagnostics    1/booter            -> <volume>/System/Library/CoreServices/
//                                         .diagnostics/diags.efi
//                  folder <volume>/System/Library/CoreServices/.diagnostics/
//                  prefix "/System/Library/CoreServices/.diagnostics"
//   diagnostics of one of several images (PrepareNumberedBootSource):
//                  N/booter            -> the diagnostics booter
//                  folder, prefix "N" required: "N/x" -> the folder's x,
//                  so that each image's names are its own
//
// Everything runs on the run-loop thread; nothing is locked. Not here:
// serving the files (TFTPServer.h), answering BSDP, starting and stopping
// the servers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"

struct VolumeFile;
struct NetBootFolderImage;

// Text fields of a boot image entry: 260 characters and the NUL.
inline constexpr size_t kBootTextCapacity = 261;

inline constexpr uint32_t kBootImageIDInstall = 0x81000001;
inline constexpr uint32_t kBootImageIDDiagnostics = 0x03000001;
inline constexpr uint16_t kBootImagePriority = 32766;
// Space-separated restriction lists of an entry: the text and the NUL.
inline constexpr size_t kBootListCapacity = 1024;

// The diagnostics booter, relative to the volume root.
inline constexpr const char* kBootDiagnosticsFile =
    "System/Library/CoreServices/.diagnostics/diags.efi";

// One prepared disc.
struct BootImageEntry {
    BootImageEntry* next;                 // older entry
    char volumePath[kBootTextCapacity];   // as passed: pfs:\\.\CdRom0#2
    char volumeName[kBootTextCapacity];   // UTF-8 volume name
    char imageName[kBootTextCapacity];    // device without "\\.\": CdRom0
    char bootFileName[kBootTextCapacity]; // 1/booter; empty when the disc
                                          // failed the loose install check
    uint32_t imageID;                     // kBootImageIDInstall / ...Diagnostics
    uint16_t priority;                    // kBootImagePriority
    // Set by a server that offers several images; all empty, false and 1
    // for a disc prepared with PrepareBootSource.
    uint16_t bootNumber;                  // N of the "N/booter" boot file names
    char displayName[kBootTextCapacity];  // name clients see; empty: the
                                          // volume name, formatted
    char models[kBootListCapacity];       // client models allowed; empty: all
    char hardware[kBootListCapacity];     // hardware addresses allowed
                                          // ("02:00:00:11:aa:44"); empty: all
    bool isDefault;                       // the default of a LIST
    // A folder image (NetBootFolder.h), borrowed from whoever added it, who
    // keeps it until the entry is removed; null for a disc. Its own rules
    // decide who sees it, and its files are served from its folder.
    const NetBootFolderImage* folder;
};

// One boot file map entry. Texts are heap copies owned by the entry.
struct BootFileMapEntry {
    BootFileMapEntry* next;
    char* target;   // volume path of the file, or of the folder ending in "/"
    char* name;     // exact entries: the TFTP name; null for folders
    char* prefix;   // folder entries: the prefix a name may carry; else null
    bool isFolder;
    bool prefixRequired;  // folder entries: only names that begin "<prefix>/"
    uint16_t number;  // bootNumber of the entry that added it
};

// Whether the volume at volumePath carries the install-disc files of the
// table (loose), and with strict also the folder System/Installation.
// Checks run in the table's order and stop at the first miss; any failure
// counts as a miss.
bool IsInstallDisc(const char* volumePath, bool strict);

// Whether the volume carries the diagnostics booter (kBootDiagnosticsFile).
bool HasDiagnostics(const char* volumePath);

// Prepares the volume at volumePath (pfs:<device>#<partition>) for network
// boot: installation, or the diagnostics when `diagnostics` is true.
// Builds the boot image entry, adds the map entries of the table at the
// top, publishes the disc on the HTTP service (DiscShareAddImage, display
// name = volume name, image name = device without "\\.\") and pushes the
// entry at the head of the image list. A disc that fails the loose install
// check is still published and advertised, with no map entries.
// Statuses: those of resolving the path and reading its volume name;
// kStatusBadPath for a path of 261 bytes or more; kStatusBadParameter for
// an empty device name, a null path, or diagnostics without the booter;
// kStatusBadSize for a device name or a joined target over 260 bytes;
// kStatusNoMemory; DiscShareAddImage's status. A failure stops at its step;
// map entries added before it stay until the map is emptied.
QxStatus PrepareBootSource(const char* volumePath, bool diagnostics);

// PrepareBootSource for one of several images: the boot file names are
// numbered "<bootNumber>/booter" and so on (1 to 65535), the entry carries
// imageID, and *entry (may be null) receives it so that the caller can set
// its name, restrictions and default. The image name published on the HTTP
// service is the device name without "\\.\", so every image must have a
// device of its own. Statuses as PrepareBootSource; kStatusBadParameter for
// bootNumber 0 or an imageID already offered.
QxStatus PrepareNumberedBootSource(const char* volumePath, bool diagnostics, uint16_t bootNumber,
                                   uint32_t imageID, BootImageEntry** entry);

// Adds the entry of a folder image: its ID, name and priority, no boot file
// map entries (OpenBootFile asks the folder for the names under its
// prefix), and its root image published on the HTTP service as imageName
// and under urlPath (DiscShareAddFile; none when urlPath is null: a root
// image on another server, or none at all; the file must be bound to
// \\.\imageName with DeviceBindFile). Names longer than a list entry holds
// are cut at a character boundary. *entry (may be null) receives the entry.
// kStatusBadParameter for a null folder or image name or an ID already
// offered; kStatusBadSize for an image name over 260 bytes;
// kStatusNoMemory; DiscShareAddFile's status.
QxStatus AddFolderBootImage(const NetBootFolderImage* folder, const char* imageName,
                            const char* urlPath, BootImageEntry** entry);

// Takes the entry of imageID away: its boot file map entries, its image on
// the HTTP service (DiscShareRemoveImage: connections reading it finish
// with the reader they have) and the entry itself. kStatusNotFound when no
// entry has that ID.
QxStatus RemoveBootImageEntry(uint32_t imageID);

// Frees every boot file map entry.
void EmptyBootFileMap();

// Unlinks and frees every boot image entry.
void FreeBootImageEntries();

// Opens the file that the boot file map (or a folder image) gives for a TFTP name and reports
// its size in bytes; the caller closes *file with VolumeClose. kStatusNotFound
// when no entry gives a file; otherwise the open's or the size's status
// (0x8000000E for a mapped file missing from the volume), with nothing left
// open. Outputs are written only on success.
QxStatus OpenBootFile(const char* name, VolumeFile** file, uint64_t* size);

// The newest boot image entry (the one the BSDP responder advertises), or
// null. Not retained; valid until the entries are freed.
const BootImageEntry* NewestBootImageEntry();

// The newest boot file map entry, or null; follow `next` for older ones.
const BootFileMapEntry* FirstBootFileMapEntry();
