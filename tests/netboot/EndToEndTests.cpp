// A client's whole road against the network boot services, with independent
// clients on loopback: scapy (BSDP LIST and SELECT), curl (TFTP of the boot
// files, ranged HTTP reads of the root image, the installer's posted
// messages), and the events checked in order. Then tamsor-serve: its start
// line and words, its refusals, the installer's messages on the console,
// the next disc of a multi-disc install, and, as a child process on Linux,
// the stop on a termination request.
//
// curl and python3 are Linux programs. On Linux they are spawned directly;
// under wine a Windows program can start them too, but wine neither waits
// for them nor reports their exit code, so there each runs inside /bin/sh,
// which renames a file holding the exit code into place when it is done.
// The loop is pumped meanwhile, in bounded slices.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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
#include "NetBootControl.h"
#include "QxLBuild.h"
#include "QxLData.h"
#include "QxLMemory.h"
#include "QxLPropertyList.h"
#include "QxLString.h"
#include "TFTPServer.h"
#include "TamsorServe.h"
#include "VolumePath.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildResult;
using testsupport::HaveProgram;
using testsupport::ProcessNumber;
using testsupport::PropertyListText;
using testsupport::ReadFile;
using testsupport::RunFor;
using testsupport::TextAt;
using testsupport::WriteFile;
#if defined(_WIN32)
using testsupport::UnderWine;
#endif
using Folder = testsupport::ChildFolder;

constexpr char kDrive0[] = "\\\\.\\CdRom0";
constexpr char kVolume0[] = "pfs:\\\\.\\CdRom0#2";
constexpr double kWait = 30.0;

// ---- Discs --------------------------------------------------------------------------

// Sizes that end in a short TFTP block for 512 and for 1468 bytes.
constexpr uint64_t kBooterSize = 70001;
constexpr uint64_t kKernelSize = 300000;
constexpr uint64_t kExtensionsSize = 150000;

struct DiscFiles {
    uint32_t booter = 0;
    uint32_t kernel = 0;
    uint32_t extensions = 0;
};

// An install disc (or, with install false, a volume without the install
// files). `shift` items come first, so that discs written alike still get
// different CNIDs and thus different pattern bytes.
DiscFiles WriteDisc(const std::string& path, const std::string& name, bool install = true,
                    int shift = 0) {
    HFSImageSpec disc;
    HFSImageVolume& volume = disc.AddVolume(name);
    for (int i = 0; i < shift; ++i) volume.AddFolder(kHFSImageRootID, "pad" + std::to_string(i));
    DiscFiles files;
    if (install) {
        volume.MakeFolders("System/Installation/Packages");
        files.booter = volume.AddPatternFile(volume.MakeFolders("usr/standalone/i386"),
                                             "boot.efi", kBooterSize);
        files.kernel = volume.AddPatternFile(kHFSImageRootID, "mach_kernel", kKernelSize);
        volume.Fragment(files.kernel, 9);
        files.extensions = volume.AddPatternFile(volume.MakeFolders("System/Library"),
                                                 "Extensions.mkext", kExtensionsSize);
        volume.AddFile(volume.MakeFolders("System/Library/CoreServices"), "SystemVersion.plist",
                       "<plist version=\"1.0\"/>\n");
    } else {
        volume.AddFile(kHFSImageRootID, "Read Me", "not an install disc\n");
    }
    std::string error;
    EXPECT_EQ(WriteDiscImage(disc, path, nullptr, &error), kStatusOK) << error;
    return files;
}

std::string Pattern(uint32_t fileID, uint64_t size) {
    std::string bytes(size, '\0');
    HFSImagePatternBytes(fileID, 0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

// Everything written to a temporary stream so far.
std::string Contents(FILE* stream) {
    fflush(stream);
    long end = ftell(stream);
    std::string text(end > 0 ? static_cast<size_t>(end) : 0, '\0');
    rewind(stream);
    size_t got = fread(text.data(), 1, text.size(), stream);
    text.resize(got);
    fseek(stream, 0, SEEK_END);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The value of "key=value" among the lines, or "<missing>".
std::string Field(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& line : lines) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    }
    return "<missing>";
}

std::string Hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// Pumps the loop until the condition holds; false after kWait.
template <typename Condition>
bool PumpUntil(Condition condition) {
    double deadline = QxRunLoopNow() + kWait;
    while (!condition()) {
        if (QxRunLoopNow() > deadline) return false;
        RunFor(0.005);
    }
    return true;
}

// A UDP port that nothing uses at the moment.
// ---- Events ---------------------------------------------------------------------------

struct EventLog {
    std::vector<QxLObjectRef> events;  // retained
};

QxStatus RecordEvent(QxLObjectRef event, void* context) {
    static_cast<EventLog*>(context)->events.push_back(QxLObjectRetain(event));
    return kStatusOK;
}

int32_t IntegerAt(QxLObjectRef event, QxLStringRef key) {
    int32_t value = 12345;
    QxLGet(event, &value, "%kO:int", key);
    return value;
}

// ---- Processes ------------------------------------------------------------------------

// Where the tests keep their files (see testsupport::ChildFolder).
Folder MakeFolder(const std::string& prefix) {
    std::string name = prefix + std::to_string(ProcessNumber()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    Folder folder{(fs::temp_directory_path() / name).string(), ""};
    folder.child = folder.host;
#if defined(_WIN32)
    if (UnderWine()) {
        folder.host = "Z:\\tmp\\" + name;
        folder.child = "/tmp/" + name;
    }
#endif
    fs::create_directories(folder.host);
    return folder;
}

// Runs a Linux program to its end while the loop is pumped.
ChildResult RunChild(const Folder& folder, const std::vector<std::string>& arguments,
                     double seconds = kWait) {
    return testsupport::RunChildProgram(folder, arguments, seconds);
}

// Sends one BSDP request (1 LIST, 2 SELECT) with scapy and prints the
// reply's fields parsed by scapy as key=value lines ("reply=none" when
// nothing comes within the time-out).
constexpr char kBsdpClient[] = R"PY(
import socket, sys
from scapy.layers.dhcp import BOOTP, DHCP, DHCPRevOptions
port, kind, wait = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
request = BOOTP(op=1, htype=1, hlen=6, xid=0x7a3c0000 + kind,
                chaddr=bytes.fromhex('0016cbabcdef'))
request /= DHCP(options=[('message-type', 'inform'),
                         ('vendor_class_id', b'VRNXBSDPC/i386/TestModel1,1'),
                         ('vendor_specific', bytes([1, 1, kind])), 'end'])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
s.settimeout(wait)
s.sendto(bytes(request), ('127.0.0.1', port))
try:
    data = s.recv(2048)
except (socket.timeout, ConnectionRefusedError):
    print('reply=none')
    sys.exit(0)
reply = BOOTP(data)
print('reply=yes')
print('op=%d' % reply.op)
print('xid=%x' % reply.xid)
print('siaddr=%s' % reply.siaddr)
print('file=%s' % reply.file.rstrip(b'\0').decode())
codes = []
for option in reply[DHCP].options:
    if option == 'end':
        codes.append('255')
        continue
    if option == 'pad':
        continue
    name, value = option[0], option[1]
    code = DHCPRevOptions[name][0] if name in DHCPRevOptions else int(name)
    codes.append(str(code))
    if isinstance(value, bytes):
        text = value.hex() if code == 43 else value.decode('latin-1')
    else:
        text = str(value)
    print('option%d=%s' % (code, text))
    if code == 43:
        order, i = [], 0
        while i + 1 < len(value):
            c, n = value[i], value[i + 1]
            order.append(str(c))
            print('bsdp%d=%s' % (c, value[i + 2:i + 2 + n].hex()))
            i += 2 + n
        print('bsdp=' + ','.join(order))
print('options=' + ','.join(codes))
)PY";

// ---- The road --------------------------------------------------------------------------

class EndToEndTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        folder_ = new Folder(MakeFolder("tamsor-road-"));
        files_ = WriteDisc(folder_->Host("road.img"), "Road Disc");
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_->host, ignored);
        delete folder_;
    }

    void SetUp() override {
        if (!HaveProgram("/usr/bin/curl") || !HaveProgram("/usr/bin/python3")) {
            GTEST_SKIP() << "curl and python3 (Linux programs) are needed";
        }
        RunLoopTest::SetUp();
        NetBootResetPhaseForTesting();
        SetNetBootBsdpPort(0);
        ASSERT_EQ(DeviceBindImage(kDrive0, folder_->Host("road.img").c_str(), 0), kStatusOK);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        StopNetBootServices();
        SetNetBootEventSink(nullptr, nullptr);
        SetNetBootBsdpPort(kBsdpPort);
        SetBootImageNameFormat(nullptr);
        NetBootResetPhaseForTesting();
        for (QxLObjectRef event : log_.events) QxLObjectRelease(event);
        DeviceUnbindAll();
        RunLoopTest::TearDown();
    }

    std::vector<std::string> Bsdp(int kind, double wait = 3.0) {
        ChildResult result = RunChild(*folder_, {"/usr/bin/python3", "-c", kBsdpClient,
                                                 std::to_string(BsdpPort() != 0 ? BsdpPort()
                                                                                : bsdpPort_),
                                                 std::to_string(kind), std::to_string(wait)});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return Lines(result.out);
    }

    ChildResult Curl(std::vector<std::string> arguments) {
        std::vector<std::string> command = {"/usr/bin/curl", "-s", "-S", "--max-time", "15"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return RunChild(*folder_, command);
    }

    // A boot file by TFTP; its bytes, or "<failed>".
    std::string Tftp(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = extra;
        arguments.insert(arguments.end(),
                         {"-o", folder_->Child("tftp.out"),
                          "tftp://127.0.0.1:" + std::to_string(tftpPort_) + "/" + name});
        ChildResult result = Curl(arguments);
        if (result.exitCode != 0) return "<failed>";
        return ReadFile(folder_->Host("tftp.out"));
    }

    // A range of the root image over HTTP; the status code and the body.
    int Range(const std::string& range, std::string* body) {
        ChildResult result = Curl({"-r", range, "-o", folder_->Child("http.out"), "-w",
                                   "%{http_code}", RootURL()});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        *body = ReadFile(folder_->Host("http.out"));
        return atoi(result.out.c_str());
    }

    // Posts a property list as the client's installer does (from the
    // address given, else from 127.0.0.1).
    int Post(QxLObjectRef message, const std::string& from = std::string()) {
        EXPECT_TRUE(WriteFile(folder_->Host("post.plist"), PropertyListText(message)));
        std::vector<std::string> arguments = {"-o", "/dev/null", "-w", "%{http_code}", "-H",
                                              "Content-Type: text/xml", "--data-binary",
                                              "@" + folder_->Child("post.plist"),
                                              "http://127.0.0.1:" + std::to_string(httpPort_) + "/"};
        if (!from.empty()) arguments.insert(arguments.begin(), {"--interface", from});
        ChildResult result = Curl(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return atoi(result.out.c_str());
    }

    std::string RootURL() const {
        return "http://127.0.0.1:" + std::to_string(httpPort_) + "/CdRom0.dmg";
    }

    static Folder* folder_;
    static DiscFiles files_;
    EventLog log_;
    uint16_t bsdpPort_ = 0, tftpPort_ = 0, httpPort_ = 0;
};

Folder* EndToEndTest::folder_ = nullptr;
DiscFiles EndToEndTest::files_;

TEST_F(EndToEndTest, ClientWalksTheWholeRoad) {
    // The controller's sequence, with the wizard's image name format.
    QxLStringRef format = QxLStringCreateWithText("%1$@ (%2$@)");
    SetBootImageNameFormat(format);
    QxLObjectRelease(format);
    StopNetBootServices();
    ASSERT_EQ(PrepareBootSource(kVolume0, false), kStatusOK);
    SetNetBootEventSink(RecordEvent, &log_);
    ASSERT_EQ(StartNetBootServices(), kStatusOK);
    bsdpPort_ = BsdpPort();
    tftpPort_ = TftpPort();
    httpPort_ = static_cast<uint16_t>(DiscSharePort());

    // 1. LIST: the one image, by the wizard's name.
    std::vector<std::string> list = Bsdp(1);
    ASSERT_EQ(Field(list, "reply"), "yes");
    EXPECT_EQ(Field(list, "op"), "2");
    EXPECT_EQ(Field(list, "xid"), "7a3c0001");
    EXPECT_EQ(Field(list, "options"), "53,54,60,43,255");
    EXPECT_EQ(Field(list, "bsdp"), "1,4,7,8,9");
    EXPECT_EQ(Field(list, "option53"), "5");
    EXPECT_EQ(Field(list, "option54"), "127.0.0.1");
    EXPECT_EQ(Field(list, "option60"), "VRNXBSDPC");
    EXPECT_EQ(Field(list, "bsdp1"), "01");
    EXPECT_EQ(Field(list, "bsdp4"), "7ffe");
    EXPECT_EQ(Field(list, "bsdp7"), "81000001");
    EXPECT_EQ(Field(list, "bsdp8"), "81000001");
    QxLStringRef host = HostDisplayName();
    char hostName[256] = "";
    QxLStringCopyToBuffer(host, hostName, sizeof hostName);
    QxLObjectRelease(host);
    std::string imageName = std::string("Road Disc (") + hostName + ")";
    std::string entry = "81000001" + Hex(imageName.size(), 2);
    for (char c : imageName) entry += Hex(static_cast<uint8_t>(c), 2);
    EXPECT_EQ(Field(list, "bsdp9"), entry);

    // 2. SELECT: booter, TFTP port and root image.
    std::vector<std::string> select = Bsdp(2);
    ASSERT_EQ(Field(select, "reply"), "yes");
    EXPECT_EQ(Field(select, "file"), "1/booter");
    EXPECT_EQ(Field(select, "siaddr"), "127.0.0.1");
    EXPECT_EQ(Field(select, "options"), "17,53,54,60,43,255");
    EXPECT_EQ(Field(select, "bsdp"), "1,8,12");
    EXPECT_EQ(Field(select, "option17"), RootURL());
    EXPECT_EQ(Field(select, "bsdp8"), "81000001");
    EXPECT_EQ(Field(select, "bsdp12"), Hex(tftpPort_, 4));

    // 3. The boot files by TFTP, byte for byte.
    EXPECT_TRUE(Tftp("1/booter") == Pattern(files_.booter, kBooterSize));
    EXPECT_TRUE(Tftp("1/mach.orvane", {"--tftp-blksize", "1468"}) ==
                Pattern(files_.kernel, kKernelSize));
    EXPECT_TRUE(Tftp("1/mach.orvane.mkext") == Pattern(files_.extensions, kExtensionsSize));
    // The client's last acknowledgement may still be on its way when it exits.
    PumpUntil([&] { return log_.events.size() >= 6; });
    ASSERT_EQ(log_.events.size(), 6u);
    EXPECT_EQ(BsdpPort(), bsdpPort_);
    EXPECT_EQ(TftpPort(), tftpPort_);

    // 4. The first HTTP connection ends the boot phase; the root image is
    // read by ranges.
    const std::string image = ReadFile(folder_->Host("road.img"));
    std::string body;
    EXPECT_EQ(Range("0-2047", &body), 206);
    EXPECT_TRUE(body == image.substr(0, 2048));
    EXPECT_TRUE(NetBootPhaseEnded());
    EXPECT_EQ(BsdpPort(), 0);
    EXPECT_EQ(TftpPort(), 0);
    EXPECT_EQ(Field(Bsdp(1, 1.0), "reply"), "none");
    EXPECT_EQ(Tftp("1/booter", {"--connect-timeout", "2", "--max-time", "3"}), "<failed>");
    struct Case {
        const char* range;
        size_t start;
        size_t end;
    } cases[] = {
        {"131000-263000", 131000, 263001},
        {"500000-", 500000, image.size()},
        {"-777", image.size() - 777, image.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        EXPECT_EQ(Range(c.range, &body), 206);
        EXPECT_TRUE(body == image.substr(c.start, c.end - c.start));
    }

    // 5. The installer's messages reach the sink unchanged, in order.
    std::vector<QxLObjectRef> posted(4, nullptr);
    ASSERT_EQ(QxLBuild(&posted[0], "{%kO=%s}", kNetBootKeyMessage, "Started"), kStatusOK);
    ASSERT_EQ(QxLBuild(&posted[1], "{%kO=%s%kO=%i%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress",
                       kNetBootKeyPercentage, 42, kNetBootKeyStatus, "Installing \xC3\x96rvane",
                       kNetBootKeyRemaining, "About 5 minutes"),
              kStatusOK);
    ASSERT_EQ(QxLBuild(&posted[2], "{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject",
                       kNetBootKeyNextDisc, "Road Disc 2"),
              kStatusOK);
    ASSERT_EQ(QxLBuild(&posted[3], "{%kO=%s}", kNetBootKeyMessage, "Success"), kStatusOK);
    for (QxLObjectRef message : posted) EXPECT_EQ(Post(message), 200);

    const char* expected[][2] = {
        {"TFTPOpen", "1/booter"},          {"TFTPClose", "1/booter"},
        {"TFTPOpen", "1/mach.orvane"},     {"TFTPClose", "1/mach.orvane"},
        {"TFTPOpen", "1/mach.orvane.mkext"}, {"TFTPClose", "1/mach.orvane.mkext"},
    };
    ASSERT_EQ(log_.events.size(), 10u);
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(TextAt(log_.events[i], kNetBootKeyMessage), expected[i][0]);
        EXPECT_EQ(TextAt(log_.events[i], kNetBootKeyFilename), expected[i][1]);
        if (i % 2 == 1) EXPECT_EQ(IntegerAt(log_.events[i], kNetBootKeyReason), 0);
    }
    for (size_t i = 0; i < posted.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(QxLObjectEqual(log_.events[6 + i], posted[i]));
        QxLObjectRelease(posted[i]);
    }
}

// Three clients boot in turn from one disc with --keep-booting: each gets a
// SELECT reply, its booter by TFTP and the root by HTTP while the first
// already installs; the JSON lines name the client of every event (BSDP
// with the hardware address from the packet, each transfer with its
// figures, the image reads, an installer message from the address that
// posted it) and escape what they carry.
TEST_F(EndToEndTest, KeptBootServicesBootThreeClientsInTurn) {
    DeviceUnbindAll();  // tamsor-serve binds the image itself
    tamsorserve::Server server;
    server.out = tmpfile();
    server.err = tmpfile();
    ASSERT_NE(server.out, nullptr);
    ASSERT_NE(server.err, nullptr);
    server.options.bsdpPort = 0;  // the system picks
    server.options.keepBooting = true;
    server.options.json = true;
    server.options.discs.push_back(folder_->Host("road.img"));
    ASSERT_EQ(tamsorserve::StartServing(server), 0) << Contents(server.err);
    bsdpPort_ = BsdpPort();
    tftpPort_ = TftpPort();
    httpPort_ = static_cast<uint16_t>(DiscSharePort());

    const std::string image = ReadFile(folder_->Host("road.img"));
    EXPECT_EQ(Field(Bsdp(1), "reply"), "yes");
    for (int client = 0; client < 3; ++client) {
        SCOPED_TRACE(client);
        EXPECT_EQ(Field(Bsdp(2), "file"), "1/booter");
        EXPECT_TRUE(Tftp("1/booter") == Pattern(files_.booter, kBooterSize));
        std::string body;
        EXPECT_EQ(Range("0-2047", &body), 206);
        EXPECT_TRUE(body == image.substr(0, 2048));
        EXPECT_FALSE(NetBootPhaseEnded());
        EXPECT_EQ(BsdpPort(), bsdpPort_);
        EXPECT_EQ(TftpPort(), tftpPort_);
    }
    QxLObjectRef progress = nullptr;
    ASSERT_EQ(QxLBuild(&progress, "{%kO=%s%kO=%i%kO=%s}", kNetBootKeyMessage, "Progress",
                       kNetBootKeyPercentage, 42, kNetBootKeyStatus, "\"\xC3\x96rvane\"\\\t"),
              kStatusOK);
    EXPECT_EQ(Post(progress, "127.0.0.9"), 200);
    QxLObjectRelease(progress);
    auto count = [&](const std::string& text) {
        size_t found = 0;
        for (const std::string& line : Lines(Contents(server.out))) {
            if (line.find(text) != std::string::npos) ++found;
        }
        return found;
    };
    PumpUntil([&] { return count("\"progress\"") == 1 && count("\"served\"") == 3; });
    tamsorserve::StopServing(server);

    std::vector<std::string> lines = Lines(Contents(server.out));
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "{\"event\":\"start\",\"bsdp\":" + std::to_string(bsdpPort_) +
                            ",\"tftp\":" + std::to_string(tftpPort_) +
                            ",\"http\":" + std::to_string(httpPort_) + "}");
    EXPECT_EQ(lines[1].rfind("{\"event\":\"serving\",\"volume\":\"Road Disc\",", 0), 0u)
        << lines[1];
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    }
    const std::string client = ",\"client\":\"127.0.0.1\"";
    const std::string chosen = ",\"image\":\"Road Disc";
    EXPECT_EQ(
        count("{\"event\":\"listed\"" + client + ",\"hardware\":\"00:16:cb:ab:cd:ef\"" + chosen),
        1u);
    EXPECT_EQ(count("{\"event\":\"selected\"" + client + ",\"hardware\":\"00:16:cb:ab:cd:ef\"" +
                    chosen),
              3u);
    EXPECT_EQ(count("{\"event\":\"transfer\"" + client +
                    ",\"file\":\"1/booter\",\"size\":70001,\"bytes\":70001,\"seconds\":"),
              3u);
    EXPECT_EQ(count(",\"reason\":0}"), 3u);
    EXPECT_EQ(count("{\"event\":\"loaded\",\"file\":\"1/booter\"" + client + "}"), 3u);
    EXPECT_EQ(count("{\"event\":\"reading\"" + client + ",\"path\":\"CdRom0\"}"), 3u);
    EXPECT_EQ(count("{\"event\":\"served\"" + client + ",\"bytes\":2048,\"seconds\":"), 3u);
    EXPECT_EQ(count("{\"event\":\"progress\",\"percentage\":42,"
                    "\"status\":\"\\\"\xC3\x96rvane\\\"\\\\\\u0009\","
                    "\"remaining\":\"\",\"client\":\"127.0.0.9\"}"),
              1u);
    fclose(server.out);
    fclose(server.err);
}

// ---- tamsor-serve in this process ----------------------------------------------------------

class ServeTest : public testsupport::RunLoopTest {
protected:
    static void SetUpTestSuite() {
        folder_ = new Folder(MakeFolder("tamsor-serve-"));
        one_ = WriteDisc(folder_->Host("one.img"), "Disc One", true, 0);
        WriteDisc(folder_->Host("other.img"), "Other Disc", false, 1);
        three_ = WriteDisc(folder_->Host("three.img"), "Disc Three", true, 2);
        WriteFile(folder_->Host("zeros.img"), std::string(200000, '\0'));
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_->host, ignored);
        delete folder_;
    }

    void SetUp() override {
        RunLoopTest::SetUp();
        NetBootResetPhaseForTesting();
        server_.out = tmpfile();
        server_.err = tmpfile();
        ASSERT_NE(server_.out, nullptr);
        ASSERT_NE(server_.err, nullptr);
        server_.options.bsdpPort = 0;  // the system picks
    }
    void TearDown() override {
        tamsorserve::StopServing(server_);
        SetNetBootBsdpPort(kBsdpPort);
        NetBootResetPhaseForTesting();
        if (server_.out != nullptr) fclose(server_.out);
        if (server_.err != nullptr) fclose(server_.err);
        RunLoopTest::TearDown();
    }

    int Start(std::vector<std::string> discs) {
        for (std::string& disc : discs) server_.options.discs.push_back(folder_->Host(disc));
        return tamsorserve::StartServing(server_);
    }

    std::string Out() { return Contents(server_.out); }
    std::string Err() { return Contents(server_.err); }

    // Hands the server an event as a service would (built, sunk, released).
    void Event(const char* format, ...) {
        QxLObjectRef event = nullptr;
        va_list arguments;
        va_start(arguments, format);
        QxStatus status = QxLBuildV(&event, format, arguments);
        va_end(arguments);
        EXPECT_EQ(status, kStatusOK) << format;
        tamsorserve::HandleEvent(event, &server_);
        QxLObjectRelease(event);
    }

    static Folder* folder_;
    static DiscFiles one_;
    static DiscFiles three_;
    tamsorserve::Server server_;
};

Folder* ServeTest::folder_ = nullptr;
DiscFiles ServeTest::one_;
DiscFiles ServeTest::three_;

// tamsor-serve's options parsed from words; the exit code.
int ParseWords(std::vector<const char*> words, tamsorserve::Options* options) {
    words.insert(words.begin(), "tamsor-serve");
    FILE* err = tmpfile();
    int result = tamsorserve::ParseOptions(static_cast<int>(words.size()),
                                           const_cast<char**>(words.data()), options, err);
    fclose(err);
    return result;
}

TEST_F(ServeTest, OptionsAreReadAsAUserExpects) {
    const auto parse = ParseWords;
    tamsorserve::Options options;
    ASSERT_EQ(parse({"a.img", "--diagnostics", "--bsdp-port", "7800", "b.img", "--volume",
                     "Disc 2", "--", "--list"},
                    &options),
              0);
    EXPECT_EQ(options.discs, (std::vector<std::string>{"a.img", "b.img", "--list"}));
    EXPECT_TRUE(options.diagnostics);
    EXPECT_FALSE(options.list);
    EXPECT_EQ(options.bsdpPort, 7800);
    EXPECT_EQ(options.volumeName, "Disc 2");

    tamsorserve::Options defaults;
    ASSERT_EQ(parse({"--list"}, &defaults), 0);
    EXPECT_TRUE(defaults.list);
    EXPECT_TRUE(defaults.discs.empty());
    EXPECT_EQ(defaults.bsdpPort, kBsdpPort);

    tamsorserve::Options anyPort;
    ASSERT_EQ(parse({"--bsdp-port", "0"}, &anyPort), 0);
    EXPECT_EQ(anyPort.bsdpPort, 0);

    for (std::vector<const char*> bad :
         {std::vector<const char*>{"--bsdp-port", "-1"}, {"--bsdp-port", "65536"},
          {"--bsdp-port", "7x"}, {"--bsdp-port"}, {"--volume"}, {"--unknown"}, {"--help"}}) {
        tamsorserve::Options ignored;
        EXPECT_EQ(parse(bad, &ignored), 2) << bad[0];
    }
}

// --status takes an address only when the next word reads as one, so a
// disc right behind it stays a disc.
TEST_F(ServeTest, StatusTakesAnAddressOrTheDefault) {
    const auto parse = ParseWords;
    tamsorserve::Options alone, given, ipv6;
    ASSERT_EQ(parse({"--status", "a.img"}, &alone), 0);
    EXPECT_EQ(alone.status, "127.0.0.1:7780");
    EXPECT_EQ(alone.discs, (std::vector<std::string>{"a.img"}));
    ASSERT_EQ(parse({"--status", "10.0.0.1:80", "b.img"}, &given), 0);
    EXPECT_EQ(given.status, "10.0.0.1:80");
    EXPECT_EQ(given.discs, (std::vector<std::string>{"b.img"}));
    ASSERT_EQ(parse({"--status=[::1]:7780"}, &ipv6), 0);
    EXPECT_EQ(ipv6.status, "[::1]:7780");
    for (const char* bad : {"--status=server:80", "--status=1.2.3.4:65536", "--status=1.2.3.256:80",
                            "--status=::1:80", "--status=1.2.3.4"}) {
        tamsorserve::Options ignored;
        EXPECT_EQ(parse({bad}, &ignored), 2) << bad;
    }
}

TEST_F(ServeTest, StartPrintsThePortsLineThenTheVolumeInWords) {
    ASSERT_EQ(Start({"one.img"}), 0) << Err();
    std::vector<std::string> lines = Lines(Out());
    ASSERT_GE(lines.size(), 3u);
    // Asked for port 0, the line names the port the system picked.
    EXPECT_NE(BsdpPort(), 0);
    EXPECT_EQ(lines[0], "tamsor-serve: bsdp=" + std::to_string(BsdpPort()) +
                            " tftp=" + std::to_string(TftpPort()) +
                            " http=" + std::to_string(DiscSharePort()));
    EXPECT_NE(lines[1].find("\"Disc One\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(folder_->Host("one.img")), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("/CdRom0.dmg"), std::string::npos) << lines[2];
    EXPECT_EQ(Err(), "");

    // The wizard's sequence: the disc is prepared and advertised by the
    // wizard's name format.
    const BootImageEntry* entry = NewestBootImageEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->volumeName, "Disc One");
    EXPECT_EQ(entry->imageID, kBootImageIDInstall);
    ASSERT_NE(bootImageNameFormat, nullptr);
    char format[32];
    ASSERT_TRUE(QxLStringCopyToBuffer(bootImageNameFormat, format, sizeof format));
    EXPECT_STREQ(format, "%1$@ (%2$@)");

    tamsorserve::StopServing(server_);
    EXPECT_EQ(BsdpPort(), 0);
    EXPECT_EQ(TftpPort(), 0);
    EXPECT_EQ(DiscSharePort(), 0u);
    EXPECT_EQ(NewestBootImageEntry(), nullptr);
    EXPECT_EQ(bootImageNameFormat, nullptr);
    EXPECT_FALSE(DeviceFindBinding(kDrive0, -1, nullptr, nullptr));
}

TEST_F(ServeTest, DiscsThatCannotBeServedGetOneLineAndExitCodeOne) {
    uint16_t takenPort = 0;
    QxSocketHandle taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    takenPort = testsupport::BoundPort(taken);

    struct Case {
        std::vector<std::string> discs;
        std::string volume;
        bool diagnostics;
        uint16_t port;
        const char* says;
    } cases[] = {
        {{"missing.img"}, "", false, 0, "no such disc image"},
        {{"zeros.img"}, "", false, 0, "holds no HFS+ volume"},
        {{"other.img"}, "", false, 0, "is not an install disc"},
        {{"one.img"}, "Disc Nine", false, 0, "has no volume named \"Disc Nine\""},
        {{"other.img"}, "Other Disc", false, 0, "\"Other Disc\" on"},
        {{"one.img"}, "", true, 0, "carries no hardware test"},
        {{"one.img"}, "", false, takenPort, "is already in use"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        tamsorserve::StopServing(server_);
        server_.options = tamsorserve::Options();
        server_.options.volumeName = c.volume;
        server_.options.diagnostics = c.diagnostics;
        server_.options.bsdpPort = c.port;
        long outBefore = static_cast<long>(Out().size());
        long errBefore = static_cast<long>(Err().size());
        EXPECT_EQ(Start(c.discs), 1);
        std::string out = Out().substr(static_cast<size_t>(outBefore));
        std::string err = Err().substr(static_cast<size_t>(errBefore));
        EXPECT_EQ(out, "");
        EXPECT_EQ(Lines(err).size(), 1u) << err;
        EXPECT_EQ(err.compare(0, 14, "tamsor-serve: "), 0) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(TftpPort(), 0);
        EXPECT_EQ(DiscSharePort(), 0u);
    }
    QxPlatformSocketClose(taken);
}

TEST_F(ServeTest, ListShowsTheInstallVolumesOfEveryDisc) {
    for (const char* name : {"one.img", "other.img", "three.img"}) {
        server_.options.discs.push_back(folder_->Host(name));
    }
    ASSERT_EQ(tamsorserve::ResolveDiscs(server_), 0);
    ASSERT_EQ(tamsorserve::ListInstallVolumes(server_), 0);
    std::vector<std::string> lines = Lines(Out());
    ASSERT_EQ(lines.size(), 2u) << Out();
    EXPECT_EQ(lines[0], folder_->Host("one.img") + ": \"Disc One\" " + kVolume0);
    EXPECT_EQ(lines[1], folder_->Host("three.img") + ": \"Disc Three\" " + kVolume0);
    EXPECT_FALSE(DeviceFindBinding(kDrive0, -1, nullptr, nullptr));

    server_.options.discs = {folder_->Host("other.img")};
    ASSERT_EQ(tamsorserve::ResolveDiscs(server_), 0);
    EXPECT_EQ(tamsorserve::ListInstallVolumes(server_), 1);
    EXPECT_NE(Err().find("no install volume on"), std::string::npos);
}

TEST_F(ServeTest, InstallerMessagesShowOnTheConsoleAndEveryEventIsDumped) {
    ASSERT_EQ(Start({"one.img"}), 0) << Err();
    size_t start = Out().size();
    Event("{%kO=%s%kO=%s%kO=%i}", kNetBootKeyMessage, "TFTPClose", kNetBootKeyFilename,
          "1/booter", kNetBootKeyReason, kStatusTimeout);
    Event("{%kO=%s%kO=%s%kO=%i}", kNetBootKeyMessage, "TFTPClose", kNetBootKeyFilename,
          "1/booter", kNetBootKeyReason, 0);
    Event("{%kO=%s%kO=%s%kO=%i}", kNetBootKeyMessage, "TFTPClose", kNetBootKeyFilename,
          "1/mach.orvane", kNetBootKeyReason, 0);
    Event("{%kO=%s}", kNetBootKeyMessage, "Started");
    Event("{%kO=%s%kO=%i%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyPercentage, 150,
          kNetBootKeyStatus, "Copying");
    // Without a percentage only the texts change; a percentage in text form
    // counts.
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyRemaining, "1 minute");
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Progress", kNetBootKeyPercentage, "7");
    Event("{%kO=%i}", kNetBootKeyMessage, 5);  // not a string: ignored
    Event("{%kO=%s}", kNetBootKeyMessage, "Failure");

    std::vector<std::string> lines = Lines(Out().substr(start));
    std::vector<std::string> expected = {
        "A client has loaded 1/booter; it boots from this computer now.",
        "The installer on the client has started.",
        "Progress: 100% Copying",
        "Progress: 100% Copying, 1 minute",
        "Progress: 7% Copying, 1 minute",
        "The installation has failed. (Ctrl-C stops the server.)",
    };
    EXPECT_EQ(lines, expected);
    // Every event, the ignored ones too, is described on the error stream.
    std::string err = Err();
    size_t dumps = 0;
    for (size_t at = 0; (at = err.find("Message=", at)) != std::string::npos; ++at) ++dumps;
    EXPECT_EQ(dumps, 9u) << err;
    EXPECT_NE(err.find("Percentage=150"), std::string::npos) << err;
}

TEST_F(ServeTest, EjectTakesTheNextImageByNameWhileTheServersRunOn) {
    ASSERT_EQ(Start({"one.img", "other.img", "three.img"}), 0) << Err();
    uint16_t tftpPort = TftpPort();
    uint32_t httpPort = DiscSharePort();
    auto newest = [] {
        const BootImageEntry* entry = NewestBootImageEntry();
        return std::string(entry != nullptr ? entry->volumeName : "<none>");
    };
    auto bound = [] {
        const char* path = nullptr;
        uint32_t sectorSize = 0;
        return DeviceFindBinding(kDrive0, -1, &path, &sectorSize) ? fs::path(path).filename().string()
                                                                  : std::string("<none>");
    };

    // No NextDisc: nothing happens.
    Event("{%kO=%s}", kNetBootKeyMessage, "Eject");
    RunFor(0.1);
    EXPECT_EQ(newest(), "Disc One");
    EXPECT_EQ(bound(), "one.img");

    // The image whose volume has the name asked for wins over the next one.
    size_t start = Out().size();
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject", kNetBootKeyNextDisc, "Disc Three");
    EXPECT_EQ(newest(), "Disc One");  // deferred until the sink has returned
    EXPECT_EQ(bound(), "one.img");
    ASSERT_TRUE(PumpUntil([&] { return newest() == "Disc Three"; })) << Out();
    EXPECT_EQ(bound(), "three.img");
    EXPECT_EQ(TftpPort(), tftpPort);
    EXPECT_EQ(DiscSharePort(), httpPort);
    std::string said = Out().substr(start);
    EXPECT_NE(said.find("asks for the disc \"Disc Three\""), std::string::npos) << said;
    EXPECT_NE(said.find("Serving \"Disc Three\""), std::string::npos) << said;
    // Its boot files are the ones served now.
    VolumeFile* file = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(OpenBootFile("1/booter", &file, &size), kStatusOK);
    std::string booter(size, '\0');
    EXPECT_EQ(VolumeRead(file, 0, static_cast<uint32_t>(size), booter.data()), kStatusOK);
    VolumeClose(file);
    EXPECT_TRUE(booter == Pattern(three_.booter, kBooterSize));

    // Without a match the next unused image is taken, install disc or not.
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject", kNetBootKeyNextDisc, "Disc Four");
    ASSERT_TRUE(PumpUntil([&] { return newest() == "Other Disc"; })) << Out();
    EXPECT_EQ(bound(), "other.img");

    // Nothing left: the server says so and keeps waiting, servers running.
    start = Out().size();
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject", kNetBootKeyNextDisc, "Disc Five");
    ASSERT_TRUE(PumpUntil([&] { return server_.awaitingNextDisc; }));
    EXPECT_NE(Out().substr(start).find("No further disc image"), std::string::npos) << Out();
    EXPECT_EQ(bound(), "<none>");
    EXPECT_EQ(TftpPort(), tftpPort);
    // A second Eject while waiting changes nothing.
    start = Out().size();
    Event("{%kO=%s%kO=%s}", kNetBootKeyMessage, "Eject", kNetBootKeyNextDisc, "Disc Six");
    RunFor(0.1);
    EXPECT_EQ(Out().substr(start), "");
    EXPECT_EQ(server_.nextDiscName, "Disc Five");
}

// More clients than the terminal has lines: the most recently active are
// shown in the order they came, the rest counted; no line is wider than
// the terminal.
TEST(ClientTableTest, TheTableFitsTheTerminal) {
    std::vector<tamsorserve::ClientRow> clients;
    for (int i = 0; i < 10; ++i) {
        tamsorserve::ClientRow& row = tamsorserve::ClientRowFor(clients, "10.0.0." + std::to_string(i));
        row.phase = i < 2 ? "done" : i == 9 ? "failed" : "installing";
        row.percentage = 10 * i;
        row.status = std::string(200, 'x');
        row.lastActivity = i == 0 ? 100.0 : i;  // the first client spoke last
    }
    EXPECT_EQ(&tamsorserve::ClientRowFor(clients, "10.0.0.3"), &clients[3]);
    std::vector<std::string> lines = tamsorserve::TableLines(clients, 100.0, 8, 60);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0].rfind("CLIENT", 0), 0u);
    for (const std::string& line : lines) EXPECT_LE(line.size(), 59u) << line;
    std::vector<std::string> shown;
    for (size_t i = 1; i < 6; ++i) shown.push_back(lines[i].substr(0, lines[i].find(' ')));
    EXPECT_EQ(shown, (std::vector<std::string>{"10.0.0.0", "10.0.0.6", "10.0.0.7", "10.0.0.8",
                                               "10.0.0.9"}));
    EXPECT_NE(lines[3].find("installing 70%"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[6], "... and 5 more (10 clients: 2 done, 1 failed)");
}

// ---- tamsor-serve as a program (Linux) ---------------------------------------------------

#if !defined(_WIN32)

// The program beside this test program in the build tree.
std::string ServeProgram() {
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return std::string();
    self[length] = '\0';
    return (fs::path(self).parent_path().parent_path().parent_path() / "tools" / "tamsor-serve")
        .string();
}

class ServeProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new Folder(MakeFolder("tamsor-serve-program-"));
        files_ = WriteDisc(folder_->Host("disc.img"), "Program Disc");
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_->host, ignored);
        delete folder_;
    }

    void SetUp() override {
        program_ = ServeProgram();
        ASSERT_TRUE(fs::exists(program_)) << program_ << " is missing: build the tamsor-serve target";
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts the program with stdout and stderr into files named after tag.
    pid_t Spawn(const std::string& tag, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), program_);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, folder_->Host(tag + ".out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, folder_->Host(tag + ".err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? pid : -1;
    }

    // The exit code once the program has ended, -1 after `seconds`.
    static int WaitExit(pid_t pid, double seconds) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            usleep(10000);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits until the file holds a whole first line.
    static std::string FirstLine(const std::string& path, double seconds) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        for (;;) {
            std::string text = ReadFile(path);
            size_t end = text.find('\n');
            if (end != std::string::npos) return text.substr(0, end);
            if (std::chrono::steady_clock::now() > deadline) return std::string();
            usleep(10000);
        }
    }

    // Runs a client to its end (no loop to pump here).
    static int Client(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? WaitExit(pid, kWait) : -1;
    }

    static Folder* folder_;
    static DiscFiles files_;
    std::string program_;
    pid_t pid_ = -1;
};

Folder* ServeProgramTest::folder_ = nullptr;
DiscFiles ServeProgramTest::files_;

TEST_F(ServeProgramTest, ServesUntilTerminatedAndRefusesATakenPort) {
    if (!HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is needed";
    pid_ = Spawn("serve", {"--bsdp-port", "0", folder_->Host("disc.img")});
    ASSERT_GT(pid_, 0);
    std::string line = FirstLine(folder_->Host("serve.out"), kWait);
    unsigned bsdp = 0, tftp = 0, http = 0;
    char rest = '\0';
    ASSERT_EQ(sscanf(line.c_str(), "tamsor-serve: bsdp=%u tftp=%u http=%u%c", &bsdp, &tftp, &http,
                     &rest),
              3)
        << line;
    EXPECT_NE(bsdp, 0u);
    std::string port = std::to_string(bsdp);
    EXPECT_EQ(line, "tamsor-serve: bsdp=" + port + " tftp=" + std::to_string(tftp) +
                        " http=" + std::to_string(http));

    EXPECT_EQ(Client({"/usr/bin/curl", "-s", "--max-time", "15", "-o",
                      folder_->Host("booter"),
                      "tftp://127.0.0.1:" + std::to_string(tftp) + "/1/booter"}),
              0);
    EXPECT_TRUE(ReadFile(folder_->Host("booter")) == Pattern(files_.booter, kBooterSize));

    // A second server on the same BSDP port says why it cannot start.
    pid_t second = Spawn("second", {"--bsdp-port", port, folder_->Host("disc.img")});
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExit(second, kWait), 1);
    EXPECT_EQ(ReadFile(folder_->Host("second.out")), "");
    std::vector<std::string> refusal = Lines(ReadFile(folder_->Host("second.err")));
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_NE(refusal[0].find("BSDP port " + port + " is already in use"), std::string::npos)
        << refusal[0];

    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(WaitExit(pid_, kWait), 0);
    pid_ = -1;
    std::vector<std::string> said = Lines(ReadFile(folder_->Host("serve.out")));
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back(), "Stopping.");
    EXPECT_NE(ReadFile(folder_->Host("serve.err")).find("Message=\"TFTPClose\""),
              std::string::npos);
    // The ports are free again.
    EXPECT_NE(Client({"/usr/bin/curl", "-s", "--connect-timeout", "2", "--max-time", "3",
                      "http://127.0.0.1:" + std::to_string(http) + "/CdRom0.dmg"}),
              0);
}

TEST_F(ServeProgramTest, CtrlCStopsItAsCleanly) {
    pid_ = Spawn("interrupted", {"--bsdp-port", "0", folder_->Host("disc.img")});
    ASSERT_GT(pid_, 0);
    ASSERT_NE(FirstLine(folder_->Host("interrupted.out"), kWait), "");
    ASSERT_EQ(kill(pid_, SIGINT), 0);
    EXPECT_EQ(WaitExit(pid_, kWait), 0);
    pid_ = -1;
    EXPECT_EQ(Lines(ReadFile(folder_->Host("interrupted.out"))).back(), "Stopping.");
}

#endif  // !_WIN32

}  // namespace
