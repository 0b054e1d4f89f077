// The cabinet backend on Windows: cabinet.dll's FDI, created with our own
// memory and file callbacks, which go to the file table.
#include <windows.h>

#include <fcntl.h>
#include <fdi.h>

#include "SetupCabinet.h"

namespace setupadmin {

namespace {

CabinetFileTable* fdiTable = nullptr;  // FDI's file callbacks have no context

FNALLOC(FdiAlloc) { return LocalAlloc(LMEM_ZEROINIT, cb); }
FNFREE(FdiFree) { LocalFree(pv); }
FNOPEN(FdiOpen) { return fdiTable->Open(pszFile, oflag, pmode); }
FNREAD(FdiRead) { return static_cast<UINT>(fdiTable->Read(hf, pv, cb)); }
FNWRITE(FdiWrite) { return static_cast<UINT>(fdiTable->Write(hf, pv, cb)); }
FNCLOSE(FdiClose) { return fdiTable->Close(hf); }
FNSEEK(FdiSeek) { return fdiTable->Seek(hf, dist, seektype); }

const char* Text(const char* text) { return text ? text : ""; }

FNFDINOTIFY(FdiNotify) {
    auto* unpacker = static_cast<CabinetUnpacker*>(pfdin->pv);
    switch (fdint) {
    case fdintCABINET_INFO:
        unpacker->CabinetInformation(Text(pfdin->psz1), Text(pfdin->psz2), Text(pfdin->psz3),
                                     pfdin->setID, pfdin->iCabinet);
        return 0;
    case fdintPARTIAL_FILE:
        unpacker->PartialFile(Text(pfdin->psz1), Text(pfdin->psz2), Text(pfdin->psz3));
        return 0;
    case fdintCOPY_FILE:
        return unpacker->CopyTarget(Text(pfdin->psz1), pfdin->cb);
    case fdintCLOSE_FILE_INFO:
        return unpacker->CloseTarget(pfdin->hf, Text(pfdin->psz1), pfdin->date, pfdin->time,
                                   pfdin->attribs)
                   ? TRUE
                   : FALSE;
    case fdintNEXT_CABINET:
        unpacker->NextCabinet(Text(pfdin->psz1), Text(pfdin->psz2), Text(pfdin->psz3));
        return 0;
    default:
        return 0;
    }
}

class FdiBackend : public CabinetBackend {
public:
    explicit FdiBackend(CabinetFileTable& table) { fdiTable = &table; }
    ~FdiBackend() override {
        if (context_) FDIDestroy(context_);
    }
    bool Create(int& error) override {
        context_ = FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek,
                             cpu80386, &errors_);
        error = errors_.erfOper;
        return context_ != nullptr;
    }
    bool IsCabinet(intptr_t handle, CabinetInfo& info) override {
        FDICABINETINFO cabinet = {};
        if (!FDIIsCabinet(context_, handle, &cabinet)) return false;
        info.length = cabinet.cbCabinet;
        info.folders = cabinet.cFolders;
        info.files = cabinet.cFiles;
        info.setId = cabinet.setID;
        info.number = cabinet.iCabinet;
        info.hasReserve = cabinet.fReserve;
        info.hasPrevious = cabinet.hasprev;
        info.hasNext = cabinet.hasnext;
        return true;
    }
    bool Copy(const std::string& name, const std::string& folder, CabinetUnpacker& unpacker,
              int& error) override {
        std::string cabinetName = name, cabinetPath = folder;
        if (FDICopy(context_, cabinetName.data(), cabinetPath.data(), 0, FdiNotify, nullptr, &unpacker))
            return true;
        error = errors_.erfOper;
        return false;
    }
    bool Destroy(int& error) override {
        if (context_ == nullptr) return true;
        BOOL destroyed = FDIDestroy(context_);
        context_ = nullptr;
        error = errors_.erfOper;
        return destroyed;
    }

private:
    HFDI context_ = nullptr;
    ERF errors_ = {};
};

}  // namespace

CabinetBackend* MakeCabinetBackend(CabinetFileTable& table) { return new FdiBackend(table); }

}  // namespace setupadmin
