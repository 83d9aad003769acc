#include "core/transitions_cuts.h"

#include <algorithm>
#include <optional>

namespace vantrel::transitions {

void CutTracker::offer(std::size_t j, double step) {
  candidates_.push_back({.frame = j, .step = step});
}

void CutTracker::step(const FrameRing& ring, std::size_t j,
                      std::size_t known) {
  if (j > kRule.cut_context && j - kRule.cut_context < known) {
    look_for_clear_cut(ring, j - kRule.cut_context, known);
  }
  if (j >= kRule.flash_span) {
    const std::size_t k = j - (kRule.flash_span - 1);
    for (auto c = candidates_.rbegin();
         c != candidates_.rend() && c->frame >= k; ++c) {
      if (c->frame == k) look_for_flash(ring, *c, known);
    }
  }
}

// Frame k when its picture jump stands far above those around it, the
// frames from `known` on not there.
void CutTracker::look_for_clear_cut(const FrameRing& ring, std::size_t k,
                                    std::size_t known) {
  const double jump = ring[k].jump;
  if (jump < kRule.cut_picture) return;
  const std::size_t from =
      std::max<std::size_t>(1, k - std::min(k, kRule.cut_context));
  const std::size_t to = std::min(known, k + kRule.cut_context + 1);
  std::optional<double> around;
  for (std::size_t i = from; i < to; ++i) {
    if (i != k) around = std::max(around.value_or(ring[i].jump), ring[i].jump);
  }
  if (around && jump < kRule.cut_ratio * *around) return;
  auto at = std::find_if(candidates_.rbegin(), candidates_.rend(),
                         [k](const Candidate& c) { return c.frame <= k; });
  if (at != candidates_.rend() && at->frame == k) {
    at->clear = true;
  } else {
    candidates_.insert(
        at.base(), Candidate{.frame = k, .step = ring[k].step, .clear = true});
  }
}

// A cut at k is a flash when two frames a < k <= b at most flash_span
// apart, other than k - 1 and k, differ by less than flash_ratio of its
// jump.
void CutTracker::look_for_flash(const FrameRing& ring, Candidate& candidate,
                                std::size_t known) {
  const std::size_t k = candidate.frame;
  const double limit = kRule.flash_ratio * ring[k].jump;
  for (std::size_t a = k - std::min(k, kRule.flash_span); a < k; ++a) {
    for (std::size_t b = k; b < std::min(known, a + kRule.flash_span + 1);
         ++b) {
      if ((a != k - 1 || b != k) &&
          picture_difference(ring[a], ring[b]) < limit) {
        candidate.flash = true;
        return;
      }
    }
  }
}

}  // namespace vantrel::transitions
