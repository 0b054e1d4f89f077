// QxLDictionary (type 5): a chained hash table of 101 buckets that never
// grows or rehashes. Iteration order is bucket 0..100, then chain order
// (insertion order within a bucket): neither sorted nor insertion order
// overall, so consumers that need a stable order sort the keys.
#pragma once

#include "QxLCallbacks.h"

inline constexpr uint32_t kQxLDictionaryBucketCount = 101;

using QxLDictionaryApplier = void (*)(const void* key, const void* value, void* context);

// Either callback set may be null for the null callbacks; both are copied.
QxStatus QxLDictionaryCreate(const QxLKeyCallbacks* keyCallbacks,
                             const QxLValueCallbacks* valueCallbacks,
                             QxLDictionaryRef* dictionary);
QxStatus QxLDictionaryCount(QxLDictionaryRef dictionary, int32_t* count);
// kStatusNotFound if absent; the value is borrowed.
QxStatus QxLDictionaryGetValue(QxLDictionaryRef dictionary, const void* key,
                               const void** value);
// Adds or replaces. The new value is retained before the old one is
// released; an existing key keeps the key object first inserted.
QxStatus QxLDictionarySetValue(QxLDictionaryRef dictionary, const void* key,
                               const void* value);
// An absent key is not an error.
QxStatus QxLDictionaryRemoveValue(QxLDictionaryRef dictionary, const void* key);
QxStatus QxLDictionaryRemoveAll(QxLDictionaryRef dictionary);
// *keys: a malloc'd block of count borrowed keys in iteration order (null
// when empty), freed by the caller with free(). Either out may be null.
QxStatus QxLDictionaryCopyKeys(QxLDictionaryRef dictionary, const void*** keys,
                               int32_t* count);
// Calls function for every entry in iteration order; it must not add or
// remove entries. Does nothing for a non-dictionary.
void QxLDictionaryApply(QxLDictionaryRef dictionary, QxLDictionaryApplier function,
                        void* context);

// Convenience forms, returning null or 0 on failure.
QxLDictionaryRef QxLDictionaryCreateWith(const QxLKeyCallbacks* keyCallbacks,
                                         const QxLValueCallbacks* valueCallbacks);
int32_t QxLDictionaryGetCount(QxLDictionaryRef dictionary);
const void* QxLDictionaryGet(QxLDictionaryRef dictionary, const void* key);
