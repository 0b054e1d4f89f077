// Client records: what a server remembers of each client that booted from
// it, one record per hardware address, kept in one file of the state folder
// so that it outlives a restart.
//
// A record is made or renewed by a SELECT this server answered, and dropped
// when the client selects another server. A LIST then offers the client its
// recorded image again (while the client may still see it), and the number
// of records lowers the server's priority, so that a lab's clients spread
// over the servers that offer the same images.
//
// File (written whole and atomically after every change; a line that does
// not parse is skipped when read):
//   # comment
//   HARDWARE<tab>ID<tab>ARCH<tab>MODEL<tab>ADDRESS<tab>LAST BOOT
//   02:00:00:11:aa:44  81001000  i386  Talvyn5,1  10.0.0.7  1765250000
// ID in 8 hex digits, last boot in seconds since 1970. At most the bound's
// number of records: when a new client would pass it, the record that
// booted longest ago goes first.
//
// Run-loop thread only. Not here: the BSDP packets that use the records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "QxLStatus.h"

inline constexpr char kNetBootClientsFileName[] = "clients";
inline constexpr size_t kNetBootClientsLimit = 4096;
// Priority with no records; each record lowers it by one, down to 0.
inline constexpr uint32_t kNetBootPriorityBase = 32768;

struct NetBootClientRecord {
    uint32_t imageID = 0;
    std::string architecture;
    std::string model;
    std::string address;   // the client's IPv4 address, dotted
    int64_t lastBoot = 0;  // seconds since 1970
};

class NetBootClients {
public:
    using Key = std::array<uint8_t, 6>;

    // path: the records file (read now when it exists). limit: the bound.
    NetBootClients(std::string path, size_t limit = kNetBootClientsLimit);

    // The record of a client, or null.
    const NetBootClientRecord* Find(const Key& hardware) const;
    // Makes or renews a record and writes the file. The file's status
    // (the record is kept in memory even when writing fails).
    QxStatus Record(const Key& hardware, const NetBootClientRecord& record);
    // Drops a record (when there is one) and writes the file.
    QxStatus Forget(const Key& hardware);

    size_t Count() const { return records_.size(); }
    // kNetBootPriorityBase minus the records, not below 0.
    uint16_t Priority() const;
    const std::map<Key, NetBootClientRecord>& Records() const { return records_; }

private:
    void Load();
    QxStatus Save() const;

    std::string path_;
    size_t limit_;
    std::map<Key, NetBootClientRecord> records_;
};
