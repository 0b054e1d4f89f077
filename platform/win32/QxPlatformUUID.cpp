// Windows UUIDs from UuidCreate (rpcrt4). The UUID structure keeps its
// first three fields in the machine's (little-endian) order; they are
// turned to network order here.
#include <windows.h>
#include <rpc.h>

#include "QxPlatformUUID.h"

QxStatus QxPlatformUUIDCreate(uint8_t* bytes) {
    if (bytes == nullptr) return kStatusBadParameter;
    UUID uuid;
    RPC_STATUS status = UuidCreate(&uuid);
    // A UUID unique to this computer only is still a good UUID for us.
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
        return status != 0 ? static_cast<QxStatus>(status) : kStatusUnknown;
    }
    const uint32_t data1 = uuid.Data1;
    bytes[0] = static_cast<uint8_t>(data1 >> 24);
    bytes[1] = static_cast<uint8_t>(data1 >> 16);
    bytes[2] = static_cast<uint8_t>(data1 >> 8);
    bytes[3] = static_cast<uint8_t>(data1);
    bytes[4] = static_cast<uint8_t>(uuid.Data2 >> 8);
    bytes[5] = static_cast<uint8_t>(uuid.Data2);
    bytes[6] = static_cast<uint8_t>(uuid.Data3 >> 8);
    bytes[7] = static_cast<uint8_t>(uuid.Data3);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = uuid.Data4[i];
    return kStatusOK;
}
