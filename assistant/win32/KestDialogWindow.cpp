// The wizard's window on Windows (see KestDialogWindow.h).
#include "KestDialogWindow.h"

#include <commctrl.h>
#include <dbt.h>

#include "KestGuiUtilities.h"
#include "KestResourceIds.h"

namespace {

constexpr wchar_t kContainerClass[] = L"KestPageContainer";
// The left-hand picture: only its right half shows along the left edge.
constexpr int kBackgroundX = -200;
constexpr int kBackgroundY = 16;
constexpr int kBackgroundSize = 400;

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

std::wstring ToText(const std::string& utf8) {
    std::wstring text;
    if (utf8ToText(utf8.c_str(), &text) != kStatusOK) text.clear();
    return text;
}

HICON LoadAppIcon(int size) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                         MAKEINTRESOURCEW(IDI_KEST_APP), IMAGE_ICON, size, size,
                                         LR_DEFAULTCOLOR));
}

// The page container: a plain child window that holds the pages and lets
// the dialog's keyboard navigation into them.
bool RegisterContainerClass() {
    WNDCLASSW windowClass{};
    if (GetClassInfoW(GetModuleHandleW(nullptr), kContainerClass, &windowClass)) return true;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kContainerClass;
    return RegisterClassW(&windowClass) != 0;
}

// Go Back and Continue take Enter as a key of their own, which a button
// ignores: so Enter never presses them, not even with the focus on them (the
// wizard has no default action). Space and clicks still do.
constexpr UINT_PTR kButtonSubclass = 1;

LRESULT CALLBACK ButtonProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                 UINT_PTR, DWORD_PTR) {
    if (message == WM_GETDLGCODE && lParam != 0) {
        const auto* key = reinterpret_cast<const MSG*>(lParam);
        if (key->message == WM_KEYDOWN && key->wParam == VK_RETURN) {
            return DefSubclassProc(window, message, wParam, lParam) | DLGC_WANTMESSAGE;
        }
    }
    if (message == WM_NCDESTROY) RemoveWindowSubclass(window, ButtonProcedure, kButtonSubclass);
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

KestDialogWindow::KestDialogWindow(KestDiscImages* discImages) : logic_(*this, discImages) {}

KestDialogWindow::~KestDialogWindow() {
    if (titleFont_ != nullptr) DeleteObject(titleFont_);
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

INT_PTR KestDialogWindow::run() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_KEST_DIALOG), nullptr,
                           Procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK KestDialogWindow::Procedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<KestDialogWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, static_cast<LONG_PTR>(lParam));
        self->initialise(window);
        return TRUE;
    }
    auto* self = reinterpret_cast<KestDialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_KEST_GO_BACK:
            self->logic_.onGoBack();
            return TRUE;
        case IDC_KEST_CONTINUE:
            self->logic_.onContinue();
            return TRUE;
        case IDOK:
        case IDCANCEL:
            return TRUE;  // Enter and Escape do nothing
        default:
            return FALSE;
        }
    case WM_CLOSE:
        self->logic_.onClose();
        return TRUE;
    case WM_DEVICECHANGE:
        if (lParam != 0) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            self->logic_.onDeviceChange(static_cast<uint32_t>(wParam), header->dbch_devicetype);
        }
        return FALSE;  // and the default processing
    case KEST_MSG_EJECT:
        self->logic_.handleEject(reinterpret_cast<QxLObjectRef>(lParam));
        return TRUE;
    case WM_SETCURSOR:
        if (self->waitCursorDepth_ > 0) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_NCDESTROY: {
        // An "Eject" still queued holds its event: let go of it.
        MSG queued;
        while (PeekMessageW(&queued, window, KEST_MSG_EJECT, KEST_MSG_EJECT, PM_REMOVE)) {
            QxLObjectRelease(reinterpret_cast<QxLObjectRef>(queued.lParam));
        }
        self->window_ = nullptr;
        return FALSE;
    }
    default:
        return FALSE;
    }
}

void KestDialogWindow::initialise(HWND window) {
    window_ = window;
    bigIcon_ = LoadAppIcon(GetSystemMetrics(SM_CXICON));
    smallIcon_ = LoadAppIcon(GetSystemMetrics(SM_CXSMICON));
    if (bigIcon_ != nullptr) SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    if (smallIcon_ != nullptr) {
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    }

    // The picture sits below every other control and never paints over them.
    if (background_.attach(window, IDC_KEST_PICTURE)) {
        background_.loadPng(TEXT(KEST_PNG_BACKGROUND));
        HWND picture = background_.window();
        SetWindowLongPtrW(picture, GWL_STYLE,
                          GetWindowLongPtrW(picture, GWL_STYLE) | WS_CLIPSIBLINGS);
        SetWindowPos(picture, HWND_BOTTOM, kBackgroundX, kBackgroundY, kBackgroundSize,
                     kBackgroundSize, SWP_NOACTIVATE);
    }
    makeBold(window, &titleFont_, IDC_KEST_TITLE);
    for (int id : {IDC_KEST_GO_BACK, IDC_KEST_CONTINUE}) {
        if (HWND button = GetDlgItem(window, id)) {
            SetWindowSubclass(button, ButtonProcedure, kButtonSubclass, 0);
        }
    }

    if (createPages()) {
        SetWindowLongPtrW(window, GWL_EXSTYLE,
                          GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
    }
    logic_.initialise();
    HWND continueButton = GetDlgItem(window, IDC_KEST_CONTINUE);
    if (continueButton != nullptr) SetFocus(continueButton);
}

bool KestDialogWindow::createPages() {
    if (!RegisterContainerClass()) return false;
    HWND area = GetDlgItem(window_, IDC_KEST_PAGE_AREA);
    RECT rect{0, 0, 0, 0};
    if (area != nullptr) {
        GetWindowRect(area, &rect);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
    }
    container_ = CreateWindowExW(WS_EX_CONTROLPARENT, kContainerClass, L"",
                                 WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN |
                                     WS_CLIPSIBLINGS,
                                 rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, window_, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (container_ == nullptr) return false;
    SetWindowPos(container_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (area != nullptr) placeSheet(window_, container_, rect);

    pages_[kKestPageIntro] = std::make_unique<KestPage_Intro>(*this);
    pages_[kKestPageChooseDisk] = std::make_unique<KestPage_ChooseDisk>(*this);
    pages_[kKestPageChooseConnection] = std::make_unique<KestPage_ChooseConnection>(*this);
    pages_[kKestPageRestart] = std::make_unique<KestPage_Restart>(*this);
    pages_[kKestPageChooseWavlo] = std::make_unique<KestPage_ChooseWavlo>(*this);
    pages_[kKestPageChooseStartupDisk] = std::make_unique<KestPage_ChooseStartupDisk>(*this);
    pages_[kKestPageDiags] = std::make_unique<KestPage_Diags>(*this);
    pages_[kKestPageInstall] = std::make_unique<KestPage_Install>(*this);
    RECT client;
    GetClientRect(container_, &client);
    for (auto& page : pages_) {
        if (!page->create(container_)) continue;
        SetWindowPos(page->window(), nullptr, 0, 0, client.right, client.bottom,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}

HWND KestDialogWindow::item(int itemId) const {
    if (window_ == nullptr) return nullptr;
    HWND found = GetDlgItem(window_, itemId);
    if (found != nullptr) return found;
    for (const auto& page : pages_) {
        if (page == nullptr || page->window() == nullptr) continue;
        found = GetDlgItem(page->window(), itemId);
        if (found != nullptr) return found;
    }
    return nullptr;
}

// ---- Texts -----------------------------------------------------------------------------

std::string KestDialogWindow::loadString(int stringId) {
    return ToUtf8(::loadString(static_cast<UINT>(stringId)));
}

std::string KestDialogWindow::formatText(int stringId, const std::string& text) {
    std::wstring argument = ToText(text);
    return ToUtf8(formatString(static_cast<UINT>(stringId), argument.c_str()));
}

std::string KestDialogWindow::formatNumber(int stringId, int32_t number) {
    return ToUtf8(formatString(static_cast<UINT>(stringId), static_cast<int>(number)));
}

std::string KestDialogWindow::pageCaption(int page) {
    if (page < 0 || page >= KEST_PAGE_COUNT || pages_[page] == nullptr ||
        pages_[page]->window() == nullptr) {
        return std::string();
    }
    wchar_t caption[256] = L"";
    GetWindowTextW(pages_[page]->window(), caption, 256);
    return ToUtf8(caption);
}

// ---- Controls ---------------------------------------------------------------------------

void KestDialogWindow::setItemText(int itemId, const std::string& text) {
    HWND control = item(itemId);
    if (control != nullptr) SetWindowTextW(control, ToText(text).c_str());
}

void KestDialogWindow::showItem(int itemId, bool show) {
    HWND control = item(itemId);
    if (control != nullptr) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

void KestDialogWindow::enableItem(int itemId, bool enable) {
    HWND control = item(itemId);
    if (control != nullptr) EnableWindow(control, enable ? TRUE : FALSE);
}

bool KestDialogWindow::isChecked(int itemId) {
    HWND control = item(itemId);
    return control != nullptr && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void KestDialogWindow::setChecked(int itemId, bool checked) {
    HWND control = item(itemId);
    if (control != nullptr) {
        SendMessageW(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

void KestDialogWindow::setPicture(int itemId, const std::string& name) {
    for (auto& page : pages_) {
        if (page == nullptr || page->pictureId() != itemId || page->picture() == nullptr) continue;
        ImageControl& picture = *page->picture();
        if (picture.loadPng(ToText(name).c_str()) == kStatusOK) {
            // The template's rectangle follows the font; the picture does
            // not. Keep it centred where the template put it.
            RECT rect;
            GetWindowRect(picture.window(), &rect);
            MapWindowPoints(nullptr, page->window(), reinterpret_cast<POINT*>(&rect), 2);
            SIZE size = picture.imageSize();
            int x = rect.left + (rect.right - rect.left - size.cx) / 2;
            int y = rect.top + (rect.bottom - rect.top - size.cy) / 2;
            SetWindowPos(picture.window(), nullptr, x, y, size.cx, size.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
        }
        InvalidateRect(picture.window(), nullptr, TRUE);
    }
}

void KestDialogWindow::setMarquee(bool on) {
    HWND bar = item(IDC_INSTALL_PROGRESS);
    if (bar != nullptr) ::setMarquee(bar, on);
}

void KestDialogWindow::setPercentRange() {
    HWND bar = item(IDC_INSTALL_PROGRESS);
    if (bar != nullptr) ::setPercentRange(bar);
}

void KestDialogWindow::setPosition(int position) {
    HWND bar = item(IDC_INSTALL_PROGRESS);
    if (bar != nullptr) ::setPosition(bar, position);
}

// ---- Disc list ------------------------------------------------------------------------------

void KestDialogWindow::listDeleteAll() {
    if (HWND control = list()) SendMessageW(control, LVM_DELETEALLITEMS, 0, 0);
}

int KestDialogWindow::listAppend(const std::string& name) {
    HWND control = list();
    if (control == nullptr) return -1;
    std::wstring text = ToText(name);
    LVITEMW entry{};
    entry.mask = LVIF_TEXT | LVIF_IMAGE;
    entry.iItem = static_cast<int>(SendMessageW(control, LVM_GETITEMCOUNT, 0, 0));
    entry.pszText = text.data();
    entry.iImage = 0;
    return static_cast<int>(SendMessageW(control, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&entry)));
}

void KestDialogWindow::listSelect(int index) {
    HWND control = list();
    if (control == nullptr) return;
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(control, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&state));
}

int KestDialogWindow::listCount() {
    HWND control = list();
    return control != nullptr ? static_cast<int>(SendMessageW(control, LVM_GETITEMCOUNT, 0, 0)) : 0;
}

int KestDialogWindow::listSelection() {
    HWND control = list();
    if (control == nullptr) return -1;
    return static_cast<int>(SendMessageW(control, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                         MAKELPARAM(LVNI_SELECTED, 0)));
}

// ---- Pages and the window ----------------------------------------------------------------------

void KestDialogWindow::selectPage(int index) {
    if (index < 0 || index >= KEST_PAGE_COUNT || pages_[index] == nullptr ||
        pages_[index]->window() == nullptr) {
        return;
    }
    HWND next = pages_[index]->window();
    SetWindowPos(next, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    if (shownPage_ >= 0 && shownPage_ != index && pages_[shownPage_] != nullptr &&
        pages_[shownPage_]->window() != nullptr) {
        ShowWindow(pages_[shownPage_]->window(), SW_HIDE);
    }
    shownPage_ = index;
    // The disc page starts in its list, so the arrow keys choose a disc;
    // elsewhere the focus must not stay on a control of a hidden page.
    HWND focus = index == kKestPageChooseDisk ? list() : nullptr;
    HWND current = GetFocus();
    if (focus == nullptr && (current == nullptr || !IsWindowVisible(current))) {
        focus = GetDlgItem(window_, IDC_KEST_CONTINUE);
    }
    if (focus != nullptr) {
        SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    }
}

void KestDialogWindow::redrawNow() {
    if (window_ != nullptr) {
        RedrawWindow(window_, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
}

void KestDialogWindow::beginWaitCursor() {
    if (waitCursorDepth_++ == 0) SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void KestDialogWindow::endWaitCursor() {
    if (waitCursorDepth_ > 0 && --waitCursorDepth_ == 0) {
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    }
}

bool KestDialogWindow::isAltKeyDown() { return (GetAsyncKeyState(VK_MENU) & 0x8000) != 0; }

void KestDialogWindow::endWizard(int result) {
    if (window_ != nullptr) EndDialog(window_, result);
}

// ---- Modal dialogs ------------------------------------------------------------------------------

void KestDialogWindow::showNotice(const std::string& text) {
    MessageBoxW(window_, ToText(text).c_str(), ::loadString(IDS_KEST_APP_NAME).c_str(), MB_OK);
}

bool KestDialogWindow::askYesNo(const std::string& text) {
    return MessageBoxW(window_, ToText(text).c_str(), ::loadString(IDS_KEST_APP_NAME).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

int KestDialogWindow::runWaitDialog(const KestWaitTexts& texts) {
    WaitForDiskDialog dialog;
    if (texts.hasCustomText) {
        dialog.setTexts(ToText(texts.titleText), ToText(texts.bodyText), texts.enlarge);
    }
    waitDialog_ = &dialog;
    INT_PTR result = dialog.run(window_);
    waitDialog_ = nullptr;
    return static_cast<int>(result);
}

void KestDialogWindow::endWaitDialog(int result) {
    if (waitDialog_ != nullptr) waitDialog_->end(result);
}

// ---- The message queue ----------------------------------------------------------------------------

bool KestDialogWindow::postEject(QxLObjectRef event) {
    return window_ != nullptr &&
           PostMessageW(window_, KEST_MSG_EJECT, 0, reinterpret_cast<LPARAM>(event)) != 0;
}

bool KestDialogWindow::postSelectionCheck() {
    HWND page = pages_[kKestPageChooseDisk] != nullptr ? pages_[kKestPageChooseDisk]->window()
                                                       : nullptr;
    return page != nullptr && PostMessageW(page, KEST_MSG_CHECK_SELECTION, 0, 0) != 0;
}

void KestDialogWindow::announceVolumeArrival() {
    if (window_ == nullptr) return;
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
}
