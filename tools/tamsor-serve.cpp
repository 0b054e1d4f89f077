// tamsor-serve: the network boot services from the console, for computers
// without a desktop, for services started by the system, and for our own
// end-to-end tests.
//
//   tamsor-serve [options] [DISC...]
//
//   DISC               a disc image file, a drive (\\.\CdRom0, or /dev/sr0 on
//                      Linux); more than one for installs that ask for
//                      another disc. None: the computer's optical drives.
//   --volume NAME      serve the install volume of that name (default: the
//                      first install volume of the first disc)
//   --diagnostics      offer the hardware test instead of the installation
//   --list             show the install volumes and exit
//   --bsdp-port N      BSDP port (default 7799; 0: one the system picks)
//   --keep-booting     keep BSDP and TFTP up after the first client, so that
//                      several clients boot one after another or at once
//   --json             events and progress as one JSON object per line
//
// As soon as the services are up, standard output gets one line
//
//   tamsor-serve: bsdp=<port> tftp=<port> http=<port>
//
// (with --json a "start" object) and then the volume served. Ctrl-C or a
// termination request stops the services.
//
// Exit codes: 0 after a stop request or --list; 1 when the disc cannot be
// served (a one-line reason on standard error); 2 for bad usage.
//
// This file is only the entry point; the program lives in the tamsor_serve
// library (serve/TamsorServe.h), which the tests link too.
#include "QxPlatform.h"
#include "TamsorServe.h"

int main(int argc, char** argv) {
    // Room for many clients at once; a failure leaves the usual limit, which
    // the listener's own bounds cope with.
    QxPlatformRaiseDescriptorLimit();
    return tamsorserve::Run(argc, argv, stdout, stderr);
}
