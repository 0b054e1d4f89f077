// The wizard's pages on Windows (see KestPages.h).
#include "KestPages.h"

#include "KestDialog.h"
#include "KestDialogWindow.h"
#include "KestResourceIds.h"

namespace {

constexpr COLORREF kPageBackground = RGB(255, 255, 255);
constexpr COLORREF kPageFrame = RGB(200, 200, 200);
// The frame runs inside the client area, short of its right and bottom edges.
constexpr int kFrameInsetRight = 11;
constexpr int kFrameInsetBottom = 17;
constexpr int kDiscIconSize = 32;
constexpr int kDiscItemWidth = 150;
constexpr int kDiscItemHeight = 76;

}  // namespace

KestPage::KestPage(KestDialogWindow& owner, int index, int templateId, int pictureId)
    : owner_(owner), index_(index), templateId_(templateId), pictureId_(pictureId) {}

KestPage::~KestPage() {
    if (window_ != nullptr) DestroyWindow(window_);
    if (background_ != nullptr) DeleteObject(background_);
    if (frame_ != nullptr) DeleteObject(frame_);
}

bool KestPage::create(HWND container) {
    HWND page = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_),
                                   container, Procedure, reinterpret_cast<LPARAM>(this));
    return page != nullptr;
}

INT_PTR CALLBACK KestPage::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* page = reinterpret_cast<KestPage*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, static_cast<LONG_PTR>(lParam));
        page->window_ = window;
        page->background_ = CreateSolidBrush(kPageBackground);
        page->frame_ = CreateSolidBrush(kPageFrame);
        if (page->pictureId_ != 0) page->picture_.attach(window, page->pictureId_);
        page->initialise();
        page->owner_.logic().initialisePage(page->index_);
        return FALSE;
    }
    auto* page = reinterpret_cast<KestPage*>(GetWindowLongPtrW(window, DWLP_USER));
    if (page == nullptr) return FALSE;
    INT_PTR result = 0;
    if (page->handle(message, wParam, lParam, &result)) return result;
    switch (message) {
    case WM_ERASEBKGND: {
        RECT client;
        GetClientRect(window, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, page->background_);
        SetWindowLongPtrW(window, DWLP_MSGRESULT, 1);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
        SetBkColor(reinterpret_cast<HDC>(wParam), kPageBackground);
        return reinterpret_cast<INT_PTR>(page->background_);
    case WM_PAINT:
        page->paintFrame();
        return TRUE;
    case WM_COMMAND:
        // Enter and Escape reach a page as IDOK and IDCANCEL: ignored.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) return TRUE;
        return FALSE;
    case WM_NCDESTROY:
        page->window_ = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

bool KestPage::handle(UINT, WPARAM, LPARAM, INT_PTR*) { return false; }

void KestPage::paintFrame() {
    PAINTSTRUCT paint;
    HDC context = BeginPaint(window_, &paint);
    RECT frame;
    GetClientRect(window_, &frame);
    frame.right -= kFrameInsetRight;
    frame.bottom -= kFrameInsetBottom;
    FrameRect(context, &frame, frame_);
    EndPaint(window_, &paint);
}

// ---- The pages --------------------------------------------------------------------

KestPage_Intro::KestPage_Intro(KestDialogWindow& owner)
    : KestPage(owner, kKestPageIntro, IDD_KEST_PAGE_INTRO) {}

KestPage_ChooseDisk::KestPage_ChooseDisk(KestDialogWindow& owner)
    : KestPage(owner, kKestPageChooseDisk, IDD_KEST_PAGE_CHOOSE_DISK) {}

KestPage_ChooseDisk::~KestPage_ChooseDisk() {
    // The list does not own its image list (no LVS_SHAREIMAGELISTS needed:
    // the list goes with the page, before this).
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    if (images_ != nullptr) ImageList_Destroy(images_);
}

void KestPage_ChooseDisk::initialise() {
    HWND list = GetDlgItem(window_, IDC_DISK_LIST);
    if (list == nullptr) return;
    images_ = ImageList_Create(kDiscIconSize, kDiscIconSize, ILC_COLOR32 | ILC_MASK, 0, 0);
    if (images_ != nullptr) {
        HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                                   MAKEINTRESOURCEW(IDI_KEST_DISC), IMAGE_ICON,
                                                   kDiscIconSize, kDiscIconSize, LR_DEFAULTCOLOR));
        if (icon != nullptr) {
            ImageList_ReplaceIcon(images_, -1, icon);
            DestroyIcon(icon);
        }
    }
    LRESULT styles = SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, styles | LVS_EX_INFOTIP);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(images_));
    // Room for a disc's whole name under its icon (the default spacing cuts
    // names of two words short).
    SendMessageW(list, LVM_SETICONSPACING, 0, MAKELPARAM(kDiscItemWidth, kDiscItemHeight));
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_CENTER;
    column.cx = -1;
    column.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
}

bool KestPage_ChooseDisk::handle(UINT message, WPARAM, LPARAM lParam, INT_PTR* result) {
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom != IDC_DISK_LIST || header->code != LVN_ITEMCHANGED) return false;
        owner_.logic().onDiscListItemChanged();
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
        *result = TRUE;
        return true;
    }
    if (message == KEST_MSG_CHECK_SELECTION) {
        owner_.logic().onCheckSelection();
        *result = TRUE;
        return true;
    }
    return false;
}

KestPage_ChooseConnection::KestPage_ChooseConnection(KestDialogWindow& owner)
    : KestPage(owner, kKestPageChooseConnection, IDD_KEST_PAGE_CHOOSE_CONNECTION) {}

KestPage_Restart::KestPage_Restart(KestDialogWindow& owner)
    : KestPage(owner, kKestPageRestart, IDD_KEST_PAGE_RESTART, IDC_RESTART_PICTURE) {}

KestPage_ChooseWavlo::KestPage_ChooseWavlo(KestDialogWindow& owner)
    : KestPage(owner, kKestPageChooseWavlo, IDD_KEST_PAGE_CHOOSE_WAVLO, IDC_WAVLO_PICTURE) {}

KestPage_ChooseStartupDisk::KestPage_ChooseStartupDisk(KestDialogWindow& owner)
    : KestPage(owner, kKestPageChooseStartupDisk, IDD_KEST_PAGE_CHOOSE_STARTUP,
               IDC_STARTUP_PICTURE) {}

KestPage_Diags::KestPage_Diags(KestDialogWindow& owner)
    : KestPage(owner, kKestPageDiags, IDD_KEST_PAGE_DIAGS) {}

KestPage_Install::KestPage_Install(KestDialogWindow& owner)
    : KestPage(owner, kKestPageInstall, IDD_KEST_PAGE_INSTALL) {}
