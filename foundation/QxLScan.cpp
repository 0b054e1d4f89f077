// QxLScan: a scanf-like reader of counted text.
//
// The input is (pointer, length) and need not end in a NUL; nothing past
// `length` bytes is ever read (length < 0: the text ends at its NUL). Unlike
// scanf it can hand back references into the input instead of copies, which
// is how packet and header fields are picked apart without allocating.
// It never fails: it returns how many conversions it assigned and stops at
// the first mismatch, the end of the input or a format it does not know.
// There is no floating point and no locale.
//
// Conversion syntax: %[flags][width][modifier]conversion
//
//   flags     *   match but do not assign (takes no destination argument)
//             #   allow an empty match for [ and s
//             &   reference: assign (const char**, int32_t*) = first byte
//                 and byte count instead of a copy (two arguments)
//   width     decimal digits, or '.' to take it from an int argument
//             (negative: stop); none means unlimited (%c: 1)
//   modifier  hh 8 bits | h 16 | l z t or none 32 | ll j 64
//
//   conv      matches                              assigns
//   %         a '%' byte (nothing else allowed)    -
//   [set]     run of bytes in set ([^set]: not in  copy + NUL, or reference
//             it); ']' first belongs to the set;
//             a NUL always ends the run
//   c         exactly width bytes                  the bytes, no NUL
//   s         skip white space, run of non-space   copy + NUL, or reference
//   d u       decimal integer                      value
//   i         0x.. hex, 0b.. binary, 0[0-7] octal  value
//   o         octal integer                        value
//   x X p     hex, optional 0x (%p always 32 bit)  value
//   b         binary, optional 0b                  value
//   n         nothing (no flags/width/modifier)    bytes consumed, 32 bit
//
// White space in the format skips white space in the input; any other byte
// must match the input exactly.
#include "QxLScan.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int32_t kNoWidth = -1;

// va_list cannot be passed by reference portably, so it travels in a struct.
struct Arguments {
    va_list list;
};

bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Value of c as a digit of base, or -1.
int DigitValue(uint8_t c, int base) {
    int value;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    } else {
        return -1;
    }
    return value < base ? value : -1;
}

enum class Size { k8, k16, k32, k64 };

void StoreInteger(void* destination, Size size, uint64_t value) {
    switch (size) {
        case Size::k8: *static_cast<uint8_t*>(destination) = static_cast<uint8_t>(value); break;
        case Size::k16: *static_cast<uint16_t*>(destination) = static_cast<uint16_t>(value); break;
        case Size::k32: *static_cast<uint32_t*>(destination) = static_cast<uint32_t>(value); break;
        case Size::k64: *static_cast<uint64_t*>(destination) = value; break;
    }
}

class Scanner {
public:
    Scanner(const char* text, int32_t length)
        : start_(reinterpret_cast<const uint8_t*>(text)), cursor_(start_) {
        size_t count = 0;
        if (text != nullptr) count = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
        end_ = start_ + count;
    }

    int Run(const char* format, Arguments* arguments);

private:
    size_t Remaining() const { return static_cast<size_t>(end_ - cursor_); }
    // Bytes a conversion may still take: the rest of the input, capped by the
    // width when there is one.
    size_t Limit(int32_t width) const {
        size_t remaining = Remaining();
        if (width != kNoWidth && static_cast<size_t>(width) < remaining) return static_cast<size_t>(width);
        return remaining;
    }
    void SkipSpace() {
        while (cursor_ < end_ && IsSpace(*cursor_)) ++cursor_;
    }
    bool ScanInteger(char conversion, int32_t width, uint64_t* value);

    const uint8_t* start_;
    const uint8_t* cursor_;
    const uint8_t* end_;
};

// Reads one integer for conversion d u i o x X p b; false when no digit was found.
bool Scanner::ScanInteger(char conversion, int32_t width, uint64_t* value) {
    SkipSpace();
    size_t limit = Limit(width);
    const uint8_t* p = cursor_;
    const uint8_t* stop = cursor_ + limit;

    bool negative = false;
    // A sign needs something after it in the input; it still counts against the width.
    if (Remaining() >= 2 && p < stop && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }

    int base = 10;
    auto prefixed = [&](char lower, int prefixBase) {
        // "0x" / "0b" only counts as a prefix when a digit of that base follows.
        return stop - p >= 3 && p[0] == '0' && (p[1] | 0x20) == lower && DigitValue(p[2], prefixBase) >= 0;
    };
    switch (conversion) {
        case 'i':
            if (prefixed('x', 16)) {
                base = 16;
                p += 2;
            } else if (prefixed('b', 2)) {
                base = 2;
                p += 2;
            } else if (stop - p >= 2 && p[0] == '0' && DigitValue(p[1], 8) >= 0) {
                base = 8;
            }
            break;
        case 'o': base = 8; break;
        case 'x':
        case 'X':
        case 'p':
            base = 16;
            if (prefixed('x', 16)) p += 2;
            break;
        case 'b':
            base = 2;
            if (prefixed('b', 2)) p += 2;
            break;
        default: break;
    }

    uint64_t accumulated = 0;
    const uint8_t* digits = p;
    for (int digit; p < stop && (digit = DigitValue(*p, base)) >= 0; ++p) {
        accumulated = accumulated * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (p == digits) return false;
    cursor_ = p;
    *value = negative ? 0 - accumulated : accumulated;
    return true;
}

int Scanner::Run(const char* format, Arguments* arguments) {
    int assigned = 0;
    const char* f = format;
    while (*f != '\0') {
        if (IsSpace(static_cast<uint8_t>(*f))) {
            while (IsSpace(static_cast<uint8_t>(*f))) ++f;
            SkipSpace();
            continue;
        }
        if (*f != '%') {
            if (cursor_ >= end_ || *cursor_ != static_cast<uint8_t>(*f)) return assigned;
            ++cursor_;
            ++f;
            continue;
        }
        ++f;

        bool suppress = false;
        bool allowEmpty = false;
        bool reference = false;
        for (;; ++f) {
            if (*f == '*') {
                suppress = true;
            } else if (*f == '#') {
                allowEmpty = true;
            } else if (*f == '&') {
                reference = true;
            } else {
                break;
            }
        }
        const bool anyFlag = suppress || allowEmpty || reference;

        int32_t width = kNoWidth;
        if (*f == '.') {
            width = va_arg(arguments->list, int);
            if (width < 0) return assigned;
            ++f;
        } else if (*f >= '0' && *f <= '9') {
            width = 0;
            while (*f >= '0' && *f <= '9') {
                // Clamp absurd widths rather than overflow; they mean "unlimited" anyway.
                if (width < 100000000) width = width * 10 + (*f - '0');
                ++f;
            }
        }

        Size size = Size::k32;
        bool anyModifier = true;
        if (f[0] == 'h' && f[1] == 'h') {
            size = Size::k8;
            f += 2;
        } else if (f[0] == 'h') {
            size = Size::k16;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            size = Size::k64;
            f += 2;
        } else if (f[0] == 'j') {
            size = Size::k64;
            ++f;
        } else if (f[0] == 'l' || f[0] == 'z' || f[0] == 't') {
            ++f;
        } else {
            anyModifier = false;
        }

        const char conversion = *f;
        if (conversion == '\0') return assigned;
        ++f;

        switch (conversion) {
            case '%':
                if (anyFlag || width != kNoWidth || anyModifier) return assigned;
                if (cursor_ >= end_ || *cursor_ != '%') return assigned;
                ++cursor_;
                break;

            case 'n': {
                if (anyFlag || width != kNoWidth || anyModifier) return assigned;
                int* destination = va_arg(arguments->list, int*);
                if (destination == nullptr) return assigned;
                *destination = static_cast<int>(cursor_ - start_);
                break;
            }

            case '[':
            case 'c':
            case 's': {
                // Work out the matched run [first, first + count).
                const uint8_t* first;
                size_t count;
                if (conversion == '[') {
                    bool inSet[256] = {};
                    bool invert = false;
                    if (*f == '^') {
                        invert = true;
                        ++f;
                    }
                    if (*f == ']') {
                        inSet[static_cast<uint8_t>(']')] = true;
                        ++f;
                    }
                    while (*f != '\0' && *f != ']') inSet[static_cast<uint8_t>(*f++)] = true;
                    if (*f != ']') return assigned;  // unterminated set
                    ++f;
                    first = cursor_;
                    size_t limit = Limit(width);
                    count = 0;
                    while (count < limit && first[count] != '\0' && inSet[first[count]] != invert) ++count;
                    if (count == 0 && !allowEmpty) return assigned;
                } else if (conversion == 'c') {
                    count = width == kNoWidth ? 1 : static_cast<size_t>(width);
                    if (Remaining() < count) return assigned;
                    first = cursor_;
                } else {
                    SkipSpace();
                    if (cursor_ >= end_ && !allowEmpty) return assigned;
                    first = cursor_;
                    size_t limit = Limit(width);
                    count = 0;
                    while (count < limit && !IsSpace(first[count])) ++count;
                }

                if (!suppress) {
                    if (reference) {
                        const char** pointer = va_arg(arguments->list, const char**);
                        int32_t* length = va_arg(arguments->list, int32_t*);
                        if (pointer == nullptr || length == nullptr) return assigned;
                        *pointer = reinterpret_cast<const char*>(first);
                        *length = static_cast<int32_t>(count);
                    } else {
                        char* destination = va_arg(arguments->list, char*);
                        if (destination == nullptr) return assigned;
                        std::memcpy(destination, first, count);
                        if (conversion != 'c') destination[count] = '\0';
                    }
                    ++assigned;
                }
                cursor_ = first + count;
                break;
            }

            case 'd':
            case 'u':
            case 'i':
            case 'o':
            case 'x':
            case 'X':
            case 'p':
            case 'b': {
                void* destination = nullptr;
                if (!suppress) {
                    destination = va_arg(arguments->list, void*);
                    if (destination == nullptr) return assigned;
                }
                uint64_t value = 0;
                if (!ScanInteger(conversion, width, &value)) return assigned;
                if (!suppress) {
                    StoreInteger(destination, conversion == 'p' ? Size::k32 : size, value);
                    ++assigned;
                }
                break;
            }

            default: return assigned;
        }
    }
    return assigned;
}

}  // namespace

int QxLScanV(const char* text, int32_t length, const char* format, va_list arguments) {
    if (format == nullptr) return 0;
    Arguments copy;
    va_copy(copy.list, arguments);
    int assigned = Scanner(text, length).Run(format, &copy);
    va_end(copy.list);
    return assigned;
}

int QxLScan(const char* text, int32_t length, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int assigned = QxLScanV(text, length, format, arguments);
    va_end(arguments);
    return assigned;
}
