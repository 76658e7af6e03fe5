// Fuzz target: any bytes through the PNG decoder (the libpng wrapper) (see image_fuzz.h for what is checked).
#include "tests/fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_image(kel::image_png_decode, kel::image_png_encode, true, data, size);
    return 0;
}
