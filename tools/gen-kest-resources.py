#!/usr/bin/env python3
"""Writes the wizard's resource script in every language from one layout.

    gen-kest-resources.py LAYOUT OUTPUT.rc [CATALOG.po ...] [--pot FILE.pot]
    gen-kest-resources.py LAYOUT --pot FILE.pot
    gen-kest-resources.py LAYOUT --table FILE.inc

LAYOUT is an .rc file whose readable texts are written _("English text") in
.rc string syntax ("" is a quotation mark, \\n a line break). OUTPUT.rc is
UTF-8 and starts with #pragma code_page(65001); it holds the layout once for
English (the texts as written) and once per gettext catalog, each after its
LANGUAGE statement. A catalog's file name is its locale (de.po, zh_TW.po,
pt_PT.po ...). An entry without translation, or marked fuzzy, is English.

--pot writes the catalog template: every distinct text once, with where it
is used, the "// Translators:" note written above it in the layout, and the
c-format flag for texts with printf conversions (objc-format for the
foundation's %@ conversions, "%1$@ (%2$@)"), so that msgfmt --check-format
checks that a translation keeps them and msgmerge keeps the flag.

--table writes the layout as C++ data for front ends that build their
windows in code (the GTK wizard): every dialog with its caption and size,
every control with its kind, id, English text and rectangle in dialog
units, and the string table. The texts stay English there; such a front end
translates them through the same catalogs at run time with gettext.

Not handled: plural forms and message contexts (the wizard has neither);
a catalog that has them is read for its plain entries only.
"""

import os
import re
import sys

# Locale (catalog file name) -> LANGUAGE statement arguments.
LANGUAGES = {
    "en_US": ("LANG_ENGLISH", "SUBLANG_ENGLISH_US"),        # 1033
    "zh_TW": ("LANG_CHINESE", "SUBLANG_CHINESE_TRADITIONAL"),  # 1028
    "da_DK": ("LANG_DANISH", "SUBLANG_DEFAULT"),      # 1030
    "de_DE": ("LANG_GERMAN", "SUBLANG_GERMAN"),              # 1031
    "fi_FI": ("LANG_FINNISH", "SUBLANG_DEFAULT"),    # 1035
    "fr_FR": ("LANG_FRENCH", "SUBLANG_FRENCH"),              # 1036
    "it_IT": ("LANG_ITALIAN", "SUBLANG_ITALIAN"),            # 1040
    "ja_JP": ("LANG_JAPANESE", "SUBLANG_DEFAULT"),    # 1041
    "ko_KR": ("LANG_KOREAN", "SUBLANG_KOREAN"),              # 1042
    "nl_NL": ("LANG_DUTCH", "SUBLANG_DUTCH"),                # 1043
    "nb_NO": ("LANG_NORWEGIAN", "SUBLANG_NORWEGIAN_BOKMAL"), # 1044
    "pl_PL": ("LANG_POLISH", "SUBLANG_DEFAULT"),       # 1045
    "ru_RU": ("LANG_RUSSIAN", "SUBLANG_DEFAULT"),     # 1049
    "sv_SE": ("LANG_SWEDISH", "SUBLANG_SWEDISH"),            # 1053
    "zh_CN": ("LANG_CHINESE", "SUBLANG_CHINESE_SIMPLIFIED"), # 2052
    "pt_PT": ("LANG_PORTUGUESE", "SUBLANG_PORTUGUESE"),      # 2070
    "es_ES": ("LANG_SPANISH", "SUBLANG_SPANISH_MODERN"),     # 3082
}
# Catalogs named by language alone; Chinese and Portuguese need the country.
ALIASES = {
    "en": "en_US", "da": "da_DK", "de": "de_DE", "fi": "fi_FI", "fr": "fr_FR",
    "it": "it_IT", "ja": "ja_JP", "ko": "ko_KR", "nl": "nl_NL", "nb": "nb_NO",
    "pl": "pl_PL", "ru": "ru_RU", "sv": "sv_SE", "es": "es_ES",
}

# _("...") with .rc string syntax inside: any character but a quotation
# mark, or a doubled one.
TEXT = re.compile(r'_\("((?:[^"]|"")*)"\)')
NOTE = re.compile(r'^\s*//\s?(.*)$')
C_FORMAT = re.compile(r'%(?:\d+\$)?[-+ #0]*(?:\d+|\*)?(?:\.\d+)?(?:hh|h|ll|l|I64|L)?[diouxXcsSeEfgGp]')
OBJC_FORMAT = re.compile(r'%(?:\d+\$)?@')


class Failure(Exception):
    pass


def rc_decode(body):
    """The text of an .rc string literal's body."""
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c == '"' and body.startswith('""', i):
            out.append('"')
            i += 2
        elif c == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            out.append({"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"'}.get(nxt, "\\" + nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def rc_encode(text):
    """An .rc string literal body for text (non-ASCII stays as it is)."""
    out = []
    for c in text:
        if c == '"':
            out.append('""')
        elif c == "\\":
            out.append("\\\\")
        elif c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif c == "\r":
            out.append("\\r")
        elif ord(c) < 0x20:
            out.append("\\%03o" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def po_unquote(literal, where):
    """The text of one C-style quoted string of a catalog."""
    if len(literal) < 2 or literal[0] != '"' or literal[-1] != '"':
        raise Failure("%s: expected a quoted string" % where)
    body = literal[1:-1]
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        if i + 1 >= len(body):
            raise Failure("%s: a backslash ends the string" % where)
        nxt = body[i + 1]
        simple = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "a": "\a",
                  "b": "\b", "f": "\f", "v": "\v", "'": "'", "?": "?"}
        if nxt in simple:
            out.append(simple[nxt])
            i += 2
        elif nxt in "01234567":
            digits = re.match(r"[0-7]{1,3}", body[i + 1:]).group(0)
            out.append(chr(int(digits, 8)))
            i += 1 + len(digits)
        elif nxt == "x":
            digits = re.match(r"[0-9a-fA-F]*", body[i + 2:]).group(0)
            if not digits:
                raise Failure("%s: \\x without digits" % where)
            out.append(chr(int(digits, 16)))
            i += 2 + len(digits)
        else:
            raise Failure("%s: unknown escape \\%s" % (where, nxt))
    return "".join(out)


def po_quote(text):
    out = text.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
    lines = out.split("\n")
    if len(lines) == 1:
        return '"%s"' % out
    # Long texts one line per paragraph piece, as gettext's tools write them.
    parts = [line + "\\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])
    return '""\n' + "\n".join('"%s"' % p for p in parts)


def read_catalog(path):
    """msgid -> msgstr of the translated, non-fuzzy entries of a .po file."""
    translations = {}
    entry = {}
    field = None
    fuzzy = False

    def finish():
        nonlocal entry, field, fuzzy
        msgid = entry.get("msgid")
        msgstr = entry.get("msgstr", entry.get("msgstr[0]"))
        if msgid and msgstr and not fuzzy and "msgctxt" not in entry:
            translations[msgid] = msgstr
        entry, field, fuzzy = {}, None, False

    with open(path, encoding="utf-8-sig") as catalog:
        for number, raw in enumerate(catalog, 1):
            where = "%s:%d" % (path, number)
            line = raw.strip()
            if not line:
                if entry:
                    finish()
                continue
            if line.startswith("#"):
                if field is not None and "msgstr" in entry:
                    finish()
                if line.startswith("#,") and "fuzzy" in [f.strip() for f in line[2:].split(",")]:
                    fuzzy = True
                continue
            match = re.match(r'^(msgctxt|msgid_plural|msgid|msgstr(?:\[\d+\])?)\s+(".*")$', line)
            if match:
                keyword = match.group(1)
                if keyword in ("msgid", "msgctxt") and ("msgstr" in entry or "msgstr[0]" in entry):
                    finish()
                field = keyword
                entry[field] = po_unquote(match.group(2), where)
            elif line.startswith('"') and field is not None:
                entry[field] += po_unquote(line, where)
            else:
                raise Failure("%s: cannot read this line" % where)
    if entry:
        finish()
    return translations


def locale_of(path):
    name = os.path.splitext(os.path.basename(path))[0]
    locale = ALIASES.get(name, name)
    if locale not in LANGUAGES:
        raise Failure("%s: unknown locale %r (known: %s)" % (path, name, ", ".join(sorted(LANGUAGES))))
    return locale


def translate_layout(layout, translations):
    def replace(match):
        english = rc_decode(match.group(1))
        return '"%s"' % rc_encode(translations.get(english, english))
    return TEXT.sub(replace, layout)


def write_rc(layout_path, layout, output, catalogs):
    blocks = [("en_US", {})]
    seen = {"en_US"}
    for path in catalogs:
        locale = locale_of(path)
        if locale in seen:
            raise Failure("%s: a second catalog for %s" % (path, locale))
        seen.add(locale)
        blocks.append((locale, read_catalog(path)))
    parts = ["#pragma code_page(65001)\n",
             "// Generated by tools/gen-kest-resources.py from %s; do not edit.\n"
             % os.path.basename(layout_path)]
    for locale, translations in blocks:
        language, sublanguage = LANGUAGES[locale]
        parts.append("\n// ---- %s ----\nLANGUAGE %s, %s\n\n" % (locale, language, sublanguage))
        parts.append(translate_layout(layout, translations))
    write_if_changed(output, "".join(parts))


def write_pot(layout_path, layout, output):
    entries = {}   # msgid -> (references, notes)
    order = []
    note = []
    pending = []
    for number, line in enumerate(layout.splitlines(), 1):
        comment = NOTE.match(line)
        if comment:
            text = comment.group(1)
            if text.startswith("Translators:"):
                note = [text[len("Translators:"):].strip()]
            elif note:
                note.append(text.strip())
            continue
        pending, note = note, []
        for match in TEXT.finditer(line):
            msgid = rc_decode(match.group(1))
            if msgid not in entries:
                entries[msgid] = ([], [])
                order.append(msgid)
            references, notes = entries[msgid]
            references.append("%s:%d" % (os.path.basename(layout_path), number))
            if pending and " ".join(pending) not in notes:
                notes.append(" ".join(pending))
        pending = []
    lines = [
        "# Texts of the Tamsor wizard.",
        "#, fuzzy",
        'msgid ""',
        'msgstr ""',
        '"Project-Id-Version: Tamsor\\n"',
        '"PO-Revision-Date: YEAR-MO-DA HO:MI+ZONE\\n"',
        '"Last-Translator: FULL NAME <EMAIL@ADDRESS>\\n"',
        '"Language-Team: LANGUAGE <LL@li.org>\\n"',
        '"Language: \\n"',
        '"MIME-Version: 1.0\\n"',
        '"Content-Type: text/plain; charset=UTF-8\\n"',
        '"Content-Transfer-Encoding: 8bit\\n"',
        "",
    ]
    for msgid in order:
        references, notes = entries[msgid]
        for text in notes:
            lines.append("#. " + text)
        lines.append("#: " + " ".join(references))
        if OBJC_FORMAT.search(msgid):
            lines.append("#, objc-format")
        elif C_FORMAT.search(msgid):
            lines.append("#, c-format")
        lines.append("msgid " + po_quote(msgid))
        lines.append('msgstr ""')
        lines.append("")
    write_if_changed(output, "\n".join(lines))

# Controls of the layout, as --table reads them: the statement, then its
# comma-separated arguments (the text first where the statement has one).
CONTROL_KINDS = {
    "LTEXT": "kKestControlLabel",
    "PUSHBUTTON": "kKestControlButton",
    "DEFPUSHBUTTON": "kKestControlButton",
    "AUTOCHECKBOX": "kKestControlCheckBox",
    "AUTORADIOBUTTON": "kKestControlRadioButton",
}
CONTROL_CLASSES = {
    "Static": "kKestControlPicture",
    "SysListView32": "kKestControlList",
    "msctls_progress32": "kKestControlProgress",
}
DIALOG = re.compile(r'^(\w+)\s+DIALOGEX\s+\d+\s*,\s*\d+\s*,\s*(\d+)\s*,\s*(\d+)')
CAPTION = re.compile(r'^CAPTION\s+(?:_\("((?:[^"]|"")*)"\)|"((?:[^"]|"")*)")')
STATEMENT = re.compile(r'^\s+(\w+)\s+(.*)$')
STRING = re.compile(r'^\s+(\w+)\s+_\("((?:[^"]|"")*)"\)')


def split_arguments(text):
    """Comma-separated arguments, keeping commas inside quoted texts."""
    parts, current, quoted = [], [], False
    for c in text:
        if c == '"':
            quoted = not quoted
        if c == "," and not quoted:
            parts.append("".join(current).strip())
            current = []
        else:
            current.append(c)
    parts.append("".join(current).strip())
    return parts


def text_of(argument):
    match = re.match(r'^(?:_\()?"((?:[^"]|"")*)"\)?$', argument)
    return rc_decode(match.group(1)) if match else ""


def cpp_quote(text):
    out = []
    for c in text.encode("utf-8"):
        ch = chr(c)
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif 0x20 <= c < 0x7F:
            out.append(ch)
        else:
            out.append("\\%03o" % c)
    return '"%s"' % "".join(out)


def read_table(layout):
    dialogs, strings = [], []
    dialog, in_strings = None, False
    for number, line in enumerate(layout.splitlines(), 1):
        code = line.split("//", 1)[0] if not re.search(r'"[^"]*//', line) else line
        header = DIALOG.match(code)
        if header:
            dialog = {"id": header.group(1), "width": header.group(2),
                      "height": header.group(3), "caption": "", "controls": []}
            dialogs.append(dialog)
            continue
        if code.startswith("STRINGTABLE"):
            in_strings, dialog = True, None
            continue
        if code.startswith("END"):
            dialog, in_strings = None, False
            continue
        if in_strings:
            match = STRING.match(code)
            if match:
                strings.append((match.group(1), rc_decode(match.group(2))))
            continue
        if dialog is None:
            continue
        caption = CAPTION.match(code)
        if caption:
            dialog["caption"] = rc_decode(caption.group(1) or caption.group(2) or "")
            continue
        statement = STATEMENT.match(code)
        if not statement or statement.group(1) in ("BEGIN",):
            continue
        keyword, arguments = statement.group(1), split_arguments(statement.group(2))
        if keyword == "CONTROL":
            # CONTROL text, id, class, style, x, y, w, h
            if len(arguments) < 8:
                raise Failure("layout line %d: a CONTROL needs 8 arguments" % number)
            kind = CONTROL_CLASSES.get(arguments[2].strip('"'))
            if kind is None:
                raise Failure("layout line %d: unknown control class %s" % (number, arguments[2]))
            text, ident, style, box = text_of(arguments[0]), arguments[1], arguments[3], arguments[4:8]
        elif keyword in CONTROL_KINDS:
            if len(arguments) < 6:
                raise Failure("layout line %d: %s needs 6 arguments" % (number, keyword))
            kind = CONTROL_KINDS[keyword]
            text, ident, box = text_of(arguments[0]), arguments[1], arguments[2:6]
            style = arguments[6] if len(arguments) > 6 else ""
        else:
            continue
        group = "true" if "WS_GROUP" in style else "false"
        dialog["controls"].append((kind, ident, text, box, group))
    return dialogs, strings


def write_table(layout_path, layout, output):
    dialogs, strings = read_table(layout)
    lines = ["// Generated by tools/gen-kest-resources.py from %s; do not edit."
             % os.path.basename(layout_path),
             "// The layout's dialogs, controls and strings, texts in English.", ""]
    for dialog in dialogs:
        lines.append("inline constexpr KestLayoutControl kKestControls_%s[] = {" % dialog["id"])
        for kind, ident, text, box, group in dialog["controls"]:
            lines.append("    {%s, %s, %s, %s, %s}," % (kind, ident, cpp_quote(text), ", ".join(box), group))
        lines.append("};")
    lines.append("inline constexpr KestLayoutDialog kKestLayoutDialogs[] = {")
    for dialog in dialogs:
        lines.append("    {%s, %s, %s, %s, kKestControls_%s, std::size(kKestControls_%s)}," % (
            dialog["id"], cpp_quote(dialog["caption"]), dialog["width"], dialog["height"],
            dialog["id"], dialog["id"]))
    lines.append("};")
    lines.append("inline constexpr KestLayoutString kKestLayoutStrings[] = {")
    for ident, text in strings:
        lines.append("    {%s, %s}," % (ident, cpp_quote(text)))
    lines.append("};")
    write_if_changed(output, "\n".join(lines) + "\n")


def write_if_changed(path, text):
    # An unchanged output keeps its time, so the resources are not rebuilt.
    try:
        with open(path, encoding="utf-8") as old:
            if old.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)


def main(argv):
    arguments = argv[1:]
    options = {}
    for flag in ("--pot", "--table"):
        if flag in arguments:
            at = arguments.index(flag)
            if at + 1 >= len(arguments):
                sys.stderr.write(__doc__)
                return 2
            options[flag] = arguments[at + 1]
            del arguments[at:at + 2]
    pot, table = options.get("--pot"), options.get("--table")
    if not arguments or (not options and len(arguments) < 2):
        sys.stderr.write(__doc__)
        return 2
    layout_path, rest = arguments[0], arguments[1:]
    try:
        with open(layout_path, encoding="utf-8") as source:
            layout = source.read()
        if pot is not None:
            write_pot(layout_path, layout, pot)
        if table is not None:
            write_table(layout_path, layout, table)
        if rest:
            write_rc(layout_path, layout, rest[0], rest[1:])
    except (Failure, OSError) as error:
        sys.stderr.write("gen-kest-resources: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
