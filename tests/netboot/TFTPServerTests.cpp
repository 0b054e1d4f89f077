// The TFTP server over loopback: a UDP client inside the test (both
// targets) drives every step of the protocol, hostile packets included,
// with the retransmission clock shortened through the server's time-scale
// hook; curl and tftp-hpa's client fetch the boot files as independent
// peers on Linux while the test pumps the run loop.
//
// The served disc comes from the image writer with self-describing pattern
// contents, so a block sent from the wrong offset shows in the bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "BootSource.h"
#include "DMGWriter.h"
#include "DeviceBinding.h"
#include "DiscShare.h"
#include "HFSImageWriter.h"
#include "QxLBuild.h"
#include "QxLMemory.h"
#include "QxWorkPool.h"
#include "TFTPServer.h"
#include "VolumePath.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;

constexpr char kDrive0[] = "\\\\.\\CdRom0";
constexpr char kDrive1[] = "\\\\.\\CdRom1";
constexpr char kVolume0[] = "pfs:\\\\.\\CdRom0#2";
constexpr char kVolume1[] = "pfs:\\\\.\\CdRom1#2";

constexpr uint64_t kBooterSize = 1024;  // two full blocks of 512 and an empty one
constexpr uint64_t kKernelSize = 300000;
constexpr uint64_t kExtensionsSize = 700001;
constexpr uint64_t kDiagsSize = 5000;
// 65535 blocks of 512 bytes: the first size the default block size refuses.
constexpr uint64_t kTooBig = 65535ull * 512;

constexpr double kWait = 10.0;
constexpr double kQuiet = 0.15;  // how long "no answer" is watched for

// ---- Packets --------------------------------------------------------------------

using Options = std::vector<std::pair<std::string, std::string>>;

std::string U16(unsigned value) {
    return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string Request(const std::string& name, const Options& options = {},
                    const std::string& mode = "octet") {
    std::string packet = U16(1) + name + '\0' + mode + '\0';
    for (const auto& [option, value] : options) packet += option + '\0' + value + '\0';
    return packet;
}

// A literal with its inner NULs.
template <size_t N>
std::string Z(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string Ack(unsigned block) { return U16(4) + U16(block); }

std::string ErrorPacket(unsigned code, const std::string& text) {
    return U16(5) + U16(code) + text + '\0';
}

struct Packet {
    std::string bytes;
    uint16_t port = 0;  // the sender's

    unsigned Opcode() const { return bytes.size() >= 2 ? Word(0) : 0xFFFFFFFF; }
    unsigned Number() const { return bytes.size() >= 4 ? Word(2) : 0xFFFFFFFF; }
    std::string Payload() const { return bytes.size() > 4 ? bytes.substr(4) : std::string(); }
    // An ERROR's text, which must end with the packet's only NUL.
    std::string Text() const {
        std::string payload = Payload();
        if (payload.empty() || payload.back() != '\0') return "<no NUL>";
        payload.pop_back();
        return payload.find('\0') == std::string::npos ? payload : "<inner NUL>";
    }
    unsigned Word(size_t at) const {
        return static_cast<unsigned>(static_cast<uint8_t>(bytes[at]) << 8 |
                                     static_cast<uint8_t>(bytes[at + 1]));
    }
};

std::string Pattern(uint32_t fileID, uint64_t size) {
    std::string bytes(size, '\0');
    HFSImagePatternBytes(fileID, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

// A UDP client on 127.0.0.1 whose receives pump the run loop.
class Client {
public:
    Client() { handle_ = testsupport::UdpSocket(&port_); }
    ~Client() {
        if (handle_ != kQxInvalidSocket) QxPlatformSocketClose(handle_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Ok() const { return handle_ != kQxInvalidSocket; }
    uint16_t Port() const { return port_; }
    QxSocketHandle Handle() const { return handle_; }

    void SendTo(uint16_t port, const std::string& bytes) {
        testsupport::SendTo(handle_, port, bytes.data(), static_cast<int>(bytes.size()));
    }

    // The next datagram, pumping the loop for at most `seconds`.
    bool Receive(Packet* packet, double seconds = kWait) {
        double deadline = QxRunLoopNow() + seconds;
        for (;;) {
            // What the server has to do is usually ready at once: let it
            // run before sleeping on the loop.
            if (TakeDatagram(packet)) return true;
            QxRunLoopPumpDispatchReady();
            if (TakeDatagram(packet)) return true;
            if (QxRunLoopNow() > deadline) return false;
            testsupport::RunFor(0.001);
        }
    }

    // True when nothing arrives for `seconds` of pumping.
    bool Quiet(double seconds = kQuiet) {
        Packet packet;
        return !Receive(&packet, seconds);
    }

private:
    bool TakeDatagram(Packet* packet) {
        static char buffer[70000];
        uint16_t from = 0;
        int count = testsupport::ReceiveFrom(handle_, buffer, sizeof buffer, &from);
        if (count < 0) return false;
        packet->bytes.assign(buffer, static_cast<size_t>(count));
        packet->port = from;
        return true;
    }

    QxSocketHandle handle_ = kQxInvalidSocket;
    uint16_t port_ = 0;
};

// ---- Events ---------------------------------------------------------------------

struct Event {
    std::string message;
    bool constantMessage = false;  // "Message" is the constant object itself
    std::string filename;
    bool hasReason = false;
    int32_t reason = 0;
};

QxStatus RecordEvent(QxLObjectRef object, void* context) {
    Event event;
    QxLObjectRef message = nullptr;
    if (QxLGet(object, &message, "%kO", kNetBootKeyMessage) == kStatusOK) {
        event.constantMessage = message == kNetBootEventTFTPOpen || message == kNetBootEventTFTPClose;
    }
    char* text = nullptr;
    if (QxLGet(object, &text, "%kO:utf8", kNetBootKeyMessage) == kStatusOK) {
        event.message = text;
        free(text);
    }
    if (QxLGet(object, &text, "%kO:utf8", kNetBootKeyFilename) == kStatusOK) {
        event.filename = text;
        free(text);
    }
    event.hasReason = QxLGet(object, &event.reason, "%kO:int", kNetBootKeyReason) == kStatusOK;
    static_cast<std::vector<Event>*>(context)->push_back(event);
    return kStatusOK;
}

// ---- Fixture --------------------------------------------------------------------

struct DiscFiles {
    uint32_t booter = 0;
    uint32_t kernel = 0;
    uint32_t extensions = 0;
    uint32_t diags = 0;
};

class TftpTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(testsupport::MakeScratchFolder("tamsor-tftp-"));
        HFSImageSpec disc;
        HFSImageVolume& volume = disc.AddVolume("Orvane Install");
        volume.MakeFolders("System/Installation");
        files_.booter = volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"),
                                              "boot.efi", kBooterSize);
        files_.kernel = volume.AddPatternFile(kHFSImageRootID, "mach_kernel", kKernelSize);
        volume.Fragment(files_.kernel, 9);
        files_.extensions = volume.AddPatternFile(volume.MakeFolders("System/Library"),
                                                  "Extensions.mkext", kExtensionsSize);
        uint32_t coreServices = volume.MakeFolders("System/Library/CoreServices");
        volume.AddFile(coreServices, "SystemVersion.plist", "<plist version=\"1.0\"/>\n");
        uint32_t diagnostics = volume.MakeFolders("System/Library/CoreServices/.diagnostics");
        files_.diags = volume.AddPatternFile(diagnostics, "diags.efi", kDiagsSize);
        volume.AddFile(diagnostics, "x.efi", "x tool");
        std::string error;
        ASSERT_EQ(WriteDiscImage(disc, Image("install"), nullptr, &error), kStatusOK) << error;
    }
    static void TearDownTestSuite() {
        testsupport::RemoveScratchFolder(*dir_);
        delete dir_;
    }

    void SetUp() override {
        RunLoopTest::SetUp();
        ASSERT_EQ(DeviceBindImage(kDrive0, Image("install").c_str(), 0), kStatusOK);
        ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
        ASSERT_EQ(StartTftp(&port_), kStatusOK);
        ASSERT_NE(port_, 0);
        TftpSetEventSink(RecordEvent, &events_);
    }
    void TearDown() override {
        StopTftp();
        TftpSetEventSink(nullptr, nullptr);
        TftpSetTimeScale(1.0);
        TftpSetSessionLimit(0);
        FreeBootImageEntries();
        DiscShareStop();
        DeviceUnbindAll();
        RunLoopTest::TearDown();
    }

    static std::string Image(const std::string& name) {
        return (*dir_ / (name + ".img")).string();
    }
    static std::string Path(const std::string& name) { return (*dir_ / name).string(); }

    // Sends the request and returns the first answer (which must come).
    Packet Ask(Client& client, const std::string& request) {
        client.SendTo(port_, request);
        Packet packet;
        EXPECT_TRUE(client.Receive(&packet)) << "no answer";
        return packet;
    }

    // The whole exchange: RRQ, the OACK if any (its options returned), then
    // every DATA block acknowledged. Returns the file's bytes.
    std::string Fetch(Client& client, const std::string& name, const Options& options,
                      std::string* optionAck = nullptr, size_t* blocks = nullptr) {
        Packet packet = Ask(client, Request(name, options));
        uint16_t sessionPort = packet.port;
        size_t blockSize = 512;
        if (packet.Opcode() == 6) {
            if (optionAck != nullptr) *optionAck = packet.bytes.substr(2);
            // The block size the server agreed to, from its OACK.
            size_t at = packet.bytes.find(Z("blksize\0"));
            if (at != std::string::npos) blockSize = std::stoul(packet.bytes.substr(at + 8));
            client.SendTo(sessionPort, Ack(0));
            EXPECT_TRUE(client.Receive(&packet));
        }
        std::string bytes;
        size_t count = 0;
        for (unsigned expected = 1;; ++expected) {
            if (packet.Opcode() != 3 || packet.Number() != (expected & 0xFFFF)) {
                ADD_FAILURE() << "expected DATA " << expected << ", got opcode "
                              << packet.Opcode() << " " << packet.Text();
                return bytes;
            }
            EXPECT_EQ(packet.port, sessionPort);
            ++count;
            std::string payload = packet.Payload();
            bytes += payload;
            client.SendTo(sessionPort, Ack(expected & 0xFFFF));
            if (payload.size() < blockSize) break;
            if (!client.Receive(&packet)) {
                ADD_FAILURE() << "no DATA " << expected + 1;
                return bytes;
            }
        }
        if (blocks != nullptr) *blocks = count;
        // The last ACK closes the session; let the loop take it.
        double deadline = QxRunLoopNow() + kWait;
        while (TftpFirstSession() != nullptr && QxRunLoopNow() < deadline) {
            testsupport::RunFor(0.001);
        }
        return bytes;
    }

    // Expects an ERROR packet with this code and text.
    static void ExpectError(const Packet& packet, unsigned code, const std::string& text) {
        EXPECT_EQ(packet.Opcode(), 5u);
        EXPECT_EQ(packet.Number(), code);
        EXPECT_EQ(packet.Text(), text);
    }

    // Pumps until the session list is empty (a close must come).
    bool NoSessionsLeft(double seconds = kWait) {
        double deadline = QxRunLoopNow() + seconds;
        while (TftpFirstSession() != nullptr) {
            if (QxRunLoopNow() > deadline) return false;
            testsupport::RunFor(0.001);
        }
        return true;
    }

    size_t SessionCount() const {
        size_t count = 0;
        for (TftpSession* session = TftpFirstSession(); session != nullptr;
             session = session->next) {
            ++count;
        }
        return count;
    }

    void ExpectEvents(const std::vector<std::pair<std::string, int32_t>>& expected,
                      const std::string& filename) {
        ASSERT_EQ(events_.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(events_[i].message, expected[i].first);
            EXPECT_TRUE(events_[i].constantMessage);
            EXPECT_EQ(events_[i].filename, filename);
            if (expected[i].first == "TFTPOpen") {
                EXPECT_FALSE(events_[i].hasReason);
            } else {
                EXPECT_TRUE(events_[i].hasReason);
                EXPECT_EQ(events_[i].reason, expected[i].second);
            }
        }
    }

    static fs::path* dir_;
    static DiscFiles files_;
    uint16_t port_ = 0;
    std::vector<Event> events_;
};

fs::path* TftpTest::dir_ = nullptr;
DiscFiles TftpTest::files_;

// ---- Transfers ------------------------------------------------------------------

TEST_F(TftpTest, PlainRequestSendsBlocksFromItsOwnPortAndEndsWithAnEmptyBlock) {
    Client client;
    ASSERT_TRUE(client.Ok());
    size_t blocks = 0;
    std::string bytes = Fetch(client, "1/booter", {}, nullptr, &blocks);
    EXPECT_TRUE(bytes == Pattern(files_.booter, kBooterSize));
    EXPECT_EQ(blocks, 3u) << "512, 512 and 0 bytes";
    EXPECT_TRUE(NoSessionsLeft());
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", 0}}, "1/booter");
    EXPECT_TRUE(client.Quiet());
}

TEST_F(TftpTest, OptionAckListsTsizeTimeoutBlksizeInThatOrderAndBlocksFollowIt) {
    Client client;
    std::string optionAck;
    // The client's order does not matter; names are case-insensitive.
    std::string bytes = Fetch(client, "1/mach.orvane",
                              {{"timeout", "3"}, {"BlkSize", "1468"}, {"TSIZE", "0"}}, &optionAck);
    EXPECT_EQ(optionAck, Z("tsize\0" "300000\0" "timeout\0" "3\0" "blksize\0" "1468\0"));
    EXPECT_TRUE(bytes == Pattern(files_.kernel, kKernelSize));
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", 0}}, "1/mach.orvane");

    // The largest block size: datagrams of 65468 bytes.
    size_t blocks = 0;
    bytes = Fetch(client, "1/mach.orvane.mkext", {{"blksize", "65464"}}, &optionAck, &blocks);
    EXPECT_EQ(optionAck, Z("blksize\0" "65464\0"));
    EXPECT_TRUE(bytes == Pattern(files_.extensions, kExtensionsSize));
    EXPECT_EQ(blocks, kExtensionsSize / 65464 + 1);
}

TEST_F(TftpTest, OptionsOutOfRangeOrUnknownAreNotEchoed) {
    struct Case {
        Options options;
        std::string optionAck;  // empty: DATA 1 comes at once
        size_t firstBlock;
    };
    const Case cases[] = {
        {{{"blksize", "4"}}, "", 512},
        {{{"blksize", "7"}}, "", 512},
        {{{"blksize", "8"}}, Z("blksize\0" "8\0"), 8},
        {{{"blksize", "65465"}}, "", 512},
        {{{"blksize", "99999999999999999999"}}, "", 512},
        {{{"blksize", "1468x"}}, "", 512},
        {{{"blksize", "-512"}}, "", 512},
        {{{"blksize", ""}}, "", 512},
        {{{"tsize", "100"}}, "", 512},
        {{{"timeout", "0"}, {"timeout", "256"}}, "", 512},
        {{{"timeout", "255"}}, Z("timeout\0" "255\0"), 512},
        {{{"windowsize", "0"}, {"multicast", ""}, {"", ""}}, "", 512},
        {{{"windowsize", "65536"}}, "", 512},
        // A later valid value wins over an earlier one; an invalid one after
        // it changes nothing.
        {{{"blksize", "1024"}, {"blksize", "2048"}, {"blksize", "4"}},
         Z("blksize\0" "2048\0"), 2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "" : c.options[0].first + "=" + c.options[0].second);
        Client client;
        Packet packet = Ask(client, Request("1/mach.orvane", c.options));
        if (c.optionAck.empty()) {
            EXPECT_EQ(packet.Opcode(), 3u);
            EXPECT_EQ(packet.Number(), 1u);
        } else {
            EXPECT_EQ(packet.Opcode(), 6u);
            EXPECT_EQ(packet.bytes.substr(2), c.optionAck);
            client.SendTo(packet.port, Ack(0));
            ASSERT_TRUE(client.Receive(&packet));
        }
        EXPECT_EQ(packet.Payload(), Pattern(files_.kernel, kKernelSize).substr(0, c.firstBlock));
        // The client gives up: the session ends without an answer.
        client.SendTo(packet.port, ErrorPacket(0, "enough"));
        EXPECT_TRUE(NoSessionsLeft());
        EXPECT_TRUE(client.Quiet(0.02));
    }
    ASSERT_FALSE(events_.empty());
    EXPECT_EQ(events_.back().reason, kStatusAbortedByPeer);
}

TEST_F(TftpTest, ModeIsCaseInsensitiveAndDiagnosticsComeThroughTheFolder) {
    ASSERT_EQ(PrepareBootSource(kVolume0, true), kStatusOK);
    Client client;
    EXPECT_TRUE(Fetch(client, "1/booter", {}) == Pattern(files_.diags, kDiagsSize));
    EXPECT_EQ(Fetch(client, "/System/Library/CoreServices/.diagnostics/x.efi", {}), "x tool");
    Packet packet = Ask(client, Request("x.efi", {}, "OcTeT"));
    EXPECT_EQ(packet.Opcode(), 3u);
    EXPECT_EQ(packet.Payload(), "x tool");
    client.SendTo(packet.port, Ack(1));
    EXPECT_TRUE(NoSessionsLeft());

    ExpectError(Ask(client, Request("../mach_kernel")), 1, "Open File Failed: -6727");
}

// ---- Refusals -------------------------------------------------------------------

TEST_F(TftpTest, MalformedRequestsGetTheirErrorsFromTheListeningPort) {
    struct Case {
        std::string packet;
        unsigned code;
        std::string text;  // empty: no answer at all
    };
    const std::string rrq = U16(1);
    const Case cases[] = {
        {"", 0, ""},
        {std::string(1, '\0'), 0, ""},
        {rrq, 0, ""},
        {U16(2) + "1/booter" + '\0' + "octet" + '\0', 4, "Only Reads Supported"},
        {U16(4) + U16(1), 4, "Only Reads Supported"},
        {U16(0x0101) + "x", 4, "Only Reads Supported"},
        {rrq + "1/booter", 0, "Truncated Filename"},
        {rrq + "1/booter" + '\0', 0, "Truncated Mode"},
        {rrq + "1/booter" + '\0' + "octet", 0, "Truncated Mode"},
        {rrq + "1/booter" + '\0' + "netascii" + '\0', 4, "Only octet Supported"},
        {rrq + "1/booter" + '\0' + "octets" + '\0', 4, "Only octet Supported"},
        {rrq + "1/booter" + '\0' + '\0', 4, "Only octet Supported"},
        {Request("1/booter") + "blksize", 8, "Truncated Option Name"},
        {Request("1/booter") + "blksize" + '\0', 8, "Truncated Option Value"},
        {Request("1/booter") + "blksize" + '\0' + "512", 8, "Truncated Option Value"},
        {Request("1/booter") + '\0', 8, "Truncated Option Value"},
    };
    Client client;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.empty() ? "silent, " + std::to_string(c.packet.size()) : c.text);
        client.SendTo(port_, c.packet);
        Packet packet;
        if (c.text.empty()) {
            EXPECT_FALSE(client.Receive(&packet, kQuiet));
            continue;
        }
        ASSERT_TRUE(client.Receive(&packet));
        EXPECT_EQ(packet.port, port_);
        ExpectError(packet, c.code, c.text);
    }
    EXPECT_EQ(TftpFirstSession(), nullptr);
    EXPECT_TRUE(events_.empty());

    // A datagram longer than the receive buffer: at most its first 1024
    // bytes are looked at (where the system cuts it), or it is dropped.
    client.SendTo(port_, rrq + std::string(1500, 'n'));
    Packet packet;
    if (client.Receive(&packet, kQuiet)) ExpectError(packet, 0, "Truncated Filename");

    // The server still serves.
    EXPECT_TRUE(Fetch(client, "1/booter", {}) == Pattern(files_.booter, kBooterSize));
}

TEST_F(TftpTest, MissingFileGetsCodeOneAndNoEvents) {
    Client client;
    Packet packet = Ask(client, Request("1/nothing", {{"tsize", "0"}}));
    EXPECT_EQ(packet.port, port_);
    ExpectError(packet, 1, "Open File Failed: -6727");
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(TftpFirstSession(), nullptr);

    // After the map is emptied the boot files are gone too.
    EmptyBootFileMap();
    ExpectError(Ask(client, Request("1/booter")), 1, "Open File Failed: -6727");
}

TEST_F(TftpTest, FilesNeedingMoreThan65534FullBlocksAreTooBig) {
    // A disc whose diagnostics folder holds a file of exactly 65535 blocks
    // of 512 bytes and one a byte shorter (zeros, from one sparse file).
    std::string zeros = Path("zeros");
    {
        std::ofstream out(zeros, std::ios::binary);
    }
    fs::resize_file(zeros, kTooBig);
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume("Big");
    uint32_t diagnostics = volume.MakeFolders("System/Library/CoreServices/.diagnostics");
    volume.AddFile(diagnostics, "diags.efi", "d");
    volume.AddHostFile(diagnostics, "big", zeros, kTooBig);
    volume.AddHostFile(diagnostics, "big-1", zeros, kTooBig - 1);
    std::string error;
    ASSERT_EQ(WriteDiscImage(disc, Image("big"), nullptr, &error), kStatusOK) << error;
    fs::remove(zeros);
    ASSERT_EQ(DeviceBindImage(kDrive1, Image("big").c_str(), 0), kStatusOK);
    ASSERT_EQ(PrepareBootSource(kVolume1, true), kStatusOK);

    Client client;
    Packet packet = Ask(client, Request("big"));
    EXPECT_EQ(packet.port, port_);
    ExpectError(packet, 1, "File Too Big: Use blksize > 512");
    EXPECT_TRUE(events_.empty()) << "dropped without an end event";

    packet = Ask(client, Request("big-1"));
    EXPECT_EQ(packet.Opcode(), 3u);
    EXPECT_EQ(packet.Payload(), std::string(512, '\0'));
    client.SendTo(packet.port, ErrorPacket(0, "stop"));
    EXPECT_TRUE(NoSessionsLeft());

    // A larger block size makes it fit, and tsize reports the size.
    packet = Ask(client, Request("big", {{"blksize", "1024"}, {"tsize", "0"}}));
    EXPECT_EQ(packet.Opcode(), 6u);
    EXPECT_EQ(packet.bytes.substr(2), Z("tsize\0" "33553920\0" "blksize\0" "1024\0"));
}

// ---- Acknowledgements -----------------------------------------------------------

TEST_F(TftpTest, DuplicateStrayAndForeignAcksAreIgnored) {
    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane"));
    uint16_t session = packet.port;
    ASSERT_EQ(packet.Number(), 1u);
    client.SendTo(session, Ack(1));
    ASSERT_TRUE(client.Receive(&packet));
    ASSERT_EQ(packet.Number(), 2u);

    // The previous block again, a future one, and a longer ACK of block 0:
    // no answer, and the send count stays as it was.
    client.SendTo(session, Ack(1));
    client.SendTo(session, Ack(7));
    client.SendTo(session, Ack(0) + "trailing");
    EXPECT_TRUE(client.Quiet());
    TftpSession* state = TftpFirstSession();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->block, 2);
    EXPECT_EQ(state->sendCount, 1);

    // The right block from another port never reaches the session.
    Client stranger;
    stranger.SendTo(session, Ack(2));
    EXPECT_TRUE(client.Quiet());
    EXPECT_EQ(state->block, 2);

    // Bytes after the block number are ignored.
    client.SendTo(session, Ack(2) + "xyz");
    ASSERT_TRUE(client.Receive(&packet));
    EXPECT_EQ(packet.Opcode(), 3u);
    EXPECT_EQ(packet.Number(), 3u);
    EXPECT_EQ(packet.Payload(), Pattern(files_.kernel, kKernelSize).substr(1024, 512));
}

TEST_F(TftpTest, BadPacketsOnTheSessionSocketEndTheSession) {
    struct Case {
        std::string packet;
        unsigned code;
        std::string text;  // empty: the client's ERROR, no answer
        QxStatus reason;
    };
    const Case cases[] = {
        {"", 0, "Packet Too Small (0 bytes)", kStatusBadSize},
        {std::string(1, '\4'), 0, "Packet Too Small (1 bytes)", kStatusBadSize},
        {U16(4), 0, "ACK Too Small (2 bytes)", kStatusBadSize},
        {U16(4) + std::string(1, '\1'), 0, "ACK Too Small (3 bytes)", kStatusBadSize},
        {Request("1/booter"), 4, "Non-ACK or ERROR packet (1)", kStatusUnexpectedType},
        {U16(3) + U16(1) + "data", 4, "Non-ACK or ERROR packet (3)", kStatusUnexpectedType},
        {U16(0xFFFF), 4, "Non-ACK or ERROR packet (65535)", kStatusUnexpectedType},
        {ErrorPacket(0, "bye"), 0, "", kStatusAbortedByPeer},
        {U16(5), 0, "", kStatusAbortedByPeer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        events_.clear();
        Client client;
        Packet packet = Ask(client, Request("1/booter"));
        ASSERT_EQ(packet.Opcode(), 3u);
        client.SendTo(packet.port, c.packet);
        if (c.text.empty()) {
            EXPECT_TRUE(client.Quiet());
        } else {
            Packet error;
            ASSERT_TRUE(client.Receive(&error));
            EXPECT_EQ(error.port, packet.port);
            ExpectError(error, c.code, c.text);
        }
        EXPECT_TRUE(NoSessionsLeft());
        ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", c.reason}}, "1/booter");
    }
}

// ---- Retransmission -------------------------------------------------------------

// With the clock scaled down, a second of the server's is `tick` here.
constexpr double kTick = 0.02;

TEST_F(TftpTest, UnansweredFirstBlockIsSentNineTimesThenTheSessionTimesOut) {
    TftpSetTimeScale(kTick);
    Client client;
    double asked = QxRunLoopNow();
    Packet packet = Ask(client, Request("1/mach.orvane"));
    std::vector<double> arrivals = {QxRunLoopNow()};
    std::string first = packet.bytes;
    for (;;) {
        ASSERT_TRUE(client.Receive(&packet));
        if (packet.Opcode() != 3) break;
        EXPECT_EQ(packet.bytes, first) << "a retransmission resends the same bytes";
        arrivals.push_back(QxRunLoopNow());
    }
    EXPECT_EQ(arrivals.size(), 9u);
    ExpectError(packet, 0, "Retry Limit Exceeded (10) for block 1");
    // Default time-out 5: resent about every 5 ticks, never sooner. Taken
    // from the request, so that a late look at one packet (a busy machine)
    // cannot make the next seem early: the n-th resend is not seen before
    // n time-outs have passed.
    for (size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - asked, static_cast<double>(i) * 5 * kTick * 0.9) << i;
    }
    EXPECT_TRUE(NoSessionsLeft());
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", kStatusTimeout}}, "1/mach.orvane");
    EXPECT_TRUE(client.Quiet());
}

TEST_F(TftpTest, LaterBlocksAreSentTenTimesAndTheOptionAckNine) {
    TftpSetTimeScale(kTick);
    Client client;
    // The OACK itself is the first packet: nine sends, block 0.
    Packet packet = Ask(client, Request("1/mach.orvane", {{"timeout", "1"}}));
    ASSERT_EQ(packet.Opcode(), 6u);
    int sends = 1;
    while (client.Receive(&packet) && packet.Opcode() == 6) ++sends;
    EXPECT_EQ(sends, 9);
    ExpectError(packet, 0, "Retry Limit Exceeded (10) for block 0");
    EXPECT_TRUE(NoSessionsLeft());

    // After an accepted ACK the count starts from zero: ten sends.
    events_.clear();
    packet = Ask(client, Request("1/mach.orvane", {{"timeout", "2"}}));
    client.SendTo(packet.port, Ack(0));
    ASSERT_TRUE(client.Receive(&packet));
    client.SendTo(packet.port, Ack(1));
    sends = 0;
    while (client.Receive(&packet) && packet.Opcode() == 3) {
        EXPECT_EQ(packet.Number(), 2u);
        ++sends;
    }
    EXPECT_EQ(sends, 10);
    ExpectError(packet, 0, "Retry Limit Exceeded (10) for block 2");
    EXPECT_TRUE(NoSessionsLeft());
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", kStatusTimeout}}, "1/mach.orvane");
}

// A windowed transfer seen from a client that takes blocks in order only
// (anything else is counted and dropped, as an RFC 7440 receiver does) and
// acknowledges every block or only the last of each window, each ACK twice
// when asked to (a duplicate must never be answered). It ends with the ACK
// of the short block.
struct WindowedFetch {
    std::string optionAck;
    std::string bytes;
    size_t dataPackets = 0;  // every DATA received, repeats included
    bool complete = false;
};

// ---- Windows --------------------------------------------------------------------

// The kernel's 586 blocks of 512 (585 full, 480 bytes in the last) in a
// window of 4, with a time-out far longer than the test, so that whatever
// comes is the answer to an ACK: each ACK of the window's end sends the next
// four, a repeated ACK and one of a block never sent are ignored, an ACK
// inside the window moves it on and sends only what it then lacks, and the
// ACK of the short block ends the transfer with every byte in place.
TEST_F(TftpTest, WindowMovesOnWithEachAckAndNeverAnswersADuplicate) {
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane",
                                        {{"windowsize", "4"}, {"tsize", "0"}, {"timeout", "255"}}));
    ASSERT_EQ(packet.Opcode(), 6u);
    EXPECT_EQ(packet.bytes.substr(2),
              Z("tsize\0" "300000\0" "timeout\0" "255\0" "windowsize\0" "4\0"));
    uint16_t session = packet.port;
    auto expectBlocks = [&](unsigned first, unsigned last) {
        for (unsigned number = first; number <= last; ++number) {
            ASSERT_TRUE(client.Receive(&packet)) << "no DATA " << number;
            ASSERT_EQ(packet.Opcode(), 3u);
            ASSERT_EQ(packet.Number(), number);
            EXPECT_EQ(packet.Payload(), kernel.substr((number - 1) * 512, 512));
        }
    };
    client.SendTo(session, Ack(0));
    expectBlocks(1, 4);
    EXPECT_TRUE(client.Quiet());
    client.SendTo(session, Ack(4));
    expectBlocks(5, 8);
    client.SendTo(session, Ack(4));  // late duplicate
    client.SendTo(session, Ack(9));  // never sent
    EXPECT_TRUE(client.Quiet());
    EXPECT_EQ(TftpFirstSession()->sendCount, 1);
    // 7 and 8 are still on their way: only 9 and 10 are new.
    client.SendTo(session, Ack(6));
    expectBlocks(9, 10);
    client.SendTo(session, Ack(6));
    client.SendTo(session, Ack(7));
    expectBlocks(11, 11);
    EXPECT_TRUE(client.Quiet());
    client.SendTo(session, Ack(11));
    for (unsigned from = 12; from <= 586; from += 4) {
        unsigned to = from + 3 < 586 ? from + 3 : 586;
        expectBlocks(from, to);
        client.SendTo(session, Ack(to));
    }
    EXPECT_EQ(packet.Payload(), kernel.substr(585 * 512));
    EXPECT_TRUE(NoSessionsLeft());
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", 0}}, "1/mach.orvane");

    // The limits lower what is granted; a window of 1 is lockstep.
    TftpSetWindowLimit(1);
    TftpSetBlockSizeLimit(1000);
    packet = Ask(client, Request("1/mach.orvane",
                                 {{"blksize", "1468"}, {"windowsize", "16"}, {"timeout", "255"}}));
    TftpSetWindowLimit(0);
    TftpSetBlockSizeLimit(0);
    EXPECT_EQ(packet.bytes.substr(2),
              Z("timeout\0" "255\0" "blksize\0" "1000\0" "windowsize\0" "1\0"));
    client.SendTo(packet.port, Ack(0));
    ASSERT_TRUE(client.Receive(&packet));
    EXPECT_EQ(packet.Payload(), kernel.substr(0, 1000));
    EXPECT_TRUE(client.Quiet());
}

// A time-out resends the window from the first block the client lacks; the
// client here loses 7 and waits for it, and the test waits for the resend.
TEST_F(TftpTest, TimeOutResendsTheWindowFromTheFirstUnacknowledgedBlock) {
    TftpSetTimeScale(kTick);
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane", {{"windowsize", "4"}, {"timeout", "2"}}));
    ASSERT_EQ(packet.Opcode(), 6u);
    uint16_t session = packet.port;
    client.SendTo(session, Ack(0));
    // Whatever the timer adds meanwhile, 7 comes again with 8 to 10 after
    // it once the client has acknowledged 6 and nothing more.
    unsigned expected = 1;
    unsigned sevens = 0;
    while (expected <= 10) {
        ASSERT_TRUE(client.Receive(&packet)) << "waiting for " << expected;
        ASSERT_EQ(packet.Opcode(), 3u) << packet.Text();
        if (packet.Number() == 7) ++sevens;
        if (packet.Number() == 7 && sevens == 1) continue;  // lost on the way
        if (packet.Number() != expected) continue;
        EXPECT_EQ(packet.Payload(), kernel.substr((expected - 1) * 512, 512));
        if (expected == 4 || expected == 6) client.SendTo(session, Ack(expected));
        ++expected;
    }
    EXPECT_GE(sevens, 2u);
    EXPECT_GE(TftpFirstSession()->sendCount, 1);
    client.SendTo(session, ErrorPacket(0, "enough"));
    EXPECT_TRUE(NoSessionsLeft());
}

class TftpWindowTest : public TftpTest {
protected:
    void TearDown() override {
        TftpSetSendFilter(nullptr, nullptr);
        TftpTest::TearDown();
    }

    WindowedFetch FetchWindowed(Client& client, const std::string& name, unsigned window,
                                bool everyBlock, bool twice, Options options = {}) {
        WindowedFetch fetch;
        options.emplace_back("windowsize", std::to_string(window));
        Packet packet = Ask(client, Request(name, options));
        if (packet.Opcode() != 6) {
            ADD_FAILURE() << "expected an OACK, got opcode " << packet.Opcode() << " "
                          << packet.Text();
            return fetch;
        }
        fetch.optionAck = packet.bytes.substr(2);
        size_t blockSize = 512;
        size_t at = packet.bytes.find(Z("blksize\0"));
        if (at != std::string::npos) blockSize = std::stoul(packet.bytes.substr(at + 8));
        uint16_t session = packet.port;
        auto ack = [&](unsigned number) {
            client.SendTo(session, Ack(number));
            if (twice) client.SendTo(session, Ack(number));
        };
        ack(0);
        unsigned expected = 1;
        unsigned acked = 0;
        while (!fetch.complete) {
            if (!client.Receive(&packet)) {
                ADD_FAILURE() << "no DATA " << expected << " after " << fetch.dataPackets;
                return fetch;
            }
            if (packet.Opcode() != 3) {
                ADD_FAILURE() << "opcode " << packet.Opcode() << " " << packet.Text();
                return fetch;
            }
            ++fetch.dataPackets;
            if (packet.Number() != expected) continue;
            std::string payload = packet.Payload();
            fetch.bytes += payload;
            fetch.complete = payload.size() < blockSize;
            if (everyBlock || fetch.complete || expected - acked == window) {
                ack(expected);
                acked = expected;
            }
            ++expected;
        }
        EXPECT_TRUE(NoSessionsLeft());
        return fetch;
    }
};

// A client may acknowledge every block of a window (RFC 7440): each ACK
// moves the window on by one block and sends one new block, so nothing is
// sent twice, and the duplicates of every ACK are never answered.
TEST_F(TftpWindowTest, ClientAcknowledgingEveryBlockGetsEachBlockOnce) {
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    constexpr size_t kBlocks = kKernelSize / 512 + 1;
    for (bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "each ACK twice" : "each ACK once");
        // Resending after the round trip, a block is sent again only when
        // the loop was held up longer than that: at most twice all the same.
        bool adaptive = twice;
        TftpSetAdaptiveResend(adaptive);
        Client client;
        WindowedFetch fetch = FetchWindowed(client, "1/mach.orvane", 16, true, twice);
        EXPECT_EQ(fetch.optionAck, Z("windowsize\0" "16\0"));
        EXPECT_TRUE(fetch.bytes == kernel);
        EXPECT_LE(fetch.dataPackets, 2 * kBlocks) << "each block at most twice";
        if (!adaptive) EXPECT_EQ(fetch.dataPackets, kBlocks) << "no time-out on loopback";
        Client windows;
        fetch = FetchWindowed(windows, "1/mach.orvane", 16, false, twice);
        EXPECT_TRUE(fetch.bytes == kernel);
        EXPECT_LE(fetch.dataPackets, 2 * kBlocks);
        if (!adaptive) EXPECT_EQ(fetch.dataPackets, kBlocks);
    }
    TftpSetAdaptiveResend(false);
}

// Which DATA blocks meet a full socket buffer, each the first time it is
// offered.
struct FullBuffer {
    std::vector<unsigned> blocks;
    std::vector<unsigned> refused;
};

QxStatus RefuseOnce(const uint8_t* packet, size_t length, void* context) {
    auto* full = static_cast<FullBuffer*>(context);
    if (length < 4 || packet[1] != 3) return kStatusOK;
    unsigned number = static_cast<unsigned>(packet[2] << 8 | packet[3]);
    for (unsigned& block : full->blocks) {
        if (block == number) {
            block = 0;
            full->refused.push_back(number);
            return kQxErrorWouldBlock;
        }
    }
    return kStatusOK;
}

// A full socket buffer is a send that did not happen, not a failure: at the
// first block of a window the timer sends it again (the client here waits
// for it), and a later block waits for the next ACK.
TEST_F(TftpWindowTest, FullSocketBufferHoldsTheWindowBackWithoutEndingTheSession) {
    TftpSetTimeScale(kTick);
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    FullBuffer full{{5, 300}, {}};
    TftpSetSendFilter(RefuseOnce, &full);
    Client client;
    // Five ticks a resend: nine of them outlast a busy machine's pause.
    WindowedFetch fetch = FetchWindowed(client, "1/mach.orvane", 4, false, false,
                                        {{"timeout", "5"}});
    EXPECT_TRUE(fetch.bytes == kernel);
    EXPECT_EQ(full.refused, (std::vector<unsigned>{5, 300}));
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", 0}}, "1/mach.orvane");

    // A client that acknowledges every block gets a refused block with the
    // next ACK; the time-out here is far longer than the test.
    TftpSetTimeScale(1.0);
    full = {{3, 101, 102}, {}};
    Client early;
    fetch = FetchWindowed(early, "1/mach.orvane", 8, true, false, {{"timeout", "255"}});
    EXPECT_TRUE(fetch.bytes == kernel);
    EXPECT_EQ(full.refused, (std::vector<unsigned>{3, 101, 102}));
    EXPECT_EQ(fetch.dataPackets, kKernelSize / 512 + 1);
}

// ---- Many sessions, stops and the sink ------------------------------------------

TEST_F(TftpTest, InterleavedTransfersDoNotDisturbEachOther) {
    Client a;
    Client b;
    Client noisy;
    Packet pa = Ask(a, Request("1/mach.orvane", {{"blksize", "1000"}}));
    Packet pb = Ask(b, Request("1/mach.orvane.mkext"));
    ASSERT_EQ(pa.Opcode(), 6u);
    ASSERT_EQ(pb.Opcode(), 3u);
    EXPECT_NE(pa.port, pb.port);
    EXPECT_EQ(SessionCount(), 2u);
    a.SendTo(pa.port, Ack(0));
    ASSERT_TRUE(a.Receive(&pa));

    std::string bytesA = pa.Payload();
    std::string bytesB = pb.Payload();
    bool doneA = false;
    bool doneB = false;
    for (int round = 0; !(doneA && doneB); ++round) {
        if (round == 50) {
            // A hostile request and a bad packet at a session in the middle.
            noisy.SendTo(port_, U16(1) + "no nul");
            noisy.SendTo(pa.port, U16(9));
        }
        if (!doneA) {
            a.SendTo(pa.port, Ack(pa.Number()));
            if (pa.Payload().size() < 1000) {
                doneA = true;
            } else {
                ASSERT_TRUE(a.Receive(&pa));
                bytesA += pa.Payload();
            }
        }
        if (!doneB) {
            b.SendTo(pb.port, Ack(pb.Number()));
            if (pb.Payload().size() < 512) {
                doneB = true;
            } else {
                ASSERT_TRUE(b.Receive(&pb));
                bytesB += pb.Payload();
            }
        }
    }
    EXPECT_TRUE(bytesA == Pattern(files_.kernel, kKernelSize));
    EXPECT_TRUE(bytesB == Pattern(files_.extensions, kExtensionsSize));
    Packet packet;
    ASSERT_TRUE(noisy.Receive(&packet));
    ExpectError(packet, 0, "Truncated Filename");
    EXPECT_TRUE(noisy.Quiet()) << "the foreign packet never reached the session";
    EXPECT_TRUE(NoSessionsLeft());
}

TEST_F(TftpTest, RepeatedRequestMakesNoSecondSessionAndTheCapRefusesTheRest) {
    // The client's own retransmission of its request is answered by the
    // session it made, not by a second one.
    Client a;
    Packet first = Ask(a, Request("1/booter"));
    ASSERT_EQ(first.Opcode(), 3u);
    a.SendTo(port_, Request("1/booter"));
    EXPECT_TRUE(a.Quiet());
    EXPECT_EQ(SessionCount(), 1u);
    Packet packet = first;
    for (unsigned block = 1; packet.Opcode() == 3 && packet.Payload().size() == 512; ++block) {
        a.SendTo(first.port, Ack(block));
        ASSERT_TRUE(a.Receive(&packet));
        EXPECT_EQ(packet.port, first.port);
    }
    a.SendTo(first.port, Ack(packet.Number()));
    EXPECT_TRUE(NoSessionsLeft());
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", 0}}, "1/booter");
    // The same port may start a new transfer once the last one is done.
    EXPECT_TRUE(Fetch(a, "1/booter", {}) == Pattern(files_.booter, kBooterSize));

    // At the limit (a small one here) the session that has waited longest
    // without an answer makes room at once, young or not; a session whose
    // client has answered is never ended for a newcomer.
    TftpSetSessionLimit(4);
    std::vector<std::unique_ptr<Client>> crowd;
    std::vector<uint16_t> sessionPorts;
    for (int i = 0; i < 4; ++i) {
        crowd.push_back(std::make_unique<Client>());
        Packet answer = Ask(*crowd.back(), Request("1/mach.orvane"));
        ASSERT_EQ(answer.Opcode(), 3u);
        sessionPorts.push_back(answer.port);
    }
    EXPECT_EQ(SessionCount(), 4u);
    crowd[0]->SendTo(port_, Request("1/mach.orvane"));  // a duplicate takes no place
    EXPECT_TRUE(crowd[0]->Quiet());
    Packet data;
    crowd[0]->SendTo(sessionPorts[0], Ack(1));
    ASSERT_TRUE(crowd[0]->Receive(&data));
    EXPECT_EQ(data.Number(), 2u);
    events_.clear();
    Client late;
    packet = Ask(late, Request("1/booter"));
    EXPECT_EQ(packet.Opcode(), 3u);
    EXPECT_NE(packet.port, port_);
    EXPECT_EQ(SessionCount(), 4u);
    ASSERT_TRUE(crowd[1]->Receive(&data));
    ExpectError(data, 0, "Server Busy");
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[0].reason, kStatusNoResources);
    EXPECT_EQ(events_[1].message, "TFTPOpen");

    // Only when every client answers is the newcomer refused, from the
    // listening port and without a session.
    crowd[2]->SendTo(sessionPorts[2], Ack(1));
    crowd[3]->SendTo(sessionPorts[3], Ack(1));
    late.SendTo(packet.port, Ack(1));
    for (Client* answered : {crowd[2].get(), crowd[3].get(), &late}) {
        ASSERT_TRUE(answered->Receive(&data));
        EXPECT_EQ(data.Number(), 2u);
    }
    Client refused;
    packet = Ask(refused, Request("1/booter"));
    EXPECT_EQ(packet.port, port_);
    ExpectError(packet, 0, "Server Busy");
    EXPECT_EQ(SessionCount(), 4u);
    TftpSetSessionLimit(0);
}

TEST_F(TftpTest, StopClosesSessionsAsCanceledAndEmptiesTheMap) {
    Client a;
    Client b;
    Ask(a, Request("1/booter"));
    Ask(b, Request("1/mach.orvane"));
    ASSERT_EQ(SessionCount(), 2u);

    // Closing the sessions keeps the listener.
    TftpCloseAllSessions(kStatusCanceled);
    EXPECT_EQ(TftpFirstSession(), nullptr);
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[2].reason, kStatusCanceled);
    EXPECT_EQ(events_[3].reason, kStatusCanceled);
    EXPECT_EQ(Ask(a, Request("1/booter")).Opcode(), 3u);

    events_.clear();
    StopTftp();
    ExpectEvents({{"TFTPClose", kStatusCanceled}}, "1/booter");
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr);
    EXPECT_EQ(TftpPort(), 0);
    a.SendTo(port_, Request("1/booter"));
    EXPECT_TRUE(a.Quiet());
    StopTftp();  // harmless when stopped

    // A new start serves again (the map must be filled again first).
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    uint16_t port = 0;
    ASSERT_EQ(StartTftp(&port), kStatusOK);
    EXPECT_EQ(TftpPort(), port);
    uint16_t again = 0;
    EXPECT_EQ(StartTftp(&again), kStatusAlreadyInitialized);
    port_ = port;
    EXPECT_TRUE(Fetch(a, "1/booter", {}) == Pattern(files_.booter, kBooterSize));
}

// A sink that stops the whole server when it hears of a start.
QxStatus StopOnOpen(QxLObjectRef event, void* context) {
    RecordEvent(event, context);
    const auto* events = static_cast<std::vector<Event>*>(context);
    if (events->back().message == "TFTPOpen") StopTftp();
    return kStatusOK;
}

TEST_F(TftpTest, SinkMayStopTheServerFromInsideAnEvent) {
    TftpSetEventSink(StopOnOpen, &events_);
    Client client;
    Packet packet = Ask(client, Request("1/booter"));
    EXPECT_EQ(packet.Opcode(), 3u);
    EXPECT_EQ(TftpFirstSession(), nullptr);
    EXPECT_EQ(TftpPort(), 0);
    ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", kStatusCanceled}}, "1/booter");
    client.SendTo(packet.port, Ack(1));
    EXPECT_TRUE(client.Quiet());
}

TEST_F(TftpTest, SendErrorChecksCodeAndLength) {
    Client client;
    sockaddr_in to = testsupport::Loopback(client.Port());
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    Client sender;
    EXPECT_EQ(SendError(65536, sender.Handle(), address, "x"), kStatusBadParameter);
    EXPECT_EQ(SendError(0, sender.Handle(), address, "%s", std::string(252, 'm').c_str()),
              kStatusBadSize);
    EXPECT_TRUE(client.Quiet(0.05));
    EXPECT_EQ(SendError(65535, sender.Handle(), address, "%s-%d", std::string(246, 'm').c_str(),
                        1234),
              kStatusOK);
    Packet packet;
    ASSERT_TRUE(client.Receive(&packet));
    EXPECT_EQ(packet.bytes.size(), 4u + 251u + 1u);
    ExpectError(packet, 65535, std::string(246, 'm') + "-1234");
}

// ---- Resending after the measured round trip ------------------------------------

class TftpAdaptiveTest : public TftpWindowTest {
protected:
    void SetUp() override {
        TftpWindowTest::SetUp();
        TftpSetAdaptiveResend(true);
    }
    void TearDown() override {
        TftpSetAdaptiveResend(false);
        TftpWindowTest::TearDown();
    }
};

// A client whose ACKs come 60 ms after each block: a lost ACK is answered
// after about that round trip, not the fixed five seconds, never sooner
// than the round trip, and each further time-out waits twice as long. The
// ACK of a block that was sent again is no measure (Karn): the doubled
// time-out stays until a block sent once is acknowledged.
TEST_F(TftpAdaptiveTest, ResendFollowsTheRoundTripAndDoublesOnEachTimeOut) {
    constexpr double kHeld = 0.06;
    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane"));
    uint16_t session = packet.port;
    for (unsigned block = 1; block <= 8; ++block) {
        ASSERT_EQ(packet.Number(), block);
        testsupport::RunFor(kHeld);
        // A late look may find the block sent again: take the newest.
        Packet later;
        while (client.Receive(&later, 0)) packet = later;
        client.SendTo(session, Ack(block));
        ASSERT_TRUE(client.Receive(&packet));
        while (packet.Number() == block && client.Receive(&packet)) {
        }
    }
    ASSERT_EQ(packet.Number(), 9u);
    double sent = QxRunLoopNow();
    std::vector<double> resends;
    while (resends.size() < 4) {
        ASSERT_TRUE(client.Receive(&packet));
        ASSERT_EQ(packet.Number(), 9u);
        resends.push_back(QxRunLoopNow() - sent);
    }
    EXPECT_LT(resends[0], 2.5) << "the fixed time-out would be 5 s";
    for (size_t i = 0; i < resends.size(); ++i) {
        // The k-th resend: k time-outs, each twice the last, the first at
        // least the round trip.
        EXPECT_GE(resends[i], kHeld * ((2u << i) - 1) * 0.9) << i;
    }
    TftpSession* state = TftpFirstSession();
    ASSERT_NE(state, nullptr);
    double backedOff = state->resendAfter;
    EXPECT_GE(backedOff, 8 * kHeld);
    client.SendTo(session, Ack(9));
    ASSERT_TRUE(client.Receive(&packet));
    while (packet.Number() == 9 && client.Receive(&packet)) {
    }
    ASSERT_EQ(packet.Number(), 10u);
    EXPECT_EQ(state->resendAfter, backedOff) << "a resent block's ACK is no measure";
    client.SendTo(session, Ack(10));
    ASSERT_TRUE(client.Receive(&packet));
    EXPECT_LT(state->resendAfter, backedOff) << "a block sent once is";
    client.SendTo(session, ErrorPacket(0, "enough"));
    EXPECT_TRUE(NoSessionsLeft());
}

// A client that asked for a time-out is resent to first at that time-out,
// not sooner; later resends leave it a silence longer than its time-out (a
// client that restarts its timer on every datagram asks again only then),
// and the session still gives up after ten sends.
TEST_F(TftpAdaptiveTest, AskedTimeOutIsKeptAndTheRetryLimitStays) {
    TftpSetTimeScale(0.05);
    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane", {{"timeout", "2"}}));
    ASSERT_EQ(packet.Opcode(), 6u);
    EXPECT_EQ(packet.bytes.substr(2), Z("timeout\0" "2\0"));
    client.SendTo(packet.port, Ack(0));
    ASSERT_TRUE(client.Receive(&packet));
    double sent = QxRunLoopNow();
    int sends = 1;
    std::vector<double> resends;
    while (client.Receive(&packet) && packet.Opcode() == 3) {
        EXPECT_EQ(packet.Number(), 1u);
        resends.push_back(QxRunLoopNow() - sent);
        ++sends;
    }
    EXPECT_EQ(sends, 10);
    ExpectError(packet, 0, "Retry Limit Exceeded (10) for block 1");
    for (size_t i = 0; i < resends.size(); ++i) {
        double gap = resends[i] - (i == 0 ? 0.0 : resends[i - 1]);
        EXPECT_GE(gap, (i == 0 ? 0.1 : 0.2) * 0.95) << i;
    }
    EXPECT_TRUE(NoSessionsLeft());
}

// ---- Boot files from a .dmg -------------------------------------------------------

// Takes every thread of the work pool with a piece that waits until the
// test lets it go, so that the .dmg's decodes queue behind them: the test
// holds what the server waits for instead of racing the decoder.
class PoolHold {
public:
    PoolHold() {
        uint32_t threads = QxWorkPoolThreadCount();
        for (uint32_t i = 0; i < threads; ++i) {
            if (QxWorkSubmit(Hold, Done, this, nullptr) == kStatusOK) ++submitted_;
        }
        while (started_.load() < submitted_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~PoolHold() {
        Release();
        double deadline = QxRunLoopNow() + kWait;
        while (done_ < submitted_ && QxRunLoopNow() < deadline) testsupport::RunFor(0.001);
    }
    PoolHold(const PoolHold&) = delete;
    PoolHold& operator=(const PoolHold&) = delete;

    bool Holding() const { return submitted_ > 0 && submitted_ == QxWorkPoolThreadCount(); }
    void Release() { released_.store(true); }

private:
    static void Hold(void* context) {
        auto* hold = static_cast<PoolHold*>(context);
        ++hold->started_;
        while (!hold->released_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    static void Done(void* context, QxStatus) { ++static_cast<PoolHold*>(context)->done_; }

    std::atomic<uint32_t> started_{0};
    std::atomic<bool> released_{false};
    uint32_t submitted_ = 0;
    uint32_t done_ = 0;
};

class TftpDmgTest : public TftpWindowTest {
protected:
    void SetUp() override {
        TftpWindowTest::SetUp();
        if (HasFatalFailure()) return;
        ServeNewDmg();
    }

    // The test disc as a new bzip2 .dmg of small runs (a window's blocks
    // span several; nothing of it decoded yet), on the second drive and
    // made the boot source.
    void ServeNewDmg() {
        static int made = 0;
        DeviceUnbind(kDrive1);
        std::string bytes = ReadFile(Image("install"));
        std::vector<uint8_t> disc(bytes.begin(), bytes.end());
        DMGOptions options;
        options.method = DMGMethod::kBzip2;
        options.chunkSectors = 64;
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_TRUE(DMGWrite(disc, options, &image, &error)) << error;
        std::string path = Path("install-" + std::to_string(++made) + ".dmg");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        ASSERT_EQ(DeviceBindImage(kDrive1, path.c_str(), 0), kStatusOK);
        ASSERT_EQ(PrepareBootSource(kVolume1, false), kStatusOK);
    }
};

// A window waits for its runs without holding the loop, and goes on from
// the block that waited once they are decoded: every byte in place.
TEST_F(TftpDmgTest, WindowWaitsForItsRunsAndGoesOnWhenTheyAreDecoded) {
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    {
        PoolHold hold;
        ASSERT_TRUE(hold.Holding());
        Client client;
        Packet packet = Ask(client, Request("1/mach.orvane", {{"windowsize", "16"}, {"blksize", "1468"}}));
        ASSERT_EQ(packet.Opcode(), 6u);
        client.SendTo(packet.port, Ack(0));
        EXPECT_TRUE(client.Quiet()) << "block 1 was sent before its run was decoded";
        ASSERT_NE(TftpFirstSession(), nullptr);
        EXPECT_NE(TftpFirstSession()->wait, nullptr);
        // The loop answers meanwhile: a second session gets its OACK.
        Client other;
        EXPECT_EQ(Ask(other, Request("1/booter", {{"tsize", "0"}})).Opcode(), 6u);
        TftpCloseAllSessions(kStatusCanceled);
    }
    for (bool everyBlock : {false, true}) {
        Client client;
        // A time-out far longer than the test: the blocks that waited must go
        // out when their runs are ready, not when the timer comes.
        WindowedFetch fetch = FetchWindowed(client, "1/mach.orvane", 16, everyBlock, false,
                                            {{"blksize", "1468"}, {"timeout", "255"}});
        EXPECT_TRUE(fetch.bytes == kernel);
        EXPECT_LE(fetch.dataPackets, 2 * (kKernelSize / 1468 + 1));
    }
}

// A session that ends while its runs wait to be decoded, or after they
// were decoded but before the loop has delivered them, leaves nothing
// behind (the sanitizers watch), and the next transfer is whole.
TEST_F(TftpDmgTest, SessionEndedWhileItsRunsDecodeLeavesNothingBehind) {
    for (bool decoded : {false, true}) {
        SCOPED_TRACE(decoded ? "decoded, not delivered" : "queued");
        ServeNewDmg();
        events_.clear();
        {
            PoolHold hold;
            ASSERT_TRUE(hold.Holding());
            Client client;
            Packet packet = Ask(client, Request("1/mach.orvane", {{"windowsize", "8"}}));
            ASSERT_EQ(packet.Opcode(), 6u);
            client.SendTo(packet.port, Ack(0));
            double deadline = QxRunLoopNow() + kWait;
            while ((TftpFirstSession() == nullptr || TftpFirstSession()->wait == nullptr) &&
                   QxRunLoopNow() < deadline) {
                testsupport::RunFor(0.001);
            }
            ASSERT_NE(TftpFirstSession()->wait, nullptr);
            if (decoded) {
                // The pool decodes, but the loop is not pumped: the
                // completion waits to be delivered.
                hold.Release();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            // The client's ERROR, handed in at once: no pump in between.
            std::string error = ErrorPacket(0, "gone");
            TftpHandleSessionPacket(TftpFirstSession(),
                                    reinterpret_cast<const uint8_t*>(error.data()), error.size());
            EXPECT_EQ(TftpFirstSession(), nullptr);
            ExpectEvents({{"TFTPOpen", 0}, {"TFTPClose", kStatusAbortedByPeer}}, "1/mach.orvane");
        }
        testsupport::RunFor(0.05);
        Client next;
        EXPECT_TRUE(Fetch(next, "1/mach.orvane", {{"windowsize", "8"}, {"timeout", "255"}}) ==
                    Pattern(files_.kernel, kKernelSize));
    }
}

#if !defined(_WIN32)
// ---- Read failures (POSIX: an open image file can be cut short) ---------------

TEST_F(TftpTest, ReadFailureIsReportedForTheBlockItBelongsTo) {
    std::string copy = Image("doomed");
    fs::copy_file(Image("install"), copy, fs::copy_options::overwrite_existing);
    ASSERT_EQ(DeviceBindImage(kDrive1, copy.c_str(), 0), kStatusOK);
    ASSERT_EQ(PrepareBootSource(kVolume1, false), kStatusOK);

    Client client;
    Packet packet = Ask(client, Request("1/mach.orvane"));
    ASSERT_EQ(packet.Number(), 1u);
    // The device is open; cutting its file makes every later read fail.
    fs::resize_file(copy, 0);
    const std::string kernel = Pattern(files_.kernel, kKernelSize);
    unsigned block = 1;
    for (;;) {
        client.SendTo(packet.port, Ack(block));
        ASSERT_TRUE(client.Receive(&packet));
        if (packet.Opcode() != 3) break;
        ASSERT_EQ(packet.Number(), ++block);
        ASSERT_EQ(packet.Payload(), kernel.substr((block - 1) * 512, 512));
    }
    EXPECT_EQ(packet.Opcode(), 5u);
    EXPECT_EQ(packet.Number(), 0u);
    ASSERT_TRUE(NoSessionsLeft());
    ASSERT_EQ(events_.size(), 2u);
    QxStatus reason = events_[1].reason;
    EXPECT_NE(reason, kStatusOK);
    EXPECT_EQ(packet.Text(), "Read Block " + std::to_string(block + 1) + " Error: " +
                                 std::to_string(reason));
    // What was read ahead before the cut was served; the next block needed
    // the disc.
    EXPECT_GE(block * 512, 60u * 1024);

    // The cut disc goes, the next one comes: it is served as usual.
    DeviceUnbind(kDrive1);
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    Client next;
    EXPECT_TRUE(Fetch(next, "1/mach.orvane", {{"blksize", "1400"}}) == kernel);
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[3].reason, kStatusOK);
}

// ---- Independent clients --------------------------------------------------------

using testsupport::ChildResult;

class TftpPeerTest : public TftpTest {
protected:
    // Runs a program while pumping the loop; its output to files.
    ChildResult Run(const std::vector<std::string>& arguments, double seconds = 30) {
        return testsupport::RunChildProgram({dir_->string(), dir_->string()}, arguments, seconds,
                                            0.002);
    }

    std::string Url(const std::string& name) const {
        return "tftp://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

    // curl's client into a file; its bytes, or "<exit N>" on failure.
    std::string Curl(const std::string& name, std::vector<std::string> extra = {}) {
        std::string out = Path("curl.out");
        fs::remove(out);
        std::vector<std::string> command = {"/usr/bin/curl", "-s", "-S", "--max-time", "20",
                                            "--path-as-is", "-o", out};
        command.insert(command.end(), extra.begin(), extra.end());
        command.push_back(Url(name));
        ChildResult result = Run(command);
        // The client may be gone before the loop has taken its last ACK.
        EXPECT_TRUE(NoSessionsLeft());
        if (result.exitCode != 0) return "<exit " + std::to_string(result.exitCode) + ">";
        return ReadFile(out);
    }

    void SetUp() override {
        if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is not installed";
        TftpTest::SetUp();
    }
};

TEST_F(TftpPeerTest, CurlFetchesTheBootFilesWithEitherBlockSize) {
    const std::pair<const char*, std::string> files[] = {
        {"1/booter", Pattern(files_.booter, kBooterSize)},
        {"1/mach.orvane", Pattern(files_.kernel, kKernelSize)},
        {"1/mach.orvane.mkext", Pattern(files_.extensions, kExtensionsSize)},
    };
    for (const auto& [name, expected] : files) {
        EXPECT_TRUE(Curl(name) == expected) << name;
        EXPECT_TRUE(Curl(name, {"--tftp-blksize", "1468"}) == expected) << name << " 1468";
    }
    ASSERT_EQ(events_.size(), 12u);
    for (size_t i = 0; i < events_.size(); i += 2) {
        EXPECT_EQ(events_[i].message, "TFTPOpen");
        EXPECT_EQ(events_[i + 1].message, "TFTPClose");
        EXPECT_EQ(events_[i + 1].reason, 0);
    }
}

TEST_F(TftpPeerTest, CurlSeesTheDiagnosticsMapAndItsGuard) {
    ASSERT_EQ(PrepareBootSource(kVolume0, true), kStatusOK);
    EXPECT_TRUE(Curl("1/booter") == Pattern(files_.diags, kDiagsSize));
    EXPECT_EQ(Curl("x.efi"), "x tool");
    // curl drops the URL path's first "/"; the second is the name's, which
    // the folder's prefix needs.
    EXPECT_EQ(Curl("/System/Library/CoreServices/.diagnostics/x.efi"), "x tool");
    EXPECT_EQ(Curl("System/Library/CoreServices/.diagnostics/x.efi"), "<exit 68>");
    // curl reports a TFTP "file not found" as its error 68.
    EXPECT_EQ(Curl("../mach_kernel"), "<exit 68>");
    EXPECT_EQ(Curl("nothing.efi"), "<exit 68>");
}

TEST_F(TftpPeerTest, TftpHpaClientFetchesTheBootFiles) {
    if (access("/usr/bin/tftp", X_OK) != 0) GTEST_SKIP() << "tftp-hpa's client is not installed";
    const std::pair<const char*, std::string> files[] = {
        {"1/booter", Pattern(files_.booter, kBooterSize)},
        {"1/mach.orvane", Pattern(files_.kernel, kKernelSize)},
        {"1/mach.orvane.mkext", Pattern(files_.extensions, kExtensionsSize)},
    };
    std::string out = Path("hpa.out");
    for (const auto& [name, expected] : files) {
        fs::remove(out);
        ChildResult result = Run({"/usr/bin/tftp", "-m", "binary", "127.0.0.1",
                                  std::to_string(port_), "-c", "get", name, out});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(ReadFile(out) == expected) << name;
        EXPECT_TRUE(NoSessionsLeft());
    }
    fs::remove(out);
    ChildResult result = Run({"/usr/bin/tftp", "-m", "binary", "127.0.0.1",
                              std::to_string(port_), "-c", "get", "1/missing", out});
    EXPECT_NE(result.out.find("Error code 1: Open File Failed: -6727"), std::string::npos)
        << result.out;
}
#else
TEST(TftpPeerTest, NeedsLinuxPeers) { GTEST_SKIP() << "curl and tftp-hpa run on Linux only"; }
#endif  // !_WIN32

}  // namespace
