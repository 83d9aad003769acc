#include "analysis.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include <unistd.h>

namespace vantrel::analysis {

namespace sm = simd_metrics;

// ---- driver ----

VResult<AnalysisResult> analyze_video(const AnalyzeOptions& options) {
  auto result = analyze_video_impl(options);
  if (!result) return std::unexpected(error::VantrelError::from(result.error()));
  return std::move(*result);
}

Result<AnalysisResult> analyze_video_impl(const AnalyzeOptions& options) {
  RunState run(options);
  {
    auto decoder = decoder::Decoder::open(
        options.input, options.hwdec ? std::optional<std::string_view>(*options.hwdec)
                                     : std::nullopt);
    if (!decoder) return std::unexpected(std::move(decoder.error()));
    // The reduced image samples a few rows and columns of each frame, so it
    // reads the frame's plane in place; native_res keeps the packed plane.
    Status pumped =
        options.native_res
            ? decoder->decode_luma_frames(
                  [&run](std::vector<std::uint8_t>& luma,
                         const decoder::FrameInfo& info) {
                    return run.on_frame(luma, info);
                  })
            : decoder->decode_luma_views([&run](const decoder::LumaView& luma) {
                return run.on_frame_view(luma);
              });
    if (!pumped) return std::unexpected(std::move(pumped.error()));
  }  // the decoder (and the input file) is released before post-processing
  AnalysisResult result;
  result.keyframes = postprocess::refine_frame_keyframes(run.frame_stats);
  result.pass_decisions = std::move(run.pass_decisions);
  return result;
}

RunState::RunState(const AnalyzeOptions& opts)
    : options(opts),
      xvid_detector(opts.xvid_config),
      adaptive_detector(opts.adaptive_config) {}

// ---- per-frame analysis ----

CurrentFrameSnapshot snapshot_of(std::span<const std::uint8_t> plane,
                                 Dims dims) {
  const auto [width, height] = dims;
  CurrentFrameSnapshot snapshot{.width = width,
                                .height = height,
                                .hist = {},
                                .grid_hist = sm::grid_histogram_16(
                                    plane, width, height)};
  // Every pixel of a width x height plane lies in exactly one grid cell, so
  // the global histogram is the sum of the cells' histograms: one counting
  // pass instead of two. Exact while no count can saturate (fewer than 2^32
  // pixels); any other plane is counted directly.
  std::size_t pixels = 0;
  if (__builtin_mul_overflow(width, height, &pixels) || plane.size() != pixels ||
      pixels > std::numeric_limits<std::uint32_t>::max()) {
    snapshot.hist = sm::histogram_16(plane);
    return snapshot;
  }
  for (std::size_t cell = 0; cell < 16; ++cell) {
    for (std::size_t bin = 0; bin < 16; ++bin) {
      snapshot.hist[bin] += snapshot.grid_hist[cell * 16 + bin];
    }
  }
  return snapshot;
}

Status RunState::on_frame(std::vector<std::uint8_t>& curr_luma,
                          const decoder::FrameInfo& info) {
  return record_frame(
      prepare_current_frame(curr_luma, info, options.native_res, curr_small),
      curr_luma);
}

Status RunState::on_frame_view(const decoder::LumaView& luma) {
  if (options.native_res) fatal_internal("on_frame_view with native_res");
  const Dims dims = prepare_working_luma_view(luma, curr_small);
  const std::span<const std::uint8_t> plane = curr_small;
  // Without native_res, absorb keeps curr_small and never touches the luma
  // buffer it is given, so curr_small stands in for it.
  return record_frame(
      CurrentFrame{.pixels = plane, .snapshot = snapshot_of(plane, dims)},
      curr_small);
}

Status RunState::record_frame(const CurrentFrame& current,
                              std::vector<std::uint8_t>& curr_luma) {
  const CurrentFrameSnapshot snapshot = current.snapshot;
  if (state.is_first_frame()) {
    pass_decisions.push_back(true);
    state.absorb(curr_luma, curr_small, options.native_res, snapshot);
    return {};
  }
  const DetectionRecord record =
      analyze_frame(state, xvid_detector, adaptive_detector, current);
  if (options.dump_scores) dump_score_line(state.frame_index, record);
  pass_decisions.push_back(record.is_cut);
  frame_stats.push_back(postprocess::FrameCutStats{
      .frame_index = state.frame_index,
      .is_cut = record.is_cut,
      .score = record.score,
      .hist_distance = record.hist_distance,
      .grid_hist_distance = record.grid_hist_distance,
      .grid_hist_median = record.grid_hist_median,
  });
  state.absorb(curr_luma, curr_small, options.native_res, snapshot);
  return {};
}

void DetectionState::absorb(std::vector<std::uint8_t>& curr_luma,
                            std::vector<std::uint8_t>& curr_small,
                            bool native_res,
                            const CurrentFrameSnapshot& snapshot) {
  prev_dims = Dims{snapshot.width, snapshot.height};
  prev_hist = snapshot.hist;
  prev_grid_hist = snapshot.grid_hist;
  // Exchange storage: the buffer handed back is overwritten by its next user.
  prev_small.swap(native_res ? curr_luma : curr_small);
  if (frame_index != std::numeric_limits<std::size_t>::max()) ++frame_index;
}

Dims compute_downscale_dims(std::size_t width, std::size_t height) {
  if (width == 0 || height == 0) return {0, 0};
  std::size_t out_w = std::min<std::size_t>(width, 160);
  std::size_t out_h = std::max<std::size_t>(out_w * height / width, 1);
  if (out_h > 96) {
    out_h = std::min<std::size_t>(height, 96);
    out_w = std::max<std::size_t>(out_h * width / height, 1);
  }
  return {out_w, out_h};
}

Dims prepare_working_luma(std::span<const std::uint8_t> curr_luma,
                          std::size_t width, std::size_t height,
                          std::vector<std::uint8_t>& working_luma) {
  const Dims dims = compute_downscale_dims(width, height);
  sm::downscale_gray8_nearest(curr_luma, width, height, width, dims.first, dims.second,
                              working_luma);
  return dims;
}

Dims prepare_working_luma_view(const decoder::LumaView& luma,
                               std::vector<std::uint8_t>& working_luma) {
  const auto [out_w, out_h] = compute_downscale_dims(luma.width, luma.height);
  if (out_w == 0 || out_h == 0) {
    working_luma.clear();
    return {out_w, out_h};
  }
  // The maps of downscale_gray8_nearest, with source rows `stride` apart. No
  // product saturates: out_w <= 160, out_h <= 96 and the source sides are
  // below 2^32; the view guarantees stride x height bytes behind `data`.
  std::array<std::size_t, 160> columns;
  for (std::size_t x = 0; x < out_w; ++x) columns[x] = x * luma.width / out_w;
  working_luma.resize(out_w * out_h);
  std::uint8_t* out = working_luma.data();
  for (std::size_t y = 0; y < out_h; ++y) {
    const std::uint8_t* row = luma.data + y * luma.height / out_h * luma.stride;
    for (std::size_t x = 0; x < out_w; ++x) out[x] = row[columns[x]];
    out += out_w;
  }
  return {out_w, out_h};
}

CurrentFrame prepare_current_frame(std::span<const std::uint8_t> curr_luma,
                                   const decoder::FrameInfo& info,
                                   bool native_res,
                                   std::vector<std::uint8_t>& curr_small) {
  std::span<const std::uint8_t> plane = curr_luma;
  Dims dims{info.width, info.height};
  if (!native_res) {
    dims = prepare_working_luma(curr_luma, info.width, info.height, curr_small);
    plane = curr_small;
  }
  return CurrentFrame{.pixels = plane, .snapshot = snapshot_of(plane, dims)};
}

DetectionRecord analyze_frame(const DetectionState& state,
                              detector::XvidDetector& xvid_detector,
                              detector::Detector& adaptive_detector,
                              const CurrentFrame& current) {
  const std::size_t w = current.snapshot.width;
  const std::size_t h = current.snapshot.height;
  const std::size_t n = current.pixels.size();
  const bool dims_changed = state.prev_dims != Dims{w, h} ||
                            state.prev_small.empty() ||
                            state.prev_small.size() != n;
  if (dims_changed) {
    xvid_detector.reset();
    adaptive_detector.reset();
    constexpr double inf = std::numeric_limits<double>::infinity();
    return DetectionRecord{.is_cut = true,
                           .score = inf,
                           .threshold = inf,
                           .intra_blocks = 0,
                           .total_blocks = 0,
                           .mc_sad = 0,
                           .hist_distance = 1.0,
                           .grid_hist_distance = 1.0,
                           .grid_hist_median = 1.0};
  }
  const std::span<const std::uint8_t> prev = state.prev_small;
  const detector::XvidDecision xvid =
      xvid_detector.decide(prev, current.pixels, w, h);
  const auto& snap = current.snapshot;
  const double hist_distance =
      sm::histogram_distance_16_from_hists(state.prev_hist, snap.hist, n);
  const double grid_hist_distance = sm::grid_histogram_distance_16_from_hists(
      state.prev_grid_hist, snap.grid_hist, n);
  const double grid_hist_median =
      sm::grid_histogram_median_cell_distance_16_from_hists(
          state.prev_grid_hist, snap.grid_hist);
  const double sad_score =
      sm::normalize_sad(sm::sad_u8(prev, current.pixels), w, h);
  const double adaptive_score =
      adaptive_detector.blended_score(sad_score, hist_distance);
  const bool adaptive_cut =
      adaptive_detector.decide_with_threshold(adaptive_score, hist_distance)
          .first;
  adaptive_detector.observe(adaptive_score);
  // The adaptive detector only adds cuts close to the Xvid-rule threshold.
  const bool near_xvid_cut = xvid.threshold > 0.0 &&
                             xvid.threshold < std::numeric_limits<double>::infinity() &&
                             xvid.score >= 0.85 * xvid.threshold;
  return DetectionRecord{.is_cut = xvid.is_cut || (adaptive_cut && near_xvid_cut),
                         .score = xvid.score,
                         .threshold = xvid.threshold,
                         .intra_blocks = xvid.intra_blocks,
                         .total_blocks = xvid.total_blocks,
                         .mc_sad = xvid.mc_sad,
                         .hist_distance = hist_distance,
                         .grid_hist_distance = grid_hist_distance,
                         .grid_hist_median = grid_hist_median};
}

std::string format_score_line(std::size_t frame_index,
                              const DetectionRecord& record) {
  char line[512];
  const int len = std::snprintf(
      line, sizeof line, "%zu,%.6f,%.6f,%.6f,%.6f,%.6f,%zu,%zu,%llu,%d\n",
      frame_index, record.score, record.threshold, record.hist_distance,
      record.grid_hist_distance, record.grid_hist_median, record.intra_blocks,
      record.total_blocks, static_cast<unsigned long long>(record.mc_sad),
      record.is_cut ? 1 : 0);
  if (len < 0) return {};
  return std::string(line, std::min<std::size_t>(len, sizeof line - 1));
}

// A diagnostic line that cannot be written is dropped: the analysis goes on.
// SIGPIPE is held back during the write so that a closed pipe on standard
// error cannot end the process.
void dump_score_line(std::size_t frame_index, const DetectionRecord& record) {
  const std::string line = format_score_line(frame_index, record);
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  std::size_t done = 0;
  bool broken_pipe = false;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      broken_pipe = n < 0 && errno == EPIPE;
      break;
    }
  }
  if (broken_pipe && !was_pending) {
    const timespec no_wait{0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace vantrel::analysis
