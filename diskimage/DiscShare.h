// The disc image HTTP service: one process-wide server that publishes
// optical discs as raw images and receives the client installer's messages.
//
// A client reads an image with GET or HEAD of "/<image name>.dmg" (the
// ".dmg" is optional and case-insensitive, the name is case-sensitive),
// whole or by one byte range; the bytes are the raw sectors of the drive
// whose device name is the image name (\\.\<name>, DiscImageReader.h). A
// POST carries an XML property list: a dictionary whose "Message" is
// "Status" (any case) is answered with the URL and UUID of the first image;
// anything else goes to the message hook and is acknowledged with 200.
//
// The service owns the listener (HTTPListener.h), the image list and one
// session per connection with that connection's open reader. Everything
// runs on the run-loop thread; nothing here blocks except the device reads
// of one chunk (at most 128 KiB).
//
// Not here: sockets and the send pump (HTTPListener.h), message text
// (HTTPMessage.h), device access (DiscImageReader.h).
#pragma once

#include <cstdint>

#include "HTTPConnection.h"
#include "QxLObject.h"

// Keys of an image entry (all string values):
//   "adVN"        display name (absent when none was given)
//   "deviceName"  image name, as in the URL and the device path
//   "adVU"        UUID made when the entry was added, 36 lower-case
//                 characters 8-4-4-4-12, bytes in network order
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyDisplayName, "adVN");
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyDeviceName, "deviceName");
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyImageUUID, "adVU");
//   "path"        DiscShareAddFile's path, when it was published so
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyPath, "path");
// Keys of posted messages and of the status reply
// {Message = Status, URL = "/<first image>.dmg", UUID = its "adVU"}.
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyMessage, "Message");
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyURL, "URL");
QXL_DEFINE_CONSTANT_STRING(kDiscShareKeyUUID, "UUID");
QXL_DEFINE_CONSTANT_STRING(kDiscShareMessageStatus, "Status");

// "Server" header value while no token has been set.
inline constexpr const char* kDiscShareDefaultServerToken = "ZUL/1.0";

// Connection hook events.
inline constexpr uint32_t kDiscShareEventConnectionOpened = 1;

// Client hook events: the first image read of a connection (GET, the
// response under way), and the end of a connection that read an image.
inline constexpr uint32_t kDiscShareClientFirstRead = 1;
inline constexpr uint32_t kDiscShareClientClosed = 2;

// What the client hook hears about a connection; valid during the call.
struct DiscShareClientInfo {
    const char* client;    // the peer's address as text (ClientAddressText)
    const char* path;      // the image name read ("CdRom0"); null at the close
    uint64_t bytesServed;  // image bytes whose sending completed
    double seconds;        // since the connection was accepted
};

// Called with each client event above; it must not stop the service.
using DiscShareClientHook = void (*)(uint32_t event, const DiscShareClientInfo* info,
                                     void* context);

// Called as hook(kDiscShareEventConnectionOpened, 0, context) for every
// accepted connection.
using DiscShareConnectionHook = void (*)(uint32_t event, uintptr_t argument, void* context);
// Receives every posted property list that is not a status query (usually a
// dictionary, but any property-list object). The object is borrowed: the
// hook retains what it keeps. The result is not used; the client gets 200.
using DiscShareMessageHook = QxStatus (*)(QxLObjectRef message, void* context);

// Keeps a heap copy of the "Server" header text, replacing an earlier one.
// Null goes back to the default. kStatusNoMemory leaves the old text.
// DiscShareStop frees it.
QxStatus DiscShareSetServerToken(const char* text);

// Connections the system may complete before the service accepts them, from
// the next start on; 0 keeps the listener's default of 5, which suits the
// one client of a desktop. A lab whose machines start together needs room
// for all of them: a connection the system cannot hold is refused, and its
// client tries again only a second or more later.
void DiscShareSetListenBacklog(uint32_t backlog);

// How large image ranges go out, from the next start on (HTTPSpanSending;
// Auto unless set).
void DiscShareSetSpanSending(HTTPSpanSending sending);

// Seconds a client may take no byte of an answer before its connection is
// closed, from the next start on; 0 (or less) goes back to 60.
void DiscShareSetSendTimeout(double seconds);

// Connections one client address may hold open at once, from the next start
// on; 0 for no limit. 8 unless set: a client that opens a few for its ranges
// has room, and a ninth connection of the address closes that address's
// connection that has waited longest for a request (or is refused with 503
// when all of them are being answered).
inline constexpr uint32_t kDiscShareDefaultClientLimit = 8;
void DiscShareSetClientLimit(uint32_t limit);

// Counters since the service started, for monitoring.
struct DiscShareCounters {
    uint32_t connections;  // open now
    uint32_t connectionLimit;  // open connections at most (each may hold an image's descriptor)
    uint64_t refused;      // newcomers refused with 503 at a limit
    uint64_t madeRoom;     // waiting connections closed to make room for a newcomer
    uint64_t unavailable;  // image requests answered 503: no descriptor left to open the image
};
// All zero while the service is stopped.
void DiscShareGetCounters(DiscShareCounters* counters);

// Store a hook and its context; a null hook disables the call.
void DiscShareSetConnectionHook(DiscShareConnectionHook hook, void* context);
void DiscShareSetMessageHook(DiscShareMessageHook hook, void* context);
void DiscShareSetClientHook(DiscShareClientHook hook, void* context);

// Starts the listener on a port the system chooses: IPv6 dual-stack when
// the system prefers IPv6, else IPv4. kStatusAlreadyInitialized when the
// service runs; kStatusNoMemory; the listener's status. Any failure stops
// the service (DiscShareStop, which also releases the image list) before
// returning.
QxStatus DiscShareStart();

// Closes every connection (kStatusEnded), the listener, the image list and
// the server token. Safe at any time; always 0.
QxStatus DiscShareStop();

// Publishes an image: imageName is the name in the URL and the device name
// of the drive (CdRom0 for \\.\CdRom0); displayName may be null. Each entry
// gets a new UUID. kStatusBadParameter for a null imageName; kStatusNoMemory;
// the UUID source's status. On failure the list keeps what it had.
QxStatus DiscShareAddImage(const char* displayName, const char* imageName);

// Publishes a file served as it is (bound with DeviceBindFile) under an
// exact path as well as under its image name: a request whose path, with
// %XX decoded, equals path ("/nbi01001004/Lab 1.nbi/Root.dmg") reads the
// image. kStatusBadParameter for a path not starting with "/"; otherwise
// as DiscShareAddImage.
QxStatus DiscShareAddFile(const char* displayName, const char* imageName, const char* path);

// Takes the image named imageName off the list: later requests for it are
// answered 404, while a connection that has it open keeps its reader, so a
// read under way finishes with that image's bytes. kStatusNotFound when no
// image has the name.
QxStatus DiscShareRemoveImage(const char* imageName);

// Releases the image list and closes the reader of every connection; the
// connections stay open, and their next image request answers 404 until an
// image is added again. A body being sent ends at its next refill with the
// connection closed.
void DiscShareForgetImages();

// Calls visit(info, context) for each open connection that has read an
// image: its client and the image bytes of the responses sent completely so
// far (path is null). For a live view; the service is not changed.
void DiscShareForEachClient(void (*visit)(const DiscShareClientInfo* info, void* context),
                            void* context);

// While the message hook runs: the address (as text) of the client that
// posted the message; null at any other time.
const char* DiscShareMessageClient();

// True while the service runs and has at least one open connection.
bool DiscShareHasConnections();

// The port the listener is bound to; 0 while the service is stopped.
uint32_t DiscSharePort();

