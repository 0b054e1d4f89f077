// QxLDate: six UTC fields to the second. The fields are stored as given;
// checking their ranges is the business of whoever parses date text.
#include "QxLDate.h"

#include "QxLObjectInternal.h"

QxStatus QxLDateCreate(const QxLDateFields* fields, QxLDateRef* date) {
    if (fields == nullptr || date == nullptr) return kStatusBadParameter;
    void* object = QxLObjectAllocate(sizeof(QxLDatePayload), kQxLTypeDate);
    if (object == nullptr) return kStatusNoMemory;
    QxLPayloadOf<QxLDatePayload>(object)->fields = *fields;
    *date = object;
    return kStatusOK;
}

QxStatus QxLDateGetFields(QxLDateRef date, QxLDateFields* fields) {
    if (!QxLObjectIsType(date, kQxLTypeDate)) return kStatusBadObject;
    if (fields == nullptr) return kStatusBadParameter;
    *fields = QxLPayloadOf<QxLDatePayload>(date)->fields;
    return kStatusOK;
}

bool QxLDateEqual(QxLObjectRef a, QxLObjectRef b) {
    const QxLDateFields& x = QxLPayloadOf<QxLDatePayload>(a)->fields;
    const QxLDateFields& y = QxLPayloadOf<QxLDatePayload>(b)->fields;
    return x.year == y.year && x.month == y.month && x.day == y.day && x.hour == y.hour &&
           x.minute == y.minute && x.second == y.second;
}

uint32_t QxLDateHash(QxLObjectRef object) {
    const QxLDateFields& f = QxLPayloadOf<QxLDatePayload>(object)->fields;
    return static_cast<uint32_t>(f.year) + static_cast<uint32_t>(f.month) +
           static_cast<uint32_t>(f.day) + static_cast<uint32_t>(f.hour) +
           static_cast<uint32_t>(f.minute) + static_cast<uint32_t>(f.second);
}
