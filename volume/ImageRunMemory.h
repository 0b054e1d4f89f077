// Memory for the decoded runs of .dmg images (ImageFile.cpp's cache and
// decodes in flight). Run-loop thread only.
//
// A lab reads far more runs than the cache holds, so run buffers come and
// go all the time; memory fresh from the system costs a page fault per
// 4 KiB to fill, which was a quarter of a decode's time. Runs whose size is
// a power of two from 64 KiB to 2 MiB (images cut their data into runs of
// one such size) take slots of 2 MiB slabs that the system can back with
// large pages, and a slot given back is the next one taken: memory is
// filled once and reused. A slab all of whose slots are free is returned
// to the system unless it is the only spare of its size. Other sizes come
// from the heap, and so does everything in sanitizer builds, whose checks
// see each buffer's bounds only there.
#pragma once

#include <cstdint>

// length bytes for a decoded run (not zeroed); nullptr when there is no
// memory.
uint8_t* ImageRunMemoryTake(uint64_t length);

// Gives back what ImageRunMemoryTake(length) returned; nullptr is ignored.
void ImageRunMemoryGive(uint8_t* bytes, uint64_t length);
