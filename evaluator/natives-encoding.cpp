// Natives that turn data into other data: the text encodings (dehex, enhex, debase, enbase), the
// checksums and digests (checksum) and compression (compress, decompress).
//
// Each native gathers its input bytes first: a binary from its index as it is, any text as its
// UTF-8 bytes, made into a binary on the data stack so that the bytes stay reachable while the
// result is allocated. The codecs and digests themselves never allocate from the memory manager,
// so a buffer address fetched just before one of them is called stays valid through it; the
// result is allocated afterwards from the codec's own output.
//
// Method words are compared through their canonical symbols, so 'CRC32 is crc32.
#include "evaluator/natives-encoding.h"

#include "core/errors.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/scalars.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/natives.h"
#include "services/checksum.h"
#include "services/compress.h"
#include "services/digest.h"

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace kel {

namespace {

inline Cell* arg(uint32_t i) { return stack_arg(i); }
inline Cell* ref(const int32_t* r, uint32_t i) { return r[i] >= 0 ? arg(uint32_t(r[i])) : nullptr; }

// The bytes of a binary from its index (its address is good until the next allocation).
struct Bytes {
    const uint8_t* p;
    size_t n;
};
Bytes bytes_of(Cell* bin) { return Bytes{binary_rs_head(bin), size_t(binary_rs_length(bin))}; }

// Pushes the value's bytes as a binary: a binary as it is, a text as its UTF-8 bytes. With
// read_file a file! is read whole instead.
Cell* push_bytes(const Cell* value, bool read_file = false) {
    Cell* b = stack_push(value);
    if (b->is(T_BINARY)) return b;
    if (read_file && b->is(T_FILE)) {
        PortOpts opts;
        opts.binary = true;
        action_impl<A_READ>(T_FILE)(b, nullptr, opts);
        if (!b->is(T_BINARY)) fire_error(Err::InvalidData, value);
        return b;
    }
    binary_to(b, b, T_BINARY);
    return b;
}

int32_t base_argument(const int32_t* r) {
    Cell* base = ref(r, 0);
    return base ? integer_get_cell(base) : 64;
}

[[noreturn]] void invalid_arg(const Cell* v) { fire_error(Err::InvalidArg, v); }

// ---- dehex, enhex, debase, enbase ------------------------------------------------------------------

void native_dehex(bool, const int32_t*) {
    Cell* out = string_make_at(stack_push_slot(), uint32_t(std::max(series_length_in_units(arg(0)), 0)));
    url_percent_decode(arg(0), out);
    stack_set_result(out);
}

void native_enhex(bool, const int32_t*) {
    int32_t mode = arg(0)->is(T_STRING) ? PERCENT_UNRESERVED : PERCENT_URL;
    Cell* out = string_make_at(stack_push_slot(), uint32_t(std::max(series_length_in_units(arg(0)), 0)));
    url_percent_encode(arg(0), out, mode);
    stack_set_result(out);
}

void native_debase(bool, const int32_t* r) {
    int32_t base = base_argument(r);
    Cell* result = stack_push_slot();
    *result = make_none();
    binary_debase(result, arg(0), base);
    stack_set_result(result);
}

void native_enbase(bool, const int32_t* r) {
    int32_t base = base_argument(r);
    int64_t capacity = enbase_capacity(base, 0);
    if (capacity < 0) {
        Cell b = make_integer(base);
        invalid_arg(&b);
    }
    Cell* bin = push_bytes(arg(0));
    if (uint64_t(enbase_capacity(base, uint64_t(binary_rs_length(bin)))) > ENBASE_MAX_CAPACITY)
        fire_error(Err::TooLong);
    binary_enbase(bin, bin, base);
    stack_set_result(bin);
}

// ---- checksum ------------------------------------------------------------------------------------

enum Method { M_TCP, M_MD5, M_SHA1, M_CRC32, M_ADLER32, M_SHA256, M_SHA384, M_SHA512, M_HASH, M_COUNT };
constexpr std::array<const char*, M_COUNT> k_method_names = {
    "tcp", "md5", "sha1", "crc32", "adler32", "sha256", "sha384", "sha512", "hash"};
std::array<uint32_t, M_COUNT> g_method_symbols{};
uint32_t g_zlib_symbol, g_deflate_symbol, g_gzip_symbol;

// The method a word names, or M_COUNT.
int method_of(const Cell* word) {
    uint32_t s = symbol_resolve(word->data2);
    for (int i = 0; i < M_COUNT; ++i)
        if (g_method_symbols[i] && symbol_resolve(g_method_symbols[i]) == s) return i;
    return M_COUNT;
}

int32_t digest_algorithm(int method) {
    switch (method) {
    case M_MD5: return ALG_MD5;
    case M_SHA1: return ALG_SHA1;
    case M_SHA256: return ALG_SHA256;
    case M_SHA384: return ALG_SHA384;
    case M_SHA512: return ALG_SHA512;
    default: return -1;
    }
}

void native_checksum(bool, const int32_t* r) {
    Cell* method_word = arg(1);
    int method = method_of(method_word);
    if (method == M_COUNT) invalid_arg(method_word);
    if (method == M_HASH) fire_error(Err::NotDone);
    Cell* key = ref(r, 0);
    int32_t algorithm = digest_algorithm(method);
    // keys only go with digests, and a digest's key is text or bytes
    if (key && (algorithm < 0 || key->is(T_INTEGER))) invalid_arg(method_word);

    Cell* data = push_bytes(arg(0), true);
    Cell* key_bytes = key ? push_bytes(key) : nullptr;
    Bytes d = bytes_of(data);
    Cell result;
    if (algorithm < 0) {
        uint32_t sum = method == M_TCP     ? tcp_checksum(d.p, d.n)
                       : method == M_CRC32 ? crc32(d.p, d.n)
                                           : adler32(d.p, d.n);
        result = make_integer(int32_t(sum));
        stack_set_result(&result);
        return;
    }
    uint8_t out[DIGEST_MAX];
    size_t length;
    if (key_bytes) {
        Bytes k = bytes_of(key_bytes);
        d = bytes_of(data);
        length = hmac(d.p, d.n, k.p, k.n, algorithm, out);
    } else {
        length = crypto_hash(d.p, d.n, algorithm, out);
    }
    stack_set_result(binary_load(out, uint32_t(length)));
}

// ---- compress, decompress -------------------------------------------------------------------------

// The codec a method word names; anything but zlib, deflate and gzip raises invalid-arg.
CodecMethod codec_of(const Cell* word) {
    uint32_t s = symbol_resolve(word->data2);
    if (s == symbol_resolve(g_zlib_symbol)) return CodecMethod::Zlib;
    if (s == symbol_resolve(g_deflate_symbol)) return CodecMethod::Deflate;
    if (s == symbol_resolve(g_gzip_symbol)) return CodecMethod::Gzip;
    invalid_arg(word);
}

// Runs a codec whose output grows in C++ memory; memory that cannot be had is the runtime's
// no-memory error, not a C++ exception through the interpreter.
template <class F>
int no_memory_guard(F run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    fire_error(Err::NoMemory);
}

// The largest binary the series code makes.
constexpr size_t MAX_OUTPUT = 0x7FFFFFF0u;

void set_output(const std::vector<uint8_t>& out) {
    stack_set_result(binary_load(out.data(), uint32_t(out.size())));
}

void native_compress(bool, const int32_t*) {
    CodecMethod method = codec_of(arg(1));
    Cell* data = push_bytes(arg(0));
    Bytes d = bytes_of(data);
    std::vector<uint8_t> out;
    int status = no_memory_guard([&] { return codec_compress(method, d.p, d.n, out, MAX_OUTPUT); });
    if (status == kCodecShort) fire_error(Err::TooLong);
    if (status != kCodecOk) fire_error(Err::InvalidData, arg(0));
    set_output(out);
}

// Deflate cannot expand data by more than this factor, so a /size above it is no use as a
// first capacity.
constexpr size_t INFLATE_MAX_RATIO = 1032;

int run_decoder(CodecMethod method, uint8_t* out, size_t* size, const uint8_t* in, size_t len) {
    return method == CodecMethod::Zlib ? zlib_decompress(out, size, in, len)
                                       : inflate_decompress(out, size, in, len);
}

void native_decompress(bool, const int32_t* r) {
    CodecMethod method = codec_of(arg(1));
    Cell* size_cell = ref(r, 0);
    int32_t expected = size_cell ? integer_get_cell(size_cell) : -1;
    if (size_cell && expected < 0) invalid_arg(size_cell);
    Bytes d = bytes_of(arg(0));
    std::vector<uint8_t> out;
    int status = kCodecShort;
    if (size_cell && method != CodecMethod::Gzip) status = no_memory_guard([&] {
        // the expected size is the first capacity; a wrong one only costs the retry below
        size_t capacity = std::min(size_t(expected), std::max<size_t>(d.n, 1) * INFLATE_MAX_RATIO);
        out.resize(capacity);
        size_t produced = capacity;
        int first = run_decoder(method, out.data(), &produced, d.p, d.n);
        if (first == kCodecOk) out.resize(produced);
        return first;
    });
    if (status == kCodecShort) {
        out.clear();
        d = bytes_of(arg(0));
        status = no_memory_guard([&] { return codec_decompress(method, d.p, d.n, out, MAX_OUTPUT); });
        if (status == kCodecShort) fire_error(Err::TooLong);
    }
    if (status != kCodecOk) fire_error(Err::InvalidData, arg(0));
    set_output(out);
}

} // namespace

int64_t enbase_capacity(int32_t base, uint64_t n) {
    switch (base) {
    case 2: return int64_t(n * 8 + (n / 8) * 2 + 4);
    case 16: return int64_t(n * 2 + n / 32 + 32);
    case 58: return int64_t(n * 2 + 1);
    case 64: return int64_t((n / 3) * 4 + ((n % 3) * 4) / 3 + (n / 32) * 2 + 5);
    default: return -1;
    }
}

void checksum_methods_init() {
    for (int i = 0; i < M_COUNT; ++i) g_method_symbols[i] = symbol_make(k_method_names[i]);
    g_zlib_symbol = symbol_make("zlib");
    g_deflate_symbol = symbol_make("deflate");
    g_gzip_symbol = symbol_make("gzip");
}

void natives_encoding_register() {
    KEL_NATIVE_SLOT("dehex", native_dehex);
    KEL_NATIVE_SLOT("enhex", native_enhex);
    KEL_NATIVE_SLOT("debase", native_debase);
    KEL_NATIVE_SLOT("enbase", native_enbase);
    KEL_NATIVE_SLOT("checksum", native_checksum);
    KEL_NATIVE_SLOT("compress", native_compress);
    KEL_NATIVE_SLOT("decompress", native_decompress);
}

} // namespace kel
