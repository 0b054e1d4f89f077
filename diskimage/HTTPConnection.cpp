// HTTP connections: the per-connection state machine on the run loop.
//
//   state             entered                          left
//   ReadingHead       accept; after a keep-alive       head received and parsed
//                     exchange
//   ReadingBody       head parsed                      Content-Length bytes received
//   AwaitingResponse  onRequest called                 HTTPConnectionSendMessage
//   Sending           a response is going out          response and refills sent:
//                                                      ReadingHead or Draining
//   Draining          sending side shut down           next notification: closed
//
// The head is peeked and only the bytes up to its end are consumed, so a
// body or a pipelined request behind it stays in the socket. Read
// notifications are switched off while a request is being answered and
// back on when the exchange ends: level-triggered reads (and Windows'
// re-posted FD_READ) would otherwise wake the loop over and over for a
// pipelined request it is not ready to read.
//
// Hooks of the layer above may close the connection (even stop the
// listener) while this code is on the stack; hookDepth and closed defer
// freeing the connection until the outermost hook has returned.
//
// A refill may also answer would-block: the body's next bytes are not there
// yet (a compressed image's run being decoded). The connection then sends
// nothing and reads nothing until the layer above calls
// HTTPConnectionResume.
//
// A response body is memory chunks, or file spans the system sends from its
// file cache (sendfile) so that large image ranges are not copied through
// the process; a refill may hand out either. A span may instead go through
// the connection's span buffer, a piece at a time (HTTPSpanSending): the
// piece then stands in the gather list like a memory chunk, so a partial
// send resumes from it, and the first piece goes out with the head.
//
// Not here: accepting (HTTPListener.cpp), what requests mean.
#include <climits>
#include <cstring>

#include "HTTPListener.h"
#include "QxLMemory.h"

namespace {

constexpr QxStatus kWouldBlock = kQxErrorWouldBlock;
// Internal result of the send pump: a hook closed the connection. Not a
// status any call returns.
constexpr QxStatus kClosedByHook = INT32_MIN;

// A head holds at most this many bytes; the text buffer keeps one for the NUL.
constexpr uint32_t kHeadLimit = static_cast<uint32_t>(kHTTPMessageTextSize) - 1;
constexpr size_t kDrainBytes = 16;
// Most bytes of a file span handed to the system in one call.
constexpr size_t kFileSendPiece = 1 << 30;

void BeginHook(HTTPConnection* connection) { ++connection->hookDepth; }

// True when the connection was closed while the hook ran; it is then freed
// here if no other hook of it is still running, and must not be touched.
bool EndHook(HTTPConnection* connection) {
    --connection->hookDepth;
    if (!connection->closed) return false;
    if (connection->hookDepth == 0) QxLFree(connection);
    return true;
}

void Unlink(HTTPListener* listener, HTTPConnection* connection) {
    for (HTTPConnection** link = &listener->connections; *link != nullptr;
         link = &(*link)->next) {
        if (*link == connection) {
            *link = connection->next;
            connection->next = nullptr;
            --listener->connectionCount;
            return;
        }
    }
}

void PauseReading(HTTPConnection* connection) {
    if (connection->readPaused) return;
    QxSocketDisableCallbacks(connection->socketObject, kQxSocketReadCallback);
    connection->readPaused = true;
}

// The end of a head in text[from, length): right behind LF CR LF or LF LF.
// text[length] is NUL, so looking one or two bytes ahead stays inside.
bool FindHeadEnd(const char* text, size_t from, size_t length, size_t* end) {
    const char* cursor = text + from;
    const char* limit = text + length;
    while (cursor < limit) {
        const char* lineFeed = static_cast<const char*>(std::memchr(cursor, '\n', limit - cursor));
        if (lineFeed == nullptr) return false;
        if (lineFeed[1] == '\n') {
            *end = static_cast<size_t>(lineFeed + 2 - text);
            return true;
        }
        if (lineFeed[1] == '\r' && lineFeed[2] == '\n') {
            *end = static_cast<size_t>(lineFeed + 3 - text);
            return true;
        }
        cursor = lineFeed + 1;
    }
    return false;
}

// Peeks at what has arrived and consumes it only up to the end of the head.
// 0: the head is complete in request.text/length; would-block: more is
// needed; else kStatusBufferFull, kStatusPeerClosed or the socket error.
QxStatus ReceiveHead(HTTPConnection* connection) {
    HTTPMessage* request = &connection->request;
    size_t held = request->length;
    if (held >= kHeadLimit) return kStatusBufferFull;
    size_t peeked = 0;
    QxStatus status = QxPlatformNetReceive(connection->socket, request->text + held,
                                           kHeadLimit - held, true, &peeked);
    if (status != kStatusOK) return status;
    if (peeked == 0) return kStatusPeerClosed;
    // The request's clock starts with its first byte: until then the
    // connection was idle, which has a longer allowance.
    if (held == 0 && connection->served) connection->waitStart = QxRunLoopNow();
    size_t total = held + peeked;
    size_t end = 0;
    bool found = false;
    if (request->text[0] == '$' && total >= 4) {
        end = 4;  // an interleaved frame header is exactly 4 bytes
        found = true;
    } else {
        request->text[total] = '\0';
        found = FindHeadEnd(request->text, held > 2 ? held - 2 : 0, total, &end);
    }
    size_t wanted = found ? end - held : peeked;
    size_t received = 0;
    status = QxPlatformNetReceive(connection->socket, request->text + held, wanted, false,
                                  &received);
    if (status != kStatusOK) return status;
    if (received == 0) return kStatusPeerClosed;
    request->length = static_cast<uint32_t>(held + received);
    request->text[request->length] = '\0';
    // A short receive of peeked bytes leaves the rest for the next round.
    return found && received == wanted ? kStatusOK : kWouldBlock;
}

// 0 once the whole body is in; would-block while bytes are missing.
QxStatus ReceiveBody(HTTPConnection* connection) {
    HTTPMessage* request = &connection->request;
    if (request->bodyLength == 0) return kStatusOK;
    if (request->bodyReceived >= request->bodyCapacity) return kStatusBufferFull;
    uint32_t room = request->bodyCapacity - request->bodyReceived;
    uint32_t wanted = request->bodyLength < room ? request->bodyLength : room;
    size_t received = 0;
    QxStatus status = QxPlatformNetReceive(connection->socket,
                                           request->bodyPointer + request->bodyReceived, wanted,
                                           false, &received);
    if (status != kStatusOK) return status;
    if (received == 0) return kStatusPeerClosed;
    request->bodyReceived += static_cast<uint32_t>(received);
    request->bodyLength -= static_cast<uint32_t>(received);
    return request->bodyLength == 0 ? kStatusOK : kWouldBlock;
}

// One gathered send of the entries from the cursor; entries (or parts of
// them) that went out are stepped over. would-block while some remain.
QxStatus SendEntries(HTTPConnection* connection) {
    if (connection->sendCount == 0) return kStatusOK;
    size_t sent = 0;
    QxStatus status = QxPlatformNetSendGather(connection->socket, connection->sendCursor,
                                              connection->sendCount, &sent);
    if (status != kStatusOK) return status;
    if (sent == 0) return kStatusUnknown;
    QxNetBuffer* cursor = connection->sendCursor;
    uint32_t count = connection->sendCount;
    while (count > 0 && sent >= cursor->length) {
        sent -= cursor->length;
        ++cursor;
        --count;
    }
    if (count > 0) {
        cursor->pointer += sent;
        cursor->length -= static_cast<QxNetLength>(sent);
    }
    connection->sendCursor = cursor;
    connection->sendCount = count;
    return count > 0 ? kWouldBlock : kStatusOK;
}

// True when a span of `length` bytes, about to start, is to go through the
// span buffer.
bool CopiesSpan(const HTTPConnection* connection, uint64_t length) {
    switch (connection->spanSending) {
    case HTTPSpanSending::FileCache:
        return false;
    case HTTPSpanSending::Buffer:
        return length > 0;
    case HTTPSpanSending::Auto:
        break;
    }
    // With other connections open, the local readers share our core and a
    // copy they read back warm cost the machine less: 64 KiB ranges on 8
    // connections went 10-23 % faster through the buffer, on one connection
    // 5-9 % slower.
    const HTTPListener* listener = connection->listener;
    const bool othersOpen = listener != nullptr && listener->connectionCount > 1;
    return connection->peerIsLocal && length > 0 && (length > kHTTPSpanCopyPiece || othersOpen);
}

// Reads the span's next piece into the span buffer and makes it the gather
// list's entry `index`. kStatusReadFailed when the file ends before the
// span does; kStatusNoMemory without a buffer.
QxStatus ReadSpanPiece(HTTPConnection* connection, uint32_t index) {
    HTTPMessage* response = connection->response;
    if (connection->spanBuffer == nullptr) {
        connection->spanBuffer = static_cast<uint8_t*>(QxLAlloc(kHTTPSpanCopyPiece));
        if (connection->spanBuffer == nullptr) return kStatusNoMemory;
    }
    uint32_t wanted = response->bodyFileLength < kHTTPSpanCopyPiece
                          ? static_cast<uint32_t>(response->bodyFileLength)
                          : kHTTPSpanCopyPiece;
    uint32_t got = 0;
    QxStatus status = QxPlatformFileReadAt(response->bodyFile, response->bodyFileOffset, wanted,
                                           connection->spanBuffer, &got);
    if (status != kStatusOK) return status;
    if (got == 0) return kStatusReadFailed;
    response->bodyFileOffset += got;
    response->bodyFileLength -= got;
    connection->sendVector[index].pointer = reinterpret_cast<char*>(connection->spanBuffer);
    connection->sendVector[index].length = static_cast<QxNetLength>(got);
    return kStatusOK;
}

// Sends the response's file span from where it stands: 0 once all of it is
// out, would-block while some remains, kStatusReadFailed when the file ends
// before the span does (it shrank under us).
QxStatus SendFileSpan(HTTPConnection* connection) {
    HTTPMessage* response = connection->response;
    while (connection->spanCopying && response->bodyFileLength > 0) {
        QxStatus status = ReadSpanPiece(connection, 0);
        if (status == kStatusNoMemory) break;  // the file cache still can
        if (status != kStatusOK) return status;
        connection->sendCursor = connection->sendVector;
        connection->sendCount = 1;
        status = SendEntries(connection);
        if (status != kStatusOK) return status;
    }
    while (response->bodyFileLength > 0) {
        size_t wanted = response->bodyFileLength < kFileSendPiece
                            ? static_cast<size_t>(response->bodyFileLength)
                            : kFileSendPiece;
        size_t sent = 0;
        QxStatus status = QxPlatformNetSendFile(connection->socket, response->bodyFile,
                                                response->bodyFileOffset, wanted, &sent);
        if (status != kStatusOK) return status;
        if (sent == 0) return kStatusReadFailed;
        response->bodyFileOffset += sent;
        response->bodyFileLength -= sent;
    }
    return kStatusOK;
}

// Sends until the socket is full or the response, refills included, is
// done; then ends the exchange. 0, would-block (write callbacks enabled),
// kClosedByHook (the connection is gone), or a failure for the caller to
// close the connection with.
QxStatus SendPump(HTTPConnection* connection) {
    for (;;) {
        QxStatus status = SendEntries(connection);
        if (status == kStatusOK) status = SendFileSpan(connection);
        if (status == kWouldBlock) {
            // The client has this long to take a byte (the send time-out).
            connection->waitStart = QxRunLoopNow();
            PauseReading(connection);
            QxSocketEnableCallbacks(connection->socketObject, kQxSocketWriteCallback);
            return kWouldBlock;
        }
        if (status != kStatusOK) return status;
        HTTPMessage* response = connection->response;
        if (response->refillHook == nullptr) break;
        response->bodyLength = 0;
        response->bodyFileLength = 0;
        BeginHook(connection);
        status = response->refillHook(connection, response, response->hookContext);
        if (EndHook(connection)) return kClosedByHook;
        if (status == kWouldBlock) {
            // The layer above resumes us once it has the bytes.
            connection->waitingForBody = true;
            PauseReading(connection);
            return kWouldBlock;
        }
        if (status != kStatusOK) return status;
        if (response->bodyLength == 0 && response->bodyFileLength == 0) break;
        connection->sendVector[0].length = static_cast<QxNetLength>(response->bodyLength);
        connection->sendVector[0].pointer = reinterpret_cast<char*>(response->bodyPointer);
        connection->sendCursor = connection->sendVector;
        connection->sendCount = response->bodyLength > 0 ? 1 : 0;
        connection->spanCopying = CopiesSpan(connection, response->bodyFileLength);
    }

    HTTPListener* listener = connection->listener;
    if (listener != nullptr && listener->onSent != nullptr) {
        BeginHook(connection);
        listener->onSent(listener, connection, listener->hookContext);
        if (EndHook(connection)) return kClosedByHook;
    }
    if (connection->request.keepAlive) {
        connection->state = HTTPConnectionState::ReadingHead;
    } else {
        QxStatus status = QxPlatformNetShutdownSend(connection->socket);
        if (status != kStatusOK) return status;
        connection->state = HTTPConnectionState::Draining;
    }
    connection->served = true;
    connection->waitStart = QxRunLoopNow();
    HTTPMessageReset(&connection->request);
    HTTPMessageReset(connection->response);
    connection->response = nullptr;
    QxSocketEnableCallbacks(connection->socketObject, kQxSocketReadCallback);
    connection->readPaused = false;
    return kStatusOK;
}

// Calls onHead or onRequest. True when the connection is gone afterwards
// (closed by the hook, or closed here because the hook failed).
bool CallRequestHook(HTTPConnection* connection, HTTPRequestHook hook) {
    HTTPListener* listener = connection->listener;
    if (hook == nullptr || listener == nullptr) return false;
    BeginHook(connection);
    QxStatus status = hook(listener, connection, &connection->request, listener->hookContext);
    if (EndHook(connection)) return true;
    if (status == kStatusOK) return false;
    HTTPConnectionClose(connection, status);
    return true;
}

void ReadBody(HTTPConnection* connection) {
    QxStatus status = ReceiveBody(connection);
    if (status == kWouldBlock) return;
    if (status != kStatusOK) {
        HTTPConnectionClose(connection, status);
        return;
    }
    connection->state = HTTPConnectionState::AwaitingResponse;
    HTTPListener* listener = connection->listener;
    CallRequestHook(connection, listener != nullptr ? listener->onRequest : nullptr);
}

void ReadHead(HTTPConnection* connection) {
    do {
        QxStatus status = ReceiveHead(connection);
        if (status == kWouldBlock) return;
        if (status == kStatusOK) status = HTTPMessageParseHead(&connection->request);
        if (status != kStatusOK) {
            HTTPConnectionClose(connection, status);
            return;
        }
        HTTPMessage* request = &connection->request;
        request->bodyPointer = connection->bodyBuffer;
        request->bodyCapacity = connection->bodyCapacity;
        request->bodyReceived = 0;
        request->bodyLength = request->contentLength;
        connection->state = HTTPConnectionState::ReadingBody;
        HTTPListener* listener = connection->listener;
        if (CallRequestHook(connection, listener != nullptr ? listener->onHead : nullptr)) return;
    } while (connection->state == HTTPConnectionState::ReadingHead);
    ReadBody(connection);
}

void ConnectionCallback(QxSocketRef, uint32_t types, const void*, const void*, void* info) {
    if (types != kQxSocketReadCallback && types != kQxSocketWriteCallback) return;
    auto* connection = static_cast<HTTPConnection*>(info);
    if (connection->closed) return;
    switch (connection->state) {
    case HTTPConnectionState::ReadingHead:
        ReadHead(connection);
        return;
    case HTTPConnectionState::ReadingBody:
        ReadBody(connection);
        return;
    case HTTPConnectionState::AwaitingResponse:
        // Nothing more is read until the response has gone out.
        PauseReading(connection);
        return;
    case HTTPConnectionState::Sending: {
        if (connection->waitingForBody) return;
        QxStatus status = SendPump(connection);
        if (status != kStatusOK && status != kWouldBlock && status != kClosedByHook) {
            HTTPConnectionClose(connection, status);
        }
        return;
    }
    case HTTPConnectionState::Draining: {
        uint8_t discard[kDrainBytes];
        size_t received = 0;
        QxPlatformNetReceive(connection->socket, discard, sizeof discard, false, &received);
        HTTPConnectionClose(connection, kStatusOK);
        return;
    }
    }
    HTTPConnectionClose(connection, kStatusUnknownState);
}

}  // namespace

QxStatus HTTPConnectionOpen(HTTPListener* listener, QxSocketHandle accepted,
                            const uint8_t* peerHost, bool peerIsLocal) {
    if (listener == nullptr || accepted == kQxInvalidSocket) return kStatusBadParameter;
    auto* connection = static_cast<HTTPConnection*>(QxLAllocZeroed(sizeof(HTTPConnection)));
    if (connection == nullptr) {
        QxPlatformSocketClose(accepted);
        return kStatusNoMemory;
    }
    connection->socket = accepted;
    if (peerHost != nullptr) {
        memcpy(connection->peerHost, peerHost, sizeof connection->peerHost);
        connection->hasPeerHost = true;
    }
    connection->peerIsLocal = peerIsLocal;
    connection->spanSending = listener->spanSending;
    connection->state = HTTPConnectionState::ReadingHead;
    connection->waitStart = QxRunLoopNow();
    connection->bodyBuffer = static_cast<uint8_t*>(QxLAlloc(kHTTPBodyCapacity));
    QxStatus status = connection->bodyBuffer == nullptr
                          ? kStatusNoMemory
                          : QxPlatformSocketSetNonBlocking(accepted);
    if (status != kStatusOK) {
        // No socket object yet: the handle is closed here.
        QxPlatformSocketClose(accepted);
        HTTPConnectionClose(connection, status);
        return status;
    }
    connection->bodyCapacity = kHTTPBodyCapacity;
    QxPlatformNetSetOption(accepted, QxNetOption::NoDelay, 1);  // failure is harmless

    QxSocketContext context{0, connection, nullptr, nullptr, nullptr};
    connection->socketObject = QxSocketCreate(
        accepted, kQxSocketReadCallback | kQxSocketWriteCallback, ConnectionCallback, &context);
    if (connection->socketObject == nullptr) {
        QxPlatformSocketClose(accepted);
        HTTPConnectionClose(connection, kStatusNoMemory);
        return kStatusNoMemory;
    }
    // The socket object owns the handle from here on.
    QxSocketDisableCallbacks(connection->socketObject, kQxSocketWriteCallback);
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(connection->socketObject);
    if (source == nullptr) {
        HTTPConnectionClose(connection, kStatusNoMemory);
        return kStatusNoMemory;
    }
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);

    connection->listener = listener;
    connection->next = listener->connections;
    listener->connections = connection;
    ++listener->connectionCount;
    if (listener->onAccept == nullptr) return kStatusOK;
    BeginHook(connection);
    status = listener->onAccept(listener, connection, listener->hookContext);
    if (EndHook(connection)) return status != kStatusOK ? status : kStatusEnded;
    if (status != kStatusOK) HTTPConnectionClose(connection, status);
    return status;
}

QxStatus HTTPConnectionSendMessage(HTTPConnection* connection, HTTPMessage* response) {
    if (connection == nullptr || response == nullptr) return kStatusBadParameter;
    if (response->length == 0) return kStatusNoData;
    if (response->length >= kHTTPMessageTextSize) return kStatusBadSize;
    if (response->text[response->length] != '\0') return kStatusMalformed;
    if (connection->closed || connection->state != HTTPConnectionState::AwaitingResponse) {
        return kStatusWrongState;
    }
    if (connection->response != nullptr) return kStatusBusy;

    connection->response = response;
    connection->state = HTTPConnectionState::Sending;
    connection->waitStart = QxRunLoopNow();
    connection->sendVector[0].length = static_cast<QxNetLength>(response->length);
    connection->sendVector[0].pointer = response->text;
    connection->sendCount = 1;
    connection->spanCopying = CopiesSpan(connection, response->bodyFileLength);
    if (response->bodyLength > 0) {
        connection->sendVector[1].length = static_cast<QxNetLength>(response->bodyLength);
        connection->sendVector[1].pointer = reinterpret_cast<char*>(response->bodyPointer);
        connection->sendCount = 2;
    } else if (connection->spanCopying) {
        // The head and the span's first piece in one send.
        QxStatus status = ReadSpanPiece(connection, 1);
        if (status == kStatusOK) {
            connection->sendCount = 2;
        } else if (status != kStatusNoMemory) {
            return status;  // as a failed send: the caller's hook closes the connection
        }
    }
    connection->sendCursor = connection->sendVector;
    QxStatus status = SendPump(connection);
    if (status == kWouldBlock) return kStatusOK;
    return status == kClosedByHook ? kStatusEnded : status;
}

void HTTPConnectionResume(HTTPConnection* connection) {
    if (connection == nullptr || connection->closed || !connection->waitingForBody) return;
    connection->waitingForBody = false;
    connection->waitStart = QxRunLoopNow();
    QxStatus status = SendPump(connection);
    if (status != kStatusOK && status != kWouldBlock && status != kClosedByHook) {
        HTTPConnectionClose(connection, status);
    }
}

void HTTPConnectionClose(HTTPConnection* connection, QxStatus status) {
    if (connection == nullptr || connection->closed) return;
    connection->closed = true;
    HTTPMessageReset(&connection->request);
    if (connection->response != nullptr) {
        HTTPMessageReset(connection->response);
        connection->response = nullptr;
    }
    HTTPListener* listener = connection->listener;
    if (listener != nullptr) {
        if (listener->onClose != nullptr) {
            listener->onClose(listener, connection, status, listener->hookContext);
        }
        // A listener stopped from inside onClose has detached us already.
        if (connection->listener != nullptr) Unlink(connection->listener, connection);
        connection->listener = nullptr;
    }
    QxLFree(connection->bodyBuffer);
    connection->bodyBuffer = nullptr;
    QxLFree(connection->spanBuffer);
    connection->spanBuffer = nullptr;
    if (connection->socketObject != nullptr) {
        QxSocketInvalidate(connection->socketObject);
        QxLObjectRelease(connection->socketObject);
        connection->socketObject = nullptr;
    }
    connection->socket = kQxInvalidSocket;
    if (connection->hookDepth == 0) QxLFree(connection);
}

double HTTPConnectionDeadline(const HTTPConnection* connection, double headTimeout,
                              double idleTimeout, double sendTimeout) {
    switch (connection->state) {
    case HTTPConnectionState::ReadingHead: {
        bool idle = connection->served && connection->request.length == 0;
        return connection->waitStart + (idle ? idleTimeout : headTimeout);
    }
    case HTTPConnectionState::ReadingBody:
    case HTTPConnectionState::Draining:
        return connection->waitStart + headTimeout;
    case HTTPConnectionState::Sending:
        if (connection->waitingForBody) break;
        return connection->waitStart + sendTimeout;
    case HTTPConnectionState::AwaitingResponse:
        break;
    }
    return -1;
}

bool HTTPConnectionIsWaiting(const HTTPConnection* connection) {
    return connection->state == HTTPConnectionState::ReadingHead ||
           connection->state == HTTPConnectionState::ReadingBody ||
           connection->state == HTTPConnectionState::Draining;
}
