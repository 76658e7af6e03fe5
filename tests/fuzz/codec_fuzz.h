// Shared checks of the decoder fuzz targets. A decoder given any bytes must return a status,
// never crash, hang or read outside its buffers, and agree with itself: decoding into a large
// buffer and counting with no buffer give the same size, and what decodes re-encodes with our
// encoder and decodes back to the same bytes.
#pragma once

#include "services/compress.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kel_fuzz {

using Codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

inline void check_codec(Codec decode, Codec encode, const uint8_t* data, size_t size) {
    if (size > (1 << 16)) return;
    // the input in an exact-size buffer, so reads past it are reported
    std::vector<uint8_t> in(data, data + size);
    static std::vector<uint8_t> out(1 << 20);
    size_t n = out.size();
    const int status = decode(out.data(), &n, in.data(), in.size());
    if (status < 0 || status > 5) __builtin_trap();

    size_t counted = 0;
    const int count_status = decode(nullptr, &counted, in.data(), in.size());
    if (status == kel::kCodecOk || status == kel::kCodecShort) {
        // a count of everything agrees with the stored run
        if (counted != n) __builtin_trap();
        if (count_status != (n == 0 ? kel::kCodecOk : kel::kCodecShort)) __builtin_trap();
        if ((status == kel::kCodecShort) != (n > out.size())) __builtin_trap();
    } else if (count_status == kel::kCodecOk) {
        // bad data never passes when only counted (check sums are taken over stored bytes only,
        // so a later fault may be the one reported)
        __builtin_trap();
    }
    if (status != kel::kCodecOk) return;

    std::vector<uint8_t> again(kel::deflate_bound(n) + kel::kGzipOverhead);
    size_t m = again.size();
    if (encode(again.data(), &m, out.data(), n) != kel::kCodecOk) __builtin_trap();
    std::vector<uint8_t> back(n + 1);
    size_t k = back.size();
    if (decode(back.data(), &k, again.data(), m) != kel::kCodecOk) __builtin_trap();
    if (k != n || std::memcmp(back.data(), out.data(), n) != 0) __builtin_trap();
}

} // namespace kel_fuzz
