// The log file of ZULSetupAdmin: the platform layer makes it standard
// output and error; here is the opening line and the printf into it.
#include "SetupLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "SetupPlatform.h"

namespace setupadmin {

namespace {
bool logOpen = false;
}

bool SetupLogOpen(const std::string& path) {
    logOpen = PlatformOpenLog(path);
    if (!logOpen) return false;
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    std::printf("=== Logging started: %d/%d/%d %2d:%02d:%02d ===\n", local.tm_mon + 1,
                local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    std::fflush(stdout);
    return true;
}

void SetupLogClose() {
    if (!logOpen) return;
    std::fflush(stdout);
    PlatformCloseLog();
    logOpen = false;
}

bool SetupLogIsOpen() { return logOpen; }

void SetupLog(const char* format, ...) {
    if (!logOpen) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

}  // namespace setupadmin
