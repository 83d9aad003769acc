// The measures the transition trackers share: the last frames' measures in
// a ring, and the exact arithmetic that compares two frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/frame_measures.h"
#include "core/transitions_rule.h"

namespace vantrel::transitions {

inline constexpr std::size_t kBins = FrameMeasures::kBins;
inline constexpr std::size_t kCells =
    FrameMeasures::kColumns * FrameMeasures::kRows;
inline constexpr std::size_t kKept = kRule.frames_kept();

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

// The last kKept frames' measures, by frame number.
class FrameRing {
 public:
  // `jumps`: measure each frame's coarse-picture jump (else 0).
  explicit FrameRing(bool jumps) : jumps_(jumps) {}

  // Keeps the next frame's measures in place of the oldest ones.
  const Frame& take(const FrameMeasures& m);
  // Frame i, one of the last kKept taken.
  const Frame& operator[](std::size_t i) const { return ring_[i % kKept]; }
  std::size_t count() const { return count_; }  // frames taken

 private:
  bool jumps_;
  std::size_t count_ = 0;
  std::array<Frame, kKept> ring_{};
  std::array<std::uint32_t, kCells> samples_{};  // of the last size seen
  std::uint32_t samples_width_ = 0;
  std::uint32_t samples_height_ = 0;
};

// num / den rounded once to the nearest double (ties to even), as Python
// divides integers: the histogram distances are such quotients, of integers
// that can pass 2^53 when pictures of two sizes compare.
double exact_ratio(unsigned __int128 num, std::uint64_t den);

// Half the L1 distance between the histograms as fractions: 0 to 1, from an
// integer sum.
double distance(const Histogram& a, const Histogram& b);
inline double distance(const Frame& a, const Frame& b) {
  return distance(a.histogram, b.histogram);
}

// The mean absolute difference of the frames' coarse pictures (cell means).
double picture_difference(const Frame& a, const Frame& b);

// The correlation of the frames' coarse pictures.
double correlation(const Frame& a, const Frame& b);

// Frame t as a mix alpha A + (1 - alpha) B of the frames a and b: within
// [mix_low, mix_high] and leaving at most mix_residual of |A - B|; false
// when A and B are the same picture.
bool is_mix(const Frame& a, const Frame& t, const Frame& b);

}  // namespace vantrel::transitions
