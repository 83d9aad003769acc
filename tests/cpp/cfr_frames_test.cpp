// The constant-frame-rate mapping on synthetic timestamp sequences, and on
// the timestamps of a clip whose output the ffmpeg command was seen to give.
#include "decode/cfr_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel::decoder {
namespace {

constexpr double kNudge = 1.0 / (1 << 17);

// Milliseconds on a 25 frames/s grid starting at 0.
const CfrGrid kMilliseconds{
    .time_base = {1, 1000}, .guessed_rate = Rational{25, 1}, .start = 0};

// The decoded frame each output frame shows, for frames at `positions`
// lasting one output frame each, the end repetition included.
std::vector<std::size_t> shown(const std::vector<std::optional<double>>& positions,
                               bool hold_initial_lead = false) {
  CfrFrames frames(hold_initial_lead);
  std::vector<std::size_t> out;
  std::optional<std::size_t> previous;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const CfrStep step = frames.next(positions[i], 1.0);
    if (step.skipped) continue;
    EXPECT_LE(step.previous_copies, step.copies);
    if (step.previous_copies > 0) {
      EXPECT_TRUE(previous.has_value());
    }
    out.insert(out.end(), static_cast<std::size_t>(step.previous_copies),
               previous.value_or(i));
    out.insert(out.end(),
               static_cast<std::size_t>(step.copies - step.previous_copies), i);
    previous = i;
  }
  if (previous) {
    out.insert(out.end(), static_cast<std::size_t>(frames.end_copies()),
               *previous);
  }
  return out;
}

std::vector<std::optional<double>> grid_positions(
    const CfrGrid& grid, const std::vector<std::int64_t>& pts) {
  std::vector<std::optional<double>> positions;
  for (std::int64_t ts : pts) positions.push_back(grid.position(ts));
  return positions;
}

std::vector<std::size_t> iota(std::size_t from, std::size_t to) {
  std::vector<std::size_t> values;
  for (std::size_t i = from; i < to; ++i) values.push_back(i);
  return values;
}

TEST(CfrGrid, PositionsAreInOutputFramesNudgedOffMidpoints) {
  EXPECT_EQ(kMilliseconds.position(0), -kNudge);  // zero counts as negative
  EXPECT_EQ(kMilliseconds.position(40), 1 + kNudge);
  EXPECT_EQ(kMilliseconds.position(20), 0.5 + kNudge);
  EXPECT_EQ(kMilliseconds.position(-40), -1 - kNudge);
  const CfrGrid started{
      .time_base = {1, 1000}, .guessed_rate = Rational{25, 1}, .start = 400};
  EXPECT_EQ(started.position(440), 1 + kNudge);
}

TEST(CfrGrid, TimestampsFartherFromTheStartThanInt64ReachesStayFarOff) {
  // 2^30 units a second: the distance from the start is what overflows.
  const CfrGrid late{.time_base = {1, 1 << 30},
                     .guessed_rate = Rational{25, 1},
                     .start = INT64_MAX};
  EXPECT_LT(late.position(INT64_MIN + 1), -1e11);
  const CfrGrid early{.time_base = {1, 1 << 30},
                      .guessed_rate = Rational{25, 1},
                      .start = INT64_MIN + 1};
  EXPECT_GT(early.position(INT64_MAX), 1e11);
}

TEST(CfrGrid, LengthsAreWholeFramesOrOneFrame) {
  EXPECT_EQ(kMilliseconds.length(80), 2.0);
  EXPECT_EQ(kMilliseconds.length(59), 1.0);
  EXPECT_EQ(kMilliseconds.length(61), 2.0);
  // Nothing in the packet: one frame as the quotient of the rates.
  const CfrGrid ntsc{.time_base = {1, 90000},
                     .guessed_rate = Rational{30000, 1001},
                     .start = 0};
  EXPECT_NEAR(ntsc.length(0), 1.0, 1e-15);
  EXPECT_EQ(ntsc.length(3003), 1.0);
  // Without a guessed rate the grid runs at 25 frames a second and a frame
  // without a packet duration has no length.
  const CfrGrid unknown{
      .time_base = {1, 1000}, .guessed_rate = std::nullopt, .start = 0};
  EXPECT_EQ(unknown.output_rate().num, 25);
  EXPECT_EQ(unknown.length(0), 0.0);
  EXPECT_EQ(unknown.length(40), 1.0);
}

TEST(CfrFrames, RegularFramesAreShownOnceEach) {
  std::vector<std::int64_t> pts;
  for (std::int64_t i = 0; i < 50; ++i) pts.push_back(i * 40);
  EXPECT_EQ(shown(grid_positions(kMilliseconds, pts)), iota(0, 50));
}

TEST(CfrFrames, GapsRepeatThePreviousFrame) {
  // Frame 3 eight slots after frame 2: six repeats of frame 2, and frame 3
  // itself shown twice, a slot early.
  EXPECT_EQ(shown(grid_positions(kMilliseconds, {0, 40, 80, 400})),
            (std::vector<std::size_t>{0, 1, 2, 2, 2, 2, 2, 2, 2, 3, 3}));
}

TEST(CfrFrames, TheEndRepeatsTheLastFrameAsTheRecentGapsDid) {
  // Gaps before the last two frames: the median of the last three frames'
  // repeats is 1, so the last frame is shown once more at the end.
  EXPECT_EQ(shown(grid_positions(kMilliseconds, {0, 120, 240})),
            (std::vector<std::size_t>{0, 0, 1, 1, 1, 2, 2, 2}));
  CfrFrames none(false);
  EXPECT_EQ(none.end_copies(), 0);
}

TEST(CfrFrames, FramesFarBehindTheGridAreDropped) {
  // Four frames a slot: the grid runs ahead until frames fall more than
  // 1.1 slots behind it, then only every fourth frame is shown.
  std::vector<std::int64_t> pts;
  for (std::int64_t i = 0; i < 16; ++i) pts.push_back(i * 10);
  EXPECT_EQ(shown(grid_positions(kMilliseconds, pts)),
            (std::vector<std::size_t>{0, 1, 2, 4, 8, 12}));
}

TEST(CfrFrames, AFrameWithoutTimestampFollowsThePreviousOne) {
  EXPECT_EQ(shown({std::nullopt, std::nullopt, 2.0 + kNudge, std::nullopt}),
            iota(0, 4));
  // After a gap too: one frame after the frame before it.
  EXPECT_EQ(shown({-kNudge, 3.0 + kNudge, std::nullopt}),
            (std::vector<std::size_t>{0, 0, 1, 1, 2}));
}

TEST(CfrFrames, ALateFirstFrameFillsTheGapOrMovesTheGrid) {
  // Megamind.avi: frames from pts 1 at 2997/125 frames/s, beside an audio
  // stream: the first frame is shown twice (270 frames, 271 shown).
  const CfrGrid megamind{.time_base = {125, 2997},
                         .guessed_rate = Rational{2997, 125},
                         .start = 0};
  std::vector<std::int64_t> pts;
  for (std::int64_t i = 1; i <= 270; ++i) pts.push_back(i);
  std::vector<std::size_t> expected = iota(0, 270);
  expected.insert(expected.begin(), 0);
  EXPECT_EQ(shown(grid_positions(megamind, pts)), expected);
  // Alone in its file the stream starts the grid at its first frame.
  EXPECT_EQ(shown(grid_positions(megamind, pts), true), iota(0, 270));
  // Three frames late, the first frame fills the slots before it.
  EXPECT_EQ(shown(grid_positions(kMilliseconds, {120, 160})),
            (std::vector<std::size_t>{0, 0, 0, 0, 1}));
  EXPECT_EQ(shown(grid_positions(kMilliseconds, {120, 160}), true),
            (std::vector<std::size_t>{0, 1}));
  // Less than half a frame late: the grid stays where it is.
  EXPECT_EQ(shown(grid_positions(kMilliseconds, {15, 55}), true),
            (std::vector<std::size_t>{0, 1}));
}

TEST(CfrFrames, AnExcessiveGapSkipsTheFrame) {
  // The frame after a gap of more than kCfrMaxCopies slots is not shown
  // and does not become the previous frame.
  EXPECT_EQ(shown({-kNudge, 4e6, 1.0 + kNudge}),
            (std::vector<std::size_t>{0, 2}));
  // However far: past what int64 counts too.
  EXPECT_EQ(shown({-kNudge, 1e19, 1.0 + kNudge}),
            (std::vector<std::size_t>{0, 2}));
  // Nor are the excessive repeats the end would make of such gaps.
  EXPECT_EQ(shown({-kNudge, 4e6, 8e6}), (std::vector<std::size_t>{0}));
}

TEST(CfrFrames, TheCommandsOutputOfAVariableRateClip) {
  // Milliseconds: 20 frames 40 apart, 10 frames 13 apart, 30 frames 40
  // apart, a gap of 400, 40 frames 40 apart; ffmpeg's output showed these
  // decoded frames.
  std::vector<std::int64_t> pts;
  for (std::int64_t n = 0; n < 100; ++n) {
    pts.push_back(n < 20   ? n * 40
                  : n < 30 ? 800 + (n - 20) * 13
                  : n < 60 ? 940 + (n - 30) * 40
                           : 2500 + (n - 60) * 40);
  }
  std::vector<std::size_t> expected = iota(0, 24);
  for (std::size_t n : {26, 29}) expected.push_back(n);
  for (std::size_t n : iota(31, 60)) expected.push_back(n);
  expected.insert(expected.end(), 7, 59);
  expected.push_back(60);
  for (std::size_t n : iota(60, 100)) expected.push_back(n);
  EXPECT_EQ(shown(grid_positions(kMilliseconds, pts)), expected);
}

}  // namespace
}  // namespace vantrel::decoder
