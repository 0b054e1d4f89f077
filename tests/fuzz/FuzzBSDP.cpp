// Fuzzing target: DHCP INFORM datagrams through the BSDP responder's parser
// and answer builder, with an install disc prepared so that LIST and SELECT
// get as far as a reply; then the option parser on the raw bytes in both
// option spaces.
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

#include "BSDPServer.h"
#include "FuzzSupport.h"
#include "QxRunLoop.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QxRunLoopEnsureInitialized();
    SetBsdpTftpPort(69);
    if (!FuzzPrepareInstallDisc()) std::fprintf(stderr, "fuzz: no install disc\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_port = htons(68);
    sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static uint8_t reply[2048];
    size_t replyLength = 0;
    BsdpAnswerDatagram(data, size, reinterpret_cast<const sockaddr*>(&sender), reply, sizeof reply,
                       &replyLength);
    static DhcpOptionTable table;
    for (bool bsdp : {false, true}) {
        DhcpParseOptions(data, size, &table, bsdp);
        size_t written = 0;
        DhcpWriteOptions(&table, reply, sizeof reply, &written);
        DhcpOptionTableClear(&table);
    }
    return 0;
}
