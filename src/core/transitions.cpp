#include "core/transitions_internal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"

namespace vantrel::transitions {

namespace {

// The rules' constants; the vantrel.methods documentation describes them.
// Fades: a run of flat frames (luma variance under kFlatVariance, mean under
// kDark or over kBright) is a fade when the frames kFadeContext before and
// after it differ by more than kFadeChange; not when both its first frame
// and the frame after it jump by more than kFadeJump (a flash of light).
constexpr double kFlatVariance = 60.0;
constexpr double kDark = 28.0;
constexpr double kBright = 225.0;
constexpr std::size_t kFadeContext = 12;
constexpr double kFadeChange = 0.3;
constexpr double kFadeJump = 40.0;
// Dissolves: frames t - w and t + w differ by at least kDissolveChange, the
// most within w of t; no step between them makes more than kDissolveSpread
// of that; the ends are no flat pictures, correlate at most kSamePicture,
// and frame t is their mix a A + (1 - a) B with a in [kMixLow, kMixHigh],
// leaving at most kMixResidual of |A - B|.
constexpr std::array<std::size_t, 4> kDissolveWidths = {3, 6, 10, 16};
constexpr double kDissolveChange = 0.35;
constexpr double kDissolveSpread = 0.6;
constexpr double kSamePicture = 0.9;
constexpr double kMixLow = 0.2;
constexpr double kMixHigh = 0.8;
constexpr double kMixResidual = 0.3;
// Clear cuts: a coarse-picture jump of at least kCutPicture and kCutRatio
// times any other within kCutContext frames.
constexpr double kCutPicture = 12.0;
constexpr double kCutRatio = 3.0;
constexpr std::size_t kCutContext = 2;
// Flashes: frames a < k <= b at most kFlashSpan apart (other than k - 1 and
// k) closer than kFlashRatio of the jump at k.
constexpr std::size_t kFlashSpan = 5;
constexpr double kFlashRatio = 0.4;

constexpr std::size_t kBins = FrameMeasures::kBins;
constexpr std::size_t kCells = FrameMeasures::kColumns * FrameMeasures::kRows;
constexpr std::size_t kWidest = kDissolveWidths.back();
// Frames kept: a dissolve of the widest kind is measured across 2 * kWidest
// frames; the other rules look back less far.
constexpr std::size_t kKept = 2 * kWidest + 1;
static_assert(kKept > kFadeContext && kKept > 2 * kFlashSpan &&
              kKept > 2 * kCutContext);

struct Histogram {
  std::array<std::uint32_t, kBins> counts;
  std::uint64_t pixels;
};

// One frame of the ring: its measures and what the rules derive from them.
struct Frame {
  Histogram histogram;
  std::array<std::uint32_t, kCells> cells;
  std::array<std::uint32_t, kCells> samples;  // per cell; an empty cell 1
  std::uint32_t width;
  std::uint32_t height;
  double mean;
  double variance;
  double step;  // histogram distance from the frame before; 0 for the first
  double jump;  // coarse-picture difference from it; 0 for the first
  bool flat;
};

using Picture = std::array<double, kCells>;

// Samples per cell of a width x height plane, as measure_frame counts them:
// column x * kColumns / width, row y * kRows / height.
std::array<std::uint32_t, kCells> cell_samples(std::uint32_t width,
                                               std::uint32_t height) {
  constexpr std::size_t columns = FrameMeasures::kColumns;
  constexpr std::size_t rows = FrameMeasures::kRows;
  std::array<std::uint64_t, columns> per_column{};
  for (std::uint64_t x = 0; x < width; ++x) ++per_column[x * columns / width];
  std::array<std::uint64_t, rows> per_row{};
  for (std::uint64_t y = 0; y < height; ++y) ++per_row[y * rows / height];
  std::array<std::uint32_t, kCells> samples{};
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      samples[r * columns + c] = static_cast<std::uint32_t>(
          std::max<std::uint64_t>(per_row[r] * per_column[c], 1));
    }
  }
  return samples;
}

// Half the L1 distance between the histograms as fractions: 0 to 1, from an
// integer sum.
double distance(const Histogram& a, const Histogram& b) {
  if (a.pixels == 0 || b.pixels == 0) return a.pixels == b.pixels ? 0.0 : 1.0;
  if (a.pixels == b.pixels) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < kBins; ++i) {
      const std::uint32_t x = a.counts[i], y = b.counts[i];
      total += x > y ? x - y : y - x;
    }
    return exact_ratio(total, 2 * a.pixels);
  }
  // Counts of pictures of two sizes compare scaled by each other's size.
  unsigned __int128 total = 0;
  for (std::size_t i = 0; i < kBins; ++i) {
    const std::uint64_t x = a.counts[i] * b.pixels, y = b.counts[i] * a.pixels;
    total += x > y ? x - y : y - x;
  }
  return exact_ratio(total, 2 * a.pixels * b.pixels);
}

double distance(const Frame& a, const Frame& b) {
  return distance(a.histogram, b.histogram);
}

// The coarse picture: each cell's mean luma, row by row.
Picture picture(const Frame& f) {
  Picture p;
  for (std::size_t c = 0; c < kCells; ++c) {
    p[c] = static_cast<double>(f.cells[c]) / static_cast<double>(f.samples[c]);
  }
  return p;
}

// The mean absolute difference of the coarse pictures; of the same size, one
// division per cell of the difference of the sums.
double picture_difference(const Frame& a, const Frame& b) {
  double total = 0.0;
  if (a.width == b.width && a.height == b.height) {
    for (std::size_t c = 0; c < kCells; ++c) {
      const std::uint32_t x = a.cells[c], y = b.cells[c];
      total += static_cast<double>(x > y ? x - y : y - x) /
               static_cast<double>(a.samples[c]);
    }
  } else {
    const Picture pa = picture(a), pb = picture(b);
    for (std::size_t c = 0; c < kCells; ++c) total += std::fabs(pa[c] - pb[c]);
  }
  return total / static_cast<double>(kCells);
}

// The picture less its mean, over its spread (its correlation with another).
Picture zscored(const Picture& p) {
  double total = 0.0;
  for (double v : p) total += v;
  const double mean = total / static_cast<double>(kCells);
  double squares = 0.0;
  for (double v : p) squares += (v - mean) * (v - mean);
  const double spread =
      python_pow(squares / static_cast<double>(kCells), 0.5) + 1e-6;
  Picture z;
  for (std::size_t c = 0; c < kCells; ++c) z[c] = (p[c] - mean) / spread;
  return z;
}

// Frame t as a mix alpha A + (1 - alpha) B of the frames a and b: within
// [kMixLow, kMixHigh] and leaving at most kMixResidual of |A - B|; false
// when A and B are the same picture.
bool is_mix(const Frame& a, const Frame& t, const Frame& b) {
  const Picture pa = picture(a), pb = picture(b), pt = picture(t);
  Picture diff;
  double den = 0.0;
  for (std::size_t c = 0; c < kCells; ++c) {
    diff[c] = pa[c] - pb[c];
    den += diff[c] * diff[c];
  }
  if (den < 1e-6) return false;
  double along = 0.0;
  for (std::size_t c = 0; c < kCells; ++c) along += (pt[c] - pb[c]) * diff[c];
  double alpha = along / den;
  alpha = alpha > 0.0 ? alpha : 0.0;
  alpha = alpha < 1.0 ? alpha : 1.0;
  double residual = 0.0;
  for (std::size_t c = 0; c < kCells; ++c) {
    residual +=
        python_pow(pt[c] - (alpha * pa[c] + (1.0 - alpha) * pb[c]), 2.0);
  }
  return python_pow(residual / den, 0.5) <= kMixResidual && kMixLow <= alpha &&
         alpha <= kMixHigh;
}

struct Candidate {  // a frame that may start a scene with a cut
  std::size_t frame;
  double step;
  bool clear = false;  // a clear cut of the rule's own
  bool flash = false;
};

struct FlatRun {
  std::size_t first;
  // With first > 0: the frame before it, the one kFadeContext before it (or
  // frame 0) and the jump into it.
  Histogram previous;
  Histogram context;
  double jump;
};

struct PendingFade {  // waits for the frame kFadeContext after it
  Transition fade;
  Histogram context;
};

struct Dissolve {
  double change;
  std::size_t middle;
  std::size_t width;
};

// One dissolve width's changes, by middle frame modulo kKept.
struct WidthChanges {
  std::array<double, kKept> change{};
  std::array<bool, kKept> mixed{};  // passes every test but the peak's
};

}  // namespace

double exact_ratio(unsigned __int128 num, std::uint64_t den) {
  constexpr unsigned __int128 exact = static_cast<unsigned __int128>(1) << 53;
  if (num <= exact && den <= exact) {
    return static_cast<double>(num) / static_cast<double>(den);
  }
  if (num == 0) return 0.0;
  // A quotient of 55 or 56 bits whose lowest bit also records a nonzero
  // remainder rounds like the exact quotient when converted.
  const auto high = static_cast<std::uint64_t>(num >> 64);
  const int num_bits =
      high != 0
          ? 64 + static_cast<int>(std::bit_width(high))
          : static_cast<int>(std::bit_width(static_cast<std::uint64_t>(num)));
  const int shift = 55 + static_cast<int>(std::bit_width(den)) - num_bits;
  unsigned __int128 quotient = 0;
  bool inexact = false;
  if (shift >= 0) {
    const unsigned __int128 scaled = num << shift;
    quotient = scaled / den;
    inexact = scaled % den != 0;
  } else {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(den)
                                     << -shift;
    quotient = num / scaled;
    inexact = num % scaled != 0;
  }
  const auto bits = static_cast<std::uint64_t>(quotient) | (inexact ? 1 : 0);
  return std::ldexp(static_cast<double>(bits), -shift);
}

double python_pow(double x, double exponent) {
  // Read through a volatile: the compiler may not assume the exponent.
  const volatile double y = exponent;
  return std::pow(std::fabs(x), y);
}

struct TransitionFinder::State {
  Rule rule;
  std::size_t count = 0;  // frames added
  std::array<Frame, kKept> ring{};
  std::array<std::uint32_t, kCells> samples{};  // of the last size seen
  std::uint32_t samples_width = 0;
  std::uint32_t samples_height = 0;
  std::vector<Candidate> candidates;  // by frame
  std::optional<FlatRun> run;
  std::vector<PendingFade> pending_fades;
  std::vector<Transition> fades;
  std::array<WidthChanges, kDissolveWidths.size()> widths{};
  std::vector<Dissolve> dissolves;

  explicit State(Rule r) : rule(r) {}
  Frame& frame(std::size_t i) { return ring[i % kKept]; }

  Frame& take(const FrameMeasures& m);
  void look_for_clear_cut(std::size_t k, std::size_t end);
  void look_for_flash(Candidate& candidate, std::size_t end);
  void follow_flat_run(std::size_t j);
  void measure_dissolve(std::size_t w_index, std::size_t t);
  void look_for_dissolve(std::size_t w_index, std::size_t t, std::size_t last);
  std::vector<Transition> resolve(std::span<const std::size_t> keyframes);
};

TransitionFinder::TransitionFinder(Rule rule)
    : state_(std::make_unique<State>(rule)) {}
TransitionFinder::~TransitionFinder() = default;

Frame& TransitionFinder::State::take(const FrameMeasures& m) {
  const std::size_t j = count++;
  Frame& f = frame(j);
  const std::uint64_t pixels = std::uint64_t{m.width} * m.height;
  f.histogram = Histogram{.counts = m.hist, .pixels = pixels};
  f.cells = m.cells;
  if (m.width != samples_width || m.height != samples_height || j == 0) {
    samples = cell_samples(m.width, m.height);
    samples_width = m.width;
    samples_height = m.height;
  }
  f.samples = samples;
  f.width = m.width;
  f.height = m.height;
  f.mean = pixels == 0
               ? 0.0
               : static_cast<double>(m.sum) / static_cast<double>(pixels);
  f.variance = pixels == 0 ? 0.0
                           : static_cast<double>(m.sum_sq) /
                                     static_cast<double>(pixels) -
                                 f.mean * f.mean;
  f.flat = f.variance < kFlatVariance && (f.mean < kDark || f.mean > kBright);
  f.step = j == 0 ? 0.0 : distance(frame(j - 1), f);
  f.jump =
      j == 0 || rule == Rule::cuts ? 0.0 : picture_difference(frame(j - 1), f);
  return f;
}

void TransitionFinder::add(const FrameMeasures& measures,
                           bool may_be_keyframe) {
  State& s = *state_;
  const std::size_t j = s.count;
  const Frame& f = s.take(measures);
  if (may_be_keyframe && j > 0)
    s.candidates.push_back({.frame = j, .step = f.step});
  if (s.rule == Rule::cuts) return;
  const std::size_t known = j + 1;
  if (j > kCutContext) s.look_for_clear_cut(j - kCutContext, known);
  if (j >= kFlashSpan) {
    const std::size_t k = j - (kFlashSpan - 1);
    for (auto c = s.candidates.rbegin();
         c != s.candidates.rend() && c->frame >= k; ++c) {
      if (c->frame == k) s.look_for_flash(*c, known);
    }
  }
  s.follow_flat_run(j);
  for (std::size_t w_index = 0; w_index < kDissolveWidths.size(); ++w_index) {
    const std::size_t w = kDissolveWidths[w_index];
    if (j >= 2 * w) s.measure_dissolve(w_index, j - w);
    if (j >= 3 * w) s.look_for_dissolve(w_index, j - 2 * w, j - w);
  }
}

// Frame k when its picture jump stands far above those around it, the
// frames from `end` on not known (or not there).
void TransitionFinder::State::look_for_clear_cut(std::size_t k,
                                                 std::size_t end) {
  const double jump = frame(k).jump;
  if (jump < kCutPicture) return;
  const std::size_t from =
      std::max<std::size_t>(1, k - std::min(k, kCutContext));
  const std::size_t to = std::min(end, k + kCutContext + 1);
  std::optional<double> around;
  for (std::size_t i = from; i < to; ++i) {
    if (i != k)
      around = std::max(around.value_or(frame(i).jump), frame(i).jump);
  }
  if (around && jump < kCutRatio * *around) return;
  auto at = std::find_if(candidates.rbegin(), candidates.rend(),
                         [k](const Candidate& c) { return c.frame <= k; });
  if (at != candidates.rend() && at->frame == k) {
    at->clear = true;
  } else {
    candidates.insert(
        at.base(), Candidate{.frame = k, .step = frame(k).step, .clear = true});
  }
}

// A cut at k is a flash when two frames a < k <= b at most kFlashSpan apart,
// other than k - 1 and k, differ by less than kFlashRatio of its jump.
void TransitionFinder::State::look_for_flash(Candidate& candidate,
                                             std::size_t end) {
  const std::size_t k = candidate.frame;
  const double limit = kFlashRatio * frame(k).jump;
  for (std::size_t a = k - std::min(k, kFlashSpan); a < k; ++a) {
    for (std::size_t b = k; b < std::min(end, a + kFlashSpan + 1); ++b) {
      if ((a != k - 1 || b != k) &&
          picture_difference(frame(a), frame(b)) < limit) {
        candidate.flash = true;
        return;
      }
    }
  }
}

// Frame j in or out of a run of flat frames; a run that ends is a fade to
// confirm kFadeContext frames later.
void TransitionFinder::State::follow_flat_run(std::size_t j) {
  const Frame& f = frame(j);
  if (f.flat && !run) {
    run = FlatRun{.first = j, .previous = {}, .context = {}, .jump = f.jump};
    if (j > 0) {
      run->previous = frame(j - 1).histogram;
      run->context = frame(j - std::min(j, kFadeContext)).histogram;
    }
  } else if (!f.flat && run) {
    if (run->first > 0 && !(run->jump > kFadeJump && f.jump > kFadeJump)) {
      pending_fades.push_back(
          {.fade = {.kind = Kind::fade,
                    .first = run->first,
                    .last = j - 1,
                    .start = j,
                    .strength = distance(run->previous, f.histogram)},
           .context = run->context});
    }
    run.reset();
  }
  std::erase_if(pending_fades, [&](const PendingFade& p) {
    if (p.fade.last + kFadeContext != j) return false;
    if (distance(p.context, f.histogram) > kFadeChange) fades.push_back(p.fade);
    return true;
  });
}

// The change across middle frame t of the width's dissolve, and whether it
// passes every test but being the most within the width.
void TransitionFinder::State::measure_dissolve(std::size_t w_index,
                                               std::size_t t) {
  const std::size_t w = kDissolveWidths[w_index];
  const Frame& a = frame(t - w);
  const Frame& b = frame(t + w);
  const double d = distance(a, b);
  WidthChanges& changes = widths[w_index];
  changes.change[t % kKept] = d;
  bool mixed = d >= kDissolveChange && a.variance >= kFlatVariance &&
               b.variance >= kFlatVariance;
  // No step makes most of the change (a cut or a flash, not a mix).
  for (std::size_t i = t - w + 1; mixed && i <= t + w; ++i) {
    mixed = !(frame(i).step > kDissolveSpread * d);
  }
  if (mixed) {  // not the same picture lighter or darker
    const Picture za = zscored(picture(a)), zb = zscored(picture(b));
    double total = 0.0;
    for (std::size_t c = 0; c < kCells; ++c) total += za[c] * zb[c];
    mixed = !(total / static_cast<double>(kCells) > kSamePicture) &&
            is_mix(a, frame(t), b);
  }
  changes.mixed[t % kKept] = mixed;
}

// Middle frame t of the width's dissolve, its changes known up to middle
// frame `last`.
void TransitionFinder::State::look_for_dissolve(std::size_t w_index,
                                                std::size_t t,
                                                std::size_t last) {
  const std::size_t w = kDissolveWidths[w_index];
  const WidthChanges& changes = widths[w_index];
  if (!changes.mixed[t % kKept]) return;
  const double d = changes.change[t % kKept];
  for (std::size_t u = std::max(w, t - w); u <= std::min(last, t + w); ++u) {
    if (changes.change[u % kKept] > d) return;
  }
  dissolves.push_back({.change = d, .middle = t, .width = w});
}

std::vector<Transition> TransitionFinder::finish(
    std::span<const std::size_t> keyframes) {
  State& s = *state_;
  const std::size_t n = s.count;
  if (s.rule == Rule::gradual) {
    // The tests that waited for frames past the end.
    for (std::size_t k = std::max<std::size_t>(1, n - std::min(n, kCutContext));
         k < n; ++k) {
      s.look_for_clear_cut(k, n);
    }
    for (Candidate& c : s.candidates) {
      if (c.frame + kFlashSpan > n) s.look_for_flash(c, n);
    }
    for (const PendingFade& p : s.pending_fades) {
      if (distance(p.context, s.frame(n - 1).histogram) > kFadeChange)
        s.fades.push_back(p.fade);
    }
    for (std::size_t w_index = 0; w_index < kDissolveWidths.size(); ++w_index) {
      const std::size_t w = kDissolveWidths[w_index];
      if (n < 2 * w + 1) continue;
      for (std::size_t t = std::max(w, n - std::min(n, 2 * w)); t + w < n;
           ++t) {
        s.look_for_dissolve(w_index, t, n - 1 - w);
      }
    }
  }
  return s.resolve(keyframes);
}

std::vector<Transition> TransitionFinder::State::resolve(
    std::span<const std::size_t> keyframes) {
  std::vector<std::size_t> listed;
  for (std::size_t k : keyframes) {
    if (k > 0) listed.push_back(k);
  }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  const auto is_listed = [&](std::size_t k) {
    return std::binary_search(listed.begin(), listed.end(), k);
  };
  std::vector<Transition> cuts;
  std::size_t listed_found = 0;
  for (const Candidate& c : candidates) {
    const std::size_t k = c.frame;
    const bool kept = is_listed(k);
    listed_found += kept ? 1 : 0;
    if (rule == Rule::cuts) {
      if (kept) cuts.push_back({Kind::cut, k, k, k, c.step});
      continue;
    }
    const bool added =
        c.clear && !is_listed(k - 1) && !kept && !is_listed(k + 1);
    if ((kept || added) && !c.flash)
      cuts.push_back({Kind::cut, k, k, k, c.step});
  }
  if (listed_found != listed.size()) {
    fatal_internal("TransitionFinder: a keyframe was not offered as one");
  }
  if (rule == Rule::cuts) return cuts;

  // The strongest dissolves first (ties: earliest, narrowest), each clear of
  // those taken.
  std::sort(dissolves.begin(), dissolves.end(),
            [](const Dissolve& x, const Dissolve& y) {
              if (x.change != y.change) return x.change > y.change;
              if (x.middle != y.middle) return x.middle < y.middle;
              return x.width < y.width;
            });
  std::vector<Dissolve> taken;
  for (const Dissolve& d : dissolves) {
    const bool clear =
        std::all_of(taken.begin(), taken.end(), [&](const Dissolve& o) {
          const std::size_t apart =
              d.middle > o.middle ? d.middle - o.middle : o.middle - d.middle;
          return apart > std::max(d.width, o.width);
        });
    if (clear) taken.push_back(d);
  }
  std::sort(
      taken.begin(), taken.end(),
      [](const Dissolve& x, const Dissolve& y) { return x.middle < y.middle; });
  // Fades first: they win an overlap.
  std::vector<Transition> gradual;
  const auto add_gradual = [&](const Transition& g) {
    const bool apart =
        std::all_of(gradual.begin(), gradual.end(), [&](const Transition& o) {
          return g.last + 1 < o.first || g.first > o.last + 1;
        });
    if (apart) gradual.push_back(g);
  };
  for (const Transition& f : fades) add_gradual(f);
  for (const Dissolve& d : taken) {
    add_gradual({Kind::dissolve, d.middle - d.width, d.middle + d.width,
                 d.middle, d.change});
  }
  // A fade takes the cuts next to its flat frames or among them (into and out
  // of the flat picture); a dissolve has no step as big as a cut's: the cuts
  // inside it are its own steps.
  std::erase_if(cuts, [&](const Transition& cut) {
    const std::size_t k = cut.start;
    return std::any_of(
        gradual.begin(), gradual.end(), [k](const Transition& g) {
          return g.kind == Kind::fade ? g.first <= k + 1 && k <= g.last + 1
                                      : g.first < k && k <= g.last;
        });
  });
  std::erase_if(gradual, [&](const Transition& g) {
    const auto next =
        std::lower_bound(cuts.begin(), cuts.end(), g.first,
                         [](const Transition& cut, std::size_t frame) {
                           return cut.start + 1 < frame;
                         });
    return next != cuts.end() && next->start <= g.last + 1;
  });
  std::vector<Transition> found = std::move(cuts);
  found.insert(found.end(), gradual.begin(), gradual.end());
  std::stable_sort(found.begin(), found.end(),
                   [](const Transition& x, const Transition& y) {
                     return x.start < y.start;
                   });
  return found;
}

}  // namespace vantrel::transitions
