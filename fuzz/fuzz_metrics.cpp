// Every metric and motion-estimation kernel of every form this processor runs
// on random planes, sizes, positions and windows, compared bit for bit with
// the plain form. Arguments stay inside the documented preconditions (blocks
// inside their planes); out-of-range arguments are the death tests' job.
#include <bit>
#include <cstdint>
#include <algorithm>
#include <span>
#include <vector>

#include "fuzz_common.h"
#include "metrics/metrics.h"
#include "metrics/metrics_internal.h"

namespace {

using vantrel::fuzz::require;
using namespace vantrel::simd_metrics;

bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
bool same(const MeAnalysis& a, const MeAnalysis& b) {
  return same(a.score, b.score) && a.intra_blocks == b.intra_blocks &&
         a.total_blocks == b.total_blocks && a.mc_sad == b.mc_sad;
}
bool same(const SuperblockSearchResults& a, const SuperblockSearchResults& b) {
  return a.sad == b.sad && a.dx == b.dx && a.dy == b.dy;
}
bool same(const MotionMatch& a, const MotionMatch& b) {
  return a.sad == b.sad && a.dx == b.dx && a.dy == b.dy;
}

// Whether the w x h block at (x, y) of a plane with rows of `width` bytes
// lies inside `size` bytes (rows may run past `width`).
bool block_inside(std::size_t size, std::size_t width, std::size_t x,
                  std::size_t y, std::size_t w, std::size_t h) {
  if (w == 0 || h == 0) return true;
  return (y + h - 1) * width + x + w - 1 < size;
}

struct Planes {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint8_t> prev;
  std::vector<std::uint8_t> curr;
};

std::uint32_t next_random(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// Two planes of at least width x height bytes: noise, flat areas, or the
// previous plane moved by a small vector with some noise, so that motion
// searches find real matches and ties.
Planes consume_planes(FuzzedDataProvider& data, std::size_t max_width,
                      std::size_t max_height) {
  Planes p;
  p.width = data.ConsumeIntegralInRange<std::size_t>(0, max_width);
  p.height = data.ConsumeIntegralInRange<std::size_t>(0, max_height);
  const std::size_t pixels = p.width * p.height;
  const std::size_t slack = data.ConsumeBool()
                                ? data.ConsumeIntegralInRange<std::size_t>(0, 64)
                                : 0;
  p.prev.resize(pixels + slack);
  p.curr.resize(pixels + data.ConsumeIntegralInRange<std::size_t>(0, slack));
  std::uint32_t state = data.ConsumeIntegral<std::uint32_t>() | 1u;
  const int kind = data.ConsumeIntegralInRange<int>(0, 3);
  const std::uint8_t mask = data.ConsumeIntegral<std::uint8_t>() | 1u;
  for (std::uint8_t& v : p.prev) {
    v = kind == 0 ? static_cast<std::uint8_t>(state & mask)
                  : static_cast<std::uint8_t>(next_random(state) & mask);
  }
  const int dx = data.ConsumeIntegralInRange<int>(-6, 6);
  const int dy = data.ConsumeIntegralInRange<int>(-6, 6);
  const std::uint32_t noise = data.ConsumeIntegralInRange<std::uint32_t>(0, 64);
  for (std::size_t i = 0; i < p.curr.size(); ++i) {
    std::uint8_t v;
    if (kind == 3 || p.width == 0) {
      v = static_cast<std::uint8_t>(next_random(state));
    } else {
      const long x = static_cast<long>(i % p.width) + dx;
      const long y = static_cast<long>(i / p.width) + dy;
      const std::size_t src = static_cast<std::size_t>(
          std::max(0L, y) * static_cast<long>(p.width) + std::max(0L, x));
      v = p.prev[std::min(src, p.prev.size() - 1)];
      if (noise != 0 && next_random(state) % noise == 0) {
        v = static_cast<std::uint8_t>(v + next_random(state) % 9);
      }
    }
    p.curr[i] = v;
  }
  // Real bytes from the input overwrite the start, for the fuzzer to steer.
  const std::vector<std::uint8_t> raw = data.ConsumeBytes<std::uint8_t>(
      data.ConsumeIntegralInRange<std::size_t>(0, p.curr.size()));
  std::copy(raw.begin(), raw.end(), p.curr.begin());
  return p;
}

void check_forms_agree(FuzzedDataProvider& data) {
  const Kernels& plain = plain_kernels();
  const int op = data.ConsumeIntegralInRange<int>(0, 8);
  const Planes p = op == 8 ? consume_planes(data, 200, 136)
                           : consume_planes(data, 96, 96);
  const Plane prev(p.prev);
  const Plane curr(p.curr);
  const std::size_t w = p.width;
  const std::size_t h = p.height;
  const std::size_t x = data.ConsumeIntegralInRange<std::size_t>(0, w + 8);
  const std::size_t y = data.ConsumeIntegralInRange<std::size_t>(0, h + 8);
  const std::int32_t radius = data.ConsumeIntegralInRange<std::int32_t>(-2, 24);

  for (const Kernels* form : available_kernels()) {
    const Kernels& k = *form;
    switch (op) {
      case 0: {
        const std::size_t px = data.ConsumeIntegralInRange<std::size_t>(0, w + 8);
        const std::size_t py = data.ConsumeIntegralInRange<std::size_t>(0, h + 8);
        if (w == 0 || !block_inside(curr.size(), w, x, y, 16, 16) ||
            !block_inside(prev.size(), w, px, py, 16, 16)) {
          break;
        }
        require(sad16x16(prev, curr, w, x, y, px, py, k) ==
                    sad16x16(prev, curr, w, x, y, px, py, plain),
                "sad16x16 forms agree");
        break;
      }
      case 1: {
        const std::size_t bw = data.ConsumeIntegralInRange<std::size_t>(0, 33);
        const std::size_t bh = data.ConsumeIntegralInRange<std::size_t>(0, 33);
        if (!block_inside(curr.size(), w, x, y, bw, bh)) break;
        require(dev_block(curr, w, x, y, bw, bh, k) ==
                    dev_block(curr, w, x, y, bw, bh, plain),
                "dev_block forms agree");
        break;
      }
      case 2: {
        if (w < 32 || h < 32) break;
        SearchWindow window = superblock_search_window(x, y, radius, w - 32, h - 32);
        if (data.ConsumeBool()) {
          window.min_offset_x = data.ConsumeIntegralInRange<std::int32_t>(-40, 8);
          window.min_offset_y = data.ConsumeIntegralInRange<std::int32_t>(-40, 8);
        }
        // Every candidate block lies inside both planes when the last one does.
        const std::int64_t last_x = std::int64_t(x) + window.max_offset_x;
        const std::int64_t last_y = std::int64_t(y) + window.max_offset_y;
        if (last_x < 0 || last_y < 0 ||
            !block_inside(curr.size(), w, x, y, 32, 32) ||
            !block_inside(prev.size(), w, std::size_t(last_x), std::size_t(last_y), 32, 32)) {
          break;
        }
        require(same(search_superblock_matches(prev, curr, w, x, y, window, k),
                     search_superblock_matches(prev, curr, w, x, y, window, plain)),
                "superblock search forms agree");
        break;
      }
      case 3: {
        // The window is clamped to the frame, so the block must lie in it.
        if (x + 16 > w || y + 16 > h) break;
        require(same(find_best_match_for_block(prev, curr, w, h, x, y, radius, k),
                     find_best_match_for_block(prev, curr, w, h, x, y, radius, plain)),
                "block search forms agree");
        break;
      }
      case 4:
        require(sad_u8(prev, curr, k) == sad_u8(prev, curr, plain),
                "sad_u8 forms agree");
        require(histogram_16(curr, k) == histogram_16(curr, plain),
                "histogram_16 forms agree");
        break;
      case 5:
        require(grid_histogram_16(curr, w, h, k) == grid_histogram_16(curr, w, h, plain),
                "grid_histogram_16 forms agree");
        break;
      case 6: {
        // Rows of the source `pad` bytes wider than the plane, inside the
        // previous plane's bytes.
        const std::size_t pad = data.ConsumeIntegralInRange<std::size_t>(0, 9);
        const std::size_t stride = w + pad;
        const std::size_t dw = data.ConsumeIntegralInRange<std::size_t>(0, 170);
        const std::size_t dh = data.ConsumeIntegralInRange<std::size_t>(0, 100);
        if (dw * dh != 0 &&
            (w * h == 0 || (h - 1) * stride + w > prev.size())) {
          break;
        }
        std::vector<std::uint8_t> got(data.ConsumeIntegralInRange<std::size_t>(0, 300), 7);
        std::vector<std::uint8_t> want;
        downscale_gray8_nearest(prev, w, h, stride, dw, dh, got, k);
        downscale_gray8_nearest(prev, w, h, stride, dw, dh, want, plain);
        require(got == want, "downscale forms agree");
        break;
      }
      case 7: {
        Hist16 a = histogram_16(prev, k), b = histogram_16(curr, k);
        GridHist16 ga = grid_histogram_16(prev, w, h, k);
        GridHist16 gb = grid_histogram_16(curr, w, h, k);
        const std::size_t total = data.ConsumeBool()
                                      ? w * h
                                      : data.ConsumeIntegral<std::size_t>();
        require(k.intersection(a, b) == plain.intersection(a, b) &&
                    k.intersection(ga, gb) == plain.intersection(ga, gb),
                "intersection forms agree");
        require(same(histogram_distance_16_from_hists(a, b, total, k),
                     histogram_distance_16_from_hists(a, b, total, plain)) &&
                    same(grid_histogram_distance_16_from_hists(ga, gb, total, k),
                         grid_histogram_distance_16_from_hists(ga, gb, total, plain)) &&
                    same(grid_histogram_median_cell_distance_16_from_hists(ga, gb, k),
                         grid_histogram_median_cell_distance_16_from_hists(ga, gb, plain)),
                "histogram distance forms agree");
        break;
      }
      case 8: {
        const std::int32_t thresh = data.ConsumeIntegral<std::int32_t>();
        const MeAnalysis got = meanalysis_xvid_like(prev, curr, w, h, radius, thresh, k);
        require(same(got, meanalysis_xvid_like(prev, curr, w, h, radius, thresh, plain)),
                "motion analysis forms agree");
        require(got.intra_blocks <= got.total_blocks, "intra blocks within total");
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  check_forms_agree(data);
  return 0;
}
