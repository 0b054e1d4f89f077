// A library of discs: every disc image in one folder (and the discs in the
// drives named beside it) offered at once, each as a boot image of its own.
//
//   LibraryStart    reads library.conf and the ID file, offers every image
//   LibraryScan     one look at the folder, the file and the drives:
//                   images added (once their size and time held still for
//                   one look), removed or replaced; settings changed
//   LibraryList     --list: the entries, their IDs and restrictions, and
//                   why an image is left out
//   LibraryStop     every image taken away, the watch ended
//
// library.conf, beside the images (a mistake names its line and leaves
// that image out, nothing else; the file fails closed):
//
//   # comment
//   [file name of the image]
//   name = TEXT                 the name clients see (else the volume's)
//   default = yes               the default of a LIST
//   kind = install | diagnostics
//   enabled = no                left out
//   models = MODEL MODEL        client models allowed (vendor class's third
//                               field, "Talvyn5,1"); no value: every model
//   hardware = ADDR ADDR        hardware addresses allowed; no value: all
//
// Folder images (NAME.nbi, NetBootFolder.h) are entries too: their IDs,
// names, defaults and restrictions come from their descriptions, and a
// section named by the folder may set name, default and enabled. Two
// images claiming one ID: the first in byte order of file names is
// offered, the other left out (and offered once the first goes). A folder
// is taken when its description and the files it names held still for one
// look. Its booter's folder is served over TFTP under "nbi<ID>/<arch>/",
// its root image over HTTP as it is.
//
// Clients that selected an image are recorded in "clients" in the state
// folder (NetBootClients.h).
//
// Failing closed: a library.conf that exists but cannot be read (a folder
// in its place, no permission) or parsed (a line outside every section)
// leaves the last settings read in force, and says so once. At start,
// with none read yet, an unreadable file offers no image at all (any could
// be restricted) and an unparsable one none that it names. A header that
// cannot be parsed leaves out the images it could name (those whose name
// begins with its text); a file name that no header can hold ('#', a line
// break, spaces at its ends) is named in the log with a name to rename it
// to.
//
// Image IDs: 0x8100 (install) or 0x0300 (diagnostics) over an index from
// 1 to 4095 that belongs to the file name for good, taken only once the
// image is offered (a README never takes one). Within one run the index
// belongs to the file itself: another file under the name (replaced, or
// rewritten in place) takes a new index, and the old one is kept in the
// ID file under a name no file can have ("/replaced 7"), offered never
// again. The indexes live in
// library-ids in the state folder, one "INDEX<tab>FILE" line each (the name
// escaped: \\, \t, \n, \r, \xHH, so no name can make a line of its own),
// written atomically, and read strictly (a bad number, a duplicate index or
// name, a bad line: named with its line and left out); a file's line ends
// in "<tab>SIZE<tab>TIME" of the file when last offered, so that one
// replaced while the server was stopped takes a new index too; so a client's
// firmware finds the same image under the ID it remembers after a restart.
// The index also numbers the image's TFTP names ("7/booter", its
// diagnostics folder under "7/"); its HTTP name is the file's stem, made
// unique, and kept when the same file (name and identity) comes back.
//
// A folder that cannot be read keeps the last listing (said once) instead
// of taking the images away.
//
// Not here: the services (NetBootControl.h), answering BSDP.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "NetBootClients.h"
#include "QxPlatformDevice.h"
#include "QxRunLoop.h"

struct NetBootFolderImage;

namespace tamsorserve {

struct Server;

// How often the folder is looked at (seconds).
constexpr double kLibraryScanInterval = 1.0;
constexpr uint16_t kLibraryMaxIndex = 4095;
constexpr char kLibraryConfName[] = "library.conf";
constexpr char kLibraryIdsName[] = "library-ids";

// One section of library.conf.
struct LibrarySettings {
    std::string name;
    bool isDefault = false;
    bool diagnostics = false;
    bool enabled = true;
    std::string models;    // space-separated, as written
    std::string hardware;  // space-separated, lower case
    std::string problem;   // "library.conf:12: ..." when the section is wrong
    bool defaultSet = false;  // the section says default = (a folder image
    bool enabledSet = false;  // keeps its own otherwise); likewise enabled
    bool operator==(const LibrarySettings&) const = default;
};

// What LibraryParseConf found besides the sections.
struct LibraryConfFindings {
    std::vector<std::string> problems;  // lines outside every section: the file is unparsable
    // Headers that cannot be parsed: the text they begin with (which images
    // they could name) and the problem.
    std::vector<std::pair<std::string, std::string>> brokenHeaders;
};

// The size and time of the file that took an index, by file name.
using LibraryStamps = std::map<std::string, std::pair<uint64_t, int64_t>>;

// An image of the folder or a drive's disc, offered or left out.
struct LibraryImage {
    std::string file;     // file name in the folder, or the drive's path
    std::string path;     // the file's full path; empty for a drive
    std::string device;   // \\.\NAME the file is bound to, or the drive
    std::string name;     // the name clients see
    uint32_t id = 0;
    bool offered = false;
    std::string problem;  // why it is left out
    LibrarySettings settings;
    // The file when taken (volume and file numbers, size and time), then
    // the file held open while offered: its device is bound to a path that
    // opens this very file and to this identity, so that neither a file
    // renamed over it nor the file rewritten in place is ever served under
    // its name and ID (QxPlatformFileHold, DeviceBindHeldImage).
    QxFileIdentity identity{};
    QxDeviceHandle holder = kQxInvalidDeviceHandle;
    // A folder image (NAME.nbi): its description and files; shared so that
    // its address, lent to the boot image entry, outlives copies.
    std::shared_ptr<NetBootFolderImage> folder;
    bool waitsForID = false;  // left out while another image has its ID
};

struct Library {
    std::string folder;            // empty: no library
    std::string stateFolder;       // where library-ids is kept
    std::vector<std::string> drives;
    std::vector<LibraryImage> images;                 // offered and left out
    std::map<std::string, uint16_t> indexes;          // file name -> index
    // The file that holds each index in this run, and the size and time
    // it had when last offered (kept in the ID file, for after a restart):
    // another file under the name (replaced, rewritten) does not get it.
    std::map<std::string, QxFileIdentity> indexFiles;
    LibraryStamps indexStamps;
    std::set<std::string> devicesUsed;                // never bound twice
    std::map<std::string, std::pair<uint64_t, int64_t>> pending;  // seen once
    std::map<std::string, LibrarySettings> settings;  // from library.conf
    LibraryConfFindings conf;                         // of the settings in force
    int64_t confModified = -1;
    std::unique_ptr<NetBootClients> clients;  // records of clients served
    bool confRead = false;       // the settings are a library.conf read whole (or none)
    std::string confTrouble;     // why library.conf is not read now (said once)
    std::string holdAll;         // at start, unreadable: every image's problem
    std::string folderTrouble;   // why the folder cannot be read now (said once)
    std::set<std::string> namesSaid;  // files whose unwritable names were said
    // Device names of images taken away, by file name and identity: the
    // same file coming back keeps its HTTP name.
    std::map<std::string, std::string> formerDevices;
    bool listing = false;  // --list: news is gathered in notes, not said
    std::vector<std::string> notes;
    QxRunLoopTimerRef timer = nullptr;
};

// The state folder: --state-dir, else $STATE_DIRECTORY, else
// $XDG_STATE_HOME/tamsor, else ~/.local/state/tamsor.
std::string LibraryStateFolder(const std::string& option);

// Parses library.conf's text into sections by file name; a wrong line
// marks its section's problem (or, outside a section, lands in
// findings->problems); a header that cannot be parsed lands in
// findings->brokenHeaders.
std::map<std::string, LibrarySettings> LibraryParseConf(const std::string& text,
                                                        LibraryConfFindings* findings);

// Whether a file name can head a section ("[NAME]"); when not, *rename
// receives a name that can.
bool LibraryNameWritable(const std::string& file, std::string* rename);

// The ID file's text of the indexes (with the stamps of the files that
// have them), and back. LibraryParseIds leaves out every line that is
// wrong and names it in problems.
std::string LibraryFormatIds(const std::map<std::string, uint16_t>& indexes,
                             const LibraryStamps* stamps = nullptr);
std::map<std::string, uint16_t> LibraryParseIds(const std::string& text,
                                                std::vector<std::string>* problems,
                                                LibraryStamps* stamps = nullptr);

// Offers every image of the folder and starts the watch. 0, or 1 with the
// reason written (no such folder, the state folder cannot be written).
int LibraryStart(Server& server);

// One look at the folder, library.conf and the drives.
void LibraryScan(Server& server, bool first);

// --list with --library. 0, or 1 when nothing can be offered.
int LibraryList(Server& server);

// How many of the server's clients chose the image (or were offered it
// first and chose nothing yet), for a status view.
size_t LibraryClientCount(const Server& server, const LibraryImage& image);

// Ends the watch and takes every image away.
void LibraryStop(Server& server);

}  // namespace tamsorserve
