// kest-languages: checks one language of the wizard's resources in
// Tamsor.exe against English, under wine, the way the program meets them.
//
//   kest-languages.exe TAMSOR.EXE LANGID [--verbose]   (with that language's LC_ALL)
//
// It checks that every dialog template and string exists in exactly the
// seventeen languages; that the language has every dialog with the same
// controls as English, every text filled and translated, every string with
// the same format directives and the right picture name; that the process
// picks that language by itself (LoadStringW and FindResourceW without a
// language give the language's own resources); and that every static text,
// button and check box fits its control at the template's font, also with
// the texts the wizard puts into controls at run time. It does not look at
// the pictures' pixels or at the wording itself.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "KestResourceIds.h"

namespace {

constexpr LANGID kEnglish = 1033;
constexpr LANGID kLanguages[] = {1028, 1030, 1031, 1033, 1035, 1036, 1040, 1041, 1042,
                                 1043, 1044, 1045, 1049, 1053, 2052, 2070, 3082};
constexpr int kDialogs[] = {IDD_KEST_DIALOG, IDD_KEST_PAGE_INTRO, IDD_KEST_PAGE_CHOOSE_DISK,
                            IDD_KEST_PAGE_CHOOSE_CONNECTION, IDD_KEST_PAGE_RESTART,
                            IDD_KEST_PAGE_CHOOSE_WAVLO, IDD_KEST_PAGE_CHOOSE_STARTUP,
                            IDD_KEST_PAGE_DIAGS, IDD_KEST_PAGE_INSTALL, IDD_WAIT_FOR_DISK};
constexpr int kPages[] = {IDD_KEST_PAGE_INTRO, IDD_KEST_PAGE_CHOOSE_DISK,
                          IDD_KEST_PAGE_CHOOSE_CONNECTION, IDD_KEST_PAGE_RESTART,
                          IDD_KEST_PAGE_CHOOSE_WAVLO, IDD_KEST_PAGE_CHOOSE_STARTUP,
                          IDD_KEST_PAGE_DIAGS, IDD_KEST_PAGE_INSTALL};
constexpr int kFirstString = IDS_KEST_APP_NAME;
constexpr int kLastString = IDS_KEST_IMAGE_NAME_FORMAT;
// A disc name as the installer sends it, for the texts that quote one.
constexpr const wchar_t* kDiscName = L"Orvane Install Disc 2";
// The wait dialog's body when the wizard enlarges it (pixels).
constexpr int kEnlargedBodyHeight = 70;
// Names and words that a translation may leave as they are.
constexpr const wchar_t* kMayStayEnglish[] = {L"Tamsor", L"Wavlo", L"Ethernet", L"OK",
                                              L"Verin Hardware Test", L"Introduction",
                                              L"<title>"};

int gProblems = 0;
LANGID gLanguage = 0;
bool gVerbose = false;

// Lines go out as UTF-8: the C runtime's wide output stops at the first
// character outside the console's code page.
void Print(const wchar_t* format, va_list args) {
    wchar_t line[4096];
    _vsnwprintf(line, 4096, format, args);
    line[4095] = L'\0';
    int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes.data(), size, nullptr, nullptr);
    fwrite(bytes.c_str(), 1, strlen(bytes.c_str()), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void Problem(const wchar_t* format, ...) {
    fprintf(stdout, "FAILED (%u): ", gLanguage);
    va_list args;
    va_start(args, format);
    Print(format, args);
    va_end(args);
    ++gProblems;
}

void Note(const wchar_t* format, ...) {
    if (!gVerbose) return;
    va_list args;
    va_start(args, format);
    Print(format, args);
    va_end(args);
}

// Reads string `id` of one language straight from its string-table block,
// as LoadStringW would for that language.
bool ReadString(HMODULE module, int id, LANGID language, std::wstring* out) {
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(module, found);
    auto* at = static_cast<const WCHAR*>(LockResource(loaded));
    if (at == nullptr) return false;
    const WCHAR* end = at + SizeofResource(module, found) / sizeof(WCHAR);
    for (int index = 0; index < id % 16; ++index) {
        if (at >= end) return false;
        at += 1 + *at;
    }
    if (at >= end || at + 1 + *at > end) return false;
    out->assign(at + 1, *at);
    return true;
}

const DLGTEMPLATE* Template(HMODULE module, int id, LANGID language) {
    HRSRC found = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), language);
    if (found == nullptr) return nullptr;
    return static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(module, found)));
}

// The printf directives of a text, in order ("%d", "%s", "%1$@" ...).
std::vector<std::wstring> Directives(const std::wstring& text) {
    std::vector<std::wstring> found;
    for (size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%', at)) {
        size_t end = text.find_first_of(L"dsi@%", at + 1);
        if (end == std::wstring::npos) break;
        found.push_back(text.substr(at, end - at + 1));
        at = end + 1;
    }
    return found;
}

bool MayStayEnglish(const std::wstring& text) {
    return std::any_of(std::begin(kMayStayEnglish), std::end(kMayStayEnglish),
                       [&](const wchar_t* word) { return text == word; });
}

INT_PTR CALLBACK QuietProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// One dialog template of one language, created hidden. Pages need a parent;
// they get the wizard of their language, as in the program.
struct Dialog {
    HWND window = nullptr;
    Dialog(HMODULE module, int id, LANGID language, HWND parent) {
        if (const DLGTEMPLATE* data = Template(module, id, language)) {
            window = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), data, parent,
                                                QuietProc, 0);
        }
    }
    ~Dialog() {
        if (window != nullptr) DestroyWindow(window);
    }
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;
};

std::wstring TextOf(HWND window) {
    wchar_t buffer[2048];
    int length = GetWindowTextW(window, buffer, 2048);
    return std::wstring(buffer, length > 0 ? length : 0);
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[64];
    int length = GetClassNameW(window, buffer, 64);
    return std::wstring(buffer, length > 0 ? length : 0);
}

struct Control {
    int id;
    std::wstring className;
    RECT rect;
    std::wstring text;
    HWND window;
};

std::vector<Control> ControlsOf(HWND dialog) {
    std::vector<Control> controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rect{};
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
        controls.push_back({GetDlgCtrlID(child), ClassOf(child), rect, TextOf(child), child});
    }
    return controls;
}

// Measures `text` in `control` with its own font (bold when asked, as the
// wizard makes its two titles) and reports it when it does not fit: statics
// wrap within their width and must not grow past their height; buttons,
// check boxes and radio buttons hold one line.
void CheckFits(int dialogId, HWND control, const std::wstring& text, bool bold,
               int height = 0) {
    if (text.empty()) return;
    RECT box{};
    GetClientRect(control, &box);
    int width = box.right;
    if (height == 0) height = box.bottom;
    LONG style = GetWindowLongW(control, GWL_STYLE);
    bool isButton = ClassOf(control) == L"Button";
    int kind = style & BS_TYPEMASK;
    if (isButton) {
        if (kind == BS_AUTOCHECKBOX || kind == BS_CHECKBOX || kind == BS_AUTORADIOBUTTON ||
            kind == BS_RADIOBUTTON) {
            width -= GetSystemMetrics(SM_CXMENUCHECK) + 4;  // the box and its gap
        } else {
            width -= 2 * (GetSystemMetrics(SM_CXEDGE) + 2);  // the frame and focus rectangle
        }
    }

    HDC dc = GetDC(control);
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    HFONT boldFont = nullptr;
    if (bold && font != nullptr) {
        LOGFONTW description{};
        GetObjectW(font, sizeof description, &description);
        description.lfWeight = FW_BOLD;
        boldFont = CreateFontIndirectW(&description);
    }
    HGDIOBJ old = SelectObject(dc, boldFont != nullptr ? boldFont : font);
    RECT need{0, 0, width, 0};
    UINT format = DT_CALCRECT | DT_EXPANDTABS | DT_NOPREFIX;
    format |= isButton ? DT_SINGLELINE : DT_WORDBREAK;
    DrawTextW(dc, text.c_str(), -1, &need, format);
    SelectObject(dc, old);
    if (boldFont != nullptr) DeleteObject(boldFont);
    ReleaseDC(control, dc);

    Note(L"dialog %d control %d: %ldx%ld of %dx%d px: %ls", dialogId, GetDlgCtrlID(control),
         need.right, need.bottom, width, height, text.c_str());
    if (need.right > width || need.bottom > height) {
        Problem(L"dialog %d control %d: \"%ls\" needs %ldx%ld px, has %dx%d", dialogId,
                GetDlgCtrlID(control), text.c_str(), need.right, need.bottom, width, height);
    }
}

// A string with the disc name in place of its "%s".
std::wstring Formatted(HMODULE module, int id, LANGID language) {
    std::wstring text;
    ReadString(module, id, language, &text);
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos) text.replace(at, 2, kDiscName);
    return text;
}

void CheckLanguagesPresent(HMODULE module) {
    auto collect = [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) -> BOOL {
        reinterpret_cast<std::vector<LANGID>*>(param)->push_back(language);
        return TRUE;
    };
    std::vector<LANGID> expected(std::begin(kLanguages), std::end(kLanguages));
    auto check = [&](LPCWSTR type, int id, const wchar_t* what) {
        std::vector<LANGID> found;
        EnumResourceLanguagesW(module, type, MAKEINTRESOURCEW(id), collect,
                               reinterpret_cast<LONG_PTR>(&found));
        std::sort(found.begin(), found.end());
        if (found != expected) {
            Problem(L"%ls %d exists in %u languages, not in exactly the seventeen", what, id,
                    static_cast<unsigned>(found.size()));
        }
    };
    for (int id : kDialogs) check(RT_DIALOG, id, L"dialog");
    for (int block = kFirstString / 16 + 1; block <= kLastString / 16 + 1; ++block) {
        check(RT_STRING, block, L"string block");
    }
}

void CheckStrings(HMODULE module) {
    for (int id = kFirstString; id <= kLastString; ++id) {
        std::wstring english, text;
        if (!ReadString(module, id, kEnglish, &english) || !ReadString(module, id, gLanguage, &text) ||
            text.empty()) {
            Problem(L"string %d is missing", id);
            continue;
        }
        std::vector<std::wstring> want = Directives(english), have = Directives(text);
        // Numbered directives may change their order.
        if (english.find(L'$') != std::wstring::npos) {
            std::sort(want.begin(), want.end());
            std::sort(have.begin(), have.end());
        }
        if (want != have) Problem(L"string %d: \"%ls\" changes the format directives", id, text.c_str());
        if (id == IDS_KEST_RESTART_PICTURE) {
            WORD primary = PRIMARYLANGID(gLanguage);
            bool optionKey = gLanguage == kEnglish || primary == LANG_JAPANESE ||
                             primary == LANG_KOREAN || primary == LANG_CHINESE;
            const wchar_t* picture = optionKey ? L"" KEST_PNG_RESTART : L"" KEST_PNG_RESTART_ALT;
            if (text != picture) Problem(L"string %d is \"%ls\", not %ls", id, text.c_str(), picture);
            if (FindResourceW(module, text.c_str(), L"" KEST_PNG_TYPE) == nullptr) {
                Problem(L"string %d names the missing picture \"%ls\"", id, text.c_str());
            }
        } else if (gLanguage != kEnglish && text == english && id != IDS_KEST_APP_NAME &&
                   id != IDS_KEST_IMAGE_NAME_FORMAT) {
            Problem(L"string %d is still English: \"%ls\"", id, text.c_str());
        }
        // The process must have picked this language by itself.
        wchar_t loaded[2048];
        int length = LoadStringW(module, id, loaded, 2048);
        if (std::wstring(loaded, length > 0 ? length : 0) != text) {
            Problem(L"LoadStringW(%d) does not give this language's text", id);
        }
    }
    for (int id : kDialogs) {
        if (FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG) !=
            FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), gLanguage)) {
            Problem(L"dialog %d: FindResourceW does not pick this language", id);
        }
    }
}

// Same controls as English, every text filled and translated.
void CompareWithEnglish(int id, HWND english, HWND translated) {
    std::wstring caption = TextOf(translated), englishCaption = TextOf(english);
    if (caption.empty() != englishCaption.empty() ||
        (gLanguage != kEnglish && caption == englishCaption && !caption.empty() &&
         !MayStayEnglish(caption))) {
        Problem(L"dialog %d: caption \"%ls\"", id, caption.c_str());
    }
    std::vector<Control> want = ControlsOf(english), have = ControlsOf(translated);
    if (want.size() != have.size()) {
        Problem(L"dialog %d has %u controls, English %u", id,
                static_cast<unsigned>(have.size()), static_cast<unsigned>(want.size()));
        return;
    }
    for (size_t i = 0; i < want.size(); ++i) {
        const Control& a = want[i];
        const Control& b = have[i];
        if (a.id != b.id || a.className != b.className || !EqualRect(&a.rect, &b.rect)) {
            Problem(L"dialog %d: control %u differs from English (id %d, %ls)", id,
                    static_cast<unsigned>(i), b.id, b.className.c_str());
        } else if (a.text.empty() != b.text.empty() ||
                   (gLanguage != kEnglish && !a.text.empty() && a.text == b.text &&
                    !MayStayEnglish(a.text))) {
            Problem(L"dialog %d control %d: text \"%ls\"", id, b.id, b.text.c_str());
        }
    }
}

void CheckDialogs(HMODULE module) {
    Dialog englishWizard(module, IDD_KEST_DIALOG, kEnglish, nullptr);
    Dialog wizard(module, IDD_KEST_DIALOG, gLanguage, nullptr);
    if (englishWizard.window == nullptr || wizard.window == nullptr) {
        Problem(L"dialog %d cannot be created", IDD_KEST_DIALOG);
        return;
    }
    auto text = [&](int id) {
        std::wstring value;
        ReadString(module, id, gLanguage, &value);
        return value;
    };

    for (int id : kDialogs) {
        HWND parent = id == IDD_KEST_DIALOG || id == IDD_WAIT_FOR_DISK ? nullptr : wizard.window;
        HWND englishParent = parent == nullptr ? nullptr : englishWizard.window;
        Dialog english(module, id, kEnglish, englishParent);
        Dialog translated(module, id, gLanguage, parent);
        if (english.window == nullptr || translated.window == nullptr) {
            Problem(L"dialog %d cannot be created", id);
            continue;
        }
        CompareWithEnglish(id, english.window, translated.window);

        for (const Control& control : ControlsOf(translated.window)) {
            bool bold = control.id == IDC_KEST_TITLE || control.id == IDC_WAIT_TITLE;
            if (control.id != IDC_KEST_TITLE) CheckFits(id, control.window, control.text, bold);
        }
        // The texts that the wizard and its controller put into controls.
        auto fits = [&](int controlId, const std::wstring& value, bool bold, int height = 0) {
            HWND control = GetDlgItem(translated.window, controlId);
            if (control == nullptr) {
                Problem(L"dialog %d has no control %d", id, controlId);
                return;
            }
            CheckFits(id, control, value, bold, height);
        };
        switch (id) {
        case IDD_KEST_DIALOG:
            for (int page : kPages) {
                Dialog pageDialog(module, page, gLanguage, translated.window);
                if (pageDialog.window != nullptr) {
                    fits(IDC_KEST_TITLE, TextOf(pageDialog.window), true);
                }
            }
            fits(IDC_KEST_CONTINUE, text(IDS_KEST_CONTINUE), false);
            fits(IDC_KEST_CONTINUE, text(IDS_KEST_QUIT), false);
            break;
        case IDD_KEST_PAGE_INTRO:
            fits(IDC_INTRO_TEXT, text(IDS_KEST_INTRO), false);
            break;
        case IDD_KEST_PAGE_CHOOSE_CONNECTION:
            fits(IDC_CONNECTION_TEXT, text(IDS_KEST_CONNECTION), false);
            break;
        case IDD_KEST_PAGE_RESTART:
            fits(IDC_RESTART_TEXT, text(IDS_KEST_RESTART), false);
            break;
        case IDD_KEST_PAGE_INSTALL:
            for (int status : {IDS_KEST_WAIT_STARTUP, IDS_KEST_WAIT_INSTALLER,
                               IDS_KEST_INSTALL_FAILED, IDS_KEST_INSTALL_SUCCEEDED}) {
                fits(IDC_INSTALL_STATUS, text(status), false);
            }
            fits(IDC_INSTALL_STATUS, Formatted(module, IDS_KEST_WAIT_DISC, gLanguage), false);
            fits(IDC_INSTALL_REMAINING, text(IDS_KEST_MAY_QUIT), false);
            fits(IDC_INSTALL_REMAINING, text(IDS_KEST_SEE_INSTALLER), false);
            break;
        case IDD_WAIT_FOR_DISK:
            fits(IDC_WAIT_TITLE, Formatted(module, IDS_KEST_INSERT_DISC_TITLE, gLanguage), true);
            fits(IDC_WAIT_BODY, text(IDS_KEST_INSERT_DISC_BODY), false);
            fits(IDC_WAIT_TITLE, text(IDS_KEST_EJECT_FAILED_TITLE), true);
            fits(IDC_WAIT_BODY, Formatted(module, IDS_KEST_EJECT_FAILED_BODY, gLanguage), false,
                 kEnlargedBodyHeight);
            break;
        default:
            break;
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The line that tells cmake/wine-ctest.sh that wine started us.
    printf("tamsor-test: started kest-languages\n");
    fflush(stdout);
    gVerbose = argc == 4 && wcscmp(argv[3], L"--verbose") == 0;
    if (argc != 3 && !gVerbose) {
        fwprintf(stderr, L"usage: kest-languages TAMSOR.EXE LANGID [--verbose]\n");
        return 2;
    }
    gLanguage = static_cast<LANGID>(wcstoul(argv[2], nullptr, 10));
    if (std::find(std::begin(kLanguages), std::end(kLanguages), gLanguage) == std::end(kLanguages)) {
        fwprintf(stderr, L"kest-languages: %ls is not one of the wizard's languages\n", argv[2]);
        return 2;
    }
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                                     ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    HMODULE module = LoadLibraryExW(argv[1], nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        fwprintf(stderr, L"kest-languages: cannot load %ls (%lu)\n", argv[1], GetLastError());
        return 2;
    }
    CheckLanguagesPresent(module);
    CheckStrings(module);
    CheckDialogs(module);
    FreeLibrary(module);
    printf("language %u: %d problem(s)\n", gLanguage, gProblems);
    return gProblems == 0 ? 0 : 1;
}
