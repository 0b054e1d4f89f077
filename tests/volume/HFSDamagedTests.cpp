// The HFS+ reader on damaged images: writer images with specific bytes
// changed must give their specific status, never a crash, an out-of-buffer
// read (ASan) or an endless loop; then a run of random damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "HFSCatalog.h"
#include "HFSTestImage.h"
#include "HFSVolume.h"
#include "HFSVolumeInternal.h"

using namespace hfstest;

namespace {

constexpr uint32_t kFileCount = 40;

std::string FileName(uint32_t i) { return "file " + std::to_string(100 + i); }
std::u16string FileName16(uint32_t i) {
    std::string name = FileName(i);
    return std::u16string(name.begin(), name.end());
}

// A volume with a catalog of depth 3 or more, a file spread over many extents
// (two leaves of overflow records) and a hard link.
struct Sample {
    HFSImageSpec imageSpec;
    HFSImageVolume* volume = nullptr;
    uint32_t folder = 0;
    uint32_t fragmented = 0;
    uint32_t linked = 0;
    std::vector<uint32_t> files;

    Sample() {
        volume = &imageSpec.AddVolume("Damaged");
        volume->maxRecordsPerNode = 4;
        volume->extentsNodeSize = 2048;
        folder = volume->AddFolder(kHFSImageRootID, "Folder");
        for (uint32_t i = 0; i < kFileCount; i++) {
            files.push_back(volume->AddFile(folder, FileName(i), FileName(i)));
        }
        fragmented = volume->AddPatternFile(kHFSImageRootID, "fragmented", 2 * 1024 * 1024);
        volume->Fragment(fragmented, 400);
        linked = volume->AddPatternFile(kHFSImageRootID, "linked", 10000);
        volume->AddHardLink(folder, "link", linked);
    }
};

class HFSDamaged : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(disc.Build(sample.imageSpec));
        pristine = disc.bytes;
        layout = disc.layout.volumes[0];
    }

    // Mounts the (damaged) bytes on a partition record of the test's own.
    QxStatus Mount() {
        volume = nullptr;
        QxStatus status = disc.Open();
        if (status != kStatusOK) return status;
        return disc.Mount(0, &volume);
    }

    NodeRecord Find(uint32_t parent, const std::u16string& name) {
        NodeRecord found;
        EXPECT_TRUE(disc.FindCatalogRecord(parent, name, &found));
        return found;
    }

    // The file record of file i: its leaf is not the one with the root's
    // records, so the mount still succeeds when that leaf is damaged.
    NodeRecord FileRecord(uint32_t i) {
        NodeRecord file = Find(sample.folder, FileName16(i));
        NodeRecord root = Find(kHFSRootParentID, u"Damaged");
        NodeRecord rootThread;
        EXPECT_TRUE(disc.FindThread(kHFSRootFolderID, &rootThread));
        EXPECT_NE(file.nodeNumber, root.nodeNumber);
        EXPECT_NE(file.nodeNumber, rootThread.nodeNumber);
        return file;
    }

    uint32_t CatalogNodeSize() const { return layout.catalogNodeSize; }
    uint8_t* OffsetSlot(uint8_t* node, uint32_t index) {
        return node + CatalogNodeSize() - 2 * (index + 1);
    }

    // Looks file i up the three ways and expects `status` from each.
    void ExpectFileStatus(uint32_t i, QxStatus status) {
        std::string path = "Folder/" + FileName(i);
        uint8_t record[kHFSRecordBufferSize];
        std::u16string name = FileName16(i);
        EXPECT_EQ(LookupName(volume, sample.folder, reinterpret_cast<const uint16_t*>(name.data()),
                             static_cast<uint32_t>(name.size()), record),
                  status);
        HFSFork* fork = nullptr;
        EXPECT_EQ(OpenFork(volume, path.c_str(), &fork), status);
        if (status == kStatusOK) CloseFork(fork);
        EXPECT_EQ(ItemExistsAs(volume, path.c_str(), false), status == kStatusOK);
    }

    QxStatus ReadWhole(const char* path, uint64_t limit = 4 << 20) {
        HFSFork* fork = nullptr;
        QxStatus status = OpenFork(volume, path, &fork);
        if (status != kStatusOK) return status;
        std::vector<uint8_t> bytes(std::min<uint64_t>(fork->logicalSize, limit));
        status = ReadFork(fork, 0, static_cast<uint32_t>(bytes.size()), bytes.data());
        CloseFork(fork);
        return status;
    }

    Sample sample;
    TestDisc disc;
    std::vector<uint8_t> pristine;
    HFSImageVolumeLayout layout;
    HFSVolume* volume = nullptr;
};

}  // namespace

TEST_F(HFSDamaged, SampleIsSound) {
    EXPECT_GE(layout.catalogDepth, 3u);
    EXPECT_GE(disc.Leaves(false).size(), 2u);
    ASSERT_EQ(Mount(), kStatusOK);
    for (uint32_t i = 0; i < kFileCount; i++) ExpectFileStatus(i, kStatusOK);
    EXPECT_EQ(ReadWhole("fragmented"), kStatusOK);
    EXPECT_EQ(ReadWhole("Folder/link"), kStatusOK);
}

TEST_F(HFSDamaged, VolumeHeader) {
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t value;  // written big-endian, 32 bits
        QxStatus status;
    } cases[] = {
        {"signature", 0, 0x482A0004, kHFSNotHFSPlus},
        {"signature HFS", 0, 0x42440000, kHFSNotHFSPlus},  // "BD" without "H+"
        {"block size 0", 40, 0, kHFSNotHFSPlus},
        {"block size 1000", 40, 1000, kHFSNotHFSPlus},
        {"block size 3 x 512", 40, 1536, kHFSNotHFSPlus},
        {"block size below the sector", 40, 1024, kStatusUnsupported},
        {"no blocks", 44, 0, kHFSNotHFSPlus},
        {"catalog size 0", 272 + 4, 0, kHFSBadTree},
        {"catalog not covered", 272 + 20, 0, kHFSBadTree},
        {"catalog past the volume", 272 + 16, 0xFFFFFFF0, kHFSBadTree},
        {"extents past the volume", 192 + 20, 0x7FFFFFFF, kHFSBadTree},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        Put32(disc.Header() + c.offset, c.value);
        EXPECT_EQ(Mount(), c.status);
        // The scan of the device did not keep the volume either.
        EXPECT_EQ(disc.Volume(), nullptr);
    }
}

TEST_F(HFSDamaged, Wrapper) {
    HFSImageSpec imageSpec;
    HFSImageVolume& wrapped = imageSpec.AddVolume("Wrapped");
    wrapped.hfsWrapper = true;
    wrapped.AddFile(kHFSImageRootID, "a", "a");
    ASSERT_TRUE(disc.Build(imageSpec));
    const std::vector<uint8_t> good = disc.bytes;
    uint8_t* mdb = nullptr;
    auto reset = [&] {
        disc.bytes = good;
        mdb = disc.bytes.data() + disc.layout.volumes[0].partitionOffset + 1024;
        ASSERT_EQ(mdb[0], 'B');
        ASSERT_EQ(mdb[1], 'D');
    };
    reset();
    ASSERT_EQ(Mount(), kStatusOK);

    reset();
    mdb[124] = 'H';
    mdb[125] = 'X';  // only "H+" may be embedded
    EXPECT_EQ(Mount(), kHFSNotHFSPlus);
    reset();
    Put32(mdb + 20, 0);  // wrapper block size
    EXPECT_EQ(Mount(), kHFSNotHFSPlus);
    reset();
    Put32(mdb + 20, 700);
    EXPECT_EQ(Mount(), kHFSNotHFSPlus);
    reset();
    Put16(mdb + 126, 0xFFFF);  // embedded volume far past the disc
    EXPECT_NE(Mount(), kStatusOK);
    reset();
    Put16(mdb + 28, 1);  // volume no longer on a device sector
    EXPECT_EQ(Mount(), kStatusUnsupported);
}

TEST_F(HFSDamaged, BTreeHeaderNode) {
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t width;
        uint32_t value;
    } cases[] = {
        {"kind", 8, 1, 0xFF},         {"node size 0", 32, 2, 0},
        {"node size 1000", 32, 2, 1000}, {"node size 65535", 32, 2, 65535},
        {"node size 256", 32, 2, 256},   {"node size 49152", 32, 2, 0xC000},
        {"root beyond the file", 16, 4, 0x00100000}, {"depth 0", 14, 2, 0},
        {"record count", 10, 2, 0x7FFF},
    };
    for (bool catalog : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (catalog ? "catalog " : "extents ") << c.what);
            disc.bytes = pristine;
            uint8_t* node = catalog ? disc.CatalogNode(0) : disc.ExtentsNode(0);
            if (c.width == 1) node[c.offset] = static_cast<uint8_t>(c.value);
            if (c.width == 2) Put16(node + c.offset, c.value);
            if (c.width == 4) Put32(node + c.offset, c.value);
            EXPECT_EQ(Mount(), kHFSBadTree);
        }
    }
    // An empty catalog (root 0) mounts no volume name.
    disc.bytes = pristine;
    Put32(disc.CatalogNode(0) + 16, 0);
    EXPECT_EQ(Mount(), kHFSBadTree);
}

TEST_F(HFSDamaged, LeafNodeDescriptorAndOffsets) {
    const uint32_t target = 25;
    NodeRecord file = FileRecord(target);
    const uint32_t count = Get16(file.node + 10);
    const uint32_t nodeSize = CatalogNodeSize();
    const size_t nodeAt = file.node - disc.bytes.data();
    using Damage = std::function<void(uint8_t*)>;
    struct Case {
        const char* what;
        Damage damage;
    } cases[] = {
        {"record count past the node", [&](uint8_t* n) { Put16(n + 10, 0xFFFF); }},
        {"offsets meet the table", [&](uint8_t* n) { Put16(n + 10, (nodeSize - 14) / 2); }},
        {"record count into the records",
         [&](uint8_t* n) { Put16(n + 10, count + 40); }},
        {"first offset inside the descriptor", [&](uint8_t* n) { Put16(OffsetSlot(n, 0), 4); }},
        {"offset past the node", [&](uint8_t* n) { Put16(OffsetSlot(n, count - 1), 0xFFF0); }},
        {"free space past the table", [&](uint8_t* n) { Put16(OffsetSlot(n, count), nodeSize - 1); }},
        {"offsets not rising",
         [&](uint8_t* n) {
             uint8_t a[2];
             memcpy(a, OffsetSlot(n, 0), 2);
             memcpy(OffsetSlot(n, 0), OffsetSlot(n, 1), 2);
             memcpy(OffsetSlot(n, 1), a, 2);
         }},
        {"equal offsets", [&](uint8_t* n) { memcpy(OffsetSlot(n, 1), OffsetSlot(n, 0), 2); }},
        {"kind", [&](uint8_t* n) { n[8] = 0x7F; }},
        {"index kind in a leaf", [&](uint8_t* n) { n[8] = 0; }},
        {"height", [&](uint8_t* n) { n[9] = 2; }},
        {"key past the record", [&](uint8_t* n) {
             for (uint32_t i = 0; i < count; i++) Put16(n + Get16(OffsetSlot(n, i)), 0x0400);
         }},
        {"key length 0", [&](uint8_t* n) {
             for (uint32_t i = 0; i < count; i++) Put16(n + Get16(OffsetSlot(n, i)), 0);
         }},
        {"name longer than 255", [&](uint8_t* n) {
             for (uint32_t i = 0; i < count; i++) Put16(n + Get16(OffsetSlot(n, i)) + 6, 300);
         }},
        {"name past the key", [&](uint8_t* n) {
             for (uint32_t i = 0; i < count; i++) Put16(n + Get16(OffsetSlot(n, i)) + 6, 200);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        c.damage(disc.bytes.data() + nodeAt);
        ASSERT_EQ(Mount(), kStatusOK);
        ExpectFileStatus(target, kHFSBadTree);
        // Other parts of the tree still work.
        EXPECT_EQ(ReadWhole("linked"), kStatusOK);
    }
    // A file record cut short by the next record's offset.
    disc.bytes = pristine;
    uint8_t* node = disc.bytes.data() + nodeAt;
    const uint32_t start = Get16(OffsetSlot(node, file.index));
    if (file.index + 1 < count) {
        // Squeeze: move the next record's start to 40 bytes after this one's;
        // the bytes in between stay (the next record is then garbage, which
        // is fine for this lookup).
        Put16(OffsetSlot(node, file.index + 1), start + 40);
        ASSERT_EQ(Mount(), kStatusOK);
        ExpectFileStatus(target, kHFSBadTree);
    }
}

TEST_F(HFSDamaged, IndexNodes) {
    const uint32_t root = layout.catalogRoot;
    auto forEachChild = [&](const std::function<void(uint8_t* child)>& change) {
        uint8_t* node = disc.CatalogNode(root);
        uint32_t count = Get16(node + 10);
        for (uint32_t i = 0; i < count; i++) {
            uint8_t* record = node + Get16(OffsetSlot(node, i));
            change(record + 2 + Get16(record));
        }
    };
    struct Case {
        const char* what;
        std::function<void(uint8_t*)> change;
    } cases[] = {
        {"child beyond the file", [](uint8_t* c) { Put32(c, 0x7FFFFFFF); }},
        {"child 0", [](uint8_t* c) { Put32(c, 0); }},
        {"child is the root (cycle)", [&](uint8_t* c) { Put32(c, root); }},
        {"child is a leaf one level too high", [&](uint8_t* c) { Put32(c, disc.Leaves(true)[0]); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        forEachChild(c.change);
        EXPECT_EQ(Mount(), kHFSBadTree);
    }
    // An index node whose records are gone.
    disc.bytes = pristine;
    Put16(disc.CatalogNode(root) + 10, 0);
    EXPECT_EQ(Mount(), kHFSBadTree);
    // Index keys that run past their records.
    disc.bytes = pristine;
    uint8_t* node = disc.CatalogNode(root);
    Put16(node + Get16(OffsetSlot(node, 0)), 0x1000);
    EXPECT_EQ(Mount(), kHFSBadTree);
}

TEST_F(HFSDamaged, BackwardLinks) {
    std::vector<uint32_t> leaves = disc.Leaves(false);
    ASSERT_GE(leaves.size(), 2u);
    const uint32_t first = leaves[0];
    const uint32_t second = leaves[1];
    auto previousFrom = [&](uint32_t node) {
        HFSFork* extents = FindFork(volume, kHFSExtentsFileID);
        BTreePosition position{node, 0};
        uint8_t key[kBTreeMaxKeyBytes];
        uint8_t data[kBTreePreviousDataBytes];
        return BTreePrevious(extents, &position, key, data);
    };
    ASSERT_EQ(Mount(), kStatusOK);
    EXPECT_EQ(previousFrom(second), kStatusOK);
    EXPECT_EQ(previousFrom(first), kHFSNotFound);
    // Positions beyond the node's records, or in nodes that are no leaves.
    {
        HFSFork* extents = FindFork(volume, kHFSExtentsFileID);
        uint8_t key[kBTreeMaxKeyBytes];
        uint8_t data[kBTreePreviousDataBytes];
        BTreePosition position{second, 1000};
        EXPECT_EQ(BTreePrevious(extents, &position, key, data), kHFSNotFound);
        position = BTreePosition{0, 1};
        EXPECT_EQ(BTreePrevious(extents, &position, key, data), kHFSBadTree);
        position = BTreePosition{0xFFFFFF, 1};
        EXPECT_EQ(BTreePrevious(extents, &position, key, data), kHFSBadTree);
    }

    struct Case {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"points at itself", [&] { Put32(disc.ExtentsNode(second) + 4, second); }},
        {"beyond the file", [&] { Put32(disc.ExtentsNode(second) + 4, 0xFFFFFF); }},
        {"at the header node", [&] { Put32(disc.ExtentsNode(second) + 4, 0); }},
        {"forward link disagrees", [&] { Put32(disc.ExtentsNode(first), 0); }},
        {"two empty leaves in a ring",
         [&] {
             uint8_t* a = disc.ExtentsNode(first);
             uint8_t* b = disc.ExtentsNode(second);
             Put32(a, second);
             Put32(a + 4, second);
             Put32(b, first);
             Put32(b + 4, first);
             Put16(a + 10, 0);
             Put16(b + 10, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        c.damage();
        ASSERT_EQ(Mount(), kStatusOK);
        QxStatus status = previousFrom(second);
        if (std::string(c.what) == "at the header node") {
            EXPECT_EQ(status, kHFSNotFound);  // 0 ends the chain
        } else {
            EXPECT_EQ(status, kHFSBadTree);
        }
    }
    // A catalog leaf that links back to itself.
    disc.bytes = pristine;
    std::vector<uint32_t> catalogLeaves = disc.Leaves(true);
    Put32(disc.CatalogNode(catalogLeaves[3]) + 4, catalogLeaves[3]);
    ASSERT_EQ(Mount(), kStatusOK);
    HFSFork* catalog = FindFork(volume, kHFSCatalogFileID);
    BTreePosition position{catalogLeaves[3], 0};
    uint8_t key[kBTreeMaxKeyBytes];
    uint8_t data[kBTreePreviousDataBytes];
    EXPECT_EQ(BTreePrevious(catalog, &position, key, data), kHFSBadTree);
}

TEST_F(HFSDamaged, FileExtents) {
    NodeRecord file = Find(kHFSRootFolderID, u"fragmented");
    const size_t forkAt = file.data + 88 - disc.bytes.data();
    struct Case {
        const char* what;
        std::function<void(uint8_t* fork)> damage;
        QxStatus status;
    } cases[] = {
        {"first extent empty", [](uint8_t* f) { Put32(f + 20, 0); }, kHFSNotFound},
        {"middle extent empty", [](uint8_t* f) { Put32(f + 20 + 8 * 4, 0); }, kHFSNotFound},
        {"extent past the volume", [](uint8_t* f) { Put32(f + 16 + 8 * 2, 0xFFFFFFF0); },
         kHFSBadTree},
        {"extent count wraps", [](uint8_t* f) { Put32(f + 20 + 8 * 2, 0xFFFFFFFF); },
         kHFSBadTree},
        {"allocated blocks below the size", [](uint8_t* f) { Put32(f + 12, 3); },
         kHFSNotFound},
        {"size far beyond the extents", [](uint8_t* f) { Put32(f, 0x00000001); },
         kHFSNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        c.damage(disc.bytes.data() + forkAt);
        ASSERT_EQ(Mount(), kStatusOK);
        EXPECT_EQ(ReadWhole("fragmented"), c.status);
    }
    // Reads far past the extents stop at once.
    disc.bytes = pristine;
    Put32(disc.bytes.data() + forkAt, 0x00010000);  // 2^48 bytes
    ASSERT_EQ(Mount(), kStatusOK);
    HFSFork* fork = nullptr;
    ASSERT_EQ(OpenFork(volume, "fragmented", &fork), kStatusOK);
    uint8_t bytes[8192];
    EXPECT_EQ(ReadFork(fork, uint64_t{1} << 40, sizeof bytes, bytes), kHFSNotFound);
    EXPECT_EQ(ReadFork(fork, (uint64_t{1} << 40) + 1, 10, bytes), kHFSNotFound);
    CloseFork(fork);
}

TEST_F(HFSDamaged, OverflowRecords) {
    std::vector<uint32_t> leaves = disc.Leaves(false);
    auto forEachRecord = [&](const std::function<void(uint8_t* key, uint8_t* data)>& change) {
        for (uint32_t leaf : leaves) {
            uint8_t* node = disc.ExtentsNode(leaf);
            for (uint32_t i = 0; i < Get16(node + 10); i++) {
                uint8_t* record = node + Get16(node + layout.extentsNodeSize - 2 * (i + 1));
                change(record, record + 2 + Get16(record));
            }
        }
    };
    struct Case {
        const char* what;
        std::function<void(uint8_t*, uint8_t*)> damage;
        QxStatus status;
    } cases[] = {
        {"empty records", [](uint8_t*, uint8_t* d) { memset(d, 0, 64); }, kHFSNotFound},
        {"other file", [](uint8_t* k, uint8_t*) { Put32(k + 4, Get32(k + 4) + 1); },
         kHFSNotFound},
        {"resource fork", [](uint8_t* k, uint8_t*) { k[2] = 0xFF; }, kHFSNotFound},
        {"extents past the volume", [](uint8_t*, uint8_t* d) { Put32(d, 0xFFFFFF00); },
         kHFSBadTree},
        {"short keys", [](uint8_t* k, uint8_t*) { Put16(k, 6); }, kHFSBadTree},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        disc.bytes = pristine;
        forEachRecord(c.damage);
        ASSERT_EQ(Mount(), kStatusOK);
        EXPECT_EQ(ReadWhole("fragmented"), c.status);
        EXPECT_EQ(ReadWhole("linked"), kStatusOK);
    }

    // The extents file with eight extents in use and a size beyond them: a
    // node past its extents is damage, and is never looked up in the
    // extents file itself.
    disc.bytes = pristine;
    uint8_t* header = disc.Header();
    uint8_t* extentsFork = header + 192;
    const uint32_t start = Get32(extentsFork + 16);
    const uint32_t blocks = Get32(extentsFork + 20);
    for (uint32_t i = 0; i < 8; i++) {
        Put32(extentsFork + 16 + 8 * i, start + std::min(i, blocks - 1));
        Put32(extentsFork + 20 + 8 * i, 1);
    }
    Put32(extentsFork, 0);
    Put32(extentsFork + 4, 1u << 30);  // logical size 1 GiB
    Put32(extentsFork + 12, 1u << 20);
    Put32(disc.ExtentsNode(0) + 16, 5000);  // root far past the eight blocks
    ASSERT_EQ(Mount(), kStatusOK);
    EXPECT_EQ(ReadWhole("fragmented"), kHFSBadTree);
}

TEST_F(HFSDamaged, ThreadRecords) {
    NodeRecord rootThread;
    ASSERT_TRUE(disc.FindThread(kHFSRootFolderID, &rootThread));
    // Thread data: type (0), reserved (2), parent (4), name length (8).
    disc.bytes = pristine;
    Put16(rootThread.data + 8, 300);
    EXPECT_EQ(Mount(), kHFSBadTree);
    disc.bytes = pristine;
    Put16(rootThread.data + 8, 250);  // runs past the record
    EXPECT_EQ(Mount(), kHFSBadTree);

    // A file whose thread names itself as its parent.
    const uint32_t target = 7;
    NodeRecord thread;
    ASSERT_TRUE(disc.FindThread(sample.files[target], &thread));
    disc.bytes = pristine;
    Put32(thread.data + 4, sample.files[target]);
    ASSERT_EQ(Mount(), kStatusOK);
    char path[kHFSFullPathBufferSize];
    std::string name = "Folder/" + FileName(target);
    EXPECT_EQ(FullPath(volume, name.c_str(), path), kHFSBadTree);
    EXPECT_EQ(ReadWhole(name.c_str()), kStatusOK);  // lookups by name do not use threads

    // Two folders whose threads name each other.
    NodeRecord folderThread;
    ASSERT_TRUE(disc.FindThread(sample.folder, &folderThread));
    disc.bytes = pristine;
    Put32(thread.data + 4, sample.folder);
    Put32(folderThread.data + 4, sample.files[target]);
    ASSERT_EQ(Mount(), kStatusOK);
    QxStatus status = FullPath(volume, name.c_str(), path);
    EXPECT_TRUE(status == kStatusBadSize || status == kHFSBadTree) << status;
    // ".." follows the damaged thread one step and stops.
    EXPECT_FALSE(ItemExistsAs(volume, "Folder/..", true));

    // A thread with an empty name pointing at itself adds no text: the walk
    // is bounded by its step count.
    disc.bytes = pristine;
    Put32(thread.data + 4, sample.folder);
    Put32(folderThread.data + 4, sample.files[target]);
    Put16(folderThread.data + 8, 0);
    Put16(thread.data + 8, 0);
    ASSERT_EQ(Mount(), kStatusOK);
    status = FullPath(volume, name.c_str(), path);
    EXPECT_TRUE(status == kStatusBadSize || status == kHFSBadTree) << status;
}

TEST_F(HFSDamaged, HardLinks) {
    NodeRecord link = Find(sample.folder, u"link");
    const size_t at = link.data - disc.bytes.data();
    // A link to an indirect file that does not exist.
    Put32(disc.bytes.data() + at + 44, 999999);
    ASSERT_EQ(Mount(), kStatusOK);
    EXPECT_EQ(ReadWhole("Folder/link"), kHFSNotFound);

    // An indirect file that is itself a link: not followed again.
    disc.bytes = pristine;
    NodeRecord privateFolder =
        Find(kHFSRootFolderID, std::u16string(4, u'\0') + u"HFS+ Private Data");
    uint32_t privateID = Get32(privateFolder.data + 8);
    std::string inode = "iNode" + std::to_string(sample.linked);
    NodeRecord indirect = Find(privateID, std::u16string(inode.begin(), inode.end()));
    memcpy(indirect.data + 48, "hlnkhfs+", 8);
    Put32(indirect.data + 44, sample.linked);
    ASSERT_EQ(Mount(), kStatusOK);
    EXPECT_EQ(ReadWhole("Folder/link"), kStatusOK);
}

TEST_F(HFSDamaged, RandomDamageNeverCrashes) {
    // Random bytes changed in the catalog and extents files and in the
    // volume header; whatever the status, every call must return.
    std::mt19937 random(20240601);
    const std::vector<std::string> paths = {
        "Folder/" + FileName(0), "Folder/" + FileName(25), "Folder/link", "fragmented",
        "linked", "Folder/../fragmented", "Folder/./" + FileName(39), "nothing"};
    const uint64_t catalogBytes = uint64_t{layout.catalogNodes} * layout.catalogNodeSize;
    const uint64_t extentsBytes = uint64_t{layout.extentsNodes} * layout.extentsNodeSize;
    int mounted = 0;
    for (int round = 0; round < 250; round++) {
        disc.bytes = pristine;
        int changes = 1 + random() % 12;
        for (int i = 0; i < changes; i++) {
            uint64_t at;
            switch (random() % 4) {
                case 0: at = layout.extentsOffset + random() % extentsBytes; break;
                case 1: at = layout.volumeOffset + 1024 + random() % 512; break;
                default: at = layout.catalogOffset + random() % catalogBytes; break;
            }
            disc.bytes[at] = static_cast<uint8_t>(random());
        }
        if (Mount() != kStatusOK) continue;
        mounted++;
        char text[kHFSFullPathBufferSize];
        for (const std::string& path : paths) {
            ItemExistsAs(volume, path.c_str(), false);
            FullPath(volume, path.c_str(), text);
            ReadWhole(path.c_str(), 300000);
        }
    }
    EXPECT_GT(mounted, 50);
}

TEST_F(HFSDamaged, DamageSiteIsRecorded) {
    disc.bytes = pristine;
    Put16(disc.CatalogNode(0) + 32, 1000);
    EXPECT_EQ(Mount(), kHFSBadTree);
    int line = 0;
    const char* file = HFSLastDamageSite(&line);
    ASSERT_NE(file, nullptr);
    EXPECT_NE(std::string(file).find("HFSVolume.cpp"), std::string::npos);
    EXPECT_GT(line, 0);
}
