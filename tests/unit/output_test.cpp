// Output primitives and hooks: hook order and growth, the UTF-8 writer and its buffering, the
// number printers, the console control sequences on a terminal, and the SGR and escape tables.
#include "core/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kel;

namespace {

// Redirects the output into a pipe for the lifetime of the object.
class PipeCapture {
public:
    PipeCapture() {
        if (pipe(fds_) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);
        previous_ = output_set_fd(fds_[1]);
    }
    ~PipeCapture() {
        output_set_fd(previous_);
        close(fds_[0]);
        close(fds_[1]);
    }
    std::string take() {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fds_[0], buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }

private:
    int fds_[2] = {-1, -1};
    int previous_ = STDOUT_FILENO;
};

// What the hooks saw, in order.
std::vector<std::string> g_calls;

template <int N>
void text_hook(const void* text, int64_t length, int unit) {
    std::string t = length < 0 ? std::string(static_cast<const char*>(text))
                               : std::string(static_cast<const char*>(text), size_t(length));
    g_calls.push_back(std::to_string(N) + ":" + std::to_string(unit) + ":" + t);
}

template <int N>
void value_hook(const Cell* value, bool newline) {
    g_calls.push_back(std::to_string(N) + ":" + std::to_string(value->type()) + ":" +
                      std::to_string(value->data1) + (newline ? ":nl" : ":-"));
}

class HooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        hooks_init();
        g_calls.clear();
    }
    void TearDown() override { hooks_init(); }
};

TEST_F(HooksTest, TextHooksRunInOrderAndGrowPastFive) {
    EXPECT_EQ(text_hooks_info().capacity, 5u);
    hooks_add(nullptr, text_hook<0>);
    hooks_add(nullptr, text_hook<1>);
    hooks_add(nullptr, text_hook<2>);
    hooks_add(nullptr, text_hook<3>);
    hooks_add(nullptr, text_hook<4>);
    EXPECT_EQ(text_hooks_info().capacity, 5u);
    hooks_add(nullptr, text_hook<5>);
    EXPECT_EQ(text_hooks_info().count, 6u);
    EXPECT_EQ(text_hooks_info().capacity, 10u);
    EXPECT_EQ(value_hooks_info().count, 0u);

    hooks_call_print("ab", 2, 0);
    std::vector<std::string> want = {"0:0:ab", "1:0:ab", "2:0:ab", "3:0:ab", "4:0:ab", "5:0:ab"};
    EXPECT_EQ(g_calls, want);

    g_calls.clear();
    hooks_call_print("nul-terminated", -1, 0);
    ASSERT_EQ(g_calls.size(), 6u);
    EXPECT_EQ(g_calls[5], "5:0:nul-terminated");
}

TEST_F(HooksTest, ValueHooksGetTheValueAndNewlineFlagInOrder) {
    for (int i = 0; i < 11; ++i) {
        // the same callback added repeatedly fills the list past two growth steps
        hooks_add(i % 2 ? value_hook<1> : value_hook<0>, nullptr);
    }
    EXPECT_EQ(value_hooks_info().count, 11u);
    EXPECT_EQ(value_hooks_info().capacity, 15u);
    EXPECT_EQ(text_hooks_info().count, 0u);

    Cell v = make_cell(T_STRING, 7);
    hooks_call(&v, true);
    ASSERT_EQ(g_calls.size(), 11u);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(g_calls[size_t(i)], std::to_string(i % 2) + ":7:7:nl") << i;
    g_calls.clear();
    hooks_call(&v, false);
    EXPECT_EQ(g_calls[0], "0:7:7:-");
}

TEST_F(HooksTest, RemoveTakesTheFirstOccurrenceAndIgnoresAbsentOnes) {
    hooks_add(value_hook<1>, text_hook<1>);
    hooks_add(value_hook<2>, text_hook<2>);
    hooks_add(value_hook<1>, text_hook<1>);

    hooks_remove(value_hook<3>, text_hook<3>);
    EXPECT_EQ(text_hooks_info().count, 3u);
    EXPECT_EQ(value_hooks_info().count, 3u);
    hooks_call_print("x", 1, 1);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"1:1:x", "2:1:x", "1:1:x"}));

    g_calls.clear();
    hooks_remove(nullptr, text_hook<1>);
    hooks_call_print("x", 1, 1);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"2:1:x", "1:1:x"}));
    EXPECT_EQ(value_hooks_info().count, 3u);  // the value list was not touched

    g_calls.clear();
    hooks_remove(value_hook<1>, nullptr);
    Cell v = make_cell(T_STRING, 0);
    hooks_call(&v, false);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"2:7:0:-", "1:7:0:-"}));
}

// A hook that registers another one while the list is being called: the growth must not leave
// the calling loop reading a freed array.
void adding_hook(const void*, int64_t, int) {
    g_calls.push_back("adder");
    if (text_hooks_info().count < 12) hooks_add(nullptr, text_hook<9>);
}

TEST_F(HooksTest, HookAddingHooksDuringACall) {
    for (int i = 0; i < 5; ++i) hooks_add(nullptr, adding_hook);
    hooks_call_print("x", 1, 0);
    EXPECT_EQ(text_hooks_info().count, 10u);
    EXPECT_EQ(g_calls.size(), 10u);  // the five adders and the five hooks they added
}

class OutputTest : public HooksTest {};

TEST_F(OutputTest, NumberPrintersWriteAndPassTheSameBytes) {
    hooks_add(nullptr, text_hook<0>);
    struct Case {
        void (*print)();
        const char* text;
    };
    const Case cases[] = {
        {[] { print_hex_dword(255); }, "000000FF"},
        {[] { print_hex_dword(-1); }, "FFFFFFFF"},
        {[] { print_hex_byte(10); }, "0A"},
        {[] { print_hex_byte(0x1AB); }, "1AB"},
        {[] { print_integer(-2147483647 - 1); }, "-2147483648"},
        {[] { print_integer(42); }, "42"},
        {[] { print_float(0.1); }, "0.1"},
        {[] { print_float(1.0 / 3.0); }, "0.3333333333333333"},
        {[] { print_float(1e300 * 1e300); }, "inf"},
        {[] { print_float32(0.1f); }, "0.1"},
        {[] { print_float32(1.0f / 3.0f); }, "0.3333333"},
    };
    for (const Case& c : cases) {
        PipeCapture cap;
        g_calls.clear();
        c.print();
        EXPECT_EQ(cap.take(), c.text);
        ASSERT_EQ(g_calls.size(), 1u) << c.text;
        EXPECT_EQ(g_calls[0], std::string("0:0:") + c.text);
    }
}

TEST_F(OutputTest, PrintCstringWritesBytesAsTheyAre) {
    hooks_add(nullptr, text_hook<0>);
    PipeCapture cap;
    const char* text = "*** caf\xC3\xA9 \x1b[1m";
    EXPECT_EQ(print_cstring(text), text);
    EXPECT_EQ(cap.take(), text);
    EXPECT_EQ(g_calls, (std::vector<std::string>{std::string("0:0:") + text}));
}

TEST_F(OutputTest, UnitsAreWrittenAsUtf8) {
    struct Case {
        const char* name;
        int unit;
        std::vector<uint32_t> units;
        bool newline;
        std::string want;
    };
    const Case cases[] = {
        {"ascii", 1, {'h', 'i'}, false, "hi"},
        {"latin-1 widens", 1, {'A', 0xE9, 0xFF}, true, "A\xC3\xA9\xC3\xBF\n"},
        {"utf-16 bmp", 2, {'A', 0x20AC, 0x7FF, 0x800}, false, "A\xE2\x82\xAC\xDF\xBF\xE0\xA0\x80"},
        {"utf-16 pair", 2, {0xD83D, 0xDE00, '!'}, false, "\xF0\x9F\x98\x80!"},
        {"utf-16 lone high", 2, {0xD83D, 'x'}, false, "\xEF\xBF\xBDx"},
        {"utf-16 lone low", 2, {0xDE00}, true, "\xEF\xBF\xBD\n"},
        {"utf-16 high at end", 2, {'a', 0xD800}, false, "a\xEF\xBF\xBD"},
        {"ucs-4", 4, {0x1F600, 0x10FFFF, 'z'}, false, "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBFz"},
        {"ucs-4 out of range", 4, {0x110000, 0xDC00}, false, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"empty with newline", 1, {}, true, "\n"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes;
        for (uint32_t u : c.units) {
            uint8_t b[4];
            std::memcpy(b, &u, 4);  // little-endian: the low bytes first
            bytes.insert(bytes.end(), b, b + c.unit);
        }
        PipeCapture cap;
        output_write_text(bytes.data(), bytes.size(), c.unit, c.newline);
        EXPECT_EQ(cap.take(), c.want) << c.name;
    }
}

TEST_F(OutputTest, EscapeSequencesPassThroughToAFile) {
    char path[] = "/tmp/kel-output-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    int previous = output_set_fd(fd);
    EXPECT_FALSE(output_is_console());

    const char seq[] = "\x1b[31mred\x1b[0m \x1b" "X";
    output_write_text(seq, sizeof seq - 1, 1, false);
    std::vector<uint16_t> wide(seq, seq + sizeof seq - 1);
    output_write_text(wide.data(), wide.size() * 2, 2, true);
    // console control does nothing when the output is not a terminal
    console_set_cursor(3, 3);
    console_clear(2);
    console_set_attribute(0x1F);
    console_set_attribute(ATTR_INITIAL);
    output_set_fd(previous);

    std::string got(128, '\0');
    ssize_t n = pread(fd, got.data(), got.size(), 0);
    close(fd);
    ASSERT_GE(n, 0);
    got.resize(size_t(n));
    EXPECT_EQ(got, std::string(seq) + seq + "\n");
}

TEST_F(OutputTest, LongTextsCostFewWrites) {
    struct Case {
        const char* name;
        int unit;
        uint32_t ch;
        size_t count;
        size_t bytes_per_char;
        uint64_t max_writes;
    };
    const Case cases[] = {
        {"2000 ascii", 1, 'k', 2000, 1, 2},
        {"2000 latin-1", 1, 0xE9, 2000, 2, 4},
        {"1500 utf-16 euro", 2, 0x20AC, 1500, 3, 5},
        {"1000 ucs-4 emoji", 4, 0x1F600, 1000, 4, 4},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> text;
        for (size_t i = 0; i < c.count; ++i) {
            uint8_t b[4];
            std::memcpy(b, &c.ch, 4);
            text.insert(text.end(), b, b + c.unit);
        }
        uint8_t one[4];
        size_t one_len;
        {
            PipeCapture cap;
            output_write_text(text.data(), size_t(c.unit), c.unit, false);
            std::string s = cap.take();
            one_len = s.size();
            std::memcpy(one, s.data(), one_len);
        }
        ASSERT_EQ(one_len, c.bytes_per_char) << c.name;

        PipeCapture cap;
        uint64_t before = output_write_count();
        output_write_text(text.data(), text.size(), c.unit, true);
        uint64_t writes = output_write_count() - before;
        std::string got = cap.take();
        EXPECT_LE(writes, c.max_writes) << c.name;
        EXPECT_GE(writes, 1u) << c.name;
        std::string want;
        for (size_t i = 0; i < c.count; ++i) want.append(reinterpret_cast<char*>(one), one_len);
        want += '\n';
        EXPECT_EQ(got, want) << c.name;
    }
}

TEST_F(OutputTest, MixedTextAcrossBufferBoundaries) {
    // pairs and multi-byte characters land on every offset around the flush point
    std::vector<uint16_t> text;
    std::string want;
    for (int i = 0; i < 700; ++i) {
        switch (i % 3) {
        case 0: text.push_back('a'); want += 'a'; break;
        case 1: text.push_back(0xD83D); text.push_back(0xDE00); want += "\xF0\x9F\x98\x80"; break;
        case 2: text.push_back(0xE9); want += "\xC3\xA9"; break;
        }
    }
    PipeCapture cap;
    output_write_text(text.data(), text.size() * 2, 2, false);
    EXPECT_EQ(cap.take(), want);
}

TEST_F(OutputTest, WriteErrorsLoseOnlyThatText) {
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody reads: every write fails with EPIPE
    int previous = output_set_fd(fds[1]);
    std::string lost(3000, 'x');
    output_write_text(lost.data(), lost.size(), 1, true);
    print_integer(5);
    output_set_fd(-1);  // not a descriptor at all
    output_write_text("gone", 4, 1, false);
    output_set_fd(previous);
    close(fds[1]);
    sigaction(SIGPIPE, &old, nullptr);

    PipeCapture cap;
    output_write_text("after", 5, 1, true);
    EXPECT_EQ(cap.take(), "after\n");  // nothing of the failed texts is left in the buffer
}

TEST(OutputDeathTest, UnsupportedUnitEndsWithRuntimeError101) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(output_write_text("abc", 3, 3, false), ::testing::ExitedWithCode(101), "");
}

// ---- console control on a terminal ----

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            GTEST_SKIP() << "no pseudo-terminal available";
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        termios raw;
        ASSERT_EQ(tcgetattr(slave_, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &raw), 0);
        previous_ = output_set_fd(slave_);
        console_set_attribute(ATTR_INITIAL);
        console_save_default_attribute();
        read_terminal(0);  // drop what the reset emitted
    }
    void TearDown() override {
        if (slave_ >= 0) {
            console_set_attribute(ATTR_INITIAL);
            output_set_fd(previous_);
            close(slave_);
        }
        if (master_ >= 0) close(master_);
    }
    // Reads what reached the terminal: waits up to a second for want bytes, then takes whatever
    // else arrives within a short quiet period.
    std::string read_terminal(size_t want) {
        std::string out;
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, out.size() < want ? 1000 : 20) > 0 && (p.revents & POLLIN)) {
            char buf[512];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }
    int master_ = -1;
    int slave_ = -1;
    int previous_ = STDOUT_FILENO;
};

TEST_F(TerminalTest, ControlOperationsEmitAnsiSequences) {
    EXPECT_TRUE(output_is_console());
    struct Case {
        const char* name;
        void (*op)();
        const char* want;
    };
    const Case cases[] = {
        {"cursor", [] { console_set_cursor(4, 2); }, "\x1b[3;5H"},
        {"cursor clamps", [] { console_set_cursor(-1, -3); }, "\x1b[1;1H"},
        {"cursor far away", [] { console_set_cursor(INT_MAX, INT_MAX); },
         "\x1b[2147483648;2147483648H"},
        {"save cursor", [] { console_save_cursor(); }, "\x1b[s"},
        {"clear 0", [] { console_clear(0); }, "\x1b[2K\x1b[J"},
        {"clear 1", [] { console_clear(1); }, "\x1b[1J"},
        {"clear 2", [] { console_clear(2); }, "\x1b[2J\x1b[H"},
        {"clear 3", [] { console_clear(3); }, "\x1b[2K\x1b[1G"},
        {"clear 4", [] { console_clear(4); }, "\x1b[K"},
        {"clear 5", [] { console_clear(5); }, "\x1b[1K\x1b[1G"},
        {"clear other", [] { console_clear(6); }, ""},
        {"red", [] { console_set_attribute(console_sgr_attribute(-1, 31)); }, "\x1b[0;31m"},
        // with a non-default attribute the erase uses the default colours, then restores
        {"clear in colour", [] { console_clear(4); }, "\x1b[0m\x1b[K\x1b[0;31m"},
        {"back to default", [] { console_set_attribute(console_sgr_attribute(-1, 0)); }, "\x1b[0m"},
        {"text passes through", [] { output_write_text("\x1b[7mA\xE9", 6, 1, true); },
         "\x1b[7mA\xC3\xA9\n"},
    };
    for (const Case& c : cases) {
        c.op();
        EXPECT_EQ(read_terminal(std::strlen(c.want)), c.want) << c.name;
    }
}

// ---- pure tables ----

TEST(ConsoleAttributeTest, SgrCodesMapOntoAttributeBits) {
    console_set_attribute(ATTR_INITIAL);
    console_save_default_attribute();
    struct Case {
        int32_t attribute;
        int code;
        int32_t want;
    };
    const Case cases[] = {
        {0x1E, 0, 0x07},          {0x12, 1, 0x9A},          {0x07, 4, 0x8007},
        {0x1E, 7, 0xE1},          {0x80F2, 7, 0x2F},        {0x1F, 30, 0x18},
        {0x1F, 31, 0x1C},         {0x1F, 32, 0x1A},         {0x1F, 33, 0x1E},
        {0x1F, 34, 0x19},         {0x1F, 35, 0x1D},         {0x1F, 36, 0x1B},
        {0x8077, 37, 0x77},       {0x30, 39, 0x38},         {0xF7, 40, 0x87},
        {0xF7, 41, 0xC7},         {0x07, 42, 0x27},         {0x07, 43, 0x67},
        {0x07, 44, 0x17},         {0x07, 45, 0x57},         {0x07, 46, 0x37},
        {0x8007, 47, 0x77},       {0x07, 49, 0x87},         {0x1234, 2, 0x1234},
        {0x1234, 38, 0x1234},     {0x1234, 48, 0x1234},     {0x1234, 90, 0x1234},
    };
    for (const Case& c : cases)
        EXPECT_EQ(console_sgr_attribute(c.attribute, c.code), c.want)
            << std::hex << c.attribute << " code " << std::dec << c.code;

    console_set_attribute(0x4E);
    EXPECT_EQ(console_sgr_attribute(-1, 1), 0xCE);  // -1 takes the current attribute
    EXPECT_EQ(console_sgr_attribute(-1, 0), 0x07);
    console_set_attribute(ATTR_INITIAL);
}

TEST(ConsoleAttributeTest, AttributesBecomeSgrSequences) {
    console_set_attribute(ATTR_INITIAL);
    console_save_default_attribute();
    struct Case {
        int32_t attribute;
        const char* want;
    };
    const Case cases[] = {
        {0x07, "\x1b[0m"},
        {0x04, "\x1b[0;31m"},
        {0x01, "\x1b[0;34m"},
        {0x0C, "\x1b[0;91m"},
        {0x0F, "\x1b[0;97m"},
        {0x47, "\x1b[0;41m"},
        {0xC7, "\x1b[0;101m"},
        {0x8007, "\x1b[0;4m"},
        {0x1E, "\x1b[0;93;44m"},
        {0x70, "\x1b[0;30;47m"},
    };
    for (const Case& c : cases) {
        char out[32];
        size_t n = console_attribute_sgr(c.attribute, out);
        EXPECT_EQ(std::string(out, n), c.want) << std::hex << c.attribute;
    }
}

TEST(ConsoleEscapeTest, MeasuresControlSequences) {
    struct Case {
        const char* name;
        std::string text;
        size_t want_units;
    };
    const Case cases[] = {
        {"sgr", "\x1b[31m", 5},
        {"sgr list", "\x1b[1;31;44m", 10},
        {"sgr then text", "\x1b[0mword", 4},
        {"no parameters", "\x1b[s", 3},
        {"cursor", "\x1b[12;40Hx", 8},
        {"double semicolon", "\x1b[1;;2m", 7},
        {"unknown final", "\x1b[5Z", 4},
        {"not a sequence", "\x1bX[31m", 0},
        {"lone ESC", "\x1b", 0},
        {"cut off", "\x1b[31", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(console_escape(c.text.data(), c.text.size(), 1), c.want_units) << c.name;
        std::vector<uint16_t> wide(c.text.begin(), c.text.end());
        EXPECT_EQ(console_escape(wide.data(), wide.size() * 2, 2), c.want_units * 2) << c.name;
        std::vector<uint32_t> ucs(c.text.begin(), c.text.end());
        EXPECT_EQ(console_escape(ucs.data(), ucs.size() * 4, 4), c.want_units * 4) << c.name;
    }
    const uint16_t high_esc[] = {0x011B, '[', 'm'};  // ESC with a non-zero high byte
    EXPECT_EQ(console_escape(high_esc, sizeof high_esc, 2), 0u);
    const uint16_t wide_digit[] = {27, '[', 0x0131, 'm'};  // 0x31 in the low byte is no digit
    EXPECT_EQ(console_escape(wide_digit, sizeof wide_digit, 2), 6u);
}

} // namespace
