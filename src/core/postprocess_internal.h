// Test seams of the keyframe post-processing: the steps of
// refine_frame_keyframes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/postprocess.h"

namespace vantrel::postprocess {

// Positions index the statistics list; frame indices are frame_index values.
using Positions = std::vector<std::size_t>;

FrameIndices initial_keyframes(Stats stats);
std::vector<double> build_blended_score(Stats stats);
std::vector<std::size_t> burst_activity_prefix(std::span<const double> blended);
Positions collect_candidates(Stats stats, std::span<const double> blended,
                             std::span<const double> grid_hist,
                             std::span<const std::size_t> burst_prefix);
bool is_local_peak(std::span<const double> values, std::size_t index,
                   std::size_t radius);
FrameIndices select_cluster_peaks(Stats stats,
                                  std::span<const std::size_t> candidate_indices,
                                  std::span<const double> blended);
std::optional<std::size_t> best_candidate_index(
    std::span<const std::size_t> candidates, std::span<const double> blended);
FrameIndices recover_dense_candidates(
    Stats stats, std::span<const std::size_t> candidate_indices,
    std::span<const double> blended, std::span<const std::size_t> refined);

}  // namespace vantrel::postprocess
