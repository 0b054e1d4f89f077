// tamsor-share: serves one disc image file over HTTP exactly as the
// program serves a disc, for benchmarks and for trying clients by hand.
//
//   tamsor-share IMAGE [NAME]
//
// Binds \\.\NAME (default CdRom0) to IMAGE, publishes it as /NAME.dmg,
// starts the service on a port the system chooses and prints "port N" on
// standard output. Posted messages are dumped to standard error. Runs until
// interrupted (SIGINT or SIGTERM).
//
// Not here: any setting of the service itself; the port, limits and
// behaviour are the service's own.
#include <csignal>
#include <cstdio>

#include "DeviceBinding.h"
#include "DiscShare.h"
#include "QxLFormat.h"
#include "QxPlatform.h"
#include "QxPlatformRunLoop.h"
#include "QxRunLoop.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

QxStatus DumpMessage(QxLObjectRef message, void*) {
    QxLDumpObject(stderr, message);
    return kStatusOK;
}

int Fail(const char* what, QxStatus status) {
    fprintf(stderr, "tamsor-share: %s failed (%d)\n", what, static_cast<int>(status));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: tamsor-share IMAGE [NAME]\n");
        return 2;
    }
    const char* name = argc > 2 ? argv[2] : "CdRom0";
    char devicePath[300];
    QxLFormatToBuffer(devicePath, sizeof devicePath, "\\\\.\\%s", name);

    QxPlatformRaiseDescriptorLimit();  // room for many clients; failure keeps the usual limit
    QxStatus status = QxPlatformSocketStartup();
    if (status != kStatusOK) return Fail("socket start-up", status);
    status = QxRunLoopInitialize();
    if (status != kStatusOK) return Fail("run loop", status);
    status = DeviceBindImage(devicePath, argv[1], 0);
    if (status != kStatusOK) return Fail("binding the image", status);
    DiscShareSetMessageHook(DumpMessage, nullptr);
    status = DiscShareSetServerToken("VerinNetInstall/1.0");
    if (status == kStatusOK) status = DiscShareAddImage(name, name);
    if (status == kStatusOK) status = DiscShareStart();
    if (status != kStatusOK) return Fail("starting the service", status);

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    printf("port %u\n", DiscSharePort());
    fflush(stdout);

    // A signal does not wake the loop; it notices the flag within a slice.
    while (!gStop) QxRunLoopPumpRunUntil(nullptr, QxRunLoopNow() + 0.2);

    DiscShareStop();
    DeviceUnbindAll();
    QxRunLoopShutdown();
    QxPlatformSocketCleanup();
    return 0;
}
