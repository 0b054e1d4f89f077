// QxLString: UTF-8 byte strings, taken as they come (no validation).
//
// Two layouts share the type id:
//   heap      header, char* text (own NUL-terminated copy), uint32 length
//   constant  header 56 07 00 00 FF FF FF 7F, then the text inline; its
//             length is the length up to the NUL
// Every operation reads through TextOf so that both layouts work alike.
// Only heap strings change, and only through QxLStringSetText.
#include "QxLString.h"

#include <cstring>

#include "QxLMemory.h"
#include "QxLObjectInternal.h"

namespace {

struct TextView {
    const char* text;
    uint32_t length;
};

// Read through the atomic accessor: other threads may be retaining a heap
// string while this one reads its text.
bool IsConstantLayout(QxLObjectRef string) {
    return QxLObjectRetainCount(string) == kQxLConstantRetainCount;
}

// The caller has checked that `string` is a valid string.
TextView TextOf(QxLObjectRef string) {
    if (IsConstantLayout(string)) {
        const char* inlineText = static_cast<const char*>(QxLObjectPayload(string));
        return {inlineText, static_cast<uint32_t>(std::strlen(inlineText))};
    }
    const auto* payload = QxLPayloadOf<QxLStringPayload>(string);
    return {payload->text, payload->length};
}

// A NUL-terminated heap copy of the given bytes, by the create/set rules:
// length -1 takes the whole NUL-terminated text; bytes may be null only for
// length 0.
QxStatus CopyText(const char* bytes, int32_t length, char** text, uint32_t* textLength) {
    size_t n;
    if (length == -1) {
        if (bytes == nullptr) return kStatusBadParameter;
        n = std::strlen(bytes);
        if (n > UINT32_MAX - 1) return kStatusBadSize;
    } else if (length < 0) {
        return kStatusBadParameter;
    } else {
        if (bytes == nullptr && length != 0) return kStatusBadParameter;
        n = static_cast<size_t>(length);
    }
    char* copy = static_cast<char*>(QxLAlloc(n + 1));
    if (copy == nullptr) return kStatusNoMemory;
    if (n != 0) std::memcpy(copy, bytes, n);
    copy[n] = '\0';
    *text = copy;
    *textLength = static_cast<uint32_t>(n);
    return kStatusOK;
}

unsigned char FoldASCII(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Growable output for QxLStringReplaceAll.
struct Builder {
    char* bytes = nullptr;
    size_t length = 0;
    size_t capacity = 0;

    ~Builder() { QxLFree(bytes); }

    bool Append(const char* p, size_t n) {
        if (n == 0) return true;
        if (n > SIZE_MAX / 2 - length) return false;
        if (length + n > capacity) {
            size_t wanted = capacity == 0 ? 64 : capacity;
            while (wanted < length + n) wanted *= 2;
            char* grown = static_cast<char*>(QxLRealloc(bytes, wanted));
            if (grown == nullptr) return false;
            bytes = grown;
            capacity = wanted;
        }
        std::memcpy(bytes + length, p, n);
        length += n;
        return true;
    }
};

}  // namespace

QxStatus QxLStringCreate(const char* bytes, int32_t length, QxLStringRef* string) {
    if (string == nullptr) return kStatusBadParameter;
    char* text = nullptr;
    uint32_t textLength = 0;
    QxStatus status = CopyText(bytes, length, &text, &textLength);
    if (status != kStatusOK) return status;
    void* object = QxLObjectAllocate(sizeof(QxLStringPayload), kQxLTypeString);
    if (object == nullptr) {
        QxLFree(text);
        return kStatusNoMemory;
    }
    auto* payload = QxLPayloadOf<QxLStringPayload>(object);
    payload->text = text;
    payload->length = textLength;
    *string = object;
    return kStatusOK;
}

QxStatus QxLStringSetText(QxLStringRef string, const char* bytes, int32_t length) {
    if (!QxLObjectIsType(string, kQxLTypeString)) return kStatusBadObject;
    if (IsConstantLayout(string)) return kStatusImmutable;
    char* text = nullptr;
    uint32_t textLength = 0;
    QxStatus status = CopyText(bytes, length, &text, &textLength);
    if (status != kStatusOK) return status;
    auto* payload = QxLPayloadOf<QxLStringPayload>(string);
    QxLFree(payload->text);
    payload->text = text;
    payload->length = textLength;
    return kStatusOK;
}

QxStatus QxLStringGetText(QxLStringRef string, const char** text, uint32_t* length) {
    if (!QxLObjectIsType(string, kQxLTypeString)) return kStatusBadObject;
    const TextView view = TextOf(string);
    if (text != nullptr) *text = view.text;
    if (length != nullptr) *length = view.length;
    return kStatusOK;
}

QxLStringRef QxLStringCreateWithText(const char* text) {
    QxLStringRef string = nullptr;
    return QxLStringCreate(text, -1, &string) == kStatusOK ? string : nullptr;
}

QxLStringRef QxLStringCreateWithBytes(const char* bytes, int32_t length) {
    QxLStringRef string = nullptr;
    return QxLStringCreate(bytes, length, &string) == kStatusOK ? string : nullptr;
}

int QxLStringCompare(QxLStringRef a, QxLStringRef b, uint32_t options) {
    if (!QxLObjectIsType(a, kQxLTypeString) || !QxLObjectIsType(b, kQxLTypeString)) return -1;
    // Byte-wise up to the NUL, like equality, so that Compare == 0 agrees
    // with QxLObjectEqual.
    const auto* p = reinterpret_cast<const unsigned char*>(TextOf(a).text);
    const auto* q = reinterpret_cast<const unsigned char*>(TextOf(b).text);
    const bool fold = (options & kQxLCompareCaseInsensitive) != 0;
    for (;; ++p, ++q) {
        const unsigned char x = fold ? FoldASCII(*p) : *p;
        const unsigned char y = fold ? FoldASCII(*q) : *q;
        if (x != y) return x < y ? -1 : 1;
        if (x == '\0') return 0;
    }
}

bool QxLStringCopyToBuffer(QxLStringRef string, char* buffer, size_t size) {
    if (!QxLObjectIsType(string, kQxLTypeString) || buffer == nullptr) return false;
    const TextView view = TextOf(string);
    if (view.length >= size) return false;
    std::memcpy(buffer, view.text, view.length);
    buffer[view.length] = '\0';
    return true;
}

uint32_t QxLStringGetBytes(QxLStringRef string, uint32_t offset, uint32_t count, void* buffer,
                           uint32_t bufferSize, uint32_t* copied) {
    if (!QxLObjectIsType(string, kQxLTypeString)) return 0;
    const TextView view = TextOf(string);
    uint32_t n = 0;
    // 64-bit sum: offset + count must not wrap past the check.
    if (static_cast<uint64_t>(offset) + count <= view.length) {
        if (buffer == nullptr) {
            n = count;
        } else {
            n = count < bufferSize ? count : bufferSize;
            if (n != 0) std::memcpy(buffer, view.text + offset, n);
        }
    }
    if (copied != nullptr) *copied = n;
    return n;
}

uint32_t QxLStringReplaceAll(QxLStringRef string, const char* target, const char* replacement) {
    if (!QxLObjectIsType(string, kQxLTypeString) || IsConstantLayout(string)) return 0;
    // An empty target would match everywhere and never advance.
    if (target == nullptr || replacement == nullptr || target[0] == '\0') return 0;
    const TextView view = TextOf(string);
    const size_t targetLength = std::strlen(target);
    const size_t replacementLength = std::strlen(replacement);

    Builder out;
    uint32_t replaced = 0;
    size_t start = 0;  // first byte not yet copied
    size_t i = 0;
    while (i + targetLength <= view.length) {
        if (std::memcmp(view.text + i, target, targetLength) == 0) {
            if (!out.Append(view.text + start, i - start) ||
                !out.Append(replacement, replacementLength)) {
                return 0;
            }
            ++replaced;
            i += targetLength;
            start = i;
        } else {
            ++i;
        }
    }
    if (replaced == 0) return 0;
    if (!out.Append(view.text + start, view.length - start)) return 0;
    if (out.length > INT32_MAX) return 0;
    // An empty result leaves the builder without a buffer; SetText takes
    // (null, 0) as the empty text.
    if (QxLStringSetText(string, out.bytes, static_cast<int32_t>(out.length)) != kStatusOK) {
        return 0;
    }
    return replaced;
}

// ---- Type functions -------------------------------------------------------------

void QxLStringFinalize(QxLObjectRef object) {
    if (IsConstantLayout(object)) return;
    QxLFree(QxLPayloadOf<QxLStringPayload>(object)->text);
}

bool QxLStringEqual(QxLObjectRef a, QxLObjectRef b) {
    const TextView x = TextOf(a);
    const TextView y = TextOf(b);
    if (!IsConstantLayout(a) && !IsConstantLayout(b) && x.length != y.length) return false;
    return std::strcmp(x.text, y.text) == 0;
}

uint32_t QxLStringHash(QxLObjectRef object) {
    const char* text = TextOf(object).text;
    return QxLHashFNV1a(text, std::strlen(text));
}
