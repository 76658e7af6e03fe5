// PNG on libpng. libpng reports errors by longjmp back to the setjmp of the running call: each
// sequence of libpng calls runs in one function that keeps its state in a plain struct and holds
// no object with a destructor, so the jump skips nothing that must run.
#include "services/image-codecs.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace kel {

namespace {

struct PngRead {
    const uint8_t* data;
    size_t length;
    size_t at;
    uint64_t max_pixels;
    png_structp png;
    png_infop info;
    DecodedImage* out;
    ImageStatus status;   // the status a jump out of libpng reports
};

void png_fail(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void png_quiet(png_structp, png_const_charp) {}

void png_read_bytes(png_structp png, png_bytep to, png_size_t n) {
    auto* r = static_cast<PngRead*>(png_get_io_ptr(png));
    if (n > r->length - r->at) png_error(png, "truncated");
    std::memcpy(to, r->data + r->at, n);
    r->at += n;
}

// Runs libpng over the bytes into r->out->pixels; false after any error (r->status says which).
bool png_decode_guarded(PngRead* r) {
    if (setjmp(png_jmpbuf(r->png))) return false;
    png_set_read_fn(r->png, r, png_read_bytes);
    png_set_user_limits(r->png, IMAGE_SIDE_MAX, IMAGE_SIDE_MAX);
    png_read_info(r->png, r->info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(r->png, r->info, &w, &h, &depth, &colour, &interlace, nullptr, nullptr);
    if (!image_decode_size_ok(w, h, r->max_pixels)) return false;
    // every layout becomes 8-bit B, G, R, A
    png_set_expand(r->png);
    png_set_scale_16(r->png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(r->png);
    png_set_bgr(r->png);
    png_set_add_alpha(r->png, 0xFF, PNG_FILLER_AFTER);
    int passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    if (png_get_rowbytes(r->png, r->info) != size_t(w) * 4) return false;
    r->status = ImageStatus::NoMemory;
    r->out->pixels = static_cast<uint32_t*>(std::malloc(size_t(w) * h * 4));
    if (!r->out->pixels) return false;
    r->status = ImageStatus::BadData;
    r->out->width = w;
    r->out->height = h;
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y)
            png_read_row(r->png, reinterpret_cast<png_bytep>(r->out->pixels + size_t(y) * w), nullptr);
    // the chunks after the image data, through IEND, must be there and sound too
    png_read_end(r->png, nullptr);
    return true;
}

struct PngWrite {
    const uint32_t* pixels;
    uint32_t width, height;
    bool opaque;
    png_structp png;
    png_infop info;
    EncodedBytes* out;
    ImageStatus status;
};

void png_write_bytes(png_structp png, png_bytep bytes, png_size_t n) {
    auto* w = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (!encoded_append(w->out, bytes, n)) {
        w->status = ImageStatus::NoMemory;
        png_error(png, "no memory");
    }
}

void png_flush(png_structp) {}

bool png_encode_guarded(PngWrite* w) {
    if (setjmp(png_jmpbuf(w->png))) return false;
    png_set_write_fn(w->png, w, png_write_bytes, png_flush);
    png_set_IHDR(w->png, w->info, w->width, w->height, 8,
                 w->opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(w->png, w->info);
    // rows are given as the stored B, G, R, A bytes
    png_set_bgr(w->png);
    if (w->opaque) png_set_filler(w->png, 0, PNG_FILLER_AFTER);
    for (uint32_t y = 0; y < w->height; ++y)
        png_write_row(w->png, reinterpret_cast<png_const_bytep>(w->pixels + size_t(y) * w->width));
    png_write_end(w->png, nullptr);
    return true;
}

} // namespace

ImageStatus image_png_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    PngRead r{data, length, 0, max_pixels, nullptr, nullptr, out, ImageStatus::BadData};
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
    if (!r.png) return ImageStatus::NoMemory;
    r.info = png_create_info_struct(r.png);
    if (!r.info) {
        png_destroy_read_struct(&r.png, nullptr, nullptr);
        return ImageStatus::NoMemory;
    }
    bool ok = png_decode_guarded(&r);
    png_destroy_read_struct(&r.png, &r.info, nullptr);
    if (ok) return ImageStatus::Ok;
    std::free(out->pixels);
    *out = DecodedImage{};
    return r.status;
}

ImageStatus image_png_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    *out = EncodedBytes{};
    bool opaque = true;
    for (size_t i = 0, n = size_t(width) * height; i < n && opaque; ++i) opaque = (pixels[i] >> 24) == 255;
    PngWrite w{pixels, width, height, opaque, nullptr, nullptr, out, ImageStatus::BadData};
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
    if (!w.png) return ImageStatus::NoMemory;
    w.info = png_create_info_struct(w.png);
    if (!w.info) {
        png_destroy_write_struct(&w.png, nullptr);
        return ImageStatus::NoMemory;
    }
    bool ok = png_encode_guarded(&w);
    png_destroy_write_struct(&w.png, &w.info);
    if (ok) return ImageStatus::Ok;
    encoded_free(out);
    return w.status;
}

} // namespace kel
