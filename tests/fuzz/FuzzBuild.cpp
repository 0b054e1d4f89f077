// Fuzzing target: the builder format, the path getter and the scanner with
// hostile formats (see FuzzSupport.h for the arguments). The first byte
// picks the call; the rest is the format (for the scanner: format, NUL,
// input text). Paths are walked over a fixed tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "QxLBuild.h"
#include "QxLScan.h"

namespace {

QxLObjectRef Tree() {
    static QxLObjectRef tree = [] {
        QxLObjectRef built = nullptr;
        QxLBuild(&built, "{a=[x;y;{b=c;}]n=%i%ks=%s d=%D}", 42, "text", "value", "abcdef", 6);
        return built;
    }();
    return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* a = fuzzsupport::Argument();
    if (a == nullptr || size < 1 || size > 4096) return 0;
    uint8_t pick = data[0] % 3;
    ++data;
    --size;
    if (pick == 0) {
        // Objects must be real: %O and %o take the text instead.
        std::string format = fuzzsupport::SafeFormat(data, size, "Oo", 's');
        if (!fuzzsupport::FewEnoughConversions(format)) return 0;
        QxLObjectRef result = nullptr;
        if (QxLBuild(&result, format.c_str(), FUZZ_ARGUMENTS(a)) == kStatusOK) {
            QxLObjectRelease(result);
        }
    } else if (pick == 1) {
        std::string path = fuzzsupport::SafeFormat(data, size, "Oo", 's');
        if (!fuzzsupport::FewEnoughConversions(path)) return 0;
        // Out is the argument block too; a :utf8 copy is freed afterwards.
        if (QxLGet(Tree(), a + 0x1000, path.c_str(), FUZZ_ARGUMENTS(a)) == kStatusOK &&
            path.find(":utf8") != std::string::npos) {
            char* copy = nullptr;
            std::memcpy(&copy, a + 0x1000, sizeof copy);
            std::free(copy);
        }
    } else {
        std::string all(reinterpret_cast<const char*>(data), size);
        size_t split = all.find('\0');
        std::string format = all.substr(0, split);
        std::string text = split == std::string::npos ? std::string() : all.substr(split + 1);
        format = fuzzsupport::SafeFormat(reinterpret_cast<const uint8_t*>(format.data()),
                                         format.size(), "", 'd');
        if (!fuzzsupport::FewEnoughConversions(format)) return 0;
        QxLScan(text.data(), static_cast<int32_t>(text.size()), format.c_str(), FUZZ_ARGUMENTS(a));
        QxLURLParts parts;
        QxLSplitURL(text.data(), text.data() + text.size(), &parts);
    }
    return 0;
}
