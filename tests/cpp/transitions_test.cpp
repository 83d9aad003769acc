#include "core/transitions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <vector>

#include "core/frame_measures.h"
#include "core/transitions_frames.h"
#include "core/transitions_resolve.h"

namespace vantrel::transitions {
namespace {

constexpr std::size_t kWidth = 160;
constexpr std::size_t kHeight = 90;

using Pixel = std::function<double(std::size_t x, std::size_t y)>;

FrameMeasures measure(const Pixel& pixel, std::size_t width = kWidth,
                      std::size_t height = kHeight) {
  std::vector<std::uint8_t> plane(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      plane[y * width + x] =
          static_cast<std::uint8_t>(std::lround(pixel(x, y)));
    }
  }
  return measure_frame(plane, width, height);
}

// Two textured pictures of disjoint luma ranges (their histograms differ
// wholly) and unlike layouts: a dark left-to-right ramp, a bright top-to-bottom
// one; and a third like the first in luma, its ramp vertical.
double dark(std::size_t x, std::size_t) { return 30.0 + 90.0 * x / kWidth; }
double bright(std::size_t, std::size_t y) {
  return 130.0 + 100.0 * y / kHeight;
}
double dark_vertical(std::size_t, std::size_t y) {
  return 30.0 + 90.0 * y / kHeight;
}

Pixel mix(double alpha, Pixel a, Pixel b) {
  return [=](std::size_t x, std::size_t y) {
    return alpha * a(x, y) + (1.0 - alpha) * b(x, y);
  };
}

Pixel level(double value) {
  return [value](std::size_t, std::size_t) { return value; };
}

// Half the L1 distance of two frames' histograms, worked out plainly.
double histogram_distance(const FrameMeasures& a, const FrameMeasures& b) {
  const std::uint64_t pa = std::uint64_t{a.width} * a.height;
  const std::uint64_t pb = std::uint64_t{b.width} * b.height;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < FrameMeasures::kBins; ++i) {
    const std::int64_t d = static_cast<std::int64_t>(a.hist[i] * pb) -
                           static_cast<std::int64_t>(b.hist[i] * pa);
    total += static_cast<std::uint64_t>(std::llabs(d));
  }
  return static_cast<double>(total) / static_cast<double>(2 * pa * pb);
}

struct Video {
  std::vector<FrameMeasures> frames;
  std::set<std::size_t> keyframes = {0};

  void add(const FrameMeasures& m, std::size_t count = 1) {
    frames.insert(frames.end(), count, m);
  }
  std::vector<Transition> find(Rule rule = Rule::gradual) const {
    TransitionFinder finder(rule);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      finder.add(frames[i], keyframes.contains(i));
    }
    const std::vector<std::size_t> list(keyframes.begin(), keyframes.end());
    return finder.finish(list);
  }
};

TEST(TransitionFinder, FindsAFadeThroughBlackStartingAfterTheFlatFrames) {
  Video v;
  v.add(measure(dark), 30);
  for (int i = 1; i <= 5; ++i)
    v.add(measure(mix(1.0 - i / 6.0, dark, level(8))));
  v.add(measure(level(8)), 10);
  for (int i = 1; i <= 5; ++i) v.add(measure(mix(i / 6.0, bright, level(8))));
  v.add(measure(bright), 30);
  const auto found = v.find();
  ASSERT_EQ(found.size(), 1u);
  const Transition& fade = found[0];
  EXPECT_EQ(fade.kind, Kind::fade);
  EXPECT_GE(fade.first, 30u);
  EXPECT_LE(fade.first, 35u);
  EXPECT_GE(fade.last, 44u);
  EXPECT_EQ(fade.start, fade.last + 1);
  EXPECT_EQ(fade.strength, histogram_distance(v.frames[fade.first - 1],
                                              v.frames[fade.last + 1]));
}

// The widest measure across it is the strongest (the whole change); of its
// equals, the earliest wins.
TEST(TransitionFinder, FindsADissolveAndTakesTheCutsInsideIt) {
  Video v;
  v.add(measure(dark), 30);
  for (int i = 1; i <= 20; ++i)
    v.add(measure(mix(1.0 - i / 21.0, dark, bright)));
  v.add(measure(bright), 30);
  v.keyframes = {0, 40};  // a cut the analysis saw inside the dissolve
  const auto found = v.find();
  ASSERT_EQ(found.size(), 1u);
  const Transition& dissolve = found[0];
  EXPECT_EQ(dissolve.kind, Kind::dissolve);
  EXPECT_EQ(dissolve.first, 18u);
  EXPECT_EQ(dissolve.start, 34u);
  EXPECT_EQ(dissolve.last, 50u);
  EXPECT_EQ(dissolve.strength, histogram_distance(v.frames[dissolve.first],
                                                  v.frames[dissolve.last]));
}

TEST(TransitionFinder, DropsTheCutsOfAFlash) {
  // Two bright frames: the analysis cuts into and out of them.
  Video v;
  v.add(measure(dark), 20);
  v.add(measure(level(250)), 2);
  v.add(measure(dark), 20);
  v.keyframes = {0, 20, 22};
  EXPECT_TRUE(v.find().empty());
  EXPECT_EQ(v.find(Rule::cuts).size(), 2u);
}

TEST(TransitionFinder, AddsAClearCutTheListMissesWithItsStrength) {
  // A montage: a new layout of the same luma range, which the histogram-led
  // analysis does not cut.
  Video v;
  v.add(measure(dark), 20);
  v.add(measure(dark_vertical), 20);
  const auto found = v.find();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Kind::cut);
  EXPECT_EQ(found[0].start, 20u);
  EXPECT_EQ(found[0].strength, histogram_distance(v.frames[19], v.frames[20]));
  // Listed next to it, the analysis' cut stands for it.
  v.keyframes = {0, 21};
  const auto listed = v.find();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].start, 21u);
}

TEST(TransitionFinder, AFlatRunOfAnyLengthIsOneFadeOrALongFlash) {
  constexpr std::size_t kFlat = 100000;
  Video v;
  v.add(measure(dark), 20);
  for (int i = 1; i <= 5; ++i)
    v.add(measure(mix(1.0 - i / 6.0, dark, level(5))));
  v.add(measure(level(5)), kFlat);
  for (int i = 1; i <= 5; ++i) v.add(measure(mix(i / 6.0, bright, level(5))));
  v.add(measure(bright), 20);
  const auto found = v.find();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, Kind::fade);
  EXPECT_LE(found[0].first, 25u);
  EXPECT_GE(found[0].last, 25 + kFlat - 1);
  EXPECT_EQ(found[0].start, found[0].last + 1);
  // Entered and left by a jump, the run is a flash of light: its two ends
  // are clear cuts.
  Video jumps;
  jumps.add(measure(dark), 20);
  jumps.add(measure(level(5)), kFlat);
  jumps.add(measure(bright), 20);
  const auto cuts = jumps.find();
  ASSERT_EQ(cuts.size(), 2u);
  EXPECT_EQ(cuts[0].kind, Kind::cut);
  EXPECT_EQ(cuts[0].start, 20u);
  EXPECT_EQ(cuts[1].kind, Kind::cut);
  EXPECT_EQ(cuts[1].start, 20 + kFlat);
}

TEST(TransitionFinder, NoFramesOrOneFrameGiveNoTransitions) {
  for (Rule rule : {Rule::cuts, Rule::gradual}) {
    TransitionFinder none(rule);
    EXPECT_TRUE(none.finish({}).empty());
    TransitionFinder one(rule);
    one.add(measure(dark), false);
    const std::size_t first[] = {0};
    EXPECT_TRUE(one.finish(first).empty());
  }
}

TEST(TransitionFinder, ComparesPicturesAcrossAChangeOfSize) {
  Video v;
  v.add(measure(dark), 20);
  v.add(measure(dark, 128, 96), 20);
  v.keyframes = {0, 20};
  const double across = histogram_distance(v.frames[19], v.frames[20]);
  for (Rule rule : {Rule::cuts, Rule::gradual}) {
    const auto found = v.find(rule);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start, 20u);
    EXPECT_EQ(found[0].strength, across);
  }
}

TEST(TransitionFinder, CutsRuleGivesTheKeyframesWithTheirStrengths) {
  Video v;
  v.add(measure(dark), 10);
  v.add(measure(bright), 10);
  v.add(measure(mix(0.5, dark, bright)), 10);
  v.keyframes = {0, 10, 20};
  const auto found = v.find(Rule::cuts);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].start, 10u);
  EXPECT_EQ(found[0].strength, 1.0);
  EXPECT_EQ(found[1].start, 20u);
  EXPECT_EQ(found[1].strength, histogram_distance(v.frames[19], v.frames[20]));
}

// Videos of flat-coloured 32 x 18 frames (a sample per cell of the coarse
// picture): runs of luma levels, the picture jumps their differences.
struct Level {
  int value;
  std::size_t frames = 1;
};

Video levels(const std::vector<Level>& runs,
             const std::set<std::size_t>& keyframes = {}) {
  Video v;
  for (const Level& run : runs) {
    v.add(measure(level(run.value), 32, 18), run.frames);
  }
  v.keyframes.insert(keyframes.begin(), keyframes.end());
  return v;
}

struct Found {
  Kind kind;
  std::size_t first, last, start;
  bool operator==(const Found&) const = default;
};

std::vector<Found> shapes(const std::vector<Transition>& found) {
  std::vector<Found> out;
  for (const Transition& t : found) {
    out.push_back({t.kind, t.first, t.last, t.start});
  }
  return out;
}

Found cut(std::size_t k) { return {Kind::cut, k, k, k}; }
Transition cut_at(std::size_t k) { return {Kind::cut, k, k, k, 0.5}; }

struct LevelCase {
  const char* what;
  Video video;
  std::vector<Found> expected;
};

// The cut tracker: clear cuts by their jumps and context, flashes, and both
// for the last frames, whose tests run after the end.
TEST(CutTracker, ClearCutsAndFlashes) {
  const LevelCase cases[] = {
      {"a lone jump", levels({{60, 10}, {100, 10}}), {cut(10)}},
      {"a jump into the last frame", levels({{60, 10}, {100}}), {cut(10)}},
      {"a jump one frame before the end", levels({{60, 10}, {100, 2}}),
       {cut(10)}},
      {"a jump into frame 1", levels({{60}, {100, 10}}), {cut(1)}},
      // Past the end the ring holds the frames of 33 frames before: here
      // frames with a jump (2) and a picture (3 to 5) like those before 34.
      {"a jump into the last frame of a longer video",
       levels({{60, 2}, {100, 32}, {140}}),
       {cut(2), cut(34)}},
      {"a listed jump into the last frame of a longer video",
       levels({{60, 2}, {100, 32}, {60}}, {2, 34}),
       {cut(2), cut(34)}},
      {"a jump under the least", levels({{60, 5}, {71}, {60, 5}}), {}},
      {"a jump 3 times its neighbour's", levels({{60, 5}, {64}, {100, 5}}),
       {cut(6)}},
      {"a jump under 3 times its neighbour's",
       levels({{60, 5}, {72}, {100, 5}}),
       {}},
      {"jumps 2 frames apart", levels({{60, 5}, {100, 2}, {140, 5}}), {}},
      {"jumps 3 frames apart", levels({{60, 5}, {100, 3}, {140, 5}}),
       {cut(5), cut(8)}},
      {"the list's cut next to a clear cut stands for it",
       levels({{60, 10}, {100, 10}}, {11}),
       {cut(11)}},
      {"a flash of two frames", levels({{60, 5}, {100, 2}, {60, 5}}, {5, 7}),
       {}},
      {"a flash that ends the video",
       levels({{60, 5}, {100, 4}, {60}}, {5, 9}),
       {}},
      {"a light on for five frames is no flash",
       levels({{60, 5}, {100, 5}, {60}}, {5, 10}),
       {cut(5), cut(10)}},
  };
  for (const LevelCase& c : cases) {
    EXPECT_EQ(shapes(c.video.find()), c.expected) << c.what;
  }
  // The cuts rule keeps a flash's cuts.
  EXPECT_EQ(shapes(levels({{60, 5}, {100, 2}, {60, 5}}, {5, 7}).find(
                Rule::cuts)),
            (std::vector<Found>{cut(5), cut(7)}));
}

// The fade tracker: a run of flat frames between two pictures, confirmed
// fade_context frames after it or, nearer the end, by the last frame.
TEST(FadeTracker, FlatRunsBetweenDifferentPictures) {
  const Found fade{Kind::fade, 22, 27, 28};
  // Frames 22 to 27 black, after a picture that darkens into them.
  const auto dip = [](std::initializer_list<Level> after) {
    std::vector<Level> runs = {{100, 20}, {70}, {40}, {10, 6}};
    runs.insert(runs.end(), after);
    return levels(runs);
  };
  const LevelCase cases[] = {
      {"a fade", dip({{50}, {100}, {150, 20}}), {fade}},
      {"back to the same picture", dip({{50}, {100, 20}}), {}},
      {"a picture the last frame shows", dip({{50}, {100}, {150}}), {fade}},
      {"the last frame the picture it left", dip({{50}, {100}}), {}},
      {"the first frame after it the last", dip({{50}}), {fade}},
      {"flat to the end", dip({}), {}},
      {"entered and left by jumps: a flash of light",
       levels({{100, 20}, {10, 6}, {150, 20}}),
       {cut(20), cut(26)}},
  };
  for (const LevelCase& c : cases) {
    EXPECT_EQ(shapes(c.video.find()), c.expected) << c.what;
  }
}

// The dissolve tracker: a dissolve that ends the video is found as it is
// with frames after it, once its last frame is there.
TEST(DissolveTracker, ADissolveAtTheEnd) {
  const Found dissolve{Kind::dissolve, 18, 50, 34};
  for (std::size_t after : {1, 2, 8, 16, 17, 30}) {
    Video v;
    v.add(measure(dark), 30);
    for (int i = 1; i <= 20; ++i)
      v.add(measure(mix(1.0 - i / 21.0, dark, bright)));
    v.add(measure(bright), after);
    EXPECT_EQ(shapes(v.find()), std::vector<Found>{dissolve}) << after;
  }
}

TEST(Resolve, KeyframeCutsByRule) {
  const Candidate offered[] = {
      {.frame = 5, .step = 0.5},
      {.frame = 9, .step = 0.7, .clear = true},
      {.frame = 12, .step = 0.8, .clear = true},
      {.frame = 13, .step = 0.1},
      {.frame = 20, .step = 0.9, .flash = true},
  };
  const std::size_t keyframes[] = {0, 20, 5, 13, 5};  // as listed
  const auto starts = [](const std::vector<Transition>& cuts) {
    std::vector<std::size_t> out;
    for (const Transition& t : cuts) out.push_back(t.start);
    return out;
  };
  EXPECT_EQ(starts(keyframe_cuts(offered, keyframes, Rule::cuts)),
            (std::vector<std::size_t>{5, 13, 20}));
  // Clear cut 9 added, 12 beside keyframe 13 not; flash 20 dropped.
  const auto gradual = keyframe_cuts(offered, keyframes, Rule::gradual);
  EXPECT_EQ(starts(gradual), (std::vector<std::size_t>{5, 9, 13}));
  EXPECT_EQ(gradual[1].strength, 0.7);
  const Candidate not_13[] = {offered[0], offered[4]};
  EXPECT_DEATH(keyframe_cuts(not_13, keyframes, Rule::cuts),
               "a keyframe was not offered");
}

TEST(Resolve, StrongestDissolvesApartFromThoseTaken) {
  using Taken = std::vector<std::pair<std::size_t, std::size_t>>;
  struct Case {
    const char* what;
    std::vector<Dissolve> found;
    Taken taken;  // middle, width
  };
  const Case cases[] = {
      {"the stronger wins within the wider width",
       {{0.5, 20, 3}, {0.6, 24, 6}, {0.4, 40, 3}},
       {{24, 6}, {40, 3}}},
      {"apart by more than the wider width", {{0.5, 20, 3}, {0.6, 27, 6}},
       {{20, 3}, {27, 6}}},
      {"equals: the earliest", {{0.6, 30, 6}, {0.6, 26, 6}}, {{26, 6}}},
      {"equals at one middle: the narrowest", {{0.6, 30, 10}, {0.6, 30, 3}},
       {{30, 3}}},
  };
  for (const Case& c : cases) {
    Taken taken;
    for (const Dissolve& d : strongest_dissolves(c.found)) {
      taken.emplace_back(d.middle, d.width);
    }
    EXPECT_EQ(taken, c.taken) << c.what;
  }
}

TEST(Resolve, FadesWinOverlapsAndTakeTheCutsBesideThem) {
  const Transition fade{Kind::fade, 10, 14, 15, 0.9};
  const Dissolve touching{0.8, 18, 3};  // frames 15 to 21
  const Dissolve apart{0.8, 19, 3};     // frames 16 to 22
  EXPECT_EQ(shapes(gradual_apart(std::span(&fade, 1),
                                 std::span(&touching, 1))),
            (std::vector<Found>{{Kind::fade, 10, 14, 15}}));
  EXPECT_EQ(shapes(gradual_apart(std::span(&fade, 1), std::span(&apart, 1))),
            (std::vector<Found>{{Kind::fade, 10, 14, 15},
                                {Kind::dissolve, 16, 22, 19}}));

  const Transition gradual[] = {fade, {Kind::dissolve, 20, 26, 23, 0.8}};
  std::vector<Transition> cuts;
  for (std::size_t k : {8, 9, 15, 16, 20, 21, 26, 27}) {
    cuts.push_back(cut_at(k));
  }
  drop_cuts_taken(cuts, gradual);
  // The fade takes those from the frame before it to the one after; the
  // dissolve those after its first frame to its last.
  EXPECT_EQ(shapes(cuts), (std::vector<Found>{cut(8), cut(16), cut(20),
                                              cut(27)}));
}

TEST(Resolve, ACutOnOrBesideAGradualTransitionDropsIt) {
  const Transition fade{Kind::fade, 10, 14, 15, 0.9};
  for (std::size_t k : {8, 9, 12, 15, 16}) {
    std::vector<Transition> gradual = {fade};
    const Transition cuts[] = {cut_at(k)};
    drop_gradual_at_cuts(gradual, cuts);
    EXPECT_EQ(gradual.empty(), k >= 9 && k <= 15) << k;
  }
}

// Quotients that Python's integer division gives.
TEST(ExactRatio, RoundsOnceLikePythonsIntegerDivision) {
  const auto u128 = [](std::uint64_t high, std::uint64_t low) {
    return (static_cast<unsigned __int128>(high) << 64) | low;
  };
  // 2^54 + 1 is no double: converted first, it would give 2/3's double.
  EXPECT_EQ(exact_ratio((std::uint64_t{1} << 54) + 1, std::uint64_t{3} << 53),
            0x1.5555555555556p-1);
  EXPECT_EQ(exact_ratio(136601792722416696u, 128957656430677303u),
            0x1.0f2cbbc08e73bp+0);
  EXPECT_EQ(exact_ratio(632131214951818320u, 118358097714163507u),
            0x1.55d042b647092p+2);
  // 57076625039493664811 and 884753503075589655869152660.
  EXPECT_EQ(exact_ratio(u128(3, 1736392818365009963u), 80416118295074909u),
            0x1.62e20ba515abdp+9);
  EXPECT_EQ(
      exact_ratio(u128(47962583, 9360537168593968532u), 84443893333577944u),
      0x1.384050471edb6p+33);
  EXPECT_EQ(exact_ratio(0, 7), 0.0);
  EXPECT_EQ(exact_ratio(5, 10), 0.5);
}

}  // namespace
}  // namespace vantrel::transitions
