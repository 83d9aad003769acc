#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "core/analysis_internal.h"
#include "core/detector_internal.h"

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
  FrameRecord record{.frame_index = 7,
                     .is_cut = false,
                     .threshold = 206.0,
                     .motion = {.score = 12.0,
                                .intra_blocks = 3,
                                .total_blocks = 32,
                                .mc_sad = 123456789012ull},
                     .hist_distance = 0.25,
                     .grid_hist_distance = 1.0,
                     .grid_hist_median = 1.0 / 3.0};
  EXPECT_EQ(format_score_line(record),
            "7,12.000000,206.000000,0.250000,1.000000,0.333333,3,32,"
            "123456789012,0\n");
  const double inf = std::numeric_limits<double>::infinity();
  record = FrameRecord{.frame_index = 1,
                       .is_cut = true,
                       .threshold = inf,
                       .motion = {.score = inf},
                       .hist_distance = 1.0,
                       .grid_hist_distance = 1.0,
                       .grid_hist_median = 1.0};
  EXPECT_EQ(format_score_line(record),
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
    ASSERT_TRUE(run.on_frame(decoder::Frame{{luma_.data(), w, h, w}, 0.0, 0.0, std::nullopt}));
  }

 private:
  std::vector<std::uint8_t> luma_;
};

TEST_F(PerFrame, FirstFrameIsOnlyAbsorbed) {
  RunState run(options);
  feed(run, noise_plane(320 * 180, 1), 320, 180);
  EXPECT_EQ(run.pass_decisions, std::vector<bool>{true});
  EXPECT_TRUE(run.records.empty());
  EXPECT_EQ(run.state.frame_index, 1u);
  EXPECT_EQ(run.state.prev_dims, (Dims{160, 90}));
  EXPECT_EQ(run.state.prev_plane.size(), 160u * 90u);
}

TEST_F(PerFrame, SecondFrameIsTheFirstAnalysed) {
  RunState run(options);
  const auto plane = noise_plane(320 * 180, 2);
  feed(run, plane, 320, 180);
  feed(run, plane, 320, 180);
  ASSERT_EQ(run.records.size(), 1u);
  EXPECT_EQ(run.records[0].frame_index, 1u);
  EXPECT_EQ(run.records[0].hist_distance, 0.0);
  EXPECT_EQ(run.pass_decisions.size(), 2u);
  EXPECT_EQ(detector::intra_count(run.xvid_detector), 2u);
  EXPECT_EQ(detector::window_len(run.adaptive_detector), 1u);
}

TEST_F(PerFrame, SizeChangeIsAForcedCutThatResetsBothDetectors) {
  RunState run(options);
  const auto big = noise_plane(320 * 180, 3);
  feed(run, big, 320, 180);
  feed(run, big, 320, 180);
  feed(run, big, 320, 180);
  // 640x360 reduces to the same 160x90: not a change.
  feed(run, noise_plane(640 * 360, 4), 640, 360);
  EXPECT_FALSE(std::isinf(run.records.back().motion.score));
  feed(run, noise_plane(200 * 200, 5), 200, 200);
  const FrameRecord& forced = run.records.back();
  EXPECT_EQ(forced.frame_index, 4u);
  EXPECT_TRUE(forced.is_cut);
  EXPECT_TRUE(std::isinf(forced.motion.score) && forced.motion.score > 0);
  EXPECT_EQ(forced.hist_distance, 1.0);
  EXPECT_EQ(forced.grid_hist_distance, 1.0);
  EXPECT_EQ(forced.grid_hist_median, 1.0);
  EXPECT_TRUE(run.pass_decisions.back());
  EXPECT_EQ(detector::intra_count(run.xvid_detector), 1u);
  EXPECT_EQ(detector::window_len(run.adaptive_detector), 0u);
}

TEST_F(PerFrame, NativeResolutionComparesTheDecodedSize) {
  options.native_res = true;
  RunState run(options);
  const auto plane = noise_plane(320 * 180, 6);
  feed(run, plane, 320, 180);
  EXPECT_EQ(run.state.prev_dims, (Dims{320, 180}));
  EXPECT_EQ(run.state.prev_plane, plane);
  EXPECT_TRUE(run.working_plane.empty());
  feed(run, noise_plane(640 * 360, 7), 640, 360);
  EXPECT_TRUE(run.records.back().is_cut);
  EXPECT_TRUE(std::isinf(run.records.back().motion.score));
}

TEST_F(PerFrame, EmptyFramesAlwaysCountAsAChange) {
  RunState run(options);
  feed(run, {}, 0, 0);
  feed(run, {}, 0, 0);
  feed(run, noise_plane(64 * 48, 8), 64, 48);
  ASSERT_EQ(run.records.size(), 2u);
  EXPECT_TRUE(run.records[0].is_cut);
  EXPECT_TRUE(run.records[1].is_cut);
}

TEST(Absorb, ExchangesBuffersInsteadOfCopying) {
  DetectionState state;
  std::vector<std::uint8_t> plane(25, 2);
  const std::uint8_t* first_storage = plane.data();
  const CurrentFrameSnapshot snapshot{5, 5, {}, {}};
  state.absorb(plane, snapshot);
  EXPECT_EQ(state.prev_plane.data(), first_storage);
  EXPECT_TRUE(plane.empty());
  EXPECT_EQ(state.frame_index, 1u);
  plane.assign(25, 3);
  const std::uint8_t* second_storage = plane.data();
  state.absorb(plane, snapshot);
  EXPECT_EQ(state.prev_plane.data(), second_storage);
  EXPECT_EQ(plane.data(), first_storage);
  state.frame_index = std::numeric_limits<std::size_t>::max();
  state.absorb(plane, snapshot);
  EXPECT_EQ(state.frame_index, std::numeric_limits<std::size_t>::max());
}

TEST(FrameSnapshot, GlobalHistogramFromTheGridEqualsCountingThePlane) {
  std::mt19937 rng(9);
  for (int i = 0; i < 500; ++i) {
    const std::size_t width = i < 40 ? i % 7 : rng() % 300;
    const std::size_t height = i < 40 ? i / 7 : rng() % 200;
    std::vector<std::uint8_t> plane(width * height);
    // Some planes lean on a few bins, others spread over all of them.
    const unsigned spread = i % 2 == 0 ? 256 : 48;
    for (auto& b : plane) b = static_cast<std::uint8_t>(rng() % spread);
    const CurrentFrameSnapshot snapshot =
        snapshot_of(plane, {width, height});
    EXPECT_EQ(snapshot.width, width);
    EXPECT_EQ(snapshot.height, height);
    ASSERT_EQ(snapshot.hist, simd_metrics::histogram_16(plane))
        << width << "x" << height;
    ASSERT_EQ(snapshot.grid_hist,
              simd_metrics::grid_histogram_16(plane, width, height));
  }
  // A plane longer than its dimensions (not made by the analysis) is counted
  // whole, as histogram_16 counts it.
  const std::vector<std::uint8_t> longer(100, 0x80);
  EXPECT_EQ(snapshot_of(longer, {9, 9}).hist,
            simd_metrics::histogram_16(longer));
}

// Frames that drift, cut and change size, each in a padded plane.
struct PaddedFrame {
  std::vector<std::uint8_t> storage;
  decoder::LumaView view;
};

std::vector<PaddedFrame> frame_sequence() {
  std::mt19937 rng(8);
  std::vector<PaddedFrame> frames;
  std::vector<std::uint8_t> scene;
  const std::size_t sizes[][2] = {{320, 180}, {320, 180}, {200, 300}};
  for (int f = 0; f < 90; ++f) {
    const auto [w, h] = sizes[f / 35];
    if (f % 12 == 0 || scene.size() != w * h) {
      scene.resize(w * h);
      const unsigned base = static_cast<unsigned>(f / 12) * 70 % 200;
      for (auto& b : scene) b = static_cast<std::uint8_t>(base + rng() % 48);
    }
    const std::size_t stride = w + 32;
    PaddedFrame frame{std::vector<std::uint8_t>(stride * h, 0xEE), {}};
    const std::size_t shift = static_cast<std::size_t>(f % 5);
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        frame.storage[y * stride + x] =
            scene[y * w + (x + shift) % w] + static_cast<std::uint8_t>(rng() % 3);
      }
    }
    frame.view = {frame.storage.data(), w, h, stride};
    frames.push_back(std::move(frame));
  }
  return frames;
}

// The working plane depends on the pixels only, not on the row padding of
// the frame they come in: a padded frame and its packed copy give the same
// reduced image, the same packed plane and the same analysis.
TEST(WorkingPlane, PaddedFrameEqualsItsPackedCopy) {
  for (const bool native_res : {false, true}) {
    SCOPED_TRACE(native_res ? "native_res" : "reduced");
    AnalyzeOptions options = AnalyzeOptions::defaults_for_input("unused");
    options.native_res = native_res;
    RunState padded(options), packed(options);
    for (const PaddedFrame& frame : frame_sequence()) {
      std::vector<std::uint8_t> copy;
      ASSERT_TRUE(decoder::copy_luma_plane(frame.view, copy));
      const decoder::LumaView tight{copy.data(), frame.view.width,
                                    frame.view.height, frame.view.width};
      std::vector<std::uint8_t> from_padded, from_packed;
      const Result<Dims> padded_dims =
          prepare_working_plane(frame.view, native_res, from_padded);
      const Result<Dims> packed_dims =
          prepare_working_plane(tight, native_res, from_packed);
      ASSERT_TRUE(padded_dims && packed_dims);
      ASSERT_EQ(*padded_dims, *packed_dims);
      ASSERT_EQ(from_padded, from_packed);
      if (native_res) {
        ASSERT_EQ(from_padded, copy);
      }

      ASSERT_TRUE(padded.on_frame(decoder::Frame{frame.view, 0.0, 0.0, std::nullopt}));
      ASSERT_TRUE(packed.on_frame(decoder::Frame{tight, 0.0, 0.0, std::nullopt}));
    }
    EXPECT_EQ(padded.pass_decisions, packed.pass_decisions);
    EXPECT_EQ(padded.state.prev_plane, packed.state.prev_plane);
    ASSERT_EQ(padded.records.size(), packed.records.size());
    int cuts = 0;
    for (std::size_t i = 0; i < padded.records.size(); ++i) {
      const auto& a = padded.records[i];
      const auto& b = packed.records[i];
      EXPECT_EQ(a.frame_index, b.frame_index);
      EXPECT_EQ(a.is_cut, b.is_cut);
      EXPECT_EQ(std::memcmp(&a.motion.score, &b.motion.score, sizeof(double)), 0);
      EXPECT_EQ(std::memcmp(&a.hist_distance, &b.hist_distance, sizeof(double)), 0);
      EXPECT_EQ(std::memcmp(&a.grid_hist_distance, &b.grid_hist_distance,
                            sizeof(double)), 0);
      EXPECT_EQ(std::memcmp(&a.grid_hist_median, &b.grid_hist_median,
                            sizeof(double)), 0);
      cuts += a.is_cut ? 1 : 0;
    }
    EXPECT_GE(cuts, 5);  // the sequence exercises cuts and the size change
  }
}

TEST(RunStateExtras, ProgressRecordsAndTimes) {
  AnalyzeOptions options = AnalyzeOptions::defaults_for_input("unused");
  std::vector<Progress> seen;
  options.on_progress = [&](const Progress& progress) -> Status {
    seen.push_back(progress);
    if (progress.frames == 4) return fail("stop here");
    return {};
  };
  RunState run(options);
  run.duration = 9.5;
  Status last;
  for (const PaddedFrame& frame : frame_sequence()) {
    last = run.on_frame(decoder::Frame{frame.view, 0.5 * static_cast<double>(run.times.size()), 0.5, std::nullopt});
    if (!last) break;
  }
  ASSERT_FALSE(last);
  EXPECT_EQ(last.error().message(), "stop here");
  ASSERT_EQ(seen.size(), 4u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].frames, i + 1);
    EXPECT_EQ(seen[i].time, 0.5 * static_cast<double>(i));
    EXPECT_EQ(seen[i].duration, std::optional<double>(9.5));
  }
  EXPECT_EQ(run.times, (std::vector<double>{0.0, 0.5, 1.0, 1.5}));
  EXPECT_EQ(run.end_time, 2.0);
  // One record per compared frame.
  ASSERT_EQ(run.records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(run.records[i].frame_index, i + 1);
}

}  // namespace
}  // namespace vantrel::analysis
