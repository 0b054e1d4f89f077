// QxLData (type 3): a growable byte buffer. Capacity for a needed size n is
// 256 if n < 256, else 4096 if n < 4096, else n rounded up to a multiple of
// 32768; it grows when the length would reach the capacity, so one spare
// byte always follows the content.
#pragma once

#include "QxLObject.h"

// Copies `length` bytes when bytes is non-null (bytes may be null only with
// length 0); the buffer starts zero-filled. The caller owns *data.
QxStatus QxLDataCreate(const void* bytes, int32_t length, QxLDataRef* data);
// Appends `length` bytes (-1: the whole NUL-terminated text). A null bytes
// pointer only extends the length, to reserve room that the caller fills.
QxStatus QxLDataAppend(QxLDataRef data, const void* bytes, int32_t length);
// Borrowed pointer (valid until the next append) and length; either
// out-parameter may be null.
QxStatus QxLDataGetBytes(QxLDataRef data, uint8_t** bytes, uint32_t* length);
// Shortens the content to `length` bytes (kStatusOutOfRange if longer).
QxStatus QxLDataSetLength(QxLDataRef data, uint32_t length);
// The capacity of the buffer (for tests), 0 for a non-data object.
uint32_t QxLDataCapacity(QxLDataRef data);
