// The system clipboard (see clipboard.h).
//
// GTK is reached only from here and services/gtk.cpp. The serving callbacks run inside GTK's main
// loop: they read the C++ copy of what was written and never touch the runtime's memory, so they
// can neither allocate nor raise.
#include "services/clipboard.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/string.h"
#include "datatypes/words.h"
#include "evaluator/lexer.h"
#include "services/gtk.h"
#include "services/image-codecs.h"

#include <gtk/gtk.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kel {

// ---- Forms of the data ---------------------------------------------------------------------------

std::string clipboard_text_in(std::string_view text) {
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

std::string clipboard_uri_list(const std::vector<std::string>& paths) {
    std::string out;
    for (const std::string& path : paths) {
        gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        if (!uri) continue;   // only a relative path fails, and callers pass absolute ones
        out += uri;
        out += "\r\n";
        g_free(uri);
    }
    return out;
}

std::vector<std::string> clipboard_uri_list_paths(std::string_view list) {
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view line = list.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line.front() == '#') continue;
        std::string uri(line);
        if (uri.find('\0') != std::string::npos) continue;
        gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
        if (!path) continue;
        paths.emplace_back(path);
        g_free(path);
    }
    return paths;
}

void clipboard_rows_to_pixels(const uint8_t* rows, uint32_t width, uint32_t height, size_t stride,
                              uint32_t channels, uint32_t* out) {
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* p = rows + size_t(y) * stride;
        for (uint32_t x = 0; x < width; ++x, p += channels) {
            uint32_t alpha = channels == 4 ? p[3] : 255;
            *out++ = alpha << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        }
    }
}

namespace {

// ---- Writing -------------------------------------------------------------------------------------

enum class Kind : uint8_t { Empty, Text, Uris, Png };
enum : guint { SERVE_TEXT = 1, SERVE_BYTES = 2 };

// What this process offers: freed by GTK (release) when the selection is taken or replaced.
struct Offer {
    Kind kind;
    std::string bytes;
};

constexpr const char* URI_LIST = "text/uri-list";
constexpr const char* PNG = "image/png";
// Encoded image formats read, in order of preference; each is decoded by its signature.
constexpr const char* IMAGE_TARGETS[] = {PNG, "image/jpeg", "image/gif"};

void serve(GtkClipboard*, GtkSelectionData* data, guint info, gpointer user) {
    const Offer* offer = static_cast<const Offer*>(user);
    if (info == SERVE_TEXT) {
        gtk_selection_data_set_text(data, offer->bytes.data(), gint(offer->bytes.size()));
    } else {
        gtk_selection_data_set(data, gtk_selection_data_get_target(data), 8,
                               reinterpret_cast<const guchar*>(offer->bytes.data()),
                               gint(offer->bytes.size()));
    }
}

void release(GtkClipboard*, gpointer user) { delete static_cast<Offer*>(user); }

GtkClipboard* clipboard() { return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD); }

// At exit, a clipboard manager (when one runs) takes a copy of what this process still owns.
void store_at_exit() {
    if (gtk_started()) gtk_clipboard_store(clipboard());
}

// Takes the selection with the offer's targets; GTK owns the offer once this succeeds.
bool place(Offer* offer) {
    if (offer->bytes.size() > size_t(INT_MAX)) {
        delete offer;
        return false;
    }
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    if (offer->kind == Kind::Text) gtk_target_list_add_text_targets(list, SERVE_TEXT);
    if (offer->kind == Kind::Uris) gtk_target_list_add(list, gdk_atom_intern_static_string(URI_LIST), 0, SERVE_BYTES);
    if (offer->kind == Kind::Png) gtk_target_list_add(list, gdk_atom_intern_static_string(PNG), 0, SERVE_BYTES);
    gint count = 0;
    GtkTargetEntry* table = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    // An empty offer still takes the selection: the clipboard then holds nothing.
    static GtkTargetEntry no_target = {const_cast<gchar*>("TARGETS"), 0, 0};
    bool placed = gtk_clipboard_set_with_data(clipboard(), table ? table : &no_target, guint(count),
                                              serve, release, offer);
    gtk_target_table_free(table, count);
    if (!placed) {
        delete offer;
        return false;
    }
    gtk_clipboard_set_can_store(clipboard(), nullptr, 0);
    static bool store_registered = false;
    if (!store_registered) store_registered = std::atexit(store_at_exit) == 0;
    return true;
}

// The absolute POSIX path of a file name in a written block; raises invalid-arg for a value that
// is not a file! or string! and for a name holding NUL.
std::string absolute_path(const Cell* item) {
    if (!item->is(T_FILE) && !item->is(T_STRING)) fire_error(Err::InvalidArg, item);
    std::string path = file_to_os_path(item);
    if (path.empty() || path.front() != '/') path = file_current_dir_text() + path;
    return path;
}

// ---- Reading -------------------------------------------------------------------------------------

bool offers(const GdkAtom* targets, gint count, const char* name) {
    GdkAtom atom = gdk_atom_intern_static_string(name);
    for (gint i = 0; i < count; ++i)
        if (targets[i] == atom) return true;
    return false;
}

// The bytes the owner gives for a target; false when it gives none.
bool fetch(const char* target, std::string& out) {
    GtkSelectionData* data = gtk_clipboard_wait_for_contents(clipboard(), gdk_atom_intern_static_string(target));
    if (!data) return false;
    gint length = gtk_selection_data_get_length(data);
    const guchar* bytes = gtk_selection_data_get_data(data);
    bool ok = length >= 0 && (bytes || length == 0);
    if (ok) out.assign(reinterpret_cast<const char*>(bytes), size_t(length));
    gtk_selection_data_free(data);
    return ok;
}

// A new string! (or file!) of UTF-8 bytes on the data stack; bad sequences become U+FFFD.
Cell* push_utf8(const std::string& text, TypeId type) {
    Cell* s = string_load_push("", 0, TextEncoding::Utf8);
    string_append_utf8(s, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    set_cell_type(s, type);
    return s;
}

// What the clipboard offers, as read-clipboard answers it: string!, block! of file!, none, or
// false when the offered data cannot be fetched.
enum class Found { Nothing, Failed, Text, Files, Image };

struct FreePixels {
    void operator()(uint32_t* p) const { std::free(p); }
};

struct Content {
    Found found = Found::Nothing;
    std::string text;
    std::vector<std::string> paths;
    std::unique_ptr<uint32_t, FreePixels> pixels;   // malloc'd, as platform_image_new takes them
    uint32_t width = 0, height = 0;
};

// An image of encoded bytes; false when they do not decode.
bool decode_image(const std::string& bytes, Content& c) {
    DecodedImage img;
    if (image_codec_decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &img) != ImageStatus::Ok)
        return false;
    c.pixels.reset(img.pixels);
    c.width = img.width;
    c.height = img.height;
    return true;
}

// An image of any format GTK's image loaders know; false when there is none.
bool gtk_image(Content& c) {
    GdkPixbuf* pixbuf = gtk_clipboard_wait_for_image(clipboard());
    if (!pixbuf) return false;
    bool ok = false;
    int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    int channels = gdk_pixbuf_get_n_channels(pixbuf);
    if (gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB &&
        gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 && (channels == 3 || channels == 4) &&
        image_decode_size_ok(uint64_t(width), uint64_t(height), IMAGE_DECODE_MAX_PIXELS)) {
        auto* pixels = static_cast<uint32_t*>(std::malloc(size_t(width) * size_t(height) * 4));
        if (pixels) {
            clipboard_rows_to_pixels(gdk_pixbuf_read_pixels(pixbuf), uint32_t(width), uint32_t(height),
                                     size_t(gdk_pixbuf_get_rowstride(pixbuf)), uint32_t(channels), pixels);
            c.pixels.reset(pixels);
            c.width = uint32_t(width);
            c.height = uint32_t(height);
            ok = true;
        }
    }
    g_object_unref(pixbuf);
    return ok;
}

// Asks the owner; touches no runtime memory.
Content query() {
    Content c;
    GdkAtom* targets = nullptr;
    gint count = 0;
    if (!gtk_clipboard_wait_for_targets(clipboard(), &targets, &count)) return c;
    if (gtk_targets_include_text(targets, count)) {
        gchar* text = gtk_clipboard_wait_for_text(clipboard());
        if (text) {
            c.found = Found::Text;
            c.text = clipboard_text_in(text);
            g_free(text);
        } else {
            c.found = Found::Failed;
        }
    } else if (offers(targets, count, URI_LIST)) {
        std::string list;
        if (fetch(URI_LIST, list)) {
            c.found = Found::Files;
            c.paths = clipboard_uri_list_paths(list);
        } else {
            c.found = Found::Failed;
        }
    } else {
        // The first encoded format offered that can be fetched and decoded, then GTK's loaders.
        for (const char* target : IMAGE_TARGETS) {
            std::string bytes;
            if (!offers(targets, count, target)) continue;
            if (!fetch(target, bytes)) {
                c.found = Found::Failed;
                continue;
            }
            if (decode_image(bytes, c)) break;
        }
        if (!c.pixels && gtk_targets_include_image(targets, count, FALSE)) gtk_image(c);
        if (c.pixels) c.found = Found::Image;
    }
    g_free(targets);
    return c;
}

// ---- The routines ------------------------------------------------------------------------------

void routine_read_clipboard(bool, const int32_t*) {
    Cell* result = stack_arg(0);
    clipboard_read(result);
    stack_set_result(result);
}

void routine_write_clipboard(bool, const int32_t*) {
    Cell done = make_logic(clipboard_write(stack_arg(0)));
    stack_set_result(&done);
}

// Makes the routine from the text of its spec block's contents and binds the global word of that name to it.
void define_routine(const char* name, RoutineFn fn, const char* spec_text, int32_t return_type) {
    uint32_t index = routine_register(name, fn);
    Cell* base = g_stack.top;
    Cell* spec = stack_push(make_none());
    lexer_scan(spec, reinterpret_cast<const uint8_t*>(spec_text), uint32_t(std::strlen(spec_text)), LexerCall{});
    Cell* routine = routine_make(spec, nullptr, index, return_type);
    Cell* word = word_push_symbol(symbol_make(name));
    int32_t i = context_find_word(g_global_context, word->data2, false);
    if (i >= 0) *context_value_at(g_global_context, uint32_t(i)) = *routine;
    g_stack.top = base;
}

} // namespace

void clipboard_read(Cell* result) {
    if (!gtk_display_open()) {
        *result = make_logic(false);
        return;
    }
    Content c = query();
    switch (c.found) {
    case Found::Nothing: *result = make_none(); return;
    case Found::Failed: *result = make_logic(false); return;
    case Found::Text: *result = *push_utf8(c.text, T_STRING); break;
    case Found::Files: {
        Cell* block = block_push_only(int32_t(c.paths.size()));
        for (const std::string& path : c.paths) {
            block_append_value(block, push_utf8(path, T_FILE));
            stack_pop();
        }
        *result = *block;
        break;
    }
    case Found::Image: {
        // platform_image_new owns the pixels from here on, also when it cannot make the record.
        Node record = platform_image_new(c.pixels.release(), IMG_PIXELS_VALID | IMG_PIXELS_CHANGED,
                                         c.width, c.height);
        image_set(result, record);
        return;
    }
    }
    stack_pop();
}

bool clipboard_write(const Cell* value) {
    Offer* offer = nullptr;
    switch (value->type()) {
    case T_NONE: offer = new Offer{Kind::Empty, {}}; break;
    case T_STRING: {
        Rooted str(*value);
        int32_t count = -1;
        const char* text = string_to_utf8(str.get(), &count);
        offer = new Offer{Kind::Text, std::string(text, size_t(count))};
        break;
    }
    case T_BLOCK: {
        Rooted block(*value);
        std::vector<std::string> paths;
        for (uint32_t i = series_index(block.get());; ++i) {
            Series* s = value_series(block.get());
            if (i >= s->length()) break;
            Rooted item(*s->cell_at(i));
            paths.push_back(absolute_path(item.get()));
        }
        offer = new Offer{Kind::Uris, clipboard_uri_list(paths)};
        break;
    }
    case T_IMAGE: {
        uint32_t width = image_width(value), height = image_height(value);
        if (image_pixel_count(value) == 0) {
            offer = new Offer{Kind::Empty, {}};
            break;
        }
        const uint32_t* pixels = platform_image_source(value, false);
        EncodedBytes png;
        if (!pixels || image_png_encode(pixels, width, height, &png) != ImageStatus::Ok) return false;
        offer = new Offer{Kind::Png, std::string(reinterpret_cast<const char*>(png.data), png.length)};
        encoded_free(&png);
        break;
    }
    default: fire_error(Err::InvalidArg, value);
    }
    if (!gtk_display_open()) {
        delete offer;
        return false;
    }
    return place(offer);
}

void clipboard_init() {
    define_routine("read-clipboard", routine_read_clipboard,
                   "\"Return the contents of the system clipboard\" return: \"false on failure, "
                   "none if empty, otherwise: string!, block! of files!, or an image!\"",
                   0);
    define_routine("write-clipboard", routine_write_clipboard,
                   "\"Write content to the system clipboard\" data [any-type!] \"string!, block! "
                   "of files!, an image! or none!\" return: \"indicates success\"",
                   T_LOGIC);
}

} // namespace kel
