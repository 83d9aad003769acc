// The 16-bin byte counter of the vector forms, one definition for every
// vector width. Only templates live here: each form instantiates them with
// its own vector operations, inside that form's instruction-set region.
//
// `Ops` supplies Vec, kWidth (bytes per vector, at most 32) and load, zero,
// broadcast, high_nibbles (each byte >> 4), count_equal (acc minus the
// byte-wise hi == bin mask, so a match adds one), bitwise_or, sum_bytes (the
// exact sum of all byte lanes) and count_narrow (rows shorter than kWidth).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vantrel::simd_metrics::detail {

// The last, overlapping load of a row repeats lanes the previous load
// counted: OR-ing 0xFF there matches no bin. A row with `rest` bytes after
// its full loads takes its mask of kWidth bytes at offset 32 - kWidth + rest.
alignas(32) inline constexpr std::uint8_t kDropFirst[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

template <class Ops>
inline void count_chunk(typename Ops::Vec hi, const typename Ops::Vec (&bins)[8],
                        typename Ops::Vec (&acc)[8]) {
  for (std::size_t b = 0; b < 8; ++b) acc[b] = Ops::count_equal(acc[b], hi, bins[b]);
}

// Adds to `counts` the 16-bin counts of `rows` rows of `len` bytes, `stride`
// bytes apart. Eight bins a pass, one byte counter per bin and lane; the
// byte counters are added up before any can pass 255.
template <class Ops>
void count_bins(const std::uint8_t* first, std::size_t stride, std::size_t rows,
                std::size_t len, std::uint64_t (&counts)[16]) {
  using Vec = typename Ops::Vec;
  constexpr std::size_t kWidth = Ops::kWidth;
  static_assert(kWidth <= 32);
  // A byte counter takes at most 255 loads: wider rows go in strips.
  constexpr std::size_t kStrip = 255 * kWidth;
  if (len > kStrip) {
    for (std::size_t c = 0; c < len; c += kStrip) {
      count_bins<Ops>(first + c, stride, rows, std::min(kStrip, len - c),
                      counts);
    }
    return;
  }
  if (len < kWidth) {
    Ops::count_narrow(first, stride, rows, len, counts);
    return;
  }
  const std::size_t full = len / kWidth;
  const std::size_t rest = len % kWidth;
  const Vec drop = Ops::load(kDropFirst + 32 - kWidth + rest);
  // Loads per row (at most 255); flushed before a counter could pass 255.
  const std::size_t loads = full + (rest != 0);
  const std::size_t rows_per_flush = std::max<std::size_t>(1, 255 / loads);
  for (std::size_t pass = 0; pass < 16; pass += 8) {
    Vec bins[8];
    for (std::size_t b = 0; b < 8; ++b) {
      bins[b] = Ops::broadcast(static_cast<std::uint8_t>(pass + b));
    }
    for (std::size_t r0 = 0; r0 < rows; r0 += rows_per_flush) {
      Vec acc[8];
      for (Vec& a : acc) a = Ops::zero();
      const std::size_t r1 = std::min(rows, r0 + rows_per_flush);
      for (std::size_t r = r0; r < r1; ++r) {
        const std::uint8_t* row = first + r * stride;
        for (std::size_t k = 0; k < full; ++k) {
          count_chunk<Ops>(Ops::high_nibbles(Ops::load(row + kWidth * k)), bins,
                           acc);
        }
        if (rest != 0) {
          count_chunk<Ops>(
              Ops::bitwise_or(Ops::high_nibbles(Ops::load(row + len - kWidth)),
                              drop),
              bins, acc);
        }
      }
      for (std::size_t b = 0; b < 8; ++b) counts[pass + b] += Ops::sum_bytes(acc[b]);
    }
  }
}

}  // namespace vantrel::simd_metrics::detail
