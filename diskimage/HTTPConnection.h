// One accepted HTTP connection of the listener (HTTPListener.h): it reads a
// request head and body into its embedded request message, hands the
// request to the layer above through the listener's hooks, and sends the
// response the layer above gives back, gathering head and body into one
// send and asking the response's refill hook for further body chunks.
//
// Everything is non-blocking and runs in run-loop callbacks; nothing waits.
// One request at a time: nothing more is read from the socket while a
// request is being answered, so pipelined requests wait in the socket.
//
// Time-outs: the connection notes when its current wait began (waitStart:
// for a request, or for the client to take bytes of the answer) and the
// listener's sweep closes it once the wait has lasted too long
// (HTTPListener.h).
//
// Not here: what a request means (the layer above), message parsing and
// building (HTTPMessage.h).
#pragma once

#include <cstdint>

#include "HTTPMessage.h"
#include "QxPlatformNet.h"
#include "QxRunLoop.h"

struct HTTPListener;

// Capacity of a connection's request body buffer: a longer body closes the
// connection with kStatusBufferFull.
inline constexpr uint32_t kHTTPBodyCapacity = 16384;

// How file spans of a response go out. Through the file cache (sendfile)
// the bytes never pass through the process: on a network card that
// gathers from memory, nothing copies them at all. A peer on this very
// machine copies them out of our pages anyway, and there reading them
// into a buffer and sending that took less time and less CPU per byte
// than sendfile for bodies above a quarter MiB (bench/http-bench.sh).
enum class HTTPSpanSending : uint32_t {
    Auto = 0,       // a buffer for a peer on this machine (see CopiesSpan), else the file cache
    FileCache = 1,  // always the file cache
    Buffer = 2,     // always through a buffer
};

// Piece of a span read at a time when it goes through a buffer; Auto sends
// a longer span that way, and any span while other connections are open
// (judged as the span starts).
inline constexpr uint32_t kHTTPSpanCopyPiece = 256 * 1024;

enum class HTTPConnectionState : uint32_t {
    ReadingHead = 0,       // at accept, and after each keep-alive exchange
    ReadingBody = 1,       // head parsed, body bytes still to come
    AwaitingResponse = 2,  // onRequest called; waiting for HTTPConnectionSendMessage
    Sending = 3,           // a response (and its refills) is going out
    Draining = 4,          // sending side shut down; closed at the next notification
};

// Zero-filled when created. The connection owns its socket object (which
// closes the socket when invalidated), its body buffer and itself; it never
// owns the response.
struct HTTPConnection {
    HTTPConnection* next;      // next (older) connection of the listener
    HTTPListener* listener;    // null until linked into the listener
    void* userData;            // the layer above's per-connection object
    QxSocketHandle socket;     // the accepted socket
    QxSocketRef socketObject;  // callback types read (1) and write (8)
    HTTPConnectionState state;
    HTTPMessage request;       // the request being received
    uint8_t* bodyBuffer;       // kHTTPBodyCapacity bytes, heap
    uint32_t bodyCapacity;
    HTTPMessage* response;     // being sent, or null; owned by the layer above
    QxNetBuffer sendVector[2];  // head, body chunk: the gather list of the send
    QxNetBuffer* sendCursor;    // first entry not yet sent completely
    uint32_t sendCount;         // entries from sendCursor on

    // Private to the connection code.
    bool readPaused;    // read callbacks are disabled until the exchange ends
    bool closed;        // closed while a hook was running; freed when it returns
    uint32_t hookDepth;  // hooks of this connection running now
    double waitStart;    // run-loop clock: accept, exchange end, or first head byte
    bool served;         // at least one exchange completed
    bool waitingForBody;  // a refill answered would-block; HTTPConnectionResume goes on
    uint8_t peerHost[16];  // the client's address without the port (IPv4 mapped)
    bool hasPeerHost;      // false when the system could not say
    bool peerIsLocal;      // the client runs on this machine (loopback or our own address)
    HTTPSpanSending spanSending;  // the listener's, at accept
    uint8_t* spanBuffer;   // kHTTPSpanCopyPiece bytes, heap, on first use
    bool spanCopying;      // the span in flight goes through spanBuffer
};

// The run-loop time after which the listener closes the connection, or a
// negative value while it must not be closed for time (a response is owed,
// or its next bytes are being made).
double HTTPConnectionDeadline(const HTTPConnection* connection, double headTimeout,
                              double idleTimeout, double sendTimeout);

// True while the connection waits for the client to send (a request, the
// rest of one, or the close after the last answer): no answer of it is
// owed or going out, so it may give way to a newcomer.
bool HTTPConnectionIsWaiting(const HTTPConnection* connection);

// Starts sending `response` (head text plus an optional first body chunk of
// bodyLength bytes at bodyPointer and an optional file span, then whatever
// its refillHook supplies; a span is only for systems where
// QxPlatformNetCanSendFile, and a file that ends before its span closes the
// connection with kStatusReadFailed).
// The response stays owned by the caller and must stay valid, with the
// current chunk readable, until this layer has reset it (after the send,
// or when the connection is closed). Checks, in this order:
//   kStatusNoData       the head text is empty
//   kStatusBadSize      the head text is 8192 bytes or longer
//   kStatusMalformed    no NUL right behind the head text
//   kStatusWrongState   the connection is not awaiting a response
//   kStatusBusy         a response is already being sent
// A send that has to wait for the socket returns 0 and goes on from the
// run loop. A refill that answers kQxErrorWouldBlock holds the send until
// HTTPConnectionResume. Another failure of the send or a refill is returned; the caller
// then returns it from its hook, which closes the connection.
// kStatusBadParameter: null connection or response.
QxStatus HTTPConnectionSendMessage(HTTPConnection* connection, HTTPMessage* response);

// Goes on sending a response whose refill hook answered kQxErrorWouldBlock
// (its next bytes were not ready): the hook is asked again. Anything else
// is left alone. A failure closes the connection.
void HTTPConnectionResume(HTTPConnection* connection);

// Closes and frees the connection: resets the request and any response in
// flight, calls the listener's onClose with `status` and unlinks the
// connection (when it has a listener), frees the body buffer and closes the
// socket. Meant for this layer; the layer above closes a connection by
// returning a non-zero status from a hook. Closing from inside one of the
// connection's own hooks is safe: the memory is freed when the hook returns.
void HTTPConnectionClose(HTTPConnection* connection, QxStatus status);

// Sets up a connection for a socket the listener has just accepted and
// links it into the listener; then calls onAccept. peerHost is the client's
// host as QxPlatformNetAddressHost gives it, or null when unknown;
// peerIsLocal says the client runs on this machine. Used by the listener's
// accept callback. On failure the socket is closed and nothing is left.
QxStatus HTTPConnectionOpen(HTTPListener* listener, QxSocketHandle accepted,
                            const uint8_t* peerHost, bool peerIsLocal);
