// Fuzz target: any bytes through the BMP decoder (our own) (see image_fuzz.h for what is checked).
#include "tests/fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_image(kel::image_bmp_decode, kel::image_bmp_encode, true, data, size);
    return 0;
}
