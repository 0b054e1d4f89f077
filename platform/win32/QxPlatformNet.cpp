// Windows side of QxPlatformNet.h: Windows Sockets 2, whose family numbers
// and error numbers are the ones the shared code uses; WSASend gathers the
// entries, which are WSABUFs already. Sockets are made with
// WSA_FLAG_NO_HANDLE_INHERIT so that child processes do not hold them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstddef>
#include <cstring>

#include "QxPlatformNet.h"

static_assert(sizeof(QxNetAddress::bytes) == sizeof(SOCKADDR_STORAGE));
static_assert(alignof(QxNetAddress) >= alignof(SOCKADDR_STORAGE));
static_assert(sizeof(QxNetBuffer) == sizeof(WSABUF));
static_assert(offsetof(QxNetBuffer, length) == offsetof(WSABUF, len));
static_assert(offsetof(QxNetBuffer, pointer) == offsetof(WSABUF, buf));
static_assert(sizeof(u_long) == sizeof(QxNetLength));

namespace {

SOCKET Native(QxSocketHandle handle) { return static_cast<SOCKET>(handle); }

bool SystemFamily(int family, int* systemFamily) {
    if (family == kQxNetFamilyIPv4) {
        *systemFamily = AF_INET;
    } else if (family == kQxNetFamilyIPv6) {
        *systemFamily = AF_INET6;
    } else {
        return false;
    }
    return true;
}

bool OptionName(QxNetOption option, int* level, int* name) {
    switch (option) {
    case QxNetOption::IPv6Only: *level = IPPROTO_IPV6; *name = IPV6_V6ONLY; return true;
    case QxNetOption::ReceiveBuffer: *level = SOL_SOCKET; *name = SO_RCVBUF; return true;
    case QxNetOption::SendBuffer: *level = SOL_SOCKET; *name = SO_SNDBUF; return true;
    case QxNetOption::ReuseAddress: *level = SOL_SOCKET; *name = SO_REUSEADDR; return true;
    case QxNetOption::NoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
    }
    return false;
}

// As socket() does, plus WSA_FLAG_NO_HANDLE_INHERIT so that child
// processes do not hold the socket.
QxStatus NewSocket(int family, int type, int protocol, QxSocketHandle* handle) {
    int systemFamily = 0;
    if (handle == nullptr) return kStatusBadParameter;
    if (!SystemFamily(family, &systemFamily)) return kStatusUnsupported;
    SOCKET created = WSASocketW(systemFamily, type, protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (created == INVALID_SOCKET) {
        // Systems before 7 SP1 reject the flag.
        created = socket(systemFamily, type, protocol);
    }
    if (created == INVALID_SOCKET) return QxPlatformSocketLastError();
    *handle = static_cast<QxSocketHandle>(created);
    return kStatusOK;
}

}  // namespace

bool QxPlatformNetPrefersIPv6() {
    // Version 6.0 (Vista) and later have the dual-stack socket.
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 0;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, condition) != FALSE;
}

QxStatus QxPlatformNetStreamSocket(int family, QxSocketHandle* handle) {
    return NewSocket(family, SOCK_STREAM, IPPROTO_TCP, handle);
}

QxStatus QxPlatformNetSetOption(QxSocketHandle handle, QxNetOption option, int value) {
    int level = 0;
    int name = 0;
    if (!OptionName(option, &level, &name)) return kStatusBadParameter;
    if (setsockopt(Native(handle), level, name, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

QxStatus QxPlatformNetGetOption(QxSocketHandle handle, QxNetOption option, int* value) {
    int level = 0;
    int name = 0;
    if (value == nullptr || !OptionName(option, &level, &name)) return kStatusBadParameter;
    int result = 0;
    int length = sizeof result;
    if (getsockopt(Native(handle), level, name, reinterpret_cast<char*>(&result), &length) ==
        SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    *value = result;
    return kStatusOK;
}

QxStatus QxPlatformNetBindAny(QxSocketHandle handle, int family, uint16_t port) {
    int result = SOCKET_ERROR;
    if (family == kQxNetFamilyIPv6) {
        sockaddr_in6 address{};  // in6addr_any, flow information and scope 0
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        result = bind(Native(handle), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else if (family == kQxNetFamilyIPv4) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        result = bind(Native(handle), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        return kStatusUnsupported;
    }
    return result == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetBindAddress(QxSocketHandle handle, int family, const char* address,
                                  uint16_t port) {
    if (address == nullptr) return kStatusBadParameter;
    int result = -1;
    if (family == kQxNetFamilyIPv6) {
        sockaddr_in6 bound{};
        bound.sin6_family = AF_INET6;
        bound.sin6_port = htons(port);
        if (inet_pton(AF_INET6, address, &bound.sin6_addr) != 1) return kStatusBadParameter;
        result = bind(Native(handle), reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    } else if (family == kQxNetFamilyIPv4) {
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_port = htons(port);
        if (inet_pton(AF_INET, address, &bound.sin_addr) != 1) return kStatusBadParameter;
        result = bind(Native(handle), reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    } else {
        return kStatusUnsupported;
    }
    return result == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetLocalPort(QxSocketHandle handle, uint16_t* port) {
    if (port == nullptr) return kStatusBadParameter;
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(Native(handle), reinterpret_cast<sockaddr*>(&address), &length) ==
        SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    if (address.ss_family == AF_INET6) {
        *port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    } else if (address.ss_family == AF_INET) {
        *port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    } else {
        return kStatusUnsupported;
    }
    return kStatusOK;
}

QxStatus QxPlatformNetListen(QxSocketHandle handle, int backlog) {
    return listen(Native(handle), backlog) == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetAccept(QxSocketHandle listener, QxSocketHandle* accepted) {
    if (accepted == nullptr) return kStatusBadParameter;
    SOCKET handle;
    do {
        handle = accept(Native(listener), nullptr, nullptr);
    } while (handle == INVALID_SOCKET && WSAGetLastError() == WSAEINTR);
    if (handle == INVALID_SOCKET) return QxPlatformSocketLastError();
    // Child processes must not keep the connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
    *accepted = static_cast<QxSocketHandle>(handle);
    return kStatusOK;
}

bool QxPlatformNetIsOutOfResources(QxStatus status) {
    return status == WSAEMFILE || status == WSAENOBUFS;
}

bool QxPlatformIsOutOfDescriptors(QxStatus status) {
    return status == ERROR_TOO_MANY_OPEN_FILES || status == ERROR_NO_SYSTEM_RESOURCES ||
           status == WSAEMFILE;
}

QxStatus QxPlatformNetReceive(QxSocketHandle handle, void* buffer, size_t length, bool peek,
                              size_t* received) {
    if (received == nullptr) return kStatusBadParameter;
    int capped = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    int count;
    do {
        count = recv(Native(handle), static_cast<char*>(buffer), capped, peek ? MSG_PEEK : 0);
    } while (count == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    if (count == SOCKET_ERROR) return QxPlatformSocketLastError();
    *received = static_cast<size_t>(count);
    return kStatusOK;
}

QxStatus QxPlatformNetSendGather(QxSocketHandle handle, QxNetBuffer* buffers, uint32_t count,
                                 size_t* sent) {
    if (sent == nullptr || (buffers == nullptr && count != 0)) return kStatusBadParameter;
    DWORD bytes = 0;
    int result;
    do {
        result = WSASend(Native(handle), reinterpret_cast<WSABUF*>(buffers), count, &bytes, 0,
                         nullptr, nullptr);
    } while (result == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    if (result == SOCKET_ERROR) return QxPlatformSocketLastError();
    *sent = bytes;
    return kStatusOK;
}

// TransmitFile would do it, but only blocking or overlapped, neither of
// which fits the run loop: bodies go through memory here.
QxStatus QxPlatformNetSendFile(QxSocketHandle, QxDeviceHandle, uint64_t, size_t, size_t* sent) {
    if (sent != nullptr) *sent = 0;
    return kStatusUnsupported;
}

bool QxPlatformNetCanSendFile() { return false; }

QxStatus QxPlatformNetShutdownSend(QxSocketHandle handle) {
    return shutdown(Native(handle), SD_SEND) == 0 ? kStatusOK : QxPlatformSocketLastError();
}

// ---- Datagrams ------------------------------------------------------------

int QxPlatformNetAddressFamily(const void* address) {
    if (address == nullptr) return 0;
    ADDRESS_FAMILY family;
    memcpy(&family, static_cast<const uint8_t*>(address) + offsetof(sockaddr, sa_family),
           sizeof family);
    if (family == AF_INET) return kQxNetFamilyIPv4;
    if (family == AF_INET6) return kQxNetFamilyIPv6;
    return 0;
}

uint32_t QxPlatformNetAddressLength(const void* address) {
    int family = QxPlatformNetAddressFamily(address);
    if (family == kQxNetFamilyIPv4) return sizeof(sockaddr_in);
    if (family == kQxNetFamilyIPv6) return sizeof(sockaddr_in6);
    return 0;
}

bool QxPlatformNetAddressIPv4(const void* address, uint8_t bytes[4]) {
    if (bytes == nullptr || QxPlatformNetAddressFamily(address) != kQxNetFamilyIPv4) return false;
    memcpy(bytes, static_cast<const uint8_t*>(address) + offsetof(sockaddr_in, sin_addr), 4);
    return true;
}

bool QxPlatformNetAddressHost(const void* address, uint8_t host[16]) {
    if (host == nullptr) return false;
    int family = QxPlatformNetAddressFamily(address);
    const auto* bytes = static_cast<const uint8_t*>(address);
    if (family == kQxNetFamilyIPv4) {
        memset(host, 0, 10);
        host[10] = 0xff;
        host[11] = 0xff;
        memcpy(host + 12, bytes + offsetof(sockaddr_in, sin_addr), 4);
        return true;
    }
    if (family != kQxNetFamilyIPv6) return false;
    memcpy(host, bytes + offsetof(sockaddr_in6, sin6_addr), 16);
    return true;
}

void QxPlatformNetMakeIPv4(const uint8_t bytes[4], uint16_t port, QxNetAddress* address) {
    if (bytes == nullptr || address == nullptr) return;
    sockaddr_in made{};
    made.sin_family = AF_INET;
    made.sin_port = htons(port);
    memcpy(&made.sin_addr, bytes, 4);
    memset(address, 0, sizeof *address);
    memcpy(address->bytes, &made, sizeof made);
    address->length = sizeof made;
}

QxStatus QxPlatformNetResolveIPv4(const char* host, uint8_t bytes[4]) {
    if (host == nullptr || bytes == nullptr) return kStatusBadParameter;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return kStatusNotFound;
    QxStatus status = kStatusNotFound;
    for (addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if (item->ai_family != AF_INET || item->ai_addrlen < sizeof(sockaddr_in)) continue;
        memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr, 4);
        status = kStatusOK;
        break;
    }
    freeaddrinfo(found);
    return status;
}

QxStatus QxPlatformNetDatagramSocket(int family, QxSocketHandle* handle) {
    return NewSocket(family, SOCK_DGRAM, IPPROTO_UDP, handle);
}

QxStatus QxPlatformNetConnect(QxSocketHandle handle, const void* address, size_t addressLength) {
    if (address == nullptr || addressLength > sizeof(SOCKADDR_STORAGE)) {
        return kStatusBadParameter;
    }
    int result;
    do {
        result = connect(Native(handle), static_cast<const sockaddr*>(address),
                         static_cast<int>(addressLength));
    } while (result == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    return result == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetSend(QxSocketHandle handle, const void* buffer, size_t length,
                           size_t* sent) {
    if (sent == nullptr || (buffer == nullptr && length != 0)) return kStatusBadParameter;
    // A datagram is sent whole or not at all: no capping.
    if (length > 0x7FFFFFFF) return kStatusBadSize;
    int result;
    do {
        result = send(Native(handle), static_cast<const char*>(buffer), static_cast<int>(length),
                      0);
    } while (result == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    if (result == SOCKET_ERROR) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

QxStatus QxPlatformNetSendTo(QxSocketHandle handle, const void* buffer, size_t length,
                             const void* address, size_t addressLength, size_t* sent) {
    if (sent == nullptr || (buffer == nullptr && length != 0) || address == nullptr ||
        addressLength > sizeof(SOCKADDR_STORAGE)) {
        return kStatusBadParameter;
    }
    if (length > 0x7FFFFFFF) return kStatusBadSize;
    int result;
    do {
        result = sendto(Native(handle), static_cast<const char*>(buffer),
                        static_cast<int>(length), 0, static_cast<const sockaddr*>(address),
                        static_cast<int>(addressLength));
    } while (result == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    if (result == SOCKET_ERROR) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

QxStatus QxPlatformNetReceiveFrom(QxSocketHandle handle, void* buffer, size_t length,
                                  QxNetAddress* from, size_t* received) {
    if (from == nullptr || received == nullptr) return kStatusBadParameter;
    int capped = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    int fromLength = static_cast<int>(sizeof from->bytes);
    int count;
    do {
        count = recvfrom(Native(handle), static_cast<char*>(buffer), capped, 0,
                         reinterpret_cast<sockaddr*>(from->bytes), &fromLength);
    } while (count == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    if (count == SOCKET_ERROR) return QxPlatformSocketLastError();
    from->length = static_cast<uint32_t>(fromLength);
    *received = static_cast<size_t>(count);
    return kStatusOK;
}

namespace {

// getpeername or getsockname into *address.
template <typename NameCall>
QxStatus SocketAddress(QxSocketHandle handle, NameCall call, QxNetAddress* address) {
    if (address == nullptr) return kStatusBadParameter;
    int length = static_cast<int>(sizeof address->bytes);
    if (call(Native(handle), reinterpret_cast<sockaddr*>(address->bytes), &length) != 0) {
        return QxPlatformSocketLastError();
    }
    address->length = static_cast<uint32_t>(length);
    return kStatusOK;
}

}  // namespace

QxStatus QxPlatformNetPeerAddress(QxSocketHandle handle, QxNetAddress* peer) {
    return SocketAddress(handle, getpeername, peer);
}

QxStatus QxPlatformNetLocalAddress(QxSocketHandle handle, QxNetAddress* local) {
    return SocketAddress(handle, getsockname, local);
}


QxStatus QxPlatformNetPathMtu(QxSocketHandle handle, uint32_t* mtu) {
    if (mtu == nullptr) return kStatusBadParameter;
    QxNetAddress peer{};
    QxStatus status = QxPlatformNetPeerAddress(handle, &peer);
    if (status != kStatusOK) return status;
    // Loopback never fragments, whatever the interface tables say of it
    // (wine answers with another interface's MTU).
    const auto* address = reinterpret_cast<const sockaddr*>(peer.bytes);
    if (address->sa_family == AF_INET &&
        ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24 == 127) {
        return kStatusUnsupported;
    }
    if (address->sa_family == AF_INET6 &&
        IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)) {
        return kStatusUnsupported;
    }
    // Windows keeps no per-socket path MTU to read; the interface of the
    // route toward the peer bounds it.
    DWORD index = 0;
    if (GetBestInterfaceEx(const_cast<sockaddr*>(address), &index) != NO_ERROR) {
        return kStatusUnsupported;
    }
    MIB_IF_ROW2 row;
    memset(&row, 0, sizeof row);
    row.InterfaceIndex = index;
    if (GetIfEntry2(&row) != NO_ERROR || row.Mtu == 0) return kStatusUnsupported;
    *mtu = row.Mtu;
    return kStatusOK;
}

QxStatus QxPlatformNetWakeSocket(QxSocketHandle* handle) {
    if (handle == nullptr) return kStatusBadParameter;
    QxSocketHandle opened = kQxInvalidSocket;
    QxStatus made = NewSocket(kQxNetFamilyIPv4, SOCK_DGRAM, IPPROTO_UDP, &opened);
    if (made != kStatusOK) return made;
    auto created = static_cast<SOCKET>(opened);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (bind(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(created, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(created, FIONBIO, &nonBlocking) != 0) {
        QxStatus status = QxPlatformSocketLastError();
        closesocket(created);
        return status;
    }
    *handle = static_cast<QxSocketHandle>(created);
    return kStatusOK;
}
