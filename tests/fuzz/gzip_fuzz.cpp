// Fuzz target: any bytes as gzip streams (concatenated members) (see codec_fuzz.h for what is checked).
#include "tests/fuzz/codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_codec(kel::gzip_decompress, kel::gzip_compress, data, size);
    return 0;
}
