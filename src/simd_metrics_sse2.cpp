// The SSE2 form (every x86-64 processor has it). psadbw sums the absolute
// differences of 16 byte pairs exactly into two 64-bit lanes, so the vector
// sums equal the byte-by-byte sums; against a broadcast mean it gives the
// block deviation directly.
#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstring>

#include "simd_metrics_forms.h"

namespace vantrel::simd_metrics::detail {
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
  const CandidateRange range =
      checked_superblock_range(prev, curr, width, base_x, base_y, window);
  if (!range.fits) {
    return search_superblock_matches_plain(prev, curr, width, base_x, base_y,
                                           window);
  }
  SuperblockSearchResults results;
  if (range.empty) return results;
  alignas(16) std::uint8_t block[32 * 32];
  copy_block(curr.data() + base_y * width + base_x, width, 32, 32, block);
  const std::size_t half = 16 * width;
  for (std::int64_t oy = range.min_y; oy <= range.max_y; ++oy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(base_y + oy) * width;
    for (std::int64_t ox = range.min_x; ox <= range.max_x; ++ox) {
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
  const std::size_t len = std::min(prev.size(), curr.size());
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
  if (prev.size() != curr.size()) {
    fatal_internal("histogram intersection: length mismatch");
  }
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

}  // namespace

// Eight bins at a time: pcmpeqb against the bin number marks a
// lane -1, subtracting it counts in bytes; psadbw against zero adds the byte
// counters up before any can pass 255.
void count_bins_sse2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]) {
  // A byte counter takes at most 255 loads: wider rows go in strips.
  constexpr std::size_t kStrip = 255 * 16;
  if (len > kStrip) {
    for (std::size_t c = 0; c < len; c += kStrip) {
      count_bins_sse2(first + c, stride, rows, std::min(kStrip, len - c),
                      counts);
    }
    return;
  }
  if (len < 16) {
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < len; ++c) ++counts[first[r * stride + c] >> 4];
    }
    return;
  }
  // The last, overlapping load of a row drops its first lanes, which the
  // previous load counted: OR-ing 0xFF there matches no bin.
  alignas(16) static constexpr std::uint8_t kDropFirst[32] = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::size_t full = len / 16;
  const std::size_t rest = len % 16;
  const __m128i drop = _mm_loadu_si128(
      reinterpret_cast<const __m128i*>(kDropFirst + (rest == 0 ? 16 : rest)));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  // Loads per row (at most 255); flushed before a counter could pass 255.
  const std::size_t loads = full + (rest != 0);
  const std::size_t rows_per_flush = std::max<std::size_t>(1, 255 / loads);
  for (std::size_t pass = 0; pass < 16; pass += 8) {
    __m128i bins[8];
    for (std::size_t b = 0; b < 8; ++b) {
      bins[b] = _mm_set1_epi8(static_cast<char>(pass + b));
    }
    for (std::size_t r0 = 0; r0 < rows; r0 += rows_per_flush) {
      __m128i acc[8];
      for (auto& a : acc) a = zero;
      const auto count = [&](__m128i hi) {
        for (std::size_t b = 0; b < 8; ++b) {
          acc[b] = _mm_sub_epi8(acc[b], _mm_cmpeq_epi8(hi, bins[b]));
        }
      };
      const std::size_t r1 = std::min(rows, r0 + rows_per_flush);
      for (std::size_t r = r0; r < r1; ++r) {
        const std::uint8_t* row = first + r * stride;
        for (std::size_t k = 0; k < full; ++k) {
          count(_mm_and_si128(_mm_srli_epi16(load16(row + 16 * k), 4), nibble));
        }
        if (rest != 0) {
          const __m128i hi =
              _mm_and_si128(_mm_srli_epi16(load16(row + len - 16), 4), nibble);
          count(_mm_or_si128(hi, drop));
        }
      }
      for (std::size_t b = 0; b < 8; ++b) {
        counts[pass + b] += lanes_sum(_mm_sad_epu8(acc[b], zero));
      }
    }
  }
}

namespace {

// Counts below this many pixels fit u32; larger planes take the plain form,
// which saturates.
constexpr std::uint64_t kMaxCountedPixels = UINT32_MAX;

}  // namespace

Hist16 histogram_16_counted(CountBinsFn count_bins, Plane frame) {
  if (frame.size() >= kMaxCountedPixels) return histogram_16_plain(frame);
  std::uint64_t counts[16] = {};
  count_bins(frame.data(), 0, 1, frame.size(), counts);
  Hist16 hist;
  for (std::size_t b = 0; b < 16; ++b) {
    hist[b] = static_cast<std::uint32_t>(counts[b]);
  }
  return hist;
}

GridHist16 grid_histogram_16_counted(CountBinsFn count_bins, Plane frame,
                                     std::size_t width, std::size_t height) {
  std::size_t pixels;
  if (width == 0 || height == 0 ||
      __builtin_mul_overflow(width, height, &pixels) || frame.size() < pixels) {
    return GridHist16{};
  }
  if (pixels >= kMaxCountedPixels) {
    return grid_histogram_16_plain(frame, width, height);
  }
  // Cell k spans columns (rows) ceil(k * width / 4) up to the next start.
  std::size_t col_starts[5], row_starts[5];
  for (std::size_t k = 0; k < 5; ++k) {
    col_starts[k] = (k * width + 3) / 4;
    row_starts[k] = (k * height + 3) / 4;
  }
  GridHist16 hist;
  for (std::size_t cell_y = 0; cell_y < 4; ++cell_y) {
    for (std::size_t cell_x = 0; cell_x < 4; ++cell_x) {
      std::uint64_t counts[16] = {};
      count_bins(
          frame.data() + row_starts[cell_y] * width + col_starts[cell_x],
          width, row_starts[cell_y + 1] - row_starts[cell_y],
          col_starts[cell_x + 1] - col_starts[cell_x], counts);
      for (std::size_t b = 0; b < 16; ++b) {
        hist[(cell_y * 4 + cell_x) * 16 + b] =
            static_cast<std::uint32_t>(counts[b]);
      }
    }
  }
  return hist;
}

namespace {

Hist16 histogram_16_sse2(Plane frame) {
  return histogram_16_counted(count_bins_sse2, frame);
}

GridHist16 grid_histogram_16_sse2(Plane frame, std::size_t width,
                                  std::size_t height) {
  return grid_histogram_16_counted(count_bins_sse2, frame, width, height);
}

}  // namespace

std::uint32_t sad16x16_sse2(Plane prev, Plane curr, std::size_t width,
                            std::size_t curr_x, std::size_t curr_y,
                            std::size_t prev_x, std::size_t prev_y) {
  check_block(curr, width, curr_x, curr_y, 16, 16, "sad16x16: curr block");
  check_block(prev, width, prev_x, prev_y, 16, 16, "sad16x16: prev block");
  return lanes_sum(sad_block(prev.data() + prev_y * width + prev_x, width,
                             curr.data() + curr_y * width + curr_x, width));
}

std::uint32_t dev_block_sse2(Plane curr, std::size_t width, std::size_t curr_x,
                             std::size_t curr_y, std::size_t block_w,
                             std::size_t block_h) {
  if (block_w != 16 || block_h != 16) {
    return dev_block_plain(curr, width, curr_x, curr_y, block_w, block_h);
  }
  check_block(curr, width, curr_x, curr_y, 16, 16, "dev_block");
  const std::uint8_t* block = curr.data() + curr_y * width + curr_x;
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

MotionMatch find_best_match_for_block_sse2(Plane prev, Plane curr,
                                           std::size_t width,
                                           std::size_t height,
                                           std::size_t block_x,
                                           std::size_t block_y,
                                           std::int32_t search_radius) {
  const CandidateRange range = checked_block_range(
      prev, curr, width, height, block_x, block_y, search_radius);
  if (!range.fits) {
    return find_best_match_for_block_plain(prev, curr, width, height, block_x,
                                           block_y, search_radius);
  }
  MotionMatch best;
  if (range.empty) return best;
  alignas(16) std::uint8_t block[16 * 16];
  copy_block(curr.data() + block_y * width + block_x, width, 16, 16, block);
  for (std::int64_t dy = range.min_y; dy <= range.max_y; ++dy) {
    const std::uint8_t* row =
        prev.data() + static_cast<std::size_t>(block_y + dy) * width;
    for (std::int64_t dx = range.min_x; dx <= range.max_x; ++dx) {
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

const Kernels kSse2Kernels = {
    "sse2",
    sad16x16_sse2,
    dev_block_sse2,
    search_superblock_matches_sse2,
    find_best_match_for_block_sse2,
    sad_u8_sse2,
    histogram_16_sse2,
    grid_histogram_16_sse2,
    downscale_gray8_nearest_portable,
    intersection_sse2,
};

}  // namespace vantrel::simd_metrics::detail

#endif  // __x86_64__
