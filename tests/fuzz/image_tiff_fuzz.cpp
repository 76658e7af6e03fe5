// Fuzz target: any bytes through the TIFF decoder (the libtiff wrapper) (see image_fuzz.h for what is checked).
#include "tests/fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_image(kel::image_tiff_decode, kel::image_tiff_encode, true, data, size);
    return 0;
}
