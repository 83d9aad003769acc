#include "core/transitions_frames.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vantrel::transitions {
namespace {

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

// The coarse picture: each cell's mean luma, row by row.
Picture picture(const Frame& f) {
  Picture p;
  for (std::size_t c = 0; c < kCells; ++c) {
    p[c] = static_cast<double>(f.cells[c]) / static_cast<double>(f.samples[c]);
  }
  return p;
}

// The picture less its mean, over its spread.
Picture zscored(const Picture& p) {
  double total = 0.0;
  for (double v : p) total += v;
  const double mean = total / static_cast<double>(kCells);
  double squares = 0.0;
  for (double v : p) squares += (v - mean) * (v - mean);
  const double spread = std::sqrt(squares / static_cast<double>(kCells)) + 1e-6;
  Picture z;
  for (std::size_t c = 0; c < kCells; ++c) z[c] = (p[c] - mean) / spread;
  return z;
}

}  // namespace

const Frame& FrameRing::take(const FrameMeasures& m) {
  const std::size_t j = count_++;
  Frame& f = ring_[j % kKept];
  const std::uint64_t pixels = std::uint64_t{m.width} * m.height;
  f.histogram = Histogram{.counts = m.hist, .pixels = pixels};
  f.cells = m.cells;
  if (m.width != samples_width_ || m.height != samples_height_ || j == 0) {
    samples_ = cell_samples(m.width, m.height);
    samples_width_ = m.width;
    samples_height_ = m.height;
  }
  f.samples = samples_;
  f.width = m.width;
  f.height = m.height;
  f.mean = pixels == 0
               ? 0.0
               : static_cast<double>(m.sum) / static_cast<double>(pixels);
  f.variance = pixels == 0 ? 0.0
                           : static_cast<double>(m.sum_sq) /
                                     static_cast<double>(pixels) -
                                 f.mean * f.mean;
  f.flat = f.variance < kRule.flat_variance &&
           (f.mean < kRule.dark || f.mean > kRule.bright);
  const Frame* before = j == 0 ? nullptr : &(*this)[j - 1];
  f.step = before ? distance(*before, f) : 0.0;
  f.jump = before && jumps_ ? picture_difference(*before, f) : 0.0;
  return f;
}

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

// Of the same size, one division per cell of the difference of the sums.
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

double correlation(const Frame& a, const Frame& b) {
  const Picture za = zscored(picture(a)), zb = zscored(picture(b));
  double total = 0.0;
  for (std::size_t c = 0; c < kCells; ++c) total += za[c] * zb[c];
  return total / static_cast<double>(kCells);
}

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
    const double off = pt[c] - (alpha * pa[c] + (1.0 - alpha) * pb[c]);
    residual += off * off;
  }
  return std::sqrt(residual / den) <= kRule.mix_residual &&
         kRule.mix_low <= alpha && alpha <= kRule.mix_high;
}

}  // namespace vantrel::transitions
