// The wizard's logic: page rules and the controller (see KestDialog.h).
//
// Texts that a page shows from the string table, and its pictures:
//
//   page  control  content
//   0     1035     string 110
//   2     1046     string 113
//   3     1047     string 114
//   3     1048     picture named by string 115 (the keyboard of the language)
//   4     1051     picture "ChooseWavloPNG"
//   5     1053     picture "ChooseServerPNG"
//
// Install page status lines: 1056 the status, 1057 the time remaining (or a
// second line), 1055 the progress bar.
#include "KestDialog.h"

#include <cstdio>
#include <cstring>

#include "BootSource.h"
#include "BSDPServer.h"
#include "DiscHost.h"
#include "KestDiscImages.h"
#include "KestResourceIds.h"
#include "NetBootControl.h"
#include "NetBootEvents.h"
#include "QxLArray.h"
#include "QxLBuild.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLString.h"
#include "QxRunLoop.h"
#include "VolumePath.h"

namespace {

// The wait cursor for the length of a scope.
class WaitCursor {
public:
    explicit WaitCursor(KestView& view) : view_(view) { view_.beginWaitCursor(); }
    ~WaitCursor() { view_.endWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    KestView& view_;
};

// One reference held for the length of a scope.
class Held {
public:
    explicit Held(QxLObjectRef object) : object_(object) {}
    ~Held() { QxLObjectRelease(object_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    QxLObjectRef object_;
};

// A key's string value as text; false when absent or not a string.
bool TextOf(QxLObjectRef dictionary, QxLStringRef key, std::string* text) {
    char* value = nullptr;
    if (QxLGet(dictionary, &value, "%kO:utf8", key) != kStatusOK || value == nullptr) {
        return false;
    }
    *text = value;
    QxLFree(value);
    return true;
}

bool HasKey(QxLObjectRef dictionary, QxLStringRef key) {
    return QxLGet(dictionary, nullptr, "%kO", key) == kStatusOK;
}

struct PageText {
    int page;
    int itemId;
    int stringId;
};

constexpr PageText kPageTexts[] = {
    {kKestPageIntro, IDC_INTRO_TEXT, IDS_KEST_INTRO},
    {kKestPageChooseConnection, IDC_CONNECTION_TEXT, IDS_KEST_CONNECTION},
    {kKestPageRestart, IDC_RESTART_TEXT, IDS_KEST_RESTART},
};

struct PagePicture {
    int page;
    int itemId;
    const char* name;  // null: the name is string IDS_KEST_RESTART_PICTURE
};

constexpr PagePicture kPagePictures[] = {
    {kKestPageRestart, IDC_RESTART_PICTURE, nullptr},
    {kKestPageChooseWavlo, IDC_WAVLO_PICTURE, KEST_PNG_CHOOSE_WAVLO},
    {kKestPageChooseStartupDisk, IDC_STARTUP_PICTURE, KEST_PNG_CHOOSE_SERVER},
};

}  // namespace

KestDialog::KestDialog(KestView& view, KestDiscImages* discImages)
    : view_(view), discImages_(discImages) {}

KestDialog::~KestDialog() {
    stopSettleTimer();
    QxLObjectRelease(currentDisc_);
    QxLObjectRelease(discList_);
}

// ---- Pages --------------------------------------------------------------------------

void KestDialog::initialisePage(int index) {
    for (const PageText& text : kPageTexts) {
        if (text.page == index) view_.setItemText(text.itemId, view_.loadString(text.stringId));
    }
    for (const PagePicture& picture : kPagePictures) {
        if (picture.page != index) continue;
        view_.setPicture(picture.itemId, picture.name != nullptr
                                             ? std::string(picture.name)
                                             : view_.loadString(IDS_KEST_RESTART_PICTURE));
    }
    if (index == kKestPageChooseDisk) {
        rememberedSelection_ = -1;
        selectionCheckPosted_ = false;
        view_.setChecked(IDC_DISK_USE_DIAGS, false);
        view_.showItem(IDC_DISK_USE_DIAGS, false);
        view_.showItem(IDC_DISK_DIAGS_NOTE, false);
    } else if (index == kKestPageChooseConnection) {
        view_.setChecked(IDC_CONNECTION_WAVLO, true);
    } else if (index == kKestPageInstall) {
        view_.setPercentRange();
        view_.setPosition(0);
        view_.setMarquee(true);
        view_.setItemText(IDC_INSTALL_REMAINING, std::string());
    }
}

void KestDialog::initialise() { showPage(kKestPageIntro); }

void KestDialog::showPage(int index) {
    if (index < 0 || index >= KEST_PAGE_COUNT) return;
    if (index == kKestPageChooseConnection) {
        QxStatus status = startSharing();
        if (status != kStatusOK) {
            view_.showNotice(view_.formatNumber(IDS_KEST_SHARE_FAILED, status));
            return;
        }
    }
    view_.setItemText(IDC_KEST_TITLE, view_.pageCaption(index));
    view_.selectPage(index);
    currentPage_ = index;
    view_.showItem(IDC_KEST_GO_BACK, index != kKestPageIntro);
    bool last = index == kKestPageDiags || index == kKestPageInstall;
    view_.setItemText(IDC_KEST_CONTINUE,
                      view_.loadString(last ? IDS_KEST_QUIT : IDS_KEST_CONTINUE));
    if (index == kKestPageChooseDisk) {
        view_.redrawNow();
        rebuildDiscList();
        if (view_.listCount() == 0) runWaitDialog(KestWaitTexts());
    }
}

void KestDialog::onContinue() {
    switch (currentPage_) {
    case kKestPageIntro:
        if (view_.isAltKeyDown()) diagsOptionUnlocked_ = true;
        showPage(kKestPageChooseDisk);
        break;
    case kKestPageChooseDisk:
        useHardwareTest_ = view_.isChecked(IDC_DISK_USE_DIAGS);
        showPage(kKestPageChooseConnection);
        break;
    case kKestPageChooseConnection:
        showPage(kKestPageRestart);
        break;
    case kKestPageRestart:
        useWavlo_ = view_.isChecked(IDC_CONNECTION_WAVLO);
        showPage(useWavlo_ ? kKestPageChooseWavlo : kKestPageChooseStartupDisk);
        break;
    case kKestPageChooseWavlo:
        showPage(kKestPageChooseStartupDisk);
        break;
    case kKestPageChooseStartupDisk:
        showPage(useHardwareTest_ ? kKestPageDiags : kKestPageInstall);
        break;
    case kKestPageDiags:
    case kKestPageInstall:
        quit();
        break;
    default:
        break;
    }
}

void KestDialog::onGoBack() {
    static constexpr int kBack[KEST_PAGE_COUNT] = {-1, 0, 1, 2, 3, -2, 5, 5};
    if (currentPage_ < 0 || currentPage_ >= KEST_PAGE_COUNT) return;
    int target = kBack[currentPage_];
    if (target == -2) target = useWavlo_ ? kKestPageChooseWavlo : kKestPageRestart;
    if (target >= 0) showPage(target);
}

void KestDialog::onClose() { quit(); }

void KestDialog::onDiscListItemChanged() {
    if (selectionCheckPosted_) return;
    selectionCheckPosted_ = true;
    if (!view_.postSelectionCheck()) selectionCheckPosted_ = false;
}

void KestDialog::onCheckSelection() {
    int selection = view_.listSelection();
    if (selection < 0 && rememberedSelection_ >= 0) view_.listSelect(rememberedSelection_);
    if (selection >= 0) rememberedSelection_ = selection;
    selectionCheckPosted_ = false;
}

// ---- Controller -----------------------------------------------------------------------

void KestDialog::rebuildDiscList() {
    WaitCursor cursor(view_);
    view_.listDeleteAll();
    QxLObjectRef list = nullptr;
    if (QxLArrayCreate(&list) != kStatusOK) return;

    bool showOption = false;
    int added = 0;
    VolumeIterator iterator{};
    VolumeListing listing;
    while (NextVolume(&iterator, &listing) == kStatusOK) {
        if (!awaitingNextDisc_ && !IsInstallDisc(listing.path, true)) continue;
        bool hasDiags = PathExistsAs(listing.path, kKestDiagsFile, false);
        if (QxLBuildInto(list, "{%kO=%s%kO=%s%kO=%b}", kKestDiscKeyName, listing.name,
                         kKestDiscKeyPath, listing.path, kKestDiscKeyHasDiags,
                         hasDiags ? 1 : 0) != kStatusOK) {
            continue;
        }
        int index = view_.listAppend(listing.name);
        if (index >= 0 && added == 0) {
            view_.listSelect(index);
            rememberedSelection_ = 0;
        }
        if (hasDiags && diagsOptionUnlocked_) showOption = true;
        ++added;
    }
    VolumeIteratorFinish(&iterator);

    // A drive spinning up is read again shortly; a list that settled (or
    // a drive that never became ready) stops the rounds.
    if (!iterator.settling || settleRounds_ >= kKestSettleRounds) {
        stopSettleTimer();
        settleRounds_ = 0;
    } else if (settleTimer_ == nullptr) {
        QxRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
        settleTimer_ = QxRunLoopTimerCreate(QxRunLoopNow() + kKestSettleInterval,
                                            kKestSettleInterval, &context, onSettleTimer);
        if (settleTimer_ != nullptr) QxRunLoopAddTimer(QxRunLoopGetMain(), settleTimer_);
    }

    QxLObjectRelease(discList_);
    discList_ = list;

    if (!showOption) {
        view_.setChecked(IDC_DISK_USE_DIAGS, false);
        useHardwareTest_ = false;
    }
    view_.showItem(IDC_DISK_USE_DIAGS, showOption);
    view_.showItem(IDC_DISK_DIAGS_NOTE, showOption);

    if (added > 0) {
        if (waitDialog_ != nullptr) view_.endWaitDialog(kKestResultOK);
        if (awaitingNextDisc_) registerNextDisc();
    }
}

// The entry of the selected list item when it is usable for the chosen
// kind of boot, else null. Not retained.
QxLObjectRef KestDialog::selectedEntry() {
    int index = view_.listSelection();
    if (discList_ == nullptr || index < 0 || index >= QxLArrayGetCount(discList_)) {
        return nullptr;
    }
    auto entry = static_cast<QxLObjectRef>(QxLArrayGetValueAt(discList_, index));
    if (entry == nullptr) return nullptr;
    // The entry carries the key whether or not the disc has the test; the
    // test can be chosen only where its value is true.
    if (useHardwareTest_) {
        uint8_t hasDiags = 0;
        if (QxLGet(entry, &hasDiags, "%kO:bool", kKestDiscKeyHasDiags) != kStatusOK ||
            hasDiags == 0) {
            return nullptr;
        }
    }
    return entry;
}

QxStatus KestDialog::startSharing() {
    WaitCursor cursor(view_);
    StopNetBootServices();
    QxLObjectRef entry = selectedEntry();
    if (entry == nullptr) return kStatusNotAvailable;
    QxLObjectRelease(currentDisc_);
    currentDisc_ = QxLObjectRetain(entry);

    QxLStringRef format = QxLStringCreateWithText(view_.loadString(IDS_KEST_IMAGE_NAME_FORMAT).c_str());
    if (format == nullptr) return kStatusNoMemory;
    SetBootImageNameFormat(format);
    QxLObjectRelease(format);

    std::string path;
    if (!TextOf(currentDisc_, kKestDiscKeyPath, &path)) return kStatusNotAvailable;
    QxStatus status = PrepareBootSource(path.c_str(), useHardwareTest_);
    if (status != kStatusOK) return status;
    SetNetBootEventSink(&KestDialog::handleEvent, this);
    return StartNetBootServices();
}

QxStatus KestDialog::handleEvent(QxLObjectRef event, void* context) {
    if (event == nullptr || context == nullptr) return kStatusOK;
    QxLDumpObject(stderr, event);
    fflush(stderr);
    return static_cast<KestDialog*>(context)->dispatchEvent(event);
}

QxStatus KestDialog::dispatchEvent(QxLObjectRef event) {
    QxLObjectRef message = nullptr;
    if (QxLGet(event, &message, "%kO", kNetBootKeyMessage) != kStatusOK ||
        !QxLObjectIsType(message, kQxLTypeString)) {
        return kStatusOK;
    }
    if (QxLObjectEqual(message, kNetBootEventTFTPOpen)) return kStatusOK;
    if (QxLObjectEqual(message, kNetBootEventTFTPClose)) {
        int32_t reason = -1;
        if (QxLGet(event, &reason, "%kO:int", kNetBootKeyReason) == kStatusOK && reason == 0 &&
            !clientConnected_) {
            onClientBooted();
        }
    } else if (QxLObjectEqual(message, kNetBootEventStarted)) {
        view_.setItemText(IDC_INSTALL_STATUS, view_.loadString(IDS_KEST_WAIT_INSTALLER));
        view_.setMarquee(true);
        view_.setItemText(IDC_INSTALL_REMAINING, std::string());
    } else if (QxLObjectEqual(message, kNetBootEventProgress)) {
        onProgress(event);
    } else if (QxLObjectEqual(message, kNetBootEventSuccess)) {
        finishInstall(IDS_KEST_INSTALL_SUCCEEDED, IDS_KEST_MAY_QUIT, 100);
    } else if (QxLObjectEqual(message, kNetBootEventFailure)) {
        finishInstall(IDS_KEST_INSTALL_FAILED, IDS_KEST_SEE_INSTALLER, 0);
    } else if (QxLObjectEqual(message, kNetBootEventEject)) {
        QxLObjectRetain(event);
        if (!view_.postEject(event)) QxLObjectRelease(event);
    }
    return kStatusOK;
}

void KestDialog::onClientBooted() {
    if (!useHardwareTest_) {
        view_.setItemText(IDC_INSTALL_STATUS, view_.loadString(IDS_KEST_WAIT_STARTUP));
        view_.setMarquee(true);
        view_.setItemText(IDC_INSTALL_REMAINING, std::string());
        if (currentPage_ != kKestPageInstall) showPage(kKestPageInstall);
    } else if (currentPage_ != kKestPageDiags) {
        showPage(kKestPageDiags);
    }
    view_.enableItem(IDC_KEST_GO_BACK, false);
    clientConnected_ = true;
}

void KestDialog::onProgress(QxLObjectRef event) {
    int32_t percentage = -1;
    if (QxLGet(event, &percentage, "%kO:int", kNetBootKeyPercentage) != kStatusOK) {
        percentage = -1;
    }
    if (percentage >= 0) {
        if (percentage > 100) percentage = 100;
        view_.setMarquee(false);
        view_.setPercentRange();
        view_.setPosition(percentage);
    }
    if (HasKey(event, kNetBootKeyStatus)) {
        std::string text;
        progressText_ = TextOf(event, kNetBootKeyStatus, &text) ? text : std::string();
    }
    view_.setItemText(IDC_INSTALL_STATUS, progressText_);
    if (HasKey(event, kNetBootKeyRemaining)) {
        std::string text;
        remainingText_ = TextOf(event, kNetBootKeyRemaining, &text) ? text : std::string();
    }
    view_.setItemText(IDC_INSTALL_REMAINING, remainingText_);
}

void KestDialog::finishInstall(int statusString, int detailString, int position) {
    view_.setItemText(IDC_INSTALL_STATUS, view_.loadString(statusString));
    view_.setItemText(IDC_INSTALL_REMAINING, view_.loadString(detailString));
    view_.setMarquee(false);
    view_.setPercentRange();
    view_.setPosition(position);
    clientConnected_ = false;
}

void KestDialog::handleEject(QxLObjectRef event) {
    Held held(event);
    if (awaitingNextDisc_) return;
    std::string discName;
    if (!TextOf(event, kNetBootKeyNextDisc, &discName)) return;

    ReleaseBootSource();
    QxStatus ejected = kStatusOK;
    if (currentDisc_ != nullptr) {
        WaitCursor cursor(view_);
        std::string path;
        const char* device = nullptr;
        int32_t deviceLength = 0;
        if (!TextOf(currentDisc_, kKestDiscKeyPath, &path) ||
            SplitVolumePath(path.c_str(), &device, &deviceLength, nullptr, nullptr, nullptr) !=
                kStatusOK ||
            device == nullptr || deviceLength <= 0) {
            return;
        }
        char devicePath[kVolumePathCapacity];
        size_t length = static_cast<size_t>(deviceLength);
        if (length > kVolumePathCapacity - 1) length = kVolumePathCapacity - 1;
        std::memcpy(devicePath, device, length);
        devicePath[length] = '\0';
        ejected = DiscEject(devicePath);
        if (discImages_ != nullptr) discImages_->afterEject(devicePath, ejected);
    }
    QxLObjectRelease(currentDisc_);
    currentDisc_ = nullptr;
    awaitingNextDisc_ = true;

    view_.setItemText(IDC_INSTALL_STATUS, view_.formatText(IDS_KEST_WAIT_DISC, discName));
    view_.setItemText(IDC_INSTALL_REMAINING, std::string());
    view_.setMarquee(true);

    KestWaitTexts texts;
    texts.hasCustomText = true;
    if (ejected != kStatusOK) {
        texts.titleText = view_.loadString(IDS_KEST_EJECT_FAILED_TITLE);
        texts.bodyText = view_.formatText(IDS_KEST_EJECT_FAILED_BODY, discName);
        texts.enlarge = true;
    } else {
        texts.titleText = view_.formatText(IDS_KEST_INSERT_DISC_TITLE, discName);
        texts.bodyText = view_.loadString(IDS_KEST_INSERT_DISC_BODY);
    }
    runWaitDialog(texts);
}

void KestDialog::runWaitDialog(const KestWaitTexts& texts) {
    waitDialog_ = &texts;
    view_.runWaitDialog(texts);
    waitDialog_ = nullptr;
}

void KestDialog::registerNextDisc() {
    WaitCursor cursor(view_);
    QxLObjectRef entry = selectedEntry();
    if (entry == nullptr) return;
    QxLObjectRelease(currentDisc_);
    currentDisc_ = QxLObjectRetain(entry);
    std::string path;
    if (!TextOf(currentDisc_, kKestDiscKeyPath, &path)) return;
    if (PrepareBootSource(path.c_str(), useHardwareTest_) != kStatusOK) return;
    view_.setItemText(IDC_INSTALL_STATUS, view_.loadString(IDS_KEST_WAIT_INSTALLER));
    view_.setMarquee(true);
    view_.setItemText(IDC_INSTALL_REMAINING, std::string());
    awaitingNextDisc_ = false;
}

void KestDialog::stopSettleTimer() {
    if (settleTimer_ == nullptr) return;
    QxRunLoopTimerInvalidate(settleTimer_);
    QxLObjectRelease(settleTimer_);
    settleTimer_ = nullptr;
}

void KestDialog::onSettleTimer(QxLObjectRef, void* info) {
    auto* dialog = static_cast<KestDialog*>(info);
    ++dialog->settleRounds_;
    dialog->rebuildDiscList();
}

void KestDialog::quit() {
    if (clientConnected_ && !view_.askYesNo(view_.loadString(IDS_KEST_CONFIRM_QUIT))) return;
    StopNetBootServices();
    view_.endWizard(kKestResultCancel);
}

void KestDialog::onDeviceChange(uint32_t kind, uint32_t deviceType) {
    if ((kind == kKestDeviceArrival || kind == kKestDeviceRemoveComplete) &&
        deviceType == kKestDeviceTypeVolume) {
        rebuildDiscList();
    }
}
