// url!: a string that names a resource.
//
// The cell and buffer are string!'s, and so are form, compare and the series actions. url! adds:
//  - make/to from a block of parts (scheme, host, optional port, path items);
//  - mold: the UTF-8 bytes with every byte outside the URL set (and "(" and ")", which would end
//    the token) written as a percent escape, which the lexer decodes when it reads the URL back;
//  - path access, which joins the element to the name with one "/" (file! inherits it);
//  - read, write and open, which take the HTTP way for "http:" and "https:" URLs and otherwise
//    go through a port made for the URL. The services that carry them out register in g_file_io;
//    the argument checks are made here before any of them is called.
#include "datatypes/file.h"

#include "core/context.h"
#include "core/errors.h"
#include "core/roots.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/unicode.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <algorithm>
#include <cstring>

namespace kel {

FileIoServices g_file_io;

bool url_is_http(const Cell* url) {
    Series* s = value_series(url);
    uint32_t unit = s->unit();
    int32_t n = string_rs_length(url);
    const uint8_t* p = s->head_ptr() + uint64_t(series_index(url)) * unit;
    static const char scheme[] = "https:";
    for (int32_t i = 0; i < 6; ++i) {
        if (i >= n) return false;
        uint32_t c = unit_get(p + uint64_t(i) * unit, unit);
        if (c >= 'A' && c <= 'Z') c += 32;
        if (i == 4 && c == ':') return true;   // "http:"
        if (c != uint8_t(scheme[i])) return false;
    }
    return true;
}

namespace {

Series* put_ascii(Series* s, const char* text) {
    for (; *text; ++text) s = string_append_char(s, uint8_t(*text));
    return s;
}

// The URL built from a block: scheme "://" host [":" port] ["/" item ("/" item | "#" issue)...].
void url_from_block(Cell* proto, const Cell* spec) {
    Rooted blk(*spec);
    uint32_t head = series_index(blk.get());
    uint32_t count = value_series(blk.get())->length();
    if (head >= count) {
        Cell dt = make_datatype(T_URL);
        fire_error(Err::BadToArg, &dt, blk.get());
    }
    Cell* out = stack_push_slot();
    string_make_at(out, 32, 1);
    auto item = [&](uint32_t i) { return *value_series(blk.get())->cell_at(i); };
    auto form_item = [&](uint32_t i) {
        Rooted v(item(i));
        string_form_value(v.get(), out, false, INT32_MAX);
    };
    form_item(head);
    put_ascii(value_series(out), "://");
    uint32_t i = head + 1;
    if (i < count) form_item(i++);
    if (i < count && item(i).is(T_INTEGER)) {
        put_ascii(value_series(out), ":");
        form_item(i++);
    }
    if (i < count) {
        put_ascii(value_series(out), "/");
        form_item(i++);
        for (; i < count; ++i) {
            put_ascii(value_series(out), item(i).is(T_ISSUE) ? "#" : "/");
            form_item(i);
        }
    }
    set_cell_type(out, T_URL);
    *proto = *out;
    stack_pop();
}

void url_make(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (type == T_URL && (t == T_BLOCK || t == T_PAREN || t == T_HASH)) return url_from_block(proto, spec);
    string_make(proto, spec, type);
}

void url_to(Cell* proto, Cell* spec, TypeId type) {
    TypeId t = spec->type();
    if (type == T_URL && (t == T_BLOCK || t == T_PAREN || t == T_HASH)) return url_from_block(proto, spec);
    string_to(proto, spec, type);
}

int32_t url_mold(const Cell* value, Cell* buffer, bool, bool, bool, bool part, int32_t budget, int32_t) {
    std::string bytes = string_utf8(value);
    std::string text;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    percent_encode(b, b + bytes.size(), PERCENT_URL_MOLD, text);
    size_t n = text.size();
    if (part) n = std::min(n, size_t(std::max(budget, 0)));
    string_append_bytes(buffer, reinterpret_cast<const uint8_t*>(text.data()), n);
    return budget - int32_t(n);
}

void url_eval_path(Cell* parent, const PathStep& step) {
    Rooted element(*step.element);
    if (step.value) fire_error(Err::BadPathSet, step.path ? step.path : element.get(), element.get());
    if (element->is(T_GET_WORD)) element.value = *word_get(element.get());
    Rooted value(*parent);
    TypeId type = value->type();
    Cell* out = stack_push_slot();
    string_make_at(out, uint32_t(string_rs_length(value.get())) + 16, value_series(value.get())->unit());
    string_form_value(element.get(), out, false, INT32_MAX);
    int32_t len = string_rs_length(value.get());
    bool value_slash = len > 0 && string_rs_abs_char(value.get(), series_index(value.get()) + uint32_t(len) - 1) == '/';
    bool element_slash = string_rs_length(out) > 0 && string_rs_abs_char(out, 0) == '/';
    if (!value_slash && !element_slash) string_insert_char_at(value_series(out), 0, '/');
    else if (value_slash && element_slash) string_remove_units(out, 0, 1);
    string_concatenate(out, value.get(), -1, 0, true, 1);
    set_cell_type(out, type);
    *parent = *out;
    stack_pop();
}

[[noreturn]] void not_done() { fire_error(Err::NotDone); }

// Replaces the URL in its cell with a port made for it (not opened).
void url_port(Cell* url) {
    if (!g_file_io.url_port) not_done();
    g_file_io.url_port(url);
}

// Calls the port action A of the port the URL names.
template <Action A>
void through_port(Cell* url, const Cell* arg2, const PortOpts& opts) {
    Rooted second(arg2 ? *arg2 : g_none_cell);
    url_port(url);
    auto fn = action_impl<A>(url->type());
    if (!fn) not_done();
    fn(url, arg2 ? second.get() : nullptr, opts);
}

void http_request(Cell* url, uint32_t method, const Cell* headers, const Cell* data, const PortOpts& opts) {
    if (!g_file_io.http_request) not_done();
    Rooted result(g_none_cell);
    g_file_io.http_request(&result.value, method, url, headers, data, opts.binary, opts.lines, opts.info);
    if (result->is(T_NONE)) fire_error(Err::NoConnect, url);
    *url = result.value;
}

void url_read(Cell* url, const Cell*, const PortOpts& opts) {
    if (!url_is_http(url)) return through_port<A_READ>(url, nullptr, opts);
    if (opts.part || opts.seek || opts.as) not_done();
    http_request(url, symbol_make("get"), nullptr, nullptr, opts);
}

void url_write(Cell* url, const Cell* value, const PortOpts& opts) {
    if (!url_is_http(url)) return through_port<A_WRITE>(url, value, opts);
    if (opts.seek || opts.allow || opts.as) not_done();
    Rooted v(*value);
    Rooted headers(g_none_cell), data(g_none_cell);
    bool has_headers = false, has_data = false;
    uint32_t method;
    if (v->is(T_BLOCK)) {
        uint32_t head = series_index(v.get());
        uint32_t count = value_series(v.get())->length();
        if (head >= count) {
            method = symbol_make("get");
        } else {
            Cell first = *value_series(v.get())->cell_at(head);
            if (!first.is(T_WORD)) fire_error(Err::InvalidArg, &first);
            method = symbol_resolve(first.data2);
            if (head + 1 < count) {
                headers.value = *value_series(v.get())->cell_at(head + 1);
                if (!headers->is(T_BLOCK)) fire_error(Err::InvalidArg, headers.get());
                has_headers = true;
            }
            if (head + 2 < count) {
                data.value = *value_series(v.get())->cell_at(head + 2);
                has_data = true;
            }
        }
    } else {
        method = symbol_make("post");
        data.value = v.value;
        has_data = true;
    }
    if (has_data && !data->is(T_BLOCK) && !data->is(T_STRING) && !data->is(T_BINARY))
        fire_error(Err::InvalidArg, data.get());
    http_request(url, method, has_headers ? headers.get() : nullptr, has_data ? data.get() : nullptr, opts);
}

void url_open(Cell* url, const Cell*, const PortOpts& opts) { through_port<A_OPEN>(url, nullptr, opts); }

} // namespace

void url_init() {
    ActionEntries e = action_entries(INHERIT);
    for (Action a : {A_RANDOM, A_REFLECT, A_ABSOLUTE, A_ADD, A_DIVIDE, A_MULTIPLY, A_NEGATE, A_POWER,
                     A_REMAINDER, A_ROUND, A_SUBTRACT, A_EVEN_Q, A_ODD_Q, A_AND, A_COMPLEMENT, A_OR,
                     A_XOR, A_PUT, A_SORT, A_TRIM, A_CREATE, A_CLOSE, A_DELETE, A_OPEN_Q, A_QUERY,
                     A_RENAME, A_UPDATE})
        e[a - 1] = UNSUPPORTED;
    set_entry<A_MAKE>(e, url_make);
    set_entry<A_TO>(e, url_to);
    set_entry<A_MOLD>(e, url_mold);
    set_entry<A_EVAL_PATH>(e, url_eval_path);
    set_entry<A_OPEN>(e, url_open);
    set_entry<A_READ>(e, url_read);
    set_entry<A_WRITE>(e, url_write);
    register_datatype(T_URL, T_STRING, "url!", e);
}

} // namespace kel
