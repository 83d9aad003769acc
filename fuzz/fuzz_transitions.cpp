// The transition finder on arbitrary small videos: runs of flat, ramped,
// noisy, mixed and relit pictures of changing sizes and gradual changes
// from one picture into the next, measured as the analysis measures them,
// with arbitrary keyframe candidates and final keyframes. Whatever the
// pictures, the transitions are ordered by start, lie inside the video and
// apart, have the shapes the rules give them, and a strength that is the
// histogram distance of their two sides.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "core/frame_measures.h"
#include "core/transitions.h"
#include "core/transitions_rule.h"
#include "fuzz_common.h"

namespace {

using vantrel::FrameMeasures;
using vantrel::fuzz::require;
using namespace vantrel::transitions;

constexpr std::size_t kMaxFrames = 1500;

struct Picture {
  std::size_t width = 1, height = 1;
  std::vector<std::uint8_t> pixels = {0};
};

std::uint8_t clamp(int value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// The next picture: a new one, or one made from the last two.
Picture consume_picture(FuzzedDataProvider& data, const Picture& last,
                        const Picture& before) {
  Picture p = last;
  if (data.ConsumeIntegralInRange(0, 7) == 0) {
    p.width = data.ConsumeIntegralInRange<std::size_t>(1, 80);
    p.height = data.ConsumeIntegralInRange<std::size_t>(1, 48);
  }
  const bool same_size = p.width == last.width && p.height == last.height;
  p.pixels.assign(p.width * p.height, 0);
  const int level = data.ConsumeIntegral<std::uint8_t>();
  const int spread = data.ConsumeIntegral<std::uint8_t>();
  std::uint32_t noise = data.ConsumeIntegral<std::uint32_t>();
  const int kind = data.ConsumeIntegralInRange(0, 5);
  const double alpha = data.ConsumeProbability<double>();
  const bool mixable = same_size && before.width == p.width &&
                       before.height == p.height;
  for (std::size_t y = 0; y < p.height; ++y) {
    for (std::size_t x = 0; x < p.width; ++x) {
      const std::size_t i = y * p.width + x;
      int value = level;
      switch (kind) {
        case 1: value += static_cast<int>(spread * x / p.width); break;
        case 2: value += static_cast<int>(spread * y / p.height); break;
        case 3:
          noise = noise * 1664525u + 1013904223u;
          value += static_cast<int>((noise >> 24) * spread / 256);
          break;
        case 4:  // a mix of the last two pictures
          if (mixable) {
            value = static_cast<int>(std::lround(
                alpha * last.pixels[i] + (1 - alpha) * before.pixels[i]));
          }
          break;
        case 5:  // the last picture relit
          if (same_size) value = last.pixels[i] + level - 128;
          break;
        default: break;
      }
      p.pixels[i] = clamp(value);
    }
  }
  return p;
}

double plain_distance(const FrameMeasures& a, const FrameMeasures& b) {
  const std::uint64_t pa = std::uint64_t{a.width} * a.height;
  const std::uint64_t pb = std::uint64_t{b.width} * b.height;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < FrameMeasures::kBins; ++i) {
    const std::uint64_t x = a.hist[i] * pb, y = b.hist[i] * pa;
    total += x > y ? x - y : y - x;
  }
  return static_cast<double>(total) / static_cast<double>(2 * pa * pb);
}

bool flat(const FrameMeasures& m) {
  const double pixels = static_cast<double>(std::uint64_t{m.width} * m.height);
  const double mean = static_cast<double>(m.sum) / pixels;
  const double variance = static_cast<double>(m.sum_sq) / pixels - mean * mean;
  return variance < kRule.flat_variance &&
         (mean < kRule.dark || mean > kRule.bright);
}

void check(const std::vector<Transition>& found,
           const std::vector<FrameMeasures>& frames,
           const std::set<std::size_t>& keyframes, Rule rule) {
  const std::size_t n = frames.size();
  for (std::size_t i = 0; i < found.size(); ++i) {
    const Transition& t = found[i];
    require(t.first <= t.last && t.last < n && t.start >= 1 && t.start < n,
            "a transition lies inside the video");
    require(t.strength >= 0.0 && t.strength <= 1.0, "strength 0 to 1");
    if (i > 0) {
      require(found[i - 1].start < t.start, "ordered by start");
      require(found[i - 1].last < t.first, "no overlap");
    }
    switch (t.kind) {
      case Kind::cut:
        require(t.first == t.start && t.last == t.start, "a cut is a frame");
        require(t.strength == plain_distance(frames[t.start - 1],
                                             frames[t.start]),
                "a cut's strength");
        // The rule's own cuts stand where the list has no cut next to
        // them (frame 0 starts the video, it is no cut).
        require(keyframes.contains(t.start) ||
                    (rule == Rule::gradual &&
                     (t.start == 1 || !keyframes.contains(t.start - 1)) &&
                     !keyframes.contains(t.start + 1)),
                "a cut is a keyframe or a clear cut away from them");
        break;
      case Kind::fade:
        require(rule == Rule::gradual && t.first >= 1 &&
                    t.start == t.last + 1,
                "a fade starts after its flat frames");
        for (std::size_t j = t.first; j <= t.last; ++j) {
          require(flat(frames[j]), "a fade's frames are flat");
        }
        require(!flat(frames[t.first - 1]) && !flat(frames[t.start]),
                "a fade is the whole flat run");
        require(t.strength == plain_distance(frames[t.first - 1],
                                             frames[t.start]),
                "a fade's strength");
        break;
      case Kind::dissolve: {
        const std::size_t w = t.start - t.first;
        require(rule == Rule::gradual && t.last - t.start == w &&
                    std::ranges::find(kRule.dissolve_widths, w) !=
                        kRule.dissolve_widths.end(),
                "a dissolve is centred on its start, of a rule's width");
        require(t.strength == plain_distance(frames[t.first], frames[t.last]),
                "a dissolve's strength");
        require(t.strength >= kRule.dissolve_change, "a dissolve's change");
        break;
      }
    }
  }
  if (rule == Rule::cuts) {
    std::vector<std::size_t> starts;
    for (const Transition& t : found) starts.push_back(t.start);
    require(std::ranges::equal(starts, std::ranges::subrange(
                                           keyframes.upper_bound(0),
                                           keyframes.end())),
            "the cuts rule gives the keyframes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const Rule rule = data.ConsumeBool() ? Rule::gradual : Rule::cuts;
  TransitionFinder finder(rule);
  std::vector<FrameMeasures> frames;
  std::set<std::size_t> keyframes = {0};
  const auto add = [&](const Picture& p) {
    if (frames.size() == kMaxFrames) return;
    const std::size_t j = frames.size();
    frames.push_back(vantrel::measure_frame(p.pixels, p.width, p.height));
    // Offered as a candidate, and then kept or not.
    const bool offered = data.ConsumeBool();
    finder.add(frames.back(), offered);
    if (offered && data.ConsumeBool()) keyframes.insert(j);
  };
  Picture last, before;
  while (data.remaining_bytes() > 0 && frames.size() < kMaxFrames) {
    Picture next = consume_picture(data, last, before);
    const std::size_t run = data.ConsumeIntegralInRange<std::size_t>(1, 40);
    if (data.ConsumeBool() && next.pixels.size() == last.pixels.size()) {
      // A gradual change from the last picture into the next.
      Picture mixed = next;
      for (std::size_t i = 1; i <= run; ++i) {
        const double alpha = static_cast<double>(i) / (run + 1);
        for (std::size_t k = 0; k < mixed.pixels.size(); ++k) {
          mixed.pixels[k] = clamp(static_cast<int>(std::lround(
              alpha * next.pixels[k] + (1 - alpha) * last.pixels[k])));
        }
        add(mixed);
      }
      add(next);
    } else {
      for (std::size_t i = 0; i < run; ++i) add(next);
    }
    before = std::move(last);
    last = std::move(next);
  }
  const std::vector<std::size_t> list(keyframes.begin(), keyframes.end());
  check(finder.finish(list), frames, keyframes, rule);
  return 0;
}
