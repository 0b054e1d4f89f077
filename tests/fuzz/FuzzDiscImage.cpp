// Fuzzing target: a whole disc image, as a file on the memory file system
// bound as a drive: the partition map, the HFS+ mount of each partition,
// catalog lookups of a few paths (present in the seeds, or not) and reads
// of the files found, at the start, across a block and at the end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "DeviceBinding.h"
#include "VolumePath.h"

namespace {

const char* const kPaths[] = {
    "pfs:\\\\.\\CdRom7#2/a",
    "pfs:\\\\.\\CdRom7#2/folder/b.txt",
    "pfs:\\\\.\\CdRom7#2/folder/deeper/c",
    "pfs:\\\\.\\CdRom7#2/missing",
    "pfs:\\\\.\\CdRom7#3/a",
    "pfs:\\\\.\\CdRom7#2/folder/../a",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string image = "/dev/shm/tamsor-fuzz-disc-" + std::to_string(getpid());
    FILE* file = std::fopen(image.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // Sector size from the input's length: 2048 for whole sectors of it.
    uint32_t sectorSize = size % 2048 == 0 ? 2048 : 512;
    if (DeviceBindImage("\\\\.\\CdRom7", image.c_str(), sectorSize) != kStatusOK) return 0;
    static uint8_t buffer[70000];
    for (const char* path : kPaths) {
        VolumeFile* volumeFile = nullptr;
        if (VolumeOpen(path, &volumeFile) != kStatusOK) continue;
        uint64_t fileSize = 0;
        if (VolumeFileSize(volumeFile, &fileSize) == kStatusOK) {
            uint32_t count = fileSize < sizeof buffer ? static_cast<uint32_t>(fileSize)
                                                      : static_cast<uint32_t>(sizeof buffer);
            VolumeRead(volumeFile, 0, count, buffer);
            if (fileSize > 600) VolumeRead(volumeFile, 500, 100, buffer);
            if (fileSize > 0) VolumeRead(volumeFile, fileSize - 1, 1, buffer);
            VolumeRead(volumeFile, fileSize, 1, buffer);  // just past the end
        }
        VolumeClose(volumeFile);
    }
    char name[kVolumePathCapacity];
    VolumeNameOfPath("pfs:\\\\.\\CdRom7#2", name);
    DeviceUnbind("\\\\.\\CdRom7");
    return 0;
}
