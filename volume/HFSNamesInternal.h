// The Unicode tables behind HFSNames.cpp. The data lives in HFSNameTables.cpp,
// which tools/gen-hfs-name-tables.py writes from the Unicode 4.0 character
// data; this header is the contract between the two.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hfsnames {

// Sets of BMP units (decomposable, combining): a page index by high byte,
// 0 = no unit of the page, 255 = every unit of the page, k = bitmap k - 1;
// bitmap bit (low & 7) of byte (low >> 3) marks unit (high << 8) | low.
inline constexpr uint8_t kSetPageNone = 0;
inline constexpr uint8_t kSetPageAll = 255;

// Decomposition entry `info` layout:
//   bits 0-11   length 1: the replacement character; length 2: pool index
//   bits 12-14  length of the decomposition
//   bit  15     the first character of the decomposition decomposes further
struct DecompositionEntry {
    uint16_t character;
    uint16_t info;
};
inline constexpr uint16_t kDecompositionValueMask = 0x0FFF;
inline constexpr unsigned kDecompositionLengthShift = 12;
inline constexpr uint16_t kDecompositionLengthMask = 0x7;
inline constexpr uint16_t kDecompositionFurther = 0x8000;

// Canonical decompositions of U+00C0..U+FB4E (not U+2000-U+2FFF, U+F900-U+FAFF
// or the Hangul syllables), sorted by character.
extern const DecompositionEntry kDecompositions[];
extern const size_t kDecompositionCount;
extern const uint16_t kSequencePool[];
extern const size_t kSequencePoolCount;

extern const uint8_t kDecomposablePages[256];
extern const uint8_t kDecomposableBitmaps[][32];
extern const size_t kDecomposableBitmapCount;

extern const uint8_t kCombiningPages[256];
extern const uint8_t kCombiningBitmaps[][32];
extern const size_t kCombiningBitmapCount;

// Combining classes: page index by high byte (0 = every class 0, k = page k - 1).
extern const uint8_t kClassPages[256];
extern const uint8_t kClassTables[][256];
extern const size_t kClassTableCount;

// Case folding: units below 0x100 through kFoldLatin; others through the page
// index by high byte (0 = unit unchanged, k = sub-table k - 1).
extern const uint16_t kFoldLatin[256];
extern const uint8_t kFoldPages[256];
extern const uint16_t kFoldTables[][256];
extern const size_t kFoldTableCount;

}  // namespace hfsnames
