// The wizard's window on Windows: dialog template 142 with the left-hand
// picture, the bold title line, the page area and the two buttons, and the
// eight pages stacked in a container in the page area.
//
// It is the Windows implementation of KestView: the shared logic
// (KestDialog) decides, this class carries it out with the window system's
// calls, converting texts between UTF-8 and UTF-16 at this boundary. The
// run loop's hidden window gets its timer and socket messages through this
// dialog's modal loop, and through those of its message boxes and the
// wait-for-disc dialog: no thread, no polling.
//
// Page container: a plain stack of child dialogs (one per page, created
// once, shown one at a time) rather than a wizard property sheet. Nothing of
// the sheet's own navigation is used, and the stack avoids its quirks: no
// hidden sheet buttons to suppress, no re-placing of pages after each page
// change, and the same behaviour under every version of the common controls.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ImageControl.h"
#include "KestDialog.h"
#include "KestPages.h"
#include "KestResourceIds.h"
#include "KestView.h"
#include "WaitForDiskDialog.h"

class KestDiscImages;

class KestDialogWindow : public KestView {
public:
    explicit KestDialogWindow(KestDiscImages* discImages);
    ~KestDialogWindow() override;

    // Runs the wizard modally until it ends; its result.
    INT_PTR run();
    KestDialog& logic() { return logic_; }
    HWND window() const { return window_; }

    // ---- KestView ------------------------------------------------------------------
    std::string loadString(int stringId) override;
    std::string formatText(int stringId, const std::string& text) override;
    std::string formatNumber(int stringId, int32_t number) override;
    std::string pageCaption(int page) override;
    void setItemText(int itemId, const std::string& text) override;
    void showItem(int itemId, bool show) override;
    void enableItem(int itemId, bool enable) override;
    bool isChecked(int itemId) override;
    void setChecked(int itemId, bool checked) override;
    void setPicture(int itemId, const std::string& name) override;
    void setMarquee(bool on) override;
    void setPercentRange() override;
    void setPosition(int position) override;
    void listDeleteAll() override;
    int listAppend(const std::string& name) override;
    void listSelect(int index) override;
    int listCount() override;
    int listSelection() override;
    void selectPage(int index) override;
    void redrawNow() override;
    void beginWaitCursor() override;
    void endWaitCursor() override;
    bool isAltKeyDown() override;
    void endWizard(int result) override;
    void showNotice(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    int runWaitDialog(const KestWaitTexts& texts) override;
    void endWaitDialog(int result) override;
    bool postEject(QxLObjectRef event) override;
    bool postSelectionCheck() override;
    void announceVolumeArrival() override;

private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    void initialise(HWND window);
    bool createPages();
    // The control itemId of the dialog or of any page; null when missing.
    HWND item(int itemId) const;
    HWND list() const { return item(IDC_DISK_LIST); }

    KestDialog logic_;
    HWND window_ = nullptr;
    HWND container_ = nullptr;
    ImageControl background_;
    HFONT titleFont_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    std::unique_ptr<KestPage> pages_[KEST_PAGE_COUNT];
    int shownPage_ = -1;
    WaitForDiskDialog* waitDialog_ = nullptr;
    int waitCursorDepth_ = 0;
};
