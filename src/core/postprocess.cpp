#include "core/postprocess_internal.h"

#include <algorithm>

#include "base/arith.h"
#include "base/error.h"

namespace vantrel::postprocess {

namespace {

// Fewest records for which the refinement runs.
constexpr std::size_t kMinRecords = 24;
// Baseline keyframe test on hist_distance.
constexpr double kBaselineHist = 0.1;
// Weight of grid_hist_median in the change score.
constexpr double kGridMedianWeight = 0.1;
// A position with at least this change score is active.
constexpr double kActiveBlended = 0.08;
// Half-width, in positions, of the activity-burst window.
constexpr std::size_t kBurstRadius = 12;
// A burst has more than this many active positions in its window.
constexpr std::size_t kBurstMinActive = 5;
constexpr double kWeakCutHist = 0.3;
constexpr double kWeakCutScore = 120.0;
constexpr double kWeakNonCutScore = 90.0;
constexpr double kWeakNonCutBlended = 0.2;
constexpr double kPrimaryBlended = 0.1;
constexpr double kPrimaryScore = 70.0;
constexpr double kStructuralHist = 0.05;
constexpr double kStructuralGrid = 0.22;
constexpr std::size_t kPeakRadius = 1;
// Candidates fewer frames apart than this belong to one cluster.
constexpr std::size_t kClusterFrames = 12;

// Gap recovery.
constexpr std::size_t kMinGap = 24;
constexpr std::size_t kMinGapCandidates = 4;
constexpr std::size_t kGapMargin = 12;
constexpr double kRecoverBlended = 0.18;
constexpr double kRecoverScore = 80.0;
constexpr std::size_t kFramesPerAddition = 26;

// Every position must index a list of `size` entries.
void require_positions(std::span<const std::size_t> positions, std::size_t size,
                       std::string_view what) {
  for (std::size_t p : positions) {
    if (p >= size) fatal_internal(what);
  }
}

// The position among `positions` that `eligible` accepts with the greatest
// blended value in total order; the last of equal values wins.
template <class Eligible>
std::optional<std::size_t> best_by_blended(
    std::span<const std::size_t> positions, std::span<const double> blended,
    Eligible eligible) {
  std::optional<std::size_t> best;
  std::uint64_t best_key = 0;
  for (std::size_t p : positions) {
    if (!eligible(p)) continue;
    const std::uint64_t key = total_order_key(blended[p]);
    if (!best || key >= best_key) {
      best = p;
      best_key = key;
    }
  }
  return best;
}

// Picks up to max_additions positions of `filtered` spread over the gap:
// one per part, then the strongest remaining ones.
Positions spread_over_gap(Stats stats, std::span<const std::size_t> filtered,
                          std::span<const double> blended, std::size_t left,
                          std::size_t gap, std::size_t max_additions) {
  const std::size_t slots = max_additions + 1;
  Positions chosen;
  std::vector<bool> chosen_mask(stats.size(), false);
  for (std::size_t slot = 0; slot < max_additions; ++slot) {
    const std::size_t start = left + mul_sat(gap, slot) / slots;
    const std::size_t end = left + mul_sat(gap, slot + 1) / slots;
    // The strongest position of the part not chosen yet.
    const auto best = best_by_blended(filtered, blended, [&](std::size_t p) {
      const std::size_t frame = stats[p].frame_index;
      return start <= frame && frame <= end && !chosen_mask[p];
    });
    if (best) {
      chosen.push_back(*best);
      chosen_mask[*best] = true;
    }
  }
  if (chosen.size() < max_additions) {
    // Stable: equal values keep their order in `filtered`, so the same
    // statistics always give the same keyframes.
    Positions by_strength(filtered.begin(), filtered.end());
    std::stable_sort(by_strength.begin(), by_strength.end(),
                     [&](std::size_t a, std::size_t b) {
                       return total_order_key(blended[a]) >
                              total_order_key(blended[b]);
                     });
    for (std::size_t p : by_strength) {
      if (chosen.size() >= max_additions) break;
      if (chosen_mask[p]) continue;
      chosen.push_back(p);
      chosen_mask[p] = true;
    }
  }
  return chosen;
}

double blended_score(const FrameRecord& stat) {
  const double grid_part = kGridMedianWeight * stat.grid_hist_median;
  return stat.hist_distance + grid_part;
}

}  // namespace

FrameIndices refine_frame_keyframes(Stats stats) {
  FrameIndices baseline_keyframes = initial_keyframes(stats);
  if (stats.size() < kMinRecords) return baseline_keyframes;

  const std::vector<double> blended = build_blended_score(stats);
  std::vector<double> grid_hist;
  grid_hist.reserve(stats.size());
  for (const FrameRecord& stat : stats) {
    grid_hist.push_back(stat.grid_hist_distance);
  }
  const std::vector<std::size_t> burst_prefix = burst_activity_prefix(blended);

  const Positions candidate_indices =
      collect_candidates(stats, blended, grid_hist, burst_prefix);
  if (candidate_indices.empty()) return baseline_keyframes;

  FrameIndices refined = select_cluster_peaks(stats, candidate_indices, blended);
  const FrameIndices recovered =
      recover_dense_candidates(stats, candidate_indices, blended, refined);
  refined.insert(refined.end(), recovered.begin(), recovered.end());
  std::sort(refined.begin(), refined.end());
  refined.erase(std::unique(refined.begin(), refined.end()), refined.end());
  return refined;
}

// The baseline list's test, then the least a primary and a structural
// candidate need (refine_frame_keyframes keeps only frames of those).
bool may_be_keyframe(const FrameRecord& stat) {
  return stat.is_cut || stat.hist_distance >= kBaselineHist ||
         blended_score(stat) >= kPrimaryBlended ||
         stat.grid_hist_distance >= kStructuralGrid;
}

FrameIndices initial_keyframes(Stats stats) {
  FrameIndices keyframes{0};
  for (const FrameRecord& stat : stats) {
    if (stat.is_cut || stat.hist_distance >= kBaselineHist) {
      keyframes.push_back(stat.frame_index);
    }
  }
  return keyframes;
}

std::vector<double> build_blended_score(Stats stats) {
  std::vector<double> blended;
  blended.reserve(stats.size());
  for (const FrameRecord& stat : stats) blended.push_back(blended_score(stat));
  return blended;
}

std::vector<std::size_t> burst_activity_prefix(
    std::span<const double> blended) {
  std::vector<std::size_t> prefix;
  prefix.reserve(blended.size() + 1);
  std::size_t active = 0;
  prefix.push_back(active);
  for (double value : blended) {
    if (value >= kActiveBlended) ++active;
    prefix.push_back(active);
  }
  return prefix;
}

Positions collect_candidates(Stats stats, std::span<const double> blended,
                             std::span<const double> grid_hist,
                             std::span<const std::size_t> burst_prefix) {
  const std::size_t n = stats.size();
  if (blended.size() != n || grid_hist.size() != n ||
      burst_prefix.size() != n + 1) {
    fatal_internal("collect_candidates: working lists differ in length");
  }
  Positions candidates;
  for (std::size_t index = 0; index < n; ++index) {
    const FrameRecord& stat = stats[index];
    const std::size_t burst_start = sub_sat(index, kBurstRadius);
    const std::size_t burst_end = std::min(index + kBurstRadius, n - 1);
    const std::size_t burst_count =
        burst_prefix[burst_end + 1] - burst_prefix[burst_start];
    const bool in_activity_burst = burst_count > kBurstMinActive;

    // Weak changes inside a burst of activity are noise, not scene starts.
    const bool suppress_weak_cut = stat.is_cut && in_activity_burst &&
                                   stat.hist_distance < kWeakCutHist &&
                                   stat.motion.score < kWeakCutScore;
    const bool suppress_weak_noncut = !stat.is_cut && in_activity_burst &&
                                      stat.motion.score < kWeakNonCutScore &&
                                      blended[index] < kWeakNonCutBlended;
    if (suppress_weak_cut || suppress_weak_noncut) continue;

    const bool primary = blended[index] >= kPrimaryBlended &&
                         stat.motion.score >= kPrimaryScore &&
                         is_local_peak(blended, index, kPeakRadius);
    // Layout changes with a nearly unchanged global histogram.
    const bool structural = stat.hist_distance <= kStructuralHist &&
                            stat.grid_hist_distance >= kStructuralGrid &&
                            is_local_peak(grid_hist, index, kPeakRadius);
    if (primary || structural) candidates.push_back(index);
  }
  return candidates;
}

bool is_local_peak(std::span<const double> values, std::size_t index,
                   std::size_t radius) {
  if (index >= values.size()) fatal_internal("is_local_peak: index out of range");
  const double value = values[index];
  const std::size_t start = sub_sat(index, radius);
  const std::size_t end =
      std::min(index + std::min(radius, values.size()), values.size() - 1);
  for (std::size_t i = start; i <= end; ++i) {
    if (i != index && values[i] >= value) return false;
  }
  return true;
}

std::optional<std::size_t> best_candidate_index(
    std::span<const std::size_t> candidates, std::span<const double> blended) {
  require_positions(candidates, blended.size(),
                    "best_candidate_index: position out of range");
  return best_by_blended(candidates, blended, [](std::size_t) { return true; });
}

FrameIndices select_cluster_peaks(Stats stats,
                                  std::span<const std::size_t> candidate_indices,
                                  std::span<const double> blended) {
  require_positions(candidate_indices, stats.size(),
                    "select_cluster_peaks: position out of range");
  FrameIndices refined{0};
  Positions cluster;
  std::optional<std::size_t> previous_frame;
  const auto close_cluster = [&] {
    if (const auto best = best_candidate_index(cluster, blended)) {
      refined.push_back(stats[*best].frame_index);
    }
    cluster.clear();
  };
  for (std::size_t candidate : candidate_indices) {
    const std::size_t frame = stats[candidate].frame_index;
    // Measured between consecutive candidates, so a chain of close
    // candidates forms one cluster however long it is.
    if (previous_frame &&
        sub_sat(frame, *previous_frame) < kClusterFrames) {
      cluster.push_back(candidate);
    } else {
      close_cluster();
      cluster.push_back(candidate);
    }
    previous_frame = frame;
  }
  close_cluster();
  return refined;
}

FrameIndices recover_dense_candidates(
    Stats stats, std::span<const std::size_t> candidate_indices,
    std::span<const double> blended, std::span<const std::size_t> refined) {
  FrameIndices recovered;
  if (refined.size() < 2) return recovered;
  require_positions(candidate_indices, std::min(stats.size(), blended.size()),
                    "recover_dense_candidates: position out of range");

  Positions interval_candidates;
  Positions filtered;
  for (std::size_t pair = 0; pair + 1 < refined.size(); ++pair) {
    const std::size_t left = refined[pair];
    const std::size_t right = refined[pair + 1];
    const std::size_t gap = sub_sat(right, left);
    if (gap < kMinGap) continue;

    interval_candidates.clear();
    for (std::size_t p : candidate_indices) {
      const std::size_t frame = stats[p].frame_index;
      if (left < frame && frame < right) interval_candidates.push_back(p);
    }
    if (interval_candidates.size() < kMinGapCandidates) continue;

    // Only strong candidates well inside the gap are worth a keyframe.
    filtered.clear();
    for (std::size_t p : interval_candidates) {
      const std::size_t frame = stats[p].frame_index;
      if (frame - left >= kGapMargin && right - frame >= kGapMargin &&
          blended[p] >= kRecoverBlended &&
          stats[p].motion.score >= kRecoverScore) {
        filtered.push_back(p);
      }
    }
    if (filtered.empty()) continue;

    const std::size_t max_additions =
        std::max<std::size_t>(gap / kFramesPerAddition, 1);
    if (max_additions == 1) {
      const auto best = best_candidate_index(filtered, blended);
      recovered.push_back(stats[*best].frame_index);
      continue;
    }
    for (std::size_t p :
         spread_over_gap(stats, filtered, blended, left, gap, max_additions)) {
      recovered.push_back(stats[p].frame_index);
    }
  }
  return recovered;
}

}  // namespace vantrel::postprocess
