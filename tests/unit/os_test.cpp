// The parsers behind os-info, on texts and release strings as systems give them.
#include "services/os.h"

#include <gtest/gtest.h>

#include <array>

namespace kel {
namespace {

TEST(OsRelease, PrettyNameFromText) {
    struct Case {
        const char* text;
        const char* name;
    };
    const Case cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME='Alpine Linux v3.19'\n", "Alpine Linux v3.19"},
        {"PRETTY_NAME=Arch\n", "Arch"},
        {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$x\"\n", "Say \"hi\" \\ $x"},
        {"# PRETTY_NAME=\"commented\"\nNAME=Other\n", ""},
        {"NAME=x\r\nPRETTY_NAME=\"CR LF\"\r\n", "CR LF"},
        {"XPRETTY_NAME=\"no\"\n", ""},
        {"PRETTY_NAME=\"\"\n", ""},
        {"PRETTY_NAME=\"unterminated", "unterminated"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(os_release_pretty_name(c.text), c.name) << c.text;
}

TEST(OsRelease, ArchitectureWords) {
    const std::array<std::pair<const char*, const char*>, 9> cases{{
        {"x86_64", "x86-64"}, {"i686", "x86-32"}, {"i386", "x86-32"}, {"aarch64", "ARM64"},
        {"armv7l", "ARM"}, {"ia64", "IA-64"}, {"riscv64", "Unknown"}, {"", "Unknown"},
        {"ppc64le", "Unknown"},
    }};
    for (auto [machine, word] : cases) EXPECT_STREQ(os_arch_word(machine), word) << machine;
}

TEST(OsRelease, KernelReleaseVersionAndBuild) {
    struct Case {
        const char* release;
        std::array<int, 3> version;
        int32_t build;
    };
    const Case cases[] = {
        {"6.1.0-18-amd64", {6, 1, 0}, 18},
        {"5.15.0", {5, 15, 0}, 0},
        {"4.19.300-rc1", {4, 19, 255}, 0},         // capped; no number right after the dash
        {"6.8.0-1012-azure", {6, 8, 0}, 1012},
        {"3.10", {3, 10, 0}, 0},
        {"6.18.44-fc-v1523", {6, 18, 44}, 0},
        {"5.4.0-99999999999", {5, 4, 0}, INT32_MAX},
        {"1000.2.3", {255, 2, 3}, 0},
        {"", {0, 0, 0}, 0},
        {"x.y", {0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        KernelRelease r = os_parse_kernel_release(c.release);
        EXPECT_EQ((std::array<int, 3>{r.version[0], r.version[1], r.version[2]}), c.version) << c.release;
        EXPECT_EQ(r.build, c.build) << c.release;
    }
}

} // namespace
} // namespace kel
