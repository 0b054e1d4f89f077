// tamsor-mkimage: makes a partitioned disc image with one HFS+ volume, from a
// host folder or from a manifest.
//
//   tamsor-mkimage -o OUT.img [options] DIR
//   tamsor-mkimage -o OUT.img [options] --manifest FILE
//
// Options:
//   --name NAME             volume name (default: DIR's own name, else "Untitled")
//   --hx                    case-sensitive volume ("HX")
//   --wrapper               put the volume inside an HFS wrapper
//   --block-size N          allocation block size (default 4096)
//   --catalog-node-size N   catalog B-tree node size (default 4096)
//   --map-block-size N      partition map block size (default 512)
//   --max-records N         at most N records per B-tree node (deep trees)
//   --spare-blocks N        free blocks left in the volume (default 16)
//   --driver                add a driver partition before the volume
//
// Manifest: one item per line, fields separated by blanks, "..." quotes a
// field (\" \\ \n \t inside); "#" starts a comment line. Missing folders on a
// path are made.
//   folder PATH
//   file PATH HOSTFILE        contents of a host file
//   text PATH TEXT            the text itself
//   pattern PATH SIZE         self-describing generated contents
//   link PATH TARGET          hard link to the file at TARGET (added before)
//   fragment PATH COUNT       split the file at PATH over COUNT extents
//
// Host folders are copied as they are: folders and regular files (symbolic
// links followed), in name order; anything else is skipped with a warning.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "HFSImageWriter.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tamsor-mkimage -o OUT.img [--name NAME] [--hx] [--wrapper]\n"
                 "         [--block-size N] [--catalog-node-size N] [--map-block-size N]\n"
                 "         [--max-records N] [--spare-blocks N] [--driver]\n"
                 "         (DIR | --manifest FILE)\n");
    return 2;
}

bool ParseNumber(const char* text, uint32_t* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

std::string Utf8(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Copies the folder at host into the volume folder parent.
bool AddTree(HFSImageVolume& volume, uint32_t parent, const fs::path& host) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    if (error) {
        std::fprintf(stderr, "tamsor-mkimage: cannot list %s: %s\n", Utf8(host).c_str(),
                     error.message().c_str());
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) {
                  return a.path().filename() < b.path().filename();
              });
    for (const fs::directory_entry& entry : entries) {
        std::string name = Utf8(entry.path().filename());
        std::string where = Utf8(entry.path());
        fs::file_status status = entry.status(error);
        if (!error && fs::is_directory(status)) {
            uint32_t folder = volume.AddFolder(parent, name);
            if (folder == 0) {
                std::fprintf(stderr, "tamsor-mkimage: %s: unusable name\n", where.c_str());
                return false;
            }
            if (!AddTree(volume, folder, entry.path())) return false;
        } else if (!error && fs::is_regular_file(status)) {
            uint64_t size = entry.file_size(error);
            if (error || volume.AddHostFile(parent, name, where, size) == 0) {
                std::fprintf(stderr, "tamsor-mkimage: %s: cannot add\n", where.c_str());
                return false;
            }
        } else {
            std::fprintf(stderr, "tamsor-mkimage: %s: skipped (not a file or folder)\n",
                         where.c_str());
        }
    }
    return true;
}

// Splits a manifest line into fields; false on an open quote.
bool SplitFields(const std::string& line, std::vector<std::string>* fields) {
    fields->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        std::string field;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    c = line[i++];
                    if (c == 'n') c = '\n';
                    if (c == 't') c = '\t';
                }
                field.push_back(c);
            }
            if (!closed) return false;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                field.push_back(line[i++]);
            }
        }
        fields->push_back(std::move(field));
    }
    return true;
}

// The folder that holds path (made if missing) and the last component.
bool ParentOf(HFSImageVolume& volume, const std::string& path, uint32_t* parent,
              std::string* name) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    *parent = volume.MakeFolders(folder);
    return *parent != 0 && !name->empty();
}

bool AddManifest(HFSImageVolume& volume, const char* manifestPath) {
    std::ifstream manifest(manifestPath);
    if (!manifest) {
        std::fprintf(stderr, "tamsor-mkimage: cannot open %s\n", manifestPath);
        return false;
    }
    std::string line;
    std::vector<std::string> f;
    for (int number = 1; std::getline(manifest, line); ++number) {
        auto bad = [&](const char* why) {
            std::fprintf(stderr, "tamsor-mkimage: %s:%d: %s\n", manifestPath, number, why);
            return false;
        };
        if (!SplitFields(line, &f)) return bad("unclosed quote");
        if (f.empty() || f[0][0] == '#') continue;
        const std::string& verb = f[0];
        uint32_t parent = 0;
        std::string name;
        uint32_t number32 = 0;
        if (f.size() < 2 || !ParentOf(volume, f[1], &parent, &name)) return bad("bad path");
        if (verb == "folder" && f.size() == 2) {
            if (volume.AddFolder(parent, name) == 0) return bad("cannot add the folder");
        } else if (verb == "file" && f.size() == 3) {
            std::error_code error;
            uint64_t size = fs::file_size(fs::path(std::u8string(f[2].begin(), f[2].end())), error);
            if (error) return bad("cannot read the host file");
            if (volume.AddHostFile(parent, name, f[2], size) == 0) return bad("cannot add the file");
        } else if (verb == "text" && f.size() == 3) {
            if (volume.AddFile(parent, name, f[2]) == 0) return bad("cannot add the file");
        } else if (verb == "pattern" && f.size() == 3) {
            char* end = nullptr;
            unsigned long long size = std::strtoull(f[2].c_str(), &end, 0);
            if (end == f[2].c_str() || *end != '\0') return bad("bad size");
            if (volume.AddPatternFile(parent, name, size) == 0) return bad("cannot add the file");
        } else if (verb == "link" && f.size() == 3) {
            uint32_t target = volume.Find(f[2]);
            if (target == 0 || volume.AddHardLink(parent, name, target) == 0) {
                return bad("cannot add the link (the target must be a file added before)");
            }
        } else if (verb == "fragment" && f.size() == 3) {
            if (!ParseNumber(f[2].c_str(), &number32) || !volume.Fragment(volume.Find(f[1]), number32)) {
                return bad("cannot fragment (no such file, or too small)");
            }
        } else {
            return bad("unknown line");
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* output = nullptr;
    const char* manifest = nullptr;
    const char* folder = nullptr;
    const char* name = nullptr;
    bool driver = false;
    HFSImageSpec disc;
    auto volumePointer = std::make_shared<HFSImageVolume>();
    HFSImageVolume& volume = *volumePointer;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        uint32_t value = 0;
        auto number = [&](uint32_t* into) {
            if (!hasValue || !ParseNumber(argv[++i], into)) {
                std::fprintf(stderr, "tamsor-mkimage: %s needs a number\n", arg.c_str());
                return false;
            }
            return true;
        };
        if ((arg == "-o" || arg == "--output") && hasValue) {
            output = argv[++i];
        } else if (arg == "--name" && hasValue) {
            name = argv[++i];
        } else if (arg == "--manifest" && hasValue) {
            manifest = argv[++i];
        } else if (arg == "--hx") {
            volume.kind = HFSImageKind::kCaseSensitive;
        } else if (arg == "--wrapper") {
            volume.hfsWrapper = true;
        } else if (arg == "--driver") {
            driver = true;
        } else if (arg == "--block-size") {
            if (!number(&volume.blockSize)) return Usage();
        } else if (arg == "--catalog-node-size") {
            if (!number(&volume.catalogNodeSize)) return Usage();
        } else if (arg == "--map-block-size") {
            if (!number(&disc.mapBlockSize)) return Usage();
        } else if (arg == "--max-records") {
            if (!number(&volume.maxRecordsPerNode)) return Usage();
        } else if (arg == "--spare-blocks") {
            if (!number(&value)) return Usage();
            volume.spareBlocks = value;
        } else if (arg == "-h" || arg == "--help") {
            Usage();
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "tamsor-mkimage: unknown option %s\n", arg.c_str());
            return Usage();
        } else if (folder == nullptr) {
            folder = argv[i];
        } else {
            return Usage();
        }
    }
    if (output == nullptr || (folder == nullptr) == (manifest == nullptr)) return Usage();

    if (name != nullptr) {
        volume.name = name;
    } else if (folder != nullptr) {
        std::error_code error;
        fs::path own = fs::absolute(fs::path(folder), error).lexically_normal();
        if (!own.has_filename()) own = own.parent_path();
        if (!error && !own.filename().empty()) volume.name = Utf8(own.filename());
    }
    bool added = folder != nullptr ? AddTree(volume, kHFSImageRootID, fs::path(folder))
                                   : AddManifest(volume, manifest);
    if (!added) return 1;

    if (driver) disc.AddEntry("Driver", "Verin_Driver_ATAPI", 64);
    HFSImagePartition entry;
    // Map entry names hold 31 bytes; cut on a character boundary.
    size_t cut = std::min<size_t>(volume.name.size(), 31);
    while (cut > 0 && cut < volume.name.size() &&
           (static_cast<uint8_t>(volume.name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    entry.name = volume.name.substr(0, cut);
    entry.type = "Verin_HFS";
    entry.volume = volumePointer;
    disc.partitions.push_back(entry);

    HFSImageLayout layout;
    std::string error;
    QxStatus status = WriteDiscImage(disc, output, &layout, &error);
    if (status != kStatusOK) {
        const char* statusName = QxLStatusName(status);
        std::fprintf(stderr, "tamsor-mkimage: %s (%s %d)\n", error.c_str(),
                     statusName != nullptr ? statusName : "system error", status);
        return 1;
    }
    const HFSImageVolumeLayout& placed = layout.volumes.front();
    std::printf("%s: %llu bytes; volume \"%s\" (%s%s) in partition %u: %u files, %u folders, "
                "catalog depth %u\n",
                output, static_cast<unsigned long long>(layout.imageSize), volume.name.c_str(),
                volume.kind == HFSImageKind::kCaseSensitive ? "HX" : "H+",
                volume.hfsWrapper ? " in an HFS wrapper" : "", placed.mapEntry, placed.fileCount,
                placed.folderCount, placed.catalogDepth);
    return 0;
}
