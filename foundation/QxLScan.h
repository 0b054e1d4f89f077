// Scanning of counted text with reference captures (QxLScan) and the small
// text helpers around it: URL splitting, base64, dotted IPv4, packed
// versions, coded key/value lists, UUID text, bounded compare and copy.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "QxLStatus.h"

// Scans counted text (length -1: NUL-terminated) and returns the number of
// conversions assigned. Stops at the first mismatch or the end of input.
int QxLScan(const char* text, int32_t length, const char* format, ...);
int QxLScanV(const char* text, int32_t length, const char* format, va_list arguments);

// The parts of a URL as (pointer, length) pairs into the text; an absent
// part has a null pointer and length 0.
struct QxLURLPart {
    const char* bytes;
    size_t length;
};
struct QxLURLParts {
    QxLURLPart scheme;
    QxLURLPart user;
    QxLURLPart password;
    QxLURLPart host;      // keeps any ":port"
    QxLURLPart path;
    QxLURLPart query;
    QxLURLPart fragment;
};
// Splits the URL between text and end (null end: NUL-terminated). Always 0.
QxStatus QxLSplitURL(const char* text, const char* end, QxLURLParts* parts);

// Decodes standard base64 into a malloc'd NUL-terminated buffer of
// ((length + 3) / 4) * 3 + 1 bytes (freed with free()). White space is
// skipped, '=' ends the text, any other byte outside the alphabet gives
// kStatusBadCharacter. decodedLength (may be null) receives the byte count.
QxStatus QxLBase64Decode(int32_t length, const char* text, uint8_t** bytes,
                         size_t* decodedLength = nullptr);

// "a.b.c.d" with optional ":port" and "/prefix" (checked, not returned);
// *address = a << 24 | b << 16 | c << 8 | d.
QxStatus QxLParseIPv4(const char* text, uint32_t* address);

// A version text such as "1.2.3b4" as a packed 32-bit version
// (major << 24 | minor << 20 | bugfix << 16 | stage << 8 | revision).
// length -1: NUL-terminated.
QxStatus QxLParseVersion(int32_t length, const char* text, uint32_t* version);

// Appends "CODE=value" (',' before it unless offset is 0; ',' and '\' in the
// value escaped with '\') to a 256-byte list buffer. kStatusNoMemory when it
// would not fit, writing nothing.
inline constexpr size_t kQxLCodedPairBufferSize = 256;
QxStatus QxLAppendCodedPair(const char* value, uint32_t offset, uint32_t code,
                            char* buffer, uint32_t* newLength);

// Writes the 16 bytes in memory order as 8-4-4-4-12 lower-case hex (36
// characters and a NUL, so text holds 37 bytes) and returns text.
char* QxLUUIDToText(const uint8_t* uuid16, char* text);

// 0 if the NUL-terminated prefix is matched by the first bytes of the
// counted text (length -1: unbounded); non-zero otherwise.
int QxLHasPrefix(const char* prefix, const char* text, int32_t length);
// 0 if the NUL-terminated string equals the counted text; else -1 or 1 by
// the text's byte at the first difference (-1 if the text is a proper prefix).
int QxLCompareCounted(const char* string, const char* text, int32_t length);
int QxLCompareCountedNoCase(const char* string, const char* text, int32_t length);
// Copies at most size - 1 bytes and always a NUL (size >= 1); returns the
// source length, so a result >= size means the copy was cut.
size_t QxLCopyBounded(char* destination, const char* source, size_t size);
