// Stop requests and terminals on POSIX systems; see QxPlatformSignal.h.
//
// The handlers are installed without SA_RESTART, so a wait in epoll_wait
// returns at once with EINTR and the pump looks at the flag. SA_RESETHAND
// puts the default action back as the first signal arrives.
#include "QxPlatformSignal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "QxPlatformSocket.h"

namespace {

constexpr int kWatched[] = {SIGINT, SIGTERM};
constexpr int kWatchedCount = sizeof kWatched / sizeof kWatched[0];

volatile bool* gFlag = nullptr;
struct sigaction gPrevious[kWatchedCount];

void OnStopRequest(int) {
    volatile bool* flag = gFlag;
    if (flag != nullptr) *flag = true;
}

}  // namespace

QxStatus QxPlatformSignalWatch(volatile bool* flag) {
    if (flag == nullptr) return kStatusBadParameter;
    if (gFlag != nullptr) return kStatusAlreadyInitialized;
    gFlag = flag;
    struct sigaction action {};
    action.sa_handler = OnStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int i = 0; i < kWatchedCount; ++i) {
        if (sigaction(kWatched[i], &action, &gPrevious[i]) != 0) {
            QxStatus status = QxPlatformLastError();
            while (--i >= 0) sigaction(kWatched[i], &gPrevious[i], nullptr);
            gFlag = nullptr;
            return status;
        }
    }
    return kStatusOK;
}

void QxPlatformSignalUnwatch() {
    if (gFlag == nullptr) return;
    for (int i = 0; i < kWatchedCount; ++i) sigaction(kWatched[i], &gPrevious[i], nullptr);
    gFlag = nullptr;
}

bool QxPlatformStreamIsTerminal(FILE* stream) {
    return stream != nullptr && isatty(fileno(stream)) == 1;
}

bool QxPlatformErrorText(QxStatus error, char* text, size_t size) {
    if (text == nullptr || size == 0) return false;
    text[0] = '\0';
    if (error <= 0) return false;
    // The GNU strerror_r may return its own static text instead of filling
    // the buffer; both forms end up in text.
    char buffer[256];
    const char* message = strerror_r(error, buffer, sizeof buffer);
    if (message == nullptr || message[0] == '\0') return false;
    snprintf(text, size, "%s", message);
    return true;
}

bool QxPlatformErrorIsAddressInUse(QxStatus error) { return error == EADDRINUSE; }

bool QxPlatformErrorIsAccessDenied(QxStatus error) { return error == EACCES; }

bool QxPlatformStreamLiveScreen(FILE* stream, int* rows, int* columns) {
    if (!QxPlatformStreamIsTerminal(stream) || rows == nullptr || columns == nullptr) return false;
    const char* terminal = getenv("TERM");
    if (terminal == nullptr || strcmp(terminal, "dumb") == 0) return false;
    winsize size{};
    bool known = ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0;
    *rows = known ? size.ws_row : 24;
    *columns = known ? size.ws_col : 80;
    return true;
}
