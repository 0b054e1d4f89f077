// The BSDP responder: one UDP socket on the run loop, two option tables and
// two packet buffers, all process-wide.
//
// A datagram is read into the receive buffer, its options are collected
// into the request table (pieces of one code joined), and when it is a
// DHCPINFORM carrying a BSDP LIST or SELECT from a boot client, the reply
// table is filled and written into the reply buffer, which goes back to the
// sender. Both tables are emptied after every datagram, answered or not.
//
// Option 43 (vendor-specific) holds the BSDP options in the same
// code/length/data form:
//
//   BSDP code  name                  LIST reply          SELECT reply
//   1          message type          1                   2
//   4          server priority       uint16
//   7          default boot image    uint32 image ID
//   8          selected boot image   uint32 image ID     uint32 image ID
//   9          boot image list       ID, name length, name
//   12         TFTP port                                 uint16
//
// DHCP options of a reply: 53 = 5 (DHCPACK), 54 = the server address, 60 =
// "VRNXBSDPC", and for SELECT 17 = the root image URL.
//
// A library's LIST names every entry the client may
// see (its model and hardware address pass the entry's lists; with an
// attributes filter, option 11, only images whose attributes are listed;
// diagnostics only through a filter), the default among them, and carries
// the list in as many option 43 instances as it needs, whole entries only,
// within the client's maximum message size. A SELECT of an ID the client
// may not have is answered FAILED (BSDP message type 3), however few
// entries there are. A server on one disc gives exactly the one-image
// answers of the newest entry.
//
// Where answers go: the sender, or for a relayed request ciaddr at its
// reply port (below 1024 only). Each answer then passes the rate of its
// address: a bucket of kBsdpRateBurst answers refilled at
// kBsdpRatePerSecond, kept for at most kBsdpRateAddresses addresses (the
// longest idle forgotten first, which costs a forgotten address nothing
// but a fresh burst).
//
// Not here: which image is offered (BootSource.h), serving its files
// (TFTPServer.h) or its disc image (DiscShare.h), starting the set of
// servers. The sname/file overload of option 52 is not honoured: options
// are read from the options area only.
#include "BSDPServer.h"

#include <algorithm>
#include <unordered_map>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BootSource.h"
#include "DiscHost.h"
#include "DiscShare.h"
#include "NetBootClients.h"
#include "NetBootFolder.h"
#include "QxLBuild.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLScan.h"
#include "QxLString.h"
#include "QxPlatformDisc.h"
#include "QxPlatformNet.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"

QxLStringRef bootImageNameFormat = nullptr;

namespace {

constexpr char kVendorClass[] = "VRNXBSDPC";
constexpr size_t kVendorClassLength = sizeof(kVendorClass) - 1;
constexpr char kVendorClassFormat[] = "VRNXBSDPC/%&[^/]/%&[^/]";
constexpr char kRootPathFormat[] = "http://%s:%d/%s.dmg";

constexpr uint8_t kOpRequest = 1;
constexpr uint8_t kOpReply = 2;

// Header fields of a reply (offsets into the DHCP message).
constexpr size_t kHlenOffset = 2;
constexpr size_t kSiaddrOffset = 20;
constexpr size_t kGiaddrOffset = 24;
constexpr size_t kChaddrOffset = 28;
constexpr size_t kSnameOffset = 44;
constexpr size_t kSnameSize = 64;
constexpr size_t kFileOffset = 108;
constexpr size_t kFileSize = 128;
constexpr size_t kCookieOffset = 236;
// The file field keeps a NUL: 127 characters at most.
constexpr size_t kMaxBootFileName = kFileSize - 1;
// BSDP image names carry a one-byte length.
constexpr size_t kMaxImageName = 255;
constexpr size_t kMaxOptionData = 255;
// A list entry's name: one entry (ID, length, name) always fits in one
// option 9 beside the option 43 header.
constexpr size_t kMaxListName = 246;
constexpr size_t kCiaddrOffset = 12;
constexpr uint16_t kDhcpClientPort = 68;
constexpr uint16_t kLowestUnprivilegedPort = 1024;
constexpr uint8_t kDhcpOptionMaxMessageSize = 57;
constexpr uint8_t kBsdpOptionServerIdentifier = 3;
constexpr uint8_t kBsdpOptionReplyPort = 5;
constexpr uint8_t kBsdpOptionAttributesFilter = 11;
constexpr uint8_t kBsdpOptionMaxMessageSize = 12;
constexpr uint8_t kBsdpFailed = 3;
constexpr size_t kDhcpMinimumMessage = 576;
// Image ID: install bit and kind in the high 16 bits (the attributes).
constexpr uint32_t kKindMask = 0x7F000000;
constexpr uint32_t kKindDiagnostics = 0x03000000;

struct BsdpServer {
    QxSocketRef socket;       // owns handle; null while stopped
    QxSocketHandle handle;
    uint16_t port;
    uint16_t tftpPort;
    NetBootEventSink sink;  // hears of every answer; null: nobody does
    void* sinkContext;
    int answered;           // BSDP type of the last datagram answered
    QxNetAddress replyTo;   // where the last answer goes
    const BootImageEntry* image;  // the default listed, or the one selected
    size_t omitted;         // entries a LIST had no room for
    bool library;           // the list rules for any number of entries
    BsdpDropCounts drops;
    uint32_t burst;
    uint32_t perSecond;     // 0: answers are not limited
};

BsdpServer gServer = {nullptr, kQxInvalidSocket, 0, 0, nullptr, nullptr, 0, {}, nullptr, 0,
                      false, {0, 0}, kBsdpRateBurst, kBsdpRatePerSecond};
NetBootClients* gRecords = nullptr;  // a library's client records, or null

// One address's bucket: answers it may still have, as of `at`.
struct RateBucket {
    double tokens;
    double at;
};
std::unordered_map<uint32_t, RateBucket> gRates;
uint8_t gReceiveBuffer[kBsdpPacketSize];
uint8_t gReplyBuffer[kBsdpPacketSize];
DhcpOptionTable gRequestOptions;
DhcpOptionTable gReplyOptions;

uint32_t Get32(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

void Put16(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void Put32(uint8_t* bytes, uint32_t value) {
    Put16(bytes, value >> 16);
    Put16(bytes + 2, value & 0xFFFF);
}

// Empties both tables however the handling of a datagram ends.
struct ClearTablesOnExit {
    ~ClearTablesOnExit() {
        DhcpOptionTableClear(&gRequestOptions);
        DhcpOptionTableClear(&gReplyOptions);
    }
};

bool HasVendorClassPrefix(const DhcpOptionSlot* slot) {
    if (slot->length < kVendorClassLength) return false;
    for (size_t i = 0; i < kVendorClassLength; ++i) {
        uint8_t a = slot->data[i];
        if (a >= 'a' && a <= 'z') a = static_cast<uint8_t>(a - 'a' + 'A');
        if (a != static_cast<uint8_t>(kVendorClass[i])) return false;
    }
    return true;
}

// The first byte of a one-byte option, or -1 when the option is absent or
// empty.
int FirstByte(const DhcpOptionTable* table, bool bsdp, uint8_t code) {
    const DhcpOptionSlot* slot = DhcpOptionTableGet(table, bsdp, code);
    if (slot == nullptr || slot->length == 0) return -1;
    return slot->data[0];
}

// Whether the vendor class carries the two fields after the class name. The
// literal part is matched exactly (upper case), unlike the prefix test.
// *model (may be null) receives the second field, the client's model.
bool VendorClassHasFields(const DhcpOptionSlot* slot, std::string* model = nullptr,
                          std::string* architectureOut = nullptr) {
    const char* architecture = nullptr;
    int32_t architectureLength = 0;
    const char* modelText = nullptr;
    int32_t modelLength = 0;
    int assigned = QxLScan(reinterpret_cast<const char*>(slot->data),
                           static_cast<int32_t>(slot->length), kVendorClassFormat, &architecture,
                           &architectureLength, &modelText, &modelLength);
    if (assigned == 2 && model != nullptr && modelText != nullptr && modelLength > 0) {
        model->assign(modelText, static_cast<size_t>(modelLength));
    }
    if (assigned == 2 && architectureOut != nullptr && architecture != nullptr) {
        architectureOut->assign(architecture, static_cast<size_t>(architectureLength));
    }
    return assigned == 2;
}

// The request's chaddr as "02:00:00:11:aa:44" (hlen bytes, at most 16).
std::string HardwareText(const uint8_t* request) {
    char hardware[16 * 3 + 1] = "";
    size_t length = request[kHlenOffset] < 16 ? request[kHlenOffset] : 16;
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        int written = QxLFormatToBuffer(hardware + at, sizeof hardware - at,
                                        i == 0 ? "%02x" : ":%02x", request[kChaddrOffset + i]);
        if (written > 0) at += static_cast<size_t>(written);
    }
    return hardware;
}

// Whether word is one of the space-separated words of list; an empty list
// holds every word. Hardware addresses compare without regard to case.
bool ListAllows(const char* list, const std::string& word, bool anyCase) {
    const char* p = list;
    while (*p == ' ') ++p;
    if (*p == '\0') return true;
    while (*p != '\0') {
        const char* end = p;
        while (*end != '\0' && *end != ' ') ++end;
        size_t length = static_cast<size_t>(end - p);
        if (length == word.size() &&
            (anyCase ? QxLCompareCountedNoCase(p, word.c_str(), static_cast<int32_t>(length)) == 0
                     : memcmp(p, word.data(), length) == 0)) {
            return true;
        }
        p = end;
        while (*p == ' ') ++p;
    }
    return false;
}

// What the client told about itself, for the entries' restrictions.
struct ClientFacts {
    std::string model;
    std::string hardware;
    const DhcpOptionSlot* filter;  // option 11, or null
    NetBootClientFacts facts;      // the same for folder images' rules
};

bool ClientMaySee(const BootImageEntry* entry, const ClientFacts& client) {
    if (entry->folder != nullptr) return NetBootFolderMaySee(*entry->folder, client.facts);
    return ListAllows(entry->models, client.model, false) &&
           ListAllows(entry->hardware, client.hardware, true);
}

// Whether a LIST shows the entry: allowed, and with a filter one of its
// attribute values; without one, no diagnostics.
bool ClientListSees(const BootImageEntry* entry, const ClientFacts& client) {
    if (entry->folder != nullptr) return NetBootFolderListSees(*entry->folder, client.facts);
    if (!ClientMaySee(entry, client)) return false;
    if (client.filter == nullptr) return (entry->imageID & kKindMask) != kKindDiagnostics;
    uint32_t attributes = entry->imageID >> 16;
    for (uint32_t i = 0; i + 1 < client.filter->length; i += 2) {
        uint32_t value = (uint32_t{client.filter->data[i]} << 8) | client.filter->data[i + 1];
        if (value == attributes) return true;
    }
    return false;
}

QxStatus AddByte(bool bsdp, uint8_t code, uint8_t value) {
    return DhcpOptionTableAdd(&gReplyOptions, bsdp, code, &value, 1);
}

QxStatus AddUInt16(bool bsdp, uint8_t code, uint32_t value) {
    uint8_t bytes[2];
    Put16(bytes, value);
    return DhcpOptionTableAdd(&gReplyOptions, bsdp, code, bytes, sizeof bytes);
}

QxStatus AddUInt32(bool bsdp, uint8_t code, uint32_t value) {
    uint8_t bytes[4];
    Put32(bytes, value);
    return DhcpOptionTableAdd(&gReplyOptions, bsdp, code, bytes, sizeof bytes);
}

// The DHCP options both answers start with: 53, 54 and 60.
QxStatus AddCommonOptions(const uint8_t* serverAddress) {
    QxStatus status = AddByte(false, kDhcpOptionMessageType, kDhcpAck);
    if (status != kStatusOK) return status;
    status = DhcpOptionTableAdd(&gReplyOptions, false, kDhcpOptionServerIdentifier,
                                serverAddress, 4);
    if (status != kStatusOK) return status;
    return DhcpOptionTableAdd(&gReplyOptions, false, kDhcpOptionVendorClass, kVendorClass,
                              kVendorClassLength);
}

// Writes the header of a reply to request into reply. The server address
// (siaddr) is the local IPv4 address facing the sender, also left in local.
QxStatus BuildReplyHeader(const uint8_t* request, const struct sockaddr* sender, uint8_t* reply,
                          QxNetAddress* local) {
    QxStatus status =
        LocalAddressFor(sender, reinterpret_cast<struct sockaddr_storage*>(local->bytes));
    if (status != kStatusOK) return status;
    uint8_t serverAddress[4];
    if (!QxPlatformNetAddressIPv4(local->bytes, serverAddress)) return kStatusUnexpectedType;

    memset(reply, 0, kDhcpOptionsOffset);
    reply[0] = kOpReply;
    // htype, hlen, hops, xid, secs, flags, ciaddr; yiaddr stays 0.
    memcpy(reply + 1, request + 1, 15);
    memcpy(reply + kSiaddrOffset, serverAddress, sizeof serverAddress);
    // giaddr and chaddr.
    memcpy(reply + kGiaddrOffset, request + kGiaddrOffset, 4 + 16);
    char hostName[kSnameSize];
    QxPlatformHostName(hostName, sizeof hostName);
    memcpy(reply + kSnameOffset, hostName, strnlen(hostName, kSnameSize - 1));
    Put32(reply + kCookieOffset, kDhcpMagicCookie);
    return kStatusOK;
}

// This computer's display name, when the name format asks for it.
std::string HostText() {
    if (bootImageNameFormat == nullptr) return std::string();
    QxLStringRef hostName = HostDisplayName();
    const char* text = nullptr;
    QxLStringGetText(hostName, &text, nullptr);
    std::string copy = text != nullptr ? text : "";
    QxLObjectRelease(hostName);
    return copy;
}

// The name an entry is listed by: its own, else the formatted volume name
// (hostText: HostText(), asked once for a whole list).
QxStatus ListedName(const BootImageEntry* entry, const std::string& hostText, char* name,
                    size_t size) {
    if (entry->displayName[0] != '\0') {
        if (QxLCopyBounded(name, entry->displayName, size) >= size) return kStatusBadSize;
        return kStatusOK;
    }
    return BsdpFormatImageName(entry->volumeName,
                               bootImageNameFormat != nullptr ? hostText.c_str() : nullptr, name,
                               size);
}

QxStatus AnswerList(const BootImageEntry* entry, const uint8_t* serverAddress) {
    char name[kMaxImageName + 1];
    QxStatus status = ListedName(entry, HostText(), name, sizeof name);
    if (status != kStatusOK) return status;
    size_t nameLength = strlen(name);

    status = AddCommonOptions(serverAddress);
    if (status == kStatusOK) status = AddByte(true, kBsdpOptionMessageType, kBsdpList);
    if (status == kStatusOK) status = AddUInt16(true, kBsdpOptionServerPriority, entry->priority);
    if (status == kStatusOK) status = AddUInt32(true, kBsdpOptionDefaultImage, entry->imageID);
    if (status == kStatusOK) status = AddUInt32(true, kBsdpOptionSelectedImage, entry->imageID);
    if (status != kStatusOK) return status;
    // One list entry: image ID, name length, name.
    uint8_t image[4 + 1 + kMaxImageName];
    Put32(image, entry->imageID);
    image[4] = static_cast<uint8_t>(nameLength);
    memcpy(image + 5, name, nameLength);
    return DhcpOptionTableAdd(&gReplyOptions, true, kBsdpOptionImageList, image, 5 + nameLength);
}

// A folder image's SELECT answer: its booter for the client's
// architecture, its root path (none for BootFileOnly), siaddr its load
// balancer when it names one.
QxStatus AnswerFolderSelect(const BootImageEntry* entry, const ClientFacts& client,
                            const uint8_t* serverAddress, uint8_t* reply) {
    const NetBootFolderImage& folder = *entry->folder;
    std::string file = NetBootFolderBootFileName(folder, client.facts.architecture);
    if (file.empty() || file.size() > kMaxBootFileName) return kStatusBadSize;
    memcpy(reply + kFileOffset, file.data(), file.size());
    if (folder.hasLoadBalanceServer) memcpy(reply + kSiaddrOffset, folder.loadBalanceServer, 4);
    char address[16];
    QxLFormatToBuffer(address, sizeof address, "%u.%u.%u.%u", serverAddress[0], serverAddress[1],
                      serverAddress[2], serverAddress[3]);
    std::string root =
        NetBootFolderRootPath(folder, address, static_cast<uint16_t>(DiscSharePort()));
    QxStatus status = AddCommonOptions(serverAddress);
    if (status == kStatusOK && !root.empty()) {
        status = DhcpOptionTableAdd(&gReplyOptions, false, kDhcpOptionRootPath, root.data(),
                                    root.size());
    }
    if (status == kStatusOK) status = AddByte(true, kBsdpOptionMessageType, kBsdpSelect);
    if (status == kStatusOK) status = AddUInt32(true, kBsdpOptionSelectedImage, entry->imageID);
    if (status == kStatusOK) status = AddUInt16(true, kBsdpOptionTftpPort, gServer.tftpPort);
    return status;
}

QxStatus AnswerSelect(const BootImageEntry* entry, const QxNetAddress* local,
                      const uint8_t* serverAddress, uint8_t* reply) {
    size_t fileLength = strnlen(entry->bootFileName, sizeof entry->bootFileName);
    if (fileLength > kMaxBootFileName) return kStatusBadSize;
    memcpy(reply + kFileOffset, entry->bootFileName, fileLength);

    char addressText[kSocketAddressTextSize];
    QxStatus status = SocketAddressToText(reinterpret_cast<const struct sockaddr*>(local->bytes),
                                          addressText, sizeof addressText);
    if (status != kStatusOK) return status;
    char url[sizeof addressText + sizeof entry->imageName + 32];
    int urlLength = QxLFormatToBuffer(url, sizeof url, kRootPathFormat, addressText,
                                      static_cast<int>(DiscSharePort()), entry->imageName);
    if (urlLength < 0 || static_cast<size_t>(urlLength) >= sizeof url) return kStatusBadSize;

    status = AddCommonOptions(serverAddress);
    if (status == kStatusOK) {
        status = DhcpOptionTableAdd(&gReplyOptions, false, kDhcpOptionRootPath, url,
                                    static_cast<size_t>(urlLength));
    }
    if (status == kStatusOK) status = AddByte(true, kBsdpOptionMessageType, kBsdpSelect);
    if (status == kStatusOK) status = AddUInt32(true, kBsdpOptionSelectedImage, entry->imageID);
    if (status == kStatusOK) status = AddUInt16(true, kBsdpOptionTftpPort, gServer.tftpPort);
    return status;
}

// A LIST of several entries, written into options (limit bytes, the end
// option included): DHCP 53, 54 and 60; option 43 with BSDP 1, 4, 7 and as
// many whole option 9 entries as fit; then further option 43s, each one
// option 9 with the next whole entries, while the packet has room. What
// does not fit is counted in gServer.omitted.
QxStatus AnswerListOfMany(const std::vector<const BootImageEntry*>& shown,
                          const BootImageEntry* chosen, uint16_t priority, uint32_t selected,
                          const uint8_t* serverAddress, uint8_t* options, size_t limit,
                          size_t* written) {
    std::vector<std::string> entries;
    std::string hostText = HostText();
    for (const BootImageEntry* entry : shown) {
        char name[kMaxImageName + 1];
        QxStatus status = ListedName(entry, hostText, name, sizeof name);
        if (status != kStatusOK) return status;
        size_t length = strlen(name);
        // Cut at a character boundary so that one entry fits one option.
        if (length > kMaxListName) {
            length = kMaxListName;
            while (length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
        }
        uint8_t head[5];
        Put32(head, entry->imageID);
        head[4] = static_cast<uint8_t>(length);
        entries.emplace_back(reinterpret_cast<const char*>(head), sizeof head);
        entries.back().append(name, length);
    }

    QxStatus status = AddCommonOptions(serverAddress);
    if (status != kStatusOK) return status;
    size_t position = 0;
    status = DhcpWriteOptions(&gReplyOptions, options, limit, &position);
    if (status != kStatusOK) return status;
    --position;  // the end option is written again after the lists

    uint8_t fixed[19] = {kBsdpOptionMessageType, 1, kBsdpList, kBsdpOptionServerPriority, 2};
    Put16(fixed + 5, priority);
    fixed[7] = kBsdpOptionDefaultImage;
    fixed[8] = 4;
    Put32(fixed + 9, chosen->imageID);
    fixed[13] = kBsdpOptionSelectedImage;
    fixed[14] = 4;
    Put32(fixed + 15, selected);
    std::string payload(reinterpret_cast<const char*>(fixed), selected != 0 ? 19 : 13);
    size_t next = 0;
    for (bool first = true; first || next < entries.size(); first = false) {
        // Room for this option 43's data: its header and the end option
        // stay outside.
        size_t room = limit - position >= 3 ? limit - position - 3 : 0;
        if (room > kMaxOptionData) room = kMaxOptionData;
        if (next < entries.size() && payload.size() + 2 + entries[next].size() <= room) {
            size_t listAt = payload.size();
            payload.append("\x09\x00", 2);
            while (next < entries.size() && payload.size() + entries[next].size() <= room) {
                payload += entries[next++];
            }
            payload[listAt + 1] = static_cast<char>(payload.size() - listAt - 2);
        }
        if (payload.empty()) break;
        if (payload.size() > room) return kStatusBufferTooSmall;
        options[position] = kDhcpOptionVendorSpecific;
        options[position + 1] = static_cast<uint8_t>(payload.size());
        memcpy(options + position + 2, payload.data(), payload.size());
        position += 2 + payload.size();
        payload.clear();
    }
    gServer.omitted = entries.size() - next;
    options[position++] = kDhcpOptionEnd;
    *written = position;
    return kStatusOK;
}

// The default of a list (sorted by index): defaults without a model list,
// then defaults with one, then the rest; folder images among themselves in
// byte order of their folder names, discs by index.
const BootImageEntry* ChooseDefault(const std::vector<const BootImageEntry*>& shown) {
    const BootImageEntry* best = nullptr;
    auto rank = [](const BootImageEntry* e) {
        bool models = e->folder != nullptr ? !e->folder->models.empty() : e->models[0] != '\0';
        return NetBootDefaultRank(e->isDefault, models);
    };
    for (const BootImageEntry* e : shown) {
        if (best == nullptr || rank(e) < rank(best)) {
            best = e;
        } else if (rank(e) == rank(best) && e->folder != nullptr &&
                   (best->folder == nullptr || e->folder->folder < best->folder->folder)) {
            // Discs keep their index order; a folder image goes before them.
            best = e;
        }
    }
    return best;
}

// Whether one more answer may go to the IPv4 address now; takes it from
// the address's bucket. Other families are not limited.
bool RateAllows(const QxNetAddress& to) {
    uint8_t bytes[4];
    if (gServer.perSecond == 0 || !QxPlatformNetAddressIPv4(to.bytes, bytes)) return true;
    uint32_t key = Get32(bytes);
    double now = QxRunLoopNow();
    double rate = gServer.perSecond;
    auto found = gRates.find(key);
    if (found == gRates.end()) {
        if (gRates.size() >= kBsdpRateAddresses) {
            // Forget every address whose bucket is full again; if none is,
            // the longest idle.
            double refill = gServer.burst / rate;
            auto oldest = gRates.begin();
            for (auto it = gRates.begin(); it != gRates.end();) {
                if (now - it->second.at >= refill) {
                    it = gRates.erase(it);
                    continue;
                }
                if (it->second.at < oldest->second.at) oldest = it;
                ++it;
            }
            if (gRates.size() >= kBsdpRateAddresses) gRates.erase(oldest);
        }
        found = gRates.emplace(key, RateBucket{static_cast<double>(gServer.burst), now}).first;
    }
    RateBucket& bucket = found->second;
    bucket.tokens = std::min<double>(gServer.burst, bucket.tokens + (now - bucket.at) * rate);
    bucket.at = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
}

// Tells the sink that a request from client was answered: its address,
// the hardware address from the request's chaddr, and the image listed by
// default or selected.
void ReportAnswer(const struct sockaddr* client, const uint8_t* request) {
    if (gServer.sink == nullptr) return;
    char address[kSocketAddressTextSize];
    if (ClientAddressText(client, address, sizeof address) != kStatusOK) {
        QxLCopyBounded(address, "?", sizeof address);
    }
    std::string hardware = HardwareText(request);
    QxLObjectRef event = nullptr;
    if (QxLBuild(&event, "{%kO=%O%kO=%s%kO=%s}", kNetBootKeyMessage,
                 gServer.answered == kBsdpSelect ? kNetBootEventBSDPSelect
                                                 : kNetBootEventBSDPList,
                 kNetBootKeyClient, address, kNetBootKeyHardwareAddress,
                 hardware.c_str()) != kStatusOK) {
        return;
    }
    char name[kMaxImageName + 1];
    QxStatus status = kStatusOK;
    if (gServer.image != nullptr &&
        ListedName(gServer.image, HostText(), name, sizeof name) == kStatusOK) {
        status = QxLBuildInto(event, "%kO=%s%kO=%i", kNetBootKeyImage, name, kNetBootKeyImageID,
                              static_cast<int64_t>(gServer.image->imageID));
    }
    if (status == kStatusOK && gServer.omitted > 0) {
        status = QxLBuildInto(event, "%kO=%i", kNetBootKeyOmitted,
                              static_cast<int64_t>(gServer.omitted));
    }
    if (status == kStatusOK) gServer.sink(event, gServer.sinkContext);
    QxLObjectRelease(event);
}

// One datagram per readiness event; every failure is silent.
void ReceiveCallback(QxSocketRef, uint32_t types, const void*, const void*, void*) {
    if ((types & kQxSocketReadCallback) == 0 || gServer.socket == nullptr) return;
    QxNetAddress sender{};
    size_t received = 0;
    if (QxPlatformNetReceiveFrom(gServer.handle, gReceiveBuffer, sizeof gReceiveBuffer, &sender,
                                 &received) != kStatusOK) {
        return;
    }
    size_t replyLength = 0;
    if (BsdpAnswerDatagram(gReceiveBuffer, received,
                           reinterpret_cast<const struct sockaddr*>(sender.bytes), gReplyBuffer,
                           sizeof gReplyBuffer, &replyLength) != kStatusOK) {
        return;
    }
    if (!RateAllows(gServer.replyTo)) {
        ++gServer.drops.rateLimited;
        return;
    }
    // A short or failed send loses this reply only; the client asks again.
    size_t sent = 0;
    QxPlatformNetSendTo(gServer.handle, gReplyBuffer, replyLength, gServer.replyTo.bytes,
                        gServer.replyTo.length, &sent);
    ReportAnswer(reinterpret_cast<const struct sockaddr*>(gServer.replyTo.bytes), gReceiveBuffer);
}

}  // namespace

// ---- Boot image name format ---------------------------------------------------

void BsdpSetClientRecords(NetBootClients* records) { gRecords = records; }

void SetBootImageNameFormat(QxLStringRef format) {
    if (format != nullptr) QxLObjectRetain(format);
    QxLStringRef previous = bootImageNameFormat;
    bootImageNameFormat = format;
    if (previous != nullptr) QxLObjectRelease(previous);
}

QxStatus BsdpFormatImageName(const char* volumeName, const char* hostName, char* name,
                             size_t size) {
    if (volumeName == nullptr || name == nullptr || size == 0) return kStatusBadParameter;
    const char* format = "%1$@";
    if (bootImageNameFormat != nullptr) {
        QxStatus status = QxLStringGetText(bootImageNameFormat, &format, nullptr);
        if (status != kStatusOK) return status;
    }
    if (hostName == nullptr) hostName = "";
    char built[kMaxImageName];
    size_t length = 0;
    bool tooLong = false;
    auto append = [&](const char* bytes, size_t count) {
        if (count > kMaxImageName - length) {
            tooLong = true;
            return;
        }
        memcpy(built + length, bytes, count);
        length += count;
    };
    for (const char* p = format; *p != '\0' && !tooLong;) {
        if (strncmp(p, "%1$@", 4) == 0) {
            append(volumeName, strlen(volumeName));
            p += 4;
        } else if (strncmp(p, "%2$@", 4) == 0) {
            append(hostName, strlen(hostName));
            p += 4;
        } else {
            append(p, 1);
            ++p;
        }
    }
    if (tooLong || length >= size) return kStatusBadSize;
    memcpy(name, built, length);
    name[length] = '\0';
    return kStatusOK;
}

// ---- Option tables --------------------------------------------------------------

QxStatus DhcpOptionTableAdd(DhcpOptionTable* table, bool bsdp, uint8_t code, const void* data,
                            size_t length) {
    if (table == nullptr || (data == nullptr && length > 0)) return kStatusBadParameter;
    if (bsdp && code > kBsdpLastOptionCode) return kStatusBadParameter;
    DhcpOptionSlot* slot = bsdp ? &table->bsdp[code] : &table->dhcp[code];
    if (length > UINT32_MAX - slot->length) return kStatusBadSize;
    if (length > 0) {
        size_t total = size_t{slot->length} + length;
        auto* grown = static_cast<uint8_t*>(QxLRealloc(slot->data, total));
        if (grown == nullptr) return kStatusNoMemory;
        memcpy(grown + slot->length, data, length);
        slot->data = grown;
        slot->length = static_cast<uint32_t>(total);
    }
    slot->code = code;
    slot->present = true;
    return kStatusOK;
}

const DhcpOptionSlot* DhcpOptionTableGet(const DhcpOptionTable* table, bool bsdp, uint8_t code) {
    if (table == nullptr) return nullptr;
    if (bsdp && code > kBsdpLastOptionCode) return nullptr;
    const DhcpOptionSlot* slot = bsdp ? &table->bsdp[code] : &table->dhcp[code];
    return slot->present ? slot : nullptr;
}

void DhcpOptionTableClear(DhcpOptionTable* table) {
    if (table == nullptr) return;
    for (DhcpOptionSlot& slot : table->dhcp) {
        QxLFree(slot.data);
        slot = DhcpOptionSlot{};
    }
    for (DhcpOptionSlot& slot : table->bsdp) {
        QxLFree(slot.data);
        slot = DhcpOptionSlot{};
    }
}

QxStatus DhcpParseOptions(const uint8_t* bytes, size_t length, DhcpOptionTable* table, bool bsdp) {
    if (table == nullptr || (bytes == nullptr && length > 0)) return kStatusBadParameter;
    size_t offset = 0;
    while (offset < length) {
        uint8_t code = bytes[offset];
        if (code == kDhcpOptionPad) {
            ++offset;
            continue;
        }
        if (code == kDhcpOptionEnd) break;
        if (bsdp && code > kBsdpLastOptionCode) return kStatusMalformed;
        if (length - offset < 2) return kStatusMalformed;
        size_t optionLength = bytes[offset + 1];
        if (optionLength > length - offset - 2) return kStatusMalformed;
        QxStatus status = DhcpOptionTableAdd(table, bsdp, code, bytes + offset + 2, optionLength);
        if (status != kStatusOK) return status;
        offset += 2 + optionLength;
    }
    return kStatusOK;
}

QxStatus DhcpWriteOptions(const DhcpOptionTable* table, uint8_t* buffer, size_t size,
                          size_t* written) {
    if (table == nullptr || buffer == nullptr || written == nullptr) return kStatusBadParameter;
    size_t position = 0;
    for (int code = 1; code < kDhcpOptionEnd; ++code) {
        if (code == kDhcpOptionVendorSpecific) continue;
        const DhcpOptionSlot& slot = table->dhcp[code];
        if (!slot.present) continue;
        // Pieces of at most 255 bytes; an empty option is still written.
        size_t offset = 0;
        do {
            size_t piece = slot.length - offset;
            if (piece > kMaxOptionData) piece = kMaxOptionData;
            if (2 + piece > size - position) return kStatusBufferTooSmall;
            buffer[position] = static_cast<uint8_t>(code);
            buffer[position + 1] = static_cast<uint8_t>(piece);
            if (piece > 0) memcpy(buffer + position + 2, slot.data + offset, piece);
            position += 2 + piece;
            offset += piece;
        } while (offset < slot.length);
    }

    size_t bsdpLength = 0;
    bool anyBsdp = false;
    for (const DhcpOptionSlot& slot : table->bsdp) {
        if (!slot.present) continue;
        anyBsdp = true;
        if (slot.length > kMaxOptionData) return kStatusBufferTooSmall;
        bsdpLength += 2 + slot.length;
    }
    if (anyBsdp) {
        if (bsdpLength > kMaxOptionData || 2 + bsdpLength > size - position) {
            return kStatusBufferTooSmall;
        }
        buffer[position] = kDhcpOptionVendorSpecific;
        buffer[position + 1] = static_cast<uint8_t>(bsdpLength);
        position += 2;
        for (int code = 1; code <= kBsdpLastOptionCode; ++code) {
            const DhcpOptionSlot& slot = table->bsdp[code];
            if (!slot.present) continue;
            buffer[position] = static_cast<uint8_t>(code);
            buffer[position + 1] = static_cast<uint8_t>(slot.length);
            if (slot.length > 0) memcpy(buffer + position + 2, slot.data, slot.length);
            position += 2 + slot.length;
        }
    }

    if (position >= size) return kStatusBufferTooSmall;
    buffer[position++] = kDhcpOptionEnd;
    *written = position;
    return kStatusOK;
}

// ---- Datagrams ------------------------------------------------------------------

QxStatus BsdpAnswerDatagram(const uint8_t* packet, size_t length, const struct sockaddr* sender,
                            uint8_t* reply, size_t replySize, size_t* replyLength) {
    ClearTablesOnExit clear;
    if (packet == nullptr || sender == nullptr || reply == nullptr || replyLength == nullptr) {
        return kStatusBadParameter;
    }
    if (length < kDhcpHeaderSize) return kStatusBadSize;
    uint8_t op = packet[0];
    if (op != kOpRequest && op != kOpReply) return kStatusUnexpectedType;
    // Without the cookie there are no options, and so no BSDP.
    if (length < kDhcpOptionsOffset || Get32(packet + kCookieOffset) != kDhcpMagicCookie) {
        return kStatusUnsupported;
    }
    QxStatus status = DhcpParseOptions(packet + kDhcpOptionsOffset, length - kDhcpOptionsOffset,
                                       &gRequestOptions, false);
    if (status != kStatusOK) return status;

    const DhcpOptionSlot* vendorClass =
        DhcpOptionTableGet(&gRequestOptions, false, kDhcpOptionVendorClass);
    if (vendorClass == nullptr || !HasVendorClassPrefix(vendorClass)) return kStatusUnsupported;
    const DhcpOptionSlot* vendorSpecific =
        DhcpOptionTableGet(&gRequestOptions, false, kDhcpOptionVendorSpecific);
    if (vendorSpecific == nullptr) return kStatusUnsupported;
    status = DhcpParseOptions(vendorSpecific->data, vendorSpecific->length, &gRequestOptions, true);
    if (status != kStatusOK) return status;

    // Only a client's DHCPINFORM with LIST or SELECT and a full vendor class.
    int messageType = FirstByte(&gRequestOptions, false, kDhcpOptionMessageType);
    int bsdpType = FirstByte(&gRequestOptions, true, kBsdpOptionMessageType);
    if (op != kOpRequest || messageType != kDhcpInform ||
        (bsdpType != kBsdpList && bsdpType != kBsdpSelect) || !VendorClassHasFields(vendorClass)) {
        return kStatusUnsupported;
    }

    const BootImageEntry* entry = NewestBootImageEntry();
    // The mode decides, never the count: a library (started as one, keeping
    // client records, or offering folder images) answers with lists, one
    // image or none included; a server on one disc gives the one-image
    // answers of its newest entry.
    const bool library = gServer.library || gRecords != nullptr ||
                         (entry != nullptr && entry->folder != nullptr);
    if (entry == nullptr && (!library || bsdpType == kBsdpList)) return kStatusNotInitialized;
    size_t limit = replySize < kBsdpPacketSize ? replySize : kBsdpPacketSize;
    if (limit <= kDhcpOptionsOffset) return kStatusBufferTooSmall;

    // A request that came through a relay is answered at the client's own
    // address and reply port, in every mode: the relay would drop an answer
    // sent to it. Only a privileged reply port is taken, so that a forged
    // request cannot aim an answer at any other service of ciaddr.
    QxNetAddress destination{};
    destination.length = QxPlatformNetAddressLength(sender);
    if (destination.length == 0 || destination.length > sizeof destination.bytes) {
        return kStatusUnexpectedType;
    }
    memcpy(destination.bytes, sender, destination.length);
    if (Get32(packet + kGiaddrOffset) != 0) {
        const DhcpOptionSlot* port =
            DhcpOptionTableGet(&gRequestOptions, true, kBsdpOptionReplyPort);
        uint16_t replyPort = port != nullptr && port->length == 2
                                 ? static_cast<uint16_t>((port->data[0] << 8) | port->data[1])
                                 : kDhcpClientPort;
        if (Get32(packet + kCiaddrOffset) == 0 || replyPort == 0 ||
            replyPort >= kLowestUnprivilegedPort) {
            ++gServer.drops.replyPort;
            return kStatusNotAvailable;
        }
        QxPlatformNetMakeIPv4(packet + kCiaddrOffset, replyPort, &destination);
    }

    ClientFacts client;
    VendorClassHasFields(vendorClass, &client.model, &client.facts.architecture);
    client.hardware = HardwareText(packet);
    client.filter = DhcpOptionTableGet(&gRequestOptions, true, kBsdpOptionAttributesFilter);
    client.facts.model = client.model;
    if (packet[kHlenOffset] == 6) {
        memcpy(client.facts.hardware.data(), packet + kChaddrOffset, 6);
        client.facts.hasHardware = true;
    }
    if (client.filter != nullptr) {
        client.facts.filter = client.filter->data != nullptr ? client.filter->data
                                                             : reinterpret_cast<const uint8_t*>("");
        client.facts.filterLength = client.filter->length;
    }

    // The server's address is the one facing the sender (the relay, when
    // there is one): that path is known to work.
    QxNetAddress local{};
    status = BuildReplyHeader(packet, sender, reply, &local);
    if (status != kStatusOK) return status;
    uint8_t serverAddress[4];
    memcpy(serverAddress, reply + kSiaddrOffset, sizeof serverAddress);

    gServer.image = nullptr;
    gServer.omitted = 0;
    size_t written = 0;
    if (!library) {
        // One disc: the one-image answers of the newest entry, byte for byte.
        if (!ClientMaySee(entry, client)) return kStatusNotFound;
        status = bsdpType == kBsdpList ? AnswerList(entry, serverAddress)
                                       : AnswerSelect(entry, &local, serverAddress, reply);
        gServer.image = entry;
    } else if (bsdpType == kBsdpList) {
        std::vector<const BootImageEntry*> shown;
        const BootImageEntry* chosen = nullptr;
        for (const BootImageEntry* e = entry; e != nullptr; e = e->next) {
            if (ClientListSees(e, client)) shown.push_back(e);
        }
        if (shown.empty()) return kStatusNotFound;
        std::sort(shown.begin(), shown.end(), [](const BootImageEntry* a, const BootImageEntry* b) {
            return (a->imageID & 0xFFFF) < (b->imageID & 0xFFFF);
        });
        chosen = ChooseDefault(shown);
        gServer.image = chosen;
        uint16_t priority = chosen->priority;
        uint32_t selected = 0;
        if (gRecords != nullptr) {
            priority = gRecords->Priority();
            const NetBootClientRecord* record =
                client.facts.hasHardware ? gRecords->Find(client.facts.hardware) : nullptr;
            for (const BootImageEntry* e = entry; record != nullptr && e != nullptr; e = e->next) {
                if (e->imageID == record->imageID && ClientListSees(e, client)) selected = e->imageID;
            }
        }
        // Within the size the client takes: its own word, else DHCP's.
        size_t most = kDhcpMinimumMessage;
        const DhcpOptionSlot* size =
            DhcpOptionTableGet(&gRequestOptions, true, kBsdpOptionMaxMessageSize);
        if (size == nullptr || size->length != 2) {
            size = DhcpOptionTableGet(&gRequestOptions, false, kDhcpOptionMaxMessageSize);
        }
        if (size != nullptr && size->length == 2) {
            most = static_cast<size_t>((size->data[0] << 8) | size->data[1]);
            if (most < kDhcpMinimumMessage) most = kDhcpMinimumMessage;
        }
        if (most > limit) most = limit;
        status = AnswerListOfMany(shown, chosen, priority, selected, serverAddress,
                                  reply + kDhcpOptionsOffset, most - kDhcpOptionsOffset, &written);
        if (status != kStatusOK) return status;
        *replyLength = kDhcpOptionsOffset + written;
        gServer.answered = bsdpType;
        gServer.replyTo = destination;
        return kStatusOK;
    } else {
        // A SELECT naming another server is not for this one.
        const DhcpOptionSlot* server =
            DhcpOptionTableGet(&gRequestOptions, true, kBsdpOptionServerIdentifier);
        if (server != nullptr &&
            (server->length != 4 || memcmp(server->data, serverAddress, 4) != 0)) {
            // The client chose another server: this one no longer has it.
            if (gRecords != nullptr && client.facts.hasHardware) {
                gRecords->Forget(client.facts.hardware);
            }
            return kStatusUnsupported;
        }
        const DhcpOptionSlot* wanted =
            DhcpOptionTableGet(&gRequestOptions, true, kBsdpOptionSelectedImage);
        uint32_t id = wanted != nullptr && wanted->length == 4 ? Get32(wanted->data) : 0;
        if (wanted == nullptr) {
            // No image named: the default this client's LIST gives.
            std::vector<const BootImageEntry*> shown;
            for (const BootImageEntry* e = entry; e != nullptr; e = e->next) {
                if (ClientListSees(e, client)) shown.push_back(e);
            }
            if (!shown.empty()) id = ChooseDefault(shown)->imageID;
        }
        for (const BootImageEntry* e = entry; e != nullptr && id != 0; e = e->next) {
            if (e->imageID == id && ClientMaySee(e, client)) gServer.image = e;
        }
        if (gServer.image != nullptr) {
            status = gServer.image->folder != nullptr
                         ? AnswerFolderSelect(gServer.image, client, serverAddress, reply)
                         : AnswerSelect(gServer.image, &local, serverAddress, reply);
            if (status == kStatusOK && gRecords != nullptr && client.facts.hasHardware) {
                NetBootClientRecord record;
                record.imageID = gServer.image->imageID;
                record.architecture = client.facts.architecture;
                record.model = client.model;
                char address[16];
                QxLFormatToBuffer(address, sizeof address, "%u.%u.%u.%u", packet[kCiaddrOffset],
                                  packet[kCiaddrOffset + 1], packet[kCiaddrOffset + 2],
                                  packet[kCiaddrOffset + 3]);
                record.address = address;
                record.lastBoot = static_cast<int64_t>(time(nullptr));
                gRecords->Record(client.facts.hardware, record);
            }
        } else {
            // Never another image's files: FAILED, without file or root path.
            status = AddCommonOptions(serverAddress);
            if (status == kStatusOK) status = AddByte(true, kBsdpOptionMessageType, kBsdpFailed);
        }
    }
    if (status != kStatusOK) return status;
    status = DhcpWriteOptions(&gReplyOptions, reply + kDhcpOptionsOffset,
                              limit - kDhcpOptionsOffset, &written);
    if (status != kStatusOK) return status;
    *replyLength = kDhcpOptionsOffset + written;
    gServer.answered = bsdpType;
    gServer.replyTo = destination;
    return kStatusOK;
}

// ---- Server -----------------------------------------------------------------------

QxStatus StartBsdp() { return StartBsdpOnPort(kBsdpPort, nullptr); }

void BsdpSetEventSink(NetBootEventSink sink, void* context) {
    gServer.sink = sink;
    gServer.sinkContext = context;
}

QxStatus StartBsdpOnPort(uint16_t port, uint16_t* boundPort) {
    if (gServer.socket != nullptr) return kStatusAlreadyInitialized;
    QxSocketHandle handle = kQxInvalidSocket;
    QxStatus status = QxPlatformNetDatagramSocket(kQxNetFamilyIPv4, &handle);
    if (status != kStatusOK) return status;
    uint16_t actualPort = 0;
    status = QxPlatformNetBindAny(handle, kQxNetFamilyIPv4, port);
    if (status == kStatusOK) status = QxPlatformNetLocalPort(handle, &actualPort);
    if (status == kStatusOK) status = QxPlatformSocketSetNonBlocking(handle);
    if (status != kStatusOK) {
        QxPlatformSocketClose(handle);
        return status;
    }

    QxSocketContext context{0, nullptr, nullptr, nullptr, nullptr};
    QxSocketRef socketObject =
        QxSocketCreate(handle, kQxSocketReadCallback, ReceiveCallback, &context);
    if (socketObject == nullptr) {
        QxPlatformSocketClose(handle);
        return kStatusNoMemory;
    }
    // The socket object owns the handle from here on.
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socketObject);
    if (source == nullptr) {
        QxSocketInvalidate(socketObject);
        QxLObjectRelease(socketObject);
        return kStatusNoMemory;
    }
    QxRunLoopEnsureInitialized();
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    gServer.socket = socketObject;
    gServer.handle = handle;
    gServer.port = actualPort;
    if (boundPort != nullptr) *boundPort = actualPort;
    return kStatusOK;
}

void StopBsdp() {
    if (gServer.socket == nullptr) return;
    QxSocketInvalidate(gServer.socket);
    QxLObjectRelease(gServer.socket);
    gServer.socket = nullptr;
    gServer.handle = kQxInvalidSocket;
    gServer.port = 0;
}

uint16_t BsdpPort() { return gServer.port; }

void SetBsdpTftpPort(uint16_t port) { gServer.tftpPort = port; }

void BsdpSetLibraryMode(bool library) { gServer.library = library; }

bool BsdpLibraryMode() { return gServer.library; }

void BsdpSetRateLimit(uint32_t burst, uint32_t perSecond) {
    gServer.burst = burst != 0 ? burst : 1;
    gServer.perSecond = perSecond;
    gRates.clear();
}

BsdpDropCounts BsdpDrops() { return gServer.drops; }

std::string BsdpLastReplyAddress() {
    char text[kSocketAddressTextSize];
    if (SocketAddressToText(reinterpret_cast<const struct sockaddr*>(gServer.replyTo.bytes), text,
                            sizeof text) != kStatusOK) {
        return std::string();
    }
    // sin_port and sin6_port follow the two bytes of the family.
    const uint8_t* bytes = gServer.replyTo.bytes;
    uint16_t port = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    return std::string(text) + ":" + std::to_string(port);
}

void ClearBsdpPacketAreas() {
    memset(gReceiveBuffer, 0, sizeof gReceiveBuffer);
    memset(gReplyBuffer, 0, sizeof gReplyBuffer);
    DhcpOptionTableClear(&gRequestOptions);
    DhcpOptionTableClear(&gReplyOptions);
}
