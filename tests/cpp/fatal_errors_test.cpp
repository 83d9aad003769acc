// Broken internal invariants end the process with a diagnostic on standard
// error instead of reading outside a buffer. The metric kernels' own block
// checks are covered next to the kernels; these are the remaining guards.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/postprocess_internal.h"
#include "metrics/metrics_internal.h"

namespace vantrel {
namespace {


constexpr const char* kDiagnostic = "fatal internal error";

// Frames 1 and 3 changed completely, frame 2 not at all.
std::vector<FrameRecord> three_records() {
  std::vector<FrameRecord> records(3);
  for (std::size_t p = 0; p < 3; ++p) {
    const double change = p == 1 ? 0.0 : 0.5;
    records[p] = {.frame_index = p + 1,
                  .is_cut = p != 1,
                  .threshold = 0.0,
                  .motion = {.score = 300.0 * change},
                  .hist_distance = change,
                  .grid_hist_distance = change,
                  .grid_hist_median = change};
  }
  return records;
}

TEST(FatalErrorsTest, PostprocessPositionsOutsideTheStatistics) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<FrameRecord> stats = three_records();
  const std::vector<double> blended = postprocess::build_blended_score(stats);
  const std::vector<std::size_t> outside = {0, 3};

  EXPECT_DEATH(postprocess::best_candidate_index(outside, blended),
               "best_candidate_index: position out of range");
  EXPECT_DEATH(postprocess::select_cluster_peaks(stats, outside, blended),
               "select_cluster_peaks: position out of range");
  const std::vector<std::size_t> refined = {0, 100};
  EXPECT_DEATH(
      postprocess::recover_dense_candidates(stats, outside, blended, refined),
      "recover_dense_candidates: position out of range");
  EXPECT_DEATH(postprocess::is_local_peak(blended, 3, 1),
               "is_local_peak: index out of range");
  const std::vector<std::size_t> short_prefix = {0, 1};
  EXPECT_DEATH(
      postprocess::collect_candidates(stats, blended, blended, short_prefix),
      "collect_candidates: working lists differ in length");
}

TEST(FatalErrorsTest, MetricsGuards) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using namespace simd_metrics;
  // 48 x 48 is too small for superblocks: each block is searched alone.
  const std::vector<std::uint8_t> full(48 * 48, 9);
  const std::vector<std::uint8_t> short_plane(48 * 47, 9);
  EXPECT_DEATH(meanalysis_xvid_like(full, short_plane, 48, 48, 4, 2000),
               "plane smaller than its dimensions");
  EXPECT_DEATH(small_frame_meanalysis(short_plane, full, 48, 48, 4, 2000),
               "plane smaller than its dimensions");
}

TEST(FatalErrorsTest, FailedAllocationEndsTheProcessWithADiagnostic) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // No error value can carry an allocation failure up to Python; it ends the
  // process (std::terminate at the extension's C boundary, modelled here by a
  // noexcept frame; under AddressSanitizer the allocator reports it first).
  const std::vector<std::uint8_t> source(16, 0);
  const auto downscale_to_petabytes = [&]() noexcept {
    std::vector<std::uint8_t> out;
    simd_metrics::downscale_gray8_nearest(source, 4, 4, 4, std::size_t{1} << 25,
                                          std::size_t{1} << 25, out);
  };
  EXPECT_DEATH(downscale_to_petabytes(), "bad_alloc|allocation|memory");
  // Sizes whose product overflows never reach the allocator.
  const auto downscale_overflowing = [&] {
    std::vector<std::uint8_t> out;
    simd_metrics::downscale_gray8_nearest(source, 4, 4, 4, std::size_t{1} << 40,
                                          std::size_t{1} << 40, out);
  };
  EXPECT_DEATH(downscale_overflowing(), kDiagnostic);
}

}  // namespace
}  // namespace vantrel
