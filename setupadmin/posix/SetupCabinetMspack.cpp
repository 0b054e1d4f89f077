// The cabinet backend outside Windows: libmspack, with a system interface
// whose files are the slots of the file table. The cabinet is opened by
// name (this program's path opens the "CABINET" resource); each output file
// is the slot the copy notification opened, named "\x01<slot>" so that
// libmspack writes to it without opening anything itself.
//
// Not here: multi-cabinet sets (the helper's cabinets are single).
#include <mspack.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SetupCabinet.h"

namespace setupadmin {

namespace {

struct SlotFile {
    intptr_t slot;
    bool owned;  // false: the copy notification closes it
};

struct SlotSystem {
    mspack_system base;
    CabinetFileTable* table;
};

CabinetFileTable& TableOf(mspack_system* self) { return *reinterpret_cast<SlotSystem*>(self)->table; }

mspack_file* SlotOpen(mspack_system* self, const char* name, int mode) {
    intptr_t slot = -1;
    bool owned = true;
    if (name[0] == '\x01') {
        slot = std::atoi(name + 1);
        owned = false;
    } else if (mode == MSPACK_SYS_OPEN_READ) {
        int flags = 0, fileMode = 0;
        PlatformReadFlags(flags, fileMode);
        slot = TableOf(self).Open(name, flags, fileMode);
    }
    if (slot < 0) return nullptr;
    return reinterpret_cast<mspack_file*>(new SlotFile{slot, owned});
}

// libmspack passes no system pointer to read, write, seek and close, so the
// table is process-wide while a backend exists.
CabinetFileTable* currentTable = nullptr;

void SlotCloseWithTable(mspack_file* file) {
    auto* slotFile = reinterpret_cast<SlotFile*>(file);
    if (slotFile->owned) currentTable->Close(slotFile->slot);
    delete slotFile;
}

int SlotRead(mspack_file* file, void* buffer, int count) {
    return static_cast<int>(currentTable->Read(reinterpret_cast<SlotFile*>(file)->slot, buffer,
                                               static_cast<unsigned>(count)));
}

int SlotWrite(mspack_file* file, void* buffer, int count) {
    return static_cast<int>(currentTable->Write(reinterpret_cast<SlotFile*>(file)->slot, buffer,
                                                static_cast<unsigned>(count)));
}

int SlotSeek(mspack_file* file, off_t offset, int mode) {
    int origin = mode == MSPACK_SYS_SEEK_START ? 0 : mode == MSPACK_SYS_SEEK_CUR ? 1 : 2;
    long result = currentTable->Seek(reinterpret_cast<SlotFile*>(file)->slot, static_cast<long>(offset), origin);
    return result < 0 ? -1 : 0;  // libmspack wants 0 on success
}

off_t SlotTell(mspack_file* file) {
    return currentTable->Seek(reinterpret_cast<SlotFile*>(file)->slot, 0, 1);
}

void SlotMessage(mspack_file*, const char*, ...) {}
void* SlotAlloc(mspack_system*, size_t bytes) { return std::calloc(1, bytes); }
void SlotFree(void* memory) { std::free(memory); }
void SlotCopy(void* source, void* target, size_t bytes) { std::memmove(target, source, bytes); }

int FdiErrorOf(int error) {
    switch (error) {
    case MSPACK_ERR_OK: return 0;
    case MSPACK_ERR_OPEN: return 1;
    case MSPACK_ERR_SIGNATURE: return 2;
    case MSPACK_ERR_NOMEMORY: return 5;
    case MSPACK_ERR_WRITE: return 8;
    case MSPACK_ERR_DATAFORMAT: case MSPACK_ERR_CHECKSUM: case MSPACK_ERR_CRUNCH:
    case MSPACK_ERR_DECRUNCH: return 7;
    default: return 4;
    }
}

uint16_t DosDate(const mscabd_file* file) {
    return static_cast<uint16_t>(((file->date_y - 1980) << 9) | (file->date_m << 5) | file->date_d);
}

uint16_t DosTime(const mscabd_file* file) {
    return static_cast<uint16_t>((file->time_h << 11) | (file->time_m << 5) | (file->time_s / 2));
}

class MspackBackend : public CabinetBackend {
public:
    explicit MspackBackend(CabinetFileTable& table) {
        currentTable = &table;
        system_.table = &table;
        system_.base.open = SlotOpen;
        system_.base.close = SlotCloseWithTable;
        system_.base.read = SlotRead;
        system_.base.write = SlotWrite;
        system_.base.seek = SlotSeek;
        system_.base.tell = SlotTell;
        system_.base.message = SlotMessage;
        system_.base.alloc = SlotAlloc;
        system_.base.free = SlotFree;
        system_.base.copy = SlotCopy;
        system_.base.null_ptr = nullptr;
    }
    ~MspackBackend() override {
        int ignored = 0;
        Destroy(ignored);
    }

    bool Create(int& error) override {
        decompressor_ = mspack_create_cab_decompressor(&system_.base);
        error = decompressor_ ? 0 : 5;
        return decompressor_ != nullptr;
    }

    // Reads the cabinet header through the slot, as FDIIsCabinet does.
    bool IsCabinet(intptr_t handle, CabinetInfo& info) override {
        uint8_t header[36] = {};
        if (currentTable->Read(handle, header, sizeof header) != static_cast<long>(sizeof header)) return false;
        if (std::memcmp(header, "MSCF", 4) != 0) return false;
        auto u16 = [&](int at) { return header[at] | header[at + 1] << 8; };
        info.length = static_cast<long>(u16(8) | (u16(10) << 16));
        info.folders = u16(26);
        info.files = u16(28);
        int flags = u16(30);
        info.setId = u16(32);
        info.number = u16(34);
        info.hasPrevious = flags & 1;
        info.hasNext = flags & 2;
        info.hasReserve = flags & 4;
        return true;
    }

    bool Copy(const std::string& name, const std::string& folder, CabinetUnpacker& unpacker,
              int& error) override {
        std::string path = folder + name;
        mscabd_cabinet* cabinet = decompressor_->open(decompressor_, path.c_str());
        if (cabinet == nullptr) {
            error = FdiErrorOf(decompressor_->last_error(decompressor_));
            return false;
        }
        unpacker.CabinetInformation(cabinet->nextname ? cabinet->nextname : "",
                                    cabinet->nextinfo ? cabinet->nextinfo : "", folder.c_str(),
                                    cabinet->set_id, cabinet->set_index);
        bool ok = true;
        for (mscabd_file* file = cabinet->files; file != nullptr && ok; file = file->next) {
            intptr_t slot = unpacker.CopyTarget(file->filename, static_cast<long>(file->length));
            if (slot == -1) {
                error = 11;
                ok = false;
                break;
            }
            char target[32];
            std::snprintf(target, sizeof target, "\x01%d", static_cast<int>(slot));
            int result = decompressor_->extract(decompressor_, file, target);
            unpacker.CloseTarget(slot, file->filename, DosDate(file), DosTime(file),
                               static_cast<uint16_t>(file->attribs));
            if (result != MSPACK_ERR_OK) {
                error = FdiErrorOf(result);
                ok = false;
            }
        }
        decompressor_->close(decompressor_, cabinet);
        return ok;
    }

    bool Destroy(int& error) override {
        error = 0;
        if (decompressor_) mspack_destroy_cab_decompressor(decompressor_);
        decompressor_ = nullptr;
        return true;
    }

private:
    SlotSystem system_{};
    mscab_decompressor* decompressor_ = nullptr;
};

}  // namespace

CabinetBackend* MakeCabinetBackend(CabinetFileTable& table) { return new MspackBackend(table); }

}  // namespace setupadmin
