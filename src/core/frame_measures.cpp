#include "core/frame_measures.h"

#include "base/error.h"

namespace vantrel {

FrameMeasures measure_frame(std::span<const std::uint8_t> plane,
                            std::size_t width, std::size_t height) {
  if (plane.size() / (width == 0 ? 1 : width) < height) {
    fatal_internal("measure_frame: plane smaller than its dimensions");
  }
  FrameMeasures m{.width = static_cast<std::uint32_t>(width),
                  .height = static_cast<std::uint32_t>(height),
                  .sum = 0,
                  .sum_sq = 0,
                  .hist = {},
                  .cells = {}};
  constexpr std::size_t cols = FrameMeasures::kColumns;
  constexpr std::size_t rows = FrameMeasures::kRows;
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = plane.data() + y * width;
    std::uint32_t* cell_row = m.cells.data() + (y * rows / height) * cols;
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint32_t v = row[x];
      m.sum += v;
      m.sum_sq += v * v;
      ++m.hist[v >> 2];
      cell_row[x * cols / width] += v;
    }
  }
  return m;
}

}  // namespace vantrel
