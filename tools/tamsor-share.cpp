// tamsor-share: serves one disc image file over HTTP exactly as the
// program serves a disc, for benchmarks and for trying clients by hand.
//
//   tamsor-share [--max-connections-per-client N] [--send-timeout SECONDS]
//                [--send-path auto|sendfile|buffer] IMAGE [NAME]
//
// Binds \\.\NAME (default CdRom0) to IMAGE, publishes it as /NAME.dmg,
// starts the service on a port the system chooses and prints "port N" on
// standard output. Posted messages are dumped to standard error. Runs until
// interrupted (SIGINT or SIGTERM). The first two options set the service's
// connections per client address (8; 0 for no limit: a benchmark that
// opens many clients from one loopback address needs that) and its send
// time-out (60 s), as tamsor-serve's do; --send-path how large ranges go
// out (auto: the service's own choice; sendfile: always from the file
// cache; buffer: always read into a buffer and sent), so that a benchmark
// can weigh the ways against each other.
//
// Not here: any other setting of the service; the port and the rest of its
// behaviour are the service's own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int Usage() {
    fprintf(stderr, "usage: tamsor-share [--max-connections-per-client N] "
                    "[--send-timeout SECONDS] [--send-path auto|sendfile|buffer] IMAGE [NAME]\n");
    return 2;
}

// A whole decimal number of at most `high`; false for anything else.
bool ParseCount(const char* text, unsigned long high, unsigned long* value) {
    char* end = nullptr;
    if (text == nullptr || *text < '0' || *text > '9') return false;
    *value = strtoul(text, &end, 10);
    return *end == '\0' && *value <= high;
}

bool ParseSendPath(const char* text, HTTPSpanSending* sending) {
    static const struct {
        const char* name;
        HTTPSpanSending sending;
    } kPaths[] = {{"auto", HTTPSpanSending::Auto},
                  {"sendfile", HTTPSpanSending::FileCache},
                  {"buffer", HTTPSpanSending::Buffer}};
    for (const auto& path : kPaths) {
        if (strcmp(text, path.name) == 0) {
            *sending = path.sending;
            return true;
        }
    }
    return false;
}

int Fail(const char* what, QxStatus status) {
    fprintf(stderr, "tamsor-share: %s failed (%d)\n", what, static_cast<int>(status));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    while (first + 1 < argc && argv[first][0] == '-') {
        unsigned long value = 0;
        HTTPSpanSending sending = HTTPSpanSending::Auto;
        if (strcmp(argv[first], "--max-connections-per-client") == 0 &&
            ParseCount(argv[first + 1], 1ul << 20, &value)) {
            DiscShareSetClientLimit(static_cast<uint32_t>(value));
        } else if (strcmp(argv[first], "--send-timeout") == 0 &&
                   ParseCount(argv[first + 1], 86400, &value) && value > 0) {
            DiscShareSetSendTimeout(static_cast<double>(value));
        } else if (strcmp(argv[first], "--send-path") == 0 &&
                   ParseSendPath(argv[first + 1], &sending)) {
            DiscShareSetSpanSending(sending);
        } else {
            return Usage();
        }
        first += 2;
    }
    if (argc - first < 1 || argc - first > 2) return Usage();
    const char* image = argv[first];
    const char* name = argc - first > 1 ? argv[first + 1] : "CdRom0";
    char devicePath[300];
    QxLFormatToBuffer(devicePath, sizeof devicePath, "\\\\.\\%s", name);

    QxPlatformRaiseDescriptorLimit();  // room for many clients; failure keeps the usual limit
    QxStatus status = QxPlatformSocketStartup();
    if (status != kStatusOK) return Fail("socket start-up", status);
    status = QxRunLoopInitialize();
    if (status != kStatusOK) return Fail("run loop", status);
    status = DeviceBindImage(devicePath, image, 0);
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
