// HFS+ file names: UTF-8 <-> UTF-16 conversion and the case-insensitive
// name order of HFS+ catalogs.
//
// HFS+ stores names as UTF-16 in canonically decomposed form (base letter
// plus combining marks, Hangul syllables as conjoining jamo). Paths reach the
// reader as UTF-8, so lookups convert with kHfsNameDecompose; names coming
// back from the volume are converted to UTF-8 as they are stored, without
// recomposition. The decomposition, combining-class and case-folding data
// are generated from the Unicode 4.0 character database
// (tools/gen-hfs-name-tables.py -> HFSNameTables.cpp).
//
// Not provided: recomposition (precompose) and the mapping of characters
// that are illegal in Windows names; the volume reader needs neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QxLStatus.h"

// Options of Utf8ToHfsName (bit flags; the reader passes kHfsNameDecompose).
//   0x01  write the UTF-16 units byte-swapped
//   0x04  decompose canonically and put runs of combining marks in order
//   0x10  write an invalid byte as "%XX" (upper-case hex) instead of failing
// Any other bit (0x08 precompose and 0x20 special mapping included) is not
// supported and makes the conversion fail with kHfsNameInvalid.
inline constexpr uint32_t kHfsNameReverseByteOrder = 0x01;
inline constexpr uint32_t kHfsNameDecompose = 0x04;
inline constexpr uint32_t kHfsNameEscapeIllegal = 0x10;

// Results of the two conversions besides 0 (system error numbers, positive).
inline constexpr QxStatus kHfsNameInvalid = 22;     // invalid input
inline constexpr QxStatus kHfsNameOutputFull = 38;  // output buffer too small

// Converts UTF-8 to UTF-16 units (host order unless kHfsNameReverseByteOrder).
// Reads at most inputLength bytes and stops earlier at a NUL byte; input may
// be null only when inputLength is 0. U+2400 is stored as U+0000 (the inverse
// of HfsNameToUtf8). Writes at most outputSize / 2 units and never
// terminates them. *outputLength (bytes; may be null) is set on every return
// and counts what was written: on kHfsNameOutputFull the output holds the
// characters that fit whole, on kHfsNameInvalid those before the bad byte.
QxStatus Utf8ToHfsName(uint32_t options, const char* input, size_t inputLength,
                       uint16_t* output, size_t outputSize, size_t* outputLength);

// Converts UTF-16 units (host order) to UTF-8 as stored: no recomposition;
// U+0000 becomes U+2400, a lone surrogate is written as the three-byte form
// of its own value; U+FFFE and U+FFFF fail with kHfsNameInvalid. The output
// is always NUL-terminated when outputSize > 0, also on failure (after what
// was written); a sequence that does not fit before the terminator fails
// with kHfsNameOutputFull, and outputSize 0 always does. *outputLength
// (bytes before the NUL; may be null) is set on every return.
QxStatus HfsNameToUtf8(const uint16_t* units, size_t unitCount, char* output,
                       size_t outputSize, size_t* outputLength);

// The HFS+ case folding of one unit: the published HFS+ table (lower case
// for the letters of Unicode 1.1 without decomposition, a few exceptions).
// Returns 0 for the ignorable units (U+200C-U+200F, U+202A-U+202E,
// U+206A-U+206F, U+FEFF) and 0xFFFF for U+0000.
uint16_t HfsFoldUnit(uint16_t unit);

// Case-insensitive HFS+ name order (catalogs with any keyCompareType but
// 0xBC). Units are folded with HfsFoldUnit, units that fold to 0 are
// skipped, and the rest compared as unsigned values; when one name runs out
// first it is the smaller. Returns -1, 0 or 1. Names are host-order units;
// either pointer may be null when its count is 0.
int HfsNameCompare(const uint16_t* a, size_t aCount, const uint16_t* b, size_t bCount);

// Binary HFS+ name order (keyCompareType 0xBC): the difference of the first
// unequal units as unsigned 16-bit values, else -1, 0 or 1 by length.
int HfsNameCompareBinary(const uint16_t* a, size_t aCount, const uint16_t* b,
                         size_t bCount);

// Canonical combining class (Unicode 4.0; 0 for characters assigned later).
uint8_t HfsCombiningClass(uint16_t unit);
// True for the 672 units that attach to the character before them (and are
// put in order by kHfsNameDecompose).
bool HfsIsCombiningMark(uint16_t unit);
// True for characters that kHfsNameDecompose replaces: those of the
// decomposition table and the Hangul syllables U+AC00-U+D7A3.
bool HfsIsDecomposable(uint16_t unit);
