// What tamsor-serve knows about each client it serves, and the words for
// it: the rows of the live table on a terminal and the closing summary.
//
// A client is known by its address as the services report it ("10.0.0.7");
// its hardware address comes from its BSDP requests. Its phase follows the
// road of a boot:
//
//   phase       reached when
//   listed      a BSDP LIST was answered
//   selected    a BSDP SELECT was answered
//   booter      the booter is being sent (or was)
//   kernel      the kernel is being sent (or was)
//   cache       the kernel-extension cache is being sent (or was)
//   mounted     the root image was first read over HTTP
//   installing  the installer has started; with its percentage and status
//   done        the installer reported success
//   failed      a boot file could not be sent, or the installer failed
//
// Not here: where the facts come from (TamsorServe.cpp's event sink) and the
// drawing on the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tamsorserve {

struct ClientRow {
    std::string address;
    std::string hardware;      // "00:16:cb:ab:cd:ef"; empty until BSDP tells
    std::string phase;         // see above; empty before the first fact
    int percentage = -1;       // the installer's, -1 before any
    std::string status;        // the installer's status, or what failed
    uint64_t bytesServed = 0;  // boot files and image bytes sent
    double lastActivity = 0;   // run-loop clock of the latest fact
    std::string image;         // the image it selected (or was offered first)
    uint32_t imageId = 0;      // that image's ID; 0 while none
};

// The row of address, added at the end when new. With `limit` rows
// already, the one idle longest (lowest lastActivity) goes first, so that
// no number of senders grows the rows beyond it.
ClientRow& ClientRowFor(std::vector<ClientRow>& rows, const std::string& address,
                        size_t limit = SIZE_MAX);

// The phase a boot file's name stands for: booter, cache (".mkext") or
// kernel.
const char* PhaseOfBootFile(const std::string& file);

// Whether phase comes before "mounted" (so that a later image read moves a
// client on, while one that installs stays where it is).
bool PhaseBeforeMounted(const std::string& phase);

// 1536 -> "1.5 KB", 12500000 -> "12.5 MB" (decimal units).
std::string ByteCount(uint64_t bytes);

// The live table: a heading and one line per client, each at most
// columns - 1 characters; when the clients do not fit in `rows` lines, the
// most recently active ones and a last line counting the others.
std::vector<std::string> TableLines(const std::vector<ClientRow>& clients, double now, int rows,
                                    int columns);

// One line of the closing summary: address, hardware address, outcome and
// bytes served.
std::string SummaryLine(const ClientRow& client);

}  // namespace tamsorserve
