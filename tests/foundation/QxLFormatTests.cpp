// The printf engine: standard conversions checked against the C library,
// the extra conversions, the buffer sink's cut, sink errors and the object dump.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "QxLArray.h"
#include "QxLCallbacks.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLFormat.h"
#include "QxLNumber.h"
#include "QxLString.h"
#include "QxPlatform.h"

namespace {

std::string Format(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    const int n = QxLFormatToBufferArgs(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer))) << format;
    return buffer;
}

std::string Reference(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Formats a nested format through %V inside an outer one.
std::string Nested(const char* outer, const char* inner, ...) {
    char buffer[512];
    va_list args;
    va_start(args, inner);
    QxLFormatToBuffer(buffer, sizeof buffer, outer, inner, &args);
    va_end(args);
    return buffer;
}

// ---- Standard conversions against the C library ------------------------------

TEST(QxLFormatStandard, IntegersAgreeWithTheCLibrary) {
    const char* flagSets[] = {"", "-", "+", " ", "0", "#", "-#", "+0", "0#", "- +", "-0", " 0#"};
    const char* widths[] = {"", "1", "6", "14"};
    const char* precisions[] = {"", ".0", ".1", ".5", ".12"};
    const char* lengths[] = {"", "h", "hh", "l", "ll"};
    const char conversions[] = {'d', 'i', 'u', 'o', 'x', 'X'};
    const long long values[] = {0, 1, -1, 42, -42, 8, 255, 65535, 0x80, -129, 123456789,
                                INT_MIN, INT_MAX, LLONG_MIN, LLONG_MAX, 0x123456789ALL};
    const bool isoOctalZero = Reference("%#.0o", 0) == "0";
    int compared = 0;
    for (const char* flags : flagSets)
        for (const char* width : widths)
            for (const char* precision : precisions)
                for (const char* length : lengths)
                    for (char conversion : conversions)
                        for (long long value : values) {
                            // C libraries disagree on sign flags with unsigned
                            // conversions; that case is pinned down below.
                            const bool signFlag = std::strpbrk(flags, "+ ") != nullptr;
                            if (signFlag && conversion != 'd' && conversion != 'i') continue;
                            // Some C libraries print nothing for %#.0o of 0.
                            const bool octalZero = conversion == 'o' && std::strchr(flags, '#') &&
                                                   std::strcmp(precision, ".0") == 0;
                            if (octalZero && !isoOctalZero) continue;
                            const std::string ours = std::string("%") + flags + width + precision + length + conversion;
                            std::string out;
                            std::string expected;
                            if (std::strcmp(length, "ll") == 0) {
                                out = Format(ours.c_str(), value);
                                expected = Reference(ours.c_str(), value);
                            } else {
                                // Without ll every argument is an int, l included.
                                const int narrow = static_cast<int>(value);
                                const char* referenceLength = std::strcmp(length, "l") == 0 ? "" : length;
                                const std::string reference =
                                    std::string("%") + flags + width + precision + referenceLength + conversion;
                                out = Format(ours.c_str(), narrow);
                                expected = Reference(reference.c_str(), narrow);
                            }
                            ASSERT_EQ(out, expected) << ours << " of " << value;
                            ++compared;
                        }
    EXPECT_GT(compared, 40000);
}

TEST(QxLFormatStandard, SignFlagsOnlyAffectSignedConversions) {
    EXPECT_EQ(Format("%+u|% x|%+o|% X|%+b", 0, 1, 8, 255, 2), "0|1|10|FF|10");
    EXPECT_EQ(Format("%+05u|% 5x|", 7, 7), "00007|    7|");
    EXPECT_EQ(Format("%#.0o|%#o|%#x|%#05x", 0, 0, 0, 0), "0|0|0|00000");
}

TEST(QxLFormatStandard, CharactersStringsPercentAndFloatsAgreeWithTheCLibrary) {
    const char* charFormats[] = {"%c", "%5c", "%-5c|", "[%c]"};
    for (const char* f : charFormats) EXPECT_EQ(Format(f, 'q'), Reference(f, 'q')) << f;

    const char* stringFormats[] = {"%s",   "%10s",  "%-10s|", "%.3s", "%10.3s",
                                   "%-10.3s|", "%.0s", "%.20s", "%*s",  "%-*s|"};
    const char* texts[] = {"", "a", "hello", "hello, world"};
    for (const char* f : stringFormats) {
        for (const char* t : texts) {
            if (std::strchr(f, '*')) {
                EXPECT_EQ(Format(f, 7, t), Reference(f, 7, t)) << f;
            } else {
                EXPECT_EQ(Format(f, t), Reference(f, t)) << f;
            }
        }
    }
    EXPECT_EQ(Format("100%% of %d%%", 5), Reference("100%% of %d%%", 5));

    const char* floatFormats[] = {"%f", "%.0f", "%.2f", "%.10f", "%12f", "%12.3f", "%-12.3f|", "%1.1f", "%*.*f"};
    const double floats[] = {0.0, -0.0, 1.5, -1.5, 3.14159265358979, 1e10, -2.5e-7, 0.125, 1e200};
    for (const char* f : floatFormats) {
        for (double v : floats) {
            if (std::strchr(f, '*')) {
                EXPECT_EQ(Format(f, -15, 4, v), Reference(f, -15, 4, v)) << f << " " << v;
            } else {
                EXPECT_EQ(Format(f, v), Reference(f, v)) << f << " " << v;
            }
        }
    }
}

TEST(QxLFormatStandard, StarWidthAndPrecision) {
    EXPECT_EQ(Format("%*d|", -5, 42), "42   |");
    EXPECT_EQ(Format("%*d|", 5, 42), "   42|");
    EXPECT_EQ(Format("%0*d", 5, -42), "-0042");
    EXPECT_EQ(Format("%.*d", 4, 7), "0007");
    EXPECT_EQ(Format("%.*d", -1, 7), "7");  // a negative precision counts as none
    EXPECT_EQ(Format("%.*s", 2, "abc"), "ab");
}

TEST(QxLFormatStandard, OneConversionIsAtMost300Bytes) {
    // Past that a fixed-point number is cut, as every other rendered conversion.
    EXPECT_EQ(Format("%f", 1e300), Reference("%f", 1e300).substr(0, 299));
}

// ---- Where the engine deliberately differs from the C library ---------------

TEST(QxLFormatDifferences, PointersArePrefixedUpperCaseWithEightDigits) {
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0x1234)), "0x00001234");
    EXPECT_EQ(Format("%p", static_cast<void*>(nullptr)), "0x00000000");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0xABCDEF01)), "0xABCDEF01");
    if (sizeof(void*) == 8) {
        EXPECT_EQ(Format("%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0x123456789AULL))), "0x123456789A");
    }
    EXPECT_EQ(Format("%12p|", reinterpret_cast<void*>(0xff)), "  0x000000FF|");
}

TEST(QxLFormatDifferences, DefaultArgumentWidthIs32Bits) {
    // l stays 32 bits; only ll and j take 64; z and t are 32 bits.
    EXPECT_EQ(Format("%ld %lu %d", -5, -1, 9), "-5 4294967295 9");
    EXPECT_EQ(Format("%lld %d", -5000000000LL, 9), "-5000000000 9");
    EXPECT_EQ(Format("%jd %d", static_cast<long long>(1) << 40, 9), "1099511627776 9");
    EXPECT_EQ(Format("%zu %tx %d", 7, 255, 9), "7 ff 9");
    EXPECT_EQ(Format("%u", -1), "4294967295");
    EXPECT_EQ(Format("%hu %hhu %hd %hhd", 0x12345, 0x1FF, 0xFFFF, 0x80), "9029 255 -1 -128");
}

TEST(QxLFormatDifferences, QuoteFlagGroupsDigitsInEveryBase) {
    EXPECT_EQ(Format("%'u", 1234567), "1,234,567");
    EXPECT_EQ(Format("%'d", -1234), "-1,234");
    EXPECT_EQ(Format("%'d", 123), "123");
    EXPECT_EQ(Format("%'d", 0), "0");
    EXPECT_EQ(Format("%'x", 0x1234567), "1,234,567");
    EXPECT_EQ(Format("%'#x", 0xabcdef), "0xabc,def");
    EXPECT_EQ(Format("%'b", 0x2F), "101,111");
    EXPECT_EQ(Format("%'lld", LLONG_MIN), "-9,223,372,036,854,775,808");
    EXPECT_EQ(Format("%'12d|", 1234567), "   1,234,567|");
}

TEST(QxLFormatDifferences, BinaryAndAlternateForms) {
    EXPECT_EQ(Format("%b", 5), "101");
    EXPECT_EQ(Format("%#b", 5), "0b101");
    EXPECT_EQ(Format("%08b", 5), "00000101");
    EXPECT_EQ(Format("%#08b", 5), "0b000101");
    EXPECT_EQ(Format("%hhb", -1), "11111111");
    EXPECT_EQ(Format("%llb", static_cast<long long>(1) << 40), "1" + std::string(40, '0'));
    EXPECT_EQ(Format("%#x", 255), "0xff");
    EXPECT_EQ(Format("%#X", 255), "0XFF");
    EXPECT_EQ(Format("%#o", 8), "010");
    EXPECT_EQ(Format("%05d", -42), "-0042");
    EXPECT_EQ(Format("%-5d|", -42), "-42  |");
    EXPECT_EQ(Format("%.0d|%+.0d|% .0u", 0, 0, 0), "|+|");
}

TEST(QxLFormatDifferences, IntegerPrecisionIsCappedToTheWorkBuffer) {
    const std::string digits = Format("%.400d", 1);
    EXPECT_EQ(digits.size(), 299u);
    EXPECT_EQ(digits.back(), '1');
    const std::string negative = Format("%.299d", -1);
    EXPECT_EQ(negative.size(), 300u);
    EXPECT_EQ(negative.front(), '-');
    const std::string prefixed = Format("%#.299x", 1);
    EXPECT_EQ(prefixed.size(), 300u);
    EXPECT_EQ(prefixed.substr(0, 3), "0x0");
    EXPECT_LE(Format("%'.299d", 1).size(), 300u);
    // Padding is written outside the work buffer, so wide fields stay whole.
    EXPECT_EQ(Format("%500d", 7).size(), 500u);
}

// ---- Length modifiers, sinks and the buffer sink ------------------------------

TEST(QxLFormatModifiers, InvalidCombinationsReturnMinusOneKeepingEarlierBytes) {
    char buffer[32];
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "%hlu", 5), -1);
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "ab%d-%hlu tail", 7, 5), -1);
    EXPECT_STREQ(buffer, "ab7-");
    const char* invalid[] = {"%lhd", "%hhhd", "%llld", "%jld", "%ljd", "%zhd", "%lzd", "%jjd", "%tzd"};
    for (const char* f : invalid) EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, f, 1), -1) << f;
}

TEST(QxLFormatModifiers, CountStoreHonoursItsWidth) {
    int count = -1;
    signed char small = -1;
    short middle = -1;
    long long wide = -1;
    EXPECT_EQ(Format("abc%n%s%hhn%hn|%lln", &count, "de", &small, &middle, &wide), "abcde|");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(small, 5);
    EXPECT_EQ(middle, 5);
    EXPECT_EQ(wide, 6);
    EXPECT_EQ(Format("x%ny", static_cast<int*>(nullptr)), "xy");
}

TEST(QxLFormatBufferSink, CutReturnsFullLengthAndNeverSplitsUtf8) {
    char buffer[8];
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "%s", "0123456789"), 10);
    EXPECT_STREQ(buffer, "0123456");

    // Byte 7 is the second byte of a two-byte sequence: its first goes too.
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "%s", "abcdef\xC3\xA9xyz"), 11);
    EXPECT_STREQ(buffer, "abcdef");
    // A three-byte sequence starting at byte 5 is dropped whole.
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "abcde\xE2\x82\xAC"), 8);
    EXPECT_STREQ(buffer, "abcde");
    // A sequence that just fits stays.
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "abcd\xE2\x82\xAC"), 7);
    EXPECT_STREQ(buffer, "abcd\xE2\x82\xAC");
}

TEST(QxLFormatBufferSink, NothingLandsBehindTheGapOfACut) {
    char buffer[8];
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, "%s%s", "abcdef\xC3\xA9", "z"), 9);
    EXPECT_STREQ(buffer, "abcdef");
}

TEST(QxLFormatBufferSink, TinyBuffers) {
    EXPECT_EQ(QxLFormatToBuffer(nullptr, 0, "%d", 12345), 5);
    char one[1] = {'x'};
    EXPECT_EQ(QxLFormatToBuffer(one, sizeof one, "%s", "abc"), 3);
    EXPECT_EQ(one[0], 0);
    char buffer[4];
    EXPECT_EQ(QxLFormatToBuffer(buffer, sizeof buffer, static_cast<const char*>(nullptr)), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(QxLFormatToSinkV(nullptr, "x"), -1);
}

// A sink that records each write and can fail on a chosen call.
struct RecordingSink {
    QxLSink sink;
    std::vector<std::pair<const char*, std::string>> writes;
    int failOnCall = -1;
    int takeAtMost = INT_MAX;

    static int Write(const char* bytes, size_t length, QxLSink* sink) {
        auto* self = reinterpret_cast<RecordingSink*>(sink);
        if (static_cast<int>(self->writes.size()) == self->failOnCall) return -42;
        self->writes.emplace_back(bytes, std::string(bytes, length));
        return static_cast<int>(length) < self->takeAtMost ? static_cast<int>(length) : self->takeAtMost;
    }
    RecordingSink() : sink{Write} {}
    std::string Text() const {
        std::string all;
        for (const auto& w : writes) all += w.second;
        return all;
    }
};

TEST(QxLFormatSink, LiteralRunsComeStraightFromTheFormat) {
    RecordingSink recorder;
    const char* format = "alpha %d beta";
    EXPECT_EQ(QxLFormatToSinkV(&recorder.sink, format, 12), 13);
    ASSERT_EQ(recorder.writes.size(), 3u);
    EXPECT_EQ(recorder.writes[0].first, format);
    EXPECT_EQ(recorder.writes[0].second, "alpha ");
    EXPECT_EQ(recorder.writes[1].second, "12");
    EXPECT_EQ(recorder.writes[2].first, format + 8);
}

TEST(QxLFormatSink, FirstNegativeSinkValueEndsTheCall) {
    RecordingSink recorder;
    recorder.failOnCall = 1;
    EXPECT_EQ(QxLFormatToSinkV(&recorder.sink, "one %s three", "two"), -42);
    EXPECT_EQ(recorder.Text(), "one ");

    // An error inside a nested format or a multi-line dump ends it all too.
    RecordingSink nested;
    nested.failOnCall = 2;
    const uint8_t bytes[40] = {};
    EXPECT_EQ(QxLFormatToSinkV(&nested.sink, "a%.1Hz", bytes, 40, 40), -42);
}

TEST(QxLFormatSink, CountsTheFullLengthWhenTheSinkTakesLess) {
    RecordingSink recorder;
    recorder.takeAtMost = 1;
    EXPECT_EQ(QxLFormatToSinkV(&recorder.sink, "abc%5d", 1), 8);
}

// ---- Text conversions ---------------------------------------------------------

TEST(QxLFormatText, NullPointersAndZeroPrecision) {
    EXPECT_EQ(Format("%s|%S|%T|%@|%.4a|%U", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              "<<NULL>>|<<NULL>>|<<NULL>>|<<NULL>>|<<NULL>>|<<NULL>>");
    EXPECT_EQ(Format("[%.0s][%.0S][%.0T]", nullptr, nullptr, nullptr), "[][][]");
    EXPECT_EQ(Format("%10s|", nullptr), "  <<NULL>>|");
}

TEST(QxLFormatText, PrecisionNeverEndsInsideAUtf8Sequence) {
    EXPECT_EQ(Format("%.2s", "a\xC3\xA9"), "a");
    EXPECT_EQ(Format("%.3s", "a\xC3\xA9z"), "a\xC3\xA9");
    EXPECT_EQ(Format("%.3s", "a\xE2\x82\xAC"), "a");
    EXPECT_EQ(Format("%.4s", "a\xE2\x82\xAC"), "a\xE2\x82\xAC");
    EXPECT_EQ(Format("%.4s", "a\xF0\x9F\x98\x80"), "a");
    // With a precision the text need not be terminated.
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Format("%.3s", unterminated), "abc");
}

TEST(QxLFormatText, QuoteFlagsWrapAndShortenThePrecision) {
    EXPECT_EQ(Format("%'s", "ab"), "'ab'");
    EXPECT_EQ(Format("%''s", "ab"), "\"ab\"");
    EXPECT_EQ(Format("%'.4s", "abcdef"), "'ab'");
    EXPECT_EQ(Format("%'.1s", "abcdef"), "''");
    EXPECT_EQ(Format("%'-6s|", "ab"), "'ab'  |");
    EXPECT_EQ(Format("%'6.3s|", "abcdef"), "   'a'|");
}

TEST(QxLFormatText, PascalAndFunctionNames) {
    EXPECT_EQ(Format("%#s", "\x03" "abcdef"), "abc");
    EXPECT_EQ(Format("%#s|", "\x00" "abc"), "|");
    EXPECT_EQ(Format("%###s", "void ns::Klass::Method(int, char *) const"), "ns::Klass::Method");
    EXPECT_EQ(Format("%###s", "static char *Foo::bar(void)"), "Foo::bar");
    EXPECT_EQ(Format("%###s", "main"), "main");
    EXPECT_EQ(Format("%####s", "x"), "<< ERROR: %s with too many #'s (4) >>");
}

TEST(QxLFormatText, DnsNames) {
    EXPECT_EQ(Format("%##s", "\x02" "ab" "\x02" "cd" "\x00"), "ab.cd.");
    EXPECT_EQ(Format("%##s", "\x00"), ".");
    std::string bad = "\x02" "ab" "\x40";
    bad += std::string(64, 'x');
    EXPECT_EQ(Format("%##s", bad.c_str()), "<<INVALID DNS LABEL LENGTH 64>>");

    // 254 characters of text is the longest name; one more is too long.
    auto build = [](int lastLabel) {
        std::string wire;
        for (int i = 0; i < 3; ++i) wire += static_cast<char>(63) + std::string(63, 'a');
        wire += static_cast<char>(lastLabel) + std::string(static_cast<size_t>(lastLabel), 'b');
        return wire;  // the terminating zero comes from c_str()
    };
    const std::string longest = Format("%##s", build(61).c_str());
    EXPECT_EQ(longest.size(), 254u);
    EXPECT_EQ(longest.substr(240), std::string(13, 'b') + ".");
    EXPECT_EQ(Format("%##s", build(62).c_str()), "<<DNS NAME TOO LONG>>");
}

TEST(QxLFormatText, Utf16ByteOrdersAndMarks) {
    const uint16_t native[] = {'H', 'i', 0x00E9, 0};
    EXPECT_EQ(Format("%S", native), "Hi^");
    EXPECT_EQ(Format("%'T", native), "'Hi^'");
    const uint8_t big[] = {0, 'H', 0, 'i', 0, 0};
    const uint8_t little[] = {'H', 0, 'i', 0, 0, 0};
    EXPECT_EQ(Format("%#S", big), "Hi");
    EXPECT_EQ(Format("%##T", little), "Hi");
    // The explicit orders look at the low-order byte only.
    const uint8_t wideBig[] = {0x01, 'A', 0, 0};
    EXPECT_EQ(Format("%#S", wideBig), "A");
    const uint16_t wideNative[] = {0x0141, 0};
    EXPECT_EQ(Format("%S", wideNative), "^");
    // A byte-order mark wins over the flags and counts against the precision.
    const uint8_t bigMarked[] = {0xFE, 0xFF, 0, 'H', 0, 'i', 0, 0};
    const uint8_t littleMarked[] = {0xFF, 0xFE, 'H', 0, 'i', 0, 0, 0};
    EXPECT_EQ(Format("%S", bigMarked), "Hi");
    EXPECT_EQ(Format("%#T", littleMarked), "Hi");
    EXPECT_EQ(Format("%.2S", bigMarked), "H");
    EXPECT_EQ(Format("[%.0S]", bigMarked), "[]");
    EXPECT_EQ(Format("%###S", native), "<< ERROR: %S with too many #'s (3) >>");

    std::vector<uint16_t> longText(400, 'x');
    longText.push_back(0);
    EXPECT_EQ(Format("%S", longText.data()), std::string(300, 'x'));
    EXPECT_EQ(Format("%''S", longText.data()), "\"" + std::string(300, 'x') + "\"");
}

const QxLObjectRef kForeignObject = [] {
    static const QxLClassRecord record = {"FormatTestForeign", nullptr, nullptr, nullptr, {}};
    return static_cast<QxLObjectRef>(QxLObjectAllocate(4, QxLRegisterType(&record)));
}();

TEST(QxLFormatText, Objects) {
    EXPECT_EQ(Format("%@ %@", kQxLBooleanTrue, kQxLBooleanFalse), "true false");
    EXPECT_EQ(Format("%'@", kQxLBooleanTrue), "'true'");
    QxLNumberRef number = QxLNumberCreateWithValue(0x100000005LL);
    QxLNumberRef negative = QxLNumberCreateWithValue(-17);
    EXPECT_EQ(Format("%@ %@", number, negative), "5 -17");
    QxLObjectRelease(number);
    QxLObjectRelease(negative);

    EXPECT_EQ(Format("%@|%6@|%.2@", QXL_STR("h\xC3\xA9llo"), QXL_STR("ab"), QXL_STR("h\xC3\xA9llo")),
              "h\xC3\xA9llo|    ab|h");
    EXPECT_EQ(Format("%''.4@", QXL_STR("abcdef")), "\"ab\"");

    const std::string longText(400, 'y');
    QxLStringRef longString = QxLStringCreateWithText(longText.c_str());
    EXPECT_EQ(Format("%@", longString), std::string(300, 'y'));
    QxLObjectRelease(longString);

    ASSERT_NE(kForeignObject, nullptr);
    EXPECT_EQ(Format("%@", kForeignObject),
              "<< ERROR: unsupported Qx object " + Format("%p", kForeignObject) + " >>");
}

// ---- Addresses, identifiers, versions -------------------------------------------

TEST(QxLFormatAddress, FixedSizes) {
    const uint8_t ipv4[] = {192, 168, 0, 1};
    EXPECT_EQ(Format("%.4a", ipv4), "192.168.0.1");
    const char* sizeError =
        "<< ERROR: Must specify address size (i.e. %.4a=IPv4, %.6a=Ethernet, %.8a=Fibre Channel, %.16a=IPv6) >>";
    EXPECT_EQ(Format("%.5a", ipv4), sizeError);
    EXPECT_EQ(Format("%a", ipv4), sizeError);
    const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70};
    EXPECT_EQ(Format("%.6a", mac), "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(Format("%.8a", mac), "00:1A:2B:3C:4D:5E:6F:70");
    const uint8_t ipv6[] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x1A, 0x2B, 0xFF, 0xFE, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(Format("%.16a", ipv6), "FE80:0000:0000:0000:021A:2BFF:FE3C:4D5E");

    const uint32_t host = 0xC0A80001;
    EXPECT_EQ(Format("%#.4a", &host), "192.168.0.1");
    EXPECT_EQ(Format("%#.6a", &host), "<< ERROR: %#a used without mDNS support >>");
}

std::vector<uint8_t> SocketAddress(uint16_t family, uint16_t port) {
    std::vector<uint8_t> address(28, 0);
    std::memcpy(address.data(), &family, 2);
    address[2] = static_cast<uint8_t>(port >> 8);
    address[3] = static_cast<uint8_t>(port);
    return address;
}

TEST(QxLFormatAddress, SocketAddresses) {
    EXPECT_EQ(Format("%##a", SocketAddress(0, 0).data()), "<< NONE >>");

    auto v4 = SocketAddress(2, 8080);
    v4[4] = 10;
    v4[7] = 1;
    EXPECT_EQ(Format("%##a", v4.data()), "10.0.0.1:8080");

    const int families[] = {23, QxPlatformInet6Family()};
    for (int family : families) {
        auto v6 = SocketAddress(static_cast<uint16_t>(family), 443);
        v6[8] = 0xFE;
        v6[9] = 0x80;
        v6[23] = 0x01;
        const uint32_t scope = 4;
        std::memcpy(v6.data() + 24, &scope, 4);
        EXPECT_EQ(Format("%##a", v6.data()), "[FE80:0000:0000:0000:0000:0000:0000:0001%4]:443") << family;
    }
    EXPECT_EQ(Format("%##a", SocketAddress(99, 1).data()), "<< ERROR: %##a used with unknown family (99) >>");
}

TEST(QxLFormatAddress, Uuids) {
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(i == 15 ? 0xAF : i);
    EXPECT_EQ(Format("%U", bytes), "03020100-0504-0706-0809-0a0b0c0d0eaf");
    EXPECT_EQ(Format("%#U", bytes), "00010203-0405-0607-0809-0a0b0c0d0eaf");
}

TEST(QxLFormatOther, Versions) {
    EXPECT_EQ(Format("%v", 0x01208000), "1.2");
    EXPECT_EQ(Format("%v", 0x02056003), "2.0.5b3");
    EXPECT_EQ(Format("%v", 0x01108001), "1.1f1");
    EXPECT_EQ(Format("%v", 0x0A302001), "10.3d1");
    EXPECT_EQ(Format("%v", 0x01004000), "1.0a0");
    EXPECT_EQ(Format("%v", 0x01234567), "1.2.3<< ERROR: invalid NumVersion stage: 0x45 >>");
    EXPECT_EQ(Format("%v", 0x01100012), "1.1<< ERROR: invalid NumVersion stage: 0x00 >>");
}

TEST(QxLFormatOther, CharactersAndCodes) {
    EXPECT_EQ(Format("%C", 0x41420A43), "AB^C");
    EXPECT_EQ(Format("%'C", 0x41424344), "'ABCD'");
    EXPECT_EQ(Format("%6C|", 0x41424344), "  ABCD|");
    EXPECT_EQ(Format("%'c%'c", 'A', 7), "'A''^'");
}

TEST(QxLFormatOther, BitLists) {
    EXPECT_EQ(Format("%##b", 0x11), "4 0");
    EXPECT_EQ(Format("%###hhb", 0x80), "0");
    EXPECT_EQ(Format("[%##b]", 0), "[]");
    EXPECT_EQ(Format("%###b", 1), "31");
    EXPECT_EQ(Format("%##hb", 0x18001), "15 0");
    EXPECT_EQ(Format("%##llb", static_cast<long long>(1ULL << 63 | 2)), "63 1");
    EXPECT_EQ(Format("%###llb", static_cast<long long>(1ULL << 63 | 2)), "0 62");
    EXPECT_EQ(Format("%##.4b", 0xFF), "3 2 1 0");
    EXPECT_EQ(Format("%###.4b", 0x3), "2 3");
    EXPECT_EQ(Format("%##.0b", 3), "0");
    EXPECT_EQ(Format("%##.65b", 3), "ERROR: << precision must be 0-64 >>");
}

TEST(QxLFormatOther, HexBytes) {
    const uint8_t bytes[] = {0x41, 0x00, 0xFF, 0x7E};
    EXPECT_EQ(Format("%H", bytes, 4, 3), "41 00 FF");
    EXPECT_EQ(Format("%#H", bytes, 2, 9), "41 00 |A^|");
    EXPECT_EQ(Format("%##H", bytes, 4, 4), "|A^^~|");
    EXPECT_EQ(Format("[%H]", bytes, 0, 4), "[]");
    EXPECT_EQ(Format("%.2H", bytes, 4, 4), "<< BAD %H PRECISION >>");
    EXPECT_EQ(Format("%H", nullptr, 4, 4), "<<NULL>>");
    std::vector<uint8_t> many(500, 0xAB);
    EXPECT_EQ(Format("%H", many.data(), 500, 500).size(), 299u);  // as many as fit
}

TEST(QxLFormatOther, MultiLineHexDump) {
    const uint8_t shortBytes[] = {'A', 'B', 0x01};
    EXPECT_EQ(Format("%.1H", shortBytes, 3, 3),
              "414201" + std::string(29, ' ') + " |AB^" + std::string(13, ' ') + "| (3 bytes)\n");

    uint8_t bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<uint8_t>('a' + i);
    EXPECT_EQ(Format("%1.1H", bytes, 20, 100),
              "    +0000: 61626364 65666768 696A6B6C 6D6E6F70 |abcdefghijklmnop| (20 bytes)\n"
              "    +0010: 71727374" + std::string(27, ' ') + " |qrst            |\n");
    // Exactly 16 bytes still takes the one-line form; the maximum limits it.
    EXPECT_EQ(Format("%.1H", bytes, 20, 16),
              "61626364 65666768 696A6B6C 6D6E6F70 |abcdefghijklmnop| (16 bytes)\n");
}

TEST(QxLFormatOther, NestedFormats) {
    EXPECT_EQ(Nested("[%V]", "x=%d y=%s", 5, "z"), "[x=5 y=z]");
    EXPECT_EQ(Format("%V|%V", nullptr, nullptr, "x", nullptr), "<<NULL>>|<<NULL>>");

    // Two levels: each level hands its own list down.
    struct Local {
        static std::string Inner(const char* format, ...) {
            va_list args;
            va_start(args, format);
            const std::string text = Nested("(%V)", "%s:%V", "mid", format, &args);
            va_end(args);
            return text;
        }
    };
    EXPECT_EQ(Local::Inner("%d-%d", 1, 2), "(mid:1-2)");
}

TEST(QxLFormatOther, NestedListIsCopiedNotConsumed) {
    struct Local {
        static std::string Twice(const char* format, ...) {
            va_list args;
            va_start(args, format);
            char first[64];
            char second[64];
            QxLFormatToBuffer(first, sizeof first, "%V", format, &args);
            QxLFormatToBuffer(second, sizeof second, "%V", format, &args);
            const int next = va_arg(args, int);
            va_end(args);
            return std::string(first) + "/" + second + "/" + std::to_string(next);
        }
    };
    EXPECT_EQ(Local::Twice("%d", 7, 8), "7/7/7");
}

TEST(QxLFormatOther, LocalTimeUnknownConversionsAndCutOffSpecs) {
    EXPECT_TRUE(std::regex_match(Format("%N"), std::regex(R"(\d{4}-\d\d-\d\d (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d [AP]M)")))
        << Format("%N");
    EXPECT_EQ(Format("%q"), "<<UNKNOWN FORMAT CONVERSION CODE %q>>");
    EXPECT_EQ(Format("a%qb%d", 4), "a<<UNKNOWN FORMAT CONVERSION CODE %q>>b4");
    EXPECT_EQ(Format("abc%"), "abc");
    EXPECT_EQ(Format("abc%-08"), "abc");
}

// ---- Object dump --------------------------------------------------------------

std::string Dump(QxLObjectRef object) {
    FILE* file = std::tmpfile();
    if (file == nullptr) return "<no tmpfile>";
    QxLDumpObject(file, object);
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    std::fclose(file);
    return text;
}

QxLDataRef MakeData(int length, int first) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
    QxLDataRef data = nullptr;
    EXPECT_EQ(QxLDataCreate(bytes.data(), length, &data), kStatusOK);
    return data;
}

QxLDictionaryRef MakeDictionary() {
    QxLDictionaryRef dictionary = nullptr;
    EXPECT_EQ(QxLDictionaryCreate(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks, &dictionary), kStatusOK);
    return dictionary;
}

// Sets key to value and drops the caller's reference to value.
void Put(QxLDictionaryRef dictionary, const char* key, QxLObjectRef value) {
    QxLStringRef keyString = QxLStringCreateWithText(key);
    EXPECT_EQ(QxLDictionarySetValue(dictionary, keyString, value), kStatusOK);
    QxLObjectRelease(keyString);
    QxLObjectRelease(value);
}

void Add(QxLArrayRef array, QxLObjectRef value) {
    EXPECT_EQ(QxLArrayAppend(array, value), kStatusOK);
    QxLObjectRelease(value);
}

TEST(QxLDumpObject, Scalars) {
    EXPECT_EQ(Dump(kQxLBooleanTrue), "true\n");
    QxLNumberRef number = QxLNumberCreateWithValue(-5000000000LL);
    EXPECT_EQ(Dump(number), "-5000000000\n");
    QxLObjectRelease(number);
    EXPECT_EQ(Dump(QXL_STR("text")), "\"text\"\n");
    const QxLDateFields fields = {2024, 1, 2, 3, 4, 5};
    QxLDateRef date = nullptr;
    ASSERT_EQ(QxLDateCreate(&fields, &date), kStatusOK);
    EXPECT_EQ(Dump(date), "2024-01-02 03:04:05\n");
    QxLObjectRelease(date);
    uint32_t type = 0;
    ASSERT_EQ(QxLObjectTypeID(kForeignObject, &type), kStatusOK);
    EXPECT_EQ(Dump(kForeignObject), "<UNKNOWN Qx OBJECT TYPE: " + std::to_string(type) + ">\n");
    QxLArrayRef empty = QxLArrayCreateEmpty();
    EXPECT_EQ(Dump(empty), "[]\n");
    QxLObjectRelease(empty);
    EXPECT_EQ(Dump(nullptr), "<UNKNOWN Qx OBJECT TYPE: 0>\n");
}

TEST(QxLDumpObject, DataAtTopLevelHasNoExtraNewline) {
    QxLDataRef small = MakeData(4, 0x3F);
    EXPECT_EQ(Dump(small), "3f404142 ........ ........ ........ |?@AB````````````| (4 bytes)\n");
    QxLObjectRelease(small);
    QxLDataRef empty = MakeData(0, 0);
    EXPECT_EQ(Dump(empty), "........ ........ ........ ........ |````````````````| (0 bytes)\n");
    QxLObjectRelease(empty);
    QxLDataRef big = MakeData(33, 0x60);
    EXPECT_EQ(Dump(big),
              "+0000: 60616263 64656667 68696a6b 6c6d6e6f |`abcdefghijklmno| (33 bytes)\n"
              "+0010: 70717273 74757677 78797a7b 7c7d7e7f |pqrstuvwxyz{|}~^|\n"
              "+0020: 80...... ........ ........ ........ |^```````````````|\n");
    QxLObjectRelease(big);
}

TEST(QxLDumpObject, NestedTree) {
    QxLDictionaryRef top = MakeDictionary();
    Put(top, "name", QxLStringCreateWithText("disc"));
    Put(top, "blob", MakeData(3, 'A'));
    Put(top, "big", MakeData(20, 0));
    Put(top, "none", MakeDictionary());
    QxLArrayRef list = QxLArrayCreateEmpty();
    Add(list, QxLNumberCreateWithValue(1));
    Add(list, QxLStringCreateWithText("two"));
    Add(list, MakeData(2, 'x'));
    Add(list, QxLArrayCreateEmpty());
    Add(list, kQxLBooleanFalse);
    QxLDictionaryRef inner = MakeDictionary();
    Put(inner, "k", MakeData(17, 'a'));
    Add(list, inner);
    Put(top, "list", list);

    // Entries print in the dictionary's own iteration order.
    std::map<std::string, std::string> entries;
    entries["name"] = "    name=\"disc\"\n";
    entries["blob"] = "    blob=414243.. ........ ........ ........ |ABC`````````````| (3 bytes)\n";
    entries["big"] =
        "    big=\n"
        "        +0000: 00010203 04050607 08090a0b 0c0d0e0f |^^^^^^^^^^^^^^^^| (20 bytes)\n"
        "        +0010: 10111213 ........ ........ ........ |^^^^````````````|\n";
    entries["none"] = "    none={}\n";
    entries["list"] =
        "    list=\n"
        "        [\n"
        "            1\n"
        "            \"two\"\n"
        "            7879.... ........ ........ ........ |xy``````````````| (2 bytes)\n"
        "            []\n"
        "            false\n"
        "            {\n"
        "                k=\n"
        "                    +0000: 61626364 65666768 696a6b6c 6d6e6f70 |abcdefghijklmnop| (17 bytes)\n"
        "                    +0010: 71...... ........ ........ ........ |q```````````````|\n"
        "            }\n"
        "        ]\n";
    const void** keys = nullptr;
    int32_t count = 0;
    ASSERT_EQ(QxLDictionaryCopyKeys(top, &keys, &count), kStatusOK);
    ASSERT_EQ(count, 5);
    std::string expected = "{\n";
    for (int32_t i = 0; i < count; ++i) {
        const char* key = nullptr;
        QxLStringGetText(keys[i], &key, nullptr);
        expected += entries[key];
    }
    expected += "}\n";
    std::free(keys);
    EXPECT_EQ(Dump(top), expected);
    QxLObjectRelease(top);
}

}  // namespace
