// The SSE2 form (every x86-64 processor has it). psadbw sums the absolute
// differences of 16 byte pairs exactly into two 64-bit lanes, so the vector
// sums equal the byte-by-byte sums; against a broadcast mean it gives the
// block deviation directly.
#if defined(__x86_64__)

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "metrics/count_bins.h"
#include "metrics/kernels.h"

namespace vantrel::simd_metrics {
namespace detail {
namespace {

__m128i load16(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

std::uint32_t lanes_sum(__m128i v) {
  return static_cast<std::uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi64(v, _mm_unpackhi_epi64(v, v))));
}

// SAD of a 16 x 16 block of `prev` (row length `width`) against one stored
// with rows of `stride` bytes.
__m128i sad_block(const std::uint8_t* prev, std::size_t width,
                  const std::uint8_t* curr, std::size_t stride) {
  __m128i acc = _mm_setzero_si128();
  for (std::size_t r = 0; r < 16; ++r) {
    acc = _mm_add_epi64(acc, _mm_sad_epu8(load16(prev), load16(curr)));
    prev += width;
    curr += stride;
  }
  return acc;
}

// Copies `rows` rows of `cols` bytes into a tightly packed buffer, so the
// scans read the current block from one aligned, cache-resident place.
void copy_block(const std::uint8_t* src, std::size_t width, std::size_t cols,
                std::size_t rows, std::uint8_t* dst) {
  for (std::size_t r = 0; r < rows; ++r) {
    std::memcpy(dst + r * cols, src + r * width, cols);
  }
}

SuperblockSearchResults search_superblock_matches_sse2(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  SuperblockSearchResults results;
  alignas(16) std::uint8_t block[32 * 32];
  copy_block(curr.data() + base_y * width + base_x, width, 32, 32, block);
  const std::size_t half = 16 * width;
  for (std::int64_t oy = window.min_offset_y; oy <= window.max_offset_y; ++oy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(base_y + oy) * width;
    for (std::int64_t ox = window.min_offset_x; ox <= window.max_offset_x;
         ++ox) {
      const std::uint8_t* p = row + static_cast<std::size_t>(base_x + ox);
      __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
      const std::uint8_t* top = p;
      // Full unrolling would keep 16 row offsets live and spill them.
#pragma GCC unroll 4
      for (std::size_t r = 0; r < 16; ++r, top += width) {
        const std::uint8_t* bottom = top + half;
        const __m128i* c = reinterpret_cast<const __m128i*>(block + r * 32);
        a0 = _mm_add_epi64(a0, _mm_sad_epu8(load16(top), c[0]));
        a1 = _mm_add_epi64(a1, _mm_sad_epu8(load16(top + 16), c[1]));
        a2 = _mm_add_epi64(a2, _mm_sad_epu8(load16(bottom), c[32]));
        a3 = _mm_add_epi64(a3, _mm_sad_epu8(load16(bottom + 16), c[33]));
      }
      // Lane pairs to one sum per block: s01 = [b0, b1], s23 = [b2, b3].
      const __m128i s01 = _mm_add_epi64(_mm_unpacklo_epi64(a0, a1),
                                        _mm_unpackhi_epi64(a0, a1));
      const __m128i s23 = _mm_add_epi64(_mm_unpacklo_epi64(a2, a3),
                                        _mm_unpackhi_epi64(a2, a3));
      const std::uint32_t sads[4] = {
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(s01)),
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(s01, 8))),
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(s23)),
          static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(s23, 8))),
      };
      keep_better(results, sads, ox, oy);
    }
  }
  return results;
}

std::uint64_t sad_u8_sse2(Plane prev, Plane curr) {
  const std::size_t len = prev.size();
  const std::uint8_t* a = prev.data();
  const std::uint8_t* b = curr.data();
  __m128i acc = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    acc = _mm_add_epi64(acc, _mm_sad_epu8(load16(a + i), load16(b + i)));
  }
  alignas(16) std::uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  std::uint64_t total = lanes[0] + lanes[1];
  for (; i < len; ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
  return total;
}

std::uint64_t intersection_sse2(std::span<const std::uint32_t> prev,
                                std::span<const std::uint32_t> curr) {
  // Unsigned minimum through a signed compare of sign-flipped lanes.
  const __m128i flip = _mm_set1_epi32(INT32_MIN);
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  std::size_t i = 0;
  for (; i + 4 <= prev.size(); i += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&prev[i]));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&curr[i]));
    const __m128i a_greater =
        _mm_cmpgt_epi32(_mm_xor_si128(a, flip), _mm_xor_si128(b, flip));
    const __m128i lo =
        _mm_or_si128(_mm_and_si128(a_greater, b), _mm_andnot_si128(a_greater, a));
    acc = _mm_add_epi64(acc, _mm_unpacklo_epi32(lo, zero));
    acc = _mm_add_epi64(acc, _mm_unpackhi_epi32(lo, zero));
  }
  alignas(16) std::uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  std::uint64_t sum = lanes[0] + lanes[1];
  for (; i < prev.size(); ++i) sum += std::min(prev[i], curr[i]);
  return sum;
}

// The byte counter's operations on 16-byte vectors: pcmpeqb against the bin
// number marks a lane -1, subtracting it counts; psadbw against zero adds
// the byte counters up.
struct Sse2Bytes {
  using Vec = __m128i;
  static constexpr std::size_t kWidth = 16;
  static Vec load(const std::uint8_t* p) { return load16(p); }
  static Vec zero() { return _mm_setzero_si128(); }
  static Vec broadcast(std::uint8_t v) {
    return _mm_set1_epi8(static_cast<char>(v));
  }
  static Vec high_nibbles(Vec v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
  }
  static Vec count_equal(Vec acc, Vec hi, Vec bin) {
    return _mm_sub_epi8(acc, _mm_cmpeq_epi8(hi, bin));
  }
  static Vec bitwise_or(Vec a, Vec b) { return _mm_or_si128(a, b); }
  static std::uint64_t sum_bytes(Vec v) {
    return lanes_sum(_mm_sad_epu8(v, _mm_setzero_si128()));
  }
  static void count_narrow(const std::uint8_t* first, std::size_t stride,
                           std::size_t rows, std::size_t len,
                           std::uint64_t (&counts)[16]) {
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < len; ++c) ++counts[first[r * stride + c] >> 4];
    }
  }
};

Hist16 histogram_16_sse2(Plane frame) {
  return histogram_16_counted(count_bins_sse2, frame);
}

GridHist16 grid_histogram_16_sse2(Plane frame, std::size_t width,
                                  std::size_t height) {
  return grid_histogram_16_counted(count_bins_sse2, frame, width, height);
}


std::uint32_t sad16x16_sse2(Plane prev, Plane curr, std::size_t width,
                            std::size_t curr_x, std::size_t curr_y,
                            std::size_t prev_x, std::size_t prev_y) {
  return lanes_sum(sad_block(prev.data() + prev_y * width + prev_x, width,
                             curr.data() + curr_y * width + curr_x, width));
}

std::uint32_t dev_block16_sse2(Plane curr, std::size_t width, std::size_t x,
                               std::size_t y) {
  const std::uint8_t* block = curr.data() + y * width + x;
  __m128i rows[16];
  __m128i sum = _mm_setzero_si128();
  for (std::size_t r = 0; r < 16; ++r) {
    rows[r] = load16(block + r * width);
    sum = _mm_add_epi64(sum, _mm_sad_epu8(rows[r], _mm_setzero_si128()));
  }
  const __m128i mean =
      _mm_set1_epi8(static_cast<char>(lanes_sum(sum) >> 8));
  __m128i dev = _mm_setzero_si128();
  for (std::size_t r = 0; r < 16; ++r) {
    dev = _mm_add_epi64(dev, _mm_sad_epu8(rows[r], mean));
  }
  return lanes_sum(dev);
}

MotionMatch search_block_matches_sse2(Plane prev, Plane curr,
                                      std::size_t width, std::size_t block_x,
                                      std::size_t block_y,
                                      const SearchWindow& window) {
  MotionMatch best;
  alignas(16) std::uint8_t block[16 * 16];
  copy_block(curr.data() + block_y * width + block_x, width, 16, 16, block);
  for (std::int64_t dy = window.min_offset_y; dy <= window.max_offset_y;
       ++dy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(block_y + dy) * width;
    for (std::int64_t dx = window.min_offset_x; dx <= window.max_offset_x;
         ++dx) {
      const std::uint32_t sad = lanes_sum(sad_block(
          row + static_cast<std::size_t>(block_x + dx), width, block, 16));
      if (sad < best.sad) {
        best = {sad, static_cast<std::int32_t>(dx),
                static_cast<std::int32_t>(dy)};
      }
    }
  }
  return best;
}

}  // namespace

void count_bins_sse2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]) {
  count_bins<Sse2Bytes>(first, stride, rows, len, counts);
}

}  // namespace detail

// Keeps the portable reduction.
const Kernels& sse2_kernels() {
  using namespace detail;
  static const Kernels kernels = [] {
    Kernels k = portable_kernels();
    k.name = "sse2";
    k.sad16x16 = sad16x16_sse2;
    k.dev_block16 = dev_block16_sse2;
    k.search_superblock_matches = search_superblock_matches_sse2;
    k.search_block_matches = search_block_matches_sse2;
    k.sad_u8 = sad_u8_sse2;
    k.histogram_16 = histogram_16_sse2;
    k.grid_histogram_16 = grid_histogram_16_sse2;
    k.intersection = intersection_sse2;
    return k;
  }();
  return kernels;
}

}  // namespace vantrel::simd_metrics

#endif  // __x86_64__
