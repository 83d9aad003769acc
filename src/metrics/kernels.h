// Shared by the kernel forms: block geometry, the kernels one form lends
// another, and the kernel tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/metrics_internal.h"
#include "metrics/types.h"

namespace vantrel::simd_metrics::detail {

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

// Deviation of any block, also the dispatcher's for blocks other than
// 16 x 16 (the block lies inside the plane).
std::uint32_t dev_block_plain(Plane curr, std::size_t width,
                              std::size_t curr_x, std::size_t curr_y,
                              std::size_t block_w, std::size_t block_h);

// Plain kernels the portable form uses as they are.
std::uint64_t sad_u8_plain(Plane prev, Plane curr);
std::uint64_t intersection_plain(std::span<const std::uint32_t> prev,
                                 std::span<const std::uint32_t> curr);

// The one fast reduction, shared by every form but the plain one.
void downscale_gray8_nearest_portable(Plane src, std::size_t src_width,
                                      std::size_t src_height,
                                      std::size_t src_stride,
                                      std::size_t dst_width,
                                      std::size_t dst_height,
                                      std::vector<std::uint8_t>& dst);

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
// SSE2 kernels the AVX2 form reuses where wider vectors do not pay.
std::uint32_t sad16x16_sse2(Plane prev, Plane curr, std::size_t width,
                            std::size_t curr_x, std::size_t curr_y,
                            std::size_t prev_x, std::size_t prev_y);
std::uint32_t dev_block16_sse2(Plane curr, std::size_t width, std::size_t x,
                               std::size_t y);
MotionMatch search_block_matches_sse2(Plane prev, Plane curr,
                                      std::size_t width, std::size_t block_x,
                                      std::size_t block_y,
                                      const SearchWindow& window);
void count_bins_sse2(const std::uint8_t* first, std::size_t stride,
                     std::size_t rows, std::size_t len,
                     std::uint64_t (&counts)[16]);
#endif

extern const Kernels kPlainKernels;
extern const Kernels kPortableKernels;
#if defined(__x86_64__)
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
#endif

}  // namespace vantrel::simd_metrics::detail
