// The image codecs: pictures written by other programs (the committed fixtures, see
// fixtures/images/README.md) and by the libraries themselves decode to the pixels they hold; what
// we encode decodes back (exactly for PNG, TIFF, BMP and GIF up to 256 colours, within a bound for
// JPEG); every truncated file fails cleanly; sizes beyond the limits are refused; the entry points
// that values reach raise the errors they name.
#include "core/errors.h"
#include "core/output.h"
#include "core/stack.h"
#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "datatypes/string.h"
#include "services/checksum.h"
#include "services/image-codecs.h"
#include "services/image.h"
#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <cstdio>
#include <jpeglib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace kel {
namespace {

using test::keep;
using test::raised;
using Bytes = std::vector<uint8_t>;

Bytes read_fixture(const std::string& name) {
    std::ifstream in(std::string(KEL_IMAGE_FIXTURES) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
    bool operator==(const Picture&) const = default;
};

void PrintTo(const Picture& p, std::ostream* os) {
    *os << p.width << " x " << p.height << " {" << std::hex;
    for (uint32_t px : p.pixels) *os << " " << px;
    *os << std::dec << " }";
}

// A netpbm picture (P6 with maxval 255, or P4) as opaque pixels.
Picture read_pnm(const std::string& name) {
    Bytes b = read_fixture(name);
    size_t at = 0;
    auto number = [&] {
        while (at < b.size() && std::isspace(b[at])) ++at;
        uint32_t v = 0;
        while (at < b.size() && std::isdigit(b[at])) v = v * 10 + (b[at++] - '0');
        return v;
    };
    std::string magic(b.begin(), b.begin() + 2);
    at = 2;
    Picture p;
    p.width = number();
    p.height = number();
    if (magic == "P6") number();
    ++at;
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x) {
            if (magic == "P6") {
                const uint8_t* s = &b.at(at + (size_t(y) * p.width + x) * 3);
                p.pixels.push_back(0xFF000000u | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2]);
            } else {
                size_t row = (p.width + 7) / 8;
                bool black = b.at(at + y * row + x / 8) >> (7 - x % 8) & 1;
                p.pixels.push_back(black ? 0xFF000000u : 0xFFFFFFFFu);
            }
        }
    }
    return p;
}

// The decoder's answer with the pixels copied out (and the decoder's buffer freed).
struct Decoded {
    ImageStatus status;
    Picture picture;
};

Decoded decode(const Bytes& bytes, uint64_t max_pixels = IMAGE_DECODE_MAX_PIXELS) {
    DecodedImage img;
    // an exact-size copy, so that a read past the end is caught by the sanitizer
    auto* copy = static_cast<uint8_t*>(std::malloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    ImageStatus s = image_codec_decode(copy, bytes.size(), &img, max_pixels);
    std::free(copy);
    Decoded d{s, {}};
    if (s == ImageStatus::Ok) {
        d.picture = {img.width, img.height, std::vector<uint32_t>(img.pixels, img.pixels + size_t(img.width) * img.height)};
        std::free(img.pixels);
    } else {
        EXPECT_EQ(img.pixels, nullptr);
    }
    return d;
}

Bytes encode(const Picture& p, int32_t format) {
    EncodedBytes out;
    ImageStatus s = image_codec_encode(p.pixels.data(), p.width, p.height, format, &out);
    EXPECT_EQ(s, ImageStatus::Ok) << "format " << format;
    Bytes b(out.data, out.data + out.length);
    encoded_free(&out);
    return b;
}

int channel_difference(uint32_t a, uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16, 24}) d = std::max(d, std::abs(int(a >> shift & 255) - int(b >> shift & 255)));
    return d;
}

// The largest difference of any channel of any pixel.
int max_difference(const Picture& a, const Picture& b) {
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    if (a.pixels.size() != b.pixels.size()) return 256;
    int d = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) d = std::max(d, channel_difference(a.pixels[i], b.pixels[i]));
    return d;
}

// A test picture with the pixels that matter for alpha: opaque colours, translucent 0.0.200.200
// (alpha 55) and transparent blue 0.0.255.255 (alpha 0), and a colour ramp.
Picture alpha_picture() {
    Picture p{9, 5, {}};
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x)
            p.pixels.push_back(0xFF000000u | (x * 28) << 16 | (y * 60) << 8 | ((x + y) * 17));
    p.pixels[0] = 0x370000C8;    // 0.0.200.200
    p.pixels[1] = 0x000000FF;    // 0.0.255.255
    p.pixels[12] = 0x80FF8040;
    p.pixels[44] = 0x01010203;
    return p;
}

// A smooth picture of many colours.
Picture gradient(uint32_t w, uint32_t h) {
    Picture p{w, h, {}};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            p.pixels.push_back(0xFF000000u | (x * 255 / (w - 1)) << 16 | (y * 255 / (h - 1)) << 8 | ((x + y) * 255 / (w + h - 2)));
    return p;
}

// ---- Pictures written by other programs ------------------------------------------------------------

TEST(ImageCodecs, FixturesDecodeToTheirSource) {
    struct Case {
        const char* file;
        const char* source;
        int tolerance;   // largest channel difference
    };
    const Case cases[] = {
        {"rgb24.bmp", "source.ppm", 0},
        {"core24.bmp", "source.ppm", 0},
        {"pal8.bmp", "colours16.ppm", 0},
        {"pal4.bmp", "colours16.ppm", 0},
        {"mono1.bmp", "mono.pbm", 0},
        {"rle8.bmp", "colours16.ppm", 0},
        {"rgb565.bmp", "source.ppm", 8},   // 5 and 6 bits a channel, cut by the writer
        {"source.png", "source.ppm", 0},
        {"interlaced.png", "colours16.ppm", 0},
        {"colours16.gif", "colours16.ppm", 0},
        {"interlaced.gif", "colours16.ppm", 0},
        {"source.tif", "source.ppm", 0},
        {"palette.tif", "colours16.ppm", 0},
        {"source.jpg", "source-jpg.ppm", 0},   // what the library's own decoder makes of it
        {"progressive.jpg", "progressive-jpg.ppm", 0},
    };
    for (const Case& c : cases) {
        Decoded d = decode(read_fixture(c.file));
        ASSERT_EQ(d.status, ImageStatus::Ok) << c.file;
        EXPECT_LE(max_difference(d.picture, read_pnm(c.source)), c.tolerance) << c.file;
    }
}

TEST(ImageCodecs, BmpAlphaComesFromTheAlphaMask) {
    Decoded d = decode(read_fixture("argb32.bmp"));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    Picture source = read_pnm("source.ppm");
    for (uint32_t y = 0; y < 7; ++y) {
        for (uint32_t x = 0; x < 13; ++x) {
            uint32_t p = d.picture.pixels[y * 13 + x], want = source.pixels[y * 13 + x];
            EXPECT_LE(std::abs(int(p >> 24) - int(x * 255 / 13)), 1) << x << "," << y;
            if (p >> 24) {
                EXPECT_EQ(p & 0xFFFFFF, want & 0xFFFFFF) << x << "," << y;
            }
        }
    }
}

// ---- BMP layouts no program above writes -----------------------------------------------------------

void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v);
    put16(b, at + 2, v >> 16);
}

// A BMP file: an info-family header of hsize bytes, then the extra block (masks or palette),
// then the pixel bytes.
Bytes bmp(uint32_t hsize, int32_t w, int32_t h, uint32_t bits, uint32_t compression, const Bytes& extra,
          const Bytes& pixels, std::vector<uint32_t> header_masks = {}) {
    Bytes b(14 + hsize, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 10, uint32_t(14 + hsize + extra.size()));
    put32(b, 14, hsize);
    put32(b, 18, uint32_t(w));
    put32(b, 22, uint32_t(h));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 30, compression);
    for (size_t i = 0; i < header_masks.size(); ++i) put32(b, 54 + i * 4, header_masks[i]);
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    put32(b, 2, uint32_t(b.size()));
    return b;
}

Bytes palette(std::initializer_list<uint32_t> colours) {
    Bytes p;
    for (uint32_t c : colours) p.insert(p.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0});
    return p;
}

TEST(ImageCodecs, BmpVariants) {
    const uint32_t K = 0xFF000000, R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF;
    Bytes pal = palette({0x000000, 0xFF0000, 0x00FF00, 0x0000FF});
    struct Case {
        const char* what;
        Bytes file;
        Picture want;
    };
    const Case cases[] = {
        // RLE4: a run of alternating indexes, end of line, a literal of 3 (padded), end of
        // line, a delta over the first pixel, a run, end of bitmap
        {"rle4, bottom up", bmp(40, 4, 3, 4, 2, pal,
                                {4, 0x12, 0, 0, 0, 3, 0x32, 0x10, 0, 0, 0, 2, 1, 0, 2, 0x33, 0, 1}),
         {4, 3, {K, B, B, K, B, G, R, K, R, G, R, G}}},
        {"rle8 with a delta and an early end", bmp(40, 3, 2, 8, 1, pal, {0, 2, 1, 1, 2, 3, 0, 1}),
         {3, 2, {K, B, B, K, K, K}}},
        {"24 bits top down", bmp(40, 2, 2, 24, 0, {},
                                 {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0}),
         {2, 2, {R, G, B, K}}},
        {"8 bits, palette of 2 (colours used)", [&] {
             Bytes f = bmp(40, 2, 1, 8, 0, palette({0x123456, 0xABCDEF}), {1, 0, 5, 0});
             put32(f, 46, 2);
             return f;
         }(), {2, 1, {0xFFABCDEF, 0xFF123456}}},
        {"32 bits without bit fields: the fourth byte is not alpha", bmp(40, 1, 1, 32, 0, {}, {1, 2, 3, 4}),
         {1, 1, {0xFF030201}}},
        {"16 bits 5-5-5 by default", bmp(40, 2, 1, 16, 0, {}, {0x00, 0x7C, 0xFF, 0x7F}),
         {2, 1, {R, 0xFFFFFFFF}}},
        {"16 bits, alpha bit fields 4-4-4-4", bmp(40, 2, 1, 16, 6, [] {
             Bytes m(16);
             put32(m, 0, 0x0F00); put32(m, 4, 0x00F0); put32(m, 8, 0x000F); put32(m, 12, 0xF000);
             return m;
         }(), {0x00, 0x8F, 0x0F, 0xF0}),
         {2, 1, {0x88FF0000, 0xFF0000FF}}},
        {"V4 header, 32-bit bit fields with alpha", bmp(108, 1, 1, 32, 3, {}, {0x11, 0x22, 0x33, 0x44},
                                                         {0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF}),
         {1, 1, {0x11223344}}},
        {"V5 header, bit fields without alpha", bmp(124, 1, 1, 32, 3, {}, {0x11, 0x22, 0x33, 0x44},
                                                     {0x00FF0000, 0x0000FF00, 0x000000FF, 0}),
         {1, 1, {0xFF332211}}},
    };
    for (const Case& c : cases) {
        Bytes f = c.file;
        if (std::string(c.what).find("top down") != std::string::npos) put32(f, 22, uint32_t(-2));
        Decoded d = decode(f);
        ASSERT_EQ(d.status, ImageStatus::Ok) << c.what;
        EXPECT_EQ(d.picture, c.want) << c.what;
    }
}

TEST(ImageCodecs, MalformedBmpIsRefused) {
    Bytes good = bmp(40, 2, 2, 24, 0, {}, Bytes(16, 0));
    ASSERT_EQ(decode(good).status, ImageStatus::Ok);
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        bool wide;
    };
    const Case cases[] = {
        {"header size 20", 14, 20, true},
        {"width 0", 18, 0, true},
        {"height 0", 22, 0, true},
        {"negative width", 18, uint32_t(-2), true},
        {"bits 7", 28, 7, false},
        {"compression JPEG", 30, 4, true},
        {"RLE8 on 24 bits", 30, 1, true},
        {"data offset past the end", 10, 1000, true},
        {"rows past the data", 22, 3, true},
    };
    for (const Case& c : cases) {
        Bytes f = good;
        if (c.wide) {
            put32(f, c.at, c.value);
        } else {
            put16(f, c.at, c.value);
        }
        EXPECT_EQ(decode(f).status, ImageStatus::BadData) << c.what;
    }
    // an RLE stream without its end-of-bitmap code
    EXPECT_EQ(decode(bmp(40, 2, 1, 8, 1, palette({0}), {2, 0, 0, 0})).status, ImageStatus::BadData);
}

// ---- Pictures the libraries write themselves --------------------------------------------------------

Bytes png_simplified(uint32_t format, uint32_t w, uint32_t h, const void* pixels, const void* colormap = nullptr,
                     uint32_t colours = 0) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    img.width = w;
    img.height = h;
    img.format = format;
    img.colormap_entries = colours;
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_to_memory(&img, nullptr, &size, 0, pixels, 0, colormap));
    Bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&img, out.data(), &size, 0, pixels, 0, colormap));
    out.resize(size);
    return out;
}

TEST(ImageCodecs, PngLayoutsFromTheLibrary) {
    // 16-bit RGBA (the library stores it straight, linear values scaled to 8 bits)
    const uint16_t rgba16[] = {65535, 0, 0, 65535, 0, 0, 65535, 0};
    Decoded d = decode(png_simplified(PNG_FORMAT_RGBA | PNG_FORMAT_FLAG_LINEAR, 2, 1, rgba16));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    EXPECT_EQ(d.picture.pixels[0], 0xFFFF0000u);
    EXPECT_EQ(d.picture.pixels[1] >> 24, 0u);
    // grey with alpha
    const uint8_t ga[] = {0x40, 255, 0xC0, 0x80};
    d = decode(png_simplified(PNG_FORMAT_GA, 2, 1, ga));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    EXPECT_EQ(d.picture.pixels, (std::vector<uint32_t>{0xFF404040, 0x80C0C0C0}));
    // a palette with transparency
    const uint8_t map[] = {255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 128};
    const uint8_t indexes[] = {0, 1, 2, 1};
    d = decode(png_simplified(PNG_FORMAT_RGBA | PNG_FORMAT_FLAG_COLORMAP, 2, 2, indexes, map, 3));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    EXPECT_EQ(d.picture.pixels, (std::vector<uint32_t>{0xFFFF0000, 0x000000FF, 0x8000FF00, 0x000000FF}));
}

Bytes jpeg_from_library(J_COLOR_SPACE space, int components, uint32_t w, uint32_t h, const uint8_t* samples) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < h) {
        JSAMPROW row = const_cast<JSAMPROW>(samples + size_t(c.next_scanline) * w * components);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    Bytes b(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return b;
}

TEST(ImageCodecs, JpegGreyAndFourColourFromTheLibrary) {
    std::vector<uint8_t> grey(16 * 8);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i % 16 * 16);
    Decoded d = decode(jpeg_from_library(JCS_GRAYSCALE, 1, 16, 8, grey.data()));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    for (size_t i = 0; i < grey.size(); ++i) {
        uint32_t g = grey[i];
        EXPECT_LE(channel_difference(d.picture.pixels[i], 0xFF000000u | g << 16 | g << 8 | g), 3) << i;
    }
    // four-colour samples with the Adobe marker the library writes for them, stored inverted:
    // no cyan, full magenta and yellow, no black is red
    std::vector<uint8_t> cmyk;
    for (int i = 0; i < 64; ++i) cmyk.insert(cmyk.end(), {255, 0, 0, 255});
    d = decode(jpeg_from_library(JCS_CMYK, 4, 8, 8, cmyk.data()));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    for (uint32_t p : d.picture.pixels) EXPECT_LE(channel_difference(p, 0xFFFF0000), 3);
}

// A GIF from the library: a 4 × 3 screen, a first frame of 2 × 2 at (1, 1) with colour 1
// transparent, and a second frame that is not shown.
Bytes gif_from_library(bool interlace) {
    Bytes out;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, [](GifFileType* g, const GifByteType* b, int n) {
        static_cast<Bytes*>(g->UserData)->insert(static_cast<Bytes*>(g->UserData)->end(), b, b + n);
        return n;
    }, &err);
    GifColorType colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
    ColorMapObject* map = GifMakeMapObject(4, colours);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, 4, 3, 2, 0, map);
    const GifByteType control[4] = {1, 0, 0, 1};
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
    EGifPutImageDesc(gif, 1, 1, 2, 2, interlace, nullptr);
    GifPixelType rows[2][2] = {{0, 1}, {2, 3}};
    for (auto& row : rows) EGifPutLine(gif, row, 2);
    EGifPutImageDesc(gif, 0, 0, 4, 3, false, nullptr);
    GifPixelType full[4] = {3, 3, 3, 3};
    for (int y = 0; y < 3; ++y) EGifPutLine(gif, full, 4);
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
    return out;
}

TEST(ImageCodecs, GifFirstFrameOnItsScreen) {
    const std::vector<uint32_t> want = {0, 0, 0, 0, 0, 0xFFFF0000, 0x0000FF00, 0, 0, 0xFF0000FF, 0xFF090909, 0};
    for (bool interlace : {false, true}) {
        Decoded d = decode(gif_from_library(interlace));
        ASSERT_EQ(d.status, ImageStatus::Ok) << interlace;
        EXPECT_EQ(d.picture, (Picture{4, 3, want})) << interlace;
    }
}

// A TIFF from the library with the fields given and one strip (or tile) of samples.
struct TiffField {
    uint32_t tag;
    uint32_t value;
};

Bytes tiff_from_library(uint32_t w, uint32_t h, std::initializer_list<TiffField> fields, const Bytes& samples,
                        bool tiled = false, const uint16_t* extra = nullptr) {
    char path[] = "/tmp/codecs2-tiffXXXXXX";
    int fd = mkstemp(path);
    close(fd);
    TIFF* t = TIFFOpen(path, "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    for (const TiffField& f : fields) TIFFSetField(t, f.tag, f.value);
    if (extra) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    if (tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        Bytes tile(TIFFTileSize(t), 0);
        size_t px = samples.size() / (size_t(w) * h);
        for (uint32_t y = 0; y < h; ++y)
            std::memcpy(&tile[size_t(y) * 16 * px], &samples[size_t(y) * w * px], w * px);
        TIFFWriteTile(t, tile.data(), 0, 0, 0, 0);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
        TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(samples.data()), tmsize_t(samples.size()));
    }
    TIFFClose(t);
    std::ifstream in(path, std::ios::binary);
    Bytes b(std::istreambuf_iterator<char>(in), {});
    unlink(path);
    return b;
}

TEST(ImageCodecs, TiffLayoutsFromTheLibrary) {
    const uint16_t assoc[] = {EXTRASAMPLE_ASSOCALPHA}, unassoc[] = {EXTRASAMPLE_UNASSALPHA};
    struct Case {
        const char* what;
        Bytes file;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {"rgba, premultiplied, by scanline",
         tiff_from_library(2, 1, {{TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_SAMPLESPERPIXEL, 4}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB}},
                           {100, 50, 0, 128, 10, 20, 30, 255}, false, assoc),
         {0x80C86400, 0xFF0A141E}},
        {"rgba, straight, tiled (the RGBA reader)",
         tiff_from_library(2, 1, {{TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_SAMPLESPERPIXEL, 4}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB}},
                           {200, 100, 0, 128, 10, 20, 30, 255}, true, unassoc),
         {0x80C86400, 0xFF0A141E}},
        {"8-bit grey",
         tiff_from_library(2, 1, {{TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_SAMPLESPERPIXEL, 1}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK}},
                           {0x10, 0xF0}),
         {0xFF101010, 0xFFF0F0F0}},
        {"16-bit RGB",
         tiff_from_library(1, 1, {{TIFFTAG_BITSPERSAMPLE, 16}, {TIFFTAG_SAMPLESPERPIXEL, 3}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB}},
                           {0xFF, 0xFF, 0x00, 0x80, 0x00, 0x00}),
         {0xFFFF8000}},
        {"bottom-left orientation",
         tiff_from_library(1, 2, {{TIFFTAG_BITSPERSAMPLE, 8}, {TIFFTAG_SAMPLESPERPIXEL, 3}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
                                  {TIFFTAG_ORIENTATION, ORIENTATION_BOTLEFT}},
                           {1, 2, 3, 4, 5, 6}),
         {0xFF040506, 0xFF010203}},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.file);
        ASSERT_EQ(d.status, ImageStatus::Ok) << c.what;
        ASSERT_EQ(d.picture.pixels.size(), c.want.size()) << c.what;
        for (size_t i = 0; i < c.want.size(); ++i)
            EXPECT_LE(channel_difference(d.picture.pixels[i], c.want[i]), 1) << c.what << " pixel " << i;
    }
}

// ---- Round trips ---------------------------------------------------------------------------------------

TEST(ImageCodecs, LosslessFormatsRoundTripExactly) {
    const Picture pictures[] = {alpha_picture(), gradient(37, 23), Picture{1, 1, {0x00000000}}};
    for (int32_t format : {IMAGE_PNG, IMAGE_TIFF, IMAGE_BMP}) {
        for (const Picture& p : pictures) {
            Decoded d = decode(encode(p, format));
            ASSERT_EQ(d.status, ImageStatus::Ok) << format;
            EXPECT_EQ(d.picture, p) << "format " << format << ", " << p.width << " x " << p.height;
        }
    }
}

TEST(ImageCodecs, GifKeepsUpTo256ColoursAndReducesMore) {
    // 256 opaque colours
    Picture many{16, 16, {}};
    for (uint32_t i = 0; i < 256; ++i) many.pixels.push_back(0xFF000000u | (i * 0x010307u & 0xFFFFFF));
    EXPECT_EQ(decode(encode(many, IMAGE_GIF)).picture, many);
    // 255 colours and transparent pixels (a transparent pixel's colour is not kept: it comes back 0)
    Picture clear = many;
    clear.pixels[7] = 0x00000000;
    clear.pixels[100] = 0x10FFFFFF;   // alpha below 128: transparent
    clear.pixels[101] = 0x80123456;   // 128 and above: opaque
    Picture want = clear;
    want.pixels[100] = 0;
    want.pixels[101] = 0xFF123456;
    EXPECT_EQ(decode(encode(clear, IMAGE_GIF)).picture, want);
    // 4096 colours: at most 256 are left, each pixel near its own
    Picture smooth = gradient(64, 64);
    Decoded d = decode(encode(smooth, IMAGE_GIF));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    EXPECT_LE(std::set<uint32_t>(d.picture.pixels.begin(), d.picture.pixels.end()).size(), 256u);
    EXPECT_LE(max_difference(d.picture, smooth), 24);
}

TEST(ImageCodecs, JpegRoundTripWithinTolerance) {
    // quality 90 on a smooth picture: no channel of any pixel moves by more than 6
    Picture smooth = gradient(64, 48);
    Decoded d = decode(encode(smooth, IMAGE_JPEG));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    EXPECT_LE(max_difference(d.picture, smooth), 6);
    // alpha is dropped: everything comes back opaque
    Picture clear{8, 8, std::vector<uint32_t>(64, 0x20808080)};
    d = decode(encode(clear, IMAGE_JPEG));
    ASSERT_EQ(d.status, ImageStatus::Ok);
    for (uint32_t p : d.picture.pixels) EXPECT_LE(channel_difference(p, 0xFF808080), 2);
}

// ---- Damaged and oversized input ------------------------------------------------------------------------

TEST(ImageCodecs, EveryTruncatedFileFails) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const char* name : {"rgb24.bmp", "core24.bmp", "pal8.bmp", "pal4.bmp", "mono1.bmp", "rle8.bmp", "rgb565.bmp",
                             "argb32.bmp", "source.png", "interlaced.png", "colours16.gif", "interlaced.gif",
                             "source.tif", "palette.tif", "source.jpg", "progressive.jpg"})
        files.push_back({name, read_fixture(name)});
    for (int32_t format : {IMAGE_BMP, IMAGE_PNG, IMAGE_GIF, IMAGE_JPEG, IMAGE_TIFF})
        files.push_back({"ours, format " + std::to_string(format), encode(alpha_picture(), format)});
    files.push_back({"library gif", gif_from_library(true)});
    for (const auto& [name, bytes] : files) {
        ASSERT_EQ(decode(bytes).status, ImageStatus::Ok) << name;
        for (size_t n = 0; n < bytes.size(); ++n) {
            Bytes cut(bytes.begin(), bytes.begin() + ptrdiff_t(n));
            Decoded d = decode(cut);
            EXPECT_EQ(d.status, ImageStatus::BadData) << name << " cut at " << n;
        }
    }
}

// Recomputes the CRC of a PNG chunk whose data starts at `at` (after length and type).
void png_fix_crc(Bytes& png, size_t at, size_t length) {
    uint32_t crc = crc32(&png[at - 4], length + 4);
    put32(png, at + length, 0);
    png[at + length] = uint8_t(crc >> 24);
    png[at + length + 1] = uint8_t(crc >> 16);
    png[at + length + 2] = uint8_t(crc >> 8);
    png[at + length + 3] = uint8_t(crc);
}

TEST(ImageCodecs, SizesBeyondTheLimitsAreRefused) {
    struct Size {
        uint32_t w, h;
    };
    const Size sizes[] = {{65536, 1}, {1, 65536}, {46341, 46341}};
    for (Size s : sizes) {
        Bytes b = bmp(40, int32_t(s.w), int32_t(s.h), 24, 0, {}, {});
        EXPECT_EQ(decode(b).status, ImageStatus::BadData) << "bmp " << s.w << " x " << s.h;
        Bytes p = encode(Picture{1, 1, {0xFF000000}}, IMAGE_PNG);
        for (int i = 0; i < 4; ++i) {
            p[16 + i] = uint8_t(s.w >> (24 - 8 * i));
            p[20 + i] = uint8_t(s.h >> (24 - 8 * i));
        }
        png_fix_crc(p, 16, 13);
        EXPECT_EQ(decode(p).status, ImageStatus::BadData) << "png " << s.w << " x " << s.h;
    }
    // a GIF screen of 65535 × 65535 holding a small frame
    Bytes g = gif_from_library(false);
    put16(g, 6, 65535);
    put16(g, 8, 65535);
    EXPECT_EQ(decode(g).status, ImageStatus::BadData);
    // the caller's cap: a 13 × 7 picture needs 91 pixels
    for (const char* name : {"rgb24.bmp", "source.png", "colours16.gif", "source.tif", "source.jpg"}) {
        Bytes f = read_fixture(name);
        EXPECT_EQ(decode(f, 90).status, ImageStatus::BadData) << name;
        EXPECT_EQ(decode(f, 91).status, ImageStatus::Ok) << name;
    }
}

TEST(ImageCodecs, CorruptDataFails) {
    // a flipped byte inside the compressed data of each lossless fixture
    struct Case {
        const char* file;
        size_t from_end;   // which byte, counted from the end
    };
    for (Case c : {Case{"source.png", 20}, Case{"colours16.gif", 10}}) {
        Bytes f = read_fixture(c.file);
        f[f.size() - c.from_end] ^= 0xFF;
        EXPECT_EQ(decode(f).status, ImageStatus::BadData) << c.file;
    }
    // no known signature
    EXPECT_EQ(decode(Bytes{'h', 'e', 'l', 'l', 'o'}).status, ImageStatus::BadData);
    // no bytes at all, and no buffer behind them
    using Decoder = ImageStatus (*)(const uint8_t*, size_t, DecodedImage*, uint64_t);
    for (Decoder d : {image_bmp_decode, image_png_decode, image_jpeg_decode, image_gif_decode, image_tiff_decode}) {
        DecodedImage img;
        EXPECT_EQ(d(nullptr, 0, &img, IMAGE_DECODE_MAX_PIXELS), ImageStatus::BadData);
        EXPECT_EQ(img.pixels, nullptr);
    }
}

// ---- The entry points values reach -----------------------------------------------------------------

class ImageCodecEntries : public test::RuntimeTest {};

Cell& binary_of(const Bytes& b) {
    Cell& c = keep(make_none());
    binary_load_into(b.data(), uint32_t(b.size()), &c);
    return c;
}

TEST_F(ImageCodecEntries, EncodeAndDecodeValues) {
    Picture p = alpha_picture();
    Cell& img = keep(make_none());
    image_set(&img, platform_image_from_pixels(p.width, p.height, 0, p.pixels.data()));
    for (int32_t format : {IMAGE_BMP, IMAGE_PNG, IMAGE_TIFF}) {
        Cell& bin = keep(make_none());
        ASSERT_TRUE(image_encode(&img, &bin, format));
        ASSERT_TRUE(bin.is(T_BINARY));
        Cell& back = keep(make_none());
        image_decode(&bin, &back);
        ASSERT_TRUE(back.is(T_IMAGE));
        EXPECT_EQ(back.data3, image_size_word(p.width, p.height));
        const uint32_t* px = platform_image_source(&back, false);
        EXPECT_EQ(std::vector<uint32_t>(px, px + p.pixels.size()), p.pixels) << format;
    }
    // a pixel written through a lock shows in the next encoding
    platform_image_lock(&img, true)[3] = 0xFF0A0B0C;
    platform_image_unlock(&img);
    Cell& bin = keep(make_none());
    image_encode(&img, &bin, IMAGE_PNG);
    Cell& back = keep(make_none());
    image_decode(&bin, &back);
    EXPECT_EQ(platform_image_source(&back, false)[3], 0xFF0A0B0Cu);
}

TEST_F(ImageCodecEntries, ErrorsAndEmptyResults) {
    Cell& none_sig = binary_of({'h', 'e', 'l', 'l', 'o'});
    Cell& out = keep(make_none());
    image_decode(&none_sig, &out);
    EXPECT_TRUE(out.is(T_NONE));
    Bytes cut = read_fixture("source.png");
    cut.resize(cut.size() / 2);
    Cell& corrupt = binary_of(cut);
    EXPECT_EQ(raised([&] { image_decode(&corrupt, &out); }), Err::BadMedia);

    Cell& empty = keep(make_none());
    image_set(&empty, 0);
    EXPECT_EQ(raised([&] { image_encode(&empty, &out, IMAGE_PNG); }), Err::BadMedia);
    // the layer itself gives an empty binary for an image of no pixels
    ASSERT_TRUE(platform_image_encode(&empty, &out, IMAGE_PNG));
    ASSERT_TRUE(out.is(T_BINARY));
    EXPECT_EQ(binary_rs_length(&out), 0);

    // an unknown format prints a line and leaves the result alone
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int previous = output_set_fd(fds[1]);
    Cell& img = keep(make_none());
    uint32_t px = 0xFF000000;
    image_set(&img, platform_image_from_pixels(1, 1, 0, &px));
    Cell& untouched = keep(make_none());
    bool answered = platform_image_encode(&img, &untouched, 5);
    output_set_fd(previous);
    close(fds[1]);
    char text[64] = {};
    ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    EXPECT_FALSE(answered);
    EXPECT_TRUE(untouched.is(T_NONE));
    EXPECT_EQ(std::string(text, n > 0 ? size_t(n) : 0), "Cannot find image encoder\n");
}

TEST_F(ImageCodecEntries, LoadingFiles) {
    auto file_value = [](const std::string& path) -> Cell& {
        Cell* made = string_load_push(path.data(), int32_t(path.size()), TextEncoding::Utf8);
        set_cell_type(made, T_FILE);
        return *made;
    };
    std::string dir = KEL_IMAGE_FIXTURES;
    Cell& img = keep(make_none());
    image_load_file(&img, &file_value(dir + "/source.png"));
    ASSERT_TRUE(img.is(T_IMAGE));
    Picture source = read_pnm("source.ppm");
    const uint32_t* px = platform_image_source(&img, false);
    EXPECT_EQ(std::vector<uint32_t>(px, px + source.pixels.size()), source.pixels);
    // missing, not a picture, a cut picture and a directory: cannot-open naming the file
    Bytes cut = read_fixture("source.png");
    cut.resize(cut.size() - 1);
    std::string cut_path = "/tmp/codecs2-cut.png";
    std::ofstream(cut_path, std::ios::binary).write(reinterpret_cast<const char*>(cut.data()), std::streamsize(cut.size()));
    for (const std::string& bad : {dir + "/missing.png", dir + "/make.sh", cut_path, dir}) {
        Cell& f = file_value(bad);
        auto r = test::raised_with_arg([&] { image_load_file(&img, &f); });
        ASSERT_TRUE(r.has_value()) << bad;
        EXPECT_EQ(r->id, Err::CannotOpen) << bad;
        EXPECT_TRUE(r->arg1.is(T_FILE)) << bad;
    }
    std::remove(cut_path.c_str());
}

} // namespace
} // namespace kel
