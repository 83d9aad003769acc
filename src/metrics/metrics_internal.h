// Test seams of the frame metrics: the kernel forms this processor runs and
// the steps of the motion-estimation analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/kernels.h"
#include "metrics/metrics.h"
#include "metrics/types.h"

namespace vantrel::simd_metrics {

// Every form this build can run on this processor, plain first.
std::span<const Kernels* const> available_kernels();

// The analysis of planes too small for superblocks: every interior 16 x 16
// block searched on its own.
MeAnalysis small_frame_meanalysis(
    Plane prev, Plane curr, std::size_t width, std::size_t height,
    std::int32_t search_radius, std::uint32_t intra_thresh_u32,
    const Kernels& kernels = production_kernels());
std::vector<std::size_t> superblock_indices(std::size_t macroblock_count);
SearchWindow superblock_search_window(std::size_t base_x, std::size_t base_y,
                                      std::int32_t search_radius,
                                      std::size_t max_horizontal_limit,
                                      std::size_t max_vertical_limit);
// Candidates left of or above the plane are skipped.
SuperblockSearchResults search_superblock_matches(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window,
    const Kernels& kernels = production_kernels());
SuperblockMetrics accumulate_superblock_metrics(
    Plane curr, std::size_t width, std::size_t base_x, std::size_t base_y,
    std::uint32_t intra_thresh_u32, const SuperblockSearchResults& results,
    const Kernels& kernels = production_kernels());
MotionMatch find_best_match_for_block(
    Plane prev, Plane curr, std::size_t width, std::size_t height,
    std::size_t block_x, std::size_t block_y, std::int32_t search_radius,
    const Kernels& kernels = production_kernels());
std::uint32_t sad16x16(Plane prev, Plane curr, std::size_t width,
                       std::size_t curr_x, std::size_t curr_y,
                       std::size_t prev_x, std::size_t prev_y,
                       const Kernels& kernels = production_kernels());
std::uint32_t dev_block(Plane curr, std::size_t width, std::size_t curr_x,
                        std::size_t curr_y, std::size_t block_w,
                        std::size_t block_h,
                        const Kernels& kernels = production_kernels());

}  // namespace vantrel::simd_metrics
