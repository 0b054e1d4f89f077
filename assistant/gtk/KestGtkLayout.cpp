// The layout as data and the wizard's texts (see KestGtkLayout.h).
#include "KestGtkLayout.h"

#include <libintl.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "KestResourceIds.h"

#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

namespace {

#include "KestLayoutTable.inc"

constexpr const char* kTextDomain = "tamsor";

// The program's own folder, from /proc/self/exe; empty when unknown.
std::string ProgramFolder() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string folder(path, static_cast<size_t>(length));
    size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

// The program in the build sits beside the catalogs that the build
// compiled (locale/); an installed one finds them in ../share/locale, which
// also holds where the package was moved to another prefix.
std::string LocaleDirectory() {
    std::string folder = ProgramFolder();
    for (const char* relative : {"/locale", "/../share/locale"}) {
        if (!folder.empty() && access((folder + relative + "/de/LC_MESSAGES").c_str(), R_OK) == 0) {
            return folder + relative;
        }
    }
    return TAMSOR_INSTALL_LOCALE_DIR;
}

// The language part of a locale name ("de_DE.UTF-8" -> "de_DE"), or empty
// for the C locale.
std::string LanguageOf(const char* locale) {
    if (locale == nullptr) return std::string();
    std::string_view name(locale);
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return std::string();
    return std::string(name);
}

std::string ReplaceFirst(const std::string& format, std::string_view conversion,
                         const std::string& value) {
    size_t at = format.find(conversion);
    if (at == std::string::npos) return format;
    return format.substr(0, at) + value + format.substr(at + conversion.size());
}

}  // namespace

const KestLayoutDialog* KestFindDialog(int dialogId) {
    for (const KestLayoutDialog& dialog : kKestLayoutDialogs) {
        if (dialog.id == dialogId) return &dialog;
    }
    return nullptr;
}

const char* KestFindString(int stringId) {
    for (const KestLayoutString& entry : kKestLayoutStrings) {
        if (entry.id == stringId) return entry.text;
    }
    return nullptr;
}

void KestSetUpLanguage(const char* localeDirectory) {
    if (std::setlocale(LC_ALL, "") == nullptr) {
        // The user's locale is not installed on this system: gettext would
        // then stay in English. Keep UTF-8 and ask for the language itself.
        std::setlocale(LC_ALL, "C.UTF-8");
        const char* language = std::getenv("LANGUAGE");
        if (language == nullptr || *language == '\0') {
            std::string wanted;
            for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
                wanted = LanguageOf(std::getenv(variable));
                if (!wanted.empty()) break;
            }
            if (!wanted.empty()) setenv("LANGUAGE", wanted.c_str(), 1);
        }
    }
    std::string folder = localeDirectory != nullptr ? localeDirectory : LocaleDirectory();
    bindtextdomain(kTextDomain, folder.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
}

std::string KestTranslate(const char* english) {
    if (english == nullptr || *english == '\0') return std::string();
    return dgettext(kTextDomain, english);
}

std::string KestFormatText(const std::string& format, const std::string& text) {
    return ReplaceFirst(format, "%s", text);
}

std::string KestFormatNumber(const std::string& format, int32_t number) {
    return ReplaceFirst(format, "%d", std::to_string(number));
}
