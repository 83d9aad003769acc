// Internal to the metrics: saturating arithmetic, bounds checks and the
// per-form kernel tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "error.h"
#include "simd_metrics.h"

namespace vantrel::simd_metrics::detail {

inline std::size_t add_sat(std::size_t a, std::size_t b) {
  std::size_t r;
  return __builtin_add_overflow(a, b, &r) ? SIZE_MAX : r;
}
inline std::uint64_t add_sat_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline std::size_t mul_sat(std::size_t a, std::size_t b) {
  std::size_t r;
  return __builtin_mul_overflow(a, b, &r) ? SIZE_MAX : r;
}
inline std::uint32_t add_sat_u32(std::uint32_t a, std::uint32_t b) {
  std::uint32_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT32_MAX : r;
}
inline std::int32_t clamp_i32(std::int64_t v) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}
inline std::int32_t to_i32_sat(std::size_t v) {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(v, static_cast<std::size_t>(INT32_MAX)));
}
inline std::int32_t add_i32_sat(std::int32_t a, std::int32_t b) {
  return clamp_i32(std::int64_t{a} + b);
}

// Aborts unless the block of `w` x `h` bytes at (x, y) of a plane with row
// length `width` lies inside `plane` (every index y' * width + x' below its
// size). Rows may run past `width`; only the slice bounds matter.
inline void check_block(Plane plane, std::size_t width, std::size_t x,
                        std::size_t y, std::size_t w, std::size_t h,
                        const char* what) {
  if (w == 0 || h == 0) return;
  std::size_t last_row, last;
  if (__builtin_mul_overflow(y + (h - 1), width, &last_row) ||
      y + (h - 1) < y ||
      __builtin_add_overflow(last_row, x + (w - 1), &last) ||
      x + (w - 1) < x || last >= plane.size()) {
    fatal_internal(what);
  }
}

// The rectangle of candidate positions a window reaches from (base_x,
// base_y), with negative candidates dropped. Produced only when no candidate
// saturates, so vector forms can walk it with plain arithmetic; otherwise
// `fits` is false and the caller uses the plain form.
struct CandidateRange {
  bool fits = false;
  bool empty = true;
  std::int64_t min_x = 0, max_x = 0, min_y = 0, max_y = 0;  // offsets
};

inline CandidateRange candidate_range(std::size_t base_x, std::size_t base_y,
                                      const SearchWindow& window) {
  CandidateRange r;
  if (base_x > INT32_MAX || base_y > INT32_MAX) return r;
  const std::int64_t bx = static_cast<std::int64_t>(base_x);
  const std::int64_t by = static_cast<std::int64_t>(base_y);
  if (bx + window.max_offset_x > INT32_MAX ||
      by + window.max_offset_y > INT32_MAX) {
    return r;
  }
  r.fits = true;
  r.min_x = std::max<std::int64_t>(window.min_offset_x, -bx);
  r.max_x = window.max_offset_x;
  r.min_y = std::max<std::int64_t>(window.min_offset_y, -by);
  r.max_y = window.max_offset_y;
  r.empty = r.min_x > r.max_x || r.min_y > r.max_y;
  return r;
}

// Candidate rectangle of a superblock search after checking, once, that
// every block it reads lies inside both planes.
inline CandidateRange checked_superblock_range(Plane prev, Plane curr,
                                               std::size_t width,
                                               std::size_t base_x,
                                               std::size_t base_y,
                                               const SearchWindow& window) {
  const CandidateRange range = candidate_range(base_x, base_y, window);
  if (range.fits && !range.empty) {
    check_block(curr, width, base_x, base_y, 32, 32, "superblock search");
    check_block(prev, width, static_cast<std::size_t>(base_x + range.max_x),
                static_cast<std::size_t>(base_y + range.max_y), 32, 32,
                "superblock search");
  }
  return range;
}

// Keeps the first strictly better SAD of each block, in scan order.
inline void keep_better(SuperblockSearchResults& results,
                        const std::uint32_t (&sads)[4], std::int64_t offset_x,
                        std::int64_t offset_y) {
  for (int i = 0; i < 4; ++i) {
    if (sads[i] < results.sad[i]) {
      results.sad[i] = sads[i];
      results.dx[i] = static_cast<std::int32_t>(offset_x);
      results.dy[i] = static_cast<std::int32_t>(offset_y);
    }
  }
}

// Offsets of a superblock's four blocks, in block order.
inline constexpr std::size_t kBlockOx[4] = {0, 16, 0, 16};
inline constexpr std::size_t kBlockOy[4] = {0, 0, 16, 16};

// Window of the single-block search of the small-frame way.
SearchWindow block_search_window(std::size_t block_x, std::size_t block_y,
                                 std::int32_t search_radius, std::size_t width,
                                 std::size_t height);

// Candidate rectangle of the single-block search of the small-frame way,
// after checking, once, that every block it reads lies inside both planes.
CandidateRange checked_block_range(Plane prev, Plane curr, std::size_t width,
                                   std::size_t height, std::size_t block_x,
                                   std::size_t block_y,
                                   std::int32_t search_radius);

// The plain form, also the fallback of the other forms for unusual
// arguments.
std::uint32_t sad16x16_plain(Plane prev, Plane curr, std::size_t width,
                             std::size_t curr_x, std::size_t curr_y,
                             std::size_t prev_x, std::size_t prev_y);
std::uint32_t dev_block_plain(Plane curr, std::size_t width,
                              std::size_t curr_x, std::size_t curr_y,
                              std::size_t block_w, std::size_t block_h);
SuperblockSearchResults search_superblock_matches_plain(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window);
MotionMatch find_best_match_for_block_plain(Plane prev, Plane curr,
                                            std::size_t width,
                                            std::size_t height,
                                            std::size_t block_x,
                                            std::size_t block_y,
                                            std::int32_t search_radius);
std::uint64_t sad_u8_plain(Plane prev, Plane curr);
Hist16 histogram_16_plain(Plane frame);
GridHist16 grid_histogram_16_plain(Plane frame, std::size_t width,
                                   std::size_t height);
void downscale_gray8_nearest_plain(Plane src, std::size_t src_width,
                                   std::size_t src_height,
                                   std::size_t dst_width,
                                   std::size_t dst_height,
                                   std::vector<std::uint8_t>& dst);
std::uint64_t intersection_plain(std::span<const std::uint32_t> prev,
                                 std::span<const std::uint32_t> curr);

// Scalar kernels the vector forms share with the portable form.
Hist16 histogram_16_portable(Plane frame);
GridHist16 grid_histogram_16_portable(Plane frame, std::size_t width,
                                      std::size_t height);
void downscale_gray8_nearest_portable(Plane src, std::size_t src_width,
                                      std::size_t src_height,
                                      std::size_t dst_width,
                                      std::size_t dst_height,
                                      std::vector<std::uint8_t>& dst);

#if defined(__x86_64__)
// SSE2 kernels the AVX2 form reuses where wider vectors do not pay.
std::uint32_t sad16x16_sse2(Plane prev, Plane curr, std::size_t width,
                            std::size_t curr_x, std::size_t curr_y,
                            std::size_t prev_x, std::size_t prev_y);
std::uint32_t dev_block_sse2(Plane curr, std::size_t width, std::size_t curr_x,
                             std::size_t curr_y, std::size_t block_w,
                             std::size_t block_h);
MotionMatch find_best_match_for_block_sse2(Plane prev, Plane curr,
                                           std::size_t width,
                                           std::size_t height,
                                           std::size_t block_x,
                                           std::size_t block_y,
                                           std::int32_t search_radius);

// Adds to `counts` the 16-bin counts of `rows` rows of `len` bytes, `stride`
// bytes apart.
using CountBinsFn = void (*)(const std::uint8_t* first, std::size_t stride,
                             std::size_t rows, std::size_t len,
                             std::uint64_t (&counts)[16]);
void count_bins_sse2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]);
// The histograms of a frame, counted with `count_bins` (cell by cell for
// the grid).
Hist16 histogram_16_counted(CountBinsFn count_bins, Plane frame);
GridHist16 grid_histogram_16_counted(CountBinsFn count_bins, Plane frame,
                                     std::size_t width, std::size_t height);
#endif

extern const Kernels kPlainKernels;
extern const Kernels kPortableKernels;
#if defined(__x86_64__)
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
#endif

}  // namespace vantrel::simd_metrics::detail
