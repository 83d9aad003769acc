// The kernel forms: the table of hot kernels each form fills, the tables,
// and what the forms share (block geometry, the histogram counters of the
// vector forms).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/types.h"

namespace vantrel::simd_metrics {

// The hot kernels in one implementation form. `plain_kernels()` holds the
// straightforward loops every other form must match bit for bit. A kernel
// trusts its arguments: the metric functions check each call's ranges once
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

// The tables. Each form starts from the table of the form below it and
// replaces only the kernels it does better: plain, portable, SSE2, AVX2.
const Kernels& plain_kernels();
const Kernels& portable_kernels();
#if defined(__x86_64__)
const Kernels& sse2_kernels();
const Kernels& avx2_kernels();
#endif

namespace detail {

// Offsets of a superblock's four blocks, in block order.
inline constexpr std::size_t kBlockOx[4] = {0, 16, 0, 16};
inline constexpr std::size_t kBlockOy[4] = {0, 0, 16, 16};

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

// First column (row) of each grid cell and the end: pixel x lies in cell
// floor(4x / width), so cell k starts at ceil(k * width / 4).
inline std::array<std::size_t, 5> grid_cell_starts(std::size_t width) {
  std::array<std::size_t, 5> starts;
  for (std::size_t k = 0; k < 5; ++k) starts[k] = (k * width + 3) / 4;
  return starts;
}

// Deviation of any block, also the metrics' own for blocks other than
// 16 x 16 (the block lies inside the plane).
std::uint32_t dev_block_plain(Plane curr, std::size_t width,
                              std::size_t curr_x, std::size_t curr_y,
                              std::size_t block_w, std::size_t block_h);

// Adds to `counts` the 16-bin counts of `rows` rows of `len` bytes, `stride`
// bytes apart.
using CountBinsFn = void (*)(const std::uint8_t* first, std::size_t stride,
                             std::size_t rows, std::size_t len,
                             std::uint64_t (&counts)[16]);
// The histograms of a frame counted with `count_bins` (cell by cell for the
// grid), under the kernels' preconditions.
Hist16 histogram_16_counted(CountBinsFn count_bins, Plane frame);
GridHist16 grid_histogram_16_counted(CountBinsFn count_bins, Plane frame,
                                     std::size_t width, std::size_t height);

#if defined(__x86_64__)
// The SSE2 counter, which the AVX2 form uses for rows narrower than its
// vectors.
void count_bins_sse2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]);
#endif

}  // namespace detail
}  // namespace vantrel::simd_metrics
