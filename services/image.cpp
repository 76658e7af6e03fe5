// The platform image layer (see image.h): records, stores, the premultiplied form, the render
// cache, and the pixel transforms (copy, crop, flip, nearest-neighbour scaling).
//
// Every constructor prepares its pixels in malloc'd memory first and allocates the record last,
// so that nothing it reads (a binary's bytes, another image's store) can move under it, and a
// failed allocation frees the pixels it took.
#include "services/image.h"

#include "core/errors.h"
#include "core/extres.h"
#include "core/gc.h"
#include "core/output.h"
#include "datatypes/compound.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kel {

namespace {

uint32_t g_kind = 0;
ImageCacheRelease g_cache_release = nullptr;
// Every live store is on one list: the resource table forgets its objects when the runtime is torn
// down without releasing them, and the stores of images alive at that point stay reachable here.
ImageStore* g_stores = nullptr;
// Pixel memory lies outside the collector's heap, so allocating it does not bring a collection
// nearer: after this many bytes of new pixels the next image runs one itself, which releases the
// stores of images no value reaches any more.
constexpr uint64_t PIXEL_BYTES_PER_COLLECTION = 64u << 20;
uint64_t g_pixel_bytes = 0;

void release_cache(ImageStore* st) {
    if (st->cache && g_cache_release) g_cache_release(st->cache);
    st->cache = nullptr;
}

// The release callback of the "image" kind: runs inside the collector's sweep.
void release_store(uint32_t, uint32_t, void* object) {
    auto* st = static_cast<ImageStore*>(object);
    if (!st) return;
    (st->prev ? st->prev->next : g_stores) = st->next;
    if (st->next) st->next->prev = st->prev;
    release_cache(st);
    std::free(st->pixels);
    std::free(st->premul);
    std::free(st);
}

inline uint32_t premultiply(uint32_t p) {
    uint32_t a = p >> 24;
    if (a == 255) return p;
    if (a == 0) return 0;
    auto ch = [a](uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (ch((p >> 16) & 255) << 16) | (ch((p >> 8) & 255) << 8) | ch(p & 255);
}

uint32_t pixel_count(const ImageRecord* r) { return size_width(r->size) * size_height(r->size); }

ImageStore* store_of(const ImageRecord* r) {
    return r->slot >= 0 ? static_cast<ImageStore*>(extres_object(r->slot)) : nullptr;
}

[[noreturn]] void bad_media() { fire_error(Err::BadMedia); }

// The record and store of a value, or nulls for an image without a record.
ImageRecord* record_of(const Cell* image) { return image->data2 ? image_record(image->data2) : nullptr; }

// Straight pixels from the premultiplied form after drawing.
void rebuild_straight(ImageRecord* r, ImageStore* st) {
    uint32_t n = pixel_count(r);
    const uint32_t* from = st->premul ? st->premul : st->pixels;
    for (uint32_t i = 0; i < n; ++i) st->pixels[i] = image_unpremultiply(from[i]);
    // the store served as its own premultiplied form: it is straight again now
    if (!st->premul) r->flags &= ~(IMG_PREMULTIPLIED | IMG_DRAW_TARGET);
    r->flags = (r->flags & ~IMG_DRAWN) | IMG_PIXELS_VALID;
}

} // namespace

uint32_t image_unpremultiply(uint32_t p) {
    uint32_t a = p >> 24;
    if (a == 255) return p;
    if (a == 0) return 0;
    auto ch = [a](uint32_t c) {
        uint32_t v = (c * 255 + a / 2) / a;
        return v > 255 ? 255u : v;
    };
    return (a << 24) | (ch((p >> 16) & 255) << 16) | (ch((p >> 8) & 255) << 8) | ch(p & 255);
}

void platform_image_set_cache_release(ImageCacheRelease release) { g_cache_release = release; }

void platform_image_init() { g_kind = extres_register_kind("image", release_store); }
uint32_t platform_image_kind() { return g_kind; }

bool image_size_fits(uint64_t width, uint64_t height) {
    return width <= IMAGE_SIDE_MAX && height <= IMAGE_SIDE_MAX && width * height < IMAGE_PIXELS_LIMIT;
}

bool image_check_size(int64_t width, int64_t height) {
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    if (!image_size_fits(uint64_t(width), uint64_t(height))) {
        Cell size = make_pair(int32_t(std::min<int64_t>(width, INT32_MAX)),
                              int32_t(std::min<int64_t>(height, INT32_MAX)));
        fire_error(Err::OutOfRange, &size);
    }
    return width > 0 && height > 0;
}

uint32_t* image_alloc_pixels(uint32_t width, uint32_t height) {
    size_t n = size_t(width) * height;
    auto* p = static_cast<uint32_t*>(std::malloc(n ? n * 4 : 4));
    if (!p) fire_error(Err::NoMemory);
    return p;
}

// ---- Construction ----------------------------------------------------------------------------------

Node platform_image_new(uint32_t* pixels, uint32_t flags, uint32_t width, uint32_t height) {
    auto* st = static_cast<ImageStore*>(std::calloc(1, sizeof(ImageStore)));
    if (!st) {
        std::free(pixels);
        fire_error(Err::NoMemory);
    }
    st->pixels = pixels;
    st->next = g_stores;
    if (g_stores) g_stores->prev = st;
    g_stores = st;
    Node node;
    try {
        // the new store is not in the resource table yet: a collection here leaves it alone
        g_pixel_bytes += uint64_t(width) * height * 4;
        if (g_pixel_bytes >= PIXEL_BYTES_PER_COLLECTION && g_collector_enabled) {
            g_pixel_bytes = 0;
            collector_run();
        }
        node = alloc_bytes(sizeof(ImageRecord));
    } catch (...) {
        release_store(0, 0, st);
        throw;
    }
    // nothing allocates from here on: the record is filled and its slot taken at once
    ImageRecord* r = image_record(node);
    r->flags = flags;
    r->size = image_size_word(width, height);
    r->spare = 0;
    r->slot = extres_alloc(st, g_kind);
    return node;
}

Node platform_image_make(uint32_t width, uint32_t height, const uint8_t* rgb, size_t rgb_len,
                         const uint8_t* alpha, size_t alpha_len, const uint8_t* color,
                         uint32_t color_len) {
    if (!image_check_size(width, height)) return 0;
    uint32_t* px = image_alloc_pixels(width, height);
    size_t n = size_t(width) * height;
    if (color && color_len >= 3) {
        uint32_t a = color_len >= 4 ? 255u - color[3] : 255u;
        uint32_t v = (a << 24) | (uint32_t(color[0]) << 16) | (uint32_t(color[1]) << 8) | color[2];
        for (size_t i = 0; i < n; ++i) px[i] = v;
    } else {
        size_t triples = rgb ? rgb_len / 3 : 0;
        if (!alpha) alpha_len = 0;
        for (size_t i = 0; i < n; ++i) {
            uint32_t a = i < alpha_len ? 255u - alpha[i] : 255u;
            uint32_t c = 0xFFFFFF;
            if (i < triples) {
                const uint8_t* t = rgb + i * 3;
                c = (uint32_t(t[0]) << 16) | (uint32_t(t[1]) << 8) | t[2];
            }
            px[i] = (a << 24) | c;
        }
    }
    return platform_image_new(px, IMG_PIXELS_VALID | IMG_PIXELS_CHANGED, width, height);
}

Node platform_image_from_pixels(uint32_t width, uint32_t height, size_t stride, const uint32_t* px) {
    if (!image_check_size(width, height)) return 0;
    if (stride == 0) stride = size_t(width) * 4;
    uint32_t* out = image_alloc_pixels(width, height);
    const auto* row = reinterpret_cast<const uint8_t*>(px);
    for (uint32_t y = 0; y < height; ++y, row += stride)
        std::memcpy(out + size_t(y) * width, row, size_t(width) * 4);
    return platform_image_new(out, IMG_PIXELS_VALID, width, height);
}

Node platform_image_flip_vertical(Node image) {
    if (!image) return 0;
    uint32_t w = platform_image_width(image), h = platform_image_height(image);
    const uint32_t* src = platform_image_pixels(image);
    uint32_t* out = image_alloc_pixels(w, h);
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(out + size_t(y) * w, src + size_t(h - 1 - y) * w, size_t(w) * 4);
    return platform_image_new(out, IMG_PIXELS_VALID, w, h);
}

Node platform_image_resize(const Cell* image, int32_t width, int32_t height) {
    if (!image_check_size(width, height)) return 0;
    ImageRecord* r = record_of(image);
    uint32_t sw = r ? size_width(r->size) : 0, sh = r ? size_height(r->size) : 0;
    uint32_t w = uint32_t(width), h = uint32_t(height);
    uint32_t* out = image_alloc_pixels(w, h);
    if (sw == 0 || sh == 0) {
        for (size_t i = 0; i < size_t(w) * h; ++i) out[i] = 0xFFFFFFFF;
    } else {
        const uint32_t* src = platform_image_pixels(image->data2);
        for (uint32_t y = 0; y < h; ++y) {
            const uint32_t* srow = src + size_t(uint64_t(y) * sh / h) * sw;
            uint32_t* orow = out + size_t(y) * w;
            for (uint32_t x = 0; x < w; ++x) orow[x] = srow[uint64_t(x) * sw / w];
        }
    }
    return platform_image_new(out, IMG_PIXELS_VALID, w, h);
}

void platform_image_copy(const Cell* image, Cell* result) {
    ImageRecord* r = record_of(image);
    uint32_t w = r ? size_width(r->size) : 0, h = r ? size_height(r->size) : 0;
    platform_image_copy_part(image, result, 0, 0, w, h);
}

void platform_image_copy_part(const Cell* image, Cell* result, uint32_t x, uint32_t y,
                              uint32_t width, uint32_t height) {
    ImageRecord* r = record_of(image);
    uint32_t sw = r ? size_width(r->size) : 0, sh = r ? size_height(r->size) : 0;
    // the rectangle is clipped to the image
    if (x > sw) x = sw;
    if (y > sh) y = sh;
    if (width > sw - x) width = sw - x;
    if (height > sh - y) height = sh - y;
    Node node = 0;
    if (width && height) {
        const uint32_t* src = platform_image_pixels(image->data2);
        uint32_t* out = image_alloc_pixels(width, height);
        for (uint32_t row = 0; row < height; ++row)
            std::memcpy(out + size_t(row) * width, src + size_t(y + row) * sw + x, size_t(width) * 4);
        node = platform_image_new(out, IMG_PIXELS_VALID | IMG_PIXELS_CHANGED, width, height);
    } else {
        width = height = 0;
    }
    *result = Cell{T_IMAGE, 0, node, image_size_word(width, height)};
}

// ---- Access ------------------------------------------------------------------------------------------

uint32_t platform_image_width(Node image) { return image ? size_width(image_record(image)->size) : 0; }
uint32_t platform_image_height(Node image) { return image ? size_height(image_record(image)->size) : 0; }

ImageStore* platform_image_store(Node image) { return image ? store_of(image_record(image)) : nullptr; }

uint32_t* platform_image_pixels(Node image) {
    ImageRecord* r = image_record(image);
    ImageStore* st = store_of(r);
    if (!st) bad_media();
    if ((r->flags & IMG_DRAWN) || !(r->flags & IMG_PIXELS_VALID)) rebuild_straight(r, st);
    return st->pixels;
}

const uint32_t* platform_image_source(const Cell* image, bool premultiplied) {
    ImageRecord* r = record_of(image);
    if (!r) return nullptr;
    ImageStore* st = store_of(r);
    if (!st) return nullptr;
    if (!premultiplied) return platform_image_pixels(image->data2);
    bool current = (r->flags & IMG_PREMULTIPLIED) && !(r->flags & IMG_PIXELS_CHANGED);
    if (current) return st->premul ? st->premul : st->pixels;
    if (r->flags & IMG_DRAWN) rebuild_straight(r, st);
    uint32_t n = pixel_count(r);
    bool opaque = true;
    for (uint32_t i = 0; i < n && opaque; ++i) opaque = (st->pixels[i] >> 24) == 255;
    release_cache(st);
    if (opaque) {
        std::free(st->premul);
        st->premul = nullptr;
    } else {
        if (!st->premul) {
            st->premul = static_cast<uint32_t*>(std::malloc(size_t(n) * 4));
            if (!st->premul) fire_error(Err::NoMemory);
        }
        for (uint32_t i = 0; i < n; ++i) st->premul[i] = premultiply(st->pixels[i]);
    }
    r->flags = (r->flags & ~(IMG_PIXELS_CHANGED | IMG_DRAW_TARGET)) | IMG_PREMULTIPLIED;
    return st->premul ? st->premul : st->pixels;
}

uint32_t* platform_image_premultiplied_bitmap(const Cell* image) {
    const uint32_t* p = platform_image_source(image, true);
    if (!p) return nullptr;
    image_record(image->data2)->flags |= IMG_DRAW_TARGET;
    return const_cast<uint32_t*>(p);
}

uint32_t* platform_image_lock(const Cell* image, bool write) {
    if (!image->data2) bad_media();
    uint32_t* px = platform_image_pixels(image->data2);
    if (write) image_record(image->data2)->flags |= IMG_PIXELS_CHANGED;
    return px;
}

void platform_image_unlock(const Cell*) {}

uint32_t platform_image_get_pixel(Node image, uint32_t index) { return platform_image_pixels(image)[index]; }

void platform_image_set_pixel(Node image, uint32_t index, uint32_t pixel) {
    platform_image_pixels(image)[index] = pixel;
    image_record(image)->flags |= IMG_PIXELS_CHANGED;
}

// ---- Render cache --------------------------------------------------------------------------------

void platform_image_mark_drawn(const Cell* image) {
    ImageRecord* r = record_of(image);
    if (!r) return;
    r->flags |= IMG_DRAWN;
    if (ImageStore* st = store_of(r)) release_cache(st);
}

void* platform_image_cached_bitmap(const Cell* image) {
    ImageRecord* r = record_of(image);
    ImageStore* st = r ? store_of(r) : nullptr;
    if (!st || !st->cache) return nullptr;
    r->flags |= IMG_CACHE_HANDED;
    return st->cache;
}

void platform_image_set_cached_bitmap(const Cell* image, void* cache) {
    ImageRecord* r = record_of(image);
    ImageStore* st = r ? store_of(r) : nullptr;
    if (!st) return;
    if (st->cache != cache) release_cache(st);
    st->cache = cache;
}

void platform_image_drop_cache(Node image) {
    if (ImageStore* st = platform_image_store(image)) release_cache(st);
}

void platform_image_mark(Node image) {
    ImageRecord* r = image_record(image);
    if (r->slot < 0 || !extres_mark(r->slot)) return;
    if (r->flags & IMG_CACHE_HANDED) r->flags &= ~IMG_CACHE_HANDED;
    else if (ImageStore* st = store_of(r)) release_cache(st);
}

void platform_image_release(Node image) {
    if (!image) return;
    ImageRecord* r = image_record(image);
    if (r->slot >= 0) r->slot = extres_free(r->slot, true);
    r->flags = 0;
}

} // namespace kel
