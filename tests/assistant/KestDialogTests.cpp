// The wizard's logic against a recording view and the real services on
// loopback: the pages a user walks, a client booting with curl (TFTP and
// the installer's posted messages over HTTP), a disc swap through the image
// list, the eject that fails, and quitting.
//
// The view records what the window would show. Its modal dialogs pump the
// run loop until they are ended, as a modal loop dispatches the run loop's
// messages, so events and timers arrive inside them as in the program.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "BootSource.h"
#include "BSDPServer.h"
#include "DeviceBinding.h"
#include "DiscShare.h"
#include "HFSImageWriter.h"
#include "KestDialog.h"
#include "KestDiscImages.h"
#include "KestKeepAwake.h"
#include "KestResourceIds.h"
#include "NetBootControl.h"
#include "QxLBuild.h"
#include "TFTPServer.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildFolder;
using testsupport::ChildResult;
using testsupport::RunFor;

constexpr double kWait = 30.0;

// Texts are their ids, so every assertion names the string it expects.
std::string Id(int id) { return "[" + std::to_string(id) + "]"; }
std::string Id(int id, const std::string& argument) {
    return "[" + std::to_string(id) + ":" + argument + "]";
}

class RecordingView : public KestView {
public:
    KestDialog* dialog = nullptr;
    std::map<int, std::string> texts;
    std::set<int> hidden, disabled;
    std::map<int, bool> checks;
    std::map<int, std::string> pictures;
    bool marquee = false;
    int position = -1;
    std::vector<std::string> list;
    int selection = -1;
    int page = -1;
    bool altDown = false;
    int wizardResult = 0;
    std::vector<std::string> notices, questions;
    bool answerYes = false;
    std::vector<KestWaitTexts> waitDialogs;  // empty title: the template's texts
    bool waitEndsAtOnce = false;             // the user presses OK at once
    int selectionChecks = 0;

    std::string loadString(int id) override {
        if (id == IDS_KEST_IMAGE_NAME_FORMAT) return "%1$@ (%2$@)";
        if (id == IDS_KEST_RESTART_PICTURE) return KEST_PNG_RESTART;
        return Id(id);
    }
    std::string formatText(int id, const std::string& text) override { return Id(id, text); }
    std::string formatNumber(int id, int32_t number) override {
        return Id(id, std::to_string(number));
    }
    std::string pageCaption(int index) override { return "page " + std::to_string(index); }
    void setItemText(int id, const std::string& text) override { texts[id] = text; }
    void showItem(int id, bool show) override { show ? (void)hidden.erase(id) : (void)hidden.insert(id); }
    void enableItem(int id, bool enable) override {
        enable ? (void)disabled.erase(id) : (void)disabled.insert(id);
    }
    bool isChecked(int id) override { return checks.count(id) != 0 && checks[id]; }
    void setChecked(int id, bool checked) override { checks[id] = checked; }
    void setPicture(int id, const std::string& name) override { pictures[id] = name; }
    void setMarquee(bool on) override { marquee = on; }
    void setPercentRange() override {}
    void setPosition(int n) override { position = n; }
    void listDeleteAll() override {
        list.clear();
        selection = -1;
    }
    int listAppend(const std::string& name) override {
        list.push_back(name);
        return static_cast<int>(list.size()) - 1;
    }
    void listSelect(int index) override { selection = index; }
    int listCount() override { return static_cast<int>(list.size()); }
    int listSelection() override { return selection; }
    void selectPage(int index) override { page = index; }
    void redrawNow() override {}
    void beginWaitCursor() override {}
    void endWaitCursor() override {}
    bool isAltKeyDown() override { return altDown; }
    void endWizard(int result) override { wizardResult = result; }
    void showNotice(const std::string& text) override { notices.push_back(text); }
    bool askYesNo(const std::string& text) override {
        questions.push_back(text);
        return answerYes;
    }
    int runWaitDialog(const KestWaitTexts& waitTexts) override {
        waitDialogs.push_back(waitTexts);
        waitEnded_ = waitEndsAtOnce;
        RunFor(kWait, &waitEnded_);
        EXPECT_TRUE(waitEnded_) << "the wait dialog was never ended";
        waitEnded_ = false;
        return kKestResultOK;
    }
    void endWaitDialog(int) override { waitEnded_ = true; }
    bool postEject(QxLObjectRef event) override {
        // The message queue: handled once the sink has returned.
        QxRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
        QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow(), 0, &context, OnPosted);
        if (timer == nullptr) return false;
        posted_.push_back(event);
        QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
        QxLObjectRelease(timer);
        return true;
    }
    bool postSelectionCheck() override {
        ++selectionChecks;
        return true;
    }
    void announceVolumeArrival() override {
        dialog->onDeviceChange(kKestDeviceArrival, kKestDeviceTypeVolume);
    }
    bool isHidden(int id) const { return hidden.count(id) != 0; }

private:
    static void OnPosted(QxRunLoopTimerRef timer, void* info) {
        QxRunLoopTimerInvalidate(timer);
        auto* view = static_cast<RecordingView*>(info);
        if (view->posted_.empty()) return;
        QxLObjectRef event = view->posted_.front();
        view->posted_.erase(view->posted_.begin());
        view->dialog->handleEject(event);
    }
    volatile bool waitEnded_ = false;
    std::vector<QxLObjectRef> posted_;
};

ChildFolder MakeFolder() {
    std::string name = "tamsor-wizard-" + std::to_string(testsupport::ProcessNumber()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    ChildFolder folder{(fs::temp_directory_path() / name).string(), ""};
    folder.child = folder.host;
#if defined(_WIN32)
    if (testsupport::UnderWine()) {
        folder.host = "Z:\\tmp\\" + name;
        folder.child = "/tmp/" + name;
    }
#endif
    fs::create_directories(folder.host);
    return folder;
}

// An install disc (with the hardware test when asked), or a volume that is
// no install disc.
void WriteDisc(const std::string& path, const std::string& name, bool install, bool diags) {
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume(name);
    if (install) {
        volume.MakeFolders("System/Installation/Packages");
        volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi", 20000);
        volume.AddPatternFile(kHFSImageRootID, "mach_kernel", 30000);
        volume.AddPatternFile(volume.MakeFolders("System/Library"), "Extensions.mkext", 10000);
        volume.AddFile(volume.MakeFolders("System/Library/CoreServices"), "SystemVersion.plist",
                       "<plist version=\"1.0\"/>\n");
        if (diags) {
            volume.AddPatternFile(volume.MakeFolders("System/Library/CoreServices/.diagnostics"),
                                  "diags.efi", 5000);
        }
    } else {
        volume.AddFile(kHFSImageRootID, "Read Me", "second disc\n");
    }
    std::string error;
    ASSERT_EQ(WriteDiscImage(disc, path, nullptr, &error), kStatusOK) << error;
}

class KestDialogTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        folder_ = new ChildFolder(MakeFolder());
        WriteDisc(folder_->Host("install.img"), "Orvane Install", true, true);
        WriteDisc(folder_->Host("plain.img"), "Orvane Install Plain", true, false);
        WriteDisc(folder_->Host("second.img"), "Orvane Disc 2", false, false);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_->host, ignored);
        delete folder_;
    }
    void SetUp() override {
        RunLoopTest::SetUp();
        NetBootResetPhaseForTesting();
        SetNetBootBsdpPort(0);
        view_.dialog = &dialog_;
        for (int page = 0; page < KEST_PAGE_COUNT; ++page) dialog_.initialisePage(page);
    }
    void TearDown() override {
        StopNetBootServices();
        SetNetBootEventSink(nullptr, nullptr);
        SetNetBootBsdpPort(kBsdpPort);
        SetBootImageNameFormat(nullptr);
        images_.stop();
        DeviceUnbindAll();
        RunLoopTest::TearDown();
    }

    void UseImages(std::vector<std::string> names) {
        std::vector<std::string> paths;
        for (const std::string& name : names) paths.push_back(folder_->Host(name));
        images_.setImages(paths);
        ASSERT_EQ(images_.start(&view_), kStatusOK);
    }

    // Continue until the page is reached; false if the wizard stops short.
    bool ContinueTo(int page) {
        for (int step = 0; step < KEST_PAGE_COUNT && dialog_.currentPage() != page; ++step) {
            dialog_.onContinue();
        }
        return dialog_.currentPage() == page;
    }

    ChildResult Curl(const std::vector<std::string>& arguments) {
        std::vector<std::string> command = {"/usr/bin/curl", "-s", "-S", "--max-time", "15"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return testsupport::RunChildProgram(*folder_, command, kWait);
    }

    void Tftp(const std::string& name) {
        ChildResult result = Curl({"-o", folder_->Child("tftp.out"),
                                   "tftp://127.0.0.1:" + std::to_string(TftpPort()) + "/" + name});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }

    // Posts a message as the client's installer does; the builder format and
    // its arguments make the dictionary.
    template <typename... Arguments>
    void Post(const char* format, Arguments... arguments) {
        QxLObjectRef message = nullptr;
        ASSERT_EQ(QxLBuild(&message, format, arguments...), kStatusOK);
        ASSERT_TRUE(testsupport::WriteFile(folder_->Host("post.plist"),
                                           testsupport::PropertyListText(message)));
        QxLObjectRelease(message);
        ChildResult result =
            Curl({"-o", "/dev/null", "-w", "%{http_code}", "-H", "Content-Type: text/xml",
                  "--data-binary", "@" + folder_->Child("post.plist"),
                  "http://127.0.0.1:" + std::to_string(DiscSharePort()) + "/"});
        ASSERT_EQ(result.out, "200") << result.err;
        RunFor(0.05);
    }

    static ChildFolder* folder_;
    RecordingView view_;
    KestDiscImages images_;
    KestDialog dialog_{view_, &images_};
};

ChildFolder* KestDialogTest::folder_ = nullptr;

// A user with no disc at first: the wait dialog comes at once; OK without a
// disc and Continue refuse; then the image arrives and the pages follow the
// tables both ways, with the hardware test offered only after Alt.
TEST_F(KestDialogTest, PagesFollowTheUserBothWays) {
    dialog_.initialise();
    EXPECT_EQ(view_.page, 0);
    EXPECT_TRUE(view_.isHidden(IDC_KEST_GO_BACK));
    EXPECT_EQ(view_.texts[IDC_INTRO_TEXT], Id(IDS_KEST_INTRO));
    EXPECT_EQ(view_.pictures[IDC_RESTART_PICTURE], KEST_PNG_RESTART);

    view_.waitEndsAtOnce = true;
    dialog_.onContinue();
    ASSERT_EQ(view_.waitDialogs.size(), 1u);
    EXPECT_FALSE(view_.waitDialogs[0].hasCustomText);
    dialog_.onContinue();
    ASSERT_EQ(view_.notices.size(), 1u);
    EXPECT_EQ(view_.notices[0], Id(IDS_KEST_SHARE_FAILED, "-6762"));
    EXPECT_EQ(dialog_.currentPage(), 1);

    // The disc with the test arrives: listed and selected, but without Alt
    // the check box stays hidden.
    UseImages({"install.img"});
    view_.announceVolumeArrival();
    ASSERT_EQ(view_.list, std::vector<std::string>{"Orvane Install"});
    EXPECT_EQ(view_.selection, 0);
    EXPECT_TRUE(view_.isHidden(IDC_DISK_USE_DIAGS));

    // A click on empty space: one check is queued, and it restores.
    view_.selection = -1;
    dialog_.onDiscListItemChanged();
    dialog_.onDiscListItemChanged();
    EXPECT_EQ(view_.selectionChecks, 1);
    EXPECT_TRUE(dialog_.selectionCheckPosted());
    dialog_.onCheckSelection();
    EXPECT_EQ(view_.selection, 0);
    EXPECT_FALSE(dialog_.selectionCheckPosted());

    dialog_.onGoBack();
    view_.altDown = true;
    dialog_.onContinue();
    view_.altDown = false;
    EXPECT_TRUE(dialog_.diagsOptionUnlocked());
    EXPECT_FALSE(view_.isHidden(IDC_DISK_USE_DIAGS));
    EXPECT_FALSE(view_.isHidden(IDC_DISK_DIAGS_NOTE));

    // Ethernet: 3 -> 5 -> back to 3. Wavlo: 3 -> 4 -> 5 -> back to 4.
    view_.checks[IDC_CONNECTION_WAVLO] = false;
    ASSERT_TRUE(ContinueTo(kKestPageChooseStartupDisk));
    EXPECT_GT(TftpPort(), 0u) << "sharing starts on the way to page 2";
    dialog_.onGoBack();
    EXPECT_EQ(dialog_.currentPage(), kKestPageRestart);
    view_.checks[IDC_CONNECTION_WAVLO] = true;
    dialog_.onContinue();
    EXPECT_EQ(dialog_.currentPage(), kKestPageChooseWavlo);
    dialog_.onContinue();
    dialog_.onGoBack();
    EXPECT_EQ(dialog_.currentPage(), kKestPageChooseWavlo);
    ASSERT_TRUE(ContinueTo(kKestPageInstall));
    EXPECT_EQ(view_.texts[IDC_KEST_CONTINUE], Id(IDS_KEST_QUIT));
    EXPECT_EQ(view_.texts[IDC_KEST_TITLE], "page 7");
    dialog_.onGoBack();
    EXPECT_EQ(view_.texts[IDC_KEST_CONTINUE], Id(IDS_KEST_CONTINUE));

    // Back on page 1 with the box checked, a rebuild that finds no disc with
    // the test hides it and forgets the choice.
    while (dialog_.currentPage() > kKestPageChooseDisk) dialog_.onGoBack();
    view_.checks[IDC_DISK_USE_DIAGS] = true;
    DeviceBindImage(kKestImageDevice, folder_->Host("plain.img").c_str(), 0);
    dialog_.onDeviceChange(kKestDeviceRemoveComplete, kKestDeviceTypeVolume);
    EXPECT_TRUE(view_.isHidden(IDC_DISK_USE_DIAGS));
    EXPECT_FALSE(view_.isChecked(IDC_DISK_USE_DIAGS));
    EXPECT_FALSE(dialog_.useHardwareTest());
    dialog_.onDeviceChange(kKestDeviceArrival, 3);  // not a volume: nothing
    EXPECT_EQ(view_.list.size(), 1u);
}

// A client's whole installation: boot by TFTP, the installer's messages, a
// second disc asked for and swapped in from the image list, success, quit.
TEST_F(KestDialogTest, ClientInstallsAcrossTwoDiscs) {
    if (!testsupport::HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is needed";
    UseImages({"install.img", "second.img"});
    dialog_.initialise();
    ASSERT_TRUE(ContinueTo(kKestPageChooseStartupDisk));
    ASSERT_NE(DiscSharePort(), 0u);

    // A failed transfer changes nothing; the first whole one boots.
    QxLObjectRef failed = nullptr;
    ASSERT_EQ(QxLBuild(&failed, "{%kO=%O%kO=%i}", kNetBootKeyMessage, kNetBootEventTFTPClose,
                       kNetBootKeyReason, -6722),
              kStatusOK);
    KestDialog::handleEvent(failed, &dialog_);
    QxLObjectRelease(failed);
    EXPECT_EQ(dialog_.currentPage(), kKestPageChooseStartupDisk);
    EXPECT_FALSE(dialog_.clientConnected());

    Tftp("1/booter");
    // curl is done before the server has taken its last acknowledgement.
    for (int i = 0; i < 1000 && !dialog_.clientConnected(); ++i) RunFor(0.01);
    EXPECT_EQ(dialog_.currentPage(), kKestPageInstall);
    EXPECT_TRUE(dialog_.clientConnected());
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_WAIT_STARTUP));
    EXPECT_TRUE(view_.disabled.count(IDC_KEST_GO_BACK));
    Tftp("1/mach.orvane");  // a later transfer changes nothing
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_WAIT_STARTUP));

    Post("{%kO=%s}", kNetBootKeyMessage, "Started");
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_WAIT_INSTALLER));
    EXPECT_TRUE(view_.marquee);
    Post("{%kO=%s%kO=%i%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyPercentage, 150,
         kNetBootKeyStatus, "Copying", kNetBootKeyRemaining, "About 5 minutes");
    EXPECT_EQ(view_.position, 100);
    EXPECT_FALSE(view_.marquee);
    Post("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyRemaining, "1 minute");
    EXPECT_EQ(view_.position, 100);
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], "Copying");
    EXPECT_EQ(view_.texts[IDC_INSTALL_REMAINING], "1 minute");
    Post("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyPercentage, "37");
    EXPECT_EQ(view_.position, 37);

    // Quitting now asks; No keeps everything running.
    dialog_.onContinue();
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.questions[0], Id(IDS_KEST_CONFIRM_QUIT));
    EXPECT_EQ(view_.wizardResult, 0);
    EXPECT_NE(DiscSharePort(), 0u);

    // "Eject": the image goes, the wait dialog asks for the disc, and the
    // next image, three seconds later, ends it and is prepared.
    auto started = std::chrono::steady_clock::now();
    Post("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject", kNetBootKeyNextDisc, "Orvane Disc 2");
    for (int i = 0; i < 1000 && view_.waitDialogs.empty(); ++i) RunFor(0.01);
    ASSERT_EQ(view_.waitDialogs.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    EXPECT_EQ(view_.waitDialogs[0].titleText, Id(IDS_KEST_INSERT_DISC_TITLE, "Orvane Disc 2"));
    EXPECT_EQ(view_.waitDialogs[0].bodyText, Id(IDS_KEST_INSERT_DISC_BODY));
    EXPECT_FALSE(view_.waitDialogs[0].enlarge);
    EXPECT_FALSE(dialog_.awaitingNextDisc());
    EXPECT_EQ(view_.list, std::vector<std::string>{"Orvane Disc 2"});
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_WAIT_INSTALLER));
    ASSERT_NE(NewestBootImageEntry(), nullptr);
    EXPECT_STREQ(NewestBootImageEntry()->volumeName, "Orvane Disc 2");

    Post("{%kO=%s}", kNetBootKeyMessage, "Success");
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_INSTALL_SUCCEEDED));
    EXPECT_EQ(view_.texts[IDC_INSTALL_REMAINING], Id(IDS_KEST_MAY_QUIT));
    EXPECT_EQ(view_.position, 100);
    dialog_.onContinue();
    EXPECT_EQ(view_.questions.size(), 1u) << "no question after success";
    EXPECT_EQ(view_.wizardResult, kKestResultCancel);
    EXPECT_EQ(DiscSharePort(), 0u);
}

// The hardware test with a drive that cannot be ejected: the client boots
// into page 6, the enlarged dialog asks to eject by hand, and any volume
// that then appears is taken. Events without a usable "Message" are ignored.
TEST_F(KestDialogTest, HardwareTestAndAFailedEject) {
    UseImages({"install.img"});
    dialog_.initialise();
    view_.altDown = true;
    dialog_.onContinue();
    view_.altDown = false;
    view_.checks[IDC_DISK_USE_DIAGS] = true;
    ASSERT_TRUE(ContinueTo(kKestPageChooseStartupDisk));
    EXPECT_TRUE(dialog_.useHardwareTest());
    ASSERT_NE(NewestBootImageEntry(), nullptr);
    EXPECT_EQ(NewestBootImageEntry()->imageID, kBootImageIDDiagnostics);

    QxLObjectRef odd = nullptr;
    ASSERT_EQ(QxLBuild(&odd, "{%kO=%i}", kNetBootKeyMessage, 5), kStatusOK);
    EXPECT_EQ(KestDialog::handleEvent(odd, &dialog_), kStatusOK);
    KestDialog::handleEvent(nullptr, &dialog_);
    QxLObjectRelease(odd);
    EXPECT_EQ(dialog_.currentPage(), kKestPageChooseStartupDisk);

    QxLObjectRef booted = nullptr;
    ASSERT_EQ(QxLBuild(&booted, "{%kO=%O%kO=%i}", kNetBootKeyMessage, kNetBootEventTFTPClose,
                       kNetBootKeyReason, 0),
              kStatusOK);
    KestDialog::handleEvent(booted, &dialog_);
    QxLObjectRelease(booted);
    EXPECT_EQ(dialog_.currentPage(), kKestPageDiags);
    EXPECT_EQ(view_.texts[IDC_KEST_CONTINUE], Id(IDS_KEST_QUIT));

    QxLObjectRef failure = nullptr;
    ASSERT_EQ(QxLBuild(&failure, "{%kO=%O}", kNetBootKeyMessage, kNetBootEventFailure), kStatusOK);
    KestDialog::handleEvent(failure, &dialog_);
    QxLObjectRelease(failure);
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_INSTALL_FAILED));
    EXPECT_EQ(view_.texts[IDC_INSTALL_REMAINING], Id(IDS_KEST_SEE_INSTALLER));
    EXPECT_EQ(view_.position, 0);
    EXPECT_FALSE(dialog_.clientConnected());

    // The drive itself then fails to eject: its image is gone from under the
    // wizard, so the eject reaches a drive that is not there.
    images_.stop();
    QxLObjectRef eject = nullptr;
    ASSERT_EQ(QxLBuild(&eject, "{%kO=%O%kO=%s}", kNetBootKeyMessage, kNetBootEventEject,
                       kNetBootKeyNextDisc, "Orvane Install"),
              kStatusOK);
    KestDialog::handleEvent(eject, &dialog_);
    KestDialog::handleEvent(eject, &dialog_);  // a second one while waiting: nothing
    QxLObjectRelease(eject);
    // A person swaps the disc while the dialog is up; the system announces it.
    struct Swap {
        ChildFolder* folder;
        RecordingView* view;
    } swap{folder_, &view_};
    QxRunLoopTimerContext context{0, &swap, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef insert = QxRunLoopTimerCreate(
        QxRunLoopNow() + 0.3, 0, &context, [](QxRunLoopTimerRef timer, void* info) {
            QxRunLoopTimerInvalidate(timer);
            auto* swap = static_cast<Swap*>(info);
            DeviceBindImage(kKestImageDevice, swap->folder->Host("install.img").c_str(), 0);
            swap->view->announceVolumeArrival();
        });
    QxRunLoopAddTimer(QxRunLoopGetMain(), insert);
    QxLObjectRelease(insert);
    for (int i = 0; i < 300 && view_.waitDialogs.empty(); ++i) RunFor(0.01);

    ASSERT_EQ(view_.waitDialogs.size(), 1u);
    EXPECT_EQ(view_.waitDialogs[0].titleText, Id(IDS_KEST_EJECT_FAILED_TITLE));
    EXPECT_EQ(view_.waitDialogs[0].bodyText, Id(IDS_KEST_EJECT_FAILED_BODY, "Orvane Install"));
    EXPECT_TRUE(view_.waitDialogs[0].enlarge);
    EXPECT_EQ(view_.list, std::vector<std::string>{"Orvane Install"});
    EXPECT_FALSE(dialog_.awaitingNextDisc());
    EXPECT_EQ(view_.texts[IDC_INSTALL_STATUS], Id(IDS_KEST_WAIT_INSTALLER));
    ASSERT_NE(NewestBootImageEntry(), nullptr);
    EXPECT_EQ(NewestBootImageEntry()->imageID, kBootImageIDDiagnostics);
}

// The keep-awake timer keeps the computer awake only while a client is
// connected to the disc image service.
TEST_F(KestDialogTest, KeepAwakeOnlyWhileAClientReads) {
    static int calls = 0;
    calls = 0;
    KestKeepAwake keepAwake;
    keepAwake.setKeepAwakeFunction([] { ++calls; });
    ASSERT_EQ(keepAwake.start(), kStatusOK);
    UseImages({"install.img"});
    dialog_.initialise();
    ASSERT_TRUE(ContinueTo(kKestPageChooseConnection));
    EXPECT_FALSE(keepAwake.fire());

    QxSocketHandle client = testsupport::NewStreamSocket();
    testsupport::StartConnect(client, static_cast<uint16_t>(DiscSharePort()));
    for (int i = 0; i < 500 && !DiscShareHasConnections(); ++i) RunFor(0.01);
    EXPECT_TRUE(keepAwake.fire());
    EXPECT_EQ(calls, 1);
    QxPlatformSocketClose(client);
    for (int i = 0; i < 500 && DiscShareHasConnections(); ++i) RunFor(0.01);
    EXPECT_FALSE(keepAwake.fire());
    EXPECT_EQ(calls, 1);
    keepAwake.stop();
}

// A drive still spinning up when the disc page opens: plain reads fail and
// READ(10) answers "becoming ready" for the first two tries. The wait
// dialog comes up (the run loop keeps running in it), the drives are read
// again from a timer, and the dialog closes by itself once the disc is
// listed.
int gSpinUpAnswers = 0;
QxStatus SpinningPlainRead(BlockDevice* device, uint64_t offset, uint32_t count, void* buffer,
                           uint32_t* bytesRead) {
    if (gSpinUpAnswers > 0) return 5;
    return BlockDeviceDefaultIO()->plainRead(device, offset, count, buffer, bytesRead);
}
QxStatus SpinningPassThrough(BlockDevice*, uint32_t, uint32_t, void*) {
    if (gSpinUpAnswers == 0) return kStatusUnsupported;
    --gSpinUpAnswers;
    return kStatusBusy;
}
const BlockDeviceIO kSpinningIO = {SpinningPlainRead, SpinningPassThrough};

TEST_F(KestDialogTest, ADiscSpinningUpIsListedOnceReady) {
    DeviceBindImage(kKestImageDevice, folder_->Host("install.img").c_str(), 0);
    BlockDeviceSetIO(&kSpinningIO);
    gSpinUpAnswers = 2;
    dialog_.initialise();
    double opened = QxRunLoopNow();
    dialog_.onContinue();
    BlockDeviceSetIO(nullptr);
    EXPECT_EQ(view_.waitDialogs.size(), 1u);
    EXPECT_EQ(gSpinUpAnswers, 0);
    EXPECT_GE(QxRunLoopNow() - opened, 2 * kKestSettleInterval - 0.5);
    EXPECT_EQ(view_.list, std::vector<std::string>{"Orvane Install"});
    EXPECT_EQ(dialog_.currentPage(), kKestPageChooseDisk);
}

}  // namespace
