// Boot sources over disc images bound to \\.\CdRom0 and \\.\CdRom1: the
// strict and loose install-disc checks against discs that each lack one
// file, preparation for installation and diagnostics with the entries and
// the map it makes, files opened through the map (bytes checked against
// the writer's self-describing pattern), the diagnostics folder's ".."
// guard, newer discs winning, registration with the HTTP service, and
// allocation failures at every step.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BootSource.h"
#include "DeviceBinding.h"
#include "DiscShare.h"
#include "HFSImageWriter.h"
#include "HFSStatus.h"
#include "QxLMemory.h"
#include "VolumePath.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr char kDrive0[] = "\\\\.\\CdRom0";
constexpr char kDrive1[] = "\\\\.\\CdRom1";
constexpr char kVolume0[] = "pfs:\\\\.\\CdRom0#2";
constexpr char kVolume1[] = "pfs:\\\\.\\CdRom1#2";
constexpr char kDiagnosticsFolder[] = "System/Library/CoreServices/.diagnostics";

constexpr uint64_t kBooterSize = 70001;
constexpr uint64_t kKernelSize = 300000;
constexpr uint64_t kExtensionsSize = 150000;
constexpr uint64_t kDiagsSize = 5000;

// Which parts of the install-disc set a test disc leaves out or gets wrong.
enum class Flaw {
    kNone,
    kNoInstallationFolder,
    kInstallationIsFile,
    kNoBooter,
    kNoKernel,
    kKernelIsFolder,
    kNoExtensions,
    kNoSystemVersion,
    kNoDiagnostics,
};

// CNIDs of the files of one disc, for the expected bytes.
struct DiscFiles {
    uint32_t booter = 0;
    uint32_t kernel = 0;
    uint32_t extensions = 0;
    uint32_t diags = 0;
};

std::vector<uint8_t> Pattern(uint32_t fileID, uint64_t size) {
    std::vector<uint8_t> bytes(size);
    HFSImagePatternBytes(fileID, 0, bytes.data(), bytes.size());
    return bytes;
}

// Writes a disc with the install files of the table (all pattern contents
// except SystemVersion.plist) minus the flaw.
DiscFiles WriteDisc(const std::string& path, const std::string& volumeName, Flaw flaw) {
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume(volumeName);
    DiscFiles files;
    if (flaw == Flaw::kInstallationIsFile) {
        volume.AddFile(volume.MakeFolders("System"), "Installation", "not a folder");
    } else if (flaw != Flaw::kNoInstallationFolder) {
        volume.MakeFolders("System/Installation/Packages");
    }
    if (flaw != Flaw::kNoBooter) {
        files.booter = volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi",
                                             kBooterSize);
    }
    if (flaw == Flaw::kKernelIsFolder) {
        volume.AddFolder(kHFSImageRootID, "mach_kernel");
    } else if (flaw != Flaw::kNoKernel) {
        files.kernel = volume.AddPatternFile(kHFSImageRootID, "mach_kernel", kKernelSize);
        volume.Fragment(files.kernel, 12);
    }
    uint32_t library = volume.MakeFolders("System/Library");
    if (flaw != Flaw::kNoExtensions) {
        files.extensions = volume.AddPatternFile(library, "Extensions.mkext", kExtensionsSize);
    }
    uint32_t coreServices = volume.MakeFolders("System/Library/CoreServices");
    if (flaw != Flaw::kNoSystemVersion) {
        volume.AddFile(coreServices, "SystemVersion.plist", "<plist version=\"1.0\"/>\n");
    }
    if (flaw != Flaw::kNoDiagnostics) {
        uint32_t diagnostics = volume.MakeFolders(kDiagnosticsFolder);
        files.diags = volume.AddPatternFile(diagnostics, "diags.efi", kDiagsSize);
        volume.AddFile(diagnostics, "x.efi", "x tool");
        volume.AddFile(volume.AddFolder(diagnostics, "sub"), "y.efi", "y tool");
    }
    std::string error;
    EXPECT_EQ(WriteDiscImage(disc, path, nullptr, &error), kStatusOK) << error;
    return files;
}

// Opens a name through the map and reads the whole file.
QxStatus ReadBootFile(const char* name, std::vector<uint8_t>* bytes) {
    VolumeFile* file = nullptr;
    uint64_t size = 0;
    QxStatus status = OpenBootFile(name, &file, &size);
    if (status != kStatusOK) return status;
    bytes->assign(size, 0);
    status = VolumeRead(file, 0, static_cast<uint32_t>(size), bytes->data());
    VolumeClose(file);
    return status;
}

size_t MapLength() {
    size_t count = 0;
    for (const BootFileMapEntry* entry = FirstBootFileMapEntry(); entry != nullptr;
         entry = entry->next) {
        ++count;
    }
    return count;
}

size_t EntryCount() {
    size_t count = 0;
    for (const BootImageEntry* entry = NewestBootImageEntry(); entry != nullptr;
         entry = entry->next) {
        ++count;
    }
    return count;
}

class BootSourceTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(testsupport::MakeScratchFolder("tamsor-boot-"));
        full_ = WriteDisc(Image("full"), "Orvane Install", Flaw::kNone);
        second_ = WriteDisc(Image("second"), "Second Disc", Flaw::kNone);
    }
    static void TearDownTestSuite() {
        testsupport::RemoveScratchFolder(*dir_);
        delete dir_;
    }

    void SetUp() override {
        RunLoopTest::SetUp();
        ASSERT_EQ(DeviceBindImage(kDrive0, Image("full").c_str(), 0), kStatusOK);
        ASSERT_EQ(DeviceBindImage(kDrive1, Image("second").c_str(), 0), kStatusOK);
    }
    void TearDown() override {
        QxLFailAllocationAfter(0);
        EmptyBootFileMap();
        FreeBootImageEntries();
        DiscShareStop();
        DeviceUnbindAll();
        RunLoopTest::TearDown();
    }

    static std::string Image(const std::string& name) {
        return (*dir_ / (name + ".img")).string();
    }

    // Binds a fresh disc with the flaw to \\.\CdRom0.
    void BindFlawed(Flaw flaw) {
        std::string path = Image("flaw" + std::to_string(static_cast<int>(flaw)));
        if (!fs::exists(path)) WriteDisc(path, "Flawed", flaw);
        ASSERT_EQ(DeviceBindImage(kDrive0, path.c_str(), 0), kStatusOK);
    }

    static fs::path* dir_;
    static DiscFiles full_;
    static DiscFiles second_;
};

fs::path* BootSourceTest::dir_ = nullptr;
DiscFiles BootSourceTest::full_;
DiscFiles BootSourceTest::second_;

// ---- Detection ------------------------------------------------------------------

TEST_F(BootSourceTest, InstallDiscChecksStopAtTheFirstMissingOrWrongItem) {
    EXPECT_TRUE(IsInstallDisc(kVolume0, true));
    EXPECT_TRUE(IsInstallDisc(kVolume0, false));
    EXPECT_TRUE(HasDiagnostics(kVolume0));
    // A trailing "/" on the volume path changes nothing.
    EXPECT_TRUE(IsInstallDisc("pfs:\\\\.\\CdRom0#2/", true));

    struct Case {
        Flaw flaw;
        bool strict;
        bool loose;
        bool diagnostics;
    };
    const Case cases[] = {
        {Flaw::kNoInstallationFolder, false, true, true},
        {Flaw::kInstallationIsFile, false, true, true},
        {Flaw::kNoBooter, false, false, true},
        {Flaw::kNoKernel, false, false, true},
        {Flaw::kKernelIsFolder, false, false, true},
        {Flaw::kNoExtensions, false, false, true},
        {Flaw::kNoSystemVersion, false, false, true},
        {Flaw::kNoDiagnostics, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.flaw));
        BindFlawed(c.flaw);
        EXPECT_EQ(IsInstallDisc(kVolume0, true), c.strict);
        EXPECT_EQ(IsInstallDisc(kVolume0, false), c.loose);
        EXPECT_EQ(HasDiagnostics(kVolume0), c.diagnostics);
    }

    // Paths that name no volume are no install discs.
    EXPECT_FALSE(IsInstallDisc(nullptr, false));
    EXPECT_FALSE(IsInstallDisc("pfs:\\\\.\\CdRom0#9", false));
    ASSERT_EQ(DeviceUnbind(kDrive1), kStatusOK);
    EXPECT_FALSE(IsInstallDisc(kVolume1, false));
    EXPECT_FALSE(HasDiagnostics(nullptr));
}

// ---- Installation ---------------------------------------------------------------

TEST_F(BootSourceTest, InstallationMakesTheEntryAndThreeExactEntries) {
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    const BootImageEntry* entry = NewestBootImageEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->next, nullptr);
    EXPECT_STREQ(entry->volumePath, kVolume0);
    EXPECT_STREQ(entry->volumeName, "Orvane Install");
    EXPECT_STREQ(entry->imageName, "CdRom0");
    EXPECT_STREQ(entry->bootFileName, "1/booter");
    EXPECT_EQ(entry->imageID, 0x81000001u);
    EXPECT_EQ(entry->priority, 32766);

    // Newest first: the reverse of the order they were added in.
    const char* names[] = {"1/mach.orvane.mkext", "1/mach.orvane", "1/booter"};
    const char* targets[] = {"pfs:\\\\.\\CdRom0#2/System/Library/Extensions.mkext",
                             "pfs:\\\\.\\CdRom0#2/mach_kernel",
                             "pfs:\\\\.\\CdRom0#2/usr/standalone/i386/boot.efi"};
    const BootFileMapEntry* map = FirstBootFileMapEntry();
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(map, nullptr);
        EXPECT_FALSE(map->isFolder);
        EXPECT_STREQ(map->name, names[i]);
        EXPECT_STREQ(map->target, targets[i]);
        EXPECT_EQ(map->prefix, nullptr);
        map = map->next;
    }
    EXPECT_EQ(map, nullptr);
}

TEST_F(BootSourceTest, BootFilesOpenWithTheirSizesAndBytes) {
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(ReadBootFile("1/booter", &bytes), kStatusOK);
    EXPECT_TRUE(bytes == Pattern(full_.booter, kBooterSize));
    ASSERT_EQ(ReadBootFile("1/mach.orvane", &bytes), kStatusOK);
    EXPECT_TRUE(bytes == Pattern(full_.kernel, kKernelSize));
    ASSERT_EQ(ReadBootFile("1/mach.orvane.mkext", &bytes), kStatusOK);
    EXPECT_TRUE(bytes == Pattern(full_.extensions, kExtensionsSize));

    // Names match exactly: case, slashes and the diagnostics names count.
    for (const char* name : {"1/Booter", "/1/booter", "1/booter ", "booter", "", "x.efi",
                             "1/mach.orvane.mkext/", "../mach_kernel"}) {
        VolumeFile* file = nullptr;
        uint64_t size = 7;
        EXPECT_EQ(OpenBootFile(name, &file, &size), kStatusNotFound) << name;
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(size, 7u);
    }
    EXPECT_EQ(OpenBootFile(nullptr, nullptr, nullptr), kStatusBadParameter);
}

TEST_F(BootSourceTest, DiscWithoutKernelIsAdvertisedWithNoBootFiles) {
    BindFlawed(Flaw::kNoKernel);
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    const BootImageEntry* entry = NewestBootImageEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->volumeName, "Flawed");
    EXPECT_EQ(entry->imageID, 0x81000001u);
    EXPECT_STREQ(entry->bootFileName, "");
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr);
    VolumeFile* file = nullptr;
    uint64_t size = 0;
    EXPECT_EQ(OpenBootFile("1/booter", &file, &size), kStatusNotFound);

    // Preparation uses the loose check: System/Installation is not needed.
    BindFlawed(Flaw::kNoInstallationFolder);
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    EXPECT_EQ(MapLength(), 3u);
}

TEST_F(BootSourceTest, NewerDiscWinsForTheSameNames) {
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    ASSERT_EQ(PrepareBootSource(kVolume1, false), kStatusOK);
    const BootImageEntry* entry = NewestBootImageEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->imageName, "CdRom1");
    EXPECT_STREQ(entry->volumeName, "Second Disc");
    ASSERT_NE(entry->next, nullptr);
    EXPECT_STREQ(entry->next->imageName, "CdRom0");
    EXPECT_EQ(MapLength(), 6u);

    std::vector<uint8_t> bytes;
    ASSERT_EQ(ReadBootFile("1/mach.orvane", &bytes), kStatusOK);
    EXPECT_TRUE(bytes == Pattern(second_.kernel, kKernelSize));

    FreeBootImageEntries();
    EXPECT_EQ(NewestBootImageEntry(), nullptr);
    EXPECT_EQ(MapLength(), 6u) << "the map is emptied separately";
    EmptyBootFileMap();
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr);
    EXPECT_EQ(ReadBootFile("1/booter", &bytes), kStatusNotFound);
}

// ---- Diagnostics ----------------------------------------------------------------

TEST_F(BootSourceTest, DiagnosticsFolderServesItsFilesAndNothingOutside) {
    ASSERT_EQ(PrepareBootSource(kVolume0, true), kStatusOK);
    const BootImageEntry* entry = NewestBootImageEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->imageID, 0x03000001u);
    EXPECT_STREQ(entry->bootFileName, "1/booter");

    const BootFileMapEntry* folder = FirstBootFileMapEntry();
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->isFolder);
    EXPECT_EQ(folder->name, nullptr);
    EXPECT_STREQ(folder->prefix, "/System/Library/CoreServices/.diagnostics");
    EXPECT_STREQ(folder->target, "pfs:\\\\.\\CdRom0#2/System/Library/CoreServices/.diagnostics/");
    const BootFileMapEntry* booter = folder->next;
    ASSERT_NE(booter, nullptr);
    EXPECT_FALSE(booter->isFolder);
    EXPECT_STREQ(booter->name, "1/booter");
    EXPECT_STREQ(booter->target,
                 "pfs:\\\\.\\CdRom0#2/System/Library/CoreServices/.diagnostics/diags.efi");
    EXPECT_EQ(booter->next, nullptr);

    std::vector<uint8_t> bytes;
    ASSERT_EQ(ReadBootFile("1/booter", &bytes), kStatusOK);
    EXPECT_TRUE(bytes == Pattern(full_.diags, kDiagsSize));

    const std::string tool = "x tool";
    for (const char* name : {"x.efi", "/x.efi", "/System/Library/CoreServices/.diagnostics/x.efi",
                             "X.EFI", "sub/../x.efi"}) {
        ASSERT_EQ(ReadBootFile(name, &bytes), kStatusOK) << name;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), tool) << name;
    }
    ASSERT_EQ(ReadBootFile("sub/y.efi", &bytes), kStatusOK);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "y tool");

    // ".." that leaves the folder, the folder itself, a subfolder, missing
    // files and the installation names are all refused.
    for (const char* name :
         {"../mach_kernel", "../../../../mach_kernel", "/../mach_kernel",
          "/System/Library/CoreServices/.diagnostics/../../../../mach_kernel",
          "sub/../../SystemVersion.plist", "", "/", "missing.efi", "1/mach.orvane",
          "1/mach.orvane.mkext"}) {
        EXPECT_EQ(ReadBootFile(name, &bytes), kStatusNotFound) << name;
    }
    // A folder inside passes the guard; opening it fails with the volume's
    // status.
    QxStatus status = ReadBootFile("sub", &bytes);
    EXPECT_NE(status, kStatusOK);
    EXPECT_NE(status, kStatusNotFound);
}

TEST_F(BootSourceTest, DiagnosticsNeedsItsBooter) {
    BindFlawed(Flaw::kNoDiagnostics);
    EXPECT_EQ(PrepareBootSource(kVolume0, true), kStatusBadParameter);
    EXPECT_EQ(NewestBootImageEntry(), nullptr);
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr);
    // The same disc prepares for installation.
    EXPECT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
}

// ---- Bad paths and failures -----------------------------------------------------

TEST_F(BootSourceTest, PathsThatCannotBePrepared) {
    EXPECT_EQ(PrepareBootSource(nullptr, false), kStatusBadParameter);
    EXPECT_EQ(PrepareBootSource("/tmp/not-a-volume", false), kStatusUnexpectedType);
    EXPECT_EQ(PrepareBootSource("pfs:\\\\.\\CdRom0#7", false), kStatusNotFound);
    // Resolving looks at the partition only; the copy needs the whole path
    // to fit in 260 characters.
    std::string longPath = std::string(kVolume0) + "/" + std::string(250, 'a');
    EXPECT_EQ(PrepareBootSource(longPath.c_str(), false), kStatusBadPath);
    std::string justFits = std::string(kVolume0) + "/" + std::string(260 - 17, 'a');
    ASSERT_EQ(justFits.size(), 260u);
    // It fits, but no target joined to it does.
    EXPECT_EQ(PrepareBootSource(justFits.c_str(), false), kStatusOK);
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr) << "the checks fail on such a path";
    EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(BootSourceTest, RegistersTheDiscWithTheHttpService) {
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    ASSERT_EQ(DiscShareStart(), kStatusOK);
    uint16_t port = static_cast<uint16_t>(DiscSharePort());
    ASSERT_NE(port, 0);

    // A HEAD of the image over a plain socket; the reply comes while the
    // loop runs.
    auto head = [port](const std::string& path) {
        QxSocketHandle client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = testsupport::Loopback(port);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request = "HEAD " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
        testsupport::Send(client, request.data(), static_cast<int>(request.size()));
        QxPlatformSocketSetNonBlocking(client);
        std::string reply;
        double deadline = QxRunLoopNow() + 10;
        while (reply.find("\r\n\r\n") == std::string::npos && QxRunLoopNow() < deadline) {
            testsupport::RunFor(0.01);
            char buffer[512];
            int count = testsupport::Receive(client, buffer, sizeof buffer);
            if (count > 0) reply.append(buffer, static_cast<size_t>(count));
        }
        QxPlatformSocketClose(client);
        return reply.substr(0, reply.find("\r\n"));
    };
    EXPECT_EQ(head("/CdRom0.dmg"), "HTTP/1.1 200 OK");
    EXPECT_EQ(head("/CdRom1.dmg"), "HTTP/1.1 404 Not Found");
}

TEST_F(BootSourceTest, AllocationFailuresLeaveConsistentLists) {
    // Fail each allocation in turn until preparation gets through. A failed
    // preparation adds no image entry; map entries it made stay.
    bool succeeded = false;
    for (int64_t countdown = 1; countdown < 500 && !succeeded; ++countdown) {
        EmptyBootFileMap();
        QxLFailAllocationAfter(countdown);
        QxStatus status = PrepareBootSource(kVolume0, true);
        bool failed = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (status == kStatusOK) {
            EXPECT_EQ(EntryCount(), 1u);
            succeeded = !failed;
            if (!succeeded) FreeBootImageEntries();
            continue;
        }
        EXPECT_TRUE(failed) << "status " << status << " without an injected failure";
        EXPECT_EQ(EntryCount(), 0u);
        EXPECT_LE(MapLength(), 2u);
    }
    ASSERT_TRUE(succeeded);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(ReadBootFile("x.efi", &bytes), kStatusOK);
}

}  // namespace
