// The run of ZULSetupAdmin, from the log's opening to the exit code: the
// options and the handshake with the parent, choosing the package, the
// single-instance mutex around the unpacking, installing (in-process with
// the pipe-forwarding handler, or through msiexec) and the clean-up.
//
// Exit codes: 0 success or nothing to install, 87 the command line could
// not be copied, 183 another copy is running, otherwise the installer's
// result or msiexec's exit code (or the error that kept msiexec from
// starting).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SetupPlatform.h"

namespace setupadmin {

constexpr uint32_t kExitInvalidParameter = 87;
constexpr uint32_t kExitAlreadyRunning = 183;
constexpr uint32_t kExitUserCancelled = 1602;
constexpr size_t kMaxInstallCommandLine = 2000;

struct SetupState {
    std::string extractFolder;
    std::vector<std::string> extractedFiles;  // [0] is also the package
    bool packageIsExtracted = false;          // false: /alt or the product code
    bool extractOnly = false;
    std::string eventName;
    uint32_t parentPid = 0;
    SetupHandle readPipe = kNoHandle;
    SetupHandle writePipe = kNoHandle;
};

// Processes the options of arguments (argument 0 is the program) from left
// to right, removing those it used.
void ProcessOptions(std::vector<char*>& arguments, SetupState& state);

// The whole run; returns the exit code.
uint32_t RunSetupAdmin();

}  // namespace setupadmin
