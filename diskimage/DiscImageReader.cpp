// Disc image reader: open with the end probe, ranges, chunking, and the
// switch from plain reads to SCSI pass-through.
//
// Every system call goes through the DiscImageOperations table captured at
// open (DiscImageReaderInternal.h); the system's table is
// QxPlatformDevice.h's calls. Image files bound to a device path are read
// with the same table: plain reads only, cut at the file's end, and no
// end probe (the file size is exact).
//
// Chunking, for a range [position, end) and sector size S:
//
//   alignedStart = position rounded down to S
//   alignedEnd   = end rounded up to S
//   capacity     = the whole sectors that fit in 128 KiB (128 KiB itself
//                  for the usual 512, 2048 and 4096)
//   alignedEnd - alignedStart <= capacity: read all, chunk = end - position
//   otherwise: read capacity bytes, chunk = alignedStart + capacity - position
//
// Image files are read through the image layer (ImageFile.h): a .dmg
// arrives decoded, and only a raw image hands out file spans. A chunk of a
// .dmg that lies within one decoded run is lent from the image's cache
// rather than copied, and held there until the next chunk.
//
// Not here: the volume layer's block devices, caching of any kind (a .dmg's
// decode cache belongs to the image layer).
#include "DiscImageReader.h"

#include <cstring>

#include "DeviceBinding.h"
#include "DiscImageReaderInternal.h"
#include "QxLMemory.h"
#include "QxPlatformSocket.h"

namespace {

QxStatus OpenImageFile(const char* path, ImageFile** image) {
    return ImageFileOpen(path, image, nullptr, 0);
}

constexpr DiscImageOperations kSystemOperations = {
    QxPlatformDeviceOpen,     OpenImageFile,
    QxPlatformDeviceGeometry, QxPlatformDeviceAllowExtendedIO,
    QxPlatformDeviceReadAt,   ImageFileRead,
    QxPlatformDevicePassThroughRead, QxPlatformDeviceClose,
    ImageFileRelease,
};

const DiscImageOperations* gOperations = &kSystemOperations;

// READ(10) limits: a 32-bit block address and a 16-bit block count.
constexpr uint64_t kPassThroughSectorLimit = 0xFFFFFFFFu;
constexpr uint32_t kPassThroughCountLimit = 0xFFFFu;

void ReleaseHold(DiscImageReader* reader) {
    ImageFileReleaseHold(reader->imageFile, reader->hold);
    reader->hold = nullptr;
}

void ChunkReady(void* context, QxStatus status) {
    auto* reader = static_cast<DiscImageReader*>(context);
    reader->wait = nullptr;
    // A run that does not decode is never cached: asking again would only
    // decode it again.
    reader->readInPlace = status != kStatusOK;
    reader->readyHook(reader->readyContext, status);
}

// Reads length bytes (whole sectors) at offset (a sector boundary) into
// destination, or fails. Plain reads (a failed one is asked once more, as
// the first read after a disc change fails once) until one fails; then
// pass-through, and the reader keeps to pass-through once that has read
// what plain reads could not. A read neither way makes fails.
QxStatus ReadSectors(DiscImageReader* reader, uint64_t offset, uint32_t length,
                     uint8_t* destination) {
    if (length == 0) return kStatusOK;
    const DiscImageOperations* operations = reader->operations;
    uint32_t sectorSize = reader->sectorSize;
    bool switching = false;
    if (!reader->passThrough) {
        uint32_t wanted = length;
        // A file's last sector may be partial; nothing past the end is
        // ever delivered, so only the bytes before it are asked for.
        if (reader->image) {
            uint64_t remaining = static_cast<uint64_t>(reader->size) - offset;
            if (remaining < wanted) wanted = static_cast<uint32_t>(remaining);
        }
        uint32_t got = 0;
        QxStatus status =
            reader->image
                ? operations->readImage(reader->imageFile, offset, wanted, destination, &got)
                : operations->readAt(reader->handle, offset, wanted, destination, &got);
        if (status == kStatusOK && got >= wanted) return kStatusOK;
        // A file cannot take SCSI commands: its failure is final.
        if (reader->image) return status != kStatusOK ? status : kStatusReadFailed;
        got = 0;
        status = operations->readAt(reader->handle, offset, wanted, destination, &got);
        if (status == kStatusOK && got >= wanted) return kStatusOK;
        switching = true;
    }

    uint64_t first = offset / sectorSize;
    uint32_t count = length / sectorSize;
    if (first >= kPassThroughSectorLimit || count >= kPassThroughCountLimit) {
        return kStatusOutOfRange;
    }
    uint32_t sector = static_cast<uint32_t>(first);
    while (count > 0) {
        uint32_t piece = count < kDiscPassThroughPiece ? count : kDiscPassThroughPiece;
        QxStatus status =
            operations->passThroughRead(reader->handle, sector, piece, sectorSize, destination);
        if (status != kStatusOK) return status;
        sector += piece;
        count -= piece;
        destination += static_cast<size_t>(piece) * sectorSize;
    }
    if (switching) reader->passThrough = true;
    return kStatusOK;
}

// The usable end: the reported size, or the end of the last readable
// sector when that lies within kDiscEndProbeAttempts sectors of it.
void ProbeEnd(DiscImageReader* reader, uint64_t diskSize) {
    uint32_t sectorSize = reader->sectorSize;
    reader->size = static_cast<int64_t>(diskSize);
    uint64_t candidate = diskSize;
    for (int attempt = 0; attempt < kDiscEndProbeAttempts; ++attempt) {
        // Seeking before the start fails, and a failed seek keeps the
        // reported size.
        if (candidate < sectorSize) return;
        uint32_t got = 0;
        QxStatus status = reader->operations->readAt(reader->handle, candidate - sectorSize,
                                                     sectorSize, reader->bounce, &got);
        if (status == kStatusOK && got == sectorSize) {
            reader->size = static_cast<int64_t>(candidate);
            return;
        }
        candidate -= sectorSize;
    }
}

QxStatus OpenDevice(DiscImageReader* reader, const char* devicePath) {
    if (reader->handle != kQxInvalidDeviceHandle || reader->imageFile != nullptr) {
        return kStatusAlreadyInitialized;
    }
    const DiscImageOperations* operations = reader->operations;
    const char* imagePath = nullptr;
    uint32_t imageSectorSize = 0;
    uint64_t diskSize = 0;
    QxStatus status;
    if (DeviceFindBinding(devicePath, -1, &imagePath, &imageSectorSize)) {
        reader->image = true;
        // A file bound to be served as it is is never decoded; a held file
        // is opened only as the file it was held as.
        const QxFileIdentity* identity = DeviceBindingIdentity(devicePath);
        bool asIs = DeviceBindingIsAsIs(devicePath);
        status = identity != nullptr
                     ? ImageFileOpenIdentified(imagePath, identity, asIs, &reader->imageFile,
                                               nullptr, 0)
                 : asIs ? ImageFileOpenAsIs(imagePath, &reader->imageFile)
                        : operations->openImage(imagePath, &reader->imageFile);
        if (status != kStatusOK) return status;
        reader->sectorSize = imageSectorSize;
        diskSize = ImageFileSize(reader->imageFile);
    } else {
        status = operations->openDevice(devicePath, &reader->handle);
        if (status != kStatusOK) return status;
        status = operations->geometry(reader->handle, &reader->sectorSize, &diskSize);
    }
    if (status != kStatusOK) return status;

    // A sector must fit the chunk buffer, or no chunk could be read.
    uint32_t sectorSize = reader->sectorSize;
    if (sectorSize == 0 || sectorSize > kDiscImageChunkSize || diskSize < sectorSize ||
        diskSize > static_cast<uint64_t>(INT64_MAX)) {
        return kStatusBadSize;
    }
    if (reader->image) {
        reader->size = static_cast<int64_t>(diskSize);
        return kStatusOK;
    }

    operations->allowExtendedIO(reader->handle);
    // The probe's sector buffer stays as the bounce buffer of ReadAt.
    reader->bounce = static_cast<uint8_t*>(QxLAlloc(sectorSize));
    if (reader->bounce == nullptr) return kStatusNoMemory;
    ProbeEnd(reader, diskSize);
    return kStatusOK;
}

}  // namespace

const DiscImageOperations* DiscImageReaderSetOperations(const DiscImageOperations* operations) {
    const DiscImageOperations* previous = gOperations;
    gOperations = operations != nullptr ? operations : &kSystemOperations;
    return previous;
}

const DiscImageOperations* DiscImageReaderSystemOperations() { return &kSystemOperations; }

QxStatus DiscImageReaderOpen(const char* devicePath, int64_t* start, int64_t* end,
                             int64_t* size, DiscImageReader** reader) {
    if (devicePath == nullptr || start == nullptr || end == nullptr || size == nullptr ||
        reader == nullptr) {
        return kStatusBadParameter;
    }
    auto* opened = static_cast<DiscImageReader*>(QxLAllocZeroed(sizeof(DiscImageReader)));
    if (opened == nullptr) return kStatusNoMemory;
    opened->handle = kQxInvalidDeviceHandle;
    opened->operations = gOperations;

    QxStatus status = OpenDevice(opened, devicePath);
    if (status == kStatusOK) {
        opened->buffer = static_cast<uint8_t*>(QxLAlloc(kDiscImageChunkSize));
        if (opened->buffer == nullptr) status = kStatusNoMemory;
    }
    if (status == kStatusOK) status = DiscImageReaderSetRange(opened, start, end, size);
    if (status != kStatusOK) {
        DiscImageReaderClose(opened);
        return status;
    }
    *reader = opened;
    return kStatusOK;
}

QxStatus DiscImageReaderSetRange(DiscImageReader* reader, int64_t* start, int64_t* end,
                                 int64_t* size) {
    if (reader == nullptr || start == nullptr || end == nullptr || size == nullptr) {
        return kStatusBadParameter;
    }
    int64_t first = *start;
    int64_t last = *end;
    if (first < 0) {
        if (last != -1) return kStatusOutOfRange;
        first += reader->size;
        last = reader->size;
    } else if (last < 0 || last > reader->size) {
        last = reader->size;
    }
    if (first >= last) return kStatusOutOfRange;
    reader->position = first;
    reader->end = last;
    *start = first;
    *end = last;
    *size = reader->size;
    return kStatusOK;
}

QxStatus DiscImageReaderNextChunk(DiscImageReader* reader, uint8_t** pointer,
                                  uint32_t* length) {
    if (reader == nullptr || pointer == nullptr || length == nullptr) {
        return kStatusBadParameter;
    }
    if (reader->position >= reader->end) {
        *pointer = nullptr;
        *length = 0;
        return kStatusOK;
    }
    // A suffix longer than the medium leaves a negative start; reading
    // before the medium is never right.
    if (reader->position < 0) return kStatusOutOfRange;

    uint64_t sectorSize = reader->sectorSize;
    uint64_t position = static_cast<uint64_t>(reader->position);
    uint64_t end = static_cast<uint64_t>(reader->end);
    uint64_t alignedStart = position - position % sectorSize;
    uint64_t alignedEnd = (end + sectorSize - 1) / sectorSize * sectorSize;
    uint64_t capacity = kDiscImageChunkSize - kDiscImageChunkSize % sectorSize;
    uint64_t readLength;
    uint64_t chunk;
    if (alignedEnd - alignedStart <= capacity) {
        readLength = alignedEnd - alignedStart;
        chunk = end - position;
    } else {
        readLength = capacity;
        chunk = alignedStart + capacity - position;
    }
    if (reader->readyHook != nullptr && reader->imageFile != nullptr && !reader->readInPlace) {
        if (reader->wait != nullptr) return kQxErrorWouldBlock;
        QxStatus ready = ImageFilePrepare(reader->imageFile, alignedStart, readLength, ChunkReady,
                                          reader, &reader->wait);
        if (ready == kQxErrorWouldBlock) return ready;
    }
    bool readInPlace = reader->readInPlace;
    reader->readInPlace = false;
    ReleaseHold(reader);
    const uint8_t* lent = nullptr;
    if (reader->readyHook != nullptr && reader->image && !readInPlace &&
        ImageFileHold(reader->imageFile, position, chunk, &lent, &reader->hold) == kStatusOK) {
        // Sent as it is: the caller only reads a chunk.
        *pointer = const_cast<uint8_t*>(lent);
        *length = static_cast<uint32_t>(chunk);
        reader->position += static_cast<int64_t>(chunk);
        return kStatusOK;
    }
    QxStatus status =
        ReadSectors(reader, alignedStart, static_cast<uint32_t>(readLength), reader->buffer);
    if (status != kStatusOK && reader->image) {
        // An image fails a read as a whole when one run in it does not
        // decode. The sectors before that run are still handed out, so a
        // body ends exactly where the damage begins: halving finds them in
        // a few reads (of runs already decoded), then they are read again
        // (a failed read may have left anything in the buffer).
        uint64_t good = 0;
        uint64_t bad = readLength;
        while (bad - good > sectorSize) {
            uint64_t middle = good + (bad - good) / sectorSize / 2 * sectorSize;
            if (ReadSectors(reader, alignedStart, static_cast<uint32_t>(middle), reader->buffer) ==
                kStatusOK) {
                good = middle;
            } else {
                bad = middle;
            }
        }
        if (good <= position - alignedStart ||
            ReadSectors(reader, alignedStart, static_cast<uint32_t>(good), reader->buffer) !=
                kStatusOK) {
            return status;
        }
        chunk = alignedStart + good - position;
        status = kStatusOK;
    }
    if (status != kStatusOK) return status;
    *pointer = reader->buffer + (position - alignedStart);
    *length = static_cast<uint32_t>(chunk);
    reader->position += static_cast<int64_t>(chunk);
    return kStatusOK;
}

QxStatus DiscImageReaderNextSpan(DiscImageReader* reader, QxDeviceHandle* file,
                                 uint64_t* offset, uint64_t* length) {
    if (reader == nullptr || file == nullptr || offset == nullptr || length == nullptr) {
        return kStatusBadParameter;
    }
    // Only a raw image's bytes are the file's bytes; a .dmg is decoded.
    QxDeviceHandle raw = ImageFileRawHandle(reader->imageFile);
    if (!reader->image || raw == kQxInvalidDeviceHandle) return kStatusUnsupported;
    *file = raw;
    *offset = 0;
    *length = 0;
    if (reader->position >= reader->end) return kStatusOK;
    if (reader->position < 0) return kStatusOutOfRange;
    uint64_t left = static_cast<uint64_t>(reader->end - reader->position);
    *offset = static_cast<uint64_t>(reader->position);
    *length = left < kDiscImageSpanSize ? left : kDiscImageSpanSize;
    reader->position += static_cast<int64_t>(*length);
    return kStatusOK;
}

QxStatus DiscImageReaderReadAt(DiscImageReader* reader, int64_t offset, void* buffer,
                               uint32_t length, uint32_t* bytesRead) {
    if (reader == nullptr || buffer == nullptr || bytesRead == nullptr) {
        return kStatusBadParameter;
    }
    if (offset < 0 || offset >= reader->size) return kStatusOutOfRange;
    uint64_t available = static_cast<uint64_t>(reader->size - offset);
    uint32_t total = available < length ? static_cast<uint32_t>(available) : length;
    auto* destination = static_cast<uint8_t*>(buffer);
    uint64_t position = static_cast<uint64_t>(offset);

    // A file has no alignment needs: one read straight into the buffer.
    if (reader->image) {
        uint32_t got = 0;
        QxStatus status = reader->operations->readImage(reader->imageFile, position, total,
                                                        destination, &got);
        if (status != kStatusOK) return status;
        if (got < total) return kStatusReadFailed;
        *bytesRead = total;
        return kStatusOK;
    }

    uint32_t sectorSize = reader->sectorSize;
    uint32_t remaining = total;
    uint32_t skew = static_cast<uint32_t>(position % sectorSize);
    if (remaining > 0 && (skew != 0 || remaining < sectorSize)) {
        QxStatus status = ReadSectors(reader, position - skew, sectorSize, reader->bounce);
        if (status != kStatusOK) return status;
        uint32_t piece = sectorSize - skew < remaining ? sectorSize - skew : remaining;
        memcpy(destination, reader->bounce + skew, piece);
        destination += piece;
        position += piece;
        remaining -= piece;
    }
    // The aligned middle in one read where pass-through's count allows.
    uint64_t wholeLimit = static_cast<uint64_t>(kPassThroughCountLimit - 1) * sectorSize;
    while (remaining >= sectorSize) {
        uint32_t whole = remaining / sectorSize * sectorSize;
        if (whole > wholeLimit) whole = static_cast<uint32_t>(wholeLimit);
        QxStatus status = ReadSectors(reader, position, whole, destination);
        if (status != kStatusOK) return status;
        destination += whole;
        position += whole;
        remaining -= whole;
    }
    if (remaining > 0) {
        QxStatus status = ReadSectors(reader, position, sectorSize, reader->bounce);
        if (status != kStatusOK) return status;
        memcpy(destination, reader->bounce, remaining);
    }
    *bytesRead = total;
    return kStatusOK;
}

void DiscImageReaderSetReadyHook(DiscImageReader* reader, DiscImageReadyHook hook,
                                 void* context) {
    if (reader == nullptr) return;
    if (hook == nullptr && reader->wait != nullptr) {
        ImageFileCancelWait(reader->imageFile, reader->wait);
        reader->wait = nullptr;
    }
    reader->readyHook = hook;
    reader->readyContext = context;
}

uint32_t DiscImageReaderSectorSize(const DiscImageReader* reader) {
    return reader != nullptr ? reader->sectorSize : 0;
}

int64_t DiscImageReaderSize(const DiscImageReader* reader) {
    return reader != nullptr ? reader->size : 0;
}

bool DiscImageReaderUsesPassThrough(const DiscImageReader* reader) {
    return reader != nullptr && reader->passThrough;
}

void DiscImageReaderClose(DiscImageReader* reader) {
    if (reader == nullptr) return;
    ImageFileCancelWait(reader->imageFile, reader->wait);
    ReleaseHold(reader);
    if (reader->handle != kQxInvalidDeviceHandle) reader->operations->close(reader->handle);
    if (reader->imageFile != nullptr) reader->operations->closeImage(reader->imageFile);
    QxLFree(reader->buffer);
    QxLFree(reader->bounce);
    QxLFree(reader);
}
