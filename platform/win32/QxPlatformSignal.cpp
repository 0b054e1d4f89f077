// Stop requests and consoles on Windows; see QxPlatformSignal.h.
//
// The console control handler runs on a thread the system starts for it.
// It sets the flag and claims the first request; later requests, and every
// request once the watch is gone, fall through to the default handler,
// which ends the process.
#include "QxPlatformSignal.h"

#include <winsock2.h>
#include <windows.h>
#include <io.h>

#include <cstring>

namespace {

volatile bool* volatile gFlag = nullptr;
volatile LONG gClaimed = 0;

BOOL WINAPI OnConsoleControl(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && kind != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    volatile bool* flag = gFlag;
    if (flag == nullptr || InterlockedExchange(&gClaimed, 1) != 0) return FALSE;
    *flag = true;
    return TRUE;
}

}  // namespace

QxStatus QxPlatformSignalWatch(volatile bool* flag) {
    if (flag == nullptr) return kStatusBadParameter;
    if (gFlag != nullptr) return kStatusAlreadyInitialized;
    gFlag = flag;
    gClaimed = 0;
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        DWORD error = GetLastError();
        gFlag = nullptr;
        return error != 0 ? static_cast<QxStatus>(error) : kStatusUnknown;
    }
    return kStatusOK;
}

void QxPlatformSignalUnwatch() {
    if (gFlag == nullptr) return;
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gFlag = nullptr;
}

bool QxPlatformStreamIsTerminal(FILE* stream) {
    return stream != nullptr && _isatty(_fileno(stream)) != 0;
}

bool QxPlatformErrorText(QxStatus error, char* text, size_t size) {
    if (text == nullptr || size == 0) return false;
    text[0] = '\0';
    if (error <= 0 || size > 0x7FFFFFFF) return false;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text,
                                  static_cast<DWORD>(size), nullptr);
    // The system ends its texts with a period and a line break.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
    if (length == 0) text[0] = '\0';
    return length > 0;
}

bool QxPlatformErrorIsAddressInUse(QxStatus error) { return error == WSAEADDRINUSE; }

bool QxPlatformErrorIsAccessDenied(QxStatus error) { return error == WSAEACCES; }

bool QxPlatformStreamLiveScreen(FILE* stream, int* rows, int* columns) {
    if (!QxPlatformStreamIsTerminal(stream) || rows == nullptr || columns == nullptr) return false;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
    // ENABLE_VIRTUAL_TERMINAL_PROCESSING; consoles before Windows 10 refuse it.
    constexpr DWORD kVirtualTerminal = 0x0004;
    if ((mode & kVirtualTerminal) == 0 && !SetConsoleMode(console, mode | kVirtualTerminal)) {
        return false;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    bool known = GetConsoleScreenBufferInfo(console, &info) != 0;
    *rows = known ? info.srWindow.Bottom - info.srWindow.Top + 1 : 24;
    *columns = known ? info.srWindow.Right - info.srWindow.Left + 1 : 80;
    return true;
}
