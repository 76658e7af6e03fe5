// Loaders of literal kinds whose datatypes are not built yet: the token is recognised (scan and
// prescan report its type), and loading it raises not-done. A loader leaves this file for its
// datatype group's own scan-*.cpp once the datatype exists.
#include "evaluator/scan.h"

namespace kel::lex {

// money
void load_money(State* st, const uint8_t*, const uint8_t*, uint32_t) {
    if (st->load) not_done();
}

} // namespace kel::lex
