// Small helpers of the Windows wizard: string-table texts, bold fonts, the
// progress bar's modes, UTF-8 <-> UTF-16 at the window boundary, and the
// placement of the page container.
//
// Window texts are composed (NFC), as people type them and as fonts expect;
// HFS+ names arrive decomposed, so utf8ToText converts and then composes.
// Nothing here keeps state or decides what a page shows.
#include "KestGuiUtilities.h"

#include <commctrl.h>
#include <prsht.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "HFSNames.h"

std::wstring loadString(UINT stringId) {
    // Length 0 asks for a read-only pointer into the resource itself (the
    // entry is not NUL-terminated there).
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), stringId,
                             reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

void setItemText(HWND window, int itemId, UINT stringId) {
    HWND item = GetDlgItem(window, itemId);
    if (item == nullptr) return;
    SetWindowTextW(item, loadString(stringId).c_str());
}

std::wstring formatString(UINT stringId, ...) {
    std::wstring format = loadString(stringId);
    // The C runtime's own wide printf: "%s" is a wide string there, whatever
    // the ISO stdio option of the compiler redirects vswprintf to.
    va_list arguments;
    va_start(arguments, stringId);
    va_list measure;
    va_copy(measure, arguments);
    int length = _vscwprintf(format.c_str(), measure);
    va_end(measure);
    std::wstring result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length) + 1);
        int written = _vsnwprintf(result.data(), result.size(), format.c_str(), arguments);
        result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    }
    va_end(arguments);
    return result;
}

void makeBold(HWND window, HFONT* font, int itemId) {
    HWND item = GetDlgItem(window, itemId);
    if (item == nullptr || font == nullptr) return;
    HFONT current = reinterpret_cast<HFONT>(SendMessageW(item, WM_GETFONT, 0, 0));
    if (current == nullptr) current = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW description{};
    if (GetObjectW(current, sizeof description, &description) == 0) return;
    description.lfWeight = FW_BOLD;
    HFONT bold = CreateFontIndirectW(&description);
    if (bold == nullptr) return;
    SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(bold), TRUE);
    // The old bold font may be the one just read; free it only now.
    if (*font != nullptr) DeleteObject(*font);
    *font = bold;
}

void setMarquee(HWND progressBar, bool on) {
    if (progressBar == nullptr) return;
    LONG_PTR style = GetWindowLongPtrW(progressBar, GWL_STYLE);
    style = on ? (style | PBS_MARQUEE) : (style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
    SetWindowLongPtrW(progressBar, GWL_STYLE, style);
    SendMessageW(progressBar, PBM_SETMARQUEE, on ? TRUE : FALSE, 0);
    // Leaving the moving mode does not repaint the bar by itself.
    InvalidateRect(progressBar, nullptr, TRUE);
}

void setPercentRange(HWND progressBar) {
    if (progressBar != nullptr) SendMessageW(progressBar, PBM_SETRANGE32, 0, 100);
}

void setPosition(HWND progressBar, int position) {
    if (progressBar != nullptr) SendMessageW(progressBar, PBM_SETPOS, position, 0);
}

namespace {

// NFC of text; the text itself when the system cannot compose it.
std::wstring Composed(const std::wstring& text) {
    int size = NormalizeString(NormalizationC, text.data(), static_cast<int>(text.size()),
                               nullptr, 0);
    // The first answer is an estimate; retry while the system asks for more.
    for (int attempt = 0; size > 0 && attempt < 4; ++attempt) {
        std::wstring composed(static_cast<size_t>(size), L'\0');
        int written = NormalizeString(NormalizationC, text.data(),
                                      static_cast<int>(text.size()), composed.data(), size);
        if (written > 0) {
            composed.resize(static_cast<size_t>(written));
            return composed;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        size = -written;
        if (size <= 0) size = static_cast<int>(composed.size()) * 2;
    }
    return text;
}

}  // namespace

QxStatus utf8ToText(const char* utf8, std::wstring* out) {
    if (out == nullptr) return kStatusBadParameter;
    size_t length = utf8 != nullptr ? std::strlen(utf8) : 0;
    if (length == 0) {
        out->clear();
        return kStatusOK;
    }
    // One unit per byte at most, plus the terminator.
    std::vector<uint16_t> units;
    try {
        units.resize(length + 1);
    } catch (const std::bad_alloc&) {
        return kStatusNoMemory;
    }
    size_t written = 0;
    QxStatus status = Utf8ToHfsName(0, utf8, length, units.data(), units.size() * 2, &written);
    if (status != kStatusOK) return status;
    size_t count = written / 2;
    // The converter turns U+2400 into U+0000 (the HFS+ convention); a window
    // text would end there, so keep the character visible instead.
    for (size_t i = 0; i < count; ++i) {
        if (units[i] == 0) units[i] = 0x2400;
    }
    try {
        std::wstring text(reinterpret_cast<const wchar_t*>(units.data()), count);
        *out = Composed(text);
    } catch (const std::bad_alloc&) {
        return kStatusBadFormatSpec;
    }
    return kStatusOK;
}

QxStatus textToString(const std::wstring& text, QxLStringRef* out) {
    if (out == nullptr) return kStatusBadParameter;
    if (text.empty()) {
        *out = QxLObjectRetain(QXL_STR(""));
        return kStatusOK;
    }
    int units = static_cast<int>(text.size());
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return kStatusBadSize;
    std::string bytes;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return kStatusNoMemory;
    }
    size = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, bytes.data(), size, nullptr,
                               nullptr);
    if (size <= 0) return kStatusBadSize;
    QxLStringRef string = nullptr;
    if (QxLStringCreate(bytes.data(), size, &string) != kStatusOK) return kStatusNoMemory;
    *out = string;
    return kStatusOK;
}

QxStatus placeSheet(HWND dialog, HWND sheet, const RECT& rect) {
    if (sheet == nullptr) return kStatusBadParameter;
    RECT before{};
    GetWindowRect(sheet, &before);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int growWidth = width - (before.right - before.left);
    int growHeight = height - (before.bottom - before.top);
    // rect is in the dialog's client coordinates; so is a child's position.
    (void)dialog;
    MoveWindow(sheet, rect.left, rect.top, width, height, TRUE);

    HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    if (tab == nullptr) return kStatusNotFound;
    RECT tabRect{};
    GetWindowRect(tab, &tabRect);
    SetWindowPos(tab, nullptr, 0, 0, tabRect.right - tabRect.left + growWidth,
                 tabRect.bottom - tabRect.top + growHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return kStatusOK;
}
