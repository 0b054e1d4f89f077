// B-tree packing: sorted records -> leaf nodes, index levels above them, and
// the header node, in the on-disc form shared by HFS and HFS+.
//
// Node (nodeSize bytes, big-endian):
//   0   u32  forward link (next node of the same level, 0 at the end)
//   4   u32  backward link
//   8   s8   kind: -1 leaf, 0 index, 1 header
//   9   u8   height: 1 for leaves, one more per level up; 0 for the header
//   10  u16  number of records
//   12  u16  reserved
//   14  ...  records; the u16 offset of record i sits at nodeSize - 2 (i + 1),
//            and the one after the last record marks the start of free space
//
// Header node (node 0): three records, the header record (106 bytes at 14),
// the user data record (128 zero bytes at 120) and the map record (the rest,
// nodeSize - 256 bytes at 248: one bit per node, most significant first,
// set for nodes in use).
//
// Header record (offsets within it):
//   0 u16 treeDepth   2 u32 rootNode    6 u32 leafRecords  10 u32 firstLeafNode
//   14 u32 lastLeafNode  18 u16 nodeSize  20 u16 maxKeyLength  22 u32 totalNodes
//   26 u32 freeNodes  30 u16 reserved  32 u32 clumpSize  36 u8 btreeType
//   37 u8 keyCompareType  38 u32 attributes  42 64 bytes reserved
//
// Nodes are numbered: header 0, then the leaves in key order, then each
// index level from the bottom up, so the root is the last node in use.
// Leaves fill greedily (or up to maxRecordsPerNode). Map nodes are not
// written: a tree must fit the header's map record.
#include <algorithm>
#include <cstring>
#include <string>

#include "HFSImageWriterInternal.h"

namespace hfsimage {
namespace {

constexpr uint32_t kDescriptorSize = 14;
constexpr uint32_t kHeaderRecordSize = 106;
constexpr uint32_t kUserRecordSize = 128;
constexpr int8_t kLeafKind = -1;
constexpr int8_t kIndexKind = 0;
constexpr int8_t kHeaderKind = 1;

size_t RecordSize(const Record& record) { return record.key.size() + record.data.size(); }

// Records of one node.
using NodeRecords = std::vector<Record>;
// All nodes of one level, in key order.
using Level = std::vector<NodeRecords>;

bool FillLevel(std::vector<Record> records, const BTreeParams& params, Level* level,
               Failure* failure) {
    size_t used = kDescriptorSize + 2;  // descriptor and the free-space offset
    level->emplace_back();
    for (Record& record : records) {
        size_t size = RecordSize(record) + 2;
        if (kDescriptorSize + 2 + size > params.nodeSize) {
            failure->status = kStatusBadParameter;
            failure->text = "a B-tree record of " + std::to_string(size - 2) +
                            " bytes does not fit in a node of " +
                            std::to_string(params.nodeSize);
            return false;
        }
        NodeRecords& node = level->back();
        bool full = used + size > params.nodeSize ||
                    (params.maxRecordsPerNode != 0 && node.size() >= params.maxRecordsPerNode);
        if (full) {
            level->emplace_back();
            used = kDescriptorSize + 2;
        }
        level->back().push_back(std::move(record));
        used += size;
    }
    return true;
}

// The index record that points at a node: the node's first key (padded to
// maxKeyLength when index keys have fixed length) and the node number.
Record IndexRecord(const Record& first, const BTreeParams& params, uint32_t child) {
    Record index;
    if (params.variableIndexKeys) {
        index.key = first.key;
    } else {
        index.key.assign(2 + params.maxKeyLength + (params.maxKeyLength & 1), 0);
        size_t copy = std::min(first.key.size(), index.key.size());
        std::memcpy(index.key.data(), first.key.data(), copy);
        Put16(index.key.data(), params.maxKeyLength);
    }
    index.data.resize(4);
    Put32(index.data.data(), child);
    return index;
}

// Splits records into levels, leaves first. Node numbers follow the
// numbering above. An empty tree has no levels.
bool MakeLevels(const std::vector<Record>& records, const BTreeParams& params,
                std::vector<Level>* levels, Failure* failure) {
    if (params.maxRecordsPerNode == 1) {
        failure->status = kStatusBadParameter;
        failure->text = "B-tree nodes must be allowed at least 2 records";
        return false;
    }
    if (records.empty()) return true;
    levels->emplace_back();
    if (!FillLevel(records, params, &levels->back(), failure)) return false;
    uint32_t nextNode = 1;
    while (levels->back().size() > 1) {
        if (params.classicHFS) {
            failure->status = kStatusBadParameter;
            failure->text = "the wrapper's B-trees hold one leaf only";
            return false;
        }
        const Level& below = levels->back();
        std::vector<Record> indexRecords;
        for (size_t i = 0; i < below.size(); ++i) {
            indexRecords.push_back(
                IndexRecord(below[i].front(), params, nextNode + static_cast<uint32_t>(i)));
        }
        nextNode += static_cast<uint32_t>(below.size());
        Level above;
        if (!FillLevel(std::move(indexRecords), params, &above, failure)) return false;
        levels->push_back(std::move(above));
    }
    return true;
}

void WriteNode(uint8_t* node, uint32_t nodeSize, const NodeRecords& records, int8_t kind,
               uint32_t height, uint32_t forward, uint32_t backward) {
    Put32(node + 0, forward);
    Put32(node + 4, backward);
    node[8] = static_cast<uint8_t>(kind);
    node[9] = static_cast<uint8_t>(height);
    Put16(node + 10, static_cast<uint32_t>(records.size()));
    uint32_t offset = kDescriptorSize;
    for (size_t i = 0; i < records.size(); ++i) {
        Put16(node + nodeSize - 2 * (i + 1), offset);
        const Record& record = records[i];
        std::memcpy(node + offset, record.key.data(), record.key.size());
        offset += static_cast<uint32_t>(record.key.size());
        std::memcpy(node + offset, record.data.data(), record.data.size());
        offset += static_cast<uint32_t>(record.data.size());
    }
    Put16(node + nodeSize - 2 * (records.size() + 1), offset);
}

}  // namespace

bool CountBTreeNodes(const std::vector<Record>& records, const BTreeParams& params,
                     uint32_t* nodes, Failure* failure) {
    std::vector<Level> levels;
    if (!MakeLevels(records, params, &levels, failure)) return false;
    uint32_t count = 1;
    for (const Level& level : levels) count += static_cast<uint32_t>(level.size());
    *nodes = count;
    return true;
}

bool BuildBTree(const std::vector<Record>& records, const BTreeParams& params,
                uint32_t totalNodes, uint32_t clumpSize, BTreeImage* tree, Failure* failure) {
    std::vector<Level> levels;
    if (!MakeLevels(records, params, &levels, failure)) return false;
    uint32_t used = 1;
    for (const Level& level : levels) used += static_cast<uint32_t>(level.size());
    uint32_t mapBits = (params.nodeSize - 256) * 8;
    if (totalNodes < used || totalNodes > mapBits) {
        failure->status = kStatusBadParameter;
        failure->text = "a B-tree of " + std::to_string(totalNodes) +
                        " nodes does not fit the header node's map";
        return false;
    }
    const uint32_t nodeSize = params.nodeSize;
    tree->bytes.assign(static_cast<size_t>(totalNodes) * nodeSize, 0);
    tree->usedNodes = used;
    tree->totalNodes = totalNodes;
    tree->depth = static_cast<uint32_t>(levels.size());
    tree->root = used - 1;  // the last node written; 0 for an empty tree
    tree->firstLeaf = levels.empty() ? 0 : 1;
    tree->lastLeaf = levels.empty() ? 0 : static_cast<uint32_t>(levels[0].size());

    uint32_t first = 1;
    for (size_t height = 0; height < levels.size(); ++height) {
        const Level& level = levels[height];
        uint32_t count = static_cast<uint32_t>(level.size());
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t number = first + i;
            WriteNode(&tree->bytes[static_cast<size_t>(number) * nodeSize], nodeSize, level[i],
                      height == 0 ? kLeafKind : kIndexKind, static_cast<uint32_t>(height + 1),
                      i + 1 < count ? number + 1 : 0, i > 0 ? number - 1 : 0);
        }
        first += count;
    }

    uint32_t leafRecords = 0;
    if (!levels.empty()) {
        for (const NodeRecords& node : levels[0]) leafRecords += static_cast<uint32_t>(node.size());
    }
    uint8_t* header = tree->bytes.data();
    header[8] = static_cast<uint8_t>(kHeaderKind);
    Put16(header + 10, 3);
    uint8_t* h = header + kDescriptorSize;
    Put16(h + 0, tree->depth);
    Put32(h + 2, tree->root);
    Put32(h + 6, leafRecords);
    Put32(h + 10, tree->firstLeaf);
    Put32(h + 14, tree->lastLeaf);
    Put16(h + 18, nodeSize);
    Put16(h + 20, params.maxKeyLength);
    Put32(h + 22, totalNodes);
    Put32(h + 26, totalNodes - used);
    Put32(h + 32, clumpSize);
    h[36] = 0;  // btreeType: a file system tree
    h[37] = params.keyCompareType;
    Put32(h + 38, params.attributes);
    uint32_t userOffset = kDescriptorSize + kHeaderRecordSize;
    uint32_t mapOffset = userOffset + kUserRecordSize;
    Put16(header + nodeSize - 2, kDescriptorSize);
    Put16(header + nodeSize - 4, userOffset);
    Put16(header + nodeSize - 6, mapOffset);
    Put16(header + nodeSize - 8, nodeSize - 8);
    for (uint32_t node = 0; node < used; ++node) {
        header[mapOffset + node / 8] |= static_cast<uint8_t>(0x80u >> (node % 8));
    }
    return true;
}

}  // namespace hfsimage
