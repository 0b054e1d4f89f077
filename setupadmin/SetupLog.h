// ZULSetupAdmin's log: the process's standard output once the log file is
// open (SetupLogOpen), nothing before or without it.
#pragma once

#include <string>

namespace setupadmin {

// Opens the file as the log and writes the opening line; false when the
// file could not be created (the helper then logs nothing).
bool SetupLogOpen(const std::string& path);
// Closes the log (before the file is deleted).
void SetupLogClose();
bool SetupLogIsOpen();
void SetupLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace setupadmin
