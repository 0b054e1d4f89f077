// Property-list writing: an object tree into the XML text, version 1.0.
//
// The output is fixed to the byte so that equal trees give equal documents:
//   <?xml version="1.0" encoding="UTF-8"?>
//   <!DOCTYPE plist SYSTEM "http://www.tamsor.org/DTDs/PropertyList-1.0.dtd">
//   <plist version="1.0">
//   ...the object at depth 0...
//   </plist>
//
// An object at depth d (each element line starts with d tabs):
//   array        <array/>, or <array>, elements at d + 1, </array>
//   boolean      <true/> or <false/>
//   data         <data>, base64 lines of at most 72 characters, each
//                starting with d tabs (empty data: one line of tabs), </data>
//   date         <date>YYYY-MM-DDTHH:MM:SSZ</date>
//   dictionary   <dict/>, or <dict>, entries in byte-wise key order with an
//                empty line between them (<key>k</key> and the value at
//                d + 1), </dict>
//   number       <integer>%lld</integer>
//   string       <string>text</string>
// Keys and strings escape only & < and >. Other kinds are refused; there is
// no floating point, so <real> is never written.
#include "QxLPropertyList.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLString.h"

namespace {

constexpr char kDocumentHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist SYSTEM \"http://www.tamsor.org/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr char kDocumentFooter[] = "</plist>\n";

// Deeper trees than the reader accepts are refused rather than written, which
// also stops a container that holds itself from recursing without end. The
// reader counts <plist> and allows 512 nested elements.
constexpr int kMaxObjectDepth = 510;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kBase64LineLength = 72;  // 18 groups of 4

QxStatus Append(QxLDataRef out, const char* text) {
    return QxLDataAppend(out, text, static_cast<int32_t>(std::strlen(text)));
}

// Extends the output by `count` bytes and returns where they start.
QxStatus Reserve(QxLDataRef out, size_t count, char** start) {
    if (count > INT32_MAX) return kStatusNoMemory;
    uint32_t before = 0;
    QxStatus status = QxLDataGetBytes(out, nullptr, &before);
    if (status == kStatusOK) status = QxLDataAppend(out, nullptr, static_cast<int32_t>(count));
    uint8_t* bytes = nullptr;
    if (status == kStatusOK) status = QxLDataGetBytes(out, &bytes, nullptr);
    if (status != kStatusOK) return status;
    *start = reinterpret_cast<char*>(bytes) + before;
    return kStatusOK;
}

QxStatus AppendTabs(QxLDataRef out, int depth) {
    if (depth == 0) return kStatusOK;
    char* p = nullptr;
    QxStatus status = Reserve(out, static_cast<size_t>(depth), &p);
    if (status == kStatusOK) std::memset(p, '\t', static_cast<size_t>(depth));
    return status;
}

// d tabs, then the line.
QxStatus AppendLine(QxLDataRef out, int depth, const char* line) {
    QxStatus status = AppendTabs(out, depth);
    if (status == kStatusOK) status = Append(out, line);
    return status;
}

// The escaped length is found first so the output grows once.
QxStatus AppendEscaped(QxLDataRef out, const char* text, uint32_t length) {
    size_t escapedLength = 0;
    for (uint32_t i = 0; i < length; i++) {
        switch (text[i]) {
            case '&': escapedLength += 5; break;
            case '<':
            case '>': escapedLength += 4; break;
            default: escapedLength += 1; break;
        }
    }
    if (escapedLength == 0) return kStatusOK;
    char* p = nullptr;
    QxStatus status = Reserve(out, escapedLength, &p);
    if (status != kStatusOK) return status;
    for (uint32_t i = 0; i < length; i++) {
        const char* entity = nullptr;
        switch (text[i]) {
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            default: *p++ = text[i]; continue;
        }
        size_t n = std::strlen(entity);
        std::memcpy(p, entity, n);
        p += n;
    }
    return kStatusOK;
}

// <open>escaped text</close>, at depth d.
QxStatus AppendTextElement(QxLDataRef out, int depth, const char* open, QxLStringRef string,
                           const char* close) {
    const char* text = nullptr;
    uint32_t length = 0;
    QxStatus status = QxLStringGetText(string, &text, &length);
    if (status == kStatusOK) status = AppendLine(out, depth, open);
    if (status == kStatusOK) status = AppendEscaped(out, text, length);
    if (status == kStatusOK) status = Append(out, close);
    return status;
}

// The base64 lines of a data element, all reserved in one step.
QxStatus AppendBase64Lines(QxLDataRef out, int depth, const uint8_t* bytes, uint32_t length) {
    size_t characters = (static_cast<size_t>(length) + 2) / 3 * 4;
    size_t lines = characters == 0 ? 1 : (characters + kBase64LineLength - 1) / kBase64LineLength;
    char* p = nullptr;
    QxStatus status = Reserve(out, lines * (static_cast<size_t>(depth) + 1) + characters, &p);
    if (status != kStatusOK) return status;

    uint32_t onLine = 0;
    std::memset(p, '\t', static_cast<size_t>(depth));
    p += depth;
    for (uint32_t i = 0; i < length; i += 3) {
        if (onLine == kBase64LineLength) {
            *p++ = '\n';
            std::memset(p, '\t', static_cast<size_t>(depth));
            p += depth;
            onLine = 0;
        }
        uint32_t remaining = length - i;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (remaining > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (remaining > 2) group |= bytes[i + 2];
        *p++ = kBase64Alphabet[(group >> 18) & 63];
        *p++ = kBase64Alphabet[(group >> 12) & 63];
        *p++ = remaining > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        *p++ = remaining > 2 ? kBase64Alphabet[group & 63] : '=';
        onLine += 4;
    }
    *p = '\n';
    return kStatusOK;
}

// Byte-wise order of two string keys; a key that is a prefix of another
// sorts first.
bool KeyLess(const void* a, const void* b) {
    const char* textA = nullptr;
    const char* textB = nullptr;
    uint32_t lengthA = 0;
    uint32_t lengthB = 0;
    QxLStringGetText(a, &textA, &lengthA);
    QxLStringGetText(b, &textB, &lengthB);
    int order = std::memcmp(textA, textB, std::min(lengthA, lengthB));
    return order < 0 || (order == 0 && lengthA < lengthB);
}

QxStatus WriteObject(QxLDataRef out, QxLObjectRef object, int depth);

QxStatus WriteArray(QxLDataRef out, QxLArrayRef array, int depth) {
    int32_t count = 0;
    QxStatus status = QxLArrayCount(array, &count);
    if (status != kStatusOK) return status;
    if (count == 0) return AppendLine(out, depth, "<array/>\n");
    status = AppendLine(out, depth, "<array>\n");
    for (int32_t i = 0; i < count && status == kStatusOK; i++) {
        const void* value = nullptr;
        status = QxLArrayValueAt(array, i, &value);
        if (status == kStatusOK) status = WriteObject(out, value, depth + 1);
    }
    if (status == kStatusOK) status = AppendLine(out, depth, "</array>\n");
    return status;
}

QxStatus WriteDictionary(QxLDataRef out, QxLDictionaryRef dictionary, int depth) {
    const void** keys = nullptr;
    int32_t count = 0;
    QxStatus status = QxLDictionaryCopyKeys(dictionary, &keys, &count);
    if (status != kStatusOK) return status;
    if (count == 0) {
        QxLFree(keys);
        return AppendLine(out, depth, "<dict/>\n");
    }
    for (int32_t i = 0; i < count; i++) {
        if (!QxLObjectIsType(keys[i], kQxLTypeString)) {
            QxLFree(keys);
            return kStatusBadObject;
        }
    }
    std::sort(keys, keys + count, KeyLess);

    status = AppendLine(out, depth, "<dict>\n");
    for (int32_t i = 0; i < count && status == kStatusOK; i++) {
        if (i > 0) status = Append(out, "\n");
        if (status == kStatusOK) {
            status = AppendTextElement(out, depth + 1, "<key>", keys[i], "</key>\n");
        }
        const void* value = nullptr;
        if (status == kStatusOK) status = QxLDictionaryGetValue(dictionary, keys[i], &value);
        if (status == kStatusOK) status = WriteObject(out, value, depth + 1);
    }
    QxLFree(keys);
    if (status == kStatusOK) status = AppendLine(out, depth, "</dict>\n");
    return status;
}

QxStatus WriteData(QxLDataRef out, QxLDataRef data, int depth) {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    QxStatus status = QxLDataGetBytes(data, &bytes, &length);
    if (status == kStatusOK) status = AppendLine(out, depth, "<data>\n");
    if (status == kStatusOK) status = AppendBase64Lines(out, depth, bytes, length);
    if (status == kStatusOK) status = AppendLine(out, depth, "</data>\n");
    return status;
}

QxStatus WriteDate(QxLDataRef out, QxLDateRef date, int depth) {
    QxLDateFields f{};
    QxStatus status = QxLDateGetFields(date, &f);
    if (status != kStatusOK) return status;
    char line[96];
    int n = std::snprintf(line, sizeof line, "<date>%04u-%02u-%02uT%02u:%02u:%02uZ</date>\n",
                          static_cast<unsigned>(f.year), static_cast<unsigned>(f.month),
                          static_cast<unsigned>(f.day), static_cast<unsigned>(f.hour),
                          static_cast<unsigned>(f.minute), static_cast<unsigned>(f.second));
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return kStatusMalformed;
    return AppendLine(out, depth, line);
}

QxStatus WriteNumber(QxLDataRef out, QxLNumberRef number, int depth) {
    long long value = 0;
    if (!QxLNumberGetValue(number, kQxLNumberSInt64, &value)) return kStatusBadObject;
    char line[64];
    int n = std::snprintf(line, sizeof line, "<integer>%lld</integer>\n", value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return kStatusMalformed;
    return AppendLine(out, depth, line);
}

QxStatus WriteObject(QxLDataRef out, QxLObjectRef object, int depth) {
    if (depth > kMaxObjectDepth) return kStatusMalformed;
    uint32_t type = kQxLTypeInvalid;
    QxStatus status = QxLObjectTypeID(object, &type);
    if (status != kStatusOK) return status;
    switch (type) {
        case kQxLTypeArray: return WriteArray(out, object, depth);
        case kQxLTypeBoolean:
            return AppendLine(out, depth, QxLBooleanIsTrue(object) ? "<true/>\n" : "<false/>\n");
        case kQxLTypeData: return WriteData(out, object, depth);
        case kQxLTypeDate: return WriteDate(out, object, depth);
        case kQxLTypeDictionary: return WriteDictionary(out, object, depth);
        case kQxLTypeNumber: return WriteNumber(out, object, depth);
        case kQxLTypeString:
            return AppendTextElement(out, depth, "<string>", object, "</string>\n");
        default: return kStatusTypeNotSupported;
    }
}

}  // namespace

QxStatus QxLPropertyListWrite(QxLObjectRef object, QxLDataRef* data) {
    if (object == nullptr || data == nullptr) return kStatusBadParameter;
    QxLDataRef out = nullptr;
    QxStatus status = QxLDataCreate(nullptr, 0, &out);
    if (status != kStatusOK) return status;
    status = Append(out, kDocumentHeader);
    if (status == kStatusOK) status = WriteObject(out, object, 0);
    if (status == kStatusOK) status = Append(out, kDocumentFooter);
    if (status != kStatusOK) {
        QxLObjectRelease(out);
        return status;
    }
    *data = out;
    return kStatusOK;
}
