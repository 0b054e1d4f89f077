// The disc around the volumes: driver descriptor, partition map, placement
// of the partitions, and the output of a planned image to a file or memory.
//
// Driver descriptor (block 0, one map block; only these fields are set):
//   0 u16 "ER"   2 u16 map block size   4 u32 disc size in map blocks
//
// Partition map entry (one per map block, blocks 1..N):
//   0 "PM"  2 pad  4 u32 entries in the map (N)  8 u32 first block
//   12 u32 length in blocks  16 name (32 bytes, NUL-padded)
//   48 type (32 bytes, NUL-padded)  80 u32 first logical data block (0)
//   84 u32 data blocks (= length)  88 u32 status  92.. boot and processor
//   fields (zero)
// The first entry describes the map itself ("Verin_partition_map", blocks
// 1..mapReservedBlocks); the caller's entries follow in order.
//
// Partitions are placed one after another, each aligned to the larger of
// the sector size and the map block size; the image ends at the last one,
// rounded up to a whole sector.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "HFSImageWriterInternal.h"

namespace hfsimage {

std::vector<uint8_t>& Plan::AddBytes(uint64_t offset, std::vector<uint8_t> bytes) {
    blobs.push_back(std::make_unique<std::vector<uint8_t>>(std::move(bytes)));
    std::vector<uint8_t>& kept = *blobs.back();
    Chunk chunk;
    chunk.offset = offset;
    chunk.length = kept.size();
    chunk.bytes = kept.data();
    chunks.push_back(chunk);
    return kept;
}

}  // namespace hfsimage

using hfsimage::Chunk;
using hfsimage::DataSource;
using hfsimage::Failure;
using hfsimage::Plan;
using hfsimage::Put16;
using hfsimage::Put32;

namespace {

constexpr uint16_t kDescriptorSignature = 0x4552;  // "ER"
constexpr uint16_t kEntrySignature = 0x504D;       // "PM"
constexpr uint32_t kMapStatus = 0x03;              // valid, allocated
constexpr uint32_t kPartitionStatus = 0x37;        // valid, allocated, in use, readable, writable
constexpr size_t kEntryTextSize = 32;

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

bool Fail(Failure* failure, QxStatus status, std::string text) {
    failure->status = status;
    failure->text = std::move(text);
    return false;
}

std::vector<uint8_t> MapEntry(uint32_t mapBlockSize, uint32_t entries, uint32_t start,
                              uint32_t blocks, const std::string& name, const std::string& type,
                              uint32_t status) {
    std::vector<uint8_t> entry(mapBlockSize, 0);
    uint8_t* e = entry.data();
    Put16(e + 0, kEntrySignature);
    Put32(e + 4, entries);
    Put32(e + 8, start);
    Put32(e + 12, blocks);
    std::memcpy(e + 16, name.data(), name.size());
    std::memcpy(e + 48, type.data(), type.size());
    Put32(e + 84, blocks);
    Put32(e + 88, status);
    return entry;
}

// Lays out the whole disc into *plan.
bool PlanDisc(const HFSImageSpec& imageSpec, Plan* plan, HFSImageLayout* layout, Failure* failure) {
    const uint32_t mbs = imageSpec.mapBlockSize;
    if (mbs != 512 && mbs != 1024 && mbs != 2048) {
        return Fail(failure, kStatusBadParameter, "the map block size must be 512, 1024 or 2048");
    }
    if (!PowerOfTwo(imageSpec.sectorSize) || imageSpec.sectorSize < 512 || imageSpec.sectorSize > 65536) {
        return Fail(failure, kStatusBadParameter,
                    "the sector size must be a power of two from 512 to 65536");
    }
    const uint32_t entries = static_cast<uint32_t>(imageSpec.partitions.size()) + 1;
    const uint32_t reserved = std::max(imageSpec.mapReservedBlocks, entries);
    const uint64_t alignment = std::max(imageSpec.sectorSize, mbs);

    plan->AddBytes(mbs, MapEntry(mbs, entries, 1, reserved, "Verin", "Verin_partition_map",
                                 kMapStatus));
    uint64_t cursor = RoundUp(uint64_t{1 + reserved} * mbs, alignment);  // bytes
    uint64_t discEnd = cursor;
    for (size_t i = 0; i < imageSpec.partitions.size(); ++i) {
        const HFSImagePartition& partition = imageSpec.partitions[i];
        const uint32_t mapBlock = static_cast<uint32_t>(i) + 2;
        if (partition.name.size() >= kEntryTextSize || partition.type.size() >= kEntryTextSize) {
            return Fail(failure, kStatusBadName,
                        "map entry " + std::to_string(mapBlock) +
                            ": names and types hold at most 31 bytes");
        }
        uint64_t start = partition.startBlock != 0 ? uint64_t{partition.startBlock} * mbs : cursor;
        uint64_t size = uint64_t{partition.blocks} * mbs;
        if (partition.volume != nullptr) {
            hfsimage::VolumeResult result;
            if (!hfsimage::PlanVolume(*partition.volume, static_cast<uint32_t>(alignment), start,
                                      plan, &result, failure)) {
                failure->text = "volume \"" + partition.volume->name + "\": " + failure->text;
                return false;
            }
            size = result.size;
            result.layout.mapEntry = mapBlock;
            if (layout != nullptr) layout->volumes.push_back(result.layout);
        }
        if (start / mbs > 0xFFFFFFFFu || size / mbs > 0xFFFFFFFFu) {
            return Fail(failure, kStatusBadParameter,
                        "map entry " + std::to_string(mapBlock) + " lies beyond 32-bit blocks");
        }
        uint32_t status = partition.type == "Verin_Free" ? 0 : kPartitionStatus;
        plan->AddBytes(uint64_t{mapBlock} * mbs,
                       MapEntry(mbs, entries, static_cast<uint32_t>(start / mbs),
                                static_cast<uint32_t>(size / mbs), partition.name,
                                partition.type, status));
        // Entries placed by the caller do not stretch the disc unless they
        // carry a volume (so that tests can point entries past the end).
        if (partition.startBlock == 0 || partition.volume != nullptr) {
            discEnd = std::max(discEnd, start + size);
        }
        if (partition.startBlock == 0) cursor = RoundUp(start + size, alignment);
    }
    plan->size = RoundUp(discEnd, imageSpec.sectorSize);

    std::vector<uint8_t> descriptor(mbs, 0);
    Put16(&descriptor[0], kDescriptorSignature);
    Put16(&descriptor[2], mbs);
    Put32(&descriptor[4], static_cast<uint32_t>(std::min<uint64_t>(plan->size / mbs, 0xFFFFFFFFu)));
    plan->AddBytes(0, std::move(descriptor));

    std::sort(plan->chunks.begin(), plan->chunks.end(),
              [](const Chunk& a, const Chunk& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < plan->chunks.size(); ++i) {
        const Chunk& before = plan->chunks[i - 1];
        if (before.offset + before.length > plan->chunks[i].offset) {
            return Fail(failure, kStatusBadParameter,
                        "partitions overlap at byte " + std::to_string(plan->chunks[i].offset));
        }
    }
    if (layout != nullptr) layout->imageSize = plan->size;
    return true;
}

// Where the image goes.
class Sink {
public:
    virtual ~Sink() = default;
    virtual QxStatus Write(const uint8_t* bytes, size_t count) = 0;
};

class MemorySink final : public Sink {
public:
    explicit MemorySink(std::vector<uint8_t>* out) : out_(out) {}
    QxStatus Write(const uint8_t* bytes, size_t count) override {
        out_->insert(out_->end(), bytes, bytes + count);
        return kStatusOK;
    }

private:
    std::vector<uint8_t>* out_;
};

class FileSink final : public Sink {
public:
    explicit FileSink(std::FILE* file) : file_(file) {}
    QxStatus Write(const uint8_t* bytes, size_t count) override {
        if (std::fwrite(bytes, 1, count, file_) != count) return errno != 0 ? errno : kStatusUnknown;
        return kStatusOK;
    }

private:
    std::FILE* file_;
};

constexpr size_t kPieceSize = 65536;

QxStatus WriteZeros(Sink* sink, uint64_t count) {
    static const uint8_t zeros[kPieceSize] = {};
    while (count > 0) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kPieceSize));
        QxStatus status = sink->Write(zeros, piece);
        if (status != kStatusOK) return status;
        count -= piece;
    }
    return kStatusOK;
}

// Streams the chunks in order with zeros between them.
QxStatus Emit(const Plan& plan, Sink* sink, Failure* failure) {
    std::vector<uint8_t> buffer(kPieceSize);
    std::ifstream host;
    const std::string* openPath = nullptr;
    uint64_t position = 0;
    for (const Chunk& chunk : plan.chunks) {
        QxStatus status = WriteZeros(sink, chunk.offset - position);
        if (status != kStatusOK) return status;
        position = chunk.offset;
        if (chunk.source == DataSource::kBytes) {
            status = sink->Write(chunk.bytes, static_cast<size_t>(chunk.length));
            if (status != kStatusOK) return status;
        } else {
            if (chunk.source == DataSource::kHost) {
                if (openPath != chunk.hostPath) {
                    host.close();
                    host.clear();
                    // Host paths are UTF-8 on every system.
                    const std::string& utf8 = *chunk.hostPath;
                    host.open(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())),
                              std::ios::binary);
                    openPath = chunk.hostPath;
                }
                host.seekg(static_cast<std::streamoff>(chunk.sourceOffset));
            }
            for (uint64_t done = 0; done < chunk.length;) {
                size_t piece = static_cast<size_t>(std::min<uint64_t>(chunk.length - done, kPieceSize));
                if (chunk.source == DataSource::kPattern) {
                    HFSImagePatternBytes(chunk.patternID, chunk.sourceOffset + done, buffer.data(), piece);
                } else if (!host.read(reinterpret_cast<char*>(buffer.data()),
                                      static_cast<std::streamsize>(piece))) {
                    failure->status = kStatusReadFailed;
                    failure->text = "cannot read " + std::to_string(piece) + " bytes at " +
                                    std::to_string(chunk.sourceOffset + done) + " of " +
                                    *chunk.hostPath;
                    return kStatusReadFailed;
                }
                status = sink->Write(buffer.data(), piece);
                if (status != kStatusOK) return status;
                done += piece;
            }
        }
        position += chunk.length;
    }
    return WriteZeros(sink, plan.size - position);
}

QxStatus Report(const Failure& failure, std::string* errorText) {
    if (errorText != nullptr) *errorText = failure.text;
    return failure.status;
}

}  // namespace

void HFSImagePatternBytes(uint32_t fileID, uint64_t offset, uint8_t* buffer, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    uint8_t record[16];
    uint32_t id = fileID % 1000000u;
    for (int i = 5; i >= 0; --i, id /= 10) record[i] = static_cast<uint8_t>('0' + id % 10);
    record[6] = ':';
    record[15] = '\n';
    uint64_t recordStart = offset / 16 * 16;
    size_t skip = static_cast<size_t>(offset - recordStart);
    size_t done = 0;
    while (done < count) {
        uint32_t low = static_cast<uint32_t>(recordStart);
        for (int i = 14; i >= 7; --i, low >>= 4) record[i] = static_cast<uint8_t>(kHex[low & 0xF]);
        size_t take = std::min<size_t>(16 - skip, count - done);
        std::memcpy(buffer + done, record + skip, take);
        done += take;
        skip = 0;
        recordStart += 16;
    }
}

QxStatus BuildDiscImage(const HFSImageSpec& imageSpec, std::vector<uint8_t>* image,
                        HFSImageLayout* layout, std::string* errorText) {
    if (image == nullptr) return kStatusBadParameter;
    try {
        Plan plan;
        Failure failure;
        HFSImageLayout placed;
        if (!PlanDisc(imageSpec, &plan, &placed, &failure)) return Report(failure, errorText);
        image->clear();
        image->reserve(static_cast<size_t>(plan.size));
        MemorySink sink(image);
        QxStatus status = Emit(plan, &sink, &failure);
        if (status != kStatusOK) {
            if (failure.status == kStatusOK) failure = {status, "cannot build the image"};
            return Report(failure, errorText);
        }
        if (layout != nullptr) *layout = std::move(placed);
        return kStatusOK;
    } catch (const std::bad_alloc&) {
        return Report({kStatusNoMemory, "out of memory"}, errorText);
    }
}

QxStatus WriteDiscImage(const HFSImageSpec& imageSpec, const std::string& path,
                        HFSImageLayout* layout, std::string* errorText) {
    try {
        Plan plan;
        Failure failure;
        HFSImageLayout placed;
        if (!PlanDisc(imageSpec, &plan, &placed, &failure)) return Report(failure, errorText);
        errno = 0;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            QxStatus status = errno != 0 ? errno : kStatusUnknown;
            return Report({status, "cannot create " + path + ": " + std::strerror(status)},
                          errorText);
        }
        FileSink sink(file);
        QxStatus status = Emit(plan, &sink, &failure);
        errno = 0;
        if (std::fclose(file) != 0 && status == kStatusOK) status = errno != 0 ? errno : kStatusUnknown;
        if (status != kStatusOK) {
            std::remove(path.c_str());
            if (failure.status == kStatusOK) {
                failure = {status, "cannot write " + path + ": " +
                                       (status > 0 ? std::strerror(status) : "unknown error")};
            }
            return Report(failure, errorText);
        }
        if (layout != nullptr) *layout = std::move(placed);
        return kStatusOK;
    } catch (const std::bad_alloc&) {
        return Report({kStatusNoMemory, "out of memory"}, errorText);
    }
}
