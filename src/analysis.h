// One analysis run: options, result, the driver and the per-frame analysis
// with the state it carries from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decoder.h"
#include "detector.h"
#include "error.h"
#include "postprocess.h"
#include "simd_metrics.h"

namespace vantrel::analysis {

struct AnalyzeOptions {
  std::string input;  // UTF-8 path
  bool native_res;
  std::optional<std::string> hwdec;
  bool dump_scores;
  detector::XvidDetectorConfig xvid_config;
  detector::DetectorConfig adaptive_config;

  // Defaults for everything but the input (defined in the library root).
  static AnalyzeOptions defaults_for_input(std::string input);
};

struct AnalysisResult {
  std::vector<std::size_t> keyframes;
  std::vector<bool> pass_decisions;
};

VResult<AnalysisResult> analyze_video(const AnalyzeOptions& options);
Result<AnalysisResult> analyze_video_impl(const AnalyzeOptions& options);

// ---- per-frame analysis ----

using Dims = std::pair<std::size_t, std::size_t>;

struct CurrentFrameSnapshot {
  std::size_t width;
  std::size_t height;
  simd_metrics::Hist16 hist;
  simd_metrics::GridHist16 grid_hist;
};

struct CurrentFrame {
  std::span<const std::uint8_t> pixels;
  CurrentFrameSnapshot snapshot;
};

struct DetectionRecord {
  bool is_cut;
  double score;
  double threshold;
  std::size_t intra_blocks;
  std::size_t total_blocks;
  std::uint64_t mc_sad;
  double hist_distance;
  double grid_hist_distance;
  double grid_hist_median;
};

class DetectionState {
 public:
  DetectionState() = default;
  bool is_first_frame() const { return frame_index == 0; }
  // Keeps the current working plane as the previous one by exchanging
  // buffers: with native_res the pump's luma buffer, else curr_small.
  void absorb(std::vector<std::uint8_t>& curr_luma,
              std::vector<std::uint8_t>& curr_small, bool native_res,
              const CurrentFrameSnapshot& snapshot);

  std::vector<std::uint8_t> prev_small;
  simd_metrics::Hist16 prev_hist{};
  simd_metrics::GridHist16 prev_grid_hist{};
  std::optional<Dims> prev_dims;
  std::size_t frame_index = 0;
};

Dims compute_downscale_dims(std::size_t width, std::size_t height);
Dims prepare_working_luma(std::span<const std::uint8_t> curr_luma,
                          std::size_t width, std::size_t height,
                          std::vector<std::uint8_t>& working_luma);
// prepare_working_luma for a plane read in place, rows `stride` bytes apart:
// the same nearest-neighbour maps, so the same bytes as reducing the packed
// copy of the plane, without making that copy.
Dims prepare_working_luma_view(const decoder::LumaView& luma,
                               std::vector<std::uint8_t>& working_luma);
// The working dimensions and both histograms of a working plane.
CurrentFrameSnapshot snapshot_of(std::span<const std::uint8_t> plane,
                                 Dims dims);
CurrentFrame prepare_current_frame(std::span<const std::uint8_t> curr_luma,
                                   const decoder::FrameInfo& info,
                                   bool native_res,
                                   std::vector<std::uint8_t>& curr_small);
DetectionRecord analyze_frame(const DetectionState& state,
                              detector::XvidDetector& xvid_detector,
                              detector::Detector& adaptive_detector,
                              const CurrentFrame& current);
// The diagnostic line, without writing it.
std::string format_score_line(std::size_t frame_index,
                              const DetectionRecord& record);
// Writes the diagnostic line to standard error.
void dump_score_line(std::size_t frame_index, const DetectionRecord& record);

// Everything the per-frame callback works on, owned by the driver.
struct RunState {
  const AnalyzeOptions& options;
  std::vector<std::uint8_t> curr_small;
  DetectionState state;
  std::vector<bool> pass_decisions;
  detector::XvidDetector xvid_detector;
  detector::Detector adaptive_detector;
  std::vector<postprocess::FrameCutStats> frame_stats;

  explicit RunState(const AnalyzeOptions& opts);
  Status on_frame(std::vector<std::uint8_t>& curr_luma,
                  const decoder::FrameInfo& info);
  // on_frame for the reduced image (native_res off) fed from the frame's
  // plane in place: the same results, one full-size copy per frame fewer.
  Status on_frame_view(const decoder::LumaView& luma);

 private:
  // Everything on_frame does after building the current frame.
  Status record_frame(const CurrentFrame& current,
                      std::vector<std::uint8_t>& curr_luma);
};

}  // namespace vantrel::analysis
