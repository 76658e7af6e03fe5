// The percent codec, the operating system's form of file names, and handle! values (their text
// forms, their comparison and the resource slot the collector keeps for them).
#include "core/extres.h"
#include "core/gc.h"
#include "core/roots.h"
#include "core/symbol.h"
#include "datatypes/file.h"
#include "datatypes/handle.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime_fixture.h"
#include "test_values.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace kel {
namespace {

using test::keep;

std::vector<uint32_t> decode(const std::string& s, bool* ok = nullptr) {
    std::vector<uint32_t> out;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    bool r = percent_decode(p, p + s.size(), out);
    if (ok) *ok = r;
    return out;
}

std::string encode(const std::string& s, int32_t mode) {
    std::string out;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    percent_encode(p, p + s.size(), mode, out);
    return out;
}

std::string utf8_of(const std::vector<uint32_t>& cps) {
    std::string out;
    uint8_t buf[4];
    for (uint32_t c : cps) out.append(reinterpret_cast<char*>(buf), size_t(utf8_encode_char(int32_t(c), buf)));
    return out;
}

std::vector<uint32_t> cps_of(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

TEST(PercentCodec, Decodes) {
    struct Case { std::string in; std::vector<uint32_t> out; };
    const Case cases[] = {
        {"%41%42", {'A', 'B'}},
        {"%C3%A9", {0xE9}},
        {"%c3%a9x", {0xE9, 'x'}},
        {"%E2%82%AC", {0x20AC}},
        {"%F0%9F%98%80", {0x1F600}},
        {"a%4", cps_of("a%4")},                       // fewer than two hex digits
        {"%zz1", cps_of("%zz1")},                     // not hex digits
        {"%", cps_of("%")},
        {"%C3", cps_of("%C3")},                       // a lead escape alone stays text
        {"%C3x", cps_of("%C3x")},
        {"%E2%82", {'%', 'E', '2', 0x82}},            // incomplete: the lead stays text
        {"%C3%28", cps_of("%C3(")},                   // bad continuation
        {"%C0%80", {'%', 'C', '0', 0x80}},            // over-long
        {"%E0%80%80", {'%', 'E', '0', 0x80, 0x80}},   // over-long
        {"%ED%A0%80", {'%', 'E', 'D', 0xA0, 0x80}},   // a surrogate
        {"%F5%80%80%80", {'%', 'F', '5', 0x80, 0x80, 0x80}},
        {"%F4%90%80%80", {'%', 'F', '4', 0x90, 0x80, 0x80}},   // above U+10FFFF
        {"%80", {0x80}},                              // a lone escape below 0xC0 is that code point
        {"é%20", {0xE9, ' '}},                        // the text's own UTF-8
        {"%00", {0}},
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(decode(c.in, &ok), c.out) << c.in;
        EXPECT_TRUE(ok) << c.in;
    }
}

TEST(PercentCodec, RefusesIllFormedTextOutsideEscapes) {
    for (std::string bad : {std::string("a\x80"), std::string("\xC3"), std::string("\xC3("),
                            std::string("\xED\xA0\x80"), std::string("\xFF"), std::string("\xC0\x80")}) {
        bool ok = true;
        decode(bad, &ok);
        EXPECT_FALSE(ok) << encode(bad, PERCENT_URL);
    }
}

TEST(PercentCodec, EncodesByMode) {
    const std::string text = "a-b_c.d~e!#$&'()*+,/:=?@ \"%<>^{}|\\;[]`\x7F" "é";
    EXPECT_EQ(encode(text, PERCENT_URL),
              "a-b_c.d~e!#$&'()*+,/:=?@%20%22%25%3C%3E%5E%7B%7D%7C%5C%3B%5B%5D%60%7F%C3%A9");
    EXPECT_EQ(encode(text, PERCENT_URL_MOLD),
              "a-b_c.d~e!#$&'%28%29*+,/:=?@%20%22%25%3C%3E%5E%7B%7D%7C%5C%3B%5B%5D%60%7F%C3%A9");
    EXPECT_EQ(encode(text, PERCENT_UNRESERVED),
              "a-b_c.d~e%21%23%24%26%27%28%29%2A%2B%2C%2F%3A%3D%3F%40%20%22%25%3C%3E%5E%7B%7D%7C%5C%3B%5B%5D%60%7F%C3%A9");
    std::string controls("\x00\x01\n", 3);
    EXPECT_EQ(encode(controls, PERCENT_URL), "%00%01%0A");
}

// Whatever a decode gives, encoding its UTF-8 and decoding again gives the same code points; and
// any well-formed text survives an encode and a decode unchanged.
TEST(PercentCodec, RoundTrips) {
    std::mt19937 rng(20261210);
    const char alphabet[] = "%%%0123456789ABCDEFcfxz/ :\xC3\xA9\x80\xE2\x82\xAC\xF0\x9F\x98\x80";
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        size_t n = rng() % 24;
        for (size_t i = 0; i < n; ++i) s.push_back(alphabet[rng() % (sizeof alphabet - 1)]);
        bool ok = false;
        std::vector<uint32_t> once = decode(s, &ok);
        if (!ok) continue;
        for (int32_t mode : {PERCENT_URL, PERCENT_URL_MOLD, PERCENT_UNRESERVED}) {
            std::string text = utf8_of(once);
            bool again_ok = false;
            EXPECT_EQ(decode(encode(text, mode), &again_ok), once) << s;
            EXPECT_TRUE(again_ok);
        }
    }
}

TEST(PercentCodec, StrictSequences) {
    struct Case { std::vector<uint8_t> bytes; int32_t cp; };
    const Case cases[] = {
        {{0xC2, 0x80}, 0x80}, {{0xDF, 0xBF}, 0x7FF}, {{0xC1, 0xBF}, -1}, {{0xC3, 0x28}, -1},
        {{0xE0, 0xA0, 0x80}, 0x800}, {{0xE0, 0x9F, 0xBF}, -1}, {{0xED, 0x9F, 0xBF}, 0xD7FF},
        {{0xED, 0xA0, 0x80}, -1}, {{0xEF, 0xBF, 0xBF}, 0xFFFF}, {{0xF0, 0x90, 0x80, 0x80}, 0x10000},
        {{0xF0, 0x8F, 0xBF, 0xBF}, -1}, {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF}, {{0xF4, 0x90, 0x80, 0x80}, -1},
        {{0xF5, 0x80, 0x80, 0x80}, -1}, {{0xE2, 0x82, 0x41}, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf8_strict_sequence(c.bytes.data(), int(c.bytes.size())), c.cp) << std::hex << int(c.bytes[0]);
}

// ---- strings and files -------------------------------------------------------------------------

class FileNames : public test::RuntimeTest {};

Cell& text(TypeId type, const std::string& utf8) {
    Cell* made = string_load_push(utf8.data(), int32_t(utf8.size()), TextEncoding::Utf8);
    set_cell_type(made, type);
    return *made;
}

std::string local_path(const Cell& file, bool full) {
    Cell* out = string_push_new(16);
    file_to_local_path(&file, out, full);
    return string_utf8(out);
}

TEST_F(FileNames, PercentCodecOnStrings) {
    Cell& out = keep(*string_push_new(4));
    url_percent_decode(&text(T_STRING, "a%20b%C3%A9%C3"), &out);
    EXPECT_EQ(string_utf8(&out), "a bé%C3");
    Cell& enc = keep(*string_push_new(4));
    url_percent_encode(&text(T_URL, "a b/é"), &enc, PERCENT_URL);
    EXPECT_EQ(string_utf8(&enc), "a%20b/%C3%A9");
}

// The full local path puts the current directory before a relative name only.
TEST_F(FileNames, FullLocalPath) {
    namespace fs = std::filesystem;
    fs::path before = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("kel-file-test-" + std::to_string(getpid()) + "-é");
    fs::create_directories(dir);
    fs::current_path(dir);
    std::string cwd = fs::current_path().string() + "/";
    struct Case { std::string name; std::string full; std::string plain; };
    const Case cases[] = {
        {"a/b.txt", cwd + "a/b.txt", "a/b.txt"},
        {"", cwd, ""},
        {"../x y", cwd + "../x y", "../x y"},
        {"/c", "/c", "/c"},
        {"/c/", "/c/", "/c/"},
        {"/srv/share/f", "/srv/share/f", "/srv/share/f"},
        {"//x", "//x", "//x"},
        {"é/ü", cwd + "é/ü", "é/ü"},
    };
    for (const Case& c : cases) {
        Cell& f = text(T_FILE, c.name);
        EXPECT_EQ(local_path(f, true), c.full) << c.name;
        EXPECT_EQ(local_path(f, false), c.plain) << c.name;
    }
    EXPECT_EQ(file_current_dir_text(), cwd);
    EXPECT_EQ(string_utf8(file_get_current_dir()), cwd);
    // a name taken from its head, and a head past the tail counts as empty
    Cell& f = text(T_FILE, "/abs/x");
    Cell tail = f;
    tail.data1 = 5;
    EXPECT_EQ(local_path(tail, true), cwd + "x");
    tail.data1 = 99;
    EXPECT_EQ(local_path(tail, true), cwd);
    fs::current_path(before);
    fs::remove_all(dir);
}

TEST_F(FileNames, OsPathRefusesNul) {
    EXPECT_EQ(file_to_os_path(&text(T_FILE, "a\nb/é")), "a\nb/é");   // line feeds stay
    Cell& bad = text(T_FILE, std::string("a\0b", 3));
    auto r = test::raised_with_arg([&] { file_to_os_path(&bad); });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->id, Err::InvalidArg);
    EXPECT_TRUE(r->arg1.is(T_FILE));
    EXPECT_EQ(series_node(&r->arg1), series_node(&bad));
}

// ---- I/O routing ----------------------------------------------------------------------------------

// Fake services that record what reaches them.
struct IoLog {
    std::vector<std::string> calls;
    bool answer_none = false;
};
IoLog g_io;

std::string method_name(uint32_t sym) {
    uint32_t n = 0;
    const uint8_t* p = symbol_name(sym, &n);
    return std::string(reinterpret_cast<const char*>(p), n);
}

class FileIo : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        g_io = IoLog{};
        g_file_io.http_request = [](Cell* result, uint32_t method, const Cell* url, const Cell* headers,
                                    const Cell* data, bool binary, bool, bool) {
            g_io.calls.push_back("http " + method_name(method) + " " + string_utf8(url) + (headers ? " headers" : "") +
                                 (data ? std::string(" data:") + type_name(data->type()) : "") + (binary ? " binary" : ""));
            *result = g_io.answer_none ? make_none() : make_integer(200);
        };
        g_file_io.url_port = [](Cell* url) {
            g_io.calls.push_back("port " + string_utf8(url));
            *url = make_none();   // a value without read or write actions
        };
        g_file_io.read_file = [](Cell* file, const Cell*, const PortOpts& o) {
            g_io.calls.push_back("read " + string_utf8(file) + (o.part ? " part" : "") + (o.lines ? " lines" : ""));
            *file = make_integer(1);
        };
        g_file_io.write_file = [](Cell* file, const Cell* value, const PortOpts& o) {
            g_io.calls.push_back("write " + string_utf8(file) + " " + type_name(value->type()) + (o.append ? " append" : ""));
            *file = make_integer(1);
        };
    }
    void TearDown() override {
        g_file_io = FileIoServices{};
        RuntimeTest::TearDown();
    }
    Err run(Action a, TypeId type, const char* name, const Cell* arg2, const PortOpts& o) {
        Cell& target = text(type, name);
        return test::raised([&] {
            if (a == A_READ) action_impl<A_READ>(type)(&target, arg2, o);
            else action_impl<A_WRITE>(type)(&target, arg2, o);
        });
    }
};

TEST_F(FileIo, UrlReadRouting) {
    Cell one = make_integer(1);
    PortOpts plain, part, binary;
    part.part = &one;
    binary.binary = true;
    EXPECT_EQ(run(A_READ, T_URL, "http://a/x", nullptr, plain), Err::Count_);
    EXPECT_EQ(run(A_READ, T_URL, "HTTPS://a", nullptr, binary), Err::Count_);
    EXPECT_EQ(run(A_READ, T_URL, "http://a", nullptr, part), Err::NotDone);   // checked before any request
    EXPECT_EQ(run(A_READ, T_URL, "httpx://a", nullptr, plain), Err::NotDone);  // a port without read
    EXPECT_EQ(run(A_READ, T_URL, "http", nullptr, plain), Err::NotDone);
    g_io.answer_none = true;
    EXPECT_EQ(run(A_READ, T_URL, "http://gone", nullptr, plain), Err::NoConnect);
    EXPECT_EQ(g_io.calls, (std::vector<std::string>{"http get http://a/x", "http get HTTPS://a binary",
                                                   "port httpx://a", "port http", "http get http://gone"}));
}

TEST_F(FileIo, UrlWriteChecksTheRequest) {
    Cell w_put = word_cell("put"), w_get = word_cell("get");
    Cell& headers = keep(test::block({}));
    Cell& body = text(T_STRING, "body");
    struct Case { Cell value; Err err; const char* call; };
    const Case cases[] = {   // every block is kept on the data stack as it is made
        {keep(test::block({})), Err::Count_, "http get http://h"},
        {keep(test::block({w_put})), Err::Count_, "http put http://h"},
        {keep(test::block({w_put, headers, body})), Err::Count_, "http put http://h headers data:string!"},
        {body, Err::Count_, "http post http://h data:string!"},
        {keep(test::block({make_integer(1)})), Err::InvalidArg, nullptr},
        {keep(test::block({w_get, make_integer(1)})), Err::InvalidArg, nullptr},
        {keep(test::block({w_get, headers, make_integer(1)})), Err::InvalidArg, nullptr},
        {make_integer(1), Err::InvalidArg, nullptr},
    };
    for (const Case& c : cases) {
        g_io.calls.clear();
        Cell& v = keep(c.value);
        EXPECT_EQ(run(A_WRITE, T_URL, "http://h", &v, PortOpts{}), c.err);
        EXPECT_EQ(g_io.calls, c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{});
    }
    Cell& v = keep(test::block({make_integer(1)}));
    g_io.calls.clear();
    EXPECT_EQ(run(A_WRITE, T_URL, "httpx://h", &v, PortOpts{}), Err::NotDone);   // not HTTP: no block checks
    EXPECT_EQ(g_io.calls, std::vector<std::string>{"port httpx://h"});
    Cell one = make_integer(1);
    PortOpts seek;
    seek.seek = &one;
    EXPECT_EQ(run(A_WRITE, T_URL, "http://h", &body, seek), Err::NotDone);
}

TEST_F(FileIo, FileReadAndWrite) {
    Cell one = make_integer(1);
    PortOpts part, as, lines_append;
    part.part = &one;
    as.as = &one;
    lines_append.lines = true;
    lines_append.append = true;
    Cell& data = text(T_STRING, "x");
    EXPECT_EQ(run(A_READ, T_FILE, "a b", nullptr, part), Err::Count_);
    EXPECT_EQ(run(A_READ, T_FILE, "a", nullptr, as), Err::NotDone);
    EXPECT_EQ(run(A_WRITE, T_FILE, "c", &data, lines_append), Err::Count_);
    EXPECT_EQ(run(A_WRITE, T_FILE, "c", &data, as), Err::NotDone);
    EXPECT_EQ(g_io.calls, (std::vector<std::string>{"read a b part", "write c string! append"}));
    Cell& f = text(T_FILE, "c");
    action_impl<A_WRITE>(T_FILE)(&f, &data, PortOpts{});
    EXPECT_TRUE(f.is(T_UNSET));   // write answers unset
}

// ---- handle! -------------------------------------------------------------------------------------

class Handles : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        released().clear();
        kind = extres_register_kind("handle-test", [](uint32_t, uint32_t, void* object) { released().push_back(object); });
    }
    static std::vector<void*>& released() {
        static std::vector<void*> list;
        return list;
    }
    uint32_t kind = 0;
};

std::string formed(const Cell& v, bool mold, bool all = false) {
    Cell* out = string_push_new(16);
    if (mold) mold_typed(&v, out, false, all, false, false, INT32_MAX, 0);
    else form_typed(&v, out, false, INT32_MAX);
    return string_utf8(out);
}

TEST_F(Handles, TextForms) {
    struct Case { int32_t value; uint32_t kind; const char* form; const char* mold_all; };
    const Case cases[] = {
        {255, HANDLE_WINDOW, "000000FFh", "#[handle! 000000FFh window]"},
        {0, HANDLE_NONE, "00000000h", "#[handle! 00000000h]"},
        {-1, HANDLE_RICH_TEXT, "FFFFFFFFh", "#[handle! FFFFFFFFh rich-text]"},
        {16, HANDLE_FD, "00000010h", "#[handle! 00000010h fd]"},
        {1, 9, "00000001h", "#[handle! 00000001h]"},
    };
    for (const Case& c : cases) {
        Cell& h = *handle_push(c.value, c.kind);
        EXPECT_EQ(formed(h, false), c.form);
        EXPECT_EQ(formed(h, true), "handle!");
        EXPECT_EQ(formed(h, true, true), c.mold_all);
    }
}

TEST_F(Handles, Compare) {
    Cell a = *handle_push(-5, HANDLE_FD);
    Cell b = *handle_push(3, HANDLE_WINDOW);
    Cell a2 = *handle_push(-5, HANDLE_MONITOR);
    Cell five = make_integer(-5);
    EXPECT_TRUE(compare_truth(&a, &a2, CMP_EQUAL));
    EXPECT_TRUE(compare_truth(&a, &b, CMP_LESSER));   // signed values
    EXPECT_TRUE(compare_truth(&b, &a, CMP_GREATER));
    EXPECT_FALSE(compare_truth(&a, &five, CMP_EQUAL));   // another type is never equal
    EXPECT_TRUE(compare_truth(&a, &five, CMP_NOT_EQUAL));
    EXPECT_EQ(test::raised([&] { compare_truth(&a, &five, CMP_LESSER); }), Err::InvalidCompare);
}

// A handle on an operating-system object keeps its resource slot alive through collections, and the
// object is released once no value refers to it any more.
TEST_F(Handles, ResourceSlotKeptByTheCollector) {
    void* object = reinterpret_cast<void*>(uintptr_t(0x5EED0));
    void* plain_object = reinterpret_cast<void*>(uintptr_t(0x5EED1));
    Rooted holder(make_series(T_BLOCK, alloc_cells(2)));   // made first: it may collect
    int32_t slot = extres_alloc(object, kind);
    int32_t unheld = extres_alloc(plain_object, kind);
    Cell h;
    handle_set_resource(&h, HANDLE_FONT, slot);
    EXPECT_EQ(h.data1, uint32_t(HANDLE_FONT));
    EXPECT_EQ(int32_t(h.data2), slot);
    EXPECT_EQ(int32_t(h.data3), slot);
    block_append(series_node(holder.get()), h);
    handle_make_at(series_node(holder.get()), unheld, HANDLE_FD);   // a plain number: no slot
    EXPECT_EQ(int32_t(node_series(series_node(holder.get()))->cell_at(1)->data3), -1);

    for (int i = 0; i < 3; ++i) collector_cycle();
    EXPECT_TRUE(extres_in_use(slot));
    EXPECT_EQ(extres_object(slot), object);
    EXPECT_FALSE(extres_in_use(unheld));
    EXPECT_EQ(released(), std::vector<void*>{plain_object});

    holder.value = make_none();
    collector_cycle();
    EXPECT_FALSE(extres_in_use(slot));
    EXPECT_EQ(released(), (std::vector<void*>{plain_object, object}));
}

} // namespace
} // namespace kel
