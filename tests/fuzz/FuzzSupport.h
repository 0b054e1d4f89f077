// Shared by the fuzzing targets: the argument block for variadic calls with
// hostile formats, a splitter of an input into length-prefixed records, and
// a small install disc on a memory file system for the boot services.
//
// Variadic calls: a fuzzed format may ask for any mix of ints, texts,
// byte spans and out-pointers, so every argument is the same pointer into a
// zeroed block mapped at a low address. As an int it is a small positive
// number (the block's address, 64 KiB and a little), as a pointer it has
// room for any count such an int may give, and as a text it is short. Only
// conversions that need a real object (or a va_list, or store counts) are
// turned into harmless ones before the call.
//
// Not here: any target's own checks.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzsupport {

// 64 KiB at 64 KiB (the lowest address Linux maps by default) plus 1 MiB of
// room: any int read from an argument is below 66000.
constexpr uintptr_t kBlockAddress = 0x10000;
constexpr size_t kBlockSize = 0x110000;
constexpr size_t kArgumentOffset = 0x40;

// The argument pointer, its block reset to "text" and zeros; null when the
// block cannot be mapped.
inline char* Argument() {
    static char* block = [] {
        void* at = mmap(reinterpret_cast<void*>(kBlockAddress), kBlockSize,
                        PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                        -1, 0);
        if (at != reinterpret_cast<void*>(kBlockAddress)) {
            std::fprintf(stderr, "fuzz: cannot map the argument block at 0x10000\n");
            return static_cast<char*>(nullptr);
        }
        return static_cast<char*>(at);
    }();
    if (block == nullptr) return nullptr;
    std::memset(block, 0, 0x4000);
    std::memcpy(block + kArgumentOffset, "text", 5);
    return block + kArgumentOffset;
}

// The input as a NUL-terminated format in which every conversion letter
// found in `banned` (after '%' and its flags, widths and modifiers) is
// replaced by `replacement`.
inline std::string SafeFormat(const uint8_t* data, size_t size, const char* banned,
                              char replacement) {
    std::string format(reinterpret_cast<const char*>(data), size);
    format = format.c_str();  // up to the first NUL
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        size_t j = i + 1;
        while (j < format.size() && std::strchr("#0-+ '&*.lhjztk0123456789", format[j]) != nullptr &&
               format[j] != '\0') {
            ++j;
        }
        if (j < format.size() && std::strchr(banned, format[j]) != nullptr) {
            format[j] = replacement;
        }
        i = j;
    }
    return format;
}

// Arguments passed to every variadic call, and the most one conversion can
// take (%T of the builder: six ints). A format with more conversions than
// the arguments cover is skipped: reading past them would be the caller's
// fault, not the callee's.
constexpr size_t kArgumentCount = 48;
constexpr size_t kArgumentsPerConversion = 6;

inline bool FewEnoughConversions(const std::string& format) {
    size_t count = 0;
    for (char c : format) count += c == '%' || c == '*';  // [*] of a path takes one too
    return count * kArgumentsPerConversion <= kArgumentCount;
}

#define FUZZ_ARGUMENTS_8(a) a, a, a, a, a, a, a, a
#define FUZZ_ARGUMENTS(a)                                                              \
    FUZZ_ARGUMENTS_8(a), FUZZ_ARGUMENTS_8(a), FUZZ_ARGUMENTS_8(a), FUZZ_ARGUMENTS_8(a), \
        FUZZ_ARGUMENTS_8(a), FUZZ_ARGUMENTS_8(a)

// Records of an input: each is one length byte and that many bytes (the
// last may be short).
inline std::vector<std::string> Records(const uint8_t* data, size_t size) {
    std::vector<std::string> records;
    size_t at = 0;
    while (at < size) {
        size_t length = data[at++];
        if (length > size - at) length = size - at;
        records.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    return records;
}

}  // namespace fuzzsupport

// The boot services' disc: written once into the memory file system and
// bound as \\.\CdRom0 with its boot source prepared. False on failure.
bool FuzzPrepareInstallDisc();
