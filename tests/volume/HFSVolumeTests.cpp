// The HFS+ reader on images made by the image writer: mount of the three
// kinds of volume, name order, deep catalogs, paths, hard links, fragmented
// files and the sector cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "HFSCatalog.h"
#include "HFSNames.h"
#include "HFSTestImage.h"
#include "HFSVolume.h"
#include "QxLMemory.h"

using namespace hfstest;

namespace {

std::string Contents(const HFSFork* fork) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(ReadAll(const_cast<HFSFork*>(fork), &bytes), kStatusOK);
    return std::string(bytes.begin(), bytes.end());
}

// Opens path, reads it whole and closes it; "<status>" on failure.
std::string ReadFile(HFSVolume* volume, const char* path) {
    HFSFork* fork = nullptr;
    QxStatus status = OpenFork(volume, path, &fork);
    if (status != kStatusOK) return "<" + std::to_string(status) + ">";
    std::string text = Contents(fork);
    CloseFork(fork);
    return text;
}

std::string FullPathText(HFSVolume* volume, const char* path) {
    char text[kHFSFullPathBufferSize];
    QxStatus status = FullPath(volume, path, text);
    if (status != kStatusOK) return "<" + std::to_string(status) + ">";
    return text;
}

std::string VolumeName(const HFSVolume* volume) {
    char text[800];
    size_t length = 0;
    EXPECT_EQ(HfsNameToUtf8(volume->volumeName, volume->volumeNameLength, text, sizeof text,
                            &length),
              kStatusOK);
    return text;
}

uint32_t ForkCount(HFSVolume* volume) {
    uint32_t count = 0;
    HFSFork* fork = volume->forks;
    if (fork == nullptr) return 0;
    do {
        count++;
        fork = fork->next;
    } while (fork != volume->forks && count < 1000);
    return count;
}

// A small volume with the usual boot-disc shape.
void AddSystemFiles(HFSImageVolume& volume) {
    uint32_t system = volume.AddFolder(kHFSImageRootID, "System");
    uint32_t library = volume.AddFolder(system, "Library");
    volume.AddFile(kHFSImageRootID, "mach_kernel", "root kernel");
    volume.AddFile(system, "mach_kernel", "system kernel");
    volume.AddFile(library, "Kernel", "library Kernel");
    volume.AddFolder(library, "Empty");
}

}  // namespace

TEST(HFSMount, PlainVolumeMountsAndReads) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Install Disc");
    AddSystemFiles(volume);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* mounted = disc.Volume();
    ASSERT_NE(mounted, nullptr);

    EXPECT_EQ(mounted->tag, kHFSVolumeTag);
    EXPECT_EQ(mounted->blockSize, 4096u);
    EXPECT_EQ(mounted->sectorSize, 2048u);
    EXPECT_EQ(mounted->embeddedOffset, 0u);
    EXPECT_EQ(VolumeName(mounted), "Install Disc");
    EXPECT_EQ(mounted->volumeName[mounted->volumeNameLength], 0);
    // Extents, catalog and root pseudo-fork, in that order.
    ASSERT_EQ(ForkCount(mounted), 3u);
    EXPECT_EQ(mounted->forks->cnid, kHFSExtentsFileID);
    EXPECT_EQ(mounted->forks->next->cnid, kHFSCatalogFileID);
    EXPECT_EQ(mounted->forks->next->next->cnid, kHFSRootFolderID);
    EXPECT_TRUE(mounted->forks->next->next->isFolder);
    HFSFork* catalog = FindFork(mounted, kHFSCatalogFileID);
    ASSERT_NE(catalog, nullptr);
    EXPECT_EQ(catalog->btree->compare, &CompareCatalogKeys);
    EXPECT_EQ(FindFork(mounted, kHFSExtentsFileID)->btree->compare, &CompareExtentKeys);
    EXPECT_EQ(FindFork(mounted, 99), nullptr);

    EXPECT_EQ(ReadFile(mounted, "mach_kernel"), "root kernel");
    EXPECT_EQ(ReadFile(mounted, "System/mach_kernel"), "system kernel");
    EXPECT_EQ(ReadFile(mounted, "System/Library/Kernel"), "library Kernel");
    // Case-insensitive order: any case finds the file.
    EXPECT_EQ(ReadFile(mounted, "SYSTEM/library/kernel"), "library Kernel");
    EXPECT_EQ(ReadFile(mounted, "System/nothing"), "<" + std::to_string(kHFSNotFound) + ">");
    EXPECT_EQ(ReadFile(mounted, "System/Library"),
              "<" + std::to_string(kStatusUnexpectedType) + ">");
    // A file in the middle of a path is not a folder.
    EXPECT_EQ(ReadFile(mounted, "mach_kernel/x"), "<" + std::to_string(kHFSNotFound) + ">");

    // Opened forks join the list and leave it again.
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(mounted, "System/mach_kernel", &fork), kStatusOK);
    EXPECT_EQ(fork->tag, kHFSForkTag);
    EXPECT_EQ(fork->parentID, volume.Find("System"));
    EXPECT_EQ(fork->cnid, volume.Find("System/mach_kernel"));
    EXPECT_EQ(fork->logicalSize, 13u);
    EXPECT_FALSE(fork->isFolder);
    EXPECT_EQ(ForkCount(mounted), 4u);
    HFSFork* root = nullptr;
    ASSERT_EQ(OpenFork(mounted, "", &root), kStatusOK);
    EXPECT_TRUE(root->isFolder);
    EXPECT_EQ(root->cnid, kHFSRootFolderID);
    EXPECT_EQ(root->parentID, kHFSRootParentID);
    EXPECT_EQ(ForkCount(mounted), 5u);
    CloseFork(fork);
    CloseFork(root);
    EXPECT_EQ(ForkCount(mounted), 3u);
    // Forks left open are released by the unmount (ASan checks for leaks).
    ASSERT_EQ(OpenFork(mounted, "mach_kernel", &fork), kStatusOK);
}

TEST(HFSMount, ExistenceAndFolderQuestions) {
    HFSImageSpec imageSpec;
    AddSystemFiles(imageSpec.AddVolume("Disc"));
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);

    EXPECT_TRUE(ItemExistsAs(v, "", true));
    EXPECT_FALSE(ItemExistsAs(v, "", false));
    EXPECT_TRUE(ItemExistsAs(v, "System", true));
    EXPECT_FALSE(ItemExistsAs(v, "System", false));
    EXPECT_TRUE(ItemExistsAs(v, "System/Library/Empty", true));
    EXPECT_TRUE(ItemExistsAs(v, "System/mach_kernel", false));
    EXPECT_FALSE(ItemExistsAs(v, "System/mach_kernel", true));
    EXPECT_FALSE(ItemExistsAs(v, "Nothing", true));
    EXPECT_FALSE(ItemExistsAs(v, "Nothing", false));
    // Invalid UTF-8 is simply absent.
    EXPECT_FALSE(ItemExistsAs(v, "Sys\xC0\x80tem", true));
}

TEST(HFSMount, CaseSensitiveVolumeComparesBinary) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Sensitive");
    volume.kind = HFSImageKind::kCaseSensitive;
    AddSystemFiles(volume);
    volume.AddFile(kHFSImageRootID, "Mach_Kernel", "upper");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSFork* catalog = FindFork(v, kHFSCatalogFileID);
    EXPECT_EQ(catalog->btree->keyCompareType, kHFSBinaryCompare);
    EXPECT_EQ(catalog->btree->compare, &CompareCatalogKeysBinary);
    EXPECT_EQ(v->header[0], 'H');
    EXPECT_EQ(v->header[1], 'X');

    EXPECT_EQ(ReadFile(v, "System/Library/Kernel"), "library Kernel");
    EXPECT_FALSE(ItemExistsAs(v, "System/Library/kernel", false));
    EXPECT_FALSE(ItemExistsAs(v, "system", true));
    EXPECT_EQ(ReadFile(v, "mach_kernel"), "root kernel");
    EXPECT_EQ(ReadFile(v, "Mach_Kernel"), "upper");
}

TEST(HFSMount, WrappedVolumeMounts) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Wrapped");
    volume.hfsWrapper = true;
    AddSystemFiles(volume);
    uint32_t big = volume.AddPatternFile(kHFSImageRootID, "big", 100000);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    const HFSImageVolumeLayout& l = disc.layout.volumes[0];
    EXPECT_NE(v->embeddedOffset, 0u);
    EXPECT_EQ(uint64_t{v->embeddedOffset} * 512, l.volumeOffset - l.partitionOffset);
    EXPECT_EQ(VolumeName(v), "Wrapped");
    EXPECT_EQ(ReadFile(v, "System/Library/Kernel"), "library Kernel");
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(v, "big", &fork), kStatusOK);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(ReadAll(fork, &bytes), kStatusOK);
    EXPECT_EQ(bytes, Pattern(big, 0, 100000));
    CloseFork(fork);
}

TEST(HFSMount, SmallSectorsAndOtherBlockSizes) {
    // 512-byte device sectors with 512-byte blocks, 2048-byte blocks with
    // larger catalog nodes, and B-tree nodes smaller than a sector (read
    // from the sector that holds them) with enough fragments to spread the
    // extents records over several nodes.
    struct Case {
        uint32_t sectorSize, blockSize, catalogNodeSize, extentsNodeSize, fragments;
    } cases[] = {{512, 512, 4096, 512, 12},     {2048, 2048, 8192, 2048, 12},
                 {2048, 8192, 4096, 4096, 12},  {2048, 2048, 4096, 512, 100},
                 {4096, 4096, 4096, 1024, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sectorSize << "/" << c.blockSize << "/"
                                        << c.catalogNodeSize << "/" << c.extentsNodeSize);
        HFSImageSpec imageSpec;
        imageSpec.sectorSize = c.sectorSize;
        HFSImageVolume& volume = imageSpec.AddVolume("Sizes");
        volume.blockSize = c.blockSize;
        volume.catalogNodeSize = c.catalogNodeSize;
        volume.extentsNodeSize = c.extentsNodeSize;
        uint32_t file = volume.AddPatternFile(kHFSImageRootID, "f", 800001);
        volume.Fragment(file, c.fragments);
        TestDisc disc;
        ASSERT_TRUE(disc.Build(imageSpec));
        ASSERT_EQ(disc.Open(c.sectorSize), kStatusOK);
        HFSVolume* v = disc.Volume();
        ASSERT_NE(v, nullptr);
        HFSFork* fork = nullptr;
        ASSERT_EQ(OpenFork(v, "f", &fork), kStatusOK);
        std::vector<uint8_t> bytes;
        ASSERT_EQ(ReadAll(fork, &bytes), kStatusOK);
        EXPECT_EQ(bytes, Pattern(file, 0, 800001));
        CloseFork(fork);
    }
}

TEST(HFSMount, TwoVolumesOnOneDisc) {
    HFSImageSpec imageSpec;
    imageSpec.AddEntry("Driver", "Verin_Driver43", 64);
    imageSpec.AddVolume("First").AddFile(kHFSImageRootID, "which", "first");
    HFSImageVolume& second = imageSpec.AddVolume("Second");
    second.kind = HFSImageKind::kCaseSensitive;
    second.AddFile(kHFSImageRootID, "which", "second");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    ASSERT_NE(disc.Volume(1), nullptr);
    EXPECT_EQ(VolumeName(disc.Volume(0)), "First");
    EXPECT_EQ(VolumeName(disc.Volume(1)), "Second");
    EXPECT_EQ(ReadFile(disc.Volume(0), "which"), "first");
    EXPECT_EQ(ReadFile(disc.Volume(1), "which"), "second");
}

TEST(HFSCatalog, DeepCatalogFindsEveryItem) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Deep");
    volume.maxRecordsPerNode = 4;
    std::vector<std::pair<std::string, std::string>> files;
    for (int f = 0; f < 12; f++) {
        std::string folder = "Folder " + std::to_string(f * 7);
        uint32_t id = volume.AddFolder(kHFSImageRootID, folder);
        for (int i = 0; i < 15; i++) {
            std::string name = "file-" + std::to_string(i * 13 % 17) + "-" + std::to_string(i);
            std::string contents = folder + "/" + name;
            volume.AddFile(id, name, contents);
            files.emplace_back(contents, contents);
        }
    }
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    EXPECT_GE(disc.layout.volumes[0].catalogDepth, 3u);
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(FindFork(v, kHFSCatalogFileID)->btree->treeDepth,
              disc.layout.volumes[0].catalogDepth);
    for (const auto& [path, contents] : files) {
        EXPECT_EQ(ReadFile(v, path.c_str()), contents);
        EXPECT_EQ(FullPathText(v, path.c_str()), path);
    }
    // Names between, before and after the existing ones are absent.
    EXPECT_FALSE(ItemExistsAs(v, "Folder 0/file-0-00", false));
    EXPECT_FALSE(ItemExistsAs(v, "Folder 0/a", false));
    EXPECT_FALSE(ItemExistsAs(v, "Folder 0/zzz", false));
    EXPECT_FALSE(ItemExistsAs(v, "Folder 1", true));
    // A key below every key in the tree descends through record 0 of each
    // index node and is then not found in the leaf; the position is still
    // reported.
    uint8_t key[kBTreeMaxKeyBytes];
    const uint16_t name[] = {'a'};
    MakeCatalogKey(0, name, 1, key);
    uint8_t record[kHFSRecordBufferSize];
    BTreePosition position{0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(BTreeSearch(FindFork(v, kHFSCatalogFileID), key, sizeof record, record, &position),
              kHFSNotFound);
    EXPECT_EQ(position.node, disc.Leaves(true).front());
    EXPECT_EQ(position.index, 0u);
    // And before the first leaf record there is nothing.
    uint8_t data[kBTreePreviousDataBytes];
    EXPECT_EQ(BTreePrevious(FindFork(v, kHFSCatalogFileID), &position, key, data),
              kHFSNotFound);
}

TEST(HFSCatalog, BTreePreviousWalksBackAcrossLeaves) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Walk");
    volume.maxRecordsPerNode = 3;
    for (int i = 0; i < 20; i++) volume.AddFile(kHFSImageRootID, "f" + std::to_string(100 + i), "");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSFork* catalog = FindFork(v, kHFSCatalogFileID);
    // Start past the last file and walk back through every leaf record: file
    // records of f119..f100 (in reverse), interleaved with nothing else since
    // the threads sort under the files' own CNIDs.
    uint8_t key[kBTreeMaxKeyBytes];
    const uint16_t last[] = {'f', '9'};
    MakeCatalogKey(kHFSImageRootID, last, 2, key);
    uint8_t record[kHFSRecordBufferSize];
    BTreePosition position{};
    ASSERT_EQ(BTreeSearch(catalog, key, sizeof record, record, &position), kHFSNotFound);
    uint8_t data[kBTreePreviousDataBytes];
    std::set<uint32_t> nodes;
    for (int i = 19; i >= 0; i--) {
        ASSERT_EQ(BTreePrevious(catalog, &position, key, data), kStatusOK);
        nodes.insert(position.node);
        EXPECT_EQ(Get32(key + 2), kHFSImageRootID);
        std::u16string expected = u"f1" + std::u16string(1, u'0' + i / 10) +
                                  std::u16string(1, u'0' + i % 10);
        ASSERT_EQ(Get16(key + 6), 4u);
        for (int u = 0; u < 4; u++) EXPECT_EQ(Get16(key + 8 + 2 * u), expected[u]);
        EXPECT_EQ(Get16(data), kHFSFileRecord);
    }
    EXPECT_GE(nodes.size(), 5u);
    // Next come the root's thread and the root folder record under parent 1.
    ASSERT_EQ(BTreePrevious(catalog, &position, key, data), kStatusOK);
    EXPECT_EQ(Get32(key + 2), kHFSImageRootID);
    EXPECT_EQ(Get16(key + 6), 0u);
    EXPECT_EQ(Get16(data), kHFSFolderThreadRecord);
    ASSERT_EQ(BTreePrevious(catalog, &position, key, data), kStatusOK);
    EXPECT_EQ(Get32(key + 2), kHFSRootParentID);
    EXPECT_EQ(Get16(data), kHFSFolderRecord);
    EXPECT_EQ(BTreePrevious(catalog, &position, key, data), kHFSNotFound);
}

TEST(HFSCatalog, PathsWithDotsAndSlashes) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Paths");
    AddSystemFiles(volume);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    const std::string notFound = "<" + std::to_string(kHFSNotFound) + ">";

    EXPECT_EQ(ReadFile(v, "System//mach_kernel"), "system kernel");
    EXPECT_EQ(ReadFile(v, "System///Library//Kernel"), "library Kernel");
    EXPECT_EQ(ReadFile(v, "System/../mach_kernel"), "root kernel");
    EXPECT_EQ(ReadFile(v, "System/Library/../../System/mach_kernel"), "system kernel");
    EXPECT_EQ(ReadFile(v, "./System/./mach_kernel"), "system kernel");
    EXPECT_EQ(ReadFile(v, "../x"), notFound);
    EXPECT_EQ(ReadFile(v, ".."), "<" + std::to_string(kHFSNotFound) + ">");
    // A leading slash is the root.
    EXPECT_EQ(ReadFile(v, "/System/mach_kernel"), "system kernel");
    EXPECT_TRUE(ItemExistsAs(v, "/", true));
    EXPECT_TRUE(ItemExistsAs(v, ".", true));
    EXPECT_TRUE(ItemExistsAs(v, "System/.", true));
    EXPECT_TRUE(ItemExistsAs(v, "System/Library/..", true));
    EXPECT_TRUE(ItemExistsAs(v, "System/", true));

    EXPECT_EQ(FullPathText(v, ""), "");
    EXPECT_EQ(FullPathText(v, "."), "");
    EXPECT_EQ(FullPathText(v, "System/../mach_kernel"), "mach_kernel");
    EXPECT_EQ(FullPathText(v, "system//LIBRARY/kernel"), "System/Library/Kernel");
    EXPECT_EQ(FullPathText(v, "System/Library/."), "System/Library");
    EXPECT_EQ(FullPathText(v, "System/Library/.."), "System");
    EXPECT_EQ(FullPathText(v, "nothing"), notFound);

    // ResolvePath reports the folder in which the last component was found.
    const std::u16string path = u"System/Library/Kernel";
    uint8_t record[kHFSRecordBufferSize];
    uint32_t parent = 0;
    ASSERT_EQ(ResolvePath(v, kHFSRootFolderID, reinterpret_cast<const uint16_t*>(path.data()),
                          static_cast<uint32_t>(path.size()), &parent, record),
              kStatusOK);
    EXPECT_EQ(parent, volume.Find("System/Library"));
    EXPECT_EQ(Get16(record), kHFSFileRecord);
    EXPECT_EQ(Get32(record + 8), volume.Find("System/Library/Kernel"));
    // Relative to another start folder.
    const std::u16string relative = u"Library/Kernel";
    ASSERT_EQ(ResolvePath(v, volume.Find("System"), reinterpret_cast<const uint16_t*>(relative.data()),
                          static_cast<uint32_t>(relative.size()), &parent, record),
              kStatusOK);
    EXPECT_EQ(Get32(record + 8), volume.Find("System/Library/Kernel"));
    EXPECT_EQ(ResolvePath(v, kHFSRootFolderID, nullptr, 0, &parent, record), kHFSNotFound);
}

TEST(HFSCatalog, LongNamesAndLongPaths) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Long");
    std::string longName(255, 'n');
    volume.AddFile(kHFSImageRootID, longName, "longest");
    uint32_t folder = kHFSImageRootID;
    std::string deep;
    for (int i = 0; i < 3; i++) {
        std::string name(100, static_cast<char>('a' + i));
        folder = volume.AddFolder(folder, name);
        deep += (i > 0 ? "/" : "") + name;
    }
    volume.AddFile(folder, "leaf", "deep");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);

    EXPECT_EQ(ReadFile(v, longName.c_str()), "longest");
    // Components are cut to 255 units.
    EXPECT_EQ(ReadFile(v, std::string(300, 'n').c_str()), "longest");
    EXPECT_EQ(FullPathText(v, longName.c_str()), longName);
    // 302 bytes of path do not fit in 260.
    EXPECT_EQ(ReadFile(v, (deep + "/leaf").c_str()), "deep");
    EXPECT_EQ(FullPathText(v, (deep + "/leaf").c_str()),
              "<" + std::to_string(kStatusBadSize) + ">");
    EXPECT_EQ(FullPathText(v, deep.substr(0, 201).c_str()), deep.substr(0, 201));
}

TEST(HFSCatalog, NonAsciiNamesAreFoundInEitherForm) {
    HFSImageSpec imageSpec;
    HFSImageVolume& plain = imageSpec.AddVolume("Caf\xC3\xA9 Disc");
    plain.AddFile(kHFSImageRootID, "caf\xC3\xA9", "coffee");           // é precomposed
    plain.AddFile(kHFSImageRootID, "\xED\x95\x9C\xEA\xB8\x80", "hangul");  // 한글
    uint32_t folder = plain.AddFolder(kHFSImageRootID, "\xC3\x9C" "ber");  // Über
    plain.AddFile(folder, "n\xCC\x83", "tilde");                         // ñ decomposed
    HFSImageVolume& sensitive = imageSpec.AddVolume("Sensitive");
    sensitive.kind = HFSImageKind::kCaseSensitive;
    sensitive.AddFile(kHFSImageRootID, "caf\xC3\xA9", "coffee");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume(0);
    ASSERT_NE(v, nullptr);

    EXPECT_EQ(VolumeName(v), "Cafe\xCC\x81 Disc");  // as stored: decomposed
    EXPECT_EQ(ReadFile(v, "caf\xC3\xA9"), "coffee");
    EXPECT_EQ(ReadFile(v, "cafe\xCC\x81"), "coffee");
    EXPECT_EQ(ReadFile(v, "CAF\xC3\x89"), "coffee");  // É folds with the case
    EXPECT_EQ(ReadFile(v, "\xED\x95\x9C\xEA\xB8\x80"), "hangul");
    EXPECT_EQ(ReadFile(v, "\xC3\xBC" "BER/\xC3\xB1"), "tilde");
    EXPECT_EQ(FullPathText(v, "caf\xC3\xA9"), "cafe\xCC\x81");
    EXPECT_EQ(FullPathText(v, "\xED\x95\x9C\xEA\xB8\x80"),
              "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB\xE1\x84\x80\xE1\x85\xB3\xE1\x86\xAF");
    EXPECT_EQ(FullPathText(v, "\xC3\xBC" "ber/\xC3\xB1"), "U\xCC\x88" "ber/n\xCC\x83");

    HFSVolume* s = disc.Volume(1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadFile(s, "caf\xC3\xA9"), "coffee");
    EXPECT_FALSE(ItemExistsAs(s, "CAF\xC3\x89", false));
}

TEST(HFSCatalog, HardLinksResolveToTheirIndirectFile) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Links");
    uint32_t target = volume.AddPatternFile(kHFSImageRootID, "original", 50000);
    uint32_t folder = volume.AddFolder(kHFSImageRootID, "Other");
    volume.AddHardLink(folder, "link", target);
    volume.AddHardLink(kHFSImageRootID, "second link", target);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);

    for (const char* path : {"original", "Other/link", "second link"}) {
        SCOPED_TRACE(path);
        HFSFork* fork = nullptr;
        ASSERT_EQ(OpenFork(v, path, &fork), kStatusOK);
        EXPECT_EQ(fork->cnid, target);
        std::vector<uint8_t> bytes;
        ASSERT_EQ(ReadAll(fork, &bytes), kStatusOK);
        EXPECT_EQ(bytes, Pattern(target, 0, 50000));
        CloseFork(fork);
    }
    // The link's folder stays the reported parent; the rest of the path after
    // a link is not looked at.
    const std::u16string path = u"Other/link/ignored";
    uint8_t record[kHFSRecordBufferSize];
    uint32_t parent = 0;
    ASSERT_EQ(ResolvePath(v, kHFSRootFolderID, reinterpret_cast<const uint16_t*>(path.data()),
                          static_cast<uint32_t>(path.size()), &parent, record),
              kStatusOK);
    EXPECT_EQ(parent, folder);
    EXPECT_EQ(Get32(record + 8), target);
    EXPECT_TRUE(ItemExistsAs(v, "Other/link", false));
    // The indirect file's own path, through the private folder.
    const std::string privateFolder = "\xE2\x90\x80\xE2\x90\x80\xE2\x90\x80\xE2\x90\x80HFS+ Private Data";
    EXPECT_EQ(FullPathText(v, "Other/link"), privateFolder + "/iNode" + std::to_string(target));
    EXPECT_TRUE(ItemExistsAs(v, privateFolder.c_str(), true));
}

TEST(HFSRead, FragmentedFileReadsExactly) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Fragments");
    const uint64_t size = 3 * 1024 * 1024 + 777;
    uint32_t big = volume.AddPatternFile(kHFSImageRootID, "big", size);
    ASSERT_TRUE(volume.Fragment(big, 40));
    // Other fragmented files around it in the overflow file, so that the
    // search lands between records of different files.
    uint32_t before = volume.AddPatternFile(kHFSImageRootID, "before", 200000);
    uint32_t after = volume.AddPatternFile(kHFSImageRootID, "after", 200000);
    ASSERT_TRUE(volume.Fragment(before, 30));
    ASSERT_TRUE(volume.Fragment(after, 30));
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(v, "big", &fork), kStatusOK);
    ASSERT_EQ(fork->logicalSize, size);
    for (const HFSExtent& extent : fork->extents) EXPECT_NE(extent.blockCount, 0u);

    const std::vector<uint8_t> expected = Pattern(big, 0, size);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(ReadAll(fork, &bytes), kStatusOK);
    EXPECT_TRUE(bytes == expected);

    // Odd-sized pieces one after another cross every block and extent end.
    std::vector<uint8_t> pieces(size);
    for (uint64_t offset = 0; offset < size;) {
        uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(12347, size - offset));
        ASSERT_EQ(ReadFork(fork, offset, count, pieces.data() + offset), kStatusOK) << offset;
        offset += count;
    }
    EXPECT_TRUE(pieces == expected);
    // Two bytes across every block boundary.
    for (uint64_t boundary = 4096; boundary < size; boundary += 4096) {
        uint8_t two[2];
        ASSERT_EQ(ReadFork(fork, boundary - 1, 2, two), kStatusOK);
        ASSERT_EQ(two[0], expected[boundary - 1]);
        ASSERT_EQ(two[1], expected[boundary]);
    }
    // Random ranges.
    std::mt19937_64 random(42);
    for (int i = 0; i < 200; i++) {
        uint64_t offset = random() % size;
        uint32_t count = static_cast<uint32_t>(random() % std::min<uint64_t>(300000, size - offset));
        std::vector<uint8_t> piece(count);
        ASSERT_EQ(ReadFork(fork, offset, count, piece.data()), kStatusOK);
        ASSERT_TRUE(std::equal(piece.begin(), piece.end(), expected.begin() + offset)) << offset;
    }
    CloseFork(fork);

    for (auto [name, id] : {std::pair{"before", before}, std::pair{"after", after}}) {
        ASSERT_EQ(OpenFork(v, name, &fork), kStatusOK);
        ASSERT_EQ(ReadAll(fork, &bytes), kStatusOK);
        EXPECT_TRUE(bytes == Pattern(id, 0, 200000)) << name;
        CloseFork(fork);
    }
}

TEST(HFSRead, EndOfFile) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Ends");
    uint32_t file = volume.AddPatternFile(kHFSImageRootID, "f", 10000);
    volume.AddFile(kHFSImageRootID, "empty", "");
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(v, "f", &fork), kStatusOK);
    uint8_t bytes[16] = {};
    const std::vector<uint8_t> expected = Pattern(file, 0, 10000);
    ASSERT_EQ(ReadFork(fork, 9999, 1, bytes), kStatusOK);
    EXPECT_EQ(bytes[0], expected[9999]);
    memset(bytes, 0, sizeof bytes);
    EXPECT_EQ(ReadFork(fork, 9999, 2, bytes), kStatusUnderrun);
    EXPECT_EQ(bytes[0], expected[9999]);  // what there was is read
    EXPECT_EQ(ReadFork(fork, 10000, 1, bytes), kStatusUnderrun);
    EXPECT_EQ(ReadFork(fork, 1ull << 40, 1, bytes), kStatusUnderrun);
    EXPECT_EQ(ReadFork(fork, 10000, 0, bytes), kStatusOK);
    CloseFork(fork);

    ASSERT_EQ(OpenFork(v, "empty", &fork), kStatusOK);
    EXPECT_EQ(fork->logicalSize, 0u);
    EXPECT_EQ(ReadFork(fork, 0, 0, bytes), kStatusOK);
    EXPECT_EQ(ReadFork(fork, 0, 1, bytes), kStatusUnderrun);
    CloseFork(fork);
}

TEST(HFSCache, NodesComeFromTheCacheAndBulkDataBypassesIt) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Cache");
    AddSystemFiles(volume);
    uint32_t big = volume.AddPatternFile(kHFSImageRootID, "big", 2 * 1024 * 1024);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSSectorCache& cache = v->cache;
    ASSERT_NE(cache.entries, nullptr);
    EXPECT_EQ(cache.entryCount, 128u);

    EXPECT_TRUE(ItemExistsAs(v, "System/Library/Kernel", false));
    uint64_t reads = cache.deviceReads;
    uint64_t hits = cache.hits;
    EXPECT_TRUE(ItemExistsAs(v, "System/Library/Kernel", false));
    EXPECT_EQ(cache.deviceReads, reads);
    EXPECT_GT(cache.hits, hits);

    // A block-aligned bulk read goes straight to the device, one request per
    // contiguous piece, and leaves the cache as it was.
    std::vector<HFSSectorCacheEntry> before(cache.entries, cache.entries + cache.entryCount);
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(v, "big", &fork), kStatusOK);
    std::vector<HFSSectorCacheEntry> opened(cache.entries, cache.entries + cache.entryCount);
    reads = cache.deviceReads;
    std::vector<uint8_t> bytes(2 * 1024 * 1024);
    ASSERT_EQ(ReadFork(fork, 0, static_cast<uint32_t>(bytes.size()), bytes.data()), kStatusOK);
    EXPECT_EQ(cache.deviceReads, reads + 1);
    EXPECT_TRUE(bytes == Pattern(big, 0, bytes.size()));
    std::vector<HFSSectorCacheEntry> after(cache.entries, cache.entries + cache.entryCount);
    for (uint32_t i = 0; i < cache.entryCount; i++) {
        EXPECT_EQ(after[i].stamp, opened[i].stamp);
        EXPECT_EQ(after[i].sector, opened[i].sector);
    }
    // Partial blocks at the ends go through the cache: a second read of the
    // same unaligned head needs no device read.
    uint8_t small[100];
    ASSERT_EQ(ReadFork(fork, 5000, sizeof small, small), kStatusOK);
    reads = cache.deviceReads;
    ASSERT_EQ(ReadFork(fork, 5001, sizeof small, small), kStatusOK);
    EXPECT_EQ(cache.deviceReads, reads);
    EXPECT_TRUE(std::equal(small, small + sizeof small, bytes.begin() + 5001));
    CloseFork(fork);
}

TEST(HFSCache, LargeCatalogEvictsLeastRecentlyUsed) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Big catalog");
    std::vector<std::string> names;
    for (int i = 0; i < 1600; i++) {
        names.push_back("a fairly long file name to fill the catalog " + std::to_string(10000 + i));
        volume.AddFile(kHFSImageRootID, names.back(), std::to_string(i));
    }
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    const HFSImageVolumeLayout& l = disc.layout.volumes[0];
    ASSERT_GT(uint64_t{l.catalogNodes} * l.catalogNodeSize, 2 * kHFSSectorCacheBytes);
    ASSERT_EQ(disc.Open(), kStatusOK);
    HFSVolume* v = disc.Volume();
    ASSERT_NE(v, nullptr);
    HFSSectorCache& cache = v->cache;

    for (size_t i = 0; i < names.size(); i++) {
        ASSERT_EQ(ReadFile(v, names[i].c_str()), std::to_string(i));
    }
    // Every entry is in use, sectors are distinct and stamps distinct.
    std::set<uint64_t> sectors;
    std::set<uint32_t> stamps;
    for (uint32_t i = 0; i < cache.entryCount; i++) {
        EXPECT_NE(cache.entries[i].stamp, 0u);
        sectors.insert(cache.entries[i].sector);
        stamps.insert(cache.entries[i].stamp);
    }
    EXPECT_EQ(sectors.size(), cache.entryCount);
    EXPECT_EQ(stamps.size(), cache.entryCount);
    // The last file's leaf is recent; the first file's leaf was evicted.
    uint64_t reads = cache.deviceReads;
    EXPECT_TRUE(ItemExistsAs(v, names.back().c_str(), false));
    EXPECT_EQ(cache.deviceReads, reads);
    EXPECT_TRUE(ItemExistsAs(v, names.front().c_str(), false));
    EXPECT_GT(cache.deviceReads, reads);
    reads = cache.deviceReads;
    EXPECT_TRUE(ItemExistsAs(v, names.front().c_str(), false));
    EXPECT_EQ(cache.deviceReads, reads);
}

TEST(HFSKeys, CatalogAndExtentOrder) {
    auto key = [](uint32_t parent, std::u16string name) {
        std::vector<uint8_t> k(kBTreeMaxKeyBytes);
        MakeCatalogKey(parent, reinterpret_cast<const uint16_t*>(name.data()),
                       static_cast<uint32_t>(name.size()), k.data());
        // Stored keys carry their real length.
        Put16(k.data(), static_cast<uint32_t>(6 + 2 * name.size()));
        return k;
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(CompareCatalogKeys(key(2, u"abc").data(), key(3, u"abc").data())), -1);
    EXPECT_EQ(sign(CompareCatalogKeys(key(0x80000000u, u"a").data(), key(2, u"b").data())), 1);
    EXPECT_EQ(CompareCatalogKeys(key(2, u"Kernel").data(), key(2, u"kERNEL").data()), 0);
    EXPECT_NE(CompareCatalogKeysBinary(key(2, u"Kernel").data(), key(2, u"kernel").data()), 0);
    EXPECT_EQ(sign(CompareCatalogKeysBinary(key(2, u"Kernel").data(), key(2, u"kernel").data())),
              -1);
    EXPECT_EQ(sign(CompareCatalogKeys(key(2, u"ab").data(), key(2, u"abc").data())), -1);
    EXPECT_EQ(sign(CompareCatalogKeysBinary(key(2, u"abc").data(), key(2, u"ab").data())), 1);
    // Units that fold to 0 are ignored.
    EXPECT_EQ(CompareCatalogKeys(key(2, u"a\u200Cb").data(), key(2, u"ab").data()), 0);
    EXPECT_EQ(CompareCatalogKeys(key(2, u"\uFEFFab").data(), key(2, u"AB").data()), 0);
    // Empty names (threads) sort first under their parent.
    EXPECT_LT(CompareCatalogKeys(key(2, u"").data(), key(2, u"\u200C").data()), 0);
    EXPECT_EQ(CompareCatalogKeys(key(7, u"").data(), key(7, u"").data()), 0);
    // Search keys are cut to 255 units.
    std::u16string longName(300, u'x');
    std::vector<uint8_t> cut = key(2, longName);
    EXPECT_EQ(Get16(cut.data() + 6), 255u);

    uint8_t a[12], b[12];
    MakeExtentKey(20, 100, a);
    MakeExtentKey(20, 99, b);
    EXPECT_GT(CompareExtentKeys(a, b), 0);
    MakeExtentKey(19, 0xFFFFFFFFu, b);
    EXPECT_GT(CompareExtentKeys(a, b), 0);
    MakeExtentKey(0x80000000u, 0, b);
    EXPECT_LT(CompareExtentKeys(a, b), 0);
    MakeExtentKey(20, 100, b);
    EXPECT_EQ(CompareExtentKeys(a, b), 0);
    b[2] = 0xFF;  // resource fork after the data fork
    EXPECT_LT(CompareExtentKeys(a, b), 0);
}

TEST(HFSMount, AllocationFailuresAreReported) {
    HFSImageSpec imageSpec;
    HFSImageVolume& volume = imageSpec.AddVolume("Memory");
    AddSystemFiles(volume);
    uint32_t file = volume.AddPatternFile(kHFSImageRootID, "f", 60000);
    volume.Fragment(file, 10);
    TestDisc disc;
    ASSERT_TRUE(disc.Build(imageSpec));
    ASSERT_EQ(disc.Open(), kStatusOK);
    bool succeeded = false;
    for (int n = 1; n < 100 && !succeeded; n++) {
        HFSVolume* v = nullptr;
        QxLFailAllocationAfter(n);
        QxStatus status = disc.Mount(0, &v);
        bool failed = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (status != kStatusOK) {
            EXPECT_TRUE(status == kHFSNoMemory || status == kStatusNoResources) << status;
            continue;
        }
        // A cache that could not be made is made on a later read.
        EXPECT_EQ(VolumeName(v), "Memory");
        QxLFailAllocationAfter(n);
        HFSFork* fork = nullptr;
        status = OpenFork(v, "f", &fork);
        if (status == kStatusOK) {
            std::vector<uint8_t> bytes(60000);
            status = ReadFork(fork, 1, 59999, bytes.data());
            if (status == kStatusOK) {
                EXPECT_TRUE(std::equal(bytes.begin(), bytes.end() - 1, Pattern(file, 1, 59999).begin()));
            }
            CloseFork(fork);
        }
        QxLFailAllocationAfter(0);
        EXPECT_TRUE(status == kStatusOK || status == kHFSNoMemory ||
                    status == kStatusNoResources)
            << status;
        succeeded = !failed;
    }
    EXPECT_TRUE(succeeded);
}
