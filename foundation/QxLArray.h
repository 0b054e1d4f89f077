// QxLArray (type 1): an ordered list that only grows at its end, holding its
// elements through the standard object callbacks.
#pragma once

#include "QxLCallbacks.h"

// A new empty array with the standard object callbacks. The caller owns it.
QxStatus QxLArrayCreate(QxLArrayRef* array);
QxStatus QxLArrayCount(QxLArrayRef array, int32_t* count);
// kStatusOutOfRange unless 0 <= index < count; the value is borrowed.
QxStatus QxLArrayValueAt(QxLArrayRef array, int32_t index, const void** value);
// Retains the value and stores it last (the slot block is reallocated to
// exactly count + 1 slots).
QxStatus QxLArrayAppend(QxLArrayRef array, const void* value);
// Releases every element in index order and empties the array.
QxStatus QxLArrayRemoveAll(QxLArrayRef array);

// Convenience forms, returning null or 0 on failure.
QxLArrayRef QxLArrayCreateEmpty();
int32_t QxLArrayGetCount(QxLArrayRef array);
const void* QxLArrayGetValueAt(QxLArrayRef array, int32_t index);
