// Test seams of the frame metrics: the kernel forms and the metrics run on
// an explicit form. The public functions of simd_metrics.h are these on
// production_kernels().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/types.h"

namespace vantrel::simd_metrics {

// The hot kernels in one implementation form. `plain_kernels()` holds the
// straightforward loops every other form must match bit for bit. A kernel
// trusts its arguments: the functions below check each call's ranges once
// and pass on only what the comment of the kernel allows.
struct Kernels {
  const char* name;
  // Both 16 x 16 blocks lie inside their planes.
  std::uint32_t (*sad16x16)(Plane prev, Plane curr, std::size_t width,
                            std::size_t curr_x, std::size_t curr_y,
                            std::size_t prev_x, std::size_t prev_y);
  // The 16 x 16 block lies inside the plane.
  std::uint32_t (*dev_block16)(Plane curr, std::size_t width, std::size_t x,
                               std::size_t y);
  // The window holds at least one candidate, none left of or above the
  // plane, and the blocks of every candidate lie inside both planes.
  SuperblockSearchResults (*search_superblock_matches)(
      Plane prev, Plane curr, std::size_t width, std::size_t base_x,
      std::size_t base_y, const SearchWindow& window);
  // The same for one 16 x 16 block.
  MotionMatch (*search_block_matches)(Plane prev, Plane curr,
                                      std::size_t width, std::size_t block_x,
                                      std::size_t block_y,
                                      const SearchWindow& window);
  // Planes of equal length.
  std::uint64_t (*sad_u8)(Plane prev, Plane curr);
  // Fewer than 2^32 - 1 bytes: no count saturates.
  Hist16 (*histogram_16)(Plane frame);
  // A width x height plane, both non-zero, of fewer than 2^32 - 1 bytes.
  GridHist16 (*grid_histogram_16)(Plane frame, std::size_t width,
                                  std::size_t height);
  // A non-empty destination whose size fits size_t, a source that holds
  // (src_height - 1) * src_stride + src_width bytes, src_stride >= src_width.
  void (*downscale_gray8_nearest)(Plane src, std::size_t src_width,
                                  std::size_t src_height,
                                  std::size_t src_stride,
                                  std::size_t dst_width, std::size_t dst_height,
                                  std::vector<std::uint8_t>& dst);
  // Exact sum of the lane-wise minimum of two equally long count arrays.
  std::uint64_t (*intersection)(std::span<const std::uint32_t> prev,
                                std::span<const std::uint32_t> curr);
};

const Kernels& plain_kernels();
const Kernels& production_kernels();
// Every form this build can run on this processor, plain first.
std::span<const Kernels* const> available_kernels();

void downscale_gray8_nearest(const Kernels& kernels, Plane src,
                             std::size_t src_width, std::size_t src_height,
                             std::size_t src_stride, std::size_t dst_width,
                             std::size_t dst_height,
                             std::vector<std::uint8_t>& dst);
Hist16 histogram_16(const Kernels& kernels, Plane frame);
GridHist16 grid_histogram_16(const Kernels& kernels, Plane frame,
                             std::size_t width, std::size_t height);
double histogram_distance_16_from_hists(const Kernels& kernels,
                                        const Hist16& prev, const Hist16& curr,
                                        std::size_t total_pixels);
double grid_histogram_distance_16_from_hists(const Kernels& kernels,
                                             const GridHist16& prev,
                                             const GridHist16& curr,
                                             std::size_t total_pixels);
double grid_histogram_median_cell_distance_16_from_hists(
    const Kernels& kernels, const GridHist16& prev, const GridHist16& curr);
std::uint64_t sad_u8(const Kernels& kernels, Plane prev, Plane curr);
MeAnalysis meanalysis_xvid_like(const Kernels& kernels, Plane prev, Plane curr,
                                std::size_t width, std::size_t height,
                                std::int32_t search_radius,
                                std::int32_t intra_thresh);
SuperblockSearchResults search_superblock_matches(const Kernels& kernels,
                                                  Plane prev, Plane curr,
                                                  std::size_t width,
                                                  std::size_t base_x,
                                                  std::size_t base_y,
                                                  const SearchWindow& window);
MotionMatch find_best_match_for_block(const Kernels& kernels, Plane prev,
                                      Plane curr, std::size_t width,
                                      std::size_t height, std::size_t block_x,
                                      std::size_t block_y,
                                      std::int32_t search_radius);
std::uint32_t sad16x16(const Kernels& kernels, Plane prev, Plane curr,
                       std::size_t width, std::size_t curr_x,
                       std::size_t curr_y, std::size_t prev_x,
                       std::size_t prev_y);
std::uint32_t dev_block(const Kernels& kernels, Plane curr, std::size_t width,
                        std::size_t curr_x, std::size_t curr_y,
                        std::size_t block_w, std::size_t block_h);

}  // namespace vantrel::simd_metrics
