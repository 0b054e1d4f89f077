// The Windows side of ZULSetupAdmin's system layer: Win32 processes, pipes,
// events and files, the run-time library's descriptors for the cabinet
// callbacks, and msi.dll, loaded at run time and called by ordinal (so the
// program starts even where the installer is damaged, and no import
// library is needed).
//
// The installer's own interfaces are narrow (ANSI) by design: the package
// paths, command lines and messages it exchanges are ANSI texts.
#include "SetupPlatform.h"
#include "SetupMessages.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

namespace setupadmin {

namespace {

HANDLE AsHandle(SetupHandle handle) { return reinterpret_cast<HANDLE>(handle); }
SetupHandle FromHandle(HANDLE handle) {
    return handle == nullptr || handle == INVALID_HANDLE_VALUE ? kNoHandle
                                                                : reinterpret_cast<SetupHandle>(handle);
}

// msi.dll's exports by ordinal: 112 MsiQueryProductStateA, 141
// MsiSetInternalUI, 136 MsiSetExternalUIA, 87 MsiInstallProductA.
using QueryProductStateFn = int(WINAPI*)(const char*);
using SetInternalUIFn = int(WINAPI*)(int, HWND*);
using ExternalUIHandlerFn = int(WINAPI*)(void*, UINT, const char*);
using SetExternalUIFn = ExternalUIHandlerFn(WINAPI*)(ExternalUIHandlerFn, DWORD, void*);
using InstallProductFn = UINT(WINAPI*)(const char*, const char*);
using GetProductInfoFn = UINT(WINAPI*)(const char*, const char*, char*, DWORD*);

HMODULE Msi() {
    static HMODULE module = LoadLibraryW(L"msi.dll");
    return module;
}

template <typename Fn>
Fn MsiOrdinal(int ordinal) {
    HMODULE module = Msi();
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

InstallUIHandler currentHandler = nullptr;

int WINAPI ExternalHandler(void* context, UINT type, const char* message) {
    return currentHandler ? currentHandler(context, type, message) : 0;
}

int logDescriptor = -1;

}  // namespace

std::string PlatformTempFolder() {
    char buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathA(sizeof buffer, buffer);
    return std::string(buffer, length < sizeof buffer ? length : 0);
}

std::string PlatformModulePath() {
    char buffer[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, length);
}

char PlatformPathSeparator() { return '\\'; }

std::string PlatformSystemFolder() {
    char buffer[MAX_PATH + 1] = {};
    UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    return std::string(buffer, length < MAX_PATH ? length : 0);
}

uint32_t PlatformProcessId() { return GetCurrentProcessId(); }
uint32_t PlatformTickCount() { return GetTickCount(); }

bool PlatformCopyCommandLine(std::string& text) {
    const char* line = GetCommandLineA();
    if (line == nullptr) return false;
    try {
        text = line;
    } catch (...) {
        return false;
    }
    return true;
}

bool PlatformOpenLog(const std::string& path) {
    // Shared for deleting too: under wine the installer's processes keep a
    // copy of the log handle for a few seconds after msiexec has ended, and
    // the log of a successful install must still go (it does once they end).
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    SetStdHandle(STD_ERROR_HANDLE, file);
    logDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_TEXT);
    if (logDescriptor < 0) {
        CloseHandle(file);
        return false;
    }
    _dup2(logDescriptor, _fileno(stdout));
    _dup2(logDescriptor, _fileno(stderr));
    _setmode(_fileno(stdout), _O_TEXT);
    _setmode(_fileno(stderr), _O_TEXT);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}

void PlatformCloseLog() {
    fflush(stdout);
    fflush(stderr);
    // Every descriptor on the file must go before it can be deleted.
    _close(_fileno(stdout));
    _close(_fileno(stderr));
    if (logDescriptor >= 0) _close(logDescriptor);
    logDescriptor = -1;
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
}

bool PlatformCreateFolder(const std::string& path, uint32_t& error) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    error = GetLastError();
    return false;
}

bool PlatformRemoveFolder(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

bool PlatformDeleteFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return DeleteFileA(path.c_str()) != 0;
}

void PlatformSetFileTimes(const std::string& path, uint16_t dosDate, uint16_t dosTime) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(dosDate, dosTime, &local) || !LocalFileTimeToFileTime(&local, &utc)) return;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFileTime(file, &utc, nullptr, &utc);
    CloseHandle(file);
}

void PlatformSetFileAttributes(const std::string& path, uint32_t attributes) {
    SetFileAttributesA(path.c_str(), attributes);
}

int PlatformFileOpen(const char* path, int flags, int mode) { return _open(path, flags, mode); }
long PlatformFileRead(int fd, void* buffer, unsigned count) { return _read(fd, buffer, count); }
long PlatformFileWrite(int fd, const void* buffer, unsigned count) { return _write(fd, buffer, count); }
long PlatformFileSeek(int fd, long offset, int origin) { return _lseek(fd, offset, origin); }
int PlatformFileClose(int fd) { return _close(fd); }

void PlatformReadFlags(int& flags, int& mode) {
    flags = _O_BINARY | _O_SEQUENTIAL | _O_RDONLY;
    mode = 0;
}

void PlatformCreateFlags(int& flags, int& mode) {
    flags = _O_BINARY | _O_SEQUENTIAL | _O_CREAT | _O_WRONLY;
    mode = _S_IREAD | _S_IWRITE;
}

bool PlatformLoadResource(const char* name, SetupHandle& resource, const uint8_t*& bytes,
                          uint32_t& size) {
    HRSRC found = FindResourceA(nullptr, name, MAKEINTRESOURCEA(10));
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (loaded == nullptr) return false;
    const void* locked = LockResource(loaded);
    if (locked == nullptr) return false;
    resource = reinterpret_cast<SetupHandle>(loaded);
    bytes = static_cast<const uint8_t*>(locked);
    size = SizeofResource(nullptr, found);
    return true;
}

void PlatformReleaseResource(SetupHandle resource) {
    if (resource != kNoHandle) FreeResource(reinterpret_cast<HGLOBAL>(resource));
}

SetupHandle PlatformCreateMutex(const std::string& name, uint32_t& error) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    error = GetLastError();
    return FromHandle(mutex);
}

void PlatformCloseHandle(SetupHandle handle) {
    if (handle != kNoHandle) CloseHandle(AsHandle(handle));
}

SetupHandle PlatformOpenParent(uint32_t pid, uint32_t& error) {
    HANDLE parent = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    if (parent == nullptr) error = GetLastError();
    return FromHandle(parent);
}

bool PlatformDuplicateFromParent(SetupHandle parent, uint32_t value, SetupHandle& copy,
                                 uint32_t& error) {
    HANDLE result = nullptr;
    if (!DuplicateHandle(AsHandle(parent), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)),
                         GetCurrentProcess(), &result, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        copy = kNoHandle;
        return false;
    }
    copy = FromHandle(result);
    return true;
}

bool PlatformIsPipe(SetupHandle handle) {
    return handle != kNoHandle && GetFileType(AsHandle(handle)) == FILE_TYPE_PIPE;
}

bool PlatformSetNamedEvent(const std::string& name, uint32_t& error) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (event == nullptr) {
        error = GetLastError();
        return false;
    }
    bool set = SetEvent(event) != 0;
    if (!set) error = GetLastError();
    CloseHandle(event);
    return set;
}

bool PlatformPipeWrite(SetupHandle pipe, const void* bytes, uint32_t count, uint32_t& error) {
    DWORD written = 0;
    if (!WriteFile(AsHandle(pipe), bytes, count, &written, nullptr) || written != count) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool PlatformPipeRead(SetupHandle pipe, void* bytes, uint32_t count, uint32_t& error) {
    DWORD read = 0;
    if (!ReadFile(AsHandle(pipe), bytes, count, &read, nullptr) || read != count) {
        error = GetLastError();
        return false;
    }
    return true;
}

int PlatformQueryProductState(const char* productCode) {
    auto query = MsiOrdinal<QueryProductStateFn>(112);
    return query ? query(productCode) : -1;
}

uint32_t PlatformInstallInProcess(const char* package, const char* commandLine,
                                  InstallUIHandler handler) {
    auto setInternal = MsiOrdinal<SetInternalUIFn>(141);
    auto setExternal = MsiOrdinal<SetExternalUIFn>(136);
    auto install = MsiOrdinal<InstallProductFn>(87);
    if (!setInternal || !setExternal || !install) return ERROR_PROC_NOT_FOUND;
    currentHandler = handler;
    setInternal(2 /* INSTALLUILEVEL_NONE */, nullptr);
    setExternal(ExternalHandler, kMessageFilter, nullptr);
    UINT result = install(package, commandLine);
    setExternal(nullptr, 0, nullptr);
    currentHandler = nullptr;
    return result;
}

std::string PlatformInstalledPackage(const char* productCode) {
    HMODULE module = Msi();
    if (module == nullptr) return std::string();
    auto getInfo = reinterpret_cast<GetProductInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "MsiGetProductInfoA")));
    if (getInfo == nullptr) return std::string();
    char buffer[MAX_PATH + 1] = {};
    DWORD length = sizeof buffer;
    if (getInfo(productCode, "LocalPackage", buffer, &length) != ERROR_SUCCESS) return std::string();
    return std::string(buffer, length);
}

bool PlatformRunAndWait(const std::string& commandLine, uint32_t& exitCode, uint32_t& error) {
    fflush(stdout);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process = {};
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
    std::string writable = commandLine;
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process)) {
        error = GetLastError();
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    exitCode = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace setupadmin
