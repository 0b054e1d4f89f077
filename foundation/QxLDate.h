// QxLDate (type 4): a UTC date and time to the second, as six fields.
#pragma once

#include "QxLObject.h"

struct QxLDateFields {
    int32_t year;
    int32_t month;   // 1..12
    int32_t day;     // 1..31
    int32_t hour;    // 0..23
    int32_t minute;  // 0..59
    int32_t second;  // 0..59
};

QxStatus QxLDateCreate(const QxLDateFields* fields, QxLDateRef* date);
QxStatus QxLDateGetFields(QxLDateRef date, QxLDateFields* fields);
