#include "core/transitions.h"

#include <algorithm>

#include "core/transitions_cuts.h"
#include "core/transitions_dissolves.h"
#include "core/transitions_fades.h"
#include "core/transitions_frames.h"
#include "core/transitions_resolve.h"

namespace vantrel::transitions {

// The trackers over one ring of the last frames' measures. Each frame's
// arrival is one step of every tracker; at the end the steps go on past the
// last frame until every tracker has settled every frame.
struct TransitionFinder::State {
  static constexpr std::size_t kLookahead =
      std::max({CutTracker::kLookahead, FadeTracker::kLookahead,
                DissolveTracker::kLookahead});
  // The ring holds every frame a tracker looks back to (the widest
  // dissolve's by its size).
  static_assert(kKept > kRule.fade_context && kKept > 2 * kRule.flash_span &&
                kKept > 2 * kRule.cut_context);

  Rule rule;
  FrameRing ring;
  CutTracker cuts;
  FadeTracker fades;
  DissolveTracker dissolves;

  explicit State(Rule r) : rule(r), ring(r == Rule::gradual) {}

  void step(std::size_t j, std::size_t known) {
    cuts.step(ring, j, known);
    fades.step(ring, j, known);
    dissolves.step(ring, j, known);
  }

  std::vector<Transition> resolve(std::span<const std::size_t> keyframes) {
    std::vector<Transition> found_cuts =
        keyframe_cuts(cuts.candidates(), keyframes, rule);
    if (rule == Rule::cuts) return found_cuts;
    std::vector<Transition> gradual = gradual_apart(
        fades.fades(), strongest_dissolves(dissolves.dissolves()));
    drop_cuts_taken(found_cuts, gradual);
    drop_gradual_at_cuts(gradual, found_cuts);
    return by_start(std::move(found_cuts), gradual);
  }
};

TransitionFinder::TransitionFinder(Rule rule)
    : state_(std::make_unique<State>(rule)) {}
TransitionFinder::~TransitionFinder() = default;

void TransitionFinder::add(const FrameMeasures& measures,
                           bool may_be_keyframe) {
  State& s = *state_;
  const std::size_t j = s.ring.count();
  const Frame& f = s.ring.take(measures);
  if (may_be_keyframe && j > 0) s.cuts.offer(j, f.step);
  if (s.rule == Rule::gradual) s.step(j, j + 1);
}

std::vector<Transition> TransitionFinder::finish(
    std::span<const std::size_t> keyframes) {
  State& s = *state_;
  const std::size_t n = s.ring.count();
  if (s.rule == Rule::gradual) {
    for (std::size_t j = n; j < n + State::kLookahead; ++j) s.step(j, n);
  }
  return s.resolve(keyframes);
}

}  // namespace vantrel::transitions
