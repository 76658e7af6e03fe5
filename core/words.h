#pragma once

namespace kel {

void words_init();

} // namespace kel
