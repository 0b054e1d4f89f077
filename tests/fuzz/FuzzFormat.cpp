// Fuzzing target: the printf engine with a hostile format (see
// FuzzSupport.h for the arguments), into a small buffer and into one just
// large enough to see truncation.
#include <cstdint>

#include "FuzzSupport.h"
#include "QxLFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* a = fuzzsupport::Argument();
    if (a == nullptr || size > 4096) return 0;
    // %n stores, %V takes a va_list*, %@ an object: not to be had here.
    std::string format = fuzzsupport::SafeFormat(data, size, "nV@", 'd');
    if (!fuzzsupport::FewEnoughConversions(format)) return 0;
    static char buffer[512];
    for (size_t room : {sizeof buffer, size_t{7}}) {
        QxLFormatToBuffer(buffer, room, format.c_str(), FUZZ_ARGUMENTS(a));
    }
    return 0;
}
