// Volume paths over images bound to \\.\CdRom0 and \\.\CdRom1: splitting,
// resolving with shared devices, enumeration, names, full paths, existence
// checks, file reads on volumes and on the host (past 4 GiB), and the
// tamsor-disc inspector end to end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "DeviceBinding.h"
#include "HFSImageWriter.h"
#include "HFSStatus.h"
#include "QxLMemory.h"
#include "VolumePartition.h"
#include "VolumePath.h"

// The inspector's code, compiled in without its main.
#define TAMSOR_DISC_NO_MAIN
#include "../../tools/tamsor-disc.cpp"

namespace {

namespace fs = std::filesystem;

const char kKernel[] = "pfs:\\\\.\\CdRom0#2/mach_kernel";
const uint64_t kKernelSize = 300000;
const char kBootEfi[] = "boot loader bytes";
const char kDeepPath[] = "a/b/c/d/e/f/g/h/deep.txt";

size_t DeviceCount() {
    size_t count = 0;
    for (BlockDevice* device = OpenDeviceList(); device != nullptr; device = device->next) {
        ++count;
    }
    return count;
}

std::vector<uint8_t> Pattern(uint32_t fileID, uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    HFSImagePatternBytes(fileID, offset, bytes.data(), count);
    return bytes;
}

class VolumePathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::temp_directory_path() /
                            ("tamsor-path-" + std::to_string(std::chrono::steady_clock::now()
                                                                 .time_since_epoch()
                                                                 .count())));
        fs::create_directories(*dir_);

        // Disc 0: an install volume (map entry 2) and a case-sensitive one (3).
        HFSImageSpec disc;
        HFSImageVolume& install = disc.AddVolume("Install Disc");
        kernelID_ = install.AddPatternFile(kHFSImageRootID, "mach_kernel", kKernelSize);
        install.Fragment(kernelID_, 12);
        uint32_t system = install.MakeFolders("System/Library/CoreServices");
        install.AddFile(system, "boot.efi", kBootEfi);
        uint32_t deep = install.MakeFolders("a/b/c/d/e/f/g/h");
        install.AddFile(deep, "deep.txt", "deep");
        uint32_t cafe = install.AddFolder(kHFSImageRootID, "Caf\xC3\xA9");
        install.AddFile(cafe, "menu", "croissant");
        // A hard link turns its target into the private folder's iNode file,
        // so it gets a file of its own.
        linkedID_ = install.AddPatternFile(kHFSImageRootID, "linked", 10000);
        install.AddHardLink(kHFSImageRootID, "kernel link", linkedID_);
        HFSImageVolume& tools = disc.AddVolume("Tools \xC3\xA9t\xC3\xA9");
        tools.kind = HFSImageKind::kCaseSensitive;
        tools.AddFile(kHFSImageRootID, "Kernel", "upper");
        std::string error;
        ASSERT_EQ(WriteDiscImage(disc, (*dir_ / "disc0.img").string(), nullptr, &error),
                  kStatusOK)
            << error;

        HFSImageSpec second;
        second.AddEntry("Driver", "Verin_Driver", 4);
        second.AddVolume("Second Disc").AddFile(kHFSImageRootID, "readme", "second");
        ASSERT_EQ(WriteDiscImage(second, (*dir_ / "disc1.img").string(), nullptr, &error),
                  kStatusOK)
            << error;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(*dir_, ignored);
        delete dir_;
    }

    void SetUp() override {
        ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom0", Image(0).c_str(), 0), kStatusOK);
        ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom1", Image(1).c_str(), 0), kStatusOK);
    }
    void TearDown() override {
        QxLFailAllocationAfter(0);
        EXPECT_EQ(OpenDeviceList(), nullptr) << "a device reference was not given back";
        DeviceUnbindAll();
    }

    static std::string Image(int number) {
        return (*dir_ / ("disc" + std::to_string(number) + ".img")).string();
    }

    static fs::path* dir_;
    static uint32_t kernelID_;
    static uint32_t linkedID_;
};

fs::path* VolumePathTest::dir_ = nullptr;
uint32_t VolumePathTest::kernelID_ = 0;
uint32_t VolumePathTest::linkedID_ = 0;

// ---- Splitting ------------------------------------------------------------------

TEST(VolumePathSplit, Grammar) {
    struct Case {
        const char* path;
        QxStatus status;
        const char* device;
        const char* partition;
        const char* rest;
    };
    const Case cases[] = {
        {"pfs:\\\\.\\CdRom0#2/usr/standalone/boot.efi", kStatusOK, "\\\\.\\CdRom0", "2",
         "usr/standalone/boot.efi"},
        {"pfs:\\\\.\\CdRom0/2/mach_kernel", kStatusOK, "\\\\.\\CdRom0", "2", "mach_kernel"},
        {"pfs:\\\\.\\CdRom0#2", kStatusOK, "\\\\.\\CdRom0", "2", ""},
        {"pfs:\\\\.\\CdRom0#2/", kStatusOK, "\\\\.\\CdRom0", "2", ""},
        {"pfs:\\\\.\\CdRom0#", kStatusOK, "\\\\.\\CdRom0", "", ""},
        {"pfs:\\\\.\\CdRom0#2//x", kStatusOK, "\\\\.\\CdRom0", "2", "/x"},
        {"pfs:#2/x", kStatusBadPath, nullptr, nullptr, nullptr},
        {"pfs:/2/x", kStatusBadPath, nullptr, nullptr, nullptr},
        {"pfs:\\\\.\\CdRom0", kStatusBadPath, nullptr, nullptr, nullptr},
        {"pfs:", kStatusBadPath, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const char* device = nullptr;
        const char* partition = nullptr;
        const char* rest = nullptr;
        int32_t deviceLength = -1;
        int32_t partitionLength = -1;
        ASSERT_EQ(SplitVolumePath(c.path, &device, &deviceLength, &partition, &partitionLength,
                                  &rest),
                  c.status);
        if (c.status != kStatusOK) continue;
        EXPECT_EQ(std::string(device, static_cast<size_t>(deviceLength)), c.device);
        EXPECT_EQ(std::string(partition, static_cast<size_t>(partitionLength)), c.partition);
        EXPECT_STREQ(rest, c.rest);
    }

    // Host paths, the upper-case prefix among them, come back whole.
    for (const char* host : {"PFS:\\\\.\\CdRom0#2/x", "C:\\boot\\x", "/tmp/x", ""}) {
        const char* device = "unset";
        int32_t deviceLength = -1;
        const char* rest = nullptr;
        ASSERT_EQ(SplitVolumePath(host, &device, &deviceLength, nullptr, nullptr, &rest),
                  kStatusOK);
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(deviceLength, 0);
        EXPECT_EQ(rest, host);
    }
}

// ---- Resolving and sharing --------------------------------------------------------

TEST_F(VolumePathTest, ResolvedPathsShareOneDevice) {
    VolumePartition* first = nullptr;
    const char* rest = nullptr;
    ASSERT_EQ(ResolveVolumePath(kKernel, &first, &rest), kStatusOK);
    EXPECT_STREQ(rest, "mach_kernel");
    EXPECT_STREQ(first->name, "2");
    EXPECT_EQ(first->device->refCount, 1);

    // Names without regard to case, and "/" for "#": the same partition.
    VolumePartition* second = nullptr;
    ASSERT_EQ(ResolveVolumePath("pfs:\\\\.\\cdrom0/2/System", &second, &rest), kStatusOK);
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->device->refCount, 2);
    EXPECT_EQ(DeviceCount(), 1u);

    // Another partition of the same open device.
    VolumePartition* third = nullptr;
    ASSERT_EQ(ResolveVolumePath("pfs:\\\\.\\CdRom0#3", &third, &rest), kStatusOK);
    EXPECT_EQ(third->device, first->device);
    EXPECT_STREQ(rest, "");
    EXPECT_EQ(first->device->refCount, 3);

    ReleaseVolumeRef(third);
    ReleaseVolumeRef(second);
    EXPECT_EQ(DeviceCount(), 1u);
    ReleaseVolumeRef(first);
    EXPECT_EQ(DeviceCount(), 0u);
}

TEST_F(VolumePathTest, ResolveFailures) {
    VolumePartition* partition = nullptr;
    const char* rest = nullptr;
    EXPECT_EQ(ResolveVolumePath("PFS:\\\\.\\CdRom0#2/x", &partition, &rest),
              kStatusUnexpectedType);
    EXPECT_EQ(ResolveVolumePath("/tmp/x", &partition, &rest), kStatusUnexpectedType);
    EXPECT_EQ(ResolveVolumePath("pfs:#2/x", &partition, &rest), kStatusBadPath);
    // No such partition: the device opened for the search is closed again,
    // also when it was already open.
    EXPECT_EQ(ResolveVolumePath("pfs:\\\\.\\CdRom0#1/x", &partition, &rest), kStatusNotFound);
    EXPECT_EQ(DeviceCount(), 0u);
    VolumePartition* held = nullptr;
    ASSERT_EQ(ResolveVolumePath(kKernel, &held, &rest), kStatusOK);
    EXPECT_EQ(ResolveVolumePath("pfs:\\\\.\\CdRom0#9/x", &partition, &rest), kStatusNotFound);
    EXPECT_EQ(DeviceCount(), 1u);
    EXPECT_EQ(held->device->refCount, 1);
    ReleaseVolumeRef(held);
    // The device's open error comes through (ENOENT / ERROR_FILE_NOT_FOUND).
    ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom1", (*dir_ / "none.img").string().c_str(), 0),
              kStatusOK);
    EXPECT_EQ(ResolveVolumePath("pfs:\\\\.\\CdRom1#2/x", &partition, &rest), 2);
}

// ---- Enumeration ------------------------------------------------------------------

TEST_F(VolumePathTest, EnumerationListsBothDrivesThenEnds) {
    VolumeIterator iterator{};
    VolumeListing listing;
    std::vector<std::pair<std::string, std::string>> seen;
    QxStatus status;
    while ((status = NextVolume(&iterator, &listing)) == kStatusOK) {
        seen.emplace_back(listing.name, listing.path);
        if (seen.size() == 1) {
            // Paths resolved meanwhile share the iterator's device.
            VolumePartition* partition = nullptr;
            ASSERT_EQ(ResolveVolumePath("pfs:\\\\.\\CDROM0#2/mach_kernel", &partition, nullptr),
                      kStatusOK);
            EXPECT_EQ(partition->device, iterator.device);
            EXPECT_EQ(iterator.device->refCount, 2);
            ReleaseVolumeRef(partition);
        }
    }
    EXPECT_EQ(status, kStatusNotFound);
    // Names as stored on the volume: decomposed.
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Install Disc", "pfs:\\\\.\\CdRom0#2"},
        {"Tools e\xCC\x81te\xCC\x81", "pfs:\\\\.\\CdRom0#3"},
        {"Second Disc", "pfs:\\\\.\\CdRom1#3"},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(NextVolume(&iterator, &listing), kStatusNotFound);
    EXPECT_EQ(iterator.device, nullptr);
    VolumeIteratorFinish(&iterator);
}

TEST_F(VolumePathTest, EnumerationPassesOverDrivesWithoutVolumes) {
    // Drive 0 holds no image; drive 1's image has no map.
    ASSERT_EQ(DeviceUnbind("\\\\.\\CdRom0"), kStatusOK);
    ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom0", (*dir_ / "none.img").string().c_str(), 0),
              kStatusOK);
    std::string blank = (*dir_ / "blank.img").string();
    { std::ofstream(blank, std::ios::binary) << std::string(8192, '\0'); }
    ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom1", blank.c_str(), 0), kStatusOK);
    VolumeIterator iterator{};
    VolumeListing listing;
    EXPECT_EQ(NextVolume(&iterator, &listing), kStatusNotFound);
    VolumeIteratorFinish(&iterator);

    // Stopping early gives the device back.
    ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom0", Image(0).c_str(), 0), kStatusOK);
    VolumeIterator early{};
    ASSERT_EQ(NextVolume(&early, &listing), kStatusOK);
    EXPECT_EQ(DeviceCount(), 1u);
    VolumeIteratorFinish(&early);
}

// ---- Names and paths ----------------------------------------------------------------

TEST_F(VolumePathTest, VolumeNamesAndFullPaths) {
    char text[kVolumePathCapacity];
    ASSERT_EQ(VolumeNameOfPath("pfs:\\\\.\\CdRom0#2/anything", text), kStatusOK);
    EXPECT_STREQ(text, "Install Disc");
    ASSERT_EQ(VolumeNameOfPath("pfs:\\\\.\\CdRom1#3", text), kStatusOK);
    EXPECT_STREQ(text, "Second Disc");
    EXPECT_EQ(VolumeNameOfPath("pfs:\\\\.\\CdRom1#2", text), kStatusNotFound);

    ASSERT_EQ(FullPathOf("pfs:\\\\.\\CdRom0#2/System/../mach_kernel", text), kStatusOK);
    EXPECT_STREQ(text, "pfs:\\\\.\\CdRom0#2/mach_kernel");
    // The volume's own spelling and composition; the input's device text.
    ASSERT_EQ(FullPathOf("pfs:\\\\.\\cdrom0/2/system/./LIBRARY//coreservices/BOOT.EFI", text),
              kStatusOK);
    EXPECT_STREQ(text, "pfs:\\\\.\\cdrom0/2/System/Library/CoreServices/boot.efi");
    ASSERT_EQ(FullPathOf("pfs:\\\\.\\CdRom0#2/caf\xC3\xA9/MENU", text), kStatusOK);
    EXPECT_STREQ(text, "pfs:\\\\.\\CdRom0#2/Cafe\xCC\x81/menu");
    EXPECT_EQ(FullPathOf("pfs:\\\\.\\CdRom0#2/no/such", text), kHFSNotFound);
    EXPECT_EQ(FullPathOf("pfs:\\\\.\\CdRom0#2/../x", text), kHFSNotFound);

    // Host paths are made absolute, "." and ".." folded.
    ASSERT_EQ(FullPathOf("x/./y/../z", text), kStatusOK);
    std::string expected = (fs::current_path() / "x" / "z").string();
    EXPECT_STREQ(text, expected.c_str());
    // Too long: kStatusBadSize here, the system's refusal on Windows.
    EXPECT_NE(FullPathOf(std::string(300, 'q').c_str(), text), kStatusOK);
}

TEST_F(VolumePathTest, PathExistsAsFileOrFolder) {
    const char* base = "pfs:\\\\.\\CdRom0#2";
    EXPECT_TRUE(PathExistsAs(base, "mach_kernel", false));
    EXPECT_FALSE(PathExistsAs(base, "mach_kernel", true));
    EXPECT_TRUE(PathExistsAs("pfs:\\\\.\\CdRom0#2/", "System/Library", true));
    EXPECT_FALSE(PathExistsAs(base, "System/Library", false));
    EXPECT_TRUE(PathExistsAs(base, "kernel link", false));
    EXPECT_FALSE(PathExistsAs(base, "missing", false));
    EXPECT_FALSE(PathExistsAs("pfs:\\\\.\\CdRom0#7", "mach_kernel", false));
    // Case follows the volume: the HX volume is exact.
    EXPECT_TRUE(PathExistsAs("pfs:\\\\.\\CdRom0#3", "Kernel", false));
    EXPECT_FALSE(PathExistsAs("pfs:\\\\.\\CdRom0#3", "kernel", false));
    EXPECT_TRUE(PathExistsAs(base, "MACH_KERNEL", false));
    // The joined path has 260 characters at most.
    EXPECT_FALSE(PathExistsAs(base, std::string(250, 'x').c_str(), false));

    std::string host = dir_->string();
    EXPECT_TRUE(PathExistsAs(host.c_str(), "disc0.img", false));
    EXPECT_FALSE(PathExistsAs(host.c_str(), "disc0.img", true));
    EXPECT_TRUE(PathExistsAs((host + "/").c_str(), ".", true));
    EXPECT_FALSE(PathExistsAs(host.c_str(), "missing", false));
    EXPECT_EQ(DeviceCount(), 0u);
}

// ---- Files ------------------------------------------------------------------------

TEST_F(VolumePathTest, VolumeFilesReadAcrossExtents) {
    VolumeFile* file = nullptr;
    ASSERT_EQ(VolumeOpen(kKernel, &file), kStatusOK);
    EXPECT_EQ(file->hostFile, kQxInvalidDeviceHandle);
    EXPECT_EQ(file->partition->device->refCount, 1);
    uint64_t size = 0;
    ASSERT_EQ(VolumeFileSize(file, &size), kStatusOK);
    EXPECT_EQ(size, kKernelSize);

    std::vector<uint8_t> all(kKernelSize);
    ASSERT_EQ(VolumeRead(file, 0, kKernelSize, all.data()), kStatusOK);
    EXPECT_EQ(all, Pattern(kernelID_, 0, kKernelSize));
    std::vector<uint8_t> piece(5000);
    ASSERT_EQ(VolumeRead(file, 123457, 5000, piece.data()), kStatusOK);
    EXPECT_EQ(piece, Pattern(kernelID_, 123457, 5000));
    ASSERT_EQ(VolumeRead(file, kKernelSize - 1, 1, piece.data()), kStatusOK);
    EXPECT_EQ(VolumeRead(file, kKernelSize - 1, 2, piece.data()), kStatusUnderrun);

    // A second file on the same device shares it; the hard link reads as
    // its target.
    VolumeFile* link = nullptr;
    ASSERT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#2/kernel link", &link), kStatusOK);
    EXPECT_EQ(file->partition->device->refCount, 2);
    ASSERT_EQ(VolumeRead(link, 0, 4096, piece.data()), kStatusOK);
    EXPECT_EQ(memcmp(piece.data(), Pattern(linkedID_, 0, 4096).data(), 4096), 0);
    VolumeClose(link);
    VolumeClose(file);

    ASSERT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#2/System/Library/CoreServices/boot.efi", &file),
              kStatusOK);
    ASSERT_EQ(VolumeFileSize(file, &size), kStatusOK);
    ASSERT_EQ(size, strlen(kBootEfi));
    ASSERT_EQ(VolumeRead(file, 0, static_cast<uint32_t>(size), piece.data()), kStatusOK);
    EXPECT_EQ(memcmp(piece.data(), kBootEfi, size), 0);
    VolumeClose(file);
}

// The spans a file's bytes lie in within the image, read back from the
// image file itself, are the file: extent by extent, from any offset.
TEST_F(VolumePathTest, FileSpansAreTheFileBytesInTheImage) {
    VolumeFile* file = nullptr;
    ASSERT_EQ(VolumeOpen(kKernel, &file), kStatusOK);
    QxDeviceHandle image = kQxInvalidDeviceHandle;
    ASSERT_EQ(QxPlatformFileOpen(Image(0).c_str(), &image), kStatusOK);
    for (uint64_t start : {uint64_t{0}, uint64_t{1000}, uint64_t{123457}}) {
        uint64_t offset = start;
        int spans = 0;
        while (offset < kKernelSize) {
            QxDeviceHandle host = kQxInvalidDeviceHandle;
            uint64_t hostOffset = 0;
            uint64_t length = 0;
            ASSERT_EQ(VolumeFileSpan(file, offset, kKernelSize - offset, &host, &hostOffset,
                                     &length),
                      kStatusOK)
                << offset;
            ASSERT_GT(length, 0u);
            ASSERT_LE(length, kKernelSize - offset);
            std::vector<uint8_t> bytes(length);
            uint32_t got = 0;
            ASSERT_EQ(QxPlatformFileReadAt(image, hostOffset, static_cast<uint32_t>(length),
                                           bytes.data(), &got),
                      kStatusOK);
            ASSERT_EQ(got, length);
            ASSERT_EQ(bytes, Pattern(kernelID_, offset, length)) << offset;
            offset += length;
            ++spans;
        }
        // Twelve fragments: a span never runs past the end of its extent.
        if (start == 0) EXPECT_GE(spans, 12);
    }
    QxDeviceHandle host = kQxInvalidDeviceHandle;
    uint64_t hostOffset = 0;
    uint64_t length = 0;
    EXPECT_EQ(VolumeFileSpan(file, kKernelSize, 1, &host, &hostOffset, &length),
              kStatusUnderrun);
    // Reads that go another way than the platform's own (a test's faults)
    // are never stepped around.
    static const BlockDeviceIO kOther = *BlockDeviceDefaultIO();
    const BlockDeviceIO* previous = BlockDeviceSetIO(&kOther);
    EXPECT_EQ(VolumeFileSpan(file, 0, 10, &host, &hostOffset, &length), kStatusUnsupported);
    BlockDeviceSetIO(previous);
    QxPlatformDeviceClose(image);
    VolumeClose(file);
}

TEST_F(VolumePathTest, VolumeOpenFailuresLeaveNothingOpen) {
    VolumeFile* file = nullptr;
    EXPECT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#2/missing", &file), kHFSNotFound);
    EXPECT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#2/System", &file), kStatusUnexpectedType);
    EXPECT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#2/mach_kernel/x", &file), kHFSNotFound);
    EXPECT_EQ(VolumeOpen("pfs:\\\\.\\CdRom0#5/mach_kernel", &file), kStatusNotFound);
    EXPECT_EQ(VolumeOpen("pfs:#2/x", &file), kStatusBadPath);
    // Upper-case prefix: a host path, which does not exist.
    EXPECT_NE(VolumeOpen("PFS:\\\\.\\CdRom0#2/mach_kernel", &file), kStatusOK);
    EXPECT_EQ(VolumeOpen((dir_->string() + "/missing").c_str(), &file), 2);
    EXPECT_EQ(DeviceCount(), 0u);

    // Every allocation failure in turn.
    for (int64_t countdown = 1;; ++countdown) {
        QxLFailAllocationAfter(countdown);
        QxStatus status = VolumeOpen(kKernel, &file);
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (status == kStatusOK) {
            VolumeClose(file);
            if (!triggered) break;
        }
        ASSERT_EQ(DeviceCount(), 0u) << "allocation " << countdown;
        ASSERT_LT(countdown, 200);
    }
}

TEST_F(VolumePathTest, HostFilesBeyondFourGiB) {
    std::string path = (*dir_ / "sparse.bin").string();
    const uint64_t size = (uint64_t{5} << 30) + 17;
    const uint64_t marker = (uint64_t{4} << 30) + 4093;  // straddles nothing special
    { std::ofstream(path, std::ios::binary); }
    fs::resize_file(path, size);
    {
        std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(marker));
        out.write("MARK", 4);
        out.seekp(static_cast<std::streamoff>(size - 3));
        out.write("END", 3);
    }
    VolumeFile* file = nullptr;
    ASSERT_EQ(VolumeOpen(path.c_str(), &file), kStatusOK);
    EXPECT_EQ(file->fork, nullptr);
    uint64_t reported = 0;
    ASSERT_EQ(VolumeFileSize(file, &reported), kStatusOK);
    EXPECT_EQ(reported, size);
    char bytes[8] = {};
    ASSERT_EQ(VolumeRead(file, marker - 1, 6, bytes), kStatusOK);
    EXPECT_EQ(std::string(bytes, 6), std::string("\0MARK\0", 6));
    ASSERT_EQ(VolumeRead(file, size - 3, 3, bytes), kStatusOK);
    EXPECT_EQ(std::string(bytes, 3), "END");
    EXPECT_EQ(VolumeRead(file, size - 2, 3, bytes), kStatusReadFailed);
    EXPECT_EQ(VolumeRead(file, size + 100, 1, bytes), kStatusReadFailed);
    VolumeClose(file);
    fs::remove(path);
}

// ---- The inspector ------------------------------------------------------------------

struct ToolResult {
    int exitCode;
    std::string out;
    std::string err;
};

std::string Drain(FILE* stream) {
    std::string text;
    std::rewind(stream);
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) text.append(chunk, got);
    std::fclose(stream);
    return text;
}

ToolResult RunTool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "tamsor-disc");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ToolResult result;
    result.exitCode = tamsordisc::Run(static_cast<int>(arguments.size()), argv.data(), out, err);
    result.out = Drain(out);
    result.err = Drain(err);
    return result;
}

class DiscToolTest : public VolumePathTest {
protected:
    void SetUp() override {}  // the tool binds its image itself
};

TEST_F(DiscToolTest, CatWritesTheFileBytes) {
    ToolResult result = RunTool({"cat", Image(0), "/mach_kernel"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<uint8_t> expected = Pattern(kernelID_, 0, kKernelSize);
    EXPECT_EQ(result.out, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(result.err, "");

    // Partition chosen by number; precomposed input finds decomposed names.
    result = RunTool({"cat", Image(0) + "#2", "caf\xC3\xA9/menu"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "croissant");
    result = RunTool({"cat", Image(0) + "#3", "Kernel"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "upper");
    EXPECT_FALSE(DeviceFindBinding("\\\\.\\CdRom0", -1, nullptr, nullptr));
}

TEST_F(DiscToolTest, LsListsOneEntryPerLine) {
    ToolResult result = RunTool({"ls", Image(0)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // Catalog order (case-insensitive). The private folder's name starts
    // with four U+0000, which sort last (they fold to U+FFFF) and show as
    // U+2400.
    const std::string nul = "\xE2\x90\x80";
    EXPECT_EQ(result.out, "a/\nCafe\xCC\x81/\nkernel link\nlinked\nmach_kernel\nSystem/\n" + nul + nul +
                              nul + nul + "HFS+ Private Data/\n");

    result = RunTool({"ls", Image(0) + "#2", "/system/library"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "CoreServices/\n");
    result = RunTool({"ls", Image(0), "a/b/c/d/e/f/g/h/deep.txt"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "deep.txt\n");
    result = RunTool({"ls", Image(1)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "readme\n");
}

TEST_F(DiscToolTest, InfoShowsTheMapAndTheVolumes) {
    ToolResult result = RunTool({"info", Image(1)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Sector size: 2048 bytes"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Verin_Driver"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("3  \"Second Disc\"  H+"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("pfs:\\\\.\\CdRom0#3"), std::string::npos) << result.out;
}

// The line after the volume line that ends in "#partition".
std::string LineAfterVolume(const std::string& out, const std::string& partition) {
    size_t at = out.find("pfs:\\\\.\\CdRom0#" + partition + "\n");
    if (at == std::string::npos) return "(no volume " + partition + ")";
    size_t start = out.find('\n', at) + 1;
    return out.substr(start, out.find('\n', start) - start);
}

TEST_F(DiscToolTest, InfoTellsInstallDiscsAndDiagnostics) {
    // Volume 2 has the whole install set and the diagnostics booter; volume
    // 3 lacks only System/Installation, which the strict check wants.
    HFSImageSpec disc;
    for (bool full : {true, false}) {
        HFSImageVolume& volume = disc.AddVolume(full ? "Install" : "Almost");
        if (full) volume.MakeFolders("System/Installation/Packages");
        volume.AddFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi", "booter");
        volume.AddFile(kHFSImageRootID, "mach_kernel", "kernel");
        volume.AddFile(volume.MakeFolders("System/Library"), "Extensions.mkext", "kexts");
        uint32_t coreServices = volume.MakeFolders("System/Library/CoreServices");
        volume.AddFile(coreServices, "SystemVersion.plist", "<plist version=\"1.0\"/>\n");
        if (full) {
            volume.AddFile(volume.MakeFolders("System/Library/CoreServices/.diagnostics"),
                           "diags.efi", "diags");
        }
    }
    std::string image = (*dir_ / "boot.img").string();
    std::string error;
    ASSERT_EQ(WriteDiscImage(disc, image, nullptr, &error), kStatusOK) << error;

    ToolResult result = RunTool({"info", image});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LineAfterVolume(result.out, "2"), "     install disc: yes  diagnostics: yes")
        << result.out;
    EXPECT_EQ(LineAfterVolume(result.out, "3"), "     install disc: no  diagnostics: no")
        << result.out;

    // A disc without the install files, and nothing left bound afterwards.
    result = RunTool({"info", Image(0)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LineAfterVolume(result.out, "2"), "     install disc: no  diagnostics: no")
        << result.out;
    EXPECT_FALSE(DeviceFindBinding("\\\\.\\CdRom0", -1, nullptr, nullptr));
    fs::remove(image);
}

TEST_F(DiscToolTest, ErrorsNameTheirStatus) {
    ToolResult result = RunTool({"cat", Image(0), "missing"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("kHFSNotFound"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");

    result = RunTool({"cat", Image(0), "System"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("kStatusUnexpectedType"), std::string::npos) << result.err;

    result = RunTool({"ls", Image(0) + "#9"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("kStatusNotFound"), std::string::npos) << result.err;

    result = RunTool({"info", (*dir_ / "none.img").string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("system error 2"), std::string::npos) << result.err;

    EXPECT_EQ(RunTool({"cat", Image(0)}).exitCode, 2);
    EXPECT_EQ(RunTool({"list", Image(0)}).exitCode, 2);
    EXPECT_EQ(RunTool({}).exitCode, 2);
}

#if defined(__linux__)
// The built program itself, where it can be found next to this one.
TEST_F(DiscToolTest, BuiltProgramCatsToStandardOutput) {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) GTEST_SKIP() << "no /proc/self/exe here";
    fs::path tool = self.parent_path().parent_path().parent_path() / "tools" / "tamsor-disc";
    if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not built";
    std::string command = "\"" + tool.string() + "\" cat \"" + Image(0) + "\" mach_kernel";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    EXPECT_EQ(pclose(pipe), 0);
    std::vector<uint8_t> expected = Pattern(kernelID_, 0, kKernelSize);
    EXPECT_EQ(out, std::string(expected.begin(), expected.end()));

    command = "\"" + tool.string() + "\" ls \"" + Image(0) + "\" nowhere 2>&1";
    pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    out.clear();
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    EXPECT_NE(pclose(pipe), 0);
    EXPECT_NE(out.find("kHFSNotFound"), std::string::npos) << out;
}
#endif

}  // namespace
