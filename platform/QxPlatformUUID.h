// A new random UUID from the system's generator: libuuid on Linux,
// UuidCreate on Windows.
#pragma once

#include <cstdint>

#include "QxLStatus.h"

inline constexpr uint32_t kQxUUIDSize = 16;

// Writes 16 bytes in network order: the first three fields big-endian, as
// the textual form reads them, so that printing the bytes in memory order
// gives the usual 8-4-4-4-12 text. Returns 0, or the system's status when
// it cannot make a globally unique one (kStatusBadParameter for a null
// buffer). The buffer is written only on success.
QxStatus QxPlatformUUIDCreate(uint8_t* bytes);
