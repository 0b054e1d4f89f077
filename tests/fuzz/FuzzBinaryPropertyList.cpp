// Fuzzing target: the binary property-list reader. Whatever it accepts must
// write out as XML and read back into an equal tree.
#include <cstdint>
#include <cstdlib>

#include "QxLData.h"
#include "QxLObject.h"
#include "QxLPropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x100000) return 0;
    QxLObjectRef object = nullptr;
    if (QxLPropertyListReadBinary(data, static_cast<int32_t>(size), &object) != kStatusOK) return 0;
    QxLDataRef written = nullptr;
    if (QxLPropertyListWrite(object, &written) == kStatusOK) {
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        QxLObjectRef again = nullptr;
        if (QxLDataGetBytes(written, &bytes, &length) == kStatusOK &&
            QxLPropertyListRead(bytes, static_cast<int32_t>(length), &again) == kStatusOK) {
            if (!QxLObjectEqual(object, again)) std::abort();
            QxLObjectRelease(again);
        }
        QxLObjectRelease(written);
    }
    QxLObjectRelease(object);
    return 0;
}
