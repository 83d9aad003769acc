// The cut tracker: the frames that may start a scene with a cut (the
// analysis' keyframe candidates and clear cuts of the gradual rule's own),
// each marked when it is a flash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/transitions_frames.h"

namespace vantrel::transitions {

struct Candidate {
  std::size_t frame;
  double step;  // the histogram distance into it: the cut's strength
  bool clear = false;  // a clear cut of the rule's own
  bool flash = false;
};

class CutTracker {
 public:
  // Frames after a frame that its tests look at.
  static constexpr std::size_t kLookahead =
      std::max(kRule.cut_context, kRule.flash_span - 1);

  // Frame j (> 0) may be one of the analysis' keyframes.
  void offer(std::size_t j, double step);
  // The tests that frame j settles, of the `known` frames in `ring`: j + 1
  // while frames come, the frame count for the frames j past the end.
  void step(const FrameRing& ring, std::size_t j, std::size_t known);
  const std::vector<Candidate>& candidates() const { return candidates_; }

 private:
  void look_for_clear_cut(const FrameRing& ring, std::size_t k,
                          std::size_t known);
  void look_for_flash(const FrameRing& ring, Candidate& candidate,
                      std::size_t known);

  std::vector<Candidate> candidates_;  // by frame
};

}  // namespace vantrel::transitions
