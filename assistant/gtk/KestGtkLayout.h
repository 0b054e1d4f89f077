// The wizard's layout as data, for a front end that builds its windows in
// code: the dialogs, controls and strings of the one layout that the
// Windows resources are also made from (generated into KestLayoutTable.inc
// by tools/gen-kest-resources.py --table), with their texts in English;
// KestTranslate gives a text in the user's language from the catalogs.
//
// Rectangles are in dialog units, as in the layout; the GTK front end uses
// them for widths and minimum heights and keeps the layout's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum KestControlKind {
    kKestControlLabel,
    kKestControlButton,
    kKestControlCheckBox,
    kKestControlRadioButton,
    kKestControlPicture,
    kKestControlList,
    kKestControlProgress,
};

struct KestLayoutControl {
    KestControlKind kind;
    int id;            // -1: a text nobody addresses
    const char* text;  // English; "" for none
    int x, y, width, height;
    bool startsGroup;  // a radio button that starts a new group
};

struct KestLayoutDialog {
    int id;
    const char* caption;
    int width, height;
    const KestLayoutControl* controls;
    size_t count;
};

struct KestLayoutString {
    int id;
    const char* text;
};

// The dialog or string with the id; null when the layout has none.
const KestLayoutDialog* KestFindDialog(int dialogId);
const char* KestFindString(int stringId);

// Chooses the catalogs' language from the user's locale (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG) and binds them; call once, before any window exists.
// localeDirectory null: the build's catalogs when the program runs from the
// build, else the installed ones.
void KestSetUpLanguage(const char* localeDirectory = nullptr);

// The text in the user's language (English when the catalog has none).
std::string KestTranslate(const char* english);

// A format's first "%s" (or "%d") replaced by the argument; every other
// conversion stays as written. Translated formats never reach printf.
std::string KestFormatText(const std::string& format, const std::string& text);
std::string KestFormatNumber(const std::string& format, int32_t number);
