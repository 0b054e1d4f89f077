// Fuzzing target: TFTP. The input is records (a length byte and that many
// bytes): the first is a request from a client, every further one a packet
// to the newest session, or, when none runs, a request from the next
// client. Sessions read from a small install disc; the clients are local
// sockets whose datagrams are thrown away.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "FuzzSupport.h"
#include "QxRunLoop.h"
#include "TFTPServer.h"

namespace {

constexpr int kClients = 4;
int gClients[kClients];
sockaddr_in gAddresses[kClients];

void DrainClients() {
    static char buffer[70000];
    for (int client : gClients) {
        while (recv(client, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QxRunLoopEnsureInitialized();
    if (!FuzzPrepareInstallDisc()) std::fprintf(stderr, "fuzz: no install disc\n");
    uint16_t port = 0;
    StartTftp(&port);
    for (int i = 0; i < kClients; ++i) {
        gClients[i] = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in& address = gAddresses[i];
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(gClients[i], reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(gClients[i], reinterpret_cast<sockaddr*>(&address), &length);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int next = 0;
    bool first = true;
    for (const std::string& record : fuzzsupport::Records(data, size)) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(record.data());
        TftpSession* session = TftpFirstSession();
        if (first || session == nullptr) {
            const sockaddr_in& client = gAddresses[next++ % kClients];
            TftpHandleRequest(bytes, record.size(), reinterpret_cast<const sockaddr*>(&client),
                              sizeof client);
            first = false;
        } else {
            TftpHandleSessionPacket(session, bytes, record.size());
        }
    }
    TftpCloseAllSessions(kStatusCanceled);
    DrainClients();
    return 0;
}
