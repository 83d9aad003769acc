// The shared arithmetic: saturation at the type limits, the exact u64 to
// double conversion and the total order of doubles.
#include "base/arith.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace vantrel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Saturation, StopsAtTheLimits) {
  EXPECT_EQ(add_sat(SIZE_MAX - 1, 1), SIZE_MAX);
  EXPECT_EQ(add_sat(SIZE_MAX - 1, 2), SIZE_MAX);
  EXPECT_EQ(add_sat(std::uint32_t{UINT32_MAX - 5}, 9), UINT32_MAX);
  EXPECT_EQ(mul_sat(std::size_t{1} << 32, std::size_t{1} << 31),
            std::size_t{1} << 63);
  EXPECT_EQ(mul_sat(std::size_t{1} << 32, std::size_t{1} << 32), SIZE_MAX);
  EXPECT_EQ(sub_sat(std::size_t{3}, 5), 0u);
  EXPECT_EQ(sub_sat(std::size_t{5}, 3), 2u);
  EXPECT_EQ(to_u32_sat(std::uint64_t{1} << 32), UINT32_MAX);
  EXPECT_EQ(to_i32_sat(SIZE_MAX), INT32_MAX);
  EXPECT_EQ(add_i32_sat(INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(add_i32_sat(INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(clamp_i32(-std::int64_t{INT32_MIN}), INT32_MAX);
}

TEST(Conversion, NearestDoubleOfU64) {
  EXPECT_EQ(u64_to_f64_exact(0), 0.0);
  EXPECT_EQ(u64_to_f64_exact(4294967297u), 4294967297.0);
  EXPECT_EQ(u64_to_f64_exact((1ULL << 53) - 1), 9007199254740991.0);
  EXPECT_EQ(u64_to_f64_exact((1ULL << 53) + 1), 9007199254740992.0);
  EXPECT_EQ(u64_to_f64_exact(UINT64_MAX), 18446744073709551616.0);
}

TEST(TotalOrder, NaNsAtTheEndsAndSignedZerosApart) {
  const double denorm = std::numeric_limits<double>::denorm_min();
  const std::vector<double> ascending = {-kNaN, -kInf, -1.0, -denorm, -0.0,
                                         0.0,   denorm, 1.0,  kInf,    kNaN};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_LT(total_order_key(ascending[i]), total_order_key(ascending[i + 1]))
        << i;
  }
  // Equal keys exactly for equal bit patterns: distinct NaN payloads differ.
  const double other_nan = std::bit_cast<double>(
      std::bit_cast<std::uint64_t>(kNaN) | 1);
  EXPECT_LT(total_order_key(kNaN), total_order_key(other_nan));
  EXPECT_EQ(total_order_key(0.5), total_order_key(0.25 + 0.25));
}

}  // namespace
}  // namespace vantrel
