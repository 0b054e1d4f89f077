// The object model core: reference-counted typed values behind one 8-byte
// header, the type registry, and the constant objects (strings and the two
// booleans) that live in read-only static data.
//
// Not here: the value types' own operations (QxLString.h, QxLNumber.h,
// QxLData.h, QxLDate.h) and the collections (QxLArray.h, QxLDictionary.h).
//
// Object header (every object starts with it):
//   offset 0, 1 byte   magic: 'V' while alive, 'f' once freed
//   offset 1, 1 byte   type id, 1..255; 0 once freed
//   offset 2, 2 bytes  zero
//   offset 4, int32    retain count; 0x7FFFFFFF marks a constant object
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"

struct QxLObjectHeader {
    uint8_t magic;
    uint8_t typeID;
    uint16_t reserved;
    int32_t retainCount;
};
static_assert(sizeof(QxLObjectHeader) == 8);

inline constexpr uint8_t kQxLMagicAlive = 0x56;  // 'V'
inline constexpr uint8_t kQxLMagicFreed = 0x66;  // 'f'
inline constexpr int32_t kQxLConstantRetainCount = 0x7FFFFFFF;

// The eight built-in type ids; run-time types get 8 and up.
enum QxLTypeID : uint32_t {
    kQxLTypeInvalid = 0,
    kQxLTypeArray = 1,
    kQxLTypeBoolean = 2,
    kQxLTypeData = 3,
    kQxLTypeDate = 4,
    kQxLTypeDictionary = 5,
    kQxLTypeNumber = 6,
    kQxLTypeString = 7,
};
inline constexpr uint32_t kQxLBuiltInTypeCount = 8;

// Object references. All kinds share one pointer type: the operations check
// the header at run time, as the status rules require.
using QxLObjectRef = const void*;
using QxLArrayRef = QxLObjectRef;
using QxLBooleanRef = QxLObjectRef;
using QxLDataRef = QxLObjectRef;
using QxLDateRef = QxLObjectRef;
using QxLDictionaryRef = QxLObjectRef;
using QxLNumberRef = QxLObjectRef;
using QxLStringRef = QxLObjectRef;

// ---- Type registry ----------------------------------------------------------

using QxLFinalizeFunction = void (*)(QxLObjectRef object);
using QxLEqualFunction = bool (*)(QxLObjectRef a, QxLObjectRef b);
using QxLHashFunction = uint32_t (*)(QxLObjectRef object);

// A class record: the four used slots, then room that this program leaves
// empty. Any of the three functions may be null.
struct QxLClassRecord {
    const char* name;
    QxLFinalizeFunction finalize;
    QxLEqualFunction equal;
    QxLHashFunction hash;
    void* unused[4];
};

// Registers a type and returns its id (8 and up), or 0 when memory is short
// or every one-byte id is taken. The record is copied. Main thread only.
uint32_t QxLRegisterType(const QxLClassRecord* classRecord);

// Number of registered types (8 until the first registration).
uint32_t QxLRegisteredTypeCount();

// Drops every run-time type and returns the table to the eight built-ins
// (the application's tear-down does this after the run loop is gone).
void QxLResetTypeRegistry();

// The registered name of a type id, or null for an id not registered.
const char* QxLTypeName(uint32_t typeID);

// ---- Objects ---------------------------------------------------------------

// Allocates header plus payload (payload not cleared) with count 1; null if
// the type id is not registered or memory is short.
void* QxLObjectAllocate(size_t payloadSize, uint32_t typeID);

// Non-null, magic 'V', type id non-zero and registered.
bool QxLObjectIsValid(QxLObjectRef object);
// Valid and of the given type.
bool QxLObjectIsType(QxLObjectRef object, uint32_t typeID);
// Valid and constant (count 0x7FFFFFFF).
bool QxLObjectIsConstant(QxLObjectRef object);

// Payload of an object: the bytes right after the header.
inline void* QxLObjectPayload(QxLObjectRef object) {
    return const_cast<char*>(static_cast<const char*>(object)) + sizeof(QxLObjectHeader);
}

// Adds one reference (atomically) unless the object is constant. Returns the
// object, or null if it is not valid.
QxLObjectRef QxLObjectRetain(QxLObjectRef object);
// Drops one reference; the last one finalises and frees the object. Invalid,
// freed, null and constant objects are ignored.
void QxLObjectRelease(QxLObjectRef object);
// kStatusBadObject for an invalid object, kStatusBadParameter for a null id.
QxStatus QxLObjectTypeID(QxLObjectRef object, uint32_t* typeID);
// The current retain count (for tests and dumps); 0 for an invalid object.
int32_t QxLObjectRetainCount(QxLObjectRef object);
bool QxLObjectEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLObjectHash(QxLObjectRef object);
// Deep copy of arrays, booleans, data, dates, dictionaries, numbers and
// strings (kStatusUnexpectedType for any other kind). The caller owns *copy.
QxStatus QxLObjectCopy(QxLObjectRef object, QxLObjectRef* copy);

// ---- Constant objects ------------------------------------------------------

// A constant string: the header 56 07 00 00 FF FF FF 7F and then its text,
// inline and NUL-terminated.
template <size_t N>
struct QxLConstantString {
    QxLObjectHeader header;
    char text[N];
};

#define QXL_CONSTANT_STRING_HEADER \
    { kQxLMagicAlive, kQxLTypeString, 0, kQxLConstantRetainCount }

// Defines a named constant string at namespace scope:
//   QXL_DEFINE_CONSTANT_STRING(kKeyMessage, "Message");
// makes kKeyMessage a QxLStringRef usable as a dictionary key.
#define QXL_DEFINE_CONSTANT_STRING(name, literal)                               \
    inline constexpr QxLConstantString<sizeof(literal)> name##Storage{          \
        QXL_CONSTANT_STRING_HEADER, literal};                                   \
    inline constexpr QxLStringRef name = &name##Storage

// A constant string for a literal, usable in any expression: QXL_STR("Status").
#define QXL_STR(literal)                                                        \
    ([]() -> QxLStringRef {                                                     \
        static constexpr QxLConstantString<sizeof(literal)> storage{            \
            QXL_CONSTANT_STRING_HEADER, literal};                               \
        return &storage;                                                        \
    }())

// The two booleans: the only boolean objects that exist.
extern const QxLObjectHeader kQxLBooleanTrueObject;
extern const QxLObjectHeader kQxLBooleanFalseObject;
inline const QxLBooleanRef kQxLBooleanTrue = &kQxLBooleanTrueObject;
inline const QxLBooleanRef kQxLBooleanFalse = &kQxLBooleanFalseObject;

// kQxLBooleanTrue or kQxLBooleanFalse.
inline QxLBooleanRef QxLBooleanFor(bool value) {
    return value ? kQxLBooleanTrue : kQxLBooleanFalse;
}
// True exactly for the true object.
inline bool QxLBooleanIsTrue(QxLObjectRef object) {
    return object == kQxLBooleanTrue;
}
