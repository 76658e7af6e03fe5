// JPEG on libjpeg. The library's error_exit would end the process: ours jumps back to the setjmp
// of the running call instead, and each sequence of libjpeg calls runs in one function that keeps
// its state in a plain struct and holds no object with a destructor. Messages are never printed.
// Warnings that mean the library made data up (the input ended early, a segment was cut short or
// a bad code was skipped: it would go on with filler) fail the decoding as errors do.
#include "services/image-codecs.h"

// jpeglib.h needs size_t and FILE declared first
#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace kel {

namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    ImageStatus status;   // the status a jump reports
};

void jpeg_fail(j_common_ptr cinfo) {
    auto* e = reinterpret_cast<JpegError*>(cinfo->err);
    if (e->mgr.msg_code == JERR_OUT_OF_MEMORY) e->status = ImageStatus::NoMemory;
    std::longjmp(e->jump, 1);
}

void jpeg_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;   // trace messages
    auto* e = reinterpret_cast<JpegError*>(cinfo->err);
    switch (e->mgr.msg_code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_MUST_RESYNC:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_NOT_SEQUENTIAL:
            std::longjmp(e->jump, 1);
        default:
            break;
    }
}

void jpeg_silent(j_common_ptr) {}

void jpeg_errors(JpegError* e) {
    jpeg_std_error(&e->mgr);
    e->mgr.error_exit = jpeg_fail;
    e->mgr.emit_message = jpeg_message;
    e->mgr.output_message = jpeg_silent;
    e->status = ImageStatus::BadData;
}

struct JpegRead {
    const uint8_t* data;
    size_t length;
    uint64_t max_pixels;
    jpeg_decompress_struct cinfo;
    JpegError err;
    DecodedImage* out;
    uint8_t* row;   // a CMYK row, converted from there
};

// Four-colour pixels to R, G, B: Adobe's writers store the inks inverted.
void cmyk_row(const uint8_t* from, uint32_t* to, uint32_t width, bool inverted) {
    for (uint32_t x = 0; x < width; ++x, from += 4) {
        uint32_t c = from[0], m = from[1], y = from[2], k = from[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
        to[x] = 0xFF000000u | r << 16 | g << 8 | b;
    }
}

bool jpeg_decode_guarded(JpegRead* r) {
    jpeg_decompress_struct* ci = &r->cinfo;
    if (setjmp(r->err.jump)) return false;
    jpeg_create_decompress(ci);
    jpeg_mem_src(ci, r->data, static_cast<unsigned long>(r->length));
    if (jpeg_read_header(ci, TRUE) != JPEG_HEADER_OK) return false;
    uint32_t w = ci->image_width, h = ci->image_height;
    if (!image_decode_size_ok(w, h, r->max_pixels)) return false;
    // the library's own buffers stay in proportion to the picture
    ci->mem->max_memory_to_use = long(uint64_t(w) * h * 16 + (64u << 20));
    bool cmyk = ci->jpeg_color_space == JCS_CMYK || ci->jpeg_color_space == JCS_YCCK;
    ci->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(ci);
    if (ci->output_width != w || ci->output_height != h || ci->output_components != 4) return false;
    r->err.status = ImageStatus::NoMemory;
    r->out->pixels = static_cast<uint32_t*>(std::malloc(size_t(w) * h * 4));
    if (!r->out->pixels) return false;
    if (cmyk && !(r->row = static_cast<uint8_t*>(std::malloc(size_t(w) * 4)))) return false;
    r->err.status = ImageStatus::BadData;
    r->out->width = w;
    r->out->height = h;
    while (ci->output_scanline < h) {
        uint32_t* to = r->out->pixels + size_t(ci->output_scanline) * w;
        JSAMPROW row = cmyk ? r->row : reinterpret_cast<JSAMPROW>(to);
        if (jpeg_read_scanlines(ci, &row, 1) != 1) return false;
        if (cmyk) cmyk_row(r->row, to, w, ci->saw_Adobe_marker);
    }
    // reads on to the end marker: a file cut after the last row fails here
    jpeg_finish_decompress(ci);
    return true;
}

struct JpegWrite {
    const uint32_t* pixels;
    uint32_t width, height;
    jpeg_compress_struct cinfo;
    JpegError err;
    jpeg_destination_mgr dest;
    EncodedBytes* out;
};

constexpr size_t JPEG_CHUNK = 65536;

// The destination is the encoder's buffer: the library writes into its free room, which grows by
// a chunk whenever it is full.
bool grow_room(JpegWrite* w) {
    EncodedBytes* o = w->out;
    if (o->capacity - o->length < JPEG_CHUNK) {
        size_t cap = o->capacity ? o->capacity : JPEG_CHUNK;
        while (cap - o->length < JPEG_CHUNK) cap *= 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(o->data, cap));
        if (!grown) return false;
        o->data = grown;
        o->capacity = cap;
    }
    w->dest.next_output_byte = o->data + o->length;
    w->dest.free_in_buffer = o->capacity - o->length;
    return true;
}

JpegWrite* writer_of(j_compress_ptr ci) {
    return static_cast<JpegWrite*>(ci->client_data);
}

void dest_init(j_compress_ptr ci) {
    JpegWrite* w = writer_of(ci);
    if (!grow_room(w)) {
        w->err.status = ImageStatus::NoMemory;
        std::longjmp(w->err.jump, 1);
    }
}

boolean dest_full(j_compress_ptr ci) {
    JpegWrite* w = writer_of(ci);
    w->out->length = w->out->capacity;   // the library filled the whole room
    if (!grow_room(w)) {
        w->err.status = ImageStatus::NoMemory;
        std::longjmp(w->err.jump, 1);
    }
    return TRUE;
}

void dest_done(j_compress_ptr ci) {
    JpegWrite* w = writer_of(ci);
    w->out->length = w->out->capacity - w->dest.free_in_buffer;
}

bool jpeg_encode_guarded(JpegWrite* w) {
    jpeg_compress_struct* ci = &w->cinfo;
    if (setjmp(w->err.jump)) return false;
    jpeg_create_compress(ci);
    w->dest.init_destination = dest_init;
    w->dest.empty_output_buffer = dest_full;
    w->dest.term_destination = dest_done;
    ci->dest = &w->dest;
    ci->image_width = w->width;
    ci->image_height = w->height;
    ci->input_components = 4;
    ci->in_color_space = JCS_EXT_BGRX;   // the stored B, G, R bytes; alpha is left out
    jpeg_set_defaults(ci);
    jpeg_set_quality(ci, 90, TRUE);
    jpeg_start_compress(ci, TRUE);
    while (ci->next_scanline < w->height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(w->pixels + size_t(ci->next_scanline) * w->width));
        jpeg_write_scanlines(ci, &row, 1);
    }
    jpeg_finish_compress(ci);
    return true;
}

} // namespace

ImageStatus image_jpeg_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    auto* r = static_cast<JpegRead*>(std::calloc(1, sizeof(JpegRead)));
    if (!r) return ImageStatus::NoMemory;
    r->data = data;
    r->length = length;
    r->max_pixels = max_pixels;
    r->out = out;
    r->cinfo.err = &r->err.mgr;
    jpeg_errors(&r->err);
    bool ok = length > 0 && jpeg_decode_guarded(r);
    ImageStatus status = ok ? ImageStatus::Ok : r->err.status;
    jpeg_destroy_decompress(&r->cinfo);
    std::free(r->row);
    std::free(r);
    if (!ok) {
        std::free(out->pixels);
        *out = DecodedImage{};
    }
    return status;
}

ImageStatus image_jpeg_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    *out = EncodedBytes{};
    auto* w = static_cast<JpegWrite*>(std::calloc(1, sizeof(JpegWrite)));
    if (!w) return ImageStatus::NoMemory;
    w->pixels = pixels;
    w->width = width;
    w->height = height;
    w->out = out;
    w->cinfo.err = &w->err.mgr;
    w->cinfo.client_data = w;   // kept by jpeg_create_compress
    jpeg_errors(&w->err);
    bool ok = width <= JPEG_MAX_DIMENSION && height <= JPEG_MAX_DIMENSION && jpeg_encode_guarded(w);
    ImageStatus status = ok ? ImageStatus::Ok : w->err.status;
    jpeg_destroy_compress(&w->cinfo);
    std::free(w);
    if (!ok) encoded_free(out);
    return status;
}

} // namespace kel
