// Unpacking the cabinet that ZULSetupAdmin carries in its "CABINET"
// resource: the 256-slot file table behind the decompressor's file
// callbacks, the per-file notifications with their log texts, and the
// unpack sequence (create, is-cabinet, copy, destroy).
//
// The decompressor itself is the system's: FDI on Windows (win32/), libmspack
// elsewhere (posix/); both call back into this file table and these
// notifications. Not here: where the files' paths end up afterwards (the
// caller owns that list).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SetupPlatform.h"

namespace setupadmin {

constexpr int kCabinetSlots = 256;
constexpr size_t kMaxExtractedFiles = 1024;

enum : uint32_t { kSlotFile = 0, kSlotResource = 1 };

// What a slot records: its kind, and for a file its run-time library
// descriptor, for the resource its size and read position (the resource's
// handle and bytes are kept beside it, being pointers).
struct CabinetSlot {
    uint32_t kind;
    uint32_t fd;
    uint32_t size;
    uint32_t position;
};

// The file table of the decompressor callbacks. A cabinet "file handle" is
// a slot index 0..255; -1 is failure.
class CabinetFileTable {
public:
    explicit CabinetFileTable(std::string modulePath) : modulePath_(std::move(modulePath)) {}
    ~CabinetFileTable();
    CabinetFileTable(const CabinetFileTable&) = delete;
    CabinetFileTable& operator=(const CabinetFileTable&) = delete;

    void Clear();
    // Opens this program's own path as the "CABINET" resource, any other
    // path as a file with the given system flags.
    intptr_t Open(const char* path, int flags, int mode);
    long Read(intptr_t handle, void* buffer, unsigned count);
    long Write(intptr_t handle, const void* buffer, unsigned count);
    long Seek(intptr_t handle, long offset, int origin);  // origin 0, 1, 2
    int Close(intptr_t handle);

    int nextSlot() const { return nextSlot_; }
    bool IsOpen(int index) const { return index >= 0 && index < kCabinetSlots && slots_[index]; }

private:
    struct Record {
        CabinetSlot slot{};
        SetupHandle resourceHandle = kNoHandle;
        const uint8_t* bytes = nullptr;
    };
    Record* Lookup(intptr_t handle) const;

    std::string modulePath_;
    Record* slots_[kCabinetSlots] = {};
    int nextSlot_ = 0;
};

// What the cabinet reported about itself.
struct CabinetInfo {
    long length = 0;
    int folders = 0;
    int files = 0;
    int setId = 0;
    int number = 0;
    bool hasReserve = false;
    bool hasPrevious = false;
    bool hasNext = false;
};

// The notifications, called by the decompressor backend.
class CabinetUnpacker {
public:
    CabinetUnpacker(CabinetFileTable& table, std::string extractFolder,
                    std::vector<std::string>& extractedFiles)
        : table_(table), folder_(std::move(extractFolder)), files_(extractedFiles) {}

    CabinetFileTable& Table() { return table_; }
    void CabinetInformation(const char* nextCabinet, const char* nextDisk, const char* path,
                            int setId, int number);
    void PartialFile(const char* name, const char* cabinet, const char* disk);
    void NextCabinet(const char* cabinet, const char* disk, const char* path);
    // Returns the open target's handle, or -1 to fail the copy.
    intptr_t CopyTarget(const char* name, long size);
    bool CloseTarget(intptr_t handle, const char* name, uint16_t date, uint16_t time,
                   uint16_t attributes);

private:
    CabinetFileTable& table_;
    std::string folder_;
    std::vector<std::string>& files_;
};

// The name of a decompressor error code 0..11.
const char* CabinetErrorName(int code);

// Unpacks the cabinet at cabinetPath (opened through the table) into the
// folder; the logged texts report every failure.
void UnpackCabinet(CabinetFileTable& table, const std::string& cabinetPath,
                   const std::string& extractFolder, std::vector<std::string>& extractedFiles);

// ---- The system's decompressor (win32/ FDI, posix/ libmspack) ---------------------------
class CabinetBackend {
public:
    virtual ~CabinetBackend() = default;
    virtual bool Create(int& error) = 0;
    virtual bool IsCabinet(intptr_t handle, CabinetInfo& info) = 0;
    virtual bool Copy(const std::string& name, const std::string& folder,
                      CabinetUnpacker& unpacker, int& error) = 0;
    virtual bool Destroy(int& error) = 0;
};
CabinetBackend* MakeCabinetBackend(CabinetFileTable& table);

}  // namespace setupadmin
