// The TCP server under the disc image HTTP service: one listening socket on
// the run loop and the connections accepted on it (HTTPConnection.h).
// Requests are handed to the layer above through the hooks below; the
// layer above answers with HTTPConnectionSendMessage.
//
// Life of a listener: the layer above allocates it zero-filled (socket =
// kQxInvalidSocket, port = the port wanted or 0, hooks and hookContext set),
// calls HTTPListenerStart, and ends it with HTTPListenerStop, which also
// frees it. After a failed start the layer above frees it with
// HTTPListenerStop as well (or QxLFree).
//
// Bounds, so that no client can lock the others out:
//   - a request (head and body) must arrive within headTimeout of the
//     connection's accept, or of its first byte after a keep-alive
//     exchange (default 20 s); a connection idle between requests is closed
//     after idleTimeout (default 300 s: a client that mounts the disc as its
//     root pauses); a response that the client takes no byte of for
//     sendTimeout is given up (default 60 s). All close with
//     kStatusTimeout. A connection is never timed out while the layer above
//     owes it a response, or while its next body bytes are being made
//     (a refill that waits, HTTPConnectionResume).
//   - connectionLimit open connections at most (default: the descriptors
//     left when a reserve for the other services is kept, shared by the
//     descriptorsPerConnection each connection may hold), and clientLimit
//     from one client address (default 8; kHTTPNoLimit for none). At
//     either limit, and when accept runs out of descriptors, the connection
//     that has waited longest for a request (of that address, for its
//     limit) is closed with kStatusNoResources to make room for the
//     newcomer; when every one is being answered, the newcomer is refused:
//     it gets 503 with Retry-After and is closed at once, and `refused`
//     counts it.
//
// Not here: HTTP semantics.
#pragma once

#include <cstdint>

#include "HTTPConnection.h"
#include "HTTPMessage.h"
#include "QxPlatformNet.h"
#include "QxRunLoop.h"

// Families for HTTPListenerStart (the Windows Sockets values on every
// system).
inline constexpr int kHTTPFamilyIPv4 = kQxNetFamilyIPv4;  // 2
inline constexpr int kHTTPFamilyIPv6 = kQxNetFamilyIPv6;  // 23, dual-stack

// Hooks; every one gets the listener's hookContext as its last argument
// and may be null (skipped).
//
// onAccept: a new connection is set up and linked; a non-zero status closes
// it with that status.
using HTTPAcceptHook = QxStatus (*)(HTTPListener* listener, HTTPConnection* connection,
                                    void* context);
// onClose: the connection is being closed with `status` (0 after a
// completed non-keep-alive exchange, kStatusEnded when the listener stops,
// else the failure).
using HTTPCloseHook = void (*)(HTTPListener* listener, HTTPConnection* connection,
                               QxStatus status, void* context);
// onHead: a head has been parsed, its body not yet read. onRequest: head
// and body are complete (the body is the request's bodyReceived bytes at
// bodyPointer). A non-zero status closes the connection with that status.
using HTTPRequestHook = QxStatus (*)(HTTPListener* listener, HTTPConnection* connection,
                                     HTTPMessage* request, void* context);
// onSent: a response, refills included, has been sent completely.
using HTTPSentHook = void (*)(HTTPListener* listener, HTTPConnection* connection,
                              void* context);

// Zero-filled when created (then socket = kQxInvalidSocket).
struct HTTPListener {
    QxSocketHandle socket;       // the listening socket; owned by socketObject once started
    QxSocketRef socketObject;    // read callbacks only
    uint32_t port;               // before start: port to bind (0: any); after: the bound port
    const char* address;         // before start: a numeric address of the family to bind
                                 // (null: the wildcard); borrowed for the start only
    HTTPConnection* connections;  // open connections, newest first
    void* hookContext;
    HTTPAcceptHook onAccept;
    HTTPCloseHook onClose;
    HTTPRequestHook onHead;
    HTTPRequestHook onRequest;
    HTTPSentHook onSent;
    // Bounds, read at start; 0 takes the default (see the top of the file).
    double headTimeout;        // seconds
    double idleTimeout;        // seconds
    double sendTimeout;        // seconds without a byte of the response taken
    uint32_t connectionLimit;  // open connections
    uint32_t clientLimit;      // open connections of one client address
    uint32_t descriptorsPerConnection;  // its socket and what the layer above opens for
                                        // it (1)
    uint32_t backlog;          // connections the system completes before we accept (5)
    HTTPSpanSending spanSending;  // how file spans go out (Auto)
    // Private: while accepting is paused for want of resources, the timer
    // that resumes it.
    QxRunLoopTimerRef acceptResume;
    QxRunLoopTimerRef sweepTimer;  // closes connections past their time
    uint32_t connectionCount;
    // Counters since the start, for monitoring: newcomers refused at a
    // limit, and waiting connections closed to make room.
    uint64_t refused;
    uint64_t madeRoom;
    bool* stopSeen;  // set to true by HTTPListenerStop, for callers on the stack
};

inline constexpr double kHTTPHeadTimeout = 20;
inline constexpr double kHTTPIdleTimeout = 300;
inline constexpr double kHTTPSendTimeout = 60;
inline constexpr uint32_t kHTTPClientLimit = 8;
// A clientLimit that sets none.
inline constexpr uint32_t kHTTPNoLimit = UINT32_MAX;
// Retry-After of the 503 a refused newcomer gets, in seconds.
inline constexpr uint32_t kHTTPRetryAfter = 2;

// Creates, binds (the wildcard address, where a taken port gives way to
// any port; or listener->address, which takes the port exactly), and
// listens, then schedules the socket on the main run loop
// (initialising it if needed). family is kHTTPFamilyIPv6 (a dual-stack
// socket that also accepts IPv4) or kHTTPFamilyIPv4; another value gives
// kStatusUnsupported. The bound port is stored in listener->port.
// Failures: the system error, kStatusNoMemory, kStatusBadParameter (null
// listener); the listener's fields are then left as they are and no socket
// stays open.
QxStatus HTTPListenerStart(HTTPListener* listener, int family);

// Closes every connection with kStatusEnded (onClose is called for each),
// closes the listening socket and frees the listener. Returns 0; a null
// listener is ignored.
QxStatus HTTPListenerStop(HTTPListener* listener);

// True when the listener has open connections.
bool HTTPListenerHasConnections(const HTTPListener* listener);

// Asks for a send buffer of 231424 bytes, then 1 KiB less while the system
// refuses, down to 32768; then gives up. Returns 0 whether or not a size was
// accepted; kStatusBadParameter for an invalid handle.
QxStatus SocketSetLargeSendBuffer(QxSocketHandle socket);

// Whether the service should listen with IPv6 (dual-stack): on Windows the
// system is version 6.0 or later; on Linux IPv6 dual-stack sockets work.
bool SystemPrefersIPv6();
