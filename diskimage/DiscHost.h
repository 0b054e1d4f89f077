// Drive eject and the small host helpers that describe this computer to a
// network client: its display name, the local address facing a peer, and an
// address as text.
//
// Eject: Windows locks the volume, dismounts it, allows removal and ejects;
// Linux refuses while the drive's file system is mounted (the lock step's
// counterpart), then allows removal and ejects. A device path bound to an
// image file (volume/DeviceBinding.h) "ejects" by losing its binding.
//
// Display name: Windows takes the LAN server comment ("srvcomment"), then
// the DNS host name, then gethostname; Linux takes PRETTY_HOSTNAME from
// /etc/machine-info, then gethostname. "<<UNKNOWN>>" when all are empty.
//
// Not here: reading discs (DiscImageReader.h). Run-loop thread only.
#pragma once

#include <cstddef>

#include "QxLObject.h"
#include "QxLStatus.h"

struct sockaddr;
struct sockaddr_storage;

// Room for any text of SocketAddressToText, NUL included.
inline constexpr size_t kSocketAddressTextSize = 64;

// Ejects the medium of the drive at devicePath (\\.\CdRom0). For a bound
// path: removes the binding and returns 0. Otherwise the first failing step
// ends the sequence with its system error (EBUSY on Linux when the drive's
// file system is mounted; the lock failure on Windows when files are open).
// kStatusBadParameter for a null path.
QxStatus DiscEject(const char* devicePath);

// The computer's name for display; the caller receives one reference. Never
// null: a string that cannot be created gives the constant "<<BAD>>".
QxLStringRef HostDisplayName();

// The local address the system would use to reach peerAddress (IPv4 or IPv6
// socket address): a UDP socket is connected to the peer (nothing is sent)
// and asked for its own address, which is written to *localAddress (family,
// address and the socket's port). kStatusUnsupported for another family;
// kStatusBadParameter for null arguments; the socket error otherwise.
QxStatus LocalAddressFor(const struct sockaddr* peerAddress,
                         struct sockaddr_storage* localAddress);

// The address of a socket address as text, without the port, NUL-terminated
// in text (size bytes): IPv4 as dotted decimal ("192.168.1.20"); IPv6 in its
// shortest form ("fe80::1", "::ffff:192.0.2.1" for a mapped IPv4 address).
// kStatusUnsupported for another family; kStatusBufferTooSmall when the text
// and its NUL do not fit (text is then left as it was); kStatusBadParameter
// for null arguments.
QxStatus SocketAddressToText(const struct sockaddr* address, char* text, size_t size);

// A peer's address as people know it: as SocketAddressToText, except that
// an IPv4-mapped IPv6 address (a dual-stack socket's IPv4 peer) is given as
// its IPv4 address, so that one client reads alike over every service.
QxStatus ClientAddressText(const struct sockaddr* address, char* text, size_t size);
