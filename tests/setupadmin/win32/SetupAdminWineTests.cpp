// ZULSetupAdmin under wine's real Windows Installer, driven as its setup
// program would drive it: through zul-test-parent (pipes, event, answers).
// Scenarios: the Tamsor package installed through the pipes, its wizard
// started from Program Files, installed again on the installed product and
// uninstalled without a trace; a newer Tamsor package replacing it, and it
// refused over the newer one; the test package cancelled, failed by a parent
// that goes away, installed and failed on the product code; /extract with
// the fixture cabinet; /alt; /mon before /pid; handles that are not pipes;
// no cabinet; a second copy. Every install is undone (msiexec /x) so that
// a rerun starts from the same prefix.
#include <windows.h>

#include <msi.h>
#include <shlobj.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "KestResourceIds.h"

namespace {

std::string Windows(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string TempFolder() {
    char buffer[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, buffer);
    return buffer;
}

std::string ProgramFiles() {
    char buffer[MAX_PATH] = {};
    if (GetEnvironmentVariableA("ProgramW6432", buffer, MAX_PATH) == 0) return "C:\\Program Files";
    return buffer;
}

// The Start menu shortcut, for this user or for all of them.
bool HasShortcut() {
    for (int folder : {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}) {
        char path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathA(nullptr, folder, nullptr, 0, path)) &&
            GetFileAttributesA((std::string(path) + "\\Tamsor\\Tamsor.lnk").c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

std::string ProductCode(const char* file) { return ReadText(Windows(file)).substr(0, 38); }

bool HasValue(HKEY root, const char* key, const char* name) {
    return RegGetValueA(root, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// What the Tamsor package puts on the machine, all gone.
void ExpectNoTamsorLeft() {
    EXPECT_FALSE(Exists(ProgramFiles() + "\\Tamsor"));
    EXPECT_FALSE(HasShortcut());
    for (int folder : {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}) {
        char path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathA(nullptr, folder, nullptr, 0, path))) {
            EXPECT_FALSE(Exists(std::string(path) + "\\Tamsor")) << path;
        }
    }
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, "Software\\Tamsor", "StartMenuShortcut"));
}

struct Finished {
    DWORD exitCode = 0;
    DWORD pid = 0;
};

Finished Start(std::string commandLine, const char* folder = nullptr) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    Finished run;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return run;
    }
    run.pid = process.dwProcessId;
    WaitForSingleObject(process.hProcess, 240000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

void Uninstall(const std::string& code) {
    if (MsiQueryProductStateA(code.c_str()) == INSTALLSTATE_DEFAULT) Start("msiexec /x " + code + " /qn");
}

struct Message {
    unsigned type = 0;
    unsigned length = 0;
    std::string text;
};

// What zul-test-parent recorded.
struct Record {
    DWORD helperPid = 0;
    bool eventSet = false;
    std::vector<Message> messages;
    long exitCode = -1;
    std::string raw;  // the record as written, for failure messages

    bool Has(unsigned kind, const std::string& text) const {
        for (const Message& m : messages)
            if ((m.type & 0xFF000000u) == kind && m.text.find(text) != std::string::npos) return true;
        return false;
    }
};

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

Record RunParent(const std::string& helper, const std::string& parentOptions,
                 const std::string& helperArguments = "") {
    // A file of its own each run: a name reused at once can still be
    // pending deletion under wine when the next parent creates it.
    static int runs = 0;
    std::string record = TempFolder() + "zul-parent-record-" + std::to_string(++runs) + ".txt";
    DeleteFileA(record.c_str());
    Start("\"" + Windows(ZUL_PARENT) + "\" --helper \"" + Windows(helper) + "\" --record \"" + record +
          "\" " + parentOptions + " -- " + helperArguments);
    Record result;
    result.raw = ReadText(record);
    DeleteFileA(record.c_str());
    std::istringstream lines(result.raw);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // written in text mode
        std::istringstream fields(line);
        std::string word;
        fields >> word;
        if (word == "helper") fields >> result.helperPid;
        else if (word == "event") fields >> result.eventSet;
        else if (word == "exit") fields >> result.exitCode;
        else if (word == "message") {
            Message m;
            fields >> std::hex >> m.type >> std::dec >> m.length;
            std::getline(fields, m.text);
            if (!m.text.empty() && m.text[0] == ' ') m.text.erase(0, 1);
            m.text = Unescaped(m.text);
            result.messages.push_back(m);
        }
    }
    return result;
}

// A control of another process's window, found by its id, read by message.
HWND ControlOf(HWND window, int control) {
    std::pair<int, HWND> search{control, nullptr};
    EnumChildWindows(window, [](HWND child, LPARAM data) -> BOOL {
        auto* wanted = reinterpret_cast<std::pair<int, HWND>*>(data);
        if (GetDlgCtrlID(child) != wanted->first) return TRUE;
        wanted->second = child;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.second;
}

std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    DWORD_PTR length = 0;
    if (window == nullptr || !SendMessageTimeoutW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text),
                                                  SMTO_ABORTIFHUNG, 3000, &length))
        return {};
    return text;
}

// The installed wizard, started from its folder as the Start menu shortcut
// starts it, shows its first page: a title, Continue, no Go Back. Closing
// it ends it (no client is there to ask about).
void ExpectWizardStarts(const std::string& program) {
    std::string folder = program.substr(0, program.rfind('\\'));
    std::string line = "\"" + program + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                               &startup, &process))
        << line << ": " << GetLastError();
    // The dialog exists before it shows and fills.
    HWND wizard = nullptr;
    bool shown = false;
    for (int i = 0; i < 600 && !shown; ++i) {
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
        wizard = FindWindowW(L"#32770", L"Tamsor");
        DWORD owner = 0;
        if (wizard != nullptr) GetWindowThreadProcessId(wizard, &owner);
        shown = owner == process.dwProcessId && IsWindowVisible(wizard) &&
                ControlOf(wizard, IDC_KEST_CONTINUE) != nullptr;
    }
    EXPECT_TRUE(shown) << "no wizard window from " << program;
    if (shown) {
        EXPECT_FALSE(TextOf(ControlOf(wizard, IDC_KEST_TITLE)).empty());
        EXPECT_TRUE(IsWindowVisible(ControlOf(wizard, IDC_KEST_CONTINUE)));
        EXPECT_FALSE(IsWindowVisible(ControlOf(wizard, IDC_KEST_GO_BACK)));
        PostMessageW(wizard, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the wizard did not end when closed";
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::string LogOf(const char* base, DWORD pid) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%lX.log", base, pid);
    return TempFolder() + name;
}

// A log deleted while the installer's processes still hold it goes once
// they end.
bool GoneSoon(const std::string& path) {
    for (int i = 0; i < 100 && Exists(path); ++i) Sleep(100);
    return !Exists(path);
}

std::string ScratchFolder(const char* name) {
    std::string folder = TempFolder() + name;
    std::string pattern = folder + "\\*";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string file = folder + "\\" + found.cFileName;
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

// The unpacking folders in the temporary folder.
int UnpackFolders() {
    int count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((TempFolder() + "IXP*.TMP").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do ++count;
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return count;
}

// The fixture files of make-test-cabinet.py: size, local time, attributes.
struct Fixture {
    const char* name;
    DWORD size;
    WORD year, month, day, hour, minute, second;
    DWORD attributes;
};
const Fixture kFixtures[] = {
    {"readonly.txt", 37, 2001, 2, 3, 4, 5, 6, 0x21},
    {"hidden.bin", 4096, 2010, 7, 14, 12, 30, 0, 0x22},
    {"system.dat", 70001, 1999, 12, 31, 23, 59, 58, 0x24},
    {"plain.txt", 1, 2024, 6, 1, 8, 0, 0, 0x20},
};

void ExpectExtracted(const std::string& folder) {
    EXPECT_TRUE(Exists(folder + "\\ZulTest.msi"));
    for (const Fixture& f : kFixtures) {
        std::string path = folder + "\\" + f.name;
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
        EXPECT_EQ(data.nFileSizeLow, f.size) << f.name;
        EXPECT_EQ(data.dwFileAttributes & 0x27, f.attributes) << f.name;
        FILETIME local;
        SYSTEMTIME when;
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
        FileTimeToSystemTime(&local, &when);
        EXPECT_EQ(when.wYear, f.year) << f.name;
        EXPECT_EQ(when.wMonth, f.month) << f.name;
        EXPECT_EQ(when.wDay, f.day) << f.name;
        EXPECT_EQ(when.wHour, f.hour) << f.name;
        EXPECT_EQ(when.wMinute, f.minute) << f.name;
        EXPECT_EQ(when.wSecond, f.second) << f.name;
        std::string text = ReadText(path);
        std::string first = (std::string(f.name) + "@00000000").substr(0, f.size);
        EXPECT_EQ(text.substr(0, first.size()), first) << f.name;
    }
}

}  // namespace

TEST(SetupAdminUnderWine, InstallsTamsorThroughThePipesAndAgainOnTheProduct) {
    std::string code = ProductCode(ZUL_TAMSOR_PRODUCT_CODE_FILE);
    Uninstall(code);
    Uninstall(ProductCode(ZUL_TAMSOR_NEXT_PRODUCT_CODE_FILE));  // left by an interrupted run
    std::string program = ProgramFiles() + "\\Tamsor\\Tamsor.exe";

    Record first = RunParent(ZUL_SETUP_ADMIN, "");
    EXPECT_TRUE(first.eventSet);
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_GT(first.messages.size(), 10u);
    EXPECT_TRUE(first.Has(0x08000000u, "InstallFiles")) << "no ACTIONSTART of InstallFiles";
    for (const Message& m : first.messages) {
        // Type alone, or type, text and its NUL.
        if (m.length != 4 && (m.type & 0xFF000000u) < 0x0C000000u) {
            EXPECT_EQ(m.length, 4 + m.text.size() + 1);
        }
    }
    EXPECT_TRUE(Exists(program));
    EXPECT_TRUE(HasShortcut());
    EXPECT_FALSE(Exists(LogOf("ZULSetupAdmin", first.helperPid)));
    EXPECT_EQ(MsiQueryProductStateA(code.c_str()), INSTALLSTATE_DEFAULT);
    ExpectWizardStarts(program);

    // Installed: the second run works on the product code, unpacks nothing.
    Record second = RunParent(ZUL_SETUP_ADMIN, "");
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_GT(second.messages.size(), 0u);
    EXPECT_TRUE(Exists(program));
    EXPECT_FALSE(Exists(LogOf("ZULSetupAdmin", second.helperPid)));

    Uninstall(code);
    EXPECT_NE(MsiQueryProductStateA(code.c_str()), INSTALLSTATE_DEFAULT);
    ExpectNoTamsorLeft();
}

// The next release's package (the same one with a higher version) over
// this one replaces it; this one over the next is refused by its launch
// condition. (Wine shows that condition's message, "A newer version of
// Tamsor is already installed.", only in its own dialog, not to an
// external handler, so the parent hears no reason here.)
TEST(SetupAdminUnderWine, ANewerTamsorReplacesThisOneAndRefusesIt) {
    std::string code = ProductCode(ZUL_TAMSOR_PRODUCT_CODE_FILE);
    std::string next = ProductCode(ZUL_TAMSOR_NEXT_PRODUCT_CODE_FILE);
    Uninstall(code);
    Uninstall(next);
    std::string program = ProgramFiles() + "\\Tamsor\\Tamsor.exe";

    ASSERT_EQ(RunParent(ZUL_SETUP_ADMIN, "").exitCode, 0);
    Finished upgrade = Start("msiexec /i \"" + Windows(ZUL_TAMSOR_NEXT_PACKAGE) + "\" /qn");
    EXPECT_EQ(upgrade.exitCode, 0u);
    EXPECT_EQ(MsiQueryProductStateA(next.c_str()), INSTALLSTATE_DEFAULT);
    EXPECT_NE(MsiQueryProductStateA(code.c_str()), INSTALLSTATE_DEFAULT);
    EXPECT_TRUE(Exists(program));
    EXPECT_TRUE(HasShortcut());

    Record refused = RunParent(ZUL_SETUP_ADMIN, "");
    EXPECT_EQ(refused.exitCode, 1603);
    EXPECT_NE(MsiQueryProductStateA(code.c_str()), INSTALLSTATE_DEFAULT);
    EXPECT_EQ(MsiQueryProductStateA(next.c_str()), INSTALLSTATE_DEFAULT);
    EXPECT_TRUE(Exists(program));
    DeleteFileA(LogOf("ZULSetupAdmin", refused.helperPid).c_str());

    Uninstall(next);
    ExpectNoTamsorLeft();
}

TEST(SetupAdminUnderWine, TheParentsAnswersDecideTheTestInstall) {
    std::string code = ProductCode(ZUL_TEST_PRODUCT_CODE_FILE);
    Uninstall(code);
    std::string installed = ProgramFiles() + "\\ZULTest\\alpha.txt";

    Record cancelled = RunParent(ZUL_TEST_SETUP, "--cancel-at user");
    EXPECT_EQ(cancelled.exitCode, 1602);
    EXPECT_TRUE(cancelled.Has(0x03000000u, "Install the ZUL test files?"));
    EXPECT_FALSE(Exists(LogOf("ZULTestSetup", cancelled.helperPid)));
    EXPECT_FALSE(Exists(installed));

    // A parent that goes away: every answer is then 3, the question fails.
    Record abandoned = RunParent(ZUL_TEST_SETUP, "--close-at 3");
    EXPECT_EQ(abandoned.exitCode, 1603);
    std::string log = ReadText(LogOf("ZULTestSetup", abandoned.helperPid));
    EXPECT_NE(log.find("Reading from pipe failed. GetLastError() ="), std::string::npos);
    EXPECT_NE(log.find("Returning:   3L"), std::string::npos);
    EXPECT_NE(log.find("fdintCOPY_FILE\r\n  file name in cabinet = ZulTest.msi"), std::string::npos);
    EXPECT_GE(log.size(), 18u);
    EXPECT_EQ(log.substr(log.size() - 18), "\r\nReturned: 1603\r\n");
    DeleteFileA(LogOf("ZULTestSetup", abandoned.helperPid).c_str());
    EXPECT_FALSE(Exists(installed));

    // The unpacked files go again, the read-only one too, and their folder.
    int folders = UnpackFolders();
    Record accepted = RunParent(ZUL_TEST_SETUP, "");
    EXPECT_EQ(accepted.exitCode, 0);
    EXPECT_TRUE(Exists(installed));
    EXPECT_EQ(UnpackFolders(), folders);

    // Installed: the helper goes to the product, and the property fails it.
    Record failed = RunParent(ZUL_TEST_SETUP, "", "ZULFAIL=1");
    EXPECT_EQ(failed.exitCode, 1603) << "the parent's record:\n" << failed.raw;
    log = ReadText(LogOf("ZULTestSetup", failed.helperPid));
    EXPECT_NE(log.find("Calling MsiInstallProduct(\"" + code + "\", \"ZULFAIL=1\")"), std::string::npos) << log;
    EXPECT_EQ(log.find("Information on cabinet file"), std::string::npos);
    DeleteFileA(LogOf("ZULTestSetup", failed.helperPid).c_str());

    Uninstall(code);
    EXPECT_FALSE(Exists(installed));
}

TEST(SetupAdminUnderWine, ExtractsWithTheCabinetsTimesAndAttributes) {
    std::string folder = ScratchFolder("zul-extract");
    Finished named = Start("\"" + Windows(ZUL_TEST_SETUP) + "\" /EXTRACT \"" + folder + "\"");
    EXPECT_EQ(named.exitCode, 0u);
    ExpectExtracted(folder);
    EXPECT_FALSE(Exists(LogOf("ZULTestSetup", named.pid)));

    std::string here = ScratchFolder("zul-extract-here");
    Finished alone = Start("\"" + Windows(ZUL_TEST_SETUP) + "\" -extract", here.c_str());
    EXPECT_EQ(alone.exitCode, 0u);
    ExpectExtracted(here);
    ScratchFolder("zul-extract");
    ScratchFolder("zul-extract-here");
}

TEST(SetupAdminUnderWine, OtherPackagesHandlesAndCopies) {
    std::string code = ProductCode(ZUL_TEST_PRODUCT_CODE_FILE);
    Uninstall(code);
    std::string installed = ProgramFiles() + "\\ZULTest\\alpha.txt";

    // /alt: that package, which stays where it is.
    std::string folder = ScratchFolder("zul alt");
    std::string alternate = folder + "\\other package.msi";
    ASSERT_TRUE(CopyFileA(Windows(ZUL_TEST_PACKAGE).c_str(), alternate.c_str(), FALSE));
    Record alt = RunParent(ZUL_NO_CABINET, "", "/Alt \"" + alternate + "\"");
    EXPECT_EQ(alt.exitCode, 0);
    EXPECT_TRUE(alt.Has(0x03000000u, "Install the ZUL test files?"));
    EXPECT_TRUE(Exists(installed));
    EXPECT_TRUE(Exists(alternate));
    Uninstall(code);

    // /mon before /pid: pid 0 fails, the event is still set; without pipes
    // msiexec installs, with /mon kept among its arguments.
    Record early = RunParent(ZUL_TEST_SETUP, "--mon-first", "ZULFAIL=1 /qn");
    EXPECT_TRUE(early.eventSet);
    EXPECT_TRUE(early.messages.empty());
    EXPECT_EQ(early.exitCode, 1603);
    std::string log = ReadText(LogOf("ZULTestSetup", early.helperPid));
    EXPECT_NE(log.find("Opening parent process pid=0 failed. GetLastError() =  87l"), std::string::npos) << log;
    EXPECT_NE(log.find("Invalid handles 0 and possibly 0"), std::string::npos);
    EXPECT_NE(log.find("msiexec.exe\" /i \"C:\\users\\"), std::string::npos);
    EXPECT_NE(log.find("\\ZulTest.msi\" /mon "), std::string::npos);
    EXPECT_NE(log.find(" ZULFAIL=1 /qn"), std::string::npos);
    DeleteFileA(LogOf("ZULTestSetup", early.helperPid).c_str());

    // Handles that are files: logged, msiexec installs, /mon stays.
    Record files = RunParent(ZUL_TEST_SETUP, "--not-pipes", "/qn");
    EXPECT_TRUE(files.eventSet);
    EXPECT_EQ(files.exitCode, 0);
    EXPECT_TRUE(Exists(installed));
    EXPECT_TRUE(GoneSoon(LogOf("ZULTestSetup", files.helperPid)));
    Uninstall(code);

    // No cabinet: nothing to install, exit 0, no log.
    Finished empty = Start("\"" + Windows(ZUL_NO_CABINET) + "\"");
    EXPECT_EQ(empty.exitCode, 0u);
    EXPECT_FALSE(Exists(LogOf("ZULNoCabinet", empty.pid)));

    // A second copy while the first unpacks: the first is caught holding
    // its mutex (named after the program) and held there.
    bool caught = false;
    for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION first = {};
        std::string line = "\"" + Windows(ZUL_TEST_SETUP) + "\" ZULFAIL=1 /qn";
        ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &first));
        HANDLE mutex = nullptr;
        while (mutex == nullptr && WaitForSingleObject(first.hProcess, 0) == WAIT_TIMEOUT)
            mutex = OpenMutexA(SYNCHRONIZE, FALSE, "ZULTestSetup");
        if (mutex != nullptr) {
            SuspendThread(first.hThread);
            DWORD held = WaitForSingleObject(mutex, 0);
            if (held == WAIT_OBJECT_0 || held == WAIT_ABANDONED) {
                ReleaseMutex(mutex);  // too late: the first had finished unpacking
            } else {
                caught = true;
                Finished second = Start("\"" + Windows(ZUL_TEST_SETUP) + "\"");
                EXPECT_EQ(second.exitCode, 183u);
                log = LogOf("ZULTestSetup", second.pid);
                EXPECT_TRUE(Exists(log));  // the second's log stays
                DeleteFileA(log.c_str());
            }
            CloseHandle(mutex);
            ResumeThread(first.hThread);
        }
        WaitForSingleObject(first.hProcess, 120000);
        DWORD code = 0;
        GetExitCodeProcess(first.hProcess, &code);
        EXPECT_EQ(code, 1603u);  // the first goes on and installs
        DeleteFileA(LogOf("ZULTestSetup", first.dwProcessId).c_str());
        CloseHandle(first.hThread);
        CloseHandle(first.hProcess);
    }
    EXPECT_TRUE(caught) << "the first copy was never caught unpacking";
    // ...and so does its empty unpacking folder; remove every empty one.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((TempFolder() + "IXP*.TMP").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do RemoveDirectoryA((TempFolder() + found.cFileName).c_str());
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    for (const char* scratch : {"zul alt", "zul-extract", "zul-extract-here"}) {
        ScratchFolder(scratch);
        RemoveDirectoryA((TempFolder() + scratch).c_str());
    }
    DeleteFileA((TempFolder() + "zul-parent-record.txt").c_str());
}
