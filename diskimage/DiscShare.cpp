// The disc image HTTP service: image list, sessions and request handling on
// top of the listener.
//
// Requests and their answers:
//
//   request                          answer
//   GET/HEAD /<name>[.dmg]           200 whole image, or 206 with
//                                    Content-Range for one byte range
//   GET/HEAD unknown name, no        404
//     images, device or range
//     refused on opening
//   GET/HEAD when no descriptor is   503 with Retry-After (never 404:
//     left to open the image          the image is there)
//   GET/HEAD malformed Range, range  400
//     refused by the open reader
//   POST {Message = Status (any      200 with the status reply document
//     case)}                         {Message, URL = /<first>.dmg, UUID}
//   POST any other property list     200, empty; the list goes to the hook
//   POST that is not a property list 400
//   any other method                 501
//   out of memory, read failure,     500
//     suffix longer than the image
//
// Bare answers carry Server, Date and "Content-Length: 0". Image bodies are
// never assembled: the head goes out with the first chunk (at most 128 KiB,
// pointing into the reader's buffer), and the send pump refills from the
// same buffer after each chunk; a chunk of a .dmg whose runs are being
// decoded off the run loop holds the connection until it is ready. Bodies of 64 KiB or more from an image file
// go as file spans instead where the system can send them from its file
// cache, so the bytes are not copied through the process (not a file held
// to its identity, a library's, whose every read is checked before it is
// sent: a file rewritten in place must not reach a reader). Chosen by
// measurement: over loopback, spans were no slower than reading the same
// bytes into a buffer and writing them, at less CPU per GiB (1 MiB ranges
// and whole images, one and eight connections; bench/http-bench.sh reports
// CPU per GiB beside each rate); through a network card that gathers from
// memory they cost no copy at all, where a buffer costs two.
// A .dmg's bytes exist only decoded in memory and go from there; a body
// under 64 KiB goes with its head in one gathered send. Each connection
// keeps its reader open while it asks for the same image, so many ranges
// cost one open.
//
// Not here: sockets, receiving and the send pump (HTTPListener.cpp,
// HTTPConnection.cpp), the message text (HTTPMessage.cpp), the device
// (DiscImageReader.cpp).
#include "DiscShare.h"

#include <cstring>

#include "DiscHost.h"
#include "DiscImageReader.h"
#include "HTTPListener.h"
#include "HTTPMessage.h"
#include "QxLArray.h"
#include "QxLBuild.h"
#include "QxLCallbacks.h"
#include "QxLData.h"
#include "QxLDictionary.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLPropertyList.h"
#include "QxLScan.h"
#include "QxLString.h"
#include "QxPlatformNet.h"
#include "QxPlatformUUID.h"
#include "QxRunLoop.h"

namespace {

// Device paths: "\\.\" and the image name, NUL included.
constexpr size_t kDevicePathSize = 261;
// "/<name>.dmg" of the status reply, NUL included.
constexpr size_t kReplyURLSize = 261;
// Smallest body sent as file spans; below it one gathered send of head and
// chunk is cheaper than a send and a sendfile.
constexpr int64_t kSpanBodyMinimum = 0x10000;

struct DiscShareSession {
    HTTPConnection* connection;
    DiscImageReader* reader;
    bool sendsSpans;  // the body in flight goes as file spans
    // A reader closed by DiscShareForgetImages while its chunk was still
    // being sent; freed once the connection is done with it.
    DiscImageReader* retiredReader;
    char readerPath[kDevicePathSize];
    HTTPMessage response;
    QxLDataRef listReply;
    // The message hook may stop the service, which closes this connection
    // while the request handler still holds the session: the teardown then
    // waits for the handler.
    bool inMessageHook;
    bool closedInHook;
    // Who is served, for the hook's reports: the peer's address as text
    // ("?" when it cannot be had), when the connection came, whether its
    // first image read was reported, and the image bytes sent so far.
    char client[kSocketAddressTextSize];
    double openedAt;
    bool readReported;
    uint64_t bytesServed;
    uint64_t bytesInFlight;  // body of the image response being sent
};

struct ServiceState {
    HTTPListener* listener;
    QxLArrayRef imageList;
    char* serverToken;
    DiscShareConnectionHook connectionHook;
    void* connectionHookContext;
    DiscShareMessageHook messageHook;
    void* messageHookContext;
    const char* poster;  // the client whose message the message hook has
    DiscShareClientHook clientHook;
    void* clientHookContext;
    uint32_t backlog;
    HTTPSpanSending spanSending;
    double sendTimeout;
    uint32_t clientLimit = kDiscShareDefaultClientLimit;
    uint64_t unavailable;
};

ServiceState gService;

const char* ServerToken() {
    return gService.serverToken != nullptr ? gService.serverToken : kDiscShareDefaultServerToken;
}

bool EqualsNoCase(const HTTPTextView& view, const char* text) {
    return QxLCompareCountedNoCase(text, view.bytes, static_cast<int32_t>(view.length)) == 0;
}

// Everything a session holds goes with it; the connection is not touched.
void FreeSession(DiscShareSession* session) {
    HTTPMessageReset(&session->response);
    DiscImageReaderClose(session->reader);
    DiscImageReaderClose(session->retiredReader);
    QxLObjectRelease(session->listReply);
    QxLFree(session);
}

// ---- Responses ------------------------------------------------------------------

// Server and Date, common to every answer.
QxStatus AddStandardHeaders(HTTPMessage* response) {
    QxStatus status = HTTPMessageAddHeader(response, "Server", "%s", ServerToken());
    if (status != kStatusOK) return status;
    char date[kHTTPDateBufferSize];
    return HTTPMessageAddHeader(response, "Date", "%s", HTTPFormatDate(date));
}

void SetResponseBody(HTTPMessage* response, uint8_t* bytes, uint32_t length) {
    response->bodyReceived = 0;
    response->bodyPointer = bytes;
    response->bodyCapacity = length;
    response->bodyLength = length;
    response->bodyFileLength = 0;
}

void SetResponseSpan(HTTPMessage* response, QxDeviceHandle file, uint64_t offset,
                     uint64_t length) {
    SetResponseBody(response, nullptr, 0);
    response->bodyFile = file;
    response->bodyFileOffset = offset;
    response->bodyFileLength = length;
}

// An answer without a body. Returns the first failing step's status.
QxStatus SendBareResponse(DiscShareSession* session, unsigned int code) {
    HTTPMessage* response = &session->response;
    HTTPMessageReset(response);
    QxStatus status = HTTPMessageSetStatusLine(response, code, nullptr);
    if (status == kStatusOK) status = AddStandardHeaders(response);
    if (status == kStatusOK && code == 503) {
        status = HTTPMessageAddHeader(response, "Retry-After", "%u", kHTTPRetryAfter);
    }
    if (status == kStatusOK) status = HTTPMessageAddHeader(response, "Content-Length", "0");
    if (status != kStatusOK) return status;
    SetResponseBody(response, nullptr, 0);
    status = HTTPMessageEndHeaders(response);
    if (status != kStatusOK) return status;
    return HTTPConnectionSendMessage(session->connection, response);
}

// ---- Image bodies ---------------------------------------------------------------

QxStatus RefillChunk(HTTPConnection* connection, HTTPMessage* message, void* context) {
    (void)connection;
    auto* session = static_cast<DiscShareSession*>(context);
    // The images were forgotten while this body was on its way.
    if (session->reader == nullptr) return kStatusBadParameter;
    if (session->sendsSpans) {
        QxDeviceHandle file = kQxInvalidDeviceHandle;
        uint64_t offset = 0;
        uint64_t length = 0;
        QxStatus status = DiscImageReaderNextSpan(session->reader, &file, &offset, &length);
        if (status != kStatusOK) return status;
        SetResponseSpan(message, file, offset, length);
        return kStatusOK;
    }
    uint8_t* chunk = nullptr;
    uint32_t length = 0;
    // Would-block while a .dmg's runs are decoded: ChunkReady resumes.
    QxStatus status = DiscImageReaderNextChunk(session->reader, &chunk, &length);
    if (status != kStatusOK) return status;
    SetResponseBody(message, chunk, length);
    return kStatusOK;
}

void ChunkReady(void* context, QxStatus) {
    auto* session = static_cast<DiscShareSession*>(context);
    HTTPConnectionResume(session->connection);
}

// The image entry whose "deviceName" is the name; null when none is.
// kStatusNoMemory when the name cannot be made into a string.
QxStatus FindImage(const char* name, size_t nameLength, QxLDictionaryRef* entry) {
    *entry = nullptr;
    QxLStringRef key = QxLStringCreateWithBytes(name, static_cast<int32_t>(nameLength));
    if (key == nullptr) return kStatusNoMemory;
    int32_t count = QxLArrayGetCount(gService.imageList);
    for (int32_t i = 0; i < count; ++i) {
        QxLObjectRef candidate = QxLArrayGetValueAt(gService.imageList, i);
        QxLObjectRef deviceName =
            QxLObjectIsType(candidate, kQxLTypeDictionary)
                ? QxLDictionaryGet(candidate, kDiscShareKeyDeviceName)
                : nullptr;
        if (deviceName != nullptr && QxLStringCompare(deviceName, key, 0) == 0) {
            *entry = candidate;
            break;
        }
    }
    QxLObjectRelease(key);
    return kStatusOK;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The image name of the file published under the request path (%XX
// decoded), borrowed from its entry; null when none is.
const char* FindFileByPath(const char* path, size_t pathLength) {
    char decoded[1024];
    size_t length = 0;
    for (size_t i = 0; i < pathLength; ++i) {
        if (length + 1 >= sizeof decoded) return nullptr;
        if (path[i] == '%') {
            if (i + 2 >= pathLength || HexDigit(path[i + 1]) < 0 || HexDigit(path[i + 2]) < 0) {
                return nullptr;
            }
            decoded[length++] = static_cast<char>(HexDigit(path[i + 1]) * 16 + HexDigit(path[i + 2]));
            i += 2;
        } else {
            decoded[length++] = path[i];
        }
    }
    decoded[length] = '\0';
    int32_t count = QxLArrayGetCount(gService.imageList);
    for (int32_t i = 0; i < count; ++i) {
        QxLObjectRef candidate = QxLArrayGetValueAt(gService.imageList, i);
        if (!QxLObjectIsType(candidate, kQxLTypeDictionary)) continue;
        const char* published = nullptr;
        const char* name = nullptr;
        if (QxLStringGetText(QxLDictionaryGet(candidate, kDiscShareKeyPath), &published, nullptr) ==
                kStatusOK &&
            strcmp(published, decoded) == 0 &&
            QxLStringGetText(QxLDictionaryGet(candidate, kDiscShareKeyDeviceName), &name,
                             nullptr) == kStatusOK) {
            return name;
        }
    }
    return nullptr;
}

// GET and HEAD of an image. Returns the status of the send that answered.
QxStatus HandleImageRequest(DiscShareSession* session, const HTTPMessage* request,
                            const char* path, size_t pathLength, bool isHead) {
    // A file published under its own path: the path names its image.
    if (gService.imageList != nullptr) {
        if (const char* name = FindFileByPath(path, pathLength)) {
            path = name;
            pathLength = strlen(name);
        }
    }
    // "/CdRom0.dmg", "/CdRom0" and "CdRom0.DMG" all name CdRom0.
    if (pathLength > 4 && QxLCompareCountedNoCase(".dmg", path + pathLength - 4, 4) == 0) {
        pathLength -= 4;
    }
    if (pathLength > 0 && path[0] == '/') {
        ++path;
        --pathLength;
    }

    if (gService.imageList == nullptr) return SendBareResponse(session, 404);
    QxLDictionaryRef entry = nullptr;
    if (FindImage(path, pathLength, &entry) != kStatusOK) return SendBareResponse(session, 500);
    if (entry == nullptr) return SendBareResponse(session, 404);

    // A name too long for a device path would otherwise be cut and could
    // name another drive.
    char devicePath[kDevicePathSize];
    int written = QxLFormatToBuffer(devicePath, sizeof devicePath, "\\\\.\\%.*s",
                                    static_cast<int>(pathLength), path);
    if (written < 0 || static_cast<size_t>(written) >= sizeof devicePath) {
        return SendBareResponse(session, 404);
    }

    int64_t start = 0;
    int64_t end = -1;
    int64_t size = 0;
    const char* rangeText = nullptr;
    size_t rangeLength = 0;
    const bool hasRange = HTTPFindHeader(request->text, "Range", &rangeText, &rangeLength) == kStatusOK;
    if (hasRange &&
        HTTPParseRange(static_cast<int32_t>(rangeLength), rangeText, &start, &end) != kStatusOK) {
        return SendBareResponse(session, 400);
    }

    if (strcmp(devicePath, session->readerPath) != 0) {
        DiscImageReader* reader = nullptr;
        QxStatus openStatus = DiscImageReaderOpen(devicePath, &start, &end, &size, &reader);
        if (openStatus != kStatusOK) {
            // Out of descriptors says nothing about the image: the client is
            // to come back, not to conclude there is no such image.
            if (QxPlatformIsOutOfDescriptors(openStatus) || openStatus == kStatusNoMemory) {
                ++gService.unavailable;
                return SendBareResponse(session, 503);
            }
            return SendBareResponse(session, 404);
        }
        // The old reader goes only once the new one is open.
        DiscImageReaderClose(session->reader);
        session->reader = reader;
        DiscImageReaderSetReadyHook(reader, ChunkReady, session);
        memcpy(session->readerPath, devicePath, static_cast<size_t>(written) + 1);
    } else if (session->reader == nullptr) {
        return SendBareResponse(session, 500);
    } else if (DiscImageReaderSetRange(session->reader, &start, &end, &size) != kStatusOK) {
        return SendBareResponse(session, 400);
    }
    if (hasRange && start < 0) return SendBareResponse(session, 500);

    uint8_t* chunk = nullptr;
    uint32_t chunkLength = 0;
    QxDeviceHandle file = kQxInvalidDeviceHandle;
    uint64_t spanOffset = 0;
    uint64_t spanLength = 0;
    session->sendsSpans = false;
    if (!isHead && end - start >= kSpanBodyMinimum && QxPlatformNetCanSendFile()) {
        QxStatus spanStatus =
            DiscImageReaderNextSpan(session->reader, &file, &spanOffset, &spanLength);
        if (spanStatus == kStatusOK) {
            session->sendsSpans = true;
        } else if (spanStatus != kStatusUnsupported) {
            return SendBareResponse(session, 500);
        }
    }
    if (!isHead && !session->sendsSpans) {
        // A first chunk still being decoded: the head goes alone and the
        // body follows when the chunk is ready.
        QxStatus chunkStatus = DiscImageReaderNextChunk(session->reader, &chunk, &chunkLength);
        if (chunkStatus != kStatusOK && chunkStatus != kQxErrorWouldBlock) {
            return SendBareResponse(session, 500);
        }
    }

    HTTPMessage* response = &session->response;
    HTTPMessageReset(response);
    QxStatus status = hasRange ? HTTPMessageSetStatusLine(response, 206, "Partial Content")
                               : HTTPMessageSetStatusLine(response, 200, "OK");
    if (status == kStatusOK && hasRange) {
        status = HTTPMessageAddHeader(response, "Content-Range", "bytes %lld-%lld/%lld",
                                      static_cast<long long>(start),
                                      static_cast<long long>(end - 1),
                                      static_cast<long long>(size));
    }
    if (status == kStatusOK) status = AddStandardHeaders(response);
    if (status == kStatusOK) {
        status = HTTPMessageAddHeader(response, "Content-Type", "%s", "application/octet-stream");
    }
    if (status == kStatusOK) status = HTTPMessageAddHeader(response, "Accept-Ranges", "bytes");
    if (status == kStatusOK) {
        status = HTTPMessageAddHeader(response, "Content-Length", "%lld",
                                      static_cast<long long>(end - start));
    }
    if (status != kStatusOK) return SendBareResponse(session, 500);

    if (session->sendsSpans) {
        SetResponseSpan(response, file, spanOffset, spanLength);
    } else {
        SetResponseBody(response, chunk, chunkLength);
    }
    if (!isHead) {
        response->refillHook = RefillChunk;
        response->hookContext = session;
    }
    status = HTTPMessageEndHeaders(response);
    // Counted when the send completes, which may be within the call.
    session->bytesInFlight = isHead ? 0 : static_cast<uint64_t>(end - start);
    if (status == kStatusOK) status = HTTPConnectionSendMessage(session->connection, response);
    if (status != kStatusOK) {
        session->bytesInFlight = 0;
        return SendBareResponse(session, 500);
    }
    if (isHead) return kStatusOK;
    if (!session->readReported && gService.clientHook != nullptr) {
        session->readReported = true;
        char name[kDevicePathSize];
        QxLFormatToBuffer(name, sizeof name, "%.*s", static_cast<int>(pathLength), path);
        DiscShareClientInfo info{session->client, name, 0, 0.0};
        gService.clientHook(kDiscShareClientFirstRead, &info, gService.clientHookContext);
    }
    return kStatusOK;
}

// ---- POST -------------------------------------------------------------------------

void ReleaseListReply(DiscShareSession* session) {
    QxLObjectRelease(session->listReply);
    session->listReply = nullptr;
}

QxStatus SendPropertyList(DiscShareSession* session, QxLObjectRef reply) {
    if (session->listReply != nullptr) return kStatusBusy;
    QxStatus status = QxLPropertyListWrite(reply, &session->listReply);
    if (status != kStatusOK) {
        session->listReply = nullptr;
        return status;
    }
    if (session->listReply == nullptr) return kStatusNoMemory;
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxLDataGetBytes(session->listReply, &bytes, &length);

    HTTPMessage* response = &session->response;
    HTTPMessageReset(response);
    status = HTTPMessageSetStatusLine(response, 200, "OK");
    if (status == kStatusOK) status = AddStandardHeaders(response);
    if (status == kStatusOK) status = HTTPMessageAddHeader(response, "Content-Length", "%u", length);
    if (status == kStatusOK) {
        SetResponseBody(response, bytes, length);
        status = HTTPMessageEndHeaders(response);
    }
    if (status == kStatusOK) status = HTTPConnectionSendMessage(session->connection, response);
    if (status != kStatusOK) ReleaseListReply(session);
    return status;
}

// {Message = Status, URL = /<first image>.dmg, UUID = its UUID}; URL and
// UUID are left out while no image is published.
QxStatus SendStatusReply(DiscShareSession* session) {
    QxLStringRef url = nullptr;
    QxLObjectRef uuid = nullptr;
    if (gService.imageList != nullptr) {
        char* name = nullptr;
        if (QxLGet(gService.imageList, &name, "[0].%kO:utf8", kDiscShareKeyDeviceName) == kStatusOK) {
            char text[kReplyURLSize];
            QxLFormatToBuffer(text, sizeof text, "/%s.dmg", name);
            QxLFree(name);
            url = QxLStringCreateWithText(text);
            if (url == nullptr) return kStatusNoMemory;
        }
        QxLGet(gService.imageList, &uuid, "[0].%kO", kDiscShareKeyImageUUID);
    }
    QxLObjectRef reply = nullptr;
    QxStatus status = QxLBuild(&reply, "{%kO=%O%kO=%O%kO=%O}", kDiscShareKeyMessage,
                               kDiscShareMessageStatus, kDiscShareKeyURL, url,
                               kDiscShareKeyUUID, uuid);
    if (status == kStatusOK) status = SendPropertyList(session, reply);
    QxLObjectRelease(reply);
    QxLObjectRelease(url);
    return status;
}

bool IsStatusQuery(QxLObjectRef object) {
    if (!QxLObjectIsType(object, kQxLTypeDictionary)) return false;
    QxLObjectRef message = QxLDictionaryGet(object, kDiscShareKeyMessage);
    return message != nullptr &&
           QxLStringCompare(message, kDiscShareMessageStatus, kQxLCompareCaseInsensitive) == 0;
}

// Returns 0 once an answer is on its way, else the status of the send that
// failed (so that the connection is closed rather than left waiting).
QxStatus HandlePost(DiscShareSession* session, const HTTPMessage* request) {
    QxLDataRef data = nullptr;
    if (QxLDataCreate(request->bodyPointer, static_cast<int32_t>(request->bodyReceived), &data) !=
        kStatusOK) {
        return SendBareResponse(session, 500);
    }
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxLDataGetBytes(data, &bytes, &length);
    QxLObjectRef object = nullptr;
    QxStatus readStatus = QxLPropertyListRead(bytes, static_cast<int32_t>(length), &object);
    QxLObjectRelease(data);
    if (readStatus != kStatusOK || object == nullptr) return SendBareResponse(session, 400);

    unsigned int code = 200;
    if (IsStatusQuery(object)) {
        if (SendStatusReply(session) == kStatusOK) {
            QxLObjectRelease(object);
            return kStatusOK;
        }
        code = 500;
    } else if (gService.messageHook != nullptr) {
        session->inMessageHook = true;
        gService.poster = session->client;
        gService.messageHook(object, gService.messageHookContext);
        gService.poster = nullptr;
        session->inMessageHook = false;
        if (session->closedInHook) {
            QxLObjectRelease(object);
            FreeSession(session);
            return kStatusEnded;
        }
    }
    QxLObjectRelease(object);
    return SendBareResponse(session, code);
}

// ---- Listener hooks ---------------------------------------------------------------

QxStatus OnAccept(HTTPListener* listener, HTTPConnection* connection, void* context) {
    (void)listener;
    (void)context;
    // A fixed size, not one the system grows with the connection: a grown
    // buffer would send a whole image at less CPU per GiB, but lets each
    // reader that stops reading hold a megabyte or more of the system's
    // memory, and a room of them slowed everyone else (bench/stall-bench.sh).
    SocketSetLargeSendBuffer(connection->socket);
    auto* session = static_cast<DiscShareSession*>(QxLAllocZeroed(sizeof(DiscShareSession)));
    if (session == nullptr) return kStatusNoMemory;
    session->connection = connection;
    connection->userData = session;
    session->openedAt = QxRunLoopNow();
    QxNetAddress peer{};
    if (QxPlatformNetPeerAddress(connection->socket, &peer) != kStatusOK ||
        ClientAddressText(reinterpret_cast<const sockaddr*>(peer.bytes), session->client,
                          sizeof session->client) != kStatusOK) {
        QxLCopyBounded(session->client, "?", sizeof session->client);
    }
    if (gService.connectionHook != nullptr) {
        gService.connectionHook(kDiscShareEventConnectionOpened, 0, gService.connectionHookContext);
    }
    return kStatusOK;
}

void OnClose(HTTPListener* listener, HTTPConnection* connection, QxStatus status, void* context) {
    (void)listener;
    (void)status;
    (void)context;
    auto* session = static_cast<DiscShareSession*>(connection->userData);
    if (session == nullptr) return;
    connection->userData = nullptr;
    // The report goes out once the session is gone, from copies.
    bool report = session->readReported && gService.clientHook != nullptr;
    char client[kSocketAddressTextSize];
    memcpy(client, session->client, sizeof client);
    DiscShareClientInfo info{client, nullptr, session->bytesServed,
                             QxRunLoopNow() - session->openedAt};
    if (session->inMessageHook) {
        session->closedInHook = true;
    } else {
        FreeSession(session);
    }
    if (report) {
        gService.clientHook(kDiscShareClientClosed, &info, gService.clientHookContext);
    }
}

void OnSent(HTTPListener* listener, HTTPConnection* connection, void* context) {
    (void)listener;
    (void)context;
    auto* session = static_cast<DiscShareSession*>(connection->userData);
    if (session == nullptr) return;
    ReleaseListReply(session);
    session->bytesServed += session->bytesInFlight;
    session->bytesInFlight = 0;
}

QxStatus OnRequest(HTTPListener* listener, HTTPConnection* connection, HTTPMessage* request,
                   void* context) {
    (void)listener;
    (void)context;
    auto* session = static_cast<DiscShareSession*>(connection->userData);
    if (session == nullptr) return kStatusBadParameter;
    QxLURLParts parts;
    QxLSplitURL(request->target.bytes, request->target.bytes + request->target.length, &parts);
    const bool isHead = EqualsNoCase(request->method, "HEAD");
    if (!isHead && !EqualsNoCase(request->method, "GET")) {
        if (EqualsNoCase(request->method, "POST")) return HandlePost(session, request);
        return SendBareResponse(session, 501);
    }
    return HandleImageRequest(session, request, parts.path.bytes != nullptr ? parts.path.bytes : "",
                              parts.path.length, isHead);
}

}  // namespace

// ---- Public interface -------------------------------------------------------------

QxStatus DiscShareSetServerToken(const char* text) {
    char* copy = nullptr;
    if (text != nullptr) {
        size_t length = strlen(text);
        copy = static_cast<char*>(QxLAlloc(length + 1));
        if (copy == nullptr) return kStatusNoMemory;
        memcpy(copy, text, length + 1);
    }
    QxLFree(gService.serverToken);
    gService.serverToken = copy;
    return kStatusOK;
}

void DiscShareSetConnectionHook(DiscShareConnectionHook hook, void* context) {
    gService.connectionHook = hook;
    gService.connectionHookContext = context;
}

void DiscShareSetClientHook(DiscShareClientHook hook, void* context) {
    gService.clientHook = hook;
    gService.clientHookContext = context;
}

void DiscShareSetMessageHook(DiscShareMessageHook hook, void* context) {
    gService.messageHook = hook;
    gService.messageHookContext = context;
}

void DiscShareSetListenBacklog(uint32_t backlog) { gService.backlog = backlog; }

void DiscShareSetSpanSending(HTTPSpanSending sending) { gService.spanSending = sending; }

void DiscShareSetSendTimeout(double seconds) { gService.sendTimeout = seconds > 0 ? seconds : 0; }

void DiscShareSetClientLimit(uint32_t limit) { gService.clientLimit = limit; }

void DiscShareGetCounters(DiscShareCounters* counters) {
    if (counters == nullptr) return;
    *counters = DiscShareCounters{};
    const HTTPListener* listener = gService.listener;
    if (listener == nullptr) return;
    counters->connections = listener->connectionCount;
    counters->connectionLimit = listener->connectionLimit;
    counters->refused = listener->refused;
    counters->madeRoom = listener->madeRoom;
    counters->unavailable = gService.unavailable;
}

QxStatus DiscShareStart() {
    QxStatus status = kStatusOK;
    if (gService.listener != nullptr) {
        status = kStatusAlreadyInitialized;
    } else {
        auto* listener = static_cast<HTTPListener*>(QxLAllocZeroed(sizeof(HTTPListener)));
        if (listener == nullptr) {
            status = kStatusNoMemory;
        } else {
            listener->socket = kQxInvalidSocket;
            listener->onAccept = OnAccept;
            listener->onClose = OnClose;
            listener->onRequest = OnRequest;
            listener->onSent = OnSent;
            listener->backlog = gService.backlog;
            listener->spanSending = gService.spanSending;
            listener->sendTimeout = gService.sendTimeout;
            listener->clientLimit =
                gService.clientLimit == 0 ? kHTTPNoLimit : gService.clientLimit;
            // Its socket, and its own descriptor of a raw image or drive.
            listener->descriptorsPerConnection = 2;
            gService.unavailable = 0;
            gService.listener = listener;
            status = HTTPListenerStart(listener, SystemPrefersIPv6() ? kHTTPFamilyIPv6 : kHTTPFamilyIPv4);
        }
    }
    if (status != kStatusOK) DiscShareStop();
    return status;
}

QxStatus DiscShareStop() {
    if (gService.listener != nullptr) {
        HTTPListener* listener = gService.listener;
        gService.listener = nullptr;
        HTTPListenerStop(listener);
    }
    QxLObjectRelease(gService.imageList);
    gService.imageList = nullptr;
    QxLFree(gService.serverToken);
    gService.serverToken = nullptr;
    return kStatusOK;
}

QxStatus DiscShareAddImage(const char* displayName, const char* imageName) {
    if (imageName == nullptr) return kStatusBadParameter;
    if (gService.imageList == nullptr) {
        gService.imageList = QxLArrayCreateEmpty();
        if (gService.imageList == nullptr) return kStatusNoMemory;
    }
    QxLDictionaryRef entry = QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks,
                                                     &kQxLObjectValueCallbacks);
    if (entry == nullptr) return kStatusNoMemory;

    QxStatus status = kStatusOK;
    if (displayName != nullptr) {
        status = QxLBuildInto(entry, "%kO=%s", kDiscShareKeyDisplayName, displayName);
    }
    if (status == kStatusOK) {
        status = QxLBuildInto(entry, "%kO=%s", kDiscShareKeyDeviceName, imageName);
    }
    uint8_t uuid[kQxUUIDSize];
    if (status == kStatusOK) status = QxPlatformUUIDCreate(uuid);
    if (status == kStatusOK) {
        char text[64];
        QxLFormatToBuffer(text, sizeof text,
                          "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                          uuid[0], uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7],
                          uuid[8], uuid[9], uuid[10], uuid[11], uuid[12], uuid[13], uuid[14],
                          uuid[15]);
        status = QxLBuildInto(entry, "%kO=%s", kDiscShareKeyImageUUID, text);
    }
    if (status == kStatusOK) status = QxLArrayAppend(gService.imageList, entry);
    QxLObjectRelease(entry);
    return status;
}

QxStatus DiscShareAddFile(const char* displayName, const char* imageName, const char* path) {
    if (path == nullptr || path[0] != '/') return kStatusBadParameter;
    QxStatus status = DiscShareAddImage(displayName, imageName);
    if (status != kStatusOK) return status;
    QxLObjectRef entry =
        QxLArrayGetValueAt(gService.imageList, QxLArrayGetCount(gService.imageList) - 1);
    status = QxLBuildInto(entry, "%kO=%s", kDiscShareKeyPath, path);
    if (status != kStatusOK) DiscShareRemoveImage(imageName);
    return status;
}

QxStatus DiscShareRemoveImage(const char* imageName) {
    if (imageName == nullptr || gService.imageList == nullptr) return kStatusNotFound;
    QxLDictionaryRef entry = nullptr;
    QxStatus status = FindImage(imageName, strlen(imageName), &entry);
    if (status != kStatusOK) return status;
    if (entry == nullptr) return kStatusNotFound;
    // Arrays only grow: the list is made again without the entry.
    QxLArrayRef kept = QxLArrayCreateEmpty();
    if (kept == nullptr) return kStatusNoMemory;
    int32_t count = QxLArrayGetCount(gService.imageList);
    for (int32_t i = 0; i < count && status == kStatusOK; ++i) {
        const void* value = QxLArrayGetValueAt(gService.imageList, i);
        if (value != entry) status = QxLArrayAppend(kept, value);
    }
    if (status != kStatusOK) {
        QxLObjectRelease(kept);
        return status;
    }
    QxLObjectRelease(gService.imageList);
    gService.imageList = kept;
    return kStatusOK;
}

void DiscShareForgetImages() {
    QxLObjectRelease(gService.imageList);
    gService.imageList = nullptr;
    if (gService.listener == nullptr) return;
    for (HTTPConnection* connection = gService.listener->connections; connection != nullptr;
         connection = connection->next) {
        auto* session = static_cast<DiscShareSession*>(connection->userData);
        if (session == nullptr || session->reader == nullptr) continue;
        // A chunk on its way still points into the reader's buffer: keep
        // that alive until the refill fails and the connection closes.
        if (session->response.refillHook != nullptr && session->retiredReader == nullptr) {
            session->retiredReader = session->reader;
        } else {
            DiscImageReaderClose(session->reader);
        }
        session->reader = nullptr;
        session->readerPath[0] = '\0';
    }
}

bool DiscShareHasConnections() {
    return gService.listener != nullptr && HTTPListenerHasConnections(gService.listener);
}

void DiscShareForEachClient(void (*visit)(const DiscShareClientInfo* info, void* context),
                            void* context) {
    if (visit == nullptr || gService.listener == nullptr) return;
    double now = QxRunLoopNow();
    for (HTTPConnection* connection = gService.listener->connections; connection != nullptr;
         connection = connection->next) {
        const auto* session = static_cast<const DiscShareSession*>(connection->userData);
        if (session == nullptr || !session->readReported) continue;
        DiscShareClientInfo info{session->client, nullptr, session->bytesServed,
                                 now - session->openedAt};
        visit(&info, context);
    }
}

const char* DiscShareMessageClient() { return gService.poster; }

uint32_t DiscSharePort() { return gService.listener != nullptr ? gService.listener->port : 0; }
