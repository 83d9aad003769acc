// The fade tracker: runs of flat frames, each a fade once the frames around
// it show a change of picture.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/transitions.h"
#include "core/transitions_frames.h"

namespace vantrel::transitions {

class FadeTracker {
 public:
  // Frames after a fade's last frame that its test looks at.
  static constexpr std::size_t kLookahead = kRule.fade_context;

  // The run that frame j enters or ends, and the fades that it settles, of
  // the `known` frames in `ring`: j + 1 while frames come, the frame count
  // for the frames j past the end (a fade then compares with the last).
  void step(const FrameRing& ring, std::size_t j, std::size_t known);
  const std::vector<Transition>& fades() const { return fades_; }

 private:
  struct FlatRun {
    std::size_t first;
    // With first > 0: the frame before it, the one fade_context before it
    // (or frame 0) and the jump into it.
    Histogram previous;
    Histogram context;
    double jump;
  };
  struct PendingFade {  // waits for the frame fade_context after it
    Transition fade;
    Histogram context;
  };

  void follow_flat_run(const FrameRing& ring, std::size_t j);

  std::optional<FlatRun> run_;
  std::vector<PendingFade> pending_;
  std::vector<Transition> fades_;  // by first frame
};

}  // namespace vantrel::transitions
