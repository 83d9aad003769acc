// IEEE-754 total order on f64: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
#pragma once

#include <bit>
#include <cstdint>

namespace vantrel {

// An unsigned key whose natural order is the total order of the doubles:
// negative values have all bits flipped, non-negative ones the sign bit set.
inline std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t sign = std::uint64_t{1} << 63;
  return (bits & sign) != 0 ? ~bits : bits | sign;
}

}  // namespace vantrel
