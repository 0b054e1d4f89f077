// The image layer with .dmg images made by our writer (tools/dmgwriter):
// every kind read back byte-exact, also by independent readers, through the
// block devices; damaged and unsupported images refused with their sentence;
// failed runs never deliver a byte; the decode cache stays within its bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "BlockDevice.h"
#include "DMGWriter.h"
#include "DeviceBinding.h"
#include "ImageFile.h"
#include "ImageFileInternal.h"
#include "QxPlatformRunLoop.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"
#include "QxWorkPool.h"

namespace {

namespace fs = std::filesystem;

const char kDrive[] = "\\\\.\\CdRom5";

// A disc whose bytes name their own offset (every 8 bytes: "@" and seven
// hex digits of the offset), with a run of zeros and a stretch of noise
// that does not compress, so every run kind appears.
std::vector<uint8_t> SampleDisc(size_t size) {
    std::vector<uint8_t> disc(size);
    for (size_t at = 0; at + 8 <= size; at += 8) {
        char word[9];
        snprintf(word, sizeof word, "@%07zx", at & 0xFFFFFFF);
        memcpy(&disc[at], word, 8);
    }
    size_t zeroFrom = size / 4, zeroTo = size / 2;
    std::fill(disc.begin() + zeroFrom, disc.begin() + zeroTo, 0);
    uint32_t noise = 12345;
    for (size_t at = size * 3 / 4; at < size * 3 / 4 + 300000 && at < size; ++at) {
        noise = noise * 1103515245u + 12345u;
        disc[at] = static_cast<uint8_t>(noise >> 16);
    }
    return disc;
}

class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tamsor-imagefile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        DeviceUnbindAll();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string MakeDMG(const std::string& name, const std::vector<uint8_t>& disc,
                        const DMGOptions& options) {
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(DMGWrite(disc, options, &image, &error)) << error;
        return Write(name, image);
    }
    // The whole disc through the image layer, in reads of piece bytes.
    std::vector<uint8_t> ReadAll(const std::string& path, uint32_t piece) {
        ImageFile* image = nullptr;
        char problem[kImageProblemCapacity];
        EXPECT_EQ(ImageFileOpen(path.c_str(), &image, problem, sizeof problem), kStatusOK)
            << problem;
        if (image == nullptr) return {};
        std::vector<uint8_t> disc(ImageFileSize(image));
        for (uint64_t at = 0; at < disc.size(); at += piece) {
            uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece, disc.size() - at));
            uint32_t got = 0;
            EXPECT_EQ(ImageFileRead(image, at, count, &disc[at], &got), kStatusOK) << at;
            EXPECT_EQ(got, count);
        }
        ImageFileRelease(image);
        return disc;
    }

    fs::path dir_;
};

struct Kind {
    const char* name;
    DMGMethod method;
};
const Kind kKinds[] = {{"zlib", DMGMethod::kZlib},
                       {"bzip2", DMGMethod::kBzip2},
                       {"adc", DMGMethod::kADC},
                       {"raw", DMGMethod::kRaw},
                       {"mixed", DMGMethod::kMixed}};

TEST_F(ImageFileTest, EveryKindReadsBackByteExactInAnyPieces) {
    std::vector<uint8_t> disc = SampleDisc(3 << 20);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        DMGOptions options;
        options.method = kind.method;
        options.chunkSectors = 512;
        options.tableCount = 3;
        options.dataForkOffset = 4096;
        options.tableDataOffsets = true;
        std::string path = MakeDMG(std::string(kind.name) + ".dmg", disc, options);
        EXPECT_TRUE(ReadAll(path, 1 << 20) == disc);
        // Pieces that straddle runs and tables at odd offsets.
        EXPECT_TRUE(ReadAll(path, 99991) == disc);

        ImageFile* image = nullptr;
        ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
        EXPECT_TRUE(ImageFileIsCompressed(image));
        EXPECT_EQ(ImageFileRawHandle(image), kQxInvalidDeviceHandle);
        uint8_t byte = 0;
        uint32_t got = 0;
        EXPECT_EQ(ImageFileRead(image, disc.size(), 1, &byte, &got), kStatusOutOfRange);
        EXPECT_EQ(ImageFileRead(image, disc.size() - 1, 2, &byte, &got), kStatusOutOfRange);
        std::string lines;
        EXPECT_EQ(ImageFileVerify(image, [](void* context, const char* line) {
                      *static_cast<std::string*>(context) += std::string(line) + "\n";
                  }, &lines),
                  kStatusOK)
            << lines;
        EXPECT_NE(lines.find("master checksum: CRC-32"), std::string::npos) << lines;
        ImageFileRelease(image);
    }
}

TEST_F(ImageFileTest, RawImagesStayPlainFiles) {
    std::vector<uint8_t> disc = SampleDisc(100000);  // not a multiple of 512
    std::string path = Write("disc.iso", disc);
    ImageFile* image = nullptr;
    ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
    EXPECT_FALSE(ImageFileIsCompressed(image));
    EXPECT_NE(ImageFileRawHandle(image), kQxInvalidDeviceHandle);
    EXPECT_EQ(ImageFileSize(image), disc.size());
    // Short at the end, as a file read is.
    std::vector<uint8_t> buffer(1000);
    uint32_t got = 0;
    ASSERT_EQ(ImageFileRead(image, disc.size() - 10, 1000, buffer.data(), &got), kStatusOK);
    EXPECT_EQ(got, 10u);
    ImageFileRelease(image);
}

// A file held as a library holds it: bound by its name (as on Windows,
// where no path opens the held file itself) with its identity. Reads that
// follow a rewrite in place fail and hand out nothing (a .dmg's runs
// decoded before stay good), opens of the rewritten file or of a file
// renamed over the name are refused, and no raw handle lets the system
// send the bytes unchecked.
// Holds the file at path open and binds kDrive to its name and identity.
QxDeviceHandle HoldAndBind(const std::string& path, QxFileIdentity* identity) {
    QxDeviceHandle holder = kQxInvalidDeviceHandle;
    char reopen[4096];
    EXPECT_EQ(QxPlatformFileHold(path.c_str(), &holder, reopen, sizeof reopen), kStatusOK);
    EXPECT_EQ(QxPlatformFileIdentity(holder, identity), kStatusOK);
    EXPECT_EQ(DeviceBindHeldImage(kDrive, path.c_str(), identity), kStatusOK);
    return holder;
}

TEST_F(ImageFileTest, AHeldFileIsReadOnlyAsTheFileItWas) {
    std::vector<uint8_t> disc = SampleDisc(1 << 20);
    std::vector<uint8_t> other(disc.size(), 0x5A);
    DMGOptions options;
    options.method = DMGMethod::kZlib;
    options.chunkSectors = 256;
    std::string paths[] = {Write("held.iso", disc), MakeDMG("held.dmg", disc, options)};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        // A library's files are older than the moment they are rewritten.
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
        QxFileIdentity identity{};
        QxDeviceHandle holder = HoldAndBind(path, &identity);
        BlockDevice* device = nullptr;
        ASSERT_EQ(OpenDevice(kDrive, -1, &device), kStatusOK);
        ReleaseDevice(device);

        ImageFile* image = nullptr;
        ASSERT_EQ(ImageFileOpenIdentified(path.c_str(), &identity, false, &image, nullptr, 0),
                  kStatusOK);
        EXPECT_EQ(ImageFileRawHandle(image), kQxInvalidDeviceHandle);
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        ASSERT_EQ(ImageFileRead(image, 0, 4096, buffer.data(), &got), kStatusOK);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), disc.begin()));

        // Rewritten in place: the same file, truncated and written again.
        std::vector<uint8_t> rewritten = path == paths[0] ? other : std::vector<uint8_t>();
        if (rewritten.empty()) {
            std::ifstream in(path, std::ios::binary);
            rewritten.assign(std::istreambuf_iterator<char>(in), {});
            std::fill(rewritten.begin(), rewritten.begin() + rewritten.size() / 2, 0x5A);
        }
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(rewritten.data()),
                      static_cast<std::streamsize>(rewritten.size()));
        }
        got = 99;
        EXPECT_EQ(ImageFileRead(image, 512 << 10, 4096, buffer.data(), &got), kStatusNotAvailable);
        EXPECT_EQ(got, 0u);
        // What was read before is the old file's, and stays readable.
        ASSERT_EQ(ImageFileRead(image, 0, 4096, buffer.data(), &got),
                  path == paths[0] ? kStatusNotAvailable : kStatusOK);
        if (path == paths[1]) EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), disc.begin()));
        ImageFileRelease(image);
        char problem[kImageProblemCapacity];
        image = nullptr;
        EXPECT_EQ(ImageFileOpenIdentified(path.c_str(), &identity, false, &image, problem,
                                          sizeof problem),
                  kStatusNotAvailable);
        EXPECT_EQ(image, nullptr);
        EXPECT_NE(strstr(problem, "replaced or rewritten"), nullptr) << problem;
        EXPECT_EQ(OpenDevice(kDrive, -1, &device), kStatusNotAvailable);
        QxPlatformDeviceClose(holder);
    }

    // The bound name leads to another file of the same bytes, size and time
    // (on Windows: one renamed over the held file's name).
    std::string path = Write("renamed.iso", disc);
    QxFileIdentity identity{};
    QxDeviceHandle holder = HoldAndBind(path, &identity);
    std::string elsewhere = Write("new.iso", disc);
    fs::last_write_time(elsewhere, fs::last_write_time(path));
    ASSERT_EQ(DeviceBindHeldImage(kDrive, elsewhere.c_str(), &identity), kStatusOK);
    BlockDevice* device = nullptr;
    EXPECT_EQ(OpenDevice(kDrive, -1, &device), kStatusNotAvailable);
    // The name bound without an identity opens whatever file it names.
    ASSERT_EQ(DeviceBindImage(kDrive, elsewhere.c_str(), 0), kStatusOK);
    EXPECT_EQ(DeviceBindingIdentity(kDrive), nullptr);
    ASSERT_EQ(OpenDevice(kDrive, -1, &device), kStatusOK);
    ReleaseDevice(device);
    QxPlatformDeviceClose(holder);
}

#if !defined(_WIN32)
// Our images as readers from elsewhere see them: dmg2img, 7-Zip and
// qemu-img (which reads neither bzip2 here nor ADC at all) must turn each
// into the same disc our reader gives.
TEST_F(ImageFileTest, IndependentReadersAgreeWithOurImages) {
    std::vector<uint8_t> disc = SampleDisc(3 << 20);
    struct Peer {
        const char* program;
        const char* command;  // %1 the image, %2 the output file
        bool bzip2, adc, tableOffsets;
    };
    // dmg2img drops the tables' data offsets; the others add all three.
    const Peer peers[] = {
        {"dmg2img", "dmg2img -s '%1' '%2'", true, true, false},
        {"7zz", "7zz x -tdmg -so '%1' > '%2'", true, true, true},
        {"qemu-img", "qemu-img convert -f dmg -O raw '%1' '%2'", false, false, true},
    };
    int checked = 0;
    for (const Peer& peer : peers) {
        if (std::system((std::string("command -v ") + peer.program + " >/dev/null").c_str()) != 0) {
            ADD_FAILURE() << peer.program << " is missing (scripts/install-deps.sh installs it)";
            continue;
        }
        for (const Kind& kind : kKinds) {
            if ((kind.method == DMGMethod::kBzip2 && !peer.bzip2) ||
                (kind.method == DMGMethod::kADC && !peer.adc) ||
                (kind.method == DMGMethod::kMixed && !(peer.bzip2 && peer.adc))) {
                continue;
            }
            SCOPED_TRACE(std::string(peer.program) + " " + kind.name);
            DMGOptions options;
            options.method = kind.method;
            options.chunkSectors = 256;
            options.tableCount = 2;
            options.dataForkOffset = 1024;
            options.tableDataOffsets = peer.tableOffsets;
            std::string image = MakeDMG(std::string(peer.program) + "-" + kind.name + ".dmg",
                                        disc, options);
            std::string out = (dir_ / (std::string(peer.program) + "-" + kind.name + ".raw")).string();
            std::string command = peer.command;
            command.replace(command.find("%1"), 2, image);
            command.replace(command.find("%2"), 2, out);
            ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
            std::ifstream in(out, std::ios::binary);
            std::vector<uint8_t> theirs((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
            EXPECT_TRUE(theirs == disc) << "their disc has " << theirs.size() << " bytes";
            EXPECT_TRUE(ReadAll(image, 1 << 20) == theirs);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 5 + 5 + 2);
}
#endif

TEST_F(ImageFileTest, RefusedKindsAndDamageSayWhat) {
    std::vector<uint8_t> disc = SampleDisc(1 << 20);
    struct Case {
        DMGDamage damage;
        QxStatus status;
        const char* says;
    };
    const Case cases[] = {
        {DMGDamage::kLZFSERun, kStatusUnsupported, "compressed with LZFSE, which Tamsor cannot read"},
        {DMGDamage::kLZMARun, kStatusUnsupported, "compressed with LZMA"},
        {DMGDamage::kUnknownRun, kStatusUnsupported, "unknown kind 0x80000009"},
        {DMGDamage::kEncrypted, kStatusUnsupported, "encrypted"},
        {DMGDamage::kSegmented, kStatusUnsupported, "split into 2 segments"},
        {DMGDamage::kNoPlist, kStatusUnsupported, "without an XML property list"},
        {DMGDamage::kBinaryPlist, kStatusMalformed, "binary, not XML"},
        {DMGDamage::kRunCountWrap, kStatusMalformed, "run count that does not match"},
        {DMGDamage::kTableGap, kStatusMalformed, "gap or overlap at disc sector"},
        {DMGDamage::kShortTables, kStatusMalformed, "cover 2048 sectors but the disc has 2049"},
        {DMGDamage::kRunOutsideFork, kStatusMalformed, "stored outside the image's data"},
        {DMGDamage::kBadVersion, kStatusMalformed, "unknown version"},
    };
    for (const Case& c : cases) {
        DMGOptions options;
        options.chunkSectors = 256;
        options.tableCount = 2;
        options.damage = c.damage;
        std::string path = MakeDMG("damaged.dmg", disc, options);
        ImageFile* image = nullptr;
        char problem[kImageProblemCapacity];
        EXPECT_EQ(ImageFileOpen(path.c_str(), &image, problem, sizeof problem), c.status)
            << c.says;
        EXPECT_NE(std::string(problem).find(c.says), std::string::npos) << problem;
        EXPECT_EQ(image, nullptr);
        // The block device layer refuses it the same way.
        ASSERT_EQ(DeviceBindImage(kDrive, path.c_str(), 512), kStatusOK);
        BlockDevice* device = nullptr;
        EXPECT_EQ(OpenDevice(kDrive, -1, &device), c.status) << c.says;
    }

    // A file cut short, or with its trailer damaged, while its property list
    // is there is called what it is, not taken for a raw disc without a
    // volume; a raw disc that merely holds a property list stays raw.
    DMGOptions options;
    std::vector<uint8_t> whole;
    std::string error;
    ASSERT_TRUE(DMGWrite(disc, options, &whole, &error));
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 200);
    std::vector<uint8_t> noTrailer(whole.begin(), whole.end() - 512);
    std::vector<uint8_t> badTrailer = whole;
    memcpy(&badTrailer[whole.size() - 512], "kolx", 4);
    for (const auto* bytes : {&cut, &noTrailer, &badTrailer}) {
        ImageFile* image = nullptr;
        char problem[kImageProblemCapacity];
        EXPECT_EQ(ImageFileOpen(Write("cut.dmg", *bytes).c_str(), &image, problem, sizeof problem),
                  kStatusMalformed);
        EXPECT_EQ(std::string(problem).find("this is an incomplete or damaged .dmg"), 0u)
            << problem;
    }
    std::vector<uint8_t> raw = disc;
    memcpy(&raw[raw.size() - 4096], "</plist>", 8);
    ImageFile* image = nullptr;
    ASSERT_EQ(ImageFileOpen(Write("raw.img", raw).c_str(), &image, nullptr, 0), kStatusOK);
    EXPECT_FALSE(ImageFileIsCompressed(image));
    EXPECT_EQ(ImageFileSize(image), raw.size());
    ImageFileRelease(image);
}

TEST_F(ImageFileTest, RunsThatDoNotDecodeFailTheirReadsOnly) {
    std::vector<uint8_t> disc = SampleDisc(1 << 20);
    for (DMGDamage damage : {DMGDamage::kBadStream, DMGDamage::kShortRun}) {
        for (DMGMethod method : {DMGMethod::kZlib, DMGMethod::kBzip2, DMGMethod::kADC}) {
            // A flipped byte can still be valid ADC: ADC has no check value.
            if (damage == DMGDamage::kBadStream && method == DMGMethod::kADC) continue;
            SCOPED_TRACE(static_cast<int>(method));
            DMGOptions options;
            options.method = method;
            options.chunkSectors = 256;  // run 0 is the damaged one
            options.damage = damage;
            std::string path = MakeDMG("bad.dmg", disc, options);
            ImageFile* image = nullptr;
            ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
            std::vector<uint8_t> buffer(4096, 0xEE);
            uint32_t got = 0;
            EXPECT_EQ(ImageFileRead(image, 100, 4096, buffer.data(), &got), kStatusMalformed);
            EXPECT_EQ(got, 0u);
            // A read that starts in a good run and runs into the bad one fails too.
            EXPECT_EQ(ImageFileRead(image, 0, 256 * 512 + 10, std::vector<uint8_t>(256 * 512 + 10).data(), &got),
                      kStatusMalformed);
            EXPECT_EQ(ImageFileRead(image, 256 * 512, 4096, buffer.data(), &got), kStatusOK);
            EXPECT_EQ(memcmp(buffer.data(), &disc[256 * 512], 4096), 0);
            EXPECT_EQ(ImageFileVerify(image, [](void*, const char*) {}, nullptr),
                      kStatusMalformed);
            ImageFileRelease(image);
        }
    }
    // A wrong table checksum is found by verify; reads are unaffected.
    DMGOptions options;
    options.damage = DMGDamage::kTableChecksum;
    EXPECT_TRUE(ReadAll(MakeDMG("crc.dmg", disc, options), 65536) == disc);
    ImageFile* image = nullptr;
    ASSERT_EQ(ImageFileOpen((dir_ / "crc.dmg").string().c_str(), &image, nullptr, 0), kStatusOK);
    std::string lines;
    EXPECT_EQ(ImageFileVerify(image, [](void* context, const char* line) {
                  *static_cast<std::string*>(context) += std::string(line) + "\n";
              }, &lines),
              kStatusMalformed);
    EXPECT_NE(lines.find("data fork: CRC-32"), std::string::npos);
    EXPECT_NE(lines.find("matches"), std::string::npos);
    EXPECT_NE(lines.find("does NOT match"), std::string::npos) << lines;
    ImageFileRelease(image);
}

TEST_F(ImageFileTest, ADCDecoderKeepsToItsOutput) {
    const uint8_t vector[] = {0x83, 0xFE, 0xED, 0xFA, 0xCE, 0x00, 0x00, 0x40, 0x00, 0x06};
    const uint8_t expected[] = {0xFE, 0xED, 0xFA, 0xCE, 0xCE, 0xCE, 0xCE,
                                0xFE, 0xED, 0xFA, 0xCE};
    uint8_t out[11];
    ASSERT_EQ(UDIFDecodeRun(kUDIFRunADC, vector, sizeof vector, out, sizeof out), kStatusOK);
    EXPECT_EQ(memcmp(out, expected, sizeof out), 0);
    // One byte more or less expected, a copy before the start, a cut token.
    uint8_t big[12];
    EXPECT_EQ(UDIFDecodeRun(kUDIFRunADC, vector, sizeof vector, big, 12), kStatusMalformed);
    EXPECT_EQ(UDIFDecodeRun(kUDIFRunADC, vector, sizeof vector, out, 10), kStatusMalformed);
    const uint8_t early[] = {0x80, 0x41, 0x00, 0x01};  // distance 2 after one byte
    EXPECT_EQ(UDIFDecodeRun(kUDIFRunADC, early, sizeof early, out, 4), kStatusMalformed);
    EXPECT_EQ(UDIFDecodeRun(kUDIFRunADC, vector, 9, out, 11), kStatusMalformed);
    // The writer's encoder round-trips with the longest distance.
    std::vector<uint8_t> bytes = SampleDisc(200000);
    memcpy(&bytes[65536 + 1000], &bytes[1000], 60);
    std::vector<uint8_t> encoded = DMGEncodeADC(bytes.data(), bytes.size());
    std::vector<uint8_t> decoded(bytes.size());
    ASSERT_EQ(UDIFDecodeRun(kUDIFRunADC, encoded.data(), encoded.size(), decoded.data(),
                            decoded.size()),
              kStatusOK);
    EXPECT_TRUE(decoded == bytes);
}

TEST_F(ImageFileTest, DecodeCacheIsSharedAndBounded) {
    // 48 MiB that compress well, in 1 MiB runs.
    std::vector<uint8_t> disc = SampleDisc(48u << 20);
    std::fill(disc.begin() + (disc.size() / 4), disc.begin() + (disc.size() / 2), 'z');
    DMGOptions options;
    std::string path = MakeDMG("big.dmg", disc, options);
    const uint64_t kBound = 32u << 20;
    ImageFileSetCacheLimit(kBound);

    ASSERT_EQ(DeviceBindImage(kDrive, path.c_str(), 2048), kStatusOK);
    BlockDevice* device = nullptr;
    ASSERT_EQ(OpenDevice(kDrive, -1, &device), kStatusOK);
    ASSERT_NE(device->image, nullptr);
    EXPECT_EQ(device->diskSize, disc.size());
    ImageFile* image = nullptr;
    ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
    EXPECT_EQ(image, device->image);

    std::vector<uint8_t> buffer(64 * 2048);
    for (uint64_t sector = 0; sector < disc.size() / 2048; sector += 64) {
        ASSERT_EQ(ReadSectors(device, sector, 64, buffer.data()), kStatusOK);
        ASSERT_EQ(memcmp(buffer.data(), &disc[sector * 2048], buffer.size()), 0) << sector;
        EXPECT_LE(ImageFileCacheBytes(image), kBound);
    }
    EXPECT_EQ(ImageFileCacheBytes(image), kBound);
    // The last run read by the device is in the cache for the other user:
    // read again without decoding; a run not read lately is decoded anew.
    uint64_t before = ImageFileCacheBytes(image);
    uint64_t decoded = ImageFileDecodedRuns(image);
    uint32_t got = 0;
    ASSERT_EQ(ImageFileRead(image, disc.size() - 4096, 4096, buffer.data(), &got), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), &disc[disc.size() - 4096], 4096), 0);
    EXPECT_EQ(ImageFileDecodedRuns(image), decoded);
    EXPECT_EQ(ImageFileCacheBytes(image), before);
    // Put away by all its users, the image keeps its runs for the next one.
    ImageFileRelease(image);
    ReleaseDevice(device);
    ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
    EXPECT_EQ(ImageFileCacheBytes(image), before);
    ASSERT_EQ(ImageFileRead(image, 0, 4096, buffer.data(), &got), kStatusOK);
    EXPECT_EQ(memcmp(buffer.data(), disc.data(), 4096), 0);
    EXPECT_EQ(ImageFileDecodedRuns(image), decoded + 1);
    // A run lent out stays, with its bytes, while the whole disc passes
    // through the cache; a range over two runs is not lent.
    const uint8_t* lent = nullptr;
    ImageHold* hold = nullptr;
    ASSERT_EQ(ImageFileHold(image, 8192, 4096, &lent, &hold), kStatusOK);
    for (uint64_t at = 0; at < disc.size(); at += 1u << 20) {
        ASSERT_EQ(ImageFileRead(image, at + 4096, 4096, buffer.data(), &got), kStatusOK);
    }
    EXPECT_EQ(memcmp(lent, &disc[8192], 4096), 0);
    EXPECT_LE(ImageFileCacheBytes(image), kBound);
    ImageFileReleaseHold(image, hold);
    EXPECT_EQ(ImageFileHold(image, (1u << 20) - 100, 200, &lent, &hold), kStatusNotFound);
#if !defined(_WIN32)
    // A file replaced under the same name is another image, not the open one.
    std::vector<uint8_t> smaller;
    std::string error;
    ASSERT_TRUE(DMGWrite(SampleDisc(1 << 20), options, &smaller, &error));
    fs::rename(Write("other.dmg", smaller), path);
    ImageFile* other = nullptr;
    ASSERT_EQ(ImageFileOpen(path.c_str(), &other, nullptr, 0), kStatusOK);
    EXPECT_NE(other, image);
    EXPECT_EQ(ImageFileSize(other), 1u << 20);
    ImageFileRelease(other);
#endif
    ImageFileRelease(image);
    ImageFileSetCacheLimit(0);
}

}  // namespace

namespace {

// What one waiting reader saw: its callbacks and whether its bytes were
// right when it read them in the callback.
struct Waiter {
    ImageFile* image;
    const std::vector<uint8_t>* disc;
    uint64_t offset;
    int calls;
    QxStatus status;
    bool bytesRight;
    int* done;
    int expected;
    bool* stop;
};

void WaiterReady(void* context, QxStatus status) {
    auto* waiter = static_cast<Waiter*>(context);
    ++waiter->calls;
    waiter->status = status;
    if (status == kStatusOK) {
        std::vector<uint8_t> bytes(65536);
        uint32_t got = 0;
        waiter->bytesRight =
            ImageFileRead(waiter->image, waiter->offset, 65536, bytes.data(), &got) == kStatusOK &&
            memcmp(bytes.data(), waiter->disc->data() + waiter->offset, 65536) == 0;
    }
    if (++*waiter->done == waiter->expected) *waiter->stop = true;
}

// Readers, one for each 64 KiB run from first on, that wait for their run.
std::vector<Waiter> WaitForRuns(ImageFile* image, const std::vector<uint8_t>& disc, uint64_t first,
                                int count, int* done, bool* stop) {
    std::vector<Waiter> waiters(count);
    for (int i = 0; i < count; ++i) {
        waiters[i] = Waiter{image, &disc, (first + i) << 16, 0, 1, false, done, count, stop};
    }
    for (Waiter& waiter : waiters) {
        ImageWait* wait = nullptr;
        EXPECT_EQ(ImageFilePrepare(image, waiter.offset, 65536, WaiterReady, &waiter, &wait),
                  kQxErrorWouldBlock);
    }
    return waiters;
}

}  // namespace

// Readers of more runs than the pool takes at once wait off the loop and
// read in their callback. Then, with every pool thread holding a decode,
// as many readers again are left waiting when the pool shuts down: those
// whose decode had started get their bytes, all the others hear that they
// were cancelled, each once. The pool then works again.
TEST_F(ImageFileTest, ReadersWaitOffTheLoopAndShutdownEndsTheirWaits) {
    const int threads = static_cast<int>(QxWorkPoolThreadCount());
    const int readers = 2 * threads + 2;  // the pool takes 2 per thread
    // Every run stored compressed (no zero-filled runs), each byte telling
    // where it is; 64 KiB runs.
    std::vector<uint8_t> disc(static_cast<size_t>(2 * readers + 1) << 16);
    for (size_t at = 0; at < disc.size(); ++at) disc[at] = static_cast<uint8_t>(1 + at % 251 + at / 65536);
    DMGOptions options;
    options.method = DMGMethod::kBzip2;
    options.chunkSectors = 128;
    std::string path = MakeDMG("lab.dmg", disc, options);
    std::string gate = (dir_ / "hold").string();
    ASSERT_EQ(QxPlatformSocketStartup(), kStatusOK);
    ASSERT_EQ(QxRunLoopEnsureInitialized(), kStatusOK);
    ImageFile* image = nullptr;
    ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);

    int done = 0;
    bool stop = false;
    std::vector<Waiter> waiters = WaitForRuns(image, disc, 0, readers, &done, &stop);
    QxRunLoopPumpRunUntil(&stop, QxRunLoopNow() + 60);
    for (const Waiter& waiter : waiters) {
        EXPECT_EQ(waiter.calls, 1);
        EXPECT_EQ(waiter.status, kStatusOK);
        EXPECT_TRUE(waiter.bytesRight) << waiter.offset;
    }

    Write("hold", {});
    QxWorkPoolHoldWhile(gate.c_str());
    done = 0;
    waiters = WaitForRuns(image, disc, readers, readers, &done, &stop);
    for (int tenths = 0; QxWorkPoolHeldCount() < static_cast<uint32_t>(threads) && tenths < 300;
         ++tenths) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(QxWorkPoolHeldCount(), static_cast<uint32_t>(threads));
    QxRunLoopShutdown();
    int decoded = 0, canceled = 0;
    for (const Waiter& waiter : waiters) {
        EXPECT_EQ(waiter.calls, 1);
        decoded += waiter.status == kStatusOK;
        canceled += waiter.status == kStatusCanceled;
        if (waiter.status == kStatusOK) EXPECT_TRUE(waiter.bytesRight) << waiter.offset;
    }
    EXPECT_EQ(decoded, threads);
    EXPECT_EQ(canceled, readers - threads);
    QxWorkPoolHoldWhile(nullptr);

    // Shut down, the pool starts again for the next reader.
    ASSERT_EQ(QxRunLoopEnsureInitialized(), kStatusOK);
    done = 0;
    stop = false;
    waiters = WaitForRuns(image, disc, 2 * readers, 1, &done, &stop);
    QxRunLoopPumpRunUntil(&stop, QxRunLoopNow() + 60);
    EXPECT_EQ(waiters[0].status, kStatusOK);
    EXPECT_TRUE(waiters[0].bytesRight);
    ImageFileRelease(image);
    // The pool's wake-up socket goes with the loop, before the sockets'
    // own end (on Windows, the last cleanup closes every socket left).
    QxRunLoopShutdown();
    QxPlatformSocketCleanup();
}

namespace {

// Readers of two images whose first callback ends everything: it cancels
// the other waits and drops every reference, as closing connections do.
struct Room {
    std::vector<std::pair<ImageFile*, ImageWait*>> waits;  // one per reader
    std::vector<ImageFile*> references;
    int calls = 0;
    bool stop = false;
};
struct RoomReader {
    Room* room;
    size_t index;
};

void RoomReaderReady(void* context, QxStatus) {
    auto* reader = static_cast<RoomReader*>(context);
    Room* room = reader->room;
    ++room->calls;
    room->stop = true;
    if (room->calls > 1) return;
    for (size_t i = 0; i < room->waits.size(); ++i) {
        if (i != reader->index) ImageFileCancelWait(room->waits[i].first, room->waits[i].second);
    }
    // The second image first: the first then pushes it out of the idle slot.
    for (auto image = room->references.rbegin(); image != room->references.rend(); ++image) {
        ImageFileRelease(*image);
    }
}

}  // namespace

// The decodes of two images have all finished and wait in one batch for
// the loop; the first reader called back closes everything, so both images
// are released (one pushing the other out of the idle slot) from inside
// that delivery. The other finished decodes are still delivered, once,
// and their runs are kept.
TEST_F(ImageFileTest, AReleaseInsideADeliveryLeavesTheRestOfTheBatchWhole) {
    std::vector<uint8_t> disc = SampleDisc(8u << 20);
    DMGOptions options;
    options.method = DMGMethod::kBzip2;
    std::string first = MakeDMG("first.dmg", disc, options);
    std::string second = MakeDMG("second.dmg", SampleDisc(4u << 20), options);
    ASSERT_EQ(QxPlatformSocketStartup(), kStatusOK);
    ASSERT_EQ(QxRunLoopEnsureInitialized(), kStatusOK);

    Room room;
    RoomReader readers[4];
    const std::pair<const std::string*, uint64_t> reads[4] = {
        {&first, 0}, {&first, 1u << 20}, {&first, 5u << 20}, {&second, 0}};
    for (size_t i = 0; i < 4; ++i) {
        ImageFile* image = nullptr;
        ASSERT_EQ(ImageFileOpen(reads[i].first->c_str(), &image, nullptr, 0), kStatusOK);
        room.references.push_back(image);
        readers[i] = RoomReader{&room, i};
        ImageWait* wait = nullptr;
        ASSERT_EQ(ImageFilePrepare(image, reads[i].second, 65536, RoomReaderReady, &readers[i], &wait),
                  kQxErrorWouldBlock);
        room.waits.emplace_back(image, wait);
    }
    ImageFile* kept = room.references[0];
    uint64_t decodedBefore = ImageFileDecodedRuns(kept);
    QxWorkPoolWaitIdle();  // every decode finished, none delivered yet
    QxRunLoopPumpRunUntil(&room.stop, QxRunLoopNow() + 30);
    // The rest of the batch was delivered in the same wake-up, after the
    // release, and nothing of it is lost: the first image (idle now) has
    // all three runs cached.
    EXPECT_EQ(room.calls, 1);
    ImageFile* again = nullptr;
    ASSERT_EQ(ImageFileOpen(first.c_str(), &again, nullptr, 0), kStatusOK);
    EXPECT_EQ(again, kept);
    EXPECT_EQ(ImageFileDecodedRuns(again), decodedBefore + 3);
    std::vector<uint8_t> bytes(65536);
    uint32_t got = 0;
    for (uint64_t at : {0ull, 1ull << 20, 5ull << 20}) {
        ASSERT_EQ(ImageFileRead(again, at, 65536, bytes.data(), &got), kStatusOK);
        EXPECT_EQ(memcmp(bytes.data(), &disc[at], 65536), 0) << at;
    }
    EXPECT_EQ(ImageFileDecodedRuns(again), decodedBefore + 3);
    ImageFileRelease(again);
    QxRunLoopShutdown();
    QxPlatformSocketCleanup();
}

// One bound for every .dmg together: images read one after another, and
// runs lent to readers that never come back for more (stalled readers),
// never take more than the bound; lent runs stop at half of it, and the
// readers past that read copies.
TEST_F(ImageFileTest, OneBoundForAllImagesWithLentRunsWithinIt) {
    std::vector<uint8_t> disc = SampleDisc(12u << 20);
    std::fill(disc.begin() + (disc.size() / 4), disc.begin() + (disc.size() / 2), 'z');
    DMGOptions options;
    const uint64_t kBound = 8u << 20;
    ImageFileSetCacheLimit(kBound);
    std::vector<ImageFile*> images;
    for (int i = 0; i < 3; ++i) {
        std::string path = MakeDMG("image" + std::to_string(i) + ".dmg", disc, options);
        ImageFile* image = nullptr;
        ASSERT_EQ(ImageFileOpen(path.c_str(), &image, nullptr, 0), kStatusOK);
        images.push_back(image);
    }
    auto total = [&] {
        uint64_t bytes = 0;
        for (ImageFile* image : images) bytes += ImageFileCacheBytes(image);
        return bytes;
    };
    std::vector<uint8_t> buffer(1u << 20);
    uint32_t got = 0;
    for (ImageFile* image : images) {
        for (uint64_t at = 0; at < disc.size(); at += buffer.size()) {
            ASSERT_EQ(ImageFileRead(image, at, 1u << 20, buffer.data(), &got), kStatusOK);
            ASSERT_EQ(memcmp(buffer.data(), &disc[at], buffer.size()), 0) << at;
            EXPECT_LE(total(), kBound) << at;
        }
    }
    // A stalled reader on every run of the first image.
    std::vector<ImageHold*> holds;
    int lent = 0;
    for (uint64_t at = 0; at < disc.size(); at += 1u << 20) {
        ASSERT_EQ(ImageFileRead(images[0], at, 4096, buffer.data(), &got), kStatusOK);
        const uint8_t* bytes = nullptr;
        ImageHold* hold = nullptr;
        if (ImageFileHold(images[0], at, 4096, &bytes, &hold) == kStatusOK) {
            ++lent;
            EXPECT_EQ(memcmp(bytes, &disc[at], 4096), 0);
            holds.push_back(hold);
        }
        EXPECT_LE(total(), kBound) << at;
    }
    EXPECT_EQ(lent, 4);  // half the bound in 1 MiB runs
    for (uint64_t at = 0; at < disc.size(); at += buffer.size()) {
        ASSERT_EQ(ImageFileRead(images[1], at, 1u << 20, buffer.data(), &got), kStatusOK);
        EXPECT_LE(total(), kBound) << at;
    }
    // An image that nobody reads any more gives up its runs first.
    std::string third = (dir_ / "image2.dmg").string();
    ImageFileRelease(images[2]);
    images.pop_back();
    for (uint64_t at = 0; at < disc.size(); at += buffer.size()) {
        ASSERT_EQ(ImageFileRead(images[1], at, 1u << 20, buffer.data(), &got), kStatusOK);
    }
    ImageFile* back = nullptr;
    ASSERT_EQ(ImageFileOpen(third.c_str(), &back, nullptr, 0), kStatusOK);
    EXPECT_EQ(ImageFileCacheBytes(back), 0u);
    EXPECT_EQ(ImageFileCacheBytes(images[0]), 4u << 20);  // its lent runs
    ImageFileRelease(back);
    for (ImageHold* hold : holds) ImageFileReleaseHold(images[0], hold);
    for (ImageFile* image : images) ImageFileRelease(image);
    ImageFileSetCacheLimit(0);
}
