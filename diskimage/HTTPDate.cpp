// HTTPFormatDate: the date of an HTTP response head (RFC 1123 form, GMT);
// HTTPFormatTimestampAt: an instant as an Internet timestamp (RFC 3339).
//
// The calendar is worked out by arithmetic on the seconds since 1970 rather
// than with gmtime (not reentrant, and spelled differently on each system)
// or strftime (whose day and month names follow the process locale). The
// clock is read with std::time only.
//
//   "Sun, 06 Dec 2026 21:33:12 GMT"
//    %a   %d %b  %Y   %H:%M:%S
#include <ctime>

#include "HTTPMessage.h"
#include "QxLFormat.h"

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int64_t kSecondsPerDay = 86400;

// Quotient rounded toward minus infinity, so dates before 1970 work too.
int64_t FloorDivide(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct CivilDate {
    int64_t year;
    int month;  // 1-12
    int day;    // 1-31
};

// Proleptic Gregorian date of a day number (0 = 1970-01-01), counting in
// 400-year eras from 0000-03-01 so that leap days fall at the end of a year.
CivilDate CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = FloorDivide(days, 146097);
    const int64_t dayOfEra = days - era * 146097;                                             // [0, 146096]
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // [0, 399]
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // [0, 365]
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;                                   // March = 0
    CivilDate date;
    date.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    date.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

// An instant split into its day, the second of that day and the date.
struct Instant {
    int64_t days;     // since 1970-01-01
    int64_t seconds;  // [0, 86399]
    CivilDate date;
};

Instant SplitInstant(int64_t secondsSince1970) {
    // Keep the day arithmetic far from overflow; such dates are nonsense anyway.
    constexpr int64_t kLimit = INT64_C(1) << 50;
    if (secondsSince1970 > kLimit) secondsSince1970 = kLimit;
    if (secondsSince1970 < -kLimit) secondsSince1970 = -kLimit;
    Instant instant;
    instant.days = FloorDivide(secondsSince1970, kSecondsPerDay);
    instant.seconds = secondsSince1970 - instant.days * kSecondsPerDay;
    instant.date = CivilFromDays(instant.days);
    return instant;
}

}  // namespace

char* HTTPFormatDateAt(char* buffer, int64_t secondsSince1970) {
    if (buffer == nullptr) return nullptr;
    const Instant instant = SplitInstant(secondsSince1970);
    const int64_t days = instant.days, seconds = instant.seconds;
    const CivilDate date = instant.date;
    const int64_t weekday = (days + 4) - FloorDivide(days + 4, 7) * 7;  // 1970-01-01 was a Thursday
    QxLFormatToBuffer(buffer, kHTTPDateBufferSize, "%s, %02d %s %04lld %02d:%02d:%02d GMT",
                      kDayNames[weekday], date.day, kMonthNames[date.month - 1],
                      static_cast<long long>(date.year), static_cast<int>(seconds / 3600),
                      static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return buffer;
}

char* HTTPFormatTimestampAt(char* buffer, int64_t secondsSince1970) {
    if (buffer == nullptr) return nullptr;
    const Instant instant = SplitInstant(secondsSince1970);
    const int64_t seconds = instant.seconds;
    const CivilDate date = instant.date;
    QxLFormatToBuffer(buffer, kHTTPDateBufferSize, "%04lld-%02d-%02dT%02d:%02d:%02dZ",
                      static_cast<long long>(date.year), date.month, date.day,
                      static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                      static_cast<int>(seconds % 60));
    return buffer;
}

char* HTTPFormatDate(char* buffer) {
    return HTTPFormatDateAt(buffer, static_cast<int64_t>(std::time(nullptr)));
}
