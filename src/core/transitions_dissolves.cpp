#include "core/transitions_dissolves.h"

#include <algorithm>

namespace vantrel::transitions {

void DissolveTracker::step(const FrameRing& ring, std::size_t j,
                           std::size_t known) {
  for (std::size_t w_index = 0; w_index < kWidths; ++w_index) {
    const std::size_t w = kRule.dissolve_widths[w_index];
    if (j < known && j >= 2 * w) measure(ring, w_index, j - w);
    // Middle t = j - 2w, once the middles up to t + w are measured (or
    // every one there is, up to the frame w before the last).
    if (j >= 3 * w && j - w < known) {
      look_for_peak(w_index, j - 2 * w, std::min(j, known - 1) - w);
    }
  }
}

// The change across middle frame t of the width's dissolve, and whether it
// passes every test but being the most within the width.
void DissolveTracker::measure(const FrameRing& ring, std::size_t w_index,
                              std::size_t t) {
  const std::size_t w = kRule.dissolve_widths[w_index];
  const Frame& a = ring[t - w];
  const Frame& b = ring[t + w];
  const double d = distance(a, b);
  WidthChanges& changes = widths_[w_index];
  changes.change[t % kKept] = d;
  bool mixed = d >= kRule.dissolve_change &&
               a.variance >= kRule.flat_variance &&
               b.variance >= kRule.flat_variance;
  // No step makes most of the change (a cut or a flash, not a mix).
  for (std::size_t i = t - w + 1; mixed && i <= t + w; ++i) {
    mixed = !(ring[i].step > kRule.dissolve_spread * d);
  }
  // Not the same picture lighter or darker.
  mixed = mixed && !(correlation(a, b) > kRule.same_picture) &&
          is_mix(a, ring[t], b);
  changes.mixed[t % kKept] = mixed;
}

// Middle frame t of the width's dissolve, its changes known up to middle
// frame `last`.
void DissolveTracker::look_for_peak(std::size_t w_index, std::size_t t,
                                    std::size_t last) {
  const std::size_t w = kRule.dissolve_widths[w_index];
  const WidthChanges& changes = widths_[w_index];
  if (!changes.mixed[t % kKept]) return;
  const double d = changes.change[t % kKept];
  for (std::size_t u = std::max(w, t - w); u <= std::min(last, t + w); ++u) {
    if (changes.change[u % kKept] > d) return;
  }
  dissolves_.push_back({.change = d, .middle = t, .width = w});
}

}  // namespace vantrel::transitions
