// Keyframe post-processing: turns the per-frame statistics of a whole run
// into the final keyframe list.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vantrel::postprocess {

struct FrameCutStats {
  std::size_t frame_index;
  bool is_cut;
  double score;
  double hist_distance;
  double grid_hist_distance;
  double grid_hist_median;
};

using Stats = std::span<const FrameCutStats>;
using FrameIndices = std::vector<std::size_t>;

FrameIndices refine_frame_keyframes(Stats stats);

}  // namespace vantrel::postprocess
