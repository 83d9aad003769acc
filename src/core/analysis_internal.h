// The per-frame analysis and the state it carries from frame to frame, below
// the driver's interface, for the analysis tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis.h"
#include "decode/decoder.h"
#include "core/detector.h"
#include "core/postprocess.h"
#include "core/transitions.h"
#include "metrics/metrics.h"

namespace vantrel::analysis {

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

class DetectionState {
 public:
  bool is_first_frame() const { return frame_index == 0; }
  // Keeps the current working plane as the previous one by exchanging
  // buffers: `working_plane` gets the old previous plane's storage back.
  void absorb(std::vector<std::uint8_t>& working_plane,
              const CurrentFrameSnapshot& snapshot);

  // The previous frame's working plane: the reduced image, or the packed
  // decoded plane with native_res.
  std::vector<std::uint8_t> prev_plane;
  simd_metrics::Hist16 prev_hist{};
  simd_metrics::GridHist16 prev_grid_hist{};
  std::optional<Dims> prev_dims;
  std::size_t frame_index = 0;
};

Dims compute_downscale_dims(std::size_t width, std::size_t height);
// The working plane of one frame into `working_plane`: its reduced image,
// or with native_res its packed copy. Returns the working dimensions.
Result<Dims> prepare_working_plane(const decoder::LumaView& luma,
                                   bool native_res,
                                   std::vector<std::uint8_t>& working_plane);
// The working dimensions and both histograms of a working plane.
CurrentFrameSnapshot snapshot_of(std::span<const std::uint8_t> plane,
                                 Dims dims);
FrameRecord analyze_frame(const DetectionState& state,
                          detector::XvidDetector& xvid_detector,
                          detector::Detector& adaptive_detector,
                          const CurrentFrame& current);
// The diagnostic line, without writing it.
std::string format_score_line(const FrameRecord& record);
// Writes the diagnostic line to standard error.
void dump_score_line(const FrameRecord& record);

// Hands `frames` over to options.on_small_rgb, one call per output frame
// (the decoder's delivered frames are the analysed frames).
Status emit_small_rgb(const decoder::SmallRgbFrames& frames,
                      const AnalyzeOptions& options);

// Everything the per-frame callback works on, owned by the driver.
struct RunState {
  const AnalyzeOptions& options;
  std::vector<std::uint8_t> working_plane;  // the current frame's
  DetectionState state;
  std::vector<bool> pass_decisions;
  detector::XvidDetector xvid_detector;
  detector::Detector adaptive_detector;
  std::vector<FrameRecord> records;  // one per compared frame
  // Measures every frame for the transitions rule, when one is set.
  std::optional<transitions::TransitionFinder> transition_finder;
  std::vector<double> times;
  double end_time = 0.0;
  std::optional<double> duration;  // the container's, for progress

  explicit RunState(const AnalyzeOptions& opts);
  Status on_frame(const decoder::Frame& frame);

 private:
  Status progress(double time) const;
  void find_transitions(std::span<const std::uint8_t> plane, Dims dims,
                        bool may_be_keyframe);
};

}  // namespace vantrel::analysis
