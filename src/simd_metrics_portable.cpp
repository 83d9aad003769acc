// The portable fast form, for processors without a vector form here: bounds
// checked once per call instead of per block, the four blocks of a
// superblock compared in one pass over its 32 x 32 area, histograms counted
// in several tables to break the increment dependency chain.
#include <cstdlib>

#include "simd_metrics_forms.h"

namespace vantrel::simd_metrics::detail {
namespace {

std::uint32_t sad_rows(const std::uint8_t* prev, const std::uint8_t* curr,
                       std::size_t width, std::size_t rows) {
  std::uint32_t total = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < 16; ++c) {
      total += static_cast<std::uint32_t>(std::abs(int{curr[c]} - int{prev[c]}));
    }
    prev += width;
    curr += width;
  }
  return total;
}

std::uint32_t sad16x16_portable(Plane prev, Plane curr, std::size_t width,
                                std::size_t curr_x, std::size_t curr_y,
                                std::size_t prev_x, std::size_t prev_y) {
  check_block(curr, width, curr_x, curr_y, 16, 16, "sad16x16: curr block");
  check_block(prev, width, prev_x, prev_y, 16, 16, "sad16x16: prev block");
  return sad_rows(prev.data() + prev_y * width + prev_x,
                  curr.data() + curr_y * width + curr_x, width, 16);
}

std::uint32_t dev_block_portable(Plane curr, std::size_t width,
                                 std::size_t curr_x, std::size_t curr_y,
                                 std::size_t block_w, std::size_t block_h) {
  if (block_w != 16 || block_h != 16) {
    return dev_block_plain(curr, width, curr_x, curr_y, block_w,
                                   block_h);
  }
  check_block(curr, width, curr_x, curr_y, 16, 16, "dev_block");
  const std::uint8_t* block = curr.data() + curr_y * width + curr_x;
  std::uint32_t sum = 0;
  for (std::size_t r = 0; r < 16; ++r) {
    for (std::size_t c = 0; c < 16; ++c) sum += block[r * width + c];
  }
  const int mean = static_cast<int>(sum >> 8);
  std::uint32_t dev = 0;
  for (std::size_t r = 0; r < 16; ++r) {
    for (std::size_t c = 0; c < 16; ++c) {
      dev += static_cast<std::uint32_t>(std::abs(block[r * width + c] - mean));
    }
  }
  return dev;
}

SuperblockSearchResults search_superblock_matches_portable(
    Plane prev, Plane curr, std::size_t width, std::size_t base_x,
    std::size_t base_y, const SearchWindow& window) {
  const CandidateRange range =
      checked_superblock_range(prev, curr, width, base_x, base_y, window);
  if (!range.fits) {
    return search_superblock_matches_plain(prev, curr, width, base_x,
                                                   base_y, window);
  }
  SuperblockSearchResults results;
  if (range.empty) return results;
  const std::uint8_t* base = curr.data() + base_y * width + base_x;
  const std::size_t half = 16 * width;
  for (std::int64_t oy = range.min_y; oy <= range.max_y; ++oy) {
    for (std::int64_t ox = range.min_x; ox <= range.max_x; ++ox) {
      const std::uint8_t* candidate =
          prev.data() + static_cast<std::size_t>(base_y + oy) * width +
          static_cast<std::size_t>(base_x + ox);
      const std::uint32_t sads[4] = {
          sad_rows(candidate, base, width, 16),
          sad_rows(candidate + 16, base + 16, width, 16),
          sad_rows(candidate + half, base + half, width, 16),
          sad_rows(candidate + half + 16, base + half + 16, width, 16),
      };
      keep_better(results, sads, ox, oy);
    }
  }
  return results;
}

MotionMatch find_best_match_for_block_portable(
    Plane prev, Plane curr, std::size_t width, std::size_t height,
    std::size_t block_x, std::size_t block_y, std::int32_t search_radius) {
  const CandidateRange range = checked_block_range(
      prev, curr, width, height, block_x, block_y, search_radius);
  if (!range.fits) {
    return find_best_match_for_block_plain(
        prev, curr, width, height, block_x, block_y, search_radius);
  }
  MotionMatch best;
  if (range.empty) return best;
  const std::uint8_t* block = curr.data() + block_y * width + block_x;
  for (std::int64_t dy = range.min_y; dy <= range.max_y; ++dy) {
    for (std::int64_t dx = range.min_x; dx <= range.max_x; ++dx) {
      const std::uint8_t* candidate =
          prev.data() + static_cast<std::size_t>(block_y + dy) * width +
          static_cast<std::size_t>(block_x + dx);
      const std::uint32_t sad = sad_rows(candidate, block, width, 16);
      if (sad < best.sad) {
        best = {sad, static_cast<std::int32_t>(dx),
                static_cast<std::int32_t>(dy)};
      }
    }
  }
  return best;
}

}  // namespace

namespace {

// Counts spread over four tables, so that runs of equal bins (smooth
// images) do not serialise on one counter; summed once at the end.
template <std::size_t N>
struct BinTables {
  std::uint32_t tables[4][N] = {};

  // Counts the 16-bin values of `bytes` into entries `first` to `first` + 15.
  void add(const std::uint8_t* bytes, std::size_t n, std::size_t first) {
    std::uint32_t* t0 = tables[0] + first;
    std::uint32_t* t1 = tables[1] + first;
    std::uint32_t* t2 = tables[2] + first;
    std::uint32_t* t3 = tables[3] + first;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++t0[bytes[i] >> 4];
      ++t1[bytes[i + 1] >> 4];
      ++t2[bytes[i + 2] >> 4];
      ++t3[bytes[i + 3] >> 4];
    }
    for (; i < n; ++i) ++t0[bytes[i] >> 4];
  }

  std::array<std::uint32_t, N> sums() const {
    std::array<std::uint32_t, N> out;
    for (std::size_t i = 0; i < N; ++i) {
      out[i] = tables[0][i] + tables[1][i] + tables[2][i] + tables[3][i];
    }
    return out;
  }
};

// Table counts and their sums are exact u32 below this many pixels; larger
// planes take the plain form, which saturates.
constexpr std::uint64_t kMaxCountedPixels = UINT32_MAX;

}  // namespace

Hist16 histogram_16_portable(Plane frame) {
  if (frame.size() >= kMaxCountedPixels) {
    return histogram_16_plain(frame);
  }
  BinTables<16> counts;
  counts.add(frame.data(), frame.size(), 0);
  return counts.sums();
}

GridHist16 grid_histogram_16_portable(Plane frame, std::size_t width,
                                      std::size_t height) {
  std::size_t pixels;
  if (width == 0 || height == 0 ||
      __builtin_mul_overflow(width, height, &pixels) || frame.size() < pixels) {
    return GridHist16{};
  }
  if (pixels >= kMaxCountedPixels) {
    return grid_histogram_16_plain(frame, width, height);
  }
  // Column x is in cell_x = floor(4x / width): cell k starts at
  // ceil(k * width / 4).
  std::size_t starts[5];
  for (std::size_t k = 0; k < 5; ++k) starts[k] = (k * width + 3) / 4;
  BinTables<256> counts;
  for (std::size_t y = 0; y < height; ++y) {
    const std::size_t cell_y = 4 * y / height;
    const std::uint8_t* row = frame.data() + y * width;
    for (std::size_t cell_x = 0; cell_x < 4; ++cell_x) {
      counts.add(row + starts[cell_x], starts[cell_x + 1] - starts[cell_x],
                 (cell_y * 4 + cell_x) * 16);
    }
  }
  return counts.sums();
}

void downscale_gray8_nearest_portable(Plane src, std::size_t src_width,
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
  dst.resize(needed);
  std::vector<std::size_t> x_indices(dst_width);
  for (std::size_t x = 0; x < dst_width; ++x) {
    x_indices[x] = mul_sat(x, src_width) / dst_width;
  }
  std::vector<std::size_t> src_row_offsets(dst_height);
  for (std::size_t y = 0; y < dst_height; ++y) {
    src_row_offsets[y] = mul_sat(mul_sat(y, src_height) / dst_height, src_width);
  }
  // Both maps never decrease, so the last pixel reads the largest index.
  if (add_sat(src_row_offsets.back(), x_indices.back()) >= src.size()) {
    fatal_internal("downscale_gray8_nearest: source index out of range");
  }
  std::uint8_t* out = dst.data();
  for (std::size_t y = 0; y < dst_height; ++y) {
    const std::uint8_t* row = src.data() + src_row_offsets[y];
    for (std::size_t x = 0; x < dst_width; ++x) out[x] = row[x_indices[x]];
    out += dst_width;
  }
}

const Kernels kPortableKernels = {
    "portable",
    sad16x16_portable,
    dev_block_portable,
    search_superblock_matches_portable,
    find_best_match_for_block_portable,
    sad_u8_plain,
    histogram_16_portable,
    grid_histogram_16_portable,
    downscale_gray8_nearest_portable,
    intersection_plain,
};

}  // namespace vantrel::simd_metrics::detail
