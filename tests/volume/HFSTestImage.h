// Test support for the HFS+ reader: builds a disc image with the image
// writer, lets a test damage its bytes, writes it to a temporary file bound
// to a device path of its own, and mounts its volumes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BlockDevice.h"
#include "DeviceBinding.h"
#include "HFSCatalog.h"
#include "HFSImageWriter.h"
#include "HFSVolume.h"
#include "VolumePartition.h"

namespace hfstest {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t Get32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v >> 16);
    Put16(p + 2, v & 0xFFFF);
}

// A record found in a B-tree node of the image.
struct NodeRecord {
    uint8_t* node = nullptr;  // start of the node in the image bytes
    uint32_t nodeNumber = 0;
    uint32_t index = 0;
    uint8_t* record = nullptr;  // the record (its key first)
    uint8_t* data = nullptr;    // after the key
};

class TestDisc {
public:
    TestDisc() {
        static std::atomic<int> counter{0};
        int number = counter++;
        long long now = std::chrono::steady_clock::now().time_since_epoch().count();
        devicePath_ = "\\\\.\\HFSTest" + std::to_string(number);
        file_ = std::filesystem::temp_directory_path() /
                ("tamsor-hfs-" + std::to_string(now) + "-" + std::to_string(number) + ".img");
    }
    ~TestDisc() {
        Close();
        DeviceUnbind(devicePath_.c_str());
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
    TestDisc(const TestDisc&) = delete;
    TestDisc& operator=(const TestDisc&) = delete;

    // Builds the image in memory; false (with the writer's text) on failure.
    bool Build(const HFSImageSpec& imageSpec) {
        std::string error;
        QxStatus status = BuildDiscImage(imageSpec, &bytes, &layout, &error);
        EXPECT_EQ(status, kStatusOK) << error;
        return status == kStatusOK;
    }

    // Writes the bytes, binds them and opens the device (which mounts every
    // volume the partition map names).
    QxStatus Open(uint32_t sectorSize = 2048) {
        Close();
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) return kStatusUnknown;
        QxStatus status = DeviceBindImage(devicePath_.c_str(), file_.string().c_str(), sectorSize);
        if (status != kStatusOK) return status;
        return OpenDevice(devicePath_.c_str(), -1, &device);
    }

    void Close() {
        for (HFSVolume* volume : mounted_) UnmountVolume(volume);
        mounted_.clear();
        partitions_.clear();
        if (device != nullptr) ReleaseDevice(device);
        device = nullptr;
    }

    // The volume the device's scan mounted for partition i, or null.
    HFSVolume* Volume(size_t i = 0) const {
        VolumePartition* partition = device != nullptr ? device->partitions : nullptr;
        for (; partition != nullptr && i > 0; i--) partition = partition->next;
        return partition != nullptr ? partition->volume : nullptr;
    }

    // Mounts volume i of the layout on a partition record of the test's own,
    // so that the mount's status is seen even when the scan dropped it. The
    // volume is unmounted by Close.
    QxStatus Mount(size_t i, HFSVolume** volume) {
        partitions_.emplace_back();
        VolumePartition& partition = partitions_.back();
        memset(&partition, 0, sizeof partition);
        partition.kind = kPartitionKindHFSPlus;
        partition.device = device;
        partition.startOffset = layout.volumes[i].partitionOffset;
        partition.startSector = partition.startOffset / device->sectorSize;
        HFSVolume* mounted = nullptr;
        QxStatus status = MountVolume(&partition, &mounted);
        if (status == kStatusOK) {
            mounted_.push_back(mounted);
            *volume = mounted;
        }
        return status;
    }

    // Damaging: the raw bytes of node n of the catalog / extents file.
    uint8_t* CatalogNode(uint32_t n, size_t v = 0) {
        const HFSImageVolumeLayout& l = layout.volumes[v];
        return bytes.data() + l.catalogOffset + static_cast<uint64_t>(n) * l.catalogNodeSize;
    }
    uint8_t* ExtentsNode(uint32_t n, size_t v = 0) {
        const HFSImageVolumeLayout& l = layout.volumes[v];
        return bytes.data() + l.extentsOffset + static_cast<uint64_t>(n) * l.extentsNodeSize;
    }
    // The volume header of volume v.
    uint8_t* Header(size_t v = 0) { return bytes.data() + layout.volumes[v].volumeOffset + 1024; }

    // Finds the catalog leaf record with key (parentID, name as UTF-16).
    bool FindCatalogRecord(uint32_t parentID, const std::u16string& name, NodeRecord* found,
                           size_t v = 0) {
        const HFSImageVolumeLayout& l = layout.volumes[v];
        for (uint32_t n = 1; n < l.catalogNodes; n++) {
            uint8_t* node = CatalogNode(n, v);
            if (static_cast<int8_t>(node[8]) != -1) continue;
            uint32_t count = Get16(node + 10);
            for (uint32_t i = 0; i < count; i++) {
                uint8_t* record = node + Get16(node + l.catalogNodeSize - 2 * (i + 1));
                if (Get32(record + 2) != parentID || Get16(record + 6) != name.size()) continue;
                bool same = true;
                for (size_t u = 0; u < name.size() && same; u++) {
                    same = Get16(record + 8 + 2 * u) == name[u];
                }
                if (!same) continue;
                *found = NodeRecord{node, n, i, record, record + 2 + Get16(record)};
                return true;
            }
        }
        return false;
    }
    // The thread record of cnid.
    bool FindThread(uint32_t cnid, NodeRecord* found, size_t v = 0) {
        return FindCatalogRecord(cnid, u"", found, v);
    }
    // Leaf nodes of a tree, in forward-link order from the first leaf.
    std::vector<uint32_t> Leaves(bool catalog, size_t v = 0) {
        uint8_t* header = catalog ? CatalogNode(0, v) : ExtentsNode(0, v);
        std::vector<uint32_t> leaves;
        for (uint32_t n = Get32(header + 14 + 10); n != 0 && leaves.size() < 100000;) {
            leaves.push_back(n);
            n = Get32(catalog ? CatalogNode(n, v) : ExtentsNode(n, v));
        }
        return leaves;
    }

    std::vector<uint8_t> bytes;
    HFSImageLayout layout;
    BlockDevice* device = nullptr;

private:
    std::string devicePath_;
    std::filesystem::path file_;
    std::deque<VolumePartition> partitions_;
    std::vector<HFSVolume*> mounted_;
};

// The expected bytes of a pattern file.
inline std::vector<uint8_t> Pattern(uint32_t fileID, uint64_t offset, size_t count) {
    std::vector<uint8_t> bytes(count);
    HFSImagePatternBytes(fileID, offset, bytes.data(), count);
    return bytes;
}

// Reads a whole fork.
inline QxStatus ReadAll(HFSFork* fork, std::vector<uint8_t>* out) {
    out->assign(static_cast<size_t>(fork->logicalSize), 0);
    return ReadFork(fork, 0, static_cast<uint32_t>(out->size()), out->data());
}

}  // namespace hfstest
