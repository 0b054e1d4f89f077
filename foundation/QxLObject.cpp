// The object model core: header checks, reference counting, the type
// registry, equality/hash/copy dispatch and the two boolean constants.
//
// The retain count is the only field changed atomically; the registry and
// object contents belong to the main thread. Constant objects (count
// 0x7FFFFFFF) sit in read-only data and are never written to.
#include "QxLObject.h"

#include <atomic>
#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLObjectInternal.h"
#include "QxLString.h"

// The two booleans: bare headers, 56 02 00 00 FF FF FF 7F.
extern const QxLObjectHeader kQxLBooleanTrueObject = {kQxLMagicAlive, kQxLTypeBoolean, 0,
                                                      kQxLConstantRetainCount};
extern const QxLObjectHeader kQxLBooleanFalseObject = {kQxLMagicAlive, kQxLTypeBoolean, 0,
                                                       kQxLConstantRetainCount};

namespace {

// Type ids are one byte, so at most 256 records (ids 0..255).
constexpr uint32_t kMaxTypeCount = 256;

// The fixed records, indexed by type id.
//   id  name             finaliser      equality   hash
//   0   <invalid>        -              -          -
//   1   QxLArray         remove all     elements   count
//   2   QxLBoolean       -              -          (address)
//   3   QxLData          free bytes     bytes      FNV-1a
//   4   QxLDate          -              fields     field sum
//   5   QxLDictionary    remove all     entries    count
//   6   QxLNumber        -              value      Wang 64->32
//   7   QxLString        free text      text       FNV-1a
const QxLClassRecord kBuiltInTypes[kQxLBuiltInTypeCount] = {
    {"<invalid>", nullptr, nullptr, nullptr, {}},
    {"QxLArray", QxLArrayFinalize, QxLArrayEqual, QxLArrayHash, {}},
    {"QxLBoolean", nullptr, nullptr, nullptr, {}},
    {"QxLData", QxLDataFinalize, QxLDataEqual, QxLDataHash, {}},
    {"QxLDate", nullptr, QxLDateEqual, QxLDateHash, {}},
    {"QxLDictionary", QxLDictionaryFinalize, QxLDictionaryEqual, QxLDictionaryHash, {}},
    {"QxLNumber", nullptr, QxLNumberEqual, QxLNumberHash, {}},
    {"QxLString", QxLStringFinalize, QxLStringEqual, QxLStringHash, {}},
};

// The live table: the fixed records until the first registration, then a
// heap copy that grows by one record per registration.
const QxLClassRecord* gTypes = kBuiltInTypes;
QxLClassRecord* gHeapTypes = nullptr;
uint32_t gTypeCount = kQxLBuiltInTypeCount;

QxLObjectHeader* MutableHeader(QxLObjectRef object) {
    return static_cast<QxLObjectHeader*>(const_cast<void*>(object));
}

std::atomic_ref<int32_t> CountOf(QxLObjectRef object) {
    return std::atomic_ref<int32_t>(MutableHeader(object)->retainCount);
}

const QxLClassRecord* RecordOf(QxLObjectRef object) {
    return &gTypes[static_cast<const QxLObjectHeader*>(object)->typeID];
}

QxStatus CopyArray(QxLObjectRef source, QxLObjectRef* copy) {
    QxLArrayRef result = nullptr;
    QxStatus status = QxLArrayCreate(&result);
    if (status != kStatusOK) return status;
    const auto* payload = QxLPayloadOf<QxLArrayPayload>(source);
    for (int32_t i = 0; i < payload->count; ++i) {
        QxLObjectRef element = nullptr;
        status = QxLObjectCopy(payload->slots[i], &element);
        if (status == kStatusOK) {
            status = QxLArrayAppend(result, element);
            QxLObjectRelease(element);
        }
        if (status != kStatusOK) {
            QxLObjectRelease(result);
            return status;
        }
    }
    *copy = result;
    return kStatusOK;
}

QxStatus CopyDictionary(QxLObjectRef source, QxLObjectRef* copy) {
    QxLDictionaryRef result = nullptr;
    QxStatus status =
        QxLDictionaryCreate(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks, &result);
    if (status != kStatusOK) return status;
    const auto* payload = QxLPayloadOf<QxLDictionaryPayload>(source);
    for (uint32_t b = 0; b < payload->bucketCount; ++b) {
        for (const QxLDictionaryNode* node = payload->buckets[b]; node; node = node->next) {
            QxLObjectRef key = nullptr;
            QxLObjectRef value = nullptr;
            status = QxLObjectCopy(node->key, &key);
            if (status == kStatusOK) status = QxLObjectCopy(node->value, &value);
            if (status == kStatusOK) status = QxLDictionarySetValue(result, key, value);
            QxLObjectRelease(key);
            QxLObjectRelease(value);
            if (status != kStatusOK) {
                QxLObjectRelease(result);
                return status;
            }
        }
    }
    *copy = result;
    return kStatusOK;
}

}  // namespace

// ---- Registry ----------------------------------------------------------------

uint32_t QxLRegisterType(const QxLClassRecord* classRecord) {
    if (classRecord == nullptr || gTypeCount >= kMaxTypeCount) return 0;
    QxLClassRecord* table;
    if (gHeapTypes == nullptr) {
        table = static_cast<QxLClassRecord*>(QxLAlloc((gTypeCount + 1) * sizeof(QxLClassRecord)));
        if (table == nullptr) return 0;
        std::memcpy(table, gTypes, gTypeCount * sizeof(QxLClassRecord));
    } else {
        table = static_cast<QxLClassRecord*>(
            QxLRealloc(gHeapTypes, (gTypeCount + 1) * sizeof(QxLClassRecord)));
        if (table == nullptr) return 0;
    }
    table[gTypeCount] = *classRecord;
    gHeapTypes = table;
    gTypes = table;
    return gTypeCount++;
}

uint32_t QxLRegisteredTypeCount() { return gTypeCount; }

void QxLResetTypeRegistry() {
    gTypes = kBuiltInTypes;
    gTypeCount = kQxLBuiltInTypeCount;
    QxLFree(gHeapTypes);
    gHeapTypes = nullptr;
}

const char* QxLTypeName(uint32_t typeID) {
    return typeID < gTypeCount ? gTypes[typeID].name : nullptr;
}

// ---- Objects ------------------------------------------------------------------

void* QxLObjectAllocate(size_t payloadSize, uint32_t typeID) {
    if (typeID == 0 || typeID >= gTypeCount) return nullptr;
    if (payloadSize > SIZE_MAX - sizeof(QxLObjectHeader)) return nullptr;
    auto* header = static_cast<QxLObjectHeader*>(QxLAlloc(sizeof(QxLObjectHeader) + payloadSize));
    if (header == nullptr) return nullptr;
    header->magic = kQxLMagicAlive;
    header->typeID = static_cast<uint8_t>(typeID);
    header->reserved = 0;
    header->retainCount = 1;
    return header;
}

bool QxLObjectIsValid(QxLObjectRef object) {
    if (object == nullptr) return false;
    const auto* header = static_cast<const QxLObjectHeader*>(object);
    return header->magic == kQxLMagicAlive && header->typeID != 0 && header->typeID < gTypeCount;
}

bool QxLObjectIsType(QxLObjectRef object, uint32_t typeID) {
    return QxLObjectIsValid(object) &&
           static_cast<const QxLObjectHeader*>(object)->typeID == typeID;
}

bool QxLObjectIsConstant(QxLObjectRef object) {
    return QxLObjectIsValid(object) &&
           CountOf(object).load(std::memory_order_relaxed) == kQxLConstantRetainCount;
}

QxLObjectRef QxLObjectRetain(QxLObjectRef object) {
    if (!QxLObjectIsValid(object)) return nullptr;
    auto count = CountOf(object);
    // Constants live in read-only memory: test before touching the count.
    if (count.load(std::memory_order_relaxed) != kQxLConstantRetainCount) {
        count.fetch_add(1, std::memory_order_relaxed);
    }
    return object;
}

void QxLObjectRelease(QxLObjectRef object) {
    if (!QxLObjectIsValid(object)) return;
    auto count = CountOf(object);
    if (count.load(std::memory_order_relaxed) == kQxLConstantRetainCount) return;
    if (count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    const QxLClassRecord* record = RecordOf(object);
    if (record->finalize != nullptr) record->finalize(object);
    QxLObjectHeader* header = MutableHeader(object);
    header->magic = kQxLMagicFreed;
    header->typeID = 0;
    QxLFree(header);
}

QxStatus QxLObjectTypeID(QxLObjectRef object, uint32_t* typeID) {
    if (!QxLObjectIsValid(object)) return kStatusBadObject;
    if (typeID == nullptr) return kStatusBadParameter;
    *typeID = static_cast<const QxLObjectHeader*>(object)->typeID;
    return kStatusOK;
}

int32_t QxLObjectRetainCount(QxLObjectRef object) {
    if (!QxLObjectIsValid(object)) return 0;
    return CountOf(object).load(std::memory_order_relaxed);
}

bool QxLObjectEqual(QxLObjectRef a, QxLObjectRef b) {
    if (!QxLObjectIsValid(a) || !QxLObjectIsValid(b)) return false;
    if (a == b) return true;
    const auto* ha = static_cast<const QxLObjectHeader*>(a);
    const auto* hb = static_cast<const QxLObjectHeader*>(b);
    if (ha->typeID != hb->typeID) return false;
    const QxLClassRecord* record = RecordOf(a);
    return record->equal != nullptr && record->equal(a, b);
}

uint32_t QxLObjectHash(QxLObjectRef object) {
    if (!QxLObjectIsValid(object)) return 0;
    const QxLClassRecord* record = RecordOf(object);
    if (record->hash != nullptr) return record->hash(object);
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object));
}

QxStatus QxLObjectCopy(QxLObjectRef object, QxLObjectRef* copy) {
    if (copy == nullptr) return kStatusBadParameter;
    if (!QxLObjectIsValid(object)) return kStatusBadObject;
    switch (static_cast<const QxLObjectHeader*>(object)->typeID) {
        case kQxLTypeArray:
            return CopyArray(object, copy);
        case kQxLTypeBoolean:
            *copy = object;
            return kStatusOK;
        case kQxLTypeData: {
            uint8_t* bytes = nullptr;
            uint32_t length = 0;
            QxLDataGetBytes(object, &bytes, &length);
            return QxLDataCreate(bytes, static_cast<int32_t>(length), copy);
        }
        case kQxLTypeDate: {
            return QxLDateCreate(&QxLPayloadOf<QxLDatePayload>(object)->fields, copy);
        }
        case kQxLTypeDictionary:
            return CopyDictionary(object, copy);
        case kQxLTypeNumber:
            return QxLNumberCreate(QxLPayloadOf<QxLNumberPayload>(object)->value, copy);
        case kQxLTypeString: {
            const char* text = nullptr;
            uint32_t length = 0;
            QxLStringGetText(object, &text, &length);
            return QxLStringCreate(text, static_cast<int32_t>(length), copy);
        }
        default:
            return kStatusUnexpectedType;
    }
}

uint32_t QxLHashFNV1a(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t hash = 0x811C9DC5u;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash * 16777619u) ^ p[i];
    }
    return hash;
}
