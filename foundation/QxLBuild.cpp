// The builder format: creates a tree of dictionaries, arrays and values from
// a format string and its arguments (QxLBuild), or adds entries to an array
// or dictionary the caller already has (QxLBuildInto). It checks the format
// and the arguments' presence, not the values themselves: dates, texts and
// numbers are the value types' business. The path getter is in QxLGet.cpp.
//
// Grammar, read one character at a time:
//   {        new dictionary (standard callbacks): added, then made current
//   [        new array: added, then made current
//   } or ]   back to the container that was current before (interchangeable)
//   text=    the text becomes the pending key (needs a current dictionary)
//   text;    the text becomes a string value; text running to the end of the
//            format does too. Brackets do not end a text: "{a=b}" stores "b}".
//   %...     a conversion: % [# and l, any order] [.digits or .*] character
//
// Conversions (arguments in order; 32-bit = int, pointers are pointers):
//   %@             QxLObjectRef*       stores the current container, unretained
//   %C             int code            string of the four bytes, MSB first
//   %D %d          bytes, int length   data holding a copy of the bytes
//   %O %o          object              the object; null adds nothing and
//                                      drops the pending key
//   %#O            object              a deep copy
//   %##O           dictionary          its entries set into the current one
//   %T             six ints            date: year month day hour minute second
//   %.4a %.6a %.8a bytes               "1.2.3.4", "0A:0B:..." (6 or 8 groups)
//   %b             int                 kQxLBooleanTrue if non-zero, else false
//   %i / %lli      int / long long     number
//   %s             char*               string, at most precision bytes
//   %kC %kO %ko %ks                    the pending key; must be followed by '='
//
// Only %s, %ks (length limit) and %a (address size) take a precision.
#include "QxLBuild.h"

#include <climits>
#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLString.h"

namespace {

// One saved (array, dictionary) pair: the container to return to at a
// closing bracket.
struct SavedLevel {
    SavedLevel* next;
    QxLArrayRef array;
    QxLDictionaryRef dictionary;
};

// A top-level object other than the result (a format such as "%s%s"). It is
// held here until the build ends so that nothing leaks and a container
// opened at top level stays alive while it is current.
struct ExtraObject {
    ExtraObject* next;
    QxLObjectRef object;
};

// Precision and flag counts of one conversion.
struct Spec {
    int hashes = 0;
    int longs = 0;
    bool hasPrecision = false;
    int32_t precision = 0;
};

class Builder {
public:
    // Builds into an existing container (or at top level when both are null).
    Builder(QxLArrayRef array, QxLDictionaryRef dictionary)
        : array_(array), dictionary_(dictionary) {}
    ~Builder();
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    QxStatus Run(const char* format, va_list* arguments);
    // Hands the result (one reference) to the caller; the builder keeps none.
    QxLObjectRef TakeResult() {
        QxLObjectRef result = result_;
        result_ = nullptr;
        return result;
    }

private:
    QxStatus AddObject(QxLObjectRef object);
    QxStatus AddCreated(QxStatus createStatus, QxLObjectRef object);
    QxStatus OpenContainer(bool dictionary);
    QxStatus CloseContainer();
    QxStatus Literal(const char** cursor);
    QxStatus Conversion(const char** cursor, va_list* arguments);
    QxStatus KeyConversion(const char** cursor, const Spec& conv, va_list* arguments);
    QxStatus ObjectConversion(const Spec& conv, va_list* arguments);
    QxStatus AddressConversion(const Spec& conv, va_list* arguments);

    QxLArrayRef array_;
    QxLDictionaryRef dictionary_;
    QxLObjectRef pendingKey_ = nullptr;
    SavedLevel* stack_ = nullptr;
    ExtraObject* extras_ = nullptr;
    // Only top-level results are owned here (QxLBuild); QxLBuildInto never
    // reaches the top level, its container stays current at the bottom.
    QxLObjectRef result_ = nullptr;
    bool ownsResult_ = false;
};

Builder::~Builder() {
    QxLObjectRelease(pendingKey_);
    while (stack_ != nullptr) {
        SavedLevel* level = stack_;
        stack_ = level->next;
        QxLFree(level);
    }
    while (extras_ != nullptr) {
        ExtraObject* extra = extras_;
        extras_ = extra->next;
        QxLObjectRelease(extra->object);
        QxLFree(extra);
    }
    // Still here after a failure: the whole partial tree goes with it.
    if (ownsResult_) QxLObjectRelease(result_);
}

// The one primitive: append to the current array, set under the pending key
// of the current dictionary, or hold at top level.
QxStatus Builder::AddObject(QxLObjectRef object) {
    if (array_ != nullptr) {
        QxStatus status = QxLArrayAppend(array_, object);
        if (status != kStatusOK) return status;
    } else if (dictionary_ != nullptr) {
        if (pendingKey_ == nullptr) return kStatusMalformed;
        QxStatus status = QxLDictionarySetValue(dictionary_, pendingKey_, object);
        if (status != kStatusOK) return status;
        QxLObjectRelease(pendingKey_);
        pendingKey_ = nullptr;
    } else if (result_ == nullptr) {
        QxLObjectRetain(object);
        ownsResult_ = true;
    } else {
        auto* extra = static_cast<ExtraObject*>(QxLAlloc(sizeof(ExtraObject)));
        if (extra == nullptr) return kStatusNoMemory;
        extra->object = QxLObjectRetain(object);
        extra->next = extras_;
        extras_ = extra;
    }
    if (result_ == nullptr) result_ = object;
    return kStatusOK;
}

// Adds an object the builder just created and drops the creation reference,
// so that the container (or the top-level hold) owns it alone.
QxStatus Builder::AddCreated(QxStatus createStatus, QxLObjectRef object) {
    if (createStatus != kStatusOK) return createStatus;
    QxStatus status = AddObject(object);
    QxLObjectRelease(object);
    return status;
}

QxStatus Builder::OpenContainer(bool dictionary) {
    QxLObjectRef container = nullptr;
    QxStatus status = dictionary
        ? QxLDictionaryCreate(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks, &container)
        : QxLArrayCreate(&container);
    if (status != kStatusOK) return status;
    status = AddObject(container);
    if (status == kStatusOK) {
        auto* level = static_cast<SavedLevel*>(QxLAlloc(sizeof(SavedLevel)));
        if (level == nullptr) {
            status = kStatusNoMemory;
        } else {
            level->array = array_;
            level->dictionary = dictionary_;
            level->next = stack_;
            stack_ = level;
            array_ = dictionary ? nullptr : container;
            dictionary_ = dictionary ? container : nullptr;
        }
    }
    // Held by its parent or the top level from here on.
    QxLObjectRelease(container);
    return status;
}

QxStatus Builder::CloseContainer() {
    SavedLevel* level = stack_;
    if (level == nullptr) return kStatusMalformed;
    array_ = level->array;
    dictionary_ = level->dictionary;
    stack_ = level->next;
    QxLFree(level);
    return kStatusOK;
}

// Text up to '=', ';' or the end: a key before '=', else a string value.
QxStatus Builder::Literal(const char** cursor) {
    const char* start = *cursor;
    const char* end = start;
    while (*end != '\0' && *end != '=' && *end != ';') ++end;
    if (end - start > INT32_MAX) return kStatusBadSize;
    auto length = static_cast<int32_t>(end - start);

    if (*end == '=') {
        if (pendingKey_ != nullptr || dictionary_ == nullptr) return kStatusMalformed;
        QxLStringRef key = nullptr;
        QxStatus status = QxLStringCreate(start, length, &key);
        if (status != kStatusOK) return status;
        pendingKey_ = key;
        *cursor = end + 1;
        return kStatusOK;
    }
    QxLStringRef value = nullptr;
    QxStatus status = QxLStringCreate(start, length, &value);
    status = AddCreated(status, value);
    if (status != kStatusOK) return status;
    *cursor = (*end == ';') ? end + 1 : end;
    return kStatusOK;
}

// A four-character code as its four bytes, most significant first.
void CodeBytes(uint32_t code, char bytes[4]) {
    bytes[0] = static_cast<char>(code >> 24);
    bytes[1] = static_cast<char>(code >> 16);
    bytes[2] = static_cast<char>(code >> 8);
    bytes[3] = static_cast<char>(code);
}

// Length of text limited to the precision, without reading past it.
int32_t LimitedLength(const char* text, const Spec& conv) {
    size_t length = conv.hasPrecision ? strnlen(text, static_cast<size_t>(conv.precision))
                                      : strlen(text);
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

QxStatus Builder::KeyConversion(const char** cursor, const Spec& conv, va_list* arguments) {
    char kind = **cursor;
    QxLObjectRef keyObject = nullptr;
    const char* text = nullptr;
    uint32_t code = 0;
    switch (kind) {
    case 'O':
    case 'o':
        keyObject = va_arg(*arguments, QxLObjectRef);
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        break;
    case 's':
        text = va_arg(*arguments, const char*);
        break;
    case 'C':
        code = static_cast<uint32_t>(va_arg(*arguments, int));
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        break;
    default:
        return kStatusBadFormatSpec;
    }
    if (dictionary_ == nullptr || pendingKey_ != nullptr) return kStatusMalformed;
    if ((*cursor)[1] != '=') return kStatusBadFormatSpec;
    *cursor += 2;

    if (kind == 'C') {
        char bytes[4];
        CodeBytes(code, bytes);
        return QxLStringCreate(bytes, 4, &pendingKey_);
    }
    if (kind == 's') {
        if (text == nullptr) return kStatusBadParameter;
        return QxLStringCreate(text, LimitedLength(text, conv), &pendingKey_);
    }
    if (keyObject == nullptr) return kStatusBadParameter;
    if (!QxLObjectIsValid(keyObject)) return kStatusBadObject;
    pendingKey_ = QxLObjectRetain(keyObject);
    return kStatusOK;
}

struct MergeContext {
    QxLDictionaryRef target;
    QxStatus status;
};

void MergeEntry(const void* key, const void* value, void* context) {
    auto* merge = static_cast<MergeContext*>(context);
    if (merge->status != kStatusOK) return;  // the first failing set ends it
    merge->status = QxLDictionarySetValue(merge->target, key, value);
}

// %O (as is), %#O (deep copy), %##O (merge).
QxStatus Builder::ObjectConversion(const Spec& conv, va_list* arguments) {
    QxLObjectRef object = va_arg(*arguments, QxLObjectRef);
    if (conv.hasPrecision) return kStatusBadFormatSpec;

    if (conv.hashes >= 2) {
        if (dictionary_ == nullptr || pendingKey_ != nullptr) return kStatusBadParameter;
        if (object == nullptr) return kStatusBadParameter;
        if (!QxLObjectIsType(object, kQxLTypeDictionary)) return kStatusUnexpectedType;
        MergeContext merge{dictionary_, kStatusOK};
        QxLDictionaryApply(object, MergeEntry, &merge);
        return merge.status;
    }
    if (conv.hashes == 1) {
        if (object == nullptr) return kStatusBadParameter;
        QxLObjectRef copy = nullptr;
        QxStatus status = QxLObjectCopy(object, &copy);
        return AddCreated(status, copy);
    }
    if (object == nullptr) {
        // An absent optional value: its key goes too.
        QxLObjectRelease(pendingKey_);
        pendingKey_ = nullptr;
        return kStatusOK;
    }
    if (!QxLObjectIsValid(object)) return kStatusBadObject;
    return AddObject(object);
}

QxStatus Builder::AddressConversion(const Spec& conv, va_list* arguments) {
    const auto* bytes = va_arg(*arguments, const uint8_t*);
    if (!conv.hasPrecision) return kStatusBadFormatSpec;
    if (conv.precision != 4 && conv.precision != 6 && conv.precision != 8) {
        return kStatusBadFormatSpec;
    }
    if (bytes == nullptr) return kStatusBadParameter;

    char text[32] = {};
    if (conv.precision == 4) {
        QxLFormatToBuffer(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                          bytes[3]);
    } else if (conv.precision == 6) {
        QxLFormatToBuffer(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0],
                          bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]);
    } else {
        QxLFormatToBuffer(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X:%02X:%02X",
                          bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6],
                          bytes[7]);
    }
    QxLStringRef string = nullptr;
    QxStatus status = QxLStringCreate(text, -1, &string);
    return AddCreated(status, string);
}

QxStatus Builder::Conversion(const char** cursor, va_list* arguments) {
    const char* p = *cursor + 1;  // past '%'
    Spec conv;
    for (;; ++p) {
        if (*p == '#') {
            ++conv.hashes;
        } else if (*p == 'l') {
            ++conv.longs;
        } else {
            break;
        }
    }
    if (*p == '.') {
        conv.hasPrecision = true;
        ++p;
        if (*p == '*') {
            int precision = va_arg(*arguments, int);
            if (precision < 0) return kStatusBadSize;
            conv.precision = precision;
            ++p;
        } else {
            int64_t precision = 0;
            for (; *p >= '0' && *p <= '9'; ++p) {
                precision = precision * 10 + (*p - '0');
                if (precision > INT32_MAX) return kStatusBadSize;
            }
            conv.precision = static_cast<int32_t>(precision);
        }
    }
    char conversion = *p;
    if (conversion == '\0') return kStatusBadFormatSpec;
    ++p;
    *cursor = p;

    // Conversions that take no precision reject one after taking their
    // arguments, which keeps the argument order plain to read.
    switch (conversion) {
    case '@': {
        auto* where = va_arg(*arguments, QxLObjectRef*);
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        if (where == nullptr) return kStatusBadParameter;
        *where = (array_ != nullptr) ? array_ : dictionary_;
        return kStatusOK;
    }
    case 'C': {
        auto code = static_cast<uint32_t>(va_arg(*arguments, int));
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        char bytes[4];
        CodeBytes(code, bytes);
        QxLStringRef string = nullptr;
        QxStatus status = QxLStringCreate(bytes, 4, &string);
        return AddCreated(status, string);
    }
    case 'D':
    case 'd': {
        const void* bytes = va_arg(*arguments, const void*);
        int length = va_arg(*arguments, int);
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        if (length < 0) return kStatusBadSize;
        if (bytes == nullptr && length != 0) return kStatusBadParameter;
        QxLDataRef data = nullptr;
        QxStatus status = QxLDataCreate(bytes, length, &data);
        return AddCreated(status, data);
    }
    case 'O':
    case 'o':
        return ObjectConversion(conv, arguments);
    case 'T': {
        QxLDateFields fields;
        fields.year = va_arg(*arguments, int);
        fields.month = va_arg(*arguments, int);
        fields.day = va_arg(*arguments, int);
        fields.hour = va_arg(*arguments, int);
        fields.minute = va_arg(*arguments, int);
        fields.second = va_arg(*arguments, int);
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        QxLDateRef date = nullptr;
        QxStatus status = QxLDateCreate(&fields, &date);
        return AddCreated(status, date);
    }
    case 'a':
        return AddressConversion(conv, arguments);
    case 'b': {
        int value = va_arg(*arguments, int);
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        return AddObject(QxLBooleanFor(value != 0));
    }
    case 'i': {
        int64_t value = (conv.longs >= 2) ? static_cast<int64_t>(va_arg(*arguments, long long))
                                          : static_cast<int64_t>(va_arg(*arguments, int));
        if (conv.hasPrecision) return kStatusBadFormatSpec;
        QxLNumberRef number = nullptr;
        QxStatus status = QxLNumberCreate(value, &number);
        return AddCreated(status, number);
    }
    case 's': {
        const char* text = va_arg(*arguments, const char*);
        if (text == nullptr) return kStatusBadParameter;
        QxLStringRef string = nullptr;
        QxStatus status = QxLStringCreate(text, LimitedLength(text, conv), &string);
        return AddCreated(status, string);
    }
    case 'k':
        return KeyConversion(cursor, conv, arguments);
    default:
        return kStatusBadFormatSpec;
    }
}

QxStatus Builder::Run(const char* format, va_list* arguments) {
    const char* p = format;
    while (*p != '\0') {
        QxStatus status;
        switch (*p) {
        case '{':
        case '[':
            status = OpenContainer(*p == '{');
            ++p;
            break;
        case '}':
        case ']':
            status = CloseContainer();
            ++p;
            break;
        case '%':
            status = Conversion(&p, arguments);
            break;
        default:
            status = Literal(&p);
            break;
        }
        if (status != kStatusOK) return status;
    }
    return kStatusOK;
}

}  // namespace

QxStatus QxLBuild(QxLObjectRef* result, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    QxStatus status = QxLBuildV(result, format, arguments);
    va_end(arguments);
    return status;
}

QxStatus QxLBuildV(QxLObjectRef* result, const char* format, va_list arguments) {
    if (result == nullptr || format == nullptr) return kStatusBadParameter;
    // A local copy: a va_list parameter may be an array type that decays,
    // and the helpers take the list by address.
    va_list copy;
    va_copy(copy, arguments);
    Builder builder(nullptr, nullptr);
    QxStatus status = builder.Run(format, &copy);
    va_end(copy);
    if (status == kStatusOK) *result = builder.TakeResult();
    return status;
}

QxStatus QxLBuildInto(QxLObjectRef container, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    QxStatus status = QxLBuildIntoV(container, format, arguments);
    va_end(arguments);
    return status;
}

QxStatus QxLBuildIntoV(QxLObjectRef container, const char* format, va_list arguments) {
    if (container == nullptr || format == nullptr) return kStatusBadParameter;
    bool isArray = QxLObjectIsType(container, kQxLTypeArray);
    if (!isArray && !QxLObjectIsType(container, kQxLTypeDictionary)) {
        return kStatusUnexpectedType;
    }
    va_list copy;
    va_copy(copy, arguments);
    Builder builder(isArray ? container : nullptr, isArray ? nullptr : container);
    QxStatus status = builder.Run(format, &copy);
    va_end(copy);
    return status;
}
