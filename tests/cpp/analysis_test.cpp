#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "lib.h"

namespace vantrel::analysis {
namespace {

TEST(DownscaleDims, KeepAspectWithinTheBoxNeverEnlarging) {
  const std::pair<Dims, Dims> cases[] = {
      {{1920, 1080}, {160, 90}}, {{3840, 2160}, {160, 90}},
      {{1440, 1080}, {128, 96}}, {{720, 576}, {120, 96}},
      {{640, 480}, {128, 96}},   {{100, 50}, {100, 50}},
      {{1000, 10}, {160, 1}},    {{10, 1000}, {1, 96}},
      {{0, 480}, {0, 0}},        {{640, 0}, {0, 0}},
      {{1, 1}, {1, 1}},          {{160, 96}, {160, 96}},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(compute_downscale_dims(in.first, in.second), out)
        << in.first << "x" << in.second;
  }
}

TEST(ScoreLine, FormatIsFixed) {
  DetectionRecord record{.is_cut = false,
                         .score = 12.0,
                         .threshold = 206.0,
                         .intra_blocks = 3,
                         .total_blocks = 32,
                         .mc_sad = 123456789012ull,
                         .hist_distance = 0.25,
                         .grid_hist_distance = 1.0,
                         .grid_hist_median = 1.0 / 3.0};
  EXPECT_EQ(format_score_line(7, record),
            "7,12.000000,206.000000,0.250000,1.000000,0.333333,3,32,"
            "123456789012,0\n");
  const double inf = std::numeric_limits<double>::infinity();
  record = DetectionRecord{true, inf, inf, 0, 0, 0, 1.0, 1.0, 1.0};
  EXPECT_EQ(format_score_line(1, record),
            "1,inf,inf,1.000000,1.000000,1.000000,0,0,0,1\n");
}

std::vector<std::uint8_t> noise_plane(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> plane(size);
  for (auto& p : plane) p = static_cast<std::uint8_t>(rng());
  return plane;
}

class PerFrame : public ::testing::Test {
 protected:
  AnalyzeOptions options = AnalyzeOptions::defaults_for_input("unused");

  void feed(RunState& run, std::vector<std::uint8_t> plane, std::size_t w,
            std::size_t h) {
    luma_ = std::move(plane);
    ASSERT_TRUE(run.on_frame(luma_, decoder::FrameInfo{w, h}).has_value());
  }

 private:
  std::vector<std::uint8_t> luma_;
};

TEST_F(PerFrame, FirstFrameIsOnlyAbsorbed) {
  RunState run(options);
  feed(run, noise_plane(320 * 180, 1), 320, 180);
  EXPECT_EQ(run.pass_decisions, std::vector<bool>{true});
  EXPECT_TRUE(run.frame_stats.empty());
  EXPECT_EQ(run.state.frame_index, 1u);
  EXPECT_EQ(run.state.prev_dims, (Dims{160, 90}));
  EXPECT_EQ(run.state.prev_small.size(), 160u * 90u);
}

TEST_F(PerFrame, SecondFrameIsTheFirstAnalysed) {
  RunState run(options);
  const auto plane = noise_plane(320 * 180, 2);
  feed(run, plane, 320, 180);
  feed(run, plane, 320, 180);
  ASSERT_EQ(run.frame_stats.size(), 1u);
  EXPECT_EQ(run.frame_stats[0].frame_index, 1u);
  EXPECT_EQ(run.frame_stats[0].hist_distance, 0.0);
  EXPECT_EQ(run.pass_decisions.size(), 2u);
  EXPECT_EQ(run.xvid_detector.intra_count(), 2u);
  EXPECT_EQ(run.adaptive_detector.window_len(), 1u);
}

TEST_F(PerFrame, SizeChangeIsAForcedCutThatResetsBothDetectors) {
  RunState run(options);
  const auto big = noise_plane(320 * 180, 3);
  feed(run, big, 320, 180);
  feed(run, big, 320, 180);
  feed(run, big, 320, 180);
  // 640x360 reduces to the same 160x90: not a change.
  feed(run, noise_plane(640 * 360, 4), 640, 360);
  EXPECT_FALSE(std::isinf(run.frame_stats.back().score));
  feed(run, noise_plane(200 * 200, 5), 200, 200);
  const postprocess::FrameCutStats& forced = run.frame_stats.back();
  EXPECT_EQ(forced.frame_index, 4u);
  EXPECT_TRUE(forced.is_cut);
  EXPECT_TRUE(std::isinf(forced.score) && forced.score > 0);
  EXPECT_EQ(forced.hist_distance, 1.0);
  EXPECT_EQ(forced.grid_hist_distance, 1.0);
  EXPECT_EQ(forced.grid_hist_median, 1.0);
  EXPECT_TRUE(run.pass_decisions.back());
  EXPECT_EQ(run.xvid_detector.intra_count(), 1u);
  EXPECT_EQ(run.adaptive_detector.window_len(), 0u);
}

TEST_F(PerFrame, NativeResolutionComparesTheDecodedSize) {
  options.native_res = true;
  RunState run(options);
  const auto plane = noise_plane(320 * 180, 6);
  feed(run, plane, 320, 180);
  EXPECT_EQ(run.state.prev_dims, (Dims{320, 180}));
  EXPECT_EQ(run.state.prev_small, plane);
  EXPECT_TRUE(run.curr_small.empty());
  feed(run, noise_plane(640 * 360, 7), 640, 360);
  EXPECT_TRUE(run.frame_stats.back().is_cut);
  EXPECT_TRUE(std::isinf(run.frame_stats.back().score));
}

TEST_F(PerFrame, EmptyFramesAlwaysCountAsAChange) {
  RunState run(options);
  feed(run, {}, 0, 0);
  feed(run, {}, 0, 0);
  feed(run, noise_plane(64 * 48, 8), 64, 48);
  ASSERT_EQ(run.frame_stats.size(), 2u);
  EXPECT_TRUE(run.frame_stats[0].is_cut);
  EXPECT_TRUE(run.frame_stats[1].is_cut);
}

TEST(Absorb, ExchangesBuffersInsteadOfCopying) {
  DetectionState state;
  std::vector<std::uint8_t> luma(100, 1), small(25, 2);
  const std::uint8_t* small_storage = small.data();
  const CurrentFrameSnapshot snapshot{5, 5, {}, {}};
  state.absorb(luma, small, false, snapshot);
  EXPECT_EQ(state.prev_small.data(), small_storage);
  EXPECT_EQ(state.frame_index, 1u);
  const std::uint8_t* luma_storage = luma.data();
  state.absorb(luma, small, true, snapshot);
  EXPECT_EQ(state.prev_small.data(), luma_storage);
  EXPECT_EQ(luma.data(), small_storage);
  state.frame_index = std::numeric_limits<std::size_t>::max();
  state.absorb(luma, small, false, snapshot);
  EXPECT_EQ(state.frame_index, std::numeric_limits<std::size_t>::max());
}

}  // namespace
}  // namespace vantrel::analysis
