// Test seam of the transition rules: their exact arithmetic.
#pragma once

#include <cstdint>

#include "core/transitions.h"

namespace vantrel::transitions {

// num / den rounded once to the nearest double (ties to even), as Python
// divides integers: the histogram distances are such quotients, of integers
// that can pass 2^53 when pictures of two sizes compare.
double exact_ratio(unsigned __int128 num, std::uint64_t den);

// Python's float ** float for finite x and an exponent of 2 or 0.5: libm's
// pow of |x|, never replaced by x * x or a square root (both differ from pow
// in the last bit of some results).
double python_pow(double x, double exponent);

}  // namespace vantrel::transitions
