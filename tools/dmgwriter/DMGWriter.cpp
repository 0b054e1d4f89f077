// The .dmg writer; see DMGWriter.h. Layout of what it writes:
//
//   [dataForkOffset bytes of padding][data fork: stored runs in disc order]
//   [XML property list][512-byte trailer]
//
// Run offsets are relative to the data fork plus the table's data offset,
// which (with tableDataOffsets) is where the table's first stored byte is.
#include "DMGWriter.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kZero = 0, kRaw = 1, kIgnore = 2, kADC = 0x80000004, kZlib = 0x80000005,
                   kBzip2 = 0x80000006, kComment = 0x7FFFFFFE, kEnd = 0xFFFFFFFF;

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void Put64(uint8_t* at, uint64_t value) {
    Put32(at, static_cast<uint32_t>(value >> 32));
    Put32(at + 4, static_cast<uint32_t>(value));
}

uint32_t CRC(uint32_t crc, const uint8_t* bytes, size_t length) {
    return static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(length)));
}

struct Run {
    uint32_t type;
    uint32_t comment;
    uint64_t first;   // relative to the table
    uint64_t count;
    uint64_t offset;  // relative to fork + table data offset
    uint64_t length;
};

struct Table {
    uint64_t first;
    uint64_t count;
    uint64_t dataOffset;
    uint32_t crc;
    std::vector<Run> runs;
};

bool Compress(uint32_t type, const uint8_t* bytes, size_t length, std::vector<uint8_t>* out) {
    if (type == kZlib) {
        uLongf size = compressBound(static_cast<uLong>(length));
        out->resize(size);
        if (compress2(out->data(), &size, bytes, static_cast<uLong>(length), 6) != Z_OK) {
            return false;
        }
        out->resize(size);
        return true;
    }
    if (type == kBzip2) {
        unsigned size = static_cast<unsigned>(length + length / 100 + 600);
        out->resize(size);
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out->data()), &size,
                                     reinterpret_cast<char*>(const_cast<uint8_t*>(bytes)),
                                     static_cast<unsigned>(length), 9, 0, 30) != BZ_OK) {
            return false;
        }
        out->resize(size);
        return true;
    }
    *out = DMGEncodeADC(bytes, length);
    return true;
}

std::string Base64(const std::vector<uint8_t>& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = "\t\t\t\t";
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= bytes[i + 2];
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += i + 1 < bytes.size() ? kAlphabet[group >> 6 & 63] : '=';
        text += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
        column += 4;
        if (column >= 52 && i + 3 < bytes.size()) {
            text += "\n\t\t\t\t";
            column = 0;
        }
    }
    return text;
}

std::vector<uint8_t> TableBytes(const Table& table, uint32_t chunkSectors) {
    std::vector<uint8_t> bytes(0xCC + 40 * table.runs.size());
    memcpy(bytes.data(), "mish", 4);
    Put32(&bytes[0x04], 1);
    Put64(&bytes[0x08], table.first);
    Put64(&bytes[0x10], table.count);
    Put64(&bytes[0x18], table.dataOffset);
    Put32(&bytes[0x20], chunkSectors + 8);
    Put32(&bytes[0x24], 0xFFFFFFFE);
    Put32(&bytes[0x40], 2);
    Put32(&bytes[0x44], 32);
    Put32(&bytes[0x48], table.crc);
    Put32(&bytes[0xC8], static_cast<uint32_t>(table.runs.size()));
    for (size_t i = 0; i < table.runs.size(); ++i) {
        uint8_t* entry = &bytes[0xCC + 40 * i];
        const Run& run = table.runs[i];
        Put32(entry, run.type);
        Put32(entry + 4, run.comment);
        Put64(entry + 8, run.first);
        Put64(entry + 16, run.count);
        Put64(entry + 24, run.offset);
        Put64(entry + 32, run.length);
    }
    return bytes;
}

}  // namespace

std::vector<uint8_t> DMGEncodeADC(const uint8_t* bytes, size_t length) {
    std::vector<uint8_t> out;
    std::vector<int64_t> last(1 << 16, -1);
    size_t literalAt = 0;  // index in out of the open literal's header, or npos
    bool literalOpen = false;
    auto hash = [&](size_t i) {
        return static_cast<uint32_t>((bytes[i] << 8 ^ bytes[i + 1] << 4 ^ bytes[i + 2]) * 2654435761u) >> 16;
    };
    size_t i = 0;
    while (i < length) {
        size_t bestLength = 0, bestDistance = 0;
        if (i + 3 <= length) {
            uint32_t h = hash(i);
            int64_t candidate = last[h];
            last[h] = static_cast<int64_t>(i);
            if (candidate >= 0 && i - static_cast<size_t>(candidate) <= 65536) {
                size_t distance = i - static_cast<size_t>(candidate);
                size_t n = 0;
                while (n < 67 && i + n < length && bytes[i + n] == bytes[candidate + n]) ++n;
                bestLength = n;
                bestDistance = distance;
            }
        }
        bool shortCopy = bestLength >= 3 && bestDistance <= 1024;
        bool longCopy = bestLength >= 4;
        if (shortCopy || longCopy) {
            literalOpen = false;
            if (shortCopy && (bestLength <= 18 || !longCopy)) {
                size_t n = std::min<size_t>(bestLength, 18);
                size_t d = bestDistance - 1;
                out.push_back(static_cast<uint8_t>((n - 3) << 2 | d >> 8));
                out.push_back(static_cast<uint8_t>(d));
                bestLength = n;
            } else {
                size_t d = bestDistance - 1;
                out.push_back(static_cast<uint8_t>(0x40 | (bestLength - 4)));
                out.push_back(static_cast<uint8_t>(d >> 8));
                out.push_back(static_cast<uint8_t>(d));
            }
            for (size_t k = 1; k < bestLength && i + k + 3 <= length; ++k) {
                last[hash(i + k)] = static_cast<int64_t>(i + k);
            }
            i += bestLength;
            continue;
        }
        if (!literalOpen || (out[literalAt] & 0x7F) == 0x7F) {
            literalAt = out.size();
            out.push_back(0x80);
            literalOpen = true;
        } else {
            ++out[literalAt];
        }
        out.push_back(bytes[i]);
        ++i;
    }
    return out;
}

bool DMGWrite(const std::vector<uint8_t>& input, const DMGOptions& options,
              std::vector<uint8_t>* image, std::string* error) {
    std::vector<uint8_t> disc = input;
    disc.resize((disc.size() + kSector - 1) / kSector * kSector);
    const uint64_t sectors = disc.size() / kSector;
    const uint32_t chunk = std::max<uint32_t>(options.chunkSectors, 1);
    const uint32_t tableCount =
        static_cast<uint32_t>(std::clamp<uint64_t>(options.tableCount, 1, std::max<uint64_t>(sectors, 1)));
    const DMGDamage damage = options.damage;

    std::vector<uint8_t> data;  // the data fork
    std::vector<Table> tables;
    bool firstCompressed = true;
    size_t lastStoredAt = 0, lastStoredLength = 0;  // the last compressed run's bytes
    size_t damagedTable = SIZE_MAX;  // where the first compressed run is
    size_t damagedIndex = 0;
    uint64_t chunkIndex = 0;
    for (uint32_t t = 0; t < tableCount; ++t) {
        Table table;
        table.first = sectors * t / tableCount;
        table.count = sectors * (t + 1) / tableCount - table.first;
        table.dataOffset = options.tableDataOffsets ? data.size() : 0;
        const uint64_t base = table.dataOffset;
        bool mixed = options.method == DMGMethod::kMixed;
        if (mixed) table.runs.push_back({kComment, 0x2B626567, 0, 0, data.size() - base, 0});
        uint32_t crc = 0;
        for (uint64_t at = 0; at < table.count; at += chunk, ++chunkIndex) {
            uint64_t count = std::min<uint64_t>(chunk, table.count - at);
            const uint8_t* bytes = &disc[(table.first + at) * kSector];
            size_t length = count * kSector;
            Run run = {kRaw, 0, at, count, data.size() - base, 0};
            bool zero = std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
            if (zero) {
                run.type = mixed && chunkIndex % 2 == 1 ? kIgnore : kZero;
            } else {
                uint32_t type = kRaw;
                switch (options.method) {
                case DMGMethod::kZlib: type = kZlib; break;
                case DMGMethod::kBzip2: type = kBzip2; break;
                case DMGMethod::kADC: type = kADC; break;
                case DMGMethod::kRaw: type = kRaw; break;
                case DMGMethod::kMixed: {
                    const uint32_t cycle[] = {kZlib, kBzip2, kADC, kRaw};
                    type = cycle[chunkIndex % 4];
                    break;
                }
                }
                std::vector<uint8_t> stored;
                if (type != kRaw) {
                    // The short-run damage leaves the last sector out of the
                    // stream while the run still claims it.
                    size_t encode = damage == DMGDamage::kShortRun && firstCompressed && count > 1
                                        ? length - kSector
                                        : length;
                    if (!Compress(type, bytes, encode, &stored)) {
                        *error = "a compressor failed";
                        return false;
                    }
                    if (stored.size() >= length && encode == length) type = kRaw;
                }
                run.type = type;
                if (type == kRaw) stored.assign(bytes, bytes + length);
                if (type != kRaw && firstCompressed) {
                    if (damage == DMGDamage::kBadStream) stored[stored.size() / 2] ^= 0x5A;
                }
                run.length = stored.size();
                if (type != kRaw) {
                    lastStoredAt = data.size();
                    lastStoredLength = stored.size();
                }
                data.insert(data.end(), stored.begin(), stored.end());
            }
            if (run.type != kIgnore) crc = CRC(crc, bytes, length);
            table.runs.push_back(run);
            if (run.type != kRaw && run.type != kZero && run.type != kIgnore && firstCompressed) {
                firstCompressed = false;
                damagedIndex = table.runs.size() - 1;
                damagedTable = t;
            }
        }
        if (mixed) table.runs.push_back({kComment, 0x2B656E64, table.count, 0, data.size() - base, 0});
        table.runs.push_back({kEnd, 0, table.count, 0, data.size() - base, 0});
        table.crc = damage == DMGDamage::kTableChecksum && t == 0 ? crc ^ 1 : crc;
        tables.push_back(std::move(table));
    }
    if (damagedTable != SIZE_MAX) {
        Run* damagedRun = &tables[damagedTable].runs[damagedIndex];
        switch (damage) {
        case DMGDamage::kLZFSERun: damagedRun->type = 0x80000007; break;
        case DMGDamage::kLZMARun: damagedRun->type = 0x80000008; break;
        case DMGDamage::kUnknownRun: damagedRun->type = 0x80000009; break;
        case DMGDamage::kRunOutsideFork: damagedRun->offset = data.size() + 1; break;
        default: break;
        }
    }
    if (damage == DMGDamage::kTableGap && tables.size() > 1) tables[1].first += 1;
    if (damage == DMGDamage::kBadStreamLast && lastStoredLength > 0) {
        data[lastStoredAt + lastStoredLength / 2] ^= 0x5A;
    }

    uint32_t master = 0;
    for (const Table& table : tables) {
        uint8_t bytes[4];
        Put32(bytes, table.crc);
        master = CRC(master, bytes, 4);
    }

    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n";
    for (size_t t = 0; t < tables.size(); ++t) {
        std::vector<uint8_t> bytes = TableBytes(tables[t], chunk);
        if (damage == DMGDamage::kRunCountWrap && t == 0) Put32(&bytes[0xC8], 0x06666667);
        std::string name = "whole disk (Tamsor test part " + std::to_string(t) + " : " +
                           std::to_string(t) + ")";
        plist += "\t\t\t<dict>\n\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
                 "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + name + "</string>\n"
                 "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + Base64(bytes) +
                 "\n\t\t\t\t</data>\n\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" +
                 std::to_string(static_cast<int>(t) - (tables.size() > 1 ? 1 : 0)) +
                 "</string>\n\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + name +
                 "</string>\n\t\t\t</dict>\n";
    }
    plist += "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
    if (damage == DMGDamage::kBinaryPlist) memcpy(plist.data(), "bplist00", 8);

    image->assign(options.dataForkOffset, 0);
    image->insert(image->end(), data.begin(), data.end());
    uint64_t plistOffset = image->size();
    image->insert(image->end(), plist.begin(), plist.end());
    uint8_t trailer[512] = {};
    memcpy(trailer, "koly", 4);
    Put32(trailer + 0x004, damage == DMGDamage::kBadVersion ? 5 : 4);
    Put32(trailer + 0x008, 512);
    Put32(trailer + 0x00C, 1);
    Put64(trailer + 0x018, options.dataForkOffset);
    Put64(trailer + 0x020, data.size());
    Put32(trailer + 0x038, 1);
    Put32(trailer + 0x03C, damage == DMGDamage::kSegmented ? 2 : 1);
    for (int i = 0; i < 16; ++i) trailer[0x040 + i] = static_cast<uint8_t>(0xA0 + i);
    Put32(trailer + 0x050, 2);
    Put32(trailer + 0x054, 32);
    Put32(trailer + 0x058, CRC(0, data.data(), data.size()));
    Put64(trailer + 0x0D8, plistOffset);
    Put64(trailer + 0x0E0, damage == DMGDamage::kNoPlist ? 0 : plist.size());
    Put32(trailer + 0x160, 2);
    Put32(trailer + 0x164, 32);
    Put32(trailer + 0x168, master);
    Put32(trailer + 0x1E8, 1);
    Put64(trailer + 0x1EC, sectors + (damage == DMGDamage::kShortTables ? 1 : 0));
    image->insert(image->end(), trailer, trailer + sizeof trailer);
    if (damage == DMGDamage::kEncrypted) memcpy(image->data(), "encrcdsa", 8);
    return true;
}

bool DMGMethodFromName(const std::string& name, DMGMethod* method) {
    const std::pair<const char*, DMGMethod> names[] = {
        {"zlib", DMGMethod::kZlib}, {"bzip2", DMGMethod::kBzip2}, {"adc", DMGMethod::kADC},
        {"raw", DMGMethod::kRaw},   {"mixed", DMGMethod::kMixed}};
    for (const auto& [text, value] : names) {
        if (name == text) {
            *method = value;
            return true;
        }
    }
    return false;
}

bool DMGDamageFromName(const std::string& name, DMGDamage* damage) {
    const std::pair<const char*, DMGDamage> names[] = {
        {"none", DMGDamage::kNone},
        {"lzfse-run", DMGDamage::kLZFSERun},
        {"lzma-run", DMGDamage::kLZMARun},
        {"unknown-run", DMGDamage::kUnknownRun},
        {"encrypted", DMGDamage::kEncrypted},
        {"segmented", DMGDamage::kSegmented},
        {"no-plist", DMGDamage::kNoPlist},
        {"binary-plist", DMGDamage::kBinaryPlist},
        {"run-count-wrap", DMGDamage::kRunCountWrap},
        {"table-gap", DMGDamage::kTableGap},
        {"short-tables", DMGDamage::kShortTables},
        {"run-outside-fork", DMGDamage::kRunOutsideFork},
        {"bad-stream", DMGDamage::kBadStream},
        {"bad-stream-last", DMGDamage::kBadStreamLast},
        {"short-run", DMGDamage::kShortRun},
        {"bad-version", DMGDamage::kBadVersion},
        {"table-checksum", DMGDamage::kTableChecksum}};
    for (const auto& [text, value] : names) {
        if (name == text) {
            *damage = value;
            return true;
        }
    }
    return false;
}
