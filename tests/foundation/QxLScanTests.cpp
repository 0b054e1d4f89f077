// The counted-text scanner and the small text helpers beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "QxLMemory.h"
#include "QxLScan.h"

namespace {

// Copies text into a heap block of exactly its length (no NUL after it), so
// that AddressSanitizer flags any read past the counted end.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string& text)
        : bytes_(static_cast<char*>(std::malloc(text.size()))), size_(static_cast<int32_t>(text.size())) {
        std::memcpy(bytes_, text.data(), text.size());
    }
    ~ExactBuffer() { std::free(bytes_); }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;
    const char* bytes() const { return bytes_; }
    int32_t size() const { return size_; }

private:
    char* bytes_;
    int32_t size_;
};

std::string Part(const QxLURLPart& part) {
    return part.bytes == nullptr ? std::string("<absent>") : std::string(part.bytes, part.length);
}

}  // namespace

TEST(Scan, VendorClassReferences) {
    const char* format = "VRNXBSDPC/%&[^/]/%&[^/]";
    const char* text = "VRNXBSDPC/i386/Model1";
    const char* architecture = nullptr;
    const char* model = nullptr;
    int32_t architectureLength = 0, modelLength = 0;
    EXPECT_EQ(QxLScan(text, -1, format, &architecture, &architectureLength, &model, &modelLength), 2);
    EXPECT_EQ(architecture, text + 10);
    EXPECT_EQ(architectureLength, 4);
    EXPECT_EQ(model, text + 15);
    EXPECT_EQ(modelLength, 6);

    EXPECT_EQ(QxLScan("VRNXBSDPC/i386", -1, format, &architecture, &architectureLength, &model, &modelLength),
              1);
    EXPECT_EQ(QxLScan("VRNXBSDPX/i386", -1, format, &architecture, &architectureLength, &model, &modelLength),
              0);
}

TEST(Scan, IntegerBasesAndSigns) {
    long long wide = 0;
    EXPECT_EQ(QxLScan("12abc", 2, "%lli", &wide), 1);
    EXPECT_EQ(wide, 12);
    EXPECT_EQ(QxLScan("-9000000000", -1, "%lld", &wide), 1);
    EXPECT_EQ(wide, -9000000000LL);

    int value = 0;
    EXPECT_EQ(QxLScan("0x1F", -1, "%i", &value), 1);
    EXPECT_EQ(value, 31);
    EXPECT_EQ(QxLScan("017", -1, "%i", &value), 1);
    EXPECT_EQ(value, 15);
    EXPECT_EQ(QxLScan("0b101", -1, "%i", &value), 1);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(QxLScan("08", -1, "%i", &value), 1);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(QxLScan("+7", -1, "%d", &value), 1);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(QxLScan("ff 0XfF 0b11 17", -1, "%x %X %b %o", &value, &value, &value, &value), 4);
    EXPECT_EQ(value, 15);

    // A prefix without a digit after it is just the digit 0.
    int consumed = 0;
    EXPECT_EQ(QxLScan("0xg", -1, "%i%n", &value, &consumed), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(consumed, 1);

    // A lone sign is not a number; nor is a sign at the very end of counted text.
    value = 42;
    EXPECT_EQ(QxLScan("-", -1, "%d", &value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(QxLScan("5-", -1, "%d%d", &value, &value), 1);
    EXPECT_EQ(value, 5);
}

TEST(Scan, WidthsLimitEveryConversion) {
    int a = 0, b = 0;
    EXPECT_EQ(QxLScan("12345", -1, "%2d%d", &a, &b), 2);
    EXPECT_EQ(a, 12);
    EXPECT_EQ(b, 345);
    // The sign counts against the width.
    EXPECT_EQ(QxLScan("-123", -1, "%3d%d", &a, &b), 2);
    EXPECT_EQ(a, -12);
    EXPECT_EQ(b, 3);

    char word[8] = {};
    EXPECT_EQ(QxLScan("abcdef", -1, "%.s", 3, word), 1);
    EXPECT_STREQ(word, "abc");
    EXPECT_EQ(QxLScan("abcdef", -1, "%.s", -1, word), 0);
}

TEST(Scan, ModifiersStoreOnlyTheirWidth) {
    unsigned char bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    EXPECT_EQ(QxLScan("0x1234", -1, "%hhx", bytes), 1);
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0xEE);

    std::memset(bytes, 0xEE, sizeof bytes);
    uint16_t halves[2] = {0xEEEE, 0xEEEE};
    EXPECT_EQ(QxLScan("70000", -1, "%hu", halves), 1);
    EXPECT_EQ(halves[0], 70000 & 0xFFFF);
    EXPECT_EQ(halves[1], 0xEEEE);

    uint32_t words[2] = {0xEEEEEEEE, 0xEEEEEEEE};
    EXPECT_EQ(QxLScan("-1", -1, "%ld", words), 1);
    EXPECT_EQ(words[0], 0xFFFFFFFFu);
    EXPECT_EQ(words[1], 0xEEEEEEEEu);
    words[0] = words[1] = 0xEEEEEEEE;
    EXPECT_EQ(QxLScan("123456789abc", -1, "%llp", words), 1);  // %p stays 32 bits
    EXPECT_EQ(words[0], 0x56789ABCu);
    EXPECT_EQ(words[1], 0xEEEEEEEEu);

    int64_t big = 0;
    EXPECT_EQ(QxLScan("0x123456789", -1, "%jx", &big), 1);
    EXPECT_EQ(big, 0x123456789LL);
}

TEST(Scan, SetsAndStrings) {
    char out[16];
    // ']' first belongs to the set.
    EXPECT_EQ(QxLScan("]]a]b", -1, "%[]a]", out), 1);
    EXPECT_STREQ(out, "]]a]");
    EXPECT_EQ(QxLScan("ab]c", -1, "%[^]]", out), 1);
    EXPECT_STREQ(out, "ab");

    // An empty run stops unless '#'.
    int count = 0;
    EXPECT_EQ(QxLScan("/x", -1, "%[^/]/%[^/]", out, out), 0);
    EXPECT_EQ(QxLScan("/x", -1, "%#[^/]/%[^/]%n", out, out, &count), 2);
    EXPECT_STREQ(out, "x");
    EXPECT_EQ(count, 2);

    // A NUL always ends a set run, even inside counted text.
    const char withNul[] = {'a', 'b', '\0', 'c'};
    const char* reference = nullptr;
    int32_t length = -1;
    EXPECT_EQ(QxLScan(withNul, 4, "%&[^/]", &reference, &length), 1);
    EXPECT_EQ(length, 2);

    // %s skips white space; at the end it needs '#'.
    EXPECT_EQ(QxLScan("  key value", -1, "%s%s", out, out), 2);
    EXPECT_STREQ(out, "value");
    EXPECT_EQ(QxLScan("key   ", -1, "%*s%s", out), 0);
    EXPECT_EQ(QxLScan("key   ", -1, "%*s%#s", out), 1);
    EXPECT_STREQ(out, "");

    // %c takes exactly the width and writes no NUL.
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(QxLScan("abc", -1, "%2c", out), 1);
    EXPECT_EQ(std::string(out, 3), "abz");
    EXPECT_EQ(QxLScan("ab", -1, "%3c", out), 0);
}

TEST(Scan, ControlOfTheScan) {
    int a = 0, b = 0, consumed = 0;
    // Suppressed conversions take no argument and are not counted; nor is %n.
    EXPECT_EQ(QxLScan("1 2 3", -1, "%*d %d%n %d", &a, &consumed, &b), 2);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 3);
    EXPECT_EQ(consumed, 3);

    EXPECT_EQ(QxLScan("50%x", -1, "%d%%x", &a), 1);
    EXPECT_EQ(QxLScan("50x", -1, "%d%%x", &a), 1);
    EXPECT_EQ(QxLScan("1 2", -1, "%d %d", &a, nullptr), 1);  // null destination stops
    EXPECT_EQ(QxLScan("1 2", -1, "%d %q", &a, &b), 1);       // unknown conversion stops
    EXPECT_EQ(QxLScan("a   =   5", -1, "a = %d", &a), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(QxLScan("a=5", -1, "b=%d", &a), 0);
}

TEST(Scan, NeverReadsPastCountedEnd) {
    ExactBuffer digits("12345");
    long long value = 0;
    EXPECT_EQ(QxLScan(digits.bytes(), digits.size(), "%lli", &value), 1);
    EXPECT_EQ(value, 12345);
    EXPECT_EQ(QxLScan(digits.bytes(), digits.size(), "%x", &value), 1);
    EXPECT_EQ(QxLScan(digits.bytes(), digits.size(), "12345%d", &value), 0);

    ExactBuffer sign("-");
    EXPECT_EQ(QxLScan(sign.bytes(), sign.size(), "%d", &value), 0);
    ExactBuffer prefix("0x");
    EXPECT_EQ(QxLScan(prefix.bytes(), prefix.size(), "%i", &value), 1);

    ExactBuffer word("   token");
    char out[16];
    const char* reference = nullptr;
    int32_t length = 0;
    EXPECT_EQ(QxLScan(word.bytes(), word.size(), "%s", out), 1);
    EXPECT_STREQ(out, "token");
    EXPECT_EQ(QxLScan(word.bytes(), word.size(), " %&[nekot]", &reference, &length), 1);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(QxLScan(word.bytes(), word.size(), "%&[^/]", &reference, &length), 1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(QxLScan(word.bytes(), word.size(), "%9c", out), 0);
    EXPECT_EQ(QxLScan(word.bytes(), word.size(), "%*s %#s", out), 1);

    ExactBuffer vendor("VRNXBSDPC/i386/Model1");
    const char* model = nullptr;
    int32_t modelLength = 0;
    EXPECT_EQ(QxLScan(vendor.bytes(), vendor.size(), "VRNXBSDPC/%&[^/]/%&[^/]", &reference, &length, &model,
                      &modelLength),
              2);
    EXPECT_EQ(modelLength, 6);
}

TEST(ScanText, SplitURL) {
    QxLURLParts parts;
    EXPECT_EQ(QxLSplitURL("s://h:80/a/b?x=1#f", nullptr, &parts), kStatusOK);
    EXPECT_EQ(Part(parts.scheme), "s");
    EXPECT_EQ(Part(parts.user), "<absent>");
    EXPECT_EQ(Part(parts.password), "<absent>");
    EXPECT_EQ(Part(parts.host), "h:80");
    EXPECT_EQ(Part(parts.path), "/a/b");
    EXPECT_EQ(Part(parts.query), "x=1");
    EXPECT_EQ(Part(parts.fragment), "f");

    EXPECT_EQ(QxLSplitURL("http://u:p@h/x", nullptr, &parts), kStatusOK);
    EXPECT_EQ(Part(parts.user), "u");
    EXPECT_EQ(Part(parts.password), "p");
    EXPECT_EQ(Part(parts.host), "h");
    EXPECT_EQ(Part(parts.path), "/x");
    EXPECT_EQ(QxLSplitURL("http://u@h", nullptr, &parts), kStatusOK);
    EXPECT_EQ(Part(parts.user), "u");
    EXPECT_EQ(Part(parts.password), "<absent>");
    EXPECT_EQ(Part(parts.host), "h");
    EXPECT_EQ(Part(parts.path), "<absent>");

    EXPECT_EQ(QxLSplitURL("/a/b", nullptr, &parts), kStatusOK);
    EXPECT_EQ(Part(parts.scheme), "<absent>");
    EXPECT_EQ(Part(parts.host), "<absent>");
    EXPECT_EQ(Part(parts.path), "/a/b");
    EXPECT_EQ(Part(parts.query), "<absent>");
    EXPECT_EQ(Part(parts.fragment), "<absent>");

    // A ':' after '/' is not a scheme; a '?' after '#' belongs to the fragment.
    EXPECT_EQ(QxLSplitURL("a/b:c#d?e", nullptr, &parts), kStatusOK);
    EXPECT_EQ(Part(parts.scheme), "<absent>");
    EXPECT_EQ(Part(parts.path), "a/b:c");
    EXPECT_EQ(Part(parts.query), "<absent>");
    EXPECT_EQ(Part(parts.fragment), "d?e");

    // Bounded by end, with nothing readable after it.
    ExactBuffer url("http://host?q");
    EXPECT_EQ(QxLSplitURL(url.bytes(), url.bytes() + url.size(), &parts), kStatusOK);
    EXPECT_EQ(Part(parts.host), "host");
    EXPECT_EQ(Part(parts.query), "q");
}

TEST(ScanText, Base64Decode) {
    uint8_t* bytes = nullptr;
    size_t length = 0;
    ASSERT_EQ(QxLBase64Decode(4, "QUJD", &bytes, &length), kStatusOK);
    EXPECT_STREQ(reinterpret_cast<char*>(bytes), "ABC");
    EXPECT_EQ(length, 3u);
    std::free(bytes);

    ASSERT_EQ(QxLBase64Decode(4, "QUI=", &bytes, &length), kStatusOK);
    EXPECT_STREQ(reinterpret_cast<char*>(bytes), "AB");
    EXPECT_EQ(length, 2u);
    std::free(bytes);

    // White space skipped, a lone trailing character dropped, '=' ends the text.
    ASSERT_EQ(QxLBase64Decode(-1, " QU\r\nJD\tQ", &bytes, &length), kStatusOK);
    EXPECT_EQ(length, 3u);
    std::free(bytes);
    ASSERT_EQ(QxLBase64Decode(-1, "QQ==!!!!", &bytes, &length), kStatusOK);
    EXPECT_STREQ(reinterpret_cast<char*>(bytes), "A");
    std::free(bytes);

    bytes = nullptr;
    EXPECT_EQ(QxLBase64Decode(4, "QU*=", &bytes), kStatusBadCharacter);
    EXPECT_EQ(bytes, nullptr);

    // Every length up to one full group, in an exact-size block.
    ExactBuffer all("//79");
    for (int32_t n = 0; n <= all.size(); ++n) {
        ASSERT_EQ(QxLBase64Decode(n, all.bytes(), &bytes, &length), kStatusOK);
        EXPECT_EQ(length, n < 2 ? 0u : static_cast<size_t>(n - 1));
        std::free(bytes);
    }

    QxLFailAllocationAfter(1);
    EXPECT_EQ(QxLBase64Decode(4, "QUJD", &bytes), kStatusNoMemory);
    QxLFailAllocationAfter(0);
}

TEST(ScanText, ParseIPv4) {
    uint32_t address = 0;
    EXPECT_EQ(QxLParseIPv4("192.168.1.20", &address), kStatusOK);
    EXPECT_EQ(address, 0xC0A80114u);
    EXPECT_EQ(QxLParseIPv4("10.0.0.1:65535/32", &address), kStatusOK);
    EXPECT_EQ(address, 0x0A000001u);

    address = 7;
    EXPECT_EQ(QxLParseIPv4("10.0.0.256", &address), kStatusOutOfRange);
    EXPECT_EQ(QxLParseIPv4("10.0.0", &address), kStatusUnderrun);
    EXPECT_EQ(QxLParseIPv4("", &address), kStatusUnderrun);
    EXPECT_EQ(QxLParseIPv4("10.0.0.1:70000", &address), kStatusOutOfRange);
    EXPECT_EQ(QxLParseIPv4("10.0.0.1/33", &address), kStatusOutOfRange);
    EXPECT_EQ(QxLParseIPv4("10.0.0.1.5", &address), kStatusMalformed);
    EXPECT_EQ(QxLParseIPv4("10..0.1", &address), kStatusMalformed);
    EXPECT_EQ(QxLParseIPv4("10.0.0.1x", &address), kStatusMalformed);
    EXPECT_EQ(QxLParseIPv4("10.0.0.99999999999", &address), kStatusOutOfRange);
    EXPECT_EQ(address, 7u);
}

TEST(ScanText, ParseVersion) {
    uint32_t version = 0;
    EXPECT_EQ(QxLParseVersion(-1, "1.2.3b4", &version), kStatusOK);
    EXPECT_EQ(version, 0x01236004u);
    EXPECT_EQ(QxLParseVersion(-1, "  1.2", &version), kStatusOK);
    EXPECT_EQ(version, 0x01208000u);
    EXPECT_EQ(QxLParseVersion(-1, "10.4d7", &version), kStatusOK);
    EXPECT_EQ(version, 0x0A402007u);
    EXPECT_EQ(QxLParseVersion(-1, "2.0.1A300", &version), kStatusOK);  // revision too large
    EXPECT_EQ(version, 0x02018000u);
    // Counted: the "b4" lies beyond the length.
    EXPECT_EQ(QxLParseVersion(5, "1.2.3b4", &version), kStatusOK);
    EXPECT_EQ(version, 0x01238000u);

    version = 9;
    EXPECT_EQ(QxLParseVersion(-1, "300.1", &version), kStatusOutOfRange);
    EXPECT_EQ(QxLParseVersion(-1, "1.16", &version), kStatusOutOfRange);
    EXPECT_EQ(QxLParseVersion(-1, "1.2.16", &version), kStatusOutOfRange);
    EXPECT_EQ(QxLParseVersion(-1, "   ", &version), kStatusMalformed);
    EXPECT_EQ(QxLParseVersion(-1, "v1.2", &version), kStatusMalformed);
    EXPECT_EQ(version, 9u);
}

TEST(ScanText, AppendCodedPair) {
    char buffer[kQxLCodedPairBufferSize];
    uint32_t length = 0;
    ASSERT_EQ(QxLAppendCodedPair("a,b", 0, 0x6164564E, buffer, &length), kStatusOK);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(std::string(buffer, length), "adVN=a\\,b");
    ASSERT_EQ(QxLAppendCodedPair("x\\", length, 0x41424344, buffer, &length), kStatusOK);
    EXPECT_EQ(std::string(buffer, length), "adVN=a\\,b,ABCD=x\\\\");

    // The list fills exactly to 256 bytes and not one byte further.
    std::string value(256 - 100 - 1 - 5, 'v');
    std::memset(buffer, '.', sizeof buffer);
    EXPECT_EQ(QxLAppendCodedPair(value.c_str(), 100, 0x41424344, buffer, &length), kStatusOK);
    EXPECT_EQ(length, 256u);
    value.push_back('v');
    std::memset(buffer, '.', sizeof buffer);
    length = 1;
    EXPECT_EQ(QxLAppendCodedPair(value.c_str(), 100, 0x41424344, buffer, &length), kStatusNoMemory);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(buffer[100], '.');
    // Escapes count double.
    EXPECT_EQ(QxLAppendCodedPair(",,,", 245, 0x41424344, buffer, &length), kStatusNoMemory);
}

TEST(ScanText, UUIDAndCountedComparisons) {
    const uint8_t uuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    char text[37];
    EXPECT_EQ(QxLUUIDToText(uuid, text), text);
    EXPECT_STREQ(text, "00112233-4455-6677-8899-aabbccddeeff");

    EXPECT_EQ(QxLHasPrefix("GET ", "GET /x", -1), 0);
    EXPECT_EQ(QxLHasPrefix("GET ", "GET /x", 3), 1);
    EXPECT_EQ(QxLHasPrefix("", "x", 0), 0);
    EXPECT_NE(QxLHasPrefix("POST", "PUT", -1), 0);

    EXPECT_EQ(QxLCompareCounted("abc", "abcdef", 3), 0);
    EXPECT_EQ(QxLCompareCounted("abc", "ab", 2), -1);   // text is a proper prefix
    EXPECT_EQ(QxLCompareCounted("ab", "abc", 3), 1);
    EXPECT_EQ(QxLCompareCounted("abd", "abc", 3), -1);
    EXPECT_EQ(QxLCompareCounted("abc", "abd", 3), 1);
    EXPECT_EQ(QxLCompareCounted("a\xF0", "a\x10", 2), -1);  // bytes compare unsigned
    const char nul[] = {'a', 'b', '\0', 'z'};
    EXPECT_EQ(QxLCompareCounted("ab", nul, 4), 0);
    EXPECT_EQ(QxLCompareCounted("Host", "host", 4), 1);
    EXPECT_EQ(QxLCompareCountedNoCase("Host", "hOST", 4), 0);
    EXPECT_EQ(QxLCompareCountedNoCase("Host", "hosu", 4), 1);

    ExactBuffer counted("Content-Length");
    EXPECT_EQ(QxLCompareCountedNoCase("content-length", counted.bytes(), counted.size()), 0);
    EXPECT_EQ(QxLCompareCountedNoCase("content-length:", counted.bytes(), counted.size()), -1);
    EXPECT_EQ(QxLHasPrefix("Content-Length: ", counted.bytes(), counted.size()), 1);
}

TEST(ScanText, CopyBounded) {
    char small[4];
    EXPECT_EQ(QxLCopyBounded(small, "0123456789", sizeof small), 10u);
    EXPECT_STREQ(small, "012");
    EXPECT_EQ(QxLCopyBounded(small, "ab", sizeof small), 2u);
    EXPECT_STREQ(small, "ab");
    char one[1] = {'x'};
    EXPECT_EQ(QxLCopyBounded(one, "abc", 1), 3u);
    EXPECT_EQ(one[0], '\0');
}
