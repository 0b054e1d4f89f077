// Small text helpers that sit beside the scanner: URL splitting, base64
// decoding, dotted IPv4 and packed version parsing, coded key/value lists,
// UUID text, and bounded compare / copy.
//
// Everything here works on caller-owned bytes and returns references or
// writes into caller buffers; only base64 decoding allocates. No helper
// validates more than it has to: the URL splitter, for one, never rejects
// anything, it only cuts the text at its delimiters.
#include <cstring>

#include "QxLMemory.h"
#include "QxLScan.h"
#include "QxLTextInternal.h"

namespace {

bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
uint8_t FoldCase(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c; }

// First byte in [from, end) that is one of `stops`, or end.
const char* FindAny(const char* from, const char* end, const char* stops) {
    while (from < end && std::strchr(stops, *from) == nullptr) ++from;
    return from;
}

QxLURLPart MakePart(const char* from, const char* to) {
    return QxLURLPart{from, static_cast<size_t>(to - from)};
}

// Decimal digits at *cursor (up to end); the value saturates at `ceiling` + 1
// so that an over-long number reads as too large instead of wrapping.
// Returns the number of digits taken.
size_t ReadDecimal(const char** cursor, const char* end, uint32_t ceiling, uint32_t* value) {
    const char* p = *cursor;
    uint32_t accumulated = 0;
    while (p < end && IsDigit(static_cast<uint8_t>(*p))) {
        if (accumulated <= ceiling) accumulated = accumulated * 10 + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    size_t taken = static_cast<size_t>(p - *cursor);
    *cursor = p;
    *value = accumulated > ceiling ? ceiling + 1 : accumulated;
    return taken;
}

int CompareCounted(const char* string, const char* text, int32_t length, bool foldCase) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(string);
    const uint8_t* t = reinterpret_cast<const uint8_t*>(text);
    for (size_t i = 0;; ++i) {
        if (length >= 0 && i == static_cast<size_t>(length)) return s[i] == '\0' ? 0 : -1;
        uint8_t a = foldCase ? FoldCase(s[i]) : s[i];
        uint8_t b = foldCase ? FoldCase(t[i]) : t[i];
        if (a != b) return b < a ? -1 : 1;
        if (a == '\0') return 0;
    }
}

}  // namespace

int QxLBase64Value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// URL layout, each part a (pointer, length) into the text:
//
//   scheme ":" [ "//" [ user [ ":" password ] "@" ] host ] path [ "?" query ] [ "#" fragment ]
//
// A part whose delimiter is missing is absent (null, 0); an empty path is
// absent too. The host keeps any ":port".
QxStatus QxLSplitURL(const char* text, const char* end, QxLURLParts* parts) {
    if (parts == nullptr) return kStatusOK;
    *parts = QxLURLParts{};
    if (text == nullptr) return kStatusOK;
    if (end == nullptr) end = text + std::strlen(text);

    const char* rest = text;
    const char* delimiter = FindAny(text, end, ":#/?");
    if (delimiter < end && *delimiter == ':') {
        parts->scheme = MakePart(text, delimiter);
        rest = delimiter + 1;
    }

    if (end - rest >= 2 && rest[0] == '/' && rest[1] == '/') {
        const char* authority = rest + 2;
        const char* authorityEnd = FindAny(authority, end, "#/?");
        const char* at = FindAny(authority, authorityEnd, "@");
        if (at < authorityEnd) {
            const char* colon = FindAny(authority, at, ":");
            parts->user = MakePart(authority, colon);
            if (colon < at) parts->password = MakePart(colon + 1, at);
            parts->host = MakePart(at + 1, authorityEnd);
        } else {
            parts->host = MakePart(authority, authorityEnd);
        }
        rest = authorityEnd;
    }

    const char* pathEnd = FindAny(rest, end, "?#");
    if (pathEnd > rest) parts->path = MakePart(rest, pathEnd);
    rest = pathEnd;
    if (rest < end && *rest == '?') {
        const char* queryEnd = FindAny(rest + 1, end, "#");
        parts->query = MakePart(rest + 1, queryEnd);
        rest = queryEnd;
    }
    if (rest < end && *rest == '#') parts->fragment = MakePart(rest + 1, end);
    return kStatusOK;
}

QxStatus QxLBase64Decode(int32_t length, const char* text, uint8_t** bytes, size_t* decodedLength) {
    if (bytes == nullptr || (text == nullptr && length != 0)) return kStatusBadParameter;
    size_t count = length < 0 ? std::strlen(text) : static_cast<size_t>(length);

    uint8_t* output = static_cast<uint8_t*>(QxLAlloc((count + 3) / 4 * 3 + 1));
    if (output == nullptr) return kStatusNoMemory;

    // Four 6-bit values make three bytes; `quad` collects them.
    size_t produced = 0;
    uint32_t quad = 0;
    int filled = 0;
    for (size_t i = 0; i < count; ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (c == '=') break;
        if (c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ') continue;
        int value = QxLBase64Value(c);
        if (value < 0) {
            QxLFree(output);
            return kStatusBadCharacter;
        }
        quad = quad << 6 | static_cast<uint32_t>(value);
        if (++filled == 4) {
            output[produced++] = static_cast<uint8_t>(quad >> 16);
            output[produced++] = static_cast<uint8_t>(quad >> 8);
            output[produced++] = static_cast<uint8_t>(quad);
            quad = 0;
            filled = 0;
        }
    }
    // Two leftover characters carry one byte, three carry two; one carries
    // too few bits for a byte and is dropped.
    if (filled == 2) {
        output[produced++] = static_cast<uint8_t>(quad >> 4);
    } else if (filled == 3) {
        output[produced++] = static_cast<uint8_t>(quad >> 10);
        output[produced++] = static_cast<uint8_t>(quad >> 2);
    }
    output[produced] = '\0';

    *bytes = output;
    if (decodedLength != nullptr) *decodedLength = produced;
    return kStatusOK;
}

QxStatus QxLParseIPv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) return kStatusBadParameter;
    const char* p = text;
    const char* end = text + std::strlen(text);

    uint32_t result = 0;
    int octets = 0;
    for (;;) {
        uint32_t octet;
        if (ReadDecimal(&p, end, 255, &octet) == 0) break;
        if (octet > 255) return kStatusOutOfRange;
        if (++octets > 4) return kStatusBufferTooSmall;
        result = result << 8 | octet;
        if (p == end || *p != '.') break;
        if (octets == 4) return kStatusMalformed;
        ++p;
    }
    if (octets < 4) {
        // "1..2" or ".1": a dot without a digit before it.
        if (p < end && *p == '.') return kStatusMalformed;
        return kStatusUnderrun;
    }

    uint32_t value;
    if (p < end && *p == ':') {
        ++p;
        if (ReadDecimal(&p, end, 65535, &value) == 0) return kStatusMalformed;
        if (value > 65535) return kStatusOutOfRange;
    }
    if (p < end && *p == '/') {
        ++p;
        if (ReadDecimal(&p, end, 32, &value) == 0) return kStatusMalformed;
        if (value > 32) return kStatusOutOfRange;
    }
    // Anything else after the address would otherwise be silently ignored.
    if (p != end) return kStatusMalformed;
    *address = result;
    return kStatusOK;
}

// Packed version: major (8 bits) | minor (4) | bug-fix (4) | stage (8) |
// revision (8). Stages: 0x20 development, 0x40 alpha, 0x60 beta, 0x80 final.
QxStatus QxLParseVersion(int32_t length, const char* text, uint32_t* version) {
    if (text == nullptr || version == nullptr) return kStatusBadParameter;
    const char* p = text;
    const char* end = text + (length < 0 ? std::strlen(text) : static_cast<size_t>(length));

    while (p < end && IsSpace(static_cast<uint8_t>(*p))) ++p;
    if (p == end || !IsDigit(static_cast<uint8_t>(*p))) return kStatusMalformed;

    uint32_t major, minor, bugFix = 0, stage = 0x80, revision = 0;
    ReadDecimal(&p, end, 255, &major);
    if (major > 255) return kStatusOutOfRange;
    if (p < end) ++p;  // the separator, whatever it is
    ReadDecimal(&p, end, 15, &minor);
    if (minor > 15) return kStatusOutOfRange;

    if (p < end) {
        if (*p == '.') {
            ++p;
            ReadDecimal(&p, end, 15, &bugFix);
            if (bugFix > 15) return kStatusOutOfRange;
        }
        if (p < end) {
            switch (FoldCase(static_cast<uint8_t>(*p))) {
                case 'd': stage = 0x20; break;
                case 'a': stage = 0x40; break;
                case 'b': stage = 0x60; break;
                default: stage = 0x80; break;
            }
            ++p;
        }
        if (ReadDecimal(&p, end, 255, &revision) == 0 || revision > 255) {
            revision = 0;
            stage = 0x80;
        }
    }
    *version = major << 24 | minor << 20 | bugFix << 16 | stage << 8 | revision;
    return kStatusOK;
}

// List layout (no NUL, at most kQxLCodedPairBufferSize bytes):
//
//   CODE=value,CODE=value,...   CODE: four bytes, most significant first;
//                               ',' and '\' in a value get a '\' before them.
QxStatus QxLAppendCodedPair(const char* value, uint32_t offset, uint32_t code, char* buffer,
                            uint32_t* newLength) {
    if (value == nullptr || buffer == nullptr || newLength == nullptr) return kStatusBadParameter;

    uint64_t valueLength = 0;
    for (const char* v = value; *v != '\0'; ++v) valueLength += (*v == ',' || *v == '\\') ? 2 : 1;
    uint64_t total = uint64_t{offset} + (offset > 0 ? 1 : 0) + 5 + valueLength;
    if (total > kQxLCodedPairBufferSize) return kStatusNoMemory;

    char* out = buffer + offset;
    if (offset > 0) *out++ = ',';
    *out++ = static_cast<char>(code >> 24);
    *out++ = static_cast<char>(code >> 16);
    *out++ = static_cast<char>(code >> 8);
    *out++ = static_cast<char>(code);
    *out++ = '=';
    for (const char* v = value; *v != '\0'; ++v) {
        if (*v == ',' || *v == '\\') *out++ = '\\';
        *out++ = *v;
    }
    *newLength = static_cast<uint32_t>(total);
    return kStatusOK;
}

char* QxLUUIDToText(const uint8_t* uuid16, char* text) {
    static const char kHex[] = "0123456789abcdef";
    char* out = text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
        *out++ = kHex[uuid16[i] >> 4];
        *out++ = kHex[uuid16[i] & 0x0F];
    }
    *out = '\0';
    return text;
}

int QxLHasPrefix(const char* prefix, const char* text, int32_t length) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (length >= 0 && i >= static_cast<size_t>(length)) return 1;
        if (text[i] != prefix[i]) return 1;
    }
    return 0;
}

int QxLCompareCounted(const char* string, const char* text, int32_t length) {
    return CompareCounted(string, text, length, false);
}

int QxLCompareCountedNoCase(const char* string, const char* text, int32_t length) {
    return CompareCounted(string, text, length, true);
}

size_t QxLCopyBounded(char* destination, const char* source, size_t size) {
    size_t sourceLength = std::strlen(source);
    if (size == 0) return sourceLength;  // nowhere to put even the NUL
    size_t copied = sourceLength < size - 1 ? sourceLength : size - 1;
    std::memcpy(destination, source, copied);
    destination[copied] = '\0';
    return sourceLength;
}
