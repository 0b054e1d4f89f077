// The HTTP listener: one listening socket on the main run loop whose read
// callback accepts connections, plus the two socket helpers of the service
// (large send buffer, IPv6 preference).
//
// A listener is IPv6 with IPV6_V6ONLY off where the system prefers IPv6,
// so that one socket takes IPv4 clients as well; there is never a second
// listening socket.
//
// Bounds: one repeating sweep timer closes the connections whose wait has
// lasted too long (HTTPConnectionDeadline); at the client's share or the
// connection limit, or when accept finds no descriptor, the connection
// waiting longest for a request makes room for the newcomer, and when none
// is waiting the newcomer is refused with a 503 written straight to its
// socket. A hook may stop the listener while either is on the stack;
// stopSeen tells them to touch nothing more.
//
// Not here: the connections' state machine (HTTPConnection.cpp).
#include "HTTPListener.h"

#include <cstring>

#include "QxLMemory.h"
#include "QxPlatform.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr uint32_t kLargestBacklog = 4096;
constexpr int kListenerReceiveBuffer = 0x8000;
// Send buffer sizes tried per connection: 226 KiB down to 32 KiB in 1 KiB
// steps, until the system accepts one.
constexpr int kLargeSendBuffer = 0x38800;
constexpr int kSmallestSendBuffer = 0x8000;
constexpr int kSendBufferStep = 1024;
// How long accepting rests after the system has run out of descriptors or
// buffers for new connections.
constexpr double kAcceptPause = 0.25;
// The sweep runs this often (more often for short test time-outs).
constexpr double kSweepPeriod = 1.0;
// Descriptors kept for everything but HTTP connections (the listening
// sockets, TFTP sessions, disc files, the run loop): a fixed part and an
// eighth of the limit.
constexpr uint32_t kDescriptorReserve = 64;
constexpr uint32_t kDefaultConnectionLimit = 4096;  // where descriptors are not counted
// What a refused newcomer has sent, read and dropped before its close.
constexpr size_t kDiscardBytes = 1024;

// Closes connection with status; false when the listener was stopped by a
// hook meanwhile (it is freed then and must not be touched).
bool CloseAndCheck(HTTPListener* listener, HTTPConnection* connection, QxStatus status) {
    bool stopped = false;
    bool* outer = listener->stopSeen;
    listener->stopSeen = &stopped;
    HTTPConnectionClose(connection, status);
    if (stopped) {
        if (outer != nullptr) *outer = true;
        return false;
    }
    listener->stopSeen = outer;
    return true;
}

bool FromHost(const HTTPConnection* connection, const uint8_t* host) {
    return host == nullptr ||
           (connection->hasPeerHost && memcmp(connection->peerHost, host, 16) == 0);
}

// The connection that has waited longest for a request (idle or with a
// partial head or body), of the host when one is given; null when every
// one is being answered.
HTTPConnection* LongestWaiting(HTTPListener* listener, const uint8_t* host) {
    HTTPConnection* oldest = nullptr;
    for (HTTPConnection* c = listener->connections; c != nullptr; c = c->next) {
        if (c->closed || !HTTPConnectionIsWaiting(c) || !FromHost(c, host)) continue;
        if (oldest == nullptr || c->waitStart <= oldest->waitStart) oldest = c;
    }
    return oldest;
}

uint32_t ConnectionsFrom(const HTTPListener* listener, const uint8_t* host) {
    uint32_t count = 0;
    for (const HTTPConnection* c = listener->connections; c != nullptr; c = c->next) {
        if (!c->closed && FromHost(c, host)) ++count;
    }
    return count;
}

// A newcomer that no one makes room for: one 503 into its fresh (empty)
// send buffer, whatever it has sent read and dropped so that the close is
// orderly where it can be, and the socket closed.
void Refuse(HTTPListener* listener, QxSocketHandle accepted) {
    ++listener->refused;
    if (QxPlatformSocketSetNonBlocking(accepted) == kStatusOK) {
        static_assert(kHTTPRetryAfter == 2, "the text below says 2");
        char text[] = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 2\r\n"
                      "Content-Length: 0\r\nConnection: close\r\n\r\n";
        QxNetBuffer buffer{};
        buffer.pointer = text;
        buffer.length = static_cast<QxNetLength>(sizeof text - 1);
        size_t sent = 0;
        QxPlatformNetSendGather(accepted, &buffer, 1, &sent);
        QxPlatformNetShutdownSend(accepted);
        char discard[kDiscardBytes];
        size_t received = 0;
        QxPlatformNetReceive(accepted, discard, sizeof discard, false, &received);
    }
    QxPlatformSocketClose(accepted);
}

// Makes room under a limit: the longest waiting connection of `host` (any
// host for null) is closed. False when the newcomer must be refused (no
// one waits) or the listener was stopped meanwhile (*stopped is set then).
bool MakeRoom(HTTPListener* listener, const uint8_t* host, bool* stopped) {
    HTTPConnection* victim = LongestWaiting(listener, host);
    if (victim == nullptr) return false;
    ++listener->madeRoom;
    if (!CloseAndCheck(listener, victim, kStatusNoResources)) {
        *stopped = true;
        return false;
    }
    return true;
}

void Sweep(QxRunLoopTimerRef, void* info) {
    auto* listener = static_cast<HTTPListener*>(info);
    double now = QxRunLoopNow();
    // Restart the walk after every close: the hook may have closed others.
    for (bool again = true; again;) {
        again = false;
        for (HTTPConnection* c = listener->connections; c != nullptr; c = c->next) {
            if (c->closed) continue;
            double deadline = HTTPConnectionDeadline(c, listener->headTimeout,
                                                     listener->idleTimeout, listener->sendTimeout);
            if (deadline < 0 || deadline > now) continue;
            if (!CloseAndCheck(listener, c, kStatusTimeout)) return;
            again = true;
            break;
        }
    }
}

void ResumeAccepting(QxRunLoopTimerRef, void* info) {
    auto* listener = static_cast<HTTPListener*>(info);
    QxRunLoopTimerInvalidate(listener->acceptResume);
    QxLObjectRelease(listener->acceptResume);
    listener->acceptResume = nullptr;
    QxSocketEnableCallbacks(listener->socketObject, kQxSocketReadCallback);
}

// The pending connection stays queued and keeps the listener readable:
// accepting again at once would spin the loop until something is freed.
// Read callbacks rest for a while instead; without a timer they come back
// at once, as before.
void PauseAccepting(HTTPListener* listener) {
    if (listener->acceptResume != nullptr) return;
    QxRunLoopTimerContext context{0, listener, nullptr, nullptr, nullptr};
    listener->acceptResume = QxRunLoopTimerCreate(QxRunLoopNow() + kAcceptPause, 0, &context,
                                                  ResumeAccepting);
    if (listener->acceptResume == nullptr) return;
    QxSocketDisableCallbacks(listener->socketObject, kQxSocketReadCallback);
    QxRunLoopAddTimer(QxRunLoopGetMain(), listener->acceptResume);
}

// Read callback of the listening socket. A failed accept is ignored; a
// connection that cannot be set up is closed inside HTTPConnectionOpen.
// True for a peer on this machine: a loopback address, or the very
// address it reached us at (the system loops that back too).
bool IsLocalHost(QxSocketHandle accepted, const uint8_t host[16]) {
    static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const uint8_t kIPv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (memcmp(host, kMappedPrefix, sizeof kMappedPrefix) == 0 && host[12] == 127) return true;
    if (memcmp(host, kIPv6Loopback, sizeof kIPv6Loopback) == 0) return true;
    QxNetAddress local{};
    uint8_t localHost[16];
    return QxPlatformNetLocalAddress(accepted, &local) == kStatusOK &&
           QxPlatformNetAddressHost(local.bytes, localHost) && memcmp(localHost, host, 16) == 0;
}

void AcceptCallback(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* listener = static_cast<HTTPListener*>(info);
    QxSocketHandle accepted = kQxInvalidSocket;
    QxStatus status = QxPlatformNetAccept(listener->socket, &accepted);
    if (status != kStatusOK && QxPlatformNetIsOutOfResources(status)) {
        // Out of descriptors: a waiting connection gives up its own, once.
        HTTPConnection* victim = LongestWaiting(listener, nullptr);
        if (victim == nullptr) {
            PauseAccepting(listener);
            return;
        }
        ++listener->madeRoom;
        if (!CloseAndCheck(listener, victim, kStatusNoResources)) return;
        status = QxPlatformNetAccept(listener->socket, &accepted);
        if (status != kStatusOK && QxPlatformNetIsOutOfResources(status)) {
            PauseAccepting(listener);
        }
    }
    if (status != kStatusOK) return;
    uint8_t hostBytes[16];
    QxNetAddress peer{};
    const uint8_t* host = QxPlatformNetPeerAddress(accepted, &peer) == kStatusOK &&
                                  QxPlatformNetAddressHost(peer.bytes, hostBytes)
                              ? hostBytes
                              : nullptr;
    const bool peerIsLocal = host != nullptr && IsLocalHost(accepted, host);
    bool stopped = false;
    // The address's own share first: its idle connections make room for
    // it rather than someone else's.
    bool admitted = host == nullptr || listener->clientLimit == kHTTPNoLimit ||
                    ConnectionsFrom(listener, host) < listener->clientLimit ||
                    MakeRoom(listener, host, &stopped);
    if (admitted && listener->connectionCount >= listener->connectionLimit) {
        admitted = MakeRoom(listener, nullptr, &stopped);
    }
    if (stopped) {
        QxPlatformSocketClose(accepted);
        return;
    }
    if (!admitted) {
        Refuse(listener, accepted);
        return;
    }
    HTTPConnectionOpen(listener, accepted, host, peerIsLocal);
}

void SetBounds(HTTPListener* listener) {
    if (listener->headTimeout <= 0) listener->headTimeout = kHTTPHeadTimeout;
    if (listener->idleTimeout <= 0) listener->idleTimeout = kHTTPIdleTimeout;
    if (listener->sendTimeout <= 0) listener->sendTimeout = kHTTPSendTimeout;
    if (listener->clientLimit == 0) listener->clientLimit = kHTTPClientLimit;
    if (listener->descriptorsPerConnection == 0) listener->descriptorsPerConnection = 1;
    if (listener->connectionLimit == 0) {
        uint32_t descriptors = QxPlatformDescriptorLimit();
        uint32_t reserve = kDescriptorReserve + descriptors / 8;
        uint32_t budget = descriptors > 2 * reserve ? descriptors - reserve : descriptors / 2;
        listener->connectionLimit = descriptors == 0
                                        ? kDefaultConnectionLimit
                                        : budget / listener->descriptorsPerConnection;
        if (listener->connectionLimit == 0) listener->connectionLimit = 1;
    }
}

// Steps 1-9 of the start: a bound, listening, non-blocking socket. On
// failure the handle is closed; listener->socket keeps its number.
QxStatus OpenListeningSocket(HTTPListener* listener, int family) {
    QxSocketHandle handle = kQxInvalidSocket;
    QxStatus status = QxPlatformNetStreamSocket(family, &handle);
    if (status != kStatusOK) return status;
    listener->socket = handle;
    if (family == kHTTPFamilyIPv6) {
        status = QxPlatformNetSetOption(handle, QxNetOption::IPv6Only, 0);
    }
    if (status == kStatusOK) {
        status = QxPlatformNetSetOption(handle, QxNetOption::ReceiveBuffer,
                                        kListenerReceiveBuffer);
    }
    if (status == kStatusOK) status = QxPlatformNetSetOption(handle, QxNetOption::ReuseAddress, 1);
    if (status == kStatusOK) {
        uint16_t wanted = static_cast<uint16_t>(listener->port);
        if (listener->address != nullptr) {
            // Someone was told this address and port: no other will do.
            status = QxPlatformNetBindAddress(handle, family, listener->address, wanted);
        } else {
            status = QxPlatformNetBindAny(handle, family, wanted);
            // The wanted port is a wish: any free port will do.
            if (status != kStatusOK && wanted != 0) {
                status = QxPlatformNetBindAny(handle, family, 0);
            }
        }
    }
    uint16_t bound = 0;
    if (status == kStatusOK) status = QxPlatformNetLocalPort(handle, &bound);
    if (status == kStatusOK) listener->port = bound;
    if (status == kStatusOK) status = QxPlatformSocketSetNonBlocking(handle);
    if (status == kStatusOK) {
        int backlog = listener->backlog > 0 && listener->backlog <= kLargestBacklog
                          ? static_cast<int>(listener->backlog)
                          : kListenBacklog;
        status = QxPlatformNetListen(handle, backlog);
    }
    if (status != kStatusOK) QxPlatformSocketClose(handle);
    return status;
}

}  // namespace

QxStatus HTTPListenerStart(HTTPListener* listener, int family) {
    if (listener == nullptr) return kStatusBadParameter;
    if (family != kHTTPFamilyIPv4 && family != kHTTPFamilyIPv6) return kStatusUnsupported;
    // A second start would leak the running socket.
    if (listener->socketObject != nullptr) return kStatusAlreadyInitialized;
    QxStatus status = OpenListeningSocket(listener, family);
    if (status != kStatusOK) return status;

    QxSocketContext context{0, listener, nullptr, nullptr, nullptr};
    QxSocketRef socket =
        QxSocketCreate(listener->socket, kQxSocketReadCallback, AcceptCallback, &context);
    if (socket == nullptr) {
        QxPlatformSocketClose(listener->socket);
        return kStatusNoMemory;
    }
    // The socket object owns the handle from here on.
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    if (source == nullptr) {
        QxLObjectRelease(socket);
        return kStatusNoMemory;
    }
    QxRunLoopEnsureInitialized();
    SetBounds(listener);
    double shortest = listener->headTimeout < listener->sendTimeout ? listener->headTimeout
                                                                    : listener->sendTimeout;
    double period = shortest / 4 < kSweepPeriod ? shortest / 4 : kSweepPeriod;
    QxRunLoopTimerContext timerContext{0, listener, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef sweep =
        QxRunLoopTimerCreate(QxRunLoopNow() + period, period, &timerContext, Sweep);
    if (sweep == nullptr) {
        QxLObjectRelease(source);
        QxLObjectRelease(socket);
        return kStatusNoMemory;
    }
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    QxRunLoopAddTimer(QxRunLoopGetMain(), sweep);
    listener->sweepTimer = sweep;
    listener->socketObject = socket;
    return kStatusOK;
}

QxStatus HTTPListenerStop(HTTPListener* listener) {
    if (listener == nullptr) return kStatusOK;
    while (HTTPConnection* connection = listener->connections) {
        listener->connections = connection->next;
        connection->next = nullptr;
        if (connection->closed) {
            // Stopped from inside this connection's onClose: its close
            // goes on without us.
            connection->listener = nullptr;
            continue;
        }
        HTTPConnectionClose(connection, kStatusEnded);
    }
    if (listener->acceptResume != nullptr) {
        QxRunLoopTimerInvalidate(listener->acceptResume);
        QxLObjectRelease(listener->acceptResume);
        listener->acceptResume = nullptr;
    }
    if (listener->sweepTimer != nullptr) {
        QxRunLoopTimerInvalidate(listener->sweepTimer);
        QxLObjectRelease(listener->sweepTimer);
        listener->sweepTimer = nullptr;
    }
    if (listener->stopSeen != nullptr) *listener->stopSeen = true;
    if (listener->socketObject != nullptr) {
        QxSocketInvalidate(listener->socketObject);
        QxLObjectRelease(listener->socketObject);
        listener->socketObject = nullptr;
    }
    QxLFree(listener);
    return kStatusOK;
}

bool HTTPListenerHasConnections(const HTTPListener* listener) {
    return listener != nullptr && listener->connections != nullptr;
}

QxStatus SocketSetLargeSendBuffer(QxSocketHandle socket) {
    if (socket == kQxInvalidSocket) return kStatusBadParameter;
    for (int size = kLargeSendBuffer; size >= kSmallestSendBuffer; size -= kSendBufferStep) {
        if (QxPlatformNetSetOption(socket, QxNetOption::SendBuffer, size) == kStatusOK) break;
    }
    return kStatusOK;
}

bool SystemPrefersIPv6() { return QxPlatformNetPrefersIPv6(); }
