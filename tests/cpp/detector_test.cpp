#include "core/detector_internal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vantrel::detector {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const XvidDetectorConfig kXvidDefaults{4, 2000, 90.0};
const DetectorConfig kAdaptiveDefaults{30, 3.0, 0.2, 0.03, 0.0, 0.7, 0.3};

// A 160 x 90 working plane pair: 32 interior macroblocks (columns 1 to 8,
// rows 1 to 4), every block flat, so each block's deviation is 0 and its
// complexity the floor 300: the score denominator is 9600 / 128 + 360 = 435.
struct PlanePair {
  static constexpr std::size_t kWidth = 160;
  static constexpr std::size_t kHeight = 90;
  std::vector<std::uint8_t> prev = std::vector<std::uint8_t>(kWidth * kHeight);
  std::vector<std::uint8_t> curr = std::vector<std::uint8_t>(kWidth * kHeight);

  // Block `index` (0 to 31, row-major over the interior) gets a best SAD of
  // exactly `sad` (at most 64 x 255): the current block is flat 255, the
  // previous one too except for pixels of its central 8 x 8, which every
  // vector of radius 4 covers; any other vector adds mismatching pixels of
  // the flat 0 surroundings.
  void set_block_sad(std::size_t index, std::uint32_t sad) {
    const std::size_t x0 = 16 * (1 + index % 8);
    const std::size_t y0 = 16 * (1 + index / 8);
    for (std::size_t y = y0; y < y0 + 16; ++y) {
      for (std::size_t x = x0; x < x0 + 16; ++x) {
        curr[y * kWidth + x] = 255;
        prev[y * kWidth + x] = 255;
      }
    }
    for (std::size_t i = 0; sad > 0; ++i) {
      ASSERT_LT(i, 64u);
      const std::uint32_t step = sad < 255 ? sad : 255;
      prev[(y0 + 4 + i / 8) * kWidth + x0 + 4 + i % 8] =
          static_cast<std::uint8_t>(255 - step);
      sad -= step;
    }
  }
};

XvidDecision decide(XvidDetector& detector, const PlanePair& planes) {
  return detector.decide(planes.prev, planes.curr, PlanePair::kWidth,
                         PlanePair::kHeight);
}

// Planes below the analysable minimum: the zero analysis, never a cut.
void advance(XvidDetector& detector, std::size_t frames) {
  const std::vector<std::uint8_t> tiny(16 * 16, 7);
  for (std::size_t i = 0; i < frames; ++i) {
    ASSERT_FALSE(detector.decide(tiny, tiny, 16, 16).is_cut);
  }
}

TEST(XvidDetector, ThresholdsRelaxWithTheDistanceFromTheLastCut) {
  const std::int32_t margins[] = {3215, 2960, 2735, 2540, 2375,
                                  2240, 2135, 2060, 2015};
  for (std::size_t count = 1; count <= 35; ++count) {
    const std::int32_t margin = count < 10 ? margins[count - 1] : 2000;
    const double threshold = count < 10    ? 206.0 - 4.0 * double(count - 1)
                             : count < 30 ? 170.0 - 4.0 * double(count - 10)
                                          : 90.0;
    XvidDetector detector(kXvidDefaults);
    advance(detector, count - 1);
    ASSERT_EQ(intra_count(detector), count);
    // One block exactly at the margin (not intra), one just above (intra).
    PlanePair planes;
    planes.set_block_sad(3, static_cast<std::uint32_t>(margin));
    planes.set_block_sad(20, static_cast<std::uint32_t>(margin) + 1);
    const XvidDecision decision = decide(detector, planes);
    EXPECT_EQ(decision.motion.intra_blocks, 1u) << "intra_count " << count;
    EXPECT_EQ(decision.motion.total_blocks, 32u);
    EXPECT_EQ(decision.threshold, threshold) << "intra_count " << count;
    EXPECT_EQ(decision.motion.mc_sad, 2u * std::uint64_t(margin) + 1);
    EXPECT_FALSE(decision.is_cut);
    EXPECT_EQ(intra_count(detector), count + 1);
  }
}

TEST(XvidDetector, MoreThanHalfTheBlocksIntraIsACut) {
  PlanePair sixteen;
  for (std::size_t i = 0; i < 16; ++i) sixteen.set_block_sad(i * 2, 3216);
  XvidDetector detector(kXvidDefaults);
  XvidDecision decision = decide(detector, sixteen);
  EXPECT_EQ(decision.motion.intra_blocks, 16u);
  EXPECT_EQ(decision.motion.score, 118.0);  // 16 x 3216 / 435
  EXPECT_FALSE(decision.is_cut);

  PlanePair seventeen = sixteen;
  seventeen.set_block_sad(31, 3216);
  detector.reset();
  decision = decide(detector, seventeen);
  EXPECT_EQ(decision.motion.intra_blocks, 17u);
  EXPECT_EQ(decision.motion.total_blocks, 32u);
  EXPECT_EQ(decision.motion.mc_sad, 17u * 3216u);
  EXPECT_EQ(decision.motion.score, 125.0);
  EXPECT_TRUE(decision.is_cut);
  EXPECT_EQ(intra_count(detector), 1u);
}

// Planes whose score is `score` exactly: a SAD total of score x 435 spread
// over blocks of at most 16320.
PlanePair planes_with_score(std::uint32_t score) {
  PlanePair planes;
  std::uint32_t total = score * 435;
  for (std::size_t block = 0; total > 0; ++block) {
    const std::uint32_t sad = total < 16320 ? total : 16320;
    planes.set_block_sad(block, sad);
    total -= sad;
  }
  return planes;
}

TEST(XvidDetector, ScoreEqualToTheThresholdIsNoCut) {
  struct Case {
    std::size_t count;
    std::uint32_t score;
    bool cut;
  };
  for (const Case c : {Case{30, 90, false}, Case{30, 91, true},
                       Case{1000, 90, false}, Case{1000, 91, true},
                       Case{1, 206, false}, Case{1, 207, true}}) {
    XvidDetector detector(kXvidDefaults);
    advance(detector, c.count - 1);
    const XvidDecision decision = decide(detector, planes_with_score(c.score));
    EXPECT_EQ(decision.motion.score, double(c.score));
    EXPECT_LE(decision.motion.intra_blocks * 2, decision.motion.total_blocks);
    EXPECT_EQ(decision.is_cut, c.cut) << "intra_count " << c.count;
    EXPECT_EQ(intra_count(detector), c.cut ? 1u : c.count + 1);
  }
}

TEST(XvidDetector, CountRestartsAfterACutAndOnReset) {
  XvidDetector detector(kXvidDefaults);
  advance(detector, 19);
  ASSERT_EQ(intra_count(detector), 20u);
  ASSERT_TRUE(decide(detector, planes_with_score(150)).is_cut);
  EXPECT_EQ(intra_count(detector), 1u);
  EXPECT_EQ(decide(detector, PlanePair{}).threshold, 206.0);
  EXPECT_EQ(intra_count(detector), 2u);

  advance(detector, 10);
  detector.reset();
  EXPECT_EQ(intra_count(detector), 1u);
  EXPECT_EQ(decide(detector, PlanePair{}).threshold, 206.0);
}

TEST(XvidDetector, RaisedMarginSaturates) {
  // 2147483547 + 1215 would wrap to a negative margin, counted as 0, and
  // every changed block would be intra.
  XvidDetector detector({4, std::numeric_limits<std::int32_t>::max() - 100,
                         90.0});
  PlanePair planes;
  for (std::size_t i = 0; i < 17; ++i) planes.set_block_sad(i, 16320);
  EXPECT_EQ(decide(detector, planes).motion.intra_blocks, 0u);
}

TEST(XvidDetector, PlanesTooSmallGiveTheZeroAnalysis) {
  std::vector<std::uint8_t> prev(160 * 160), curr(160 * 160);
  for (std::size_t i = 0; i < curr.size(); ++i) {
    prev[i] = static_cast<std::uint8_t>(i * 7);
    curr[i] = static_cast<std::uint8_t>(255 - i * 13);
  }
  const std::size_t sizes[][2] = {{31, 160}, {160, 31}, {32, 160}, {160, 32}};
  for (const auto& size : sizes) {
    XvidDetector detector(kXvidDefaults);
    const XvidDecision decision = detector.decide(
        std::span(prev).first(size[0] * size[1]),
        std::span(curr).first(size[0] * size[1]), size[0], size[1]);
    EXPECT_FALSE(decision.is_cut);
    EXPECT_EQ(decision.motion.score, 0.0);
    EXPECT_EQ(decision.motion.intra_blocks, 0u);
    EXPECT_EQ(decision.motion.total_blocks, 0u);
    EXPECT_EQ(decision.motion.mc_sad, 0u);
  }
}

TEST(BlendedScore, WeightsClampedComponents) {
  const Detector detector(kAdaptiveDefaults);
  // Rounded product by product, then the sum: a fused multiply-add gives
  // 0x1.9a22bc7746f89p-2.
  EXPECT_EQ(detector.blended_score(0x1.155a1d92f1fa5p-2, 0x1.67fb6cf0b14fap-1),
            0x1.9a22bc7746f8ap-2);
  EXPECT_EQ(detector.blended_score(1.5, 0.4), detector.blended_score(1.0, 0.4));
  EXPECT_EQ(detector.blended_score(0.4, 7.0), detector.blended_score(0.4, 1.0));
  EXPECT_EQ(detector.blended_score(-3.0, 0.4), detector.blended_score(0.0, 0.4));
  EXPECT_TRUE(std::isnan(detector.blended_score(kNaN, 0.4)));
}

TEST(BlendedScore, NoWeightTakesTheLargerComponent) {
  const double eps = 2.220446049250313e-16;
  for (const auto& [sad_weight, hist_weight] :
       std::initializer_list<std::pair<double, double>>{
           {0.0, 0.0}, {-1.0, 0.0}, {kNaN, kNaN}, {eps, 0.0},
           {eps / 2, eps / 2}}) {
    DetectorConfig config = kAdaptiveDefaults;
    config.sad_weight = sad_weight;
    config.hist_weight = hist_weight;
    const Detector detector(config);
    EXPECT_EQ(detector.blended_score(0.2, 0.6), 0.6);
    EXPECT_EQ(detector.blended_score(0.6, 0.2), 0.6);
    EXPECT_EQ(detector.blended_score(2.0, 0.2), 1.0);
    EXPECT_EQ(detector.blended_score(kNaN, 0.2), 0.2);
    EXPECT_EQ(detector.blended_score(0.3, kNaN), 0.3);
  }
  DetectorConfig config = kAdaptiveDefaults;
  config.sad_weight = 2 * eps;
  config.hist_weight = kNaN;
  EXPECT_EQ(Detector(config).blended_score(0.2, 0.6), 0.2);
}

Detector with_scores(std::initializer_list<double> scores,
                     DetectorConfig config = kAdaptiveDefaults) {
  Detector detector(config);
  for (double score : scores) detector.observe(score);
  return detector;
}

TEST(AdaptiveThreshold, TrimmedMeanPlusSigmaDeviations) {
  EXPECT_NEAR(with_scores({0.3, 0.1, 0.5, 0.2, 0.4}).threshold(), 0.544949,
              1e-6);
  // Rounded step by step: a fused multiply-add in the variance sum or in
  // mean + sigma x stddev gives 0x1.7a0b1355d1815p+0.
  EXPECT_EQ(with_scores({0x1.1e0a6c08ccf26p+0, 0x1.adb69b9184419p-3,
                         0x1.fb2c1bb4aeefp-1, 0x1.5d957164c947ep-1,
                         0x1.1dde9ba2fdfadp+0})
                .threshold(),
            0x1.7a0b1355d1814p+0);

  Detector equal(kAdaptiveDefaults);
  for (int i = 0; i < 30; ++i) equal.observe(0.5);
  EXPECT_EQ(equal.threshold(), 0.5);
  equal.reset();
  for (int i = 0; i < 30; ++i) equal.observe(0.1);
  EXPECT_EQ(equal.threshold(), 0.2);  // never below the floor
}

TEST(AdaptiveThreshold, TrimDropsTenPercentAtEachEnd) {
  // 20 scores: the two smallest and two largest are dropped.
  Detector detector(kAdaptiveDefaults);
  for (int i = 0; i < 16; ++i) detector.observe(0.5);
  for (double outlier : {0.0, 0.0, 9.0, 9.0}) detector.observe(outlier);
  EXPECT_EQ(detector.threshold(), 0.5);
  detector.observe(9.0);  // 21 scores: still two, so one 9.0 stays
  EXPECT_GT(detector.threshold(), 0.5);
}

TEST(AdaptiveThreshold, NaNsSortToTheEnds) {
  // Total order puts -NaN first and +NaN last, where the trim drops them.
  EXPECT_EQ(with_scores({0.25, -kNaN, 0.25, kNaN, 0.25}).threshold(), 0.25);
  // A NaN left in the slice makes the threshold the floor.
  EXPECT_EQ(with_scores({0.25, kNaN, 0.25, kNaN, 0.25}).threshold(), 0.2);
  EXPECT_EQ(with_scores({-kNaN, 0.25, -kNaN, 0.25, 0.25}).threshold(), 0.2);
}

TEST(AdaptiveThreshold, WarmUpUsesTheFloorUntilFiveScores) {
  Detector detector(kAdaptiveDefaults);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 5; ++i) {
      const auto [cut, threshold] = detector.decide_with_threshold(0.5, 0.5);
      EXPECT_TRUE(cut);
      EXPECT_EQ(threshold, 0.2);
      detector.observe(0.5);
    }
    const auto [cut, threshold] = detector.decide_with_threshold(0.4, 0.5);
    EXPECT_FALSE(cut);
    EXPECT_EQ(threshold, 0.5);
    detector.reset();
    EXPECT_EQ(window_len(detector), 0u);
  }
}

TEST(AdaptiveThreshold, WindowSlides) {
  DetectorConfig config = kAdaptiveDefaults;
  config.window_size = 5;
  Detector detector(config);
  for (int i = 0; i < 5; ++i) detector.observe(1.0);
  detector.observe(0.25);
  EXPECT_EQ(window_len(detector), 5u);
  EXPECT_EQ(detector.threshold(), 1.0);  // 0.25 is trimmed
  for (int i = 0; i < 3; ++i) detector.observe(0.25);
  EXPECT_EQ(detector.threshold(), 0.25);  // one 1.0 left, trimmed
  detector.observe(0.25);
  EXPECT_EQ(detector.threshold(), 0.25);
  EXPECT_EQ(window_len(detector), 5u);
}

TEST(AdaptiveThreshold, TinyWindowsStayAtTheFloor) {
  for (std::size_t window_size : {0u, 1u, 4u}) {
    DetectorConfig config = kAdaptiveDefaults;
    config.window_size = window_size;
    Detector detector(config);
    for (int i = 0; i < 40; ++i) detector.observe(0.9);
    EXPECT_EQ(window_len(detector), window_size);
    EXPECT_EQ(detector.threshold(), 0.2);
  }
}

TEST(AdaptiveDecision, GatesAndTheThreshold) {
  const Detector detector(kAdaptiveDefaults);
  EXPECT_TRUE(detector.decide_with_threshold(0.2, 0.03).first);
  EXPECT_FALSE(detector.decide_with_threshold(0.2, 0.029).first);
  EXPECT_FALSE(detector.decide_with_threshold(0.19999, 0.5).first);
  EXPECT_FALSE(detector.decide_with_threshold(kNaN, 0.5).first);
  EXPECT_TRUE(detector.decide_with_threshold(0.5, kNaN).first);  // ordered gate

  DetectorConfig config = kAdaptiveDefaults;
  config.min_score = 0.5;
  const Detector gated(config);
  EXPECT_FALSE(gated.decide_with_threshold(0.4, 0.5).first);
  EXPECT_TRUE(gated.decide_with_threshold(0.5, 0.5).first);
  EXPECT_EQ(gated.decide_with_threshold(0.4, 0.5).second, 0.2);
}

}  // namespace
}  // namespace vantrel::detector
