// Binary property lists ("bplist00") into the same object trees as the XML
// reader. Every offset, count and object reference is checked against the
// buffer before it is used, so a damaged or hostile file gives a status and
// never a read outside the buffer.
//
// File layout (big-endian throughout):
//   0       8 bytes   "bplist00"
//   8       ...       objects, each a marker byte and its content
//   T       N * W     offset table: the file offset of each object, W bytes each
//   end-32  32 bytes  trailer:
//             +0   5  unused
//             +5   1  sort version (ignored)
//             +6   1  W, offset width, 1..8
//             +7   1  R, object reference width, 1..8
//             +8   8  N, number of objects
//             +16  8  top object (a reference)
//             +24  8  T, offset of the offset table
//
// Markers (high nibble kind, low nibble size or count) and what they become:
//   00 null, 0F fill           refused (kStatusMalformed): no such objects
//   08 false, 09 true          the constant booleans
//   1n integer of 2^n bytes    number; 1, 2, 4 bytes unsigned, 8 signed, 16
//                              signed and refused (kStatusOutOfRange) beyond
//                              64 bits
//   2n real of 2^n bytes       refused (kStatusTypeNotSupported), as in XML
//   33 date, 8-byte double     date; seconds since 2001-01-01 00:00:00 UTC,
//                              rounded down to the second
//   4n data of n bytes         data
//   5n ASCII string, n bytes   string; a byte above 0x7F is kStatusBadCharacter
//   6n UTF-16 string, n units  string in UTF-8; a lone surrogate is
//                              kStatusBadCharacter
//   8n UID, An array, Cn set   UID and set refused (kStatusTypeNotSupported)
//   Dn dictionary              n key references, then n value references;
//                              keys must be strings
// A count nibble of F means the count follows as an integer object.
//
// Refusals: a file that is not laid out as above, an offset or reference
// outside its range, an object that refers to itself through any chain
// (kStatusMalformed); a count whose content cannot fit before the offset
// table, or a tree that expands far beyond the file through shared objects
// (kStatusBadSize); nesting deeper than the XML reader's limit
// (kStatusMalformed).
#include <cmath>
#include <cstring>

#include "QxLArray.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLPropertyList.h"
#include "QxLString.h"

namespace {

constexpr int kMaxNesting = 512;  // the XML reader's limit
constexpr size_t kHeaderLength = 8;
constexpr size_t kTrailerLength = 32;
// Objects may be shared, so a small file can describe a huge tree. A tree may
// have at most this many objects per byte of the file (a plain tree has fewer
// than one per byte), and never more than the absolute cap.
constexpr uint64_t kMaxObjectsPerByte = 4;
constexpr uint64_t kMaxObjects = uint64_t(1) << 22;
// Seconds between 1970-01-01 and 2001-01-01.
constexpr int64_t kReferenceEpoch = 978307200;

uint64_t ReadBig(const uint8_t* p, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; i++) value = (value << 8) | p[i];
    return value;
}

struct Reader {
    const uint8_t* bytes;
    size_t objectsEnd;       // the offset table's start: objects lie before it
    const uint8_t* offsets;  // the offset table
    unsigned offsetWidth;
    unsigned referenceWidth;
    uint64_t objectCount;
    uint8_t* onPath;         // one bit per object: being converted right now
    uint64_t budget;         // objects this tree may still create
    int depth;
};

// The file offset of object `reference`, checked to lie in the object area.
QxStatus ObjectOffset(const Reader& reader, uint64_t reference, size_t* offset) {
    if (reference >= reader.objectCount) return kStatusMalformed;
    uint64_t value = ReadBig(reader.offsets + reference * reader.offsetWidth, reader.offsetWidth);
    if (value < kHeaderLength || value >= reader.objectsEnd) return kStatusMalformed;
    *offset = static_cast<size_t>(value);
    return kStatusOK;
}

// The integer object at `offset` (used for counts and values). Widths 1, 2
// and 4 are unsigned, 8 and 16 two's complement; a 16-byte value must fit
// in 64 bits.
QxStatus ReadInteger(const Reader& reader, size_t offset, int64_t* value, size_t* end) {
    uint8_t marker = reader.bytes[offset];
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 4) return kStatusMalformed;
    size_t width = size_t(1) << (marker & 0x0F);
    if (width > reader.objectsEnd - offset - 1) return kStatusMalformed;
    const uint8_t* p = reader.bytes + offset + 1;
    if (width == 16) {
        uint64_t high = ReadBig(p, 8);
        uint64_t low = ReadBig(p + 8, 8);
        bool negative = (low >> 63) != 0;
        if (high != (negative ? ~uint64_t(0) : 0)) return kStatusOutOfRange;
        *value = static_cast<int64_t>(low);
    } else {
        *value = static_cast<int64_t>(ReadBig(p, static_cast<unsigned>(width)));
    }
    *end = offset + 1 + width;
    return kStatusOK;
}

// The count of the object at `offset` and where its content starts; the
// content of count * unit bytes must lie before the offset table.
QxStatus ReadCount(const Reader& reader, size_t offset, size_t unit, uint64_t* count,
                   size_t* content) {
    uint8_t nibble = reader.bytes[offset] & 0x0F;
    size_t start = offset + 1;
    uint64_t value = nibble;
    if (nibble == 0x0F) {
        if (start >= reader.objectsEnd) return kStatusMalformed;
        int64_t declared = 0;
        QxStatus status = ReadInteger(reader, start, &declared, &start);
        if (status != kStatusOK) return status == kStatusOutOfRange ? kStatusBadSize : status;
        if (declared < 0) return kStatusBadSize;
        value = static_cast<uint64_t>(declared);
    }
    uint64_t room = reader.objectsEnd - start;
    if (value > room / unit) return kStatusBadSize;
    *count = value;
    *content = start;
    return kStatusOK;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, int32_t* month, int32_t* day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int32_t>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = static_cast<int32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// The XML reader's dates have a year of digits only; the same range here.
QxStatus MakeDate(double seconds, QxLObjectRef* result) {
    // Years 0..9999 lie well within this.
    if (!std::isfinite(seconds) || seconds < -7e10 || seconds > 3e11) return kStatusBadDate;
    int64_t whole = static_cast<int64_t>(std::floor(seconds)) + kReferenceEpoch;
    int64_t days = whole >= 0 ? whole / 86400 : (whole - 86399) / 86400;
    int64_t secondOfDay = whole - days * 86400;
    int64_t year = 0;
    QxLDateFields fields{};
    CivilFromDays(days, &year, &fields.month, &fields.day);
    if (year < 0 || year > 9999) return kStatusBadDate;
    fields.year = static_cast<int32_t>(year);
    fields.hour = static_cast<int32_t>(secondOfDay / 3600);
    fields.minute = static_cast<int32_t>(secondOfDay / 60 % 60);
    fields.second = static_cast<int32_t>(secondOfDay % 60);
    return QxLDateCreate(&fields, result);
}

// UTF-16 big-endian code units to UTF-8.
QxStatus MakeStringFromUTF16(const uint8_t* units, uint64_t count, QxLObjectRef* result) {
    if (count > INT32_MAX / 3) return kStatusBadSize;
    // A unit gives at most three bytes; a pair (two units) gives four.
    auto* text = static_cast<char*>(QxLAlloc(count * 3 + 1));
    if (text == nullptr) return kStatusNoMemory;
    size_t length = 0;
    QxStatus status = kStatusOK;
    for (uint64_t i = 0; i < count; i++) {
        uint32_t c = static_cast<uint32_t>(ReadBig(units + i * 2, 2));
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = i + 1 < count ? static_cast<uint32_t>(ReadBig(units + i * 2 + 2, 2)) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                status = kStatusBadCharacter;
                break;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            status = kStatusBadCharacter;
            break;
        }
        if (c < 0x80) {
            text[length++] = static_cast<char>(c);
        } else if (c < 0x800) {
            text[length++] = static_cast<char>(0xC0 | (c >> 6));
            text[length++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text[length++] = static_cast<char>(0xE0 | (c >> 12));
            text[length++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text[length++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text[length++] = static_cast<char>(0xF0 | (c >> 18));
            text[length++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text[length++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text[length++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (status == kStatusOK) status = QxLStringCreate(text, static_cast<int32_t>(length), result);
    QxLFree(text);
    return status;
}

QxStatus Convert(Reader* reader, uint64_t reference, QxLObjectRef* result);

// The `index`th reference in a list of references starting at `start`.
uint64_t ReferenceAt(const Reader& reader, size_t start, uint64_t index) {
    return ReadBig(reader.bytes + start + index * reader.referenceWidth, reader.referenceWidth);
}

QxStatus ConvertArray(Reader* reader, size_t references, uint64_t count, QxLObjectRef* result) {
    QxLArrayRef array = nullptr;
    QxStatus status = QxLArrayCreate(&array);
    for (uint64_t i = 0; status == kStatusOK && i < count; i++) {
        QxLObjectRef value = nullptr;
        status = Convert(reader, ReferenceAt(*reader, references, i), &value);
        if (status == kStatusOK) {
            status = QxLArrayAppend(array, value);
            QxLObjectRelease(value);
        }
    }
    if (status != kStatusOK) {
        QxLObjectRelease(array);
        return status;
    }
    *result = array;
    return kStatusOK;
}

QxStatus ConvertDictionary(Reader* reader, size_t references, uint64_t count,
                           QxLObjectRef* result) {
    QxLDictionaryRef dictionary = nullptr;
    QxStatus status =
        QxLDictionaryCreate(&kQxLObjectKeyCallbacks, &kQxLObjectValueCallbacks, &dictionary);
    for (uint64_t i = 0; status == kStatusOK && i < count; i++) {
        QxLObjectRef key = nullptr;
        status = Convert(reader, ReferenceAt(*reader, references, i), &key);
        if (status != kStatusOK) break;
        if (!QxLObjectIsType(key, kQxLTypeString)) {
            QxLObjectRelease(key);
            status = kStatusMalformed;
            break;
        }
        QxLObjectRef value = nullptr;
        status = Convert(reader, ReferenceAt(*reader, references, count + i), &value);
        if (status == kStatusOK) {
            status = QxLDictionarySetValue(dictionary, key, value);
            QxLObjectRelease(value);
        }
        QxLObjectRelease(key);
    }
    if (status != kStatusOK) {
        QxLObjectRelease(dictionary);
        return status;
    }
    *result = dictionary;
    return kStatusOK;
}

// The object itself, its offset already checked; containers recurse.
QxStatus ConvertAt(Reader* reader, size_t offset, QxLObjectRef* result) {
    const uint8_t marker = reader->bytes[offset];
    const uint8_t kind = marker >> 4;
    const uint8_t nibble = marker & 0x0F;
    uint64_t count = 0;
    size_t content = 0;
    QxStatus status = kStatusOK;
    switch (kind) {
    case 0x0:
        if (marker == 0x08 || marker == 0x09) {
            *result = QxLBooleanFor(marker == 0x09);
            return kStatusOK;
        }
        return kStatusMalformed;
    case 0x1: {
        int64_t value = 0;
        size_t end = 0;
        status = ReadInteger(*reader, offset, &value, &end);
        if (status != kStatusOK) return status;
        return QxLNumberCreate(value, result);
    }
    case 0x2:
        if (nibble != 2 && nibble != 3) return kStatusMalformed;
        if ((size_t(1) << nibble) > reader->objectsEnd - offset - 1) return kStatusMalformed;
        return kStatusTypeNotSupported;
    case 0x3: {
        if (marker != 0x33 || 8 > reader->objectsEnd - offset - 1) return kStatusMalformed;
        uint64_t bits = ReadBig(reader->bytes + offset + 1, 8);
        double seconds = 0;
        std::memcpy(&seconds, &bits, sizeof seconds);
        return MakeDate(seconds, result);
    }
    case 0x4:
        status = ReadCount(*reader, offset, 1, &count, &content);
        if (status != kStatusOK) return status;
        if (count > INT32_MAX) return kStatusBadSize;
        return QxLDataCreate(reader->bytes + content, static_cast<int32_t>(count), result);
    case 0x5:
        status = ReadCount(*reader, offset, 1, &count, &content);
        if (status != kStatusOK) return status;
        if (count > INT32_MAX) return kStatusBadSize;
        for (uint64_t i = 0; i < count; i++) {
            if (reader->bytes[content + i] > 0x7F) return kStatusBadCharacter;
        }
        return QxLStringCreate(reinterpret_cast<const char*>(reader->bytes + content),
                               static_cast<int32_t>(count), result);
    case 0x6:
        status = ReadCount(*reader, offset, 2, &count, &content);
        if (status != kStatusOK) return status;
        return MakeStringFromUTF16(reader->bytes + content, count, result);
    case 0x8:
    case 0xC:
        return kStatusTypeNotSupported;
    case 0xA:
        status = ReadCount(*reader, offset, reader->referenceWidth, &count, &content);
        if (status != kStatusOK) return status;
        return ConvertArray(reader, content, count, result);
    case 0xD:
        // Keys and values: two references per entry.
        status = ReadCount(*reader, offset, 2 * size_t(reader->referenceWidth), &count, &content);
        if (status != kStatusOK) return status;
        return ConvertDictionary(reader, content, count, result);
    default:
        return kStatusMalformed;
    }
}

QxStatus Convert(Reader* reader, uint64_t reference, QxLObjectRef* result) {
    size_t offset = 0;
    QxStatus status = ObjectOffset(*reader, reference, &offset);
    if (status != kStatusOK) return status;
    uint8_t& pathByte = reader->onPath[reference / 8];
    const uint8_t pathBit = static_cast<uint8_t>(1u << (reference % 8));
    if ((pathByte & pathBit) != 0) return kStatusMalformed;  // refers to itself
    if (reader->depth >= kMaxNesting) return kStatusMalformed;
    if (reader->budget == 0) return kStatusBadSize;
    reader->budget--;
    pathByte |= pathBit;
    reader->depth++;
    status = ConvertAt(reader, offset, result);
    reader->depth--;
    pathByte &= static_cast<uint8_t>(~pathBit);
    return status;
}

}  // namespace

bool QxLPropertyListIsBinary(const void* bytes, int32_t length) {
    return bytes != nullptr && length >= 6 && std::memcmp(bytes, "bplist", 6) == 0;
}

QxStatus QxLPropertyListReadBinary(const void* bytes, int32_t length, QxLObjectRef* object) {
    if (bytes == nullptr || object == nullptr || length < 0) return kStatusBadParameter;
    const auto* data = static_cast<const uint8_t*>(bytes);
    const size_t size = static_cast<size_t>(length);
    if (size < 6 || std::memcmp(data, "bplist", 6) != 0) return kStatusBadSignature;
    if (size < kHeaderLength || std::memcmp(data + 6, "00", 2) != 0) return kStatusUnsupported;
    if (size < kHeaderLength + kTrailerLength + 1) return kStatusMalformed;

    const uint8_t* trailer = data + size - kTrailerLength;
    Reader reader{};
    reader.bytes = data;
    reader.offsetWidth = trailer[6];
    reader.referenceWidth = trailer[7];
    reader.objectCount = ReadBig(trailer + 8, 8);
    const uint64_t top = ReadBig(trailer + 16, 8);
    const uint64_t tableOffset = ReadBig(trailer + 24, 8);
    const uint64_t tableEnd = size - kTrailerLength;
    if (reader.offsetWidth < 1 || reader.offsetWidth > 8 || reader.referenceWidth < 1 ||
        reader.referenceWidth > 8) {
        return kStatusMalformed;
    }
    // At least one object byte before the table; the table ends at the trailer.
    if (tableOffset <= kHeaderLength || tableOffset > tableEnd) return kStatusMalformed;
    if (reader.objectCount == 0 || reader.objectCount > (tableEnd - tableOffset) / reader.offsetWidth) {
        return kStatusMalformed;
    }
    if (top >= reader.objectCount) return kStatusMalformed;
    reader.objectsEnd = static_cast<size_t>(tableOffset);
    reader.offsets = data + tableOffset;
    reader.budget = size * kMaxObjectsPerByte < kMaxObjects ? size * kMaxObjectsPerByte : kMaxObjects;
    reader.onPath = static_cast<uint8_t*>(QxLAllocZeroed(reader.objectCount / 8 + 1));
    if (reader.onPath == nullptr) return kStatusNoMemory;

    QxLObjectRef result = nullptr;
    QxStatus status = Convert(&reader, top, &result);
    QxLFree(reader.onPath);
    if (status != kStatusOK) return status;
    *object = result;
    return kStatusOK;
}
