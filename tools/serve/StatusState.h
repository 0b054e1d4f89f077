// What tamsor-serve's status server shows, and its three forms: the state
// as one JSON object, the counters as Prometheus text, and the page that
// shows the JSON live in a browser.
//
// The counters are fed from the services' events, the very events that
// feed the live table (StatusCountEvent, from the event sink); a snapshot
// is copied from the server whenever a request needs one, so the page, the
// JSON and the metrics of one moment say the same. Bytes count when sent:
// a transfer or connection still under way counts with what it has sent so
// far, in the client's row and in the byte counters alike.
//
//   counter              fed by
//   bsdpList/Select      BSDPList, BSDPSelect (a reply was sent)
//   tftpComplete/Failed  TFTPClose, by its Reason
//   tftpBytes            TFTPClose's Bytes (and sessions under way)
//   httpBytes            HTTPClose's Bytes (and connections under way)
//   installsSucceeded    Success; installsFailed: Failure
//   discReadErrors       TFTPClose with a Position (a disc read failed)
//   bsdpDropped...       the responder's own counts (BsdpDrops): relayed
//                        requests at an unprivileged reply port, answers
//                        over the rate of their address
//
// Not here: the HTTP server (StatusServer.h), taking the snapshot from the
// running server (TamsorServe.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ClientTable.h"
#include "QxLObject.h"

namespace tamsorserve {

struct StatusCounters {
    uint64_t bsdpList = 0;
    uint64_t bsdpSelect = 0;
    uint64_t tftpComplete = 0;
    uint64_t tftpFailed = 0;
    uint64_t tftpBytes = 0;
    uint64_t httpBytes = 0;
    uint64_t installsSucceeded = 0;
    uint64_t installsFailed = 0;
    uint64_t discReadErrors = 0;
    // The disc image service's own: connections open now, newcomers
    // refused with 503 (the service full, or no descriptor for the image),
    // waiting connections closed to make room.
    uint64_t httpConnections = 0;
    uint64_t httpRefusedFull = 0;
    uint64_t httpRefusedNoDescriptor = 0;
    uint64_t httpMadeRoom = 0;
    uint64_t bsdpDroppedReplyPort = 0;  // BsdpDrops(), copied for each snapshot
    uint64_t bsdpDroppedRate = 0;
};

// One boot image offered to clients.
struct StatusImage {
    std::string name;  // as clients see it in their list
    uint32_t id = 0;   // the BSDP image ID
    std::string path;  // the volume served
    bool isDefault = false;
};

struct StatusClient {
    ClientRow row;
    size_t image = 0;  // index into the snapshot's images
};

// A copy of everything one answer needs.
struct StatusSnapshot {
    std::string version;
    std::string host;
    int64_t started = 0;  // seconds since 1970, UTC
    int64_t now = 0;
    double loopNow = 0;   // the run-loop clock at `now` (rows' lastActivity)
    bool up = false;      // the boot services run
    uint16_t bsdpPort = 0;
    uint16_t tftpPort = 0;
    uint16_t httpPort = 0;
    std::vector<StatusImage> images;
    std::vector<StatusClient> clients;
    StatusCounters counters;
};

// Counts what the event tells (see the table above); other events are
// ignored. The event is borrowed.
void StatusCountEvent(StatusCounters& counters, QxLObjectRef event);

// Calls visit(client address, bytes sent so far, whether over HTTP) for
// each TFTP transfer and each image-reading HTTP connection under way.
void ForEachTransferUnderWay(const std::function<void(const char*, uint64_t, bool)>& visit);

// Adds what is under way to the clients' bytes and the byte counters.
void AddUnderWay(StatusSnapshot& snapshot);

// "succeeded", "failed", or "" while the client's install has no outcome.
const char* OutcomeOf(const ClientRow& row);

// The snapshot as one JSON object (see the manual page for its members).
std::string StatusJson(const StatusSnapshot& snapshot);

// The snapshot as Prometheus text exposition.
std::string StatusMetrics(const StatusSnapshot& snapshot);

// The page: one self-contained HTML document that reads /status.json
// every second and shows it.
const std::string& StatusPage();

}  // namespace tamsorserve
