// Pass-through reads judged by what the drive answered: the decoding of
// SCSI status, sense data, transport errors and residual counts, and a
// block device reading through the platform call with a scripted drive
// (the double below the system call) that refuses, comes up short, is
// becoming ready, or reports a changed medium.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "DeviceBinding.h"
#include "QxPlatformDevice.h"

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

// A fixed-format sense answer: key, ASC, ASCQ.
QxPassThroughAnswer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    QxPassThroughAnswer answer{};
    answer.scsiStatus = kCheckCondition;
    answer.driverStatus = 0x08;  // Linux flags the sense data this way
    answer.senseLength = 18;
    answer.sense[0] = 0x70;
    answer.sense[2] = key;
    answer.sense[7] = 10;
    answer.sense[12] = asc;
    answer.sense[13] = ascq;
    return answer;
}

QxPassThroughAnswer Good(uint32_t bytes) {
    QxPassThroughAnswer answer{};
    answer.scsiStatus = kGood;
    answer.bytesMoved = bytes;
    return answer;
}

TEST(PassThroughDecode, EveryAnswerOfTheDrive) {
    struct Case {
        const char* what;
        QxPassThroughAnswer answer;
        QxStatus status;
        const char* text;  // a piece the log line must hold
    };
    QxPassThroughAnswer descriptor = CheckCondition(0, 0, 0);
    descriptor.sense[0] = 0x72;  // descriptor format: key, ASC, ASCQ in bytes 1..3
    descriptor.sense[1] = 0x3;
    descriptor.sense[2] = 0x11;
    descriptor.sense[3] = 0x05;
    QxPassThroughAnswer recovered = CheckCondition(0x1, 0x17, 0x01);
    recovered.bytesMoved = 4096;
    QxPassThroughAnswer transport = Good(4096);
    transport.hostStatus = 0x03;  // the command timed out on its way
    QxPassThroughAnswer callFailed{};
    callFailed.callStatus = 22;

    const Case cases[] = {
        {"good", Good(4096), kStatusOK, ""},
        {"qemu's refusal of an unreadable sector", CheckCondition(0x5, 0x21, 0x00),
         kStatusReadFailed, "sense key 0x5 (illegal request), ASC 0x21, ASCQ 0x00"},
        {"medium error", CheckCondition(0x3, 0x11, 0x00), kStatusReadFailed,
         "medium error"},
        {"medium error in descriptor format", descriptor, kStatusReadFailed,
         "sense key 0x3 (medium error), ASC 0x11, ASCQ 0x05"},
        {"becoming ready", CheckCondition(0x2, 0x04, 0x01), kStatusBusy,
         "drive becoming ready"},
        {"no medium", CheckCondition(0x2, 0x3A, 0x00), kStatusNotAvailable, "ASC 0x3A"},
        {"medium changed", CheckCondition(0x6, 0x28, 0x00), kStatusBusy, "unit attention"},
        {"recovered error: the data is good", recovered, kStatusOK, ""},
        {"short transfer", Good(2048), kStatusUnderrun, "2048 of 4096 bytes"},
        {"transport error with GOOD", transport, kStatusReadFailed, "host 0x3"},
        {"the request itself failed", callFailed, 22, "system error 22"},
    };
    for (const Case& c : cases) {
        char text[256] = "stale";
        EXPECT_EQ(QxPlatformPassThroughDecode(&c.answer, 4096, text, sizeof text), c.status)
            << c.what;
        EXPECT_NE(strstr(text, c.text), nullptr) << c.what << ": " << text;
        if (c.status == kStatusOK) EXPECT_STREQ(text, "") << c.what;
    }
}

// ---- A scripted drive under the platform call ---------------------------------

// Every 4-byte word of the disc holds its offset.
void FillDisc(uint64_t offset, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint64_t at = offset + i;
        uint32_t word = static_cast<uint32_t>(at - at % 4);
        out[i] = static_cast<uint8_t>(word >> (8 * (at % 4)));
    }
}

struct Refusal {
    uint32_t sector;              // refused whenever a read covers it
    QxPassThroughAnswer answer;
};
std::deque<QxPassThroughAnswer> gNextAnswers;  // answered first, in turn
std::vector<Refusal> gBadSectors;
int gDriveCalls = 0;

// The drive: whatever it refuses, the buffer is left as never-written
// memory looks under the sanitizer; a short transfer fills only its part.
void ScriptedDrive(uint32_t first, uint32_t count, uint32_t sectorSize, void* buffer,
                   QxPassThroughAnswer* answer) {
    ++gDriveCalls;
    uint32_t asked = count * sectorSize;
    auto* out = static_cast<uint8_t*>(buffer);
    memset(out, 0xBE, asked);
    if (!gNextAnswers.empty()) {
        *answer = gNextAnswers.front();
        gNextAnswers.pop_front();
        if (answer->scsiStatus != kGood) return;
        FillDisc(uint64_t{first} * sectorSize, out, answer->bytesMoved);
        return;
    }
    for (const Refusal& bad : gBadSectors) {
        if (bad.sector >= first && bad.sector < first + count) {
            *answer = bad.answer;
            return;
        }
    }
    *answer = Good(asked);
    FillDisc(uint64_t{first} * sectorSize, out, asked);
}

// A drive whose plain reads never work: every read goes to the platform's
// pass-through, which asks the scripted drive.
QxStatus FailingPlainRead(BlockDevice*, uint64_t, uint32_t, void*, uint32_t* bytesRead) {
    *bytesRead = 0;
    return 5;
}
QxStatus PlatformPassThrough(BlockDevice* device, uint32_t first, uint32_t count,
                             void* buffer) {
    return QxPlatformDevicePassThroughRead(device->handle, first, count, device->sectorSize,
                                           buffer);
}
const BlockDeviceIO kDriveIO = {FailingPlainRead, PlatformPassThrough};

class PassThroughDrive : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tamsor-sg-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
        std::string path = (dir_ / "disc.img").string();
        std::vector<uint8_t> bytes(200 * 2048);
        FillDisc(0, bytes.data(), bytes.size());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ASSERT_EQ(DeviceBindImage("\\\\.\\CdRom0", path.c_str(), 2048), kStatusOK);
        ASSERT_EQ(OpenDevice("\\\\.\\CdRom0", -1, &device_), kStatusOK);
        BlockDeviceSetIO(&kDriveIO);
        QxPlatformDeviceSetPassThroughDouble(ScriptedDrive);
        gNextAnswers.clear();
        gBadSectors.clear();
        gDriveCalls = 0;
    }
    void TearDown() override {
        QxPlatformDeviceSetPassThroughDouble(nullptr);
        BlockDeviceSetIO(nullptr);
        ReleaseDevice(device_);
        DeviceUnbindAll();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // The bytes at offset are the disc's.
    static bool DiscBytes(uint64_t offset, const uint8_t* bytes, size_t length) {
        std::vector<uint8_t> expected(length);
        FillDisc(offset, expected.data(), length);
        return memcmp(expected.data(), bytes, length) == 0;
    }

    fs::path dir_;
    BlockDevice* device_ = nullptr;
};

TEST_F(PassThroughDrive, RefusedAndShortReadsFailAndGoodOnesAreExact) {
    gBadSectors.push_back({100, CheckCondition(0x5, 0x21, 0x00)});
    std::vector<uint8_t> buffer(70 * 2048);

    // Sectors 64..133 in pieces of 32: the second piece holds sector 100.
    EXPECT_EQ(ReadSectors(device_, 64, 70, buffer.data()), kStatusReadFailed);
    EXPECT_EQ(device_->failedSector, 96u);
    EXPECT_EQ(gDriveCalls, 2);
    EXPECT_FALSE(device_->passThroughMode);
    // A byte range over it fails too (head, body and tail alike).
    EXPECT_EQ(ReadBytes(device_, 100, 100 * 2048 + 7, buffer.data()), kStatusReadFailed);
    EXPECT_EQ(ReadBytes(device_, 3 * 2048, 98 * 2048 + 1, buffer.data()), kStatusReadFailed);

    // Around it every byte is the disc's; the device now stays on
    // pass-through, as its plain reads do not work.
    ASSERT_EQ(ReadBytes(device_, 40 * 2048 - 3, 60 * 2048 + 3, buffer.data()), kStatusOK);
    EXPECT_TRUE(DiscBytes(60 * 2048 + 3, buffer.data(), 40 * 2048 - 3));
    EXPECT_TRUE(device_->passThroughMode);
    ASSERT_EQ(ReadSectors(device_, 101, 60, buffer.data()), kStatusOK);
    EXPECT_TRUE(DiscBytes(101 * 2048, buffer.data(), 60 * 2048));

    // A drive that moves less than it was asked for: the read fails.
    gNextAnswers.push_back(Good(3 * 2048));
    EXPECT_EQ(ReadSectors(device_, 0, 4, buffer.data()), kStatusUnderrun);
    EXPECT_EQ(device_->failedSector, 0u);
    ASSERT_EQ(ReadSectors(device_, 0, 4, buffer.data()), kStatusOK);
    EXPECT_TRUE(DiscBytes(0, buffer.data(), 4 * 2048));
}

TEST_F(PassThroughDrive, ADiscSpinningUpOrJustChangedIsReadOnceReady) {
    std::vector<uint8_t> buffer(2048);
    // NOT READY twice (becoming ready), then the disc.
    gNextAnswers.push_back(CheckCondition(0x2, 0x04, 0x01));
    gNextAnswers.push_back(CheckCondition(0x2, 0x04, 0x01));
    EXPECT_EQ(ReadSectors(device_, 0, 1, buffer.data()), kStatusBusy);
    EXPECT_FALSE(device_->passThroughMode);
    EXPECT_EQ(ReadSectors(device_, 0, 1, buffer.data()), kStatusBusy);
    EXPECT_FALSE(device_->passThroughMode);
    ASSERT_EQ(ReadSectors(device_, 0, 1, buffer.data()), kStatusOK);
    EXPECT_TRUE(DiscBytes(0, buffer.data(), 2048));

    // A unit attention once (a new disc): reported as "not yet", then read.
    gNextAnswers.push_back(CheckCondition(0x6, 0x28, 0x00));
    EXPECT_EQ(ReadBytes(device_, 10, 4096 + 5, buffer.data()), kStatusBusy);
    ASSERT_EQ(ReadBytes(device_, 10, 4096 + 5, buffer.data()), kStatusOK);
    EXPECT_TRUE(DiscBytes(4096 + 5, buffer.data(), 10));

    // Opening a drive that is becoming ready opens nothing, so that the
    // disc list finds it again once it is ready.
    BlockDevice* again = nullptr;
    gNextAnswers.push_back(CheckCondition(0x2, 0x04, 0x01));
    EXPECT_EQ(OpenDevice("\\\\.\\CdRom0", -1, &again), kStatusBusy);
    EXPECT_EQ(OpenDeviceList(), device_);
    EXPECT_EQ(device_->next, nullptr);
}

}  // namespace
