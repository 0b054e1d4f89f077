// The wizard's logic, independent of the window system: the controller
// that lists the install discs, starts the network boot services for the
// chosen one and turns their events into wizard state, and the page rules
// (which page follows which, what each page shows, the disc list's
// selection). A front end owns the windows, implements KestView and calls
// the operations below from its window messages.
//
// Pages, in order of the wizard:
//
//   index  page                      Continue goes to       Go Back goes to
//   0      introduction              1 (Alt held: unlock)   -
//   1      choose the install disc   2 (starts sharing)     0
//   2      choose the connection     3                      1
//   3      restart the client        4 Wavlo / 5 Ethernet   2
//   4      choose the Wavlo network  5                      3
//   5      choose the startup disk   6 hardware test / 7    4 Wavlo / 3
//   6      hardware test             quit                   5
//   7      install                   quit                   5
//
// States of a run: choosing (pages 0-1) -> sharing (startSharing
// succeeded) -> client booted (first "TFTPClose" with Reason 0; quitting
// asks) -> waiting for a disc ("Eject") -> client booted ... -> finished
// ("Success" / "Failure").
//
// Everything runs on the one GUI thread, which is also the run-loop thread:
// events arrive from run-loop callbacks, also inside modal dialogs, which is
// why "Eject" (which opens one) is deferred through the message queue.
// Not here: windows, resources, pictures (the front end), the services
// themselves (netboot/).
#pragma once

#include <cstdint>
#include <string>

#include "KestView.h"
#include "QxLObject.h"
#include "QxLStatus.h"

class KestDiscImages;

// Keys of a disc entry {"name", "path", "hasDiags"}.
QXL_DEFINE_CONSTANT_STRING(kKestDiscKeyName, "name");
QXL_DEFINE_CONSTANT_STRING(kKestDiscKeyPath, "path");
QXL_DEFINE_CONSTANT_STRING(kKestDiscKeyHasDiags, "hasDiags");

// The file whose presence offers the hardware test, from the volume root.
inline constexpr const char* kKestDiagsFile = "System/Library/CoreServices/.diagnostics/diags.efi";

// Device-change kinds and the volume device type, with the system's values.
inline constexpr uint32_t kKestDeviceArrival = 0x8000;
inline constexpr uint32_t kKestDeviceRemoveComplete = 0x8004;
inline constexpr uint32_t kKestDeviceTypeVolume = 2;

// Results of the wizard's modal run and of the wait-for-disc dialog.
inline constexpr int kKestResultOK = 1;
inline constexpr int kKestResultCancel = 2;

inline constexpr int kKestPageIntro = 0;
inline constexpr int kKestPageChooseDisk = 1;
inline constexpr int kKestPageChooseConnection = 2;
inline constexpr int kKestPageRestart = 3;
inline constexpr int kKestPageChooseWavlo = 4;
inline constexpr int kKestPageChooseStartupDisk = 5;
inline constexpr int kKestPageDiags = 6;
inline constexpr int kKestPageInstall = 7;

class KestDialog {
public:
    // The view must outlive the dialog. discImages (may be null) is told of
    // every eject, so that the next image can stand in for the next disc.
    explicit KestDialog(KestView& view, KestDiscImages* discImages = nullptr);
    ~KestDialog();
    KestDialog(const KestDialog&) = delete;
    KestDialog& operator=(const KestDialog&) = delete;

    // ---- Pages ------------------------------------------------------------------
    // What a page shows from the string table and its pictures; the front end
    // calls it once, when it has created the page.
    void initialisePage(int index);
    // The wizard's window is ready (pages created): shows page 0.
    void initialise();
    // Makes page index current; the only way pages change. Entering page 2
    // first starts sharing and, if that fails, tells the user and stays.
    void showPage(int index);
    void onContinue();
    void onGoBack();
    // The window's close request: quit.
    void onClose();
    int currentPage() const { return currentPage_; }

    // The disc list reported a change of an item (a selection change).
    void onDiscListItemChanged();
    // The queued selection check: a list left without a selection gets the
    // remembered one back.
    void onCheckSelection();

    // ---- Controller -------------------------------------------------------------
    // Refills the disc list from the volumes in the drives: install discs, or
    // while a disc is awaited any HFS+ volume.
    void rebuildDiscList();
    // Stops whatever runs, prepares the selected disc and starts the
    // services. kStatusNotAvailable when no usable disc is selected; the
    // statuses of PrepareBootSource and StartNetBootServices.
    QxStatus startSharing();
    // The services' event sink (context: the KestDialog). Borrows the event.
    static QxStatus handleEvent(QxLObjectRef event, void* context);
    // The deferred part of "Eject". Takes over the caller's reference to the
    // event and releases it.
    void handleEject(QxLObjectRef event);
    // After an eject: prepares the newly listed disc into the running
    // services.
    void registerNextDisc();
    // Ends the wizard, asking first while a client depends on this computer.
    void quit();
    // The system's device-change broadcast: kind and the header's device type.
    void onDeviceChange(uint32_t kind, uint32_t deviceType);

    // ---- State, for front ends and tests ---------------------------------------------
    QxLObjectRef discList() const { return discList_; }
    QxLObjectRef currentDisc() const { return currentDisc_; }
    bool diagsOptionUnlocked() const { return diagsOptionUnlocked_; }
    bool useHardwareTest() const { return useHardwareTest_; }
    bool useWavlo() const { return useWavlo_; }
    bool clientConnected() const { return clientConnected_; }
    bool awaitingNextDisc() const { return awaitingNextDisc_; }
    // The wait-for-disc dialog's texts while it runs; null otherwise.
    const KestWaitTexts* waitDialog() const { return waitDialog_; }
    int rememberedSelection() const { return rememberedSelection_; }
    bool selectionCheckPosted() const { return selectionCheckPosted_; }
    const std::string& progressText() const { return progressText_; }
    const std::string& remainingText() const { return remainingText_; }

private:
    QxStatus dispatchEvent(QxLObjectRef event);
    void onClientBooted();
    void onProgress(QxLObjectRef event);
    void finishInstall(int statusString, int detailString, int position);
    void runWaitDialog(const KestWaitTexts& texts);
    void stopSettleTimer();
    static void onSettleTimer(QxLObjectRef timer, void* info);
    QxLObjectRef selectedEntry();

    KestView& view_;
    KestDiscImages* discImages_;
    int currentPage_ = -1;

    QxLObjectRef discList_ = nullptr;     // array of disc entries
    QxLObjectRef currentDisc_ = nullptr;  // retained entry, or null
    bool diagsOptionUnlocked_ = false;
    bool useHardwareTest_ = false;
    bool useWavlo_ = false;
    bool clientConnected_ = false;
    bool awaitingNextDisc_ = false;
    const KestWaitTexts* waitDialog_ = nullptr;
    std::string progressText_;
    std::string remainingText_;

    // The disc page's selection keeping.
    int rememberedSelection_ = -1;
    bool selectionCheckPosted_ = false;

    // A drive that was becoming ready during a rebuild: the list is read
    // again every kKestSettleInterval seconds, kKestSettleRounds times at
    // most, from a run-loop timer (the window stays responsive meanwhile).
    QxLObjectRef settleTimer_ = nullptr;
    int settleRounds_ = 0;
};

inline constexpr double kKestSettleInterval = 2.0;
inline constexpr int kKestSettleRounds = 10;
