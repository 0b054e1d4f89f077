// Service control over a writer-made install disc bound to \\.\CdRom0, with
// clients inside the test (both targets): what a start opens and a stop or a
// failed start closes, the first HTTP connection ending the boot phase once,
// the message hook, and a released boot source while the servers run on.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BSDPServer.h"
#include "BootSource.h"
#include "DeviceBinding.h"
#include "DiscShare.h"
#include "HFSImageWriter.h"
#include "NetBootControl.h"
#include "QxLBuild.h"
#include "QxLMemory.h"
#include "QxPlatformSignal.h"
#include "TFTPServer.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunFor;
using testsupport::TextAt;

constexpr char kDrive0[] = "\\\\.\\CdRom0";
constexpr char kVolume0[] = "pfs:\\\\.\\CdRom0#2";
constexpr uint64_t kBooterSize = 3000;  // six blocks of 512, the last short
constexpr double kWait = 10.0;

// An install disc with pattern contents; returns the booter's CNID.
uint32_t WriteInstallDisc(const std::string& path) {
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume("Control Disc");
    volume.MakeFolders("System/Installation");
    uint32_t booter =
        volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"), "boot.efi", kBooterSize);
    volume.AddPatternFile(kHFSImageRootID, "mach_kernel", 40000);
    volume.AddPatternFile(volume.MakeFolders("System/Library"), "Extensions.mkext", 20000);
    volume.AddFile(volume.MakeFolders("System/Library/CoreServices"), "SystemVersion.plist",
                   "<plist version=\"1.0\"/>\n");
    std::string error;
    EXPECT_EQ(WriteDiscImage(disc, path, nullptr, &error), kStatusOK) << error;
    return booter;
}

// ---- Events ---------------------------------------------------------------------

struct EventLog {
    std::vector<QxLObjectRef> events;  // retained
    void* context = nullptr;
    QxStatus result = kStatusOK;       // what the sink answers
};

QxStatus RecordEvent(QxLObjectRef event, void* context) {
    auto* log = static_cast<EventLog*>(context);
    log->events.push_back(QxLObjectRetain(event));
    log->context = context;
    return log->result;
}

int32_t ReasonOf(QxLObjectRef event) {
    int32_t reason = 1;
    EXPECT_EQ(QxLGet(event, &reason, "%kO:int", kNetBootKeyReason), kStatusOK);
    return reason;
}

// ---- A TFTP client ----------------------------------------------------------------

class UdpClient {
public:
    UdpClient() { handle_ = testsupport::UdpSocket(&port_); }
    ~UdpClient() {
        if (handle_ != kQxInvalidSocket) QxPlatformSocketClose(handle_);
    }

    bool SendTo(uint16_t port, const std::string& bytes) {
        return testsupport::SendTo(handle_, port, bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
    }

    // Pumps the loop until a datagram arrives; false after `seconds`.
    bool Receive(std::string* bytes, uint16_t* fromPort, double seconds = kWait) {
        char buffer[70000];
        double deadline = QxRunLoopNow() + seconds;
        do {
            int count = testsupport::ReceiveFrom(handle_, buffer, sizeof buffer, fromPort);
            if (count >= 0) {
                bytes->assign(buffer, static_cast<size_t>(count));
                return true;
            }
            RunFor(0.002);
        } while (QxRunLoopNow() < deadline);
        return false;
    }

private:
    QxSocketHandle handle_ = kQxInvalidSocket;
    uint16_t port_ = 0;
};

std::string ReadRequest(const std::string& name) {
    return std::string("\0\1", 2) + name + std::string("\0octet\0", 7);
}

std::string Ack(uint16_t block) {
    return std::string{'\0', '\4', static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)};
}

uint16_t U16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) << 8 |
                                 static_cast<uint8_t>(bytes[at + 1]));
}

// Fetches a whole file without options. False, with the ERROR packet's
// code and text when one came, otherwise.
bool TftpFetch(uint16_t port, const std::string& name, std::string* contents,
               uint16_t* errorCode = nullptr, std::string* errorText = nullptr) {
    UdpClient client;
    if (!client.SendTo(port, ReadRequest(name))) return false;
    contents->clear();
    for (uint16_t expected = 1;; ++expected) {
        std::string packet;
        uint16_t from = 0;
        if (!client.Receive(&packet, &from) || packet.size() < 4) return false;
        if (U16(packet, 0) == 5) {
            if (errorCode != nullptr) *errorCode = U16(packet, 2);
            if (errorText != nullptr) *errorText = packet.substr(4, packet.find('\0', 4) - 4);
            return false;
        }
        if (U16(packet, 0) != 3 || U16(packet, 2) != expected) return false;
        contents->append(packet, 4, std::string::npos);
        client.SendTo(from, Ack(expected));
        if (packet.size() < 4 + 512) return true;
    }
}

// ---- A BSDP SELECT --------------------------------------------------------------

// A DHCPINFORM carrying BSDP SELECT from a client of the right vendor class.
std::string SelectRequest() {
    std::string packet(240, '\0');
    packet[0] = 1;  // request
    packet[1] = 1;
    packet[2] = 6;
    packet[4] = 0x12;
    packet[7] = 0x78;
    const char cookie[] = {'\x63', '\x82', '\x53', '\x63'};
    packet.replace(236, 4, cookie, 4);
    const std::string vendorClass = "VRNXBSDPC/i386/TestModel1,1";
    packet += std::string{53, 1, 8};
    packet += std::string{60, static_cast<char>(vendorClass.size())} + vendorClass;
    packet += std::string{43, 3, 1, 1, 2};
    packet += '\xFF';
    return packet;
}

// The TFTP port that a SELECT reply announces (BSDP option 12); 0 for none.
uint16_t AnnouncedTftpPort(const std::string& reply) {
    for (size_t at = 240; at + 1 < reply.size();) {
        uint8_t code = static_cast<uint8_t>(reply[at]);
        if (code == 255) break;
        if (code == 0) {
            ++at;
            continue;
        }
        size_t length = static_cast<uint8_t>(reply[at + 1]);
        if (code == 43) {
            std::string inner = reply.substr(at + 2, length);
            for (size_t i = 0; i + 1 < inner.size(); i += 2 + static_cast<uint8_t>(inner[i + 1])) {
                if (inner[i] == 12 && inner[i + 1] == 2) return U16(inner, i + 2);
            }
        }
        at += 2 + length;
    }
    return 0;
}

// ---- An HTTP client ---------------------------------------------------------------

class TcpClient {
public:
    ~TcpClient() { Close(); }

    bool Connect(uint16_t port) {
        handle_ = socket(AF_INET, SOCK_STREAM, 0);
        if (handle_ == kQxInvalidSocket) return false;
        sockaddr_in address = testsupport::Loopback(port);
        if (connect(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return false;
        }
        return QxPlatformSocketSetNonBlocking(handle_) == kStatusOK;
    }

    // Sends a request with "Connection: close" and pumps until the server
    // has closed; the status code of the answer, or 0.
    int Exchange(const std::string& method, const std::string& target) {
        std::string request =
            method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (testsupport::Send(handle_, request.data(), static_cast<int>(request.size())) !=
            static_cast<int>(request.size())) {
            return 0;
        }
        std::string answer;
        char buffer[65536];
        double deadline = QxRunLoopNow() + kWait;
        while (QxRunLoopNow() < deadline) {
            int count = testsupport::Receive(handle_, buffer, sizeof buffer);
            if (count > 0) {
                answer.append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || QxPlatformSocketLastError() != kQxErrorWouldBlock) {
                break;
            } else {
                RunFor(0.002);
            }
        }
        head_ = answer.substr(0, answer.find("\r\n\r\n"));
        return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(answer.c_str() + 9) : 0;
    }

    const std::string& Head() const { return head_; }

    void Close() {
        if (handle_ != kQxInvalidSocket) QxPlatformSocketClose(handle_);
        handle_ = kQxInvalidSocket;
    }

private:
    QxSocketHandle handle_ = kQxInvalidSocket;
    std::string head_;
};

// Pumps until the condition holds; false after kWait.
template <typename Condition>
bool PumpUntil(Condition condition) {
    double deadline = QxRunLoopNow() + kWait;
    while (!condition()) {
        if (QxRunLoopNow() > deadline) return false;
        RunFor(0.002);
    }
    return true;
}

size_t BootImageEntryCount() {
    size_t count = 0;
    for (const BootImageEntry* entry = NewestBootImageEntry(); entry != nullptr;
         entry = entry->next) {
        ++count;
    }
    return count;
}

bool NothingRuns() {
    return BsdpPort() == 0 && TftpPort() == 0 && DiscSharePort() == 0 &&
           NewestBootImageEntry() == nullptr && FirstBootFileMapEntry() == nullptr;
}

// ---- Fixture ----------------------------------------------------------------------

class NetBootControlTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(testsupport::MakeScratchFolder("tamsor-control-"));
        image_ = new std::string((*dir_ / "install.img").string());
        booter_ = WriteInstallDisc(*image_);
    }
    static void TearDownTestSuite() {
        testsupport::RemoveScratchFolder(*dir_);
        delete dir_;
        delete image_;
    }

    void SetUp() override {
        RunLoopTest::SetUp();
        NetBootResetPhaseForTesting();
        // A port of the system's choosing: the fixed one may be taken by a
        // server running on this computer.
        SetNetBootBsdpPort(0);
        ASSERT_EQ(DeviceBindImage(kDrive0, image_->c_str(), 0), kStatusOK);
    }
    void TearDown() override {
        QxLFailAllocationAfter(0);
        StopNetBootServices();
        SetNetBootEventSink(nullptr, nullptr);
        SetNetBootBsdpPort(kBsdpPort);
        NetBootResetPhaseForTesting();
        for (QxLObjectRef event : log_.events) QxLObjectRelease(event);
        DeviceUnbindAll();
        RunLoopTest::TearDown();
    }

    // The controller's sequence.
    QxStatus Start() {
        StopNetBootServices();
        QxStatus status = PrepareBootSource(kVolume0, false);
        if (status != kStatusOK) return status;
        SetNetBootEventSink(RecordEvent, &log_);
        return StartNetBootServices();
    }

    std::string Booter() const {
        std::string bytes(kBooterSize, '\0');
        HFSImagePatternBytes(booter_, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
        return bytes;
    }

    static fs::path* dir_;
    static std::string* image_;
    static uint32_t booter_;
    EventLog log_;
};

fs::path* NetBootControlTest::dir_ = nullptr;
std::string* NetBootControlTest::image_ = nullptr;
uint32_t NetBootControlTest::booter_ = 0;

// ---- Start and stop ------------------------------------------------------------------

TEST_F(NetBootControlTest, StartOpensAllThreeServersWiredTogether) {
    ASSERT_EQ(Start(), kStatusOK);
    ASSERT_NE(BsdpPort(), 0);
    ASSERT_NE(TftpPort(), 0);
    ASSERT_NE(DiscSharePort(), 0u);
    EXPECT_FALSE(NetBootPhaseEnded());

    // BSDP announces the TFTP server that runs.
    UdpClient bsdp;
    ASSERT_TRUE(bsdp.SendTo(BsdpPort(), SelectRequest()));
    std::string reply;
    uint16_t from = 0;
    ASSERT_TRUE(bsdp.Receive(&reply, &from));
    EXPECT_EQ(AnnouncedTftpPort(reply), TftpPort());

    // TFTP serves the prepared disc and reports to the sink it was given.
    std::string contents;
    ASSERT_TRUE(TftpFetch(TftpPort(), "1/booter", &contents));
    EXPECT_EQ(contents, Booter());
    ASSERT_TRUE(PumpUntil([&] { return log_.events.size() == 2; }));
    EXPECT_EQ(TextAt(log_.events[0], kNetBootKeyMessage), "TFTPOpen");
    EXPECT_EQ(TextAt(log_.events[1], kNetBootKeyMessage), "TFTPClose");
    EXPECT_EQ(ReasonOf(log_.events[1]), 0);
    EXPECT_EQ(log_.context, &log_);

    // The HTTP service answers with the boot server's name.
    TcpClient http;
    ASSERT_TRUE(http.Connect(static_cast<uint16_t>(DiscSharePort())));
    EXPECT_EQ(http.Exchange("HEAD", "/CdRom0.dmg"), 200);
    EXPECT_NE(http.Head().find("\r\nServer: VerinNetInstall/1.0"), std::string::npos)
        << http.Head();
}

TEST_F(NetBootControlTest, StopClosesEverythingAndMayComeAnyNumberOfTimes) {
    StopNetBootServices();  // nothing runs yet
    EXPECT_TRUE(NothingRuns());
    ASSERT_EQ(Start(), kStatusOK);
    uint16_t tftpPort = TftpPort();
    uint16_t httpPort = static_cast<uint16_t>(DiscSharePort());

    StopNetBootServices();
    EXPECT_TRUE(NothingRuns());
    StopNetBootServices();
    EXPECT_TRUE(NothingRuns());

    // The old ports answer nothing any more.
    UdpClient client;
    ASSERT_TRUE(client.SendTo(tftpPort, ReadRequest("1/booter")));
    std::string packet;
    uint16_t from = 0;
    EXPECT_FALSE(client.Receive(&packet, &from, 0.3));
    TcpClient http;
    EXPECT_FALSE(http.Connect(httpPort));

    // And everything starts again after a new preparation.
    ASSERT_EQ(Start(), kStatusOK);
    EXPECT_EQ(BootImageEntryCount(), 1u);
    EXPECT_NE(TftpPort(), 0);
}

TEST_F(NetBootControlTest, FailedStartsLeaveNothingOpenAndTheDiscUnprepared) {
    // The BSDP port taken by someone else.
    uint16_t takenPort = 0;
    QxSocketHandle taken = testsupport::UdpSocket(&takenPort);
    ASSERT_NE(taken, kQxInvalidSocket);
    // Bound to the wildcard address, so that the responder's bind collides.
    QxPlatformSocketClose(taken);
    taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(takenPort);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    SetNetBootBsdpPort(takenPort);
    QxStatus status = Start();
    EXPECT_TRUE(QxPlatformErrorIsAddressInUse(status)) << status;
    EXPECT_TRUE(NothingRuns());
    QxPlatformSocketClose(taken);

    // A second start while the services run fails too, and stops them.
    SetNetBootBsdpPort(0);
    ASSERT_EQ(Start(), kStatusOK);
    EXPECT_EQ(StartNetBootServices(), kStatusAlreadyInitialized);
    EXPECT_TRUE(NothingRuns());
}

TEST_F(NetBootControlTest, AllocationFailuresAnywhereInStartLeaveNothingOpen) {
    int failures = 0;
    for (int64_t countdown = 1; countdown < 400; ++countdown) {
        StopNetBootServices();
        ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
        SetNetBootEventSink(RecordEvent, &log_);
        QxLFailAllocationAfter(countdown);
        QxStatus status = StartNetBootServices();
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!triggered) {
            ASSERT_EQ(status, kStatusOK);
            break;
        }
        ++failures;
        // Some allocations are optional (a read-ahead, a bigger buffer);
        // whatever the start says, it is all or nothing.
        if (status != kStatusOK) {
            EXPECT_TRUE(NothingRuns()) << "allocation " << countdown << ", status " << status;
        } else {
            EXPECT_NE(TftpPort(), 0);
            EXPECT_NE(DiscSharePort(), 0u);
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_NE(BsdpPort(), 0);
    EXPECT_NE(TftpPort(), 0);
    EXPECT_NE(DiscSharePort(), 0u);
}

// ---- The hooks ------------------------------------------------------------------------

TEST_F(NetBootControlTest, FirstHttpConnectionEndsTheBootPhaseOnlyOnce) {
    ASSERT_EQ(Start(), kStatusOK);
    uint16_t httpPort = static_cast<uint16_t>(DiscSharePort());

    // A transfer under way when the client turns to HTTP is cut short.
    UdpClient slow;
    ASSERT_TRUE(slow.SendTo(TftpPort(), ReadRequest("1/mach.orvane")));
    std::string packet;
    uint16_t from = 0;
    ASSERT_TRUE(slow.Receive(&packet, &from));
    ASSERT_EQ(log_.events.size(), 1u);  // TFTPOpen

    // Other hook events change nothing.
    NetBootConnectionHook(kDiscShareEventConnectionOpened + 1, 0, nullptr);
    EXPECT_FALSE(NetBootPhaseEnded());
    EXPECT_NE(TftpPort(), 0);

    TcpClient first;
    ASSERT_TRUE(first.Connect(httpPort));
    ASSERT_TRUE(PumpUntil([] { return NetBootPhaseEnded(); }));
    EXPECT_EQ(TftpPort(), 0);
    EXPECT_EQ(BsdpPort(), 0);
    EXPECT_EQ(DiscSharePort(), httpPort);
    ASSERT_EQ(log_.events.size(), 2u);
    EXPECT_EQ(TextAt(log_.events[1], kNetBootKeyMessage), "TFTPClose");
    EXPECT_EQ(ReasonOf(log_.events[1]), kStatusCanceled);
    // The connection itself is served.
    EXPECT_EQ(first.Exchange("HEAD", "/CdRom0.dmg"), 200);

    TcpClient second;
    ASSERT_TRUE(second.Connect(httpPort));
    EXPECT_EQ(second.Exchange("HEAD", "/CdRom0.dmg"), 200);
    EXPECT_EQ(DiscSharePort(), httpPort);

    // The boot phase ends once per process: a later start keeps TFTP and
    // BSDP through its HTTP connections.
    ASSERT_EQ(Start(), kStatusOK);
    TcpClient third;
    ASSERT_TRUE(third.Connect(static_cast<uint16_t>(DiscSharePort())));
    EXPECT_EQ(third.Exchange("HEAD", "/CdRom0.dmg"), 200);
    EXPECT_NE(TftpPort(), 0);
    EXPECT_NE(BsdpPort(), 0);
}

TEST_F(NetBootControlTest, MessageHookHandsEachMessageToTheSinkWithItsContext) {
    QxLObjectRef message = nullptr;
    ASSERT_EQ(QxLBuild(&message, "{%kO=%s%kO=%i}", kNetBootKeyMessage, "Progress",
                       kNetBootKeyPercentage, 42),
              kStatusOK);
    // No sink: dropped, and 0.
    EXPECT_EQ(NetBootMessageHook(message, nullptr), kStatusOK);

    SetNetBootEventSink(RecordEvent, &log_);
    log_.result = kStatusUnsupported;
    EXPECT_EQ(NetBootMessageHook(message, nullptr), kStatusUnsupported);
    ASSERT_EQ(log_.events.size(), 1u);
    EXPECT_EQ(log_.events[0], message);  // the very object, not a copy
    EXPECT_EQ(log_.context, &log_);
    // Borrowed: the sink's own reference is the only one added.
    EXPECT_EQ(QxLObjectRetainCount(message), 2);

    SetNetBootEventSink(nullptr, nullptr);
    EXPECT_EQ(NetBootMessageHook(message, nullptr), kStatusOK);
    EXPECT_EQ(log_.events.size(), 1u);
    QxLObjectRelease(message);
}

// ---- Releasing the boot source ----------------------------------------------------------

TEST_F(NetBootControlTest, ReleasedBootSourceIsForgottenWhileTheServersRunOn) {
    ASSERT_EQ(Start(), kStatusOK);
    uint16_t bsdpPort = BsdpPort(), tftpPort = TftpPort();
    uint16_t httpPort = static_cast<uint16_t>(DiscSharePort());
    UdpClient slow;
    ASSERT_TRUE(slow.SendTo(tftpPort, ReadRequest("1/mach.orvane")));
    std::string packet;
    uint16_t from = 0;
    ASSERT_TRUE(slow.Receive(&packet, &from));

    ReleaseBootSource();
    // The transfer ends as canceled; sockets and the boot image entry stay.
    ASSERT_EQ(log_.events.size(), 2u);
    EXPECT_EQ(TextAt(log_.events[1], kNetBootKeyMessage), "TFTPClose");
    EXPECT_EQ(TextAt(log_.events[1], kNetBootKeyFilename), "1/mach.orvane");
    EXPECT_EQ(ReasonOf(log_.events[1]), kStatusCanceled);
    EXPECT_EQ(BsdpPort(), bsdpPort);
    EXPECT_EQ(TftpPort(), tftpPort);
    EXPECT_EQ(DiscSharePort(), httpPort);
    EXPECT_EQ(BootImageEntryCount(), 1u);
    EXPECT_EQ(FirstBootFileMapEntry(), nullptr);

    std::string contents;
    uint16_t code = 99;
    std::string text;
    EXPECT_FALSE(TftpFetch(tftpPort, "1/booter", &contents, &code, &text));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(text, "Open File Failed: -6727");

    // The next disc goes into the running servers.
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    ASSERT_TRUE(TftpFetch(tftpPort, "1/booter", &contents));
    EXPECT_EQ(contents, Booter());

    // The same on the HTTP side (whose first connection ends TFTP and BSDP).
    ReleaseBootSource();
    TcpClient http;
    ASSERT_TRUE(http.Connect(httpPort));
    EXPECT_EQ(http.Exchange("GET", "/CdRom0.dmg"), 404);
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    TcpClient again;
    ASSERT_TRUE(again.Connect(httpPort));
    EXPECT_EQ(again.Exchange("HEAD", "/CdRom0.dmg"), 200);
}

}  // namespace
