#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/frame_measures.h"

namespace vantrel {
namespace {

// Each sample on its own against the measures' runs of cell columns: the
// cells by their coordinates, the level and spread by their definitions.
TEST(FrameMeasures, MatchSampleBySampleSumsOnRandomPlanes) {
  std::mt19937 rng(19);
  const std::pair<std::size_t, std::size_t> dims[] = {
      {160, 90}, {128, 96}, {120, 96}, {1, 1},   {7, 3},
      {31, 17},  {33, 19},  {161, 1},  {721, 577}, {1920, 1080}};
  for (const auto& [w, h] : dims) {
    for (int round = 0; round < 4; ++round) {
      std::vector<std::uint8_t> plane(w * h);
      for (auto& v : plane) v = static_cast<std::uint8_t>(rng());
      if (round == 0) std::fill(plane.begin(), plane.end(), 255);
      const FrameMeasures m = measure_frame(plane, w, h);
      std::uint64_t sum = 0, sum_sq = 0;
      std::vector<std::uint64_t> hist(64, 0), cells(32 * 18, 0);
      for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
          const std::uint64_t v = plane[y * w + x];
          sum += v;
          sum_sq += v * v;
          ++hist[v / 4];
          // The cell whose [c * w / 32, (c + 1) * w / 32) span holds x in
          // real numbers, likewise y.
          std::size_t c = 0, r = 0;
          while ((c + 1) * w <= x * 32) ++c;
          while ((r + 1) * h <= y * 18) ++r;
          cells[r * 32 + c] += v;
        }
      }
      EXPECT_EQ(m.width, w);
      EXPECT_EQ(m.height, h);
      EXPECT_EQ(m.sum, sum) << w << "x" << h;
      EXPECT_EQ(m.sum_sq, sum_sq) << w << "x" << h;
      for (std::size_t b = 0; b < 64; ++b) EXPECT_EQ(m.hist[b], hist[b]) << b;
      for (std::size_t c = 0; c < cells.size(); ++c) {
        EXPECT_EQ(m.cells[c], cells[c]) << w << "x" << h << " cell " << c;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel
