// XML property-list reading (the binary form is QxLPropertyListBinary.cpp,
// chosen by its header): expat turns the text into a small element tree, and
// the tree is then converted into objects.
//
// Elements and the objects they become:
//   plist              the document; must hold exactly one element
//   array              array, one element per child element, in order
//   dict               dictionary; children alternate key, value
//   key                the text of a dictionary key (only inside dict)
//   string             string of the element text, whitespace included
//   integer            number scanned with %lli (non-numeric text gives 0)
//   real               refused: the object model has no floating point
//   true, false        the constant booleans
//   date               YYYY-MM-DDTHH:MM:SSZ (the year may have any digits)
//   data               base64, decoded leniently (see DecodeBase64)
//
// Attributes are ignored. The reader does not validate against the document
// type, and it does not keep character data that lies between child
// elements of containers apart from the containers' own (unused) text.
#include "QxLPropertyList.h"

#include <expat.h>

#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLScan.h"
#include "QxLString.h"
#include "QxLTextInternal.h"

namespace {

// Hostile input may nest elements without end. expat keeps its own tag stack
// on the heap, but freeing and converting the tree recurse, so nesting is
// capped well beyond anything a real property list needs.
constexpr int kMaxElementNesting = 512;

struct ElementNode {
    ElementNode* next;        // next sibling
    ElementNode* parent;
    ElementNode* firstChild;
    ElementNode* lastChild;
    char* name;               // heap copy
    QxLDataRef text;          // character data directly inside the element
};

struct TreeBuilder {
    XML_Parser parser;
    ElementNode* root;
    ElementNode* current;
    int depth;
    QxStatus status;          // first failure of a handler
};

// Children first, then the node's own name and text. Depth is bounded by
// kMaxElementNesting, so the recursion is too.
void FreeTree(ElementNode* node) {
    while (node != nullptr) {
        ElementNode* next = node->next;
        FreeTree(node->firstChild);
        QxLFree(node->name);
        QxLObjectRelease(node->text);
        QxLFree(node);
        node = next;
    }
}

void StopWith(TreeBuilder* builder, QxStatus status) {
    if (builder->status == kStatusOK) builder->status = status;
    XML_StopParser(builder->parser, XML_FALSE);
}

void XMLCALL StartElement(void* userData, const XML_Char* name, const XML_Char** /*attributes*/) {
    auto* builder = static_cast<TreeBuilder*>(userData);
    if (builder->status != kStatusOK) return;
    if (builder->depth >= kMaxElementNesting) {
        StopWith(builder, kStatusMalformed);
        return;
    }
    auto* node = static_cast<ElementNode*>(QxLAllocZeroed(sizeof(ElementNode)));
    if (node == nullptr) {
        StopWith(builder, kStatusNoMemory);
        return;
    }
    size_t nameLength = std::strlen(name);
    node->name = static_cast<char*>(QxLAlloc(nameLength + 1));
    QxStatus status = node->name == nullptr ? kStatusNoMemory
                                            : QxLDataCreate(nullptr, 0, &node->text);
    if (status != kStatusOK) {
        FreeTree(node);
        StopWith(builder, status);
        return;
    }
    std::memcpy(node->name, name, nameLength + 1);

    ElementNode* parent = builder->current;
    node->parent = parent;
    if (parent == nullptr) {
        builder->root = node;  // expat allows only one document element
    } else if (parent->lastChild == nullptr) {
        parent->firstChild = parent->lastChild = node;
    } else {
        parent->lastChild->next = node;
        parent->lastChild = node;
    }
    builder->current = node;
    builder->depth++;
}

void XMLCALL EndElement(void* userData, const XML_Char* /*name*/) {
    auto* builder = static_cast<TreeBuilder*>(userData);
    if (builder->status != kStatusOK || builder->current == nullptr) return;
    builder->current = builder->current->parent;
    builder->depth--;
}

void XMLCALL CharacterData(void* userData, const XML_Char* bytes, int length) {
    auto* builder = static_cast<TreeBuilder*>(userData);
    if (builder->status != kStatusOK || builder->current == nullptr) return;
    QxStatus status = QxLDataAppend(builder->current->text, bytes, length);
    if (status != kStatusOK) StopWith(builder, status);
}

// ---- Conversion -------------------------------------------------------------

// The element text as bytes and length; never a null pointer.
void GetText(const ElementNode* node, const char** bytes, int32_t* length) {
    uint8_t* data = nullptr;
    uint32_t count = 0;
    if (QxLDataGetBytes(node->text, &data, &count) != kStatusOK || data == nullptr) {
        *bytes = "";
        *length = 0;
        return;
    }
    *bytes = reinterpret_cast<const char*>(data);
    *length = static_cast<int32_t>(count);
}

// A run of decimal digits (possibly empty) at *cursor. Values beyond int32
// saturate, so an absurdly long field fails its range check instead of
// overflowing.
int64_t ScanDigits(const char** cursor, const char* end) {
    int64_t value = 0;
    const char* p = *cursor;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) value = int64_t(INT32_MAX) + 1;
        p++;
    }
    *cursor = p;
    return value;
}

// YYYY-MM-DDTHH:MM:SSZ; characters after the Z are ignored.
QxStatus ParseDate(const char* text, int32_t length, QxLDateFields* fields) {
    struct Field {
        char separator;  // the character that must follow the field
        int64_t low;
        int64_t high;
    };
    static constexpr Field kFields[6] = {
        {'-', 0, INT32_MAX},  // year: any digits, also none
        {'-', 1, 12}, {'T', 1, 31}, {':', 0, 23}, {':', 0, 59}, {'Z', 0, 59},
    };
    int32_t values[6];
    const char* p = text;
    const char* end = text + length;
    for (int i = 0; i < 6; i++) {
        int64_t value = ScanDigits(&p, end);
        if (value < kFields[i].low || value > kFields[i].high) return kStatusBadDate;
        if (p >= end || *p != kFields[i].separator) return kStatusBadDate;
        p++;
        values[i] = static_cast<int32_t>(value);
    }
    *fields = {values[0], values[1], values[2], values[3], values[4], values[5]};
    return kStatusOK;
}

// Every byte outside the alphabet (white space, stray characters) is
// skipped; '=' ends the data. A short last group yields what it can: one or
// two characters one byte, three characters two bytes, whether it ends at
// '=' or at the end of the text. '=' at the start of a group is malformed.
QxStatus DecodeBase64(const char* text, int32_t length, QxLDataRef* result) {
    QxLDataRef data = nullptr;
    QxStatus status = QxLDataCreate(nullptr, 0, &data);
    if (status != kStatusOK) return status;
    // Four characters give at most three bytes; reserve that and trim after.
    uint32_t room = static_cast<uint32_t>(length / 4) * 3 + 3;
    status = QxLDataAppend(data, nullptr, static_cast<int32_t>(room));
    uint8_t* out = nullptr;
    if (status == kStatusOK) status = QxLDataGetBytes(data, &out, nullptr);
    if (status != kStatusOK) {
        QxLObjectRelease(data);
        return status;
    }

    uint32_t written = 0;
    uint32_t group = 0;  // the gathered characters, 6 bits each
    int count = 0;
    for (int32_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            if (count == 0) {
                QxLObjectRelease(data);
                return kStatusMalformed;
            }
            break;
        }
        int value = QxLBase64Value(c);
        if (value < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out[written++] = static_cast<uint8_t>(group >> 16);
            out[written++] = static_cast<uint8_t>(group >> 8);
            out[written++] = static_cast<uint8_t>(group);
            group = 0;
            count = 0;
        }
    }
    if (count > 0) {
        group <<= 6 * (4 - count);  // as if padded to a full group
        out[written++] = static_cast<uint8_t>(group >> 16);
        if (count == 3) out[written++] = static_cast<uint8_t>(group >> 8);
    }
    status = QxLDataSetLength(data, written);
    if (status != kStatusOK) {
        QxLObjectRelease(data);
        return status;
    }
    *result = data;
    return kStatusOK;
}

QxStatus ConvertElement(const ElementNode* node, QxLObjectRef* result);

QxStatus ConvertArray(const ElementNode* node, QxLObjectRef* result) {
    QxLArrayRef array = nullptr;
    QxStatus status = QxLArrayCreate(&array);
    if (status != kStatusOK) return status;
    for (const ElementNode* child = node->firstChild; child != nullptr; child = child->next) {
        QxLObjectRef value = nullptr;
        status = ConvertElement(child, &value);
        if (status == kStatusOK) {
            status = QxLArrayAppend(array, value);
            QxLObjectRelease(value);
        }
        if (status != kStatusOK) {
            QxLObjectRelease(array);
            return status;
        }
    }
    *result = array;
    return kStatusOK;
}

QxStatus ConvertDictionary(const ElementNode* node, QxLObjectRef* result) {
    QxLDictionaryRef dictionary = nullptr;
    QxStatus status =
        QxLDictionaryCreate(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks, &dictionary);
    if (status != kStatusOK) return status;
    const ElementNode* child = node->firstChild;
    while (child != nullptr) {
        const ElementNode* valueNode = child->next;
        if (std::strcmp(child->name, "key") != 0 || valueNode == nullptr) {
            status = kStatusMalformed;
            break;
        }
        const char* keyText = nullptr;
        int32_t keyLength = 0;
        GetText(child, &keyText, &keyLength);
        QxLStringRef key = nullptr;
        status = QxLStringCreate(keyText, keyLength, &key);
        if (status != kStatusOK) break;
        QxLObjectRef value = nullptr;
        status = ConvertElement(valueNode, &value);
        if (status == kStatusOK) {
            status = QxLDictionarySetValue(dictionary, key, value);
            QxLObjectRelease(value);
        }
        QxLObjectRelease(key);
        if (status != kStatusOK) break;
        child = valueNode->next;
    }
    if (status != kStatusOK) {
        QxLObjectRelease(dictionary);
        return status;
    }
    *result = dictionary;
    return kStatusOK;
}

QxStatus ConvertElement(const ElementNode* node, QxLObjectRef* result) {
    const char* name = node->name;
    const char* text = nullptr;
    int32_t length = 0;
    GetText(node, &text, &length);

    if (std::strcmp(name, "array") == 0) return ConvertArray(node, result);
    if (std::strcmp(name, "dict") == 0) return ConvertDictionary(node, result);
    if (std::strcmp(name, "string") == 0) return QxLStringCreate(text, length, result);
    if (std::strcmp(name, "integer") == 0) {
        long long value = 0;
        QxLScan(text, length, "%lli", &value);  // no digits leave 0
        return QxLNumberCreate(value, result);
    }
    if (std::strcmp(name, "real") == 0) return kStatusTypeNotSupported;
    if (std::strcmp(name, "true") == 0) {
        *result = kQxLBooleanTrue;
        return kStatusOK;
    }
    if (std::strcmp(name, "false") == 0) {
        *result = kQxLBooleanFalse;
        return kStatusOK;
    }
    if (std::strcmp(name, "date") == 0) {
        QxLDateFields fields{};
        QxStatus status = ParseDate(text, length, &fields);
        if (status != kStatusOK) return status;
        return QxLDateCreate(&fields, result);
    }
    if (std::strcmp(name, "data") == 0) return DecodeBase64(text, length, result);
    return kStatusMalformed;
}

QxStatus ConvertDocument(const ElementNode* root, QxLObjectRef* result) {
    if (root == nullptr) return kStatusMalformed;
    if (std::strcmp(root->name, "plist") != 0) return kStatusBadName;
    const ElementNode* child = root->firstChild;
    if (child == nullptr || child->next != nullptr) return kStatusMalformed;
    return ConvertElement(child, result);
}

}  // namespace

QxStatus QxLPropertyListRead(const void* bytes, int32_t length, QxLObjectRef* object) {
    if (bytes == nullptr || object == nullptr || length < 0) return kStatusBadParameter;
    if (QxLPropertyListIsBinary(bytes, length)) return QxLPropertyListReadBinary(bytes, length, object);

    TreeBuilder builder{};
    builder.parser = XML_ParserCreate(nullptr);
    if (builder.parser == nullptr) return kStatusNoMemory;
    XML_SetUserData(builder.parser, &builder);
    XML_SetElementHandler(builder.parser, StartElement, EndElement);
    XML_SetCharacterDataHandler(builder.parser, CharacterData);

    QxStatus status = kStatusOK;
    if (XML_Parse(builder.parser, static_cast<const char*>(bytes), length, XML_TRUE) !=
        XML_STATUS_OK) {
        if (builder.status != kStatusOK) {
            status = builder.status;
        } else if (XML_GetErrorCode(builder.parser) == XML_ERROR_NO_MEMORY) {
            status = kStatusNoMemory;
        } else {
            status = kStatusMalformed;
        }
    }
    XML_ParserFree(builder.parser);

    QxLObjectRef result = nullptr;
    if (status == kStatusOK) status = ConvertDocument(builder.root, &result);
    FreeTree(builder.root);
    if (status != kStatusOK) return status;
    *object = result;
    return kStatusOK;
}
