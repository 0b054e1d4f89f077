// Tamsor's printf engine, the buffer sink and the debug dump of object trees.
//
// The engine walks the format once. Literal runs go to the sink straight from
// the format string; every conversion is rendered into a 300-byte work buffer
// on the stack and then written, padded with spaces to the field width. Text
// arguments (%s and a string's text for %@) are written from the caller's
// memory, so only they may exceed 300 bytes. Nothing is allocated on the heap.
// It deliberately does not do locales, wide-character %ls, %e/%g or long
// double: the program never prints them.
//
// A conversion: % [flags] [width|*] [.precision|.*] [length] conversion
//   flags   -  left-justify (cancels 0)      +  plus sign     space  space sign
//           #  counted (alternate forms)     0  zero padding  '  counted (quotes,
//                                                              digit grouping)
//   length  h hh (16/8 bits)  l (32 bits)  ll j (64 bits)  z t (32 bits)
//           any other mix ends the call with -1
//
//   %d %i %u %o %x %X %b   integers: int, long long with ll/j
//   %p         pointer as "0x" and at least 8 upper-case hex digits
//   %##b %###b bit list: numbers of the set bits, LSB = 0 / MSB of field = 0
//   %c  %C     character / four-character code ('^' for unprintable bytes)
//   %f         double, fixed point
//   %n         stores the count so far (hh, h, ll select the width)
//   %s         C string   %#s Pascal string   %##s DNS wire name
//   %###s      qualified function name out of a function signature
//   %S %T      UTF-16 text: native, # big-endian, ## little-endian, BOM wins
//   %@         object: boolean, number, string
//   %.4a %.6a %.8a %.16a  IPv4, Ethernet, Fibre Channel, IPv6 address bytes
//   %#.4a      IPv4 address held in a host-order 32-bit integer
//   %##a       socket address (sockaddr_in / sockaddr_in6 layout)
//   %U %#U     UUID, GUID byte order / memory order
//   %V         nested format and a va_list* (copied, so the caller's list
//              is not advanced; pass the address of a local va_list, never of
//              a va_list parameter)
//   %v         packed version number (major.minor.bugfix + stage, revision)
//   %H %#H %##H  hex bytes / hex and characters / characters only
//   %.1H       multi-line hex dump, indented by 4 x width spaces
//   %N         the local date and time
#include "QxLFormat.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLNumber.h"
#include "QxLString.h"
#include "QxPlatform.h"

namespace {

constexpr size_t kWorkSize = 300;
constexpr int kMaxIntegerPrecision = 299;
constexpr size_t kMaxTextCharacters = 300;  // %S, %T and the text of %@
constexpr int kBitListMaxBits = 64;
constexpr size_t kDnsMaxNameText = 254;
constexpr unsigned kDnsMaxLabel = 63;
constexpr int kWidthLimit = 1 << 24;  // saturates absurd widths instead of overflowing

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kSpaces[] = "                                                                ";
constexpr char kNullText[] = "<<NULL>>";

struct Spec {
    bool leftJustify = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool zeroPad = false;
    bool precisionGiven = false;
    int hCount = 0;
    int lCount = 0;  // 2 also for j
    int hashCount = 0;
    int quoteCount = 0;
    int width = 0;
    int precision = 0;
};

// What the engine has produced so far; error holds the sink's failure.
struct Output {
    QxLSink* sink;
    int total;
    int error;
};

bool Write(Output& out, const char* bytes, size_t length) {
    if (length == 0) return true;
    const int taken = out.sink->write(bytes, length, out.sink);
    if (taken < 0) {
        out.error = taken;
        return false;
    }
    // The full length counts even where the sink took less.
    const size_t room = static_cast<size_t>(INT_MAX - out.total);
    out.total = length > room ? INT_MAX : out.total + static_cast<int>(length);
    return true;
}

bool WriteSpaces(Output& out, size_t count) {
    while (count > 0) {
        const size_t n = count < sizeof kSpaces - 1 ? count : sizeof kSpaces - 1;
        if (!Write(out, kSpaces, n)) return false;
        count -= n;
    }
    return true;
}

// Writes text, wrapped in quote (if not 0), padded with spaces to the width.
bool WriteField(Output& out, const Spec& conv, const char* text, size_t length, char quote) {
    const size_t shown = length + (quote ? 2 : 0);
    const size_t width = static_cast<size_t>(conv.width);
    const size_t pad = width > shown ? width - shown : 0;
    if (!conv.leftJustify && !WriteSpaces(out, pad)) return false;
    if (quote && !Write(out, &quote, 1)) return false;
    if (!Write(out, text, length)) return false;
    if (quote && !Write(out, &quote, 1)) return false;
    if (conv.leftJustify && !WriteSpaces(out, pad)) return false;
    return true;
}

int BufferSinkWrite(const char* bytes, size_t length, QxLSink* sink) {
    auto* self = reinterpret_cast<QxLBufferSink*>(sink);
    const size_t room = self->limit > self->position ? self->limit - self->position : 0;
    size_t n = length;
    if (n > room) {
        n = room;
        // bytes[n] is the first byte left out: if it continues a sequence,
        // drop that sequence's earlier bytes too.
        while (n > 0 && (static_cast<uint8_t>(bytes[n]) & 0xC0) == 0x80) --n;
    }
    if (n > 0) {
        std::memcpy(self->buffer + self->position, bytes, n);
        self->position += n;
    }
    // After a cut the buffer is full: a later, shorter piece must not land
    // after the gap that the cut left.
    if (n < length) self->limit = self->position;
    return static_cast<int>(n);
}

int Engine(QxLSink* sink, const char* format, va_list* args);

// Formats into work (room bytes, of which room - 1 hold text) with this
// engine; returns the length of the text.
size_t FormatInto(char* work, size_t room, const char* format, ...) {
    QxLBufferSink buffer;
    QxLBufferSinkInit(&buffer, work, room);
    va_list args;
    va_start(args, format);
    Engine(&buffer.sink, format, &args);
    va_end(args);
    return buffer.position;
}

// The largest n' <= n such that text[0..n') does not end inside a UTF-8
// sequence. Reads only text[0..n).
size_t Utf8SafeLength(const char* text, size_t n) {
    size_t i = n;
    for (int back = 0; i > 0 && back < 4; ++back) {
        const auto c = static_cast<uint8_t>(text[i - 1]);
        if ((c & 0xC0) == 0x80) {
            --i;
            continue;
        }
        if (c >= 0xC0) {
            const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            if (i - 1 + need > n) return i - 1;
        }
        return n;
    }
    return n;
}

// Length of a NUL-terminated text, reading at most limit bytes.
size_t BoundedLength(const char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

// Cuts text to the precision (if given) without splitting a UTF-8 sequence.
size_t CutToPrecision(const Spec& conv, const char* text, size_t length) {
    // At exactly the precision the text may go on, so the end is checked too.
    if (!conv.precisionGiven || length < static_cast<size_t>(conv.precision)) return length;
    return Utf8SafeLength(text, static_cast<size_t>(conv.precision));
}

char Printable(unsigned c) { return c >= 32 && c <= 126 ? static_cast<char>(c) : '^'; }

char QuoteFor(const Spec& conv) { return conv.quoteCount == 0 ? 0 : conv.quoteCount == 1 ? '\'' : '"'; }

// ---- Integers --------------------------------------------------------------

// Reads an integer by the length modifiers (int, or long long with ll/j;
// h and hh narrow) and returns its magnitude.
uint64_t ReadInteger(va_list* args, const Spec& conv, bool isSigned, bool* negative) {
    int64_t v = conv.lCount >= 2 ? va_arg(*args, long long) : va_arg(*args, int);
    if (conv.hCount == 1) {
        v = isSigned ? static_cast<int64_t>(static_cast<int16_t>(v)) : static_cast<uint16_t>(v);
    } else if (conv.hCount == 2) {
        v = isSigned ? static_cast<int64_t>(static_cast<int8_t>(v)) : static_cast<uint8_t>(v);
    } else if (conv.lCount < 2 && !isSigned) {
        v = static_cast<uint32_t>(v);
    }
    *negative = isSigned && v < 0;
    return *negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

// Renders an integer right-aligned in work; returns its first byte.
const char* RenderInteger(char* work, const Spec& conv, char conversion, uint64_t value,
                          bool negative) {
    unsigned base = 10;
    const char* digits = kLowerDigits;
    switch (conversion) {
        case 'o': base = 8; break;
        case 'x': base = 16; break;
        case 'X':
        case 'p': base = 16; digits = kUpperDigits; break;
        case 'b': base = 2; break;
        default: break;
    }
    char sign = 0;
    if (conversion == 'd' || conversion == 'i') {
        sign = negative ? '-' : conv.plusSign ? '+' : conv.spaceSign ? ' ' : 0;
    }
    // Like the C library, 0x / 0X / 0b go only before a non-zero value.
    char prefixLetter = 0;
    int prefixLength = 0;
    if (conversion == 'p') {
        prefixLetter = 'x';
        prefixLength = 2;
    } else if (conv.hashCount > 0) {
        if (conversion == 'o') {
            prefixLength = 1;
        } else if (base != 10 && value != 0) {
            prefixLetter = conversion;
            prefixLength = 2;
        }
    }
    int precision = 1;
    bool precisionFromWidth = false;
    if (conversion == 'p') {
        precision = 8;
    } else if (conv.precisionGiven) {
        precision = conv.precision;
    } else if (conv.zeroPad) {
        precision = conv.width - prefixLength - (sign ? 1 : 0);
        if (precision < 1) precision = 1;
        precisionFromWidth = true;
    }
    if (precision > kMaxIntegerPrecision) precision = kMaxIntegerPrecision;

    char* const end = work + kWorkSize;
    char* s = end;
    char* const floor = work + prefixLength + (sign ? 1 : 0);  // room kept for prefix and sign
    for (int count = 0; (count < precision || value != 0) && s > floor; ++count) {
        if (conv.quoteCount > 0 && count > 0 && count % 3 == 0) {
            if (s - 1 <= floor) break;
            *--s = ',';
        }
        *--s = digits[value % base];
        value /= base;
    }
    if (conversion == 'o' && conv.hashCount > 0) {
        // The leading 0 is only added where the digits lack one, or where
        // zero padding left room for it (as the C library does).
        const bool roomLeft = precisionFromWidth && end - s < conv.width - (sign ? 1 : 0);
        if (roomLeft || s == end || *s != '0') *--s = '0';
    } else if (prefixLetter) {
        *--s = prefixLetter;
        *--s = '0';
    }
    if (sign) *--s = sign;
    return s;
}

size_t AppendNumber(char* work, size_t n, unsigned number) {
    if (n > 0) work[n++] = ' ';
    if (number >= 10) work[n++] = static_cast<char>('0' + number / 10);
    work[n++] = static_cast<char>('0' + number % 10);
    return n;
}

// %##b and %###b: the numbers of the set bits of a field.
size_t RenderBitList(char* work, const Spec& conv, uint64_t value) {
    int bits = conv.hCount == 1 ? 16 : conv.hCount == 2 ? 8 : conv.lCount >= 2 ? 64 : 32;
    if (conv.precisionGiven) {
        if (conv.precision > kBitListMaxBits) {
            return FormatInto(work, kWorkSize, "ERROR: << precision must be 0-%d >>", kBitListMaxBits);
        }
        bits = conv.precision == 0 ? 1 : conv.precision;
    }
    size_t n = 0;
    if (conv.hashCount == 2) {
        // Highest bit first, numbered from the least significant bit.
        for (int bit = bits - 1; bit >= 0; --bit) {
            if ((value >> bit) & 1) n = AppendNumber(work, n, static_cast<unsigned>(bit));
        }
    } else {
        // Numbered from the field's most significant bit, ascending.
        for (int number = 0; number < bits; ++number) {
            if ((value >> (bits - 1 - number)) & 1) n = AppendNumber(work, n, static_cast<unsigned>(number));
        }
    }
    return n;
}

// ---- Text ------------------------------------------------------------------

// %##s: a DNS name in wire form, each label followed by a dot.
size_t RenderDnsName(char* work, const uint8_t* name) {
    if (name[0] == 0) {
        work[0] = '.';
        return 1;
    }
    size_t n = 0;
    for (const uint8_t* label = name; *label != 0; label += *label + 1) {
        const unsigned length = *label;
        if (length > kDnsMaxLabel) {
            return FormatInto(work, kWorkSize, "<<INVALID DNS LABEL LENGTH %u>>", length);
        }
        if (n + length + 1 > kDnsMaxNameText) return FormatInto(work, kWorkSize, "<<DNS NAME TOO LONG>>");
        std::memcpy(work + n, label + 1, length);
        n += length;
        work[n++] = '.';
    }
    return n;
}

// %###s: "int ns::Class::Method(char *) const" gives "ns::Class::Method".
const char* FunctionName(const char* signature, size_t* length) {
    const char* end = signature;
    while (*end != 0 && *end != '(') ++end;
    while (end > signature && end[-1] == ' ') --end;
    const char* start = end;
    while (start > signature && start[-1] != ' ' && start[-1] != '*' && start[-1] != '&') --start;
    *length = static_cast<size_t>(end - start);
    return start;
}

bool FormatString(Output& out, Spec conv, va_list* args, char* work) {
    const char* text = va_arg(*args, const char*);
    if (conv.hashCount >= 4) {
        const size_t n = FormatInto(work, kWorkSize, "<< ERROR: %%s with too many #'s (%d) >>", conv.hashCount);
        return WriteField(out, conv, work, n, 0);
    }
    if (text == nullptr) {
        if (conv.precisionGiven && conv.precision == 0) return WriteField(out, conv, "", 0, 0);
        return WriteField(out, conv, kNullText, sizeof kNullText - 1, 0);
    }
    const char quote = QuoteFor(conv);
    if (quote && conv.precisionGiven) conv.precision = conv.precision < 2 ? 0 : conv.precision - 2;
    size_t length = 0;
    switch (conv.hashCount) {
        case 0:
            length = BoundedLength(text, conv.precisionGiven ? static_cast<size_t>(conv.precision) : SIZE_MAX);
            break;
        case 1:
            length = static_cast<uint8_t>(text[0]);
            ++text;
            break;
        case 2:
            length = RenderDnsName(work, reinterpret_cast<const uint8_t*>(text));
            text = work;
            break;
        default:
            text = FunctionName(text, &length);
            break;
    }
    return WriteField(out, conv, text, CutToPrecision(conv, text, length), quote);
}

// %S and %T: UTF-16 text shown as ASCII.
bool FormatUtf16(Output& out, Spec conv, va_list* args, char* work) {
    const auto* chars = static_cast<const uint8_t*>(va_arg(*args, const void*));
    if (conv.hashCount >= 3) {
        const size_t n = FormatInto(work, kWorkSize, "<< ERROR: %%S with too many #'s (%d) >>", conv.hashCount);
        return WriteField(out, conv, work, n, 0);
    }
    if (chars == nullptr) {
        if (conv.precisionGiven && conv.precision == 0) return WriteField(out, conv, "", 0, 0);
        return WriteField(out, conv, kNullText, sizeof kNullText - 1, 0);
    }
    const char quote = QuoteFor(conv);
    if (quote && conv.precisionGiven) conv.precision = conv.precision < 2 ? 0 : conv.precision - 2;
    size_t limit = kMaxTextCharacters;
    if (conv.precisionGiven && static_cast<size_t>(conv.precision) < limit) limit = static_cast<size_t>(conv.precision);

    enum { kNative, kBig, kLittle } order = conv.hashCount == 1 ? kBig : conv.hashCount == 2 ? kLittle : kNative;
    size_t n = 0;
    for (size_t i = 0; i < limit; ++i, chars += 2) {
        const uint8_t b0 = chars[0];
        const uint8_t b1 = chars[1];
        if (b0 == 0 && b1 == 0) break;
        if (i == 0 && b0 == 0xFE && b1 == 0xFF) {
            order = kBig;
            continue;
        }
        if (i == 0 && b0 == 0xFF && b1 == 0xFE) {
            order = kLittle;
            continue;
        }
        unsigned c;
        if (order == kBig) {
            c = b1;  // the low-order byte only
        } else if (order == kLittle) {
            c = b0;
        } else {
            uint16_t native;
            std::memcpy(&native, chars, sizeof native);
            c = native;
        }
        work[n++] = Printable(c);
    }
    return WriteField(out, conv, work, n, quote);
}

// %@: booleans, numbers and strings.
bool FormatObject(Output& out, Spec conv, va_list* args, char* work) {
    const QxLObjectRef object = va_arg(*args, QxLObjectRef);
    if (object == nullptr) return WriteField(out, conv, kNullText, sizeof kNullText - 1, 0);
    uint32_t type = kQxLTypeInvalid;
    if (QxLObjectTypeID(object, &type) != kStatusOK) type = kQxLTypeInvalid;
    const char* text = work;
    size_t length = 0;
    switch (type) {
        case kQxLTypeBoolean:
            text = QxLBooleanIsTrue(object) ? "true" : "false";
            length = std::strlen(text);
            break;
        case kQxLTypeNumber: {
            int32_t value = 0;
            QxLNumberGetValue(object, kQxLNumberSInt32, &value);
            length = FormatInto(work, kWorkSize, "%d", static_cast<int>(value));
            break;
        }
        case kQxLTypeString: {
            uint32_t full = 0;
            if (QxLStringGetText(object, &text, &full) != kStatusOK || text == nullptr) {
                text = "";
                full = 0;
            }
            length = full > kMaxTextCharacters ? Utf8SafeLength(text, kMaxTextCharacters) : full;
            break;
        }
        default:
            length = FormatInto(work, kWorkSize, "<< ERROR: unsupported Qx object %p >>", object);
            return WriteField(out, conv, work, length, 0);
    }
    const char quote = QuoteFor(conv);
    if (quote && conv.precisionGiven) conv.precision = conv.precision < 2 ? 0 : conv.precision - 2;
    return WriteField(out, conv, text, CutToPrecision(conv, text, length), quote);
}

// ---- Addresses and identifiers ---------------------------------------------

size_t RenderHexGroups(char* work, const uint8_t* bytes, int count, int perGroup) {
    size_t n = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && i % perGroup == 0) work[n++] = ':';
        work[n++] = kUpperDigits[bytes[i] >> 4];
        work[n++] = kUpperDigits[bytes[i] & 0xF];
    }
    return n;
}

size_t RenderIPv4(char* work, const uint8_t* a) {
    return FormatInto(work, kWorkSize, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}

// Socket addresses, as laid out in memory:
//   offset 0   2 bytes  family, host order (0 none, 2 IPv4, IPv6 below)
//   offset 2   2 bytes  port, big-endian
//   IPv4:  offset 4, 4 bytes address
//   IPv6:  offset 4, 4 bytes flow info; offset 8, 16 bytes address;
//          offset 24, 4 bytes scope id (host order)
size_t RenderSocketAddress(char* work, const uint8_t* address) {
    constexpr int kFamilyIPv4 = 2;
    constexpr int kFamilyIPv6 = 23;
    uint16_t family;
    std::memcpy(&family, address, sizeof family);
    const unsigned port = static_cast<unsigned>(address[2] << 8 | address[3]);
    if (family == 0) return FormatInto(work, kWorkSize, "<< NONE >>");
    if (family == kFamilyIPv4) {
        const size_t n = RenderIPv4(work, address + 4);
        return n + FormatInto(work + n, kWorkSize - n, ":%u", port);
    }
    if (family == kFamilyIPv6 || family == QxPlatformInet6Family()) {
        uint32_t scope;
        std::memcpy(&scope, address + 24, sizeof scope);
        size_t n = 0;
        work[n++] = '[';
        n += RenderHexGroups(work + n, address + 8, 16, 2);
        return n + FormatInto(work + n, kWorkSize - n, "%%%u]:%u", static_cast<unsigned>(scope), port);
    }
    return FormatInto(work, kWorkSize, "<< ERROR: %%##a used with unknown family (%d) >>", static_cast<int>(family));
}

size_t RenderAddress(char* work, const Spec& conv, const uint8_t* address) {
    const int size = conv.precisionGiven ? conv.precision : -1;
    if (conv.hashCount >= 2) return RenderSocketAddress(work, address);
    if (conv.hashCount == 1) {
        if (size != 4) return FormatInto(work, kWorkSize, "<< ERROR: %%#a used without mDNS support >>");
        uint32_t host;
        std::memcpy(&host, address, sizeof host);
        const uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                                  static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
        return RenderIPv4(work, bytes);
    }
    switch (size) {
        case 4: return RenderIPv4(work, address);
        case 6: return RenderHexGroups(work, address, 6, 1);
        case 8: return RenderHexGroups(work, address, 8, 1);
        case 16: return RenderHexGroups(work, address, 16, 2);
        default:
            return FormatInto(work, kWorkSize,
                              "<< ERROR: Must specify address size (i.e. %%.4a=IPv4, %%.6a=Ethernet, "
                              "%%.8a=Fibre Channel, %%.16a=IPv6) >>");
    }
}

// %U prints the GUID layout (first three groups stored little-endian);
// %#U prints the 16 bytes in memory order.
size_t RenderUuid(char* work, const Spec& conv, const uint8_t* u) {
    static constexpr uint8_t kGuidOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    size_t n = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) work[n++] = '-';
        const uint8_t b = u[conv.hashCount > 0 ? i : kGuidOrder[i]];
        work[n++] = kLowerDigits[b >> 4];
        work[n++] = kLowerDigits[b & 0xF];
    }
    return n;
}

// %v: major.minor[.bugfix] then the stage letter and revision.
//   bits 31-24 major, 23-20 minor, 19-16 bug fix, 15-8 stage, 7-0 revision
//   stages: 0x20 development "d", 0x40 alpha "a", 0x60 beta "b",
//           0x80 final "f" (shown only with a revision)
size_t RenderVersion(char* work, uint32_t v) {
    const unsigned bugFix = (v >> 16) & 0xF;
    const unsigned stage = (v >> 8) & 0xFF;
    const unsigned revision = v & 0xFF;
    size_t n = FormatInto(work, kWorkSize, "%u.%u", v >> 24, (v >> 20) & 0xF);
    if (bugFix != 0) n += FormatInto(work + n, kWorkSize - n, ".%u", bugFix);
    char letter = 0;
    switch (stage) {
        case 0x20: letter = 'd'; break;
        case 0x40: letter = 'a'; break;
        case 0x60: letter = 'b'; break;
        case 0x80: letter = revision != 0 ? 'f' : 0; break;
        default:
            return n + FormatInto(work + n, kWorkSize - n, "<< ERROR: invalid NumVersion stage: 0x%02X >>", stage);
    }
    if (letter) n += FormatInto(work + n, kWorkSize - n, "%c%u", letter, revision);
    return n;
}

// ---- Hex dumps ---------------------------------------------------------------

struct HexStyle {
    const char* digits;
    const char* missingHex;  // two characters for a position past the end
    char missingChar;
};
constexpr HexStyle kDumpStyle = {kUpperDigits, "  ", ' '};
constexpr HexStyle kObjectDumpStyle = {kLowerDigits, "..", '`'};

// One line of a multi-line dump: the hex of 16 positions in four groups of
// four ("00010203 04050607 08090A0B 0C0D0E0F", 35 characters) and the 16
// characters.
void RenderHexLine(const uint8_t* bytes, size_t count, const HexStyle& style, char (&hex)[36],
                   char (&chars)[17]) {
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (i > 0 && i % 4 == 0) hex[n++] = ' ';
        if (i < count) {
            hex[n++] = style.digits[bytes[i] >> 4];
            hex[n++] = style.digits[bytes[i] & 0xF];
            chars[i] = Printable(bytes[i]);
        } else {
            hex[n++] = style.missingHex[0];
            hex[n++] = style.missingHex[1];
            chars[i] = style.missingChar;
        }
    }
    hex[n] = 0;
    chars[16] = 0;
}

// %.1H, written line by line straight to the sink:
//   up to 16 bytes:  <indent>HEX |CHARS| (N bytes)
//   more:            <indent>+0000: HEX |CHARS| (N bytes)
//                    <indent>+0010: HEX |CHARS|
bool DumpHexLines(Output& out, const Spec& conv, const uint8_t* bytes, int count) {
    const size_t indent = 4 * static_cast<size_t>(conv.width);
    for (int offset = 0; offset == 0 || offset < count; offset += 16) {
        char hex[36];
        char chars[17];
        RenderHexLine(bytes + offset, static_cast<size_t>(count - offset < 16 ? count - offset : 16),
                      kDumpStyle, hex, chars);
        if (!WriteSpaces(out, indent)) return false;
        int written;
        if (count <= 16) {
            written = QxLFormatToSinkV(out.sink, "%s |%s| (%d bytes)\n", hex, chars, count);
        } else if (offset == 0) {
            written = QxLFormatToSinkV(out.sink, "+%04X: %s |%s| (%d bytes)\n", offset, hex, chars, count);
        } else {
            written = QxLFormatToSinkV(out.sink, "+%04X: %s |%s|\n", offset, hex, chars);
        }
        if (written < 0) {
            out.error = written;
            return false;
        }
        out.total = written > INT_MAX - out.total ? INT_MAX : out.total + written;
    }
    return true;
}

bool FormatHex(Output& out, const Spec& conv, va_list* args, char* work) {
    const auto* bytes = static_cast<const uint8_t*>(va_arg(*args, const void*));
    const int length = va_arg(*args, int);
    const int maximum = va_arg(*args, int);
    int count = length < maximum ? length : maximum;
    if (count < 0) count = 0;
    if (conv.precisionGiven && conv.precision != 1) {
        const size_t n = FormatInto(work, kWorkSize, "<< BAD %%H PRECISION >>");
        return WriteField(out, conv, work, n, 0);
    }
    if (bytes == nullptr && count > 0) return WriteField(out, conv, kNullText, sizeof kNullText - 1, 0);
    if (conv.precisionGiven) return DumpHexLines(out, conv, bytes, count);

    // Only as many bytes as the work buffer holds in the chosen form.
    const int fit = conv.hashCount == 0 ? 100 : conv.hashCount == 1 ? 74 : 298;
    if (count > fit) count = fit;
    size_t n = 0;
    if (conv.hashCount <= 1) {
        for (int i = 0; i < count; ++i) {
            if (i > 0) work[n++] = ' ';
            work[n++] = kUpperDigits[bytes[i] >> 4];
            work[n++] = kUpperDigits[bytes[i] & 0xF];
        }
    }
    if (conv.hashCount >= 1) {
        if (conv.hashCount == 1) work[n++] = ' ';
        work[n++] = '|';
        for (int i = 0; i < count; ++i) work[n++] = Printable(bytes[i]);
        work[n++] = '|';
    }
    return WriteField(out, conv, work, n, 0);
}

// ---- Everything else ---------------------------------------------------------

size_t RenderLocalTime(char* work) {
    struct tm fields {};
    if (!QxPlatformLocalTime(static_cast<int64_t>(std::time(nullptr)), &fields)) return 0;
    const int hour12 = fields.tm_hour % 12 == 0 ? 12 : fields.tm_hour % 12;
    return FormatInto(work, kWorkSize, "%04d-%02d-%02d %02d:%02d:%02d %s", fields.tm_year + 1900,
                      fields.tm_mon + 1, fields.tm_mday, hour12, fields.tm_min, fields.tm_sec,
                      fields.tm_hour < 12 ? "AM" : "PM");
}

void StoreCount(const Spec& conv, void* target, int count) {
    if (target == nullptr) return;
    if (conv.hCount == 2) {
        const auto v = static_cast<int8_t>(count);
        std::memcpy(target, &v, sizeof v);
    } else if (conv.hCount == 1) {
        const auto v = static_cast<int16_t>(count);
        std::memcpy(target, &v, sizeof v);
    } else if (conv.lCount >= 2) {
        const auto v = static_cast<int64_t>(count);
        std::memcpy(target, &v, sizeof v);
    } else {
        const auto v = static_cast<int32_t>(count);
        std::memcpy(target, &v, sizeof v);
    }
}

// Parses one conversion conv after the '%'; false for a length-modifier mix
// that the engine refuses.
bool ParseSpec(const char*& p, va_list* args, Spec& conv) {
    for (;; ++p) {
        switch (*p) {
            case '-': conv.leftJustify = true; continue;
            case '+': conv.plusSign = true; continue;
            case ' ': conv.spaceSign = true; continue;
            case '#': ++conv.hashCount; continue;
            case '0': conv.zeroPad = true; continue;
            case '\'': ++conv.quoteCount; continue;
            default: break;
        }
        break;
    }
    if (*p == '*') {
        int width = va_arg(*args, int);
        if (width < 0) {
            conv.leftJustify = true;
            width = width == INT_MIN ? INT_MAX : -width;
        }
        conv.width = width < kWidthLimit ? width : kWidthLimit;
        ++p;
    } else {
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (conv.width < kWidthLimit) conv.width = conv.width * 10 + (*p - '0');
        }
    }
    if (*p == '.') {
        ++p;
        conv.precisionGiven = true;
        if (*p == '*') {
            const int precision = va_arg(*args, int);
            // A negative precision counts as none given, as in C.
            conv.precisionGiven = precision >= 0;
            conv.precision = precision >= 0 ? precision : 0;
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p) {
                if (conv.precision < kWidthLimit) conv.precision = conv.precision * 10 + (*p - '0');
            }
        }
    }
    if (conv.leftJustify) conv.zeroPad = false;

    bool sizeLetter = false;  // j, z or t seen
    for (;; ++p) {
        const char c = *p;
        if (c == 'h') {
            if (conv.lCount > 0 || sizeLetter || ++conv.hCount > 2) return false;
        } else if (c == 'l') {
            if (conv.hCount > 0 || sizeLetter || ++conv.lCount > 2) return false;
        } else if (c == 'j' || c == 'z' || c == 't') {
            if (conv.hCount > 0 || conv.lCount > 0 || sizeLetter) return false;
            sizeLetter = true;
            if (c == 'j') conv.lCount = 2;
        } else {
            return true;
        }
    }
}

int Engine(QxLSink* sink, const char* format, va_list* args) {
    Output out{sink, 0, 0};
    if (sink == nullptr || sink->write == nullptr) return -1;
    if (format == nullptr) return 0;
    char work[kWorkSize];
    const char* p = format;
    for (;;) {
        const char* run = p;
        while (*p != 0 && *p != '%') ++p;
        if (!Write(out, run, static_cast<size_t>(p - run))) return out.error;
        if (*p == 0) break;
        ++p;

        Spec conv;
        if (!ParseSpec(p, args, conv)) return -1;
        const char conversion = *p;
        if (conversion == 0) break;  // a cut-off conv at the end prints nothing
        ++p;

        bool ok = true;
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'o':
            case 'x':
            case 'X':
            case 'b': {
                const bool isSigned = conversion == 'd' || conversion == 'i';
                bool negative = false;
                const uint64_t value = ReadInteger(args, conv, isSigned, &negative);
                if (conversion == 'b' && conv.hashCount >= 2) {
                    ok = WriteField(out, conv, work, RenderBitList(work, conv, value), 0);
                } else {
                    const char* s = RenderInteger(work, conv, conversion, value, negative);
                    ok = WriteField(out, conv, s, static_cast<size_t>(work + kWorkSize - s), 0);
                }
                break;
            }
            case 'p': {
                const auto value = reinterpret_cast<uintptr_t>(va_arg(*args, const void*));
                const char* s = RenderInteger(work, conv, 'p', value, false);
                ok = WriteField(out, conv, s, static_cast<size_t>(work + kWorkSize - s), 0);
                break;
            }
            case '%':
                ok = Write(out, "%", 1);
                break;
            case 'c': {
                const unsigned c = static_cast<unsigned>(va_arg(*args, int)) & 0xFF;
                if (conv.quoteCount > 0) {
                    const char quoted[3] = {'\'', Printable(c), '\''};
                    ok = WriteField(out, conv, quoted, 3, 0);
                } else {
                    const char byte = static_cast<char>(c);
                    ok = WriteField(out, conv, &byte, 1, 0);
                }
                break;
            }
            case 'C': {
                const auto code = static_cast<uint32_t>(va_arg(*args, int));
                const char text[4] = {Printable(code >> 24), Printable((code >> 16) & 0xFF),
                                      Printable((code >> 8) & 0xFF), Printable(code & 0xFF)};
                ok = WriteField(out, conv, text, 4, conv.quoteCount > 0 ? '\'' : 0);
                break;
            }
            case 'f': {
                const double value = va_arg(*args, double);
                const int n = conv.precisionGiven ? std::snprintf(work, kWorkSize, "%.*f", conv.precision, value)
                                                  : std::snprintf(work, kWorkSize, "%f", value);
                // Past 299 characters the number is cut, like any conversion.
                size_t length = n < 0 ? 0 : static_cast<size_t>(n);
                if (length >= kWorkSize) length = kWorkSize - 1;
                ok = WriteField(out, conv, work, length, 0);
                break;
            }
            case 'n':
                StoreCount(conv, va_arg(*args, void*), out.total);
                break;
            case 's':
                ok = FormatString(out, conv, args, work);
                break;
            case 'S':
            case 'T':
                ok = FormatUtf16(out, conv, args, work);
                break;
            case '@':
                ok = FormatObject(out, conv, args, work);
                break;
            case 'a': {
                const auto* address = static_cast<const uint8_t*>(va_arg(*args, const void*));
                ok = address == nullptr ? WriteField(out, conv, kNullText, sizeof kNullText - 1, 0)
                                        : WriteField(out, conv, work, RenderAddress(work, conv, address), 0);
                break;
            }
            case 'U': {
                const auto* uuid = static_cast<const uint8_t*>(va_arg(*args, const void*));
                ok = uuid == nullptr ? WriteField(out, conv, kNullText, sizeof kNullText - 1, 0)
                                     : WriteField(out, conv, work, RenderUuid(work, conv, uuid), 0);
                break;
            }
            case 'V': {
                const char* nestedFormat = va_arg(*args, const char*);
                va_list* nestedArgs = va_arg(*args, va_list*);
                if (nestedFormat == nullptr || nestedArgs == nullptr) {
                    ok = WriteField(out, conv, kNullText, sizeof kNullText - 1, 0);
                    break;
                }
                // A copy, so the list works whichever way va_list is
                // represented and the caller's list stays where it was.
                va_list copy;
                va_copy(copy, *nestedArgs);
                const int nested = Engine(sink, nestedFormat, &copy);
                va_end(copy);
                if (nested < 0) return nested;
                out.total = nested > INT_MAX - out.total ? INT_MAX : out.total + nested;
                break;
            }
            case 'v':
                ok = WriteField(out, conv, work,
                                RenderVersion(work, static_cast<uint32_t>(va_arg(*args, int))), 0);
                break;
            case 'H':
                ok = FormatHex(out, conv, args, work);
                break;
            case 'N':
                ok = WriteField(out, conv, work, RenderLocalTime(work), 0);
                break;
            default: {
                const size_t n = FormatInto(work, kWorkSize, "<<UNKNOWN FORMAT CONVERSION CODE %%%c>>", conversion);
                ok = WriteField(out, conv, work, n, 0);
                break;
            }
        }
        if (!ok) return out.error;
    }
    return out.total;
}

}  // namespace

void QxLBufferSinkInit(QxLBufferSink* sink, char* buffer, size_t size) {
    sink->sink.write = BufferSinkWrite;
    sink->buffer = buffer;
    sink->limit = size > 0 ? size - 1 : 0;
    sink->position = 0;
}

int QxLFormatToSink(QxLSink* sink, const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    const int result = Engine(sink, format, &copy);
    va_end(copy);
    return result;
}

int QxLFormatToSinkV(QxLSink* sink, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = Engine(sink, format, &args);
    va_end(args);
    return result;
}

int QxLFormatToBufferArgs(char* buffer, size_t size, const char* format, va_list arguments) {
    QxLBufferSink sink;
    QxLBufferSinkInit(&sink, buffer, size);
    const int result = QxLFormatToSink(&sink.sink, format, arguments);
    if (size > 0) buffer[sink.position] = 0;
    return result;
}

int QxLFormatToBuffer(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = QxLFormatToBufferArgs(buffer, size, format, args);
    va_end(args);
    return result;
}

// ---- Object dump ---------------------------------------------------------------
//
//   {                                  dictionary: key=value per line
//       name="text"                    strings quoted as values, bare as keys
//       list=                          a non-empty container value starts on
//           [                          a new line one level deeper
//               1
//               00010203 ........ ........ ........ |^^^^````````````| (4 bytes)
//           ]
//       blob=41 ... |A...| (1 bytes)   data of up to 16 bytes stays on the line
//       empty=[]
//   }

namespace {

void DumpIndent(FILE* stream, int level) { std::fprintf(stream, "%*s", 4 * level, ""); }

uint32_t TypeOf(QxLObjectRef object) {
    uint32_t type = kQxLTypeInvalid;
    if (object == nullptr || QxLObjectTypeID(object, &type) != kStatusOK) return kQxLTypeInvalid;
    return type;
}

bool IsNonEmptyContainer(QxLObjectRef object) {
    const uint32_t type = TypeOf(object);
    if (type == kQxLTypeArray) return QxLArrayGetCount(object) > 0;
    if (type == kQxLTypeDictionary) return QxLDictionaryGetCount(object) > 0;
    return false;
}

// Every line of a data dump ends with a newline; indent says whether the
// lines get the level's indent.
void DumpData(FILE* stream, QxLDataRef data, int level, bool indent) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (QxLDataGetBytes(data, &bytes, &length) != kStatusOK) length = 0;
    for (uint32_t offset = 0; offset == 0 || offset < length; offset += 16) {
        char hex[36];
        char chars[17];
        RenderHexLine(bytes + offset, length - offset < 16 ? length - offset : 16, kObjectDumpStyle, hex, chars);
        if (indent) DumpIndent(stream, level);
        if (length <= 16) {
            std::fprintf(stream, "%s |%s| (%d bytes)\n", hex, chars, static_cast<int>(length));
        } else if (offset == 0) {
            std::fprintf(stream, "+%04X: %s |%s| (%d bytes)\n", offset, hex, chars, static_cast<int>(length));
        } else {
            std::fprintf(stream, "+%04X: %s |%s|\n", offset, hex, chars);
        }
    }
}

void DumpValue(FILE* stream, QxLObjectRef object, int level, bool isKey);

// An array element: its own line(s) at the given level.
void DumpElement(FILE* stream, QxLObjectRef element, int level) {
    if (TypeOf(element) == kQxLTypeData) {
        DumpData(stream, element, level, true);
        return;
    }
    DumpIndent(stream, level);
    DumpValue(stream, element, level, false);
    std::fputc('\n', stream);
}

struct EntryContext {
    FILE* stream;
    int level;
};

// A dictionary entry: key=value on a line at the given level.
void DumpEntry(const void* key, const void* value, void* context) {
    const auto* entry = static_cast<const EntryContext*>(context);
    FILE* stream = entry->stream;
    DumpIndent(stream, entry->level);
    DumpValue(stream, key, entry->level, true);
    std::fputc('=', stream);
    if (TypeOf(value) == kQxLTypeData) {
        uint32_t length = 0;
        QxLDataGetBytes(value, nullptr, &length);
        if (length <= 16) {
            DumpData(stream, value, 0, false);
        } else {
            std::fputc('\n', stream);
            DumpData(stream, value, entry->level + 1, true);
        }
        return;
    }
    if (IsNonEmptyContainer(value)) {
        std::fputc('\n', stream);
        DumpIndent(stream, entry->level + 1);
        DumpValue(stream, value, entry->level + 1, false);
    } else {
        DumpValue(stream, value, entry->level, false);
    }
    std::fputc('\n', stream);
}

// Prints a value whose first line is already indented; closing brackets go
// at the level's indent. Data is handled by the callers.
void DumpValue(FILE* stream, QxLObjectRef object, int level, bool isKey) {
    const uint32_t type = TypeOf(object);
    switch (type) {
        case kQxLTypeArray: {
            const int32_t count = QxLArrayGetCount(object);
            if (count == 0) {
                std::fputs("[]", stream);
                return;
            }
            std::fputs("[\n", stream);
            for (int32_t i = 0; i < count; ++i) DumpElement(stream, QxLArrayGetValueAt(object, i), level + 1);
            DumpIndent(stream, level);
            std::fputc(']', stream);
            return;
        }
        case kQxLTypeDictionary: {
            if (QxLDictionaryGetCount(object) == 0) {
                std::fputs("{}", stream);
                return;
            }
            std::fputs("{\n", stream);
            EntryContext context{stream, level + 1};
            QxLDictionaryApply(object, DumpEntry, &context);
            DumpIndent(stream, level);
            std::fputc('}', stream);
            return;
        }
        case kQxLTypeBoolean:
            std::fputs(QxLBooleanIsTrue(object) ? "true" : "false", stream);
            return;
        case kQxLTypeNumber: {
            int64_t value = 0;
            QxLNumberGetValue(object, kQxLNumberSInt64, &value);
            std::fprintf(stream, "%lld", static_cast<long long>(value));
            return;
        }
        case kQxLTypeString: {
            const char* text = nullptr;
            if (QxLStringGetText(object, &text, nullptr) != kStatusOK || text == nullptr) text = "";
            std::fprintf(stream, isKey ? "%s" : "\"%s\"", text);
            return;
        }
        case kQxLTypeDate: {
            QxLDateFields f{};
            QxLDateGetFields(object, &f);
            std::fprintf(stream, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(f.year), static_cast<int>(f.month),
                         static_cast<int>(f.day), static_cast<int>(f.hour), static_cast<int>(f.minute),
                         static_cast<int>(f.second));
            return;
        }
        case kQxLTypeData:
            DumpData(stream, object, level, true);
            return;
        default:
            std::fprintf(stream, "<UNKNOWN Qx OBJECT TYPE: %d>", static_cast<int>(type));
            return;
    }
}

}  // namespace

void QxLDumpObject(FILE* stream, QxLObjectRef object) {
    if (stream == nullptr) return;
    if (TypeOf(object) == kQxLTypeData) {
        DumpData(stream, object, 0, false);
        return;
    }
    DumpValue(stream, object, 0, false);
    std::fputc('\n', stream);
}
