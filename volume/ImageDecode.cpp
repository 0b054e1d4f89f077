// Decoders of the compressed .dmg runs: zlib, bzip2 and ADC, each turning
// one run's stored bytes into exactly the run's decoded size.
//
// Each run is one complete stream with a fresh decoder; it must end exactly
// at the end of the stored bytes and fill the output exactly. Anything else
// (a short stream, trailing bytes, a check value that does not match, a
// copy reaching before the start of the output) is damage: the caller never
// sees a partly filled buffer as success.
//
// ADC tokens (first byte b):
//   1xxxxxxx  literal: the next (b & 0x7F) + 1 bytes
//   01xxxxxx  long copy, 3 bytes: length (b & 0x3F) + 4, distance
//             (c1 << 8 | c2) + 1
//   00xxxxxx  short copy, 2 bytes: length (b >> 2) + 3, distance
//             ((b & 3) << 8 | c1) + 1
// A copy takes each byte from distance bytes before the current end of the
// output, one at a time (a length above the distance repeats a pattern).
#include <bzlib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ImageFileInternal.h"

namespace {

QxStatus DecodeADC(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength) {
    size_t i = 0;
    size_t written = 0;
    while (i < inLength) {
        uint8_t b = in[i];
        if (b >= 0x80) {
            size_t length = static_cast<size_t>(b & 0x7F) + 1;
            if (inLength - i - 1 < length || outLength - written < length) {
                return kStatusMalformed;
            }
            memcpy(out + written, in + i + 1, length);
            written += length;
            i += 1 + length;
            continue;
        }
        size_t length;
        size_t distance;
        if (b >= 0x40) {
            if (inLength - i < 3) return kStatusMalformed;
            length = static_cast<size_t>(b & 0x3F) + 4;
            distance = (static_cast<size_t>(in[i + 1]) << 8 | in[i + 2]) + 1;
            i += 3;
        } else {
            if (inLength - i < 2) return kStatusMalformed;
            length = static_cast<size_t>(b >> 2) + 3;
            distance = (static_cast<size_t>(b & 3) << 8 | in[i + 1]) + 1;
            i += 2;
        }
        // Never before the start of this run's output, never past its end.
        if (distance > written || outLength - written < length) return kStatusMalformed;
        uint8_t* to = out + written;
        const uint8_t* from = to - distance;
        if (distance >= length) {
            memcpy(to, from, length);
        } else {
            for (size_t k = 0; k < length; ++k) to[k] = from[k];
        }
        written += length;
    }
    return written == outLength ? kStatusOK : kStatusMalformed;
}

// One decompressor per thread, kept: it is a few tens of KiB of tables that
// every run would otherwise allocate and build again.
struct Inflater {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    Inflater() = default;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (decompressor != nullptr) libdeflate_free_decompressor(decompressor);
    }
};

// libdeflate rather than zlib: a whole stream into a buffer of known size
// is its one job, and it does it in about half zlib's time, which is what
// a lab's readers wait for.
QxStatus DecodeZlib(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength) {
    thread_local Inflater inflater;
    if (inflater.decompressor == nullptr) return kStatusNoMemory;
    size_t used = 0;
    // No actual-size pointer: a stream that ends short of outLength fails.
    libdeflate_result result = libdeflate_zlib_decompress_ex(inflater.decompressor, in, inLength,
                                                             out, outLength, &used, nullptr);
    return result == LIBDEFLATE_SUCCESS && used == inLength ? kStatusOK : kStatusMalformed;
}

QxStatus DecodeBzip2(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength) {
    bz_stream stream;
    memset(&stream, 0, sizeof stream);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return kStatusNoMemory;
    stream.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
    stream.avail_in = static_cast<unsigned>(inLength);
    stream.next_out = reinterpret_cast<char*>(out);
    stream.avail_out = static_cast<unsigned>(outLength);
    int result = BZ_OK;
    // bzip2 hands its output back block by block; go on while it moves.
    while (result == BZ_OK) {
        unsigned before = stream.avail_in + stream.avail_out;
        result = BZ2_bzDecompress(&stream);
        if (result == BZ_OK && stream.avail_in + stream.avail_out == before) break;
    }
    bool whole = result == BZ_STREAM_END && stream.avail_in == 0 && stream.avail_out == 0;
    BZ2_bzDecompressEnd(&stream);
    return whole ? kStatusOK : kStatusMalformed;
}

}  // namespace

QxStatus UDIFDecodeRun(uint32_t type, const uint8_t* in, size_t inLength, uint8_t* out,
                       size_t outLength) {
    if (inLength > kUDIFMostStoredBytes ||
        outLength > kUDIFMostCompressedSectors * kUDIFSectorSize) {
        return kStatusMalformed;
    }
    switch (type) {
    case kUDIFRunADC:
        return DecodeADC(in, inLength, out, outLength);
    case kUDIFRunZlib:
        return DecodeZlib(in, inLength, out, outLength);
    case kUDIFRunBzip2:
        return DecodeBzip2(in, inLength, out, outLength);
    default:
        return kStatusUnsupported;
    }
}

uint32_t UDIFCRC32(uint32_t crc, const uint8_t* bytes, size_t length) {
    // zlib's crc32 takes 32-bit lengths; feed it in pieces.
    while (length > 0) {
        uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
        crc = static_cast<uint32_t>(crc32(crc, bytes, piece));
        bytes += piece;
        length -= piece;
    }
    return crc;
}

void UDIFSay(char* problem, size_t problemSize, const char* format, ...) {
    if (problem == nullptr || problemSize == 0) return;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(problem, problemSize, format, arguments);
    va_end(arguments);
}
