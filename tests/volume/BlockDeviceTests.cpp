// Block devices over bound images, the read paths (plain and pass-through,
// through an injected I/O table), image bindings and the partition map scan.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "DeviceBinding.h"
#include "HFSImageWriter.h"
#include "HFSVolume.h"
#include "ImageFile.h"
#include "QxLMemory.h"
#include "VolumePartition.h"

namespace {

namespace fs = std::filesystem;

const char kDrive0[] = "\\\\.\\CdRom0";

// Raw image bytes: every aligned 4-byte word holds its own offset
// (little-endian), so a misplaced read shows where its bytes came from.
std::vector<uint8_t> WordImage(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t offset = 0; offset + 4 <= size; offset += 4) {
        uint32_t value = static_cast<uint32_t>(offset);
        memcpy(&image[offset], &value, 4);
    }
    return image;
}

// ---- The injected I/O table: records every request ----
struct PlainCall {
    uint64_t offset;
    uint32_t count;
    void* buffer;
};
struct PassThroughCall {
    uint32_t first;
    uint32_t count;
};
std::vector<PlainCall> gPlainCalls;
std::vector<PassThroughCall> gPassThroughCalls;
int gFailPlainAt = -1;    // index of the first plain call that fails
int gShortPlainAt = -1;   // index of the first plain call that comes back short
int gPlainFaults = 2;     // how many calls in a row from there (2: every try)
QxStatus gPassThroughStatus = kStatusOK;

QxStatus RecordingPlainRead(BlockDevice* device, uint64_t offset, uint32_t count, void* buffer,
                            uint32_t* bytesRead) {
    int index = static_cast<int>(gPlainCalls.size());
    gPlainCalls.push_back({offset, count, buffer});
    auto faulty = [index](int first) {
        return first >= 0 && index >= first && index < first + gPlainFaults;
    };
    if (faulty(gFailPlainAt)) return 5;  // EIO / ERROR_ACCESS_DENIED alike
    QxStatus status = BlockDeviceDefaultIO()->plainRead(device, offset, count, buffer, bytesRead);
    if (faulty(gShortPlainAt) && *bytesRead > 0) *bytesRead -= 1;
    return status;
}

// Pass-through as a drive would do it: the same bytes, by sector.
QxStatus RecordingPassThroughRead(BlockDevice* device, uint32_t first, uint32_t count,
                                  void* buffer) {
    gPassThroughCalls.push_back({first, count});
    if (gPassThroughStatus != kStatusOK) return gPassThroughStatus;
    uint32_t bytesRead = 0;
    uint64_t size = static_cast<uint64_t>(count) * device->sectorSize;
    QxStatus status = QxPlatformDeviceReadAt(ImageFileRawHandle(device->image),
                                             uint64_t{first} * device->sectorSize,
                                             static_cast<uint32_t>(size), buffer, &bytesRead);
    if (status == kStatusOK && bytesRead != size) status = 5;
    return status;
}

const BlockDeviceIO kRecordingIO = {RecordingPlainRead, RecordingPassThroughRead};

class BlockDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tamsor-dev-" + std::to_string(std::chrono::steady_clock::now()
                                                   .time_since_epoch()
                                                   .count()));
        fs::create_directories(dir_);
        gPlainCalls.clear();
        gPassThroughCalls.clear();
        gFailPlainAt = gShortPlainAt = -1;
        gPlainFaults = 2;
        gPassThroughStatus = kStatusOK;
    }
    void TearDown() override {
        BlockDeviceSetIO(nullptr);
        QxLFailAllocationAfter(0);
        // Every test gives back every device it opened.
        EXPECT_EQ(OpenDeviceList(), nullptr);
        DeviceUnbindAll();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string WriteImage(const std::vector<uint8_t>& bytes, const char* name = "disc.img") {
        std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Binds a raw image to \\.\CdRom0 and opens it.
    BlockDevice* OpenRaw(const std::vector<uint8_t>& bytes, uint32_t sectorSize = 0) {
        EXPECT_EQ(DeviceBindImage(kDrive0, WriteImage(bytes).c_str(), sectorSize), kStatusOK);
        BlockDevice* device = nullptr;
        EXPECT_EQ(OpenDevice(kDrive0, -1, &device), kStatusOK);
        return device;
    }

    fs::path dir_;
};

// ---- Opening ----------------------------------------------------------------

TEST_F(BlockDeviceTest, OpenBoundImageTakesItsSizeAndJoinsTheList) {
    BlockDevice* device = OpenRaw(WordImage(10 * 2048));
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->path, kDrive0);
    EXPECT_EQ(device->refCount, 1);
    EXPECT_EQ(device->sectorSize, 2048u);
    EXPECT_EQ(device->diskSize, 10u * 2048);
    EXPECT_TRUE(device->isImage);
    EXPECT_FALSE(device->passThroughMode);
    EXPECT_EQ(device->partitions, nullptr);  // no "ER": no map, still open
    EXPECT_EQ(OpenDeviceList(), device);

    // A second open is a new device, pushed at the head.
    BlockDevice* second = nullptr;
    ASSERT_EQ(OpenDevice("\\\\.\\cdrom0", -1, &second), kStatusOK);
    EXPECT_NE(second, device);
    EXPECT_EQ(OpenDeviceList(), second);
    EXPECT_EQ(second->next, device);

    ++device->refCount;
    ReleaseDevice(device);  // one reference left: stays listed
    EXPECT_EQ(second->next, device);
    ReleaseDevice(device);
    EXPECT_EQ(second->next, nullptr);
    ReleaseDevice(second);
}

TEST_F(BlockDeviceTest, OpenUsesOnlyLengthBytesOfThePath) {
    ASSERT_EQ(DeviceBindImage(kDrive0, WriteImage(WordImage(4096)).c_str(), 512), kStatusOK);
    BlockDevice* device = nullptr;
    std::string text = std::string(kDrive0) + "#2/mach_kernel";
    ASSERT_EQ(OpenDevice(text.c_str(), static_cast<int32_t>(strlen(kDrive0)), &device),
              kStatusOK);
    EXPECT_STREQ(device->path, kDrive0);
    EXPECT_EQ(device->sectorSize, 512u);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, OpenRefusesBadPathsAndGeometry) {
    BlockDevice* device = nullptr;
    std::string longPath(261, 'x');
    EXPECT_EQ(OpenDevice(longPath.c_str(), -1, &device), kStatusBadName);
    EXPECT_EQ(OpenDevice(longPath.c_str(), 261, &device), kStatusBadName);

    // Smaller than one sector, and empty.
    ASSERT_EQ(DeviceBindImage(kDrive0, WriteImage(WordImage(2047)).c_str(), 0), kStatusOK);
    EXPECT_EQ(OpenDevice(kDrive0, -1, &device), kStatusBadSize);
    ASSERT_EQ(DeviceBindImage(kDrive0, WriteImage({}).c_str(), 0), kStatusOK);
    EXPECT_EQ(OpenDevice(kDrive0, -1, &device), kStatusBadSize);

    // A missing image reports the system's error (ENOENT and
    // ERROR_FILE_NOT_FOUND are both 2).
    ASSERT_EQ(DeviceBindImage(kDrive0, (dir_ / "missing.img").string().c_str(), 0), kStatusOK);
    EXPECT_EQ(OpenDevice(kDrive0, -1, &device), 2);
    EXPECT_EQ(OpenDeviceList(), nullptr);
}

TEST_F(BlockDeviceTest, OpenSurvivesEveryAllocationFailure) {
    ASSERT_EQ(DeviceBindImage(kDrive0, WriteImage(WordImage(8192)).c_str(), 0), kStatusOK);
    for (int64_t countdown = 1;; ++countdown) {
        QxLFailAllocationAfter(countdown);
        BlockDevice* device = nullptr;
        QxStatus status = OpenDevice(kDrive0, -1, &device);
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!triggered) {
            ASSERT_EQ(status, kStatusOK);
            ReleaseDevice(device);
            break;
        }
        EXPECT_EQ(status, kStatusNoMemory) << "allocation " << countdown;
        EXPECT_EQ(OpenDeviceList(), nullptr);
        ASSERT_LT(countdown, 10);
    }
}

// ---- Bindings -----------------------------------------------------------------

TEST_F(BlockDeviceTest, BindingsReplaceAndMatchWithoutCase) {
    const char* image = nullptr;
    uint32_t sectorSize = 0;
    EXPECT_FALSE(DeviceFindBinding(kDrive0, -1, &image, &sectorSize));
    ASSERT_EQ(DeviceBindImage(kDrive0, "first.img", 0), kStatusOK);
    ASSERT_EQ(DeviceBindImage("\\\\.\\CDROM0", "second.img", 512), kStatusOK);
    ASSERT_TRUE(DeviceFindBinding("\\\\.\\cdrom0", -1, &image, &sectorSize));
    EXPECT_STREQ(image, "second.img");
    EXPECT_EQ(sectorSize, 512u);
    // Counted lookups: a longer text is another path.
    EXPECT_TRUE(DeviceFindBinding("\\\\.\\CdRom0#2", 10, nullptr, nullptr));
    EXPECT_FALSE(DeviceFindBinding("\\\\.\\CdRom0#2", 11, nullptr, nullptr));

    ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom1", "third.img", 0), kStatusOK);
    ASSERT_TRUE(DeviceFindBinding("\\\\.\\CdRom1", -1, &image, &sectorSize));
    EXPECT_EQ(sectorSize, kDefaultImageSectorSize);
    EXPECT_EQ(DeviceUnbind(kDrive0), kStatusOK);
    EXPECT_EQ(DeviceUnbind(kDrive0), kStatusNotFound);
    EXPECT_TRUE(DeviceFindBinding("\\\\.\\CdRom1", -1, nullptr, nullptr));

    EXPECT_EQ(DeviceBindImage("", "x.img", 0), kStatusBadName);
    EXPECT_EQ(DeviceBindImage(std::string(261, 'd').c_str(), "x.img", 0), kStatusBadName);
    EXPECT_EQ(DeviceBindImage(kDrive0, "", 0), kStatusBadParameter);
    EXPECT_EQ(DeviceBindImage(kDrive0, "x.img", (1u << 20) + 1), kStatusBadParameter);
}

// ---- Reads ----------------------------------------------------------------------

TEST_F(BlockDeviceTest, ReadBytesSplitsHeadBodyAndTail) {
    std::vector<uint8_t> image = WordImage(16 * 2048);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    std::vector<uint8_t> buffer(4 * 2048 + 16, 0xEE);

    // Inside one sector: that sector once, the middle copied.
    ASSERT_EQ(ReadBytes(device, 100, 2048 * 3 + 10, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[2048 * 3 + 10], 100), 0);
    ASSERT_EQ(gPlainCalls.size(), 1u);
    EXPECT_EQ(gPlainCalls[0].offset, 3u * 2048);
    EXPECT_EQ(gPlainCalls[0].count, 2048u);
    EXPECT_EQ(gPlainCalls[0].buffer, device->sectorBuffer);

    // Whole aligned sectors: one request straight into the caller's buffer.
    gPlainCalls.clear();
    ASSERT_EQ(ReadBytes(device, 3 * 2048, 2 * 2048, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[2 * 2048], 3 * 2048), 0);
    ASSERT_EQ(gPlainCalls.size(), 1u);
    EXPECT_EQ(gPlainCalls[0].offset, 2u * 2048);
    EXPECT_EQ(gPlainCalls[0].count, 3u * 2048);
    EXPECT_EQ(gPlainCalls[0].buffer, buffer.data());

    // Head, two whole sectors, tail.
    gPlainCalls.clear();
    uint32_t count = (2048 - 6) + 2 * 2048 + 12;
    ASSERT_EQ(ReadBytes(device, count, 5 * 2048 + 6, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[5 * 2048 + 6], count), 0);
    ASSERT_EQ(gPlainCalls.size(), 3u);
    EXPECT_EQ(gPlainCalls[0].offset, 5u * 2048);
    EXPECT_EQ(gPlainCalls[1].offset, 6u * 2048);
    EXPECT_EQ(gPlainCalls[1].count, 2u * 2048);
    EXPECT_EQ(gPlainCalls[1].buffer, buffer.data() + (2048 - 6));
    EXPECT_EQ(gPlainCalls[2].offset, 8u * 2048);
    EXPECT_EQ(gPlainCalls[2].buffer, device->sectorBuffer);
    EXPECT_EQ(buffer[count], 0xEE);  // nothing written past the range

    // The last bytes of the disc, and nothing.
    gPlainCalls.clear();
    ASSERT_EQ(ReadBytes(device, 3, 16 * 2048 - 3, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[16 * 2048 - 3], 3), 0);
    EXPECT_EQ(ReadBytes(device, 0, 5, buffer.data()), kStatusOK);
    EXPECT_EQ(ReadSectors(device, 3, 0, buffer.data()), kStatusOK);
    EXPECT_EQ(gPlainCalls.size(), 1u);
    EXPECT_EQ(ReadBytes(device, 1, -1, buffer.data()), kStatusBadParameter);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, ReadsPastTheEndAreRefusedWithoutPassThrough) {
    BlockDevice* device = OpenRaw(WordImage(8 * 2048));
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    std::vector<uint8_t> buffer(4 * 2048);
    EXPECT_EQ(ReadSectors(device, 7, 2, buffer.data()), kStatusOutOfRange);
    EXPECT_EQ(ReadSectors(device, 8, 1, buffer.data()), kStatusOutOfRange);
    EXPECT_EQ(ReadSectors(device, UINT64_MAX, 1, buffer.data()), kStatusOutOfRange);
    EXPECT_EQ(ReadBytes(device, 10, INT64_MAX, buffer.data()), kStatusOutOfRange);
    // More than 32 bits of bytes in one request.
    EXPECT_EQ(ReadSectors(device, 0, (uint64_t{1} << 32) / 2048, buffer.data()), kStatusBadSize);
    EXPECT_TRUE(gPlainCalls.empty());
    // A range running off the end: its first sector is read, the rest refused.
    EXPECT_EQ(ReadBytes(device, 10, 8 * 2048 - 5, buffer.data()), kStatusOutOfRange);
    EXPECT_EQ(gPlainCalls.size(), 1u);
    EXPECT_FALSE(device->passThroughMode);
    EXPECT_EQ(ReadSectors(device, 7, 1, buffer.data()), kStatusOK);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, FailedPlainReadSwitchesToPassThroughForGood) {
    std::vector<uint8_t> image = WordImage(100 * 2048);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    gFailPlainAt = 0;
    std::vector<uint8_t> buffer(70 * 2048);

    // The same request again in pieces of 32, 32 and 6 sectors.
    ASSERT_EQ(ReadSectors(device, 20, 70, buffer.data()), kStatusOK);
    EXPECT_TRUE(device->passThroughMode);
    EXPECT_EQ(memcmp(buffer.data(), &image[20 * 2048], 70 * 2048), 0);
    ASSERT_EQ(gPassThroughCalls.size(), 3u);
    EXPECT_EQ(gPassThroughCalls[0].first, 20u);
    EXPECT_EQ(gPassThroughCalls[0].count, 32u);
    EXPECT_EQ(gPassThroughCalls[1].first, 52u);
    EXPECT_EQ(gPassThroughCalls[1].count, 32u);
    EXPECT_EQ(gPassThroughCalls[2].first, 84u);
    EXPECT_EQ(gPassThroughCalls[2].count, 6u);

    // Later reads never try the plain way again, even ones that would work;
    // byte ranges go through the same path.
    gPassThroughCalls.clear();
    ASSERT_EQ(ReadBytes(device, 2048 + 20, 1000, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[1000], 2048 + 20), 0);
    EXPECT_EQ(gPlainCalls.size(), 2u);  // the failed read, asked twice
    ASSERT_EQ(gPassThroughCalls.size(), 2u);  // head sector, tail sector
    EXPECT_EQ(gPassThroughCalls[0].count, 1u);

    // Pass-through errors are reported as they are.
    gPassThroughStatus = 1117;  // ERROR_IO_DEVICE
    EXPECT_EQ(ReadSectors(device, 0, 1, buffer.data()), 1117);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, ShortPlainReadSwitchesToPassThrough) {
    std::vector<uint8_t> image = WordImage(8 * 2048);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    gShortPlainAt = 0;
    std::vector<uint8_t> buffer(2 * 2048);
    ASSERT_EQ(ReadSectors(device, 1, 2, buffer.data()), kStatusOK);
    EXPECT_TRUE(device->passThroughMode);
    EXPECT_EQ(memcmp(buffer.data(), &image[2048], 2 * 2048), 0);
    ASSERT_EQ(gPassThroughCalls.size(), 1u);
    EXPECT_EQ(gPassThroughCalls[0].count, 2u);
    ReleaseDevice(device);
}

// The first read after a disc change fails once: it is asked again the
// plain way, and the device does not turn to pass-through for it.
TEST_F(BlockDeviceTest, APlainReadFailingOnceIsAskedAgain) {
    std::vector<uint8_t> image = WordImage(100 * 2048);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    std::vector<uint8_t> buffer(2 * 2048);
    gFailPlainAt = 0;
    gPlainFaults = 1;
    ASSERT_EQ(ReadSectors(device, 3, 2, buffer.data()), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &image[3 * 2048], 2 * 2048), 0);
    EXPECT_EQ(gPlainCalls.size(), 2u);
    EXPECT_TRUE(gPassThroughCalls.empty());
    EXPECT_FALSE(device->passThroughMode);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, PassThroughLimitsOnALargeDisc) {
    // A sparse 40 MiB image in 512-byte sectors: 0xFFFF sectors fit on it.
    std::string path = (dir_ / "large.img").string();
    { std::ofstream(path, std::ios::binary); }
    fs::resize_file(path, 40u << 20);
    ASSERT_EQ(DeviceBindImage(kDrive0, path.c_str(), 512), kStatusOK);
    BlockDevice* device = nullptr;
    ASSERT_EQ(OpenDevice(kDrive0, -1, &device), kStatusOK);
    device->passThroughMode = true;
    BlockDeviceSetIO(&kRecordingIO);
    std::vector<uint8_t> buffer(0xFFFFu * 512);
    EXPECT_EQ(ReadSectors(device, 0, 0xFFFF, buffer.data()), kStatusOutOfRange);
    EXPECT_TRUE(gPassThroughCalls.empty());
    ASSERT_EQ(ReadSectors(device, 1, 0xFFFE, buffer.data()), kStatusOK);
    ASSERT_EQ(gPassThroughCalls.size(), 2048u);  // 2047 x 32 + 30
    EXPECT_EQ(gPassThroughCalls.back().first, 1u + 2047 * 32);
    EXPECT_EQ(gPassThroughCalls.back().count, 30u);
    ReleaseDevice(device);
}

TEST_F(BlockDeviceTest, BoundImageHasNoPassThrough) {
    BlockDevice* device = OpenRaw(WordImage(4 * 2048));
    ASSERT_NE(device, nullptr);
    uint8_t buffer[2048];
    device->passThroughMode = true;
    EXPECT_EQ(ReadSectors(device, 0, 1, buffer), kStatusUnsupported);
    ReleaseDevice(device);
}

// ---- Partition map ----------------------------------------------------------------

void Put16(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    image[offset] = static_cast<uint8_t>(value >> 8);
    image[offset + 1] = static_cast<uint8_t>(value);
}
void Put32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    Put16(image, offset, value >> 16);
    Put16(image, offset + 2, value);
}

// A disc like the install discs: a driver entry, two HFS+ volumes with
// a free entry between them. Map blocks of 512 bytes; entries from block 2.
class PartitionMapTest : public BlockDeviceTest {
protected:
    void SetUp() override {
        BlockDeviceTest::SetUp();
        spec_.AddEntry("Driver", "Verin_Driver", 8);
        HFSImageVolume& first = spec_.AddVolume("First");
        first.AddFile(kHFSImageRootID, "a.txt", "first volume");
        spec_.AddEntry("Free", "Verin_Free", 16);
        HFSImageVolume& second = spec_.AddVolume("Second");
        second.AddFile(kHFSImageRootID, "b.txt", "second volume");
        std::string error;
        ASSERT_EQ(BuildDiscImage(spec_, &image_, &layout_, &error), kStatusOK) << error;
        ASSERT_EQ(layout_.volumes.size(), 2u);
        // Move the second volume to a multiple of 92 x 512 bytes, where a
        // map of 92-byte blocks can name it too.
        uint64_t start = layout_.volumes[1].partitionOffset / 512;
        spec_.partitions.back().startBlock = static_cast<uint32_t>((start + 91) / 92 * 92);
        ASSERT_EQ(BuildDiscImage(spec_, &image_, &layout_, &error), kStatusOK) << error;
    }

    size_t EntryOffset(uint32_t block) const { return size_t{block} * spec_.mapBlockSize; }

    std::vector<std::string> PartitionNames(BlockDevice* device) {
        std::vector<std::string> names;
        for (VolumePartition* p = device->partitions; p != nullptr; p = p->next) {
            names.push_back(p->name);
        }
        return names;
    }

    HFSImageSpec spec_;
    std::vector<uint8_t> image_;
    HFSImageLayout layout_;
};

TEST_F(PartitionMapTest, HFSEntriesAreNamedByTheirMapBlock) {
    BlockDevice* device = OpenRaw(image_);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(PartitionNames(device), (std::vector<std::string>{"3", "5"}));
    VolumePartition* partition = device->partitions;
    for (const HFSImageVolumeLayout& volume : layout_.volumes) {
        ASSERT_NE(partition, nullptr);
        EXPECT_EQ(std::to_string(volume.mapEntry), partition->name);
        EXPECT_EQ(partition->kind, kPartitionKindHFSPlus);
        EXPECT_EQ(partition->startOffset, volume.partitionOffset);
        EXPECT_EQ(partition->startSector, volume.partitionOffset / 2048);
        EXPECT_EQ(partition->device, device);
        ASSERT_NE(partition->volume, nullptr);
        partition = partition->next;
    }

    // The volume header as the HFS+ reader gets it.
    uint8_t header[512];
    ASSERT_EQ(ReadPartitionHeader(device->partitions, 1024, header), kStatusOK);
    EXPECT_EQ(memcmp(header, &image_[layout_.volumes[0].partitionOffset + 1024], 512), 0);
    EXPECT_EQ(ReadPartitionHeader(device->partitions, UINT64_MAX - 100, header),
              kStatusOutOfRange);
    ReleaseDevice(device);
}

TEST_F(PartitionMapTest, EntriesThatDoNotCount) {
    // An entry count of 1 (taken from block 1 only): no partitions.
    std::vector<uint8_t> image = image_;
    Put32(image, EntryOffset(1) + 4, 1);
    BlockDevice* device = OpenRaw(image);
    EXPECT_EQ(device->partitions, nullptr);
    ReleaseDevice(device);

    // A zero length skips an entry of the right type; the next one counts.
    image = image_;
    Put32(image, EntryOffset(layout_.volumes[0].mapEntry) + 12, 0);
    device = OpenRaw(image);
    EXPECT_EQ(PartitionNames(device), std::vector<std::string>{"5"});
    ReleaseDevice(device);

    // "Verin_HFS" with more characters in place of the NUL is another type.
    image = image_;
    image[EntryOffset(layout_.volumes[0].mapEntry) + 48 + 9] = 'x';
    device = OpenRaw(image);
    EXPECT_EQ(PartitionNames(device), std::vector<std::string>{"5"});
    ReleaseDevice(device);
}

TEST_F(PartitionMapTest, BadMapsOpenWithWhatWasFound) {
    // No "ER", a map block size below 92: no partitions, the device opens.
    std::vector<uint8_t> image = image_;
    image[0] = 'X';
    BlockDevice* device = OpenRaw(image);
    EXPECT_EQ(device->partitions, nullptr);
    EXPECT_EQ(ScanPartitionMap(device), kStatusBadSignature);
    ReleaseDevice(device);

    image = image_;
    Put16(image, 2, 91);
    device = OpenRaw(image);
    EXPECT_EQ(device->partitions, nullptr);
    EXPECT_EQ(ScanPartitionMap(device), kStatusBadSize);
    ReleaseDevice(device);

    // Sectors too small to hold the descriptor's fields.
    device = OpenRaw(image_, 3);
    EXPECT_EQ(device->partitions, nullptr);
    EXPECT_EQ(ScanPartitionMap(device), kStatusBadSize);
    ReleaseDevice(device);

    // A broken entry after the first volume ends the scan there.
    image = image_;
    image[EntryOffset(4)] = 'Q';
    device = OpenRaw(image);
    EXPECT_EQ(PartitionNames(device), std::vector<std::string>{"3"});
    ReleaseDevice(device);

    // A volume that does not mount ends the scan: the second is not looked at.
    image = image_;
    image[layout_.volumes[0].partitionOffset + 1024] = 'Z';
    device = OpenRaw(image);
    EXPECT_EQ(device->partitions, nullptr);
    ReleaseDevice(device);
}

TEST_F(PartitionMapTest, PartitionPastTheEndOfTheDisc) {
    std::vector<uint8_t> image = image_;
    size_t entry = EntryOffset(layout_.volumes[1].mapEntry);
    for (uint32_t start : {static_cast<uint32_t>(image.size() / 512), 0xFFFFFFFFu}) {
        Put32(image, entry + 8, start);
        BlockDevice* device = OpenRaw(image);
        // The first volume stays; the bad one does not mount, and it leaves
        // the device reading the plain way.
        EXPECT_EQ(PartitionNames(device), std::vector<std::string>{"3"});
        EXPECT_FALSE(device->passThroughMode);
        uint8_t buffer[2048];
        EXPECT_EQ(ReadSectors(device, 0, 1, buffer), kStatusOK);
        ReleaseDevice(device);
    }
}

TEST_F(PartitionMapTest, HugeEntryCountStopsAtTheEndOfTheDisc) {
    // 1 MiB of map: every 512-byte block an empty "PM" entry, and N claims
    // 4 billion of them.
    std::vector<uint8_t> image(1u << 20);
    image[0] = 'E';
    image[1] = 'R';
    Put16(image, 2, 512);
    for (size_t block = 1; block < image.size() / 512; ++block) {
        image[block * 512] = 'P';
        image[block * 512 + 1] = 'M';
    }
    Put32(image, 512 + 4, 0xFFFFFFFFu);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    BlockDeviceSetIO(&kRecordingIO);
    EXPECT_EQ(ScanPartitionMap(device), kStatusOutOfRange);
    // Sector 0, then one read per map block that is on the disc.
    EXPECT_EQ(gPlainCalls.size(), 1u + 2047);
    EXPECT_FALSE(device->passThroughMode);
    EXPECT_EQ(device->partitions, nullptr);
    ReleaseDevice(device);
}

TEST_F(PartitionMapTest, MapBlocksOf92BytesAreAccepted) {
    // The second volume's partition rewritten under a 92-byte map: ER, the
    // map's own entry in block 1, the volume's entry in block 2.
    const HFSImageVolumeLayout& volume = layout_.volumes[1];
    ASSERT_EQ(volume.partitionOffset % 92, 0u) << "the writer placed the volume elsewhere";
    std::vector<uint8_t> image(image_.size());
    std::copy(image_.begin() + static_cast<ptrdiff_t>(volume.partitionOffset), image_.end(),
              image.begin() + static_cast<ptrdiff_t>(volume.partitionOffset));
    image[0] = 'E';
    image[1] = 'R';
    Put16(image, 2, 92);
    for (uint32_t block : {1u, 2u}) {
        image[block * 92] = 'P';
        image[block * 92 + 1] = 'M';
        Put32(image, block * 92 + 4, 2);
    }
    Put32(image, 2 * 92 + 8, static_cast<uint32_t>(volume.partitionOffset / 92));
    Put32(image, 2 * 92 + 12, static_cast<uint32_t>(volume.volumeSize / 92));
    memcpy(&image[2 * 92 + 48], "Verin_HFS", 10);
    BlockDevice* device = OpenRaw(image);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(PartitionNames(device), std::vector<std::string>{"2"});
    ReleaseDevice(device);

    Put16(image, 2, 91);
    device = OpenRaw(image);
    EXPECT_EQ(device->partitions, nullptr);
    ReleaseDevice(device);
}

}  // namespace
