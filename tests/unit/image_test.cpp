// The platform image layer: constructors, size limits, the premultiplied form and drawing, the
// render cache and its collection rule, release by the collector, and the hand-over of pixels to
// Cairo (an opaque image without a copy, a translucent one premultiplied).
#include "core/errors.h"
#include "core/extres.h"
#include "core/gc.h"
#include "core/stack.h"
#include "datatypes/binary.h"
#include "datatypes/datatype.h"
#include "datatypes/image.h"
#include "services/image.h"
#include "tests/unit/runtime_fixture.h"
#include "tests/unit/test_values.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kel {
namespace {

using test::keep;
using test::raised;

class ImageLayer : public test::RuntimeTest {};

// An image value kept on the data stack.
Cell& image_cell(Node node) {
    Cell c;
    image_set(&c, node);
    return keep(c);
}

Cell& make_image(uint32_t w, uint32_t h, std::vector<uint32_t> px) {
    return image_cell(platform_image_from_pixels(w, h, 0, px.data()));
}

std::vector<uint32_t> pixels_of(const Cell& img) {
    const uint32_t* p = platform_image_source(&img, false);
    return std::vector<uint32_t>(p, p + image_pixel_count(&img));
}

// Premultiplication computed independently of the layer: each channel c·a/255 rounded.
uint32_t expected_premultiplied(uint32_t p) {
    uint32_t a = p >> 24;
    auto ch = [a](uint32_t c) { return uint32_t(std::lround(c * a / 255.0)); };
    return (a << 24) | (ch((p >> 16) & 255) << 16) | (ch((p >> 8) & 255) << 8) | ch(p & 255);
}

TEST_F(ImageLayer, MakeFillsFromColourOrBytes) {
    const uint8_t red[] = {0xFF, 0, 0};
    const uint8_t blue_clear[] = {0, 0, 255, 255};
    const uint8_t two[] = {1, 2, 3, 4, 5, 6, 7};  // the 7th byte is cut off (not a whole pixel)
    const uint8_t alpha[] = {0x10};
    struct Case {
        const char* what;
        const uint8_t* rgb;
        size_t rgb_len;
        const uint8_t* alpha;
        size_t alpha_len;
        const uint8_t* colour;
        uint32_t colour_len;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {"rgb bytes for one pixel, white after", red, 3, nullptr, 0, nullptr, 0, {0xFFFF0000, 0xFFFFFFFF}},
        {"colour with transparency 255", nullptr, 0, nullptr, 0, blue_clear, 4, {0x000000FF, 0x000000FF}},
        {"three-byte colour is opaque", nullptr, 0, nullptr, 0, blue_clear, 3, {0xFF0000FF, 0xFF0000FF}},
        {"bytes cut to whole pixels", two, 7, nullptr, 0, nullptr, 0, {0xFF010203, 0xFF040506}},
        {"transparency bytes, opaque after", nullptr, 0, alpha, 1, nullptr, 0, {0xEFFFFFFF, 0xFFFFFFFF}},
        {"nothing: white", nullptr, 0, nullptr, 0, nullptr, 0, {0xFFFFFFFF, 0xFFFFFFFF}},
    };
    for (const Case& c : cases) {
        Cell& img = image_cell(platform_image_make(2, 1, c.rgb, c.rgb_len, c.alpha, c.alpha_len, c.colour, c.colour_len));
        EXPECT_EQ(pixels_of(img), c.want) << c.what;
    }
    EXPECT_EQ(platform_image_make(0, 5, nullptr, 0, nullptr, 0, nullptr, 0), 0u);
}

TEST_F(ImageLayer, SizesBeyondTheLimitsAreRefused) {
    EXPECT_TRUE(image_size_fits(65535, 32768));       // 2147450880 pixels
    EXPECT_FALSE(image_size_fits(46341, 46341));      // 2147488281: not below 2^31
    EXPECT_FALSE(image_size_fits(65536, 1));
    EXPECT_FALSE(image_size_fits(1, 65536));
    for (auto size : {std::pair{65536, 1}, {1, 65536}, {46341, 46341}}) {
        int w = size.first, h = size.second;
        EXPECT_EQ(raised([&] { platform_image_make(w, h, nullptr, 0, nullptr, 0, nullptr, 0); }), Err::OutOfRange);
        Cell& small = make_image(1, 1, {0xFF000000});
        EXPECT_EQ(raised([&] { platform_image_resize(&small, w, h); }), Err::OutOfRange);
    }
}

TEST_F(ImageLayer, TransformsReadTheStraightPixels) {
    Cell& img = make_image(2, 2, {0xFF000001, 0x80000002, 0xFF000003, 0x00000004});
    EXPECT_EQ(pixels_of(image_cell(platform_image_flip_vertical(img.data2))),
              (std::vector<uint32_t>{0xFF000003, 0x00000004, 0xFF000001, 0x80000002}));
    EXPECT_EQ(pixels_of(image_cell(platform_image_resize(&img, 4, 1))),
              (std::vector<uint32_t>{0xFF000001, 0xFF000001, 0x80000002, 0x80000002}));
    EXPECT_EQ(pixels_of(image_cell(platform_image_resize(&img, 1, 2))),
              (std::vector<uint32_t>{0xFF000001, 0xFF000003}));
    Cell& part = keep(make_none());
    platform_image_copy_part(&img, &part, 1, 0, 5, 5);   // clipped to the picture
    EXPECT_EQ(part.data3, image_size_word(1, 2));
    EXPECT_EQ(pixels_of(part), (std::vector<uint32_t>{0x80000002, 0x00000004}));
    // a stride wider than the row: the padding is not copied
    std::vector<uint32_t> padded = {1, 2, 99, 3, 4, 99};
    EXPECT_EQ(pixels_of(image_cell(platform_image_from_pixels(2, 2, 12, padded.data()))),
              (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST_F(ImageLayer, OpaqueImagesServeTheStoreAsTheirPremultipliedForm) {
    Cell& img = make_image(2, 1, {0xFF102030, 0xFF405060});
    const uint32_t* straight = platform_image_lock(&img, false);
    EXPECT_EQ(platform_image_source(&img, true), straight);
    // a translucent pixel written through a lock: a premultiplied copy from the next request on
    platform_image_lock(&img, true)[1] = 0x80FF8000;
    const uint32_t* pre = platform_image_source(&img, true);
    ASSERT_NE(pre, straight);
    EXPECT_EQ(pre[0], 0xFF102030u);
    EXPECT_EQ(pre[1], expected_premultiplied(0x80FF8000));
    EXPECT_EQ(platform_image_source(&img, true), pre);   // kept while the pixels do not change
    platform_image_set_pixel(img.data2, 1, 0x40FFFFFF);
    EXPECT_EQ(platform_image_source(&img, true)[1], expected_premultiplied(0x40FFFFFF));
    // straight pixels are untouched by premultiplying
    EXPECT_EQ(pixels_of(img), (std::vector<uint32_t>{0xFF102030, 0x40FFFFFF}));
}

TEST_F(ImageLayer, DrawingIsUnpremultipliedOnTheNextPixelAccess) {
    struct Case {
        const char* what;
        uint32_t first;   // the image's first pixel before drawing
    };
    for (Case c : {Case{"separate premultiplied copy", 0x80000000}, Case{"the opaque store itself", 0xFF000000}}) {
        Cell& img = make_image(2, 1, {c.first, 0xFFFFFFFF});
        uint32_t* target = platform_image_premultiplied_bitmap(&img);
        platform_image_mark_drawn(&img);
        target[1] = 0x80400000;   // premultiplied: straight red 0x80 at alpha 0x80
        EXPECT_EQ(platform_image_get_pixel(img.data2, 1), 0x80800000u) << c.what;
        // the premultiplied form handed out next reflects the drawing
        EXPECT_EQ(platform_image_source(&img, true)[1], 0x80400000u) << c.what;
    }
}

int g_released = 0;
void count_release(void*) { ++g_released; }

TEST_F(ImageLayer, RenderCacheLivesOneCollectionAfterBeingHandedOut) {
    g_released = 0;
    platform_image_set_cache_release(count_release);
    static int cache_a, cache_b;
    Cell& img = make_image(1, 1, {0xFF000000});
    platform_image_set_cached_bitmap(&img, &cache_a);
    platform_image_set_cached_bitmap(&img, &cache_b);   // replacing releases the old one
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(platform_image_cached_bitmap(&img), &cache_b);   // handed out: survives one cycle
    collector_cycle();
    EXPECT_EQ(platform_image_cached_bitmap(&img), &cache_b);
    collector_cycle();   // handed out again just before: survives
    EXPECT_EQ(g_released, 1);
    collector_cycle();   // not handed out since: released
    EXPECT_EQ(g_released, 2);
    EXPECT_EQ(platform_image_cached_bitmap(&img), nullptr);
    platform_image_set_cached_bitmap(&img, &cache_a);
    platform_image_mark_drawn(&img);   // drawing drops it
    EXPECT_EQ(g_released, 3);
    platform_image_set_cache_release(nullptr);
}

TEST_F(ImageLayer, UnreachableImagesAreReleasedByTheCollector) {
    g_released = 0;
    platform_image_set_cache_release(count_release);
    static int cache;
    Cell* top = g_stack.top;
    Cell& img = make_image(1, 1, {0xFF000000});
    int32_t slot = image_record(img.data2)->slot;
    platform_image_set_cached_bitmap(&img, &cache);
    platform_image_cached_bitmap(&img);
    collector_cycle();
    EXPECT_TRUE(extres_in_use(slot));
    g_stack.top = top;   // the value is gone
    collector_cycle();
    EXPECT_FALSE(extres_in_use(slot));
    EXPECT_EQ(g_released, 1);
    platform_image_set_cache_release(nullptr);
}

int g_live_stores = 0;
void count_store(uint32_t, uint32_t, void*) { ++g_live_stores; }

TEST_F(ImageLayer, NewPixelsBringACollectionThatReleasesDroppedImages) {
    // 40 images of 4 MB, each dropped at once: series allocation alone would not collect
    bool enabled = g_collector_enabled;
    g_collector_enabled = true;
    int most = 0;
    for (int i = 0; i < 40; ++i) {
        Cell* top = g_stack.top;
        image_cell(platform_image_make(1000, 1000, nullptr, 0, nullptr, 0, nullptr, 0));
        g_stack.top = top;
        g_live_stores = 0;
        extres_for_each(platform_image_kind(), count_store);
        most = std::max(most, g_live_stores);
    }
    g_collector_enabled = enabled;
    EXPECT_LE(most, 17);   // at most 64 MB of pixels made since the last collection, and the new one
}

TEST_F(ImageLayer, ReleasedImagesRefusePixelAccess) {
    Cell& img = make_image(1, 1, {0xFF000000});
    int32_t slot = image_record(img.data2)->slot;
    platform_image_release(img.data2);
    EXPECT_FALSE(extres_in_use(slot));
    EXPECT_EQ(raised([&] { platform_image_lock(&img, false); }), Err::BadMedia);
    EXPECT_EQ(platform_image_source(&img, true), nullptr);
    collector_cycle();   // a released record is still marked safely
}

TEST_F(ImageLayer, SignaturesAreRecognisedFromTheIndex) {
    struct Case {
        std::string bytes;
        bool known;
    };
    const Case cases[] = {
        {std::string("\x89PNG\r\n", 6), true}, {std::string("\xFF\xD8\xFF\xE0", 4), true},
        {"BM", true}, {"GIF87a", true}, {"GIF89a", true}, {std::string("II*\0", 4), true},
        {std::string("MM\0*", 4), true}, {std::string("MM*\0", 4), false}, {"GIF88a", false},
        {std::string("\xFF\xD8", 2), false}, {"B", false}, {"", false}, {"xBM", false},
    };
    for (const Case& c : cases) {
        Cell* bin = binary_load(reinterpret_cast<const uint8_t*>(c.bytes.data()), uint32_t(c.bytes.size()));
        EXPECT_EQ(image_signature_q(bin), c.known) << c.bytes;
        stack_pop();
    }
    // from the binary's index on
    Cell* bin = binary_load(reinterpret_cast<const uint8_t*>("xBM"), 3);
    bin->data1 = 1;
    EXPECT_TRUE(image_signature_q(bin));
    stack_pop();
}

// Paints a surface over the given pixels onto a fresh target and reads the target's bytes back.
std::vector<uint32_t> painted(const uint32_t* px, int w, int h) {
    cairo_surface_t* src = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(px)), CAIRO_FORMAT_ARGB32, w, h, w * 4);
    cairo_surface_t* dst = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(dst);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, src, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(dst);
    std::vector<uint32_t> out(size_t(w) * h);
    const unsigned char* data = cairo_image_surface_get_data(dst);
    int stride = cairo_image_surface_get_stride(dst);
    for (int y = 0; y < h; ++y) std::memcpy(out.data() + size_t(y) * w, data + size_t(y) * stride, size_t(w) * 4);
    cairo_surface_destroy(dst);
    cairo_surface_destroy(src);
    return out;
}

TEST_F(ImageLayer, OpaqueImagesReachCairoWithoutACopy) {
    ASSERT_EQ(cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, 3), 12);   // our stride
    std::vector<uint32_t> px = {0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0, 0xFFD0E0F0, 0xFF000000};
    Cell& img = make_image(3, 2, px);
    const uint32_t* pre = platform_image_source(&img, true);
    ASSERT_EQ(pre, platform_image_lock(&img, false));
    cairo_surface_t* s = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(const_cast<uint32_t*>(pre)), CAIRO_FORMAT_ARGB32, 3, 2, 12);
    ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_data(s), reinterpret_cast<const unsigned char*>(pre));
    cairo_surface_destroy(s);
    EXPECT_EQ(painted(pre, 3, 2), px);
}

TEST_F(ImageLayer, TranslucentImagesReachCairoPremultiplied) {
    // translucent 0.0.200 at alpha 200, transparent blue, half-transparent grey, opaque white
    std::vector<uint32_t> px = {0xC80000C8, 0x000000FF, 0x80808080, 0xFFFFFFFF};
    Cell& img = make_image(2, 2, px);
    const uint32_t* pre = platform_image_source(&img, true);
    std::vector<uint32_t> want;
    for (uint32_t p : px) want.push_back(expected_premultiplied(p));
    EXPECT_EQ(want[0], 0xC800009Du);   // 200 · 200 / 255 = 156.86
    EXPECT_EQ(want[1], 0u);
    EXPECT_EQ(painted(pre, 2, 2), want);
}

} // namespace
} // namespace kel
