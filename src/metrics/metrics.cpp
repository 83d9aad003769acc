// The metrics on a kernel form: each call's ranges checked once, the kernels
// handed only ranges proven safe, the composite measures built on them.
#include <algorithm>
#include <optional>

extern "C" {
#include <libavutil/cpu.h>
}

#include "base/arith.h"
#include "base/error.h"
#include "metrics/kernels.h"
#include "metrics/metrics_internal.h"

namespace vantrel::simd_metrics {

using detail::kBlockOx;
using detail::kBlockOy;

namespace {

constexpr std::size_t kMinPlaneEdge = 32;
constexpr std::uint64_t kBlockWeightStep = 10;
constexpr std::uint32_t kComplexityFloor = 300;
constexpr unsigned kComplexityShift = 7;
constexpr std::uint64_t kBlockWeightFactor = 4;
constexpr std::uint32_t kZeroMotionDevBound = 1000;
constexpr std::uint32_t kZeroMotionSadBound = 1000;
constexpr std::uint64_t kZeroMotionBonus = 512;
constexpr std::uint32_t kHighTextureDev = 3000;
// Planes of at least this many pixels could saturate a u32 count: only the
// plain form, which saturates, counts them.
constexpr std::uint64_t kMaxCountedPixels = UINT32_MAX;

// Aborts unless the block of `w` x `h` bytes at (x, y) of a plane with row
// length `width` lies inside `plane` (every index y' * width + x' below its
// size). Rows may run past `width`; only the slice bounds matter.
void check_block(Plane plane, std::size_t width, std::size_t x, std::size_t y,
                 std::size_t w, std::size_t h, const char* what) {
  if (w == 0 || h == 0) return;
  std::size_t last_row, last;
  if (__builtin_mul_overflow(y + (h - 1), width, &last_row) ||
      y + (h - 1) < y ||
      __builtin_add_overflow(last_row, x + (w - 1), &last) ||
      x + (w - 1) < x || last >= plane.size()) {
    fatal_internal(what);
  }
}

// The window less its candidates left of or above the plane, or nothing
// when no candidate remains. Candidate positions beyond the 32-bit range
// abort: no plane is that large.
std::optional<SearchWindow> candidates_in_plane(std::size_t base_x,
                                                std::size_t base_y,
                                                const SearchWindow& window,
                                                const char* what) {
  if (window.min_offset_x > window.max_offset_x ||
      window.min_offset_y > window.max_offset_y) {
    return std::nullopt;
  }
  if (base_x > INT32_MAX || base_y > INT32_MAX ||
      static_cast<std::int64_t>(base_x) + window.max_offset_x > INT32_MAX ||
      static_cast<std::int64_t>(base_y) + window.max_offset_y > INT32_MAX) {
    fatal_internal(what);
  }
  const SearchWindow clipped{
      std::max(window.min_offset_x, -static_cast<std::int32_t>(base_x)),
      window.max_offset_x,
      std::max(window.min_offset_y, -static_cast<std::int32_t>(base_y)),
      window.max_offset_y,
  };
  if (clipped.min_offset_x > clipped.max_offset_x ||
      clipped.min_offset_y > clipped.max_offset_y) {
    return std::nullopt;
  }
  return clipped;
}

// Checks that the `size` x `size` block at the base and the one at every
// candidate of `window` lie inside their planes; the candidate farthest
// right and down reads the last byte.
void check_candidates(Plane prev, Plane curr, std::size_t width,
                      std::size_t base_x, std::size_t base_y,
                      const SearchWindow& window, std::size_t size,
                      const char* what) {
  const auto last = [](std::size_t base, std::int32_t offset) {
    return static_cast<std::size_t>(static_cast<std::int64_t>(base) + offset);
  };
  check_block(curr, width, base_x, base_y, size, size, what);
  check_block(prev, width, last(base_x, window.max_offset_x),
              last(base_y, window.max_offset_y), size, size, what);
}

// Window of the single-block search: candidates stay 16 pixels inside the
// right and bottom edges.
SearchWindow block_search_window(std::size_t block_x, std::size_t block_y,
                                 std::int32_t search_radius, std::size_t width,
                                 std::size_t height) {
  return superblock_search_window(block_x, block_y, search_radius,
                                  sub_sat(width, 16), sub_sat(height, 16));
}

// (1 - similarity) clamped to [0, 1]; NaN stays NaN.
double distance_from_counts(std::uint64_t intersection, std::uint64_t total) {
  const double similarity =
      u64_to_f64_exact(intersection) / u64_to_f64_exact(total);
  const double distance = 1.0 - similarity;
  if (distance < 0.0) return 0.0;
  if (distance > 1.0) return 1.0;
  return distance;
}

// Intra test, zero-motion bonus and SAD halving of one searched block.
void add_block(SuperblockMetrics& tally, std::uint32_t dev, std::uint32_t sad,
               std::int32_t dx, std::int32_t dy,
               std::uint32_t intra_thresh_u32) {
  tally.complexity = add_sat(tally.complexity, std::max(dev, kComplexityFloor));
  if (add_sat(dev, intra_thresh_u32) < sad) {
    tally.intra = add_sat(tally.intra, 1);
  }
  if (dx == 0 && dy == 0 && dev > kZeroMotionDevBound &&
      sad < kZeroMotionSadBound) {
    tally.weighted_sad = add_sat(tally.weighted_sad, kZeroMotionBonus);
  }
  const std::uint32_t adjusted = dev >= kHighTextureDev ? sad / 2 : sad;
  tally.weighted_sad = add_sat(tally.weighted_sad, adjusted);
}

std::uint64_t denominator(std::uint64_t complexity, std::uint64_t blocks) {
  return add_sat(complexity >> kComplexityShift,
                 mul_sat(blocks, kBlockWeightFactor));
}

void check_planes(Plane prev, Plane curr, std::size_t width,
                  std::size_t height) {
  std::size_t pixels;
  if (__builtin_mul_overflow(width, height, &pixels) || prev.size() < pixels ||
      curr.size() < pixels) {
    fatal_internal("motion analysis: plane smaller than its dimensions");
  }
}

}  // namespace

std::span<const Kernels* const> available_kernels() {
  static const auto forms = [] {
    std::vector<const Kernels*> list = {&plain_kernels(), &portable_kernels()};
#if defined(__x86_64__)
    list.push_back(&sse2_kernels());
    // FFmpeg's detection (the processor's and the system's support for the
    // wide registers): the compiler runtime of the wheel's toolchain
    // answers no to every feature.
    if (av_get_cpu_flags() & AV_CPU_FLAG_AVX2) list.push_back(&avx2_kernels());
#endif
    return list;
  }();
  return forms;
}

const Kernels& production_kernels() {
  static const Kernels* const chosen = available_kernels().back();
  return *chosen;
}

const char* kernel_form() { return production_kernels().name; }

// ---- the kernels, checked ----

void downscale_gray8_nearest(Plane src, std::size_t src_width,
                             std::size_t src_height, std::size_t src_stride,
                             std::size_t dst_width, std::size_t dst_height,
                             std::vector<std::uint8_t>& dst,
                             const Kernels& kernels) {
  if (dst_width == 0 || dst_height == 0) {
    dst.clear();
    return;
  }
  std::size_t dst_size;
  if (__builtin_mul_overflow(dst_width, dst_height, &dst_size)) {
    fatal_internal("downscale_gray8_nearest: destination size overflows");
  }
  std::size_t last_row, needed;
  if (src_width == 0 || src_height == 0 || src_stride < src_width ||
      __builtin_mul_overflow(src_height - 1, src_stride, &last_row) ||
      __builtin_add_overflow(last_row, src_width, &needed) ||
      needed > src.size()) {
    fatal_internal("downscale_gray8_nearest: source smaller than its layout");
  }
  kernels.downscale_gray8_nearest(src, src_width, src_height, src_stride,
                                  dst_width, dst_height, dst);
}

Hist16 histogram_16(Plane frame, const Kernels& kernels) {
  const Kernels& form =
      frame.size() < kMaxCountedPixels ? kernels : plain_kernels();
  return form.histogram_16(frame);
}

GridHist16 grid_histogram_16(Plane frame, std::size_t width,
                             std::size_t height, const Kernels& kernels) {
  std::size_t pixels;
  if (width == 0 || height == 0 ||
      __builtin_mul_overflow(width, height, &pixels) || frame.size() < pixels) {
    return GridHist16{};
  }
  const Kernels& form = pixels < kMaxCountedPixels ? kernels : plain_kernels();
  return form.grid_histogram_16(frame, width, height);
}

std::uint64_t sad_u8(Plane prev, Plane curr, const Kernels& kernels) {
  const std::size_t len = std::min(prev.size(), curr.size());
  return kernels.sad_u8(prev.first(len), curr.first(len));
}

SuperblockSearchResults search_superblock_matches(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window, const Kernels& kernels) {
  constexpr const char* kWhat = "superblock search";
  const std::optional<SearchWindow> candidates =
      candidates_in_plane(base_x, base_y, window, kWhat);
  if (!candidates) return {};
  check_candidates(prev, curr, width, base_x, base_y, *candidates, 32, kWhat);
  return kernels.search_superblock_matches(prev, curr, width, base_x, base_y,
                                           *candidates);
}

MotionMatch find_best_match_for_block(
    Plane prev, Plane curr, std::size_t width, std::size_t height,
    std::size_t block_x, std::size_t block_y, std::int32_t search_radius,
    const Kernels& kernels) {
  constexpr const char* kWhat = "block search";
  const std::optional<SearchWindow> candidates = candidates_in_plane(
      block_x, block_y,
      block_search_window(block_x, block_y, search_radius, width, height),
      kWhat);
  if (!candidates) return {};
  check_candidates(prev, curr, width, block_x, block_y, *candidates, 16, kWhat);
  return kernels.search_block_matches(prev, curr, width, block_x, block_y,
                                      *candidates);
}

std::uint32_t sad16x16(Plane prev, Plane curr, std::size_t width,
                       std::size_t curr_x, std::size_t curr_y,
                       std::size_t prev_x, std::size_t prev_y,
                       const Kernels& kernels) {
  check_block(curr, width, curr_x, curr_y, 16, 16, "sad16x16: curr block");
  check_block(prev, width, prev_x, prev_y, 16, 16, "sad16x16: prev block");
  return kernels.sad16x16(prev, curr, width, curr_x, curr_y, prev_x, prev_y);
}

std::uint32_t dev_block(Plane curr, std::size_t width, std::size_t curr_x,
                        std::size_t curr_y, std::size_t block_w,
                        std::size_t block_h, const Kernels& kernels) {
  check_block(curr, width, curr_x, curr_y, block_w, block_h, "dev_block");
  if (block_w == 16 && block_h == 16) {
    return kernels.dev_block16(curr, width, curr_x, curr_y);
  }
  return detail::dev_block_plain(curr, width, curr_x, curr_y, block_w,
                                 block_h);
}

// ---- composite measures ----

double histogram_distance_16_from_hists(const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels,
                                        const Kernels& kernels) {
  return distance_from_counts(kernels.intersection(prev, curr), total_pixels);
}

double grid_histogram_distance_16_from_hists(const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels,
                                             const Kernels& kernels) {
  return distance_from_counts(kernels.intersection(prev, curr), total_pixels);
}

double grid_histogram_median_cell_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr, const Kernels& kernels) {
  std::array<double, 16> distances{};
  std::size_t count = 0;
  for (std::size_t cell = 0; cell < 16; ++cell) {
    const auto prev_cell = std::span(prev).subspan(cell * 16, 16);
    const auto curr_cell = std::span(curr).subspan(cell * 16, 16);
    std::uint64_t total = 0;
    for (const std::uint32_t bin : prev_cell) total += bin;
    if (total == 0) continue;
    distances[count++] =
        distance_from_counts(kernels.intersection(prev_cell, curr_cell), total);
  }
  if (count == 0) return 0.0;
  std::stable_sort(distances.begin(), distances.begin() + count,
                   [](double a, double b) {
                     return total_order_key(a) < total_order_key(b);
                   });
  const std::size_t mid = count / 2;
  if (count % 2 == 1) return distances[mid];
  return (distances[mid - 1] + distances[mid]) * 0.5;
}

MeAnalysis meanalysis_xvid_like(Plane prev, Plane curr, std::size_t width,
                                std::size_t height, std::int32_t search_radius,
                                std::int32_t intra_thresh,
                                const Kernels& kernels) {
  if (width < kMinPlaneEdge || height < kMinPlaneEdge) return {};
  const std::size_t mb_width = (width + 15) / 16;
  const std::size_t mb_height = (height + 15) / 16;
  const std::size_t total_blocks = mul_sat(mb_width - 2, mb_height - 2);
  if (total_blocks == 0) return {};
  const std::uint32_t intra_thresh_u32 =
      intra_thresh >= 0 ? static_cast<std::uint32_t>(intra_thresh) : 0;
  if (mb_width == 3 || mb_height == 3) {
    return small_frame_meanalysis(prev, curr, width, height, search_radius,
                                  intra_thresh_u32, kernels);
  }
  const std::vector<std::size_t> x_indices = superblock_indices(mb_width);
  const std::vector<std::size_t> y_indices = superblock_indices(mb_height);
  if (x_indices.empty() || y_indices.empty()) return {};
  check_planes(prev, curr, width, height);

  std::size_t intra_blocks = 0;
  std::uint64_t ssad = 0;
  std::uint64_t complexity = 0;
  std::uint64_t blocks = kBlockWeightStep;
  const std::size_t max_horizontal_limit = width - kMinPlaneEdge;
  const std::size_t max_vertical_limit = height - kMinPlaneEdge;
  for (const std::size_t mb_y : y_indices) {
    for (const std::size_t mb_x : x_indices) {
      const std::size_t base_x = 16 * mb_x;
      const std::size_t base_y = 16 * mb_y;
      blocks = add_sat(blocks, kBlockWeightStep);
      const SearchWindow window =
          superblock_search_window(base_x, base_y, search_radius,
                                   max_horizontal_limit, max_vertical_limit);
      const SuperblockSearchResults results = search_superblock_matches(
          prev, curr, width, base_x, base_y, window, kernels);
      const SuperblockMetrics metrics = accumulate_superblock_metrics(
          curr, width, base_x, base_y, intra_thresh_u32, results, kernels);
      intra_blocks = add_sat(intra_blocks, metrics.intra);
      ssad = add_sat(ssad, metrics.weighted_sad);
      complexity = add_sat(complexity, metrics.complexity);
    }
  }
  const std::uint64_t denom = denominator(complexity, blocks);
  return {u64_to_f64_exact(ssad / denom), intra_blocks, total_blocks, ssad};
}

// ---- the motion-estimation steps ----

// Planes with 3 macroblocks across or down have no superblock row or column
// inside: each interior 16 x 16 block is searched on its own.
MeAnalysis small_frame_meanalysis(Plane prev, Plane curr, std::size_t width,
                                  std::size_t height,
                                  std::int32_t search_radius,
                                  std::uint32_t intra_thresh_u32,
                                  const Kernels& kernels) {
  check_planes(prev, curr, width, height);
  const std::size_t mb_width = (width + 15) / 16;
  const std::size_t mb_height = (height + 15) / 16;
  SuperblockMetrics tally;
  std::uint64_t blocks = kBlockWeightStep;
  std::size_t total_blocks = 0;
  for (std::size_t mb_y = 1; mb_y + 1 < mb_height; ++mb_y) {
    for (std::size_t mb_x = 1; mb_x + 1 < mb_width; ++mb_x) {
      const std::size_t block_x = 16 * mb_x;
      const std::size_t block_y = 16 * mb_y;
      if (block_x + 16 > width || block_y + 16 > height) continue;
      blocks = add_sat(blocks, kBlockWeightStep);
      const MotionMatch match = find_best_match_for_block(
          prev, curr, width, height, block_x, block_y, search_radius, kernels);
      const std::uint32_t dev =
          dev_block(curr, width, block_x, block_y, 16, 16, kernels);
      add_block(tally, dev, match.sad, match.dx, match.dy, intra_thresh_u32);
      total_blocks = add_sat(total_blocks, 1);
    }
  }
  if (total_blocks == 0) return {};
  const std::uint64_t denom = denominator(tally.complexity, blocks);
  const double score =
      denom == 0 ? 0.0 : u64_to_f64_exact(tally.weighted_sad / denom);
  return {score, tally.intra, total_blocks, tally.weighted_sad};
}

SuperblockMetrics accumulate_superblock_metrics(
    Plane curr, std::size_t width, std::size_t base_x, std::size_t base_y,
    std::uint32_t intra_thresh_u32, const SuperblockSearchResults& results,
    const Kernels& kernels) {
  SuperblockMetrics tally;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t dev = dev_block(curr, width, base_x + kBlockOx[i],
                                        base_y + kBlockOy[i], 16, 16, kernels);
    add_block(tally, dev, results.sad[i], results.dx[i], results.dy[i],
              intra_thresh_u32);
  }
  return tally;
}

// ---- geometry ----

std::vector<std::size_t> superblock_indices(std::size_t macroblock_count) {
  std::vector<std::size_t> indices;
  if (macroblock_count < 3) return indices;
  for (std::size_t i = 1; i < macroblock_count - 2; i += 2) {
    indices.push_back(i);
  }
  return indices;
}

SearchWindow superblock_search_window(std::size_t base_x, std::size_t base_y,
                                      std::int32_t search_radius,
                                      std::size_t max_horizontal_limit,
                                      std::size_t max_vertical_limit) {
  const std::int32_t neg_radius = clamp_i32(-std::int64_t{search_radius});
  const auto reach = [](std::size_t limit, std::size_t base) {
    return to_i32_sat(sub_sat(limit, base));
  };
  return {
      std::max(neg_radius, -to_i32_sat(base_x)),
      std::min(search_radius, reach(max_horizontal_limit, base_x)),
      std::max(neg_radius, -to_i32_sat(base_y)),
      std::min(search_radius, reach(max_vertical_limit, base_y)),
  };
}

double normalize_sad(std::uint64_t sad, std::size_t width,
                     std::size_t height) {
  const std::size_t pixels = mul_sat(width, height);
  if (pixels == 0) return 0.0;
  const double denom = u64_to_f64_exact(pixels) * 255.0;
  return u64_to_f64_exact(sad) / denom;
}

}  // namespace vantrel::simd_metrics
