// Worked numbers of the frame metrics and the motion-estimation analysis.
#include "metrics/metrics.h"
#include "metrics/metrics_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vantrel::simd_metrics {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kWidth = 160, kHeight = 90;

// A 16 x 16 block of value `low` with `count` pixels at `high`, at positions
// drawn from `rng`. Its deviation depends only on count, low and high.
void fill_block(Bytes& plane, std::size_t width, std::size_t x, std::size_t y,
                std::size_t count, std::uint8_t low, std::uint8_t high,
                std::mt19937& rng) {
  std::vector<std::size_t> positions(256);
  for (std::size_t i = 0; i < 256; ++i) positions[i] = i;
  std::shuffle(positions.begin(), positions.end(), rng);
  for (std::size_t i = 0; i < 256; ++i) {
    const std::size_t p = positions[i];
    plane[(y + p / 16) * width + x + p % 16] = i < count ? high : low;
  }
}

// Every whole block of the plane given `count` pixels at `high` over `low`,
// each block its own pattern, so no shifted block matches exactly.
Bytes sparse_texture(std::size_t width, std::size_t height, std::size_t count,
                     std::uint8_t low, std::uint8_t high) {
  Bytes plane(width * height, low);
  std::mt19937 rng(7);
  for (std::size_t y = 0; y + 16 <= height; y += 16) {
    for (std::size_t x = 0; x + 16 <= width; x += 16) {
      fill_block(plane, width, x, y, count, low, high, rng);
    }
  }
  return plane;
}

// Flat `base` plane with `raised[i]` pixels raised by one in interior block
// i (row-major over the interior). Against a flat previous frame every
// candidate of such a block ties, at SAD = deviation = raised count.
Bytes flat_with_raised(std::size_t width, std::size_t height,
                       const std::vector<std::size_t>& raised) {
  Bytes plane(width * height, 100);
  const std::size_t mb_width = (width + 15) / 16;
  for (std::size_t i = 0; i < raised.size(); ++i) {
    const std::size_t x = 16 * (1 + i % (mb_width - 2));
    const std::size_t y = 16 * (1 + i / (mb_width - 2));
    for (std::size_t p = 0; p < raised[i]; ++p) {
      plane[(y + p / 16) * width + x + p % 16] = 101;
    }
  }
  return plane;
}

TEST(Reduction, SamplesTopLeftCornerOfEachFootprint) {
  // Only the pixels at multiples of 12 in both directions differ from the
  // rest: the reduction must see exactly those.
  Bytes marked(1920 * 1080, 0), unmarked(1920 * 1080, 255);
  for (std::size_t y = 0; y < 1080; y += 12) {
    for (std::size_t x = 0; x < 1920; x += 12) {
      marked[y * 1920 + x] = 255;
      unmarked[y * 1920 + x] = 0;
    }
  }
  Bytes out;
  downscale_gray8_nearest(marked, 1920, 1080, 1920, 160, 90, out);
  EXPECT_EQ(out, Bytes(160 * 90, 255));
  downscale_gray8_nearest(unmarked, 1920, 1080, 1920, 160, 90, out);
  EXPECT_EQ(out, Bytes(160 * 90, 0));

  downscale_gray8_nearest(Bytes{10, 20, 30, 40, 50}, 5, 1, 5, 2, 1, out);
  EXPECT_EQ(out, (Bytes{10, 30}));
}

TEST(Reduction, EqualSizeCopiesAndEmptyDestinationClears) {
  const Bytes src = {1, 2, 3, 4, 5, 6};
  Bytes out = {9, 9};
  downscale_gray8_nearest(src, 3, 2, 3, 3, 2, out);
  EXPECT_EQ(out, src);
  downscale_gray8_nearest(src, 3, 2, 3, 0, 2, out);
  EXPECT_TRUE(out.empty());
  out = {9};
  downscale_gray8_nearest(src, 3, 2, 3, 3, 0, out);
  EXPECT_TRUE(out.empty());
}

TEST(Reduction, PaddedRowsGiveThePackedResultAndSkipThePadding) {
  // A 7 x 5 plane in rows of 11 bytes, padding 0xEE, visible pixels below it.
  constexpr std::size_t kW = 7, kH = 5, kStride = 11;
  Bytes packed(kW * kH), padded((kH - 1) * kStride + kW, 0xEE);
  for (std::size_t y = 0; y < kH; ++y) {
    for (std::size_t x = 0; x < kW; ++x) {
      packed[y * kW + x] = padded[y * kStride + x] =
          static_cast<std::uint8_t>(10 * y + x);
    }
  }
  Bytes from_packed, from_padded;
  for (const auto& [dst_w, dst_h] : {std::pair<std::size_t, std::size_t>{3, 2},
                                    {7, 5},
                                    {1, 1},
                                    {9, 8}}) {
    downscale_gray8_nearest(packed, kW, kH, kW, dst_w, dst_h, from_packed);
    downscale_gray8_nearest(padded, kW, kH, kStride, dst_w, dst_h, from_padded);
    EXPECT_EQ(from_padded, from_packed) << dst_w << "x" << dst_h;
  }
  // (x * 7 / 3, y * 5 / 2) for x < 3, y < 2: columns 0, 2, 4; rows 0, 2.
  downscale_gray8_nearest(padded, kW, kH, kStride, 3, 2, from_padded);
  EXPECT_EQ(from_padded, (Bytes{0, 2, 4, 20, 22, 24}));
}

TEST(Histograms, BinEdgesAndEmptyFrame) {
  const Hist16 hist = histogram_16(Bytes{15, 16, 0, 255, 31, 32});
  EXPECT_EQ(hist[0], 2u);
  EXPECT_EQ(hist[1], 2u);
  EXPECT_EQ(hist[2], 1u);
  EXPECT_EQ(hist[15], 1u);
  EXPECT_EQ(histogram_16(Bytes{}), Hist16{});
  EXPECT_EQ(histogram_16(Bytes(100, 255))[15], 100u);
}

TEST(Histograms, GridRowsOfHeight90SplitAt23_45_68) {
  // One column; the last row of each expected cell is 255, the others 0.
  Bytes plane(90, 0);
  for (const std::size_t last_row : {22, 44, 67, 89}) plane[last_row] = 255;
  const GridHist16 grid = grid_histogram_16(plane, 1, 90);
  const std::uint32_t rows_per_cell[4] = {23, 22, 23, 22};
  for (std::size_t cell_y = 0; cell_y < 4; ++cell_y) {
    const std::size_t cell = cell_y * 4;
    EXPECT_EQ(grid[cell * 16 + 15], 1u) << cell_y;
    EXPECT_EQ(grid[cell * 16 + 0], rows_per_cell[cell_y] - 1) << cell_y;
  }
}

TEST(Histograms, GridOfThreeByOneUsesCellsZeroToTwo) {
  const GridHist16 grid = grid_histogram_16(Bytes{0, 16, 255}, 3, 1);
  GridHist16 want{};
  want[0 * 16 + 0] = 1;
  want[1 * 16 + 1] = 1;
  want[2 * 16 + 15] = 1;
  EXPECT_EQ(grid, want);
}

TEST(Histograms, GridOfShortOrEmptyPlaneIsZero) {
  EXPECT_EQ(grid_histogram_16(Bytes(11, 7), 3, 4), GridHist16{});
  EXPECT_EQ(grid_histogram_16(Bytes(12, 7), 0, 4), GridHist16{});
  EXPECT_EQ(grid_histogram_16(Bytes(12, 7), 3, 0), GridHist16{});
  EXPECT_EQ(grid_histogram_16(Bytes(12, 7), SIZE_MAX, 2), GridHist16{});
}

TEST(Distances, IdenticalDisjointAndShiftedByOneBin) {
  const std::size_t pixels = kWidth * kHeight;
  const Bytes black(pixels, 0), white(pixels, 255), grey16(pixels, 16);
  const auto hist = [](const Bytes& p) { return histogram_16(p); };
  const auto grid = [](const Bytes& p) {
    return grid_histogram_16(p, kWidth, kHeight);
  };
  EXPECT_EQ(histogram_distance_16_from_hists(hist(white), hist(white), pixels), 0.0);
  EXPECT_EQ(grid_histogram_distance_16_from_hists(grid(white), grid(white), pixels), 0.0);
  EXPECT_EQ(histogram_distance_16_from_hists(hist(white), hist(black), pixels), 1.0);
  EXPECT_EQ(grid_histogram_distance_16_from_hists(grid(white), grid(black), pixels), 1.0);
  EXPECT_EQ(histogram_distance_16_from_hists(hist(black), hist(grey16), pixels), 1.0);
  EXPECT_EQ(normalize_sad(sad_u8(black, grey16), kWidth, kHeight), 16.0 / 255.0);
}

// Grid histograms whose non-empty previous cells have ten pixels and share
// `common[i]` of them with the current frame.
void cells_with_common(const std::vector<std::uint32_t>& common, GridHist16& prev,
                       GridHist16& curr) {
  prev = {};
  curr = {};
  for (std::size_t i = 0; i < common.size(); ++i) {
    prev[i * 16 + 3] = 10;
    curr[i * 16 + 3] = common[i];
  }
}

TEST(Distances, MedianCellDistance) {
  GridHist16 prev, curr;
  const auto distance = [](double common) { return 1.0 - common / 10.0; };
  // Cell distances 0.9, 0.1, 0.6, 0.2.
  cells_with_common({1, 9, 4, 8}, prev, curr);
  EXPECT_EQ(grid_histogram_median_cell_distance_16_from_hists(prev, curr),
            (distance(8) + distance(4)) * 0.5);
  // Cell distances 0.9, 0.1, 0.2.
  cells_with_common({1, 9, 8}, prev, curr);
  EXPECT_EQ(grid_histogram_median_cell_distance_16_from_hists(prev, curr),
            distance(8));
  cells_with_common({3}, prev, curr);
  EXPECT_EQ(grid_histogram_median_cell_distance_16_from_hists(prev, curr),
            distance(3));
  // Cells empty in the previous frame do not count, whatever the current.
  prev = {};
  curr.fill(5);
  EXPECT_EQ(grid_histogram_median_cell_distance_16_from_hists(prev, curr), 0.0);
}

TEST(Sad, SumsAndNormalisation) {
  EXPECT_EQ(sad_u8(Bytes(33, 0), Bytes(33, 255)), 33u * 255u);
  EXPECT_EQ(sad_u8(Bytes(15, 9), Bytes(15, 2)), 15u * 7u);
  EXPECT_EQ(normalize_sad(1000, 0, 90), 0.0);
  EXPECT_EQ(normalize_sad(1000, 160, 0), 0.0);
  EXPECT_EQ(normalize_sad(255 * 14400, kWidth, kHeight), 1.0);
}

TEST(MotionGeometry, SuperblockIndices) {
  using Indices = std::vector<std::size_t>;
  EXPECT_EQ(superblock_indices(4), Indices{1});
  EXPECT_EQ(superblock_indices(5), Indices{1});
  EXPECT_EQ(superblock_indices(6), (Indices{1, 3}));
  EXPECT_EQ(superblock_indices(7), (Indices{1, 3}));
  EXPECT_EQ(superblock_indices(10), (Indices{1, 3, 5, 7}));
  EXPECT_EQ(superblock_indices(11), (Indices{1, 3, 5, 7}));
  for (const std::size_t count : {0, 1, 2}) {
    EXPECT_TRUE(superblock_indices(count).empty()) << count;
  }
}

TEST(MotionGeometry, WindowsOf160x90AreFull9x9Squares) {
  for (const std::size_t base_y : {16, 48}) {
    for (const std::size_t base_x : {16, 48, 80, 112}) {
      const SearchWindow w =
          superblock_search_window(base_x, base_y, 4, kWidth - 32, kHeight - 32);
      EXPECT_EQ(w.min_offset_x, -4);
      EXPECT_EQ(w.max_offset_x, 4);
      EXPECT_EQ(w.min_offset_y, -4);
      EXPECT_EQ(w.max_offset_y, 4);
    }
  }
  // Clipped at the plane's edges: never left of 0, never past the limit.
  const SearchWindow w = superblock_search_window(16, 48, 20, 128, 58);
  EXPECT_EQ(w.min_offset_x, -16);
  EXPECT_EQ(w.max_offset_x, 20);
  EXPECT_EQ(w.min_offset_y, -20);
  EXPECT_EQ(w.max_offset_y, 10);
  EXPECT_EQ(superblock_search_window(130, 16, 4, 128, 58).max_offset_x, 0);
}

TEST(MotionSearch, FlatFramesKeepTheWindowMinimum) {
  const Bytes flat(kWidth * kHeight, 77);
  const SearchWindow full = superblock_search_window(16, 16, 4, 128, 58);
  const SuperblockSearchResults r =
      search_superblock_matches(flat, flat, kWidth, 16, 16, full);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r.sad[i], 0u);
    EXPECT_EQ(r.dx[i], -4);
    EXPECT_EQ(r.dy[i], -4);
  }
  const SuperblockSearchResults clipped = search_superblock_matches(
      flat, flat, kWidth, 16, 16, superblock_search_window(16, 16, 20, 128, 58));
  EXPECT_EQ(clipped.dx[3], -16);
  EXPECT_EQ(clipped.dy[3], -16);
  const MotionMatch single =
      find_best_match_for_block(flat, flat, kWidth, kHeight, 32, 16, 4);
  EXPECT_EQ(single.sad, 0u);
  EXPECT_EQ(single.dx, -4);
  EXPECT_EQ(single.dy, -4);
}

TEST(MotionSearch, ZeroRadiusTriesOnlyTheZeroVector) {
  const Bytes flat(kWidth * kHeight, 77);
  const SuperblockSearchResults r = search_superblock_matches(
      flat, flat, kWidth, 48, 16, superblock_search_window(48, 16, 0, 128, 58));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r.dx[i], 0);
    EXPECT_EQ(r.dy[i], 0);
    EXPECT_EQ(r.sad[i], 0u);
  }
  const MotionMatch single =
      find_best_match_for_block(flat, flat, kWidth, kHeight, 32, 16, 0);
  EXPECT_EQ(single.dx, 0);
  EXPECT_EQ(single.dy, 0);
}

TEST(MotionSearch, NegativeRadiusFindsNothing) {
  const Bytes flat(kWidth * kHeight, 77);
  const SearchWindow empty = superblock_search_window(48, 16, -1, 128, 58);
  const SuperblockSearchResults r =
      search_superblock_matches(flat, flat, kWidth, 48, 16, empty);
  EXPECT_EQ(r.sad, (std::array<std::uint32_t, 4>{0xFFFFFFFFu, 0xFFFFFFFFu,
                                                 0xFFFFFFFFu, 0xFFFFFFFFu}));
  EXPECT_EQ(r.dx, (std::array<std::int32_t, 4>{}));
  EXPECT_EQ(r.dy, (std::array<std::int32_t, 4>{}));
  const MotionMatch single =
      find_best_match_for_block(flat, flat, kWidth, kHeight, 32, 16, -3);
  EXPECT_EQ(single.sad, 0xFFFFFFFFu);

  // Every block is intra and adds the unmatched SAD; flat blocks keep it
  // whole. Complexity 32 x 300 >> 7 = 75, denominator 75 + 360.
  const MeAnalysis a = meanalysis_xvid_like(flat, flat, kWidth, kHeight, -1, 2000);
  EXPECT_EQ(a.intra_blocks, 32u);
  EXPECT_EQ(a.total_blocks, 32u);
  EXPECT_EQ(a.mc_sad, 32u * 0xFFFFFFFFull);
  EXPECT_EQ(a.score, static_cast<double>(32u * 0xFFFFFFFFull / 435));
  // A margin that saturates the sum with the deviation is never below it.
  EXPECT_EQ(small_frame_meanalysis(flat, flat, kWidth, 40, -1, 0xFFFFFFFFu)
                .intra_blocks,
            0u);
  EXPECT_EQ(small_frame_meanalysis(flat, flat, kWidth, 40, -1, 0).intra_blocks,
            8u);
}

TEST(MotionAccumulation, IntraBoundaryAndSadHalving) {
  Bytes plane(kWidth * kHeight, 0);
  std::mt19937 rng(3);
  // Blocks of deviation 2000, 2000, 2999 and 3000 in the superblock at (16, 16).
  fill_block(plane, kWidth, 16, 16, 8, 0, 130, rng);
  fill_block(plane, kWidth, 32, 16, 8, 0, 130, rng);
  fill_block(plane, kWidth, 16, 32, 7, 0, 221, rng);
  fill_block(plane, kWidth, 32, 32, 8, 0, 195, rng);
  ASSERT_EQ(dev_block(plane, kWidth, 16, 16, 16, 16), 2000u);
  ASSERT_EQ(dev_block(plane, kWidth, 16, 32, 16, 16), 2999u);
  ASSERT_EQ(dev_block(plane, kWidth, 32, 32, 16, 16), 3000u);

  SuperblockSearchResults results;
  results.sad = {2100, 2101, 1001, 1001};
  results.dx = {1, 1, 1, 1};
  const SuperblockMetrics m =
      accumulate_superblock_metrics(plane, kWidth, 16, 16, 100, results);
  // 2000 + 100 equals 2100: not intra; it is one below 2101: intra.
  EXPECT_EQ(m.intra, 1u);
  EXPECT_EQ(m.weighted_sad, 2100u + 2101u + 1001u + 1001u / 2);
  EXPECT_EQ(m.complexity, 2000u + 2000u + 2999u + 3000u);
}

TEST(MotionAccumulation, ZeroMotionBonusNeedsTextureAndSmallSad) {
  Bytes plane(kWidth * kHeight, 0);
  std::mt19937 rng(5);
  fill_block(plane, kWidth, 16, 16, 8, 0, 130, rng);  // deviation 2000
  SuperblockSearchResults results;
  results.sad = {999, 1000, 999, 999};  // blocks 2 and 3 are flat
  const SuperblockMetrics m =
      accumulate_superblock_metrics(plane, kWidth, 16, 16, 0, results);
  EXPECT_EQ(m.weighted_sad, 999u + 512u + 1000u + 999u + 999u);
  EXPECT_EQ(m.complexity, 2000u + 3 * 300u);
  EXPECT_EQ(m.intra, 3u);
  results.sad[0] = 1000;
  EXPECT_EQ(accumulate_superblock_metrics(plane, kWidth, 16, 16, 0, results)
                .weighted_sad,
            1000u + 1000u + 999u + 999u);
}

TEST(MotionAnalysis, IdenticalTexturedFramesScore19) {
  // 32 interior blocks of deviation 2000, each matched only at (0, 0):
  // 32 x 512 bonus = 16384 over (64000 >> 7) + 4 x 90 = 860.
  const Bytes plane = sparse_texture(kWidth, kHeight, 8, 0, 130);
  const MeAnalysis a = meanalysis_xvid_like(plane, plane, kWidth, kHeight, 4, 2000);
  EXPECT_EQ(a.mc_sad, 16384u);
  EXPECT_EQ(a.score, 19.0);
  EXPECT_EQ(a.intra_blocks, 0u);
  EXPECT_EQ(a.total_blocks, 32u);
}

TEST(MotionAnalysis, IdenticalFlatFramesScoreZero) {
  const Bytes flat(kWidth * kHeight, 200);
  const MeAnalysis a = meanalysis_xvid_like(flat, flat, kWidth, kHeight, 4, 2000);
  EXPECT_EQ(a.score, 0.0);
  EXPECT_EQ(a.mc_sad, 0u);
  EXPECT_EQ(a.intra_blocks, 0u);
  EXPECT_EQ(a.total_blocks, 32u);
}

TEST(MotionAnalysis, ScoreIsTheFlooredIntegerQuotient) {
  // Flat blocks: denominator (32 x 300 >> 7) + 360 = 435. Raised pixels make
  // each block's SAD equal to its count (every candidate ties).
  const Bytes prev(kWidth * kHeight, 100);
  std::vector<std::size_t> raised(32, 0);
  raised[0] = 200;
  raised[31] = 234;
  const Bytes below = flat_with_raised(kWidth, kHeight, raised);
  const MeAnalysis a = meanalysis_xvid_like(prev, below, kWidth, kHeight, 4, 2000);
  EXPECT_EQ(a.mc_sad, 434u);
  EXPECT_EQ(a.score, 0.0);
  raised[5] = 1;
  const MeAnalysis b = meanalysis_xvid_like(
      prev, flat_with_raised(kWidth, kHeight, raised), kWidth, kHeight, 4, 2000);
  EXPECT_EQ(b.mc_sad, 435u);
  EXPECT_EQ(b.score, 1.0);
}

TEST(MotionAnalysis, PlanesTooSmallForSuperblocksSearchEachInteriorBlock) {
  // 160 x 40: 8 interior blocks, each searched alone and counted. With 100
  // raised pixels each: 800 over (8 x 300 >> 7) + 4 x (10 + 8 x 10) = 378.
  const Bytes prev(160 * 40, 100);
  const Bytes curr = flat_with_raised(160, 40, std::vector<std::size_t>(8, 100));
  const MeAnalysis a = meanalysis_xvid_like(prev, curr, 160, 40, 4, 2000);
  EXPECT_EQ(a.total_blocks, 8u);
  EXPECT_EQ(a.mc_sad, 800u);
  EXPECT_EQ(a.score, 2.0);
  EXPECT_EQ(a.intra_blocks, 0u);
  // Transposed plane: one interior column of 8 blocks.
  const Bytes tall_prev(40 * 160, 100);
  EXPECT_EQ(meanalysis_xvid_like(tall_prev, tall_prev, 40, 160, 4, 2000).total_blocks,
            8u);
}

TEST(MotionAnalysis, EdgesOf32OrLessGiveTheZeroAnalysis) {
  std::mt19937 rng(11);
  for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{32, 90},
                                     {160, 32},
                                     {31, 100},
                                     {100, 31},
                                     {0, 0}}) {
    Bytes prev(width * height), curr(width * height);
    for (auto& b : prev) b = static_cast<std::uint8_t>(rng());
    for (auto& b : curr) b = static_cast<std::uint8_t>(rng());
    const MeAnalysis a = meanalysis_xvid_like(prev, curr, width, height, 4, 2000);
    EXPECT_EQ(a.score, 0.0) << width << "x" << height;
    EXPECT_EQ(a.intra_blocks, 0u);
    EXPECT_EQ(a.total_blocks, 0u);
    EXPECT_EQ(a.mc_sad, 0u);
  }
}

using MetricsDeathTest = ::testing::Test;

TEST(MetricsDeathTest, ReadsOutsideAPlaneStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Bytes plane(64 * 64, 1);
  EXPECT_DEATH(sad16x16(plane, plane, 64, 0, 0, 0, 49), "sad16x16: prev block");
  EXPECT_DEATH(sad16x16(plane, plane, 64, 0, 49, 0, 0), "sad16x16: curr block");
  EXPECT_DEATH(dev_block(plane, 64, 0, 49, 16, 16), "dev_block");
  EXPECT_DEATH(dev_block(plane, 64, 60, 63, 5, 1), "dev_block");
  const SearchWindow past_edge{-4, 4, -4, 4};
  EXPECT_DEATH(search_superblock_matches(plane, plane, 64, 16, 32, past_edge),
               "superblock search");
  EXPECT_DEATH(find_best_match_for_block(plane, Bytes(64 * 30, 1), 64, 64, 16,
                                         16, 4),
               "block search");
  // Candidate positions past the 32-bit range: no plane is that large.
  EXPECT_DEATH(search_superblock_matches(plane, plane, 64, std::size_t{1} << 31,
                                         0, SearchWindow{0, 0, 0, 0}),
               "superblock search");
  Bytes out;
  EXPECT_DEATH(downscale_gray8_nearest(Bytes(15, 0), 4, 4, 4, 2, 2, out),
               "source smaller than its layout");
  // Rows 5 bytes apart: the last row ends at byte 3 * 5 + 4 = 19.
  EXPECT_DEATH(downscale_gray8_nearest(Bytes(18, 0), 4, 4, 5, 2, 2, out),
               "source smaller than its layout");
  EXPECT_DEATH(downscale_gray8_nearest(Bytes(16, 0), 4, 4, 3, 2, 2, out),
               "source smaller than its layout");
  EXPECT_DEATH(downscale_gray8_nearest(Bytes{}, 0, 0, 0, 2, 2, out),
               "source smaller than its layout");
  downscale_gray8_nearest(Bytes(19, 0), 4, 4, 5, 2, 2, out);
  EXPECT_EQ(out, Bytes(4, 0));
  EXPECT_DEATH(meanalysis_xvid_like(plane, Bytes(100, 0), 64, 64, 4, 2000),
               "plane smaller than its dimensions");
}

}  // namespace
}  // namespace vantrel::simd_metrics
