// Network boot service control; see NetBootControl.h for the phases.
//
// This file owns only the glue: the sink, the BSDP port to open, and the
// flag that remembers the end of the boot phase. Each server keeps its own
// state and is safe to stop when it is not running, which is what lets a
// failed start simply stop everything.
#include "NetBootControl.h"

#include "BSDPServer.h"
#include "BootSource.h"
#include "DiscShare.h"
#include "TFTPServer.h"

namespace {

struct ControlState {
    NetBootEventSink sink;
    void* sinkContext;
    uint16_t bsdpPort;
    // Set by the first HTTP connection; never cleared for the process.
    bool bootPhaseEnded;
    bool keepBootServices;
};

ControlState gControl = {nullptr, nullptr, kBsdpPort, false, false};

// Runs the start's steps; the caller stops everything on a failure.
QxStatus StartInOrder() {
    ClearBsdpPacketAreas();
    QxStatus status = StartBsdpOnPort(gControl.bsdpPort, nullptr);
    if (status != kStatusOK) return status;

    uint16_t tftpPort = 0;
    status = StartTftp(&tftpPort);
    if (status != kStatusOK) return status;
    SetBsdpTftpPort(tftpPort);

    DiscShareSetConnectionHook(NetBootConnectionHook, nullptr);
    DiscShareSetMessageHook(NetBootMessageHook, nullptr);
    status = DiscShareSetServerToken(kNetBootServerToken);
    if (status != kStatusOK) return status;
    return DiscShareStart();
}

}  // namespace

void SetNetBootEventSink(NetBootEventSink sink, void* context) {
    gControl.sink = sink;
    gControl.sinkContext = context;
    TftpSetEventSink(sink, context);
}

QxStatus StartNetBootServices() {
    QxStatus status = StartInOrder();
    if (status != kStatusOK) StopNetBootServices();
    return status;
}

void StopNetBootServices() {
    DiscShareStop();
    StopTftp();
    StopBsdp();
    FreeBootImageEntries();
}

void ReleaseBootSource() {
    TftpCloseAllSessions(kStatusCanceled);
    EmptyBootFileMap();
    DiscShareForgetImages();
}

void SetNetBootBsdpPort(uint16_t port) { gControl.bsdpPort = port; }

void SetNetBootKeepBootServices(bool keep) { gControl.keepBootServices = keep; }

void NetBootConnectionHook(uint32_t event, uintptr_t, void*) {
    if (event != kDiscShareEventConnectionOpened || gControl.bootPhaseEnded ||
        gControl.keepBootServices) {
        return;
    }
    StopTftp();
    StopBsdp();
    gControl.bootPhaseEnded = true;
}

QxStatus NetBootMessageHook(QxLObjectRef message, void*) {
    if (gControl.sink == nullptr) return kStatusOK;
    return gControl.sink(message, gControl.sinkContext);
}

bool NetBootPhaseEnded() { return gControl.bootPhaseEnded; }

void NetBootResetPhaseForTesting() { gControl.bootPhaseEnded = false; }
