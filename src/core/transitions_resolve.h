// The jobs that turn what the trackers found, and the analysis' final
// keyframes, into the transitions, in the order the finder runs them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/transitions.h"
#include "core/transitions_cuts.h"
#include "core/transitions_dissolves.h"

namespace vantrel::transitions {

// The cuts: for Rule::cuts the keyframes other than 0; for Rule::gradual
// those and the clear cuts with no keyframe on or next to them, less the
// flashes. Every keyframe must be one of the candidates.
std::vector<Transition> keyframe_cuts(std::span<const Candidate> candidates,
                                      std::span<const std::size_t> keyframes,
                                      Rule rule);

// The strongest dissolves first (ties: earliest, narrowest), each farther
// from those taken than the wider one's width; by middle frame.
std::vector<Dissolve> strongest_dissolves(std::vector<Dissolve> dissolves);

// The fades, then the dissolves, each kept where a frame lies between it
// and every one kept before (a fade wins an overlap).
std::vector<Transition> gradual_apart(std::span<const Transition> fades,
                                      std::span<const Dissolve> dissolves);

// Drops the cuts a fade or dissolve takes: a fade those next to its flat
// frames or among them (into and out of the flat picture); a dissolve those
// after its first frame up to its last (it has no step as big as a cut's:
// they are its own steps).
void drop_cuts_taken(std::vector<Transition>& cuts,
                     std::span<const Transition> gradual);

// Drops each fade or dissolve that a cut (by start) is on or next to.
void drop_gradual_at_cuts(std::vector<Transition>& gradual,
                          std::span<const Transition> cuts);

// The cuts and the fades and dissolves, by start frame.
std::vector<Transition> by_start(std::vector<Transition> cuts,
                                 std::span<const Transition> gradual);

}  // namespace vantrel::transitions
