// Every form of the metric kernels against the plain form, on random planes,
// sizes, positions and windows. Results must be bit-identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "metrics/metrics.h"
#include "metrics/metrics_internal.h"

namespace vantrel::simd_metrics {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FormsTest : public ::testing::Test {
 protected:
  std::mt19937_64 rng{0x5eed'1234'abcdULL};

  std::size_t pick(std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
  }
  std::int32_t pick_i32(std::int32_t lo, std::int32_t hi) {
    return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
  }

  // Random content of one of several kinds: noise, flat 0 or 255, two
  // values (many ties), and smooth texture.
  Bytes plane(std::size_t width, std::size_t height) {
    Bytes bytes(width * height);
    switch (pick(0, 5)) {
      case 0:
        for (auto& b : bytes) b = static_cast<std::uint8_t>(pick(0, 255));
        break;
      case 1:
        std::ranges::fill(bytes, 0);
        break;
      case 2:
        std::ranges::fill(bytes, 255);
        break;
      case 3: {
        const auto lo = static_cast<std::uint8_t>(pick(0, 254));
        for (auto& b : bytes) b = static_cast<std::uint8_t>(lo + pick(0, 1));
        break;
      }
      default: {
        const std::size_t fx = pick(1, 9), fy = pick(1, 9), noise = pick(0, 40);
        for (std::size_t y = 0; y < height; ++y) {
          for (std::size_t x = 0; x < width; ++x) {
            const std::size_t v = (x * fx + y * fy + (x * y) % 7) % 200 +
                                  pick(0, noise);
            bytes[y * width + x] = static_cast<std::uint8_t>(std::min<std::size_t>(v, 255));
          }
        }
      }
    }
    return bytes;
  }

  // `source` moved by a few pixels with some pixels disturbed, so that the
  // best match is mostly found away from (0, 0).
  Bytes shifted(const Bytes& source, std::size_t width, std::size_t height) {
    Bytes bytes(source.size());
    const std::size_t sx = pick(0, 5), sy = pick(0, 5);
    for (std::size_t y = 0; y < height; ++y) {
      for (std::size_t x = 0; x < width; ++x) {
        bytes[y * width + x] =
            source[std::min(y + sy, height - 1) * width + std::min(x + sx, width - 1)];
      }
    }
    const std::size_t disturbed = pick(0, bytes.size() / 8);
    for (std::size_t i = 0; i < disturbed && !bytes.empty(); ++i) {
      bytes[pick(0, bytes.size() - 1)] = static_cast<std::uint8_t>(pick(0, 255));
    }
    return bytes;
  }

  std::size_t edge() {
    static constexpr std::size_t kEdges[] = {1,  2,  15, 16, 17, 31, 32, 33,
                                             47, 48, 49, 63, 64, 65, 79, 80,
                                             81, 96, 97, 111, 112, 113};
    return pick(0, 2) == 0 ? pick(1, 200) : kEdges[pick(0, std::size(kEdges) - 1)];
  }

  std::int32_t radius() {
    switch (pick(0, 4)) {
      case 0: return pick_i32(-6, -1);
      case 1: return 0;
      case 2: return pick_i32(5, 12);
      default: return pick_i32(1, 4);
    }
  }
};

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

void expect_same(const SuperblockSearchResults& want,
                 const SuperblockSearchResults& got, const char* form) {
  EXPECT_EQ(want.sad, got.sad) << form;
  EXPECT_EQ(want.dx, got.dx) << form;
  EXPECT_EQ(want.dy, got.dy) << form;
}

TEST_F(FormsTest, ListsPlainFirstAndProductionLast) {
  const auto forms = available_kernels();
  ASSERT_GE(forms.size(), 2u);
  EXPECT_EQ(forms.front(), &plain_kernels());
  EXPECT_EQ(forms.back(), &production_kernels());
#if defined(__x86_64__)
  const bool has_sse2 = std::ranges::any_of(
      forms, [](const Kernels* k) { return std::string_view(k->name) == "sse2"; });
  EXPECT_TRUE(has_sse2);
#endif
}

TEST_F(FormsTest, MotionAnalysisMatchesPlain) {
  const Kernels& plain = plain_kernels();
  for (int iteration = 0; iteration < 400; ++iteration) {
    const std::size_t width = edge(), height = edge();
    const Bytes prev = plane(width, height);
    const Bytes curr = pick(0, 3) == 0 ? plane(width, height) : shifted(prev, width, height);
    const std::int32_t search_radius = radius();
    const std::int32_t intra_thresh = pick_i32(-100, 3000);
    const MeAnalysis want = meanalysis_xvid_like(prev, curr, width, height,
                                                 search_radius, intra_thresh, plain);
    for (const Kernels* form : available_kernels()) {
      const MeAnalysis got = meanalysis_xvid_like(prev, curr, width, height,
                                                  search_radius, intra_thresh, *form);
      ASSERT_EQ(bits(want.score), bits(got.score))
          << form->name << " " << width << "x" << height << " r" << search_radius;
      ASSERT_EQ(want.intra_blocks, got.intra_blocks) << form->name;
      ASSERT_EQ(want.total_blocks, got.total_blocks) << form->name;
      ASSERT_EQ(want.mc_sad, got.mc_sad) << form->name;
    }
  }
}

TEST_F(FormsTest, SuperblockSearchMatchesPlainInClippedWindows) {
  const Kernels& plain = plain_kernels();
  for (int iteration = 0; iteration < 1000; ++iteration) {
    const std::size_t width = pick(32, 120), height = pick(32, 90);
    const Bytes prev = plane(width, height);
    const Bytes curr = shifted(prev, width, height);
    // Bases on every border, including 0 and the last position.
    const std::size_t base_x = pick(0, 2) == 0 ? (pick(0, 1) ? 0 : width - 32) : pick(0, width - 32);
    const std::size_t base_y = pick(0, 2) == 0 ? (pick(0, 1) ? 0 : height - 32) : pick(0, height - 32);
    SearchWindow window;
    if (pick(0, 1) == 0) {
      window = superblock_search_window(base_x, base_y, radius(),
                                        pick(0, width - 32), pick(0, height - 32));
    } else {
      // Raw windows reaching left of or above the plane: those candidates
      // are skipped.
      const auto reach_x = static_cast<std::int32_t>(width - 32 - base_x);
      const auto reach_y = static_cast<std::int32_t>(height - 32 - base_y);
      window.min_offset_x = pick_i32(-24, 3);
      window.max_offset_x = pick_i32(std::min(window.min_offset_x - 2, reach_x), reach_x);
      window.min_offset_y = pick_i32(-24, 3);
      window.max_offset_y = pick_i32(std::min(window.min_offset_y - 2, reach_y), reach_y);
    }
    const auto want =
        search_superblock_matches(prev, curr, width, base_x, base_y, window, plain);
    for (const Kernels* form : available_kernels()) {
      expect_same(want,
                  search_superblock_matches(prev, curr, width, base_x, base_y, window, *form),
                  form->name);
    }
  }
}

TEST_F(FormsTest, BlockKernelsMatchPlain) {
  const Kernels& plain = plain_kernels();
  for (int iteration = 0; iteration < 1500; ++iteration) {
    const std::size_t width = pick(16, 90), height = pick(16, 70);
    const Bytes prev = plane(width, height);
    const Bytes curr = pick(0, 1) ? plane(width, height) : shifted(prev, width, height);
    const std::size_t cx = pick(0, width - 16), cy = pick(0, height - 16);
    const std::size_t px = pick(0, width - 16), py = pick(0, height - 16);
    const std::int32_t search_radius = radius();
    const auto want_sad = sad16x16(prev, curr, width, cx, cy, px, py, plain);
    const auto want_dev = dev_block(curr, width, cx, cy, 16, 16, plain);
    const auto want_match = find_best_match_for_block(prev, curr, width, height,
                                                      cx, cy, search_radius, plain);
    for (const Kernels* form : available_kernels()) {
      EXPECT_EQ(want_sad, sad16x16(prev, curr, width, cx, cy, px, py, *form)) << form->name;
      EXPECT_EQ(want_dev, dev_block(curr, width, cx, cy, 16, 16, *form)) << form->name;
      const auto got = find_best_match_for_block(prev, curr, width, height, cx,
                                                 cy, search_radius, *form);
      EXPECT_EQ(want_match.sad, got.sad) << form->name;
      EXPECT_EQ(want_match.dx, got.dx) << form->name;
      EXPECT_EQ(want_match.dy, got.dy) << form->name;
    }
  }
}

TEST_F(FormsTest, SadU8MatchesPlainAtEveryLengthAndOffset) {
  const Bytes a = plane(300, 1), b = plane(300, 1);
  for (std::size_t length = 0; length <= 100; ++length) {
    for (std::size_t offset = 0; offset < 3; ++offset) {
      const Plane pa = std::span(a).subspan(offset, length);
      const Plane pb = std::span(b).subspan(2 - offset, length);
      const auto want = sad_u8(pa, pb, plain_kernels());
      for (const Kernels* form : available_kernels()) {
        EXPECT_EQ(want, sad_u8(pa, pb, *form)) << form->name << " " << length;
      }
    }
  }
  for (int iteration = 0; iteration < 50; ++iteration) {
    const std::size_t length = pick(100, 5000);
    const Bytes x = plane(length, 1), y = plane(length, 1);
    for (const Kernels* form : available_kernels()) {
      EXPECT_EQ(sad_u8(x, y, plain_kernels()), sad_u8(x, y, *form)) << form->name;
    }
  }
}

TEST_F(FormsTest, HistogramsAndDistancesMatchPlain) {
  const Kernels& plain = plain_kernels();
  for (int iteration = 0; iteration < 400; ++iteration) {
    const std::size_t width = edge(), height = edge();
    const Bytes prev = plane(width, height);
    const Bytes curr = shifted(prev, width, height);
    // Sometimes claim more rows than the frame holds: all-zero grid.
    const std::size_t claimed_height = pick(0, 9) == 0 ? height + 1 : height;
    const auto want_hist = histogram_16(curr, plain);
    const auto want_grid = grid_histogram_16(curr, width, claimed_height, plain);
    const auto prev_hist = histogram_16(prev, plain);
    const auto prev_grid = grid_histogram_16(prev, width, height, plain);
    const std::size_t total = curr.size();
    for (const Kernels* form : available_kernels()) {
      EXPECT_EQ(want_hist, histogram_16(curr, *form)) << form->name;
      EXPECT_EQ(want_grid, grid_histogram_16(curr, width, claimed_height, *form))
          << form->name;
      EXPECT_EQ(bits(histogram_distance_16_from_hists(prev_hist, want_hist, total, plain)),
                bits(histogram_distance_16_from_hists(prev_hist, want_hist, total, *form)))
          << form->name;
      EXPECT_EQ(
          bits(grid_histogram_distance_16_from_hists(prev_grid, want_grid, total, plain)),
          bits(grid_histogram_distance_16_from_hists(prev_grid, want_grid, total, *form)))
          << form->name;
      EXPECT_EQ(bits(grid_histogram_median_cell_distance_16_from_hists(prev_grid,
                                                                       want_grid, plain)),
                bits(grid_histogram_median_cell_distance_16_from_hists(prev_grid,
                                                                       want_grid, *form)))
          << form->name;
    }
  }
}

TEST_F(FormsTest, HistogramsOfVeryWideRowsMatchPlain) {
  // Cells wider than 4080 bytes, where byte counters are flushed mid-row.
  for (int iteration = 0; iteration < 4; ++iteration) {
    const std::size_t width = pick(16321, 17000), height = pick(1, 5);
    const Bytes frame = plane(width, height);
    for (const Kernels* form : available_kernels()) {
      EXPECT_EQ(histogram_16(frame, plain_kernels()), histogram_16(frame, *form))
          << form->name;
      EXPECT_EQ(grid_histogram_16(frame, width, height, plain_kernels()),
                grid_histogram_16(frame, width, height, *form))
          << form->name;
    }
  }
}

TEST_F(FormsTest, IntersectionsMatchPlainOnFullRangeCounts) {
  for (int iteration = 0; iteration < 300; ++iteration) {
    std::vector<std::uint32_t> prev(pick(0, 1) ? 16 : 256), curr(prev.size());
    for (std::size_t i = 0; i < prev.size(); ++i) {
      // Counts above 2^31 catch signed lane minimums.
      const bool large = pick(0, 1);
      prev[i] = static_cast<std::uint32_t>(large ? pick(0, UINT32_MAX) : pick(0, 100));
      curr[i] = static_cast<std::uint32_t>(large ? pick(0, UINT32_MAX) : pick(0, 100));
    }
    const auto want = plain_kernels().intersection(prev, curr);
    for (const Kernels* form : available_kernels()) {
      EXPECT_EQ(want, form->intersection(prev, curr)) << form->name;
    }
  }
}

TEST_F(FormsTest, ReductionMatchesPlainOnPackedAndPaddedRows) {
  for (int iteration = 0; iteration < 800; ++iteration) {
    const std::size_t src_width = pick(0, 5) == 0 ? 1 : pick(1, 300);
    const std::size_t src_height = pick(0, 5) == 0 ? 1 : pick(1, 200);
    const std::size_t stride = src_width + (pick(0, 2) == 0 ? 0 : pick(1, 40));
    // Exactly the bytes the layout needs, in an allocation of that size: the
    // last row has no padding, so a read past it is caught under the
    // sanitizers.
    const Bytes padded = plane(stride, src_height);
    const Bytes src(padded.begin(),
                    padded.begin() + static_cast<std::ptrdiff_t>(
                                         (src_height - 1) * stride + src_width));
    std::size_t dst_width, dst_height;
    switch (pick(0, 4)) {
      case 0:  // same size: a copy
        dst_width = src_width;
        dst_height = src_height;
        break;
      case 1:
        dst_width = 1;
        dst_height = 1;
        break;
      case 2:  // wider than one column map
        dst_width = pick(161, 400);
        dst_height = pick(1, 12);
        break;
      default:  // mostly reductions, sometimes enlargements or empty
        dst_width = pick(0, src_width + 10);
        dst_height = pick(0, src_height + 10);
    }
    Bytes want = {1, 2, 3};
    downscale_gray8_nearest(src, src_width, src_height, stride,
                            dst_width, dst_height, want, plain_kernels());
    for (const Kernels* form : available_kernels()) {
      Bytes got = {9};
      downscale_gray8_nearest(src, src_width, src_height, stride, dst_width,
                              dst_height, got, *form);
      ASSERT_EQ(want, got) << form->name << " " << src_width << "x" << src_height
                           << "/" << stride << " -> " << dst_width << "x"
                           << dst_height;
    }
  }
}

}  // namespace
}  // namespace vantrel::simd_metrics
