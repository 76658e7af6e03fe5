// Compression codecs over plain byte buffers: the runtime's own LZ77 format, and deflate with
// its zlib and gzip frames. Nothing here touches collector memory, so input and output may be
// series buffers as long as no collector allocation happens during the call.
//
// LZ77 (lz77.cpp). A compressed buffer is an 8-byte header (little-endian: the number of bytes
// after the header, then the uncompressed size) followed by blocks; each block is a 4-byte length
// L (1 to 1048576) and a bit stream producing exactly L bytes, padded to a whole byte. Matches
// never reach into an earlier block.
//
// Deflate (deflate.cpp, inflate.cpp). The five codec entries share one call shape:
//     status = codec(output, &size, input, input_length)
// On entry size holds the output capacity, on return the number of bytes produced (or, with
// status 1, the number that would have been produced: decoders keep counting without storing
// past the capacity, so a null output with capacity 0 asks for the size; a null output counts as
// capacity 0 whatever the size word says). The encoder writes one
// fixed-Huffman block; the decoder reads stored, fixed and dynamic blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kel {

// ---- LZ77 ----

constexpr size_t kLzMinInput = 128;        // shorter input is not compressed
constexpr size_t kLzBlock = 1048576;       // uncompressed bytes per block at most
constexpr size_t kLzHeader = 8;

// Compresses len bytes into dst, which holds at least len bytes. Returns the total compressed
// size (header included), or -1 when the input is shorter than kLzMinInput bytes, longer than a
// 32-bit size, or would not compress into len bytes.
int64_t lz_compress(const uint8_t* src, size_t len, uint8_t* dst);

// Decompresses the in_len bytes at in. Returns a malloc'd buffer of (uncompressed size + 8)
// bytes holding the uncompressed data and stores the uncompressed size in *out_size (when not
// null), or returns null on malformed input: a block length outside 1..1048576, a match reaching
// before its block or past its end, blocks that do not add up to the header's byte count or
// uncompressed size, a read past the input, or an uncompressed size larger than the input could
// encode (refused before allocating).
uint8_t* lz_decompress(const uint8_t* in, size_t in_len, size_t* out_size);

// ---- deflate, zlib, gzip ----

enum CodecStatus : int {
    kCodecOk = 0,
    kCodecShort = 1,        // output too small; size tells how much was or would be produced
    kCodecBadData = 2,      // framing, checksum, length or code-table error; truncated input
    kCodecStoredPastEnd = 3,// a stored block runs past the input
    kCodecBlockType3 = 4,   // reserved block type
    kCodecFarDistance = 5,  // a distance reaches before the output start
};

int deflate_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);
int inflate_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);
int zlib_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);
int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);
int gzip_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);
int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t len);

// The deflate encoder's worst-case output for len input bytes, without framing: every byte a
// 9-bit literal, plus the block header and the end-of-block code.
constexpr size_t deflate_bound(size_t len) { return len + len / 8 + 3; }
constexpr size_t kZlibOverhead = 6;
constexpr size_t kGzipOverhead = 18;

enum class CodecMethod { Deflate, Zlib, Gzip };

// Growing-output forms: run the codec into out, sized to what it produces. A decoder is first
// given a capacity guessed from the input; after status 1 it runs once more with exactly the
// reported size. When the output would pass limit bytes nothing more is allocated: the status is
// 1, out is left empty and *size holds the full size. Other statuses are returned as the codec
// gave them (out empty). *size, when not null, receives the produced or needed size.
int codec_compress(CodecMethod method, const uint8_t* in, size_t len, std::vector<uint8_t>& out,
                   size_t limit = SIZE_MAX, size_t* size = nullptr);
int codec_decompress(CodecMethod method, const uint8_t* in, size_t len, std::vector<uint8_t>& out,
                     size_t limit = SIZE_MAX, size_t* size = nullptr);

} // namespace kel
