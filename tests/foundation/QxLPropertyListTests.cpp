// Property lists: reading each kind and each refusal (XML and binary), the
// exact text the writer produces, round trips, python3's plistlib as a peer in both
// directions, hostile nesting, and every allocation failure in turn.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// ---- Binary property lists --------------------------------------------------

namespace {

// Builds a binary property list from hand-made objects, so that every field
// of the layout can be set wrong on purpose.
struct BinaryPlist {
    std::vector<std::string> objects;
    int referenceWidth = 1;
    int offsetWidth = 1;
    uint64_t top = 0;
    // Overrides applied to the trailer when set.
    int64_t objectCount = -1;
    int64_t tableOffset = -1;

    // Adds an object and returns its reference.
    uint8_t Add(const std::string& object) {
        objects.push_back(object);
        return static_cast<uint8_t>(objects.size() - 1);
    }
    static std::string Big(uint64_t value, int width) {
        std::string out;
        for (int i = width - 1; i >= 0; i--) out += static_cast<char>(i < 8 ? value >> (8 * i) : 0);
        return out;
    }
    std::string Build() const {
        std::string file = "bplist00";
        std::vector<uint64_t> offsets;
        for (const std::string& object : objects) {
            offsets.push_back(file.size());
            file += object;
        }
        uint64_t table = file.size();
        for (uint64_t offset : offsets) file += Big(offset, offsetWidth);
        file += std::string(6, '\0');
        file += static_cast<char>(offsetWidth);
        file += static_cast<char>(referenceWidth);
        file += Big(objectCount >= 0 ? uint64_t(objectCount) : objects.size(), 8);
        file += Big(top, 8);
        file += Big(tableOffset >= 0 ? uint64_t(tableOffset) : table, 8);
        return file;
    }
};

std::string Marker(int kind, int count) { return std::string(1, static_cast<char>(kind << 4 | count)); }
std::string Refs(std::initializer_list<int> references) {
    std::string out;
    for (int reference : references) out += static_cast<char>(reference);
    return out;
}

QxStatus ReadBinary(const BinaryPlist& plist, Ref* object) {
    return Read(plist.Build(), object);
}

}  // namespace

// The refusals, each with its status, and no object handed out.
TEST(BinaryPropertyListRead, DamagedLayoutsGetTheirStatus) {
    struct Case {
        const char* what;
        BinaryPlist plist;
        QxStatus expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, QxStatus expected, auto&& shape) {
        BinaryPlist plist;
        shape(plist);
        cases.push_back({what, plist, expected});
    };
    add("array holding itself", kStatusMalformed,
        [](BinaryPlist& p) { p.Add(Marker(0xA, 1) + Refs({0})); });
    add("dictionary -> array -> dictionary", kStatusMalformed, [](BinaryPlist& p) {
        p.Add(Marker(0xD, 1) + Refs({1, 2}));
        p.Add(Marker(0x5, 1) + "k");
        p.Add(Marker(0xA, 2) + Refs({1, 0}));
    });
    add("reference past the last object", kStatusMalformed,
        [](BinaryPlist& p) { p.Add(Marker(0xA, 1) + Refs({7})); });
    add("offset beyond the file", kStatusMalformed, [](BinaryPlist& p) {
        p.Add(Marker(0xA, 1) + Refs({1}));
        p.Add("\x09");
        p.offsetWidth = 2;
    });
    add("top object out of range", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.top = 1;
    });
    add("object count larger than the table", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.objectCount = 1000;
    });
    add("object count zero", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.objectCount = 0;
    });
    add("table offset in the trailer", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.tableOffset = 1 << 20;
    });
    add("table offset inside the header", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.tableOffset = 3;
    });
    add("reference width 0", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.referenceWidth = 0;
    });
    add("offset width 9", kStatusMalformed, [](BinaryPlist& p) {
        p.Add("\x09");
        p.offsetWidth = 9;
    });
    add("data longer than the file", kStatusBadSize,
        [](BinaryPlist& p) { p.Add(Marker(0x4, 0xF) + "\x13" + BinaryPlist::Big(1ull << 62, 8)); });
    add("negative count", kStatusBadSize,
        [](BinaryPlist& p) { p.Add(Marker(0x5, 0xF) + "\x13" + BinaryPlist::Big(~0ull, 8)); });
    add("count whose product overflows", kStatusBadSize, [](BinaryPlist& p) {
        p.Add(Marker(0x6, 0xF) + "\x13" + BinaryPlist::Big(0x8000000000000001ull >> 1, 8));
    });
    add("dictionary whose references run past the objects", kStatusBadSize,
        [](BinaryPlist& p) { p.Add(Marker(0xD, 9) + Refs({0, 0, 0})); });
    add("count given as a string", kStatusMalformed,
        [](BinaryPlist& p) { p.Add(Marker(0x4, 0xF) + Marker(0x5, 1) + "x"); });
    add("integer cut short", kStatusMalformed, [](BinaryPlist& p) { p.Add("\x13\x01\x02"); });
    add("integer of 32 bytes", kStatusMalformed, [](BinaryPlist& p) { p.Add("\x15" + std::string(32, '\0')); });
    add("integer beyond 64 bits", kStatusOutOfRange, [](BinaryPlist& p) {
        p.Add("\x14" + BinaryPlist::Big(1, 8) + BinaryPlist::Big(0, 8));
    });
    add("null", kStatusMalformed, [](BinaryPlist& p) { p.Add(std::string(1, '\0')); });
    add("real", kStatusTypeNotSupported,
        [](BinaryPlist& p) { p.Add("\x23" + BinaryPlist::Big(0x3FF8000000000000ull, 8)); });
    add("real cut short", kStatusMalformed, [](BinaryPlist& p) { p.Add("\x23\x3F"); });
    add("UID", kStatusTypeNotSupported, [](BinaryPlist& p) { p.Add("\x80\x01"); });
    add("set", kStatusTypeNotSupported, [](BinaryPlist& p) {
        p.Add(Marker(0xC, 1) + Refs({1}));
        p.Add("\x09");
    });
    add("date not a number", kStatusBadDate,
        [](BinaryPlist& p) { p.Add("\x33" + BinaryPlist::Big(0x7FF8000000000000ull, 8)); });
    add("date in year 20000", kStatusBadDate, [](BinaryPlist& p) {
        double seconds = 6e11;
        uint64_t bits;
        std::memcpy(&bits, &seconds, 8);
        p.Add("\x33" + BinaryPlist::Big(bits, 8));
    });
    add("ASCII string with a byte above 0x7F", kStatusBadCharacter,
        [](BinaryPlist& p) { p.Add(Marker(0x5, 2) + "a\xE9"); });
    add("UTF-16 with a lone high surrogate", kStatusBadCharacter,
        [](BinaryPlist& p) { p.Add(Marker(0x6, 2) + std::string("\xD8\x3D\x00\x41", 4)); });
    add("UTF-16 with a lone low surrogate", kStatusBadCharacter,
        [](BinaryPlist& p) { p.Add(Marker(0x6, 1) + std::string("\xDC\x00", 2)); });
    add("dictionary key that is a number", kStatusMalformed, [](BinaryPlist& p) {
        p.Add(Marker(0xD, 1) + Refs({1, 1}));
        p.Add("\x10\x05");
    });
    add("unknown marker", kStatusMalformed, [](BinaryPlist& p) { p.Add("\x70"); });

    for (Case& c : cases) {
        std::string file = c.plist.Build();
        if (std::string(c.what) == "offset beyond the file") {
            // Object 1's table entry points far past the end.
            size_t table = file.size() - 32 - 2 * 2;
            file[table + 2] = '\x7F';
            file[table + 3] = '\x00';
        }
        Ref object;
        EXPECT_EQ(Read(file, &object), c.expected) << c.what;
        EXPECT_EQ(object.get(), nullptr) << c.what;
    }

    Ref object;
    EXPECT_EQ(Read("bplist01" + std::string(40, '\0'), &object), kStatusUnsupported);
    EXPECT_EQ(Read("bplist00" + std::string(24, '\0'), &object), kStatusMalformed);
    EXPECT_EQ(QxLPropertyListReadBinary("<plist/>", 8, object.out()), kStatusBadSignature);
}

// Every prefix of a valid file, and every single-byte change of it, reads to
// a status or an object, never past the buffer (the sanitizer build checks).
TEST(BinaryPropertyListRead, TruncatedAndFlippedFilesNeverReadOutside) {
    BinaryPlist plist;
    plist.Add(Marker(0xD, 2) + Refs({1, 2, 3, 4}));
    plist.Add(Marker(0x5, 4) + "Name");
    plist.Add(Marker(0x5, 5) + "Index");
    plist.Add(Marker(0x6, 2) + std::string("\x00\xE9\x00x", 4));
    plist.Add(Marker(0xA, 2) + Refs({5, 5}));
    plist.Add(std::string("\x11\x10\x00", 3));
    std::string file = plist.Build();
    Ref whole;
    ASSERT_EQ(Read(file, &whole), kStatusOK);
    for (size_t length = 0; length < file.size(); length++) {
        std::vector<char> copy(file.begin(), file.begin() + static_cast<long>(length));
        Ref object;
        QxStatus status = QxLPropertyListRead(copy.data(), static_cast<int32_t>(length), object.out());
        EXPECT_NE(status, kStatusOK) << length;
    }
    int accepted = 0;
    for (size_t at = 0; at < file.size(); at++) {
        for (int bit = 0; bit < 8; bit++) {
            std::vector<char> copy(file.begin(), file.end());
            copy[at] = static_cast<char>(copy[at] ^ (1 << bit));
            Ref object;
            if (QxLPropertyListRead(copy.data(), static_cast<int32_t>(copy.size()), object.out()) ==
                kStatusOK) {
                accepted++;
            }
        }
    }
    EXPECT_LT(accepted, static_cast<int>(file.size()) * 8);
}

// Shared objects may not expand into a tree far larger than the file, and
// nesting has the XML reader's limit.
TEST(BinaryPropertyListRead, ExpansionAndNestingAreBounded) {
    BinaryPlist laughs;
    laughs.top = 0;
    for (int i = 0; i < 40; i++) laughs.Add(Marker(0xA, 2) + Refs({i + 1, i + 1}));
    laughs.Add("\x09");
    Ref object;
    EXPECT_EQ(ReadBinary(laughs, &object), kStatusBadSize);

    auto chain = [](int arrays) {
        BinaryPlist p;
        p.referenceWidth = 2;
        p.offsetWidth = 2;
        for (int i = 0; i + 1 < arrays; i++) p.Add(Marker(0xA, 1) + BinaryPlist::Big(i + 1, 2));
        p.Add(Marker(0xA, 0));
        return p;
    };
    Ref deepest;
    EXPECT_EQ(ReadBinary(chain(512), &deepest), kStatusOK);
    Ref tooDeep;
    EXPECT_EQ(ReadBinary(chain(513), &tooDeep), kStatusMalformed);

    // A scalar shared by many containers is fine (writers share equal values).
    BinaryPlist shared;
    std::string refs;
    for (int i = 0; i < 14; i++) refs += '\x01';
    shared.Add(Marker(0xA, 14) + refs);
    shared.Add(Marker(0x5, 1) + "x");
    Ref list;
    ASSERT_EQ(ReadBinary(shared, &list), kStatusOK);
    EXPECT_EQ(QxLArrayGetCount(list.get()), 14);
}

// Each kind as plistlib writes it in binary: integers of every width, both
// string encodings, dates before and after the epoch, nested containers.
TEST_F(PropertyListPeer, WeReadPlistlibBinary) {
    ASSERT_EQ(Python(std::string(kMakeScript) +
                         "tree.update({'u16': 'na\\u00efve \\u65e5\\u672c \\U0001f600',\n"
                         "  'widths': [0, 255, 256, 65535, 65536, 4294967295, 4294967296, -1,\n"
                         "             -9223372036854775808, 9223372036854775807],\n"
                         "  'old': datetime.datetime(1999, 12, 31, 23, 59, 59),\n"
                         "  'big': list(range(20)), 'bigdata': bytes(300)})\n"
                         "with open(sys.argv[1], 'wb') as f:\n"
                         "    plistlib.dump(tree, f, fmt=plistlib.FMT_BINARY)\n",
                     PathOf("binary.plist")),
              0);
    std::string file = ReadFile("binary.plist");
    ASSERT_EQ(file.compare(0, 8, "bplist00"), 0);
    Ref back;
    ASSERT_EQ(Read(file, &back), kStatusOK);

    std::string repeated;
    for (int i = 0; i < 3; i++) {
        for (int b = 0; b < 256; b++) repeated += static_cast<char>(b);
    }
    Ref expected = EveryKind();
    Put(expected.get(), "long", Bytes(repeated));
    Put(expected.get(), "u16",
        Str("na\xC3\xAFve \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"));
    Put(expected.get(), "widths",
        Arr(Num(0), Num(255), Num(256), Num(65535), Num(65536), Num(4294967295LL),
            Num(4294967296LL), Num(-1), Num(INT64_MIN), Num(INT64_MAX)));
    Put(expected.get(), "old", Date(1999, 12, 31, 23, 59, 59));
    Ref big(QxLArrayCreateEmpty());
    for (int i = 0; i < 20; i++) QxLArrayAppend(big.get(), Num(i).get());
    Put(expected.get(), "big", big);
    Put(expected.get(), "bigdata", Bytes(std::string(300, '\0')));
    EXPECT_TRUE(QxLObjectEqual(expected.get(), back.get())) << "we read back:\n" << Write(back.get());

    // 2^63 needs plistlib's 16-byte integer: beyond what a number holds.
    ASSERT_EQ(Python("import plistlib, sys\n"
                     "with open(sys.argv[1], 'wb') as f:\n"
                     "    plistlib.dump({'n': 2**63}, f, fmt=plistlib.FMT_BINARY)\n",
                     PathOf("huge.plist")),
              0);
    Ref huge;
    EXPECT_EQ(Read(ReadFile("huge.plist"), &huge), kStatusOutOfRange);
}

TEST(PropertyListFaults, EveryAllocationFailureInBinaryReadIsReported) {
    BinaryPlist plist;
    plist.Add(Marker(0xD, 2) + Refs({1, 2, 3, 4}));
    plist.Add(Marker(0x5, 1) + "a");
    plist.Add(Marker(0x6, 1) + std::string("\x00" "b", 2));
    plist.Add(Marker(0xA, 3) + Refs({5, 6, 7}));
    plist.Add("\x33" + BinaryPlist::Big(0, 8));
    plist.Add(Marker(0x4, 2) + "zz");
    plist.Add("\x10\x07");
    plist.Add("\x08");
    std::string file = plist.Build();
    WalkAllocationFailures(8, [&](Ref* result) { return Read(file, result); });
}
