// Frame metrics: nearest-neighbour reduction, 16-bin luma histograms (global
// and 4x4 grid), their distances, the sum of absolute differences and the
// Xvid-like motion-estimation analysis. Every function is pure; vector forms
// give bit-identical results to the plain ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantrel::simd_metrics {

using Hist16 = std::array<std::uint32_t, 16>;
// 4x4 cells of 16 bins: entry (cell_y * 4 + cell_x) * 16 + bin.
using GridHist16 = std::array<std::uint32_t, 256>;
using Plane = std::span<const std::uint8_t>;

// Nearest f64 to `value`: (high 32 bits) * 2^32 + (low 32 bits).
double u64_to_f64_exact(std::uint64_t value);

void downscale_gray8_nearest(Plane src, std::size_t src_width,
                             std::size_t src_height, std::size_t dst_width,
                             std::size_t dst_height,
                             std::vector<std::uint8_t>& dst);
Hist16 histogram_16(Plane frame);
GridHist16 grid_histogram_16(Plane frame, std::size_t width,
                             std::size_t height);
double histogram_distance_16_from_hists(const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels);
double grid_histogram_distance_16_from_hists(const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels);
double grid_histogram_median_cell_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr);
std::uint64_t sad_u8(Plane prev, Plane curr);
double normalize_sad(std::uint64_t sad, std::size_t width, std::size_t height);

struct MeAnalysis {
  double score = 0.0;
  std::size_t intra_blocks = 0;
  std::size_t total_blocks = 0;
  std::uint64_t mc_sad = 0;
};

struct SearchWindow {
  std::int32_t min_offset_x;
  std::int32_t max_offset_x;
  std::int32_t min_offset_y;
  std::int32_t max_offset_y;
};

struct SuperblockSearchResults {
  std::array<std::uint32_t, 4> sad{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu,
                                   0xFFFFFFFFu};
  std::array<std::int32_t, 4> dx{};
  std::array<std::int32_t, 4> dy{};
};

struct MotionMatch {
  std::uint32_t sad = 0xFFFFFFFFu;
  std::int32_t dx = 0;
  std::int32_t dy = 0;
};

struct SuperblockMetrics {
  std::size_t intra = 0;
  std::uint64_t weighted_sad = 0;
  std::uint64_t complexity = 0;
};

MeAnalysis meanalysis_xvid_like(Plane prev, Plane curr, std::size_t width,
                                std::size_t height, std::int32_t search_radius,
                                std::int32_t intra_thresh);
MeAnalysis small_frame_meanalysis(Plane prev, Plane curr, std::size_t width,
                                  std::size_t height,
                                  std::int32_t search_radius,
                                  std::uint32_t intra_thresh_u32);
std::vector<std::size_t> superblock_indices(std::size_t macroblock_count);
SearchWindow superblock_search_window(std::size_t base_x, std::size_t base_y,
                                      std::int32_t search_radius,
                                      std::size_t max_horizontal_limit,
                                      std::size_t max_vertical_limit);
SuperblockSearchResults search_superblock_matches(Plane prev, Plane curr,
                                                  std::size_t width,
                                                  std::size_t base_x,
                                                  std::size_t base_y,
                                                  const SearchWindow& window);
SuperblockMetrics accumulate_superblock_metrics(
    Plane curr, std::size_t width, std::size_t base_x, std::size_t base_y,
    std::uint32_t intra_thresh_u32, const SuperblockSearchResults& results);
MotionMatch find_best_match_for_block(Plane prev, Plane curr, std::size_t width,
                                      std::size_t height, std::size_t block_x,
                                      std::size_t block_y,
                                      std::int32_t search_radius);
std::uint32_t sad16x16(Plane prev, Plane curr, std::size_t width,
                       std::size_t curr_x, std::size_t curr_y,
                       std::size_t prev_x, std::size_t prev_y);
std::uint32_t dev_block(Plane curr, std::size_t width, std::size_t curr_x,
                        std::size_t curr_y, std::size_t block_w,
                        std::size_t block_h);

using Sad16x16Fn = decltype(&sad16x16);
using DevBlockFn = decltype(&dev_block);
using SuperblockSearchFn = decltype(&search_superblock_matches);
using BlockSearchFn = decltype(&find_best_match_for_block);
using SadU8Fn = decltype(&sad_u8);
using Histogram16Fn = decltype(&histogram_16);
using grid_Histogram16Fn = decltype(&grid_histogram_16);
using DownscaleFn = decltype(&downscale_gray8_nearest);
// The hot kernels in one implementation form. `plain_kernels()` holds the
// straightforward loops every other form must match bit for bit; the
// functions above run on `production_kernels()`, the fastest form the
// processor supports.
struct Kernels {
  const char* name;
  Sad16x16Fn sad16x16;
  DevBlockFn dev_block;
  SuperblockSearchFn search_superblock_matches;
  BlockSearchFn find_best_match_for_block;
  SadU8Fn sad_u8;
  Histogram16Fn histogram_16;
  grid_Histogram16Fn grid_histogram_16;
  DownscaleFn downscale_gray8_nearest;
  // Exact sum of the lane-wise minimum of two equally long count arrays.
  std::uint64_t (*intersection)(std::span<const std::uint32_t> prev,
                                std::span<const std::uint32_t> curr);
};

const Kernels& plain_kernels();
const Kernels& production_kernels();
// Every form this build can run on this processor, plain first.
std::span<const Kernels* const> available_kernels();

// The composite measures on an explicit form (the overloads without a
// `Kernels` argument use production_kernels()).
MeAnalysis meanalysis_xvid_like(const Kernels& kernels, Plane prev, Plane curr,
                                std::size_t width, std::size_t height,
                                std::int32_t search_radius,
                                std::int32_t intra_thresh);
double histogram_distance_16_from_hists(const Kernels& kernels,
                                        const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels);
double grid_histogram_distance_16_from_hists(const Kernels& kernels,
                                             const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels);
double grid_histogram_median_cell_distance_16_from_hists(
    const Kernels& kernels, const GridHist16& prev, const GridHist16& curr);

}  // namespace vantrel::simd_metrics
