// HTTPParseRange: the value of a Range header, first range only.
//
// Positions become signed 64-bit offsets with an exclusive end, the form
// the disc reader takes:
//
//   value              start   end      meaning
//   bytes=A-B          A       B + 1    bytes A to B inclusive
//   bytes=A-           A       -1       from A to the end of the image
//   bytes=-N           -N      -1       the last N bytes
//   bytes=A-B,C-D      A       B + 1    later ranges are ignored
//   bytes=A-,C-D       A       -1       likewise
//
// The value is counted text from the network: nothing past its length is
// read, and positions that would not fit the signed result are refused
// rather than wrapped. Whether a range lies inside the image is for the
// reader to decide; this only checks the syntax and A <= B.
#include <cstring>

#include "HTTPMessage.h"

namespace {

constexpr char kUnitPrefix[] = "bytes=";
constexpr size_t kUnitPrefixLength = sizeof kUnitPrefix - 1;
// Largest position accepted; one more must still fit as an exclusive end.
constexpr uint64_t kMaxPosition = static_cast<uint64_t>(INT64_MAX) - 1;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads decimal digits at *p (up to end) and advances *p behind them.
// kStatusNoProgress: no digit. kStatusOutOfRange: beyond kMaxPosition.
QxStatus ReadPosition(const char** p, const char* end, int64_t* position) {
    const char* q = *p;
    uint64_t value = 0;
    bool tooLarge = false;
    for (; q < end && IsDigit(*q); ++q) {
        // Keep reading the digits so the caller's cursor lands behind them,
        // but stop accumulating once the value is out of reach.
        const uint64_t digit = static_cast<uint64_t>(*q - '0');
        if (!tooLarge && value > (kMaxPosition - digit) / 10) tooLarge = true;
        if (!tooLarge) value = value * 10 + digit;
    }
    if (q == *p) return kStatusNoProgress;
    if (tooLarge) return kStatusOutOfRange;
    *p = q;
    *position = static_cast<int64_t>(value);
    return kStatusOK;
}

}  // namespace

QxStatus HTTPParseRange(int32_t length, const char* text, int64_t* start, int64_t* end) {
    if (text == nullptr || start == nullptr || end == nullptr) return kStatusBadParameter;
    const size_t size = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (size < kUnitPrefixLength) return kStatusUnderrun;
    if (std::memcmp(text, kUnitPrefix, kUnitPrefixLength) != 0) return kStatusUnexpectedType;
    if (size == kUnitPrefixLength) return kStatusUnderrun;

    const char* p = text + kUnitPrefixLength;
    const char* stop = text + size;
    int64_t first = 0;
    QxStatus status;
    if (*p == '-') {
        ++p;
        int64_t suffix = 0;
        status = ReadPosition(&p, stop, &suffix);
        if (status != kStatusOK) return status;
        // "The last 0 bytes" selects nothing; read as start 0 it would
        // select the whole image.
        if (suffix == 0) return kStatusOutOfRange;
        *start = -suffix;
        *end = -1;
        return kStatusOK;
    }

    status = ReadPosition(&p, stop, &first);
    if (status != kStatusOK) return status;
    if (p == stop || *p != '-') return kStatusMalformed;
    ++p;
    // An open end may also be followed by the next range of a list
    // ("bytes=100-,200-299") or by white space.
    if (p == stop || *p == ',' || *p == ' ' || *p == '\t') {
        *start = first;
        *end = -1;
        return kStatusOK;
    }
    int64_t last = 0;
    status = ReadPosition(&p, stop, &last);
    if (status != kStatusOK) return status;
    if (first > last) return kStatusOutOfRange;
    *start = first;
    *end = last + 1;
    return kStatusOK;
}
