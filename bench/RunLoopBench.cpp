// What the run loop costs per event on the Linux backend: one timer firing,
// one socket readiness dispatch, and a loopback UDP echo of 100,000
// datagrams with both ends on the loop (the servers' pattern).
//
// The firing and dispatch figures are CPU work per event, measured with the
// events already due; waiting for them (10 ms at least for a timer) is not
// counted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <vector>

#include "QxLObject.h"
#include "QxPlatformRunLoop.h"
#include "QxRunLoop.h"

namespace {

// A fresh run loop per benchmark run, torn down like the application does.
struct LoopScope {
    LoopScope() {
        QxPlatformSocketStartup();
        QxRunLoopInitialize();
    }
    ~LoopScope() {
        QxRunLoopShutdown();
        QxLResetTypeRegistry();
    }
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int UdpSocket(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    QxPlatformSocketSetNonBlocking(fd);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

void SendTo(int fd, uint16_t port, const void* bytes, size_t length) {
    sockaddr_in address = Loopback(port);
    sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

QxSocketRef ScheduleSocket(int fd, QxSocketCallback callback, void* info) {
    QxSocketContext context{0, info, nullptr, nullptr, nullptr};
    QxSocketRef socket = QxSocketCreate(fd, kQxSocketReadCallback, callback, &context);
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    return socket;
}

void CountTimer(QxRunLoopTimerRef, void* info) { ++*static_cast<int64_t*>(info); }

// One-shot timers, 100 due together: each firing kills its system timer,
// calls back and looks the timer up again.
void BM_TimerFiring(benchmark::State& state) {
    LoopScope scope;
    constexpr int kTimers = 100;
    int64_t fired = 0;
    QxRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
    std::vector<QxRunLoopTimerRef> timers(kTimers);
    pollfd pump{QxRunLoopPumpFileDescriptor(), POLLIN, 0};
    for (auto _ : state) {
        state.PauseTiming();
        double due = QxRunLoopNow();
        for (auto& timer : timers) {
            timer = QxRunLoopTimerCreate(due, 0, &context, CountTimer);
            QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
        }
        QxRunLoopPumpDispatchReady();  // arms the timerfd
        poll(&pump, 1, 1000);
        usleep(2000);  // the last of them too
        state.ResumeTiming();
        QxRunLoopPumpDispatchReady();
        state.PauseTiming();
        for (auto timer : timers) {
            QxRunLoopTimerInvalidate(timer);
            QxLObjectRelease(timer);
        }
        state.ResumeTiming();
    }
    if (fired != static_cast<int64_t>(state.iterations()) * kTimers) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(fired);
}
// Each pass waits 10 ms for its timers; a fixed count keeps the run short.
BENCHMARK(BM_TimerFiring)->Iterations(200);

// A periodic timer, the keep-awake timer's kind: one firing per 10 ms.
// Wall time per firing shows how close to the period it comes.
void BM_PeriodicTimer10ms(benchmark::State& state) {
    LoopScope scope;
    int64_t fired = 0;
    QxRunLoopTimerContext context{0, &fired, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow(), 0.01, &context, CountTimer);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    for (auto _ : state) {
        int64_t before = fired;
        while (fired == before) QxRunLoopPumpRunUntil(nullptr, QxRunLoopNow() + 0.001);
    }
    QxRunLoopTimerInvalidate(timer);
    QxLObjectRelease(timer);
    state.SetItemsProcessed(fired);
}
BENCHMARK(BM_PeriodicTimer10ms)->Iterations(100)->UseRealTime();

void CountSocket(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    ++*static_cast<int64_t*>(info);
}

// A datagram that nobody reads keeps its socket readable, so every
// dispatch pass delivers one read notification: collection, queueing, the
// table look-up and the callback.
void BM_SocketDispatch(benchmark::State& state) {
    LoopScope scope;
    uint16_t port = 0;
    uint16_t clientPort = 0;
    int server = UdpSocket(&port);
    int client = UdpSocket(&clientPort);
    int64_t dispatched = 0;
    QxSocketRef socket = ScheduleSocket(server, CountSocket, &dispatched);
    SendTo(client, port, "x", 1);
    for (auto _ : state) QxRunLoopPumpDispatchReady();
    if (dispatched != static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("not one dispatch per pass");
    }
    state.SetItemsProcessed(dispatched);
    QxSocketInvalidate(socket);
    QxLObjectRelease(socket);
    close(client);
}
BENCHMARK(BM_SocketDispatch);

struct Echo {
    int server = -1;
    int client = -1;
    uint16_t serverPort = 0;
    int64_t sent = 0;
    int64_t received = 0;
    int64_t total = 0;
    bool stop = false;
};

void EchoServer(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* echo = static_cast<Echo*>(info);
    char buffer[512];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t count = recvfrom(echo->server, buffer, sizeof buffer, 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
    if (count > 0) {
        sendto(echo->server, buffer, static_cast<size_t>(count), 0,
               reinterpret_cast<sockaddr*>(&from), length);
    }
}

void EchoClient(QxSocketRef, uint32_t, const void*, const void*, void* info) {
    auto* echo = static_cast<Echo*>(info);
    char buffer[512];
    if (recv(echo->client, buffer, sizeof buffer, 0) <= 0) return;
    if (++echo->received == echo->total) echo->stop = true;
    if (echo->sent < echo->total) {
        SendTo(echo->client, echo->serverPort, buffer, 64);
        ++echo->sent;
    }
}

// 100,000 datagrams of 64 bytes there and back, with state.range(0) of them
// in flight at any time.
void BM_UdpEcho100k(benchmark::State& state) {
    LoopScope scope;
    for (auto _ : state) {
        Echo echo;
        echo.total = 100000;
        uint16_t clientPort = 0;
        echo.server = UdpSocket(&echo.serverPort);
        echo.client = UdpSocket(&clientPort);
        QxSocketRef server = ScheduleSocket(echo.server, EchoServer, &echo);
        QxSocketRef client = ScheduleSocket(echo.client, EchoClient, &echo);
        char payload[64] = {};
        for (int64_t i = 0; i < state.range(0); ++i) {
            SendTo(echo.client, echo.serverPort, payload, sizeof payload);
            ++echo.sent;
        }
        QxRunLoopPumpRunUntil(&echo.stop, QxRunLoopNow() + 120);
        if (echo.received != echo.total) state.SkipWithError("datagrams lost");
        state.SetItemsProcessed(state.items_processed() + echo.received);
        QxSocketInvalidate(server);
        QxSocketInvalidate(client);
        QxLObjectRelease(server);
        QxLObjectRelease(client);
    }
}
BENCHMARK(BM_UdpEcho100k)
    ->Arg(1)
    ->Arg(16)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
