// The AVX2 form, chosen at run time on processors that have it. Only the
// kernels where 32-byte vectors pay are here (a superblock row is exactly 32
// bytes, so one vpsadbw compares a row of two blocks at once); the others
// are the SSE2 ones. The functions carry a target attribute instead of the
// whole file being built for AVX2, so no shared inline code is ever emitted
// with AVX2 instructions.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "simd_metrics_forms.h"

#define VANTREL_AVX2 __attribute__((target("avx2")))

namespace vantrel::simd_metrics::detail {
namespace {

VANTREL_AVX2 SuperblockSearchResults search_superblock_matches_avx2(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  const CandidateRange range =
      checked_superblock_range(prev, curr, width, base_x, base_y, window);
  if (!range.fits) {
    return search_superblock_matches_plain(prev, curr, width, base_x, base_y,
                                           window);
  }
  SuperblockSearchResults results;
  if (range.empty) return results;
  alignas(32) std::uint8_t block[32 * 32];
  const std::uint8_t* source = curr.data() + base_y * width + base_x;
  for (std::size_t r = 0; r < 32; ++r) {
    std::memcpy(block + r * 32, source + r * width, 32);
  }
  const auto* rows = reinterpret_cast<const __m256i*>(block);
  const std::size_t half = 16 * width;
  for (std::int64_t oy = range.min_y; oy <= range.max_y; ++oy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(base_y + oy) * width;
    for (std::int64_t ox = range.min_x; ox <= range.max_x; ++ox) {
      const std::uint8_t* p = row + static_cast<std::size_t>(base_x + ox);
      // 64-bit lanes: top = [b0, b0, b1, b1], bottom = [b2, b2, b3, b3].
      __m256i top = _mm256_setzero_si256(), bottom = top;
      const std::uint8_t* t = p;
      const std::uint8_t* b = p + half;
      // Full unrolling would keep 32 row offsets live and spill them.
#pragma GCC unroll 4
      for (std::size_t r = 0; r < 16; ++r) {
        top = _mm256_add_epi64(
            top, _mm256_sad_epu8(
                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)),
                     rows[r]));
        bottom = _mm256_add_epi64(
            bottom, _mm256_sad_epu8(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)),
                        rows[r + 16]));
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

VANTREL_AVX2 std::uint64_t sad_u8_avx2(Plane prev, Plane curr) {
  const std::size_t len = std::min(prev.size(), curr.size());
  const std::uint8_t* a = prev.data();
  const std::uint8_t* b = curr.data();
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    acc = _mm256_add_epi64(
        acc, _mm256_sad_epu8(
                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)),
                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i))));
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  std::uint64_t total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; i < len; ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
  return total;
}

VANTREL_AVX2 std::uint64_t intersection_avx2(
    std::span<const std::uint32_t> prev, std::span<const std::uint32_t> curr) {
  if (prev.size() != curr.size()) {
    fatal_internal("histogram intersection: length mismatch");
  }
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
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  std::uint64_t sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; i < prev.size(); ++i) sum += std::min(prev[i], curr[i]);
  return sum;
}

VANTREL_AVX2 inline __m256i high_nibbles(const std::uint8_t* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Lane counters of eight bins: a matching lane compares to -1.
VANTREL_AVX2 inline void count_chunk(__m256i hi, const __m256i (&bins)[8],
                                     __m256i (&acc)[8]) {
  for (std::size_t b = 0; b < 8; ++b) {
    acc[b] = _mm256_sub_epi8(acc[b], _mm256_cmpeq_epi8(hi, bins[b]));
  }
}

// count_bins_sse2 with 32-byte loads and non-destructive three-operand
// compares: two instructions per bin and load instead of three.
VANTREL_AVX2 void count_bins_avx2(const std::uint8_t* first,
                                  std::size_t stride, std::size_t rows,
                                  std::size_t len,
                                  std::uint64_t (&counts)[16]) {
  constexpr std::size_t kStrip = 255 * 32;
  if (len > kStrip) {
    for (std::size_t c = 0; c < len; c += kStrip) {
      count_bins_avx2(first + c, stride, rows, std::min(kStrip, len - c),
                      counts);
    }
    return;
  }
  if (len < 32) {
    count_bins_sse2(first, stride, rows, len, counts);
    return;
  }
  alignas(32) static constexpr std::uint8_t kDropFirst[64] = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::size_t full = len / 32;
  const std::size_t rest = len % 32;
  const __m256i drop = _mm256_loadu_si256(
      reinterpret_cast<const __m256i*>(kDropFirst + (rest == 0 ? 32 : rest)));
  const __m256i zero = _mm256_setzero_si256();
  const std::size_t loads = full + (rest != 0);
  const std::size_t rows_per_flush = std::max<std::size_t>(1, 255 / loads);
  for (std::size_t pass = 0; pass < 16; pass += 8) {
    __m256i bins[8];
    for (std::size_t b = 0; b < 8; ++b) {
      bins[b] = _mm256_set1_epi8(static_cast<char>(pass + b));
    }
    for (std::size_t r0 = 0; r0 < rows; r0 += rows_per_flush) {
      __m256i acc[8];
      for (auto& a : acc) a = zero;
      const std::size_t r1 = std::min(rows, r0 + rows_per_flush);
      for (std::size_t r = r0; r < r1; ++r) {
        const std::uint8_t* row = first + r * stride;
        for (std::size_t k = 0; k < full; ++k) {
          count_chunk(high_nibbles(row + 32 * k), bins, acc);
        }
        if (rest != 0) {
          count_chunk(_mm256_or_si256(high_nibbles(row + len - 32), drop),
                      bins, acc);
        }
      }
      for (std::size_t b = 0; b < 8; ++b) {
        const __m256i sums = _mm256_sad_epu8(acc[b], zero);
        alignas(32) std::uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
        counts[pass + b] += lanes[0] + lanes[1] + lanes[2] + lanes[3];
      }
    }
  }
}

VANTREL_AVX2 Hist16 histogram_16_avx2(Plane frame) {
  return histogram_16_counted(count_bins_avx2, frame);
}

VANTREL_AVX2 GridHist16 grid_histogram_16_avx2(Plane frame, std::size_t width,
                                               std::size_t height) {
  return grid_histogram_16_counted(count_bins_avx2, frame, width, height);
}

}  // namespace

const Kernels kAvx2Kernels = {
    "avx2",
    sad16x16_sse2,
    dev_block_sse2,
    search_superblock_matches_avx2,
    find_best_match_for_block_sse2,
    sad_u8_avx2,
    histogram_16_avx2,
    grid_histogram_16_avx2,
    downscale_gray8_nearest_portable,
    intersection_avx2,
};

}  // namespace vantrel::simd_metrics::detail

#endif  // __x86_64__
