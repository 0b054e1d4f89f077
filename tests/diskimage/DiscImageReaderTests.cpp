// The raw disc reader against image files bound to device paths (real
// reads) and against a fake drive under the system-call table (end probe,
// the switch to pass-through, request sizes); the eject sequence, the
// display name's sources, and socket addresses.
//
// Every image holds self-describing bytes: each 8-byte word is its own
// offset (xor a constant), so a range delivered from the wrong place never
// compares equal.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DeviceBinding.h"
#include "DiscHost.h"
#include "DiscHostInternal.h"
#include "DiscImageReader.h"
#include "DiscImageReaderInternal.h"
#include "QxLMemory.h"
#include "QxLString.h"
#include "QxPlatformDisc.h"
#include "QxPlatformSocket.h"
#include "support/TestSupport.h"

namespace {

constexpr char kBoundPath[] = "\\\\.\\CdRom7";
constexpr char kFakePath[] = "\\\\.\\FakeDrive";
constexpr QxDeviceHandle kFakeHandle = 42;
constexpr QxStatus kFakeIOError = 5;

uint8_t ByteAt(uint64_t offset) {
    uint64_t word = (offset & ~uint64_t{7}) ^ 0x5A5A5A5A00000000ull;
    return static_cast<uint8_t>(word >> (8 * (offset & 7)));
}

void FillPattern(uint64_t offset, uint8_t* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) buffer[i] = ByteAt(offset + i);
}

// Index of the first byte that differs from the pattern, or -1.
int64_t FirstMismatch(uint64_t offset, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != ByteAt(offset + i)) return static_cast<int64_t>(i);
    }
    return -1;
}

struct ReaderCloser {
    void operator()(DiscImageReader* reader) const { DiscImageReaderClose(reader); }
};
using ReaderHolder = std::unique_ptr<DiscImageReader, ReaderCloser>;

// Drains the range: the chunk lengths in order; checks every byte.
std::vector<uint32_t> DrainRange(DiscImageReader* reader, int64_t start, int64_t end) {
    std::vector<uint32_t> lengths;
    int64_t position = start;
    for (;;) {
        uint8_t* chunk = nullptr;
        uint32_t length = 99;
        QxStatus status = DiscImageReaderNextChunk(reader, &chunk, &length);
        EXPECT_EQ(status, kStatusOK);
        if (status != kStatusOK) break;
        if (length == 0) {
            EXPECT_EQ(chunk, nullptr);
            break;
        }
        EXPECT_EQ(FirstMismatch(static_cast<uint64_t>(position), chunk, length), -1)
            << "chunk at " << position;
        position += length;
        lengths.push_back(length);
    }
    EXPECT_EQ(position, end);
    return lengths;
}

// ---- Bound image files -----------------------------------------------------

class DiscImageReaderImage : public ::testing::Test {
protected:
    void SetUp() override { DeviceUnbindAll(); }
    void TearDown() override {
        DeviceUnbindAll();
        std::error_code ignored;
        for (const auto& path : made_) std::filesystem::remove(path, ignored);
    }

    void MakeImage(uint64_t size, uint32_t sectorSize = 2048) {
        path_ = std::filesystem::temp_directory_path() /
                ("tamsor-reader-" + std::to_string(testsupport::ProcessNumber()) + "-" +
                 std::to_string(counter_++) + ".img");
        made_.push_back(path_);
        std::vector<uint8_t> bytes(size);
        FillPattern(0, bytes.data(), bytes.size());
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        ASSERT_EQ(DeviceBindImage(kBoundPath, path_.string().c_str(), sectorSize), kStatusOK);
    }

    ReaderHolder Open(int64_t start, int64_t end, QxStatus expected = kStatusOK) {
        DiscImageReader* reader = nullptr;
        int64_t size = -5;
        EXPECT_EQ(DiscImageReaderOpen(kBoundPath, &start, &end, &size, &reader), expected);
        return ReaderHolder(reader);
    }

    std::filesystem::path path_;  // the image made last
    std::vector<std::filesystem::path> made_;
    static inline int counter_ = 0;
};

TEST_F(DiscImageReaderImage, ChunksOfTheWholeImageAndOfUnalignedRanges) {
    MakeImage(300000);
    int64_t start = 0, end = -1, size = 0;
    DiscImageReader* opened = nullptr;
    ASSERT_EQ(DiscImageReaderOpen(kBoundPath, &start, &end, &size, &opened), kStatusOK);
    ReaderHolder reader(opened);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 300000);
    EXPECT_EQ(size, 300000);
    EXPECT_EQ(DiscImageReaderSectorSize(opened), 2048u);
    EXPECT_EQ(DrainRange(opened, 0, 300000), (std::vector<uint32_t>{131072, 131072, 37856}));
    // Exhausted stays exhausted.
    uint8_t* chunk = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 7;
    EXPECT_EQ(DiscImageReaderNextChunk(opened, &chunk, &length), kStatusOK);
    EXPECT_EQ(length, 0u);

    start = 1000, end = -1;
    ASSERT_EQ(DiscImageReaderSetRange(opened, &start, &end, &size), kStatusOK);
    EXPECT_EQ(DrainRange(opened, 1000, 300000),
              (std::vector<uint32_t>{131072 - 1000, 131072, 300000 - 262144}));

    // Every boundary: first byte, inside and across sectors, the last bytes.
    const int64_t ranges[][2] = {{0, 1},         {0, 512},       {2047, 2049},
                                 {2048, 4096},   {4095, 4097},   {131071, 131073},
                                 {299999, 300000}, {300000 - 2048, 300000},
                                 {100, 262145},  {262143, 300000}};
    for (const auto& range : ranges) {
        start = range[0], end = range[1];
        ASSERT_EQ(DiscImageReaderSetRange(opened, &start, &end, &size), kStatusOK);
        DrainRange(opened, range[0], range[1]);
    }
}

TEST_F(DiscImageReaderImage, RangeResolution) {
    MakeImage(10 * 2048);
    const int64_t size = 10 * 2048;
    ReaderHolder reader = Open(0, -1);
    ASSERT_NE(reader, nullptr);
    struct Case {
        int64_t start, end;
        QxStatus status;
        int64_t resolvedStart, resolvedEnd;
    };
    const Case cases[] = {
        {-512, -1, kStatusOK, size - 512, size},         // bytes=-512
        {100, -1, kStatusOK, 100, size},                 // bytes=100-
        {0, 999999999999, kStatusOK, 0, size},           // end clamped
        {size - 1, size, kStatusOK, size - 1, size},     // last byte
        {-size - 10, -1, kStatusOK, -10, size},          // suffix beyond the start
        {-512, 600, kStatusOutOfRange, 0, 0},            // suffix with an end
        {size, -1, kStatusOutOfRange, 0, 0},             // start at the end
        {size + 5, size + 9, kStatusOutOfRange, 0, 0},   // start beyond it
        {50, 50, kStatusOutOfRange, 0, 0},               // empty
    };
    for (const Case& c : cases) {
        int64_t start = c.start, end = c.end, resolvedSize = -1;
        ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &resolvedSize), c.status)
            << c.start << ".." << c.end;
        if (c.status != kStatusOK) {
            EXPECT_EQ(start, c.start);  // untouched on failure
            continue;
        }
        EXPECT_EQ(start, c.resolvedStart);
        EXPECT_EQ(end, c.resolvedEnd);
        EXPECT_EQ(resolvedSize, size);
        if (start >= 0) DrainRange(reader.get(), start, end);
    }
    // A negative start is never read from.
    int64_t start = -size - 1, end = -1, resolvedSize = 0;
    ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &resolvedSize), kStatusOK);
    uint8_t* chunk = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(DiscImageReaderNextChunk(reader.get(), &chunk, &length), kStatusOutOfRange);

    EXPECT_EQ(DiscImageReaderSetRange(nullptr, &start, &end, &resolvedSize), kStatusBadParameter);
    EXPECT_EQ(DiscImageReaderNextChunk(nullptr, &chunk, &length), kStatusBadParameter);
    DiscImageReaderClose(nullptr);
}

TEST_F(DiscImageReaderImage, OpenFailuresLeaveNothingOpen) {
    // Rejected range at open: the reader is gone and *reader untouched.
    MakeImage(4096);
    DiscImageReader* reader = reinterpret_cast<DiscImageReader*>(8);
    int64_t start = 4096, end = -1, size = 0;
    EXPECT_EQ(DiscImageReaderOpen(kBoundPath, &start, &end, &size, &reader), kStatusOutOfRange);
    EXPECT_EQ(reader, reinterpret_cast<DiscImageReader*>(8));

    // Every allocation failure in turn.
    for (int64_t failAt = 1; failAt <= 3; ++failAt) {
        start = 0, end = -1;
        QxLFailAllocationAfter(failAt);
        QxStatus status = DiscImageReaderOpen(kBoundPath, &start, &end, &size, &reader);
        bool fired = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!fired) {
            EXPECT_EQ(status, kStatusOK);
            DiscImageReaderClose(reader);
            break;
        }
        EXPECT_EQ(status, kStatusNoMemory);
    }

    // Sizes: empty, below one sector, a sector larger than a chunk.
    MakeImage(0);
    Open(0, -1, kStatusBadSize);
    MakeImage(2047);
    Open(0, -1, kStatusBadSize);
    MakeImage(400000, 200000);
    Open(0, -1, kStatusBadSize);

    // A missing image file or drive: the system's error.
    ASSERT_EQ(DeviceBindImage(kBoundPath, "/no/such/image/file.img", 2048), kStatusOK);
    start = 0, end = -1;
    QxStatus status = DiscImageReaderOpen(kBoundPath, &start, &end, &size, &reader);
    EXPECT_GT(status, 0);
    DeviceUnbindAll();
    status = DiscImageReaderOpen("\\\\.\\CdRom97", &start, &end, &size, &reader);
    EXPECT_GT(status, 0);
}

TEST_F(DiscImageReaderImage, OddSectorSizeAndPartialLastSector) {
    // 3000-byte sectors do not divide 128 KiB: chunks hold whole sectors.
    MakeImage(1000001, 3000);
    ReaderHolder reader = Open(0, -1);
    ASSERT_NE(reader, nullptr);
    std::vector<uint32_t> lengths = DrainRange(reader.get(), 0, 1000001);
    ASSERT_FALSE(lengths.empty());
    EXPECT_EQ(lengths[0], 129000u);  // 43 sectors
    int64_t start = 12345, end = 1000001, size = 0;
    ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
    DrainRange(reader.get(), start, end);
}

TEST_F(DiscImageReaderImage, SpansCoverTheRangeInMebibytesWithoutReading) {
    MakeImage(3 * 1048576 + 5000);
    ReaderHolder reader = Open(0, -1);
    ASSERT_NE(reader, nullptr);
    struct Case {
        int64_t start, end;
        std::vector<uint64_t> lengths;
    } cases[] = {
        {0, -1, {1048576, 1048576, 1048576, 5000}},
        {1000, 1048576 + 1000, {1048576}},
        {3 * 1048576 + 4999, -1, {1}},
        {-70000, -1, {70000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        int64_t start = c.start, end = c.end, size = 0;
        ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
        std::vector<uint64_t> lengths;
        uint64_t expectedOffset = static_cast<uint64_t>(start);
        for (;;) {
            QxDeviceHandle file = kQxInvalidDeviceHandle;
            uint64_t offset = 0, length = 0;
            ASSERT_EQ(DiscImageReaderNextSpan(reader.get(), &file, &offset, &length), kStatusOK);
            if (length == 0) break;
            EXPECT_NE(file, kQxInvalidDeviceHandle);
            EXPECT_EQ(offset, expectedOffset);
            expectedOffset += length;
            lengths.push_back(length);
        }
        EXPECT_EQ(lengths, c.lengths);
        EXPECT_EQ(expectedOffset, static_cast<uint64_t>(end));
    }
    // A suffix longer than the image leaves a negative start.
    int64_t start = -(4 << 20), end = -1, size = 0;
    ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
    QxDeviceHandle file = kQxInvalidDeviceHandle;
    uint64_t offset = 0, length = 0;
    EXPECT_EQ(DiscImageReaderNextSpan(reader.get(), &file, &offset, &length), kStatusOutOfRange);
}

TEST_F(DiscImageReaderImage, ImageShrinkingUnderTheReaderFailsWithoutPassThrough) {
    MakeImage(8 * 2048);
    ReaderHolder reader = Open(0, -1);
    ASSERT_NE(reader, nullptr);
    std::filesystem::resize_file(path_, 2048);
    int64_t start = 4096, end = -1, size = 0;
    ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
    uint8_t* chunk = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(DiscImageReaderNextChunk(reader.get(), &chunk, &length), kStatusReadFailed);
    EXPECT_FALSE(DiscImageReaderUsesPassThrough(reader.get()));
}

// Wraps the system's table to count plain reads and see where they land.
struct ReadLog {
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> counts;
    std::vector<void*> destinations;
};
ReadLog* gReadLog = nullptr;

QxStatus LoggedReadAt(ImageFile* image, uint64_t offset, uint32_t count, void* buffer,
                      uint32_t* bytesRead) {
    gReadLog->offsets.push_back(offset);
    gReadLog->counts.push_back(count);
    gReadLog->destinations.push_back(buffer);
    return DiscImageReaderSystemOperations()->readImage(image, offset, count, buffer,
                                                        bytesRead);
}

TEST_F(DiscImageReaderImage, OneReadPerChunkAndStraightIntoTheCallersBuffer) {
    MakeImage(4 << 20);
    DiscImageOperations logged = *DiscImageReaderSystemOperations();
    logged.readImage = LoggedReadAt;
    ReadLog log;
    gReadLog = &log;
    const DiscImageOperations* previous = DiscImageReaderSetOperations(&logged);
    {
        ReaderHolder reader = Open(1 << 20, 2 << 20);  // a 1 MiB range
        ASSERT_NE(reader, nullptr);
        DrainRange(reader.get(), 1 << 20, 2 << 20);
        EXPECT_EQ(log.counts, std::vector<uint32_t>(8, 131072));

        // Any range, aligned or not, is one read into the caller's memory.
        std::vector<uint8_t> target(70000);
        const int64_t offsets[] = {0, 65536, 1, 2047, (4 << 20) - 70000};
        for (int64_t offset : offsets) {
            log = ReadLog();
            uint32_t got = 0;
            ASSERT_EQ(DiscImageReaderReadAt(reader.get(), offset, target.data(), 70000, &got),
                      kStatusOK);
            EXPECT_EQ(got, 70000u);
            EXPECT_EQ(FirstMismatch(offset, target.data(), got), -1) << offset;
            ASSERT_EQ(log.counts.size(), 1u);
            EXPECT_EQ(log.destinations[0], target.data());
        }
        // Cut at the end; nothing at or past it.
        uint32_t got = 0;
        ASSERT_EQ(DiscImageReaderReadAt(reader.get(), (4 << 20) - 100, target.data(), 70000,
                                        &got),
                  kStatusOK);
        EXPECT_EQ(got, 100u);
        EXPECT_EQ(DiscImageReaderReadAt(reader.get(), 4 << 20, target.data(), 1, &got),
                  kStatusOutOfRange);
        EXPECT_EQ(DiscImageReaderReadAt(reader.get(), -1, target.data(), 1, &got),
                  kStatusOutOfRange);
    }
    DiscImageReaderSetOperations(previous);
    gReadLog = nullptr;
}

#if !defined(_WIN32)
// A real block device: the image on a read-only loop device that goes away
// with its last descriptor. Skipped where loop devices cannot be had.
class LoopDevice {
public:
    explicit LoopDevice(const std::filesystem::path& image) {
        int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        int file = open(image.c_str(), O_RDONLY | O_CLOEXEC);
        for (int attempt = 0; control != -1 && file != -1 && attempt < 5; ++attempt) {
            int number = ioctl(control, LOOP_CTL_GET_FREE);
            if (number < 0) break;
            std::string path = "/dev/loop" + std::to_string(number);
            int device = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (device == -1) break;
            if (ioctl(device, LOOP_SET_FD, file) == 0) {
                struct loop_info64 info;
                memset(&info, 0, sizeof(info));
                info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_READ_ONLY;
                ioctl(device, LOOP_SET_STATUS64, &info);
                device_ = device;
                path_ = path;
                break;
            }
            close(device);  // taken by someone else meanwhile: ask again
        }
        if (file != -1) close(file);
        if (control != -1) close(control);
    }
    ~LoopDevice() {
        if (device_ != -1) close(device_);
    }
    const std::string& path() const { return path_; }

private:
    int device_ = -1;
    std::string path_;
};

TEST_F(DiscImageReaderImage, ReadsABlockDevice) {
    MakeImage(3 * 131072 + 1536);
    DeviceUnbindAll();
    LoopDevice loop(path_);
    if (loop.path().empty()) GTEST_SKIP() << "no loop device";
    DiscImageReader* opened = nullptr;
    int64_t start = 0, end = -1, size = 0;
    ASSERT_EQ(DiscImageReaderOpen(loop.path().c_str(), &start, &end, &size, &opened),
              kStatusOK);
    ReaderHolder reader(opened);
    EXPECT_EQ(size, 3 * 131072 + 1536);
    EXPECT_EQ(DiscImageReaderSectorSize(opened), 512u);
    EXPECT_EQ(DrainRange(opened, 0, size),
              (std::vector<uint32_t>{131072, 131072, 131072, 1536}));
    start = 131071, end = 262145;
    ASSERT_EQ(DiscImageReaderSetRange(opened, &start, &end, &size), kStatusOK);
    DrainRange(opened, start, end);
    std::vector<uint8_t> target(70001);
    uint32_t got = 0;
    ASSERT_EQ(DiscImageReaderReadAt(opened, 777, target.data(), 70001, &got), kStatusOK);
    EXPECT_EQ(FirstMismatch(777, target.data(), got), -1);
    EXPECT_FALSE(DiscImageReaderUsesPassThrough(opened));

    // Not mounted, so the lock step passes; a loop device has no door.
    QxDeviceHandle handle = kQxInvalidDeviceHandle;
    ASSERT_EQ(QxPlatformDiscOpenForEject(loop.path().c_str(), &handle), kStatusOK);
    EXPECT_EQ(QxPlatformDiscLockVolume(handle), kStatusOK);
    EXPECT_GT(QxPlatformDiscAllowRemoval(handle), 0);
    QxPlatformDeviceClose(handle);
    EXPECT_GT(DiscEject(loop.path().c_str()), 0);
}
#endif

// ---- A fake drive under the system-call table ------------------------------

struct FakeDrive {
    uint32_t sectorSize = 2048;
    uint64_t diskSize = 0;
    // Plain reads touching [badFrom, badTo) fail, or come up short there.
    uint64_t badFrom = UINT64_MAX;
    uint64_t badTo = UINT64_MAX;
    bool shortReads = false;
    QxStatus geometryStatus = kStatusOK;
    QxStatus passThroughStatus = kStatusOK;
    std::vector<uint64_t> plainOffsets;
    std::vector<uint32_t> plainCounts;
    std::vector<uint32_t> passFirst;
    std::vector<uint32_t> passCounts;
    std::vector<void*> passDestinations;
    int extendedCalls = 0;
    int closeCalls = 0;
};
FakeDrive* gDrive = nullptr;

QxStatus FakeOpen(const char* path, QxDeviceHandle* handle) {
    if (strcmp(path, kFakePath) != 0) return 2;
    *handle = kFakeHandle;
    return kStatusOK;
}

QxStatus FakeGeometry(QxDeviceHandle, uint32_t* sectorSize, uint64_t* diskSize) {
    if (gDrive->geometryStatus != kStatusOK) return gDrive->geometryStatus;
    *sectorSize = gDrive->sectorSize;
    *diskSize = gDrive->diskSize;
    return kStatusOK;
}

// The fake has no image files: nothing is bound while it is in force.
QxStatus FakeOpenImage(const char*, ImageFile**) { return kStatusUnsupported; }
QxStatus FakeReadImage(ImageFile*, uint64_t, uint32_t, void*, uint32_t*) {
    return kStatusUnsupported;
}
void FakeCloseImage(ImageFile*) {}

void FakeExtended(QxDeviceHandle) { ++gDrive->extendedCalls; }

QxStatus FakeReadAt(QxDeviceHandle, uint64_t offset, uint32_t count, void* buffer,
                    uint32_t* bytesRead) {
    gDrive->plainOffsets.push_back(offset);
    gDrive->plainCounts.push_back(count);
    uint64_t stop = offset + count;
    if (stop > gDrive->diskSize) stop = gDrive->diskSize > offset ? gDrive->diskSize : offset;
    if (offset < gDrive->badTo && stop > gDrive->badFrom) {
        if (!gDrive->shortReads) return kFakeIOError;
        stop = gDrive->badFrom > offset ? gDrive->badFrom : offset;
    }
    FillPattern(offset, static_cast<uint8_t*>(buffer), stop - offset);
    *bytesRead = static_cast<uint32_t>(stop - offset);
    return kStatusOK;
}

QxStatus FakePassThrough(QxDeviceHandle, uint32_t first, uint32_t count, uint32_t sectorSize,
                         void* buffer) {
    gDrive->passFirst.push_back(first);
    gDrive->passCounts.push_back(count);
    gDrive->passDestinations.push_back(buffer);
    if (gDrive->passThroughStatus != kStatusOK) return gDrive->passThroughStatus;
    FillPattern(uint64_t{first} * sectorSize, static_cast<uint8_t*>(buffer),
                size_t{count} * sectorSize);
    return kStatusOK;
}

void FakeClose(QxDeviceHandle handle) {
    EXPECT_EQ(handle, kFakeHandle);
    ++gDrive->closeCalls;
}

constexpr DiscImageOperations kFakeOperations = {
    FakeOpen,   FakeOpenImage,   FakeGeometry, FakeExtended,  FakeReadAt,
    FakeReadImage, FakePassThrough, FakeClose,   FakeCloseImage,
};

class DiscImageReaderDrive : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceUnbindAll();
        gDrive = &drive_;
        previous_ = DiscImageReaderSetOperations(&kFakeOperations);
    }
    void TearDown() override {
        DiscImageReaderSetOperations(previous_);
        gDrive = nullptr;
    }
    // Opens the whole medium; the resolved size in size_.
    ReaderHolder Open(QxStatus expected = kStatusOK) {
        DiscImageReader* reader = nullptr;
        int64_t start = 0, end = -1;
        EXPECT_EQ(DiscImageReaderOpen(kFakePath, &start, &end, &size_, &reader), expected);
        return ReaderHolder(reader);
    }
    void ClearLogs() {
        drive_.plainOffsets.clear();
        drive_.plainCounts.clear();
        drive_.passFirst.clear();
        drive_.passCounts.clear();
        drive_.passDestinations.clear();
    }

    FakeDrive drive_;
    int64_t size_ = 0;
    const DiscImageOperations* previous_ = nullptr;
};

TEST_F(DiscImageReaderDrive, EndProbeKeepsTheLastReadableSectorWithin99) {
    const uint64_t sector = 2048, sectors = 1000;
    struct Case {
        uint64_t unreadable;  // trailing sectors that plain reads cannot reach
        int64_t size;
        size_t attempts;
    };
    const Case cases[] = {
        {0, sectors * sector, 1},
        {5, (sectors - 5) * sector, 6},
        {98, (sectors - 98) * sector, 99},
        {99, sectors * sector, 99},     // 99 failures: the reported size stands
        {500, sectors * sector, 99},
    };
    for (const Case& c : cases) {
        drive_ = FakeDrive();
        drive_.diskSize = sectors * sector;
        drive_.badFrom = (sectors - c.unreadable) * sector;
        ReaderHolder reader = Open();
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(size_, c.size) << c.unreadable;
        EXPECT_EQ(drive_.plainOffsets.size(), c.attempts) << c.unreadable;
        EXPECT_EQ(drive_.plainOffsets[0], (sectors - 1) * sector);
        EXPECT_EQ(drive_.extendedCalls, 1);
        EXPECT_TRUE(drive_.passCounts.empty());
        EXPECT_FALSE(DiscImageReaderUsesPassThrough(reader.get()));
    }

    // A small medium that cannot be read at all: the probe stops where the
    // seek would go before the start.
    drive_ = FakeDrive();
    drive_.diskSize = 10 * sector;
    drive_.badFrom = 0;
    ReaderHolder reader = Open();
    EXPECT_EQ(size_, static_cast<int64_t>(10 * sector));
    EXPECT_EQ(drive_.plainOffsets.size(), 10u);
}

TEST_F(DiscImageReaderDrive, DrivesHandOutNoSpans) {
    drive_.diskSize = 4000 * 2048;
    ReaderHolder reader = Open();
    ASSERT_NE(reader, nullptr);
    QxDeviceHandle file = kQxInvalidDeviceHandle;
    uint64_t offset = 0, length = 0;
    EXPECT_EQ(DiscImageReaderNextSpan(reader.get(), &file, &offset, &length),
              kStatusUnsupported);
    // The range is untouched: chunks still deliver all of it.
    std::vector<uint32_t> lengths = DrainRange(reader.get(), 0, 4000 * 2048);
    EXPECT_EQ(lengths.size(), (4000u * 2048 + 131071) / 131072);
}

TEST_F(DiscImageReaderDrive, AFailedPlainReadSwitchesToPassThroughForGood) {
    for (bool shortReads : {false, true}) {
        drive_ = FakeDrive();
        drive_.diskSize = 4000 * 2048;
        drive_.badFrom = 100 * 2048;
        drive_.badTo = 101 * 2048;
        drive_.shortReads = shortReads;
        ReaderHolder reader = Open();
        ASSERT_NE(reader, nullptr);
        ClearLogs();

        // Sectors 64..127 in one chunk: the plain read fails on sector 100.
        int64_t start = 64 * 2048 + 10, end = 128 * 2048, size = 0;
        ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
        DrainRange(reader.get(), start, end);
        // Asked twice: the first read after a disc change fails once.
        EXPECT_EQ(drive_.plainCounts, (std::vector<uint32_t>{64 * 2048, 64 * 2048}));
        EXPECT_EQ(drive_.passFirst, (std::vector<uint32_t>{64, 96}));
        EXPECT_EQ(drive_.passCounts, (std::vector<uint32_t>{32, 32}));
        EXPECT_TRUE(DiscImageReaderUsesPassThrough(reader.get()));

        // Sectors that plain reads could reach now go through pass-through
        // too, in pieces of at most 32 sectors.
        ClearLogs();
        start = 0, end = 300000;
        ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
        DrainRange(reader.get(), start, end);
        EXPECT_TRUE(drive_.plainCounts.empty());
        EXPECT_EQ(drive_.passCounts, (std::vector<uint32_t>{32, 32, 32, 32, 19}));
        EXPECT_EQ(drive_.passFirst, (std::vector<uint32_t>{0, 32, 64, 96, 128}));

        // ReadAt also: partial sectors through the bounce buffer, the middle
        // straight into the caller's buffer.
        ClearLogs();
        std::vector<uint8_t> target(5 * 2048);
        uint32_t got = 0;
        ASSERT_EQ(DiscImageReaderReadAt(reader.get(), 2048 + 7, target.data(),
                                        static_cast<uint32_t>(target.size()), &got),
                  kStatusOK);
        EXPECT_EQ(got, target.size());
        EXPECT_EQ(FirstMismatch(2048 + 7, target.data(), got), -1);
        EXPECT_EQ(drive_.passFirst, (std::vector<uint32_t>{1, 2, 6}));
        EXPECT_EQ(drive_.passCounts, (std::vector<uint32_t>{1, 4, 1}));
        EXPECT_EQ(drive_.passDestinations[1], target.data() + 2048 - 7);
    }
}

TEST_F(DiscImageReaderDrive, PassThroughFailuresAndLimits) {
    drive_.diskSize = 4000 * 2048;
    drive_.badFrom = 0;
    drive_.badTo = 1;  // sector 0 only: the probe at the end still succeeds
    ReaderHolder reader = Open();
    ASSERT_NE(reader, nullptr);
    drive_.passThroughStatus = 1117;
    int64_t start = 0, end = 4096, size = 0;
    ASSERT_EQ(DiscImageReaderSetRange(reader.get(), &start, &end, &size), kStatusOK);
    uint8_t* chunk = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(DiscImageReaderNextChunk(reader.get(), &chunk, &length), 1117);
    // The position did not move: a retry reads the same bytes.
    drive_.passThroughStatus = kStatusOK;
    DrainRange(reader.get(), 0, 4096);

    // READ(10) cannot address sector 0xFFFFFFFF.
    drive_ = FakeDrive();
    drive_.diskSize = (uint64_t{0xFFFFFFFF} + 100) * 2048;
    drive_.badFrom = uint64_t{0xFFFFFFFF} * 2048;
    drive_.badTo = drive_.badFrom + 1;
    ReaderHolder huge = Open();
    ASSERT_NE(huge, nullptr);
    start = static_cast<int64_t>(drive_.badFrom), end = start + 2048;
    ASSERT_EQ(DiscImageReaderSetRange(huge.get(), &start, &end, &size), kStatusOK);
    EXPECT_EQ(DiscImageReaderNextChunk(huge.get(), &chunk, &length), kStatusOutOfRange);
}

TEST_F(DiscImageReaderDrive, GeometryIsJudgedAndFailuresClose) {
    drive_.geometryStatus = 21;  // not ready
    Open(21);
    EXPECT_EQ(drive_.closeCalls, 1);
    drive_ = FakeDrive();
    drive_.sectorSize = 0;
    drive_.diskSize = 4096;
    Open(kStatusBadSize);
    drive_ = FakeDrive();
    drive_.diskSize = 2047;
    Open(kStatusBadSize);
    EXPECT_EQ(drive_.closeCalls, 1);
    EXPECT_EQ(drive_.extendedCalls, 0);

    DiscImageReader* reader = nullptr;
    int64_t start = 0, end = -1, size = 0;
    EXPECT_EQ(DiscImageReaderOpen("\\\\.\\Other", &start, &end, &size, &reader), 2);
}

// ---- Eject ------------------------------------------------------------------

std::string* gEjectTrace = nullptr;
QxStatus gLockStatus = kStatusOK;

QxStatus TraceOpen(const char* path, QxDeviceHandle* handle) {
    *gEjectTrace += "open ";
    if (strcmp(path, kFakePath) != 0) return 2;
    *handle = kFakeHandle;
    return kStatusOK;
}
QxStatus TraceLock(QxDeviceHandle) {
    *gEjectTrace += "lock ";
    return gLockStatus;
}
QxStatus TraceDismount(QxDeviceHandle) {
    *gEjectTrace += "dismount ";
    return kStatusOK;
}
QxStatus TraceAllow(QxDeviceHandle) {
    *gEjectTrace += "allow ";
    return kStatusOK;
}
QxStatus TraceEject(QxDeviceHandle) {
    *gEjectTrace += "eject ";
    return kStatusOK;
}
void TraceClose(QxDeviceHandle) { *gEjectTrace += "close"; }

constexpr DiscEjectOperations kTraceEject = {TraceOpen,  TraceLock,  TraceDismount,
                                             TraceAllow, TraceEject, TraceClose};

TEST(DiscEject, StepsStopAtTheFirstFailureAndBoundImagesUnbind) {
    std::string trace;
    gEjectTrace = &trace;
    const DiscEjectOperations* previous = DiscEjectSetOperations(&kTraceEject);

    EXPECT_EQ(DiscEject(kFakePath), kStatusOK);
    EXPECT_EQ(trace, "open lock dismount allow eject close");

    trace.clear();
    gLockStatus = 32;  // files open on the drive
    EXPECT_EQ(DiscEject(kFakePath), 32);
    EXPECT_EQ(trace, "open lock close");
    gLockStatus = kStatusOK;

    trace.clear();
    EXPECT_EQ(DiscEject("\\\\.\\Missing"), 2);
    EXPECT_EQ(trace, "open ");

    // A bound path loses its binding; the drive is not touched.
    trace.clear();
    ASSERT_EQ(DeviceBindImage(kBoundPath, "image.iso", 0), kStatusOK);
    EXPECT_EQ(DiscEject("\\\\.\\cdrom7"), kStatusOK);
    const char* image = nullptr;
    uint32_t sectorSize = 0;
    EXPECT_FALSE(DeviceFindBinding(kBoundPath, -1, &image, &sectorSize));
    EXPECT_EQ(trace, "");

    EXPECT_EQ(DiscEject(nullptr), kStatusBadParameter);
    DiscEjectSetOperations(previous);
    gEjectTrace = nullptr;

    // The real sequence on a drive that is not there.
    EXPECT_GT(DiscEject("\\\\.\\CdRom96"), 0);
}

// ---- Display name -----------------------------------------------------------

const char* gComment = "";
const char* gDnsName = "";
const char* gHostName = "";
size_t gHostNameSize = 0;

void Put(const char* source, char* text, size_t size) {
    snprintf(text, size, "%s", source);
}
void SourceComment(char* text, size_t size) { Put(gComment, text, size); }
void SourceDns(char* text, size_t size) { Put(gDnsName, text, size); }
void SourceHost(char* text, size_t size) {
    gHostNameSize = size;
    Put(gHostName, text, size);
}
constexpr HostNameSources kTestSources = {SourceComment, SourceDns, SourceHost};

std::string NameText(QxLStringRef name) {
    const char* text = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(QxLStringGetText(name, &text, &length), kStatusOK);
    return std::string(text, length);
}

TEST(HostDisplayName, SourcesInOrderThenUnknownThenBad) {
    const HostNameSources* previous = HostDisplayNameSetSources(&kTestSources);
    struct Case {
        const char *comment, *dns, *host, *expected;
    };
    const Case cases[] = {
        {"B\xC3\xBCro", "dns.example", "host", "B\xC3\xBCro"},
        {"", "dns.example", "host", "dns.example"},
        {"", "", "host", "host"},
        {"", "", "", "<<UNKNOWN>>"},
    };
    for (const Case& c : cases) {
        gComment = c.comment, gDnsName = c.dns, gHostName = c.host;
        QxLStringRef name = HostDisplayName();
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(NameText(name), c.expected);
        QxLObjectRelease(name);
    }
    EXPECT_EQ(gHostNameSize, 255u);

    gComment = "x";
    QxLFailAllocationAfter(1);
    QxLStringRef bad = HostDisplayName();
    QxLFailAllocationAfter(0);
    EXPECT_EQ(NameText(bad), "<<BAD>>");
    QxLObjectRelease(bad);

    HostDisplayNameSetSources(previous);
    ASSERT_EQ(QxPlatformSocketStartup(), kStatusOK);
    QxLStringRef real = HostDisplayName();
    EXPECT_FALSE(NameText(real).empty());
    QxLObjectRelease(real);
    QxPlatformSocketCleanup();
}

#if !defined(_WIN32)
TEST(HostDisplayName, MachineInfoPrettyName) {
    struct Case {
        const char* text;
        bool found;
        const char* name;
    };
    const Case cases[] = {
        {"PRETTY_HOSTNAME=Lab\n", true, "Lab"},
        {"# c\nCHASSIS=desktop\nPRETTY_HOSTNAME=\"Anna's \\\"Mac\\\"\"\n", true,
         "Anna's \"Mac\""},
        {"PRETTY_HOSTNAME='a \\ b'\r\n", true, "a \\ b"},
        {"  PRETTY_HOSTNAME = plain words  \nX=1", true, "plain words"},
        {"PRETTY_HOSTNAME=one\nPRETTY_HOSTNAME=two", true, "two"},
        {"#PRETTY_HOSTNAME=no\n;PRETTY_HOSTNAME=no\nPRETTY_HOSTNAMES=no\n", false, ""},
        {"PRETTY_HOSTNAME=\"" "0123456789012345678901234567890123456789\"", true, ""},
    };
    for (const Case& c : cases) {
        char name[32] = "unchanged";
        EXPECT_EQ(QxPlatformParsePrettyHostName(c.text, strlen(c.text), name, sizeof(name)),
                  c.found)
            << c.text;
        if (c.found) EXPECT_STREQ(name, c.name) << c.text;
    }
}
#endif

// ---- Addresses ----------------------------------------------------------------

struct sockaddr_in IPv4(const char* text, uint16_t port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, text, &address.sin_addr), 1);
    return address;
}

struct sockaddr_in6 IPv6(const char* text, uint16_t port) {
    struct sockaddr_in6 address;
    memset(&address, 0, sizeof(address));
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, &address.sin6_addr), 1);
    return address;
}

std::string Text(const void* address) {
    char text[kSocketAddressTextSize];
    QxStatus status =
        SocketAddressToText(static_cast<const struct sockaddr*>(address), text, sizeof(text));
    EXPECT_EQ(status, kStatusOK);
    return status == kStatusOK ? text : "";
}

TEST(SocketAddressToText, IPv4AndIPv6) {
    const char* v4[] = {"192.168.1.20", "0.0.0.0", "255.255.255.255", "10.0.100.7"};
    for (const char* text : v4) {
        struct sockaddr_in address = IPv4(text, 7799);
        EXPECT_EQ(Text(&address), text);
    }
    struct {
        const char *input, *expected;
    } v6[] = {
        {"::1", "::1"},
        {"::", "::"},
        {"2001:0DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero stays
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longer run
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs
        {"fe80::", "fe80::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& c : v6) {
        struct sockaddr_in6 address = IPv6(c.input, 80);
        EXPECT_EQ(Text(&address), c.expected);
    }

    struct sockaddr_in address = IPv4("192.168.1.20", 1);
    char text[13];
    memset(text, '#', sizeof(text));
    EXPECT_EQ(SocketAddressToText(reinterpret_cast<struct sockaddr*>(&address), text, 12),
              kStatusBufferTooSmall);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(SocketAddressToText(reinterpret_cast<struct sockaddr*>(&address), text, 13),
              kStatusOK);
    EXPECT_STREQ(text, "192.168.1.20");
    address.sin_family = 1;
    EXPECT_EQ(SocketAddressToText(reinterpret_cast<struct sockaddr*>(&address), text, 13),
              kStatusUnsupported);
}

TEST(LocalAddressFor, LoopbackPeers) {
    ASSERT_EQ(QxPlatformSocketStartup(), kStatusOK);
    struct sockaddr_in peer = IPv4("127.0.0.1", 9);
    struct sockaddr_storage local;
    memset(&local, 0, sizeof(local));
    ASSERT_EQ(LocalAddressFor(reinterpret_cast<struct sockaddr*>(&peer), &local), kStatusOK);
    EXPECT_EQ(local.ss_family, AF_INET);
    EXPECT_EQ(Text(&local), "127.0.0.1");

    struct sockaddr_in6 peer6 = IPv6("::1", 9);
    QxStatus status = LocalAddressFor(reinterpret_cast<struct sockaddr*>(&peer6), &local);
    if (status == kStatusOK) {
        EXPECT_EQ(local.ss_family, AF_INET6);
        EXPECT_EQ(Text(&local), "::1");
    } else {
        // No IPv6 on this host: the system's error, and nothing written.
        EXPECT_GT(status, 0);
        EXPECT_EQ(local.ss_family, AF_INET);
    }

    peer.sin_family = 1;
    EXPECT_EQ(LocalAddressFor(reinterpret_cast<struct sockaddr*>(&peer), &local),
              kStatusUnsupported);
    EXPECT_EQ(LocalAddressFor(nullptr, &local), kStatusBadParameter);
    QxPlatformSocketCleanup();
}

}  // namespace
