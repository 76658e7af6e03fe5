// BMP, our own: device-independent bitmaps with a 12-byte core header or a 40-, 52-, 56-, 108-
// or 124-byte info header; 1, 4 and 8 bits through a palette, 16 and 32 bits through bit fields
// (5-5-5 and 8-8-8 without them), 24 bits as B, G, R; RLE8 and RLE4; rows bottom up (a positive
// height) or top down (a negative one).
//
// Alpha comes only from an alpha mask: a 16- or 32-bit picture with bit-field compression whose
// header or mask block gives a nonzero alpha mask. Everything else is opaque. Pixels that an RLE
// stream skips (deltas, short rows, an early end of bitmap) take palette colour 0. An RLE stream
// that ends before its end-of-bitmap code, and pixel rows that run past the data, are BadData.
//
// Written: 32 bits, the 124-byte header with bit fields B, G, R, A at bytes 0-3 of each pixel,
// rows bottom up.
#include "services/image-codecs.h"

#include <cstdlib>
#include <cstring>

namespace kel {

namespace {

inline uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

// One channel of a bit-field pixel, scaled to 0..255.
struct Field {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t max = 0;   // mask >> shift

    void set(uint32_t m) {
        mask = m;
        shift = m ? uint32_t(__builtin_ctz(m)) : 0;
        max = m >> shift;
    }
    uint32_t get(uint32_t v) const {
        if (!max) return 0;
        return uint32_t((uint64_t((v & mask) >> shift) * 255 + max / 2) / max);
    }
};

struct Bmp {
    const uint8_t* data;
    size_t length;
    uint32_t width, height;
    bool top_down;
    uint32_t bits, compression;
    uint32_t palette[256];
    uint32_t palette_size;
    Field r, g, b, a;
    size_t offset;   // of the pixel data
};

// The header, palette and masks; false for anything malformed or unsupported.
bool read_header(Bmp* m, uint64_t max_pixels) {
    const uint8_t* d = m->data;
    size_t len = m->length;
    if (len < 14 + 12 || d[0] != 'B' || d[1] != 'M') return false;
    m->offset = u32(d + 10);
    uint32_t hsize = u32(d + 14);
    const uint8_t* h = d + 14;
    bool core = hsize == 12;
    if (!core && hsize != 40 && hsize != 52 && hsize != 56 && hsize != 108 && hsize != 124) return false;
    if (len < 14 + size_t(hsize)) return false;
    int64_t w, ht;
    uint32_t colours_used = 0;
    if (core) {
        w = u16(h + 4);
        ht = u16(h + 6);
        m->bits = u16(h + 10);
        m->compression = BI_RGB;
    } else {
        w = int32_t(u32(h + 4));
        ht = int32_t(u32(h + 8));
        m->bits = u16(h + 14);
        m->compression = u32(h + 16);
        colours_used = u32(h + 32);
    }
    m->top_down = ht < 0;
    if (ht < 0) ht = -ht;
    if (w <= 0 || ht <= 0 || !image_decode_size_ok(uint64_t(w), uint64_t(ht), max_pixels)) return false;
    m->width = uint32_t(w);
    m->height = uint32_t(ht);

    switch (m->bits) {
        case 1: case 4: case 8: case 24:
            break;
        case 16: case 32:
            if (core) return false;
            break;
        default:
            return false;
    }
    switch (m->compression) {
        case BI_RGB: break;
        case BI_RLE8: if (m->bits != 8) return false; break;
        case BI_RLE4: if (m->bits != 4) return false; break;
        case BI_BITFIELDS: case BI_ALPHABITFIELDS: if (m->bits != 16 && m->bits != 32) return false; break;
        default: return false;
    }

    // masks: in the header from 52 bytes on, else (info header) in a block after it
    size_t after = 14 + size_t(hsize);
    if (m->bits == 16) {
        m->r.set(0x7C00);
        m->g.set(0x03E0);
        m->b.set(0x001F);
    } else if (m->bits == 32) {
        m->r.set(0x00FF0000);
        m->g.set(0x0000FF00);
        m->b.set(0x000000FF);
    }
    if (m->compression == BI_BITFIELDS || m->compression == BI_ALPHABITFIELDS) {
        const uint8_t* masks = h + 40;
        size_t count = m->compression == BI_ALPHABITFIELDS ? 4 : 3;
        if (hsize == 40) {
            if (len < after + count * 4) return false;
            after += count * 4;
        } else if (hsize >= 56) {
            count = 4;   // the alpha mask is part of the header
        } else if (count == 4) {
            // a 52-byte header holds three masks: the alpha mask follows it
            if (len < after + 4) return false;
            after += 4;
        }
        m->r.set(u32(masks));
        m->g.set(u32(masks + 4));
        m->b.set(u32(masks + 8));
        if (count == 4) m->a.set(u32(masks + 12));
    }

    // the palette follows; 3-byte entries after a core header, 4-byte ones otherwise
    m->palette_size = 0;
    if (m->bits <= 8) {
        uint32_t n = 1u << m->bits;
        if (colours_used && colours_used < n) n = colours_used;
        size_t entry = core ? 3 : 4;
        // the palette lies between the headers and the pixels: it may hold fewer entries
        if (m->offset < after || m->offset > len) return false;
        size_t room = (m->offset - after) / entry;
        if (n > room) n = uint32_t(room);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = d + after + i * entry;
            m->palette[i] = 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
        }
        m->palette_size = n;
    }
    if (m->offset < 14 + 12 || m->offset > len) return false;
    // uncompressed rows must all be there before room is taken for the pixels
    if (m->compression != BI_RLE8 && m->compression != BI_RLE4) {
        uint64_t stride = ((uint64_t(m->width) * m->bits + 31) / 32) * 4;
        if (stride * m->height > len - m->offset) return false;
    }
    return true;
}

inline uint32_t colour(const Bmp* m, uint32_t index) {
    return index < m->palette_size ? m->palette[index] : 0xFF000000u;
}

inline uint32_t* row_at(const Bmp* m, uint32_t* px, uint32_t y) {
    uint32_t row = m->top_down ? y : m->height - 1 - y;
    return px + size_t(row) * m->width;
}

bool read_plain(const Bmp* m, uint32_t* px) {
    uint64_t stride = ((uint64_t(m->width) * m->bits + 31) / 32) * 4;   // the rows are there (read_header)
    bool alpha = m->a.mask != 0;
    for (uint32_t y = 0; y < m->height; ++y) {
        const uint8_t* s = m->data + m->offset + y * stride;
        uint32_t* to = row_at(m, px, y);
        switch (m->bits) {
            case 1: case 4: case 8: {
                uint32_t per = 8 / m->bits, mask = (1u << m->bits) - 1;
                for (uint32_t x = 0; x < m->width; ++x) {
                    uint32_t byte = s[x / per];
                    uint32_t shift = 8 - m->bits * (x % per + 1);
                    to[x] = colour(m, (byte >> shift) & mask);
                }
                break;
            }
            case 24:
                for (uint32_t x = 0; x < m->width; ++x, s += 3)
                    to[x] = 0xFF000000u | uint32_t(s[2]) << 16 | uint32_t(s[1]) << 8 | s[0];
                break;
            case 16: case 32: {
                uint32_t step = m->bits / 8;
                for (uint32_t x = 0; x < m->width; ++x, s += step) {
                    uint32_t v = step == 2 ? u16(s) : u32(s);
                    uint32_t a = alpha ? m->a.get(v) : 255;
                    to[x] = a << 24 | m->r.get(v) << 16 | m->g.get(v) << 8 | m->b.get(v);
                }
                break;
            }
        }
    }
    return true;
}

bool read_rle(const Bmp* m, uint32_t* px) {
    uint32_t fill = colour(m, 0);
    for (size_t i = 0, n = size_t(m->width) * m->height; i < n; ++i) px[i] = fill;
    const uint8_t* s = m->data + m->offset;
    const uint8_t* end = m->data + m->length;
    bool four = m->compression == BI_RLE4;
    uint32_t x = 0, y = 0;
    auto put = [&](uint32_t index) {
        if (x < m->width && y < m->height) row_at(m, px, y)[x] = colour(m, index);
        ++x;
    };
    while (end - s >= 2) {
        uint32_t count = s[0], value = s[1];
        s += 2;
        if (count > 0) {
            // a run: one index repeated, or two alternating for four bits
            for (uint32_t i = 0; i < count; ++i)
                put(four ? (i & 1 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {   // end of line
            x = 0;
            ++y;
        } else if (value == 1) {   // end of bitmap
            return true;
        } else if (value == 2) {   // delta
            if (end - s < 2) return false;
            x += s[0];
            y += s[1];
            s += 2;
        } else {   // literal indexes, padded to an even byte count
            size_t bytes = four ? (value + 1) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t(1);
            if (size_t(end - s) < padded) return false;
            for (uint32_t i = 0; i < value; ++i)
                put(four ? (i & 1 ? s[i / 2] & 15 : s[i / 2] >> 4) : s[i]);
            s += padded;
        }
        if (y > m->height) y = m->height;   // rows past the picture are dropped
        if (x > m->width) x = m->width;
    }
    return false;   // no end-of-bitmap code
}

void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

} // namespace

ImageStatus image_bmp_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    auto* m = static_cast<Bmp*>(std::calloc(1, sizeof(Bmp)));
    if (!m) return ImageStatus::NoMemory;
    m->data = data;
    m->length = length;
    ImageStatus s = ImageStatus::BadData;
    if (read_header(m, max_pixels)) {
        auto* px = static_cast<uint32_t*>(std::malloc(size_t(m->width) * m->height * 4));
        if (!px) {
            s = ImageStatus::NoMemory;
        } else if (m->compression == BI_RLE8 || m->compression == BI_RLE4 ? read_rle(m, px) : read_plain(m, px)) {
            *out = DecodedImage{px, m->width, m->height};
            s = ImageStatus::Ok;
        } else {
            std::free(px);
        }
    }
    std::free(m);
    return s;
}

ImageStatus image_bmp_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    *out = EncodedBytes{};
    constexpr size_t HEAD = 14 + 124;
    uint64_t body = uint64_t(width) * height * 4;
    if (HEAD + body > UINT32_MAX) return ImageStatus::BadData;   // the file size field has 32 bits
    size_t total = HEAD + size_t(body);
    out->data = static_cast<uint8_t*>(std::malloc(total));
    if (!out->data) return ImageStatus::NoMemory;
    out->capacity = out->length = total;
    uint8_t* p = out->data;
    std::memset(p, 0, HEAD);
    p[0] = 'B';
    p[1] = 'M';
    put32(p + 2, uint32_t(total));
    put32(p + 10, uint32_t(HEAD));
    uint8_t* h = p + 14;
    put32(h, 124);
    put32(h + 4, width);
    put32(h + 8, height);              // positive: rows bottom up
    put16(h + 12, 1);                  // planes
    put16(h + 14, 32);
    put32(h + 16, BI_BITFIELDS);
    put32(h + 20, uint32_t(body));
    put32(h + 24, 2835);               // 72 dots per inch
    put32(h + 28, 2835);
    put32(h + 40, 0x00FF0000);         // masks R, G, B, A
    put32(h + 44, 0x0000FF00);
    put32(h + 48, 0x000000FF);
    put32(h + 52, 0xFF000000);
    put32(h + 56, 0x73524742);         // colour space "sRGB"
    put32(h + 108, 4);                 // rendering intent: pictures
    uint8_t* to = p + HEAD;
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t* row = pixels + size_t(height - 1 - y) * width;
        for (uint32_t x = 0; x < width; ++x, to += 4) put32(to, row[x]);
    }
    return ImageStatus::Ok;
}

} // namespace kel
