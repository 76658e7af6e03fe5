// Shared checks of the image decoder fuzz targets. Any bytes given to a decoder must give a
// picture or a failure status, never a crash, a hang, a leak or a read outside the input; a
// picture stays within the cap and its sides; it encodes again in the same format, and for the
// lossless formats that encoding decodes back to the same pixels.
#pragma once

#include "services/image-codecs.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace kel_fuzz {

using ImageDecoder = kel::ImageStatus (*)(const uint8_t*, size_t, kel::DecodedImage*, uint64_t);
using ImageEncoder = kel::ImageStatus (*)(const uint32_t*, uint32_t, uint32_t, kel::EncodedBytes*);

// Pictures above this many pixels are refused in the fuzz runs (the decoders' own cap is far
// higher), so that a header asking for a huge picture costs little.
constexpr uint64_t kFuzzPixels = uint64_t(1) << 20;

inline void check_image(ImageDecoder decode, ImageEncoder encode, bool lossless, const uint8_t* data,
                        size_t size) {
    // the input in an exact-size buffer, so that reads past it are reported
    std::vector<uint8_t> in(data, data + size);
    kel::DecodedImage img;
    kel::ImageStatus s = decode(in.data(), in.size(), &img, kFuzzPixels);
    if (s != kel::ImageStatus::Ok) {
        if (img.pixels) __builtin_trap();
        return;
    }
    uint64_t n = uint64_t(img.width) * img.height;
    if (!img.pixels || n == 0 || n > kFuzzPixels || img.width > 65535 || img.height > 65535) __builtin_trap();
    kel::EncodedBytes out;
    kel::ImageStatus e = encode(img.pixels, img.width, img.height, &out);
    if (e == kel::ImageStatus::Ok && lossless) {
        kel::DecodedImage back;
        if (decode(out.data, out.length, &back, kFuzzPixels) != kel::ImageStatus::Ok) __builtin_trap();
        if (back.width != img.width || back.height != img.height ||
            std::memcmp(back.pixels, img.pixels, size_t(n) * 4) != 0)
            __builtin_trap();
        std::free(back.pixels);
    }
    kel::encoded_free(&out);
    std::free(img.pixels);
}

} // namespace kel_fuzz
