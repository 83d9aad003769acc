// Post-processing on arbitrary statistics: NaN, infinities, huge and tiny
// values, long and short runs. Whatever the numbers, the keyframe list must
// begin with 0, be strictly ascending and name only frames of the input.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_set>
#include <vector>

#include "fuzz_common.h"
#include "core/postprocess_internal.h"

namespace {

using vantrel::FrameRecord;
using vantrel::fuzz::require;
using namespace vantrel::postprocess;

double consume_value(FuzzedDataProvider& data) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  switch (data.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return -std::numeric_limits<double>::quiet_NaN();
    case 2: return kInf;
    case 3: return -kInf;
    case 4: return data.ConsumeBool() ? std::numeric_limits<double>::max()
                                      : std::numeric_limits<double>::denorm_min();
    case 5: return data.ConsumeBool() ? 0.0 : -0.0;
    case 6: return data.ConsumeIntegral<std::uint64_t>() & 0x7FF0000000000000u
                       ? std::bit_cast<double>(data.ConsumeIntegral<std::uint64_t>())
                       : 1e300;
    case 7: return data.ConsumeIntegralInRange<int>(0, 600);  // score-like
    default: return data.ConsumeProbability<double>();        // distance-like
  }
}

std::vector<FrameRecord> consume_stats(FuzzedDataProvider& data) {
  std::vector<FrameRecord> stats;
  std::size_t frame = data.ConsumeIntegralInRange<std::size_t>(1, 3);
  while (data.remaining_bytes() > 0) {
    FrameRecord stat{};
    stat.frame_index = frame;
    stat.is_cut = data.ConsumeBool();
    stat.motion.score = consume_value(data);
    stat.hist_distance = consume_value(data);
    stat.grid_hist_distance = consume_value(data);
    stat.grid_hist_median = consume_value(data);
    stats.push_back(stat);
    // The producer numbers frames consecutively; small gaps test the frame
    // arithmetic without breaking the ascending order. (Huge jumps would
    // only make the gap recovery walk millions of empty slots.)
    const int step = data.ConsumeIntegralInRange<int>(0, 15);
    frame += step < 12 ? 1 : static_cast<std::size_t>(step - 10);
  }
  return stats;
}

void check_keyframes(const FrameIndices& keyframes,
                     const std::unordered_set<std::size_t>& frames) {
  require(!keyframes.empty() && keyframes.front() == 0,
          "keyframes begin with 0");
  for (std::size_t i = 1; i < keyframes.size(); ++i) {
    require(keyframes[i - 1] < keyframes[i], "keyframes strictly ascending");
    require(frames.contains(keyframes[i]), "keyframe is a frame of the input");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::vector<FrameRecord> stats = consume_stats(data);
  std::unordered_set<std::size_t> frames;
  for (const FrameRecord& stat : stats) frames.insert(stat.frame_index);

  const FrameIndices keyframes = refine_frame_keyframes(stats);
  check_keyframes(keyframes, frames);
  require(refine_frame_keyframes(stats) == keyframes, "refinement is pure");

  const FrameIndices baseline = initial_keyframes(stats);
  check_keyframes(baseline, frames);

  const std::vector<double> blended = build_blended_score(stats);
  require(blended.size() == stats.size(), "one blended score per record");
  const std::vector<std::size_t> prefix = burst_activity_prefix(blended);
  require(prefix.size() == stats.size() + 1 && prefix.front() == 0 &&
              std::is_sorted(prefix.begin(), prefix.end()) &&
              prefix.back() <= stats.size(),
          "burst prefix counts");

  std::vector<double> grid_hist;
  for (const FrameRecord& stat : stats) grid_hist.push_back(stat.grid_hist_distance);
  const Positions candidates = collect_candidates(stats, blended, grid_hist, prefix);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    require(candidates[i] < stats.size(), "candidate is a position");
    require(i == 0 || candidates[i - 1] < candidates[i],
            "candidates strictly ascending");
  }
  if (const auto best = best_candidate_index(candidates, blended)) {
    require(std::find(candidates.begin(), candidates.end(), *best) !=
                candidates.end(),
            "best candidate is a candidate");
  } else {
    require(candidates.empty(), "a best candidate exists");
  }

  const FrameIndices peaks = select_cluster_peaks(stats, candidates, blended);
  check_keyframes(peaks, frames);
  for (std::size_t frame :
       recover_dense_candidates(stats, candidates, blended, peaks)) {
    require(frames.contains(frame), "recovered frame is a frame of the input");
  }
  return 0;
}
