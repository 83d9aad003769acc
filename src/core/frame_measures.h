// Cheap whole-frame measures of a working plane, kept per frame for the
// scene-list methods that look for gradual transitions (dissolves, fades):
// the luma level and spread, a finer histogram and a coarse picture.
// Integer sums only, so that every build gives the same values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel {

struct FrameMeasures {
  static constexpr std::size_t kBins = 64;       // luma >> 2
  static constexpr std::size_t kColumns = 32;    // of the coarse picture
  static constexpr std::size_t kRows = 18;
  std::uint32_t width;   // of the measured plane
  std::uint32_t height;
  std::uint64_t sum;     // of the samples
  std::uint64_t sum_sq;  // of their squares
  std::array<std::uint32_t, kBins> hist;
  // Sums of the samples of each cell, row by row: the sample at (x, y) lies
  // in column x * kColumns / width and row y * kRows / height (integer
  // division), so a plane narrower than the grid leaves some cells empty. A
  // cell holds at most ceil(width / 32) * ceil(height / 18) samples: under
  // 2^24 for any plane the decoder delivers (at most 16384 x 16384), so its
  // sum cannot reach 2^32.
  std::array<std::uint32_t, kColumns * kRows> cells;
};

// The measures of a width x height plane stored row by row without padding.
FrameMeasures measure_frame(std::span<const std::uint8_t> plane,
                            std::size_t width, std::size_t height);

}  // namespace vantrel
