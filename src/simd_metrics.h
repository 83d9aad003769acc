// Frame metrics: nearest-neighbour reduction, 16-bin luma histograms (global
// and 4x4 grid), their distances, the sum of absolute differences and the
// Xvid-like motion-estimation analysis. Every function is pure and runs on
// the fastest kernel form the processor supports; all forms give
// bit-identical results. Arguments that would read outside a plane end the
// process (fatal_internal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simd_metrics_types.h"

namespace vantrel::simd_metrics {

// The name of the kernel form the functions below run on: "avx2", "sse2",
// "portable" (the processor's fastest that this build has).
const char* kernel_form();

// dst (dst_width x dst_height, packed) gets the source pixel
// (x * src_width / dst_width, y * src_height / dst_height) for each (x, y).
// Source rows lie src_stride >= src_width bytes apart; `src` holds at least
// (src_height - 1) * src_stride + src_width bytes.
void downscale_gray8_nearest(Plane src, std::size_t src_width,
                             std::size_t src_height, std::size_t src_stride,
                             std::size_t dst_width, std::size_t dst_height,
                             std::vector<std::uint8_t>& dst);
Hist16 histogram_16(Plane frame);
// All zero unless `frame` holds the width x height plane (both non-zero).
GridHist16 grid_histogram_16(Plane frame, std::size_t width,
                             std::size_t height);
double histogram_distance_16_from_hists(const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels);
double grid_histogram_distance_16_from_hists(const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels);
double grid_histogram_median_cell_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr);
// Over the common length of the two planes.
std::uint64_t sad_u8(Plane prev, Plane curr);
double normalize_sad(std::uint64_t sad, std::size_t width, std::size_t height);

MeAnalysis meanalysis_xvid_like(Plane prev, Plane curr, std::size_t width,
                                std::size_t height, std::int32_t search_radius,
                                std::int32_t intra_thresh);
// The analysis of planes too small for superblocks: every interior 16 x 16
// block searched on its own.
MeAnalysis small_frame_meanalysis(Plane prev, Plane curr, std::size_t width,
                                  std::size_t height,
                                  std::int32_t search_radius,
                                  std::uint32_t intra_thresh_u32);
std::vector<std::size_t> superblock_indices(std::size_t macroblock_count);
SearchWindow superblock_search_window(std::size_t base_x, std::size_t base_y,
                                      std::int32_t search_radius,
                                      std::size_t max_horizontal_limit,
                                      std::size_t max_vertical_limit);
// Candidates left of or above the plane are skipped.
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

}  // namespace vantrel::simd_metrics
