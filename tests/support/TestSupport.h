// Shared by the service tests: whole-file reads and writes, scratch folders,
// property lists as text, and Linux peer programs (curl, python3, tftp)
// run as child processes while the test pumps the run loop.
//
// On Linux a child is spawned directly. Under wine a Windows program can
// start a Linux program too, but wine neither waits for it nor learns its
// exit code, so there the child runs inside /bin/sh, which writes the exit
// code into a file that appears (by rename) only when the child is done.
// Linux programs see the Linux file system, which wine shows as drive Z:,
// hence a folder has a name for this program and one for the child.
//
// Not here: anything about the servers under test.
#pragma once

#include "foundation/QxRunLoopTestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QxLBuild.h"
#include "QxLData.h"
#include "QxLMemory.h"
#include "QxLPropertyList.h"

namespace testsupport {

// ---- Files --------------------------------------------------------------------------

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// A fresh folder under the temporary directory, named by the prefix and
// the clock; remove it with RemoveScratchFolder.
inline std::filesystem::path MakeScratchFolder(const std::string& prefix) {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        (prefix + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    return folder;
}

inline void RemoveScratchFolder(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// ---- Objects as text ------------------------------------------------------------------

// The object as an XML property list, or "" when it cannot be written.
inline std::string PropertyListText(QxLObjectRef object) {
    QxLDataRef data = nullptr;
    if (QxLPropertyListWrite(object, &data) != kStatusOK) return std::string();
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxLDataGetBytes(data, &bytes, &length);
    std::string text(reinterpret_cast<char*>(bytes), length);
    QxLObjectRelease(data);
    return text;
}

// The string under the key, or "<none>".
inline std::string TextAt(QxLObjectRef object, QxLStringRef key) {
    char* text = nullptr;
    if (QxLGet(object, &text, "%kO:utf8", key) != kStatusOK) return "<none>";
    std::string result = text;
    QxLFree(text);
    return result;
}

// ---- Processes --------------------------------------------------------------------------

#if defined(_WIN32)
inline bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline long long ProcessNumber() {
    return static_cast<long long>(GetCurrentProcessId()) * 100000 + GetTickCount() % 100000;
}

// Linux programs are reachable only from wine.
inline bool HaveProgram(const char* path) {
    return UnderWine() && std::filesystem::exists(std::string("Z:") + path);
}
#else
inline long long ProcessNumber() { return static_cast<long long>(getpid()); }

inline bool HaveProgram(const char* path) { return access(path, X_OK) == 0; }
#endif

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

struct ChildResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// A folder as this program names it and as a Linux child names it (the
// same on Linux).
struct ChildFolder {
    std::string host;
    std::string child;

    std::string Host(const std::string& name) const {
        return (std::filesystem::path(host) / name).string();
    }
    std::string Child(const std::string& name) const { return child + "/" + name; }
};

// Runs a Linux program to its end while the loop is pumped every `poll`
// seconds. Its input is /dev/null; its output and errors pass through
// child.out and child.err in the folder. Past `seconds` the child is
// killed (on Linux) and a failure is noted.
inline ChildResult RunChildProgram(const ChildFolder& folder,
                                   const std::vector<std::string>& arguments,
                                   double seconds, double poll = 0.005) {
    ChildResult result;
    const double deadline = QxRunLoopNow() + seconds;
#if defined(_WIN32)
    std::string script = "(";
    for (const std::string& argument : arguments) script += " " + ShellQuote(argument);
    script += " ) </dev/null >" + ShellQuote(folder.Child("child.out")) + " 2>" +
              ShellQuote(folder.Child("child.err")) + "\necho $? >" +
              ShellQuote(folder.Child("child.code")) + " && mv " +
              ShellQuote(folder.Child("child.code")) + " " +
              ShellQuote(folder.Child("child.done")) + "\n";
    std::error_code ignored;
    std::filesystem::remove(folder.Host("child.done"), ignored);
    if (!WriteFile(folder.Host("child.sh"), script)) {
        ADD_FAILURE() << "cannot write the child's script";
        return result;
    }
    std::string commandLine = "/bin/sh " + folder.Child("child.sh");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA("/bin/sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start /bin/sh from wine";
        return result;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    while (!std::filesystem::exists(folder.Host("child.done"))) {
        if (QxRunLoopNow() > deadline) {
            ADD_FAILURE() << arguments[0] << " timed out";
            return result;
        }
        RunFor(poll);
    }
    result.exitCode = atoi(ReadFile(folder.Host("child.done")).c_str());
#else
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, folder.Host("child.out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, folder.Host("child.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (QxRunLoopNow() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " timed out";
            break;
        }
        RunFor(poll);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    result.out = ReadFile(folder.Host("child.out"));
    result.err = ReadFile(folder.Host("child.err"));
    return result;
}

}  // namespace testsupport
