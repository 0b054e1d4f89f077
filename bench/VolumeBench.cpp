// Path lookups on an HFS+ image: 10,000 resolutions of a path 16 folders
// deep, on a catalog with index nodes (every folder on the way holds 200
// files besides the next folder). The image is bound to \\.\CdRom0 and one
// reference on its device is held throughout, as the TFTP server holds the
// boot volume, so the figures are lookup work with warm B-tree caches and
// no device opens.
//
// Bulk reading speed is measured by bench/volume-bench.sh against other
// readers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "DeviceBinding.h"
#include "HFSImageWriter.h"
#include "VolumePartition.h"
#include "VolumePath.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDepth = 16;
constexpr int kSiblings = 200;
constexpr int kLookups = 10000;

// The image, made once for the whole program.
struct DeepImage {
    std::string imagePath;
    std::string deepPath;    // pfs:\\.\CdRom0#2/...
    std::string relative;    // the same below the volume root
    VolumePartition* held = nullptr;
    bool ready = false;

    DeepImage() {
        imagePath = (fs::temp_directory_path() / "tamsor-volume-bench.img").string();
        HFSImageSpec disc;
        HFSImageVolume& volume = disc.AddVolume("Bench");
        uint32_t folder = kHFSImageRootID;
        for (int level = 1; level <= kDepth; ++level) {
            for (int sibling = 0; sibling < kSiblings; ++sibling) {
                volume.AddFile(folder, "file " + std::to_string(sibling), "x");
            }
            std::string name = "Level " + std::to_string(level);
            folder = volume.AddFolder(folder, name);
            relative += name + "/";
        }
        volume.AddPatternFile(folder, "mach_kernel", 65536);
        relative += "mach_kernel";
        std::string error;
        HFSImageLayout layout;
        if (WriteDiscImage(disc, imagePath, &layout, &error) != kStatusOK) {
            std::fprintf(stderr, "cannot write the image: %s\n", error.c_str());
            return;
        }
        std::fprintf(stderr, "catalog: %u nodes of %u bytes, depth %u\n",
                     layout.volumes[0].catalogNodes, layout.volumes[0].catalogNodeSize,
                     layout.volumes[0].catalogDepth);
        deepPath = "pfs:\\\\.\\CdRom0#" + std::to_string(layout.volumes[0].mapEntry) + "/" +
                   relative;
        DeviceBindImage("\\\\.\\CdRom0", imagePath.c_str(), 0);
        const char* rest = nullptr;
        ready = ResolveVolumePath(deepPath.c_str(), &held, &rest) == kStatusOK;
    }
    ~DeepImage() {
        ReleaseVolumeRef(held);
        DeviceUnbindAll();
        std::error_code ignored;
        fs::remove(imagePath, ignored);
    }
};

DeepImage& Image() {
    static DeepImage image;
    return image;
}

void BM_DeepPathOpenClose(benchmark::State& state) {
    DeepImage& image = Image();
    if (!image.ready) {
        state.SkipWithError("no image");
        return;
    }
    for (auto _ : state) {
        VolumeFile* file = nullptr;
        if (VolumeOpen(image.deepPath.c_str(), &file) != kStatusOK) {
            state.SkipWithError("open failed");
            break;
        }
        VolumeClose(file);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeepPathOpenClose)->Iterations(kLookups)->Unit(benchmark::kMicrosecond);

void BM_DeepPathExists(benchmark::State& state) {
    DeepImage& image = Image();
    if (!image.ready) {
        state.SkipWithError("no image");
        return;
    }
    std::string base = image.deepPath.substr(0, image.deepPath.size() - image.relative.size());
    for (auto _ : state) {
        if (!PathExistsAs(base.c_str(), image.relative.c_str(), false)) {
            state.SkipWithError("lookup failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeepPathExists)->Iterations(kLookups)->Unit(benchmark::kMicrosecond);

void BM_DeepPathFullPath(benchmark::State& state) {
    DeepImage& image = Image();
    if (!image.ready) {
        state.SkipWithError("no image");
        return;
    }
    char full[kVolumePathCapacity];
    for (auto _ : state) {
        if (FullPathOf(image.deepPath.c_str(), full) != kStatusOK) {
            state.SkipWithError("full path failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeepPathFullPath)->Iterations(kLookups)->Unit(benchmark::kMicrosecond);

}  // namespace
