// Small helpers of the Windows wizard: string-table texts into controls,
// bold titles, the progress bar's two modes, UTF-8 <-> UTF-16 at the window
// boundary, and placing the page container.
//
// Every function that addresses a child by id does nothing when the child is
// missing. Not here: anything that decides what a page shows (that is the
// shared wizard logic in assistant/).
#pragma once

#include <windows.h>

#include <string>

#include "QxLString.h"

// The string stringId of the program's string table in the thread's
// language ("" when there is none).
std::wstring loadString(UINT stringId);

// Loads string stringId and sets it as the text of child itemId.
void setItemText(HWND window, int itemId, UINT stringId);

// Loads string stringId and formats it with the wide-character printf rules
// ("%s" takes a const wchar_t*, "%d" an int).
std::wstring formatString(UINT stringId, ...);

// Makes child itemId bold: its current font with weight 700, created into
// *font (which the caller owns and frees with DeleteObject, after any
// previous font there was freed here), applied with redraw.
void makeBold(HWND window, HFONT* font, int itemId);

// The progress bar's indeterminate mode on or off (style bit and message).
void setMarquee(HWND progressBar, bool on);
// Range 0..100.
void setPercentRange(HWND progressBar);
void setPosition(HWND progressBar, int position);

// UTF-8 of the foundation to a window text. Empty input: empty output and 0.
// kStatusNoMemory, kStatusBadFormatSpec when the result cannot be stored, or
// the converter's status for invalid UTF-8.
QxStatus utf8ToText(const char* utf8, std::wstring* out);

// A window text to a new foundation string (the caller owns one reference).
// Empty text: the constant empty string (retained) and 0. kStatusNoMemory;
// kStatusBadSize when the conversion yields no bytes.
QxStatus textToString(const std::wstring& text, QxLStringRef* out);

// Moves and sizes the page container `sheet` to `rect` (client coordinates
// of `dialog`) and resizes its tab control by the same change in width and
// height. kStatusNotFound when the container has no tab control (it has then
// been moved and sized, nothing more).
QxStatus placeSheet(HWND dialog, HWND sheet, const RECT& rect);
