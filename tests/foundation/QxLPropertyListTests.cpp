// Property lists: reading each kind and each refusal, the exact text the
// writer produces, round trips, python3's plistlib as a peer in both
// directions, hostile nesting, and every allocation failure in turn.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLPropertyList.h"
#include "QxLString.h"

namespace {

// One owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(QxLObjectRef object) : object_(object) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { QxLObjectRelease(object_); }
    QxLObjectRef get() const { return object_; }
    QxLObjectRef* out() { return &object_; }

private:
    QxLObjectRef object_ = nullptr;
};

Ref Str(const char* text) { return Ref(QxLStringCreateWithText(text)); }
Ref Num(int64_t value) { return Ref(QxLNumberCreateWithValue(value)); }
Ref Bool(bool value) { return Ref(QxLBooleanFor(value)); }
Ref Bytes(const std::string& bytes) {
    Ref data;
    EXPECT_EQ(QxLDataCreate(bytes.data(), static_cast<int32_t>(bytes.size()), data.out()),
              kStatusOK);
    return data;
}
Ref Date(int year, int month, int day, int hour, int minute, int second) {
    QxLDateFields fields{year, month, day, hour, minute, second};
    Ref date;
    EXPECT_EQ(QxLDateCreate(&fields, date.out()), kStatusOK);
    return date;
}
template <class... Items>
Ref Arr(const Items&... items) {
    Ref array(QxLArrayCreateEmpty());
    for (QxLObjectRef item : std::initializer_list<QxLObjectRef>{items.get()...}) {
        EXPECT_EQ(QxLArrayAppend(array.get(), item), kStatusOK);
    }
    return array;
}
void Put(QxLObjectRef) {}
template <class... Rest>
void Put(QxLObjectRef dictionary, const char* key, const Ref& value, const Rest&... rest) {
    Ref keyString = Str(key);
    EXPECT_EQ(QxLDictionarySetValue(dictionary, keyString.get(), value.get()), kStatusOK);
    Put(dictionary, rest...);
}
// Dict("key", value, "key", value, ...)
template <class... Entries>
Ref Dict(const Entries&... entries) {
    Ref dictionary(QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks));
    Put(dictionary.get(), entries...);
    return dictionary;
}

QxStatus Read(const std::string& text, Ref* object) {
    return QxLPropertyListRead(text.data(), static_cast<int32_t>(text.size()), object->out());
}

// The body wrapped in <plist>.
std::string Doc(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
           "</plist>\n";
}

std::string DataText(QxLDataRef data) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(QxLDataGetBytes(data, &bytes, &length), kStatusOK);
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

using Fields = std::array<int32_t, 6>;
Fields DateFields(QxLObjectRef date) {
    QxLDateFields f{};
    EXPECT_EQ(QxLDateGetFields(date, &f), kStatusOK);
    return {f.year, f.month, f.day, f.hour, f.minute, f.second};
}

std::string Write(QxLObjectRef object) {
    Ref data;
    QxStatus status = QxLPropertyListWrite(object, data.out());
    EXPECT_EQ(status, kStatusOK);
    return status == kStatusOK ? DataText(data.get()) : std::string();
}

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist SYSTEM \"http://www.tamsor.org/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// A tree holding every supported kind, nested, with the awkward values.
Ref EveryKind() {
    return Dict("text", Str("Gr\xC3\xBC\xC3\x9F" "e x<y & \"z\" > 'w'"),
                "min", Num(INT64_MIN), "max", Num(INT64_MAX), "neg", Num(-17),
                "yes", Bool(true), "no", Bool(false), "when", Date(2007, 2, 28, 10, 0, 0),
                "blob", Bytes(std::string("\x00\x01\xFF\x80 plist", 10)),
                "long", Bytes(std::string(55, '\x5A')), "empty", Bytes(""),
                "list", Arr(Num(1), Str("two"), Arr(Num(3), Dict("four", Num(4))), Dict(), Arr()),
                "a&b", Dict("<inner>", Arr(Str(""))));
}

}  // namespace

// ---- Reading ----------------------------------------------------------------

// Text as the parser delivers it: whitespace kept, entities resolved. Integers
// scan leniently, and a later duplicate key wins.
TEST(PropertyListRead, ConvertsElementTextAsDelivered) {
    Ref object;
    ASSERT_EQ(Read(Doc("<dict>\n"
                       "  <key>s</key><string> a &amp; b &lt;c&gt; \xC3\xA9 </string>\n"
                       "  <key>abc</key><integer>abc</integer><key>none</key><integer/>\n"
                       "  <key>min</key><integer>-9223372036854775808</integer>\n"
                       "  <key>k</key><integer>1</integer><key>k</key><true/>\n"
                       "  <key></key><string/>\n"
                       "</dict>"),
                   &object),
              kStatusOK);
    Ref expected = Dict("s", Str(" a & b <c> \xC3\xA9 "), "abc", Num(0), "none", Num(0),
                        "min", Num(INT64_MIN), "k", Bool(true), "", Str(""));
    EXPECT_TRUE(QxLObjectEqual(object.get(), expected.get())) << Write(object.get());
    EXPECT_EQ(QxLObjectRetainCount(object.get()), 1);
}

TEST(PropertyListRead, RefusesBadDocumentsWithTheirStatus) {
    const std::pair<std::string, QxStatus> cases[] = {
        {"<array><integer>1</integer></array>", kStatusBadName},
        {Doc("<integer>1</integer><integer>2</integer>"), kStatusMalformed},
        {Doc(""), kStatusMalformed},
        {Doc("<dict><key>a</key></dict>"), kStatusMalformed},
        {Doc("<dict><string>a</string><string>b</string></dict>"), kStatusMalformed},
        {Doc("<array><key>a</key></array>"), kStatusMalformed},
        {Doc("<plist><true/></plist>"), kStatusMalformed},
        {Doc("<float>1</float>"), kStatusMalformed},
        {Doc("<real>1.5</real>"), kStatusTypeNotSupported},
        {Doc("<array><true/><real>1.5</real></array>"), kStatusTypeNotSupported},
        {Doc("<dict><key>x</key><date>2007-13-01T00:00:00Z</date></dict>"), kStatusBadDate},
        {Doc("<string>unclosed"), kStatusMalformed},
        {Doc("<string>a</strin>"), kStatusMalformed},
        {"<plist><true/></plist><plist/>", kStatusMalformed},
        {"", kStatusMalformed},
        {"   ", kStatusMalformed},
        {"not xml at all", kStatusMalformed},
    };
    for (const auto& [text, expected] : cases) {
        Ref object;
        EXPECT_EQ(Read(text, &object), expected) << text;
        EXPECT_EQ(object.get(), nullptr) << text;
    }
    QxLObjectRef object = nullptr;
    EXPECT_EQ(QxLPropertyListRead(nullptr, 0, &object), kStatusBadParameter);
    EXPECT_EQ(QxLPropertyListRead("<plist/>", 8, nullptr), kStatusBadParameter);
    EXPECT_EQ(QxLPropertyListRead("<plist/>", -1, &object), kStatusBadParameter);
}

TEST(PropertyListRead, DatesFollowTheFieldRules) {
    const std::pair<const char*, Fields> accepted[] = {
        {"2007-02-30T10:00:00Z", {2007, 2, 30, 10, 0, 0}},  // a range check, not a calendar
        {"0001-01-01T00:00:00Z", {1, 1, 1, 0, 0, 0}},
        {"123456-1-2T3:4:5Z", {123456, 1, 2, 3, 4, 5}},
        {"-06-07T08:09:10Z", {0, 6, 7, 8, 9, 10}},
        {"2007-01-01T00:00:00Ztrailing", {2007, 1, 1, 0, 0, 0}},
    };
    for (const auto& [text, fields] : accepted) {
        Ref object;
        ASSERT_EQ(Read(Doc(std::string("<date>") + text + "</date>"), &object), kStatusOK) << text;
        EXPECT_EQ(DateFields(object.get()), fields) << text;
    }
    const char* const refused[] = {
        "2007-13-01T00:00:00Z", "2007-00-01T00:00:00Z", "2007-01-00T00:00:00Z",
        "2007-01-32T00:00:00Z", "2007-01-01T24:00:00Z", "2007-01-01T00:60:00Z",
        "2007-01-01T00:00:60Z", "2007-01-01T00:00:00",  "2007-01-01 00:00:00Z",
        "2007/01/01T00:00:00Z", " 2007-01-01T00:00:00Z", "2007-01", "",
        // Digits that would overflow a field must fail, not wrap into range.
        "99999999999999999999-01-01T00:00:00Z", "2007-4294967297-01T00:00:00Z",
    };
    for (const char* text : refused) {
        Ref object;
        EXPECT_EQ(Read(Doc(std::string("<date>") + text + "</date>"), &object), kStatusBadDate)
            << text;
    }
}

TEST(PropertyListRead, Base64SkipsStrayBytesAndStopsAtPadding) {
    const std::pair<const char*, std::string> decoded[] = {
        {"QUJD", "ABC"},
        {"\n\tQ U*J\n\t!D\n", "ABC"},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QQ=", "A"},
        {"Q=", std::string(1, '\x40')},  // one character still yields a byte
        {"QQ==QUJD", "A"},               // nothing after the '=' counts
        {"QUI", "AB"},                   // a short group at the end is kept
        {"", ""},
        {"  \n ", ""},
        {"AP8A", std::string("\x00\xFF\x00", 3)},
    };
    for (const auto& [text, bytes] : decoded) {
        Ref object;
        ASSERT_EQ(Read(Doc(std::string("<data>") + text + "</data>"), &object), kStatusOK)
            << text;
        EXPECT_EQ(DataText(object.get()), bytes) << text;
    }
    for (const char* text : {"=", "QUJD=", "QUJD\n=QQ"}) {
        Ref object;
        EXPECT_EQ(Read(Doc(std::string("<data>") + text + "</data>"), &object), kStatusMalformed)
            << text;
    }
}

// Conversion recurses, so nesting is capped: 512 elements including <plist>.
TEST(PropertyListRead, DeepNestingIsRefusedNotOverflowed) {
    auto nested = [](int arrays) {
        std::string text = "<plist>";
        for (int i = 0; i < arrays; i++) text += "<array>";
        for (int i = 0; i < arrays; i++) text += "</array>";
        return text + "</plist>";
    };
    Ref deepest;
    ASSERT_EQ(Read(nested(511), &deepest), kStatusOK);
    EXPECT_EQ(QxLArrayGetCount(deepest.get()), 1);
    Ref tooDeep;
    EXPECT_EQ(Read(nested(512), &tooDeep), kStatusMalformed);
    Ref hostile;
    EXPECT_EQ(Read(nested(200000), &hostile), kStatusMalformed);
    // An unclosed flood is stopped at the cap before expat sees the missing ends.
    std::string unclosed = "<plist>";
    for (int i = 0; i < 100000; i++) unclosed += "<dict>";
    Ref flood;
    EXPECT_EQ(Read(unclosed, &flood), kStatusMalformed);
}

// ---- Writing ----------------------------------------------------------------

TEST(PropertyListWrite, ProducesTheExactDocument) {
    Ref tree = Dict("b", Arr(Num(1), Bool(true), Bool(false), Arr(), Dict(), Bytes("ABCD")),
                    "a", Str("x<y & \"z\""), "B", Num(INT64_MIN), "ab", Str("it's > 0"),
                    "c", Dict("when", Date(2007, 2, 28, 10, 0, 0), "n", Num(-42),
                              "old", Date(7, 1, 2, 3, 4, 5)));
    EXPECT_EQ(Write(tree.get()), std::string(kHeader) +
                                     "<dict>\n"
                                     "\t<key>B</key>\n"
                                     "\t<integer>-9223372036854775808</integer>\n"
                                     "\n"
                                     "\t<key>a</key>\n"
                                     "\t<string>x&lt;y &amp; \"z\"</string>\n"
                                     "\n"
                                     "\t<key>ab</key>\n"
                                     "\t<string>it's &gt; 0</string>\n"
                                     "\n"
                                     "\t<key>b</key>\n"
                                     "\t<array>\n"
                                     "\t\t<integer>1</integer>\n"
                                     "\t\t<true/>\n"
                                     "\t\t<false/>\n"
                                     "\t\t<array/>\n"
                                     "\t\t<dict/>\n"
                                     "\t\t<data>\n"
                                     "\t\tQUJDRA==\n"
                                     "\t\t</data>\n"
                                     "\t</array>\n"
                                     "\n"
                                     "\t<key>c</key>\n"
                                     "\t<dict>\n"
                                     "\t\t<key>n</key>\n"
                                     "\t\t<integer>-42</integer>\n"
                                     "\n"
                                     "\t\t<key>old</key>\n"
                                     "\t\t<date>0007-01-02T03:04:05Z</date>\n"
                                     "\n"
                                     "\t\t<key>when</key>\n"
                                     "\t\t<date>2007-02-28T10:00:00Z</date>\n"
                                     "\t</dict>\n"
                                     "</dict>\n"
                                     "</plist>\n");
    // Keys are escaped like strings; a single value sits at depth 0.
    Ref escapedKey = Dict("<&>", Bool(true));
    EXPECT_EQ(Write(escapedKey.get()),
              std::string(kHeader) + "<dict>\n\t<key>&lt;&amp;&gt;</key>\n\t<true/>\n</dict>\n</plist>\n");
    Ref single = Str("");
    EXPECT_EQ(Write(single.get()), std::string(kHeader) + "<string></string>\n</plist>\n");
}

TEST(PropertyListWrite, Base64LinesHoldAtMost72Characters) {
    const std::string full(72, 'A');  // 54 zero bytes
    Ref exact = Arr(Bytes(std::string(54, '\0')));
    EXPECT_EQ(Write(exact.get()),
              std::string(kHeader) + "<array>\n\t<data>\n\t" + full + "\n\t</data>\n</array>\n</plist>\n");
    Ref oneMore = Arr(Bytes(std::string(55, '\0')));
    EXPECT_EQ(Write(oneMore.get()), std::string(kHeader) + "<array>\n\t<data>\n\t" + full +
                                        "\n\tAA==\n\t</data>\n</array>\n</plist>\n");
    Ref twoMore = Bytes(std::string(56, '\0'));
    EXPECT_EQ(Write(twoMore.get()),
              std::string(kHeader) + "<data>\n" + full + "\nAAA=\n</data>\n</plist>\n");
    Ref empty = Arr(Arr(Bytes("")));
    EXPECT_EQ(Write(empty.get()), std::string(kHeader) +
                                      "<array>\n\t<array>\n\t\t<data>\n\t\t\n\t\t</data>\n"
                                      "\t</array>\n</array>\n</plist>\n");
}

TEST(PropertyListWrite, RefusesWhatItCannotExpress) {
    Ref data;
    EXPECT_EQ(QxLPropertyListWrite(nullptr, data.out()), kStatusBadParameter);
    Ref number = Num(1);
    EXPECT_EQ(QxLPropertyListWrite(number.get(), nullptr), kStatusBadParameter);

    // A number as a key, nested so that output was already under way.
    Ref badKey(QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks));
    ASSERT_EQ(QxLDictionarySetValue(badKey.get(), number.get(), number.get()), kStatusOK);
    Ref outer = Arr(Str("first"), badKey);
    EXPECT_EQ(QxLPropertyListWrite(outer.get(), data.out()), kStatusBadObject);
    EXPECT_EQ(data.get(), nullptr);

    // A run-time type the format has no element for.
    static const uint32_t typeID = [] {
        QxLClassRecord record{"PropertyListTestOpaque", nullptr, nullptr, nullptr, {}};
        return QxLRegisterType(&record);
    }();
    ASSERT_NE(typeID, 0u);
    Ref opaque(QxLObjectAllocate(8, typeID));
    ASSERT_NE(opaque.get(), nullptr);
    Ref holder = Dict("x", opaque);
    EXPECT_EQ(QxLPropertyListWrite(holder.get(), data.out()), kStatusTypeNotSupported);
    EXPECT_EQ(data.get(), nullptr);

    // A container that holds itself is refused by the depth cap, not recursed forever.
    Ref loop = Arr();
    ASSERT_EQ(QxLArrayAppend(loop.get(), loop.get()), kStatusOK);
    EXPECT_EQ(QxLPropertyListWrite(loop.get(), data.out()), kStatusMalformed);
    EXPECT_EQ(QxLArrayRemoveAll(loop.get()), kStatusOK);  // break the cycle for the leak check
}

// ---- Round trips ------------------------------------------------------------

TEST(PropertyListRoundTrip, WriteThenReadGivesAnEqualTree) {
    Ref tree = EveryKind();
    std::string text = Write(tree.get());
    Ref back;
    ASSERT_EQ(Read(text, &back), kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(tree.get(), back.get())) << text;
    EXPECT_EQ(Write(back.get()), text);
}

// ---- python3 plistlib as a peer ---------------------------------------------

namespace {

class PropertyListPeer : public ::testing::Test {
protected:
    void SetUp() override {
        python_ = TAMSOR_PYTHON3;
        std::error_code error;
        if (python_.empty() || !std::filesystem::exists(python_, error)) {
            GTEST_SKIP() << "python3 is not available";
        }
        std::mt19937_64 random(std::random_device{}() ^
                               std::chrono::steady_clock::now().time_since_epoch().count());
        directory_ = std::filesystem::temp_directory_path(error) /
                     ("tamsor-plist-" + std::to_string(random()));
        ASSERT_TRUE(std::filesystem::create_directory(directory_, error)) << error.message();
        if (Python("import plistlib", "") != 0) GTEST_SKIP() << "python3 cannot run plistlib";
    }
    void TearDown() override {
        std::error_code error;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
    }

    std::string PathOf(const char* name) const { return (directory_ / name).string(); }

    // Runs the script with the given argument; its standard output goes to out.txt.
    int Python(const std::string& script, const std::string& argument) {
        std::ofstream(PathOf("script.py"), std::ios::binary) << script;
        std::string command = "\"" + python_ + "\" \"" + PathOf("script.py") + "\" \"" +
                              argument + "\" > \"" + PathOf("out.txt") + "\"";
        return std::system(command.c_str());
    }
    std::string ReadFile(const char* name) const {
        std::ifstream stream(PathOf(name), std::ios::binary);
        std::stringstream text;
        text << stream.rdbuf();
        return text.str();
    }

    std::string python_;
    std::filesystem::path directory_;
};

// Prints a loaded property list as compact JSON with tagged data and dates.
constexpr char kDumpScript[] = R"PY(
import datetime, json, plistlib, sys
def tagged(v):
    if isinstance(v, bool) or isinstance(v, int) or isinstance(v, str):
        return v
    if isinstance(v, bytes):
        return {"data": v.hex()}
    if isinstance(v, datetime.datetime):
        return {"date": v.strftime("%Y-%m-%dT%H:%M:%SZ")}
    if isinstance(v, list):
        return [tagged(x) for x in v]
    if isinstance(v, dict):
        return {k: tagged(x) for k, x in v.items()}
    raise TypeError(type(v).__name__)
with open(sys.argv[1], "rb") as f:
    print(json.dumps(tagged(plistlib.load(f)), sort_keys=True, separators=(",", ":")))
)PY";

// Writes the same tree as EveryKind() (less the 55-byte blob) with plistlib.
constexpr char kMakeScript[] = R"PY(
import datetime, plistlib, sys
tree = {
    "text": "Gr\u00fc\u00dfe x<y & \"z\" > 'w'",
    "min": -9223372036854775808, "max": 9223372036854775807, "neg": -17,
    "yes": True, "no": False, "when": datetime.datetime(2007, 2, 28, 10, 0, 0),
    "blob": b"\x00\x01\xff\x80 plist", "long": bytes(range(256)) * 3, "empty": b"",
    "list": [1, "two", [3, {"four": 4}], {}, []],
    "a&b": {"<inner>": [""]},
}
with open(sys.argv[1], "wb") as f:
    plistlib.dump(tree, f)
)PY";

}  // namespace

TEST_F(PropertyListPeer, PlistlibLoadsWhatWeWrite) {
    Ref tree = EveryKind();
    {
        std::ofstream(PathOf("ours.plist"), std::ios::binary) << Write(tree.get());
    }
    ASSERT_EQ(Python(kDumpScript, PathOf("ours.plist")), 0);
    EXPECT_EQ(ReadFile("out.txt"),
              "{\"a&b\":{\"<inner>\":[\"\"]},"
              "\"blob\":{\"data\":\"0001ff8020706c697374\"},"
              "\"empty\":{\"data\":\"\"},"
              "\"list\":[1,\"two\",[3,{\"four\":4}],{},[]],"
              "\"long\":{\"data\":\"" + [] {
                  std::string hex;
                  for (int i = 0; i < 55; i++) hex += "5a";
                  return hex;
              }() + "\"},"
              "\"max\":9223372036854775807,\"min\":-9223372036854775808,\"neg\":-17,"
              "\"no\":false,"
              "\"text\":\"Gr\\u00fc\\u00dfe x<y & \\\"z\\\" > 'w'\","
              "\"when\":{\"date\":\"2007-02-28T10:00:00Z\"},"
              "\"yes\":true}\n");
}

TEST_F(PropertyListPeer, WeReadWhatPlistlibWrites) {
    ASSERT_EQ(Python(kMakeScript, PathOf("theirs.plist")), 0);
    std::string text = ReadFile("theirs.plist");
    Ref back;
    ASSERT_EQ(Read(text, &back), kStatusOK) << text;

    std::string repeated;
    for (int i = 0; i < 3; i++) {
        for (int b = 0; b < 256; b++) repeated += static_cast<char>(b);
    }
    Ref expected = EveryKind();
    Put(expected.get(), "long", Bytes(repeated));
    EXPECT_TRUE(QxLObjectEqual(expected.get(), back.get()))
        << "plistlib wrote:\n" << text << "we read back:\n" << Write(back.get());
}

TEST_F(PropertyListPeer, FloatsFromPlistlibAreRefused) {
    ASSERT_EQ(Python("import plistlib, sys\n"
                     "with open(sys.argv[1], 'wb') as f: plistlib.dump({'n': 1, 'x': 1.5}, f)\n",
                     PathOf("real.plist")),
              0);
    Ref back;
    EXPECT_EQ(Read(ReadFile("real.plist"), &back), kStatusTypeNotSupported);
    EXPECT_EQ(back.get(), nullptr);
}

// ---- Allocation failures ----------------------------------------------------

// Fails each allocation of the operation in turn until one run needs no
// failure; every failed run must report the shortage and hand nothing out.
template <class Operation>
void WalkAllocationFailures(int minimumFailures, Operation operation) {
    int failures = 0;
    for (int64_t n = 1;; n++) {
        Ref result;
        QxLFailAllocationAfter(n);
        QxStatus status = operation(&result);
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!triggered) {
            EXPECT_EQ(status, kStatusOK);
            EXPECT_NE(result.get(), nullptr);
            break;
        }
        failures++;
        EXPECT_EQ(status, kStatusNoMemory) << "allocation " << n;
        EXPECT_EQ(result.get(), nullptr) << "allocation " << n;
    }
    EXPECT_GE(failures, minimumFailures);
}

TEST(PropertyListFaults, EveryAllocationFailureInReadIsReported) {
    Ref tree = EveryKind();
    std::string text = Write(tree.get());
    WalkAllocationFailures(40, [&](Ref* result) { return Read(text, result); });
}

TEST(PropertyListFaults, EveryAllocationFailureInWriteIsReported) {
    Ref tree = EveryKind();
    WalkAllocationFailures(
        3, [&](Ref* result) { return QxLPropertyListWrite(tree.get(), result->out()); });
}
