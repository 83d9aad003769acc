// The plain form: straightforward loops that follow the metric definitions
// step by step. Every other form is checked against these.
#include <algorithm>
#include <cstdlib>

#include "base/arith.h"
#include "metrics/kernels.h"

namespace vantrel::simd_metrics {
namespace detail {
namespace {

std::uint32_t sad16x16_plain(Plane prev, Plane curr, std::size_t width,
                             std::size_t curr_x, std::size_t curr_y,
                             std::size_t prev_x, std::size_t prev_y) {
  std::uint32_t total = 0;
  for (std::size_t r = 0; r < 16; ++r) {
    const std::size_t curr_row = (curr_y + r) * width + curr_x;
    const std::size_t prev_row = (prev_y + r) * width + prev_x;
    for (std::size_t c = 0; c < 16; ++c) {
      total += static_cast<std::uint32_t>(
          std::abs(int{curr[curr_row + c]} - int{prev[prev_row + c]}));
    }
  }
  return total;
}

std::uint32_t dev_block16_plain(Plane curr, std::size_t width, std::size_t x,
                                std::size_t y) {
  return dev_block_plain(curr, width, x, y, 16, 16);
}

SuperblockSearchResults search_superblock_matches_plain(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  SuperblockSearchResults results;
  for (std::int64_t offset_y = window.min_offset_y;
       offset_y <= window.max_offset_y; ++offset_y) {
    const auto candidate_y = static_cast<std::size_t>(
        static_cast<std::int64_t>(base_y) + offset_y);
    for (std::int64_t offset_x = window.min_offset_x;
         offset_x <= window.max_offset_x; ++offset_x) {
      const auto candidate_x = static_cast<std::size_t>(
          static_cast<std::int64_t>(base_x) + offset_x);
      for (int i = 0; i < 4; ++i) {
        const std::uint32_t block_sad = sad16x16_plain(
            prev, curr, width, base_x + kBlockOx[i], base_y + kBlockOy[i],
            candidate_x + kBlockOx[i], candidate_y + kBlockOy[i]);
        if (block_sad < results.sad[i]) {
          results.sad[i] = block_sad;
          results.dx[i] = static_cast<std::int32_t>(offset_x);
          results.dy[i] = static_cast<std::int32_t>(offset_y);
        }
      }
    }
  }
  return results;
}

MotionMatch search_block_matches_plain(Plane prev, Plane curr,
                                       std::size_t width, std::size_t block_x,
                                       std::size_t block_y,
                                       const SearchWindow& window) {
  MotionMatch best;
  for (std::int64_t dy = window.min_offset_y; dy <= window.max_offset_y;
       ++dy) {
    const auto candidate_y =
        static_cast<std::size_t>(static_cast<std::int64_t>(block_y) + dy);
    for (std::int64_t dx = window.min_offset_x; dx <= window.max_offset_x;
         ++dx) {
      const auto candidate_x =
          static_cast<std::size_t>(static_cast<std::int64_t>(block_x) + dx);
      const std::uint32_t sad = sad16x16_plain(prev, curr, width, block_x,
                                               block_y, candidate_x,
                                               candidate_y);
      if (sad < best.sad) {
        best = {sad, static_cast<std::int32_t>(dx),
                static_cast<std::int32_t>(dy)};
      }
    }
  }
  return best;
}

// Counts saturate at UINT32_MAX: the metrics hand this form the planes
// too large for the others.
Hist16 histogram_16_plain(Plane frame) {
  std::array<std::uint64_t, 16> counts{};
  for (const std::uint8_t v : frame) ++counts[v >> 4];
  Hist16 hist{};
  for (std::size_t b = 0; b < 16; ++b) hist[b] = to_u32_sat(counts[b]);
  return hist;
}

GridHist16 grid_histogram_16_plain(Plane frame, std::size_t width,
                                   std::size_t height) {
  std::array<std::uint64_t, 256> counts{};
  for (std::size_t y = 0; y < height; ++y) {
    const std::size_t cell_y = 4 * y / height;
    for (std::size_t x = 0; x < width; ++x) {
      const std::size_t cell_x = 4 * x / width;
      const std::size_t bin = frame[y * width + x] >> 4;
      ++counts[(cell_y * 4 + cell_x) * 16 + bin];
    }
  }
  GridHist16 hist{};
  for (std::size_t i = 0; i < 256; ++i) hist[i] = to_u32_sat(counts[i]);
  return hist;
}

void downscale_gray8_nearest_plain(Plane src, std::size_t src_width,
                                   std::size_t src_height,
                                   std::size_t src_stride,
                                   std::size_t dst_width,
                                   std::size_t dst_height,
                                   std::vector<std::uint8_t>& dst) {
  dst.assign(dst_width * dst_height, 0);
  for (std::size_t y = 0; y < dst_height; ++y) {
    const std::size_t row = mul_sat(y, src_height) / dst_height;
    for (std::size_t x = 0; x < dst_width; ++x) {
      const std::size_t column = mul_sat(x, src_width) / dst_width;
      dst[y * dst_width + x] = src[row * src_stride + column];
    }
  }
}

std::uint64_t sad_u8_plain(Plane prev, Plane curr) {
  std::uint64_t total = 0;
  for (std::size_t j = 0; j < prev.size(); ++j) {
    total += static_cast<std::uint64_t>(std::abs(int{prev[j]} - int{curr[j]}));
  }
  return total;
}

std::uint64_t intersection_plain(std::span<const std::uint32_t> prev,
                                 std::span<const std::uint32_t> curr) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < prev.size(); ++i) {
    sum += std::min(prev[i], curr[i]);
  }
  return sum;
}

}  // namespace

std::uint32_t dev_block_plain(Plane curr, std::size_t width,
                              std::size_t curr_x, std::size_t curr_y,
                              std::size_t block_w, std::size_t block_h) {
  const std::uint64_t area = std::uint64_t{block_w} * block_h;
  if (area == 0) return 0;
  std::uint64_t sum = 0;
  for (std::size_t r = 0; r < block_h; ++r) {
    for (std::size_t c = 0; c < block_w; ++c) {
      sum += curr[(curr_y + r) * width + curr_x + c];
    }
  }
  const std::int64_t mean = static_cast<std::int64_t>(sum / area);
  std::uint64_t dev = 0;
  for (std::size_t r = 0; r < block_h; ++r) {
    for (std::size_t c = 0; c < block_w; ++c) {
      const std::int64_t pixel = curr[(curr_y + r) * width + curr_x + c];
      dev += static_cast<std::uint64_t>(std::llabs(pixel - mean));
    }
  }
  return to_u32_sat(dev);
}

}  // namespace detail

const Kernels& plain_kernels() {
  using namespace detail;
  static const Kernels kernels = {
      .name = "plain",
      .sad16x16 = sad16x16_plain,
      .dev_block16 = dev_block16_plain,
      .search_superblock_matches = search_superblock_matches_plain,
      .search_block_matches = search_block_matches_plain,
      .sad_u8 = sad_u8_plain,
      .histogram_16 = histogram_16_plain,
      .grid_histogram_16 = grid_histogram_16_plain,
      .downscale_gray8_nearest = downscale_gray8_nearest_plain,
      .intersection = intersection_plain,
  };
  return kernels;
}

}  // namespace vantrel::simd_metrics
