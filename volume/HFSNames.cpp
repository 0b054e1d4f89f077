// HFS+ name conversion and name order.
//
// UTF-8 -> UTF-16 validates strictly (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF), optionally decomposes every character
// the way HFS+ stores names and orders combining marks by class. UTF-16 ->
// UTF-8 writes the units as stored and never recomposes. The name orders are
// the two catalog key orders of HFS+.
//
// Every write is bounded by the caller's output size: a character is written
// whole or not at all, so a full buffer ends on a character boundary. Input
// is never read beyond the length given (or beyond a NUL byte in UTF-8).
#include "HFSNames.h"

#include "HFSNamesInternal.h"

namespace {

using namespace hfsnames;

constexpr uint32_t kSupportedOptions = kHfsNameReverseByteOrder | kHfsNameDecompose | kHfsNameEscapeIllegal;

// Continuation bytes by lead byte / 8; -1 marks a byte that cannot lead.
//   0x00-0x7F: 0   0x80-0xBF: -1   0xC0-0xDF: 1   0xE0-0xEF: 2
//   0xF0-0xF7: 3   0xF8-0xFF: -1
constexpr int8_t kUtf8Lead[32] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
    -1, -1, -1, -1, -1, -1, -1, -1, 1,  1,  1,  1,  2,  2,  3,  -1,
};

constexpr uint32_t kHangulFirst = 0xAC00;
constexpr uint32_t kHangulLast = 0xD7A3;
constexpr uint16_t kControlPictureNul = 0x2400;  // stands for U+0000 in UTF-8 names

// A full decomposition is at most 4 units (Hangul 3, the table's deepest
// chain 4); room for more keeps the bound obvious.
constexpr size_t kMaxCharacterUnits = 8;
constexpr int kMaxDecompositionDepth = 6;

bool IsHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool InSet(const uint8_t* pages, const uint8_t (*bitmaps)[32], size_t bitmapCount, uint16_t unit) {
    uint8_t page = pages[unit >> 8];
    if (page == kSetPageNone) return false;
    if (page == kSetPageAll) return true;
    if (page > bitmapCount) return false;
    return ((bitmaps[page - 1][(unit & 0xFF) >> 3] >> (unit & 7)) & 1) != 0;
}

const DecompositionEntry* FindDecomposition(uint16_t character) {
    size_t lo = 0;
    size_t hi = kDecompositionCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (kDecompositions[mid].character < character) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo < kDecompositionCount && kDecompositions[lo].character == character) return &kDecompositions[lo];
    return nullptr;
}

struct UnitBuffer {
    uint16_t units[kMaxCharacterUnits];
    size_t count = 0;

    bool Add(uint16_t unit) {
        if (count == kMaxCharacterUnits) return false;
        units[count++] = unit;
        return true;
    }
};

// Appends the full canonical decomposition of `character` (itself when it
// has none). The first unit of a table sequence is expanded again when the
// entry says so; the rest of the sequence never decomposes.
bool AppendDecomposed(uint16_t character, int depth, UnitBuffer* out) {
    if (character >= kHangulFirst && character <= kHangulLast) {
        uint32_t s = character - kHangulFirst;
        bool ok = out->Add(static_cast<uint16_t>(0x1100 + s / 588)) &&
                  out->Add(static_cast<uint16_t>(0x1161 + (s % 588) / 28));
        if (ok && s % 28 != 0) ok = out->Add(static_cast<uint16_t>(0x11A7 + s % 28));
        return ok;
    }
    const DecompositionEntry* entry = depth < kMaxDecompositionDepth ? FindDecomposition(character) : nullptr;
    if (entry == nullptr) return out->Add(character);

    uint16_t value = entry->info & kDecompositionValueMask;
    size_t length = (entry->info >> kDecompositionLengthShift) & kDecompositionLengthMask;
    const uint16_t* sequence = &value;
    if (length != 1) {
        if (length == 0 || value > kSequencePoolCount || length > kSequencePoolCount - value) return false;
        sequence = &kSequencePool[value];
    }
    size_t i = 0;
    if ((entry->info & kDecompositionFurther) != 0) {
        if (!AppendDecomposed(sequence[0], depth + 1, out)) return false;
        i = 1;
    }
    for (; i < length; ++i) {
        if (!out->Add(sequence[i])) return false;
    }
    return true;
}

// Decodes one UTF-8 sequence at p (left > 0 bytes available, p[0] not NUL).
// Returns the bytes it takes, or 0 when it is invalid.
size_t DecodeUtf8(const uint8_t* p, size_t left, uint32_t* codePoint) {
    int extra = kUtf8Lead[p[0] >> 3];
    if (extra == 0) {
        *codePoint = p[0];
        return 1;
    }
    if (extra < 0 || static_cast<size_t>(extra) >= left) return 0;
    static constexpr uint8_t kLeadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    uint32_t value = p[0] & kLeadMask[extra];
    for (int i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    switch (extra) {
    case 1:
        if (value <= 0x7F) return 0;
        break;
    case 2:
        if (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF) || value == 0xFFFE || value == 0xFFFF) return 0;
        break;
    default:
        if (value < 0x10000 || value > 0x10FFFF) return 0;
        break;
    }
    *codePoint = value;
    return static_cast<size_t>(extra) + 1;
}

// Output of Utf8ToHfsName with the combining-mark ordering. Marks are
// inserted into place as they arrive, which gives the same result as
// sorting each finished run by stable adjacent swaps.
struct HfsNameWriter {
    uint16_t* output;
    size_t capacity;
    size_t count;
    bool orderMarks;

    void Put(uint16_t unit) {
        size_t at = count;
        if (orderMarks && HfsIsCombiningMark(unit)) {
            uint8_t unitClass = HfsCombiningClass(unit);
            while (at > 0 && HfsIsCombiningMark(output[at - 1]) && HfsCombiningClass(output[at - 1]) > unitClass) {
                --at;
            }
            for (size_t i = count; i > at; --i) output[i] = output[i - 1];
        }
        output[at] = unit;
        ++count;
    }

    // Writes the units of one character whole, or nothing.
    bool PutCharacter(const UnitBuffer& character) {
        if (character.count > capacity - count) return false;
        for (size_t i = 0; i < character.count; ++i) Put(character.units[i]);
        return true;
    }
};

char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0xF]; }

size_t EncodeUtf8(uint32_t codePoint, uint8_t* bytes) {
    if (codePoint < 0x80) {
        bytes[0] = static_cast<uint8_t>(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        bytes[0] = static_cast<uint8_t>(0xC0 | (codePoint >> 6));
        bytes[1] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        bytes[0] = static_cast<uint8_t>(0xE0 | (codePoint >> 12));
        bytes[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
        bytes[2] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<uint8_t>(0xF0 | (codePoint >> 18));
    bytes[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 12) & 0x3F));
    bytes[2] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[3] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
    return 4;
}

}  // namespace

QxStatus Utf8ToHfsName(uint32_t options, const char* input, size_t inputLength, uint16_t* output,
                       size_t outputSize, size_t* outputLength) {
    HfsNameWriter writer{output, outputSize / 2, 0, (options & kHfsNameDecompose) != 0};
    QxStatus status = kStatusOK;
    if ((options & ~kSupportedOptions) != 0 || (input == nullptr && inputLength != 0) ||
        (output == nullptr && writer.capacity != 0)) {
        status = kHfsNameInvalid;
        inputLength = 0;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(input);
    size_t left = inputLength;
    while (left > 0 && *p != 0) {
        UnitBuffer character;
        uint32_t codePoint = 0;
        size_t taken = DecodeUtf8(p, left, &codePoint);
        if (taken == 0) {
            if ((options & kHfsNameEscapeIllegal) == 0) {
                status = kHfsNameInvalid;
                break;
            }
            character.Add('%');
            character.Add(static_cast<uint16_t>(HexDigit(p[0] >> 4)));
            character.Add(static_cast<uint16_t>(HexDigit(p[0])));
            taken = 1;
        } else if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            character.Add(static_cast<uint16_t>(0xD800 + (codePoint >> 10)));
            character.Add(static_cast<uint16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else if (codePoint == kControlPictureNul) {
            character.Add(0);
        } else if (writer.orderMarks && HfsIsDecomposable(static_cast<uint16_t>(codePoint))) {
            if (!AppendDecomposed(static_cast<uint16_t>(codePoint), 0, &character)) {
                status = kHfsNameInvalid;  // only a damaged table gets here
                break;
            }
        } else {
            character.Add(static_cast<uint16_t>(codePoint));
        }
        if (!writer.PutCharacter(character)) {
            status = kHfsNameOutputFull;
            break;
        }
        p += taken;
        left -= taken;
    }
    if ((options & kHfsNameReverseByteOrder) != 0) {
        for (size_t i = 0; i < writer.count; ++i) {
            output[i] = static_cast<uint16_t>((output[i] >> 8) | (output[i] << 8));
        }
    }
    if (outputLength != nullptr) *outputLength = writer.count * 2;
    return status;
}

QxStatus HfsNameToUtf8(const uint16_t* units, size_t unitCount, char* output, size_t outputSize,
                       size_t* outputLength) {
    size_t written = 0;
    QxStatus status = kStatusOK;
    if (output == nullptr || outputSize == 0) {
        status = output == nullptr && outputSize != 0 ? kHfsNameInvalid : kHfsNameOutputFull;
        unitCount = 0;
    } else if (units == nullptr && unitCount != 0) {
        status = kHfsNameInvalid;
        unitCount = 0;
    }
    for (size_t i = 0; i < unitCount; ++i) {
        uint32_t codePoint = units[i];
        if (codePoint == 0xFFFE || codePoint == 0xFFFF) {
            status = kHfsNameInvalid;
            break;
        }
        size_t pairLength = 1;
        if (codePoint == 0) {
            codePoint = kControlPictureNul;
        } else if (IsHighSurrogate(codePoint) && i + 1 < unitCount && IsLowSurrogate(units[i + 1])) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            pairLength = 2;
        }
        uint8_t bytes[4];
        size_t length = EncodeUtf8(codePoint, bytes);
        if (length > outputSize - 1 - written) {  // the last byte is kept for the NUL
            status = kHfsNameOutputFull;
            break;
        }
        for (size_t b = 0; b < length; ++b) output[written++] = static_cast<char>(bytes[b]);
        i += pairLength - 1;
    }
    if (output != nullptr && outputSize != 0) output[written] = '\0';
    if (outputLength != nullptr) *outputLength = written;
    return status;
}

uint16_t HfsFoldUnit(uint16_t unit) {
    if (unit < 0x100) return kFoldLatin[unit];
    uint8_t page = kFoldPages[unit >> 8];
    if (page == 0 || page > kFoldTableCount) return unit;
    return kFoldTables[page - 1][unit & 0xFF];
}

// Names end in 0 and units fold to non-zero values (U+0000 to 0xFFFF), so
// "both ran out" is the only way two zeros meet, and a name that runs out
// first compares below any remaining unit.
int HfsNameCompare(const uint16_t* a, size_t aCount, const uint16_t* b, size_t bCount) {
    size_t i = 0;
    size_t j = 0;
    for (;;) {
        uint16_t ca = 0;
        while (ca == 0 && i < aCount) ca = HfsFoldUnit(a[i++]);
        uint16_t cb = 0;
        while (cb == 0 && j < bCount) cb = HfsFoldUnit(b[j++]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

int HfsNameCompareBinary(const uint16_t* a, size_t aCount, const uint16_t* b, size_t bCount) {
    size_t common = aCount < bCount ? aCount : bCount;
    for (size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    }
    if (aCount == bCount) return 0;
    return aCount < bCount ? -1 : 1;
}

uint8_t HfsCombiningClass(uint16_t unit) {
    uint8_t page = kClassPages[unit >> 8];
    if (page == 0 || page > kClassTableCount) return 0;
    return kClassTables[page - 1][unit & 0xFF];
}

bool HfsIsCombiningMark(uint16_t unit) {
    return InSet(kCombiningPages, kCombiningBitmaps, kCombiningBitmapCount, unit);
}

bool HfsIsDecomposable(uint16_t unit) {
    return InSet(kDecomposablePages, kDecomposableBitmaps, kDecomposableBitmapCount, unit);
}
