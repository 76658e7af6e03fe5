// Choosing a codec by signature, the encoders' output buffer, and the platform image entries that
// decode and encode (services/image.h): the only place where codec results become records,
// binaries and errors.
#include "services/image-codecs.h"

#include "core/errors.h"
#include "core/output.h"
#include "datatypes/binary.h"
#include "services/files.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kel {

bool encoded_append(EncodedBytes* out, const void* bytes, size_t n) {
    if (n > out->capacity - out->length) {
        size_t want = out->length + n;
        if (want < out->length) return false;
        size_t cap = out->capacity ? out->capacity : 4096;
        while (cap < want) {
            if (cap > SIZE_MAX / 2) {
                cap = want;
                break;
            }
            cap *= 2;
        }
        auto* grown = static_cast<uint8_t*>(std::realloc(out->data, cap));
        if (!grown) return false;
        out->data = grown;
        out->capacity = cap;
    }
    if (n) std::memcpy(out->data + out->length, bytes, n);
    out->length += n;
    return true;
}

void encoded_free(EncodedBytes* out) {
    std::free(out->data);
    *out = EncodedBytes{};
}

int32_t image_codec_format(const uint8_t* b, size_t len) {
    auto starts = [&](const char* sig, size_t n) { return len >= n && std::memcmp(b, sig, n) == 0; };
    if (starts("\x89PNG", 4)) return IMAGE_PNG;
    if (starts("\xFF\xD8\xFF", 3)) return IMAGE_JPEG;
    if (starts("BM", 2)) return IMAGE_BMP;
    if (starts("GIF87a", 6) || starts("GIF89a", 6)) return IMAGE_GIF;
    if (starts("II*\0", 4) || starts("MM\0*", 4)) return IMAGE_TIFF;
    return -1;
}

ImageStatus image_codec_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    ImageStatus s = ImageStatus::BadData;
    switch (image_codec_format(data, length)) {
        case IMAGE_PNG: s = image_png_decode(data, length, out, max_pixels); break;
        case IMAGE_JPEG: s = image_jpeg_decode(data, length, out, max_pixels); break;
        case IMAGE_BMP: s = image_bmp_decode(data, length, out, max_pixels); break;
        case IMAGE_GIF: s = image_gif_decode(data, length, out, max_pixels); break;
        case IMAGE_TIFF: s = image_tiff_decode(data, length, out, max_pixels); break;
        default: break;
    }
    if (s != ImageStatus::Ok) {
        std::free(out->pixels);
        *out = DecodedImage{};
    }
    return s;
}

ImageStatus image_codec_encode(const uint32_t* pixels, uint32_t width, uint32_t height, int32_t format,
                               EncodedBytes* out) {
    *out = EncodedBytes{};
    ImageStatus s = ImageStatus::BadData;
    if (width == 0 || height == 0) return s;
    switch (format) {
        case IMAGE_BMP: s = image_bmp_encode(pixels, width, height, out); break;
        case IMAGE_PNG: s = image_png_encode(pixels, width, height, out); break;
        case IMAGE_GIF: s = image_gif_encode(pixels, width, height, out); break;
        case IMAGE_JPEG: s = image_jpeg_encode(pixels, width, height, out); break;
        case IMAGE_TIFF: s = image_tiff_encode(pixels, width, height, out); break;
        default: break;
    }
    if (s != ImageStatus::Ok) encoded_free(out);
    return s;
}

// ---- The platform image entries ------------------------------------------------------------------

namespace {

Node record_from(ImageStatus s, DecodedImage& img) {
    if (s == ImageStatus::NoMemory) fire_error(Err::NoMemory);
    if (s != ImageStatus::Ok) return 0;
    // platform_image_new takes the pixels over (and frees them when the record cannot be made)
    return platform_image_new(img.pixels, IMG_PIXELS_VALID | IMG_PIXELS_CHANGED, img.width, img.height);
}

} // namespace

Node platform_image_from_bytes(const uint8_t* data, size_t length) {
    DecodedImage img;
    ImageStatus s = image_codec_decode(data, length, &img);
    return record_from(s, img);
}

Node platform_image_load_file(const char* path) {
    DecodedImage img;
    ImageStatus s;
    {
        std::vector<uint8_t> bytes;
        if (!files_read_all(path, bytes)) return 0;
        s = image_codec_decode(bytes.data(), bytes.size(), &img);
    }
    return record_from(s, img);
}

bool platform_image_encode(const Cell* image, Cell* result, int32_t format) {
    if (format < IMAGE_BMP || format > IMAGE_TIFF) {
        static const char line[] = "Cannot find image encoder";
        output_write_text(line, sizeof line - 1, 1, true);
        return false;
    }
    uint32_t w = image->data2 ? platform_image_width(image->data2) : 0;
    uint32_t h = image->data2 ? platform_image_height(image->data2) : 0;
    if (w == 0 || h == 0) {
        binary_make(result, 1);
        return true;
    }
    // the store is malloc'd: it stays where it is while the encoder runs and the binary is made
    const uint32_t* px = platform_image_pixels(image->data2);
    EncodedBytes bytes;
    ImageStatus s = image_codec_encode(px, w, h, format, &bytes);
    if (s == ImageStatus::NoMemory) fire_error(Err::NoMemory);
    if (s != ImageStatus::Ok || bytes.length > uint64_t(INT32_MAX) - 64) {
        encoded_free(&bytes);
        fire_error(Err::BadMedia);
    }
    struct Release {
        EncodedBytes* b;
        ~Release() { encoded_free(b); }
    } release{&bytes};
    binary_load_into(bytes.data, uint32_t(bytes.length), result);
    return true;
}

} // namespace kel
