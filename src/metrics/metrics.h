// Frame metrics: nearest-neighbour reduction, 16-bin luma histograms (global
// and 4x4 grid), their distances, the sum of absolute differences and the
// Xvid-like motion-estimation analysis. Every function is pure and runs on
// the fastest kernel form the processor supports unless given another; all
// forms give bit-identical results. Arguments that would read outside a
// plane end the process (fatal_internal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/types.h"

namespace vantrel::simd_metrics {

struct Kernels;  // metrics/kernels.h
// The last form of available_kernels() (metrics/metrics_internal.h).
const Kernels& production_kernels();
// The name of that form: "avx2", "sse2" or "portable".
const char* kernel_form();

// dst (dst_width x dst_height, packed) gets the source pixel
// (x * src_width / dst_width, y * src_height / dst_height) for each (x, y).
// Source rows lie src_stride >= src_width bytes apart; `src` holds at least
// (src_height - 1) * src_stride + src_width bytes.
void downscale_gray8_nearest(Plane src, std::size_t src_width,
                             std::size_t src_height, std::size_t src_stride,
                             std::size_t dst_width, std::size_t dst_height,
                             std::vector<std::uint8_t>& dst,
                             const Kernels& kernels = production_kernels());
Hist16 histogram_16(Plane frame, const Kernels& kernels = production_kernels());
// All zero unless `frame` holds the width x height plane (both non-zero).
GridHist16 grid_histogram_16(Plane frame, std::size_t width,
                             std::size_t height,
                             const Kernels& kernels = production_kernels());
double histogram_distance_16_from_hists(
    const Hist16& prev, const Hist16& curr, std::size_t total_pixels,
    const Kernels& kernels = production_kernels());
double grid_histogram_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr, std::size_t total_pixels,
    const Kernels& kernels = production_kernels());
double grid_histogram_median_cell_distance_16_from_hists(
    const GridHist16& prev, const GridHist16& curr,
    const Kernels& kernels = production_kernels());
// Over the common length of the two planes.
std::uint64_t sad_u8(Plane prev, Plane curr,
                     const Kernels& kernels = production_kernels());
double normalize_sad(std::uint64_t sad, std::size_t width, std::size_t height);

MeAnalysis meanalysis_xvid_like(Plane prev, Plane curr, std::size_t width,
                                std::size_t height, std::int32_t search_radius,
                                std::int32_t intra_thresh,
                                const Kernels& kernels = production_kernels());

}  // namespace vantrel::simd_metrics
