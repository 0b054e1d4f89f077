// HFS+ names: the generated tables, both conversions and the two name orders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "HFSNames.h"
#include "HFSNamesInternal.h"

namespace {

// Copies bytes into a heap block of exactly their length (no NUL after
// them), so that AddressSanitizer flags any read past the counted end.
class ExactBytes {
public:
    explicit ExactBytes(const std::string& text) : bytes_(static_cast<char*>(std::malloc(text.empty() ? 1 : text.size()))), size_(text.size()) {
        std::memcpy(bytes_, text.data(), text.size());
    }
    ~ExactBytes() { std::free(bytes_); }
    ExactBytes(const ExactBytes&) = delete;
    ExactBytes& operator=(const ExactBytes&) = delete;
    const char* data() const { return bytes_; }
    size_t size() const { return size_; }

private:
    char* bytes_;
    size_t size_;
};

struct Converted {
    QxStatus status;
    std::u16string units;
};

// Converts into an exactly sized heap block of `capacityUnits` units.
Converted ToHfs(const std::string& utf8, uint32_t options = kHfsNameDecompose, size_t capacityUnits = 1024) {
    ExactBytes input(utf8);
    std::vector<uint16_t> output(capacityUnits);
    size_t length = 12345;
    QxStatus status = Utf8ToHfsName(options, input.data(), input.size(), output.data(), capacityUnits * 2, &length);
    EXPECT_EQ(length % 2, 0u);
    EXPECT_LE(length, capacityUnits * 2);
    Converted result{status, {}};
    for (size_t i = 0; i < length / 2 && i < capacityUnits; ++i) result.units.push_back(static_cast<char16_t>(output[i]));
    return result;
}

struct Utf8Result {
    QxStatus status;
    std::string text;
    size_t length;
};

Utf8Result ToUtf8(const std::u16string& units, size_t outputSize = 1024) {
    std::vector<uint16_t> input(units.begin(), units.end());
    std::vector<char> output(outputSize + 1, 'X');
    size_t length = 12345;
    QxStatus status = HfsNameToUtf8(input.data(), input.size(), output.data(), outputSize, &length);
    EXPECT_EQ(output[outputSize], 'X') << "wrote past the output size";
    if (outputSize > 0) {
        EXPECT_EQ(output[length], '\0') << "not terminated after what was written";
    }
    return Utf8Result{status, std::string(output.data(), outputSize > 0 ? length : 0), length};
}

int Compare(const std::u16string& a, const std::u16string& b) {
    std::vector<uint16_t> x(a.begin(), a.end()), y(b.begin(), b.end());
    return HfsNameCompare(x.data(), x.size(), y.data(), y.size());
}

int CompareBinary(const std::u16string& a, const std::u16string& b) {
    std::vector<uint16_t> x(a.begin(), a.end()), y(b.begin(), b.end());
    return HfsNameCompareBinary(x.data(), x.size(), y.data(), y.size());
}

std::string Utf8Of(uint32_t codePoint) {
    std::string s;
    if (codePoint < 0x80) {
        s += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        s += static_cast<char>(0xC0 | (codePoint >> 6));
        s += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        s += static_cast<char>(0xE0 | (codePoint >> 12));
        s += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (codePoint >> 18));
        s += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return s;
}

}  // namespace

// ---- generated tables ----

TEST(HFSNameTables, DecompositionTableShape) {
    using namespace hfsnames;
    ASSERT_EQ(kDecompositionCount, 970u);
    EXPECT_EQ(kSequencePoolCount, 1888u);
    size_t single = 0, pairs = 0, further = 0;
    for (size_t i = 0; i < kDecompositionCount; ++i) {
        const DecompositionEntry& e = kDecompositions[i];
        if (i > 0) {
            EXPECT_LT(kDecompositions[i - 1].character, e.character);
        }
        EXPECT_TRUE(e.character >= 0x00C0 && e.character <= 0xFB4E) << std::hex << e.character;
        EXPECT_FALSE(e.character >= 0x2000 && e.character <= 0x2FFF) << std::hex << e.character;
        EXPECT_FALSE(e.character >= 0xF900 && e.character <= 0xFAFF) << std::hex << e.character;
        unsigned length = (e.info >> kDecompositionLengthShift) & kDecompositionLengthMask;
        if (length == 1) ++single;
        if (length == 2) {
            ++pairs;
            EXPECT_LE((e.info & kDecompositionValueMask) + 2u, kSequencePoolCount);
        }
        if (e.info & kDecompositionFurther) ++further;
        EXPECT_TRUE(HfsIsDecomposable(e.character));
    }
    EXPECT_EQ(single, 26u);
    EXPECT_EQ(pairs, 944u);
    EXPECT_EQ(further, 271u);

    size_t decomposable = 0;
    for (uint32_t u = 0; u <= 0xFFFF; ++u) {
        if (HfsIsDecomposable(static_cast<uint16_t>(u))) {
            ++decomposable;
            EXPECT_GT(u, 0xBFu);
        }
    }
    EXPECT_EQ(decomposable, 970u + (0xD7A3 - 0xAC00 + 1));
}

TEST(HFSNameTables, CombiningSetAndClasses) {
    size_t marks = 0;
    for (uint32_t u = 0; u <= 0xFFFF; ++u) {
        if (HfsIsCombiningMark(static_cast<uint16_t>(u))) {
            ++marks;
            EXPECT_GT(u, 0x2FFu);
        }
    }
    EXPECT_EQ(marks, 672u);
    for (uint16_t u : {0x0300, 0x034F, 0x0483, 0x0489, 0x0591, 0x0901, 0x0903, 0x06DD, 0x06DE, 0x1161, 0x1175,
                       0x11A8, 0x11C2}) {
        EXPECT_TRUE(HfsIsCombiningMark(u)) << std::hex << u;
    }
    // Later additions and former letters stay out; leading jamo do not attach.
    for (uint16_t u : {0x02FF, 0x0487, 0x0358, 0x1885, 0x1886, 0x1100, 0x11A7, 0x0041}) {
        EXPECT_FALSE(HfsIsCombiningMark(u)) << std::hex << u;
    }

    EXPECT_EQ(HfsCombiningClass(0x0301), 230);
    EXPECT_EQ(HfsCombiningClass(0x0350), 230);
    EXPECT_EQ(HfsCombiningClass(0x0323), 220);
    EXPECT_EQ(HfsCombiningClass(0x0358), 0);  // assigned after 4.0
    EXPECT_EQ(HfsCombiningClass(0x05B0), 10);
    EXPECT_EQ(HfsCombiningClass(0x0041), 0);
    EXPECT_EQ(HfsCombiningClass(0x1161), 0);
}

TEST(HFSNameTables, CaseFolding) {
    for (uint16_t c = 'A'; c <= 'Z'; ++c) EXPECT_EQ(HfsFoldUnit(c), c + 0x20);
    for (uint16_t c = 'a'; c <= 'z'; ++c) EXPECT_EQ(HfsFoldUnit(c), c);
    EXPECT_EQ(HfsFoldUnit(0x0000), 0xFFFF);
    for (uint16_t u : {0x200C, 0x200F, 0x202A, 0x202E, 0x206A, 0x206F, 0xFEFF}) EXPECT_EQ(HfsFoldUnit(u), 0) << std::hex << u;
    EXPECT_EQ(HfsFoldUnit(0x10A0), 0x10D0);
    EXPECT_EQ(HfsFoldUnit(0x10C5), 0x10F5);
    EXPECT_EQ(HfsFoldUnit(0x24B6), 0x24B6);
    EXPECT_EQ(HfsFoldUnit(0x00C6), 0x00E6);
    EXPECT_EQ(HfsFoldUnit(0x00C0), 0x00C0);  // precomposed: never in a stored name
    EXPECT_EQ(HfsFoldUnit(0x0391), 0x03B1);
    EXPECT_EQ(HfsFoldUnit(0x0410), 0x0430);
    EXPECT_EQ(HfsFoldUnit(0x04D4), 0x04D4);
    EXPECT_EQ(HfsFoldUnit(0x2160), 0x2170);
    EXPECT_EQ(HfsFoldUnit(0xFF21), 0xFF41);
    size_t changed = 0;
    for (uint32_t u = 0; u <= 0xFFFF; ++u) changed += HfsFoldUnit(static_cast<uint16_t>(u)) != u;
    EXPECT_EQ(changed, 329u);
}

// ---- UTF-8 to UTF-16 ----

TEST(HFSNamesToUtf16, DecomposesThroughTableAndHangulArithmetic) {
    EXPECT_EQ(ToHfs("\xC3\xA9").units, u"e\u0301");
    EXPECT_EQ(ToHfs("\xC3\xA9", 0).units, u"\u00E9");  // without the option
    EXPECT_EQ(ToHfs("\uD55C").units, u"\u1112\u1161\u11AB");
    EXPECT_EQ(ToHfs("\uAC00").units, u"\u1100\u1161");
    EXPECT_EQ(ToHfs("\uD7A3").units, u"\u1112\u1175\u11C2");
    // Chains: the first unit of a mapping decomposes again.
    EXPECT_EQ(ToHfs("\u01D6").units, u"u\u0308\u0304");
    EXPECT_EQ(ToHfs("\u1E69").units, u"s\u0323\u0307");
    EXPECT_EQ(ToHfs("\u1F71").units, u"\u03B1\u0301");  // singleton to U+03AC, then on
    EXPECT_EQ(ToHfs("\u0344").units, u"\u0308\u0301");
    // Left alone: compatibility-only, excluded ranges, characters after 4.0.
    EXPECT_EQ(ToHfs("\u00BD").units, u"\u00BD");
    EXPECT_EQ(ToHfs("\u212B").units, u"\u212B");
    EXPECT_EQ(ToHfs("\uF900").units, u"\uF900");
    EXPECT_EQ(ToHfs("\u1B06").units, u"\u1B06");
    EXPECT_EQ(ToHfs("\u0D4A").units, u"\u0D46\u0D3E");
}

TEST(HFSNamesToUtf16, OrdersRunsOfMarksByClass) {
    EXPECT_EQ(ToHfs("a\u0301\u0323").units, u"a\u0323\u0301");
    // A mark after a decomposed letter joins its run.
    EXPECT_EQ(ToHfs("\u00E9\u0323").units, u"e\u0323\u0301");
    // Equal classes keep their order; a non-mark ends the run.
    EXPECT_EQ(ToHfs("a\u0301\u0300\u0323").units, u"a\u0323\u0301\u0300");
    EXPECT_EQ(ToHfs("a\u0301b\u0323").units, u"a\u0301b\u0323");
    // Marks are not reordered without the decompose option.
    EXPECT_EQ(ToHfs("a\u0301\u0323", 0).units, u"a\u0301\u0323");

    // A long hostile run stays inside the buffer and ends sorted.
    std::string run = "x";
    for (int i = 0; i < 300; ++i) run += (i % 2) ? "\u0301" : "\u0323";
    Converted c = ToHfs(run, kHfsNameDecompose, 200);
    EXPECT_EQ(c.status, kHfsNameOutputFull);
    ASSERT_EQ(c.units.size(), 200u);
    for (size_t i = 2; i < c.units.size(); ++i) {
        EXPECT_LE(HfsCombiningClass(c.units[i - 1]), HfsCombiningClass(c.units[i]));
    }
}

TEST(HFSNamesToUtf16, FullDecompositionIsStableForEveryBmpCharacter) {
    // Converting the output again changes nothing: every decomposition is
    // complete and its marks are already in order.
    for (uint32_t u = 0xC0; u <= 0xFFFF; ++u) {
        if (!HfsIsDecomposable(static_cast<uint16_t>(u))) continue;
        Converted once = ToHfs(Utf8Of(u));
        ASSERT_EQ(once.status, kStatusOK) << std::hex << u;
        ASSERT_GE(once.units.size(), 1u);
        std::string again;
        for (char16_t unit : once.units) {
            EXPECT_FALSE(HfsIsDecomposable(unit)) << std::hex << u;
            again += Utf8Of(unit);
        }
        EXPECT_EQ(ToHfs(again).units, once.units) << std::hex << u;
    }
}

TEST(HFSNamesToUtf16, RejectsInvalidUtf8) {
    const char* invalid[] = {
        "\x80",              // lone continuation
        "\xC0\x80",          // overlong NUL
        "\xC1\xBF",          // overlong two-byte
        "\xE0\x80\x80",      // overlong three-byte
        "\xED\xA0\x80",      // encoded surrogate
        "\xEF\xBF\xBE",      // U+FFFE
        "\xEF\xBF\xBF",      // U+FFFF
        "\xF0\x80\x80\x80",  // overlong four-byte
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "\xC3\x28",          // bad continuation
    };
    for (const char* bytes : invalid) {
        Converted c = ToHfs(std::string("ab") + bytes + "cd");
        EXPECT_EQ(c.status, kHfsNameInvalid) << bytes;
        EXPECT_EQ(c.units, u"ab") << "what came before the bad byte stays written";
    }
    // A sequence cut short by the counted length (AddressSanitizer checks
    // that nothing past it is read).
    EXPECT_EQ(ToHfs("a\xE2\x82").status, kHfsNameInvalid);
    EXPECT_EQ(ToHfs("\xF0\x9F\x98").status, kHfsNameInvalid);
    EXPECT_EQ(ToHfs("\xC3").status, kHfsNameInvalid);
    // A NUL in place of a continuation byte is invalid, not an end.
    EXPECT_EQ(ToHfs(std::string("\xC3\x00", 2)).status, kHfsNameInvalid);
}

TEST(HFSNamesToUtf16, SpecialUnitsAndLimits) {
    EXPECT_EQ(ToHfs("\xF0\x9F\x98\x80").units, u"\U0001F600");
    EXPECT_EQ(ToHfs("\xF4\x8F\xBF\xBF").units, u"\U0010FFFF");
    EXPECT_EQ(ToHfs("\u2400\u2400").units, std::u16string(2, u'\0'));
    EXPECT_EQ(ToHfs(std::string("ab\0cd", 5)).units, u"ab");  // NUL ends the input
    EXPECT_EQ(ToHfs("").status, kStatusOK);
    EXPECT_EQ(ToHfs("").units, u"");

    Converted full = ToHfs("abc", kHfsNameDecompose, 2);
    EXPECT_EQ(full.status, kHfsNameOutputFull);
    EXPECT_EQ(full.units, u"ab");
    // A character is written whole or not at all.
    full = ToHfs("a\u00E9", kHfsNameDecompose, 2);
    EXPECT_EQ(full.status, kHfsNameOutputFull);
    EXPECT_EQ(full.units, u"a");
    full = ToHfs("\U0001F600", 0, 1);
    EXPECT_EQ(full.status, kHfsNameOutputFull);
    EXPECT_EQ(full.units, u"");

    // An odd output size holds whole units only; zero holds nothing.
    uint16_t out[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    size_t length = 99;
    EXPECT_EQ(Utf8ToHfsName(0, "abc", 3, out, 3, &length), kHfsNameOutputFull);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(out[1], 0xAAAA);
    EXPECT_EQ(Utf8ToHfsName(0, "a", 1, nullptr, 0, &length), kHfsNameOutputFull);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Utf8ToHfsName(0, nullptr, 0, nullptr, 0, &length), kStatusOK);
    EXPECT_EQ(Utf8ToHfsName(0, nullptr, 4, out, 6, &length), kHfsNameInvalid);
}

TEST(HFSNamesToUtf16, Options) {
    Converted escaped = ToHfs("a\x80\xC3(\xE9", kHfsNameDecompose | kHfsNameEscapeIllegal);
    EXPECT_EQ(escaped.status, kStatusOK);
    EXPECT_EQ(escaped.units, u"a%80%C3(%E9");

    Converted swapped = ToHfs("A\u00E9", kHfsNameDecompose | kHfsNameReverseByteOrder);
    EXPECT_EQ(swapped.units, u"\u4100\u6500\u0103");
    // Swapped output of a full buffer is swapped too.
    swapped = ToHfs("AB", kHfsNameReverseByteOrder, 1);
    EXPECT_EQ(swapped.status, kHfsNameOutputFull);
    EXPECT_EQ(swapped.units, u"\u4100");

    // Options the converter does not have are refused, not ignored.
    EXPECT_EQ(ToHfs("a", 0x08).status, kHfsNameInvalid);
    EXPECT_EQ(ToHfs("a", 0x20).status, kHfsNameInvalid);
}

// ---- UTF-16 to UTF-8 ----

TEST(HFSNamesToUtf8, WritesUnitsAsStored) {
    EXPECT_EQ(ToUtf8(u"e\u0301").text, "e\xCC\x81");  // not recomposed
    EXPECT_EQ(ToUtf8(u"a/b").text, "a/b");
    EXPECT_EQ(ToUtf8(std::u16string(4, u'\0') + u"HFS+ Private Data").text,
              "\u2400\u2400\u2400\u2400HFS+ Private Data");
    EXPECT_EQ(ToUtf8(u"\U0001F600").text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(ToUtf8(u"\u07FF\u0800").text, "\xDF\xBF\xE0\xA0\x80");
    // Lone surrogates come out as their own three-byte forms.
    EXPECT_EQ(ToUtf8(std::u16string{0xD800, u'a'}).text, "\xED\xA0\x80" "a");
    EXPECT_EQ(ToUtf8(std::u16string{0xDC00}).text, "\xED\xB0\x80");
    EXPECT_EQ(ToUtf8(std::u16string{0xDC00, 0xD800}).text, "\xED\xB0\x80\xED\xA0\x80");
    EXPECT_EQ(ToUtf8(std::u16string{u'x', 0xDBFF}).text, "x\xED\xAF\xBF");

    Utf8Result bad = ToUtf8(std::u16string{u'a', u'b', 0xFFFE, u'c'});
    EXPECT_EQ(bad.status, kHfsNameInvalid);
    EXPECT_EQ(bad.text, "ab");
    EXPECT_EQ(ToUtf8(std::u16string{0xFFFF}).status, kHfsNameInvalid);
}

TEST(HFSNamesToUtf8, OutputLimits) {
    // A 300-unit name into a 261-byte buffer: a terminated 260-byte prefix.
    Utf8Result r = ToUtf8(std::u16string(300, u'a'), 261);
    EXPECT_EQ(r.status, kHfsNameOutputFull);
    EXPECT_EQ(r.text, std::string(260, 'a'));
    // Sequences are never cut: 86 three-byte characters fit in 260 bytes.
    r = ToUtf8(std::u16string(300, u'\u4E00'), 261);
    EXPECT_EQ(r.status, kHfsNameOutputFull);
    EXPECT_EQ(r.length, 258u);
    r = ToUtf8(u"ab\U0001F600", 6);
    EXPECT_EQ(r.status, kHfsNameOutputFull);
    EXPECT_EQ(r.text, "ab");
    r = ToUtf8(u"ab\U0001F600", 7);
    EXPECT_EQ(r.status, kStatusOK);
    EXPECT_EQ(r.length, 6u);

    EXPECT_EQ(ToUtf8(u"", 1).status, kStatusOK);
    EXPECT_EQ(ToUtf8(u"a", 1).status, kHfsNameOutputFull);
    EXPECT_EQ(ToUtf8(u"", 0).status, kHfsNameOutputFull);
    size_t length = 99;
    EXPECT_EQ(HfsNameToUtf8(nullptr, 0, nullptr, 0, &length), kHfsNameOutputFull);
    EXPECT_EQ(length, 0u);
    char out[4] = "zzz";
    EXPECT_EQ(HfsNameToUtf8(nullptr, 3, out, sizeof out, &length), kHfsNameInvalid);
    EXPECT_EQ(out[0], '\0');
}

// ---- round trips ----

TEST(HFSNamesRoundTrip, ComposedAndDecomposedText) {
    const std::string composed = "Crème brûlée, 한국어, Ωmega ǖ ṩ \U0001F600";
    const std::string decomposed =
        "Cre\xCC\x80me bru\xCC\x82le\xCC\x81" "e, \xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB\xE1\x84\x80\xE1\x85\xAE"
        "\xE1\x86\xA8\xE1\x84\x8B\xE1\x85\xA5, \xCE\xA9mega u\xCC\x88\xCC\x84 s\xCC\xA3\xCC\x87 \xF0\x9F\x98\x80";
    Converted fromComposed = ToHfs(composed);
    Converted fromDecomposed = ToHfs(decomposed);
    ASSERT_EQ(fromComposed.status, kStatusOK);
    EXPECT_EQ(fromComposed.units, fromDecomposed.units);
    EXPECT_EQ(ToUtf8(fromComposed.units).text, decomposed);
}

TEST(HFSNamesRoundTrip, EveryCodePointWithoutDecomposition) {
    // All scalar values but the two noncharacters survive UTF-8 -> UTF-16 ->
    // UTF-8 unchanged (U+2400 goes through U+0000 and comes back).
    std::string all;
    for (uint32_t c = 1; c <= 0x10FFFF; ++c) {
        if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) continue;
        all += Utf8Of(c);
    }
    Converted units = ToHfs(all, 0, all.size());
    ASSERT_EQ(units.status, kStatusOK);
    Utf8Result back = ToUtf8(units.units, all.size() + 1);
    ASSERT_EQ(back.status, kStatusOK);
    EXPECT_TRUE(back.text == all);
}

// ---- name orders ----

TEST(HFSNamesCompare, CaseInsensitiveOrder) {
    EXPECT_EQ(Compare(u"Mach_Kernel", u"mach_kernel"), 0);
    EXPECT_EQ(Compare(u"\u0391\u0392", u"\u03B1\u03B2"), 0);
    EXPECT_EQ(Compare(u"\u10A0", u"\u10D0"), 0);
    EXPECT_NE(Compare(u"\u24B6", u"\u24D0"), 0);
    // Ignorable units are skipped wherever they are.
    EXPECT_EQ(Compare(u"a\u200Cb", u"ab"), 0);
    EXPECT_EQ(Compare(u"\uFEFFab\u206F", u"AB"), 0);
    EXPECT_EQ(Compare(u"\u200D", u""), 0);
    // The shorter name is smaller when everything compared matches.
    EXPECT_EQ(Compare(u"ab", u"abc"), -1);
    EXPECT_EQ(Compare(u"ABC", u"ab"), 1);
    EXPECT_EQ(Compare(u"", u"a"), -1);
    // Folded values decide: "a" < "B" here, though not in binary order.
    EXPECT_EQ(Compare(u"a", u"B"), -1);
    EXPECT_GT(CompareBinary(u"a", u"B"), 0);
    // U+0000 folds to 0xFFFF: the private folder's name sorts after letters.
    EXPECT_EQ(Compare(std::u16string(4, u'\0') + u"HFS+ Private Data", u"zzz"), 1);
    EXPECT_EQ(Compare(std::u16string(1, u'\0'), u"\uFFFD"), 1);
    EXPECT_EQ(HfsNameCompare(nullptr, 0, nullptr, 0), 0);

    // Antisymmetric and consistent with folding over a small alphabet.
    const std::u16string names[] = {u"", u"a", u"A", u"ab", u"aB\u200C", u"b", u"\u00E9", u"e\u0301",
                                    u"E\u0301", u"\u0410", u"\u0430", std::u16string(1, u'\0'), u"zz"};
    for (const auto& x : names) {
        for (const auto& y : names) EXPECT_EQ(Compare(x, y), -Compare(y, x));
    }
    EXPECT_EQ(Compare(u"e\u0301", u"E\u0301"), 0);
    EXPECT_NE(Compare(u"\u00E9", u"e\u0301"), 0);  // names are compared as stored
}

TEST(HFSNamesCompare, BinaryOrder) {
    EXPECT_EQ(CompareBinary(u"Kernel", u"Kernel"), 0);
    EXPECT_EQ(CompareBinary(u"Kernel", u"kernel"), 'K' - 'k');
    EXPECT_EQ(CompareBinary(u"\uFFFD", u"a"), 0xFFFD - 'a');
    EXPECT_EQ(CompareBinary(u"ab", u"abc"), -1);
    EXPECT_EQ(CompareBinary(u"abc", u"ab"), 1);
    EXPECT_EQ(CompareBinary(u"a\u200C", u"a"), 1);  // nothing is ignored
    EXPECT_EQ(HfsNameCompareBinary(nullptr, 0, nullptr, 0), 0);
}
