// The AVX2 form, chosen at run time on processors that have it. Only the
// kernels where 32-byte vectors pay are here (a superblock row is exactly 32
// bytes, so one vpsadbw compares a row of two blocks at once); its table
// keeps the SSE2 ones for the others. Only the code after the includes is
// built for AVX2 (a target region, not a flag for the whole file), so no
// inline function shared with other files is ever emitted with AVX2
// instructions.
#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/kernels.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

// Templates only, instantiated below for 32-byte vectors.
#include "metrics/count_bins.h"

namespace vantrel::simd_metrics::detail {
namespace {

__m256i load32(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

std::uint64_t lanes_sum(__m256i v) {
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

SuperblockSearchResults search_superblock_matches_avx2(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  SuperblockSearchResults results;
  alignas(32) std::uint8_t block[32 * 32];
  const std::uint8_t* source = curr.data() + base_y * width + base_x;
  for (std::size_t r = 0; r < 32; ++r) {
    std::memcpy(block + r * 32, source + r * width, 32);
  }
  const auto* rows = reinterpret_cast<const __m256i*>(block);
  const std::size_t half = 16 * width;
  for (std::int64_t oy = window.min_offset_y; oy <= window.max_offset_y; ++oy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(base_y + oy) * width;
    for (std::int64_t ox = window.min_offset_x; ox <= window.max_offset_x;
         ++ox) {
      const std::uint8_t* p = row + static_cast<std::size_t>(base_x + ox);
      // 64-bit lanes: top = [b0, b0, b1, b1], bottom = [b2, b2, b3, b3].
      __m256i top = _mm256_setzero_si256(), bottom = top;
      const std::uint8_t* t = p;
      const std::uint8_t* b = p + half;
      // Full unrolling would keep 32 row offsets live and spill them.
#pragma GCC unroll 4
      for (std::size_t r = 0; r < 16; ++r) {
        top = _mm256_add_epi64(top, _mm256_sad_epu8(load32(t), rows[r]));
        bottom =
            _mm256_add_epi64(bottom, _mm256_sad_epu8(load32(b), rows[r + 16]));
        t += width;
        b += width;
      }
      // [b0, b2 | b1, b3]
      const __m256i sums = _mm256_add_epi64(_mm256_unpacklo_epi64(top, bottom),
                                            _mm256_unpackhi_epi64(top, bottom));
      const __m128i low = _mm256_castsi256_si128(sums);
      const __m128i high = _mm256_extracti128_si256(sums, 1);
      const std::uint32_t sads[4] = {
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(low)),
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(high)),
          static_cast<std::uint32_t>(_mm_extract_epi32(low, 2)),
          static_cast<std::uint32_t>(_mm_extract_epi32(high, 2)),
      };
      keep_better(results, sads, ox, oy);
    }
  }
  return results;
}

std::uint64_t sad_u8_avx2(Plane prev, Plane curr) {
  const std::size_t len = prev.size();
  const std::uint8_t* a = prev.data();
  const std::uint8_t* b = curr.data();
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    acc = _mm256_add_epi64(acc, _mm256_sad_epu8(load32(a + i), load32(b + i)));
  }
  std::uint64_t total = lanes_sum(acc);
  for (; i < len; ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
  return total;
}

std::uint64_t intersection_avx2(std::span<const std::uint32_t> prev,
                                std::span<const std::uint32_t> curr) {
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 8 <= prev.size(); i += 8) {
    const __m256i lo = _mm256_min_epu32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&prev[i])),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&curr[i])));
    acc = _mm256_add_epi64(
        acc, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(lo)));
    acc = _mm256_add_epi64(
        acc, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lo, 1)));
  }
  std::uint64_t sum = lanes_sum(acc);
  for (; i < prev.size(); ++i) sum += std::min(prev[i], curr[i]);
  return sum;
}

// The byte counter's operations on 32-byte vectors; the non-destructive
// three-operand compares take two instructions per bin and load instead of
// three. Rows narrower than a vector go to the SSE2 counter.
struct Avx2Bytes {
  using Vec = __m256i;
  static constexpr std::size_t kWidth = 32;
  static Vec load(const std::uint8_t* p) { return load32(p); }
  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec broadcast(std::uint8_t v) {
    return _mm256_set1_epi8(static_cast<char>(v));
  }
  static Vec high_nibbles(Vec v) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
  }
  static Vec count_equal(Vec acc, Vec hi, Vec bin) {
    return _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(hi, bin));
  }
  static Vec bitwise_or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
  static std::uint64_t sum_bytes(Vec v) {
    return lanes_sum(_mm256_sad_epu8(v, _mm256_setzero_si256()));
  }
  static void count_narrow(const std::uint8_t* first, std::size_t stride,
                           std::size_t rows, std::size_t len,
                           std::uint64_t (&counts)[16]) {
    count_bins_sse2(first, stride, rows, len, counts);
  }
};

void count_bins_avx2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]) {
  count_bins<Avx2Bytes>(first, stride, rows, len, counts);
}

Hist16 histogram_16_avx2(Plane frame) {
  return histogram_16_counted(count_bins_avx2, frame);
}

GridHist16 grid_histogram_16_avx2(Plane frame, std::size_t width,
                                  std::size_t height) {
  return grid_histogram_16_counted(count_bins_avx2, frame, width, height);
}

}  // namespace
}  // namespace vantrel::simd_metrics::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace vantrel::simd_metrics {

// Keeps the SSE2 single-block kernels and the portable reduction.
const Kernels& avx2_kernels() {
  using namespace detail;
  static const Kernels kernels = [] {
    Kernels k = sse2_kernels();
    k.name = "avx2";
    k.search_superblock_matches = search_superblock_matches_avx2;
    k.sad_u8 = sad_u8_avx2;
    k.histogram_16 = histogram_16_avx2;
    k.grid_histogram_16 = grid_histogram_16_avx2;
    k.intersection = intersection_avx2;
    return k;
  }();
  return kernels;
}

}  // namespace vantrel::simd_metrics

#endif  // __x86_64__
