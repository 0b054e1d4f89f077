// Windows side of QxPlatformDisc.h: the volume lock, dismount, media
// removal and eject requests; the LAN server comment, the DNS host name and
// gethostname; the local address of a connected UDP socket.
//
// Texts from the system are UTF-16 and come out as UTF-8. A conversion that
// fails (a name too long for the caller's buffer among them) leaves the
// text empty, so that the next source is asked.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "QxPlatformDisc.h"
#include "QxPlatformSocket.h"

namespace {

constexpr const wchar_t* kServerParametersKey =
    L"SYSTEM\\CurrentControlSet\\Services\\lanmanserver\\parameters";
constexpr const wchar_t* kServerCommentValue = L"srvcomment";
// 512 bytes of UTF-16 from the registry or the computer name query.
constexpr DWORD kWideNameUnits = 256;

HANDLE ToHandle(QxDeviceHandle handle) { return reinterpret_cast<HANDLE>(handle); }

QxStatus Control(QxDeviceHandle handle, DWORD code, void* input, DWORD inputSize) {
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(handle), code, input, inputSize, nullptr, 0, &returned,
                         nullptr)) {
        return QxPlatformLastError();
    }
    return kStatusOK;
}

void WideToUtf8(const wchar_t* wide, char* text, size_t size) {
    text[0] = '\0';
    int room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    int written = WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, room, nullptr, nullptr);
    // A failed conversion may have written part of the text.
    if (written <= 0) text[0] = '\0';
}

}  // namespace

QxStatus QxPlatformDiscOpenForEject(const char* path, QxDeviceHandle* handle) {
    HANDLE opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (opened == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    *handle = reinterpret_cast<QxDeviceHandle>(opened);
    return kStatusOK;
}

QxStatus QxPlatformDiscLockVolume(QxDeviceHandle handle) {
    return Control(handle, FSCTL_LOCK_VOLUME, nullptr, 0);
}

QxStatus QxPlatformDiscDismountVolume(QxDeviceHandle handle) {
    return Control(handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0);
}

QxStatus QxPlatformDiscAllowRemoval(QxDeviceHandle handle) {
    // PREVENT_MEDIA_REMOVAL: one byte, 0 = removal allowed.
    BYTE prevent = 0;
    return Control(handle, IOCTL_STORAGE_MEDIA_REMOVAL, &prevent, sizeof(prevent));
}

QxStatus QxPlatformDiscEjectMedia(QxDeviceHandle handle) {
    return Control(handle, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0);
}

bool QxPlatformParsePrettyHostName(const char*, size_t, char* name, size_t size) {
    if (size > 0) name[0] = '\0';
    return false;
}

void QxPlatformHostComment(char* text, size_t size) {
    text[0] = '\0';
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerParametersKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    // One unit more than is read, so that a value without its NUL still ends.
    wchar_t wide[kWideNameUnits + 1] = {};
    DWORD type = 0;
    DWORD bytes = kWideNameUnits * sizeof(wchar_t);
    LONG result = RegQueryValueExW(key, kServerCommentValue, nullptr, &type,
                                   reinterpret_cast<BYTE*>(wide), &bytes);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return;
    wide[bytes / sizeof(wchar_t)] = L'\0';
    WideToUtf8(wide, text, size);
}

void QxPlatformHostDnsName(char* text, size_t size) {
    text[0] = '\0';
    wchar_t wide[kWideNameUnits] = {};
    DWORD units = kWideNameUnits;
    if (!GetComputerNameExW(ComputerNamePhysicalDnsHostname, wide, &units)) return;
    WideToUtf8(wide, text, size);
}

void QxPlatformHostName(char* text, size_t size) {
    text[0] = '\0';
    if (size < 2) return;
    int room = size - 1 > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size - 1);
    if (gethostname(text, room) == SOCKET_ERROR) {
        text[0] = '\0';
        return;
    }
    text[size - 1] = '\0';
}

QxStatus QxPlatformLocalAddressFor(const struct sockaddr* peerAddress, int peerLength,
                                   struct sockaddr_storage* localAddress) {
    SOCKET handle = socket(peerAddress->sa_family, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) return QxPlatformSocketLastError();
    // connect only picks the route: nothing goes out on a UDP socket.
    struct sockaddr_storage local;
    memset(&local, 0, sizeof(local));
    int length = sizeof(local);
    QxStatus status = kStatusOK;
    if (connect(handle, peerAddress, peerLength) == SOCKET_ERROR ||
        getsockname(handle, reinterpret_cast<struct sockaddr*>(&local), &length) ==
            SOCKET_ERROR) {
        status = QxPlatformSocketLastError();
    }
    closesocket(handle);
    if (status == kStatusOK) *localAddress = local;
    return status;
}
