// QxLArray: an ordered list that only grows at its end.
//
// The slot block always holds exactly `count` pointers; every append
// reallocates it to count + 1. Arrays stay short in this program (disc
// lists, property-list arrays), so spare capacity would buy nothing.
// Not here: insertion, removal of single elements, sorting.
#include "QxLArray.h"

#include <cstring>

#include "QxLMemory.h"
#include "QxLObjectInternal.h"

namespace {

QxLArrayPayload* PayloadOf(QxLArrayRef array) {
    return QxLPayloadOf<QxLArrayPayload>(array);
}

}  // namespace

QxStatus QxLArrayCreate(QxLArrayRef* array) {
    if (array == nullptr) return kStatusBadParameter;
    void* object = QxLObjectAllocate(sizeof(QxLArrayPayload), kQxLTypeArray);
    if (object == nullptr) return kStatusNoMemory;
    QxLArrayPayload* payload = PayloadOf(object);
    payload->callbacks = kQxLObjectValueCallbacks;
    payload->count = 0;
    payload->slots = nullptr;
    *array = object;
    return kStatusOK;
}

QxStatus QxLArrayCount(QxLArrayRef array, int32_t* count) {
    if (!QxLObjectIsType(array, kQxLTypeArray)) return kStatusBadObject;
    if (count == nullptr) return kStatusBadParameter;
    *count = PayloadOf(array)->count;
    return kStatusOK;
}

QxStatus QxLArrayValueAt(QxLArrayRef array, int32_t index, const void** value) {
    if (!QxLObjectIsType(array, kQxLTypeArray)) return kStatusBadObject;
    if (value == nullptr) return kStatusBadParameter;
    const QxLArrayPayload* payload = PayloadOf(array);
    if (index < 0 || index >= payload->count) return kStatusOutOfRange;
    *value = payload->slots[index];
    return kStatusOK;
}

QxStatus QxLArrayAppend(QxLArrayRef array, const void* value) {
    if (!QxLObjectIsType(array, kQxLTypeArray)) return kStatusBadObject;
    QxLArrayPayload* payload = PayloadOf(array);
    if (payload->count < 0 || payload->count == INT32_MAX) return kStatusOutOfRange;
    const size_t count = static_cast<size_t>(payload->count);
    auto* slots = static_cast<const void**>(QxLAlloc((count + 1) * sizeof(void*)));
    if (slots == nullptr) return kStatusNoMemory;
    if (count != 0) std::memcpy(slots, payload->slots, count * sizeof(void*));
    QxLFree(payload->slots);
    payload->slots = slots;
    if (payload->callbacks.retain != nullptr) payload->callbacks.retain(nullptr, value);
    slots[count] = value;
    payload->count += 1;
    return kStatusOK;
}

QxStatus QxLArrayRemoveAll(QxLArrayRef array) {
    if (!QxLObjectIsType(array, kQxLTypeArray)) return kStatusBadObject;
    QxLArrayPayload* payload = PayloadOf(array);
    // Detach first: a release may run finalisers that look at this array.
    const void** slots = payload->slots;
    const int32_t count = payload->count;
    payload->slots = nullptr;
    payload->count = 0;
    if (payload->callbacks.release != nullptr) {
        for (int32_t i = 0; i < count; ++i) payload->callbacks.release(nullptr, slots[i]);
    }
    QxLFree(slots);
    return kStatusOK;
}

QxLArrayRef QxLArrayCreateEmpty() {
    QxLArrayRef array = nullptr;
    return QxLArrayCreate(&array) == kStatusOK ? array : nullptr;
}

int32_t QxLArrayGetCount(QxLArrayRef array) {
    int32_t count = 0;
    return QxLArrayCount(array, &count) == kStatusOK ? count : 0;
}

const void* QxLArrayGetValueAt(QxLArrayRef array, int32_t index) {
    const void* value = nullptr;
    return QxLArrayValueAt(array, index, &value) == kStatusOK ? value : nullptr;
}

// ---- Type functions -------------------------------------------------------------

void QxLArrayFinalize(QxLObjectRef object) { QxLArrayRemoveAll(object); }

bool QxLArrayEqual(QxLObjectRef a, QxLObjectRef b) {
    const QxLArrayPayload* x = PayloadOf(a);
    const QxLArrayPayload* y = PayloadOf(b);
    if (x->count != y->count || x->callbacks.equal != y->callbacks.equal) return false;
    for (int32_t i = 0; i < x->count; ++i) {
        if (x->slots[i] == y->slots[i]) continue;
        // Without an equality callback only identical elements match.
        if (x->callbacks.equal == nullptr || !x->callbacks.equal(x->slots[i], y->slots[i])) {
            return false;
        }
    }
    return true;
}

uint32_t QxLArrayHash(QxLObjectRef object) {
    return static_cast<uint32_t>(PayloadOf(object)->count);
}
