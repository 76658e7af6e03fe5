// Fuzz target: any bytes through the GIF decoder (the giflib wrapper) (see image_fuzz.h for what is checked).
#include "tests/fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kel_fuzz::check_image(kel::image_gif_decode, kel::image_gif_encode, false, data, size);
    return 0;
}
