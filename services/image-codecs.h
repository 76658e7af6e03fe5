// Image codecs: encoded PNG, JPEG, GIF, TIFF and BMP bytes to straight pixels and back.
//
// Pixels are the image store's words (services/image.h): A << 24 | R << 16 | G << 8 | B, straight
// alpha, rows top down, no padding. Everything here works on malloc'd memory only and allocates
// nothing from the memory manager, raises no language error and prints nothing: a decoder reads
// the bytes where they lie and answers a status, an encoder fills a malloc'd buffer. The callers
// (platform_image_from_bytes, platform_image_load_file, platform_image_encode) turn the results
// into records, binaries and errors.
//
// The libraries' own failure paths (libpng and libjpeg leave by longjmp) stay inside the codec
// sources: each library call sequence runs in a small function that holds no object with a
// destructor, and every buffer it took is freed before its status comes back.
//
// Decoders never give a partial picture: data that is corrupt or ends early (also where a library
// would finish the picture with filler rows) is BadData, as is a picture with a side above 65535,
// width × height of 2^31 or more, or more pixels than the caller's cap. The size is checked before
// the pixels are allocated.
#pragma once

#include "services/image.h"

#include <cstddef>
#include <cstdint>

namespace kel {

// A decoded picture; pixels is malloc'd (the caller frees it or hands it to platform_image_new).
struct DecodedImage {
    uint32_t* pixels = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
};

enum class ImageStatus { Ok, BadData, NoMemory };

// An encoder's output: length bytes at data (malloc'd, capacity bytes of room).
struct EncodedBytes {
    uint8_t* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

// Appends n bytes, growing the buffer; false when memory runs out (the bytes so far stay).
bool encoded_append(EncodedBytes* out, const void* bytes, size_t n);
// Frees the buffer and empties the record.
void encoded_free(EncodedBytes* out);

// The largest picture a decoder gives unless its caller asks for less.
constexpr uint64_t IMAGE_DECODE_MAX_PIXELS = IMAGE_PIXELS_LIMIT - 1;

// The format of encoded bytes by their signature (IMAGE_BMP ... IMAGE_TIFF), or -1: PNG
// 89 50 4E 47, JPEG FF D8 FF, BMP "BM", GIF "GIF87a"/"GIF89a", TIFF "II*" 00 or "MM" 00 "*".
int32_t image_codec_format(const uint8_t* data, size_t length);

// Decodes bytes of the format their signature names (an unknown signature is BadData). On any
// status but Ok, out is left empty and nothing stays allocated.
ImageStatus image_codec_decode(const uint8_t* data, size_t length, DecodedImage* out,
                               uint64_t max_pixels = IMAGE_DECODE_MAX_PIXELS);
// Encodes width × height pixels (both above 0) in a format; on any status but Ok, out is empty.
ImageStatus image_codec_encode(const uint32_t* pixels, uint32_t width, uint32_t height,
                               int32_t format, EncodedBytes* out);

// One codec each. Decoders expect their own signature but check everything themselves.
ImageStatus image_png_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels);
ImageStatus image_png_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out);
ImageStatus image_jpeg_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels);
// Alpha is dropped; quality 90, 4:2:0 chroma subsampling.
ImageStatus image_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out);
ImageStatus image_gif_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels);
ImageStatus image_gif_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out);
ImageStatus image_tiff_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels);
ImageStatus image_tiff_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out);
ImageStatus image_bmp_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels);
ImageStatus image_bmp_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out);

// Whether a decoder may give a picture of this size.
inline bool image_decode_size_ok(uint64_t width, uint64_t height, uint64_t max_pixels) {
    return width > 0 && height > 0 && image_size_fits(width, height) && width * height <= max_pixels;
}

} // namespace kel
