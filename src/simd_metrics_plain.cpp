// The plain form: straightforward loops that follow the metric definitions
// step by step. Every other form is checked against these.
#include <cstdlib>

#include "simd_metrics_forms.h"

namespace vantrel::simd_metrics::detail {

std::uint32_t sad16x16_plain(Plane prev, Plane curr, std::size_t width,
                             std::size_t curr_x, std::size_t curr_y,
                             std::size_t prev_x, std::size_t prev_y) {
  check_block(curr, width, curr_x, curr_y, 16, 16, "sad16x16: curr block");
  check_block(prev, width, prev_x, prev_y, 16, 16, "sad16x16: prev block");
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

std::uint32_t dev_block_plain(Plane curr, std::size_t width,
                              std::size_t curr_x, std::size_t curr_y,
                              std::size_t block_w, std::size_t block_h) {
  check_block(curr, width, curr_x, curr_y, block_w, block_h, "dev_block");
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
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(dev, UINT32_MAX));
}

SuperblockSearchResults search_superblock_matches_plain(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  SuperblockSearchResults results;
  const std::int32_t base_col = to_i32_sat(base_x);
  const std::int32_t base_row = to_i32_sat(base_y);
  for (std::int64_t offset_y = window.min_offset_y;
       offset_y <= window.max_offset_y; ++offset_y) {
    const std::int32_t candidate_y =
        add_i32_sat(base_row, static_cast<std::int32_t>(offset_y));
    if (candidate_y < 0) continue;
    for (std::int64_t offset_x = window.min_offset_x;
         offset_x <= window.max_offset_x; ++offset_x) {
      const std::int32_t candidate_x =
          add_i32_sat(base_col, static_cast<std::int32_t>(offset_x));
      if (candidate_x < 0) continue;
      for (int i = 0; i < 4; ++i) {
        const std::uint32_t block_sad = sad16x16_plain(
            prev, curr, width, base_x + kBlockOx[i], base_y + kBlockOy[i],
            static_cast<std::size_t>(candidate_x) + kBlockOx[i],
            static_cast<std::size_t>(candidate_y) + kBlockOy[i]);
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

MotionMatch find_best_match_for_block_plain(Plane prev, Plane curr,
                                            std::size_t width,
                                            std::size_t height,
                                            std::size_t block_x,
                                            std::size_t block_y,
                                            std::int32_t search_radius) {
  const std::int32_t origin_x = to_i32_sat(block_x);
  const std::int32_t origin_y = to_i32_sat(block_y);
  const SearchWindow window =
      block_search_window(block_x, block_y, search_radius, width, height);
  MotionMatch best;
  for (std::int64_t dy = window.min_offset_y; dy <= window.max_offset_y;
       ++dy) {
    const std::int32_t candidate_y =
        add_i32_sat(origin_y, static_cast<std::int32_t>(dy));
    if (candidate_y < 0) continue;
    for (std::int64_t dx = window.min_offset_x; dx <= window.max_offset_x;
         ++dx) {
      const std::int32_t candidate_x =
          add_i32_sat(origin_x, static_cast<std::int32_t>(dx));
      if (candidate_x < 0) continue;
      const std::uint32_t sad =
          sad16x16_plain(prev, curr, width, block_x, block_y,
                         static_cast<std::size_t>(candidate_x),
                         static_cast<std::size_t>(candidate_y));
      if (sad < best.sad) {
        best = {sad, static_cast<std::int32_t>(dx),
                static_cast<std::int32_t>(dy)};
      }
    }
  }
  return best;
}

std::uint64_t sad_u8_plain(Plane prev, Plane curr) {
  const std::size_t len = std::min(prev.size(), curr.size());
  std::uint64_t total = 0;
  for (std::size_t j = 0; j < len; ++j) {
    total += static_cast<std::uint64_t>(std::abs(int{prev[j]} - int{curr[j]}));
  }
  return total;
}

namespace {

std::uint32_t saturate_u32(std::uint64_t v) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, UINT32_MAX));
}

}  // namespace

Hist16 histogram_16_plain(Plane frame) {
  std::array<std::uint64_t, 16> counts{};
  for (const std::uint8_t v : frame) ++counts[v >> 4];
  Hist16 hist{};
  for (std::size_t b = 0; b < 16; ++b) hist[b] = saturate_u32(counts[b]);
  return hist;
}

GridHist16 grid_histogram_16_plain(Plane frame, std::size_t width,
                                   std::size_t height) {
  GridHist16 hist{};
  std::size_t pixels;
  if (width == 0 || height == 0 ||
      __builtin_mul_overflow(width, height, &pixels) || frame.size() < pixels) {
    return hist;
  }
  std::array<std::uint64_t, 256> counts{};
  for (std::size_t y = 0; y < height; ++y) {
    const std::size_t cell_y = 4 * y / height;
    for (std::size_t x = 0; x < width; ++x) {
      const std::size_t cell_x = 4 * x / width;
      const std::size_t bin = frame[y * width + x] >> 4;
      ++counts[(cell_y * 4 + cell_x) * 16 + bin];
    }
  }
  for (std::size_t i = 0; i < 256; ++i) hist[i] = saturate_u32(counts[i]);
  return hist;
}

void downscale_gray8_nearest_plain(Plane src, std::size_t src_width,
                                   std::size_t src_height,
                                   std::size_t dst_width,
                                   std::size_t dst_height,
                                   std::vector<std::uint8_t>& dst) {
  if (dst_width == 0 || dst_height == 0) {
    dst.clear();
    return;
  }
  const std::size_t needed = dst_width * dst_height;
  if (needed / dst_width != dst_height) {
    fatal_internal("downscale_gray8_nearest: destination size overflows");
  }
  dst.assign(needed, 0);
  std::vector<std::size_t> x_indices(dst_width);
  for (std::size_t x = 0; x < dst_width; ++x) {
    x_indices[x] = mul_sat(x, src_width) / dst_width;
  }
  std::vector<std::size_t> src_row_offsets(dst_height);
  for (std::size_t y = 0; y < dst_height; ++y) {
    src_row_offsets[y] = mul_sat(mul_sat(y, src_height) / dst_height, src_width);
  }
  for (std::size_t y = 0; y < dst_height; ++y) {
    for (std::size_t x = 0; x < dst_width; ++x) {
      const std::size_t index = add_sat(src_row_offsets[y], x_indices[x]);
      if (index >= src.size()) {
        fatal_internal("downscale_gray8_nearest: source index out of range");
      }
      dst[y * dst_width + x] = src[index];
    }
  }
}

std::uint64_t intersection_plain(std::span<const std::uint32_t> prev,
                                 std::span<const std::uint32_t> curr) {
  if (prev.size() != curr.size()) {
    fatal_internal("histogram intersection: length mismatch");
  }
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < prev.size(); ++i) {
    sum += std::min(prev[i], curr[i]);
  }
  return sum;
}

const Kernels kPlainKernels = {
    "plain",
    sad16x16_plain,
    dev_block_plain,
    search_superblock_matches_plain,
    find_best_match_for_block_plain,
    sad_u8_plain,
    histogram_16_plain,
    grid_histogram_16_plain,
    downscale_gray8_nearest_plain,
    intersection_plain,
};

}  // namespace vantrel::simd_metrics::detail
