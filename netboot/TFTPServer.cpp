// The TFTP server; see TFTPServer.h for the packets, options and error codes.
//
// One listening socket takes requests; every accepted request gets a session
// with its own socket connected to the client, so the system delivers only
// that client's packets to it and a session never looks at addresses again.
// A session builds each packet in one 64 KiB buffer; in lockstep that is
// the packet in flight, and a retransmission resends those bytes without
// touching the disc. A window's blocks are built and sent one after the
// other, and a retransmitted window is built again from the read-ahead:
// what a block holds is read in one place (ReadFileBytes), apart from when
// it is sent. File bytes
// come from a read-ahead buffer filled in large aligned pieces, so a
// transfer costs one disc read per 64 KiB instead of one per block.
//
// Session ends are careful about re-entry: the sink may run a modal loop
// or stop the server, so a session is off the list and off the run loop
// before its "TFTPClose" goes out, and nothing touches a session after an
// event has been reported for it.
//
// Not here: which file a name gives (BootSource.h); writes; netascii.
#include "TFTPServer.h"

#include <cstdarg>
#include <cstring>

#include "BootSource.h"
#include "DiscHost.h"
#include "QxLBuild.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLScan.h"
#include "QxPlatform.h"
#include "QxPlatformNet.h"
#include "VolumePath.h"

namespace {

constexpr uint16_t kOpRead = 1;
constexpr uint16_t kOpData = 3;
constexpr uint16_t kOpAck = 4;
constexpr uint16_t kOpError = 5;
constexpr uint16_t kOpOptionAck = 6;

// Every datagram is read into this much; the rest of a longer one is lost.
constexpr size_t kReceiveCapacity = 1024;
constexpr size_t kHeaderLength = 4;
// Message text of an ERROR packet: 251 characters and the NUL.
constexpr size_t kErrorTextCapacity = 252;
constexpr uint32_t kMaxErrorCode = 65535;
constexpr uint64_t kMaxBlocks = 65535;

constexpr uint32_t kMinBlockSize = 8;
constexpr uint32_t kMaxBlockSize = 65464;
constexpr uint32_t kMinTimeout = 1;
constexpr uint32_t kMaxTimeout = 255;
constexpr uint32_t kMaxWindowValue = 65535;
constexpr int kSessionSendBuffer = 65536;
// A window is granted at most this many bytes of blocks, so that it fits the
// session socket's send buffer (which the system caps) and the read-ahead.
constexpr uint32_t kWindowByteBudget = 256 * 1024;
// What a block carries besides its data: IP, UDP and the TFTP header.
constexpr uint32_t kIPv4Overhead = 20 + 8 + 4;
constexpr uint32_t kIPv6Overhead = 40 + 8 + 4;

// Read-ahead: pieces of 64 KiB (more for blocks that would not fit one),
// starting on this alignment, so that the volume reads whole allocation
// blocks straight into the buffer.
constexpr uint32_t kReadAheadSize = 64 * 1024;
constexpr uint32_t kReadAheadAlignment = 4096;

constexpr double kMinimumTick = 0.01;
// Resending after the measured round trip: never sooner than this (a
// client's scheduling and the run loop's timers are not finer), and this
// until the first measure (RFC 6298's initial time-out).
constexpr double kResendFloor = 0.04;
constexpr double kInitialResend = 1.0;
// A timer may fire this much before its time and still count as due.
constexpr double kTimerSlack = 0.001;
// The listening socket's receive buffer: room for the requests of a room of
// clients switched on together (the system may grant less).
constexpr int kListenerReceiveBuffer = 1 << 20;

struct ServerState {
    QxSocketRef listenerObject;
    QxSocketHandle listener;
    uint16_t port;
    TftpSession* sessions;
    NetBootEventSink sink;
    void* sinkContext;
    double tick;  // seconds per timer period and per unit of timeout
    uint32_t sessionLimit;       // in force while running
    uint32_t fixedSessionLimit;  // TftpSetSessionLimit; 0: from the descriptors
    bool clientEvents;           // events carry the client and the figures
    uint16_t listenPort;         // to bind at the next start; 0: the system's choice
    uint32_t blockSizeLimit;     // the largest blksize granted
    uint32_t windowLimit;        // the largest windowsize granted
    bool adaptive;               // sessions resend after the measured round trip
    TftpSendFilter sendFilter;   // tests: stands in for the socket's answer
    void* sendFilterContext;
};

ServerState gServer = {nullptr, kQxInvalidSocket, 0,     nullptr,       nullptr,
                       nullptr, 1.0,           0,         0,             false,
                       0,       kMaxBlockSize, kTftpMaxWindowSize, false,
                       nullptr, nullptr};

// Half the descriptors, within the ceiling (see TFTPServer.h).
uint32_t DerivedSessionLimit() {
    if (gServer.fixedSessionLimit != 0) return gServer.fixedSessionLimit;
    uint32_t descriptors = QxPlatformDescriptorLimit();
    if (descriptors == 0) return kTftpDefaultSessionLimit;
    uint32_t limit = descriptors / 2;
    if (limit > kTftpSessionCeiling) limit = kTftpSessionCeiling;
    return limit > 0 ? limit : 1;
}

// The options an RRQ asked for and the server accepted.
struct AcceptedOptions {
    bool blockSize;
    bool timeout;
    bool transferSize;
    bool windowSize;
    uint32_t blockSizeValue;
    uint32_t timeoutValue;
    uint32_t windowSizeValue;
};

uint16_t ReadU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void WriteU16(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

// ASCII comparison without regard to case, of a NUL-terminated text with a
// lower-case literal.
bool EqualsNoCase(const char* text, const char* lowerLiteral) {
    for (; *lowerLiteral != '\0'; ++text, ++lowerLiteral) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *lowerLiteral) return false;
    }
    return *text == '\0';
}

// A decimal option value: digits only, saturating far above every limit.
// False for anything else (an empty value, a sign, trailing text).
bool ParseDecimal(const char* text, uint32_t* value) {
    if (*text == '\0') return false;
    uint32_t result = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        if (result < 100000000) result = result * 10 + static_cast<uint32_t>(*text - '0');
    }
    *value = result;
    return true;
}

void ApplyOption(const char* name, const char* value, AcceptedOptions* options) {
    uint32_t number = 0;
    if (!ParseDecimal(value, &number)) return;
    if (EqualsNoCase(name, "blksize")) {
        if (number >= kMinBlockSize && number <= kMaxBlockSize) {
            options->blockSize = true;
            options->blockSizeValue = number;
        }
    } else if (EqualsNoCase(name, "timeout")) {
        if (number >= kMinTimeout && number <= kMaxTimeout) {
            options->timeout = true;
            options->timeoutValue = number;
        }
    } else if (EqualsNoCase(name, "tsize")) {
        if (number == 0) options->transferSize = true;
    } else if (EqualsNoCase(name, "windowsize")) {
        if (number >= 1 && number <= kMaxWindowValue) {
            options->windowSize = true;
            options->windowSizeValue = number;
        }
    }
}

char* CopyText(const char* text) {
    size_t length = strlen(text);
    auto* copy = static_cast<char*>(QxLAlloc(length + 1));
    if (copy != nullptr) memcpy(copy, text, length + 1);
    return copy;
}

void Report(QxLObjectRef event) {
    if (event == nullptr) return;
    if (gServer.sink != nullptr) gServer.sink(event, gServer.sinkContext);
    QxLObjectRelease(event);
}

// The session's client as text ("192.0.2.7"); "?" when it cannot be said.
void ClientText(const TftpSession* session, char* text, size_t size) {
    if (ClientAddressText(reinterpret_cast<const sockaddr*>(session->clientAddress), text, size) !=
        kStatusOK) {
        QxLCopyBounded(text, "?", size);
    }
}

void ReportStart(const TftpSession* session) {
    if (gServer.sink == nullptr) return;
    QxLObjectRef event = nullptr;
    QxStatus status = kStatusOK;
    if (gServer.clientEvents) {
        char client[kSocketAddressTextSize];
        ClientText(session, client, sizeof client);
        status = QxLBuild(&event, "{%kO=%O%kO=%s%kO=%s%kO=%lli}", kNetBootKeyMessage,
                          kNetBootEventTFTPOpen, kNetBootKeyFilename, session->fileName,
                          kNetBootKeyClient, client, kNetBootKeySize,
                          static_cast<long long>(session->fileSize));
    } else {
        status = QxLBuild(&event, "{%kO=%O%kO=%s}", kNetBootKeyMessage, kNetBootEventTFTPOpen,
                          kNetBootKeyFilename, session->fileName);
    }
    if (status == kStatusOK) Report(event);
}

void ReportEnd(const TftpSession* session, QxStatus status) {
    if (gServer.sink == nullptr) return;
    int reason = status == kStatusEnded ? 0 : static_cast<int>(status);
    QxLObjectRef event = nullptr;
    QxStatus built = kStatusOK;
    if (gServer.clientEvents) {
        char client[kSocketAddressTextSize];
        ClientText(session, client, sizeof client);
        double seconds = QxRunLoopNow() - session->startTime;
        built = QxLBuild(&event, "{%kO=%O%kO=%s%kO=%i%kO=%s%kO=%lli%kO=%lli%kO=%lli%kO=%i%kO=%i}",
                         kNetBootKeyMessage, kNetBootEventTFTPClose, kNetBootKeyFilename,
                         session->fileName, kNetBootKeyReason, reason, kNetBootKeyClient, client,
                         kNetBootKeySize, static_cast<long long>(session->fileSize),
                         kNetBootKeyBytes, static_cast<long long>(session->fileOffset),
                         kNetBootKeyMilliseconds,
                         static_cast<long long>(seconds > 0 ? seconds * 1000.0 + 0.5 : 0),
                         kNetBootKeyBlockSize, static_cast<int>(session->blockSize),
                         kNetBootKeyWindowSize, static_cast<int>(session->windowSize));
    } else {
        built = QxLBuild(&event, "{%kO=%O%kO=%s%kO=%i}", kNetBootKeyMessage,
                         kNetBootEventTFTPClose, kNetBootKeyFilename, session->fileName,
                         kNetBootKeyReason, reason);
    }
    // Which place of the disc could not be read.
    if (built == kStatusOK && session->failedPosition[0] != '\0' &&
        QxLBuildInto(event, "%kO=%s", kNetBootKeyPosition, session->failedPosition) !=
            kStatusOK) {
        QxLObjectRelease(event);
        return;
    }
    if (built == kStatusOK) Report(event);
}

void TimerTick(QxRunLoopTimerRef timer, void* info);
void WindowReady(void* context, QxStatus status);

// The session's time-out in seconds of the run-loop clock: what the
// client asked for (5 s when it did not), and the ceiling of the measured
// time-out.
double SessionTimeout(const TftpSession* session) { return session->timeout * gServer.tick; }

// How long a packet is given before it is sent again.
double ResendAfter(const TftpSession* session) {
    return session->adaptive ? session->resendAfter : SessionTimeout(session);
}

// Takes a round trip (seconds) into the smoothed one and its variation, as
// RFC 6298 does, and sets the time-out from them: SRTT + 4 RTTVAR, never
// under kResendFloor nor over the session's time-out. This also ends the
// doubling of earlier time-outs.
void TakeRoundTrip(TftpSession* session, double sample) {
    if (!session->measured) return;
    if (session->srtt <= 0) {
        session->srtt = sample;
        session->rttvar = sample / 2;
    } else {
        double error = session->srtt - sample;
        session->rttvar = 0.75 * session->rttvar + 0.25 * (error < 0 ? -error : error);
        session->srtt = 0.875 * session->srtt + 0.125 * sample;
    }
    double resend = session->srtt + 4 * session->rttvar;
    if (resend < kResendFloor) resend = kResendFloor;
    double ceiling = SessionTimeout(session);
    session->resendAfter = resend < ceiling ? resend : ceiling;
}

// A time-out passed: the next one is twice as long, up to twice the
// session's time-out. Going past the client's own time-out matters: a
// client that restarts its timer on every datagram, even a block it drops
// as out of order, sends its ACK again only after a silence that long; were
// we to resend at its time-out, we would keep it from ever doing so and
// both would wait for the other until the retry limit.
void BackOff(TftpSession* session) {
    double ceiling = 2 * SessionTimeout(session);
    session->resendAfter = 2 * session->resendAfter < ceiling ? 2 * session->resendAfter : ceiling;
}

// The client acknowledged something new: a time-out it asked for is in
// force again (a measured one changes only with a round trip, as Karn says).
void NoteProgress(TftpSession* session) {
    if (session->adaptive && !session->measured) session->resendAfter = SessionTimeout(session);
}

// Adaptive sessions: a one-shot timer at the time the packet in flight is
// due again (last send or progress plus ResendAfter). A timer already set
// for that time or sooner stays (it sets itself again when it finds the
// time has moved on); only a time brought forward makes a new one.
QxStatus ArmTimer(TftpSession* session) {
    double due = session->lastSendTime + ResendAfter(session);
    if (session->timer != nullptr && session->timerDue <= due) return kStatusOK;
    if (session->timer != nullptr) {
        QxRunLoopTimerInvalidate(session->timer);
        QxLObjectRelease(session->timer);
    }
    QxRunLoopTimerContext context{0, session, nullptr, nullptr, nullptr};
    session->timer = QxRunLoopTimerCreate(due, 0, &context, TimerTick);
    if (session->timer == nullptr) return kStatusUnknown;
    session->timerDue = due;
    QxRunLoopAddTimer(QxRunLoopGetMain(), session->timer);
    return kStatusOK;
}

// Puts the packet buffer on the wire; the socket's error as it is.
QxStatus Transmit(TftpSession* session) {
    auto length = static_cast<size_t>(session->packetLength);
    if (gServer.sendFilter != nullptr) {
        QxStatus answer = gServer.sendFilter(session->packet, length, gServer.sendFilterContext);
        if (answer != kStatusOK) return answer;
    }
    size_t sent = 0;
    QxStatus status = QxPlatformNetSend(session->socket, session->packet, length, &sent);
    if (status == kStatusOK && sent != length) status = kStatusUnknown;
    return status;
}

// The record of block `number` (0: the OACK) among the last sent.
TftpSendRecord& RecordOf(TftpSession* session, uint16_t number) {
    return session->sends[number % kTftpMaxWindowSize];
}

// Notes that the packet in the buffer went out now: when, and how often.
void NoteSend(TftpSession* session, double now) {
    uint16_t number =
        ReadU16(session->packet) == kOpData ? ReadU16(session->packet + 2) : uint16_t{0};
    TftpSendRecord& record = RecordOf(session, number);
    if (record.number != number) record = TftpSendRecord{number, 0, 0.0};
    ++record.count;
    record.time = now;
    session->lastSendTime = now;
    if (number > session->highestSent) session->highestSent = number;
}

// Sends the packet in flight (first send or a retransmission), counted
// against the retry limit, and starts the session's timer with the first
// send. In a window this is the window's first block. kQxErrorWouldBlock
// when the socket's buffer was full: counted and timed all the same, so the
// timer sends it again.
QxStatus SendPacket(TftpSession* session) {
    if (session->sendCount >= session->sendLimit) {
        SendError(kTftpErrorNotDefined, session->socket, nullptr,
                  "Retry Limit Exceeded (%d) for block %u", static_cast<int>(session->sendCount),
                  static_cast<unsigned>(session->windowStart));
        return kStatusTimeout;
    }
    ++session->sendCount;
    QxStatus status = Transmit(session);
    // A full socket buffer loses this send as the network would: the timer
    // sends the packet again.
    if (status != kStatusOK && status != kQxErrorWouldBlock) {
        SendError(kTftpErrorNotDefined, session->socket, nullptr, "Send Failed: %d",
                  static_cast<int>(status));
        return status;
    }
    QxStatus sent = status;
    double now = QxRunLoopNow();
    NoteSend(session, now);
    if (session->adaptive) {
        if (ArmTimer(session) != kStatusOK) {
            SendError(kTftpErrorNotDefined, session->socket, nullptr,
                      "Server Error: Timer Failed");
            return kStatusUnknown;
        }
    } else if (session->timer == nullptr) {
        QxRunLoopTimerContext context{0, session, nullptr, nullptr, nullptr};
        session->timer =
            QxRunLoopTimerCreate(now + gServer.tick, gServer.tick, &context, TimerTick);
        if (session->timer == nullptr) {
            SendError(kTftpErrorNotDefined, session->socket, nullptr,
                      "Server Error: Timer Failed");
            return kStatusUnknown;
        }
        QxRunLoopAddTimer(QxRunLoopGetMain(), session->timer);
    }
    return sent;
}

// Sends a block after the first of its window: not counted against the
// retry limit (the window's first block stands for it). kQxErrorWouldBlock
// when the socket's buffer is full.
QxStatus SendFurtherBlock(TftpSession* session) {
    QxStatus status = Transmit(session);
    if (status == kQxErrorWouldBlock) return status;
    if (status != kStatusOK) {
        SendError(kTftpErrorNotDefined, session->socket, nullptr, "Send Failed: %d",
                  static_cast<int>(status));
        return status;
    }
    NoteSend(session, QxRunLoopNow());
    return kStatusOK;
}

// The count bytes at offset in the file, from the read-ahead buffer where
// possible. A failed read-ahead falls back to reading just these bytes, so
// a read error is reported for the block it belongs to.
QxStatus ReadFileBytes(TftpSession* session, uint64_t offset, uint32_t count,
                       uint8_t* destination) {
    if (count == 0) return kStatusOK;
    if (session->readAhead != nullptr) {
        bool held = offset >= session->readAheadOffset &&
                    offset + count <= session->readAheadOffset + session->readAheadLength;
        // Past a read-ahead that failed only: the drive is not asked for a
        // window it cannot read again for every block in it.
        if (!held && offset >= session->readAheadFailedEnd) {
            uint64_t start = offset - offset % kReadAheadAlignment;
            uint64_t available = session->fileSize - start;
            uint32_t capacity = session->readAheadCapacity;
            auto length = static_cast<uint32_t>(available < capacity ? available : capacity);
            // A .dmg's window is decoded off the run loop; the block goes
            // out when it is ready (WindowReady).
            if (session->wait != nullptr) return kQxErrorWouldBlock;
            if (!session->readInPlace &&
                VolumePrepare(session->file, start, length, WindowReady, session,
                              &session->wait) == kQxErrorWouldBlock) {
                return kQxErrorWouldBlock;
            }
            session->readInPlace = false;
            session->readAheadLength = 0;
            if (VolumeRead(session->file, start, length, session->readAhead) == kStatusOK) {
                session->readAheadOffset = start;
                session->readAheadLength = length;
                held = true;
            } else {
                session->readAheadFailedEnd = start + length;
            }
        }
        if (held) {
            memcpy(destination, session->readAhead + (offset - session->readAheadOffset), count);
            return kStatusOK;
        }
    }
    return VolumeRead(session->file, offset, count, destination);
}

// Moves the send position to just after block `number`: the next block
// built is number + 1. A window sent again goes back; a client that has
// received more than the position says moves it on.
void SetPosition(TftpSession* session, uint16_t number) {
    session->block = number;
    uint64_t offset = static_cast<uint64_t>(number) * session->blockSize;
    session->fileOffset = offset < session->fileSize ? offset : session->fileSize;
    session->lastBlockSent = number >= session->lastBlock;
}

// Builds the next DATA block (block + 1) from fileOffset in the packet
// buffer and sends it: a file whose size is a multiple of the block size
// therefore ends with an empty block. The first block of a window (the one
// the client lacks) goes out through SendPacket, counted against the retry
// limit; the blocks after it are sent uncounted. kQxErrorWouldBlock when
// the block waits: for its .dmg runs (nothing changed; WindowReady goes on
// when they are decoded) or for room in the socket's buffer (a first block
// counts as sent and the timer sends it again; a later one is taken back,
// for the next ACK to send).
QxStatus SendNextBlock(TftpSession* session) {
    auto number = static_cast<uint16_t>(session->block + 1);
    uint64_t remaining = session->fileSize - session->fileOffset;
    auto count = static_cast<uint32_t>(remaining < session->blockSize ? remaining
                                                                      : session->blockSize);
    QxStatus status =
        ReadFileBytes(session, session->fileOffset, count, session->packet + kHeaderLength);
    if (status == kQxErrorWouldBlock) return status;
    if (status != kStatusOK) {
        VolumeFailedPosition(session->file, session->failedPosition,
                             sizeof session->failedPosition);
        SendError(kTftpErrorNotDefined, session->socket, nullptr, "Read Block %hu Error: %d",
                  static_cast<unsigned>(number), static_cast<int>(status));
        return status;
    }
    WriteU16(session->packet, kOpData);
    WriteU16(session->packet + 2, number);
    session->block = number;
    session->fileOffset += count;
    session->packetLength = static_cast<int32_t>(count + kHeaderLength);
    if (count < session->blockSize) session->lastBlockSent = true;
    if (number == session->windowStart) return SendPacket(session);
    status = SendFurtherBlock(session);
    if (status == kQxErrorWouldBlock) SetPosition(session, static_cast<uint16_t>(number - 1));
    return status;
}

// Sends blocks until the window holds windowSize of them (or the last):
// after an ACK that is what the window lacks, so a client that acknowledges
// early gets each block once; in lockstep it is the next block. A block
// that waits (SendNextBlock) ends the round; the next ACK, the timer or
// WindowReady goes on.
QxStatus FillWindow(TftpSession* session) {
    if (session->windowStart == 0) return kStatusOK;  // the OACK is in flight
    uint32_t end = static_cast<uint32_t>(session->windowStart) + session->windowSize - 1;
    if (end > session->lastBlock) end = session->lastBlock;
    while (session->block < end) {
        QxStatus status = SendNextBlock(session);
        if (status == kQxErrorWouldBlock) return kStatusOK;
        if (status != kStatusOK) return status;
    }
    return kStatusOK;
}

// Sends the window again from the first block the client lacks.
QxStatus ResendWindow(TftpSession* session) {
    SetPosition(session, static_cast<uint16_t>(session->windowStart - 1));
    return FillWindow(session);
}

void WindowReady(void* context, QxStatus status) {
    auto* session = static_cast<TftpSession*>(context);
    session->wait = nullptr;
    // A run that does not decode is never cached: read it here to report it.
    session->readInPlace = status != kStatusOK;
    status = FillWindow(session);
    if (status != kStatusOK) CloseSession(session, status);
}

// Appends "name NUL value NUL" to the OACK being built.
size_t AppendOption(uint8_t* packet, size_t length, const char* name, unsigned long long value) {
    int written = QxLFormatToBuffer(reinterpret_cast<char*>(packet + length),
                                    kTftpPacketCapacity - length, "%s", name);
    length += static_cast<size_t>(written) + 1;
    written = QxLFormatToBuffer(reinterpret_cast<char*>(packet + length),
                                kTftpPacketCapacity - length, "%llu", value);
    return length + static_cast<size_t>(written) + 1;
}

QxStatus SendOptionAck(TftpSession* session, const AcceptedOptions& options) {
    WriteU16(session->packet, kOpOptionAck);
    size_t length = 2;
    if (options.transferSize) {
        length = AppendOption(session->packet, length, "tsize", session->fileSize);
    }
    if (options.timeout) {
        length = AppendOption(session->packet, length, "timeout",
                              static_cast<unsigned long long>(session->timeout));
    }
    if (options.blockSize) {
        length = AppendOption(session->packet, length, "blksize", session->blockSize);
    }
    if (options.windowSize) {
        length = AppendOption(session->packet, length, "windowsize", session->windowSize);
    }
    session->packetLength = static_cast<int32_t>(length);
    QxStatus status = SendPacket(session);
    return status == kQxErrorWouldBlock ? kStatusOK : status;
}

// A time-out resends from the first block the client lacks: the packet in
// flight as it stands in lockstep (and for the OACK), the window from there
// otherwise.
void TimerTick(QxRunLoopTimerRef, void* info) {
    auto* session = static_cast<TftpSession*>(info);
    double now = QxRunLoopNow();
    if (session->adaptive) {
        // A one-shot timer that has fired: the next one is set afresh.
        QxRunLoopTimerInvalidate(session->timer);
        QxLObjectRelease(session->timer);
        session->timer = nullptr;
        if (now < session->lastSendTime + ResendAfter(session) - kTimerSlack ||
            session->wait != nullptr) {
            if (session->wait != nullptr) session->lastSendTime = now;
            if (ArmTimer(session) != kStatusOK) CloseSession(session, kStatusUnknown);
            return;
        }
        BackOff(session);
    } else {
        if (now - session->lastSendTime < ResendAfter(session)) return;
        // Waiting for our own decode, not for the client: nothing to resend yet.
        if (session->wait != nullptr) return;
    }
    bool whole = session->windowSize <= 1 || session->windowStart == 0;
    QxStatus status = whole ? SendPacket(session) : ResendWindow(session);
    if (status != kStatusOK && status != kQxErrorWouldBlock) {
        CloseSession(session, kStatusTimeout);
        return;
    }
    // A window whose first block waits for its runs sent nothing to time.
    if (session->adaptive && session->timer == nullptr && ArmTimer(session) != kStatusOK) {
        CloseSession(session, kStatusUnknown);
    }
}

// A datagram on a session's own socket.
void HandleSessionPacket(TftpSession* session, const uint8_t* packet, size_t length) {
    if (length < 2) {
        SendError(kTftpErrorNotDefined, session->socket, nullptr, "Packet Too Small (%zu bytes)",
                  static_cast<unsigned>(length));
        CloseSession(session, kStatusBadSize);
        return;
    }
    uint16_t opcode = ReadU16(packet);
    if (opcode == kOpAck) {
        if (length < kHeaderLength) {
            SendError(kTftpErrorNotDefined, session->socket, nullptr,
                      "ACK Too Small (%zu bytes)", static_cast<unsigned>(length));
            CloseSession(session, kStatusBadSize);
            return;
        }
        // A late or duplicate ACK (of a block before the window) or one of a
        // block never sent: the timer takes care of what is in flight, and
        // answering it would double every later block.
        uint16_t acknowledged = ReadU16(packet + 2);
        if (acknowledged < session->windowStart || acknowledged > session->highestSent) return;
        double now = QxRunLoopNow();
        // The round trip of a packet sent once (Karn: the ACK of a packet
        // sent again may answer either send).
        const TftpSendRecord& record = RecordOf(session, acknowledged);
        if (record.number == acknowledged && record.count == 1) {
            TakeRoundTrip(session, now - record.time);
        }
        session->sendCount = 0;
        session->heard = true;
        NoteProgress(session);
        if (acknowledged == session->lastBlock) {
            CloseSession(session, kStatusEnded);
            return;
        }
        // The window moves on past the ACK. What was sent after it is still
        // on its way (a client may acknowledge every block), unless it has
        // been out for a whole time-out: then the client lacks it, and the
        // window is sent again from there as the timer would.
        auto next = static_cast<uint16_t>(acknowledged + 1);
        bool overdue = acknowledged < session->highestSent &&
                       now - RecordOf(session, next).time >= ResendAfter(session);
        session->windowStart = next;
        session->lastSendTime = now;  // the client's progress restarts the clock
        if (overdue || session->block < acknowledged) SetPosition(session, acknowledged);
        QxStatus status = FillWindow(session);
        if (status == kStatusOK && session->adaptive) status = ArmTimer(session);
        if (status != kStatusOK) CloseSession(session, status);
        return;
    }
    if (opcode == kOpError) {
        CloseSession(session, kStatusAbortedByPeer);
        return;
    }
    SendError(kTftpErrorIllegalOperation, session->socket, nullptr,
              "Non-ACK or ERROR packet (%hu)", static_cast<unsigned>(opcode));
    CloseSession(session, kStatusUnexpectedType);
}

void SessionSocketCallback(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* session = static_cast<TftpSession*>(info);
    uint8_t buffer[kReceiveCapacity];
    size_t received = 0;
    // A receive error (an ICMP refusal, say) leaves the session to its timer.
    if (QxPlatformNetReceive(session->socket, buffer, sizeof buffer, false, &received) !=
        kStatusOK) {
        return;
    }
    HandleSessionPacket(session, buffer, received);
}

// The session's socket: any address, a port the system picks, connected to
// the client, a send buffer for the largest block, on the run loop.
QxStatus OpenSessionSocket(TftpSession* session) {
    int family = QxPlatformNetAddressFamily(session->clientAddress);
    QxSocketHandle handle = kQxInvalidSocket;
    QxStatus status = QxPlatformNetDatagramSocket(family, &handle);
    if (status != kStatusOK) return status;
    status = QxPlatformNetBindAny(handle, family, 0);
    if (status == kStatusOK) {
        status = QxPlatformNetConnect(handle, session->clientAddress,
                                      static_cast<size_t>(session->clientAddressLength));
    }
    if (status == kStatusOK) {
        status = QxPlatformNetSetOption(handle, QxNetOption::SendBuffer, kSessionSendBuffer);
    }
    if (status == kStatusOK) status = QxPlatformSocketSetNonBlocking(handle);
    if (status != kStatusOK) {
        QxPlatformSocketClose(handle);
        return status;
    }
    QxSocketContext context{0, session, nullptr, nullptr, nullptr};
    QxSocketRef object =
        QxSocketCreate(handle, kQxSocketReadCallback, SessionSocketCallback, &context);
    if (object == nullptr) {
        QxPlatformSocketClose(handle);
        return kStatusNoMemory;
    }
    // From here on the object owns the handle.
    session->socketSource = object;
    session->socket = handle;
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(object);
    if (source == nullptr) return kStatusNoMemory;
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    return kStatusOK;
}

// Steps 3 and 4 of a request: file name, mode and options. Sends the error
// packet for a malformed request.
QxStatus ParseRequest(const uint8_t* packet, size_t length, const sockaddr* client,
                      const char** fileName, AcceptedOptions* options) {
    const auto* end = packet + length;
    const auto* name = packet + 2;
    const auto* nameEnd = static_cast<const uint8_t*>(memchr(name, 0, end - name));
    if (nameEnd == nullptr) {
        SendError(kTftpErrorNotDefined, gServer.listener, client, "Truncated Filename");
        return kStatusUnsupported;
    }
    const auto* mode = nameEnd + 1;
    const auto* modeEnd = static_cast<const uint8_t*>(memchr(mode, 0, end - mode));
    if (modeEnd == nullptr) {
        SendError(kTftpErrorNotDefined, gServer.listener, client, "Truncated Mode");
        return kStatusUnsupported;
    }
    if (!EqualsNoCase(reinterpret_cast<const char*>(mode), "octet")) {
        SendError(kTftpErrorIllegalOperation, gServer.listener, client, "Only octet Supported");
        return kStatusUnsupported;
    }
    for (const auto* option = modeEnd + 1; option < end;) {
        const auto* optionEnd = static_cast<const uint8_t*>(memchr(option, 0, end - option));
        if (optionEnd == nullptr) {
            SendError(kTftpErrorOptionNegotiation, gServer.listener, client,
                      "Truncated Option Name");
            return kStatusUnsupported;
        }
        const auto* value = optionEnd + 1;
        const auto* valueEnd =
            value < end ? static_cast<const uint8_t*>(memchr(value, 0, end - value)) : nullptr;
        if (valueEnd == nullptr) {
            SendError(kTftpErrorOptionNegotiation, gServer.listener, client,
                      "Truncated Option Value");
            return kStatusUnsupported;
        }
        ApplyOption(reinterpret_cast<const char*>(option), reinterpret_cast<const char*>(value),
                    options);
        option = valueEnd + 1;
    }
    *fileName = reinterpret_cast<const char*>(name);
    return kStatusOK;
}

TftpSession* OldestSilentSession();

// Lowers the block size the client asked for to what the path toward it
// carries in one IP packet: firmware that cannot reassemble fragments would
// stall on a larger first block. An unknown MTU leaves it as it is. The
// file must still fit in 65535 blocks of the smaller size.
QxStatus FitBlockSizeToPath(TftpSession* session) {
    uint32_t mtu = 0;
    if (QxPlatformNetPathMtu(session->socket, &mtu) != kStatusOK) return kStatusOK;
    uint32_t overhead = QxPlatformNetAddressFamily(session->clientAddress) == kQxNetFamilyIPv6
                            ? kIPv6Overhead
                            : kIPv4Overhead;
    if (mtu < overhead + kMinBlockSize || mtu - overhead >= session->blockSize) return kStatusOK;
    session->blockSize = static_cast<uint16_t>(mtu - overhead);
    if (session->fileSize / session->blockSize >= kMaxBlocks) {
        SendError(kTftpErrorFileNotFound, session->socket, nullptr,
                  "File Too Big: Use blksize > %lld",
                  static_cast<long long>(session->fileSize / kMaxBlocks));
        return kStatusBadSize;
    }
    return kStatusOK;
}

// Grants the window the client asked for within the server's limit and the
// byte budget, and makes the socket's send buffer hold a whole window.
void FitWindow(TftpSession* session, uint32_t asked) {
    uint32_t window = asked < gServer.windowLimit ? asked : gServer.windowLimit;
    uint32_t budget = kWindowByteBudget / (session->blockSize + kHeaderLength);
    if (window > budget) window = budget > 0 ? budget : 1;
    session->windowSize = static_cast<uint16_t>(window);
    int bytes = static_cast<int>(window * (session->blockSize + kIPv6Overhead));
    if (bytes > kSessionSendBuffer) {
        QxPlatformNetSetOption(session->socket, QxNetOption::SendBuffer, bytes);
    }
}

// Steps 5 to 10 for a session already allocated; any failure is left to
// the caller to close the session with.
QxStatus SetUpSession(TftpSession* session, const char* fileName,
                      const AcceptedOptions& options, const sockaddr* client) {
    session->packet = static_cast<uint8_t*>(QxLAlloc(kTftpPacketCapacity));
    if (session->packet == nullptr) {
        SendError(kTftpErrorNotDefined, gServer.listener, client,
                  "Server Error: No Memory for Packet Buffer");
        return kStatusNoMemory;
    }
    QxStatus status = OpenBootFile(fileName, &session->file, &session->fileSize);
    if (status != kStatusOK) {
        SendError(kTftpErrorFileNotFound, gServer.listener, client, "Open File Failed: %d",
                  static_cast<int>(status));
        return status;
    }
    if (session->fileSize / session->blockSize >= kMaxBlocks) {
        SendError(kTftpErrorFileNotFound, gServer.listener, client,
                  "File Too Big: Use blksize > %lld",
                  static_cast<long long>(session->fileSize / kMaxBlocks));
        return kStatusBadSize;
    }
    session->fileName = CopyText(fileName);
    if (session->fileName == nullptr) {
        SendError(kTftpErrorNotDefined, gServer.listener, client,
                  "Server Error: No Memory for Filename");
        return kStatusNoMemory;
    }
    status = OpenSessionSocket(session);
    // Out of descriptors (other services hold them too): a silent session
    // makes room, and the socket is tried once more.
    if (status != kStatusOK && QxPlatformNetIsOutOfResources(status)) {
        if (TftpSession* silent = OldestSilentSession()) {
            SendError(kTftpErrorNotDefined, silent->socket, nullptr, "Server Busy");
            CloseSession(silent, kStatusNoResources);
            if (gServer.listenerObject == nullptr) return kStatusCanceled;  // the sink stopped us
            status = OpenSessionSocket(session);
        }
    }
    if (status != kStatusOK) {
        SendError(kTftpErrorNotDefined, gServer.listener, client, "Server Network Error: %d",
                  static_cast<int>(status));
        return status;
    }
    if (options.blockSize) {
        status = FitBlockSizeToPath(session);
        if (status != kStatusOK) return status;
    }
    session->lastBlock = static_cast<uint16_t>(session->fileSize / session->blockSize + 1);
    if (options.windowSize) FitWindow(session, options.windowSizeValue);
    // Without its read-ahead a session still works, a block at a time.
    uint32_t capacity = session->blockSize * session->windowSize + 2 * kReadAheadAlignment;
    capacity -= capacity % kReadAheadAlignment;
    if (capacity < kReadAheadSize) capacity = kReadAheadSize;
    session->readAhead = static_cast<uint8_t*>(QxLAlloc(capacity));
    if (session->readAhead != nullptr) session->readAheadCapacity = capacity;
    if (options.blockSize || options.timeout || options.transferSize || options.windowSize) {
        return SendOptionAck(session, options);  // acknowledged as block 0
    }
    session->windowStart = 1;
    return FillWindow(session);  // DATA 1 at once
}

// The session of client (clientLength bytes, as received), or null; *count
// is the number of other sessions.
TftpSession* FindSession(const sockaddr* client, int clientLength, uint32_t* count) {
    TftpSession* found = nullptr;
    *count = 0;
    for (TftpSession* session = gServer.sessions; session != nullptr; session = session->next) {
        if (found == nullptr && session->clientAddressLength == clientLength &&
            memcmp(session->clientAddress, client, static_cast<size_t>(clientLength)) == 0) {
            found = session;
        } else {
            ++*count;
        }
    }
    return found;
}

// The session that has waited longest without a word from its client; null
// when every client has answered.
TftpSession* OldestSilentSession() {
    TftpSession* oldest = nullptr;
    for (TftpSession* session = gServer.sessions; session != nullptr; session = session->next) {
        if (session->heard) continue;
        if (oldest == nullptr || session->startTime <= oldest->startTime) oldest = session;
    }
    return oldest;
}

// A datagram on the listening socket: a new request from client.
QxStatus HandleRequest(const uint8_t* packet, size_t length, const sockaddr* client,
                       int clientLength) {
    if (length <= 2) return kStatusBadSize;
    if (ReadU16(packet) != kOpRead) {
        SendError(kTftpErrorIllegalOperation, gServer.listener, client, "Only Reads Supported");
        return kStatusUnsupported;
    }
    const char* fileName = nullptr;
    AcceptedOptions options{};
    QxStatus status = ParseRequest(packet, length, client, &fileName, &options);
    if (status != kStatusOK) return status;
    if (clientLength <= 0 || static_cast<size_t>(clientLength) > kTftpAddressCapacity) {
        return kStatusBadParameter;
    }
    // A repeated request (the client's own retransmission): the session it
    // made answers from its socket, so a second one would only double the
    // traffic and hold another descriptor.
    uint32_t sessions = 0;
    if (TftpSession* earlier = FindSession(client, clientLength, &sessions)) {
        if (!earlier->lastBlockSent && strcmp(earlier->fileName, fileName) == 0) {
            return kStatusAlreadyInitialized;
        }
        // Another file, or the same again after its last block: the client
        // has moved on, and its port gets the new transfer.
        CloseSession(earlier, earlier->lastBlockSent ? kStatusEnded : kStatusCanceled);
        if (gServer.listenerObject == nullptr) return kStatusCanceled;  // the sink stopped us
    }
    if (sessions >= gServer.sessionLimit) {
        TftpSession* silent = OldestSilentSession();
        if (silent == nullptr) {
            SendError(kTftpErrorNotDefined, gServer.listener, client, "Server Busy");
            return kStatusBusy;
        }
        SendError(kTftpErrorNotDefined, silent->socket, nullptr, "Server Busy");
        CloseSession(silent, kStatusNoResources);
        if (gServer.listenerObject == nullptr) return kStatusCanceled;  // the sink stopped us
    }

    auto* session = static_cast<TftpSession*>(QxLAllocZeroed(sizeof(TftpSession)));
    if (session == nullptr) {
        SendError(kTftpErrorNotDefined, gServer.listener, client,
                  "Server Error: No Memory for Session");
        return kStatusNoMemory;
    }
    session->socket = kQxInvalidSocket;
    memcpy(session->clientAddress, client, static_cast<size_t>(clientLength));
    session->clientAddressLength = clientLength;
    uint32_t blockSize = options.blockSize ? options.blockSizeValue : kTftpDefaultBlockSize;
    if (options.blockSize && blockSize > gServer.blockSizeLimit) blockSize = gServer.blockSizeLimit;
    session->blockSize = static_cast<uint16_t>(blockSize);
    session->windowSize = 1;
    session->timeout =
        options.timeout ? static_cast<int32_t>(options.timeoutValue) : kTftpDefaultTimeout;
    session->sendCount = 1;
    session->sendLimit = kTftpSendLimit;
    session->startTime = QxRunLoopNow();
    // A client that asked for a time-out is resent to at that time-out.
    session->adaptive = gServer.adaptive;
    session->measured = gServer.adaptive && !options.timeout;
    double ceiling = SessionTimeout(session);
    session->resendAfter =
        session->measured && kInitialResend < ceiling ? kInitialResend : ceiling;
    status = SetUpSession(session, fileName, options, client);
    if (status != kStatusOK) {
        CloseSession(session, status);
        return status;
    }
    // On the list before the sink hears of it, so that a sink that stops
    // the server also ends this session. Nothing touches it afterwards.
    session->next = gServer.sessions;
    gServer.sessions = session;
    ReportStart(session);
    return kStatusOK;
}

void ListenerCallback(QxSocketRef, uint32_t, const void*, const void*, void*) {
    uint8_t buffer[kReceiveCapacity];
    QxNetAddress client{};
    size_t received = 0;
    if (QxPlatformNetReceiveFrom(gServer.listener, buffer, sizeof buffer, &client, &received) !=
        kStatusOK) {
        return;
    }
    HandleRequest(buffer, received, reinterpret_cast<const sockaddr*>(client.bytes),
                  static_cast<int>(client.length));
}

void Unlink(TftpSession* session) {
    for (TftpSession** link = &gServer.sessions; *link != nullptr; link = &(*link)->next) {
        if (*link == session) {
            *link = session->next;
            session->next = nullptr;
            return;
        }
    }
}

}  // namespace

QxStatus StartTftp(uint16_t* port) {
    if (port == nullptr) return kStatusBadParameter;
    if (gServer.listenerObject != nullptr) return kStatusAlreadyInitialized;
    QxSocketHandle handle = kQxInvalidSocket;
    QxStatus status = QxPlatformNetDatagramSocket(kQxNetFamilyIPv4, &handle);
    if (status != kStatusOK) return status;
    uint16_t bound = 0;
    status = QxPlatformNetBindAny(handle, kQxNetFamilyIPv4, gServer.listenPort);
    if (status == kStatusOK) status = QxPlatformNetLocalPort(handle, &bound);
    if (status == kStatusOK) status = QxPlatformSocketSetNonBlocking(handle);
    if (status != kStatusOK) {
        QxPlatformSocketClose(handle);
        return status;
    }
    // A smaller buffer than asked for only drops more requests in a burst.
    QxPlatformNetSetOption(handle, QxNetOption::ReceiveBuffer, kListenerReceiveBuffer);
    QxSocketContext context{0, nullptr, nullptr, nullptr, nullptr};
    QxSocketRef object = QxSocketCreate(handle, kQxSocketReadCallback, ListenerCallback, &context);
    if (object == nullptr) {
        QxPlatformSocketClose(handle);
        return kStatusNoMemory;
    }
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(object);
    if (source == nullptr) {
        QxLObjectRelease(object);  // closes the handle
        return kStatusNoMemory;
    }
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    gServer.listenerObject = object;
    gServer.listener = handle;
    gServer.port = bound;
    gServer.sessionLimit = DerivedSessionLimit();
    *port = bound;
    return kStatusOK;
}

void StopTftp() {
    TftpCloseAllSessions(kStatusCanceled);
    EmptyBootFileMap();
    QxSocketRef object = gServer.listenerObject;
    gServer.listenerObject = nullptr;
    gServer.listener = kQxInvalidSocket;
    gServer.port = 0;
    if (object != nullptr) {
        QxSocketInvalidate(object);
        QxLObjectRelease(object);
    }
}

uint16_t TftpPort() { return gServer.port; }

void CloseSession(TftpSession* session, QxStatus status) {
    if (session == nullptr) return;
    Unlink(session);
    // Off the run loop first: a sink that pumps messages must not see this
    // session's timer or socket fire again.
    if (session->timer != nullptr) {
        QxRunLoopTimerInvalidate(session->timer);
        QxLObjectRelease(session->timer);
        session->timer = nullptr;
    }
    if (session->socketSource != nullptr) {
        QxSocketInvalidate(session->socketSource);
        QxLObjectRelease(session->socketSource);
        session->socketSource = nullptr;
        session->socket = kQxInvalidSocket;
    }
    if (session->file != nullptr) {
        VolumeCancelPrepare(session->file, session->wait);
        session->wait = nullptr;
        VolumeClose(session->file);
        session->file = nullptr;
    }
    if (session->fileName != nullptr) ReportEnd(session, status);
    QxLFree(session->fileName);
    QxLFree(session->packet);
    QxLFree(session->readAhead);
    QxLFree(session);
}

void TftpCloseAllSessions(QxStatus status) {
    while (gServer.sessions != nullptr) CloseSession(gServer.sessions, status);
}

TftpSession* TftpFirstSession() { return gServer.sessions; }

uint32_t TftpSessionLimit() {
    return gServer.sessionLimit != 0 ? gServer.sessionLimit : DerivedSessionLimit();
}

void TftpSetSessionLimit(uint32_t limit) {
    gServer.fixedSessionLimit = limit;
    if (limit != 0 || gServer.listenerObject == nullptr) gServer.sessionLimit = limit;
}

void TftpSetClientEvents(bool on) { gServer.clientEvents = on; }

void TftpSetListenPort(uint16_t port) { gServer.listenPort = port; }

void TftpSetBlockSizeLimit(uint32_t limit) {
    gServer.blockSizeLimit = limit >= kMinBlockSize && limit <= kMaxBlockSize ? limit
                                                                              : kMaxBlockSize;
}

void TftpSetWindowLimit(uint32_t limit) {
    gServer.windowLimit = limit >= 1 && limit <= kTftpMaxWindowSize ? limit : kTftpMaxWindowSize;
}

QxStatus SendError(uint32_t code, QxSocketHandle socket, const struct sockaddr* destination,
                   const char* format, ...) {
    if (code > kMaxErrorCode || format == nullptr) return kStatusBadParameter;
    uint32_t addressLength = 0;
    if (destination != nullptr) {
        addressLength = QxPlatformNetAddressLength(destination);
        if (addressLength == 0) return kStatusBadParameter;
    }
    uint8_t packet[kHeaderLength + kErrorTextCapacity];
    va_list arguments;
    va_start(arguments, format);
    int length = QxLFormatToBufferArgs(reinterpret_cast<char*>(packet + kHeaderLength),
                                       kErrorTextCapacity, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) >= kErrorTextCapacity) return kStatusBadSize;
    WriteU16(packet, kOpError);
    WriteU16(packet + 2, code);
    size_t total = kHeaderLength + static_cast<size_t>(length) + 1;
    size_t sent = 0;
    QxStatus status =
        destination != nullptr
            ? QxPlatformNetSendTo(socket, packet, total, destination, addressLength, &sent)
            : QxPlatformNetSend(socket, packet, total, &sent);
    if (status != kStatusOK) return status;
    return sent == total ? kStatusOK : kStatusUnknown;
}

void TftpSetEventSink(NetBootEventSink sink, void* context) {
    gServer.sink = sink;
    gServer.sinkContext = context;
}

void TftpSetAdaptiveResend(bool on) { gServer.adaptive = on; }

void TftpSetSendFilter(TftpSendFilter filter, void* context) {
    gServer.sendFilter = filter;
    gServer.sendFilterContext = context;
}

void TftpSetTimeScale(double secondsPerTick) {
    gServer.tick = secondsPerTick >= kMinimumTick ? secondsPerTick : kMinimumTick;
}

QxStatus TftpHandleRequest(const uint8_t* packet, size_t length, const struct sockaddr* client,
                           int clientLength) {
    if (packet == nullptr || client == nullptr || gServer.listenerObject == nullptr) {
        return kStatusBadParameter;
    }
    return HandleRequest(packet, length, client, clientLength);
}

void TftpHandleSessionPacket(TftpSession* session, const uint8_t* packet, size_t length) {
    if (session == nullptr || packet == nullptr) return;
    HandleSessionPacket(session, packet, length);
}
