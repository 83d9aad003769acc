// One analysis run: its options, its result and the driver.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "detector.h"
#include "error.h"

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

}  // namespace vantrel::analysis
