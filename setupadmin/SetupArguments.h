// ZULSetupAdmin's command line: cutting the text into arguments in place,
// recognising the option words, and building the installer's command line
// from what is left.
//
// Not here: what the options do (SetupAdmin.cpp).
#pragma once

#include <string>
#include <vector>

namespace setupadmin {

// Cuts text (modified in place) into arguments separated by white space. An
// argument that starts with a double quote runs to the next double quote and
// keeps both quotes; the character after the closing quote becomes the
// terminator. Inside an unquoted argument a quote starts a stretch in which
// white space does not end the argument, up to the next quote.
std::vector<char*> SplitCommandLine(char* text);

enum class SetupOption { kNone, kExtract, kEvent, kProcessId, kMonitor, kAlternate };

// The option an argument names: "/" or "-" and the word, any case.
SetupOption OptionOf(const char* argument);

// The argument without one pair of surrounding double quotes.
std::string WithoutQuotes(const char* argument);

// The arguments after argument 0 that are not empty, appended to prefix and
// separated by one space; at most maxLength bytes.
std::string JoinArguments(std::string prefix, const std::vector<char*>& arguments,
                          size_t maxLength);

}  // namespace setupadmin
