// The modal "insert a disc" dialog (template 150): the application icon, a
// bold title line, a body text and OK.
//
// Only OK (or end() from the wizard, when a disc appears) closes it; Escape
// and the close box are swallowed, because the wizard cannot go on without a
// disc. It decides nothing itself: the caller picks the texts.
#include "WaitForDiskDialog.h"

#include <string>

#include "KestGuiUtilities.h"
#include "KestResourceIds.h"

namespace {

// Extra height for the long texts (eject failed, another disc wanted).
constexpr int kEnlargeBy = 40;
constexpr int kEnlargedBodyHeight = 70;

// The child's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// Centres window on owner (on the screen when there is none), kept inside
// the work area of owner's monitor.
void CentreOn(HWND window, HWND owner) {
    RECT box{};
    GetWindowRect(window, &box);
    HMONITOR monitor = MonitorFromWindow(owner != nullptr ? owner : window,
                                         MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) return;
    RECT around = info.rcWork;
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
    int width = box.right - box.left;
    int height = box.bottom - box.top;
    int x = around.left + (around.right - around.left - width) / 2;
    int y = around.top + (around.bottom - around.top - height) / 2;
    const RECT& work = info.rcWork;
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The height the control's text needs at its width and font, in pixels;
// and the height of one line.
int TextHeight(HWND control, int* lineHeight) {
    int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(length));
    RECT rect = ChildRect(control);
    RECT measure{0, 0, rect.right - rect.left, 0};
    HDC context = GetDC(control);
    if (context == nullptr) return 0;
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? SelectObject(context, font) : nullptr;
    TEXTMETRICW metrics{};
    GetTextMetricsW(context, &metrics);
    *lineHeight = metrics.tmHeight;
    DrawTextW(context, text.c_str(), length, &measure,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    if (previous != nullptr) SelectObject(context, previous);
    ReleaseDC(control, context);
    return measure.bottom - measure.top;
}

void MoveBy(HWND control, int dy) {
    RECT rect = ChildRect(control);
    SetWindowPos(control, nullptr, rect.left, rect.top + dy, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void GrowBy(HWND window, int dy) {
    RECT rect{};
    GetWindowRect(window, &rect);
    SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// A title or body longer than its box (a long disc name, a long
// translation) gets the room it needs: the texts below it, OK and the
// dialog move down rather than the text being cut off. A title of more than
// one line keeps half a line of space above the body.
void FitTexts(HWND window) {
    HWND title = GetDlgItem(window, IDC_WAIT_TITLE);
    HWND body = GetDlgItem(window, IDC_WAIT_BODY);
    HWND ok = GetDlgItem(window, IDOK);
    if (title == nullptr || body == nullptr) return;
    int line = 0;
    int needed = TextHeight(title, &line);
    if (needed > line) needed += line / 2;
    RECT box = ChildRect(title);
    int extra = needed - (box.bottom - box.top);
    if (extra > 0) {
        GrowBy(title, extra);
        MoveBy(body, extra);
    } else {
        extra = 0;
    }
    needed = TextHeight(body, &line);
    box = ChildRect(body);
    int bodyExtra = needed - (box.bottom - box.top);
    if (bodyExtra > 0) {
        GrowBy(body, bodyExtra);
        extra += bodyExtra;
    }
    if (extra <= 0) return;
    if (ok != nullptr) MoveBy(ok, extra);
    GrowBy(window, extra);
}

}  // namespace

WaitForDiskDialog::~WaitForDiskDialog() {
    if (boldFont_ != nullptr) DeleteObject(boldFont_);
}

void WaitForDiskDialog::setTexts(const std::wstring& title, const std::wstring& body,
                                 bool enlarge) {
    hasCustomText_ = true;
    titleText_ = title;
    bodyText_ = body;
    enlarge_ = enlarge;
}

INT_PTR WaitForDiskDialog::run(HWND owner) {
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr),
                                     MAKEINTRESOURCEW(IDD_WAIT_FOR_DISK), owner, Procedure,
                                     reinterpret_cast<LPARAM>(this));
    window_ = nullptr;
    // The window and its controls are gone; the bold font can go too.
    if (boldFont_ != nullptr) {
        DeleteObject(boldFont_);
        boldFont_ = nullptr;
    }
    return result;
}

void WaitForDiskDialog::end(INT_PTR result) {
    if (window_ != nullptr) EndDialog(window_, result);
}

INT_PTR CALLBACK WaitForDiskDialog::Procedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<WaitForDiskDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->initialise(window);
        return TRUE;
    }
    auto* self = reinterpret_cast<WaitForDiskDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EndDialog(window, IDOK);
        }
        // IDCANCEL (Escape, the close box) is swallowed.
        return TRUE;
    case WM_CLOSE:
        return TRUE;
    case WM_DESTROY:
        self->window_ = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

void WaitForDiskDialog::initialise(HWND window) {
    window_ = window;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // Shared icons: the system frees them.
    auto big = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KEST_APP),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_SHARED));
    auto small = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KEST_APP),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (big != nullptr) SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (small != nullptr)
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

    if (icon_.attach(window, IDC_WAIT_ICON)) {
        icon_.clearImage();
        auto icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KEST_APP),
                                                  IMAGE_ICON, 48, 48, LR_DEFAULTCOLOR));
        if (icon != nullptr) icon_.setIcon(icon);
    }
    makeBold(window, &boldFont_, IDC_WAIT_TITLE);

    if (hasCustomText_) {
        SetDlgItemTextW(window, IDC_WAIT_TITLE, titleText_.c_str());
        SetDlgItemTextW(window, IDC_WAIT_BODY, bodyText_.c_str());
    }
    if (enlarge_) {
        RECT box{};
        GetWindowRect(window, &box);
        SetWindowPos(window, nullptr, 0, 0, box.right - box.left,
                     box.bottom - box.top + kEnlargeBy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (HWND body = GetDlgItem(window, IDC_WAIT_BODY)) {
            RECT rect = ChildRect(body);
            SetWindowPos(body, nullptr, 0, 0, rect.right - rect.left, kEnlargedBodyHeight,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        if (HWND ok = GetDlgItem(window, IDOK)) {
            RECT rect = ChildRect(ok);
            SetWindowPos(ok, nullptr, rect.left, rect.top + kEnlargeBy, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    FitTexts(window);
    CentreOn(window, GetWindow(window, GW_OWNER));
}
