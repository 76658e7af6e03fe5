// The embedded boot image: the bytes written at build time by tools/kelbin-boot-gen.cpp from the
// environment sources, and the sources' names in evaluation order. Kept apart from the rest of the
// runtime library because the generator is itself built from that library.
#include "services/kelbin.h"

namespace kel {

namespace {
#include "boot-image.inc"
}

const uint8_t* kelbin_boot_image(size_t* size, const char* const** names, size_t* count) {
    *size = sizeof k_boot_image_bytes;
    *names = k_boot_source_names;
    *count = sizeof k_boot_source_names / sizeof k_boot_source_names[0];
    return k_boot_image_bytes;
}

} // namespace kel
