// The TFTP server: read-only TFTP with the blksize, timeout, tsize and
// windowsize options, serving the files of the boot file map (BootSource.h) from the
// disc, on the run loop.
//
// Packets (integers big-endian):
//
//   packet  layout
//   RRQ     1 (u16), file name, NUL, mode, NUL, { option, NUL, value, NUL }
//   DATA    3 (u16), block (u16), 0 to blksize bytes
//   ACK     4 (u16), block (u16), anything further is ignored
//   ERROR   5 (u16), code (u16), message, NUL
//   OACK    6 (u16), { option, NUL, value, NUL }: tsize, timeout, blksize,
//           windowsize
//
// Options (names without regard to case, values decimal):
//
//   option      accepted          granted                            default
//   blksize     8 to 65464        the least of the value, the limit  512
//                                 (TftpSetBlockSizeLimit) and the
//                                 path MTU toward the client less the
//                                 IP, UDP and TFTP headers
//   timeout     1 to 255 seconds  the value                          5
//   tsize       only 0            the file size                      -
//   windowsize  1 to 65535        the least of the value, the limit  1
//                                 (TftpSetWindowLimit, at most 64)
//                                 and 256 KiB of blocks
//
// A window of n: at most n blocks are out unacknowledged. An ACK of a block
// the server has sent moves the window on to the block after it and sends
// only what the window then lacks, so a client that acknowledges every
// block gets each block once; but when the blocks after it have been out
// for a whole time-out (the client has lost one and asks again from there),
// the window is sent again from the block after the ACK, as the time-out
// would. An ACK of a block before the window is a duplicate and is never
// answered; a time-out resends the window from the first unacknowledged
// block. A full socket buffer holds the rest of a window back until the
// next ACK or time-out. Without the option (a window of 1) this is plain
// lockstep: each ACK of the block in flight sends the next one.
//
// Anything else is ignored and not echoed; an RRQ with no accepted option
// gets DATA 1 at once, otherwise an OACK that the client acknowledges with
// ACK 0.
//
// Requests arrive on one listening UDP socket (IPv4, port chosen by the
// system unless TftpSetListenPort names one). Each transfer then runs on
// its own UDP socket, connected to the client, with one timer: by default
// a repeating one that checks once a second whether the packet in flight
// is due again after the time-out, or, with TftpSetAdaptiveResend, one set
// for the round trip the session measures. A packet goes out at most 10
// times (the first packet of a transfer 9 times). The start and end of every transfer
// go to the event sink as "TFTPOpen" and "TFTPClose" (NetBootEvents.h).
//
// Error packets:
//
//   code  used for
//   0     not defined: truncated name or mode, memory, network, read and
//         retry failures, short packets
//   1     file not found: the open failed, or the file needs more than
//         65535 blocks of the negotiated size (when it is the path MTU that
//         makes the blocks smaller, the error comes from the session's
//         socket and the session ends with kStatusBadSize)
//   4     illegal operation: not a read, mode not octet, unexpected opcode
//   8     option negotiation: truncated option name or value
//
// Bounds: a request from an address and port that already has a session is
// a duplicate of the request that made it and is dropped (the session's own
// retransmissions answer it). Sessions are limited by descriptors, not by a
// small count: at most half the descriptors the process may open (the rest
// stay for HTTP connections, the disc and the run loop), and never more than
// kTftpSessionCeiling. When every place is taken, the session that has
// waited longest without a word from its client makes room (it gets ERROR 0
// "Server Busy" and ends with kStatusNoResources): a real client answers its
// first packet within a round trip, so a session still silent is a client
// that went away or a scan. A session whose client has answered is never
// ended for a newcomer; only when every session has an answering client
// does a request get "Server Busy" from the listening socket, without a
// session or socket of its own.
//
// Everything runs on the run-loop thread; nothing is locked. Not here:
// writing files, netascii, multicast.
#pragma once

#include <cstddef>
#include <cstdint>

#include "NetBootEvents.h"
#include "QxLStatus.h"
#include "QxRunLoop.h"

struct ImageWait;
struct VolumeFile;
struct sockaddr;

inline constexpr uint32_t kTftpErrorNotDefined = 0;
inline constexpr uint32_t kTftpErrorFileNotFound = 1;
inline constexpr uint32_t kTftpErrorIllegalOperation = 4;
inline constexpr uint32_t kTftpErrorOptionNegotiation = 8;

inline constexpr uint16_t kTftpDefaultBlockSize = 512;
inline constexpr int32_t kTftpDefaultTimeout = 5;  // seconds
inline constexpr int32_t kTftpSendLimit = 10;
// The largest window granted whatever the limit set.
inline constexpr uint32_t kTftpMaxWindowSize = 64;
// The most sessions at once whatever the descriptors allow; a session holds
// one socket and about 130 KiB of buffers.
inline constexpr uint32_t kTftpSessionCeiling = 1024;
// The limit where the descriptor limit is not known (Windows sockets).
inline constexpr uint32_t kTftpDefaultSessionLimit = 512;
inline constexpr size_t kTftpPacketCapacity = 65536;
// Room for an IPv4 (16 bytes) or IPv6 (28 bytes) socket address.
inline constexpr size_t kTftpAddressCapacity = 28;

// When a packet of a session last went out, and how often it has: a round
// trip is measured only from a packet sent once.
struct TftpSendRecord {
    uint16_t number;            // DATA block, 0 for the OACK
    uint16_t count;             // sends so far
    double time;                // run-loop clock at the last of them
};

// One transfer. Sessions form a process-wide list, newest first.
struct TftpSession {
    TftpSession* next;
    QxSocketRef socketSource;   // the session's socket object on the run loop
    QxSocketHandle socket;      // its handle (owned by socketSource)
    alignas(8) uint8_t clientAddress[kTftpAddressCapacity];  // as received
    int32_t clientAddressLength;
    uint16_t blockSize;
    int32_t timeout;            // seconds
    int32_t sendCount;          // sends of the current packet so far
    int32_t sendLimit;
    uint16_t block;             // last DATA block built; 0 before the first
    bool lastBlockSent;         // the short last block has been built
    uint16_t highestSent;       // the highest block sent so far (0: none)
    uint16_t windowSize;        // blocks sent per ACK; 1 for lockstep
    uint16_t windowStart;       // first block not acknowledged (0: the OACK)
    uint16_t lastBlock;         // number of the short last block
    uint8_t* packet;            // kTftpPacketCapacity bytes: the packet last built
    int32_t packetLength;
    QxRunLoopTimerRef timer;    // retransmission timer, or null
    double lastSendTime;        // run-loop clock at the last send or progress
    bool adaptive;              // one-shot timer at ResendAfter (TftpSetAdaptiveResend)
    bool measured;              // ... set from the measured round trip
    double srtt;                // smoothed round trip, seconds; 0 before the first
    double rttvar;              // its variation
    double resendAfter;         // adaptive sessions: the time-out in force, seconds
    double timerDue;            // adaptive sessions: when the timer fires
    TftpSendRecord sends[kTftpMaxWindowSize];  // by block number modulo the size
    VolumeFile* file;
    uint64_t fileOffset;        // bytes sent so far
    uint64_t fileSize;
    char* fileName;             // as the client sent it; null until copied
    // File bytes read ahead of the blocks, so that the disc is read in large
    // pieces rather than once per block. Null when it could not be had.
    uint8_t* readAhead;
    uint32_t readAheadCapacity; // its size in bytes
    uint64_t readAheadOffset;   // file offset of readAhead[0]
    uint32_t readAheadLength;   // valid bytes
    uint64_t readAheadFailedEnd;  // end of the last window that failed to read
    ImageWait* wait;              // a .dmg's runs of the next window being decoded
    bool readInPlace;             // that wait failed: the next window is read here
    double startTime;           // run-loop clock when the request came
    bool heard;                 // the client has acknowledged a packet
    char failedPosition[80];    // disc position of a failed read, or empty
};

// Opens the listening socket (UDP, IPv4, any address, a port the system
// picks), non-blocking, on the main run loop, and stores its port (host
// order) in *port. kStatusAlreadyInitialized while it runs (the running
// socket is kept); kStatusBadParameter for a null port; kStatusNoMemory;
// the socket error.
QxStatus StartTftp(uint16_t* port);

// Closes every session with kStatusCanceled, empties the boot file map and
// closes the listening socket. Safe when nothing runs.
void StopTftp();

// The listening socket's port, 0 while stopped.
uint16_t TftpPort();

// The port StartTftp binds (host order); 0, the default, lets the system
// choose. Takes effect at the next start.
void TftpSetListenPort(uint16_t port);

// The largest block size granted (8 to 65464; anything else restores 65464)
// and the largest window (1 to kTftpMaxWindowSize; anything else restores
// kTftpMaxWindowSize), for paths whose MTU the server cannot see and for
// clients that cope badly with windows. They apply to later requests.
void TftpSetBlockSizeLimit(uint32_t limit);
void TftpSetWindowLimit(uint32_t limit);

// Ends a session: reports "TFTPClose" with status as the Reason (kStatusEnded
// as 0) when the session has its file name, takes it off the list, stops
// its timer, closes its file and socket and frees it.
void CloseSession(TftpSession* session, QxStatus status);

// Closes every session with status (kStatusCanceled when a boot source is
// released); the listening socket stays.
void TftpCloseAllSessions(QxStatus status);

// The session limit in force: set from the descriptor limit at StartTftp
// (see Bounds above), or the one given to TftpSetSessionLimit.
uint32_t TftpSessionLimit();

// For tests: a fixed session limit (at least 1); 0 goes back to the one
// derived from the descriptor limit at the next start.
void TftpSetSessionLimit(uint32_t limit);

// The newest session, or null; follow `next` for older ones.
TftpSession* TftpFirstSession();

// Sends an ERROR packet: code, the message made from format with the
// extended printing (QxLFormat.h), NUL. With a destination (IPv4 or IPv6
// socket address) it goes out with sendto, else with send on the connected
// socket. kStatusBadParameter for a code above 65535 or an unknown address
// family; kStatusBadSize for a message of 252 characters or more (nothing
// is sent); the socket error; kStatusUnknown for a short send.
QxStatus SendError(uint32_t code, QxSocketHandle socket, const struct sockaddr* destination,
                   const char* format, ...);

// The sink for "TFTPOpen" and "TFTPClose" and its context; a null sink
// drops the events. The service control sets it along with its own.
void TftpSetEventSink(NetBootEventSink sink, void* context);

// Whether "TFTPOpen" and "TFTPClose" also carry "Client" (the client's
// address as text), "Size" (the file's size) and, at the close, "Bytes"
// (bytes sent), "Milliseconds" (since the request), "BlockSize" and
// "WindowSize" (as granted). Off by default: the
// wizard receives the two keys it knows.
void TftpSetClientEvents(bool on);

// The handlers of the sockets' read callbacks, for feeding packets in
// without the network (the fuzzing targets): a datagram that arrived on the
// listening socket from client (clientLength bytes), and one that arrived on
// the session's socket. Answers still go out on the sockets.
QxStatus TftpHandleRequest(const uint8_t* packet, size_t length, const struct sockaddr* client,
                           int clientLength);
void TftpHandleSessionPacket(TftpSession* session, const uint8_t* packet, size_t length);

// Whether sessions that start from now on resend after the round trip
// they measure rather than at the fixed time-out (off by default: the
// wizard keeps the fixed time-out checked once a tick). A session measures
// from each packet sent once to its ACK (never from one sent again),
// smooths as RFC 6298 does and resends after SRTT + 4 RTTVAR, at least
// 40 ms and at most the session's time-out (5 s), 1 s before the first
// measure. A client that asked for a time-out is resent to first at that
// time-out, exactly. Each further time-out without an answer doubles the
// wait, up to twice the session's time-out, so that a client's own timer
// runs out between our resends. The retry limit is the same in both
// modes, and a duplicate ACK never makes a resend.
void TftpSetAdaptiveResend(bool on);

// For tests: a function asked before each DATA or OACK packet goes out on
// a session's socket (packet and length as they would be sent). A status
// other than kStatusOK is taken as the socket's answer (kQxErrorWouldBlock:
// its buffer is full) and the packet is not sent. Null removes it.
using TftpSendFilter = QxStatus (*)(const uint8_t* packet, size_t length, void* context);
void TftpSetSendFilter(TftpSendFilter filter, void* context);

// For tests: the length of the timer's period, which is also the unit of
// the negotiated timeout, in seconds (1 normally). Takes effect for timers
// created afterwards; values below 0.01 count as 0.01.
void TftpSetTimeScale(double secondsPerTick);
