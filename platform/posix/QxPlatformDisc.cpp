// Linux side of QxPlatformDisc.h: the CD-ROM eject ioctls with a mount
// check in place of a volume lock, the pretty host name of
// /etc/machine-info, gethostname, and the local address of a connected UDP
// socket.
//
// There is no volume lock on Linux; ejecting a drive whose file system is
// mounted would pull the medium from under it, so the lock step refuses
// with EBUSY when /proc/self/mountinfo lists the drive's device number.
#include <linux/cdrom.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "QxPlatformDisc.h"
#include "QxPlatformSocket.h"

namespace {

constexpr const char* kMachineInfoPath = "/etc/machine-info";
constexpr const char* kMountInfoPath = "/proc/self/mountinfo";
// machine-info is a few lines; anything longer is not read past this.
constexpr size_t kMachineInfoLimit = 8192;

// Whether a mountinfo line's third field ("major:minor") names device.
bool LineMountsDevice(const char* line, unsigned deviceMajor, unsigned deviceMinor) {
    unsigned mountId, parentId, lineMajor, lineMinor;
    if (sscanf(line, "%u %u %u:%u", &mountId, &parentId, &lineMajor, &lineMinor) != 4) {
        return false;
    }
    return lineMajor == deviceMajor && lineMinor == deviceMinor;
}

// One machine-info value in shell quoting, from value up to the line's end:
// '...' literal, "..." with backslash escapes of " \ ` $ and newline, bare
// words with backslash escapes; trailing blanks of bare text dropped.
// false when the result does not fit in size bytes with its NUL.
bool UnquoteValue(const char* value, const char* lineEnd, char* out, size_t size) {
    size_t length = 0;
    size_t keep = 0;  // length up to the last quoted or non-blank byte
    const char* p = value;
    auto put = [&](char c, bool significant) {
        if (length + 1 >= size) return false;
        out[length++] = c;
        if (significant) keep = length;
        return true;
    };
    while (p < lineEnd) {
        char c = *p++;
        if (c == '\'') {
            while (p < lineEnd && *p != '\'') {
                if (!put(*p++, true)) return false;
            }
            if (p < lineEnd) ++p;
            keep = length;
        } else if (c == '"') {
            while (p < lineEnd && *p != '"') {
                char d = *p++;
                if (d == '\\' && p < lineEnd && strchr("\"\\`$", *p) != nullptr) d = *p++;
                if (!put(d, true)) return false;
            }
            if (p < lineEnd) ++p;
            keep = length;
        } else if (c == '\\' && p < lineEnd) {
            if (!put(*p++, true)) return false;
        } else {
            if (!put(c, c != ' ' && c != '\t')) return false;
        }
    }
    out[keep] = '\0';
    return true;
}

QxStatus LastSocketError() { return QxPlatformSocketLastError(); }

}  // namespace

QxStatus QxPlatformDiscOpenForEject(const char* path, QxDeviceHandle* handle) {
    // The device layer maps \\.\CdRom<n> and opens without waiting for a
    // medium, which is what the ioctls below need.
    return QxPlatformDeviceOpen(path, handle);
}

QxStatus QxPlatformDiscLockVolume(QxDeviceHandle handle) {
    struct stat info;
    if (fstat(static_cast<int>(handle), &info) == -1) return QxPlatformLastError();
    if (!S_ISBLK(info.st_mode)) return kStatusOK;
    FILE* mounts = fopen(kMountInfoPath, "re");
    if (mounts == nullptr) return QxPlatformLastError();
    unsigned deviceMajor = major(info.st_rdev);
    unsigned deviceMinor = minor(info.st_rdev);
    char line[4096];
    bool mounted = false;
    while (!mounted && fgets(line, sizeof(line), mounts) != nullptr) {
        mounted = LineMountsDevice(line, deviceMajor, deviceMinor);
        // Skip the rest of an over-long line so it is not read as a new one.
        while (strchr(line, '\n') == nullptr &&
               fgets(line, sizeof(line), mounts) != nullptr) {
        }
    }
    fclose(mounts);
    return mounted ? EBUSY : kStatusOK;
}

QxStatus QxPlatformDiscDismountVolume(QxDeviceHandle) { return kStatusOK; }

QxStatus QxPlatformDiscAllowRemoval(QxDeviceHandle handle) {
    if (ioctl(static_cast<int>(handle), CDROM_LOCKDOOR, 0) == -1) return QxPlatformLastError();
    return kStatusOK;
}

QxStatus QxPlatformDiscEjectMedia(QxDeviceHandle handle) {
    if (ioctl(static_cast<int>(handle), CDROMEJECT, 0) == -1) return QxPlatformLastError();
    return kStatusOK;
}

bool QxPlatformParsePrettyHostName(const char* text, size_t length, char* name, size_t size) {
    static const char kKey[] = "PRETTY_HOSTNAME";
    const size_t keyLength = sizeof(kKey) - 1;
    const char* end = text + length;
    bool found = false;
    for (const char* line = text; line < end;) {
        const char* lineEnd = static_cast<const char*>(memchr(line, '\n', end - line));
        if (lineEnd == nullptr) lineEnd = end;
        const char* p = line;
        while (p < lineEnd && (*p == ' ' || *p == '\t')) ++p;
        if (p < lineEnd && *p != '#' && *p != ';' &&
            static_cast<size_t>(lineEnd - p) > keyLength &&
            memcmp(p, kKey, keyLength) == 0) {
            const char* q = p + keyLength;
            while (q < lineEnd && (*q == ' ' || *q == '\t')) ++q;
            if (q < lineEnd && *q == '=') {
                ++q;
                while (q < lineEnd && (*q == ' ' || *q == '\t')) ++q;
                const char* valueEnd = lineEnd;
                if (valueEnd > q && valueEnd[-1] == '\r') --valueEnd;
                // The last assignment wins, as in a shell; one that does not
                // fit leaves the name empty.
                found = true;
                if (!UnquoteValue(q, valueEnd, name, size)) name[0] = '\0';
            }
        }
        line = lineEnd + 1;
    }
    return found;
}

void QxPlatformHostComment(char* text, size_t size) {
    text[0] = '\0';
    int fd = open(kMachineInfoPath, O_RDONLY | O_CLOEXEC);
    if (fd == -1) return;
    char content[kMachineInfoLimit];
    size_t length = 0;
    while (length < sizeof(content)) {
        ssize_t got = read(fd, content + length, sizeof(content) - length);
        if (got == -1 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<size_t>(got);
    }
    close(fd);
    if (!QxPlatformParsePrettyHostName(content, length, text, size)) text[0] = '\0';
}

void QxPlatformHostDnsName(char* text, size_t) { text[0] = '\0'; }

void QxPlatformHostName(char* text, size_t size) {
    text[0] = '\0';
    if (size < 2) return;
    // gethostname need not terminate a name that fills the buffer.
    if (gethostname(text, size - 1) == -1) {
        text[0] = '\0';
        return;
    }
    text[size - 1] = '\0';
}

QxStatus QxPlatformLocalAddressFor(const struct sockaddr* peerAddress, int peerLength,
                                   struct sockaddr_storage* localAddress) {
    int handle = socket(peerAddress->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (handle == -1) return LastSocketError();
    // connect only picks the route: nothing goes out on a UDP socket.
    struct sockaddr_storage local;
    memset(&local, 0, sizeof(local));
    socklen_t length = sizeof(local);
    QxStatus status = kStatusOK;
    if (connect(handle, peerAddress, static_cast<socklen_t>(peerLength)) == -1 ||
        getsockname(handle, reinterpret_cast<struct sockaddr*>(&local), &length) == -1) {
        status = LastSocketError();
    }
    close(handle);
    if (status == kStatusOK) *localAddress = local;
    return status;
}
