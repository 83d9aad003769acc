// Integer arithmetic that saturates instead of wrapping, exact conversions
// of 64-bit counts to doubles, and the IEEE-754 total order on doubles.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace vantrel {

template <std::unsigned_integral T>
constexpr T add_sat(T a, std::type_identity_t<T> b) {
  T r;
  return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<T>::max() : r;
}

template <std::unsigned_integral T>
constexpr T mul_sat(T a, std::type_identity_t<T> b) {
  T r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<T>::max() : r;
}

// a - b, or 0 when b is larger.
template <std::unsigned_integral T>
constexpr T sub_sat(T a, std::type_identity_t<T> b) {
  return a > b ? a - b : 0;
}

constexpr std::uint32_t to_u32_sat(std::uint64_t v) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

constexpr std::int32_t clamp_i32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

constexpr std::int32_t to_i32_sat(std::size_t v) {
  return static_cast<std::int32_t>(std::min<std::size_t>(
      v, static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
}

constexpr std::int32_t add_i32_sat(std::int32_t a, std::int32_t b) {
  return clamp_i32(std::int64_t{a} + b);
}

// Nearest f64 to `value`: (high 32 bits) * 2^32 + (low 32 bits), each part
// converted exactly, one rounding in the sum.
inline double u64_to_f64_exact(std::uint64_t value) {
  const auto high = static_cast<std::uint32_t>(value >> 32);
  const auto low = static_cast<std::uint32_t>(value);
  return static_cast<double>(high) * 4294967296.0 + static_cast<double>(low);
}

// An unsigned key whose natural order is the IEEE-754 total order of the
// doubles (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN): negative values
// have all bits flipped, non-negative ones the sign bit set. Equal keys mean
// equal bit patterns.
inline std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t sign = std::uint64_t{1} << 63;
  return (bits & sign) != 0 ? ~bits : bits | sign;
}

}  // namespace vantrel
