// QxLNumber (type 6): one signed 64-bit integer. There is no floating point.
#pragma once

#include "QxLObject.h"

// Kinds accepted by QxLNumberGetValue and the width each writes.
enum QxLNumberKind : int {
    kQxLNumberSInt8 = 1,     // 8 bits
    kQxLNumberSInt16 = 2,    // 16 bits
    kQxLNumberSInt32 = 3,    // 32 bits
    kQxLNumberSInt64 = 4,    // 64 bits
    kQxLNumberChar = 7,      // 8 bits
    kQxLNumberInt = 9,       // 32 bits
    kQxLNumberLong = 10,     // 32 bits
    kQxLNumberLongLong = 11, // 64 bits
    kQxLNumberIndex = 14,    // 32 bits
};

QxStatus QxLNumberCreate(int64_t value, QxLNumberRef* number);
// Convenience form: the new number, or null.
QxLNumberRef QxLNumberCreateWithValue(int64_t value);
// Writes the value truncated to the kind's width; false (nothing written)
// for another kind or a non-number.
bool QxLNumberGetValue(QxLNumberRef number, int kind, void* value);
