// Fuzz target: any byte string through the four base decoders (base 2, 16, 58 and 64, text of 1-,
// 2- and 4-byte units). The first byte picks the base and the unit width; the rest is the text.
// Each decoder writes into a heap block of exactly the room it asks for, so a write past it is a
// sanitizer report. Whatever decodes must encode again and decode back to the same bytes, and
// the strict form of base 64 may only accept what the lenient one accepts, with the same bytes.
#include "datatypes/binary.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace kel;

namespace {

constexpr int k_bases[4] = {2, 16, 58, 64};

// Decodes into a block of exactly the room; answers the bytes, or false when invalid.
bool decode(int base, const uint8_t* text, size_t count, uint32_t unit, bool strict, std::vector<uint8_t>& bytes) {
    size_t room = base_decode_room(base, count);
    std::unique_ptr<uint8_t[]> out(new uint8_t[room ? room : 1]);
    int64_t n = base_decode(base, text, count, unit, out.get(), room, strict);
    if (n < 0) return false;
    if (uint64_t(n) > room) std::abort();
    bytes.assign(out.get(), out.get() + n);
    return true;
}

std::vector<char> encode(int base, const std::vector<uint8_t>& data) {
    size_t n = data.size();
    size_t room = base == 2 ? base2_encoded_size(n) : base == 16 ? base16_encoded_size(n)
                : base == 58 ? base58_encode_room(n) : base64_encoded_size(n);
    std::vector<char> text(room);
    size_t written = base == 2    ? base2_encode(text.data(), data.data(), n)
                     : base == 16 ? base16_encode(text.data(), data.data(), n)
                     : base == 58 ? base58_encode(text.data(), data.data(), n)
                                  : base64_encode(text.data(), data.data(), n);
    if (written > room) std::abort();
    text.resize(written);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int base = k_bases[data[0] & 3];
    uint32_t unit = (data[0] >> 2) % 3 == 0 ? 1 : (data[0] >> 2) % 3 == 1 ? 2 : 4;
    size_t count = (size - 1) / unit;
    // the text in a block of its own size, so a read past it is reported too
    std::unique_ptr<uint8_t[]> text(new uint8_t[count * unit ? count * unit : 1]);
    std::memcpy(text.get(), data + 1, count * unit);

    std::vector<uint8_t> bytes;
    bool ok = decode(base, text.get(), count, unit, false, bytes);
    if (base == 64) {
        std::vector<uint8_t> strict;
        if (decode(base, text.get(), count, unit, true, strict) && (!ok || strict != bytes)) std::abort();
    }
    if (!ok) return 0;
    std::vector<char> again = encode(base, bytes);
    std::vector<uint8_t> back;
    if (!decode(base, reinterpret_cast<const uint8_t*>(again.data()), again.size(), 1, true, back)) std::abort();
    if (back != bytes) std::abort();
    return 0;
}
