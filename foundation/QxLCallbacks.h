// Element and key callbacks of the collections. The first argument of
// retain and release is a reserved allocator slot, always null. Any callback
// may be absent; with every entry absent nothing is retained, keys compare by
// identity and hash by their own 32-bit value (tables keyed by integers).
#pragma once

#include "QxLObject.h"

using QxLRetainCallback = const void* (*)(const void* allocator, const void* value);
using QxLReleaseCallback = void (*)(const void* allocator, const void* value);
using QxLCopyDescriptionCallback = const void* (*)(const void* value);
using QxLEqualCallback = bool (*)(const void* a, const void* b);
using QxLHashCallback = uint32_t (*)(const void* key);

// Array elements and dictionary values.
struct QxLValueCallbacks {
    int32_t version;  // always 0
    QxLRetainCallback retain;
    QxLReleaseCallback release;
    QxLCopyDescriptionCallback copyDescription;  // always absent
    QxLEqualCallback equal;
};

// Dictionary keys.
struct QxLKeyCallbacks {
    int32_t version;  // always 0
    QxLRetainCallback retain;
    QxLReleaseCallback release;
    QxLCopyDescriptionCallback copyDescription;  // always absent
    QxLEqualCallback equal;
    QxLHashCallback hash;
};

// QxLObjectRetain / QxLObjectRelease / QxLObjectEqual (/ QxLObjectHash).
extern const QxLValueCallbacks kQxLObjectValueCallbacks;
extern const QxLKeyCallbacks kQxLObjectKeyCallbacks;
