// The item list of an image volume: folders, files and hard links as the
// caller adds them, with names converted to decomposed UTF-16 on the way in.
//
// Only the tree is recorded here; sizes, placement and the on-disc records
// are worked out when the image is written (HFSImageLayout.cpp). Name
// clashes are found there too, since they depend on the volume's kind.
#include <algorithm>
#include <cstdio>
#include <new>

#include "HFSImageWriterInternal.h"
#include "HFSNames.h"

using hfsimage::DataSource;
using hfsimage::Item;
using hfsimage::ItemKind;

namespace {

constexpr size_t kMaxNameUnits = 255;

// Splits "a/b/c" into its components, ignoring empty ones.
std::vector<std::string_view> Components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::vector<uint16_t> Units(std::u16string_view units) {
    return std::vector<uint16_t>(units.begin(), units.end());
}

}  // namespace

namespace hfsimage {

std::vector<uint16_t> NameUnits(std::string_view utf8) {
    if (utf8.empty() || utf8.find('/') != std::string_view::npos ||
        utf8.find('\0') != std::string_view::npos) {
        return {};
    }
    uint16_t units[kMaxNameUnits + 1];
    size_t bytes = 0;
    QxStatus status = Utf8ToHfsName(kHfsNameDecompose, utf8.data(), utf8.size(), units,
                                    sizeof units, &bytes);
    size_t count = bytes / 2;
    if (status != kStatusOK || count == 0 || count > kMaxNameUnits) return {};
    return std::vector<uint16_t>(units, units + count);
}

}  // namespace hfsimage

using hfsimage::NameUnits;

Item* HFSImageVolume::Impl::Get(uint32_t cnid) {
    if (cnid < kHFSImageFirstItemID || cnid - kHFSImageFirstItemID >= items.size()) return nullptr;
    return &items[cnid - kHFSImageFirstItemID];
}

const Item* HFSImageVolume::Impl::Get(uint32_t cnid) const {
    return const_cast<Impl*>(this)->Get(cnid);
}

HFSImageVolume::HFSImageVolume(std::string volumeName)
    : name(std::move(volumeName)), impl_(std::make_unique<Impl>()) {}

HFSImageVolume::~HFSImageVolume() = default;

namespace {

bool IsFolder(const HFSImageVolume::Impl& impl, uint32_t cnid) {
    if (cnid == kHFSImageRootID) return true;
    const Item* item = impl.Get(cnid);
    return item != nullptr && item->kind == ItemKind::kFolder;
}

// Appends an item with the next CNID; 0 when the parent is no folder or
// memory runs out.
uint32_t Append(HFSImageVolume::Impl& impl, uint32_t parent, ItemKind kind,
                std::vector<uint16_t> units, std::string_view utf8Name) {
    if (!IsFolder(impl, parent) || units.empty() || units.size() > kMaxNameUnits) return 0;
    try {
        Item item;
        item.cnid = kHFSImageFirstItemID + static_cast<uint32_t>(impl.items.size());
        item.parent = parent;
        item.kind = kind;
        item.name = std::move(units);
        item.utf8Name = std::string(utf8Name);
        impl.items.push_back(std::move(item));
        return impl.items.back().cnid;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// Utf8 text of stored units, for Find on items named by units.
std::string Utf8OfUnits(std::u16string_view units) {
    char text[kMaxNameUnits * 3 + 1];
    size_t length = 0;
    std::vector<uint16_t> copy = Units(units);
    HfsNameToUtf8(copy.data(), copy.size(), text, sizeof text, &length);
    return std::string(text, length);
}

}  // namespace

uint32_t HFSImageVolume::AddFolder(uint32_t parent, std::string_view utf8Name) {
    return Append(*impl_, parent, ItemKind::kFolder, NameUnits(utf8Name), utf8Name);
}

uint32_t HFSImageVolume::AddFile(uint32_t parent, std::string_view utf8Name,
                                 std::string_view contents) {
    uint32_t cnid = Append(*impl_, parent, ItemKind::kFile, NameUnits(utf8Name), utf8Name);
    if (cnid == 0) return 0;
    try {
        Item* item = impl_->Get(cnid);
        item->bytes = std::string(contents);
        item->size = contents.size();
    } catch (const std::bad_alloc&) {
        impl_->items.pop_back();
        return 0;
    }
    return cnid;
}

uint32_t HFSImageVolume::AddPatternFile(uint32_t parent, std::string_view utf8Name,
                                        uint64_t size) {
    uint32_t cnid = Append(*impl_, parent, ItemKind::kFile, NameUnits(utf8Name), utf8Name);
    if (cnid == 0) return 0;
    Item* item = impl_->Get(cnid);
    item->source = DataSource::kPattern;
    item->size = size;
    return cnid;
}

uint32_t HFSImageVolume::AddHostFile(uint32_t parent, std::string_view utf8Name,
                                     std::string_view hostPath, uint64_t size) {
    if (hostPath.empty()) return 0;
    uint32_t cnid = Append(*impl_, parent, ItemKind::kFile, NameUnits(utf8Name), utf8Name);
    if (cnid == 0) return 0;
    try {
        Item* item = impl_->Get(cnid);
        item->source = DataSource::kHost;
        item->hostPath = std::string(hostPath);
        item->size = size;
    } catch (const std::bad_alloc&) {
        impl_->items.pop_back();
        return 0;
    }
    return cnid;
}

uint32_t HFSImageVolume::AddFolderUnits(uint32_t parent, std::u16string_view units) {
    try {
        return Append(*impl_, parent, ItemKind::kFolder, Units(units),
                      Utf8OfUnits(units));
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

uint32_t HFSImageVolume::AddFileUnits(uint32_t parent, std::u16string_view units,
                                      std::string_view contents) {
    try {
        uint32_t cnid = Append(*impl_, parent, ItemKind::kFile, Units(units),
                               Utf8OfUnits(units));
        if (cnid == 0) return 0;
        Item* item = impl_->Get(cnid);
        item->bytes = std::string(contents);
        item->size = contents.size();
        return cnid;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

uint32_t HFSImageVolume::AddHardLink(uint32_t parent, std::string_view utf8Name,
                                     uint32_t fileID) {
    Impl& impl = *impl_;
    Item* target = impl.Get(fileID);
    std::vector<uint16_t> units = NameUnits(utf8Name);
    if (target == nullptr || target->kind != ItemKind::kFile || !IsFolder(impl, parent) ||
        units.empty()) {
        return 0;
    }
    try {
        if (impl.privateFolder == 0) {
            // Four U+0000 first, so that the folder sorts after every other
            // name in the root and nobody types it by accident.
            std::u16string privateName(4, u'\0');
            privateName += u"HFS+ Private Data";
            impl.privateFolder = AddFolderUnits(kHFSImageRootID, privateName);
            if (impl.privateFolder == 0) return 0;
            target = impl.Get(fileID);
        }
        if (target->linkCount == 0) {
            // The file moves into the private folder as its indirect node
            // file and a link record takes its place.
            uint32_t oldParent = target->parent;
            std::vector<uint16_t> oldName = target->name;
            std::string oldUtf8 = target->utf8Name;
            char nodeName[24];
            std::snprintf(nodeName, sizeof nodeName, "iNode%u", static_cast<unsigned>(fileID));
            target->parent = impl.privateFolder;
            target->name = NameUnits(nodeName);
            target->utf8Name = nodeName;
            uint32_t link = Append(impl, oldParent, ItemKind::kLink, oldName, oldUtf8);
            if (link == 0) return 0;
            impl.Get(link)->inode = fileID;
            target = impl.Get(fileID);
            target->linkCount = 1;
        }
        uint32_t link = Append(impl, parent, ItemKind::kLink, units, utf8Name);
        if (link == 0) return 0;
        impl.Get(link)->inode = fileID;
        impl.Get(fileID)->linkCount++;
        return link;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool HFSImageVolume::Fragment(uint32_t fileID, uint32_t extentCount) {
    Item* item = impl_->Get(fileID);
    if (item == nullptr || item->kind != ItemKind::kFile || extentCount == 0) return false;
    // Each piece needs a block at least; the block size may still change, so
    // the layout checks this again with the real one.
    if (extentCount > 1 && extentCount > (item->size + 511) / 512) return false;
    item->extentCount = extentCount;
    return true;
}

uint32_t HFSImageVolume::Find(std::string_view utf8Path) const {
    uint32_t current = kHFSImageRootID;
    for (std::string_view part : Components(utf8Path)) {
        uint32_t found = 0;
        for (const Item& item : impl_->items) {
            if (item.parent == current && item.utf8Name == part) {
                found = item.cnid;
                break;
            }
        }
        if (found == 0) return 0;
        current = found;
    }
    return current;
}

uint32_t HFSImageVolume::MakeFolders(std::string_view utf8Path) {
    uint32_t current = kHFSImageRootID;
    for (std::string_view part : Components(utf8Path)) {
        uint32_t found = 0;
        for (const Item& item : impl_->items) {
            if (item.parent == current && item.utf8Name == part) {
                found = item.cnid;
                break;
            }
        }
        if (found == 0) {
            found = AddFolder(current, part);
        } else if (impl_->Get(found)->kind != ItemKind::kFolder) {
            return 0;
        }
        if (found == 0) return 0;
        current = found;
    }
    return current;
}

HFSImageVolume& HFSImageSpec::AddVolume(std::string volumeName) {
    HFSImagePartition entry;
    // Map entry names hold 31 bytes; cut on a character boundary.
    size_t cut = std::min<size_t>(volumeName.size(), 31);
    while (cut > 0 && cut < volumeName.size() &&
           (static_cast<uint8_t>(volumeName[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    entry.name = volumeName.substr(0, cut);
    entry.type = "Verin_HFS";
    entry.volume = std::make_shared<HFSImageVolume>(std::move(volumeName));
    partitions.push_back(std::move(entry));
    return *partitions.back().volume;
}

void HFSImageSpec::AddEntry(std::string entryName, std::string entryType, uint32_t blocks) {
    HFSImagePartition entry;
    entry.name = std::move(entryName);
    entry.type = std::move(entryType);
    entry.blocks = blocks;
    partitions.push_back(std::move(entry));
}
