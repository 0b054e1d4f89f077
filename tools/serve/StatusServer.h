// tamsor-serve's status server: a small read-only HTTP server beside the
// boot services, on an address of its own, on the same run loop.
//
//   GET /              the page (StatusPage)
//   GET /status.json   the state as JSON (StatusJson)
//   GET /metrics       Prometheus text (StatusMetrics)
//   HEAD of each       the same head without the body
//   another path       404; another method: 405
//
// Bounds, so that a browser can never slow the services: an answer costs
// one snapshot and its text, held by its connection until sent; at most
// kStatusConnectionLimit connections at once (one more is closed at once);
// a connection idle for kStatusIdleTimeout, or whose answer has been going
// out for kStatusSendTimeout (a stalled reader), is closed.
//
// Not here: what the state holds (StatusState.h).
#pragma once

#include <cstdint>
#include <string>

#include "QxLStatus.h"
#include "QxPlatformNet.h"
#include "StatusState.h"

namespace tamsorserve {

constexpr char kStatusDefaultAddress[] = "127.0.0.1:7780";
constexpr uint32_t kStatusConnectionLimit = 32;
constexpr double kStatusHeadTimeout = 10;
constexpr double kStatusIdleTimeout = 30;
constexpr double kStatusSendTimeout = 30;

struct StatusServer;

// Fills *snapshot with the state of this moment; called for each answer.
using StatusSnapshotHook = void (*)(StatusSnapshot* snapshot, void* context);

// "127.0.0.1:7780" or "[::1]:7780" into the numeric address, its family
// (kQxNetFamilyIPv4 or kQxNetFamilyIPv6) and the port (0: any). False when
// the text is not of that form.
bool ParseStatusAddress(const std::string& text, std::string* address, int* family,
                        uint16_t* port);

// Listens on address:port (exactly; numeric, of family) and answers on the
// main run loop. 0 and *server, or the system's error (kStatusBadParameter
// for an address that does not parse); kStatusNoMemory.
QxStatus StatusServerStart(const std::string& address, int family, uint16_t port,
                           StatusSnapshotHook hook, void* context, StatusServer** server);

// The port listened on.
uint16_t StatusServerPort(const StatusServer* server);

// Closes every connection and the listener, and frees the server. Null is
// ignored.
void StatusServerStop(StatusServer* server);

}  // namespace tamsorserve
