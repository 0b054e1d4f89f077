// POSIX UUIDs from libuuid (uuid-dev): uuid_t is already in network order.
#include <uuid/uuid.h>

#include <cstring>

#include "QxPlatformUUID.h"

QxStatus QxPlatformUUIDCreate(uint8_t* bytes) {
    if (bytes == nullptr) return kStatusBadParameter;
    uuid_t uuid;
    uuid_generate(uuid);
    static_assert(sizeof uuid == kQxUUIDSize);
    memcpy(bytes, uuid, kQxUUIDSize);
    return kStatusOK;
}
