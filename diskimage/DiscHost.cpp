// Drive eject and host helpers: the eject sequence over the platform's
// steps (or the unbinding of an image), the display name from its sources
// in order, the local address toward a peer, and socket addresses as text.
//
// Socket addresses are read by their common layout, the same on every
// system this builds for (no length byte in front):
//
//   offset  width  IPv4 (family 2)        IPv6 (the system's family number)
//   0       2      family                 family
//   2       2      port, network order    port, network order
//   4       4      address                flow information
//   8       16     -                      address
//   24      4      -                      scope
//
// Not here: the system calls themselves (platform/QxPlatformDisc.h).
#include "DiscHost.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "DeviceBinding.h"
#include "DiscHostInternal.h"
#include "QxLString.h"
#include "QxPlatform.h"
#include "QxPlatformDisc.h"

namespace {

QXL_DEFINE_CONSTANT_STRING(kBadHostName, "<<BAD>>");

constexpr DiscEjectOperations kSystemEject = {
    QxPlatformDiscOpenForEject,   QxPlatformDiscLockVolume, QxPlatformDiscDismountVolume,
    QxPlatformDiscAllowRemoval,   QxPlatformDiscEjectMedia, QxPlatformDeviceClose,
};
constexpr HostNameSources kSystemSources = {
    QxPlatformHostComment,
    QxPlatformHostDnsName,
    QxPlatformHostName,
};

const DiscEjectOperations* gEject = &kSystemEject;
const HostNameSources* gSources = &kSystemSources;

constexpr uint16_t kFamilyIPv4 = 2;
constexpr int kIPv4AddressLength = 16;
constexpr int kIPv6AddressLength = 28;

uint16_t FamilyOf(const struct sockaddr* address) {
    uint16_t family;
    memcpy(&family, address, sizeof(family));
    return family;
}

bool IsIPv6(uint16_t family) {
    return family == static_cast<uint16_t>(QxPlatformInet6Family());
}

// "a.b.c.d" of four bytes; the length written (at most 15).
int FormatIPv4(const uint8_t* bytes, char* text) {
    return snprintf(text, 16, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// The shortest text of an IPv6 address: lower-case groups without leading
// zeros, the longest run of two or more zero groups (the first of equal
// runs) as "::", and a mapped IPv4 address with its dotted tail.
int FormatIPv6(const uint8_t* bytes, char* text) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                  groups[4] == 0 && groups[5] == 0xFFFF;
    if (mapped) {
        memcpy(text, "::ffff:", 7);
        return 7 + FormatIPv4(bytes + 12, text + 7);
    }
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int run = i;
        while (run < 8 && groups[run] == 0) ++run;
        if (run - i > bestLength) {
            bestStart = i;
            bestLength = run - i;
        }
        i = run;
    }
    int length = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text[length++] = ':';
            if (i == 0) text[length++] = ':';
            i += bestLength - 1;
            continue;
        }
        length += snprintf(text + length, 6, "%x", groups[i]);
        if (i < 7) text[length++] = ':';
    }
    text[length] = '\0';
    return length;
}

}  // namespace

const DiscEjectOperations* DiscEjectSetOperations(const DiscEjectOperations* operations) {
    const DiscEjectOperations* previous = gEject;
    gEject = operations != nullptr ? operations : &kSystemEject;
    return previous;
}

const HostNameSources* HostDisplayNameSetSources(const HostNameSources* sources) {
    const HostNameSources* previous = gSources;
    gSources = sources != nullptr ? sources : &kSystemSources;
    return previous;
}

QxStatus DiscEject(const char* devicePath) {
    if (devicePath == nullptr) return kStatusBadParameter;
    const char* imagePath = nullptr;
    uint32_t sectorSize = 0;
    if (DeviceFindBinding(devicePath, -1, &imagePath, &sectorSize)) {
        return DeviceUnbind(devicePath);
    }
    QxDeviceHandle handle = kQxInvalidDeviceHandle;
    QxStatus status = gEject->open(devicePath, &handle);
    if (status != kStatusOK) return status;
    // Each step only after the one before it succeeded.
    status = gEject->lock(handle);
    if (status == kStatusOK) status = gEject->dismount(handle);
    if (status == kStatusOK) status = gEject->allowRemoval(handle);
    if (status == kStatusOK) status = gEject->eject(handle);
    gEject->close(handle);
    return status;
}

QxLStringRef HostDisplayName() {
    char text[256] = "";
    gSources->comment(text, sizeof(text));
    if (text[0] == '\0') gSources->dnsName(text, sizeof(text));
    if (text[0] == '\0') gSources->hostName(text, 255);
    if (text[0] == '\0') strcpy(text, "<<UNKNOWN>>");
    QxLStringRef name = QxLStringCreateWithText(text);
    if (name == nullptr) return QxLObjectRetain(kBadHostName);
    return name;
}

QxStatus LocalAddressFor(const struct sockaddr* peerAddress,
                         struct sockaddr_storage* localAddress) {
    if (peerAddress == nullptr || localAddress == nullptr) return kStatusBadParameter;
    uint16_t family = FamilyOf(peerAddress);
    int length;
    if (family == kFamilyIPv4) {
        length = kIPv4AddressLength;
    } else if (IsIPv6(family)) {
        length = kIPv6AddressLength;
    } else {
        return kStatusUnsupported;
    }
    return QxPlatformLocalAddressFor(peerAddress, length, localAddress);
}

QxStatus SocketAddressToText(const struct sockaddr* address, char* text, size_t size) {
    if (address == nullptr || text == nullptr) return kStatusBadParameter;
    const auto* bytes = reinterpret_cast<const uint8_t*>(address);
    uint16_t family = FamilyOf(address);
    char formatted[kSocketAddressTextSize];
    int length;
    if (family == kFamilyIPv4) {
        length = FormatIPv4(bytes + 4, formatted);
    } else if (IsIPv6(family)) {
        length = FormatIPv6(bytes + 8, formatted);
    } else {
        return kStatusUnsupported;
    }
    if (static_cast<size_t>(length) + 1 > size) return kStatusBufferTooSmall;
    memcpy(text, formatted, static_cast<size_t>(length) + 1);
    return kStatusOK;
}

QxStatus ClientAddressText(const struct sockaddr* address, char* text, size_t size) {
    if (address == nullptr || text == nullptr) return kStatusBadParameter;
    const auto* bytes = reinterpret_cast<const uint8_t*>(address);
    static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (IsIPv6(FamilyOf(address)) && memcmp(bytes + 8, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        char formatted[kSocketAddressTextSize];
        int length = FormatIPv4(bytes + 20, formatted);
        if (static_cast<size_t>(length) + 1 > size) return kStatusBufferTooSmall;
        memcpy(text, formatted, static_cast<size_t>(length) + 1);
        return kStatusOK;
    }
    return SocketAddressToText(address, text, size);
}
