// What the analysis measured and decided on one compared frame: the record
// the detectors' results go into, the keyframe post-processing reads, and
// the score table and the score lines show.
#pragma once

#include <cstddef>

#include "metrics/types.h"

namespace vantrel {

struct FrameRecord {
  std::size_t frame_index;  // compared with the frame before it
  bool is_cut;              // either detector's cut
  double threshold;         // the Xvid rule's score threshold
  // The Xvid rule's motion analysis: its score is the frame's score.
  simd_metrics::MeAnalysis motion;
  double hist_distance;
  double grid_hist_distance;
  double grid_hist_median;
};

}  // namespace vantrel
