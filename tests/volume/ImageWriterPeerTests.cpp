// The image writer's discs, checked by readers that share nothing with it:
// sleuthkit (mmls, fls, icat) and 7-Zip (7zz). Each variant (H+, HX, HFS
// wrapper, 512-byte blocks with 2048-byte map blocks and 8 KiB catalog
// nodes, a catalog of depth 3 or more) holds nested folders, decomposed
// non-ASCII names, hard links, files over more than 8 extents and enough
// files for index nodes; both peers must list exactly the expected tree and
// return exactly the expected bytes.
//
// The peers are Linux programs: those tests skip when a tool is missing and
// in the Windows build (under wine). Every peer call is bounded with
// timeout(1). The writer's own checks (refusals, map and header fields,
// pattern bytes) run everywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HFSImageWriter.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// What a reader must find.

// Stand-in for the private folder's name in expected paths; each peer shows
// its four U+0000 differently.
const char kPrivate[] = "<private>";

struct Expected {
    bool folder = false;
    bool link = false;
    std::string bytes;   // files and links: the contents
    uint32_t inode = 0;  // CNID of the file that holds the bytes
};

// Builds a volume and, beside it, the tree that readers must report. Paths
// use the names as stored (decomposed UTF-8).
class Model {
public:
    explicit Model(HFSImageVolume* volume) : volume_(volume) { paths_[kHFSImageRootID] = ""; }

    uint32_t Folder(uint32_t parent, const std::string& name, const std::string& stored = "") {
        uint32_t cnid = volume_->AddFolder(parent, name);
        EXPECT_NE(cnid, 0u) << name;
        Expected& e = Put(parent, cnid, stored.empty() ? name : stored);
        e.folder = true;
        return cnid;
    }

    uint32_t File(uint32_t parent, const std::string& name, const std::string& bytes,
                  const std::string& stored = "") {
        uint32_t cnid = volume_->AddFile(parent, name, bytes);
        EXPECT_NE(cnid, 0u) << name;
        Expected& e = Put(parent, cnid, stored.empty() ? name : stored);
        e.bytes = bytes;
        e.inode = cnid;
        return cnid;
    }

    uint32_t Pattern(uint32_t parent, const std::string& name, uint64_t size,
                     uint32_t extents = 1) {
        uint32_t cnid = volume_->AddPatternFile(parent, name, size);
        EXPECT_NE(cnid, 0u) << name;
        if (extents > 1) EXPECT_TRUE(volume_->Fragment(cnid, extents)) << name;
        Expected& e = Put(parent, cnid, name);
        e.bytes.resize(size);
        HFSImagePatternBytes(cnid, 0, reinterpret_cast<uint8_t*>(e.bytes.data()), size);
        e.inode = cnid;
        return cnid;
    }

    // The first link moves the file into the private folder; its old path
    // stays, now as a link.
    uint32_t Link(uint32_t parent, const std::string& name, uint32_t target) {
        uint32_t cnid = volume_->AddHardLink(parent, name, target);
        EXPECT_NE(cnid, 0u) << name;
        std::string targetPath = paths_[target];
        Expected content = tree_[targetPath];
        if (!content.link) {
            tree_[kPrivate].folder = true;
            std::string node = std::string(kPrivate) + "/iNode" + std::to_string(target);
            tree_[node] = content;
            tree_[targetPath].link = true;
            paths_[target] = node;
        }
        Expected& e = Put(parent, cnid, name);
        e = content;
        e.link = true;
        return cnid;
    }

    const std::map<std::string, Expected>& tree() const { return tree_; }
    HFSImageVolume& volume() { return *volume_; }

private:
    Expected& Put(uint32_t parent, uint32_t cnid, const std::string& name) {
        std::string path = paths_[parent].empty() ? name : paths_[parent] + "/" + name;
        paths_[cnid] = path;
        return tree_[path];
    }

    HFSImageVolume* volume_;
    std::map<uint32_t, std::string> paths_;
    std::map<std::string, Expected> tree_;
};

// Decomposed forms, written out by hand so that the expectation does not
// come from the conversion under test.
const char kCafeStored[] = "Cafe\xCC\x81";                                   // e U+0301
const char kResumeStored[] = "nai\xCC\x88ve re\xCC\x81sume\xCC\x81.txt";     // U+0308, U+0301
const char kKoreanStored[] = "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB";        // U+1112 U+1161 U+11AB
const char kMarksStored[] = "q\xCC\xA3\xCC\x81";                              // U+0323 before U+0301

struct Variant {
    const char* name;
    HFSImageKind kind;
    bool wrapper;
    uint32_t blockSize;
    uint32_t catalogNodeSize;
    uint32_t mapBlockSize;
    uint32_t maxRecordsPerNode;
    uint32_t manyFiles;
    uint32_t minDepth;
};

// Test names show the variant, not its bytes.
void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

const Variant kVariants[] = {
    {"Plus", HFSImageKind::kPlus, false, 4096, 4096, 512, 0, 300, 2},
    {"CaseSensitive", HFSImageKind::kCaseSensitive, false, 4096, 4096, 512, 0, 300, 2},
    {"Wrapper", HFSImageKind::kPlus, true, 4096, 4096, 512, 0, 300, 2},
    {"SmallBlocks", HFSImageKind::kPlus, false, 512, 8192, 2048, 0, 600, 2},
    {"Deep", HFSImageKind::kPlus, false, 2048, 4096, 2048, 4, 40, 3},
};

// The standard contents of every variant.
void Fill(Model& m, const Variant& variant) {
    uint32_t system = m.Folder(kHFSImageRootID, "System");
    uint32_t library = m.Folder(system, "Library");
    uint32_t extensions = m.Folder(library, "Extensions");
    m.File(extensions, "Info.plist", "<plist version=\"1.0\"><dict/></plist>\n");
    uint32_t kernel = m.Pattern(system, "mach_kernel", 300000, 12);
    m.Pattern(kHFSImageRootID, "big.bin", 1000000, 30);  // three overflow records
    m.File(kHFSImageRootID, "hello.txt", "Hello, world\n");
    m.File(kHFSImageRootID, "empty", "");
    m.File(kHFSImageRootID, "one", "1");
    m.Pattern(kHFSImageRootID, "exact", variant.blockSize);
    uint32_t cafe = m.Folder(kHFSImageRootID, "Caf\xC3\xA9", kCafeStored);
    m.File(cafe, "na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.txt", "accents\n", kResumeStored);
    uint32_t korean = m.Folder(kHFSImageRootID, "\xED\x95\x9C", kKoreanStored);
    m.File(korean, "q\xCC\x81\xCC\xA3", "marks in order\n", kMarksStored);
    m.Link(kHFSImageRootID, "kernel link", kernel);
    m.Link(extensions, "kernel again", kernel);
    uint32_t readme = m.File(kHFSImageRootID, "Readme", "read me\n");
    m.Link(library, "Readme link", readme);
    if (variant.kind == HFSImageKind::kCaseSensitive) {
        m.File(kHFSImageRootID, "README", "upper case\n");  // a separate file only in HX
    }
    uint32_t many = m.Folder(kHFSImageRootID, "Many");
    for (uint32_t i = 0; i < variant.manyFiles; ++i) {
        m.Pattern(many, "file " + std::to_string(i), i * 37);
    }
}

struct TempDir {
    fs::path path;
    TempDir() {
        // Unique across the test processes that ctest runs side by side.
        static int counter = 0;
        uint64_t stamp = static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        path = fs::temp_directory_path() /
               ("tamsor-writer-" + std::to_string(std::random_device{}()) + "-" +
                std::to_string(stamp) + "-" + std::to_string(++counter));
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

struct Image {
    std::string path;
    HFSImageLayout layout;
    std::string volumeName;
};

// Writes the variant's disc with one volume in map entry 2 (a driver
// partition and an empty entry come first, so the volume is in entry 4).
Image WriteVariant(const Variant& variant, const TempDir& dir, HFSImageSpec* imageSpec,
                   std::unique_ptr<Model>* model) {
    imageSpec->mapBlockSize = variant.mapBlockSize;
    imageSpec->AddEntry("Driver", "Verin_Driver_ATAPI", 32);
    imageSpec->AddEntry("", "Verin_Free", 0);
    HFSImageVolume& volume = imageSpec->AddVolume(std::string("Peer ") + variant.name);
    volume.kind = variant.kind;
    volume.hfsWrapper = variant.wrapper;
    volume.blockSize = variant.blockSize;
    volume.catalogNodeSize = variant.catalogNodeSize;
    volume.maxRecordsPerNode = variant.maxRecordsPerNode;
    *model = std::make_unique<Model>(&volume);
    Fill(**model, variant);

    Image image;
    image.path = (dir.path / "disc.img").string();
    image.volumeName = volume.name;
    std::string error;
    EXPECT_EQ(WriteDiscImage(*imageSpec, image.path, &image.layout, &error), kStatusOK) << error;
    return image;
}

// ---------------------------------------------------------------------------
// Running the peers.

#ifdef _WIN32
// The peers are Linux programs, out of reach from the Windows build.
bool HaveTool(const char*) { return false; }
int RunPeer(const std::string&, std::string*) { return -1; }
#else
bool HaveTool(const char* tool) {
    std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Runs command (bounded to 60 seconds) and collects its standard output.
int RunPeer(const std::string& command, std::string* output) {
    std::string bounded = "LC_ALL=C.UTF-8 timeout -k 5 60 " + command + " 2>/dev/null";
    FILE* pipe = popen(bounded.c_str(), "r");
    if (pipe == nullptr) return -1;
    output->clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string PeerPath(const std::string& path, const char* privateName) {
    if (path.rfind(kPrivate, 0) == 0) return privateName + path.substr(std::strlen(kPrivate));
    return path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ImageWriterPeerTest : public testing::TestWithParam<Variant> {};

// ---------------------------------------------------------------------------
// sleuthkit: the map through mmls, the tree through fls, the bytes of every
// file through icat (by the inode number that fls reports).
TEST_P(ImageWriterPeerTest, SleuthkitListsAndReadsTheTree) {
    if (!HaveTool("mmls") || !HaveTool("fls") || !HaveTool("icat") || !HaveTool("timeout")) {
        GTEST_SKIP() << "sleuthkit is not installed (or this is the Windows build)";
    }
    const Variant& variant = GetParam();
    TempDir dir;
    HFSImageSpec imageSpec;
    std::unique_ptr<Model> model;
    Image image = WriteVariant(variant, dir, &imageSpec, &model);
    ASSERT_EQ(image.layout.volumes.size(), 1u);
    const HFSImageVolumeLayout& volume = image.layout.volumes[0];
    EXPECT_EQ(volume.mapEntry, 4u);
    EXPECT_GE(volume.catalogDepth, variant.minDepth);

    // mmls: every entry, in map blocks.
    std::string out;
    ASSERT_EQ(RunPeer("mmls -b " + std::to_string(variant.mapBlockSize) + " " + Quote(image.path), &out), 0);
    const uint32_t mbs = variant.mapBlockSize;
    char expectedLine[160];
    std::snprintf(expectedLine, sizeof expectedLine, "%010llu   %010llu   %010llu   Verin_HFS",
                  static_cast<unsigned long long>(volume.partitionOffset / mbs),
                  static_cast<unsigned long long>((volume.partitionOffset + volume.partitionSize) / mbs - 1),
                  static_cast<unsigned long long>(volume.partitionSize / mbs));
    EXPECT_NE(out.find(expectedLine), std::string::npos) << out;
    EXPECT_NE(out.find("Verin_partition_map"), std::string::npos) << out;
    EXPECT_NE(out.find("Verin_Driver_ATAPI"), std::string::npos) << out;

    // fls: the tree, with the inode numbers that hold each file's bytes.
    const std::string offset = std::to_string(volume.partitionOffset / 512);
    ASSERT_EQ(RunPeer("fls -o " + offset + " -r -p " + Quote(image.path), &out), 0);
    std::map<std::string, std::pair<bool, uint32_t>> listed;  // path -> (folder, inode)
    for (const std::string& line : Lines(out)) {
        size_t colon = line.find(":\t");
        ASSERT_NE(colon, std::string::npos) << line;
        std::string path = line.substr(colon + 2);
        if (path[0] == '$') continue;  // the volume's own files
        listed[path] = {line[0] == 'd', static_cast<uint32_t>(std::stoul(line.substr(4, colon - 4)))};
    }
    std::set<std::string> expectedPaths, listedPaths;
    for (const auto& [path, e] : model->tree()) expectedPaths.insert(PeerPath(path, "^^^^HFS+ Private Data"));
    for (const auto& [path, entry] : listed) listedPaths.insert(path);
    EXPECT_EQ(listedPaths, expectedPaths);

    std::map<uint32_t, std::string> read;  // inode -> bytes, each read once
    for (const auto& [path, e] : model->tree()) {
        auto found = listed.find(PeerPath(path, "^^^^HFS+ Private Data"));
        if (found == listed.end()) continue;
        EXPECT_EQ(found->second.first, e.folder) << path;
        if (e.folder) continue;
        EXPECT_EQ(found->second.second, e.inode) << path << " (links name their indirect node file)";
        uint32_t inode = found->second.second;
        // The many small files are alike; read a few of them.
        if (path.rfind("Many/", 0) == 0 && inode % 50 != 0) continue;
        if (read.find(inode) == read.end()) {
            ASSERT_EQ(RunPeer("icat -o " + offset + " " + Quote(image.path) + " " + std::to_string(inode),
                          &read[inode]), 0) << path;
        }
        EXPECT_TRUE(read[inode] == e.bytes) << path << ": " << read[inode].size() << " bytes read, "
                                            << e.bytes.size() << " expected";
    }
}

// ---------------------------------------------------------------------------
// 7-Zip: the technical listing (-slt) and a full extraction. 7-Zip lists hard
// link records as empty files of their own (it does not follow them); the
// bytes are checked through the indirect node file in the private folder.
TEST_P(ImageWriterPeerTest, SevenZipListsAndExtractsTheTree) {
    if (!HaveTool("7zz") || !HaveTool("timeout")) {
        GTEST_SKIP() << "7zz is not installed (or this is the Windows build)";
    }
    const Variant& variant = GetParam();
    TempDir dir;
    HFSImageSpec imageSpec;
    std::unique_ptr<Model> model;
    Image image = WriteVariant(variant, dir, &imageSpec, &model);
    const std::string prefix = image.volumeName + "/";
    const char* privateName = "[HFS+ Private Data]";

    std::string out;
    ASSERT_EQ(RunPeer("7zz l -tHFS -slt -sccUTF-8 " + Quote(image.path), &out), 0) << out;
    std::map<std::string, std::pair<bool, uint64_t>> listed;  // path -> (folder, size)
    std::string path;
    bool inItems = false;
    for (const std::string& line : Lines(out)) {
        if (line.rfind("----------", 0) == 0) inItems = true;
        if (!inItems) continue;
        if (line.rfind("Path = ", 0) == 0) {
            path = line.substr(7);
        } else if (line.rfind("Folder = ", 0) == 0 && path.rfind(prefix, 0) == 0) {
            listed[path.substr(prefix.size())].first = line == "Folder = +";
        } else if (line.rfind("Size = ", 0) == 0 && path.rfind(prefix, 0) == 0 && line.size() > 7) {
            listed[path.substr(prefix.size())].second = std::stoull(line.substr(7));
        }
    }
    std::set<std::string> expectedPaths, listedPaths;
    for (const auto& [p, e] : model->tree()) expectedPaths.insert(PeerPath(p, privateName));
    for (const auto& [p, entry] : listed) listedPaths.insert(p);
    EXPECT_EQ(listedPaths, expectedPaths);
    for (const auto& [p, e] : model->tree()) {
        auto found = listed.find(PeerPath(p, privateName));
        if (found == listed.end()) continue;
        EXPECT_EQ(found->second.first, e.folder) << p;
        if (!e.folder && !e.link) EXPECT_EQ(found->second.second, e.bytes.size()) << p;
    }

    // Every file's bytes, from one extraction.
    fs::path extracted = dir.path / "x";
    ASSERT_EQ(RunPeer("7zz x -tHFS -y -o" + Quote(extracted.string()) + " " + Quote(image.path), &out), 0);
    for (const auto& [p, e] : model->tree()) {
        fs::path file = extracted / image.volumeName / fs::path(PeerPath(p, privateName));
        ASSERT_TRUE(fs::exists(file)) << p;
        EXPECT_EQ(fs::is_directory(file), e.folder) << p;
        if (e.folder) continue;
        std::string bytes = ReadFile(file);
        if (e.link) {
            EXPECT_TRUE(bytes.empty() || bytes == e.bytes) << p;
        } else {
            EXPECT_TRUE(bytes == e.bytes) << p << ": " << bytes.size() << " bytes, "
                                          << e.bytes.size() << " expected";
        }
    }

    // And one file on its own through standard output (over 8 extents).
    ASSERT_EQ(RunPeer("7zz e -tHFS -so " + Quote(image.path) + " " + Quote(prefix + "big.bin"), &out), 0);
    EXPECT_TRUE(out == model->tree().at("big.bin").bytes);
}

INSTANTIATE_TEST_SUITE_P(ImageWriterPeer, ImageWriterPeerTest, testing::ValuesIn(kVariants),
                         [](const testing::TestParamInfo<Variant>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// The command-line tool on a host folder: sleuthkit finds the same tree.
TEST(ImageWriterPeerCLI, MakesAnImageOfAHostFolder) {
#ifdef _WIN32
    GTEST_SKIP() << "the peers are Linux programs";
#else
    fs::path tool = fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path() /
                    "tools" / "hfswriter" / "tamsor-mkimage";
    if (!fs::exists(tool) || !HaveTool("fls") || !HaveTool("icat") || !HaveTool("timeout")) {
        GTEST_SKIP() << "tamsor-mkimage or sleuthkit is missing";
    }
    TempDir dir;
    fs::path source = dir.path / "Demo Disc";
    fs::create_directories(source / "System" / "Library");
    fs::create_directories(source / "Caf\xC3\xA9");
    std::ofstream(source / "System" / "mach_kernel", std::ios::binary) << std::string(70000, 'k');
    std::ofstream(source / "Caf\xC3\xA9" / "menu.txt", std::ios::binary) << "soup\n";
    std::ofstream(source / "empty", std::ios::binary);
    const std::string image = (dir.path / "demo.img").string();

    std::string out;
    ASSERT_EQ(RunPeer(Quote(tool.string()) + " -o " + Quote(image) + " --wrapper --block-size 2048 " +
                      Quote(source.string()),
                  &out), 0) << out;
    EXPECT_NE(out.find("volume \"Demo Disc\""), std::string::npos) << out;
    // Map entry 2 starts after 63 reserved 512-byte blocks: 64 x 512 bytes.
    ASSERT_EQ(RunPeer("fls -o 64 -r -p " + Quote(image), &out), 0);
    std::set<std::string> listed;
    std::map<std::string, std::string> inodes;
    for (const std::string& line : Lines(out)) {
        size_t colon = line.find(":\t");
        if (colon == std::string::npos || line[colon + 2] == '$') continue;
        listed.insert(line.substr(colon + 2));
        inodes[line.substr(colon + 2)] = line.substr(4, colon - 4);
    }
    std::set<std::string> expected = {"Caf" "e\xCC\x81", "Caf" "e\xCC\x81/menu.txt", "empty",
                                      "System", "System/Library", "System/mach_kernel"};
    EXPECT_EQ(listed, expected);
    ASSERT_EQ(RunPeer("icat -o 64 " + Quote(image) + " " + inodes["System/mach_kernel"], &out), 0);
    EXPECT_TRUE(out == std::string(70000, 'k'));
#endif
}

TEST(ImageWriterPeerCLI, MakesAnImageFromAManifest) {
#ifdef _WIN32
    GTEST_SKIP() << "the peers are Linux programs";
#else
    fs::path tool = fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path() /
                    "tools" / "hfswriter" / "tamsor-mkimage";
    if (!fs::exists(tool) || !HaveTool("fls") || !HaveTool("icat") || !HaveTool("timeout")) {
        GTEST_SKIP() << "tamsor-mkimage or sleuthkit is missing";
    }
    TempDir dir;
    const fs::path manifest = dir.path / "manifest.txt";
    std::ofstream(manifest) << "# a comment\n"
                               "folder System/Library\n"
                               "text \"Read Me\" \"two\\nlines\"\n"
                               "pattern System/kernel 50000\n"
                               "fragment System/kernel 10\n"
                               "link \"System/Library/kernel link\" System/kernel\n"
                               "text Kernel \"other case\"\n";
    const std::string image = (dir.path / "manifest.img").string();
    std::string out;
    ASSERT_EQ(RunPeer(Quote(tool.string()) + " -o " + Quote(image) + " --hx --block-size 512 "
                      "--map-block-size 2048 --max-records 3 --name Listed --manifest " +
                      Quote(manifest.string()), &out), 0) << out;
    // Map entry 2 starts after 63 reserved 2048-byte blocks.
    ASSERT_EQ(RunPeer("fls -o 256 -r -p " + Quote(image), &out), 0);
    std::map<std::string, std::string> inodes;
    for (const std::string& line : Lines(out)) {
        size_t colon = line.find(":\t");
        if (colon == std::string::npos || line[colon + 2] == '$') continue;
        inodes[line.substr(colon + 2)] = line.substr(4, colon - 4);
    }
    std::set<std::string> listed;
    for (const auto& [path, inode] : inodes) listed.insert(path);
    std::set<std::string> expected = {"Kernel", "Read Me", "System", "System/Library",
                                      "System/Library/kernel link", "System/kernel",
                                      "^^^^HFS+ Private Data",
                                      "^^^^HFS+ Private Data/iNode" + inodes["System/kernel"]};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(inodes["System/Library/kernel link"], inodes["System/kernel"]);
    ASSERT_EQ(RunPeer("icat -o 256 " + Quote(image) + " " + inodes["Read Me"], &out), 0);
    EXPECT_EQ(out, "two\nlines");
    ASSERT_EQ(RunPeer("icat -o 256 " + Quote(image) + " " + inodes["System/kernel"], &out), 0);
    std::string pattern(50000, '\0');
    HFSImagePatternBytes(static_cast<uint32_t>(std::stoul(inodes["System/kernel"])), 0,
                         reinterpret_cast<uint8_t*>(pattern.data()), pattern.size());
    EXPECT_TRUE(out == pattern);
#endif
}

// ---------------------------------------------------------------------------
// The writer's own checks; these run on every target.

uint32_t Be32(const std::vector<uint8_t>& b, uint64_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
uint32_t Be16(const std::vector<uint8_t>& b, uint64_t at) { return (uint32_t{b[at]} << 8) | b[at + 1]; }

TEST(ImageWriter, LaysOutMapHeadersAndCopiesAsTheLayoutSays) {
    HFSImageSpec imageSpec;
    imageSpec.mapBlockSize = 2048;
    imageSpec.AddEntry("Driver", "Verin_Driver_ATAPI", 8);
    HFSImageVolume& plus = imageSpec.AddVolume("First");
    uint32_t fileA = plus.AddFile(kHFSImageRootID, "a", "A");
    HFSImageVolume& hx = imageSpec.AddVolume("Second");
    hx.kind = HFSImageKind::kCaseSensitive;
    hx.blockSize = 8192;
    // An entry of the right type pointing far past the disc, as a hostile map
    // would; it must not stretch the image.
    HFSImagePartition past;
    past.type = "Verin_HFS";
    past.startBlock = 0x100000;
    past.blocks = 16;
    imageSpec.partitions.push_back(past);

    std::vector<uint8_t> image;
    HFSImageLayout layout;
    std::string error;
    ASSERT_EQ(BuildDiscImage(imageSpec, &image, &layout, &error), kStatusOK) << error;
    ASSERT_EQ(image.size(), layout.imageSize);
    ASSERT_EQ(image.size() % 2048, 0u);
    EXPECT_LT(image.size(), 0x100000ull * 2048);

    EXPECT_EQ(Be16(image, 0), 0x4552u);  // "ER"
    EXPECT_EQ(Be16(image, 2), 2048u);
    EXPECT_EQ(Be32(image, 4), image.size() / 2048);
    for (uint32_t block = 1; block <= 5; ++block) {
        EXPECT_EQ(Be16(image, block * 2048), 0x504Du) << block;  // "PM"
        EXPECT_EQ(Be32(image, block * 2048 + 4), 5u) << block;
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(&image[2048 + 48]), "Verin_partition_map");
    EXPECT_EQ(Be32(image, 5 * 2048 + 8), 0x100000u);

    ASSERT_EQ(layout.volumes.size(), 2u);
    const char* signatures[] = {"H+", "HX"};
    for (size_t i = 0; i < 2; ++i) {
        const HFSImageVolumeLayout& v = layout.volumes[i];
        EXPECT_EQ(v.mapEntry, 3 + i);
        EXPECT_EQ(Be32(image, v.mapEntry * 2048 + 8) * 2048ull, v.partitionOffset);
        EXPECT_STREQ(reinterpret_cast<const char*>(&image[v.mapEntry * 2048 + 48]), "Verin_HFS");
        EXPECT_EQ(v.partitionOffset % 2048, 0u);
        uint64_t header = v.volumeOffset + 1024;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[header]), 2), signatures[i]);
        EXPECT_EQ(Be16(image, header + 2), i == 0 ? 4u : 5u);
        EXPECT_EQ(Be32(image, header + 40), v.blockSize);
        EXPECT_EQ(uint64_t{Be32(image, header + 44)} * v.blockSize, v.volumeSize);
        // The alternate header is a copy, 1024 bytes before the volume's end.
        uint64_t alternate = v.volumeOffset + v.volumeSize - 1024;
        EXPECT_TRUE(std::equal(&image[header], &image[header + 512], &image[alternate])) << i;
        // Catalog header node: the compare type of the volume's kind.
        EXPECT_EQ(image[v.catalogOffset + 14 + 37], i == 0 ? 0xCFu : 0xBCu);
        EXPECT_EQ(Be32(image, v.catalogOffset + 14 + 2), v.catalogRoot);
    }
    // The file's one byte sits in its own block after the catalog, where its
    // record's first extent says.
    const HFSImageVolumeLayout& first = layout.volumes[0];
    uint64_t dataStart = first.catalogOffset + uint64_t{first.catalogNodes} * first.catalogNodeSize;
    EXPECT_EQ(image[dataStart], 'A');
    ASSERT_EQ(first.records.size(), 2u);  // the root and the file
    EXPECT_EQ(first.records[0].cnid, kHFSImageRootID);
    const HFSImageRecordPlace& place = first.records[1];
    ASSERT_EQ(place.cnid, fileA);
    uint64_t data = place.recordOffset + 2 + Be16(image, place.recordOffset);
    EXPECT_EQ(Be16(image, data), 2u);  // file record
    EXPECT_EQ(Be32(image, data + 8), fileA);
    EXPECT_EQ(first.volumeOffset + uint64_t{Be32(image, data + 88 + 16)} * first.blockSize, dataStart);
    EXPECT_EQ(Be32(image, place.threadOffset + 2), fileA);  // thread key: (cnid, "")
    uint64_t thread = place.threadOffset + 2 + Be16(image, place.threadOffset);
    EXPECT_EQ(Be16(image, thread), 4u);  // file thread
    EXPECT_EQ(Be32(image, thread + 4), kHFSImageRootID);

    // The file on disc holds the same bytes as the image in memory.
    TempDir dir;
    fs::path path = dir.path / "same.img";
    ASSERT_EQ(WriteDiscImage(imageSpec, path.string(), nullptr, &error), kStatusOK) << error;
    std::string written = ReadFile(path);
    EXPECT_TRUE(written.size() == image.size() &&
                std::memcmp(written.data(), image.data(), image.size()) == 0);
}

TEST(ImageWriter, WrapperPointsAtTheEmbeddedVolume) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Wrapped");
    volume.hfsWrapper = true;
    volume.AddPatternFile(kHFSImageRootID, "data", 100000);
    std::vector<uint8_t> image;
    HFSImageLayout layout;
    ASSERT_EQ(BuildDiscImage(imageSpec, &image, &layout, nullptr), kStatusOK);
    const HFSImageVolumeLayout& v = layout.volumes[0];
    uint64_t mdb = v.partitionOffset + 1024;
    EXPECT_EQ(Be16(image, mdb), 0x4244u);        // "BD"
    EXPECT_EQ(Be16(image, mdb + 124), 0x482Bu);  // "H+"
    uint64_t blockSize = Be32(image, mdb + 20);
    uint64_t firstSector = Be16(image, mdb + 28);
    uint64_t embedStart = Be16(image, mdb + 126);
    uint64_t embedCount = Be16(image, mdb + 128);
    EXPECT_EQ(v.partitionOffset + firstSector * 512 + embedStart * blockSize, v.volumeOffset);
    EXPECT_EQ(embedCount * blockSize, v.volumeSize);
    EXPECT_EQ(v.volumeOffset % 4096, 0u);
    EXPECT_EQ(Be16(image, v.volumeOffset + 1024), 0x482Bu);
    // The alternate MDB closes the partition.
    EXPECT_TRUE(std::equal(&image[mdb], &image[mdb + 512],
                           &image[v.partitionOffset + v.partitionSize - 1024]));
}

TEST(ImageWriter, RefusesWhatCannotBeWritten) {
    auto status = [](auto&& setup) {
        HFSImageSpec imageSpec;
        HFSImageVolume& volume = imageSpec.AddVolume("V");
        setup(imageSpec, volume);
        std::vector<uint8_t> image;
        std::string error;
        QxStatus result = BuildDiscImage(imageSpec, &image, nullptr, &error);
        if (result != kStatusOK) EXPECT_FALSE(error.empty());
        return result;
    };
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) { v.blockSize = 3000; }), kStatusBadParameter);
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) { v.catalogNodeSize = 2048; }), kStatusBadParameter);
    EXPECT_EQ(status([](HFSImageSpec& s, HFSImageVolume&) { s.mapBlockSize = 4096; }), kStatusBadParameter);
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) {
                  v.kind = HFSImageKind::kCaseSensitive;
                  v.hfsWrapper = true;
              }), kStatusBadParameter);
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) { v.maxRecordsPerNode = 1; }), kStatusBadParameter);
    EXPECT_EQ(status([](HFSImageSpec& s, HFSImageVolume&) { s.AddEntry(std::string(32, 'n'), "t", 1); }),
              kStatusBadName);
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) { v.name = ""; }), kStatusBadName);
    // Names equal when folded clash on H+, and also when they differ only in
    // an ignorable unit (U+200D); on HX the case differs and both stay.
    auto clash = [](HFSImageKind kind, const char* second) {
        return [kind, second](HFSImageSpec&, HFSImageVolume& v) {
            v.kind = kind;
            v.AddFile(kHFSImageRootID, "Kernel", "1");
            v.AddFile(kHFSImageRootID, second, "2");
        };
    };
    EXPECT_EQ(status(clash(HFSImageKind::kPlus, "kERNEL")), kStatusBadName);
    EXPECT_EQ(status(clash(HFSImageKind::kPlus, "Ker\xE2\x80\x8Dnel")), kStatusBadName);
    EXPECT_EQ(status(clash(HFSImageKind::kCaseSensitive, "kernel")), kStatusOK);
    EXPECT_EQ(status(clash(HFSImageKind::kPlus, "Kernel2")), kStatusOK);
    EXPECT_EQ(status(clash(HFSImageKind::kCaseSensitive, "Kernel")), kStatusBadName);
    // Precomposed and decomposed input are the same stored name.
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) {
                  v.AddFile(kHFSImageRootID, "Caf\xC3\xA9", "1");
                  v.AddFile(kHFSImageRootID, "Cafe\xCC\x81", "2");
              }), kStatusBadName);
    // A file of 3 blocks cannot become 4 extents once the block size is known.
    EXPECT_EQ(status([](HFSImageSpec&, HFSImageVolume& v) {
                  v.Fragment(v.AddPatternFile(kHFSImageRootID, "f", 3 * 4096), 4);
              }), kStatusBadParameter);

    HFSImageVolume volume;
    uint32_t file = volume.AddFile(kHFSImageRootID, "f", "x");
    EXPECT_NE(file, 0u);
    EXPECT_EQ(volume.AddFolder(file, "inside a file"), 0u);
    EXPECT_EQ(volume.AddFolder(kHFSImageRootID, "a/b"), 0u);
    EXPECT_EQ(volume.AddFolder(kHFSImageRootID, ""), 0u);
    EXPECT_EQ(volume.AddFolder(kHFSImageRootID, "\xC3"), 0u);  // cut UTF-8
    EXPECT_EQ(volume.AddFolder(kHFSImageRootID, std::string(256, 'n')), 0u);
    EXPECT_NE(volume.AddFolder(kHFSImageRootID, std::string(255, 'n')), 0u);
    // 128 x U+00E9 decomposes to 256 units: too long once stored.
    std::string accents;
    for (int i = 0; i < 128; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(volume.AddFolder(kHFSImageRootID, accents), 0u);
    EXPECT_EQ(volume.AddHardLink(kHFSImageRootID, "l", kHFSImageRootID), 0u);
    uint32_t link = volume.AddHardLink(kHFSImageRootID, "l", file);
    EXPECT_NE(link, 0u);
    EXPECT_EQ(volume.AddHardLink(kHFSImageRootID, "l2", link), 0u);  // no links to links
    EXPECT_FALSE(volume.Fragment(file, 2));                         // one byte
    EXPECT_FALSE(volume.Fragment(kHFSImageRootID, 1));
    EXPECT_EQ(volume.Find("l"), link);
    uint32_t oldPlace = volume.Find("f");  // a link record of its own now
    EXPECT_NE(oldPlace, 0u);
    EXPECT_NE(oldPlace, file);
    EXPECT_NE(oldPlace, link);
    EXPECT_EQ(volume.Find(""), kHFSImageRootID);
    uint32_t made = volume.MakeFolders("x/y/z");
    EXPECT_NE(made, 0u);
    EXPECT_EQ(volume.Find("x/y/z"), made);
    EXPECT_EQ(volume.MakeFolders("x/y"), volume.Find("x/y"));
    EXPECT_EQ(volume.MakeFolders("l/z"), 0u);
}

TEST(ImageWriter, PatternBytesNameTheirFileAndOffset) {
    // CNIDs print modulo 10^6, offsets modulo 2^32; a range may start mid-record.
    uint8_t bytes[40];
    HFSImagePatternBytes(1234567, 0x1000000008ull, bytes, sizeof bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), sizeof bytes),
              "0000000\n234567:00000010\n234567:00000020\n");
    HFSImagePatternBytes(16, 0, bytes, 16);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 16), "000016:00000000\n");
}

}  // namespace
