#pragma once

namespace kel {

void lexer_init();

} // namespace kel
