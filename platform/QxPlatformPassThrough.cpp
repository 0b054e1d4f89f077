// Judging the answer of a pass-through READ(10), the same on both systems.
//
// Sense data, the two formats a drive may return:
//
//   format                    response code  sense key     ASC   ASCQ
//   fixed                     0x70, 0x71     byte 2 & 0xF  12    13
//   descriptor                0x72, 0x73     byte 1 & 0xF  2     3
//
// Sense keys that matter here: 0x1 recovered error (the data is good),
// 0x2 not ready, 0x3 medium error, 0x4 hardware error, 0x5 illegal request,
// 0x6 unit attention. Not here: building or sending the request (the
// platform folders), splitting reads or retrying them (volume/, diskimage/).
#include <cstdio>
#include <cstring>

#include "QxPlatformDevice.h"
#include "QxPlatformPassThroughInternal.h"

namespace {

constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;
constexpr uint8_t kScsiBusy = 0x08;
constexpr uint8_t kScsiTaskSetFull = 0x28;
// Linux's driver_status flag that only says sense data came back.
constexpr uint16_t kDriverSenseFlag = 0x08;

constexpr uint8_t kSenseRecoveredError = 0x1;
constexpr uint8_t kSenseNotReady = 0x2;
constexpr uint8_t kSenseUnitAttention = 0x6;
// NOT READY, "logical unit not ready": becoming ready, cause not
// reportable, operation in progress, long write in progress.
constexpr uint8_t kAscNotReady = 0x04;

QxPassThroughDouble gDouble = nullptr;

struct Sense {
    bool valid;
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
};

Sense ParseSense(const QxPassThroughAnswer* answer) {
    Sense sense{};
    const uint8_t* bytes = answer->sense;
    size_t length = answer->senseLength < sizeof answer->sense ? answer->senseLength
                                                                : sizeof answer->sense;
    if (length < 1) return sense;
    uint8_t code = bytes[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && length >= 3) {
        sense.valid = true;
        sense.key = bytes[2] & 0x0F;
        if (length >= 14) {
            sense.asc = bytes[12];
            sense.ascq = bytes[13];
        }
    } else if ((code == 0x72 || code == 0x73) && length >= 4) {
        sense.valid = true;
        sense.key = bytes[1] & 0x0F;
        sense.asc = bytes[2];
        sense.ascq = bytes[3];
    }
    return sense;
}

const char* SenseKeyName(uint8_t key) {
    static const char* const kNames[16] = {
        "no sense",        "recovered error", "not ready",    "medium error",
        "hardware error",  "illegal request", "unit attention", "data protect",
        "blank check",     "vendor specific", "copy aborted", "aborted command",
        "reserved",        "volume overflow", "miscompare",   "completed"};
    return kNames[key & 0x0F];
}

const char* ScsiStatusName(uint8_t status) {
    switch (status) {
    case kScsiGood: return "GOOD";
    case kScsiCheckCondition: return "CHECK CONDITION";
    case kScsiBusy: return "BUSY";
    case kScsiTaskSetFull: return "TASK SET FULL";
    case 0x18: return "RESERVATION CONFLICT";
    default: return "SCSI status";
    }
}

void Describe(char* text, size_t size, const QxPassThroughAnswer* answer, const Sense& sense,
              uint32_t bytesAsked, const char* what) {
    if (text == nullptr || size == 0) return;
    int used = snprintf(text, size, "%s: %s 0x%02X", what, ScsiStatusName(answer->scsiStatus),
                        answer->scsiStatus);
    if (used < 0 || static_cast<size_t>(used) >= size) return;
    size_t at = static_cast<size_t>(used);
    if (sense.valid) {
        used = snprintf(text + at, size - at, ", sense key 0x%X (%s), ASC 0x%02X, ASCQ 0x%02X",
                        sense.key, SenseKeyName(sense.key), sense.asc, sense.ascq);
    } else {
        used = snprintf(text + at, size - at, ", no sense data");
    }
    if (used < 0 || static_cast<size_t>(used) >= size - at) return;
    at += static_cast<size_t>(used);
    snprintf(text + at, size - at, ", host 0x%X, driver 0x%X, %u of %u bytes",
             answer->hostStatus, answer->driverStatus, answer->bytesMoved, bytesAsked);
}

}  // namespace

QxStatus QxPlatformPassThroughDecode(const QxPassThroughAnswer* answer, uint32_t bytesAsked,
                                     char* text, size_t size) {
    if (text != nullptr && size > 0) text[0] = '\0';
    if (answer == nullptr) return kStatusBadParameter;
    if (answer->callStatus != kStatusOK) {
        if (text != nullptr && size > 0) {
            snprintf(text, size, "the request failed (system error %d)", answer->callStatus);
        }
        return answer->callStatus;
    }
    Sense sense = ParseSense(answer);
    bool transportError =
        answer->hostStatus != 0 || (answer->driverStatus & ~kDriverSenseFlag) != 0;
    bool good = answer->scsiStatus == kScsiGood ||
                (answer->scsiStatus == kScsiCheckCondition && sense.valid &&
                 sense.key == kSenseRecoveredError);

    QxStatus status = kStatusOK;
    const char* what = nullptr;
    if (!transportError && !good && answer->scsiStatus == kScsiCheckCondition && sense.valid &&
        ((sense.key == kSenseNotReady && sense.asc == kAscNotReady) ||
         sense.key == kSenseUnitAttention)) {
        status = kStatusBusy;
        what = sense.key == kSenseUnitAttention ? "unit attention" : "drive becoming ready";
    } else if (!transportError &&
               (answer->scsiStatus == kScsiBusy || answer->scsiStatus == kScsiTaskSetFull)) {
        status = kStatusBusy;
        what = "drive busy";
    } else if (!transportError && !good && sense.valid && sense.key == kSenseNotReady) {
        status = kStatusNotAvailable;
        what = "drive not ready";
    } else if (transportError || !good) {
        status = kStatusReadFailed;
        what = transportError ? "transport error" : sense.valid ? SenseKeyName(sense.key)
                                                                : "failed";
    } else if (answer->bytesMoved != bytesAsked) {
        status = kStatusUnderrun;
        what = "short transfer";
    }
    if (status != kStatusOK) Describe(text, size, answer, sense, bytesAsked, what);
    return status;
}

QxPassThroughDouble QxPlatformDeviceSetPassThroughDouble(QxPassThroughDouble passThrough) {
    QxPassThroughDouble previous = gDouble;
    gDouble = passThrough;
    return previous;
}

QxPassThroughDouble QxPlatformPassThroughDoubleInForce() { return gDouble; }

QxStatus QxPlatformPassThroughJudge(const QxPassThroughAnswer* answer, uint32_t firstSector,
                                    uint32_t sectorCount, uint32_t bytesAsked) {
    char text[256];
    QxStatus status = QxPlatformPassThroughDecode(answer, bytesAsked, text, sizeof text);
    if (status != kStatusOK) {
        fprintf(stderr, "READ(10) of sectors %u to %u: %s\n", firstSector,
                firstSector + (sectorCount > 0 ? sectorCount - 1 : 0), text);
        fflush(stderr);
    }
    return status;
}
