#pragma once

#include <cstddef>

namespace arborvane::platform {

// Physical cores available to this process (hyperthreads of one core count once); 1 when the
// topology cannot be read. Computed on the first call and cached.
std::size_t physical_core_count();

}  // namespace arborvane::platform
