// Windows side of QxPlatformSocket.h: Windows Sockets 2.2, whose error
// numbers (would-block is 10035 already) pass through unchanged.
#include <winsock2.h>
#include <windows.h>

#include "QxPlatformSocket.h"

QxStatus QxPlatformSocketStartup() {
    WSADATA data;
    // WSAStartup returns its error instead of setting the last error.
    int result = WSAStartup(MAKEWORD(2, 2), &data);
    return result != 0 ? static_cast<QxStatus>(result) : kStatusOK;
}

void QxPlatformSocketCleanup() { WSACleanup(); }

QxStatus QxPlatformSocketSetNonBlocking(QxSocketHandle handle) {
    u_long nonBlocking = 1;
    if (ioctlsocket(static_cast<SOCKET>(handle), FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

QxStatus QxPlatformSocketClose(QxSocketHandle handle) {
    // Closing also cancels the socket's WSAAsyncSelect.
    if (closesocket(static_cast<SOCKET>(handle)) == SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

QxStatus QxPlatformSocketLastError() {
    int code = WSAGetLastError();
    return code != 0 ? static_cast<QxStatus>(code) : kStatusUnknown;
}

QxStatus QxPlatformLastError() {
    DWORD code = GetLastError();
    return code != 0 ? static_cast<QxStatus>(code) : kStatusUnknown;
}
