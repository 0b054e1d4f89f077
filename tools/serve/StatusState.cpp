// The status server's state and its forms; see StatusState.h.
//
// Client texts (host names, the installer's status, anything posted) reach
// the browser only inside JSON strings, and the page puts them on screen
// as text nodes, never as markup.
#include "StatusState.h"

#include <cstdio>

#include "DiscHost.h"
#include "DiscShare.h"
#include "HTTPMessage.h"
#include "NetBootEvents.h"
#include "QxLBuild.h"
#include "TFTPServer.h"
#include "TamsorServe.h"

namespace tamsorserve {

namespace {

// Every phase a client can be in (ClientTable.h), for a gauge that shows
// each even at 0; "new" stands for a client heard of before its first phase.
constexpr const char* kPhases[] = {"new",    "listed",  "selected",   "booter", "kernel",
                                   "cache",  "mounted", "installing", "done",   "failed"};

std::string Timestamp(int64_t secondsSince1970) {
    char text[kHTTPDateBufferSize];
    return HTTPFormatTimestampAt(text, secondsSince1970);
}

// The wall-clock second of a run-loop time.
int64_t WallTime(const StatusSnapshot& snapshot, double loopTime) {
    return snapshot.now - static_cast<int64_t>(snapshot.loopNow - loopTime + 0.5);
}

std::string Member(const char* key, const std::string& value) {
    return std::string("\"") + key + "\":" + JsonString(value);
}

std::string Member(const char* key, uint64_t value) {
    return std::string("\"") + key + "\":" + std::to_string(value);
}

// A text member that is null while empty.
std::string OptionalMember(const char* key, const std::string& value) {
    return value.empty() ? std::string("\"") + key + "\":null" : Member(key, value);
}

std::string CountersJson(const StatusCounters& c) {
    const std::pair<const char*, uint64_t> members[] = {
        {"bsdpList", c.bsdpList},
        {"bsdpSelect", c.bsdpSelect},
        {"tftpComplete", c.tftpComplete},
        {"tftpFailed", c.tftpFailed},
        {"tftpBytes", c.tftpBytes},
        {"httpBytes", c.httpBytes},
        {"installsSucceeded", c.installsSucceeded},
        {"installsFailed", c.installsFailed},
        {"discReadErrors", c.discReadErrors},
        {"bsdpDroppedReplyPort", c.bsdpDroppedReplyPort},
        {"bsdpDroppedRate", c.bsdpDroppedRate}};
    std::string json;
    for (const auto& member : members) {
        json += json.empty() ? "{" : ",";
        json += Member(member.first, member.second);
    }
    return json + "}";
}

// Appends one metric family: its help, its type and its samples.
void Family(std::string& text, const char* name, const char* type, const char* help,
            const std::vector<std::pair<std::string, uint64_t>>& samples) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& sample : samples) {
        text += name + sample.first + " " + std::to_string(sample.second) + "\n";
    }
}

}  // namespace

void StatusCountEvent(StatusCounters& counters, QxLObjectRef event) {
    QxLObjectRef message = nullptr;
    if (event == nullptr || QxLGet(event, &message, "%kO", kNetBootKeyMessage) != kStatusOK ||
        !QxLObjectIsType(message, kQxLTypeString)) {
        return;
    }
    int64_t bytes = 0;
    if (QxLGet(event, &bytes, "%kO:int64", kNetBootKeyBytes) != kStatusOK || bytes < 0) bytes = 0;
    if (QxLObjectEqual(message, kNetBootEventBSDPList)) {
        ++counters.bsdpList;
    } else if (QxLObjectEqual(message, kNetBootEventBSDPSelect)) {
        ++counters.bsdpSelect;
    } else if (QxLObjectEqual(message, kNetBootEventTFTPClose)) {
        int32_t reason = -1;
        if (QxLGet(event, &reason, "%kO:int", kNetBootKeyReason) != kStatusOK) reason = -1;
        ++(reason == 0 ? counters.tftpComplete : counters.tftpFailed);
        counters.tftpBytes += static_cast<uint64_t>(bytes);
        QxLObjectRef position = nullptr;
        if (QxLGet(event, &position, "%kO", kNetBootKeyPosition) == kStatusOK &&
            position != nullptr) {
            ++counters.discReadErrors;
        }
    } else if (QxLObjectEqual(message, kNetBootEventHTTPClose)) {
        counters.httpBytes += static_cast<uint64_t>(bytes);
    } else if (QxLObjectEqual(message, kNetBootEventSuccess)) {
        ++counters.installsSucceeded;
    } else if (QxLObjectEqual(message, kNetBootEventFailure)) {
        ++counters.installsFailed;
    }
}

void ForEachTransferUnderWay(const std::function<void(const char*, uint64_t, bool)>& visit) {
    char client[kSocketAddressTextSize];
    for (TftpSession* session = TftpFirstSession(); session != nullptr; session = session->next) {
        if (ClientAddressText(reinterpret_cast<const sockaddr*>(session->clientAddress), client,
                              sizeof client) == kStatusOK) {
            visit(client, session->fileOffset, false);
        }
    }
    DiscShareForEachClient(
        [](const DiscShareClientInfo* info, void* context) {
            (*static_cast<const std::function<void(const char*, uint64_t, bool)>*>(context))(
                info->client, info->bytesServed, true);
        },
        const_cast<std::function<void(const char*, uint64_t, bool)>*>(&visit));
}

void AddUnderWay(StatusSnapshot& snapshot) {
    DiscShareCounters share{};
    DiscShareGetCounters(&share);
    snapshot.counters.httpConnections = share.connections;
    snapshot.counters.httpRefusedFull = share.refused;
    snapshot.counters.httpRefusedNoDescriptor = share.unavailable;
    snapshot.counters.httpMadeRoom = share.madeRoom;
    ForEachTransferUnderWay([&snapshot](const char* client, uint64_t bytes, bool http) {
        (http ? snapshot.counters.httpBytes : snapshot.counters.tftpBytes) += bytes;
        for (StatusClient& each : snapshot.clients) {
            if (each.row.address == client) each.row.bytesServed += bytes;
        }
    });
}

const char* OutcomeOf(const ClientRow& row) {
    if (row.phase == "done") return "succeeded";
    if (row.phase == "failed") return "failed";
    return "";
}

std::string StatusJson(const StatusSnapshot& s) {
    std::string json = "{\"server\":{" + Member("version", s.version) + "," +
                       Member("host", s.host) + "," + Member("started", Timestamp(s.started)) +
                       "," + Member("now", Timestamp(s.now)) + ",\"up\":" +
                       (s.up ? "true" : "false") + ",\"ports\":{" +
                       Member("bsdp", s.bsdpPort) + "," + Member("tftp", s.tftpPort) + "," +
                       Member("http", s.httpPort) + "}},\"images\":[";
    for (size_t i = 0; i < s.images.size(); ++i) {
        const StatusImage& image = s.images[i];
        uint64_t clients = 0;
        for (const StatusClient& client : s.clients) clients += client.image == i ? 1 : 0;
        json += std::string(i == 0 ? "" : ",") + "{" + Member("name", image.name) + "," +
                Member("id", image.id) + "," + Member("path", image.path) + ",\"default\":" +
                (image.isDefault ? "true" : "false") + "," + Member("clients", clients) + "}";
    }
    json += "],\"clients\":[";
    for (size_t i = 0; i < s.clients.size(); ++i) {
        const ClientRow& row = s.clients[i].row;
        size_t image = s.clients[i].image;
        json += std::string(i == 0 ? "" : ",") + "{" + Member("address", row.address) + "," +
                OptionalMember("hardware", row.hardware) + "," +
                OptionalMember("image", image < s.images.size() ? s.images[image].name : "") +
                "," + Member("phase", row.phase.empty() ? "new" : row.phase) + "," +
                (row.percentage < 0 ? "\"percentage\":null"
                                    : Member("percentage", static_cast<uint64_t>(row.percentage))) +
                "," + Member("status", row.status) + "," + Member("bytes", row.bytesServed) + "," +
                Member("last", Timestamp(WallTime(s, row.lastActivity))) + "," +
                OptionalMember("outcome", OutcomeOf(row)) + "}";
    }
    return json + "],\"counters\":" + CountersJson(s.counters) + "}\n";
}

std::string StatusMetrics(const StatusSnapshot& s) {
    const StatusCounters& c = s.counters;
    std::string text;
    Family(text, "tamsor_up", "gauge", "Whether the boot services are running.",
           {{"", s.up ? 1 : 0}});
    std::vector<std::pair<std::string, uint64_t>> phases;
    for (const char* phase : kPhases) {
        uint64_t count = 0;
        for (const StatusClient& client : s.clients) {
            const std::string& own = client.row.phase.empty() ? "new" : client.row.phase;
            count += own == phase ? 1 : 0;
        }
        phases.push_back({std::string("{phase=\"") + phase + "\"}", count});
    }
    Family(text, "tamsor_clients", "gauge", "Clients known, by the phase of their boot.", phases);
    Family(text, "tamsor_bsdp_replies_total", "counter", "BSDP replies sent, by request type.",
           {{"{type=\"list\"}", c.bsdpList}, {"{type=\"select\"}", c.bsdpSelect}});
    Family(text, "tamsor_bsdp_dropped_total", "counter",
           "BSDP requests not answered on purpose, by reason.",
           {{"{reason=\"reply_port\"}", c.bsdpDroppedReplyPort},
            {"{reason=\"rate\"}", c.bsdpDroppedRate}});
    Family(text, "tamsor_tftp_transfers_total", "counter", "TFTP transfers ended, by result.",
           {{"{result=\"complete\"}", c.tftpComplete}, {"{result=\"failed\"}", c.tftpFailed}});
    Family(text, "tamsor_tftp_bytes_total", "counter", "Boot file bytes sent over TFTP.",
           {{"", c.tftpBytes}});
    Family(text, "tamsor_http_bytes_total", "counter", "Disc image bytes sent over HTTP.",
           {{"", c.httpBytes}});
    Family(text, "tamsor_http_connections", "gauge", "Disc image connections open.",
           {{"", c.httpConnections}});
    Family(text, "tamsor_http_refused_total", "counter",
           "Disc image requests answered 503, by reason.",
           {{"{reason=\"full\"}", c.httpRefusedFull},
            {"{reason=\"no_descriptor\"}", c.httpRefusedNoDescriptor}});
    Family(text, "tamsor_http_made_room_total", "counter",
           "Waiting disc image connections closed to make room for a newcomer.",
           {{"", c.httpMadeRoom}});
    Family(text, "tamsor_installs_total", "counter", "Installations ended, by outcome.",
           {{"{outcome=\"succeeded\"}", c.installsSucceeded},
            {"{outcome=\"failed\"}", c.installsFailed}});
    Family(text, "tamsor_disc_read_errors_total", "counter",
           "Boot file transfers that ended on a failed disc read.", {{"", c.discReadErrors}});
    Family(text, "tamsor_start_time_seconds", "gauge", "When the server started, since 1970.",
           {{"", static_cast<uint64_t>(s.started)}});
    return text;
}

const std::string& StatusPage() {
    // The page draws only through textContent; its one request is
    // status.json, every second, and a failed one says the server is gone.
    static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tamsor-serve</title>
<style>
body { font: 15px/1.4 system-ui, sans-serif; margin: 0 1rem 1rem; color: #111; background: #fff; }
h1 { font-size: 1.35rem; margin: .8rem 0 .4rem; }
h2 { font-size: 1.1rem; margin: 1rem 0 .3rem; }
#gone { border: 3px solid #111; padding: .6rem .8rem; margin: .8rem 0; font-weight: bold; background: #eee; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: .15rem 1rem; margin: 0; }
dt { font-weight: bold; }
dd { margin: 0; overflow-wrap: anywhere; }
ul { margin: 0; padding-left: 1.2rem; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .3rem .5rem; border-bottom: 1px solid #999; vertical-align: top; }
th { border-bottom: 2px solid #111; white-space: nowrap; }
td.status, td.image { overflow-wrap: anywhere; }
td.address, td.hardware, td.phase, td.last, td.outcome { white-space: nowrap; }
td.bytes, td.percentage, th.bytes, th.percentage { text-align: right; white-space: nowrap; }
tbody tr:nth-child(even) { background: #f2f2f2; }
progress { width: 5rem; vertical-align: middle; }
.empty { font-style: italic; }
@media (max-width: 700px) {
  thead { display: none; }
  table, tbody, tr, td { display: block; width: auto; }
  tr { border: 1px solid #111; margin: 0 0 .6rem; padding: .3rem; }
  td { border: none; padding: .1rem .3rem; white-space: normal; }
  td.bytes, td.percentage { text-align: left; }
  td::before { content: attr(data-label) ": "; font-weight: bold; }
}
</style>
</head>
<body>
<h1>tamsor-serve on <span id="host">…</span></h1>
<div id="gone" role="alert" hidden></div>
<section aria-labelledby="server-heading">
<h2 id="server-heading">Server</h2>
<dl>
<dt>Version</dt><dd id="version">…</dd>
<dt>Running since</dt><dd id="started">…</dd>
<dt>Services</dt><dd id="services">…</dd>
<dt>Ports</dt><dd id="ports">…</dd>
<dt>Images</dt><dd><ul id="images"></ul></dd>
</dl>
</section>
<section aria-labelledby="clients-heading">
<h2 id="clients-heading">Clients (<span id="count">0</span>)</h2>
<table>
<thead><tr><th>Client</th><th>Hardware</th><th>Image</th><th>Phase</th><th class="percentage">Progress</th><th>Installer status</th><th class="bytes">Served</th><th>Last activity</th><th>Outcome</th></tr></thead>
<tbody id="clients"></tbody>
</table>
<p id="none" class="empty">No client has asked for anything yet.</p>
</section>
<script>
"use strict";
const COLUMNS = [["address", "Client"], ["hardware", "Hardware"], ["image", "Image"],
  ["phase", "Phase"], ["percentage", "Progress"], ["status", "Installer status"],
  ["bytes", "Served"], ["last", "Last activity"], ["outcome", "Outcome"]];
const rows = new Map();
let lastAnswer = null;

function byId(id) { return document.getElementById(id); }
function put(element, text) { if (element.textContent !== text) element.textContent = text; }
function bytes(n) {
  if (n < 1000) return n + " B";
  const units = ["KB", "MB", "GB", "TB"];
  let value = n / 1000, unit = 0;
  while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit++; }
  return value.toFixed(1) + " " + units[unit];
}
function span(seconds) {
  seconds = Math.max(0, Math.round(seconds));
  if (seconds < 60) return seconds + " s";
  if (seconds < 3600) return Math.floor(seconds / 60) + " min";
  return Math.floor(seconds / 3600) + " h " + Math.floor(seconds % 3600 / 60) + " min";
}
function clock(date) { return date.toLocaleTimeString(); }

function row(address) {
  let tr = rows.get(address);
  if (tr) return tr;
  tr = document.createElement("tr");
  tr.dataset.client = address;
  for (const [name, label] of COLUMNS) {
    const td = document.createElement("td");
    td.className = name;
    td.dataset.label = label;
    tr.appendChild(td);
  }
  const meter = document.createElement("progress");
  meter.max = 100;
  meter.setAttribute("aria-hidden", "true");
  const percent = document.createElement("span");
  tr.cells[4].append(percent, " ", meter);
  byId("clients").appendChild(tr);
  rows.set(address, tr);
  return tr;
}

function show(state) {
  const server = state.server, now = Date.parse(server.now);
  put(byId("host"), server.host);
  put(document.querySelector("title"), "tamsor-serve on " + server.host);
  put(byId("version"), server.version);
  put(byId("started"), new Date(Date.parse(server.started)).toLocaleString() +
      " (up " + span((now - Date.parse(server.started)) / 1000) + ")");
  put(byId("services"), server.up ? "running" : "stopped");
  put(byId("ports"), "BSDP " + server.ports.bsdp + ", TFTP " + server.ports.tftp +
      ", HTTP " + server.ports.http);
  const images = byId("images"), imagesText = JSON.stringify(state.images);
  if (images.dataset.shown !== imagesText) images.replaceChildren(...state.images.map(image => {
    const li = document.createElement("li");
    // The ID in hexadecimal, as the server's own lines give it.
    const id = image.id.toString(16).toUpperCase().padStart(8, "0");
    li.textContent = image.name + " (ID " + id + (image["default"] ? ", default" : "") +
      "; " + image.clients + (image.clients === 1 ? " client" : " clients") + "; " + image.path + ")";
    return li;
  }));
  images.dataset.shown = imagesText;
  const seen = new Set();
  for (const client of state.clients) {
    seen.add(client.address);
    const cells = row(client.address).cells;
    put(cells[0], client.address);
    put(cells[1], client.hardware || "–");
    put(cells[2], client.image || "–");
    put(cells[3], client.phase);
    put(cells[4].firstChild, client.percentage === null ? "–" : client.percentage + "%");
    const meter = cells[4].lastChild;
    meter.hidden = client.percentage === null;
    if (client.percentage !== null) meter.value = client.percentage;
    put(cells[5], client.status || "–");
    put(cells[6], bytes(client.bytes));
    put(cells[7], span((now - Date.parse(client.last)) / 1000) + " ago");
    cells[7].title = client.last;
    put(cells[8], client.outcome === "succeeded" ? "✓ succeeded" :
        client.outcome === "failed" ? "✗ failed" : "–");
  }
  for (const [address, tr] of rows) {
    if (!seen.has(address)) { tr.remove(); rows.delete(address); }
  }
  put(byId("count"), String(state.clients.length));
  byId("none").hidden = state.clients.length > 0;
}

function gone(isGone) {
  const banner = byId("gone");
  if (isGone) {
    put(banner, "The server is gone: tamsor-serve has not answered" +
        (lastAnswer ? " since " + clock(lastAnswer) : "") +
        ". What is shown below is the last it reported.");
    put(document.querySelector("title"), "(gone) tamsor-serve");
    put(byId("services"), "no answer");
  }
  banner.hidden = !isGone;
  document.body.classList.toggle("gone", isGone);
}

async function poll() {
  try {
    const answer = await fetch("status.json", {cache: "no-store"});
    if (!answer.ok) throw new Error("status " + answer.status);
    show(await answer.json());
    lastAnswer = new Date();
    gone(false);
  } catch (error) {
    gone(true);
  }
  setTimeout(poll, 1000);
}
poll();
</script>
</body>
</html>
)html";
    return page;
}

}  // namespace tamsorserve
