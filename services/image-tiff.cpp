// TIFF on libtiff, over memory through TIFFClientOpen. The first directory is decoded: 8-bit
// RGB and RGBA in strips, top-left orientation, are read scanline by scanline; every other layout
// through the library's RGBA reader, whose R, G, B, A bytes carry premultiplied alpha and are
// reordered and made straight. Pictures are written as 8-bit RGBA with unassociated alpha, LZW
// compressed. The library's messages go to handlers that drop them; a file from which the library
// had to drop directory entries it could not read is refused.
#include "services/image-codecs.h"
#include "services/lazy-libraries.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kel {

namespace {

// A file in memory: read from the bytes given, or written into an encoder's buffer.
struct MemFile {
    const uint8_t* data;
    size_t length;
    uint64_t at;
    EncodedBytes* out;   // null when reading
    bool no_memory;
    bool damaged;        // the library dropped or guessed something it could not read
};

tmsize_t mem_read(thandle_t h, void* to, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (n <= 0 || f->at >= f->length) return 0;
    size_t k = std::min<uint64_t>(uint64_t(n), f->length - f->at);
    std::memcpy(to, f->data + f->at, k);
    f->at += k;
    return tmsize_t(k);
}

tmsize_t mem_write(thandle_t h, void* from, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (!f->out || n < 0) return -1;
    EncodedBytes* o = f->out;
    if (f->at > o->length + (uint64_t(1) << 30)) return -1;
    // a gap left by a seek past the end is filled with zeros
    static const uint8_t zeros[4096] = {};
    while (o->length < f->at) {
        if (!encoded_append(o, zeros, size_t(std::min<uint64_t>(sizeof zeros, f->at - o->length)))) {
            f->no_memory = true;
            return -1;
        }
    }
    size_t over = size_t(std::min<uint64_t>(uint64_t(n), o->length - f->at));
    if (over) std::memcpy(o->data + f->at, from, over);
    if (!encoded_append(o, static_cast<const uint8_t*>(from) + over, size_t(n) - over)) {
        f->no_memory = true;
        return -1;
    }
    f->at += uint64_t(n);
    f->data = o->data;
    f->length = o->length;
    return n;
}

toff_t mem_seek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(f->at) : int64_t(f->length);
    int64_t to = base + int64_t(off);
    if (to < 0) return toff_t(-1);
    f->at = uint64_t(to);
    return toff_t(to);
}

int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemFile*>(h)->length; }

int mem_map(thandle_t h, void** base, toff_t* size) {
    auto* f = static_cast<MemFile*>(h);
    if (f->out) return 0;
    *base = const_cast<uint8_t*>(f->data);
    *size = f->length;
    return 1;
}

void mem_unmap(thandle_t, void*, toff_t) {}

int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Warnings are dropped too, except that those telling of directory entries the library could not
// read (and left out, or replaced by a guess: a palette picture without its colour map is taken
// for grey) mark the file damaged. Such files are refused rather than shown otherwise than written.
int tiff_warning(TIFF*, void* user, const char*, const char* format, va_list) {
    static const char* const losses[] = {"ignored", "assum", "IO error", "Read error", "Missing", "Sanity check"};
    for (const char* word : losses) {
        if (std::strstr(format, word)) {
            static_cast<MemFile*>(user)->damaged = true;
            break;
        }
    }
    return 1;
}

TIFF* open_mem(MemFile* f, const char* mode, uint64_t max_alloc) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts, tiff_quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, tiff_warning, f);
    if (max_alloc) TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(std::min<uint64_t>(max_alloc, INT64_MAX)));
    TIFF* tif = TIFFClientOpenExt("memory", mode, f, mem_read, mem_write, mem_seek, mem_close, mem_size,
                                  mem_map, mem_unmap, opts);
    TIFFOpenOptionsFree(opts);
    return tif;
}

// Whether the first directory is 8-bit RGB or RGBA in strips, top-left; alpha tells whether a
// fourth sample is straight (1) or premultiplied (2) alpha, 0 for none.
bool plain_rgb(TIFF* tif, int* alpha) {
    uint16_t bits = 0, spp = 0, photometric = 0, planar = 0, orientation = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if (TIFFIsTiled(tif) || bits != 8 || planar != PLANARCONFIG_CONTIG || photometric != PHOTOMETRIC_RGB ||
        orientation != ORIENTATION_TOPLEFT)
        return false;
    *alpha = 0;
    if (spp == 3) return true;
    if (spp != 4) return false;
    uint16_t count = 0;
    uint16_t* kinds = nullptr;
    if (!TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) || count != 1) return false;
    if (kinds[0] == EXTRASAMPLE_UNASSALPHA) *alpha = 1;
    else if (kinds[0] == EXTRASAMPLE_ASSOCALPHA) *alpha = 2;
    else return false;
    return true;
}

ImageStatus tiff_decode_open(TIFF* tif, DecodedImage* out, uint64_t max_pixels) {
    uint32_t w = 0, h = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h))
        return ImageStatus::BadData;
    if (!image_decode_size_ok(w, h, max_pixels)) return ImageStatus::BadData;
    int alpha = 0;
    bool plain = plain_rgb(tif, &alpha);
    char message[1024];
    if (!plain && !TIFFRGBAImageOK(tif, message)) return ImageStatus::BadData;
    out->pixels = static_cast<uint32_t*>(std::malloc(size_t(w) * h * 4));
    if (!out->pixels) return ImageStatus::NoMemory;
    out->width = w;
    out->height = h;
    size_t n = size_t(w) * h;
    if (!plain) {
        if (!TIFFReadRGBAImageOriented(tif, w, h, out->pixels, ORIENTATION_TOPLEFT, 1)) return ImageStatus::BadData;
        // R, G, B, A bytes premultiplied: our word order, straight
        for (size_t i = 0; i < n; ++i) {
            uint32_t p = out->pixels[i];
            uint32_t q = (p & 0xFF00FF00u) | (p & 0xFF) << 16 | (p >> 16 & 0xFF);
            out->pixels[i] = image_unpremultiply(q);
        }
        return ImageStatus::Ok;
    }
    tmsize_t line = TIFFScanlineSize(tif);
    size_t spp = alpha ? 4 : 3;
    if (line < tmsize_t(w * spp)) return ImageStatus::BadData;
    auto* row = static_cast<uint8_t*>(std::malloc(size_t(line)));
    if (!row) return ImageStatus::NoMemory;
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif, row, y, 0) < 0) {
            std::free(row);
            return ImageStatus::BadData;
        }
        uint32_t* to = out->pixels + size_t(y) * w;
        const uint8_t* s = row;
        for (uint32_t x = 0; x < w; ++x, s += spp) {
            uint32_t p = uint32_t(alpha ? s[3] : 255) << 24 | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2];
            to[x] = alpha == 2 ? image_unpremultiply(p) : p;
        }
    }
    std::free(row);
    return ImageStatus::Ok;
}

bool tiff_encode_open(TIFF* tif, const uint32_t* pixels, uint32_t w, uint32_t h) {
    uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    if (!TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w) || !TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h) ||
        !TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) || !TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4) ||
        !TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra) ||
        !TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) ||
        !TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) ||
        !TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) ||
        !TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) ||
        !TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0)))
        return false;
    auto* row = static_cast<uint8_t*>(std::malloc(size_t(w) * 4));
    if (!row) return false;
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t* p = pixels + size_t(y) * w;
        for (uint32_t x = 0; x < w; ++x) {
            row[x * 4] = uint8_t(p[x] >> 16);
            row[x * 4 + 1] = uint8_t(p[x] >> 8);
            row[x * 4 + 2] = uint8_t(p[x]);
            row[x * 4 + 3] = uint8_t(p[x] >> 24);
        }
        if (TIFFWriteScanline(tif, row, y, 0) < 0) {
            std::free(row);
            return false;
        }
    }
    std::free(row);
    return TIFFWriteDirectory(tif) != 0;
}

} // namespace

ImageStatus image_tiff_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    if (!lazy_library_open(LazyLibrary::Tiff)) return ImageStatus::BadData;
    MemFile f{data, length, 0, nullptr, false, false};
    // no single buffer of the library's beyond twice the largest picture allowed
    TIFF* tif = open_mem(&f, "r", std::min<uint64_t>(max_pixels, IMAGE_DECODE_MAX_PIXELS) * 8 + (16u << 20));
    if (!tif) return ImageStatus::BadData;
    ImageStatus s = f.damaged ? ImageStatus::BadData : tiff_decode_open(tif, out, max_pixels);
    if (s == ImageStatus::Ok && f.damaged) s = ImageStatus::BadData;
    TIFFClose(tif);
    if (s != ImageStatus::Ok) {
        std::free(out->pixels);
        *out = DecodedImage{};
    }
    return s;
}

ImageStatus image_tiff_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    *out = EncodedBytes{};
    if (!lazy_library_open(LazyLibrary::Tiff)) return ImageStatus::BadData;
    MemFile f{nullptr, 0, 0, out, false, false};
    TIFF* tif = open_mem(&f, "w", 0);
    if (!tif) return ImageStatus::NoMemory;
    bool ok = tiff_encode_open(tif, pixels, width, height);
    TIFFClose(tif);   // writes what is pending
    if (ok && !f.no_memory) return ImageStatus::Ok;
    encoded_free(out);
    return f.no_memory ? ImageStatus::NoMemory : ImageStatus::BadData;
}

} // namespace kel
