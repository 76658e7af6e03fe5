// Fuzz target: any bytes as zlib streams (see codec_fuzz.h for what is checked).
#include "tests/fuzz/codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_codec(kel::zlib_decompress, kel::zlib_compress, data, size);
    return 0;
}
