// Client records; see NetBootClients.h.
#include "NetBootClients.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "QxPlatformDevice.h"

namespace {

std::string HardwareText(const NetBootClients::Key& key) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", key[0], key[1], key[2], key[3],
             key[4], key[5]);
    return text;
}

bool ParseHardware(const std::string& text, NetBootClients::Key* key) {
    unsigned bytes[6];
    char tail = 0;
    if (text.size() != 17 || sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0],
                                     &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5],
                                     &tail) != 6) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) (*key)[i] = static_cast<uint8_t>(bytes[i]);
    return true;
}

// Tabs and line ends would break the file: a client's model is its own text.
std::string Clean(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
    return out;
}

}  // namespace

NetBootClients::NetBootClients(std::string path, size_t limit)
    : path_(std::move(path)), limit_(limit == 0 ? 1 : limit) {
    Load();
}

void NetBootClients::Load() {
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream stream(line);
        for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
        Key key{};
        if (fields.size() != 6 || !ParseHardware(fields[0], &key)) continue;
        char* end = nullptr;
        unsigned long id = strtoul(fields[1].c_str(), &end, 16);
        if (fields[1].size() != 8 || *end != '\0' || (id & 0xFFFF) == 0) continue;
        NetBootClientRecord record;
        record.imageID = static_cast<uint32_t>(id);
        record.architecture = fields[2];
        record.model = fields[3];
        record.address = fields[4];
        record.lastBoot = strtoll(fields[5].c_str(), nullptr, 10);
        records_[key] = record;
    }
    // A file from a run with a larger bound keeps its newest records.
    while (records_.size() > limit_) {
        auto oldest = records_.begin();
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (it->second.lastBoot < oldest->second.lastBoot) oldest = it;
        }
        records_.erase(oldest);
    }
}

QxStatus NetBootClients::Save() const {
    std::string text = "# tamsor-serve: clients that booted from this server\n";
    for (const auto& [key, record] : records_) {
        char id[9];
        snprintf(id, sizeof id, "%08X", record.imageID);
        text += HardwareText(key) + "\t" + id + "\t" + Clean(record.architecture) + "\t" +
                Clean(record.model) + "\t" + Clean(record.address) + "\t" +
                std::to_string(record.lastBoot) + "\n";
    }
    return QxPlatformFileReplace(path_.c_str(), text.data(), text.size());
}

const NetBootClientRecord* NetBootClients::Find(const Key& hardware) const {
    auto found = records_.find(hardware);
    return found != records_.end() ? &found->second : nullptr;
}

QxStatus NetBootClients::Record(const Key& hardware, const NetBootClientRecord& record) {
    if (records_.find(hardware) == records_.end() && records_.size() >= limit_) {
        auto oldest = records_.begin();
        for (auto it = records_.begin(); it != records_.end(); ++it) {
            if (it->second.lastBoot < oldest->second.lastBoot) oldest = it;
        }
        records_.erase(oldest);
    }
    records_[hardware] = record;
    return Save();
}

QxStatus NetBootClients::Forget(const Key& hardware) {
    if (records_.erase(hardware) == 0) return kStatusOK;
    return Save();
}

uint16_t NetBootClients::Priority() const {
    return records_.size() >= kNetBootPriorityBase
               ? 0
               : static_cast<uint16_t>(kNetBootPriorityBase - records_.size());
}
