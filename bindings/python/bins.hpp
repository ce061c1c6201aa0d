#pragma once

#include <cstdint>

#include "bindings/python/py_ref.hpp"
#include "data/columns.hpp"

namespace arborvane::python {

// The largest fixed bin count a caller may ask for.
inline constexpr std::uint64_t kMaxFixedBins = 128;

// The `bins` argument: None or "auto" → automatic; an integer 1..128 → fixed. Another
// unsigned integer raises ValueError "Invalid bins value ...", another str ValueError
// "Unsupported bins value '...'", anything else (negative or huge integers included)
// TypeError. Null counts as None.
data::NumericBins parse_bins(PyObject* bins);

}  // namespace arborvane::python
