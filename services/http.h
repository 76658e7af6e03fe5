// HTTP: one synchronous request per call, on libcurl. http_init registers the request service in
// g_file_io (datatypes/file.h), where the url! actions read and write find it.
#pragma once

#include "core/cell.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Registers the HTTP service in g_file_io. Called once at start-up; libcurl itself is set up on
// the first request.
void http_init();

// Carries out a request and leaves the answer in result: the body (a binary! with binary, a block
// of line strings with lines, else a string! decoded from UTF-8 with CR LF turned into LF), or with
// info a block of the status (integer!), the response headers (map!) and the body. Any failure
// (no connection, a refused certificate, too many redirects, a time-out, a header that cannot be
// sent) leaves none. HTTP error statuses are answers, not failures.
//  - method: the symbol of a word; get and head send no body, post sends the data (or an empty
//    body), any other word its spelling in upper case, with the data when there is some;
//  - headers: a block of name/value pairs, or null for the default three;
//  - data: a binary! (its bytes from the index), a string! (its UTF-8 text), any other value formed;
//    null for none.
void http_request(Cell* result, uint32_t method, const Cell* url, const Cell* headers, const Cell* data,
                  bool binary, bool lines, bool info);

// One response header: the name and the raw bytes of its value.
struct HttpHeader {
    std::string name;
    std::string value;
};

// Splits the header lines of a response (the status line left out) into headers: the name runs to
// the first colon and must be a token; the value starts after the colon and any blanks and runs to
// the line's end (a CR before the LF is not part of it). Lines that are not a header are skipped.
void http_parse_headers(std::string_view text, std::vector<HttpHeader>& out);

} // namespace kel
