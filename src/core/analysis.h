// One analysis run: its options, its result and the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/ffmpeg_log.h"
#include "core/detector.h"
#include "core/frame_record.h"
#include "core/transitions.h"
#include "decode/decoder.h"

namespace vantrel::analysis {

struct Progress {
  std::size_t frames;  // analysed so far
  double time;         // of the last of them
  std::optional<double> duration;  // the container's
};

struct AnalyzeOptions {
  std::string input;  // UTF-8 path; with `reader`, the input's name
  // When set, the input's bytes (it must outlive the analysis).
  decoder::Reader* reader = nullptr;
  bool native_res;
  std::optional<std::string> hwdec;
  bool dump_scores;
  detector::XvidDetectorConfig xvid_config;
  detector::DetectorConfig adaptive_config;
  std::optional<int> threads;  // decoder threads; unset: FFmpeg's default
  decoder::OnDecodeError on_decode_error;
  bool keep_records;           // keep every compared frame's record
  // The rule that turns the keyframes into transitions; unset: none.
  std::optional<transitions::Rule> transitions;
  ffmpeg_log::LogCapture* log;  // the decoder's log lines, when set
  // Called after every frame; an error stops the analysis.
  std::function<Status(const Progress&)> on_progress;
  // When set, the decode also makes the constant-rate small rgb24 output
  // (decoder::SmallRgbFrames) and hands over each of its frames in output
  // order, with the index of the analysed frame it shows, before the
  // progress call of that frame; the output's end follows the last frame.
  // An error stops the analysis.
  std::function<Status(std::span<const std::uint8_t> image,
                       std::size_t frame)>
      on_small_rgb;

  // Defaults for everything but the input (defined in the library root).
  static AnalyzeOptions defaults_for_input(std::string input);
};

struct AnalysisResult {
  std::vector<std::size_t> keyframes;
  std::vector<bool> pass_decisions;
  std::vector<double> times;  // one per frame, seconds
  double end_time = 0.0;      // the end of the last frame
  decoder::StreamInfo stream;
  std::vector<decoder::RejectedPacket> rejected_packets;
  // With keep_records: one per compared frame, frame i + 1 at index i.
  std::vector<FrameRecord> records;
  // With a transitions rule: its transitions, by start frame.
  std::vector<transitions::Transition> transitions;
};

// One analysis; its error keeps the whole message chain.
Result<AnalysisResult> analyze(const AnalyzeOptions& options);
// analyze() with the error classified.
VResult<AnalysisResult> analyze_video(const AnalyzeOptions& options);

}  // namespace vantrel::analysis
