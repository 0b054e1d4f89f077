// The operating-system layer of ZULSetupAdmin: every system call the
// installer helper makes goes through these functions, which win32/ and
// posix/ implement under the same names. Handles are opaque integers;
// kNoHandle means "absent". Error numbers are the Windows error numbers
// (posix/ translates the few it can produce: 2, 5, 87, 183).
//
// Not here: any decision of the helper itself (SetupAdmin.cpp makes them),
// and no logging: callers log with the error numbers returned.
#pragma once

#include <cstdint>
#include <string>

namespace setupadmin {

using SetupHandle = std::uintptr_t;
constexpr SetupHandle kNoHandle = 0;

// ---- Process -------------------------------------------------------------------
std::string PlatformTempFolder();        // with its final separator
std::string PlatformModulePath();        // this program's full path
char PlatformPathSeparator();            // '\\' on Windows
std::string PlatformSystemFolder();      // no final separator
uint32_t PlatformProcessId();
uint32_t PlatformTickCount();
// The process's own command-line text; false when it cannot be copied.
bool PlatformCopyCommandLine(std::string& text);

// ---- Log -------------------------------------------------------------------------
// Creates the file anew and makes it standard output and error (system
// level and run-time streams, text mode, unbuffered). False: nothing opened.
bool PlatformOpenLog(const std::string& path);
void PlatformCloseLog();

// ---- Files and folders -------------------------------------------------------------
bool PlatformCreateFolder(const std::string& path, uint32_t& error);
bool PlatformRemoveFolder(const std::string& path);
// Deletes a file; a read-only file loses that attribute first.
bool PlatformDeleteFile(const std::string& path);
// Sets creation and last-write time from a DOS date and time taken as
// local time, and the attributes (read-only 1, hidden 2, system 4,
// archive 0x20) as far as the system has them.
void PlatformSetFileTimes(const std::string& path, uint16_t dosDate, uint16_t dosTime);
void PlatformSetFileAttributes(const std::string& path, uint32_t attributes);

// Run-time library descriptors for the cabinet callbacks; the flags are
// the system's own (_O_* on Windows, O_* elsewhere).
int PlatformFileOpen(const char* path, int flags, int mode);
long PlatformFileRead(int fd, void* buffer, unsigned count);
long PlatformFileWrite(int fd, const void* buffer, unsigned count);
long PlatformFileSeek(int fd, long offset, int origin);
int PlatformFileClose(int fd);
// Flags and mode for reading the cabinet and for a created target file.
void PlatformReadFlags(int& flags, int& mode);
void PlatformCreateFlags(int& flags, int& mode);

// ---- Resources -----------------------------------------------------------------------
// Finds a data resource of this program (RCDATA on Windows). The bytes stay
// valid until PlatformReleaseResource.
bool PlatformLoadResource(const char* name, SetupHandle& resource, const uint8_t*& bytes,
                          uint32_t& size);
void PlatformReleaseResource(SetupHandle resource);

// ---- Single instance --------------------------------------------------------------------
// Creates the named mutex initially owned; error is the system error number
// after the call (183 when another copy holds it).
SetupHandle PlatformCreateMutex(const std::string& name, uint32_t& error);
void PlatformCloseHandle(SetupHandle handle);

// ---- Handshake with the parent ------------------------------------------------------------
SetupHandle PlatformOpenParent(uint32_t pid, uint32_t& error);
bool PlatformDuplicateFromParent(SetupHandle parent, uint32_t value, SetupHandle& copy,
                                 uint32_t& error);
bool PlatformIsPipe(SetupHandle handle);
bool PlatformSetNamedEvent(const std::string& name, uint32_t& error);
bool PlatformPipeWrite(SetupHandle pipe, const void* bytes, uint32_t count, uint32_t& error);
bool PlatformPipeRead(SetupHandle pipe, void* bytes, uint32_t count, uint32_t& error);

// ---- Windows Installer ----------------------------------------------------------------------
// -1 when the installer is unavailable or the product unknown.
int PlatformQueryProductState(const char* productCode);
using InstallUIHandler = int (*)(void* context, unsigned type, const char* message);
// In-process install with no user interface of the installer's own and
// every message but files-in-use sent to the handler.
uint32_t PlatformInstallInProcess(const char* package, const char* commandLine,
                                  InstallUIHandler handler);
// The cached package of an installed product, or "".
std::string PlatformInstalledPackage(const char* productCode);
// Starts a program and waits for it; false with the system error number
// when it cannot be started.
bool PlatformRunAndWait(const std::string& commandLine, uint32_t& exitCode, uint32_t& error);

}  // namespace setupadmin
