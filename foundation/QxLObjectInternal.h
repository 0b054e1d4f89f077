// Payload layouts of the built-in object types and the type functions that
// the registry's fixed records point at. Private to the foundation library:
// code above it goes through the public operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLCallbacks.h"
#include "QxLDate.h"
#include "QxLObject.h"

// QxLString, heap form (a constant string keeps its text inline instead):
//   char*    text    heap copy, always NUL-terminated
//   uint32   length  bytes, without the NUL
struct QxLStringPayload {
    char* text;
    uint32_t length;
};

// QxLNumber: one signed 64-bit value.
struct QxLNumberPayload {
    int64_t value;
};

// QxLData:
//   uint8_t* bytes     heap buffer of `capacity` bytes
//   uint32   length    bytes in use
//   uint32   capacity  always > length (one spare byte follows the content)
struct QxLDataPayload {
    uint8_t* bytes;
    uint32_t length;
    uint32_t capacity;
};

// QxLDate: six 32-bit fields, UTC.
struct QxLDatePayload {
    QxLDateFields fields;
};

// QxLArray: element callbacks, count, exactly `count` slots.
struct QxLArrayPayload {
    QxLValueCallbacks callbacks;
    int32_t count;
    const void** slots;
};

// One dictionary entry, allocated on its own.
struct QxLDictionaryNode {
    QxLDictionaryNode* next;
    const void* key;
    const void* value;
};

// QxLDictionary: key callbacks, value callbacks, entry count, bucket count
// (always 101) and the bucket table of chain heads.
struct QxLDictionaryPayload {
    QxLKeyCallbacks keyCallbacks;
    QxLValueCallbacks valueCallbacks;
    int32_t count;
    uint32_t bucketCount;
    QxLDictionaryNode** buckets;
};

// The payload of an object, typed. The caller has checked the type.
template <typename T>
inline T* QxLPayloadOf(QxLObjectRef object) {
    return static_cast<T*>(QxLObjectPayload(object));
}

// FNV-1a, 32-bit, over exactly `length` bytes.
uint32_t QxLHashFNV1a(const void* bytes, size_t length);

// Type functions of the built-in types. Each is called by the registry only
// with valid objects of its own type.
void QxLArrayFinalize(QxLObjectRef object);
bool QxLArrayEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLArrayHash(QxLObjectRef object);

void QxLDataFinalize(QxLObjectRef object);
bool QxLDataEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLDataHash(QxLObjectRef object);

bool QxLDateEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLDateHash(QxLObjectRef object);

void QxLDictionaryFinalize(QxLObjectRef object);
bool QxLDictionaryEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLDictionaryHash(QxLObjectRef object);

bool QxLNumberEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLNumberHash(QxLObjectRef object);

void QxLStringFinalize(QxLObjectRef object);
bool QxLStringEqual(QxLObjectRef a, QxLObjectRef b);
uint32_t QxLStringHash(QxLObjectRef object);
