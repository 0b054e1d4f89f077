// Property lists to and from object trees: XML (version 1.0) both ways, and
// the binary form ("bplist00") for reading. Only integer numbers exist in the
// object model, so reals are refused in both encodings.
#pragma once

#include "QxLObject.h"

// Reads a whole property list, binary when it starts with "bplist" (see
// QxLPropertyListReadBinary), XML otherwise: the text is parsed as one final
// chunk. kStatusBadParameter for a missing text or out-parameter,
// kStatusMalformed for text that is not well-formed XML, kStatusBadName if
// the root is not <plist>, kStatusTypeNotSupported for a real, and the
// conversion statuses of the object kinds. The caller owns *object.
QxStatus QxLPropertyListRead(const void* bytes, int32_t length, QxLObjectRef* object);
// True when the bytes start with the binary form's "bplist".
bool QxLPropertyListIsBinary(const void* bytes, int32_t length);
// Reads a binary property list. kStatusBadSignature without "bplist",
// kStatusUnsupported for a version other than "00", kStatusMalformed for a
// damaged layout (trailer, offset table, an offset or reference out of
// range, an object that contains itself, a dictionary key that is not a
// string, nesting beyond 512), kStatusBadSize for a count whose content
// cannot fit in the file or a tree of shared objects far larger than the
// file, kStatusOutOfRange for an integer beyond 64 bits, kStatusBadDate for
// a date outside years 0..9999, kStatusBadCharacter for a non-ASCII byte in
// an ASCII string or a lone UTF-16 surrogate, kStatusTypeNotSupported for
// reals, sets and UIDs. Never reads outside the buffer. The caller owns
// *object.
QxStatus QxLPropertyListReadBinary(const void* bytes, int32_t length, QxLObjectRef* object);
// Writes a complete document into a new data object owned by the caller.
QxStatus QxLPropertyListWrite(QxLObjectRef object, QxLDataRef* data);
