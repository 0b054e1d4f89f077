// The main sequence of ZULSetupAdmin. Every system call goes through
// SetupPlatform.h; everything written to the log is written here or in
// SetupCabinet.cpp.
#include "SetupAdmin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SetupArguments.h"
#include "SetupCabinet.h"
#include "SetupLog.h"
#include "SetupMessages.h"

namespace setupadmin {

namespace {

// The pipes the external UI handler talks through (it has no context).
SetupHandle handlerReadPipe = kNoHandle;
SetupHandle handlerWritePipe = kNoHandle;

void TakeParentHandles(SetupState& state, const char* readValue, const char* writeValue,
                       bool& usable) {
    usable = false;
    uint32_t error = 0;
    SetupHandle copies[2] = {kNoHandle, kNoHandle};
    SetupHandle parent = PlatformOpenParent(state.parentPid, error);
    if (parent == kNoHandle) {
        SetupLog("Opening parent process pid=%d failed. GetLastError() =%4dl\n",
                 static_cast<int>(state.parentPid), static_cast<int>(error));
    } else {
        const char* values[2] = {readValue, writeValue};
        for (int i = 0; i < 2; ++i) {
            int value = std::atoi(values[i]);
            if (!PlatformDuplicateFromParent(parent, static_cast<uint32_t>(value), copies[i], error))
                SetupLog("Duplicating handle %d from 0x%08X failed. GetLastError() =%4dl\n", value,
                         static_cast<unsigned>(parent), static_cast<int>(error));
        }
        PlatformCloseHandle(parent);
    }
    if (copies[0] != kNoHandle && copies[1] != kNoHandle && PlatformIsPipe(copies[0]) &&
        PlatformIsPipe(copies[1])) {
        state.readPipe = copies[0];
        state.writePipe = copies[1];
        usable = true;
    } else {
        SetupLog("Invalid handles %d and possibly %d\n", static_cast<int>(copies[0]),
                 static_cast<int>(copies[1]));
        PlatformCloseHandle(copies[0]);
        PlatformCloseHandle(copies[1]);
    }
    // The parent waits for this event whatever became of the handles.
    if (!PlatformSetNamedEvent(state.eventName, error))
        SetupLog("Opening event %s failed. GetLastError() =%4dl\n", state.eventName.c_str(),
                 static_cast<int>(error));
}

void SetPackage(SetupState& state, const std::string& package) {
    if (state.extractedFiles.empty())
        state.extractedFiles.push_back(package);
    else
        state.extractedFiles[0] = package;
    state.packageIsExtracted = false;
}

int InstallUIHandler(void*, unsigned type, const char* message) {
    SetupLog("\nMessageType: %s\n", MessageKindName(type));
    SetupLog("Message: %s\n", message ? message : "(null)");
    int reply = 0;
    try {
        std::vector<uint8_t> bytes = EncodePipeMessage(type, message);
        uint32_t error = 0;
        uint8_t answer[4] = {};
        if (!PlatformPipeWrite(handlerWritePipe, bytes.data(), static_cast<uint32_t>(bytes.size()), error)) {
            SetupLog("Writing to pipe failed. GetLastError() = %4dL\n", static_cast<int>(error));
            reply = 3;
        } else if (!PlatformPipeRead(handlerReadPipe, answer, 4, error)) {
            SetupLog("Reading from pipe failed. GetLastError() = %4dL\n", static_cast<int>(error));
            reply = 3;
        } else {
            reply = DecodeReply(answer);
        }
    } catch (...) {
        // Only the message's allocation can throw; the code is the one the
        // system gives a C++ exception.
        SetupLog("Exception %08X executing InstallUIHandler\n", 0xE06D7363u);
    }
    SetupLog("Returning:%4dL\n", reply);
    return reply;
}

uint32_t Install(SetupState& state, const std::vector<char*>& arguments) {
    const std::string& package = state.extractedFiles[0];
    bool pipes = state.readPipe != kNoHandle && state.writePipe != kNoHandle;
    if (pipes) {
        std::string commandLine = JoinArguments(std::string(), arguments, kMaxInstallCommandLine - 1);
        SetupLog("Calling MsiInstallProduct(\"%s\", \"%s\")\n", package.c_str(), commandLine.c_str());
        std::string path = package;
        if (!state.packageIsExtracted && !package.empty() && package[0] == '{') {
            // The installer wants a package path, not a product code: use the
            // package it cached when the product was installed.
            std::string cached = PlatformInstalledPackage(package.c_str());
            if (!cached.empty()) path = cached;
        }
        handlerReadPipe = state.readPipe;
        handlerWritePipe = state.writePipe;
        uint32_t result = PlatformInstallInProcess(path.c_str(), commandLine.c_str(), InstallUIHandler);
        PlatformCloseHandle(state.readPipe);
        PlatformCloseHandle(state.writePipe);
        state.readPipe = state.writePipe = kNoHandle;
        handlerReadPipe = handlerWritePipe = kNoHandle;
        return result;
    }
    std::string prefix = "\"" + PlatformSystemFolder() + "\\msiexec.exe\" /i \"" + package + "\"";
    std::string commandLine = JoinArguments(prefix, arguments, kMaxInstallCommandLine - 1);
    SetupLog("Executing: %s", commandLine.c_str());
    uint32_t exitCode = 0, error = 0;
    if (!PlatformRunAndWait(commandLine, exitCode, error)) return error;
    return exitCode;
}

}  // namespace

void ProcessOptions(std::vector<char*>& arguments, SetupState& state) {
    size_t i = 1;
    auto removeAt = [&](size_t count) {
        arguments.erase(arguments.begin() + static_cast<long>(i),
                        arguments.begin() + static_cast<long>(std::min(arguments.size(), i + count)));
    };
    while (i < arguments.size()) {
        bool hasValue = i + 1 < arguments.size();
        switch (OptionOf(arguments[i])) {
        case SetupOption::kExtract: {
            state.extractOnly = true;
            if (hasValue) {
                state.extractFolder = WithoutQuotes(arguments[i + 1]);
                if (state.extractFolder.empty() || state.extractFolder.back() != PlatformPathSeparator())
                    state.extractFolder += PlatformPathSeparator();
            } else {
                state.extractFolder = std::string(".") + PlatformPathSeparator();
            }
            removeAt(2);
            return;
        }
        case SetupOption::kEvent:
            if (hasValue) state.eventName = arguments[i + 1];
            removeAt(2);
            break;
        case SetupOption::kProcessId:
            if (hasValue) state.parentPid = static_cast<uint32_t>(std::atoi(arguments[i + 1]));
            removeAt(2);
            break;
        case SetupOption::kMonitor: {
            if (i + 2 >= arguments.size() || arguments[i + 1][0] == '\0' || arguments[i + 2][0] == '\0') {
                ++i;
                break;
            }
            bool usable = false;
            TakeParentHandles(state, arguments[i + 1], arguments[i + 2], usable);
            if (usable)
                removeAt(3);
            else
                i += 3;  // kept for the installer, values and all
            break;
        }
        case SetupOption::kAlternate:
            if (hasValue) SetPackage(state, WithoutQuotes(arguments[i + 1]));
            removeAt(2);
            break;
        case SetupOption::kNone:
            ++i;
            break;
        }
    }
}

uint32_t RunSetupAdmin() {
    std::string tempFolder = PlatformTempFolder();
    std::string modulePath = PlatformModulePath();
    const char separator = PlatformPathSeparator();
    size_t slash = modulePath.find_last_of(separator);
    std::string fileName = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
    size_t dot = fileName.find_last_of('.');
    std::string baseName = dot == std::string::npos ? fileName : fileName.substr(0, dot);

    SetupState state;
    CabinetFileTable table(modulePath);

    char logName[1024];
    std::snprintf(logName, sizeof logName, "%s%s%X.log", tempFolder.c_str(), baseName.c_str(),
                  static_cast<unsigned>(PlatformProcessId()));
    SetupLogOpen(logName);

    std::string commandText;
    if (!PlatformCopyCommandLine(commandText)) return kExitInvalidParameter;
    SetupLog("Command Line: %s\n", commandText.c_str());
    std::vector<char> textCopy(commandText.begin(), commandText.end());
    textCopy.push_back('\0');
    std::vector<char*> arguments = SplitCommandLine(textCopy.data());
    std::vector<char> programPath(modulePath.begin(), modulePath.end());
    programPath.push_back('\0');
    if (arguments.empty())
        arguments.push_back(programPath.data());
    else
        arguments[0] = programPath.data();

    ProcessOptions(arguments, state);

    if (!state.extractOnly) {
        SetupHandle resource = kNoHandle;
        const uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (PlatformLoadResource("PRODUCTCODE", resource, bytes, size)) {
            char productCode[39] = {};
            std::memcpy(productCode, bytes, size < 38 ? size : 38);
            PlatformReleaseResource(resource);
            int installState = PlatformQueryProductState(productCode);
            if (installState == 5 || installState == 1) SetPackage(state, productCode);
        }
    }

    if (state.extractFolder.empty() && state.extractedFiles.empty()) {
        std::string base = tempFolder;
        if (base.empty() || base.back() != separator) base += separator;
        std::srand(PlatformTickCount());
        for (;;) {
            char folder[300];
            std::snprintf(folder, sizeof folder, "%sIXP%03d.TMP%c", base.c_str(), std::rand() % 1000,
                          separator);
            state.extractFolder = folder;
            uint32_t error = 0;
            if (PlatformCreateFolder(folder, error) || error != kExitAlreadyRunning) break;
        }
    }

    uint32_t exitCode = 0;
    SetupHandle mutex = kNoHandle;
    if (!state.extractOnly) {
        mutex = PlatformCreateMutex(baseName, exitCode);
        if (exitCode == kExitAlreadyRunning) {
            PlatformCloseHandle(mutex);
            return kExitAlreadyRunning;
        }
    }

    if (state.extractedFiles.empty()) {
        UnpackCabinet(table, modulePath, state.extractFolder, state.extractedFiles);
        state.packageIsExtracted = !state.extractedFiles.empty();
    }
    PlatformCloseHandle(mutex);

    if (!state.extractOnly && !state.extractedFiles.empty()) {
        exitCode = Install(state, arguments);
        // Only what came out of the cabinet is ours to delete.
        size_t first = state.packageIsExtracted ? 0 : 1;
        for (size_t n = state.extractedFiles.size(); n > first; --n)
            PlatformDeleteFile(state.extractedFiles[n - 1]);
        state.extractedFiles.clear();
    }
    if (!state.extractFolder.empty()) PlatformRemoveFolder(state.extractFolder);

    if (exitCode != 0 && exitCode != kExitUserCancelled) {
        SetupLog("\nReturned: %d\n", static_cast<int>(exitCode));
    } else if (SetupLogIsOpen()) {
        SetupLogClose();
        PlatformDeleteFile(logName);
    }
    return exitCode;
}

}  // namespace setupadmin
