// tamsor-health: whether a tamsor-serve is up, asked of its status page; the
// health check of the container image (a program of the image: no shell,
// no curl).
//
//   tamsor-health [--timeout SECONDS] [URL]
//
//   URL        http://ADDRESS:PORT/PATH with a numeric IPv4 address
//              (default http://127.0.0.1:7780/status.json)
//   --timeout  the one deadline of the whole exchange, 1 to 600 s (5)
//
// Exit codes: 0 when the answer is 200 and its body says "up":true; 1 when
// the connection is refused, nothing whole comes back before the deadline,
// the status is another or the boot services are down (one line on
// standard error says which); 2 for bad usage.
//
// Connecting, sending and reading all wait in the run loop under that one
// deadline, never in a blocking call, so a server that accepts and then
// says nothing cannot hold the check. Not here: names, IPv6, HTTPS,
// redirects.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QxLObject.h"
#include "QxPlatformNet.h"
#include "QxPlatformRunLoop.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"

namespace {

constexpr const char* kDefaultUrl = "http://127.0.0.1:7780/status.json";
constexpr unsigned kDefaultTimeout = 5;
// More than any status page of ours; a longer answer is not one.
constexpr size_t kMaxAnswer = 4u << 20;

struct Exchange {
    QxSocketHandle handle = kQxInvalidSocket;
    std::string request;
    size_t sent = 0;
    std::string answer;
    std::string failure;  // empty while all goes well
    volatile bool done = false;
};

// http://A.B.C.D:PORT/PATH into the address's bytes, the port, "A.B.C.D:PORT"
// (the Host field) and the path ("/" when none).
bool ParseUrl(const char* url, uint8_t address[4], uint16_t* port, std::string* host,
              std::string* path) {
    const char* p = url;
    if (strncmp(p, "http://", 7) != 0) return false;
    p += 7;
    const char* hostStart = p;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p++ - '0');
            if (value > 255) return false;
        }
        address[i] = static_cast<uint8_t>(value);
        if (i < 3 && *p++ != '.') return false;
    }
    if (*p++ != ':' || *p < '0' || *p > '9') return false;
    unsigned long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<unsigned long>(*p++ - '0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    *port = static_cast<uint16_t>(value);
    host->assign(hostStart, p);
    *path = *p == '\0' ? "/" : p;
    return (*path)[0] == '/' && path->find_first_of(" \r\n") == std::string::npos;
}

void Finish(Exchange& exchange, const std::string& failure) {
    if (exchange.failure.empty()) exchange.failure = failure;
    exchange.done = true;
}

void OnSocket(QxSocketRef socket, uint32_t types, const void*, const void*, void* info) {
    Exchange& exchange = *static_cast<Exchange*>(info);
    if (exchange.done) return;
    QxSocketHandle handle = exchange.handle;
    if ((types & kQxSocketWriteCallback) != 0 && exchange.sent < exchange.request.size()) {
        QxNetBuffer buffer{};
        buffer.pointer = &exchange.request[exchange.sent];
        buffer.length = exchange.request.size() - exchange.sent;
        size_t sent = 0;
        QxStatus status = QxPlatformNetSendGather(handle, &buffer, 1, &sent);
        if (status == kQxErrorWouldBlock) {
            sent = 0;
        } else if (status != kStatusOK) {
            return Finish(exchange, "cannot send the request (the server is not listening?)");
        }
        exchange.sent += sent;
        if (exchange.sent < exchange.request.size()) {
            QxSocketEnableCallbacks(socket, kQxSocketWriteCallback);
        }
    }
    if ((types & kQxSocketReadCallback) == 0) return;
    char buffer[16384];
    for (;;) {
        size_t received = 0;
        QxStatus status = QxPlatformNetReceive(handle, buffer, sizeof buffer, false, &received);
        if (status == kQxErrorWouldBlock) return;
        if (status != kStatusOK) {
            return Finish(exchange, "no answer (the server is not listening?)");
        }
        if (received == 0) return Finish(exchange, "");
        exchange.answer.append(buffer, received);
        if (exchange.answer.size() > kMaxAnswer) {
            return Finish(exchange, "an answer far too long");
        }
    }
}

// 0 when the answer says the server is up, else 1 with the reason written.
int Judge(const Exchange& exchange, const char* url) {
    if (!exchange.failure.empty()) {
        fprintf(stderr, "tamsor-health: %s: %s\n", url, exchange.failure.c_str());
        return 1;
    }
    const std::string& answer = exchange.answer;
    size_t headEnd = answer.find("\r\n\r\n");
    size_t lineEnd = answer.find("\r\n");
    if (headEnd == std::string::npos || answer.compare(0, 5, "HTTP/") != 0) {
        fprintf(stderr, "tamsor-health: %s: the answer is no HTTP answer\n", url);
        return 1;
    }
    std::string statusLine = answer.substr(0, lineEnd);
    size_t space = statusLine.find(' ');
    if (space == std::string::npos || statusLine.compare(space + 1, 3, "200") != 0) {
        fprintf(stderr, "tamsor-health: %s: %s\n", url, statusLine.c_str());
        return 1;
    }
    // The status page writes its JSON without spaces between members.
    if (answer.find("\"up\":true", headEnd) == std::string::npos) {
        fprintf(stderr, "tamsor-health: %s: the boot services are not up\n", url);
        return 1;
    }
    return 0;
}

int Usage() {
    fprintf(stderr, "usage: tamsor-health [--timeout SECONDS] [URL]\n"
                    "  URL  http://ADDRESS:PORT/PATH, numeric IPv4 (default %s)\n",
            kDefaultUrl);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* url = kDefaultUrl;
    unsigned timeout = kDefaultTimeout;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char* end = nullptr;
            unsigned long value = strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || value < 1 || value > 600) return Usage();
            timeout = static_cast<unsigned>(value);
        } else if (argv[i][0] != '-' && url == kDefaultUrl) {
            url = argv[i];
        } else {
            return Usage();
        }
    }
    uint8_t bytes[4];
    uint16_t port = 0;
    std::string host, path;
    if (!ParseUrl(url, bytes, &port, &host, &path)) return Usage();

    Exchange exchange;
    exchange.request = "GET " + path + " HTTP/1.1\r\nHost: " + host +
                       "\r\nConnection: close\r\nUser-Agent: tamsor-health\r\n\r\n";
    double deadline = QxPlatformClockNow() + timeout;
    if (QxPlatformSocketStartup() != kStatusOK || QxRunLoopEnsureInitialized() != kStatusOK) {
        fprintf(stderr, "tamsor-health: cannot start the socket layer or the run loop\n");
        return 1;
    }
    QxSocketHandle& handle = exchange.handle;
    QxNetAddress address{};
    QxPlatformNetMakeIPv4(bytes, port, &address);
    QxStatus status = QxPlatformNetStreamSocket(kQxNetFamilyIPv4, &handle);
    if (status == kStatusOK) status = QxPlatformSocketSetNonBlocking(handle);
    if (status == kStatusOK) {
        status = QxPlatformNetConnect(handle, address.bytes, address.length);
        if (status == kQxErrorWouldBlock) status = kStatusOK;  // connecting
    }
    if (status != kStatusOK) {
        if (handle != kQxInvalidSocket) QxPlatformSocketClose(handle);
        Finish(exchange, "cannot connect (error " + std::to_string(status) + ")");
    } else {
        QxSocketContext context{0, &exchange, nullptr, nullptr, nullptr};
        QxSocketRef socket = QxSocketCreate(handle, kQxSocketReadCallback | kQxSocketWriteCallback,
                                            OnSocket, &context);
        QxRunLoopSourceRef source = socket ? QxSocketCreateRunLoopSource(socket) : nullptr;
        if (source == nullptr) {
            Finish(exchange, "out of memory");
        } else {
            QxRunLoopAddSource(QxRunLoopGetMain(), source);
            if (QxRunLoopPumpRunUntil(&exchange.done, deadline) == kStatusTimeout) {
                Finish(exchange, "no whole answer within " + std::to_string(timeout) + " s");
            }
        }
        if (socket != nullptr) QxSocketInvalidate(socket);
        if (source != nullptr) QxLObjectRelease(source);
        if (socket != nullptr) QxLObjectRelease(socket);
        if (socket == nullptr) QxPlatformSocketClose(handle);
    }
    int result = Judge(exchange, url);
    QxRunLoopShutdown();
    QxPlatformSocketCleanup();
    return result;
}
