// Shared by the run-loop tests: a fixture that starts and stops the run
// loop, and loopback sockets with the same few calls on Windows Sockets and
// POSIX, so that one set of tests runs on both backends.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "QxLObject.h"
#include "QxPlatformRunLoop.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"

namespace testsupport {

#if defined(_WIN32)
using SocketLength = int;
#else
using SocketLength = socklen_t;
#endif

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline uint16_t BoundPort(QxSocketHandle handle) {
    sockaddr_in address{};
    SocketLength length = sizeof address;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// A non-blocking socket bound to 127.0.0.1 on a port the system picks.
inline QxSocketHandle BoundSocket(int type, uint16_t* port) {
    QxSocketHandle handle = socket(AF_INET, type, 0);
    if (handle == kQxInvalidSocket) return kQxInvalidSocket;
    sockaddr_in address = Loopback(0);
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        QxPlatformSocketSetNonBlocking(handle) != kStatusOK) {
        QxPlatformSocketClose(handle);
        return kQxInvalidSocket;
    }
    *port = BoundPort(handle);
    return handle;
}

inline QxSocketHandle UdpSocket(uint16_t* port) { return BoundSocket(SOCK_DGRAM, port); }

inline QxSocketHandle TcpListener(uint16_t* port) {
    QxSocketHandle handle = BoundSocket(SOCK_STREAM, port);
    if (handle != kQxInvalidSocket && listen(handle, 8) != 0) {
        QxPlatformSocketClose(handle);
        return kQxInvalidSocket;
    }
    return handle;
}

// Starts a connect from an unbound, non-blocking stream socket; 0 or the
// socket error (would-block while the connection is under way).
inline QxStatus StartConnect(QxSocketHandle handle, uint16_t port) {
    sockaddr_in address = Loopback(port);
    if (connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

inline QxSocketHandle NewStreamSocket() {
    QxSocketHandle handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle != kQxInvalidSocket) QxPlatformSocketSetNonBlocking(handle);
    return handle;
}

// A connected pair over loopback, both ends non-blocking. False on failure.
inline bool TcpPair(QxSocketHandle* client, QxSocketHandle* server) {
    uint16_t port = 0;
    QxSocketHandle listener = TcpListener(&port);
    if (listener == kQxInvalidSocket) return false;
    *client = NewStreamSocket();
    StartConnect(*client, port);
    *server = kQxInvalidSocket;
    // The listener is non-blocking; the handshake on loopback takes a moment.
    for (int attempt = 0; attempt < 2000 && *server == kQxInvalidSocket; ++attempt) {
        *server = accept(listener, nullptr, nullptr);
        if (*server == kQxInvalidSocket) {
#if defined(_WIN32)
            Sleep(1);
#else
            usleep(1000);
#endif
        }
    }
    QxPlatformSocketClose(listener);
    if (*server == kQxInvalidSocket) {
        QxPlatformSocketClose(*client);
        return false;
    }
    QxPlatformSocketSetNonBlocking(*server);
    return true;
}

inline int SendTo(QxSocketHandle handle, uint16_t port, const void* bytes, int length) {
    sockaddr_in address = Loopback(port);
    return static_cast<int>(sendto(handle, static_cast<const char*>(bytes), length, 0,
                                   reinterpret_cast<sockaddr*>(&address), sizeof address));
}

inline int Send(QxSocketHandle handle, const void* bytes, int length) {
    return static_cast<int>(send(handle, static_cast<const char*>(bytes), length, 0));
}

// Receives from a datagram or stream socket; -1 on failure, 0 at the end.
inline int Receive(QxSocketHandle handle, void* bytes, int length) {
    return static_cast<int>(recv(handle, static_cast<char*>(bytes), length, 0));
}

// Receives a datagram and tells its sender's port.
inline int ReceiveFrom(QxSocketHandle handle, void* bytes, int length, uint16_t* port) {
    sockaddr_in address{};
    SocketLength addressLength = sizeof address;
    int count = static_cast<int>(recvfrom(handle, static_cast<char*>(bytes), length, 0,
                                          reinterpret_cast<sockaddr*>(&address), &addressLength));
    if (count >= 0 && port != nullptr) *port = ntohs(address.sin_port);
    return count;
}

// Whether the handle still names an open socket.
inline bool IsOpenSocket(QxSocketHandle handle) {
    int type = 0;
    SocketLength length = sizeof type;
    return getsockopt(handle, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

// Fills the socket's send buffer (and the peer's receive buffer) until the
// system refuses more. Returns the bytes written.
inline long FillSendBuffer(QxSocketHandle handle) {
    static char chunk[16384];
    long total = 0;
    for (;;) {
        int sent = Send(handle, chunk, sizeof chunk);
        if (sent <= 0) return total;
        total += sent;
    }
}

// Waits until a descriptor is readable (POSIX only; false on Windows).
inline bool WaitReadable(int fd, int milliseconds) {
#if defined(_WIN32)
    (void)fd;
    (void)milliseconds;
    return false;
#else
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, milliseconds) == 1;
#endif
}

// Runs the loop until *stop is set or `seconds` have passed; true if
// stopped. Waits are generous: a loaded machine only makes tests slower.
inline bool RunFor(double seconds, const volatile bool* stop = nullptr) {
    return QxRunLoopPumpRunUntil(stop, QxRunLoopNow() + seconds) == kStatusOK;
}

// Every test starts with a fresh run loop and ends by tearing it down as
// the application does, type registry included.
class RunLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QxPlatformSocketStartup(), kStatusOK);
        ASSERT_EQ(QxRunLoopInitialize(), kStatusOK);
    }
    void TearDown() override {
        QxRunLoopShutdown();
        QxLResetTypeRegistry();
        QxPlatformSocketCleanup();
    }
};

}  // namespace testsupport
