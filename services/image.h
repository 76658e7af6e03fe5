// The platform image layer: the pixel memory behind image! values.
//
// A platform image is two pieces:
//  - the record: a 16-byte byte series reached through its node (an image! cell holds that node in
//    word 2), with the state flags, the size word (width in the low 16 bits, height in the high 16)
//    and the index of the image's slot in the external-resource table. It holds no addresses, so
//    the collector may move it like any other buffer;
//  - the store: a malloc'd ImageStore object owned by that resource slot (kind "image"). It holds
//    the straight pixels, an optional premultiplied copy and the GUI's render cache. It never
//    moves; when no value reaches the record any more, the collector's sweep of the resource
//    table calls the kind's release callback, which frees it.
//
// Pixels are 32-bit words A << 24 | R << 16 | G << 8 | B with straight (not premultiplied) alpha,
// 255 opaque, rows top down, stride width × 4. On x86-64 the bytes in memory run B, G, R, A, which
// is the ARGB32 layout of the GUI's drawing library except that it premultiplies. Premultiplied
// pixels for drawing come from platform_image_source(.., true): the store itself when every pixel
// is opaque (premultiplying changes nothing), else a premultiplied copy kept until the pixels
// change. Drawing into an image goes into that form (platform_image_premultiplied_bitmap,
// platform_image_mark_drawn); the next pixel access turns it back into straight pixels.
// Encoding, copying, cropping, flipping and resizing read the straight store only.
//
// Flags of the record:
//   0x01 the straight pixels are valid
//   0x02 the pixels were changed through a lock: the premultiplied form must be rebuilt
//   0x08 the premultiplied form was handed out as a drawing target
//   0x10 the premultiplied form is current
//   0x20 the image was drawn on: the straight pixels are rebuilt from the premultiplied form
//        before the next pixel access
//   0x40 the render cache was handed out since the last collection (it survives one more)
//
// Sizes: each side at most 65535 and width × height below 2^31; make and resize raise
// out-of-range beyond that, the decoders' callers bad-media. A failed pixel allocation raises
// no-memory. Every constructor fills every pixel.
//
// Functions that allocate from the memory manager say so; a Cell* argument must then lie on the
// data stack or in a Rooted slot. Pixel addresses (uint32_t*) stay valid while the image is
// reachable and its pixels are not reallocated (only drawing and release do that).
#pragma once

#include "core/cell.h"
#include "core/memory.h"

#include <cstddef>
#include <cstdint>

namespace kel {

enum : uint32_t {
    IMG_PIXELS_VALID = 0x01,
    IMG_PIXELS_CHANGED = 0x02,
    IMG_DRAW_TARGET = 0x08,
    IMG_PREMULTIPLIED = 0x10,
    IMG_DRAWN = 0x20,
    IMG_CACHE_HANDED = 0x40,
};

constexpr uint32_t IMAGE_SIDE_MAX = 65535;
constexpr uint64_t IMAGE_PIXELS_LIMIT = uint64_t(1) << 31;  // width × height stays below this

// Encoder formats (the argument of platform_image_encode).
enum : int32_t { IMAGE_BMP = 0, IMAGE_PNG = 1, IMAGE_GIF = 2, IMAGE_JPEG = 3, IMAGE_TIFF = 4 };

struct ImageRecord {
    uint32_t flags;
    uint32_t size;   // width | height << 16
    int32_t slot;    // resource slot, -1 once released
    uint32_t spare;
};

// The resource slot's object.
struct ImageStore {
    uint32_t* pixels;   // straight pixels, width × height words
    uint32_t* premul;   // a premultiplied copy, or null (the store itself serves when opaque)
    void* cache;        // the GUI's render cache, or null
    ImageStore* prev;   // the list of live stores
    ImageStore* next;
};

// The GUI's render cache is an opaque object; the GUI sets the function that releases one. It may
// run inside a collection (from the mark or the sweep): it must not allocate series.
using ImageCacheRelease = void (*)(void* cache);
void platform_image_set_cache_release(ImageCacheRelease release);

// Registers the resource kind "image" (start-up, after the resource table is made).
void platform_image_init();
uint32_t platform_image_kind();

inline uint32_t image_size_word(uint32_t w, uint32_t h) { return (h << 16) | (w & 0xFFFF); }
inline uint32_t size_width(uint32_t size) { return size & 0xFFFF; }
inline uint32_t size_height(uint32_t size) { return size >> 16; }

// Raises script out-of-range with the size as a pair when a side exceeds 65535 or the pixel count
// reaches 2^31. False for a 0 side (no pixels).
bool image_check_size(int64_t width, int64_t height);
// True when the size fits (a decoder's check, which raises nothing).
bool image_size_fits(uint64_t width, uint64_t height);
// A premultiplied pixel word made straight (a fully transparent pixel becomes 0).
uint32_t image_unpremultiply(uint32_t pixel);
// malloc'd room for the pixels; raises internal no-memory on failure.
uint32_t* image_alloc_pixels(uint32_t width, uint32_t height);

// ---- Construction (each allocates the record) --------------------------------------------------

// A record over pixels (taken over: freed here if the record cannot be made) with the flags.
Node platform_image_new(uint32_t* pixels, uint32_t flags, uint32_t width, uint32_t height);
// A blank image, filled from a colour (color_len 3 or more bytes R, G, B [, transparency]) or
// else pixel by pixel from RGB bytes (cut to a multiple of 3; white past their end) and
// transparency bytes (opaque past their end). The byte pointers are read before anything is
// allocated. 0 when a side is 0; out-of-range beyond the limits.
Node platform_image_make(uint32_t width, uint32_t height, const uint8_t* rgb, size_t rgb_len,
                         const uint8_t* alpha, size_t alpha_len, const uint8_t* color,
                         uint32_t color_len);
// A copy of straight BGRA words, rows `stride` bytes apart (0: width × 4).
Node platform_image_from_pixels(uint32_t width, uint32_t height, size_t stride, const uint32_t* px);
// Encoded bytes decoded (read in place; the record is allocated once decoding is done); 0 when
// they cannot be decoded or the picture is too large.
Node platform_image_from_bytes(const uint8_t* data, size_t length);
// The file at the (UTF-8, POSIX) path decoded; 0 when it cannot be read or decoded.
Node platform_image_load_file(const char* path);
// A vertically flipped copy of the record's image; 0 for 0.
Node platform_image_flip_vertical(Node image);
// The image scaled to width × height by nearest neighbour; 0 when a side is 0, out-of-range
// beyond the limits.
Node platform_image_resize(const Cell* image, int32_t width, int32_t height);
// result becomes an image! (index 0) holding a copy of the whole image, or of the rectangle.
void platform_image_copy(const Cell* image, Cell* result);
void platform_image_copy_part(const Cell* image, Cell* result, uint32_t x, uint32_t y,
                              uint32_t width, uint32_t height);

// ---- Access (no allocation) ----------------------------------------------------------------------

inline ImageRecord* image_record(Node node) {
    return reinterpret_cast<ImageRecord*>(node_series(node)->data());
}
uint32_t platform_image_width(Node image);
uint32_t platform_image_height(Node image);
// The store of a record, or null once released.
ImageStore* platform_image_store(Node image);

// The pixels for drawing (premultiplied true) or the straight pixels; null for an image without a
// record. Rows are width × 4 bytes apart.
const uint32_t* platform_image_source(const Cell* image, bool premultiplied);
// The premultiplied form as a drawing target; the caller marks the image drawn
// (platform_image_mark_drawn) when it draws.
uint32_t* platform_image_premultiplied_bitmap(const Cell* image);
// The straight pixels made current (after drawing they are rebuilt); raises access bad-media for
// a released record.
uint32_t* platform_image_pixels(Node image);
// The straight pixels for reading or writing (a write marks the premultiplied form stale);
// raises access bad-media when the image has no pixels.
uint32_t* platform_image_lock(const Cell* image, bool write);
void platform_image_unlock(const Cell* image);
uint32_t platform_image_get_pixel(Node image, uint32_t index);
void platform_image_set_pixel(Node image, uint32_t index, uint32_t pixel);

// The render cache: drawing on the image drops it; handing it out sets flag 0x40.
void platform_image_mark_drawn(const Cell* image);
void* platform_image_cached_bitmap(const Cell* image);
// Stores the cache (releasing a different old one); null drops it.
void platform_image_set_cached_bitmap(const Cell* image, void* cache);
void platform_image_drop_cache(Node image);

// Collector mark of a record reached from a value: marks its resource slot; the first time in a
// cycle the render cache is released unless it was handed out since the last cycle.
void platform_image_mark(Node image);
// Releases the store now (pixels, premultiplied copy, render cache) and frees the slot.
void platform_image_release(Node image);

// ---- Encoding (allocates) --------------------------------------------------------------------------

// The image encoded (format IMAGE_BMP ... IMAGE_TIFF) into result as a new binary!: an empty one
// for an image of 0 pixels. An unknown format prints "Cannot find image encoder" and answers
// false, leaving result as it was; a failing encoder raises access bad-media.
bool platform_image_encode(const Cell* image, Cell* result, int32_t format);

} // namespace kel
