// HTTP requests on libcurl, the service behind the url! actions read and write.
//
// A request goes in three steps, so that nothing of the runtime moves while libcurl works:
//  1. the method, URL, headers and body are turned into plain bytes (forming a value allocates);
//  2. libcurl carries out the request; its callbacks only append to C++ buffers and never throw
//     (a failure there aborts the transfer);
//  3. the answer is made into values.
//
// Redirects are followed (at most MAX_REDIRECTS), over http and https only; certificates and the
// host name are verified; connecting may take CONNECT_TIMEOUT seconds and a transfer that receives
// nothing for STALL_TIMEOUT seconds fails. The headers kept are those of the final response: the
// header text starts again at every status line (redirects, interim 1xx answers). Bodies are taken
// byte for byte, without content decoding. One easy handle is kept for the life of the process, so
// connections and resolved names are reused between requests. An interrupt (Ctrl-C at the console)
// ends a request that is under way and halts the evaluation.
#include "services/http.h"

#include "core/roots.h"
#include "core/runtime.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include "services/files.h"
#include "services/lazy-libraries.h"

#include <curl/curl.h>

#include <cstring>
#include <new>

namespace kel {

namespace {

constexpr long MAX_REDIRECTS = 10;
constexpr long CONNECT_TIMEOUT = 60;
constexpr long STALL_TIMEOUT = 30;

// What is sent, as bytes.
struct Request {
    std::string method;                 // upper case
    std::string url;                    // percent-encoded where the text needs it
    std::vector<std::string> headers;   // "Name: value" lines in libcurl's form
    std::string body;
    bool has_body = false;
    bool head = false;
    bool get = false;
    bool post = false;
};

// What came back.
struct Response {
    std::vector<uint8_t> body;
    std::string header_text;
    uint64_t limit = 0;   // the most body bytes the result can hold
};

// The UTF-8 text a value forms to.
std::string formed_utf8(const Cell* value) {
    Rooted v(*value);
    Cell* buf = string_push_new(32);
    string_form_value(v.get(), buf, false, INT32_MAX);
    std::string text = string_utf8(buf);
    stack_pop();
    return text;
}

std::string symbol_text(uint32_t id) {
    uint32_t n = 0;
    const uint8_t* p = symbol_name(id, &n);
    return std::string(reinterpret_cast<const char*>(p), n);
}

bool is_token_char(uint8_t c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c && std::strchr("!#$%&'*+-.^_`|~", c);
}

bool has_line_break(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        uint8_t x = uint8_t(a[i]), y = uint8_t(b[i]);
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// The URL as sent: the text's UTF-8 bytes, those that cannot stand in a request line (controls,
// blanks, DEL, bytes above 0x7F and " < > \ ^ ` { | }) written as "%" and two hex digits. Anything
// else stays as the text has it, "%" included: a URL made from text keeps the escapes it holds.
std::string wire_url(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        uint8_t c = uint8_t(ch);
        if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c)) {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

// A header for libcurl; false when it cannot be sent as one header line: a name that is not a
// token (empty, or holding a blank, a colon, a line break...), a line break or NUL in the value.
// Either would let the caller's text forge other header lines.
bool add_header(Request& req, const std::string& name, const std::string& value) {
    if (name.empty() || has_line_break(value)) return false;
    for (char c : name)
        if (!is_token_char(uint8_t(c))) return false;
    // libcurl drops "Name:" without a value; "Name;" sends the empty header
    req.headers.push_back(value.empty() ? name + ";" : name + ": " + value);
    return true;
}

// Builds the request; false when a header cannot be sent.
bool prepare(Request& req, uint32_t method, const Cell* url, const Cell* headers, const Cell* data) {
    std::string m = symbol_text(method);
    for (char& c : m)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    req.method = m;
    req.get = m == "GET";
    req.head = m == "HEAD";
    req.post = m == "POST";

    req.url = wire_url(string_utf8(url));

    if (headers) {
        Rooted block(*headers);
        bool content_type = false;
        // pairs from the head; an odd block's last name has no value and is not sent
        for (uint32_t i = series_index(block.get());; i += 2) {
            if (i + 1 >= value_series(block.get())->length()) break;
            Rooted name(*value_series(block.get())->cell_at(i));
            Rooted value(*value_series(block.get())->cell_at(i + 1));
            TypeId nt = name->type();
            std::string n = nt == T_WORD || nt == T_SET_WORD || nt == T_LIT_WORD || nt == T_GET_WORD
                                ? symbol_text(name->data2)
                                : formed_utf8(name.get());
            std::string v = value->is(T_STRING) ? string_utf8(value.get()) : formed_utf8(value.get());
            if (!add_header(req, n, v)) return false;
            content_type = content_type || same_name(n, "Content-Type");
        }
        // only the caller's headers: libcurl would add a form content type to a body
        if (!content_type) req.headers.push_back("Content-Type:");
    } else {
        req.headers.push_back("Content-Type: application/x-www-form-urlencoded");
        req.headers.push_back("Accept-Charset: UTF-8");
        req.headers.push_back("User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64)");
    }
    req.headers.push_back("Expect:");   // the body goes at once, without waiting for a 100 answer

    if (data && !req.get && !req.head) {
        req.has_body = true;
        if (data->is(T_BINARY)) {
            Cell b = *data;
            req.body.assign(reinterpret_cast<const char*>(binary_rs_head(&b)), size_t(binary_rs_length(&b)));
        } else if (data->is(T_STRING)) {
            req.body = string_utf8(data);
        } else {
            req.body = formed_utf8(data);
        }
    }
    // a POST always has a body, if only an empty one (Content-Length: 0)
    if (req.post) req.has_body = true;
    return true;
}

size_t on_body(char* p, size_t size, size_t n, void* user) noexcept {
    auto* r = static_cast<Response*>(user);
    size_t count = size * n;
    if (r->body.size() + count > r->limit) return 0;   // more than a value can hold: abort
    try {
        r->body.insert(r->body.end(), reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + count);
    } catch (...) {
        return 0;
    }
    return count;
}

size_t on_header(char* p, size_t size, size_t n, void* user) noexcept {
    auto* r = static_cast<Response*>(user);
    size_t count = size * n;
    try {
        if (count >= 5 && std::memcmp(p, "HTTP/", 5) == 0) r->header_text.clear();   // a new response
        else r->header_text.append(p, count);
    } catch (...) {
        return 0;
    }
    return count;
}

// An interrupt that asks for a halt ends the transfer, so that the evaluation can stop at once.
int on_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept { return g_halt_requested ? 1 : 0; }

struct CurlList {
    curl_slist* list = nullptr;
    ~CurlList() { curl_slist_free_all(list); }
};

CURL* easy_handle() {
    static CURL* handle = []() -> CURL* {
        if (!lazy_library_open(LazyLibrary::Curl)) return nullptr;
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return curl_easy_init();
    }();
    return handle;
}

// Carries out the request; false when there is no answer.
bool perform(const Request& req, Response& resp, long& status) {
    CURL* h = easy_handle();
    if (!h) return false;
    curl_easy_reset(h);
    CurlList list;
    for (const std::string& line : req.headers) {
        curl_slist* next = curl_slist_append(list.list, line.c_str());
        if (!next) return false;
        list.list = next;
    }
    bool ok = curl_easy_setopt(h, CURLOPT_URL, req.url.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_MAXREDIRS, MAX_REDIRECTS) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, STALL_TIMEOUT) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.list) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEDATA, &resp) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HEADERDATA, &resp) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    if (!ok) return false;
    if (req.head) {
        ok = curl_easy_setopt(h, CURLOPT_NOBODY, 1L) == CURLE_OK;
    } else if (req.has_body) {
        ok = curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(req.body.size())) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_POSTFIELDS, req.body.data()) == CURLE_OK;
        if (ok && !req.post) ok = curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, req.method.c_str()) == CURLE_OK;
    } else if (!req.get) {
        ok = curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, req.method.c_str()) == CURLE_OK;
    }
    if (!ok) return false;
    CURLcode rc = curl_easy_perform(h);
    status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // the handle keeps no pointer into this call's buffers
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    if (rc == CURLE_ABORTED_BY_CALLBACK) interp_poll_halt();   // halts when an interrupt ended it
    return rc == CURLE_OK;
}

void body_value(Cell* result, std::vector<uint8_t>& body, bool binary, bool lines) {
    if (binary) binary_load_into(body.data(), uint32_t(body.size()), result);
    else if (lines) files_lines_value(result, body);
    else files_text_value(result, body, false);
}

// The headers as a map: each name a word key; a name met again (in any letter case) turns its entry
// into a block of all its values in order.
void headers_value(Cell* result, const std::string& text) {
    std::vector<HttpHeader> headers;
    http_parse_headers(text, headers);
    struct Entry {
        size_t first;                 // index in headers of the name's first line
        std::vector<size_t> values;   // indexes of all its lines
    };
    std::vector<Entry> entries;
    for (size_t i = 0; i < headers.size(); ++i) {
        Entry* e = nullptr;
        for (Entry& x : entries)
            if (same_name(headers[x.first].name, headers[i].name)) e = &x;
        if (!e) e = &entries.emplace_back(Entry{i, {}});
        e->values.push_back(i);
    }
    Cell* block = block_push_only(int32_t(entries.size() * 2));
    for (const Entry& e : entries) {
        const std::string& name = headers[e.first].name;
        Cell key = make_cell(T_WORD, 0,
                             symbol_make_utf8(reinterpret_cast<const uint8_t*>(name.data()), name.size()),
                             uint32_t(-1));
        block_append_value(block, &key);
        if (e.values.size() == 1) {
            const std::string& v = headers[e.first].value;
            string_load_in(v.data(), int32_t(v.size()), block, TextEncoding::Utf8);
            continue;
        }
        Cell* all = block_push_only(int32_t(e.values.size()));
        for (size_t i : e.values)
            string_load_in(headers[i].value.data(), int32_t(headers[i].value.size()), all, TextEncoding::Utf8);
        Cell v = *all;
        block_append_value(block, &v);
        stack_pop();
    }
    map_from_block(result, series_node(block), nullptr);
    stack_pop();
}

} // namespace

void http_parse_headers(std::string_view text, std::vector<HttpHeader>& out) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        std::string_view name = line.substr(0, colon);
        bool token = true;
        for (char c : name) token = token && is_token_char(uint8_t(c));
        if (!token) continue;
        size_t v = colon + 1;
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
        out.push_back(HttpHeader{std::string(name), std::string(line.substr(v))});
    }
}

void http_request(Cell* result, uint32_t method, const Cell* url, const Cell* headers, const Cell* data,
                  bool binary, bool lines, bool info) {
    Request req;
    if (!prepare(req, method, url, headers, data)) {
        *result = make_none();
        return;
    }
    Response resp;
    resp.limit = binary ? FILES_BINARY_LIMIT : FILES_TEXT_LIMIT;
    long status = 0;
    if (!perform(req, resp, status)) {
        *result = make_none();
        return;
    }
    if (!info) {
        body_value(result, resp.body, binary, lines);
        return;
    }
    Cell* block = block_push_only(3);
    Cell code = make_integer(int32_t(status));
    block_append_value(block, &code);
    Cell* slot = stack_push_slot();
    headers_value(slot, resp.header_text);
    block_append_value(block, slot);
    body_value(slot, resp.body, binary, lines);
    block_append_value(block, slot);
    stack_pop();
    *result = *block;
    stack_pop();
}

void http_init() { g_file_io.http_request = http_request; }

} // namespace kel
