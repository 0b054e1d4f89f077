// The disc image service end to end: a self-describing image file bound to
// \\.\CdRom0 is served from the run loop and read back by clients on
// loopback. A socket client inside the test runs on both targets; curl,
// python's plistlib and qemu run as child processes while the test pumps
// the loop (Linux programs, started from wine too in the Windows build).
//
// Every 16 bytes of the image spell their own offset ("%015llx\n"), so a
// wrong range shows as a wrong offset, not just as different bytes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "DeviceBinding.h"
#include "DiscImageReaderInternal.h"
#include "DiscShare.h"
#include "QxPlatform.h"
#include "QxPlatformNet.h"
#include "QxLBuild.h"
#include "QxLData.h"
#include "QxLDictionary.h"
#include "QxLMemory.h"
#include "QxLPropertyList.h"
#include "QxLString.h"
#include "foundation/QxRunLoopTestSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ChildFolder;
using testsupport::ChildResult;
using testsupport::HaveProgram;
using testsupport::ProcessNumber;
using testsupport::PropertyListText;
using testsupport::ReadFile;
using testsupport::RunLoopTest;
using testsupport::WriteFile;
#if defined(_WIN32)
using testsupport::UnderWine;
#endif

constexpr char kDevice0[] = "\\\\.\\CdRom0";
constexpr char kDevice1[] = "\\\\.\\CdRom1";
constexpr char kServerToken[] = "VerinNetInstall/1.0";
// 3 MiB and three sectors: several 128 KiB chunks and a short last one.
constexpr size_t kImageSize = 3 * 1024 * 1024 + 3 * 2048;
constexpr size_t kSecondImageSize = 64 * 1024 + 2048;
constexpr double kWait = 20.0;

std::string MakePattern(size_t size, const char* format) {
    std::string bytes(size, '\0');
    char record[32];
    for (size_t offset = 0; offset < size; offset += 16) {
        snprintf(record, sizeof record, format, static_cast<unsigned long long>(offset));
        memcpy(&bytes[offset], record, 16);
    }
    return bytes;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsLowerUUID(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && !isxdigit(static_cast<unsigned char>(text[i]))) return false;
        if (!dash && isupper(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// ---- A response as a client sees it ---------------------------------------------

struct Response {
    int code = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string Header(const std::string& name) const {
        auto found = headers.find(Lower(name));
        return found == headers.end() ? std::string() : found->second;
    }
};

// Parses "HTTP/1.1 206 Partial Content\r\nName: value\r\n...\r\n\r\n".
bool ParseHead(const std::string& head, Response* response) {
    size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string::npos || head.compare(0, 9, "HTTP/1.1 ") != 0) return false;
    response->code = atoi(head.c_str() + 9);
    response->headers.clear();
    size_t position = lineEnd + 2;
    while (position < head.size()) {
        size_t end = head.find("\r\n", position);
        if (end == std::string::npos || end == position) break;
        std::string line = head.substr(position, end - position);
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        size_t value = line.find_first_not_of(' ', colon + 1);
        response->headers[Lower(line.substr(0, colon))] =
            value == std::string::npos ? std::string() : line.substr(value);
        position = end + 2;
    }
    return true;
}

// ---- A socket client on the run loop (both targets) -----------------------------

class SocketClient {
public:
    ~SocketClient() { Close(); }

    // receiveBuffer > 0 shrinks the socket's receive buffer before the
    // connect, so that the server soon has to wait for the client.
    bool Connect(uint16_t port, int receiveBuffer = 0, bool listen = true) {
        handle_ = socket(AF_INET, SOCK_STREAM, 0);
        if (handle_ == kQxInvalidSocket) return false;
        if (receiveBuffer > 0) {
            setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                       sizeof receiveBuffer);
        }
        sockaddr_in address = testsupport::Loopback(port);
        if (connect(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
        if (QxPlatformSocketSetNonBlocking(handle_) != kStatusOK) return false;
        return listen ? Listen() : true;
    }

    // Starts taking what arrives (callbacks on the run loop).
    bool Listen() {
        QxSocketContext context{0, this, nullptr, nullptr, nullptr};
        object_ = QxSocketCreate(handle_, kQxSocketReadCallback, Callback, &context);
        if (object_ == nullptr) return false;
        QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(object_);
        if (source == nullptr) return false;
        QxRunLoopAddSource(QxRunLoopGetMain(), source);
        QxLObjectRelease(source);
        return true;
    }

    bool Send(const std::string& bytes) {
        size_t sent = 0;
        double deadline = QxRunLoopNow() + kWait;
        while (sent < bytes.size() && QxRunLoopNow() < deadline) {
            int count = testsupport::Send(handle_, bytes.data() + sent,
                                          static_cast<int>(bytes.size() - sent));
            if (count > 0) {
                sent += static_cast<size_t>(count);
            } else {
                testsupport::RunFor(0.005);
            }
        }
        return sent == bytes.size();
    }

    // Pumps until one whole response (the body by its Content-Length,
    // none for HEAD) has arrived; false at the end of the stream or timeout.
    bool ReadResponse(Response* response, bool head = false) {
        expectHead_ = head;
        done_ = Complete();
        testsupport::RunFor(kWait, &done_);
        if (!Complete()) return false;
        size_t headEnd = buffer_.find("\r\n\r\n") + 4;
        if (!ParseHead(buffer_.substr(0, headEnd), response)) return false;
        size_t length = head ? 0 : BodyLength();
        response->body = buffer_.substr(headEnd, length);
        buffer_.erase(0, headEnd + length);
        return true;
    }

    // Pumps until the server has closed the connection; what arrived before
    // stays in Received().
    bool WaitClosed() {
        expectHead_ = false;
        waitForClose_ = true;
        done_ = closed_;
        testsupport::RunFor(kWait, &done_);
        waitForClose_ = false;
        return closed_;
    }

    // Pumps until the response's head and the first body bytes wait in the
    // socket, without taking them: the server is inside the body then.
    // False after kWait.
    bool WaitBodyStarted() {
        double deadline = QxRunLoopNow() + kWait;
        char peek[4096];
        while (QxRunLoopNow() < deadline) {
            int count = recv(handle_, peek, sizeof peek, MSG_PEEK);
            if (count > 0) {
                size_t headEnd = std::string(peek, static_cast<size_t>(count)).find("\r\n\r\n");
                if (headEnd != std::string::npos && headEnd + 4 < static_cast<size_t>(count)) {
                    return true;
                }
            }
            testsupport::RunFor(0.005);
        }
        return false;
    }

    bool Exchange(const std::string& request, Response* response, bool head = false) {
        return Send(request) && ReadResponse(response, head);
    }

    const std::string& Received() const { return buffer_; }
    QxSocketHandle Handle() const { return handle_; }

    void Close() {
        if (object_ != nullptr) {
            QxSocketInvalidate(object_);
            QxLObjectRelease(object_);
            object_ = nullptr;
        } else if (handle_ != kQxInvalidSocket) {
            QxPlatformSocketClose(handle_);
        }
        handle_ = kQxInvalidSocket;
    }

private:
    size_t BodyLength() const {
        size_t headEnd = buffer_.find("\r\n\r\n");
        Response response;
        ParseHead(buffer_.substr(0, headEnd + 4), &response);
        return static_cast<size_t>(atoll(response.Header("Content-Length").c_str()));
    }

    bool Complete() const {
        if (waitForClose_) return closed_;
        size_t headEnd = buffer_.find("\r\n\r\n");
        if (headEnd == std::string::npos) return false;
        return expectHead_ || buffer_.size() >= headEnd + 4 + BodyLength();
    }

    static void Callback(QxSocketRef socket, uint32_t types, const void*, const void*, void* info) {
        auto* self = static_cast<SocketClient*>(info);
        if (types != kQxSocketReadCallback) return;
        char chunk[65536];
        for (;;) {
            int count = testsupport::Receive(self->handle_, chunk, sizeof chunk);
            if (count > 0) {
                self->buffer_.append(chunk, static_cast<size_t>(count));
                continue;
            }
            if (count == 0 || QxPlatformSocketLastError() != kQxErrorWouldBlock) {
                self->closed_ = true;
                QxSocketDisableCallbacks(socket, kQxSocketReadCallback);
            }
            break;
        }
        if (self->Complete()) self->done_ = true;
    }

    QxSocketHandle handle_ = kQxInvalidSocket;
    QxSocketRef object_ = nullptr;
    std::string buffer_;
    bool expectHead_ = false;
    bool waitForClose_ = false;
    bool closed_ = false;
    volatile bool done_ = false;
};

std::string Get(const std::string& target, const std::string& extra = "",
                const char* method = "GET") {
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

std::string Post(const std::string& body, const std::string& extra = "") {
    return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

// ---- Fixture ----------------------------------------------------------------------

struct HookLog {
    int connections = 0;
    uint32_t lastEvent = 0;
    uintptr_t lastArgument = 99;
    std::vector<QxLObjectRef> messages;  // retained
};

void ConnectionHook(uint32_t event, uintptr_t argument, void* context) {
    auto* log = static_cast<HookLog*>(context);
    ++log->connections;
    log->lastEvent = event;
    log->lastArgument = argument;
}

QxStatus MessageHook(QxLObjectRef message, void* context) {
    static_cast<HookLog*>(context)->messages.push_back(QxLObjectRetain(message));
    return kStatusOK;
}

class DiscShareTest : public RunLoopTest {
protected:
    static void SetUpTestSuite() {
        image_ = MakePattern(kImageSize, "%015llx\n");
        second_ = MakePattern(kSecondImageSize, "B%014llx\n");
        std::string name = "tamsor-share-" + std::to_string(ProcessNumber());
        directory_ = (std::filesystem::temp_directory_path() / name).string();
        childDirectory_ = directory_;
#if defined(_WIN32)
        // Linux programs started from wine see the Linux file system, which
        // wine shows as drive Z:.
        if (UnderWine()) {
            directory_ = "Z:\\tmp\\" + name;
            childDirectory_ = "/tmp/" + name;
        }
#endif
        std::filesystem::create_directories(directory_);
        imagePath_ = (std::filesystem::path(directory_) / "disc0.img").string();
        secondPath_ = (std::filesystem::path(directory_) / "disc1.img").string();
        ASSERT_TRUE(WriteFile(imagePath_, image_));
        ASSERT_TRUE(WriteFile(secondPath_, second_));
    }

    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    void SetUp() override {
        RunLoopTest::SetUp();
        ASSERT_EQ(DeviceBindImage(kDevice0, imagePath_.c_str(), 2048), kStatusOK);
        ASSERT_EQ(DeviceBindImage(kDevice1, secondPath_.c_str(), 2048), kStatusOK);
        DiscShareSetConnectionHook(ConnectionHook, &log_);
        DiscShareSetMessageHook(MessageHook, &log_);
        ASSERT_EQ(DiscShareSetServerToken(kServerToken), kStatusOK);
        ASSERT_EQ(DiscShareAddImage("Test Disc", "CdRom0"), kStatusOK);
        ASSERT_EQ(DiscShareStart(), kStatusOK);
        port_ = static_cast<uint16_t>(DiscSharePort());
        ASSERT_NE(port_, 0);
    }

    void TearDown() override {
        DiscShareStop();
        DiscShareSetConnectionHook(nullptr, nullptr);
        DiscShareSetMessageHook(nullptr, nullptr);
        for (QxLObjectRef message : log_.messages) QxLObjectRelease(message);
        DeviceUnbind(kDevice0);
        DeviceUnbind(kDevice1);
        RunLoopTest::TearDown();
    }

    std::string Slice(size_t start, size_t end) const { return image_.substr(start, end - start); }

    // The status reply over a socket, parsed back into an object (owned).
    QxLObjectRef StatusReply(const char* message) {
        QxLObjectRef query = nullptr;
        EXPECT_EQ(QxLBuild(&query, "{%kO=%s}", kDiscShareKeyMessage, message), kStatusOK);
        SocketClient client;
        Response response;
        EXPECT_TRUE(client.Connect(port_));
        EXPECT_TRUE(client.Exchange(Post(PropertyListText(query)), &response));
        QxLObjectRelease(query);
        EXPECT_EQ(response.code, 200);
        EXPECT_EQ(response.Header("Content-Length"), std::to_string(response.body.size()));
        EXPECT_EQ(response.Header("Content-Type"), "");
        QxLObjectRef reply = nullptr;
        EXPECT_EQ(QxLPropertyListRead(response.body.data(), static_cast<int32_t>(response.body.size()),
                                      &reply),
                  kStatusOK);
        return reply;
    }

    static std::string image_;
    static std::string second_;
    // The test's files as this program names them, and as a child
    // process names them (the same on Linux).
    static std::string HostPath(const std::string& name) {
        return (std::filesystem::path(directory_) / name).string();
    }
    static std::string ChildPath(const std::string& name) { return childDirectory_ + "/" + name; }

    static std::string directory_;
    static std::string childDirectory_;
    static std::string imagePath_;
    static std::string secondPath_;
    HookLog log_;
    uint16_t port_ = 0;
};

std::string DiscShareTest::image_;
std::string DiscShareTest::second_;
std::string DiscShareTest::directory_;
std::string DiscShareTest::childDirectory_;
std::string DiscShareTest::imagePath_;
std::string DiscShareTest::secondPath_;

// ---- Socket client tests (both targets) --------------------------------------------

TEST_F(DiscShareTest, WholeImageHasEveryHeaderAndEveryByte) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg"), &response));
    EXPECT_EQ(response.code, 200);
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(kImageSize));
    EXPECT_EQ(response.Header("Accept-Ranges"), "bytes");
    EXPECT_EQ(response.Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(response.Header("Server"), kServerToken);
    EXPECT_EQ(response.Header("Date").size(), 29u);
    EXPECT_EQ(response.Header("Content-Range"), "");
    EXPECT_TRUE(response.body == image_);
    EXPECT_EQ(log_.connections, 1);
    EXPECT_EQ(log_.lastEvent, kDiscShareEventConnectionOpened);
    EXPECT_EQ(log_.lastArgument, 0u);
}

TEST_F(DiscShareTest, RangesAreClampedAndServedExactly) {
    const size_t S = kImageSize;
    struct Case {
        std::string range;
        size_t start;
        size_t end;
    } cases[] = {
        {"bytes=0-511", 0, 512},
        {"bytes=-512", S - 512, S},
        {"bytes=100-", 100, S},
        {"bytes=0-999999999999", 0, S},
        {"bytes=0-99,200-299", 0, 100},
        {"bytes=0-0", 0, 1},
        {"bytes=131071-393217", 131071, 393218},  // across two chunk boundaries
        {"bytes=1000-132071", 1000, 132072},      // first chunk starts inside a sector
        {"bytes=5-65539", 5, 65540},              // the smallest body sent as file spans
        {"bytes=5-65538", 5, 65539},              // the largest one sent from the buffer
        {"bytes=1048000-2097700", 1048000, 2097701},  // across a span boundary
        {"bytes=" + std::to_string(S - 1) + "-" + std::to_string(S - 1), S - 1, S},
        {"bytes=" + std::to_string(S - 2049) + "-", S - 2049, S},
    };
    // All on one connection: the reader opened by the first is reused.
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        Response response;
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: " + c.range + "\r\n"), &response));
        EXPECT_EQ(response.code, 206);
        EXPECT_EQ(response.Header("Content-Range"), "bytes " + std::to_string(c.start) + "-" +
                                                        std::to_string(c.end - 1) + "/" +
                                                        std::to_string(S));
        EXPECT_EQ(response.Header("Content-Length"), std::to_string(c.end - c.start));
        EXPECT_TRUE(response.body == Slice(c.start, c.end));
    }
    EXPECT_EQ(log_.connections, 1);
}

TEST_F(DiscShareTest, BadRangesGetTheirStatusAndTheConnectionKeepsServing) {
    const std::string S = std::to_string(kImageSize);
    struct Case {
        const char* what;
        std::string range;
        int fresh;   // on a connection without a reader
        int reused;  // after the reader is open
    } cases[] = {
        {"start at the end", "bytes=" + S + "-", 404, 400},
        {"start beyond the end", "bytes=" + S + "0-" + S + "9", 404, 400},
        {"malformed", "bytes=abc", 400, 400},
        {"reversed", "bytes=5-4", 400, 400},
        {"other unit", "items=0-1", 400, 400},
        {"suffix longer than the image", "bytes=-" + S + "0", 500, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SocketClient client;
        Response response;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: " + c.range + "\r\n"), &response));
        EXPECT_EQ(response.code, c.fresh);
        EXPECT_EQ(response.Header("Content-Length"), "0");
        EXPECT_EQ(response.Header("Server"), kServerToken);
        EXPECT_EQ(response.body, "");
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=16-31\r\n"), &response));
        EXPECT_EQ(response.body, Slice(16, 32));
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: " + c.range + "\r\n"), &response));
        EXPECT_EQ(response.code, c.reused);
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=-16\r\n"), &response));
        EXPECT_EQ(response.body, Slice(kImageSize - 16, kImageSize));
    }
}

TEST_F(DiscShareTest, HeadAnswersLikeGetWithoutBody) {
    for (const char* range : {"", "Range: bytes=0-511\r\n", "Range: bytes=-512\r\n"}) {
        SCOPED_TRACE(range);
        SocketClient client;
        Response get;
        Response head;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", range, "HEAD"), &head, true));
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", range), &get));
        head.headers.erase("date");
        get.headers.erase("date");
        EXPECT_EQ(head.code, get.code);
        EXPECT_EQ(head.headers, get.headers);
        // Nothing followed the head: the GET's response came next.
        EXPECT_EQ(client.Received(), "");
    }
}

TEST_F(DiscShareTest, ImageNamesAreCaseSensitiveAndDmgIsOptional) {
    ASSERT_EQ(DiscShareAddImage(nullptr, "CdRom1"), kStatusOK);
    struct Case {
        const char* target;
        int code;
        const std::string* bytes;
    } cases[] = {
        {"/CdRom0.dmg", 200, &image_},      {"/CdRom0", 200, &image_},
        {"CdRom0.DMG", 200, &image_},       {"/CdRom0.dmg?x=1#y", 200, &image_},
        {"/CdRom1.dmg", 200, &second_},     {"http://host/CdRom0.dmg", 200, &image_},
        {"/cdrom0.dmg", 404, nullptr},      {"/.dmg", 404, nullptr},
        {"/", 404, nullptr},                {"/CdRom0.dmg/", 404, nullptr},
        {"/CdRom2.dmg", 404, nullptr},
    };
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Response response;
        ASSERT_TRUE(client.Exchange(Get(c.target), &response));
        EXPECT_EQ(response.code, c.code);
        if (c.bytes != nullptr) EXPECT_TRUE(response.body == *c.bytes);
    }
}

TEST_F(DiscShareTest, OtherMethodsAreNotImplemented) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    for (const char* method : {"PUT", "DELETE", "OPTIONS", "get"}) {
        SCOPED_TRACE(method);
        std::string request = Get("/CdRom0.dmg", "Content-Length: 3\r\n", method) + "abc";
        ASSERT_TRUE(client.Exchange(request, &response));
        // Methods compare without regard to case: "get" is GET.
        EXPECT_EQ(response.code, strcmp(method, "get") == 0 ? 200 : 501);
    }
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(kImageSize));
    // An interleaved frame ("$", channel, 16-bit length, data) is read and
    // refused; frames never keep the connection.
    ASSERT_TRUE(client.Exchange(std::string("$\x01\x00\x04" "abcd", 8), &response));
    EXPECT_EQ(response.code, 501);
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(DiscShareTest, ReaderIsReusedAndReplacedOnlyOnceTheNewOneOpens) {
    ASSERT_EQ(DiscShareAddImage(nullptr, "CdRom1"), kStatusOK);
    ASSERT_EQ(DiscShareAddImage(nullptr, "CdRom9"), kStatusOK);  // no such drive
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    // Without its binding CdRom0 could not be opened again; the open
    // reader still serves it.
    ASSERT_EQ(DeviceUnbind(kDevice0), kStatusOK);
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=-16\r\n"), &response));
    EXPECT_EQ(response.code, 206);
    EXPECT_EQ(response.body, Slice(kImageSize - 16, kImageSize));
    // A failed open keeps the old reader.
    ASSERT_TRUE(client.Exchange(Get("/CdRom9.dmg"), &response));
    EXPECT_EQ(response.code, 404);
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=32-47\r\n"), &response));
    EXPECT_EQ(response.body, Slice(32, 48));
    // Another image replaces it; coming back needs an open, which fails now.
    ASSERT_TRUE(client.Exchange(Get("/CdRom1.dmg"), &response));
    EXPECT_TRUE(response.body == second_);
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg"), &response));
    EXPECT_EQ(response.code, 404);
    SocketClient other;
    ASSERT_TRUE(other.Connect(port_));
    ASSERT_TRUE(other.Exchange(Get("/CdRom0.dmg"), &response));
    EXPECT_EQ(response.code, 404);
}

TEST_F(DiscShareTest, ConnectionCloseEndsTheConnectionAfterTheResponse) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-1023\r\nConnection: close\r\n"),
                                &response));
    EXPECT_EQ(response.body, Slice(0, 1024));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(), "");
    // HTTP/1.0 without Connection: the same.
    SocketClient old;
    ASSERT_TRUE(old.Connect(port_));
    ASSERT_TRUE(old.Send("GET /CdRom0 HTTP/1.0\r\nRange: bytes=-10\r\n\r\n"));
    ASSERT_TRUE(old.ReadResponse(&response));
    EXPECT_EQ(response.body, Slice(kImageSize - 10, kImageSize));
    EXPECT_TRUE(old.WaitClosed());
}

TEST_F(DiscShareTest, PipelinedRequestsAreAnsweredInOrder) {
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_));
    std::string requests;
    std::vector<size_t> starts;
    for (size_t i = 0; i < 40; ++i) {
        size_t start = (i * 77777) % (kImageSize - 70000);
        starts.push_back(start);
        requests += Get(i % 2 ? "/CdRom0" : "/CdRom0.dmg",
                        "Range: bytes=" + std::to_string(start) + "-" +
                            std::to_string(start + 65535) + "\r\n");
    }
    ASSERT_TRUE(client.Send(requests));
    for (size_t start : starts) {
        Response response;
        ASSERT_TRUE(client.ReadResponse(&response));
        EXPECT_EQ(response.code, 206);
        EXPECT_TRUE(response.body == Slice(start, start + 65536)) << start;
    }
    EXPECT_EQ(log_.connections, 1);
}

TEST_F(DiscShareTest, HasConnectionsFollowsTheClients) {
    EXPECT_FALSE(DiscShareHasConnections());
    {
        SocketClient a;
        SocketClient b;
        ASSERT_TRUE(a.Connect(port_));
        ASSERT_TRUE(b.Connect(port_));
        Response response;
        ASSERT_TRUE(a.Exchange(Get("/CdRom0", "Range: bytes=0-0\r\n"), &response));
        ASSERT_TRUE(b.Exchange(Get("/CdRom0", "Range: bytes=0-0\r\n"), &response));
        EXPECT_TRUE(DiscShareHasConnections());
        EXPECT_EQ(log_.connections, 2);
    }
    double deadline = QxRunLoopNow() + kWait;
    while (DiscShareHasConnections() && QxRunLoopNow() < deadline) testsupport::RunFor(0.01);
    EXPECT_FALSE(DiscShareHasConnections());
}

TEST_F(DiscShareTest, StatusQueryAnswersWithTheFirstImage) {
    ASSERT_EQ(DiscShareAddImage("Second", "CdRom1"), kStatusOK);
    QxLObjectRef first = StatusReply("Status");
    QxLObjectRef again = StatusReply("sTaTuS");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(QxLDictionaryGetCount(first), 3);
    char* text = nullptr;
    ASSERT_EQ(QxLGet(first, &text, "%kO:utf8", kDiscShareKeyMessage), kStatusOK);
    EXPECT_STREQ(text, "Status");
    QxLFree(text);
    ASSERT_EQ(QxLGet(first, &text, "%kO:utf8", kDiscShareKeyURL), kStatusOK);
    EXPECT_STREQ(text, "/CdRom0.dmg");
    QxLFree(text);
    ASSERT_EQ(QxLGet(first, &text, "%kO:utf8", kDiscShareKeyUUID), kStatusOK);
    EXPECT_TRUE(IsLowerUUID(text)) << text;
    QxLFree(text);
    // The UUID belongs to the image, not to the reply.
    EXPECT_TRUE(QxLObjectEqual(first, again));
    EXPECT_TRUE(log_.messages.empty());
    QxLObjectRelease(first);
    QxLObjectRelease(again);

    DiscShareForgetImages();
    QxLObjectRef bare = StatusReply("STATUS");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(QxLDictionaryGetCount(bare), 1);
    QxLObjectRelease(bare);
}

TEST_F(DiscShareTest, EveryImageGetsItsOwnUUID) {
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        DiscShareForgetImages();
        ASSERT_EQ(DiscShareAddImage(nullptr, "CdRom0"), kStatusOK);
        QxLObjectRef reply = StatusReply("Status");
        char* text = nullptr;
        ASSERT_EQ(QxLGet(reply, &text, "%kO:utf8", kDiscShareKeyUUID), kStatusOK);
        EXPECT_TRUE(IsLowerUUID(text)) << text;
        // Random UUIDs: version 4, variant 10xx.
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(strchr("89ab", text[19]), nullptr) << text;
        for (const std::string& earlier : seen) EXPECT_NE(earlier, text);
        seen.push_back(text);
        QxLFree(text);
        QxLObjectRelease(reply);
    }
}

TEST_F(DiscShareTest, OtherPostsReachTheHookUnchanged) {
    QxLObjectRef progress = nullptr;
    ASSERT_EQ(QxLBuild(&progress, "{%kO=%s%ks=%i%ks=%s%ks=[%i%s]}", kDiscShareKeyMessage, "Progress",
                       "Percentage", 42, "Remaining", "about 5 minutes", "List", 7, "x"),
              kStatusOK);
    QxLObjectRef array = nullptr;
    ASSERT_EQ(QxLBuild(&array, "[%s%s]", "Status", "not a dictionary"), kStatusOK);
    QxLObjectRef number = nullptr;
    ASSERT_EQ(QxLBuild(&number, "{%kO=%i}", kDiscShareKeyMessage, 5), kStatusOK);
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_));
    for (QxLObjectRef message : {progress, array, number}) {
        Response response;
        ASSERT_TRUE(client.Exchange(Post(PropertyListText(message)), &response));
        EXPECT_EQ(response.code, 200);
        EXPECT_EQ(response.Header("Content-Length"), "0");
        EXPECT_EQ(response.body, "");
    }
    ASSERT_EQ(log_.messages.size(), 3u);
    EXPECT_TRUE(QxLObjectEqual(log_.messages[0], progress));
    EXPECT_TRUE(QxLObjectEqual(log_.messages[1], array));
    EXPECT_TRUE(QxLObjectEqual(log_.messages[2], number));
    QxLObjectRelease(progress);
    QxLObjectRelease(array);
    QxLObjectRelease(number);

    // Without a hook the client still gets its 200.
    DiscShareSetMessageHook(nullptr, nullptr);
    Response response;
    ASSERT_TRUE(client.Exchange(Post(PropertyListText(QXL_STR("hello"))), &response));
    EXPECT_EQ(response.code, 200);
    EXPECT_EQ(log_.messages.size(), 3u);
}

// The application's hook may forget the images or stop the whole service
// while the request that carried the message is still being handled.
QxStatus ForgettingHook(QxLObjectRef, void*) {
    DiscShareForgetImages();
    return kStatusOK;
}

QxStatus StoppingHook(QxLObjectRef, void*) {
    DiscShareStop();
    return kStatusOK;
}

TEST_F(DiscShareTest, MessageHookMayForgetImagesOrStopTheService) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    DiscShareSetMessageHook(ForgettingHook, nullptr);
    ASSERT_TRUE(client.Exchange(Post(PropertyListText(QXL_STR("eject"))), &response));
    EXPECT_EQ(response.code, 200);
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.code, 404);

    SocketClient other;
    ASSERT_TRUE(other.Connect(port_));
    ASSERT_TRUE(other.Exchange(Get("/CdRom0.dmg"), &response));
    DiscShareSetMessageHook(StoppingHook, nullptr);
    ASSERT_TRUE(client.Send(Post(PropertyListText(QXL_STR("quit")))));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(), "");
    EXPECT_TRUE(other.WaitClosed());
    EXPECT_EQ(DiscSharePort(), 0u);
}

TEST_F(DiscShareTest, BadPostsAreRefusedAndOversizedOnesClose) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    for (std::string body : {std::string("hello, not XML"), std::string(""),
                             std::string("<plist><dict><key>a</key></plist>"),
                             std::string("<?xml version=\"1.0\"?><html/>")}) {
        SCOPED_TRACE(body);
        ASSERT_TRUE(client.Exchange(Post(body), &response));
        EXPECT_EQ(response.code, 400);
    }
    EXPECT_TRUE(log_.messages.empty());
    // The largest body that fits is read whole.
    std::string padded = PropertyListText(QXL_STR("x"));
    padded.insert(padded.rfind("</plist>"), std::string(16384 - padded.size(), ' '));
    ASSERT_TRUE(client.Exchange(Post(padded), &response));
    EXPECT_EQ(response.code, 200);
    ASSERT_EQ(log_.messages.size(), 1u);
    // One byte more closes the connection without an answer.
    ASSERT_TRUE(client.Send(Post(padded + " ")));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Received(), "");
    SocketClient next;
    ASSERT_TRUE(next.Connect(port_));
    ASSERT_TRUE(next.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.body, Slice(0, 16));
}

TEST_F(DiscShareTest, ForgetImagesAnswers404UntilAnImageIsAddedAgain) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    DiscShareForgetImages();
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.code, 404);
    ASSERT_EQ(DiscShareAddImage(nullptr, "CdRom0"), kStatusOK);
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=16-31\r\n"), &response));
    EXPECT_EQ(response.code, 206);
    EXPECT_EQ(response.body, Slice(16, 32));
    EXPECT_EQ(log_.connections, 1);
}

TEST_F(DiscShareTest, ForgetImagesDuringABodyEndsItWithTheBytesIntact) {
    // A small receive buffer and no reading: the server stalls mid-body
    // with a chunk of the reader's buffer on its way.
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_, 4096, false));
    ASSERT_TRUE(client.Send(Get("/CdRom0.dmg")));
    ASSERT_TRUE(client.WaitBodyStarted());
    DiscShareForgetImages();
    ASSERT_TRUE(client.Listen());
    EXPECT_TRUE(client.WaitClosed());
    const std::string& received = client.Received();
    size_t headEnd = received.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string body = received.substr(headEnd + 4);
    EXPECT_GT(body.size(), 0u);
    EXPECT_LT(body.size(), kImageSize);
    EXPECT_TRUE(body == Slice(0, body.size()));
}

int gPlainReads = 0;

QxStatus CountedReadAt(ImageFile* image, uint64_t offset, uint32_t count, void* buffer,
                       uint32_t* bytesRead) {
    ++gPlainReads;
    return DiscImageReaderSystemOperations()->readImage(image, offset, count, buffer,
                                                        bytesRead);
}

TEST_F(DiscShareTest, LargeBodiesGoFromTheFileCacheSmallOnesThroughTheBuffer) {
    // Readers keep the table they were opened with until the service stops.
    static DiscImageOperations counted;
    counted = *DiscImageReaderSystemOperations();
    counted.readImage = CountedReadAt;
    const DiscImageOperations* previous = DiscImageReaderSetOperations(&counted);
    gPlainReads = 0;
    SocketClient client;
    ASSERT_TRUE(client.Connect(port_));
    Response response;
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=10-4105\r\n"), &response));
    EXPECT_TRUE(response.body == Slice(10, 4106));
    EXPECT_EQ(gPlainReads, 1);
    gPlainReads = 0;
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=10-\r\n"), &response));
    EXPECT_TRUE(response.body == Slice(10, kImageSize));
    // Where the system can send file bytes itself, the reader reads none:
    // they go out as a file span (however the connection sends that).
    if (QxPlatformNetCanSendFile()) {
        EXPECT_EQ(gPlainReads, 0);
    } else {
        EXPECT_EQ(gPlainReads, static_cast<int>((kImageSize + 131071) / 131072));
    }
    DiscImageReaderSetOperations(previous);
}

// The ways a large range can go out, each in turn: the service restarts
// with it, and with the fixture's disc.
class SendPaths {
public:
    explicit SendPaths(uint16_t* port) : port_(port) {}
    ~SendPaths() { Use(HTTPSpanSending::Auto); }
    bool Use(HTTPSpanSending sending) {
        DiscShareStop();
        DiscShareSetSpanSending(sending);
        if (DiscShareAddImage("Test Disc", "CdRom0") != kStatusOK) return false;
        if (DiscShareStart() != kStatusOK) return false;
        *port_ = static_cast<uint16_t>(DiscSharePort());
        return *port_ != 0;
    }
    static constexpr HTTPSpanSending kAll[] = {HTTPSpanSending::Auto, HTTPSpanSending::FileCache,
                                               HTTPSpanSending::Buffer};

private:
    uint16_t* port_;
};

TEST_F(DiscShareTest, EverySendPathServesLargeRangesExactlyToASlowReader) {
    // Lengths around the buffer's piece, starts off any boundary, and the
    // whole image; the client's small receive buffer makes the server stop
    // and resume within pieces.
    const size_t kPiece = kHTTPSpanCopyPiece;
    const std::pair<size_t, size_t> kRanges[] = {
        {0, kImageSize},          {1, 1 + kPiece},       {100, 100 + kPiece + 1},
        {4096, 4096 + 2 * kPiece + 2049}, {kImageSize - kPiece - 7, kImageSize}};
    SendPaths paths(&port_);
    for (HTTPSpanSending sending : SendPaths::kAll) {
        SCOPED_TRACE(static_cast<int>(sending));
        ASSERT_TRUE(paths.Use(sending));
        SocketClient client;
        ASSERT_TRUE(client.Connect(port_, 4096));
        for (const auto& [start, end] : kRanges) {
            Response response;
            std::string range = "Range: bytes=" + std::to_string(start) + "-" +
                                std::to_string(end - 1) + "\r\n";
            ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", range), &response)) << start;
            EXPECT_EQ(response.code, 206);
            EXPECT_TRUE(response.body == Slice(start, end)) << start << "-" << end;
        }
    }
}

TEST_F(DiscShareTest, ImageShrinkingMidBodyCutsTheBodyShort) {
    const std::string path = (std::filesystem::path(directory_) / "shrinking.img").string();
    const char kShrinking[] = "\\\\.\\CdRom2";
    SendPaths paths(&port_);
    for (HTTPSpanSending sending : {HTTPSpanSending::FileCache, HTTPSpanSending::Buffer}) {
        SCOPED_TRACE(static_cast<int>(sending));
        ASSERT_TRUE(paths.Use(sending));
        ASSERT_TRUE(WriteFile(path, image_));
        ASSERT_EQ(DeviceBindImage(kShrinking, path.c_str(), 2048), kStatusOK);
        ASSERT_EQ(DiscShareAddImage("Shrinking", "CdRom2"), kStatusOK);
        // A small receive buffer and no reading: the server stalls mid-body.
        SocketClient client;
        ASSERT_TRUE(client.Connect(port_, 4096, false));
        ASSERT_TRUE(client.Send(Get("/CdRom2.dmg")));
        ASSERT_TRUE(client.WaitBodyStarted());
        const size_t kLeft = 8192;
        std::filesystem::resize_file(path, kLeft);
        ASSERT_TRUE(client.Listen());
        EXPECT_TRUE(client.WaitClosed());
        EXPECT_FALSE(DiscShareHasConnections());
        const std::string& received = client.Received();
        size_t headEnd = received.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos);
        // Short of its Content-Length, so no client takes it for the image.
        // Bytes already queued from the file cache may show the cut (zeros),
        // as any send from a file changed under it may; those before it are
        // the image's.
        std::string body = received.substr(headEnd + 4);
        EXPECT_LT(body.size(), kImageSize);
        ASSERT_GE(body.size(), kLeft);
        EXPECT_TRUE(body.substr(0, kLeft) == Slice(0, kLeft));
        DiscShareRemoveImage("CdRom2");
        DeviceUnbind(kShrinking);

        // The service goes on: the other disc is served in full.
        SocketClient again;
        ASSERT_TRUE(again.Connect(port_));
        Response response;
        ASSERT_TRUE(again.Exchange(Get("/CdRom0.dmg", "Range: bytes=100-199\r\n"), &response));
        EXPECT_EQ(response.code, 206);
        EXPECT_TRUE(response.body == Slice(100, 200));
    }
}

TEST_F(DiscShareTest, FailedAddKeepsTheList) {
    int failures = 0;
    for (int64_t countdown = 1; countdown < 50; ++countdown) {
        QxLFailAllocationAfter(countdown);
        QxStatus status = DiscShareAddImage("Second", "CdRom1");
        bool triggered = QxLAllocationFailureTriggered();
        QxLFailAllocationAfter(0);
        if (!triggered) {
            ASSERT_EQ(status, kStatusOK);
            break;
        }
        ++failures;
        EXPECT_EQ(status, kStatusNoMemory);
        SocketClient client;
        Response response;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Exchange(Get("/CdRom1.dmg", "Range: bytes=0-15\r\n"), &response));
        EXPECT_EQ(response.code, 404);
        ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
        EXPECT_EQ(response.code, 206);
    }
    EXPECT_GT(failures, 0);
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom1.dmg"), &response));
    EXPECT_TRUE(response.body == second_);
}

// An answer whose head cannot be built must not leave the client waiting
// on a connection that will never answer: it is closed instead.
TEST_F(DiscShareTest, AnswersThatCannotBeBuiltCloseTheConnection) {
    ASSERT_EQ(DiscShareSetServerToken(std::string(8150, 's').c_str()), kStatusOK);
    const std::string requests[] = {Get("/CdRom0.dmg"), Get("/nothing.dmg"),
                                    Post(PropertyListText(QXL_STR("x")))};
    for (const std::string& request : requests) {
        SCOPED_TRACE(request);
        SocketClient client;
        ASSERT_TRUE(client.Connect(port_));
        ASSERT_TRUE(client.Send(request));
        EXPECT_TRUE(client.WaitClosed());
        EXPECT_EQ(client.Received(), "");
    }
    ASSERT_EQ(DiscShareSetServerToken(kServerToken), kStatusOK);
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.body, Slice(0, 16));
}

#if !defined(_WIN32)
TEST_F(DiscShareTest, NoDescriptorLeftForTheImageIsUnavailableNotNotFound) {
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Exchange(Get("/nothing.dmg"), &response));  // accepted, nothing opened
    ASSERT_EQ(response.code, 404);
    // Every descriptor that can be had is taken: the image cannot be opened.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    bool exchanged = client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response);
    DiscShareCounters counters{};
    DiscShareGetCounters(&counters);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(exchanged);
    EXPECT_EQ(response.code, 503);
    EXPECT_EQ(response.Header("Retry-After"), "2");
    EXPECT_EQ(counters.unavailable, 1u);
    // With descriptors back the same connection reads the image.
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.code, 206);
    EXPECT_EQ(response.body, Slice(0, 16));
}
#endif

TEST_F(DiscShareTest, StalledReadersGoAfterTheSendTimeoutAndTheCapRefusesTheRest) {
    DiscShareStop();
    DiscShareSetSendTimeout(0.5);
    DiscShareSetClientLimit(2);
    ASSERT_EQ(DiscShareAddImage("Test Disc", "CdRom0"), kStatusOK);
    ASSERT_EQ(DiscShareStart(), kStatusOK);
    DiscShareSetSendTimeout(0);
    DiscShareSetClientLimit(kDiscShareDefaultClientLimit);
    port_ = static_cast<uint16_t>(DiscSharePort());
    DiscShareCounters counters{};
    DiscShareGetCounters(&counters);
    // Each connection may hold its socket and its own descriptor of the image.
    EXPECT_GT(counters.connectionLimit, 0u);
    if (QxPlatformDescriptorLimit() != 0) {
        EXPECT_LE(counters.connectionLimit, QxPlatformDescriptorLimit() / 2);
    }

    // Two readers of the whole image that take nothing hold the address's
    // share: a third is refused, and counted.
    SocketClient stalled[2];
    for (SocketClient& reader : stalled) {
        ASSERT_TRUE(reader.Connect(port_, 4096, false));
        ASSERT_TRUE(reader.Send(Get("/CdRom0.dmg")));
        ASSERT_TRUE(reader.WaitBodyStarted());
    }
    SocketClient refused;
    Response response;
    ASSERT_TRUE(refused.Connect(port_));
    ASSERT_TRUE(refused.Exchange(Get("/CdRom0.dmg", "Range: bytes=0-15\r\n"), &response));
    EXPECT_EQ(response.code, 503);
    EXPECT_EQ(response.Header("Retry-After"), "2");
    DiscShareGetCounters(&counters);
    EXPECT_EQ(counters.refused, 1u);

    // The send time-out closes both (they never read), and the address
    // is served again.
    double deadline = QxRunLoopNow() + kWait;
    do {
        testsupport::RunFor(0.05);
        DiscShareGetCounters(&counters);
    } while (counters.connections > 0 && QxRunLoopNow() < deadline);
    ASSERT_EQ(counters.connections, 0u);
    SocketClient later;
    ASSERT_TRUE(later.Connect(port_));
    ASSERT_TRUE(later.Exchange(Get("/CdRom0.dmg", "Range: bytes=16-31\r\n"), &response));
    EXPECT_EQ(response.code, 206);
    EXPECT_EQ(response.body, Slice(16, 32));
}

TEST_F(DiscShareTest, StartStopAndTheDefaultServerToken) {
    // A second start is refused, and like every failed start it stops the
    // service, image list included.
    EXPECT_EQ(DiscShareStart(), kStatusAlreadyInitialized);
    EXPECT_EQ(DiscSharePort(), 0u);
    EXPECT_FALSE(DiscShareHasConnections());
    EXPECT_EQ(DiscShareStop(), kStatusOK);
    EXPECT_EQ(DiscShareStop(), kStatusOK);

    ASSERT_EQ(DiscShareStart(), kStatusOK);
    SocketClient client;
    Response response;
    ASSERT_TRUE(client.Connect(static_cast<uint16_t>(DiscSharePort())));
    ASSERT_TRUE(client.Exchange(Get("/CdRom0.dmg"), &response));
    EXPECT_EQ(response.code, 404);  // the stop released the list
    EXPECT_EQ(response.Header("Server"), kDiscShareDefaultServerToken);
    // Stopping with a client connected closes it.
    DiscShareStop();
    EXPECT_TRUE(client.WaitClosed());
}

// ---- Real clients ---------------------------------------------------------------------
//
// curl, python3 and qemu are Linux programs, run as children while the loop
// is pumped (through /bin/sh under wine; see support/TestSupport.h).

class DiscShareClientTest : public DiscShareTest {
protected:
    ChildResult Run(const std::vector<std::string>& arguments, double seconds = kWait) {
        return testsupport::RunChildProgram(ChildFolder{directory_, childDirectory_}, arguments,
                                            seconds);
    }

    std::string URL(const std::string& path = "/CdRom0.dmg") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // curl with its arguments; the body goes to `body`, the head to `head`.
    ChildResult Curl(std::vector<std::string> arguments) {
        std::vector<std::string> command = {"/usr/bin/curl", "-s", "-S", "--max-time", "15"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return Run(command);
    }

    // A GET (or HEAD with -I) of the image, returning the parsed response.
    Response CurlResponse(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"-D", ChildPath("curl.head"), "-o", ChildPath("curl.body")});
        ChildResult result = Curl(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        Response response;
        EXPECT_TRUE(ParseHead(ReadFile(HostPath("curl.head")), &response));
        response.body = ReadFile(HostPath("curl.body"));
        std::filesystem::remove(HostPath("curl.body"));
        return response;
    }

    // Runs a python3 program with Debian's interpreter; its stdout.
    ChildResult Python(const std::string& program, const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> command = {"/usr/bin/python3", "-c", program};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return Run(command);
    }

    void SetUp() override {
        if (!HaveProgram("/usr/bin/curl")) GTEST_SKIP() << "curl is not installed";
        DiscShareTest::SetUp();
    }
};

TEST_F(DiscShareClientTest, CurlReadsTheWholeImageAndEveryRange) {
    Response whole = CurlResponse({URL()});
    EXPECT_EQ(whole.code, 200);
    EXPECT_TRUE(whole.body == image_);
    EXPECT_EQ(whole.Header("Content-Length"), std::to_string(kImageSize));

    const size_t S = kImageSize;
    struct Case {
        const char* range;
        size_t start;
        size_t end;
    } cases[] = {
        {"bytes=0-511", 0, 512},           {"bytes=-512", S - 512, S},
        {"bytes=100-", 100, S},            {"bytes=0-999999999999", 0, S},
        {"bytes=0-99,200-299", 0, 100},    {"bytes=262143-524289", 262143, 524290},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        Response response = CurlResponse({"-H", std::string("Range: ") + c.range, URL()});
        EXPECT_EQ(response.code, 206);
        EXPECT_EQ(response.Header("Content-Range"), "bytes " + std::to_string(c.start) + "-" +
                                                        std::to_string(c.end - 1) + "/" +
                                                        std::to_string(S));
        EXPECT_TRUE(response.body == Slice(c.start, c.end));
    }
    // curl's own range option sends the same header.
    Response option = CurlResponse({"-r", "1000-1999", URL()});
    EXPECT_TRUE(option.body == Slice(1000, 2000));
}

TEST_F(DiscShareClientTest, CurlSeesStatusesForBadRangesNamesAndMethods) {
    const std::string S = std::to_string(kImageSize);
    auto code = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-o", "/dev/null", "-w", "%{http_code}"});
        ChildResult result = Curl(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    };
    // A fresh connection opens its reader with the range, which refuses it.
    EXPECT_EQ(code({"-H", "Range: bytes=" + S + "-", URL()}), "404");
    // With the reader already open on the connection: 400.
    EXPECT_EQ(code({"-r", "0-0", URL(), "--next", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                    "-H", "Range: bytes=" + S + "-", URL()}),
              "206400");
    EXPECT_EQ(code({"-H", "Range: bytes=x", URL()}), "400");
    EXPECT_EQ(code({URL("/CdRom0")}), "200");
    EXPECT_EQ(code({"--request-target", "CdRom0.DMG", URL("/")}), "200");
    EXPECT_EQ(code({URL("/cdrom0.dmg")}), "404");
    EXPECT_EQ(code({URL("/.dmg")}), "404");
    EXPECT_EQ(code({"-X", "PUT", "--data-binary", "abc", URL()}), "501");
}

TEST_F(DiscShareClientTest, CurlHeadMatchesGet) {
    for (std::vector<std::string> range :
         {std::vector<std::string>{}, std::vector<std::string>{"-r", "0-511"}}) {
        std::vector<std::string> headArguments = range;
        headArguments.push_back("-I");
        headArguments.push_back(URL());
        Response head = CurlResponse(headArguments);
        range.push_back(URL());
        Response get = CurlResponse(range);
        EXPECT_EQ(head.code, range.size() > 1 ? 206 : 200);
        head.headers.erase("date");
        get.headers.erase("date");
        EXPECT_EQ(head.headers, get.headers);
    }
}

TEST_F(DiscShareClientTest, CurlReusesOneConnectionForManyRanges) {
    std::vector<std::string> arguments;
    const int kRanges = 24;
    for (int i = 0; i < kRanges; ++i) {
        size_t start = static_cast<size_t>(i) * 130001 % (kImageSize - 5000);
        if (i > 0) arguments.push_back("--next");
        arguments.insert(arguments.end(),
                         {"-s", "-r", std::to_string(start) + "-" + std::to_string(start + 4999),
                          "-o", ChildPath("range" + std::to_string(i)), "-w",
                          "%{num_connects} %{http_code}\\n", URL()});
    }
    ChildResult result = Curl(arguments);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::string expected = "1 206\n";
    for (int i = 1; i < kRanges; ++i) expected += "0 206\n";
    EXPECT_EQ(result.out, expected);
    for (int i = 0; i < kRanges; ++i) {
        size_t start = static_cast<size_t>(i) * 130001 % (kImageSize - 5000);
        std::string path = HostPath("range" + std::to_string(i));
        EXPECT_TRUE(ReadFile(path) == Slice(start, start + 5000)) << i;
        std::filesystem::remove(path);
    }
    EXPECT_EQ(log_.connections, 1);

    // Connection: close makes curl connect for every transfer.
    result = Curl({"-H", "Connection: close", "-r", "0-99", "-w", "%{num_connects} ", "-o",
                   "/dev/null", "-o", "/dev/null", "-o", "/dev/null", URL(), URL(), URL()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "1 1 1 ");
}

TEST_F(DiscShareClientTest, PlistlibReadsTheStatusReplyAndWritesHookMessages) {
    if (!HaveProgram("/usr/bin/python3")) GTEST_SKIP() << "python3 is not installed";
    const char* kWriter =
        "import plistlib, sys\n"
        "sys.stdout.buffer.write(plistlib.dumps(eval(sys.argv[1])))\n";
    const char* kReader =
        "import plistlib, sys\n"
        "d = plistlib.load(open(sys.argv[1], 'rb'))\n"
        "print(' '.join('%s=%s' % (k, d[k]) for k in sorted(d)))\n";
    const std::string request = ChildPath("request.plist");
    const std::string reply = ChildPath("reply.plist");

    ChildResult written = Python(kWriter, {"{'Message': 'sTatus'}"});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    ASSERT_TRUE(WriteFile(HostPath("request.plist"), written.out));
    ChildResult posted = Curl({"-H", "Content-Type: text/xml", "-H", "Expect:", "--data-binary",
                               "@" + request, "-o", reply, "-w", "%{http_code}", URL("/")});
    ASSERT_EQ(posted.exitCode, 0) << posted.err;
    EXPECT_EQ(posted.out, "200");
    ChildResult read = Python(kReader, {reply});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    // "Message=Status URL=/CdRom0.dmg UUID=<36 characters>\n"
    const std::string prefix = "Message=Status URL=/CdRom0.dmg UUID=";
    ASSERT_EQ(read.out.compare(0, prefix.size(), prefix), 0) << read.out;
    EXPECT_TRUE(IsLowerUUID(read.out.substr(prefix.size(), 36))) << read.out;
    EXPECT_EQ(read.out.size(), prefix.size() + 37);
    EXPECT_TRUE(log_.messages.empty());

    // Another message, written by plistlib, reaches the hook unchanged.
    written = Python(kWriter, {"{'Message': 'Progress', 'Percentage': 42, 'Remaining': "
                               "'about 5 minutes', 'Flags': [True, False], 'Blob': b'\\x00\\x01', "
                               "'Nested': {'a': ['x', -7]}}"});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    ASSERT_TRUE(WriteFile(HostPath("request.plist"), written.out));
    posted = Curl({"-H", "Content-Type: text/xml", "--data-binary", "@" + request, "-o", reply, "-w",
                   "%{http_code} %{size_download}", URL("/")});
    EXPECT_EQ(posted.out, "200 0");
    ASSERT_EQ(log_.messages.size(), 1u);
    QxLObjectRef expected = nullptr;
    const uint8_t blob[] = {0, 1};
    ASSERT_EQ(QxLBuild(&expected, "{%kO=%s%ks=%i%ks=%s%ks=[%b%b]%ks=%D%ks={%ks=[%s%i]}}",
                       kDiscShareKeyMessage, "Progress", "Percentage", 42, "Remaining",
                       "about 5 minutes", "Flags", 1, 0, "Blob", blob, 2, "Nested", "a", "x", -7),
              kStatusOK);
    EXPECT_TRUE(QxLObjectEqual(log_.messages[0], expected));
    QxLObjectRelease(expected);

    // Not XML: 400; a body over 16384 bytes: the connection is closed.
    posted = Curl({"--data-binary", "not a property list", "-o", "/dev/null", "-w", "%{http_code}",
                   URL("/")});
    EXPECT_EQ(posted.out, "400");
    ASSERT_TRUE(WriteFile(HostPath("request.plist"), std::string(20000, 'x')));
    posted = Curl({"-H", "Expect:", "--data-binary", "@" + request, "-o", "/dev/null", "-w",
                   "%{http_code}", URL("/")});
    EXPECT_NE(posted.exitCode, 0);
    EXPECT_EQ(posted.out, "000");
    EXPECT_EQ(log_.messages.size(), 1u);
}

class DiscShareQemuTest : public DiscShareClientTest {
protected:
    void SetUp() override {
        if (!HaveProgram("/usr/bin/qemu-io")) GTEST_SKIP() << "qemu-io is not installed";
        DiscShareClientTest::SetUp();
    }

    std::string Source() const {
        return "json:{\"driver\":\"http\",\"url\":\"" + URL() + "\"}";
    }
};

// qemu-io's "read -v" dump: "00000000:  30 30 ...  ascii" per 16 bytes.
std::string ParseHexDump(const std::string& text) {
    std::string bytes;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(position, end - position);
        position = end + 1;
        size_t colon = line.find(": ");
        if (colon != 8) continue;
        for (size_t i = colon + 2, n = 0; n < 16 && i + 1 < line.size(); ++n, i += 3) {
            while (i < line.size() && line[i] == ' ') ++i;
            if (i + 1 >= line.size() || !isxdigit(static_cast<unsigned char>(line[i])) ||
                !isxdigit(static_cast<unsigned char>(line[i + 1]))) {
                break;
            }
            bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
    }
    return bytes;
}

TEST_F(DiscShareQemuTest, QemuReadsTheServedImage) {
    struct Case {
        size_t offset;
        size_t length;
    } cases[] = {{0, 512}, {1000, 4096}, {kImageSize - 4096, 4096}, {262144 - 512, 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        ChildResult result =
            Run({"/usr/bin/qemu-io", "-r", "-c",
                 "read -v " + std::to_string(c.offset) + " " + std::to_string(c.length), Source()});
        ASSERT_EQ(result.exitCode, 0) << result.err << result.out;
        EXPECT_TRUE(ParseHexDump(result.out) == Slice(c.offset, c.offset + c.length))
            << result.out.substr(0, 400);
    }
    // The whole image as a block device, converted to a file. One request
    // at a time (-m 1): with several in flight, qemu's http driver was seen
    // under load to stop polling its sockets once every byte had arrived
    // (our side idle and done), and to wait forever.
    if (HaveProgram("/usr/bin/qemu-img")) {
        ChildResult result =
            Run({"/usr/bin/qemu-img", "convert", "-m", "1", "-O", "raw", Source(),
                 ChildPath("copy.img")},
                60);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(ReadFile(HostPath("copy.img")) == image_);
        std::filesystem::remove(HostPath("copy.img"));
    }
}

}  // namespace
