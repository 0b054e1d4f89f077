// Socket objects on the run loop over real loopback TCP and UDP sockets:
// which callbacks come, how often and with which types.
#include <string>
#include <vector>

#include "QxLMemory.h"
#include "QxRunLoopTestSupport.h"

using namespace testsupport;

namespace {

struct SocketLog {
    QxSocketHandle handle = kQxInvalidSocket;
    std::vector<uint32_t> types;
    int reads = 0;
    int writes = 0;
    int readUntilStop = 0;   // stop once this many read callbacks came
    bool stop = false;
    bool receive = true;     // receive on read callbacks
    bool invalidateAtEnd = false;  // invalidate when the peer has closed
    bool invalidateOnRead = false;
    int endOfStream = 0;
    std::string received;
    QxSocketRef disableOther = nullptr;  // its read callbacks are disabled
    QxSocketRef self = nullptr;
};

void LogSocket(QxSocketRef socket, uint32_t types, const void* address, const void* data,
               void* info) {
    auto* log = static_cast<SocketLog*>(info);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(data, nullptr);
    log->self = socket;
    log->types.push_back(types);
    if (types & kQxSocketWriteCallback) ++log->writes;
    if (types & kQxSocketReadCallback) {
        ++log->reads;
        if (log->disableOther != nullptr) {
            QxSocketDisableCallbacks(log->disableOther, kQxSocketReadCallback);
        }
        if (log->receive) {
            char buffer[2048];
            int count = Receive(log->handle, buffer, sizeof buffer);
            if (count > 0) log->received.append(buffer, static_cast<size_t>(count));
            if (count == 0) {
                ++log->endOfStream;
                if (log->invalidateAtEnd) QxSocketInvalidate(socket);
            }
        }
        if (log->reads == log->readUntilStop) log->stop = true;
        if (log->invalidateOnRead) QxSocketInvalidate(socket);
    }
}

// QxSocketCreate + source + schedule, the way the servers do it.
QxSocketRef Schedule(QxSocketHandle handle, uint32_t types, SocketLog* log) {
    log->handle = handle;
    QxSocketContext context{0, log, nullptr, nullptr, nullptr};
    QxSocketRef socket = QxSocketCreate(handle, types, LogSocket, &context);
    if (socket == nullptr) return nullptr;
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    return socket;
}

void Release(QxSocketRef socket) {
    QxSocketInvalidate(socket);
    QxLObjectRelease(socket);
}

}  // namespace

using RunLoopSocket = RunLoopTest;

TEST_F(RunLoopSocket, EachDatagramGetsOneReadCallback) {
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;
    QxSocketHandle server = UdpSocket(&serverPort);
    QxSocketHandle client = UdpSocket(&clientPort);
    ASSERT_NE(server, kQxInvalidSocket);
    SocketLog log;
    log.readUntilStop = 3;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    ASSERT_NE(socket, nullptr);
    for (const char* text : {"one", "two", "three"}) SendTo(client, serverPort, text, 3);
    ASSERT_TRUE(RunFor(5, &log.stop));
    RunFor(0.1);
    EXPECT_EQ(log.reads, 3);
    EXPECT_EQ(log.received, "onetwothr");
    EXPECT_EQ(log.types, (std::vector<uint32_t>{1, 1, 1}));
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, WouldBlockHasOneValueEverywhere) {
    uint16_t port = 0;
    QxSocketHandle handle = UdpSocket(&port);
    char buffer[16];
    EXPECT_EQ(Receive(handle, buffer, sizeof buffer), -1);
    EXPECT_EQ(QxPlatformSocketLastError(), kQxErrorWouldBlock);
    EXPECT_EQ(kQxErrorWouldBlock, 10035);
    QxPlatformSocketClose(handle);
}

TEST_F(RunLoopSocket, WriteCallbackComesOncePerEnabling) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketWriteCallback, &log);
    RunFor(0.2);
    EXPECT_EQ(log.writes, 1);
    // A writable socket whose write callback was used up leaves the loop idle.
    uint64_t before = QxRunLoopPumpWakeCount();
    RunFor(0.3);
    EXPECT_EQ(log.writes, 1);
    EXPECT_LE(QxRunLoopPumpWakeCount() - before, 3u);

    QxSocketEnableCallbacks(socket, kQxSocketWriteCallback);
    RunFor(0.2);
    EXPECT_EQ(log.writes, 2);
    EXPECT_EQ(log.types, (std::vector<uint32_t>{8, 8}));
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, WriteAfterWouldBlockComesWhenThePeerDrains) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    long filled = FillSendBuffer(server);
    ASSERT_GT(filled, 0);
    EXPECT_EQ(QxPlatformSocketLastError(), kQxErrorWouldBlock);
    QxSocketEnableCallbacks(socket, kQxSocketWriteCallback);
    RunFor(0.2);
    EXPECT_EQ(log.writes, 0);  // nothing drained yet
    char buffer[65536];
    long drained = 0;
    double deadline = QxRunLoopNow() + 10;
    while (log.writes == 0 && QxRunLoopNow() < deadline) {
        int count = Receive(client, buffer, sizeof buffer);
        if (count > 0) drained += count;
        RunFor(0.005);
    }
    EXPECT_EQ(log.writes, 1);
    EXPECT_GT(drained, 0);
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, ReadAndWriteComeAsSeparateCallbacks) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    ASSERT_EQ(Send(client, "ping", 4), 4);
    SocketLog log;
    log.readUntilStop = 1;
    QxSocketRef socket =
        Schedule(server, kQxSocketReadCallback | kQxSocketWriteCallback, &log);
    ASSERT_TRUE(RunFor(5, &log.stop));
    RunFor(0.2);
    EXPECT_EQ(log.received, "ping");
    EXPECT_EQ(log.writes, 1);
    for (uint32_t types : log.types) EXPECT_TRUE(types == 1 || types == 8) << types;
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, ReadIsIgnoredWhileOnlyWriteIsEnabled) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketWriteCallback, &log);
    ASSERT_EQ(Send(client, "unread", 6), 6);
    RunFor(0.3);
    EXPECT_EQ(log.types, (std::vector<uint32_t>{8}));
    // Enabling read now delivers the data that waited.
    log.readUntilStop = 1;
    QxSocketEnableCallbacks(socket, kQxSocketReadCallback);
    EXPECT_TRUE(RunFor(5, &log.stop));
    EXPECT_EQ(log.received, "unread");
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, NotificationQueuedBeforeDisablingIsDropped) {
    // Both sockets are readable before the loop runs; whichever callback
    // comes first disables the other, whose notification must then vanish.
    uint16_t portA = 0;
    uint16_t portB = 0;
    uint16_t clientPort = 0;
    QxSocketHandle a = UdpSocket(&portA);
    QxSocketHandle b = UdpSocket(&portB);
    QxSocketHandle client = UdpSocket(&clientPort);
    SocketLog logA;
    SocketLog logB;
    QxSocketRef socketA = Schedule(a, kQxSocketReadCallback, &logA);
    QxSocketRef socketB = Schedule(b, kQxSocketReadCallback, &logB);
    logA.disableOther = socketB;
    logB.disableOther = socketA;
    SendTo(client, portA, "a", 1);
    SendTo(client, portB, "b", 1);
    RunFor(0.3);
    EXPECT_EQ(logA.reads + logB.reads, 1);
    Release(socketA);
    Release(socketB);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, AddingTheSourceTwiceSchedulesOnce) {
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;
    QxSocketHandle server = UdpSocket(&serverPort);
    QxSocketHandle client = UdpSocket(&clientPort);
    SocketLog log;
    log.readUntilStop = 1;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    EXPECT_EQ(QxLObjectRetainCount(source), 3);  // socket, run loop, us
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    EXPECT_EQ(QxLObjectRetainCount(source), 3);
    SendTo(client, serverPort, "x", 1);
    ASSERT_TRUE(RunFor(5, &log.stop));
    RunFor(0.1);
    EXPECT_EQ(log.reads, 1);
    QxLObjectRelease(source);
    Release(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, ReleasingTheLastReferenceClosesAScheduledSocket) {
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;
    QxSocketHandle server = UdpSocket(&serverPort);
    QxSocketHandle client = UdpSocket(&clientPort);
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    ASSERT_TRUE(IsOpenSocket(server));
    QxLObjectRelease(socket);
    EXPECT_FALSE(IsOpenSocket(server));
    SendTo(client, serverPort, "late", 4);
    RunFor(0.1);
    EXPECT_EQ(log.reads, 0);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, InvalidatedSocketIsClosedAndSilent) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    QxSocketInvalidate(socket);
    QxSocketInvalidate(socket);
    EXPECT_FALSE(IsOpenSocket(server));
    // Enabling callbacks on a closed socket does nothing either.
    QxSocketEnableCallbacks(socket, kQxSocketWriteCallback);
    Send(client, "x", 1);
    RunFor(0.2);
    EXPECT_TRUE(log.types.empty());
    // The peer sees the connection end.
    char buffer[4];
    int count = -1;
    double deadline = QxRunLoopNow() + 5;
    while ((count = Receive(client, buffer, sizeof buffer)) < 0 && QxRunLoopNow() < deadline) {
        RunFor(0.01);
    }
    EXPECT_LE(count, 0);  // end of stream or reset
    QxLObjectRelease(socket);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, AcceptAndConnectCompletionAreReadCallbacks) {
    // The listener is scheduled before it listens, the client before it
    // connects: notifications follow the state the socket reaches.
    uint16_t port = 0;
    QxSocketHandle listener = BoundSocket(SOCK_STREAM, &port);
    SocketLog listenLog;
    listenLog.receive = false;
    QxSocketRef listening = Schedule(listener, kQxSocketReadCallback, &listenLog);
    ASSERT_EQ(listen(listener, 8), 0);
    QxSocketHandle client = NewStreamSocket();
    SocketLog connectLog;
    connectLog.receive = false;
    connectLog.readUntilStop = 1;
    QxSocketRef connecting = Schedule(client, kQxSocketReadCallback, &connectLog);
    QxStatus status = StartConnect(client, port);
    EXPECT_TRUE(status == kStatusOK || status == kQxErrorWouldBlock) << status;
    ASSERT_TRUE(RunFor(5, &connectLog.stop));
    EXPECT_EQ(connectLog.types.at(0), 1u);
    QxSocketHandle accepted = kQxInvalidSocket;
    double deadline = QxRunLoopNow() + 5;
    while (listenLog.reads == 0 && QxRunLoopNow() < deadline) RunFor(0.05);
    ASSERT_GE(listenLog.reads, 1);
    EXPECT_EQ(listenLog.types.at(0), 1u);
    accepted = accept(listener, nullptr, nullptr);
    EXPECT_NE(accepted, kQxInvalidSocket);
    QxPlatformSocketClose(accepted);
    Release(listening);
    Release(connecting);
}

TEST_F(RunLoopSocket, RefusedConnectIsOneReadCallback) {
    uint16_t port = 0;
    QxPlatformSocketClose(TcpListener(&port));  // nobody listens there now
    QxSocketHandle client = NewStreamSocket();
    SocketLog log;
    log.receive = false;
    log.invalidateOnRead = true;
    log.readUntilStop = 1;
    QxSocketRef socket = Schedule(client, kQxSocketReadCallback, &log);
    StartConnect(client, port);
    // Windows itself retries a refused loopback connect for a while.
    ASSERT_TRUE(RunFor(10, &log.stop));
    RunFor(0.2);
    EXPECT_EQ(log.types, (std::vector<uint32_t>{1}));
    QxLObjectRelease(socket);
}

TEST_F(RunLoopSocket, PeerCloseIsAReadCallback) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    log.invalidateAtEnd = true;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    Send(client, "bye", 3);
    QxPlatformSocketClose(client);
    double deadline = QxRunLoopNow() + 5;
    while (log.endOfStream == 0 && QxRunLoopNow() < deadline) RunFor(0.05);
    EXPECT_EQ(log.received, "bye");
    EXPECT_EQ(log.endOfStream, 1);
    EXPECT_FALSE(IsOpenSocket(server));
    int reads = log.reads;
    RunFor(0.1);
    EXPECT_EQ(log.reads, reads);
    QxLObjectRelease(socket);
}

TEST_F(RunLoopSocket, HungUpSocketWithNothingEnabledLeavesTheLoopIdle) {
    QxSocketHandle client;
    QxSocketHandle server;
    ASSERT_TRUE(TcpPair(&client, &server));
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketWriteCallback, &log);
    RunFor(0.1);
    EXPECT_EQ(log.writes, 1);
    QxPlatformSocketClose(client);
    uint64_t before = QxRunLoopPumpWakeCount();
    RunFor(0.3);
    EXPECT_LE(QxRunLoopPumpWakeCount() - before, 3u);
    EXPECT_EQ(log.types, (std::vector<uint32_t>{8}));
    Release(socket);
}

TEST_F(RunLoopSocket, ShutdownWithScheduledSocketsLeaksNothing) {
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;
    QxSocketHandle server = UdpSocket(&serverPort);
    QxSocketHandle client = UdpSocket(&clientPort);
    SocketLog log;
    QxSocketRef socket = Schedule(server, kQxSocketReadCallback, &log);
    QxRunLoopShutdown();
    EXPECT_TRUE(IsOpenSocket(server));  // the socket object still owns it
    SendTo(client, serverPort, "x", 1);
    QxLObjectRelease(socket);
    EXPECT_FALSE(IsOpenSocket(server));
    EXPECT_EQ(log.reads, 0);
    QxPlatformSocketClose(client);
}

TEST_F(RunLoopSocket, CreationFailsCleanlyWhenMemoryIsShort) {
    uint16_t port = 0;
    QxSocketHandle handle = UdpSocket(&port);
    SocketLog log;
    QxSocketContext context{0, &log, nullptr, nullptr, nullptr};
    QxLFailAllocationAfter(1);
    QxSocketRef socket = QxSocketCreate(handle, kQxSocketReadCallback, LogSocket, &context);
    QxLFailAllocationAfter(0);
    EXPECT_EQ(socket, nullptr);
    socket = QxSocketCreate(handle, kQxSocketReadCallback, LogSocket, &context);
    ASSERT_NE(socket, nullptr);
    QxLFailAllocationAfter(1);
    EXPECT_EQ(QxSocketCreateRunLoopSource(socket), nullptr);
    QxLFailAllocationAfter(0);
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    EXPECT_NE(source, nullptr);
    QxLObjectRelease(source);
    QxLObjectRelease(socket);  // closes the handle
    EXPECT_FALSE(IsOpenSocket(handle));
}

namespace {

// Both ends of an echo: the server returns each datagram, the client sends
// the next one when the previous came back.
struct Echo {
    QxSocketHandle server = kQxInvalidSocket;
    QxSocketHandle client = kQxInvalidSocket;
    uint16_t serverPort = 0;
    int sent = 0;
    int received = 0;
    int total = 0;
    bool inOrder = true;
    bool stop = false;
};

void EchoServer(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* echo = static_cast<Echo*>(info);
    char buffer[64];
    uint16_t from = 0;
    int count = ReceiveFrom(echo->server, buffer, sizeof buffer, &from);
    if (count > 0) SendTo(echo->server, from, buffer, count);
}

void EchoClient(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* echo = static_cast<Echo*>(info);
    int value = -1;
    if (Receive(echo->client, &value, sizeof value) != sizeof value) return;
    if (value != echo->received) echo->inOrder = false;
    if (++echo->received == echo->total) {
        echo->stop = true;
        return;
    }
    value = echo->sent++;
    SendTo(echo->client, echo->serverPort, &value, sizeof value);
}

}  // namespace

TEST_F(RunLoopSocket, DatagramEchoThroughTheLoop) {
    Echo echo;
    echo.total = 300;
    uint16_t clientPort = 0;
    echo.server = UdpSocket(&echo.serverPort);
    echo.client = UdpSocket(&clientPort);
    QxSocketContext context{0, &echo, nullptr, nullptr, nullptr};
    QxSocketRef server = QxSocketCreate(echo.server, kQxSocketReadCallback, EchoServer, &context);
    QxSocketRef client = QxSocketCreate(echo.client, kQxSocketReadCallback, EchoClient, &context);
    for (QxSocketRef socket : {server, client}) {
        QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
        QxRunLoopAddSource(QxRunLoopGetMain(), source);
        QxLObjectRelease(source);
    }
    int first = echo.sent++;
    SendTo(echo.client, echo.serverPort, &first, sizeof first);
    ASSERT_TRUE(RunFor(30, &echo.stop));
    EXPECT_EQ(echo.received, 300);
    EXPECT_TRUE(echo.inOrder);
    Release(server);
    Release(client);
}
