// Network boot service control: the few operations with which the
// application starts, restarts and stops everything a client needs to boot
// from the chosen disc, the one event sink through which the servers report,
// and the two hooks that tie the disc image HTTP service to the boot
// services.
//
//   service                  socket                       started by
//   BSDP responder           UDP 7799 (BSDPServer.h)      StartNetBootServices
//   TFTP server              UDP, port the system picks   StartNetBootServices
//   disc image HTTP service  TCP, port the system picks   StartNetBootServices
//
// Life of the services:
//
//   stopped --Start--> boot phase (BSDP, TFTP, HTTP) --first HTTP connection-->
//   install phase (HTTP only) --Stop--> stopped
//
// The first HTTP connection ends the boot phase: by then the client has its
// booter, kernel and extension cache and reads its root over HTTP, so TFTP
// and BSDP close. That happens once per process; a later start keeps TFTP
// and BSDP open until they are stopped explicitly. ReleaseBootSource may
// come in either phase: it forgets the disc while the sockets stay open, and
// the application prepares the next disc (PrepareBootSource) into the
// running servers.
//
// Everything runs on the run-loop thread; the hooks and the sink are called
// from run-loop callbacks. Nothing is locked. Not here: preparing a disc
// (BootSource.h), the servers themselves.
#pragma once

#include <cstdint>

#include "NetBootEvents.h"
#include "QxLStatus.h"

// The HTTP "Server" header text of the disc image service while the boot
// services run.
inline constexpr const char* kNetBootServerToken = "VerinNetInstall/1.0";

// Stores the event sink and its context (a null sink drops every event) and
// hands them to the TFTP server. The application sets it after
// PrepareBootSource and before StartNetBootServices. The sink receives the
// TFTP server's "TFTPOpen" and "TFTPClose" and every property list a client
// posts over HTTP other than a status query, unchanged and borrowed.
void SetNetBootEventSink(NetBootEventSink sink, void* context);

// Starts, in this order: the BSDP responder (its packet areas cleared
// first) on the BSDP port, the TFTP server (its port goes into the BSDP
// SELECT replies), the two hooks below, the "Server" text
// kNetBootServerToken, and the disc image HTTP service. Returns 0, or the
// failing step's status after StopNetBootServices has closed whatever had
// opened and freed the boot image entries (so the disc must be prepared
// again before the next start): the socket error of a taken BSDP port
// (EADDRINUSE / WSAEADDRINUSE), kStatusAlreadyInitialized when a server
// already runs, kStatusNoMemory, the HTTP listener's status.
QxStatus StartNetBootServices();

// Stops the disc image HTTP service (connections closed, image list and
// Server text released), the TFTP server (sessions closed with
// kStatusCanceled, boot file map emptied), the BSDP responder, and frees
// every boot image entry. Safe when nothing runs, and twice in a row.
void StopNetBootServices();

// Forgets the current disc while the servers keep running: closes every
// TFTP session with kStatusCanceled (each reports its "TFTPClose"), empties
// the boot file map, and drops the HTTP image list and the readers of open
// connections (the connections stay). Listening sockets and boot image
// entries stay.
void ReleaseBootSource();

// The UDP port on which StartNetBootServices opens the BSDP responder:
// kBsdpPort (7799) unless changed here, for a second server on one computer
// or for tests; 0 lets the system choose. Takes effect at the next start.
void SetNetBootBsdpPort(uint16_t port);

// Whether the first HTTP connection leaves TFTP and BSDP running (true), so
// that further clients can boot from the same disc while the first installs;
// false (the default) closes them as described above. Read by the hook at
// each connection, so it takes effect at once.
void SetNetBootKeepBootServices(bool keep);

// Whether every event names its client and the servers report the further
// events of a console server that follows many clients (NetBootEvents.h:
// "BSDPList", "BSDPSelect", "HTTPRead" and "HTTPClose" from the disc image
// service's client hook, which StartNetBootServices installs, and "Client"
// in every event, posted messages as copies). Off by default, and the wizard leaves
// it off: its events stay exactly as they are. Takes effect at once.
void SetNetBootClientEvents(bool on);

// ---- The hooks (installed by StartNetBootServices) ----------------------------

// The HTTP service calls it as hook(event, 0, context) for every accepted
// connection. The first "connection opened" (kDiscShareEventConnectionOpened)
// of the process stops the TFTP server and then the BSDP responder and ends
// the boot phase, unless the boot services are kept; any other event, and
// every later connection, does nothing.
void NetBootConnectionHook(uint32_t event, uintptr_t argument, void* context);

// The HTTP service calls it with every posted message: passes it and the
// sink's context to the sink and returns the sink's result; 0 without a sink.
QxStatus NetBootMessageHook(QxLObjectRef message, void* context);

// Whether a first HTTP connection has ended the boot phase in this process.
bool NetBootPhaseEnded();

// For tests, which run many starts in one process: forgets that the boot
// phase ended, as at process start.
void NetBootResetPhaseForTesting();
