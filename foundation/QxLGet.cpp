// The path getter: walks a tree of dictionaries and arrays along a path such
// as "[0].%kO:utf8" and stores the value found, converted as the suffix asks.
// It never changes the tree and writes through out only on success. It does
// not create values; the builder (QxLBuild.cpp) does that.
//
// Path elements, separated by '.':
//   %kO %ko    QxLObjectRef key        value under that key
//   %ks        char* text              value under the key with that text
//   %kC %kc    int code                key text: the four bytes, MSB first
//   %kt        char* text, int length  value under the key with that text
//   [n]        (decimal in the path)   element n of an array
//   [*]        int index               element at that index
//   other      (text up to . : or end) value under the key with that text
//
// Suffix (":name" after the last element) and what out points to:
//   none   QxLObjectRef      the object, not retained
//   obj    QxLObjectRef      the object, retained
//   utf8   char*             malloc'd copy of a string's text (free())
//   int    int32_t           number, or string holding an integer (low half)
//   int64  int64_t           the same, 64 bits
//   err    int32_t           number, read as a 32-bit value
//   bool   uint8_t           1 for the true object, else 0
//   code   uint32_t          string of exactly 4 bytes, first byte MSB
//   mac    uint8_t[6]        data of exactly 6 bytes
//   N      uint8_t[N]        data of exactly N bytes
//   ipv4   uint32_t          dotted address in a string of at most 31 bytes
//   vers   uint32_t          packed version from the first 15 bytes of a string
#include "QxLBuild.h"

#include <climits>
#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLScan.h"
#include "QxLString.h"

namespace {

// Texts longer than this cannot hold an integer the scanner would accept
// whole; the buffer also keeps the scan off the string's own storage.
constexpr size_t kIntegerTextSize = 64;
constexpr size_t kIPv4TextSize = 32;
constexpr int32_t kVersionTextLimit = 15;

QxStatus ValueForKey(QxLObjectRef current, QxLObjectRef key, QxLObjectRef* found) {
    if (!QxLObjectIsType(current, kQxLTypeDictionary)) return kStatusUnexpectedType;
    const void* value = nullptr;
    QxStatus status = QxLDictionaryGetValue(current, key, &value);
    if (status != kStatusOK) return status;
    *found = value;
    return kStatusOK;
}

// Looks a key up by its text; the key object lives only for the lookup.
QxStatus ValueForKeyText(QxLObjectRef current, const char* text, size_t length,
                         QxLObjectRef* found) {
    if (!QxLObjectIsType(current, kQxLTypeDictionary)) return kStatusUnexpectedType;
    if (length > INT32_MAX) return kStatusBadSize;
    QxLStringRef key = nullptr;
    QxStatus status = QxLStringCreate(text, static_cast<int32_t>(length), &key);
    if (status != kStatusOK) return status;
    status = ValueForKey(current, key, found);
    QxLObjectRelease(key);
    return status;
}

QxStatus ValueAtIndex(QxLObjectRef current, int64_t index, QxLObjectRef* found) {
    if (index < 0) return kStatusOutOfRange;
    if (!QxLObjectIsType(current, kQxLTypeArray)) return kStatusUnexpectedType;
    int32_t count = 0;
    QxStatus status = QxLArrayCount(current, &count);
    if (status != kStatusOK) return status;
    if (index >= count) return kStatusOutOfRange;
    const void* value = nullptr;
    status = QxLArrayValueAt(current, static_cast<int32_t>(index), &value);
    if (status != kStatusOK) return status;
    *found = value;
    return kStatusOK;
}

// One "%k" element; *cursor is on the '%'.
QxStatus KeyElement(QxLObjectRef current, const char** cursor, va_list* arguments,
                    QxLObjectRef* found) {
    const char* p = *cursor;
    if (p[1] != 'k') return kStatusBadFormatSpec;
    char kind = p[2];
    QxStatus status;
    switch (kind) {
    case 'O':
    case 'o': {
        QxLObjectRef key = va_arg(*arguments, QxLObjectRef);
        if (key == nullptr) return kStatusBadParameter;
        status = ValueForKey(current, key, found);
        break;
    }
    case 's': {
        const char* text = va_arg(*arguments, const char*);
        if (text == nullptr) return kStatusBadParameter;
        status = ValueForKeyText(current, text, strlen(text), found);
        break;
    }
    case 'C':
    case 'c': {
        auto code = static_cast<uint32_t>(va_arg(*arguments, int));
        const char text[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                              static_cast<char>(code >> 8), static_cast<char>(code)};
        status = ValueForKeyText(current, text, sizeof(text), found);
        break;
    }
    case 't': {
        const char* text = va_arg(*arguments, const char*);
        int length = va_arg(*arguments, int);
        if (length < 0 || (text == nullptr && length != 0)) return kStatusBadParameter;
        status = ValueForKeyText(current, text, static_cast<size_t>(length), found);
        break;
    }
    default:
        return kStatusBadFormatSpec;
    }
    *cursor = p + 3;
    return status;
}

// One "[n]" or "[*]" element; *cursor is on the '['.
QxStatus IndexElement(QxLObjectRef current, const char** cursor, va_list* arguments,
                      QxLObjectRef* found) {
    const char* p = *cursor + 1;
    int64_t index = 0;
    if (*p == '*') {
        index = va_arg(*arguments, int);
        ++p;
    } else if (*p >= '0' && *p <= '9') {
        for (; *p >= '0' && *p <= '9'; ++p) {
            // Saturate: any index past INT32_MAX is out of range anyway.
            if (index <= INT32_MAX) index = index * 10 + (*p - '0');
        }
    } else {
        return kStatusBadFormatSpec;
    }
    if (*p != ']') return kStatusBadFormatSpec;
    *cursor = p + 1;
    return ValueAtIndex(current, index, found);
}

// Walks every element; on success *found is the last object selected and
// *suffix the conversion name (null when the path has none).
QxStatus Walk(QxLObjectRef root, const char* path, va_list* arguments, QxLObjectRef* found,
              const char** suffix) {
    if (*path == '\0') return kStatusNotFound;
    QxLObjectRef current = root;
    const char* p = path;
    for (;;) {
        QxLObjectRef next = nullptr;
        QxStatus status;
        if (*p == '%') {
            status = KeyElement(current, &p, arguments, &next);
        } else if (*p == '[') {
            status = IndexElement(current, &p, arguments, &next);
        } else {
            const char* start = p;
            while (*p != '\0' && *p != '.' && *p != ':') ++p;
            if (p == start) return kStatusBadFormatSpec;  // "a..b", ".a", ":int"
            status = ValueForKeyText(current, start, static_cast<size_t>(p - start), &next);
        }
        if (status != kStatusOK) return status;
        current = next;

        if (*p == '.') {
            ++p;
        } else if (*p == ':') {
            if (strchr(p + 1, '.') != nullptr) return kStatusBadFormatSpec;
            *found = current;
            *suffix = p + 1;
            return kStatusOK;
        } else if (*p == '\0') {
            *found = current;
            *suffix = nullptr;
            return kStatusOK;
        } else {
            return kStatusBadFormatSpec;  // "[0]x", "%kOx"
        }
    }
}

QxStatus StringText(QxLObjectRef object, const char** text, uint32_t* length) {
    if (!QxLObjectIsType(object, kQxLTypeString)) return kStatusUnexpectedType;
    return QxLStringGetText(object, text, length);
}

// A number, or a string that scans as one whole integer.
QxStatus ReadInteger(QxLObjectRef object, int64_t* value) {
    if (QxLObjectIsType(object, kQxLTypeNumber)) {
        return QxLNumberGetValue(object, kQxLNumberSInt64, value) ? kStatusOK
                                                                  : kStatusUnexpectedType;
    }
    const char* text = nullptr;
    uint32_t length = 0;
    QxStatus status = StringText(object, &text, &length);
    if (status != kStatusOK) return status;
    if (length >= kIntegerTextSize) return kStatusBufferTooSmall;
    char buffer[kIntegerTextSize];
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    // The %c catches anything left after the integer ("4x").
    long long scanned = 0;
    char trailing = 0;
    if (QxLScan(buffer, static_cast<int32_t>(length), "%lli%c", &scanned, &trailing) != 1) {
        return kStatusUnexpectedType;
    }
    *value = scanned;
    return kStatusOK;
}

// Data of exactly `size` bytes, copied to out.
QxStatus ReadBytes(QxLObjectRef object, uint64_t size, void* out) {
    if (!QxLObjectIsType(object, kQxLTypeData)) return kStatusUnexpectedType;
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxStatus status = QxLDataGetBytes(object, &bytes, &length);
    if (status != kStatusOK) return status;
    if (length != size) return kStatusBadSize;
    if (out != nullptr && length != 0) memcpy(out, bytes, length);
    return kStatusOK;
}

QxStatus Convert(QxLObjectRef found, const char* suffix, void* out) {
    if (suffix == nullptr) {
        if (out != nullptr) *static_cast<QxLObjectRef*>(out) = found;
        return kStatusOK;
    }
    if (strcmp(suffix, "obj") == 0) {
        if (out != nullptr) *static_cast<QxLObjectRef*>(out) = QxLObjectRetain(found);
        return kStatusOK;
    }
    if (strcmp(suffix, "utf8") == 0) {
        const char* text = nullptr;
        uint32_t length = 0;
        QxStatus status = StringText(found, &text, &length);
        if (status != kStatusOK) return status;
        // A NUL inside the text would silently shorten the copy.
        if (strlen(text) != length) return kStatusBadValue;
        if (out != nullptr) {
            auto* copy = static_cast<char*>(QxLAlloc(static_cast<size_t>(length) + 1));
            if (copy == nullptr) return kStatusNoMemory;
            memcpy(copy, text, static_cast<size_t>(length) + 1);
            *static_cast<char**>(out) = copy;
        }
        return kStatusOK;
    }
    if (strcmp(suffix, "int") == 0 || strcmp(suffix, "int64") == 0) {
        int64_t value = 0;
        QxStatus status = ReadInteger(found, &value);
        if (status != kStatusOK) return status;
        if (out == nullptr) return kStatusOK;
        if (suffix[3] == '\0') {
            *static_cast<int32_t*>(out) = static_cast<int32_t>(static_cast<uint32_t>(value));
        } else {
            *static_cast<int64_t*>(out) = value;
        }
        return kStatusOK;
    }
    if (strcmp(suffix, "err") == 0) {
        int32_t value = 0;
        if (!QxLObjectIsType(found, kQxLTypeNumber) ||
            !QxLNumberGetValue(found, kQxLNumberSInt32, &value)) {
            return kStatusUnexpectedType;
        }
        if (out != nullptr) *static_cast<int32_t*>(out) = value;
        return kStatusOK;
    }
    if (strcmp(suffix, "bool") == 0) {
        if (!QxLObjectIsType(found, kQxLTypeBoolean)) return kStatusUnexpectedType;
        if (out != nullptr) *static_cast<uint8_t*>(out) = QxLBooleanIsTrue(found) ? 1 : 0;
        return kStatusOK;
    }
    if (strcmp(suffix, "code") == 0) {
        const char* text = nullptr;
        uint32_t length = 0;
        QxStatus status = StringText(found, &text, &length);
        if (status != kStatusOK) return status;
        if (length != 4) return kStatusBadSize;
        const auto* bytes = reinterpret_cast<const uint8_t*>(text);
        if (out != nullptr) {
            *static_cast<uint32_t*>(out) = static_cast<uint32_t>(bytes[0]) << 24 |
                                           static_cast<uint32_t>(bytes[1]) << 16 |
                                           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
        }
        return kStatusOK;
    }
    if (strcmp(suffix, "mac") == 0) return ReadBytes(found, 6, out);
    if (*suffix >= '0' && *suffix <= '9') {
        uint64_t size = 0;
        const char* p = suffix;
        for (; *p >= '0' && *p <= '9'; ++p) {
            // Saturate: no data object is that long, so the size check fails.
            if (size <= UINT32_MAX) size = size * 10 + static_cast<uint64_t>(*p - '0');
        }
        if (*p != '\0') return kStatusBadValue;
        return ReadBytes(found, size, out);
    }
    if (strcmp(suffix, "ipv4") == 0) {
        const char* text = nullptr;
        uint32_t length = 0;
        QxStatus status = StringText(found, &text, &length);
        if (status != kStatusOK) return status;
        if (length >= kIPv4TextSize) return kStatusBufferTooSmall;
        char buffer[kIPv4TextSize];
        memcpy(buffer, text, length);
        buffer[length] = '\0';
        uint32_t address = 0;
        status = QxLParseIPv4(buffer, &address);
        if (status != kStatusOK) return status;
        if (out != nullptr) *static_cast<uint32_t*>(out) = address;
        return kStatusOK;
    }
    if (strcmp(suffix, "vers") == 0) {
        const char* text = nullptr;
        uint32_t length = 0;
        QxStatus status = StringText(found, &text, &length);
        if (status != kStatusOK) return status;
        int32_t limited = length > kVersionTextLimit ? kVersionTextLimit
                                                     : static_cast<int32_t>(length);
        uint32_t version = 0;
        status = QxLParseVersion(limited, text, &version);
        if (status != kStatusOK) return status;
        if (out != nullptr) *static_cast<uint32_t*>(out) = version;
        return kStatusOK;
    }
    return kStatusBadFormatSpec;
}

}  // namespace

QxStatus QxLGet(QxLObjectRef root, void* out, const char* path, ...) {
    va_list arguments;
    va_start(arguments, path);
    QxStatus status = QxLGetV(root, out, path, arguments);
    va_end(arguments);
    return status;
}

QxStatus QxLGetV(QxLObjectRef root, void* out, const char* path, va_list arguments) {
    if (path == nullptr) return kStatusBadParameter;
    // A local copy: the helpers take the list by address (see QxLBuildV).
    va_list copy;
    va_copy(copy, arguments);
    QxLObjectRef found = nullptr;
    const char* suffix = nullptr;
    QxStatus status = Walk(root, path, &copy, &found, &suffix);
    va_end(copy);
    if (status != kStatusOK) return status;
    return Convert(found, suffix, out);
}
