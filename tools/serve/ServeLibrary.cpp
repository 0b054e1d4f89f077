// The library of discs; see ServeLibrary.h.
//
// Every image goes through the one-disc path: it is bound to a device name
// of its own (\\.\<stem>), its install volume is prepared as a numbered
// boot source, and the entry gets its name, restrictions and default. The
// file is held open while offered, and its device bound to a path that
// opens that very file (QxPlatformFileHold) and to the file's identity
// (volume and file numbers, size and time: DeviceBindHeldImage). Every
// open through the binding and every read after it is checked against the
// identity, after the bytes are read and before they are handed out: a
// file renamed over the image is never served under its name, not even
// before the next look (on Windows, where the path is the name, its opens
// are refused), and a file rewritten in place ends its readers at their
// next read without handing them a byte of the new content (the library
// scenario's slow reader and copy over the file). The next look makes
// either a new image: a device name is never bound to another file in one
// run, so it gets a new HTTP name, and it gets a new ID, the old one kept
// for no file (RetireReplacedIndex). Taking an image away unbinds its
// name; readers of the file renamed over keep the file they opened.
#include "ServeLibrary.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "BSDPServer.h"
#include "BootSource.h"
#include "DeviceBinding.h"
#include "NetBootClients.h"
#include "NetBootFolder.h"
#include "QxLScan.h"
#include "QxLString.h"
#include "QxPlatformDevice.h"
#include "VolumePath.h"
#include "TamsorServeInternal.h"

namespace tamsorserve {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kInstallAttributes = 0x81000000;
constexpr uint32_t kDiagnosticsAttributes = 0x03000000;

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Space-separated words, joined again by single spaces.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// "02:00:00:11:aa:44" in lower case, or empty when word is not six bytes.
std::string HardwareAddress(const std::string& word) {
    if (word.size() != 17) return std::string();
    std::string lower;
    for (size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (i % 3 == 2) {
            if (c != ':') return std::string();
        } else if (!isxdigit(static_cast<unsigned char>(c))) {
            return std::string();
        }
        lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool YesNo(const std::string& value, bool* result) {
    if (value == "yes" || value == "true" || value == "1") {
        *result = true;
    } else if (value == "no" || value == "false" || value == "0") {
        *result = false;
    } else {
        return false;
    }
    return true;
}

std::string IdsPath(const Library& library) {
    return (fs::path(library.stateFolder) / kLibraryIdsName).string();
}

// Said now, or with --list gathered for the listing.
void Note(Server& server, const std::string& text) {
    if (server.library.listing) {
        server.library.notes.push_back(text);
    } else {
        Say(server, "%s", text.c_str());
    }
}

void LoadIndexes(Server& server) {
    Library& library = server.library;
    std::ifstream in(IdsPath(library), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::vector<std::string> problems;
    library.indexes = LibraryParseIds(content.str(), &problems, &library.indexStamps);
    for (const std::string& problem : problems) {
        Note(server, IdsPath(library) + ":" + problem + "; that entry is left out.");
    }
}

QxStatus SaveIndexes(const Library& library) {
    std::string text = LibraryFormatIds(library.indexes, &library.indexStamps);
    return QxPlatformFileReplace(IdsPath(library).c_str(), text.data(), text.size());
}

// The index file has or would get: kept, else the lowest one no file has
// ever had. 0 when all are taken. Nothing is kept until KeepIndex.
uint16_t CandidateIndex(const Library& library, const std::string& file) {
    auto found = library.indexes.find(file);
    if (found != library.indexes.end()) return found->second;
    std::set<uint16_t> taken;
    for (const auto& entry : library.indexes) taken.insert(entry.second);
    // Folder images bring their own indexes.
    for (const LibraryImage& image : library.images) {
        if (image.folder != nullptr) taken.insert(static_cast<uint16_t>(image.id & 0xFFFF));
    }
    uint16_t index = 1;
    while (index <= kLibraryMaxIndex && taken.count(index) != 0) ++index;
    return index > kLibraryMaxIndex ? 0 : index;
}

// Keeps the index of an image now offered, for its file. False, with the
// reason said, when the ID file cannot be written.
bool KeepIndex(Server& server, const LibraryImage& image, uint16_t index) {
    Library& library = server.library;
    const std::string& file = image.file;
    bool stampChanged = false;
    if (!image.path.empty()) {
        library.indexFiles[file] = image.identity;
        auto stamp = std::make_pair(image.identity.size, image.identity.modified);
        stampChanged = library.indexStamps[file] != stamp;
        library.indexStamps[file] = stamp;
    }
    bool known = library.indexes.count(file) != 0;
    if (known && !stampChanged) return true;
    library.indexes[file] = index;
    QxStatus status = SaveIndexes(library);
    // The stamp is only news: the index stands even when it is not kept.
    if (status == kStatusOK || known) return true;
    library.indexes.erase(file);
    Note(server, "The image IDs cannot be kept in " + IdsPath(library) + ": " +
                     StatusText(status) + ".");
    return false;
}

// Index entries of files that were replaced are kept under this prefix: no
// file name holds a '/', so no file takes them again.
constexpr char kRetiredIndex[] = "/replaced ";

// A file under a name whose index another file held in this run (the file
// was replaced, or rewritten in place) does not get that index: it is kept
// for no file at all, so that a client that chose the old image is refused
// rather than handed this one, and the file takes a new index.
void RetireReplacedIndex(Server& server, const LibraryImage& image) {
    Library& library = server.library;
    auto owner = library.indexFiles.find(image.file);
    auto stamp = library.indexStamps.find(image.file);
    // Known in this run by its identity; from before a restart by its size
    // and time (file numbers need not last a restart of the system).
    bool replaced = owner != library.indexFiles.end()
                        ? !QxPlatformSameFile(&owner->second, &image.identity)
                        : stamp != library.indexStamps.end() &&
                              stamp->second != std::make_pair(image.identity.size,
                                                              image.identity.modified);
    if (!replaced) return;
    if (owner != library.indexFiles.end()) library.indexFiles.erase(owner);
    if (stamp != library.indexStamps.end()) library.indexStamps.erase(stamp);
    auto found = library.indexes.find(image.file);
    if (found == library.indexes.end()) return;
    uint16_t index = found->second;
    library.indexes.erase(found);
    library.indexes[kRetiredIndex + std::to_string(index)] = index;
    QxStatus status = SaveIndexes(library);
    if (status != kStatusOK) {
        Note(server, "The image IDs cannot be kept in " + IdsPath(library) + ": " +
                         StatusText(status) + ".");
    }
}

// The file name and identity: the same file, should it come back.
std::string FileKey(const std::string& file, const QxFileIdentity& identity) {
    return file + "\n" + std::to_string(identity.volume) + ":" + std::to_string(identity.file) +
           ":" + std::to_string(identity.size) + ":" + std::to_string(identity.modified);
}

// A device name for the file's stem that was never used in this run.
std::string DeviceFor(Library& library, const std::string& file) {
    std::string stem = fs::path(file).stem().string();
    std::string clean;
    for (char c : stem) {
        clean += isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c
                                                                                          : '_';
    }
    if (clean.empty()) clean = "image";
    if (clean.size() > 200) clean.resize(200);
    // Device names compare without regard to case.
    auto key = [](std::string text) {
        for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return text;
    };
    // Drive names stay the drives'.
    if (key(clean).rfind("cdrom", 0) == 0) clean = "_" + clean;
    std::string device = "\\\\.\\" + clean;
    auto taken = [&](const std::string& name) { return library.devicesUsed.count(key(name)) != 0; };
    for (int n = 2; taken(device); ++n) {
        device = "\\\\.\\" + clean + "-" + std::to_string(n);
    }
    library.devicesUsed.insert(key(device));
    return device;
}

bool FileStamp(const fs::path& path, uint64_t* size, int64_t* modified) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return false;
    *size = fs::file_size(path, error);
    if (error) return false;
    auto time = fs::last_write_time(path, error);
    if (error) return false;
    *modified =
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    return true;
}

// The identity of the ordinary file at path; false for anything else.
bool FileIdentity(const fs::path& path, QxFileIdentity* identity) {
    std::error_code error;
    return fs::is_regular_file(path, error) &&
           QxPlatformPathIdentity(path.string().c_str(), identity) == kStatusOK;
}

void Report(Server& server, const LibraryImage& image) {
    if (server.library.listing) return;
    if (!Utf8Valid(image.file) && server.library.namesSaid.insert("\n" + image.file).second) {
        Say(server, "The file name %s holds bytes that are not UTF-8: JSON and the status page "
                    "show each as U+FFFD.", image.file.c_str());
    }
    if (image.offered) {
        char id[16];
        snprintf(id, sizeof id, "%08X", image.id);
        if (server.options.json) {
            EmitJson(server, "image",
                     JsonMember("file", image.file) + JsonMember("name", image.name) +
                         JsonMember("id", id) +
                         (image.settings.isDefault ? ",\"default\":true" : ""));
        } else {
            Say(server, "Offering \"%s\" (ID %s%s) from %s.", image.name.c_str(), id,
                image.settings.isDefault ? ", the default" : "", image.file.c_str());
        }
    } else if (server.options.json) {
        EmitJson(server, "image",
                 JsonMember("file", image.file) + JsonMember("problem", image.problem));
    } else {
        Say(server, "%s is left out: %s.", image.file.c_str(), image.problem.c_str());
    }
}

void ReleaseHolder(LibraryImage& image) {
    if (image.holder != kQxInvalidDeviceHandle) QxPlatformDeviceClose(image.holder);
    image.holder = kQxInvalidDeviceHandle;
}

// The settings in force for file: its section, the problem of a header
// that could name it, or the problem that holds every image back.
LibrarySettings SettingsFor(const Library& library, const std::string& file) {
    LibrarySettings settings;
    auto found = library.settings.find(file);
    if (found != library.settings.end()) settings = found->second;
    for (const auto& [prefix, problem] : library.conf.brokenHeaders) {
        if (settings.problem.empty() && file.compare(0, prefix.size(), prefix) == 0) {
            settings.problem = problem;
        }
    }
    if (!library.holdAll.empty()) settings.problem = library.holdAll;
    return settings;
}

// Offers image (file, path and device set; a drive has no path). Sets
// offered, or problem.
void Offer(Server& server, LibraryImage& image, bool quiet) {
    image.settings = SettingsFor(server.library, image.file);
    const LibrarySettings& settings = image.settings;
    if (!settings.problem.empty()) {
        image.problem = settings.problem;
    } else if (!settings.enabled) {
        image.problem = "enabled = no in library.conf";
    }
    if (image.problem.empty() && !image.path.empty()) RetireReplacedIndex(server, image);
    uint16_t index = image.problem.empty() ? CandidateIndex(server.library, image.file) : 0;
    if (image.problem.empty() && index == 0) image.problem = "no image ID is free";
    if (!image.problem.empty()) {
        if (!quiet) Report(server, image);
        return;
    }
    image.id = (settings.diagnostics ? kDiagnosticsAttributes : kInstallAttributes) | index;
    if (!image.path.empty()) {
        char reopen[4096];
        QxStatus status =
            QxPlatformFileHold(image.path.c_str(), &image.holder, reopen, sizeof reopen);
        // Held as the file its index was judged for, or not at all: one
        // that changed since is looked at again as a new file.
        QxFileIdentity held{};
        if (status == kStatusOK) status = QxPlatformFileIdentity(image.holder, &held);
        if (status == kStatusOK && !QxPlatformSameFile(&held, &image.identity)) {
            image.problem = "it changed while it was taken; it is looked at again";
        } else if (status == kStatusOK) {
            status = DeviceBindHeldImage(image.device.c_str(), reopen, &image.identity);
        }
        if (status != kStatusOK) image.problem = "cannot be bound: " + StatusText(status);
    }
    Disc disc;
    disc.devicePath = image.device;
    const Volume* pick = nullptr;
    std::vector<Volume> volumes;
    if (image.problem.empty()) {
        volumes = VolumesOf(disc);
        for (const Volume& volume : volumes) {
            if (volume.install) {
                pick = &volume;
                break;
            }
        }
        if (pick == nullptr) {
            std::string problem = image.path.empty() ? std::string() : ImageProblem(image.path);
            image.problem = !problem.empty() ? problem
                            : volumes.empty() ? "holds no HFS+ volume"
                                              : "no volume carries the installation files";
        } else if (settings.diagnostics && !pick->diagnostics) {
            image.problem = "\"" + pick->name + "\" carries no hardware test";
        }
    }
    BootImageEntry* entry = nullptr;
    if (image.problem.empty()) {
        QxStatus status = PrepareNumberedBootSource(pick->path.c_str(), settings.diagnostics, index,
                                                    image.id, &entry);
        if (status != kStatusOK) image.problem = "cannot be served: " + StatusText(status);
    }
    if (image.problem.empty() && !KeepIndex(server, image, index)) {
        RemoveBootImageEntry(image.id);
        image.problem = "its image ID cannot be kept";
    }
    if (!image.problem.empty()) {
        if (!image.path.empty()) DeviceUnbind(image.device.c_str());
        ReleaseHolder(image);
        if (!quiet) Report(server, image);
        return;
    }
    QxLCopyBounded(entry->displayName, settings.name.c_str(), sizeof entry->displayName);
    QxLCopyBounded(entry->models, settings.models.c_str(), sizeof entry->models);
    QxLCopyBounded(entry->hardware, settings.hardware.c_str(), sizeof entry->hardware);
    entry->isDefault = settings.isDefault;
    image.name = settings.name.empty() ? AdvertisedName(pick->name) : settings.name;
    image.offered = true;
    if (!quiet) Report(server, image);
}

// Takes the image away; its device name is kept for the same file (name
// and identity), should it come back.
void TakeAway(Server& server, LibraryImage& image, bool quiet) {
    if (!image.path.empty() && image.folder == nullptr) {
        server.library.formerDevices[FileKey(image.file, image.identity)] = image.device;
    }
    if (image.offered) {
        RemoveBootImageEntry(image.id);
        if (!quiet) {
            Say(server, "\"%s\" (%s) is no longer offered.", image.name.c_str(),
                image.file.c_str());
        }
    }
    if (!image.path.empty()) DeviceUnbind(image.device.c_str());
    ReleaseHolder(image);
    image.offered = false;
}

bool IsFolderImageName(const std::string& file) {
    if (file.size() <= 4) return false;
    std::string tail = file.substr(file.size() - 4);
    for (char& c : tail) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return tail == kNetBootFolderSuffix;
}

// One number for the size and time of every file a folder image depends on
// (a missing file counts too), so that an edit of any of them is seen.
std::pair<uint64_t, int64_t> FolderStamp(const fs::path& path, const NetBootFolderImage& image) {
    std::vector<fs::path> files = {path / kNetBootFolderDescription};
    for (const std::string& architecture : image.architectures) {
        if (!image.bootFile.empty()) files.push_back(path / architecture / image.bootFile);
    }
    if (!image.rootPath.empty() && image.rootIndirect.empty()) files.push_back(path / image.rootPath);
    uint64_t size = 0;
    uint64_t mix = 1469598103934665603ull;
    for (const fs::path& file : files) {
        uint64_t fileSize = 0;
        int64_t modified = 0;
        if (!FileStamp(file, &fileSize, &modified)) modified = -1;
        size += fileSize;
        mix = (mix ^ static_cast<uint64_t>(modified)) * 1099511628211ull;
        mix = (mix ^ fileSize) * 1099511628211ull;
    }
    return {size, static_cast<int64_t>(mix)};
}

// Offers a folder image (file, path and folder set). Sets offered, or
// problem; another image holding its ID gives way when it comes later in
// byte order.
void OfferFolder(Server& server, LibraryImage& image, bool quiet) {
    Library& library = server.library;
    NetBootFolderImage& folder = *image.folder;
    image.settings = SettingsFor(library, image.file);
    const LibrarySettings& settings = image.settings;
    image.waitsForID = false;
    image.name = folder.name;
    if (!settings.problem.empty()) {
        image.problem = settings.problem;
    } else if (settings.enabledSet && !settings.enabled) {
        image.problem = "enabled = no in library.conf";
    } else if (folder.problem == "IsEnabled is false" && settings.enabledSet) {
        image.problem.clear();  // enabled = yes in library.conf
    } else {
        image.problem = folder.problem;
    }
    if (image.problem.empty()) {
        if (!settings.name.empty()) folder.name = settings.name;
        if (settings.defaultSet) folder.isDefault = settings.isDefault;
        image.name = folder.name;
        image.id = folder.ID();
        for (LibraryImage& other : library.images) {
            if (&other == &image || !other.offered || other.id != image.id) continue;
            if (other.file < image.file) {
                char text[96];
                snprintf(text, sizeof text, "its ID %08X is %s's", image.id, other.file.c_str());
                image.problem = text;
                image.waitsForID = true;
            } else {
                // The holder comes later in byte order: it gives way.
                TakeAway(server, other, quiet);
                char text[96];
                snprintf(text, sizeof text, "its ID %08X is %s's", image.id, image.file.c_str());
                other.problem = text;
                other.waitsForID = true;
                if (!quiet) Report(server, other);
            }
            break;
        }
    }
    if (image.problem.empty()) {
        image.device = DeviceFor(library, NetBootFolderTftpPrefix(folder));
        folder.httpName = image.device.substr(4);
        bool publish = folder.type != NetBootFolderType::BootFileOnly && folder.rootIndirect.empty();
        QxStatus status = publish ? DeviceBindFile(image.device.c_str(), folder.rootFile.c_str())
                                  : kStatusOK;
        std::string urlPath = NetBootFolderRootURLPath(folder);
        if (status == kStatusOK) {
            status = AddFolderBootImage(&folder, folder.httpName.c_str(),
                                        publish ? urlPath.c_str() : nullptr, nullptr);
        }
        if (status != kStatusOK) {
            DeviceUnbind(image.device.c_str());
            image.problem = "cannot be served: " + StatusText(status);
        }
    }
    if (!image.problem.empty()) {
        if (!quiet) Report(server, image);
        return;
    }
    image.offered = true;
    if (!quiet) {
        for (const std::string& note : folder.notes) {
            if (!library.listing) Say(server, "%s: %s.", image.file.c_str(), note.c_str());
        }
        Report(server, image);
    }
}

// Images left out for an ID another image held (a disc, too, gives way to
// a folder image before it in byte order): offered again once that image
// has gone.
void RetryWaiting(Server& server) {
    for (LibraryImage& image : server.library.images) {
        if (!image.waitsForID || image.offered) continue;
        bool held = false;
        for (const LibraryImage& other : server.library.images) {
            held = held || (other.offered && other.id == image.id);
        }
        if (held) continue;
        image.waitsForID = false;
        image.problem.clear();
        if (image.folder != nullptr) {
            OfferFolder(server, image, false);
        } else {
            Offer(server, image, false);
        }
    }
}

// Reads library.conf again when its time changed, or while it could not be
// read. True when the settings in force changed.
bool ReadConf(Server& server) {
    Library& library = server.library;
    fs::path path = fs::path(library.folder) / kLibraryConfName;
    std::error_code error;
    fs::file_status link = fs::symlink_status(path, error);
    bool absent = link.type() == fs::file_type::not_found;
    uint64_t size = 0;
    int64_t modified = 0;
    std::string trouble;
    std::string text;
    if (!absent && !FileStamp(path, &size, &modified)) {
        trouble = fs::exists(path, error) ? "it is not a file" : "it is a link that leads nowhere";
    }
    if (trouble.empty() && library.confRead && library.confTrouble.empty() &&
        modified == library.confModified) {
        return false;
    }
    if (trouble.empty() && !absent) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        if (in) content << in.rdbuf();
        if (!in || in.bad()) trouble = "it cannot be read";
        text = content.str();
    }
    LibraryConfFindings findings;
    std::map<std::string, LibrarySettings> parsed;
    if (trouble.empty()) {
        parsed = LibraryParseConf(text, &findings);
        if (!findings.problems.empty()) trouble = "it cannot be parsed (" + findings.problems[0] + ")";
    }
    if (!trouble.empty()) {
        if (trouble == library.confTrouble) return false;
        library.confTrouble = trouble;
        for (size_t i = 1; i < findings.problems.size(); ++i) Note(server, findings.problems[i]);
        if (library.confRead) {
            Note(server, std::string(kLibraryConfName) + ": " + trouble +
                             "; the settings read before stay in force.");
            return false;
        }
        // Nothing read yet: whatever the file could restrict stays out.
        if (findings.problems.empty()) {
            library.holdAll = std::string(kLibraryConfName) + " " + trouble.substr(3) +
                              ": no image is offered until it can be read";
            library.settings.clear();
            library.conf = LibraryConfFindings();
        } else {
            library.holdAll.clear();
            std::string why = std::string(kLibraryConfName) + " " + trouble.substr(3) +
                              ": it names this image";
            for (auto& [file, settings] : parsed) settings.problem = why;
            for (auto& [prefix, problem] : findings.brokenHeaders) problem = why;
            library.settings = parsed;
            library.conf = findings;
        }
        Note(server, std::string(kLibraryConfName) + ": " + trouble +
                         "; no image it could restrict is offered until it can be.");
        return true;
    }
    if (!library.confTrouble.empty()) {
        Note(server, std::string(kLibraryConfName) + " is read again.");
    }
    library.confTrouble.clear();
    library.holdAll.clear();
    library.confRead = true;
    library.confModified = absent ? 0 : modified;
    library.settings = parsed;
    library.conf = findings;
    return true;
}

void OnLibraryTimer(QxRunLoopTimerRef, void* info) {
    LibraryScan(*static_cast<Server*>(info), false);
}

}  // namespace

std::string LibraryStateFolder(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* state = getenv("STATE_DIRECTORY"); state != nullptr && *state != '\0') {
        // systemd may name several, separated by colons: the first is ours.
        std::string first = state;
        return first.substr(0, first.find(':'));
    }
    if (const char* xdg = getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0') {
        return (fs::path(xdg) / "tamsor").string();
    }
    const char* home = getenv("HOME");
    if (home == nullptr || *home == '\0') home = getenv("LOCALAPPDATA");
    if (home == nullptr || *home == '\0') return "tamsor-state";
    return (fs::path(home) / ".local" / "state" / "tamsor").string();
}

std::map<std::string, LibrarySettings> LibraryParseConf(const std::string& text,
                                                        LibraryConfFindings* findings) {
    std::map<std::string, LibrarySettings> sections;
    std::istringstream stream(text);
    LibrarySettings* section = nullptr;
    LibrarySettings ignored;  // the lines under a header that cannot be parsed
    int number = 0;
    for (std::string raw; std::getline(stream, raw);) {
        ++number;
        std::string where = std::string(kLibraryConfName) + ":" + std::to_string(number) + ": ";
        auto wrong = [&](const std::string& why) {
            if (section == nullptr) {
                findings->problems.push_back(where + why);
            } else if (section->problem.empty()) {
                section->problem = where + why;
            }
        };
        // A header is read from the whole line: a file name may hold "#",
        // which then cannot be written, rather than being cut short.
        std::string whole = Trim(raw);
        if (!whole.empty() && whole.front() == '[') {
            size_t close = whole.rfind(']');
            std::string after = close == std::string::npos ? std::string()
                                                           : Trim(whole.substr(close + 1));
            if (close == std::string::npos || (!after.empty() && after[0] != '#')) {
                std::string begins = whole.substr(1, whole.find('#') - 1);
                begins = Trim(begins.substr(0, begins.find(']')));
                findings->brokenHeaders.push_back(
                    {begins, where + "a section is \"[file name]\""});
                ignored = LibrarySettings();
                section = &ignored;
                continue;
            }
            std::string name = Trim(whole.substr(1, close - 1));
            std::string rename;
            if (name.empty()) {
                // Names nothing, so it could mean any image.
                findings->brokenHeaders.push_back({"", where + "a section is \"[file name]\""});
                ignored = LibrarySettings();
                section = &ignored;
                continue;
            }
            section = &sections[name];
            if (!LibraryNameWritable(name, &rename)) {
                wrong("a section cannot name a file with \"#\" in it: rename the file, for "
                      "example to " + rename);
            }
            continue;
        }
        std::string line = raw;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            wrong("\"key = value\" expected");
            continue;
        }
        if (section == nullptr) {
            wrong("a setting before the first [file name]");
            continue;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (key == "name") {
            if (value.empty() || value.size() > 255) wrong("a name of 1 to 255 bytes");
            section->name = value;
        } else if (key == "default" || key == "enabled") {
            if (!YesNo(value, key == "default" ? &section->isDefault : &section->enabled)) {
                wrong(key + " is yes or no, not \"" + value + "\"");
            }
            (key == "default" ? section->defaultSet : section->enabledSet) = true;
        } else if (key == "kind") {
            if (value == "install" || value == "diagnostics") {
                section->diagnostics = value == "diagnostics";
            } else {
                wrong("kind is install or diagnostics, not \"" + value + "\"");
            }
        } else if (key == "models") {
            std::string joined;
            for (const std::string& word : Words(value)) {
                joined += (joined.empty() ? "" : " ") + word;
            }
            if (joined.size() >= kBootListCapacity) wrong("the models list is too long");
            section->models = joined;
        } else if (key == "hardware") {
            std::string joined;
            for (const std::string& word : Words(value)) {
                std::string address = HardwareAddress(word);
                if (address.empty()) {
                    wrong("\"" + word + "\" is not a hardware address like 02:00:00:11:aa:44");
                    break;
                }
                joined += (joined.empty() ? "" : " ") + address;
            }
            if (joined.size() >= kBootListCapacity) wrong("the hardware list is too long");
            section->hardware = joined;
        } else {
            wrong("unknown setting \"" + key + "\"");
        }
    }
    return sections;
}

namespace {

// One look at a folder image: a known one that changed goes; a new or
// changed one is read, and offered once it looks the same twice.
void ScanFolder(Server& server, const fs::path& path, const std::string& file, bool first) {
    Library& library = server.library;
    auto known = std::find_if(library.images.begin(), library.images.end(),
                              [&](const LibraryImage& image) { return image.file == file; });
    if (known != library.images.end()) {
        auto stamp = known->folder != nullptr ? FolderStamp(path, *known->folder)
                                              : std::pair<uint64_t, int64_t>{0, 0};
        if (known->identity.size == stamp.first && known->identity.modified == stamp.second) return;
        TakeAway(server, *known, false);
        library.images.erase(known);
    }
    auto folder = std::make_shared<NetBootFolderImage>();
    NetBootFolderLoad(path.string(), file, folder.get());
    auto stamp = FolderStamp(path, *folder);
    auto seen = library.pending.find(file);
    if (!first && (seen == library.pending.end() || seen->second != stamp)) {
        library.pending[file] = stamp;
        return;
    }
    library.pending.erase(file);
    LibraryImage image;
    image.file = file;
    image.path = path.string();
    image.folder = folder;
    // A folder has no one file: its stamp stands for its identity.
    image.identity.size = stamp.first;
    image.identity.modified = stamp.second;
    library.images.push_back(image);
    OfferFolder(server, library.images.back(), false);
}

}  // namespace

bool LibraryNameWritable(const std::string& file, std::string* rename) {
    std::string better;
    for (char c : file) {
        if (c == '#') {
            better += '-';
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            better += '_';
        } else {
            better += c;
        }
    }
    better = Trim(better);
    if (better.empty()) better = "image";
    if (rename != nullptr) *rename = better;
    return better == file;
}

std::string LibraryFormatIds(const std::map<std::string, uint16_t>& indexes,
                             const LibraryStamps* stamps) {
    std::string text = "# tamsor-serve: the index of each library image's ID (do not reuse)\n";
    for (const auto& [file, index] : indexes) {
        text += std::to_string(index) + "\t";
        for (char c : file) {
            auto byte = static_cast<unsigned char>(c);
            if (c == '\\') {
                text += "\\\\";
            } else if (c == '\t') {
                text += "\\t";
            } else if (c == '\n') {
                text += "\\n";
            } else if (c == '\r') {
                text += "\\r";
            } else if (byte < 0x20 || byte == 0x7F) {
                char escaped[5];
                snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                text += escaped;
            } else {
                text += c;
            }
        }
        auto stamp = stamps != nullptr ? stamps->find(file) : LibraryStamps::const_iterator();
        if (stamps != nullptr && stamp != stamps->end()) {
            text += "\t" + std::to_string(stamp->second.first) + "\t" +
                    std::to_string(stamp->second.second);
        }
        text += "\n";
    }
    return text;
}

namespace {

// "SIZE<tab>TIME" (a size, a time that may be negative), as written.
bool ParseStamp(const std::string& text, std::pair<uint64_t, int64_t>* stamp) {
    size_t tab = text.find('\t');
    if (tab == std::string::npos) return false;
    std::string size = text.substr(0, tab);
    std::string time = text.substr(tab + 1);
    std::string digits = !time.empty() && time[0] == '-' ? time.substr(1) : time;
    auto plain = [](const std::string& number) {
        return !number.empty() && number.size() <= 19 &&
               number.find_first_not_of("0123456789") == std::string::npos &&
               (number == "0" || number[0] != '0');
    };
    if (!plain(size) || !plain(digits)) return false;
    stamp->first = strtoull(size.c_str(), nullptr, 10);
    stamp->second = strtoll(time.c_str(), nullptr, 10);
    return true;
}

}  // namespace

std::map<std::string, uint16_t> LibraryParseIds(const std::string& text,
                                                std::vector<std::string>* problems,
                                                LibraryStamps* stamps) {
    std::map<std::string, uint16_t> indexes;
    std::set<uint16_t> taken;
    std::istringstream stream(text);
    int number = 0;
    for (std::string line; std::getline(stream, line);) {
        ++number;
        auto wrong = [&](const std::string& why) {
            problems->push_back(std::to_string(number) + ": " + why);
        };
        if (line.empty() || line[0] == '#') continue;
        size_t tab = line.find('\t');
        std::string digits = line.substr(0, tab);
        if (tab == std::string::npos || tab == line.size() - 1) {
            wrong("not \"INDEX<tab>FILE\"");
            continue;
        }
        bool numeric = !digits.empty() && digits.size() <= 4 && digits[0] != '0' &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
        long index = numeric ? strtol(digits.c_str(), nullptr, 10) : 0;
        if (index < 1 || index > kLibraryMaxIndex) {
            wrong("\"" + digits + "\" is not an index from 1 to " +
                  std::to_string(kLibraryMaxIndex));
            continue;
        }
        std::string file;
        std::string stampText;  // after a second tab: the file's size and time
        bool escapesGood = true;
        for (size_t i = tab + 1; i < line.size() && escapesGood; ++i) {
            char c = line[i];
            if (c == '\r' && i + 1 == line.size()) break;
            if (c == '\t' && !file.empty()) {
                stampText = line.substr(i + 1);
                if (!stampText.empty() && stampText.back() == '\r') stampText.pop_back();
                break;
            }
            if (c == '\t' || c == '\r') {
                escapesGood = false;
            } else if (c != '\\') {
                file += c;
            } else if (i + 1 < line.size() && std::string("\\tnr").find(line[i + 1]) !=
                                                      std::string::npos) {
                const char plain[] = {'\\', '\t', '\n', '\r'};
                file += plain[std::string("\\tnr").find(line[++i])];
            } else if (i + 3 < line.size() && line[i + 1] == 'x' &&
                       isxdigit(static_cast<unsigned char>(line[i + 2])) &&
                       isxdigit(static_cast<unsigned char>(line[i + 3]))) {
                file += static_cast<char>(strtol(line.substr(i + 2, 2).c_str(), nullptr, 16));
                i += 3;
            } else {
                escapesGood = false;
            }
        }
        std::pair<uint64_t, int64_t> stamp;
        bool stamped = line.find('\t', tab + 1) != std::string::npos && escapesGood;
        if (!escapesGood) {
            wrong("the file name holds a character that is not escaped");
        } else if (stamped && !ParseStamp(stampText, &stamp)) {
            wrong("the file's size and time are not \"SIZE<tab>TIME\"");
        } else if (taken.count(static_cast<uint16_t>(index)) != 0) {
            wrong("index " + digits + " is given twice");
        } else if (indexes.count(file) != 0) {
            wrong("the file is named twice");
        } else {
            indexes[file] = static_cast<uint16_t>(index);
            taken.insert(static_cast<uint16_t>(index));
            if (stamped && stamps != nullptr) (*stamps)[file] = stamp;
        }
    }
    return indexes;
}

void LibraryScan(Server& server, bool first) {
    Library& library = server.library;
    std::set<std::string> present;
    std::error_code error;
    std::vector<fs::path> files;
    fs::directory_iterator it(library.folder, error);
    for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
        files.push_back(it->path());
    }
    // library.conf is looked at only in a folder that can be read: one that
    // is gone for a moment has no library.conf, but its settings hold.
    if (!error && ReadConf(server)) {
        // Settings changed: an image whose settings changed is offered anew.
        for (LibraryImage& image : library.images) {
            if (SettingsFor(library, image.file) == image.settings) continue;
            TakeAway(server, image, true);
            image.problem.clear();
            if (image.folder != nullptr) {
                // Settings were applied to the description: read it again.
                auto folder = std::make_shared<NetBootFolderImage>();
                NetBootFolderLoad(image.path, image.file, folder.get());
                image.folder = folder;
                OfferFolder(server, image, false);
            } else {
                Offer(server, image, false);
            }
        }
    }
    if (error) {
        // A folder that cannot be read for a moment (out of descriptors, a
        // network file system's hiccup) takes no image away.
        std::string trouble = error.message();
        if (trouble != library.folderTrouble) {
            Note(server, "The library folder " + library.folder + " cannot be read (" + trouble +
                             "); the images listed before stay offered.");
        }
        library.folderTrouble = trouble;
        for (const LibraryImage& image : library.images) present.insert(image.file);
        for (const auto& [file, stamp] : library.pending) present.insert(file);
        files.clear();
    } else if (!library.folderTrouble.empty()) {
        Note(server, "The library folder " + library.folder + " can be read again.");
        library.folderTrouble.clear();
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        std::string file = path.filename().string();
        if (file == kLibraryConfName || file.empty() || file[0] == '.' ||
            (file.size() > 4 && file.compare(file.size() - 4, 4, ".new") == 0)) {
            continue;
        }
        std::error_code kindError;
        if (IsFolderImageName(file) && fs::is_directory(path, kindError)) {
            ScanFolder(server, path, file, first);
            present.insert(file);
            continue;
        }
        QxFileIdentity identity{};
        if (!FileIdentity(path, &identity)) continue;
        present.insert(file);
        auto known = std::find_if(library.images.begin(), library.images.end(),
                                  [&](const LibraryImage& image) { return image.file == file; });
        if (known != library.images.end()) {
            if (QxPlatformSameFile(&known->identity, &identity)) continue;
            // Replaced or rewritten: the old one goes at once. Its readers
            // of a file renamed over keep that file's bytes to the last;
            // those of a file rewritten in place fail at their next read.
            TakeAway(server, *known, false);
            library.images.erase(known);
        }
        // A file still being written changes between two looks.
        auto seen = library.pending.find(file);
        auto stamp = std::make_pair(identity.size, identity.modified ^
                                                        static_cast<int64_t>(identity.file));
        if (!first && (seen == library.pending.end() || seen->second != stamp)) {
            library.pending[file] = stamp;
            continue;
        }
        library.pending.erase(file);
        std::string rename;
        if (!LibraryNameWritable(file, &rename) && library.namesSaid.insert(file).second) {
            Note(server, file + ": no section of " + kLibraryConfName +
                             " can name this file; rename it (for example to " + rename +
                             ") to give it settings.");
        }
        LibraryImage image;
        image.file = file;
        image.path = path.string();
        image.identity = identity;
        // The same file coming back keeps its HTTP name.
        auto former = library.formerDevices.find(FileKey(file, identity));
        if (former != library.formerDevices.end()) {
            image.device = former->second;
            library.formerDevices.erase(former);
        } else {
            image.device = DeviceFor(library, file);
        }
        Offer(server, image, false);
        library.images.push_back(image);
    }
    for (auto it = library.pending.begin(); it != library.pending.end();) {
        it = present.count(it->first) != 0 ? std::next(it) : library.pending.erase(it);
    }

    // Drives: a disc is an entry while it is in.
    for (const std::string& drive : library.drives) {
        Disc disc;
        disc.devicePath = drive;
        bool hasInstall = false;
        for (const Volume& volume : VolumesOf(disc)) hasInstall = hasInstall || volume.install;
        auto known = std::find_if(library.images.begin(), library.images.end(),
                                  [&](const LibraryImage& image) { return image.file == drive; });
        if (hasInstall && known == library.images.end()) {
            LibraryImage image;
            image.file = drive;
            image.device = drive;
            Offer(server, image, false);
            library.images.push_back(image);
        } else if (!hasInstall && known != library.images.end()) {
            TakeAway(server, *known, false);
            library.images.erase(known);
        }
        if (hasInstall) present.insert(drive);
    }

    for (auto it = library.images.begin(); it != library.images.end();) {
        if (present.count(it->file) != 0) {
            ++it;
            continue;
        }
        TakeAway(server, *it, false);
        it = library.images.erase(it);
    }
    RetryWaiting(server);
}

// The folder must exist and the state folder be writable.
int LibraryOpen(Server& server) {
    Library& library = server.library;
    library.folder = server.options.library;
    std::error_code error;
    if (!fs::is_directory(library.folder, error)) {
        return Fail(server, "no such library folder: %s", library.folder.c_str());
    }
    library.stateFolder = LibraryStateFolder(server.options.stateFolder);
    fs::create_directories(library.stateFolder, error);
    if (!fs::is_directory(library.stateFolder)) {
        return Fail(server, "cannot make the state folder %s", library.stateFolder.c_str());
    }
    LoadIndexes(server);
    // Names as clients see them: the volume's, then this computer's.
    QxLStringRef format = QxLStringCreateWithText(kImageNameFormat);
    if (format == nullptr) return Fail(server, "out of memory");
    SetBootImageNameFormat(format);
    QxLObjectRelease(format);
    for (const std::string& argument : server.options.discs) {
        char devicePath[kVolumePathCapacity];
        if (argument.compare(0, 4, "\\\\.\\") == 0 && argument.size() > 4) {
            library.drives.push_back(argument);
        } else if (QxPlatformDevicePathOf(argument.c_str(), devicePath, sizeof devicePath)) {
            library.drives.push_back(devicePath);
        } else {
            return Fail(server, "%s is not a drive: images go into the library folder",
                        argument.c_str());
        }
    }
    return 0;
}

int LibraryStart(Server& server) {
    int result = LibraryOpen(server);
    if (result != 0) return result;
    server.library.clients = std::make_unique<NetBootClients>(
        (fs::path(server.library.stateFolder) / kNetBootClientsFileName).string());
    BsdpSetClientRecords(server.library.clients.get());
    LibraryScan(server, true);
    QxRunLoopTimerContext context{0, &server, nullptr, nullptr, nullptr};
    server.library.timer = QxRunLoopTimerCreate(QxRunLoopNow() + kLibraryScanInterval,
                                                kLibraryScanInterval, &context, OnLibraryTimer);
    if (server.library.timer != nullptr) {
        QxRunLoopAddTimer(QxRunLoopGetMain(), server.library.timer);
    }
    return 0;
}

int LibraryList(Server& server) {
    server.library.listing = true;
    int result = LibraryOpen(server);
    if (result != 0) return result;
    server.options.json = false;
    FILE* out = server.out;
    // Offered quietly, listed, and taken away again.
    LibraryScan(server, true);
    for (const std::string& note : server.library.notes) fprintf(out, "%s\n", note.c_str());
    int offered = 0;
    for (const LibraryImage& image : server.library.images) {
        if (!image.offered) {
            fprintf(out, "%s: left out: %s\n", image.file.c_str(), image.problem.c_str());
            continue;
        }
        ++offered;
        if (image.folder != nullptr) {
            const NetBootFolderImage& f = *image.folder;
            auto join = [](const std::vector<std::string>& words) {
                std::string text;
                for (const std::string& word : words) {
                    if (!text.empty()) text += ' ';
                    text += word;
                }
                return text.empty() ? std::string("all") : text;
            };
            auto addresses = [](const std::vector<NetBootHardwareAddress>& list) {
                std::string text;
                for (const NetBootHardwareAddress& a : list) {
                    char one[18];
                    snprintf(one, sizeof one, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2],
                             a[3], a[4], a[5]);
                    if (!text.empty()) text += ' ';
                    text += one;
                }
                return text;
            };
            std::string allowed = addresses(f.allowed);
            std::string denied = addresses(f.denied);
            const char* type = f.type == NetBootFolderType::HTTP ? "HTTP"
                               : f.type == NetBootFolderType::NFS ? "NFS (over HTTP)"
                                                                  : "BootFileOnly";
            fprintf(out, "%08X \"%s\" %s, %s%s%s, architectures: %s, models: %s, hardware: %s%s%s\n",
                    image.id, image.name.c_str(), image.file.c_str(), type,
                    f.filterOnly ? ", filter only" : "", f.isDefault ? ", default" : "",
                    join(f.architectures).c_str(), join(f.models).c_str(),
                    allowed.empty() ? "all" : allowed.c_str(), denied.empty() ? "" : ", refused: ",
                    denied.c_str());
            continue;
        }
        const LibrarySettings& settings = image.settings;
        fprintf(out, "%08X \"%s\" %s%s%s, models: %s, hardware: %s\n", image.id, image.name.c_str(),
                image.file.c_str(), settings.diagnostics ? ", diagnostics" : "",
                settings.isDefault ? ", default" : "",
                settings.models.empty() ? "all" : settings.models.c_str(),
                settings.hardware.empty() ? "all" : settings.hardware.c_str());
    }
    fflush(out);
    LibraryStop(server);
    SetBootImageNameFormat(nullptr);
    if (offered == 0) {
        return Fail(server, "no image in %s can be offered", server.library.folder.c_str());
    }
    return 0;
}

size_t LibraryClientCount(const Server& server, const LibraryImage& image) {
    if (!image.offered) return 0;
    return static_cast<size_t>(
        std::count_if(server.clients.begin(), server.clients.end(),
                      [&](const ClientRow& row) { return row.imageId == image.id; }));
}

void LibraryStop(Server& server) {
    Library& library = server.library;
    if (library.timer != nullptr) {
        QxRunLoopTimerInvalidate(library.timer);
        QxLObjectRelease(library.timer);
        library.timer = nullptr;
    }
    for (LibraryImage& image : library.images) TakeAway(server, image, true);
    library.images.clear();
    BsdpSetClientRecords(nullptr);
    library.clients.reset();
}

}  // namespace tamsorserve
