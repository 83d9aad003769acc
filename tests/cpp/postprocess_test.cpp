#include "core/postprocess_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

namespace vantrel::postprocess {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A record with the values the post-processing reads.
FrameRecord record(std::size_t frame, bool is_cut, double score, double hist,
                   double grid, double median) {
  return {.frame_index = frame,
          .is_cut = is_cut,
          .threshold = 0.0,
          .motion = {.score = score},
          .hist_distance = hist,
          .grid_hist_distance = grid,
          .grid_hist_median = median};
}

// Records for frames 1..count (position p is frame p + 1), all quiet.
std::vector<FrameRecord> quiet_stats(std::size_t count) {
  std::vector<FrameRecord> stats(count);
  for (std::size_t p = 0; p < count; ++p) {
    stats[p] = record(p + 1, false, 0, 0, 0, 0);
  }
  return stats;
}

FrameRecord& at_frame(std::vector<FrameRecord>& stats, std::size_t frame) {
  return stats.at(frame - 1);
}

// A strong change at `frame`: a primary candidate outside bursts.
void strong_change(std::vector<FrameRecord>& stats, std::size_t frame,
                   double hist, double score = 100.0) {
  at_frame(stats, frame).hist_distance = hist;
  at_frame(stats, frame).motion.score = score;
}

std::vector<std::size_t> positions_of(std::initializer_list<std::size_t> frames) {
  std::vector<std::size_t> positions;
  for (std::size_t frame : frames) positions.push_back(frame - 1);
  return positions;
}

FrameIndices recover(const std::vector<FrameRecord>& stats,
                     std::initializer_list<std::size_t> candidate_frames,
                     std::vector<std::size_t> refined) {
  const std::vector<double> blended = build_blended_score(stats);
  return recover_dense_candidates(stats, positions_of(candidate_frames), blended,
                                  refined);
}

TEST(RefineFrameKeyframes, NoRecordsGivesFirstFrameOnly) {
  EXPECT_EQ(refine_frame_keyframes({}), (std::vector<std::size_t>{0u}));
}

TEST(RefineFrameKeyframes, ShortListsReturnTheBaseline) {
  // Frame 5 is a flagged cut that is no candidate; frame 15 is a candidate.
  auto stats = quiet_stats(23);
  at_frame(stats, 5).is_cut = true;
  strong_change(stats, 15, 0.5);
  at_frame(stats, 20).hist_distance = 0.1;
  at_frame(stats, 21).hist_distance = 0.09999;
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 5u, 15u, 20u}));

  stats = quiet_stats(24);
  at_frame(stats, 5).is_cut = true;
  strong_change(stats, 15, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 15u}));
}

TEST(RefineFrameKeyframes, NoCandidateReturnsTheBaseline) {
  auto stats = quiet_stats(30);
  at_frame(stats, 5).is_cut = true;
  strong_change(stats, 7, 0.5, 69.9);  // score too low for a primary peak
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 5u, 7u}));
}

TEST(RefineFrameKeyframes, ClustersAreElevenFramesApartAtMost) {
  auto stats = quiet_stats(100);
  strong_change(stats, 40, 0.5);
  strong_change(stats, 51, 0.6);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 51u}));

  stats = quiet_stats(100);
  strong_change(stats, 40, 0.6);
  strong_change(stats, 51, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 40u}));

  stats = quiet_stats(100);
  strong_change(stats, 40, 0.6);
  strong_change(stats, 52, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 40u, 52u}));

  // Distances are between consecutive candidates: 10, 20, 30 chain.
  stats = quiet_stats(100);
  strong_change(stats, 10, 0.4);
  strong_change(stats, 20, 0.6);
  strong_change(stats, 30, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 20u}));
}

TEST(RefineFrameKeyframes, EqualValuesInAClusterKeepTheLater) {
  auto stats = quiet_stats(100);
  strong_change(stats, 40, 0.5);
  strong_change(stats, 51, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 51u}));
}

TEST(RefineFrameKeyframes, EqualNeighboursAreNoPeak) {
  auto stats = quiet_stats(30);
  strong_change(stats, 10, 0.5);  // positions 9 and 10
  strong_change(stats, 11, 0.5);
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 10u, 11u}));
}

TEST(RefineFrameKeyframes, WorkedExample) {
  auto stats = quiet_stats(200);
  for (std::size_t frame = 10; frame <= 100; frame += 5) {
    strong_change(stats, frame, 0.30 + 0.01 * static_cast<double>(frame % 3),
                  150.0);
  }
  EXPECT_EQ(refine_frame_keyframes(stats), (std::vector<std::size_t>{0u, 20u, 35u, 65u, 95u}));
}

TEST(InitialKeyframes, KeepsListOrderWithoutSorting) {
  std::vector<FrameRecord> stats = {record(7, true, 0, 0, 0, 0),
                                    record(3, false, 0, 0.2, 0, 0),
                                    record(9, false, 0, kNaN, 0, 0)};
  EXPECT_EQ(initial_keyframes(stats), (std::vector<std::size_t>{0u, 7u, 3u}));
}

TEST(BuildBlendedScore, RoundsProductAndSumSeparately) {
  // A fused multiply-add gives 0x1.006519e7dc127p-2 here.
  const FrameRecord stat =
      record(1, false, 0, 0x1.9050b8630b53ep-3, 0, 0x1.192fb48fb00aap-1);
  EXPECT_EQ(build_blended_score({&stat, 1})[0], 0x1.006519e7dc128p-2);
}

TEST(BurstActivityPrefix, CountsActivePositionsBefore) {
  const std::vector<double> blended = {0.08, 0.0799, kNaN, kInf, 1.0, -kInf};
  EXPECT_EQ(burst_activity_prefix(blended), (std::vector<std::size_t>{0, 1, 1, 1, 2, 3, 3}));
}

TEST(IsLocalPeak, NeedsStrictlyGreaterThanNeighbours) {
  const std::vector<double> values = {0.5, 0.1, 0.3, 0.3, 0.1,
                                      kNaN, 0.2, 0.1, 0.4};
  EXPECT_TRUE(is_local_peak(values, 0, 1));   // single neighbour
  EXPECT_FALSE(is_local_peak(values, 1, 1));
  EXPECT_FALSE(is_local_peak(values, 2, 1));  // tie with a neighbour
  EXPECT_FALSE(is_local_peak(values, 3, 1));
  EXPECT_TRUE(is_local_peak(values, 6, 1));   // a NaN neighbour is not >=
  EXPECT_TRUE(is_local_peak(values, 8, 1));   // single neighbour
  EXPECT_FALSE(is_local_peak(values, 6, 2));
  EXPECT_TRUE(is_local_peak(values, 0, 100));
}

TEST(BestCandidateIndex, GreatestInTotalOrderLastOfEqualWins) {
  const std::vector<double> blended = {0.5, 0.7, 0.7, 0.2, kNaN, -kNaN,
                                       -0.0, 0.0, kInf};
  EXPECT_EQ(best_candidate_index({}, blended), std::nullopt);
  const std::vector<std::size_t> ties = {0, 1, 2, 3};
  EXPECT_EQ(best_candidate_index(ties, blended), 2u);
  const std::vector<std::size_t> reversed = {2, 1, 0};
  EXPECT_EQ(best_candidate_index(reversed, blended), 1u);
  const std::vector<std::size_t> with_nan = {8, 4, 1};
  EXPECT_EQ(best_candidate_index(with_nan, blended), 4u);  // +NaN is largest
  const std::vector<std::size_t> negative_nan = {5, 3};
  EXPECT_EQ(best_candidate_index(negative_nan, blended), 3u);
  const std::vector<std::size_t> zeros = {7, 6};
  EXPECT_EQ(best_candidate_index(zeros, blended), 7u);  // +0 above -0
}

// Six active positions around position 30 (frame 31): a burst.
std::vector<FrameRecord> burst_around_frame_31(std::size_t active) {
  auto stats = quiet_stats(60);
  const std::size_t frames[] = {26, 28, 34, 36, 38};
  for (std::size_t i = 0; i + 1 < active; ++i) {
    at_frame(stats, frames[i]).hist_distance = 0.09;
  }
  return stats;
}

Positions candidates_of(const std::vector<FrameRecord>& stats) {
  const std::vector<double> blended = build_blended_score(stats);
  std::vector<double> grid_hist;
  for (const auto& stat : stats) grid_hist.push_back(stat.grid_hist_distance);
  return collect_candidates(stats, blended, grid_hist,
                            burst_activity_prefix(blended));
}

TEST(CollectCandidates, SuppressesWeakCutsInsideBursts) {
  auto stats = burst_around_frame_31(6);
  at_frame(stats, 31) = record(31, true, 100.0, 0.25, 0, 0);
  EXPECT_TRUE(candidates_of(stats).empty());

  at_frame(stats, 31).motion.score = 120.0;
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{30u}));

  at_frame(stats, 31).motion.score = 100.0;
  at_frame(stats, 31).hist_distance = 0.3;
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{30u}));

  stats = burst_around_frame_31(5);  // five active positions: no burst
  at_frame(stats, 31) = record(31, true, 100.0, 0.25, 0, 0);
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{30u}));
}

TEST(CollectCandidates, SuppressesWeakNonCutsInsideBursts) {
  auto stats = burst_around_frame_31(6);
  at_frame(stats, 31) = record(31, false, 89.9, 0.19, 0, 0);
  EXPECT_TRUE(candidates_of(stats).empty());

  at_frame(stats, 31).motion.score = 90.0;
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{30u}));

  at_frame(stats, 31).motion.score = 89.9;
  at_frame(stats, 31).hist_distance = 0.2;
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{30u}));

  // A NaN never suppresses and never qualifies as primary.
  at_frame(stats, 31).motion.score = kNaN;
  EXPECT_TRUE(candidates_of(stats).empty());
}

TEST(CollectCandidates, StructuralChangeNeedsNoScore) {
  auto stats = quiet_stats(40);
  at_frame(stats, 20).hist_distance = 0.04;
  at_frame(stats, 20).grid_hist_distance = 0.3;
  EXPECT_EQ(candidates_of(stats), (std::vector<std::size_t>{19u}));

  at_frame(stats, 20).hist_distance = 0.06;
  EXPECT_TRUE(candidates_of(stats).empty());

  at_frame(stats, 20).hist_distance = 0.04;
  at_frame(stats, 20).grid_hist_distance = 0.21;
  EXPECT_TRUE(candidates_of(stats).empty());

  at_frame(stats, 20).grid_hist_distance = 0.3;
  at_frame(stats, 21).grid_hist_distance = 0.3;  // tie: no peak
  EXPECT_TRUE(candidates_of(stats).empty());
}

TEST(RecoverDenseCandidates, NeedsTwoKeptFrames) {
  auto stats = quiet_stats(100);
  for (std::size_t frame : {20, 40, 60, 80}) strong_change(stats, frame, 0.5);
  EXPECT_TRUE(recover(stats, {20, 40, 60, 80}, {0}).empty());
}

TEST(RecoverDenseCandidates, GapOf24Minimum) {
  auto stats = quiet_stats(200);
  for (std::size_t frame : {105, 110, 111, 112, 113, 115, 118}) {
    strong_change(stats, frame, 0.5, 150.0);
  }
  EXPECT_TRUE(recover(stats, {105, 110, 111, 112, 113, 115, 118}, {100, 123}).empty());
  // Only frame 112 lies 12 frames from both ends.
  EXPECT_EQ(recover(stats, {105, 110, 111, 112, 113, 115, 118}, {100, 124}), (std::vector<std::size_t>{112u}));
}

TEST(RecoverDenseCandidates, NeedsFourCandidatesInTheGap) {
  auto stats = quiet_stats(200);
  for (std::size_t frame : {115, 130, 140, 170}) strong_change(stats, frame, 0.5);
  EXPECT_TRUE(recover(stats, {115, 130, 140, 170}, {100, 160}).empty());
  EXPECT_TRUE(recover(stats, {115, 130, 140, 170}, {100, 160, 200}).empty());
  strong_change(stats, 105, 0.01);  // weak, but counts towards the four
  // Parts [100, 120] and [120, 140]; 140 wins the tie with 130.
  EXPECT_EQ(recover(stats, {105, 115, 130, 140}, {100, 160}), (std::vector<std::size_t>{115u, 140u}));
}

TEST(RecoverDenseCandidates, GapOf51AddsOneAnd52AddsTwo) {
  auto stats = quiet_stats(200);
  const std::initializer_list<std::size_t> frames = {113, 120, 125, 130, 135};
  for (std::size_t frame : frames) strong_change(stats, frame, 0.5);
  strong_change(stats, 125, 0.6);
  EXPECT_EQ(recover(stats, frames, {100, 151}), (std::vector<std::size_t>{125u}));
  // Slots of 52 / 3: [100, 117] and [117, 134].
  EXPECT_EQ(recover(stats, frames, {100, 152}), (std::vector<std::size_t>{113u, 125u}));
}

TEST(RecoverDenseCandidates, SlotsShareTheirBoundaryFrame) {
  auto stats = quiet_stats(200);
  strong_change(stats, 105, 0.9);  // too close to the left end
  strong_change(stats, 115, 0.5);
  strong_change(stats, 130, 0.5);
  strong_change(stats, 145, 0.9);
  const std::initializer_list<std::size_t> frames = {105, 115, 130, 145};
  // Parts [100, 120] and [120, 140] each give one; 145 is left out.
  EXPECT_EQ(recover(stats, frames, {100, 160}), (std::vector<std::size_t>{115u, 130u}));

  // The second part is empty: the fill-up adds the strongest left over.
  strong_change(stats, 130, 0.5, 79.9);
  EXPECT_EQ(recover(stats, frames, {100, 160}), (std::vector<std::size_t>{115u, 145u}));

  // A boundary frame is picked by the first part and only once.
  auto boundary = quiet_stats(200);
  for (std::size_t frame : {105, 110, 150}) strong_change(boundary, frame, 0.9);
  strong_change(boundary, 120, 0.5);
  EXPECT_EQ(recover(boundary, {105, 110, 120, 150}, {100, 160}), (std::vector<std::size_t>{120u}));
  strong_change(boundary, 119, 0.6);
  EXPECT_EQ(recover(boundary, {105, 110, 119, 120, 150}, {100, 160}), (std::vector<std::size_t>{119u, 120u}));
}

TEST(RecoverDenseCandidates, LongGapIsBoundedAndDeterministic) {
  auto stats = quiet_stats(300);
  std::vector<std::size_t> positions;
  for (std::size_t frame = 15; frame <= 150; frame += 15) {
    strong_change(stats, frame, 0.5);
    positions.push_back(frame - 1);
  }
  const std::vector<double> blended = build_blended_score(stats);
  const std::vector<std::size_t> refined = {0, 200};
  // 200 / 26 = 7 additions over parts of 25 frames; one part yields
  // nothing, and the fill-up takes the first equal value in list order.
  EXPECT_EQ(recover_dense_candidates(stats, positions, blended, refined), (std::vector<std::size_t>{15u, 45u, 75u, 90u, 120u, 150u, 30u}));
}

TEST(RecoverDenseCandidates, WeakCandidatesAreNeverAdded) {
  auto stats = quiet_stats(200);
  strong_change(stats, 115, 0.5, 79.9);
  strong_change(stats, 120, 0.179, 150.0);
  strong_change(stats, 130, 0.9, 79.9);
  strong_change(stats, 140, 0.179, 150.0);
  const std::initializer_list<std::size_t> frames = {115, 120, 130, 140};
  EXPECT_TRUE(recover(stats, frames, {100, 160}).empty());
  EXPECT_TRUE(recover(stats, frames, {100, 150}).empty());

  strong_change(stats, 115, 0.5, 80.0);
  strong_change(stats, 140, 0.18, 150.0);
  EXPECT_EQ(recover(stats, frames, {100, 160}), (std::vector<std::size_t>{115u, 140u}));
}

// Random statistics, NaN, infinities and huge values included.
std::vector<FrameRecord> random_stats(std::mt19937_64& rng) {
  const double specials[] = {kNaN, -kNaN, kInf, -kInf, 1e300, -1e300, 0.0,
                             -0.0, 5e-324};
  std::uniform_int_distribution<int> pick(0, 9);
  auto value = [&](double scale) {
    const int choice = pick(rng);
    if (choice == 0) return specials[rng() % std::size(specials)];
    return std::uniform_real_distribution<double>(0.0, scale)(rng);
  };
  std::vector<FrameRecord> stats(rng() % 400);
  std::size_t frame = 0;
  for (auto& stat : stats) {
    frame += rng() % 8 == 0 ? 1 + rng() % 200 : 1 + rng() % 4;
    // One value after the other: the order of the draws is fixed.
    const bool is_cut = rng() % 5 == 0;
    const double score = value(250.0);
    const double hist = value(0.6);
    const double grid = value(0.6);
    stat = record(frame, is_cut, score, hist, grid, value(0.6));
  }
  return stats;
}

// Sorted, deterministic, and only of frames that may_be_keyframe admits.
TEST(RefineFrameKeyframes, PropertiesOverRandomStatistics) {
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    std::mt19937_64 rng(seed);
    const auto stats = random_stats(rng);
    const FrameIndices keyframes = refine_frame_keyframes(stats);
    ASSERT_EQ(keyframes, refine_frame_keyframes(stats)) << "seed " << seed;
    ASSERT_FALSE(keyframes.empty());
    ASSERT_EQ(keyframes[0], 0u) << "seed " << seed;
    std::set<std::size_t> frames = {0};
    for (const auto& stat : stats) {
      if (may_be_keyframe(stat)) frames.insert(stat.frame_index);
    }
    for (std::size_t i = 0; i < keyframes.size(); ++i) {
      ASSERT_TRUE(frames.contains(keyframes[i])) << "seed " << seed;
      if (i > 0) {
        ASSERT_LT(keyframes[i - 1], keyframes[i]) << "seed " << seed;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::postprocess
