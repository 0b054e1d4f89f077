// Linux drives and host files for the volume layer: open(2) and pread(2),
// the block-device geometry ioctls, and SG_IO for pass-through reads.
//
// Device paths keep their Windows names above this file; \\.\CdRom<n> is
// mapped to /dev/sr<n> here and nowhere else.
#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <climits>

#include "QxPlatformDevice.h"
#include "QxPlatformPassThroughInternal.h"
#include "QxPlatformSocket.h"

namespace {

// "\\.\CdRom" followed by decimal digits, any case.
bool MapDrivePath(const char* path, char* mapped, size_t size) {
    static const char kPrefix[] = "\\\\.\\cdrom";
    size_t prefixLength = sizeof(kPrefix) - 1;
    if (strncasecmp(path, kPrefix, prefixLength) != 0) return false;
    const char* digits = path + prefixLength;
    if (*digits == '\0' || strlen(digits) > 9) return false;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    snprintf(mapped, size, "/dev/sr%lu", strtoul(digits, nullptr, 10));
    return true;
}

QxStatus OpenReadOnly(const char* path, QxDeviceHandle* handle) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return QxPlatformLastError();
    *handle = fd;
    return kStatusOK;
}

}  // namespace

bool QxPlatformDevicePathOf(const char* hostPath, char* devicePath, size_t size) {
    static const char kPrefix[] = "/dev/sr";
    size_t prefixLength = sizeof(kPrefix) - 1;
    if (strncmp(hostPath, kPrefix, prefixLength) != 0) return false;
    const char* digits = hostPath + prefixLength;
    if (*digits == '\0' || strlen(digits) > 9) return false;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    int written = snprintf(devicePath, size, "\\\\.\\CdRom%s", digits);
    return written > 0 && static_cast<size_t>(written) < size;
}

QxStatus QxPlatformDeviceOpen(const char* path, QxDeviceHandle* handle) {
    char mapped[32];
    if (MapDrivePath(path, mapped, sizeof(mapped))) path = mapped;
    // O_NONBLOCK lets a drive without a disc open (as on Windows) so that
    // the geometry query, not the open, reports "no medium".
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return QxPlatformLastError();
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *handle = fd;
    return kStatusOK;
}

QxStatus QxPlatformDeviceGeometry(QxDeviceHandle handle, uint32_t* sectorSize,
                                  uint64_t* diskSize) {
    int fd = static_cast<int>(handle);
    int bytesPerSector = 0;
    if (ioctl(fd, BLKSSZGET, &bytesPerSector) == -1) return QxPlatformLastError();
    uint64_t size = 0;
    if (ioctl(fd, BLKGETSIZE64, &size) == -1) return QxPlatformLastError();
    *sectorSize = bytesPerSector > 0 ? static_cast<uint32_t>(bytesPerSector) : 0;
    *diskSize = size;
    return kStatusOK;
}

void QxPlatformDeviceAllowExtendedIO(QxDeviceHandle) {}

QxStatus QxPlatformDevicePassThroughRead(QxDeviceHandle handle, uint32_t firstSector,
                                         uint32_t sectorCount, uint32_t sectorSize,
                                         void* buffer) {
    uint32_t bytesAsked = sectorCount * sectorSize;
    QxPassThroughAnswer answer;
    memset(&answer, 0, sizeof(answer));
    if (QxPassThroughDouble passThrough = QxPlatformPassThroughDoubleInForce()) {
        passThrough(firstSector, sectorCount, sectorSize, buffer, &answer);
        return QxPlatformPassThroughJudge(&answer, firstSector, sectorCount, bytesAsked);
    }

    // READ(10): opcode, flags, LBA (4, big-endian), group, length (2), control.
    unsigned char cdb[10] = {};
    cdb[0] = 0x28;
    cdb[2] = static_cast<unsigned char>(firstSector >> 24);
    cdb[3] = static_cast<unsigned char>(firstSector >> 16);
    cdb[4] = static_cast<unsigned char>(firstSector >> 8);
    cdb[5] = static_cast<unsigned char>(firstSector);
    cdb[7] = static_cast<unsigned char>(sectorCount >> 8);
    cdb[8] = static_cast<unsigned char>(sectorCount);

    sg_io_hdr_t request;
    memset(&request, 0, sizeof(request));
    request.interface_id = 'S';
    request.dxfer_direction = SG_DXFER_FROM_DEV;
    request.cmd_len = sizeof(cdb);
    request.mx_sb_len = 24;
    request.dxfer_len = bytesAsked;
    request.dxferp = buffer;
    request.cmdp = cdb;
    request.sbp = answer.sense;
    request.timeout = 10 * 1000;  // milliseconds
    // The ioctl succeeds whenever the command was delivered; whether the
    // drive read anything is in the status, host, driver and residual fields.
    if (ioctl(static_cast<int>(handle), SG_IO, &request) == -1) {
        answer.callStatus = QxPlatformLastError();
    } else {
        answer.scsiStatus = request.status;
        answer.hostStatus = request.host_status;
        answer.driverStatus = request.driver_status;
        uint32_t residual = request.resid > 0 ? static_cast<uint32_t>(request.resid) : 0;
        answer.bytesMoved = residual < bytesAsked ? bytesAsked - residual : 0;
        answer.senseLength = request.sb_len_wr;
    }
    return QxPlatformPassThroughJudge(&answer, firstSector, sectorCount, bytesAsked);
}

QxStatus QxPlatformDeviceReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                                void* buffer, uint32_t* bytesRead) {
    int fd = static_cast<int>(handle);
    uint32_t done = 0;
    // pread may stop early (signals, pipes, block boundaries); only 0 is the end.
    while (done < count) {
        ssize_t got = pread(fd, static_cast<char*>(buffer) + done, count - done,
                            static_cast<off_t>(offset + done));
        if (got == -1) {
            if (errno == EINTR) continue;
            *bytesRead = done;
            return QxPlatformLastError();
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
    }
    *bytesRead = done;
    return kStatusOK;
}

void QxPlatformDeviceClose(QxDeviceHandle handle) {
    if (handle != kQxInvalidDeviceHandle) close(static_cast<int>(handle));
}

// pread keeps no shared position: the device read serves every thread.
QxStatus QxPlatformFileReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                              void* buffer, uint32_t* bytesRead) {
    return QxPlatformDeviceReadAt(handle, offset, count, buffer, bytesRead);
}

QxStatus QxPlatformFileSendToStream(QxDeviceHandle file, uint64_t offset, uint64_t count,
                                    FILE* out, uint64_t* sent) {
    if (sent == nullptr || out == nullptr || file == kQxInvalidDeviceHandle) {
        return kStatusBadParameter;
    }
    *sent = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return kStatusOutOfRange;
    int target = fileno(out);
    struct stat info;
    // Into a regular file the system moves the bytes through a pipe of 64
    // KiB, which took longer than reading and writing pieces of 1 MiB (ext4;
    // through a pipe of our own of 1 MiB it was no faster than that either).
    if (target == -1 || fstat(target, &info) == -1 || S_ISREG(info.st_mode)) {
        return kStatusUnsupported;
    }
    off_t position = static_cast<off_t>(offset);
    while (*sent < count) {
        // sendfile moves at most about 2 GiB a call.
        size_t piece = count - *sent < (1u << 30) ? static_cast<size_t>(count - *sent) : 1u << 30;
        ssize_t moved = sendfile(target, static_cast<int>(file), &position, piece);
        if (moved == -1) {
            if (errno == EINTR) continue;
            // Refused up front for what the output is: read and write instead.
            if (*sent == 0 && (errno == EINVAL || errno == ENOSYS)) return kStatusUnsupported;
            return QxPlatformLastError();
        }
        if (moved == 0) return kStatusReadFailed;  // the file ends before count
        *sent += static_cast<uint64_t>(moved);
    }
    return kStatusOK;
}

QxStatus QxPlatformFileOpen(const char* path, QxDeviceHandle* handle) {
    QxDeviceHandle fd = kQxInvalidDeviceHandle;
    QxStatus status = OpenReadOnly(path, &fd);
    if (status != kStatusOK) return status;
    struct stat info;
    if (fstat(static_cast<int>(fd), &info) == -1) {
        status = QxPlatformLastError();
        close(static_cast<int>(fd));
        return status;
    }
    if (S_ISDIR(info.st_mode)) {
        close(static_cast<int>(fd));
        return EISDIR;
    }
    *handle = fd;
    return kStatusOK;
}

QxStatus QxPlatformFileSize(QxDeviceHandle handle, uint64_t* size) {
    // The end position rather than st_size, which is 0 for block devices.
    off_t end = lseek(static_cast<int>(handle), 0, SEEK_END);
    if (end == -1) return QxPlatformLastError();
    *size = static_cast<uint64_t>(end);
    return kStatusOK;
}

QxStatus QxPlatformFileReplace(const char* path, const void* data, size_t length) {
    if (path == nullptr || (data == nullptr && length > 0)) return kStatusBadParameter;
    std::string temporary = std::string(path) + ".new";
    int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file == -1) return QxPlatformLastError();
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    QxStatus status = kStatusOK;
    while (done < length && status == kStatusOK) {
        ssize_t wrote = write(file, bytes + done, length - done);
        if (wrote < 0 && errno != EINTR) status = QxPlatformLastError();
        if (wrote > 0) done += static_cast<size_t>(wrote);
    }
    if (status == kStatusOK && fsync(file) != 0) status = QxPlatformLastError();
    if (close(file) != 0 && status == kStatusOK) status = QxPlatformLastError();
    if (status == kStatusOK && rename(temporary.c_str(), path) != 0) status = QxPlatformLastError();
    if (status != kStatusOK) unlink(temporary.c_str());
    return status;
}

QxStatus QxPlatformFileHold(const char* path, QxDeviceHandle* holder, char* reopenPath,
                            size_t size) {
    if (path == nullptr || holder == nullptr || reopenPath == nullptr) return kStatusBadParameter;
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file == -1) return QxPlatformLastError();
    struct stat info;
    if (fstat(file, &info) != 0) {
        QxStatus status = QxPlatformLastError();
        close(file);
        return status;
    }
    char own[64];
    snprintf(own, sizeof own, "/proc/self/fd/%d", file);
    struct stat again;
    // Without /proc the name itself is all there is.
    const char* reopen = stat(own, &again) == 0 && again.st_ino == info.st_ino &&
                                 again.st_dev == info.st_dev
                             ? own
                             : path;
    if (strlen(reopen) >= size) {
        close(file);
        return kStatusBadSize;
    }
    memcpy(reopenPath, reopen, strlen(reopen) + 1);
    *holder = file;
    return kStatusOK;
}

namespace {

void IdentityOf(const struct stat& info, QxFileIdentity* identity) {
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->file = static_cast<uint64_t>(info.st_ino);
    identity->size = static_cast<uint64_t>(info.st_size);
    identity->modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                         info.st_mtim.tv_nsec;
}

}  // namespace

QxStatus QxPlatformFileIdentity(QxDeviceHandle handle, QxFileIdentity* identity) {
    if (identity == nullptr) return kStatusBadParameter;
    struct stat info;
    if (fstat(static_cast<int>(handle), &info) != 0) return QxPlatformLastError();
    IdentityOf(info, identity);
    return kStatusOK;
}

QxStatus QxPlatformPathIdentity(const char* path, QxFileIdentity* identity) {
    if (path == nullptr || identity == nullptr) return kStatusBadParameter;
    struct stat info;
    if (stat(path, &info) != 0) return QxPlatformLastError();
    IdentityOf(info, identity);
    return kStatusOK;
}

bool QxPlatformSameFile(const QxFileIdentity* one, const QxFileIdentity* other) {
    return one->volume == other->volume && one->file == other->file &&
           one->size == other->size && one->modified == other->modified;
}

QxStatus QxPlatformFileCheckIdentity(QxDeviceHandle handle, const QxFileIdentity* identity) {
    if (identity == nullptr) return kStatusBadParameter;
    QxFileIdentity now{};
    QxStatus status = QxPlatformFileIdentity(handle, &now);
    if (status != kStatusOK) return status;
    return QxPlatformSameFile(&now, identity) ? kStatusOK : kStatusNotAvailable;
}

bool QxPlatformPathStatus(const char* path, bool* isFolder) {
    struct stat info;
    if (stat(path, &info) == -1) return false;
    *isFolder = S_ISDIR(info.st_mode);
    return true;
}

QxStatus QxPlatformFullPath(const char* path, char* buffer, size_t size) {
    // Work in a scratch copy: the working folder, "/", then the path.
    char scratch[PATH_MAX * 2];
    size_t length = 0;
    if (path[0] != '/') {
        if (getcwd(scratch, PATH_MAX) == nullptr) return QxPlatformLastError();
        length = strlen(scratch);
        scratch[length++] = '/';
    }
    size_t pathLength = strlen(path);
    if (length + pathLength + 1 > sizeof(scratch)) return kStatusBadSize;
    memcpy(scratch + length, path, pathLength + 1);
    length += pathLength;
    bool trailingSlash = length > 1 && scratch[length - 1] == '/';

    // Fold "." and ".." component by component into buffer, as the Windows
    // call does without looking at the file system. Writing never runs ahead
    // of reading, so the result is built in scratch itself.
    size_t out = 0;
    size_t position = 0;
    while (position < length) {
        size_t end = position;
        while (end < length && scratch[end] != '/') ++end;
        size_t componentLength = end - position;
        if (componentLength == 2 && scratch[position] == '.' && scratch[position + 1] == '.') {
            while (out > 0 && scratch[out - 1] != '/') --out;
            if (out > 0) --out;
        } else if (componentLength > 0 &&
                   !(componentLength == 1 && scratch[position] == '.')) {
            scratch[out++] = '/';
            memmove(scratch + out, scratch + position, componentLength);
            out += componentLength;
        }
        position = end + 1;
    }
    // A trailing separator names the same folder; Windows keeps it.
    if (out == 0 || trailingSlash) scratch[out++] = '/';
    if (out + 1 > size) return kStatusBadSize;
    memcpy(buffer, scratch, out);
    buffer[out] = '\0';
    return kStatusOK;
}

void QxPlatformSetBinaryStream(FILE*) {}
