// tamsor-serve's engine: the network boot services from the console on a
// drive or an image file, as the program runs them and the tests drive them.
//
//   Run                 the whole program (options, start, loop, stop)
//   ParseOptions        the command line into Options
//   ResolveDiscs        the arguments into discs; ListInstallVolumes: --list
//   StartServing        services up on the first disc, the start line written
//   HandleEvent         the event sink (console text or JSON lines)
//   StopServing         everything StartServing took, released
//
// Output: text by default; with --json one object per line on out, each
// with an "event" member, and a "client" member (its address) in every one
// about a client:
//
//   start      bsdp, tftp, http (the ports)
//   serving    volume, path, from, advertised
//   listed     client, hardware, image (a BSDP LIST was answered; the
//              default image listed), omitted (entries left out for room)
//   selected   client, hardware, image (a BSDP SELECT was answered; no
//              image when the ID asked for was refused)
//   image      file, then name, id, default, or problem (--library: an
//              image offered or left out)
//   transfer   client, file, size, bytes, seconds, rate (bytes/s), reason (0:
//              whole file sent; every TFTP transfer at its end), blksize and
//              windowsize (as granted), position (after a failed disc read:
//              where)
//   loaded     file, client (a client has its booter; every client with
//              --keep-booting)
//   reading    client, path (the first read of the image on a connection)
//   served     client, bytes, seconds (an HTTP connection that read ended)
//   started    client (the installer on the client runs)
//   progress   percentage, status, remaining, client
//   success, failure   client
//   summary    client, hardware, phase, percentage, bytes, status (one per
//              client when the server stops)
//   message    text (any other news, as the text output words it)
//   status     url (with --status: where the status page is)
//   stop
//
// In text, a line about a client begins with its address and a colon. On a
// terminal that can be redrawn, the clients are a live table instead (one
// row each, ClientTable.h), redrawn in place at most kTableInterval apart,
// with the server's own news above it; event dumps then stay off a terminal
// standard error, which would tear the table. Errors stay one text line on
// err in both modes. Not here: the services' own settings (time-outs and
// limits beyond the ports and TFTP's block and window limits).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "BSDPServer.h"
#include "ClientTable.h"
#include "ServeLibrary.h"
#include "TFTPServer.h"
#include "QxLStatus.h"
#include "QxRunLoop.h"
#include "StatusServer.h"

namespace tamsorserve {

constexpr char kImageDevice[] = "\\\\.\\CdRom0";
constexpr char kDevicePrefix[] = "\\\\.\\";
// What the wizard sets too: the volume name, then this computer's name.
constexpr char kImageNameFormat[] = "%1$@ (%2$@)";
// How often an empty drive is looked at while a disc is awaited.
constexpr double kDrivePollInterval = 2.0;
// The longest the loop sleeps before it looks at the stop flag (a Windows
// console handler cannot wake the pump).
constexpr double kPumpSlice = 0.25;
constexpr int kProgressBarWidth = 30;
// Clients remembered at most; beyond it the longest idle is forgotten.
constexpr uint32_t kDefaultMaxClients = 1024;
// The live table is redrawn at most this often (seconds).
constexpr double kTableInterval = 0.25;

struct Options {
    std::vector<std::string> discs;  // as given
    std::string volumeName;          // --volume; empty: the first install volume
    bool diagnostics = false;
    bool list = false;
    uint16_t bsdpPort = kBsdpPort;
    uint16_t tftpPort = 0;           // 0: the system's choice, announced by BSDP
    uint32_t tftpMaxBlockSize = 0;   // 0: no limit but the path's
    uint32_t tftpMaxWindow = kTftpMaxWindowSize;
    bool keepBooting = false;        // BSDP and TFTP stay up for further clients
    bool json = false;               // one JSON object per line on out
    std::string status;              // --status: ADDRESS:PORT of the status page; empty: none
    std::string library;             // --library: the folder of images
    std::string stateFolder;         // --state-dir: where image IDs are kept
    uint64_t dmgCacheMiB = 0;        // --dmg-cache; 0: the image layer's default
    uint32_t clientLimit = 8;        // --max-connections-per-client; 0: no limit
    uint32_t sendTimeout = 60;       // --send-timeout, seconds
    uint32_t bsdpRate = kBsdpRatePerSecond;  // --bsdp-rate: answers a second to one address
    uint32_t maxClients = kDefaultMaxClients;  // --max-clients: rows kept
};

// One disc of the command line, or the drives when none was given.
struct Disc {
    std::string argument;    // for messages
    std::string devicePath;  // the drive; empty: every drive
    std::string image;       // image file bound to kImageDevice; empty: a drive
    bool used = false;       // served already (or tried and refused)
};

struct Volume {
    std::string name;
    std::string path;  // pfs:<device>#<partition>
    bool install = false;
    bool diagnostics = false;
};

// Everything one run of the server holds.
struct Server {
    FILE* out = stdout;
    FILE* err = stderr;
    Options options;
    std::vector<Disc> discs;
    size_t current = 0;            // index of the disc being served
    Volume volume;                 // the volume being served
    bool serving = false;          // a volume is prepared
    bool clientConnected = false;  // a boot file transfer has completed
    bool awaitingNextDisc = false;
    bool driveSeenEmpty = false;   // the drive had no volume since the eject
    std::string nextDiscName;
    bool terminal = false;         // out is a terminal: progress on one line
    bool errTerminal = false;      // err is one too: dumps end that line first
    bool progressLineOpen = false; // the cursor sits at the end of that line
    size_t progressLineLength = 0; // characters of that line
    int lastPercentage = -1;
    std::string progressText;
    std::string remainingText;
    QxLObjectRef pendingEject = nullptr;   // held until the deferred handling
    QxRunLoopTimerRef ejectTimer = nullptr;
    QxRunLoopTimerRef driveTimer = nullptr;
    std::vector<ClientRow> clients;  // in the order they were first heard of
    bool table = false;              // the live table is shown on out
    int screenRows = 24;
    int screenColumns = 80;
    size_t tableLines = 0;           // lines of the table on the screen now
    bool tableDirty = false;         // a fact changed since the last drawing
    double tableDrawn = 0;           // run-loop clock of the last drawing
    QxRunLoopTimerRef tableTimer = nullptr;
    StatusCounters statusCounters;   // what the clients did, for the status server
    StatusServer* statusServer = nullptr;
    int64_t startedAt = 0;           // seconds since 1970
    Library library;                 // --library
    volatile bool stopRequested = false;
};

// 0, or the exit code of bad usage (2) with its message written to err.
int ParseOptions(int argc, char** argv, Options* options, FILE* err);

// Turns server.options.discs into server.discs. 0, or 1 with the reason on
// err (a missing or unreadable image, a folder).
int ResolveDiscs(Server& server);

// --list: the install volumes of every disc on out. 0, or 1 when none.
int ListInstallVolumes(Server& server);

// Brings the services up on the first disc and writes the start line (or
// object) and the volume served. Needs the socket layer and the run loop.
// 0, or the exit code with its reason written; StopServing undoes either way.
int StartServing(Server& server);

// The event sink; context is the Server. Always returns kStatusOK.
QxStatus HandleEvent(QxLObjectRef event, void* context);

// Stops the services and lets go of everything StartServing took. Safe twice.
void StopServing(Server& server);

// The closing summary: one line (or "summary" object) per client.
void WriteSummary(Server& server);

// Draws the live table now (when it is shown), replacing the one drawn
// before.
void DrawTable(Server& server);

// text as a JSON string, quoted and escaped; every byte that is not part
// of a well-formed UTF-8 character becomes U+FFFD, so the result is valid
// JSON whatever text holds (a file name may hold any bytes).
std::string JsonString(const std::string& text);

// Whether text is well-formed UTF-8 throughout.
bool Utf8Valid(const std::string& text);

// The whole program with output to out and err; returns the exit code
// (0 after a stop request or --list, 1 when the disc cannot be served,
// 2 for bad usage).
int Run(int argc, char** argv, FILE* out, FILE* err);

}  // namespace tamsorserve
