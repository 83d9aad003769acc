// The portable fast form, for processors without a vector form here: the
// four blocks of a superblock compared in one pass over its 32 x 32 area,
// histograms counted in several tables to break the increment dependency
// chain. The vector forms keep its reduction.
#include <algorithm>
#include <cstdlib>

#include "base/arith.h"
#include "metrics/kernels.h"

namespace vantrel::simd_metrics {
namespace detail {
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
  return sad_rows(prev.data() + prev_y * width + prev_x,
                  curr.data() + curr_y * width + curr_x, width, 16);
}

std::uint32_t dev_block16_portable(Plane curr, std::size_t width,
                                   std::size_t x, std::size_t y) {
  const std::uint8_t* block = curr.data() + y * width + x;
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
  SuperblockSearchResults results;
  const std::uint8_t* base = curr.data() + base_y * width + base_x;
  const std::size_t half = 16 * width;
  for (std::int64_t oy = window.min_offset_y; oy <= window.max_offset_y; ++oy) {
    for (std::int64_t ox = window.min_offset_x; ox <= window.max_offset_x;
         ++ox) {
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

MotionMatch search_block_matches_portable(Plane prev, Plane curr,
                                          std::size_t width,
                                          std::size_t block_x,
                                          std::size_t block_y,
                                          const SearchWindow& window) {
  MotionMatch best;
  const std::uint8_t* block = curr.data() + block_y * width + block_x;
  for (std::int64_t dy = window.min_offset_y; dy <= window.max_offset_y;
       ++dy) {
    for (std::int64_t dx = window.min_offset_x; dx <= window.max_offset_x;
         ++dx) {
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

// Counts spread over four tables, so that runs of equal bins (smooth
// images) do not serialise on one counter; summed once at the end. Exact in
// u32 under the kernels' size limit.
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

Hist16 histogram_16_portable(Plane frame) {
  BinTables<16> counts;
  counts.add(frame.data(), frame.size(), 0);
  return counts.sums();
}

GridHist16 grid_histogram_16_portable(Plane frame, std::size_t width,
                                      std::size_t height) {
  const std::array<std::size_t, 5> starts = grid_cell_starts(width);
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

// The column map is built for at most kColumns destination columns at a
// time, on the stack: no call allocates beyond `dst` (production reductions
// are at most 160 wide, one pass).
void downscale_gray8_nearest_portable(Plane src, std::size_t src_width,
                                      std::size_t src_height,
                                      std::size_t src_stride,
                                      std::size_t dst_width,
                                      std::size_t dst_height,
                                      std::vector<std::uint8_t>& dst) {
  constexpr std::size_t kColumns = 160;
  dst.resize(dst_width * dst_height);
  std::array<std::size_t, kColumns> columns;
  for (std::size_t x0 = 0; x0 < dst_width; x0 += kColumns) {
    const std::size_t count = std::min(kColumns, dst_width - x0);
    for (std::size_t i = 0; i < count; ++i) {
      columns[i] = mul_sat(x0 + i, src_width) / dst_width;
    }
    std::uint8_t* out = dst.data() + x0;
    for (std::size_t y = 0; y < dst_height; ++y) {
      const std::uint8_t* row =
          src.data() + mul_sat(y, src_height) / dst_height * src_stride;
      for (std::size_t i = 0; i < count; ++i) out[i] = row[columns[i]];
      out += dst_width;
    }
  }
}

}  // namespace
}  // namespace detail

// Keeps the plain SAD of whole planes and histogram intersection.
const Kernels& portable_kernels() {
  using namespace detail;
  static const Kernels kernels = [] {
    Kernels k = plain_kernels();
    k.name = "portable";
    k.sad16x16 = sad16x16_portable;
    k.dev_block16 = dev_block16_portable;
    k.search_superblock_matches = search_superblock_matches_portable;
    k.search_block_matches = search_block_matches_portable;
    k.histogram_16 = histogram_16_portable;
    k.grid_histogram_16 = grid_histogram_16_portable;
    k.downscale_gray8_nearest = downscale_gray8_nearest_portable;
    return k;
  }();
  return kernels;
}

}  // namespace vantrel::simd_metrics
