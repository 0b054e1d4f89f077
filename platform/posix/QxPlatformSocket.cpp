// POSIX side of QxPlatformSocket.h: descriptors are sockets, errno is the
// error, and the would-block family maps to 10035.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "QxPlatformRunLoopInternal.h"
#include "QxPlatformSocket.h"

namespace {

QxStatus StatusForErrno(int code) {
    if (code == 0) return kStatusUnknown;
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS) return kQxErrorWouldBlock;
    return code;
}

}  // namespace

QxStatus QxPlatformSocketStartup() {
    // A write to a connection the peer has closed must fail, not kill us.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return QxPlatformLastError();
    return kStatusOK;
}

void QxPlatformSocketCleanup() {}

QxStatus QxPlatformSocketSetNonBlocking(QxSocketHandle handle) {
    int flags = fcntl(handle, F_GETFL);
    if (flags == -1) return QxPlatformSocketLastError();
    if (fcntl(handle, F_SETFL, flags | O_NONBLOCK) == -1) return QxPlatformSocketLastError();
    return kStatusOK;
}

QxStatus QxPlatformSocketClose(QxSocketHandle handle) {
    QxPlatformRunLoopForgetSocket(handle);
    // Linux releases the descriptor even when close reports EINTR, so it is
    // never retried.
    if (close(handle) == -1 && errno != EINTR) return QxPlatformSocketLastError();
    return kStatusOK;
}

QxStatus QxPlatformSocketLastError() { return StatusForErrno(errno); }

QxStatus QxPlatformLastError() {
    int code = errno;
    return code != 0 ? code : kStatusUnknown;
}
