// The constants of the gradual rule (Rule::gradual), defined here once: the
// trackers use them and the Python module exports them by name for the
// method's documentation to be checked against.
#pragma once

#include <array>
#include <cstddef>

namespace vantrel::transitions {

struct GradualRule {
  // Fades: a run of flat frames (luma variance under flat_variance, mean
  // under dark or over bright) is a fade when the frames fade_context before
  // and after it differ by more than fade_change; not when both its first
  // frame and the frame after it jump by more than fade_jump (a flash of
  // light).
  double flat_variance;
  double dark;
  double bright;
  std::size_t fade_context;
  double fade_change;
  double fade_jump;
  // Dissolves: frames t - w and t + w differ by at least dissolve_change,
  // the most within w of t; no step between them makes more than
  // dissolve_spread of that; the ends are no flat pictures, correlate at
  // most same_picture, and frame t is their mix a A + (1 - a) B with a in
  // [mix_low, mix_high], leaving at most mix_residual of |A - B|.
  std::array<std::size_t, 4> dissolve_widths;
  double dissolve_change;
  double dissolve_spread;
  double same_picture;
  double mix_low;
  double mix_high;
  double mix_residual;
  // Clear cuts: a coarse-picture jump of at least cut_picture and cut_ratio
  // times any other within cut_context frames.
  double cut_picture;
  double cut_ratio;
  std::size_t cut_context;
  // Flashes: frames a < k <= b at most flash_span apart (other than k - 1
  // and k) closer than flash_ratio of the jump at k.
  std::size_t flash_span;
  double flash_ratio;

  // Frames kept: a dissolve of the widest kind is measured across twice its
  // width; the other rules look back less far.
  constexpr std::size_t frames_kept() const {
    return 2 * dissolve_widths.back() + 1;
  }
};

inline constexpr GradualRule kRule{
    .flat_variance = 60.0,
    .dark = 28.0,
    .bright = 225.0,
    .fade_context = 12,
    .fade_change = 0.3,
    .fade_jump = 40.0,
    .dissolve_widths = {3, 6, 10, 16},
    .dissolve_change = 0.35,
    .dissolve_spread = 0.6,
    .same_picture = 0.9,
    .mix_low = 0.2,
    .mix_high = 0.8,
    .mix_residual = 0.3,
    .cut_picture = 12.0,
    .cut_ratio = 3.0,
    .cut_context = 2,
    .flash_span = 5,
    .flash_ratio = 0.4,
};

// Calls visit(name, value) for each constant, frames_kept() included, in
// the order above; stops at the first false.
template <class Visit>
bool visit_rule_constants(Visit&& visit) {
  const GradualRule& r = kRule;
  return visit("flat_variance", r.flat_variance) && visit("dark", r.dark) &&
         visit("bright", r.bright) && visit("fade_context", r.fade_context) &&
         visit("fade_change", r.fade_change) &&
         visit("fade_jump", r.fade_jump) &&
         visit("dissolve_widths", r.dissolve_widths) &&
         visit("dissolve_change", r.dissolve_change) &&
         visit("dissolve_spread", r.dissolve_spread) &&
         visit("same_picture", r.same_picture) &&
         visit("mix_low", r.mix_low) && visit("mix_high", r.mix_high) &&
         visit("mix_residual", r.mix_residual) &&
         visit("cut_picture", r.cut_picture) &&
         visit("cut_ratio", r.cut_ratio) &&
         visit("cut_context", r.cut_context) &&
         visit("flash_span", r.flash_span) &&
         visit("flash_ratio", r.flash_ratio) &&
         visit("frames_kept", r.frames_kept());
}

}  // namespace vantrel::transitions
