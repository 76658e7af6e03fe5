// The operating-system description behind `os-info`: the distribution's name from os-release, the
// processor architecture and the kernel release from uname.
//
// name     the PRETTY_NAME of /etc/os-release (else /usr/lib/os-release), "Linux" when neither
//          gives one
// arch     from uname's machine: x86_64 `x86-64`, i386-i686 `x86-32`, aarch64/arm64 `ARM64`,
//          arm* `ARM`, ia64 `IA-64`, anything else `Unknown`
// version  the kernel release's first three numbers ("6.1.0-18-amd64" gives 6.1.0), each capped
//          at 255, missing ones 0
// build    the number right after the release's first "-" (18 above), else 0
//
// The parsers take text so that they can be checked without the files; os_info_read reads the
// running system. os_info_init puts the `os-info` routine into the global context.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

struct KernelRelease {
    uint8_t version[3] = {0, 0, 0};
    int32_t build = 0;
};

struct OsInfo {
    std::string name;
    const char* arch = "Unknown";
    KernelRelease release;
};

// The unquoted value of PRETTY_NAME in os-release text; empty when absent or empty.
std::string os_release_pretty_name(std::string_view text);
// The architecture word for a uname machine name.
const char* os_arch_word(std::string_view machine);
// The version and build of a kernel release string.
KernelRelease os_parse_kernel_release(std::string_view release);
// The description of the running system.
OsInfo os_info_read();

// Registers the `os-info` routine and binds the global word to it (start-up, after the natives).
void os_info_init();

} // namespace kel
