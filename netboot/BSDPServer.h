// The BSDP responder: answers the boot-image LIST and SELECT requests that
// a client's firmware sends inside DHCP INFORM messages, for the boot image
// entries (BootSource.h). What decides the answers is the mode the server
// was started in, never how many entries there are at the moment: a server
// on one disc gives the one-image answers for the newest entry; a library
// (BsdpSetLibraryMode) follows the list rules for any number of entries,
// one or none included: a list of those the client may see, its default,
// and SELECT of the image the client names (FAILED for an ID it may not
// have, never another image's files).
//
// It listens on UDP port 7799 on every local IPv4 address. A request
// without a relay is answered by unicast to its sender's address and port.
// A request that came through a relay (giaddr set) is answered at the
// client's own address (ciaddr) and reply port (BSDP option 5, else 68), in
// every mode; only a reply port below 1024 is taken (a client's firmware
// uses 68 or a privileged port), anything else is dropped and counted, so
// that a forged request cannot aim answers at another service. Answers to
// one address are rate-limited (a burst, then a few a second; the drops
// are counted), from a table of addresses with a fixed bound.
//
// It is not a DHCP server: it assigns no addresses, answers nothing but
// DHCPINFORM carrying BSDP, and remembers nothing between datagrams (a
// SELECT needs no earlier LIST). Every failure means no reply; nothing is
// reported to the user.
//
// Run-loop thread only: the option tables and packet buffers are
// process-wide and serve one datagram at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "NetBootEvents.h"
#include "QxLObject.h"
#include "QxLStatus.h"

struct sockaddr;

// The port the responder listens on.
inline constexpr uint16_t kBsdpPort = 7799;
// Receive and reply buffers: one Ethernet frame's worth of UDP payload.
inline constexpr size_t kBsdpPacketSize = 1472;

// ---- Boot image name format ---------------------------------------------------

// The image name shown in a LIST reply, as a format text in which "%1$@"
// stands for the volume name and "%2$@" for this computer's display name,
// for example "%1$@ (%2$@)". Null: the volume name alone. Process-wide; the
// variable holds one reference, owned by whoever stored it (the controller
// releases it at exit). Set it with SetBootImageNameFormat, or assign it
// directly and keep the reference rules.
extern QxLStringRef bootImageNameFormat;

// Retains format (may be null) as bootImageNameFormat and releases the
// previous one.
void SetBootImageNameFormat(QxLStringRef format);

// ---- Server -----------------------------------------------------------------------

// StartBsdpOnPort(kBsdpPort, nullptr).
QxStatus StartBsdp();

// Opens the responder's UDP socket (IPv4, any address, the given port; 0 lets
// the system choose), makes it non-blocking and adds it to the main run loop.
// boundPort (may be null) receives the port actually bound. A second start
// while running gives kStatusAlreadyInitialized and leaves the running one;
// kStatusNoMemory; the socket error (EADDRINUSE / WSAEADDRINUSE when the port
// is taken). Nothing stays open after a failure.
QxStatus StartBsdpOnPort(uint16_t port, uint16_t* boundPort);

// Removes the socket from the run loop and closes it. Does nothing when the
// responder is not running.
void StopBsdp();

// A sink that hears of every answered request as "BSDPList" or "BSDPSelect"
// with "Client" and "HardwareAddress" (NetBootEvents.h), after the reply
// went out; null (the default) reports nothing. The sink must not stop the
// responder.
void BsdpSetEventSink(NetBootEventSink sink, void* context);

// The bound port while running, else 0.
uint16_t BsdpPort();

// The client records of a server that offers a library (NetBootClients.h),
// borrowed until set to null; null (the default) for the one-disc answers.
// With records, every LIST uses the list answers: priority 32768 less the
// records (option 4), the client's recorded image (option 8) while it may
// still see it; an answered SELECT records the client, and a SELECT naming
// another server drops its record.
class NetBootClients;
void BsdpSetClientRecords(NetBootClients* records);

// The TFTP port that SELECT replies announce (BSDP option 12). The service
// control stores it after the TFTP server has started; 0 until then.
void SetBsdpTftpPort(uint16_t port);

// Whether the responder answers as a library (true) or for one disc (false,
// the default: the one-image answers of the newest entry). Takes effect at
// once; a server sets it before it starts the services.
void BsdpSetLibraryMode(bool library);
bool BsdpLibraryMode();

// Answers to one address: a burst of `burst`, then `perSecond` a second
// (kBsdpRateBurst and kBsdpRatePerSecond unless set; perSecond 0: no
// limit). Takes effect at once.
inline constexpr uint32_t kBsdpRateBurst = 32;
inline constexpr uint32_t kBsdpRatePerSecond = 8;
// Addresses whose rate is kept; beyond it, the longest idle is forgotten.
inline constexpr size_t kBsdpRateAddresses = 4096;
void BsdpSetRateLimit(uint32_t burst, uint32_t perSecond);

// What was not answered on purpose since the process started: relayed
// requests whose reply port is not below 1024 (or whose ciaddr is 0), and
// answers over the rate of their address.
struct BsdpDropCounts {
    uint64_t replyPort;
    uint64_t rateLimited;
};
BsdpDropCounts BsdpDrops();

// Zeroes the receive and reply buffers and frees whatever the option tables
// hold. The service control calls it before every start.
void ClearBsdpPacketAreas();

// ---- Packets (the receive handler's steps; exposed for tests and tools) -------
//
// DHCP message, all integers big-endian:
//
//   offset  width  field    in a reply
//   0       1      op       2 (reply)
//   1       1      htype    copied
//   2       1      hlen     copied
//   3       1      hops     copied
//   4       4      xid      copied
//   8       2      secs     copied
//   10      2      flags    copied
//   12      4      ciaddr   copied
//   16      4      yiaddr   0
//   20      4      siaddr   this computer's IPv4 address toward the client
//   24      4      giaddr   copied
//   28      16     chaddr   copied
//   44      64     sname    this computer's host name, NUL-padded
//   108     128    file     LIST: empty; SELECT: the boot file name
//   236     4      cookie   0x63825363
//   240     ..     options  code, length, data; 0 pads, 255 ends
inline constexpr size_t kDhcpHeaderSize = 236;
inline constexpr size_t kDhcpOptionsOffset = 240;
inline constexpr uint32_t kDhcpMagicCookie = 0x63825363;

// DHCP option codes the responder reads or writes.
inline constexpr uint8_t kDhcpOptionPad = 0;
inline constexpr uint8_t kDhcpOptionRootPath = 17;
inline constexpr uint8_t kDhcpOptionVendorSpecific = 43;
inline constexpr uint8_t kDhcpOptionMessageType = 53;
inline constexpr uint8_t kDhcpOptionServerIdentifier = 54;
inline constexpr uint8_t kDhcpOptionVendorClass = 60;
inline constexpr uint8_t kDhcpOptionEnd = 255;
// DHCP message types.
inline constexpr uint8_t kDhcpAck = 5;
inline constexpr uint8_t kDhcpInform = 8;

// BSDP option codes (inside option 43) and values.
inline constexpr uint8_t kBsdpOptionMessageType = 1;
inline constexpr uint8_t kBsdpOptionServerPriority = 4;
inline constexpr uint8_t kBsdpOptionDefaultImage = 7;
inline constexpr uint8_t kBsdpOptionSelectedImage = 8;
inline constexpr uint8_t kBsdpOptionImageList = 9;
inline constexpr uint8_t kBsdpOptionTftpPort = 12;
inline constexpr uint8_t kBsdpLastOptionCode = 12;
inline constexpr uint8_t kBsdpList = 1;
inline constexpr uint8_t kBsdpSelect = 2;

// One option: the total length of its pieces and their joined data (heap,
// owned by the table). present tells an empty option from a missing one.
struct DhcpOptionSlot {
    uint8_t code;
    bool present;
    uint32_t length;
    uint8_t* data;
};

// A slot per DHCP option code and per BSDP option code.
struct DhcpOptionTable {
    DhcpOptionSlot dhcp[256];
    DhcpOptionSlot bsdp[kBsdpLastOptionCode + 1];
};

// Appends length bytes to the slot of code (in the BSDP space when bsdp is
// true), so that an option sent in pieces is joined. kStatusBadParameter for
// a null table, null data with a length, or a BSDP code above 12;
// kStatusNoMemory (the slot keeps what it had).
QxStatus DhcpOptionTableAdd(DhcpOptionTable* table, bool bsdp, uint8_t code, const void* data,
                            size_t length);
// The slot of code, or null when that option is absent (or code is out of
// the space).
const DhcpOptionSlot* DhcpOptionTableGet(const DhcpOptionTable* table, bool bsdp, uint8_t code);
// Frees every slot's data and marks all absent. A null table is ignored.
void DhcpOptionTableClear(DhcpOptionTable* table);

// Reads options from bytes (length bytes) into the table: 0 is a pad, 255
// ends, every other option needs its length byte and that many bytes inside
// the area. In the BSDP space codes 1 to 12 are stored and any code from 13
// to 254 refuses the area. kStatusMalformed for a truncated option or a
// refused code; kStatusNoMemory. Options read before a failure stay in the
// table.
QxStatus DhcpParseOptions(const uint8_t* bytes, size_t length, DhcpOptionTable* table, bool bsdp);

// Writes the table's DHCP options in increasing code order (values over 255
// bytes split into several options of the same code), then, if any BSDP
// option is present, one option 43 holding the BSDP options in increasing
// code order (255 bytes at most), then the end option. *written receives the
// bytes written. kStatusBufferTooSmall when a piece does not fit into size
// bytes or the BSDP options exceed 255 bytes; kStatusBadParameter for null
// arguments. The DHCP slot 43 itself is not written.
QxStatus DhcpWriteOptions(const DhcpOptionTable* table, uint8_t* buffer, size_t size,
                          size_t* written);

// Handles one received datagram as the receive handler does, except that the
// reply is built into reply (replySize bytes, at least kBsdpPacketSize) instead
// of being sent; sender is the request's source address. 0 with *replyLength
// set when there is an answer. No answer:
//   kStatusBadSize          fewer than 236 bytes; image name of 256 bytes or
//                           more; boot file name over 127 characters
//   kStatusUnexpectedType   op neither 1 nor 2; local address not IPv4
//   kStatusMalformed        an option runs past the packet; a BSDP code
//                           above 12
//   kStatusUnsupported      not BSDP (no cookie, no or foreign vendor class,
//                           no option 43), or BSDP that is not answered (a
//                           reply, not DHCPINFORM, neither LIST nor SELECT,
//                           vendor class without its two fields)
//   kStatusNotInitialized   no boot image entry (no prepared disc; in
//                           library mode only for a LIST)
//   kStatusNotFound         the client may see no entry (models, hardware
//                           addresses, attributes filter)
//   kStatusNotAvailable     relayed, and ciaddr is 0 or the reply port is
//                           not below 1024 (counted in BsdpDrops)
//   kStatusBufferTooSmall   the reply does not fit
//   kStatusNoMemory, kStatusBadParameter, LocalAddressFor's socket errors.
// Both option tables are cleared before returning, whatever happened.
QxStatus BsdpAnswerDatagram(const uint8_t* packet, size_t length, const struct sockaddr* sender,
                            uint8_t* reply, size_t replySize, size_t* replyLength);

// Where the answer of the last datagram that BsdpAnswerDatagram answered
// goes (the sender, or ciaddr at the reply port), as "ADDRESS:PORT".
std::string BsdpLastReplyAddress();

// The image name a LIST reply advertises for volumeName: bootImageNameFormat
// with "%1$@" replaced by volumeName and "%2$@" by hostName (null: nothing),
// each replacement made once in the format's text (the inserted names are
// not searched again); volumeName alone without a format. NUL-terminated in
// name (size bytes). kStatusBadSize when the name has 256 bytes or more or
// does not fit; kStatusBadParameter for null arguments.
QxStatus BsdpFormatImageName(const char* volumeName, const char* hostName, char* name,
                             size_t size);
