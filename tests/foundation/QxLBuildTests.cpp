// The builder format and the path getter, including the allocation-failure
// paths of a whole build (leaks show up under the sanitizer build).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "QxLArray.h"
#include "QxLBuild.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLString.h"

namespace {

QXL_DEFINE_CONSTANT_STRING(kKeyMessage, "Message");
QXL_DEFINE_CONSTANT_STRING(kKeyFilename, "Filename");
QXL_DEFINE_CONSTANT_STRING(kKeyReason, "Reason");
QXL_DEFINE_CONSTANT_STRING(kKeyName, "name");
QXL_DEFINE_CONSTANT_STRING(kKeyPath, "path");
QXL_DEFINE_CONSTANT_STRING(kKeyHasDiags, "hasDiags");

// Releases its object at scope end.
class Ref {
public:
    explicit Ref(QxLObjectRef object = nullptr) : object_(object) {}
    ~Ref() { QxLObjectRelease(object_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    QxLObjectRef get() const { return object_; }
    QxLObjectRef* out() { return &object_; }

private:
    QxLObjectRef object_;
};

std::string Text(QxLObjectRef string) {
    const char* text = nullptr;
    uint32_t length = 0;
    if (QxLStringGetText(string, &text, &length) != kStatusOK) return "<not a string>";
    return std::string(text, length);
}

int64_t Value(QxLObjectRef number) {
    int64_t value = INT64_MIN;
    QxLNumberGetValue(number, kQxLNumberSInt64, &value);
    return value;
}

QxLObjectRef Lookup(QxLObjectRef dictionary, const char* key) {
    Ref keyString(QxLStringCreateWithText(key));
    return QxLDictionaryGet(dictionary, keyString.get());
}

// ---- Builder ----------------------------------------------------------------

TEST(QxLBuild, EventDictionaryHoldsThreeEntries) {
    Ref name(QxLStringCreateWithText("1/booter"));
    Ref event;
    ASSERT_EQ(QxLBuild(event.out(), "{%kO=%O%kO=%s%kO=%i}", kKeyMessage, QXL_STR("TFTPOpen"),
                       kKeyFilename, "1/booter", kKeyReason, -6722),
              kStatusOK);
    ASSERT_TRUE(QxLObjectIsType(event.get(), kQxLTypeDictionary));
    EXPECT_EQ(QxLObjectRetainCount(event.get()), 1);
    EXPECT_EQ(QxLDictionaryGetCount(event.get()), 3);
    EXPECT_EQ(Text(QxLDictionaryGet(event.get(), kKeyMessage)), "TFTPOpen");
    EXPECT_EQ(Text(QxLDictionaryGet(event.get(), kKeyFilename)), "1/booter");
    EXPECT_EQ(Value(QxLDictionaryGet(event.get(), kKeyReason)), -6722);

    // A passed object is shared, not copied: the dictionary adds one reference.
    Ref shared;
    ASSERT_EQ(QxLBuild(shared.out(), "{%kO=%O}", kKeyName, name.get()), kStatusOK);
    EXPECT_EQ(QxLDictionaryGet(shared.get(), kKeyName), name.get());
    EXPECT_EQ(QxLObjectRetainCount(name.get()), 2);
}

TEST(QxLBuild, NullValues) {
    QxLObjectRef untouched = kQxLBooleanTrue;
    EXPECT_EQ(QxLBuild(&untouched, "{%kO=%s}", kKeyName, nullptr), kStatusBadParameter);
    EXPECT_EQ(untouched, kQxLBooleanTrue);

    // A null object leaves its key out, and the next pair still works.
    Ref reply;
    ASSERT_EQ(QxLBuild(reply.out(), "{%kO=%O%kO=%O}", kKeyName, nullptr, kKeyMessage,
                       QXL_STR("Status")),
              kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(reply.get()), 1);
    EXPECT_EQ(Text(QxLDictionaryGet(reply.get(), kKeyMessage)), "Status");

    Ref empty;
    ASSERT_EQ(QxLBuild(empty.out(), "{%kO=%O}", kKeyName, nullptr), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(empty.get()), 0);

    QxLObjectRef none = kQxLBooleanTrue;
    EXPECT_EQ(QxLBuild(&none, "%O", nullptr), kStatusOK);
    EXPECT_EQ(none, nullptr);
}

TEST(QxLBuild, LiteralKeysAndValues) {
    Ref two;
    ASSERT_EQ(QxLBuild(two.out(), "{a=b;c=d;}"), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(two.get()), 2);
    EXPECT_EQ(Text(Lookup(two.get(), "a")), "b");
    EXPECT_EQ(Text(Lookup(two.get(), "c")), "d");

    // Brackets do not end a literal: the closer is part of the value.
    Ref open;
    ASSERT_EQ(QxLBuild(open.out(), "{a=b}"), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(open.get()), 1);
    EXPECT_EQ(Text(Lookup(open.get(), "a")), "b}");

    Ref list;
    ASSERT_EQ(QxLBuild(list.out(), "[x;y;]"), kStatusOK);
    ASSERT_EQ(QxLArrayGetCount(list.get()), 2);
    EXPECT_EQ(Text(QxLArrayGetValueAt(list.get(), 1)), "y");

    Ref lone;
    ASSERT_EQ(QxLBuild(lone.out(), "plain text"), kStatusOK);
    EXPECT_EQ(Text(lone.get()), "plain text");
}

TEST(QxLBuild, NumbersConsumeTheirArgumentWidths) {
    Ref numbers;
    ASSERT_EQ(QxLBuild(numbers.out(), "[%i%i]", 1, -1), kStatusOK);
    ASSERT_EQ(QxLArrayGetCount(numbers.get()), 2);
    EXPECT_EQ(Value(QxLArrayGetValueAt(numbers.get(), 0)), 1);
    EXPECT_EQ(Value(QxLArrayGetValueAt(numbers.get(), 1)), -1);  // sign-extended

    // The value after a 64-bit one must come out right, so the widths line up.
    Ref mixed;
    ASSERT_EQ(QxLBuild(mixed.out(), "[%lli%i%lli]", 0x123456789LL, 7, -5LL), kStatusOK);
    ASSERT_EQ(QxLArrayGetCount(mixed.get()), 3);
    EXPECT_EQ(Value(QxLArrayGetValueAt(mixed.get(), 0)), 0x123456789LL);
    EXPECT_EQ(Value(QxLArrayGetValueAt(mixed.get(), 1)), 7);
    EXPECT_EQ(Value(QxLArrayGetValueAt(mixed.get(), 2)), -5);
}

TEST(QxLBuild, MalformedStructure) {
    QxLObjectRef result = kQxLBooleanTrue;
    EXPECT_EQ(QxLBuild(&result, "{%kO=%kO=x}", kKeyName, kKeyPath), kStatusMalformed);
    EXPECT_EQ(QxLBuild(&result, "]"), kStatusMalformed);
    EXPECT_EQ(QxLBuild(&result, "{a=b;}}"), kStatusMalformed);
    EXPECT_EQ(QxLBuild(&result, "{x}"), kStatusMalformed);         // value without key
    EXPECT_EQ(QxLBuild(&result, "[a=b]"), kStatusMalformed);       // key outside dictionary
    EXPECT_EQ(QxLBuild(&result, "{a=b=c}"), kStatusMalformed);     // key while one is pending
    EXPECT_EQ(QxLBuild(&result, "[%kO=x]", kKeyName), kStatusMalformed);
    EXPECT_EQ(result, kQxLBooleanTrue);
}

TEST(QxLBuild, FormatSpecErrors) {
    QxLObjectRef result = kQxLBooleanTrue;
    EXPECT_EQ(QxLBuild(&result, "{%kOx}", kKeyName), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "{%kd=x}", 1), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%q"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "[%"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%.2i", 5), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%.*b", 1, 1), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%.*s", -1, "abc"), kStatusBadSize);
    EXPECT_EQ(QxLBuild(&result, "%.99999999999s", "abc"), kStatusBadSize);
    EXPECT_EQ(QxLBuild(&result, "%D", nullptr, 3), kStatusBadParameter);
    EXPECT_EQ(QxLBuild(&result, "%D", "abc", -1), kStatusBadSize);
    EXPECT_EQ(QxLBuild(&result, "%@", nullptr), kStatusBadParameter);
    EXPECT_EQ(result, kQxLBooleanTrue);
}

TEST(QxLBuild, PrecisionLimitsStrings) {
    Ref cut;
    ASSERT_EQ(QxLBuild(cut.out(), "%.4s", "abcdef"), kStatusOK);
    EXPECT_EQ(Text(cut.get()), "abcd");

    // Precision reads no further than it allows: the buffer has no NUL.
    const char unterminated[3] = {'x', 'y', 'z'};
    Ref keyed;
    ASSERT_EQ(QxLBuild(keyed.out(), "{%.*ks=%.*s}", 2, "keyword", 3, unterminated), kStatusOK);
    EXPECT_EQ(Text(Lookup(keyed.get(), "ke")), "xyz");
}

TEST(QxLBuild, ValueKinds) {
    const uint8_t bytes[] = {0, 1, 2, 0xFF};
    Ref tree;
    ASSERT_EQ(QxLBuild(tree.out(), "{code=%C%kC=%D%kO=%b%kO=%b%kO=%T}", 0x61626364,
                       0x6B657931, bytes, 4, kKeyName, 7, kKeyPath, 0, kKeyReason, 2007, 2, 28,
                       10, 0, 59),
              kStatusOK);
    EXPECT_EQ(Text(Lookup(tree.get(), "code")), "abcd");
    QxLObjectRef data = Lookup(tree.get(), "key1");
    uint8_t* stored = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(QxLDataGetBytes(data, &stored, &length), kStatusOK);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(memcmp(stored, bytes, 4), 0);
    EXPECT_NE(stored, bytes);
    EXPECT_EQ(QxLDictionaryGet(tree.get(), kKeyName), kQxLBooleanTrue);
    EXPECT_EQ(QxLDictionaryGet(tree.get(), kKeyPath), kQxLBooleanFalse);
    QxLDateFields fields{};
    ASSERT_EQ(QxLDateGetFields(QxLDictionaryGet(tree.get(), kKeyReason), &fields), kStatusOK);
    EXPECT_EQ(fields.year, 2007);
    EXPECT_EQ(fields.month, 2);
    EXPECT_EQ(fields.day, 28);
    EXPECT_EQ(fields.hour, 10);
    EXPECT_EQ(fields.minute, 0);
    EXPECT_EQ(fields.second, 59);

    Ref empty;
    ASSERT_EQ(QxLBuild(empty.out(), "%D", nullptr, 0), kStatusOK);
    ASSERT_EQ(QxLDataGetBytes(empty.get(), nullptr, &length), kStatusOK);
    EXPECT_EQ(length, 0u);
}

TEST(QxLBuild, Addresses) {
    const uint8_t address[8] = {192, 168, 0, 1, 0xAB, 0x0C, 0x7F, 0x80};
    Ref list;
    ASSERT_EQ(QxLBuild(list.out(), "[%.4a%.6a%.8a]", address, address, address), kStatusOK);
    ASSERT_EQ(QxLArrayGetCount(list.get()), 3);
    EXPECT_EQ(Text(QxLArrayGetValueAt(list.get(), 0)), "192.168.0.1");
    EXPECT_EQ(Text(QxLArrayGetValueAt(list.get(), 1)), "C0:A8:00:01:AB:0C");
    EXPECT_EQ(Text(QxLArrayGetValueAt(list.get(), 2)), "C0:A8:00:01:AB:0C:7F:80");

    QxLObjectRef result = nullptr;
    EXPECT_EQ(QxLBuild(&result, "%.5a", address), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%a", address), kStatusBadFormatSpec);
    EXPECT_EQ(QxLBuild(&result, "%.4a", nullptr), kStatusBadParameter);
}

TEST(QxLBuild, CopyAndMerge) {
    Ref source;
    ASSERT_EQ(QxLBuild(source.out(), "{a=1;b=[x;y;]}"), kStatusOK);

    Ref copied;
    ASSERT_EQ(QxLBuild(copied.out(), "[%#O]", source.get()), kStatusOK);
    QxLObjectRef copy = QxLArrayGetValueAt(copied.get(), 0);
    EXPECT_NE(copy, source.get());
    EXPECT_TRUE(QxLObjectEqual(copy, source.get()));
    EXPECT_NE(Lookup(copy, "b"), Lookup(source.get(), "b"));  // deep, not shallow
    EXPECT_EQ(QxLObjectRetainCount(source.get()), 1);

    // Merged entries sit beside the format's own; a merged key replaces.
    Ref merged;
    ASSERT_EQ(QxLBuild(merged.out(), "{a=0;c=2;%##O}", source.get()), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(merged.get()), 3);
    EXPECT_EQ(Text(Lookup(merged.get(), "a")), "1");
    EXPECT_EQ(Text(Lookup(merged.get(), "c")), "2");
    EXPECT_EQ(Lookup(merged.get(), "b"), Lookup(source.get(), "b"));  // values shared

    QxLObjectRef result = nullptr;
    EXPECT_EQ(QxLBuild(&result, "[%##O]", source.get()), kStatusBadParameter);
    EXPECT_EQ(QxLBuild(&result, "{k=%##O}", source.get()), kStatusBadParameter);
    EXPECT_EQ(QxLBuild(&result, "{%##O}", nullptr), kStatusBadParameter);
    EXPECT_EQ(QxLBuild(&result, "{%##O}", QXL_STR("x")), kStatusUnexpectedType);
    EXPECT_EQ(QxLBuild(&result, "[%#O]", nullptr), kStatusBadParameter);
}

TEST(QxLBuild, CurrentContainerAndTopLevel) {
    QxLObjectRef inner = nullptr;
    QxLObjectRef outer = nullptr;
    Ref tree;
    ASSERT_EQ(QxLBuild(tree.out(), "{%@list=[%@", &outer, &inner), kStatusOK);
    EXPECT_EQ(outer, tree.get());
    EXPECT_EQ(inner, Lookup(tree.get(), "list"));
    EXPECT_TRUE(QxLObjectIsType(inner, kQxLTypeArray));

    // The first top-level object is the result; later ones must not leak.
    Ref first;
    ASSERT_EQ(QxLBuild(first.out(), "%s{a=b;}[%i]%s", "one", 2, "three"), kStatusOK);
    EXPECT_EQ(Text(first.get()), "one");
    EXPECT_EQ(QxLObjectRetainCount(first.get()), 1);

    // A key still pending at the end goes away with the build.
    Ref pending;
    ASSERT_EQ(QxLBuild(pending.out(), "{%ks=", "dangling"), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(pending.get()), 0);
}

TEST(QxLBuild, IntoExistingContainers) {
    Ref discs(QxLArrayCreateEmpty());
    ASSERT_EQ(QxLBuildInto(discs.get(), "{%kO=%s%kO=%s%kO=%b}", kKeyName, "Install Disc 1",
                           kKeyPath, "pfs:\\\\.\\CdRom0#2", kKeyHasDiags, 1),
              kStatusOK);
    ASSERT_EQ(QxLArrayGetCount(discs.get()), 1);
    QxLObjectRef disc = QxLArrayGetValueAt(discs.get(), 0);
    EXPECT_EQ(QxLObjectRetainCount(disc), 1);
    EXPECT_EQ(Text(QxLDictionaryGet(disc, kKeyName)), "Install Disc 1");
    EXPECT_EQ(Text(QxLDictionaryGet(disc, kKeyPath)), "pfs:\\\\.\\CdRom0#2");
    EXPECT_EQ(QxLDictionaryGet(disc, kKeyHasDiags), kQxLBooleanTrue);

    Ref entry(QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks));
    ASSERT_EQ(QxLBuildInto(entry.get(), "%kO=%s", kKeyName, "CdRom0"), kStatusOK);
    EXPECT_EQ(Text(QxLDictionaryGet(entry.get(), kKeyName)), "CdRom0");

    // The container given is the bottom: it cannot be closed.
    EXPECT_EQ(QxLBuildInto(entry.get(), "}"), kStatusMalformed);
    EXPECT_EQ(QxLBuildInto(QXL_STR("x"), "a"), kStatusUnexpectedType);
    EXPECT_EQ(QxLBuildInto(nullptr, "a"), kStatusBadParameter);

    // What was added before a failure stays.
    EXPECT_EQ(QxLBuildInto(discs.get(), "%s[%s%s]", "kept", "inner", nullptr),
              kStatusBadParameter);
    ASSERT_EQ(QxLArrayGetCount(discs.get()), 3);
    EXPECT_EQ(Text(QxLArrayGetValueAt(discs.get(), 1)), "kept");
    EXPECT_EQ(QxLArrayGetCount(QxLArrayGetValueAt(discs.get(), 2)), 1);
}

// Every allocation of a nested build fails once in turn: each attempt must
// report kStatusNoMemory, return nothing and leave nothing behind.
TEST(QxLBuild, AllocationFailureWalk) {
    Ref shared(QxLStringCreateWithText("shared"));
    Ref extra;
    ASSERT_EQ(QxLBuild(extra.out(), "{x=1;y=[2;3;]}"), kStatusOK);
    const uint8_t address[4] = {10, 0, 0, 1};
    const uint8_t bytes[3] = {1, 2, 3};
    int failures = 0;
    for (int64_t n = 1;; ++n) {
        QxLObjectRef result = kQxLBooleanTrue;
        QxLFailAllocationAfter(n);
        QxStatus status = QxLBuild(
            &result, "{%kO=%O%kO=%s%kO=%ilist=[%lli%.4a%D%T{%##O}%#O]k=v;%ks=%C%ks=}%s",
            kKeyMessage, shared.get(), kKeyFilename, "file", kKeyReason, 5, 1LL << 33, address,
            bytes, 3, 2024, 1, 2, 3, 4, 5, extra.get(), extra.get(), "code", 0x41424344,
            "dangling", "top");
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!triggered) {
            ASSERT_EQ(status, kStatusOK);
            EXPECT_EQ(QxLDictionaryGetCount(result), 6);
            QxLObjectRelease(result);
            break;
        }
        ++failures;
        EXPECT_EQ(status, kStatusNoMemory) << "allocation " << n;
        EXPECT_EQ(result, kQxLBooleanTrue) << "allocation " << n;
        ASSERT_LT(n, 1000);
    }
    EXPECT_GT(failures, 20);
    EXPECT_EQ(QxLObjectRetainCount(shared.get()), 1);
    EXPECT_EQ(QxLObjectRetainCount(extra.get()), 1);
}

// ---- Getter -----------------------------------------------------------------

class QxLGetTest : public ::testing::Test {
protected:
    void SetUp() override {
        const uint8_t mac[6] = {0, 0x1B, 0x63, 0xAA, 0xBB, 0xCC};
        ASSERT_EQ(QxLBuild(tree_.out(),
                           "{%kO=%s%kO=%scount=%ibig=%llitext=42;bad=4x;huge=%sflag=%b"
                           "code=abcd;short=abc;mac=%Dfive=%Dip=10.0.0.1;longip=%s"
                           "vers=1.2.3b4;cut=1.2.3b0000000129;err=%lli"
                           "list=[{%kO=%s}[x;y;]]empty=[]}",
                           kKeyName, "disc", kKeyMessage, "Progress", 17, 0x100000005LL,
                           std::string(70, '7').c_str(), 1, mac, 6, mac, 5,
                           "10.0.0.1:80/24 plus padding text", 0x1FFFFFFFFLL, kKeyName,
                           "CdRom0"),
                  kStatusOK);
        // A string with a NUL inside, for the :utf8 length check.
        Ref odd(QxLStringCreateWithBytes("ab\0cd", 5));
        ASSERT_EQ(QxLBuildInto(tree_.get(), "nul=%O", odd.get()), kStatusOK);
    }
    Ref tree_;
};

TEST_F(QxLGetTest, PathsSelectValues) {
    char* text = nullptr;
    ASSERT_EQ(QxLGet(tree_.get(), &text, "list.[0].%kO:utf8", kKeyName), kStatusOK);
    EXPECT_STREQ(text, "CdRom0");
    free(text);

    QxLObjectRef found = nullptr;
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[1].[*]", 1), kStatusOK);
    EXPECT_EQ(Text(found), "y");
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%ks", "code"), kStatusOK);
    EXPECT_EQ(Text(found), "abcd");
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%kC", 0x636F6465), kStatusOK);  // 'code'
    EXPECT_EQ(Text(found), "abcd");
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%kt", "codeXYZ", 4), kStatusOK);
    EXPECT_EQ(Text(found), "abcd");
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%ko", kKeyMessage), kStatusOK);
    EXPECT_EQ(Text(found), "Progress");
    EXPECT_EQ(QxLObjectRetainCount(found), 1);  // not retained without :obj

    QxLObjectRef retained = nullptr;
    ASSERT_EQ(QxLGet(tree_.get(), &retained, "list:obj"), kStatusOK);
    EXPECT_EQ(QxLObjectRetainCount(retained), 2);
    QxLObjectRelease(retained);

    // The documented form on a bare array: "[0].%kO:utf8".
    QxLObjectRef list = Lookup(tree_.get(), "list");
    ASSERT_EQ(QxLGet(list, &text, "[0].%kO:utf8", kKeyName), kStatusOK);
    EXPECT_STREQ(text, "CdRom0");
    free(text);
    text = nullptr;
    EXPECT_EQ(QxLGet(Lookup(tree_.get(), "empty"), &text, "[0].%kO:utf8", kKeyName),
              kStatusOutOfRange);
    EXPECT_EQ(text, nullptr);
}

TEST_F(QxLGetTest, PathErrors) {
    QxLObjectRef found = kQxLBooleanTrue;
    EXPECT_EQ(QxLGet(tree_.get(), &found, ""), kStatusNotFound);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "missing"), kStatusNotFound);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[2]"), kStatusOutOfRange);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[99999999999999]"), kStatusOutOfRange);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[*]", -1), kStatusOutOfRange);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.name"), kStatusUnexpectedType);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "[0]"), kStatusUnexpectedType);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list..[0]"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, ":obj"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[x]"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[0"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "list.[0]x"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%s", "code"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "code:ut.f8"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "code:nonsense"), kStatusBadFormatSpec);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%kO", nullptr), kStatusBadParameter);
    EXPECT_EQ(QxLGet(tree_.get(), &found, "%ks", nullptr), kStatusBadParameter);
    EXPECT_EQ(QxLGet(nullptr, &found, "a"), kStatusUnexpectedType);
    EXPECT_EQ(found, kQxLBooleanTrue);
}

TEST_F(QxLGetTest, IntegerConversions) {
    int32_t value = -1;
    EXPECT_EQ(QxLGet(tree_.get(), &value, "text:int"), kStatusOK);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "count:int"), kStatusOK);
    EXPECT_EQ(value, 17);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "big:int"), kStatusOK);
    EXPECT_EQ(value, 5);  // the low half

    value = -1;
    EXPECT_EQ(QxLGet(tree_.get(), &value, "bad:int"), kStatusUnexpectedType);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "code:int"), kStatusUnexpectedType);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "flag:int"), kStatusUnexpectedType);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "huge:int"), kStatusBufferTooSmall);
    EXPECT_EQ(value, -1);

    int64_t wide = 0;
    EXPECT_EQ(QxLGet(tree_.get(), &wide, "big:int64"), kStatusOK);
    EXPECT_EQ(wide, 0x100000005LL);
    EXPECT_EQ(QxLGet(tree_.get(), &wide, "text:int64"), kStatusOK);
    EXPECT_EQ(wide, 42);

    // :err reads 32 bits of a number; strings do not qualify.
    EXPECT_EQ(QxLGet(tree_.get(), &value, "err:err"), kStatusOK);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(QxLGet(tree_.get(), &value, "text:err"), kStatusUnexpectedType);
}

TEST_F(QxLGetTest, OtherConversions) {
    uint8_t flag = 7;
    EXPECT_EQ(QxLGet(tree_.get(), &flag, "flag:bool"), kStatusOK);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(QxLGet(tree_.get(), &flag, "count:bool"), kStatusUnexpectedType);

    uint32_t code = 0;
    EXPECT_EQ(QxLGet(tree_.get(), &code, "code:code"), kStatusOK);
    EXPECT_EQ(code, 0x61626364u);
    EXPECT_EQ(QxLGet(tree_.get(), &code, "short:code"), kStatusBadSize);

    uint8_t mac[8] = {};
    EXPECT_EQ(QxLGet(tree_.get(), mac, "mac:mac"), kStatusOK);
    EXPECT_EQ(mac[1], 0x1B);
    EXPECT_EQ(mac[5], 0xCC);
    memset(mac, 0, sizeof(mac));
    EXPECT_EQ(QxLGet(tree_.get(), mac, "five:mac"), kStatusBadSize);
    EXPECT_EQ(QxLGet(tree_.get(), mac, "five:5"), kStatusOK);
    EXPECT_EQ(mac[4], 0xBB);
    EXPECT_EQ(QxLGet(tree_.get(), mac, "five:6"), kStatusBadSize);
    EXPECT_EQ(QxLGet(tree_.get(), mac, "five:5x"), kStatusBadValue);
    EXPECT_EQ(QxLGet(tree_.get(), mac, "code:4"), kStatusUnexpectedType);

    uint32_t address = 0;
    EXPECT_EQ(QxLGet(tree_.get(), &address, "ip:ipv4"), kStatusOK);
    EXPECT_EQ(address, 0x0A000001u);
    EXPECT_EQ(QxLGet(tree_.get(), &address, "longip:ipv4"), kStatusBufferTooSmall);

    uint32_t version = 0;
    EXPECT_EQ(QxLGet(tree_.get(), &version, "vers:vers"), kStatusOK);
    EXPECT_EQ(version, 0x01236004u);
    // Only the first 15 bytes count: the revision is 12, not 129.
    EXPECT_EQ(QxLGet(tree_.get(), &version, "cut:vers"), kStatusOK);
    EXPECT_EQ(version, 0x0123600Cu);

    char* text = nullptr;
    EXPECT_EQ(QxLGet(tree_.get(), &text, "nul:utf8"), kStatusBadValue);
    EXPECT_EQ(QxLGet(tree_.get(), &text, "count:utf8"), kStatusUnexpectedType);
    EXPECT_EQ(text, nullptr);

    // A null out still walks and checks.
    EXPECT_EQ(QxLGet(tree_.get(), nullptr, "five:mac"), kStatusBadSize);
    EXPECT_EQ(QxLGet(tree_.get(), nullptr, "code:utf8"), kStatusOK);
}

}  // namespace
