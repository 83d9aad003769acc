#include "core/analysis_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include <unistd.h>

#include "core/frame_measures.h"

namespace vantrel::analysis {

namespace sm = simd_metrics;

// ---- driver ----

VResult<AnalysisResult> analyze_video(const AnalyzeOptions& options) {
  auto result = analyze(options);
  if (!result) return std::unexpected(error::VantrelError::from(result.error()));
  return std::move(*result);
}

Result<AnalysisResult> analyze(const AnalyzeOptions& options) {
  RunState run(options);
  AnalysisResult result;
  {
    const decoder::DecoderOptions decoding{
        .hwdec = options.hwdec,
        .threads = options.threads,
        .on_decode_error = options.on_decode_error,
        .log = options.log,
        .small_rgb = static_cast<bool>(options.on_small_rgb)};
    auto decoder =
        options.reader != nullptr
            ? decoder::Decoder::open(*options.reader, options.input, decoding)
            : decoder::Decoder::open(options.input, decoding);
    if (!decoder) return std::unexpected(std::move(decoder.error()));
    result.stream = decoder->stream_info();
    run.duration = result.stream.duration;
    Status pumped = decoder->decode_luma(
        [&run](const decoder::Frame& frame) { return run.on_frame(frame); });
    if (!pumped) return std::unexpected(std::move(pumped.error()));
    if (options.on_small_rgb) {
      Status ended = emit_small_rgb(decoder->small_rgb_end(), options);
      if (!ended) return std::unexpected(std::move(ended.error()));
    }
    result.rejected_packets = decoder->rejected_packets();
  }  // the decoder (and the input file) is released before post-processing
  result.keyframes = postprocess::refine_frame_keyframes(run.records);
  result.pass_decisions = std::move(run.pass_decisions);
  result.times = std::move(run.times);
  result.end_time = run.end_time;
  if (options.keep_records) result.records = std::move(run.records);
  if (run.transition_finder) {
    result.transitions = run.transition_finder->finish(result.keyframes);
  }
  return result;
}

RunState::RunState(const AnalyzeOptions& opts)
    : options(opts),
      xvid_detector(opts.xvid_config),
      adaptive_detector(opts.adaptive_config) {
  if (opts.transitions) transition_finder.emplace(*opts.transitions);
}

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

Status RunState::on_frame(const decoder::Frame& frame) {
  Result<Dims> dims =
      prepare_working_plane(frame.luma, options.native_res, working_plane);
  if (!dims) return fail(dims.error());
  times.push_back(frame.time);
  end_time = frame.time + frame.duration;
  if (frame.small_rgb) {
    Status emitted = emit_small_rgb(*frame.small_rgb, options);
    if (!emitted) return emitted;
  }
  const std::span<const std::uint8_t> plane = working_plane;
  const CurrentFrame current{.pixels = plane,
                             .snapshot = snapshot_of(plane, *dims)};
  if (state.is_first_frame()) {
    pass_decisions.push_back(true);
    find_transitions(plane, *dims, false);
    state.absorb(working_plane, current.snapshot);
    return progress(frame.time);
  }
  const FrameRecord& record = records.emplace_back(
      analyze_frame(state, xvid_detector, adaptive_detector, current));
  if (options.dump_scores) dump_score_line(record);
  pass_decisions.push_back(record.is_cut);
  find_transitions(plane, *dims, postprocess::may_be_keyframe(record));
  state.absorb(working_plane, current.snapshot);
  return progress(frame.time);
}

void RunState::find_transitions(std::span<const std::uint8_t> plane, Dims dims,
                                bool may_be_keyframe) {
  if (!transition_finder) return;
  transition_finder->add(measure_frame(plane, dims.first, dims.second),
                         may_be_keyframe);
}

Status RunState::progress(double time) const {
  if (!options.on_progress) return {};
  return options.on_progress(Progress{times.size(), time, duration});
}

Status emit_small_rgb(const decoder::SmallRgbFrames& frames,
                      const AnalyzeOptions& options) {
  for (std::size_t i = 0; i < frames.previous_copies; ++i) {
    Status taken = options.on_small_rgb(frames.previous, frames.previous_frame);
    if (!taken) return taken;
  }
  for (std::size_t i = 0; i < frames.copies; ++i) {
    if (Status taken = options.on_small_rgb(frames.image, frames.frame); !taken) {
      return taken;
    }
  }
  return {};
}

void DetectionState::absorb(std::vector<std::uint8_t>& working_plane,
                            const CurrentFrameSnapshot& snapshot) {
  prev_dims = Dims{snapshot.width, snapshot.height};
  prev_hist = snapshot.hist;
  prev_grid_hist = snapshot.grid_hist;
  // Exchange storage: the buffer handed back is overwritten by the next frame.
  prev_plane.swap(working_plane);
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

Result<Dims> prepare_working_plane(const decoder::LumaView& luma,
                                   bool native_res,
                                   std::vector<std::uint8_t>& working_plane) {
  if (native_res) {
    if (Status copied = decoder::copy_luma_plane(luma, working_plane);
        !copied) {
      return fail(copied.error().wrap("failed to copy luma plane"));
    }
    return Dims{luma.width, luma.height};
  }
  const Dims dims = compute_downscale_dims(luma.width, luma.height);
  // The reduced image samples a few rows and columns of the plane in place.
  const std::span<const std::uint8_t> plane(luma.data,
                                            luma.stride * luma.height);
  sm::downscale_gray8_nearest(plane, luma.width, luma.height, luma.stride,
                              dims.first, dims.second, working_plane);
  return dims;
}

FrameRecord analyze_frame(const DetectionState& state,
                          detector::XvidDetector& xvid_detector,
                          detector::Detector& adaptive_detector,
                          const CurrentFrame& current) {
  const std::size_t w = current.snapshot.width;
  const std::size_t h = current.snapshot.height;
  const std::size_t n = current.pixels.size();
  const bool dims_changed = state.prev_dims != Dims{w, h} ||
                            state.prev_plane.empty() ||
                            state.prev_plane.size() != n;
  if (dims_changed) {
    xvid_detector.reset();
    adaptive_detector.reset();
    constexpr double inf = std::numeric_limits<double>::infinity();
    return FrameRecord{.frame_index = state.frame_index,
                       .is_cut = true,
                       .threshold = inf,
                       .motion = {.score = inf},
                       .hist_distance = 1.0,
                       .grid_hist_distance = 1.0,
                       .grid_hist_median = 1.0};
  }
  const std::span<const std::uint8_t> prev = state.prev_plane;
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
                             xvid.motion.score >= 0.85 * xvid.threshold;
  return FrameRecord{.frame_index = state.frame_index,
                     .is_cut = xvid.is_cut || (adaptive_cut && near_xvid_cut),
                     .threshold = xvid.threshold,
                     .motion = xvid.motion,
                     .hist_distance = hist_distance,
                     .grid_hist_distance = grid_hist_distance,
                     .grid_hist_median = grid_hist_median};
}

std::string format_score_line(const FrameRecord& record) {
  const simd_metrics::MeAnalysis& motion = record.motion;
  char line[512];
  const int len = std::snprintf(
      line, sizeof line, "%zu,%.6f,%.6f,%.6f,%.6f,%.6f,%zu,%zu,%llu,%d\n",
      record.frame_index, motion.score, record.threshold, record.hist_distance,
      record.grid_hist_distance, record.grid_hist_median, motion.intra_blocks,
      motion.total_blocks, static_cast<unsigned long long>(motion.mc_sad),
      record.is_cut ? 1 : 0);
  if (len < 0) return {};
  return std::string(line, std::min<std::size_t>(len, sizeof line - 1));
}

// A diagnostic line that cannot be written is dropped: the analysis goes on.
// SIGPIPE is held back during the write so that a closed pipe on standard
// error cannot end the process.
void dump_score_line(const FrameRecord& record) {
  const std::string line = format_score_line(record);
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
