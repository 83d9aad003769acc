// The scene-list rules that work on the frames' measures (FrameMeasures): a
// pass over the frames as the analysis delivers them that keeps a few dozen
// frames' measures, and at the end turns the analysis' keyframes into
// transitions (cuts, fades, dissolves), each with its strength.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/frame_measures.h"

namespace vantrel::transitions {

enum class Kind { cut, fade, dissolve };

struct Transition {
  Kind kind;
  std::size_t first;  // its first and last frames, inclusive
  std::size_t last;
  // The frame its new scene starts on: a cut's frame, the first frame after
  // a fade's flat frames, a dissolve's middle frame.
  std::size_t start;
  // Half the L1 distance (0 to 1) between the 64-bin histograms of the
  // frames just before and just after it.
  double strength;
};

enum class Rule {
  cuts,     // the keyframes as cuts, each with its strength
  gradual,  // the keyframes less flashes, plus clear cuts, fades, dissolves
};

class TransitionFinder {
 public:
  explicit TransitionFinder(Rule rule);
  ~TransitionFinder();

  // The next frame's measures; `may_be_keyframe`: the analysis may keep the
  // frame as a keyframe (what the rules need about a keyframe is kept only
  // for those frames).
  void add(const FrameMeasures& frame, bool may_be_keyframe);
  // Once, after the last frame: the transitions by start frame, from the
  // analysis' final keyframes, each 0 or a frame added with may_be_keyframe.
  std::vector<Transition> finish(std::span<const std::size_t> keyframes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantrel::transitions
