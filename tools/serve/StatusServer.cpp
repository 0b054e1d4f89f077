// The status server; see StatusServer.h.
//
// It stands on the disc image service's listener and connection layer
// (HTTPListener.h), with a listener of its own: each connection carries one
// exchange (the response head and the body text being sent), made when a
// request has arrived and dropped when it has gone out.
#include "StatusServer.h"

#include <cstring>
#include <ctime>
#include <new>

#include "HTTPListener.h"
#include "QxLMemory.h"

namespace tamsorserve {

struct StatusServer {
    HTTPListener* listener = nullptr;
    StatusSnapshotHook hook = nullptr;
    void* context = nullptr;
    QxRunLoopTimerRef sendSweep = nullptr;
};

namespace {

// What one connection holds: at most one answer.
struct Exchange {
    HTTPMessage response;  // zero-filled by new Exchange()
    std::string body;
    double sendStart = -1;  // run-loop clock, while an answer goes out
};

// The page may run its own script and read status.json; nothing else, and
// nothing from anywhere else.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool IsIPv4(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t end = text.find('.', i);
        if (end == std::string::npos) end = text.size();
        if (end == i || end - i > 3) return false;
        int value = 0;
        for (size_t j = i; j < end; ++j) {
            if (text[j] < '0' || text[j] > '9') return false;
            value = value * 10 + (text[j] - '0');
        }
        if (value > 255) return false;
        ++parts;
        i = end + 1;
    }
    return parts == 4;
}

bool LooksLikeIPv6(const std::string& text) {
    if (text.find(':') == std::string::npos) return false;
    for (char c : text) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return false;
    }
    return true;
}

bool ViewIs(const HTTPTextView& view, const char* text) {
    return view.length == strlen(text) && memcmp(view.bytes, text, view.length) == 0;
}

int64_t WallClockNow() { return static_cast<int64_t>(std::time(nullptr)); }

// Sends code with body (text of type); a HEAD gets the head alone.
QxStatus Answer(HTTPConnection* connection, Exchange* exchange, bool head, unsigned int code,
                const char* type, const std::string* body, const char* policy) {
    HTTPMessage* response = &exchange->response;
    HTTPMessageReset(response);
    QxStatus status = HTTPMessageSetStatusLine(response, code, nullptr);
    if (status == kStatusOK) status = HTTPMessageAddHeader(response, "Content-Type", "%s", type);
    if (status == kStatusOK) {
        status = HTTPMessageAddHeader(response, "Content-Length", "%zu", body->size());
    }
    if (status == kStatusOK) status = HTTPMessageAddHeader(response, "Cache-Control", "no-store");
    if (status == kStatusOK) {
        status = HTTPMessageAddHeader(response, "X-Content-Type-Options", "nosniff");
    }
    if (status == kStatusOK && code == 405) {
        status = HTTPMessageAddHeader(response, "Allow", "GET, HEAD");
    }
    if (status == kStatusOK && policy != nullptr) {
        status = HTTPMessageAddHeader(response, "Content-Security-Policy", "%s", policy);
    }
    if (status == kStatusOK) status = HTTPMessageEndHeaders(response);
    if (status != kStatusOK) return status;
    uint32_t length = head ? 0 : static_cast<uint32_t>(body->size());
    response->bodyReceived = 0;
    response->bodyPointer = length == 0 ? nullptr
                                        : reinterpret_cast<uint8_t*>(const_cast<char*>(body->data()));
    response->bodyCapacity = length;
    response->bodyLength = length;
    response->bodyFileLength = 0;
    exchange->sendStart = QxRunLoopNow();
    return HTTPConnectionSendMessage(connection, response);
}

QxStatus OnAccept(HTTPListener* listener, HTTPConnection* connection, void*) {
    // Refused rather than making room: a page left open somewhere must not
    // be closed by a crowd of others.
    if (listener->connectionCount > kStatusConnectionLimit) return kStatusNoResources;
    connection->userData = new (std::nothrow) Exchange();
    return connection->userData == nullptr ? kStatusNoMemory : kStatusOK;
}

void OnClose(HTTPListener*, HTTPConnection* connection, QxStatus, void*) {
    delete static_cast<Exchange*>(connection->userData);
    connection->userData = nullptr;
}

void OnSent(HTTPListener*, HTTPConnection* connection, void*) {
    auto* exchange = static_cast<Exchange*>(connection->userData);
    if (exchange == nullptr) return;
    exchange->sendStart = -1;
    std::string().swap(exchange->body);
}

QxStatus OnRequest(HTTPListener*, HTTPConnection* connection, HTTPMessage* request,
                   void* context) {
    auto* server = static_cast<StatusServer*>(context);
    auto* exchange = static_cast<Exchange*>(connection->userData);
    if (exchange == nullptr) return kStatusWrongState;
    bool head = ViewIs(request->method, "HEAD");
    if (!head && !ViewIs(request->method, "GET")) {
        exchange->body = "Only GET and HEAD are answered here.\n";
        return Answer(connection, exchange, false, 405, "text/plain; charset=utf-8",
                      &exchange->body, nullptr);
    }
    std::string path(request->target.bytes, request->target.length);
    size_t query = path.find('?');
    if (query != std::string::npos) path.resize(query);
    if (path == "/") {
        // The page never changes: it is sent from where it is.
        return Answer(connection, exchange, head, 200, "text/html; charset=utf-8", &StatusPage(),
                      kPagePolicy);
    }
    if (path != "/status.json" && path != "/metrics") {
        exchange->body = "Not found. This server answers /, /status.json and /metrics.\n";
        return Answer(connection, exchange, head, 404, "text/plain; charset=utf-8",
                      &exchange->body, nullptr);
    }
    StatusSnapshot snapshot;
    snapshot.now = WallClockNow();
    snapshot.loopNow = QxRunLoopNow();
    if (server->hook != nullptr) server->hook(&snapshot, server->context);
    if (path == "/status.json") {
        exchange->body = StatusJson(snapshot);
        return Answer(connection, exchange, head, 200, "application/json", &exchange->body,
                      nullptr);
    }
    exchange->body = StatusMetrics(snapshot);
    return Answer(connection, exchange, head, 200, "text/plain; version=0.0.4; charset=utf-8",
                  &exchange->body, nullptr);
}

// Closes connections whose answer has been going out too long: a reader
// that stopped reading would otherwise keep its connection for good.
void SweepStalled(QxRunLoopTimerRef, void* info) {
    auto* server = static_cast<StatusServer*>(info);
    double now = QxRunLoopNow();
    for (bool again = true; again;) {
        again = false;
        for (HTTPConnection* c = server->listener->connections; c != nullptr; c = c->next) {
            auto* exchange = static_cast<Exchange*>(c->userData);
            if (c->closed || exchange == nullptr || exchange->sendStart < 0 ||
                now - exchange->sendStart < kStatusSendTimeout) {
                continue;
            }
            HTTPConnectionClose(c, kStatusTimeout);
            again = true;
            break;
        }
    }
}

}  // namespace

bool ParseStatusAddress(const std::string& text, std::string* address, int* family,
                        uint16_t* port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || colon + 6 < text.size()) {
        return false;
    }
    unsigned long value = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (value > 65535) return false;
    std::string host = text.substr(0, colon);
    int kind = 0;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!LooksLikeIPv6(host)) return false;
        kind = kQxNetFamilyIPv6;
    } else if (IsIPv4(host)) {
        kind = kQxNetFamilyIPv4;
    } else {
        return false;
    }
    *address = host;
    *family = kind;
    *port = static_cast<uint16_t>(value);
    return true;
}

QxStatus StatusServerStart(const std::string& address, int family, uint16_t port,
                           StatusSnapshotHook hook, void* context, StatusServer** result) {
    if (result == nullptr) return kStatusBadParameter;
    auto* server = new (std::nothrow) StatusServer();
    if (server == nullptr) return kStatusNoMemory;
    server->hook = hook;
    server->context = context;
    server->listener = static_cast<HTTPListener*>(QxLAllocZeroed(sizeof(HTTPListener)));
    if (server->listener == nullptr) {
        delete server;
        return kStatusNoMemory;
    }
    HTTPListener* listener = server->listener;
    listener->socket = kQxInvalidSocket;
    listener->port = port;
    listener->address = address.c_str();
    listener->hookContext = server;
    listener->onAccept = OnAccept;
    listener->onClose = OnClose;
    listener->onRequest = OnRequest;
    listener->onSent = OnSent;
    listener->headTimeout = kStatusHeadTimeout;
    listener->idleTimeout = kStatusIdleTimeout;
    // Above the limit of OnAccept, so that the listener never closes a
    // connection to make room.
    listener->connectionLimit = 2 * kStatusConnectionLimit;
    // Nor for another connection of the same address: the page is looked at
    // from a few places at most, and each is refused in OnAccept instead.
    listener->clientLimit = kHTTPNoLimit;
    QxStatus status = HTTPListenerStart(listener, family);
    listener->address = nullptr;
    if (status != kStatusOK) {
        QxLFree(listener);
        delete server;
        return status;
    }
    QxRunLoopTimerContext timerContext{0, server, nullptr, nullptr, nullptr};
    server->sendSweep = QxRunLoopTimerCreate(QxRunLoopNow() + 1, 1, &timerContext, SweepStalled);
    if (server->sendSweep == nullptr) {
        StatusServerStop(server);
        return kStatusNoMemory;
    }
    QxRunLoopAddTimer(QxRunLoopGetMain(), server->sendSweep);
    *result = server;
    return kStatusOK;
}

uint16_t StatusServerPort(const StatusServer* server) {
    return server == nullptr || server->listener == nullptr
               ? 0
               : static_cast<uint16_t>(server->listener->port);
}

void StatusServerStop(StatusServer* server) {
    if (server == nullptr) return;
    if (server->sendSweep != nullptr) {
        QxRunLoopTimerInvalidate(server->sendSweep);
        QxLObjectRelease(server->sendSweep);
    }
    HTTPListenerStop(server->listener);
    delete server;
}

}  // namespace tamsorserve
