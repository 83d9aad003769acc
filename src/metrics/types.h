// Value types of the frame metrics, shared by the public functions and the
// kernel forms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel::simd_metrics {

using Hist16 = std::array<std::uint32_t, 16>;
// 4x4 cells of 16 bins: entry (cell_y * 4 + cell_x) * 16 + bin.
using GridHist16 = std::array<std::uint32_t, 256>;
using Plane = std::span<const std::uint8_t>;

struct MeAnalysis {
  double score = 0.0;
  std::size_t intra_blocks = 0;
  std::size_t total_blocks = 0;
  std::uint64_t mc_sad = 0;
};

// Motion vectors tried around a block: every (dx, dy) with dx in
// [min_offset_x, max_offset_x] and dy in [min_offset_y, max_offset_y].
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

}  // namespace vantrel::simd_metrics
