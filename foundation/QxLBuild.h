// The builder format and the path getter: compact notations that build
// trees of dictionaries, arrays and values ("{%kO=%O%kO=%s%kO=%i}") and read
// values back by path ("[0].%kO:utf8"). Arguments follow C's variadic rules:
// 32-bit values are int, 64-bit values (%lli) long long, pointers pointers.
#pragma once

#include <cstdarg>

#include "QxLObject.h"

// Builds a new tree; the caller owns *result (the first top-level object).
QxStatus QxLBuild(QxLObjectRef* result, const char* format, ...);
QxStatus QxLBuildV(QxLObjectRef* result, const char* format, va_list arguments);
// Appends to an array or sets entries of a dictionary. Entries added before
// a failure stay.
QxStatus QxLBuildInto(QxLObjectRef container, const char* format, ...);
QxStatus QxLBuildIntoV(QxLObjectRef container, const char* format, va_list arguments);
// Walks the path from root and stores the converted value through out (out
// may be null). On failure out is left unchanged.
QxStatus QxLGet(QxLObjectRef root, void* out, const char* path, ...);
QxStatus QxLGetV(QxLObjectRef root, void* out, const char* path, va_list arguments);
