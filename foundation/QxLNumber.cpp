// QxLNumber: a signed 64-bit integer object. Reading it back truncates to
// the width of the requested kind; there is no floating point.
#include "QxLNumber.h"

#include <cstring>

#include "QxLObjectInternal.h"

QxStatus QxLNumberCreate(int64_t value, QxLNumberRef* number) {
    if (number == nullptr) return kStatusBadParameter;
    void* object = QxLObjectAllocate(sizeof(QxLNumberPayload), kQxLTypeNumber);
    if (object == nullptr) return kStatusNoMemory;
    QxLPayloadOf<QxLNumberPayload>(object)->value = value;
    *number = object;
    return kStatusOK;
}

QxLNumberRef QxLNumberCreateWithValue(int64_t value) {
    QxLNumberRef number = nullptr;
    return QxLNumberCreate(value, &number) == kStatusOK ? number : nullptr;
}

bool QxLNumberGetValue(QxLNumberRef number, int kind, void* value) {
    if (!QxLObjectIsType(number, kQxLTypeNumber) || value == nullptr) return false;
    const int64_t v = QxLPayloadOf<QxLNumberPayload>(number)->value;
    // Truncation keeps the low bytes; memcpy avoids assuming the caller's
    // buffer is aligned for the wider types.
    switch (kind) {
        case kQxLNumberSInt8:
        case kQxLNumberChar: {
            const auto narrow = static_cast<int8_t>(v);
            std::memcpy(value, &narrow, sizeof narrow);
            return true;
        }
        case kQxLNumberSInt16: {
            const auto narrow = static_cast<int16_t>(v);
            std::memcpy(value, &narrow, sizeof narrow);
            return true;
        }
        case kQxLNumberSInt32:
        case kQxLNumberInt:
        case kQxLNumberLong:
        case kQxLNumberIndex: {
            const auto narrow = static_cast<int32_t>(v);
            std::memcpy(value, &narrow, sizeof narrow);
            return true;
        }
        case kQxLNumberSInt64:
        case kQxLNumberLongLong:
            std::memcpy(value, &v, sizeof v);
            return true;
        default:
            return false;
    }
}

bool QxLNumberEqual(QxLObjectRef a, QxLObjectRef b) {
    return QxLPayloadOf<QxLNumberPayload>(a)->value == QxLPayloadOf<QxLNumberPayload>(b)->value;
}

// Thomas Wang's 64-bit to 32-bit integer hash, on unsigned 64 bits.
uint32_t QxLNumberHash(QxLObjectRef object) {
    uint64_t key = static_cast<uint64_t>(QxLPayloadOf<QxLNumberPayload>(object)->value);
    key = (~key) + (key << 18);
    key ^= key >> 31;
    key *= 21;
    key ^= key >> 11;
    key += key << 6;
    key ^= key >> 22;
    return static_cast<uint32_t>(key);
}
