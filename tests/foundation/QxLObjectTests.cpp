// The object model core: reference counting and validity, the registry, the
// value types, equality/hash agreement and deep copies. Allocation failures
// are walked one by one with the fault injector; leaks show up under ASan.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLObject.h"
#include "QxLString.h"

namespace {

QXL_DEFINE_CONSTANT_STRING(kTestKeyName, "name");

std::string TextOf(QxLStringRef string) {
    const char* text = nullptr;
    uint32_t length = 0;
    if (QxLStringGetText(string, &text, &length) != kStatusOK) return "<not a string>";
    return std::string(text, length);
}

int gFinalizeCount = 0;

void FinalizeTestObject(QxLObjectRef object) {
    EXPECT_TRUE(QxLObjectIsValid(object));  // still valid while finalised
    ++gFinalizeCount;
}

// A run-time type with a finaliser and neither equality nor hash, like the
// run-loop types.
QxLObjectRef CreateTestObject() {
    static uint32_t id = 0;
    if (id == 0) {
        QxLClassRecord record{"TestObject", FinalizeTestObject, nullptr, nullptr, {}};
        id = QxLRegisterType(&record);
    }
    return QxLObjectAllocate(0, id);
}

// Fails the 1st, 2nd, ... allocation of `op` in turn until it succeeds;
// `failed` checks that a failure changed nothing.
template <typename Op, typename Check>
void WalkAllocationFailures(Op op, Check failed) {
    for (int n = 1; n < 1000; ++n) {
        QxLFailAllocationAfter(n);
        const bool ok = op();
        const bool injected = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!injected) {
            EXPECT_TRUE(ok) << "failed without injection at step " << n;
            return;
        }
        EXPECT_FALSE(ok) << "reported success although allocation " << n << " failed";
        failed();
    }
    ADD_FAILURE() << "operation never succeeded";
}

}  // namespace

// ---- Reference counting and validity --------------------------------------------

TEST(ObjectCore, ConstantsAreImmortal) {
    const unsigned char booleanHeader[8] = {0x56, 0x02, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(std::memcmp(kQxLBooleanTrue, booleanHeader, 8), 0);
    EXPECT_EQ(std::memcmp(kQxLBooleanFalse, booleanHeader, 8), 0);
    for (QxLObjectRef constant : {kQxLBooleanTrue, kQxLBooleanFalse, kTestKeyName,
                                  QXL_STR("Status")}) {
        for (int i = 0; i < 5; ++i) EXPECT_EQ(QxLObjectRetain(constant), constant);
        for (int i = 0; i < 20; ++i) QxLObjectRelease(constant);
        EXPECT_TRUE(QxLObjectIsConstant(constant));
        EXPECT_EQ(QxLObjectRetainCount(constant), kQxLConstantRetainCount);
    }
}

TEST(ObjectCore, TheLastReleaseFinalisesOnce) {
    gFinalizeCount = 0;
    QxLObjectRef object = CreateTestObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(QxLObjectRetain(object), object);
    EXPECT_EQ(QxLObjectRetainCount(object), 2);
    QxLObjectRelease(object);
    EXPECT_EQ(gFinalizeCount, 0);
    QxLObjectRelease(object);
    EXPECT_EQ(gFinalizeCount, 1);
}

TEST(ObjectCore, InvalidHeadersAreIgnored) {
    // Hand-made headers: a freed object (magic 'f'), type 0, an unregistered
    // type. Nothing may be written to them.
    alignas(8) unsigned char freed[8] = {0x66, 0x06, 0, 0, 1, 0, 0, 0};
    alignas(8) unsigned char typeZero[8] = {0x56, 0x00, 0, 0, 1, 0, 0, 0};
    alignas(8) unsigned char unregistered[8] = {0x56, 0xFF, 0, 0, 1, 0, 0, 0};
    for (unsigned char* header : {freed, typeZero, unregistered}) {
        unsigned char before[8];
        std::memcpy(before, header, 8);
        QxLObjectRelease(header);
        EXPECT_EQ(QxLObjectRetain(header), nullptr);
        EXPECT_EQ(std::memcmp(header, before, 8), 0);
        uint32_t id = 99;
        EXPECT_EQ(QxLObjectTypeID(header, &id), kStatusBadObject);
        EXPECT_EQ(id, 99u);
        EXPECT_FALSE(QxLObjectEqual(header, header));
        EXPECT_EQ(QxLObjectHash(header), 0u);
    }
    QxLObjectRelease(nullptr);
}

TEST(ObjectCore, RetainAndReleaseAreAtomicAcrossThreads) {
    QxLNumberRef number = QxLNumberCreateWithValue(42);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([number] {
            for (int i = 0; i < 50000; ++i) QxLObjectRetain(number);
            for (int i = 0; i < 50000; ++i) QxLObjectRelease(number);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(QxLObjectRetainCount(number), 1);
    QxLObjectRelease(number);
}

// ---- Equality and hashes ------------------------------------------------------------

TEST(ObjectEquality, EqualObjectsHashAlike) {
    QxLStringRef heapName = QxLStringCreateWithText("name");
    EXPECT_TRUE(QxLObjectEqual(kTestKeyName, heapName));
    EXPECT_TRUE(QxLObjectEqual(heapName, kTestKeyName));
    EXPECT_EQ(QxLObjectHash(kTestKeyName), QxLObjectHash(heapName));
    // Heap strings must agree in stored length; against a constant only the
    // text up to the NUL counts (the hash stops there too).
    QxLStringRef embedded = QxLStringCreateWithBytes("name\0x", 6);
    EXPECT_FALSE(QxLObjectEqual(embedded, heapName));
    EXPECT_TRUE(QxLObjectEqual(embedded, kTestKeyName));
    EXPECT_EQ(QxLObjectHash(embedded), QxLObjectHash(kTestKeyName));

    // The same bytes hash alike as data and string, yet the types differ.
    QxLDataRef data = nullptr;
    ASSERT_EQ(QxLDataCreate("name", 4, &data), kStatusOK);
    EXPECT_EQ(QxLObjectHash(data), QxLObjectHash(heapName));
    EXPECT_FALSE(QxLObjectEqual(data, heapName));

    QxLNumberRef minusOne = QxLNumberCreateWithValue(-1);
    QxLNumberRef otherMinusOne = QxLNumberCreateWithValue(-1);
    QxLNumberRef lowWordOnly = QxLNumberCreateWithValue(0xFFFFFFFF);
    EXPECT_TRUE(QxLObjectEqual(minusOne, otherMinusOne));
    EXPECT_EQ(QxLObjectHash(minusOne), QxLObjectHash(otherMinusOne));
    EXPECT_FALSE(QxLObjectEqual(minusOne, lowWordOnly));

    QxLDateFields fields{2009, 8, 28, 23, 59, 58};
    QxLDateRef date = nullptr;
    QxLDateRef later = nullptr;
    ASSERT_EQ(QxLDateCreate(&fields, &date), kStatusOK);
    fields.second = 59;
    ASSERT_EQ(QxLDateCreate(&fields, &later), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(date, later));
    EXPECT_EQ(QxLObjectHash(date), 2009u + 8 + 28 + 23 + 59 + 58);

    EXPECT_FALSE(QxLObjectEqual(kQxLBooleanTrue, kQxLBooleanFalse));
    for (QxLObjectRef o : {heapName, embedded, data, minusOne, otherMinusOne, lowWordOnly, date,
                           later}) {
        QxLObjectRelease(o);
    }
}

TEST(ObjectEquality, TypeWithoutEqualityComparesByIdentity) {
    QxLObjectRef a = CreateTestObject();
    QxLObjectRef b = CreateTestObject();
    EXPECT_TRUE(QxLObjectEqual(a, a));
    EXPECT_FALSE(QxLObjectEqual(a, b));
    EXPECT_EQ(QxLObjectHash(a), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)));
    QxLObjectRelease(a);
    QxLObjectRelease(b);
}

// ---- Type registry --------------------------------------------------------------------

TEST(ObjectRegistry, RegistrationAppendsAndFailureChangesNothing) {
    EXPECT_STREQ(QxLTypeName(kQxLTypeArray), "QxLArray");
    const uint32_t before = QxLRegisteredTypeCount();
    QxLClassRecord record{"RegistryProbe", nullptr, nullptr, nullptr, {}};
    QxLFailAllocationAfter(1);
    EXPECT_EQ(QxLRegisterType(&record), 0u);
    QxLFailAllocationAfter(0);
    EXPECT_EQ(QxLRegisteredTypeCount(), before);

    const uint32_t id = QxLRegisterType(&record);
    ASSERT_EQ(id, before);
    EXPECT_STREQ(QxLTypeName(id), "RegistryProbe");
    EXPECT_STREQ(QxLTypeName(kQxLTypeString), "QxLString");  // survived the growth
    EXPECT_EQ(QxLTypeName(id + 1), nullptr);
    EXPECT_EQ(QxLObjectAllocate(8, id + 1), nullptr);
    EXPECT_EQ(QxLObjectAllocate(8, 0), nullptr);
}

namespace {

// Fills the registry to the last one-byte id and resets it; returns the
// number of failed checks. Runs in a child process: the reset would drop
// types that other code of this process registered.
int FillAndResetRegistry() {
    int failures = 0;
    auto check = [&](bool ok, const char* what) {
        if (!ok) std::fprintf(stderr, "check failed: %s\n", what);
        failures += ok ? 0 : 1;
    };
    QxLClassRecord record{"Filler", nullptr, nullptr, nullptr, {}};
    uint32_t last = 0;
    while (const uint32_t id = QxLRegisterType(&record)) last = id;
    check(last == 255 && QxLRegisteredTypeCount() == 256, "ids end at 255");
    void* object = QxLObjectAllocate(0, 255);
    check(QxLObjectIsValid(object), "id 255 is usable");
    QxLResetTypeRegistry();
    check(QxLRegisteredTypeCount() == kQxLBuiltInTypeCount, "reset to the built-ins");
    check(!QxLObjectIsValid(object), "an object of a dropped type is invalid");
    QxLFree(object);
    QxLStringRef string = QxLStringCreateWithText("after reset");
    check(QxLObjectIsType(string, kQxLTypeString), "built-ins still work");
    QxLObjectRelease(string);
    check(QxLRegisterType(&record) == kQxLBuiltInTypeCount, "ids start again at 8");
    QxLResetTypeRegistry();
    return failures;
}

}  // namespace

TEST(ObjectRegistryDeathTest, ResetDropsRuntimeTypesAndIdsStopAtOneByte) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(FillAndResetRegistry()), ::testing::ExitedWithCode(0), "");
}

// ---- Strings --------------------------------------------------------------------------

TEST(ObjectString, CreateAndSetTextFollowTheLengthRules) {
    QxLStringRef string = QxLStringCreateWithBytes("hello", 3);
    const char* text = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(QxLStringGetText(string, &text, &length), kStatusOK);
    EXPECT_STREQ(text, "hel");  // NUL appended after the copied bytes
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(QxLStringSetText(string, nullptr, 0), kStatusOK);
    EXPECT_EQ(TextOf(string), "");
    EXPECT_EQ(QxLStringSetText(string, nullptr, 2), kStatusBadParameter);
    QxLObjectRelease(string);

    QxLStringRef untouched = kTestKeyName;
    EXPECT_EQ(QxLStringCreate(nullptr, 3, &untouched), kStatusBadParameter);
    EXPECT_EQ(QxLStringCreate("x", -2, &untouched), kStatusBadParameter);
    EXPECT_EQ(untouched, kTestKeyName);
    EXPECT_EQ(QxLStringSetText(kTestKeyName, "x", -1), kStatusImmutable);
    EXPECT_EQ(TextOf(kTestKeyName), "name");
}

TEST(ObjectString, CompareAndCopyToBuffer) {
    QxLStringRef lower = QxLStringCreateWithText("abc");
    QxLStringRef upper = QxLStringCreateWithText("ABC");
    QxLStringRef high = QxLStringCreateWithText("\xC3\xA9");  // unsigned byte order
    EXPECT_EQ(QxLStringCompare(upper, lower, 0), -1);
    EXPECT_EQ(QxLStringCompare(lower, upper, kQxLCompareCaseInsensitive), 0);
    EXPECT_EQ(QxLStringCompare(lower, QXL_STR("abcd"), 0), -1);
    EXPECT_EQ(QxLStringCompare(high, lower, 0), 1);
    EXPECT_EQ(QxLStringCompare(lower, kQxLBooleanTrue, 0), -1);

    char buffer[8] = "#######";
    EXPECT_FALSE(QxLStringCopyToBuffer(kTestKeyName, buffer, 4));  // no room for the NUL
    EXPECT_EQ(buffer[0], '#');
    EXPECT_TRUE(QxLStringCopyToBuffer(kTestKeyName, buffer, 5));
    EXPECT_STREQ(buffer, "name");
    for (QxLObjectRef s : {lower, upper, high}) QxLObjectRelease(s);
}

TEST(ObjectString, GetBytesCopiesOnlyRangesInside) {
    QxLStringRef string = QxLStringCreateWithText("0123456789");
    char buffer[16] = {};
    uint32_t copied = 99;
    EXPECT_EQ(QxLStringGetBytes(string, 6, 4, buffer, sizeof buffer, &copied), 4u);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(QxLStringGetBytes(string, 0, 10, buffer, 3, &copied), 3u);  // buffer-limited
    EXPECT_EQ(QxLStringGetBytes(string, 7, 4, buffer, sizeof buffer, &copied), 0u);
    EXPECT_EQ(copied, 0u);
    // An offset that would wrap 32 bits is outside, not a short read.
    EXPECT_EQ(QxLStringGetBytes(string, 0xFFFFFFFFu, 2, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(QxLStringGetBytes(string, 1, 5, nullptr, 0, &copied), 5u);  // count only
    EXPECT_EQ(QxLStringGetBytes(kTestKeyName, 1, 3, buffer, sizeof buffer, nullptr), 3u);
    EXPECT_EQ(std::string(buffer, 3), "ame");
    QxLObjectRelease(string);
}

TEST(ObjectString, ReplaceAllScansLeftToRightWithoutOverlap) {
    QxLStringRef string = QxLStringCreateWithText("aaaaa");
    EXPECT_EQ(QxLStringReplaceAll(string, "aa", "b"), 2u);
    EXPECT_EQ(TextOf(string), "bba");
    EXPECT_EQ(QxLStringReplaceAll(string, "b", "%20"), 2u);
    EXPECT_EQ(TextOf(string), "%20%20a");
    EXPECT_EQ(QxLStringReplaceAll(string, "%20", ""), 2u);
    EXPECT_EQ(TextOf(string), "a");
    EXPECT_EQ(QxLStringReplaceAll(string, "absent", "x"), 0u);
    EXPECT_EQ(QxLStringReplaceAll(string, "", "x"), 0u);  // would never advance
    EXPECT_EQ(TextOf(string), "a");
    EXPECT_EQ(QxLStringReplaceAll(kTestKeyName, "a", "b"), 0u);
    EXPECT_EQ(TextOf(kTestKeyName), "name");
    QxLObjectRelease(string);
}

// ---- Numbers, data ------------------------------------------------------------------

TEST(ObjectNumber, EachKindWritesExactlyItsWidth) {
    const struct {
        int kind;
        size_t width;
    } cases[] = {{1, 1}, {2, 2}, {3, 4}, {4, 8}, {7, 1}, {9, 4}, {10, 4}, {11, 8}, {14, 4}};
    const int64_t value = 0x1122334455667788LL;
    QxLNumberRef number = QxLNumberCreateWithValue(value);
    for (const auto& c : cases) {
        unsigned char out[8];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_TRUE(QxLNumberGetValue(number, c.kind, out)) << "kind " << c.kind;
        EXPECT_EQ(std::memcmp(out, &value, c.width), 0) << "kind " << c.kind;
        if (c.width < 8) EXPECT_EQ(out[c.width], 0xEE) << "kind " << c.kind << " wrote too much";
    }
    for (int kind : {0, 5, 6, 8, 12, 13, 15}) {
        unsigned char out = 0xEE;
        EXPECT_FALSE(QxLNumberGetValue(number, kind, &out)) << "kind " << kind;
        EXPECT_EQ(out, 0xEE);
    }
    QxLObjectRelease(number);
    QxLNumberRef small = QxLNumberCreateWithValue(0x1FF);
    uint8_t byte = 0;
    EXPECT_TRUE(QxLNumberGetValue(small, kQxLNumberSInt8, &byte));
    EXPECT_EQ(byte, 0xFF);
    QxLObjectRelease(small);
}

TEST(ObjectData, CapacityGrowsInCoarseStepsAndKeepsASpareByte) {
    QxLDataRef data = nullptr;
    ASSERT_EQ(QxLDataCreate(nullptr, 0, &data), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 256u);
    std::vector<uint8_t> chunk(300, 0xAB);
    ASSERT_EQ(QxLDataAppend(data, chunk.data(), 300), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 4096u);
    ASSERT_EQ(QxLDataAppend(data, nullptr, 4095 - 300), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 4096u);  // 4095 still leaves a spare byte
    ASSERT_EQ(QxLDataAppend(data, "x", 1), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 32768u);
    // An exact multiple of the large step still gets room after it.
    ASSERT_EQ(QxLDataAppend(data, nullptr, 32768 - 4096), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 65536u);

    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(QxLDataGetBytes(data, &bytes, &length), kStatusOK);
    EXPECT_EQ(length, 32768u);
    EXPECT_EQ(bytes[299], 0xAB);
    EXPECT_EQ(bytes[300], 0);  // reserved room of a zero-filled buffer
    EXPECT_EQ(bytes[4095], 'x');
    EXPECT_EQ(QxLDataSetLength(data, 32769), kStatusOutOfRange);
    EXPECT_EQ(QxLDataSetLength(data, 3), kStatusOK);
    EXPECT_EQ(QxLDataCapacity(data), 65536u);
    QxLObjectRelease(data);

    QxLDataRef untouched = kTestKeyName;
    EXPECT_EQ(QxLDataCreate(nullptr, 4, &untouched), kStatusBadParameter);
    EXPECT_EQ(untouched, kTestKeyName);
}

TEST(ObjectData, EveryByteCountsForEqualityAndHash) {
    QxLDataRef a = nullptr;
    QxLDataRef b = nullptr;
    QxLDataRef c = nullptr;
    ASSERT_EQ(QxLDataCreate(nullptr, 0, &a), kStatusOK);
    ASSERT_EQ(QxLDataCreate(nullptr, 0, &b), kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(a, b));
    ASSERT_EQ(QxLDataAppend(a, "a\0b", 3), kStatusOK);
    ASSERT_EQ(QxLDataAppend(b, "a\0c", 3), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(a, b));
    EXPECT_NE(QxLObjectHash(a), QxLObjectHash(b));
    ASSERT_EQ(QxLDataCreate("a\0c", 3, &c), kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(b, c));
    EXPECT_EQ(QxLObjectHash(b), QxLObjectHash(c));
    for (QxLObjectRef o : {a, b, c}) QxLObjectRelease(o);
}

// ---- Deep copy ----------------------------------------------------------------------

TEST(ObjectCopy, ScalarsCopyToNewEqualObjects) {
    QxLObjectRef copy = nullptr;
    EXPECT_EQ(QxLObjectCopy(kQxLBooleanTrue, &copy), kStatusOK);
    EXPECT_EQ(copy, kQxLBooleanTrue);
    ASSERT_EQ(QxLObjectCopy(kTestKeyName, &copy), kStatusOK);
    EXPECT_EQ(QxLStringSetText(copy, "other", -1), kStatusOK);  // a heap copy
    QxLObjectRelease(copy);

    QxLDataRef data = nullptr;
    ASSERT_EQ(QxLDataCreate("\0\1\2", 3, &data), kStatusOK);
    QxLDateFields fields{2024, 2, 29, 1, 2, 3};
    QxLDateRef date = nullptr;
    ASSERT_EQ(QxLDateCreate(&fields, &date), kStatusOK);
    for (QxLObjectRef original :
         {data, date, QxLNumberCreateWithValue(-5), QxLStringCreateWithBytes("a\0b", 3)}) {
        ASSERT_EQ(QxLObjectCopy(original, &copy), kStatusOK);
        EXPECT_NE(copy, original);
        EXPECT_TRUE(QxLObjectEqual(copy, original));
        QxLObjectRelease(copy);
        QxLObjectRelease(original);
    }
}

TEST(ObjectCopy, OtherKindsFailAndPartialCopiesAreReleased) {
    QxLObjectRef other = CreateTestObject();
    QxLArrayRef array = QxLArrayCreateEmpty();
    ASSERT_EQ(QxLArrayAppend(array, kTestKeyName), kStatusOK);
    ASSERT_EQ(QxLArrayAppend(array, other), kStatusOK);
    QxLObjectRef copy = kTestKeyName;
    EXPECT_EQ(QxLObjectCopy(other, &copy), kStatusUnexpectedType);
    EXPECT_EQ(QxLObjectCopy(array, &copy), kStatusUnexpectedType);  // ASan: no leak
    EXPECT_EQ(copy, kTestKeyName);
    EXPECT_EQ(QxLObjectCopy(array, nullptr), kStatusBadParameter);
    QxLObjectRelease(array);
    QxLObjectRelease(other);
}

TEST(ObjectCopy, NestedCollectionsCopyDeeply) {
    QxLStringRef text = QxLStringCreateWithText("value");
    QxLArrayRef inner = QxLArrayCreateEmpty();
    ASSERT_EQ(QxLArrayAppend(inner, text), kStatusOK);
    QxLDictionaryRef dict =
        QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks);
    ASSERT_EQ(QxLDictionarySetValue(dict, kTestKeyName, inner), kStatusOK);
    QxLArrayRef outer = QxLArrayCreateEmpty();
    ASSERT_EQ(QxLArrayAppend(outer, dict), kStatusOK);

    QxLObjectRef copy = nullptr;
    ASSERT_EQ(QxLObjectCopy(outer, &copy), kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(copy, outer));
    QxLDictionaryRef dictCopy = QxLArrayGetValueAt(copy, 0);
    EXPECT_NE(dictCopy, dict);
    QxLArrayRef innerCopy = QxLDictionaryGet(dictCopy, kTestKeyName);
    ASSERT_NE(innerCopy, nullptr);
    EXPECT_NE(innerCopy, inner);
    // Changing the copy leaves the original alone.
    EXPECT_EQ(QxLStringSetText(QxLArrayGetValueAt(innerCopy, 0), "changed", -1), kStatusOK);
    EXPECT_EQ(TextOf(text), "value");
    EXPECT_FALSE(QxLObjectEqual(copy, outer));

    for (QxLObjectRef o : {copy, outer, dict, inner}) QxLObjectRelease(o);
    EXPECT_EQ(QxLObjectRetainCount(text), 1);
    QxLObjectRelease(text);
}

// ---- Allocation failures -----------------------------------------------------------

TEST(ObjectAllocationFailure, CreatorsLeaveTheOutParameterUnchanged) {
    QxLObjectRef out = kTestKeyName;
    const QxLDateFields fields{2000, 1, 1, 0, 0, 0};
    const std::vector<std::function<QxStatus()>> creators = {
        [&] { return QxLStringCreate("abc", -1, &out); },
        [&] { return QxLNumberCreate(1, &out); },
        [&] { return QxLDataCreate("abc", 3, &out); },
        [&] { return QxLDateCreate(&fields, &out); },
    };
    for (const auto& create : creators) {
        WalkAllocationFailures([&] { return create() == kStatusOK; },
                               [&] { EXPECT_EQ(out, kTestKeyName); });
        QxLObjectRelease(out);
        out = kTestKeyName;
    }
}

TEST(ObjectAllocationFailure, MutatorsLeaveTheObjectUnchanged) {
    QxLStringRef string = QxLStringCreateWithText("a-b-c");
    WalkAllocationFailures([&] { return QxLStringReplaceAll(string, "-", "--") == 2; },
                           [&] { EXPECT_EQ(TextOf(string), "a-b-c"); });
    EXPECT_EQ(TextOf(string), "a--b--c");
    QxLObjectRelease(string);

    QxLDataRef data = nullptr;
    ASSERT_EQ(QxLDataCreate("xyz", 3, &data), kStatusOK);
    std::vector<uint8_t> chunk(1000, 7);
    WalkAllocationFailures([&] { return QxLDataAppend(data, chunk.data(), 1000) == kStatusOK; },
                           [&] {
                               uint8_t* bytes = nullptr;
                               uint32_t length = 0;
                               QxLDataGetBytes(data, &bytes, &length);
                               EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length),
                                         "xyz");
                               EXPECT_EQ(QxLDataCapacity(data), 256u);
                           });
    QxLObjectRelease(data);
}

TEST(ObjectAllocationFailure, DeepCopyReleasesPartialWork) {
    QxLStringRef text = QxLStringCreateWithText("v");
    QxLDictionaryRef dict =
        QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks);
    ASSERT_EQ(QxLDictionarySetValue(dict, kTestKeyName, text), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(dict, QXL_STR("n"), kQxLBooleanTrue), kStatusOK);
    QxLArrayRef array = QxLArrayCreateEmpty();
    ASSERT_EQ(QxLArrayAppend(array, dict), kStatusOK);
    ASSERT_EQ(QxLArrayAppend(array, text), kStatusOK);

    QxLObjectRef copy = kTestKeyName;
    WalkAllocationFailures([&] { return QxLObjectCopy(array, &copy) == kStatusOK; },
                           [&] {
                               EXPECT_EQ(copy, kTestKeyName);
                               EXPECT_EQ(QxLObjectRetainCount(text), 3);
                           });
    EXPECT_TRUE(QxLObjectEqual(copy, array));
    for (QxLObjectRef o : {copy, array, dict, text}) QxLObjectRelease(o);
}
