// kest-driver: drives the wizard from outside, as a person would, for the
// GUI test. It runs in the same wine prefix as Tamsor.exe, reads one command
// per line on stdin and answers exactly one line on stdout ("ok ...",
// "none" or "error ..."), so a single process serves a whole test.
//
// It only finds windows, reads their state and posts input to them; it
// never waits on the wizard without a time-out (sent messages use
// SendMessageTimeoutW), so a wizard that hangs or vanishes gives an error
// line, not a stuck driver. Texts are written as UTF-8 with backslash,
// newline and tab escaped as \\, \n and \t, so every answer stays one line.
//
// Commands (ID is a control id in decimal; 0 names the wizard itself):
//   wait-window TIMEOUT_MS      find the wizard (a "Tamsor" #32770 with a
//                               Continue button): "ok PID" or "none"
//   wait-gone TIMEOUT_MS        "ok" once the wizard window is gone
//   window-count                number of wizard windows on the desktop
//   text|visible|enabled|checked ID
//   rect ID                     screen rectangle "ok L T R B"
//   click ID                    posts BM_CLICK to the control
//   set-check ID 0|1            BM_SETCHECK
//   progress                    "ok POS MARQUEE" of progress bar 1055
//   list-items | list-selected | list-select N | list-click-empty
//   msgbox TIMEOUT_MS           "ok CAPTION\tTEXT" of a message box, or "none"
//   msgbox-answer yes|no|ok
//   wait-dialog TIMEOUT_MS      "ok TITLE\tBODY\tHEIGHT" of the wait-for-disc
//                               dialog, or "none"
//   wait-dialog-ok
//   hold-alt 1|0                Alt key down or up (SendInput)
//   focus                       "ok ID\tCLASS" of the focused control, or "none"
//   key VK                      WM_KEYDOWN/UP of VK (decimal) to the focus
//   device-change arrival|removal
//   close                       the window's close request
//   quit
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kListId = 1042;
constexpr int kProgressId = 1055;
constexpr int kContinueId = 1034;
constexpr int kWaitTitleId = 1023;
constexpr int kWaitBodyId = 1024;
constexpr int kMessageTextId = 0xFFFF;
constexpr UINT kSendTimeoutMs = 3000;
constexpr DWORD kPollMs = 50;

HWND gWizard = nullptr;
DWORD gWizardProcess = 0;

void Reply(const std::string& line) {
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            size, nullptr, nullptr);
    }
    return out;
}

// One answer per line: escape what would break the line.
std::string Escaped(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c != '\r') out += c;
    }
    return out;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// The text through WM_GETTEXT, which reads other processes' controls too.
std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &length)) {
        return L"";
    }
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied);
    return std::wstring(buffer.data());
}

struct ChildSearch {
    int id;
    HWND visible;
    HWND any;
};

BOOL CALLBACK FindChild(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<ChildSearch*>(context);
    if ((GetDlgCtrlID(window) & 0xFFFF) != search->id) return TRUE;
    if (search->any == nullptr) search->any = window;
    if (IsWindowVisible(window)) {
        search->visible = window;
        return FALSE;
    }
    return TRUE;
}

// A control anywhere under `root`: the pages reuse no ids, but a hidden page
// and the shown one could, so the visible one wins.
HWND Control(HWND root, int id) {
    if (root == nullptr || !IsWindow(root)) return nullptr;
    if (id == 0) return root;
    ChildSearch search{id, nullptr, nullptr};
    EnumChildWindows(root, FindChild, reinterpret_cast<LPARAM>(&search));
    return search.visible != nullptr ? search.visible : search.any;
}

enum class Kind { Wizard, MessageBox, WaitDialog, Other };

Kind KindOf(HWND window) {
    if (ClassOf(window) != L"#32770") return Kind::Other;
    if (Control(window, kContinueId) != nullptr) return Kind::Wizard;
    if (Control(window, kWaitTitleId) != nullptr && Control(window, kWaitBodyId) != nullptr) {
        return Kind::WaitDialog;
    }
    HWND text = Control(window, kMessageTextId);
    if (text != nullptr && ClassOf(text) == L"Static") return Kind::MessageBox;
    return Kind::Other;
}

struct TopSearch {
    Kind kind;
    DWORD process;  // 0: any
    std::vector<HWND> found;
};

BOOL CALLBACK FindTop(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<TopSearch*>(context);
    if (!IsWindowVisible(window)) return TRUE;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (search->process != 0 && process != search->process) return TRUE;
    if (KindOf(window) == search->kind) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopWindows(Kind kind, DWORD process) {
    TopSearch search{kind, process, {}};
    EnumWindows(FindTop, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Wizards() {
    std::vector<HWND> wizards;
    for (HWND window : TopWindows(Kind::Wizard, 0)) {
        if (TextOf(window) == L"Tamsor") wizards.push_back(window);
    }
    return wizards;
}

// Polls until a window of that kind belonging to the wizard's process shows.
HWND WaitTop(Kind kind, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> found = TopWindows(kind, gWizardProcess);
        if (!found.empty()) return found.front();
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(kPollMs);
    }
}

bool WizardAlive() { return gWizard != nullptr && IsWindow(gWizard); }

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* ok) {
    DWORD_PTR result = 0;
    *ok = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                              &result) != 0;
    return static_cast<LRESULT>(result);
}

// Memory in the wizard's process for list-view messages that carry
// pointers; freed with the object.
class RemoteBuffer {
public:
    RemoteBuffer(DWORD process, size_t size) : size_(size) {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                               process);
        if (process_ != nullptr) {
            address_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                      PAGE_READWRITE);
        }
    }
    ~RemoteBuffer() {
        if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_ != nullptr) CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    bool valid() const { return address_ != nullptr; }
    char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
    bool write(size_t offset, const void* data, size_t length) const {
        SIZE_T done = 0;
        return offset + length <= size_ &&
               WriteProcessMemory(process_, at(offset), data, length, &done) && done == length;
    }
    bool read(size_t offset, void* data, size_t length) const {
        SIZE_T done = 0;
        return offset + length <= size_ &&
               ReadProcessMemory(process_, at(offset), data, length, &done) && done == length;
    }

private:
    HANDLE process_ = nullptr;
    void* address_ = nullptr;
    size_t size_;
};

constexpr size_t kTextChars = 1024;

std::string ListItems(HWND list) {
    bool ok = false;
    LRESULT count = Send(list, LVM_GETITEMCOUNT, 0, 0, &ok);
    if (!ok) return "error list does not answer";
    RemoteBuffer remote(gWizardProcess, sizeof(LVITEMW) + kTextChars * sizeof(wchar_t));
    if (!remote.valid()) return "error no memory in the wizard's process";
    std::string line = "ok " + std::to_string(count);
    for (LRESULT i = 0; i < count; ++i) {
        LVITEMW item{};
        item.iSubItem = 0;
        item.pszText = reinterpret_cast<wchar_t*>(remote.at(sizeof(LVITEMW)));
        item.cchTextMax = kTextChars;
        std::vector<wchar_t> text(kTextChars, L'\0');
        if (!remote.write(0, &item, sizeof item) ||
            !remote.write(sizeof(LVITEMW), text.data(), sizeof(wchar_t))) {
            return "error cannot write to the wizard's process";
        }
        Send(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(remote.at(0)), &ok);
        if (!ok || !remote.read(sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t))) {
            return "error cannot read item " + std::to_string(i);
        }
        text.back() = L'\0';
        line += "\t" + Escaped(text.data());
    }
    return line;
}

// LVM_SETITEMSTATE as a click would: index -1 names every item.
std::string SetListState(HWND list, int index, UINT state, UINT mask) {
    RemoteBuffer remote(gWizardProcess, sizeof(LVITEMW));
    if (!remote.valid()) return "error no memory in the wizard's process";
    LVITEMW item{};
    item.stateMask = mask;
    item.state = state;
    if (!remote.write(0, &item, sizeof item)) return "error cannot write to the wizard's process";
    bool ok = false;
    LRESULT result = Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(remote.at(0)), &ok);
    if (!ok) return "error list does not answer";
    return result ? "ok" : "error LVM_SETITEMSTATE failed";
}

void SendKey(WORD key, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

// The control with the keyboard focus in the window's thread, or null.
HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Strict decimal (negative allowed); false for anything else.
bool Number(const std::vector<std::string>& words, size_t index, long* value) {
    if (index >= words.size()) return false;
    char* end = nullptr;
    *value = strtol(words[index].c_str(), &end, 10);
    return end != words[index].c_str() && *end == '\0';
}

std::string Run(const std::vector<std::string>& words) {
    const std::string& command = words[0];
    long number = 0;

    if (command == "wait-window") {
        if (!Number(words, 1, &number)) return "error usage: wait-window TIMEOUT_MS";
        DWORD start = GetTickCount();
        for (;;) {
            std::vector<HWND> wizards = Wizards();
            if (!wizards.empty()) {
                gWizard = wizards.front();
                GetWindowThreadProcessId(gWizard, &gWizardProcess);
                return "ok " + std::to_string(gWizardProcess);
            }
            if (GetTickCount() - start >= static_cast<DWORD>(number)) return "none";
            Sleep(kPollMs);
        }
    }
    if (command == "window-count") return "ok " + std::to_string(Wizards().size());
    if (command == "wait-gone") {
        if (!Number(words, 1, &number)) return "error usage: wait-gone TIMEOUT_MS";
        DWORD start = GetTickCount();
        while (WizardAlive()) {
            if (GetTickCount() - start >= static_cast<DWORD>(number)) return "none";
            Sleep(kPollMs);
        }
        return "ok";
    }
    if (command == "hold-alt") {
        if (!Number(words, 1, &number)) return "error usage: hold-alt 1|0";
        SendKey(VK_MENU, number == 0);
        return "ok";
    }

    // Everything below needs the wizard.
    if (!WizardAlive()) return "error no wizard window";

    if (command == "text" || command == "visible" || command == "enabled" ||
        command == "checked" || command == "rect" || command == "click" ||
        command == "set-check") {
        if (!Number(words, 1, &number)) return "error usage: " + command + " ID";
        HWND control = Control(gWizard, static_cast<int>(number));
        if (control == nullptr) return "error no control " + words[1];
        if (command == "text") return "ok " + Escaped(TextOf(control));
        if (command == "visible") return IsWindowVisible(control) ? "ok 1" : "ok 0";
        if (command == "enabled") return IsWindowEnabled(control) ? "ok 1" : "ok 0";
        if (command == "rect") {
            RECT r{};
            GetWindowRect(control, &r);
            return "ok " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                   std::to_string(r.right) + " " + std::to_string(r.bottom);
        }
        if (command == "checked") {
            bool ok = false;
            LRESULT state = Send(control, BM_GETCHECK, 0, 0, &ok);
            if (!ok) return "error control does not answer";
            return state == BST_CHECKED ? "ok 1" : "ok 0";
        }
        if (command == "click") {
            // Posted: a sent click would block while a modal box it opens is up.
            return PostMessageW(control, BM_CLICK, 0, 0) ? "ok" : "error PostMessage failed";
        }
        long check = 0;
        if (!Number(words, 2, &check)) return "error usage: set-check ID 0|1";
        bool ok = false;
        Send(control, BM_SETCHECK, check ? BST_CHECKED : BST_UNCHECKED, 0, &ok);
        return ok ? "ok" : "error control does not answer";
    }
    if (command == "progress") {
        HWND bar = Control(gWizard, kProgressId);
        if (bar == nullptr) return "error no progress bar";
        bool ok = false;
        LRESULT position = Send(bar, PBM_GETPOS, 0, 0, &ok);
        if (!ok) return "error progress bar does not answer";
        bool marquee = (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
        return "ok " + std::to_string(position) + (marquee ? " 1" : " 0");
    }
    if (command.rfind("list-", 0) == 0) {
        HWND list = Control(gWizard, kListId);
        if (list == nullptr) return "error no list";
        if (command == "list-items") return ListItems(list);
        if (command == "list-selected") {
            bool ok = false;
            LRESULT index = Send(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED, &ok);
            return ok ? "ok " + std::to_string(index) : "error list does not answer";
        }
        if (command == "list-select") {
            if (!Number(words, 1, &number)) return "error usage: list-select N";
            std::string cleared = SetListState(list, -1, 0, LVIS_SELECTED);
            if (cleared != "ok") return cleared;
            return SetListState(list, static_cast<int>(number), LVIS_SELECTED | LVIS_FOCUSED,
                                LVIS_SELECTED | LVIS_FOCUSED);
        }
        if (command == "list-click-empty") return SetListState(list, -1, 0, LVIS_SELECTED);
        return "error unknown command " + command;
    }
    if (command == "msgbox" || command == "wait-dialog") {
        if (!Number(words, 1, &number)) return "error usage: " + command + " TIMEOUT_MS";
        bool message = command == "msgbox";
        HWND box = WaitTop(message ? Kind::MessageBox : Kind::WaitDialog,
                           static_cast<DWORD>(number));
        if (box == nullptr) return "none";
        if (message) {
            return "ok " + Escaped(TextOf(box)) + "\t" +
                   Escaped(TextOf(Control(box, kMessageTextId)));
        }
        RECT r{};
        GetWindowRect(box, &r);
        return "ok " + Escaped(TextOf(Control(box, kWaitTitleId))) + "\t" +
               Escaped(TextOf(Control(box, kWaitBodyId))) + "\t" + std::to_string(r.bottom - r.top);
    }
    if (command == "msgbox-answer" || command == "wait-dialog-ok") {
        bool message = command == "msgbox-answer";
        int button = IDOK;
        if (message) {
            std::string answer = words.size() > 1 ? words[1] : "";
            if (answer == "yes") button = IDYES;
            else if (answer == "no") button = IDNO;
            else if (answer != "ok") return "error usage: msgbox-answer yes|no|ok";
        }
        HWND box = WaitTop(message ? Kind::MessageBox : Kind::WaitDialog, 0);
        if (box == nullptr) return "error no such window";
        HWND control = GetDlgItem(box, button);
        if (control == nullptr) return "error no such button";
        return PostMessageW(control, BM_CLICK, 0, 0) ? "ok" : "error PostMessage failed";
    }
    if (command == "focus") {
        HWND focus = FocusOf(gWizard);
        if (focus == nullptr) return "none";
        return "ok " + std::to_string(GetDlgCtrlID(focus) & 0xFFFF) + "\t" + Escaped(ClassOf(focus));
    }
    if (command == "key") {
        if (!Number(words, 1, &number)) return "error usage: key VK";
        // The dialog's own loop sees it as typed into the focused control.
        HWND target = FocusOf(gWizard);
        if (target == nullptr) target = gWizard;
        UINT scan = MapVirtualKeyW(static_cast<UINT>(number), MAPVK_VK_TO_VSC);
        PostMessageW(target, WM_KEYDOWN, static_cast<WPARAM>(number), 1 | (scan << 16));
        PostMessageW(target, WM_KEYUP, static_cast<WPARAM>(number),
                     1 | (scan << 16) | (3u << 30));
        return "ok";
    }
    if (command == "device-change") {
        std::string kind = words.size() > 1 ? words[1] : "";
        WPARAM event = 0;
        if (kind == "arrival") event = DBT_DEVICEARRIVAL;
        else if (kind == "removal") event = DBT_DEVICEREMOVECOMPLETE;
        else return "error usage: device-change arrival|removal";
        DEV_BROADCAST_VOLUME volume{};
        volume.dbcv_size = sizeof volume;
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = 1u << ('D' - 'A');
        volume.dbcv_flags = DBTF_MEDIA;
        bool ok = false;
        Send(gWizard, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume), &ok);
        return ok ? "ok" : "error wizard does not answer";
    }
    if (command == "close") {
        return PostMessageW(gWizard, WM_SYSCOMMAND, SC_CLOSE, 0) ? "ok" : "error PostMessage failed";
    }
    return "error unknown command " + command;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::vector<std::string> words = Words(line);
        if (words.empty()) {
            Reply("error empty command");
            continue;
        }
        if (words[0] == "quit") {
            Reply("ok");
            break;
        }
        Reply(Run(words));
    }
    return 0;
}
