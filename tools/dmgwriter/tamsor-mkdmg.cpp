// tamsor-mkdmg: turns a raw disc image into a read-only .dmg, for tests,
// fixtures and benchmarks (see DMGWriter.h).
//
//   tamsor-mkdmg [options] RAW OUT.dmg
//
// Options:
//   --method zlib|bzip2|adc|raw|mixed   kind of runs (default zlib)
//   --chunk N                           sectors of 512 bytes per run (default 2048)
//   --tables N                          block tables (default 1)
//   --data-offset N                     bytes of padding before the data fork
//   --table-offsets                     give each table its own data offset
//   --damage KIND                       make the image wrong in one place
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DMGWriter.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tamsor-mkdmg [--method zlib|bzip2|adc|raw|mixed] [--chunk N]\n"
                 "         [--tables N] [--data-offset N] [--table-offsets] [--damage KIND]\n"
                 "         RAW OUT.dmg\n");
    return 2;
}

bool Number(const char* text, uint64_t* value) {
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') return false;
    *value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    DMGOptions options;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        bool hasValue = i + 1 < argc;
        uint64_t value = 0;
        if (argument == "--method" && hasValue) {
            if (!DMGMethodFromName(argv[++i], &options.method)) return Usage();
        } else if (argument == "--damage" && hasValue) {
            if (!DMGDamageFromName(argv[++i], &options.damage)) return Usage();
        } else if (argument == "--chunk" && hasValue && Number(argv[++i], &value) && value > 0 &&
                   value <= 131072) {
            options.chunkSectors = static_cast<uint32_t>(value);
        } else if (argument == "--tables" && hasValue && Number(argv[++i], &value) && value > 0 &&
                   value <= 65536) {
            options.tableCount = static_cast<uint32_t>(value);
        } else if (argument == "--data-offset" && hasValue && Number(argv[++i], &value)) {
            options.dataForkOffset = value;
        } else if (argument == "--table-offsets") {
            options.tableDataOffsets = true;
        } else if (!argument.empty() && argument[0] != '-') {
            paths.push_back(argument);
        } else {
            return Usage();
        }
    }
    if (paths.size() != 2) return Usage();

    std::ifstream in(paths[0], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tamsor-mkdmg: cannot read %s\n", paths[0].c_str());
        return 1;
    }
    std::vector<uint8_t> disc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> image;
    std::string error;
    if (!DMGWrite(disc, options, &image, &error)) {
        std::fprintf(stderr, "tamsor-mkdmg: %s\n", error.c_str());
        return 1;
    }
    std::ofstream out(paths[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "tamsor-mkdmg: cannot write %s\n", paths[1].c_str());
        return 1;
    }
    std::printf("%s: %zu bytes for a disc of %zu bytes\n", paths[1].c_str(), image.size(),
                (disc.size() + 511) / 512 * 512);
    return 0;
}
