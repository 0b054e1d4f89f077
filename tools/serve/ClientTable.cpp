// The clients' rows and their words; see ClientTable.h.
#include "ClientTable.h"

#include <algorithm>
#include <cstdio>

namespace tamsorserve {

namespace {

constexpr const char* kEarlyPhases[] = {"", "listed", "selected", "booter", "kernel", "cache"};

// The phase with its percentage ("installing 42%").
std::string PhaseText(const ClientRow& client) {
    std::string phase = client.phase.empty() ? "-" : client.phase;
    if (client.phase == "installing" && client.percentage >= 0) {
        char percent[16];
        snprintf(percent, sizeof percent, " %d%%", client.percentage);
        phase += percent;
    }
    return phase;
}

std::string Age(double seconds) {
    if (seconds < 0) seconds = 0;
    char text[32];
    if (seconds < 60) {
        snprintf(text, sizeof text, "%ds ago", static_cast<int>(seconds));
    } else if (seconds < 3600) {
        snprintf(text, sizeof text, "%dm ago", static_cast<int>(seconds / 60));
    } else {
        snprintf(text, sizeof text, "%dh ago", static_cast<int>(seconds / 3600));
    }
    return text;
}

std::string Row(const std::string& address, const std::string& hardware,
                const std::string& phase, const std::string& served, const std::string& last,
                const std::string& status, int columns) {
    char line[512];
    snprintf(line, sizeof line, "%-15s  %-17s  %-15s  %9s  %8s  %s", address.c_str(),
             hardware.c_str(), phase.c_str(), served.c_str(), last.c_str(), status.c_str());
    std::string text = line;
    // Characters of UTF-8 text, not bytes, count against the width.
    size_t width = 0;
    size_t limit = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (++width > limit) {
            text.resize(i);
            break;
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

ClientRow& ClientRowFor(std::vector<ClientRow>& rows, const std::string& address, size_t limit) {
    for (ClientRow& row : rows) {
        if (row.address == address) return row;
    }
    if (limit == 0) limit = 1;
    while (rows.size() >= limit) {
        auto idlest = std::min_element(rows.begin(), rows.end(),
                                       [](const ClientRow& a, const ClientRow& b) {
                                           return a.lastActivity < b.lastActivity;
                                       });
        rows.erase(idlest);
    }
    rows.push_back(ClientRow());
    rows.back().address = address;
    return rows.back();
}

const char* PhaseOfBootFile(const std::string& file) {
    auto endsWith = [&](const char* tail) {
        std::string t = tail;
        return file.size() >= t.size() && file.compare(file.size() - t.size(), t.size(), t) == 0;
    };
    if (endsWith("booter")) return "booter";
    if (endsWith(".mkext")) return "cache";
    return "kernel";
}

bool PhaseBeforeMounted(const std::string& phase) {
    return std::find(std::begin(kEarlyPhases), std::end(kEarlyPhases), phase) !=
           std::end(kEarlyPhases);
}

std::string ByteCount(uint64_t bytes) {
    char text[32];
    if (bytes < 1000) {
        snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
        return text;
    }
    const char* units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1000.0;
        ++unit;
    }
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::vector<std::string> TableLines(const std::vector<ClientRow>& clients, double now, int rows,
                                    int columns) {
    std::vector<std::string> lines;
    lines.push_back(Row("CLIENT", "HARDWARE", "PHASE", "SERVED", "LAST", "STATUS", columns));
    // Room for the heading, a count line and the cursor's own line.
    size_t room = rows > 4 ? static_cast<size_t>(rows - 3) : 1;
    std::vector<const ClientRow*> shown;
    for (const ClientRow& client : clients) shown.push_back(&client);
    size_t hidden = 0;
    if (shown.size() > room) {
        std::stable_sort(shown.begin(), shown.end(), [](const ClientRow* a, const ClientRow* b) {
            return a->lastActivity > b->lastActivity;
        });
        hidden = shown.size() - room;
        shown.resize(room);
        // Shown in the order they came, so that rows do not jump about.
        std::stable_sort(shown.begin(), shown.end(), [&](const ClientRow* a, const ClientRow* b) {
            return a < b;
        });
    }
    for (const ClientRow* client : shown) {
        lines.push_back(Row(client->address, client->hardware.empty() ? "-" : client->hardware,
                            PhaseText(*client), ByteCount(client->bytesServed),
                            Age(now - client->lastActivity),
                            client->status.empty() && !client->image.empty()
                                ? "\"" + client->image + "\""
                                : client->status,
                            columns));
    }
    if (hidden > 0) {
        size_t done = 0, failed = 0;
        for (const ClientRow& client : clients) {
            if (client.phase == "done") ++done;
            if (client.phase == "failed") ++failed;
        }
        lines.push_back("... and " + std::to_string(hidden) + " more (" + std::to_string(clients.size()) +
                        " clients: " + std::to_string(done) + " done, " + std::to_string(failed) +
                        " failed)");
    }
    return lines;
}

std::string SummaryLine(const ClientRow& client) {
    std::string line = client.address;
    if (!client.hardware.empty()) line += " (" + client.hardware + ")";
    line += ": " + PhaseText(client) + ", " + ByteCount(client.bytesServed) + " served";
    if (!client.status.empty()) line += "; " + client.status;
    if (!client.image.empty()) line += "; image \"" + client.image + "\"";
    return line;
}

}  // namespace tamsorserve
