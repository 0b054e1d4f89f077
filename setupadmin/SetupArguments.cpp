// Command-line splitting and option words of ZULSetupAdmin.
#include "SetupArguments.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace setupadmin {

namespace {
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

std::vector<char*> SplitCommandLine(char* text) {
    std::vector<char*> arguments;
    // Room for one entry per character plus two, as the callers expect.
    arguments.reserve(std::strlen(text) + 2);
    char* p = text;
    while (*p != '\0') {
        while (IsSpace(*p)) ++p;
        if (*p == '\0') break;
        arguments.push_back(p);
        if (*p == '"') {
            char* close = std::strchr(p + 1, '"');
            if (close == nullptr) break;  // runs to the end of the text
            p = close + 1;
            if (*p == '\0') break;
            *p++ = '\0';
            continue;
        }
        bool quoted = false;
        while (*p != '\0' && (quoted || !IsSpace(*p))) {
            if (*p == '"') quoted = !quoted;
            ++p;
        }
        if (*p == '\0') break;
        *p++ = '\0';
    }
    return arguments;
}

SetupOption OptionOf(const char* argument) {
    if (argument == nullptr || (argument[0] != '/' && argument[0] != '-')) return SetupOption::kNone;
    const char* word = argument + 1;
    if (strcasecmp(word, "extract") == 0) return SetupOption::kExtract;
    if (strcasecmp(word, "evt") == 0) return SetupOption::kEvent;
    if (strcasecmp(word, "pid") == 0) return SetupOption::kProcessId;
    if (strcasecmp(word, "mon") == 0) return SetupOption::kMonitor;
    if (strcasecmp(word, "alt") == 0) return SetupOption::kAlternate;
    return SetupOption::kNone;
}

std::string WithoutQuotes(const char* argument) {
    std::string text(argument);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    if (!text.empty() && text.front() == '"') return text.substr(1);
    return text;
}

std::string JoinArguments(std::string prefix, const std::vector<char*>& arguments,
                          size_t maxLength) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i][0] == '\0') continue;
        if (!prefix.empty()) prefix += ' ';
        prefix += arguments[i];
    }
    if (prefix.size() > maxLength) prefix.resize(maxLength);
    return prefix;
}

}  // namespace setupadmin
