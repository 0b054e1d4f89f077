// The cabinet callbacks' file table, the per-file notifications and the
// unpack sequence of ZULSetupAdmin. The decompressor (FDI or libmspack) is
// the platform's and only calls in here.
#include "SetupCabinet.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "SetupLog.h"

namespace setupadmin {

CabinetFileTable::~CabinetFileTable() { Clear(); }

void CabinetFileTable::Clear() {
    for (int i = 0; i < kCabinetSlots; ++i) {
        if (slots_[i]) Close(i);
    }
    nextSlot_ = 0;
}

CabinetFileTable::Record* CabinetFileTable::Lookup(intptr_t handle) const {
    if (handle < 0 || handle >= kCabinetSlots) return nullptr;
    Record* record = slots_[handle];
    if (record == nullptr || (record->slot.kind != kSlotFile && record->slot.kind != kSlotResource))
        return nullptr;
    return record;
}

intptr_t CabinetFileTable::Open(const char* path, int flags, int mode) {
    int index = -1;
    for (int n = 0; n < kCabinetSlots; ++n) {
        int candidate = (nextSlot_ + n) % kCabinetSlots;
        if (slots_[candidate] == nullptr) {
            index = candidate;
            break;
        }
    }
    if (index < 0) {
        nextSlot_ = 0;
        return -1;
    }
    std::unique_ptr<Record> record(new (std::nothrow) Record);
    if (!record) return -1;
    if (path != nullptr && modulePath_ == path) {
        // The cabinet is this program's own resource, not the program file.
        SetupHandle resource = kNoHandle;
        const uint8_t* bytes = nullptr;
        uint32_t size = 0;
        if (!PlatformLoadResource("CABINET", resource, bytes, size)) return -1;
        record->slot.kind = kSlotResource;
        record->slot.size = size;
        record->slot.position = 0;
        record->resourceHandle = resource;
        record->bytes = bytes;
    } else {
        int fd = PlatformFileOpen(path, flags, mode);
        if (fd < 0) return -1;
        record->slot.kind = kSlotFile;
        record->slot.fd = static_cast<uint32_t>(fd);
    }
    slots_[index] = record.release();
    nextSlot_ = (index + 1) % kCabinetSlots;
    return index;
}

long CabinetFileTable::Read(intptr_t handle, void* buffer, unsigned count) {
    Record* record = Lookup(handle);
    if (record == nullptr) return -1;
    if (record->slot.kind == kSlotFile)
        return PlatformFileRead(static_cast<int>(record->slot.fd), buffer, count);
    uint32_t available = record->slot.size - record->slot.position;
    uint32_t n = std::min<uint32_t>(count, available);
    std::memcpy(buffer, record->bytes + record->slot.position, n);
    record->slot.position += n;
    return static_cast<long>(n);
}

long CabinetFileTable::Write(intptr_t handle, const void* buffer, unsigned count) {
    Record* record = Lookup(handle);
    if (record == nullptr) return -1;
    if (record->slot.kind == kSlotFile)
        return PlatformFileWrite(static_cast<int>(record->slot.fd), buffer, count);
    return static_cast<long>(count);  // the resource is read-only: discard
}

long CabinetFileTable::Seek(intptr_t handle, long offset, int origin) {
    Record* record = Lookup(handle);
    if (record == nullptr) return -1;
    if (record->slot.kind == kSlotFile)
        return PlatformFileSeek(static_cast<int>(record->slot.fd), offset, origin);
    int64_t position = 0;
    switch (origin) {
    case 0: position = offset; break;
    case 1: position = int64_t(record->slot.position) + offset; break;
    // Like lseek: the offset from the end is usually negative.
    case 2: position = int64_t(record->slot.size) + offset; break;
    default: return -1;
    }
    position = std::clamp<int64_t>(position, 0, record->slot.size);
    record->slot.position = static_cast<uint32_t>(position);
    return static_cast<long>(position);
}

int CabinetFileTable::Close(intptr_t handle) {
    Record* record = Lookup(handle);
    if (record == nullptr) return -1;
    int result = 0;
    if (record->slot.kind == kSlotFile)
        result = PlatformFileClose(static_cast<int>(record->slot.fd));
    else
        PlatformReleaseResource(record->resourceHandle);
    delete record;
    slots_[handle] = nullptr;
    nextSlot_ = static_cast<int>(handle);
    return result;
}

// ---- Notifications -----------------------------------------------------------------

void CabinetUnpacker::CabinetInformation(const char* nextCabinet, const char* nextDisk,
                                         const char* path, int setId, int number) {
    SetupLog("fdintCABINET_INFO\n  next cabinet     = %s\n  next disk        = %s\n  cabinet path     = %s\n"
             "  cabinet set ID   = %d\n  cabinet # in set = %d (zero based)\n\n",
             nextCabinet, nextDisk, path, setId, number);
}

void CabinetUnpacker::PartialFile(const char* name, const char* cabinet, const char* disk) {
    SetupLog("fdintPARTIAL_FILE\n   name of continued file            = %s\n"
             "   name of cabinet where file starts = %s\n   name of disk where file starts    = %s\n",
             name, cabinet, disk);
}

void CabinetUnpacker::NextCabinet(const char* cabinet, const char* disk, const char* path) {
    SetupLog("fdintNEXT_CABINET\n   name of next cabinet where file continued = %s\n"
             "   name of next disk where file continued    = %s\n"
             "   cabinet path name                         = %s\n\n",
             cabinet, disk, path);
}

intptr_t CabinetUnpacker::CopyTarget(const char* name, long size) {
    SetupLog("fdintCOPY_FILE\n  file name in cabinet = %s\n  uncompressed file size = %d\n\n", name,
             static_cast<int>(size));
    std::string target = folder_ + name;
    int flags = 0, mode = 0;
    PlatformCreateFlags(flags, mode);
    return table_.Open(target.c_str(), flags, mode);
}

bool CabinetUnpacker::CloseTarget(intptr_t handle, const char* name, uint16_t date, uint16_t time,
                                uint16_t attributes) {
    SetupLog("fdintCLOSE_FILE_INFO\n   file name in cabinet = %s\n\n", name);
    table_.Close(handle);
    std::string target = folder_ + name;
    if (files_.size() < kMaxExtractedFiles) files_.push_back(target);
    PlatformSetFileTimes(target, date, time);
    PlatformSetFileAttributes(target, attributes & 0x27);
    return true;
}

const char* CabinetErrorName(int code) {
    static const char* const kNames[] = {"No error",
                                         "Cabinet not found",
                                         "Not a cabinet",
                                         "Unknown cabinet version",
                                         "Corrupt cabinet",
                                         "Memory allocation failed",
                                         "Unknown compression type",
                                         "Failure decompressing data",
                                         "Failure writing to target file",
                                         "Cabinets in set have different RESERVE sizes",
                                         "Cabinet returned on fdintNEXT_CABINET is incorrect",
                                         "User aborted"};
    if (code < 0 || code > 11) return "Unknown error";
    return kNames[code];
}

void UnpackCabinet(CabinetFileTable& table, const std::string& cabinetPath,
                   const std::string& extractFolder, std::vector<std::string>& extractedFiles) {
    std::unique_ptr<CabinetBackend> backend(MakeCabinetBackend(table));
    int error = 0;
    if (!backend || !backend->Create(error)) {
        SetupLog("FDICreate() failed: code %d [%s]\n", error, CabinetErrorName(error));
        return;
    }
    int flags = 0, mode = 0;
    PlatformReadFlags(flags, mode);
    intptr_t handle = table.Open(cabinetPath.c_str(), flags, mode);
    if (handle == -1) {
        SetupLog("Unable to open '%s' for input\n", cabinetPath.c_str());
        backend->Destroy(error);
        return;
    }
    CabinetInfo info;
    bool isCabinet = backend->IsCabinet(handle, info);
    table.Close(handle);
    if (!isCabinet) {
        SetupLog("FDIIsCabinet() failed: '%s' is not a cabinet\n", cabinetPath.c_str());
        backend->Destroy(error);
        return;
    }
    SetupLog("Information on cabinet file '%s'\n   Total length of cabinet file : %d\n"
             "   Number of folders in cabinet : %d\n   Number of files in cabinet   : %d\n"
             "   Cabinet set ID               : %d\n   Cabinet number in set        : %d\n"
             "   RESERVE area in cabinet?     : %s\n   Chained to prev cabinet?     : %s\n"
             "   Chained to next cabinet?     : %s\n\n",
             cabinetPath.c_str(), static_cast<int>(info.length), info.folders, info.files, info.setId,
             info.number, info.hasReserve ? "yes" : "no", info.hasPrevious ? "yes" : "no",
             info.hasNext ? "yes" : "no");

    size_t split = cabinetPath.find_last_of(PlatformPathSeparator());
    std::string folder = split == std::string::npos ? std::string() : cabinetPath.substr(0, split + 1);
    std::string name = split == std::string::npos ? cabinetPath : cabinetPath.substr(split + 1);
    CabinetUnpacker unpacker(table, extractFolder, extractedFiles);
    if (!backend->Copy(name, folder, unpacker, error)) {
        SetupLog("FDICopy() failed: code %d [%s]\n", error, CabinetErrorName(error));
        backend->Destroy(error);
        return;
    }
    if (!backend->Destroy(error))
        SetupLog("FDIDestroy() failed: code %d [%s]\n", error, CabinetErrorName(error));
}

}  // namespace setupadmin
