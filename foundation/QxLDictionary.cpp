// QxLDictionary: a chained hash table with a fixed 101 buckets.
//
// Each entry is a node {next, key, value} appended at the end of its
// bucket's chain, so iteration (bucket 0..100, then chain order) is stable
// but neither sorted nor overall insertion order. The table never grows or
// rehashes: the program's dictionaries hold a few dozen entries at most.
// Keys and values go through the callbacks copied in at creation; with the
// null callbacks keys are plain pointer-sized integers compared by identity
// (the run loop's socket table).
// Not here: locking (the run loop guards its own table).
#include "QxLDictionary.h"

#include "QxLMemory.h"
#include "QxLObjectInternal.h"

namespace {

QxLDictionaryPayload* PayloadOf(QxLDictionaryRef dictionary) {
    return QxLPayloadOf<QxLDictionaryPayload>(dictionary);
}

// The link holding the node for `key`, or the end-of-chain link where it
// would be appended (then *link is null).
QxLDictionaryNode** Lookup(QxLDictionaryPayload* payload, const void* key) {
    const QxLKeyCallbacks& callbacks = payload->keyCallbacks;
    const uint32_t hash = callbacks.hash != nullptr
                              ? callbacks.hash(key)
                              : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    QxLDictionaryNode** link = &payload->buckets[hash % payload->bucketCount];
    for (; *link != nullptr; link = &(*link)->next) {
        const void* stored = (*link)->key;
        if (callbacks.equal != nullptr ? callbacks.equal(key, stored) : key == stored) break;
    }
    return link;
}

void ReleaseEntry(const QxLDictionaryPayload* payload, const QxLDictionaryNode* node) {
    if (payload->keyCallbacks.release != nullptr) payload->keyCallbacks.release(nullptr, node->key);
    if (payload->valueCallbacks.release != nullptr) {
        payload->valueCallbacks.release(nullptr, node->value);
    }
}

}  // namespace

QxStatus QxLDictionaryCreate(const QxLKeyCallbacks* keyCallbacks,
                             const QxLValueCallbacks* valueCallbacks,
                             QxLDictionaryRef* dictionary) {
    if (dictionary == nullptr) return kStatusBadParameter;
    auto* buckets = static_cast<QxLDictionaryNode**>(
        QxLAllocZeroed(kQxLDictionaryBucketCount * sizeof(QxLDictionaryNode*)));
    if (buckets == nullptr) return kStatusNoMemory;
    void* object = QxLObjectAllocate(sizeof(QxLDictionaryPayload), kQxLTypeDictionary);
    if (object == nullptr) {
        QxLFree(buckets);
        return kStatusNoMemory;
    }
    QxLDictionaryPayload* payload = PayloadOf(object);
    payload->keyCallbacks = keyCallbacks != nullptr ? *keyCallbacks : QxLKeyCallbacks{};
    payload->valueCallbacks = valueCallbacks != nullptr ? *valueCallbacks : QxLValueCallbacks{};
    payload->count = 0;
    payload->bucketCount = kQxLDictionaryBucketCount;
    payload->buckets = buckets;
    *dictionary = object;
    return kStatusOK;
}

QxStatus QxLDictionaryCount(QxLDictionaryRef dictionary, int32_t* count) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    if (count == nullptr) return kStatusBadParameter;
    *count = PayloadOf(dictionary)->count;
    return kStatusOK;
}

QxStatus QxLDictionaryGetValue(QxLDictionaryRef dictionary, const void* key,
                               const void** value) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    if (value == nullptr) return kStatusBadParameter;
    const QxLDictionaryNode* node = *Lookup(PayloadOf(dictionary), key);
    if (node == nullptr) return kStatusNotFound;
    *value = node->value;
    return kStatusOK;
}

QxStatus QxLDictionarySetValue(QxLDictionaryRef dictionary, const void* key,
                               const void* value) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    if (key == nullptr) return kStatusBadParameter;
    QxLDictionaryPayload* payload = PayloadOf(dictionary);
    QxLDictionaryNode** link = Lookup(payload, key);
    QxLDictionaryNode* node = *link;
    const void* oldValue = nullptr;
    bool hadValue = false;
    if (node == nullptr) {
        // Allocate before any callback runs, so a failure changes nothing.
        node = static_cast<QxLDictionaryNode*>(QxLAlloc(sizeof(QxLDictionaryNode)));
        if (node == nullptr) return kStatusNoMemory;
        node->next = nullptr;
        node->key = key;
        node->value = nullptr;
        *link = node;
        payload->count += 1;
        if (payload->keyCallbacks.retain != nullptr) payload->keyCallbacks.retain(nullptr, key);
    } else {
        oldValue = node->value;
        hadValue = true;
    }
    // Retain before release: setting the value a key already has must not
    // free it on the way.
    if (payload->valueCallbacks.retain != nullptr) payload->valueCallbacks.retain(nullptr, value);
    node->value = value;
    if (hadValue && payload->valueCallbacks.release != nullptr) {
        payload->valueCallbacks.release(nullptr, oldValue);
    }
    return kStatusOK;
}

QxStatus QxLDictionaryRemoveValue(QxLDictionaryRef dictionary, const void* key) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    if (key == nullptr) return kStatusBadParameter;
    QxLDictionaryPayload* payload = PayloadOf(dictionary);
    QxLDictionaryNode** link = Lookup(payload, key);
    QxLDictionaryNode* node = *link;
    if (node == nullptr) return kStatusOK;
    // Unlink before the releases: they may run finalisers.
    *link = node->next;
    payload->count -= 1;
    ReleaseEntry(payload, node);
    QxLFree(node);
    return kStatusOK;
}

QxStatus QxLDictionaryRemoveAll(QxLDictionaryRef dictionary) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    QxLDictionaryPayload* payload = PayloadOf(dictionary);
    for (uint32_t b = 0; b < payload->bucketCount; ++b) {
        QxLDictionaryNode* node = payload->buckets[b];
        payload->buckets[b] = nullptr;
        while (node != nullptr) {
            QxLDictionaryNode* next = node->next;
            payload->count -= 1;
            ReleaseEntry(payload, node);
            QxLFree(node);
            node = next;
        }
    }
    payload->count = 0;
    return kStatusOK;
}

QxStatus QxLDictionaryCopyKeys(QxLDictionaryRef dictionary, const void*** keys,
                               int32_t* count) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary)) return kStatusBadObject;
    const QxLDictionaryPayload* payload = PayloadOf(dictionary);
    const void** block = nullptr;
    if (keys != nullptr && payload->count > 0) {
        block = static_cast<const void**>(
            QxLAlloc(static_cast<size_t>(payload->count) * sizeof(void*)));
        if (block == nullptr) return kStatusNoMemory;
        int32_t i = 0;
        for (uint32_t b = 0; b < payload->bucketCount; ++b) {
            for (const QxLDictionaryNode* node = payload->buckets[b]; node; node = node->next) {
                block[i++] = node->key;
            }
        }
    }
    if (keys != nullptr) *keys = block;
    if (count != nullptr) *count = payload->count;
    return kStatusOK;
}

void QxLDictionaryApply(QxLDictionaryRef dictionary, QxLDictionaryApplier function,
                        void* context) {
    if (!QxLObjectIsType(dictionary, kQxLTypeDictionary) || function == nullptr) return;
    const QxLDictionaryPayload* payload = PayloadOf(dictionary);
    for (uint32_t b = 0; b < payload->bucketCount; ++b) {
        for (const QxLDictionaryNode* node = payload->buckets[b]; node; node = node->next) {
            function(node->key, node->value, context);
        }
    }
}

QxLDictionaryRef QxLDictionaryCreateWith(const QxLKeyCallbacks* keyCallbacks,
                                         const QxLValueCallbacks* valueCallbacks) {
    QxLDictionaryRef dictionary = nullptr;
    return QxLDictionaryCreate(keyCallbacks, valueCallbacks, &dictionary) == kStatusOK
               ? dictionary
               : nullptr;
}

int32_t QxLDictionaryGetCount(QxLDictionaryRef dictionary) {
    int32_t count = 0;
    return QxLDictionaryCount(dictionary, &count) == kStatusOK ? count : 0;
}

const void* QxLDictionaryGet(QxLDictionaryRef dictionary, const void* key) {
    const void* value = nullptr;
    return QxLDictionaryGetValue(dictionary, key, &value) == kStatusOK ? value : nullptr;
}

// ---- Type functions -------------------------------------------------------------

void QxLDictionaryFinalize(QxLObjectRef object) {
    if (QxLDictionaryRemoveAll(object) == kStatusOK) QxLFree(PayloadOf(object)->buckets);
}

bool QxLDictionaryEqual(QxLObjectRef a, QxLObjectRef b) {
    const QxLDictionaryPayload* x = PayloadOf(a);
    QxLDictionaryPayload* y = PayloadOf(b);
    if (x->count != y->count || x->keyCallbacks.equal != y->keyCallbacks.equal ||
        x->valueCallbacks.equal != y->valueCallbacks.equal) {
        return false;
    }
    const QxLEqualCallback valueEqual = x->valueCallbacks.equal;
    for (uint32_t bucket = 0; bucket < x->bucketCount; ++bucket) {
        for (const QxLDictionaryNode* node = x->buckets[bucket]; node; node = node->next) {
            const QxLDictionaryNode* other = *Lookup(y, node->key);
            if (other == nullptr) return false;
            if (node->value == other->value) continue;
            // Without a value equality callback only identical values match.
            if (valueEqual == nullptr || !valueEqual(node->value, other->value)) return false;
        }
    }
    return true;
}

uint32_t QxLDictionaryHash(QxLObjectRef object) {
    return static_cast<uint32_t>(PayloadOf(object)->count);
}
