// POSIX side of QxPlatformNet.h: BSD sockets with SOCK_CLOEXEC (test and
// tool child processes must not inherit a server's sockets), sendmsg for
// the gathered send, MSG_NOSIGNAL on sends, and the Windows Sockets family
// numbers mapped to the system's.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "QxPlatformNet.h"

static_assert(sizeof(QxNetAddress::bytes) == sizeof(sockaddr_storage));
static_assert(alignof(QxNetAddress) >= alignof(sockaddr_storage));
static_assert(sizeof(QxNetBuffer) == sizeof(iovec));
static_assert(offsetof(QxNetBuffer, pointer) == offsetof(iovec, iov_base));
static_assert(offsetof(QxNetBuffer, length) == offsetof(iovec, iov_len));

namespace {

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

}  // namespace

bool QxPlatformNetPrefersIPv6() {
    int handle = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle == -1) return false;
    int off = 0;
    bool dualStack = setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
    close(handle);
    return dualStack;
}

QxStatus QxPlatformNetStreamSocket(int family, QxSocketHandle* handle) {
    int systemFamily = 0;
    if (handle == nullptr) return kStatusBadParameter;
    if (!SystemFamily(family, &systemFamily)) return kStatusUnsupported;
    int created = socket(systemFamily, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (created == -1) return QxPlatformSocketLastError();
    *handle = created;
    return kStatusOK;
}

QxStatus QxPlatformNetSetOption(QxSocketHandle handle, QxNetOption option, int value) {
    int level = 0;
    int name = 0;
    if (!OptionName(option, &level, &name)) return kStatusBadParameter;
    if (setsockopt(handle, level, name, &value, sizeof value) != 0) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

QxStatus QxPlatformNetGetOption(QxSocketHandle handle, QxNetOption option, int* value) {
    int level = 0;
    int name = 0;
    if (value == nullptr || !OptionName(option, &level, &name)) return kStatusBadParameter;
    int result = 0;
    socklen_t length = sizeof result;
    if (getsockopt(handle, level, name, &result, &length) != 0) return QxPlatformSocketLastError();
    *value = result;
    return kStatusOK;
}

QxStatus QxPlatformNetBindAny(QxSocketHandle handle, int family, uint16_t port) {
    int result = -1;
    if (family == kQxNetFamilyIPv6) {
        sockaddr_in6 address{};  // in6addr_any, flow information and scope 0
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        result = bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else if (family == kQxNetFamilyIPv4) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        result = bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
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
        result = bind(handle, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    } else if (family == kQxNetFamilyIPv4) {
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_port = htons(port);
        if (inet_pton(AF_INET, address, &bound.sin_addr) != 1) return kStatusBadParameter;
        result = bind(handle, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
    } else {
        return kStatusUnsupported;
    }
    return result == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetLocalPort(QxSocketHandle handle, uint16_t* port) {
    if (port == nullptr) return kStatusBadParameter;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
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
    return listen(handle, backlog) == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetAccept(QxSocketHandle listener, QxSocketHandle* accepted) {
    if (accepted == nullptr) return kStatusBadParameter;
    int handle;
    do {
        handle = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (handle == -1 && errno == EINTR);
    if (handle == -1) return QxPlatformSocketLastError();
    *accepted = handle;
    return kStatusOK;
}

bool QxPlatformNetIsOutOfResources(QxStatus status) {
    return status == EMFILE || status == ENFILE || status == ENOBUFS || status == ENOMEM;
}

bool QxPlatformIsOutOfDescriptors(QxStatus status) {
    return status == EMFILE || status == ENFILE;
}

QxStatus QxPlatformNetReceive(QxSocketHandle handle, void* buffer, size_t length, bool peek,
                              size_t* received) {
    if (received == nullptr) return kStatusBadParameter;
    ssize_t count;
    do {
        count = recv(handle, buffer, length, peek ? MSG_PEEK : 0);
    } while (count == -1 && errno == EINTR);
    if (count == -1) return QxPlatformSocketLastError();
    *received = static_cast<size_t>(count);
    return kStatusOK;
}

QxStatus QxPlatformNetSendGather(QxSocketHandle handle, QxNetBuffer* buffers, uint32_t count,
                                 size_t* sent) {
    if (sent == nullptr || (buffers == nullptr && count != 0)) return kStatusBadParameter;
    msghdr message{};
    message.msg_iov = reinterpret_cast<iovec*>(buffers);
    message.msg_iovlen = count;
    ssize_t result;
    do {
        result = sendmsg(handle, &message, MSG_NOSIGNAL);
    } while (result == -1 && errno == EINTR);
    if (result == -1) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

QxStatus QxPlatformNetSendFile(QxSocketHandle handle, QxDeviceHandle file, uint64_t offset,
                               size_t count, size_t* sent) {
    if (sent == nullptr || file == kQxInvalidDeviceHandle) return kStatusBadParameter;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return kStatusOutOfRange;
    off_t position = static_cast<off_t>(offset);
    ssize_t result;
    do {
        result = sendfile(handle, static_cast<int>(file), &position, count);
    } while (result == -1 && errno == EINTR);
    if (result == -1) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

bool QxPlatformNetCanSendFile() { return true; }

QxStatus QxPlatformNetShutdownSend(QxSocketHandle handle) {
    return shutdown(handle, SHUT_WR) == 0 ? kStatusOK : QxPlatformSocketLastError();
}

// ---- Datagrams ------------------------------------------------------------

int QxPlatformNetAddressFamily(const void* address) {
    if (address == nullptr) return 0;
    sa_family_t family;
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
    int systemFamily = 0;
    if (handle == nullptr) return kStatusBadParameter;
    if (!SystemFamily(family, &systemFamily)) return kStatusUnsupported;
    int created = socket(systemFamily, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (created == -1) return QxPlatformSocketLastError();
    *handle = created;
    return kStatusOK;
}

QxStatus QxPlatformNetConnect(QxSocketHandle handle, const void* address, size_t addressLength) {
    if (address == nullptr || addressLength > sizeof(sockaddr_storage)) {
        return kStatusBadParameter;
    }
    int result;
    do {
        result = connect(handle, static_cast<const sockaddr*>(address),
                         static_cast<socklen_t>(addressLength));
    } while (result == -1 && errno == EINTR);
    return result == 0 ? kStatusOK : QxPlatformSocketLastError();
}

QxStatus QxPlatformNetSend(QxSocketHandle handle, const void* buffer, size_t length,
                           size_t* sent) {
    if (sent == nullptr || (buffer == nullptr && length != 0)) return kStatusBadParameter;
    ssize_t result;
    do {
        result = send(handle, buffer, length, MSG_NOSIGNAL);
    } while (result == -1 && errno == EINTR);
    if (result == -1) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

QxStatus QxPlatformNetSendTo(QxSocketHandle handle, const void* buffer, size_t length,
                             const void* address, size_t addressLength, size_t* sent) {
    if (sent == nullptr || (buffer == nullptr && length != 0) || address == nullptr ||
        addressLength > sizeof(sockaddr_storage)) {
        return kStatusBadParameter;
    }
    ssize_t result;
    do {
        result = sendto(handle, buffer, length, MSG_NOSIGNAL, static_cast<const sockaddr*>(address),
                        static_cast<socklen_t>(addressLength));
    } while (result == -1 && errno == EINTR);
    if (result == -1) return QxPlatformSocketLastError();
    *sent = static_cast<size_t>(result);
    return kStatusOK;
}

QxStatus QxPlatformNetReceiveFrom(QxSocketHandle handle, void* buffer, size_t length,
                                  QxNetAddress* from, size_t* received) {
    if (from == nullptr || received == nullptr) return kStatusBadParameter;
    socklen_t fromLength = sizeof from->bytes;
    ssize_t count;
    do {
        count = recvfrom(handle, buffer, length, 0, reinterpret_cast<sockaddr*>(from->bytes),
                         &fromLength);
    } while (count == -1 && errno == EINTR);
    if (count == -1) return QxPlatformSocketLastError();
    from->length = fromLength < sizeof from->bytes ? fromLength : sizeof from->bytes;
    *received = static_cast<size_t>(count);
    return kStatusOK;
}

namespace {

// getpeername or getsockname into *address.
template <typename NameCall>
QxStatus SocketAddress(QxSocketHandle handle, NameCall call, QxNetAddress* address) {
    if (address == nullptr) return kStatusBadParameter;
    socklen_t length = sizeof address->bytes;
    if (call(handle, reinterpret_cast<sockaddr*>(address->bytes), &length) != 0) {
        return QxPlatformSocketLastError();
    }
    address->length = length < sizeof address->bytes ? length : sizeof address->bytes;
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
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return QxPlatformSocketLastError();
    }
    int level = IPPROTO_IP, name = IP_MTU;
    if (local.ss_family == AF_INET6) {
        level = IPPROTO_IPV6;
        name = IPV6_MTU;
    } else if (local.ss_family != AF_INET) {
        return kStatusUnsupported;
    }
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(handle, level, name, &value, &length) != 0) return QxPlatformSocketLastError();
    if (value <= 0) return kStatusUnsupported;
    *mtu = static_cast<uint32_t>(value);
    return kStatusOK;
}

QxStatus QxPlatformNetWakeSocket(QxSocketHandle* handle) {
    if (handle == nullptr) return kStatusBadParameter;
    int created = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (created == -1) return QxPlatformSocketLastError();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(created, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        QxStatus status = QxPlatformSocketLastError();
        close(created);
        return status;
    }
    *handle = created;
    return kStatusOK;
}
