// Tamsor's printf engine: the standard conversions plus network addresses,
// four-character codes, UUIDs, hex dumps, bit lists, DNS names, UTF-16
// text, packed versions, nested formats (%V) and objects (%@). Output goes
// through a sink; the engine never allocates on the heap.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "QxLObject.h"

struct QxLSink;
// Takes bytes; returns the number taken or a negative error.
using QxLSinkWriteFunction = int (*)(const char* bytes, size_t length, QxLSink* sink);

// A sink's first member is its write function; further members are its own.
struct QxLSink {
    QxLSinkWriteFunction write;
};

// The buffer sink: copies what fits, cutting back over UTF-8 continuation
// bytes so that no multi-byte sequence is split.
struct QxLBufferSink {
    QxLSink sink;
    char* buffer;
    size_t limit;     // buffer size minus one
    size_t position;
};
void QxLBufferSinkInit(QxLBufferSink* sink, char* buffer, size_t size);

// The engine. Returns the total length that the format produced (even where
// a buffer sink cut), the first negative value a sink returned, or -1 for an
// invalid length modifier.
int QxLFormatToSink(QxLSink* sink, const char* format, va_list arguments);
int QxLFormatToSinkV(QxLSink* sink, const char* format, ...);
// Formats into buffer (NUL-terminated if size > 0).
int QxLFormatToBuffer(char* buffer, size_t size, const char* format, ...);
int QxLFormatToBufferArgs(char* buffer, size_t size, const char* format, va_list arguments);

// Writes the debug dump of an object tree to stream, followed by a newline
// unless the object is a data object.
void QxLDumpObject(FILE* stream, QxLObjectRef object);
