// image!: making, text forms, positions, pixel access, the rgb/alpha/argb views, copy, change and
// comparison of pictures held by the platform image layer (services/image.h).
//
// The cell's size word and the record's agree (both are set when the record is made), so an
// image's size is read from the cell without touching the record. Pixels are read and written
// through the layer's straight store, which is malloc'd memory: it does not move when the
// collector runs, but every read of a binary's bytes happens before the next allocation.
//
// Editing (poke, change, a view or a pixel set through a path) tells the image's owner, when the
// cell carries the owned mark, before and after the change.
#include "datatypes/image.h"

#include "core/errors.h"
#include "core/ownership.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/words.h"
#include "datatypes/binary.h"
#include "datatypes/compound.h"
#include "datatypes/datatype.h"
#include "datatypes/file.h"
#include "datatypes/scalars.h"
#include "datatypes/string.h"
#include "services/image.h"
#include "services/image-codecs.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kel {

// ---- Shared helpers ----------------------------------------------------------------------------

Cell* image_set(Cell* cell, Node record) {
    uint32_t size = record ? image_record(record)->size : 0;
    *cell = Cell{T_IMAGE, 0, record, size};
    return cell;
}

Cell image_pixel_tuple(uint32_t pixel) {
    uint8_t b[4] = {uint8_t(pixel >> 16), uint8_t(pixel >> 8), uint8_t(pixel), uint8_t(255 - (pixel >> 24))};
    return make_tuple(b, 4);
}

uint32_t image_tuple_pixel(const Cell* tuple) {
    const uint8_t* b = tuple_bytes(tuple);
    uint32_t a = tuple_length(tuple) >= 4 ? 255u - b[3] : 255u;
    return (a << 24) | (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | b[2];
}

Cell image_get_pixel(const Cell* image, uint32_t index) {
    if (index >= image_pixel_count(image)) return make_none();
    return image_pixel_tuple(platform_image_get_pixel(image->data2, index));
}

uint32_t image_offset_index(const Cell* image, const Cell* position, bool one_based, bool* out_of_range) {
    int64_t w = image_width(image), h = image_height(image);
    int64_t n = image_pixel_count(image);
    int64_t e;
    bool flag = false;
    if (position->is(T_INTEGER)) {
        e = cell_integer(position);
    } else if (position->is(T_PAIR)) {
        int64_t x = pair_x(position), y = pair_y(position);
        e = (one_based && y > 0) ? x + w * (y - 1) : x + w * y;
        if (one_based) flag = x < 1 || x > w || y < 1 || y > h;
        else flag = x < 0 || x >= w || y < 0 || y >= h;
    } else {
        fire_error(Err::InvalidArg, position);
    }
    int64_t index = e + ((one_based && e <= 0) ? 1 : 0) + int64_t(series_index(image)) - (one_based ? 1 : 0);
    if (e == 0 || index < 0 || index >= n) flag = true;
    if (out_of_range) *out_of_range = flag;
    return uint32_t(std::clamp<int64_t>(index, 0, n));
}

namespace {

uint32_t head_of(const Cell* image) { return std::min(series_index(image), image_pixel_count(image)); }

void notify(const Cell* image, W action, const Cell* new_value, int32_t index, int32_t count) {
    if (image->header & CELL_OWNED) ownership_check(image, runtime_word(action), new_value, index, count);
}

// The rectangle of a copy, made into result (empty when a side is below 1).
void copy_rect(const Cell* image, Cell* result, int64_t x, int64_t y, int64_t w, int64_t h) {
    if (w < 1 || h < 1) {
        image_set(result, 0);
        return;
    }
    platform_image_copy_part(image, result, uint32_t(x), uint32_t(y), uint32_t(w), uint32_t(h));
}

// Poke of a pixel (pick's position rules): the value must be a tuple.
void poke_pixel(Cell* image, const Cell* position, const Cell* value, W before = W::Poke,
                W after = W::Poked) {
    bool out = false;
    uint32_t at = image_offset_index(image, position, true, &out);
    if (out) fire_error(Err::OutOfRange, position);
    if (!value->is(T_TUPLE)) fire_error(Err::InvalidArg, value);
    Rooted v(*value);
    notify(image, before, v.get(), int32_t(at), 1);
    platform_image_set_pixel(image->data2, at, image_tuple_pixel(v.get()));
    notify(image, after, v.get(), int32_t(at), 1);
}

Cell pick_pixel(const Cell* image, const Cell* position) {
    bool out = false;
    uint32_t at = image_offset_index(image, position, true, &out);
    if (out || at >= image_pixel_count(image)) return make_none();
    return image_get_pixel(image, at);
}

} // namespace

void image_poke_at(Cell* image, const Cell* position, const Cell* value) {
    Cell pos = *position;
    Rooted v(*value);
    poke_pixel(image, &pos, v.get());
    *image = v.value;
}

// ---- Views ---------------------------------------------------------------------------------------

void image_to_binary(const Cell* image, int32_t mode, Cell* result) {
    uint32_t n = image_pixel_count(image);
    if (n == 0) {
        binary_make(result, 1);
        return;
    }
    const uint32_t* px = platform_image_lock(image, false);
    if (mode == 2) {
        // the store is malloc'd memory: it stays put while the binary is allocated
        binary_load_into(reinterpret_cast<const uint8_t*>(px), uint64_t(n) * 4, result);
        return;
    }
    std::string bytes;
    bytes.resize(size_t(n) * (mode == 1 ? 3 : 1));
    auto* out = reinterpret_cast<uint8_t*>(bytes.data());
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t p = px[i];
        if (mode == 1) {
            *out++ = uint8_t(p >> 16);
            *out++ = uint8_t(p >> 8);
            *out++ = uint8_t(p);
        } else {
            *out++ = uint8_t(255 - (p >> 24));
        }
    }
    binary_load_into(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), result);
}

void image_from_binary(Cell* image, const Cell* value, int32_t mode) {
    uint32_t n = image_pixel_count(image);
    bool bytes_value = value->is(T_BINARY);
    if (!bytes_value && !value->is(T_TUPLE) && !value->is(T_INTEGER)) fire_error(Err::InvalidArg, value);
    if (n == 0) return;
    uint32_t* px = platform_image_lock(image, true);
    if (bytes_value) {
        Cell bin = *value;
        uint32_t len = uint32_t(binary_rs_length(&bin));
        const uint8_t* b = binary_rs_head(&bin);
        if (mode == 2) {
            std::memcpy(px, b, std::min<uint64_t>(len, uint64_t(n) * 4));
        } else if (mode == 1) {
            uint32_t m = std::min(n, len / 3);
            for (uint32_t i = 0; i < m; ++i, b += 3)
                px[i] = (px[i] & 0xFF000000) | (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | b[2];
        } else {
            uint32_t m = std::min(n, len);
            for (uint32_t i = 0; i < m; ++i) px[i] = (px[i] & 0x00FFFFFF) | (uint32_t(255 - b[i]) << 24);
        }
    } else {
        uint8_t b[4] = {0, 0, 0, 0};
        if (value->is(T_TUPLE)) {
            std::memcpy(b, tuple_bytes(value), std::min<uint32_t>(4, tuple_length(value)));
        } else {
            uint32_t i = uint32_t(cell_integer(value));
            for (int k = 0; k < 4; ++k) b[k] = uint8_t(i >> (8 * k));
        }
        uint32_t colour = (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | b[2];
        if (mode == 2) {
            uint32_t p = (uint32_t(255 - b[3]) << 24) | colour;
            for (uint32_t i = 0; i < n; ++i) px[i] = p;
        } else if (mode == 1) {
            for (uint32_t i = 0; i < n; ++i) px[i] = (px[i] & 0xFF000000) | colour;
        } else {
            uint32_t a = uint32_t(255 - b[0]) << 24;
            for (uint32_t i = 0; i < n; ++i) px[i] = (px[i] & 0x00FFFFFF) | a;
        }
    }
    platform_image_unlock(image);
    notify(image, W::Changed, value, 0, int32_t(n));
}

// ---- Codec entry points ----------------------------------------------------------------------------

bool image_signature_q(const Cell* binary) {
    Cell bin = *binary;
    return image_codec_format(binary_rs_head(&bin), size_t(binary_rs_length(&bin))) >= 0;
}

void image_decode(const Cell* binary, Cell* result) {
    Cell bin = *binary;
    const uint8_t* bytes = binary_rs_head(&bin);
    size_t length = size_t(binary_rs_length(&bin));
    if (image_codec_format(bytes, length) < 0) {
        *result = make_none();
        return;
    }
    // the bytes are read where they lie: nothing is allocated from the memory manager until the
    // pixels are decoded
    Node node = platform_image_from_bytes(bytes, length);
    if (!node) fire_error(Err::BadMedia);
    image_set(result, node);
}

void image_load_file(Cell* result, const Cell* file) {
    std::string path = file_to_os_path(file);
    Node node = platform_image_load_file(path.c_str());
    if (!node) fire_error(Err::CannotOpen, file);
    image_set(result, node);
}

bool image_encode(const Cell* image, Cell* result, int32_t format) {
    if (image->data3 == 0) fire_error(Err::BadMedia);
    return platform_image_encode(image, result, format);
}

void image_resize(const Cell* image, int32_t width, int32_t height, Cell* result) {
    Node node = platform_image_resize(image, width, height);
    Cell r{T_IMAGE, 0, node, image_size_word(uint32_t(std::max(width, 0)), uint32_t(std::max(height, 0)))};
    *result = r;
}

// ---- Actions ---------------------------------------------------------------------------------------

namespace {

void image_copy(Cell* series, Cell* result, const Cell* part, bool, const Cell*);

// The pixels of a blank image and its cell, from a size pair and the optional RGB bytes or colour
// and transparency bytes.
void make_from(Cell* out, const Cell* size, const Cell* second, const Cell* third) {
    int32_t w = std::max(pair_x(size), 0), h = std::max(pair_y(size), 0);
    const uint8_t* rgb = nullptr;
    size_t rgb_len = 0;
    const uint8_t* alpha = nullptr;
    size_t alpha_len = 0;
    uint8_t colour[4];
    uint32_t colour_len = 0;
    Cell a = second ? *second : make_none(), b = third ? *third : make_none();
    if (a.is(T_BINARY)) {
        rgb_len = size_t(binary_rs_length(&a));
        rgb = binary_rs_head(&a);
    } else if (a.is(T_TUPLE)) {
        colour_len = std::min<uint32_t>(4, tuple_length(&a));
        std::memcpy(colour, tuple_bytes(&a), colour_len);
    }
    if (b.is(T_BINARY)) {
        alpha_len = size_t(binary_rs_length(&b));
        alpha = binary_rs_head(&b);
    }
    // platform_image_make reads the bytes before it allocates
    Node node = platform_image_make(uint32_t(w), uint32_t(h), rgb, rgb_len, alpha, alpha_len,
                                    colour_len ? colour : nullptr, colour_len);
    *out = Cell{T_IMAGE, 0, node, image_size_word(uint32_t(w), uint32_t(h))};
}

void image_to(Cell* proto, Cell* spec, TypeId) {
    if (spec->is(T_IMAGE)) {
        Rooted result(make_none());
        image_copy(spec, result.get(), nullptr, false, nullptr);
        *proto = result.value;
        return;
    }
    Cell t = make_datatype(T_IMAGE);
    fire_error(Err::BadToArg, &t, spec);
}

void image_make(Cell* proto, Cell* spec, TypeId type) {
    if (spec->is(T_PAIR)) {
        Rooted out(make_none());
        make_from(out.get(), spec, nullptr, nullptr);
        *proto = out.value;
        return;
    }
    if (!spec->is(T_BLOCK)) return image_to(proto, spec, type);
    Series* s = value_series(spec);
    uint32_t at = series_index(spec);
    uint32_t len = at < s->length() ? s->length() - at : 0;
    if (len == 0) {
        if (proto->is(T_IMAGE)) return image_to(proto, proto, type);
        fire_error(Err::InvalidArg, spec);
    }
    Cell size = *s->cell_at(at);
    if (!size.is(T_PAIR)) fire_error(Err::InvalidArg, &size);
    Cell second = len > 1 ? *s->cell_at(at + 1) : make_none();
    Cell third = len > 2 ? *s->cell_at(at + 2) : make_none();
    if (len > 1 && !second.is(T_BINARY) && !second.is(T_TUPLE)) fire_error(Err::InvalidArg, &second);
    if (len > 2 && !third.is(T_BINARY)) fire_error(Err::InvalidArg, &third);
    // the spec block (on the stack) keeps the binaries alive
    Rooted out(make_none());
    make_from(out.get(), &size, len > 1 ? &second : nullptr, len > 2 ? &third : nullptr);
    *proto = out.value;
}

// ---- form and mold ----------------------------------------------------------------------------------

int32_t mold_image(const Cell* value, Cell* buffer, bool only, bool flat, bool part, int32_t budget,
                   int32_t level) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    auto text = [&](const std::string& t) {
        out += t;
        budget -= int32_t(t.size());
    };
    auto indentation = [&](int32_t lv) {
        for (int32_t i = 0; i < lv * 4; ++i) out += ' ';
        budget -= std::max(lv, 0) * 4;
    };
    auto hex = [&](uint32_t byte) {
        out += digits[(byte >> 4) & 15];
        out += digits[byte & 15];
    };
    if (!only) text("make image! [");
    text(std::to_string(image_width(value)) + "x" + std::to_string(image_height(value)));
    if (!value->data2) {
        text(" #{}");
        if (!only) text("]");
        string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(out.data()), out.size());
        return budget;
    }
    uint32_t n = image_pixel_count(value);
    uint32_t from = head_of(value);
    uint32_t count = n - from;
    const uint32_t* px = platform_image_source(value, false) + from;
    bool lines = uint64_t(count) * 4 > 30 && !flat;
    bool translucent = false;
    text(" #{");
    if (lines) {
        out += '\n';
        budget -= 1;
        indentation(level);
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (part && budget <= 0) {
            string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(out.data()), out.size());
            return budget;
        }
        uint32_t p = px[i];
        hex(p >> 16);
        hex(p >> 8);
        hex(p);
        budget -= 6;
        if ((p >> 24) != 255) translucent = true;
        if (lines && (i + 1) % 10 == 0 && i + 1 < count) {
            out += '\n';
            budget -= 1;
            indentation(level);
        }
    }
    if (lines) {
        out += '\n';
        budget -= 1;
        indentation(level - 1);
    }
    text("}");
    if (translucent) {
        text(" #{\n");
        indentation(level);
        for (uint32_t i = 0; i < count; ++i) {
            hex(255 - (px[i] >> 24));
            budget -= 2;
            if ((i + 1) % 10 == 0 && i + 1 < count) {
                out += '\n';
                budget -= 1;
                indentation(level);
            }
        }
        out += '\n';
        budget -= 1;
        indentation(level - 1);
        text("}");
    }
    if (!only) text("]");
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(out.data()), out.size());
    return budget;
}

int32_t image_mold(const Cell* value, Cell* buffer, bool only, bool, bool flat, bool part, int32_t budget,
                   int32_t indent) {
    return mold_image(value, buffer, only, flat, part, budget, indent + 1);
}

int32_t image_form(const Cell* value, Cell* buffer, bool part, int32_t budget) {
    return mold_image(value, buffer, false, false, part, budget, 0);
}

// ---- Path access -----------------------------------------------------------------------------------

void image_eval_path(Cell* parent, const PathStep& step) {
    const Cell* el = step.element;
    if (el->is(T_INTEGER) || el->is(T_PAIR)) {
        if (!step.value) {
            *parent = pick_pixel(parent, el);
        } else {
            Rooted v(*step.value);
            poke_pixel(parent, el, v.get());
            *parent = v.value;
        }
        return;
    }
    int32_t mode = -1;
    bool size = false;
    if (el->is(T_WORD)) {
        uint32_t s = symbol_resolve(el->data2);
        if (s == symbol_resolve(sym(Sym::Size))) size = true;
        else if (s == symbol_resolve(sym(Sym::Rgb))) mode = 1;
        else if (s == symbol_resolve(sym(Sym::Alpha))) mode = 0;
        else if (s == symbol_resolve(sym(Sym::Argb))) mode = 2;
    }
    if ((!size && mode < 0) || (size && step.value)) {
        if (!step.path) fire_error(Err::CannotUse, el, parent);
        fire_error(Err::InvalidPath, step.path, el);
    }
    if (size) {
        *parent = make_pair(int32_t(image_width(parent)), int32_t(image_height(parent)));
        return;
    }
    if (!step.value) {
        Rooted result(make_none());
        image_to_binary(parent, mode, result.get());
        *parent = result.value;
        return;
    }
    Rooted v(*step.value);
    image_from_binary(parent, v.get(), mode);
    *parent = v.value;
}

// ---- compare ---------------------------------------------------------------------------------------

int32_t image_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(T_IMAGE)) return CMP_NOT_COMPARABLE;
    bool same = a->data2 == b->data2 && a->data1 == b->data1;
    if (op == CMP_SAME) return same ? 0 : -1;
    bool eq_op = op == CMP_EQUAL || op == CMP_NOT_EQUAL || op == CMP_STRICT_EQUAL;
    if (!eq_op && op != CMP_SORT && op != CMP_CASE_SORT && op != CMP_SEARCH) return CMP_NOT_COMPARABLE;
    if (eq_op && same) return 0;
    uint32_t na = image_pixel_count(a), nb = image_pixel_count(b);
    if (na != nb) return na < nb ? -1 : 1;
    // one pixel count, another shape: ordered by width, then by height
    if (image_width(a) != image_width(b)) return image_width(a) < image_width(b) ? -1 : 1;
    if (image_height(a) != image_height(b)) return image_height(a) < image_height(b) ? -1 : 1;
    if (na == 0) return 0;
    int c = std::memcmp(platform_image_source(a, false), platform_image_source(b, false), size_t(na) * 4);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// ---- Series actions --------------------------------------------------------------------------------

void image_at(Cell* s, const Cell* offset) { s->data1 = image_offset_index(s, offset, true, nullptr); }
void image_skip(Cell* s, const Cell* offset) { s->data1 = image_offset_index(s, offset, false, nullptr); }
void image_next(Cell* s) {
    if (series_index(s) < image_pixel_count(s)) s->data1++;
}
void image_tail(Cell* s) { s->data1 = image_pixel_count(s); }
void image_tail_q(Cell* s) { *s = make_logic(series_index(s) >= image_pixel_count(s)); }
int32_t image_length_q(const Cell* s) { return int32_t(image_pixel_count(s)); }

void image_pick(Cell* series, int32_t index, const Cell* index_value) {
    Cell pos = index_value ? *index_value : make_integer(index);
    *series = pick_pixel(series, &pos);
}

void image_poke(Cell* series, int32_t index, const Cell* value) {
    Cell pos = make_integer(index);
    image_poke_at(series, &pos, value);
}

void image_copy(Cell* series, Cell* result, const Cell* part, bool, const Cell*) {
    int64_t w = image_width(series), h = image_height(series);
    int64_t n = image_pixel_count(series);
    int64_t i = series_index(series);
    if (w == 0 || h < 1 || !series->data2) {
        image_set(result, 0);
        return;
    }
    if (!part) {
        if (i == 0) platform_image_copy(series, result);
        else copy_rect(series, result, i % w, i / w, w - i % w, h - i / w);
        return;
    }
    if (part->is(T_INTEGER)) fire_error(Err::NotDone);
    if (part->is(T_PAIR)) {
        int64_t px = pair_x(part), py = pair_y(part);
        int64_t col = i % w, row = i / w;
        if (px >= 1 && py >= 1 && i < n) {
            copy_rect(series, result, col, row, std::min(w - col, px), std::min(h - row, py));
        } else if (px < 0 && py < 0 && i >= 1) {
            int64_t right = col == 0 ? w : col;
            int64_t bottom = std::min(row + 1, h);
            int64_t left = std::max<int64_t>(0, right + px), top = std::max<int64_t>(0, bottom + py);
            copy_rect(series, result, left, top, right - left, bottom - top);
        } else {
            image_set(result, 0);
        }
        return;
    }
    if (part->is(T_IMAGE)) {
        if (part->data2 != series->data2)
            fire_error(Err::InvalidRefineArg, runtime_refinement(R::Part), part);
        int64_t j = std::min<int64_t>(series_index(part), n);
        int64_t lo = std::min(std::min(i, n), j), hi = std::max(std::min(i, n), j);
        int64_t x0 = lo % w, y0 = lo / w, x1 = hi % w, y1 = hi / w;
        copy_rect(series, result, x0, y0, x1 - x0, y1 - y0);
        return;
    }
    fire_error(Err::InvalidRefineArg, runtime_refinement(R::Part), part);
}

void image_change(Cell* series, const Cell* value, int32_t part, bool, int32_t dup) {
    if (part != -1 || dup >= 2) fire_error(Err::NotDone);
    if (value->is(T_TUPLE)) {
        Cell pos = make_integer(1);
        Rooted v(*value);
        poke_pixel(series, &pos, v.get(), W::Change, W::Changed);
        series->data1 = series_index(series) + 1;
        return;
    }
    if (!value->is(T_IMAGE)) fire_invalid_type(value);
    uint32_t w = image_width(series), h = image_height(series);
    uint32_t n = image_pixel_count(series);
    uint32_t i = series_index(series);
    if (i >= n) return;
    uint32_t col = i % w, row = i / w;
    uint32_t sw = image_width(value), sh = image_height(value);
    uint32_t cols = value->data2 ? std::min(sw, w - col) : 0;
    uint32_t rows = value->data2 ? std::min(sh, h - row) : 0;
    Rooted src(*value);
    notify(series, W::Change, src.get(), int32_t(i), int32_t(cols * rows));
    if (cols && rows) {
        const uint32_t* from = platform_image_lock(src.get(), false);
        uint32_t* to = platform_image_lock(series, true);
        // an image changed with its own picture reads a copy of the rows it takes
        std::vector<uint32_t> own;
        if (from == to) {
            own.assign(from, from + size_t(rows - 1) * sw + cols);
            from = own.data();
        }
        for (uint32_t r = 0; r < rows; ++r)
            std::memcpy(to + size_t(row + r) * w + col, from + size_t(r) * sw, size_t(cols) * 4);
        platform_image_unlock(series);
        series->data1 = (row + rows - 1) * w + col + cols;
    }
    notify(series, W::Changed, src.get(), int32_t(i), int32_t(cols * rows));
}

} // namespace

void image_init() {
    ActionEntries e = action_entries(UNSUPPORTED);
    for (Action a : {A_BACK, A_HEAD, A_HEAD_Q, A_INDEX_Q, A_MODIFY}) e[a - 1] = INHERIT;
    set_entry<A_MAKE>(e, image_make);
    set_entry<A_TO>(e, image_to);
    set_entry<A_FORM>(e, image_form);
    set_entry<A_MOLD>(e, image_mold);
    set_entry<A_EVAL_PATH>(e, image_eval_path);
    set_entry<A_COMPARE>(e, image_compare);
    set_entry<A_AT>(e, image_at);
    set_entry<A_CHANGE>(e, image_change);
    set_entry<A_COPY>(e, image_copy);
    set_entry<A_LENGTH_Q>(e, image_length_q);
    set_entry<A_NEXT>(e, image_next);
    set_entry<A_PICK>(e, image_pick);
    set_entry<A_POKE>(e, image_poke);
    set_entry<A_SKIP>(e, image_skip);
    set_entry<A_TAIL>(e, image_tail);
    set_entry<A_TAIL_Q>(e, image_tail_q);
    register_datatype(T_IMAGE, T_SERIES, "image!", e);
    platform_image_init();
}

} // namespace kel
