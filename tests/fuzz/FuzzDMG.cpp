// Fuzzing target: .dmg images. An input that starts with "RUN" feeds one
// run decoder directly (byte 3 picks ADC, zlib or bzip2, bytes 4-5 the
// decoded size in sectors of 64 bytes, the rest is the stored stream);
// anything else is written to a file and opened through the image layer:
// trailer, property list and block tables, then reads at the start, across
// the middle and at the end, and the checksum walk of "verify".
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "ImageFileInternal.h"

namespace {

void Ignore(void*, const char*) {}

void DecodeOne(const uint8_t* data, size_t size) {
    const uint32_t types[] = {kUDIFRunADC, kUDIFRunZlib, kUDIFRunBzip2};
    uint32_t type = types[data[3] % 3];
    size_t length = (static_cast<size_t>(data[4]) << 8 | data[5]) * 64;
    std::vector<uint8_t> out(length + 1);
    UDIFDecodeRun(type, data + 6, size - 6, out.data(), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 6 && memcmp(data, "RUN", 3) == 0) {
        DecodeOne(data, size);
        return 0;
    }
    static const std::string path = "/dev/shm/tamsor-fuzz-dmg-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    ImageFile* image = nullptr;
    char problem[kImageProblemCapacity];
    if (ImageFileOpen(path.c_str(), &image, problem, sizeof problem) != kStatusOK) return 0;
    static uint8_t buffer[70000];
    uint64_t discSize = ImageFileSize(image);
    uint32_t got = 0;
    const uint64_t offsets[] = {0, discSize / 2 - 1000, discSize - 1};
    for (uint64_t offset : offsets) {
        if (offset >= discSize) continue;
        uint64_t left = discSize - offset;
        uint32_t count = left < sizeof buffer ? static_cast<uint32_t>(left) : sizeof buffer;
        ImageFileRead(image, offset, count, buffer, &got);
    }
    // The whole disc only when it is small: a fuzzed trailer may claim
    // terabytes of zeros.
    if (discSize <= (8u << 20)) ImageFileVerify(image, Ignore, nullptr);
    ImageFileRelease(image);
    return 0;
}
