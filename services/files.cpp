// Files and directories on the POSIX file calls: the services behind the file! actions read,
// write, delete, rename and query (registered in g_file_io by files_init).
//
// Reading takes the whole file (or the part and seek position asked for) into memory outside the
// collector, then makes one value from it: a binary!, a string! (UTF-8, a leading byte-order mark
// skipped, CR LF turned into LF) or a block of line strings. A file whose size the system gives as
// 0 (pipes, devices, /proc files) is read to its end. A name that is a directory by its spelling is
// listed instead: a block of file! names, directories with a trailing "/".
//
// Writing first turns the value into bytes (strings as UTF-8 with LF kept, binaries as they are,
// anything else molded), then opens the file and writes them, retrying short writes. A file is
// rewritten in place (truncated unless appending or seeking), so its mode, owner and links stay;
// new files get 0666 and the umask. Every failure to open, read or write raises access cannot-open
// with the file; delete and rename answer a logic instead, query a date! or none.
//
// The file! cell given is never changed. Values are made only after the system calls are done, and
// every cell kept across an allocation is rooted.
#include "services/files.h"

#include "core/errors.h"
#include "core/roots.h"
#include "core/series.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace kel {

namespace {

constexpr uint64_t BINARY_LIMIT = FILES_BINARY_LIMIT;
constexpr uint64_t TEXT_LIMIT = FILES_TEXT_LIMIT;
constexpr size_t CHUNK = 65536;

[[noreturn]] void cannot_open(const Cell* file) { fire_error(Err::CannotOpen, file); }

// The integer of a /part or /seek argument; anything else raises invalid-refine-arg.
int64_t refinement_integer(const Cell* value, const char* name) {
    if (value->is(T_INTEGER)) return cell_integer(value);
    Rooted arg(*value);
    Cell word = make_cell(T_WORD, 0, symbol_make(name), uint32_t(-1));
    fire_error(Err::InvalidRefineArg, &word, arg.get());
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool close() {
        int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

// Reads up to n bytes at out; answers the count (short only at the end) or -1 on an error.
int64_t read_fully(int fd, uint8_t* out, uint64_t n) {
    uint64_t got = 0;
    while (got < n) {
        size_t ask = size_t(std::min<uint64_t>(n - got, uint64_t(1) << 30));
        ssize_t r = ::read(fd, out + got, ask);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += uint64_t(r);
    }
    return int64_t(got);
}

bool write_fully(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

enum class ReadStatus { Ok, Failed };

// The bytes of the file from seek (when >= 0) on, at most part of them (when >= 0). Fails when the
// file cannot be opened or read, or when the content exceeds limit.
ReadStatus read_bytes(const std::string& path, int64_t seek, int64_t part, uint64_t limit,
                      std::vector<uint8_t>& out) {
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) return ReadStatus::Failed;
    struct stat st;
    if (::fstat(f.fd, &st) != 0) return ReadStatus::Failed;
    uint64_t skip = seek > 0 ? uint64_t(seek) : 0;
    uint64_t size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    out.clear();
    if (part == 0) return ReadStatus::Ok;
    if (size == 0) {
        // No size known: read to the end, or as far as the part asked for reaches.
        uint64_t want = part > 0 ? skip + uint64_t(part) : UINT64_MAX;
        uint64_t stop = std::min(want, skip + limit + 1);   // one byte more shows "too large"
        while (out.size() < stop) {
            size_t at = out.size();
            size_t n = size_t(std::min<uint64_t>(CHUNK, stop - at));
            out.resize(at + n);
            int64_t r = read_fully(f.fd, out.data() + at, n);
            if (r < 0) return ReadStatus::Failed;
            out.resize(at + size_t(r));
            if (uint64_t(r) < n) break;
        }
        if (out.size() > skip + limit) return ReadStatus::Failed;
        if (skip >= out.size()) {
            out.clear();
            return ReadStatus::Ok;
        }
        out.erase(out.begin(), out.begin() + ptrdiff_t(skip));
        if (part > 0 && out.size() > uint64_t(part)) out.resize(size_t(part));
        return ReadStatus::Ok;
    }
    if (skip >= size) return ReadStatus::Ok;   // at or past the end: nothing to read
    uint64_t count = size - skip;
    if (part > 0 && uint64_t(part) < count) count = uint64_t(part);
    if (count > limit) return ReadStatus::Failed;
    if (skip > 0 && ::lseek(f.fd, off_t(skip), SEEK_SET) < 0) return ReadStatus::Failed;
    out.resize(size_t(count));
    int64_t r = read_fully(f.fd, out.data(), count);
    if (r < 0) return ReadStatus::Failed;
    out.resize(size_t(r));   // the file may have shrunk meanwhile
    return ReadStatus::Ok;
}

// Lists the directory into result as a block of file! names ("." and ".." left out, directories
// with a trailing "/"), in the order the system gives them.
void read_dir(Cell* result, const Cell* file, std::string path) {
    if (!path.empty() && path.back() == '.') path.push_back('/');
    DIR* d = ::opendir(path.c_str());
    if (!d) cannot_open(file);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            std::string full = path + (path.back() == '/' ? "" : "/") + name;
            dir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (dir) name.push_back('/');
        names.push_back(std::move(name));
    }
    ::closedir(d);
    Cell* block = block_push_only(int32_t(std::min<size_t>(names.size(), INT32_MAX / 2)));
    for (const std::string& name : names) {
        Cell* slot = string_load_in(name.data(), int32_t(name.size()), block, TextEncoding::Utf8);
        set_cell_type(slot, T_FILE);
    }
    *result = *block;
    stack_pop();
}

void read_service(Cell* target, const Cell*, const PortOpts& opts) {
    Rooted file(*target);
    std::string path = file_to_os_path(file.get());
    if (files_dir_path(path)) {
        read_dir(target, file.get(), path);
        return;
    }
    int64_t seek = opts.seek ? refinement_integer(opts.seek, "seek") : -1;
    int64_t part = opts.part ? refinement_integer(opts.part, "part") : -1;
    std::vector<uint8_t> bytes;
    if (read_bytes(path, seek, part, opts.binary ? BINARY_LIMIT : TEXT_LIMIT, bytes) != ReadStatus::Ok)
        cannot_open(file.get());
    if (opts.binary) binary_load_into(bytes.data(), uint32_t(bytes.size()), target);
    else if (opts.lines) files_lines_value(target, bytes);
    else files_text_value(target, bytes, true);
}

// Appends the UTF-8 text of a string from its index, at most part characters when part >= 0.
void append_text(std::string& out, const Cell* str, int64_t part) {
    std::string s = string_utf8(str);
    if (part >= 0) {
        size_t i = 0;
        for (int64_t chars = 0; i < s.size() && chars < part; ++chars) {
            ++i;
            while (i < s.size() && (uint8_t(s[i]) & 0xC0) == 0x80) ++i;
        }
        s.resize(i);
    }
    out += s;
}

// The bytes that writing the value produces: a string's UTF-8 (at most part characters), a
// binary's bytes (at most part when 0 < part < length), any other value molded.
void value_bytes(std::string& out, const Cell* value, int64_t part) {
    if (value->is(T_STRING)) {
        append_text(out, value, part);
    } else if (value->is(T_BINARY)) {
        Cell b = *value;
        uint64_t n = uint64_t(binary_rs_length(&b));
        if (part > 0 && uint64_t(part) < n) n = uint64_t(part);
        out.append(reinterpret_cast<const char*>(binary_rs_head(&b)), size_t(n));
    } else {
        Rooted v(*value);
        Cell* buf = string_push_new(64);
        mold_typed(v.get(), buf, false, false, false, false, INT32_MAX, 0);
        append_text(out, buf, part);
        stack_pop();
    }
}

void write_service(Cell* target, const Cell* value, const PortOpts& opts) {
    Rooted file(*target);
    Rooted data(*value);
    std::string path = file_to_os_path(file.get());
    int64_t part = opts.part ? refinement_integer(opts.part, "part") : -1;
    int64_t seek = opts.seek ? refinement_integer(opts.seek, "seek") : -1;
    if (opts.part && part < 0) return;   // a negative part writes nothing

    std::string bytes;
    if (opts.lines && data->is(T_BLOCK)) {
        for (uint32_t i = series_index(data.get());; ++i) {
            Series* s = value_series(data.get());
            if (i >= s->length()) break;
            Rooted item(*s->cell_at(i));
            value_bytes(bytes, item.get(), -1);
            bytes.push_back('\n');
        }
    } else {
        value_bytes(bytes, data.get(), part);
        if (opts.lines) bytes.push_back('\n');
    }

    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (!opts.append && !opts.seek) flags |= O_TRUNC;
    Fd f(::open(path.c_str(), flags, 0666));
    if (f.fd < 0) cannot_open(file.get());
    bool ok = true;
    if (seek > 0) ok = ::lseek(f.fd, off_t(seek), SEEK_SET) >= 0;
    if (ok && opts.append) ok = ::lseek(f.fd, 0, SEEK_END) >= 0;
    ok = ok && write_fully(f.fd, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ok = f.close() && ok;
    if (!ok) cannot_open(file.get());
}

void delete_service(Cell* target, const Cell*, const PortOpts&) {
    std::string path = file_to_os_path(target);
    bool done = files_dir_path(path) ? ::rmdir(path.c_str()) == 0 : ::unlink(path.c_str()) == 0;
    *target = make_logic(done);
}

// Renames without replacing an existing file of the new name (the move fails instead).
void rename_service(Cell* target, const Cell* to, const PortOpts&) {
    if (!to->is(T_FILE) && !to->is(T_STRING)) fire_error(Err::InvalidArg, to);
    std::string from = file_to_os_path(target);
    std::string dest = file_to_os_path(to);
    int r = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // the file system cannot refuse to replace: look first
        struct stat st;
        r = ::lstat(dest.c_str(), &st) == 0 ? -1 : ::rename(from.c_str(), dest.c_str());
    }
    *target = make_logic(r == 0);
}

// The time of the last write as a date! in universal time, to the millisecond; none when the file
// is missing or a name spelled as a directory is not one.
void query_service(Cell* target, const Cell*, const PortOpts&) {
    std::string path = file_to_os_path(target);
    struct stat st;
    struct tm t;
    if (::stat(path.c_str(), &st) != 0 || (files_dir_path(path) && !S_ISDIR(st.st_mode)) ||
        !::gmtime_r(&st.st_mtim.tv_sec, &t)) {
        *target = make_none();
        return;
    }
    int64_t ms = st.st_mtim.tv_nsec / 1000000;
    date_from_utc_fields(target, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                         t.tm_sec, ms * 1000000);
}

} // namespace

void files_lines_value(Cell* result, const std::vector<uint8_t>& bytes) {
    Cell* block = block_push_only(16);
    const char* p = reinterpret_cast<const char*>(bytes.data());
    size_t n = bytes.size(), start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && p[i] != '\n') continue;
        size_t end = i;
        if (i == n && end == start) break;   // nothing after the last LF
        if (i < n && end > start && p[end - 1] == '\r') --end;
        string_load_in(p + start, int32_t(end - start), block, TextEncoding::Utf8);
        start = i + 1;
    }
    *result = *block;
    stack_pop();
}

void files_text_value(Cell* result, std::vector<uint8_t>& bytes, bool skip_bom) {
    bool bom = skip_bom && bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
    size_t w = 0;
    for (size_t i = bom ? 3 : 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        bytes[w++] = bytes[i];
    }
    string_load(bytes.data(), int32_t(w), result, TextEncoding::Utf8);
}

bool files_read_all(const std::string& path, std::vector<uint8_t>& out) {
    return read_bytes(path, -1, -1, BINARY_LIMIT, out) == ReadStatus::Ok;
}

bool files_dir_path(std::string_view p) {
    if (p.empty()) return false;
    if (p.back() == '/' || p == "." || p == "..") return true;
    auto ends = [&](std::string_view tail) {
        return p.size() >= tail.size() && p.substr(p.size() - tail.size()) == tail;
    };
    return ends("/.") || ends("/..");
}

void files_init() {
    g_file_io.read_file = read_service;
    g_file_io.write_file = write_service;
    g_file_io.delete_file = delete_service;
    g_file_io.rename_file = rename_service;
    g_file_io.query_file = query_service;
}

} // namespace kel
