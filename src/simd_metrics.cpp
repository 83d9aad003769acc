#include "simd_metrics.h"

#include <algorithm>
#include <bit>

#include "simd_metrics_forms.h"

namespace vantrel::simd_metrics {

using detail::add_sat;
using detail::add_sat_u32;
using detail::add_sat_u64;
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

// (1 - similarity) clamped to [0, 1]; NaN stays NaN.
double distance_from_counts(std::uint64_t intersection, std::uint64_t total) {
  const double similarity =
      u64_to_f64_exact(intersection) / u64_to_f64_exact(total);
  const double distance = 1.0 - similarity;
  if (distance < 0.0) return 0.0;
  if (distance > 1.0) return 1.0;
  return distance;
}

// Orders doubles by IEEE-754 total order.
std::int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::int64_t>(v);
  return bits ^ static_cast<std::int64_t>(
                    static_cast<std::uint64_t>(bits >> 63) >> 1);
}

struct BlockTally {
  std::size_t intra = 0;
  std::uint64_t weighted_sad = 0;
  std::uint64_t complexity = 0;

  // Intra test, zero-motion bonus and SAD halving of one searched block.
  void add(std::uint32_t dev, std::uint32_t sad, std::int32_t dx,
           std::int32_t dy, std::uint32_t intra_thresh_u32) {
    complexity = add_sat_u64(complexity, std::max(dev, kComplexityFloor));
    if (add_sat_u32(dev, intra_thresh_u32) < sad) intra = add_sat(intra, 1);
    if (dx == 0 && dy == 0 && dev > kZeroMotionDevBound &&
        sad < kZeroMotionSadBound) {
      weighted_sad = add_sat_u64(weighted_sad, kZeroMotionBonus);
    }
    const std::uint32_t adjusted = dev >= kHighTextureDev ? sad / 2 : sad;
    weighted_sad = add_sat_u64(weighted_sad, adjusted);
  }
};

std::uint64_t denominator(std::uint64_t complexity, std::uint64_t blocks) {
  return add_sat_u64(complexity >> kComplexityShift,
                     blocks > UINT64_MAX / kBlockWeightFactor
                         ? UINT64_MAX
                         : kBlockWeightFactor * blocks);
}

void check_planes(Plane prev, Plane curr, std::size_t width,
                  std::size_t height) {
  std::size_t pixels;
  if (__builtin_mul_overflow(width, height, &pixels) || prev.size() < pixels ||
      curr.size() < pixels) {
    fatal_internal("motion analysis: plane smaller than its dimensions");
  }
}

SuperblockMetrics accumulate(const Kernels& kernels, Plane curr,
                             std::size_t width, std::size_t base_x,
                             std::size_t base_y,
                             std::uint32_t intra_thresh_u32,
                             const SuperblockSearchResults& results) {
  BlockTally tally;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t dev = kernels.dev_block(
        curr, width, base_x + kBlockOx[i], base_y + kBlockOy[i], 16, 16);
    tally.add(dev, results.sad[i], results.dx[i], results.dy[i],
              intra_thresh_u32);
  }
  return {tally.intra, tally.weighted_sad, tally.complexity};
}

MeAnalysis small_frame(const Kernels& kernels, Plane prev, Plane curr,
                       std::size_t width, std::size_t height,
                       std::int32_t search_radius,
                       std::uint32_t intra_thresh_u32) {
  check_planes(prev, curr, width, height);
  const std::size_t mb_width = (width + 15) / 16;
  const std::size_t mb_height = (height + 15) / 16;
  BlockTally tally;
  std::uint64_t blocks = kBlockWeightStep;
  std::size_t total_blocks = 0;
  for (std::size_t mb_y = 1; mb_y + 1 < mb_height; ++mb_y) {
    for (std::size_t mb_x = 1; mb_x + 1 < mb_width; ++mb_x) {
      const std::size_t block_x = 16 * mb_x;
      const std::size_t block_y = 16 * mb_y;
      if (block_x + 16 > width || block_y + 16 > height) continue;
      blocks = add_sat_u64(blocks, kBlockWeightStep);
      const MotionMatch match = kernels.find_best_match_for_block(
          prev, curr, width, height, block_x, block_y, search_radius);
      const std::uint32_t dev =
          kernels.dev_block(curr, width, block_x, block_y, 16, 16);
      tally.add(dev, match.sad, match.dx, match.dy, intra_thresh_u32);
      total_blocks = add_sat(total_blocks, 1);
    }
  }
  if (total_blocks == 0) return {};
  const std::uint64_t denom = denominator(tally.complexity, blocks);
  const double score =
      denom == 0 ? 0.0 : u64_to_f64_exact(tally.weighted_sad / denom);
  return {score, tally.intra, total_blocks, tally.weighted_sad};
}

}  // namespace

namespace detail {

SearchWindow block_search_window(std::size_t block_x, std::size_t block_y,
                                 std::int32_t search_radius, std::size_t width,
                                 std::size_t height) {
  const std::size_t max_search_x = width > 16 ? width - 16 : 0;
  const std::size_t max_search_y = height > 16 ? height - 16 : 0;
  return superblock_search_window(block_x, block_y, search_radius,
                                  max_search_x, max_search_y);
}

CandidateRange checked_block_range(Plane prev, Plane curr, std::size_t width,
                                   std::size_t height, std::size_t block_x,
                                   std::size_t block_y,
                                   std::int32_t search_radius) {
  const CandidateRange range = candidate_range(
      block_x, block_y,
      block_search_window(block_x, block_y, search_radius, width, height));
  if (range.fits && !range.empty) {
    check_block(curr, width, block_x, block_y, 16, 16, "block search");
    check_block(prev, width, static_cast<std::size_t>(block_x + range.max_x),
                static_cast<std::size_t>(block_y + range.max_y), 16, 16,
                "block search");
  }
  return range;
}

}  // namespace detail

double u64_to_f64_exact(std::uint64_t value) {
  const auto high = static_cast<std::uint32_t>(value >> 32);
  const auto low = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
  return static_cast<double>(high) * 4294967296.0 + static_cast<double>(low);
}

const Kernels& plain_kernels() { return detail::kPlainKernels; }

std::span<const Kernels* const> available_kernels() {
  static const auto forms = [] {
    std::vector<const Kernels*> list = {&detail::kPlainKernels,
                                        &detail::kPortableKernels};
#if defined(__x86_64__)
    list.push_back(&detail::kSse2Kernels);
    if (__builtin_cpu_supports("avx2")) list.push_back(&detail::kAvx2Kernels);
#endif
    return list;
  }();
  return forms;
}

const Kernels& production_kernels() {
  static const Kernels* const chosen = available_kernels().back();
  return *chosen;
}

void downscale_gray8_nearest(Plane src, std::size_t src_width,
                             std::size_t src_height, std::size_t dst_width,
                             std::size_t dst_height,
                             std::vector<std::uint8_t>& dst) {
  production_kernels().downscale_gray8_nearest(src, src_width, src_height,
                                               dst_width, dst_height, dst);
}

Hist16 histogram_16(Plane frame) {
  return production_kernels().histogram_16(frame);
}

GridHist16 grid_histogram_16(Plane frame, std::size_t width,
                             std::size_t height) {
  return production_kernels().grid_histogram_16(frame, width, height);
}

double histogram_distance_16_from_hists(const Kernels& kernels,
                                        const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels) {
  return distance_from_counts(kernels.intersection(prev, curr), total_pixels);
}

double histogram_distance_16_from_hists(const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels) {
  return histogram_distance_16_from_hists(production_kernels(), prev, curr,
                                          total_pixels);
}

double grid_histogram_distance_16_from_hists(const Kernels& kernels,
                                             const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels) {
  return distance_from_counts(kernels.intersection(prev, curr), total_pixels);
}

double grid_histogram_distance_16_from_hists(const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels) {
  return grid_histogram_distance_16_from_hists(production_kernels(), prev,
                                               curr, total_pixels);
}

double grid_histogram_median_cell_distance_16_from_hists(
    const Kernels& kernels, const GridHist16& prev, const GridHist16& curr) {
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

double grid_histogram_median_cell_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr) {
  return grid_histogram_median_cell_distance_16_from_hists(production_kernels(),
                                                           prev, curr);
}

std::uint64_t sad_u8(Plane prev, Plane curr) {
  return production_kernels().sad_u8(prev, curr);
}

double normalize_sad(std::uint64_t sad, std::size_t width,
                     std::size_t height) {
  const std::size_t pixels = detail::mul_sat(width, height);
  if (pixels == 0) return 0.0;
  const double denom = u64_to_f64_exact(pixels) * 255.0;
  return u64_to_f64_exact(sad) / denom;
}

MeAnalysis meanalysis_xvid_like(const Kernels& kernels, Plane prev, Plane curr,
                                std::size_t width, std::size_t height,
                                std::int32_t search_radius,
                                std::int32_t intra_thresh) {
  if (width < kMinPlaneEdge || height < kMinPlaneEdge) return {};
  const std::size_t mb_width = (width + 15) / 16;
  const std::size_t mb_height = (height + 15) / 16;
  const std::size_t total_blocks =
      detail::mul_sat(mb_width - 2, mb_height - 2);
  if (total_blocks == 0) return {};
  const std::uint32_t intra_thresh_u32 =
      intra_thresh >= 0 ? static_cast<std::uint32_t>(intra_thresh) : 0;
  if (mb_width == 3 || mb_height == 3) {
    return small_frame(kernels, prev, curr, width, height, search_radius,
                       intra_thresh_u32);
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
      blocks = add_sat_u64(blocks, kBlockWeightStep);
      const SearchWindow window =
          superblock_search_window(base_x, base_y, search_radius,
                                   max_horizontal_limit, max_vertical_limit);
      const SuperblockSearchResults results = kernels.search_superblock_matches(
          prev, curr, width, base_x, base_y, window);
      const SuperblockMetrics metrics = accumulate(
          kernels, curr, width, base_x, base_y, intra_thresh_u32, results);
      intra_blocks = add_sat(intra_blocks, metrics.intra);
      ssad = add_sat_u64(ssad, metrics.weighted_sad);
      complexity = add_sat_u64(complexity, metrics.complexity);
    }
  }
  const std::uint64_t denom = denominator(complexity, blocks);
  return {u64_to_f64_exact(ssad / denom), intra_blocks, total_blocks, ssad};
}

MeAnalysis meanalysis_xvid_like(Plane prev, Plane curr, std::size_t width,
                                std::size_t height, std::int32_t search_radius,
                                std::int32_t intra_thresh) {
  return meanalysis_xvid_like(production_kernels(), prev, curr, width, height,
                              search_radius, intra_thresh);
}

MeAnalysis small_frame_meanalysis(Plane prev, Plane curr, std::size_t width,
                                  std::size_t height,
                                  std::int32_t search_radius,
                                  std::uint32_t intra_thresh_u32) {
  return small_frame(production_kernels(), prev, curr, width, height,
                     search_radius, intra_thresh_u32);
}

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
  const std::int32_t neg_radius = detail::clamp_i32(-std::int64_t{search_radius});
  const auto reach = [](std::size_t limit, std::size_t base) {
    return detail::to_i32_sat(limit > base ? limit - base : 0);
  };
  return {
      std::max(neg_radius, -detail::to_i32_sat(base_x)),
      std::min(search_radius, reach(max_horizontal_limit, base_x)),
      std::max(neg_radius, -detail::to_i32_sat(base_y)),
      std::min(search_radius, reach(max_vertical_limit, base_y)),
  };
}

SuperblockSearchResults search_superblock_matches(Plane prev, Plane curr,
                                                  std::size_t width,
                                                  std::size_t base_x,
                                                  std::size_t base_y,
                                                  const SearchWindow& window) {
  return production_kernels().search_superblock_matches(prev, curr, width,
                                                        base_x, base_y, window);
}

SuperblockMetrics accumulate_superblock_metrics(
    Plane curr, std::size_t width, std::size_t base_x, std::size_t base_y,
    std::uint32_t intra_thresh_u32, const SuperblockSearchResults& results) {
  return accumulate(production_kernels(), curr, width, base_x, base_y,
                    intra_thresh_u32, results);
}

MotionMatch find_best_match_for_block(Plane prev, Plane curr, std::size_t width,
                                      std::size_t height, std::size_t block_x,
                                      std::size_t block_y,
                                      std::int32_t search_radius) {
  return production_kernels().find_best_match_for_block(
      prev, curr, width, height, block_x, block_y, search_radius);
}

std::uint32_t sad16x16(Plane prev, Plane curr, std::size_t width,
                       std::size_t curr_x, std::size_t curr_y,
                       std::size_t prev_x, std::size_t prev_y) {
  return production_kernels().sad16x16(prev, curr, width, curr_x, curr_y,
                                       prev_x, prev_y);
}

std::uint32_t dev_block(Plane curr, std::size_t width, std::size_t curr_x,
                        std::size_t curr_y, std::size_t block_w,
                        std::size_t block_h) {
  return production_kernels().dev_block(curr, width, curr_x, curr_y, block_w,
                                        block_h);
}

}  // namespace vantrel::simd_metrics
