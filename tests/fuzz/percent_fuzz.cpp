// Fuzz target: the percent decoder over any byte string. Each run must answer (decoded code points,
// or "not well-formed UTF-8") without a crash or a sanitizer report, every code point it gives must
// be a Unicode scalar value, and what it gives must come back unchanged through the encoder in each
// of its modes and a second decode. Well-formed text also survives an encode and a decode as is.
#include "datatypes/file.h"
#include "core/unicode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace kel;

namespace {

std::string utf8_of(const std::vector<uint32_t>& cps) {
    std::string out;
    for (uint32_t c : cps) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<uint32_t> decode(const std::string& s, bool* ok) {
    std::vector<uint32_t> out;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    *ok = percent_decode(p, p + s.size(), out);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint32_t> once;
    bool ok = percent_decode(data, data + size, once);
    for (uint32_t c : once)
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) std::abort();
    if (!ok) return 0;
    std::string text = utf8_of(once);
    for (int32_t mode : {PERCENT_URL, PERCENT_URL_MOLD, PERCENT_UNRESERVED}) {
        std::string encoded;
        const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
        percent_encode(t, t + text.size(), mode, encoded);
        bool again_ok = false;
        if (decode(encoded, &again_ok) != once || !again_ok) std::abort();
        // the input itself is well-formed UTF-8: its encoding decodes to its own characters
        std::string raw;
        percent_encode(data, data + size, mode, raw);
        std::vector<uint32_t> plain = decode(raw, &again_ok);
        if (!again_ok || utf8_of(plain) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
    }
    return 0;
}
