// Arrays and dictionaries: ownership through the callbacks, index and key
// edge cases, the fixed bucket order, equality and allocation failures.
// Logging callbacks make every retain and release visible.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "QxLArray.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLObject.h"
#include "QxLString.h"

namespace {

QXL_DEFINE_CONSTANT_STRING(kKeyMessage, "Message");
QXL_DEFINE_CONSTANT_STRING(kKeyReason, "Reason");

const void* Key(uintptr_t value) { return reinterpret_cast<const void*>(value); }

// Callbacks for integer-like keys and values that log each call.
std::vector<std::string> gCalls;

void Note(const char* what, const void* item) {
    gCalls.push_back(what + std::to_string(reinterpret_cast<uintptr_t>(item)));
}
const void* LogKeyRetain(const void*, const void* key) {
    Note("+k", key);
    return key;
}
void LogKeyRelease(const void*, const void* key) { Note("-k", key); }
const void* LogValueRetain(const void*, const void* value) {
    Note("+v", value);
    return value;
}
void LogValueRelease(const void*, const void* value) { Note("-v", value); }
bool SameInteger(const void* a, const void* b) { return a == b; }
uint32_t IntegerHash(const void* key) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
}

const QxLKeyCallbacks kLogKeys = {0, LogKeyRetain, LogKeyRelease, nullptr, SameInteger,
                                  IntegerHash};
const QxLValueCallbacks kLogValues = {0, LogValueRetain, LogValueRelease, nullptr, SameInteger};

std::vector<const void*> KeysOf(QxLDictionaryRef dictionary) {
    const void** keys = nullptr;
    int32_t count = 0;
    EXPECT_EQ(QxLDictionaryCopyKeys(dictionary, &keys, &count), kStatusOK);
    std::vector<const void*> result(keys, keys + count);
    free(keys);
    return result;
}

QxLDictionaryRef CreateObjectDictionary() {
    return QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks);
}

// Fails the 1st, 2nd, ... allocation of `op` until it succeeds; `failed`
// checks that nothing changed.
template <typename Op, typename Check>
void WalkFailures(Op op, Check failed) {
    for (int n = 1; n < 100; ++n) {
        QxLFailAllocationAfter(n);
        const QxStatus status = op();
        const bool injected = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!injected) {
            EXPECT_EQ(status, kStatusOK);
            return;
        }
        EXPECT_EQ(status, kStatusNoMemory) << "allocation " << n;
        failed();
    }
    ADD_FAILURE() << "operation never succeeded";
}

}  // namespace

// ---- Arrays ------------------------------------------------------------------------

TEST(CollectionArray, AppendRetainsAndIndexesAreChecked) {
    QxLArrayRef array = QxLArrayCreateEmpty();
    QxLStringRef first = QxLStringCreateWithText("first");
    QxLNumberRef second = QxLNumberCreateWithValue(2);
    ASSERT_EQ(QxLArrayAppend(array, first), kStatusOK);
    ASSERT_EQ(QxLArrayAppend(array, second), kStatusOK);
    ASSERT_EQ(QxLArrayAppend(array, first), kStatusOK);
    EXPECT_EQ(QxLObjectRetainCount(first), 3);
    EXPECT_EQ(QxLArrayGetCount(array), 3);
    EXPECT_EQ(QxLArrayGetValueAt(array, 1), second);

    const void* value = kKeyMessage;
    EXPECT_EQ(QxLArrayValueAt(array, 3, &value), kStatusOutOfRange);
    EXPECT_EQ(QxLArrayValueAt(array, -1, &value), kStatusOutOfRange);
    EXPECT_EQ(value, kKeyMessage);

    ASSERT_EQ(QxLArrayRemoveAll(array), kStatusOK);
    EXPECT_EQ(QxLArrayGetCount(array), 0);
    EXPECT_EQ(QxLObjectRetainCount(first), 1);
    ASSERT_EQ(QxLArrayAppend(array, second), kStatusOK);  // usable after emptying
    QxLObjectRelease(array);                              // releases its element
    EXPECT_EQ(QxLObjectRetainCount(second), 1);
    QxLObjectRelease(first);
    QxLObjectRelease(second);
}

// ---- Dictionaries --------------------------------------------------------------------

TEST(CollectionDictionary, NullCallbacksKeyByPlainValueInBucketOrder) {
    QxLDictionaryRef table = QxLDictionaryCreateWith(nullptr, nullptr);
    // 106 and 5 share bucket 5 (106 mod 101); 4 and 200 (bucket 99) bracket it.
    for (uintptr_t key : {200, 106, 5, 4}) {
        ASSERT_EQ(QxLDictionarySetValue(table, Key(key), Key(key + 1)), kStatusOK);
    }
    EXPECT_EQ(KeysOf(table), (std::vector<const void*>{Key(4), Key(106), Key(5), Key(200)}));
    ASSERT_EQ(QxLDictionarySetValue(table, Key(5), Key(30)), kStatusOK);  // same key
    EXPECT_EQ(QxLDictionaryGetCount(table), 4);
    // Removing a chain head keeps the rest reachable; re-adding goes last.
    ASSERT_EQ(QxLDictionaryRemoveValue(table, Key(106)), kStatusOK);
    EXPECT_EQ(QxLDictionaryGet(table, Key(5)), Key(30));
    ASSERT_EQ(QxLDictionarySetValue(table, Key(106), Key(2)), kStatusOK);

    std::vector<const void*> applied;
    QxLDictionaryApply(
        table,
        [](const void* key, const void*, void* context) {
            static_cast<std::vector<const void*>*>(context)->push_back(key);
        },
        &applied);
    EXPECT_EQ(applied, (std::vector<const void*>{Key(4), Key(5), Key(106), Key(200)}));
    EXPECT_EQ(KeysOf(table), applied);
    QxLObjectRelease(table);
}

TEST(CollectionDictionary, CallbackOrderOfSetRemoveAndRemoveAll) {
    gCalls.clear();
    QxLDictionaryRef table = QxLDictionaryCreateWith(&kLogKeys, &kLogValues);
    ASSERT_EQ(QxLDictionarySetValue(table, Key(1), Key(10)), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(table, Key(1), Key(11)), kStatusOK);
    ASSERT_EQ(QxLDictionaryRemoveValue(table, Key(1)), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(table, Key(2), Key(20)), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(table, Key(103), Key(30)), kStatusOK);  // bucket 2 too
    ASSERT_EQ(QxLDictionaryRemoveAll(table), kStatusOK);
    EXPECT_EQ(QxLDictionaryGetCount(table), 0);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"+k1", "+v10", "+v11", "-v10", "-k1", "-v11",
                                                "+k2", "+v20", "+k103", "+v30", "-k2", "-v20",
                                                "-k103", "-v30"}));
    QxLObjectRelease(table);
}

TEST(CollectionDictionary, SettingTheSameValueKeepsItAlive) {
    QxLDictionaryRef dictionary = CreateObjectDictionary();
    QxLStringRef value = QxLStringCreateWithText("only the dictionary holds me");
    ASSERT_EQ(QxLDictionarySetValue(dictionary, kKeyMessage, value), kStatusOK);
    QxLObjectRelease(value);
    ASSERT_EQ(QxLDictionarySetValue(dictionary, kKeyMessage, value), kStatusOK);
    ASSERT_TRUE(QxLObjectIsValid(value));
    EXPECT_EQ(QxLObjectRetainCount(value), 1);
    QxLObjectRelease(dictionary);
}

TEST(CollectionDictionary, AnExistingKeyKeepsTheFirstKeyObject) {
    QxLDictionaryRef dictionary = CreateObjectDictionary();
    QxLStringRef first = QxLStringCreateWithText("Reason");
    QxLStringRef second = QxLStringCreateWithText("Reason");
    ASSERT_EQ(QxLDictionarySetValue(dictionary, first, kQxLBooleanTrue), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(dictionary, second, kQxLBooleanFalse), kStatusOK);
    EXPECT_EQ(KeysOf(dictionary), std::vector<const void*>{first});
    EXPECT_EQ(QxLObjectRetainCount(second), 1);
    // A constant key finds the heap key with the same text.
    EXPECT_EQ(QxLDictionaryGet(dictionary, kKeyReason), kQxLBooleanFalse);
    ASSERT_EQ(QxLDictionaryRemoveValue(dictionary, kKeyReason), kStatusOK);
    EXPECT_EQ(QxLObjectRetainCount(first), 1);
    for (QxLObjectRef o : {first, second, dictionary}) QxLObjectRelease(o);
}

TEST(CollectionDictionary, AbsentNullAndWrongKinds) {
    QxLDictionaryRef dictionary = CreateObjectDictionary();
    ASSERT_EQ(QxLDictionarySetValue(dictionary, kKeyMessage, kKeyReason), kStatusOK);
    EXPECT_EQ(QxLDictionaryRemoveValue(dictionary, kKeyReason), kStatusOK);  // absent
    EXPECT_EQ(QxLDictionaryGetCount(dictionary), 1);
    const void* value = kKeyReason;
    EXPECT_EQ(QxLDictionaryGetValue(dictionary, kKeyReason, &value), kStatusNotFound);
    EXPECT_EQ(value, kKeyReason);
    EXPECT_EQ(QxLDictionarySetValue(dictionary, nullptr, kKeyReason), kStatusBadParameter);
    EXPECT_EQ(QxLDictionaryRemoveValue(dictionary, nullptr), kStatusBadParameter);

    QxLArrayRef array = QxLArrayCreateEmpty();
    EXPECT_EQ(QxLDictionarySetValue(array, kKeyMessage, kKeyReason), kStatusBadObject);
    EXPECT_EQ(QxLArrayAppend(dictionary, kKeyMessage), kStatusBadObject);
    EXPECT_EQ(QxLDictionaryGetCount(array), 0);
    EXPECT_EQ(QxLArrayGetCount(dictionary), 0);
    int calls = 0;
    QxLDictionaryApply(
        array, [](const void*, const void*, void* context) { ++*static_cast<int*>(context); },
        &calls);
    EXPECT_EQ(calls, 0);
    QxLObjectRelease(array);
    QxLObjectRelease(dictionary);
}

TEST(CollectionDictionary, CopyKeysOfAnEmptyDictionary) {
    QxLDictionaryRef dictionary = CreateObjectDictionary();
    const void* sentinel = kKeyMessage;
    const void** keys = &sentinel;  // must be overwritten with null
    int32_t count = -1;
    ASSERT_EQ(QxLDictionaryCopyKeys(dictionary, &keys, &count), kStatusOK);
    EXPECT_EQ(keys, nullptr);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(QxLDictionarySetValue(dictionary, kKeyMessage, kKeyReason), kStatusOK);
    EXPECT_EQ(QxLDictionaryCopyKeys(dictionary, nullptr, &count), kStatusOK);
    EXPECT_EQ(count, 1);
    QxLObjectRelease(dictionary);
}

// ---- Equality -------------------------------------------------------------------------

TEST(CollectionEquality, ArraysCompareElementWise) {
    QxLArrayRef a = QxLArrayCreateEmpty();
    QxLArrayRef b = QxLArrayCreateEmpty();
    QxLStringRef text = QxLStringCreateWithText("Message");
    ASSERT_EQ(QxLArrayAppend(a, text), kStatusOK);
    ASSERT_EQ(QxLArrayAppend(b, kKeyMessage), kStatusOK);  // distinct but equal
    EXPECT_TRUE(QxLObjectEqual(a, b));
    ASSERT_EQ(QxLArrayAppend(a, kQxLBooleanTrue), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(a, b));
    ASSERT_EQ(QxLArrayAppend(b, kQxLBooleanFalse), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(a, b));
    EXPECT_EQ(QxLObjectHash(a), 2u);
    for (QxLObjectRef o : {a, b, text}) QxLObjectRelease(o);
}

TEST(CollectionEquality, DictionariesCompareEntriesAndCallbacks) {
    QxLDictionaryRef a = CreateObjectDictionary();
    QxLDictionaryRef b = CreateObjectDictionary();
    EXPECT_TRUE(QxLObjectEqual(a, b));  // both empty, same callbacks
    QxLStringRef key = QxLStringCreateWithText("Reason");
    QxLNumberRef one = QxLNumberCreateWithValue(1);
    QxLNumberRef otherOne = QxLNumberCreateWithValue(1);
    // Other insertion order, distinct but equal keys and values.
    ASSERT_EQ(QxLDictionarySetValue(a, kKeyMessage, kKeyReason), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(a, kKeyReason, one), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(b, key, otherOne), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(b, kKeyMessage, kKeyReason), kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(a, b));
    EXPECT_EQ(QxLObjectHash(a), 2u);
    ASSERT_EQ(QxLDictionarySetValue(b, key, kQxLBooleanTrue), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(a, b));

    // Same entries, different value callbacks.
    QxLValueCallbacks identityValues = kQxLObjectValueCallbacks;
    identityValues.equal = nullptr;
    QxLDictionaryRef c = QxLDictionaryCreateWith(&kQxLObjectKeyCallbacks, &identityValues);
    ASSERT_EQ(QxLDictionarySetValue(c, kKeyMessage, kKeyReason), kStatusOK);
    ASSERT_EQ(QxLDictionarySetValue(c, kKeyReason, one), kStatusOK);
    EXPECT_FALSE(QxLObjectEqual(a, c));
    EXPECT_FALSE(QxLObjectEqual(c, a));
    for (QxLObjectRef o : {a, b, c, key, one, otherOne}) QxLObjectRelease(o);
}

// ---- Allocation failures ----------------------------------------------------------------

TEST(CollectionAllocationFailure, CreateLeavesTheOutParameter) {
    for (bool dictionary : {false, true}) {
        QxLObjectRef out = kKeyMessage;
        WalkFailures(
            [&] {
                return dictionary ? QxLDictionaryCreate(nullptr, nullptr, &out)
                                  : QxLArrayCreate(&out);
            },
            [&] { EXPECT_EQ(out, kKeyMessage); });
        QxLObjectRelease(out);
    }
}

TEST(CollectionAllocationFailure, AppendLeavesTheArrayAndValueUnchanged) {
    QxLArrayRef array = QxLArrayCreateEmpty();
    QxLNumberRef number = QxLNumberCreateWithValue(9);
    ASSERT_EQ(QxLArrayAppend(array, kKeyMessage), kStatusOK);
    WalkFailures([&] { return QxLArrayAppend(array, number); },
                 [&] {
                     EXPECT_EQ(QxLArrayGetCount(array), 1);
                     EXPECT_EQ(QxLArrayGetValueAt(array, 0), kKeyMessage);
                     EXPECT_EQ(QxLObjectRetainCount(number), 1);
                 });
    EXPECT_EQ(QxLArrayGetValueAt(array, 1), number);
    QxLObjectRelease(array);
    QxLObjectRelease(number);
}

TEST(CollectionAllocationFailure, SetAndCopyKeysFailBeforeAnyChange) {
    QxLDictionaryRef table = QxLDictionaryCreateWith(&kLogKeys, &kLogValues);
    ASSERT_EQ(QxLDictionarySetValue(table, Key(5), Key(50)), kStatusOK);
    gCalls.clear();
    WalkFailures([&] { return QxLDictionarySetValue(table, Key(106), Key(60)); },
                 [&] {
                     EXPECT_TRUE(gCalls.empty());  // no callback ran
                     EXPECT_EQ(KeysOf(table), std::vector<const void*>{Key(5)});
                 });
    EXPECT_EQ(gCalls, (std::vector<std::string>{"+k106", "+v60"}));

    const void** keys = nullptr;
    int32_t count = -1;
    WalkFailures([&] { return QxLDictionaryCopyKeys(table, &keys, &count); },
                 [&] { EXPECT_EQ(count, -1); });
    EXPECT_EQ(count, 2);
    free(keys);
    QxLObjectRelease(table);
}
