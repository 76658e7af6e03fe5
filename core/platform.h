// Platform services: thin wrappers over POSIX for the runtime core and the natives (virtual
// memory, current directory, environment, sleep, time of day, the packed current date) and the
// platform step of runtime initialisation.
//
// Strings crossing this layer are UTF-8, as the operating system's own strings are. Only the
// virtual-memory wrappers report failure by a throw; the others hand the system's result back for
// the caller to test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kel {

// Virtual memory. On failure os_virtual_alloc raises a low-level throw of THROW_MEM_ALLOC and
// os_virtual_free one of THROW_MEM_FREE (core/throw.h); the memory manager turns them into
// the internal errors no-memory and wrong-mem.
void* os_virtual_alloc(uint64_t bytes, bool exec);
void os_virtual_free(void* p, uint64_t bytes);

// The platform step of runtime initialisation: SIGPIPE is ignored (a closed pipe becomes a write
// error) and the console is detected.
void platform_init();

// Current directory as UTF-8; empty when the system cannot tell it (the directory was removed).
std::string os_get_current_dir();
// True when the current directory was changed.
bool platform_set_current_dir(const std::string& path);

// Environment variables. os_set_env is true on success (false for a name that is empty or holds
// '='); os_get_env is empty when the variable is not set, which differs from a set, empty value.
bool os_set_env(const std::string& name, const std::string& value);
// Removes a variable; true on success (false for a name that is empty or holds '=').
bool os_unset_env(const std::string& name);
std::optional<std::string> os_get_env(const std::string& name);

// Sleeps seconds × 1000 milliseconds, truncated; anything below 1 ms (including negative and NaN)
// sleeps 1 ms, anything above INT32_MAX ms sleeps INT32_MAX ms. A signal does not cut it short,
// unless it is an interrupt that requests a halt (g_halt_requested, core/runtime.h).
void os_sleep(double seconds);
// The number of milliseconds os_sleep sleeps for the given seconds.
int64_t os_sleep_millis(double seconds);

// UTC time of day in seconds since midnight: whole seconds, or with the fraction of the second
// when precise is set.
double os_time_of_day(bool precise);

// The current date packed as year << 17 | month << 12 | day << 7 | zone. With utc set the date is
// UTC and zone is 0; otherwise it is the local date and zone encodes the local offset from UTC.
uint32_t os_date_now(bool utc);
uint32_t date_pack(int year, int month, int day, uint32_t zone);

// Zone field of a packed date (7 bits): an hour field in bits 2-6 whose bit 0x10 is the sign and
// whose low 4 bits are the whole hours of the offset's magnitude, and in bits 0-1 the quarter
// hours left of the magnitude. Offsets from -15:45 to +15:45 in steps of 15 minutes round-trip;
// other offsets are cut toward zero to a quarter hour, and magnitudes beyond 15:45 are clamped.
uint32_t date_zone_pack(int offset_minutes);
int date_zone_unpack(uint32_t zone);

} // namespace kel
