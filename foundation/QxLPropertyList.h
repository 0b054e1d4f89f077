// XML property lists (version 1.0) to and from object trees. Only integer
// numbers exist in the object model, so <real> is refused.
#pragma once

#include "QxLObject.h"

// Parses the whole text as one final chunk. kStatusBadParameter for a
// missing text or out-parameter, kStatusMalformed for text that is not
// well-formed XML, kStatusBadName if the root is not <plist>, and the
// conversion statuses below. The caller owns *object.
QxStatus QxLPropertyListRead(const void* bytes, int32_t length, QxLObjectRef* object);
// Writes a complete document into a new data object owned by the caller.
QxStatus QxLPropertyListWrite(QxLObjectRef object, QxLDataRef* data);
