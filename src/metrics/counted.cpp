// The histograms of the vector forms, each form lending its bin counter.
// The kernels' size limit keeps every count exact in u32.
#include "metrics/kernels.h"

namespace vantrel::simd_metrics::detail {

Hist16 histogram_16_counted(CountBinsFn count_bins, Plane frame) {
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
  const std::array<std::size_t, 5> cols = grid_cell_starts(width);
  const std::array<std::size_t, 5> rows = grid_cell_starts(height);
  GridHist16 hist;
  for (std::size_t cell_y = 0; cell_y < 4; ++cell_y) {
    for (std::size_t cell_x = 0; cell_x < 4; ++cell_x) {
      std::uint64_t counts[16] = {};
      count_bins(frame.data() + rows[cell_y] * width + cols[cell_x], width,
                 rows[cell_y + 1] - rows[cell_y],
                 cols[cell_x + 1] - cols[cell_x], counts);
      for (std::size_t b = 0; b < 16; ++b) {
        hist[(cell_y * 4 + cell_x) * 16 + b] =
            static_cast<std::uint32_t>(counts[b]);
      }
    }
  }
  return hist;
}

}  // namespace vantrel::simd_metrics::detail
