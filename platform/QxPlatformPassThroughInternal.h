// What the two systems' pass-through reads share: the double installed by
// tests and the judging and logging of an answer (QxPlatformPassThrough.cpp,
// built for both systems; it makes no system call).
#pragma once

#include <cstdint>

#include "QxPlatformDevice.h"

// The double in force, or null for the system call.
QxPassThroughDouble QxPlatformPassThroughDoubleInForce();

// Judges the answer to a READ(10) of sectorCount sectors from firstSector
// (bytesAsked bytes) and, on a failure, writes one line about it to the
// error stream. Returns QxPlatformPassThroughDecode's status.
QxStatus QxPlatformPassThroughJudge(const QxPassThroughAnswer* answer, uint32_t firstSector,
                                    uint32_t sectorCount, uint32_t bytesAsked);
