#include "core/transitions_fades.h"

namespace vantrel::transitions {

void FadeTracker::step(const FrameRing& ring, std::size_t j,
                       std::size_t known) {
  if (j < known) follow_flat_run(ring, j);
  if (pending_.empty()) return;
  const Histogram& newest = ring[known - 1].histogram;
  std::erase_if(pending_, [&](const PendingFade& p) {
    if (p.fade.last + kRule.fade_context != j) return false;
    if (distance(p.context, newest) > kRule.fade_change) {
      fades_.push_back(p.fade);
    }
    return true;
  });
}

// Frame j in or out of a run of flat frames; a run that ends is a fade to
// confirm fade_context frames later.
void FadeTracker::follow_flat_run(const FrameRing& ring, std::size_t j) {
  const Frame& f = ring[j];
  if (f.flat && !run_) {
    run_ = FlatRun{.first = j, .previous = {}, .context = {}, .jump = f.jump};
    if (j > 0) {
      run_->previous = ring[j - 1].histogram;
      run_->context = ring[j - std::min(j, kRule.fade_context)].histogram;
    }
  } else if (!f.flat && run_) {
    const bool flash_of_light =
        run_->jump > kRule.fade_jump && f.jump > kRule.fade_jump;
    if (run_->first > 0 && !flash_of_light) {
      pending_.push_back(
          {.fade = {.kind = Kind::fade,
                    .first = run_->first,
                    .last = j - 1,
                    .start = j,
                    .strength = distance(run_->previous, f.histogram)},
           .context = run_->context});
    }
    run_.reset();
  }
}

}  // namespace vantrel::transitions
