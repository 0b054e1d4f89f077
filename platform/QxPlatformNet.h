// TCP as the HTTP listener needs it, with one set of calls on Windows
// Sockets and POSIX: stream sockets of either family, the few options the
// server sets, bind to the wildcard address, accept, receive (optionally
// peeking), gathered send and half-close, and the IPv6 preference.
//
// Error rule as in QxPlatformSocket.h: a failure reports the system's error
// number (would-block is 10035 everywhere), or kStatusUnknown when that is
// 0. An interrupted call (EINTR / WSAEINTR) is repeated at once and never
// reported.
//
// Datagrams (UDP) as the boot services need them: a socket of either
// family, connect to one peer, send and send-to, receive-from, and a socket
// address in the system's own layout with the few accessors the servers
// use.
//
// Not here: name resolution, stream connect, or anything else a client
// needs; tests use the system calls directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"
#include "QxPlatformSocket.h"

// Address families by their Windows Sockets values, which the server code
// uses on every system (AF_INET6 is 10 on Linux).
inline constexpr int kQxNetFamilyIPv4 = 2;
inline constexpr int kQxNetFamilyIPv6 = 23;

// One entry of a gathered send, laid out as the system's own descriptor so
// that an array of them goes to the system unconverted:
//
//   system    descriptor      layout
//   Windows   WSABUF          u_long len (32 bits), char* buf
//   POSIX     struct iovec    void* iov_base, size_t iov_len
#if defined(_WIN32)
using QxNetLength = uint32_t;
struct QxNetBuffer {
    QxNetLength length;
    char* pointer;
};
#else
using QxNetLength = size_t;
struct QxNetBuffer {
    char* pointer;
    QxNetLength length;
};
#endif

// Socket options the server sets; all take an int.
enum class QxNetOption {
    IPv6Only,       // IPPROTO_IPV6 / IPV6_V6ONLY
    ReceiveBuffer,  // SOL_SOCKET / SO_RCVBUF
    SendBuffer,     // SOL_SOCKET / SO_SNDBUF
    ReuseAddress,   // SOL_SOCKET / SO_REUSEADDR
    NoDelay,        // IPPROTO_TCP / TCP_NODELAY
};

// Whether a listener should be an IPv6 (dual-stack) socket. Windows: the
// system is version 6.0 or later. Linux: the system can make an IPv6
// stream socket that also accepts IPv4 (IPV6_V6ONLY can be turned off).
bool QxPlatformNetPrefersIPv6();

// A TCP stream socket of the family (kQxNetFamilyIPv4 or kQxNetFamilyIPv6;
// another value gives kStatusUnsupported). Blocking, not inherited by child
// processes. *handle is written only on success.
QxStatus QxPlatformNetStreamSocket(int family, QxSocketHandle* handle);

QxStatus QxPlatformNetSetOption(QxSocketHandle handle, QxNetOption option, int value);
// The value as the system reports it (Linux reports buffer sizes doubled).
QxStatus QxPlatformNetGetOption(QxSocketHandle handle, QxNetOption option, int* value);

// Binds to the wildcard address of the family (IPv6 :: with flow
// information and scope 0, or IPv4 INADDR_ANY) and the port (host order;
// 0 lets the system choose).
QxStatus QxPlatformNetBindAny(QxSocketHandle handle, int family, uint16_t port);
// Binds to one numeric address of the family ("127.0.0.1", "::1") and the
// port. kStatusBadParameter: a null text or one that is no address of the
// family; kStatusUnsupported: another family.
QxStatus QxPlatformNetBindAddress(QxSocketHandle handle, int family, const char* address,
                                  uint16_t port);
// The port the socket is bound to, in host order.
QxStatus QxPlatformNetLocalPort(QxSocketHandle handle, uint16_t* port);
QxStatus QxPlatformNetListen(QxSocketHandle handle, int backlog);
// Accepts one connection without asking for the peer's address. The new
// handle is not inherited by child processes; it is blocking until made
// non-blocking.
QxStatus QxPlatformNetAccept(QxSocketHandle listener, QxSocketHandle* accepted);
// True for an accept failure that lasts until the process or system frees
// something (descriptors, buffers, memory): the pending connection stays
// queued and the listener stays readable, so accepting again at once fails
// again.
bool QxPlatformNetIsOutOfResources(QxStatus status);
// True for a failure to open a file or device because the process or the
// system has no descriptor (handle) left for it: it passes once something
// is closed, and says nothing about the file.
bool QxPlatformIsOutOfDescriptors(QxStatus status);

// Receives at most `length` bytes; with peek the bytes stay in the socket.
// *received is 0 when the peer has closed its sending side.
QxStatus QxPlatformNetReceive(QxSocketHandle handle, void* buffer, size_t length, bool peek,
                              size_t* received);

// Sends the `count` entries with one system call (WSASend / sendmsg, no
// flags that change the data; on POSIX no SIGPIPE). *sent is the number of
// bytes the system took, possibly fewer than offered.
QxStatus QxPlatformNetSendGather(QxSocketHandle handle, QxNetBuffer* buffers, uint32_t count,
                                 size_t* sent);

// shutdown with SD_SEND / SHUT_WR.
// Sends at most `count` bytes of an open file, from `offset` on, straight
// from the system's file cache (Linux sendfile): the bytes never pass
// through the process. *sent is what the socket took; 0 with count above 0
// means the file ends before `offset`. kStatusUnsupported where the system
// has no such call (Windows here; QxPlatformNetCanSendFile says so first).
QxStatus QxPlatformNetSendFile(QxSocketHandle handle, QxDeviceHandle file, uint64_t offset,
                               size_t count, size_t* sent);
bool QxPlatformNetCanSendFile();

QxStatus QxPlatformNetShutdownSend(QxSocketHandle handle);

// ---- Datagrams --------------------------------------------------------------
//
// Socket addresses travel as `const void*` to the system's own structure
// (sockaddr_in / sockaddr_in6, the `const struct sockaddr*` of other
// headers) and are handed to the system unconverted; QxNetAddress is room
// for one of any family. Null outputs, a null buffer with a length, and an
// address length beyond that room give kStatusBadParameter, a datagram
// over 2 GiB kStatusBadSize on Windows; errors otherwise follow the rule at
// the top.

// Room for a socket address of any family: the size and alignment of the
// system's sockaddr_storage (128 bytes on both systems). `length` is the
// number of bytes of `bytes` in use.
struct QxNetAddress {
    alignas(8) uint8_t bytes[128];
    uint32_t length;
};

// The family of a socket address: kQxNetFamilyIPv4, kQxNetFamilyIPv6, or
// 0 for another family or a null address.
int QxPlatformNetAddressFamily(const void* address);
// The length of the system's structure for the address's family
// (sockaddr_in or sockaddr_in6), 0 for another family or a null address.
uint32_t QxPlatformNetAddressLength(const void* address);
// The four bytes (network order) of an IPv4 socket address into bytes.
// False, and bytes untouched, for another family or null arguments.
bool QxPlatformNetAddressIPv4(const void* address, uint8_t bytes[4]);
// The host of a socket address without its port, as 16 bytes: an IPv6
// address as it is, an IPv4 one as its IPv4-mapped IPv6 form (::ffff:a.b.c.d),
// so that a client is one host whichever way a dual-stack socket saw it.
// False, and host untouched, for another family or null arguments.
bool QxPlatformNetAddressHost(const void* address, uint8_t host[16]);
// The IPv4 socket address of bytes (network order) and port into *address.
// Null arguments are ignored.
void QxPlatformNetMakeIPv4(const uint8_t bytes[4], uint16_t port, QxNetAddress* address);
// The first IPv4 address of host (a dotted address or a name the system
// resolves; may block while it asks) into bytes, network order.
// kStatusNotFound when the host has no IPv4 address, kStatusBadParameter
// for null arguments.
QxStatus QxPlatformNetResolveIPv4(const char* host, uint8_t bytes[4]);

// A UDP socket of the family (kQxNetFamilyIPv4 or kQxNetFamilyIPv6;
// another value gives kStatusUnsupported). Blocking, not inherited by child
// processes. *handle is written only on success. Bind it with
// QxPlatformNetBindAny, read its port with QxPlatformNetLocalPort; a
// connected one receives with QxPlatformNetReceive (one datagram per call).
QxStatus QxPlatformNetDatagramSocket(int family, QxSocketHandle* handle);

// Connects a datagram socket to the peer (address, addressLength bytes):
// sends go there and only its datagrams arrive.
QxStatus QxPlatformNetConnect(QxSocketHandle handle, const void* address, size_t addressLength);

// Sends one datagram on a connected socket (on POSIX without SIGPIPE).
// *sent is the number of bytes the system took.
QxStatus QxPlatformNetSend(QxSocketHandle handle, const void* buffer, size_t length,
                           size_t* sent);
// Sends one datagram to the address (addressLength bytes).
QxStatus QxPlatformNetSendTo(QxSocketHandle handle, const void* buffer, size_t length,
                             const void* address, size_t addressLength, size_t* sent);

// Receives one datagram of at most `length` bytes and its sender into
// *from (bytes and length). What does not fit is lost; Windows then fails
// the call with WSAEMSGSIZE (10040) while POSIX reports the bytes that fit.
QxStatus QxPlatformNetReceiveFrom(QxSocketHandle handle, void* buffer, size_t length,
                                  QxNetAddress* from, size_t* received);

// The address of a connected socket's peer into *peer (bytes and length).
QxStatus QxPlatformNetPeerAddress(QxSocketHandle handle, QxNetAddress* peer);
// The socket's own address (the one a peer reached it at) into *local.
QxStatus QxPlatformNetLocalAddress(QxSocketHandle handle, QxNetAddress* local);

// The MTU of the path toward a connected socket's peer, in bytes of IP
// packet: Linux's IP_MTU / IPV6_MTU (the route's MTU, lowered by what the
// path has reported since), Windows the MTU of the interface the route to
// the peer leaves by (a loopback peer has none: kStatusUnsupported).
// kStatusUnsupported where it cannot be known (the caller then assumes
// nothing); the system's error otherwise.
QxStatus QxPlatformNetPathMtu(QxSocketHandle handle, uint32_t* mtu);

// ---- Waking the run loop from another thread --------------------------------

// A non-blocking UDP socket bound to the loopback address and connected to
// itself: any thread may send a datagram on it (QxPlatformNetSend) to make
// it readable, so a run loop watching it wakes up. Only its own datagrams
// arrive. *handle is written only on success.
QxStatus QxPlatformNetWakeSocket(QxSocketHandle* handle);
