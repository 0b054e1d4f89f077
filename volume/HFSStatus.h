// The HFS+ reader's own status codes. They sit outside the -67xx family and
// pass upward unchanged through the volume layers.
#pragma once

#include "QxLStatus.h"

inline constexpr QxStatus kHFSNotHFSPlus = static_cast<QxStatus>(0x80000003u);
inline constexpr QxStatus kHFSNoMemory = static_cast<QxStatus>(0x80000009u);
inline constexpr QxStatus kHFSBadTree = static_cast<QxStatus>(0x8000000Au);
inline constexpr QxStatus kHFSNotFound = static_cast<QxStatus>(0x8000000Eu);
