// The dissolve tracker: for each width w, the middle frames t where frames
// t - w and t + w differ most and frame t is a mix of them.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/transitions_frames.h"

namespace vantrel::transitions {

struct Dissolve {
  double change;  // the histogram distance of its ends
  std::size_t middle;
  std::size_t width;
};

class DissolveTracker {
 public:
  // Frames after a middle frame that its test looks at.
  static constexpr std::size_t kLookahead = kRule.dissolve_widths.back();

  // The middle frames that frame j measures and settles, of the `known`
  // frames in `ring`: j + 1 while frames come, the frame count for the
  // frames j past the end.
  void step(const FrameRing& ring, std::size_t j, std::size_t known);
  // Unordered.
  const std::vector<Dissolve>& dissolves() const { return dissolves_; }

 private:
  static constexpr std::size_t kWidths = kRule.dissolve_widths.size();
  // One width's changes, by middle frame modulo kKept.
  struct WidthChanges {
    std::array<double, kKept> change{};
    std::array<bool, kKept> mixed{};  // passes every test but the peak's
  };

  void measure(const FrameRing& ring, std::size_t w_index, std::size_t t);
  void look_for_peak(std::size_t w_index, std::size_t t, std::size_t last);

  std::array<WidthChanges, kWidths> widths_{};
  std::vector<Dissolve> dissolves_;
};

}  // namespace vantrel::transitions
