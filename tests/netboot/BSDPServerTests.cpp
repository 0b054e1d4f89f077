// The BSDP responder: the option tables and the datagram handler on
// hand-made packets (hostile ones included), the server over loopback with
// a client inside the test, and scapy as an independent client on Linux
// while the test pumps the run loop.
//
// The prepared disc is a small image from the image writer with the
// install files, bound as \\.\CdRom0 and prepared as the controller does,
// so replies carry a real boot image entry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "BSDPServer.h"
#include "BootSource.h"
#include "DeviceBinding.h"
#include "DiscHost.h"
#include "DiscShare.h"
#include "HFSImageWriter.h"
#include "QxLMemory.h"
#include "QxLScan.h"
#include "QxLString.h"
#include "QxPlatformDisc.h"
#include "VolumePath.h"
#include "foundation/QxRunLoopTestSupport.h"

namespace {

using testsupport::RunLoopTest;

constexpr char kDevice[] = "\\\\.\\CdRom0";
constexpr char kVolumeName[] = "Orvane Install Disc";
constexpr char kVendor[] = "VRNXBSDPC/i386/Model1";
constexpr uint16_t kTftpPort = 6969;
constexpr double kWait = 5.0;

uint32_t Get32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string Bytes(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string Hex(const std::string& bytes) {
    std::string text;
    char digits[3];
    for (unsigned char c : bytes) {
        snprintf(digits, sizeof digits, "%02x", c);
        text += digits;
    }
    return text;
}

// A DHCP request built byte by byte.
class Packet {
public:
    // Every copied header field is non-zero, so a field left out shows.
    explicit Packet(uint8_t op = 1, uint32_t xid = 0x1234ABCD) : bytes(240, 0) {
        const uint8_t head[44] = {op, 1, 6, 2, 0, 0, 0, 0, 0, 9, 0x80, 0,  // .. flags
                                  10, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0,     // ciaddr ..
                                  10, 0, 0, 1, 0x00, 0x16, 0xCB, 0xAA, 0xBB, 0xCC};
        memcpy(bytes.data(), head, sizeof head);
        for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(xid >> (24 - 8 * i));
        const uint8_t cookie[4] = {0x63, 0x82, 0x53, 0x63};
        memcpy(&bytes[236], cookie, 4);
    }
    Packet& Option(uint8_t code, const std::string& data) {
        bytes.push_back(code);
        bytes.push_back(static_cast<uint8_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    Packet& Raw(const std::string& data) {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    Packet& End() { return Raw(Bytes({255})); }

    std::vector<uint8_t> bytes;
};

// A DHCPINFORM with a BSDP request, as a client's firmware sends it.
Packet Request(uint8_t bsdpType, uint32_t xid = 0x1234ABCD, const std::string& vendor = kVendor,
               uint8_t messageType = 8) {
    Packet packet(1, xid);
    packet.Option(53, Bytes({messageType}))
        .Option(55, Bytes({1, 3, 17, 43, 60}))
        .Option(57, Bytes({0x05, 0xDC}))
        .Option(60, vendor)
        .Option(43, Bytes({1, 1, bsdpType, 2, 2, 0x01, 0x01, 5, 2, 0x03, 0xFF}))
        .End();
    return packet;
}

// The request as a client on the server's own network sends it: no relay.
Packet Unrelayed(Packet packet) {
    memset(&packet.bytes[24], 0, 4);
    return packet;
}

// A relayed request from ciaddr with the given BSDP area.
Packet Relayed(uint8_t bsdpType, const std::string& rest, uint32_t ciaddr = 0x0A000007,
               uint32_t id = 0) {
    Packet packet;
    for (int i = 0; i < 4; ++i) packet.bytes[12 + i] = static_cast<uint8_t>(ciaddr >> (24 - 8 * i));
    std::string area = Bytes({1, 1, bsdpType, 2, 2, 0x01, 0x01}) + rest;
    if (id != 0) {
        area += Bytes({8, 4, static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
                       static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
    }
    packet.Option(53, Bytes({8})).Option(60, kVendor).Option(43, area).End();
    return packet;
}

// A reply split into its parts by a parser of the test's own.
struct Reply {
    std::vector<uint8_t> bytes;
    std::vector<int> order;      // DHCP codes as they come, 255 included
    std::vector<int> bsdpOrder;  // BSDP codes inside option 43
    std::map<int, std::string> options;
    std::map<int, std::string> bsdp;
    bool wellFormed = false;
};

Reply ParseReply(const uint8_t* data, size_t length) {
    Reply reply;
    reply.bytes.assign(data, data + length);
    if (length < 241) return reply;
    size_t i = 240;
    while (i < length) {
        int code = data[i];
        reply.order.push_back(code);
        if (code == 255) {
            reply.wellFormed = i + 1 == length;
            break;
        }
        if (i + 2 > length || i + 2 + data[i + 1] > length) return reply;
        reply.options[code] += std::string(data + i + 2, data + i + 2 + data[i + 1]);
        i += 2 + data[i + 1];
    }
    const std::string& vendor = reply.options[43];
    for (size_t j = 0; j + 2 <= vendor.size();) {
        int code = static_cast<uint8_t>(vendor[j]);
        size_t size = static_cast<uint8_t>(vendor[j + 1]);
        reply.bsdpOrder.push_back(code);
        reply.bsdp[code] = vendor.substr(j + 2, size);
        j += 2 + size;
    }
    return reply;
}

sockaddr_in Client(uint16_t port = 40001) { return testsupport::Loopback(port); }

// Runs the handler on exactly `length` bytes of a heap block of that size,
// so that a read past the datagram is caught by the sanitizer.
QxStatus Answer(const uint8_t* data, size_t length, Reply* reply = nullptr) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[length > 0 ? length : 1]);
    if (length > 0) memcpy(exact.get(), data, length);
    sockaddr_in sender = Client();
    std::vector<uint8_t> buffer(kBsdpPacketSize);
    size_t replyLength = 0;
    QxStatus status = BsdpAnswerDatagram(exact.get(), length,
                                         reinterpret_cast<const sockaddr*>(&sender),
                                         buffer.data(), buffer.size(), &replyLength);
    if (status == kStatusOK && reply != nullptr) *reply = ParseReply(buffer.data(), replyLength);
    return status;
}

QxStatus Answer(const Packet& packet, Reply* reply = nullptr) {
    return Answer(packet.bytes.data(), packet.bytes.size(), reply);
}

std::string ThisHostName() {
    char name[64];
    QxPlatformHostName(name, sizeof name);
    return name;
}

std::string DisplayName() {
    QxLStringRef name = HostDisplayName();
    const char* text = "";
    QxLStringGetText(name, &text, nullptr);
    std::string copy = text;
    QxLObjectRelease(name);
    return copy;
}

// ---- Option tables ------------------------------------------------------------------

class BSDPOptionTable : public ::testing::Test {
protected:
    void TearDown() override { DhcpOptionTableClear(&table); }

    std::string Value(bool bsdp, uint8_t code) {
        const DhcpOptionSlot* slot = DhcpOptionTableGet(&table, bsdp, code);
        if (slot == nullptr) return "<absent>";
        return std::string(slot->data, slot->data + slot->length);
    }
    // Parses exactly the bytes given, from a heap block of that size.
    QxStatus Parse(const std::string& area, bool bsdp) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[area.size() + 1]);
        memcpy(exact.get(), area.data(), area.size());
        return DhcpParseOptions(exact.get(), area.size(), &table, bsdp);
    }
    std::string Write(size_t size, QxStatus expected = kStatusOK) {
        std::vector<uint8_t> buffer(size + 1, 0xEE);
        size_t written = 0;
        EXPECT_EQ(DhcpWriteOptions(&table, buffer.data(), size, &written), expected);
        EXPECT_EQ(buffer[size], 0xEE) << "wrote past the buffer";
        return std::string(buffer.begin(), buffer.begin() + static_cast<long>(written));
    }

    DhcpOptionTable table{};
};

TEST_F(BSDPOptionTable, PiecesAreJoinedAndLongValuesSplitWhenWritten) {
    // Pads, two pieces of 17, an empty option, then the end; what follows
    // the end is not read.
    std::string area = Bytes({0, 0, 17, 3}) + "abc" + Bytes({0, 12, 0, 17, 3}) + "def" +
                       Bytes({255, 60, 200});
    ASSERT_EQ(Parse(area, false), kStatusOK);
    EXPECT_EQ(Value(false, 17), "abcdef");
    EXPECT_EQ(Value(false, 12), "");
    EXPECT_EQ(Value(false, 60), "<absent>");
    EXPECT_EQ(Value(false, 0), "<absent>");

    DhcpOptionTableClear(&table);
    std::string url(600, 'u');
    ASSERT_EQ(DhcpOptionTableAdd(&table, false, 17, url.data(), url.size()), kStatusOK);
    ASSERT_EQ(DhcpOptionTableAdd(&table, false, 12, nullptr, 0), kStatusOK);
    std::string written = Write(kBsdpPacketSize);
    std::string expected = Bytes({12, 0, 17, 255}) + url.substr(0, 255) + Bytes({17, 255}) +
                           url.substr(255, 255) + Bytes({17, 90}) + url.substr(510) +
                           Bytes({255});
    EXPECT_EQ(Hex(written), Hex(expected));
}

TEST_F(BSDPOptionTable, DhcpOptionsGoInCodeOrderThenOneVendorArea) {
    ASSERT_EQ(DhcpOptionTableAdd(&table, false, 60, "V", 1), kStatusOK);
    ASSERT_EQ(DhcpOptionTableAdd(&table, true, 12, "\x1b\x39", 2), kStatusOK);
    ASSERT_EQ(DhcpOptionTableAdd(&table, false, 17, "R", 1), kStatusOK);
    ASSERT_EQ(DhcpOptionTableAdd(&table, true, 1, "\x02", 1), kStatusOK);
    ASSERT_EQ(DhcpOptionTableAdd(&table, false, 53, "\x05", 1), kStatusOK);
    std::string expected = Bytes({17, 1, 'R', 53, 1, 5, 60, 1, 'V', 43, 7, 1, 1, 2, 12, 2, 0x1b,
                                  0x39, 255});
    EXPECT_EQ(Hex(Write(kBsdpPacketSize)), Hex(expected));
    // Exactly enough room, and one byte less.
    EXPECT_EQ(Hex(Write(expected.size())), Hex(expected));
    Write(expected.size() - 1, kStatusBufferTooSmall);
    Write(0, kStatusBufferTooSmall);

    // A BSDP value over 255 bytes cannot be written.
    std::string tooLong(256, 'y');
    ASSERT_EQ(DhcpOptionTableAdd(&table, true, 9, tooLong.data(), tooLong.size()), kStatusOK);
    Write(kBsdpPacketSize, kStatusBufferTooSmall);
    EXPECT_EQ(DhcpOptionTableAdd(&table, true, 13, "x", 1), kStatusBadParameter);
    EXPECT_EQ(DhcpOptionTableAdd(&table, false, 1, nullptr, 1), kStatusBadParameter);
    EXPECT_EQ(DhcpOptionTableGet(&table, true, 200), nullptr);
}

TEST_F(BSDPOptionTable, ParserNeverLeavesTheArea) {
    EXPECT_EQ(Parse(Bytes({53}), false), kStatusMalformed);            // no length byte
    EXPECT_EQ(Parse(Bytes({53, 5, 1, 2}), false), kStatusMalformed);   // data cut short
    EXPECT_EQ(Parse(Bytes({53, 1, 8, 60, 255}), false), kStatusMalformed);
    EXPECT_EQ(Parse(std::string(1300, '\0'), false), kStatusOK);       // pads only
    EXPECT_EQ(Parse("", false), kStatusOK);
    // A chain of empty options up to the very last byte.
    std::string chain;
    for (int i = 0; i < 600; ++i) chain += Bytes({static_cast<uint8_t>(1 + i % 250), 0});
    EXPECT_EQ(Parse(chain, false), kStatusOK);
    EXPECT_EQ(Parse(chain + Bytes({7}), false), kStatusMalformed);

    DhcpOptionTableClear(&table);
    // BSDP space: pads and the end as in DHCP; codes above 12 refuse the area.
    EXPECT_EQ(Parse(Bytes({0, 1, 1, 2, 255, 13, 0}), true), kStatusOK);
    EXPECT_EQ(Value(true, 1), Bytes({2}));
    EXPECT_EQ(Parse(Bytes({1, 1, 1, 13, 1, 0}), true), kStatusMalformed);
    EXPECT_EQ(Parse(Bytes({254, 0}), true), kStatusMalformed);
    EXPECT_EQ(Parse(Bytes({12, 2, 1}), true), kStatusMalformed);
}

// ---- Image names ----------------------------------------------------------------------

class BSDPImageName : public ::testing::Test {
protected:
    void TearDown() override { SetBootImageNameFormat(nullptr); }
    void UseFormat(const char* text) {
        QxLStringRef format = QxLStringCreateWithText(text);
        ASSERT_NE(format, nullptr);
        SetBootImageNameFormat(format);
        EXPECT_EQ(QxLObjectRetainCount(format), 2);
        QxLObjectRelease(format);
    }
    std::string Name(const std::string& volume, const char* host, QxStatus expected = kStatusOK,
                     size_t size = 300) {
        std::vector<char> name(size, 'Z');
        EXPECT_EQ(BsdpFormatImageName(volume.c_str(), host, name.data(), size), expected);
        return expected == kStatusOK ? std::string(name.data()) : std::string();
    }
};

TEST_F(BSDPImageName, FormatPlacesVolumeAndComputerNamesWithinTheLimit) {
    EXPECT_EQ(Name("Install", "Host"), "Install");
    UseFormat("%1$@ (%2$@)");
    EXPECT_EQ(Name("Install", "Office PC"), "Install (Office PC)");
    EXPECT_EQ(Name("Install", nullptr), "Install ()");
    // The inserted names are not searched for the placeholders again.
    EXPECT_EQ(Name("Disc %2$@", "Host %1$@"), "Disc %2$@ (Host %1$@)");
    UseFormat("%2$@ \xE2\x80\x94 %1$@ %3$@ 100%");
    EXPECT_EQ(Name("Install", "Host"), "Host \xE2\x80\x94 Install %3$@ 100%");

    // 255 bytes at most, and the caller's buffer must hold them.
    UseFormat("%1$@ (%2$@)");
    std::string volume(249, 'v');
    EXPECT_EQ(Name(volume, "abc").size(), 255u);
    Name(volume, "abcd", kStatusBadSize);  // 256 bytes
    Name(std::string(4000, 'v'), "h", kStatusBadSize);
    Name("Install", "Host", kStatusBadSize, 8);        // does not fit the caller's buffer
    EXPECT_EQ(Name("Install", "Host", kStatusOK, 15), "Install (Host)");
    EXPECT_EQ(BsdpFormatImageName(nullptr, "h", nullptr, 0), kStatusBadParameter);
    SetBootImageNameFormat(nullptr);
    EXPECT_EQ(bootImageNameFormat, nullptr);
}

// ---- A prepared disc ----------------------------------------------------------------

std::string DiscImagePath() {
    static std::string path;
    if (!path.empty()) return path;
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume(kVolumeName);
    volume.AddFolder(volume.MakeFolders("System"), "Installation");
    volume.AddFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi", "booter");
    volume.AddFile(kHFSImageRootID, "mach_kernel", "kernel");
    volume.AddFile(volume.MakeFolders("System/Library"), "Extensions.mkext", "mkext");
    volume.AddFile(volume.MakeFolders("System/Library/CoreServices"), "SystemVersion.plist",
                   "<plist/>");
    long long now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("tamsor-bsdp-" + std::to_string(now) + ".img");
    std::string error;
    if (WriteDiscImage(disc, file.string(), nullptr, &error) != kStatusOK) {
        ADD_FAILURE() << "image writer: " << error;
        return path;
    }
    path = file.string();
    // Removed when the test program ends.
    static struct Remover {
        ~Remover() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } remover;
    return path;
}

class BSDPServerTest : public RunLoopTest {
protected:
    void SetUp() override {
        RunLoopTest::SetUp();
        std::string image = DiscImagePath();
        ASSERT_FALSE(image.empty());
        ASSERT_EQ(DeviceBindImage(kDevice, image.c_str(), 0), kStatusOK);
        VolumeIterator iterator{};
        VolumeListing listing;
        ASSERT_EQ(NextVolume(&iterator, &listing), kStatusOK);
        VolumeIteratorFinish(&iterator);
        ASSERT_STREQ(listing.name, kVolumeName);
        ASSERT_EQ(PrepareBootSource(listing.path, false), kStatusOK);
        ASSERT_EQ(DiscShareStart(), kStatusOK);
        httpPort_ = DiscSharePort();
        SetBsdpTftpPort(kTftpPort);
        ClearBsdpPacketAreas();
    }
    void TearDown() override {
        StopBsdp();
        BsdpSetLibraryMode(false);
        BsdpSetRateLimit(kBsdpRateBurst, kBsdpRatePerSecond);
        if (client_ != kQxInvalidSocket) QxPlatformSocketClose(client_);
        SetBootImageNameFormat(nullptr);
        SetBsdpTftpPort(0);
        DiscShareStop();
        EmptyBootFileMap();
        FreeBootImageEntries();
        DeviceUnbind(kDevice);
        RunLoopTest::TearDown();
    }

    void UseFormat(const char* text) {
        QxLStringRef format = QxLStringCreateWithText(text);
        SetBootImageNameFormat(format);
        QxLObjectRelease(format);
    }

    // Starts the responder on a port the system picks and opens the client.
    void StartServer() {
        ASSERT_EQ(StartBsdpOnPort(0, &port_), kStatusOK);
        ASSERT_NE(port_, 0);
        ASSERT_EQ(BsdpPort(), port_);
        client_ = testsupport::UdpSocket(&clientPort_);
        ASSERT_NE(client_, kQxInvalidSocket);
    }

    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(testsupport::SendTo(client_, port_, bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }

    // The next reply, pumping the loop for at most `seconds`; empty if none.
    std::vector<uint8_t> NextReply(double seconds = kWait) {
        std::vector<uint8_t> buffer(4096);
        double deadline = QxRunLoopNow() + seconds;
        for (;;) {
            int received = testsupport::Receive(client_, buffer.data(),
                                                static_cast<int>(buffer.size()));
            if (received >= 0) {
                buffer.resize(static_cast<size_t>(received));
                return buffer;
            }
            if (QxRunLoopNow() > deadline) return {};
            testsupport::RunFor(0.005);
        }
    }

    uint16_t httpPort_ = 0;
    uint16_t port_ = 0;
    uint16_t clientPort_ = 0;
    QxSocketHandle client_ = kQxInvalidSocket;
};

void ExpectCommonHeader(const Reply& reply, const Packet& request) {
    const std::vector<uint8_t>& r = reply.bytes;
    ASSERT_GE(r.size(), 241u);
    EXPECT_EQ(r[0], 2);
    // htype .. ciaddr, giaddr and chaddr are the request's.
    EXPECT_EQ(0, memcmp(&r[1], &request.bytes[1], 15));
    EXPECT_EQ(Get32(&r[16]), 0u) << "yiaddr";
    EXPECT_EQ(Get32(&r[20]), 0x7F000001u) << "siaddr: the address facing 127.0.0.1";
    EXPECT_EQ(0, memcmp(&r[24], &request.bytes[24], 20));
    std::string sname(reinterpret_cast<const char*>(&r[44]), 64);
    EXPECT_EQ(sname, ThisHostName() + std::string(64 - ThisHostName().size(), '\0'));
    EXPECT_EQ(Get32(&r[236]), kDhcpMagicCookie);
    EXPECT_TRUE(reply.wellFormed);
    EXPECT_EQ(reply.options.at(53), Bytes({5}));
    EXPECT_EQ(reply.options.at(54), Bytes({127, 0, 0, 1}));
    EXPECT_EQ(reply.options.at(60), "VRNXBSDPC");
}

TEST_F(BSDPServerTest, ListOffersTheNewestEntryInTheFixedOrder) {
    Packet request = Request(kBsdpList);
    Reply reply;
    ASSERT_EQ(Answer(request, &reply), kStatusOK);
    ExpectCommonHeader(reply, request);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply.bytes[108]), 128),
              std::string(128, '\0'))
        << "file stays empty in a LIST reply";
    EXPECT_EQ(reply.order, (std::vector<int>{53, 54, 60, 43, 255}));
    EXPECT_EQ(reply.bsdpOrder, (std::vector<int>{1, 4, 7, 8, 9}));
    EXPECT_EQ(reply.bsdp[1], Bytes({1}));
    EXPECT_EQ(reply.bsdp[4], Bytes({0x7F, 0xFE}));
    EXPECT_EQ(reply.bsdp[7], Bytes({0x81, 0, 0, 1}));
    EXPECT_EQ(reply.bsdp[8], Bytes({0x81, 0, 0, 1}));
    EXPECT_EQ(reply.bsdp[9], Bytes({0x81, 0, 0, 1, sizeof kVolumeName - 1}) + kVolumeName);

    UseFormat("%1$@ (%2$@)");
    ASSERT_EQ(Answer(request, &reply), kStatusOK);
    std::string name = std::string(kVolumeName) + " (" + DisplayName() + ")";
    EXPECT_EQ(reply.bsdp[9].substr(5), name);
    EXPECT_EQ(static_cast<uint8_t>(reply.bsdp[9][4]), name.size());
}

TEST_F(BSDPServerTest, SelectNamesBooterRootImageAndTftpPort) {
    // Any image ID is answered; no LIST needs to come first.
    Packet request(1, 0x0BADCAFE);
    request.Option(53, Bytes({8}))
        .Option(60, kVendor)
        .Option(43, Bytes({1, 1, 2, 8, 4, 0x12, 0x34, 0x56, 0x78}))
        .End();
    Reply reply;
    ASSERT_EQ(Answer(request, &reply), kStatusOK);
    ExpectCommonHeader(reply, request);
    std::string file(reinterpret_cast<const char*>(&reply.bytes[108]), 128);
    EXPECT_EQ(file, "1/booter" + std::string(120, '\0'));
    EXPECT_EQ(reply.order, (std::vector<int>{17, 53, 54, 60, 43, 255}));
    EXPECT_EQ(reply.options[17],
              "http://127.0.0.1:" + std::to_string(httpPort_) + "/CdRom0.dmg");
    EXPECT_EQ(reply.bsdpOrder, (std::vector<int>{1, 8, 12}));
    EXPECT_EQ(reply.bsdp[1], Bytes({2}));
    EXPECT_EQ(reply.bsdp[8], Bytes({0x81, 0, 0, 1}));
    EXPECT_EQ(reply.bsdp[12], Bytes({kTftpPort >> 8, kTftpPort & 0xFF}));
}

TEST_F(BSDPServerTest, OptionsSentInPiecesAreJoined) {
    Packet request;
    request.Option(60, "VRNXBSDPC/i3")
        .Option(43, Bytes({1, 1}))
        .Option(53, Bytes({8}))
        .Option(60, "86/Model1")
        .Option(43, Bytes({1}))
        .End();
    Reply reply;
    ASSERT_EQ(Answer(request, &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[1], Bytes({1}));
}

TEST_F(BSDPServerTest, RequestsThatAreNotAnsweredGetTheirStatus) {
    auto withVendorArea = [](const std::string& area, const std::string& vendor = kVendor) {
        Packet packet;
        packet.Option(53, Bytes({8})).Option(60, vendor).Option(43, area).End();
        return packet;
    };
    Packet valid = Request(kBsdpList);
    std::vector<uint8_t> noCookie = valid.bytes;
    noCookie[239] ^= 1;
    Packet noVendorArea;
    noVendorArea.Option(53, Bytes({8})).Option(60, kVendor).End();
    Packet noMessageType;
    noMessageType.Option(60, kVendor).Option(43, Bytes({1, 1, 1})).End();
    Packet optionPastEnd;
    optionPastEnd.Option(53, Bytes({8})).Option(60, kVendor).Raw(Bytes({43, 200, 1, 1, 1}));
    Packet lengthByteMissing;
    lengthByteMissing.Option(53, Bytes({8})).Option(60, kVendor).Option(43, Bytes({1, 1, 1}))
        .Raw(Bytes({12}));
    Packet emptyMessageType;
    emptyMessageType.Option(53, "").Option(60, kVendor).Option(43, Bytes({1, 1, 1})).End();

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        QxStatus status;
    };
    std::vector<Case> cases = {
        {"DHCPDISCOVER", Request(kBsdpList, 1, kVendor, 1).bytes, kStatusUnsupported},
        {"DHCPREQUEST", Request(kBsdpSelect, 1, kVendor, 3).bytes, kStatusUnsupported},
        {"lower-case class with fields", Request(kBsdpList, 1, "vrnxbsdpc/i386/Model1").bytes,
         kStatusUnsupported},
        {"bare class", Request(kBsdpList, 1, "VRNXBSDPC").bytes, kStatusUnsupported},
        {"one field", Request(kBsdpList, 1, "VRNXBSDPC/i386").bytes, kStatusUnsupported},
        {"empty first field", Request(kBsdpList, 1, "VRNXBSDPC//Model1").bytes,
         kStatusUnsupported},
        {"shorter than the class", Request(kBsdpList, 1, "VRNXBSD").bytes, kStatusUnsupported},
        {"foreign class", Request(kBsdpList, 1, "PXEClient:Arch:00000").bytes, kStatusUnsupported},
        {"BSDP code 13", withVendorArea(Bytes({1, 1, 1, 13, 1, 0})).bytes, kStatusMalformed},
        // The prefix test ignores case, so option 43 is read (and refused);
        // a class that fails it never has its option 43 read.
        {"lower-case class, BSDP code 13",
         withVendorArea(Bytes({1, 1, 1, 13, 1, 0}), "vrnxbsdpc").bytes, kStatusMalformed},
        {"short class, BSDP code 13",
         withVendorArea(Bytes({1, 1, 1, 13, 1, 0}), "VRNXBSD").bytes, kStatusUnsupported},
        {"BSDP option past its area", withVendorArea(Bytes({1, 1, 1, 9, 30, 0})).bytes,
         kStatusMalformed},
        {"BSDP message type 3", withVendorArea(Bytes({1, 1, 3})).bytes, kStatusUnsupported},
        {"BSDP without a message type", withVendorArea(Bytes({2, 2, 1, 1})).bytes,
         kStatusUnsupported},
        {"no option 43", noVendorArea.bytes, kStatusUnsupported},
        {"no option 53", noMessageType.bytes, kStatusUnsupported},
        {"empty option 53", emptyMessageType.bytes, kStatusUnsupported},
        {"a reply (op 2)", Packet(2).Option(53, Bytes({8})).Option(60, kVendor)
                               .Option(43, Bytes({1, 1, 1})).End().bytes,
         kStatusUnsupported},
        {"op 3", Packet(3).Option(53, Bytes({8})).bytes, kStatusUnexpectedType},
        {"no magic cookie", noCookie, kStatusUnsupported},
        {"option past the packet", optionPastEnd.bytes, kStatusMalformed},
        {"length byte missing", lengthByteMissing.bytes, kStatusMalformed},
        {"235 bytes", std::vector<uint8_t>(valid.bytes.begin(), valid.bytes.begin() + 235),
         kStatusBadSize},
        {"239 bytes", std::vector<uint8_t>(valid.bytes.begin(), valid.bytes.begin() + 239),
         kStatusUnsupported},
        {"empty datagram", {}, kStatusBadSize},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Answer(c.bytes.data(), c.bytes.size()), c.status) << c.name;
    }
    // Nothing of the refused requests lingers in the tables.
    Reply reply;
    ASSERT_EQ(Answer(valid, &reply), kStatusOK);
    EXPECT_EQ(reply.order, (std::vector<int>{53, 54, 60, 43, 255}));
    EXPECT_EQ(reply.bsdpOrder, (std::vector<int>{1, 4, 7, 8, 9}));
}

TEST_F(BSDPServerTest, NoPreparedDiscNoAnswer) {
    FreeBootImageEntries();
    EXPECT_EQ(Answer(Request(kBsdpList)), kStatusNotInitialized);
    EXPECT_EQ(Answer(Request(kBsdpSelect)), kStatusNotInitialized);
}

TEST_F(BSDPServerTest, ImageNamesMustFitTheVendorArea) {
    // The vendor area holds 1, 4, 7 and 8 (19 bytes) and the list entry
    // (2 + 5 + name): names up to 229 bytes fit its 255 bytes.
    std::string padding(229 - (sizeof kVolumeName - 1), 'x');
    UseFormat(("%1$@" + padding).c_str());
    Reply reply;
    ASSERT_EQ(Answer(Request(kBsdpList), &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[9].size(), 5u + 229u);
    UseFormat(("%1$@" + padding + "x").c_str());
    EXPECT_EQ(Answer(Request(kBsdpList)), kStatusBufferTooSmall);
    UseFormat(("%1$@" + std::string(256, 'x')).c_str());
    EXPECT_EQ(Answer(Request(kBsdpList)), kStatusBadSize);
    // SELECT does not carry the name.
    EXPECT_EQ(Answer(Request(kBsdpSelect)), kStatusOK);
}

TEST_F(BSDPServerTest, CutAndScrambledPacketsNeverReadOutside) {
    Packet valid = Request(kBsdpSelect);
    // Every prefix: only those that still hold option 43 whole are answered.
    for (size_t length = 0; length <= valid.bytes.size(); ++length) {
        QxStatus status = Answer(valid.bytes.data(), length);
        bool whole = length >= valid.bytes.size() - 1;  // the end option may go
        EXPECT_EQ(status == kStatusOK, whole) << length << " bytes: " << status;
    }
    std::mt19937 random(1234);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = valid.bytes;
        int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            size_t at = 236 + random() % (bytes.size() - 236);
            bytes[at] = static_cast<uint8_t>(random());
        }
        bytes.resize(236 + random() % (bytes.size() - 235));
        Answer(bytes.data(), bytes.size());
    }
    Reply reply;
    ASSERT_EQ(Answer(valid, &reply), kStatusOK);
    EXPECT_EQ(reply.order, (std::vector<int>{17, 53, 54, 60, 43, 255}));
}

TEST_F(BSDPServerTest, AllocationFailuresOnlyLoseTheAnswer) {
    UseFormat("%1$@ (%2$@)");
    for (uint8_t type : {kBsdpList, kBsdpSelect}) {
        Packet request = Request(type);
        for (int64_t n = 1;; ++n) {
            QxLFailAllocationAfter(n);
            QxStatus status = Answer(request);
            bool triggered = QxLAllocationFailureTriggered();
            QxLFailAllocationAfter(0);
            if (!triggered) {
                EXPECT_EQ(status, kStatusOK);
                break;
            }
            // The display name falls back to a constant when it cannot be
            // made; every other failure drops the answer.
            EXPECT_TRUE(status == kStatusOK || status == kStatusNoMemory)
                << "allocation " << n << ": " << status;
            ASSERT_LT(n, 200);
        }
    }
    // The sanitizer's leak check at exit covers the failed paths.
}

// ---- Over loopback ----------------------------------------------------------------------

TEST_F(BSDPServerTest, AnswersOverUdpAndKeepsServingAfterJunk) {
    StartServer();
    Packet list = Unrelayed(Request(kBsdpList, 0x1001));
    Send(list.bytes);
    std::vector<uint8_t> bytes = NextReply();
    ASSERT_FALSE(bytes.empty());
    Reply reply = ParseReply(bytes.data(), bytes.size());
    ExpectCommonHeader(reply, list);
    EXPECT_EQ(reply.order, (std::vector<int>{53, 54, 60, 43, 255}));

    // Junk of every kind, a datagram larger than the buffer, and refused
    // requests; then a SELECT, whose answer must be the first to arrive.
    Send({});
    Send({1});
    Send(std::vector<uint8_t>(kBsdpPacketSize, 0xFF));
    Send(std::vector<uint8_t>(3000, 0x01));
    Send(Request(kBsdpList, 0x2001, kVendor, 1).bytes);
    Send(Request(kBsdpList, 0x2002, "vrnxbsdpc/i386/Model1").bytes);
    Send(Request(kBsdpList, 0x2003, "VRNXBSDPC").bytes);
    Packet truncated = Request(kBsdpList, 0x2004);
    truncated.bytes.resize(truncated.bytes.size() - 4);
    Send(truncated.bytes);
    Send(Unrelayed(Request(kBsdpSelect, 0x3001)).bytes);
    bytes = NextReply();
    ASSERT_FALSE(bytes.empty());
    reply = ParseReply(bytes.data(), bytes.size());
    EXPECT_EQ(Get32(&reply.bytes[4]), 0x3001u);
    EXPECT_EQ(reply.bsdp[12], Bytes({kTftpPort >> 8, kTftpPort & 0xFF}));
    EXPECT_TRUE(NextReply(0.1).empty());
}

TEST_F(BSDPServerTest, StartAndStopRules) {
    StartServer();
    uint16_t other = 0;
    EXPECT_EQ(StartBsdpOnPort(0, &other), kStatusAlreadyInitialized);
    EXPECT_EQ(BsdpPort(), port_);
    StopBsdp();
    StopBsdp();
    EXPECT_EQ(BsdpPort(), 0);
    // Stopped: nothing answers.
    Send(Unrelayed(Request(kBsdpList)).bytes);
    EXPECT_TRUE(NextReply(0.1).empty());

    // A port in use is refused with the system's error and leaves nothing
    // running.
    uint16_t taken = 0;
    QxSocketHandle holder = testsupport::UdpSocket(&taken);
    ASSERT_NE(holder, kQxInvalidSocket);
    QxPlatformSocketClose(holder);
    holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(taken);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    QxStatus status = StartBsdpOnPort(taken, nullptr);
    EXPECT_GT(status, 0);
    EXPECT_EQ(BsdpPort(), 0);
    QxPlatformSocketClose(holder);
    ASSERT_EQ(StartBsdpOnPort(taken, &port_), kStatusOK);
    EXPECT_EQ(port_, taken);
    Send(Unrelayed(Request(kBsdpList)).bytes);
    EXPECT_FALSE(NextReply().empty());
}

// A relayed request is answered at ciaddr and its reply port in both modes,
// with the same bytes as unrelayed; only a privileged reply port is taken.
TEST_F(BSDPServerTest, RelayedRequestsAreAnsweredAtTheClientOnly) {
    for (bool library : {false, true}) {
        SCOPED_TRACE(library ? "library" : "one disc");
        BsdpSetLibraryMode(library);
        Reply direct, relayed;
        ASSERT_EQ(Answer(Unrelayed(Request(kBsdpList)), &direct), kStatusOK);
        EXPECT_EQ(BsdpLastReplyAddress(), "127.0.0.1:40001") << "the sender";
        ASSERT_EQ(Answer(Request(kBsdpList), &relayed), kStatusOK);
        EXPECT_EQ(BsdpLastReplyAddress(), "10.0.0.7:1023");
        EXPECT_EQ(memcmp(&direct.bytes[44], &relayed.bytes[44], direct.bytes.size() - 44), 0);
        ASSERT_EQ(Answer(Relayed(kBsdpSelect, "")), kStatusOK);
        EXPECT_EQ(BsdpLastReplyAddress(), "10.0.0.7:68") << "no option 5: the DHCP client port";

        BsdpDropCounts before = BsdpDrops();
        for (const Packet& forged :
             {Relayed(kBsdpList, Bytes({5, 2, 0x04, 0x00})),   // 1024
              Relayed(kBsdpList, Bytes({5, 2, 0xFF, 0xFF})),   // 65535
              Relayed(kBsdpList, Bytes({5, 2, 0, 0})),         // 0
              Relayed(kBsdpList, Bytes({5, 2, 0, 68}), 0)}) {  // no ciaddr
            EXPECT_EQ(Answer(forged), kStatusNotAvailable);
        }
        EXPECT_EQ(BsdpDrops().replyPort - before.replyPort, 4u);
    }
}

// A library follows the list rules however many entries it has: with one
// entry, a SELECT of another ID fails and a long name is cut.
TEST_F(BSDPServerTest, LibraryRulesHoldForOneEntry) {
    Packet selectOther = Relayed(kBsdpSelect, Bytes({5, 2, 0, 68}), 0x0A000007, 0x81000002);
    Reply reply;
    ASSERT_EQ(Answer(selectOther, &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[1], Bytes({2})) << "one disc: any ID boots the disc, as it always did";

    BsdpSetLibraryMode(true);
    ASSERT_EQ(Answer(selectOther, &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[1], Bytes({3}));
    EXPECT_EQ(reply.bytes[108], 0) << "no boot file";
    EXPECT_EQ(reply.options.count(17), 0u) << "no root path";
    ASSERT_EQ(Answer(Relayed(kBsdpSelect, "", 0x0A000007, 0x81000001), &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[1], Bytes({2}));

    // 250 bytes of two-byte characters: cut to 246 bytes at most, whole.
    auto* entry = const_cast<BootImageEntry*>(NewestBootImageEntry());
    std::string name;
    while (name.size() < 250) name += "\xc3\xa9";
    QxLCopyBounded(entry->displayName, name.c_str(), sizeof entry->displayName);
    ASSERT_EQ(Answer(Request(kBsdpList), &reply), kStatusOK);
    ASSERT_GE(reply.bsdp[9].size(), 5u);
    EXPECT_EQ(reply.bsdp[9].substr(5), name.substr(0, 246));
    EXPECT_EQ(static_cast<uint8_t>(reply.bsdp[9][4]), 246u);
    EXPECT_EQ(reply.bsdp.count(8), 0u) << "no selection is known";

    // No entry at all: no LIST answer, a SELECT fails.
    FreeBootImageEntries();
    EXPECT_EQ(Answer(Request(kBsdpList)), kStatusNotInitialized);
    ASSERT_EQ(Answer(selectOther, &reply), kStatusOK);
    EXPECT_EQ(reply.bsdp[1], Bytes({3}));
}

// Answers to one address stop after the burst and come again at the rate;
// another address has its own.
TEST_F(BSDPServerTest, AnswersToOneAddressAreRateLimited) {
    BsdpSetRateLimit(5, 1);
    StartServer();
    Packet list = Unrelayed(Request(kBsdpList));
    uint64_t before = BsdpDrops().rateLimited;
    for (int i = 0; i < 8; ++i) Send(list.bytes);
    int answered = 0;
    while (!NextReply(0.3).empty()) ++answered;
    // The burst, and at most one more refilled while waiting.
    EXPECT_GE(answered, 5);
    EXPECT_LT(answered, 8);
    EXPECT_EQ(BsdpDrops().rateLimited - before, static_cast<uint64_t>(8 - answered));
    testsupport::RunFor(1.1);
    Send(list.bytes);
    EXPECT_FALSE(NextReply().empty()) << "the rate refills the bucket";
}

// ---- scapy as the client ----------------------------------------------------------------

// Sends requests made with scapy and prints what it parses out of the
// replies, one "key value" line each. Refused requests are each followed by
// a valid LIST; the xid of the first reply tells whether the refused one was
// answered. Exit 77: no scapy.
constexpr char kScapyClient[] = R"PY(
import socket, sys
try:
    from scapy.layers.dhcp import BOOTP, DHCP, DHCPOptions
except ImportError:
    sys.exit(77)

port, mode = int(sys.argv[1]), sys.argv[2]
codes = {(f if isinstance(f, str) else f.name): c for c, f in DHCPOptions.items()}
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", 0))
out = sys.stdout.buffer
MAC = bytes.fromhex("0016cbaabbcc")

def say(key, value):
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    out.write(("%s %s\n" % (key, value)).encode("utf-8"))

def request(xid, bsdp_type, vendor=b"VRNXBSDPC/i386/Model1", kind="inform", area=None):
    if area is None:
        area = bytes([1, 1, bsdp_type])
    options = [("message-type", kind), ("vendor_class_id", vendor),
               ("vendor_specific", area), "end"]
    return bytes(BOOTP(op=1, htype=1, hlen=6, xid=xid, ciaddr="127.0.0.1", chaddr=MAC)
                 / DHCP(options=options))

def exchange(packet, timeout):
    sock.settimeout(timeout)
    sock.sendto(packet, ("127.0.0.1", port))
    try:
        return sock.recv(2048)
    except socket.timeout:
        return None

def describe(tag, raw):
    reply = BOOTP(raw)
    say(tag + ".xid", "%08x" % reply.xid)
    say(tag + ".siaddr", reply.siaddr)
    say(tag + ".file", reply.file.rstrip(b"\0"))
    order, values = [], {}
    for option in reply[DHCP].options:
        if option == "end":
            order.append(255)
            break
        if option == "pad":
            continue
        code = option[0] if isinstance(option[0], int) else codes[option[0]]
        order.append(code)
        values[code] = option[1]
    say(tag + ".options", ",".join(str(c) for c in order))
    say(tag + ".server_id", values.get(54))
    if 17 in values:
        say(tag + ".root_path", values[17])
    area, bsdp, i = values.get(43, b""), [], 0
    while i + 2 <= len(area):
        code, size = area[i], area[i + 1]
        value = area[i + 2:i + 2 + size]
        bsdp.append(code)
        if code == 9:
            say(tag + ".image", "%s %s" % (value[:4].hex(), value[5:5 + value[4]].decode("utf-8")))
        else:
            say(tag + ".bsdp.%d" % code, value.hex())
        i += 2 + size
    say(tag + ".bsdp", ",".join(str(c) for c in bsdp))

if mode == "served":
    describe("list", exchange(request(0x1001, 1), 10))
    describe("select", exchange(request(0x1002, 2), 10))
    refused = [("discover", request(0x2001, 1, kind="discover")),
               ("request", request(0x2002, 2, kind="request")),
               ("lowercase", request(0x2003, 1, vendor=b"vrnxbsdpc/i386/Model1")),
               ("bare", request(0x2004, 1, vendor=b"VRNXBSDPC")),
               ("code13", request(0x2005, 1, area=bytes([1, 1, 1, 13, 1, 0])))]
    for n, (name, packet) in enumerate(refused):
        sock.sendto(packet, ("127.0.0.1", port))
        first = exchange(request(0x3001 + n, 1), 10)
        say("refused." + name, "%08x" % BOOTP(first).xid if first else "none")
else:
    for kind in (1, 2):
        first = exchange(request(0x4001 + kind, kind), 0.5)
        say("nodisc.%d" % kind, "answered" if first else "none")
)PY";

class BSDPScapyTest : public BSDPServerTest {
protected:
    // Runs the client against the server while pumping the loop; the
    // parsed lines, or an empty map (with a failure or a skip noted).
    // Linux programs cannot be started from the Windows build under wine.
    std::map<std::string, std::string> RunClient(const char* mode) {
        std::map<std::string, std::string> facts;
#if defined(_WIN32)
        (void)mode;
        skipped_ = true;
#else
        std::filesystem::path dir = std::filesystem::temp_directory_path();
        std::string script = (dir / ("tamsor-bsdp-" + std::to_string(getpid()) + ".py")).string();
        std::string output = script + ".out";
        std::ofstream(script) << kScapyClient;
        std::string python = TAMSOR_PYTHON3[0] != '\0' ? TAMSOR_PYTHON3 : "/usr/bin/python3";
        std::string portText = std::to_string(port_);
        std::vector<char*> argv = {python.data(), script.data(), portText.data(),
                                   const_cast<char*>(mode), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << python;
            return facts;
        }
        int status = 0;
        double deadline = QxRunLoopNow() + 60;
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (QxRunLoopNow() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the scapy client timed out";
                break;
            }
            testsupport::RunFor(0.005);
        }
        std::ifstream in(output);
        for (std::string line; std::getline(in, line);) {
            size_t space = line.find(' ');
            if (space != std::string::npos) facts[line.substr(0, space)] = line.substr(space + 1);
        }
        std::filesystem::remove(script);
        std::filesystem::remove(output);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
            skipped_ = true;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "scapy client status " << status;
        }
#endif
        return facts;
    }
    bool skipped_ = false;
};

TEST_F(BSDPScapyTest, ListAndSelectAsScapySeesThem) {
    StartServer();
    UseFormat("%1$@ (%2$@)");
    std::map<std::string, std::string> facts = RunClient("served");
    if (skipped_) GTEST_SKIP() << "no scapy client (python3-scapy missing, or under wine)";

    char tftpPort[8];
    snprintf(tftpPort, sizeof tftpPort, "%04x", kTftpPort);
    std::map<std::string, std::string> expected = {
        {"list.xid", "00001001"},
        {"list.siaddr", "127.0.0.1"},
        {"list.file", ""},
        {"list.options", "53,54,60,43,255"},
        {"list.server_id", "127.0.0.1"},
        {"list.bsdp", "1,4,7,8,9"},
        {"list.bsdp.1", "01"},
        {"list.bsdp.4", "7ffe"},
        {"list.bsdp.7", "81000001"},
        {"list.bsdp.8", "81000001"},
        {"list.image", std::string("81000001 ") + kVolumeName + " (" + DisplayName() + ")"},
        {"select.xid", "00001002"},
        {"select.file", "1/booter"},
        {"select.options", "17,53,54,60,43,255"},
        {"select.root_path", "http://127.0.0.1:" + std::to_string(httpPort_) + "/CdRom0.dmg"},
        {"select.bsdp", "1,8,12"},
        {"select.bsdp.1", "02"},
        {"select.bsdp.8", "81000001"},
        {"select.bsdp.12", tftpPort},
        // The valid LIST after each refused request is the first answer.
        {"refused.discover", "00003001"},
        {"refused.request", "00003002"},
        {"refused.lowercase", "00003003"},
        {"refused.bare", "00003004"},
        {"refused.code13", "00003005"},
    };
    for (const auto& [key, value] : expected) {
        auto found = facts.find(key);
        if (found == facts.end()) {
            ADD_FAILURE() << key << " missing from the client's output";
        } else {
            EXPECT_EQ(found->second, value) << key;
        }
    }
}

TEST_F(BSDPScapyTest, NoPreparedDiscScapyGetsNoAnswer) {
    StartServer();
    FreeBootImageEntries();
    std::map<std::string, std::string> facts = RunClient("nodisc");
    if (skipped_) GTEST_SKIP() << "no scapy client (python3-scapy missing, or under wine)";
    EXPECT_EQ(facts["nodisc.1"], "none");
    EXPECT_EQ(facts["nodisc.2"], "none");
}
}  // namespace
