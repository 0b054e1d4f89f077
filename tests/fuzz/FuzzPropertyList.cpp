// Fuzzing target: the property-list reader; whatever it accepts must write
// back out and read again.
#include <cstdint>

#include "QxLData.h"
#include "QxLObject.h"
#include "QxLPropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x100000) return 0;
    QxLObjectRef object = nullptr;
    if (QxLPropertyListRead(data, static_cast<int32_t>(size), &object) != kStatusOK) return 0;
    QxLDataRef written = nullptr;
    if (QxLPropertyListWrite(object, &written) == kStatusOK) {
        uint8_t* bytes = nullptr;
        uint32_t length = 0;
        QxLObjectRef again = nullptr;
        if (QxLDataGetBytes(written, &bytes, &length) == kStatusOK &&
            QxLPropertyListRead(bytes, static_cast<int32_t>(length), &again) == kStatusOK) {
            QxLObjectRelease(again);
        }
        QxLObjectRelease(written);
    }
    QxLObjectRelease(object);
    return 0;
}
