// GIF on giflib: the first frame is decoded, the picture written as one frame.
//
// Decoding: the canvas is the logical screen, grown where the first frame reaches past it; pixels
// of the canvas outside the frame are transparent (0), and so is the colour index that the
// frame's graphic control block names transparent (its palette colour with alpha 0). The records
// after the first frame are read through the trailer without decoding their pixels, so a file cut
// anywhere fails.
//
// Encoding: a pixel with alpha below 128 is transparent, every other one opaque. Up to 256
// colours (the transparent one counted) are written exactly; more are reduced by median cut to
// 256 (the boxes are split on their widest channel at the median weighted by pixel counts, each
// box's colour the weighted mean of its colours).
#include "services/image-codecs.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kel {

namespace {

struct GifSource {
    const uint8_t* data;
    size_t length;
    size_t at;
};

int gif_read(GifFileType* gif, GifByteType* to, int n) {
    auto* s = static_cast<GifSource*>(gif->UserData);
    if (n <= 0) return 0;
    size_t k = std::min(size_t(n), s->length - s->at);
    if (k) std::memcpy(to, s->data + s->at, k);
    s->at += k;
    return int(k);
}

// Reads the file into out; the caller frees out->pixels on failure.
ImageStatus gif_decode_open(GifFileType* gif, DecodedImage* out, uint64_t max_pixels) {
    int transparent = -1;
    uint8_t* line = nullptr;
    ImageStatus status = ImageStatus::BadData;
    bool have_frame = false;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) goto done;
        if (type == TERMINATE_RECORD_TYPE) break;
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) goto done;
            if (!have_frame && code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
                transparent = (ext[1] & 1) ? ext[4] : -1;
            while (ext) {
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) goto done;
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) goto done;
        if (DGifGetImageDesc(gif) == GIF_ERROR) goto done;
        if (have_frame) {
            // later frames: their coded data is skipped block by block
            int size = 0;
            GifByteType* block = nullptr;
            if (DGifGetCode(gif, &size, &block) == GIF_ERROR) goto done;
            while (block) {
                if (DGifGetCodeNext(gif, &block) == GIF_ERROR) goto done;
            }
            continue;
        }
        have_frame = true;
        const GifImageDesc& d = gif->Image;
        const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
        if (!map || d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0) goto done;
        uint64_t cw = std::max<uint64_t>(uint64_t(gif->SWidth > 0 ? gif->SWidth : 0), uint64_t(d.Left) + d.Width);
        uint64_t ch = std::max<uint64_t>(uint64_t(gif->SHeight > 0 ? gif->SHeight : 0), uint64_t(d.Top) + d.Height);
        if (!image_decode_size_ok(cw, ch, max_pixels)) goto done;
        uint32_t palette[256];
        for (int i = 0; i < 256; ++i) {
            if (i < map->ColorCount) {
                const GifColorType& c = map->Colors[i];
                palette[i] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
            } else {
                palette[i] = 0xFF000000u;
            }
        }
        if (transparent >= 0) palette[transparent] &= 0x00FFFFFFu;
        status = ImageStatus::NoMemory;
        out->pixels = static_cast<uint32_t*>(std::calloc(size_t(cw) * ch, 4));
        line = static_cast<uint8_t*>(std::malloc(size_t(d.Width)));
        if (!out->pixels || !line) goto done;
        status = ImageStatus::BadData;
        out->width = uint32_t(cw);
        out->height = uint32_t(ch);
        // interlaced rows come in four passes: every 8th from 0, every 8th from 4, every 4th
        // from 2, every 2nd from 1
        static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        int passes = d.Interlace ? 4 : 1;
        for (int p = 0; p < passes; ++p) {
            int y0 = d.Interlace ? start[p] : 0, dy = d.Interlace ? step[p] : 1;
            for (int y = y0; y < d.Height; y += dy) {
                if (DGifGetLine(gif, line, d.Width) == GIF_ERROR) goto done;
                uint32_t* row = out->pixels + (size_t(d.Top) + y) * cw + d.Left;
                for (int x = 0; x < d.Width; ++x) row[x] = palette[line[x]];
            }
        }
    }
    if (have_frame) status = ImageStatus::Ok;
done:
    std::free(line);
    return status;
}

struct GifSink {
    EncodedBytes* out;
    bool no_memory;
};

int gif_write(GifFileType* gif, const GifByteType* bytes, int n) {
    auto* s = static_cast<GifSink*>(gif->UserData);
    if (n <= 0) return 0;
    if (!encoded_append(s->out, bytes, size_t(n))) {
        s->no_memory = true;
        return 0;
    }
    return n;
}

inline int channel(uint32_t c, int ch) { return int((c >> (16 - 8 * ch)) & 255); }

struct Entry {
    uint32_t colour;   // 0xRRGGBB
    uint32_t count;
};

// Median cut of the distinct colours (sorted by colour) down to at most `want` boxes; each
// colour's palette index goes to index (in the order of `colours`), the palette to palette.
void median_cut(std::vector<Entry>& colours, std::vector<uint8_t>& index, std::vector<uint32_t>& palette,
                size_t want) {
    struct Box {
        size_t begin, end;
    };
    std::vector<Box> boxes{{0, colours.size()}};
    auto widest = [&](const Box& b, int* which) {
        int best = -1;
        for (int ch = 0; ch < 3; ++ch) {
            int lo = 255, hi = 0;
            for (size_t i = b.begin; i < b.end; ++i) {
                int v = channel(colours[i].colour, ch);
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            if (hi - lo > best) {
                best = hi - lo;
                *which = ch;
            }
        }
        return best;
    };
    while (boxes.size() < want) {
        size_t pick = SIZE_MAX;
        int pick_range = 0, pick_ch = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin < 2) continue;
            int ch = 0;
            int range = widest(boxes[i], &ch);
            if (range > pick_range) {
                pick_range = range;
                pick = i;
                pick_ch = ch;
            }
        }
        if (pick == SIZE_MAX) break;
        Box b = boxes[pick];
        std::sort(colours.begin() + ptrdiff_t(b.begin), colours.begin() + ptrdiff_t(b.end),
                  [pick_ch](const Entry& x, const Entry& y) { return channel(x.colour, pick_ch) < channel(y.colour, pick_ch); });
        uint64_t total = 0;
        for (size_t i = b.begin; i < b.end; ++i) total += colours[i].count;
        uint64_t acc = 0;
        size_t cut = b.begin + 1;
        for (size_t i = b.begin; i < b.end - 1; ++i) {
            acc += colours[i].count;
            cut = i + 1;
            if (acc * 2 >= total) break;
        }
        boxes[pick] = {b.begin, cut};
        boxes.push_back({cut, b.end});
    }
    palette.clear();
    std::vector<std::pair<uint32_t, uint8_t>> lookup;
    lookup.reserve(colours.size());
    for (size_t k = 0; k < boxes.size(); ++k) {
        uint64_t sum[3] = {0, 0, 0}, n = 0;
        for (size_t i = boxes[k].begin; i < boxes[k].end; ++i) {
            for (int ch = 0; ch < 3; ++ch) sum[ch] += uint64_t(channel(colours[i].colour, ch)) * colours[i].count;
            n += colours[i].count;
            lookup.push_back({colours[i].colour, uint8_t(k)});
        }
        uint32_t c = 0;
        for (int ch = 0; ch < 3; ++ch) c |= uint32_t((sum[ch] + n / 2) / n) << (16 - 8 * ch);
        palette.push_back(c);
    }
    std::sort(lookup.begin(), lookup.end());
    std::sort(colours.begin(), colours.end(), [](const Entry& x, const Entry& y) { return x.colour < y.colour; });
    index.resize(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) index[i] = lookup[i].second;
}

ImageStatus gif_encode_checked(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    size_t n = size_t(width) * height;
    // the distinct opaque colours with their counts, in colour order
    std::vector<uint32_t> sorted;
    sorted.reserve(n);
    bool any_clear = false;
    for (size_t i = 0; i < n; ++i) {
        if ((pixels[i] >> 24) < 128) any_clear = true;
        else sorted.push_back(pixels[i] & 0xFFFFFF);
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<Entry> colours;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        colours.push_back({sorted[i], uint32_t(j - i)});
        i = j;
    }
    std::vector<uint32_t>().swap(sorted);
    size_t room = any_clear ? 255 : 256;
    std::vector<uint32_t> palette;
    std::vector<uint8_t> index(colours.size());
    if (colours.size() <= room) {
        for (size_t i = 0; i < colours.size(); ++i) {
            palette.push_back(colours[i].colour);
            index[i] = uint8_t(i);
        }
    } else {
        median_cut(colours, index, palette, room);
    }
    int clear_index = -1;
    if (any_clear) {
        clear_index = int(palette.size());
        palette.push_back(0);
    }
    int bits = 1;
    while ((size_t(1) << bits) < palette.size()) ++bits;
    std::vector<GifColorType> entries(size_t(1) << bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        entries[i] = GifColorType{GifByteType(palette[i] >> 16), GifByteType(palette[i] >> 8), GifByteType(palette[i])};
    ColorMapObject* map = GifMakeMapObject(1 << bits, entries.data());
    if (!map) return ImageStatus::NoMemory;

    GifSink sink{out, false};
    int err = 0;
    GifFileType* gif = EGifOpen(&sink, gif_write, &err);
    if (!gif) {
        GifFreeMapObject(map);
        return ImageStatus::NoMemory;
    }
    std::vector<GifPixelType> line(width);
    bool ok = true;
    EGifSetGifVersion(gif, any_clear);
    ok = EGifPutScreenDesc(gif, int(width), int(height), bits, 0, map) != GIF_ERROR;
    if (ok && any_clear) {
        const GifByteType control[4] = {0x01, 0, 0, GifByteType(clear_index)};
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_ERROR;
    }
    ok = ok && EGifPutImageDesc(gif, 0, 0, int(width), int(height), false, nullptr) != GIF_ERROR;
    for (uint32_t y = 0; ok && y < height; ++y) {
        const uint32_t* row = pixels + size_t(y) * width;
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t p = row[x];
            if ((p >> 24) < 128) {
                line[x] = GifPixelType(clear_index);
                continue;
            }
            Entry key{p & 0xFFFFFF, 0};
            auto it = std::lower_bound(colours.begin(), colours.end(), key,
                                       [](const Entry& a, const Entry& b) { return a.colour < b.colour; });
            line[x] = index[size_t(it - colours.begin())];
        }
        ok = EGifPutLine(gif, line.data(), int(width)) != GIF_ERROR;
    }
    if (EGifCloseFile(gif, &err) == GIF_ERROR) ok = false;
    GifFreeMapObject(map);
    if (ok) return ImageStatus::Ok;
    return sink.no_memory ? ImageStatus::NoMemory : ImageStatus::BadData;
}

} // namespace

ImageStatus image_gif_decode(const uint8_t* data, size_t length, DecodedImage* out, uint64_t max_pixels) {
    *out = DecodedImage{};
    GifSource src{data, length, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&src, gif_read, &err);
    if (!gif) return err == D_GIF_ERR_NOT_ENOUGH_MEM ? ImageStatus::NoMemory : ImageStatus::BadData;
    ImageStatus s = gif_decode_open(gif, out, max_pixels);
    if (s == ImageStatus::BadData && gif->Error == D_GIF_ERR_NOT_ENOUGH_MEM) s = ImageStatus::NoMemory;
    DGifCloseFile(gif, &err);
    if (s != ImageStatus::Ok) {
        std::free(out->pixels);
        *out = DecodedImage{};
    }
    return s;
}

ImageStatus image_gif_encode(const uint32_t* pixels, uint32_t width, uint32_t height, EncodedBytes* out) {
    *out = EncodedBytes{};
    ImageStatus s;
    try {
        s = gif_encode_checked(pixels, width, height, out);
    } catch (const std::bad_alloc&) {
        s = ImageStatus::NoMemory;
    }
    if (s != ImageStatus::Ok) encoded_free(out);
    return s;
}

} // namespace kel
