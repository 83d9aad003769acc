// Per-call cost of the metric kernels, every available form side by side
// (plain first). Planes hold a textured image and the same image moved by a
// few pixels with some noise, as consecutive video frames would.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "metrics/metrics.h"
#include "metrics/metrics_internal.h"

namespace {

using vantrel::simd_metrics::Kernels;
namespace metrics = vantrel::simd_metrics;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHdWidth = 1920, kHdHeight = 1080;
constexpr std::size_t kSmallWidth = 160, kSmallHeight = 90;
constexpr std::int32_t kSearchRadius = 4;
constexpr std::int32_t kIntraThresh = 2000;

// Smooth waves plus fine detail, sampled at (x + shift_x, y + shift_y).
Bytes textured(std::size_t width, std::size_t height, double shift_x,
               double shift_y, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  Bytes bytes(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) + shift_x;
      const double v = static_cast<double>(y) + shift_y;
      const double value = 128.0 + 60.0 * std::sin(u * 0.013 + v * 0.007) +
                           30.0 * std::sin(u * 0.11) * std::cos(v * 0.09) +
                           15.0 * std::sin((u + 2.0 * v) * 0.6) + noise(rng);
      bytes[y * width + x] =
          static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
    }
  }
  return bytes;
}

struct Frames {
  Bytes prev_hd = textured(kHdWidth, kHdHeight, 0.0, 0.0, 1);
  Bytes curr_hd = textured(kHdWidth, kHdHeight, 3.0, 2.0, 2);
  Bytes prev_small, curr_small;

  Frames() {
    metrics::downscale_gray8_nearest(prev_hd, kHdWidth, kHdHeight, kHdWidth,
                                     kSmallWidth, kSmallHeight, prev_small);
    metrics::downscale_gray8_nearest(curr_hd, kHdWidth, kHdHeight, kHdWidth,
                                     kSmallWidth, kSmallHeight, curr_small);
  }
};

const Frames& frames() {
  static const Frames instance;
  return instance;
}

void bench_sad16x16(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        metrics::sad16x16(f.prev_hd, f.curr_hd, kHdWidth, 512, 256, 515, 254, *k));
  }
}

void bench_superblock_search(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  const metrics::SearchWindow window = metrics::superblock_search_window(
      512, 256, kSearchRadius, kHdWidth - 32, kHdHeight - 32);
  for (auto _ : state) {
    benchmark::DoNotOptimize(metrics::search_superblock_matches(f.prev_hd, f.curr_hd, kHdWidth, 512, 256, window, *k));
  }
}

void bench_meanalysis_small(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  for (auto _ : state) {
    benchmark::DoNotOptimize(metrics::meanalysis_xvid_like(f.prev_small, f.curr_small, kSmallWidth, kSmallHeight,
        kSearchRadius, kIntraThresh, *k));
  }
}

void bench_meanalysis_hd(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  for (auto _ : state) {
    benchmark::DoNotOptimize(metrics::meanalysis_xvid_like(f.prev_hd, f.curr_hd, kHdWidth, kHdHeight, kSearchRadius,
        kIntraThresh, *k));
  }
}

void bench_histograms(benchmark::State& state, const Kernels* k,
                      bool hd) {
  const Frames& f = frames();
  const Bytes& plane = hd ? f.curr_hd : f.curr_small;
  const std::size_t width = hd ? kHdWidth : kSmallWidth;
  const std::size_t height = hd ? kHdHeight : kSmallHeight;
  for (auto _ : state) {
    benchmark::DoNotOptimize(metrics::histogram_16(plane, *k));
    benchmark::DoNotOptimize(metrics::grid_histogram_16(plane, width, height, *k));
  }
}

void bench_distances(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  const auto prev = metrics::grid_histogram_16(f.prev_small, kSmallWidth, kSmallHeight);
  const auto curr = metrics::grid_histogram_16(f.curr_small, kSmallWidth, kSmallHeight);
  const auto prev16 = metrics::histogram_16(f.prev_small);
  const auto curr16 = metrics::histogram_16(f.curr_small);
  const std::size_t total = f.curr_small.size();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        metrics::histogram_distance_16_from_hists(prev16, curr16, total, *k));
    benchmark::DoNotOptimize(
        metrics::grid_histogram_distance_16_from_hists(prev, curr, total, *k));
    benchmark::DoNotOptimize(
        metrics::grid_histogram_median_cell_distance_16_from_hists(prev,
                                                                   curr, *k));
  }
}

void bench_sad_u8_hd(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  for (auto _ : state) {
    benchmark::DoNotOptimize(metrics::sad_u8(f.prev_hd, f.curr_hd, *k));
  }
}

void bench_reduction(benchmark::State& state, const Kernels* k) {
  const Frames& f = frames();
  Bytes out;
  for (auto _ : state) {
    metrics::downscale_gray8_nearest(f.curr_hd, kHdWidth, kHdHeight,
                                     kHdWidth, kSmallWidth, kSmallHeight, out, *k);
    benchmark::DoNotOptimize(out.data());
  }
}

template <class Fn, class... Extra>
void register_all(const std::string& name, Fn fn, Extra... extra) {
  for (const Kernels* k : metrics::available_kernels()) {
    benchmark::RegisterBenchmark((name + "/" + k->name).c_str(),
                                 [=](benchmark::State& s) { fn(s, k, extra...); });
  }
}

const bool registered = [] {
  register_all("sad16x16", bench_sad16x16);
  register_all("superblock_search_r4", bench_superblock_search);
  register_all("meanalysis_160x90", bench_meanalysis_small);
  register_all("meanalysis_1920x1080", bench_meanalysis_hd);
  register_all("histograms_160x90", bench_histograms, false);
  register_all("histograms_1920x1080", bench_histograms, true);
  register_all("distances", bench_distances);
  register_all("sad_u8_1920x1080", bench_sad_u8_hd);
  register_all("reduce_1920x1080_to_160x90", bench_reduction);
  return true;
}();

}  // namespace
