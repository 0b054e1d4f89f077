// The POSIX side of ZULSetupAdmin's system layer, so that the helper's
// portable parts and its extract-only mode run natively. There is no
// Windows Installer, no parent handles and no named event here: those calls
// fail with the Windows error numbers the helper logs, and the install
// path ends with ERROR_NOT_SUPPORTED (50).
//
// The data resources are linked into the program by the build (see
// setupadmin/CMakeLists.txt) as zul_resource_<NAME> .. zul_resource_<NAME>_end.
#include "SetupPlatform.h"
#include "SetupPosix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
extern const unsigned char zul_resource_CABINET[] __attribute__((weak));
extern const unsigned char zul_resource_CABINET_end[] __attribute__((weak));
extern const unsigned char zul_resource_PRODUCTCODE[] __attribute__((weak));
extern const unsigned char zul_resource_PRODUCTCODE_end[] __attribute__((weak));
}

namespace setupadmin {

namespace {

std::string commandLine;
bool hasCommandLine = false;
int logDescriptor = -1;

uint32_t WindowsError(int error) {
    switch (error) {
    case ENOENT: return 2;
    case EACCES: case EPERM: return 5;
    case EEXIST: return 183;
    default: return 87;
    }
}

}  // namespace

void PlatformSetArguments(int argc, char** argv) {
    commandLine.clear();
    for (int i = 0; i < argc; ++i) {
        std::string argument = argv[i];
        if (i > 0) commandLine += ' ';
        bool quote = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        commandLine += quote ? "\"" + argument + "\"" : argument;
    }
    hasCommandLine = true;
}

std::string PlatformTempFolder() {
    const char* folder = std::getenv("TMPDIR");
    std::string text = folder && *folder ? folder : "/tmp";
    if (text.back() != '/') text += '/';
    return text;
}

std::string PlatformModulePath() {
    char buffer[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

char PlatformPathSeparator() { return '/'; }
std::string PlatformSystemFolder() { return "/usr/bin"; }
uint32_t PlatformProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t PlatformTickCount() {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

bool PlatformCopyCommandLine(std::string& text) {
    if (!hasCommandLine) return false;
    text = commandLine;
    return true;
}

bool PlatformOpenLog(const std::string& path) {
    logDescriptor = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (logDescriptor < 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(logDescriptor, STDOUT_FILENO);
    dup2(logDescriptor, STDERR_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    return true;
}

void PlatformCloseLog() {
    if (logDescriptor < 0) return;
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
    close(logDescriptor);
    logDescriptor = -1;
}

bool PlatformCreateFolder(const std::string& path, uint32_t& error) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    error = WindowsError(errno);
    return false;
}

bool PlatformRemoveFolder(const std::string& path) { return rmdir(path.c_str()) == 0; }
bool PlatformDeleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

void PlatformSetFileTimes(const std::string& path, uint16_t dosDate, uint16_t dosTime) {
    tm local = {};
    local.tm_year = ((dosDate >> 9) & 0x7F) + 80;
    local.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
    local.tm_mday = dosDate & 0x1F;
    local.tm_hour = (dosTime >> 11) & 0x1F;
    local.tm_min = (dosTime >> 5) & 0x3F;
    local.tm_sec = (dosTime & 0x1F) * 2;
    local.tm_isdst = -1;
    time_t when = mktime(&local);
    if (when == static_cast<time_t>(-1)) return;
    timeval times[2] = {{when, 0}, {when, 0}};
    utimes(path.c_str(), times);
}

void PlatformSetFileAttributes(const std::string& path, uint32_t attributes) {
    // Only read-only has a counterpart here.
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0) return;
    mode_t mode = info.st_mode & 07777;
    mode = (attributes & 1) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    chmod(path.c_str(), mode);
}

int PlatformFileOpen(const char* path, int flags, int mode) { return open(path, flags, mode); }
long PlatformFileRead(int fd, void* buffer, unsigned count) { return read(fd, buffer, count); }
long PlatformFileWrite(int fd, const void* buffer, unsigned count) { return write(fd, buffer, count); }
long PlatformFileSeek(int fd, long offset, int origin) { return lseek(fd, offset, origin); }
int PlatformFileClose(int fd) { return close(fd); }

void PlatformReadFlags(int& flags, int& mode) {
    flags = O_RDONLY;
    mode = 0;
}

void PlatformCreateFlags(int& flags, int& mode) {
    flags = O_CREAT | O_WRONLY | O_TRUNC;
    mode = 0644;
}

bool PlatformLoadResource(const char* name, SetupHandle& resource, const uint8_t*& bytes,
                          uint32_t& size) {
    const unsigned char* begin = nullptr;
    const unsigned char* end = nullptr;
    if (std::strcmp(name, "CABINET") == 0) {
        begin = zul_resource_CABINET;
        end = zul_resource_CABINET_end;
    } else if (std::strcmp(name, "PRODUCTCODE") == 0) {
        begin = zul_resource_PRODUCTCODE;
        end = zul_resource_PRODUCTCODE_end;
    }
    if (begin == nullptr || end == nullptr) return false;
    resource = 1;
    bytes = begin;
    size = static_cast<uint32_t>(end - begin);
    return true;
}

void PlatformReleaseResource(SetupHandle) {}

SetupHandle PlatformCreateMutex(const std::string& name, uint32_t& error) {
    std::string path = PlatformTempFolder() + name + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        error = WindowsError(errno);
        return kNoHandle;
    }
    error = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) error = 183;
    return static_cast<SetupHandle>(fd) + 1;
}

void PlatformCloseHandle(SetupHandle handle) {
    if (handle != kNoHandle) close(static_cast<int>(handle - 1));
}

SetupHandle PlatformOpenParent(uint32_t pid, uint32_t& error) {
    error = pid == 0 ? 87 : 5;
    return kNoHandle;
}

bool PlatformDuplicateFromParent(SetupHandle, uint32_t, SetupHandle& copy, uint32_t& error) {
    copy = kNoHandle;
    error = 6;
    return false;
}

bool PlatformIsPipe(SetupHandle) { return false; }

bool PlatformSetNamedEvent(const std::string&, uint32_t& error) {
    error = 2;
    return false;
}

bool PlatformPipeWrite(SetupHandle, const void*, uint32_t, uint32_t& error) {
    error = 6;
    return false;
}

bool PlatformPipeRead(SetupHandle, void*, uint32_t, uint32_t& error) {
    error = 6;
    return false;
}

int PlatformQueryProductState(const char*) { return -1; }
uint32_t PlatformInstallInProcess(const char*, const char*, InstallUIHandler) { return 50; }
std::string PlatformInstalledPackage(const char*) { return std::string(); }

bool PlatformRunAndWait(const std::string&, uint32_t&, uint32_t& error) {
    error = 50;
    return false;
}

}  // namespace setupadmin
