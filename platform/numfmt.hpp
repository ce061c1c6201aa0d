#pragma once

#include <string>

namespace arborvane::platform {

// Positional text of v with the fewest digits that read back to the same double; no exponent
// and no ".0" on integral values: 1.0 -> "1", 1e-7 -> "0.0000001", -0.0 -> "-0". Non-finite
// values give "NaN", "inf" and "-inf". Used for numbers inside error messages.
std::string format_display(double v);

// The JSON number text of a finite v, from the shortest round-trip digits d1..dn and exponent k
// with |v| = 0.d1..dn * 10^k: integral values up to 10^16 positional with ".0" ("100.0"),
// other values with 0 < k <= 16 or -5 < k <= 0 positional ("1234.5", "0.00001"), the rest
// as d1[.d2..dn]e(k-1) ("1e-6", "1e16", "5e-324"). Negative values (and -0.0) get a leading
// "-". Non-finite values have no JSON number form and give "null".
std::string format_json(double v);

}  // namespace arborvane::platform
