// QxLData: a growable byte buffer object.
//
// Capacity for a needed size n:
//   n < 256             256
//   256 <= n < 4096     4096
//   n >= 4096           next multiple of 32768 above n
// The buffer grows when the length would reach the capacity, so at least one
// byte always follows the content; this module keeps that byte zero, which
// lets writers treat textual content as a C string. Growth is coarse on
// purpose: the XML writer and the HTTP layer append in many small pieces.
// Not here: shrinking the buffer (SetLength only shortens the content).
#include "QxLData.h"

#include <cstring>

#include "QxLMemory.h"
#include "QxLObjectInternal.h"

namespace {

constexpr uint64_t kLargeStep = 32768;
// The largest content length whose capacity still fits in 32 bits.
constexpr uint64_t kMaxLength = UINT32_MAX - kLargeStep;

uint32_t CapacityFor(uint64_t needed) {
    if (needed < 256) return 256;
    if (needed < 4096) return 4096;
    // Strictly above `needed`: a length that is an exact multiple of the step
    // still gets its spare byte.
    return static_cast<uint32_t>((needed / kLargeStep + 1) * kLargeStep);
}

}  // namespace

QxStatus QxLDataCreate(const void* bytes, int32_t length, QxLDataRef* data) {
    if (data == nullptr || length < 0) return kStatusBadParameter;
    if (bytes == nullptr && length != 0) return kStatusBadParameter;
    const uint32_t capacity = CapacityFor(static_cast<uint64_t>(length));
    auto* buffer = static_cast<uint8_t*>(QxLAllocZeroed(capacity));
    if (buffer == nullptr) return kStatusNoMemory;
    void* object = QxLObjectAllocate(sizeof(QxLDataPayload), kQxLTypeData);
    if (object == nullptr) {
        QxLFree(buffer);
        return kStatusNoMemory;
    }
    if (bytes != nullptr && length != 0) std::memcpy(buffer, bytes, static_cast<size_t>(length));
    auto* payload = QxLPayloadOf<QxLDataPayload>(object);
    payload->bytes = buffer;
    payload->length = static_cast<uint32_t>(length);
    payload->capacity = capacity;
    *data = object;
    return kStatusOK;
}

QxStatus QxLDataAppend(QxLDataRef data, const void* bytes, int32_t length) {
    if (!QxLObjectIsType(data, kQxLTypeData)) return kStatusBadObject;
    uint64_t n;
    if (length == -1) {
        if (bytes == nullptr) return kStatusBadParameter;
        n = std::strlen(static_cast<const char*>(bytes));
    } else if (length < 0) {
        return kStatusBadParameter;
    } else {
        n = static_cast<uint64_t>(length);
    }
    auto* payload = QxLPayloadOf<QxLDataPayload>(data);
    const uint64_t newLength = payload->length + n;
    if (newLength > kMaxLength) return kStatusBadSize;
    if (newLength >= payload->capacity) {
        const uint32_t capacity = CapacityFor(newLength);
        auto* grown = static_cast<uint8_t*>(QxLRealloc(payload->bytes, capacity));
        if (grown == nullptr) return kStatusNoMemory;
        std::memset(grown + payload->capacity, 0, capacity - payload->capacity);
        payload->bytes = grown;
        payload->capacity = capacity;
    }
    // A null source reserves room; the caller fills it (left zero here).
    if (bytes != nullptr && n != 0) std::memcpy(payload->bytes + payload->length, bytes, n);
    payload->length = static_cast<uint32_t>(newLength);
    payload->bytes[payload->length] = 0;
    return kStatusOK;
}

QxStatus QxLDataGetBytes(QxLDataRef data, uint8_t** bytes, uint32_t* length) {
    if (!QxLObjectIsType(data, kQxLTypeData)) return kStatusBadObject;
    const auto* payload = QxLPayloadOf<QxLDataPayload>(data);
    if (bytes != nullptr) *bytes = payload->bytes;
    if (length != nullptr) *length = payload->length;
    return kStatusOK;
}

QxStatus QxLDataSetLength(QxLDataRef data, uint32_t length) {
    if (!QxLObjectIsType(data, kQxLTypeData)) return kStatusBadObject;
    auto* payload = QxLPayloadOf<QxLDataPayload>(data);
    if (length > payload->length) return kStatusOutOfRange;
    payload->length = length;
    payload->bytes[length] = 0;
    return kStatusOK;
}

uint32_t QxLDataCapacity(QxLDataRef data) {
    if (!QxLObjectIsType(data, kQxLTypeData)) return 0;
    return QxLPayloadOf<QxLDataPayload>(data)->capacity;
}

// ---- Type functions -------------------------------------------------------------

void QxLDataFinalize(QxLObjectRef object) {
    QxLFree(QxLPayloadOf<QxLDataPayload>(object)->bytes);
}

bool QxLDataEqual(QxLObjectRef a, QxLObjectRef b) {
    const auto* x = QxLPayloadOf<QxLDataPayload>(a);
    const auto* y = QxLPayloadOf<QxLDataPayload>(b);
    return x->length == y->length &&
           (x->length == 0 || std::memcmp(x->bytes, y->bytes, x->length) == 0);
}

uint32_t QxLDataHash(QxLObjectRef object) {
    const auto* payload = QxLPayloadOf<QxLDataPayload>(object);
    return QxLHashFNV1a(payload->bytes, payload->length);
}
