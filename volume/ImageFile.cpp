// Image files behind one interface (ImageFile.h): the list of open images,
// raw reads, .dmg reads through the run table, the decode cache, and the
// checksum walk of "verify".
//
// Decode cache: one per image, shared by every user of the image, under one
// bound for all images together. Entries are whole decoded runs keyed by
// run index, newest first; a lookup that hits moves the entry to the
// front, and before each decode entries go (MakeRoom: the put-away image's
// first, then other images' beyond their share, then this image's oldest)
// until the new run fits in the bound together with every run being
// decoded (a run larger than the bound empties the caches and is kept
// alone). A run that fails to decode is never cached: its reads fail each
// time.
//
// Decodes: each image hands the pool at most two runs per pool thread at a
// time, so that every thread has one to go on with; the runs behind them
// wait in the image's own lists, the runs readers wait for first (in the
// order they began to wait), then runs decoded ahead. A run in a list holds
// no memory: its stored bytes are read, and its buffer taken, only when it
// goes to the pool, which bounds what decoding holds beyond the cache to a
// few runs however many readers wait.
#include "ImageFile.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ImageFileInternal.h"
#include "ImageRunMemory.h"
#include "QxLMemory.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"
#include "QxWorkPool.h"

struct ImageCacheEntry {
    ImageCacheEntry* newer;
    ImageCacheEntry* older;
    uint32_t run;
    uint8_t* bytes;  // the run's decoded bytes, sectorCount x 512
    uint64_t length;
    uint32_t holds;  // readers sending straight from bytes: it stays
};

// A run being decoded in the work pool, which also reads its stored bytes
// (a read of the file can take milliseconds, and the run loop must not
// wait for it); the file stays open until every job of the image is back.
struct ImageDecodeJob {
    ImageDecodeJob* next;
    ImageFile* image;
    QxWork* work;
    uint32_t run;
    uint32_t type;
    QxDeviceHandle file;
    const QxFileIdentity* identity;  // the image's, when its reads are checked
    uint64_t fileOffset;
    uint8_t* stored;
    uint64_t storedLength;
    uint8_t* decoded;      // becomes the cache entry's bytes
    uint64_t length;
    QxStatus status;       // the read's, then the decode's, set on the pool thread
};

// A run waiting for its turn in the pool.
struct ImageRunNode {
    ImageRunNode* next;
    uint32_t run;
};

struct ImageRunList {
    ImageRunNode* head;
    ImageRunNode* tail;
    uint32_t count;
};

// Where a run that is not cached stands.
enum : uint8_t { kRunIdle = 0, kRunListed = 1, kRunDecoding = 2 };

struct ImageWait {
    ImageWait* next;
    uint32_t firstRun;
    uint32_t lastRun;
    uint32_t missing;      // runs of [firstRun, lastRun] not decoded yet
    QxStatus status;       // the first failure among them
    ImageReadyCallback callback;
    void* context;
};

// A recent reader, known by where its last read ended.
struct ImageStream {
    uint64_t start;
    uint64_t end;
    uint32_t nextRun;
    bool sequential;
    double lastUsed;       // run-loop clock; 0: free slot
};

// Readers remembered for read-ahead, and how long one counts as active.
constexpr int kImageStreams = 256;
constexpr double kImageStreamActive = 5.0;

struct ImageFile {
    ImageFile* next;       // open-image list
    int32_t refCount;
    char* path;            // owned, as opened
    QxDeviceHandle handle;
    // Opened with an identity (ImageFileOpenIdentified): every read of the
    // file is followed by a check that it is still that file, unchanged.
    bool identified;
    QxFileIdentity identity;
    uint64_t fileSize;
    uint64_t size;         // the disc's size
    bool compressed;       // a .dmg: reads go through udif
    UDIFImage udif;
    uint8_t trailer[kUDIFTrailerSize];  // as read, to know the same image again
    ImageCacheEntry* newest;
    ImageCacheEntry* oldest;
    ImageCacheEntry** byRun;  // runCount slots: the cached entry of each run
    uint64_t cacheBytes;
    uint64_t decodedRuns;   // runs decoded since the image was opened
    ImageDecodeJob* jobs;   // decodes handed to the pool, not yet back
    uint32_t jobCount;
    uint64_t jobBytes;      // their decoded sizes, held against the bound
    uint8_t* runState;      // runCount: kRunIdle, kRunListed or kRunDecoding
    ImageRunList hurried;   // runs readers wait for, oldest wait first
    ImageRunList ahead;     // runs decoded ahead of readers
    ImageWait* waits;       // readers waiting for runs
    ImageStream streams[kImageStreams];
    bool destroying;
};

namespace {

ImageFile* gOpenImages = nullptr;
// The .dmg whose last user went most recently, file closed, tables and
// cache kept: a client that reads by one connection after another (the
// HTTP service opens a reader per connection) finds its runs still decoded.
ImageFile* gIdleImage = nullptr;

// Most bytes read from the file in one go while checksumming.
constexpr uint32_t kVerifyPiece = 1u << 20;

uint64_t gCacheLimit = kImageCacheBytes;
// What every image together holds against the bound: cached runs (held
// ones included) and runs being decoded; and of the cached, those lent to
// readers (ImageFileHold), which may take at most half the bound so that
// the rest can always be evicted.
uint64_t gCacheBytes = 0;
uint64_t gJobBytes = 0;
uint64_t gHeldBytes = 0;

constexpr char kIncompleteImage[] =
    "this is an incomplete or damaged .dmg: its trailer is missing or damaged, as an "
    "interrupted download or copy leaves it; copy or download the image again";

constexpr char kChangedImage[] =
    "the file is no longer the one offered under this name: it was replaced or rewritten";

// Runs decoded ahead of a reader that reads in order: twice what the pool
// takes from an image at once on two cores (InFlightLimit), so that a
// thread that finishes finds the next run listed rather than idling until
// the reader asks again (with four, a lone reader kept catching up).
constexpr uint32_t kReadAheadRuns = 8;

const char* TypeName(uint32_t type) {
    switch (type) {
    case kUDIFRunZero:
        return "zero-fill";
    case kUDIFRunRaw:
        return "raw";
    case kUDIFRunIgnore:
        return "unused";
    case kUDIFRunADC:
        return "ADC";
    case kUDIFRunZlib:
        return "zlib";
    case kUDIFRunBzip2:
        return "bzip2";
    default:
        return "?";
    }
}

// After a read of the file: whether what it read is the identified file's
// (kStatusNotAvailable once the file is another or was rewritten). Checked
// after the read, not before, so that a change that began before the read
// ended is seen. Any file not opened with an identity passes.
QxStatus CheckRead(const QxFileIdentity* identity, QxDeviceHandle file) {
    return identity != nullptr ? QxPlatformFileCheckIdentity(file, identity) : kStatusOK;
}

const QxFileIdentity* IdentityOf(const ImageFile* image) {
    return image->identified ? &image->identity : nullptr;
}

// Reads exactly count bytes of the file; a short read is damage (the run
// table said the bytes were there).
QxStatus ReadFileExactly(ImageFile* image, uint64_t offset, uint32_t count, void* buffer) {
    uint32_t got = 0;
    QxStatus status = QxPlatformFileReadAt(image->handle, offset, count, buffer, &got);
    if (status == kStatusOK) status = CheckRead(IdentityOf(image), image->handle);
    if (status != kStatusOK) return status;
    return got == count ? kStatusOK : kStatusMalformed;
}

void Unlink(ImageFile* image, ImageCacheEntry* entry) {
    if (entry->newer != nullptr) entry->newer->older = entry->older;
    else image->newest = entry->older;
    if (entry->older != nullptr) entry->older->newer = entry->newer;
    else image->oldest = entry->newer;
    entry->newer = entry->older = nullptr;
}

void PushNewest(ImageFile* image, ImageCacheEntry* entry) {
    entry->older = image->newest;
    entry->newer = nullptr;
    if (image->newest != nullptr) image->newest->newer = entry;
    image->newest = entry;
    if (image->oldest == nullptr) image->oldest = entry;
}

void DropEntry(ImageFile* image, ImageCacheEntry* entry) {
    Unlink(image, entry);
    image->byRun[entry->run] = nullptr;
    image->cacheBytes -= entry->length;
    gCacheBytes -= entry->length;
    if (entry->holds > 0) gHeldBytes -= entry->length;
    ImageRunMemoryGive(entry->bytes, entry->length);
    QxLFree(entry);
}

bool IsCompressedRun(const UDIFRun& run) {
    return run.type != kUDIFRunZero && run.type != kUDIFRunIgnore && run.type != kUDIFRunRaw;
}

// A run some reader waits for (it must stay until the reader has read it).
bool Pinned(const ImageFile* image, uint32_t run) {
    for (const ImageWait* wait = image->waits; wait != nullptr; wait = wait->next) {
        if (run >= wait->firstRun && run <= wait->lastRun) return true;
    }
    return false;
}

// Where the readers active in the last seconds will read next, gathered
// once for an eviction rather than once for each run it looks at.
struct ActiveReaders {
    uint32_t nextRun[kImageStreams];
    int count;
};

void FindActiveReaders(const ImageFile* image, ActiveReaders* active) {
    double since = QxRunLoopNow() - kImageStreamActive;
    active->count = 0;
    for (const ImageStream& stream : image->streams) {
        if (stream.lastUsed > 0 && stream.lastUsed >= since) {
            active->nextRun[active->count++] = stream.nextRun;
        }
    }
}

// A run at or just ahead of where an active reader will read next.
bool Near(const ActiveReaders& active, uint32_t run) {
    for (int i = 0; i < active.count; ++i) {
        if (run + 1 >= active.nextRun[i] && run <= active.nextRun[i] + kReadAheadRuns) return true;
    }
    return false;
}

bool Fits(uint64_t length) { return gCacheBytes + gJobBytes + length <= gCacheLimit; }

// Drops image's oldest runs that no reader holds or waits for (with
// onlyFar, only those no active reader is near) until length more bytes
// fit or image keeps no more than floor bytes.
void Evict(ImageFile* image, uint64_t length, uint64_t floor, bool onlyFar) {
    ActiveReaders active;
    FindActiveReaders(image, &active);
    ImageCacheEntry* entry = image->oldest;
    while (entry != nullptr && !Fits(length) && image->cacheBytes > floor) {
        ImageCacheEntry* newer = entry->newer;
        if (entry->holds == 0 && !Pinned(image, entry->run) &&
            (!onlyFar || !Near(active, entry->run))) {
            DropEntry(image, entry);
        }
        entry = newer;
    }
}

// Each open image's share of the bound follows its readers: one part for
// the image and one for each reader active in the last seconds.
uint64_t Share(const ImageFile* image, uint64_t parts) {
    ActiveReaders active;
    FindActiveReaders(image, &active);
    return parts > 0 ? gCacheLimit / parts * (1 + static_cast<uint64_t>(active.count)) : gCacheLimit;
}

// Makes room for length more bytes for image, under the one bound of all
// images: an image put away gives up its runs first, then images above
// their share give up runs no reader is near, then image its own far runs,
// then (unless onlyFar) any run that no reader holds or waits for. Says
// whether it fits now.
bool MakeRoom(ImageFile* image, uint64_t length, bool onlyFar = false) {
    if (Fits(length)) return true;
    if (gIdleImage != nullptr && gIdleImage != image) Evict(gIdleImage, length, 0, false);
    if (Fits(length)) return true;
    uint64_t parts = 0;
    for (const ImageFile* open = gOpenImages; open != nullptr; open = open->next) {
        ActiveReaders active;
        FindActiveReaders(open, &active);
        parts += 1 + static_cast<uint64_t>(active.count);
    }
    for (ImageFile* open = gOpenImages; open != nullptr && !Fits(length); open = open->next) {
        if (open != image && open->compressed) Evict(open, length, Share(open, parts), true);
    }
    Evict(image, length, 0, true);
    if (onlyFar) return Fits(length);
    Evict(image, length, 0, false);
    for (ImageFile* open = gOpenImages; open != nullptr && !Fits(length); open = open->next) {
        if (open != image && open->compressed) Evict(open, length, 0, false);
    }
    return Fits(length);
}

// Takes decoded (length bytes, allocated) into the cache as run index.
QxStatus Insert(ImageFile* image, uint32_t index, uint8_t* decoded, uint64_t length) {
    ++image->decodedRuns;
    auto* entry = static_cast<ImageCacheEntry*>(QxLAllocZeroed(sizeof(ImageCacheEntry)));
    if (entry == nullptr) {
        ImageRunMemoryGive(decoded, length);
        return kStatusNoMemory;
    }
    MakeRoom(image, length);
    entry->run = index;
    entry->bytes = decoded;
    entry->length = length;
    PushNewest(image, entry);
    image->byRun[index] = entry;
    image->cacheBytes += length;
    gCacheBytes += length;
    return kStatusOK;
}

// The stored bytes of run index, read into a new buffer.
QxStatus ReadStored(ImageFile* image, uint32_t index, uint8_t** stored) {
    const UDIFRun& run = image->udif.runs[index];
    *stored = static_cast<uint8_t*>(QxLAlloc(run.storedLength > 0 ? run.storedLength : 1));
    if (*stored == nullptr) return kStatusNoMemory;
    // Both lengths were bounded to 64 MiB at open.
    QxStatus status =
        ReadFileExactly(image, run.fileOffset, static_cast<uint32_t>(run.storedLength), *stored);
    if (status != kStatusOK) {
        QxLFree(*stored);
        *stored = nullptr;
    }
    return status;
}

// The decoded bytes of compressed run index, from the cache or decoded now
// on this thread (a decode of it in the pool is left to finish: its result
// then finds the run cached). The pointer stays valid until the next call
// on this image.
QxStatus DecodedRun(ImageFile* image, uint32_t index, const uint8_t** bytes) {
    if (ImageCacheEntry* entry = image->byRun[index]) {
        if (entry != image->newest) {
            Unlink(image, entry);
            PushNewest(image, entry);
        }
        *bytes = entry->bytes;
        return kStatusOK;
    }
    const UDIFRun& run = image->udif.runs[index];
    uint8_t* stored = nullptr;
    QxStatus status = ReadStored(image, index, &stored);
    if (status != kStatusOK) return status;
    uint64_t length = run.sectorCount * kUDIFSectorSize;
    uint8_t* decoded = ImageRunMemoryTake(length);
    status = decoded != nullptr ? UDIFDecodeRun(run.type, stored, run.storedLength, decoded, length)
                                : kStatusNoMemory;
    QxLFree(stored);
    if (status == kStatusOK) status = Insert(image, index, decoded, length);
    else ImageRunMemoryGive(decoded, length);
    if (status != kStatusOK) return status;
    *bytes = image->byRun[index]->bytes;
    return kStatusOK;
}

// ---- Decoding in the work pool ----------------------------------------------

// Runs one image has in the pool at a time.
uint32_t InFlightLimit() { return 2 * QxWorkPoolThreadCount(); }

void ListPush(ImageRunList* list, ImageRunNode* node) {
    node->next = nullptr;
    if (list->tail != nullptr) list->tail->next = node;
    else list->head = node;
    list->tail = node;
    ++list->count;
}

ImageRunNode* ListPop(ImageRunList* list) {
    ImageRunNode* node = list->head;
    if (node == nullptr) return nullptr;
    list->head = node->next;
    if (list->head == nullptr) list->tail = nullptr;
    --list->count;
    return node;
}

ImageRunNode* ListRemove(ImageRunList* list, uint32_t run) {
    ImageRunNode* previous = nullptr;
    for (ImageRunNode* node = list->head; node != nullptr; previous = node, node = node->next) {
        if (node->run != run) continue;
        if (previous != nullptr) previous->next = node->next;
        else list->head = node->next;
        if (list->tail == node) list->tail = previous;
        --list->count;
        return node;
    }
    return nullptr;
}

// Empties both lists: their runs go back to idle.
void ClearLists(ImageFile* image) {
    for (ImageRunList* list : {&image->hurried, &image->ahead}) {
        while (ImageRunNode* node = ListPop(list)) {
            image->runState[node->run] = kRunIdle;
            QxLFree(node);
        }
    }
}

ImageDecodeJob* FindJob(const ImageFile* image, uint32_t index) {
    for (ImageDecodeJob* job = image->jobs; job != nullptr; job = job->next) {
        if (job->run == index) return job;
    }
    return nullptr;
}

void RunJob(void* context) {
    auto* job = static_cast<ImageDecodeJob*>(context);
    // Both lengths were bounded to 64 MiB at open.
    uint32_t count = static_cast<uint32_t>(job->storedLength);
    uint32_t got = 0;
    QxStatus status = QxPlatformFileReadAt(job->file, job->fileOffset, count, job->stored, &got);
    if (status == kStatusOK) status = CheckRead(job->identity, job->file);
    if (status == kStatusOK && got != count) status = kStatusMalformed;  // the table said it was there
    if (status == kStatusOK) {
        status = UDIFDecodeRun(job->type, job->stored, job->storedLength, job->decoded, job->length);
    }
    job->status = status;
}

// Calls back the waits that have nothing left to wait for, one at a time:
// a callback may add or cancel waits, even release the image.
void DeliverReadyWaits(ImageFile* image) {
    bool held = image->refCount > 0;
    if (held) ++image->refCount;
    for (;;) {
        ImageWait** link = &image->waits;
        while (*link != nullptr && (*link)->missing > 0) link = &(*link)->next;
        ImageWait* wait = *link;
        if (wait == nullptr) break;
        *link = wait->next;
        ImageReadyCallback callback = wait->callback;
        void* context = wait->context;
        QxStatus status = wait->status;
        QxLFree(wait);
        callback(context, status);
    }
    if (held) ImageFileRelease(image);
}

// Run index has come back (status 0: it is cached), or will not come: the
// waits for it have one run less to wait for.
void RunSettled(ImageFile* image, uint32_t run, QxStatus status) {
    for (ImageWait* wait = image->waits; wait != nullptr; wait = wait->next) {
        if (run < wait->firstRun || run > wait->lastRun || wait->missing == 0) continue;
        --wait->missing;
        if (status != kStatusOK && wait->status == kStatusOK) wait->status = status;
    }
}

void JobDone(void* context, QxStatus status);

// Hands run index to the pool with its buffers, the decoded one taken
// within the bound.
QxStatus Submit(ImageFile* image, uint32_t index, bool hurried) {
    const UDIFRun& run = image->udif.runs[index];
    auto* job = static_cast<ImageDecodeJob*>(QxLAllocZeroed(sizeof(ImageDecodeJob)));
    if (job == nullptr) return kStatusNoMemory;
    job->image = image;
    job->run = index;
    job->type = run.type;
    job->storedLength = run.storedLength;
    job->length = run.sectorCount * kUDIFSectorSize;
    job->file = image->handle;
    job->identity = IdentityOf(image);
    job->fileOffset = run.fileOffset;
    MakeRoom(image, job->length);
    job->decoded = ImageRunMemoryTake(job->length);
    job->stored = static_cast<uint8_t*>(QxLAlloc(run.storedLength > 0 ? run.storedLength : 1));
    QxStatus status = job->decoded != nullptr && job->stored != nullptr ? kStatusOK : kStatusNoMemory;
    if (status == kStatusOK) status = QxWorkSubmit(RunJob, JobDone, job, &job->work);
    if (status != kStatusOK) {
        QxLFree(job->stored);
        ImageRunMemoryGive(job->decoded, job->length);
        QxLFree(job);
        return status;
    }
    if (hurried) QxWorkHurry(job->work);
    job->next = image->jobs;
    image->jobs = job;
    ++image->jobCount;
    image->jobBytes += job->length;
    gJobBytes += job->length;
    image->runState[index] = kRunDecoding;
    return kStatusOK;
}

// Moves listed runs into the pool while it has room for them. A run that
// cannot go (no memory, no pool) goes back to idle and its waiters are
// told; the waits that thus end are called back by the caller's next
// delivery (never from inside Pump, which a reader's own call reaches).
void Pump(ImageFile* image) {
    while (image->jobCount < InFlightLimit()) {
        bool hurried = image->hurried.head != nullptr;
        ImageRunNode* node = ListPop(hurried ? &image->hurried : &image->ahead);
        if (node == nullptr) break;
        uint32_t run = node->run;
        QxLFree(node);
        image->runState[run] = kRunIdle;
        if (image->byRun[run] != nullptr) continue;  // a read decoded it meanwhile
        QxStatus status = Submit(image, run, hurried);
        if (status != kStatusOK) RunSettled(image, run, status);
    }
}

void FreeImage(ImageFile* image);
void CloseFile(ImageFile* image);
bool Want(ImageFile* image, uint32_t index, bool hurried);

// Every decode handed to the pool comes back here exactly once, from the
// run loop, whatever became of its image meanwhile: an image put away is
// still given what was decoded for it (and closes its file with its last
// decode), one destroyed is freed with its last decode.
void JobDone(void* context, QxStatus status) {
    auto* job = static_cast<ImageDecodeJob*>(context);
    ImageFile* image = job->image;
    for (ImageDecodeJob** link = &image->jobs; *link != nullptr; link = &(*link)->next) {
        if (*link == job) {
            *link = job->next;
            --image->jobCount;
            image->jobBytes -= job->length;
            gJobBytes -= job->length;
            break;
        }
    }
    uint32_t run = job->run;
    image->runState[run] = kRunIdle;
    if (status == kStatusOK) status = job->status;
    QxLFree(job->stored);
    bool keep = status == kStatusOK && !image->destroying && image->byRun[run] == nullptr;
    if (keep) status = Insert(image, run, job->decoded, job->length);
    else ImageRunMemoryGive(job->decoded, job->length);
    QxLFree(job);
    if (image->destroying) {
        if (image->jobs == nullptr) FreeImage(image);
        return;
    }
    if (image->refCount == 0) {
        // Put away: nobody waits, and the file closes with the last decode.
        if (image->jobs == nullptr) CloseFile(image);
        return;
    }
    if (status == kStatusCanceled && Pinned(image, run)) {
        // Taken back when the image was put away, and a reader that came
        // back since waits for it: it is listed again (and fails only if it
        // cannot go to the pool, as at shutdown).
        if (!Want(image, run, true)) RunSettled(image, run, kStatusNoMemory);
    } else {
        RunSettled(image, run, status);
    }
    // The next runs go to the pool before anyone is called back, so that
    // the threads do not idle through the callbacks.
    Pump(image);
    DeliverReadyWaits(image);
}

// Lists run index for decoding unless it is cached or on its way; a run
// a reader waits for goes behind the runs waited for before it, ahead of
// every run decoded ahead. False when it cannot be listed (memory).
bool Want(ImageFile* image, uint32_t index, bool hurried) {
    if (image->byRun[index] != nullptr) return true;
    switch (image->runState[index]) {
    case kRunDecoding:
        if (hurried) QxWorkHurry(FindJob(image, index)->work);
        return true;
    case kRunListed:
        if (hurried) {
            if (ImageRunNode* node = ListRemove(&image->ahead, index)) ListPush(&image->hurried, node);
        }
        return true;
    default:
        break;
    }
    auto* node = static_cast<ImageRunNode*>(QxLAlloc(sizeof(ImageRunNode)));
    if (node == nullptr) return false;
    node->run = index;
    ListPush(hurried ? &image->hurried : &image->ahead, node);
    image->runState[index] = kRunListed;
    return true;
}

// Notes a read of [offset, end) and says whether it goes on where an earlier
// one ended (a reader reading in order); the table of readers keeps the
// most recent ones.
bool NoteStream(ImageFile* image, uint64_t offset, uint64_t end, uint32_t nextRun) {
    double now = QxRunLoopNow();
    ImageStream* slot = &image->streams[0];
    bool sequential = false;
    for (ImageStream& stream : image->streams) {
        if (stream.lastUsed > 0 && (stream.end == offset || stream.start == offset)) {
            sequential = stream.end == offset || stream.sequential;
            slot = &stream;
            break;
        }
        if (stream.lastUsed < slot->lastUsed) slot = &stream;
    }
    slot->start = offset;
    slot->end = end;
    slot->nextRun = nextRun;
    slot->sequential = sequential;
    slot->lastUsed = now;
    return sequential;
}

// The run holding disc sector (the table tiles the disc, so there is one).
uint32_t FindRun(const UDIFImage& udif, uint64_t sector) {
    uint32_t low = 0;
    uint32_t high = udif.runCount;  // answer in [low, high)
    while (high - low > 1) {
        uint32_t middle = low + (high - low) / 2;
        if (udif.runs[middle].firstSector <= sector) low = middle;
        else high = middle;
    }
    return low;
}

// count bytes of run index at byte within of the run into out.
QxStatus ReadFromRun(ImageFile* image, uint32_t index, uint64_t within, uint32_t count,
                     uint8_t* out) {
    const UDIFRun& run = image->udif.runs[index];
    switch (run.type) {
    case kUDIFRunZero:
    case kUDIFRunIgnore:
        memset(out, 0, count);
        return kStatusOK;
    case kUDIFRunRaw:
        return ReadFileExactly(image, run.fileOffset + within, count, out);
    default: {
        const uint8_t* decoded = nullptr;
        QxStatus status = DecodedRun(image, index, &decoded);
        if (status != kStatusOK) return status;
        memcpy(out, decoded + within, count);
        return kStatusOK;
    }
    }
}

QxStatus ReadCompressed(ImageFile* image, uint64_t offset, uint32_t count, uint8_t* out) {
    if (offset > image->size || count > image->size - offset) return kStatusOutOfRange;
    while (count > 0) {
        uint32_t index = FindRun(image->udif, offset / kUDIFSectorSize);
        const UDIFRun& run = image->udif.runs[index];
        uint64_t runStart = run.firstSector * kUDIFSectorSize;
        uint64_t runEnd = runStart + run.sectorCount * kUDIFSectorSize;
        uint64_t left = runEnd - offset;
        uint32_t piece = left < count ? static_cast<uint32_t>(left) : count;
        QxStatus status = ReadFromRun(image, index, offset - runStart, piece, out);
        if (status != kStatusOK) return status;
        out += piece;
        offset += piece;
        count -= piece;
    }
    return kStatusOK;
}

// An open .dmg with the same path, size and trailer as image (whose trailer
// has just been read), and the same identity when opened with one: the
// same file, whose decode cache can be shared. A file replaced under the
// same name is not the same image.
bool SameImage(const ImageFile* open, const ImageFile* image) {
    return open->compressed && open->fileSize == image->fileSize &&
           open->identified == image->identified &&
           (!open->identified || QxPlatformSameFile(&open->identity, &image->identity)) &&
           strcmp(open->path, image->path) == 0 &&
           memcmp(open->trailer, image->trailer, kUDIFTrailerSize) == 0;
}

ImageFile* FindSameImage(const ImageFile* image) {
    for (ImageFile* open = gOpenImages; open != nullptr; open = open->next) {
        if (SameImage(open, image)) return open;
    }
    if (gIdleImage != nullptr && SameImage(gIdleImage, image)) return gIdleImage;
    return nullptr;
}

// Whether the file's last bytes are the end of a .dmg's property list with
// no trailer after it (cut off), or with at most a trailer's worth of
// bytes that are not one (damaged): what an interrupted download or copy of
// a .dmg leaves. A raw disc does not end so (an HFS+ volume ends with its
// alternate header).
bool EndsInPropertyList(ImageFile* image) {
    static constexpr char kEnd[] = "</plist>";
    constexpr uint32_t kEndLength = sizeof kEnd - 1;
    // The tag, a line end or two, and a trailer.
    uint8_t tail[kUDIFTrailerSize + 2 * kEndLength];
    uint32_t count = image->fileSize < sizeof tail ? static_cast<uint32_t>(image->fileSize)
                                                   : static_cast<uint32_t>(sizeof tail);
    if (count < kEndLength ||
        ReadFileExactly(image, image->fileSize - count, count, tail) != kStatusOK) {
        return false;
    }
    for (uint32_t at = count - kEndLength + 1; at-- > 0;) {
        if (memcmp(tail + at, kEnd, kEndLength) == 0) return true;
    }
    return false;
}

// Reads the trailer, the property list and the tables of a .dmg, or finds
// that the file is raw (kStatusNotFound), or that the same .dmg is open
// already (kStatusAlreadyInitialized, *same set).
QxStatus OpenUDIF(ImageFile* image, ImageFile** same, char* problem, size_t problemSize) {
    uint8_t head[8] = {};
    uint32_t headLength = 0;
    QxStatus status =
        QxPlatformDeviceReadAt(image->handle, 0, sizeof head, head, &headLength);
    if (status != kStatusOK) return status;
    uint8_t* tail = image->trailer;
    bool hasTail = image->fileSize >= kUDIFTrailerSize;
    if (hasTail) {
        status = ReadFileExactly(image, image->fileSize - kUDIFTrailerSize, kUDIFTrailerSize, tail);
        if (status != kStatusOK) return status;
    }
    status = UDIFReadTrailer(hasTail ? tail : nullptr, head, headLength, image->fileSize,
                             &image->udif.trailer, problem, problemSize);
    if (status == kStatusNotFound && EndsInPropertyList(image)) {
        UDIFSay(problem, problemSize, "%s", kIncompleteImage);
        return kStatusMalformed;
    }
    if (status != kStatusOK) return status;
    *same = FindSameImage(image);
    if (*same != nullptr) return kStatusAlreadyInitialized;

    const UDIFTrailer& trailer = image->udif.trailer;
    auto* plist = static_cast<uint8_t*>(QxLAlloc(trailer.plistLength));
    if (plist == nullptr) return kStatusNoMemory;
    status = ReadFileExactly(image, trailer.plistOffset,
                             static_cast<uint32_t>(trailer.plistLength), plist);
    if (status == kStatusOK) {
        status = UDIFParseTables(plist, trailer.plistLength, &image->udif, problem, problemSize);
    }
    QxLFree(plist);
    if (status != kStatusOK) return status;
    image->byRun = static_cast<ImageCacheEntry**>(
        QxLAllocZeroed(sizeof(ImageCacheEntry*) * (image->udif.runCount + 1)));
    image->runState = static_cast<uint8_t*>(QxLAllocZeroed(image->udif.runCount + 1));
    if (image->byRun == nullptr || image->runState == nullptr) return kStatusNoMemory;
    // Its decoders, ready before the first reader comes; without them reads
    // decode in place.
    QxWorkPoolStart();
    image->compressed = true;
    image->size = trailer.sectorCount * kUDIFSectorSize;
    return kStatusOK;
}

void CloseFile(ImageFile* image) {
    QxPlatformDeviceClose(image->handle);
    image->handle = kQxInvalidDeviceHandle;
}

void FreeImage(ImageFile* image) {
    QxLFree(image->byRun);
    QxLFree(image->runState);
    UDIFImageFreeTables(&image->udif);
    CloseFile(image);
    QxLFree(image->path);
    QxLFree(image);
}

void DestroyImage(ImageFile* image) {
    // Its cache goes now; decodes still in the pool write into buffers of
    // their own, and the record (with the file they read) is freed when the
    // last of them is back.
    image->destroying = true;
    if (image->runState != nullptr) ClearLists(image);
    for (ImageDecodeJob* job = image->jobs; job != nullptr; job = job->next) {
        QxWorkCancel(job->work);
    }
    while (image->waits != nullptr) {
        ImageWait* wait = image->waits;
        image->waits = wait->next;
        QxLFree(wait);
    }
    while (image->newest != nullptr) DropEntry(image, image->newest);
    if (image->jobs == nullptr) FreeImage(image);
}

void Note(void (*note)(void*, const char*), void* context, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void Note(void (*note)(void*, const char*), void* context, const char* format, ...) {
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    note(context, line);
}

// CRC-32 of the data fork as stored.
QxStatus DataForkCRC(ImageFile* image, uint8_t* buffer, uint32_t* crc) {
    const UDIFTrailer& trailer = image->udif.trailer;
    uint32_t value = 0;
    for (uint64_t done = 0; done < trailer.dataForkLength;) {
        uint64_t left = trailer.dataForkLength - done;
        uint32_t piece = left < kVerifyPiece ? static_cast<uint32_t>(left) : kVerifyPiece;
        QxStatus status = ReadFileExactly(image, trailer.dataForkOffset + done, piece, buffer);
        if (status != kStatusOK) return status;
        value = UDIFCRC32(value, buffer, piece);
        done += piece;
    }
    *crc = value;
    return kStatusOK;
}

// CRC-32 of a table's decoded bytes, unused (ignore) runs left out.
QxStatus TableCRC(ImageFile* image, const UDIFTable& table, uint8_t* buffer, uint32_t* crc) {
    uint32_t value = 0;
    for (uint32_t i = table.firstRun; i < table.firstRun + table.runCount; ++i) {
        const UDIFRun& run = image->udif.runs[i];
        if (run.type == kUDIFRunIgnore) continue;
        uint64_t length = run.sectorCount * kUDIFSectorSize;
        for (uint64_t done = 0; done < length;) {
            uint64_t left = length - done;
            uint32_t piece = left < kVerifyPiece ? static_cast<uint32_t>(left) : kVerifyPiece;
            QxStatus status = ReadFromRun(image, i, done, piece, buffer);
            if (status != kStatusOK) return status;
            value = UDIFCRC32(value, buffer, piece);
            done += piece;
        }
    }
    *crc = value;
    return kStatusOK;
}

}  // namespace

namespace {
QxStatus OpenImage(const char* path, ImageFile** image, char* problem, size_t problemSize,
                   bool asIs, const QxFileIdentity* identity);
}  // namespace

QxStatus ImageFileOpen(const char* path, ImageFile** image, char* problem, size_t problemSize) {
    return OpenImage(path, image, problem, problemSize, false, nullptr);
}

QxStatus ImageFileOpenAsIs(const char* path, ImageFile** image) {
    return OpenImage(path, image, nullptr, 0, true, nullptr);
}

QxStatus ImageFileOpenIdentified(const char* path, const QxFileIdentity* identity, bool asIs,
                                 ImageFile** image, char* problem, size_t problemSize) {
    if (identity == nullptr) return kStatusBadParameter;
    return OpenImage(path, image, problem, problemSize, asIs, identity);
}

namespace {
QxStatus OpenImage(const char* path, ImageFile** image, char* problem, size_t problemSize,
                   bool asIs, const QxFileIdentity* identity) {
    if (problem != nullptr && problemSize > 0) problem[0] = '\0';
    if (path == nullptr || image == nullptr) return kStatusBadParameter;
    auto* opened = static_cast<ImageFile*>(QxLAllocZeroed(sizeof(ImageFile)));
    if (opened == nullptr) return kStatusNoMemory;
    opened->handle = kQxInvalidDeviceHandle;
    opened->refCount = 1;
    size_t pathLength = strlen(path);
    opened->path = static_cast<char*>(QxLAlloc(pathLength + 1));
    QxStatus status = opened->path != nullptr ? kStatusOK : kStatusNoMemory;
    if (status == kStatusOK) {
        memcpy(opened->path, path, pathLength + 1);
        status = QxPlatformFileOpen(path, &opened->handle);
    }
    if (status == kStatusOK) status = QxPlatformFileSize(opened->handle, &opened->fileSize);
    if (status == kStatusOK && identity != nullptr) {
        // Another file, or this one rewritten, is refused before a byte of
        // it is read; the reads of the open are checked as they go.
        opened->identified = true;
        opened->identity = *identity;
        status = QxPlatformFileCheckIdentity(opened->handle, identity);
    }
    if (status == kStatusOK) {
        ImageFile* same = nullptr;
        status = asIs ? kStatusNotFound : OpenUDIF(opened, &same, problem, problemSize);
        if (status == kStatusAlreadyInitialized) {
            if (same == gIdleImage) {
                // Back in use: it takes over the file just opened, unless
                // decodes from before still hold its own open.
                gIdleImage = nullptr;
                if (same->handle == kQxInvalidDeviceHandle) {
                    same->handle = opened->handle;
                    opened->handle = kQxInvalidDeviceHandle;
                }
                same->next = gOpenImages;
                gOpenImages = same;
            }
            DestroyImage(opened);
            ++same->refCount;
            *image = same;
            return kStatusOK;
        }
        if (status == kStatusNotFound) {
            opened->size = opened->fileSize;
            status = kStatusOK;
        }
    }
    if (status == kStatusNotAvailable && identity != nullptr) {
        UDIFSay(problem, problemSize, "%s", kChangedImage);
    }
    if (status != kStatusOK) {
        if (problem != nullptr && problemSize > 0 && status == kStatusMalformed) {
            char detail[kImageProblemCapacity];
            snprintf(detail, sizeof detail, "%s", problem);
            if (detail[0] == '\0') UDIFSay(problem, problemSize, "the image is damaged");
            else if (strcmp(detail, kIncompleteImage) == 0) UDIFSay(problem, problemSize, "%s", detail);
            else UDIFSay(problem, problemSize, "the image is damaged: %s", detail);
        }
        DestroyImage(opened);
        return status;
    }
    opened->next = gOpenImages;
    gOpenImages = opened;
    *image = opened;
    return kStatusOK;
}
}  // namespace

void ImageFileRelease(ImageFile* image) {
    if (image == nullptr || --image->refCount > 0) return;
    for (ImageFile** link = &gOpenImages; *link != nullptr; link = &(*link)->next) {
        if (*link == image) {
            *link = image->next;
            break;
        }
    }
    if (!image->compressed) {
        DestroyImage(image);
        return;
    }
    // No reader is left to hold a run (one that forgot to end its hold
    // must not keep the run from eviction for good).
    for (ImageCacheEntry* entry = image->newest; entry != nullptr; entry = entry->older) {
        if (entry->holds > 0) gHeldBytes -= entry->length;
        entry->holds = 0;
    }
    // Put away: listed runs are forgotten and runs queued in the pool taken
    // back; runs being decoded come back later (JobDone), and the file,
    // which they read, closes with the last of them.
    ClearLists(image);
    for (ImageDecodeJob* job = image->jobs; job != nullptr; job = job->next) {
        QxWorkCancel(job->work);
    }
    if (image->jobs == nullptr) CloseFile(image);
    image->next = nullptr;
    ImageFile* previous = gIdleImage;
    gIdleImage = image;
    if (previous != nullptr) DestroyImage(previous);
}

uint64_t ImageFileSize(const ImageFile* image) { return image != nullptr ? image->size : 0; }

bool ImageFileIsCompressed(const ImageFile* image) {
    return image != nullptr && image->compressed;
}

QxStatus ImageFileRead(ImageFile* image, uint64_t offset, uint32_t count, void* buffer,
                       uint32_t* bytesRead) {
    if (image == nullptr || buffer == nullptr || bytesRead == nullptr) {
        return kStatusBadParameter;
    }
    *bytesRead = 0;
    if (!image->compressed) {
        QxStatus status = QxPlatformDeviceReadAt(image->handle, offset, count, buffer, bytesRead);
        if (status == kStatusOK) status = CheckRead(IdentityOf(image), image->handle);
        // Nothing of a read that may hold another file's bytes is handed out.
        if (status != kStatusOK) *bytesRead = 0;
        return status;
    }
    QxStatus status = ReadCompressed(image, offset, count, static_cast<uint8_t*>(buffer));
    if (status == kStatusOK) *bytesRead = count;
    return status;
}

QxStatus ImageFileHold(ImageFile* image, uint64_t offset, uint64_t count, const uint8_t** bytes,
                       ImageHold** hold) {
    if (image == nullptr || bytes == nullptr || hold == nullptr) return kStatusBadParameter;
    if (!image->compressed || count == 0 || offset > image->size ||
        count > image->size - offset) {
        return kStatusNotFound;
    }
    uint32_t index = FindRun(image->udif, offset / kUDIFSectorSize);
    const UDIFRun& run = image->udif.runs[index];
    uint64_t runStart = run.firstSector * kUDIFSectorSize;
    ImageCacheEntry* entry = image->byRun[index];
    if (entry == nullptr || offset + count > runStart + entry->length) return kStatusNotFound;
    if (entry != image->newest) {
        Unlink(image, entry);
        PushNewest(image, entry);
    }
    if (entry->holds == 0) {
        // Lent runs cannot be evicted: past half the bound the reader copies.
        if (gHeldBytes + entry->length > gCacheLimit / 2) return kStatusNotFound;
        gHeldBytes += entry->length;
    }
    ++entry->holds;
    *bytes = entry->bytes + (offset - runStart);
    *hold = reinterpret_cast<ImageHold*>(entry);
    return kStatusOK;
}

void ImageFileReleaseHold(ImageFile* image, ImageHold* hold) {
    if (image == nullptr || hold == nullptr) return;
    auto* entry = reinterpret_cast<ImageCacheEntry*>(hold);
    if (entry->holds > 0 && --entry->holds == 0) gHeldBytes -= entry->length;
}

QxDeviceHandle ImageFileRawHandle(const ImageFile* image) {
    // The system would send an identified file's bytes unchecked.
    return image != nullptr && !image->compressed && !image->identified ? image->handle
                                                                          : kQxInvalidDeviceHandle;
}

uint64_t ImageFileCacheBytes(const ImageFile* image) {
    return image != nullptr ? image->cacheBytes : 0;
}

uint64_t ImageFileDecodedRuns(const ImageFile* image) {
    return image != nullptr ? image->decodedRuns : 0;
}

void ImageFileSetCacheLimit(uint64_t bytes) {
    gCacheLimit = bytes > 0 ? bytes : kImageCacheBytes;
}

uint64_t ImageFileCacheLimit() { return gCacheLimit; }

QxStatus ImageFilePrepare(ImageFile* image, uint64_t offset, uint64_t count,
                          ImageReadyCallback callback, void* context, ImageWait** wait) {
    if (image == nullptr || callback == nullptr || wait == nullptr) return kStatusBadParameter;
    *wait = nullptr;
    if (!image->compressed || count == 0) return kStatusOK;
    if (offset > image->size || count > image->size - offset) return kStatusOutOfRange;
    const UDIFImage& udif = image->udif;
    uint32_t first = FindRun(udif, offset / kUDIFSectorSize);
    uint32_t last = FindRun(udif, (offset + count - 1) / kUDIFSectorSize);
    for (uint32_t i = first; i <= last; ++i) {
        if (!IsCompressedRun(udif.runs[i])) continue;
        if (ImageCacheEntry* entry = image->byRun[i]) {
            // Wanted again: newest, so it outlives runs nobody asks for.
            Unlink(image, entry);
            PushNewest(image, entry);
            continue;
        }
        Want(image, i, true);
    }
    // Read-ahead only while the pool keeps up: with runs readers wait for
    // still listed, runs decoded ahead would only queue behind them. A run
    // ahead is listed only when it fits without pushing out what other
    // readers are at.
    bool keepsUp = image->hurried.count == 0 && image->ahead.count < InFlightLimit();
    if (NoteStream(image, offset, offset + count, last + 1) && keepsUp) {
        // A zero-filled stretch ahead is skipped, not searched to its end.
        uint32_t ahead = 0;
        uint32_t limit = last + 64 < udif.runCount ? last + 64 : udif.runCount;
        for (uint32_t i = last + 1; i < limit && ahead < kReadAheadRuns; ++i) {
            const UDIFRun& run = udif.runs[i];
            if (!IsCompressedRun(run)) continue;
            ++ahead;
            if (image->byRun[i] != nullptr || image->runState[i] != kRunIdle) continue;
            if (!MakeRoom(image, run.sectorCount * kUDIFSectorSize, true)) break;
            Want(image, i, false);
        }
    }
    Pump(image);
    // What is neither cached nor on its way could not be handed to the pool
    // (memory, no pool): the read decodes it itself and reports what goes
    // wrong.
    uint32_t missing = 0;
    for (uint32_t i = first; i <= last; ++i) {
        if (!IsCompressedRun(udif.runs[i]) || image->byRun[i] != nullptr) continue;
        if (image->runState[i] == kRunIdle) return kStatusOK;
        ++missing;
    }
    if (missing == 0) return kStatusOK;
    auto* made = static_cast<ImageWait*>(QxLAllocZeroed(sizeof(ImageWait)));
    if (made == nullptr) return kStatusOK;
    made->firstRun = first;
    made->lastRun = last;
    made->missing = missing;
    made->callback = callback;
    made->context = context;
    made->next = image->waits;
    image->waits = made;
    *wait = made;
    return kQxErrorWouldBlock;
}

void ImageFileCancelWait(ImageFile* image, ImageWait* wait) {
    if (image == nullptr || wait == nullptr) return;
    for (ImageWait** link = &image->waits; *link != nullptr; link = &(*link)->next) {
        if (*link == wait) {
            *link = wait->next;
            QxLFree(wait);
            return;
        }
    }
}

QxStatus ImageFileVerify(ImageFile* image, void (*note)(void* context, const char* line),
                         void* context) {
    if (image == nullptr || note == nullptr) return kStatusBadParameter;
    if (!image->compressed) {
        Note(note, context, "a raw image: it carries no checksums");
        return kStatusUnsupported;
    }
    auto* buffer = static_cast<uint8_t*>(QxLAlloc(kVerifyPiece));
    if (buffer == nullptr) return kStatusNoMemory;
    const UDIFImage& udif = image->udif;
    const UDIFTrailer& trailer = udif.trailer;
    bool damaged = false;
    QxStatus status = kStatusOK;

    if (trailer.dataChecksumType == kUDIFChecksumCRC32 && trailer.dataChecksumBits == 32) {
        uint32_t crc = 0;
        status = DataForkCRC(image, buffer, &crc);
        if (status == kStatusOK) {
            bool match = crc == trailer.dataChecksum;
            damaged |= !match;
            Note(note, context, "data fork: CRC-32 %08X %s", crc,
                 match ? "matches" : "does NOT match");
            if (!match) Note(note, context, "  the image says %08X", trailer.dataChecksum);
        }
    } else {
        Note(note, context, "data fork: no CRC-32 to check (checksum kind %u)",
             trailer.dataChecksumType);
    }

    // The master checksum is the CRC-32 of the tables' CRC-32 values in
    // list order; it can be checked only when every table has one.
    bool masterCheckable = true;
    uint32_t master = 0;
    for (uint32_t i = 0; status == kStatusOK && i < udif.tableCount; ++i) {
        const UDIFTable& table = udif.tables[i];
        // Inclusive, as people count sectors; an empty table shows its start.
        uint64_t last = table.firstSector + (table.sectorCount > 0 ? table.sectorCount - 1 : 0);
        if (table.checksumType != kUDIFChecksumCRC32 || table.checksumBits != 32) {
            masterCheckable &= table.checksumBits == 0;
            Note(note, context, "table %u \"%s\" (sectors %llu-%llu): no CRC-32 to check", i,
                 table.name, static_cast<unsigned long long>(table.firstSector),
                 static_cast<unsigned long long>(last));
            continue;
        }
        uint32_t crc = 0;
        status = TableCRC(image, table, buffer, &crc);
        if (status == kStatusMalformed) {
            Note(note, context, "table %u \"%s\": a run does not decode", i, table.name);
            damaged = true;
            status = kStatusOK;
            masterCheckable = false;
            continue;
        }
        if (status != kStatusOK) break;
        bool match = crc == table.checksum;
        damaged |= !match;
        Note(note, context, "table %u \"%s\" (sectors %llu-%llu, %u runs): CRC-32 %08X %s", i,
             table.name, static_cast<unsigned long long>(table.firstSector),
             static_cast<unsigned long long>(last), table.runCount, crc,
             match ? "matches" : "does NOT match");
        if (!match) Note(note, context, "  the table says %08X", table.checksum);
        uint8_t bytes[4] = {static_cast<uint8_t>(table.checksum >> 24),
                            static_cast<uint8_t>(table.checksum >> 16),
                            static_cast<uint8_t>(table.checksum >> 8),
                            static_cast<uint8_t>(table.checksum)};
        master = UDIFCRC32(master, bytes, sizeof bytes);
    }
    if (status == kStatusOK) {
        if (trailer.masterChecksumType == kUDIFChecksumCRC32 &&
            trailer.masterChecksumBits == 32 && masterCheckable) {
            bool match = master == trailer.masterChecksum;
            damaged |= !match;
            Note(note, context, "master checksum: CRC-32 %08X %s", master,
                 match ? "matches" : "does NOT match");
        } else {
            Note(note, context, "master checksum: not checked");
        }
    }
    QxLFree(buffer);
    if (status != kStatusOK) return status;
    return damaged ? kStatusMalformed : kStatusOK;
}

void ImageFileDescribe(const ImageFile* image, void (*note)(void* context, const char* line),
                       void* context) {
    if (image == nullptr || note == nullptr) return;
    if (!image->compressed) {
        Note(note, context, "raw image: %llu bytes", static_cast<unsigned long long>(image->size));
        return;
    }
    const UDIFImage& udif = image->udif;
    uint64_t counts[6] = {};
    const uint32_t types[6] = {kUDIFRunZlib, kUDIFRunBzip2, kUDIFRunADC,
                               kUDIFRunRaw,  kUDIFRunZero,  kUDIFRunIgnore};
    for (uint32_t i = 0; i < udif.runCount; ++i) {
        for (int k = 0; k < 6; ++k) counts[k] += udif.runs[i].type == types[k];
    }
    char kinds[160] = "";
    size_t used = 0;
    for (int k = 0; k < 6; ++k) {
        if (counts[k] == 0) continue;
        int wrote = snprintf(kinds + used, sizeof kinds - used, "%s%llu %s", used ? ", " : "",
                             static_cast<unsigned long long>(counts[k]), TypeName(types[k]));
        if (wrote > 0 && static_cast<size_t>(wrote) < sizeof kinds - used) used += wrote;
    }
    Note(note, context, ".dmg image: %llu bytes decoded (%llu bytes in the file), %u block "
         "tables, %u runs: %s",
         static_cast<unsigned long long>(image->size),
         static_cast<unsigned long long>(image->fileSize), udif.tableCount, udif.runCount, kinds);
}

bool ImageFileCutShort(const char* path, char* problem, size_t problemSize) {
    if (path == nullptr) return false;
    size_t length = strlen(path);
    bool named = length >= 4 && (path[length - 4] == '.') &&
                 (path[length - 3] | 0x20) == 'd' && (path[length - 2] | 0x20) == 'm' &&
                 (path[length - 1] | 0x20) == 'g';
    bool cut = named;
    QxDeviceHandle handle = kQxInvalidDeviceHandle;
    uint64_t size = 0;
    if (!cut && QxPlatformFileOpen(path, &handle) == kStatusOK) {
        // Pieces of a trailer or a property list near the end: a download
        // that stopped inside either.
        static constexpr const char* kMarks[] = {"koly", "</plist>", "<plist", "<key>", "</dict>",
                                                 "</data>", "resource-fork"};
        constexpr uint32_t kLook = 64u << 10;
        uint8_t* tail = static_cast<uint8_t*>(QxLAlloc(kLook));
        uint32_t got = 0;
        if (tail != nullptr && QxPlatformFileSize(handle, &size) == kStatusOK) {
            uint32_t count = size < kLook ? static_cast<uint32_t>(size) : kLook;
            if (QxPlatformFileReadAt(handle, size - count, count, tail, &got) == kStatusOK) {
                for (const char* mark : kMarks) {
                    size_t markLength = strlen(mark);
                    for (uint32_t at = 0; !cut && at + markLength <= got; ++at) {
                        cut = memcmp(tail + at, mark, markLength) == 0;
                    }
                }
            }
        }
        QxLFree(tail);
        QxPlatformDeviceClose(handle);
    }
    if (cut) UDIFSay(problem, problemSize, "%s", kIncompleteImage);
    return cut;
}
