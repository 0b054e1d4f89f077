// QxLString (type 7): a UTF-8 byte string, always NUL-terminated, no
// validation. Heap strings own a copy of their text; constant strings keep
// it inline after the header and cannot be changed.
#pragma once

#include "QxLObject.h"

// Option bit for QxLStringCompare: ASCII case-insensitive.
inline constexpr uint32_t kQxLCompareCaseInsensitive = 1;

// Copies `length` bytes (-1: the whole NUL-terminated text; bytes may be null
// only with length 0) and appends a NUL. The caller owns *string.
QxStatus QxLStringCreate(const char* bytes, int32_t length, QxLStringRef* string);
// Replaces the text by the same rules; kStatusImmutable on a constant
// string. The old text is freed only after the new copy succeeded.
QxStatus QxLStringSetText(QxLStringRef string, const char* bytes, int32_t length);
// Borrowed text (valid until the next set) and its length in bytes; either
// out-parameter may be null.
QxStatus QxLStringGetText(QxLStringRef string, const char** text, uint32_t* length);
// Convenience forms: the new string, or null on failure.
QxLStringRef QxLStringCreateWithText(const char* text);
QxLStringRef QxLStringCreateWithBytes(const char* bytes, int32_t length);

// -1, 0 or 1 by byte-wise comparison; -1 also if either is not a string.
int QxLStringCompare(QxLStringRef a, QxLStringRef b, uint32_t options);
// Copies the text with its NUL if its length < size; else copies nothing
// and returns false.
bool QxLStringCopyToBuffer(QxLStringRef string, char* buffer, size_t size);
// Copies min(count, bufferSize) bytes from offset when offset + count does
// not exceed the length (none otherwise); returns and reports (copied may be
// null) the number copied. A null buffer only reports the count.
uint32_t QxLStringGetBytes(QxLStringRef string, uint32_t offset, uint32_t count,
                           void* buffer, uint32_t bufferSize, uint32_t* copied);
// Replaces every non-overlapping occurrence of target, left to right.
// Returns the number of replacements, or 0 on any failure (text unchanged).
uint32_t QxLStringReplaceAll(QxLStringRef string, const char* target,
                             const char* replacement);
