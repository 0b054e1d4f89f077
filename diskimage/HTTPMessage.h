// The text-level HTTP/1.1 layer of the disc image server: one fixed-size
// message that is both the request being received and the response being
// built, head parsing, header lookup, response head writing, reason
// phrases, the HTTP date and the Range header parser.
//
// Nothing here does I/O or allocates: the listener fills and sends
// messages, the request handler interprets and builds them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

// Size of a message's head buffer, the NUL included: a head holds at most
// 8191 bytes of text.
inline constexpr size_t kHTTPMessageTextSize = 8192;
// Size of the buffer HTTPFormatDate writes into.
inline constexpr size_t kHTTPDateBufferSize = 32;

// A view of bytes inside a message's text (not NUL-terminated).
struct HTTPTextView {
    const char* bytes;
    size_t length;
};

struct HTTPConnection;
struct HTTPMessage;

// Called by the send pump each time the current body chunk has gone out; it
// sets the next chunk (bodyPointer, bodyLength) or leaves bodyLength 0 to end
// the body. A non-zero status closes the connection.
using HTTPRefillHook = QxStatus (*)(HTTPConnection* connection, HTTPMessage* message, void* context);

// Zero-filled when created. The views point into `text` (or at a constant
// empty text) and stay valid until the message is reset or rewritten.
struct HTTPMessage {
    char text[kHTTPMessageTextSize];  // head text, NUL at text[length]
    uint32_t length;                  // bytes of text in use, NUL excluded
    uint8_t* bodyPointer;             // request: body buffer; response: body bytes (not owned)
    uint32_t bodyCapacity;            // request: body buffer size; response: current chunk length
    uint32_t bodyReceived;            // request: body bytes received; response: 0
    uint32_t bodyLength;              // request: bytes still to receive; response: bytes to send
    HTTPTextView method;              // request method ("$" for a frame header)
    HTTPTextView target;              // request target as sent
    HTTPTextView version;             // "HTTP/1.1" of a request or status line
    uint32_t contentLength;           // body length announced by the head
    bool keepAlive;                   // the connection stays open after this exchange
    HTTPRefillHook refillHook;
    void* hookContext;
    // Response only: a span of an open file sent after the memory chunk,
    // straight from the file cache where the system can (see
    // HTTPConnectionSendMessage). No span while bodyFileLength is 0.
    QxDeviceHandle bodyFile;
    uint64_t bodyFileOffset;
    uint64_t bodyFileLength;
};

// Sets length to 0 (and the text to empty) and clears the refill hook and
// any file span; the other fields are left as they are. A null message is
// ignored.
void HTTPMessageReset(HTTPMessage* message);

// Parses the head held in text/length: request line or status line,
// keepAlive and contentLength. A text of exactly 4 bytes beginning with "$"
// is an interleaved frame header: method "$", contentLength from bytes 2-3
// (big-endian), keepAlive false.
// kStatusBadParameter: null message. kStatusBadSize: length >= 8192.
// kStatusMalformed: no NUL at text[length], a start line without its
// spaces, or a start line with nothing behind it. kStatusOutOfRange: a
// Content-Length that does not fit in 32 bits.
QxStatus HTTPMessageParseHead(HTTPMessage* message);

// Finds the header `name` (case-insensitive, colon right behind the name) in
// the NUL-terminated head text; every line is a candidate, the start line
// included. The value starts behind the colon and any spaces and tabs and
// runs to the end of the line, extended over continuation lines (lines
// beginning with a space or tab) with their breaks kept. value and
// valueLength may be null; they are written only on success.
// kStatusNotFound: no such header. kStatusBadParameter: null text or name.
QxStatus HTTPFindHeader(const char* text, const char* name, const char** value, size_t* valueLength);

// Finds the header and scans its value with QxLScan's format and outputs.
// Returns the number of conversions made, or the (negative) lookup status.
int HTTPScanHeader(const char* text, const char* name, const char* format, ...);
int HTTPScanHeaderV(const char* text, const char* name, const char* format, va_list arguments);

// Writes "HTTP/1.1 <code> <reason>\r\n" from the start of the text,
// discarding what it held. A null reason is looked up with
// HTTPStatusReason; an unknown code then gives kStatusNotFound and nothing
// is written. A line that does not fit gives kStatusBufferTooSmall and
// leaves the message empty (length 0).
QxStatus HTTPMessageSetStatusLine(HTTPMessage* message, unsigned int code, const char* reason);

// Appends "<name>: <value>\r\n" where the value is `format` with its
// arguments formatted by QxLFormat (all its conversions). kStatusNoData: no
// start line yet. kStatusBufferTooSmall: the line does not fit; length and
// the NUL at text[length] stay as they were.
QxStatus HTTPMessageAddHeader(HTTPMessage* message, const char* name, const char* format, ...);

// Appends the empty line that ends the head. kStatusNoData: no start line
// yet. kStatusBufferTooSmall: fewer than 3 bytes left.
QxStatus HTTPMessageEndHeaders(HTTPMessage* message);

// The reason phrase of a status code ("Not Found"), or "" for a code
// without one. The text is static.
const char* HTTPStatusReason(unsigned int code);

// Writes the current time as an HTTP date ("Sun, 06 Dec 2026 21:33:12 GMT")
// into buffer, which holds kHTTPDateBufferSize bytes; returns buffer.
char* HTTPFormatDate(char* buffer);
// The same for a given time in seconds since 1970-01-01 00:00:00 UTC.
char* HTTPFormatDateAt(char* buffer, int64_t secondsSince1970);
// The same time as an Internet timestamp in UTC ("2026-12-06T21:33:12Z"),
// into a buffer of kHTTPDateBufferSize bytes; returns buffer.
char* HTTPFormatTimestampAt(char* buffer, int64_t secondsSince1970);

// Parses a Range header value of `length` bytes (negative: NUL-terminated)
// into start and end, signed and end-exclusive; end -1 means to the end of
// the image, and a negative start is a suffix (the last -start bytes). Only
// the first range of a list is read; bytes after it are ignored.
//   "bytes=A-B" -> A, B + 1     "bytes=A-" -> A, -1     "bytes=-N" -> -N, -1
// kStatusUnderrun: shorter than "bytes=" or nothing behind it.
// kStatusUnexpectedType: no "bytes=" (case-sensitive).
// kStatusNoProgress: a position without digits (an open end may be
// followed by "," or white space).
// kStatusMalformed: no "-" behind the first position.
// kStatusOutOfRange: A > B, a zero suffix, or a number from 2^63 - 1 on.
// kStatusBadParameter: null text or outputs. start and end are written
// only on success.
QxStatus HTTPParseRange(int32_t length, const char* text, int64_t* start, int64_t* end);
