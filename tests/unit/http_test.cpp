// The response header parser, on header texts as servers send them and on malformed lines. Each
// text is copied into a buffer of its exact size, so a read past a line's end shows under the
// sanitizers.
#include "services/http.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kel {
namespace {

std::string parsed(const std::string& text) {
    std::unique_ptr<char[]> exact(new char[text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    std::vector<HttpHeader> headers;
    http_parse_headers(std::string_view(exact.get(), text.size()), headers);
    std::string out;
    for (const HttpHeader& h : headers) out += "[" + h.name + "|" + h.value + "]";
    return out;
}

TEST(HttpHeaders, Lines) {
    struct Case {
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        {"Content-Type: text/plain\r\nContent-Length: 2\r\n", "[Content-Type|text/plain][Content-Length|2]"},
        {"Name:value\r\n", "[Name|value]"},
        {"Name: \t  spaced value  \r\n", "[Name|spaced value  ]"},
        {"A: 1\nB: 2", "[A|1][B|2]"},                       // LF alone, no line end at the end
        {"Empty:\r\nBlanks:   \r\nEnd:", "[Empty|][Blanks|][End|]"},
        {"Time: 12:30:00\r\n", "[Time|12:30:00]"},             // the name ends at the first colon
        {"Set-Cookie: a=1\r\nset-cookie: b=2\r\n", "[Set-Cookie|a=1][set-cookie|b=2]"},
        {"no colon here\r\n\r\n: no name\r\n", ""},
        {"Bad Name: x\r\n folded: y\r\n<x>: z\r\n", ""},     // names must be tokens
        {"Mid\rCR: x\r\n", ""},
        {"V: a\rb\r\n", "[V|a\rb]"},                           // only the CR before the LF ends it
        {"\r\n\n\r", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(parsed(c.text), c.want) << c.text;
}

} // namespace
} // namespace kel
