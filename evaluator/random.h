#pragma once

namespace kel {

void random_init();

} // namespace kel
