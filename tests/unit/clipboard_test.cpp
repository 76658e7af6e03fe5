// The forms clipboard data takes on its way in and out, checked without a display.
#include "services/clipboard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kel {
namespace {

TEST(ClipboardText, CrLfBecomesLfAndNulEnds) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\rb\n\r", "a\rb\n\r"},        // only the pair is turned
        {"\r\r\n", "\r\n"},
        {std::string("ab\0cd", 5), "ab"},
        {std::string("\0x", 2), ""},
        {"h\xC3\xA9llo", "h\xC3\xA9llo"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(clipboard_text_in(c.in), c.out) << c.in;
}

TEST(ClipboardUriList, PathsRoundTrip) {
    const std::vector<std::string> paths = {
        "/tmp/a b/\xC3\xA9 \xC3\xBC.txt", "/x/100%#?;.txt", "/dir/", "/", "/tab\there",
        "/\xFF\xFE raw bytes",   // not UTF-8: names on disk need not be
    };
    std::string list = clipboard_uri_list(paths);
    EXPECT_EQ(list.substr(0, 8), "file:///");
    EXPECT_EQ(list.find(' '), std::string::npos) << list;   // blanks are escaped in a URI
    EXPECT_EQ(clipboard_uri_list_paths(list), paths);
    EXPECT_EQ(clipboard_uri_list({}), "");
    EXPECT_TRUE(clipboard_uri_list_paths("").empty());
}

TEST(ClipboardUriList, ReadsWhatOtherOwnersWrite) {
    struct Case {
        const char* list;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {"file:///a\r\nfile:///b\r\n", {"/a", "/b"}},
        {"file:///a\nfile:///b", {"/a", "/b"}},                      // LF, no final line end
        {"# comment\r\nfile:///a%20b\r\n", {"/a b"}},
        {"http://example.invalid/x\r\nfile:///c\r\n", {"/c"}},        // names no local file
        {"  file:///d  \r\n\r\n", {"/d"}},
        {"not a uri\r\n", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(clipboard_uri_list_paths(c.list), c.paths) << c.list;
}

TEST(ClipboardPixels, RowsOfSamplesBecomeStorePixels) {
    // 2x2 with 3 padding bytes after each row; the last row may end without its padding.
    const uint8_t rgb[] = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 0xEE,
                           7, 8, 9, 10, 11, 12};
    uint32_t out[4] = {};
    clipboard_rows_to_pixels(rgb, 2, 2, 9, 3, out);
    EXPECT_EQ(out[0], 0xFF010203u);
    EXPECT_EQ(out[1], 0xFF040506u);
    EXPECT_EQ(out[2], 0xFF070809u);
    EXPECT_EQ(out[3], 0xFF0A0B0Cu);

    const uint8_t rgba[] = {0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x80};
    uint32_t two[2] = {};
    clipboard_rows_to_pixels(rgba, 2, 1, 8, 4, two);
    EXPECT_EQ(two[0], 0x00102030u);
    EXPECT_EQ(two[1], 0x80405060u);
}

} // namespace
} // namespace kel
