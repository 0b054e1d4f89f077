// The HTTP message: head parsing, header lookup and response head writing.
//
// A head is parsed in place: method, target and version become views into
// the message's own text, nothing is copied or unfolded. The parser reads
// only what an HTTP/1.x server needs (start line, Connection,
// Content-Length); every other header is looked up on demand by whoever
// wants it. Heads come from the network, so every scan stops at the NUL
// that ends the text, and a start line must end in its own line.
//
// Accepted start lines:
//   request   METHOD SP TARGET SP VERSION CRLF      e.g. GET /CdRom0.dmg HTTP/1.1
//   status    VERSION SP CODE SP REASON CRLF        e.g. HTTP/1.1 206 Partial Content
//   frame     '$' channel length-high length-low    exactly 4 bytes, no line at all
// A line ends at CR, LF or NUL; its break is an optional CR and an optional LF.
#include "HTTPMessage.h"

#include <climits>
#include <cstring>

#include "QxLFormat.h"
#include "QxLScan.h"

namespace {

constexpr char kEmptyText[] = "";

bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

HTTPTextView EmptyView() { return HTTPTextView{kEmptyText, 0}; }

HTTPTextView MakeView(const char* from, const char* to) {
    return HTTPTextView{from, static_cast<size_t>(to - from)};
}

int32_t ViewLength(const HTTPTextView& view) { return static_cast<int32_t>(view.length); }

const char* SkipToLineEnd(const char* p) {
    while (!IsLineEnd(*p)) ++p;
    return p;
}

// Steps over the break behind a line: one optional CR, then one optional LF.
const char* SkipLineBreak(const char* p) {
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
    return p;
}

// Scans a token up to `stop`; null if the line (or the text) ends first.
const char* FindInLine(const char* p, char stop) {
    while (*p != stop) {
        if (IsLineEnd(*p)) return nullptr;
        ++p;
    }
    return p;
}

bool LineHasName(const char* line, const char* lineEnd, const char* name, size_t nameLength) {
    if (static_cast<size_t>(lineEnd - line) <= nameLength || line[nameLength] != ':') return false;
    for (size_t i = 0; i < nameLength; ++i) {
        if (FoldCase(line[i]) != FoldCase(name[i])) return false;
    }
    return true;
}

// Parses the request or status line. On success *lineEnd is the CR, LF or
// NUL that ends it.
QxStatus ParseStartLine(HTTPMessage* message, const char** lineEnd) {
    const char* text = message->text;
    const char* p = text;
    while (*p != ' ' && *p != '/') {
        // A first line without a space or "/" is not HTTP; scanning on into
        // the header lines would make a method out of them.
        if (IsLineEnd(*p)) return kStatusMalformed;
        ++p;
    }
    if (*p == ' ') {
        message->method = MakeView(text, p);
        const char* target = p + 1;
        const char* targetEnd = FindInLine(target, ' ');
        if (targetEnd == nullptr) return kStatusMalformed;
        message->target = MakeView(target, targetEnd);
        const char* version = targetEnd + 1;
        *lineEnd = SkipToLineEnd(version);
        message->version = MakeView(version, *lineEnd);
    } else {
        const char* versionEnd = FindInLine(text, ' ');
        if (versionEnd == nullptr) return kStatusMalformed;
        message->version = MakeView(text, versionEnd);
        *lineEnd = SkipToLineEnd(versionEnd);
    }
    return kStatusOK;
}

// Reads the decimal Content-Length. QxLScan's "%u" would take a sign and
// wrap values over 32 bits; a wrapped length would make part of the body
// the next request, so such a head is refused instead.
QxStatus ParseContentLength(HTTPMessage* message) {
    const char* digits = nullptr;
    int32_t count = 0;
    if (HTTPScanHeader(message->text, "Content-Length", " %&[0123456789]", &digits, &count) != 1) {
        return kStatusOK;  // absent or not starting with a digit: no body
    }
    uint64_t value = 0;
    for (int32_t i = 0; i < count; ++i) {
        value = value * 10 + static_cast<uint64_t>(digits[i] - '0');
        if (value > UINT32_MAX) return kStatusOutOfRange;
    }
    message->contentLength = static_cast<uint32_t>(value);
    return kStatusOK;
}

// Reason phrases: the HTTP/1.1 set with the RTSP additions.
struct Reason {
    unsigned int code;
    const char* text;
};
constexpr Reason kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {250, "Low on Storage Space"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {350, "Going Away"},
    {351, "Load Balancing"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {451, "Parameter Not Understood"},
    {452, "Conference Not Found"},
    {453, "Not Enough Bandwidth"},
    {454, "Session Not Found"},
    {455, "Method Not Valid In This State"},
    {456, "Header Field Not Valid"},
    {457, "Invalid Range"},
    {458, "Parameter Is Read-Only"},
    {459, "Aggregate Operation Not Allowed"},
    {460, "Only Aggregate Operation Allowed"},
    {461, "Unsupported Transport"},
    {462, "Destination Unreachable"},
    {463, "Destination Prohibited"},
    {464, "Data Transport Not Ready Yet"},
    {470, "Connection Authorization Required"},
    {471, "Connection Credentials not accepted"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "Version Not Supported"},
    {551, "Option Not Supported"},
};
static_assert(sizeof kReasons / sizeof kReasons[0] == 60);

void ClearParsedFields(HTTPMessage* message) {
    message->method = EmptyView();
    message->target = EmptyView();
    message->version = EmptyView();
    message->contentLength = 0;
    message->keepAlive = false;
}

QxStatus ParseHead(HTTPMessage* message) {
    if (message->length >= kHTTPMessageTextSize) return kStatusBadSize;
    if (message->text[message->length] != '\0') return kStatusMalformed;

    const char* text = message->text;
    if (message->length == 4 && text[0] == '$') {
        const auto* bytes = reinterpret_cast<const uint8_t*>(text);
        message->method = MakeView(text, text + 1);
        message->contentLength = static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
        return kStatusOK;
    }

    const char* lineEnd = nullptr;
    QxStatus status = ParseStartLine(message, &lineEnd);
    if (status != kStatusOK) return status;
    if (*lineEnd == '\0' || lineEnd[1] == '\0') return kStatusMalformed;

    const char* value = nullptr;
    size_t valueLength = 0;
    if (HTTPFindHeader(text, "Connection", &value, &valueLength) == kStatusOK) {
        message->keepAlive = QxLCompareCountedNoCase("close", value, static_cast<int32_t>(valueLength)) != 0;
    } else {
        message->keepAlive =
            QxLCompareCountedNoCase("HTTP/1.0", message->version.bytes, ViewLength(message->version)) != 0;
    }

    // A HEAD request announces the length of the body a GET would get, but
    // carries none.
    if (QxLCompareCountedNoCase("HEAD", message->method.bytes, ViewLength(message->method)) == 0) {
        return kStatusOK;
    }
    return ParseContentLength(message);
}

}  // namespace

QxStatus HTTPMessageParseHead(HTTPMessage* message) {
    if (message == nullptr) return kStatusBadParameter;
    ClearParsedFields(message);
    QxStatus status = ParseHead(message);
    // No half-parsed request is left behind.
    if (status != kStatusOK) ClearParsedFields(message);
    return status;
}

void HTTPMessageReset(HTTPMessage* message) {
    if (message == nullptr) return;
    message->length = 0;
    message->text[0] = '\0';
    message->refillHook = nullptr;
    message->bodyFileLength = 0;
}

QxStatus HTTPFindHeader(const char* text, const char* name, const char** value, size_t* valueLength) {
    if (text == nullptr || name == nullptr) return kStatusBadParameter;
    const size_t nameLength = std::strlen(name);
    for (const char* line = text; *line != '\0';) {
        const char* lineEnd = SkipToLineEnd(line);
        if (LineHasName(line, lineEnd, name, nameLength)) {
            const char* start = line + nameLength + 1;
            while (*start == ' ' || *start == '\t') ++start;
            const char* end = SkipToLineEnd(start);
            for (;;) {
                const char* next = SkipLineBreak(end);
                if (next == end || (*next != ' ' && *next != '\t')) break;
                end = SkipToLineEnd(next);
            }
            if (value != nullptr) *value = start;
            if (valueLength != nullptr) *valueLength = static_cast<size_t>(end - start);
            return kStatusOK;
        }
        const char* next = SkipLineBreak(lineEnd);
        if (next == lineEnd) break;  // the NUL
        line = next;
    }
    return kStatusNotFound;
}

int HTTPScanHeaderV(const char* text, const char* name, const char* format, va_list arguments) {
    const char* value = nullptr;
    size_t valueLength = 0;
    QxStatus status = HTTPFindHeader(text, name, &value, &valueLength);
    if (status != kStatusOK) return status;
    // A head is at most 8191 bytes, so the value's length fits.
    return QxLScanV(value, static_cast<int32_t>(valueLength), format, arguments);
}

int HTTPScanHeader(const char* text, const char* name, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int result = HTTPScanHeaderV(text, name, format, arguments);
    va_end(arguments);
    return result;
}

QxStatus HTTPMessageSetStatusLine(HTTPMessage* message, unsigned int code, const char* reason) {
    if (message == nullptr) return kStatusBadParameter;
    if (reason == nullptr) {
        reason = HTTPStatusReason(code);
        if (*reason == '\0') return kStatusNotFound;
    }
    int written = QxLFormatToBuffer(message->text, kHTTPMessageTextSize, "%s %u %s\r\n", "HTTP/1.1", code, reason);
    if (written < 1 || static_cast<size_t>(written) >= kHTTPMessageTextSize) {
        // The old text is gone already; leave an empty message rather than a
        // length that points into a cut line.
        message->length = 0;
        message->text[0] = '\0';
        return kStatusBufferTooSmall;
    }
    message->length = static_cast<uint32_t>(written);
    return kStatusOK;
}

QxStatus HTTPMessageAddHeader(HTTPMessage* message, const char* name, const char* format, ...) {
    if (message == nullptr || name == nullptr || format == nullptr) return kStatusBadParameter;
    if (message->length == 0) return kStatusNoData;
    if (message->length >= kHTTPMessageTextSize) return kStatusBufferTooSmall;

    const size_t space = kHTTPMessageTextSize - message->length;
    char* end = message->text + message->length;
    va_list arguments;
    va_start(arguments, format);
    int written = QxLFormatToBuffer(end, space, "%s: %V\r\n", name, format, &arguments);
    va_end(arguments);
    if (written < 1 || static_cast<size_t>(written) >= space) {
        *end = '\0';  // the cut line stays behind the NUL, to be overwritten
        return kStatusBufferTooSmall;
    }
    message->length += static_cast<uint32_t>(written);
    return kStatusOK;
}

QxStatus HTTPMessageEndHeaders(HTTPMessage* message) {
    if (message == nullptr) return kStatusBadParameter;
    if (message->length == 0) return kStatusNoData;
    if (message->length >= kHTTPMessageTextSize || kHTTPMessageTextSize - message->length < 3) {
        return kStatusBufferTooSmall;
    }
    char* end = message->text + message->length;
    end[0] = '\r';
    end[1] = '\n';
    end[2] = '\0';
    message->length += 2;
    return kStatusOK;
}

const char* HTTPStatusReason(unsigned int code) {
    for (const Reason& reason : kReasons) {
        if (reason.code == code) return reason.text;
    }
    return kEmptyText;
}
