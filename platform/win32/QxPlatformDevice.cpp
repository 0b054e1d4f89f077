// Windows drives and host files for the volume layer: CreateFileA on the
// raw device, the drive geometry request, SetFilePointerEx and ReadFile,
// and IOCTL_SCSI_PASS_THROUGH_DIRECT for pass-through reads.
//
// Pass-through request, one DeviceIoControl with the same buffer as input
// and output (offsets for a 32-bit build; a 64-bit build has the wider
// pointer and its padding, and the lengths follow from the structure):
//
//   offset  width  field
//   0       44     SCSI_PASS_THROUGH_DIRECT header
//   44      4      padding
//   48      32     sense area (SenseInfoOffset points here)
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "QxPlatformDevice.h"
#include "QxPlatformPassThroughInternal.h"
#include "QxPlatformSocket.h"

namespace {

struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG padding;
    UCHAR sense[32];
};
#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(PassThroughRequest) == 80);
#endif

// DISK_GEOMETRY_EX as far as it is read: 40 bytes.
inline constexpr DWORD kGeometrySize = 40;
inline constexpr size_t kBytesPerSectorOffset = 20;
inline constexpr size_t kDiskSizeOffset = 24;

HANDLE ToHandle(QxDeviceHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool QxPlatformDevicePathOf(const char*, char*, size_t) { return false; }

QxStatus QxPlatformDeviceOpen(const char* path, QxDeviceHandle* handle) {
    // Write access is what the pass-through request requires.
    HANDLE opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    *handle = reinterpret_cast<QxDeviceHandle>(opened);
    return kStatusOK;
}

QxStatus QxPlatformDeviceGeometry(QxDeviceHandle handle, uint32_t* sectorSize,
                                  uint64_t* diskSize) {
    alignas(8) BYTE geometry[kGeometrySize] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(handle), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                         geometry, kGeometrySize, &returned, nullptr)) {
        return QxPlatformLastError();
    }
    DWORD bytesPerSector;
    LONGLONG size;
    memcpy(&bytesPerSector, geometry + kBytesPerSectorOffset, sizeof(bytesPerSector));
    memcpy(&size, geometry + kDiskSizeOffset, sizeof(size));
    *sectorSize = bytesPerSector;
    *diskSize = size > 0 ? static_cast<uint64_t>(size) : 0;
    return kStatusOK;
}

void QxPlatformDeviceAllowExtendedIO(QxDeviceHandle handle) {
    DWORD returned = 0;
    DeviceIoControl(ToHandle(handle), FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0,
                    &returned, nullptr);
}

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

    PassThroughRequest request;
    memset(&request, 0, sizeof(request));
    SCSI_PASS_THROUGH_DIRECT& header = request.header;
    header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    header.PathId = 0;
    header.TargetId = 1;
    header.Lun = 0;
    header.CdbLength = 10;
    header.SenseInfoLength = 24;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = bytesAsked;
    header.TimeOutValue = 10;  // seconds
    header.DataBuffer = buffer;
    header.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    header.Cdb[0] = 0x28;  // READ(10)
    header.Cdb[2] = static_cast<UCHAR>(firstSector >> 24);
    header.Cdb[3] = static_cast<UCHAR>(firstSector >> 16);
    header.Cdb[4] = static_cast<UCHAR>(firstSector >> 8);
    header.Cdb[5] = static_cast<UCHAR>(firstSector);
    header.Cdb[7] = static_cast<UCHAR>(sectorCount >> 8);
    header.Cdb[8] = static_cast<UCHAR>(sectorCount);

    // The call succeeds whenever the command was delivered; the drive's
    // answer is in ScsiStatus, the sense area and the length moved, which
    // the port driver writes back into the header.
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                         sizeof(request), &request, sizeof(request), &returned, nullptr)) {
        answer.callStatus = QxPlatformLastError();
    } else {
        answer.scsiStatus = header.ScsiStatus;
        answer.bytesMoved = header.DataTransferLength;
        UCHAR senseLength = header.SenseInfoLength;
        if (senseLength > sizeof(answer.sense)) senseLength = sizeof(answer.sense);
        answer.senseLength = senseLength;
        memcpy(answer.sense, request.sense, senseLength);
    }
    return QxPlatformPassThroughJudge(&answer, firstSector, sectorCount, bytesAsked);
}

QxStatus QxPlatformDeviceReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                                void* buffer, uint32_t* bytesRead) {
    *bytesRead = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(ToHandle(handle), position, nullptr, FILE_BEGIN)) {
        return QxPlatformLastError();
    }
    DWORD got = 0;
    if (!ReadFile(ToHandle(handle), buffer, count, &got, nullptr)) return QxPlatformLastError();
    *bytesRead = got;
    return kStatusOK;
}

void QxPlatformDeviceClose(QxDeviceHandle handle) {
    if (handle != kQxInvalidDeviceHandle) CloseHandle(ToHandle(handle));
}

QxStatus QxPlatformFileReadAt(QxDeviceHandle handle, uint64_t offset, uint32_t count,
                              void* buffer, uint32_t* bytesRead) {
    *bytesRead = 0;
    uint32_t done = 0;
    while (done < count) {
        // The offset travels with the call: no seek another thread could
        // move in between.
        OVERLAPPED at{};
        uint64_t position = offset + done;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        if (!ReadFile(ToHandle(handle), static_cast<char*>(buffer) + done, count - done, &got,
                      &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            *bytesRead = done;
            return QxPlatformLastError();
        }
        if (got == 0) break;
        done += got;
    }
    *bytesRead = done;
    return kStatusOK;
}

QxStatus QxPlatformFileSendToStream(QxDeviceHandle, uint64_t, uint64_t, FILE*, uint64_t* sent) {
    if (sent != nullptr) *sent = 0;
    return kStatusUnsupported;
}

QxStatus QxPlatformFileOpen(const char* path, QxDeviceHandle* handle) {
    HANDLE opened = CreateFileA(path, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    *handle = reinterpret_cast<QxDeviceHandle>(opened);
    return kStatusOK;
}

QxStatus QxPlatformFileSize(QxDeviceHandle handle, uint64_t* size) {
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(ToHandle(handle), &fileSize)) return QxPlatformLastError();
    *size = static_cast<uint64_t>(fileSize.QuadPart);
    return kStatusOK;
}

QxStatus QxPlatformFileReplace(const char* path, const void* data, size_t length) {
    if (path == nullptr || (data == nullptr && length > 0)) return kStatusBadParameter;
    std::string temporary = std::string(path) + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    QxStatus status = kStatusOK;
    while (done < length && status == kStatusOK) {
        DWORD piece = length - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length - done);
        DWORD wrote = 0;
        if (!WriteFile(file, bytes + done, piece, &wrote, nullptr)) status = QxPlatformLastError();
        done += wrote;
    }
    if (status == kStatusOK && !FlushFileBuffers(file)) status = QxPlatformLastError();
    CloseHandle(file);
    if (status == kStatusOK &&
        !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        status = QxPlatformLastError();
    }
    if (status != kStatusOK) DeleteFileA(temporary.c_str());
    return status;
}

QxStatus QxPlatformFileHold(const char* path, QxDeviceHandle* holder, char* reopenPath,
                            size_t size) {
    if (path == nullptr || holder == nullptr || reopenPath == nullptr) return kStatusBadParameter;
    if (strlen(path) >= size) return kStatusBadSize;
    // Shared for deletion too, so that the file can still be replaced; a
    // name renamed over then opens the new file.
    HANDLE file = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    memcpy(reopenPath, path, strlen(path) + 1);
    *holder = reinterpret_cast<QxDeviceHandle>(file);
    return kStatusOK;
}

namespace {

QxStatus IdentityOf(HANDLE file, QxFileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return QxPlatformLastError();
    identity->volume = info.dwVolumeSerialNumber;
    identity->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    identity->modified = static_cast<int64_t>(
        (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime);
    return kStatusOK;
}

}  // namespace

QxStatus QxPlatformFileIdentity(QxDeviceHandle handle, QxFileIdentity* identity) {
    if (identity == nullptr) return kStatusBadParameter;
    return IdentityOf(ToHandle(handle), identity);
}

QxStatus QxPlatformPathIdentity(const char* path, QxFileIdentity* identity) {
    if (path == nullptr || identity == nullptr) return kStatusBadParameter;
    // Asked through a handle that reads nothing and lets everyone else in.
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return QxPlatformLastError();
    QxStatus status = IdentityOf(file, identity);
    CloseHandle(file);
    return status;
}

bool QxPlatformSameFile(const QxFileIdentity* one, const QxFileIdentity* other) {
    return one->volume == other->volume && one->file == other->file &&
           one->size == other->size && one->modified == other->modified;
}

QxStatus QxPlatformFileCheckIdentity(QxDeviceHandle handle, const QxFileIdentity* identity) {
    if (identity == nullptr) return kStatusBadParameter;
    QxFileIdentity now{};
    QxStatus status = IdentityOf(ToHandle(handle), &now);
    if (status != kStatusOK) return status;
    return QxPlatformSameFile(&now, identity) ? kStatusOK : kStatusNotAvailable;
}

bool QxPlatformPathStatus(const char* path, bool* isFolder) {
    struct _stat64 info;
    if (_stat64(path, &info) != 0) return false;
    *isFolder = (info.st_mode & _S_IFDIR) != 0;
    return true;
}

QxStatus QxPlatformFullPath(const char* path, char* buffer, size_t size) {
    DWORD room = size > MAX_PATH ? MAX_PATH : static_cast<DWORD>(size);
    DWORD length = GetFullPathNameA(path, room, buffer, nullptr);
    if (length == 0) return QxPlatformLastError();
    // A result that does not fit comes back as the size it needs.
    if (length >= room) return kStatusBadSize;
    return kStatusOK;
}

void QxPlatformSetBinaryStream(FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }
