#include "core/frame_measures.h"

#include <array>

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
  // Column cell c holds the x with x * cols / width == c: from
  // ceil(c * width / cols) up to the next cell's first column.
  std::array<std::size_t, cols + 1> first_x{};
  for (std::size_t c = 0; c <= cols; ++c) {
    first_x[c] = (c * width + cols - 1) / cols;
  }
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = plane.data() + y * width;
    std::uint32_t* cell_row = m.cells.data() + (y * rows / height) * cols;
    for (std::size_t c = 0; c < cols; ++c) {
      std::uint32_t cell = 0;
      for (std::size_t x = first_x[c]; x < first_x[c + 1]; ++x) {
        const std::uint32_t v = row[x];
        m.sum_sq += v * v;
        ++m.hist[v >> 2];
        cell += v;
      }
      m.sum += cell;
      cell_row[c] += cell;
    }
  }
  return m;
}

}  // namespace vantrel
