// Status codes shared by every subsystem.
//
// 0 is success, positive values are operating-system or socket error numbers
// passed through unchanged, negative values are Tamsor's own codes below.
// The values are part of the program's behaviour (they travel in events and
// logs), so they never change.
#pragma once

#include <cstdint>

using QxStatus = int32_t;

inline constexpr QxStatus kStatusOK = 0;
inline constexpr QxStatus kStatusUnknown = -6700;
inline constexpr QxStatus kStatusUnknownState = -6703;
inline constexpr QxStatus kStatusBadPath = -6704;
inline constexpr QxStatus kStatusBadParameter = -6705;
inline constexpr QxStatus kStatusWrongState = -6709;
inline constexpr QxStatus kStatusOutOfRange = -6710;
inline constexpr QxStatus kStatusAbortedByPeer = -6711;
inline constexpr QxStatus kStatusBadSignature = -6716;
inline constexpr QxStatus kStatusBadFormatSpec = -6717;
inline constexpr QxStatus kStatusNotInitialized = -6718;
inline constexpr QxStatus kStatusAlreadyInitialized = -6719;
inline constexpr QxStatus kStatusBusy = -6721;
inline constexpr QxStatus kStatusTimeout = -6722;
inline constexpr QxStatus kStatusCanceled = -6723;
inline constexpr QxStatus kStatusNotFound = -6727;
inline constexpr QxStatus kStatusNoMemory = -6728;
inline constexpr QxStatus kStatusNoResources = -6729;
inline constexpr QxStatus kStatusImmutable = -6731;
inline constexpr QxStatus kStatusTypeNotSupported = -6732;
inline constexpr QxStatus kStatusBadCharacter = -6733;
inline constexpr QxStatus kStatusUnsupported = -6735;
inline constexpr QxStatus kStatusBadValue = -6736;
inline constexpr QxStatus kStatusNoProgress = -6737;
inline constexpr QxStatus kStatusBadObject = -6740;
inline constexpr QxStatus kStatusBadModifier = -6741;
inline constexpr QxStatus kStatusMalformed = -6742;
inline constexpr QxStatus kStatusBadSize = -6743;
inline constexpr QxStatus kStatusBadName = -6744;
inline constexpr QxStatus kStatusNoData = -6745;
inline constexpr QxStatus kStatusReadFailed = -6746;
inline constexpr QxStatus kStatusBadDate = -6749;
inline constexpr QxStatus kStatusUnderrun = -6750;
inline constexpr QxStatus kStatusBufferTooSmall = -6751;
inline constexpr QxStatus kStatusEnded = -6752;
inline constexpr QxStatus kStatusPeerClosed = -6753;
inline constexpr QxStatus kStatusUnexpectedType = -6756;
inline constexpr QxStatus kStatusNotAvailable = -6762;
inline constexpr QxStatus kStatusBufferFull = -6763;

// The name of one of the codes above ("kStatusNoMemory"), or null for any
// other value. Used by tools and tests to print readable failures.
const char* QxLStatusName(QxStatus status);
