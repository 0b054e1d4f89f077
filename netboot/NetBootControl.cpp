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
#include "QxLBuild.h"
#include "QxLDictionary.h"
#include "QxLString.h"
#include "TFTPServer.h"

namespace {

struct ControlState {
    NetBootEventSink sink;
    void* sinkContext;
    uint16_t bsdpPort;
    // Set by the first HTTP connection; never cleared for the process.
    bool bootPhaseEnded;
    bool keepBootServices;
    bool clientEvents;
};

ControlState gControl = {nullptr, nullptr, kBsdpPort, false, false, false};

// Hands the sink on to the servers that report to it themselves.
void PassSinkOn() {
    TftpSetEventSink(gControl.sink, gControl.sinkContext);
    TftpSetClientEvents(gControl.clientEvents);
    BsdpSetEventSink(gControl.clientEvents ? gControl.sink : nullptr, gControl.sinkContext);
}

void Report(QxLObjectRef event) {
    if (event == nullptr) return;
    if (gControl.sink != nullptr) gControl.sink(event, gControl.sinkContext);
    QxLObjectRelease(event);
}

// "HTTPRead" and "HTTPClose" from the disc image service's reports.
void ReportConnection(uint32_t event, const DiscShareClientInfo* info, void*) {
    if (!gControl.clientEvents || gControl.sink == nullptr || info == nullptr) return;
    QxLObjectRef built = nullptr;
    if (event == kDiscShareClientFirstRead) {
        QxLBuild(&built, "{%kO=%O%kO=%s%kO=%s}", kNetBootKeyMessage, kNetBootEventHTTPRead,
                 kNetBootKeyClient, info->client, kNetBootKeyPath,
                 info->path != nullptr ? info->path : "");
    } else if (event == kDiscShareClientClosed) {
        QxLBuild(&built, "{%kO=%O%kO=%s%kO=%lli%kO=%lli}", kNetBootKeyMessage,
                 kNetBootEventHTTPClose, kNetBootKeyClient, info->client, kNetBootKeyBytes,
                 static_cast<long long>(info->bytesServed), kNetBootKeyMilliseconds,
                 static_cast<long long>(info->seconds > 0 ? info->seconds * 1000.0 + 0.5 : 0));
    }
    Report(built);
}

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
    DiscShareSetClientHook(ReportConnection, nullptr);
    status = DiscShareSetServerToken(kNetBootServerToken);
    if (status != kStatusOK) return status;
    return DiscShareStart();
}

}  // namespace

void SetNetBootEventSink(NetBootEventSink sink, void* context) {
    gControl.sink = sink;
    gControl.sinkContext = context;
    PassSinkOn();
}

void SetNetBootClientEvents(bool on) {
    gControl.clientEvents = on;
    PassSinkOn();
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
    const char* poster = DiscShareMessageClient();
    if (!gControl.clientEvents || poster == nullptr ||
        !QxLObjectIsType(message, kQxLTypeDictionary)) {
        return gControl.sink(message, gControl.sinkContext);
    }
    // A copy names its poster; the message itself stays as it came.
    QxLObjectRef copy = nullptr;
    QxLStringRef client = QxLStringCreateWithText(poster);
    if (client == nullptr || QxLObjectCopy(message, &copy) != kStatusOK ||
        QxLDictionarySetValue(static_cast<QxLDictionaryRef>(copy), kNetBootKeyClient, client) !=
            kStatusOK) {
        QxLObjectRelease(client);
        QxLObjectRelease(copy);
        return gControl.sink(message, gControl.sinkContext);
    }
    QxLObjectRelease(client);
    QxStatus status = gControl.sink(copy, gControl.sinkContext);
    QxLObjectRelease(copy);
    return status;
}

bool NetBootPhaseEnded() { return gControl.bootPhaseEnded; }

void NetBootResetPhaseForTesting() { gControl.bootPhaseEnded = false; }
