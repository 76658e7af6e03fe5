// Platform services on POSIX.
//
// Each wrapper is one system call or a short sequence of them. The decisions worth keeping are the
// units (milliseconds for sleeping, seconds of the UTC day), the clamping of sleep lengths, and the
// packing of the current date with its zone, which the date! datatype reads back.
#include "core/platform.h"

#include "core/output.h"
#include "core/runtime.h"
#include "core/throw.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace kel {

void* os_virtual_alloc(uint64_t bytes, bool exec) {
    int prot = PROT_READ | PROT_WRITE | (exec ? PROT_EXEC : 0);
    void* p = mmap(nullptr, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) low_throw(THROW_MEM_ALLOC);
    return p;
}

void os_virtual_free(void* p, uint64_t bytes) {
    if (munmap(p, bytes) != 0) low_throw(THROW_MEM_FREE);
}

void platform_init() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
    console_detect();
}

std::string os_get_current_dir() {
    std::vector<char> buf(256);
    for (;;) {
        if (getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
        if (errno != ERANGE) return std::string();
        buf.resize(buf.size() * 2);
    }
}

bool platform_set_current_dir(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

bool os_set_env(const std::string& name, const std::string& value) {
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool os_unset_env(const std::string& name) { return unsetenv(name.c_str()) == 0; }

std::optional<std::string> os_get_env(const std::string& name) {
    const char* v = getenv(name.c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

int64_t os_sleep_millis(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return 1;                  // below 1 ms, negative or NaN
    if (ms >= double(INT32_MAX)) return INT32_MAX;  // clamped, never wrapped
    return int64_t(ms);                          // truncated
}

void os_sleep(double seconds) {
    // Slept in slices of at most 50 ms: a halt requested at any moment, even just before a slice
    // began (when no EINTR comes), ends the sleep within one slice, so that the evaluation can
    // stop. Other signals only resume the current slice.
    constexpr int64_t slice_ms = 50;
    for (int64_t ms = os_sleep_millis(seconds); ms > 0 && !g_halt_requested; ms -= slice_ms) {
        int64_t slice = ms < slice_ms ? ms : slice_ms;
        struct timespec left;
        left.tv_sec = 0;
        left.tv_nsec = long(slice) * 1000000L;
        while (nanosleep(&left, &left) != 0 && errno == EINTR && !g_halt_requested) {
        }
    }
}

double os_time_of_day(bool precise) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    double secs = double(ts.tv_sec % 86400);
    if (precise) secs += double(ts.tv_nsec) / 1e9;
    return secs;
}

uint32_t date_zone_pack(int offset_minutes) {
    bool negative = offset_minutes < 0;
    long magnitude = negative ? -long(offset_minutes) : long(offset_minutes);
    if (magnitude > 15 * 60 + 45) magnitude = 15 * 60 + 45;
    uint32_t hours = uint32_t(magnitude / 60);
    uint32_t quarters = uint32_t(magnitude % 60) / 15;
    uint32_t hour_field = hours | (negative ? 0x10u : 0u);
    return (hour_field << 2) | quarters;
}

int date_zone_unpack(uint32_t zone) {
    uint32_t hour_field = (zone >> 2) & 0x1F;
    int magnitude = int(hour_field & 0x0F) * 60 + int(zone & 3) * 15;
    return (hour_field & 0x10) ? -magnitude : magnitude;
}

uint32_t date_pack(int year, int month, int day, uint32_t zone) {
    return (uint32_t(year) << 17) | (uint32_t(month) << 12) | (uint32_t(day) << 7) | (zone & 0x7F);
}

uint32_t os_date_now(bool utc) {
    time_t now = time(nullptr);
    struct tm tm {};
    if (utc) {
        gmtime_r(&now, &tm);
        return date_pack(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0);
    }
    localtime_r(&now, &tm);
    int offset_minutes = int(tm.tm_gmtoff / 60);
    return date_pack(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date_zone_pack(offset_minutes));
}

} // namespace kel
